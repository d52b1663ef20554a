// Printer stream: the job record, page records and the sequencer that decides
// which page records are written, how often and in which order.
#pragma once
#include <csignal>
#include <cstdint>
#include <cstdio>

struct printer_header {
    char name[16];
    uint32_t firstpage;
    uint32_t lastpage;
    uint32_t datasize;
    uint32_t pageseq;
    printer_header();
};

// Tag, 32-bit little-endian length, text. `logText` is what the debug line shows.
void WriteJobRecord(FILE* out, const char* text, const char* logText);
// 16-byte name, firstpage, the given lastpage, datasize, pageseq, then data.
void WritePageRecord(FILE* out, const printer_header& h, uint32_t lastpage, const unsigned char* data);
// The two halves of WritePageRecord, for callers that log between them:
// the 32 header bytes, then the header's `datasize` bytes of data.
void WritePageHeader(FILE* out, const printer_header& h, uint32_t lastpage);
void WritePageData(FILE* out, const printer_header& h, const unsigned char* data);

constexpr size_t kJobRecordHeaderSize = 20;  // tag and length
constexpr size_t kPageHeaderSize = 32;

constexpr int64_t kPageBufferSize = 4194304;

struct HeldPage {
    unsigned char* data = nullptr;
    int64_t capacity = 0;
    int64_t size = -1;      // -1: nothing held
    printer_header hdr;
};

struct Sequencer {
    int collate = 0;
    int duplex = 0;
    int copies = 0;
    int raster_page = 1;
    int m_page = 0;
    int written_records = 0;
    int copies_left = 0;
    int no_more_pages = 0;
    int extra_page = 0;
    HeldPage buff1, buff2;
    FILE* out = nullptr;    // printer stream
    FILE* log = nullptr;    // diagnostics
};

// Allocates Buff1 and Buff2. False when either allocation fails.
bool SeqInit(Sequencer* s, int collate, int duplex, int copies, FILE* out, FILE* log);
void SeqFree(Sequencer* s);

// Steps 1-4 for the page m_page: the current header, the cancellation test
// (reads *cancel afresh each time), lastpage and extra_page, datasize.
printer_header SeqBeginPage(Sequencer* s, const volatile sig_atomic_t* cancel, int64_t size);
// Step 5: write the page's records or park it in Buff1/Buff2. A page larger
// than a buffer grows that buffer; false when that fails.
bool SeqPlacePage(Sequencer* s, printer_header* h, const unsigned char* data, int64_t size);
// Step 6's line, once the page's data is released.
void SeqPageDone(Sequencer* s);
// Step 7 for the blank back side, after m_page was advanced for it.
bool SeqExtraPage(Sequencer* s, const unsigned char* data, int64_t size);
void SeqExtraDone(Sequencer* s);
// Step 8: the pair output in uncollated two-sided mode (nothing otherwise).
void SeqPairOutput(Sequencer* s);
