// Opening a port for capture, as a program does it once per run: open with
// the default sizes, ring open, start, stop, ring close, close.  The data
// ring's memory is fresh for every client, so what it costs to hand a client
// a zeroed ring of the default size is most of the cycle.
#include <benchmark/benchmark.h>

#include "bench_sim.h"
#include "kpt.h"

namespace {

void BM_OpenCycle(benchmark::State &state)
{
    kptbench::sim();
    for (auto _ : state) {
        kpt_handle_t h = nullptr;
        kpt_ring_t r = nullptr;
        if (kpt_open_defaults(0, &h) != 0 || kpt_ring_open(h, &r) != 0 || kpt_start(h) != 0 ||
            kpt_stop(h) != 0 || kpt_ring_close(r) != 0 || kpt_close(h) != 0) {
            state.SkipWithError("open cycle failed");
            break;
        }
    }
}
BENCHMARK(BM_OpenCycle)->Unit(benchmark::kMillisecond)->MinTime(2.0)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
