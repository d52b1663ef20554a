// The PDF renderer: real ghostscript on documents made here, and fake
// ghostscript scripts for what the real one will not do on demand.
#include "app/pdf.h"
#include "testutil.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <csignal>
#include <cmath>
#include <cstdlib>
#include <dirent.h>
#include <filesystem>
#include <grp.h>
#include <fcntl.h>
#include <map>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

struct Box {
    int x0 = INT_MAX, y0 = INT_MAX, x1 = -1, y1 = -1;  // black pixels, inclusive, from the top left
    bool Empty() const { return x1 < 0; }
};

struct GotPage {
    int width = 0, height = 0;
    Box box;
    std::vector<uint8_t> rows;  // kept only when asked
};

Box BlackBox(const uint8_t* rows, int width, int height)
{
    Box b;
    const size_t stride = ((size_t)width + 7) / 8;
    for (int y = 0; y < height; y++) {
        const uint8_t* row = rows + stride * y;
        size_t first = 0;
        while (first < stride && row[first] == 0)
            first++;
        if (first == stride)
            continue;
        size_t last = stride - 1;
        while (row[last] == 0)
            last--;
        int x0 = (int)first * 8, x1 = (int)last * 8 + 7;
        while (!(row[x0 / 8] & (0x80 >> (x0 % 8))))
            x0++;
        while (!(row[x1 / 8] & (0x80 >> (x1 % 8))))
            x1--;
        b.x0 = std::min(b.x0, x0);
        b.x1 = std::max(b.x1, x1);
        b.y0 = std::min(b.y0, y);
        b.y1 = y;
    }
    return b;
}

struct Outcome {
    int result = 0;
    std::string why;
    std::vector<GotPage> pages;
    double seconds = 0;
};

Outcome Render(const std::string& path, int dpi, double wPt, double hPt, const PdfRenderLimits& limits = {},
               int stopAfter = -1, bool keepRows = false)
{
    Outcome r;
    const auto start = std::chrono::steady_clock::now();
    r.result = RenderPdf(
        path.c_str(), dpi, wPt, hPt,
        [&](const uint8_t* rows, int width, int height) {
            GotPage p;
            p.width = width;
            p.height = height;
            p.box = BlackBox(rows, width, height);
            if (keepRows)
                p.rows.assign(rows, rows + ((size_t)width + 7) / 8 * height);
            r.pages.push_back(std::move(p));
            return stopAfter < 0 || (int)r.pages.size() < stopAfter;
        },
        &r.why, limits);
    r.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return r;
}

// Sheets and pages in points.
constexpr double kA4W = 210 / 25.4 * 72, kA4H = 297 / 25.4 * 72;
constexpr double kA5W = 148 / 25.4 * 72, kA5H = 210 / 25.4 * 72;

std::string g_dir;  // this suite's files, readable by the unprivileged user

std::string Sh(const std::string& cmd)
{
    const int st = std::system(cmd.c_str());
    return st == 0 ? "" : "command failed (" + std::to_string(st) + "): " + cmd;
}

// A document of `pages` pages of wPt x hPt points; page i has one black
// 1-inch square at (72 + 36 i, 72) points from its lower left corner.
std::string MakePdf(const std::string& name, double wPt, double hPt, int pages)
{
    std::ostringstream ps;
    ps << "%!PS\n<< /PageSize [" << wPt << " " << hPt << "] >> setpagedevice\n";
    for (int i = 0; i < pages; i++)
        ps << (72 + 36 * i) << " 72 72 72 rectfill showpage\n";
    const std::string psPath = g_dir + "/" + name + ".ps", pdf = g_dir + "/" + name + ".pdf";
    EXPECT_TRUE(WriteFile(psPath, ps.str()));
    EXPECT_EQ("", Sh(std::string(FZ_SOURCE_DIR) + "/scripts/make_pdf.sh " + psPath + " " + pdf));
    return pdf;
}

std::string Write(const std::string& name, const std::string& data, mode_t mode = 0644)
{
    const std::string path = g_dir + "/" + name;
    EXPECT_TRUE(WriteFile(path, data));
    EXPECT_EQ(0, chmod(path.c_str(), mode));
    return path;
}

// A fake ghostscript: a shell script with this body.
std::string FakeGs(const std::string& name, const std::string& body)
{
    return Write(name, "#!/bin/sh\n" + body + "\n", 0755);
}

int OpenFds()
{
    auto it = std::filesystem::directory_iterator("/proc/self/fd");
    return (int)std::distance(begin(it), end(it));
}

// Waits up to two seconds (a killed group dies asynchronously) for no
// process's command line to hold `marker` (a fake's path).
bool NoProcessesWith(const std::string& marker)
{
    for (int i = 0; i < 200; i++, usleep(10000)) {
        bool found = false;
        for (const auto& e : std::filesystem::directory_iterator("/proc"))
            found |= isdigit(e.path().filename().string()[0]) &&
                     ReadFile(e.path().string() + "/cmdline").find(marker) != std::string::npos;
        if (!found)
            return true;
    }
    return false;
}

// The user the child must run as.
uid_t ExpectedUid(gid_t* gid)
{
    struct passwd* pw = getpwnam("lp") ? getpwnam("lp") : getpwnam("nobody");
    EXPECT_TRUE(geteuid() != 0 || pw != nullptr) << "no lp or nobody user";
    *gid = geteuid() != 0 || !pw ? getegid() : pw->pw_gid;
    return geteuid() != 0 || !pw ? geteuid() : pw->pw_uid;
}

class AppPdf : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        char tmpl[] = "/tmp/apppdf-XXXXXX";
        ASSERT_NE(nullptr, mkdtemp(tmpl));
        g_dir = tmpl;
        ASSERT_EQ(0, chmod(tmpl, 0755));
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(g_dir); }
    // Every case: no descriptor left open, no child left uncollected.
    void SetUp() override { fdsBefore = OpenFds(); }
    void TearDown() override
    {
        EXPECT_EQ(fdsBefore, OpenFds()) << "descriptors leaked";
        errno = 0;
        EXPECT_EQ(-1, waitpid(-1, nullptr, WNOHANG)) << "a child is left";
        EXPECT_EQ(ECHILD, errno);
    }
    int fdsBefore = 0;
};

// Page count, page size, and where each page's square lands: the page is
// scaled to the sheet by the smaller of the two ratios and centred.
TEST_F(AppPdf, PagesFitTheSheet)
{
    const struct {
        double pageW, pageH, sheetW, sheetH;
        int dpi, pages, width, height;  // the sheet in pixels
    } cases[] = {
        {kA4W, kA4H, kA4W, kA4H, 600, 3, 4961, 7016}, {kA4W, kA4H, kA4W, kA4H, 1200, 2, 9921, 14031},
        {kA5W, kA5H, kA5W, kA5H, 600, 1, 3496, 4961}, {kA4W, kA4H, kA5W, kA5H, 600, 1, 3496, 4961},
        {612, 792, kA4W, kA4H, 600, 1, 4961, 7016},
    };
    for (const auto& c : cases) {
        const Outcome r = Render(MakePdf("size", c.pageW, c.pageH, c.pages), c.dpi, c.sheetW, c.sheetH);
        ASSERT_EQ(c.pages, r.result) << r.why;
        ASSERT_EQ((size_t)c.pages, r.pages.size());
        const double s = std::min(c.sheetW / c.pageW, c.sheetH / c.pageH), px = c.dpi / 72.0;
        const double offX = (c.sheetW - c.pageW * s) / 2, offY = (c.sheetH - c.pageH * s) / 2;
        for (int i = 0; i < c.pages; i++) {
            const GotPage& p = r.pages[i];
            SCOPED_TRACE(std::to_string(c.width) + " wide, page " + std::to_string(i + 1));
            EXPECT_EQ(std::make_pair(c.width, c.height), std::make_pair(p.width, p.height));
            EXPECT_NEAR((offX + (72 + 36 * i) * s) * px, p.box.x0, 2);
            EXPECT_NEAR((offX + (144 + 36 * i) * s) * px - 1, p.box.x1, 2);
            EXPECT_NEAR(c.height - (offY + 144 * s) * px, p.box.y0, 2);
            EXPECT_NEAR(c.height - (offY + 72 * s) * px - 1, p.box.y1, 2);
        }
    }
}

// A landscape page on a portrait sheet is turned, not shrunk: its square
// stays one inch.
TEST_F(AppPdf, LandscapePageIsTurnedToFit)
{
    const std::string pdf = MakePdf("landscape", kA4H, kA4W, 1);
    const Outcome r = Render(pdf, 600, kA4W, kA4H);
    ASSERT_EQ(1, r.result) << r.why;
    EXPECT_EQ(4961, r.pages[0].width);
    EXPECT_EQ(7016, r.pages[0].height);
    EXPECT_NEAR(600, r.pages[0].box.x1 - r.pages[0].box.x0 + 1, 3);
    EXPECT_NEAR(600, r.pages[0].box.y1 - r.pages[0].box.y0 + 1, 3);
}

// Documents with no page to print fail, with a printable reason.
TEST_F(AppPdf, DocumentsWithoutPagesFail)
{
    std::string noise;
    for (uint32_t i = 0, x = 12345; i < 65536; i++, x = x * 1103515245 + 12345)
        noise += (char)(x >> 24);
    // Cut inside the first page's content, before any page object.
    const std::string whole = ReadFile(MakePdf("whole", kA4W, kA4H, 1));
    const size_t stream = whole.find("stream");
    ASSERT_NE(std::string::npos, whole.find("/Type/Page", stream)) << "page objects come after the content";
    const std::string docs[] = {
        noise,
        "",
        whole.substr(0, stream + 10),
        "%PDF-1.4\n1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n2 0 obj\n<< /Type /Pages /Kids [] /Count 0 "
        ">>\nendobj\ntrailer\n<< /Root 1 0 R >>\n%%EOF\n",
        "%!PS\n{ 1 pop } loop\n",  // never ends if run: the document is read as PDF only
    };
    PdfRenderLimits limits;
    limits.seconds = 20;
    for (const auto& doc : docs) {
        const Outcome r = Render(Write("bad.pdf", doc), 600, kA4W, kA4H, limits);
        EXPECT_EQ(-1, r.result) << doc.substr(0, 20);
        EXPECT_TRUE(r.pages.empty());
        EXPECT_NE(std::string::npos, r.why.find("no pages")) << r.why;
        for (char ch : r.why)
            EXPECT_TRUE(ch >= 0x20 && ch < 0x7f) << r.why;
    }
}

// The sink says stop after the first of three pages: ghostscript is ended
// and collected (the fixture checks), nothing more arrives. Too little
// address space and ghostscript fails, with memory in the reason.
TEST_F(AppPdf, SinkStopAndMemoryLimitEndTheRendering)
{
    PdfRenderLimits small;
    small.memoryBytes = size_t(16) << 20;
    const Outcome stopped = Render(MakePdf("stop", kA4W, kA4H, 3), 600, kA4W, kA4H, {}, 1);
    EXPECT_EQ(-1, stopped.result);
    EXPECT_EQ(1u, stopped.pages.size());
    EXPECT_NE(std::string::npos, stopped.why.find("stopped after page 1")) << stopped.why;
    const Outcome starved = Render(MakePdf("memory", kA4W, kA4H, 1), 600, kA4W, kA4H, small);
    EXPECT_EQ(-1, starved.result);
    EXPECT_NE(std::string::npos, starved.why.find("memory")) << starved.why;
}

// A document only its owner may read (a root-owned spool file) still
// renders when ghostscript runs as the unprivileged user.
TEST_F(AppPdf, DocumentTheUnprivilegedUserCannotRead)
{
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root";
    const std::string pdf = MakePdf("private", kA4W, kA4H, 2);
    const std::string dir = g_dir + "/private";
    ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
    const std::string moved = dir + "/doc.pdf";
    ASSERT_EQ(0, rename(pdf.c_str(), moved.c_str()));
    ASSERT_EQ(0, chmod(moved.c_str(), 0600));
    const Outcome r = Render(moved, 600, kA4W, kA4H);
    ASSERT_EQ(2, r.result) << r.why;
    EXPECT_NEAR(300, r.pages[1].box.x0 - r.pages[0].box.x0, 3);  // the second square is half an inch further right
}

std::string Bytes(size_t n, char c = '\xA5') { return std::string(n, c); }

// The page stream as ghostscript's stand-in writes it, then its exit.
TEST_F(AppPdf, PageStreamIsParsed)
{
    const struct {
        std::string output;  // what the fake writes as its pages
        int status, result;  // its exit status, RenderPdf's
        const char* why;     // part of the reason
        std::vector<std::pair<int, int>> sizes;
    } cases[] = {
        {std::string(
             "P4\r\n# made by hand\r\n16 # width\n2\n\x01\x80\xff\x7eP4 8 1#ends here\n\x5a\n\nP4\n9\t1\n\xc0\x80"),
         0,
         3,
         "",
         {{16, 2}, {8, 1}, {9, 1}}},
        {"", 0, -1, "no pages: fake says hello", {}},
        {"P4\n16 16\n" + Bytes(10), 0, -1, "ended inside page 1", {}},
        {"P4\n8 2\n\x11\x22P4\n8 8\n" + Bytes(3), 0, -1, "ended inside page 2", {{8, 2}}},
        {"P4\n8 2\n\x11\x22", 2, -1, "failed (exit status 2): fake says", {{8, 2}}},
        {"P1\n1 1\n1\n", 0, -1, "not a binary PBM", {}},
        {"%!PS-Adobe\n", 0, -1, "not a PBM image", {}},
        {"P4\n0 5\n", 0, -1, "bad PBM header", {}},
        {"P4\n65536 65536\n", 0, -1, "too large (65536 x 65536", {}},
        {"P4\n99999999999 1\n", 0, -1, "absurd page size", {}},
        {"P4\n#" + Bytes(5000, 'x'), 0, -1, "overlong PBM header", {}},
        {"P4\n8 1\n\x01garbage", 0, -1, "page 2 is not a PBM image", {{8, 1}}},
    };
    PdfRenderLimits limits;
    limits.seconds = 20;
    const std::string doc = Write("fake.pdf", "%PDF-1.4\n");
    for (const auto& c : cases) {
        const std::string fake = FakeGs("out.gs", "echo 'fake says hello' >&2\ncat '" + Write("gs.out", c.output) +
                                                      "'\nexit " + std::to_string(c.status));
        limits.ghostscript = fake.c_str();
        const Outcome r = Render(doc, 600, kA4W, kA4H, limits, -1, true);
        EXPECT_EQ(c.result, r.result) << r.why;
        EXPECT_NE(std::string::npos, r.why.find(c.why)) << r.why;
        ASSERT_EQ(c.sizes.size(), r.pages.size()) << c.why;
        // The rows handed on are the bytes after each header.
        for (size_t i = 0, at = 0; i < r.pages.size(); i++) {
            EXPECT_EQ(c.sizes[i], std::make_pair(r.pages[i].width, r.pages[i].height));
            at = c.output.find(std::string(r.pages[i].rows.begin(), r.pages[i].rows.end()), at);
            EXPECT_NE(std::string::npos, at) << "page " << i + 1 << " rows";
        }
    }
}

// How the child is started, as a fake ghostscript sees it: it prints one
// line of name=value words on its diagnostics and fails, so the line comes
// back in the reason.
struct ChildView {
    std::string fake, doc, why;
    std::map<std::string, std::string> f;
};

ChildView StartChild(const std::string& name, const std::string& report, bool privateDoc = false)
{
    ChildView v;
    v.fake = FakeGs("child_" + name, report + " >&2\nexit 1");
    v.doc = Write("child_" + name + ".pdf", "%PDF-1.4\n");
    if (privateDoc) {  // only its owner may read it
        const std::string dir = g_dir + "/private_" + name;
        EXPECT_EQ(0, mkdir(dir.c_str(), 0700));
        EXPECT_EQ(0, rename(v.doc.c_str(), (dir + "/doc.pdf").c_str()));
        v.doc = dir + "/doc.pdf";
        EXPECT_EQ(0, chmod(v.doc.c_str(), 0600));
    }
    // Neither the caller's supplementary groups, its environment nor a
    // descriptor it forgot to mark close-on-exec may follow the child.
    std::vector<gid_t> groups(NGROUPS_MAX);
    groups.resize(std::max(0, getgroups((int)groups.size(), groups.data())));
    const gid_t extra[] = {0, 4};
    EXPECT_TRUE(geteuid() != 0 || setgroups(2, extra) == 0);
    setenv("FZ_CANARY", "leaked", 1);
    setenv("GS_OPTIONS", "-dNOSAFER", 1);
    const int zero = open("/dev/zero", O_RDONLY | O_CLOEXEC);
    const int stray = fcntl(zero, F_DUPFD, 20);
    close(zero);
    EXPECT_LE(20, stray);
    PdfRenderLimits limits;
    limits.ghostscript = v.fake.c_str();
    limits.seconds = 7;
    limits.memoryBytes = size_t(300) << 20;
    const Outcome r = Render(v.doc, 600, kA4W, kA4H, limits);
    close(stray);
    EXPECT_TRUE(geteuid() != 0 || setgroups(groups.size(), groups.data()) == 0);
    unsetenv("FZ_CANARY");
    unsetenv("GS_OPTIONS");
    const std::string prefix = "ghostscript failed (exit status 1): ";
    EXPECT_EQ(0u, r.why.find(prefix)) << r.why;
    v.why = r.why;
    std::istringstream in(r.why.substr(std::min(prefix.size(), r.why.size())));
    for (std::string word; in >> word;)
        if (word.find('=') != std::string::npos)
            v.f[word.substr(0, word.find('='))] = word.substr(word.find('=') + 1);
    return v;
}

TEST_F(AppPdf, ChildRunsUnprivilegedConfinedAndClean)
{
    gid_t gid = 0;
    const std::string uid = std::to_string(ExpectedUid(&gid));
    auto f = StartChild("identity", "echo uid=$(id -u) gid=$(id -g) groups=$(id -G | tr ' ' ,)").f;
    EXPECT_EQ(uid, f["uid"]);
    EXPECT_EQ(std::to_string(gid), f["gid"]);
    EXPECT_TRUE(geteuid() != 0 || f["groups"] == std::to_string(gid)) << "supplementary groups: " << f["groups"];

    f = StartChild("limits", "echo as=$(ulimit -v) fsize=$(ulimit -f) core=$(ulimit -c) cpu=$(ulimit -t)").f;
    EXPECT_EQ((std::map<std::string, std::string>{
                  {"as", std::to_string(300 * 1024)}, {"fsize", "0"}, {"core", "0"}, {"cpu", "7"}}),
              f);
    f = StartChild("place", "echo cwd=$(pwd) pid=$$ pgid=$(cut -d' ' -f5 /proc/$$/stat) "
                            "nonewprivs=$(sed -n 's/^NoNewPrivs:[[:space:]]*//p' /proc/$$/status)")
            .f;
    EXPECT_EQ("/", f["cwd"]);
    EXPECT_EQ(f["pid"], f["pgid"]) << "its own process group";
    EXPECT_EQ("1", f["nonewprivs"]);
    f = StartChild("environment", "env | grep -v '^PWD=' | sort | tr '\\n' ' '").f;
    EXPECT_EQ((std::map<std::string, std::string>{
                  {"HOME", "/nonexistent"}, {"LC_ALL", "C"}, {"PATH", "/usr/bin:/bin"}, {"TMPDIR", "/nonexistent"}}),
              f);
}

// Only the child's own descriptors are open: /dev/null, the page and
// diagnostics pipes, and the document (a sealed copy when the child could
// not open it). The fake's script and the listing's own pipe (named as
// sub=pipe:[N]) are the shell's.
TEST_F(AppPdf, ChildHasOnlyItsDescriptors)
{
    for (bool privateDoc : {false, true}) {
        if (privateDoc && geteuid() != 0)
            GTEST_SKIP() << "needs root";
        const ChildView v = StartChild(
            privateDoc ? "fds_private" : "fds",
            "echo $(find /proc/$$/fd -mindepth 1 -printf '%f=%l '; printf sub=; readlink /proc/self/fd/1)", privateDoc);
        std::map<std::string, std::string> fds;
        for (const auto& [fd, target] : v.f)
            if (target != v.fake && fd != "sub" && target != v.f.at("sub"))
                fds[fd] = target;
        ASSERT_EQ(4u, fds.size()) << v.why;
        EXPECT_EQ("/dev/null", fds["0"]);
        EXPECT_EQ(0u, fds["1"].find("pipe:")) << v.why;
        EXPECT_EQ(0u, fds["2"].find("pipe:")) << v.why;
        EXPECT_NE(fds["1"], fds["2"]);
        EXPECT_EQ(privateDoc ? "/memfd:document" : v.doc, fds["3"].substr(0, privateDoc ? 15 : std::string::npos))
            << v.why;
    }
}

// A ghostscript that never finishes is stopped at the time limit, with
// everything it started.
TEST_F(AppPdf, TimeLimitStopsAHangingGhostscript)
{
    // Half a minute, in steps: long past the limit, but a renderer that
    // ignored its limit fails here instead of hanging.
    const std::string fake = FakeGs(
        "hang.gs", "wait30() { i=0; while [ $i -lt 30 ]; do sleep 1; i=$((i + 1)); done; }\n( wait30 ) &\nwait30");
    PdfRenderLimits limits;
    limits.ghostscript = fake.c_str();
    limits.seconds = 1;
    const Outcome r = Render(Write("hang.pdf", "%PDF-1.4\n"), 600, kA4W, kA4H, limits);
    EXPECT_EQ(-1, r.result);
    EXPECT_NE(std::string::npos, r.why.find("longer than 1 s")) << r.why;
    EXPECT_LT(r.seconds, 25) << "the limit did not end it";
    EXPECT_TRUE(NoProcessesWith(fake));
}

// Time in the sink is not ghostscript's: a slow receiver does not use up
// the limit.
TEST_F(AppPdf, TimeInTheSinkIsNotCounted)
{
    const std::string out = Write("slow.out", "P4\n8 1\n\x01P4\n8 1\n\x02P4\n8 1\n\x03");
    const std::string fake = FakeGs("slow.gs", "cat '" + out + "'");
    PdfRenderLimits limits;
    limits.ghostscript = fake.c_str();
    limits.seconds = 1;
    int pages = 0;
    std::string why;
    const int n = RenderPdf(
        Write("slow.pdf", "%PDF-1.4\n").c_str(), 600, kA4W, kA4H,
        [&](const uint8_t*, int, int) {
            usleep(400000);
            return ++pages > 0;
        },
        &why, limits);
    EXPECT_EQ(3, n) << why;
}

// A ghostscript that ends but leaves a process holding its output open:
// the rest of its group goes with it and its pages count.
TEST_F(AppPdf, LeftoverProcessesAreEnded)
{
    const std::string fake = FakeGs("leftover.gs", "( while :; do sleep 1; done ) &\nprintf 'P4\\n8 1\\n\\001'");
    PdfRenderLimits limits;
    limits.ghostscript = fake.c_str();
    limits.seconds = 20;
    const Outcome r = Render(Write("leftover.pdf", "%PDF-1.4\n"), 600, kA4W, kA4H, limits);
    EXPECT_EQ(1, r.result) << r.why;
    EXPECT_TRUE(NoProcessesWith(fake));
}

// A caller that ignores SIGCHLD has its children collected by the kernel:
// ghostscript's exit status is lost, which is a failure, reported at once.
TEST_F(AppPdf, ChildCollectedElsewhereIsAFailure)
{
    const std::string pdf = MakePdf("ignored", kA4W, kA4H, 1);
    struct sigaction ignore = {}, old = {};
    ignore.sa_handler = SIG_IGN;
    ASSERT_EQ(0, sigaction(SIGCHLD, &ignore, &old));
    PdfRenderLimits limits;
    limits.seconds = 20;
    const Outcome r = Render(pdf, 600, kA4W, kA4H, limits);
    ASSERT_EQ(0, sigaction(SIGCHLD, &old, nullptr));
    EXPECT_EQ(-1, r.result);
    EXPECT_NE(std::string::npos, r.why.find("collected elsewhere")) << r.why;
}

TEST_F(AppPdf, FailureToRunIsReported)
{
    ASSERT_EQ(0, mkdir((g_dir + "/rootonly").c_str(), 0700));
    const std::pair<std::string, const char*> cases[] = {
        {g_dir + "/no-such-gs", "no program"},
        {FakeGs("segv.gs", "kill -SEGV $$"), "killed by signal 11"},
        // Executable by root only: the unprivileged child cannot run it.
        {Write("rootonly/gs", "#!/bin/sh\nexit 0\n", 0700), "could not run the program: Permission denied"},
    };
    for (const auto& [program, reason] : cases) {
        if (program == cases[2].first && geteuid() != 0)
            GTEST_SKIP() << "needs root";
        PdfRenderLimits limits;
        limits.ghostscript = program.c_str();
        const Outcome r = Render(Write("start.pdf", "%PDF-1.4\n"), 600, kA4W, kA4H, limits);
        EXPECT_EQ(-1, r.result);
        EXPECT_NE(std::string::npos, r.why.find(reason)) << r.why;
    }
}

// Requests that cannot be rendered are refused before anything starts.
TEST_F(AppPdf, UnusableRequestsAreRefused)
{
    const std::string pdf = Write("request.pdf", "%PDF-1.4\n");
    struct {
        std::string path;
        int dpi;
        double w, h;
        const char* why;
    } cases[] = {
        {g_dir + "/none.pdf", 600, kA4W, kA4H, "cannot open the document"},
        {g_dir, 600, kA4W, kA4H, "not a regular file"},
        {pdf, 0, kA4W, kA4H, "resolution"},
        {pdf, 600, 0, kA4H, "sheet size"},
        {pdf, 600, kA4W, NAN, "sheet size"},
        {pdf, 9600, 14400, 14400, "too large"},
    };
    for (const auto& c : cases) {
        std::string why;
        int calls = 0;
        EXPECT_EQ(-1, RenderPdf(
                          c.path.c_str(), c.dpi, c.w, c.h, [&](const uint8_t*, int, int) { return ++calls > 0; }, &why))
            << c.why;
        EXPECT_NE(std::string::npos, why.find(c.why)) << why;
        EXPECT_EQ(0, calls);
    }
}

}  // namespace
