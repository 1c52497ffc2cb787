// Frame sources of the simulated wire: the Ethernet CRC, the traffic
// generator (frame contents, length and port orders, pacing against
// synthetic time) and capture-file replay, including refusal of damaged
// files and bad settings.
#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <cstring>
#include <functional>
#include <map>
#include <random>
#include <set>

#include "sim_wire.h"
#include "sim_wire_impl.h"
#include "test_support.h"

using namespace quorsim;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int64_t kMs = 1'000'000;
constexpr int64_t kT0 = 5'000'000'000; // an arbitrary monotonic start
constexpr int64_t kFarAway = INT64_MAX / 2;

// One bit at a time, straight from the definition.
uint32_t BitwiseCrc(const uint8_t *p, size_t n, uint32_t crc = 0)
{
    uint32_t r = ~crc;
    for (size_t i = 0; i < n; ++i) {
        r ^= p[i];
        for (int k = 0; k < 8; ++k) r = (r >> 1) ^ (0xEDB88320u & (0u - (r & 1)));
    }
    return ~r;
}

Bytes RandomBytes(size_t n, uint32_t seed)
{
    std::mt19937 g(seed);
    Bytes v(n);
    for (auto &b : v) b = uint8_t(g());
    return v;
}

Bytes FrameBytes(const Frame &f)
{
    Bytes v(f.seg[0], f.seg[0] + f.seg_len[0]);
    if (f.seg_len[1]) v.insert(v.end(), f.seg[1], f.seg[1] + f.seg_len[1]);
    return v;
}

uint32_t Be16(const uint8_t *p) { return uint32_t(p[0]) << 8 | p[1]; }
uint32_t Be32(const uint8_t *p) { return Be16(p) << 16 | Be16(p + 2); }

// The receive tests' check of the test packet: the length field (a 60-byte
// frame may carry padding, so there it may say 48 to 60), then the payload
// words 0, 1, 2, ...
std::string TestPacketFault(const Bytes &f)
{
    uint32_t len = uint32_t(f.size()), msg = Be32(&f[44]), checked = len;
    if (len == 60 && (msg < 48 || msg > 60)) return "length field " + std::to_string(msg);
    if (len == 60) checked = msg;
    if (len != 60 && msg != len) return "length field " + std::to_string(msg);
    for (uint32_t i = 0; i < checked / 4 - 12; ++i) {
        uint32_t w;
        memcpy(&w, &f[48 + 4 * i], 4);
        if (w != i) return "payload word " + std::to_string(i) + " is " + std::to_string(w);
    }
    return "";
}

bool IpChecksumOk(const uint8_t *ip)
{
    uint32_t sum = 0;
    for (int i = 0; i < 20; i += 2) sum += Be16(ip + i);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return sum == 0xffff;
}

std::unique_ptr<FrameSource> Make(const std::string &spec, bool start = true)
{
    std::string err;
    auto s = make_source(spec, SourceDefaults{}, &err);
    EXPECT_TRUE(s) << spec << ": " << err;
    if (s && start) s->start(0);
    return s;
}

std::string Refusal(const std::string &spec)
{
    std::string err;
    EXPECT_FALSE(make_source(spec, SourceDefaults{}, &err)) << spec;
    EXPECT_EQ(err.find('\n'), std::string::npos) << err;
    return err;
}

// Everything a source hands out up to now_ns, pulled max at a time; every
// frame's FCS is checked against its bytes.
std::vector<Bytes> Drain(FrameSource &s, int64_t now_ns, int64_t *next = nullptr, size_t max = 64)
{
    std::vector<Bytes> out;
    Frame buf[256];
    int64_t due = 0;
    for (size_t n; (n = s.pull(now_ns, buf, max, &due)) > 0;) {
        for (size_t i = 0; i < n; ++i) {
            out.push_back(FrameBytes(buf[i]));
            EXPECT_EQ(buf[i].fcs, crc32_eth(out.back().data(), out.back().size()));
        }
        if (due < 0 || due > now_ns) break;
    }
    if (next) *next = due;
    return out;
}

// ---------------------------------------------------------------------------
// CRC
// ---------------------------------------------------------------------------

TEST(WireCrc, KnownAnswersAndContinuation)
{
    EXPECT_EQ(crc32_eth("123456789", 9), 0xCBF43926u);
    EXPECT_EQ(crc32_eth("", 0), 0u);
    // A frame followed by its FCS (least significant byte first) leaves the
    // fixed residue.
    uint8_t z[64] = {};
    uint32_t fcs = crc32_eth(z, 60);
    for (int i = 0; i < 4; ++i) z[60 + i] = uint8_t(fcs >> (8 * i));
    EXPECT_EQ(crc32_eth(z, 64), 0x2144DF1Cu);

    auto d = RandomBytes(3000, 1);
    for (size_t cut : {0, 1, 7, 64, 129, 1500, 3000})
        EXPECT_EQ(crc32_eth(d.data() + cut, d.size() - cut, crc32_eth(d.data(), cut)),
                  crc32_eth(d.data(), d.size()));
}

// Every length from 0 to past the longest frame with its FCS (9022 bytes),
// aligned and misaligned, through the public function and both
// implementations behind it; other alignments at a sample of lengths.  The
// folding one takes 64 bytes a step and the table one 8, so every remainder
// of both, and every length where the fold starts, is covered.
TEST(WireCrc, MatchesBitwiseAtEveryLength)
{
    constexpr size_t kMax = kWireMaxFrame + 200;
    auto data = RandomBytes(kMax + 16, 2);
    for (size_t align : {0, 13, 1, 2, 3, 8}) {
        const bool every = align == 0 || align == 13;
        const uint8_t *p = data.data() + align;
        uint32_t want = 0; // bitwise CRC of the first n bytes
        for (size_t n = 0; n <= kMax; want = BitwiseCrc(p + n, 1, want), ++n) {
            if (!every && n > 300 && n % 7 != 0 && n != kMax) continue;
            ASSERT_EQ(crc32_eth(p, n), want) << "len " << n << " align " << align;
            ASSERT_EQ(~crc32_raw_table(~0u, p, n), want) << "len " << n;
            ASSERT_TRUE(!clmul_available() || ~crc32_raw_fold(~0u, p, n) == want) << "len " << n;
        }
    }
    EXPECT_EQ(crc32_eth(data.data(), 5000, 0x12345678u),
              BitwiseCrc(data.data(), 5000, 0x12345678u));
}

TEST(WireCrc, CombineEqualsCrcOfConcatenation)
{
    auto data = RandomBytes(40000, 3);
    std::mt19937 g(4);
    std::vector<size_t> lens = {0, 1, 3, 48, 8970, 9018, 9019, 12345, 39999};
    for (int i = 0; i < 60; ++i) lens.push_back(g() % 40000);
    for (size_t lb : lens) {
        size_t la = g() % (40000 - lb);
        uint32_t a = crc32_eth(data.data(), la), b = crc32_eth(data.data() + la, lb);
        ASSERT_EQ(crc32_eth_combine(a, b, lb), BitwiseCrc(data.data(), la + lb)) << la << "+" << lb;
    }
}

// ---------------------------------------------------------------------------
// generator: frame contents
// ---------------------------------------------------------------------------

// Every length from 60 to 9018, in order, then round again: each frame is
// a valid test packet with consistent headers and the right FCS.
TEST(WireGen, EveryLengthIsAValidTestPacket)
{
    const uint32_t total = 9018 - 60 + 1;
    auto s = Make("gen:len=60-9018:seq,count=" + std::to_string(total + 3));
    SourceDefaults defs;
    Frame buf[100];
    int64_t due = 0;
    uint32_t i = 0;
    while (size_t n = s->pull(kFarAway, buf, 100, &due)) {
        for (size_t k = 0; k < n; ++k, ++i) {
            auto b = FrameBytes(buf[k]);
            uint32_t len = 60 + i % total;
            ASSERT_EQ(b.size(), len);
            ASSERT_EQ(buf[k].len, len);
            ASSERT_EQ(TestPacketFault(b), "") << len;
            ASSERT_EQ(buf[k].fcs, crc32_eth(b.data(), b.size())) << len;
            ASSERT_TRUE((len % 997 && len != 9018) || buf[k].fcs == BitwiseCrc(b.data(), b.size()))
                << len;
            ASSERT_TRUE(memcmp(&b[0], defs.dst_mac, 6) == 0 && memcmp(&b[6], defs.src_mac, 6) == 0);
            ASSERT_EQ(Be16(&b[12]), 0x0800u);
            ASSERT_TRUE(IpChecksumOk(&b[14])) << len;
            ASSERT_EQ(Be16(&b[16]), len - 14) << "IPv4 total length";
            ASSERT_EQ(Be32(&b[26]), 0x0a2a2a0bu);
            ASSERT_EQ(Be32(&b[30]), 0x0a2a2a0au);
            ASSERT_EQ(Be32(&b[34]), 1234u << 16 | 9) << "UDP ports";
            ASSERT_EQ(Be32(&b[38]), (len - 34) << 16) << "UDP length, checksum 0";
            ASSERT_EQ(Be16(&b[42]), 0x706bu);
        }
    }
    EXPECT_EQ(i, total + 3);
    EXPECT_EQ(due, -1);
}

TEST(WireGen, HeaderMatchesTheInjectionTemplate)
{
    // The injection tool's fixed IPv4 header is that of a 64-byte frame.
    auto f = Drain(*Make("gen:len=64,dmac=00:11:22:33:44:55,smac=66:77:88:99:aa:bb"), 0).at(0);
    const uint8_t hdr[] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55, 0x66, 0x77, 0x88, 0x99, 0xaa, 0xbb,
                           0x08, 0x00, 0x45, 0x00, 0x00, 0x32, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                           0xd2, 0x52, 0x0a, 0x2a, 0x2a, 0x0b, 0x0a, 0x2a, 0x2a, 0x0a};
    EXPECT_EQ(memcmp(f.data(), hdr, sizeof hdr), 0);
}

TEST(WireGen, RangesRandomAndSequential)
{
    const std::string spec = "gen:len=100-110,sport=5000-5003:seq,dport=7-9:rand,count=3000,seed=7";
    auto frames = Drain(*Make(spec), kFarAway);
    ASSERT_EQ(frames.size(), 3000u);
    std::map<uint32_t, int> lens;
    std::set<uint32_t> dports;
    for (size_t i = 0; i < frames.size(); ++i) {
        lens[uint32_t(frames[i].size())]++;
        dports.insert(Be16(&frames[i][36]));
        ASSERT_EQ(Be16(&frames[i][34]), 5000 + i % 4) << "sequential source port, frame " << i;
        ASSERT_EQ(TestPacketFault(frames[i]), "");
    }
    ASSERT_EQ(lens.size(), 11u);
    EXPECT_EQ(lens.begin()->first, 100u);
    EXPECT_EQ(lens.rbegin()->first, 110u);
    for (auto &[len, n] : lens) EXPECT_GT(n, 150) << "length " << len << " drawn too rarely";
    EXPECT_EQ(dports, (std::set<uint32_t>{7, 8, 9}));

    // The same seed gives the same frames; another seed does not.
    EXPECT_EQ(Drain(*Make(spec), kFarAway), frames);
    EXPECT_NE(Drain(*Make(spec.substr(0, spec.size() - 1) + "8"), kFarAway), frames);
}

TEST(WireGen, FlowsSpreadSourceAddressesAndPorts)
{
    auto frames = Drain(*Make("gen:flows=300,count=900"), kFarAway);
    ASSERT_EQ(frames.size(), 900u);
    std::set<uint32_t> ips, ports;
    for (size_t i = 0; i < frames.size(); ++i) {
        uint32_t f = uint32_t(i % 300);
        ASSERT_EQ(Be32(&frames[i][26]), 0x0a2a2a0bu + f) << i;
        ASSERT_EQ(Be16(&frames[i][34]), 1234 + f) << i;
        ASSERT_TRUE(IpChecksumOk(&frames[i][14])) << i;
        ips.insert(Be32(&frames[i][26]));
        ports.insert(Be16(&frames[i][34]));
    }
    EXPECT_EQ(ips.size(), 300u);
    EXPECT_EQ(ports.size(), 300u);

    // With a source port range the port is drawn; the address follows the flow.
    auto r = Drain(*Make("gen:flows=3,sport=100-200,count=30"), kFarAway);
    for (size_t i = 0; i < r.size(); ++i) {
        EXPECT_EQ(Be32(&r[i][26]), 0x0a2a2a0bu + i % 3);
        EXPECT_TRUE(Be16(&r[i][34]) >= 100 && Be16(&r[i][34]) <= 200);
    }
}

// ---------------------------------------------------------------------------
// generator: pacing, driven by synthetic time
// ---------------------------------------------------------------------------

TEST(WireGen, PacesToTheRateAndNeverEarly)
{
    auto s = Make("gen:pps=1000", false);
    s->start(kT0);
    int64_t next;
    size_t total = 0;
    for (int ms = 0; ms <= 20; ++ms) {
        total += Drain(*s, kT0 + ms * kMs, &next).size();
        EXPECT_EQ(total, size_t(ms + 1)) << "after " << ms << " ms";
        EXPECT_EQ(next, kT0 + (ms + 1) * kMs);
        EXPECT_EQ(Drain(*s, next - 1).size(), 0u); // just before it is due
    }
    EXPECT_EQ(s->produced(), 21u);

    // Thirds of a second land on the second exactly: fractions are carried.
    auto third = Make("gen:pps=3");
    std::vector<int64_t> dues = {0};
    for (int i = 0; i < 6; ++i) {
        Drain(*third, dues.back(), &next);
        dues.push_back(next);
    }
    EXPECT_EQ(dues, (std::vector<int64_t>{0, 333333333, 666666666, 1000000000, 1333333333,
                                          1666666666, 2000000000}));

    // Line rate with 60-byte frames: one every 67.2 ns.
    EXPECT_EQ(Drain(*Make("gen:rate=line"), 1 * kMs, &next, 256).size(), 14881u);
    EXPECT_EQ(next, 1000003); // frame 14881 at 14881 * 67.2 ns
    // 1 Gb/s of 1514-byte frames: 12304 ns each.
    EXPECT_EQ(Drain(*Make("gen:gbps=1,len=1514"), 1 * kMs, &next).size(), 82u);
    EXPECT_EQ(next, 82 * 12304);
}

// Mixed lengths at a bit rate: frame k is due when frames 0..k-1 have had
// their bits' time.  At a packet rate no line could carry for long frames,
// those leave as soon as their bits allow.
TEST(WireGen, MixedLengthsTakeTheirTimeOnTheWire)
{
    auto s = Make("gen:gbps=2.5,len=60-9018,seed=3");
    int64_t next;
    uint64_t bits = 0, last = 0;
    for (int64_t t = 0; t <= 10 * kMs; t += 333333)
        for (auto &f : Drain(*s, t, &next)) {
            last = (f.size() + kWireOverhead) * 8;
            bits += last;
        }
    EXPECT_EQ(next, int64_t(bits * 2 / 5)); // ns at 2.5 Gb/s
    EXPECT_GT(next, 10 * kMs);
    EXPECT_LE(next - int64_t(last * 2 / 5), 10 * kMs + 1);

    auto p = Make("gen:pps=2000000,len=60-1514:seq,count=2000");
    Frame f;
    int64_t due = 0, prev = 0;
    for (int i = 0; i < 1999; ++i, prev = due) {
        ASSERT_EQ(p->pull(kFarAway, &f, 1, &due), 1u);
        double want = std::max(500.0, (f.len + kWireOverhead) * 0.8);
        ASSERT_TRUE(due - prev >= std::floor(want) && due - prev <= std::ceil(want))
            << f.len << " bytes";
    }
}

TEST(WireGen, CountEndsTheSourceAndStallsLoseNothing)
{
    auto s = Make("gen:pps=1000,count=5");
    int64_t next;
    EXPECT_EQ(Drain(*s, 2 * kMs, &next).size(), 3u);
    EXPECT_EQ(next, 3 * kMs);
    EXPECT_EQ(Drain(*s, kFarAway, &next).size(), 2u);
    EXPECT_EQ(next, -1);
    Frame f;
    EXPECT_EQ(s->pull(kFarAway, &f, 1, &next), 0u);
    EXPECT_EQ(next, -1);
    EXPECT_EQ(s->produced(), 5u);

    // A consumer away for 10 s gets all 10001 frames, in order, in small
    // batches, then the schedule carries on where it was.
    auto g = Make("gen:pps=1000,len=60-70:seq");
    Frame buf[7];
    size_t total = 0;
    for (size_t n; (n = g->pull(10'000 * kMs, buf, 7, &next)) > 0; total += n) {
        for (size_t i = 0; i < n; ++i) ASSERT_EQ(buf[i].len, 60 + (total + i) % 11) << total + i;
        ASSERT_TRUE(total + n == 10001 || next <= 10'000 * kMs);
    }
    EXPECT_EQ(total, 10001u);
    EXPECT_EQ(next, 10'001 * kMs);
}

TEST(WireGen, RestartResumesFromTheNewStart)
{
    auto s = Make("gen:pps=1000", false);
    int64_t next;
    EXPECT_EQ(Drain(*s, kT0, &next).size(), 1u); // pulled unstarted: starts there
    EXPECT_EQ(Drain(*s, kT0 + 4 * kMs, &next).size(), 4u);
    // Stopped, started again at 100 ms: nothing for the pause.
    s->start(kT0 + 100 * kMs);
    EXPECT_EQ(Drain(*s, kT0 + 100 * kMs, &next).size(), 1u);
    EXPECT_EQ(next, kT0 + 101 * kMs);
    // A restart before the next frame is due does not bring it forward.
    s->start(kT0 + 100 * kMs + 10);
    EXPECT_EQ(Drain(*s, kT0 + 100 * kMs + 10, &next).size(), 0u);
    EXPECT_EQ(next, kT0 + 101 * kMs);
}

// ---------------------------------------------------------------------------
// generator settings
// ---------------------------------------------------------------------------

TEST(WireGen, SettingsAndDescription)
{
    EXPECT_EQ(Make("gen")->describe(),
              "gen:rate=line,len=60,sport=1234,dport=9,flows=1,count=0,seed=1,"
              "dmac=02:51:53:02:00:00,smac=02:51:53:ff:00:01");
    for (std::string spec :
         {"gen:", "gen:pps=2000000,len=60-1514,count=1000", "gen:gbps=2.5,len=100-200:seq",
          "gen:sport=1-65535,dport=0,flows=65535,seed=99", "gen:pps=14880952",
          "gen:gbps=10,len=9018,smac=a:b:c:d:e:f", "gen:count=18446744073709551615"}) {
        // The description is itself a setting that gives the same source.
        auto s = Make(spec);
        ASSERT_TRUE(s);
        auto again = Make(s->describe());
        ASSERT_TRUE(again) << s->describe();
        EXPECT_EQ(again->describe(), s->describe());
    }
    EXPECT_NE(Make("gen:gbps=2.5")->describe().find("gbps=2.5,"), std::string::npos);
    EXPECT_NE(Make("gen:len=60-70:seq")->describe().find("len=60-70:seq"), std::string::npos);
}

TEST(WireGen, BadSettingsAreRefusedWithAReason)
{
    const std::pair<const char *, const char *> bad[] = {
        {"gen:foo=1", "unknown setting 'foo'"},
        {"gen:len", "not KEY=VALUE"},
        {"gen:len=60,", "empty setting"},
        {"gen:len=60,len=61", "len given twice"},
        {"gen:len=59", "frame lengths are 60 to 9018"},
        {"gen:len=60-9019", "frame lengths are 60 to 9018"},
        {"gen:len=100-60", "minimum above maximum"},
        {"gen:len=60-100:up", "order must be rand or seq"},
        {"gen:len=60:seq", "needs a range"},
        {"gen:len=60-", "expected N or MIN-MAX"},
        {"gen:len=0x40", "expected N or MIN-MAX"},
        {"gen:sport=65536", "ports are 0 to 65535"},
        {"gen:pps=0", "above 0"},
        {"gen:pps=1e6", "whole number"},
        {"gen:pps=14880953", "above line rate for 60-byte frames (at most 14880952)"},
        {"gen:pps=1000000,len=1514-9018", "above line rate for 1514-byte frames (at most 812743)"},
        {"gen:gbps=0.0000000001", "above 0"},
        {"gen:gbps=10.01", "above line rate"},
        {"gen:gbps=nan", "decimal number"},
        {"gen:gbps=-1", "decimal number"},
        {"gen:rate=fast", "rate must be line"},
        {"gen:pps=10,gbps=1", "both set the rate"},
        {"gen:count=18446744073709551616", "frame count"},
        {"gen:count=-1", "frame count"},
        {"gen:flows=0", "flows are 1 to 65535"},
        {"gen:seed=x", "expected a number"},
        {"gen:dmac=00:11:22:33:44", "MAC address"},
        {"gen:smac=00:11:22:33:44:55:66", "MAC address"},
        {"gen:smac=000:11:22:33:44:55", "MAC address"},
        {"gen:smac=00::22:33:44:55", "MAC address"},
        {"gen:len=6\n0", "len=6?0"},
        {"genx:len=60", "unknown wire"},
        {"peer:1", "not a frame source"},
    };
    for (auto &[spec, want] : bad)
        EXPECT_NE(Refusal(spec).find(want), std::string::npos) << spec << " -> " << Refusal(spec);
}

// ---------------------------------------------------------------------------
// capture-file replay
// ---------------------------------------------------------------------------

struct Rec {
    uint32_t sec = 0, frac = 0;
    Bytes data;
    uint32_t incl = UINT32_MAX, orig = UINT32_MAX; // UINT32_MAX: data.size()
};

struct PcapFile {
    bool swap = false, nsec = false;
    uint32_t snaplen = 65535, link = 1, magic = 0; // magic 0: the one swap and nsec ask for
    std::vector<Rec> recs;

    Bytes bytes() const
    {
        Bytes out;
        auto put = [&](const void *p, size_t n) {
            out.resize(out.size() + n);
            if (n) memcpy(out.data() + out.size() - n, p, n);
        };
        auto u32 = [&](uint32_t v) {
            if (swap) v = __builtin_bswap32(v);
            put(&v, 4);
        };
        u32(magic ? magic : nsec ? 0xa1b23c4d : 0xa1b2c3d4);
        u32(swap ? 0x00020004 : 0x00040002); // version 2.4
        for (uint32_t v : {0u, 0u, snaplen, link}) u32(v);
        for (auto &r : recs) {
            for (uint32_t v :
                 {r.sec, r.frac, r.incl == UINT32_MAX ? uint32_t(r.data.size()) : r.incl,
                  r.orig == UINT32_MAX ? uint32_t(r.data.size()) : r.orig})
                u32(v);
            put(r.data.data(), r.data.size());
        }
        return out;
    }
};

class WirePcap : public ::testing::Test {
protected:
    std::string Write(const Bytes &b, const std::string &name = "")
    {
        char numbered[32];
        snprintf(numbered, sizeof numbered, "t%d.pcap", ++files_);
        std::string path = dir_.file(name.empty() ? numbered : name);
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(write(fd, b.data(), b.size()), ssize_t(b.size()));
        close(fd);
        return path;
    }
    std::string Spec(const PcapFile &f, const std::string &opts = "")
    {
        return "pcap:" + Write(f.bytes()) + opts;
    }
    static Bytes Data(size_t len, uint8_t tag)
    {
        Bytes v(len);
        for (size_t i = 0; i < len; ++i) v[i] = uint8_t(tag + i * 7);
        return v;
    }
    kpttest::TempDir dir_;
    int files_ = 0;
};

// Both byte orders and both resolutions, replayed with the file's spacing.
TEST_F(WirePcap, ReplaysEveryVariantWithItsSpacing)
{
    for (int variant = 0; variant < 4; ++variant) {
        SCOPED_TRACE(variant);
        PcapFile f;
        f.swap = variant & 1;
        f.nsec = variant & 2;
        uint32_t us = f.nsec ? 1000 : 1;
        f.recs = {{999, 999500 * us, Data(60, 1)},
                  {1000, 500 * us, Data(1514, 2)},
                  {1000, 2000 * us, Data(9018, 3)}};
        auto s = Make(Spec(f), false);
        s->start(kT0);
        int64_t next;
        EXPECT_EQ(Drain(*s, kT0, &next), std::vector<Bytes>{f.recs[0].data});
        EXPECT_EQ(next, kT0 + kMs);
        EXPECT_EQ(Drain(*s, kT0 + kMs - 1).size(), 0u);
        EXPECT_EQ(Drain(*s, kT0 + 2 * kMs, &next), std::vector<Bytes>{f.recs[1].data});
        EXPECT_EQ(next, kT0 + 2500 * 1000);
        EXPECT_EQ(Drain(*s, kT0 + 3 * kMs, &next), std::vector<Bytes>{f.recs[2].data});
        EXPECT_EQ(next, -1);
        EXPECT_EQ(s->produced(), 3u);
    }
}

TEST_F(WirePcap, PadsShortRecordsSkipsLongOnesAndDropsACapturedFcs)
{
    PcapFile f;
    f.snaplen = 262144;
    f.recs = {{1, 0, Data(42, 1)}, {1, 1, Data(9019, 2)}, {1, 2, Data(100, 3)}};
    auto s = Make(Spec(f, ",speed=max"));
    EXPECT_NE(s->describe().find("2 frames, 1 skipped over 9018 bytes"), std::string::npos)
        << s->describe();
    auto padded = f.recs[0].data;
    padded.resize(60, 0);
    EXPECT_EQ(Drain(*s, 0),
              (std::vector<Bytes>{padded, f.recs[2].data})); // FCS checked over the padding

    // A link type that says each frame ends in a 4-byte FCS: it is dropped
    // from whole frames (the adapter adds its own), not from cut ones.
    PcapFile g;
    g.link = 1 | 0x04000000 | (2u << 28);
    g.recs = {{1, 0, Data(104, 4)}, {1, 1, Data(96, 5)}};
    g.recs[1].orig = 1500;
    auto got = Drain(*Make(Spec(g, ",speed=max")), 0);
    EXPECT_EQ(got, (std::vector<Bytes>{Bytes(g.recs[0].data.begin(), g.recs[0].data.end() - 4),
                                       g.recs[1].data}));
}

TEST_F(WirePcap, LoopsAtFullSpeedAndInTime)
{
    PcapFile f;
    f.recs = {{10, 0, Data(64, 1)}, {10, 1000, Data(65, 2)}, {10, 2000, Data(66, 3)}};
    std::string spec = Spec(f);
    int64_t next;
    // As fast as pulled: three passes, then the end.
    auto got = Drain(*Make(spec + ",speed=max,loop=3"), 0, &next, 4);
    ASSERT_EQ(got.size(), 9u);
    for (size_t i = 0; i < 9; ++i) EXPECT_EQ(got[i].size(), 64 + i % 3);
    EXPECT_EQ(next, -1);

    // In time: a pass lasts 2 ms, the next starts one average gap (1 ms)
    // after the last frame.
    auto t = Make(spec + ",loop=2");
    std::vector<int64_t> when;
    for (int64_t now = 0; now <= 10 * kMs; now += kMs / 4)
        when.resize(when.size() + Drain(*t, now, &next).size(), now);
    EXPECT_EQ(when, (std::vector<int64_t>{0, kMs, 2 * kMs, 3 * kMs, 4 * kMs, 5 * kMs}));
    EXPECT_EQ(next, -1);

    // Forever, at twice the file's speed: one every 0.5 ms.
    EXPECT_EQ(Drain(*Make(spec + ",loop=0,speed=2"), 100 * kMs, &next).size(), 201u);
    EXPECT_EQ(next, 100 * kMs + kMs / 2);
}

TEST_F(WirePcap, FramesNeverCloserThanTheWireAllowsAndRestartCarriesOn)
{
    // 1514-byte frames stamped at the same instant leave 1230.4 ns apart
    // (1538 bytes at 10 Gb/s, rounded up), then the file's time rules again.
    PcapFile f;
    f.nsec = true;
    f.recs = {{5, 0, Data(1514, 1)},
              {5, 0, Data(1514, 2)},
              {5, 0, Data(1514, 3)},
              {5, 1000000, Data(60, 4)},
              {5, 3000000, Data(60, 5)}};
    auto s = Make(Spec(f));
    int64_t next;
    for (int64_t t : {0, 1231, 2462}) {
        EXPECT_EQ(Drain(*s, t, &next).size(), 1u);
        EXPECT_EQ(next, t == 2462 ? kMs : t + 1231);
    }
    EXPECT_EQ(Drain(*s, kMs, &next).size(), 1u);
    // Stopped, started again at 50 ms: the rest of the schedule moves along.
    s->start(50 * kMs);
    EXPECT_EQ(Drain(*s, 50 * kMs, &next).size(), 1u);
    EXPECT_EQ(next, -1);
}

TEST_F(WirePcap, DamagedFilesAreRefusedWithTheirFault)
{
    PcapFile good;
    good.recs = {{1, 0, Data(60, 1)}, {1, 5, Data(70, 2)}}; // the second record is at offset 100
    auto g = good.bytes();
    auto cut = [&](size_t n, const char *name) {
        return "pcap:" + Write(Bytes(g.begin(), g.begin() + n), name);
    };
    auto with = [&](std::function<void(PcapFile &)> change) {
        PcapFile f = good;
        change(f);
        return Spec(f);
    };
    const std::pair<std::string, std::string> cases[] = {
        {cut(0, "empty.pcap"), "empty.pcap: empty file"},
        {cut(10, "short.pcap"), "truncated file header (10 of 24 bytes)"},
        {cut(109, "cut1.pcap"), "record 2 at offset 100: truncated record header (9 of 16 bytes)"},
        {cut(g.size() - 1, "cut2.pcap"),
         "record 2 at offset 100: record runs past the end of the file (70 bytes, 69 left)"},
        {with([](PcapFile &f) { f.magic = 0x12345678; }), "not a pcap or pcapng file (magic 0x12345678)"},
        {with([](PcapFile &f) { f.magic = 0x0a0d0d0a; }),
         "block 1 at offset 0: section header with an unknown byte-order mark"},
        {with([](PcapFile &f) { f.link = 105; }), "link type 105 is not Ethernet"},
        {with([](PcapFile &f) { f.recs.clear(); }), "no records"},
        {with([](PcapFile &f) { f.recs[1].incl = 300000; }),
         "record 2 at offset 100: captured length 300000 above 262144"},
        // Nearly 4 GiB must not wrap any offset arithmetic.
        {with([](PcapFile &f) { f.recs[1].incl = 0xfffffff0u; }),
         "captured length 4294967280 above 262144"},
        {with([](PcapFile &f) { f.snaplen = 64; }),
         "record 2 at offset 100: captured length 70 above the snap length 64"},
        {with([](PcapFile &f) { f.recs[0].frac = 1000000; }),
         "record 1 at offset 24: timestamp fraction"},
        {with([](PcapFile &f) {
             f.recs.assign(1, {1, 0, Data(9100, 1)}), f.snaplen = 0;
         }),
         "longer than 9018"},
        {"pcap:" + dir_.file("missing.pcap"), "missing.pcap: No such file"},
        {"pcap:" + dir_.path(), "not a regular file"},
    };
    for (auto &[spec, want] : cases)
        EXPECT_NE(Refusal(spec).find(want), std::string::npos) << Refusal(spec);
}

TEST_F(WirePcap, BadSettingsAreRefused)
{
    PcapFile f;
    f.recs = {{1, 0, Data(60, 1)}};
    std::string spec = Spec(f);
    EXPECT_TRUE(Make(spec + ",speed=max,loop=5"));
    EXPECT_NE(Refusal("pcap:").find("needs a file name"), std::string::npos);
    EXPECT_NE(Refusal(spec + ",rate=line").find("unknown setting 'rate=line'"), std::string::npos);
    EXPECT_NE(Refusal(spec + ",loop").find("unknown setting"), std::string::npos);
    EXPECT_NE(Refusal(spec + ",loop=-1").find("number of passes"), std::string::npos);
    EXPECT_NE(Refusal(spec + ",speed=0").find("speed is max"), std::string::npos);
    EXPECT_NE(Refusal(spec + ",loop=1,loop=2").find("given twice"), std::string::npos);
}

}  // namespace
