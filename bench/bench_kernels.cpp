// Inner kernels of the page pipeline under Google Benchmark: the quarter
// turn (block transposes against the per-pixel definition), the capture of
// one raster page into its PBM work file, and the sequencer writing the
// records of an uncollated two-sided job with three copies.
//
// Pages here are synthetic "text-like" bitmaps made in process, so the
// kernels need neither ghostscript nor the filter binary. Rates (px/s,
// bytes/s) of the rotation and capture kernels are per CPU second of the
// benchmark thread, which a busy machine disturbs far less than wall time.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cups/raster.h>
#include <fcntl.h>
#include <memory>
#include <unistd.h>
#include <vector>

#include "bench/pages.h"
#include "bench/raster_header.h"
#include "image/image.h"
#include "stream/stream.h"

namespace {

// The page sizes of the job benchmark.
const Bits& A4At1200()
{
    static const Bits b = TextLikePage(9917, 14033, 1200);
    return b;
}
const Bits& A5At600()
{
    static const Bits b = TextLikePage(3500, 4958, 600);
    return b;
}
const Bits& A4At600()
{
    static const Bits b = TextLikePage(4958, 7016, 600);
    return b;
}

void Rotate(benchmark::State& state, const Bits& page, bool fast)
{
    const int w = page.width, h = page.height;
    std::vector<uint8_t> out(StrideOf(h) * (size_t)w);
    {
        // Both versions must agree bit for bit before either is timed.
        std::vector<uint8_t> ref(out.size());
        RotateBits(page.data.data(), w, h, -90, out.data());
        RotateBitsReference(page.data.data(), w, h, -90, ref.data());
        if (out != ref) {
            state.SkipWithError("RotateBits and RotateBitsReference differ");
            return;
        }
    }
    for (auto _ : state) {
        if (fast)
            RotateBits(page.data.data(), w, h, -90, out.data());
        else
            RotateBitsReference(page.data.data(), w, h, -90, out.data());
        benchmark::DoNotOptimize(out.data());
        benchmark::ClobberMemory();
    }
    state.counters["px/s"] = benchmark::Counter((double)w * h, benchmark::Counter::kIsIterationInvariantRate);
    state.counters["px"] = (double)w * h;
}

void BM_RotateMinus90_A4_1200_Fast(benchmark::State& s) { Rotate(s, A4At1200(), true); }
void BM_RotateMinus90_A4_1200_Reference(benchmark::State& s) { Rotate(s, A4At1200(), false); }
void BM_RotateMinus90_A5_600_Fast(benchmark::State& s) { Rotate(s, A5At600(), true); }
void BM_RotateMinus90_A5_600_Reference(benchmark::State& s) { Rotate(s, A5At600(), false); }

BENCHMARK(BM_RotateMinus90_A4_1200_Fast)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RotateMinus90_A4_1200_Reference)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RotateMinus90_A5_600_Fast)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RotateMinus90_A5_600_Reference)->Unit(benchmark::kMillisecond);

// A raster stream held in memory, read back through libcups' IO callbacks.
struct MemStream {
    std::vector<uint8_t> bytes;
    size_t pos = 0;
};

ssize_t MemWrite(void* ctx, unsigned char* buf, size_t len)
{
    MemStream* m = (MemStream*)ctx;
    m->bytes.insert(m->bytes.end(), buf, buf + len);
    return (ssize_t)len;
}

ssize_t MemRead(void* ctx, unsigned char* buf, size_t len)
{
    MemStream* m = (MemStream*)ctx;
    size_t n = m->bytes.size() - m->pos;
    if (n > len)
        n = len;
    memcpy(buf, m->bytes.data() + m->pos, n);
    m->pos += n;
    return (ssize_t)n;
}

bool RasterOf(const Bits& page, int dpi, MemStream* m)
{
    cups_raster_t* ras = cupsRasterOpenIO(MemWrite, m, CUPS_RASTER_WRITE);
    if (!ras)
        return false;
    cups_page_header2_t h = OneBitPageHeader(page.width, page.height, dpi);
    bool ok = cupsRasterWriteHeader2(ras, &h) && cupsRasterWritePixels(ras, const_cast<uint8_t*>(page.data.data()),
                                                                       (unsigned)page.data.size()) == page.data.size();
    cupsRasterClose(ras);
    return ok;
}

// capturePage writes its diagnostics to standard error; they are dropped
// while it is timed.
struct QuietStderr {
    int saved = -1;
    QuietStderr()
    {
        fflush(stderr);
        saved = dup(STDERR_FILENO);
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, STDERR_FILENO);
            close(null);
        }
    }
    ~QuietStderr()
    {
        fflush(stderr);
        if (saved >= 0) {
            dup2(saved, STDERR_FILENO);
            close(saved);
        }
    }
};

void BM_Capture_A4_600(benchmark::State& state)
{
    const Bits& page = A4At600();
    MemStream m;
    if (!RasterOf(page, 600, &m)) {
        state.SkipWithError("cannot make the raster stream");
        return;
    }
    char path[] = "/tmp/fzbench_capture_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        state.SkipWithError("cannot create the PBM file");
        return;
    }
    close(fd);
    bool failed = false;
    {
        QuietStderr quiet;
        for (auto _ : state) {
            m.pos = 0;
            cups_raster_t* ras = cupsRasterOpenIO(MemRead, &m, CUPS_RASTER_READ);
            cups_page_header2_t h;
            if (!ras || !cupsRasterReadHeader2(ras, &h) || capturePage(ras, h, 1, path) != 0)
                failed = true;
            if (ras)
                cupsRasterClose(ras);
            if (failed)
                break;
        }
    }
    unlink(path);
    if (failed) {
        state.SkipWithError("capturePage failed");
        return;
    }
    state.counters["px/s"] =
        benchmark::Counter((double)page.width * page.height, benchmark::Counter::kIsIterationInvariantRate);
    state.SetBytesProcessed((int64_t)state.iterations() * (int64_t)page.data.size());
}
BENCHMARK(BM_Capture_A4_600)->Unit(benchmark::kMillisecond);

// One uncollated two-sided job of `pages` pages of `jbigBytes` each, copies
// 3, its records written to /dev/null as the filter writes them (an odd page
// count adds the blank back side).
void BM_Sequencer_Duplex_Copies3(benchmark::State& state)
{
    const int pages = (int)state.range(0);
    const size_t jbigBytes = (size_t)state.range(1);
    std::vector<unsigned char> data(jbigBytes);
    uint32_t seed = 1;
    for (unsigned char& c : data)
        c = (unsigned char)Next(&seed);
    std::unique_ptr<FILE, int (*)(FILE*)> out(fopen("/dev/null", "wb"), fclose), log(fopen("/dev/null", "w"), fclose);
    if (!out || !log) {
        state.SkipWithError("cannot open /dev/null");
        return;
    }
    auto write = [&](const unsigned char* d, size_t n) { return fwrite(d, 1, n, out.get()) == n; };
    int64_t records = 0;
    for (auto _ : state) {
        Sequencer s({write, [] { return false; }, nullptr}, log.get());
        if (!s.Allocated()) {
            state.SkipWithError("no page buffers");
            break;
        }
        s.SetMode(0, 1, 3);
        for (int p = 1; p <= pages; p++) {
            s.AddPage(data.data(), jbigBytes, p == pages);
            if (s.BlankBackDue())
                s.AddBlankBack(data.data(), 64);
        }
        records += s.RecordsWritten();
    }
    state.counters["records/s"] = benchmark::Counter((double)records, benchmark::Counter::kIsRate);
    state.counters["records/job"] = state.iterations() ? (double)records / (double)state.iterations() : 0;
}
// A 2-page and a 3-page job (the latter with its blank back side), with
// JBIG data the size of a 600 dpi text page and of a dense 1200 dpi page.
BENCHMARK(BM_Sequencer_Duplex_Copies3)
    ->Args({2, 150 * 1024})
    ->Args({3, 150 * 1024})
    ->Args({2, 3 * 1024 * 1024})
    ->Unit(benchmark::kMicrosecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
