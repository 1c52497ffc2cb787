// The simulator's timestamping switch: its settings, and the frames a port
// receives through it, read raw (no decoding) by a library ring: trailers,
// keyframes, time order at line rate, live changes.
#include <arpa/inet.h>
#include <endian.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

#include "kpt_rx.h"
#include "ring_fixture.h"
#include "sim_switch.h"
#include "sim_wire.h"
#include "test_support.h"

namespace {

using quorsim::parse_switch_settings;
using quorsim::SwitchSettings;
using quorsim::switch_settings_text;

TEST(SwitchSettingsText, ParsedOverTheCurrentValuesOrRefusedWhole)
{
    SwitchSettings s;
    EXPECT_EQ(switch_settings_text(s, 3),
              "period=1000,offset=0,ppm=0,skew=off,ptp=on,mode=append,miss=0,bad=0,id=1,"
              "swport=3,kfdst=1.1.1.0");
    EXPECT_EQ(parse_switch_settings("period=50,offset=-5000000000,ppm=-300.25,ticks=7,skew=on,"
                                    "ptp=off,mode=testing,miss=3,bad=4,id=9,swport=2,"
                                    "kfdst=10.0.0.9",
                                    &s),
              "");
    EXPECT_EQ(switch_settings_text(s, 3),
              "period=50,offset=-5000000000,ppm=-300.25,skew=on,ptp=off,mode=testing,miss=3,"
              "bad=4,id=9,swport=2,kfdst=10.0.0.9");
    EXPECT_TRUE(s.set_ticks);
    EXPECT_EQ(s.ticks, 7u);
    EXPECT_EQ(s.mppm, -300250);
    // Keys not given keep their values; "on" changes nothing.
    EXPECT_EQ(parse_switch_settings("mode=overwrite", &s), "");
    EXPECT_FALSE(s.set_ticks);
    EXPECT_EQ(parse_switch_settings("on", &s), "");
    EXPECT_EQ(switch_settings_text(s, 3),
              "period=50,offset=-5000000000,ppm=-300.25,skew=on,ptp=off,mode=overwrite,miss=3,"
              "bad=4,id=9,swport=2,kfdst=10.0.0.9");

    const SwitchSettings before = s;
    for (const char *bad :
         {"", "period=60001", "period=-1", "ppm=1000.001", "ppm=-1001", "ppm=1.0001", "ppm=x",
          "offset=1e9", "offset=", "skew=yes", "mode=append2", "id=65536", "swport=-1",
          "kfdst=1.1.1", "kfdst=1.1.1.256", "ticks=-1", "miss=two", "period=5,,id=2",
          "period=5,period=6", "colour=red", "period"}) {
        SwitchSettings t = before;
        const std::string e = parse_switch_settings(bad, &t);
        EXPECT_EQ(e.rfind("switch: ", 0), 0u) << bad << " -> " << e;
        EXPECT_EQ(e.find('\n'), std::string::npos) << e;
        EXPECT_EQ(switch_settings_text(t, 3), switch_settings_text(before, 3)) << bad;
    }
    EXPECT_EQ(parse_switch_settings("ppm=1000,period=0", &s), "");
    EXPECT_EQ(parse_switch_settings("ppm=-1000", &s), "");
}

TEST(SwitchSettingsText, TicksCountAt350MHzWithTheRateError)
{
    using quorsim::switch_ticks;
    EXPECT_EQ(switch_ticks(0, 20, 0), 7u);
    EXPECT_EQ(switch_ticks(0, 1000000000, 0), 350000000u);
    EXPECT_EQ(switch_ticks(5, 1000000000, 300000), 5u + 350105000u);
    EXPECT_EQ(switch_ticks(100, -20, 0), 93u);
    EXPECT_EQ(switch_ticks(100, -1, 0), 99u); // rounded down
    EXPECT_EQ(switch_ticks(0, 19, 0), 6u);
}

// ---------------------------------------------------------------------------

struct Captured {
    std::vector<uint8_t> bytes; // as delivered, trailer included
    uint32_t fcs = 0;           // the frame check sequence after it
    uint64_t host_ns = 0;       // host real time when received
};

uint64_t Be(const uint8_t *p, int n)
{
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = v << 8 | p[i];
    return v;
}

uint32_t Time31(const std::vector<uint8_t> &f)
{
    const uint32_t r = uint32_t(Be(f.data() + f.size() - 4, 4));
    return (r >> 8) << 7 | (r & 0x7f);
}

bool IsKeyframe(const std::vector<uint8_t> &f) { return f.size() > 23 && f[23] == 253; }

class SwitchTest : public kpttest::RingTest {
protected:
    void SetUp() override
    {
        unsetenv("QUOR_ARISTA_ENABLE_TIMESTAMPING");
        StartSim();
        ASSERT_EQ(kpt_init(KPT_API_VERSION), 0);
        ASSERT_EQ(kpt_open(0, 1, nullptr, 64 << 20, -1, &h_), 0);
        ASSERT_EQ(kpt_ring_open(h_, &ring_), 0);
        ASSERT_EQ(kpt_start(h_), 0);
    }
    // Frames received until `n` arrived or ms passed without one.
    std::vector<Captured> Take(size_t n, int ms = 2000)
    {
        std::vector<Captured> out;
        kpt_recv_req r;
        while (out.size() < n && kpt_ring_recv(ring_, ms, &r) == 0) {
            const uint8_t *p = static_cast<const uint8_t *>(r.pkt_addr);
            Captured c;
            c.bytes.assign(p, p + r.length);
            uint32_t fcs;
            memcpy(&fcs, p + r.length, 4);
            c.fcs = le32toh(fcs);
            c.host_ns = uint64_t(kpttest::RealNs());
            out.push_back(std::move(c));
        }
        return out;
    }
    Captured NextKeyframe()
    {
        for (int i = 0; i < 10000; ++i) {
            auto f = Take(1);
            if (f.empty()) break;
            if (IsKeyframe(f[0].bytes)) return f[0];
        }
        ADD_FAILURE() << "no keyframe";
        return {};
    }
    void Send(uint32_t len, uint8_t tag)
    {
        std::vector<uint8_t> f(len, tag);
        f[12] = 0x08;
        f[13] = 0x06;
        ASSERT_EQ(sim_->send_frame(0, f.data(), f.size()), 0);
    }
    std::string Status() { return Ctl("switch 0"); }
};

TEST_F(SwitchTest, FramesGetTheTrailerOfTheirTimeAndANewFcs)
{
    EXPECT_EQ(Status(), "port 0 switch: off\nok\n");
    Ctl("switch 0 period=0,ticks=2147483000"); // no keyframes; the 31-bit time wraps soon
    for (uint32_t len : {60u, 61u, 1514u, 9018u}) Send(len, uint8_t(len));
    auto got = Take(4);
    ASSERT_EQ(got.size(), 4u);
    uint32_t prev = 2147483000u;
    int bit7 = -1;
    for (size_t i = 0; i < got.size(); ++i) {
        const std::vector<uint8_t> &f = got[i].bytes;
        const uint32_t len = std::vector<uint32_t>{60, 61, 1514, 9018}[i];
        ASSERT_EQ(f.size(), len + 4);
        EXPECT_EQ(f[len - 1], uint8_t(len)); // the frame itself untouched
        EXPECT_EQ(quorsim::crc32_eth(f.data(), f.size()), got[i].fcs);
        const uint32_t t = Time31(f);
        EXPECT_LT(uint32_t(t - (prev & 0x7fffffffu)) & 0x7fffffffu, 350000000u) << i;
        prev = t;
        const int b7 = f[f.size() - 1] >> 7;
        if (bit7 >= 0) {
            EXPECT_NE(b7, bit7);
        }
        bit7 = b7;
    }
    const std::string st = Status();
    EXPECT_NE(st.find("; keyframes 0, missed 0, bad 0, stamped 4, dropped 0, ticks "), std::string::npos)
        << st;

    // Off: frames pass as they are.
    Ctl("switch 0 off");
    Send(100, 1);
    got = Take(1);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].bytes.size(), 100u);
    EXPECT_EQ(Status(), "port 0 switch: off\nok\n");
}

TEST_F(SwitchTest, KeyframesCarryEverySetting)
{
    struct Case {
        const char *settings;
        bool skew, ptp;
        uint8_t mode;
        uint16_t id, swport;
        uint32_t kfdst;
        int64_t offset;
    };
    const Case cases[] = {
        {"period=20", false, true, 1, 1, 0, 0x01010100, 0},
        {"period=20,skew=on,ppm=300,offset=-3000000000,mode=overwrite,id=77,swport=9,"
         "kfdst=10.9.8.7,ptp=off",
         true, false, 2, 77, 9, 0x0a090807, -3000000000},
        {"mode=disabled,skew=off,ppm=-250.5,offset=2500000000", false, false, 0, 77, 9,
         0x0a090807, 2500000000},
        {"mode=testing,ptp=on", false, true, 3, 77, 9, 0x0a090807, 2500000000},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.settings);
        Ctl(std::string("switch 0 ") + c.settings);
        Captured kf = NextKeyframe();
        kf = NextKeyframe(); // one sent wholly under these settings
        const std::vector<uint8_t> &f = kf.bytes;
        ASSERT_EQ(f.size(), c.skew ? 100u : 84u);
        EXPECT_EQ(quorsim::crc32_eth(f.data(), f.size()), kf.fcs);
        EXPECT_EQ(Be(f.data(), 6), 0x025153020000u); // the port's MAC
        EXPECT_EQ(Be(f.data() + 12, 2), 0x0800u);
        EXPECT_EQ(f[14], 0x45);
        EXPECT_EQ(Be(f.data() + 16, 2), f.size() - 4 - 14);
        EXPECT_EQ(Be(f.data() + 30, 4), c.kfdst);
        uint32_t sum = 0;
        for (int i = 14; i < 34; i += 2) sum += uint32_t(Be(f.data() + i, 2));
        while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
        EXPECT_EQ(sum, 0xffffu);

        const uint8_t *p = f.data() + 34;
        const uint64_t asic = Be(p, 8), utc = Be(p + 8, 8), sync = Be(p + 16, 8);
        p += 24;
        if (c.skew) {
            EXPECT_EQ(Be(p, 8), 1000300000u);
            EXPECT_EQ(Be(p + 8, 8), 1000000000u);
            p += 16;
        }
        EXPECT_EQ(Be(p, 8), utc); // its own timestamp
        EXPECT_EQ(Be(p + 8, 8), 0u);
        EXPECT_EQ(Be(p + 16, 2), c.id);
        EXPECT_EQ(Be(p + 18, 2), c.swport);
        EXPECT_EQ(p[20], c.mode);
        EXPECT_EQ(p[21], 0);
        EXPECT_EQ(asic & 0x7fffffff, Time31(f)); // the trailer of the same instant
        const int64_t host = int64_t(kf.host_ns) + c.offset;
        EXPECT_LT(std::abs(int64_t(utc) - host), 200000000) << utc << " vs " << host;
        EXPECT_EQ(sync, c.ptp ? utc / 1000000000 * 1000000000 : 0);
    }
}

TEST_F(SwitchTest, MissingShortAndDroppedKeyframes)
{
    Ctl("switch 0 period=10,miss=3,bad=2");
    std::vector<size_t> lens;
    while (lens.size() < 6) {
        Captured kf = NextKeyframe();
        if (kf.bytes.empty()) break;
        lens.push_back(kf.bytes.size());
    }
    // Sent: 1 2 (3 missed) 4 5 (6 missed) 7 8; every 2nd sent is 2 bytes short.
    EXPECT_EQ(lens, (std::vector<size_t>{84, 82, 84, 82, 84, 82}));
    const std::string st = Status();
    EXPECT_NE(st.find("miss=3,bad=2,"), std::string::npos) << st;

    // Frames lost to a down link are counted in the next keyframes.
    Ctl("switch 0 miss=0,bad=0,period=0");
    Ctl("link 0 down");
    for (int i = 0; i < 5; ++i) Send(64, 1);
    for (int i = 0; i < 100 && Status().find("dropped 5,") == std::string::npos; ++i)
        usleep(10000);
    Ctl("link 0 up");
    Take(100, 50);
    Ctl("switch 0 period=10");
    const Captured kf = NextKeyframe();
    ASSERT_EQ(kf.bytes.size(), 84u);
    EXPECT_EQ(Be(kf.bytes.data() + 34 + 32, 8), 5u + 0); // frames, plus no keyframe was due
}

TEST_F(SwitchTest, LineRateTrafficAndKeyframesLeaveInTimeOrder)
{
    Ctl("switch 0 period=1,ticks=2147000000");
    Ctl("gen 0 rate=line,count=400000");
    std::vector<Captured> got;
    size_t frames = 0;
    while (frames < 400000) {
        std::vector<Captured> one = Take(1, 300);
        if (one.empty()) break;
        if (!IsKeyframe(one[0].bytes)) ++frames;
        got.push_back(std::move(one[0]));
    }
    ASSERT_GT(frames, 100000u);
    size_t keyframes = 0;
    uint32_t prev = Time31(got[0].bytes);
    for (size_t i = 1; i < got.size(); ++i) {
        const uint32_t t = Time31(got[i].bytes);
        // Forward in 31-bit arithmetic (the counter wraps during the run).
        ASSERT_LT((t - prev) & 0x7fffffffu, 0x40000000u) << i;
        prev = t;
        if (IsKeyframe(got[i].bytes)) ++keyframes;
    }
    EXPECT_GT(keyframes, 10u);
    // Frames of a paced source are stamped at their own due times: 67.2 ns
    // (23.52 ticks) apart at line rate.
    size_t spaced = 0;
    for (size_t i = 1; i + 1 < got.size(); ++i) {
        if (IsKeyframe(got[i].bytes) || IsKeyframe(got[i - 1].bytes)) continue;
        const uint32_t d = (Time31(got[i].bytes) - Time31(got[i - 1].bytes)) & 0x7fffffffu;
        if (d == 23 || d == 24) ++spaced;
    }
    EXPECT_GT(spaced, frames * 9 / 10);
}

TEST_F(SwitchTest, LiveChangesKeepTheClockRunning)
{
    Ctl("switch 0 period=0,ticks=1000000");
    std::string st = Status();
    const size_t at = st.find("ticks ");
    ASSERT_NE(at, std::string::npos) << st;
    const uint64_t t0 = strtoull(st.c_str() + at + 6, nullptr, 10);
    EXPECT_GE(t0, 1000000u);
    EXPECT_LT(t0, 1000000u + 350000000u) << st;

    // A change of offset and rate leaves the counter where it is.
    Ctl("switch 0 offset=7000000000,ppm=500");
    st = Status();
    const uint64_t t1 = strtoull(st.c_str() + st.find("ticks ") + 6, nullptr, 10);
    EXPECT_GE(t1, t0);
    EXPECT_LT(t1, t0 + 350000000u);
    EXPECT_NE(st.find("period=0,offset=7000000000,ppm=500,"), std::string::npos) << st;

    // A refused change changes nothing.
    EXPECT_EQ(sim_->command("switch 0 period=5,ppm=2000"),
              "error: switch: ppm=2000: the rate error is -1000 to 1000 ppm (3 decimals at "
              "most)\n");
    EXPECT_NE(Status().find("period=0,"), std::string::npos);
    EXPECT_EQ(sim_->command("switch 9 on").rfind("error: no such port", 0), 0u);

    // Off and on again: the settings are kept.
    Ctl("switch 0 off");
    Ctl("switch 0 on");
    Ctl("switch 0 period=10");
    const Captured kf = NextKeyframe();
    ASSERT_EQ(kf.bytes.size(), 84u);
    const int64_t utc = int64_t(Be(kf.bytes.data() + 42, 8));
    EXPECT_LT(std::abs(utc - int64_t(kf.host_ns) - 7000000000), 200000000);
    EXPECT_GE(Be(kf.bytes.data() + 34, 8), t1);
}

}  // namespace
