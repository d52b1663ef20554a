// Page image pipeline: raster capture to PBM work files, quarter turns of
// PBM images, JBIG encoding through the external `pbmtojbg`, loading of
// the JBIG data, and the blank back side.
#pragma once
#include <cstdint>
#include <cstdio>
#include <cups/raster.h>
#include <vector>

constexpr const char* kWorkDir = "/tmp/velmarsh/";
constexpr size_t kNameSize = 512;

// Largest page accepted, in bytes of pixel data.
constexpr uint64_t kMaxPageBytes = 2ull << 30;

// A header the filter can print: 1 bit per pixel, non-zero size, bytes per
// line enough for the width, pixel data within kMaxPageBytes. On failure
// `why` receives a short reason.
bool CheckPageHeader(const cups_page_header2_t& h, char* why, size_t whyLen);

// Reads the current page's pixels (one read) and writes its PBM work file
// (one write). Returns 0, or -1 after an "ERROR: " line naming the page.
int capturePage(cups_raster_t* ras, const cups_page_header2_t& h, int rasterPage, const char* pbmPath);

// Reads the next page header; false when there is none.
bool readAhead(cups_raster_t* ras, cups_page_header2_t* h);

// PBM header reading shared by the rotation and the encoder.
void skipPbmComments(FILE* f);
// "%2s", skip, "%d", skip, "%d". False when width or height can't be read.
bool ReadPbmHeader(FILE* f, char magic[3], int* width, int* height);
// Writes a binary PBM (P4) of packed rows, stride (width + 7) / 8; a null
// `bits` writes a white page. On failure a partly written regular file is
// removed and errno tells why (EIO for a short write).
enum class PbmWrite { Ok, OpenFailed, WriteFailed };
PbmWrite WritePbm(const char* path, int width, int height, const uint8_t* bits);

// In-memory turns of a packed 1-bit image (stride (w+7)/8). `dst` must hold
// the output size: ((h+7)/8)*w bytes for -90/90, ((w+7)/8)*h for 180.
// Output padding bits are 0. Fast version and the per-pixel reference.
void RotateBits(const uint8_t* src, int w, int h, int angle, uint8_t* dst);
void RotateBitsReference(const uint8_t* src, int w, int h, int angle, uint8_t* dst);

// File to file: 0 when the output was written, 1 on any failure.
int rotatePbm(const char* in, const char* out, int angle);

// Runs "pbmtojbg -q -x %d -y %d -r -s 128 -o 0 -p 8 -m 0 %s %s" through the
// shell with SIGTERM ignored in the child. Returns the shell's wait status,
// or -1 when the encoder was not run (PBM unreadable).
int pbmtojbg(const char* pbmPath, const char* jbgPath);

// The work files of one page image. They are removed when this goes out of
// scope, on every path, unless the environment sets FISKOR_KEEP_WORK_FILES
// (for debugging a queue: cupsd.conf's SetEnv). The captured page's PBM
// carries the raster page number, the others the page image number.
struct PageWorkFiles {
    char pbm[kNameSize];
    char rotated[kNameSize];
    char jbg[kNameSize];
    PageWorkFiles(int jobId, int rasterPage, int image);
    ~PageWorkFiles();
    PageWorkFiles(const PageWorkFiles&) = delete;
    PageWorkFiles& operator=(const PageWorkFiles&) = delete;
};

// Encodes a PBM work file into the page's JBIG work file and loads the JBIG
// data. On failure prints the lines naming the page (`extra` selects the
// wording of the blank back side) and one "ERROR: " line that says why;
// returns -1 (the caller ends with status 255).
int EncodePage(const char* pbmPath, const char* jbgPath, int mPage, bool extra, std::vector<unsigned char>* data);

// The blank back side: the white PBM of the blank size under the page
// image number mPage (if absent), turned by -90 when a5l, encoded and
// loaded as EncodePage does; its work files are removed afterwards.
int makeExtraPage(int jobId, int mPage, int blankWidth, int blankHeight, bool a5l, std::vector<unsigned char>* data);
