// Helpers shared by the tests: raster jobs written with libcups' own writer,
// running the filter binary, and files.
#pragma once
#include <cstdint>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

struct TestPage {
    int width = 0;
    int height = 0;
    int bytesPerLine = 0;     // 0: (width + 7) / 8
    int bitsPerPixel = 1;
    int resolution = 600;
    std::vector<uint8_t> bits;  // height * bytesPerLine bytes, 1 = black
};

// A page with a recognisable pattern that differs for every seed.
TestPage PatternPage(int width, int height, uint32_t seed);
// Writes the pages as a CUPS raster stream; `truncateLast` bytes are cut
// from the end of the file afterwards. Returns false on failure.
bool WriteRasterFile(const std::string& path, const std::vector<TestPage>& pages, size_t truncateLast = 0);

std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& data);

struct FilterRun {
    int status = -1;       // exit status, or 128 + signal
    std::string out;       // the printer stream
    std::string err;       // diagnostics
};

struct FilterOptions {
    std::vector<std::string> args;  // the five or six filter arguments
    std::string input;              // file for standard input ("" = /dev/null)
    std::vector<std::pair<std::string, std::string>> env;  // set (value) or unset (value "\x01unset")
    std::string program = "";       // default: the built filter
    bool newProcessGroup = false;
    bool closeStdout = false;
    std::string stdoutTo;           // write the printer stream here instead (e.g. /dev/full)
    int uid = -1;                   // run as this user (and its group) when >= 0
    std::vector<std::string> wrapper;  // e.g. valgrind and its options, run in front of the filter
};

// Starts the filter; its output goes to files under /tmp/fzrun-<n>.
struct StartedFilter {
    pid_t pid = -1;
    std::string outPath, errPath;
};
StartedFilter StartFilter(const FilterOptions& o);
FilterRun WaitFilter(const StartedFilter& s, int timeoutSeconds = 120);
FilterRun RunFilter(const FilterOptions& o, int timeoutSeconds = 120);

// The standard arguments with the given options text and copies.
std::vector<std::string> FilterArgs(const std::string& options, const std::string& copies = "1",
                                    const std::string& job = "42", const std::string& title = "report.pdf");

// Path of a test PPD under tests/ppd, or of the product PPD.
std::string TestPpd(const std::string& name);
std::string ProductPpd();

// The built filter, the product PPD and the project's encoder (when built)
// copied into `dir`, for running the filter as another user: the build and
// the checkout may lie where only root can enter (e.g. under /root), so that
// user gets copies in a directory it can reach, as an install would give it.
struct UserReachableFilter {
    std::string program;  // the filter, mode 0755
    std::string ppd;      // the product PPD, mode 0644
    std::string path;     // PATH value: `dir` (with the encoder, if any) first, then /usr/bin:/bin
};
// False (with `error`) when the copies could not be made.
bool CopyFilterForOtherUser(const std::string& dir, UserReachableFilter* out, std::string* error);

// Directory holding a fake `pbmtojbg` with the given shell body; returns the
// PATH value that puts it first.
std::string FakeEncoderPath(const std::string& dir, const std::string& body);

// Lines of `text` that start with `prefix`.
std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix);

// The printer stream, read independently of the product's own inspector.
struct StreamRecord {
    uint32_t firstpage = 0, lastpage = 0, datasize = 0, pageseq = 0;
    std::string data;
};
struct ParsedJob {
    std::string params;
    std::vector<StreamRecord> pages;
};
// False (with `error`) unless the stream is one job record and complete page records.
bool SplitStream(const std::string& stream, ParsedJob* job, std::string* error);

// A decoded bi-level page: packed rows, stride (width + 7) / 8, 1 = black.
struct Bitmap {
    int width = 0, height = 0;
    std::vector<uint8_t> bits;
};
// Decodes JBIG data with libjbig; false when it is not a complete image.
bool DecodeJbig(const std::string& data, Bitmap* out);
// The page's pixels with padding bits cleared, for comparisons.
Bitmap PageBitmap(const TestPage& p);
// Quarter turn counterclockwise: (row y, col x) -> (row w-1-x, col y).
Bitmap TurnMinus90(const Bitmap& b);
