// The sequencer as a unit: page events in, page records and messages out.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/resource.h>
#include <vector>

#include "stream/stream.h"

#if defined(__SANITIZE_ADDRESS__)
#define FZ_UNDER_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define FZ_UNDER_ASAN 1
#endif
#endif

namespace {

// Stands in for the lines the driver prints while it produces the blank page.
const char kBlankPageMarker[] = "(blank page produced and loaded)\n";

struct Record {
    std::string name;
    uint32_t firstpage = 0, lastpage = 0, datasize = 0, pageseq = 0;
    std::string data;
    std::string page;  // "P<n>" or "B", found from the data
};

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
    int collate = 0;
    int duplex = 0;
    int copies = 1;
    int pages = 1;
    int cancelBeforePage = 0;  // raster page whose pass sees the cancellation at once
    int cancelAfterPage = 0;   // raster page after whose lastpage decision it arrives
    std::vector<int64_t> sizes;  // per raster page; a default size otherwise
    int64_t blankSize = 61;
};

struct JobResult {
    bool initOk = false;
    bool placeOk = true;
    std::vector<Record> records;
    std::vector<std::string> lines;
    std::string log;
    int64_t capacity1 = 0, capacity2 = 0;
    int written_records = 0;
};

int64_t SizeOf(const JobPlan& plan, int page)
{
    if ((size_t)page <= plan.sizes.size())
        return plan.sizes[(size_t)page - 1];
    return 100 + 37 * page;
}

// Splits the stream into page records; every byte must belong to a record.
std::vector<Record> ParseRecords(const std::string& s, const JobPlan& plan)
{
    std::vector<Record> out;
    size_t off = 0;
    while (off < s.size()) {
        if (s.size() - off < 32) {
            ADD_FAILURE() << "truncated record header at " << off;
            break;
        }
        Record r;
        r.name = s.substr(off, 16);
        r.firstpage = LE32(s, off + 16);
        r.lastpage = LE32(s, off + 20);
        r.datasize = LE32(s, off + 24);
        r.pageseq = LE32(s, off + 28);
        off += 32;
        if (s.size() - off < r.datasize) {
            ADD_FAILURE() << "truncated record data at " << off;
            break;
        }
        r.data = s.substr(off, r.datasize);
        off += r.datasize;
        for (int p = 1; p <= plan.pages + 1 && r.page.empty(); p++) {
            if (p <= plan.pages && r.data == PageBytes(p, SizeOf(plan, p)))
                r.page = "P" + std::to_string(p);
            else if (r.data == PageBytes(p, plan.blankSize))
                r.page = "B";
        }
        EXPECT_FALSE(r.page.empty()) << "record " << r.pageseq << " carries no page's data intact";
        out.push_back(r);
    }
    return out;
}

std::vector<std::string> SplitLines(const std::string& s)
{
    std::vector<std::string> v;
    size_t start = 0;
    while (start < s.size()) {
        size_t nl = s.find('\n', start);
        if (nl == std::string::npos) {
            v.push_back(s.substr(start));
            break;
        }
        v.push_back(s.substr(start, nl - start + 1));
        start = nl + 1;
    }
    return v;
}

// Feeds the job's pages through the sequencer in the order the filter's
// page loop does, then parses what was written.
JobResult RunJob(const JobPlan& plan)
{
    JobResult res;
    char* outBuf = nullptr;
    size_t outLen = 0;
    char* logBuf = nullptr;
    size_t logLen = 0;
    FILE* out = open_memstream(&outBuf, &outLen);
    FILE* log = open_memstream(&logBuf, &logLen);
    if (!out || !log) {
        ADD_FAILURE() << "open_memstream failed";
        return res;
    }

    Sequencer s;
    res.initOk = SeqInit(&s, plan.collate, plan.duplex, plan.copies, out, log);
    volatile sig_atomic_t cancel = 0;
    int page = 0;
    while (res.initOk && s.no_more_pages == 0 && cancel == 0) {
        page++;
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
        if (!SeqPlacePage(&s, &h, (const unsigned char*)data.data(), size)) {
            res.placeOk = false;
            break;
        }
        SeqPageDone(&s);
        s.raster_page++;
        if (s.extra_page) {
            s.m_page++;
            fputs(kBlankPageMarker, log);
            std::string blank = PageBytes(s.m_page, plan.blankSize);
            if (!SeqExtraPage(&s, (const unsigned char*)blank.data(), plan.blankSize)) {
                res.placeOk = false;
                break;
            }
            SeqExtraDone(&s);
        }
        SeqPairOutput(&s);
    }
    res.capacity1 = s.buff1.capacity;
    res.capacity2 = s.buff2.capacity;
    res.written_records = s.written_records;
    if (res.initOk)
        SeqFree(&s);
    fclose(out);
    fclose(log);
    std::string stream(outBuf, outLen);
    res.log.assign(logBuf, logLen);
    free(outBuf);
    free(logBuf);
    res.records = ParseRecords(stream, plan);
    res.lines = SplitLines(res.log);
    return res;
}

// (page, firstpage, lastpage, pageseq) of every record, in stream order.
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

std::vector<Row> Rows(const JobResult& r)
{
    std::vector<Row> v;
    for (const Record& rec : r.records)
        v.push_back({rec.page, rec.firstpage, rec.lastpage, rec.pageseq});
    return v;
}

size_t Count(const JobResult& r, const std::string& line)
{
    size_t n = 0;
    for (const std::string& l : r.lines)
        n += (l == line);
    return n;
}

size_t CountLastpage1(const JobResult& r)
{
    size_t n = 0;
    for (const Record& rec : r.records)
        n += (rec.lastpage == 1);
    return n;
}

JobPlan Plan(int collate, int duplex, int copies, int pages)
{
    JobPlan s;
    s.collate = collate;
    s.duplex = duplex;
    s.copies = copies;
    s.pages = pages;
    return s;
}

// ---------------------------------------------------------------------------
// The worked examples.

TEST(SequencerExamples, OneSidedUncollatedTwoPagesTwoCopies)
{
    JobResult r = RunJob(Plan(0, 0, 2, 2));
    std::vector<Row> want = {{"P1", 1, 0, 1}, {"P1", 1, 0, 2}, {"P2", 0, 0, 3}, {"P2", 0, 1, 4}};
    EXPECT_EQ(Rows(r), want);
}

TEST(SequencerExamples, TwoSidedUncollatedThreePagesTwoCopies)
{
    JobResult r = RunJob(Plan(0, 1, 2, 3));
    std::vector<Row> want = {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}, {"P1", 1, 0, 3}, {"P2", 0, 0, 4},
                             {"P3", 0, 0, 5}, {"B", 0, 0, 6},  {"P3", 0, 0, 7}, {"B", 0, 1, 8}};
    EXPECT_EQ(Rows(r), want);
}

TEST(SequencerExamples, TwoSidedCollatedThreePagesTwoCopies)
{
    JobResult r = RunJob(Plan(1, 1, 2, 3));
    std::vector<Row> want = {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}, {"P3", 0, 0, 3}, {"B", 0, 0, 4}};
    EXPECT_EQ(Rows(r), want);
    EXPECT_EQ(Count(r, "DEBUG: force extra lastpage 1 to 0 as the first print when copies is 2\n"), 1u);
}

TEST(SequencerExamples, TwoSidedCollatedThreePagesOneCopy)
{
    JobResult r = RunJob(Plan(1, 1, 1, 3));
    std::vector<Row> want = {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}, {"P3", 0, 0, 3}, {"B", 0, 1, 4}};
    EXPECT_EQ(Rows(r), want);
}

TEST(SequencerExamples, OneSidedCollatedThreePagesAnyCopies)
{
    std::vector<Row> want = {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}, {"P3", 0, 1, 3}};
    for (int copies : {1, 2, 3, 7}) {
        JobResult r = RunJob(Plan(1, 0, copies, 3));
        EXPECT_EQ(Rows(r), want) << "copies " << copies;
    }
}

TEST(SequencerExamples, TwoSidedUncollatedOnePageRecordsAndLines)
{
    JobResult r = RunJob(Plan(0, 1, 1, 1));
    std::vector<Row> want = {{"P1", 1, 0, 1}, {"B", 0, 1, 2}};
    EXPECT_EQ(Rows(r), want);
    std::vector<std::string> lines = {
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
    EXPECT_EQ(r.lines, lines);
}

// ---------------------------------------------------------------------------
// The lines of the other kinds of write.

TEST(SequencerLines, OneSidedUncollatedLastPageWithTwoCopies)
{
    JobResult r = RunJob(Plan(0, 0, 2, 1));
    std::vector<std::string> lines = {
        "DEBUG: m_page 1 buff load collate 0 duplex 0 \n",
        "DEBUG: print m_page 1 collate 0 duplex 0 copies 2\n",
        "DEBUG: force lastpage to 0\n",
        "DEBUG: current lastpage is 0 pageno is 1\n",
        "DEBUG: write page 1 header done\n",
        "DEBUG: write page data done\n",
        "DEBUG: print m_page 1 collate 0 duplex 0 copies 1\n",
        "DEBUG: force lastpage to 1\n",
        "DEBUG: current lastpage is 1 pageno is 1\n",
        "DEBUG: write page 2 header done\n",
        "DEBUG: write page data done\n",
        "DEBUG: print m_page 1 write jbg done\n",
    };
    EXPECT_EQ(r.lines, lines);
}

TEST(SequencerLines, CollatedTwoSidedBlankBackSideWrittenAtOnce)
{
    JobResult r = RunJob(Plan(1, 2, 3, 1));
    std::vector<std::string> lines = {
        "DEBUG: print m_page 1 collate 1 duplex 2 copies 3\n",
        "DEBUG: current lastpage is 0 pageno is 1\n",
        "DEBUG: write page 1 header done\n",
        "DEBUG: write page data done\n",
        "DEBUG: print m_page 1 write jbg done\n",
        kBlankPageMarker,
        "DEBUG: extra page 2 lastpage to 1\n",
        "DEBUG: current lastpage is 1 pageno 2\n",
        "DEBUG: force extra lastpage 1 to 0 as the first print when copies is 3\n",
        "DEBUG: write page 2 header done\n",
        "DEBUG: print extra m_page 2 write jbg done\n",
    };
    EXPECT_EQ(r.lines, lines);
    std::vector<Row> want = {{"P1", 1, 0, 1}, {"B", 0, 0, 2}};
    EXPECT_EQ(Rows(r), want);
}

TEST(SequencerLines, UncollatedTwoSidedOddPageWaitsForItsBack)
{
    JobResult r = RunJob(Plan(0, 1, 1, 4));
    EXPECT_EQ(Count(r, "DEBUG: not handle in even page 1, pass\n"), 1u);
    EXPECT_EQ(Count(r, "DEBUG: not handle in even page 3, pass\n"), 1u);
    EXPECT_EQ(Count(r, "DEBUG: m_page 2 buff2 load \n"), 1u);
    EXPECT_EQ(Count(r, "DEBUG: m_page 3 buff1 load \n"), 1u);
    // An odd last page is paired with its blank back side at once.
    JobResult odd = RunJob(Plan(0, 1, 1, 3));
    EXPECT_EQ(Count(odd, "DEBUG: not handle in even page 1, pass\n"), 1u);
    EXPECT_EQ(Count(odd, "DEBUG: not handle in even page 3, pass\n"), 0u);
}

// ---------------------------------------------------------------------------
// The lastpage rules, over page counts and copies, checked against the
// order a printer must receive.

int Times(int copies) { return copies > 0 ? copies : 1; }

std::vector<Row> ExpectedUncollatedOneSided(int pages, int copies)
{
    std::vector<Row> v;
    uint32_t seq = 0;
    for (int p = 1; p <= pages; p++)
        for (int c = 0; c < Times(copies); c++)
            v.push_back({"P" + std::to_string(p), p == 1 ? 1u : 0u, 0u, ++seq});
    v.back().lastpage = 1;
    return v;
}

std::vector<Row> ExpectedUncollatedTwoSided(int pages, int copies)
{
    std::vector<Row> v;
    uint32_t seq = 0;
    for (int front = 1; front <= pages; front += 2) {
        std::string back = front + 1 <= pages ? "P" + std::to_string(front + 1) : "B";
        for (int c = 0; c < Times(copies); c++) {
            v.push_back({"P" + std::to_string(front), front == 1 ? 1u : 0u, 0u, ++seq});
            v.push_back({back, 0u, 0u, ++seq});
        }
    }
    v.back().lastpage = 1;
    return v;
}

std::vector<Row> ExpectedCollated(int duplex, int pages, int copies)
{
    std::vector<Row> v;
    uint32_t seq = 0;
    for (int p = 1; p <= pages; p++)
        v.push_back({"P" + std::to_string(p), p == 1 ? 1u : 0u, 0u, ++seq});
    if (duplex != 0 && pages % 2 == 1)
        v.push_back({"B", 0u, copies >= 2 ? 0u : 1u, ++seq});
    else
        v.back().lastpage = 1;
    return v;
}

class LastpageRules : public testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(LastpageRules, UncollatedOneSided)
{
    int pages = std::get<0>(GetParam()), copies = std::get<1>(GetParam());
    JobResult r = RunJob(Plan(0, 0, copies, pages));
    EXPECT_EQ(Rows(r), ExpectedUncollatedOneSided(pages, copies));
    EXPECT_EQ(Count(r, "DEBUG: force lastpage to 1\n"), copies >= 1 ? 1u : 0u);
    EXPECT_EQ(Count(r, "DEBUG: force lastpage to 0\n"), copies >= 2 ? (size_t)copies - 1 : 0u);
}

TEST_P(LastpageRules, UncollatedTwoSided)
{
    int pages = std::get<0>(GetParam()), copies = std::get<1>(GetParam());
    for (int duplex : {1, 2}) {
        JobResult r = RunJob(Plan(0, duplex, copies, pages));
        EXPECT_EQ(Rows(r), ExpectedUncollatedTwoSided(pages, copies)) << "duplex " << duplex;
        EXPECT_EQ(Count(r, "DEBUG: force lastpage to 1\n"), copies >= 1 ? 1u : 0u);
        EXPECT_EQ(Count(r, "DEBUG: force lastpage to 0\n"), copies >= 2 ? (size_t)copies - 1 : 0u);
        for (size_t i = 0; i < r.records.size(); i++)
            EXPECT_EQ(r.records[i].pageseq % 2, i % 2 == 0 ? 1u : 0u) << "front sides odd, back sides even";
    }
}

TEST_P(LastpageRules, Collated)
{
    int pages = std::get<0>(GetParam()), copies = std::get<1>(GetParam());
    for (int duplex : {0, 1, 2}) {
        JobResult r = RunJob(Plan(1, duplex, copies, pages));
        EXPECT_EQ(Rows(r), ExpectedCollated(duplex, pages, copies)) << "duplex " << duplex;
        EXPECT_EQ(Count(r, "DEBUG: force lastpage to 1\n"), 0u);
        EXPECT_EQ(Count(r, "DEBUG: force lastpage to 0\n"), 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(PagesAndCopies, LastpageRules,
                         testing::Combine(testing::Values(1, 2, 3, 4, 5), testing::Values(-2, 0, 1, 3)));

TEST(SequencerRecords, PageseqRisesByOneAndNamesAreComplete)
{
    for (int collate : {0, 1})
        for (int duplex : {0, 1}) {
            JobResult r = RunJob(Plan(collate, duplex, 3, 5));
            ASSERT_FALSE(r.records.empty());
            for (size_t i = 0; i < r.records.size(); i++) {
                EXPECT_EQ(r.records[i].pageseq, i + 1);
                EXPECT_EQ(r.records[i].name, std::string("tamrel_printer\0\0", 16));
            }
            EXPECT_EQ(r.written_records, (int)r.records.size());
        }
}

TEST(SequencerRecords, CopiesOfOnePageDifferOnlyInLastpageAndPageseq)
{
    JobResult r = RunJob(Plan(0, 0, 3, 1));
    ASSERT_EQ(r.records.size(), 3u);
    for (const Record& rec : r.records) {
        EXPECT_EQ(rec.firstpage, r.records[0].firstpage);
        EXPECT_EQ(rec.datasize, r.records[0].datasize);
        EXPECT_EQ(rec.data, r.records[0].data);
    }
}

TEST(SequencerRecords, CollatedOddTwoSidedWithCopiesHasNoEndMark)
{
    for (int copies : {2, 3}) {
        JobResult r = RunJob(Plan(1, 1, copies, 5));
        EXPECT_EQ(CountLastpage1(r), 0u) << "copies " << copies;
        EXPECT_EQ(r.records.back().page, "B");
    }
}

TEST(SequencerRecords, EmptyPageDataGivesEmptyRecords)
{
    JobPlan plan = Plan(0, 1, 2, 2);
    plan.sizes = {0, 0};
    JobResult r = RunJob(plan);
    ASSERT_EQ(r.records.size(), 4u);
    for (const Record& rec : r.records)
        EXPECT_EQ(rec.datasize, 0u);
}

// ---------------------------------------------------------------------------
// Cancellation.

TEST(SequencerCancel, SeenBeforeThePageMakesItTheLast)
{
    JobPlan plan = Plan(0, 0, 2, 4);
    plan.cancelBeforePage = 2;
    JobResult r = RunJob(plan);
    std::vector<Row> want = {{"P1", 1, 0, 1}, {"P1", 1, 0, 2}, {"P2", 0, 0, 3}, {"P2", 0, 1, 4}};
    EXPECT_EQ(Rows(r), want);
    EXPECT_EQ(Count(r, "DEBUG: cancel job, page 2 handleImg done,pring m_page=2 is last page,\n"), 1u);
}

TEST(SequencerCancel, SeenBeforeAnOddPageAddsTheBlankBackSide)
{
    JobPlan plan = Plan(0, 1, 1, 5);
    plan.cancelBeforePage = 3;
    JobResult r = RunJob(plan);
    std::vector<Row> want = {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}, {"P3", 0, 0, 3}, {"B", 0, 1, 4}};
    EXPECT_EQ(Rows(r), want);
    EXPECT_EQ(Count(r, "DEBUG: cancel job, page 3 handleImg done,pring m_page=3 is last page,\n"), 1u);

    JobPlan collated = Plan(1, 2, 1, 3);
    collated.cancelBeforePage = 1;
    JobResult c = RunJob(collated);
    std::vector<Row> wantC = {{"P1", 1, 0, 1}, {"B", 0, 1, 2}};
    EXPECT_EQ(Rows(c), wantC);
}

TEST(SequencerCancel, SeenBeforeAnEvenPageEndsThePair)
{
    JobPlan plan = Plan(0, 1, 2, 5);
    plan.cancelBeforePage = 2;
    JobResult r = RunJob(plan);
    std::vector<Row> want = {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}, {"P1", 1, 0, 3}, {"P2", 0, 1, 4}};
    EXPECT_EQ(Rows(r), want);
}

TEST(SequencerCancel, ArrivingAfterTheDecisionOnlyStopsTheLoop)
{
    JobPlan one = Plan(0, 0, 1, 4);
    one.cancelAfterPage = 2;
    JobResult r1 = RunJob(one);
    std::vector<Row> want1 = {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}};
    EXPECT_EQ(Rows(r1), want1);
    EXPECT_EQ(CountLastpage1(r1), 0u);

    // The front page held for its back side is never written.
    JobPlan two = Plan(0, 1, 1, 5);
    two.cancelAfterPage = 3;
    JobResult r2 = RunJob(two);
    std::vector<Row> want2 = {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}};
    EXPECT_EQ(Rows(r2), want2);
    EXPECT_EQ(CountLastpage1(r2), 0u);
    EXPECT_EQ(Count(r2, kBlankPageMarker), 0u);
    for (const std::string& l : r2.lines)
        EXPECT_EQ(l.find("cancel job"), std::string::npos);
}

// ---------------------------------------------------------------------------
// Buffers.

TEST(SequencerBuffers, InitAllocatesBothEmpty)
{
    Sequencer s;
    ASSERT_TRUE(SeqInit(&s, 0, 1, 2, stdout, stderr));
    EXPECT_NE(s.buff1.data, nullptr);
    EXPECT_NE(s.buff2.data, nullptr);
    EXPECT_EQ(s.buff1.capacity, kPageBufferSize);
    EXPECT_EQ(s.buff2.capacity, kPageBufferSize);
    EXPECT_EQ(s.buff1.size, -1);
    EXPECT_EQ(s.buff2.size, -1);
    EXPECT_EQ(s.buff1.hdr.pageseq, 1u);
    SeqFree(&s);
    EXPECT_EQ(s.buff1.data, nullptr);
    EXPECT_EQ(s.buff2.data, nullptr);
}

TEST(SequencerBuffers, PagesLargerThanABufferArePrintedWhole)
{
    JobPlan plan = Plan(0, 1, 2, 3);
    plan.sizes = {kPageBufferSize + 12345, kPageBufferSize * 2 + 1, kPageBufferSize};
    JobResult r = RunJob(plan);
    ASSERT_TRUE(r.placeOk);
    std::vector<Row> want = {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}, {"P1", 1, 0, 3}, {"P2", 0, 0, 4},
                             {"P3", 0, 0, 5}, {"B", 0, 0, 6},  {"P3", 0, 0, 7}, {"B", 0, 1, 8}};
    EXPECT_EQ(Rows(r), want);  // a record's page is only named when its data is intact
    EXPECT_EQ(r.records[0].datasize, (uint32_t)(kPageBufferSize + 12345));
    EXPECT_EQ(r.records[1].datasize, (uint32_t)(kPageBufferSize * 2 + 1));
    EXPECT_EQ(r.capacity1, kPageBufferSize + 12345);
    EXPECT_EQ(r.capacity2, kPageBufferSize * 2 + 1);
}

TEST(SequencerBuffers, ParkingCopiesExactlyThePageBytes)
{
    char* outBuf = nullptr;
    size_t outLen = 0;
    FILE* out = open_memstream(&outBuf, &outLen);
    FILE* log = fopen("/dev/null", "w");
    ASSERT_TRUE(out && log);
    Sequencer s;
    ASSERT_TRUE(SeqInit(&s, 0, 1, 1, out, log));
    const int64_t size = 1000;
    memset(s.buff1.data + size, 0x5A, 64);
    volatile sig_atomic_t cancel = 0;
    s.copies_left = 1;
    s.m_page = 1;
    std::string data = PageBytes(1, size);
    printer_header h = SeqBeginPage(&s, &cancel, size);
    ASSERT_TRUE(SeqPlacePage(&s, &h, (const unsigned char*)data.data(), size));
    EXPECT_EQ(s.buff1.size, size);
    EXPECT_EQ(std::string((const char*)s.buff1.data, (size_t)size), data);
    EXPECT_EQ(std::string((const char*)s.buff1.data + size, 64), std::string(64, '\x5A'));
    EXPECT_EQ(s.buff1.capacity, kPageBufferSize);
    SeqFree(&s);
    fclose(out);
    fclose(log);
    EXPECT_EQ(outLen, 0u);  // a held page writes nothing
    free(outBuf);
}

TEST(SequencerBuffers, FailingToGrowReportsFailure)
{
#ifdef FZ_UNDER_ASAN
    GTEST_SKIP() << "an address-space limit cannot be set under AddressSanitizer";
#else
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            FILE* log = fopen("/dev/null", "w");
            Sequencer s;
            if (!log || !SeqInit(&s, 0, 1, 1, log, log))
                _exit(3);
            struct rlimit lim;
            lim.rlim_cur = lim.rlim_max = 0;
            long pages = 0;
            FILE* statm = fopen("/proc/self/statm", "r");
            if (!statm || fscanf(statm, "%ld", &pages) != 1)
                _exit(4);
            lim.rlim_cur = lim.rlim_max = (rlim_t)pages * 4096 + (rlim_t)64 * 1024 * 1024;
            if (setrlimit(RLIMIT_AS, &lim) != 0)
                _exit(5);
            volatile sig_atomic_t cancel = 0;
            s.copies_left = 1;
            s.m_page = 1;
            unsigned char small[16] = {0};
            const int64_t huge = (int64_t)1 << 30;  // never read: growing must fail first
            printer_header h = SeqBeginPage(&s, &cancel, huge);
            bool ok = SeqPlacePage(&s, &h, small, huge);
            _exit(ok ? 1 : (s.buff1.capacity == kPageBufferSize && s.buff1.size == -1 ? 0 : 2));
        },
        testing::ExitedWithCode(0), "");
#endif
}

} // namespace
