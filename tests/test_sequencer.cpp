// The sequencer as a unit: page events in, page records and messages out.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "stream/stream.h"

namespace {

// Stands in for the lines the driver prints while it produces the blank page.
const char kBlankPageMarker[] = "(blank page produced and loaded)\n";

uint32_t LE32(const std::string& s, size_t off)
{
    return (uint32_t)(unsigned char)s[off] | (uint32_t)(unsigned char)s[off + 1] << 8 |
           (uint32_t)(unsigned char)s[off + 2] << 16 | (uint32_t)(unsigned char)s[off + 3] << 24;
}

// Distinct bytes for each page image number.
std::string PageBytes(int mPage, int64_t size)
{
    std::string s((size_t)size, '\0');
    for (int64_t i = 0; i < size; i++)
        s[(size_t)i] = (char)((i * 7 + mPage * 53 + (i >> 9) + (i >> 17)) & 0xFF);
    return s;
}

struct JobPlan {
    int collate = 0, duplex = 0, copies = 1, pages = 1;
    int cancelBeforePage = 0;    // raster page whose pass sees the cancellation at once
    int cancelAfterPage = 0;     // raster page after whose lastpage decision it arrives
    std::vector<int64_t> sizes;  // per raster page; a default size otherwise
};

const int64_t kBlankSize = 61;

int64_t SizeOf(const JobPlan& plan, int page)
{
    return (size_t)page <= plan.sizes.size() ? plan.sizes[(size_t)page - 1] : 100 + 37 * page;
}

// (page, firstpage, lastpage, pageseq) of one record; the page ("P<n>" or
// "B") is recognised from the record's data, so only intact data names it.
struct Row {
    std::string page;
    uint32_t firstpage, lastpage, pageseq;
    bool operator==(const Row& o) const
    {
        return page == o.page && firstpage == o.firstpage && lastpage == o.lastpage && pageseq == o.pageseq;
    }
};
std::ostream& operator<<(std::ostream& os, const Row& r)
{
    return os << r.page << "(" << r.firstpage << "," << r.lastpage << "," << r.pageseq << ")";
}

struct JobResult {
    bool placeOk = true;
    std::vector<Row> rows;
    std::vector<std::string> lines;
};

std::vector<Row> ParseRecords(const std::string& s, const JobPlan& plan)
{
    std::vector<Row> out;
    size_t off = 0;
    while (off < s.size()) {
        if (s.size() - off < 32 || s.size() - off - 32 < LE32(s, off + 24)) {
            ADD_FAILURE() << "truncated record at " << off;
            break;
        }
        EXPECT_EQ(s.substr(off, 16), std::string("tamrel_printer\0\0", 16));
        Row r{"", LE32(s, off + 16), LE32(s, off + 20), LE32(s, off + 28)};
        std::string data = s.substr(off + 32, LE32(s, off + 24));
        off += 32 + data.size();
        for (int p = 1; p <= plan.pages + 1 && r.page.empty(); p++) {
            if (p <= plan.pages && data == PageBytes(p, SizeOf(plan, p)))
                r.page = "P" + std::to_string(p);
            else if (data == PageBytes(p, kBlankSize))
                r.page = "B";
        }
        out.push_back(r);
    }
    return out;
}

// Feeds the job's pages through the sequencer in the order the filter's
// page loop does, then parses what was written.
JobResult RunJob(const JobPlan& plan)
{
    JobResult res;
    char *outBuf = nullptr, *logBuf = nullptr;
    size_t outLen = 0, logLen = 0;
    FILE* out = open_memstream(&outBuf, &outLen);
    FILE* log = open_memstream(&logBuf, &logLen);
    Sequencer s;
    if (!SeqInit(&s, plan.collate, plan.duplex, plan.copies, out, log)) {
        ADD_FAILURE() << "SeqInit failed";
        return res;
    }
    volatile sig_atomic_t cancel = 0;
    for (int page = 1; res.placeOk && s.no_more_pages == 0 && cancel == 0; page++) {
        s.copies_left = s.copies;
        if (page == plan.pages)
            s.no_more_pages = 1;
        s.m_page++;
        if (page == plan.cancelBeforePage)
            cancel = 1;
        int64_t size = SizeOf(plan, page);
        std::string data = PageBytes(s.m_page, size);
        printer_header h = SeqBeginPage(&s, &cancel, size);
        if (page == plan.cancelAfterPage)
            cancel = 1;
        res.placeOk = SeqPlacePage(&s, &h, (const unsigned char*)data.data(), size);
        if (!res.placeOk)
            break;
        SeqPageDone(&s);
        s.raster_page++;
        if (s.extra_page) {
            s.m_page++;
            fputs(kBlankPageMarker, log);
            std::string blank = PageBytes(s.m_page, kBlankSize);
            res.placeOk = SeqExtraPage(&s, (const unsigned char*)blank.data(), kBlankSize);
            SeqExtraDone(&s);
        }
        SeqPairOutput(&s);
    }
    SeqFree(&s);
    fclose(out);
    fclose(log);
    res.rows = ParseRecords(std::string(outBuf, outLen), plan);
    std::string text(logBuf, logLen);
    for (size_t start = 0, nl; start < text.size(); start = nl + 1) {
        nl = text.find('\n', start);
        res.lines.push_back(text.substr(start, nl - start + 1));
    }
    free(outBuf);
    free(logBuf);
    return res;
}

JobPlan Plan(int collate, int duplex, int copies, int pages, int cancelBefore = 0, int cancelAfter = 0)
{
    JobPlan p;
    p.collate = collate;
    p.duplex = duplex;
    p.copies = copies;
    p.pages = pages;
    p.cancelBeforePage = cancelBefore;
    p.cancelAfterPage = cancelAfter;
    return p;
}

size_t Count(const JobResult& r, const std::string& line) { return std::count(r.lines.begin(), r.lines.end(), line); }

// ---------------------------------------------------------------------------

TEST(Sequencer, WorkedExamples)
{
    struct Case {
        const char* what;
        JobPlan plan;
        std::vector<Row> rows;
    } cases[] = {
        {"one-sided uncollated, 2 pages, copies 2", Plan(0, 0, 2, 2),
         {{"P1", 1, 0, 1}, {"P1", 1, 0, 2}, {"P2", 0, 0, 3}, {"P2", 0, 1, 4}}},
        {"two-sided uncollated, 3 pages, copies 2", Plan(0, 1, 2, 3),
         {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}, {"P1", 1, 0, 3}, {"P2", 0, 0, 4},
          {"P3", 0, 0, 5}, {"B", 0, 0, 6}, {"P3", 0, 0, 7}, {"B", 0, 1, 8}}},
        {"two-sided collated, 3 pages, copies 2", Plan(1, 1, 2, 3),
         {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}, {"P3", 0, 0, 3}, {"B", 0, 0, 4}}},
        {"two-sided collated, 3 pages, copies 1", Plan(1, 1, 1, 3),
         {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}, {"P3", 0, 0, 3}, {"B", 0, 1, 4}}},
        {"one-sided collated, 3 pages, copies 3", Plan(1, 0, 3, 3),
         {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}, {"P3", 0, 1, 3}}},
        {"two-sided uncollated, 1 page, copies 1", Plan(0, 1, 1, 1), {{"P1", 1, 0, 1}, {"B", 0, 1, 2}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(RunJob(c.plan).rows, c.rows);
    }
}

TEST(Sequencer, OnePageTwoSidedPrintsTheSixteenLinesInOrder)
{
    const std::vector<std::string> lines = {
        "DEBUG: m_page 1 buff load collate 0 duplex 1 lastpage is 0\n",
        "DEBUG: m_page 1 buff1 load \n",
        "DEBUG: print m_page 1 write jbg done\n",
        kBlankPageMarker,
        "DEBUG: extra page 2 lastpage to 1\n",
        "DEBUG: extra_page m_page 2 buff2 load lastpage is 1\n",
        "DEBUG: print extra m_page 2 write jbg done\n",
        "DEBUG: -----------------------------print m_page 2 collate 0 duplex 1 copies 1\n",
        "DEBUG: write page1 1 header done, m_page 1 lastpage is 0\n",
        "DEBUG: write page1 data done\n",
        "DEBUG: page2 lastpage is 1,copies 1,pageno is 2\n",
        "DEBUG: force lastpage to 1\n",
        "DEBUG: current lastpage is 1,pageno is 2\n",
        "DEBUG: write page2 2 header done, m_page 2 lastpage is 1\n",
        "DEBUG: write page2 data done\n",
        "DEBUG: #####################write 2pages duplex done\n",
    };
    EXPECT_EQ(RunJob(Plan(0, 1, 1, 1)).lines, lines);
}

// ---------------------------------------------------------------------------
// The lastpage rules over page counts, copies and modes, against the order a
// printer must receive.

int Times(int copies) { return copies > 0 ? copies : 1; }

std::vector<Row> Expected(int collate, int duplex, int pages, int copies)
{
    std::vector<Row> v;
    uint32_t seq = 0;
    auto add = [&](const std::string& page, bool first) { v.push_back({page, first ? 1u : 0u, 0u, ++seq}); };
    bool blank = duplex != 0 && pages % 2 == 1;
    if (collate) {
        for (int p = 1; p <= pages; p++)
            add("P" + std::to_string(p), p == 1);
        if (blank)
            add("B", false);
        if (!blank || copies < 2)
            v.back().lastpage = 1;
        return v;
    }
    for (int p = 1; p <= pages; p += duplex ? 2 : 1)
        for (int c = 0; c < Times(copies); c++) {
            add("P" + std::to_string(p), p == 1);
            if (duplex)
                add(p + 1 <= pages ? "P" + std::to_string(p + 1) : "B", false);
        }
    v.back().lastpage = 1;
    return v;
}

TEST(Sequencer, LastpageRulesOverPagesCopiesAndModes)
{
    for (int collate : {0, 1})
        for (int duplex : {0, 1, 2})
            for (int pages : {1, 2, 3, 4, 5})
                for (int copies : {-2, 0, 1, 3}) {
                    SCOPED_TRACE("collate " + std::to_string(collate) + " duplex " + std::to_string(duplex) +
                                 " pages " + std::to_string(pages) + " copies " + std::to_string(copies));
                    JobResult r = RunJob(Plan(collate, duplex, copies, pages));
                    EXPECT_EQ(r.rows, Expected(collate, duplex, pages, copies));
                    size_t force1 = !collate && copies >= 1 ? 1 : 0;
                    size_t force0 = !collate && copies >= 2 ? copies - 1 : 0;
                    EXPECT_EQ(Count(r, "DEBUG: force lastpage to 1\n"), force1);
                    EXPECT_EQ(Count(r, "DEBUG: force lastpage to 0\n"), force0);
                    bool forceExtra = collate && duplex && pages % 2 && copies >= 2;
                    EXPECT_EQ(Count(r, "DEBUG: force extra lastpage 1 to 0 as the first print when copies is " +
                                           std::to_string(copies) + "\n"), forceExtra ? 1u : 0u);
                    size_t waits = 0;
                    for (int p = 1; p < pages; p += 2)
                        waits += Count(r, "DEBUG: not handle in even page " + std::to_string(p) + ", pass\n");
                    EXPECT_EQ(waits, !collate && duplex ? (size_t)pages / 2 : 0u);
                }
}

// ---------------------------------------------------------------------------

TEST(Sequencer, CancellationSeenInThePassOrOnlyByTheLoop)
{
    struct Case {
        const char* what;
        JobPlan plan;
        std::vector<Row> rows;
        const char* line;  // the cancellation line, when the pass sees it
    } cases[] = {
        {"one-sided: page 2 becomes the last", Plan(0, 0, 2, 4, 2, 0),
         {{"P1", 1, 0, 1}, {"P1", 1, 0, 2}, {"P2", 0, 0, 3}, {"P2", 0, 1, 4}},
         "DEBUG: cancel job, page 2 handleImg done,pring m_page=2 is last page,\n"},
        {"two-sided, odd page: blank back side", Plan(0, 1, 1, 5, 3, 0),
         {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}, {"P3", 0, 0, 3}, {"B", 0, 1, 4}},
         "DEBUG: cancel job, page 3 handleImg done,pring m_page=3 is last page,\n"},
        {"collated two-sided, first page", Plan(1, 2, 1, 3, 1, 0), {{"P1", 1, 0, 1}, {"B", 0, 1, 2}},
         "DEBUG: cancel job, page 1 handleImg done,pring m_page=1 is last page,\n"},
        {"two-sided, even page ends the pair", Plan(0, 1, 2, 5, 2, 0),
         {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}, {"P1", 1, 0, 3}, {"P2", 0, 1, 4}},
         "DEBUG: cancel job, page 2 handleImg done,pring m_page=2 is last page,\n"},
        {"after the decision, one-sided", Plan(0, 0, 1, 4, 0, 2), {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}}, nullptr},
        // The front page held for its back side is never written.
        {"after the decision, held front", Plan(0, 1, 1, 5, 0, 3), {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}}, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        JobResult r = RunJob(c.plan);
        EXPECT_EQ(r.rows, c.rows);
        size_t cancelLines = 0;
        for (const std::string& l : r.lines)
            cancelLines += l.find("cancel job") != std::string::npos;
        EXPECT_EQ(cancelLines, c.line ? 1u : 0u);
        EXPECT_EQ(Count(r, c.line ? c.line : kBlankPageMarker), c.line ? 1u : 0u);
    }
}

TEST(Sequencer, PagesLargerThanABufferArePrintedWhole)
{
    JobPlan plan = Plan(0, 1, 2, 3);
    plan.sizes = {kPageBufferSize + 12345, kPageBufferSize * 2 + 1, kPageBufferSize};
    JobResult r = RunJob(plan);
    ASSERT_TRUE(r.placeOk);
    // Rows name a page only when its data arrived intact.
    EXPECT_EQ(r.rows, Expected(0, 1, 3, 2));
}

} // namespace
