// The filter binary from start-up to the job record: arguments, PPD, empty
// input, the job record's bytes, the work directory and what reaches the logs.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/testutil.h"

namespace {

const char* kWork = "/tmp/velmarsh";

class FilterStartup : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(0, system("rm -rf /tmp/velmarsh /tmp/auth /tmp/in.ras /tmp/victim"));
        ASSERT_TRUE(WriteRasterFile("/tmp/in.ras", {PatternPage(64, 40, 1)}));
    }
    FilterOptions Job(const std::string& options = "", const std::string& copies = "1")
    {
        FilterOptions o;
        o.args = FilterArgs(options, copies);
        o.input = "/tmp/in.ras";
        o.env = {{"PPD", ProductPpd()}};
        return o;
    }
};

bool Exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

std::string HostName()
{
    char host[65] = {0};
    gethostname(host, 64);
    return host;
}

TEST_F(FilterStartup, WrongArgumentCountPrintsUsageAndTouchesNothing)
{
    for (int count : {4, 7}) {
        FilterOptions o = Job();
        o.args.resize(count, "x");
        FilterRun r = RunFilter(o);
        EXPECT_EQ(1, r.status) << count;
        EXPECT_TRUE(r.out.empty());
        auto argLines = LinesStartingWith(r.err, "DEBUG: fiskor_zembrulan argv[");
        EXPECT_EQ((size_t)count + 1, argLines.size());
        EXPECT_NE(std::string::npos, r.err.find("Usage: fiskor_zembrulan job user title copies options [file]\n"));
        EXPECT_LT(r.err.rfind("DEBUG: fiskor_zembrulan argv["), r.err.find("Usage:"));
        EXPECT_FALSE(Exists(kWork));
    }
}

TEST_F(FilterStartup, SeventhArgumentIsIgnoredAndStdinIsRead)
{
    FilterOptions o = Job();
    o.args.push_back("/nonexistent/file.ras");
    FilterRun r = RunFilter(o);
    EXPECT_EQ(0, r.status) << r.err;
    ParsedJob job;
    std::string error;
    ASSERT_TRUE(SplitStream(r.out, &job, &error)) << error;
    EXPECT_EQ(1u, job.pages.size());
}

TEST_F(FilterStartup, MissingPpdEndsWithStatusOneBeforeAnyOutput)
{
    ASSERT_EQ(0, mkdir(kWork, 0700));
    ASSERT_TRUE(WriteFile("/tmp/velmarsh/keep", "x"));
    for (const std::string& ppd : {std::string("\x01unset"), std::string("/nonexistent.ppd")}) {
        FilterOptions o = Job();
        o.env = {{"PPD", ppd}};
        FilterRun r = RunFilter(o);
        EXPECT_EQ(1, r.status);
        EXPECT_TRUE(r.out.empty());
        EXPECT_NE(std::string::npos, r.err.find("ERROR: Unable to open PPD file!\n"));
        EXPECT_TRUE(Exists("/tmp/velmarsh/keep")) << "work directory must be untouched";
    }
}

TEST_F(FilterStartup, EmptyInputResetsWorkDirAndWritesNothing)
{
    // Leftovers of every kind go, but nothing is followed out of the directory.
    ASSERT_EQ(0, system("mkdir -m 0700 /tmp/velmarsh && echo old > /tmp/velmarsh/7_1_gs.pbm && "
                        "mkdir -p /tmp/velmarsh/sub/deep && touch /tmp/velmarsh/sub/deep/f && "
                        "mkdir /tmp/victim && touch /tmp/victim/precious && ln -s /tmp/victim /tmp/velmarsh/link"));
    FilterOptions o = Job();
    o.input = "";
    FilterRun r = RunFilter(o);
    EXPECT_EQ(0, r.status);
    EXPECT_TRUE(r.out.empty());
    EXPECT_NE(std::string::npos, r.err.find("DEBUG: First page header is null \n"));
    EXPECT_TRUE(Exists(kWork));
    for (const char* gone : {"/tmp/velmarsh/7_1_gs.pbm", "/tmp/velmarsh/sub", "/tmp/velmarsh/link"})
        EXPECT_FALSE(Exists(gone)) << gone;
    EXPECT_TRUE(Exists("/tmp/victim/precious"));
}

TEST_F(FilterStartup, JobRecordCarriesTheParameterTextByteForByte)
{
    FilterRun r = RunFilter(Job());
    ASSERT_EQ(0, r.status) << r.err;
    const std::string text =
        "PageSize=A4, Resolution=600dpi, resX=600dpi, resY=600dpi, FeedEdge=0, Collate=False, Duplex=None, "
        "MediaType=Plain, InputSlot=MainTray, number-up=1, job-uuid=, job-originating-host-name=, "
        "date-time-at-creation=, date-time-at-processing=, time-at-creation=, time-at-processing=, copies=1, "
        "jobId=42, DocName=report.pdf, HostName=" + HostName() +
        ", LoginName=alice, AuthID=, AuthPassword=, Border=1, ";
    std::string expected("tamrel_param\0\0\0\0", 16);
    uint32_t n = (uint32_t)text.size();
    expected += std::string{(char)(n & 0xFF), (char)(n >> 8 & 0xFF), (char)(n >> 16 & 0xFF), (char)(n >> 24)};
    expected += text;
    ASSERT_GE(r.out.size(), expected.size());
    EXPECT_EQ(expected, r.out.substr(0, expected.size()));
    EXPECT_NE(std::string::npos, r.err.find("DEBUG: job_params=" + text + " \n"));
    EXPECT_NE(std::string::npos, r.err.find("DEBUG: job_params_size=" + std::to_string(n) + " \n"));
}

TEST_F(FilterStartup, OptionsAndArgumentsReachTheParameterText)
{
    FilterOptions o = Job("PageSize=A5 number-up=2 sides=two-sided-long-edge job-uuid=urn:uuid:1", "3");
    o.args[0] = "abc";
    o.args[2] = "/home/alice/annual report.pdf extra words";
    FilterRun r = RunFilter(o);
    ASSERT_EQ(0, r.status) << r.err;
    ParsedJob job;
    std::string error;
    ASSERT_TRUE(SplitStream(r.out, &job, &error)) << error;
    EXPECT_NE(std::string::npos, job.params.find("PageSize=A5, "));
    EXPECT_NE(std::string::npos, job.params.find("number-up=2, "));
    EXPECT_NE(std::string::npos, job.params.find("Duplex=DuplexNoTumble, "));
    EXPECT_NE(std::string::npos, job.params.find("copies=3, "));
    EXPECT_NE(std::string::npos, job.params.find("jobId=abc, "));
    EXPECT_NE(std::string::npos, job.params.find("DocName=annual report.pdf, "));
    EXPECT_NE(std::string::npos, job.params.find("job-uuid=urn:uuid:1, "));
    // A job id that is not a number names the work files with 0.
    EXPECT_TRUE(Exists("/tmp/velmarsh/0_1_gs.pbm"));
    EXPECT_TRUE(Exists("/tmp/velmarsh/0-1.jbg"));
}

TEST_F(FilterStartup, PasswordNeverReachesTheLogButReachesThePrinter)
{
    ASSERT_EQ(0, mkdir("/tmp/auth", 0755));
    ASSERT_TRUE(WriteFile("/tmp/auth/auth_config", R"({"AuthID":"bob","Password":"Pw-9f3kq!"})"));
    FilterRun r = RunFilter(Job());
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("Pw-9f3kq!"));
    EXPECT_NE(std::string::npos, r.err.find("****"));
    EXPECT_NE(std::string::npos, r.out.find("AuthID=bob, AuthPassword=Pw-9f3kq!, "));
}

TEST_F(FilterStartup, PasswordGivenAsOptionStaysOutOfTheLogToo)
{
    FilterRun r = RunFilter(Job("media=A4 AuthPassword=Opt-Secret7 Collate"));
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(std::string::npos, r.err.find("Opt-Secret7"));
    EXPECT_NE(std::string::npos, r.err.find("argv[5]=media=A4 AuthPassword=**** Collate \n"));
    EXPECT_NE(std::string::npos, r.out.find("AuthPassword=Opt-Secret7, "));
}

TEST_F(FilterStartup, OutsideTextCannotInjectSchedulerLines)
{
    FilterOptions o = Job("media=A4\nPPD: *Foo\rATTR: x");
    o.args[2] = "title\nSTATE: +media-empty\n";
    FilterRun r = RunFilter(o);
    EXPECT_EQ(0, r.status) << r.err;
    for (const char* prefix : {"PPD:", "ATTR:", "STATE:"})
        EXPECT_TRUE(LinesStartingWith(r.err, prefix).empty()) << prefix;
    EXPECT_EQ(std::string::npos, r.err.find('\r'));
}

TEST_F(FilterStartup, LongAndOddArgumentsAreSafe)
{
    std::string longText(20000, 'v');
    FilterOptions o = Job("PageSize=" + longText + " " + std::string(3000, ',') + "=x " + longText, longText);
    o.args[1] = longText;
    o.args[2] = "/" + longText + ".pdf" + std::string("\x01\x02\xff\xfe", 4);
    FilterRun r = RunFilter(o);
    EXPECT_EQ(0, r.status) << r.err.substr(0, 2000);
    ParsedJob job;
    std::string error;
    ASSERT_TRUE(SplitStream(r.out, &job, &error)) << error;
    EXPECT_LE(job.params.size(), 6436u);
    EXPECT_NE(std::string::npos, job.params.find("PageSize=" + std::string(255, 'v') + ", "));
}

// Work directory safety: each unsafe state ends the job before any output
// and leaves what it found untouched.
TEST_F(FilterStartup, SymlinkedWorkDirIsRefused)
{
    ASSERT_EQ(0, mkdir("/tmp/victim", 0700));
    ASSERT_TRUE(WriteFile("/tmp/victim/precious", "data"));
    ASSERT_EQ(0, symlink("/tmp/victim", kWork));
    FilterRun r = RunFilter(Job());
    EXPECT_EQ(1, r.status);
    EXPECT_TRUE(r.out.empty());
    EXPECT_EQ(1u, LinesStartingWith(r.err, "ERROR: Work directory").size()) << r.err;
    EXPECT_TRUE(Exists("/tmp/victim/precious"));
}

TEST_F(FilterStartup, UnsafeWorkDirIsRefused)
{
    struct Case {
        const char* what;
        const char* setup;
    } cases[] = {
        {"plain file", "echo x > /tmp/velmarsh"},
        {"foreign owner", "mkdir -m 0700 /tmp/velmarsh && touch /tmp/velmarsh/keep && chown -R 65534 /tmp/velmarsh"},
        {"group writable", "mkdir -m 0770 /tmp/velmarsh && touch /tmp/velmarsh/keep"},
        {"world writable", "mkdir -m 0777 /tmp/velmarsh && touch /tmp/velmarsh/keep && chmod 1777 /tmp/velmarsh"},
    };
    for (const Case& c : cases) {
        ASSERT_EQ(0, system("rm -rf /tmp/velmarsh"));
        ASSERT_EQ(0, system(c.setup)) << c.what;
        FilterRun r = RunFilter(Job());
        EXPECT_EQ(1, r.status) << c.what;
        EXPECT_TRUE(r.out.empty()) << c.what;
        EXPECT_EQ(1u, LinesStartingWith(r.err, "ERROR: Work directory").size()) << c.what << "\n" << r.err;
        if (strcmp(c.what, "plain file") != 0) {
            EXPECT_TRUE(Exists("/tmp/velmarsh/keep")) << c.what;
        }
    }
}

TEST_F(FilterStartup, UnprivilegedUserGetsPrivateWorkDir)
{
    // The filter runs as lp under CUPS; here as nobody. A directory left by
    // another user (root) is refused; a fresh one is created 0700 and used.
    // nobody runs copies of the filter, PPD and encoder in the private /tmp:
    // the build may sit where only root can enter (a checkout under /root).
    UserReachableFilter copy;
    std::string error;
    ASSERT_TRUE(CopyFilterForOtherUser("/tmp/nobody-bin", &copy, &error)) << error;
    ASSERT_EQ(0, chmod("/tmp/in.ras", 0644));
    ASSERT_EQ(0, mkdir(kWork, 0700));
    FilterOptions o = Job();
    o.program = copy.program;
    o.env = {{"PPD", copy.ppd}, {"PATH", copy.path}};
    o.uid = 65534;
    FilterRun refused = RunFilter(o);
    EXPECT_EQ(1, refused.status) << refused.err;
    EXPECT_EQ(1u, LinesStartingWith(refused.err, "ERROR: Work directory").size()) << refused.err;

    ASSERT_EQ(0, system("rm -rf /tmp/velmarsh"));
    FilterRun ok = RunFilter(o);
    EXPECT_EQ(0, ok.status) << ok.err;
    ParsedJob job;
    ASSERT_TRUE(SplitStream(ok.out, &job, &error)) << error << "\n" << ok.err;
    EXPECT_EQ(1u, job.pages.size());
    struct stat st;
    ASSERT_EQ(0, lstat(kWork, &st));
    EXPECT_EQ(65534u, st.st_uid);
    EXPECT_EQ(0700u, st.st_mode & 0777);
}

TEST_F(FilterStartup, OverlappingJobsKeepEachOthersFiles)
{
    // Job 1 encodes slowly; job 2 starts while job 1 is running and must not
    // remove job 1's files. Both print every page intact.
    std::string path = FakeEncoderPath("/tmp/slowenc", "sleep 0.3\nexec /usr/bin/pbmtojbg \"$@\"");
    std::vector<TestPage> pages;
    for (int i = 0; i < 3; i++)
        pages.push_back(PatternPage(120, 64, 10 + i));
    ASSERT_TRUE(WriteRasterFile("/tmp/three.ras", pages));
    FilterOptions a = Job();
    a.args[0] = "1";
    a.input = "/tmp/three.ras";
    a.env.push_back({"PATH", path});
    FilterOptions b = a;
    b.args[0] = "2";
    StartedFilter first = StartFilter(a);
    usleep(400000);
    StartedFilter second = StartFilter(b);
    FilterRun r1 = WaitFilter(first), r2 = WaitFilter(second);
    for (FilterRun* r : {&r1, &r2}) {
        ASSERT_EQ(0, r->status) << r->err;
        ParsedJob job;
        std::string error;
        ASSERT_TRUE(SplitStream(r->out, &job, &error)) << error;
        ASSERT_EQ(3u, job.pages.size());
        for (size_t i = 0; i < 3; i++) {
            Bitmap got;
            ASSERT_TRUE(DecodeJbig(job.pages[i].data, &got)) << i;
            Bitmap want = PageBitmap(pages[i]);
            EXPECT_EQ(want.bits, got.bits) << "page " << i + 1;
        }
    }
    EXPECT_NE(std::string::npos, r2.err.find("in use by another job"));
    EXPECT_TRUE(Exists("/tmp/velmarsh/1_3_gs.pbm"));
    EXPECT_TRUE(Exists("/tmp/velmarsh/2_3_gs.pbm"));
}

} // namespace

namespace {

// CUPS accepts the product PPD with the filter it names installed.
TEST(ProductPpd, PassesCupstestppd)
{
    if (access("/usr/bin/cupstestppd", X_OK) != 0)
        GTEST_SKIP() << "cupstestppd not installed";
    ASSERT_EQ(0, system("rm -rf /tmp/ppdroot && mkdir -p /tmp/ppdroot/usr/lib/cups/filter"));
    ASSERT_EQ(0, system("cp " FZ_FILTER_BIN " /tmp/ppdroot/usr/lib/cups/filter/"));
    std::string cmd = "cupstestppd -R /tmp/ppdroot " + ProductPpd() + " > /tmp/ppdroot/report 2>&1";
    int status = system(cmd.c_str());
    std::string report = ReadFile("/tmp/ppdroot/report");
    EXPECT_EQ(0, status) << report;
    EXPECT_NE(std::string::npos, report.find(": PASS")) << report;
    EXPECT_EQ(std::string::npos, report.find("FAIL")) << report;
}

} // namespace
