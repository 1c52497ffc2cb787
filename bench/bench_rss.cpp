// bench_rss.cpp - cost of the receive-side scaling hash per frame, by frame
// type.  Each benchmark cycles through 256 frames of distinct flows of one
// type; one iteration hashes one frame, so the time per iteration is the cost
// per frame per ring of a shared queue.
#include <stdint.h>

#include <vector>

#include <benchmark/benchmark.h>

#include "kpt_internal.h"
#include "quor_rss.h"
#include "rss_frames.h"

using namespace rssf;

namespace {

constexpr uint32_t kFlow = KPT_RSS_IP | KPT_RSS_SRC_PORT | KPT_RSS_DST_PORT;
constexpr uint32_t kAll = kFlow | KPT_RSS_GTP | KPT_RSS_GRE;
constexpr int kFlows = 256;

enum class Kind { IPv4Tcp, IPv6Udp, Vlan, Mpls, Gre, Erspan, GtpU };

Frame Make(Kind kind, int i)
{
    const uint32_t a = Ip4(10, 1, uint8_t(i), 1), b = Ip4(10, 2, 0, uint8_t(i));
    const uint16_t sp = uint16_t(1024 + i * 7), dp = uint16_t(80 + i);
    const Frame inner = Frame().Eth(kVlan).Tag(3, kIPv4).IPv4(a, b, kTcp).Tcp(sp, dp);
    switch (kind) {
    case Kind::IPv4Tcp:
        return Frame().Eth(kIPv4).IPv4(a, b, kTcp).Tcp(sp, dp).Pad();
    case Kind::IPv6Udp:
        return Frame().Eth(kIPv6).IPv6(1, a, 2, b, kUdp).Udp(sp, dp).Pad();
    case Kind::Vlan:
        return Frame().Eth(kQinQ).Tag(7, kVlan).Tag(100, kIPv4).IPv4(a, b, kTcp).Tcp(sp, dp).Pad();
    case Kind::Mpls:
        return Frame().Eth(kMpls).Mpls(16, false).Mpls(17, true).IPv4(a, b, kTcp).Tcp(sp, dp).Pad();
    case Kind::Gre:
        return Frame()
            .Eth(kIPv4)
            .IPv4(Ip4(172, 16, 0, 1), Ip4(172, 16, 0, 2), kGre)
            .Gre(kGreKey, kIPv4)
            .IPv4(a, b, kTcp)
            .Tcp(sp, dp)
            .Pad();
    case Kind::Erspan:
        return Frame()
            .Eth(kIPv4)
            .IPv4(Ip4(172, 16, 0, 1), Ip4(172, 16, 0, 2), kGre)
            .Gre(kGreSeq, kErspan3)
            .Erspan3(true)
            .Append(inner)
            .Pad();
    case Kind::GtpU:
        return Frame().Eth(kIPv4).IPv4(a, b, kUdp).Udp(2152, 2152).Gtp(0x30, 0x1000u + i).Pad();
    }
    return Frame();
}

void BM_RssHash(benchmark::State &state, Kind kind, uint32_t flags)
{
    std::vector<Frame> frames;
    for (int i = 0; i < kFlows; i++)
        frames.push_back(Make(kind, i));
    unsigned i = 0;
    for (auto _ : state) {
        const Frame &f = frames[i++ % kFlows];
        benchmark::DoNotOptimize(quor_rss_hash(f.data(), f.size(), flags));
    }
    state.SetItemsProcessed(state.iterations());
}

// A queue carrying every type above in random order (branches mispredict).
void BM_RssHashMixed(benchmark::State &state)
{
    std::vector<Frame> frames;
    uint32_t r = 12345;
    for (int i = 0; i < kFlows; i++) {
        r = r * 1103515245u + 12345u;
        frames.push_back(Make(Kind((r >> 16) % 7), i));
    }
    unsigned i = 0;
    for (auto _ : state) {
        const Frame &f = frames[i++ % kFlows];
        benchmark::DoNotOptimize(quor_rss_hash(f.data(), f.size(), kAll));
    }
    state.SetItemsProcessed(state.iterations());
}

// Through the library's hash function pointer, as the receive path calls it.
void BM_KptRssHash(benchmark::State &state)
{
    std::vector<Frame> frames;
    std::vector<kpt_recv_req> reqs(kFlows);
    for (int i = 0; i < kFlows; i++)
        frames.push_back(Make(Kind::IPv4Tcp, i));
    for (int i = 0; i < kFlows; i++) {
        reqs[i].pkt_addr = frames[i].b.data();
        reqs[i].length = frames[i].size();
    }
    kpt_rss_fn_t volatile fn = kpt__rss_hash;
    void *ctx = (void *)(uintptr_t)kFlow;
    unsigned i = 0;
    for (auto _ : state) {
        uint32_t h = 0;
        fn(&reqs[i++ % kFlows], ctx, &h);
        benchmark::DoNotOptimize(h);
    }
    state.SetItemsProcessed(state.iterations());
}

} // namespace

BENCHMARK_CAPTURE(BM_RssHash, ipv4_tcp_flow, Kind::IPv4Tcp, kFlow);
BENCHMARK_CAPTURE(BM_RssHash, ipv4_tcp, Kind::IPv4Tcp, kAll);
BENCHMARK_CAPTURE(BM_RssHash, ipv6_udp, Kind::IPv6Udp, kAll);
BENCHMARK_CAPTURE(BM_RssHash, qinq_ipv4_tcp, Kind::Vlan, kAll);
BENCHMARK_CAPTURE(BM_RssHash, mpls2_ipv4_tcp, Kind::Mpls, kAll);
BENCHMARK_CAPTURE(BM_RssHash, gre_ipv4_tcp, Kind::Gre, kAll);
BENCHMARK_CAPTURE(BM_RssHash, erspan3_vlan_tcp, Kind::Erspan, kAll);
BENCHMARK_CAPTURE(BM_RssHash, gtpu_teid, Kind::GtpU, kAll);
BENCHMARK(BM_RssHashMixed);
BENCHMARK(BM_KptRssHash);

BENCHMARK_MAIN();
