// The printer application's page intake: one job's pages, whatever format
// they arrived in, on their way to the printer in the stream the filter
// writes. Nothing here knows PAPPL: the driver hands in the job's IPP
// choices, its identity and complete pages, and a RecordSink that reaches
// the printer.
#pragma once
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cups/raster.h>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "params/params.h"
#include "stream/stream.h"

// A size the printer takes: its PWG name, the PPD's name for it and the
// PPD's size in points.
struct MediaSize {
    const char* pwg;
    const char* ppd;
    int widthPt;
    int heightPt;
};
constexpr int kMediaSizeCount = 11;
extern const MediaSize kMediaSizes[kMediaSizeCount];  // A4 first, the default
// nullptr for a size the printer does not take.
const MediaSize* FindMediaSize(const char* pwgName);

// The job's choices as IPP keywords, with the defaults a job without them gets.
struct IppChoices {
    std::string media = "iso_a4_210x297mm";       // PWG size name
    std::string source = "main";                  // media-source: main, manual, auto
    std::string type = "stationery";              // media-type
    std::string sides = "one-sided";              // sides
    std::string a5FeedEdge = "short-edge-first";  // a5-feed-edge: short-edge-first, long-edge-first
    std::string pageBorder = "on";                // page-border: on, off
    std::string documentHandling;                 // multiple-document-handling, empty when absent
    bool landscape = false;                       // orientation-requested (logged only)
    int dpi = 600;                                // the driver's resolution
};

// The same choices as the filter reads them from its PPD.
JobChoices ChoicesFromIpp(const IppChoices& ipp);

// What the job record says about the job itself.
struct JobIdentity {
    int jobId = 0;
    std::string user;   // job-originating-user-name
    std::string title;  // document-name, else job-name: the filter's title argument
    std::string uuid;
    std::string originHost;
    std::string timeCreation;  // seconds since the epoch, as CUPS passes them
    std::string timeProcessing;
    int copies = 1;
    // The printer's identity from the application's settings (empty when
    // none is set). The authentication file is never read.
    std::string authId;
    std::string password;
};

// A page as the intake keeps it: packed rows, most significant bit first,
// 1 = black, (width + 7) / 8 bytes each (the raster of a PBM P4 image).
struct PageBitmap {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> bits;
    size_t Stride() const { return (static_cast<size_t>(width) + 7) / 8; }
    uint8_t* Row(uint32_t y) { return bits.data() + y * Stride(); }
};

// A white page; false when the memory cannot be had.
bool MakeWhitePage(uint32_t width, uint32_t height, PageBitmap* page);

// One job's intake. Pages are held one behind, so the sequencer learns which
// page is the last; every page is turned (A5 fed long edge first) and
// encoded as the filter does, and the blank back side is made the same way.
struct PageIntake {
    PARAM_KEY_SPERATOR_VALUE table[kParamRows];
    char text[kJobParamsTextSize];
    PrintSettings settings;
    std::unique_ptr<Sequencer> seq;
    FILE* log = stderr;
    std::optional<PageBitmap> held;
    bool recordSent = false;
    uint32_t blankWidth = 0;   // the first page's padded width, as the filter takes it
    uint32_t blankHeight = 0;  // and its height
    int threads = 1;
    std::string error;  // why the job failed; empty while it has not
};

// Decides the job's settings exactly as the filter does (the same lines go
// to `log`) and makes the sequencer. False, with `error` set, when its page
// buffers cannot be had.
bool StartIntake(PageIntake* in, const IppChoices& ipp, const JobIdentity& id, RecordSink sink, FILE* log);

// A complete page. The first one brings the job record; each one sends the
// page held before it. A cancellation makes the held page the last; the
// pages after it are dropped. False once the job has failed (`error`).
bool AddPage(PageIntake* in, PageBitmap page);

// The end of the job: the held page goes out as the last, with its blank
// back side when a two-sided job ends on a front side. A job without pages
// writes nothing. False once the job has failed (`error`).
bool FinishIntake(PageIntake* in);

// How a raster document's lines become the intake's 1-bit black rows.
enum class RasterLines {
    Black1,  // 1 bit, 1 = black: taken as they are
    White1,  // 1 bit, 1 = white: inverted
    Black8,  // 8 bits, 255 = black: dithered
    White8,  // 8 bits (sGray), 0 = black: dithered
};

// Whether a page of a raster document can be printed by a printer of `dpi`
// as the document describes it: its resolution must be the printer's (a page
// is never scaled), and its lines 1- or 8-bit grey or black. On false `why`
// is a sentence for the job's log.
bool CheckRasterPage(const cups_page_header2_t& h, int dpi, RasterLines* lines, std::string* why);

// One document line of `width` pixels into a packed 1-bit row of
// (width + 7) / 8 bytes; 8-bit lines are dithered with `dither` (PAPPL's
// 16 x 16 matrix: a grey value at or below the threshold, or a black value
// above it, prints black), as PAPPL dithers the lines it converts itself.
void ConvertRasterLine(RasterLines lines, const uint8_t* in, uint32_t width, uint32_t y, const uint8_t (*dither)[16],
                       uint8_t* out);

// The ordered-dither matrix the drivers use: a 16 x 16 Bayer matrix with
// thresholds 0 to 254, so white never prints and black always does.
void MakeDitherMatrix(uint8_t (*dither)[16]);
