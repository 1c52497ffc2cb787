/*
 * kpt_rx.cpp - the receive fast path: from a ring's receive functions (single
 * and batched) down to the adapter's descriptors and the data ring.
 *
 * Set-up, groups, the public calls and the switch timestamp decoder sit on
 * top of it (see kpt_rx.h); it calls none of them.
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
 *
 * A batched call borrows packets (taken with their slot index as req_index,
 * nothing is released behind the caller) until kpt_ring_return_many gives
 * their space back, in the order they were received.
 */
#include <endian.h>
#include <errno.h>
#include <string.h>

#include <atomic>

#include "kpt_rx.h"

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

/* A decoding ring's attempt: the one the decoder on top set in
 * kpt__rx::decode_try, which wraps the plain one (kpt__rx_take). */
inline int decoded_try(kpt__pq_mode mode, kpt__rx *rx, int req_index, kpt_recv_req *req)
{
    return rx->decode_try(mode, rx, req_index, req);
}

/*
 * The receive functions of a ring on one port: release what the previous
 * single receive handed out, then try, and wait in the driver between
 * attempts while nothing is ready.  Shared selects the ring's queue mode for
 * the attempts; otherwise every attempt is P_UNUSED.
 */
template <kpt__rx_try_fn Try, bool Shared>
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

int kpt__rx_wait(zal_handle_t mhandle, int timeout_ms) { return rx_wait(mhandle, timeout_ms); }
bool kpt__rx_open_left(const kpt__rx *rx) { return rx_open_left(rx); }
uint8_t kpt__rx_desc_seqnum(const nfw_kpt_rx_desc_t *d) { return desc_seqnum_acquire(d); }

void kpt__rx_release_all(kpt__rx *rx)
{
    kpt__rx_state *s = rx->rx_s;
    if (s != nullptr) {
        const uint64_t head = s->recvq.rq_data_head;
        rq_data_tail_release(s, head);
        rx_sync(rx, head);
    }
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

/* Batched attempts without waiting: slot i of v receives the next packet
 * with req_index i.  Returns the number taken; *rc is 0 when all n were
 * taken, else the result of the attempt that stopped (EAGAIN: none ready). */
int rx_take_many(kpt_ring *ring, kpt_recv_req *v, int n, int *rc)
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

} // namespace

int ring_recv_uniq_ats(kpt_ring *ring, int timeout_ms, int req_index, kpt_recv_req *req)
{
    return ring_recv_loop<decoded_try, false>(ring, timeout_ms, req_index, req);
}

int ring_recv_shared_ats(kpt_ring *ring, int timeout_ms, int req_index, kpt_recv_req *req)
{
    return ring_recv_loop<decoded_try, true>(ring, timeout_ms, req_index, req);
}

/* ======================================================================== */
/* Batched calls                                                            */
/* ======================================================================== */

namespace {

constexpr uint32_t kReturnAll = 0xFFFFFFFFu;

/* Consumed but not yet released: what the application holds, and the bytes
 * of packets passed over since the last packet a batch returned. */
uint64_t rx_qborrowed(const kpt__rx *rx)
{
    const kpt__rx_recvq &q = rx->rx_s->recvq;
    const uint64_t head = q.rq_data_head, tail = q.rq_data_tail;
    return head >= tail ? head - tail : head - tail + q.rq_data_size;
}

/*
 * Gives back the bytes of packets passed over when nothing of what the
 * application holds lies before them.  They are the newest consumed bytes,
 * so releasing them means releasing up to the head; with packets still
 * borrowed that would hand those to the adapter, so the bytes stay pending
 * and go back with the next packet taken, or with the borrowed ones.
 */
void release_pending(kpt__rx *rx)
{
    if (rx->rq_pend_drop_size == 0)
        return;
    if (rx_qborrowed(rx) <= rx->rq_pend_drop_size) {
        rx_tail_update(rx, rx->rx_s->recvq.rq_data_head);
        rx->rq_pend_drop_size = 0;
    }
}

} // namespace

uint64_t kpt__rx_qborrowed(const kpt__rx *rx) { return rx_qborrowed(rx); }

int kpt__rx_recv_many(kpt_ring *ring, int timeout_ms, kpt_recv_req *v, int n, int *nreq_out,
                      bool once)
{
    kpt__rx *rx = &ring->u.ring.rx;
    if (n <= 0) {
        if (!once)
            release_pending(rx);
        return 0;
    }
    for (;;) {
        int rc;
        const int got = rx_take_many(ring, v, n, &rc);
        if (got > 0) {
            *nreq_out = got;
            return 0;
        }
        if (once)
            return rc;
        release_pending(rx);
        if (rc != EAGAIN || timeout_ms == 0)
            return rc;
        /* An attempt that consumed a keyframe leaves the rest of its
         * descriptor to take: tried again at once, for the driver wakes a
         * wait only for a new descriptor. */
        if (rx_open_left(rx))
            continue;
        rc = rx_wait(ring->mhandle, timeout_ms);
        if (rc != 0)
            return rc;
    }
}

int kpt__rx_return_many(kpt__rx *rx, uint32_t data_qlen)
{
    const uint64_t borrowed = rx_qborrowed(rx);
    /* All of it, however large: truncated to 32 bits, a ring above 4 GiB
     * would keep part of what the caller meant to give back. */
    const uint64_t len = data_qlen == kReturnAll ? borrowed : data_qlen;
    if (len > borrowed)
        return EINVAL;
    kpt__rx_recvq &q = rx->rx_s->recvq;
    rx_tail_update(rx, q.rq_data_tail + len);
    /* Skipped bytes given back with the rest are no longer pending. */
    const uint64_t left = q.rq_data_head - q.rq_data_tail;
    if (rx->rq_pend_drop_size > left)
        rx->rq_pend_drop_size = (uint32_t)left;
    return 0;
}
