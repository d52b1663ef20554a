// The job benchmark: what the filter costs on top of its JBIG encoder.
//
// The three pages of samples/sample.ps, rendered by ghostscript at 600 dpi,
// and a blank page make a ten-page job (pages 1 2 3 blank 1 2 3 blank 1 2),
// both as PBM files and as one CUPS raster stream. Each round then times, in
// an order that rotates from round to round:
//   encoder  the project's encoder, build/encoder/pbmtojbg, with the filter's
//            command line on the ten PBM pages, one after another;
//   filter   the filter on the raster job, finding that encoder on PATH;
//   copying  the filter on the same job with a `pbmtojbg` on PATH that only
//            copies the JBIG file the encoder made for that page: the
//            filter's own work (start-up, capture, records) plus a copy.
// Ratios are taken within each round and their medians reported; times are
// wall clock and CPU (user + system of the process and its waited-for
// children), peak memory the largest ru_maxrss wait4 gave.
//
// The filter works in /tmp/velmarsh, so the benchmark moves into a mount
// namespace of its own with an empty tmpfs on /tmp (as scripts/private_tmp.sh
// does). The files it needs are read before, and written into the new /tmp,
// so the build may itself live under /tmp.
#include "encoder/pbmtojbg_cli.h"
#include "bench/raster_header.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <cups/raster.h>
#include <fcntl.h>
#include <fstream>
#include <malloc.h>
#include <sched.h>
#include <sstream>
#include <string>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace {

const std::string kDir = "/tmp/fzbench";
constexpr int kJobPages = 10;
constexpr int kDistinctPages = 4;  // the sample's three, then the blank one
constexpr int kDpi = 600;

struct Run {
    int status = -1;  // exit status, 128 + signal, -1: not started
    double wall = 0, cpu = 0;
    long maxRssKiB = 0;
};

double Now()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec + ts.tv_nsec * 1e-9;
}

std::vector<char*> CStrings(const std::vector<std::string>& v)
{
    std::vector<char*> out;
    for (const std::string& s : v)
        out.push_back(const_cast<char*>(s.c_str()));
    out.push_back(nullptr);
    return out;
}

// Runs a program (environment `env`, or this one's when empty) and waits for
// it with wait4. It is forked, not spawned with a shared address space, so its
// peak memory starts from this process's present size, not from its peak.
Run Spawn(const std::vector<std::string>& argv, const std::vector<std::string>& env = {},
          const std::string& in = "/dev/null", const std::string& out = "/dev/null")
{
    std::vector<char*> av = CStrings(argv), ev = CStrings(env);
    const std::string err = kDir + "/stderr";
    Run r;
    const double t0 = Now();
    const pid_t pid = fork();
    if (pid == 0) {
        const int fds[3] = {open(in.c_str(), O_RDONLY), open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644),
                            open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644)};
        for (int i = 0; i < 3; ++i)
            if (fds[i] < 0 || dup2(fds[i], i) < 0)
                _exit(126);
        execve(av[0], av.data(), env.empty() ? environ : ev.data());
        _exit(127);
    }
    int st = 0;
    struct rusage ru = {};
    while (pid > 0 && wait4(pid, &st, 0, &ru) < 0 && errno == EINTR) {}
    if (pid > 0) {
        r.wall = Now() - t0;
        r.cpu = ru.ru_utime.tv_sec + ru.ru_stime.tv_sec + (ru.ru_utime.tv_usec + ru.ru_stime.tv_usec) * 1e-6;
        r.maxRssKiB = ru.ru_maxrss;
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    return r;
}

std::string ReadAll(const std::string& path)
{
    std::ifstream f(path, std::ios::binary);
    std::ostringstream s;
    s << f.rdbuf();
    return s.str();
}

bool WriteAll(const std::string& path, const std::string& data, mode_t mode = 0644)
{
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f << data;
    f.close();
    return f && chmod(path.c_str(), mode) == 0;
}

// Moves into a mount namespace of its own with an empty tmpfs on /tmp and
// puts there the filter, the encoder, a copying encoder, the PPD and the
// sample, read before from the build and the checkout.
bool SetUp()
{
    const std::string filter = ReadAll(FZ_FILTER_BIN), encoder = ReadAll(FZ_BINARY_DIR "/encoder/pbmtojbg");
    const std::string ppd = ReadAll(FZ_SOURCE_DIR "/ppd/fiskor_zembrulan.ppd");
    const std::string sample = ReadAll(FZ_SOURCE_DIR "/samples/sample.ps");
    if (filter.empty() || encoder.empty() || ppd.empty() || sample.empty())
        return fprintf(stderr, "bench: build the filter and the encoder first\n"), false;
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount("tmpfs", "/tmp", "tmpfs", 0, nullptr) != 0)
        return fprintf(stderr, "bench: cannot make a private /tmp (needs root): %s\n", strerror(errno)), false;
    for (const char* d : {"", "/enc", "/copy", "/jbg"})
        mkdir((kDir + d).c_str(), 0755);
    // The copier takes the page number from its output, /tmp/velmarsh/<job>-<page>.jbg.
    const std::string copier = "#!/bin/sh\np=${16##*-}\nexec cp " + kDir + "/jbg/$p \"${16}\"\n";
    if (WriteAll(kDir + "/fiskor_zembrulan", filter, 0755) && WriteAll(kDir + "/enc/pbmtojbg", encoder, 0755) &&
        WriteAll(kDir + "/copy/pbmtojbg", copier, 0755) && WriteAll(kDir + "/ppd", ppd) &&
        WriteAll(kDir + "/sample.ps", sample))
        return true;
    return fprintf(stderr, "bench: cannot write to %s\n", kDir.c_str()), false;
}

// Renders the sample's pages to page1.pbm .. page3.pbm, adds a blank
// page4.pbm and writes the ten-page raster job, job.ras. Returns the page size.
bool MakeJob(uint32_t* width, uint32_t* height)
{
    const Run gs = Spawn({"/usr/bin/gs", "-q", "-dSAFER", "-dBATCH", "-dNOPAUSE", "-sDEVICE=pbmraw",
                          "-r" + std::to_string(kDpi), "-sOutputFile=" + kDir + "/page%d.pbm", kDir + "/sample.ps"});
    if (gs.status != 0)
        return fprintf(stderr, "bench: ghostscript failed: %s\n", ReadAll(kDir + "/stderr").c_str()), false;
    std::string pbm[kDistinctPages];
    size_t offset[kDistinctPages];
    PbmP4Header h = {0, 0, 0};
    for (int i = 0; i < kDistinctPages; ++i) {
        const std::string path = kDir + "/page" + std::to_string(i + 1) + ".pbm";
        if (i == 3) {  // blank
            pbm[i] = "P4\n" + std::to_string(h.width) + " " + std::to_string(h.height) + "\n";
            pbm[i].resize(pbm[i].size() + (h.width + 7) / 8 * size_t(h.height), '\0');
            WriteAll(path, pbm[i]);
        }
        pbm[i] = ReadAll(path);
        PbmP4Header p;
        const char* why = "no such file";
        if (!ParsePbmP4Header(reinterpret_cast<const uint8_t*>(pbm[i].data()), pbm[i].size(), &p, &why) ||
            (i > 0 && (p.width != h.width || p.height != h.height)) ||
            pbm[i].size() - p.dataOffset < (p.width + 7) / 8 * uint64_t(p.height))
            return fprintf(stderr, "bench: %s: %s\n", path.c_str(), why), false;
        h = p;
        offset[i] = p.dataOffset;
    }
    // A CUPS raster stream of version 3, as libcups writes it: the sync word
    // in this machine's byte order, then per page its header and its rows,
    // uncompressed. Written here, as linking libcups would add megabytes to
    // every measured process's peak (a forked child starts from its parent's).
    const uint32_t sync = CUPS_RASTER_SYNC;
    std::string job(reinterpret_cast<const char*>(&sync), sizeof sync);
    for (int i = 0; i < kJobPages; ++i) {
        const cups_page_header2_t header = OneBitPageHeader(int(h.width), int(h.height), kDpi);
        job.append(reinterpret_cast<const char*>(&header), sizeof header);
        job.append(pbm[i % kDistinctPages], offset[i % kDistinctPages], std::string::npos);
    }
    *width = h.width;
    *height = h.height;
    return WriteAll(kDir + "/job.ras", job) || (fprintf(stderr, "bench: cannot write the raster job\n"), false);
}

double Median(std::vector<double> v)
{
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}

enum Kind { kEncoder, kFilter, kCopying, kKinds };
const char* const kNames[kKinds] = {"encoder, 10 PBM pages", "filter, 10-page job", "filter, copying encoder"};

// One run of a kind: the encoder on the job's ten pages one after another,
// or the filter on the job with the real or the copying encoder.
Run Measure(Kind kind, uint32_t width, uint32_t height)
{
    static const std::vector<std::string> kFilterArgs = {kDir + "/fiskor_zembrulan",     "1", "bench", "bench job", "1",
                                                         "PageSize=A4 Resolution=600dpi"};
    if (kind != kEncoder) {
        const std::string encoderDir = kDir + (kind == kFilter ? "/enc" : "/copy");
        return Spawn(kFilterArgs,
                     {"PATH=" + encoderDir + ":/usr/bin:/bin", "PPD=" + kDir + "/ppd", "LANG=C", "HOME=/tmp"},
                     kDir + "/job.ras", kDir + (kind == kFilter ? "/filter.out" : "/copying.out"));
    }
    Run total{0, 0, 0, 0};
    for (int i = 0; i < kJobPages && total.status == 0; ++i) {
        const Run r = Spawn({kDir + "/enc/pbmtojbg", "-q", "-x", std::to_string(width), "-y", std::to_string(height),
                             "-r", "-s", "128", "-o", "0", "-p", "8", "-m", "0",
                             kDir + "/page" + std::to_string(i % kDistinctPages + 1) + ".pbm",
                             kDir + "/jbg/" + std::to_string(i + 1) + ".jbg"});
        total = Run{r.status, total.wall + r.wall, total.cpu + r.cpu, std::max(total.maxRssKiB, r.maxRssKiB)};
    }
    return total;
}

}  // namespace

int main(int argc, char** argv)
{
    int rounds = 15;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--smoke") == 0)
            rounds = 1;
        else if (strcmp(argv[i], "--runs") == 0 && i + 1 < argc && atoi(argv[i + 1]) > 0)
            rounds = atoi(argv[++i]);
        else
            return fprintf(stderr, "usage: %s [--smoke | --runs N]\n", argv[0]), 2;
    }
    setvbuf(stdout, nullptr, _IOLBF, 0);
    uint32_t width = 0, height = 0;
    if (!SetUp() || !MakeJob(&width, &height))
        return 1;
    malloc_trim(0);  // back to a small size before forking the measured runs
    // The first encoder run also makes the files the copier copies.
    if (Measure(kEncoder, width, height).status != 0)
        return fprintf(stderr, "bench: the encoder failed: %s\n", ReadAll(kDir + "/stderr").c_str()), 1;
    size_t jbigBytes = 0;
    for (int i = 1; i <= kJobPages; ++i)
        jbigBytes += ReadAll(kDir + "/jbg/" + std::to_string(i) + ".jbg").size();
    std::vector<double> wall[kKinds], cpu[kKinds], ratio[kKinds], cpuRatio[kKinds];
    long peak[kKinds] = {0, 0, 0};
    for (int r = 0; r < rounds; ++r) {
        Run runs[kKinds];
        for (int i = 0; i < kKinds; ++i) {
            const Kind k = Kind((r + i) % kKinds);
            runs[k] = Measure(k, width, height);
            if (runs[k].status != 0)
                return fprintf(stderr, "bench: %s: exit status %d: %s\n", kNames[k], runs[k].status,
                               ReadAll(kDir + "/stderr").c_str()),
                       1;
        }
        // Every page was sent, and the copier stood in for exactly the encoder.
        const std::string stream = ReadAll(kDir + "/filter.out");
        if (stream.size() <= jbigBytes || stream != ReadAll(kDir + "/copying.out"))
            return fprintf(stderr, "bench: the filter's streams are short or differ with the copying encoder\n"), 1;
        for (int k = 0; k < kKinds; ++k) {
            wall[k].push_back(runs[k].wall * 1000);
            cpu[k].push_back(runs[k].cpu * 1000);
            ratio[k].push_back(runs[k].wall / runs[kEncoder].wall);
            cpuRatio[k].push_back(runs[k].cpu / runs[kEncoder].cpu);
            peak[k] = std::max(peak[k], runs[k].maxRssKiB);
        }
    }
    printf("%ld CPUs; %d-page job of %ux%u pages at %d dpi (samples/sample.ps and a blank page); %d rounds, "
           "medians\n\n| run | wall ms | CPU ms | wall / encoder | CPU / encoder | peak RSS KiB |\n"
           "|---|---|---|---|---|---|\n",
           sysconf(_SC_NPROCESSORS_ONLN), kJobPages, width, height, kDpi, rounds);
    for (int k = 0; k < kKinds; ++k)
        printf("| %s | %.1f | %.1f | %.3f | %.3f | %ld |\n", kNames[k], Median(wall[k]), Median(cpu[k]),
               Median(ratio[k]), Median(cpuRatio[k]), peak[k]);
    printf("\nThe filter's own work per page (copying run / %d): %.1f ms wall, %.1f ms CPU. Peak RSS of /bin/true "
           "started the same way: %ld KiB.\n",
           kJobPages, Median(wall[kCopying]) / kJobPages, Median(cpu[kCopying]) / kJobPages,
           Spawn({"/bin/true"}).maxRssKiB);
    return 0;
}
