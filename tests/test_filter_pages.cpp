// The filter binary from raster pages to the printer stream, with the real
// encoder: every mode's records decode back to the pages that went in.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <csignal>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/testutil.h"

namespace {

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

class FilterPages : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(0, system("rm -rf /tmp/velmarsh /tmp/auth /tmp/*.ras /tmp/enc*")); }

    // Pages of mixed sizes: widths that are and are not multiples of 8.
    std::vector<TestPage> Pages(int n)
    {
        std::vector<TestPage> pages;
        for (int i = 0; i < n; i++)
            pages.push_back(PatternPage(i % 2 ? 203 : 256, 150 + 7 * i, 100 + i));
        return pages;
    }

    FilterRun Print(const std::vector<TestPage>& pages, const std::string& options, const std::string& copies,
                    std::vector<std::pair<std::string, std::string>> env = {})
    {
        EXPECT_TRUE(WriteRasterFile("/tmp/job.ras", pages));
        FilterOptions o;
        o.args = FilterArgs(options, copies);
        o.input = "/tmp/job.ras";
        o.env = {{"PPD", ProductPpd()}};
        o.env.insert(o.env.end(), env.begin(), env.end());
        return RunFilter(o);
    }

    // The records as (page number or 0 for blank, firstpage, lastpage), after
    // checking pageseq and that each record's data decodes to its page.
    std::vector<std::array<int, 3>> Decode(const FilterRun& r, const std::vector<TestPage>& pages, bool turned)
    {
        std::vector<std::array<int, 3>> seen;
        ParsedJob job;
        std::string error;
        EXPECT_TRUE(SplitStream(r.out, &job, &error)) << error;
        for (size_t i = 0; i < job.pages.size(); i++) {
            const StreamRecord& rec = job.pages[i];
            EXPECT_EQ(i + 1, rec.pageseq);
            EXPECT_EQ(rec.data.size(), rec.datasize);
            Bitmap got;
            EXPECT_TRUE(DecodeJbig(rec.data, &got)) << "record " << i + 1;
            int which = 0;
            for (size_t p = 0; p < pages.size() && which == 0; p++) {
                Bitmap want = PageBitmap(pages[p]);
                if (turned)
                    want = TurnMinus90(want);
                if (want.width == got.width && want.height == got.height && want.bits == got.bits)
                    which = (int)p + 1;
            }
            if (which == 0) {
                // Anything else must be the blank back side: white, of the
                // first page's padded width and height (turned under A5L).
                int w = 8 * ((pages[0].width + 7) / 8), h = pages[0].height;
                EXPECT_EQ(turned ? h : w, got.width) << "record " << i + 1;
                EXPECT_EQ(turned ? w : h, got.height) << "record " << i + 1;
                bool white = std::all_of(got.bits.begin(), got.bits.end(), [](uint8_t b) { return b == 0; });
                EXPECT_TRUE(white) << "record " << i + 1 << " is neither a page nor blank";
            }
            seen.push_back({which, (int)rec.firstpage, (int)rec.lastpage});
        }
        return seen;
    }
};

using Records = std::vector<std::array<int, 3>>;

TEST_F(FilterPages, UncollatedOneSidedRepeatsEachPage)
{
    auto pages = Pages(2);
    FilterRun r = Print(pages, "", "2");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ((Records{{1, 1, 0}, {1, 1, 0}, {2, 0, 0}, {2, 0, 1}}), Decode(r, pages, false));
    // The work files stay for inspection after the job.
    for (const char* f : {"/tmp/velmarsh/42_1_gs.pbm", "/tmp/velmarsh/42_2_gs.pbm", "/tmp/velmarsh/42-1.jbg",
                          "/tmp/velmarsh/42-2.jbg"})
        EXPECT_TRUE(Exists(f)) << f;
}

TEST_F(FilterPages, UncollatedTwoSidedPairsWithBlankBack)
{
    auto pages = Pages(3);
    FilterRun r = Print(pages, "sides=two-sided-long-edge", "2");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ((Records{{1, 1, 0}, {2, 0, 0}, {1, 1, 0}, {2, 0, 0}, {3, 0, 0}, {0, 0, 0}, {3, 0, 0}, {0, 0, 1}}),
              Decode(r, pages, false));
    EXPECT_TRUE(Exists("/tmp/velmarsh/42_4_gs.pbm"));
    EXPECT_TRUE(Exists("/tmp/velmarsh/42-4.jbg"));
}

TEST_F(FilterPages, CollatedTwoSidedWritesEachPageOnce)
{
    auto pages = Pages(3);
    FilterRun r = Print(pages, "Collate sides=two-sided-short-edge", "2");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ((Records{{1, 1, 0}, {2, 0, 0}, {3, 0, 0}, {0, 0, 0}}), Decode(r, pages, false));
    FilterRun one = Print(pages, "collate sides=two-sided-short-edge", "1");
    ASSERT_EQ(0, one.status) << one.err;
    EXPECT_EQ((Records{{1, 1, 0}, {2, 0, 0}, {3, 0, 0}, {0, 0, 1}}), Decode(one, pages, false));
}

TEST_F(FilterPages, CollatedOneSidedIgnoresCopiesForRecords)
{
    auto pages = Pages(3);
    FilterRun r = Print(pages, "multiple-document-handling=separate-documents-collated-copies", "3");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ((Records{{1, 1, 0}, {2, 0, 0}, {3, 0, 1}}), Decode(r, pages, false));
    EXPECT_NE(std::string::npos, r.out.find("copies=3, "));
}

TEST_F(FilterPages, A5WithFeedEdgeTurnsEveryPageAndRefusesDuplex)
{
    auto pages = Pages(3);
    FilterRun r = Print(pages, "PageSize=A5 FeedEdge=1 sides=two-sided-long-edge", "1");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ((Records{{1, 1, 0}, {2, 0, 0}, {3, 0, 1}}), Decode(r, pages, true));
    EXPECT_NE(std::string::npos, r.err.find("DEBUG: A5L need rotate.[-90]DEBUG: pbmtojbg. width:["));
    EXPECT_TRUE(Exists("/tmp/velmarsh/42_2_gs_rotated.pbm"));
}

TEST_F(FilterPages, OnePageTwoSidedGetsABlankBack)
{
    // Plain A5 (no feed edge) may print two-sided: the one page gets a blank back.
    auto pages = Pages(1);
    FilterRun r = Print(pages, "PageSize=A5 sides=two-sided-long-edge", "1");
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ((Records{{1, 1, 0}, {0, 0, 1}}), Decode(r, pages, false));
}

TEST_F(FilterPages, ShortLastPageComesOutWhite)
{
    auto pages = Pages(2);
    ASSERT_TRUE(WriteRasterFile("/tmp/cut.ras", pages, 10 * 26));
    FilterOptions o;
    o.args = FilterArgs("", "1");
    o.input = "/tmp/cut.ras";
    o.env = {{"PPD", ProductPpd()}};
    FilterRun r = RunFilter(o);
    ASSERT_EQ(0, r.status) << r.err;
    ParsedJob job;
    std::string error;
    ASSERT_TRUE(SplitStream(r.out, &job, &error)) << error;
    ASSERT_EQ(2u, job.pages.size());
    Bitmap got;
    ASSERT_TRUE(DecodeJbig(job.pages[1].data, &got));
    Bitmap want = PageBitmap(pages[1]);
    size_t stride = (want.width + 7) / 8, keep = want.bits.size() - 10 * stride;
    std::fill(want.bits.begin() + keep, want.bits.end(), 0);
    EXPECT_EQ(want.bits, got.bits);
    EXPECT_EQ(1u, job.pages[1].lastpage);
}

TEST_F(FilterPages, EncoderRunsOncePerSideWhateverTheCopies)
{
    std::string path = FakeEncoderPath("/tmp/enccount", "echo run >> /tmp/enccount/log\nexec /usr/bin/pbmtojbg \"$@\"");
    auto pages = Pages(3);
    FilterRun r = Print(pages, "sides=two-sided-long-edge", "3", {{"PATH", path}});
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(3u * 4u, Decode(r, pages, false).size());
    EXPECT_EQ(std::string(4, 'x').size() * 4, ReadFile("/tmp/enccount/log").size());  // 4 sides, "run\n" each
}

TEST_F(FilterPages, CancelWhileEncodingSecondOfThreePages)
{
    // CUPS cancels by sending SIGTERM to the whole process group, encoder
    // included. The page being encoded completes and ends the job.
    std::string path = FakeEncoderPath("/tmp/encslow", "sleep 1\nexec /usr/bin/pbmtojbg \"$@\"");
    for (const std::string& options : {std::string(""), std::string("sides=two-sided-long-edge")}) {
        ASSERT_EQ(0, system("rm -rf /tmp/velmarsh"));
        auto pages = Pages(3);
        ASSERT_TRUE(WriteRasterFile("/tmp/job.ras", pages));
        FilterOptions o;
        o.args = FilterArgs(options, "1");
        o.input = "/tmp/job.ras";
        o.env = {{"PPD", ProductPpd()}, {"PATH", path}};
        o.newProcessGroup = true;
        StartedFilter s = StartFilter(o);
        // Each page takes a second to encode; strike while page 2 is encoded.
        for (int i = 0; i < 3000 && ReadFile(s.errPath).find("DEBUG: pbmtojbg. width:[203]") == std::string::npos; i++)
            usleep(10000);
        usleep(200000);
        kill(-s.pid, SIGTERM);
        FilterRun r = WaitFilter(s);
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_EQ(std::string::npos, r.err.find("INFO: Printing page 3")) << "page 3 must never be read";
        EXPECT_NE(std::string::npos, r.err.find("DEBUG: cancel job, page 2 handleImg done,pring m_page=2 is last page,\n"));
        // One-sided, or the pair of pages 1 and 2: either way page 2 ends the job.
        EXPECT_EQ((Records{{1, 1, 0}, {2, 0, 1}}), Decode(r, pages, false));
    }
}

TEST_F(FilterPages, ProjectEncoderGivesTheSameStream)
{
    std::string encoder = std::string(FZ_BINARY_DIR) + "/encoder/pbmtojbg";
    if (!Exists(encoder))
        GTEST_SKIP() << "project encoder not built (FZ_USE_SYSTEM_JBIG_ENCODER)";
    auto pages = Pages(3);
    FilterRun system = Print(pages, "sides=two-sided-long-edge", "2", {{"PATH", "/usr/bin:/bin"}});
    FilterRun own = Print(pages, "sides=two-sided-long-edge", "2",
                          {{"PATH", std::string(FZ_BINARY_DIR) + "/encoder:/usr/bin:/bin"}});
    ASSERT_EQ(0, system.status) << system.err;
    ASSERT_EQ(0, own.status) << own.err;
    EXPECT_TRUE(system.out == own.out);
}

} // namespace
