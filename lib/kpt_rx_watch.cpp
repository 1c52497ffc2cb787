// kpt_rx_watch.cpp - watch points of a drained ring (see kpt_watch.h).
#include "kpt_watch.h"

#include "kpt_rx.h"

namespace {

bool member_point(const kpt_ring *m, kpt__watch_point *w)
{
    const kpt__rx &rx = m->u.ring.rx;
    if (rx.evq_base == nullptr || rx.rx_s == nullptr) return false;
    const kpt__rx_state *s = rx.rx_s;
    w->seqnum = &rx.evq_base[s->evq.evq_next_idx].seqnum;
    w->ready = (uint8_t)s->evq.evq_seqnum;
    return true;
}

}  // namespace

int kpt__ring_watch_points(kpt_ring_t ring, kpt__watch_point *points, int max)
{
    if (ring == nullptr || max < 1) return 0;
    if (ring->type == KPT_H_RING) return member_point(ring, &points[0]) ? 1 : 0;
    if (ring->type != KPT_H_RING_GROUP) return 0;
    const kpt_ring_group &g = ring->u.group;
    if (g.emptymask != g.portmask) return -1; /* a packet waits inside the group */
    int n = 0;
    kpt_ring *m;
    TAILQ_FOREACH(m, &ring->ringq, u.ring.glink)
    {
        if (n < max && member_point(m, &points[n])) ++n;
    }
    return n;
}
