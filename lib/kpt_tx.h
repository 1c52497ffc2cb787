/*
 * kpt_tx.h - injection handles and their transmit state (library-private).
 *
 * An injection handle owns one transmit endpoint of the driver and the five
 * regions it describes: the data ring the frames are copied into, the
 * descriptor slots, the doorbell word, the completion bytes and the state
 * block shared with the driver (common/quor_kpt_io.h).  Every change to the
 * state block, to txdata_offset and to the data ring happens under the lock
 * word inside the state block, so several threads may send on one handle.
 * Vectored sends gather into the handle's single frag_buf before taking the
 * lock: two vectored sends on one handle must not run at the same time.
 */
#ifndef KPT_TX_H
#define KPT_TX_H

#include <stdint.h>

#include "kpt_internal.h"
#include "quor_kpt_io.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Largest frame, without its FCS; shorter than 60 bytes goes out as 60. */
#define KPT_TX_MAX_FRAME QUOR_MAX_FRAME
#define KPT_TX_MIN_FRAME QUOR_MIN_FRAME

/* Close waits this long (in steps of 10 ms) for the adapter to finish. */
#define KPT_TX_CLOSE_WAIT_MS 10
#define KPT_TX_CLOSE_WAITS 5000

/* Address and size of each mapped region of the endpoint (0: not mapped). */
typedef struct kpt__tx_map {
    uintptr_t map_tx_data;
    uintptr_t map_tx_data_size;
    uintptr_t map_tx_desc;
    uintptr_t map_tx_desc_size;
    uintptr_t map_tx_doorbell;
    uintptr_t map_tx_doorbell_size;
    uintptr_t map_tx_compl;
    uintptr_t map_tx_compl_size;
    uintptr_t map_tx_flow;
    uintptr_t map_tx_flow_size;
} kpt__tx_map;

typedef struct kpt__tx {
    zal_handle_t mhandle;     /* the endpoint's device file, for waits */
    kpt__tx_map tx_map;
    quor_kpt_stats_t tx_stats; /* port counters at open: the baseline */
    kpt__tx_shared_params tx_sp;
    uintptr_t txdata_offset;  /* data-ring offset just past the last frame */
    uintptr_t txdata_size;    /* data-ring bytes */
} kpt__tx;

/* The object behind kpt_inject_t. */
struct kpt_inject_handle {
    kpt_handle_type type; /* KPT_H_INJ */
    kpt__params p;
    zal_handle_t mhandle; /* -1: none */
    quor_kpt_tx_params_t drv_p;
    uint8_t frag_buf[KPT_TX_MAX_FRAME]; /* gather buffer of kpt_inject_send_v */
    kpt__tx tx;
};

/*
 * Maps the endpoint's regions described by drv_p, initialises the shared
 * state block (releasing its lock last) and reads the baseline counters.
 * 0, or an error with nothing left mapped.
 */
int kpt__tx_init(kpt__tx *tx, zal_handle_t mhandle, const kpt__params *p,
                 const quor_kpt_tx_params_t *drv_p);
/* Unmaps every region that is mapped. */
void kpt__tx_unmap(kpt__tx *tx);

#ifdef __cplusplus
}
#endif

#endif /* KPT_TX_H */
