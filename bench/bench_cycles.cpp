// Cycle-counter timing against the host's clocks: how long a calibration
// takes, and how far its rate is from the counter's pace over a monotonic
// interval ("rate_error_ppm").  Timing belongs here rather than in a test:
// on a loaded machine a sleep can stretch by any amount.
#include <math.h>
#include <time.h>

#include <benchmark/benchmark.h>

#include "zal_internal.h"

namespace {

double MonoSeconds()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

void BM_Calibration(benchmark::State &state)
{
    double worst_ppm = 0;
    for (auto _ : state) {
        zal__cycles_reset();
        zal_cycles_t rate = zal_cycles_per_second();
        state.PauseTiming();
        double t0 = MonoSeconds();
        zal_cycles_t c0 = zal_get_cycles();
        struct timespec nap = {0, 200000000};
        nanosleep(&nap, nullptr);
        zal_cycles_t c1 = zal_get_cycles();
        double secs = MonoSeconds() - t0;
        if (rate != 0 && secs > 0) {
            double ppm = fabs(double(c1 - c0) / secs / double(rate) - 1.0) * 1e6;
            if (ppm > worst_ppm) worst_ppm = ppm;
        }
        state.ResumeTiming();
    }
    state.counters["rate_error_ppm"] = worst_ppm;
}
BENCHMARK(BM_Calibration)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_GetCycles(benchmark::State &state)
{
    for (auto _ : state) benchmark::DoNotOptimize(zal_get_cycles());
}
BENCHMARK(BM_GetCycles);

}  // namespace

BENCHMARK_MAIN();
