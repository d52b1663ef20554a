// The printer stream as a unit: the records' byte layout, and the sequencer
// from page hand-overs to records and log lines.
#include <gtest/gtest.h>

#include <cstdlib>

#include "params/params.h"
#include "stream/stream.h"
#include "tests/testutil.h"

namespace {

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
};
constexpr size_t kPageSize = 300;  // bytes of each raster page, plus its number

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
    char* logBuf = nullptr;
    size_t logLen = 0;
    FILE* log = open_memstream(&logBuf, &logLen);
    {
        Sequencer seq({[&](const unsigned char* d, size_t n) { return stream.append((const char*)d, n), true; },
                       [] { return false; }},
                      log);
        seq.SetMode(plan.collate, plan.duplex, plan.copies);
        PARAM_KEY_SPERATOR_VALUE table[kParamRows];
        memcpy(table, tblDefParam, sizeof table);
        char params[kJobParamsTextSize], *text = params;
        BuildJobParams(&text, table);
        seq.WriteJobRecord(params, params);
        for (int page = 1; job.ok && !seq.Finished(); page++) {
            const std::string data = PageBytes(page, kPageSize + page);
            job.ok = seq.AddPage((const unsigned char*)data.data(), data.size(), page == plan.pages);
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
            if (std::string((const char*)d, n) == PageBytes(p, p ? kPageSize + p : 61))
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
