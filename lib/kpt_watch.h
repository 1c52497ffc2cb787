/*
 * kpt_watch.h - where a drained ring's next frames will show up, for a
 * thread that waits on the ring on behalf of its reader (library-private).
 *
 * The reader, after a receive attempt found nothing, asks for the watch
 * points of its ring; another thread may then load each point's byte with
 * acquire (pairing with the adapter's release store of a descriptor's
 * sequence number, which it writes last) and compare it with the value that
 * marks the next descriptor as written.  The reader's own state is read only
 * by the reader: the watcher touches nothing but the descriptor ring.
 */
#ifndef KPT_WATCH_H
#define KPT_WATCH_H

#include <stdint.h>

#include "kpt.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct kpt__watch_point {
    const uint8_t *seqnum; /* sequence byte of the next descriptor */
    uint8_t ready;         /* its value once the adapter has written it */
} kpt__watch_point;

/*
 * Fills up to max points (one per member ring; one for a single ring) and
 * returns their count; -1 when the ring holds frames already (a group with
 * a packet waiting inside it), so the reader should simply look again.
 * Called by the ring's reader only, after a receive attempt found nothing.
 */
int kpt__ring_watch_points(kpt_ring_t ring, kpt__watch_point *points, int max);

/* True when the adapter has written the descriptor a point watches. */
static inline int kpt__watch_point_ready(const kpt__watch_point *w)
{
    /* Pairs with the adapter's release store of the descriptor's seqnum. */
    return __atomic_load_n(w->seqnum, __ATOMIC_ACQUIRE) == w->ready;
}

#ifdef __cplusplus
}
#endif

#endif /* KPT_WATCH_H */
