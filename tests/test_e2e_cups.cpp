// The build installed under the private /tmp (tests/e2e/setup.sh) with this machine's CUPS: cupsfilter runs Debian's
// pdftopdf and gstoraster and the filter, and a private cupsd prints lp's jobs into a capture backend.
#include <algorithm>
#include <cups/cups.h>
#include <cups/raster.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <memory>
#include <regex>
#include <sstream>
#include <sys/prctl.h>
#include <unistd.h>

#include "tests/testutil.h"

namespace {

const std::string kWork = "/tmp/fz-e2e", kCupsd = kWork + "/cupsd", kLog = kCupsd + "/log/error_log";

std::string Pdf(int pages) { return kWork + "/sample-" + std::to_string(pages) + ".pdf"; }
std::string Capture(int job) { return kCupsd + "/capture/job-" + std::to_string(job) + ".prn"; }
std::string Q(const std::string& s) { return "'" + std::regex_replace(s, std::regex("'"), "'\\''") + "'"; }

// A shell command's exit status (128 + signal when killed) and its output, standard error included.
FilterRun Sh(const std::string& c) { return RunFilter({{"-c", c + " 2>&1"}, "", {}, "/bin/sh", "", false, -1}, 600); }

// Value of a NAME=value line, or with `sep` ", " of a row of the parameter text.
std::string ValueOf(const std::string& text, const std::string& name, const std::string& sep = "\n")
{
    const size_t at = (sep + text).find(sep + name + "="), from = at + name.size() + 1;
    return at == std::string::npos ? "<none>" : text.substr(from, text.find(sep, from) - from);
}

// 1-bit black pages with square pixels, read with libcups' reader; padding bits cleared.
std::vector<TestPage> ReadRaster(const std::string& path)
{
    std::vector<TestPage> pages;
    const int fd = open(path.c_str(), O_RDONLY);
    cups_raster_t* r = cupsRasterOpen(fd, CUPS_RASTER_READ);
    for (cups_page_header2_t h; cupsRasterReadHeader2(r, &h) && h.cupsBitsPerPixel == 1 &&
                                h.cupsColorSpace == CUPS_CSPACE_K && h.HWResolution[0] == h.HWResolution[1];) {
        TestPage p{int(h.cupsWidth), int(h.cupsHeight), int(h.cupsBytesPerLine), 1, int(h.HWResolution[0]), {}};
        p.bits.resize(size_t(p.bytesPerLine) * p.height);
        for (size_t at = 0; at < p.bits.size() && cupsRasterReadPixels(r, &p.bits[at], p.bytesPerLine);)
            p.bits[(at += p.bytesPerLine) - 1] &= uint8_t(0xff << (8 - p.width % 8) % 8);
        pages.push_back(p);
    }
    cupsRasterClose(r);
    close(fd);
    return pages;
}

struct Case {                            // a job and what the printer must receive from it
    int pages, collate, duplex, copies;  // of the sample document; the order of the records (ExpectedOrder)
    std::string options, params;         // lp's or cupsfilter's -n and -o; rows of the parameter text
    bool turn = false;                   // records are the raster pages turned -90
};

// The stream parses; its parameter text has the case's rows, the copies and, one-sided, Duplex=None; its records
// are the raster's pages, pixel for pixel (or their -90 turn), and blank back sides, in the order of the case.
void ExpectStream(const std::string& stream, const std::vector<TestPage>& raster, const Case& c)
{
    SCOPED_TRACE(c.options + " (" + std::to_string(c.pages) + " pages)");
    const ReadJob job = ReadStream(stream, DecodedPageNamer(raster, c.turn));
    ASSERT_EQ(job.error, "");
    std::istringstream rows(c.params + " copies=" + std::to_string(c.copies) + (c.duplex ? "" : " Duplex=None"));
    for (std::string r; rows >> r;)
        EXPECT_EQ(ValueOf(job.params, r.substr(0, r.find('=')), ", "), r.substr(r.find('=') + 1)) << job.params;
    EXPECT_EQ(job.rows, ExpectedOrder(c.collate, c.duplex, c.pages, c.copies));
}

FilterRun setup;  // setup.sh's status (77: no CUPS) and its NAME=path lines
std::string Installed(const char* name) { return Q(ValueOf(setup.out, name)); }
std::string JobLog(int id) { return Sh("grep -F '[Job " + std::to_string(id) + "]' " + kLog + " | tail -40").out; }
int Submit(const std::string& args) { return atoi(Sh("lp " + args + " | cut -d- -f2").out.c_str()); }  // id or 0

// The pages CUPS counted for a job: the total of its page log line (its job-impressions-completed), written when the
// job ends; -1 when no such line came within `seconds`.
int PageLogTotal(int id, int seconds = 10)
{
    const std::regex total("^\\S+ \\S+ " + std::to_string(id) + " \\[[^\\]]*\\] total (\\d+) ");
    for (int tenths = 0; tenths <= seconds * 10; tenths++, usleep(100000)) {
        std::istringstream log(ReadFile(kCupsd + "/log/page_log"));
        std::smatch m;
        for (std::string line; std::getline(log, line);)
            if (std::regex_search(line, m, total))
                return std::stoi(m[1]);
    }
    return -1;
}

// CUPS's raster and the printer stream cupsfilter_job.sh makes of a sample document. The root filter's work
// directory goes before and after: lp's jobs would refuse it, and it theirs.
std::pair<std::vector<TestPage>, std::string> Cupsfilter(int pages, const std::string& options)
{
    const FilterRun r =
        Sh("rm -rf /tmp/velmarsh; " + Q(FZ_SOURCE_DIR "/scripts/cupsfilter_job.sh") + " --raster --serverbin " + kWork +
           "/serverbin --ppd " + Installed("PPD") + " --inspect " + Installed("INSPECT") + " --out " + kWork + "/cf " +
           Pdf(pages) + " " + options + "; s=$?; rm -rf /tmp/velmarsh; exit $s");
    EXPECT_EQ(r.status, 0) << r.out;
    return {ReadRaster(kWork + "/cf/raster.ras"), ReadFile(kWork + "/cf/job.prn")};
}

// The jobs' states once each has ended and, unless aborted, its backend saved what it received.
std::vector<ipp_jstate_t> WaitAll(const std::vector<int>& ids, int seconds)
{
    std::vector<ipp_jstate_t> states;
    for (int tenths = 0; tenths <= seconds * 10 && states.size() < ids.size(); tenths++, usleep(100000)) {
        cups_job_t* list = nullptr;
        const int n = cupsGetJobs2(CUPS_HTTP_DEFAULT, &list, nullptr, 0, CUPS_WHICHJOBS_COMPLETED);
        states.clear();
        for (int id : ids)
            for (const cups_job_t* j = list; j < list + n; j++)
                if (j->id == id && (j->state == IPP_JSTATE_ABORTED || access(Capture(id).c_str(), F_OK) == 0))
                    states.push_back(j->state);
        cupsFreeJobs(n, list);
    }
    return states;
}

// Installs the build and starts a private cupsd with two queues and one with a page quota (4 pages a day), once for
// all the tests, which skip on a machine without CUPS. Jobs of different queues print at the same time; cupsd ends
// with the test program.
FilterRun Start()
{
    setup = Sh(Q(FZ_SOURCE_DIR "/tests/e2e/setup.sh") + " " + kWork + " " + Q(FZ_BINARY_DIR));
    if (setup.status != 0)
        return setup;
    StartPrivateCupsd(kCupsd);
    return Sh("for q in q0 q1 quota; do lpadmin -p $q -E -v capture:" + kCupsd + "/capture -P " + Installed("PPD") +
              " || exit; done; lpadmin -p quota -o job-page-limit=4 -o job-quota-period=86400");
}

struct E2e : ::testing::Test {
    void SetUp() override
    {
        static const FilterRun started = Start();
        if (setup.status == 77)
            GTEST_SKIP() << setup.out << "; end-to-end tests need a real CUPS";
        ASSERT_EQ(started.status, 0) << started.out;
    }
};

// CUPS's raster has the paper's size (within two pixels, as gstoraster rounds) and resolution, and the printer
// stream carries exactly its pages; A5 fed long edge first is turned and printed one-sided.
TEST_F(E2e, CupsfilterPrintsTheRasterPixelForPixel)
{
    const std::vector<Case> cases = {
        {3, 0, 0, 1, "", "PageSize=A4"},
        {3, 0, 1, 2, "-n 2 -o sides=two-sided-short-edge -o collate=false", "Duplex=DuplexTumble"},
        {3, 0, 0, 1, "-o PageSize=A5 -o FeedEdge=1 -o sides=two-sided-long-edge", "PageSize=A5 FeedEdge=1", true},
        {1, 0, 0, 1, "-o PageSize=A5 -o FeedEdge=0", "PageSize=A5 FeedEdge=0"},
        {1, 0, 0, 1, "-o Resolution=1200dpi", "Resolution=1200dpi"},
    };
    for (const Case& c : cases) {
        const auto [raster, stream] = Cupsfilter(c.pages, c.options);
        const bool a5 = c.params.find("A5") != std::string::npos;
        const int dpi = c.params.find("1200dpi") != std::string::npos ? 1200 : 600;
        ASSERT_EQ(raster.size(), size_t(c.pages)) << c.options << ": 1-bit black pages, no copies";
        for (const TestPage& p : raster)
            EXPECT_TRUE(p.resolution == dpi && std::abs(p.width * 72 - (a5 ? 420 : 595) * dpi) <= 2 * 72 &&
                        std::abs(p.height * 72 - (a5 ? 595 : 842) * dpi) <= 2 * 72 &&
                        std::count(p.bits.begin(), p.bits.end(), 0) < long(p.bits.size()))
                << c.options << ": " << p.width << "x" << p.height << " pixels at " << p.resolution << " dpi, or white";
        ExpectStream(stream, raster, c);
    }
}

// What the printer receives is what the user asked for: no copy lost or doubled, collated copies left to the
// printer through the parameter text, blank back sides where a sheet needs one. CUPS's page log counts what it prints:
// pages times copies, the blank back sides not. One or two copies are of one or three pages, three copies of two.
TEST_F(E2e, PrinterReceivesTheCopiesAndSidesAskedAndThePageLogCountsThem)
{
    const std::vector<TestPage> raster = Cupsfilter(3, "").first;  // before lp's jobs
    std::vector<Case> cases;
    std::vector<int> ids;
    for (int i = 0; i < 20; i++) {  // collated or not, one- or two-sided, one to three copies
        const int collate = i / 10, duplex = i / 5 % 2, copies = i % 5 / 2 + 1,
                  pages = copies == 3 ? 2 : i % 5 % 2 * 2 + 1;
        const std::string options = "-n " + std::to_string(copies) + " -o collate=" + (collate ? "true" : "false") +
                                    " -o sides=" + (duplex ? "two-sided-long-edge" : "one-sided");
        cases.push_back({pages, collate, duplex, copies, options, duplex ? "Duplex=DuplexNoTumble" : ""});
        ids.push_back(Submit("-d q" + std::to_string(i % 2) + " " + options + " " + Pdf(pages)));
    }
    ASSERT_EQ(std::count(ids.begin(), ids.end(), 0), 0);
    const std::vector<ipp_jstate_t> states = WaitAll(ids, 60 + 20 * int(ids.size()));
    ASSERT_EQ(states.size(), ids.size()) << "jobs not done in time";
    for (size_t i = 0; i < cases.size(); i++) {
        ASSERT_EQ(states[i], IPP_JSTATE_COMPLETED) << JobLog(ids[i]);
        ExpectStream(ReadFile(Capture(ids[i])), raster, cases[i]);
        EXPECT_EQ(PageLogTotal(ids[i]), cases[i].pages * cases[i].copies)
            << cases[i].options << ", " << cases[i].pages << " pages: " << JobLog(ids[i]);
    }
}

// Cancelled while page 2 is being encoded, the job ends with pages 1 and 2 complete, the last marked as the job's
// end; page 3 is never encoded, the filter ends normally, and the page log counts the two pages sent.
TEST_F(E2e, JobCancelledWhilePrintingEndsWithCompleteRecords)
{
    const std::vector<TestPage> raster = Cupsfilter(3, "").first;  // before the encoder is slowed
    // The filter runs the first pbmtojbg on its PATH, ServerBin/filter: a stand-in notes each call and waits 2 s.
    const std::string dir = kWork + "/serverbin/filter", calls = "/tmp/encoder-calls", real = dir + "/pbmtojbg.real";
    ASSERT_EQ(Sh("mv " + dir + "/pbmtojbg " + real + " || ln -s /usr/bin/pbmtojbg " + real).status, 0);
    const std::shared_ptr<void> restore(nullptr, [&](void*) { Sh("mv -f " + real + " " + dir + "/pbmtojbg"); });
    FakeEncoderPath(dir, "echo >>" + calls + "\nsleep 2\nexec " + real + " \"$@\"");
    auto calledTimes = [&] { return Count(ReadFile(calls), "\n"); };
    const int id = Submit("-d q0 " + Pdf(3));
    ASSERT_NE(id, 0);
    for (int i = 0; i < 600 && calledTimes() < 2; i++)
        usleep(100000);
    ASSERT_EQ(calledTimes(), 2u) << JobLog(id);
    ASSERT_EQ(Sh("cancel q0-" + std::to_string(id)).status, 0);
    EXPECT_EQ(WaitAll({id}, 60), std::vector<ipp_jstate_t>{IPP_JSTATE_CANCELED}) << JobLog(id);
    const ReadJob s = ReadStream(ReadFile(Capture(id)), DecodedPageNamer(raster, false));
    EXPECT_EQ(s.rows, (std::vector<Row>{{"P1", 1, 0, 1}, {"P2", 0, 1, 2}})) << s.error;
    EXPECT_EQ(PageLogTotal(id), 2) << JobLog(id);
    EXPECT_EQ(calledTimes(), 2u);
    EXPECT_NE(JobLog(id).find("fiskor_zembrulan) exited with no errors"), std::string::npos) << JobLog(id);
}

// CUPS refuses the next job of a user who has printed a queue's page limit, counting the pages the printer printed:
// three copies of a page leave room for a fourth page, which reaches the limit of 4.
TEST_F(E2e, PageLimitRefusesTheNextJobOfAUserAtTheLimit)
{
    for (const char* copies : {"3", "1"}) {
        const int id = Submit("-d quota -n " + std::string(copies) + " " + Pdf(1));
        ASSERT_NE(id, 0) << "refused with " << copies << " copies to come";
        ASSERT_EQ(WaitAll({id}, 60), std::vector<ipp_jstate_t>{IPP_JSTATE_COMPLETED}) << JobLog(id);
    }
    const FilterRun refused = Sh("lp -d quota " + Pdf(1));
    EXPECT_NE(refused.status, 0) << refused.out;
    EXPECT_NE(refused.out.find("Quota limit reached"), std::string::npos) << refused.out;
}

}  // namespace
