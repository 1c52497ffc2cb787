// Spreading a port's traffic over four rings: on one shared queue (each ring
// keeps what the hash gives it) and on per-ring queues filled by the adapter
// with the same hash.  Both must hand every frame to exactly one ring, the
// same ring in both modes, with both directions of a flow together.
#include <arpa/inet.h>
#include <errno.h>

#include <map>
#include <set>
#include <mutex>
#include <thread>

#include "kpt.h"
#include "kpt_internal.h"
#include "kpt_rx.h"
#include "lib_state.h"
#include "quor_rss.h"
#include "test_support.h"

namespace {

constexpr int kRings = 4;
constexpr int kFlows = 256;
constexpr int kFrames = 100000;
constexpr uint32_t kFlags = KPT_RSS_IP | KPT_RSS_SRC_PORT | KPT_RSS_DST_PORT;

// Source address and port: what tells the generator's flows apart.
uint64_t FlowKey(const uint8_t *f)
{
    uint32_t src;
    uint16_t sport;
    memcpy(&src, f + 26, 4);
    memcpy(&sport, f + 34, 2);
    return uint64_t(ntohl(src)) << 16 | ntohs(sport);
}

struct RingTally {
    std::map<uint64_t, uint64_t> flows; // flow -> frames
    uint64_t frames = 0;
    uint64_t misplaced = 0; // frames whose hash names another ring
};

class RssRings : public kpttest::SimTest {
protected:
    void TearDown() override
    {
        for (kpt_ring_t r : rings_)
            if (r) kpt_ring_close(r);
        if (h_) kpt_close(h_);
        SimTest::TearDown();
    }

    void Open(bool hw)
    {
        opts_.ports = 1;
        opts_.rss_hw = hw;
        opts_.wires = {"0=gen:pps=400000,len=60-200,count=" + std::to_string(kFrames) +
                       ",flows=" + std::to_string(kFlows)};
        StartSim();
        ASSERT_EQ(kpt_init(KPT_API_VERSION), 0);
        // 64 MiB holds the whole run, so a slow reader never loses a frame.
        ASSERT_EQ(kpt_open(0, kRings, nullptr, 64, 0, &h_), 0);
        for (int i = 0; i < kRings; ++i) ASSERT_EQ(kpt_ring_open(h_, &rings_[i]), 0);
    }

    // Receives on every ring, each in its own thread, until all frames have
    // arrived or nothing has come for a second.
    void Drain()
    {
        std::atomic<uint64_t> total{0};
        std::vector<std::thread> th;
        for (int i = 0; i < kRings; ++i)
            th.emplace_back([&, i] {
                int idle = 0;
                while (total.load() < uint64_t(kFrames) && idle < 10) {
                    kpt_recv_req req;
                    int rc = kpt_ring_recv(rings_[i], 100, &req);
                    if (rc == EAGAIN) {
                        ++idle;
                        continue;
                    }
                    ASSERT_EQ(rc, 0);
                    idle = 0;
                    const uint8_t *f = static_cast<const uint8_t *>(req.pkt_addr);
                    uint32_t want = quor_rss_hash(f, req.length, kFlags) & (kRings - 1);
                    tally_[i].frames++;
                    tally_[i].flows[FlowKey(f)]++;
                    if (want != uint32_t(i)) tally_[i].misplaced++;
                    total++;
                }
            });
        for (auto &t : th) t.join();
        // A ring stops once all frames are in; let each read the rest of the
        // queue (frames for the other rings) so its counters cover the run.
        for (kpt_ring_t r : rings_) {
            kpt_recv_req req;
            EXPECT_EQ(kpt_ring_recv(r, 0, &req), EAGAIN);
        }
    }

    // Every frame on exactly one ring, the ring its hash names, every flow
    // whole on one ring.
    void CheckSpread()
    {
        uint64_t sum = 0;
        std::map<uint64_t, int> owner;
        for (int i = 0; i < kRings; ++i) {
            sum += tally_[i].frames;
            EXPECT_EQ(tally_[i].misplaced, 0u) << "ring " << i;
            EXPECT_GT(tally_[i].frames, uint64_t(kFrames / kRings / 2)) << "ring " << i << " starved";
            for (auto &[flow, n] : tally_[i].flows) {
                auto [it, fresh] = owner.emplace(flow, i);
                EXPECT_TRUE(fresh) << "flow " << flow << " on rings " << it->second << " and " << i;
                // Flow i of N gets frames i, i+N, ...: 390 or 391 of them.
                EXPECT_GE(n, uint64_t(kFrames / kFlows)) << "flow " << flow;
                EXPECT_LE(n, uint64_t(kFrames / kFlows + 1)) << "flow " << flow;
            }
        }
        EXPECT_EQ(sum, uint64_t(kFrames));
        EXPECT_EQ(owner.size(), size_t(kFlows));
        kpt_ring_stats st = {};
        ASSERT_EQ(kpt_ring_getstats(rings_[0], &st), 0);
        EXPECT_EQ(st.nic_pkt_recv, uint64_t(kFrames));
        EXPECT_EQ(st.ring_pkt_overflow, 0u);
    }

    kpt_handle_t h_ = nullptr;
    kpt_ring_t rings_[kRings] = {};
    RingTally tally_[kRings];
};

const kpt__rx_state &State(kpt_ring_t r) { return *r->u.ring.rx.rx_s; }

TEST_F(RssRings, SharedQueueHandsEveryFrameToExactlyOneRing)
{
    ASSERT_NO_FATAL_FAILURE(Open(false));
    for (kpt_ring_t r : rings_) ASSERT_EQ(r->u.ring.rx.pq_mode, P_SHARED);
    ASSERT_EQ(kpt_start(h_), 0);
    Drain();
    CheckSpread();
    // Each ring read every frame of the queue: what it kept plus what it
    // passed over is the whole run.
    for (int i = 0; i < kRings; ++i) {
        const kpt__rx_state &st = State(rings_[i]);
        EXPECT_EQ(st.recvq.stats.rq_pkt_cnt, tally_[i].frames);
        EXPECT_EQ(st.recvq.stats.rq_pkt_cnt + st.recvq.stats.rq_pkt_cnt_skip_rss +
                      st.recvq.stats.rq_pkt_cnt_drop,
                  uint64_t(kFrames))
            << "ring " << i;
        EXPECT_EQ(st.recvq.stats.rq_pkt_cnt_drop, 0u);
    }
}

TEST_F(RssRings, AdapterQueuesSpreadTheSameWay)
{
    ASSERT_NO_FATAL_FAILURE(Open(true));
    for (kpt_ring_t r : rings_) {
        EXPECT_EQ(r->u.ring.rx.pq_mode, P_UNUSED);
        EXPECT_EQ(r->u.ring.rx.rx_map_flags & QUOR_KPT_MAP_SHARED, 0u);
    }
    EXPECT_NE(rings_[0]->u.ring.rx.rx_map.map_rx_data, rings_[1]->u.ring.rx.rx_map.map_rx_data)
        << "a queue per ring";
    ASSERT_EQ(kpt_start(h_), 0);
    Drain();
    CheckSpread();
    for (int i = 0; i < kRings; ++i)
        EXPECT_EQ(State(rings_[i]).recvq.stats.rq_pkt_cnt_skip_rss, 0u) << "nothing to pass over";
}

// A TCP frame between two endpoints.
std::vector<uint8_t> Tcp(uint32_t src, uint32_t dst, uint16_t sport, uint16_t dport)
{
    std::vector<uint8_t> f(64, 0);
    const uint8_t hdr[] = {2, 0x51, 0x53, 2, 0, 0, 2, 0, 0, 0, 0, 1, 0x08, 0x00, 0x45, 0, 0, 50};
    memcpy(f.data(), hdr, sizeof hdr);
    f[22] = 64;
    f[23] = 6;
    uint32_t s = htonl(src), d = htonl(dst);
    memcpy(&f[26], &s, 4);
    memcpy(&f[30], &d, 4);
    uint16_t sp = htons(sport), dp = htons(dport);
    memcpy(&f[34], &sp, 2);
    memcpy(&f[36], &dp, 2);
    return f;
}

class RssDirections : public RssRings, public ::testing::WithParamInterface<bool> {};

TEST_P(RssDirections, BothDirectionsOfAFlowMeetOnOneRing)
{
    opts_.ports = 1;
    opts_.rss_hw = GetParam();
    StartSim();
    ASSERT_EQ(kpt_init(KPT_API_VERSION), 0);
    ASSERT_EQ(kpt_open(0, kRings, nullptr, 16, 0, &h_), 0);
    for (int i = 0; i < kRings; ++i) ASSERT_EQ(kpt_ring_open(h_, &rings_[i]), 0);
    ASSERT_EQ(kpt_start(h_), 0);
    constexpr int kConversations = 64;
    for (int c = 0; c < kConversations; ++c) {
        uint32_t a = 0x0a000001 + uint32_t(c) * 7919, b = 0xc0a80001 + uint32_t(c) * 104729;
        uint16_t pa = uint16_t(1024 + c * 37), pb = uint16_t(80 + c);
        auto out = Tcp(a, b, pa, pb), back = Tcp(b, a, pb, pa);
        ASSERT_EQ(sim_->send_frame(0, out.data(), out.size()), 0);
        ASSERT_EQ(sim_->send_frame(0, back.data(), back.size()), 0);
    }
    // Each ring tells which conversations it saw, in which direction.
    std::map<uint64_t, std::pair<int, int>> seen; // lower address pair -> (ring, count)
    int got = 0;
    for (int idle = 0; got < 2 * kConversations && idle < 20;) {
        bool any = false;
        for (int i = 0; i < kRings; ++i) {
            kpt_recv_req req;
            if (kpt_ring_recv(rings_[i], 0, &req) != 0) continue;
            any = true;
            ++got;
            const uint8_t *f = static_cast<const uint8_t *>(req.pkt_addr);
            uint32_t s, d;
            memcpy(&s, f + 26, 4);
            memcpy(&d, f + 30, 4);
            uint64_t key = uint64_t(std::min(ntohl(s), ntohl(d))) << 32 | std::max(ntohl(s), ntohl(d));
            auto [it, fresh] = seen.emplace(key, std::make_pair(i, 0));
            EXPECT_EQ(it->second.first, i) << "the two directions went to different rings";
            it->second.second++;
        }
        if (!any) {
            ++idle;
            usleep(50000);
        }
    }
    EXPECT_EQ(got, 2 * kConversations);
    EXPECT_EQ(seen.size(), size_t(kConversations));
    std::set<int> used;
    for (auto &[k, v] : seen) {
        EXPECT_EQ(v.second, 2);
        used.insert(v.first);
    }
    EXPECT_EQ(used.size(), size_t(kRings)) << "64 conversations should reach every ring";
}

INSTANTIATE_TEST_SUITE_P(Modes, RssDirections, ::testing::Values(false, true),
                         [](const auto &i) { return i.param ? "AdapterQueues" : "SharedQueue"; });

}  // namespace
