// bench_ats.cpp - switch timestamps: what decoding costs per packet, and
// whether the simulated switch keeps the generator at line rate.
//
// BM_RecvStamped receives 64-byte frames (60 bytes, the 4-byte trailer, the
// FCS) from a queue written here, one keyframe per 10 000 frames, through a
// ring that decodes (stamped=1) or a plain one (stamped=0) reading the same
// queue.  The queue is written a lap of the descriptor ring at a time, data
// included, outside the timing; the release synchronisation goes to a
// descriptor on which it fails at once (what a system call costs at least).
//
// BM_GenStamp is the adapter thread's share: generator frames stamped by the
// switch, as fast as they can be made.  BM_LineRateStamped is the end to end
// run: the generator at 10 GbE line rate, 64-byte frames, through the switch
// (keyframes every millisecond) into a decoding ring (decode=1) or a plain
// one for three seconds.
#include <endian.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "kpt_rx.h"
#include "bench_sim.h"
#include "quorsim.h"
#include "sim_internal.h"
#include "sim_switch.h"

namespace {

constexpr uint64_t kDataRing = 64ull << 20;
constexpr uint32_t kFrame = 64;           // with the trailer, without the FCS
constexpr uint32_t kKeyframe = 84;
constexpr uint64_t kFramesPerKeyframe = 10000;
constexpr uint64_t kUtc = 1700000000000000000ull;

using kptbench::Sim;
using kptbench::sim;

void PutBe(uint8_t *p, uint64_t v, int n)
{
    for (int i = n - 1; i >= 0; --i, v >>= 8) p[i] = uint8_t(v);
}

// A ring of a stopped port whose queue is written here, a lap at a time.
class StampedQueue {
public:
    explicit StampedQueue(bool stamped)
    {
        sim();
        if (stamped)
            setenv("QUOR_ARISTA_ENABLE_TIMESTAMPING", "1", 1);
        else
            unsetenv("QUOR_ARISTA_ENABLE_TIMESTAMPING");
        if (kpt_open(0, 1, nullptr, int64_t(kDataRing), -1, &h_) != 0 ||
            kpt_ring_open(h_, &ring_) != 0) {
            fprintf(stderr, "bench_ats: cannot open a ring\n");
            exit(1);
        }
        unsetenv("QUOR_ARISTA_ENABLE_TIMESTAMPING");
        rx_ = &ring_->u.ring.rx;
        base_ = rx_->evq_base;
        n_ = rx_->rx_s->evq.evq_last_idx + 1;
        mprotect(base_, rx_->rx_map.map_rx_desc_ring_size, PROT_READ | PROT_WRITE);
        ring_data_ = reinterpret_cast<uint8_t *>(rx_->rx_map.map_rx_data);
        next_ = rx_->rx_s->evq.evq_desc_cnt;
        off_ = rx_->rx_s->recvq.rq_data_off;
        Lap();
    }
    ~StampedQueue()
    {
        kpt_ring_close(ring_);
        kpt_close(h_);
    }
    // Writes the next lap of descriptors and their frames: as many as the
    // data ring holds.
    void Lap()
    {
        const uint32_t lap = std::min<uint32_t>(n_, kDataRing / (QUOR_KPT_DESC_MAX_PKTS * 96) - 1);
        for (uint32_t i = 0; i < lap; ++i, ++next_) {
            nfw_kpt_rx_desc_t &d = base_[next_ % n_];
            memset(&d, 0, offsetof(nfw_kpt_rx_desc_t, prehash));
            uint32_t total = 0;
            const uint32_t cnt = QUOR_KPT_DESC_MAX_PKTS;
            for (uint32_t k = 0; k < cnt; ++k) {
                const bool kf = ++count_ % kFramesPerKeyframe == 0;
                const uint32_t len = (kf ? kKeyframe : kFrame) + QUOR_FCS_LEN;
                uint8_t f[kKeyframe + 4];
                Build(f, kf);
                Write(total + 8, f, len - QUOR_FCS_LEN);
                d.pkt_lens[k] = htobe16(uint16_t(len));
                total += quor_kpt_rpd_length_up(len);
            }
            const uint64_t ticks = rx_->nticks.ticks + 1000;
            d.timestamp_high = htobe32(uint32_t(ticks >> 32));
            d.timestamp_low = htobe32(uint32_t(ticks));
            d.total_len = htobe16(uint16_t(total));
            d.pkt_cnt = uint8_t(cnt);
            off_ = (off_ + total) % kDataRing;
            std::atomic_ref<uint8_t>(d.seqnum).store(uint8_t(1 + next_ % 255),
                                                     std::memory_order_release);
        }
    }
    kpt_ring_t ring() const { return ring_; }
    kpt__rx *rx() const { return rx_; }

private:
    void Build(uint8_t *f, bool kf)
    {
        memset(f, 0, kKeyframe);
        f[12] = 0x08;
        f[14] = 0x45;
        f[23] = kf ? 253 : 17;
        t_ = (t_ + 24) & 0x7fffffff;
        uint32_t len = kFrame;
        if (kf) {
            PutBe(f + 34, t_, 8);
            PutBe(f + 42, kUtc + count_ * 67, 8);
            PutBe(f + 50, 1, 8);
            f[34 + 44] = 1; // appended
            len = kKeyframe;
        }
        PutBe(f + len - 4, ((t_ >> 7) << 8) | (t_ & 0x7f), 4);
    }
    void Write(uint32_t at, const uint8_t *p, uint32_t n)
    {
        for (uint32_t i = 0; i < n; ++i) ring_data_[(off_ + at + i) % kDataRing] = p[i];
    }

    kpt_handle_t h_ = nullptr;
    kpt_ring_t ring_ = nullptr;
    kpt__rx *rx_ = nullptr;
    nfw_kpt_rx_desc_t *base_ = nullptr;
    uint8_t *ring_data_ = nullptr;
    uint32_t n_ = 0;
    uint64_t next_ = 0, off_ = 0, count_ = 0;
    uint32_t t_ = 0;
};

void BM_RecvStamped(benchmark::State &state)
{
    const bool stamped = state.range(0) != 0;
    StampedQueue q(stamped);
    const zal_handle_t mh = q.rx()->mhandle;
    q.rx()->mhandle = -1;
    kpt_recv_req req;
    uint64_t keyframes_seen = 0;
    for (auto _ : state) {
        int rc = kpt_ring_recv(q.ring(), 0, &req);
        while (__builtin_expect(rc != 0, 0)) {
            // Out of descriptors, or a keyframe consumed.
            if (q.rx()->rx_s->evq.evq_evinfo_idx < 0 &&
                q.rx()->evq_base[q.rx()->rx_s->evq.evq_next_idx].seqnum !=
                    q.rx()->rx_s->evq.evq_seqnum) {
                state.PauseTiming();
                q.Lap();
                state.ResumeTiming();
            } else {
                ++keyframes_seen;
            }
            rc = kpt_ring_recv(q.ring(), 0, &req);
        }
        benchmark::DoNotOptimize(req);
    }
    q.rx()->mhandle = mh;
    // (A plain ring also hands out the keyframes, 84 bytes.)
    if (req.length != (stamped ? kFrame - 4 : kFrame) && req.length != kKeyframe)
        state.SkipWithError("wrong frame length");
    if (stamped && uint64_t(state.iterations()) > 2 * kFramesPerKeyframe &&
        q.rx()->ats.arct_status != ATS_STATUS_ACTIVE)
        state.SkipWithError("not active");
    state.counters["Mpps"] =
        benchmark::Counter(double(state.iterations()) / 1e6, benchmark::Counter::kIsRate);
    state.counters["keyframes"] = double(keyframes_seen);
}

BENCHMARK(BM_RecvStamped)->ArgNames({"stamped"})->Arg(0)->Arg(1)->MinTime(1.0);

void BM_GenStamp(benchmark::State &state)
{
    const bool with_switch = state.range(0) != 0;
    std::string err;
    auto src = quorsim::make_source("gen:rate=line,len=60", quorsim::SourceDefaults{}, &err);
    std::atomic<uint64_t> drops{0};
    const uint8_t mac[6] = {2, 0x51, 0x53, 2, 0, 0};
    quorsim::Switch sw(0, mac, &drops);
    quorsim::SwitchSettings s;
    s.period_ms = 1;
    int64_t now = quorsim::mono_ns(), due = 0;
    sw.apply(s, now);
    src->start(now);
    quorsim::Frame frames[64];
    uint64_t n = 0;
    for (auto _ : state) {
        now += 64 * 68; // a batch's worth of line-rate time
        const size_t k = src->pull(now, frames, 64, &due);
        if (with_switch) {
            std::lock_guard<std::mutex> lk(sw.mu);
            benchmark::DoNotOptimize(sw.stamp(frames, k, now).data());
        }
        n += k;
    }
    state.counters["Mpps"] = benchmark::Counter(double(n) / 1e6, benchmark::Counter::kIsRate);
    state.counters["x_line_rate"] =
        benchmark::Counter(double(n) / 14880952.0, benchmark::Counter::kIsRate);
}

BENCHMARK(BM_GenStamp)->ArgNames({"switch"})->Arg(0)->Arg(1)->MinTime(1.0);

void BM_LineRateStamped(benchmark::State &state)
{
    const bool decode = state.range(0) != 0;
    Sim &s = sim();
    const uint64_t total = 44642857; // three seconds of line rate
    s.sim->command("switch 0 period=1");
    s.sim->command("wire 0 gen:rate=line,len=60,count=" + std::to_string(total));
    setenv("QUOR_ARISTA_ENABLE_TIMESTAMPING", decode ? "1" : "0", 1);
    kpt_handle_t h;
    kpt_ring_t ring;
    if (kpt_open(0, 1, nullptr, 256, -1, &h) != 0 || kpt_ring_open(h, &ring) != 0) {
        state.SkipWithError("open");
        return;
    }
    unsetenv("QUOR_ARISTA_ENABLE_TIMESTAMPING");
    uint64_t got = 0, back = 0, last = 0;
    for (auto _ : state) {
        kpt_start(h);
        int idle = 0;
        while (got < total && idle < 20) {
            kpt_recv_req req;
            if (kpt_ring_recv(ring, 100, &req) != 0) {
                idle++;
                continue;
            }
            idle = 0;
            if (req.timestamp < last) back++;
            last = req.timestamp;
            got++;
        }
        kpt_stop(h);
    }
    kpt_ring_stats st = {};
    kpt_ring_getstats(ring, &st);
    state.counters["delivered"] = double(got);
    state.counters["delivered_Mpps"] =
        benchmark::Counter(double(got) / 1e6, benchmark::Counter::kIsRate);
    state.counters["overflow"] = double(st.ring_pkt_overflow);
    state.counters["ts_backwards"] = double(back);
    state.counters["keyframes"] = double(ring->u.ring.rx.ats.arct_stats.arst_kfrecv);
    kpt_ring_close(ring);
    kpt_close(h);
    s.sim->command("wire 0 off");
    s.sim->command("switch 0 off");
}

BENCHMARK(BM_LineRateStamped)
    ->ArgNames({"decode"})
    ->Arg(1)
    ->Arg(0)
    ->Iterations(1)
    ->UseRealTime()
    ->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
