// bench_pcap.cpp - the libpcap route's cost per packet: pcap_dispatch with an
// empty callback on a port opened through libkpt_pcap's calls, beside
// kpt_ring_recv_many (reading each packet's time and length, as a minimal
// reader does) on the same ring, from a queue filled in advance
// (filled_ring.h).  ns_per_pkt is the figure; the difference between the two
// is what the route adds (header, filter check, callback).  The library is
// built into this program, the system's packet capture library behind it as
// in a preloaded program.  The driver synchronisation every 64 KiB is a
// failing system call, as in bench_rx.
#include <pcap/pcap.h>

#include <vector>

#include <benchmark/benchmark.h>

#include "filled_ring.h"
#include "pcap_real.h"

namespace {

using kptbench::FilledRing;

void empty_cb(u_char *, const struct pcap_pkthdr *, const u_char *) {}

void Receive(benchmark::State &state, bool dispatch)
{
    const uint32_t frame = uint32_t(state.range(0));
    kptbench::sim();
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t *p = pcap_create("quor0", errbuf);
    if (p == nullptr || pcap_set_buffer_size(p, int(kptbench::kDataRing)) != 0 ||
        pcap_activate(p) != 0 || pcap_setnonblock(p, 1, errbuf) != 0) {
        state.SkipWithError(p ? pcap_geterr(p) : errbuf);
        return;
    }
    kpt_ring_t ring = kptpcap::ring_of(p);
    FilledRing fr(ring, frame, ring->u.ring.rx.nticks.ticks + 1000);
    const zal_handle_t mh = fr.rx()->mhandle;
    fr.rx()->mhandle = -1;

    constexpr int kBatch = 256;
    std::vector<kpt_recv_req> v(kBatch);
    uint64_t packets = 0, ts = 0;
    for (auto _ : state) {
        int n = 0;
        if (dispatch) {
            n = pcap_dispatch(p, kBatch, empty_cb, nullptr);
            if (__builtin_expect(n <= 0, 0)) {
                state.PauseTiming();
                fr.Publish();
                state.ResumeTiming();
                n = pcap_dispatch(p, kBatch, empty_cb, nullptr);
            }
        } else {
            int rc = kpt_ring_recv_many(ring, 0, v.data(), kBatch, &n, nullptr);
            if (__builtin_expect(rc != 0, 0)) {
                state.PauseTiming();
                fr.Publish();
                state.ResumeTiming();
                kpt_ring_recv_many(ring, 0, v.data(), kBatch, &n, nullptr);
            }
            uint32_t taken = 0;
            for (int i = 0; i < n; ++i) {
                ts += v[size_t(i)].timestamp + v[size_t(i)].length;
                taken += v[size_t(i)].length_data;
            }
            kpt_ring_return_many(ring, taken, nullptr);
        }
        packets += uint64_t(n > 0 ? n : 0);
    }
    benchmark::DoNotOptimize(ts);
    fr.rx()->mhandle = mh;
    state.counters["ns_per_pkt"] = benchmark::Counter(
        double(packets), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["pkts/call"] = double(packets) / double(state.iterations());
    state.SetItemsProcessed(int64_t(packets));
    pcap_close(p);
}

void BM_PcapDispatch(benchmark::State &state) { Receive(state, true); }
void BM_PcapRecvMany(benchmark::State &state) { Receive(state, false); }

BENCHMARK(BM_PcapDispatch)->ArgNames({"frame"})->Arg(64)->Arg(1514);
BENCHMARK(BM_PcapRecvMany)->ArgNames({"frame"})->Arg(64)->Arg(1514);

} // namespace

BENCHMARK_MAIN();
