// The filter binary as CUPS runs it, in its own /tmp: start-up, the job record, the work directory and files,
// every page mode, bad input, encoder and output failures, cancellation.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <sstream>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

#include "filter/filter.h"
#include "tests/testutil.h"

namespace {

void Sh(const std::string& cmd) { ASSERT_EQ(0, system(cmd.c_str())) << cmd; }
// A shell command's output without its trailing line feeds.
std::string Out(const std::string& c) { return Sh("printf %s \"$(" + c + ")\" > /tmp/t/out"), ReadFile("/tmp/t/out"); }
// The work directory's entries in byte order; everything at it and at /tmp/victim: path, type, mode, owner, size.
std::string WorkFiles() { return Out("echo $(LC_ALL=C ls -A /tmp/velmarsh 2>/dev/null)"); }
std::string Tree() { return Out("find /tmp/velmarsh /tmp/victim -printf '%p %y %m %U %s\\n' 2>/dev/null"); }
// Lines of the log that start with `prefix`.
size_t Lines(const std::string& err, const std::string& prefix) { return Count("\n" + err, "\n" + prefix); }
// The printer stream's page records; the stream must parse.
std::vector<Row> Rows(const std::string& out, const std::vector<TestPage>& pages, bool turned = false)
{
    ReadJob job = ReadStream(out, DecodedPageNamer(pages, turned));
    EXPECT_EQ("", job.error);
    return job.rows;
}

// The log's PAGE: lines, from which CUPS counts the job's pages.
std::string PageLines(const std::string& err)
{
    std::istringstream in(err);
    std::string lines;
    for (std::string line; std::getline(in, line);)
        lines += line.rfind("PAGE: ", 0) == 0 ? line + "\n" : "";
    return lines;
}
// The PAGE: lines due for these records, in their order: one a record of a raster page, counting `copies` (an
// uncollated copy is a record of its own and counts 1; a collated job's page counts the copies the printer makes).
std::string PageLinesFor(const std::vector<Row>& rows, int copies = 1)
{
    std::string lines;
    for (const Row& r : rows)
        lines += r.page == "B" ? "" : "PAGE: " + r.page.substr(1) + " " + std::to_string(copies) + "\n";
    return lines;
}

struct Filter : ::testing::Test {
    void SetUp() override
    {
        Sh("umount /tmp/velmarsh 2>/dev/null; rm -rf /tmp/velmarsh /tmp/auth /tmp/victim /tmp/t && mkdir /tmp/t");
        unsetenv("FISKOR_KEEP_WORK_FILES");
        ASSERT_TRUE(WriteRasterFile("/tmp/t/in.ras", Pages(1)));
    }
    static FilterOptions Job(std::vector<std::string> args = FilterArgs(""), decltype(FilterOptions::env) env = {})
    {
        FilterOptions o;
        o.args = args;
        o.input = "/tmp/t/in.ras";
        o.env = env;
        return o;
    }
};

// Each ends with status 1 before any output, says why once, and leaves the work directory (or what a symlink
// there points at) as it was. args: how many arguments (0: the usual five); ppd: "" the product's.
TEST_F(Filter, RefusedJobsWriteNothingAndTouchNothing)
{
    const std::string kept = "mkdir -m 0700 /tmp/velmarsh && echo x > /tmp/velmarsh/keep";
    const std::string dir = "ERROR: Work directory /tmp/velmarsh ", noPpd = "ERROR: Unable to open PPD file!\n";
    const std::tuple<const char*, const char*, size_t, int, std::string, std::string> cases[] = {
        {"four arguments", "", 4, 0, kept, "Usage: fiskor_zembrulan job user title copies options [file]\n"},
        {"seven arguments", "", 7, 0, kept, "Usage: fiskor_zembrulan job"},
        {"PPD unset", kUnset, 0, 0, kept, noPpd},
        {"PPD missing", "/no.ppd", 0, 0, kept, noPpd},
        {"standard output closed", "", 0, 1, kept, "ERROR: The printer stream (standard output) is not open\n"},
        {"symlink", "", 0, 0, "mkdir /tmp/victim && echo x > /tmp/victim/keep && ln -s /tmp/victim /tmp/velmarsh",
         dir + "is a symbolic link"},
        {"plain file", "", 0, 0, "echo x > /tmp/velmarsh", dir + "is not a directory"},
        {"foreign owner", "", 0, 0, kept + " && chown -R 65534 /tmp/velmarsh", dir + "belongs to another user"},
        {"group writable", "", 0, 0, kept + " && chmod 0770 /tmp/velmarsh", dir + "is writable by group"},
        {"world writable", "", 0, 0, kept + " && chmod 1777 /tmp/velmarsh", dir + "is writable by group"},
    };
    for (const auto& [what, ppd, args, closed, setup, line] : cases) {
        SCOPED_TRACE(what);
        Sh("rm -rf /tmp/velmarsh /tmp/victim && " + setup);
        const std::string before = Tree();
        FilterOptions o = Job(FilterArgs(""), {{"PPD", *ppd ? ppd : ProductPpd()}});
        o.args.resize(args ? args : o.args.size(), "x");
        o.closeStdout = closed;
        FilterRun r = RunFilter(o);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(1u, Count(r.err, line)) << r.err;
        EXPECT_EQ(line.rfind("ERROR", 0) == 0 ? 1u : 0u, Lines(r.err, "ERROR: ")) << r.err;
        EXPECT_EQ(o.args.size() + 1, Lines(r.err, "DEBUG: fiskor_zembrulan argv["));
        EXPECT_EQ(before, Tree());
    }
}

// Work files stay when FISKOR_KEEP_WORK_FILES asks or a job is killed; the next start removes them all, never
// following a symlink out. An empty input then ends the job without output.
TEST_F(Filter, LeftoversGoAtTheNextStart)
{
    EXPECT_EQ(0, PrintPages(Pages(1), "sides=two-sided-long-edge", "1", {{"FISKOR_KEEP_WORK_FILES", "1"}}).status);
    EXPECT_EQ("42-1.jbg 42-2.jbg 42_1_gs.pbm 42_2_gs.pbm", WorkFiles());
    StartedFilter s = StartFilter(Job(FilterArgs(""), {{"PATH", FakeEncoderPath("/tmp/t/enc", "sleep 20")}}));
    ASSERT_TRUE(WaitForLog(s, "pbm_file:[/tmp/velmarsh/42_1_gs.pbm]"));
    kill(-s.pid, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, WaitFilter(s).status);
    ASSERT_EQ("42_1_gs.pbm", WorkFiles());
    Sh("mkdir -p /tmp/velmarsh/sub/deep /tmp/victim && touch /tmp/velmarsh/sub/deep/f /tmp/victim/keep && "
       "ln -s /tmp/victim /tmp/velmarsh/link && : > /tmp/t/in.ras");
    FilterRun r = RunFilter(Job());
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(1u, Count(r.err, "DEBUG: First page header is null \n"));
    EXPECT_EQ("/tmp/velmarsh d 700", Out("find /tmp/velmarsh -printf '%p %y %m\\n'"));
    EXPECT_EQ(0, access("/tmp/victim/keep", F_OK));
}

// Run as nobody (lp under CUPS) from copies it can reach: root's directory is refused, a fresh one made private.
TEST_F(Filter, UnprivilegedUserGetsAPrivateWorkDir)
{
    Sh("mkdir -m 0755 /tmp/nobody && cp " FZ_FILTER_BIN " " FZ_BINARY_DIR "/encoder/pbmtojbg " + ProductPpd() +
       " /tmp/nobody/ && chmod 0755 /tmp/nobody/* && mkdir -m 0700 /tmp/velmarsh");
    FilterOptions o = Job(FilterArgs(""), {{"PATH", "/tmp/nobody:/usr/bin:/bin"}});
    o.env.push_back({"PPD", "/tmp/nobody/fiskor_zembrulan.ppd"});
    o.program = "/tmp/nobody/fiskor_zembrulan";
    o.uid = 65534;
    FilterRun r = RunFilter(o);
    EXPECT_EQ(1u, Lines(r.err, "ERROR: Work directory /tmp/velmarsh belongs to another user (owner 0")) << r.err;
    Sh("rm -rf /tmp/velmarsh");
    r = RunFilter(o);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(ExpectedOrder(0, 0, 1, 1), Rows(r.out, Pages(1)));
    EXPECT_EQ("/tmp/velmarsh d 700 65534", Out("find /tmp/velmarsh -printf '%p %y %m %U\\n'"));
}

// Job 1 encodes slowly, jobs 2 and 3 start meanwhile, and every page of every job arrives intact. Job 3 also
// removes its own leftovers: a black "blank back side" planted under its id after job 1's start (336 x 160).
TEST_F(Filter, OverlappingJobsKeepEachOthersFiles)
{
    const std::string slow = FakeEncoderPath("/tmp/t/slow", "sleep 0.15; exec /usr/bin/pbmtojbg \"$@\"");
    std::vector<std::vector<TestPage>> pages(3);
    for (int j = 0; j < 3; j++)
        for (int p = 0; p < (j == 2 ? 3 : 5); p++)
            pages[j].push_back(PatternPage(320 + 8 * j, 160, (uint32_t)(1000 * j + p)));
    for (int trial = 0; trial < 2; trial++) {
        std::vector<StartedFilter> jobs;
        for (int j = 0; j < 3; j++) {
            const std::string id = std::to_string(10 * trial + j + 1);
            if (j == 2)
                WriteFile("/tmp/velmarsh/" + id + "_4_gs.pbm", "P4\n336 160\n" + std::string(6720, '\xff'));
            FilterOptions o = Job(FilterArgs(j == 2 ? "sides=two-sided-long-edge" : "", "1", id));
            o.env = {{"PATH", j ? getenv("PATH") : slow}};
            o.input = "/tmp/t/job" + std::to_string(j) + ".ras";
            ASSERT_TRUE(WriteRasterFile(o.input, pages[j]));
            jobs.push_back(StartFilter(o));
            ASSERT_TRUE(j > 0 || WaitForLog(jobs[0], "INFO: Printing page 1"));
        }
        for (int j = 0; j < 3; j++) {
            SCOPED_TRACE("trial " + std::to_string(trial) + " job " + std::to_string(j + 1));
            FilterRun r = WaitFilter(jobs[j]);
            ASSERT_EQ(0, r.status) << r.err.substr(0, 3000);
            EXPECT_EQ(j > 0 ? 1u : 0u, Count(r.err, "is in use by another job"));
            EXPECT_EQ(ExpectedOrder(0, j == 2, (int)pages[j].size(), 1), Rows(r.out, pages[j]));
        }
    }
}

// Every mode (collation in both spellings, either two-sided mode, copies) decodes to the input pages in printer
// order; A5 fed long edge first turns pages by -90 and is never two-sided; a page cut short gets white lines. The
// encoder runs once per printed side, seeing only that side's work files; the project's encoder matches jbigkit.
TEST_F(Filter, EveryModeDecodesToItsPagesInOrder)
{
    const std::string path = FakeEncoderPath(
        "/tmp/t/enc", "echo $(LC_ALL=C ls /tmp/velmarsh) >> /tmp/t/runs; exec /usr/bin/pbmtojbg \"$@\"");
    std::vector<std::tuple<std::string, int, int, size_t, bool, std::vector<Row>, int>> cases;  // cut: bytes cut off
    const char* collated[] = {"", "Collate ", "multiple-document-handling=separate-documents-collated-copies "};
    const char* sides[] = {"", "sides=two-sided-long-edge", "sides=two-sided-short-edge"};
    for (int collate : {0, 1})
        for (int duplex : {0, 1})
            for (int copies : {1, 2})
                for (int pages : {1, 2, 3})
                    cases.push_back({collated[collate * (1 + pages % 2)] + std::string(sides[duplex * copies]), copies,
                                     pages, 0, false, ExpectedOrder(collate, duplex, pages, copies),
                                     collate ? copies : 1});
    cases.push_back({"PageSize=A5 FeedEdge=1 sides=two-sided-long-edge", 1, 3, 0, true, ExpectedOrder(0, 0, 3, 1), 1});
    cases.push_back({"PageSize=A5 sides=two-sided-long-edge", 1, 1, 0, false, ExpectedOrder(0, 1, 1, 1), 1});
    cases.push_back({"", 1, 2, 10 * 26, false, ExpectedOrder(0, 0, 2, 1), 1});  // page 2: 26 bytes a line
    for (const auto& [options, copies, n, cut, turned, want, counted] : cases) {
        SCOPED_TRACE(options + " copies " + std::to_string(copies) + " pages " + std::to_string(n));
        std::vector<TestPage> pages = Pages(n);
        ASSERT_TRUE(WriteRasterFile("/tmp/t/in.ras", pages, cut));
        std::fill(pages.back().bits.end() - cut, pages.back().bits.end(), 0);
        Sh("rm -f /tmp/t/runs");
        FilterOptions o = Job(FilterArgs(options, std::to_string(copies)), {{"PATH", path}});
        FilterRun r = RunFilter(o);
        ASSERT_EQ(0, r.status) << r.err;
        EXPECT_EQ(want, Rows(r.out, pages, turned));
        EXPECT_EQ(PageLinesFor(want, counted), PageLines(r.err));
        std::string runs;  // side i's files: its PBM, and the turned PBM of an A5 page fed long edge first
        for (std::string side = "1"; side[0] <= '0' + n + (want.back().page == "B"); side[0]++)
            runs += "42_" + side + "_gs.pbm" + (turned ? " 42_" + side + "_gs_rotated.pbm\n" : "\n");
        EXPECT_EQ(runs, ReadFile("/tmp/t/runs"));
        EXPECT_EQ("", WorkFiles());
        if (n == 3 && copies == 2) {
            o.env = {{"PATH", FZ_BINARY_DIR "/encoder:/usr/bin:/bin"}};
            EXPECT_TRUE(r.out == RunFilter(o).out) << "the project's encoder differs";
        }
    }
}

// Bad input, failing encoders and output end the job cleanly: the status, one ERROR line saying why, complete
// records only, no work files. pages: a shape digit a page; encoder: nullptr jbigkit's, "" none, else a fake's body.
TEST_F(Filter, BadInputAndFailuresEndCleanly)
{
    auto Page = [](int bytesPerLine, int bitsPerPixel = 1, int width = 300, int height = 200) {
        TestPage p = PatternPage(300, 200, 1);
        return p.bytesPerLine = bytesPerLine, p.bitsPerPixel = bitsPerPixel, p.width = width, p.height = height, p;
    };
    std::vector<TestPage> shapes = {Page(38), Page(300, 8), Page(38, 1, 300, 0), Page(10), Page(50)};
    shapes.insert(shapes.end(), {Page(125000, 1, 1000000, 1000000), Page(38, 1, 300, (int)4000000000u)});
    const std::string cannot = "ERROR: Raster page 1 cannot be printed: ", encoder = "ERROR: JBIG encoder pbmtojbg ";
    const char* fails2 = "/usr/bin/pbmtojbg \"$@\"; case ${15} in *_2_gs.pbm) exit 1;; esac";
    using Text = const char*;
    const std::tuple<Text, Text, Text, Text, Text, Text, int, std::string, size_t> cases[] = {
        {"8 bits per pixel", "1", nullptr, "", "", "", 1, cannot + "8 bits per pixel", 0},
        {"zero height", "2", nullptr, "", "", "", 0, "DEBUG: First page header is null", 0},
        {"line too short", "3", nullptr, "", "", "", 1, cannot + "10 bytes per line do not match", 0},
        {"line too long", "4", nullptr, "", "", "", 1, cannot + "50 bytes per line do not match", 0},
        {"huge page", "5", nullptr, "", "", "", 1, cannot + "page of 125000000000 bytes is larger", 0},
        {"huge height", "6", nullptr, "", "", "", 1, cannot + "page size out of range", 0},
        {"bad second page", "01", nullptr, "", "", "", 255, "ERROR: Raster page 2 cannot be printed", 1},
        {"junk", "0", nullptr, "", "", "yes | head -c 5000 >/tmp/t/in.ras", 0, "DEBUG: First page header is null", 0},
        {"encoder missing", "0", "", "", "", "", 255, encoder + "not found on PATH (page 1)", 0},
        {"encoder fails on page 2", "00", fails2, "", "", "", 255, encoder + "failed with exit status 1 (page 2)", 1},
        {"encoder killed", "0", "kill -9 $$", "", "", "", 255, encoder + "was killed by signal 9 (page 1)", 0},
        {"no JBIG file", "0", "exit 0", "", "", "", 255, "ERROR: cannot open JBIG file /tmp/velmarsh/42-1.jbg", 0},
        {"pages over 4 MB", "000", "head -c 5000000 /dev/urandom > \"${16}\"", "sides=two-sided-long-edge", "", "", 0,
         "DEBUG: page 3 jbg file size: 5000000 ", 4},
        {"work directory full", "0", nullptr, "", "",
         "mkdir -m 0700 /tmp/velmarsh && mount -t tmpfs -o size=4k,mode=0700 tmpfs /tmp/velmarsh", 255,
         "ERROR: page 1: cannot write work file /tmp/velmarsh/42_1_gs.pbm", 0},
        {"printer stream to a full device", "0", nullptr, "", "/dev/full", "", 1,
         "ERROR: Writing the printer stream failed", 0},
        {"auth file a FIFO", "0", nullptr, "", "", "mkdir /tmp/auth && mkfifo /tmp/auth/auth_config", 0,
         "DEBUG: auth_file is not a regular file!", 1},
    };
    for (const auto& [what, kinds, encoder, options, out, setup, status, line, records] : cases) {
        SCOPED_TRACE(what);
        std::vector<TestPage> pages;
        for (const char* k = kinds; *k; k++)
            pages.push_back(shapes[*k - '0']);
        ASSERT_TRUE(WriteRasterFile("/tmp/t/in.ras", pages));
        Sh(std::string("umount /tmp/velmarsh 2>/dev/null; rm -rf /tmp/velmarsh /tmp/auth; ") + setup);
        FilterOptions o = Job(FilterArgs(options));
        o.stdoutTo = out;
        if (encoder)
            o.env = {{"PATH", *encoder ? FakeEncoderPath("/tmp/t/enc", encoder) : "/tmp/t/none"}};
        FilterRun r = RunFilter(o, 60);
        EXPECT_EQ(status, r.status) << r.err.substr(0, 3000);
        EXPECT_EQ(1u, Count(r.err, line)) << r.err.substr(0, 3000);
        EXPECT_EQ(status ? 1u : 0u, Lines(r.err, "ERROR: "));
        const std::vector<Row> rows = Rows(r.out, pages);
        EXPECT_EQ(records, rows.size());
        if (std::none_of(rows.begin(), rows.end(), [](const Row& row) { return row.page == "?"; })) {  // not random
            EXPECT_EQ(PageLinesFor(rows), PageLines(r.err));
        }
        EXPECT_EQ("", WorkFiles());
    }
}

// SIGTERM to the process group (CUPS cancelling) ends the job with status 0 as if the page in progress were its
// last, with complete records and no work files. The raster comes through a FIFO, `fed` bytes of it before the
// signal; the encoder takes a while on side `slow` (x: none).
TEST_F(Filter, CancellationEndsWithCompleteRecords)
{
    const std::vector<TestPage> pages = Pages(3);
    ASSERT_TRUE(WriteRasterFile("/tmp/t/job.ras", pages));
    const std::string raster = ReadFile("/tmp/t/job.ras");
    const size_t all = raster.size(), page2 = 4 + 1796 + pages[0].bits.size();  // bytes before raster page 2
    const std::string path = FakeEncoderPath(
        "/tmp/t/enc", "case ${15} in *_${SLOW}_gs.pbm) sleep 0.5;; esac; exec /usr/bin/pbmtojbg \"$@\"");
    const std::tuple<const char*, const char*, const char*, const char*, int, int, int, size_t> cases[] = {
        {"during start-up", "", "x", "BuildJobParams:", 1, 1, 0, 0},
        {"during capture of page 1", "", "x", "INFO: Printing page 1", 2, 1, 1, 4 + 1796 + 1000},
        {"while a front side is held", "sides=two-sided-long-edge", "2", "42_2_gs.pbm]", 1, 1, 2, all},
        {"looking ahead after a front side", "sides=two-sided-long-edge", "x", "DEBUG: Page 1 read", 1, 1, 1, page2},
        {"during the blank back side", "sides=two-sided-long-edge", "4", "DEBUG: extra file", 2, 1, 3, all},
        {"twice in a row", "", "x", "INFO: Printing page 1", 1, 2, 1, 4 + 1796 + 10},
    };
    signal(SIGPIPE, SIG_IGN);
    for (const auto& [what, options, slow, waitFor, copies, terms, printed, fed] : cases) {
        SCOPED_TRACE(what);
        Sh("rm -rf /tmp/velmarsh /tmp/t/fifo && mkfifo /tmp/t/fifo");
        FilterOptions o = Job(FilterArgs(options, std::to_string(copies)), {{"PATH", path}, {"SLOW", slow}});
        o.input = "/tmp/t/fifo";
        StartedFilter s = StartFilter(o);
        const int fifo = open("/tmp/t/fifo", O_WRONLY);
        ASSERT_EQ((ssize_t)fed, write(fifo, raster.data(), fed));
        if (fed == all)
            close(fifo);  // the end of input tells page 3 is the last
        ASSERT_TRUE(WaitForLog(s, waitFor)) << ReadFile(s.errPath);
        for (int i = 0; i < terms; i++, usleep(50000))
            kill(-s.pid, SIGTERM);
        if (fed < all) {
            (void)!write(fifo, raster.data() + fed, all - fed);  // it may stop reading early
            close(fifo);
        }
        FilterRun r = WaitFilter(s);
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ((size_t)terms, Count(r.err, "DEBUG: 捕获SIGTERM信号,终止中\n"));
        EXPECT_EQ(0u, Count(r.err, "INFO: Printing page " + std::to_string(printed + 1)));
        EXPECT_EQ(0u, r.out.find("tamrel_param"));  // the job record comes first (and whole: the stream parses)
        const std::vector<Row> rows = Rows(r.out, pages);
        EXPECT_EQ(printed ? ExpectedOrder(0, *options != 0, printed, copies) : std::vector<Row>{}, rows);
        EXPECT_EQ(PageLinesFor(rows), PageLines(r.err));
        EXPECT_EQ("", WorkFiles());
    }
}

// CUPS accepts the product PPD with the filter it names installed.
TEST(ProductPpd, PassesCupstestppd)
{
    if (access("/usr/bin/cupstestppd", X_OK) != 0)
        GTEST_SKIP() << "cupstestppd not installed";
    Sh("mkdir -p /tmp/t /tmp/ppdroot/usr/lib/cups/filter && cp " FZ_FILTER_BIN " /tmp/ppdroot/usr/lib/cups/filter/");
    const std::string report = Out("cupstestppd -R /tmp/ppdroot " + ProductPpd() + " 2>&1; echo status $?");
    EXPECT_EQ(1u, Count(report, ": PASS\n")) << report;
    EXPECT_EQ(report.size() - 9, report.rfind("\nstatus 0")) << report;
}

}  // namespace

TEST(WorkDir, OwnWorkFilesAreKnownByTheirJobId)
{
    const std::pair<const char*, bool> cases[] = {
        {"42_1_gs.pbm", true}, {"42_12_gs_rotated.pbm", true}, {"42-3.jbg", true},  {"421_1_gs.pbm", false},
        {"4_1_gs.pbm", false}, {"42_1_gs.pbm.x", false},       {"42-x.jbg", false}, {"x42-1.jbg", false},
    };
    for (const auto& [name, own] : cases)
        EXPECT_EQ(IsOwnWorkFile(name, 42), own) << name;
}
