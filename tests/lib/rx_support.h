// rx_support.h - what the receive tests share: the driver requests the
// library issues (the executables are linked with --wrap=zal_ioctl), frames
// with a recognisable pattern, descriptors written as the adapter writes
// them, and a fixture that opens a port and a ring on an in-process
// simulator.  Included by one source file per test executable.
#pragma once

#include <endian.h>
#include <errno.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <vector>

#include "kpt_rx.h"
#include "lib_state.h"
#include "ring_fixture.h"
#include "test_support.h"

// ---- driver requests issued by the library ----

namespace {

using kpttest::MonoNs;
using kpttest::RealNs;
std::atomic<int> g_waits{0}, g_syncs{0}, g_detaches{0};
kpt__rx_sync g_last_sync;
// The last queue-lock request: its code, record bytes and result (written
// under g_pq_mu: a waiting request and its release come from two threads).
std::mutex g_pq_mu;
uint32_t g_pq_code;
std::vector<uint8_t> g_pq_record;
int g_pq_result;
}  // namespace

extern "C" int __real_zal_ioctl(zal_handle_t h, int request, void *record, size_t size);
extern "C" int __wrap_zal_ioctl(zal_handle_t h, int request, void *record, size_t size)
{
    switch (uint32_t(request)) {
    case QUOR_KPT_WAIT: g_waits++; break;
    case QUOR_KPT_RX_SYNC:
        memcpy(&g_last_sync, record, sizeof g_last_sync);
        g_syncs++;
        break;
    case QUOR_KPT_RX_DETACH: g_detaches++; break;
    case QUOR_KPT_PQ_TRYLOCK:
    case QUOR_KPT_PQ_TRYLOCK_WAIT:
    case QUOR_KPT_PQ_UNLOCK:
    case QUOR_KPT_PQ_UNLOCK_WAKE:
    case QUOR_KPT_PQ_GROUP_LOCK:
    case QUOR_KPT_PQ_GROUP_UNLOCK: {
        const uint8_t *b = static_cast<const uint8_t *>(record);
        {
            std::lock_guard<std::mutex> lk(g_pq_mu);
            g_pq_record.assign(b, b + (record ? size : 0));
        }
        const int rc = __real_zal_ioctl(h, request, record, size);
        std::lock_guard<std::mutex> lk(g_pq_mu);
        g_pq_result = rc;
        g_pq_code = uint32_t(request);
        return rc;
    }
    default: break;
    }
    return __real_zal_ioctl(h, request, record, size);
}

namespace {

constexpr uint64_t kRing = 4ull << 20;

// Byte j of the frame tagged `tag` (frames written here or sent).
uint8_t Byte(uint32_t tag, uint32_t j) { return uint8_t(tag * 37 + j * 7 + (j >> 8)); }

std::vector<uint8_t> Frame(uint32_t len, uint32_t tag)
{
    std::vector<uint8_t> f(len);
    for (uint32_t j = 0; j < len; ++j) f[j] = Byte(tag, j);
    return f;
}

// An IPv4/UDP frame from source port sport.
inline std::vector<uint8_t> UdpFrame(uint16_t sport)
{
    std::vector<uint8_t> f(64, 0);
    f[12] = 0x08;
    f[14] = 0x45;
    f[17] = 50;  // IPv4 total length
    f[22] = 64;
    f[23] = 17;  // UDP
    const uint8_t ips[] = {10, 1, 2, 3, 10, 4, 5, 6};
    memcpy(&f[26], ips, sizeof ips);
    f[34] = uint8_t(sport >> 8);
    f[35] = uint8_t(sport);
    f[36] = 0x10;
    f[39] = 30;  // UDP length
    return f;
}

bool FrameIs(const kpt_recv_req &r, uint32_t len, uint32_t tag)
{
    if (r.length != len) return false;
    const uint8_t *p = static_cast<const uint8_t *>(r.pkt_addr);
    for (uint32_t j = 0; j < len; ++j)
        if (p[j] != Byte(tag, j)) return false;
    return true;
}

// Writes descriptors and their data as the adapter does, into a ring whose
// port is stopped so that the adapter writes nothing at the same time.
class Forger {
public:
    explicit Forger(kpt__rx *rx) : rx_(rx)
    {
        // Mapped read-only by the library; the arena file is open read-write.
        EXPECT_EQ(mprotect(reinterpret_cast<void *>(rx->rx_map.map_rx_desc_ring),
                           rx->rx_map.map_rx_desc_ring_size, PROT_READ | PROT_WRITE),
                  0);
        idx_ = rx->rx_s->evq.evq_next_idx;
        seq_ = rx->rx_s->evq.evq_seqnum;
        off_ = rx->rx_s->recvq.rq_data_off;
        written_ = rx->rx_s->recvq.rq_data_head;
        n_ = rx->rx_s->evq.evq_last_idx + 1;
    }
    uint8_t *Ring() const { return reinterpret_cast<uint8_t *>(rx_->rx_map.map_rx_data); }
    uint64_t Size() const { return rx_->rq_size; }
    uint64_t Off() const { return off_; }
    uint32_t Entries() const { return n_; }
    uint64_t Ticks(uint64_t delta) const { return rx_->nticks.ticks + delta; }

    // One descriptor of packets with these lengths (FCS included), packet i
    // tagged tag + i.  total: bytes covered (default: the sum of the slots);
    // cnt: the pkt_cnt written (default: the number of lengths).  Published
    // with the expected sequence number unless told otherwise.
    nfw_kpt_rx_desc_t *Put(const std::vector<uint16_t> &lens, uint64_t ticks, int total = -1,
                           int cnt = -1, uint32_t tag = 0, bool publish = true)
    {
        uint64_t off = off_;
        uint32_t slots = 0;
        for (size_t i = 0; i < lens.size(); ++i) {
            const uint32_t len = lens[i];
            for (uint32_t j = 0; j < 8; ++j) At(off + j) = 0xee;
            for (uint32_t j = 0; j + 4 < len; ++j)
                At(off + 8 + j) = Byte(tag + uint32_t(i), j);
            off += quor_kpt_rpd_length_up(len);
            slots += quor_kpt_rpd_length_up(len);
        }
        const uint32_t t = total < 0 ? slots : uint32_t(total);
        nfw_kpt_rx_desc_t *d = &Base()[idx_];
        memset(d, 0, sizeof *d);
        for (size_t i = 0; i < lens.size() && i < QUOR_KPT_DESC_MAX_PKTS; ++i)
            d->pkt_lens[i] = htobe16(lens[i]);
        d->timestamp_high = htobe32(uint32_t(ticks >> 32));
        d->timestamp_low = htobe32(uint32_t(ticks));
        d->total_len = htobe16(uint16_t(t));
        d->pkt_cnt = uint8_t(cnt < 0 ? int(lens.size()) : cnt);
        last_seq_ = seq_;
        if (publish) std::atomic_ref<uint8_t>(d->seqnum).store(seq_, std::memory_order_release);
        off_ = (off_ + t) % Size();
        written_ += t;
        idx_ = idx_ + 1 == n_ ? 0 : idx_ + 1;
        seq_ = seq_ == 255 ? 1 : seq_ + 1;
        return d;
    }
    uint8_t LastSeq() const { return last_seq_; }

    // Publishes the data pages written so far, as the adapter's page count
    // in the receive-info page does.
    void PublishPages()
    {
        uint32_t *pages = const_cast<uint32_t *>(rx_->rq_data_dma_vpages);
        const uintptr_t page = uintptr_t(pages) & ~uintptr_t(4095);
        ASSERT_EQ(mprotect(reinterpret_cast<void *>(page), 4096, PROT_READ | PROT_WRITE), 0);
        std::atomic_ref<uint32_t>(*pages).store(htobe32(uint32_t(written_ >> 12)),
                                                std::memory_order_release);
    }

    // Single-packet descriptors that bring the data cursor to `target`.
    int FillTo(uint64_t target)
    {
        int n = 0;
        uint64_t left = (target + Size() - off_) % Size();
        while (left > 0) {
            uint64_t t = std::min<uint64_t>(left, 65520);
            if (left - t != 0 && left - t < 80) t = left - 80;
            Put({64}, Ticks(1), int(t));
            left -= t;
            ++n;
        }
        return n;
    }

private:
    nfw_kpt_rx_desc_t *Base() const { return rx_->evq_base; }
    uint8_t &At(uint64_t pos) const { return Ring()[pos % Size()]; }

    kpt__rx *rx_;
    uint32_t idx_, n_;
    uint8_t seq_, last_seq_ = 0;
    uint64_t off_, written_;
};

class RxTest : public kpttest::RingTest {
protected:
    // The request counters are the process's: each test counts from zero,
    // whatever ran before it in the same process.
    void SetUp() override
    {
        g_waits = 0;
        g_syncs = 0;
        g_detaches = 0;
        g_last_sync = {};
    }
    // Starts the simulator, initialises the library, opens the port (or the
    // ports of a mask with KPT_F_AGGREGATE_PORTMASK) and one ring.
    void Open(uint32_t port = 0, int num_rings = 1, int flags = -1,
              const kpt_rss_params *rss = nullptr, uint16_t api = KPT_API_VERSION)
    {
        StartSim();
        ASSERT_EQ(kpt_init(api), 0);
        ASSERT_EQ(kpt_open(port, num_rings, rss, int64_t(kRing), flags, &h_), 0);
        ASSERT_EQ(kpt_ring_open(h_, &ring_), 0);
    }
    void OpenStarted()
    {
        ASSERT_NO_FATAL_FAILURE(Open());
        ASSERT_EQ(kpt_start(h_), 0);
    }
    kpt__rx *Rx(kpt_ring_t r = nullptr) { return &(r ? r : ring_)->u.ring.rx; }
    kpt__rx_state *St(kpt_ring_t r = nullptr) { return Rx(r)->rx_s; }
    // The simulator notices a closed device file in its own time.
    int Connections(int unit, int want)
    {
        for (int i = 0; i < 100 && sim_->connections(unit) != want; ++i) usleep(10000);
        return sim_->connections(unit);
    }
    void Send(int port, const std::vector<uint8_t> &f)
    {
        ASSERT_EQ(sim_->send_frame(port, f.data(), f.size()), 0);
    }

    // Starts the simulator and opens a handle on the ports of a mask, no ring.
    void OpenHandle(uint32_t mask, int num_rings = 1)
    {
        StartSim();
        ASSERT_EQ(kpt_init(KPT_API_VERSION), 0);
        ASSERT_EQ(kpt_open(mask, num_rings, nullptr, int64_t(kRing), KPT_F_AGGREGATE_PORTMASK, &h_), 0);
    }

    kpt_recv_req req_ = {};
};

// The payload of a test packet: little-endian words 0, 1, 2, ...
const std::vector<uint8_t> &Payload()
{
    static const std::vector<uint8_t> p = [] {
        std::vector<uint8_t> v(QUOR_MAX_FRAME + 4);
        for (size_t j = 0; j < v.size(); ++j) v[j] = uint8_t((j / 4) >> (8 * (j % 4)));
        return v;
    }();
    return p;
}

// A test packet is intact when its length field and payload are.
bool TestPacketIntact(const kpt_recv_req &r)
{
    if (r.length < 48 || r.length > QUOR_MAX_FRAME) return false;
    const uint8_t *p = static_cast<const uint8_t *>(r.pkt_addr);
    uint32_t field;
    memcpy(&field, p + 44, 4);
    return be32toh(field) == r.length && memcmp(p + 48, Payload().data(), r.length - 48) == 0;
}

// The generator's frame numbers.  With len=60-1024:seq and flows=65535,
// frame k is 60 + k % 965 bytes long and comes from flow k % 65535 (the low
// half of its IPv4 source); the pair names k uniquely below 12648255.
class GenSequence {
public:
    explicit GenSequence(uint64_t count) : count_(count) {}
    // True when r is intact and a later frame than the one before; frames
    // skipped on the way are counted as missed.
    bool Next(const kpt_recv_req &r)
    {
        if (!TestPacketIntact(r)) return false;
        const uint8_t *p = static_cast<const uint8_t *>(r.pkt_addr);
        const uint32_t flow = (uint32_t(p[28] << 8 | p[29]) - 0x2a0b) & 0xffff;
        for (uint64_t k = next_; k < count_; ++k)
            if (60 + k % 965 == r.length && k % 65535 == flow) {
                missed_ += k - next_;
                next_ = k + 1;
                return true;
            }
        return false;
    }
    uint64_t next() const { return next_; }
    uint64_t missed() const { return missed_; }

private:
    uint64_t count_, next_ = 0, missed_ = 0;
};

}  // namespace
