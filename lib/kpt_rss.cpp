/*
 * kpt_rss.cpp - the library's built-in receive-side scaling hash, used by the
 * rings of a shared queue to pick the packets they keep.  The hash itself is
 * shared with the simulated adapter (common/quor_rss.cpp) so that both spread
 * a flow onto the same ring.
 */
#include "kpt_internal.h"
#include "quor_rss.h"

static_assert(QUOR_RSS_IP == KPT_RSS_IP, "hash flag values differ");
static_assert(QUOR_RSS_SRC_PORT == KPT_RSS_SRC_PORT, "hash flag values differ");
static_assert(QUOR_RSS_DST_PORT == KPT_RSS_DST_PORT, "hash flag values differ");
static_assert(QUOR_RSS_GTP == KPT_RSS_GTP, "hash flag values differ");
static_assert(QUOR_RSS_GRE == KPT_RSS_GRE, "hash flag values differ");

/* The context is the flags value itself, not a pointer.  Never fails. */
int kpt__rss_hash(kpt_recv_req *req, void *context, uint32_t *hash_val_o)
{
    const uint32_t flags = (uint32_t)(uintptr_t)context;
    *hash_val_o = quor_rss_hash((const uint8_t *)req->pkt_addr, req->length, flags);
    return 0;
}
