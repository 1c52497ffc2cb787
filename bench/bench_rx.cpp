// bench_rx.cpp - single-ring receive from a queue filled in advance: the time
// per packet of kpt_ring_recv (one iteration receives one packet and releases
// the one before it), for 64-, 512- and 1514-byte frames.  The payload is
// never touched.
//
// The queue is written here, as the adapter would write it (filled_ring.h),
// into a ring of an in-process simulator whose port is never started.
//
// BM_RingRecvMany/<frame>/<batch> borrows the same packets in batches of 1
// to 256 with kpt_ring_recv_many, reads their timestamps and gives back
// what the batch took with kpt_ring_return_many; BM_GroupRecv merges two
// such rings of two ports through a ring group.  BM_SharedQueue4 drains a
// shared queue through four rings; BM_LineRate64 is the end-to-end run of a
// line-rate generator into one ring.  Items are packets: items_per_second is
// packets a second.  bench/compare.sh reads these names.
//
// Every 64 KiB released the library synchronises with the driver.  In
// BM_RingRecv and BM_RingRecvMany the ring's descriptor is replaced, while
// timing, by one on which that request fails at once in the kernel, which is
// what a system call into a real driver costs at least; in BM_RingRecvSim
// the request travels to the simulator over its socket and back (a thread
// switch each way).
#include <endian.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "kpt_rx.h"
#include "bench_sim.h"
#include "filled_ring.h"
#include "quorsim.h"

namespace {

using kptbench::FilledRing;
using kptbench::kDataRing;
using kptbench::Sim;
using kptbench::sim;

// One packet per iteration, the one before it released by the call.
void RingRecvOne(benchmark::State &state, bool syscall_sync)
{
    const uint32_t frame = uint32_t(state.range(0));
    FilledRing fr(frame);
    const zal_handle_t mh = fr.rx()->mhandle;
    if (syscall_sync) fr.rx()->mhandle = -1;

    kpt_recv_req req;
    uint64_t bytes = 0;
    for (auto _ : state) {
        int rc = kpt_ring_recv(fr.ring(), 0, &req);
        if (__builtin_expect(rc != 0, 0)) {
            state.PauseTiming();
            fr.Publish();
            state.ResumeTiming();
            rc = kpt_ring_recv(fr.ring(), 0, &req);
        }
        benchmark::DoNotOptimize(req);
        bytes += req.length;
    }
    fr.rx()->mhandle = mh;
    if (req.length != frame) state.SkipWithError("wrong frame length");
    state.counters["Mpps"] =
        benchmark::Counter(double(state.iterations()) / 1e6, benchmark::Counter::kIsRate);
    state.counters["pkts/desc"] = fr.pkts_per_desc();
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.SetBytesProcessed(int64_t(bytes));
}

void BM_RingRecv(benchmark::State &state) { RingRecvOne(state, true); }
void BM_RingRecvSim(benchmark::State &state) { RingRecvOne(state, false); }

// Without MinTime, which would add to the names that compare.sh reads.
BENCHMARK(BM_RingRecv)->Arg(64)->Arg(512)->Arg(1514);
BENCHMARK(BM_RingRecvSim)->Arg(64)->Arg(512)->Arg(1514);

// Batches: each iteration borrows up to `batch` packets, reads their
// timestamps (not their payload) and returns the space they took;
// ns_per_pkt is the figure to set beside BM_RingRecv's time per iteration.
void BM_RingRecvMany(benchmark::State &state)
{
    const uint32_t frame = uint32_t(state.range(0));
    const int batch = int(state.range(1));
    FilledRing fr(frame);
    const zal_handle_t mh = fr.rx()->mhandle;
    fr.rx()->mhandle = -1;

    std::vector<kpt_recv_req> v(static_cast<size_t>(batch));
    uint64_t packets = 0, bytes = 0, ts = 0;
    for (auto _ : state) {
        int n = 0;
        int rc = kpt_ring_recv_many(fr.ring(), 0, v.data(), batch, &n, nullptr);
        if (__builtin_expect(rc != 0, 0)) {
            state.PauseTiming();
            fr.Publish();
            state.ResumeTiming();
            rc = kpt_ring_recv_many(fr.ring(), 0, v.data(), batch, &n, nullptr);
        }
        uint32_t taken = 0;
        for (int i = 0; i < n; ++i) {
            ts += v[size_t(i)].timestamp;
            taken += v[size_t(i)].length_data;
        }
        kpt_ring_return_many(fr.ring(), taken, nullptr);
        packets += uint64_t(n);
        bytes += uint64_t(n) * v[0].length;
    }
    benchmark::DoNotOptimize(ts);
    fr.rx()->mhandle = mh;
    if (v[0].length != frame) state.SkipWithError("wrong frame length");
    if (kpt__rx_qborrowed(fr.rx()) != 0) state.SkipWithError("space left borrowed");
    state.counters["ns_per_pkt"] =
        benchmark::Counter(double(packets), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["pkts/call"] = double(packets) / double(state.iterations());
    state.SetItemsProcessed(int64_t(packets));
    state.SetBytesProcessed(int64_t(bytes));
}

BENCHMARK(BM_RingRecvMany)->ArgsProduct({{64, 512, 1514}, {1, 8, 32, 256}});

// A group over two ports, each member's queue filled beforehand: one
// kpt_ring_recv on the group per iteration, i.e. the time per merged packet.
void BM_GroupRecv(benchmark::State &state)
{
    const uint32_t frame = uint32_t(state.range(0));
    sim();
    kpt_handle_t h = nullptr;
    kpt_ring_t g = nullptr;
    if (kpt_open(0x3, 1, nullptr, int64_t(kDataRing), KPT_F_AGGREGATE_PORTMASK, &h) != 0 ||
        kpt_ring_open(h, &g) != 0) {
        state.SkipWithError("cannot open a group");
        return;
    }
    // Both ports stamp their packets alike (the second converts ticks with
    // the first one's clock while timing), so that the merge alternates
    // between them instead of holding one back behind a clock difference.
    kpt__rx *rx0 = &g->u.group.ports[0].ring->u.ring.rx;
    kpt__rx *rx1 = &g->u.group.ports[1].ring->u.ring.rx;
    const quor_kwindow_t *kw1 = rx1->kwindow;
    const quor_clksync_nticks_t nt1 = rx1->nticks;
    rx1->kwindow = rx0->kwindow;
    rx1->nticks = rx0->nticks;
    std::unique_ptr<FilledRing> m[2];
    zal_handle_t mh[3] = {g->mhandle, -1, -1};
    for (int i = 0; i < 2; ++i) {
        kpt_ring_t member = g->u.group.ports[i].ring;
        m[i] = std::make_unique<FilledRing>(member, frame, rx0->nticks.ticks + 1000);
        mh[i + 1] = member->u.ring.rx.mhandle;
        member->u.ring.rx.mhandle = -1;
    }
    g->mhandle = -1;
    kpt_recv_req req = {};
    uint64_t per_port[2] = {};
    for (auto _ : state) {
        int rc = kpt_ring_recv(g, 0, &req);
        if (__builtin_expect(rc != 0, 0)) {
            state.PauseTiming();
            for (auto &r : m)
                if (r->Drained()) r->Publish();
            state.ResumeTiming();
            rc = kpt_ring_recv(g, 0, &req);
        }
        per_port[req.portnum & 1]++;
    }
    g->mhandle = mh[0];
    for (int i = 0; i < 2; ++i) g->u.group.ports[i].ring->u.ring.rx.mhandle = mh[i + 1];
    rx1->kwindow = kw1;
    rx1->nticks = nt1;
    state.counters["Mpps"] =
        benchmark::Counter(double(state.iterations()) / 1e6, benchmark::Counter::kIsRate);
    state.counters["port1_share"] = double(per_port[1]) / double(per_port[0] + per_port[1]);
    m[0].reset();
    m[1].reset();
    kpt_ring_close(g);
    kpt_close(h);
}

BENCHMARK(BM_GroupRecv)->ArgNames({"frame"})->Arg(64)->Arg(1514)->MinTime(1.0);

// Four rings on one shared queue: the adapter fills the queue with 64-byte
// frames of 1024 flows (the port is started until the queue overflows, then
// stopped, outside the timing); the timed part drains it through each ring
// in turn.  Every ring reads every packet and keeps the quarter its hash
// selects, so the figure per queue packet is four reads and four hashes.
void BM_SharedQueue4(benchmark::State &state)
{
    const bool syscall_sync = state.range(0) != 0;
    Sim &s = sim();
    s.sim->command("wire 0 gen:rate=line,len=60,flows=1024");
    kpt_handle_t h;
    kpt_ring_t rings[4];
    if (kpt_open(0, 4, nullptr, 16, -1, &h) != 0) {
        state.SkipWithError("kpt_open");
        return;
    }
    for (auto &r : rings)
        if (kpt_ring_open(h, &r) != 0) {
            state.SkipWithError("kpt_ring_open");
            return;
        }
    uint64_t packets = 0, kept[4] = {};
    kpt_ring_stats st = {};
    for (auto _ : state) {
        state.PauseTiming();
        kpt_ring_getstats(rings[0], &st);
        const uint64_t ovf = st.ring_pkt_overflow;
        kpt_start(h);
        do {
            usleep(1000);
            kpt_ring_getstats(rings[0], &st);
        } while (st.ring_pkt_overflow == ovf);
        kpt_stop(h);
        usleep(2000); // the adapter's last batch is published
        zal_handle_t mh[4];
        for (int i = 0; i < 4; ++i) {
            mh[i] = rings[i]->u.ring.rx.mhandle;
            if (syscall_sync) rings[i]->u.ring.rx.mhandle = -1;
        }
        state.ResumeTiming();
        for (int i = 0; i < 4; ++i) {
            kpt_recv_req req;
            while (kpt_ring_recv(rings[i], 0, &req) == 0) kept[i]++;
        }
        state.PauseTiming();
        for (int i = 0; i < 4; ++i) rings[i]->u.ring.rx.mhandle = mh[i];
        kpt__rx_state *rs = rings[0]->u.ring.rx.rx_s;
        packets = rs->recvq.stats.rq_pkt_cnt + rs->recvq.stats.rq_pkt_cnt_skip_rss +
                  rs->recvq.stats.rq_pkt_cnt_drop;
        state.ResumeTiming();
    }
    // Each iteration drained one full queue; packets counts them all.
    const double per_iter = double(packets) / double(state.iterations());
    state.counters["queue_pkts"] = per_iter;
    state.counters["ns/queue_pkt"] = benchmark::Counter(
        double(state.iterations()) * per_iter, benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
        benchmark::Counter::kIs1000);
    state.counters["queue_Mpps"] =
        benchmark::Counter(double(state.iterations()) * per_iter / 1e6, benchmark::Counter::kIsRate);
    state.counters["ring0_share"] = double(kept[0]) / double(kept[0] + kept[1] + kept[2] + kept[3]);
    for (auto &r : rings) kpt_ring_close(r);
    kpt_close(h);
    s.sim->command("wire 0 off");
}

BENCHMARK(BM_SharedQueue4)
    ->ArgNames({"driver_syscall"})
    ->Arg(1)
    ->Arg(0)
    ->Iterations(5)
    ->Unit(benchmark::kMillisecond);

// End to end: the adapter generates 64-byte frames (60 bytes and the FCS) at
// 10 GbE line rate, 14.88 Mpps, for ten seconds into one ring, which this
// thread reads as fast as it can; the simulator's adapter thread takes the
// other core.  Reports the delivered rate and what overflowed.
void BM_LineRate64(benchmark::State &state)
{
    Sim &s = sim();
    const uint64_t total = 148809523; // ten seconds of line rate
    s.sim->command("wire 0 gen:rate=line,len=60,count=" + std::to_string(total));
    kpt_handle_t h;
    kpt_ring_t ring;
    if (kpt_open(0, 1, nullptr, 256, -1, &h) != 0 || kpt_ring_open(h, &ring) != 0) {
        state.SkipWithError("open");
        return;
    }
    uint64_t got = 0, bad_order = 0, last_ts = 0;
    for (auto _ : state) {
        kpt_start(h);
        int idle = 0;
        while (got < total && idle < 20) {
            kpt_recv_req req;
            int rc = kpt_ring_recv(ring, 100, &req);
            if (rc != 0) {
                idle++;
                continue;
            }
            idle = 0;
            if (req.timestamp < last_ts) bad_order++;
            last_ts = req.timestamp;
            got++;
        }
        kpt_stop(h);
    }
    kpt_ring_stats st = {};
    kpt_ring_getstats(ring, &st);
    state.counters["delivered"] = double(got);
    state.counters["delivered_Mpps"] = benchmark::Counter(double(got) / 1e6, benchmark::Counter::kIsRate);
    state.counters["overflow"] = double(st.ring_pkt_overflow);
    state.counters["port_recv"] = double(st.nic_pkt_recv);
    state.counters["ts_backwards"] = double(bad_order);
    kpt_ring_close(ring);
    kpt_close(h);
    s.sim->command("wire 0 off");
}

BENCHMARK(BM_LineRate64)->Iterations(1)->UseRealTime()->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
