// Memcheck on the filter binary for one job of each sequencing mode: no
// errors and no definite leaks.
#include <gtest/gtest.h>

#include <cstdlib>
#include <unistd.h>

#include "tests/testutil.h"

namespace {

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif

class Memcheck : public ::testing::TestWithParam<const char*> {};

TEST_P(Memcheck, CleanJob)
{
    if (kSanitized)
        GTEST_SKIP() << "memcheck cannot run a sanitizer build";
    if (access("/usr/bin/valgrind", X_OK) != 0)
        GTEST_SKIP() << "valgrind not installed";
    ASSERT_EQ(0, system("rm -rf /tmp/velmarsh"));
    std::vector<TestPage> pages;
    for (int i = 0; i < 3; i++)
        pages.push_back(PatternPage(203, 120, 7 + i));
    ASSERT_TRUE(WriteRasterFile("/tmp/vg.ras", pages));
    FilterOptions o;
    o.args = FilterArgs(GetParam(), "2");
    o.input = "/tmp/vg.ras";
    o.env = {{"PPD", ProductPpd()}};
    o.wrapper = {"/usr/bin/valgrind", "--quiet", "--error-exitcode=99", "--leak-check=full",
                 "--errors-for-leak-kinds=definite", "--trace-children=no",
                 "--suppressions=" FZ_SOURCE_DIR "/tests/valgrind.supp"};
    FilterRun r = RunFilter(o, 300);
    EXPECT_EQ(0, r.status) << r.err.substr(r.err.size() > 6000 ? r.err.size() - 6000 : 0);
    ParsedJob job;
    std::string error;
    EXPECT_TRUE(SplitStream(r.out, &job, &error)) << error;
    EXPECT_FALSE(job.pages.empty());
}

std::string ModeName(const ::testing::TestParamInfo<const char*>& info)
{
    static const char* const names[] = {"UncollatedOneSided", "UncollatedTwoSided", "CollatedTwoSided", "A5Turned"};
    return names[info.index];
}

INSTANTIATE_TEST_SUITE_P(Modes, Memcheck,
                         ::testing::Values("", "sides=two-sided-long-edge", "Collate sides=two-sided-long-edge",
                                           "PageSize=A5 FeedEdge=1"),
                         ModeName);

} // namespace
