// Printer stream: the job record, the page records, and the sequencer that
// decides which page records are written, how often and in which order.
#pragma once
#include <array>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>

// The header of a page record as the sequencer keeps it.
struct printer_header {
    char name[16];
    uint32_t firstpage;
    uint32_t lastpage;
    uint32_t datasize;
    uint32_t pageseq;
    printer_header();
};

constexpr size_t kJobRecordHeaderSize = 20;  // tag and length
constexpr size_t kPageHeaderSize = 32;

// The 20 bytes before the parameter text: the tag and the text's length.
std::array<unsigned char, kJobRecordHeaderSize> JobRecordHeader(uint32_t textSize);
// The 32 bytes of a page record's header, with `lastpage` in place of the
// header's own value. Every number is little-endian whatever the host's order.
std::array<unsigned char, kPageHeaderSize> PageRecordHeader(const printer_header& h, uint32_t lastpage);

// Where the records go, how a cancellation is learnt, and who counts the
// pages. The filter writes to standard output and reads its SIGTERM flag; a
// daemon writes to its device. `write` returns false when the bytes could
// not be written.
//
// `pageSent` (may be empty) is told of every record of a document page once
// the whole record has been written: the raster page's number (from 1) and
// how many times the printer prints it. An uncollated copy is a record of
// its own and counts 1; a collated job's page is written once and counts the
// job's copies (at least 1), as the printer repeats the document. Blank back
// sides and records whose writing failed are not counted, so the sum of the
// copies is the number of pages printed, also for a cancelled job.
struct RecordSink {
    std::function<bool(const unsigned char* data, size_t size)> write;
    std::function<bool()> cancelled;
    std::function<void(int page, int copies)> pageSent;
};

// A page held for its other side; grown only for a page larger than it.
struct HeldPage {
    std::unique_ptr<unsigned char[]> data;
    size_t capacity = 0;
    printer_header hdr;
    int page = 0;  // the raster page it holds; 0 for the blank back side
};

constexpr size_t kPageBufferSize = 4194304;

// Turns a job's pages into page records in the order the printer prints
// them. Uncollated copies repeat each page (one-sided) or each front and
// back pair (two-sided); a collated job is written once, its copies made by
// the printer. A two-sided job ending on a front side gets a blank back
// side. Exactly one record ends the job (lastpage 1), unless a collated
// job's copies or a cancellation say otherwise. Every decision is logged.
class Sequencer {
public:
    // Allocates the two page buffers; check Allocated().
    Sequencer(RecordSink sink, FILE* log = stderr);
    bool Allocated() const { return buff1_.data && buff2_.data; }

    // The job's mode, before the first page. `duplex` 0 is one-sided; the
    // copies are the job's copies argument, any value.
    void SetMode(int collate, int duplex, int copies);

    // The job record: its tag, length and the parameter text. `logText` is
    // what the log shows of it (the password masked).
    void WriteJobRecord(const char* text, const char* logText);

    // The image number the next page takes (from 1, the blank back side
    // included). It names the page's work files, and its parity tells a
    // front side (odd) from a back side (even).
    int NextImage() const { return m_page + 1; }

    // Hands over one raster page's JBIG data; `last` when no raster page
    // follows. Writes its records now, or holds it until its back side
    // arrives. False when a page larger than a buffer cannot be held.
    bool AddPage(const unsigned char* data, size_t size, bool last);
    // After AddPage: the job ended on a front side of a two-sided job, and
    // AddBlankBack must follow with the blank page (image NextImage()).
    bool BlankBackDue() const { return extra_page != 0; }
    bool AddBlankBack(const unsigned char* data, size_t size);

    // The last page has been handed over (or a cancellation made the
    // current page the last one).
    bool Finished() const { return no_more_pages != 0; }
    // Records written so far, and whether any write failed.
    int RecordsWritten() const { return written_records; }
    bool WriteFailed() const { return writeFailed_; }

private:
    void Log(const char* fmt, ...) __attribute__((format(printf, 2, 3)));
    bool PairsPages() const { return collate == 0 && duplex != 0; }
    void WriteRecord(printer_header& h, uint32_t lastpage, const unsigned char* data, int page, int times);
    bool Hold(HeldPage& b, const printer_header& h, int page, const unsigned char* data, size_t size);
    void WriteOneSided(printer_header& h, const unsigned char* data);
    void WriteCollated(printer_header& h, const unsigned char* data);
    void WritePair();

    RecordSink sink_;
    FILE* log_;
    bool writeFailed_ = false;
    int collate = 0;
    int duplex = 0;
    int copies = 0;
    int raster_page = 1;
    int m_page = 0;
    int written_records = 0;
    int copies_left = 0;
    int no_more_pages = 0;
    int extra_page = 0;
    HeldPage buff1_, buff2_;
};
