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
    int cancelAt = 0;      // the sequencer learns of a cancellation when handed this page
    int stopAfter = 0;     // the page loop stops after this page, the sequencer unaware (a later SIGTERM)
    int failingWrite = 0;  // this write (from 1; the job record takes two, then two a record) fails
};
constexpr size_t kPageSize = 300;  // bytes of each raster page, plus its number

struct Job {
    bool ok = true;
    std::vector<Row> rows;
    std::string log;
    std::vector<std::pair<int, int>> sent;  // the pages reported as sent, with their copies
    int early = 0;                          // reports that came before their record was written
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
        int writes = 0, page = 1;
        auto write = [&](const unsigned char* d, size_t n) {
            return stream.append((const char*)d, n), ++writes != plan.failingWrite;
        };
        auto sent = [&](int p, int copies) {
            const std::string data = PageBytes(p, kPageSize + p);
            job.early += stream.size() < data.size() || stream.compare(stream.size() - data.size(), data.size(), data);
            job.sent.push_back({p, copies});
        };
        Sequencer seq({write, [&] { return plan.cancelAt && page >= plan.cancelAt; }, sent}, log);
        seq.SetMode(plan.collate, plan.duplex, plan.copies);
        PARAM_KEY_SPERATOR_VALUE table[kParamRows];
        memcpy(table, tblDefParam, sizeof table);
        char params[kJobParamsTextSize], *text = params;
        BuildJobParams(&text, table);
        seq.WriteJobRecord(params, params);
        for (; job.ok && !seq.Finished() && (!plan.stopAfter || page <= plan.stopAfter); page++) {
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

// The pages reported as sent are what the printer prints: each record of a document page once it was written whole,
// an uncollated copy counting 1 and a collated page the job's copies (at least 1). Blank back sides, records whose
// writing failed and pages never sent count nothing. `printed`: the sum of the copies reported.
TEST(Sequencer, ReportsThePagesThePrinterPrints)
{
    std::vector<std::pair<Plan, int>> cases;
    for (int collate : {0, 1})
        for (int duplex : {0, 1})
            for (int pages : {1, 2, 3})
                for (int copies : {-1, 0, 1, 2, 3})
                    cases.push_back({{collate, duplex, copies, pages}, pages * std::max(copies, 1)});
    cases.insert(cases.end(), {
                                  {{0, 0, 2, 3, 2}, 4},        // cancelled on page 2: pages 1 and 2, twice
                                  {{0, 1, 2, 3, 1}, 2},        // cancelled on page 1: it and a blank side, twice
                                  {{1, 1, 3, 3, 2}, 6},        // collated: pages 1 and 2, three times
                                  {{0, 1, 2, 3, 0, 1}, 0},     // stopped holding a front side: nothing sent
                                  {{0, 1, 2, 3, 0, 2}, 4},     // stopped after a pair: the pair twice
                                  {{0, 0, 1, 2, 0, 0, 5}, 1},  // page 2's header fails
                                  {{0, 1, 2, 1, 0, 0, 4}, 1},  // the first copy of page 1's data fails
                                  {{1, 1, 3, 1, 0, 0, 4}, 0},  // collated: page 1's data fails, its blank side not
                              });
    for (const auto& [plan, printed] : cases) {
        SCOPED_TRACE(::testing::Message() << "collate " << plan.collate << " duplex " << plan.duplex << " copies "
                                          << plan.copies << " pages " << plan.pages << " cancel " << plan.cancelAt
                                          << " stop " << plan.stopAfter << " failing " << plan.failingWrite);
        const Job r = RunJob(plan);
        std::vector<std::pair<int, int>> want;  // every record sent whole, in stream order, but blank sides
        const int failed = plan.failingWrite ? (plan.failingWrite - 3) / 2 : -1;
        for (int i = 0; i < int(r.rows.size()); i++)
            if (r.rows[i].page != "B" && i != failed)
                want.push_back({std::stoi(r.rows[i].page.substr(1)), plan.collate ? std::max(plan.copies, 1) : 1});
        EXPECT_EQ(r.sent, want);
        int sum = 0;
        for (const auto& s : r.sent)
            sum += s.second;
        EXPECT_EQ(sum, printed);
        EXPECT_EQ(r.early, 0);
    }
}

TEST(Sequencer, AFailedWriteIsReported)
{
    Sequencer seq({[](const unsigned char*, size_t) { return false; }, [] { return false; }, nullptr});
    seq.SetMode(0, 0, 1);
    EXPECT_FALSE(seq.WriteFailed());
    const unsigned char data[4] = {1, 2, 3, 4};
    ASSERT_TRUE(seq.AddPage(data, sizeof data, true));
    EXPECT_TRUE(seq.WriteFailed());
}

}  // namespace
