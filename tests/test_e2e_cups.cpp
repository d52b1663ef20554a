// End-to-end tests with the real CUPS of this machine, on the build as
// `cmake --install` puts it into a private DESTDIR (tests/e2e/setup.sh):
// cupsfilter runs Debian's pdftopdf and gstoraster and the installed filter
// with the product PPD, and a private cupsd (own ServerRoot, ServerBin,
// spool, logs, Unix socket, User lp) prints jobs from lp through queues made
// with lpadmin into a capture backend. The test program has a private /tmp.
#include "tests/testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <cups/cups.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <map>
#include <sstream>
#include <string>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kWork = "/tmp/fz-e2e";
const std::string kE2eDir = FZ_SOURCE_DIR "/tests/e2e";
const std::string kCupsd = kWork + "/cupsd", kSocket = kCupsd + "/cups.sock", kCapture = kCupsd + "/capture";
const char* const kQueues[] = {"q0", "q1"};  // jobs of different queues print at the same time

std::string Pdf(int pages) { return kWork + "/sample-" + std::to_string(pages) + ".pdf"; }

std::string Q(const std::string& s) {
    std::string q = "'";
    for (char c : s) q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

struct CmdResult {
    int status = -1;  // exit status, or 128 + signal, or -1 when it could not run
    std::string out;  // standard output and standard error together
};

CmdResult Sh(const std::string& cmd) {
    CmdResult r;
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) return {-1, "popen failed: " + std::string(strerror(errno))};
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, p)) > 0;) r.out.append(buf, n);
    const int st = pclose(p);
    r.status = st == -1 ? -1 : WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

// Value of a NAME=value line, or of a row of the parameter text
// ("key=value, key=value, ...") with separator ", ".
std::string ValueOf(const std::string& text, const std::string& name, const std::string& sep = "\n") {
    const std::string t = sep + text;
    size_t pos = t.find(sep + name + "=");
    if (pos == std::string::npos) return "<none>";
    pos += sep.size() + name.size() + 1;
    return t.substr(pos, t.find(sep, pos) - pos);
}

struct E2eSetup { std::string skip, error, ppd, inspect; };  // skip or error: the reason for every test

const E2eSetup& TheSetup() {
    static const E2eSetup s = [] {
        E2eSetup e;
        const CmdResult r = Sh(Q(kE2eDir + "/setup.sh") + " " + Q(kWork) + " " + Q(FZ_BINARY_DIR) + " " +
                               Q(FZ_SOURCE_DIR));
        if (r.status == 77) e.skip = r.out + "; end-to-end tests need a real CUPS (Debian package cups)";
        if (r.status != 0 && r.status != 77) e.error = "setup.sh failed:\n" + r.out;
        e.ppd = ValueOf(r.out, "PPD");
        e.inspect = ValueOf(r.out, "INSPECT");
        return e;
    }();
    return s;
}

#define REQUIRE_E2E()                                                               \
    if (!TheSetup().skip.empty()) GTEST_SKIP() << TheSetup().skip;                  \
    ASSERT_EQ(TheSetup().error, "")

void ClearPadding(Bitmap* b) {
    const int stride = (b->width + 7) / 8;
    for (int y = 0; b->width % 8 && y < b->height; y++)
        b->bits[size_t(y) * stride + stride - 1] &= uint8_t(0xff << (8 - b->width % 8));
}

size_t CountBlack(const Bitmap& b) {
    size_t n = 0;
    for (uint8_t v : b.bits) n += size_t(__builtin_popcount(v));
    return n;
}

::testing::AssertionResult SamePixels(const Bitmap& got, const Bitmap& want) {
    if (got.width != want.width || got.height != want.height)
        return ::testing::AssertionFailure() << "size " << got.width << "x" << got.height << ", expected "
                                             << want.width << "x" << want.height;
    const auto diff = std::mismatch(got.bits.begin(), got.bits.end(), want.bits.begin());
    if (diff.first == got.bits.end()) return ::testing::AssertionSuccess();
    const size_t at = size_t(diff.first - got.bits.begin()), stride = size_t(got.width + 7) / 8;
    return ::testing::AssertionFailure() << "pixels differ first in row " << at / stride << " near column "
                                         << at % stride * 8;
}

// A sheet dimension in pixels as gstoraster rounds it (within two pixels).
::testing::AssertionResult AboutPixels(unsigned got, double points, unsigned dpi) {
    const double want = points * dpi / 72.0;
    if (got + 2.0 >= want && got <= want + 2.0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << got << " pixels, expected about " << want << " (" << points << " pt at "
                                         << dpi << " dpi)";
}

struct RasterPage { cups_page_header2_t header; Bitmap image; };

// Reads 1-bit CUPS raster pages with libcups' reader, rows repacked to
// (width + 7) / 8 bytes with the padding bits cleared.
std::vector<RasterPage> ReadRaster(const std::string& path) {
    std::vector<RasterPage> pages;
    const int fd = open(path.c_str(), O_RDONLY);
    cups_raster_t* r = fd < 0 ? nullptr : cupsRasterOpen(fd, CUPS_RASTER_READ);
    RasterPage p;
    while (r && cupsRasterReadHeader2(r, &p.header) && p.header.cupsBitsPerPixel == 1) {
        const cups_page_header2_t& h = p.header;
        const size_t stride = (h.cupsWidth + 7) / 8;
        p.image = {int(h.cupsWidth), int(h.cupsHeight), std::vector<uint8_t>(stride * h.cupsHeight)};
        std::vector<uint8_t> line(h.cupsBytesPerLine);
        for (unsigned y = 0; y < h.cupsHeight; y++) {
            if (cupsRasterReadPixels(r, line.data(), h.cupsBytesPerLine) != h.cupsBytesPerLine) break;
            memcpy(&p.image.bits[y * stride], line.data(), stride);
        }
        ClearPadding(&p.image);
        pages.push_back(p);
    }
    if (r) cupsRasterClose(r);
    if (fd >= 0) close(fd);
    return pages;
}

// Reads a binary PBM (P4) as the inspector writes it.
::testing::AssertionResult ReadPbm(const std::string& path, Bitmap* b) {
    const std::string data = ReadFile(path);
    int used = 0;
    if (sscanf(data.c_str(), "P4 %d %d%n", &b->width, &b->height, &used) != 2 || b->width <= 0 ||
        data.size() != size_t(used + 1) + size_t(b->width + 7) / 8 * size_t(b->height))
        return ::testing::AssertionFailure() << path << ": not a P4 PBM file of the size it says";
    b->bits.assign(data.begin() + used + 1, data.end());
    ClearPadding(b);
    return ::testing::AssertionSuccess();
}

struct FilterCase {
    const char* name;
    int pages;             // of the sample document
    const char* options;   // cupsfilter's -n and -o
    const char* params;    // rows of the parameter text, "key=value" separated by blanks
    double wPt, hPt; unsigned dpi;  // the paper at a resolution
    std::vector<int> order;  // raster page of each page record, 0: blank
    bool turn;             // records are the raster pages turned -90
};

const FilterCase kFilterCases[] = {
    {"a4", 3, "", "PageSize=A4 Duplex=None", 595, 842, 600, {1, 2, 3}, false},
    {"duplex-uncollated", 3, "-n 2 -o sides=two-sided-long-edge -o collate=false", "Duplex=DuplexNoTumble copies=2",
     595, 842, 600, {1, 2, 1, 2, 3, 0, 3, 0}, false},
    {"a5-feededge1", 3, "-o PageSize=A5 -o FeedEdge=1", "PageSize=A5 FeedEdge=1", 420, 595, 600, {1, 2, 3}, true},
    {"a5-feededge0", 1, "-o PageSize=A5 -o FeedEdge=0", "PageSize=A5 FeedEdge=0", 420, 595, 600, {1}, false},
    {"1200dpi", 1, "-o Resolution=1200dpi", "Resolution=1200dpi", 595, 842, 1200, {1}, false},
};

void ExpectParams(const std::string& text, const std::string& params) {
    std::istringstream rows(params);
    for (std::string row; rows >> row;) {
        const size_t eq = row.find('=');
        EXPECT_EQ(ValueOf(text, row.substr(0, eq), ", "), row.substr(eq + 1)) << text;
    }
}

// CUPS's raster of the paper's full size, and every page the inspector
// decodes from the printer stream is the raster page the order names, pixel
// for pixel (or its -90 turn), or blank.
TEST(Cupsfilter, PrintedPagesAreTheRasterPixelForPixel) {
    REQUIRE_E2E();
    for (const FilterCase& c : kFilterCases) {
        SCOPED_TRACE(c.name);
        const std::string dir = kWork + "/cupsfilter/" + c.name;
        const CmdResult r = Sh(Q(kE2eDir + "/cupsfilter_job.sh") + " --serverbin " + Q(kWork + "/serverbin") +
                               " --ppd " + Q(TheSetup().ppd) + " --inspect " + Q(TheSetup().inspect) + " --out " +
                               Q(dir) + " --raster --pbm " + Q(Pdf(c.pages)) + " " + c.options);
        ASSERT_EQ(r.status, 0) << r.out;
        const std::vector<RasterPage> raster = ReadRaster(dir + "/raster.ras");
        ParsedJob stream;
        std::string error;
        ASSERT_TRUE(SplitStream(ReadFile(dir + "/job.prn"), &stream, &error)) << error;
        ExpectParams(stream.params, c.params);
        ASSERT_EQ(raster.size(), size_t(c.pages)) << "CUPS's pre-filters make no copies";
        for (const RasterPage& p : raster) {
            const cups_page_header2_t& h = p.header;
            EXPECT_EQ(h.cupsColorSpace, CUPS_CSPACE_K) << "1 must mean black";
            EXPECT_TRUE(h.HWResolution[0] == c.dpi && h.HWResolution[1] == c.dpi);
            EXPECT_TRUE(AboutPixels(h.cupsWidth, c.wPt, c.dpi));
            EXPECT_TRUE(AboutPixels(h.cupsHeight, c.hPt, c.dpi));
            EXPECT_GT(CountBlack(p.image), size_t(h.cupsWidth) * 20) << "the sample's text and picture";
        }
        for (size_t i = 1; i < raster.size(); i++) EXPECT_FALSE(SamePixels(raster[i - 1].image, raster[i].image));
        ASSERT_EQ(stream.pages.size(), c.order.size()) << ReadFile(dir + "/inspect.txt");
        for (size_t i = 0; i < c.order.size(); i++) {
            SCOPED_TRACE("page record " + std::to_string(i + 1));
            const cups_page_header2_t& h = raster[0].header;  // a blank page: the first one's padded size
            Bitmap got, want{int(8 * h.cupsBytesPerLine), int(h.cupsHeight),
                             std::vector<uint8_t>(h.cupsBytesPerLine * h.cupsHeight)};
            char pbm[48];
            snprintf(pbm, sizeof pbm, "/pbm/page-%03zu.pbm", i + 1);
            ASSERT_TRUE(ReadPbm(dir + pbm, &got));
            if (c.order[i] > 0) want = raster[c.order[i] - 1].image;
            if (c.order[i] > 0 && c.turn) want = TurnMinus90(want);
            EXPECT_TRUE(SamePixels(got, want));
        }
    }
}

struct LpCase {
    int pages;
    std::string options;  // lp's
    std::string params;   // as in FilterCase
    std::string labels;   // page records: "1", "2"... for the document's pages, "B" for a blank page
    int sides;            // printed sides the user asked for
    double wPt, hPt; unsigned dpi;
    bool endMarked;       // firstpage on the first record, lastpage on the last
};

struct LpJob { int id = 0; ipp_jstate_t state = IPP_JSTATE_PENDING; ParsedJob stream; };

class Scheduler : public ::testing::Test {
protected:
    static pid_t cupsd_;
    static std::string startError_;

    static void SetUpTestSuite() {
        if (!TheSetup().skip.empty() || !TheSetup().error.empty()) return;
        // Jobs run as lp: the work directory the filter made as root under
        // cupsfilter would be out of their reach.
        if (Sh("rm -rf /tmp/velmarsh").status != 0) startError_ = "cannot remove /tmp/velmarsh";
        cupsd_ = fork();
        if (cupsd_ == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);  // the scheduler ends with the test program
            const int fd = open((kCupsd + "/log/cupsd.out").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            dup2(fd, 1);
            dup2(fd, 2);
            execlp("cupsd", "cupsd", "-f", "-c", (kCupsd + "/root/cupsd.conf").c_str(), "-s",
                   (kCupsd + "/root/cups-files.conf").c_str(), (char*)nullptr);
            _exit(127);
        }
        struct stat st;
        for (int i = 0; i < 200 && stat(kSocket.c_str(), &st) != 0; i++) usleep(50000);
        for (const char* q : kQueues) {
            const CmdResult r = Sh("lpadmin -h " + Q(kSocket) + " -p " + q + " -E -v " + Q("capture:" + kCapture) +
                                   " -P " + Q(TheSetup().ppd));
            if (r.status != 0) startError_ += "lpadmin failed: " + r.out + ReadFile(kCupsd + "/log/cupsd.out");
        }
    }

    static void TearDownTestSuite() {
        if (cupsd_ > 0) {
            kill(cupsd_, SIGTERM);
            int status, i = 0;
            while (waitpid(cupsd_, &status, WNOHANG) != cupsd_ && i++ < 200) usleep(50000);
            if (i > 200 && kill(cupsd_, SIGKILL) == 0) waitpid(cupsd_, &status, 0);
        }
    }

    void SetUp() override {
        REQUIRE_E2E();
        ASSERT_EQ(startError_, "");
        ASSERT_GT(cupsd_, 0);
    }

    // The scheduler's messages about a job, without the pre-filters' chatter.
    static std::string JobLog(int id) {
        return Sh("grep -F " + Q("[Job " + std::to_string(id) + "]") + " " + Q(kCupsd + "/log/error_log") +
                  " | grep -v -e 'envp\\[' -e 'argv\\[' | tail -n 40").out;
    }

    // Submits with lp to queue `queue`; 0 on failure (with the message in `error`).
    static int Submit(const std::string& file, const std::string& options, const char* queue, std::string* error) {
        const CmdResult r = Sh("lp -h " + Q(kSocket) + " -d " + queue + " " + options + " " + Q(file));
        int id = 0;
        const size_t pos = r.out.find("request id is ");
        if (r.status != 0 || pos == std::string::npos ||
            sscanf(r.out.c_str() + pos, "request id is %*[^-]-%d", &id) != 1)
            *error = "lp " + options + ": " + r.out;
        return id;
    }

    static std::string CaptureFile(int id) { return kCapture + "/job-" + std::to_string(id) + ".prn"; }

    // Waits until every job has ended and its backend has saved what it
    // received; then reads the streams.
    static ::testing::AssertionResult WaitAll(std::vector<LpJob>* jobs, int timeoutSeconds) {
        for (int waited = 0;; waited++) {
            http_t* http =
                httpConnect2(kSocket.c_str(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1, 30000, nullptr);
            cups_job_t* list = nullptr;
            const int n = http ? cupsGetJobs2(http, &list, nullptr, 0, CUPS_WHICHJOBS_ALL) : -1;
            std::map<int, ipp_jstate_t> states;
            for (int i = 0; i < n; i++) states[list[i].id] = list[i].state;
            cupsFreeJobs(n, list);
            httpClose(http);
            if (n < 0) return ::testing::AssertionFailure() << "cannot ask cupsd for its jobs";
            bool done = true;
            std::string pending;
            for (LpJob& j : *jobs) {
                j.state = states.count(j.id) ? states[j.id] : IPP_JSTATE_PENDING;
                if (j.state < IPP_JSTATE_CANCELED ||
                    (j.state != IPP_JSTATE_ABORTED && access(CaptureFile(j.id).c_str(), F_OK) != 0)) {
                    done = false;
                    pending += " " + std::to_string(j.id) + "=" + std::to_string(int(j.state));
                }
            }
            if (done) break;
            if (waited >= timeoutSeconds * 10)
                return ::testing::AssertionFailure() << "jobs not done after " << timeoutSeconds << " s:" << pending;
            usleep(100000);
        }
        for (LpJob& j : *jobs) {
            std::string error;
            if (j.state != IPP_JSTATE_ABORTED && !SplitStream(ReadFile(CaptureFile(j.id)), &j.stream, &error))
                return ::testing::AssertionFailure() << "job " << j.id << ": stream: " << error;
        }
        return ::testing::AssertionSuccess();
    }

    static ::testing::AssertionResult InspectorAccepts(int id) {
        const CmdResult r = Sh(Q(TheSetup().inspect) + " --quiet " + Q(CaptureFile(id)));
        if (r.status == 0) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "fzinspect status " << r.status << ": " << r.out;
    }

    // Prints every case through lp, spread over the queues, and checks what
    // the printer receives.
    static void RunAndCheck(const std::vector<LpCase>& cases) {
        std::vector<LpJob> jobs(cases.size());
        for (size_t i = 0; i < cases.size(); i++) {
            std::string error;
            jobs[i].id = Submit(Pdf(cases[i].pages), cases[i].options, kQueues[i % 2], &error);
            ASSERT_NE(jobs[i].id, 0) << error;
        }
        ASSERT_TRUE(WaitAll(&jobs, 60 + 20 * int(jobs.size())));
        for (size_t i = 0; i < cases.size(); i++) {
            const LpCase& c = cases[i];
            const ParsedJob& s = jobs[i].stream;
            SCOPED_TRACE("lp " + c.options + " (" + std::to_string(c.pages) + " pages), job " +
                         std::to_string(jobs[i].id));
            ASSERT_EQ(jobs[i].state, IPP_JSTATE_COMPLETED) << JobLog(jobs[i].id);
            EXPECT_TRUE(InspectorAccepts(jobs[i].id));
            ExpectParams(s.params, c.params);
            // Labels: copies of one page carry the same JBIG bytes.
            std::map<std::string, int> seen;
            std::string labels;
            for (const StreamRecord& r : s.pages) {
                Bitmap b;
                ASSERT_TRUE(DecodeJbig(r.data, &b));
                ClearPadding(&b);
                EXPECT_TRUE(AboutPixels(unsigned(b.width), c.wPt, c.dpi));
                EXPECT_TRUE(AboutPixels(unsigned(b.height), c.hPt, c.dpi));
                const int n = CountBlack(b) ? seen.emplace(r.data, int(seen.size()) + 1).first->second : 0;
                labels += (labels.empty() ? "" : " ") + (n ? std::to_string(n) : "B");
            }
            EXPECT_EQ(labels, c.labels);
            // Collated copies are made by the printer from the parameter text.
            const bool collate = c.options.find("collate=true") != std::string::npos;
            const int printerCopies = collate ? atoi(ValueOf(s.params, "copies", ", ").c_str()) : 1;
            EXPECT_EQ(int(s.pages.size()) * printerCopies, c.sides);
            if (c.endMarked && !s.pages.empty()) {
                EXPECT_EQ(s.pages[0].firstpage, 1u);
                EXPECT_EQ(s.pages.back().lastpage, 1u);
            }
        }
    }
};

pid_t Scheduler::cupsd_ = -1;
std::string Scheduler::startError_;

// What the printer must print, in order, for a document of `pages` pages:
// the filter repeats pages (one-sided) or front/back pairs (two-sided, an odd
// last page paired with a blank back) for uncollated copies; a collated job
// goes once and the printer repeats it.
std::string ExpectedLabels(int pages, bool collate, bool duplex, int copies) {
    std::vector<std::string> p;
    for (int i = 1; i <= pages; i++) p.push_back(std::to_string(i));
    if (duplex && pages % 2 == 1) p.push_back("B");
    const size_t group = duplex ? 2 : 1;
    std::string out;
    for (size_t i = 0; i < p.size(); i += group)
        for (int c = 0; c < (collate ? 1 : copies); c++)
            for (size_t k = i; k < i + group; k++) out += (out.empty() ? "" : " ") + p[k];
    return out;
}

TEST_F(Scheduler, CopiesAreNeitherLostNorMultiplied) {
    // Every combination of collation, duplex and copies: the printed sides
    // (page records, times the parameter text's copies when the printer
    // makes collated copies) are what the user asked for, blank back sides
    // included.
    std::vector<LpCase> cases;
    for (bool collate : {false, true})
        for (bool duplex : {false, true})
            for (int copies : {1, 2, 3})
                cases.push_back({3,
                                 "-n " + std::to_string(copies) + " -o collate=" + (collate ? "true" : "false") +
                                     " -o sides=" + (duplex ? "two-sided-long-edge" : "one-sided"),
                                 "copies=" + std::to_string(copies) + " Duplex=" + (duplex ? "DuplexNoTumble" : "None"),
                                 ExpectedLabels(3, collate, duplex, copies), (duplex ? 4 : 3) * copies, 595, 842, 600,
                                 false});
    RunAndCheck(cases);
}

TEST_F(Scheduler, PageCountsSidesPaperAndResolutionReachThePrinter) {
    RunAndCheck({
        {2, "-n 2 -o collate=false -o sides=two-sided-long-edge", "Duplex=DuplexNoTumble", "1 2 1 2", 4, 595, 842, 600,
         true},
        {2, "-n 2 -o collate=true -o sides=two-sided-short-edge", "Duplex=DuplexTumble copies=2", "1 2", 4, 595, 842,
         600, true},
        {2, "", "Duplex=None copies=1", "1 2", 2, 595, 842, 600, true},
        {1, "-o sides=two-sided-long-edge", "Duplex=DuplexNoTumble", "1 B", 2, 595, 842, 600, true},
        // The turning feed edge excludes two-sided printing; pages arrive landscape.
        {3, "-o PageSize=A5 -o FeedEdge=1 -o sides=two-sided-long-edge", "PageSize=A5 FeedEdge=1 Duplex=None",
         "1 2 3", 3, 595, 420, 600, true},
        {1, "-o Resolution=1200dpi", "Resolution=1200dpi", "1", 1, 595, 842, 1200, true},
    });
}

TEST_F(Scheduler, JobCancelledWhilePrintingEndsWithCompleteRecords) {
    // A slowed encoder: the filter runs the first pbmtojbg on its PATH, and
    // CUPS puts ServerBin/filter first. The stand-in notes each call and
    // waits before handing over to the real encoder.
    const std::string dir = kWork + "/serverbin/filter", calls = kWork + "/calls/encoder";
    ASSERT_EQ(Sh("mkdir -m 1777 " + Q(kWork + "/calls") + " && cd " + Q(dir) + " && { mv pbmtojbg pbmtojbg.real || " +
                 "ln -s /usr/bin/pbmtojbg pbmtojbg.real; }").status, 0);
    ASSERT_TRUE(WriteFile(dir + "/pbmtojbg", "#!/bin/sh\necho >>" + Q(calls) + "\nsleep 2\nexec " +
                                                 Q(dir + "/pbmtojbg.real") + " \"$@\"\n"));
    ASSERT_EQ(chmod((dir + "/pbmtojbg").c_str(), 0755), 0);
    auto count = [&] { const std::string t = ReadFile(calls); return std::count(t.begin(), t.end(), '\n'); };
    std::vector<LpJob> jobs(1);
    std::string error;
    jobs[0].id = Submit(Pdf(3), "", kQueues[0], &error);
    ASSERT_NE(jobs[0].id, 0) << error;
    const int id = jobs[0].id;
    for (int i = 0; i < 600 && count() < 2; i++) usleep(100000);  // cancel while page 2 is being encoded
    ASSERT_EQ(count(), 2) << JobLog(id);
    ASSERT_EQ(Sh("cancel -h " + Q(kSocket) + " " + kQueues[0] + "-" + std::to_string(id)).status, 0);
    ASSERT_TRUE(WaitAll(&jobs, 60));
    Sh("cd " + Q(dir) + " && mv -f pbmtojbg.real pbmtojbg");
    EXPECT_EQ(jobs[0].state, IPP_JSTATE_CANCELED) << JobLog(id);
    EXPECT_TRUE(InspectorAccepts(id));
    // Page 1 and the page being encoded, complete; page 3 never encoded.
    ASSERT_EQ(jobs[0].stream.pages.size(), 2u) << JobLog(id);
    EXPECT_EQ(count(), 2);
    Bitmap b;
    EXPECT_TRUE(DecodeJbig(jobs[0].stream.pages[0].data, &b) && DecodeJbig(jobs[0].stream.pages[1].data, &b));
    EXPECT_EQ(jobs[0].stream.pages[1].lastpage, 1u);
    // The filter ended normally, not killed by the cancellation.
    EXPECT_NE(JobLog(id).find("fiskor_zembrulan) exited with no errors"), std::string::npos) << JobLog(id);
}

}  // namespace

// Removes the private installation when the program ends.
struct CleanUp : ::testing::Environment {
    void TearDown() override { Sh("rm -rf " + Q(kWork)); }
};
const auto* const kCleanUp = ::testing::AddGlobalTestEnvironment(new CleanUp);
