// The simulated adapter's receive engine, read with a bare protocol client:
// descriptor and data formats, flow control from the readers' release
// points, overflow counting, waits, ring ids and detaching.
#include <endian.h>
#include <errno.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <time.h>

#include <atomic>
#include <thread>

#include "quor_io.h"
#include "raw_client.h"
#include "sim_wire.h"
#include "test_support.h"

using kpttest::RawClient;

namespace {

using kpttest::RealNs;

constexpr uint64_t k2M = 2ull << 20;

quor_kpt_rx_params_t PortBlock(uint32_t unit, uint32_t rings, uint64_t data = k2M, uint64_t desc = k2M)
{
    quor_kpt_rx_params_t p = {};
    p.set_endpt = {0, QUOR_ES_KPT_RX};
    p.num_rings = rings;
    p.rss_flags = 0x31;
    p.aggr_portmask = 1u << unit;
    p.app_id = -1;
    p.rx_data_ring_size = data;
    p.rx_desc_ring_size = desc;
    return p;
}

// A ring attached through the bare protocol, with its regions mapped.
struct RawRing {
    explicit RawRing(const std::string &path) : c(path) {}
    ~RawRing()
    {
        for (auto &[p, n] : maps) munmap(p, n);
    }
    int Attach(const quor_kpt_rx_params_t &blk, int ring_id = -1)
    {
        at = {};
        at.set_endpt = {0, QUOR_ES_KPT_RX_RING};
        at.ring_id = ring_id;
        at.params = blk;
        int rc = c.Call(QUOR_SET_ENDPOINT, &at);
        if (rc) return rc;
        desc = static_cast<nfw_kpt_rx_desc_t *>(Map(at.rx_desc_ring_offset, at.params.rx_desc_ring_size));
        data = static_cast<uint8_t *>(Map(at.rx_data_ring_offset, at.params.rx_data_preamble_size +
                                                                       at.params.rx_data_ring_size)) +
               at.params.rx_data_preamble_size;
        auto *vs = static_cast<uint8_t *>(Map(at.vstate_all_offset, at.vstate_all_size));
        st = reinterpret_cast<kpt__rx_state *>(vs + at.port_ring_id * QUOR_KPT_VSTATE_SLOT_SIZE);
        kw = static_cast<quor_kwindow_t *>(Map(at.kernel_window_offset, at.kernel_window_size));
        info = static_cast<uint8_t *>(Map(at.rx_recv_info_offset, at.rx_recv_info_size));
        return 0;
    }
    void *Map(uint64_t off, uint64_t len)
    {
        void *p = c.Map(off, len);
        EXPECT_NE(p, MAP_FAILED);
        maps.push_back({p, len});
        return p;
    }
    // The next descriptor, if the adapter has published it.
    const nfw_kpt_rx_desc_t *Next()
    {
        const nfw_kpt_rx_desc_t *d = &desc[st->evq.evq_next_idx];
        uint8_t s = std::atomic_ref<uint8_t>(const_cast<uint8_t &>(d->seqnum)).load(std::memory_order_acquire);
        return s == st->evq.evq_seqnum ? d : nullptr;
    }
    const nfw_kpt_rx_desc_t *WaitNext(int ms = 2000)
    {
        for (int i = 0; i < ms; ++i) {
            if (auto d = Next()) return d;
            usleep(1000);
        }
        return nullptr;
    }
    // Consumes a descriptor: advances the cursor and, with release, gives
    // its data back.
    void Consume(const nfw_kpt_rx_desc_t *d, bool release)
    {
        uint64_t len = be16toh(d->total_len);
        st->recvq.rq_data_head += len;
        st->recvq.rq_data_off = (st->recvq.rq_data_off + len) % at.params.rx_data_ring_size;
        st->evq.evq_next_idx = st->evq.evq_next_idx == st->evq.evq_last_idx ? 0 : st->evq.evq_next_idx + 1;
        st->evq.evq_seqnum = st->evq.evq_seqnum == 255 ? 1 : st->evq.evq_seqnum + 1;
        std::atomic_ref<uint64_t>(st->evq.evq_desc_cnt).fetch_add(1, std::memory_order_release);
        if (release)
            std::atomic_ref<uint64_t>(st->recvq.rq_data_tail)
                .store(st->recvq.rq_data_head, std::memory_order_release);
    }
    RawClient c;
    quor_kpt_rx_attach_t at = {};
    nfw_kpt_rx_desc_t *desc = nullptr;
    uint8_t *data = nullptr;
    kpt__rx_state *st = nullptr;
    quor_kwindow_t *kw = nullptr;
    uint8_t *info = nullptr;
    std::vector<std::pair<void *, uint64_t>> maps;
};

std::vector<uint8_t> TestFrame(size_t len, uint8_t tag)
{
    std::vector<uint8_t> f(len);
    for (size_t i = 0; i < len; ++i) f[i] = uint8_t(tag + i * 7);
    memcpy(f.data(), "\x02\x51\x53\x02\x00\x00\x02\x00\x00\x00\x00\x01\x08\x00", 14);
    return f;
}

quor_kpt_stats_t Stats(RawClient &c)
{
    quor_kpt_stats_t s = {};
    EXPECT_EQ(c.Call(QUOR_KPT_GET_STATS, &s), 0);
    return s;
}

class SimRx : public kpttest::SimTest {
protected:
    std::string Unit(int u) { return dev_.file("quorCp" + std::to_string(u)); }
    // A started port endpoint on unit 0 and one attached ring.
    void Open(uint32_t rings = 1, uint64_t data = k2M, uint64_t desc = k2M)
    {
        StartSim();
        port = std::make_unique<RawClient>(Unit(0));
        auto blk = PortBlock(0, rings, data, desc);
        ASSERT_EQ(port->Call(QUOR_SET_ENDPOINT, &blk), 0);
        ring = std::make_unique<RawRing>(Unit(0));
        ASSERT_EQ(ring->Attach(PortBlock(0, rings, data, desc)), 0);
        ASSERT_EQ(port->CallNoRecord(QUOR_KPT_START), 0);
    }
    std::unique_ptr<RawClient> port;
    std::unique_ptr<RawRing> ring;
};

TEST_F(SimRx, AttachAnswerDescribesTheRing)
{
    opts_.max_ring_mib = 8;
    Open(1, 64ull << 20, 6ull << 20);
    const quor_kpt_rx_attach_t &at = ring->at;
    EXPECT_EQ(at.ring_id, 0);
    EXPECT_EQ(at.port_ring_id, 0);
    EXPECT_EQ(at.params.rx_data_ring_size, 8ull << 20) << "clamped to the limit, returned in force";
    EXPECT_EQ(at.params.rx_desc_ring_size, 6ull << 20);
    EXPECT_GE(at.params.rx_data_preamble_size, uint64_t(quor_kpt_rpd_length_up(9022)));
    EXPECT_EQ(at.params.rx_map_flags, 0u);
    for (uint64_t off : {at.rx_data_ring_offset, at.rx_desc_ring_offset, at.vstate_all_offset,
                         at.kernel_window_offset, at.rx_doorbell_offset, at.rx_recv_info_offset})
        EXPECT_EQ(off % 4096, 0u);
    EXPECT_EQ(at.vstate_all_size, 32u * 4096);
    EXPECT_EQ(at.nticks.ticks_mask, (1ull << 48) - 1);
    EXPECT_EQ(at.nticks.nt_numerator * 5, at.nticks.nt_denominator * 32);
    const kpt__rx_state &st = *ring->st;
    EXPECT_EQ(st.evq.evq_seqnum, 1u);
    EXPECT_EQ(st.evq.evq_evinfo_idx, -1);
    EXPECT_EQ(st.evq.evq_last_idx, (6u << 20) / 512 - 1);
    EXPECT_EQ(st.recvq.rq_data_size, 8ull << 20);
    EXPECT_EQ(ring->kw->attach_mask, 1u);
    EXPECT_EQ(ring->kw->hz, 1000u);
}

TEST_F(SimRx, FramesBecomeDescriptorsAndSlots)
{
    Open();
    std::vector<std::vector<uint8_t>> sent = {TestFrame(60, 1), TestFrame(61, 2), TestFrame(1514, 3)};
    int64_t before = RealNs();
    for (auto &f : sent) ASSERT_EQ(sim_->send_frame(0, f.data(), f.size()), 0);

    size_t got = 0;
    uint64_t off = 0;
    while (got < sent.size()) {
        const nfw_kpt_rx_desc_t *d = ring->WaitNext();
        ASSERT_NE(d, nullptr);
        int64_t after = RealNs();
        // Tick timestamp against the attach reference: host time of writing.
        uint64_t t = (uint64_t(be32toh(d->timestamp_high)) << 32) | be32toh(d->timestamp_low);
        const quor_clksync_nticks_t &n = ring->at.nticks;
        uint64_t ns = n.nsecs + ((t - n.ticks) & n.ticks_mask) * n.nt_numerator / n.nt_denominator;
        EXPECT_GE(int64_t(ns), before - 20000);
        EXPECT_LE(int64_t(ns), after + 20000);
        uint32_t total = 0;
        for (int i = 0; i < d->pkt_cnt; ++i, ++got) {
            uint32_t len = be16toh(d->pkt_lens[i]);
            const auto &f = sent[got];
            ASSERT_EQ(len, f.size() + 4) << "lengths count the FCS";
            const uint8_t *slot = ring->data + off;
            const kpt__rpd *h = reinterpret_cast<const kpt__rpd *>(slot);
            EXPECT_EQ(h->rpd_length, len);
            ASSERT_EQ(memcmp(slot + 8, f.data(), f.size()), 0);
            uint32_t fcs;
            memcpy(&fcs, slot + 8 + f.size(), 4);
            EXPECT_EQ(le32toh(fcs), quorsim::crc32_eth(f.data(), f.size()));
            off += quor_kpt_rpd_length_up(len);
            total += quor_kpt_rpd_length_up(len);
        }
        EXPECT_EQ(be16toh(d->total_len), total);
        ring->Consume(d, true);
    }
    uint32_t pages;
    memcpy(&pages, ring->info + 64, 4);
    EXPECT_EQ(be32toh(pages), off >> 12);
    quor_kpt_stats_t s = Stats(*port);
    EXPECT_EQ(s.kpt_pkt_recv, 3u);
    EXPECT_EQ(s.kpt_pkt_overflow, 0u);
    EXPECT_EQ(s.nic_bytes_recv, 60u + 61 + 1514 + 12);
}

TEST_F(SimRx, NothingIsWrittenOverUnreleasedDataAndOverflowIsCounted)
{
    Open();
    // 2 MiB ring, 1514-byte frames take 1536-byte slots: 1365 fit.
    auto f = TestFrame(1514, 9);
    const int n = 2000;
    for (int i = 0; i < n; ++i) {
        f[20] = uint8_t(i);
        f[21] = uint8_t(i >> 8);
        while (sim_->send_frame(0, f.data(), f.size()) == EAGAIN) usleep(1000);
    }
    // Wait until the adapter has taken every frame.
    quor_kpt_stats_t s;
    for (int i = 0; i < 3000; ++i) {
        s = Stats(*port);
        if (s.kpt_pkt_recv + s.kpt_pkt_overflow == uint64_t(n)) break;
        usleep(1000);
    }
    EXPECT_EQ(s.kpt_pkt_recv, uint64_t((2u << 20) / 1536));
    EXPECT_EQ(s.kpt_pkt_recv + s.kpt_pkt_overflow, uint64_t(n));
    // What was kept is intact and in order.
    uint64_t off = 0;
    int seen = 0;
    while (const nfw_kpt_rx_desc_t *d = ring->Next()) {
        for (int i = 0; i < d->pkt_cnt; ++i, ++seen) {
            const uint8_t *fr = ring->data + off + 8;
            ASSERT_EQ(fr[20] | fr[21] << 8, seen & 0xffff);
            off += 1536;
        }
        ring->Consume(d, false);
    }
    EXPECT_EQ(uint64_t(seen), s.kpt_pkt_recv);
    // Releasing makes room again.
    std::atomic_ref<uint64_t>(ring->st->recvq.rq_data_tail).store(ring->st->recvq.rq_data_head);
    ASSERT_EQ(sim_->send_frame(0, f.data(), f.size()), 0);
    ASSERT_NE(ring->WaitNext(), nullptr);
}

TEST_F(SimRx, SyncRequestAlsoReleases)
{
    Open();
    auto f = TestFrame(1514, 9);
    for (int i = 0; i < 1365; ++i) ASSERT_EQ(sim_->send_frame(0, f.data(), f.size()), 0);
    while (Stats(*port).kpt_pkt_recv < 1365) usleep(1000);
    uint64_t head = 0, cnt = 0;
    while (const nfw_kpt_rx_desc_t *d = ring->Next()) {
        head += be16toh(d->total_len);
        ring->Consume(d, false);
        ++cnt;
    }
    // A tail beyond what was delivered is refused.
    kpt__rx_sync bad = {cnt, head, head + 4096};
    EXPECT_EQ(ring->c.Call(QUOR_KPT_RX_SYNC, &bad), EINVAL);
    kpt__rx_sync s = {cnt, head, head};
    ASSERT_EQ(ring->c.Call(QUOR_KPT_RX_SYNC, &s), 0);
    ASSERT_EQ(sim_->send_frame(0, f.data(), f.size()), 0);
    ASSERT_NE(ring->WaitNext(), nullptr);
    EXPECT_EQ(Stats(*port).kpt_pkt_overflow, 0u);
}

TEST_F(SimRx, WaitWakesOnDataOrTimesOut)
{
    Open();
    int32_t t = 0;
    EXPECT_EQ(ring->c.Call(QUOR_KPT_WAIT, &t), EAGAIN) << "zero timeout polls";
    t = 50;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ring->c.Call(QUOR_KPT_WAIT, &t), EAGAIN);
    EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(45));

    std::thread sender([&] {
        usleep(100000);
        auto f = TestFrame(100, 1);
        sim_->send_frame(0, f.data(), f.size());
    });
    t = -1;
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ring->c.Call(QUOR_KPT_WAIT, &t), 0);
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(90));
    EXPECT_LT(waited, std::chrono::milliseconds(2000));
    sender.join();
    // Data not yet read: the wait returns at once.
    t = 1000;
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(ring->c.Call(QUOR_KPT_WAIT, &t), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(100));
}

TEST_F(SimRx, StoppedPortDropsAtThePort)
{
    Open();
    ASSERT_EQ(port->CallNoRecord(QUOR_KPT_STOP), 0);
    auto f = TestFrame(100, 1);
    ASSERT_EQ(sim_->send_frame(0, f.data(), f.size()), 0);
    quor_kpt_stats_t s;
    for (int i = 0; i < 2000 && (s = Stats(*port)).nic_pkt_overflow == 0; ++i) usleep(1000);
    EXPECT_EQ(s.nic_pkt_overflow, 1u);
    EXPECT_EQ(s.kpt_pkt_recv, 0u);
    EXPECT_EQ(s.kpt_pkt_overflow, 0u);
    EXPECT_EQ(ring->Next(), nullptr);
}

TEST_F(SimRx, SharedQueueRingIdsAndDetach)
{
    Open(2);
    EXPECT_EQ(ring->at.params.rx_map_flags, QUOR_KPT_MAP_SHARED);
    RawRing second(Unit(0)), third(Unit(0));
    ASSERT_EQ(second.Attach(PortBlock(0, 2)), 0);
    EXPECT_EQ(second.at.ring_id, 1);
    EXPECT_EQ(second.at.port_ring_id, 1);
    EXPECT_EQ(second.at.rx_data_ring_offset, ring->at.rx_data_ring_offset) << "one queue";
    EXPECT_EQ(third.Attach(PortBlock(0, 2)), EBUSY) << "two rings configured";
    RawRing other(Unit(0));
    EXPECT_EQ(other.Attach(PortBlock(0, 2), 5), EINVAL);
    EXPECT_EQ(ring->kw->attach_mask, 3u);

    // Both rings read the same descriptors.
    auto f = TestFrame(200, 4);
    ASSERT_EQ(sim_->send_frame(0, f.data(), f.size()), 0);
    const nfw_kpt_rx_desc_t *a = ring->WaitNext(), *b = second.WaitNext();
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->pkt_cnt, 1);
    EXPECT_EQ(b->pkt_cnt, 1);
    EXPECT_EQ(memcmp(ring->data + 8, second.data + 8, 200), 0);

    // Detaching frees the id and the slot.
    ASSERT_EQ(ring->c.CallNoRecord(QUOR_KPT_RX_DETACH), 0);
    EXPECT_EQ(ring->kw->attach_mask, 2u);
    ASSERT_EQ(third.Attach(PortBlock(0, 2)), 0);
    EXPECT_EQ(third.at.ring_id, 0);
    EXPECT_EQ(third.at.port_ring_id, 0);
}

TEST_F(SimRx, AttachValidatesItsRecord)
{
    StartSim();
    RawClient port(Unit(0));
    RawRing early(Unit(0));
    EXPECT_EQ(early.Attach(PortBlock(0, 1)), EINVAL) << "no port endpoint yet";
    auto blk = PortBlock(0, 1);
    ASSERT_EQ(port.Call(QUOR_SET_ENDPOINT, &blk), 0);
    EXPECT_EQ(port.Call(QUOR_SET_ENDPOINT, &blk), EBUSY) << "already bound";
    for (auto bad : {PortBlock(1, 1), PortBlock(0, 0), PortBlock(0, 33), PortBlock(0, 1, 1000)}) {
        RawClient c(Unit(0));
        EXPECT_EQ(c.Call(QUOR_SET_ENDPOINT, &bad), EINVAL);
        RawRing r(Unit(0));
        EXPECT_EQ(r.Attach(bad), EINVAL);
    }
    RawRing r(Unit(0));
    EXPECT_EQ(r.Attach(PortBlock(0, 1), 40), EINVAL);
    // A record of the wrong size for its endpoint type.
    RawClient c(Unit(0));
    uint8_t odd[60] = {};
    quor_set_endpt_t se = {0, QUOR_ES_KPT_RX};
    memcpy(odd, &se, sizeof se);
    ASSERT_TRUE(c.Send(3, QUOR_SET_ENDPOINT, odd, sizeof odd));
    EXPECT_EQ(c.Recv().rc, EINVAL);
}

TEST_F(SimRx, DeadReaderReleasesItsRing)
{
    Open();
    ring.reset(); // the client goes away without detaching
    for (int i = 0; i < 1000 && sim_->connections(0) != 1; ++i) usleep(1000);
    EXPECT_EQ(sim_->connections(0), 1);
    RawRing again(Unit(0));
    ASSERT_EQ(again.Attach(PortBlock(0, 1)), 0);
    EXPECT_EQ(again.at.ring_id, 0);
    EXPECT_EQ(again.at.port_ring_id, 0);
}

// A client is given the memory of its own regions only: the rings of another
// client stay out of reach whatever it asks, a range may not run past the
// region it starts in, and a ring detached is no longer its reader's.
TEST_F(SimRx, RegionsAreHandedOnlyToTheirOwners)
{
    Open();
    const quor_kpt_rx_attach_t &a = ring->at;
    const uint64_t a_data = a.params.rx_data_preamble_size + a.params.rx_data_ring_size;

    RawClient stranger(Unit(0));
    ASSERT_TRUE(stranger.ok());
    errno = 0;
    EXPECT_EQ(stranger.Map(a.rx_data_ring_offset, a_data), MAP_FAILED);
    EXPECT_EQ(errno, EACCES) << "no endpoint: nothing to map";

    // An injection endpoint owns its own rings, and still none of the ring's.
    quor_kpt_tx_params_t tx = {};
    tx.set_endpt = {0, QUOR_ES_KPT_TX};
    ASSERT_EQ(stranger.Call(QUOR_SET_ENDPOINT, &tx), 0);
    void *own = stranger.Map(tx.tx_data_ring_offset, tx.tx_data_ring_size);
    ASSERT_NE(own, MAP_FAILED);
    memset(own, 0xee, tx.tx_data_ring_size);
    munmap(own, tx.tx_data_ring_size);
    for (uint64_t off : {a.rx_data_ring_offset, a.rx_desc_ring_offset, a.rx_recv_info_offset,
                         a.vstate_all_offset, a.kernel_window_offset}) {
        errno = 0;
        EXPECT_EQ(stranger.Map(off, 4096), MAP_FAILED) << off;
        EXPECT_EQ(errno, EACCES) << off;
    }
    errno = 0;
    EXPECT_EQ(stranger.Map(tx.tx_data_ring_offset, tx.tx_data_ring_size + 4096), MAP_FAILED);
    EXPECT_EQ(errno, EINVAL) << "a range past the end of the region";

    // The ring's data is untouched by what the stranger wrote, and still flows.
    for (uint64_t i = 0; i < a.params.rx_data_ring_size; i += 4096) ASSERT_EQ(ring->data[i], 0) << i;
    auto f = TestFrame(100, 9);
    ASSERT_EQ(sim_->send_frame(0, f.data(), f.size()), 0);
    ASSERT_NE(ring->WaitNext(), nullptr);
    EXPECT_EQ(memcmp(ring->data + 8, f.data(), f.size()), 0);

    // A reader that detached lost its claim to the queue.
    ASSERT_EQ(ring->c.CallNoRecord(QUOR_KPT_RX_DETACH), 0);
    errno = 0;
    EXPECT_EQ(ring->c.Map(a.rx_data_ring_offset, 4096), MAP_FAILED);
    EXPECT_EQ(errno, EACCES);
    // What it still has mapped is the old ring's memory, not that of the
    // next reader given the same offsets, another process.  (A process's
    // own next ring of the same size may reuse its memory.)
    auto g = TestFrame(100, 77);
    int go[2];
    ASSERT_EQ(pipe(go), 0);
    pid_t child = fork();
    if (child == 0) {
        alarm(20);
        RawRing next(Unit(0));
        char b = 1;
        if (next.Attach(PortBlock(0, 1)) != 0 || write(go[1], &b, 1) != 1) _exit(3);
        if (!next.WaitNext()) _exit(4);
        _exit(memcmp(next.data + 8, g.data(), g.size()) == 0 ? 0 : 5);
    }
    ASSERT_GT(child, 0);
    close(go[1]);
    char b;
    ASSERT_EQ(read(go[0], &b, 1), 1);
    close(go[0]);
    ASSERT_EQ(sim_->send_frame(0, g.data(), g.size()), 0);
    int st = 0;
    ASSERT_EQ(waitpid(child, &st, 0), child);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    EXPECT_EQ(memcmp(ring->data + 8, f.data(), f.size()), 0) << "a stale mapping sees the new reader's data";
}

// Clients that write nonsense into the shared memory they own (a reader's
// state slot: release points beyond the write point, cursors past the ring;
// an injection endpoint's state block, descriptors and doorbell): the
// simulator stays up, writes nothing outside their regions and keeps
// serving a well-behaved reader on another port.
TEST_F(SimRx, HostileClientsHarmOnlyThemselves)
{
    Open(); // the hostile reader: unit 0
    RawClient port1(Unit(1));
    auto blk1 = PortBlock(1, 1);
    ASSERT_EQ(port1.Call(QUOR_SET_ENDPOINT, &blk1), 0);
    RawRing good(Unit(1));
    ASSERT_EQ(good.Attach(PortBlock(1, 1)), 0);
    ASSERT_EQ(port1.CallNoRecord(QUOR_KPT_START), 0);

    RawClient txc(Unit(0));
    quor_kpt_tx_params_t tx = {};
    tx.set_endpt = {0, QUOR_ES_KPT_TX};
    ASSERT_EQ(txc.Call(QUOR_SET_ENDPOINT, &tx), 0);
    auto *flow = static_cast<uint8_t *>(txc.Map(tx.tx_flow_offset, tx.tx_flow_size));
    auto *slots = static_cast<uint8_t *>(txc.Map(tx.tx_desc_ring_offset, tx.tx_desc_ring_size));
    auto *bell = static_cast<uint8_t *>(txc.Map(tx.tx_doorbell_offset, tx.tx_doorbell_size));
    ASSERT_NE(flow, MAP_FAILED);
    ASSERT_NE(slots, MAP_FAILED);
    ASSERT_NE(bell, MAP_FAILED);

    uint64_t x = 0x9e3779b97f4a7c15ull;
    auto rnd = [&x] {
        x ^= x << 13;
        x ^= x >> 7;
        x ^= x << 17;
        return x;
    };
    auto scribble = [&](uint8_t *at, size_t len) {
        for (size_t i = 0; i + 8 <= len; i += 8) {
            uint64_t v = rnd();
            // Now and then a value just past a limit rather than a wild one.
            if ((v & 7) == 0) v = (v >> 3) % (8ull << 20);
            memcpy(at + i, &v, 8);
        }
    };
    uint64_t good_off = 0;
    for (int round = 0; round < 200; ++round) {
        scribble(reinterpret_cast<uint8_t *>(ring->st), sizeof *ring->st);
        scribble(flow, tx.tx_flow_size);
        scribble(slots, tx.tx_desc_ring_size);
        scribble(bell, 64);
        auto f = TestFrame(60 + size_t(round) * 7, uint8_t(round));
        ASSERT_EQ(sim_->send_frame(0, f.data(), f.size()), 0);
        ASSERT_EQ(sim_->send_frame(1, f.data(), f.size()), 0);
        // The good reader gets every frame, intact, in order.
        const nfw_kpt_rx_desc_t *d = good.WaitNext();
        ASSERT_NE(d, nullptr) << "round " << round;
        ASSERT_EQ(d->pkt_cnt, 1);
        ASSERT_EQ(be16toh(d->pkt_lens[0]), f.size() + 4);
        ASSERT_EQ(memcmp(good.data + good_off + 8, f.data(), f.size()), 0) << "round " << round;
        good_off = (good_off + be16toh(d->total_len)) % good.at.params.rx_data_ring_size;
        good.Consume(d, true);
    }
    // Still serving, the hostile clients included (or cut off: never stuck).
    uint32_t n = 0;
    EXPECT_EQ(port1.Call(QUOR_GET_BOARD_COUNT, &n), 0);
    RawClient fresh(Unit(0));
    EXPECT_EQ(fresh.Call(QUOR_GET_BOARD_COUNT, &n), 0);
    quor_kpt_stats_t st = Stats(port1);
    EXPECT_EQ(st.kpt_pkt_recv, 200u);
    EXPECT_EQ(st.kpt_pkt_overflow + st.nic_pkt_overflow, 0u);
    munmap(flow, tx.tx_flow_size);
    munmap(slots, tx.tx_desc_ring_size);
    munmap(bell, tx.tx_doorbell_size);
}

}  // namespace
