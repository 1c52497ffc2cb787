// Round trip of a driver request answered by the simulator at once (no
// waiting in it): the release synchronisation of a ring and the link state
// query.  Each iteration is one request; the counters give the median and
// the 99th percentile of the wall time per request, in microseconds, and the
// CPU time the request cost the whole process (library and simulator threads
// together), which the machine's load does not inflate.
#include <sys/resource.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include <benchmark/benchmark.h>

#include "bench_sim.h"
#include "kpt_rx.h"
#include "quor_io.h"
#include "zal_internal.h"

namespace {

using kptbench::sim;

double process_cpu_us()
{
    struct rusage ru;
    getrusage(RUSAGE_SELF, &ru);
    return double(ru.ru_utime.tv_sec + ru.ru_stime.tv_sec) * 1e6 +
           double(ru.ru_utime.tv_usec + ru.ru_stime.tv_usec);
}

int64_t now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// Runs one request per iteration and reports its latency distribution.
template <class Request> void run_timed(benchmark::State &state, Request request)
{
    std::vector<int64_t> ns;
    ns.reserve(1 << 20);
    const double cpu0 = process_cpu_us();
    for (auto _ : state) {
        int64_t t0 = now_ns();
        int e = request();
        ns.push_back(now_ns() - t0);
        if (e != 0) {
            state.SkipWithError("request failed");
            return;
        }
    }
    const double cpu = process_cpu_us() - cpu0;
    std::sort(ns.begin(), ns.end());
    auto at = [&](double q) { return double(ns[std::min(ns.size() - 1, size_t(q * double(ns.size())))]) / 1e3; };
    state.counters["median_us"] = at(0.5);
    state.counters["p99_us"] = at(0.99);
    state.counters["max_us"] = double(ns.back()) / 1e3;
    state.counters["cpu_us"] = cpu / double(ns.size());
    state.SetItemsProcessed(int64_t(state.iterations()));
}

void BM_RequestRxSync(benchmark::State &state)
{
    sim();
    kpt_handle_t h = nullptr;
    kpt_ring_t ring = nullptr;
    if (kpt_open(0, 1, nullptr, int64_t(16) << 20, -1, &h) != 0 || kpt_ring_open(h, &ring) != 0) {
        state.SkipWithError("cannot open a ring");
        return;
    }
    kpt__rx *rx = &ring->u.ring.rx;
    run_timed(state, [&] {
        // Nothing consumed: the ring's own position, which the simulator accepts.
        kpt__rx_sync rec;
        rec.rs_desc_cnt = rx->rx_s->evq.evq_desc_cnt;
        rec.rs_data_head = rx->rx_s->recvq.rq_data_head;
        rec.rs_data_tail = rx->rx_s->recvq.rq_data_tail;
        return zal_ioctl(rx->mhandle, int(QUOR_KPT_RX_SYNC), &rec, sizeof rec);
    });
    kpt_ring_close(ring);
    kpt_close(h);
}
BENCHMARK(BM_RequestRxSync)->UseRealTime();

void BM_RequestLinkState(benchmark::State &state)
{
    sim();
    zal_handle_t fd = -1;
    if (zal_open(0, 0, &fd, QUOR_PRODUCT_KPT) != 0) {
        state.SkipWithError("cannot open unit 0");
        return;
    }
    run_timed(state, [&] {
        uint32_t v = 0; // board 0 in, link state out
        return zal_ioctl(fd, int(QUOR_GET_LINK_STATE), &v, sizeof v);
    });
    zal_close(fd);
}
BENCHMARK(BM_RequestLinkState)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
