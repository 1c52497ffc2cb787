/*
 * kpt_rx.cpp - receive rings.
 *
 * Opening a ring attaches a device file to a ring endpoint of the driver and
 * maps the regions it shares with the driver and the adapter; receiving reads
 * the adapter's descriptors and hands out frames in place in the data ring;
 * closing gives every byte back and unmaps.  A device handle over several
 * ports gets a ring group: one member ring per port, merged in timestamp
 * order.
 *
 * The receive path takes no lock and makes no system call while packets are
 * ready, except the release synchronisation once 64 KiB have been released.
 *
 * Everything read from the descriptor ring is untrusted.  A descriptor is
 * "sound" when it names at most 58 packets, each at least as long as its
 * frame check sequence, whose slots fit inside the descriptor's total length,
 * itself no longer than the data ring.  A descriptor that is not sound is
 * passed over as a whole (its total length is consumed, none of its packets
 * is delivered) and counted in rx_verify.err_pkt_ring; a descriptor without
 * packets is passed over silently.
 */
#include <endian.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <atomic>

#include "kpt_rx.h"

kpt__rx_map kpt_rx_map;

namespace {

/* ======================================================================== */
/* Shared-memory access                                                     */
/* ======================================================================== */

template <class T> inline std::atomic_ref<T> shm(T &v) { return std::atomic_ref<T>(v); }

/* Read-only mappings: the loads never write, so the const can go. */
template <class T> inline std::atomic_ref<T> shm(const T &v)
{
    return std::atomic_ref<T>(const_cast<T &>(v));
}

inline void cpu_relax()
{
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#else
    std::atomic_signal_fence(std::memory_order_seq_cst);
#endif
}

/*
 * The sequence number of a descriptor, loaded before any other field of it.
 * Pairs with the adapter's release store of seqnum, which it makes after the
 * frame data and the rest of the descriptor: once the number matches, both
 * are visible.
 */
inline uint8_t desc_seqnum_acquire(const nfw_kpt_rx_desc_t *d)
{
    return shm(d->seqnum).load(std::memory_order_acquire);
}

/*
 * Publishes the release point.  The adapter loads rq_data_tail with acquire
 * before it writes over released data, so every read of that data here
 * (including a wrap-around copy) happens before its new writes.
 */
inline void rq_data_tail_release(kpt__rx_state *s, uint64_t tail)
{
    shm(s->recvq.rq_data_tail).store(tail, std::memory_order_release);
}

/*
 * Publishes the descriptor cursor.  The adapter and the driver's wait load
 * evq_desc_cnt with acquire before they reuse a descriptor entry, so the
 * unpacking of the consumed descriptor happens before it is overwritten.
 */
inline void evq_desc_cnt_release(kpt__rx_state *s, uint64_t cnt)
{
    shm(s->evq.evq_desc_cnt).store(cnt, std::memory_order_release);
}

/*
 * Reads the kernel window's clock block under its sequence lock.  The driver
 * makes clksync.seqnum odd, rewrites the block, then stores the next even
 * value with release; the acquire loads of seqnum here pair with that store.
 * `read` does relaxed loads of the parameters; the acquire fence keeps them
 * before the second load of seqnum, so an unchanged even value proves they
 * belong to one version of the block.
 */
template <class F> inline void clksync_read(const quor_kwindow_t *kw, F &&read)
{
    for (;;) {
        const uint32_t s0 = shm(kw->clksync.seqnum).load(std::memory_order_acquire);
        if (s0 & 1u) {
            cpu_relax(); /* the driver is rewriting the block */
            continue;
        }
        read();
        std::atomic_thread_fence(std::memory_order_acquire);
        if (shm(kw->clksync.seqnum).load(std::memory_order_acquire) == s0)
            return;
    }
}

template <class T> inline T relaxed(const T &v) { return shm(v).load(std::memory_order_relaxed); }

/*
 * A field of a descriptor whose sequence number matched.  One relaxed load:
 * the value checked is the value used, however the memory changes after.
 */
template <class T> inline T desc_field(const T &v) { return relaxed(v); }

/*
 * A run of fields of a descriptor whose sequence number matched, copied
 * once into the reader's own memory.  Ordered after the acquire load of the
 * sequence number like desc_field; the adapter writes the descriptor again
 * only after evq_desc_cnt has moved past it, so nothing writes it while it
 * is copied.
 */
inline void desc_copy(void *to, const void *from, size_t n) { memcpy(to, from, n); }

/* dt ticks in nanoseconds: the product first, 64-bit and wrapping. */
inline uint64_t ticks_to_ns(uint64_t dt, uint32_t num, uint32_t den)
{
    return den != 0 ? dt * num / den : 0;
}

/* ======================================================================== */
/* Driver requests of the receive path                                      */
/* ======================================================================== */

inline int rx_wait(zal_handle_t mhandle, int timeout_ms)
{
    int32_t t = timeout_ms;
    return zal_ioctl(mhandle, (int)QUOR_KPT_WAIT, &t, sizeof t);
}

/* Tells the driver how far the ring has consumed and released; its result
 * does not matter: the release point is already in the state slot. */
__attribute__((noinline)) void rx_sync(kpt__rx *rx, uint64_t tail)
{
    kpt__rx_state *s = rx->rx_s;
    kpt__rx_sync rec;
    rec.rs_desc_cnt = s->evq.evq_desc_cnt;
    rec.rs_data_head = s->evq.evq_data_head;
    rec.rs_data_tail = tail;
    s->recvq.rq_data_tail_last = tail;
    (void)zal_ioctl(rx->mhandle, (int)QUOR_KPT_RX_SYNC, &rec, sizeof rec);
}

/* ======================================================================== */
/* Packet receive                                                           */
/* ======================================================================== */

inline __attribute__((always_inline)) void rx_tail_update(kpt__rx *rx, uint64_t tail)
{
    kpt__rx_state *s = rx->rx_s;
    rq_data_tail_release(s, tail);
    if (__builtin_expect(tail - s->recvq.rq_data_tail_last >= QUOR_KPT_RX_SYNC_BYTES, 0))
        rx_sync(rx, tail);
}

/*
 * Data a receive attempt consumed but does not deliver (a packet for another
 * ring, a dropped one, a descriptor passed over): a batched call gives it
 * back with the next packet it returns, a single receive at once.
 */
inline void rx_pass_over(kpt__rx *rx, int req_index, uint32_t bytes)
{
    if (req_index != -1)
        rx->rq_pend_drop_size += bytes;
    else
        rx_tail_update(rx, rx->rx_s->recvq.rq_data_head);
}

/* Moves the descriptor cursor past the descriptor just read; the count
 * goes last, published with release. */
inline void evq_advance(kpt__rx_state *s, uint32_t ev_length)
{
    kpt__rx_evq &e = s->evq;
    const uint32_t next = e.evq_next_idx + 1;
    e.evq_next_idx = next > e.evq_last_idx ? 0 : next;
    e.evq_seqnum = e.evq_seqnum >= 255 ? 1 : e.evq_seqnum + 1;
    e.evq_data_head = s->recvq.rq_data_head + ev_length;
    evq_desc_cnt_release(s, e.evq_desc_cnt + 1);
}

/*
 * Opens the next descriptor that carries packets: its tick count converted,
 * its lengths unpacked into ev_info, the cursor moved past it.  Descriptors
 * without packets and unsound ones are consumed and passed over on the way.
 * False when the adapter has not written the next descriptor yet.
 */
__attribute__((noinline)) bool rx_open_desc(kpt__rx *rx, int req_index)
{
    kpt__rx_state *s = rx->rx_s;
    if (__builtin_expect(rx->evq_base == nullptr || rx->rx_map.map_rx_data == 0, 0))
        return false; /* the driver gave the ring no descriptor or data ring */

    kpt__rx_evinfo &ev = s->recvq.ev_info;
    for (;;) {
        const nfw_kpt_rx_desc_t *d = &rx->evq_base[s->evq.evq_next_idx];
        if (desc_seqnum_acquire(d) != s->evq.evq_seqnum)
            return false;

        /* Each field is read once; only the copies are checked and used. */
        const uint32_t cnt = desc_field(d->pkt_cnt);
        const uint32_t total = be16toh(desc_field(d->total_len));
        const uint64_t ticks = ((uint64_t)be32toh(desc_field(d->timestamp_high)) << 32) |
                               be32toh(desc_field(d->timestamp_low));
        bool sound = cnt <= QUOR_KPT_DESC_MAX_PKTS && total <= rx->rq_size;
        if (sound && cnt != 0) {
            /* The lengths in one copy of the whole array (a few vector
             * loads instead of one load per packet), then converted and
             * checked in place. */
            uint16_t *lens = ev.u.ev_pkt_lens;
            desc_copy(lens, d->pkt_lens, sizeof d->pkt_lens);
            uint32_t slots = 0, shortest = 0xffff;
            for (uint32_t i = 0; i < cnt; i++) {
                const uint16_t len = be16toh(lens[i]);
                lens[i] = len;
                slots += quor_kpt_rpd_length_up(len);
                shortest = len < shortest ? len : shortest;
            }
            sound = shortest >= QUOR_FCS_LEN && slots <= total;
        }

        if (__builtin_expect(sound && cnt != 0, 1)) {
            /* Converted before the cursor moves: in the window clock mode
             * the driver keeps its reference no later than the oldest
             * descriptor the ring has not consumed. */
            ev.ev_timestamp = kpt__clk_get_timestamp(rx, ticks);
            ev.ev_length = total;
            ev.ev_pkt_cnt = cnt;
            ev.ev_pkt_off = 0;
            ev.ev_length_time = total - ev.u.ev_pkt_lens[cnt - 1];
            s->evq.evq_evinfo_idx = 0;
            evq_advance(s, total);
            return true;
        }

        /* No packet to deliver: consume what the descriptor covers. */
        ev.ev_length = total;
        ev.ev_length_time = total;
        ev.ev_pkt_cnt = 0;
        ev.ev_pkt_off = 0;
        evq_advance(s, total);
        if (!sound)
            rx->rx_verify.err_pkt_ring++;
        kpt__rx_recvq &q = s->recvq;
        q.rq_data_head += total;
        q.rq_data_off = (q.rq_data_off + total) % rx->rq_size;
        if (total != 0)
            rx_pass_over(rx, req_index, total);
    }
}

/*
 * A packet whose consumed bytes run past the ring end.  The bytes from its
 * slot to the ring end are copied into the preamble so that they end at the
 * ring start, where the rest of the packet lies.  Rings that share a queue
 * may copy the same packet at the same time; they write the same bytes.
 * When those bytes would not fit in the preamble, the packet itself still
 * ends before the ring end (and is handed out in place) or cannot be made
 * contiguous (false: it is not handed out).
 */
__attribute__((noinline)) bool rx_wrap(const kpt__rx *rx, uint64_t off, uint32_t slot,
                                       uint8_t **p)
{
    const uintptr_t ring = rx->rx_map.map_rx_data;
    const uint64_t head = rx->rq_size - off;
    if (head <= ring - rx->rx_map.map_rx_data_ring) {
        memcpy((void *)(ring - head), *p, head);
        *p = (uint8_t *)(ring - head);
        return true;
    }
    return off + slot <= rx->rq_size;
}

/* Takes the next packet of the open descriptor.  0, or ERANGE when the
 * packet is consumed but cannot be handed out (see rx_wrap). */
inline __attribute__((always_inline)) int recv_req(kpt__rx *rx, kpt_recv_req *req)
{
    kpt__rx_state *s = rx->rx_s;
    kpt__rx_recvq &q = s->recvq;
    kpt__rx_evinfo &ev = q.ev_info;

    const uint64_t off = q.rq_data_off;
    uint8_t *p = (uint8_t *)(rx->rx_map.map_rx_data + off);
    const int32_t i = s->evq.evq_evinfo_idx;
    const uint32_t len = ev.u.ev_pkt_lens[i];
    const uint32_t slot = quor_kpt_rpd_length_up(len);
    const uint32_t pkt_off = ev.ev_pkt_off;
    const uint32_t pkt_cnt = ev.ev_pkt_cnt;

    /* Above FALLBACK_LOCAL the switch's time replaces the adapter's. */
    if (rx->ats.arct_status <= ATS_STATUS_FALLBACK_LOCAL) {
        uint64_t t = ev.ev_timestamp;
        if (t != 0) {
            const uint64_t last = q.rq_ev_ts_last;
            if (pkt_cnt == 1) {
                if (t < last) {
                    t = last;
                    q.stats.rq_neg_adj_event++;
                }
            } else {
                /* One nanosecond earlier per byte before ev_length_time. */
                t -= ev.ev_length_time - pkt_off;
                if (t < last)
                    t = last;
            }
            q.rq_ev_ts_last = t;
        }
        req->timestamp = t;
    }

    uint32_t consumed;
    ev.ev_pkt_off = pkt_off + slot;
    if ((uint32_t)i + 1 == pkt_cnt) {
        consumed = ev.ev_length - pkt_off; /* the last owns the rest */
        s->evq.evq_evinfo_idx = -1;
    } else {
        consumed = slot;
        s->evq.evq_evinfo_idx = i + 1;
    }
    q.rq_data_head += consumed;

    int rc = 0;
    uint64_t noff = off + consumed;
    if (__builtin_expect(noff >= rx->rq_size, 0)) {
        if (noff > rx->rq_size && !rx_wrap(rx, off, slot, &p))
            rc = ERANGE;
        noff -= rx->rq_size;
    }
    q.rq_data_off = noff;

    req->pkt_addr = p + sizeof(kpt__rpd);
    req->length = len - QUOR_FCS_LEN;
    req->portnum = rx->portnum;
    req->length_data = consumed;
    return rc;
}

/* On a shared queue: true when the packet is this ring's to keep; a packet
 * for another ring or one the hash function drops is counted. */
bool rss_keep(kpt__rx *rx, kpt_recv_req *req)
{
    uint32_t h = 0;
    const int rc = rx->rss_hash_fn(req, rx->rss_context, &h);
    const uint32_t target = rx->ring_mask != 0 ? (h & rx->ring_mask) : (h % rx->num_rings);
    if (target == rx->ring_id && rc >= 0)
        return true;
    if (target != rx->ring_id)
        kpt__rx_count(rx->rx_s->recvq.stats.rq_pkt_cnt_skip_rss, 1);
    else
        kpt__rx_count(rx->rx_s->recvq.stats.rq_pkt_cnt_drop, 1);
    return false;
}

/* The next packet of the queue, whichever ring it is for: 0 with *req
 * filled, or EAGAIN. */
inline __attribute__((always_inline)) int rx_take(kpt__rx *rx, int req_index, kpt_recv_req *req)
{
    for (;;) {
        if (rx->rx_s->evq.evq_evinfo_idx < 0 && !rx_open_desc(rx, req_index))
            return EAGAIN;
        if (__builtin_expect(recv_req(rx, req) == 0, 1))
            return 0;
        rx->rx_verify.err_pkt_ring++;
        rx_pass_over(rx, req_index, req->length_data);
    }
}

/* One non-blocking attempt: 0 with *req filled, or EAGAIN. */
inline __attribute__((always_inline)) int recv_try(kpt__pq_mode mode, kpt__rx *rx,
                                                   int req_index, kpt_recv_req *req)
{
    for (;;) {
        if (rx_take(rx, req_index, req) != 0)
            return EAGAIN;
        if (mode != P_SHARED || rss_keep(rx, req))
            break;
        rx_pass_over(rx, req_index, req->length_data);
    }
    kpt__rx_qstats &st = rx->rx_s->recvq.stats;
    kpt__rx_count(st.rq_pkt_cnt, 1);
    kpt__rx_count(st.rq_pkt_length, req->length);
    return 0;
}

/*
 * Packets left in the descriptor the ring has open.  An attempt that comes
 * back empty-handed with some left (a consumed keyframe) is repeated rather
 * than waited for: the driver only wakes a wait for a new descriptor.
 */
inline bool rx_open_left(const kpt__rx *rx) { return rx->rx_s->evq.evq_evinfo_idx >= 0; }

/* A receive attempt: the plain one here; switch timestamp decoding wraps it. */
typedef int (*recv_try_fn)(kpt__pq_mode mode, kpt__rx *rx, int req_index, kpt_recv_req *req);

/*
 * The receive functions of a ring on one port: release what the previous
 * single receive handed out, then try, and wait in the driver between
 * attempts while nothing is ready.  Shared selects the ring's queue mode for
 * the attempts; otherwise every attempt is P_UNUSED.
 */
template <recv_try_fn Try, bool Shared>
int ring_recv_loop(kpt_ring *ring, int timeout_ms, int req_index, kpt_recv_req *req)
{
    kpt__rx *rx = &ring->u.ring.rx;
    if (req_index == -1) {
        /* Everything is released, the bytes a batched call passed over too. */
        rx_tail_update(rx, rx->rx_s->recvq.rq_data_head);
        rx->rq_pend_drop_size = 0;
    }
    const kpt__pq_mode mode = Shared ? rx->pq_mode : P_UNUSED;
    if (Try(mode, rx, req_index, req) == 0)
        return 0;
    if (timeout_ms == 0)
        return EAGAIN;
    for (;;) {
        if (!rx_open_left(rx)) {
            const int rc = rx_wait(rx->mhandle, timeout_ms);
            if (rc != 0)
                return rc;
        }
        if (Try(mode, rx, req_index, req) == 0)
            return 0;
    }
}

/* A member of a group tries with its own attempt: switch timestamps are
 * decoded per port. */
inline int member_try(kpt_ring *m, kpt__rx *mrx, int req_index, kpt_recv_req *req)
{
    if (m->ring_recv_fn == ring_recv_uniq_ats || m->ring_recv_fn == ring_recv_shared_ats)
        return ring_recv_try_ats(m->ring_recv_fn == ring_recv_uniq_ats ? P_UNUSED : mrx->pq_mode,
                                 mrx, req_index, req);
    return recv_try(mrx->pq_mode, mrx, req_index, req);
}

/* ======================================================================== */
/* Ring groups                                                              */
/* ======================================================================== */

constexpr uint64_t kHoldBackLag = 1000000; /* ns a silent port's safe time lags */

inline unsigned lowest_port(uint32_t m) { return (unsigned)__builtin_ctz(m); }

/* Queues a port's waiting packet after every packet not later than it. */
void group_enqueue(kpt_ring_group *g, rx_poll_entry *e)
{
    rx_poll_entry *it;
    TAILQ_FOREACH_REVERSE(it, &g->pollq, rx_group_pollq, link) {
        if (it->recv_req.timestamp <= e->recv_req.timestamp) {
            TAILQ_INSERT_AFTER(&g->pollq, it, e, link);
            return;
        }
    }
    TAILQ_INSERT_HEAD(&g->pollq, e, link);
}

int group_return(kpt_ring_group *g, rx_poll_entry *e, kpt_recv_req *req)
{
    TAILQ_REMOVE(&g->pollq, e, link);
    g->emptymask |= 1u << (unsigned)(e - g->ports);
    *req = e->recv_req;
    g->ring_latest = e->ring;
    return 0;
}

/* Raises the safe time of the silent ports with host time (hold-back). */
void group_hold_back(kpt_ring_group *g, int timeout_ms)
{
    if (g->host_time == 0) {
        g->host_time = zal_host_nsecs();
        g->nic_time = g->max_tstamp;
    }
    if (timeout_ms != 0)
        usleep(1000);
    const uint64_t now = zal_host_nsecs();
    if (now <= g->host_time)
        return;
    const uint64_t reach = g->nic_time + (now - g->host_time);
    const uint64_t safe = reach > kHoldBackLag ? reach - kHoldBackLag : 0;
    for (uint32_t m = g->emptymask; m != 0; m &= m - 1) {
        const unsigned port = lowest_port(m);
        if (g->ports[port].safe_tstamp < safe) {
            g->ports[port].safe_tstamp = safe;
            g->need_update_mask |= 1u << port;
        }
    }
}

} // namespace

/* ======================================================================== */
/* Internal entry points of the receive path                                */
/* ======================================================================== */

void kpt__rx_tail_update(kpt__rx *rx, uint64_t rq_tail_update)
{
    rx_tail_update(rx, rq_tail_update);
}

int kpt__recv_req(kpt__rx *rx, kpt_recv_req *req) { return recv_req(rx, req); }

int ring_recv_try(kpt__pq_mode mode, kpt__rx *rx, int req_index, kpt_recv_req *req)
{
    return recv_try(mode, rx, req_index, req);
}

int kpt__rx_take(kpt__rx *rx, int req_index, kpt_recv_req *req)
{
    return rx_take(rx, req_index, req);
}

bool kpt__rx_rss_keep(kpt__rx *rx, kpt_recv_req *req) { return rss_keep(rx, req); }

void kpt__rx_pass_over(kpt__rx *rx, int req_index, uint32_t bytes)
{
    rx_pass_over(rx, req_index, bytes);
}

uint64_t kpt__clk_get_timestamp(const kpt__rx *rx, uint64_t ticks)
{
    const quor_kwindow_t *kw = rx->kwindow;
    const quor_clksync_nticks_t &nt = rx->nticks;

    if (nt.ticks_mask != 0) {
        /* The attach answer's reference, corrected to host time by the
         * window's drift and rate. */
        uint64_t base = 0;
        int64_t drift = 0, mult = 0;
        if (kw != nullptr)
            clksync_read(kw, [&] {
                base = relaxed(kw->clksync.clkp.nsecs_base);
                drift = relaxed(kw->clksync.clkp.hostnic_drift_nsecs);
                mult = relaxed(kw->clksync.clkp.multiplier);
            });
        const uint64_t n = nt.nsecs + ticks_to_ns((ticks - nt.ticks) & nt.ticks_mask,
                                                  nt.nt_numerator, nt.nt_denominator);
        const int64_t corr = (int64_t)((n - base) * (uint64_t)mult) >> 30;
        return n + (uint64_t)drift + (uint64_t)corr;
    }

    /* The window's own reference, which the driver moves with host time. */
    if (kw == nullptr)
        return 0;
    uint64_t ref = 0, nsecs = 0;
    uint32_t num = 0, den = 0;
    clksync_read(kw, [&] {
        ref = relaxed(kw->clksync.nticks.ticks);
        nsecs = relaxed(kw->clksync.nticks.nsecs);
        num = relaxed(kw->clksync.nticks.nt_numerator);
        den = relaxed(kw->clksync.nticks.nt_denominator);
    });
    return nsecs + ticks_to_ns(ticks - ref, num, den);
}

int ring_recv_uniq(kpt_ring *ring, int timeout_ms, int req_index, kpt_recv_req *req)
{
    return ring_recv_loop<recv_try, false>(ring, timeout_ms, req_index, req);
}

int ring_recv_shared(kpt_ring *ring, int timeout_ms, int req_index, kpt_recv_req *req)
{
    return ring_recv_loop<recv_try, true>(ring, timeout_ms, req_index, req);
}

namespace {

/*
 * The batched attempts of one receive function.  Skipped bytes are folded
 * into the packet that follows them, so that the application gives them
 * back when it returns that packet.
 */
template <class Attempt> inline int take_many(kpt__rx *rx, kpt_recv_req *v, int n, int *rc,
                                              Attempt &&attempt)
{
    for (int i = 0; i < n; ++i) {
        const int r = attempt(i, &v[i]);
        if (r != 0) {
            *rc = r;
            return i;
        }
        if (__builtin_expect(rx->rq_pend_drop_size != 0, 0)) {
            v[i].length_data += rx->rq_pend_drop_size;
            rx->rq_pend_drop_size = 0;
        }
    }
    *rc = 0;
    return n;
}

/*
 * Up to n packets of the open descriptor in one pass, for a ring of its own
 * (no hash, no switch timestamps): the same steps as recv_req and recv_try
 * packet by packet, on copies of the cursor that are written back once.
 * Kept in the state slot, the cursor would be read again after every store
 * into v, which may alias it.  Returns the packets taken; 0 leaves the
 * packet to recv_req: a descriptor whose remaining bytes reach the ring end
 * (wrap-around), one of a single packet (whose lowered time is counted) or
 * one without a time.
 */
inline int desc_take_run(kpt__rx *rx, kpt_recv_req *v, int n)
{
    kpt__rx_state *s = rx->rx_s;
    kpt__rx_recvq &q = s->recvq;
    const kpt__rx_evinfo &ev = q.ev_info;
    const uint32_t first = (uint32_t)s->evq.evq_evinfo_idx;
    const uint32_t cnt = ev.ev_pkt_cnt, length = ev.ev_length;
    const uint64_t ev_ts = ev.ev_timestamp;
    const uint64_t off0 = q.rq_data_off;
    uint32_t pkt_off = ev.ev_pkt_off;
    if (cnt < 2 || ev_ts == 0 || off0 + (length - pkt_off) >= rx->rq_size)
        return 0;

    const uint32_t m = cnt - first < (uint32_t)n ? cnt - first : (uint32_t)n;
    const bool takes_last = first + m == cnt; /* the last packet owns the rest */
    const uint16_t *lens = ev.u.ev_pkt_lens + first;
    /* A packet's slot lies pkt_off bytes into the descriptor; before its
     * last packet every packet consumes exactly its slot. */
    const uint32_t pkt_off0 = pkt_off;
    const uintptr_t at = rx->rx_map.map_rx_data + off0 - pkt_off0 + sizeof(kpt__rpd);
    const uint32_t portnum = rx->portnum;
    /* Each packet one nanosecond earlier per byte before ev_length_time,
     * never earlier than the packet before it. */
    const uint64_t t0 = ev_ts - ev.ev_length_time;
    uint64_t last = q.rq_ev_ts_last, bytes = 0;
    auto put_at = [&](kpt_recv_req *r, uint32_t len, uint32_t consumed) {
        r->pkt_addr = (void *)(at + pkt_off);
        r->length = len - QUOR_FCS_LEN;
        r->timestamp = last;
        r->portnum = portnum;
        r->length_data = consumed;
        bytes += len;
    };
    auto put = [&](kpt_recv_req *r, uint32_t len, uint32_t consumed) {
        const uint64_t t = t0 + pkt_off;
        last = t < last ? last : t;
        put_at(r, len, consumed);
    };
    /* Times rise with pkt_off: once a packet's time is not below the last
     * one handed out, no later packet of the run needs raising. */
    auto put_rising = [&](kpt_recv_req *r, uint32_t len, uint32_t consumed) {
        last = t0 + pkt_off;
        put_at(r, len, consumed);
    };
    const uint32_t plain = takes_last ? m - 1 : m;
    uint32_t k = 0;
    for (; k < plain && t0 + pkt_off < last; ++k) {
        const uint32_t len = lens[k];
        const uint32_t slot = quor_kpt_rpd_length_up(len);
        put(&v[k], len, slot);
        pkt_off += slot;
    }
    for (; k < plain; ++k) {
        const uint32_t len = lens[k];
        const uint32_t slot = quor_kpt_rpd_length_up(len);
        put_rising(&v[k], len, slot);
        pkt_off += slot;
    }
    if (takes_last) {
        const uint32_t len = lens[plain];
        put(&v[plain], len, length - pkt_off);
        pkt_off += quor_kpt_rpd_length_up(len);
    }
    bytes -= (uint64_t)m * QUOR_FCS_LEN;
    const uint64_t off = off0 + (takes_last ? length - pkt_off0 : pkt_off - pkt_off0);

    q.ev_info.ev_pkt_off = pkt_off;
    s->evq.evq_evinfo_idx = first + m == cnt ? -1 : (int32_t)(first + m);
    q.rq_data_head += off - off0;
    q.rq_data_off = off;
    q.rq_ev_ts_last = last;
    kpt__rx_count(q.stats.rq_pkt_cnt, m);
    kpt__rx_count(q.stats.rq_pkt_length, bytes);
    if (__builtin_expect(rx->rq_pend_drop_size != 0, 0)) {
        v[0].length_data += rx->rq_pend_drop_size;
        rx->rq_pend_drop_size = 0;
    }
    return (int)m;
}

/* A batch on a ring of its own: whole runs of a descriptor where possible,
 * the packets desc_take_run leaves one at a time. */
int take_many_uniq(kpt__rx *rx, kpt_recv_req *v, int n, int *rc)
{
    int i = 0;
    while (i < n) {
        if (rx->rx_s->evq.evq_evinfo_idx < 0 && !rx_open_desc(rx, i)) {
            *rc = EAGAIN;
            return i;
        }
        const int k = desc_take_run(rx, v + i, n - i);
        if (k > 0) {
            i += k;
            continue;
        }
        const int r = recv_try(P_UNUSED, rx, i, &v[i]);
        if (r != 0) {
            *rc = r;
            return i;
        }
        if (__builtin_expect(rx->rq_pend_drop_size != 0, 0)) {
            v[i].length_data += rx->rq_pend_drop_size;
            rx->rq_pend_drop_size = 0;
        }
        i++;
    }
    *rc = 0;
    return n;
}

} // namespace

int kpt__rx_take_many(kpt_ring *ring, kpt_recv_req *v, int n, int *rc)
{
    kpt__rx *rx = &ring->u.ring.rx;
    /* The plain receive functions are inlined: a batch costs no call per
     * packet.  Any other one (switch timestamps) is called per slot. */
    if (ring->ring_recv_fn == ring_recv_uniq && rx->ats.arct_status <= ATS_STATUS_FALLBACK_LOCAL)
        return take_many_uniq(rx, v, n, rc);
    if (ring->ring_recv_fn == ring_recv_uniq)
        return take_many(rx, v, n, rc,
                         [rx](int i, kpt_recv_req *r) { return recv_try(P_UNUSED, rx, i, r); });
    if (ring->ring_recv_fn == ring_recv_shared) {
        const kpt__pq_mode mode = rx->pq_mode;
        return take_many(rx, v, n, rc,
                         [rx, mode](int i, kpt_recv_req *r) { return recv_try(mode, rx, i, r); });
    }
    return take_many(rx, v, n, rc, [ring](int i, kpt_recv_req *r) {
        return ring->ring_recv_fn(ring, 0, i, r);
    });
}

int ring_recv_uniq_ats(kpt_ring *ring, int timeout_ms, int req_index, kpt_recv_req *req)
{
    return ring_recv_loop<ring_recv_try_ats, false>(ring, timeout_ms, req_index, req);
}

int ring_recv_shared_ats(kpt_ring *ring, int timeout_ms, int req_index, kpt_recv_req *req)
{
    return ring_recv_loop<ring_recv_try_ats, true>(ring, timeout_ms, req_index, req);
}

int ring_recv_group(kpt_ring *ring, int timeout_ms, int req_index, kpt_recv_req *req)
{
    kpt_ring_group *g = &ring->u.group;

    /*
     * Release the packet returned last.  Only while its port holds nothing
     * in the group: once the port has been polled again (by a call that
     * returned without a packet), that packet was released by that call, and
     * the port's head now covers a packet still waiting here.
     */
    if (req_index == -1 && g->ring_latest != nullptr) {
        kpt__rx *lrx = &g->ring_latest->u.ring.rx;
        if (g->emptymask & (1u << lrx->portnum))
            rx_tail_update(lrx, lrx->rx_s->recvq.rq_data_head);
    }

    for (;;) {
        for (uint32_t m = g->emptymask; m != 0; m &= m - 1) {
            const unsigned port = lowest_port(m);
            rx_poll_entry *e = &g->ports[port];
            kpt__rx *mrx = &e->ring->u.ring.rx;
            e->recv_req.timestamp = 0;
            if (member_try(e->ring, mrx, req_index, &e->recv_req) == 0) {
                g->emptymask &= ~(1u << port);
                group_enqueue(g, e);
            }
            /* A port that delivered (or passed over) a packet has reached
             * its time. */
            const uint64_t ts = e->recv_req.timestamp;
            if (ts != 0) {
                if (ts > g->max_tstamp)
                    g->max_tstamp = ts;
                e->safe_tstamp = ts;
            }
        }

        if (g->emptymask == g->portmask) {
            g->host_time = 0;
            if (timeout_ms == 0)
                return EAGAIN;
            bool left = false;
            for (uint32_t m = g->portmask; m != 0 && !left; m &= m - 1)
                left = rx_open_left(&g->ports[lowest_port(m)].ring->u.ring.rx);
            if (left)
                continue;
            const int rc = rx_wait(ring->mhandle, timeout_ms);
            if (rc != 0)
                return rc;
            if (timeout_ms > 0)
                timeout_ms = 0;
            continue;
        }

        rx_poll_entry *cand = TAILQ_FIRST(&g->pollq);
        bool held = false;
        for (uint32_t m = g->emptymask; m != 0 && !held; m &= m - 1)
            held = cand->recv_req.timestamp > g->ports[lowest_port(m)].safe_tstamp;
        if (!held)
            return group_return(g, cand, req);

        /* A silent port might still deliver an earlier packet. */
        group_hold_back(g, timeout_ms);
        if (timeout_ms == 0)
            return EAGAIN;
    }
}

/* ======================================================================== */
/* Ring set-up                                                              */
/* ======================================================================== */

namespace {

/* Maps one region; the size recorded is 0 when nothing was mapped. */
int rx_map_region(const kpt__params *p, zal_handle_t mh, const char *name, uintptr_t *addr,
                  uintptr_t *size_rec, uint64_t size, uint64_t offset, int read_only)
{
    uintptr_t a = 0;
    const int rc = kpt__mmap(p, mh, name, &a, (uintptr_t)size, (uintptr_t)offset, read_only);
    if (rc != 0)
        return rc;
    *addr = a;
    *size_rec = a != 0 ? (uintptr_t)size : 0;
    return 0;
}

/* Unmaps whatever the ring has mapped and forgets the addresses. */
void rx_unmap(kpt__rx *rx)
{
    /* The printer and the signal handler read the mapped state. */
    kpt__rx_diag_stop(rx);
    kpt__rx_map &m = rx->rx_map;
    const struct {
        uintptr_t addr, size;
    } regions[] = {
        {m.map_vstate_all, m.map_vstate_all_size}, {m.map_vstate, m.map_vstate_size},
        {m.map_kernel_window, m.map_kernel_window_size},
        {m.map_rx_desc_ring, m.map_rx_desc_ring_size},
        {m.map_rx_data_ring, m.map_rx_data_ring_size},
        {m.map_rx_doorbell, m.map_rx_doorbell_size},
        {m.map_rx_recv_info, m.map_rx_recv_info_size},
    };
    for (const auto &r : regions)
        if (r.addr != 0 && r.size != 0)
            zal_munmap((void *)r.addr, r.size);
    memset(&m, 0, sizeof m);
    rx->rx_s = nullptr;
    rx->kwindow = nullptr;
    rx->evq_base = nullptr;
    rx->rq_data_dma_vpages = nullptr;
    rx->flow_be64 = rx->flow_be64_actual = nullptr;
}

/*
 * The cursor the driver left in the state slot must stay inside the mapped
 * rings, or the first receive would read or write outside them.
 */
bool rx_state_sound(const kpt__rx *rx, uint64_t slot_size)
{
    const kpt__rx_state *s = rx->rx_s;
    if (s == nullptr || slot_size < sizeof(kpt__rx_state))
        return false;
    const kpt__rx_evq &e = s->evq;
    if (e.evq_seqnum < 1 || e.evq_seqnum > 255)
        return false;
    if (rx->evq_base != nullptr) {
        const uint64_t entries = rx->rx_map.map_rx_desc_ring_size / sizeof(nfw_kpt_rx_desc_t);
        if ((uint64_t)e.evq_last_idx + 1 > entries || e.evq_next_idx > e.evq_last_idx)
            return false;
    }
    if (e.evq_evinfo_idx != -1) {
        /* A re-attached ring resumes inside its open descriptor. */
        const kpt__rx_evinfo &ev = s->recvq.ev_info;
        if (e.evq_evinfo_idx < 0 || ev.ev_pkt_cnt > QUOR_KPT_DESC_MAX_PKTS ||
            (uint32_t)e.evq_evinfo_idx >= ev.ev_pkt_cnt)
            return false;
    }
    if (rx->rx_map.map_rx_data != 0 &&
        (rx->rq_size == 0 || s->recvq.rq_data_off >= rx->rq_size))
        return false;
    return true;
}

} // namespace

int kpt__rx_init(kpt__rx *rx, zal_handle_t mhandle, const kpt__params *p,
                 const quor_kpt_rx_attach_t *attach)
{
    const quor_kpt_rx_attach_t &at = *attach;
    const quor_kpt_rx_params_t &prm = at.params;
    kpt__rx_map &m = rx->rx_map;
    memset(&m, 0, sizeof m);
    rx->mhandle = mhandle;
    rx->p = p;

    if (at.port_ring_id < 0 || at.port_ring_id >= QUOR_KPT_MAX_RINGS) {
        KPT_LOG_E(p, "rx_init: state slot %d out of range\n", (int)at.port_ring_id);
        return EINVAL;
    }

    /* The seven regions, in this order. */
    const uint64_t slot_size = at.vstate_all_size / QUOR_KPT_MAX_RINGS;
    const uint64_t vstate_off = at.vstate_all_offset == QUOR_NO_REGION
                                    ? QUOR_NO_REGION
                                    : at.vstate_all_offset + (uint64_t)at.port_ring_id * slot_size;
    const uint64_t desc_size = at.rx_desc_ring_offset == QUOR_NO_REGION ? 0 : prm.rx_desc_ring_size;
    const uint64_t data_size = at.rx_data_ring_offset == QUOR_NO_REGION
                                   ? 0
                                   : prm.rx_data_preamble_size + prm.rx_data_ring_size;
    int rc;
    if ((rc = rx_map_region(p, mhandle, "vstate_all", &m.map_vstate_all, &m.map_vstate_all_size,
                            at.vstate_all_size, at.vstate_all_offset, 1)) != 0 ||
        (rc = rx_map_region(p, mhandle, "vstate", &m.map_vstate, &m.map_vstate_size, slot_size,
                            vstate_off, 0)) != 0 ||
        (rc = rx_map_region(p, mhandle, "kwindow", &m.map_kernel_window,
                            &m.map_kernel_window_size, at.kernel_window_size,
                            at.kernel_window_offset, 1)) != 0 ||
        (rc = rx_map_region(p, mhandle, "rx_doorbell", &m.map_rx_doorbell,
                            &m.map_rx_doorbell_size, at.rx_doorbell_size, at.rx_doorbell_offset,
                            0)) != 0 ||
        (rc = rx_map_region(p, mhandle, "rx_recv_info", &m.map_rx_recv_info,
                            &m.map_rx_recv_info_size, at.rx_recv_info_size,
                            at.rx_recv_info_offset, 1)) != 0 ||
        (rc = rx_map_region(p, mhandle, "desc_ring", &m.map_rx_desc_ring,
                            &m.map_rx_desc_ring_size, desc_size, at.rx_desc_ring_offset, 1)) != 0 ||
        (rc = rx_map_region(p, mhandle, "shared_data", &m.map_rx_data_ring,
                            &m.map_rx_data_ring_size, data_size, at.rx_data_ring_offset, 0)) != 0)
        return rc;
    if (m.map_rx_data_ring != 0) {
        m.map_rx_data = m.map_rx_data_ring + (uintptr_t)prm.rx_data_preamble_size;
        m.map_rx_data_size = (uintptr_t)prm.rx_data_ring_size;
    }
    {
        /* Rings of different handles may be opened by threads at once. */
        static pthread_mutex_t map_mu = PTHREAD_MUTEX_INITIALIZER;
        pthread_mutex_lock(&map_mu);
        kpt_rx_map = m;
        pthread_mutex_unlock(&map_mu);
    }

    rx->rx_s = (kpt__rx_state *)m.map_vstate;
    rx->rx_s_all = nullptr;
    rx->kwindow = (const quor_kwindow_t *)m.map_kernel_window;
    rx->flow_be64 = rx->flow_be64_actual = (uint64_t *)m.map_rx_doorbell;
    rx->evq_base = (nfw_kpt_rx_desc_t *)m.map_rx_desc_ring;
    rx->rx_map_flags = prm.rx_map_flags;
    rx->nticks = at.nticks;
    rx->rq_data_dma_vpages =
        m.map_rx_recv_info != 0 && at.rx_recv_info_pg_offset + 4 <= m.map_rx_recv_info_size
            ? (const uint32_t *)(m.map_rx_recv_info + (uintptr_t)at.rx_recv_info_pg_offset)
            : nullptr;
    rx->ring_id = (uint32_t)at.ring_id;
    rx->portnum = p->portnum;
    rx->num_rings = prm.num_rings;
    rx->rq_size = m.map_rx_data != 0 ? (uintptr_t)prm.rx_data_ring_size : 0;

    if (!rx_state_sound(rx, slot_size)) {
        KPT_LOG_E(p, "rx_init: the ring state does not fit the ring's regions\n");
        return EINVAL;
    }

    /* Hash of a shared queue. */
    if (p->rss_hash_fn != nullptr) {
        rx->rss_hash_fn = p->rss_hash_fn;
        rx->rss_context = p->rss_context;
    } else {
        rx->rss_hash_fn = kpt__rss_hash;
        rx->rss_context = (void *)(uintptr_t)prm.rss_flags;
    }
    const uint32_t n = rx->num_rings;
    rx->ring_mask = n != 0 && (n & (n - 1)) == 0 ? n - 1 : 0;

    const bool ats = kpt__ats_init(rx);

    /* Receive function and queue mode.  A ring of an application id never
     * decodes switch timestamps. */
    if (rx->rx_map_flags & QUOR_KPT_MAP_SHARED) {
        rx->ring_recv_fn = ats ? ring_recv_shared_ats : ring_recv_shared;
        if (prm.open_flags & QUOR_KPT_F_APP_ID) {
            if (rx->num_rings < 2) {
                rx->pq_mode = P_UNUSED;
                rx->ring_recv_fn = ring_recv_uniq;
            } else {
                rx->pq_mode = P_SHARED;
                rx->ring_recv_fn = ring_recv_shared;
            }
        } else if (prm.open_flags & QUOR_KPT_F_DUP) {
            /* Every packet is this ring's: decoded like a queue of its own. */
            rx->pq_mode = P_DUP;
            rx->ring_recv_fn = ats ? ring_recv_uniq_ats : ring_recv_uniq;
        } else {
            rx->pq_mode = rx->num_rings >= 2 ? P_SHARED : P_UNUSED;
        }
    } else {
        rx->pq_mode = P_UNUSED;
        rx->ring_recv_fn = ats ? ring_recv_uniq_ats : ring_recv_uniq;
    }

    /* The data ring is resident before the first packet: the device layer
     * maps it with its page tables filled. */

    const kpt__rx_state *s = rx->rx_s;
    const uint32_t next_seq =
        rx->evq_base != nullptr ? desc_seqnum_acquire(&rx->evq_base[s->evq.evq_next_idx]) : 0;
    KPT_LOG_P(p,
              "rx_init: desc[seq=%d,next=%u,next_seq=%u,cnt=%llu,ev_idx=%d] "
              "data[head=%llu,tail=%llu] reat=%s\n",
              (int)s->evq.evq_seqnum, (unsigned)s->evq.evq_next_idx, (unsigned)next_seq,
              (unsigned long long)s->evq.evq_desc_cnt, (int)s->evq.evq_evinfo_idx,
              (unsigned long long)s->recvq.rq_data_head, (unsigned long long)s->recvq.rq_data_tail,
              s->recvq.rq_is_reattach ? "yes" : "no");
    kpt__rx_diag_start(rx);
    return 0;
}

int kpt__ring_open(kpt_port *port, int ring_id, kpt_ring **ring_o)
{
    kpt_ring *r = (kpt_ring *)calloc(1, sizeof *r);
    if (r == nullptr)
        return ENOMEM;
    r->type = KPT_H_RING;
    r->mhandle = -1;
    r->kpt_h = port->kpt_h;
    TAILQ_INIT(&r->ringq);
    TAILQ_INSERT_TAIL(&r->ringq, r, u.ring.glink);
    kpt_ring_uniq &u = r->u.ring;
    u.port_h = port;
    kpt__params_copy(&u.p, &port->p);
    u.drv_p = port->drv_p;
    u.rx.mhandle = -1;

    quor_kpt_rx_attach_t at;
    memset(&at, 0, sizeof at);
    at.set_endpt.endpoint = 0;
    at.set_endpt.endpt_type = QUOR_ES_KPT_RX_RING;
    at.ring_id = ring_id;
    at.params = port->drv_p;

    zal_handle_t mh = -1;
    int rc = zal_open((int)u.p.portnum, 0, &mh, QUOR_PRODUCT_KPT);
    if (rc != 0) {
        KPT_LOG_I(&u.p, "Can't open KPT RX ring handle on port %u (err=%d)\n",
                  (unsigned)u.p.portnum, rc);
        free(r);
        return rc;
    }
    rc = zal_ioctl(mh, (int)QUOR_SET_ENDPOINT, &at, sizeof at);
    if (rc != 0) {
        KPT_LOG_I(&u.p, "Can't attach KPT ring to port %u (err=%d)\n", (unsigned)u.p.portnum, rc);
        zal_close(mh);
        free(r);
        return rc;
    }

    u.p.ring_id = at.ring_id;
    u.p.port_ring_id = at.port_ring_id;
    KPT_LOG_P(&u.p, "rx_init: ring_id[%2d/%2d/%2d] num_rings=%d oflags=%#x map_flags=%#x\n",
              ring_id, (int)at.ring_id, (int)at.port_ring_id, (int)at.params.num_rings,
              (unsigned)at.params.open_flags, (unsigned)at.params.rx_map_flags);

    rc = kpt__rx_init(&u.rx, mh, &u.p, &at);
    if (rc != 0) {
        rx_unmap(&u.rx);
        zal_close(mh);
        free(r);
        return rc;
    }
    r->mhandle = mh;
    r->ring_recv_fn = u.rx.ring_recv_fn;
    *ring_o = r;
    return 0;
}

namespace {

/* Releases a group that has not been handed out: its members (never on
 * their ports' lists yet) and its descriptor. */
void ring_group_discard(kpt_ring *g)
{
    kpt_ring *m;
    while ((m = TAILQ_FIRST(&g->ringq)) != nullptr) {
        TAILQ_REMOVE(&g->ringq, m, u.ring.glink);
        rx_unmap(&m->u.ring.rx);
        zal_close(m->mhandle);
        free(m);
    }
    if (g->mhandle != -1)
        zal_close(g->mhandle);
    free(g);
}

/* A group of one member ring per port; called under the handle's lock. */
int ring_group_open(kpt_handle *h, int ring_id, kpt_ring **ring_o)
{
    kpt_ring *g = (kpt_ring *)calloc(1, sizeof *g);
    if (g == nullptr)
        return ENOMEM;
    g->type = KPT_H_RING_GROUP;
    g->ring_recv_fn = ring_recv_group;
    g->mhandle = -1;
    g->kpt_h = h;
    TAILQ_INIT(&g->ringq);
    kpt_ring_group &grp = g->u.group;
    grp.portmask = grp.emptymask = h->portmask;
    TAILQ_INIT(&grp.pollq);

    const kpt_port *first = STAILQ_FIRST(&h->portq);
    int rc = zal_open((int)first->p.portnum, 0, &g->mhandle, QUOR_PRODUCT_KPT);
    if (rc != 0) {
        KPT_LOG_I(&first->p, "Can't open KPT RX group on port %u (err=%d)\n",
                  (unsigned)first->p.portnum, rc);
        g->mhandle = -1;
        ring_group_discard(g);
        return rc;
    }
    quor_set_endpt_t se;
    se.endpoint = 0;
    se.endpt_type = QUOR_ES_KPT_RX_GROUP;
    rc = zal_ioctl(g->mhandle, (int)QUOR_SET_ENDPOINT, &se, sizeof se);

    uint32_t members = 0;
    kpt_port *port;
    STAILQ_FOREACH(port, &h->portq, link) {
        if (rc != 0)
            break;
        const uint32_t portnum = port->p.portnum;
        if (portnum >= KPT_GROUP_MAX_PORTS) {
            KPT_LOG_E(&port->p, "ring_open_group: port %u cannot join a group\n",
                      (unsigned)portnum);
            rc = EINVAL;
            break;
        }
        kpt_ring *rr;
        rc = kpt__ring_open(port, ring_id, &rr);
        if (rc != 0)
            break;
        TAILQ_INSERT_TAIL(&g->ringq, rr, u.ring.glink);
        rr->u.ring.group = g;
        if (grp.ring_latest == nullptr)
            grp.ring_latest = rr;
        grp.ports[portnum].ring = rr;
        members |= 1u << portnum;

        quor_kpt_port_group_t pg;
        pg.port_id = portnum;
        pg.ring_id = (uint32_t)rr->u.ring.p.port_ring_id;
        pg.evq_base = (uint64_t)(uintptr_t)rr->u.ring.rx.evq_base;
        rc = zal_ioctl(g->mhandle, (int)QUOR_KPT_PORT_GROUP, &pg, sizeof pg);
        KPT_LOG_P(&rr->u.ring.p, "ring_open_group: handle=%p added port=%d, ring=%d returns %d\n",
                  (void *)g, (int)portnum, (int)pg.ring_id, rc);
    }
    if (rc != 0) {
        ring_group_discard(g);
        return rc;
    }
    /* The ports the group merges: those of the handle, each with a member. */
    grp.portmask = grp.emptymask = members;
    h->refcnt++; /* the group itself */
    *ring_o = g;
    return 0;
}

bool is_ring(const kpt_ring *r)
{
    return r != nullptr && (r->type == KPT_H_RING || r->type == KPT_H_RING_GROUP);
}

/* A ring the application receives on and closes: a ring of its own or a
 * group, not a member of a group (the group alone polls and releases it). */
bool is_own_ring(const kpt_ring *r)
{
    return is_ring(r) && (r->type != KPT_H_RING || r->u.ring.group == nullptr);
}

/*
 * The rings a statistics or port-information call covers: the members of a
 * group, or the ring itself.  A member's list link belongs to its group's
 * list, so a single ring is not walked through its own list.
 */
template <class F> void for_each_member(kpt_ring *r, F &&f)
{
    if (r->type == KPT_H_RING) {
        f(r);
        return;
    }
    kpt_ring *m;
    TAILQ_FOREACH(m, &r->ringq, u.ring.glink) {
        if (!f(m))
            return;
    }
}

/* Closes a member ring (or a single ring) on its port; the caller frees it. */
void ring_member_close(kpt_ring *m)
{
    kpt__rx_fini(&m->u.ring.rx);
    STAILQ_REMOVE(&m->u.ring.port_h->ringq, m, kpt_ring, u.ring.link);
    zal_close(m->mhandle);
    m->mhandle = -1;
}

} // namespace

/* ======================================================================== */
/* Teardown and statistics                                                  */
/* ======================================================================== */

void kpt__rx_fini(kpt__rx *rx)
{
    kpt__ats_fini(rx);

    /* Give everything back, borrowed packets included, whatever the
     * synchronisation threshold says. */
    kpt__rx_state *s = rx->rx_s;
    if (s != nullptr) {
        const uint64_t head = s->recvq.rq_data_head;
        rq_data_tail_release(s, head);
        rx_sync(rx, head);
    }

    /* The closing line is the ring's last: no signal line may follow it. */
    kpt__rx_diag_stop(rx);
    kpt__rx_print_stats(rx, "rx_fini");
    rx_unmap(rx);
    (void)zal_ioctl(rx->mhandle, (int)QUOR_KPT_RX_DETACH, nullptr, 0);
}

/* ======================================================================== */
/* Public interface                                                         */
/* ======================================================================== */

int kpt_ring_open(kpt_handle_t h, kpt_ring_t *ring)
{
    if (h == nullptr || h->type != KPT_H_BOARD_GROUP)
        return EINVAL;
    pthread_mutex_lock(&h->lock);
    const kpt_port *first = STAILQ_FIRST(&h->portq);
    const int ring_id = first != nullptr ? first->p.ring_id : -1;
    pthread_mutex_unlock(&h->lock);
    return kpt_ring_open_id(h, ring_id, ring);
}

int kpt_ring_open_id(kpt_handle_t h, int ring_id, kpt_ring_t *ring)
{
    if (h == nullptr || h->type != KPT_H_BOARD_GROUP || ring == nullptr)
        return EINVAL;
    pthread_mutex_lock(&h->lock);
    kpt_ring *r = nullptr;
    int rc;
    if (h->portcnt < 2) {
        kpt_port *port = STAILQ_FIRST(&h->portq);
        rc = port != nullptr ? kpt__ring_open(port, ring_id, &r) : ENODEV;
    } else {
        rc = ring_group_open(h, ring_id, &r);
    }
    if (rc == 0) {
        kpt_ring *m;
        TAILQ_FOREACH(m, &r->ringq, u.ring.glink) {
            STAILQ_INSERT_TAIL(&m->u.ring.port_h->ringq, m, u.ring.link);
            h->refcnt++;
        }
        *ring = r;
    }
    pthread_mutex_unlock(&h->lock);
    return rc;
}

int kpt_ring_recv(kpt_ring_t ring, int timeout_ms, kpt_recv_req *req)
{
    if (__builtin_expect(!is_own_ring(ring) || req == nullptr, 0))
        return EINVAL;
    return ring->ring_recv_fn(ring, timeout_ms, -1, req);
}

int kpt_ring_wait(kpt_ring_t ring, int timeout_ms)
{
    if (!is_own_ring(ring))
        return EINVAL;
    return rx_wait(ring->mhandle, timeout_ms);
}

int kpt_ring_close(kpt_ring_t ring)
{
    /* A member is closed with its group, which still polls it. */
    if (!is_own_ring(ring))
        return EINVAL;
    kpt_handle *h = ring->kpt_h;
    pthread_mutex_lock(&h->lock);
    h->refcnt--;
    if (ring->type == KPT_H_RING) {
        ring_member_close(ring);
        free(ring);
    } else {
        kpt_ring *m;
        TAILQ_FOREACH(m, &ring->ringq, u.ring.glink) {
            ring_member_close(m);
            h->refcnt--;
        }
        while ((m = TAILQ_FIRST(&ring->ringq)) != nullptr) {
            TAILQ_REMOVE(&ring->ringq, m, u.ring.glink);
            free(m);
        }
        zal_close(ring->mhandle);
        free(ring);
    }
    pthread_mutex_unlock(&h->lock);
    return 0;
}

int kpt_ring_getstats(kpt_ring_t ring, kpt_ring_stats *stats)
{
    if (!is_ring(ring) || stats == nullptr)
        return EINVAL;
    /* The record as the application's API version knows it. */
    const unsigned api = kpt__user_api & 0xffu;
    const size_t size = api < 2 ? 40 : api == 2 ? 48 : sizeof(kpt_ring_stats);
    static_assert(sizeof(kpt_ring_stats) == 64, "ring statistics record");

    kpt_ring_stats sum;
    memset(&sum, 0, sizeof sum);
    int rc = 0;
    for_each_member(ring, [&](kpt_ring *m) {
        quor_kpt_stats_t st;
        memset(&st, 0, sizeof st);
        rc = zal_ioctl(m->mhandle, (int)QUOR_KPT_GET_STATS, &st, sizeof st);
        if (rc != 0)
            return false;
        sum.nic_pkt_recv += st.kpt_pkt_recv;
        sum.nic_pkt_overflow += st.nic_pkt_overflow;
        sum.nic_pkt_bad += st.nic_pkt_bad;
        /* Counted by the receiving thread, which may be another one. */
        sum.ring_pkt_recv += relaxed(m->u.ring.rx.rx_s->recvq.stats.rq_pkt_cnt);
        sum.ring_pkt_overflow += st.kpt_pkt_overflow;
        if (api >= 2)
            sum.nic_bytes_recv += st.nic_bytes_recv;
        if (api >= 3)
            sum.kpt_pkt_overflow += st.kpt_pkt_overflow;
        return true;
    });
    memcpy(stats, &sum, size);
    return rc;
}

int kpt_ring_portinfo_count(kpt_ring_t ring, int *count)
{
    if (!is_ring(ring) || count == nullptr)
        return EINVAL;
    *count = ring->kpt_h->portcnt;
    return 0;
}

int kpt_ring_portinfo(kpt_ring_t ring, struct kpt_ring_portinfo *pinfo)
{
    if (!is_ring(ring) || pinfo == nullptr)
        return EINVAL;
    for_each_member(ring, [&](kpt_ring *m) {
        const kpt__rx &rx = m->u.ring.rx;
        pinfo->ring = m;
        pinfo->q_size = rx.rq_size;
        pinfo->portcnt = 1;
        pinfo->portmask = 1u << rx.portnum;
        pinfo->data_addr = rx.rx_map.map_rx_data_ring;
        pinfo->data_size = rx.rx_map.map_rx_data_ring_size;
        pinfo++;
        return true;
    });
    return 0;
}
