/*
 * kpt_rx_batch.cpp - batched receive and queue occupancy.
 *
 * A batched call borrows packets: it takes them with their slot index as
 * req_index, so nothing is released behind the caller, and the application
 * gives the space back later with kpt_ring_return_many, in the order it
 * received it.  Occupancy reports split the data ring into what the adapter
 * has written ahead of the reader (q_avail, whole pages), what the
 * application holds (q_borrowed) and the rest (q_free).
 *
 * Only rings on one port take part; a group merges its members one packet
 * at a time and has no batch of its own.
 */
#include <endian.h>
#include <errno.h>

#include <atomic>

#include "kpt_rx.h"

namespace {

constexpr uint32_t kReturnAll = 0xFFFFFFFFu;
constexpr unsigned kPageShift = 12;

/* A ring of its own: neither a group nor a member of one (the group alone
 * takes packets from its members and gives their space back). */
inline bool single_ring(const kpt_ring *r)
{
    return r != nullptr && r->type == KPT_H_RING && r->u.ring.group == nullptr;
}

/* Consumed but not yet released: what the application holds, and the bytes
 * of packets passed over since the last packet a batch returned. */
uint64_t rx_qborrowed(const kpt__rx *rx)
{
    const kpt__rx_recvq &q = rx->rx_s->recvq;
    const uint64_t head = q.rq_data_head, tail = q.rq_data_tail;
    return head >= tail ? head - tail : head - tail + q.rq_data_size;
}

/* Whole pages the adapter has written beyond the consumer head. */
uint64_t rx_qavail(const kpt__rx *rx)
{
    if (rx->rq_data_dma_vpages == nullptr)
        return 0;
    /* The adapter stores the page count after the data and the descriptors
     * it covers; pairs with that release store. */
    const uint32_t pages = be32toh(std::atomic_ref<uint32_t>(*const_cast<uint32_t *>(
                                       rx->rq_data_dma_vpages)).load(std::memory_order_acquire));
    const uint32_t d = pages - (uint32_t)(rx->rx_s->recvq.rq_data_head >> kPageShift);
    return d <= (rx->rx_map.map_rx_data_size >> kPageShift) ? (uint64_t)d << kPageShift : 0;
}

void rx_qinfo(const kpt__rx *rx, kpt_ring_qinfo *qi)
{
    const uint64_t size = rx->rx_s->recvq.rq_data_size;
    uint64_t borrowed = rx_qborrowed(rx);
    if (borrowed > size)
        borrowed = size;
    /* The page count runs ahead of what the application still holds: with
     * the ring full and part of a page borrowed, its whole pages and the
     * borrowed bytes would add up to more than the ring. */
    uint64_t avail = rx_qavail(rx);
    const uint64_t room = (size - borrowed) & ~(((uint64_t)1 << kPageShift) - 1);
    if (avail > room)
        avail = room;
    qi->q_avail = (uintptr_t)avail;
    qi->q_borrowed = (uintptr_t)borrowed;
    qi->q_free = (uintptr_t)(size - borrowed - avail);
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
        kpt__rx_tail_update(rx, rx->rx_s->recvq.rq_data_head);
        rx->rq_pend_drop_size = 0;
    }
}

inline int fill_qinfo(kpt_ring *ring, kpt_ring_qinfo *qinfo, int rc)
{
    if (qinfo != nullptr)
        rx_qinfo(&ring->u.ring.rx, qinfo);
    return rc;
}

} // namespace

uint64_t kpt__rx_qborrowed(const kpt__rx *rx) { return rx_qborrowed(rx); }
uint64_t kpt__rx_qavail(const kpt__rx *rx) { return rx_qavail(rx); }

int kpt_ring_recv_many(kpt_ring_t ring, int timeout_ms, kpt_recv_req *req_vector, int nreq_in,
                       int *nreq_out, kpt_ring_qinfo *qinfo)
{
    if (!single_ring(ring) || (nreq_in > 0 && (req_vector == nullptr || nreq_out == nullptr)))
        return EINVAL;
    kpt__rx *rx = &ring->u.ring.rx;
    if (nreq_in <= 0) {
        release_pending(rx);
        return fill_qinfo(ring, qinfo, 0);
    }
    for (;;) {
        int rc;
        const int n = kpt__rx_take_many(ring, req_vector, nreq_in, &rc);
        if (n > 0) {
            *nreq_out = n;
            return fill_qinfo(ring, qinfo, 0);
        }
        release_pending(rx);
        if (rc != EAGAIN || timeout_ms == 0)
            return fill_qinfo(ring, qinfo, rc);
        /* An attempt that consumed a keyframe leaves the rest of its
         * descriptor to take: tried again at once, for the driver wakes a
         * wait only for a new descriptor. */
        if (rx->rx_s->evq.evq_evinfo_idx >= 0)
            continue;
        rc = kpt_ring_wait(ring, timeout_ms);
        if (rc != 0)
            return fill_qinfo(ring, qinfo, rc);
    }
}

int kpt_ring_recv_multiple(kpt_ring_t ring, int timeout_ms, kpt_recv_req *req_vector,
                           int nreq_in, int *nreq_out, kpt_ring_qinfo *qinfo)
{
    (void)timeout_ms; /* never waits */
    if (!single_ring(ring) || (nreq_in > 0 && (req_vector == nullptr || nreq_out == nullptr)))
        return EINVAL;
    if (nreq_in <= 0)
        return fill_qinfo(ring, qinfo, 0);
    int rc;
    const int n = kpt__rx_take_many(ring, req_vector, nreq_in, &rc);
    if (n > 0) {
        *nreq_out = n;
        rc = 0;
    }
    return fill_qinfo(ring, qinfo, rc);
}

int kpt_ring_return_many(kpt_ring_t ring, uint32_t data_qlen, kpt_ring_qinfo *qinfo)
{
    if (!single_ring(ring))
        return EINVAL;
    kpt__rx *rx = &ring->u.ring.rx;
    const uint64_t borrowed = rx_qborrowed(rx);
    /* All of it, however large: truncated to 32 bits, a ring above 4 GiB
     * would keep part of what the caller meant to give back. */
    const uint64_t len = data_qlen == kReturnAll ? borrowed : data_qlen;
    if (len > borrowed)
        return EINVAL;
    kpt__rx_recvq &q = rx->rx_s->recvq;
    kpt__rx_tail_update(rx, q.rq_data_tail + len);
    /* Skipped bytes given back with the rest are no longer pending. */
    const uint64_t left = q.rq_data_head - q.rq_data_tail;
    if (rx->rq_pend_drop_size > left)
        rx->rq_pend_drop_size = (uint32_t)left;
    return fill_qinfo(ring, qinfo, 0);
}

int kpt_ring_recv_qinfo(kpt_ring_t ring, kpt_ring_qinfo *qinfo)
{
    if (ring == nullptr || qinfo == nullptr ||
        (ring->type != KPT_H_RING && ring->type != KPT_H_RING_GROUP))
        return EINVAL;
    if (ring->type == KPT_H_RING)
        return fill_qinfo(ring, qinfo, 0);
    /* A group reports its fullest member, the first one on a tie. */
    bool first = true;
    kpt_ring *m;
    TAILQ_FOREACH(m, &ring->ringq, u.ring.glink) {
        kpt_ring_qinfo mi;
        rx_qinfo(&m->u.ring.rx, &mi);
        if (first || mi.q_free < qinfo->q_free)
            *qinfo = mi;
        first = false;
    }
    return 0;
}
