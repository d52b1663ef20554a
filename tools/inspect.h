// Printer stream inspector: a strict parser for the stream the filter writes
// (one job record, then page records), the parameter text inside the job
// record, JBIG decoding of page data through libjbig, and writing decoded
// pages as PBM and PNG files.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

constexpr int kInspectParamCount = 24;
// The longest parameter text a 24-row table can produce.
constexpr uint32_t kInspectMaxParamText = 6436;

struct InspectParam {
    char key[32];     // the row's name, e.g. "PageSize"
    char value[256];  // its value, at most 255 characters
};

// The 24 rows in table order.
struct InspectParams {
    InspectParam row[kInspectParamCount];
};

// One page record; `data` points into the parsed input.
struct InspectPage {
    size_t offset;  // byte offset of the record's first byte
    uint32_t firstpage;
    uint32_t lastpage;
    uint32_t datasize;
    uint32_t pageseq;
    const uint8_t* data;
};

struct ParsedStream {
    bool has_job_record = false;  // false only for an empty input
    uint32_t job_params_size = 0;
    std::string job_params;  // the text as carried in the stream
    InspectParams params{};
    std::vector<InspectPage> pages;
};

// Splits a parameter text into its 24 rows. The rows come in table order as
// "key=value, "; a value may itself contain ", ", so each value runs up to
// the ", " that precedes the next row's "key=" (the last one up to the final
// ", "). False with a message naming the character offset on any deviation.
bool ParseJobParams(const char* text, size_t len, InspectParams* out, std::string* error);

// Value of a row by name, or nullptr when no row carries that name.
const char* InspectParamValue(const InspectParams& p, const char* key);

// Checks the whole stream: job record tag, length and parameter text, then
// page records with their name, 0/1 flags, datasize within the input and
// pageseq 1, 2, 3...; no bytes may follow the last record. An empty input is
// a stream with no records. On failure `error` reads
// "byte N, <record>: <what>" and the function returns false.
bool ParseStream(const uint8_t* data, size_t len, ParsedStream* out, std::string* error);

// Sheet and side of a page record in a two-sided job: the records come as
// front, back, front, back... counted by pageseq from 1.
uint32_t SheetOfPage(uint32_t pageseq);
bool IsFrontSide(uint32_t pageseq);

// A decoded page: packed rows of (width + 7) / 8 bytes, most significant bit
// first, 1 = black (the layout of a PBM P4 raster).
struct PageImage {
    uint32_t width = 0;
    uint32_t height = 0;
    std::vector<uint8_t> bits;
};

// Default upper bound on width * height accepted for decoding: 2^33 pixels
// (1 GiB of packed image), far beyond a 1200 dpi A3 page.
constexpr uint64_t kInspectMaxPixels = uint64_t(1) << 33;

// Decodes one JBIG image (a single BIE, one plane, one resolution layer).
// The header's size is checked against `max_pixels` before libjbig
// allocates anything; the image must be complete and use every byte.
bool DecodeJbig(const uint8_t* data, size_t len, uint64_t max_pixels, PageImage* out, std::string* error);

// Writes the image as a binary PBM (P4) or as a 1-bit grayscale PNG.
bool WritePagePbm(const char* path, const PageImage& img, std::string* error);
bool WritePagePng(const char* path, const PageImage& img, std::string* error);
