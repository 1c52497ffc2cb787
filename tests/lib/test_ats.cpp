// Switch timestamps in the library: the decoder on frames built here (set-up
// rules, keyframe layouts, conversion, events with their lines and
// counters), then rings reading descriptors written here with the port
// stopped (consumed and delivered keyframes, batched attempts, shared queues,
// groups).
#include <endian.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <atomic>
#include <deque>
#include <string>
#include <vector>

#include "ats_frames.h"
#include "kpt_ats.h"
#include "kpt_rx.h"
#include "port_fixture.h"
#include "test_support.h"

namespace {

using kpttest::KeyframeBytes;
using kpttest::KeyframeFields;
using kpttest::UdpBytes;
using kpttest::WithoutTid;
using kpttest::WithTrailer;

constexpr const char *kEnv[] = {"QUOR_ARISTA_ENABLE_TIMESTAMPING", "QUOR_ARISTA_PARAM_KF_DST_IP",
                                "QUOR_ARISTA_PARAM_KF_RECEIVE",    "QUOR_ARISTA_PARAM_KF_CHECK_PTP",
                                "QUOR_ARISTA_PARAM_KF_CHECK_RATE", "QUOR_ARISTA_ENABLE_SKEW"};
constexpr uint64_t kUtc = 1700000000000000000ull;
constexpr uint64_t kAdapterTs = 111;

std::atomic<uint64_t> g_now{1000};
uint64_t FakeNow() { return g_now; }

void ClearEnv()
{
    for (const char *v : kEnv) unsetenv(v);
}

// ===========================================================================
// The decoder alone
// ===========================================================================

class AtsDecoderTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ClearEnv();
        kpt__ats_host_ns = FakeNow;
        memset(&p_, 0, sizeof p_);
        p_.debug_mask = KPT_DEBUG_WARN;
        rx_.p = &p_;
    }
    void TearDown() override { ClearEnv(); }
    void Init(bool skew = false)
    {
        setenv("QUOR_ARISTA_ENABLE_TIMESTAMPING", "1", 1);
        if (skew) setenv("QUOR_ARISTA_ENABLE_SKEW", "1", 1);
        ASSERT_TRUE(kpt__ats_init(&rx_));
    }
    // Hands the decoder a received frame (FCS excluded); returns the request
    // as the application would see it.
    kpt_recv_req Feed(std::vector<uint8_t> bytes)
    {
        bufs_.push_back(std::move(bytes));
        kpt_recv_req r = {};
        r.pkt_addr = bufs_.back().data();
        r.length = uint32_t(bufs_.back().size());
        r.timestamp = kAdapterTs;
        switch (kpt__ats_kind(&r)) {
        case ATS_KIND_KEYFRAME: kpt__ats_keyframe(&rx_, &r); break;
        case ATS_KIND_FRAME: kpt__ats_frame(&rx_, &r); break;
        case ATS_KIND_SHORT: break;
        }
        return r;
    }
    kpt_recv_req Key(const KeyframeFields &k, bool skew = false)
    {
        return Feed(WithTrailer(KeyframeBytes(k, skew), uint32_t(k.asic)));
    }
    kpt_recv_req At(uint32_t t, uint32_t len = 64)
    {
        return Feed(WithTrailer(UdpBytes(len - 4, 7), t));
    }
    static KeyframeFields Kf(uint64_t asic, uint64_t utc, uint8_t fcs = 1, uint64_t sync = 1)
    {
        KeyframeFields k;
        k.asic = asic;
        k.utc = utc;
        k.sync = sync;
        k.fcs_type = fcs;
        return k;
    }
    const ats_control &A() const { return rx_.ats; }

    kpt__params p_;
    kpt__rx rx_ = {};
    std::deque<std::vector<uint8_t>> bufs_;
};

struct SetupCase {
    const char *name;
    std::vector<std::pair<const char *, const char *>> env;
    bool decodes;
    ats_status status;
    const char *logged; // description after "** ", or null: nothing logged
    uint8_t recv, ptp, rate, skew;
    uint32_t dst_ip; // network order
};
void PrintTo(const SetupCase &c, std::ostream *os) { *os << c.name; }

class AtsSetupTest : public AtsDecoderTest, public ::testing::WithParamInterface<SetupCase> {};

TEST_P(AtsSetupTest, VariablesStatusAndDescription)
{
    const SetupCase &c = GetParam();
    for (auto &[k, v] : c.env) setenv(k, v, 1);
    p_.debug_mask = KPT_DEBUG_WARN | KPT_DEBUG_PARAM;
    // Left-overs of an earlier life are reset.
    memset(&rx_.ats, 0xa5, sizeof rx_.ats);
    kpttest::StderrCapture cap;
    EXPECT_EQ(kpt__ats_init(&rx_), c.decodes);
    std::string err = cap.Finish();
    err = err.substr(std::min(err.size(), err.find("kpt."))); // the thread id column
    EXPECT_EQ(A().arct_status, c.status);
    EXPECT_EQ(A().arct_mode, ATS_FCS_TIMESTAMPING_DISABLED);
    EXPECT_EQ(A().arct_kf_recv, c.recv);
    EXPECT_EQ(A().arct_kf_check_ptp, c.ptp);
    EXPECT_EQ(A().arct_kf_check_rate, c.rate);
    EXPECT_EQ(A().arct_kf_hasskew, c.skew);
    EXPECT_EQ(A().arct_kf_dst_ip, c.dst_ip);
    EXPECT_EQ(A().arct_stats.arst_kfrecv, 0u);
    EXPECT_EQ(A().arct_lastkf.ak_utc_time, 0u);
    EXPECT_EQ(A().arct_llastkf.ak_asic_time, 0u);
    EXPECT_STREQ(A().arct_prodname, "KPT");
    if (c.logged == nullptr) {
        EXPECT_EQ(err, "");
    } else {
        EXPECT_EQ(err, std::string("kpt.0.0    ** ") + c.logged + "\n");
    }

    // Without PARAM the description is not logged.
    p_.debug_mask = KPT_DEBUG_WARN;
    kpttest::StderrCapture quiet;
    kpt__ats_init(&rx_);
    EXPECT_EQ(quiet.Finish(), "");
}

INSTANTIATE_TEST_SUITE_P(
    Env, AtsSetupTest,
    ::testing::Values(
        SetupCase{"Unset", {}, false, ATS_STATUS_DISABLED, nullptr, 0, 1, 1, 0, 0x00010101},
        SetupCase{"Zero",
                  {{"QUOR_ARISTA_ENABLE_TIMESTAMPING", "0"}, {"QUOR_ARISTA_ENABLE_SKEW", "1"}},
                  false, ATS_STATUS_DISABLED, nullptr, 0, 1, 1, 0, 0x00010101},
        SetupCase{"EmptyStillReadsAndLogs",
                  {{"QUOR_ARISTA_ENABLE_TIMESTAMPING", ""}, {"QUOR_ARISTA_PARAM_KF_RECEIVE", "2"}},
                  false, ATS_STATUS_DISABLED,
                  "\n\t  * features: keyframe check min.rate [on] kf check ptp [on] "
                  "kf receive [on] kf skew [off] ",
                  1, 1, 1, 0, 0x00010101},
        SetupCase{"OnWithDefaults",
                  {{"QUOR_ARISTA_ENABLE_TIMESTAMPING", "1"}},
                  true, ATS_STATUS_INITED,
                  "Arista timestamping [on], mode: append (before-fcs), dst_ip: 1.1.1.0"
                  "\n\t  * features: keyframe check min.rate [on] kf check ptp [on] "
                  "kf receive [off] kf skew [off] ",
                  0, 1, 1, 0, 0x00010101},
        SetupCase{"EveryFeatureTurned",
                  {{"QUOR_ARISTA_ENABLE_TIMESTAMPING", "7"},
                   {"QUOR_ARISTA_PARAM_KF_DST_IP", "10.1.2.3"},
                   {"QUOR_ARISTA_PARAM_KF_RECEIVE", "1"},
                   {"QUOR_ARISTA_PARAM_KF_CHECK_PTP", "0"},
                   {"QUOR_ARISTA_PARAM_KF_CHECK_RATE", "junk"},
                   {"QUOR_ARISTA_ENABLE_SKEW", "1"}},
                  true, ATS_STATUS_INITED,
                  "Arista timestamping [on], mode: append (before-fcs), dst_ip: 10.1.2.3"
                  "\n\t  * features: keyframe check min.rate [off] kf check ptp [off] "
                  "kf receive [on] kf skew [on] ",
                  1, 0, 0, 1, 0x0302010a},
        SetupCase{"EmptyAddressIsNone",
                  {{"QUOR_ARISTA_ENABLE_TIMESTAMPING", "1"}, {"QUOR_ARISTA_PARAM_KF_DST_IP", ""},
                   {"QUOR_ARISTA_PARAM_KF_CHECK_PTP", ""}},
                  true, ATS_STATUS_INITED,
                  "Arista timestamping [on], mode: append (before-fcs), dst_ip: "
                  "\n\t  * features: keyframe check min.rate [on] kf check ptp [on] "
                  "kf receive [off] kf skew [off] ",
                  0, 1, 1, 0, 0},
        SetupCase{"LongAddressIsCut",
                  {{"QUOR_ARISTA_ENABLE_TIMESTAMPING", "1"},
                   {"QUOR_ARISTA_PARAM_KF_DST_IP", "0123456789012345678901234567890123456789"}},
                  true, ATS_STATUS_INITED,
                  "Arista timestamping [on], mode: append (before-fcs), dst_ip: "
                  "0123456789012345678901234567890"
                  "\n\t  * features: keyframe check min.rate [on] kf check ptp [on] "
                  "kf receive [off] kf skew [off] ",
                  0, 1, 1, 0, 0xffffffff}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(AtsDecoderTest, KeyframeLengthsFollowTheSkewSetting)
{
    ASSERT_NO_FATAL_FAILURE(Init(false));
    KeyframeFields k = Kf(0x80, kUtc);
    EXPECT_EQ(Key(k).length, 84u);
    EXPECT_EQ(A().arct_stats.arst_kfrecv, 1u);
    EXPECT_EQ(A().arct_lastkf.ak_utc_time, kUtc);
    k.utc = kUtc + 1;
    k.skew_num = 5;
    Key(k, true); // 100 bytes: malformed without skew
    EXPECT_EQ(A().arct_stats.arst_kfmalformed, 1u);
    EXPECT_EQ(A().arct_stats.arst_kfmalformedlen, 96u);
    EXPECT_EQ(A().arct_lastkf.ak_utc_time, kUtc); // nothing of it kept
    // With a VLAN tag the keyframe is 4 bytes longer and read past the tag.
    k.utc = kUtc + 2;
    Feed(WithTrailer(KeyframeBytes(k, false, true), 0x80));
    EXPECT_EQ(A().arct_stats.arst_kfrecv, 2u);
    EXPECT_EQ(A().arct_lastkf.ak_utc_time, kUtc + 2);

    rx_ = {};
    rx_.p = &p_;
    ASSERT_NO_FATAL_FAILURE(Init(true));
    k = Kf(0x80, kUtc);
    k.skew_num = 1000300000;
    k.skew_den = 1000000000;
    k.drops = 9;
    k.id = 0x1234;
    k.swport = 0x0506;
    Key(k, false); // 84 bytes: malformed with skew
    EXPECT_EQ(A().arct_stats.arst_kfmalformedlen, 80u);
    EXPECT_EQ(A().arct_stats.arst_kfrecv, 0u);
    Key(k, true);
    const ats_keyframe &d = A().arct_lastkf;
    EXPECT_EQ(A().arct_stats.arst_kfrecv, 1u);
    EXPECT_EQ(d.ak_asic_time, 0x80u);
    EXPECT_EQ(d.ak_skew_numerator, 1000300000u);
    EXPECT_EQ(d.ak_skew_denominator, 1000000000u);
    EXPECT_EQ(d.ak_dropped_frames, 9u);
    EXPECT_EQ(d.ak_device_id, 0x1234);
    EXPECT_EQ(d.ak_egress_swport, 0x0506);
    EXPECT_EQ(d.ak_fcs_type, 1);
}

TEST_F(AtsDecoderTest, TrailerTimesConvertFromTheRightKeyframe)
{
    ASSERT_NO_FATAL_FAILURE(Init());
    // Before any keyframe: the adapter's time, 4 bytes less.
    kpt_recv_req r = At(0x80);
    EXPECT_EQ(r.timestamp, kAdapterTs);
    EXPECT_EQ(r.length, 60u);

    // The high bits of the keyframe's count are no part of the 31-bit time.
    Key(Kf((7ull << 40) | 0x80, kUtc));
    EXPECT_EQ(A().arct_status, ATS_STATUS_ACTIVE);
    // Trailer 00 00 01 80: R 0x180, time 0x80 = the keyframe's.
    std::vector<uint8_t> f = UdpBytes(60, 1);
    for (uint8_t b : {0x00, 0x00, 0x01, 0x80}) f.push_back(b);
    r = Feed(f);
    EXPECT_EQ(r.timestamp, kUtc);
    EXPECT_EQ(r.length, 60u);
    EXPECT_EQ(A().arct_kf_last_ts, 0x80u);
    EXPECT_EQ(A().arct_last_ts, kUtc);
    // Only one keyframe so far: 10 ticks after it still converts from it.
    EXPECT_EQ(At(0x80 + 10).timestamp, kUtc + 28);

    const uint64_t utc2 = kUtc + 2857;
    Key(Kf(1000 + 0x80, utc2));
    EXPECT_EQ(At(1000 + 0x80).timestamp, utc2);
    EXPECT_EQ(At(1000 + 0x80 + 10).timestamp, kUtc + 2885); // from the one before
    EXPECT_EQ(At(1000 + 0x80 + 29).timestamp, utc2 + 82);
    // Below the keyframe's time: the 31-bit counter has wrapped since.
    EXPECT_EQ(At(1000 + 0x80 - 5).timestamp, utc2 + 6135667551ull);

    // Just after the latest keyframe, the one before it is used only while
    // the frame is less than one wrap of the 31-bit counter (2^31 ticks)
    // after it; an older one (keyframes went missing for a while) would
    // put the frame seconds off.
    constexpr uint64_t kWrap = 1ull << 31;
    const struct {
        uint64_t gap;  // ticks between the two keyframes
        uint32_t after;  // ticks of the frame after the latest
        bool from_previous;
    } cases[] = {
        {1000, 10, true},
        {kWrap - 11, 10, true},
        {kWrap - 10, 10, false},
        {kWrap + 500, 10, false},
        {5 * kWrap + 3, 28, false},
    };
    for (const auto &c : cases) {
        rx_ = {};
        rx_.p = &p_;
        ASSERT_NO_FATAL_FAILURE(Init());
        const uint64_t asic1 = (3ull << 33) + 0x1234, asic2 = asic1 + c.gap;
        const uint64_t utc_2 = kUtc + uint64_t(double(c.gap) * 2.857142857142857);
        Key(Kf(asic1, kUtc));
        Key(Kf(asic2, utc_2));
        const uint64_t want =
            c.from_previous ? kUtc + uint64_t(double(c.gap + c.after) * 2.857142857142857)
                            : utc_2 + uint64_t(double(c.after) * 2.857142857142857);
        EXPECT_EQ(At(uint32_t(asic2 + c.after)).timestamp, want) << "gap " << c.gap;
    }
}

TEST_F(AtsDecoderTest, SkewRatioScalesTicksAndAnUnusableOneCountsAsOne)
{
    ASSERT_NO_FATAL_FAILURE(Init(true));
    KeyframeFields k = Kf(0, kUtc);
    k.skew_num = 1000300000;
    k.skew_den = 1000000000;
    Key(k, true);
    EXPECT_EQ(At(1000000).timestamp, kUtc + 2856285);
    EXPECT_EQ(At(0).timestamp, kUtc);

    for (auto [num, den] : {std::pair<uint64_t, uint64_t>{0, 1000000000},
                            {1000000000, 0},
                            {1, ~0ull}}) {
        k.skew_num = num;
        k.skew_den = den;
        k.asic += 1000; // far from the previous keyframe
        k.utc = kUtc;
        Key(k, true);
        EXPECT_EQ(At(uint32_t(k.asic) + 1000000).timestamp, kUtc + 2857142)
            << num << "/" << den;
    }
}

TEST_F(AtsDecoderTest, EventsEachWithItsLineAndCounter)
{
    ASSERT_NO_FATAL_FAILURE(Init());
    kpttest::StderrCapture cap;
    std::string want;
    auto line = [&](uint64_t utc, const std::string &text) {
        want += "kpt.0.0    " + std::to_string(utc) + ": " + text + " \n";
    };

    Key(Kf(0x80, kUtc)); // first usable: switch time, no event
    EXPECT_EQ(A().arct_status, ATS_STATUS_ACTIVE);

    Key(Kf(0x100, kUtc + 1, ATS_FCS_TIMESTAMPING_OVERWRITE));
    line(kUtc + 1, "Arista switch timestamp feature disabled by the switch");
    EXPECT_EQ(A().arct_status, ATS_STATUS_CHANGEDMODE);
    // Another unsupported keyframe: still CHANGEDMODE, no second event.
    Key(Kf(0x180, kUtc + 2, ATS_FCS_TIMESTAMPING_TESTING_MODE));
    EXPECT_EQ(A().arct_status, ATS_STATUS_CHANGEDMODE);
    EXPECT_EQ(A().arct_stats.arst_unsupported_mode, 1u);
    kpt_recv_req r = At(0x190);
    EXPECT_EQ(r.timestamp, kAdapterTs);
    EXPECT_EQ(r.length, 60u);
    Key(Kf(0x200, kUtc + 3, ATS_FCS_TIMESTAMPING_APPENDED));
    line(kUtc + 3, "Arista switch timestamp feature re-enabled by the switch");
    EXPECT_EQ(A().arct_status, ATS_STATUS_ACTIVE);

    // PTP: 7 s of grace, then out of sync until a synchronised keyframe.
    g_now = 5000000000ull;
    Key(Kf(0x280, kUtc + 4, 1, 0));
    EXPECT_EQ(A().arct_kf_ptp_wait, 12000000000ull);
    g_now = 12000000000ull;
    Key(Kf(0x300, kUtc + 5, 1, 0));
    EXPECT_EQ(A().arct_status, ATS_STATUS_ACTIVE);
    g_now = 12000000001ull;
    Key(Kf(0x380, kUtc + 6, 1, 0));
    line(kUtc + 6, "Arista switch can't PTP sync anymore, time might be unreliable");
    EXPECT_EQ(A().arct_status, ATS_STATUS_OUTOFSYNC);
    EXPECT_EQ(A().arct_stats.arst_ptpoos, 1u);
    EXPECT_EQ(At(0x380 + 100).timestamp, kUtc + 6 + 285); // still switch time
    Key(Kf(0x400, kUtc + 7, 1, 99));
    line(kUtc + 7, "Arista switch did resync with PTP protocol");
    EXPECT_EQ(A().arct_status, ATS_STATUS_ACTIVE);
    // A later loss gets a grace period of its own.
    g_now = 100000000000ull;
    Key(Kf(0x480, kUtc + 8, 1, 0));
    EXPECT_EQ(A().arct_status, ATS_STATUS_ACTIVE);
    EXPECT_EQ(A().arct_kf_ptp_wait, 107000000000ull);
    Key(Kf(0x500, kUtc + 9));
    EXPECT_EQ(A().arct_kf_ptp_wait, 0u);

    // Two bytes short: counted and reported, nothing else changes.
    std::vector<uint8_t> shorter = KeyframeBytes(Kf(1, 1), false);
    shorter.resize(shorter.size() - 2);
    Feed(WithTrailer(shorter, 1));
    want += "kpt.0.0    ---: Arista switch sent malformed IP PROTO 253 packet, expected=80 got=78.\n";
    EXPECT_EQ(A().arct_stats.arst_kfmalformed, 1u);
    EXPECT_EQ(A().arct_lastkf.ak_utc_time, kUtc + 9);
    EXPECT_EQ(A().arct_status, ATS_STATUS_ACTIVE);

    // Three changes of bit 30 without a keyframe: more than one wrap.
    At(0x40000500);
    At(0x00000400);
    EXPECT_EQ(A().arct_status, ATS_STATUS_ACTIVE);
    r = At(0x40000400);
    line(r.timestamp, "Arista switch keyframe shortage beginning");
    EXPECT_EQ(A().arct_status, ATS_STATUS_NEED_KEYFRAME);
    EXPECT_EQ(A().arct_stats.arst_kfneeded, 1u);
    EXPECT_EQ(A().arct_stats.arst_flips, 3u);
    At(0x00000400); // a fourth flip: still one shortage
    EXPECT_EQ(A().arct_stats.arst_kfneeded, 1u);
    Key(Kf(0x600, kUtc + 10));
    line(kUtc + 10, "Arista switch keyframe shortage ended");
    EXPECT_EQ(A().arct_status, ATS_STATUS_ACTIVE);
    EXPECT_EQ(A().arct_kf_flipped, 0u);
    EXPECT_EQ(WithoutTid(cap.Finish()), want);

    p_.debug_mask = KPT_DEBUG_PARAM;
    kpttest::StderrCapture fini;
    kpt__ats_fini(&rx_);
    EXPECT_EQ(WithoutTid(fini.Finish()),
              "kpt.0.0  P Arista stats: KF [recv 11, flips 4, shortages 1, malformed 1] "
              "Sw [ptp out of sync. 1, unsupp. 1, dropped frm 0, neg_adj_events 0]\n");
}

TEST_F(AtsDecoderTest, RateAndPtpChecksCanBeTurnedOff)
{
    setenv("QUOR_ARISTA_PARAM_KF_CHECK_PTP", "0", 1);
    setenv("QUOR_ARISTA_PARAM_KF_CHECK_RATE", "0", 1);
    ASSERT_NO_FATAL_FAILURE(Init());
    g_now = 0;
    Key(Kf(0, kUtc, 1, 0));
    g_now = 100000000000ull;
    Key(Kf(1, kUtc, 1, 0));
    for (uint32_t t : {0x40000000u, 0u, 0x40000000u, 0u}) At(t);
    EXPECT_EQ(A().arct_status, ATS_STATUS_ACTIVE);
    EXPECT_EQ(A().arct_stats.arst_flips, 4u);
    EXPECT_EQ(A().arct_stats.arst_kfneeded + A().arct_stats.arst_ptpoos, 0u);
}

TEST_F(AtsDecoderTest, DebugLinesOfKeyframesAndFrames)
{
    ASSERT_NO_FATAL_FAILURE(Init());
    p_.debug_mask = KPT_DEBUG_WARN | 0x40;
    KeyframeFields k = Kf((3ull << 31) | 0x80, kUtc, 1, 42);
    k.kf_ts = kUtc;
    k.drops = 6;
    k.id = 1;
    k.swport = 3;
    kpttest::StderrCapture cap;
    Key(k);
    Feed(WithTrailer(UdpBytes(60, 7), 0x80, true));
    // Reported before the first keyframe switches the ring's time over.
    EXPECT_EQ(WithoutTid(cap.Finish()),
              "kpt.0.0  A KF received, active: 0, status: 0\n"
              "kpt.0.0  A KF: asicTS:128, asic:6442451072, utc:1700000000000000000, sync:42, \n"
              "?                 skew_num:0, skew_denom:0, keyf:1700000000000000000, drops:6, id:1, "
              "swport:3, fcs_type:1\n"
              "kpt.0.0  A raw ts: 0x00000180, asic ts: 00000128, computed: 1700000000000000000, "
              "pktlen=64\n");
}

TEST(AtsKind, FramesTooShortToTellAreLeftAlone)
{
    std::vector<uint8_t> kf = WithTrailer(KeyframeBytes(KeyframeFields{}, false), 0);
    kpt_recv_req r = {};
    r.pkt_addr = kf.data();
    for (uint32_t len = 0; len <= kf.size(); ++len) {
        r.length = len;
        const ats_kind want = len < 24 ? ATS_KIND_SHORT : ATS_KIND_KEYFRAME;
        EXPECT_EQ(kpt__ats_kind(&r), want) << len;
    }
    std::vector<uint8_t> v6(64, 0);
    v6[12] = 0x81;
    v6[16] = 0x86;
    v6[17] = 0xdd;
    v6[18 + 6] = 253;
    r.pkt_addr = v6.data();
    r.length = 24;
    EXPECT_EQ(kpt__ats_kind(&r), ATS_KIND_SHORT);
    r.length = 25;
    EXPECT_EQ(kpt__ats_kind(&r), ATS_KIND_KEYFRAME);
    v6[16] = 0x08;
    v6[17] = 0x06; // ARP behind the tag
    EXPECT_EQ(kpt__ats_kind(&r), ATS_KIND_FRAME);
}

// ===========================================================================
// Rings
// ===========================================================================

// Writes descriptors and frames into a ring whose port is stopped, as the
// adapter would (8-byte slot header, frame, 4 FCS bytes).
class DescWriter {
public:
    explicit DescWriter(kpt__rx *rx) : rx_(rx)
    {
        EXPECT_EQ(mprotect(reinterpret_cast<void *>(rx->rx_map.map_rx_desc_ring),
                           rx->rx_map.map_rx_desc_ring_size, PROT_READ | PROT_WRITE),
                  0);
        idx_ = rx->rx_s->evq.evq_next_idx;
        seq_ = uint8_t(rx->rx_s->evq.evq_seqnum);
        off_ = rx->rx_s->recvq.rq_data_off;
        n_ = rx->rx_s->evq.evq_last_idx + 1;
    }
    void Put(const std::vector<std::vector<uint8_t>> &frames)
    {
        uint8_t *ring = reinterpret_cast<uint8_t *>(rx_->rx_map.map_rx_data);
        nfw_kpt_rx_desc_t *d = &rx_->evq_base[idx_];
        memset(d, 0, sizeof *d);
        uint32_t total = 0;
        for (size_t i = 0; i < frames.size(); ++i) {
            const uint32_t len = uint32_t(frames[i].size()) + 4;
            memset(ring + off_ + total, 0xee, 8);
            memcpy(ring + off_ + total + 8, frames[i].data(), frames[i].size());
            d->pkt_lens[i] = htobe16(uint16_t(len));
            total += quor_kpt_rpd_length_up(len);
        }
        const uint64_t ticks = rx_->nticks.ticks + 1000;
        d->timestamp_high = htobe32(uint32_t(ticks >> 32));
        d->timestamp_low = htobe32(uint32_t(ticks));
        d->total_len = htobe16(uint16_t(total));
        d->pkt_cnt = uint8_t(frames.size());
        std::atomic_ref<uint8_t>(d->seqnum).store(seq_, std::memory_order_release);
        off_ += total;
        idx_ = idx_ + 1 == n_ ? 0 : idx_ + 1;
        seq_ = seq_ == 255 ? 1 : uint8_t(seq_ + 1);
    }

private:
    kpt__rx *rx_;
    uint32_t idx_, n_;
    uint8_t seq_;
    uint64_t off_;
};

class AtsRingTest : public kpttest::KptSimTest {
protected:
    void SetUp() override
    {
        KptSimTest::SetUp();
        ClearEnv();
        setenv("QUOR_ARISTA_ENABLE_TIMESTAMPING", "1", 1);
    }
    void TearDown() override
    {
        for (kpt_ring_t r : rings_) {
            EXPECT_EQ(kpt_ring_close(r), 0);
        }
        if (h_) {
            EXPECT_EQ(kpt_close(h_), 0);
        }
        ClearEnv();
        KptSimTest::TearDown();
    }
    // Opens the port (not started) with num_rings rings, or a group over
    // the ports of a mask.
    void Open(int nrings = 1, int flags = -1, uint32_t port = 0)
    {
        ASSERT_NO_FATAL_FAILURE(Init());
        ASSERT_EQ(kpt_open(port, nrings, nullptr, 1 << 20, flags, &h_), 0);
        const int rings = (flags & KPT_F_AGGREGATE_PORTMASK) && flags != -1 ? 1 : nrings;
        for (int i = 0; i < rings; ++i) {
            kpt_ring_t r = nullptr;
            ASSERT_EQ(kpt_ring_open_id(h_, i, &r), 0);
            rings_.push_back(r);
        }
    }
    static kpt__rx *Rx(kpt_ring_t r) { return &r->u.ring.rx; }
    static std::vector<uint8_t> Frame(uint32_t t, uint8_t tag, uint32_t len = 64)
    {
        return WithTrailer(UdpBytes(len - 4, tag), t);
    }
    static std::vector<uint8_t> Kframe(uint64_t asic, uint64_t utc)
    {
        KeyframeFields k;
        k.asic = asic;
        k.utc = utc;
        k.sync = 1;
        return WithTrailer(KeyframeBytes(k, false), uint32_t(asic));
    }
    static uint8_t Tag(const kpt_recv_req &r) { return static_cast<uint8_t *>(r.pkt_addr)[40]; }

    kpt_handle_t h_ = nullptr;
    std::vector<kpt_ring_t> rings_;
    kpt_recv_req req_ = {};
};

TEST_F(AtsRingTest, KeyframesAreConsumedAndNeverMakeACallerWait)
{
    ASSERT_NO_FATAL_FAILURE(Open());
    kpt_ring_t r = rings_[0];
    EXPECT_EQ(r->ring_recv_fn, ring_recv_uniq_ats);
    DescWriter w(Rx(r));
    w.Put({Frame(5, 1), Kframe(100, kUtc), Frame(110, 2), Frame(129, 3)});

    ASSERT_EQ(kpt_ring_recv(r, 0, &req_), 0);
    EXPECT_EQ(Tag(req_), 1);
    EXPECT_EQ(req_.length, 60u);
    EXPECT_GT(req_.timestamp, uint64_t(kpttest::RealNs()) - 60000000000ull); // adapter time
    // The keyframe: consumed, EAGAIN though frames follow, everything released.
    EXPECT_EQ(kpt_ring_recv(r, 0, &req_), EAGAIN);
    const kpt__rx_recvq &q = Rx(r)->rx_s->recvq;
    EXPECT_EQ(q.rq_data_tail, q.rq_data_head);
    EXPECT_EQ(q.stats.rq_pkt_cnt, 1u);
    ASSERT_EQ(kpt_ring_recv(r, 0, &req_), 0);
    EXPECT_EQ(Tag(req_), 2);
    EXPECT_EQ(req_.timestamp, kUtc + 28);
    EXPECT_EQ(req_.length, 60u);

    // A blocking call meeting a keyframe takes the frame behind it at once.
    w.Put({Kframe(1000, kUtc + 5000), Frame(1029, 4)});
    ASSERT_EQ(kpt_ring_recv(r, 0, &req_), 0);
    EXPECT_EQ(Tag(req_), 3);
    const int64_t t0 = kpttest::MonoNs();
    ASSERT_EQ(kpt_ring_recv(r, 3000, &req_), 0);
    EXPECT_LT(kpttest::MonoNs() - t0, 1000000000);
    EXPECT_EQ(Tag(req_), 4);
    EXPECT_EQ(req_.timestamp, kUtc + 5000 + 82);
    EXPECT_EQ(Rx(r)->ats.arct_stats.arst_kfrecv, 2u);

    // A batched attempt keeps the keyframe's space pending instead.
    w.Put({Kframe(2000, kUtc + 9000), Frame(2029, 5)});
    const uint64_t tail = q.rq_data_tail;
    EXPECT_EQ(r->ring_recv_fn(r, 0, 0, &req_), EAGAIN);
    EXPECT_EQ(q.rq_data_tail, tail + 0); // the frame before it is still borrowed
    EXPECT_EQ(Rx(r)->rq_pend_drop_size, quor_kpt_rpd_length_up(84 + 4));
    ASSERT_EQ(r->ring_recv_fn(r, 0, 1, &req_), 0);
    EXPECT_EQ(Tag(req_), 5);

    // Nor does a waiting batch: a keyframe first in its descriptor is
    // consumed and the frames behind it are taken at once.
    w.Put({Kframe(3000, kUtc + 13000), Frame(3029, 6), Frame(3030, 7)});
    kpt_recv_req v[8] = {};
    int n = 0;
    const int64_t t1 = kpttest::MonoNs();
    ASSERT_EQ(kpt_ring_recv_many(r, 1500, v, 8, &n, nullptr), 0);
    EXPECT_LT(kpttest::MonoNs() - t1, 1000000000);
    ASSERT_EQ(n, 2);
    EXPECT_EQ(Tag(v[0]), 6);
    EXPECT_EQ(Tag(v[1]), 7);
    EXPECT_EQ(v[1].timestamp, kUtc + 13000 + 85);
    // Without a wait allowed it answers as a single receive does.
    w.Put({Kframe(4000, kUtc + 17000), Frame(4029, 8)});
    EXPECT_EQ(kpt_ring_recv_many(r, 0, v, 8, &n, nullptr), EAGAIN);
    ASSERT_EQ(kpt_ring_recv_many(r, 0, v, 8, &n, nullptr), 0);
    ASSERT_EQ(n, 1);
    EXPECT_EQ(Tag(v[0]), 8);

    // The ring's count is of packets handed out: the five keyframes it
    // consumed are not in it.
    EXPECT_EQ(Rx(r)->ats.arct_stats.arst_kfrecv, 5u);
    kpt_ring_stats st = {};
    ASSERT_EQ(kpt_ring_getstats(r, &st), 0);
    EXPECT_EQ(st.ring_pkt_recv, 8u);
    EXPECT_EQ(q.stats.rq_pkt_length, 8u * 60);
}

TEST_F(AtsRingTest, DeliveredKeyframesCarryTheirUtcTime)
{
    setenv("QUOR_ARISTA_PARAM_KF_RECEIVE", "1", 1);
    ASSERT_NO_FATAL_FAILURE(Open());
    kpt_ring_t r = rings_[0];
    DescWriter w(Rx(r));
    w.Put({Kframe(100, kUtc), Frame(100, 1)});
    ASSERT_EQ(kpt_ring_recv(r, 0, &req_), 0);
    EXPECT_EQ(req_.length, 80u);
    EXPECT_EQ(req_.timestamp, kUtc);
    EXPECT_EQ(static_cast<uint8_t *>(req_.pkt_addr)[23], 253);
    ASSERT_EQ(kpt_ring_recv(r, 0, &req_), 0);
    EXPECT_EQ(req_.timestamp, kUtc);
    EXPECT_EQ(Rx(r)->rx_s->recvq.stats.rq_pkt_cnt, 2u);
}

TEST_F(AtsRingTest, EveryRingOfASharedQueueFollowsTheKeyframesOneDeliversThem)
{
    setenv("QUOR_ARISTA_PARAM_KF_RECEIVE", "1", 1);
    ASSERT_NO_FATAL_FAILURE(Open(2));
    ASSERT_EQ(rings_[0]->ring_recv_fn, ring_recv_shared_ats);
    DescWriter w(Rx(rings_[0]));
    std::vector<std::vector<uint8_t>> frames = {Kframe(100, kUtc)};
    for (uint8_t i = 0; i < 8; ++i) {
        std::vector<uint8_t> f = Frame(129 + i, uint8_t(10 + i));
        f[29] = i; // source address: spread over the rings
        frames.push_back(f);
    }
    w.Put(frames);
    int keyframes = 0, others = 0;
    for (kpt_ring_t r : rings_) {
        while (kpt_ring_recv(r, 0, &req_) == 0) {
            if (req_.length == 80) {
                ++keyframes;
                EXPECT_EQ(req_.timestamp, kUtc);
            } else {
                ++others;
                EXPECT_EQ(req_.timestamp, kUtc + uint64_t((29 + Tag(req_) - 10) *
                                                          2.857142857142857));
            }
        }
        EXPECT_EQ(Rx(r)->ats.arct_status, ATS_STATUS_ACTIVE);
        EXPECT_EQ(Rx(r)->ats.arct_stats.arst_kfrecv, 1u);
    }
    EXPECT_EQ(keyframes, 1);
    EXPECT_EQ(others, 8);
}

TEST_F(AtsRingTest, GroupMembersDecodeTheirOwnPorts)
{
    ASSERT_NO_FATAL_FAILURE(Open(1, KPT_F_AGGREGATE_PORTMASK, 0x3));
    kpt_ring_t g = rings_[0];
    ASSERT_EQ(g->type, KPT_H_RING_GROUP);
    kpt_ring *m0 = g->u.group.ports[0].ring, *m1 = g->u.group.ports[1].ring;
    DescWriter w0(Rx(m0)), w1(Rx(m1));
    // Port 1's switch time is earlier although port 0 was written first.
    w0.Put({Kframe(0, kUtc), Frame(100, 1), Frame(300, 3)});
    w1.Put({Kframe(0, kUtc), Frame(200, 2)});
    std::vector<int> tags;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(kpt_ring_recv(g, 200, &req_), 0) << i;
        EXPECT_EQ(req_.length, 60u);
        tags.push_back(Tag(req_));
    }
    EXPECT_EQ(tags, (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(req_.timestamp, kUtc + 857);
    EXPECT_EQ(Rx(m1)->ats.arct_status, ATS_STATUS_ACTIVE);
}

TEST_F(AtsRingTest, ReceiveFunctionOfEachQueueMode)
{
    ASSERT_NO_FATAL_FAILURE(Open(2, KPT_F_DUP));
    for (kpt_ring_t r : rings_) {
        EXPECT_EQ(r->ring_recv_fn, ring_recv_uniq_ats);
        EXPECT_EQ(Rx(r)->pq_mode, P_DUP);
        EXPECT_EQ(kpt_ring_close(r), 0);
    }
    rings_.clear();
    EXPECT_EQ(kpt_close(h_), 0);
    h_ = nullptr;
    // A ring of an application id never decodes.
    ASSERT_EQ(kpt_set_app_id(5), 0);
    ASSERT_EQ(kpt_open(0, 2, nullptr, 1 << 20, -1, &h_), 0);
    kpt_ring_t r = nullptr;
    ASSERT_EQ(kpt_ring_open_id(h_, 0, &r), 0);
    rings_.push_back(r);
    EXPECT_EQ(r->ring_recv_fn, ring_recv_shared);
    EXPECT_EQ(Rx(r)->ats.arct_status, ATS_STATUS_INITED);
}

}  // namespace
