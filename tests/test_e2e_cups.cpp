// End-to-end tests with the real CUPS of this machine. The build is installed
// with `cmake --install` into a private DESTDIR, then:
//  - cupsfilter (no scheduler) runs Debian's pdftopdf and gstoraster and the
//    installed filter with the product PPD on the sample document; every page
//    the inspector decodes from the printer stream is compared pixel for
//    pixel with the raster CUPS produced;
//  - a private cupsd (own ServerRoot, ServerBin, spool, logs, Unix socket,
//    User lp) with a queue made by lpadmin from the installed PPD and a
//    capture backend receives jobs from lp: copies, collation, two-sided
//    printing, A5 with the turning feed edge, 1200 dpi and a cancelled job.
// The shell side lives in tests/e2e/. Every test program runs with a private
// /tmp, so the scheduler and the filter's work directory are private too.
#include "tests/testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
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
const std::string kE2eDir = std::string(FZ_SOURCE_DIR) + "/tests/e2e";

std::string Quote(const std::string& s)
{
    std::string q = "'";
    for (char c : s) {
        if (c == '\'')
            q += "'\\''";
        else
            q += c;
    }
    return q + "'";
}

struct CmdResult {
    int status = -1;   // exit status, or 128 + signal, or -1 when it could not run
    std::string out;   // standard output and standard error together
};

CmdResult Sh(const std::string& cmd)
{
    CmdResult r;
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    if (!p) {
        r.out = "popen failed: " + std::string(strerror(errno));
        return r;
    }
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    int st = pclose(p);
    if (st == -1)
        r.status = -1;
    else if (WIFEXITED(st))
        r.status = WEXITSTATUS(st);
    else if (WIFSIGNALED(st))
        r.status = 128 + WTERMSIG(st);
    return r;
}

bool OnPath(const std::string& name)
{
    std::string path = getenv("PATH") ? getenv("PATH") : "";
    path += ":/usr/sbin:/sbin:/usr/bin:/bin";
    std::stringstream ss(path);
    std::string dir;
    while (std::getline(ss, dir, ':')) {
        if (!dir.empty() && access((dir + "/" + name).c_str(), X_OK) == 0) return true;
    }
    return false;
}

// What the installation and the shared preparation produced.
struct E2eSetup {
    std::string skip;    // reason to skip every test
    std::string error;   // reason every test fails
    std::string filter, encoder, ppd, inspect, serverbin;
    std::string pdf[4];  // pdf[n]: the first n pages of the sample document
};

std::string ValueOf(const std::string& lines, const std::string& name)
{
    std::stringstream ss(lines);
    std::string line;
    while (std::getline(ss, line))
        if (line.compare(0, name.size() + 1, name + "=") == 0) return line.substr(name.size() + 1);
    return "";
}

E2eSetup MakeSetup()
{
    E2eSetup s;
    if (!OnPath("cupsd") || !OnPath("cupsfilter")) {
        s.skip = "cupsd or cupsfilter is not installed (Debian package cups); end-to-end tests need a real CUPS";
        return s;
    }
    for (const char* tool : {"gs", "lp", "lpadmin", "cancel", "cmake"}) {
        if (!OnPath(tool)) {
            s.error = std::string("missing program: ") + tool;
            return s;
        }
    }
    CmdResult r = Sh("rm -rf " + Quote(kWork) + " && mkdir -p " + Quote(kWork) + " && chmod 0755 " + Quote(kWork));
    if (r.status != 0) {
        s.error = "cannot create " + kWork + ": " + r.out;
        return s;
    }
    r = Sh(Quote(kE2eDir + "/install.sh") + " " + Quote(FZ_BINARY_DIR) + " " + Quote(kWork + "/install"));
    if (r.status != 0) {
        s.error = "installation failed: " + r.out;
        return s;
    }
    s.filter = ValueOf(r.out, "FILTER");
    s.encoder = ValueOf(r.out, "ENCODER");
    s.ppd = ValueOf(r.out, "PPD");
    s.inspect = ValueOf(r.out, "INSPECT");
    s.serverbin = kWork + "/serverbin";
    r = Sh(Quote(kE2eDir + "/serverbin.sh") + " " + Quote(s.serverbin) + " " + Quote(s.filter) + " " +
           Quote(s.encoder));
    if (r.status != 0) {
        s.error = "cannot prepare the ServerBin: " + r.out;
        return s;
    }
    r = Sh(Quote(kE2eDir + "/make_pdf.sh") + " " + Quote(std::string(FZ_SOURCE_DIR) + "/samples/sample.ps") + " " +
           Quote(kWork + "/sample.pdf"));
    if (r.status != 0) {
        s.error = "cannot make the sample PDF: " + r.out;
        return s;
    }
    s.pdf[3] = kWork + "/sample.pdf";
    for (int n = 1; n <= 2; n++) {
        s.pdf[n] = kWork + "/sample-" + std::to_string(n) + ".pdf";
        r = Sh("gs -q -dBATCH -dNOPAUSE -dSAFER -sDEVICE=pdfwrite -dFirstPage=1 -dLastPage=" + std::to_string(n) +
               " -sOutputFile=" + Quote(s.pdf[n]) + " " + Quote(s.pdf[3]));
        if (r.status != 0) {
            s.error = "cannot cut the sample PDF: " + r.out;
            return s;
        }
    }
    return s;
}

const E2eSetup& TheSetup()
{
    static const E2eSetup s = MakeSetup();
    return s;
}

#define REQUIRE_E2E()                                                   \
    do {                                                                \
        const E2eSetup& s_ = TheSetup();                                   \
        if (!s_.skip.empty()) GTEST_SKIP() << s_.skip;                  \
        ASSERT_TRUE(s_.error.empty()) << s_.error;                      \
    } while (0)

// ---- images --------------------------------------------------------------

void ClearPadding(Bitmap* b)
{
    const int stride = (b->width + 7) / 8;
    if (b->width % 8 == 0) return;
    const uint8_t mask = uint8_t(0xff << (8 - b->width % 8));
    for (int y = 0; y < b->height; y++) b->bits[size_t(y) * stride + stride - 1] &= mask;
}

bool IsBlank(const Bitmap& b)
{
    for (uint8_t v : b.bits)
        if (v) return false;
    return true;
}

size_t CountBlack(const Bitmap& b)
{
    size_t n = 0;
    for (uint8_t v : b.bits) n += size_t(__builtin_popcount(v));
    return n;
}

// Equality of two bitmaps, with a message naming the first difference.
::testing::AssertionResult SamePixels(const Bitmap& got, const Bitmap& want)
{
    if (got.width != want.width || got.height != want.height)
        return ::testing::AssertionFailure() << "size " << got.width << "x" << got.height << ", expected "
                                             << want.width << "x" << want.height;
    if (got.bits.size() != want.bits.size()) return ::testing::AssertionFailure() << "buffer sizes differ";
    const int stride = (got.width + 7) / 8;
    size_t differing = 0, first = 0;
    for (size_t i = 0; i < got.bits.size(); i++) {
        if (got.bits[i] != want.bits[i]) {
            if (differing++ == 0) first = i;
        }
    }
    if (differing == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << differing << " bytes differ, the first in row " << first / stride
                                         << " at column " << (first % stride) * 8;
}

struct RasterPage {
    cups_page_header2_t header;
    Bitmap image;
};

// Reads a CUPS raster file with libcups' reader; rows are repacked to
// (width + 7) / 8 bytes with the padding bits cleared.
bool ReadRaster(const std::string& path, std::vector<RasterPage>* pages, std::string* error)
{
    pages->clear();
    int fd = open(path.c_str(), O_RDONLY);
    if (fd < 0) {
        *error = path + ": " + strerror(errno);
        return false;
    }
    cups_raster_t* r = cupsRasterOpen(fd, CUPS_RASTER_READ);
    if (!r) {
        close(fd);
        *error = path + ": not a CUPS raster stream";
        return false;
    }
    bool ok = true;
    RasterPage p;
    while (ok && cupsRasterReadHeader2(r, &p.header)) {
        const cups_page_header2_t& h = p.header;
        if (h.cupsBitsPerPixel != 1 || h.cupsWidth == 0 || h.cupsBytesPerLine < (h.cupsWidth + 7) / 8) {
            *error = "raster page " + std::to_string(pages->size() + 1) + " is not 1-bit: " +
                     std::to_string(h.cupsBitsPerPixel) + " bits per pixel";
            ok = false;
            break;
        }
        p.image.width = int(h.cupsWidth);
        p.image.height = int(h.cupsHeight);
        const size_t stride = (h.cupsWidth + 7) / 8;
        p.image.bits.assign(stride * h.cupsHeight, 0);
        std::vector<uint8_t> line(h.cupsBytesPerLine);
        for (unsigned y = 0; y < h.cupsHeight; y++) {
            if (cupsRasterReadPixels(r, line.data(), h.cupsBytesPerLine) != h.cupsBytesPerLine) {
                *error = "raster page " + std::to_string(pages->size() + 1) + " cut short at row " + std::to_string(y);
                ok = false;
                break;
            }
            memcpy(&p.image.bits[y * stride], line.data(), stride);
        }
        ClearPadding(&p.image);
        if (ok) pages->push_back(p);
    }
    cupsRasterClose(r);
    close(fd);
    if (ok && pages->empty()) {
        *error = path + ": no raster pages";
        ok = false;
    }
    return ok;
}

// Reads a binary PBM (P4) as the inspector writes it.
bool ReadPbm(const std::string& path, Bitmap* b, std::string* error)
{
    std::string data = ReadFile(path);
    int w = 0, h = 0, used = 0;
    if (data.size() < 3 || sscanf(data.c_str(), "P4 %d %d%n", &w, &h, &used) != 2 || w <= 0 || h <= 0 ||
        size_t(used) >= data.size()) {
        *error = path + ": not a P4 PBM file";
        return false;
    }
    const size_t stride = size_t(w + 7) / 8;
    const size_t start = size_t(used) + 1;  // one white-space character ends the header
    if (data.size() != start + stride * size_t(h)) {
        *error = path + ": " + std::to_string(data.size()) + " bytes, expected " +
                 std::to_string(start + stride * size_t(h));
        return false;
    }
    b->width = w;
    b->height = h;
    b->bits.assign(data.begin() + long(start), data.end());
    ClearPadding(b);
    return true;
}

std::string PbmName(const std::string& dir, size_t pageseq)
{
    char name[32];
    snprintf(name, sizeof name, "/page-%03zu.pbm", pageseq);
    return dir + name;
}

// Pixels of a sheet dimension in points at a resolution, as gstoraster
// rounds it (within two pixels).
::testing::AssertionResult AboutPixels(unsigned got, double points, unsigned dpi)
{
    const double want = points * dpi / 72.0;
    if (got + 2.0 >= want && got <= want + 2.0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << got << " pixels, expected about " << want << " (" << points
                                         << " pt at " << dpi << " dpi)";
}

// Value of one row of the parameter text ("key=value, key=value, ...").
std::string ParamValue(const std::string& params, const std::string& key)
{
    size_t pos = 0;
    while ((pos = params.find(key + "=", pos)) != std::string::npos) {
        if (pos == 0 || (pos >= 2 && params.compare(pos - 2, 2, ", ") == 0)) {
            size_t start = pos + key.size() + 1;
            size_t end = params.find(", ", start);
            return params.substr(start, end == std::string::npos ? std::string::npos : end - start);
        }
        pos++;
    }
    return "<none>";
}

// The stream's records as page labels in printing order: "1", "2"... for
// distinct page images in the order they first appear, "B" for a blank
// page. Copies of one page carry the same JBIG bytes.
std::string Labels(const ParsedJob& job, std::string* error)
{
    std::map<std::string, int> seen;
    std::string out;
    for (size_t i = 0; i < job.pages.size(); i++) {
        Bitmap b;
        if (!DecodeJbig(job.pages[i].data, &b)) {
            *error = "page record " + std::to_string(i + 1) + " does not decode";
            return "";
        }
        ClearPadding(&b);
        std::string label;
        if (IsBlank(b)) {
            label = "B";
        } else {
            auto it = seen.find(job.pages[i].data);
            if (it == seen.end()) it = seen.emplace(job.pages[i].data, int(seen.size()) + 1).first;
            label = std::to_string(it->second);
        }
        out += (out.empty() ? "" : " ") + label;
    }
    return out;
}

// What the printer must print, in order, for `pages` pages: the filter
// repeats pages (one-sided) or front/back pairs (two-sided, an odd last page
// paired with a blank back) for uncollated copies; collated jobs go once and
// the printer repeats them.
std::string ExpectedLabels(int pages, bool collate, bool duplex, int copies)
{
    std::vector<std::string> p;
    for (int i = 1; i <= pages; i++) p.push_back(std::to_string(i));
    if (duplex && pages % 2 == 1) p.push_back("B");
    std::vector<std::string> seq;
    if (collate) {
        seq = p;
    } else if (!duplex) {
        for (auto& x : p)
            for (int c = 0; c < std::max(copies, 1); c++) seq.push_back(x);
    } else {
        for (size_t i = 0; i + 1 < p.size(); i += 2)
            for (int c = 0; c < std::max(copies, 1); c++) {
                seq.push_back(p[i]);
                seq.push_back(p[i + 1]);
            }
    }
    std::string out;
    for (auto& x : seq) out += (out.empty() ? "" : " ") + x;
    return out;
}

// ---- cupsfilter ----------------------------------------------------------

struct FilterJob {
    std::string dir;
    std::vector<RasterPage> raster;
    ParsedJob stream;
    std::string inspectTable;
};

// Prints `pdf` through cupsfilter with `options` (cupsfilter's -n/-o) and
// gathers the raster, the stream and the inspector's output.
::testing::AssertionResult RunCupsfilter(const std::string& name, const std::string& pdf,
                                         const std::string& options, FilterJob* job)
{
    const E2eSetup& s = TheSetup();
    job->dir = kWork + "/cupsfilter/" + name;
    CmdResult r = Sh(Quote(kE2eDir + "/cupsfilter_job.sh") + " --serverbin " + Quote(s.serverbin) + " --ppd " +
                     Quote(s.ppd) + " --inspect " + Quote(s.inspect) + " --out " + Quote(job->dir) +
                     " --raster --pbm " + Quote(pdf) + " " + options);
    if (r.status != 0) return ::testing::AssertionFailure() << "cupsfilter_job.sh failed:\n" << r.out;
    std::string error;
    if (!ReadRaster(job->dir + "/raster.ras", &job->raster, &error)) return ::testing::AssertionFailure() << error;
    if (!SplitStream(ReadFile(job->dir + "/job.prn"), &job->stream, &error))
        return ::testing::AssertionFailure() << "printer stream: " << error;
    job->inspectTable = ReadFile(job->dir + "/inspect.txt");
    return ::testing::AssertionSuccess();
}

// The inspector's PBM of every record must be the raster page `order[i]`
// (1-based; 0 for a blank page of the first page's padded size), turned when
// `turn` is set.
void ExpectPagesFromRaster(const FilterJob& job, const std::vector<int>& order, bool turn)
{
    ASSERT_EQ(job.stream.pages.size(), order.size()) << job.inspectTable;
    for (size_t i = 0; i < order.size(); i++) {
        SCOPED_TRACE("page record " + std::to_string(i + 1));
        Bitmap got;
        std::string error;
        ASSERT_TRUE(ReadPbm(PbmName(job.dir + "/pbm", i + 1), &got, &error)) << error;
        if (order[i] == 0) {
            const cups_page_header2_t& h = job.raster[0].header;
            EXPECT_EQ(got.width, int(8 * h.cupsBytesPerLine));
            EXPECT_EQ(got.height, int(h.cupsHeight));
            EXPECT_TRUE(IsBlank(got)) << "the blank back side has " << CountBlack(got) << " black pixels";
            continue;
        }
        ASSERT_LE(size_t(order[i]), job.raster.size());
        const Bitmap& src = job.raster[size_t(order[i]) - 1].image;
        EXPECT_TRUE(SamePixels(got, turn ? TurnMinus90(src) : src));
    }
}

void ExpectFullSheet(const std::vector<RasterPage>& raster, double wPt, double hPt, unsigned dpi)
{
    for (size_t i = 0; i < raster.size(); i++) {
        SCOPED_TRACE("raster page " + std::to_string(i + 1));
        const cups_page_header2_t& h = raster[i].header;
        EXPECT_EQ(h.cupsColorSpace, CUPS_CSPACE_K) << "1 must mean black";
        EXPECT_EQ(h.cupsBitsPerColor, 1u);
        EXPECT_EQ(h.HWResolution[0], dpi);
        EXPECT_EQ(h.HWResolution[1], dpi);
        EXPECT_TRUE(AboutPixels(h.cupsWidth, wPt, dpi));
        EXPECT_TRUE(AboutPixels(h.cupsHeight, hPt, dpi));
        // Text and pictures of the sample reach the raster.
        EXPECT_GT(CountBlack(raster[i].image), size_t(h.cupsWidth) * 20);
    }
}

TEST(Cupsfilter, OneSidedA4PagesAreTheRasterPixelForPixel)
{
    REQUIRE_E2E();
    FilterJob job;
    ASSERT_TRUE(RunCupsfilter("a4", TheSetup().pdf[3], "", &job));
    ASSERT_EQ(job.raster.size(), 3u);
    ExpectFullSheet(job.raster, 595, 842, 600);
    EXPECT_EQ(ParamValue(job.stream.params, "PageSize"), "A4");
    EXPECT_EQ(ParamValue(job.stream.params, "Duplex"), "None");
    ExpectPagesFromRaster(job, {1, 2, 3}, false);
    // The three pages of the sample differ from each other.
    EXPECT_FALSE(SamePixels(job.raster[0].image, job.raster[1].image));
    EXPECT_FALSE(SamePixels(job.raster[1].image, job.raster[2].image));
}

TEST(Cupsfilter, UncollatedTwoSidedCopiesRepeatPairsOfTheRasterPages)
{
    REQUIRE_E2E();
    FilterJob job;
    ASSERT_TRUE(RunCupsfilter("duplex", TheSetup().pdf[3], "-n 2 -o sides=two-sided-long-edge -o collate=false",
                              &job));
    // CUPS's pre-filters leave the copies to the filter.
    ASSERT_EQ(job.raster.size(), 3u);
    EXPECT_EQ(ParamValue(job.stream.params, "Duplex"), "DuplexNoTumble");
    EXPECT_EQ(ParamValue(job.stream.params, "copies"), "2");
    ExpectPagesFromRaster(job, {1, 2, 1, 2, 3, 0, 3, 0}, false);
}

TEST(Cupsfilter, A5WithFeedEdge1IsTurnedAQuarterCounterclockwise)
{
    REQUIRE_E2E();
    FilterJob job;
    ASSERT_TRUE(RunCupsfilter("a5l", TheSetup().pdf[3], "-o PageSize=A5 -o FeedEdge=1", &job));
    ASSERT_EQ(job.raster.size(), 3u);
    ExpectFullSheet(job.raster, 420, 595, 600);
    EXPECT_EQ(ParamValue(job.stream.params, "PageSize"), "A5");
    EXPECT_EQ(ParamValue(job.stream.params, "FeedEdge"), "1");
    ExpectPagesFromRaster(job, {1, 2, 3}, true);
}

TEST(Cupsfilter, A5WithFeedEdge0IsNotTurned)
{
    REQUIRE_E2E();
    FilterJob job;
    ASSERT_TRUE(RunCupsfilter("a5", TheSetup().pdf[1], "-o PageSize=A5 -o FeedEdge=0", &job));
    ASSERT_EQ(job.raster.size(), 1u);
    ExpectFullSheet(job.raster, 420, 595, 600);
    ExpectPagesFromRaster(job, {1}, false);
}

// ---- the private scheduler -------------------------------------------------

const std::string kCupsd = kWork + "/cupsd";
const std::string kSocket = kCupsd + "/cups.sock";
const std::string kCapture = kCupsd + "/capture";
const char* const kQueue = "q";

struct LpJob {
    int id = 0;
    std::string what;  // description for messages
    ipp_jstate_t state = IPP_JSTATE_PENDING;
    ParsedJob stream;
    std::string raw;
};

class Scheduler : public ::testing::Test {
protected:
    static pid_t cupsd_;
    static std::string startError_;

    static void SetUpTestSuite()
    {
        const E2eSetup& s = TheSetup();
        if (!s.skip.empty() || !s.error.empty()) return;
        CmdResult r = Sh(Quote(kE2eDir + "/cupsd_conf.sh") + " " + Quote(kCupsd) + " " + Quote(s.serverbin));
        if (r.status != 0) {
            startError_ = "cupsd_conf.sh failed: " + r.out;
            return;
        }
        // Jobs run as lp: a work directory left by the filter running as root
        // (the cupsfilter tests above) would be out of its reach.
        r = Sh("rm -rf /tmp/velmarsh");
        if (r.status != 0) {
            startError_ = "cannot remove /tmp/velmarsh: " + r.out;
            return;
        }
        const std::string log = kCupsd + "/log/cupsd.out";
        cupsd_ = fork();
        if (cupsd_ < 0) {
            startError_ = "fork failed";
            return;
        }
        if (cupsd_ == 0) {
            // The scheduler does not outlive a test program that dies.
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            int fd = open(log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            if (fd >= 0) {
                dup2(fd, 1);
                dup2(fd, 2);
                close(fd);
            }
            const std::string conf = kCupsd + "/root/cupsd.conf", files = kCupsd + "/root/cups-files.conf";
            execlp("cupsd", "cupsd", "-f", "-c", conf.c_str(), "-s", files.c_str(), (char*)nullptr);
            _exit(127);
        }
        for (int i = 0; i < 200; i++) {
            struct stat st;
            if (stat(kSocket.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) break;
            int status;
            if (waitpid(cupsd_, &status, WNOHANG) == cupsd_) {
                cupsd_ = -1;
                startError_ = "cupsd ended at start:\n" + ReadFile(log) + Tail(kCupsd + "/log/error_log", 30);
                return;
            }
            usleep(50000);
        }
        r = Sh("lpadmin -h " + Quote(kSocket) + " -p " + kQueue + " -E -v " + Quote("capture:" + kCapture) + " -P " +
               Quote(s.ppd));
        if (r.status != 0) startError_ = "lpadmin failed: " + r.out + Tail(kCupsd + "/log/error_log", 30);
    }

    static void TearDownTestSuite()
    {
        if (cupsd_ > 0) {
            kill(cupsd_, SIGTERM);
            int status;
            bool gone = false;
            for (int i = 0; i < 200 && !gone; i++) {
                if (waitpid(cupsd_, &status, WNOHANG) == cupsd_)
                    gone = true;
                else
                    usleep(50000);
            }
            if (!gone) {
                kill(cupsd_, SIGKILL);
                waitpid(cupsd_, &status, 0);
            }
            cupsd_ = -1;
        }
        Sh("rm -rf " + Quote(kCupsd));
    }

    void SetUp() override
    {
        REQUIRE_E2E();
        ASSERT_TRUE(startError_.empty()) << startError_;
        ASSERT_GT(cupsd_, 0);
    }

    static std::string Tail(const std::string& path, int lines)
    {
        return Sh("tail -n " + std::to_string(lines) + " " + Quote(path)).out;
    }

    // The scheduler's log lines of one job that are not DEBUG chatter of the
    // pre-filters, for failure messages.
    static std::string JobLog(int id)
    {
        return Sh("grep -F " + Quote("[Job " + std::to_string(id) + "]") + " " + Quote(kCupsd + "/log/error_log") +
                  " | grep -v -e 'envp\\[' -e 'argv\\[' | tail -n 40")
            .out;
    }

    // Submits with lp; 0 on failure (with the message in `error`).
    static int Submit(const std::string& file, const std::string& options, std::string* error)
    {
        CmdResult r = Sh("lp -h " + Quote(kSocket) + " -d " + kQueue + " " + options + " " + Quote(file));
        int id = 0;
        size_t pos = r.out.find("request id is ");
        if (r.status != 0 || pos == std::string::npos ||
            sscanf(r.out.c_str() + pos, "request id is %*[^-]-%d", &id) != 1) {
            *error = "lp " + options + ": " + r.out;
            return 0;
        }
        return id;
    }

    static bool JobStates(std::map<int, ipp_jstate_t>* states)
    {
        http_t* http = httpConnect2(kSocket.c_str(), 0, nullptr, AF_UNSPEC, HTTP_ENCRYPTION_NEVER, 1, 30000, nullptr);
        if (!http) return false;
        cups_job_t* jobs = nullptr;
        int n = cupsGetJobs2(http, &jobs, kQueue, 0, CUPS_WHICHJOBS_ALL);
        for (int i = 0; i < n; i++) (*states)[jobs[i].id] = jobs[i].state;
        cupsFreeJobs(n, jobs);
        httpClose(http);
        return n >= 0;
    }

    static std::string CaptureFile(int id) { return kCapture + "/job-" + std::to_string(id) + ".prn"; }

    // Waits until every job has ended and, unless it was aborted, its
    // backend has saved what it received; then reads the streams.
    static ::testing::AssertionResult WaitAll(std::vector<LpJob>* jobs, int timeoutSeconds)
    {
        for (int waited = 0;; waited++) {
            std::map<int, ipp_jstate_t> states;
            if (!JobStates(&states)) return ::testing::AssertionFailure() << "cannot ask cupsd for its jobs";
            bool done = true;
            for (LpJob& j : *jobs) {
                j.state = states.count(j.id) ? states[j.id] : IPP_JSTATE_PENDING;
                struct stat st;
                bool saved = stat(CaptureFile(j.id).c_str(), &st) == 0;
                if (j.state < IPP_JSTATE_CANCELED || (j.state != IPP_JSTATE_ABORTED && !saved)) done = false;
            }
            if (done) break;
            if (waited >= timeoutSeconds * 10) {
                std::string msg = "jobs still not done after " + std::to_string(timeoutSeconds) + " s:";
                for (LpJob& j : *jobs) msg += " " + std::to_string(j.id) + "=" + std::to_string(int(j.state));
                return ::testing::AssertionFailure() << msg << "\n" << Tail(kCupsd + "/log/error_log", 40);
            }
            usleep(100000);
        }
        for (LpJob& j : *jobs) {
            j.raw = ReadFile(CaptureFile(j.id));
            std::string error;
            if (j.state != IPP_JSTATE_ABORTED && !SplitStream(j.raw, &j.stream, &error))
                return ::testing::AssertionFailure() << j.what << ": stream: " << error;
        }
        return ::testing::AssertionSuccess();
    }

    // Runs the jobs (file, lp options) one after the other in the queue.
    static ::testing::AssertionResult RunJobs(std::vector<LpJob>* jobs,
                                              const std::vector<std::pair<std::string, std::string>>& submissions)
    {
        for (auto& job : submissions) {
            LpJob j;
            std::string error;
            j.what = "lp " + job.second + " (" + job.first.substr(job.first.rfind('/') + 1) + ")";
            j.id = Submit(job.first, job.second, &error);
            if (!j.id) return ::testing::AssertionFailure() << error;
            jobs->push_back(j);
        }
        return WaitAll(jobs, 60 + 20 * int(jobs->size()));
    }

    // The inspector accepts the captured stream (exit status 0).
    static ::testing::AssertionResult InspectorAccepts(int id)
    {
        CmdResult r = Sh(Quote(TheSetup().inspect) + " --quiet " + Quote(CaptureFile(id)));
        if (r.status == 0) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure() << "fzinspect status " << r.status << ": " << r.out;
    }
};

pid_t Scheduler::cupsd_ = -1;
std::string Scheduler::startError_;

TEST_F(Scheduler, CopiesAreNeitherLostNorMultiplied)
{
    // Every combination of collation, duplex and copies on a 3-page document:
    // the printed sides (page records, times the parameter text's copies when
    // the printer makes the collated copies) are what the user asked for,
    // blank back sides included.
    const E2eSetup& s = TheSetup();
    struct Case {
        bool collate, duplex;
        int copies;
    };
    std::vector<Case> cases;
    std::vector<std::pair<std::string, std::string>> submissions;
    for (bool collate : {false, true})
        for (bool duplex : {false, true})
            for (int copies : {1, 2, 3}) {
                cases.push_back({collate, duplex, copies});
                submissions.push_back({s.pdf[3], "-n " + std::to_string(copies) + " -o collate=" +
                                               (collate ? "true" : "false") + " -o sides=" +
                                               (duplex ? "two-sided-long-edge" : "one-sided")});
            }
    std::vector<LpJob> jobs;
    ASSERT_TRUE(RunJobs(&jobs, submissions));
    const int pages = 3;
    for (size_t i = 0; i < cases.size(); i++) {
        const Case& c = cases[i];
        const LpJob& j = jobs[i];
        SCOPED_TRACE(j.what + ", job " + std::to_string(j.id));
        ASSERT_EQ(j.state, IPP_JSTATE_COMPLETED) << JobLog(j.id);
        EXPECT_TRUE(InspectorAccepts(j.id));
        EXPECT_EQ(ParamValue(j.stream.params, "copies"), std::to_string(c.copies));
        EXPECT_EQ(ParamValue(j.stream.params, "Duplex"), c.duplex ? "DuplexNoTumble" : "None");
        const int sidesPerCopy = c.duplex ? (pages + 1) / 2 * 2 : pages;
        const int printerCopies = c.collate ? atoi(ParamValue(j.stream.params, "copies").c_str()) : 1;
        EXPECT_EQ(int(j.stream.pages.size()) * printerCopies, sidesPerCopy * c.copies)
            << "page records " << j.stream.pages.size() << ", printer copies " << printerCopies;
        std::string error;
        EXPECT_EQ(Labels(j.stream, &error), ExpectedLabels(pages, c.collate, c.duplex, c.copies)) << error;
    }
}

TEST_F(Scheduler, EvenPageCountsNeedNoBlankBackSide)
{
    const E2eSetup& s = TheSetup();
    std::vector<LpJob> jobs;
    ASSERT_TRUE(RunJobs(&jobs, {{s.pdf[2], "-n 2 -o collate=false -o sides=two-sided-long-edge"},
                                {s.pdf[2], "-n 2 -o collate=true -o sides=two-sided-short-edge"},
                                {s.pdf[2], ""},
                                {s.pdf[1], "-o sides=two-sided-long-edge"}}));
    const char* expected[] = {"1 2 1 2", "1 2", "1 2", "1 B"};
    const char* duplex[] = {"DuplexNoTumble", "DuplexTumble", "None", "DuplexNoTumble"};
    for (size_t i = 0; i < jobs.size(); i++) {
        SCOPED_TRACE(jobs[i].what + ", job " + std::to_string(jobs[i].id));
        ASSERT_EQ(jobs[i].state, IPP_JSTATE_COMPLETED) << JobLog(jobs[i].id);
        EXPECT_TRUE(InspectorAccepts(jobs[i].id));
        EXPECT_EQ(ParamValue(jobs[i].stream.params, "Duplex"), duplex[i]);
        std::string error;
        EXPECT_EQ(Labels(jobs[i].stream, &error), expected[i]) << error;
        // The job's end is marked on its last record in these jobs.
        ASSERT_FALSE(jobs[i].stream.pages.empty());
        EXPECT_EQ(jobs[i].stream.pages.back().lastpage, 1u);
        EXPECT_EQ(jobs[i].stream.pages.front().firstpage, 1u);
    }
}

TEST_F(Scheduler, A5WithFeedEdge1ArrivesTurnedAndOneSided)
{
    // The turning feed edge excludes two-sided printing.
    std::vector<LpJob> jobs;
    ASSERT_TRUE(RunJobs(&jobs, {{TheSetup().pdf[3], "-o PageSize=A5 -o FeedEdge=1 -o sides=two-sided-long-edge"}}));
    const LpJob& j = jobs[0];
    ASSERT_EQ(j.state, IPP_JSTATE_COMPLETED) << JobLog(j.id);
    EXPECT_TRUE(InspectorAccepts(j.id));
    EXPECT_EQ(ParamValue(j.stream.params, "PageSize"), "A5");
    EXPECT_EQ(ParamValue(j.stream.params, "FeedEdge"), "1");
    EXPECT_EQ(ParamValue(j.stream.params, "Duplex"), "None");
    ASSERT_EQ(j.stream.pages.size(), 3u);
    for (const StreamRecord& r : j.stream.pages) {
        Bitmap b;
        ASSERT_TRUE(DecodeJbig(r.data, &b));
        // Landscape now: the sheet's height runs across.
        EXPECT_TRUE(AboutPixels(unsigned(b.width), 595, 600));
        EXPECT_TRUE(AboutPixels(unsigned(b.height), 420, 600));
    }
}

TEST_F(Scheduler, Resolution1200GivesFullSheetPagesOfTheRaster)
{
    const E2eSetup& s = TheSetup();
    std::vector<LpJob> jobs;
    ASSERT_TRUE(RunJobs(&jobs, {{s.pdf[1], "-o Resolution=1200dpi"}}));
    const LpJob& j = jobs[0];
    ASSERT_EQ(j.state, IPP_JSTATE_COMPLETED) << JobLog(j.id);
    EXPECT_TRUE(InspectorAccepts(j.id));
    EXPECT_EQ(ParamValue(j.stream.params, "Resolution"), "1200dpi");
    ASSERT_EQ(j.stream.pages.size(), 1u);
    Bitmap got;
    ASSERT_TRUE(DecodeJbig(j.stream.pages[0].data, &got));
    ClearPadding(&got);

    // The same page as CUPS rasterises it without a scheduler.
    const std::string dir = kWork + "/cupsfilter/r1200";
    CmdResult r = Sh(Quote(kE2eDir + "/cupsfilter_job.sh") + " --raster-only --serverbin " + Quote(s.serverbin) +
                     " --ppd " + Quote(s.ppd) + " --inspect " + Quote(s.inspect) + " --out " + Quote(dir) + " " +
                     Quote(s.pdf[1]) + " -o Resolution=1200dpi");
    ASSERT_EQ(r.status, 0) << r.out;
    std::vector<RasterPage> raster;
    std::string error;
    ASSERT_TRUE(ReadRaster(dir + "/raster.ras", &raster, &error)) << error;
    ASSERT_EQ(raster.size(), 1u);
    ExpectFullSheet(raster, 595, 842, 1200);
    EXPECT_TRUE(SamePixels(got, raster[0].image));
}

TEST_F(Scheduler, JobCancelledWhilePrintingEndsWithCompleteRecords)
{
    // A slowed encoder: the filter runs the first pbmtojbg on its PATH, and
    // CUPS puts ServerBin/filter first. The wrapper notes each call and
    // waits before handing over to the real encoder.
    const E2eSetup& s = TheSetup();
    const std::string dir = s.serverbin + "/filter";
    const std::string marks = kWork + "/encoder-calls";
    ASSERT_EQ(Sh("mkdir -p " + Quote(marks) + " && chmod 1777 " + Quote(marks)).status, 0);
    std::string real = "/usr/bin/pbmtojbg";
    if (!s.encoder.empty()) {
        real = dir + "/pbmtojbg.real";
        ASSERT_EQ(rename((dir + "/pbmtojbg").c_str(), real.c_str()), 0) << strerror(errno);
    }
    struct Restore {
        std::string dir, real;
        bool own;
        ~Restore()
        {
            unlink((dir + "/pbmtojbg").c_str());
            if (own) rename(real.c_str(), (dir + "/pbmtojbg").c_str());
        }
    } restore{dir, real, !s.encoder.empty()};
    ASSERT_TRUE(WriteFile(dir + "/pbmtojbg", "#!/bin/sh\necho \"$*\" >>" + Quote(marks + "/calls") +
                                                 "\nsleep 3\nexec " + Quote(real) + " \"$@\"\n"));
    ASSERT_EQ(chmod((dir + "/pbmtojbg").c_str(), 0755), 0);

    LpJob j;
    std::string error;
    j.what = "cancelled job";
    j.id = Submit(s.pdf[3], "", &error);
    ASSERT_NE(j.id, 0) << error;
    // Cancel while page 2 is being encoded.
    auto calls = [&] {
        std::string text = ReadFile(marks + "/calls");
        return size_t(std::count(text.begin(), text.end(), '\n'));
    };
    for (int i = 0; i < 600 && calls() < 2; i++) usleep(100000);
    ASSERT_EQ(calls(), 2u) << JobLog(j.id);
    CmdResult r = Sh("cancel -h " + Quote(kSocket) + " " + kQueue + "-" + std::to_string(j.id));
    ASSERT_EQ(r.status, 0) << r.out;

    std::vector<LpJob> jobs{j};
    ASSERT_TRUE(WaitAll(&jobs, 60));
    const LpJob& done = jobs[0];
    EXPECT_EQ(done.state, IPP_JSTATE_CANCELED) << JobLog(j.id);
    EXPECT_TRUE(InspectorAccepts(j.id));
    // Page 1 and the page being encoded, complete; page 3 never encoded.
    ASSERT_EQ(done.stream.pages.size(), 2u) << JobLog(j.id);
    EXPECT_EQ(calls(), 2u);
    for (const StreamRecord& rec : done.stream.pages) {
        Bitmap b;
        EXPECT_TRUE(DecodeJbig(rec.data, &b));
    }
    EXPECT_EQ(done.stream.pages[1].lastpage, 1u);
    // The filter ended normally, not killed by the cancellation.
    CmdResult end = Sh("grep -F " + Quote("[Job " + std::to_string(j.id) + "]") + " " +
                       Quote(kCupsd + "/log/error_log") + " | grep -F 'fiskor_zembrulan)'");
    EXPECT_NE(end.out.find("exited with no errors"), std::string::npos) << end.out;
    EXPECT_EQ(end.out.find("crashed"), std::string::npos) << end.out;
}

}  // namespace

// Removes the private installation when the program ends.
class CleanUp : public ::testing::Environment {
public:
    void TearDown() override { Sh("rm -rf " + Quote(kWork)); }
};
const auto* const kCleanUp = ::testing::AddGlobalTestEnvironment(new CleanUp);
