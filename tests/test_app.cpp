// The printer application end to end: one server run as nobody, printers with `file:` devices, jobs sent by
// ipptool and the application's own `submit`; every printer stream read back by the inspector's parser, every page
// decoded and compared pixel for pixel with what the document defines.
#include <gtest/gtest.h>

#include <algorithm>
#include <cups/cups.h>
#include <map>
#include <regex>
#include <sstream>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#include "tests/documents.h"
#include "tests/printerapp.h"

namespace {

const std::string kA4 = "iso_a4_210x297mm", kA5 = "iso_a5_148x210mm", kA6 = "iso_a6_105x148mm",
                  kLetter = "na_letter_8.5x11in";
const std::string kPwg = "image/pwg-raster", kUrf = "image/urf", kJpeg = "image/jpeg", kPng = "image/png",
                  kPdf = "application/pdf", kRaw = "application/vnd.fiskor-zembrulan";

PrinterApp app;
std::string started;  // "" once the server runs with its printers, else why not

// The printers: two of each resolution, so that jobs of one test print two at a time.
const char* const kPrinters[][2] = {
    {"p600", "fiskor_600"}, {"q600", "fiskor_600"}, {"p1200", "fiskor_1200"}, {"q1200", "fiskor_1200"}};

std::string Start()
{
    std::string why;
    if (!StartApp(app, &why))
        return why;
    for (const auto& p : kPrinters)
        if (const FilterRun r = AddPrinter(app, p[0], p[1]); r.status != 0)
            return "add " + std::string(p[0]) + ": " + r.out;
    return "";
}

// At the end the server stops; a sanitizer build's reports from it or its commands fail the program.
struct StopAtEnd : ::testing::Environment {
    void TearDown() override
    {
        if (app.pid > 0) {
            EXPECT_TRUE(StopApp(app)) << "the server did not stop in 30 s";
        }
        EXPECT_EQ(SanitizerReports(app), "");
    }
};
const auto* const stopAtEnd = ::testing::AddGlobalTestEnvironment(new StopAtEnd);

struct App : ::testing::Test {
    void SetUp() override
    {
        if (AppProgram().empty())
            GTEST_SKIP() << "this build has no printer application";
        static const bool once = (started = Start(), true);
        (void)once;
        ASSERT_EQ(started, "");
    }
};

// Value of a row of the parameter text ("key=value, ").
std::string Param(const std::string& params, const std::string& key)
{
    const size_t at = (", " + params).find(", " + key + "="), from = at + key.size() + 1;
    return at == std::string::npos ? "<none>" : params.substr(from, params.find(", ", from) - from);
}

// Documents, made once per test program under /tmp/docs.
std::string Doc(const std::string& name, const std::function<bool(const std::string&)>& make)
{
    static std::map<std::string, bool> made;
    const std::string path = "/tmp/docs/" + name;
    if (!made[name]) {
        mkdir("/tmp/docs", 0755);
        made[name] = make(path);
        EXPECT_TRUE(made[name]) << "could not make " << path;
    }
    return path;
}
std::string RasterDoc(const std::vector<TestPage>& pages, RasterKind kind, const std::string& media,
                      const std::string& tag)
{
    return Doc(tag + (kind == RasterKind::Apple8 ? ".urf" : ".pwg"),
               [&](const std::string& p) { return WriteRasterDocument(p, pages, kind, media); });
}

// A job, and what the printer must receive from it.
struct Job {
    std::string what;
    PrintRequest req;
    std::vector<TestPage> want;  // the document's pages as printed
    bool turned = false;         // printed turned -90
    int collate = 0, duplex = 0, copies = 1;
    std::string params;  // rows of the job record, "key=value ..."
    bool viaSubmit = false;
    int id = 0;
};

// The application's own command line: submit [-o name=value]... file; job name = the file's base name.
int Submit(const Job& j, std::string* why)
{
    std::vector<std::string> args = {"submit", "-d", j.req.printer};
    for (const std::string& a : j.req.attrs) {
        std::smatch m;
        if (std::regex_match(a, m, std::regex("ATTR \\w+ ([\\w-]+) \"?([^\"]*)\"?")))
            args.insert(args.end(), {"-o", m[1].str() + "=" + m[2].str()});
    }
    args.insert(args.end(), {"-o", "job-name=" + j.req.jobName, "-o", "document-format=" + j.req.format, j.req.file});
    const FilterRun r = AppCommand(app, args);
    std::smatch m;
    if (r.status == 0 && std::regex_search(r.out, m, std::regex("(\\d+)\\s*$")))
        return std::stoi(m[1]);
    *why = "submit: status " + std::to_string(r.status) + ": " + r.out;
    return 0;
}

// Sends every job (ipptool or submit): the jobs of one printer one after the other, the printers' at the same time.
void Send(std::vector<Job>& jobs)
{
    static int counter = 0;
    std::map<std::string, std::vector<Job*>> byPrinter;
    for (Job& j : jobs) {
        j.req.jobName = "job" + std::to_string(++counter);
        byPrinter[j.req.printer].push_back(&j);
    }
    std::vector<std::thread> senders;
    std::vector<std::string> why(jobs.size());
    for (auto& [printer, list] : byPrinter)
        senders.emplace_back([&jobs, &why, list = list] {
            for (Job* j : list) {
                std::string& w = why[size_t(j - jobs.data())];
                j->id = j->viaSubmit ? Submit(*j, &w) : IpptoolPrint(app, j->req, &w);
                // The next job goes once this one has ended: a job arriving as another ends can start beside it
                // in PAPPL 1.3.1 (see JobsSentAtOnceEachPrintWhole).
                if (j->id != 0)
                    WaitJobs(app, {{j->req.printer, j->id}}, 300);
            }
        });
    for (std::thread& t : senders)
        t.join();
    for (size_t i = 0; i < jobs.size(); i++)
        EXPECT_NE(jobs[i].id, 0) << jobs[i].what << ": " << why[i];
}

std::vector<JobState> Wait(const std::vector<Job>& jobs, int seconds = 300)
{
    std::vector<std::pair<std::string, int>> ids;
    for (const Job& j : jobs)
        ids.push_back({j.req.printer, j.id});
    return WaitJobs(app, ids, seconds);
}

std::string Stream(const Job& j) { return ReadFile(OutputPath(app, j.req.printer, j.req.jobName)); }

// The job completed; its stream parses; the job record has the rows asked; the records are the pages, in the
// order the copies, collation and sides make.
void ExpectPrinted(const Job& j, const JobState& st)
{
    SCOPED_TRACE(j.what + " (" + j.req.jobName + ", job " + std::to_string(j.id) + ")");
    ASSERT_EQ(st.state, IPP_JSTATE_COMPLETED) << st.reasons;
    std::string why;
    const ReadJob job = ReadStream(Stream(j), SheetNamer(j.want, j.turned, &why));
    ASSERT_EQ(job.error, "");
    std::istringstream rows(j.params);
    for (std::string r; rows >> r;)
        EXPECT_EQ(Param(job.params, r.substr(0, r.find('='))), r.substr(r.find('=') + 1)) << job.params;
    EXPECT_EQ(job.rows, ExpectedOrder(j.collate, j.duplex, int(j.want.size()), j.copies)) << why;
    // The pages the printer prints, blank back sides not counted, as the filter's PAGE: lines count them.
    EXPECT_EQ(st.impressions, int(j.want.size()) * std::max(j.copies, 1)) << "job-impressions-completed";
}

void PrintAndCheck(std::vector<Job>& jobs)
{
    Send(jobs);
    const std::vector<JobState> states = Wait(jobs);
    for (size_t i = 0; i < jobs.size(); i++)
        ExpectPrinted(jobs[i], states[i]);
}

Job RasterJob(const std::string& what, const std::string& printer, const std::string& file,
              const std::vector<TestPage>& pages, std::vector<std::string> attrs, const std::string& params)
{
    Job j;
    j.what = what;
    j.req = {printer, file, kPwg, "", "alice", std::move(attrs)};
    j.want = pages;
    j.params = params;
    return j;
}

// One attribute's value in PrinterAttributes' text, "" when absent.
std::string Attribute(const std::string& attrs, const std::string& name)
{
    std::smatch m;
    return std::regex_search(attrs, m, std::regex("(^|\n)" + name + "=([^\n]*)")) ? m[2].str() : "";
}

// The margins of the printer's default media, from media-col-default.
Margins DefaultMargins(const std::string& printer)
{
    const std::string attrs = PrinterAttributes(app, printer);
    Margins m;
    std::smatch s;
    const std::pair<const char*, int*> members[] = {
        {"left", &m.left}, {"right", &m.right}, {"top", &m.top}, {"bottom", &m.bottom}};
    for (const auto& [side, value] : members) {
        const std::regex r(std::string("media-col-default=.*media-") + side + "-margin=(\\d+)");
        EXPECT_TRUE(std::regex_search(attrs, s, r)) << side << " margin not found in\n" << attrs;
        *value = std::regex_search(attrs, s, r) ? std::stoi(s[1]) : 0;
    }
    return m;
}

// Every format the printer takes prints its pages as the document defines them: raster pages as sent (PWG 1-bit
// and 8-bit grey, Apple raster), images of black and white blocks unscaled at the printer's resolution and centred
// within the margins (JPEG, PNG of every bit depth), PDF pages of rectangles on pixel boundaries (Letter: its
// size is a whole number of pixels at 600 and 1200 dpi, so the page is neither scaled nor shifted), and a printer
// stream passed through byte for byte.
TEST_F(App, EveryFormatPrintsItsPagesPixelForPixel)
{
    const auto a5 = SheetPages(3, kA5, 600, 1), a6At1200 = SheetPages(2, kA6, 1200, 2), a6 = SheetPages(1, kA6, 600, 3);
    const TestPage image = BlockImage(1200, 1600, 4);
    const Margins m600 = DefaultMargins("p600"), m1200 = DefaultMargins("p1200");
    const TestPage image600 = ImageOnSheet(image, Sheet(kA4, 600), m600, 600);
    const TestPage image1200 = ImageOnSheet(image, Sheet(kA4, 1200), m1200, 1200);
    const std::string pdf = Doc("rects.pdf", [](const std::string& p) { return WriteRectanglePdf(p, 2, 612, 792, 5); });
    const std::vector<TestPage> pdf600 = {RectanglePdfPage(0, 5, Sheet(kLetter, 600), 600),
                                          RectanglePdfPage(1, 5, Sheet(kLetter, 600), 600)};
    const std::vector<TestPage> pdf1200 = {RectanglePdfPage(0, 5, Sheet(kLetter, 1200), 1200),
                                           RectanglePdfPage(1, 5, Sheet(kLetter, 1200), 1200)};
    const std::string a5Rows = "PageSize=A5 Resolution=600dpi resX=600dpi Duplex=None copies=1 Collate=False";
    std::vector<Job> jobs = {
        RasterJob("PWG 1-bit 600 dpi", "p600", RasterDoc(a5, RasterKind::Pwg1, kA5, "a5-600"), a5,
                  {"ATTR keyword media " + kA5}, a5Rows + " jobId=<id> LoginName=alice DocName=<name>"),
        RasterJob("PWG 1-bit 1200 dpi", "p1200", RasterDoc(a6At1200, RasterKind::Pwg1, kA6, "a6-1200"), a6At1200,
                  {"ATTR keyword media " + kA6}, "PageSize=A6 Resolution=1200dpi"),
        RasterJob("PWG 8-bit grey", "q600", RasterDoc(a6, RasterKind::Pwg8, kA6, "a6-gray"), a6,
                  {"ATTR keyword media " + kA6}, "PageSize=A6 Resolution=600dpi"),
        RasterJob("Apple raster", "q600", RasterDoc(a6, RasterKind::Apple8, kA6, "a6-apple"), a6,
                  {"ATTR keyword media " + kA6}, "PageSize=A6"),
        RasterJob("JPEG 600 ppi", "p600", Doc("600.jpg", [&](auto& p) { return WriteJpeg(p, image, 600); }), {image600},
                  {}, "PageSize=A4"),
        RasterJob("JPEG 1200 ppi", "p1200", Doc("1200.jpg", [&](auto& p) { return WriteJpeg(p, image, 1200); }),
                  {image1200}, {}, "PageSize=A4 Resolution=1200dpi"),
        RasterJob("PDF 600 dpi", "q600", pdf, pdf600, {"ATTR keyword media " + kLetter}, "PageSize=Letter"),
        RasterJob("PDF 1200 dpi", "q1200", pdf, pdf1200, {"ATTR keyword media " + kLetter}, "PageSize=Letter"),
    };
    jobs[4].req.format = jobs[5].req.format = kJpeg;
    jobs[6].req.format = jobs[7].req.format = kPdf;
    for (int bits : {1, 2, 4, 8}) {
        const std::string name = "png" + std::to_string(bits) + ".png";
        jobs.push_back(RasterJob("PNG " + std::to_string(bits) + "-bit", bits % 2 ? "p600" : "q600",
                                 Doc(name, [&](auto& p) { return WritePng(p, image, bits, 600); }), {image600}, {},
                                 "PageSize=A4"));
        jobs.back().req.format = kPng;
        jobs.back().viaSubmit = bits == 8;
    }
    // The filter's stream of the same pages: the printer gets it unchanged.
    const FilterRun filtered = PrintPages(a6, "");
    ASSERT_EQ(filtered.status, 0) << filtered.err;
    jobs.push_back(RasterJob("printer stream", "p600",
                             Doc("job.prn", [&](auto& p) { return WriteFile(p, filtered.out); }), {}, {}, ""));
    jobs.back().req.format = kRaw;

    Send(jobs);
    const std::vector<JobState> states = Wait(jobs);
    for (size_t i = 0; i + 1 < jobs.size(); i++) {
        jobs[i].params = std::regex_replace(jobs[i].params, std::regex("<id>"), std::to_string(jobs[i].id));
        jobs[i].params = std::regex_replace(jobs[i].params, std::regex("<name>"), jobs[i].req.jobName);
        ExpectPrinted(jobs[i], states[i]);
    }
    EXPECT_EQ(states.back().state, IPP_JSTATE_COMPLETED) << states.back().reasons;
    EXPECT_TRUE(Stream(jobs.back()) == filtered.out) << "the printer stream was not passed through unchanged";
}

// Copies 1 and 3, collated or not (no multiple-document-handling: not), one- and two-sided (long and short edge):
// uncollated copies and two-sided pairs are made by the application, collated copies travel in the job record;
// an odd two-sided job ends with a blank back side. A5, three pages; the jobs alternate between two printers.
TEST_F(App, CopiesCollationAndSidesAsTheFilterMakesThem)
{
    const auto pages = SheetPages(3, kA5, 600, 6);
    const std::string doc = RasterDoc(pages, RasterKind::Pwg1, kA5, "a5-grid");
    std::vector<Job> jobs;
    for (int i = 0; i < 12; i++) {
        const int copies = i % 2 ? 3 : 1, collate = i / 2 % 3, sides = i / 6;  // collate 2: attribute absent
        const char* sidesKw = sides ? (i % 4 == 1 ? "two-sided-short-edge" : "two-sided-long-edge") : "one-sided";
        std::vector<std::string> attrs = {"ATTR keyword media " + kA5, "ATTR integer copies " + std::to_string(copies),
                                          "ATTR keyword sides " + std::string(sidesKw)};
        if (collate < 2)
            attrs.push_back(std::string("ATTR keyword multiple-document-handling ") +
                            (collate ? "separate-documents-collated-copies" : "separate-documents-uncollated-copies"));
        const std::string duplex = !sides ? "None" : i % 4 == 1 ? "DuplexTumble" : "DuplexNoTumble";
        Job j = RasterJob(std::to_string(copies) + " copies, collate " + std::to_string(collate) + ", " + sidesKw,
                          i % 2 ? "p600" : "q600", doc, pages, attrs,
                          "copies=" + std::to_string(copies) + " Duplex=" + duplex + " PageSize=A5");
        j.collate = collate == 1, j.duplex = sides, j.copies = copies;
        jobs.push_back(j);
    }
    PrintAndCheck(jobs);
}

// Copies of an image, JPEG (PAPPL's own image path, which prints the page once per copy) or PNG (the
// application's): every copy prints once, none is doubled. Counted as sheets the printer makes: records, times the
// job record's copies when collated.
TEST_F(App, ImageCopiesPrintOnceEach)
{
    const TestPage image = BlockImage(800, 800, 7);
    const TestPage sheet = ImageOnSheet(image, Sheet(kA4, 600), DefaultMargins("p600"), 600);
    const std::string png = Doc("copies.png", [&](auto& p) { return WritePng(p, image, 8, 600); });
    const std::string jpeg = Doc("copies.jpg", [&](auto& p) { return WriteJpeg(p, image, 600); });
    std::vector<Job> jobs;
    for (int i = 0; i < 4; i++) {
        const std::string mdh = i % 2 ? "separate-documents-collated-copies" : "separate-documents-uncollated-copies";
        Job j = RasterJob(std::string(i / 2 ? "PNG " : "JPEG ") + mdh, i / 2 ? "p600" : "q600", i / 2 ? png : jpeg,
                          {sheet}, {"ATTR integer copies 2", "ATTR keyword multiple-document-handling " + mdh}, "");
        j.req.format = i / 2 ? kPng : kJpeg;
        j.collate = i % 2;
        jobs.push_back(j);
    }
    Send(jobs);
    const std::vector<JobState> states = Wait(jobs);
    for (size_t i = 0; i < jobs.size(); i++) {
        SCOPED_TRACE(jobs[i].what);
        ASSERT_EQ(states[i].state, IPP_JSTATE_COMPLETED) << states[i].reasons;
        std::string why;
        const ReadJob s = ReadStream(Stream(jobs[i]), SheetNamer({sheet}, false, &why));
        ASSERT_EQ(s.error, "");
        const int copiesInRecord = std::stoi("0" + Param(s.params, "copies"));
        EXPECT_EQ(int(s.rows.size()) * (jobs[i].collate ? copiesInRecord : 1), 2) << s.params;
        for (const Row& r : s.rows)
            EXPECT_EQ(r.page, "P1") << why;
        EXPECT_EQ(s.rows.back().lastpage, 1u);
    }
}

// Trays, media types, sizes and the border as the job record names them, and two-sided printing only where the
// filter allows it: not from the manual tray, not on thin or thick media, not on sizes other than A4, Letter, A5,
// B5, B5ISO and 16k. One-page documents: two-sided, the page gets its blank back side.
TEST_F(App, MediaTraysAndTypesFollowTheTwoSidedRules)
{
    struct Case {
        std::string size, source, type, border, pageSize, slot, mediaType, borderRow;
        bool duplex;
    };
    const std::vector<Case> cases = {
        {kA5, "main", "stationery", "", "A5", "MainTray", "Plain", "1", true},
        {kA5, "manual", "stationery", "", "A5", "ManualTray", "Plain", "1", false},
        {kA5, "auto", "stationery", "off", "A5", "AutoTray", "Plain", "0", true},
        {kA5, "main", "stationery-recycled", "on", "A5", "MainTray", "Recycle", "1", true},
        {kA5, "main", "stationery-lightweight", "", "A5", "MainTray", "Thin", "1", false},
        {kA5, "auto", "stationery-heavyweight", "", "A5", "AutoTray", "Thick", "1", false},
        {kA5, "manual", "stationery-recycled", "", "A5", "ManualTray", "Recycle", "1", false},
        {kA4, "main", "", "", "A4", "MainTray", "Plain", "1", true},
        {"jis_b5_182x257mm", "", "", "", "B5", "MainTray", "Plain", "1", true},
        {"om_16k_195x270mm", "", "", "", "16k", "MainTray", "Plain", "1", true},
        {kLetter, "", "", "", "Letter", "MainTray", "Plain", "1", true},
        {"iso_b5_176x250mm", "", "", "", "B5ISO", "MainTray", "Plain", "1", true},
        {"na_invoice_5.5x8.5in", "", "", "", "Statement", "MainTray", "Plain", "1", false},
        {"na_legal_8.5x14in", "", "", "", "Legal", "MainTray", "Plain", "1", false},
        {"na_executive_7.25x10.5in", "", "", "", "Executive", "MainTray", "Plain", "1", false},
        {kA6, "", "", "", "A6", "MainTray", "Plain", "1", false},
        {"jis_b6_128x182mm", "", "", "", "B6", "MainTray", "Plain", "1", false},
    };
    std::vector<Job> jobs;
    for (size_t i = 0; i < cases.size(); i++) {
        const Case& c = cases[i];
        const auto page = SheetPages(1, c.size, 600, 10 + uint32_t(i));
        std::vector<std::string> attrs = {MediaCol(c.size, c.source, c.type), "ATTR keyword sides two-sided-long-edge"};
        if (!c.border.empty())
            attrs.push_back("ATTR keyword page-border " + c.border);
        Job j = RasterJob(c.size + " " + c.source + " " + c.type + " border " + c.border, i % 2 ? "p600" : "q600",
                          RasterDoc(page, RasterKind::Pwg1, c.size, "media-" + std::to_string(i)), page, attrs,
                          "PageSize=" + c.pageSize + " InputSlot=" + c.slot + " MediaType=" + c.mediaType +
                              " Border=" + c.borderRow + " Duplex=" + (c.duplex ? "DuplexNoTumble" : "None"));
        j.duplex = c.duplex;
        jobs.push_back(j);
    }
    PrintAndCheck(jobs);
}

// A5 fed long edge first: every page turned -90 and printed one-sided, FeedEdge 1 in the job record; fed short
// edge first, or any other size fed long edge first: as sent, two-sided as asked.
TEST_F(App, A5FedLongEdgeFirstIsTurnedAndOneSided)
{
    const auto a5 = SheetPages(3, kA5, 600, 20), a4 = SheetPages(1, kA4, 600, 21);
    const std::string a5Doc = RasterDoc(a5, RasterKind::Pwg1, kA5, "a5-feed"),
                      a4Doc = RasterDoc(a4, RasterKind::Pwg1, kA4, "a4-feed");
    const std::string sides = "ATTR keyword sides two-sided-long-edge";
    std::vector<Job> jobs = {
        RasterJob("A5 long edge first", "p600", a5Doc, a5,
                  {"ATTR keyword media " + kA5, sides, "ATTR keyword a5-feed-edge long-edge-first"},
                  "PageSize=A5 FeedEdge=1 Duplex=None"),
        RasterJob("A5 short edge first", "q600", a5Doc, a5,
                  {"ATTR keyword media " + kA5, sides, "ATTR keyword a5-feed-edge short-edge-first"},
                  "PageSize=A5 FeedEdge=0 Duplex=DuplexNoTumble"),
        RasterJob("A4 long edge first", "q600", a4Doc, a4,
                  {"ATTR keyword media " + kA4, sides, "ATTR keyword a5-feed-edge long-edge-first"},
                  "PageSize=A4 FeedEdge=1 Duplex=DuplexNoTumble"),
    };
    jobs[0].turned = true;
    jobs[1].duplex = jobs[2].duplex = 1;
    jobs[2].viaSubmit = true;
    PrintAndCheck(jobs);
}

// A raster page made at another resolution than the printer's is refused, never scaled: the job aborts with
// document-format-error and no record carries the page. Also when only the second page is of the other kind.
TEST_F(App, RasterOfAnotherResolutionIsRefused)
{
    const auto at600 = SheetPages(1, kA6, 600, 30), at1200 = SheetPages(1, kA6, 1200, 31);
    std::vector<TestPage> mixed = {at600[0], at1200[0]};
    std::vector<Job> jobs = {
        RasterJob("1200 dpi raster to a 600 dpi printer", "p600", RasterDoc(at1200, RasterKind::Pwg1, kA6, "r1200"),
                  at1200, {}, ""),
        RasterJob("600 dpi raster to a 1200 dpi printer", "p1200", RasterDoc(at600, RasterKind::Pwg1, kA6, "r600"),
                  at600, {}, ""),
        RasterJob("600 dpi Apple raster to a 1200 dpi printer", "q1200",
                  RasterDoc(at600, RasterKind::Apple8, kA6, "r600"), at600, {}, ""),
        RasterJob("second page at 1200 dpi", "q600", RasterDoc(mixed, RasterKind::Pwg1, kA6, "rmixed"), mixed, {}, ""),
    };
    jobs[2].req.format = kUrf;
    Send(jobs);
    const std::vector<JobState> states = Wait(jobs);
    for (size_t i = 0; i < jobs.size(); i++) {
        SCOPED_TRACE(jobs[i].what);
        EXPECT_EQ(states[i].state, IPP_JSTATE_ABORTED) << states[i].reasons;
        EXPECT_NE(states[i].reasons.find("document-format-error"), std::string::npos) << states[i].reasons;
        std::string why;
        const ReadJob s = ReadStream(Stream(jobs[i]), SheetNamer(jobs[i].want, false, &why));
        EXPECT_EQ(s.error, "");
        for (const Row& r : s.rows)
            EXPECT_TRUE(r.page == "P1" && i == 3) << r << " " << why;
    }
}

// A PDF ghostscript cannot read aborts its job with a reason and prints nothing; the next job on the printer
// prints.
TEST_F(App, CorruptPdfAbortsAndTheNextJobPrints)
{
    const std::string pdf = Doc("rects.pdf", [](const std::string& p) { return WriteRectanglePdf(p, 2, 612, 792, 5); });
    const std::string bad = Doc("corrupt.pdf", WriteCorruptPdf);
    std::vector<Job> jobs = {
        RasterJob("corrupt PDF", "p600", bad, {}, {}, ""),
        RasterJob("PDF after it", "p600", pdf,
                  {RectanglePdfPage(0, 5, Sheet(kLetter, 600), 600), RectanglePdfPage(1, 5, Sheet(kLetter, 600), 600)},
                  {"ATTR keyword media " + kLetter}, "PageSize=Letter"),
    };
    jobs[0].req.format = jobs[1].req.format = kPdf;
    Send(jobs);
    const std::vector<JobState> states = Wait(jobs);
    EXPECT_EQ(states[0].state, IPP_JSTATE_ABORTED) << states[0].reasons;
    EXPECT_TRUE(std::regex_search(states[0].reasons, std::regex("document-(format|unprintable)-error")))
        << states[0].reasons;
    EXPECT_EQ(ReadStream(Stream(jobs[0]), [](const uint8_t*, size_t) { return "?"; }).rows.size(), 0u);
    ExpectPrinted(jobs[1], states[1]);
}

// Jobs sent at the same moment to four printers each print whole, in their own file; a PNG job sent to a printer
// while it prints another is queued and prints after it. Not sent at the same moment to one printer, because PAPPL
// 1.3.1 then breaks: two raster jobs (streamed) make it refuse one with server-error-busy, and on that path it takes
// the printer's lock before the system's while saving the state takes them the other way round (the server can
// deadlock); two spooled jobs can both start, the check for a job in progress being made before the first job's
// thread marks itself, and then share the printer's device (both streams in one file).
TEST_F(App, JobsSentAtOnceEachPrintWhole)
{
    const auto a = SheetPages(1, kA5, 1200, 40), c = SheetPages(2, kA6, 1200, 42), big = SheetPages(6, kA4, 600, 44);
    const TestPage image = BlockImage(400, 640, 43);
    const TestPage sheet = ImageOnSheet(image, Sheet(kA4, 600), DefaultMargins("q600"), 600);
    const std::string png = Doc("at-once.png", [&](auto& p) { return WritePng(p, image, 4, 600); });
    const std::string pdf = Doc("rects.pdf", [](const std::string& p) { return WriteRectanglePdf(p, 2, 612, 792, 5); });
    std::vector<Job> jobs = {
        RasterJob("raster", "q1200", RasterDoc(a, RasterKind::Pwg1, kA5, "at-once-a1200"), a,
                  {"ATTR keyword media " + kA5}, "PageSize=A5"),
        RasterJob("PDF", "q600", pdf,
                  {RectanglePdfPage(0, 5, Sheet(kLetter, 600), 600), RectanglePdfPage(1, 5, Sheet(kLetter, 600), 600)},
                  {"ATTR keyword media " + kLetter}, "PageSize=Letter"),
        RasterJob("raster 1200 dpi", "p1200", RasterDoc(c, RasterKind::Pwg1, kA6, "at-once-c"), c,
                  {"ATTR keyword media " + kA6}, "PageSize=A6"),
        RasterJob("six A4 pages", "p600", RasterDoc(big, RasterKind::Pwg1, kA4, "at-once-big"), big,
                  {"ATTR keyword media " + kA4}, "PageSize=A4"),
        RasterJob("PNG while the printer prints", "p600", png, {sheet}, {}, "PageSize=A4"),
    };
    jobs[1].req.format = kPdf;
    jobs[4].req.format = kPng;
    std::vector<std::thread> senders;
    std::vector<std::string> why(jobs.size());
    for (size_t i = 0; i < jobs.size(); i++) {
        jobs[i].req.jobName = "at-once-" + std::to_string(i);
        if (i == 4) {
            // Once the six-page job prints (its stream has begun).
            struct stat st;
            const std::string out = OutputPath(app, "p600", jobs[3].req.jobName);
            for (int t = 0; t < 600 && (stat(out.c_str(), &st) != 0 || st.st_size == 0); t++)
                usleep(20000);
        }
        senders.emplace_back([&, i] { jobs[i].id = IpptoolPrint(app, jobs[i].req, &why[i]); });
    }
    for (std::thread& t : senders)
        t.join();
    for (size_t i = 0; i < jobs.size(); i++)
        ASSERT_NE(jobs[i].id, 0) << why[i];
    const std::vector<JobState> states = Wait(jobs);
    for (size_t i = 0; i < jobs.size(); i++)
        ExpectPrinted(jobs[i], states[i]);
}

// Cancelled while it prints, a job ends with the pages it completed, whole, the last marked as the job's end.
TEST_F(App, JobCancelledWhilePrintingEndsWithCompleteRecords)
{
    const auto pages = SheetPages(16, kA4, 600, 50);
    Job j = RasterJob("cancelled", "p600", RasterDoc(pages, RasterKind::Pwg1, kA4, "cancel"), pages, {}, "");
    j.req.jobName = "cancelled";
    std::vector<Job> jobs = {j};
    // A raster job streams: ipptool returns when it has ended, so it is sent from a thread.
    std::string why;
    std::thread sender([&] { jobs[0].id = IpptoolPrint(app, jobs[0].req, &why); });
    // Cancel once the first page record is out: the printer's only job is this one.
    const std::string out = OutputPath(app, "p600", "cancelled");
    struct stat st;
    for (int i = 0; i < 1200 && (stat(out.c_str(), &st) != 0 || st.st_size < 30000); i++)
        usleep(50000);
    // The job's id from the application's list ("ID STATE USER NAME" lines), then cancel it with `cancel`.
    const FilterRun jobsNow = AppCommand(app, {"jobs", "-d", "p600"});
    std::smatch m;
    const bool listed = std::regex_search(jobsNow.out, m, std::regex("(\\d+) +processing +alice +cancelled\n"));
    const bool cancelled = listed && CancelJob(app, "p600", std::stoi(m[1]));
    sender.join();
    ASSERT_TRUE(listed) << jobsNow.out;
    ASSERT_TRUE(cancelled);
    ASSERT_EQ(jobs[0].id, std::stoi(m[1])) << why;
    const std::vector<JobState> states = Wait(jobs, 120);
    EXPECT_EQ(states[0].state, IPP_JSTATE_CANCELED) << states[0].reasons;
    const ReadJob s = ReadStream(Stream(jobs[0]), SheetNamer(pages, false, &why));
    ASSERT_EQ(s.error, "");
    ASSERT_GE(s.rows.size(), 1u);
    EXPECT_LT(s.rows.size(), pages.size());
    std::vector<Row> want = ExpectedOrder(0, 0, int(s.rows.size()), 1);
    EXPECT_EQ(s.rows, want) << why;
}

// Stopped and started again on the same state directory, the application still has its printers and their
// defaults (set over IPP: PAPPL 1.3.1 takes media-col-default and the vendor defaults, not sides-default): a job that
// asks for nothing prints with them, A5 fed long edge first, no border.
TEST_F(App, RestartKeepsPrintersAndTheirDefaults)
{
    ASSERT_EQ(AddPrinter(app, "kept", "fiskor_600").status, 0);
    const std::string set = SetPrinterAttributes(
        app, "kept",
        {"ATTR collection media-col-default { MEMBER keyword media-size-name \"" + kA5 +
             "\" MEMBER keyword media-source \"manual\" MEMBER keyword media-type \"stationery-recycled\" }",
         "ATTR keyword page-border-default off", "ATTR keyword a5-feed-edge-default long-edge-first"});
    ASSERT_EQ(set, "");
    const std::string before = PrinterAttributes(app, "kept");
    ASSERT_TRUE(StopApp(app)) << "the server did not stop in 30 s";
    std::string why;
    ASSERT_TRUE(StartApp(app, &why)) << why;
    const std::string after = PrinterAttributes(app, "kept");
    for (const char* a : {"media-col-default", "page-border-default", "a5-feed-edge-default", "printer-uuid"}) {
        EXPECT_NE(Attribute(before, a), "") << a << " not in\n" << before;
        EXPECT_EQ(Attribute(after, a), Attribute(before, a)) << a;
    }
    const auto pages = SheetPages(2, kA5, 600, 60);
    std::vector<Job> jobs = {RasterJob("defaults", "kept", RasterDoc(pages, RasterKind::Pwg1, kA5, "kept"), pages, {},
                                       "PageSize=A5 InputSlot=ManualTray MediaType=Recycle FeedEdge=1 Border=0")};
    jobs[0].turned = true;
    PrintAndCheck(jobs);
    for (const auto& p : kPrinters)
        EXPECT_EQ(Attribute(PrinterAttributes(app, p[0]), "printer-name"), p[0]);
}

// The printer's identity and password are kept in the application's state (mode 0600), sent in the job record,
// never logged, and still there after a restart.
TEST_F(App, CredentialsAreKeptSentAndNeverLogged)
{
    if (AppCommand(app, {"--help"}).out.find("\n  credentials ") == std::string::npos)
        GTEST_SKIP() << "this application has no credentials sub-command";
    ASSERT_EQ(AddPrinter(app, "secret", "fiskor_600").status, 0);
    const FilterRun cred = AppCommand(
        app, {"credentials", "-d", "secret", "-o", "auth-id=Kasse7", "-o", "state-directory=" + app.dir + "/state"},
        "s3cret-pass\n");
    ASSERT_EQ(cred.status, 0) << cred.out;
    ASSERT_TRUE(StopApp(app));
    std::string why;
    ASSERT_TRUE(StartApp(app, &why)) << why;
    const auto pages = SheetPages(1, kA6, 600, 70);
    std::vector<Job> jobs = {RasterJob("credentials", "secret", RasterDoc(pages, RasterKind::Pwg1, kA6, "secret"),
                                       pages, {}, "AuthID=Kasse7 AuthPassword=s3cret-pass")};
    PrintAndCheck(jobs);
    EXPECT_EQ(AppLog(app).find("s3cret"), std::string::npos) << "the password is in the log";
    // The password is in the state, only in files no one else may read.
    const auto holders = [&](const std::string& filter) {
        FilterOptions o;
        o.program = "/bin/sh";
        o.args = {"-c", "find \"$0\" -type f " + filter + " -exec grep -l s3cret-pass {} +", app.dir + "/state"};
        return RunFilter(o).out;
    };
    EXPECT_NE(holders(""), "") << "the password is not kept in the state directory";
    EXPECT_EQ(holders("-perm /077"), "") << "files others may read hold the password";
}

}  // namespace
