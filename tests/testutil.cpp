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
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "image/image.h"
#include "tools/inspect.h"

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
    cups_raster_t* ras = fd < 0 ? nullptr : cupsRasterOpen(fd, CUPS_RASTER_WRITE);
    bool ok = ras != nullptr;
    for (size_t i = 0; ok && i < pages.size(); i++) {
        const TestPage& p = pages[i];
        cups_page_header2_t h{};
        const unsigned bpl = (unsigned)(p.bytesPerLine ? p.bytesPerLine : (p.width + 7) / 8);
        h.HWResolution[0] = h.HWResolution[1] = (unsigned)p.resolution;
        h.PageSize[0] = (unsigned)((int64_t)p.width * 72 / p.resolution);
        h.PageSize[1] = (unsigned)((uint64_t)(unsigned)p.height * 72 / p.resolution);
        h.cupsWidth = (unsigned)p.width, h.cupsHeight = (unsigned)p.height, h.cupsBytesPerLine = bpl;
        h.cupsBitsPerColor = h.cupsBitsPerPixel = (unsigned)p.bitsPerPixel;
        h.cupsColorOrder = CUPS_ORDER_CHUNKED, h.cupsColorSpace = CUPS_CSPACE_K, h.NumCopies = 1;
        // A page may carry fewer bytes than its header announces (a stream
        // cut short, or a hostile header); write what there is.
        const size_t have = std::min(p.bits.size(), (size_t)bpl * (size_t)p.height);
        ok = cupsRasterWriteHeader2(ras, &h) &&
             (have == 0 || cupsRasterWritePixels(ras, const_cast<uint8_t*>(p.bits.data()), (unsigned)have) == have);
    }
    if (ras)
        cupsRasterClose(ras);
    if (fd >= 0)
        close(fd);
    struct stat st;
    if (ok && truncateLast > 0)
        ok = stat(path.c_str(), &st) == 0 && truncate(path.c_str(), st.st_size - (off_t)truncateLast) == 0;
    return ok;
}

std::vector<TestPage> Pages(int n)
{
    std::vector<TestPage> pages;
    for (int i = 0; i < n; i++)
        pages.push_back(PatternPage(i % 2 ? 203 : 256, 150 + 7 * i, 100 + i));
    return pages;
}

std::string PbmText(int width, int height, const std::vector<uint8_t>& bits)
{
    return "P4\n" + std::to_string(width) + " " + std::to_string(height) + "\n" + std::string(bits.begin(), bits.end());
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
    return (bool)out.flush();
}

size_t Count(const std::string& text, const std::string& what)
{
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size()))
        n++;
    return n;
}

std::vector<std::string> FilterArgs(const std::string& options, const std::string& copies, const std::string& job,
                                    const std::string& title)
{
    return {job, "alice", title, copies, options};
}

StartedFilter StartFilter(const FilterOptions& o)
{
    static int counter = 0;
    StartedFilter s;
    const std::string base = "/tmp/fzrun-" + std::to_string(getpid()) + "-" + std::to_string(counter++);
    s.outPath = base + ".out";
    s.errPath = base + ".err";
    const std::string program = o.program.empty() ? FZ_FILTER_BIN : o.program;
    std::vector<std::string> args = {"fiskor_zembrulan"};
    args.insert(args.end(), o.args.begin(), o.args.end());

    pid_t pid = fork();
    if (pid == 0) {
        setpgid(0, 0);
        int in = open(o.input.empty() ? "/dev/null" : o.input.c_str(), O_RDONLY);
        int out = open(o.stdoutTo.empty() ? s.outPath.c_str() : o.stdoutTo.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int err = open(s.errPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (in < 0 || out < 0 || err < 0 || dup2(in, 0) < 0 || dup2(out, 1) < 0 || dup2(err, 2) < 0)
            _exit(126);
        if (o.closeStdout)
            close(1);
        setenv("PPD", ProductPpd().c_str(), 1);
        for (const auto& kv : o.env)
            kv.second == kUnset ? unsetenv(kv.first.c_str()) : setenv(kv.first.c_str(), kv.second.c_str(), 1);
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
    int status = 0;
    pid_t w = 0;
    for (int waited = 0; s.pid > 0 && w != s.pid; waited++) {
        w = waitpid(s.pid, &status, WNOHANG);
        if (w < 0 && errno != EINTR)
            return r;
        if (w == 0 && waited >= timeoutSeconds * 100) {
            kill(s.pid, SIGKILL);
            r.err = "(killed after timeout)\n";
        }
        if (w == 0)
            usleep(10000);
    }
    r.status = s.pid < 0 ? -1 : WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = ReadFile(s.outPath);
    r.err += ReadFile(s.errPath);
    unlink(s.outPath.c_str());
    unlink(s.errPath.c_str());
    return r;
}

bool WaitForLog(const StartedFilter& s, const std::string& text, int timeoutSeconds)
{
    for (int i = 0; i < timeoutSeconds * 100; i++, usleep(10000)) {
        if (ReadFile(s.errPath).find(text) != std::string::npos)
            return usleep(100000), true;
    }
    return false;
}

FilterRun RunFilter(const FilterOptions& o, int timeoutSeconds) { return WaitFilter(StartFilter(o), timeoutSeconds); }

FilterRun PrintPages(const std::vector<TestPage>& pages, const std::string& options, const std::string& copies,
                     std::vector<std::pair<std::string, std::string>> env)
{
    FilterRun failed;
    if (!WriteRasterFile("/tmp/job.ras", pages))
        return failed;
    FilterOptions o;
    o.args = FilterArgs(options, copies);
    o.input = "/tmp/job.ras";
    o.env = std::move(env);
    return RunFilter(o);
}

std::string TestPpd(const std::string& name) { return std::string(FZ_SOURCE_DIR) + "/tests/ppd/" + name; }

std::string ProductPpd() { return std::string(FZ_SOURCE_DIR) + "/ppd/fiskor_zembrulan.ppd"; }

std::string FakeEncoderPath(const std::string& dir, const std::string& body)
{
    mkdir(dir.c_str(), 0755);
    const std::string path = dir + "/pbmtojbg";
    WriteFile(path, "#!/bin/sh\n" + body + "\n");
    chmod(path.c_str(), 0755);
    const char* old = getenv("PATH");
    return dir + ":" + (old ? old : "/usr/bin:/bin");
}

std::ostream& operator<<(std::ostream& os, const Row& r)
{
    return os << r.page << "(" << r.firstpage << "," << r.lastpage << "," << r.pageseq << ")";
}

ReadJob ReadStream(const std::string& stream, const PageNamer& name)
{
    ReadJob job;
    ParsedStream ps;
    if (!ParseStream((const uint8_t*)stream.data(), stream.size(), &ps, &job.error))
        return job;
    job.params = ps.job_params;
    for (const InspectPage& p : ps.pages)
        job.rows.push_back({name(p.data, p.datasize), p.firstpage, p.lastpage, p.pageseq});
    return job;
}

PageNamer DecodedPageNamer(const std::vector<TestPage>& pages, bool turned)
{
    std::vector<std::vector<uint8_t>> wanted;
    for (const TestPage& p : pages) {
        std::vector<uint8_t> bits = p.bits;
        if (turned) {
            bits.assign((size_t)((p.height + 7) / 8) * p.width, 0);
            RotateBitsReference(p.bits.data(), p.width, p.height, -90, bits.data());
        }
        wanted.push_back(bits);
    }
    const int blankW = pages.empty() ? 0 : 8 * ((pages[0].width + 7) / 8);
    const int blankH = pages.empty() ? 0 : pages[0].height;
    return [=](const uint8_t* data, size_t size) -> std::string {
        PageImage img;
        std::string error;
        if (!DecodeJbig(data, size, kInspectMaxPixels, &img, &error))
            return "?";
        for (size_t i = 0; i < pages.size(); i++) {
            const int w = turned ? pages[i].height : pages[i].width;
            if ((int)img.width == w && img.bits == wanted[i])
                return "P" + std::to_string(i + 1);
        }
        const bool white = std::all_of(img.bits.begin(), img.bits.end(), [](uint8_t b) { return b == 0; });
        const bool blankSize =
            (int)img.width == (turned ? blankH : blankW) && (int)img.height == (turned ? blankW : blankH);
        return white && blankSize ? "B" : "?";
    };
}

std::vector<Row> ExpectedOrder(int collate, int duplex, int pages, int copies)
{
    std::vector<Row> v;
    uint32_t seq = 0;
    auto add = [&](const std::string& page, bool first) { v.push_back({page, first ? 1u : 0u, 0u, ++seq}); };
    const bool blank = duplex != 0 && pages % 2 == 1;
    if (collate) {
        for (int p = 1; p <= pages; p++)
            add("P" + std::to_string(p), p == 1);
        if (blank)
            add("B", false);
        // The printer repeats a collated job: a blank back side ends only the last copy.
        if (!blank || copies < 2)
            v.back().lastpage = 1;
        return v;
    }
    for (int p = 1; p <= pages; p += duplex ? 2 : 1)
        for (int c = 0; c < std::max(copies, 1); c++) {
            add("P" + std::to_string(p), p == 1);
            if (duplex)
                add(p + 1 <= pages ? "P" + std::to_string(p + 1) : "B", false);
        }
    v.back().lastpage = 1;
    return v;
}

void StartPrivateCupsd(const std::string& cupsdDir)
{
    const std::string socket = cupsdDir + "/cups.sock", c = cupsdDir + "/root/cups";
    setenv("CUPS_SERVER", socket.c_str(), 1);
    if (fork() == 0) {
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        execlp("cupsd", "cupsd", "-f", "-c", (c + "d.conf").c_str(), "-s", (c + "-files.conf").c_str(), nullptr);
        _exit(127);
    }
    for (int i = 0; i < 200 && access(socket.c_str(), F_OK) != 0; i++)
        usleep(50000);
}
