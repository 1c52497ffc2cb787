// Switch timestamps end to end: quor_simd with a timestamping switch and a
// generator on its ports, the library decoding in this process.  With
// keyframes delivered, each frame's time is checked against what the
// keyframes before it give, and against host time + the switch's offset.
#include <stdlib.h>
#include <string.h>

#include <cmath>
#include <memory>
#include <string>
#include <vector>

#include "kpt_rx.h"
#include "test_support.h"

namespace {

using kpttest::RealNs;

uint64_t Be(const uint8_t *p, int n)
{
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

// What the keyframes say about frames after them.
struct Reference {
    struct Kf {
        uint64_t asic = 0, utc = 0;
        double ratio = 1; // switch ticks per nominal tick
    };
    bool skew = false;
    int have = 0;
    Kf latest, prev;

    void Keyframe(const uint8_t *f)
    {
        const uint8_t *p = f + 34;
        prev = latest;
        latest.asic = Be(p, 8);
        latest.utc = Be(p + 8, 8);
        latest.ratio = skew ? double(Be(p + 24, 8)) / double(Be(p + 32, 8)) : 1.0;
        ++have;
    }
    static uint64_t From(const Kf &k, uint32_t t)
    {
        const uint32_t d = (t - uint32_t(k.asic)) & 0x7fffffffu;
        return k.utc + uint64_t(double(d) * (20.0 / 7.0) / k.ratio);
    }
    // Within a tick of the latest keyframe's answer, or, just after it, of
    // the one before.
    bool Agrees(uint32_t t, uint64_t ts) const
    {
        auto near = [&](uint64_t want) { return std::llabs(int64_t(ts - want)) <= 3; };
        const uint32_t d = (t - uint32_t(latest.asic)) & 0x7fffffffu;
        return near(From(latest, t)) || (d < 29 && have > 1 && near(From(prev, t)));
    }
};

// A converted time against host time + offset: not later than when it was
// received (but for the rate error of a switch converted without its skew,
// 300 ppm of a keyframe period), not earlier than when the test began.  (How
// late a reader gets a frame depends on the machine's load.)
int64_t g_begin = 0;
bool NearHost(uint64_t ts, int64_t offset)
{
    return int64_t(ts) < RealNs() + offset + 1000000 && int64_t(ts) > g_begin + offset - 1000000;
}

struct Tally {
    uint64_t frames = 0, keyframes = 0, malformed = 0, wraps = 0, disagree = 0, far = 0;
    uint64_t spacing_off = 0, spaced = 0;
    int64_t worst_host = 0;
};

class AtsEndToEnd : public ::testing::Test {
protected:
    void SetUp() override
    {
        alarm(60);
        for (const char *v : {"QUOR_ARISTA_ENABLE_SKEW", "QUOR_ARISTA_PARAM_KF_CHECK_PTP"})
            unsetenv(v);
        setenv("QUOR_ARISTA_ENABLE_TIMESTAMPING", "1", 1);
        setenv("QUOR_ARISTA_PARAM_KF_RECEIVE", "1", 1);
        setenv("ZAL_DEV_DIR", dir_.path().c_str(), 1);
    }
    void TearDown() override
    {
        if (ring_) {
            EXPECT_EQ(kpt_ring_close(ring_), 0);
        }
        if (h_) {
            EXPECT_EQ(kpt_close(h_), 0);
        }
        for (const char *v : {"QUOR_ARISTA_ENABLE_TIMESTAMPING", "QUOR_ARISTA_PARAM_KF_RECEIVE",
                              "QUOR_ARISTA_ENABLE_SKEW"})
            unsetenv(v);
    }
    void Start(const std::vector<std::string> &args, uint32_t port, int flags = -1)
    {
        g_begin = RealNs();
        ref_ = Reference{};
        simd_ = std::make_unique<kpttest::SimdProcess>(dir_.path(), args);
        ASSERT_TRUE(simd_->ready()) << simd_->ready_line();
        ASSERT_EQ(kpt_init(KPT_API_VERSION), 0);
        ASSERT_EQ(kpt_open(port, 1, nullptr, 32 << 20, flags, &h_), 0);
        ASSERT_EQ(kpt_ring_open(h_, &ring_), 0);
        ASSERT_EQ(kpt_start(h_), 0);
    }
    // Receives for ms milliseconds and checks every frame after the first
    // keyframe.  The keyframes are followed from the ring's start, as the
    // library follows them: just after one, it converts from the one before.  pps: the generator's rate, for the spacing check (0: none).
    Tally Receive(int ms, int64_t offset, bool skew, uint64_t pps = 0)
    {
        Tally run;
        Reference &ref = ref_;
        ref.skew = skew;
        const int64_t end = kpttest::MonoNs() + int64_t(ms) * 1000000;
        uint32_t last_t = 0;
        uint64_t last_ts = 0;
        bool last_same_base = false;
        kpt_recv_req r;
        while (kpttest::MonoNs() < end) {
            if (kpt_ring_recv(ring_, 100, &r) != 0) continue;
            const uint8_t *f = static_cast<const uint8_t *>(r.pkt_addr);
            if (r.length > 23 && f[23] == 253) {
                if (r.length != (skew ? 96u : 80u)) {
                    ++run.malformed;
                    continue;
                }
                ref.Keyframe(f);
                EXPECT_EQ(r.timestamp, ref.latest.utc);
                ++run.keyframes;
                last_same_base = false;
                continue;
            }
            if (ref.have == 0) continue; // still the adapter's time
            const uint32_t raw = uint32_t(Be(f + r.length, 4)); // the stripped trailer
            const uint32_t t = (raw >> 8) << 7 | (raw & 0x7f);
            ++run.frames;
            if (run.frames > 1 && t < last_t) ++run.wraps;
            if (!ref.Agrees(t, r.timestamp)) ++run.disagree;
            const int64_t host = RealNs() + offset - int64_t(r.timestamp);
            if (std::llabs(host) > std::llabs(run.worst_host)) run.worst_host = host;
            if (!NearHost(r.timestamp, offset)) ++run.far;
            if (pps != 0 && last_same_base) {
                ++run.spaced;
                if (std::llabs(int64_t(r.timestamp - last_ts) - int64_t(1000000000 / pps)) > 3)
                    ++run.spacing_off;
            }
            last_same_base = true;
            last_t = t;
            last_ts = r.timestamp;
        }
        return run;
    }
    kpt__rx *Rx() { return &ring_->u.ring.rx; }

    kpttest::TempDir dir_;
    Reference ref_;
    std::unique_ptr<kpttest::SimdProcess> simd_;
    kpt_handle_t h_ = nullptr;
    kpt_ring_t ring_ = nullptr;
};

TEST_F(AtsEndToEnd, OffsetsAWrapAndARateErrorWithoutSkew)
{
    for (int64_t offset : {-4000000000ll, 3000000000ll}) {
        SCOPED_TRACE(offset);
        // The switch runs 300 ppm fast.
        ASSERT_NO_FATAL_FAILURE(Start({"--ports", "1", "--switch",
                                       "0=period=50,ppm=300,offset=" + std::to_string(offset),
                                       "--wire", "0=gen:pps=" + std::to_string(200000 / kpttest::kSlowdown)},
                                      0));
        // Its 31-bit time wraps 0.8 s from now, inside the window received
        // below even on a slow machine; frames before the next keyframe are
        // converted from one before the counter was set.
        auto ctl = kpttest::RunProgram({kpttest::BinPath("quor_simctl"), "--dir", dir_.path(),
                                        "switch", "0", "ticks=1867483648"});
        ASSERT_EQ(ctl.status, 0) << ctl.err;
        Receive(100, offset, false);
        const Tally run = Receive(1200, offset, false);
        EXPECT_GT(run.frames, 20000u / kpttest::kSlowdown);
        EXPECT_GE(run.keyframes, 10u);
        EXPECT_EQ(run.wraps, 1u);
        EXPECT_EQ(run.disagree, 0u);
        EXPECT_EQ(run.far, 0u) << run.worst_host;
        EXPECT_EQ(Rx()->ats.arct_status, ATS_STATUS_ACTIVE);
        EXPECT_EQ(kpt_ring_close(ring_), 0);
        ring_ = nullptr;
        EXPECT_EQ(kpt_close(h_), 0);
        h_ = nullptr;
        simd_.reset();
    }
}

TEST_F(AtsEndToEnd, MissingAndShortKeyframes)
{
    ASSERT_NO_FATAL_FAILURE(Start({"--ports", "1", "--switch", "0=period=20,miss=3,bad=4,offset=-1500000000",
                                   "--wire", "0=gen:pps=100000"},
                                  0));
    const Tally run = Receive(600, -1500000000, false);
    EXPECT_GT(run.frames, 30000u);
    EXPECT_GT(run.malformed, 2u);
    EXPECT_EQ(run.disagree, 0u);
    EXPECT_EQ(run.far, 0u) << run.worst_host;
    EXPECT_EQ(Rx()->ats.arct_stats.arst_kfmalformed, run.malformed);
    EXPECT_EQ(Rx()->ats.arct_stats.arst_kfrecv, run.keyframes);
}

TEST_F(AtsEndToEnd, WithSkewAFixedRateIsExactAfterConversion)
{
    setenv("QUOR_ARISTA_ENABLE_SKEW", "1", 1);
    ASSERT_NO_FATAL_FAILURE(Start({"--ports", "1", "--switch", "0=period=50,ppm=300,skew=on",
                                   "--wire", "0=gen:pps=10000"},
                                  0));
    const Tally run = Receive(600, 0, true, 10000);
    EXPECT_GT(run.spaced, 3000u);
    EXPECT_EQ(run.spacing_off, 0u);
    EXPECT_EQ(run.disagree, 0u);
    EXPECT_EQ(run.far, 0u) << run.worst_host;
}

TEST_F(AtsEndToEnd, WithoutSkewTheRateErrorShows)
{
    ASSERT_NO_FATAL_FAILURE(Start({"--ports", "1", "--switch", "0=period=50,ppm=300",
                                   "--wire", "0=gen:pps=10000"},
                                  0));
    const Tally run = Receive(400, 0, false, 10000);
    EXPECT_GT(run.spaced, 2000u);
    EXPECT_EQ(run.spacing_off, run.spaced); // 30 ns too long each
}

TEST_F(AtsEndToEnd, AGroupOfTwoStampedPorts)
{
    setenv("QUOR_ARISTA_PARAM_KF_RECEIVE", "0", 1);
    const std::string sw = "period=50,offset=2000000000";
    ASSERT_NO_FATAL_FAILURE(Start({"--ports", "2", "--switch", "0=" + sw, "--switch", "1=" + sw,
                                   "--wire", "0=gen:pps=" + std::to_string(50000 / kpttest::kSlowdown),
                                   "--wire", "1=gen:pps=" + std::to_string(30000 / kpttest::kSlowdown)},
                                  0x3, KPT_F_AGGREGATE_PORTMASK));
    ASSERT_EQ(ring_->type, KPT_H_RING_GROUP);
    kpt_recv_req r;
    // Until both ports have had a keyframe, and what they queued meanwhile,
    // the merge compares the adapter's time with the switch's.
    auto active = [&](int port) {
        return ring_->u.group.ports[port].ring->u.ring.rx.ats.arct_status == ATS_STATUS_ACTIVE;
    };
    for (int i = 0; i < 100000 && !(active(0) && active(1)); ++i) kpt_ring_recv(ring_, 100, &r);
    ASSERT_TRUE(active(0) && active(1));
    for (int64_t end = kpttest::MonoNs() + 200000000; kpttest::MonoNs() < end;)
        kpt_ring_recv(ring_, 100, &r);

    uint64_t last = 0, per_port[2] = {0, 0}, back = 0, far = 0;
    const int64_t end = kpttest::MonoNs() + 600000000;
    while (kpttest::MonoNs() < end) {
        if (kpt_ring_recv(ring_, 100, &r) != 0) continue;
        ASSERT_NE(static_cast<uint8_t *>(r.pkt_addr)[23], 253); // consumed
        ASSERT_LT(r.portnum, 2u);
        ++per_port[r.portnum];
        EXPECT_EQ(r.length, 60u);
        if (r.timestamp < last) ++back;
        last = r.timestamp;
        if (!NearHost(r.timestamp, 2000000000)) ++far;
    }
    EXPECT_GT(per_port[0], 10000u / kpttest::kSlowdown);
    EXPECT_GT(per_port[1], 6000u / kpttest::kSlowdown);
    // The merge holds a port back about a millisecond at most: a reader or
    // adapter delayed longer on a loaded machine may see a few frames out of
    // order, whatever their clock.
    EXPECT_LE(back, (per_port[0] + per_port[1]) / 100);
    EXPECT_EQ(far, 0u);
}

}  // namespace
