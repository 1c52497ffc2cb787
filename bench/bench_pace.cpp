// Paced injection as it reaches the far end of a cable: one sender on port
// 0 spaces its frames by the asked rate (as kpt_inj -P does), port 1 is
// cabled to port 0 and a capture ring there reads the receive times.
// Counters, per asked rate (thousands of frames a second):
//   got_kpps        rate at the far end, from the first and last receive time
//   pace_error_pct  |got / asked - 1| in percent (goal: within 5 up to 1 Mpps)
//   gap_median_us   median gap between receive times (goal at 10 kpps: within
//                   10% of 100 us)
//   gaps_under_1us  share of gaps under a microsecond (frames left in bursts)
// Timing belongs here rather than in a test: on a loaded machine a sender's
// spin can stretch by any amount.
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <thread>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_sim.h"
#include "kpt.h"

namespace {

int64_t MonoNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

void BM_PacedInject(benchmark::State &state)
{
    auto &s = kptbench::sim();
    static bool cabled = false;
    if (!cabled) {
        s.sim->command("wire 1 peer:0");
        cabled = true;
    }
    const double pps = double(state.range(0)) * 1000;
    // A second of frames (as a short kpt_inj -P run), at least 400 gaps.
    const size_t n = size_t(std::max(401.0, pps));
    double err_sum = 0, gap_sum = 0, burst_sum = 0, got_sum = 0;
    int runs = 0;
    for (auto _ : state) {
        kpt_handle_t h = nullptr;
        kpt_ring_t ring = nullptr;
        kpt_inject_t inj = nullptr;
        if (kpt_open(1, 1, nullptr, 64 << 20, -1, &h) != 0 || kpt_ring_open(h, &ring) != 0 ||
            kpt_start(h) != 0 || kpt_inject_open(0, 0, &inj) != 0) {
            state.SkipWithError("open");
            break;
        }
        std::vector<uint64_t> ts;
        ts.reserve(n);
        std::atomic<bool> sent{false};
        std::thread rx([&] {
            kpt_recv_req req;
            int64_t quiet_since = 0;
            while (ts.size() < n) {
                int rc = kpt_ring_recv(ring, 20, &req);
                if (rc == 0) {
                    ts.push_back(req.timestamp);
                    quiet_since = 0;
                } else if (sent.load()) {
                    if (!quiet_since) quiet_since = MonoNs();
                    if (MonoNs() - quiet_since > 500000000) break; // the rest was lost
                }
            }
        });
        uint8_t frame[60] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 2, 0, 0, 0, 0, 1, 0x08, 0x00};
        const int64_t t0 = MonoNs();
        for (size_t i = 0; i < n; ++i) {
            const int64_t due = t0 + int64_t(double(i) * 1e9 / pps);
            while (MonoNs() < due) {
            }
            while (kpt_inject_send(inj, 100, 0, frame, sizeof frame) == EAGAIN) {
            }
        }
        sent = true;
        rx.join();
        kpt_inject_close(inj);
        kpt_stop(h);
        kpt_ring_close(ring);
        kpt_close(h);
        if (ts.size() < 2) {
            state.SkipWithError("nothing arrived");
            break;
        }
        std::vector<double> gaps;
        for (size_t i = 1; i < ts.size(); ++i) gaps.push_back(double(ts[i] - ts[i - 1]) / 1000);
        std::vector<double> sorted = gaps;
        std::nth_element(sorted.begin(), sorted.begin() + long(sorted.size() / 2), sorted.end());
        const double got = double(ts.size() - 1) * 1e9 / double(ts.back() - ts.front());
        got_sum += got;
        err_sum += std::fabs(got / pps - 1) * 100;
        gap_sum += sorted[sorted.size() / 2];
        burst_sum += double(std::count_if(gaps.begin(), gaps.end(), [](double g) { return g < 1; })) /
                     double(gaps.size());
        ++runs;
    }
    if (runs) {
        state.counters["got_kpps"] = got_sum / runs / 1000;
        state.counters["pace_error_pct"] = err_sum / runs;
        state.counters["gap_median_us"] = gap_sum / runs;
        state.counters["gaps_under_1us"] = burst_sum / runs;
    }
}
BENCHMARK(BM_PacedInject)
    ->Arg(10)
    ->Arg(100)
    ->Arg(200)
    ->Arg(500)
    ->Arg(1000)
    ->Iterations(3)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
