// The printer application behind CUPS: a private cupsd (tests/e2e/setup.sh, as test_e2e_cups) with a driverless
// queue made by `lpadmin -m everywhere` pointing at the application, and the filter's own PPD queue printing into a
// capture backend. The same document and options must reach the printer as the same pages in the same order.
#include <gtest/gtest.h>

#include <algorithm>
#include <cups/cups.h>
#include <regex>
#include <sys/prctl.h>
#include <unistd.h>

#include "tests/documents.h"
#include "tests/printerapp.h"
#include "tools/inspect.h"

namespace {

const std::string kWork = "/tmp/fz-e2e", kCupsd = kWork + "/cupsd", kLog = kCupsd + "/log/error_log";
PrinterApp app;

std::string Q(const std::string& s) { return "'" + std::regex_replace(s, std::regex("'"), "'\\''") + "'"; }
FilterRun Sh(const std::string& c)
{
    FilterOptions o;
    o.program = "/bin/sh";
    o.args = {"-c", c + " 2>&1"};
    return RunFilter(o, 600);
}
std::string ValueOf(const std::string& text, const std::string& name, const std::string& sep = "\n")
{
    const size_t at = (sep + text).find(sep + name + "="), from = at + name.size() + 1;
    return at == std::string::npos ? "<none>" : text.substr(from, text.find(sep, from) - from);
}

FilterRun setup;  // setup.sh's status (77: no CUPS) and its NAME=path lines

// The application with one printer, then the scheduler with two queues: "everywhere" at the application, "ppd" with
// the product PPD into the capture backend.
std::string Start()
{
    std::string why;
    if (!StartApp(app, &why))
        return why;
    if (const FilterRun r = AddPrinter(app, "fiskor", "fiskor_600"); r.status != 0)
        return "add: " + r.out;
    setup = Sh(Q(FZ_SOURCE_DIR "/tests/e2e/setup.sh") + " " + kWork + " " + Q(FZ_BINARY_DIR));
    if (setup.status != 0)
        return setup.out;
    StartPrivateCupsd(kCupsd);
    // The scheduler's ServerBin (serverbin.sh) has only the capture backend: add CUPS's own ipp backend.
    const FilterRun q = Sh("ln -sfn \"$(cups-config --serverbin)/backend/ipp\" " + kWork +
                           "/serverbin/backend/ipp && lpadmin -p everywhere -E -v " + PrinterUri(app, "fiskor") +
                           " -m everywhere && lpadmin -p ppd -E -v capture:" + kCupsd + "/capture -P " +
                           Q(ValueOf(setup.out, "PPD")) + " && lpstat -v everywhere ppd");
    return q.status == 0 ? "" : q.out;
}

// At the end the application stops; a sanitizer build's reports from it fail the program.
struct StopAtEnd : ::testing::Environment {
    void TearDown() override
    {
        if (app.pid > 0) {
            EXPECT_TRUE(StopApp(app)) << "the application did not stop in 30 s";
        }
        EXPECT_EQ(SanitizerReports(app), "");
    }
};
const auto* const stopAtEnd = ::testing::AddGlobalTestEnvironment(new StopAtEnd);

struct AppCups : ::testing::Test {
    void SetUp() override
    {
        if (AppProgram().empty())
            GTEST_SKIP() << "this build has no printer application";
        static const std::string started = Start();
        if (setup.status == 77)
            GTEST_SKIP() << setup.out << "; needs a real CUPS";
        ASSERT_EQ(started, "") << AppLog(app);
    }
};

// lp's job id; 0 with lp's words in `why`.
int Submit(const std::string& args, std::string* why)
{
    const FilterRun r = Sh("lp " + args);
    std::smatch m;
    if (r.status == 0 && std::regex_search(r.out, m, std::regex("request id is [^ ]*-(\\d+)")))
        return std::stoi(m[1]);
    *why = "lp " + args + ": " + r.out;
    return 0;
}
std::string JobLog(int id) { return Sh("grep -F '[Job " + std::to_string(id) + "]' " + kLog + " | tail -40").out; }

// Waits until cupsd's job has ended and `file` exists; the job's state.
ipp_jstate_t WaitFor(int id, const std::string& file, int seconds)
{
    for (int tenths = 0; tenths <= seconds * 10; tenths++, usleep(100000)) {
        cups_job_t* list = nullptr;
        const int n = cupsGetJobs2(CUPS_HTTP_DEFAULT, &list, nullptr, 0, CUPS_WHICHJOBS_COMPLETED);
        ipp_jstate_t state = IPP_JSTATE_PENDING;
        for (const cups_job_t* j = list; j < list + n; j++)
            if (j->id == id)
                state = j->state;
        cupsFreeJobs(n, list);
        if (state == IPP_JSTATE_ABORTED || state == IPP_JSTATE_CANCELED ||
            (state == IPP_JSTATE_COMPLETED && access(file.c_str(), F_OK) == 0))
            return state;
    }
    return IPP_JSTATE_PENDING;
}

// A printer stream read back: its parameter text, and each page record with its decoded page.
struct Printed {
    std::string error, params;
    std::vector<InspectPage> records;
    std::vector<PageImage> pages;
    std::string bytes;
};
Printed Read(const std::string& path)
{
    Printed p;
    p.bytes = ReadFile(path);
    ParsedStream ps;
    if (!ParseStream((const uint8_t*)p.bytes.data(), p.bytes.size(), &ps, &p.error))
        return p;
    p.params = ps.job_params;
    p.records = ps.pages;
    for (const InspectPage& r : ps.pages) {
        p.pages.emplace_back();
        if (!DecodeJbig(r.data, r.datasize, kInspectMaxPixels, &p.pages.back(), &p.error))
            return p;
    }
    return p;
}

// The records named by the order their pages first appear ("P1", "P2"...; a white page is "B"), for ExpectedOrder.
std::vector<Row> Rows(const Printed& p)
{
    std::vector<const PageImage*> seen;
    std::vector<Row> rows;
    for (size_t i = 0; i < p.records.size(); i++) {
        const PageImage& img = p.pages[i];
        std::string name = "B";
        if (std::any_of(img.bits.begin(), img.bits.end(), [](uint8_t b) { return b != 0; })) {
            auto at = std::find_if(seen.begin(), seen.end(), [&](const PageImage* s) {
                return s->width == img.width && s->height == img.height && s->bits == img.bits;
            });
            if (at == seen.end())
                at = seen.insert(at, &img);
            name = "P" + std::to_string(at - seen.begin() + 1);
        }
        rows.push_back({name, p.records[i].firstpage, p.records[i].lastpage, p.records[i].pageseq});
    }
    return rows;
}

// Pixels that differ between two pages of the same size.
uint64_t DifferingPixels(const PageImage& a, const PageImage& b)
{
    uint64_t differ = 0;
    for (size_t i = 0; i < a.bits.size(); i++)
        differ += __builtin_popcount(a.bits[i] ^ b.bits[i]);
    return differ;
}

// How two pages differ: sizes, then the black pixels of each and those that differ.
std::string Difference(const PageImage& a, const PageImage& b)
{
    if (a.width != b.width || a.height != b.height)
        return "size " + std::to_string(a.width) + "x" + std::to_string(a.height) + " against " +
               std::to_string(b.width) + "x" + std::to_string(b.height);
    long black[2] = {0, 0}, differ = 0;
    for (size_t i = 0; i < a.bits.size(); i++) {
        black[0] += __builtin_popcount(a.bits[i]), black[1] += __builtin_popcount(b.bits[i]);
        differ += __builtin_popcount(a.bits[i] ^ b.bits[i]);
    }
    return std::to_string(differ) + " of " + std::to_string(uint64_t(a.width) * a.height) + " pixels differ (" +
           std::to_string(black[0]) + " and " + std::to_string(black[1]) + " black)";
}

// The rows of the job record that the print settings decide.
const char* const kSettings[] = {"PageSize", "Resolution", "resX",      "resY",   "FeedEdge", "Collate",
                                 "Duplex",   "MediaType",  "InputSlot", "copies", "Border"};

// lp of the sample document with two copies, collated, two-sided: both queues give the printer the same page data
// in the same order, and the same settings in the job record. On Letter, whose size is whole points in both
// queues, the pages are the same pixel for pixel. On A4 the driverless queue lays the page out on ISO A4
// (595.28 x 841.89 pt) and the PPD on its whole points (595 x 842): CUPS's pdftopdf fits the page to the one
// and ghostscript to the other, so about half a percent of the pixels move; more than one percent is a fault.
TEST_F(AppCups, DriverlessQueueAndPpdQueueGiveTheSamePages)
{
    const std::string letter = kWork + "/sample-letter.pdf";
    ASSERT_EQ(Sh(Q(FZ_SOURCE_DIR "/scripts/make_pdf.sh") + " " + kWork + "/sample-3.pdf " + letter +
                 " -dFIXEDMEDIA -dPDFFitPage -dDEVICEWIDTHPOINTS=612 -dDEVICEHEIGHTPOINTS=792")
                  .status,
              0);
    const std::string options = "-n 2 -o collate=true -o sides=two-sided-long-edge";
    struct Case {
        std::string what, lp;
        uint64_t maxDifferPerMille;  // of a page's pixels
        int app = 0, ppd = 0;
    } cases[] = {{"A4 sample", options + " " + kWork + "/sample-3.pdf", 10},
                 {"Letter sample", options + " -o media=Letter " + letter, 0}};
    std::string why;
    for (Case& c : cases) {
        c.app = Submit("-d everywhere -t same-pages-" + std::to_string(&c - cases) + " " + c.lp, &why);
        ASSERT_NE(c.app, 0) << why;
        c.ppd = Submit("-d ppd " + c.lp, &why);
        ASSERT_NE(c.ppd, 0) << why;
    }
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const std::string appOut = OutputPath(app, "fiskor", "same-pages-" + std::to_string(&c - cases)),
                          ppdOut = kCupsd + "/capture/job-" + std::to_string(c.ppd) + ".prn";
        ASSERT_EQ(WaitFor(c.app, appOut, 180), IPP_JSTATE_COMPLETED) << JobLog(c.app) << AppLog(app);
        ASSERT_EQ(WaitFor(c.ppd, ppdOut, 180), IPP_JSTATE_COMPLETED) << JobLog(c.ppd);
        const Printed a = Read(appOut), f = Read(ppdOut);
        ASSERT_EQ(a.error, "");
        ASSERT_EQ(f.error, "");
        for (const char* row : kSettings)
            EXPECT_EQ(ValueOf(a.params, row, ", "), ValueOf(f.params, row, ", ")) << row;
        EXPECT_EQ(ValueOf(f.params, "copies", ", "), "2");
        EXPECT_EQ(Rows(f), ExpectedOrder(1, 1, 3, 2));
        EXPECT_EQ(Rows(a), Rows(f));
        ASSERT_EQ(a.pages.size(), f.pages.size());
        for (size_t i = 0; i < a.pages.size(); i++)
            EXPECT_TRUE(a.pages[i].width == f.pages[i].width && a.pages[i].height == f.pages[i].height &&
                        DifferingPixels(a.pages[i], f.pages[i]) * 1000 <=
                            c.maxDifferPerMille * uint64_t(a.pages[i].width) * a.pages[i].height)
                << "record " << i + 1 << ": application against filter: " << Difference(a.pages[i], f.pages[i]);
    }
}

// Without a collate option CUPS asks the driverless printer for collated copies, while the product PPD's default
// is uncollated: each queue follows its own collation, two copies of three pages, one-sided.
TEST_F(AppCups, WithoutCollateOptionEachQueueFollowsItsOwn)
{
    const std::string pdf = kWork + "/sample-3.pdf";
    std::string why;
    const int app1 = Submit("-d everywhere -t own-collation -n 2 " + pdf, &why);
    ASSERT_NE(app1, 0) << why;
    const int ppd1 = Submit("-d ppd -n 2 " + pdf, &why);
    ASSERT_NE(ppd1, 0) << why;
    const std::string appOut = OutputPath(app, "fiskor", "own-collation"),
                      ppdOut = kCupsd + "/capture/job-" + std::to_string(ppd1) + ".prn";
    ASSERT_EQ(WaitFor(app1, appOut, 180), IPP_JSTATE_COMPLETED) << JobLog(app1) << AppLog(app);
    ASSERT_EQ(WaitFor(ppd1, ppdOut, 180), IPP_JSTATE_COMPLETED) << JobLog(ppd1);
    const Printed a = Read(appOut), f = Read(ppdOut);
    ASSERT_EQ(a.error, "");
    ASSERT_EQ(f.error, "");
    EXPECT_EQ(ValueOf(a.params, "copies", ", "), "2");
    EXPECT_EQ(Rows(a), ExpectedOrder(1, 0, 3, 2));
    EXPECT_EQ(Rows(f), ExpectedOrder(0, 0, 3, 2));
}

}  // namespace
