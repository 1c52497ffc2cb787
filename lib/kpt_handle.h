/*
 * kpt_handle.h - device handles and their ports (library-private).
 */
#ifndef KPT_HANDLE_H
#define KPT_HANDLE_H

#include <pthread.h>
#include <sys/queue.h>

#include "kpt_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

struct kpt_ring;

/* One port of a device handle. */
typedef struct kpt_port {
    kpt_handle_type type; /* KPT_H_BOARD */
    STAILQ_ENTRY(kpt_port) link;
    struct kpt_handle *kpt_h;
    zal_handle_t mhandle; /* the port's device file, -1 until opened */
    quor_kpt_rx_params_t drv_p;
    kpt__params p; /* portnum is this port's number */
    STAILQ_HEAD(kpt_port_ringq, kpt_ring) ringq; /* rings opened on the port */
} kpt_port;

/* A device handle over one or several ports (kpt_handle_t). */
struct kpt_handle {
    kpt_handle_type type; /* KPT_H_BOARD_GROUP */
    pthread_mutex_t lock; /* portq, refcnt, start/stop, ring open/close */
    int refcnt;           /* ports + rings and ring groups open on it */
    int portcnt;
    uint32_t portmask;
    STAILQ_HEAD(kpt_portq, kpt_port) portq; /* lowest port number first */
};

/*
 * Maps a driver-provided region of a device file.  Size 0 or an offset of
 * all-ones maps nothing and stores 0.  0 or errno.
 */
int kpt__mmap(const kpt__params *p, zal_handle_t mhandle, const char *map_name,
              uintptr_t *map_ptr, uintptr_t size, uintptr_t offset, int read_only);

#ifdef __cplusplus
}
#endif

#endif /* KPT_HANDLE_H */
