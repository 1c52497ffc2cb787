// ats_frames.h - frames of a timestamping switch, built by hand for tests:
// keyframes (IPv4 protocol 253, big-endian payload at offset 34) and the
// 4-byte time trailer.
#pragma once

#include <cstdint>
#include <vector>

#include "quor_switch_ts.h"

namespace kpttest {

struct KeyframeFields {
    uint64_t asic = 0, utc = 0, sync = 0, skew_num = 0, skew_den = 0, kf_ts = 0, drops = 0;
    uint16_t id = 1, swport = 0;
    uint8_t fcs_type = 1, reserved = 0;
};

inline void PutBe(std::vector<uint8_t> &f, uint64_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i) f.push_back(uint8_t(v >> (8 * i)));
}

// A keyframe without its trailer: 80 bytes, 96 with the skew ratio, 4 more
// with a VLAN tag.
inline std::vector<uint8_t> KeyframeBytes(const KeyframeFields &k, bool skew, bool vlan = false)
{
    std::vector<uint8_t> f = {0x02, 0x51, 0x53, 0x02, 0x00, 0x00, 0x02, 0x51, 0x53, 0xfe, 0x00, 0x01};
    if (vlan) PutBe(f, 0x81000005, 4);
    PutBe(f, 0x0800, 2);
    const uint32_t pay = skew ? 62 : 46;
    const uint8_t ip[20] = {0x45, 0, uint8_t((20 + pay) >> 8), uint8_t(20 + pay), 0, 0, 0x40, 0,
                            64,   253, 0, 0, 10, 0, 0, 1, 1, 1, 1, 0};
    f.insert(f.end(), ip, ip + 20);
    PutBe(f, k.asic, 8);
    PutBe(f, k.utc, 8);
    PutBe(f, k.sync, 8);
    if (skew) {
        PutBe(f, k.skew_num, 8);
        PutBe(f, k.skew_den, 8);
    }
    PutBe(f, k.kf_ts, 8);
    PutBe(f, k.drops, 8);
    PutBe(f, k.id, 2);
    PutBe(f, k.swport, 2);
    f.push_back(k.fcs_type);
    f.push_back(k.reserved);
    return f;
}

// The trailer word of the 31-bit switch time t (bit 7 is not part of it).
inline uint32_t TrailerWord(uint32_t t, bool bit7 = false)
{
    return quor_switch_trailer(t, bit7);
}

inline std::vector<uint8_t> WithTrailer(std::vector<uint8_t> f, uint32_t t, bool bit7 = false)
{
    PutBe(f, TrailerWord(t, bit7), 4);
    return f;
}

// An ordinary UDP frame of len bytes (before the trailer), tagged in its
// payload.
inline std::vector<uint8_t> UdpBytes(uint32_t len, uint8_t tag)
{
    std::vector<uint8_t> f(len, tag);
    const uint8_t hdr[] = {0x02, 0x51, 0x53, 0x02, 0x00, 0x00, 0x02, 0x51, 0x53, 0xff, 0x00, 0x01,
                           0x08, 0x00, 0x45, 0,    0,    0,    0,    0,    0x40, 0,    64,   17};
    for (size_t i = 0; i < sizeof hdr && i < len; ++i) f[i] = hdr[i];
    return f;
}

}  // namespace kpttest
