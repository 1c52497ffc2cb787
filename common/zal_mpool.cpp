/*
 * zal_mpool.cpp - a pool of fixed-size elements carved from a region the
 * caller owns.  Allocation and release are constant time: free elements are
 * chained through their first pointer-sized word, and a freed element goes
 * back to the front, so the element touched last (and still in cache) is the
 * one handed out next.
 */
#include "zal_internal.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>

extern "C" {

int zal_mpool_init(char *base, size_t size, size_t elem_sz, zal_mpool **pool_o)
{
    /* An element must hold the link word; 0 would also divide by zero. */
    if (pool_o == nullptr || elem_sz < sizeof(char *)) return EINVAL;
    size_t count = size / elem_sz;
    if (count != 0 && base == nullptr) return EINVAL;
    if (count > size_t(0x7fffffff)) count = 0x7fffffff; /* elem_avail is an int */

    auto *p = static_cast<zal_mpool *>(calloc(1, sizeof(zal_mpool)));
    if (p == nullptr) return ENOMEM;
    p->base = base;
    p->size = size;
    p->elem_sz = elem_sz;
    p->elem_avail = int(count);
    p->elem_next = count != 0 ? base : nullptr;
    /* A region smaller than one element holds no element and is not written. */
    for (size_t i = 0; i < count; ++i) {
        char *next = i + 1 < count ? base + (i + 1) * elem_sz : nullptr;
        memcpy(base + i * elem_sz, &next, sizeof next);
    }
    *pool_o = p;
    return 0;
}

void zal_mpool_fini(zal_mpool *mpool) { free(mpool); }

void *zal_mpool_alloc(zal_mpool *mpool)
{
    if (mpool == nullptr || mpool->elem_avail < 1) return nullptr;
    char *e = mpool->elem_next;
    memcpy(&mpool->elem_next, e, sizeof mpool->elem_next); // the link a free element holds
    mpool->elem_avail--;
    return e;
}

int zal_mpool_isempty(zal_mpool *mpool) { return mpool == nullptr || mpool->elem_avail < 1; }

void zal_mpool_free(zal_mpool *mpool, void *ptr)
{
    if (mpool == nullptr || ptr == nullptr) return;
    memcpy(ptr, &mpool->elem_next, sizeof mpool->elem_next);
    mpool->elem_next = static_cast<char *>(ptr);
    mpool->elem_avail++;
}

} // extern "C"
