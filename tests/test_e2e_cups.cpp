// End-to-end tests with this machine's CUPS on the build installed into a private DESTDIR (tests/e2e/setup.sh):
// cupsfilter runs Debian's pdftopdf and gstoraster and the installed filter with the product PPD; a private
// cupsd (own ServerRoot, ServerBin, spool, logs, socket, User lp) prints lp's jobs through lpadmin's queues
// into a capture backend. All in the test program's private /tmp.
#include <algorithm>
#include <cups/cups.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <map>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include "tests/testutil.h"

namespace {

const std::string kWork = "/tmp/fz-e2e", kE2e = FZ_SOURCE_DIR "/tests/e2e", kCupsd = kWork + "/cupsd";

std::string Pdf(int pages) { return kWork + "/sample-" + std::to_string(pages) + ".pdf"; }
std::string Capture(int job) { return kCupsd + "/capture/job-" + std::to_string(job) + ".prn"; }
std::string Q(std::string s) {
    for (size_t at = 0; (at = s.find('\'', at)) != std::string::npos; at += 4) s.replace(at, 1, "'\\''");
    return "'" + s + "'";
}

// A shell command's exit status (128 + signal when killed) and its output, standard error included.
std::pair<int, std::string> Sh(const std::string& cmd) {
    FILE* p = popen((cmd + " 2>&1").c_str(), "r");
    std::string out;
    for (int c; p && (c = fgetc(p)) != EOF;) out += char(c);
    const int st = p ? pclose(p) : -1;
    return {st == -1 ? -1 : WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st), out};
}

// Value of a NAME=value line, or with `sep` ", " of a row of the parameter text.
std::string ValueOf(const std::string& text, const std::string& name, const std::string& sep = "\n") {
    const size_t at = (sep + text).find(sep + name + "="), from = at + name.size() + 1;
    return at == std::string::npos ? "<none>" : text.substr(from, text.find(sep, from) - from);
}

// setup.sh's status (77: no CUPS here) and output, which names the installed PPD and inspector.
const std::pair<int, std::string>& TheSetup() {
    static const auto r = Sh(Q(kE2e + "/setup.sh") + " " + Q(kWork) + " " + Q(FZ_BINARY_DIR) + " " + Q(FZ_SOURCE_DIR));
    return r;
}
std::string Installed(const char* name) { return Q(ValueOf(TheSetup().second, name)); }

#define REQUIRE_E2E()                                                                                       \
    if (TheSetup().first == 77) GTEST_SKIP() << TheSetup().second << "; end-to-end tests need a real CUPS"; \
    ASSERT_EQ(TheSetup().first, 0) << TheSetup().second

// 1-bit black pages with square pixels, read with libcups' reader; padding bits cleared.
std::vector<TestPage> ReadRaster(const std::string& path) {
    std::vector<TestPage> pages;
    const int fd = open(path.c_str(), O_RDONLY);
    cups_raster_t* r = cupsRasterOpen(fd, CUPS_RASTER_READ);
    for (cups_page_header2_t h; cupsRasterReadHeader2(r, &h) && h.cupsBitsPerPixel == 1 &&
                                h.cupsColorSpace == CUPS_CSPACE_K && h.HWResolution[0] == h.HWResolution[1];) {
        TestPage p{int(h.cupsWidth), int(h.cupsHeight), int(h.cupsBytesPerLine), 1, int(h.HWResolution[0]),
                   std::vector<uint8_t>(size_t(h.cupsBytesPerLine) * h.cupsHeight)};
        for (size_t at = 0; at < p.bits.size() && cupsRasterReadPixels(r, &p.bits[at], p.bytesPerLine);)
            p.bits[(at += p.bytesPerLine) - 1] &= uint8_t(0xff << (8 - p.width % 8) % 8);
        pages.push_back(p);
    }
    cupsRasterClose(r);
    close(fd);
    return pages;
}

// What cupsfilter_job.sh makes of the sample document, once for each set of options: CUPS's raster and the printer
// stream. The root filter's work directory goes before and after: lp's jobs would refuse it, and it theirs.
struct Printed { std::vector<TestPage> raster; std::string stream; };
const Printed& Cupsfilter(int pages, const std::string& options) {
    static std::map<std::string, Printed> done;
    const std::string key = std::to_string(pages) + " " + options, dir = kWork + "/cf";
    if (done.count(key)) return done[key];
    const auto r = Sh("rm -rf /tmp/velmarsh; " + Q(FZ_SOURCE_DIR "/scripts/cupsfilter_job.sh") + " --raster --serverbin " +
                      Q(kWork + "/serverbin") + " --ppd " + Installed("PPD") + " --inspect " + Installed("INSPECT") +
                      " --out " + dir + " " + Pdf(pages) + " " + options + "; s=$?; rm -rf /tmp/velmarsh; exit $s");
    EXPECT_EQ(r.first, 0) << r.second;
    return done[key] = {ReadRaster(dir + "/raster.ras"), ReadFile(dir + "/job.prn")};
}

struct Case {  // a job and what the printer must receive from it
    int pages;                            // of the sample document
    std::string options;                  // lp's or cupsfilter's -n and -o
    std::vector<std::string> params;      // "key=value" rows of the parameter text
    int collate, duplex, copies;          // the order of the records (ExpectedOrder)
    bool turn = false;                    // records are the raster pages turned -90
    int wPt = 595, hPt = 842, dpi = 600;  // the raster's paper (points) and resolution
};

// The stream parses, has the rows in its parameter text, and its records are the raster's pages, pixel for
// pixel (or their -90 turn), and blank back sides, in the order of the case.
void ExpectStream(const std::string& stream, const std::vector<TestPage>& raster, const Case& c) {
    SCOPED_TRACE(c.options + " (" + std::to_string(c.pages) + " pages)");
    const ReadJob job = ReadStream(stream, DecodedPageNamer(raster, c.turn));
    ASSERT_EQ(job.error, "");
    for (const std::string& r : c.params)
        EXPECT_EQ(ValueOf(job.params, r.substr(0, r.find('=')), ", "), r.substr(r.find('=') + 1)) << job.params;
    EXPECT_EQ(job.rows, ExpectedOrder(c.collate, c.duplex, c.pages, c.copies));
}

// CUPS's raster has the paper's size (within two pixels, as gstoraster rounds) and resolution, and the printer
// stream carries exactly its pages.
TEST(Cupsfilter, PrintedPagesAreTheRasterPixelForPixel) {
    REQUIRE_E2E();
    for (const Case& c : std::vector<Case>{
             {3, "", {"PageSize=A4", "Duplex=None", "copies=1"}, 0, 0, 1},
             {3, "-n 2 -o sides=two-sided-short-edge -o collate=false", {"Duplex=DuplexTumble", "copies=2"}, 0, 1, 2},
             {3, "-o PageSize=A5 -o FeedEdge=1 -o sides=two-sided-long-edge",  // that feed edge excludes two sides
              {"PageSize=A5", "FeedEdge=1", "Duplex=None"}, 0, 0, 1, true, 420, 595},
             {1, "-o PageSize=A5 -o FeedEdge=0", {"PageSize=A5", "FeedEdge=0"}, 0, 0, 1, false, 420, 595},
             {1, "-o Resolution=1200dpi", {"Resolution=1200dpi"}, 0, 0, 1, false, 595, 842, 1200},
         }) {
        const Printed& printed = Cupsfilter(c.pages, c.options);
        ASSERT_EQ(printed.raster.size(), size_t(c.pages)) << c.options << ": 1-bit black pages, no copies";
        for (const TestPage& p : printed.raster)
            EXPECT_TRUE(p.resolution == c.dpi && std::abs(p.width * 72 - c.wPt * c.dpi) <= 2 * 72 &&
                        std::abs(p.height * 72 - c.hPt * c.dpi) <= 2 * 72 &&
                        std::count(p.bits.begin(), p.bits.end(), 0) < long(p.bits.size()))
                << c.options << ": " << p.width << "x" << p.height << " pixels at " << p.resolution << " dpi, or white";
        ExpectStream(printed.stream, printed.raster, c);
    }
}

// A private cupsd with two queues, started for the first test; it ends with the test program.
struct Scheduler : ::testing::Test {
    static std::string Start() {
        const std::string socket = kCupsd + "/cups.sock", conf = kCupsd + "/root/cups";
        setenv("CUPS_SERVER", socket.c_str(), 1);  // for lp, lpadmin, cancel and this program's libcups
        if (fork() == 0) {
            prctl(PR_SET_PDEATHSIG, SIGTERM);
            execlp("sh", "sh", "-c", ("exec cupsd -f -c " + conf + "d.conf -s " + conf + "-files.conf >" + kCupsd +
                                      "/log/cupsd.out 2>&1").c_str(), (char*)nullptr);
            _exit(127);
        }
        for (int i = 0; i < 200 && access(socket.c_str(), F_OK) != 0; i++) usleep(50000);
        const auto r = Sh("for q in q0 q1; do lpadmin -p $q -E -v capture:" + kCupsd + "/capture -P " +
                          Installed("PPD") + " || exit; done");  // jobs of different queues print at the same time
        return r.first == 0 ? "" : "lpadmin: " + r.second + ReadFile(kCupsd + "/log/cupsd.out");
    }

    void SetUp() override {
        REQUIRE_E2E();
        static const std::string startError = Start();
        ASSERT_EQ(startError, "");
    }

    static std::string JobLog(int id) {  // the scheduler's messages about a job, less the filters' arguments
        const std::string log = kCupsd + "/log/error_log";
        return Sh("grep -F '[Job " + std::to_string(id) + "]' " + log + " | grep -v 'envp\\|argv' | tail -40").second;
    }

    // Prints a document with lp to queue q0 or q1: the job id, or 0 (lp's messages go to standard error).
    static int Submit(int pages, const std::string& options, const std::string& queue) {
        return atoi(Sh("lp -d " + queue + " " + options + " " + Pdf(pages) +
                       " | sed -n 's/^request id is " + queue + "-\\([0-9]*\\) .*/\\1/p'").second.c_str());
    }

    // The jobs' states once each has stopped, aborted or ended with what its backend received saved; none if late.
    static std::vector<ipp_jstate_t> WaitAll(const std::vector<int>& ids, int timeoutSeconds) {
        for (int tenths = 0; tenths <= timeoutSeconds * 10; tenths++, usleep(100000)) {
            cups_job_t* list = nullptr;
            const int n = cupsGetJobs2(CUPS_HTTP_DEFAULT, &list, nullptr, 0, CUPS_WHICHJOBS_ALL);
            std::vector<ipp_jstate_t> states;
            for (int id : ids)
                for (const cups_job_t* j = list; j < list + n; j++)
                    if (j->id == id && (j->state == IPP_JSTATE_STOPPED || j->state == IPP_JSTATE_ABORTED ||
                                        (j->state >= IPP_JSTATE_CANCELED && access(Capture(id).c_str(), F_OK) == 0)))
                        states.push_back(j->state);
            cupsFreeJobs(n, list);
            if (states.size() == ids.size()) return states;
        }
        return {};
    }
};

// What the printer receives is what the user asked for: no copy lost or doubled, collated copies left to the
// printer through the parameter text, blank back sides where a sheet needs one. Three copies are of two pages.
TEST_F(Scheduler, PrinterReceivesTheCopiesAndSidesAsked) {
    std::vector<Case> cases;
    for (int collate : {0, 1})
        for (int duplex : {0, 1})
            for (int copies : {1, 2, 3})
                cases.push_back({copies == 3 ? 2 : 3,
                                 "-n " + std::to_string(copies) + " -o collate=" + (collate ? "true" : "false") +
                                     " -o sides=" + (duplex ? "two-sided-long-edge" : "one-sided"),
                                 {"copies=" + std::to_string(copies), duplex ? "Duplex=DuplexNoTumble" : "Duplex=None"},
                                 collate, duplex, copies});
    const std::vector<TestPage>& raster = Cupsfilter(3, "").raster;  // before lp's jobs
    std::vector<int> ids;
    for (const Case& c : cases) ids.push_back(Submit(c.pages, c.options, ids.size() % 2 ? "q1" : "q0"));
    ASSERT_EQ(std::count(ids.begin(), ids.end(), 0), 0);
    const std::vector<ipp_jstate_t> states = WaitAll(ids, 60 + 20 * int(ids.size()));
    ASSERT_EQ(states.size(), ids.size()) << "jobs not done in time";
    for (size_t i = 0; i < cases.size(); i++) {
        ASSERT_EQ(states[i], IPP_JSTATE_COMPLETED) << JobLog(ids[i]);
        EXPECT_EQ(Sh(Installed("INSPECT") + " --quiet " + Capture(ids[i])), std::make_pair(0, std::string()));
        ExpectStream(ReadFile(Capture(ids[i])), raster, cases[i]);
    }
}

TEST_F(Scheduler, JobCancelledWhilePrintingEndsWithCompleteRecords) {
    const std::vector<TestPage>& raster = Cupsfilter(3, "").raster;  // before the encoder is slowed
    // A slowed encoder: the filter runs the first pbmtojbg on its PATH, and CUPS puts ServerBin/filter first.
    // The stand-in notes each call and waits before handing over to the real encoder.
    const std::string dir = kWork + "/serverbin/filter", calls = "/tmp/encoder-calls";
    ASSERT_EQ(Sh("cd " + dir + " && { mv pbmtojbg pbmtojbg.real || ln -s /usr/bin/pbmtojbg pbmtojbg.real; }").first, 0);
    const struct Restore { std::string d; ~Restore() { Sh("cd " + d + " && mv -f pbmtojbg.real pbmtojbg"); } } r{dir};
    FakeEncoderPath(dir, "echo >>" + calls + "\nsleep 2\nexec " + dir + "/pbmtojbg.real \"$@\"");
    auto calledTimes = [&] { return Count(ReadFile(calls), "\n"); };
    const int id = Submit(3, "", "q0");
    ASSERT_NE(id, 0);
    for (int i = 0; i < 600 && calledTimes() < 2; i++) usleep(100000);  // cancel while page 2 is being encoded
    ASSERT_EQ(calledTimes(), 2u) << JobLog(id);
    ASSERT_EQ(Sh("cancel q0-" + std::to_string(id)).first, 0);
    EXPECT_EQ(WaitAll({id}, 60), std::vector<ipp_jstate_t>{IPP_JSTATE_CANCELED}) << JobLog(id);
    EXPECT_EQ(Sh(Installed("INSPECT") + " --quiet " + Capture(id)), std::make_pair(0, std::string()));
    // Page 1 and the page being encoded, complete, the last one marked as the job's end; page 3 never encoded.
    const ReadJob s = ReadStream(ReadFile(Capture(id)), DecodedPageNamer(raster, false));
    EXPECT_EQ(s.rows, (std::vector<Row>{{"P1", 1, 0, 1}, {"P2", 0, 1, 2}})) << s.error << JobLog(id);
    EXPECT_EQ(calledTimes(), 2u);
    EXPECT_NE(JobLog(id).find("fiskor_zembrulan) exited with no errors"), std::string::npos)
        << "the filter must end normally, not be killed by the cancellation\n" << JobLog(id);
}

}  // namespace
