// The job benchmark: how much a whole filter job costs next to the bare JBIG
// encoder it runs.
//
// It makes its own pages (text set by ghostscript, a halftoned photo
// rendered by ghostscript, an error-diffused photo, a blank page) at A4 600
// and 1200 dpi and A5 600 dpi, writes each as a PBM and as a CUPS raster
// job, and then, round after round and interleaved, times
//   (a) the encoder with the filter's fixed command line on the PBM the
//       filter itself hands it (the turned image for A5 with FeedEdge 1), and
//   (b) the filter on a raster job of the same page: one-sided, two-sided
//       (two pages), copies 3.
// It prints per-page medians and the ratio filter / encoder, compares the
// project's own encoder with the system's when it has been built, and
// measures the filter's peak resident memory for 1-, 10- and 100-page jobs.
//
// The filter works in /tmp/velmarsh, so the driver always runs inside a
// private mount namespace with its own /tmp (tests/private_tmp.sh); it
// re-executes itself there when started outside one.
#include <algorithm>
#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cups/raster.h>
#include <fcntl.h>
#include <string>
#include <spawn.h>
#include <sys/ptrace.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include "bench/raster_header.h"
#include "image/image.h"

namespace {

const char* kBenchDir = "/tmp/fzbench";
const char* kPrivateEnv = "FZ_BENCH_PRIVATE_TMP";

// ---------------------------------------------------------------- options

struct Options {
    bool smoke = false;
    int runs = 5;
    bool with1200 = true;
    bool variants1200 = false;  // two-sided and copies 3 also at 1200 dpi
    std::vector<int> rssPages = {1, 10, 100};
    std::string filter = FZ_FILTER_BIN;
    std::string ppd = std::string(FZ_SOURCE_DIR) + "/ppd/fiskor_zembrulan.ppd";
    std::string systemEncoder;
    std::string projectEncoder;
    bool noProject = false;
};

void Usage(const char* argv0)
{
    fprintf(stderr,
            "usage: %s [--smoke] [--runs N] [--no-1200] [--variants-1200] [--rss-pages 1,10,100]\n"
            "          [--filter PATH] [--ppd PATH] [--system-encoder PATH] [--project-encoder PATH]\n"
            "          [--no-project-encoder]\n",
            argv0);
}

bool ParseInt(const char* s, int* out)
{
    char* end = nullptr;
    errno = 0;
    long v = strtol(s, &end, 10);
    if (errno || end == s || *end || v < 1 || v > 100000)
        return false;
    *out = (int)v;
    return true;
}

bool ParseOptions(int argc, char** argv, Options* o)
{
    for (int i = 1; i < argc; i++) {
        std::string a = argv[i];
        bool hasValue = i + 1 < argc;
        if (a == "--smoke") {
            o->smoke = true;
        } else if (a == "--runs" && hasValue) {
            if (!ParseInt(argv[++i], &o->runs))
                return false;
        } else if (a == "--no-1200") {
            o->with1200 = false;
        } else if (a == "--variants-1200") {
            o->variants1200 = true;
        } else if (a == "--rss-pages" && hasValue) {
            o->rssPages.clear();
            std::string list = argv[++i];
            size_t start = 0;
            while (start <= list.size()) {
                size_t comma = list.find(',', start);
                std::string item = list.substr(start, comma == std::string::npos ? std::string::npos : comma - start);
                int n = 0;
                if (!ParseInt(item.c_str(), &n))
                    return false;
                o->rssPages.push_back(n);
                if (comma == std::string::npos)
                    break;
                start = comma + 1;
            }
        } else if (a == "--filter" && hasValue) {
            o->filter = argv[++i];
        } else if (a == "--ppd" && hasValue) {
            o->ppd = argv[++i];
        } else if (a == "--system-encoder" && hasValue) {
            o->systemEncoder = argv[++i];
        } else if (a == "--project-encoder" && hasValue) {
            o->projectEncoder = argv[++i];
        } else if (a == "--no-project-encoder") {
            o->noProject = true;
        } else {
            return false;
        }
    }
    if (o->smoke) {
        o->runs = 1;
        o->with1200 = false;
        o->variants1200 = false;
        o->rssPages = {1, 3};
    }
    return true;
}

bool IsExecutable(const std::string& p) { return !p.empty() && access(p.c_str(), X_OK) == 0; }

// ---------------------------------------------------------------- processes

double Now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

// Waits for a child, retrying on EINTR. Returns the wait status or -1.
// `cpu` (optional) receives the user and system time of the child and of
// every descendant it waited for.
int WaitChild(pid_t pid, double* cpu = nullptr)
{
    int st = 0;
    struct rusage ru;
    memset(&ru, 0, sizeof ru);
    while (wait4(pid, &st, 0, &ru) < 0) {
        if (errno != EINTR)
            return -1;
    }
    if (cpu)
        *cpu = ru.ru_utime.tv_sec + ru.ru_utime.tv_usec * 1e-6 + ru.ru_stime.tv_sec + ru.ru_stime.tv_usec * 1e-6;
    return st;
}

bool Redirect(const char* path, int flags, int target)
{
    int fd = open(path, flags, 0644);
    if (fd < 0)
        return false;
    if (fd != target) {
        if (dup2(fd, target) < 0)
            return false;
        close(fd);
    }
    return true;
}

// A NULL-terminated array of the strings' texts, for exec and spawn.
std::vector<char*> CStrings(const std::vector<std::string>& v)
{
    std::vector<char*> out;
    for (const std::string& x : v)
        out.push_back(const_cast<char*>(x.c_str()));
    out.push_back(nullptr);
    return out;
}

struct Spawn {
    std::vector<std::string> argv;
    std::vector<std::string> env;  // empty: inherit
    std::string in = "/dev/null";
    int inFd = -1;  // used instead of `in` when >= 0
    std::string out = "/dev/null";
    std::string err = "/dev/null";
    bool trace = false;  // stop at exit to read the peak resident memory
};

struct SpawnResult {
    int status = -1;      // wait status, -1 when not started
    double seconds = 0;   // wall clock
    double cpu = 0;       // user + system, the child and its descendants
    long peakKiB = -1;    // VmHWM at exit when traced
};

long ReadVmHWM(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/status", (int)pid);
    FILE* f = fopen(path, "r");
    if (!f)
        return -1;
    char line[256];
    long kib = -1;
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, "VmHWM:", 6) == 0) {
            kib = strtol(line + 6, nullptr, 10);
            break;
        }
    }
    fclose(f);
    return kib;
}

[[noreturn]] void ExecChild(const Spawn& s)
{
    bool ok = s.inFd >= 0 ? dup2(s.inFd, STDIN_FILENO) >= 0 : Redirect(s.in.c_str(), O_RDONLY, STDIN_FILENO);
    ok = ok && Redirect(s.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, STDOUT_FILENO);
    ok = ok && Redirect(s.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, STDERR_FILENO);
    if (!ok)
        _exit(126);
    std::vector<char*> av = CStrings(s.argv), ev = CStrings(s.env);
    if (s.trace) {
        if (ptrace(PTRACE_TRACEME, 0, nullptr, nullptr) != 0)
            _exit(125);
        raise(SIGSTOP);
    }
    if (s.env.empty())
        execv(s.argv[0].c_str(), av.data());
    else
        execve(s.argv[0].c_str(), av.data(), ev.data());
    _exit(127);
}

// Follows a traced child to its end; reads VmHWM when it stops on its way
// out (PTRACE_EVENT_EXIT comes before its memory is released). Signals the
// child receives, such as SIGCHLD from its encoder, are passed on.
int FollowTraced(pid_t pid, long* peakKiB)
{
    int st = WaitChild(pid);
    if (st < 0 || !WIFSTOPPED(st))
        return st;
    if (ptrace(PTRACE_SETOPTIONS, pid, nullptr, (void*)(long)(PTRACE_O_TRACEEXIT | PTRACE_O_TRACEEXEC)) != 0) {
        kill(pid, SIGKILL);
        return WaitChild(pid);
    }
    ptrace(PTRACE_CONT, pid, nullptr, nullptr);
    for (;;) {
        st = WaitChild(pid);
        if (st < 0 || WIFEXITED(st) || WIFSIGNALED(st))
            return st;
        if (!WIFSTOPPED(st))
            continue;
        int sig = WSTOPSIG(st);
        int event = st >> 16;
        long deliver = 0;
        if (sig == SIGTRAP && event == PTRACE_EVENT_EXIT)
            *peakKiB = ReadVmHWM(pid);
        else if (!(sig == SIGTRAP && event != 0))
            deliver = sig;
        ptrace(PTRACE_CONT, pid, nullptr, (void*)deliver);
    }
}

// Starts an untraced child with posix_spawn, which does not copy this
// process's (large) memory map the way fork does, so every timed command
// pays the same small start-up cost. Returns the pid or -1.
pid_t SpawnUntraced(const Spawn& s)
{
    posix_spawn_file_actions_t fa;
    if (posix_spawn_file_actions_init(&fa) != 0)
        return -1;
    bool ok = (s.inFd >= 0 ? posix_spawn_file_actions_adddup2(&fa, s.inFd, STDIN_FILENO)
                           : posix_spawn_file_actions_addopen(&fa, STDIN_FILENO, s.in.c_str(), O_RDONLY, 0)) == 0;
    ok = ok && posix_spawn_file_actions_addopen(&fa, STDOUT_FILENO, s.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                                0644) == 0;
    ok = ok && posix_spawn_file_actions_addopen(&fa, STDERR_FILENO, s.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                                0644) == 0;
    std::vector<char*> av = CStrings(s.argv), ev = CStrings(s.env);
    pid_t pid = -1;
    if (ok) {
        int rc = posix_spawn(&pid, s.argv[0].c_str(), &fa, nullptr, av.data(), s.env.empty() ? environ : ev.data());
        if (rc != 0) {
            fprintf(stderr, "bench: cannot start %s: %s\n", s.argv[0].c_str(), strerror(rc));
            pid = -1;
        }
    }
    posix_spawn_file_actions_destroy(&fa);
    return pid;
}

SpawnResult Run(const Spawn& s)
{
    SpawnResult r;
    fflush(stdout);
    fflush(stderr);
    double t0 = Now();
    if (!s.trace) {
        pid_t pid = SpawnUntraced(s);
        if (pid < 0)
            return r;
        r.status = WaitChild(pid, &r.cpu);
        r.seconds = Now() - t0;
        return r;
    }
    pid_t pid = fork();
    if (pid < 0) {
        fprintf(stderr, "bench: fork failed: %s\n", strerror(errno));
        return r;
    }
    if (pid == 0)
        ExecChild(s);
    r.status = FollowTraced(pid, &r.peakKiB);
    r.seconds = Now() - t0;
    return r;
}

bool Succeeded(const SpawnResult& r) { return r.status >= 0 && WIFEXITED(r.status) && WEXITSTATUS(r.status) == 0; }

std::string Describe(const SpawnResult& r)
{
    char buf[64];
    if (r.status < 0)
        return "not started";
    if (WIFEXITED(r.status))
        snprintf(buf, sizeof buf, "exit status %d", WEXITSTATUS(r.status));
    else if (WIFSIGNALED(r.status))
        snprintf(buf, sizeof buf, "killed by signal %d", WTERMSIG(r.status));
    else
        snprintf(buf, sizeof buf, "wait status %d", r.status);
    return buf;
}

// ---------------------------------------------------------------- files

bool ReadWhole(const std::string& path, std::string* out)
{
    FILE* f = fopen(path.c_str(), "rb");
    if (!f)
        return false;
    out->clear();
    char buf[65536];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0)
        out->append(buf, n);
    bool ok = !ferror(f);
    fclose(f);
    return ok;
}

bool WriteWhole(const std::string& path, const void* data, size_t len)
{
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(data, 1, len, f) == len;
    if (fclose(f) != 0)
        ok = false;
    return ok;
}

// ---------------------------------------------------------------- pages

struct Bitmap {
    int width = 0, height = 0;
    std::vector<uint8_t> bits;  // stride (width + 7) / 8, 1 = black
};

size_t Stride(int w) { return ((size_t)w + 7) / 8; }

// Reads a P4 PBM with comment lines in its header.
bool ReadPbm(const std::string& path, Bitmap* b)
{
    std::string s;
    if (!ReadWhole(path, &s) || s.size() < 2 || s[0] != 'P' || s[1] != '4')
        return false;
    size_t p = 2;
    long vals[2];
    for (long& v : vals) {
        for (;;) {
            while (p < s.size() && isspace((unsigned char)s[p]))
                p++;
            if (p < s.size() && s[p] == '#') {
                while (p < s.size() && s[p] != '\n')
                    p++;
                continue;
            }
            break;
        }
        size_t start = p;
        v = 0;
        while (p < s.size() && isdigit((unsigned char)s[p]) && v < 1000000)
            v = v * 10 + (s[p++] - '0');
        if (p == start || v < 1 || v >= 1000000)
            return false;
    }
    p++;  // the single whitespace before the raster
    b->width = (int)vals[0];
    b->height = (int)vals[1];
    size_t need = Stride(b->width) * (size_t)b->height;
    if (s.size() < p + need)
        return false;
    b->bits.assign(s.begin() + (long)p, s.begin() + (long)(p + need));
    return true;
}

bool WritePbm(const std::string& path, const Bitmap& b)
{
    char head[64];
    int n = snprintf(head, sizeof head, "P4\n%d %d\n", b.width, b.height);
    FILE* f = fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = fwrite(head, 1, (size_t)n, f) == (size_t)n && fwrite(b.bits.data(), 1, b.bits.size(), f) == b.bits.size();
    if (fclose(f) != 0)
        ok = false;
    return ok;
}

// Writes `copies` pages of the bitmap as one CUPS raster stream.
bool WriteRaster(int fd, const Bitmap& b, int dpi, int copies)
{
    cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE);
    if (!ras)
        return false;
    bool ok = true;
    for (int i = 0; i < copies && ok; i++) {
        cups_page_header2_t h = OneBitPageHeader(b.width, b.height, dpi);
        ok = cupsRasterWriteHeader2(ras, &h) &&
             cupsRasterWritePixels(ras, const_cast<uint8_t*>(b.bits.data()), (unsigned)b.bits.size()) ==
                 b.bits.size();
    }
    cupsRasterClose(ras);
    return ok;
}

bool WriteRasterFile(const std::string& path, const Bitmap& b, int dpi, int pages)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    bool ok = WriteRaster(fd, b, dpi, pages);
    if (close(fd) != 0)
        ok = false;
    return ok;
}

// Body text in several sizes with headings, set by ghostscript's own fonts.
const char* kTextPs = R"PS(%!PS
/pw currentpagedevice /PageSize get 0 get def
/ph currentpagedevice /PageSize get 1 get def
/seed 11 def
/rand { seed 75 mul 74 add 65537 mod dup /seed exch def } def
/words [ (the) (printer) (receives) (each) (page) (as) (compressed) (stripes) (of) (lines;) (copies)
  (and) (two-sided) (pairs) (are) (repeated) (by) (filter) (itself,) (with) (a) (blank) (back) (side)
  (after) (an) (odd) (last) (page.) (Resolution) (600) (1200) (dpi,) (paper) (size) (A4) (or) (A5)
  (feed) (edge) (turned) (quarter) (turn) (counterclockwise.) (Job) (parameters:) (tray,) (media)
  (type,) (border,) (document) (name,) (user) (host) (authentication) (identity.) (In) (this) (section)
  (we) (describe) (how) (records) (written) (order) (which) (prints) (them) (from) (end) (to) (end.) ] def
/m 42 def
/body /Times-Roman findfont 9.5 scalefont def
/small /Courier findfont 8 scalefont def
/head /Helvetica-Bold findfont 13 scalefont def
/y ph m sub 14 sub def
/n 0 def
{
  y m lt { exit } if
  n 23 mod 0 eq {
    head setfont m y moveto (4.2  Copy, collate and duplex sequencing of page records) show
    /y y 19 sub def
  } {
    n 23 mod 17 gt { small } { body } ifelse setfont
    m y moveto
    { currentpoint pop pw m sub 45 sub gt { exit } if
      words rand words length mod get show ( ) show } loop
    /y y 11.4 sub def
  } ifelse
  /n n 1 add def
} loop
showpage
)PS";

// Lightness (1 = white) of a synthetic photograph at (u, v) in [0,1]^2:
// a graded sky, a sun, hills with texture and a dark object in front.
double Photo(double u, double v)
{
    double horizon = 0.55 + 0.08 * sin(6.0 * u) + 0.03 * sin(17.0 * u + 1.0);
    double l;
    if (v < horizon) {
        l = 0.55 + 0.4 * v;
        double d = hypot(u - 0.72, (v - 0.22) * 1.3);
        l += 0.5 * exp(-d * d / 0.006);
    } else {
        double depth = (v - horizon) / (1.0 - horizon + 1e-9);
        l = 0.55 - 0.35 * depth + 0.12 * sin(55.0 * u + 9.0 * v) * sin(23.0 * v - 4.0 * u);
    }
    double e = ((u - 0.3) * (u - 0.3)) / 0.012 + ((v - 0.74) * (v - 0.74)) / 0.02;
    l = l * (1.0 - 0.85 * exp(-e * e));
    return std::min(1.0, std::max(0.0, l));
}

// The photograph as an 8-bit image that ghostscript renders with its
// halftone screen.
std::string HalftonePs(int aspectW, int aspectH)
{
    const int sw = 640;
    const int sh = (int)((double)sw * aspectH / aspectW);
    std::string ps = "%!PS\n/pw currentpagedevice /PageSize get 0 get def\n"
                     "/ph currentpagedevice /PageSize get 1 get def\n"
                     "36 36 translate pw 72 sub ph 72 sub scale\n/DeviceGray setcolorspace\n";
    char line[160];
    snprintf(line, sizeof line, "%d %d 8 [%d 0 0 %d 0 %d] currentfile /ASCIIHexDecode filter image\n", sw, sh, sw,
             -sh, sh);
    ps += line;
    static const char hex[] = "0123456789abcdef";
    for (int y = 0; y < sh; y++) {
        for (int x = 0; x < sw; x++) {
            int g = (int)lround(255.0 * Photo((x + 0.5) / sw, (y + 0.5) / sh));
            ps += hex[g >> 4];
            ps += hex[g & 15];
        }
        ps += '\n';
    }
    ps += ">\nshowpage\n";
    return ps;
}

bool RunGhostscript(const std::string& psText, const std::string& name, int w, int h, int dpi, Bitmap* out)
{
    std::string ps = std::string(kBenchDir) + "/" + name + ".ps";
    std::string pbm = std::string(kBenchDir) + "/" + name + ".gs.pbm";
    if (!WriteWhole(ps, psText.data(), psText.size()))
        return false;
    Spawn s;
    s.argv = {"/usr/bin/gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pbmraw",
              "-r" + std::to_string(dpi), "-g" + std::to_string(w) + "x" + std::to_string(h),
              "-sOutputFile=" + pbm, ps};
    s.err = std::string(kBenchDir) + "/gs.err";
    SpawnResult r = Run(s);
    if (!Succeeded(r)) {
        fprintf(stderr, "bench: ghostscript failed for %s (%s); see %s\n", name.c_str(), Describe(r).c_str(),
                s.err.c_str());
        return false;
    }
    if (!ReadPbm(pbm, out) || out->width != w || out->height != h) {
        fprintf(stderr, "bench: ghostscript made no %dx%d PBM for %s\n", w, h, name.c_str());
        return false;
    }
    unlink(pbm.c_str());
    unlink(ps.c_str());
    return true;
}

// Floyd-Steinberg error diffusion of the photograph at full resolution,
// with a little grain so no area is perfectly periodic. The photograph is
// sampled on a coarse grid and interpolated.
Bitmap ErrorDiffused(int w, int h)
{
    Bitmap b;
    b.width = w;
    b.height = h;
    size_t stride = Stride(w);
    b.bits.assign(stride * (size_t)h, 0);
    const int gw = 400, gh = (int)(400.0 * h / w);
    std::vector<float> grid((size_t)(gw + 1) * (gh + 1));
    for (int y = 0; y <= gh; y++)
        for (int x = 0; x <= gw; x++)
            grid[(size_t)y * (gw + 1) + x] = (float)(1.0 - Photo((double)x / gw, (double)y / gh));
    std::vector<float> cur(w + 2, 0.f), next(w + 2, 0.f);
    uint32_t seed = 5;
    for (int y = 0; y < h; y++) {
        float gy = (float)y * gh / h;
        int y0 = std::min((int)gy, gh - 1);
        float fy = gy - y0;
        const float* r0 = &grid[(size_t)y0 * (gw + 1)];
        const float* r1 = r0 + gw + 1;
        uint8_t* row = &b.bits[(size_t)y * stride];
        for (int x = 0; x < w; x++) {
            float gx = (float)x * gw / w;
            int x0 = std::min((int)gx, gw - 1);
            float fx = gx - x0;
            float dark = (r0[x0] * (1 - fx) + r0[x0 + 1] * fx) * (1 - fy) + (r1[x0] * (1 - fx) + r1[x0 + 1] * fx) * fy;
            seed = seed * 1664525u + 1013904223u;
            dark += ((float)(seed >> 24) - 127.5f) * (0.04f / 128.f);
            float v = dark + cur[x + 1];
            float q = v >= 0.5f ? 1.f : 0.f;
            if (q > 0)
                row[x / 8] |= (uint8_t)(0x80 >> (x % 8));
            float e = v - q;
            cur[x + 2] += e * (7.f / 16);
            next[x] += e * (3.f / 16);
            next[x + 1] += e * (5.f / 16);
            next[x + 2] += e * (1.f / 16);
        }
        cur.swap(next);
        std::fill(next.begin(), next.end(), 0.f);
    }
    return b;
}

Bitmap Blank(int w, int h)
{
    Bitmap b;
    b.width = w;
    b.height = h;
    b.bits.assign(Stride(w) * (size_t)h, 0);
    return b;
}

double Density(const Bitmap& b)
{
    uint64_t ones = 0;
    for (uint8_t c : b.bits)
        ones += (uint64_t)__builtin_popcount(c);
    return (double)ones / ((double)b.width * b.height);
}

// ---------------------------------------------------------------- the plan

struct Size {
    const char* name;
    int width, height, dpi;
    const char* options;  // the job's option text
    bool a5l;             // turned by -90 before encoding
};

const Size kA4At600 = {"A4 600", 4958, 7016, 600, "PageSize=A4 Resolution=600dpi", false};
const Size kA4At1200 = {"A4 1200", 9917, 14033, 1200, "PageSize=A4 Resolution=1200dpi", false};
const Size kA5At600 = {"A5 600 FeedEdge=1", 3500, 4958, 600, "PageSize=A5 Resolution=600dpi FeedEdge=1", true};

struct Page {
    std::string kind;
    Size size;
    bool variants = false;  // also two-sided and copies 3
    bool multi = false;     // also a ten-page job (start-up spread over the pages)
    std::string id;         // file name stem
    std::string pbm;        // the encoder's input: what the filter encodes
    int encW = 0, encH = 0;
    std::string raster1, raster2, raster10;  // one page, two pages, ten pages
    uint64_t rasterBytes = 0;
    double density = 0;
    long jbigBytes = -1;
    Bitmap image;  // the raster page as captured (before any turn)
};

struct Encoder {
    std::string label;  // "system" or "project"
    std::string target; // the real program
    std::string dir;    // directory put first on PATH for the filter
    std::string link;   // dir + "/pbmtojbg"
};

bool MakePage(const std::string& kind, const Size& size, Page* p)
{
    p->kind = kind;
    p->size = size;
    p->id = kind + "_" + std::to_string(size.width) + "x" + std::to_string(size.height);
    Bitmap b;
    if (kind == "text") {
        if (!RunGhostscript(kTextPs, p->id, size.width, size.height, size.dpi, &b))
            return false;
    } else if (kind == "halftone") {
        if (!RunGhostscript(HalftonePs(size.width, size.height), p->id, size.width, size.height, size.dpi, &b))
            return false;
    } else if (kind == "errdiff") {
        b = ErrorDiffused(size.width, size.height);
    } else {
        b = Blank(size.width, size.height);
    }
    p->density = Density(b);
    p->image = b;
    p->rasterBytes = b.bits.size();
    std::string base = std::string(kBenchDir) + "/" + p->id;
    p->raster1 = base + ".ras";
    p->raster2 = base + ".2.ras";
    p->raster10 = base + ".10.ras";
    if (!WriteRasterFile(p->raster1, b, size.dpi, 1) ||
        (p->variants && !WriteRasterFile(p->raster2, b, size.dpi, 2)) ||
        (p->multi && !WriteRasterFile(p->raster10, b, size.dpi, 10))) {
        fprintf(stderr, "bench: cannot write the raster of %s\n", p->id.c_str());
        return false;
    }
    Bitmap enc = b;
    if (size.a5l) {
        enc.width = b.height;
        enc.height = b.width;
        enc.bits.assign(Stride(enc.width) * (size_t)enc.height, 0);
        RotateBitsReference(b.bits.data(), b.width, b.height, -90, enc.bits.data());
    }
    p->encW = enc.width;
    p->encH = enc.height;
    p->pbm = base + ".pbm";
    if (!WritePbm(p->pbm, enc)) {
        fprintf(stderr, "bench: cannot write %s\n", p->pbm.c_str());
        return false;
    }
    return true;
}

std::vector<std::string> FilterEnv(const Options& o, const Encoder& e)
{
    return {"PATH=" + e.dir + ":/usr/local/sbin:/usr/local/bin:/usr/sbin:/usr/bin:/sbin:/bin", "PPD=" + o.ppd,
            "LANG=C", "HOME=/tmp"};
}

// The encoder exactly as the filter runs it, without the shell.
SpawnResult RunEncoder(const Encoder& e, const Page& p, const std::string& out)
{
    Spawn s;
    s.argv = {e.link, "-q", "-x", std::to_string(p.encW), "-y", std::to_string(p.encH), "-r", "-s", "128",
              "-o", "0", "-p", "8", "-m", "0", p.pbm, out};
    s.err = std::string(kBenchDir) + "/encoder.err";
    return Run(s);
}

SpawnResult RunFilter(const Options& o, const Encoder& e, const std::string& raster, const std::string& options,
                      const std::string& copies, bool trace = false, int inFd = -1)
{
    Spawn s;
    s.argv = {o.filter, "1", "bench", "bench job", copies, options};
    s.env = FilterEnv(o, e);
    s.in = raster;
    s.inFd = inFd;
    s.err = std::string(kBenchDir) + "/filter.err";
    s.trace = trace;
    return Run(s);
}

double Median(std::vector<double> v)
{
    if (v.empty())
        return NAN;
    std::sort(v.begin(), v.end());
    size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

enum Job { kOneSided, kTwoSided, kCopies3, kTenPages, kJobCount };
const char* kJobNames[kJobCount] = {"one-sided", "two-sided, 2 pages", "copies 3", "10 pages"};
// Encoder runs a job makes of the page.
const int kEncodesPerJob[kJobCount] = {1, 2, 1, 10};

struct Timings {
    std::vector<double> encoder, encoderCpu;
    std::vector<double> filter[kJobCount], filterCpu[kJobCount];
};

// ---------------------------------------------------------------- machine

std::string CpuModel()
{
    FILE* f = fopen("/proc/cpuinfo", "r");
    if (!f)
        return "unknown";
    char line[512];
    std::string model = "unknown";
    while (fgets(line, sizeof line, f)) {
        if (strncmp(line, "model name", 10) == 0) {
            const char* colon = strchr(line, ':');
            if (colon) {
                model = colon + 1;
                while (!model.empty() && isspace((unsigned char)model.front()))
                    model.erase(0, 1);
                while (!model.empty() && isspace((unsigned char)model.back()))
                    model.pop_back();
            }
            break;
        }
    }
    fclose(f);
    return model;
}

// ---------------------------------------------------------------- main parts

bool SetUpEncoder(const std::string& label, const std::string& target, Encoder* e)
{
    e->label = label;
    e->target = target;
    e->dir = std::string(kBenchDir) + "/enc-" + label;
    e->link = e->dir + "/pbmtojbg";
    if (mkdir(e->dir.c_str(), 0755) != 0 && errno != EEXIST)
        return false;
    unlink(e->link.c_str());
    return symlink(target.c_str(), e->link.c_str()) == 0;
}

std::string FindSystemEncoder(const std::string& project)
{
    if (IsExecutable("/usr/bin/pbmtojbg"))
        return "/usr/bin/pbmtojbg";
    const char* path = getenv("PATH");
    std::string p = path ? path : "";
    size_t start = 0;
    while (start <= p.size()) {
        size_t colon = p.find(':', start);
        std::string dir = p.substr(start, colon == std::string::npos ? std::string::npos : colon - start);
        std::string cand = dir + "/pbmtojbg";
        if (!dir.empty() && IsExecutable(cand) && cand != project)
            return cand;
        if (colon == std::string::npos)
            break;
        start = colon + 1;
    }
    return "";
}

std::string FindProjectEncoder()
{
    for (const std::string& c : {std::string(FZ_BINARY_DIR) + "/encoder/pbmtojbg",
                                 std::string(FZ_SOURCE_DIR) + "/build/encoder/pbmtojbg"})
        if (IsExecutable(c))
            return c;
    return "";
}

// Peak resident memory of the filter on a job of `pages` copies of the
// page, streamed through a pipe so no raster file of that size is needed.
bool MeasurePeak(const Options& o, const Encoder& e, const Page& p, const Bitmap& b, int pages, long* peakKiB,
                 double* seconds)
{
    int fds[2];
    if (pipe(fds) != 0)
        return false;
    fflush(stdout);
    pid_t writer = fork();
    if (writer < 0) {
        close(fds[0]);
        close(fds[1]);
        return false;
    }
    if (writer == 0) {
        close(fds[0]);
        signal(SIGPIPE, SIG_IGN);
        bool ok = WriteRaster(fds[1], b, p.size.dpi, pages);
        close(fds[1]);
        _exit(ok ? 0 : 1);
    }
    close(fds[1]);
    SpawnResult r = RunFilter(o, e, "", p.size.options, "1", true, fds[0]);
    close(fds[0]);
    int ws = WaitChild(writer);
    *peakKiB = r.peakKiB;
    *seconds = r.seconds;
    if (!Succeeded(r) || ws < 0 || !WIFEXITED(ws) || WEXITSTATUS(ws) != 0) {
        fprintf(stderr, "bench: %d-page job failed: filter %s\n", pages, Describe(r).c_str());
        return false;
    }
    if (r.peakKiB < 0) {
        fprintf(stderr, "bench: could not read the filter's peak memory (ptrace refused?)\n");
        return false;
    }
    return true;
}

bool SameFile(const std::string& a, const std::string& b)
{
    std::string x, y;
    return ReadWhole(a, &x) && ReadWhole(b, &y) && x == y;
}

long FileSize(const std::string& path)
{
    struct stat st;
    return stat(path.c_str(), &st) == 0 ? (long)st.st_size : -1;
}

int RunBenchmark(const Options& o)
{
    bool failed = false;
    if (mkdir(kBenchDir, 0755) != 0 && errno != EEXIST) {
        fprintf(stderr, "bench: cannot create %s: %s\n", kBenchDir, strerror(errno));
        return 1;
    }
    if (!IsExecutable(o.filter)) {
        fprintf(stderr, "bench: no filter at %s\n", o.filter.c_str());
        return 1;
    }
    std::string projectPath = o.noProject ? "" : (o.projectEncoder.empty() ? FindProjectEncoder() : o.projectEncoder);
    std::string systemPath = o.systemEncoder.empty() ? FindSystemEncoder(projectPath) : o.systemEncoder;
    std::vector<Encoder> encoders;
    if (!systemPath.empty()) {
        Encoder e;
        if (!SetUpEncoder("system", systemPath, &e))
            return 1;
        encoders.push_back(e);
    }
    if (!projectPath.empty()) {
        if (!IsExecutable(projectPath)) {
            fprintf(stderr, "bench: project encoder %s is not executable\n", projectPath.c_str());
            return 1;
        }
        Encoder e;
        if (!SetUpEncoder("project", projectPath, &e))
            return 1;
        encoders.push_back(e);
    }
    if (encoders.empty()) {
        fprintf(stderr, "bench: no pbmtojbg found (Debian package jbigkit-bin)\n");
        return 1;
    }

    // The pages.
    std::vector<Page> pages;
    std::vector<std::pair<const char*, Size>> plan;
    const char* kinds[] = {"text", "halftone", "errdiff", "blank"};
    if (o.smoke) {
        plan = {{"text", kA5At600}, {"blank", kA5At600}};
    } else {
        for (const char* k : kinds)
            plan.push_back({k, kA4At600});
        if (o.with1200)
            for (const char* k : kinds)
                plan.push_back({k, kA4At1200});
        for (const char* k : kinds)
            plan.push_back({k, kA5At600});
    }
    double t0 = Now();
    for (auto& item : plan) {
        Page p;
        // Two-sided and copies 3 on A4 600 (and 1200 when asked). A5 with
        // FeedEdge 1 is always one-sided (two-sided is switched off for it);
        // the smoke run takes copies 3 there.
        p.variants = !item.second.a5l && (item.second.dpi == 600 || o.variants1200);
        // The per-page cost of a real job: ten pages, so the filter's fixed
        // start-up (loading libcups and its libraries, reading the PPD) is
        // spread as it is in practice.
        p.multi = !o.smoke && item.second.dpi == 600;
        if (!MakePage(item.first, item.second, &p))
            return 1;
        pages.push_back(p);
    }
    printf("pages made in %.1f s\n", Now() - t0);
    fflush(stdout);

    // Timed rounds: encoder and filter jobs of each page, one after another.
    std::vector<std::vector<Timings>> t(encoders.size(), std::vector<Timings>(pages.size()));
    std::vector<std::vector<int>> identical(encoders.size(), std::vector<int>(pages.size(), -1));
    t0 = Now();
    for (int r = 0; r < o.runs; r++) {
        for (size_t pi = 0; pi < pages.size(); pi++) {
            Page& p = pages[pi];
            for (size_t ei = 0; ei < encoders.size(); ei++) {
                const Encoder& e = encoders[ei];
                std::string out = std::string(kBenchDir) + "/" + p.id + "." + e.label + ".jbg";
                SpawnResult er = RunEncoder(e, p, out);
                if (!Succeeded(er)) {
                    fprintf(stderr, "bench: %s encoder failed on %s: %s\n", e.label.c_str(), p.id.c_str(),
                            Describe(er).c_str());
                    return 1;
                }
                t[ei][pi].encoder.push_back(er.seconds);
                t[ei][pi].encoderCpu.push_back(er.cpu);
                for (int j = 0; j < kJobCount; j++) {
                    bool wanted = j == kOneSided || (j == kTenPages ? p.multi : (p.variants || (o.smoke && j == kCopies3)));
                    if (!wanted)
                        continue;
                    const std::string& raster = j == kTwoSided ? p.raster2 : j == kTenPages ? p.raster10 : p.raster1;
                    std::string options = p.size.options;
                    if (j == kTwoSided)
                        options += " Duplex=DuplexNoTumble";
                    SpawnResult fr = RunFilter(o, e, raster, options, j == kCopies3 ? "3" : "1");
                    if (!Succeeded(fr)) {
                        fprintf(stderr, "bench: filter failed on %s (%s, %s encoder): %s; see %s/filter.err\n",
                                p.id.c_str(), kJobNames[j], e.label.c_str(), Describe(fr).c_str(), kBenchDir);
                        return 1;
                    }
                    t[ei][pi].filter[j].push_back(fr.seconds);
                    t[ei][pi].filterCpu[j].push_back(fr.cpu);
                    // The filter must have encoded exactly what the bare
                    // encoder did, or the two times measure different work.
                    if (r == 0 && j == kOneSided) {
                        bool same = SameFile("/tmp/velmarsh/1-1.jbg", out);
                        if (!same) {
                            fprintf(stderr, "bench: the filter's JBIG of %s differs from the bare encoder's\n",
                                    p.id.c_str());
                            failed = true;
                        }
                    }
                }
                if (r == 0) {
                    p.jbigBytes = FileSize(std::string(kBenchDir) + "/" + p.id + "." + encoders[0].label + ".jbg");
                    if (ei > 0)
                        identical[ei][pi] = SameFile(out, std::string(kBenchDir) + "/" + p.id + "." +
                                                              encoders[0].label + ".jbg");
                }
            }
        }
        fprintf(stderr, "round %d of %d done (%.0f s)\n", r + 1, o.runs, Now() - t0);
    }

    // Report.
    printf("\nmachine: %ld CPUs online, %s\n", sysconf(_SC_NPROCESSORS_ONLN), CpuModel().c_str());
    for (const Encoder& e : encoders)
        printf("encoder %-7s: %s\n", e.label.c_str(), e.target.c_str());
    printf("runs: %d per measurement, interleaved; times are medians in ms\n", o.runs);
    printf("ratio = filter job / (bare encoder x encodes per job), from wall-clock medians and from CPU-time\n"
           "medians (user + system of the process and its children: steadier on a loaded machine);\n"
           "target 1.05 for the 600 dpi A4 text page, 1.03 otherwise\n\n");
    printf("| encoder | page | size | density | JBIG bytes | job | encoder ms | filter ms | ratio | "
           "encoder CPU ms | filter CPU ms | CPU ratio | target | met (wall / CPU) |\n");
    printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (size_t ei = 0; ei < encoders.size(); ei++) {
        for (size_t pi = 0; pi < pages.size(); pi++) {
            const Page& p = pages[pi];
            const Timings& tm = t[ei][pi];
            double enc = Median(tm.encoder) * 1000, encCpu = Median(tm.encoderCpu) * 1000;
            for (int j = 0; j < kJobCount; j++) {
                if (tm.filter[j].empty())
                    continue;
                double fil = Median(tm.filter[j]) * 1000, filCpu = Median(tm.filterCpu[j]) * 1000;
                double ratio = fil / (enc * kEncodesPerJob[j]);
                double cpuRatio = filCpu / (encCpu * kEncodesPerJob[j]);
                double target = (p.kind == "text" && p.size.dpi == 600 && !p.size.a5l) ? 1.05 : 1.03;
                printf("| %s | %s | %s | %.3f | %ld | %s | %.1f | %.1f | %.3f | %.1f | %.1f | %.3f | %.2f | %s / %s |\n",
                       encoders[ei].label.c_str(), p.kind.c_str(), p.size.name, p.density, p.jbigBytes,
                       kJobNames[j], enc, fil, ratio, encCpu, filCpu, cpuRatio, target, ratio <= target ? "yes" : "NO",
                       cpuRatio <= target ? "yes" : "NO");
            }
        }
    }
    if (encoders.size() > 1) {
        printf("\n| page | size | system encoder ms | project encoder ms | speed-up | identical bytes |\n");
        printf("|---|---|---|---|---|---|\n");
        for (size_t pi = 0; pi < pages.size(); pi++) {
            double a = Median(t[0][pi].encoder) * 1000, b = Median(t[1][pi].encoder) * 1000;
            printf("| %s | %s | %.1f | %.1f | %.2fx | %s |\n", pages[pi].kind.c_str(), pages[pi].size.name, a, b,
                   a / b, identical[1][pi] == 1 ? "yes" : "NO");
            if (identical[1][pi] != 1)
                failed = true;
        }
    }

    // Peak memory: jobs of 1, 10, 100 copies of the first text page.
    const Page* rssPage = nullptr;
    for (const Page& p : pages)
        if (p.kind == "text") {
            rssPage = &p;
            break;
        }
    if (rssPage && !o.rssPages.empty()) {
        const Bitmap& b = rssPage->image;
        const Encoder& e = encoders.back();
        printf("\npeak resident memory of the filter (VmHWM at exit), one-sided jobs of the %s page %s, %s encoder\n",
               rssPage->kind.c_str(), rssPage->size.name, e.label.c_str());
        long budget = (long)((rssPage->rasterBytes + (uint64_t)std::max(0L, rssPage->jbigBytes) + 2 * 4194304ull) / 1024) +
                      4 * 1024;
        printf("budget for one page: raster %llu + JBIG %ld + Buff1/Buff2 2 x 4194304 bytes + 4 MiB = %ld KiB\n\n",
               (unsigned long long)rssPage->rasterBytes, rssPage->jbigBytes, budget);
        printf("| pages | peak KiB | growth over 1 page KiB | job s |\n|---|---|---|---|\n");
        long first = -1;
        for (int n : o.rssPages) {
            long kib = -1;
            double secs = 0;
            if (!MeasurePeak(o, e, *rssPage, b, n, &kib, &secs)) {
                failed = true;
                continue;
            }
            if (first < 0)
                first = kib;
            printf("| %d | %ld | %ld | %.1f |\n", n, kib, kib - first, secs);
            fflush(stdout);
        }
        if (first >= 0)
            printf("\none page within budget: %s\n", first <= budget ? "yes" : "NO");
    }
    if (failed)
        fprintf(stderr, "bench: FAILED (see the messages above)\n");
    return failed ? 1 : 0;
}

// Re-runs this program inside a private /tmp unless it already is in one.
int EnterPrivateTmp(int argc, char** argv)
{
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        fprintf(stderr, "bench: cannot find my own path\n");
        return 1;
    }
    self[n] = '\0';
    std::string wrapper = std::string(FZ_SOURCE_DIR) + "/tests/private_tmp.sh";
    // The build directory (filter, encoder) stays reachable in the private
    // /tmp, wherever it is; the checkout always does.
    std::string keep = FZ_BINARY_DIR;
    std::vector<char*> av;
    av.push_back(const_cast<char*>(wrapper.c_str()));
    av.push_back(const_cast<char*>("--keep"));
    av.push_back(const_cast<char*>(keep.c_str()));
    av.push_back(self);
    for (int i = 1; i < argc; i++)
        av.push_back(argv[i]);
    av.push_back(nullptr);
    setenv(kPrivateEnv, "1", 1);
    execv(wrapper.c_str(), av.data());
    fprintf(stderr, "bench: cannot run %s: %s\n", wrapper.c_str(), strerror(errno));
    return 1;
}

} // namespace

int main(int argc, char** argv)
{
    Options o;
    if (!ParseOptions(argc, argv, &o)) {
        Usage(argv[0]);
        return 2;
    }
    const char* priv = getenv(kPrivateEnv);
    if (!priv || strcmp(priv, "1") != 0)
        return EnterPrivateTmp(argc, argv);
    setvbuf(stdout, nullptr, _IOLBF, 0);
    return RunBenchmark(o);
}
