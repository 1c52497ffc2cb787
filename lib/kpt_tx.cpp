/*
 * kpt_tx.cpp - injection: sending frames through a port from a shared
 * transmit ring.
 *
 * A send copies the frame into the data ring and adds its length to the
 * open batch in the shared state block.  A batch is posted (one descriptor
 * slot, one doorbell store) at once when nothing is outstanding, and
 * otherwise when it reaches 64 frames or 8192 bytes; the adapter completes
 * posted batches in order and advances this endpoint's completion byte.
 * Completed batches give their data-ring room and slot back when they are
 * reaped, which the library does only when it runs out of either; the
 * driver reaps on its own as well.  The lock, post and reap routines are
 * shared with the driver (quor_kpt_io.h).
 *
 * While there is room the send path makes no system call and allocates
 * nothing; it waits in the driver only for a free slot or for room.
 */
#include <endian.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "kpt_handle.h"
#include "kpt_tx.h"

namespace {

constexpr uint32_t kBatchBytes = QUOR_KPT_TX_BATCH_BYTES;
constexpr uint32_t kBatchFrames = QUOR_KPT_TX_BATCH_FRAMES;
constexpr uintptr_t kBatchAlign = QUOR_KPT_TX_BATCH_ALIGN;

/* Endpoints per board that may carry injection. */
constexpr uint32_t kEndpointsPerTx = 6;

constexpr uint64_t round_up_batch(uint64_t n) { return (n + kBatchAlign - 1) & ~uint64_t(kBatchAlign - 1); }
/* The smallest data ring that always makes progress: a full batch still
 * outstanding plus a batch of one largest frame beside it. */
constexpr uint64_t kMinDataRing =
    round_up_batch(kBatchBytes) + round_up_batch(quor_kpt_tx_qlen(KPT_TX_MAX_FRAME));

inline bool valid_handle(const kpt_inject_handle *h)
{
    return h != nullptr && h->type == KPT_H_INJ;
}

/* Copies len bytes to the data ring at off; the part that runs past the
 * ring's end goes to its start (written first). */
inline void kpt__memcpy(kpt__tx *tx, uintptr_t off, const void *src, uint32_t len)
{
    uint8_t *ring = reinterpret_cast<uint8_t *>(tx->tx_map.map_tx_data);
    if (off >= tx->txdata_size) off -= tx->txdata_size;
    uintptr_t room = tx->txdata_size - off;
    if (len > room) {
        memcpy(ring, static_cast<const uint8_t *>(src) + room, len - room);
        len = uint32_t(room);
    }
    if (len) memcpy(ring + off, src, len);
}

/* Zeroes len bytes of the data ring at off, wrapping like kpt__memcpy. */
inline void kpt__memset(kpt__tx *tx, uintptr_t off, uint32_t len)
{
    uint8_t *ring = reinterpret_cast<uint8_t *>(tx->tx_map.map_tx_data);
    if (off >= tx->txdata_size) off -= tx->txdata_size;
    uintptr_t room = tx->txdata_size - off;
    if (len > room) {
        memset(ring, 0, len - room);
        len = uint32_t(room);
    }
    memset(ring + off, 0, len);
}

/*
 * Drops the lock for one wait in the driver for a transmit event (a
 * completion) and takes it again.  The driver's result: 0 when an event may
 * have happened.
 */
int tx_wait_event(kpt__tx *tx, int timeout_ms)
{
    kpt__tx_state *s = tx->tx_sp.tx_s;
    kpt__spin_unlock(s);
    int32_t t = timeout_ms;
    int rc = zal_ioctl(tx->mhandle, int(QUOR_KPT_WAIT), &t, sizeof t);
    kpt__spin_lock(s);
    return rc;
}

/*
 * With the lock held, finds the data-ring offset for a frame of qlen bytes:
 * in the open batch if it fits there, else at the start of a new batch
 * (after posting the open one), waiting for a descriptor slot and for room
 * as needed.  0 with *data_off set; otherwise the error, with the lock
 * released: EAGAIN when there is no room now (at once with timeout_ms 0,
 * or after a wait that timed out), ENOBUFS when nothing outstanding could
 * ever make room, or the error of a failed wait.
 *
 * A wait drops the lock, and other senders or the driver may change the
 * open batch and txdata_offset meanwhile, so after a wait the choice is
 * made again from the start.
 */
inline int kpt__inject_nbytes_avail(kpt__tx *tx, int timeout_ms, uint32_t qlen,
                                    uintptr_t *data_off)
{
    const kpt__tx_shared_params *sp = &tx->tx_sp;
    kpt__tx_state *s = sp->tx_s;
    bool waited_out = false;
    for (;;) {
        uintptr_t off = tx->txdata_offset;
        bool room;
        if (s->txd.d_cnt > 0 && s->txd.d_length + qlen < kBatchBytes) {
            room = s->dq_avail >= qlen;
        } else {
            if (s->txd.d_cnt > 0) kpt__tx_pioflush(sp, false);
            off = (off + kBatchAlign - 1) & ~(kBatchAlign - 1);
            if (off == tx->txdata_size) off = 0;
            room = s->dq_inflight < int32_t(sp->txd_cnt) && s->dq_avail >= qlen;
        }
        if (__builtin_expect(room, 1)) {
            *data_off = off;
            return 0;
        }
        if (kpt__tx_update_completion(sp)) continue;
        if (s->dq_inflight <= 0) {
            /* Nothing is outstanding that could give room back, and the
             * driver answers a wait at once then: waiting would spin.  An
             * open batch is posted so that its completion makes room;
             * without one the frame cannot be placed at all. */
            if (s->txd.d_cnt > 0) {
                kpt__tx_pioflush(sp, false);
                continue;
            }
            kpt__spin_unlock(s);
            return ENOBUFS;
        }
        if (timeout_ms == 0 || waited_out) {
            kpt__spin_unlock(s);
            return EAGAIN;
        }
        int rc = tx_wait_event(tx, timeout_ms);
        if (rc == EAGAIN) {
            /* The wait saw no event before its timeout; what the driver
             * did meanwhile (its own reaping) is looked at once more before
             * the send gives up. */
            waited_out = true;
        } else if (rc != 0) {
            kpt__spin_unlock(s);
            return rc;
        }
    }
}

/* Posts the open batch when nothing is outstanding or when it is full.
 * What the adapter has completed is taken note of first (one load of the
 * completion byte): a sender slower than the adapter then posts each frame
 * as it comes, at its own pace, while one that keeps the ring busy still
 * finds batches in flight and fills the open one. */
inline void kpt__tx_try_flush(const kpt__tx_shared_params *sp)
{
    const kpt__tx_state *s = sp->tx_s;
    if (s->dq_inflight != 0) kpt__tx_update_completion(sp);
    if (s->dq_inflight == 0 || s->txd.d_cnt >= kBatchFrames || s->txd.d_length >= kBatchBytes)
        kpt__tx_pioflush(sp, false);
}

/* Queues one frame of at most KPT_TX_MAX_FRAME bytes (checked by callers). */
inline int tx_send(kpt_inject_handle *h, int timeout_ms, const void *pkt, uint32_t length)
{
    kpt__tx *tx = &h->tx;
    const kpt__tx_shared_params *sp = &tx->tx_sp;
    kpt__tx_state *s = sp->tx_s;

    kpt__spin_lock(s);
    const uint32_t qlen = quor_kpt_tx_qlen(length);
    uintptr_t data_off;
    int rc = kpt__inject_nbytes_avail(tx, timeout_ms, qlen, &data_off);
    if (rc != 0) return rc;

    kpt__memcpy(tx, data_off, pkt, length);
    uint32_t wire_len = length;
    if (length < KPT_TX_MIN_FRAME) {
        kpt__memset(tx, data_off + length, KPT_TX_MIN_FRAME - length);
        wire_len = KPT_TX_MIN_FRAME;
    }

    uintptr_t next = data_off + qlen;
    if (next >= tx->txdata_size) next -= tx->txdata_size;
    tx->txdata_offset = next;
    s->dq_avail -= qlen;
    s->txd.d_length += qlen;
    s->txd.d_pkt_lens_be16[s->txd.d_cnt] = htobe16(uint16_t(wire_len));
    kpt__tx_peeked_set(s->txd.d_cnt, s->txd.d_cnt + 1);

    kpt__tx_try_flush(sp);
    kpt__spin_unlock(s);
    return 0;
}

/* Claims a free transmit endpoint of the handle's port into h->mhandle. */
int open_tx_endpoint(kpt_inject_handle *h)
{
    zal_handle_t any = -1;
    int rc = zal_open_any_board(&any, QUOR_PRODUCT_KPT);
    if (rc != 0) return rc;
    uint32_t n = 0;
    rc = zal_ioctl(any, int(QUOR_GET_MAX_ENDPOINTS), &n, sizeof n);
    if (rc != 0) {
        zal_close(any);
        return rc;
    }
    rc = zal_close(any);
    if (rc != 0) return rc;

    const uint32_t max_ep = n / kEndpointsPerTx;
    /* A board without transmit endpoints cannot inject at all. */
    rc = ENODEV;
    for (uint32_t epid = 0; epid < max_ep; ++epid) {
        zal_handle_t mh = -1;
        int e = zal_open(int(h->p.portnum), int(epid), &mh, QUOR_PRODUCT_KPT);
        if (e != 0) {
            rc = e;
            continue;
        }
        memset(&h->drv_p, 0, sizeof h->drv_p);
        h->drv_p.set_endpt.endpoint = int32_t(epid);
        h->drv_p.set_endpt.endpt_type = QUOR_ES_KPT_TX;
        h->drv_p.epid = epid;
        e = zal_ioctl(mh, int(QUOR_SET_ENDPOINT), &h->drv_p, sizeof h->drv_p);
        if (e == 0) {
            h->mhandle = mh;
            return 0;
        }
        zal_close(mh);
        rc = e;
    }
    return rc;
}

/* The regions the driver describes are what the send path relies on. */
bool usable_regions(const quor_kpt_tx_params_t *d)
{
    auto present = [](uint64_t size, uint64_t off, uint64_t need) {
        return size >= need && off != QUOR_NO_REGION;
    };
    return present(d->tx_data_ring_size, d->tx_data_ring_offset, kMinDataRing) &&
           d->tx_data_ring_size % kBatchAlign == 0 &&
           d->tx_data_ring_size <= UINT32_MAX - (kBatchAlign - 1) && /* dq_avail is 32-bit */
           present(d->tx_desc_ring_size, d->tx_desc_ring_offset,
                   uint64_t(QUOR_KPT_TX_SLOTS) * QUOR_KPT_TX_SLOT_SIZE) &&
           present(d->tx_doorbell_size, d->tx_doorbell_offset, sizeof(uint32_t)) &&
           present(d->tx_compl_size, d->tx_compl_offset, uint64_t(d->epid) + 1) &&
           present(d->tx_flow_size, d->tx_flow_offset, sizeof(kpt__tx_state));
}

}  // namespace

/* ------------------------------------------------------------------------ */
/* Transmit state                                                            */
/* ------------------------------------------------------------------------ */

void kpt__tx_unmap(kpt__tx *tx)
{
    kpt__tx_map *m = &tx->tx_map;
    struct {
        uintptr_t *addr, *size;
    } regions[] = {
        {&m->map_tx_data, &m->map_tx_data_size},
        {&m->map_tx_desc, &m->map_tx_desc_size},
        {&m->map_tx_compl, &m->map_tx_compl_size},
        {&m->map_tx_doorbell, &m->map_tx_doorbell_size},
        {&m->map_tx_flow, &m->map_tx_flow_size},
    };
    for (auto &r : regions) {
        if (*r.addr != 0) zal_munmap(reinterpret_cast<void *>(*r.addr), *r.size);
        *r.addr = 0;
        *r.size = 0;
    }
    tx->tx_sp = kpt__tx_shared_params{};
}

int kpt__tx_init(kpt__tx *tx, zal_handle_t mhandle, const kpt__params *p,
                 const quor_kpt_tx_params_t *drv_p)
{
    memset(tx, 0, sizeof *tx);
    tx->mhandle = mhandle;
    if (!usable_regions(drv_p)) {
        KPT_LOG_E(p, "inject: driver gave unusable transmit regions (data ring %llu bytes)\n",
                  (unsigned long long)drv_p->tx_data_ring_size);
        return EINVAL;
    }

    kpt__tx_map *m = &tx->tx_map;
    struct {
        const char *name;
        uintptr_t *addr, *size;
        uint64_t want, offset;
        int read_only;
    } regions[] = {
        {"tx_data", &m->map_tx_data, &m->map_tx_data_size, drv_p->tx_data_ring_size,
         drv_p->tx_data_ring_offset, 0},
        {"tx_desc", &m->map_tx_desc, &m->map_tx_desc_size, drv_p->tx_desc_ring_size,
         drv_p->tx_desc_ring_offset, 0},
        {"tx_compl", &m->map_tx_compl, &m->map_tx_compl_size, drv_p->tx_compl_size,
         drv_p->tx_compl_offset, 1},
        {"tx_doorbell", &m->map_tx_doorbell, &m->map_tx_doorbell_size, drv_p->tx_doorbell_size,
         drv_p->tx_doorbell_offset, 0},
        {"tx_flow", &m->map_tx_flow, &m->map_tx_flow_size, drv_p->tx_flow_size,
         drv_p->tx_flow_offset, 0},
    };
    for (auto &r : regions) {
        int rc = kpt__mmap(p, mhandle, r.name, r.addr, uintptr_t(r.want), uintptr_t(r.offset),
                           r.read_only);
        if (rc != 0) {
            kpt__tx_unmap(tx);
            return rc;
        }
        *r.size = uintptr_t(r.want);
    }

    kpt__tx_shared_params *sp = &tx->tx_sp;
    sp->txd_cnt = QUOR_KPT_TX_SLOTS;
    sp->txd_dbaddr_be32 = reinterpret_cast<uint32_t *>(m->map_tx_doorbell);
    sp->txd_pio_base = reinterpret_cast<uint64_t *>(m->map_tx_desc);
    sp->tx_s = reinterpret_cast<kpt__tx_state *>(m->map_tx_flow);
    sp->txd_compl_update = reinterpret_cast<const uint8_t *>(m->map_tx_compl) + drv_p->epid;
    tx->txdata_offset = 0;
    tx->txdata_size = m->map_tx_data_size;

    /* The driver presents the block zeroed with its lock held (0); the
     * fields are set before the lock is released to the driver. */
    kpt__tx_state *s = sp->tx_s;
    s->dq_avail = uint32_t(tx->txdata_size);
    s->tx_flush_cnt = 0;
    s->tx_flush_intr_cnt = 0;
    kpt__spin_init(s);

    int rc = zal_ioctl(mhandle, int(QUOR_KPT_GET_STATS), &tx->tx_stats, sizeof tx->tx_stats);
    if (rc != 0) {
        kpt__tx_unmap(tx);
        return rc;
    }
    return 0;
}

/* ------------------------------------------------------------------------ */
/* Public interface                                                          */
/* ------------------------------------------------------------------------ */

int kpt_inject_open(int portnum, int flags, kpt_inject_t *inj_o)
{
    (void)flags;
    if (!kpt__init || inj_o == nullptr) return EINVAL;

    kpt_inject_handle *h = static_cast<kpt_inject_handle *>(calloc(1, sizeof *h));
    if (h == nullptr) return ENOMEM;
    h->type = KPT_H_INJ;
    h->mhandle = -1;

    kpt_param_keyval kv;
    memset(&kv, 0, sizeof kv);
    kv.key = KPT_PARAM_PORTNUM;
    kv.val.portnum = uint32_t(portnum);
    kpt__params p;
    memset(&p, 0, sizeof p);
    int rc = kpt__api_params(&p, nullptr, &kv, 1, nullptr);
    if (rc != 0) {
        /* A later row may fail after the debug file was opened. */
        kpt__debug_stream_release(p.debug_fp);
        free(h);
        return rc;
    }
    kpt__params_copy(&h->p, &p);

    rc = open_tx_endpoint(h);
    if (rc != 0) {
        KPT_LOG_I(&h->p, "Can't open kpt inject handle on port %u (err=%d)\n",
                  (unsigned)portnum, rc);
        if (h->mhandle >= 0) zal_close(h->mhandle);
        kpt__debug_stream_release(h->p.debug_fp);
        free(h);
        return rc;
    }

    rc = kpt__tx_init(&h->tx, h->mhandle, &h->p, &h->drv_p);
    if (rc != 0) {
        zal_close(h->mhandle);
        kpt__debug_stream_release(h->p.debug_fp);
        free(h);
        return rc;
    }
    *inj_o = h;
    return 0;
}

int kpt_inject_send(kpt_inject_t inj, int timeout_ms, int flags, const void *pkt,
                    uint32_t length)
{
    (void)flags;
    if (__builtin_expect(!valid_handle(inj), 0)) return EINVAL;
    if (__builtin_expect(length > KPT_TX_MAX_FRAME || (pkt == nullptr && length != 0), 0))
        return EINVAL;
    return tx_send(inj, timeout_ms, pkt, length);
}

int kpt_inject_send_v(kpt_inject_t inj, int timeout_ms, int flags,
                      struct kpt_pkt_fragment *frags_vec, int nfrags, uint32_t length)
{
    (void)flags;
    (void)length; /* the frame is what the fragments add up to */
    if (!valid_handle(inj) || nfrags < 0 || (nfrags > 0 && frags_vec == nullptr)) return EINVAL;

    /* Every fragment is checked, and the total is bounded, before a byte is
     * copied: the sum is taken in 64 bits so that no set of lengths can wrap
     * it back below the size of frag_buf. */
    uint64_t total = 0;
    for (int i = 0; i < nfrags; ++i) {
        if (frags_vec[i].ptr == nullptr && frags_vec[i].length != 0) return EINVAL;
        total += frags_vec[i].length;
        if (total > KPT_TX_MAX_FRAME) return EINVAL;
    }

    uint32_t at = 0;
    for (int i = 0; i < nfrags; ++i) {
        if (frags_vec[i].length == 0) continue;
        memcpy(inj->frag_buf + at, frags_vec[i].ptr, frags_vec[i].length);
        at += frags_vec[i].length;
    }
    return tx_send(inj, timeout_ms, inj->frag_buf, at);
}

int kpt_inject_sched(kpt_inject_t inj, int timeout_ms, int flags, const void *pkt,
                     uint32_t length, uint64_t delay_ns)
{
    (void)inj;
    (void)timeout_ms;
    (void)flags;
    (void)pkt;
    (void)length;
    (void)delay_ns;
    return EOPNOTSUPP;
}

int kpt_inject_sched_v(kpt_inject_t inj, int timeout_ms, int flags,
                       struct kpt_pkt_fragment *frags_vec, int nfrags, uint32_t length,
                       uint64_t delay_ns)
{
    (void)inj;
    (void)timeout_ms;
    (void)flags;
    (void)frags_vec;
    (void)nfrags;
    (void)length;
    (void)delay_ns;
    return EOPNOTSUPP;
}

int kpt_inject_getstats(kpt_inject_t inj, struct kpt_inject_stats *stats)
{
    if (!valid_handle(inj) || stats == nullptr) return EINVAL;
    quor_kpt_stats_t cur;
    memset(&cur, 0, sizeof cur);
    int rc = zal_ioctl(inj->tx.mhandle, int(QUOR_KPT_GET_STATS), &cur, sizeof cur);
    if (rc != 0) return rc;
    /* Read without the lock: a counter of the shared block, as it stands. */
    stats->inj_pkt_send =
        std::atomic_ref<uint64_t>(inj->tx.tx_sp.tx_s->tx_pkts_cnt).load(std::memory_order_relaxed);
    stats->nic_pkt_send = cur.nic_pkt_send - inj->tx.tx_stats.nic_pkt_send;
    stats->nic_bytes_send = cur.nic_bytes_send - inj->tx.tx_stats.nic_bytes_send;
    return 0;
}

int kpt_inject_close(kpt_inject_t handle)
{
    if (!valid_handle(handle)) return EINVAL;
    kpt_inject_handle *h = handle;
    kpt__tx *tx = &h->tx;
    const kpt__tx_shared_params *sp = &tx->tx_sp;
    kpt__tx_state *s = sp->tx_s;

    kpt__spin_lock(s);
    if (s->txd.d_cnt > 0) kpt__tx_pioflush(sp, false);
    /* Everything posted, by this close or by earlier sends, is given a
     * bounded time to leave before the endpoint goes away.  Reaping here
     * keeps the waits from returning at once on completions that the
     * driver has not reaped yet. */
    for (int i = 0; i < KPT_TX_CLOSE_WAITS; ++i) {
        kpt__tx_update_completion(sp);
        if (s->dq_inflight <= 0) break;
        (void)tx_wait_event(tx, KPT_TX_CLOSE_WAIT_MS);
    }
    const long long flushed = (long long)s->tx_flush_cnt;
    const long long pkts = (long long)s->tx_pkts_cnt;
    const long long intr = (long long)s->tx_flush_intr_cnt;
    kpt__spin_unlock(s);

    KPT_LOG_P(&h->p, "inject_close: flushed %lld out of %lld, %4.2f %%, intr flush=%lld\n",
              flushed, pkts, pkts != 0 ? 100.0 * double(flushed) / double(pkts) : 0.0, intr);

    kpt__tx_unmap(tx);
    if (h->mhandle >= 0) zal_close(h->mhandle);
    kpt__debug_stream_release(h->p.debug_fp);
    h->type = KPT_H_ANON;
    free(h);
    return 0;
}
