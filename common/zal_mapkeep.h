/*
 * zal_mapkeep.h - the device layer's keep of released ring mappings of the
 * simulated driver's memory (zal_mapkeep.cpp).  Internal to the device layer.
 */
#ifndef ZAL_MAPKEEP_H
#define ZAL_MAPKEEP_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The memory a mapping shows: the object's file, where in it, and how. */
typedef struct zal__map_key {
    uint64_t dev, ino;
    uint64_t obj_offset;
    int prot;
} zal__map_key;

/* A kept mapping of exactly this memory and length, now in use again, or
 * null.  Mappings under ZAL_SIM_KEEP_MIN bytes are never kept. */
void *zal__mapkeep_take(const zal__map_key *key, size_t len);
/* Records a new mapping of the simulated driver's memory. */
void zal__mapkeep_note(void *addr, size_t len, const zal__map_key *key);
/* 1 when the mapping was recorded and is now kept (or already unmapped):
 * the caller must not unmap it.  0: not ours, unmap it as usual. */
int zal__mapkeep_release(void *addr, size_t len);
/* Bytes of mappings kept now. */
size_t zal__mapkeep_kept(void);
/* Unmaps every kept mapping now, as if its time was up. */
void zal__mapkeep_flush(void);

#ifdef __cplusplus
}
#endif

#endif
