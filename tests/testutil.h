// What the tests share: one page maker (raster jobs written with libcups'
// own writer), one filter runner, one reader of printer streams (the
// inspector's parser and decoder), and one model of the page order.
#pragma once
#include <cstdint>
#include <functional>
#include <ostream>
#include <string>
#include <sys/types.h>
#include <utility>
#include <vector>

struct TestPage {
    int width = 0;
    int height = 0;
    int bytesPerLine = 0;  // 0: (width + 7) / 8
    int bitsPerPixel = 1;
    int resolution = 600;
    std::vector<uint8_t> bits;  // height * bytesPerLine bytes, 1 = black
};

// A page with a recognisable pattern that differs for every seed.
TestPage PatternPage(int width, int height, uint32_t seed);
// Pages of mixed widths, multiples of 8 and not.
std::vector<TestPage> Pages(int n);
// Writes the pages as a CUPS raster stream; `truncateLast` bytes are cut
// from the end of the file afterwards.
bool WriteRasterFile(const std::string& path, const std::vector<TestPage>& pages, size_t truncateLast = 0);

// A binary PBM (P4) of packed rows, 1 = black.
std::string PbmText(int width, int height, const std::vector<uint8_t>& bits);

std::string ReadFile(const std::string& path);
bool WriteFile(const std::string& path, const std::string& data);
size_t Count(const std::string& text, const std::string& what);

struct FilterRun {
    int status = -1;  // exit status, or 128 + signal
    std::string out;  // the printer stream
    std::string err;  // diagnostics
};

constexpr const char* kUnset = "\x01unset";

struct FilterOptions {
    std::vector<std::string> args;                         // the five or six filter arguments
    std::string input;                                     // file for standard input ("" = /dev/null)
    std::vector<std::pair<std::string, std::string>> env;  // PPD is the product PPD unless set here
                                                           // (kUnset removes a variable)
    std::string program;                                   // default: the built filter
    std::string stdoutTo;                                  // the printer stream goes here instead (e.g. /dev/full)
    bool closeStdout = false;
    int uid = -1;  // run as this user (and its group) when >= 0
};

// The standard arguments with the given options text and copies.
std::vector<std::string> FilterArgs(const std::string& options, const std::string& copies = "1",
                                    const std::string& job = "42", const std::string& title = "report.pdf");

// Starts the filter in its own process group; WaitFilter collects it.
struct StartedFilter {
    pid_t pid = -1;
    std::string outPath, errPath;
};
StartedFilter StartFilter(const FilterOptions& o);
FilterRun WaitFilter(const StartedFilter& s, int timeoutSeconds = 120);
// Waits until the started filter's diagnostics hold `text`, then 0.1 s more
// for it to reach the call that blocks next; false after the timeout.
bool WaitForLog(const StartedFilter& s, const std::string& text, int timeoutSeconds = 30);
FilterRun RunFilter(const FilterOptions& o, int timeoutSeconds = 120);
// Writes the pages to a raster file and prints them with these options.
FilterRun PrintPages(const std::vector<TestPage>& pages, const std::string& options, const std::string& copies = "1",
                     std::vector<std::pair<std::string, std::string>> env = {});

std::string TestPpd(const std::string& name);  // under tests/ppd
std::string ProductPpd();

// Directory holding a fake `pbmtojbg` with the given shell body; returns the
// PATH value that puts it first.
std::string FakeEncoderPath(const std::string& dir, const std::string& body);

// One page record: which page it carries ("P1".., "B" the blank back side,
// "?" anything else) and its header fields.
struct Row {
    std::string page;
    uint32_t firstpage, lastpage, pageseq;
    bool operator==(const Row& o) const
    {
        return page == o.page && firstpage == o.firstpage && lastpage == o.lastpage && pageseq == o.pageseq;
    }
};
std::ostream& operator<<(std::ostream& os, const Row& r);

// A printer stream read by the inspector's strict parser; `error` is empty
// when it parsed.
struct ReadJob {
    std::string error;
    std::string params;
    std::vector<Row> rows;
};
using PageNamer = std::function<std::string(const uint8_t* data, size_t size)>;
ReadJob ReadStream(const std::string& stream, const PageNamer& name);
// Names records by decoding their JBIG data and comparing with the pages
// (turned -90 when `turned`); a white page of the first page's padded size
// is the blank back side.
PageNamer DecodedPageNamer(const std::vector<TestPage>& pages, bool turned);

// The records a job must produce, in stream order: uncollated copies repeat
// each page (one-sided) or each pair (two-sided), a collated job is written
// once, an odd two-sided job ends with a blank back side.
std::vector<Row> ExpectedOrder(int collate, int duplex, int pages, int copies);

// Starts the private scheduler tests/e2e/setup.sh configured under `cupsdDir`
// (in the foreground, as a child that ends with this process), points this
// process's libcups and the CUPS commands it runs at its socket, and waits
// for the socket to appear.
void StartPrivateCupsd(const std::string& cupsdDir);
