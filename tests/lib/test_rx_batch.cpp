// Batched receive and occupancy: packets borrowed from descriptors written
// here and from the simulated adapter, returns and the synchronisations they
// cause, skipped space on a shared queue, occupancy of rings and groups,
// member rings of a group; the queue-lock calls against the simulator's
// locks; a generated stream received through the batch calls alone from a
// quor_simd process.
//
// Linked with --wrap=zal_ioctl (rx_support.h) to count and inspect requests.
#include <signal.h>

#include <algorithm>
#include <functional>
#include <numeric>
#include <thread>

#include "rx_support.h"

namespace {

using kpttest::MonoNs;

// Sum of the data-ring bytes of packets, what returning them gives back.
uint32_t DataOf(const kpt_recv_req *v, int n)
{
    uint32_t sum = 0;
    for (int i = 0; i < n; ++i) sum += v[i].length_data;
    return sum;
}

kpt_ring_qinfo Qinfo(kpt_ring_t r)
{
    kpt_ring_qinfo q = {};
    EXPECT_EQ(kpt_ring_recv_qinfo(r, &q), 0);
    return q;
}

class BatchTest : public RxTest {
protected:
    uint64_t Head(kpt_ring_t r = nullptr) { return St(r)->recvq.rq_data_head; }
    uint64_t Tail(kpt_ring_t r = nullptr) { return St(r)->recvq.rq_data_tail; }
    kpt_recv_req v_[300] = {};
    kpt_ring_qinfo qi_ = {};
    int n_ = -7;
};

TEST_F(BatchTest, ReadyPacketsAreTakenWithoutWaitingAndNothingIsReleased)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    Forger f(Rx());
    f.Put({64, 64, 1500}, f.Ticks(1000), 1712, -1, 10);
    ASSERT_EQ(kpt_ring_recv_many(ring_, 1000, v_, 8, &n_, &qi_), 0);
    EXPECT_EQ(n_, 3);
    EXPECT_EQ(g_waits, 0);
    EXPECT_TRUE(FrameIs(v_[0], 60, 10));
    EXPECT_TRUE(FrameIs(v_[1], 60, 11));
    EXPECT_TRUE(FrameIs(v_[2], 1496, 12));
    EXPECT_EQ(DataOf(v_, 3), 1712u);
    EXPECT_EQ(Tail(), 0u);  // all three borrowed
    EXPECT_EQ(qi_.q_borrowed, 1712u);
    EXPECT_EQ(qi_.q_avail + qi_.q_borrowed + qi_.q_free, St()->recvq.rq_data_size);

    // Nothing more: 0 waits nowhere, nreq_out stays as it was.
    n_ = -7;
    memset(&qi_, 0xff, sizeof qi_);
    EXPECT_EQ(kpt_ring_recv_many(ring_, 0, v_, 8, &n_, &qi_), EAGAIN);
    EXPECT_EQ(n_, -7);
    EXPECT_EQ(qi_.q_borrowed, 1712u);  // filled on failure too
    EXPECT_EQ(kpt_ring_recv_multiple(ring_, -1, v_, 8, &n_, nullptr), EAGAIN);
    EXPECT_EQ(g_waits, 0);
    memset(&qi_, 0xff, sizeof qi_);
    EXPECT_EQ(kpt_ring_recv_many(ring_, -1, v_, 0, &n_, &qi_), 0);
    EXPECT_EQ(kpt_ring_recv_multiple(ring_, -1, v_, -3, &n_, nullptr), 0);
    EXPECT_EQ(n_, -7);
    EXPECT_EQ(qi_.q_borrowed, 1712u);
    EXPECT_EQ(g_waits, 0);
    EXPECT_EQ(Tail(), 0u);

    // A limited batch takes what fits; the rest waits for the next call.
    f.Put({100, 100, 100, 100, 100}, f.Ticks(2000), -1, -1, 20);
    ASSERT_EQ(kpt_ring_recv_multiple(ring_, 0, v_, 2, &n_, nullptr), 0);
    EXPECT_EQ(n_, 2);
    EXPECT_TRUE(FrameIs(v_[1], 96, 21));
    ASSERT_EQ(kpt_ring_recv_many(ring_, 0, v_, 8, &n_, nullptr), 0);
    EXPECT_EQ(n_, 3);
    EXPECT_TRUE(FrameIs(v_[0], 96, 22));
    EXPECT_EQ(Qinfo(ring_).q_borrowed, 1712u + 5 * 112);

    // Only a ring of its own takes part.
    kpt_ring_t not_a_ring = reinterpret_cast<kpt_ring_t>(h_);
    EXPECT_EQ(kpt_ring_recv_many(not_a_ring, 0, v_, 8, &n_, nullptr), EINVAL);
    EXPECT_EQ(kpt_ring_recv_multiple(nullptr, 0, v_, 8, &n_, nullptr), EINVAL);
    EXPECT_EQ(kpt_ring_return_many(not_a_ring, 1, nullptr), EINVAL);
    EXPECT_EQ(kpt_ring_recv_qinfo(not_a_ring, &qi_), EINVAL);
    EXPECT_EQ(kpt_ring_recv_many(ring_, 0, nullptr, 8, &n_, nullptr), EINVAL);
}

TEST_F(BatchTest, ReturnsGiveBackWhatIsBorrowedAndSynchroniseEvery64KiB)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    Forger f(Rx());
    for (int i = 0; i < 40; ++i) f.Put({64}, f.Ticks(i), 4096, -1, uint32_t(i));
    ASSERT_EQ(kpt_ring_recv_many(ring_, 0, v_, 64, &n_, nullptr), 0);
    ASSERT_EQ(n_, 40);
    for (int i = 0; i < 40; ++i) ASSERT_TRUE(FrameIs(v_[i], 60, uint32_t(i))) << i;
    ASSERT_EQ(Qinfo(ring_).q_borrowed, 40u * 4096);

    // One byte too many changes nothing.
    EXPECT_EQ(kpt_ring_return_many(ring_, 40 * 4096 + 1, &qi_), EINVAL);
    EXPECT_EQ(Qinfo(ring_).q_borrowed, 40u * 4096);
    EXPECT_EQ(Tail(), 0u);

    // Packet by packet, in order: a synchronisation each time 64 KiB have
    // been released since the last one, and only then.
    for (int i = 0; i < 33; ++i) {
        ASSERT_EQ(kpt_ring_return_many(ring_, v_[i].length_data, &qi_), 0);
        ASSERT_EQ(g_syncs, (i + 1) / 16) << "after return " << i;
        EXPECT_EQ(qi_.q_borrowed, uint64_t(39 - i) * 4096);
    }
    EXPECT_EQ(g_last_sync.rs_data_tail, 131072u);
    EXPECT_EQ(g_last_sync.rs_desc_cnt, 40u);
    EXPECT_EQ(St()->recvq.rq_data_tail_last, 131072u);
    // The rest at once: below 64 KiB since the last synchronisation, so
    // only written to the state slot.
    ASSERT_EQ(kpt_ring_return_many(ring_, 0xFFFFFFFFu, &qi_), 0);
    EXPECT_EQ(qi_.q_borrowed, 0u);
    EXPECT_EQ(Tail(), Head());
    EXPECT_EQ(g_syncs, 2);
    EXPECT_EQ(kpt_ring_return_many(ring_, 1, nullptr), EINVAL);
    EXPECT_EQ(kpt_ring_return_many(ring_, 0, nullptr), 0);

    // A return that crosses 64 KiB twice synchronises once.
    for (int i = 0; i < 40; ++i) f.Put({64}, f.Ticks(i), 4096, -1, uint32_t(i));
    ASSERT_EQ(kpt_ring_recv_many(ring_, 0, v_, 64, &n_, nullptr), 0);
    ASSERT_EQ(kpt_ring_return_many(ring_, DataOf(v_, 40), nullptr), 0);
    EXPECT_EQ(g_syncs, 3);
    EXPECT_EQ(g_last_sync.rs_data_tail, 80u * 4096);
}

// A batch on a ring of its own takes whole runs of a descriptor at once.
// It must hand out exactly what the attempt of one packet at a time does:
// the same stream (packets of every length, descriptors of one packet and
// of many, adapter times that go back, an empty and an unsound descriptor
// passed over, packets across the ring end) is read both ways from the same
// starting state, in batches whose ends fall anywhere in a descriptor, and
// every packet record and the cursor, counters and clamps after it agree.
TEST_F(BatchTest, BatchesHandOutWhatOnePacketAtATimeDoes)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    Forger f(Rx());
    // Near the ring end first, so that the stream wraps.
    f.FillTo(f.Size() - 150000);
    while (kpt_ring_recv(ring_, 0, &req_) == 0) {
    }
    ASSERT_EQ(kpt_ring_return_many(ring_, 0xFFFFFFFFu, nullptr), 0);

    uint32_t seed = 12345;
    auto rnd = [&seed](uint32_t n) {
        seed = seed * 1103515245u + 12345u;
        return (seed >> 8) % n;
    };
    uint64_t ticks = 1000000;
    uint32_t tag = 0;
    for (int d = 0; d < 90; ++d) {
        ticks = ticks + 2000 - rnd(3000); // now and then earlier than before
        if (d == 20) {
            f.Put({}, f.Ticks(ticks), 512, 0); // no packet: passed over
            continue;
        }
        if (d == 41) {
            f.Put({100, 100}, f.Ticks(ticks), 150); // slots beyond its length
            continue;
        }
        const uint32_t cnt = d % 5 == 0 ? 1 : 1 + rnd(QUOR_KPT_DESC_MAX_PKTS);
        std::vector<uint16_t> lens;
        for (uint32_t i = 0; i < cnt; ++i)
            lens.push_back(uint16_t(rnd(4) == 0 ? QUOR_FCS_LEN + rnd(1515) : 64 + rnd(40)));
        // Some descriptors cover more than their slots.
        uint32_t slots = 0;
        for (uint16_t l : lens) slots += quor_kpt_rpd_length_up(l);
        f.Put(lens, f.Ticks(ticks), int(slots + (d % 3 == 0 ? 48 : 0)), -1, tag);
        tag += cnt;
    }

    const kpt__rx_state start = *St();
    const auto verify0 = Rx()->rx_verify;
    // One packet at a time with the slot index as req_index, skipped bytes
    // folded into the next packet, as a batch must.
    auto one_at_a_time = [&] {
        std::vector<kpt_recv_req> out;
        for (;;) {
            kpt_recv_req r = {};
            r.hw_hash = 0xabcdef;
            if (ring_recv_try(P_UNUSED, Rx(), int(out.size() % 300), &r) != 0) break;
            r.length_data += Rx()->rq_pend_drop_size;
            Rx()->rq_pend_drop_size = 0;
            out.push_back(r);
        }
        return out;
    };
    auto in_batches = [&] {
        std::vector<kpt_recv_req> out;
        const int sizes[] = {1, 5, 32, 58, 300, 7, 2, 57, 3};
        for (int k = 0;; ++k) {
            const int want_n = sizes[k % 9];
            for (int i = 0; i < want_n; ++i) v_[i].hw_hash = 0xabcdef;
            n_ = 0;
            const int rc = kpt_ring_recv_many(ring_, 0, v_, want_n, &n_, nullptr);
            if (rc == EAGAIN) break;
            if (rc != 0 || n_ < 1 || n_ > want_n) {
                ADD_FAILURE() << "batch of " << want_n << ": " << rc << ", " << n_ << " packets";
                break;
            }
            out.insert(out.end(), v_, v_ + n_);
        }
        return out;
    };
    // The adapter clock's conversion is refreshed now and then: a refresh
    // between the two reads moves every time by the same amount, one inside
    // a read (a slow run) moves some of them.  Both reads are then done again.
    std::vector<kpt_recv_req> want, got;
    auto shifted_alike = [&] {
        for (size_t i = 1; i < std::min(want.size(), got.size()); ++i)
            if (got[i].timestamp - want[i].timestamp != got[0].timestamp - want[0].timestamp) return false;
        return true;
    };
    kpt__rx_state end;
    auto verify1 = verify0;
    for (int attempt = 0; attempt < 5; ++attempt) {
        memcpy(St(), &start, sizeof start);
        Rx()->rx_verify = verify0;
        want = one_at_a_time();
        end = *St();
        verify1 = Rx()->rx_verify;
        memcpy(St(), &start, sizeof start);
        Rx()->rx_verify = verify0;
        got = in_batches();
        if (shifted_alike()) break;
    }
    ASSERT_EQ(want.size(), tag); // the unsound descriptor's two are not handed out
    EXPECT_EQ(verify1.err_pkt_ring, verify0.err_pkt_ring + 1);
    EXPECT_GT(end.recvq.stats.rq_neg_adj_event, start.recvq.stats.rq_neg_adj_event);
    EXPECT_LT(end.recvq.rq_data_off, start.recvq.rq_data_off); // wrapped
    ASSERT_EQ(got.size(), want.size());
    const int64_t shift = want.empty() ? 0 : int64_t(got[0].timestamp - want[0].timestamp);
    EXPECT_LT(shift < 0 ? -shift : shift, 1000000) << "more than 1 ms apart";
    for (size_t i = 0; i < want.size(); ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(got[i].pkt_addr, want[i].pkt_addr);
        EXPECT_EQ(got[i].length, want[i].length);
        EXPECT_EQ(int64_t(got[i].timestamp - want[i].timestamp), shift);
        EXPECT_EQ(got[i].portnum, want[i].portnum);
        EXPECT_EQ(got[i].length_data, want[i].length_data);
        EXPECT_EQ(got[i].hw_hash, 0xabcdefu);
        if (i > 0) {
            EXPECT_GE(got[i].timestamp, got[i - 1].timestamp);
        }
    }
    // The packets' frames are intact (a wrapped one made contiguous).
    for (size_t i = 0; i < got.size(); ++i)
        ASSERT_TRUE(FrameIs(got[i], got[i].length, uint32_t(i))) << i;
    EXPECT_EQ(memcmp(St(), &end, sizeof end), 0) << "cursor, counters or clamp differ";
    EXPECT_EQ(Rx()->rx_verify.err_pkt_ring, verify1.err_pkt_ring);
    EXPECT_EQ(Rx()->rq_pend_drop_size, 0u);
    EXPECT_EQ(uint64_t(DataOf(got.data(), int(got.size()))), Head() - Tail());
}

TEST_F(BatchTest, CloseGivesBorrowedBytesBackInOneSynchronisation)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    Forger f(Rx());
    f.Put({64}, f.Ticks(1), 4000);
    f.Put({64}, f.Ticks(2), 6000);
    ASSERT_EQ(kpt_ring_recv_many(ring_, 0, v_, 8, &n_, nullptr), 0);
    ASSERT_EQ(n_, 2);
    EXPECT_EQ(g_syncs, 0);
    EXPECT_EQ(kpt_ring_close(ring_), 0);
    ring_ = nullptr;
    EXPECT_EQ(g_syncs, 1);
    EXPECT_EQ(g_last_sync.rs_data_tail, 10000u);
}

// Shared queue: the frame's first byte picks the ring (Byte(tag, 0) has the
// parity of tag), so even tags go to ring 0 and odd ones to ring 1.
int ParityHash(kpt_recv_req *req, void *, uint32_t *h)
{
    *h = static_cast<const uint8_t *>(req->pkt_addr)[0] & 1;
    return 0;
}

TEST_F(BatchTest, SkippedSpaceGoesBackWithTheNextKeptPacketNeverBeforeBorrowedData)
{
    kpt_rss_params rss = {};
    rss.mode = KPT_RSS_FUNCTION;
    rss.params.rss_function.rss_hash_fn = ParityHash;
    ASSERT_NO_FATAL_FAILURE(Open(0, 2, -1, &rss));
    kpt_ring_t other = nullptr;
    ASSERT_EQ(kpt_ring_open(h_, &other), 0);
    ASSERT_EQ(Rx()->pq_mode, P_SHARED);
    Forger f(Rx());

    // Two packets for ring 1, then one for ring 0.
    f.Put({100}, f.Ticks(1), -1, -1, 1);
    f.Put({200}, f.Ticks(1), -1, -1, 3);
    f.Put({300}, f.Ticks(1), -1, -1, 4);
    const uint32_t slots = 112 + 208 + 320;
    ASSERT_EQ(kpt_ring_recv_many(ring_, 0, v_, 8, &n_, &qi_), 0);
    ASSERT_EQ(n_, 1);
    EXPECT_TRUE(FrameIs(v_[0], 296, 4));
    EXPECT_EQ(v_[0].length_data, slots);
    EXPECT_EQ(St()->recvq.stats.rq_pkt_cnt_skip_rss, 2u);
    EXPECT_EQ(qi_.q_borrowed, slots);

    // Held: more packets for ring 1 and nothing for ring 0.  Releasing the
    // skipped space would release the held packet with it: it stays pending.
    f.Put({64}, f.Ticks(2), -1, -1, 5);
    f.Put({64}, f.Ticks(2), -1, -1, 7);
    EXPECT_EQ(kpt_ring_recv_many(ring_, 0, v_ + 1, 8, &n_, nullptr), EAGAIN);
    EXPECT_EQ(Tail(), 0u);
    EXPECT_EQ(Rx()->rq_pend_drop_size, 160u);
    EXPECT_TRUE(FrameIs(v_[0], 296, 4));
    // Once the held packet is back, a call that finds nothing releases it.
    ASSERT_EQ(kpt_ring_return_many(ring_, v_[0].length_data, nullptr), 0);
    EXPECT_EQ(kpt_ring_recv_multiple(ring_, 0, v_, 8, &n_, nullptr), EAGAIN);
    EXPECT_EQ(Tail(), slots);  // recv_multiple never releases on its own
    EXPECT_EQ(kpt_ring_recv_many(ring_, 0, v_, 8, &n_, nullptr), EAGAIN);
    EXPECT_EQ(Tail(), Head());
    EXPECT_EQ(Rx()->rq_pend_drop_size, 0u);

    // Skipped space pending at a return of everything goes with it.
    f.Put({64, 64, 64}, f.Ticks(3), -1, -1, 6);  // tags 6, 7, 8: 7 skipped
    ASSERT_EQ(kpt_ring_recv_many(ring_, 0, v_, 8, &n_, nullptr), 0);
    ASSERT_EQ(n_, 2);
    EXPECT_EQ(v_[1].length_data, 160u);
    f.Put({64}, f.Ticks(4), -1, -1, 9);
    EXPECT_EQ(kpt_ring_recv_multiple(ring_, 0, v_, 8, &n_, nullptr), EAGAIN);
    EXPECT_EQ(Rx()->rq_pend_drop_size, 80u);
    ASSERT_EQ(kpt_ring_return_many(ring_, 0xFFFFFFFFu, nullptr), 0);
    EXPECT_EQ(Rx()->rq_pend_drop_size, 0u);
    f.Put({64}, f.Ticks(5), -1, -1, 10);
    ASSERT_EQ(kpt_ring_recv_many(ring_, 0, v_, 8, &n_, nullptr), 0);
    EXPECT_EQ(v_[0].length_data, 80u);
    EXPECT_EQ(kpt_ring_return_many(ring_, 80, nullptr), 0);
    EXPECT_EQ(Tail(), Head());

    // A single receive releases everything, pending skipped space included,
    // so no later batched packet claims it again.
    f.Put({64}, f.Ticks(6), -1, -1, 11);
    EXPECT_EQ(kpt_ring_recv_multiple(ring_, 0, v_, 8, &n_, nullptr), EAGAIN);
    EXPECT_EQ(Rx()->rq_pend_drop_size, 80u);
    f.Put({64}, f.Ticks(7), -1, -1, 12);
    ASSERT_EQ(kpt_ring_recv(ring_, 0, &req_), 0);
    EXPECT_EQ(Rx()->rq_pend_drop_size, 0u);
    f.Put({64}, f.Ticks(8), -1, -1, 14);
    ASSERT_EQ(kpt_ring_recv_many(ring_, 0, v_, 8, &n_, nullptr), 0);
    EXPECT_EQ(v_[0].length_data, 80u);
    EXPECT_EQ(kpt_ring_close(other), 0);
}

TEST_F(BatchTest, OccupancyAddsUpWithAFullRingAndAPartialPageBorrowed)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    Forger f(Rx());
    const uint64_t size = St()->recvq.rq_data_size;
    ASSERT_EQ(size, f.Size());
    f.Put({100}, f.Ticks(1), -1, -1, 1);
    f.PublishPages();
    ASSERT_EQ(kpt_ring_recv_many(ring_, 0, v_, 1, &n_, nullptr), 0);
    kpt_ring_qinfo q = Qinfo(ring_);
    EXPECT_EQ(q.q_borrowed, 112u);
    EXPECT_EQ(q.q_avail, 0u);
    EXPECT_EQ(q.q_free, size - 112);

    // The adapter fills the rest of the ring: every page counts as written
    // ahead of the head, though 112 bytes of the first are still borrowed.
    const int fills = f.FillTo(0);
    f.PublishPages();
    q = Qinfo(ring_);
    EXPECT_EQ(q.q_borrowed, 112u);
    EXPECT_EQ(q.q_avail, size - 4096);
    EXPECT_EQ(q.q_free, 4096u - 112);
    EXPECT_EQ(q.q_avail + q.q_borrowed + q.q_free, size);

    ASSERT_EQ(kpt_ring_recv_many(ring_, 0, v_, 300, &n_, &q), 0);
    EXPECT_EQ(n_, fills);
    EXPECT_EQ(q.q_borrowed, size);
    EXPECT_EQ(q.q_avail, 0u);
    EXPECT_EQ(q.q_free, 0u);
    ASSERT_EQ(kpt_ring_return_many(ring_, 0xFFFFFFFFu, &q), 0);
    EXPECT_EQ(q.q_free, size);
}

TEST_F(BatchTest, BorrowedDataIsNeverWrittenOverWhileTheRingFills)
{
    ASSERT_NO_FATAL_FAILURE(OpenStarted());
    const uint64_t size = Rx()->rq_size;
    for (uint32_t i = 0; i < 8; ++i) ASSERT_NO_FATAL_FAILURE(Send(0, Frame(1000, i)));
    int got = 0;
    while (got < 8) {
        int n = 0;
        ASSERT_EQ(kpt_ring_recv_many(ring_, 2000, v_ + got, 8 - got, &n, nullptr), 0);
        got += n;
    }
    // Far more than the ring holds arrives while the eight are held.
    const uint32_t more = uint32_t(2 * size / 1024);
    for (uint32_t i = 0; i < more; ++i) ASSERT_NO_FATAL_FAILURE(Send(0, Frame(1000, 100 + i)));
    kpt_ring_stats st = {};
    const int64_t deadline = MonoNs() + 20000000000;
    do {
        usleep(2000);
        ASSERT_EQ(kpt_ring_getstats(ring_, &st), 0);
        ASSERT_LT(MonoNs(), deadline);
    } while (st.nic_pkt_recv + st.ring_pkt_overflow < 8 + more);
    EXPECT_GT(st.ring_pkt_overflow, 0u);
    for (int i = 0; i < 8; ++i) EXPECT_TRUE(FrameIs(v_[i], 1000, uint32_t(i))) << i;
    EXPECT_LE(Qinfo(ring_).q_borrowed + Qinfo(ring_).q_avail, size);

    // What did arrive is intact and in order once the eight are back.
    ASSERT_EQ(kpt_ring_return_many(ring_, DataOf(v_, 8), nullptr), 0);
    uint64_t kept = 8;
    uint32_t last = 99;
    for (;;) {
        int n = 0;
        const int rc = kpt_ring_recv_many(ring_, 0, v_, 64, &n, nullptr);
        if (rc == EAGAIN) break;
        ASSERT_EQ(rc, 0);
        for (int i = 0; i < n; ++i) {
            const uint32_t tag = last + 1;
            ASSERT_EQ(v_[i].length, 1000u);
            ASSERT_TRUE(FrameIs(v_[i], 1000, tag)) << "after tag " << last;
            last = tag;
        }
        kept += uint64_t(n);
        ASSERT_EQ(kpt_ring_return_many(ring_, 0xFFFFFFFFu, nullptr), 0);
    }
    ASSERT_EQ(kpt_ring_getstats(ring_, &st), 0);
    EXPECT_EQ(kept, st.ring_pkt_recv);
    EXPECT_EQ(kept + st.ring_pkt_overflow, 8 + more);
}

TEST_F(BatchTest, WaitingBatchWakesWhenAFrameArrives)
{
    ASSERT_NO_FATAL_FAILURE(OpenStarted());
    std::thread sender([this] {
        usleep(50000);
        sim_->send_frame(0, Frame(200, 4).data(), 200);
    });
    const int64_t t0 = MonoNs();
    ASSERT_EQ(kpt_ring_recv_many(ring_, 10000, v_, 16, &n_, nullptr), 0);
    const int64_t took = MonoNs() - t0;
    sender.join();
    EXPECT_EQ(n_, 1);
    EXPECT_TRUE(FrameIs(v_[0], 200, 4));
    EXPECT_GE(took, 40000000);
    EXPECT_GE(g_waits, 1);
    // A bounded wait with nothing arriving ends with the driver's answer.
    EXPECT_EQ(kpt_ring_recv_many(ring_, 50, v_, 16, &n_, nullptr), EAGAIN);
}

// ===========================================================================
// Groups and their members
// ===========================================================================

class BatchGroupTest : public BatchTest {
protected:
    kpt_ring_t Member(unsigned port) { return ring_->u.group.ports[port].ring; }
    // A group call may end with EAGAIN while a packet is held back for a
    // silent port; the caller tries again.
    int RecvGroup()
    {
        const int64_t deadline = MonoNs() + 5000000000;
        int rc;
        while ((rc = kpt_ring_recv(ring_, 1000, &req_)) == EAGAIN && MonoNs() < deadline) {
        }
        return rc;
    }
};

TEST_F(BatchGroupTest, OccupancyOfAGroupIsItsFullestMember)
{
    ASSERT_NO_FATAL_FAILURE(Open(0x3, 1, KPT_F_AGGREGATE_PORTMASK));
    Forger f0(Rx(Member(0))), f1(Rx(Member(1)));
    EXPECT_EQ(kpt_ring_recv_many(ring_, 0, v_, 8, &n_, nullptr), EINVAL);
    EXPECT_EQ(kpt_ring_return_many(ring_, 0, nullptr), EINVAL);

    // Empty members tie: the first one is reported.
    kpt_ring_qinfo g = Qinfo(ring_);
    EXPECT_EQ(g.q_free, St(Member(0))->recvq.rq_data_size);
    // The second member is the fuller one: 31 pages written, the first 15.
    // Its packets are stamped later than the first member's.
    f1.Put({64}, f1.Ticks(1000000000), 65520);
    f1.Put({64}, f1.Ticks(1000000001), 65520);
    f1.PublishPages();
    f0.Put({64}, f0.Ticks(1), 65520);
    f0.PublishPages();
    const kpt_ring_qinfo m1 = Qinfo(Member(1));
    EXPECT_EQ(m1.q_avail, 31u * 4096);
    EXPECT_EQ(Qinfo(Member(0)).q_avail, 15u * 4096);
    g = Qinfo(ring_);
    EXPECT_EQ(g.q_avail, m1.q_avail);
    EXPECT_EQ(g.q_free, m1.q_free);
    // Then the first, by what it holds beside what is written ahead of it:
    // the group hands out its (earlier) packet, which stays held until the
    // next call, and keeps the second member's first packet waiting.
    ASSERT_EQ(kpt_ring_recv(ring_, 0, &req_), 0);
    EXPECT_EQ(req_.portnum, 0u);
    f0.Put({64}, f0.Ticks(3), 65520);
    f0.Put({64}, f0.Ticks(4), 65520);
    f0.PublishPages();
    const kpt_ring_qinfo m0 = Qinfo(Member(0)), m1b = Qinfo(Member(1));
    EXPECT_EQ(m0.q_borrowed, 65520u);
    EXPECT_EQ(m0.q_avail, 32u * 4096);
    EXPECT_EQ(m1b.q_borrowed, 65520u);
    EXPECT_EQ(m1b.q_avail, 16u * 4096);
    EXPECT_LT(m0.q_free, m1b.q_free);
    g = Qinfo(ring_);
    EXPECT_EQ(g.q_borrowed, m0.q_borrowed);
    EXPECT_EQ(g.q_free, m0.q_free);
}

TEST_F(BatchGroupTest, MemberReportsItselfAndClosesOnlyWithItsGroup)
{
    ASSERT_NO_FATAL_FAILURE(Open(0x3, 1, KPT_F_AGGREGATE_PORTMASK));
    ASSERT_EQ(kpt_start(h_), 0);
    for (uint32_t i = 0; i < 3; ++i) ASSERT_NO_FATAL_FAILURE(Send(0, Frame(64, i)));
    ASSERT_NO_FATAL_FAILURE(Send(1, Frame(64, 9)));
    for (int i = 0; i < 4; ++i) ASSERT_EQ(RecvGroup(), 0);

    kpt_ring_stats s0 = {}, s1 = {}, sg = {};
    ASSERT_EQ(kpt_ring_getstats(Member(0), &s0), 0);
    ASSERT_EQ(kpt_ring_getstats(Member(1), &s1), 0);
    ASSERT_EQ(kpt_ring_getstats(ring_, &sg), 0);
    EXPECT_EQ(s0.ring_pkt_recv, 3u);
    EXPECT_EQ(s1.ring_pkt_recv, 1u);
    EXPECT_EQ(sg.ring_pkt_recv, 4u);
    EXPECT_EQ(s0.nic_pkt_recv, 3u);

    struct kpt_ring_portinfo pi[2] = {};
    ASSERT_EQ(kpt_ring_portinfo(Member(0), pi), 0);
    EXPECT_EQ(pi[0].ring, Member(0));
    EXPECT_EQ(pi[0].portmask, 1u);
    EXPECT_EQ(pi[1].ring, nullptr);  // nothing written past its own record

    const int refcnt = h_->refcnt;
    EXPECT_EQ(kpt_ring_close(Member(0)), EINVAL);
    EXPECT_EQ(h_->refcnt, refcnt);
    EXPECT_EQ(g_detaches, 0);

    // Nor does a member receive or give back on its own: the group alone
    // takes packets from its members, and it still holds the one it
    // returned last.
    kpt_ring_t latest = ring_->u.group.ring_latest;
    const uint64_t held = Qinfo(latest).q_borrowed;
    ASSERT_GT(held, 0u);
    const int waits = g_waits;
    ASSERT_NO_FATAL_FAILURE(Send(0, Frame(64, 5)));
    const struct {
        const char *name;
        std::function<int(kpt_ring_t)> call;
    } calls[] = {
        {"recv_many", [&](kpt_ring_t m) { return kpt_ring_recv_many(m, 100, v_, 8, &n_, &qi_); }},
        {"recv_multiple",
         [&](kpt_ring_t m) { return kpt_ring_recv_multiple(m, 0, v_, 8, &n_, &qi_); }},
        {"return_many", [&](kpt_ring_t m) { return kpt_ring_return_many(m, 0xFFFFFFFFu, &qi_); }},
        {"recv", [&](kpt_ring_t m) { return kpt_ring_recv(m, 100, &req_); }},
        {"wait", [&](kpt_ring_t m) { return kpt_ring_wait(m, 100); }},
    };
    for (unsigned port : {0u, 1u})
        for (const auto &c : calls) {
            const uint64_t head = Head(Member(port)), tail = Tail(Member(port));
            EXPECT_EQ(c.call(Member(port)), EINVAL) << c.name << " on member " << port;
            EXPECT_EQ(Head(Member(port)), head) << c.name << " on member " << port;
            EXPECT_EQ(Tail(Member(port)), tail) << c.name << " on member " << port;
        }
    EXPECT_EQ(Qinfo(latest).q_borrowed, held);
    EXPECT_EQ(g_waits, waits);
    ASSERT_EQ(RecvGroup(), 0);
    EXPECT_TRUE(FrameIs(req_, 64, 5));
}

// ===========================================================================
// Queue locks
// ===========================================================================

class PqTest : public kpttest::SimTest {
protected:
    void SetUp() override
    {
        StartSim();
        ASSERT_EQ(kpt_init(KPT_API_VERSION), 0);
    }
    void TearDown() override
    {
        for (int fd : fds_) zal_close(fd);
        SimTest::TearDown();
    }
    int Conn(int port)
    {
        int fd = -1;
        EXPECT_EQ(zal_open(port, 0, &fd, QUOR_PRODUCT_KPT), 0);
        fds_.push_back(fd);
        return fd;
    }
    template <class T> static std::vector<uint8_t> Bytes(const T &v)
    {
        const uint8_t *b = reinterpret_cast<const uint8_t *>(&v);
        return std::vector<uint8_t>(b, b + sizeof v);
    }
    std::vector<int> fds_;
};

TEST_F(PqTest, EachCallSendsItsRequestAndRecord)
{
    const int fd = Conn(0);
    kpt__pq_state_rw st = {7, 8, 9, 10, 11};
    quor_kpt_pq_group_lock_t gl = {0x3, 25};

    EXPECT_EQ(pq_trylock(fd), 0);
    EXPECT_EQ(g_pq_code, 0x20004DD3u);
    EXPECT_TRUE(g_pq_record.empty());
    EXPECT_EQ(pq_trylock_wait(fd, 25), EDEADLK);  // its own lock
    EXPECT_EQ(g_pq_code, 0x20004DD4u);
    EXPECT_EQ(g_pq_record, Bytes(int32_t(25)));
    EXPECT_EQ(pq_unlock_wake(fd, &st), 0);
    EXPECT_EQ(g_pq_code, 0x20004DD6u);
    EXPECT_EQ(g_pq_record, Bytes(st));
    EXPECT_EQ(pq_unlock(fd), EPERM);  // no longer held
    EXPECT_EQ(g_pq_code, 0x20004DD5u);
    EXPECT_TRUE(g_pq_record.empty());
    EXPECT_EQ(pq_group_lock(fd, &gl), 0);
    EXPECT_EQ(g_pq_code, 0x20004DD7u);
    EXPECT_EQ(g_pq_record, Bytes(gl));
    EXPECT_EQ(pq_group_unlock(fd, &st), 0);
    EXPECT_EQ(g_pq_code, 0x20004DD8u);
    EXPECT_EQ(g_pq_record, Bytes(st));
    EXPECT_NE(Ctl("status").find("queue-lock free (desc 9)"), std::string::npos);

    gl.port = 0x4;  // no port 2
    EXPECT_EQ(pq_group_lock(fd, &gl), EINVAL);
    gl.port = 0;
    EXPECT_EQ(pq_group_lock(fd, &gl), EINVAL);
    EXPECT_EQ(pq_group_lock(fd, nullptr), EINVAL);
    EXPECT_EQ(pq_trylock(-1), EBADF);
}

TEST_F(PqTest, OneHolderAcrossConnectionsWithTimeoutWakeUpAndDisconnect)
{
    const int a = Conn(0), b = Conn(0), c = Conn(1);
    ASSERT_EQ(pq_trylock(a), 0);
    EXPECT_EQ(pq_trylock(b), EBUSY);
    EXPECT_EQ(pq_unlock(b), EPERM);  // not the holder
    int64_t t0 = MonoNs();
    EXPECT_EQ(pq_trylock_wait(b, 100), EBUSY);
    EXPECT_GE(MonoNs() - t0, 90000000);
    EXPECT_EQ(pq_trylock(c), 0);  // another port's lock
    EXPECT_NE(Ctl("status").find("queue-lock held"), std::string::npos);

    // A waiter without limit is woken by the unlock.
    std::atomic<int> got{-1};
    std::thread waiter([&] { got = pq_trylock_wait(b, -1); });
    usleep(50000);
    EXPECT_EQ(got, -1);
    t0 = MonoNs();
    ASSERT_EQ(pq_unlock(a), 0);
    waiter.join();
    EXPECT_EQ(got, 0);
    EXPECT_LT(MonoNs() - t0, 2000000000);
    EXPECT_EQ(pq_trylock(a), EBUSY);

    // The group lock takes all of its ports or none.
    quor_kpt_pq_group_lock_t gl = {0x3, 0};
    EXPECT_EQ(pq_group_lock(a, &gl), EBUSY);
    EXPECT_EQ(pq_unlock(c), 0);
    EXPECT_EQ(pq_group_lock(a, &gl), EBUSY);  // port 0 still b's
    EXPECT_EQ(pq_trylock(c), 0);             // port 1 was not taken
    EXPECT_EQ(pq_unlock(c), 0);

    // A holder that goes away gives its lock to the one waiting.
    gl.timeout_ms = 5000;
    std::thread group_waiter([&] { got = pq_group_lock(a, &gl); });
    usleep(50000);
    zal_close(b);
    fds_.erase(std::find(fds_.begin(), fds_.end(), b));
    group_waiter.join();
    EXPECT_EQ(got, 0);
    EXPECT_EQ(pq_trylock(c), EBUSY);
    kpt__pq_state_rw st = {};
    EXPECT_EQ(pq_group_unlock(a, &st), 0);
    EXPECT_EQ(pq_group_unlock(a, &st), EPERM);
    EXPECT_EQ(pq_trylock(c), 0);
}

// ===========================================================================
// End to end
// ===========================================================================

// Frames of a quor_simd generator received through the batch calls alone,
// with batch sizes and return patterns that change all the time: packets
// returned one by one, in runs, all at once, or held across calls.
TEST(BatchEndToEnd, GeneratedStreamArrivesOnceInOrderIntact)
{
    constexpr uint64_t kCount = 200000;
    kpttest::TempDir dir;
    kpttest::SimdProcess simd(
        dir.path(), {"--ports", "1", "--wire",
                     "0=gen:pps=100000,len=60-1024:seq,flows=65535,count=" + std::to_string(kCount)});
    ASSERT_TRUE(simd.ready()) << simd.ready_line();
    setenv("ZAL_DEV_DIR", dir.path().c_str(), 1);
    ASSERT_EQ(kpt_init(KPT_API_VERSION), 0);
    kpt_handle_t h = nullptr;
    kpt_ring_t ring = nullptr;
    ASSERT_EQ(kpt_open(0, 1, nullptr, 8 << 20, -1, &h), 0);
    ASSERT_EQ(kpt_ring_open(h, &ring), 0);
    ASSERT_EQ(kpt_start(h), 0);

    static const int kBatches[] = {1, 16, 7, 256, 64, 3, 100};
    std::vector<kpt_recv_req> v(256);
    std::vector<uint32_t> held;  // length_data of packets not yet returned, in order
    GenSequence seq(kCount);
    kpt_ring_stats st = {};
    const int64_t deadline = MonoNs() + 60000000000;
    for (uint64_t call = 0;; ++call) {
        const int want = kBatches[call % 7];
        int n = 0;
        const int rc = call % 3 == 0 ? kpt_ring_recv_multiple(ring, 0, v.data(), want, &n, nullptr)
                                     : kpt_ring_recv_many(ring, 100, v.data(), want, &n, nullptr);
        if (rc == 0) {
            ASSERT_GE(n, 1);
            ASSERT_LE(n, want);
            for (int i = 0; i < n; ++i) {
                ASSERT_TRUE(seq.Next(v[size_t(i)])) << "after frame " << seq.next() - 1;
                held.push_back(v[size_t(i)].length_data);
            }
        } else {
            ASSERT_EQ(rc, EAGAIN);
            ASSERT_EQ(kpt_ring_getstats(ring, &st), 0);
            if (st.nic_pkt_recv + st.ring_pkt_overflow >= kCount) break;
            ASSERT_LT(MonoNs(), deadline) << "the generator did not finish";
        }
        // Give back: sometimes nothing, sometimes the oldest half one by
        // one, sometimes all of it at once.
        if (call % 5 == 1) {
            ASSERT_EQ(kpt_ring_return_many(ring, 0xFFFFFFFFu, nullptr), 0);
            held.clear();
        } else if (call % 5 != 3) {
            const size_t k = held.size() / 2 + (call & 1);
            for (size_t i = 0; i < k && i < held.size(); ++i)
                ASSERT_EQ(kpt_ring_return_many(ring, held[i], nullptr), 0);
            held.erase(held.begin(), held.begin() + long(std::min(k, held.size())));
        }
        // Never more held than the ring could hold.
        ASSERT_LE(Qinfo(ring).q_borrowed, uint64_t(8 << 20));
    }
    // Frames counted just after the last attempt are published already.
    int n = 0;
    while (kpt_ring_recv_multiple(ring, 0, v.data(), 256, &n, nullptr) == 0) {
        for (int i = 0; i < n; ++i) ASSERT_TRUE(seq.Next(v[size_t(i)]));
        ASSERT_EQ(kpt_ring_return_many(ring, 0xFFFFFFFFu, nullptr), 0);
    }
    ASSERT_EQ(kpt_ring_getstats(ring, &st), 0);
    EXPECT_EQ(seq.missed() + (kCount - seq.next()), st.ring_pkt_overflow);
    EXPECT_EQ(st.ring_pkt_recv + st.ring_pkt_overflow, kCount);
    // Most frames must have come through the batch calls for the checks
    // above to mean anything; a sanitizer build on a loaded machine loses
    // some tens of thousands when the reader is held up.
    EXPECT_LE(st.ring_pkt_overflow, kCount / 4) << "the reader fell far behind";
    EXPECT_EQ(kpt_ring_close(ring), 0);
    EXPECT_EQ(kpt_close(h), 0);
}

}  // namespace
