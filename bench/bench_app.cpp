// What the printer application costs per page against its encoder alone,
// under Google Benchmark. Each case is a page kind (text-like, or an
// error-diffused grey page) on A4 one-sided at 600 or 1200 dpi; every
// iteration measures, one right after the other (the order alternating from
// iteration to iteration):
//
//   encoder: EncodeJbig on each page of the job, with the threads the intake
//            uses (JbigDefaultThreads);
//   app:     the whole page intake of one job of those pages: StartIntake,
//            AddPage of each page, FinishIntake, its records going to a
//            RecordSink that discards them.
//
// The pages the intake takes are copies made before its clock starts (the
// driver builds each page itself; copying one is not the intake's work).
// Times are wall clock (the encoder runs threads). The benchmark's own time
// is the app's per page; the counters give both per page and their ratio
// app / encoder over all iterations.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <vector>

#include "app/job.h"
#include "bench/pages.h"
#include "encoder/encoder.h"

namespace {

constexpr int kJobPages = 4;

using Clock = std::chrono::steady_clock;

double Seconds(Clock::time_point a, Clock::time_point b) { return std::chrono::duration<double>(b - a).count(); }

PageBitmap ToPage(const Bits& b)
{
    PageBitmap p;
    p.width = (uint32_t)b.width;
    p.height = (uint32_t)b.height;
    p.bits = b.data;
    return p;
}

// A4 in pixels as a PWG raster brings it: 210 x 297 mm. Each page is made
// the first time a case asks for it.
const Bits& Page(bool diffused, int dpi)
{
    if (diffused && dpi == 1200) {
        static const Bits b = DiffusedPage(9920, 14032, 1200);
        return b;
    }
    if (diffused) {
        static const Bits b = DiffusedPage(4960, 7016, 600);
        return b;
    }
    if (dpi == 1200) {
        static const Bits b = TextLikePage(9920, 14032, 1200);
        return b;
    }
    static const Bits b = TextLikePage(4960, 7016, 600);
    return b;
}

// One job through the intake; false with the intake's error in `why`.
bool RunJob(int dpi, std::vector<PageBitmap>* pages, FILE* log, size_t* bytes, std::string* why)
{
    IppChoices ipp;
    ipp.dpi = dpi;
    JobIdentity id;
    id.jobId = 1;
    id.user = "bench";
    id.title = "bench job";
    RecordSink sink{[bytes](const unsigned char*, size_t n) { return *bytes += n, true; }, [] { return false; },
                    nullptr};
    PageIntake in;
    bool ok = StartIntake(&in, ipp, id, sink, log);
    for (PageBitmap& p : *pages)
        ok = ok && AddPage(&in, std::move(p));
    ok = ok && FinishIntake(&in);
    if (!ok)
        *why = in.error;
    return ok;
}

void AppAgainstEncoder(benchmark::State& state, bool diffused, int dpi)
{
    const Bits& bits = Page(diffused, dpi);
    const int threads = JbigDefaultThreads();
    std::unique_ptr<FILE, int (*)(FILE*)> log(fopen("/dev/null", "w"), fclose);
    if (!log) {
        state.SkipWithError("cannot open /dev/null");
        return;
    }
    double encoderSeconds = 0, appSeconds = 0;
    size_t jbigBytes = 0, streamBytes = 0;
    int64_t round = 0;
    for (auto _ : state) {
        std::vector<PageBitmap> pages;
        for (int i = 0; i < kJobPages; i++)
            pages.push_back(ToPage(bits));
        double enc = 0, app = 0;
        size_t jbig = 0, stream = 0;
        std::string why;
        bool ok = true;
        for (int half = 0; half < 2; half++) {
            if ((half == 0) == (round % 2 == 0)) {
                const Clock::time_point t0 = Clock::now();
                for (int i = 0; i < kJobPages; i++) {
                    const std::vector<uint8_t> out =
                        EncodeJbig(bits.data.data(), (uint32_t)bits.width, (uint32_t)bits.height, threads);
                    jbig += out.size();
                    benchmark::DoNotOptimize(out.data());
                }
                enc = Seconds(t0, Clock::now());
            } else {
                const Clock::time_point t0 = Clock::now();
                ok = RunJob(dpi, &pages, log.get(), &stream, &why);
                app = Seconds(t0, Clock::now());
            }
        }
        if (!ok || stream <= jbig) {
            // The stream carries every page's JBIG data and the records around it.
            state.SkipWithError(
                ("the intake failed: " + (why.empty() ? "stream shorter than its JBIG data" : why)).c_str());
            return;
        }
        state.SetIterationTime(app / kJobPages);
        encoderSeconds += enc;
        appSeconds += app;
        jbigBytes = jbig / kJobPages;
        streamBytes = stream;
        round++;
    }
    const double pagesTimed = (double)state.iterations() * kJobPages;
    state.counters["enc_ms/page"] = 1000 * encoderSeconds / pagesTimed;
    state.counters["app_ms/page"] = 1000 * appSeconds / pagesTimed;
    state.counters["app/enc"] = encoderSeconds > 0 ? appSeconds / encoderSeconds : 0;
    state.counters["jbig_B/page"] = (double)jbigBytes;
    state.counters["stream_B/job"] = (double)streamBytes;
    state.counters["threads"] = threads;
}

void BM_AppPage_Text_A4_600(benchmark::State& s) { AppAgainstEncoder(s, false, 600); }
void BM_AppPage_Diffused_A4_600(benchmark::State& s) { AppAgainstEncoder(s, true, 600); }
void BM_AppPage_Text_A4_1200(benchmark::State& s) { AppAgainstEncoder(s, false, 1200); }
void BM_AppPage_Diffused_A4_1200(benchmark::State& s) { AppAgainstEncoder(s, true, 1200); }

BENCHMARK(BM_AppPage_Text_A4_600)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AppPage_Diffused_A4_600)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(1.5);
BENCHMARK(BM_AppPage_Text_A4_1200)->UseManualTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_AppPage_Diffused_A4_1200)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.5);

}  // namespace

BENCHMARK_MAIN();
