// Overlapping jobs: three filters with different job ids start staggered
// over the same work directory, again and again. Every page of every job
// must arrive intact.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <unistd.h>

#include "tests/testutil.h"

namespace {

TEST(OverlappingJobs, EveryPageOfEveryJobArrivesIntact)
{
    const int kTrials = 20, kJobs = 3, kPages = 10;
    std::vector<std::vector<TestPage>> pages(kJobs);
    for (int j = 0; j < kJobs; j++) {
        for (int p = 0; p < kPages; p++)
            pages[j].push_back(PatternPage(320 + 8 * j, 160, (uint32_t)(1000 * j + p)));
        ASSERT_TRUE(WriteRasterFile("/tmp/stress" + std::to_string(j) + ".ras", pages[j]));
    }
    std::mt19937 rng(7);
    int jobsChecked = 0;
    for (int trial = 0; trial < kTrials; trial++) {
        // Sometimes a job of an earlier trial left files; sometimes not.
        if (trial % 4 == 0) {
            ASSERT_EQ(0, system("rm -rf /tmp/velmarsh"));
        }
        std::vector<StartedFilter> running;
        for (int j = 0; j < kJobs; j++) {
            FilterOptions o;
            o.args = FilterArgs("", "1", std::to_string(100 * trial + j + 1));
            o.input = "/tmp/stress" + std::to_string(j) + ".ras";
            o.env = {{"PPD", ProductPpd()}};
            running.push_back(StartFilter(o));
            usleep(std::uniform_int_distribution<int>(0, 40000)(rng));
        }
        for (int j = 0; j < kJobs; j++) {
            FilterRun r = WaitFilter(running[j]);
            SCOPED_TRACE("trial " + std::to_string(trial) + " job " + std::to_string(j));
            ASSERT_EQ(0, r.status) << r.err.substr(0, 3000);
            ParsedJob job;
            std::string error;
            ASSERT_TRUE(SplitStream(r.out, &job, &error)) << error;
            ASSERT_EQ((size_t)kPages, job.pages.size());
            for (int p = 0; p < kPages; p++) {
                Bitmap got;
                ASSERT_TRUE(DecodeJbig(job.pages[p].data, &got)) << "page " << p + 1;
                ASSERT_EQ(PageBitmap(pages[j][p]).bits, got.bits) << "page " << p + 1;
            }
            jobsChecked++;
        }
    }
    EXPECT_EQ(kTrials * kJobs, jobsChecked);
}

} // namespace
