/*
 * quor_switch_ts.h - what a timestamping switch in front of a port puts on
 * the wire: a 4-byte trailer on every frame and, every period, a keyframe
 * tying its tick counter to UTC.  Written by the simulated switch, read by
 * the library's decoder: one layout for both.  Valid C and C++.
 *
 * Keyframe (IPv4 without options, protocol 253; a VLAN tag shifts all by 4):
 *
 *   0  Ethernet | 14 IPv4 | 34 payload, big-endian:
 *      +0 asic time (64) | +8 utc (64) | +16 last sync (64)
 *      [+24 skew numerator (64) | +32 skew denominator (64)]   with skew
 *      tail: +0 kf timestamp (64) | +8 dropped frames (64) | +16 device id (16)
 *            +18 egress switch port (16) | +20 fcs type (8) | +21 reserved (8)
 *   then the trailer of the same instant.
 */
#ifndef QUOR_SWITCH_TS_H
#define QUOR_SWITCH_TS_H

#include <stdint.h>

#define QUOR_KF_PROTO 253
#define QUOR_KF_PAYLOAD_OFF 34    /* from the Ethernet header, untagged */
#define QUOR_KF_OFF_ASIC 0
#define QUOR_KF_OFF_UTC 8
#define QUOR_KF_OFF_SYNC 16
#define QUOR_KF_OFF_SKEW 24       /* numerator, then denominator at +8 */
#define QUOR_KF_TAIL 24           /* tail offset without skew; +16 with */
#define QUOR_KF_SKEW_LEN 16
#define QUOR_KF_TAIL_KF_TS 0
#define QUOR_KF_TAIL_DROPS 8
#define QUOR_KF_TAIL_DEVICE 16
#define QUOR_KF_TAIL_SWPORT 18
#define QUOR_KF_TAIL_FCS_TYPE 20
#define QUOR_KF_TAIL_RESERVED 21
#define QUOR_KF_TAIL_LEN 22
/* Payload bytes, and a keyframe's length without its trailer. */
#define QUOR_KF_PAYLOAD_LEN (QUOR_KF_TAIL + QUOR_KF_TAIL_LEN)
#define QUOR_KF_PAYLOAD_LEN_SKEW (QUOR_KF_PAYLOAD_LEN + QUOR_KF_SKEW_LEN)
#define QUOR_KF_LEN (QUOR_KF_PAYLOAD_OFF + QUOR_KF_PAYLOAD_LEN)
#define QUOR_KF_LEN_SKEW (QUOR_KF_PAYLOAD_OFF + QUOR_KF_PAYLOAD_LEN_SKEW)
#define QUOR_SWITCH_TRAILER_LEN 4

#ifdef __cplusplus
static_assert(QUOR_KF_LEN == 80 && QUOR_KF_LEN_SKEW == 96, "keyframe lengths");
#endif

/* The trailer word of the 31-bit switch time t: bits 30..7 move up one bit
 * and bit 7 is a flag the switch alternates from frame to frame. */
static inline uint32_t quor_switch_trailer(uint32_t t, int bit7)
{
    t &= 0x7fffffffu;
    return ((t >> 7) << 8) | (t & 0x7fu) | (bit7 ? 0x80u : 0u);
}

#endif /* QUOR_SWITCH_TS_H */
