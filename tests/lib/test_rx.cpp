// Receive rings: open and close, packets from descriptors written here (with
// the port stopped) and from the simulated adapter, clock conversion,
// blocking, shared queues, ring groups and statistics.
//
// The executable is linked with --wrap=zal_ioctl so that the driver requests
// the library issues can be counted and inspected.
#include <endian.h>
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "kpt_rx.h"
#include "test_support.h"

#include "rx_support.h"

namespace {

// ===========================================================================
// Open and close
// ===========================================================================

TEST_F(RxTest, SingleRingCountsOnTheHandleAndBlocksItsClose)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    EXPECT_EQ(ring_->type, KPT_H_RING);
    EXPECT_EQ(TAILQ_FIRST(&ring_->ringq), ring_);
    EXPECT_EQ(TAILQ_NEXT(ring_, u.ring.glink), nullptr);
    EXPECT_EQ(STAILQ_FIRST(&STAILQ_FIRST(&h_->portq)->ringq), ring_);
    EXPECT_EQ(h_->refcnt, 2);
    EXPECT_EQ(kpt_close(h_), EBUSY);

    int count = 0;
    struct kpt_ring_portinfo pi[2] = {};
    EXPECT_EQ(kpt_ring_portinfo_count(ring_, &count), 0);
    EXPECT_EQ(count, 1);
    EXPECT_EQ(kpt_ring_portinfo(ring_, pi), 0);
    EXPECT_EQ(pi[0].ring, ring_);
    EXPECT_EQ(pi[0].portcnt, 1u);
    EXPECT_EQ(pi[0].portmask, 1u);
    EXPECT_EQ(pi[0].q_size, kRing);
    EXPECT_EQ(pi[0].data_addr, Rx()->rx_map.map_rx_data_ring);
    EXPECT_EQ(pi[0].data_size, kRing + Rx()->rx_map.map_rx_data - Rx()->rx_map.map_rx_data_ring);
    EXPECT_EQ(pi[1].ring, nullptr);

    EXPECT_EQ(kpt_ring_close(ring_), 0);
    ring_ = nullptr;
    EXPECT_EQ(h_->refcnt, 1);
    EXPECT_EQ(g_detaches, 1);
    EXPECT_TRUE(STAILQ_EMPTY(&STAILQ_FIRST(&h_->portq)->ringq));
}

TEST_F(RxTest, HandlesOfTheWrongKindAreRefused)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    kpt_ring_t r = nullptr;
    EXPECT_EQ(kpt_ring_open(nullptr, &r), EINVAL);
    EXPECT_EQ(kpt_ring_open(reinterpret_cast<kpt_handle_t>(ring_), &r), EINVAL);
    EXPECT_EQ(kpt_ring_close(nullptr), EINVAL);
    EXPECT_EQ(kpt_ring_close(reinterpret_cast<kpt_ring_t>(h_)), EINVAL);
    EXPECT_EQ(kpt_ring_recv(reinterpret_cast<kpt_ring_t>(h_), 0, &req_), EINVAL);
    EXPECT_EQ(kpt_ring_recv(ring_, 0, nullptr), EINVAL);
    EXPECT_EQ(h_->refcnt, 2);
}

TEST_F(RxTest, RefusedAttachLeavesNothingOpen)
{
    setenv("KPT_DEBUG_MASK", "0x10", 1);
    StartSim();
    ASSERT_EQ(kpt_init(KPT_API_VERSION), 0);
    ASSERT_EQ(kpt_open(0, 1, nullptr, int64_t(kRing), -1, &h_), 0);
    Ctl("fail 0 set_endpoint EIO");
    kpttest::StderrCapture cap;
    EXPECT_EQ(kpt_ring_open(h_, &ring_), EIO);
    std::string err = cap.Finish();
    EXPECT_NE(err.find(" I Can't attach KPT ring to port 0 (err=5)\n"), std::string::npos) << err;
    EXPECT_EQ(ring_, nullptr);
    EXPECT_EQ(h_->refcnt, 1);
    EXPECT_EQ(Connections(0, 1), 1);  // the port endpoint only
    Ctl("fail 0 set_endpoint off");
    EXPECT_EQ(kpt_ring_open(h_, &ring_), 0);
}

// Attach answers a sound driver never gives.  A region said not to exist
// is not mapped (address 0) and the ring receives nothing; a state slot or
// cursors outside what was mapped refuse the open with an error line and
// leave nothing open.
TEST_F(RxTest, UnusableAttachAnswers)
{
    ASSERT_NO_FATAL_FAILURE(OpenHandle(0x1));
    ASSERT_EQ(kpt_start(h_), 0);
    for (const char *region : {"112", "120"}) { // data ring, descriptor ring
        SCOPED_TRACE(region);
        Ctl(std::string("patch 0 set_endpoint ") + region + " u64 -1");
        ASSERT_EQ(kpt_ring_open(h_, &ring_), 0);
        Ctl("patch 0 set_endpoint off");
        const kpt__rx_map &m = Rx()->rx_map;
        const bool data = strcmp(region, "112") == 0;
        EXPECT_EQ(m.map_rx_data_ring == 0 && m.map_rx_data == 0 && m.map_rx_data_ring_size == 0, data);
        EXPECT_EQ(m.map_rx_desc_ring == 0 && Rx()->evq_base == nullptr, !data);
        EXPECT_NE(m.map_vstate, 0u);
        ASSERT_NO_FATAL_FAILURE(Send(0, Frame(60, 1)));
        usleep(20000);
        EXPECT_EQ(kpt_ring_recv(ring_, 0, &req_), EAGAIN);
        EXPECT_EQ(kpt_ring_close(ring_), 0);
        ring_ = nullptr;
    }
    const int maps = kpttest::ArenaMappings();
    const struct {
        const char *patch, *line;
    } bad[] = {
        {"12 u32 32", "rx_init: state slot 32 out of range"},
        {"12 u32 -1", "rx_init: state slot -1 out of range"},
        // A descriptor ring of 8 entries, below the cursor's last index.
        {"64 u64 4096", "rx_init: the ring state does not fit the ring's regions"},
        // A data ring of no size behind a mapped preamble.
        {"56 u64 0", "rx_init: the ring state does not fit the ring's regions"},
    };
    for (const auto &b : bad) {
        SCOPED_TRACE(b.patch);
        Ctl(std::string("patch 0 set_endpoint ") + b.patch);
        kpttest::StderrCapture cap;
        EXPECT_EQ(kpt_ring_open(h_, &ring_), EINVAL);
        std::string err = cap.Finish();
        Ctl("patch 0 set_endpoint off");
        EXPECT_NE(err.find(std::string(" kpt.0.0  E ") + b.line + "\n"), std::string::npos) << err;
        EXPECT_EQ(ring_, nullptr);
        EXPECT_EQ(h_->refcnt, 1);
        EXPECT_EQ(kpttest::ArenaMappingsSettled(maps), maps) << "regions left mapped";
        EXPECT_EQ(Connections(0, 1), 1);
    }
    ASSERT_EQ(kpt_ring_open(h_, &ring_), 0);
}

// A mapping that fails part-way through a ring's set-up, on a single port
// and on the second member of a group: the regions mapped before it are
// unmapped, no ring stays counted, and the handle still closes.
TEST_F(RxTest, MappingFailingHalfWayLeavesNothingBehind)
{
    ASSERT_NO_FATAL_FAILURE(OpenHandle(0x3));
    kpt_handle_t one = nullptr;
    ASSERT_EQ(kpt_open(0, 1, nullptr, int64_t(kRing), -1, &one), 0);
    const int maps = kpttest::ArenaMappings();
    // The receive-info page, fifth of seven, lies far outside the arena.
    for (int port : {0, 1}) Ctl("patch " + std::to_string(port) + " set_endpoint 184 u64 0x7ffffffff000");
    kpt_ring_t r = nullptr;
    EXPECT_NE(kpt_ring_open(one, &r), 0);
    EXPECT_EQ(r, nullptr);
    Ctl("patch 0 set_endpoint off");
    EXPECT_NE(kpt_ring_open(h_, &ring_), 0) << "port 1's member fails after port 0's opened";
    EXPECT_EQ(ring_, nullptr);
    Ctl("patch 1 set_endpoint off");
    Ctl("kept-drop"); // the simulator's own view of what it keeps for us
    EXPECT_EQ(kpttest::ArenaMappingsSettled(maps), maps);
    EXPECT_EQ(one->refcnt, 1);
    EXPECT_EQ(h_->refcnt, 2);
    EXPECT_EQ(Connections(0, 2), 2);
    EXPECT_EQ(Connections(1, 1), 1);
    EXPECT_EQ(kpt_close(one), 0);
    ASSERT_EQ(kpt_ring_open(h_, &ring_), 0) << "sound answers open again";
}

// The application-id open flag: with one ring the ring reads its queue
// alone even when the driver marks the queue shared; with two rings they
// share it by hash, and the flag wins over duplication.
TEST_F(RxTest, ApplicationIdQueueModes)
{
    setenv("KPT_APP_ID", "5", 1);
    StartSim();
    ASSERT_EQ(kpt_init(KPT_API_VERSION), 0);
    struct {
        int num_rings, flags;
        bool mark_shared;
        kpt__ring_recv_fn fn;
        kpt__pq_mode mode;
    } cases[] = {
        {1, -1, true, ring_recv_uniq, P_UNUSED},
        {2, -1, false, ring_recv_shared, P_SHARED},
        {2, KPT_F_DUP, false, ring_recv_shared, P_SHARED},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::to_string(c.num_rings) + " rings, flags " + std::to_string(c.flags));
        ASSERT_EQ(kpt_open(0, c.num_rings, nullptr, int64_t(kRing), c.flags, &h_), 0);
        EXPECT_NE(Ctl("rx-params 0").find(" app_id 5 "), std::string::npos);
        // The attach answer's map flags: the shared-queue flag forced on.
        if (c.mark_shared) Ctl("patch 0 set_endpoint 44 u32 0x10");
        std::vector<kpt_ring_t> rings(size_t(c.num_rings));
        for (auto &r : rings) ASSERT_EQ(kpt_ring_open(h_, &r), 0);
        Ctl("patch 0 set_endpoint off");
        for (kpt_ring_t r : rings) {
            EXPECT_NE(Rx(r)->rx_map_flags & QUOR_KPT_MAP_SHARED, 0u);
            EXPECT_EQ(r->ring_recv_fn, c.fn);
            EXPECT_EQ(Rx(r)->pq_mode, c.mode);
        }
        // Every frame reaches exactly one ring.
        ASSERT_EQ(kpt_start(h_), 0);
        constexpr uint32_t kFrames = 64;
        for (uint32_t i = 0; i < kFrames; ++i) ASSERT_NO_FATAL_FAILURE(Send(0, UdpFrame(uint16_t(1000 + i))));
        uint32_t got = 0;
        for (const int64_t end = MonoNs() + 5000000000ll; got < kFrames && MonoNs() < end;) {
            bool any = false;
            for (kpt_ring_t r : rings)
                if (kpt_ring_recv(r, 0, &req_) == 0) any = true, ++got;
            if (!any) usleep(1000);
        }
        EXPECT_EQ(got, kFrames);
        usleep(20000);
        for (kpt_ring_t r : rings) EXPECT_EQ(kpt_ring_recv(r, 0, &req_), EAGAIN) << "a frame twice";
        for (kpt_ring_t r : rings) EXPECT_EQ(kpt_ring_close(r), 0);
        ASSERT_EQ(kpt_close(h_), 0);
        h_ = nullptr;
        EXPECT_EQ(Connections(0, 0), 0);
    }
}

TEST_F(RxTest, ParamReportsOfOpenAndClose)
{
    setenv("KPT_DEBUG_MASK", "2", 1);
    StartSim();
    ASSERT_EQ(kpt_init(KPT_API_VERSION), 0);
    ASSERT_EQ(kpt_open(0, 1, nullptr, int64_t(kRing), -1, &h_), 0);
    kpttest::StderrCapture cap;
    ASSERT_EQ(kpt_ring_open(h_, &ring_), 0);
    EXPECT_EQ(kpt_ring_close(ring_), 0);
    ring_ = nullptr;
    const std::string err = cap.Finish();

    const std::string pfx = " kpt.0.0  P ";
    EXPECT_NE(err.find(pfx + "rx_init: ring_id[-1/ 0/ 0] num_rings=1 oflags=0 map_flags=0\n"),
              std::string::npos) << err;
    EXPECT_NE(err.find(pfx + "rx_init: desc[seq=1,next=0,next_seq=0,cnt=0,ev_idx=-1] "
                             "data[head=0,tail=0] reat=no\n"),
              std::string::npos) << err;
    EXPECT_NE(err.find(pfx + "rx_fini: tot=           0 [keep/skip/drop] [0/0/0] "
                             "[  0.0%/  0.0%/  0.0%]\n"),
              std::string::npos) << err;
    // The regions are mapped in this order.
    size_t at = 0;
    for (const char *name : {"    vstate_all [", "        vstate [", "       kwindow [",
                             "   rx_doorbell [", "  rx_recv_info [", "     desc_ring [",
                             "   shared_data ["}) {
        size_t p = err.find(name, at);
        ASSERT_NE(p, std::string::npos) << name << " after " << at << ":\n" << err;
        at = p;
    }
}

struct ModeCase {
    const char *name;
    int num_rings;
    bool rss_hw;
    int flags;
    kpt__ring_recv_fn fn;
    kpt__pq_mode mode;
    uint32_t ring_mask;
};
void PrintTo(const ModeCase &c, std::ostream *os) { *os << c.name; }

class RxModeTest : public RxTest, public ::testing::WithParamInterface<ModeCase> {};

TEST_P(RxModeTest, ReceiveFunctionAndQueueModeFollowTheAttachAnswer)
{
    const ModeCase &c = GetParam();
    opts_.rss_hw = c.rss_hw;
    ASSERT_NO_FATAL_FAILURE(Open(0, c.num_rings, c.flags));
    EXPECT_EQ(Rx()->ring_recv_fn, c.fn);
    EXPECT_EQ(ring_->ring_recv_fn, c.fn);
    EXPECT_EQ(Rx()->pq_mode, c.mode);
    EXPECT_EQ(Rx()->ring_mask, c.ring_mask);
    EXPECT_EQ(Rx()->num_rings, uint32_t(c.num_rings));
}

INSTANTIATE_TEST_SUITE_P(
    Modes, RxModeTest,
    ::testing::Values(ModeCase{"OneRing", 1, false, -1, ring_recv_uniq, P_UNUSED, 0},
                      ModeCase{"TwoShared", 2, false, -1, ring_recv_shared, P_SHARED, 1},
                      ModeCase{"ThreeShared", 3, false, -1, ring_recv_shared, P_SHARED, 0},
                      ModeCase{"FourShared", 4, false, -1, ring_recv_shared, P_SHARED, 3},
                      ModeCase{"TwoOwnQueues", 2, true, -1, ring_recv_uniq, P_UNUSED, 1},
                      ModeCase{"TwoDuplicated", 2, false, KPT_F_DUP, ring_recv_uniq, P_DUP, 1}),
    [](const ::testing::TestParamInfo<ModeCase> &i) { return std::string(i.param.name); });

// ===========================================================================
// Descriptors and data written here
// ===========================================================================

TEST_F(RxTest, TimeoutZeroWithNothingReadyNeverWaits)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    Ctl("fail 0 kpt_wait EIO");
    EXPECT_EQ(kpt_ring_recv(ring_, 0, &req_), EAGAIN);
    EXPECT_EQ(g_waits, 0);
    // Any other timeout goes to the driver, whose answer is returned.
    EXPECT_EQ(kpt_ring_recv(ring_, 10, &req_), EIO);
    EXPECT_EQ(g_waits, 1);
}

TEST_F(RxTest, PacketsOfOneDescriptorShareItsDataAndTime)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    Forger f(Rx());
    uint8_t *ring = f.Ring();
    f.Put({64, 64, 1500}, f.Ticks(1000), 1712, -1, 10);
    kpt_recv_req r[3];
    for (auto &x : r) ASSERT_EQ(kpt_ring_recv(ring_, 0, &x), 0);
    const uint64_t T = St()->recvq.ev_info.ev_timestamp;
    ASSERT_NE(T, 0u);

    EXPECT_EQ(r[0].pkt_addr, ring + 8);
    EXPECT_EQ(r[1].pkt_addr, ring + 88);
    EXPECT_EQ(r[2].pkt_addr, ring + 168);
    EXPECT_TRUE(FrameIs(r[0], 60, 10));
    EXPECT_TRUE(FrameIs(r[1], 60, 11));
    EXPECT_TRUE(FrameIs(r[2], 1496, 12));
    EXPECT_EQ(r[0].length_data, 80u);
    EXPECT_EQ(r[1].length_data, 80u);
    EXPECT_EQ(r[2].length_data, 1552u);  // the last owns the rest
    EXPECT_EQ(r[0].timestamp, T - 212);
    EXPECT_EQ(r[1].timestamp, T - 132);
    EXPECT_EQ(r[2].timestamp, T - 52);
    for (auto &x : r) EXPECT_EQ(x.portnum, 0u);
    EXPECT_EQ(St()->recvq.rq_data_head, 1712u);
    EXPECT_EQ(St()->recvq.rq_data_off, 1712u);
    EXPECT_EQ(St()->recvq.rq_data_tail, 160u);  // all but the packet held
    EXPECT_EQ(St()->evq.evq_desc_cnt, 1u);
    EXPECT_EQ(St()->evq.evq_data_head, 1712u);
    EXPECT_EQ(St()->recvq.stats.rq_pkt_cnt, 3u);
    EXPECT_EQ(St()->recvq.stats.rq_pkt_length, 60u + 60 + 1496);
    EXPECT_EQ(kpt_ring_recv(ring_, 0, &req_), EAGAIN);
    EXPECT_EQ(St()->recvq.rq_data_tail, 1712u);
}

TEST_F(RxTest, TimestampsNeverGoBackwards)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    Forger f(Rx());
    // One-packet descriptors later in time, then earlier ones (6.4 s apart).
    f.Put({100}, f.Ticks(3000000000));
    f.Put({100}, f.Ticks(2000000000));
    f.Put({100}, f.Ticks(1000000000));
    f.Put({100, 100}, f.Ticks(500000000));
    f.Put({100}, f.Ticks(4000000000));
    uint64_t ts[6];
    for (int i = 0; i < 6; ++i) {
        ASSERT_EQ(kpt_ring_recv(ring_, 0, &req_), 0);
        ts[i] = req_.timestamp;
        if (i == 2) {
            EXPECT_EQ(St()->recvq.stats.rq_neg_adj_event, 2u);
        }
    }
    for (int i = 1; i < 5; ++i) EXPECT_EQ(ts[i], ts[0]) << i;
    EXPECT_EQ(St()->recvq.stats.rq_neg_adj_event, 2u);  // raised packets of a batch are not counted
    EXPECT_GT(ts[5], ts[0] + 6000000000ull);
    EXPECT_EQ(ts[5], St()->recvq.ev_info.ev_timestamp);
    EXPECT_EQ(St()->recvq.rq_ev_ts_last, ts[5]);
}

TEST_F(RxTest, PacketAcrossTheRingEndIsMadeContiguousInThePreamble)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    Forger f(Rx());
    const int fillers = f.FillTo(f.Size() - 100);
    for (int i = 0; i < fillers; ++i) ASSERT_EQ(kpt_ring_recv(ring_, 0, &req_), 0);
    ASSERT_EQ(St()->recvq.rq_data_off, f.Size() - 100);

    f.Put({200}, f.Ticks(5), -1, -1, 77);
    ASSERT_EQ(kpt_ring_recv(ring_, 0, &req_), 0);
    EXPECT_EQ(req_.pkt_addr, f.Ring() - 92);
    EXPECT_TRUE(FrameIs(req_, 196, 77));
    EXPECT_EQ(req_.length_data, 208u);
    EXPECT_EQ(St()->recvq.rq_data_off, 108u);
}

TEST_F(RxTest, SequenceNumbersWrapAndStaleEntriesAreNotTaken)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    Forger f(Rx());
    const uint32_t n = f.Entries();
    ASSERT_GT(n, 300u);
    ASSERT_NE(n % 255, 0u);
    // A zeroed entry: 0 is never an expected number.
    EXPECT_EQ(kpt_ring_recv(ring_, 0, &req_), EAGAIN);

    for (uint32_t k = 0; k < n; ++k) {
        if (k == 255) {
            // Expected now: 1 again.  An entry holding 0 is not taken.
            ASSERT_EQ(St()->evq.evq_seqnum, 1u);
            nfw_kpt_rx_desc_t *d = f.Put({64}, f.Ticks(k), -1, -1, k, false);
            EXPECT_EQ(kpt_ring_recv(ring_, 0, &req_), EAGAIN);
            std::atomic_ref<uint8_t>(d->seqnum).store(f.LastSeq(), std::memory_order_release);
        } else {
            f.Put({64}, f.Ticks(k), -1, -1, k);
        }
        ASSERT_EQ(kpt_ring_recv(ring_, 0, &req_), 0) << k;
        ASSERT_TRUE(FrameIs(req_, 60, k)) << k;
        if (k == 253) {
            EXPECT_EQ(St()->evq.evq_seqnum, 255u);
        }
    }
    // One lap of the descriptor ring: entry 0 still holds the first lap's
    // number, which is not the one expected now.
    EXPECT_EQ(St()->evq.evq_next_idx, 0u);
    EXPECT_EQ(St()->evq.evq_seqnum, 1 + n % 255);
    EXPECT_EQ(kpt_ring_recv(ring_, 0, &req_), EAGAIN);
    f.Put({64}, f.Ticks(1), -1, -1, 5);
    EXPECT_EQ(kpt_ring_recv(ring_, 0, &req_), 0);
    EXPECT_TRUE(FrameIs(req_, 60, 5));
}

TEST_F(RxTest, ReleasesReachTheDriverEvery64KiB)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    Forger f(Rx());
    for (int i = 0; i < 40; ++i) f.Put({64}, f.Ticks(i), 4096);
    for (int k = 1; k <= 33; ++k) {
        ASSERT_EQ(kpt_ring_recv(ring_, 0, &req_), 0);
        // Each call released the packet before it.
        EXPECT_EQ(St()->recvq.rq_data_tail, uint64_t(k - 1) * 4096);
        const int want = (k - 1) / 16;
        ASSERT_EQ(g_syncs, want) << "after receive " << k;
        if (k == 17) {
            EXPECT_EQ(g_last_sync.rs_data_tail, 65536u);
            EXPECT_EQ(g_last_sync.rs_desc_cnt, 16u);
            EXPECT_EQ(g_last_sync.rs_data_head, 65536u);
            EXPECT_EQ(St()->recvq.rq_data_tail_last, 65536u);
        }
    }
    EXPECT_EQ(St()->recvq.rq_data_tail_last, 131072u);
}

TEST_F(RxTest, CloseGivesEveryByteBackInOneSynchronisation)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    Forger f(Rx());
    for (int i = 0; i < 3; ++i) f.Put({64}, f.Ticks(i), 3000);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(kpt_ring_recv(ring_, 0, &req_), 0);
    EXPECT_EQ(g_syncs, 0);
    EXPECT_EQ(kpt_ring_close(ring_), 0);
    ring_ = nullptr;
    EXPECT_EQ(g_syncs, 1);
    EXPECT_EQ(g_last_sync.rs_data_tail, 9000u);
    EXPECT_EQ(g_last_sync.rs_desc_cnt, 3u);
    EXPECT_EQ(g_last_sync.rs_data_head, 9000u);
    EXPECT_EQ(g_detaches, 1);
}

// ---- descriptors that are not sound ----

TEST_F(RxTest, UnsoundDescriptorsArePassedOverWithoutStrayWrites)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    Forger f(Rx());
    // Whatever follows the state record in its slot must stay untouched.
    uint8_t *after = reinterpret_cast<uint8_t *>(St()) + sizeof(kpt__rx_state);
    const size_t tail_len = Rx()->rx_map.map_vstate_size - sizeof(kpt__rx_state);
    memset(after, 0x5a, tail_len);

    std::vector<uint16_t> many(QUOR_KPT_DESC_MAX_PKTS, 64);
    f.Put(many, f.Ticks(1), 1000, 255);           // 255 packets claimed
    f.Put({}, f.Ticks(2), 160, 0);                // no packet: consumed silently
    f.Put({3, 64}, f.Ticks(3));                   // shorter than its FCS
    f.Put({64, 64}, f.Ticks(4), 100);             // slots beyond the total
    f.Put({64}, f.Ticks(5), -1, 59);              // 59 packets claimed
    const uint64_t good_off = f.Off();
    f.Put({64}, f.Ticks(6), -1, -1, 9);

    ASSERT_EQ(kpt_ring_recv(ring_, 0, &req_), 0);
    EXPECT_EQ(req_.pkt_addr, f.Ring() + good_off + 8);
    EXPECT_TRUE(FrameIs(req_, 60, 9));
    EXPECT_EQ(Rx()->rx_verify.err_pkt_ring, 4u);
    EXPECT_EQ(St()->evq.evq_desc_cnt, 6u);
    EXPECT_EQ(St()->recvq.rq_data_head, good_off + 80);
    EXPECT_EQ(St()->recvq.rq_data_tail, good_off);  // what was passed over is released
    EXPECT_EQ(St()->recvq.stats.rq_pkt_cnt, 1u);
    for (size_t i = 0; i < tail_len; ++i) ASSERT_EQ(after[i], 0x5a) << i;
    EXPECT_EQ(kpt_ring_recv(ring_, 0, &req_), EAGAIN);
}

TEST_F(RxTest, WrapLongerThanThePreambleIsNeverCopied)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    Forger f(Rx());
    const uint64_t pre = Rx()->rx_map.map_rx_data - Rx()->rx_map.map_rx_data_ring;
    ASSERT_LT(pre, 20000u);
    uint8_t *preamble = f.Ring() - pre;
    memset(preamble, 0xa5, pre);

    // A packet that ends before the ring end, though its descriptor's bytes
    // wrap by more than the preamble: handed out in place.
    int fill = f.FillTo(f.Size() - 20000);
    for (int i = 0; i < fill; ++i) ASSERT_EQ(kpt_ring_recv(ring_, 0, &req_), 0);
    f.Put({64}, f.Ticks(1), 30000, -1, 3);
    ASSERT_EQ(kpt_ring_recv(ring_, 0, &req_), 0);
    EXPECT_EQ(req_.pkt_addr, f.Ring() + f.Size() - 20000 + 8);
    EXPECT_TRUE(FrameIs(req_, 60, 3));
    EXPECT_EQ(St()->recvq.rq_data_off, 10000u);

    // A packet whose own slot wraps by more than the preamble cannot be
    // made contiguous: consumed, counted, not handed out.
    fill = f.FillTo(f.Size() - 20000);
    for (int i = 0; i < fill; ++i) ASSERT_EQ(kpt_ring_recv(ring_, 0, &req_), 0);
    f.Put({40000}, f.Ticks(2), -1, -1, 4);
    const uint64_t next = f.Off();
    f.Put({64}, f.Ticks(3), -1, -1, 5);
    ASSERT_EQ(kpt_ring_recv(ring_, 0, &req_), 0);
    EXPECT_EQ(req_.pkt_addr, f.Ring() + next + 8);
    EXPECT_TRUE(FrameIs(req_, 60, 5));
    EXPECT_EQ(Rx()->rx_verify.err_pkt_ring, 1u);
    for (uint64_t i = 0; i < pre; ++i) ASSERT_EQ(preamble[i], 0xa5) << i;
}

// ===========================================================================
// Frames from the simulated adapter
// ===========================================================================

struct ClockCase {
    const char *name;
    bool window;
    double ppm;
    uint64_t start;
};
void PrintTo(const ClockCase &c, std::ostream *os) { *os << c.name; }

class RxClockTest : public RxTest, public ::testing::WithParamInterface<ClockCase> {};

TEST_P(RxClockTest, TimestampsFollowTheHostClock)
{
    const ClockCase &c = GetParam();
    opts_.clock_window = c.window;
    opts_.clock_ppm = c.ppm;
    opts_.clock_start = c.start;
    ASSERT_NO_FATAL_FAILURE(OpenStarted());
    EXPECT_EQ(Rx()->nticks.ticks_mask != 0, !c.window);
    // Frames spread over several refreshes of the clock parameters.  The
    // slack is what a sanitizer build on a loaded machine can hold between
    // reading the host clock and the adapter stamping the frame; another
    // clock (monotonic, or ticks left unconverted) is off by far more.
    const int64_t kSlackNs = 3000000;
    for (uint32_t i = 0; i < 16; ++i) {
        const int64_t before = RealNs();
        ASSERT_NO_FATAL_FAILURE(Send(0, Frame(60, i)));
        ASSERT_EQ(kpt_ring_recv(ring_, 2000, &req_), 0);
        const int64_t after = RealNs();
        const int64_t ts = int64_t(req_.timestamp);
        EXPECT_GE(ts, before - kSlackNs) << "frame " << i << ": " << before - ts << " ns early";
        EXPECT_LE(ts, after + kSlackNs) << "frame " << i << ": " << ts - after << " ns late";
        usleep(30000);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Clocks, RxClockTest,
    // Oscillators 10 % off: uncorrected, the error would reach 10 ms between
    // two refreshes of the parameters, well above the slack.
    ::testing::Values(ClockCase{"Mask", false, 0, 0}, ClockCase{"MaskSlowOscillator", false, -100000, 0},
                      ClockCase{"MaskFastOscillator", false, 100000, 0},
                      ClockCase{"MaskCounterWraps", false, 0, (1ull << 48) - 20000000},
                      ClockCase{"Window", true, 0, 0},
                      ClockCase{"WindowFastOscillator", true, 100000, 0}),
    [](const ::testing::TestParamInfo<ClockCase> &i) { return std::string(i.param.name); });

TEST_F(RxTest, BlockingReceiveWakesWhenAFrameArrives)
{
    ASSERT_NO_FATAL_FAILURE(OpenStarted());
    std::thread sender([this] {
        usleep(50000);
        sim_->send_frame(0, Frame(100, 1).data(), 100);
    });
    const int64_t t0 = MonoNs();
    EXPECT_EQ(kpt_ring_recv(ring_, 10000, &req_), 0);
    const int64_t took = MonoNs() - t0;
    sender.join();
    EXPECT_TRUE(FrameIs(req_, 100, 1));
    EXPECT_GE(took, 40000000);
    EXPECT_LT(took, 5000000000);
    EXPECT_GE(g_waits, 1);
}

TEST_F(RxTest, BlockingReceiveTimesOut)
{
    ASSERT_NO_FATAL_FAILURE(OpenStarted());
    const int64_t t0 = MonoNs();
    EXPECT_EQ(kpt_ring_recv(ring_, 150, &req_), EAGAIN);
    EXPECT_GE(MonoNs() - t0, 140000000);
}

TEST_F(RxTest, WaitConsumesNothing)
{
    ASSERT_NO_FATAL_FAILURE(OpenStarted());
    EXPECT_EQ(kpt_ring_wait(ring_, 0), EAGAIN);
    ASSERT_NO_FATAL_FAILURE(Send(0, Frame(70, 2)));
    EXPECT_EQ(kpt_ring_wait(ring_, 5000), 0);
    EXPECT_EQ(kpt_ring_wait(ring_, 0), 0);
    EXPECT_EQ(St()->evq.evq_desc_cnt, 0u);
    ASSERT_EQ(kpt_ring_recv(ring_, 0, &req_), 0);
    EXPECT_TRUE(FrameIs(req_, 70, 2));
}

void OnSignal(int) {}

TEST_F(RxTest, SignalInterruptsABlockedReceive)
{
    ASSERT_NO_FATAL_FAILURE(OpenStarted());
    struct sigaction sa = {}, old = {};
    sa.sa_handler = OnSignal;  // no SA_RESTART
    sigemptyset(&sa.sa_mask);
    ASSERT_EQ(sigaction(SIGUSR1, &sa, &old), 0);
    const pthread_t me = pthread_self();
    std::thread killer([me] {
        usleep(100000);
        pthread_kill(me, SIGUSR1);
    });
    EXPECT_EQ(kpt_ring_recv(ring_, 20000, &req_), EINTR);
    killer.join();
    sigaction(SIGUSR1, &old, nullptr);

    ASSERT_NO_FATAL_FAILURE(Send(0, Frame(80, 3)));
    ASSERT_EQ(kpt_ring_recv(ring_, 5000, &req_), 0);
    EXPECT_TRUE(FrameIs(req_, 80, 3));
}

TEST_F(RxTest, EveryFrameLengthArrivesByteExact)
{
    ASSERT_NO_FATAL_FAILURE(OpenStarted());
    uint64_t bytes = 0;
    for (uint32_t len = QUOR_MIN_FRAME; len <= QUOR_MAX_FRAME; len += 64) {
        const uint32_t last = std::min<uint32_t>(len + 63, QUOR_MAX_FRAME);
        for (uint32_t l = len; l <= last; ++l) ASSERT_NO_FATAL_FAILURE(Send(0, Frame(l, l)));
        for (uint32_t l = len; l <= last; ++l) {
            ASSERT_EQ(kpt_ring_recv(ring_, 5000, &req_), 0) << l;
            ASSERT_TRUE(FrameIs(req_, l, l)) << "length " << l << " arrived as " << req_.length;
            bytes += l + QUOR_FCS_LEN;
        }
    }
    EXPECT_EQ(kpt_ring_recv(ring_, 0, &req_), EAGAIN);
    kpt_ring_stats st;
    ASSERT_EQ(kpt_ring_getstats(ring_, &st), 0);
    const uint64_t n = QUOR_MAX_FRAME - QUOR_MIN_FRAME + 1;
    EXPECT_EQ(st.ring_pkt_recv, n);
    EXPECT_EQ(st.nic_pkt_recv, n);
    EXPECT_EQ(st.nic_bytes_recv, bytes);
    EXPECT_EQ(st.ring_pkt_overflow, 0u);
    EXPECT_GT(Rx()->rq_size, 0u);
}

// ---- generated test packets ----

// Receives until the generator has sent `count` frames and all written ones
// are read; checks each against the sequence.
void ReceiveAll(kpt_ring_t ring, uint64_t count, GenSequence *seq, kpt_ring_stats *st)
{
    const int64_t deadline = MonoNs() + 90000000000;
    kpt_recv_req r;
    for (;;) {
        const int rc = kpt_ring_recv(ring, 200, &r);
        if (rc == 0) {
            ASSERT_TRUE(seq->Next(r)) << "after frame " << seq->next() - 1;
            continue;
        }
        ASSERT_EQ(rc, EAGAIN);
        ASSERT_EQ(kpt_ring_getstats(ring, st), 0);
        if (st->nic_pkt_recv + st->ring_pkt_overflow >= count) break;
        ASSERT_LT(MonoNs(), deadline) << "the generator did not finish";
    }
    // Frames counted just after the last attempt are published already.
    while (kpt_ring_recv(ring, 0, &r) == 0) ASSERT_TRUE(seq->Next(r));
    ASSERT_EQ(kpt_ring_getstats(ring, st), 0);
    // Whatever is missing was counted as overflow, and nothing else.
    EXPECT_EQ(seq->missed() + (count - seq->next()), st->ring_pkt_overflow);
    EXPECT_EQ(st->ring_pkt_recv, st->nic_pkt_recv);
    EXPECT_EQ(st->ring_pkt_recv + st->ring_pkt_overflow, count);
}

TEST_F(RxTest, MillionFramesThroughASmallRingArriveInOrder)
{
    constexpr uint64_t kCount = 1000000 / kpttest::kSlowdown;
    setenv("KPT_DESCRING_SIZE", "16777216", 1);
    opts_.wires = {"0=gen:pps=" + std::to_string(150000 / kpttest::kSlowdown) +
                   ",len=60-1024:seq,flows=65535,count=" + std::to_string(kCount)};
    ASSERT_NO_FATAL_FAILURE(OpenStarted());
    GenSequence seq(kCount);
    kpt_ring_stats st;
    ASSERT_NO_FATAL_FAILURE(ReceiveAll(ring_, kCount, &seq, &st));
    EXPECT_EQ(Rx()->rx_verify.err_pkt_ring, 0u);
    // A reader that keeps up loses nothing.  A few frames lost to a
    // machine too loaded to let it keep up are accounted for above; losing
    // more would mean that releases do not reach the adapter.
    ASSERT_LE(st.ring_pkt_overflow, kCount / 20);
    if (st.ring_pkt_overflow != 0)
        GTEST_SKIP() << "the reader fell behind on a loaded machine: " << st.ring_pkt_overflow
                     << " frames overflowed (all accounted for)";
    EXPECT_EQ(seq.next(), kCount);
}

TEST_F(RxTest, ReaderThatFallsBehindLosesFramesNeverData)
{
    constexpr uint64_t kCount = 300000;
    setenv("KPT_DESCRING_SIZE", "16777216", 1);
    opts_.wires = {"0=gen:pps=300000,len=60-1024:seq,flows=65535,count=300000"};
    ASSERT_NO_FATAL_FAILURE(OpenStarted());
    GenSequence seq(kCount);
    // Read a little, stop reading for a while, then read on.
    for (int i = 0; i < 1000; ++i) {
        ASSERT_EQ(kpt_ring_recv(ring_, 3000, &req_), 0);
        ASSERT_TRUE(seq.Next(req_)) << i;
    }
    usleep(300000);
    kpt_ring_stats st;
    ASSERT_NO_FATAL_FAILURE(ReceiveAll(ring_, kCount, &seq, &st));
    EXPECT_GT(st.ring_pkt_overflow, 0u);
    EXPECT_EQ(st.kpt_pkt_overflow, st.ring_pkt_overflow);
    EXPECT_EQ(Rx()->rx_verify.err_pkt_ring, 0u);
}

// ---- shared queues ----

uint16_t SportOf(const kpt_recv_req &r)
{
    const uint8_t *p = static_cast<const uint8_t *>(r.pkt_addr);
    return uint16_t(p[34] << 8 | p[35]);
}

// Drains both rings of a shared queue; returns the source ports each kept.
void DrainShared(kpt_ring_t a, kpt_ring_t b, size_t want, std::vector<uint16_t> *kept_a,
                 std::vector<uint16_t> *kept_b)
{
    const int64_t deadline = MonoNs() + 20000000000;
    kpt_recv_req r;
    while (kept_a->size() + kept_b->size() < want && MonoNs() < deadline) {
        while (kpt_ring_recv(a, 0, &r) == 0) kept_a->push_back(SportOf(r));
        while (kpt_ring_recv(b, 0, &r) == 0) kept_b->push_back(SportOf(r));
        usleep(1000);
    }
}

TEST_F(RxTest, RingsOfASharedQueueKeepTheirHashShare)
{
    ASSERT_NO_FATAL_FAILURE(Open(0, 2));
    kpt_ring_t second = nullptr;
    ASSERT_EQ(kpt_ring_open(h_, &second), 0);
    ASSERT_EQ(Rx(second)->ring_id, 1u);
    ASSERT_EQ(kpt_start(h_), 0);
    constexpr int kFrames = 400;
    for (int i = 0; i < kFrames; ++i) ASSERT_NO_FATAL_FAILURE(Send(0, UdpFrame(uint16_t(1000 + i))));
    std::vector<uint16_t> k0, k1;
    DrainShared(ring_, second, kFrames, &k0, &k1);
    EXPECT_EQ(k0.size() + k1.size(), size_t(kFrames));
    EXPECT_GT(k0.size(), 0u);
    EXPECT_GT(k1.size(), 0u);
    for (int r = 0; r < 2; ++r) {
        for (uint16_t sport : r ? k1 : k0) {
            std::vector<uint8_t> f = UdpFrame(sport);
            kpt_recv_req q = {};
            q.pkt_addr = f.data();
            q.length = uint32_t(f.size());
            uint32_t h = 0;
            kpt__rss_hash(&q, reinterpret_cast<void *>(uintptr_t(0x31)), &h);
            EXPECT_EQ(h & 1, uint32_t(r)) << "source port " << sport;
        }
    }
    EXPECT_EQ(St()->recvq.stats.rq_pkt_cnt_skip_rss, k1.size());
    EXPECT_EQ(St(second)->recvq.stats.rq_pkt_cnt_skip_rss, k0.size());
    // Passed-over packets are released at once.
    EXPECT_EQ(St()->recvq.rq_data_tail, St()->recvq.rq_data_head);
    EXPECT_EQ(St(second)->recvq.rq_data_tail, St(second)->recvq.rq_data_head);
    EXPECT_EQ(kpt_ring_close(second), 0);
}

// Hash of a user function: the source port; ports divisible by 3 dropped.
int SportHash(kpt_recv_req *req, void *context, uint32_t *h)
{
    *h = SportOf(*req);
    return *h % 3 == 0 ? -int(uintptr_t(context)) : 0;
}

TEST_F(RxTest, UserHashFunctionSpreadsAndDrops)
{
    kpt_rss_params rss = {};
    rss.mode = KPT_RSS_FUNCTION;
    rss.params.rss_function.rss_hash_fn = SportHash;
    rss.params.rss_function.rss_context = reinterpret_cast<void *>(uintptr_t(1));
    ASSERT_NO_FATAL_FAILURE(Open(0, 2, -1, &rss));
    kpt_ring_t second = nullptr;
    ASSERT_EQ(kpt_ring_open(h_, &second), 0);
    ASSERT_EQ(kpt_start(h_), 0);
    for (int i = 0; i < 60; ++i) ASSERT_NO_FATAL_FAILURE(Send(0, UdpFrame(uint16_t(i))));
    std::vector<uint16_t> k0, k1;
    DrainShared(ring_, second, 40, &k0, &k1);
    for (uint16_t s : k0) EXPECT_TRUE(s % 2 == 0 && s % 3 != 0) << s;
    for (uint16_t s : k1) EXPECT_TRUE(s % 2 == 1 && s % 3 != 0) << s;
    EXPECT_EQ(k0.size() + k1.size(), 40u);
    EXPECT_EQ(St()->recvq.stats.rq_pkt_cnt_drop, 10u);         // 0, 6, 12, ...
    EXPECT_EQ(St(second)->recvq.stats.rq_pkt_cnt_drop, 10u);   // 3, 9, 15, ...
    EXPECT_EQ(St()->recvq.stats.rq_pkt_cnt_skip_rss, 30u);
    EXPECT_EQ(kpt_ring_close(second), 0);
}

// ===========================================================================
// Ring groups
// ===========================================================================

class RxGroupTest : public RxTest {
protected:
    void OpenGroup() { ASSERT_NO_FATAL_FAILURE(Open(0x3, 1, KPT_F_AGGREGATE_PORTMASK)); }
    kpt_ring_t Member(unsigned port) { return ring_->u.group.ports[port].ring; }
    // The next packet of the group within 5 s.  A wait that ends without a
    // packet for the group (the frame is still on its way) answers EAGAIN,
    // so the call is repeated until the deadline.
    int RecvLive()
    {
        int rc;
        const int64_t end = MonoNs() + 5000000000ll;
        while ((rc = kpt_ring_recv(ring_, 100, &req_)) == EAGAIN && MonoNs() < end) {
        }
        return rc;
    }
};

TEST_F(RxGroupTest, GroupOverTwoPortsCountsEveryMember)
{
    ASSERT_NO_FATAL_FAILURE(OpenGroup());
    EXPECT_EQ(ring_->type, KPT_H_RING_GROUP);
    EXPECT_EQ(h_->portcnt, 2);
    EXPECT_EQ(h_->refcnt, 2 + 2 + 1);
    EXPECT_EQ(kpt_close(h_), EBUSY);
    kpt_ring_t m0 = TAILQ_FIRST(&ring_->ringq);
    ASSERT_NE(m0, nullptr);
    kpt_ring_t m1 = TAILQ_NEXT(m0, u.ring.glink);
    ASSERT_NE(m1, nullptr);
    EXPECT_EQ(TAILQ_NEXT(m1, u.ring.glink), nullptr);
    EXPECT_EQ(m0, Member(0));
    EXPECT_EQ(m1, Member(1));
    EXPECT_EQ(ring_->u.group.ring_latest, m0);
    EXPECT_EQ(ring_->u.group.portmask, 0x3u);
    kpt_port *p0 = STAILQ_FIRST(&h_->portq);
    EXPECT_EQ(STAILQ_FIRST(&p0->ringq), m0);
    EXPECT_EQ(STAILQ_FIRST(&STAILQ_NEXT(p0, link)->ringq), m1);

    int count = 0;
    struct kpt_ring_portinfo pi[2];
    EXPECT_EQ(kpt_ring_portinfo_count(ring_, &count), 0);
    EXPECT_EQ(count, 2);
    EXPECT_EQ(kpt_ring_portinfo(ring_, pi), 0);
    EXPECT_EQ(pi[0].ring, m0);
    EXPECT_EQ(pi[0].portmask, 1u);
    EXPECT_EQ(pi[1].ring, m1);
    EXPECT_EQ(pi[1].portmask, 2u);
    EXPECT_EQ(pi[1].portcnt, 1u);

    EXPECT_EQ(kpt_ring_close(ring_), 0);
    ring_ = nullptr;
    EXPECT_EQ(h_->refcnt, 2);
    EXPECT_EQ(g_detaches, 2);
    EXPECT_EQ(g_syncs, 2);
}

// Three ports: every member counts on the handle, all three merge, and a
// port above 15 (the group's port table has 16 entries) is refused whole.
TEST_F(RxGroupTest, GroupOverThreePortsAndPortsAboveFifteen)
{
    opts_.ports = 17;
    ASSERT_NO_FATAL_FAILURE(Open(0x7, 1, KPT_F_AGGREGATE_PORTMASK));
    EXPECT_EQ(h_->portcnt, 3);
    EXPECT_EQ(h_->refcnt, 3 + 3 + 1);
    EXPECT_EQ(ring_->u.group.portmask, 0x7u);
    int count = 0;
    EXPECT_EQ(kpt_ring_portinfo_count(ring_, &count), 0);
    EXPECT_EQ(count, 3);
    kpt_ring_t m = TAILQ_FIRST(&ring_->ringq);
    for (unsigned port = 0; port < 3; ++port, m = TAILQ_NEXT(m, u.ring.glink)) {
        ASSERT_NE(m, nullptr) << port;
        EXPECT_EQ(m, Member(port));
        EXPECT_EQ(m->u.ring.port_h->p.portnum, port);
    }
    EXPECT_EQ(m, nullptr);

    ASSERT_EQ(kpt_start(h_), 0);
    constexpr uint32_t kPerPort = 40;
    for (uint32_t i = 0; i < kPerPort; ++i) {
        for (int port = 0; port < 3; ++port) ASSERT_NO_FATAL_FAILURE(Send(port, Frame(64, 3 * i + port)));
        usleep(200);
    }
    uint64_t last_ts = 0;
    uint32_t next[3] = {0, 1, 2};
    for (uint32_t k = 0; k < 3 * kPerPort; ++k) {
        ASSERT_EQ(RecvLive(), 0) << k;
        ASSERT_LT(req_.portnum, 3u);
        EXPECT_TRUE(FrameIs(req_, 64, next[req_.portnum])) << k;
        next[req_.portnum] += 3;
        EXPECT_GE(req_.timestamp, last_ts) << k;
        last_ts = req_.timestamp;
    }
    EXPECT_EQ(kpt_ring_recv(ring_, 0, &req_), EAGAIN);
    EXPECT_EQ(kpt_ring_close(ring_), 0);
    ring_ = nullptr;
    EXPECT_EQ(h_->refcnt, 3);
    EXPECT_EQ(g_detaches, 3);
    EXPECT_EQ(kpt_close(h_), 0);
    h_ = nullptr;

    // Port 16 beside port 0: nothing of the group stays open.
    ASSERT_EQ(kpt_open(0x10001, 1, nullptr, int64_t(kRing), KPT_F_AGGREGATE_PORTMASK, &h_), 0);
    kpttest::StderrCapture cap;
    EXPECT_EQ(kpt_ring_open(h_, &ring_), EINVAL);
    std::string err = cap.Finish();
    EXPECT_NE(err.find(" E ring_open_group: port 16 cannot join a group\n"), std::string::npos) << err;
    EXPECT_EQ(ring_, nullptr);
    EXPECT_EQ(h_->refcnt, 2);
    EXPECT_EQ(Connections(0, 1), 1);
    EXPECT_EQ(Connections(16, 1), 1);
}

TEST_F(RxGroupTest, RefusedMemberReleasesTheWholeGroup)
{
    StartSim();
    ASSERT_EQ(kpt_init(KPT_API_VERSION), 0);
    ASSERT_EQ(kpt_open(0x3, 1, nullptr, int64_t(kRing), KPT_F_AGGREGATE_PORTMASK, &h_), 0);
    Ctl("fail 0 kpt_port_group EIO");
    EXPECT_EQ(kpt_ring_open(h_, &ring_), EIO);
    EXPECT_EQ(h_->refcnt, 2);
    kpt_port *port;
    STAILQ_FOREACH(port, &h_->portq, link) EXPECT_TRUE(STAILQ_EMPTY(&port->ringq));
    // Only the port endpoints stay connected.
    EXPECT_EQ(Connections(0, 1), 1);
    EXPECT_EQ(Connections(1, 1), 1);
}

TEST_F(RxGroupTest, LiveTrafficOfTwoPortsMergesInTimestampOrder)
{
    ASSERT_NO_FATAL_FAILURE(OpenGroup());
    ASSERT_EQ(kpt_start(h_), 0);
    constexpr uint32_t kPerPort = 100;
    for (uint32_t i = 0; i < kPerPort; ++i) {
        ASSERT_NO_FATAL_FAILURE(Send(0, Frame(64, 2 * i)));
        ASSERT_NO_FATAL_FAILURE(Send(1, Frame(64, 2 * i + 1)));
        usleep(200);
    }
    uint64_t last_ts = 0;
    uint32_t next[2] = {0, 1};
    for (uint32_t k = 0; k < 2 * kPerPort; ++k) {
        ASSERT_EQ(RecvLive(), 0) << k;
        ASSERT_LT(req_.portnum, 2u);
        EXPECT_TRUE(FrameIs(req_, 64, next[req_.portnum])) << k;
        next[req_.portnum] += 2;
        EXPECT_GE(req_.timestamp, last_ts) << k;
        last_ts = req_.timestamp;
    }
    EXPECT_EQ(kpt_ring_recv(ring_, 0, &req_), EAGAIN);
    kpt_ring_stats st;
    ASSERT_EQ(kpt_ring_getstats(ring_, &st), 0);
    EXPECT_EQ(st.ring_pkt_recv, 2 * kPerPort);
    EXPECT_EQ(st.nic_pkt_recv, 2 * kPerPort);
}

TEST_F(RxGroupTest, EarlierPacketOfAnotherPortComesFirst)
{
    ASSERT_NO_FATAL_FAILURE(OpenGroup());
    Forger f0(Rx(Member(0))), f1(Rx(Member(1)));
    // Stamps 100, 300 on port 0 and 200 on port 1, in steps of 0.64 ms (the
    // ports' clocks are corrected separately and may differ by microseconds).
    f0.Put({64}, f0.Ticks(100000), -1, -1, 100);
    f0.Put({64}, f0.Ticks(300000), -1, -1, 300);
    f1.Put({64}, f1.Ticks(200000), -1, -1, 200);
    ASSERT_EQ(kpt_ring_recv(ring_, 0, &req_), 0);
    EXPECT_TRUE(FrameIs(req_, 60, 100));
    EXPECT_EQ(req_.portnum, 0u);
    ASSERT_EQ(kpt_ring_recv(ring_, 0, &req_), 0);
    EXPECT_TRUE(FrameIs(req_, 60, 200));
    EXPECT_EQ(req_.portnum, 1u);
    const uint64_t t200 = req_.timestamp;

    // Port 1 is silent now: 300 is held back while port 1 may still
    // deliver something earlier, then let go about a millisecond later.
    const int64_t t0 = MonoNs();
    EXPECT_EQ(kpt_ring_recv(ring_, 0, &req_), EAGAIN);
    ASSERT_EQ(kpt_ring_recv(ring_, -1, &req_), 0);
    EXPECT_GE(MonoNs() - t0, 900000);
    EXPECT_TRUE(FrameIs(req_, 60, 300));
    EXPECT_GT(req_.timestamp, t200);
    EXPECT_EQ(g_waits, 0);
}

TEST_F(RxGroupTest, PacketHeldBackStaysUnreleased)
{
    ASSERT_NO_FATAL_FAILURE(OpenGroup());
    Forger f0(Rx(Member(0))), f1(Rx(Member(1)));
    kpt__rx_state *s0 = St(Member(0));
    f0.Put({64}, f0.Ticks(1000), -1, -1, 1);          // A
    f0.Put({64}, f0.Ticks(1000000000), -1, -1, 3);    // C, 6.4 s later
    // A is returned once port 1's silence has lasted about a millisecond.
    int rc;
    while ((rc = kpt_ring_recv(ring_, 0, &req_)) == EAGAIN) {
    }
    ASSERT_EQ(rc, 0);
    ASSERT_TRUE(FrameIs(req_, 60, 1));
    // Polling port 0 again takes C, which waits in the group; calls that
    // return without a packet must not release it.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(kpt_ring_recv(ring_, 0, &req_), EAGAIN);
        EXPECT_EQ(s0->recvq.rq_data_tail, 80u) << i;
        EXPECT_EQ(s0->recvq.rq_data_head, 160u) << i;
    }
    f1.Put({64}, f1.Ticks(500000000), -1, -1, 2);     // B, between A and C
    ASSERT_EQ(kpt_ring_recv(ring_, 0, &req_), 0);
    EXPECT_TRUE(FrameIs(req_, 60, 2));
    EXPECT_EQ(s0->recvq.rq_data_tail, 80u);
    f1.Put({64}, f1.Ticks(2000000000), -1, -1, 4);    // D, after C
    ASSERT_EQ(kpt_ring_recv(ring_, 0, &req_), 0);
    EXPECT_TRUE(FrameIs(req_, 60, 3));
    // C is released by the next call; D waits for port 0.
    EXPECT_EQ(kpt_ring_recv(ring_, 0, &req_), EAGAIN);
    EXPECT_EQ(s0->recvq.rq_data_tail, 160u);
}

// ===========================================================================
// Statistics
// ===========================================================================

struct StatsCase {
    uint16_t api;
    size_t size;
};
void PrintTo(const StatsCase &c, std::ostream *os) { *os << "api " << c.api; }

class RxStatsTest : public RxTest, public ::testing::WithParamInterface<StatsCase> {};

TEST_P(RxStatsTest, RecordIsSizedByTheApplicationsVersion)
{
    ASSERT_NO_FATAL_FAILURE(Open(0, 1, -1, nullptr, GetParam().api));
    ASSERT_EQ(kpt_start(h_), 0);
    for (uint32_t i = 0; i < 3; ++i) ASSERT_NO_FATAL_FAILURE(Send(0, Frame(100 + i, i)));
    for (uint32_t i = 0; i < 3; ++i) ASSERT_EQ(kpt_ring_recv(ring_, 5000, &req_), 0);
    uint8_t buf[sizeof(kpt_ring_stats) + 16];
    memset(buf, 0xab, sizeof buf);
    ASSERT_EQ(kpt_ring_getstats(ring_, reinterpret_cast<kpt_ring_stats *>(buf)), 0);
    const size_t size = GetParam().size;
    for (size_t i = size; i < sizeof buf; ++i) ASSERT_EQ(buf[i], 0xab) << "byte " << i;
    kpt_ring_stats st;
    memset(&st, 0, sizeof st);
    memcpy(&st, buf, size);
    EXPECT_EQ(st.nic_pkt_recv, 3u);
    EXPECT_EQ(st.ring_pkt_recv, 3u);
    EXPECT_EQ(st.nic_pkt_overflow, 0u);
    if (size >= 48) {
        EXPECT_EQ(st.nic_bytes_recv, 100u + 101 + 102 + 3 * QUOR_FCS_LEN);
    }
    if (size >= 64) {
        EXPECT_EQ(st.nic_pkt_dropped, 0u);
    }
}

INSTANTIATE_TEST_SUITE_P(Versions, RxStatsTest,
                         ::testing::Values(StatsCase{0x0001, 40}, StatsCase{0x0002, 48},
                                           StatsCase{0x0003, 64}, StatsCase{KPT_API_VERSION, 64}),
                         [](const ::testing::TestParamInfo<StatsCase> &i) {
                             return "Api" + std::to_string(i.param.api);
                         });

TEST_F(RxTest, StatisticsRequestFailureIsReturned)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    Ctl("fail 0 kpt_get_stats EIO");
    kpt_ring_stats st;
    EXPECT_EQ(kpt_ring_getstats(ring_, &st), EIO);
}

}  // namespace
