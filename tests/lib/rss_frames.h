// rss_frames.h - builds Ethernet frames layer by layer for the hash tests and
// benchmarks.  Values are given in host order and written in network order.
#ifndef RSS_FRAMES_H
#define RSS_FRAMES_H

#include <stddef.h>
#include <stdint.h>

#include <initializer_list>
#include <vector>

namespace rssf {

constexpr uint16_t kVlan = 0x8100, kQinQ = 0x88A8, kMpls = 0x8847, kIPv4 = 0x0800,
                   kIPv6 = 0x86DD, kArp = 0x0806, kErspan2 = 0x88BE, kErspan3 = 0x22EB;
constexpr uint8_t kTcp = 6, kUdp = 17, kGre = 47, kSctp = 132, kIcmp = 1;

// GRE flag bits (first byte).
constexpr uint8_t kGreCsum = 0x80, kGreRouting = 0x40, kGreKey = 0x20, kGreSeq = 0x10;

// IPv4 address a.b.c.d as 0xaabbccdd.
constexpr uint32_t Ip4(uint8_t a, uint8_t b, uint8_t c, uint8_t d)
{
    return (uint32_t(a) << 24) | (uint32_t(b) << 16) | (uint32_t(c) << 8) | d;
}

struct Frame {
    std::vector<uint8_t> b;

    Frame &U8(uint8_t v)
    {
        b.push_back(v);
        return *this;
    }
    Frame &U16(uint16_t v) { return U8(uint8_t(v >> 8)).U8(uint8_t(v)); }
    Frame &U32(uint32_t v) { return U16(uint16_t(v >> 16)).U16(uint16_t(v)); }
    Frame &Bytes(std::initializer_list<uint8_t> l)
    {
        b.insert(b.end(), l);
        return *this;
    }
    Frame &Zeros(size_t n)
    {
        b.insert(b.end(), n, 0);
        return *this;
    }

    // Destination and source MAC addresses and the EtherType.
    Frame &Eth(uint16_t type)
    {
        Bytes({0x02, 0, 0, 0, 0, 0x01, 0x02, 0, 0, 0, 0, 0x02});
        return U16(type);
    }
    // A tag's TCI followed by the next EtherType (after Eth(kVlan) or a tag).
    Frame &Tag(uint16_t tci, uint16_t next) { return U16(tci).U16(next); }
    Frame &Mpls(uint32_t label, bool bottom)
    {
        return U32((label << 12) | (bottom ? 0x100u : 0u) | 64u);
    }
    Frame &IPv4(uint32_t src, uint32_t dst, uint8_t proto, uint8_t ihl = 5)
    {
        U8(uint8_t(0x40 | ihl)).U8(0).U16(0).U32(0).U8(64).U8(proto).U16(0);
        U32(src).U32(dst);
        return Zeros(ihl > 5 ? (ihl - 5) * 4 : 0);
    }
    // 2001:db8:<hi>::<lo>: only the last four bytes of an address are hashed.
    Frame &IPv6(uint32_t src_hi, uint32_t src_lo, uint32_t dst_hi, uint32_t dst_lo,
                uint8_t next_header)
    {
        U32(0x60000000).U16(0).U8(next_header).U8(64);
        U32(0x20010db8).U32(src_hi).U32(0).U32(src_lo);
        return U32(0x20010db8).U32(dst_hi).U32(0).U32(dst_lo);
    }
    Frame &Tcp(uint16_t sp, uint16_t dp)
    {
        return U16(sp).U16(dp).U32(1).U32(0).U16(0x5010).U16(0xffff).U32(0);
    }
    Frame &Udp(uint16_t sp, uint16_t dp) { return U16(sp).U16(dp).U16(8).U16(0); }
    Frame &Sctp(uint16_t sp, uint16_t dp) { return U16(sp).U16(dp).U32(7).U32(0); }
    // GRE base header plus the optional words its flags announce.
    Frame &Gre(uint8_t flags, uint16_t proto)
    {
        U8(flags).U8(0).U16(proto);
        if (flags & (kGreCsum | kGreRouting))
            U32(0xc5c5c5c5);
        if (flags & kGreKey)
            U32(0x0badcafe);
        if (flags & kGreSeq)
            U32(0x00000042);
        return *this;
    }
    Frame &Erspan2() { return U32(0x10010064).U32(0x00000005); }
    Frame &Erspan3(bool subheader)
    {
        U32(0x20010064).U32(0x12345678).U32(subheader ? 0x00008001 : 0x00008000);
        if (subheader)
            U32(0xaaaaaaaa).U32(0xbbbbbbbb);
        return *this;
    }
    // GTP header: flags byte (version in the top three bits), message type,
    // length, tunnel endpoint identifier.
    Frame &Gtp(uint8_t first, uint32_t teid) { return U8(first).U8(0xff).U16(0).U32(teid); }
    // Zero padding up to the minimum frame length.
    Frame &Pad(size_t min_len = 60)
    {
        if (b.size() < min_len)
            Zeros(min_len - b.size());
        return *this;
    }
    Frame &Append(const Frame &o)
    {
        b.insert(b.end(), o.b.begin(), o.b.end());
        return *this;
    }

    const uint8_t *data() const { return b.data(); }
    uint32_t size() const { return uint32_t(b.size()); }
};

} // namespace rssf

#endif
