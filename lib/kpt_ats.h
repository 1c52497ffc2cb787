/*
 * kpt_ats.h - switch timestamps on the receive path (library-private).
 *
 * A timestamping switch in front of the port appends its clock to every
 * frame (a 4-byte trailer before the FCS) and sends keyframes, IPv4 (or
 * IPv6) packets of protocol 253, that tie its clock to UTC.  A ring that
 * decodes them strips the trailer and replaces the adapter's time with the
 * switch's, converted from the latest keyframes.
 */
#ifndef KPT_ATS_H
#define KPT_ATS_H

#include "kpt_rx.h"
#include "quor_switch_ts.h"

#ifdef __cplusplus
extern "C" {
#endif

/* IP protocol (IPv6 next header) of a keyframe. */
#define ATS_KF_PROTO QUOR_KF_PROTO
/* A keyframe's length without its trailer, without and with the skew ratio
 * (a VLAN tag adds its 4 bytes). */
#define ATS_KF_LEN QUOR_KF_LEN
#define ATS_KF_LEN_SKEW QUOR_KF_LEN_SKEW
/* Bytes of the trailer. */
#define ATS_TRAILER_LEN QUOR_SWITCH_TRAILER_LEN
/* Host time (ns) by which a switch that stopped synchronising has had its
 * grace period. */
#define ATS_PTP_GRACE_NS 7000000000ull

/* What the switch-time test makes of a frame. */
typedef enum ats_kind {
    ATS_KIND_FRAME = 0,    /* an ordinary frame: trailer and switch time */
    ATS_KIND_KEYFRAME = 1, /* a keyframe */
    ATS_KIND_SHORT = 2     /* too short to tell: delivered as it is */
} ats_kind;

/*
 * Set-up of a new ring from the environment: resets the ring's switch
 * timestamp state, reads the QUOR_ARISTA_* variables and logs the
 * description (PARAM and WARN).  True when the ring is to decode.
 */
bool kpt__ats_init(kpt__rx *rx);
/* The switch counters at close (PARAM), when the ring was set up to decode. */
void kpt__ats_fini(const kpt__rx *rx);

/*
 * One receive attempt of a decoding ring (its kpt__rx::decode_try, set at
 * set-up), on top of the fast path's kpt__rx_take: 0 with *req filled (an
 * ordinary frame with its trailer stripped and, once a keyframe is known,
 * switch time; or a keyframe when the application asked for them), or
 * EAGAIN: nothing ready, or a keyframe was consumed.
 */
int ring_recv_try_ats(kpt__pq_mode mode, kpt__rx *rx, int req_index, kpt_recv_req *req);

/* Classifies the frame req describes (bounds: req->length). */
ats_kind kpt__ats_kind(const kpt_recv_req *req);
/* Decodes a keyframe into the ring's state, with its events, counters and
 * reports. */
void kpt__ats_keyframe(kpt__rx *rx, const kpt_recv_req *req);
/* An ordinary frame: trailer stripped, switch time set when active. */
void kpt__ats_frame(kpt__rx *rx, kpt_recv_req *req);
/* UTC nanoseconds of the 31-bit switch time t, from the latest keyframes. */
uint64_t kpt__ats_compute_timestamp(const ats_control *a, uint32_t t);

/* Host real time in nanoseconds for the PTP grace period (replaceable by
 * tests). */
extern uint64_t (*kpt__ats_host_ns)(void);

#ifdef __cplusplus
}
#endif

#endif /* KPT_ATS_H */
