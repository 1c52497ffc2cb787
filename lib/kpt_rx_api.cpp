/*
 * kpt_rx_api.cpp - the public calls of receive rings: argument checks, open
 * and close of a single ring or a group, statistics, port information, and
 * the batched calls and queue occupancy reports over the fast path
 * (kpt_rx.cpp).
 *
 * Occupancy reports split the data ring into what the adapter has written
 * ahead of the reader (q_avail, whole pages), what the application holds
 * (q_borrowed) and the rest (q_free).  Only rings on one port take part in
 * batches; a group merges its members one packet at a time and has no batch
 * of its own.
 */
#include <endian.h>
#include <errno.h>
#include <pthread.h>
#include <stdlib.h>
#include <string.h>

#include <atomic>

#include "kpt_rx.h"

namespace {

constexpr unsigned kPageShift = 12;

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

/* A ring of its own: neither a group nor a member of one (the group alone
 * takes packets from its members and gives their space back). */
inline bool single_ring(const kpt_ring *r)
{
    return r != nullptr && r->type == KPT_H_RING && r->u.ring.group == nullptr;
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
    uint64_t borrowed = kpt__rx_qborrowed(rx);
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

inline int fill_qinfo(kpt_ring *ring, kpt_ring_qinfo *qinfo, int rc)
{
    if (qinfo != nullptr)
        rx_qinfo(&ring->u.ring.rx, qinfo);
    return rc;
}

} // namespace

uint64_t kpt__rx_qavail(const kpt__rx *rx) { return rx_qavail(rx); }

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
        rc = kpt__ring_group_open(h, ring_id, &r);
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
    return kpt__rx_wait(ring->mhandle, timeout_ms);
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
        kpt__ring_close(ring);
        free(ring);
    } else {
        kpt__ring_group_close(ring);
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
        sum.ring_pkt_recv += std::atomic_ref<uint64_t>(m->u.ring.rx.rx_s->recvq.stats.rq_pkt_cnt)
                                 .load(std::memory_order_relaxed);
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

int kpt_ring_recv_many(kpt_ring_t ring, int timeout_ms, kpt_recv_req *req_vector, int nreq_in,
                       int *nreq_out, kpt_ring_qinfo *qinfo)
{
    if (!single_ring(ring) || (nreq_in > 0 && (req_vector == nullptr || nreq_out == nullptr)))
        return EINVAL;
    return fill_qinfo(ring, qinfo,
                      kpt__rx_recv_many(ring, timeout_ms, req_vector, nreq_in, nreq_out, false));
}

int kpt_ring_recv_multiple(kpt_ring_t ring, int timeout_ms, kpt_recv_req *req_vector,
                           int nreq_in, int *nreq_out, kpt_ring_qinfo *qinfo)
{
    (void)timeout_ms; /* never waits */
    if (!single_ring(ring) || (nreq_in > 0 && (req_vector == nullptr || nreq_out == nullptr)))
        return EINVAL;
    return fill_qinfo(ring, qinfo,
                      kpt__rx_recv_many(ring, 0, req_vector, nreq_in, nreq_out, true));
}

int kpt_ring_return_many(kpt_ring_t ring, uint32_t data_qlen, kpt_ring_qinfo *qinfo)
{
    if (!single_ring(ring))
        return EINVAL;
    const int rc = kpt__rx_return_many(&ring->u.ring.rx, data_qlen);
    return rc != 0 ? rc : fill_qinfo(ring, qinfo, 0);
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
