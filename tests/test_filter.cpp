// The filter binary as CUPS runs it: start-up, the job record, the work directory and work files, every page
// mode, bad input, encoder and output failures, cancellation. The program runs in its own /tmp.
#include <gtest/gtest.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <functional>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/testutil.h"

namespace {

void Sh(const std::string& cmd) { ASSERT_EQ(0, system(cmd.c_str())) << cmd; }

std::string Out(const std::string& cmd)  // a shell command's output without its last line feed
{
    (void)!system(("{ " + cmd + "; } > /tmp/t/out 2>/dev/null").c_str());
    const std::string out = ReadFile("/tmp/t/out");
    return out.substr(0, out.size() - (!out.empty() && out.back() == '\n'));
}
// The work directory's entries in byte order; everything at it and at /tmp/victim: path, type, mode, owner, size.
std::string WorkFiles() { return Out("echo $(LC_ALL=C ls -A /tmp/velmarsh)"); }
std::string Tree() { return Out("find /tmp/velmarsh /tmp/victim -printf '%p %y %m %U %s\\n'"); }
// Lines of the log that start with `prefix`.
size_t Lines(const std::string& err, const std::string& prefix) { return Count("\n" + err, "\n" + prefix); }

class Filter : public ::testing::Test {
protected:
    void SetUp() override
    {
        Sh("umount /tmp/velmarsh 2>/dev/null; rm -rf /tmp/velmarsh /tmp/auth /tmp/victim /tmp/t && mkdir /tmp/t");
        unsetenv("FISKOR_KEEP_WORK_FILES");
        ASSERT_TRUE(WriteRasterFile("/tmp/t/in.ras", Pages(1)));
    }
    static FilterOptions Job(const std::string& options = "", const std::string& copies = "1")
    {
        FilterOptions o;
        o.args = FilterArgs(options, copies);
        o.input = "/tmp/t/in.ras";
        return o;
    }
};

// Each ends with status 1 before any output, says why once, and leaves the
// work directory (or what a symlink there points at) exactly as it was.
TEST_F(Filter, RefusedJobsWriteNothingAndTouchNothing)
{
    const std::string kept = "mkdir -m 0700 /tmp/velmarsh && echo x > /tmp/velmarsh/keep";
    const std::string dir = "ERROR: Work directory /tmp/velmarsh ";
    struct Case { const char* what; std::string setup; std::function<void(FilterOptions&)> change; std::string line; };
    const Case cases[] = {
        {"four arguments", kept, [](FilterOptions& o) { o.args.resize(4, "x"); },
         "Usage: fiskor_zembrulan job user title copies options [file]\n"},
        {"seven arguments", kept, [](FilterOptions& o) { o.args.resize(7, "x"); }, "Usage: fiskor_zembrulan job"},
        {"PPD unset", kept, [](FilterOptions& o) { o.env = {{"PPD", kUnset}}; }, "ERROR: Unable to open PPD file!\n"},
        {"PPD missing", kept, [](FilterOptions& o) { o.env = {{"PPD", "/no.ppd"}}; }, "ERROR: Unable to open PPD file!\n"},
        {"standard output closed", kept, [](FilterOptions& o) { o.closeStdout = true; },
         "ERROR: The printer stream (standard output) is not open\n"},
        {"symlink", "mkdir /tmp/victim && echo x > /tmp/victim/keep && ln -s /tmp/victim /tmp/velmarsh", nullptr,
         dir + "is a symbolic link"},
        {"plain file", "echo x > /tmp/velmarsh", nullptr, dir + "is not a directory"},
        {"foreign owner", kept + " && chown -R 65534 /tmp/velmarsh", nullptr, dir + "belongs to another user"},
        {"group writable", kept + " && chmod 0770 /tmp/velmarsh", nullptr, dir + "is writable by group"},
        {"world writable", kept + " && chmod 1777 /tmp/velmarsh", nullptr, dir + "is writable by group"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Sh("rm -rf /tmp/velmarsh /tmp/victim && " + c.setup);
        const std::string before = Tree();
        FilterOptions o = Job();
        if (c.change)
            c.change(o);
        FilterRun r = RunFilter(o);
        EXPECT_EQ(1, r.status);
        EXPECT_EQ("", r.out);
        EXPECT_EQ(1u, Count(r.err, c.line)) << r.err;
        EXPECT_EQ(c.line.rfind("ERROR", 0) == 0 ? 1u : 0u, Lines(r.err, "ERROR: ")) << r.err;
        EXPECT_EQ(o.args.size() + 1, Lines(r.err, "DEBUG: fiskor_zembrulan argv["));
        EXPECT_EQ(before, Tree());
    }
}

// Work files stay only when FISKOR_KEEP_WORK_FILES asks or when a job is
// killed; the next job's start removes all leftovers, never following a
// symlink out. An empty input then ends the job without output.
TEST_F(Filter, LeftoversGoAtTheNextStart)
{
    EXPECT_EQ(0, PrintPages(Pages(1), "sides=two-sided-long-edge", "1", {{"FISKOR_KEEP_WORK_FILES", "1"}}).status);
    EXPECT_EQ("42-1.jbg 42-2.jbg 42_1_gs.pbm 42_2_gs.pbm", WorkFiles());
    FilterOptions o = Job();
    o.env = {{"PATH", FakeEncoderPath("/tmp/t/enc", "sleep 20")}};
    StartedFilter s = StartFilter(o);
    ASSERT_TRUE(WaitForLog(s, "pbm_file:[/tmp/velmarsh/42_1_gs.pbm]"));
    kill(-s.pid, SIGKILL);
    EXPECT_EQ(128 + SIGKILL, WaitFilter(s).status);
    ASSERT_EQ("42_1_gs.pbm", WorkFiles());
    Sh("mkdir -p /tmp/velmarsh/sub/deep /tmp/victim && touch /tmp/velmarsh/sub/deep/f /tmp/victim/keep && "
       "ln -s /tmp/victim /tmp/velmarsh/link");
    o.input = "";
    o.env.clear();
    FilterRun r = RunFilter(o);
    EXPECT_EQ(0, r.status);
    EXPECT_EQ("", r.out);
    EXPECT_EQ(1u, Count(r.err, "DEBUG: First page header is null \n"));
    EXPECT_EQ("/tmp/velmarsh d 700", Out("find /tmp/velmarsh -printf '%p %y %m\\n'"));
    EXPECT_EQ(0, access("/tmp/victim/keep", F_OK));
}

// The job record: tag, length and the parameter text byte for byte, every
// field cut to 255 bytes. The log shows the same text with the password
// masked and control characters escaped, so outside text can never start a
// line the scheduler acts on ("PPD:", "ATTR:", "STATE:").
TEST_F(Filter, JobRecordCarriesTheParametersAndTheLogNeitherPasswordNorControls)
{
    char host[65] = {0};
    gethostname(host, 64);
    const std::string defaults =
        "PageSize=A4, Resolution=600dpi, resX=600dpi, resY=600dpi, FeedEdge=0, Collate=False, Duplex=None, "
        "MediaType=Plain, InputSlot=MainTray, number-up=1, job-uuid=, job-originating-host-name=, "
        "date-time-at-creation=, date-time-at-processing=, time-at-creation=, time-at-processing=, copies=1, "
        "jobId=42, DocName=report.pdf, HostName=" + std::string(host) + ", LoginName=alice, AuthID=, AuthPassword=, "
        "Border=1, ";
    using Set = std::vector<std::pair<std::string, std::string>>;
    auto with = [](std::string text, const Set& set) {  // each row's name occurs once in the text
        for (const auto& kv : set) {
            const size_t at = text.find(kv.first + "=") + kv.first.size() + 1;
            text.replace(at, text.find(", ", at) - at, kv.second);
        }
        return text;
    };
    const std::string v(20000, 'v'), v255(255, 'v');
    // Arguments, /tmp/auth/auth_config, the rows that differ from the defaults in the record and then in the
    // log, what the log must never show and a line it must hold.
    struct Case {
        const char* what; std::vector<std::string> args; std::string auth; Set set, shown; std::string secret, logs;
    };
    const Case cases[] = {
        {"seventh argument ignored", {"42", "alice", "report.pdf", "1", "", "/no.ras"}, "", {}, {}, "", "argv[6]=/no.ras"},
        {"arguments and options", {"abc", "bob", "/home/a/annual report.pdf extra words", "3",
                                   "PageSize=A5 number-up=2 sides=two-sided-long-edge job-uuid=urn:uuid:1"}, "",
         {{"PageSize", "A5"}, {"Duplex", "DuplexNoTumble"}, {"number-up", "2"}, {"job-uuid", "urn:uuid:1"},
          {"copies", "3"}, {"jobId", "abc"}, {"DocName", "annual report.pdf"}, {"LoginName", "bob"}}, {}, "",
         "pbm_file:[/tmp/velmarsh/0_1_gs.pbm]"},  // a job id that is no number names the work files with 0
        {"password option", FilterArgs("media=A4 AuthPassword=Opt-Secret7 Collate"), "",
         {{"AuthPassword", "Opt-Secret7"}}, {{"AuthPassword", "****"}}, "Opt-Secret7",
         "argv[5]=media=A4 AuthPassword=**** Collate \n"},
        {"line breaks", {"42", "al\nATTR: y", "title\nSTATE: +media-empty\n", "1", "media=A4\nPPD: *Foo\rATTR: x"}, "",
         {{"DocName", "title\nSTATE: +media-empty\n"}, {"LoginName", "al\nATTR: y"}},
         {{"DocName", "title\\nSTATE: +media-empty\\n"}, {"LoginName", "al\\nATTR: y"}}, "",
         "=media=A4\\nPPD: *Foo\\rATTR: x \n"},
        {"oversized", {"42", v, "/" + v + ".pdf\x01\xff", v, "PageSize=" + v + " " + std::string(3000, ',') + "=x " + v},
         "", {{"PageSize", v255}, {"copies", v255}, {"DocName", v255}, {"LoginName", v255}}, {}, "", ""},
        {"auth file (last: it stays)", FilterArgs(""), R"({"AuthID":"bob","Password":"Pw-9f3kq!"})", {{"AuthID", "bob"},
         {"AuthPassword", "Pw-9f3kq!"}}, {{"AuthPassword", "****"}}, "Pw-9f3kq!", "DEBUG: Password: ****\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_TRUE(c.auth.empty() || (mkdir("/tmp/auth", 0755) == 0 && WriteFile("/tmp/auth/auth_config", c.auth)));
        FilterOptions o = Job();
        o.args = c.args;
        FilterRun r = RunFilter(o);
        ASSERT_EQ(0, r.status) << r.err;
        const std::string text = with(defaults, c.set);
        const uint32_t n = (uint32_t)text.size();
        const std::string head = std::string("tamrel_param\0\0\0\0", 16) +
                                 std::string{(char)(n & 0xFF), (char)(n >> 8 & 0xFF), (char)(n >> 16), (char)(n >> 24)};
        EXPECT_EQ(head + text, r.out.substr(0, head.size() + text.size()));
        ReadJob job = ReadStream(r.out, DecodedPageNamer(Pages(1), false));
        EXPECT_EQ("", job.error);
        EXPECT_EQ("P1", job.rows.empty() ? "" : job.rows[0].page);
        EXPECT_EQ(1u, Count(r.err, "DEBUG: job_params=" + with(text, c.shown) + " \n")) << r.err.substr(0, 5000);
        EXPECT_EQ(1u, Count(r.err, "DEBUG: job_params_size=" + std::to_string(n) + " \n"));
        EXPECT_TRUE(c.secret.empty() || Count(r.err, c.secret) == 0);
        EXPECT_TRUE(c.logs.empty() || Count(r.err, c.logs) == 1) << c.logs;
        EXPECT_EQ(0u, Lines(r.err, "PPD:") + Lines(r.err, "ATTR:") + Lines(r.err, "STATE:") + Count(r.err, "\r"));
    }
}

// Run as nobody (lp under CUPS), from copies it can reach: a directory root
// left is refused, a fresh one is made private to the job's user.
TEST_F(Filter, UnprivilegedUserGetsAPrivateWorkDir)
{
    Sh("mkdir -m 0755 /tmp/nobody && cp " FZ_FILTER_BIN " " FZ_BINARY_DIR "/encoder/pbmtojbg " + ProductPpd() +
       " /tmp/nobody/ && chmod 0755 /tmp/nobody/* && mkdir -m 0700 /tmp/velmarsh");
    FilterOptions o = Job();
    o.program = "/tmp/nobody/fiskor_zembrulan";
    o.env = {{"PPD", "/tmp/nobody/fiskor_zembrulan.ppd"}, {"PATH", "/tmp/nobody:/usr/bin:/bin"}};
    o.uid = 65534;
    FilterRun r = RunFilter(o);
    EXPECT_EQ(1u, Lines(r.err, "ERROR: Work directory /tmp/velmarsh belongs to another user (owner 0")) << r.err;
    Sh("rm -rf /tmp/velmarsh");
    r = RunFilter(o);
    ASSERT_EQ(0, r.status) << r.err;
    EXPECT_EQ(ExpectedOrder(0, 0, 1, 1), ReadStream(r.out, DecodedPageNamer(Pages(1), false)).rows);
    EXPECT_EQ("/tmp/velmarsh d 700 65534", Out("find /tmp/velmarsh -printf '%p %y %m %U\\n'"));
}

// Overlapping jobs keep each other's files: job 1 encodes slowly, jobs 2 and
// 3 start meanwhile, and every page of every job arrives intact. Job 3 must
// also remove its own leftovers: a black "blank back side" planted under its id.
TEST_F(Filter, OverlappingJobsKeepEachOthersFiles)
{
    const std::string slow = FakeEncoderPath("/tmp/t/slow", "sleep 0.15; exec /usr/bin/pbmtojbg \"$@\"");
    std::vector<std::vector<TestPage>> pages(3);
    for (int j = 0; j < 3; j++) {
        for (int p = 0; p < (j == 2 ? 3 : 5); p++)
            pages[j].push_back(PatternPage(320 + 8 * j, 160, (uint32_t)(1000 * j + p)));
        ASSERT_TRUE(WriteRasterFile("/tmp/t/job" + std::to_string(j) + ".ras", pages[j]));
    }
    for (int trial = 0; trial < 2; trial++) {
        std::vector<StartedFilter> jobs;
        for (int j = 0; j < 3; j++) {
            if (j == 1)  // after job 1's start: a black blank back side for job 3 (336 x 160)
                WriteFile("/tmp/velmarsh/" + std::to_string(10 * trial + 3) + "_4_gs.pbm",
                          "P4\n336 160\n" + std::string(6720, '\xff'));
            FilterOptions o = Job(j == 2 ? "sides=two-sided-long-edge" : "");
            o.args[0] = std::to_string(10 * trial + j + 1);
            o.input = "/tmp/t/job" + std::to_string(j) + ".ras";
            o.env = {{"PATH", j ? std::string(getenv("PATH")) : slow}};
            jobs.push_back(StartFilter(o));
            ASSERT_TRUE(j > 0 || WaitForLog(jobs[0], "INFO: Printing page 1"));
        }
        for (int j = 0; j < 3; j++) {
            SCOPED_TRACE("trial " + std::to_string(trial) + " job " + std::to_string(j + 1));
            FilterRun r = WaitFilter(jobs[j]);
            ASSERT_EQ(0, r.status) << r.err.substr(0, 3000);
            EXPECT_EQ(j > 0 ? 1u : 0u, Count(r.err, "is in use by another job"));
            EXPECT_EQ(ExpectedOrder(0, j == 2, (int)pages[j].size(), 1),
                      ReadStream(r.out, DecodedPageNamer(pages[j], false)).rows);
        }
    }
}

// Every mode (collation in both spellings, either two-sided mode, copies) decodes back to the input pages in the
// printer's order; A5 fed long edge first turns every page by -90 and is never two-sided; a page cut short comes
// out with white lines. The encoder runs once per printed side whatever the copies and finds only its own side's
// work files (each side's go as soon as its JBIG data is loaded). The project's encoder writes what jbigkit's does.
TEST_F(Filter, EveryModeDecodesToItsPagesInOrder)
{
    const std::string path =
        FakeEncoderPath("/tmp/t/enc", "echo $(LC_ALL=C ls /tmp/velmarsh) >> /tmp/t/runs; exec /usr/bin/pbmtojbg \"$@\"");
    struct Case { std::string options, copies; int pages; bool turned; std::vector<Row> want; size_t cut; };
    std::vector<Case> cases;
    const char* collated[] = {"", "Collate ", "multiple-document-handling=separate-documents-collated-copies "};
    const char* sides[] = {"", "sides=two-sided-long-edge", "sides=two-sided-short-edge"};
    for (int collate : {0, 1})
        for (int duplex : {0, 1})
            for (int copies : {1, 2})
                for (int pages : {1, 2, 3})
                    cases.push_back({collated[collate * (1 + pages % 2)] + std::string(sides[duplex * copies]),
                                     std::to_string(copies), pages, false,
                                     ExpectedOrder(collate, duplex, pages, copies), 0});
    cases.push_back({"PageSize=A5 FeedEdge=1 sides=two-sided-long-edge", "1", 3, true, ExpectedOrder(0, 0, 3, 1), 0});
    cases.push_back({"PageSize=A5 sides=two-sided-long-edge", "1", 1, false, ExpectedOrder(0, 1, 1, 1), 0});
    cases.push_back({"", "1", 2, false, ExpectedOrder(0, 0, 2, 1), 10 * 26});  // page 2: 26 bytes a line
    for (const Case& c : cases) {
        SCOPED_TRACE(c.options + " copies " + c.copies + " pages " + std::to_string(c.pages));
        std::vector<TestPage> pages = Pages(c.pages);
        ASSERT_TRUE(WriteRasterFile("/tmp/t/in.ras", pages, c.cut));
        std::fill(pages.back().bits.end() - (long)c.cut, pages.back().bits.end(), 0);
        Sh("rm -f /tmp/t/runs");
        FilterOptions o = Job(c.options, c.copies);
        o.env = {{"PATH", path}};
        FilterRun r = RunFilter(o);
        ASSERT_EQ(0, r.status) << r.err;
        ReadJob job = ReadStream(r.out, DecodedPageNamer(pages, c.turned));
        EXPECT_EQ("", job.error);
        EXPECT_EQ(c.want, job.rows);
        std::string runs;  // side i's files: its PBM, and the turned PBM of an A5 page fed long edge first
        for (int i = 1; i <= c.pages + (c.want.back().page == "B"); i++) {
            const std::string id = "42_" + std::to_string(i);
            runs += id + "_gs.pbm" + (c.turned ? " " + id + "_gs_rotated.pbm\n" : "\n");
        }
        EXPECT_EQ(runs, ReadFile("/tmp/t/runs"));
        EXPECT_EQ("", WorkFiles());
        if (c.pages == 3 && c.copies == "2") {
            o.env = {{"PATH", FZ_BINARY_DIR "/encoder:/usr/bin:/bin"}};
            EXPECT_TRUE(r.out == RunFilter(o).out) << "the project's encoder differs";
        }
    }
}

// Bad input, failing encoders and failing output end the job cleanly: the
// status, one ERROR line saying why, complete records only, no work files.
TEST_F(Filter, BadInputAndFailuresEndCleanly)
{
    const std::string cannot = "ERROR: Raster page 1 cannot be printed: ", encoder = "ERROR: JBIG encoder pbmtojbg ";
    auto Page = [](int bytesPerLine = 38, int bitsPerPixel = 1, int width = 300, int height = 200) {
        TestPage p = PatternPage(300, 200, 1);
        return p.bytesPerLine = bytesPerLine, p.bitsPerPixel = bitsPerPixel, p.width = width, p.height = height, p;
    };
    // encoder: nullptr jbigkit's, "" none on PATH, else a fake's shell body; out: where the printer stream goes.
    struct Case { const char* what; std::vector<TestPage> pages; const char* encoder; std::string setup, options, out;
                  int status; std::string line; int records; /* -1: any */ } cases[] = {
        {"8 bits per pixel", {Page(300, 8)}, nullptr, "", "", "", 1, cannot + "8 bits per pixel", 0},
        {"zero height", {Page(38, 1, 300, 0)}, nullptr, "", "", "", 0, "DEBUG: First page header is null", 0},
        {"line too short", {Page(10)}, nullptr, "", "", "", 1, cannot + "10 bytes per line do not match", 0},
        {"line too long", {Page(50)}, nullptr, "", "", "", 1, cannot + "50 bytes per line do not match", 0},
        {"huge page", {Page(125000, 1, 1000000, 1000000)}, nullptr, "", "", "", 1,
         cannot + "page of 125000000000 bytes is larger", 0},
        {"huge height", {Page(38, 1, 300, (int)4000000000u)}, nullptr, "", "", "", 1, cannot + "page size out of range", 0},
        {"bad second page", {Page(), Page(300, 8)}, nullptr, "", "", "", 255, "ERROR: Raster page 2 cannot be printed", 1},
        {"garbage", {}, nullptr, "head -c 5000 /dev/zero | tr '\\0' Z > /tmp/t/in.ras", "", "", 0,
         "DEBUG: First page header is null", 0},
        {"encoder missing", {Page()}, "", "", "", "", 255, encoder + "not found on PATH (page 1)", 0},
        {"encoder fails on page 2", {Page(), Page()}, "/usr/bin/pbmtojbg \"$@\"; case ${15} in *_2_gs.pbm) exit 1;; esac",
         "", "", "", 255, encoder + "failed with exit status 1 (page 2)", 1},
        {"encoder killed", {Page()}, "kill -9 $$", "", "", "", 255, encoder + "was killed by signal 9 (page 1)", 0},
        {"encoder writes nothing", {Page()}, "exit 0", "", "", "", 255,
         "ERROR: cannot open JBIG file /tmp/velmarsh/42-1.jbg", 0},
        {"pages over 4 MB", {Page(), Page(), Page()}, "head -c 5000000 /dev/urandom > \"${16}\"", "",
         "sides=two-sided-long-edge", "", 0, "DEBUG: page 3 jbg file size: 5000000 ", 4},
        {"work directory full", {PatternPage(2000, 2000, 1)}, nullptr,
         "mkdir -m 0700 /tmp/velmarsh && mount -t tmpfs -o size=64k,mode=0700 tmpfs /tmp/velmarsh", "", "", 255,
         "ERROR: page 1: cannot write work file /tmp/velmarsh/42_1_gs.pbm", 0},
        {"printer stream to a full device", {Page()}, nullptr, "", "", "/dev/full", 1,
         "ERROR: Writing the printer stream failed", -1},
        {"auth file a FIFO", {Page()}, nullptr, "mkdir /tmp/auth && mkfifo /tmp/auth/auth_config", "", "", 0,
         "DEBUG: auth_file is not a regular file!", 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Sh("umount /tmp/velmarsh 2>/dev/null; rm -rf /tmp/velmarsh /tmp/auth");
        ASSERT_TRUE(WriteRasterFile("/tmp/t/in.ras", c.pages));
        Sh(c.setup.empty() ? "true" : c.setup);
        FilterOptions o = Job(c.options);
        o.stdoutTo = c.out;
        if (c.encoder)
            o.env = {{"PATH", *c.encoder ? FakeEncoderPath("/tmp/t/enc", c.encoder) : "/tmp/t/none"}};
        FilterRun r = RunFilter(o, 60);
        EXPECT_EQ(c.status, r.status) << r.err.substr(0, 3000);
        EXPECT_EQ(1u, Count(r.err, c.line)) << r.err.substr(0, 3000);
        EXPECT_EQ(c.status ? 1u : 0u, Lines(r.err, "ERROR: "));
        ReadJob job = ReadStream(r.out, DecodedPageNamer(c.pages, false));
        EXPECT_EQ("", job.error);
        EXPECT_TRUE(c.records < 0 || job.rows.size() == (size_t)c.records) << job.rows.size();
        EXPECT_EQ("", WorkFiles());
    }
}

// SIGTERM to the process group (CUPS cancelling) at several moments: the job
// ends with status 0 as if the page in progress were its last, with complete
// records and no work files. The raster comes through a FIFO, `fed` bytes of
// it before the signal; a slow encoder holds the job at one page.
TEST_F(Filter, CancellationEndsWithCompleteRecords)
{
    const std::vector<TestPage> pages = Pages(3);
    ASSERT_TRUE(WriteRasterFile("/tmp/t/job.ras", pages));
    const std::string raster = ReadFile("/tmp/t/job.ras");
    auto at = [&](int page, size_t extra) {  // the bytes before raster page `page`, plus `extra`
        for (int i = 0; i + 1 < page; i++)
            extra += 1796 + pages[i].bits.size();
        return 4 + extra;
    };
    const size_t all = raster.size();
    // `slow`: the work file whose encoding takes a while, if any; `printed`: the pages the job ends with.
    struct Case {
        const char *what, *options; int copies; size_t fed; const char* slow; std::string waitFor; int terms, printed;
    };
    const Case cases[] = {
        {"during start-up", "", 1, 0, nullptr, "BuildJobParams:", 1, 0},
        {"during capture of page 1", "", 2, at(1, 1796 + 1000), nullptr, "INFO: Printing page 1", 1, 1},
        {"while a front side is held", "sides=two-sided-long-edge", 1, all, "_2_gs.pbm", "42_2_gs.pbm]", 1, 2},
        {"looking ahead after a front side", "sides=two-sided-long-edge", 1, at(2, 0), nullptr, "DEBUG: Page 1 read", 1, 1},
        {"during the blank back side", "sides=two-sided-long-edge", 2, all, "_4_gs.pbm", "DEBUG: extra file", 1, 3},
        {"twice in a row", "", 1, at(1, 1796 + 10), nullptr, "INFO: Printing page 1", 2, 1},
    };
    signal(SIGPIPE, SIG_IGN);
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Sh("rm -rf /tmp/velmarsh /tmp/t/fifo && mkfifo /tmp/t/fifo");
        FilterOptions o = Job(c.options, std::to_string(c.copies));
        o.input = "/tmp/t/fifo";
        if (c.slow)
            o.env = {{"PATH", FakeEncoderPath("/tmp/t/enc", std::string("case ${15} in *") + c.slow +
                                                                ") sleep 0.5;; esac; exec /usr/bin/pbmtojbg \"$@\"")}};
        StartedFilter s = StartFilter(o);
        const int fifo = open("/tmp/t/fifo", O_WRONLY);
        ASSERT_EQ((ssize_t)c.fed, write(fifo, raster.data(), c.fed));
        if (c.fed == all)
            close(fifo);  // the end of input tells page 3 is the last
        ASSERT_TRUE(WaitForLog(s, c.waitFor)) << ReadFile(s.errPath);
        for (int i = 0; i < c.terms; i++, usleep(50000))
            kill(-s.pid, SIGTERM);
        if (c.fed < all) {
            (void)!write(fifo, raster.data() + c.fed, all - c.fed);  // it may stop reading early
            close(fifo);
        }
        FilterRun r = WaitFilter(s);
        EXPECT_EQ(0, r.status) << r.err;
        EXPECT_EQ((size_t)c.terms, Count(r.err, "DEBUG: 捕获SIGTERM信号,终止中\n"));
        EXPECT_EQ(0u, Count(r.err, "INFO: Printing page " + std::to_string(c.printed + 1)));
        ReadJob job = ReadStream(r.out, DecodedPageNamer(pages, false));
        EXPECT_EQ("", job.error);
        EXPECT_FALSE(job.params.empty());
        EXPECT_EQ(c.printed ? ExpectedOrder(0, *c.options != 0, c.printed, c.copies) : std::vector<Row>{}, job.rows);
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

} // namespace
