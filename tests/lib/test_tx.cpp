// Injection: endpoint claims, the data ring and descriptor slots as the
// adapter reads them, batching, waits for slots and room, completions,
// close, and frames carried through a cable to a receiving port.
#include <endian.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "kpt_internal.h"
#include "kpt_tx.h"
#include "lib_state.h"
#include "test_support.h"

namespace {

using Bytes = std::vector<uint8_t>;
using kpttest::StderrCapture;

constexpr uint32_t kRingSize = 2u << 20; // the simulator's data ring
constexpr uint32_t kPage = 4096;
// Waits of the long runs' senders: short, so that a run's time does not
// hang on how soon a wait in the driver notices a completion that the
// driver has already reaped by itself.
constexpr int kRunWaitMs = 2;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr uint64_t kRunScale = 10;
#else
constexpr uint64_t kRunScale = 1;
#endif

int64_t MonoMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool WaitUntil(const std::function<bool()> &f, int timeout_ms = 5000)
{
    for (int64_t end = MonoMs() + timeout_ms; MonoMs() < end; usleep(200))
        if (f()) return true;
    return f();
}

uint64_t Mix(uint64_t x)
{
    x += 0x9e3779b97f4a7c15ull;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
    return x ^ (x >> 31);
}

// Frame bytes keyed by a number: each 32-bit word a hash of a seed drawn
// from the key and of the word's position (cheap enough for long runs).
void FillFrame(uint8_t *buf, uint32_t len, uint64_t key)
{
    const uint32_t seed = uint32_t(Mix(key));
    auto word = [seed](uint32_t k) {
        uint32_t h = seed + k * 0x9e3779b9u;
        h ^= h >> 15;
        h *= 0x2c1b3c6du;
        h ^= h >> 12;
        h *= 0x297a2d39u;
        return h ^ (h >> 15);
    };
    uint32_t i = 0;
    for (; i + 4 <= len; i += 4) {
        uint32_t w = word(i / 4);
        memcpy(buf + i, &w, 4);
    }
    for (uint32_t w = word(i / 4); i < len; ++i, w >>= 8) buf[i] = uint8_t(w);
}

Bytes Frame(uint32_t len, uint64_t key)
{
    Bytes f(len);
    FillFrame(f.data(), len, key);
    return f;
}

// A frame the tests can tell apart from the host's own: broadcast, a local
// experimental ethertype, then a tag and a sequence number.
Bytes TaggedFrame(uint32_t tag, uint64_t seq, uint32_t len)
{
    Bytes f = Frame(len, (uint64_t(tag) << 40) ^ seq);
    const uint8_t head[14] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 2, 0, 0, 0, 0, 1, 0x88, 0xb5};
    memcpy(f.data(), head, 14);
    memcpy(f.data() + 14, &tag, 4);
    memcpy(f.data() + 18, &seq, 8);
    return f;
}

// Whether text holds the diagnostic line "<thread id> " + rest.
bool HasLine(const std::string &text, const std::string &rest)
{
    for (size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
        std::string line = text.substr(at, end - at);
        size_t i = line.find_first_not_of(' ');
        size_t j = i == std::string::npos ? i : line.find_first_not_of("0123456789", i);
        if (j != std::string::npos && j != i && line[j] == ' ' && line.substr(j + 1) == rest)
            return true;
    }
    return false;
}

// ---------------------------------------------------------------------------
// The in-process simulator and an initialised library
// ---------------------------------------------------------------------------

class TxTest : public kpttest::SimTest {
protected:
    void SetUp() override
    {
        for (const char *name : uparam_strings) unsetenv(name);
    }
    void TearDown() override
    {
        // Close with the adapter running, so that close does not wait out
        // its limit for batches that cannot leave.
        if (sim_)
            for (int port = 0; port < opts_.ports; ++port)
                sim_->command("txhold " + std::to_string(port) + " off");
        for (kpt_inject_t h : open_) kpt_inject_close(h);
        for (auto &[h, ring] : rx_) {
            kpt_ring_close(ring);
            kpt_close(h);
        }
        SimTest::TearDown();
    }
    void Init()
    {
        StartSim();
        ASSERT_EQ(kpt_init(KPT_API_VERSION), 0);
    }
    // A handle that the tear-down closes unless the test does (Close).
    kpt_inject_t Open(int port = 0)
    {
        kpt_inject_t h = nullptr;
        int rc = kpt_inject_open(port, 0, &h);
        EXPECT_EQ(rc, 0) << strerror(rc);
        if (h) open_.push_back(h);
        return h;
    }
    // Closes a handle; what it printed.
    std::string Close(kpt_inject_t h)
    {
        std::erase(open_, h);
        StderrCapture cap;
        EXPECT_EQ(kpt_inject_close(h), 0);
        return cap.Finish();
    }
    int Send(kpt_inject_t h, const Bytes &f, int timeout_ms = 0)
    {
        return kpt_inject_send(h, timeout_ms, 0, f.data(), uint32_t(f.size()));
    }

    // The shared state block, copied under its lock.
    static kpt__tx_state State(kpt_inject_t h)
    {
        kpt__tx_state *s = h->tx.tx_sp.tx_s, copy;
        kpt__spin_lock(s);
        memcpy(&copy, s, sizeof copy);
        kpt__spin_unlock(s);
        return copy;
    }
    // The lock word can be taken (the driver holds it only briefly).
    static bool LockFree(kpt_inject_t h)
    {
        kpt__tx_state *s = h->tx.tx_sp.tx_s;
        return WaitUntil([s] {
            if (!kpt__spin_trylock(s)) return false;
            kpt__spin_unlock(s);
            return true;
        }, 1000);
    }
    static uint8_t *Ring(kpt_inject_t h) { return reinterpret_cast<uint8_t *>(h->tx.tx_map.map_tx_data); }
    // Length i of descriptor slot k, as the adapter reads it.
    static uint16_t SlotLen(kpt_inject_t h, int k, int i)
    {
        return be16toh(reinterpret_cast<const uint16_t *>(h->tx.tx_map.map_tx_desc + 128 * k)[i]);
    }
    static uint32_t Doorbell(kpt_inject_t h)
    {
        return be32toh(*reinterpret_cast<volatile uint32_t *>(h->tx.tx_map.map_tx_doorbell));
    }
    // Waits until nothing is open or outstanding.
    static bool Drained(kpt_inject_t h)
    {
        return WaitUntil([h] {
            kpt__tx_state s = State(h);
            return s.dq_inflight == 0 && s.txd.d_cnt == 0;
        });
    }
    // "sent N (B bytes)" of a port in the simulator's status.
    uint64_t Sent(int port, uint64_t *bytes = nullptr)
    {
        std::string st = Ctl("status");
        size_t at = st.find("sent ", st.find("port " + std::to_string(port) + ":"));
        unsigned long long n = ~0ull, b = 0;
        EXPECT_EQ(sscanf(st.c_str() + at, "sent %llu (%llu bytes)", &n, &b), 2) << st;
        if (bytes) *bytes = b;
        return n;
    }
    // Sends single frames, each completed before the next, until the next
    // batch would start at page `page` of the data ring.
    void MoveToPage(kpt_inject_t h, uint32_t page)
    {
        const Bytes big(9018, 0x11), small(60, 0x22);
        const uint32_t pages = kRingSize / kPage;
        for (int guard = 0; guard < 1024; ++guard) {
            uint32_t at = uint32_t((h->tx.txdata_offset + kPage - 1) / kPage % pages);
            if (at == page) return;
            ASSERT_EQ(Send(h, (page + pages - at) % pages >= 3 ? big : small, 1000), 0);
            ASSERT_TRUE(Drained(h));
        }
        FAIL() << "could not reach page " << page;
    }

    // The library initialised and a handle on port 0, whose adapter takes
    // nothing off the ring until "txhold 0 off".
    void Held(kpt_inject_t *h)
    {
        ASSERT_NO_FATAL_FAILURE(Init());
        ASSERT_NE(*h = Open(0), nullptr);
        Ctl("txhold 0 on");
    }
    // Port 0 cabled to port 1, the library initialised: a started ring on
    // port 1 and, unless h is null, an injection handle on port 0.
    void Cabled(kpt_ring_t *rx, kpt_inject_t *h)
    {
        opts_.wires = {"0=peer:1"};
        ASSERT_NO_FATAL_FAILURE(Init());
        ASSERT_NE(*rx = OpenRx(1), nullptr);
        if (h) {
            ASSERT_NE(*h = Open(0), nullptr);
        }
    }
    // A started receive ring on a port.
    kpt_ring_t OpenRx(int port)
    {
        kpt_handle_t h = nullptr;
        kpt_ring_t ring = nullptr;
        int rc = kpt_open(uint32_t(port), 1, nullptr, 64ll << 20, -1, &h);
        EXPECT_EQ(rc, 0) << strerror(rc);
        if (rc) return nullptr;
        if ((rc = kpt_ring_open(h, &ring)) != 0) {
            ADD_FAILURE() << "kpt_ring_open: " << strerror(rc);
            kpt_close(h);
            return nullptr;
        }
        rx_.push_back({h, ring});
        EXPECT_EQ(kpt_start(h), 0);
        return ring;
    }
    // The next frame of a ring, waiting at most timeout_ms.
    static int Recv(kpt_ring_t ring, kpt_recv_req *req, int timeout_ms = 5000)
    {
        int64_t end = MonoMs() + timeout_ms;
        int rc;
        do rc = kpt_ring_recv(ring, 100, req);
        while (rc == EAGAIN && MonoMs() < end);
        return rc;
    }
    // The next frames of a ring are these, byte for byte.
    static void ExpectFrames(kpt_ring_t ring, const std::vector<Bytes> &want)
    {
        kpt_recv_req req;
        for (size_t i = 0; i < want.size(); ++i) {
            ASSERT_EQ(Recv(ring, &req), 0) << "frame " << i;
            ASSERT_EQ(req.length, want[i].size()) << "frame " << i;
            EXPECT_EQ(memcmp(req.pkt_addr, want[i].data(), want[i].size()), 0) << "frame " << i;
        }
    }

    std::vector<kpt_inject_t> open_;
    std::vector<std::pair<kpt_handle_t, kpt_ring_t>> rx_;
};

// ---------------------------------------------------------------------------
// Opening and closing
// ---------------------------------------------------------------------------

TEST_F(TxTest, OpenClaimsAnEndpointAndHandsTheStateBlockOver)
{
    setenv("KPT_DEBUG_MASK", "2", 1);
    StartSim();
    kpt_inject_t h = nullptr;
    EXPECT_EQ(kpt_inject_open(0, 0, &h), EINVAL); // before kpt_init
    ASSERT_EQ(kpt_init(KPT_API_VERSION), 0);
    StderrCapture cap;
    h = Open(0);
    std::string err = cap.Finish();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->type, KPT_H_INJ);
    EXPECT_GE(h->mhandle, 0);
    EXPECT_EQ(h->tx.mhandle, h->mhandle);
    EXPECT_EQ(h->drv_p.epid, 0u);
    EXPECT_EQ(h->tx.txdata_size, kRingSize);
    EXPECT_EQ(h->tx.tx_sp.txd_compl_update,
              reinterpret_cast<const uint8_t *>(h->tx.tx_map.map_tx_compl) + h->drv_p.epid);
    EXPECT_EQ(sim_->connections(0), 1);
    EXPECT_TRUE(LockFree(h)); // released to the driver once the block is set up
    kpt__tx_state s = State(h);
    EXPECT_EQ(s.dq_avail, kRingSize);
    EXPECT_EQ(s.dq_inflight + s.dq_head_idx + s.txd.d_cnt, 0u);
    // The five regions, mapped in order.
    size_t last = 0;
    for (const char *name : {" tx_data ", " tx_desc ", " tx_compl ", " tx_doorbell ", " tx_flow "}) {
        size_t at = err.find(name);
        ASSERT_NE(at, std::string::npos) << name << " in:\n" << err;
        EXPECT_GT(at, last) << name << " out of order:\n" << err;
        last = at;
    }
    // Closing an idle handle reports no division by zero; the endpoint goes back.
    err = Close(h);
    EXPECT_TRUE(HasLine(err, "kpt.0.-1 P inject_close: flushed 0 out of 0, 0.00 %, intr flush=0")) << err;
    EXPECT_TRUE(WaitUntil([&] { return sim_->connections(0) == 0; }));
}

TEST_F(TxTest, OpenRefusals)
{
    setenv("KPT_DEBUG_MASK", "0x10", 1);
    Init();
    std::vector<kpt_inject_t> hs;
    for (uint32_t i = 0; i < 8; ++i) {
        hs.push_back(Open(0));
        ASSERT_NE(hs.back(), nullptr);
        EXPECT_EQ(hs.back()->drv_p.epid, i);
    }
    // All eight endpoints of the port are taken.
    kpt_inject_t h = nullptr;
    StderrCapture cap;
    EXPECT_EQ(kpt_inject_open(0, 0, &h), EBUSY);
    std::string err = cap.Finish();
    EXPECT_TRUE(HasLine(err, "kpt.0.-1 I Can't open kpt inject handle on port 0 (err=16)")) << err;
    // The refused attempts leave nothing open (the simulator notices the
    // closes a moment later).
    EXPECT_TRUE(WaitUntil([&] { return sim_->connections(0) == 8; }));
    // Another port has its own; a freed index is claimed again.
    ASSERT_NE(Open(1), nullptr);
    Close(hs[3]);
    ASSERT_TRUE(WaitUntil([&] { return sim_->connections(0) == 7; }));
    kpt_inject_t again = Open(0);
    ASSERT_NE(again, nullptr);
    EXPECT_EQ(again->drv_p.epid, 3u);

    // The driver refuses the endpoint; the baseline counters cannot be read
    // (the endpoint is given back); no such port; nowhere to put the handle.
    Ctl("fail 1 set_endpoint EBUSY");
    EXPECT_EQ(kpt_inject_open(1, 0, &h), EBUSY);
    Ctl("fail 1 set_endpoint off");
    Ctl("fail 1 kpt_get_stats EIO");
    EXPECT_EQ(kpt_inject_open(1, 0, &h), EIO);
    Ctl("fail 1 kpt_get_stats off");
    EXPECT_EQ(kpt_inject_open(7, 0, &h), ENOENT);
    EXPECT_EQ(kpt_inject_open(1, 0, nullptr), EINVAL);
    EXPECT_EQ(h, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return sim_->connections(1) == 1; }));
}

// Every open that resolved a debug file gives it back: on close and on each
// failure after the resolution.
TEST_F(TxTest, DebugFileIsReleasedByCloseAndFailedOpens)
{
    kpttest::TempDir tmp;
    setenv("KPT_DEBUG_FILENAME", ("+" + tmp.file("dbg")).c_str(), 1);
    setenv("KPT_DEBUG_MASK", "0x12", 1);
    Init();
    kpt_inject_close(Open(0)); // the device layer's per-thread resources
    std::erase(open_, open_.back());
    EXPECT_TRUE(WaitUntil([&] { return sim_->connections(0) == 0; }));
    const int fds = kpttest::OpenFds();
    for (int i = 0; i < 50; ++i) {
        kpt_inject_t h = nullptr;
        ASSERT_EQ(kpt_inject_open(0, 0, &h), 0) << i;
        ASSERT_EQ(kpt_inject_close(h), 0);
    }
    kpt_inject_t h = nullptr;
    EXPECT_EQ(kpt_inject_open(7, 0, &h), ENOENT); // no endpoint
    Ctl("fail 1 kpt_get_stats EIO");
    EXPECT_EQ(kpt_inject_open(1, 0, &h), EIO); // set-up fails
    Ctl("fail 1 kpt_get_stats off");
    setenv("KPT_RING_ID", "abc", 1); // resolution fails after the file is opened
    EXPECT_EQ(kpt_inject_open(1, 0, &h), ERANGE);
    unsetenv("KPT_RING_ID");
    EXPECT_EQ(h, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return kpttest::OpenFds() == fds; }))
        << kpttest::OpenFds() << " descriptors, " << fds << " before";
    // The lines went to the file, each flushed before its stream closed.
    std::string text = kpttest::ReadFile(tmp.file("dbg"));
    EXPECT_NE(text.find("inject_close: flushed 0 out of 0"), std::string::npos) << text;
    EXPECT_NE(text.find("Can't open kpt inject handle on port 7"), std::string::npos) << text;
}

TEST_F(TxTest, BoardWithoutTransmitEndpoints)
{
    opts_.max_endpoints = 5; // below one transmit endpoint per six
    Init();
    kpt_inject_t h = nullptr;
    EXPECT_EQ(kpt_inject_open(0, 0, &h), ENODEV);
    EXPECT_TRUE(WaitUntil([&] { return sim_->connections(0) == 0; }));
}

// ---------------------------------------------------------------------------
// Frames in the data ring and their descriptors
// ---------------------------------------------------------------------------

TEST_F(TxTest, FrameLengthsPaddingAndLimits)
{
    Init();
    kpt_inject_t h = Open(0);
    ASSERT_NE(h, nullptr);
    uint8_t *ring = Ring(h);
    memset(ring, 0xaa, 32768); // nothing outstanding: the ring is ours to mark
    Ctl("txhold 0 on");

    // 0 bytes: 60 zero bytes, posted at once as nothing is outstanding.
    ASSERT_EQ(kpt_inject_send(h, 0, 0, nullptr, 0), 0);
    kpt__tx_state s = State(h);
    EXPECT_EQ(s.dq_head_idx, 1u);
    EXPECT_EQ(s.dq_inflight, 1);
    EXPECT_EQ(s.txd.d_cnt, 0u);
    EXPECT_EQ(Doorbell(h), 1u | (64u << 16));
    EXPECT_EQ(SlotLen(h, 0, 0), 60);
    // 59 and 61 bytes open the next batch, on the next page.
    Bytes f59 = Frame(59, 59), f61 = Frame(61, 61), f9018 = Frame(9018, 9018);
    ASSERT_EQ(Send(h, f59), 0);
    ASSERT_EQ(Send(h, f61), 0);
    s = State(h);
    EXPECT_EQ(s.txd.d_cnt, 2u);
    EXPECT_EQ(s.txd.d_length, 128u);
    EXPECT_EQ(be16toh(s.txd.d_pkt_lens_be16[0]), 60); // raised to 60
    EXPECT_EQ(be16toh(s.txd.d_pkt_lens_be16[1]), 61);
    EXPECT_EQ(s.dq_avail, kRingSize - 4096 - 128);
    // 9018 bytes do not fit the open batch, which is posted; the frame is
    // a batch of 8192 bytes or more by itself and is posted at once.
    ASSERT_EQ(Send(h, f9018), 0);
    s = State(h);
    EXPECT_EQ(s.dq_head_idx, 3u);
    EXPECT_EQ(s.tx_pkts_cnt, 4u);
    EXPECT_EQ(s.dq_lengths[1], 128u);
    EXPECT_EQ(s.dq_lengths[2], 9024u);
    EXPECT_EQ(s.dq_avail, kRingSize - 4096 - 4096 - 12288); // whole pages while outstanding
    EXPECT_EQ(SlotLen(h, 1, 0), 60);
    EXPECT_EQ(SlotLen(h, 1, 1), 61);
    EXPECT_EQ(SlotLen(h, 2, 0), 9018);
    EXPECT_EQ(Doorbell(h), 1u | (9024u << 16));
    EXPECT_EQ(h->tx.txdata_offset, 8192u + 9024u);
    // One byte more is refused and changes nothing; so is a null frame.
    EXPECT_EQ(Send(h, Bytes(9019, 0x55)), EINVAL);
    EXPECT_EQ(kpt_inject_send(h, 0, 0, nullptr, 1), EINVAL);
    EXPECT_EQ(kpt_inject_send(nullptr, 0, 0, f59.data(), 59), EINVAL);
    kpt__tx_state after = State(h);
    EXPECT_EQ(memcmp(&after, &s, sizeof s), 0);
    EXPECT_EQ(h->tx.txdata_offset, 8192u + 9024u);

    // The ring: frames at their offsets, short ones padded with zeros to 60,
    // the rest of each 8-byte slot untouched.
    EXPECT_EQ(memcmp(ring, Bytes(60, 0).data(), 60), 0);
    EXPECT_EQ(ring[60], 0xaa);
    EXPECT_EQ(memcmp(ring + 4096, f59.data(), 59), 0);
    EXPECT_EQ(ring[4096 + 59], 0);
    EXPECT_EQ(ring[4096 + 60], 0xaa);
    EXPECT_EQ(memcmp(ring + 4160, f61.data(), 61), 0);
    EXPECT_EQ(ring[4160 + 61], 0xaa);
    EXPECT_EQ(memcmp(ring + 8192, f9018.data(), 9018), 0);
    EXPECT_EQ(ring[8192 + 9018], 0xaa);

    // Released, the adapter sends the four frames, each with its FCS, and
    // the driver's reaping gives the room back.
    Ctl("txhold 0 off");
    ASSERT_TRUE(Drained(h));
    uint64_t bytes;
    EXPECT_EQ(Sent(0, &bytes), 4u);
    EXPECT_EQ(bytes, 64u + 64u + 65u + 9022u);
    EXPECT_EQ(*h->tx.tx_sp.txd_compl_update, 3);
    EXPECT_EQ(State(h).dq_avail, kRingSize);
}

TEST_F(TxTest, VectoredAndTimedSends)
{
    kpt_inject_t h = nullptr;
    ASSERT_NO_FATAL_FAILURE(Held(&h));
    // Refused before a byte is copied: a negative count, a missing vector,
    // a null fragment that claims bytes, lengths whose 32-bit sum wraps to
    // a small value, and a total one byte too long.
    memset(h->frag_buf, 0x5a, sizeof h->frag_buf);
    Bytes a(4000, 1), b(4000, 2), c(1019, 3);
    kpt_pkt_fragment wrap[] = {{a.data(), 0xfffffff0u}, {b.data(), 0x20}};
    kpt_pkt_fragment wrap_signed[] = {{a.data(), 0x7fffffffu}, {b.data(), 0x7fffffffu}, {c.data(), 4}};
    kpt_pkt_fragment over[] = {{a.data(), 4000}, {b.data(), 4000}, {c.data(), 1019}};
    kpt_pkt_fragment null_ptr[] = {{a.data(), 10}, {nullptr, 10}};
    EXPECT_EQ(kpt_inject_send_v(h, 0, 0, over, -1, 0), EINVAL);
    EXPECT_EQ(kpt_inject_send_v(h, 0, 0, nullptr, 1, 0), EINVAL);
    EXPECT_EQ(kpt_inject_send_v(h, 0, 0, null_ptr, 2, 20), EINVAL);
    EXPECT_EQ(kpt_inject_send_v(h, 0, 0, wrap, 2, 0x10), EINVAL);
    EXPECT_EQ(kpt_inject_send_v(h, 0, 0, wrap_signed, 3, 2), EINVAL);
    EXPECT_EQ(kpt_inject_send_v(h, 0, 0, over, 3, 9019), EINVAL);
    for (uint8_t x : h->frag_buf) ASSERT_EQ(x, 0x5a);
    // Timed sends are not supported, whatever the handle.
    EXPECT_EQ(kpt_inject_sched(h, 0, 0, a.data(), 100, 1000), EOPNOTSUPP);
    EXPECT_EQ(kpt_inject_sched_v(h, 0, 0, over, 1, 4000, 1000), EOPNOTSUPP);
    EXPECT_EQ(kpt_inject_sched(nullptr, 0, 0, nullptr, 0, 0), EOPNOTSUPP);
    kpt__tx_state s = State(h);
    EXPECT_EQ(s.tx_pkts_cnt + s.txd.d_cnt + s.dq_head_idx, 0u);

    // The frame is the fragments in order; the length argument is not used.
    Bytes whole = Frame(9018, 7);
    kpt_pkt_fragment parts[] = {{whole.data(), 4000}, {nullptr, 0}, {whole.data() + 4000, 4000},
                                {whole.data() + 8000, 1018}};
    ASSERT_EQ(kpt_inject_send_v(h, 0, 0, parts, 4, 12), 0);
    EXPECT_EQ(memcmp(Ring(h), whole.data(), 9018), 0);
    EXPECT_EQ(SlotLen(h, 0, 0), 9018);
    // No fragments: 60 zero bytes.
    memset(Ring(h) + 12288, 0xaa, 64);
    ASSERT_EQ(kpt_inject_send_v(h, 0, 0, nullptr, 0, 100), 0);
    EXPECT_EQ(be16toh(State(h).txd.d_pkt_lens_be16[0]), 60);
    EXPECT_EQ(memcmp(Ring(h) + 12288, Bytes(60, 0).data(), 60), 0);
}

TEST_F(TxTest, BatchesCloseAt64FramesOr8192Bytes)
{
    kpt_inject_t h = nullptr;
    ASSERT_NO_FATAL_FAILURE(Held(&h));
    Bytes f60 = Frame(60, 1), f1000 = Frame(1000, 2);
    ASSERT_EQ(Send(h, f60), 0); // posted alone; the rest gather behind it
    for (int i = 0; i < 63; ++i) ASSERT_EQ(Send(h, f60), 0);
    EXPECT_EQ(State(h).txd.d_cnt, 63u);
    EXPECT_EQ(State(h).dq_head_idx, 1u);
    // The 64th posts the batch: 64 lengths, 16 whole words of the slot.
    ASSERT_EQ(Send(h, f60), 0);
    kpt__tx_state s = State(h);
    EXPECT_EQ(s.dq_head_idx, 2u);
    EXPECT_EQ(s.dq_lengths[1], 4096u);
    EXPECT_EQ(Doorbell(h), 64u | (4096u << 16));
    for (int i = 0; i < 64; ++i) ASSERT_EQ(SlotLen(h, 1, i), 60) << i;
    // The 65th opens the next batch; 1000-byte frames join it while the
    // batch stays below 8192 bytes.
    ASSERT_EQ(Send(h, f60), 0);
    for (int i = 0; i < 8; ++i) ASSERT_EQ(Send(h, f1000), 0);
    s = State(h);
    EXPECT_EQ(s.dq_head_idx, 2u);
    EXPECT_EQ(s.txd.d_cnt, 9u);
    EXPECT_EQ(s.txd.d_length, 8064u);
    // The next would reach 8192: the nine are posted and it starts anew.
    const uint32_t avail = s.dq_avail;
    ASSERT_EQ(Send(h, f1000), 0);
    s = State(h);
    EXPECT_EQ(s.dq_head_idx, 3u);
    EXPECT_EQ(s.dq_lengths[2], 8064u);
    EXPECT_EQ(Doorbell(h), 9u | (8064u << 16));
    EXPECT_EQ(SlotLen(h, 2, 8), 1000);
    EXPECT_EQ(s.txd.d_cnt, 1u);
    EXPECT_EQ(s.dq_avail, avail - (8192u - 8064u) - 1000u); // the posted batch holds whole pages
    EXPECT_EQ(h->tx.txdata_offset, 4 * kPage + 1000u);

    Ctl("txhold 0 off");
    ASSERT_TRUE(Drained(h));
    EXPECT_EQ(Sent(0), 1u + 64u + 1u + 9u);
}

TEST_F(TxTest, FrameStraddlingTheRingEndContinuesAtItsStart)
{
    kpt_ring_t rx = nullptr;
    kpt_inject_t h = nullptr;
    ASSERT_NO_FATAL_FAILURE(Cabled(&rx, &h));
    const uint32_t last = kRingSize / kPage - 1;
    MoveToPage(h, last - 1);
    kpt_recv_req req;
    for (uint64_t i = Sent(0); i > 0; --i) ASSERT_EQ(Recv(rx, &req), 0); // the positioning frames

    uint8_t *ring = Ring(h);
    memset(ring, 0xaa, 8192);
    memset(ring + kRingSize - 8192, 0xaa, 8192);
    Ctl("txhold 0 on");
    // One outstanding batch, then a batch on the last page: 4040 bytes, then
    // 1000 bytes that begin 56 bytes before the end and go on at 0, then a
    // short frame after them whose padding follows.
    Bytes x = Frame(60, 100), a = Frame(4040, 101), s = Frame(1000, 102), t = Frame(30, 103);
    for (auto *f : {&x, &a, &s, &t}) ASSERT_EQ(Send(h, *f), 0);
    EXPECT_EQ(memcmp(ring + last * kPage, a.data(), 4040), 0);
    EXPECT_EQ(memcmp(ring + kRingSize - 56, s.data(), 56), 0);
    EXPECT_EQ(memcmp(ring, s.data() + 56, 944), 0);
    EXPECT_EQ(memcmp(ring + 944, t.data(), 30), 0);
    EXPECT_EQ(memcmp(ring + 974, Bytes(30, 0).data(), 30), 0);
    EXPECT_EQ(ring[1004], 0xaa);
    EXPECT_EQ(h->tx.txdata_offset, 1008u);

    // The receiving port sees the frames whole.
    Ctl("txhold 0 off");
    t.resize(60, 0);
    ExpectFrames(rx, {x, a, s, t});
}

// ---------------------------------------------------------------------------
// Slots, waits and completions
// ---------------------------------------------------------------------------

TEST_F(TxTest, AllSlotsOutstanding)
{
    kpt_inject_t h = nullptr;
    ASSERT_NO_FATAL_FAILURE(Held(&h));
    Bytes big = Frame(8200, 1), f = Frame(60, 2);
    for (int i = 0; i < 32; ++i) ASSERT_EQ(Send(h, big), 0) << i; // a batch each
    kpt__tx_state s = State(h);
    ASSERT_EQ(s.dq_inflight, 32);
    const uintptr_t off = h->tx.txdata_offset;

    // No slot and no completion: EAGAIN at once, nothing queued.
    EXPECT_EQ(Send(h, f), EAGAIN);
    kpt__tx_state after = State(h);
    EXPECT_EQ(memcmp(&after, &s, sizeof s), 0);
    EXPECT_EQ(h->tx.txdata_offset, off);
    // A limited wait ends with EAGAIN, a failed one with its error; either
    // way the lock is free again and nothing is queued.
    int64_t t0 = MonoMs();
    EXPECT_EQ(Send(h, f, 50), EAGAIN);
    EXPECT_GE(MonoMs() - t0, 40);
    EXPECT_TRUE(LockFree(h));
    Ctl("fail 0 kpt_wait EINTR");
    EXPECT_EQ(Send(h, f, 1000), EINTR);
    Ctl("fail 0 kpt_wait off");
    EXPECT_TRUE(LockFree(h));
    EXPECT_EQ(State(h).txd.d_cnt, 0u);

    // A send that waits without limit goes through once the adapter moves.
    std::thread release([&] {
        usleep(100 * 1000);
        sim_->command("txhold 0 off");
    });
    t0 = MonoMs();
    EXPECT_EQ(Send(h, f, -1), 0);
    EXPECT_GE(MonoMs() - t0, 50);
    release.join();
    ASSERT_TRUE(Drained(h));
    EXPECT_EQ(Sent(0), 33u);
}

// A data ring must hold a full batch and a largest frame beside it, or a
// 9018-byte frame could never be placed; and a send that finds no room with
// nothing outstanding fails instead of waiting on a driver that answers at
// once (it spun there before).
TEST_F(TxTest, RingsTooSmallToWorkAreRefusedAndSendsNeverSpin)
{
    Init();
    for (const char *size : {"4096", "16384"}) {
        SCOPED_TRACE(size);
        Ctl(std::string("patch 0 set_endpoint 16 u64 ") + size);
        kpt_inject_t h = nullptr;
        StderrCapture cap;
        EXPECT_EQ(kpt_inject_open(0, 0, &h), EINVAL);
        std::string err = cap.Finish();
        EXPECT_TRUE(HasLine(err, std::string("kpt.0.-1 E inject: driver gave unusable transmit "
                                             "regions (data ring ") + size + " bytes)")) << err;
        EXPECT_EQ(h, nullptr);
        Ctl("patch 0 set_endpoint off");
    }
    Ctl("patch 0 set_endpoint 16 u64 20480");
    kpt_inject_t smallest = Open(0);
    Ctl("patch 0 set_endpoint off");
    ASSERT_NE(smallest, nullptr);
    EXPECT_EQ(smallest->tx.txdata_size, 20480u);
    Close(smallest);
    EXPECT_TRUE(WaitUntil([&] { return sim_->connections(0) == 0; }));

    // A block whose room is gone with nothing in flight.
    kpt_inject_t h = Open(0);
    ASSERT_NE(h, nullptr);
    kpt__tx_state *st = h->tx.tx_sp.tx_s;
    kpt__spin_lock(st);
    const uint32_t avail = st->dq_avail;
    st->dq_avail = 0;
    kpt__spin_unlock(st);
    const Bytes f = Frame(60, 3);
    for (int timeout : {0, 1000, -1}) {
        auto send = std::async(std::launch::async, [&] { return Send(h, f, timeout); });
        if (send.wait_for(std::chrono::seconds(5)) != std::future_status::ready) {
            ADD_FAILURE() << "the send with timeout " << timeout << " spins";
            kpt__spin_lock(st); // the room given back lets it finish
            st->dq_avail = avail;
            kpt__spin_unlock(st);
        }
        EXPECT_EQ(send.get(), ENOBUFS) << timeout;
        EXPECT_TRUE(LockFree(h));
    }
    EXPECT_EQ(State(h).txd.d_cnt, 0u);
}

// The doorbell, fourth of five regions, lies outside the arena: the three
// mapped before it are unmapped and the endpoint is given back.
TEST_F(TxTest, MappingFailingHalfWayLeavesNothingBehind)
{
    Init();
    const int maps = kpttest::ArenaMappings();
    Ctl("patch 0 set_endpoint 56 u64 0x7ffffffff000");
    kpt_inject_t h = nullptr;
    StderrCapture cap;
    EXPECT_EQ(kpt_inject_open(0, 0, &h), EINVAL);
    std::string err = cap.Finish();
    Ctl("patch 0 set_endpoint off");
    EXPECT_NE(err.find(" E mmap tx_doorbell "), std::string::npos) << err;
    EXPECT_EQ(h, nullptr);
    EXPECT_EQ(kpttest::ArenaMappingsSettled(maps), maps);
    EXPECT_TRUE(WaitUntil([&] { return sim_->connections(0) == 0; }));
    h = Open(0);
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(h->drv_p.epid, 0u) << "the endpoint was given back";
}

// The library's own reaping, against an endpoint in process memory whose
// completion byte the test moves (no adapter, no reaping by a driver).
class TxOwnReapTest : public ::testing::Test {
protected:
    static constexpr uint32_t kSmallRing = 16 * kPage;
    void SetUp() override
    {
        h_ = static_cast<kpt_inject_handle *>(calloc(1, sizeof *h_));
        h_->type = KPT_H_INJ;
        h_->mhandle = h_->tx.mhandle = -1;
        h_->tx.tx_map.map_tx_data = reinterpret_cast<uintptr_t>(ring_.data());
        h_->tx.tx_map.map_tx_data_size = h_->tx.txdata_size = kSmallRing;
        h_->tx.tx_sp = {32, &doorbell_, &compl_, desc_.data(), &state_};
        state_.dq_avail = kSmallRing;
        kpt__spin_init(&state_);
    }
    void TearDown() override { free(h_); }
    // The endpoint as after n completed batches.
    void StartAt(uint32_t n)
    {
        state_.dq_head_idx = state_.ep_flow.tx_flow.flow_desc = n;
        compl_ = uint8_t(n);
    }
    int Send(uint32_t len) { return kpt_inject_send(h_, 0, 0, Bytes(len, uint8_t(len)).data(), len); }

    Bytes ring_ = Bytes(kSmallRing, 0xaa);
    std::vector<uint64_t> desc_ = std::vector<uint64_t>(32 * 128 / 8);
    uint32_t doorbell_ = 0;
    uint8_t compl_ = 0;
    kpt__tx_state state_ = {};
    kpt_inject_handle *h_ = nullptr;
};

TEST_F(TxOwnReapTest, CompletionByteWrapsFrom255To0)
{
    StartAt(250);
    // 8200-byte frames are batches of three pages: five leave one page.
    for (int i = 0; i < 5; ++i) ASSERT_EQ(Send(8200), 0) << i;
    EXPECT_EQ(state_.dq_inflight, 5);
    EXPECT_EQ(state_.dq_avail, kPage);
    EXPECT_EQ(Send(8200), EAGAIN); // no room and nothing completed
    EXPECT_EQ(state_.dq_head_idx, 255u);
    // Two complete: reaped by the next send, which takes the last count
    // before the wrap; one more fits what is left.
    compl_ = 252;
    ASSERT_EQ(Send(8200), 0);
    EXPECT_EQ(state_.ep_flow.tx_flow.flow_desc, 252u);
    EXPECT_EQ(state_.dq_lengths[250 % 32], 0u);
    ASSERT_EQ(Send(8200), 0);
    EXPECT_EQ(Send(8200), EAGAIN);
    // Five more complete, the byte passing 255 -> 0 -> 1: all are reaped.
    compl_ = uint8_t(257);
    ASSERT_EQ(Send(8200), 0);
    EXPECT_EQ(state_.ep_flow.tx_flow.flow_desc, 1u);
    EXPECT_EQ(state_.dq_inflight, 1);
    EXPECT_EQ(state_.dq_avail, kSmallRing - 3 * kPage);
    for (uint32_t k = 0; k < 32; ++k) EXPECT_EQ(state_.dq_lengths[k], k == 257 % 32 ? 8200u : 0u) << k;
    EXPECT_EQ(be32toh(doorbell_), 1u | (8200u << 16));
    EXPECT_EQ(be16toh(reinterpret_cast<const uint16_t *>(desc_.data())[(257 % 32) * 64]), 8200);
}

TEST_F(TxOwnReapTest, RoomRunsOutInsideAnOpenBatch)
{
    StartAt(7);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(Send(8200), 0) << i; // one page left
    // Frames join one open batch while they fit, the last one ending at the
    // ring's end; then room runs out before the batch is full.
    for (int i = 0; i < 4; ++i) ASSERT_EQ(Send(1000), 0);
    ASSERT_EQ(Send(96), 0);
    EXPECT_EQ(state_.dq_avail, 0u);
    EXPECT_EQ(h_->tx.txdata_offset, 0u);
    EXPECT_EQ(Send(60), EAGAIN);
    EXPECT_EQ(state_.txd.d_cnt, 5u);
    EXPECT_EQ(state_.dq_head_idx, 12u);
    // The oldest batch completes: its pages at the ring's start come back
    // and the frame joins the open batch there.
    compl_ = 8;
    ASSERT_EQ(Send(60), 0);
    EXPECT_EQ(state_.txd.d_cnt, 6u);
    EXPECT_EQ(state_.dq_avail, 3 * kPage - 64);
    EXPECT_EQ(ring_[0], 60);
    EXPECT_EQ(h_->tx.txdata_offset, 64u);
}

TEST_F(TxOwnReapTest, OpenBatchWithNothingInFlightIsPostedToMakeRoom)
{
    // A batch left open after everything else completed, and no room beside it.
    StartAt(3);
    state_.dq_inflight = 1;
    ASSERT_EQ(Send(100), 0);
    ASSERT_EQ(state_.txd.d_cnt, 1u);
    state_.dq_inflight = 0;
    state_.dq_avail = kPage - 104; // only the rest of the batch's page
    // The batch is posted, so that its completion can give the room back.
    EXPECT_EQ(Send(4000), EAGAIN);
    EXPECT_EQ(state_.txd.d_cnt, 0u);
    EXPECT_EQ(state_.dq_inflight, 1);
    EXPECT_EQ(state_.dq_avail, 0u);
    EXPECT_EQ(state_.dq_head_idx, 4u);
    EXPECT_EQ(be32toh(doorbell_), 1u | (104u << 16));
    compl_ = 4;
    EXPECT_EQ(Send(4000), 0);
    EXPECT_EQ(state_.dq_head_idx, 5u) << "posted at once: nothing else in flight";
}

TEST_F(TxOwnReapTest, ShortFramePaddingWrapsToTheRingStart)
{
    // As after traffic that ended on page 13, all of it completed.
    StartAt(0);
    h_->tx.txdata_offset = 13 * kPage + 8;
    ASSERT_EQ(Send(60), 0);   // posted at once on page 14: batches stay open behind it
    ASSERT_EQ(Send(4048), 0); // page 15
    // 40 bytes starting 48 before the end: the frame fits, its padding to
    // 60 goes on at the ring's start.
    ASSERT_EQ(Send(40), 0);
    EXPECT_EQ(state_.txd.d_cnt, 2u);
    EXPECT_EQ(ring_[kSmallRing - 48], 40);
    EXPECT_EQ(ring_[kSmallRing - 9], 40);
    for (uint32_t i = kSmallRing - 8; i < kSmallRing; ++i) ASSERT_EQ(ring_[i], 0) << i;
    for (int i = 0; i < 12; ++i) ASSERT_EQ(ring_[i], 0) << i;
    EXPECT_EQ(ring_[12], 0xaa);
    EXPECT_EQ(h_->tx.txdata_offset, 16u);
    EXPECT_EQ(state_.dq_avail, kSmallRing - kPage - 4048 - 64);
}

// ---------------------------------------------------------------------------
// Statistics and close
// ---------------------------------------------------------------------------

TEST_F(TxTest, StatisticsCountFromTheOpenOfEachHandle)
{
    Init();
    kpt_inject_t a = Open(0);
    ASSERT_NE(a, nullptr);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(Send(a, Frame(100, i), 1000), 0);
    ASSERT_TRUE(Drained(a));
    // A handle opened after that traffic starts from zero.
    kpt_inject_t b = Open(0);
    ASSERT_NE(b, nullptr);
    kpt_inject_stats st;
    ASSERT_EQ(kpt_inject_getstats(b, &st), 0);
    EXPECT_EQ(st.inj_pkt_send + st.nic_pkt_send + st.nic_bytes_send, 0u);
    ASSERT_EQ(kpt_inject_getstats(a, &st), 0);
    EXPECT_EQ(st.inj_pkt_send, 10u);
    EXPECT_EQ(st.nic_pkt_send, 10u);
    EXPECT_EQ(st.nic_bytes_send, 10u * 104u);
    // Frames of the open batch are not counted as posted yet; the port
    // counts what every handle sends.
    Ctl("txhold 0 on");
    ASSERT_EQ(Send(b, Frame(60, 1)), 0);
    ASSERT_EQ(Send(b, Frame(60, 2)), 0);
    ASSERT_EQ(kpt_inject_getstats(b, &st), 0);
    EXPECT_EQ(st.inj_pkt_send, 1u);
    EXPECT_EQ(st.nic_pkt_send, 0u);
    Ctl("txhold 0 off");
    ASSERT_TRUE(Drained(b));
    ASSERT_EQ(kpt_inject_getstats(b, &st), 0);
    EXPECT_EQ(st.inj_pkt_send, 2u);
    EXPECT_EQ(st.nic_bytes_send, 128u);
    ASSERT_EQ(kpt_inject_getstats(a, &st), 0);
    EXPECT_EQ(st.nic_pkt_send, 12u);
    // A failed read leaves the caller's record alone.
    Ctl("fail 0 kpt_get_stats EIO");
    memset(&st, 0xab, sizeof st);
    EXPECT_EQ(kpt_inject_getstats(a, &st), EIO);
    EXPECT_EQ(st.inj_pkt_send, 0xababababababababull);
    EXPECT_EQ(kpt_inject_getstats(a, nullptr), EINVAL);
}

TEST_F(TxTest, CloseSendsTheOpenBatch)
{
    setenv("KPT_DEBUG_MASK", "2", 1);
    kpt_ring_t rx = nullptr;
    kpt_inject_t h = nullptr;
    ASSERT_NO_FATAL_FAILURE(Cabled(&rx, &h));
    Ctl("txhold 0 on");
    std::vector<Bytes> sent;
    for (uint32_t i = 0; i < 11; ++i) {
        sent.push_back(TaggedFrame(9, i, 64 + 8 * i));
        ASSERT_EQ(Send(h, sent.back()), 0);
    }
    ASSERT_EQ(State(h).txd.d_cnt, 10u); // one posted, ten in the open batch
    std::thread release([&] {
        usleep(100 * 1000);
        sim_->command("txhold 0 off");
    });
    int64_t t0 = MonoMs();
    std::string err = Close(h);
    EXPECT_GE(MonoMs() - t0, 50); // it waited for the adapter
    release.join();
    EXPECT_TRUE(HasLine(err, "kpt.0.-1 P inject_close: flushed 2 out of 11, 18.18 %, intr flush=0")) << err;
    ExpectFrames(rx, sent);
    kpt_recv_req req;
    EXPECT_EQ(kpt_ring_recv(rx, 0, &req), EAGAIN);
}

TEST_F(TxTest, CloseWaitsForPostedBatchesToo)
{
    kpt_inject_t h = nullptr;
    ASSERT_NO_FATAL_FAILURE(Held(&h));
    for (int i = 0; i < 3; ++i) ASSERT_EQ(Send(h, Frame(8200, i)), 0);
    EXPECT_EQ(State(h).txd.d_cnt, 0u); // nothing open, three outstanding
    std::thread release([&] {
        usleep(100 * 1000);
        sim_->command("txhold 0 off");
    });
    Close(h);
    release.join();
    EXPECT_EQ(Sent(0), 3u);
}

TEST_F(TxTest, DriverPostsABatchLeftOpen)
{
    setenv("KPT_DEBUG_MASK", "2", 1);
    kpt_inject_t h = nullptr;
    ASSERT_NO_FATAL_FAILURE(Held(&h));
    for (int i = 0; i < 5; ++i) ASSERT_EQ(Send(h, Frame(200, i)), 0);
    EXPECT_EQ(State(h).txd.d_cnt, 4u);
    // Once the first batch completes nothing is in flight, and the driver
    // posts the open batch itself: no further send is needed.
    Ctl("txhold 0 off");
    ASSERT_TRUE(Drained(h));
    EXPECT_EQ(Sent(0), 5u);
    std::string err = Close(h);
    EXPECT_TRUE(HasLine(err, "kpt.0.-1 P inject_close: flushed 1 out of 5, 20.00 %, intr flush=1")) << err;
}

// The adapter takes what was posted without the senders' lock: a sender
// holding it (here, the test) delays only the batch it has open.
TEST_F(TxTest, PostedBatchesLeaveWhileASenderHoldsTheLock)
{
    kpt_inject_t h = nullptr;
    ASSERT_NO_FATAL_FAILURE(Held(&h));
    // One frame posted at once, two full batches of 40, 40 left open.
    for (int i = 0; i < 121; ++i) ASSERT_EQ(Send(h, Frame(200, i)), 0);
    kpt__tx_state *s = h->tx.tx_sp.tx_s;
    kpt__spin_lock(s);
    const uint32_t batches = s->dq_head_idx, open = s->txd.d_cnt;
    Ctl("txhold 0 off");
    const bool left = WaitUntil([&] { return Sent(0) == 81; }, 2000);
    usleep(50 * 1000); // two driver interrupt periods: the open batch stays
    const uint64_t sent_locked = Sent(0);
    kpt__spin_unlock(s);
    EXPECT_EQ(batches, 3u);
    EXPECT_EQ(open, 40u);
    EXPECT_TRUE(left);
    EXPECT_EQ(sent_locked, 81u);
    ASSERT_TRUE(Drained(h));
    EXPECT_EQ(Sent(0), 121u);
}

// ---------------------------------------------------------------------------
// Through a cable to a receiving port
// ---------------------------------------------------------------------------

uint32_t ThreadFrameLength(uint32_t tag, uint64_t seq) { return 60 + uint32_t(Mix(tag * 1000003 + seq) % 1455); }

TEST_F(TxTest, FourThreadsOnOneHandleLoseAndDuplicateNothing)
{
    kpt_ring_t rx = nullptr;
    kpt_inject_t h = nullptr;
    ASSERT_NO_FATAL_FAILURE(Cabled(&rx, &h));
    constexpr uint32_t kThreads = 4;
    const uint64_t per = 25000 / kRunScale;
    std::atomic<int> errors{0};
    std::vector<std::thread> senders;
    for (uint32_t t = 0; t < kThreads; ++t)
        senders.emplace_back([&, t] {
            for (uint64_t seq = 0; seq < per; ++seq) {
                Bytes f = TaggedFrame(t, seq, ThreadFrameLength(t, seq));
                int rc;
                while ((rc = Send(h, f, kRunWaitMs)) == EAGAIN) {
                }
                if (rc) errors++;
            }
        });

    // Each thread's frames arrive complete, in its order, byte for byte.
    std::vector<uint64_t> next(kThreads, 0);
    uint64_t bad = 0;
    kpt_recv_req req;
    for (uint64_t got = 0; got < kThreads * per && Recv(rx, &req, 10000) == 0; ++got) {
        const uint8_t *p = static_cast<const uint8_t *>(req.pkt_addr);
        uint32_t tag;
        uint64_t seq;
        memcpy(&tag, p + 14, 4);
        memcpy(&seq, p + 18, 8);
        bool ok = tag < kThreads && seq == next[tag];
        if (ok) {
            Bytes want = TaggedFrame(tag, seq, ThreadFrameLength(tag, seq));
            ok = req.length == want.size() && memcmp(p, want.data(), want.size()) == 0;
        }
        if (!ok && bad++ < 5) ADD_FAILURE() << "thread " << tag << " frame " << seq << " out of place or wrong";
        if (tag < kThreads) next[tag] = seq + 1;
    }
    for (auto &th : senders) th.join();
    EXPECT_EQ(errors.load(), 0);
    EXPECT_EQ(bad, 0u);
    for (uint32_t t = 0; t < kThreads; ++t) EXPECT_EQ(next[t], per) << "thread " << t;
    EXPECT_EQ(kpt_ring_recv(rx, 50, &req), EAGAIN); // and nothing more
    EXPECT_EQ(State(h).tx_pkts_cnt, kThreads * per);
}

uint32_t RunLength(uint64_t i) { return 60 + uint32_t(Mix(i * 2 + 1) % (9018 - 60 + 1)); }

TEST_F(TxTest, MillionFramesThroughACable)
{
    kpt_ring_t rx = nullptr;
    kpt_inject_t h = nullptr;
    ASSERT_NO_FATAL_FAILURE(Cabled(&rx, &h));
    const uint64_t n = 1000000 / kRunScale;

    std::atomic<uint64_t> received{0};
    std::atomic<bool> failed{false};
    std::string failure;
    std::thread receiver([&] {
        Bytes want(9018);
        kpt_recv_req req;
        for (uint64_t i = 0; i < n; ++i) {
            int rc = Recv(rx, &req, 10000);
            uint32_t len = RunLength(i);
            if (rc == 0) FillFrame(want.data(), len, i);
            if (rc != 0 || req.length != len || memcmp(req.pkt_addr, want.data(), len) != 0) {
                failure = "frame " + std::to_string(i) + (rc ? std::string(": ") + strerror(rc)
                                                             : " length " + std::to_string(req.length) +
                                                                   " sent " + std::to_string(len));
                failed = true;
                return;
            }
            received.store(i + 1, std::memory_order_relaxed);
        }
    });
    Bytes buf(9018);
    uint64_t bytes = 0;
    for (uint64_t i = 0; i < n && !failed; ++i) {
        uint32_t len = RunLength(i);
        FillFrame(buf.data(), len, i);
        int rc;
        while ((rc = kpt_inject_send(h, kRunWaitMs, 0, buf.data(), len)) == EAGAIN && !failed) {
        }
        ASSERT_TRUE(rc == 0 || failed) << strerror(rc);
        bytes += len;
    }
    receiver.join();
    ASSERT_EQ(failure, "");
    ASSERT_EQ(received.load(), n);

    // The simulator's counters, the injection handle's and the ring's agree.
    uint64_t sent_bytes;
    EXPECT_EQ(Sent(0, &sent_bytes), n);
    EXPECT_EQ(sent_bytes, bytes + 4 * n);
    kpt_inject_stats ist;
    ASSERT_EQ(kpt_inject_getstats(h, &ist), 0);
    EXPECT_EQ(ist.inj_pkt_send, n);
    EXPECT_EQ(ist.nic_pkt_send, n);
    EXPECT_EQ(ist.nic_bytes_send, bytes + 4 * n);
    kpt_ring_stats rst;
    ASSERT_EQ(kpt_ring_getstats(rx, &rst), 0);
    EXPECT_EQ(rst.nic_pkt_recv, n);
    EXPECT_EQ(rst.nic_bytes_recv, bytes + 4 * n);
    EXPECT_EQ(rst.nic_pkt_overflow + rst.ring_pkt_overflow + rst.nic_pkt_dropped, 0u);
    std::string st = Ctl("status");
    EXPECT_NE(st.find("received " + std::to_string(n) + " ("), std::string::npos) << st;
}

// The host stack's frames on a port's interface leave on its wire.
class TxNetdevTest : public TxTest {
protected:
    void SetUp() override
    {
        TxTest::SetUp();
        std::string why;
        if (!kpttest::EnterPrivateNetns(&why)) GTEST_SKIP() << why;
        opts_.netdev = true;
    }
};

TEST_F(TxNetdevTest, HostFrameOnTheInterfaceCrossesTheCable)
{
    kpt_ring_t rx = nullptr;
    ASSERT_NO_FATAL_FAILURE(Cabled(&rx, nullptr));
    int s = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
    ASSERT_GE(s, 0) << strerror(errno);
    struct sockaddr_ll ll = {};
    ll.sll_family = AF_PACKET;
    ll.sll_ifindex = int(if_nametoindex("quor0"));
    ASSERT_NE(ll.sll_ifindex, 0);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&ll), sizeof ll), 0) << strerror(errno);
    Bytes f = TaggedFrame(77, 1, 200);
    EXPECT_EQ(send(s, f.data(), f.size(), 0), ssize_t(f.size())) << strerror(errno);
    close(s);

    // The host may send frames of its own; ours is the one with the tag.
    kpt_recv_req req;
    bool found = false;
    for (int i = 0; i < 50 && !found && Recv(rx, &req, 3000) == 0; ++i) {
        const uint8_t *p = static_cast<const uint8_t *>(req.pkt_addr);
        if (req.length >= 26 && p[12] == 0x88 && p[13] == 0xb5) {
            found = true;
            ASSERT_EQ(req.length, f.size());
            EXPECT_EQ(memcmp(p, f.data(), f.size()), 0);
        }
    }
    EXPECT_TRUE(found);
}

}  // namespace
