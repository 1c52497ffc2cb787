/*
 * kpt_rx_group.cpp - ring groups: a device handle over several ports gets one
 * member ring per port, opened and closed together, whose packets the group
 * hands out merged in timestamp order.  A member's packets come from the fast
 * path (kpt_rx.cpp) one attempt at a time.
 */
#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include "kpt_rx.h"

namespace {

/* A member of a group tries with its own attempt: switch timestamps are
 * decoded per port. */
inline int member_try(kpt_ring *m, kpt__rx *mrx, int req_index, kpt_recv_req *req)
{
    if (mrx->decode_try != nullptr)
        return mrx->decode_try(m->ring_recv_fn == ring_recv_uniq_ats ? P_UNUSED : mrx->pq_mode,
                               mrx, req_index, req);
    return ring_recv_try(mrx->pq_mode, mrx, req_index, req);
}

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

/* Releases a group that has not been handed out: its members (never on
 * their ports' lists yet) and its descriptor. */
void ring_group_discard(kpt_ring *g)
{
    kpt_ring *m;
    while ((m = TAILQ_FIRST(&g->ringq)) != nullptr) {
        TAILQ_REMOVE(&g->ringq, m, u.ring.glink);
        kpt__rx_unmap(&m->u.ring.rx);
        zal_close(m->mhandle);
        free(m);
    }
    if (g->mhandle != -1)
        zal_close(g->mhandle);
    free(g);
}

} // namespace

int kpt__ring_group_open(kpt_handle *h, int ring_id, kpt_ring **ring_o)
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

void kpt__ring_group_close(kpt_ring *g)
{
    kpt_handle *h = g->kpt_h;
    kpt_ring *m;
    TAILQ_FOREACH(m, &g->ringq, u.ring.glink) {
        kpt__ring_close(m);
        h->refcnt--;
    }
    while ((m = TAILQ_FIRST(&g->ringq)) != nullptr) {
        TAILQ_REMOVE(&g->ringq, m, u.ring.glink);
        free(m);
    }
    zal_close(g->mhandle);
    free(g);
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
            kpt__rx_tail_update(lrx, lrx->rx_s->recvq.rq_data_head);
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
                left = kpt__rx_open_left(&g->ports[lowest_port(m)].ring->u.ring.rx);
            if (left)
                continue;
            const int rc = kpt__rx_wait(ring->mhandle, timeout_ms);
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
