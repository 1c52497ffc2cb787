// bench_rx.cpp - single-ring receive from a queue filled in advance: the time
// per packet of kpt_ring_recv (one iteration receives one packet and releases
// the one before it), for 64-, 512- and 1514-byte frames.  The payload is
// never touched.
//
// The queue is written here, as the adapter would write it, into a ring of an
// in-process simulator whose port is never started: the descriptor ring is
// filled with descriptors of as many packets as fit (58 short frames, fewer
// long ones), and each time the reader has consumed a lap the sequence
// numbers are rewritten for the next lap, outside the timing.
//
// Every 64 KiB released the library synchronises with the driver.  With
// driver=sim that request travels to the simulator over its socket and back
// (a thread switch each way); with driver=syscall the ring's descriptor is
// replaced, while timing, by one on which the request fails at once in the
// kernel, which is what a system call into a real driver costs at least.
#include <endian.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <memory>
#include <string>

#include <benchmark/benchmark.h>

#include "kpt_rx.h"
#include "quorsim.h"

namespace {

constexpr uint64_t kDataRing = 64ull << 20;

// A simulator on a private device directory and the initialised library,
// shared by every benchmark of the program.
struct Sim {
    Sim()
    {
        char tmpl[] = "/tmp/kpt-bench-XXXXXX";
        dir = mkdtemp(tmpl);
        setenv("ZAL_DEV_DIR", dir.c_str(), 1);
        quorsim::Options o;
        o.dir = dir;
        o.ports = 1;
        sim = std::make_unique<quorsim::Simulator>(o);
        std::string err;
        if (sim->start(&err) != 0 || kpt_init(KPT_API_VERSION) != 0) {
            fprintf(stderr, "bench_rx: cannot start the simulator: %s\n", err.c_str());
            exit(1);
        }
    }
    ~Sim()
    {
        sim->stop();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string dir;
    std::unique_ptr<quorsim::Simulator> sim;
};

Sim &sim()
{
    static Sim s;
    return s;
}

// A ring whose descriptor ring holds identical descriptors of `frame`-byte
// frames; Publish() makes the next lap of them valid.
class FilledRing {
public:
    explicit FilledRing(uint32_t frame)
    {
        sim();
        if (kpt_open(0, 1, nullptr, int64_t(kDataRing), -1, &h_) != 0 ||
            kpt_ring_open(h_, &ring_) != 0) {
            fprintf(stderr, "bench_rx: cannot open a ring\n");
            exit(1);
        }
        rx_ = &ring_->u.ring.rx;
        base_ = rx_->evq_base;
        n_ = rx_->rx_s->evq.evq_last_idx + 1;
        mprotect(base_, rx_->rx_map.map_rx_desc_ring_size, PROT_READ | PROT_WRITE);

        const uint32_t len = frame + QUOR_FCS_LEN;
        const uint32_t slot = quor_kpt_rpd_length_up(len);
        pkts_ = std::min<uint32_t>(QUOR_KPT_DESC_MAX_PKTS, 65535 / slot);
        nfw_kpt_rx_desc_t d = {};
        for (uint32_t i = 0; i < pkts_; ++i) d.pkt_lens[i] = htobe16(uint16_t(len));
        const uint64_t ticks = rx_->nticks.ticks + 1000;
        d.timestamp_high = htobe32(uint32_t(ticks >> 32));
        d.timestamp_low = htobe32(uint32_t(ticks));
        d.total_len = htobe16(uint16_t(pkts_ * slot));
        d.pkt_cnt = uint8_t(pkts_);
        for (uint32_t i = 0; i < n_; ++i) base_[i] = d;
        next_ = rx_->rx_s->evq.evq_desc_cnt;
        Publish();
    }
    ~FilledRing()
    {
        kpt_ring_close(ring_);
        kpt_close(h_);
    }
    // Valid sequence numbers for the next lap of the descriptor ring.
    void Publish()
    {
        for (uint32_t i = 0; i < n_; ++i, ++next_)
            std::atomic_ref<uint8_t>(base_[next_ % n_].seqnum)
                .store(uint8_t(1 + next_ % 255), std::memory_order_release);
    }
    kpt_ring_t ring() const { return ring_; }
    kpt__rx *rx() const { return rx_; }
    uint32_t pkts_per_desc() const { return pkts_; }

private:
    kpt_handle_t h_ = nullptr;
    kpt_ring_t ring_ = nullptr;
    kpt__rx *rx_ = nullptr;
    nfw_kpt_rx_desc_t *base_ = nullptr;
    uint32_t n_ = 0, pkts_ = 0;
    uint64_t next_ = 0;
};

void BM_RingRecv(benchmark::State &state)
{
    const uint32_t frame = uint32_t(state.range(0));
    const bool syscall_sync = state.range(1) != 0;
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
    state.SetBytesProcessed(int64_t(bytes));
}

BENCHMARK(BM_RingRecv)
    ->ArgNames({"frame", "driver_syscall"})
    ->ArgsProduct({{64, 512, 1514}, {1, 0}})
    ->MinTime(1.0);

}  // namespace

BENCHMARK_MAIN();
