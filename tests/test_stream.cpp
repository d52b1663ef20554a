// The printer stream as a unit: the records' byte layout, and the sequencer
// from page hand-overs to records and log lines.
#include <gtest/gtest.h>

#include <cstdlib>

#include "params/params.h"
#include "stream/stream.h"
#include "tests/testutil.h"

namespace {

TEST(Records, LittleEndianLayout)
{
    printer_header h;
    h.firstpage = 1;
    h.datasize = 0x04030201;
    h.pageseq = 0x0A0B0C0D;
    const auto page = PageRecordHeader(h, 0x11223344);
    EXPECT_EQ(std::string((const char*)page.data(), 32),
              std::string("tamrel_printer\0\0\x01\0\0\0\x44\x33\x22\x11\x01\x02\x03\x04\x0D\x0C\x0B\x0A", 32));
    const auto job = JobRecordHeader(0x00010203);
    EXPECT_EQ(std::string((const char*)job.data(), 20), std::string("tamrel_param\0\0\0\0\x03\x02\x01\0", 20));
}

// Page data that tells the raster page (or the blank side) it came from.
std::string PageBytes(int page, size_t size)
{
    std::string s(size, '\0');
    for (size_t i = 0; i < size; i++)
        s[i] = (char)((i * 7 + page * 53 + (i >> 9)) & 0xFF);
    return s;
}

struct Plan {
    int collate, duplex, copies, pages;
    int cancelBefore = 0;  // the pass of this raster page sees the cancellation
    int cancelAfter = 0;   // it arrives after this page's hand-over
    size_t size = 300;     // bytes of each raster page
};

struct Job {
    bool ok = true;
    std::vector<Row> rows;
    std::string log;
};

// Hands the plan's pages to a sequencer as the filter's page loop does.
Job RunJob(const Plan& plan)
{
    Job job;
    std::string stream;
    bool cancel = false;
    char* logBuf = nullptr;
    size_t logLen = 0;
    FILE* log = open_memstream(&logBuf, &logLen);
    {
        Sequencer seq({[&](const unsigned char* d, size_t n) { return stream.append((const char*)d, n), true; },
                       [&] { return cancel; }},
                      log);
        seq.SetMode(plan.collate, plan.duplex, plan.copies);
        PARAM_KEY_SPERATOR_VALUE table[kParamRows];
        memcpy(table, tblDefParam, sizeof table);
        char params[kJobParamsTextSize], *text = params;
        BuildJobParams(&text, table);
        seq.WriteJobRecord(params, params);
        for (int page = 1; job.ok && !seq.Finished() && !cancel; page++) {
            cancel = page == plan.cancelBefore;
            const std::string data = PageBytes(page, plan.size + page);
            job.ok = seq.AddPage((const unsigned char*)data.data(), data.size(), page == plan.pages);
            cancel = cancel || page == plan.cancelAfter;
            if (job.ok && seq.BlankBackDue()) {
                fputs("(blank back side made)\n", log);
                const std::string blank = PageBytes(0, 61);
                job.ok = seq.AddBlankBack((const unsigned char*)blank.data(), blank.size());
            }
        }
    }
    fclose(log);
    job.log.assign(logBuf, logLen);
    free(logBuf);
    const ReadJob read = ReadStream(stream, [&](const uint8_t* d, size_t n) {
        for (int p = 0; p <= plan.pages; p++)
            if (std::string((const char*)d, n) == PageBytes(p, p ? plan.size + p : 61))
                return p ? "P" + std::to_string(p) : std::string("B");
        return std::string("?");
    });
    EXPECT_EQ(read.error, "");
    job.rows = read.rows;
    return job;
}

TEST(Sequencer, PageOrderAndLastpageOverModesPagesAndCopies)
{
    for (int collate : {0, 1})
        for (int duplex : {0, 1, 2})
            for (int pages : {1, 2, 3, 4, 5})
                for (int copies : {-2, 0, 1, 3}) {
                    SCOPED_TRACE(::testing::Message() << "collate " << collate << " duplex " << duplex << " pages "
                                                      << pages << " copies " << copies);
                    const Job r = RunJob({collate, duplex, copies, pages});
                    EXPECT_EQ(r.rows, ExpectedOrder(collate, duplex, pages, copies));
                    EXPECT_EQ(Count(r.log, "force lastpage to 1\n"), !collate && copies >= 1 ? 1u : 0u);
                    EXPECT_EQ(Count(r.log, "force lastpage to 0\n"), !collate && copies >= 2 ? copies - 1u : 0u);
                    EXPECT_EQ(Count(r.log, "force extra lastpage 1 to 0"),
                              collate && duplex && pages % 2 && copies >= 2 ? 1u : 0u);
                    EXPECT_EQ(Count(r.log, ", pass\n"), !collate && duplex ? pages / 2u : 0u);
                }
}

TEST(Sequencer, OnePageTwoSidedLogsEveryStepInOrder)
{
    const std::string log = RunJob({0, 1, 1, 1}).log;
    EXPECT_EQ(log.substr(log.find("DEBUG: m_page")),
              "DEBUG: m_page 1 buff load collate 0 duplex 1 lastpage is 0\n"
              "DEBUG: m_page 1 buff1 load \n"
              "DEBUG: print m_page 1 write jbg done\n"
              "(blank back side made)\n"
              "DEBUG: extra page 2 lastpage to 1\n"
              "DEBUG: extra_page m_page 2 buff2 load lastpage is 1\n"
              "DEBUG: print extra m_page 2 write jbg done\n"
              "DEBUG: -----------------------------print m_page 2 collate 0 duplex 1 copies 1\n"
              "DEBUG: write page1 1 header done, m_page 1 lastpage is 0\n"
              "DEBUG: write page1 data done\n"
              "DEBUG: page2 lastpage is 1,copies 1,pageno is 2\n"
              "DEBUG: force lastpage to 1\n"
              "DEBUG: current lastpage is 1,pageno is 2\n"
              "DEBUG: write page2 2 header done, m_page 2 lastpage is 1\n"
              "DEBUG: write page2 data done\n"
              "DEBUG: #####################write 2pages duplex done\n");
}

TEST(Sequencer, Cancellation)
{
    struct Case {
        const char* what;
        Plan plan;
        std::vector<Row> rows;
        bool seenInPass;
    } cases[] = {
        {"one-sided: page 2 becomes the last",
         {0, 0, 2, 4, 2, 0},
         {{"P1", 1, 0, 1}, {"P1", 1, 0, 2}, {"P2", 0, 0, 3}, {"P2", 0, 1, 4}},
         true},
        {"two-sided odd page: blank back side",
         {0, 1, 1, 5, 3, 0},
         {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}, {"P3", 0, 0, 3}, {"B", 0, 1, 4}},
         true},
        {"collated two-sided, first page", {1, 2, 1, 3, 1, 0}, {{"P1", 1, 0, 1}, {"B", 0, 1, 2}}, true},
        {"two-sided even page ends the pair",
         {0, 1, 2, 5, 2, 0},
         {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}, {"P1", 1, 0, 3}, {"P2", 0, 1, 4}},
         true},
        {"after the hand-over, one-sided", {0, 0, 1, 4, 0, 2}, {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}}, false},
        // The front page held for its back side is never written.
        {"after the hand-over, held front", {0, 1, 1, 5, 0, 3}, {{"P1", 1, 0, 1}, {"P2", 0, 0, 2}}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const Job r = RunJob(c.plan);
        EXPECT_EQ(r.rows, c.rows);
        const std::string line = "DEBUG: cancel job, page " + std::to_string(c.plan.cancelBefore) +
                                 " handleImg done,pring m_page=" + std::to_string(c.plan.cancelBefore) +
                                 " is last page,\n";
        EXPECT_EQ(Count(r.log, "cancel job"), c.seenInPass ? 1u : 0u);
        EXPECT_EQ(Count(r.log, line), c.seenInPass ? 1u : 0u);
    }
}

TEST(Sequencer, PagesLargerThanABufferArePrintedWhole)
{
    Plan plan{0, 1, 2, 3};
    plan.size = kPageBufferSize + 12345;
    const Job r = RunJob(plan);
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.rows, ExpectedOrder(0, 1, 3, 2));
}

TEST(Sequencer, AFailedWriteIsReported)
{
    Sequencer seq({[](const unsigned char*, size_t) { return false; }, [] { return false; }});
    seq.SetMode(0, 0, 1);
    EXPECT_FALSE(seq.WriteFailed());
    const unsigned char data[4] = {1, 2, 3, 4};
    ASSERT_TRUE(seq.AddPage(data, sizeof data, true));
    EXPECT_TRUE(seq.WriteFailed());
}

}  // namespace
