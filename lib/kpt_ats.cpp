/*
 * kpt_ats.cpp - switch timestamp decoding.
 *
 * The switch counts ticks at 350 MHz (20/7 ns each).  Every frame it
 * forwards carries the low 31 bits of that count in a 4-byte trailer,
 * R = ((t >> 7) << 8) | (t & 0x7f) big-endian, bit 7 of R being no part of
 * the time.  Keyframes relate a full count to UTC; a frame's time is the
 * UTC of a keyframe plus the ticks since it, so the 31-bit time may wrap
 * once (about 6.1 s) between a keyframe and the frames converted from it.
 *
 * State of a ring (arct_status): DISABLED for good when not asked for;
 * INITED until the first usable keyframe; ACTIVE and above, frames carry
 * switch time; CHANGEDMODE while the switch announces a mode other than
 * "appended" (frames keep the adapter's time, their trailer is stripped);
 * OUTOFSYNC after the switch has gone without PTP for the grace period;
 * NEED_KEYFRAME when the 31-bit time has wrapped since the last keyframe.
 *
 * Frames and keyframes come from the network: every byte read lies inside
 * the frame's length.
 */
#include <arpa/inet.h>
#include <endian.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include "kpt_ats.h"

namespace {

constexpr uint32_t kTime31 = 0x7fffffffu;
constexpr uint32_t kFlipBit = 0x40000000u; /* bit 30: half a wrap */
constexpr uint64_t kFlipsPerShortage = 3;  /* more than one wrap */
/* Ticks after the latest keyframe below which a frame is converted from the
 * one before it. */
constexpr uint32_t kNearTicks = 29;
/* Ticks of one wrap of the 31-bit time. */
constexpr uint64_t kWrapTicks = (uint64_t)1 << 31;
constexpr double kNsPerTick = 2.857142857142857;
/* Debug mode of the switch timestamp reports (level 'A'). */
constexpr uint32_t kDebugSwitchTs = 0x40;

/* Event bits of a keyframe, in the order they are reported. */
enum : uint32_t {
    EV_MODE_OFF = 0x01,
    EV_MODE_ON = 0x02,
    EV_PTP_LOST = 0x04,
    EV_PTP_BACK = 0x08,
    EV_SHORTAGE_END = 0x20,
    EV_MALFORMED = 0x40,
};

uint64_t realtime_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return (uint64_t)ts.tv_sec * 1000000000ull + (uint64_t)ts.tv_nsec;
}

inline uint16_t be16_at(const uint8_t *p) { return (uint16_t)(p[0] << 8 | p[1]); }

inline uint32_t be32_at(const uint8_t *p)
{
    uint32_t v;
    memcpy(&v, p, sizeof v);
    return be32toh(v);
}

inline uint64_t be64_at(const uint8_t *p)
{
    uint64_t v;
    memcpy(&v, p, sizeof v);
    return be64toh(v);
}

inline bool active(ats_status s) { return s >= ATS_STATUS_ACTIVE; }

/* Offset of the network header (past one optional VLAN tag) and the
 * EtherType; false when the frame ends before them. */
inline bool l3_of(const uint8_t *f, uint32_t len, uint32_t *off, uint32_t *type)
{
    if (len < 14)
        return false;
    uint32_t t = be16_at(f + 12), o = 14;
    if (t == 0x8100) {
        if (len < 18)
            return false;
        t = be16_at(f + 16);
        o = 18;
    }
    *off = o;
    *type = t;
    return true;
}

inline ats_kind kind_of(const uint8_t *f, uint32_t len)
{
    uint32_t off, type;
    if (!l3_of(f, len, &off, &type))
        return ATS_KIND_SHORT;
    uint32_t at;
    if (type == 0x0800)
        at = off + 9; /* IPv4 protocol */
    else if (type == 0x86dd)
        at = off + 6; /* IPv6 next header */
    else
        return ATS_KIND_FRAME;
    if (len <= at)
        return ATS_KIND_SHORT;
    return f[at] == ATS_KF_PROTO ? ATS_KIND_KEYFRAME : ATS_KIND_FRAME;
}

inline uint32_t time31(uint32_t r) { return (r >> 8) << 7 | (r & 0x7f); }

/* "on" or "off" of a setting. */
inline const char *onoff(int v) { return v ? "on" : "off"; }

/*
 * A variable of the set-up: unset or empty leaves the default, anything
 * else is on when atoi reads a non-zero number.
 */
uint8_t env_flag(const char *name, uint8_t dflt)
{
    const char *v = getenv(name);
    if (v == nullptr || *v == '\0')
        return dflt;
    return atoi(v) != 0;
}

void log_keyframe(const kpt__rx *rx, uint32_t ev)
{
    const ats_control &a = rx->ats;
    const ats_keyframe &k = a.arct_lastkf;
    KPT_LOG_A(rx->p, "KF received, active: %ld, status: %d\n", (long)active(a.arct_status),
              (int)ev);
    if (rx->p->debug_mask & kDebugSwitchTs) {
        char text[512];
        snprintf(text, sizeof text,
                 "KF: asicTS:%llu, asic:%llu, utc:%llu, sync:%llu, \n                 "
                 "skew_num:%llu, skew_denom:%llu, keyf:%llu, drops:%llu, id:%u, swport:%u, "
                 "fcs_type:%u",
                 (unsigned long long)(k.ak_asic_time & kTime31),
                 (unsigned long long)k.ak_asic_time, (unsigned long long)k.ak_utc_time,
                 (unsigned long long)k.ak_last_sync_time,
                 (unsigned long long)k.ak_skew_numerator,
                 (unsigned long long)k.ak_skew_denominator,
                 (unsigned long long)k.ak_kf_timestamp, (unsigned long long)k.ak_dropped_frames,
                 (unsigned)k.ak_device_id, (unsigned)k.ak_egress_swport,
                 (unsigned)k.ak_fcs_type);
        KPT_LOG_A(rx->p, "%s\n", text);
    }

    const unsigned long utc = (unsigned long)k.ak_utc_time;
    if (ev & EV_MODE_OFF)
        KPT_LOG_W(rx->p, "%lu: Arista switch timestamp feature disabled by the switch %s\n", utc, "");
    if (ev & EV_MODE_ON)
        KPT_LOG_W(rx->p, "%lu: Arista switch timestamp feature re-enabled by the switch %s\n", utc, "");
    if (ev & EV_SHORTAGE_END)
        KPT_LOG_W(rx->p, "%lu: Arista switch keyframe shortage ended %s\n", utc, "");
    if (ev & EV_PTP_LOST)
        KPT_LOG_W(rx->p, "%lu: Arista switch can't PTP sync anymore, time might be unreliable %s\n",
                  utc, "");
    if (ev & EV_PTP_BACK)
        KPT_LOG_W(rx->p, "%lu: Arista switch did resync with PTP protocol %s\n", utc, "");
    if (ev & EV_MALFORMED)
        KPT_LOG_W(rx->p,
                  "---: Arista switch sent malformed IP PROTO 253 packet, expected=%lu got=%d.\n",
                  (unsigned long)(a.arct_kf_hasskew ? ATS_KF_LEN_SKEW : ATS_KF_LEN),
                  (int)a.arct_stats.arst_kfmalformedlen);
}

/* The PTP check of a usable keyframe: a switch without synchronisation is
 * given the grace period before its time is called unreliable. */
uint32_t ptp_check(ats_control &a)
{
    const ats_keyframe &k = a.arct_lastkf;
    if (k.ak_last_sync_time != 0) {
        /* Synchronised: a later loss starts a grace period of its own. */
        a.arct_kf_ptp_wait = 0;
        if (a.arct_status == ATS_STATUS_OUTOFSYNC) {
            a.arct_status = ATS_STATUS_ACTIVE;
            return EV_PTP_BACK;
        }
        return 0;
    }
    if (a.arct_status == ATS_STATUS_OUTOFSYNC)
        return 0;
    const uint64_t now = kpt__ats_host_ns();
    if (a.arct_kf_ptp_wait == 0)
        a.arct_kf_ptp_wait = now + ATS_PTP_GRACE_NS;
    if (now > a.arct_kf_ptp_wait) {
        a.arct_kf_ptp_wait = 0;
        a.arct_status = ATS_STATUS_OUTOFSYNC;
        a.arct_stats.arst_ptpoos++;
        return EV_PTP_LOST;
    }
    return 0;
}

} // namespace

uint64_t (*kpt__ats_host_ns)(void) = realtime_ns;

ats_kind kpt__ats_kind(const kpt_recv_req *req)
{
    return kind_of((const uint8_t *)req->pkt_addr, req->length);
}

uint64_t kpt__ats_compute_timestamp(const ats_control *a, uint32_t t)
{
    t &= kTime31;
    const uint32_t k = (uint32_t)(a->arct_lastkf.ak_asic_time & kTime31);
    const ats_keyframe *b = &a->arct_lastkf;
    /* Just after the latest keyframe, the one before it; there is none
     * before the second keyframe.  Its 31-bit time places the frame only
     * while the frame is less than one wrap after it: after a keyframe
     * shortage it can be older, and the latest is used. */
    if (t > k && t - k < kNearTicks && a->arct_stats.arst_kfrecv >= 2 &&
        a->arct_lastkf.ak_asic_time - a->arct_llastkf.ak_asic_time < kWrapTicks - (t - k))
        b = &a->arct_llastkf;
    /* Ticks since the base keyframe, modulo the 31-bit counter. */
    int64_t d = (int32_t)(t - (uint32_t)(b->ak_asic_time & kTime31));
    if (d < 0)
        d += (int64_t)1 << 31;

    double ns = kNsPerTick * (double)d;
    if (a->arct_kf_hasskew && d != 0 && b->ak_skew_numerator != 0 &&
        b->ak_skew_denominator != 0) {
        /* A ratio that would leave the 64-bit range counts as 1. */
        const double skewed =
            ns * ((double)b->ak_skew_denominator / (double)b->ak_skew_numerator);
        if (skewed < 18446744073709549568.0)
            ns = skewed;
    }
    return b->ak_utc_time + (uint64_t)ns;
}

void kpt__ats_keyframe(kpt__rx *rx, const kpt_recv_req *req)
{
    ats_control &a = rx->ats;
    const uint8_t *f = (const uint8_t *)req->pkt_addr;
    const uint32_t len = req->length;
    uint32_t off = 0, type = 0;
    (void)l3_of(f, len, &off, &type); /* known to succeed for a keyframe */
    const uint32_t tag = off - 14;     /* 4 with a VLAN tag */
    const uint32_t want = (a.arct_kf_hasskew ? ATS_KF_LEN_SKEW : ATS_KF_LEN) + tag;

    uint32_t ev = 0;
    if (len < ATS_TRAILER_LEN || len - ATS_TRAILER_LEN != want) {
        a.arct_stats.arst_kfmalformed++;
        a.arct_stats.arst_kfmalformedlen = len - ATS_TRAILER_LEN - tag;
        ev = EV_MALFORMED;
    } else {
        a.arct_llastkf = a.arct_lastkf;
        ats_keyframe &k = a.arct_lastkf;
        const uint8_t *p = f + QUOR_KF_PAYLOAD_OFF + tag;
        k.ak_asic_time = be64_at(p + QUOR_KF_OFF_ASIC);
        k.ak_utc_time = be64_at(p + QUOR_KF_OFF_UTC);
        k.ak_last_sync_time = be64_at(p + QUOR_KF_OFF_SYNC);
        if (a.arct_kf_hasskew) {
            k.ak_skew_numerator = be64_at(p + QUOR_KF_OFF_SKEW);
            k.ak_skew_denominator = be64_at(p + QUOR_KF_OFF_SKEW + 8);
        }
        p += QUOR_KF_TAIL + (a.arct_kf_hasskew ? QUOR_KF_SKEW_LEN : 0);
        k.ak_kf_timestamp = be64_at(p + QUOR_KF_TAIL_KF_TS);
        k.ak_dropped_frames = be64_at(p + QUOR_KF_TAIL_DROPS);
        k.ak_device_id = be16_at(p + QUOR_KF_TAIL_DEVICE);
        k.ak_egress_swport = be16_at(p + QUOR_KF_TAIL_SWPORT);
        k.ak_fcs_type = p[QUOR_KF_TAIL_FCS_TYPE];
        k.ak_reserved = p[QUOR_KF_TAIL_RESERVED];
        a.arct_stats.arst_kfrecv++;
        /* Wraps of the 31-bit time are counted from here. */
        a.arct_kf_flipped = 0;
        a.arct_kf_last_ts = (uint32_t)(k.ak_asic_time & kTime31);

        if (a.arct_status == ATS_STATUS_NEED_KEYFRAME) {
            a.arct_status = ATS_STATUS_ACTIVE;
            ev |= EV_SHORTAGE_END;
        }
        if (k.ak_fcs_type == ATS_FCS_TIMESTAMPING_APPENDED) {
            if (a.arct_status == ATS_STATUS_CHANGEDMODE) {
                a.arct_status = ATS_STATUS_ACTIVE;
                ev |= EV_MODE_ON;
            }
        } else if (a.arct_status != ATS_STATUS_CHANGEDMODE) {
            a.arct_status = ATS_STATUS_CHANGEDMODE;
            a.arct_stats.arst_unsupported_mode++;
            ev |= EV_MODE_OFF;
        }
        /* While the switch's mode is unsupported its time is not used, so
         * its synchronisation does not matter either. */
        if (a.arct_kf_check_ptp && a.arct_status != ATS_STATUS_CHANGEDMODE)
            ev |= ptp_check(a);
    }
    log_keyframe(rx, ev);

    /* The first usable keyframe turns switch time on.  CHANGEDMODE holds
     * until the switch appends again. */
    if (ev == 0 && a.arct_status <= ATS_STATUS_FALLBACK_LOCAL &&
        a.arct_status != ATS_STATUS_CHANGEDMODE)
        a.arct_status = ATS_STATUS_ACTIVE;
}

void kpt__ats_frame(kpt__rx *rx, kpt_recv_req *req)
{
    ats_control &a = rx->ats;
    const uint32_t len = req->length;
    if (!active(a.arct_status)) {
        req->length = len - ATS_TRAILER_LEN; /* the adapter's time stays */
        return;
    }
    const uint32_t r = be32_at((const uint8_t *)req->pkt_addr + len - ATS_TRAILER_LEN);
    const uint32_t t = time31(r);
    const uint64_t ts = kpt__ats_compute_timestamp(&a, t);
    if ((t ^ a.arct_kf_last_ts) & kFlipBit) {
        a.arct_kf_flipped++;
        a.arct_stats.arst_flips++;
    }
    req->timestamp = ts;
    a.arct_kf_last_ts = t;
    a.arct_last_ts = ts;
    if (__builtin_expect(rx->p->debug_mask & kDebugSwitchTs, 0))
        KPT_LOG_A(rx->p, "raw ts: 0x%08x, asic ts: %08d, computed: %ld, pktlen=%u\n",
                  (unsigned)r, (int)t, (long)ts, (unsigned)len);
    req->length = len - ATS_TRAILER_LEN;

    if (a.arct_kf_check_rate && a.arct_kf_flipped >= kFlipsPerShortage &&
        a.arct_status != ATS_STATUS_NEED_KEYFRAME) {
        a.arct_status = ATS_STATUS_NEED_KEYFRAME;
        a.arct_stats.arst_kfneeded++;
        KPT_LOG_W(rx->p, "%lu: Arista switch keyframe shortage beginning %s\n", (unsigned long)ts, "");
    }
}

int ring_recv_try_ats(kpt__pq_mode mode, kpt__rx *rx, int req_index, kpt_recv_req *req)
{
    ats_control &a = rx->ats;
    for (;;) {
        if (kpt__rx_take(rx, req_index, req) != 0)
            return EAGAIN;
        const ats_kind kind =
            a.arct_status == ATS_STATUS_DISABLED ? ATS_KIND_SHORT : kpt__ats_kind(req);

        if (kind == ATS_KIND_KEYFRAME) {
            /* Every ring of a shared queue follows the switch's clock; the
             * one the hash picks may deliver the keyframe. */
            kpt__ats_keyframe(rx, req);
            const bool mine = mode != P_SHARED || kpt__rx_rss_keep(rx, req);
            if (mine && a.arct_kf_recv) {
                req->timestamp = a.arct_lastkf.ak_utc_time;
                req->length -= ATS_TRAILER_LEN;
                break;
            }
            kpt__rx_pass_over(rx, req_index, req->length_data);
            if (!mine)
                continue;
            /* Consumed.  A group takes the keyframe's time as the time its
             * port has reached. */
            if (active(a.arct_status))
                req->timestamp = a.arct_lastkf.ak_utc_time;
            return EAGAIN;
        }

        if (mode == P_SHARED && !kpt__rx_rss_keep(rx, req)) {
            kpt__rx_pass_over(rx, req_index, req->length_data);
            continue;
        }
        if (kind == ATS_KIND_FRAME) {
            kpt__ats_frame(rx, req);
        } else if (active(a.arct_status)) {
            /* Too short to carry a trailer: as it came, at the adapter's
             * time of its descriptor. */
            req->timestamp = rx->rx_s->recvq.ev_info.ev_timestamp;
        }
        break;
    }
    /* Packets handed out; a consumed keyframe is not one. */
    kpt__rx_qstats &st = rx->rx_s->recvq.stats;
    kpt__rx_count(st.rq_pkt_cnt, 1);
    kpt__rx_count(st.rq_pkt_length, req->length);
    return 0;
}

bool kpt__ats_init(kpt__rx *rx)
{
    ats_control &a = rx->ats;
    memset(&a, 0, sizeof a);
    a.arct_mode = ATS_FCS_TIMESTAMPING_DISABLED;
    a.arct_status = ATS_STATUS_DISABLED;
    a.arct_kf_check_rate = 1;
    a.arct_kf_check_ptp = 1;
    memcpy(a.arct_prodname, "KPT", 4);

    char addr[32] = "1.1.1.0";
    const char *dst = getenv("QUOR_ARISTA_PARAM_KF_DST_IP");
    if (dst != nullptr) {
        snprintf(addr, sizeof addr, "%s", dst);
        a.arct_kf_dst_ip = *dst != '\0' ? (uint32_t)inet_addr(addr) : 0;
    } else {
        a.arct_kf_dst_ip = (uint32_t)inet_addr(addr);
    }

    char desc[256];
    int n = snprintf(desc, sizeof desc, "** ");
    const char *on = getenv("QUOR_ARISTA_ENABLE_TIMESTAMPING");
    if (on == nullptr || (*on != '\0' && atoi(on) == 0))
        return false; /* "[off]": nothing more is read or said */
    if (*on != '\0') {
        a.arct_status = ATS_STATUS_INITED;
        n += snprintf(desc + n, sizeof desc - (size_t)n,
                      "Arista timestamping [on], mode: append (before-fcs), dst_ip: %s", addr);
    }

    a.arct_kf_recv = env_flag("QUOR_ARISTA_PARAM_KF_RECEIVE", 0);
    a.arct_kf_check_ptp = env_flag("QUOR_ARISTA_PARAM_KF_CHECK_PTP", 1);
    a.arct_kf_check_rate = env_flag("QUOR_ARISTA_PARAM_KF_CHECK_RATE", 1);
    a.arct_kf_hasskew = env_flag("QUOR_ARISTA_ENABLE_SKEW", 0);
    snprintf(desc + n, sizeof desc - (size_t)n,
             "\n\t  * features: keyframe check min.rate [%s] kf check ptp [%s] "
             "kf receive [%s] kf skew [%s] ",
             onoff(a.arct_kf_check_rate), onoff(a.arct_kf_check_ptp), onoff(a.arct_kf_recv),
             onoff(a.arct_kf_hasskew));
    const uint32_t both = KPT_DEBUG_PARAM | KPT_DEBUG_WARN;
    if ((rx->p->debug_mask & both) == both)
        KPT_LOG(rx->p, 0, ' ', "%s\n", desc);
    return a.arct_status != ATS_STATUS_DISABLED;
}

void kpt__ats_fini(const kpt__rx *rx)
{
    const ats_control &a = rx->ats;
    if (a.arct_status == ATS_STATUS_DISABLED)
        return;
    const ats_stats &st = a.arct_stats;
    char text[512];
    snprintf(text, sizeof text,
             "Arista stats: KF [recv %ld, flips %ld, shortages %ld, malformed %ld] "
             "Sw [ptp out of sync. %ld, unsupp. %ld, dropped frm %ld, neg_adj_events %ld]",
             (long)st.arst_kfrecv, (long)st.arst_flips, (long)st.arst_kfneeded,
             (long)st.arst_kfmalformed, (long)st.arst_ptpoos, (long)st.arst_unsupported_mode,
             (long)a.arct_lastkf.ak_dropped_frames, (long)st.arst_neg_adj_event);
    KPT_LOG_P(rx->p, "%s%s\n", text, "");
}
