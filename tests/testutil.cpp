#include "tests/testutil.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <cups/raster.h>
#include <fcntl.h>
#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

TestPage PatternPage(int width, int height, uint32_t seed)
{
    TestPage p;
    p.width = width;
    p.height = height;
    p.bytesPerLine = (width + 7) / 8;
    p.bits.assign((size_t)p.bytesPerLine * height, 0);
    uint32_t x = seed * 2654435761u + 12345u;
    for (int y = 0; y < height; y++) {
        for (int b = 0; b < p.bytesPerLine; b++) {
            // Sparse "text" blocks plus a diagonal stripe, so pages compress
            // like real ones yet differ for each seed.
            x = x * 1103515245u + 12345u;
            uint8_t v = ((y / 16 + b / 4 + seed) % 5 == 0) ? (uint8_t)(x >> 16) : 0;
            if ((b * 8 + y + (int)seed) % 97 < 3)
                v |= 0x81;
            p.bits[(size_t)y * p.bytesPerLine + b] = v;
        }
        // Keep the padding bits of each row clear, as a real raster has.
        if (width % 8)
            p.bits[(size_t)y * p.bytesPerLine + p.bytesPerLine - 1] &= (uint8_t)(0xFF << (8 - width % 8));
    }
    return p;
}

bool WriteRasterFile(const std::string& path, const std::vector<TestPage>& pages, size_t truncateLast)
{
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0)
        return false;
    cups_raster_t* ras = cupsRasterOpen(fd, CUPS_RASTER_WRITE);
    if (!ras) {
        close(fd);
        return false;
    }
    bool ok = true;
    for (const TestPage& p : pages) {
        cups_page_header2_t h;
        memset(&h, 0, sizeof h);
        int bpl = p.bytesPerLine ? p.bytesPerLine : (p.width + 7) / 8;
        h.HWResolution[0] = h.HWResolution[1] = (unsigned)p.resolution;
        h.PageSize[0] = (unsigned)((int64_t)p.width * 72 / p.resolution);
        h.PageSize[1] = (unsigned)((uint64_t)(unsigned)p.height * 72 / p.resolution);
        h.cupsWidth = (unsigned)p.width;
        h.cupsHeight = (unsigned)p.height;
        h.cupsBitsPerColor = (unsigned)p.bitsPerPixel;
        h.cupsBitsPerPixel = (unsigned)p.bitsPerPixel;
        h.cupsBytesPerLine = (unsigned)bpl;
        h.cupsColorOrder = CUPS_ORDER_CHUNKED;
        h.cupsColorSpace = CUPS_CSPACE_K;
        h.NumCopies = 1;
        if (!cupsRasterWriteHeader2(ras, &h)) {
            ok = false;
            break;
        }
        size_t need = (size_t)bpl * (size_t)p.height;
        // A page may carry fewer bytes than its header announces (a stream
        // cut short, or a hostile header); write what there is.
        size_t have = std::min(p.bits.size(), need);
        if (have > 0 && cupsRasterWritePixels(ras, const_cast<uint8_t*>(p.bits.data()), (unsigned)have) != have)
            ok = false;
    }
    cupsRasterClose(ras);
    close(fd);
    if (ok && truncateLast > 0) {
        struct stat st;
        if (stat(path.c_str(), &st) != 0 || truncate(path.c_str(), st.st_size - (off_t)truncateLast) != 0)
            ok = false;
    }
    return ok;
}

std::string ReadFile(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

bool WriteFile(const std::string& path, const std::string& data)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
    return (bool)out;
}

StartedFilter StartFilter(const FilterOptions& o)
{
    static int counter = 0;
    StartedFilter s;
    std::string base = "/tmp/fzrun-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    s.outPath = base + ".out";
    s.errPath = base + ".err";
    std::string program = o.program.empty() ? FZ_FILTER_BIN : o.program;

    std::vector<std::string> args = o.wrapper;
    args.push_back(o.wrapper.empty() ? "fiskor_zembrulan" : program);
    if (!o.wrapper.empty())
        program = o.wrapper[0];
    args.insert(args.end(), o.args.begin(), o.args.end());

    pid_t pid = fork();
    if (pid == 0) {
        if (o.newProcessGroup)
            setpgid(0, 0);
        int in = open(o.input.empty() ? "/dev/null" : o.input.c_str(), O_RDONLY);
        int out = open(o.stdoutTo.empty() ? s.outPath.c_str() : o.stdoutTo.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                       0600);
        int err = open(s.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0)
            _exit(126);
        dup2(in, 0);
        dup2(out, 1);
        dup2(err, 2);
        if (o.closeStdout)
            close(1);
        for (const auto& kv : o.env) {
            if (kv.second == "\x01unset")
                unsetenv(kv.first.c_str());
            else
                setenv(kv.first.c_str(), kv.second.c_str(), 1);
        }
        if (o.uid >= 0 && (setgid((gid_t)o.uid) != 0 || setuid((uid_t)o.uid) != 0))
            _exit(125);
        signal(SIGTERM, SIG_DFL);
        signal(SIGPIPE, SIG_DFL);
        std::vector<char*> argv;
        for (auto& a : args)
            argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        execv(program.c_str(), argv.data());
        _exit(127);
    }
    s.pid = pid;
    return s;
}

FilterRun WaitFilter(const StartedFilter& s, int timeoutSeconds)
{
    FilterRun r;
    if (s.pid < 0)
        return r;
    int status = 0;
    for (int waited = 0;; waited++) {
        pid_t w = waitpid(s.pid, &status, WNOHANG);
        if (w == s.pid)
            break;
        if (w < 0 && errno != EINTR)
            return r;
        if (waited >= timeoutSeconds * 100) {
            kill(s.pid, SIGKILL);
            waitpid(s.pid, &status, 0);
            r.err = "(killed after timeout)\n";
            break;
        }
        usleep(10000);
    }
    if (WIFEXITED(status))
        r.status = WEXITSTATUS(status);
    else if (WIFSIGNALED(status))
        r.status = 128 + WTERMSIG(status);
    r.out = ReadFile(s.outPath);
    r.err += ReadFile(s.errPath);
    unlink(s.outPath.c_str());
    unlink(s.errPath.c_str());
    return r;
}

FilterRun RunFilter(const FilterOptions& o, int timeoutSeconds)
{
    return WaitFilter(StartFilter(o), timeoutSeconds);
}

std::vector<std::string> FilterArgs(const std::string& options, const std::string& copies,
                                    const std::string& job, const std::string& title)
{
    return {job, "alice", title, copies, options};
}

std::string TestPpd(const std::string& name)
{
    return std::string(FZ_SOURCE_DIR) + "/tests/ppd/" + name;
}

std::string ProductPpd()
{
    return std::string(FZ_SOURCE_DIR) + "/ppd/fiskor_zembrulan.ppd";
}

bool CopyFilterForOtherUser(const std::string& dir, UserReachableFilter* out, std::string* error)
{
    auto copy = [&](const std::string& from, const std::string& to, mode_t mode) {
        std::string data = ReadFile(from);
        if (data.empty() || !WriteFile(to, data) || chmod(to.c_str(), mode) != 0) {
            *error = "cannot copy " + from + " to " + to;
            return false;
        }
        return true;
    };
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
        *error = "cannot make " + dir + ": " + strerror(errno);
        return false;
    }
    // Reachable whatever the umask; `dir` lies in the private /tmp (mode 1777).
    if (chmod(dir.c_str(), 0755) != 0) {
        *error = "cannot chmod " + dir + ": " + strerror(errno);
        return false;
    }
    out->program = dir + "/fiskor_zembrulan";
    out->ppd = dir + "/fiskor_zembrulan.ppd";
    out->path = dir + ":/usr/bin:/bin";
    if (!copy(FZ_FILTER_BIN, out->program, 0755) || !copy(ProductPpd(), out->ppd, 0644))
        return false;
    // The project's encoder goes next to the filter, where `cmake --install`
    // puts it; when it was not built, the system's (/usr/bin) is found.
    const std::string encoder = std::string(FZ_BINARY_DIR) + "/encoder/pbmtojbg";
    if (access(encoder.c_str(), X_OK) == 0 && !copy(encoder, dir + "/pbmtojbg", 0755))
        return false;
    return true;
}

std::string FakeEncoderPath(const std::string& dir, const std::string& body)
{
    mkdir(dir.c_str(), 0755);
    std::string path = dir + "/pbmtojbg";
    WriteFile(path, "#!/bin/sh\n" + body + "\n");
    chmod(path.c_str(), 0755);
    const char* old = getenv("PATH");
    return dir + ":" + (old ? old : "/usr/bin:/bin");
}

std::vector<std::string> LinesStartingWith(const std::string& text, const std::string& prefix)
{
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        if (line.compare(0, prefix.size(), prefix) == 0)
            lines.push_back(line);
    return lines;
}

extern "C" {
#include <jbig.h>
}

namespace {
uint32_t Le32(const std::string& s, size_t at)
{
    return (uint32_t)(uint8_t)s[at] | (uint32_t)(uint8_t)s[at + 1] << 8 | (uint32_t)(uint8_t)s[at + 2] << 16 |
           (uint32_t)(uint8_t)s[at + 3] << 24;
}
} // namespace

bool SplitStream(const std::string& s, ParsedJob* job, std::string* error)
{
    static const char jobTag[16] = "tamrel_param";
    static const char pageTag[16] = "tamrel_printer";
    *job = ParsedJob();
    if (s.size() < 20 || memcmp(s.data(), jobTag, 16) != 0) {
        *error = "no job record";
        return false;
    }
    uint32_t n = Le32(s, 16);
    if (s.size() - 20 < n) {
        *error = "job record cut short";
        return false;
    }
    job->params = s.substr(20, n);
    size_t at = 20 + (size_t)n;
    while (at < s.size()) {
        if (s.size() - at < 32 || memcmp(s.data() + at, pageTag, 16) != 0) {
            *error = "bad page record header at offset " + std::to_string(at);
            return false;
        }
        StreamRecord r;
        r.firstpage = Le32(s, at + 16);
        r.lastpage = Le32(s, at + 20);
        r.datasize = Le32(s, at + 24);
        r.pageseq = Le32(s, at + 28);
        if (s.size() - at - 32 < r.datasize) {
            *error = "page record cut short at offset " + std::to_string(at);
            return false;
        }
        r.data = s.substr(at + 32, r.datasize);
        at += 32 + (size_t)r.datasize;
        job->pages.push_back(std::move(r));
    }
    return true;
}

bool DecodeJbig(const std::string& data, Bitmap* out)
{
    struct jbg_dec_state d;
    jbg_dec_init(&d);
    size_t used = 0;
    int r = jbg_dec_in(&d, (unsigned char*)data.data(), data.size(), &used);
    bool ok = (r == JBG_EOK);
    if (ok) {
        out->width = (int)jbg_dec_getwidth(&d);
        out->height = (int)jbg_dec_getheight(&d);
        size_t n = jbg_dec_getsize(&d);
        const unsigned char* img = jbg_dec_getimage(&d, 0);
        out->bits.assign(img, img + n);
    }
    jbg_dec_free(&d);
    return ok;
}

Bitmap PageBitmap(const TestPage& p)
{
    Bitmap b;
    b.width = p.width;
    b.height = p.height;
    int stride = (p.width + 7) / 8;
    int bpl = p.bytesPerLine ? p.bytesPerLine : stride;
    b.bits.assign((size_t)stride * p.height, 0);
    for (int y = 0; y < p.height; y++) {
        for (int x = 0; x < p.width; x++) {
            size_t src = (size_t)y * bpl + x / 8;
            if (src < p.bits.size() && (p.bits[src] >> (7 - x % 8) & 1))
                b.bits[(size_t)y * stride + x / 8] |= (uint8_t)(0x80 >> (x % 8));
        }
    }
    return b;
}

Bitmap TurnMinus90(const Bitmap& s)
{
    Bitmap d;
    d.width = s.height;
    d.height = s.width;
    int ss = (s.width + 7) / 8, ds = (d.width + 7) / 8;
    d.bits.assign((size_t)ds * d.height, 0);
    for (int y = 0; y < s.height; y++)
        for (int x = 0; x < s.width; x++)
            if (s.bits[(size_t)y * ss + x / 8] >> (7 - x % 8) & 1) {
                int row = s.width - 1 - x, col = y;
                d.bits[(size_t)row * ds + col / 8] |= (uint8_t)(0x80 >> (col % 8));
            }
    return d;
}
