// Receive-side scaling hash: known answers, the parse through tags, labels
// and tunnels, direction symmetry, and reads that stay inside the frame for
// short, truncated and crafted frames.
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "kpt_internal.h"
#include "lib_state.h"
#include "quor_rss.h"
#include "rss_frames.h"

using namespace rssf;

namespace {

constexpr uint32_t kIP = KPT_RSS_IP, kSrc = KPT_RSS_SRC_PORT, kDst = KPT_RSS_DST_PORT,
                   kGtp = KPT_RSS_GTP, kGreF = KPT_RSS_GRE;
constexpr uint32_t kFlow = kIP | kSrc | kDst;
constexpr uint32_t kEvery = kIP | kSrc | kDst | kGtp | kGreF;

const uint32_t kA = Ip4(10, 0, 0, 1), kB = Ip4(10, 0, 0, 2);

uint32_t Hash(const Frame &f, uint32_t flags) { return quor_rss_hash(f.data(), f.size(), flags); }

// An address as the hash reads it: frame bytes taken little-endian.
uint32_t Word(uint32_t v) { return __builtin_bswap32(v); }

uint32_t FlowHash(uint32_t w1, uint32_t w2, uint32_t ports)
{
    return murmur_3words(std::min(w1, w2), std::max(w1, w2), ports);
}

Frame TcpV4(uint32_t src, uint32_t dst, uint16_t sp, uint16_t dp)
{
    return Frame().Eth(kIPv4).IPv4(src, dst, kTcp).Tcp(sp, dp).Pad();
}

// ---------------------------------------------------------------------------
// Mixing and header lengths

// The mixing as its description states it, written out plainly, to check
// the library's word functions against something other than themselves.
uint32_t ReferenceMix(std::initializer_list<uint32_t> words)
{
    const uint32_t m = 0x5BD1E995u;
    uint32_t h = 0;
    for (uint32_t k : words) {
        uint32_t km = k * m;
        h = (h * m) ^ ((km ^ (km >> 24)) * m);
    }
    h ^= h >> 13;
    h *= m;
    h ^= h >> 15;
    return h;
}

TEST(RssMix, KnownAnswers)
{
    // The published answer for a TCP flow, and the reference agrees with it.
    EXPECT_EQ(murmur_3words(0x0100000A, 0x0200000A, 0x00012204), 0xB4432568u);
    EXPECT_EQ(ReferenceMix({0x0100000A, 0x0200000A, 0x00012204}), 0xB4432568u);
    // Four words (a GTP flow) against the reference, over words with high
    // bits set, zeros and equal halves.
    std::mt19937 gen(7);
    auto rng = [&gen] { return uint32_t(gen()); };
    for (int i = 0; i < 64; ++i) {
        uint32_t w[4] = {rng(), rng(), i % 3 ? rng() : 0u, i % 5 ? rng() : 0xFFFFFFFFu};
        EXPECT_EQ(murmur_4words(w[0], w[1], w[2], w[3]), ReferenceMix({w[0], w[1], w[2], w[3]})) << i;
        EXPECT_EQ(murmur_3words(w[0], w[1], w[2]), ReferenceMix({w[0], w[1], w[2]})) << i;
    }
    EXPECT_EQ(murmur_4words(0x0100000A, 0x0200000A, 0, 0x78563412),
              ReferenceMix({0x0100000A, 0x0200000A, 0, 0x78563412}));
}

TEST(RssGreLength, OptionalWordsFollowFlagBits)
{
    const struct {
        uint8_t flags;
        uint32_t len;
    } cases[] = {{0x00, 4},  {kGreCsum, 8},  {kGreRouting, 8},           {kGreKey, 8},
                 {kGreSeq, 8}, {kGreCsum | kGreRouting, 8}, {kGreKey | kGreSeq, 12},
                 {kGreCsum | kGreKey | kGreSeq, 16}, {0x07, 4}};
    for (const auto &c : cases) {
        const uint8_t gre[4] = {c.flags, 0x01, 0x08, 0x00};
        EXPECT_EQ(get_gre_bytes(gre), c.len) << "flags " << int(c.flags);
    }
}

// ---------------------------------------------------------------------------
// Plain frames

TEST(RssHash, KnownTcpFlowAndRingChoice)
{
    const uint32_t h = Hash(TcpV4(kA, kB, 1234, 80), kFlow);
    EXPECT_EQ(h, 0xB4432568u);
    EXPECT_EQ(h & 3, 0u);  // ring 0 of 4
    EXPECT_EQ(h % 3, 1u);  // ring 1 of 3
    EXPECT_EQ(Hash(TcpV4(kB, kA, 80, 1234), kFlow), h);
}

TEST(RssHash, LibraryEntryTakesFlagsFromContext)
{
    Frame f = TcpV4(kA, kB, 1234, 80);
    kpt_recv_req req = {};
    req.pkt_addr = f.b.data();
    req.length = f.size();
    uint32_t h = 0xdeadbeef;
    EXPECT_EQ(kpt__rss_hash(&req, (void *)(uintptr_t)kFlow, &h), 0);
    EXPECT_EQ(h, 0xB4432568u);
    h = 0xdeadbeef;
    EXPECT_EQ(kpt__rss_hash(&req, nullptr, &h), 0);
    EXPECT_EQ(h, 0u);
    req.length = 59;
    EXPECT_EQ(kpt__rss_hash(&req, (void *)(uintptr_t)kFlow, &h), 0);
    EXPECT_EQ(h, 0u);
}

TEST(RssHash, ZeroFlagsShortFramesAndNonIpHashToZero)
{
    const Frame f = TcpV4(kA, kB, 1234, 80);
    EXPECT_EQ(Hash(f, 0), 0u);
    EXPECT_EQ(quor_rss_hash(f.data(), 59, kEvery), 0u);
    EXPECT_NE(quor_rss_hash(f.data(), 60, kEvery), 0u);
    EXPECT_EQ(Hash(Frame().Eth(kArp).Zeros(28).Pad(), kEvery), 0u);
    EXPECT_EQ(Hash(Frame().Eth(kVlan).Tag(5, kArp).Zeros(28).Pad(), kEvery), 0u);
    EXPECT_EQ(Hash(Frame().Eth(0x88F7).Zeros(44).Pad(), kEvery), 0u);
}

TEST(RssHash, PortsOnlyIsTheSumWithBytesExchanged)
{
    EXPECT_EQ(Hash(TcpV4(kA, kB, 0x1234, 0x0050), kSrc | kDst), 0x1284u);
    EXPECT_EQ(Hash(TcpV4(kA, kB, 0x00FF, 0x0001), kSrc | kDst), 0x0000u);  // carry dropped
    EXPECT_EQ(Hash(TcpV4(kA, kB, 0x1234, 0x0050), kSrc), 0x1234u);
    EXPECT_EQ(Hash(TcpV4(kA, kB, 0x1234, 0x0050), kDst), 0x0050u);
    const Frame udp = Frame().Eth(kIPv4).IPv4(kA, kB, kUdp).Udp(0x1234, 0x0050).Pad();
    const Frame sctp = Frame().Eth(kIPv4).IPv4(kA, kB, kSctp).Sctp(0x1234, 0x0050).Pad();
    const Frame icmp = Frame().Eth(kIPv4).IPv4(kA, kB, kIcmp).U32(0x08000000).Pad();
    EXPECT_EQ(Hash(udp, kSrc | kDst), 0x1284u);
    EXPECT_EQ(Hash(sctp, kSrc | kDst), 0x1284u);
    EXPECT_EQ(Hash(icmp, kSrc | kDst), 0u);
    EXPECT_EQ(Hash(icmp, kFlow), FlowHash(Word(kA), Word(kB), 0));
}

TEST(RssHash, BothDirectionsOfAFlowAgree)
{
    std::mt19937 gen(7);
    auto rng = [&gen] { return uint32_t(gen()); };
    for (int i = 0; i < 500; i++) {
        const uint32_t s = rng(), d = rng(), s6 = rng(), d6 = rng();
        const uint16_t sp = uint16_t(rng()), dp = uint16_t(rng());
        const uint8_t proto = (i % 3 == 0) ? kTcp : (i % 3 == 1) ? kUdp : kSctp;
        auto v4 = [&](uint32_t a, uint32_t b, uint16_t pa, uint16_t pb) {
            return Frame().Eth(kIPv4).IPv4(a, b, proto).Udp(pa, pb).Pad();
        };
        auto v6 = [&](uint32_t a, uint32_t b, uint16_t pa, uint16_t pb) {
            return Frame().Eth(kIPv6).IPv6(1, a, 2, b, proto).Udp(pa, pb).Pad();
        };
        for (uint32_t flags : {kIP, kFlow, kFlow | kGtp}) {
            EXPECT_EQ(Hash(v4(s, d, sp, dp), flags), Hash(v4(d, s, dp, sp), flags));
            EXPECT_EQ(Hash(v6(s6, d6, sp, dp), flags), Hash(v6(d6, s6, dp, sp), flags));
        }
    }
}

TEST(RssHash, IPv4HeaderLengthLocatesTheTransportHeader)
{
    const Frame opts = Frame().Eth(kIPv4).IPv4(kA, kB, kTcp, 7).Tcp(1234, 80).Pad();
    EXPECT_EQ(Hash(opts, kFlow), 0xB4432568u);
}

TEST(RssHash, IPv6UsesTheLastFourBytesOfEachAddress)
{
    const Frame f = Frame().Eth(kIPv6).IPv6(0x11, kA, 0x22, kB, kUdp).Udp(1234, 80).Pad();
    const Frame other_prefix =
        Frame().Eth(kIPv6).IPv6(0x33, kA, 0x44, kB, kUdp).Udp(1234, 80).Pad();
    EXPECT_EQ(Hash(f, kFlow), 0xB4432568u);
    EXPECT_EQ(Hash(other_prefix, kFlow), 0xB4432568u);
}

TEST(RssHash, VlanTagsAreSkipped)
{
    const uint32_t h = Hash(TcpV4(kA, kB, 1234, 80), kFlow);
    const Frame tail = Frame().IPv4(kA, kB, kTcp).Tcp(1234, 80);
    EXPECT_EQ(Hash(Frame().Eth(kVlan).Tag(100, kIPv4).Append(tail).Pad(), kFlow), h);
    EXPECT_EQ(Hash(Frame().Eth(kQinQ).Tag(7, kVlan).Tag(100, kIPv4).Append(tail).Pad(), kFlow),
              h);
    EXPECT_EQ(Hash(Frame().Eth(kVlan).Tag(1, kQinQ).Tag(2, kVlan).Tag(3, kIPv4).Append(tail),
                   kFlow),
              h);
}

TEST(RssHash, MplsOneOrTwoLabelsThenIPv4)
{
    const uint32_t h = Hash(TcpV4(kA, kB, 1234, 80), kFlow);
    const Frame tail = Frame().IPv4(kA, kB, kTcp).Tcp(1234, 80);
    EXPECT_EQ(Hash(Frame().Eth(kMpls).Mpls(16, true).Append(tail).Pad(), kFlow), h);
    EXPECT_EQ(Hash(Frame().Eth(kMpls).Mpls(16, false).Mpls(17, true).Append(tail), kFlow), h);
    EXPECT_EQ(Hash(Frame().Eth(0x8848).Mpls(16, true).Append(tail).Pad(), kFlow), h);
    EXPECT_EQ(Hash(Frame().Eth(kVlan).Tag(9, kMpls).Mpls(16, true).Append(tail), kFlow), h);

    // A third label is not skipped: the "IPv4 header" starts at it, whatever
    // its version nibble says.
    const Frame at_third = Frame().Mpls(18, true).IPv4(kA, kB, kTcp).Tcp(1234, 80);
    const Frame three = Frame().Eth(kMpls).Mpls(16, false).Mpls(17, false).Append(at_third);
    const Frame same_bytes_as_ipv4 = Frame().Eth(kIPv4).Append(at_third).Pad();
    EXPECT_EQ(Hash(three, kFlow), Hash(same_bytes_as_ipv4, kFlow));
    EXPECT_NE(Hash(three, kFlow), h);
}

TEST(RssHash, GtpTunnelIdentifier)
{
    auto gtp = [](uint16_t sp, uint16_t dp, uint8_t first) {
        return Frame().Eth(kIPv4).IPv4(kA, kB, kUdp).Udp(sp, dp).Gtp(first, 0x12345678).Pad();
    };
    EXPECT_EQ(Hash(gtp(40000, 2152, 0x30), kGtp), 0x12345678u);  // GTP-U v1
    EXPECT_EQ(Hash(gtp(2152, 40000, 0x30), kGtp), 0x12345678u);
    EXPECT_EQ(Hash(gtp(40000, 2123, 0x48), kGtp), 0x12345678u);  // GTP-C v2 with TEID
    EXPECT_EQ(Hash(gtp(2123, 40000, 0x48), kGtp), 0x12345678u);
    EXPECT_EQ(Hash(gtp(40000, 2123, 0x40), kGtp), 0u);  // v2 without TEID
    EXPECT_EQ(Hash(gtp(40000, 2152, 0x10), kGtp), 0u);  // version 0
    EXPECT_EQ(Hash(gtp(40000, 2153, 0x30), kGtp), 0u);  // not a GTP port
    const Frame tcp = Frame().Eth(kIPv4).IPv4(kA, kB, kTcp).Tcp(40000, 2152).Gtp(0x30, 1).Pad();
    EXPECT_EQ(Hash(tcp, kGtp), 0u);

    // With the addresses the identifier is a fourth word (0 for other traffic).
    EXPECT_EQ(Hash(gtp(2152, 2152, 0x30), kIP | kGtp), 0x1A42D0E0u);
    const Frame udp = Frame().Eth(kIPv4).IPv4(kA, kB, kUdp).Udp(1234, 80).Pad();
    EXPECT_EQ(Hash(udp, kFlow | kGtp), murmur_4words(Word(kA), Word(kB), 0x00012204, 0));
}

// ---------------------------------------------------------------------------
// Tunnels

TEST(RssGre, WithoutTheFlagOuterAddressesAndNoPorts)
{
    const Frame f = Frame()
                        .Eth(kIPv4)
                        .IPv4(kA, kB, kGre)
                        .Gre(0, kIPv4)
                        .IPv4(Ip4(192, 168, 1, 1), Ip4(192, 168, 1, 2), kTcp)
                        .Tcp(1234, 80);
    EXPECT_EQ(Hash(f, kFlow), FlowHash(Word(kA), Word(kB), 0));
    EXPECT_EQ(Hash(f, kSrc | kDst), 0u);
}

TEST(RssGre, InnerIpHeadersWhateverTheOptionalWords)
{
    const Frame inner4 = Frame().IPv4(kA, kB, kTcp).Tcp(1234, 80);
    const Frame inner6 = Frame().IPv6(1, kA, 2, kB, kUdp).Udp(1234, 80);
    const uint32_t outer1 = Ip4(172, 16, 0, 1), outer2 = Ip4(172, 16, 0, 2);
    for (uint8_t gf : {uint8_t(0), kGreKey, kGreSeq, kGreCsum, kGreRouting,
                       uint8_t(kGreCsum | kGreKey | kGreSeq)}) {
        SCOPED_TRACE("GRE flags " + std::to_string(gf));
        const Frame v4 = Frame().Eth(kIPv4).IPv4(outer1, outer2, kGre).Gre(gf, kIPv4).Append(inner4);
        const Frame v6 = Frame().Eth(kIPv6).IPv6(3, outer1, 4, outer2, kGre).Gre(gf, kIPv6).Append(
            inner6);
        EXPECT_EQ(Hash(v4, kFlow | kGreF), 0xB4432568u);
        EXPECT_EQ(Hash(v6, kFlow | kGreF), 0xB4432568u);
    }
    const Frame bridged = Frame().Eth(kIPv4).IPv4(outer1, outer2, kGre).Gre(0, 0x6558).Append(
        TcpV4(kA, kB, 1234, 80));
    EXPECT_EQ(Hash(bridged, kFlow | kGreF), 0u);
}

TEST(RssGre, ErspanInnerFrames)
{
    const Frame inner = Frame().Eth(kVlan).Tag(12, kIPv4).IPv4(kA, kB, kTcp).Tcp(1234, 80);
    auto outer = [](uint16_t type, uint8_t gf) {
        return Frame().Eth(kIPv4).IPv4(Ip4(172, 16, 0, 1), Ip4(172, 16, 0, 2), kGre).Gre(gf, type);
    };
    EXPECT_EQ(Hash(outer(kErspan2, kGreSeq).Erspan2().Append(inner), kFlow | kGreF), 0xB4432568u);
    EXPECT_EQ(Hash(outer(kErspan3, kGreSeq).Erspan3(false).Append(inner), kFlow | kGreF),
              0xB4432568u);
    EXPECT_EQ(Hash(outer(kErspan3, kGreSeq).Erspan3(true).Append(inner), kFlow | kGreF),
              0xB4432568u);
}

TEST(RssGre, NestingFollowedToTheInnermostHeaders)
{
    Frame f = Frame().Eth(kIPv4);
    for (int level = 0; level < 200; level++)
        f.IPv4(Ip4(172, 16, 0, uint8_t(level)), Ip4(172, 17, 0, 1), kGre).Gre(kGreKey, kIPv4);
    f.IPv4(kA, kB, kTcp).Tcp(1234, 80);
    EXPECT_EQ(Hash(f, kFlow | kGreF), 0xB4432568u);
}

// ---------------------------------------------------------------------------
// Reads stay inside the frame

// Frames are copied so that their last byte is the last byte before an
// inaccessible page: any read past the end faults, with or without ASan.
class RssBounds : public ::testing::Test {
protected:
    static constexpr size_t kCap = 16384;

    void SetUp() override
    {
        page_ = size_t(sysconf(_SC_PAGESIZE));
        span_ = (kCap + page_ - 1) / page_ * page_;
        void *m = mmap(nullptr, span_ + page_, PROT_READ | PROT_WRITE,
                       MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        ASSERT_NE(m, MAP_FAILED);
        base_ = static_cast<uint8_t *>(m);
        ASSERT_EQ(mprotect(base_ + span_, page_, PROT_NONE), 0);
    }
    void TearDown() override
    {
        if (base_)
            munmap(base_, span_ + page_);
    }

    uint32_t Guarded(const uint8_t *p, uint32_t n, uint32_t flags)
    {
        uint8_t *at = base_ + span_ - n;
        memmove(at, p, n);
        return quor_rss_hash(at, n, flags);
    }
    uint32_t Guarded(const Frame &f, uint32_t n, uint32_t flags)
    {
        return Guarded(f.data(), n, flags);
    }

    // Every prefix of at least 60 bytes hashes like the whole frame or to 0,
    // and once a prefix holds every field read, longer ones agree.
    void ExpectPrefixesAgree(const Frame &f, uint32_t flags)
    {
        const uint32_t full = Guarded(f, f.size(), flags);
        bool complete = false;
        for (uint32_t n = 0; n <= f.size(); n++) {
            const uint32_t h = Guarded(f, n, flags);
            if (n < 60 || !complete)
                ASSERT_TRUE(h == 0 || h == full) << "prefix " << n;
            else
                ASSERT_EQ(h, full) << "prefix " << n;
            complete = complete || (full != 0 && h == full);
        }
    }

    size_t page_ = 0, span_ = 0;
    uint8_t *base_ = nullptr;
};

TEST_F(RssBounds, GuardPageFaultsOnAReadPastTheFrame)
{
    const Frame f = TcpV4(kA, kB, 1234, 80);
    Guarded(f, f.size(), kFlow);
    const volatile uint8_t *end = base_ + span_;
    EXPECT_DEATH((void)end[0], "");
}

// Frames whose last hashed byte is the frame's last byte keep their value;
// one byte less and the hash is 0 instead of a read past the end.
TEST_F(RssBounds, HeadersThatJustFitKeepTheirValue)
{
    Frame vlans = Frame().Eth(kVlan);
    for (int i = 0; i < 9; i++)
        vlans.Tag(uint16_t(i), kVlan);
    vlans.Tag(9, kIPv4).IPv4(kA, kB, kTcp).Tcp(1234, 80);
    const Frame opts = Frame().Eth(kIPv4).IPv4(kA, kB, kTcp, 15).Tcp(1234, 80);
    const Frame gre = Frame().Eth(kIPv4).IPv4(kB, kA, kGre).Gre(kGreKey | kGreSeq, kIPv4).IPv4(
        kA, kB, kUdp).Udp(1234, 80);
    const Frame erspan = Frame()
                             .Eth(kIPv4)
                             .IPv4(kB, kA, kGre)
                             .Gre(0, kErspan3)
                             .Erspan3(true)
                             .Append(TcpV4(kA, kB, 1234, 80));
    const Frame gtp6 = Frame().Eth(kIPv6).IPv6(1, kA, 2, kB, kUdp).Udp(3, 2152).Gtp(0x30, 0xabcdef01);
    Frame mpls = Frame().Eth(kVlan);
    for (int i = 0; i < 6; i++)
        mpls.Tag(uint16_t(i), kVlan);
    mpls.Tag(6, kMpls).Mpls(1, false).Mpls(2, true).IPv4(kA, kB, kUdp).Udp(1234, 80);

    const struct {
        const char *what;
        const Frame &f;
        uint32_t flags;
        uint32_t need;
    } cases[] = {
        {"10 VLAN tags, source port", vlans, kIP | kSrc, 14 + 40 + 20 + 2},
        {"10 VLAN tags, addresses only", vlans, kIP, 14 + 40 + 20},
        {"IPv4 options, ports", opts, kFlow, 14 + 60 + 4},
        {"GRE key and sequence", gre, kIP | kGreF, 14 + 20 + 12 + 20},
        {"ERSPAN III sub-header", erspan, kFlow | kGreF, 14 + 20 + 4 + 20 + 14 + 20 + 4},
        {"GTP-U over IPv6", gtp6, kGtp, 14 + 40 + 8 + 8},
        {"VLAN tags then MPLS", mpls, kFlow, 14 + 28 + 8 + 20 + 4},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_GE(c.f.size(), c.need);
        const uint32_t full = Hash(Frame(c.f).Pad(c.f.size() + 64), c.flags);
        EXPECT_NE(full, 0u);
        EXPECT_EQ(Guarded(c.f, c.need, c.flags), full);
        EXPECT_EQ(Guarded(c.f, c.need - 1, c.flags), 0u);
        ExpectPrefixesAgree(c.f, c.flags);
    }
}

TEST_F(RssBounds, CraftedFramesEndTheParse)
{
    // Tags all the way to the end of a jumbo frame.
    Frame tags = Frame().Eth(kVlan);
    while (tags.size() < 9000)
        tags.Tag(1, kQinQ);
    EXPECT_EQ(Guarded(tags, tags.size(), kEvery), 0u);

    // An MPLS EtherType whose label would start past the end.
    Frame mpls = Frame().Eth(kVlan);
    for (int i = 0; i < 10; i++)
        mpls.Tag(uint16_t(i), kVlan);
    mpls.Tag(10, kMpls).U16(0x0001);
    ASSERT_EQ(mpls.size(), 60u);
    EXPECT_EQ(Guarded(mpls, mpls.size(), kEvery), 0u);

    // 00 2f 08 00 repeated reads, at every 4 bytes, as an IPv4 header of
    // length 0 carrying GRE that carries IPv4: the deepest nesting possible.
    Frame loop = Frame().Eth(kIPv4);
    while (loop.size() < 9000)
        loop.Bytes({0x00, kGre, 0x08, 0x00});
    EXPECT_EQ(Guarded(loop, loop.size(), kEvery), 0u);
    EXPECT_EQ(Guarded(loop, loop.size(), kIP), FlowHash(0x00082F00, 0x00082F00, 0));

    // Lengths far beyond any real frame do not wrap the offsets.
    const Frame f = TcpV4(kA, kB, 1234, 80);
    EXPECT_EQ(quor_rss_hash(f.data(), 0xFFFFFFFFu, kFlow), 0xB4432568u);
}

std::vector<Frame> Templates()
{
    const Frame inner = Frame().Eth(kVlan).Tag(3, kIPv4).IPv4(kA, kB, kTcp).Tcp(1234, 80);
    return {
        TcpV4(kA, kB, 1234, 80),
        Frame().Eth(kIPv4).IPv4(kA, kB, kTcp, 9).Tcp(1, 2),
        Frame().Eth(kIPv6).IPv6(1, kA, 2, kB, kUdp).Udp(5, 2152).Gtp(0x30, 77),
        Frame().Eth(kIPv4).IPv4(kA, kB, kUdp).Udp(2123, 5).Gtp(0x48, 78),
        Frame().Eth(kQinQ).Tag(1, kVlan).Tag(2, kIPv6).IPv6(1, kA, 2, kB, kSctp).Sctp(9, 10),
        Frame().Eth(kMpls).Mpls(1, false).Mpls(2, true).IPv4(kA, kB, kTcp).Tcp(3, 4),
        Frame().Eth(kIPv4).IPv4(kB, kA, kGre).Gre(kGreCsum | kGreKey, kIPv6).IPv6(1, kA, 2, kB,
                                                                                  kUdp).Udp(6, 7),
        Frame().Eth(kIPv4).IPv4(kB, kA, kGre).Gre(kGreSeq, kErspan2).Erspan2().Append(inner),
        Frame().Eth(kIPv6).IPv6(5, kB, 6, kA, kGre).Gre(0, kErspan3).Erspan3(true).Append(inner),
        Frame().Eth(kIPv4).IPv4(kB, kA, kGre).Gre(0, kIPv4).IPv4(kA, kB, kGre).Gre(0, kErspan3)
            .Erspan3(false).Append(inner),
    };
}

TEST_F(RssBounds, TruncatingAFrameOnlyEverZeroesItsHash)
{
    for (const Frame &f : Templates())
        for (uint32_t flags : {kIP, kSrc, kFlow, kGtp, kFlow | kGtp, kEvery, kIP | kGreF})
            ExpectPrefixesAgree(f, flags);
}

// A seeded corpus of damaged frames: VLAN tags inserted, header bytes
// overwritten with values that steer the parse (tag types, label bits, header
// lengths, GRE flags and types, GTP ports and versions), then cut at a random
// length.
TEST_F(RssBounds, RandomCorpusOfDamagedFrames)
{
    static const uint8_t kSteer[] = {0x81, 0x00, 0x88, 0xa8, 0x47, 0x48, 0x86, 0xdd, 0x08,
                                     0xbe, 0x22, 0xeb, 0x2f, 0x4f, 0x45, 0x0f, 0xff, 0xf0,
                                     0x01, 0x30, 0x48, 0x68, 0x4b, 0x65, 0x11, 0x06};
    static const uint32_t kFlags[] = {kIP, kFlow, kGtp, kFlow | kGtp, kEvery, kGreF | kSrc};
    const std::vector<Frame> templates = Templates();
    std::mt19937 rng(0x5eed);
    for (int i = 0; i < 20000; i++) {
        Frame f = templates[rng() % templates.size()];
        if (rng() % 2 == 0) {  // push the headers past the 60-byte minimum
            const std::vector<uint8_t> tag = {0x81, 0x00, 0x00, uint8_t(i)};
            for (int k = int(rng() % 12); k > 0; k--)
                f.b.insert(f.b.begin() + 12, tag.begin(), tag.end());
        }
        if (rng() % 4 == 0)
            f.Zeros(rng() % 64);
        for (int k = int(rng() % 10); k > 0; k--) {
            uint8_t &b = f.b[rng() % std::min<size_t>(f.b.size(), 160)];
            b = (rng() % 3) ? kSteer[rng() % sizeof kSteer] : uint8_t(rng());
        }
        const uint32_t flags = kFlags[rng() % (sizeof kFlags / sizeof kFlags[0])];
        const uint32_t n = uint32_t(rng() % (f.size() + 1));
        const uint32_t full = Guarded(f, f.size(), flags);
        const uint32_t cut = Guarded(f, n, flags);
        ASSERT_TRUE(cut == 0 || cut == full) << "frame " << i << " cut at " << n;
    }
}

} // namespace
