/*
 * quor_rss.cpp - the receive-side scaling hash.
 *
 * The frame is parsed down to the IP and transport headers: through any
 * number of VLAN tags (0x8100 / 0x88A8), through one or two MPLS labels, and,
 * when QUOR_RSS_GRE is set, through GRE and ERSPAN (type II and III)
 * encapsulation to the innermost IPv4 or IPv6 header.  The selected fields
 * are then mixed so that both directions of a flow give the same value:
 *
 *   - addresses: IPv4 source and destination, or the last four bytes of each
 *     IPv6 address; the smaller word goes first;
 *   - ports (TCP, UDP, SCTP): the sum of the selected ports;
 *   - GTP: the tunnel endpoint identifier of GTP-C/GTP-U traffic.
 *
 * Addresses, ports and the tunnel identifier are read little-endian (first
 * frame byte least significant); the hash values depend on that.
 *
 * Bounds.  Every header field the hash reads is checked against `length`
 * before it is read, so a short, truncated or crafted frame never makes the
 * hash read outside [frame, frame + length).  The rule is simple and exact:
 *
 *   - if every byte the hash reads lies inside the frame, the value is the
 *     one the parse above produces (a frame that ends right after the last
 *     field read hashes the same as a longer one);
 *   - otherwise parsing stops at the first field that does not fit and the
 *     hash is 0.  No partial result is kept: up to the point where a field is
 *     missing the result is never already fixed (every later step could still
 *     change it), so 0 - the value of a frame that is not parsed at all, as
 *     for an unknown EtherType - is the only consistent choice.
 *
 * Only fields that are read are checked: bytes that are skipped (the optional
 * GRE words, the ERSPAN header, IPv4 options, the MPLS labels below the
 * first) need not be present unless something after them is read.  So for a
 * frame of length L >= 60 the hash is either the hash of any longer frame
 * with the same first L bytes, or 0.
 *
 * Termination.  Each VLAN tag advances the parse by 4 bytes and each level of
 * GRE nesting by at least 4 (the GRE base header, even under an IPv4 header
 * length field of 0), and each level reads inside the frame, so a frame of L
 * bytes is parsed in at most L / 4 steps however it is crafted; nesting depth
 * is otherwise unlimited.
 */
#include "quor_rss.h"

#include <string.h>

namespace {

constexpr uint32_t kMurmurM = 0x5BD1E995u;

constexpr uint16_t kEthVlan = 0x8100;
constexpr uint16_t kEthQinQ = 0x88A8;
constexpr uint16_t kEthMplsUc = 0x8847;
constexpr uint16_t kEthMplsMc = 0x8848;
constexpr uint16_t kEthIPv4 = 0x0800;
constexpr uint16_t kEthIPv6 = 0x86DD;
constexpr uint16_t kGreErspan2 = 0x88BE;
constexpr uint16_t kGreErspan3 = 0x22EB;

constexpr uint8_t kProtoTcp = 6;
constexpr uint8_t kProtoUdp = 17;
constexpr uint8_t kProtoGre = 47;
constexpr uint8_t kProtoSctp = 132;

constexpr uint16_t kGtpcPort = 2123;
constexpr uint16_t kGtpuPort = 2152;

constexpr uint32_t kMinFrame = 60;
constexpr uint32_t kEthTypeOff = 12; /* EtherType offset in an Ethernet header */
constexpr uint32_t kErspan2Len = 8;
constexpr uint32_t kErspan3Len = 12;
constexpr uint32_t kErspan3SubLen = 8; /* optional platform sub-header */
constexpr uint32_t kGtpOff = 8;         /* GTP header after the UDP header */

inline uint32_t mix(uint32_t k)
{
    k *= kMurmurM;
    k ^= k >> 24;
    return k * kMurmurM;
}

inline uint32_t finish(uint32_t h)
{
    h ^= h >> 13;
    h *= kMurmurM;
    h ^= h >> 15;
    return h;
}

inline uint32_t rd16be(const uint8_t *p) { return (uint32_t(p[0]) << 8) | p[1]; }

inline uint32_t rd16le(const uint8_t *p) { return uint32_t(p[0]) | (uint32_t(p[1]) << 8); }

inline uint32_t rd32le(const uint8_t *p)
{
    uint32_t v;
    memcpy(&v, p, sizeof v);
#if defined(__BYTE_ORDER__) && __BYTE_ORDER__ == __ORDER_BIG_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

inline uint32_t rd32be(const uint8_t *p)
{
    uint32_t v;
    memcpy(&v, p, sizeof v);
#if !defined(__BYTE_ORDER__) || __BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__
    v = __builtin_bswap32(v);
#endif
    return v;
}

/*
 * Offsets are 64-bit so that skipping headers can never wrap, whatever the
 * 32-bit length; `n` bytes at `off` fit when off + n <= length.
 */
inline bool fits(uint64_t off, uint64_t n, uint64_t length) { return off + n <= length; }

enum class Layer { Ether, IPv4, IPv6 };

} // namespace

extern "C" {

uint32_t murmur_3words(uint32_t w0, uint32_t w1, uint32_t w2)
{
    uint32_t h = 0;
    h = (h * kMurmurM) ^ mix(w0);
    h = (h * kMurmurM) ^ mix(w1);
    h = (h * kMurmurM) ^ mix(w2);
    return finish(h);
}

uint32_t murmur_4words(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3)
{
    uint32_t h = 0;
    h = (h * kMurmurM) ^ mix(w0);
    h = (h * kMurmurM) ^ mix(w1);
    h = (h * kMurmurM) ^ mix(w2);
    h = (h * kMurmurM) ^ mix(w3);
    return finish(h);
}

uint32_t get_gre_bytes(const uint8_t *gre)
{
    uint32_t len = 4;
    if (gre[0] & 0xC0) /* checksum or routing present: checksum + offset word */
        len += 4;
    if (gre[0] & 0x20) /* key */
        len += 4;
    if (gre[0] & 0x10) /* sequence number */
        len += 4;
    return len;
}

uint32_t quor_rss_hash(const uint8_t *frame, uint32_t length, uint32_t flags)
{
    if (flags == 0 || length < kMinFrame)
        return 0;

    const uint64_t len = length;
    uint64_t off = kEthTypeOff; /* the EtherType, then the IP header */
    Layer layer = Layer::Ether;
    uint32_t proto = 0, src = 0, dst = 0;
    uint64_t l4 = 0; /* transport header */

    for (;;) {
        if (layer == Layer::Ether) {
            uint32_t type;
            for (;;) {
                if (!fits(off, 2, len))
                    return 0;
                type = rd16be(frame + off);
                if (type != kEthVlan && type != kEthQinQ)
                    break;
                off += 4;
            }
            off += 2;
            if (type == kEthMplsUc || type == kEthMplsMc) {
                /* One label if it is the bottom of the stack, else two; the
                 * IPv4 header is assumed after them. */
                if (!fits(off, 3, len))
                    return 0;
                off += (frame[off + 2] & 0x01) ? 4 : 8;
                layer = Layer::IPv4;
            } else if (type == kEthIPv4) {
                layer = Layer::IPv4;
            } else if (type == kEthIPv6) {
                layer = Layer::IPv6;
            } else {
                return 0;
            }
        }

        const uint8_t *ip = frame + off;
        if (layer == Layer::IPv4) {
            if (!fits(off, 20, len))
                return 0;
            proto = ip[9];
            src = rd32le(ip + 12);
            dst = rd32le(ip + 16);
            l4 = off + ((uint32_t(ip[0]) * 4) & 0x3C);
        } else {
            if (!fits(off, 40, len))
                return 0;
            proto = ip[6];
            src = rd32le(ip + 20);
            dst = rd32le(ip + 36);
            l4 = off + 40;
        }

        if (!(flags & QUOR_RSS_GRE) || proto != kProtoGre)
            break;

        /* GRE after the IP header: flags byte and protocol type are read. */
        if (!fits(l4, 4, len))
            return 0;
        const uint8_t *gre = frame + l4;
        const uint64_t next = l4 + get_gre_bytes(gre);
        switch (rd16be(gre + 2)) {
        case kGreErspan2:
            off = next + kErspan2Len + kEthTypeOff;
            layer = Layer::Ether;
            break;
        case kGreErspan3:
            if (!fits(next, kErspan3Len, len))
                return 0;
            off = next + kErspan3Len + ((frame[next + 11] & 0x01) ? kErspan3SubLen : 0) +
                  kEthTypeOff;
            layer = Layer::Ether;
            break;
        case kEthIPv4:
            off = next;
            layer = Layer::IPv4;
            break;
        case kEthIPv6:
            off = next;
            layer = Layer::IPv6;
            break;
        default:
            return 0;
        }
    }

    uint32_t ports = 0, teid = 0;
    if (proto == kProtoTcp || proto == kProtoUdp || proto == kProtoSctp) {
        const uint8_t *th = frame + l4;
        if (flags & QUOR_RSS_SRC_PORT) {
            if (!fits(l4, 2, len))
                return 0;
            ports += rd16le(th);
        }
        if (flags & QUOR_RSS_DST_PORT) {
            if (!fits(l4, 4, len))
                return 0;
            ports += rd16le(th + 2);
        }
        if ((flags & QUOR_RSS_GTP) && proto == kProtoUdp) {
            if (!fits(l4, 4, len))
                return 0;
            const uint32_t sp = rd16be(th), dp = rd16be(th + 2);
            if (sp == kGtpcPort || sp == kGtpuPort || dp == kGtpuPort || dp == kGtpcPort) {
                const uint64_t g = l4 + kGtpOff;
                if (!fits(g, 1, len))
                    return 0;
                const uint32_t version = frame[g] >> 5;
                if (version == 1 || (version == 2 && (frame[g] & 0x08))) {
                    if (!fits(g + 4, 4, len))
                        return 0;
                    if (!(flags & QUOR_RSS_IP))
                        return rd32be(frame + g + 4);
                    teid = rd32le(frame + g + 4);
                }
            }
        }
    }

    if (!(flags & QUOR_RSS_IP))
        return ((ports & 0xFF) << 8) | ((ports >> 8) & 0xFF);

    const uint32_t a = src < dst ? src : dst;
    const uint32_t b = src < dst ? dst : src;
    if (flags & QUOR_RSS_GTP)
        return murmur_4words(a, b, ports, teid);
    return murmur_3words(a, b, ports);
}

} // extern "C"
