// Cancellation at every stage of a job. CUPS cancels by sending SIGTERM to
// the filter's process group; the filter ends with status 0 and a stream of
// complete records that follows the last-page rules.
#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/testutil.h"

namespace {

using Records = std::vector<std::array<int, 3>>;  // firstpage, lastpage, pageseq

// The raster is fed through a FIFO so the test decides where the filter waits.
class FilterCancel : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, system("rm -rf /tmp/velmarsh /tmp/c; mkdir -p /tmp/c"));
        for (int i = 0; i < 3; i++)
            pages_.push_back(PatternPage(400, 300, 50 + i));
        ASSERT_TRUE(WriteRasterFile("/tmp/c/job.ras", pages_));
        raster_ = ReadFile("/tmp/c/job.ras");
        ASSERT_EQ(0, mkfifo("/tmp/c/fifo", 0600));
        signal(SIGPIPE, SIG_IGN);
    }

    // Offsets in the raster file: sync word, then per page a header and its pixels.
    size_t PageStart(int page) const { return 4 + (size_t)(page - 1) * (1796 + 50 * 300) + 1796; }
    size_t HeaderStart(int page) const { return 4 + (size_t)(page - 1) * (1796 + 50 * 300); }

    void Start(const std::string& options, const std::string& copies, const std::string& path = "")
    {
        FilterOptions o;
        o.args = FilterArgs(options, copies);
        o.input = "/tmp/c/fifo";
        o.env = {{"PPD", ProductPpd()}};
        if (!path.empty())
            o.env.push_back({"PATH", path});
        o.newProcessGroup = true;
        filter_ = StartFilter(o);
        fifo_ = open("/tmp/c/fifo", O_WRONLY);
        ASSERT_GE(fifo_, 0);
    }

    void Feed(size_t from, size_t to)
    {
        ASSERT_EQ((ssize_t)(to - from), write(fifo_, raster_.data() + from, to - from));
    }

    // Waits until the filter has written `text` to its diagnostics.
    void WaitFor(const std::string& text)
    {
        for (int i = 0; i < 3000; i++) {
            if (ReadFile(filter_.errPath).find(text) != std::string::npos) {
                usleep(100000);  // let it reach the blocking call that follows
                return;
            }
            usleep(10000);
        }
        FAIL() << "filter never wrote: " << text << "\n" << ReadFile(filter_.errPath);
    }

    void Term() { kill(-filter_.pid, SIGTERM); }

    FilterRun Finish(size_t feedTo)
    {
        // The filter may stop reading early; what it leaves unread is fine.
        if (fifo_ >= 0 && feedTo > fedTo_) {
            ssize_t n = write(fifo_, raster_.data() + fedTo_, feedTo - fedTo_);
            (void)n;
        }
        if (fifo_ >= 0)
            close(fifo_);
        return WaitFilter(filter_);
    }

    Records RecordsOf(const FilterRun& r)
    {
        ParsedJob job;
        std::string error;
        EXPECT_TRUE(SplitStream(r.out, &job, &error)) << error;
        Records out;
        for (const StreamRecord& rec : job.pages) {
            Bitmap b;
            EXPECT_TRUE(DecodeJbig(rec.data, &b)) << "record " << rec.pageseq;
            out.push_back({(int)rec.firstpage, (int)rec.lastpage, (int)rec.pageseq});
        }
        return out;
    }

    std::vector<TestPage> pages_;
    std::string raster_;
    StartedFilter filter_;
    int fifo_ = -1;
    size_t fedTo_ = 0;
};

TEST_F(FilterCancel, DuringStartUp)
{
    // The filter waits for the first page header; start-up runs to its end,
    // the job record is written, and no page is read.
    Start("", "1");
    WaitFor("BuildJobParams:");
    Term();
    usleep(100000);
    FilterRun r = Finish(raster_.size());
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_TRUE(RecordsOf(r).empty());
    EXPECT_NE(std::string::npos, r.err.find("DEBUG: 捕获SIGTERM信号,终止中\n"));
    EXPECT_EQ(std::string::npos, r.err.find("INFO: Printing page 1"));
    EXPECT_EQ(0, r.out.compare(0, 12, "tamrel_param"));
}

TEST_F(FilterCancel, DuringCaptureOfTheFirstPage)
{
    Start("", "2");
    Feed(0, PageStart(1) + 1000);
    fedTo_ = PageStart(1) + 1000;
    WaitFor("INFO: Printing page 1");
    Term();
    FilterRun r = Finish(raster_.size());
    EXPECT_EQ(0, r.status) << r.err;
    // The page in progress becomes the last one: both copies, the second marked.
    EXPECT_EQ((Records{{1, 0, 1}, {1, 1, 2}}), RecordsOf(r));
    EXPECT_EQ(std::string::npos, r.err.find("INFO: Printing page 2"));
}

TEST_F(FilterCancel, WhileATwoSidedFrontPageIsHeld)
{
    // Page 1 is parked in the front buffer; the filter waits for page 2's
    // pixels. Cancelling then makes page 2 the last: the pair is written.
    Start("sides=two-sided-long-edge", "1");
    Feed(0, PageStart(2) + 100);
    fedTo_ = PageStart(2) + 100;
    WaitFor("INFO: Printing page 2");
    Term();
    FilterRun r = Finish(raster_.size());
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ((Records{{1, 0, 1}, {0, 1, 2}}), RecordsOf(r));
    EXPECT_EQ(std::string::npos, r.err.find("INFO: Printing page 3"));
}

TEST_F(FilterCancel, WhileLookingAheadAfterAnOddTwoSidedPage)
{
    // The filter has page 1 and waits for the next header: page 1 becomes the
    // last page and gets its blank back side, which carries the end of job.
    Start("sides=two-sided-long-edge", "1");
    Feed(0, HeaderStart(2));
    fedTo_ = HeaderStart(2);
    WaitFor("DEBUG: Page 1 read");
    Term();
    FilterRun r = Finish(raster_.size());
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ((Records{{1, 0, 1}, {0, 1, 2}}), RecordsOf(r));
    EXPECT_NE(std::string::npos, r.err.find("DEBUG: extra page 2 lastpage to 1\n"));
}

TEST_F(FilterCancel, DuringTheBlankBackSide)
{
    // Only the blank page (number 4 of a three-page job) encodes slowly.
    std::string path = FakeEncoderPath("/tmp/c/enc", "case \"${15}\" in *_4_gs.pbm) sleep 1;; esac\n"
                                                     "exec /usr/bin/pbmtojbg \"$@\"");
    Start("sides=two-sided-long-edge", "2", path);
    Feed(0, raster_.size());
    fedTo_ = raster_.size();
    close(fifo_);  // end of input: page 3 is known to be the last
    fifo_ = -1;
    WaitFor("DEBUG: extra file");
    Term();
    FilterRun r = Finish(raster_.size());
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ((Records{{1, 0, 1}, {0, 0, 2}, {1, 0, 3}, {0, 0, 4}, {0, 0, 5}, {0, 0, 6}, {0, 0, 7}, {0, 1, 8}}),
              RecordsOf(r));
    EXPECT_NE(std::string::npos, r.err.find("DEBUG: 捕获SIGTERM信号,终止中\n"));
}

TEST_F(FilterCancel, TwiceInARow)
{
    Start("", "1");
    Feed(0, PageStart(1) + 10);
    fedTo_ = PageStart(1) + 10;
    WaitFor("INFO: Printing page 1");
    Term();
    usleep(50000);
    Term();
    FilterRun r = Finish(raster_.size());
    EXPECT_EQ(0, r.status) << r.err;
    EXPECT_EQ((Records{{1, 1, 1}}), RecordsOf(r));
    EXPECT_EQ(2u, LinesStartingWith(r.err, "DEBUG: 捕获SIGTERM信号").size());
}

} // namespace
