/*
 * kpt_rx.h - receive rings, ring groups and switch timestamp state
 * (library-private), and the calls between the files of the receive side:
 * the fast path (kpt_rx.cpp) at the bottom; set-up (kpt_rx_setup.cpp), groups
 * (kpt_rx_group.cpp), diagnostics (kpt_rx_diag.cpp), the switch timestamp
 * decoder (kpt_ats.cpp, kpt_ats.h) and the public calls (kpt_rx_api.cpp) on
 * top of it.  The fast path calls none of them: a decoding ring's attempts
 * reach the decoder through kpt__rx::decode_try.
 */
#ifndef KPT_RX_H
#define KPT_RX_H

#include <sys/queue.h>

#include "kpt_handle.h"
#include "kpt_internal.h"

#ifdef __cplusplus
extern "C" {
#endif

struct kpt_ring;

typedef int (*kpt__ring_recv_fn)(struct kpt_ring *ring, int timeout_ms, int req_index,
                                 kpt_recv_req *req);

typedef enum kpt__pq_mode { P_UNUSED = 0, P_SHARED = 1, P_DUP = 2 } kpt__pq_mode;

struct kpt__rx;
/* One non-blocking receive attempt of a ring on one port: 0 with *req
 * filled, or EAGAIN. */
typedef int (*kpt__rx_try_fn)(kpt__pq_mode mode, struct kpt__rx *rx, int req_index,
                              kpt_recv_req *req);

/* ---- switch timestamp state of a ring (decoded in kpt_ats.cpp) ---- */

typedef enum ats_status {
    ATS_STATUS_DISABLED = 0,
    ATS_STATUS_INITED = 1,
    ATS_STATUS_CHANGEDMODE = 2,
    ATS_STATUS_FALLBACK_LOCAL = 3,
    ATS_STATUS_ACTIVE = 4,
    ATS_STATUS_OUTOFSYNC = 5,
    ATS_STATUS_NEED_KEYFRAME = 6
} ats_status;

/* Where the switch puts its time (a keyframe's ak_fcs_type). */
typedef enum ats_mode {
    ATS_FCS_TIMESTAMPING_DISABLED = 0,
    ATS_FCS_TIMESTAMPING_APPENDED = 1,
    ATS_FCS_TIMESTAMPING_OVERWRITE = 2,
    ATS_FCS_TIMESTAMPING_TESTING_MODE = 3
} ats_mode;

typedef struct ats_keyframe {
    uint64_t ak_asic_time;
    uint64_t ak_utc_time;
    uint64_t ak_last_sync_time;
    uint64_t ak_skew_numerator;
    uint64_t ak_skew_denominator;
    uint64_t ak_kf_timestamp;
    uint64_t ak_dropped_frames;
    uint16_t ak_device_id;
    uint16_t ak_egress_swport;
    uint8_t ak_fcs_type;
    uint8_t ak_reserved;
} ats_keyframe;

typedef struct ats_stats {
    uint64_t arst_kfrecv;
    uint64_t arst_kfneeded;
    uint64_t arst_kfmalformed;
    uint32_t arst_kfmalformedlen;
    uint64_t arst_flips;
    uint64_t arst_ptpoos;
    uint64_t arst_unsupported_mode;
    uint64_t arst_dropped;
    uint64_t arst_neg_adj_event;
} ats_stats;

typedef struct ats_control {
    ats_mode arct_mode;
    ats_status arct_status;
    uint8_t arct_kf_check_rate;
    uint8_t arct_kf_check_ptp;
    uint8_t arct_kf_recv;
    uint8_t arct_kf_dupkern;
    uint32_t arct_kf_last_ts;
    ats_keyframe arct_lastkf;
    uint8_t arct_kf_hasskew;
    uint64_t arct_kf_flipped;
    uint64_t arct_kf_ptp_wait;
    ats_stats arct_stats;
    char arct_prodname[4];
    uint32_t arct_kf_dst_ip;
    uint64_t arct_last_ts;
    ats_keyframe arct_llastkf;
} ats_control;

/* ---- one ring ---- */

/* Mapped regions of a ring: (address, size) pairs; address 0: not mapped. */
typedef struct kpt__rx_map {
    uintptr_t map_vstate_all, map_vstate_all_size;
    uintptr_t map_vstate, map_vstate_size;
    uintptr_t map_kernel_window, map_kernel_window_size;
    uintptr_t map_rx_desc_ring, map_rx_desc_ring_size;
    uintptr_t map_rx_data_ring, map_rx_data_ring_size; /* preamble included */
    uintptr_t map_rx_doorbell, map_rx_doorbell_size;
    uintptr_t map_rx_recv_info, map_rx_recv_info_size;
    uintptr_t map_pq_state, map_pq_state_size;
    uintptr_t map_rx_data, map_rx_data_size; /* the ring proper */
} kpt__rx_map;

/* Map of the ring initialised last (exported; nothing in the library reads it). */
extern kpt__rx_map kpt_rx_map;

/* Process-side state of one ring. */
typedef struct kpt__rx {
    kpt__ring_recv_fn ring_recv_fn;
    /* The attempt of a ring that decodes switch timestamps, set at set-up
     * (the decoder's, which wraps kpt__rx_take); null for a plain ring. */
    kpt__rx_try_fn decode_try;
    zal_handle_t mhandle;
    const kpt__params *p;
    kpt__rx_state *rx_s;
    const kpt__rx_state *rx_s_all;
    const uint32_t *rq_data_dma_vpages;
    const quor_kwindow_t *kwindow;
    uint64_t *flow_be64;
    uint64_t *flow_be64_actual;
    nfw_kpt_rx_desc_t *evq_base;
    quor_clksync_nticks_t nticks;
    ats_control ats;
    kpt__pq_mode pq_mode;
    uint32_t ring_id;
    uint32_t portnum;
    uint32_t num_rings;
    uint32_t ring_mask;
    uint32_t rq_pend_drop_size;
    uintptr_t rq_size;
    uint32_t rx_map_flags;
    struct {
        uint64_t err_pkt_ring;
        uint64_t err_ipv4_csum;
    } rx_verify;
    kpt__rx_map rx_map;
    kpt_rss_fn_t rss_hash_fn;
    void *rss_context;
} kpt__rx;

/* A ring on one port. */
typedef struct kpt_ring_uniq {
    STAILQ_ENTRY(kpt_ring) link;  /* next ring of the port */
    TAILQ_ENTRY(kpt_ring) glink;  /* links in a ringq list */
    kpt_port *port_h;
    struct kpt_ring *group; /* the group polling this member; null for a ring of its own */
    kpt__params p;
    quor_kpt_rx_params_t drv_p;
    kpt__rx rx;
} kpt_ring_uniq;

/* ---- ring groups ---- */

#define KPT_GROUP_MAX_PORTS 16

typedef struct rx_poll_entry {
    struct kpt_ring *ring;
    kpt_recv_req recv_req;
    TAILQ_ENTRY(rx_poll_entry) link;
    uint64_t safe_tstamp;
} rx_poll_entry;

TAILQ_HEAD(rx_group_pollq, rx_poll_entry);

typedef struct kpt_ring_group {
    uint32_t portmask;
    uint32_t emptymask;
    struct kpt_ring *ring_latest;
    uint32_t need_update_mask;
    uint64_t host_time;
    uint64_t nic_time;
    uint64_t max_tstamp;
    rx_poll_entry ports[KPT_GROUP_MAX_PORTS];
    struct rx_group_pollq pollq;
} kpt_ring_group;

/* The object behind kpt_ring_t: a single ring or a group of member rings. */
struct kpt_ring {
    kpt_handle_type type; /* KPT_H_RING or KPT_H_RING_GROUP */
    kpt__ring_recv_fn ring_recv_fn;
    zal_handle_t mhandle;
    struct kpt_handle *kpt_h;
    TAILQ_HEAD(kpt_ringq, kpt_ring) ringq; /* the ring itself, or the members */
    union {
        kpt_ring_uniq ring;
        kpt_ring_group group;
    } u;
};

typedef struct kpt_ring kpt_ring;

/* ---- the fast path (kpt_rx.cpp) ---- */

/* Takes the next packet of the open descriptor: 0, or ERANGE when it is
 * consumed but cannot be handed out contiguous. */
int kpt__recv_req(kpt__rx *rx, kpt_recv_req *req);
/* Moves the release point; synchronises once 64 KiB have been released. */
void kpt__rx_tail_update(kpt__rx *rx, uint64_t rq_tail_update);
/* Gives everything consumed back at once, borrowed packets included, and
 * tells the driver. */
void kpt__rx_release_all(kpt__rx *rx);
/* Adapter ticks to nanoseconds. */
uint64_t kpt__clk_get_timestamp(const kpt__rx *rx, uint64_t ticks);
/* One non-blocking receive attempt: 0 with *req filled, or EAGAIN. */
int ring_recv_try(kpt__pq_mode mode, kpt__rx *rx, int req_index, kpt_recv_req *req);
/* The next packet of the queue whichever ring it is for (no hash, not
 * counted): 0 with *req filled, or EAGAIN. */
int kpt__rx_take(kpt__rx *rx, int req_index, kpt_recv_req *req);
/* On a shared queue: true when the hash gives the packet to this ring; a
 * packet for another ring or dropped by the hash is counted. */
bool kpt__rx_rss_keep(kpt__rx *rx, kpt_recv_req *req);
/* Bytes consumed and not delivered: released at once by a single receive
 * (req_index -1), added to rq_pend_drop_size by a batched one. */
void kpt__rx_pass_over(kpt__rx *rx, int req_index, uint32_t bytes);
/* Packets left in the descriptor the ring has open. */
bool kpt__rx_open_left(const kpt__rx *rx);
/* Waits in the driver for a new descriptor: 0 or an errno. */
int kpt__rx_wait(zal_handle_t mhandle, int timeout_ms);
/* The sequence number of a descriptor, loaded with acquire. */
uint8_t kpt__rx_desc_seqnum(const nfw_kpt_rx_desc_t *d);

/*
 * The batched calls on a ring of its own, but for the occupancy report; 0 or
 * an errno.  kpt_ring_recv_many: up to n packets, waiting up to timeout_ms
 * for the first, and what was passed over is given back when nothing of
 * what the application holds lies before it.  With once, as
 * kpt_ring_recv_multiple: one attempt, nothing given back.
 */
int kpt__rx_recv_many(kpt_ring *ring, int timeout_ms, kpt_recv_req *v, int n, int *nreq_out,
                      bool once);
/* kpt_ring_return_many on a ring of its own, but for the occupancy report:
 * 0, or EINVAL when more is returned than is borrowed. */
int kpt__rx_return_many(kpt__rx *rx, uint32_t data_qlen);
/* Data consumed and not released (held by the application). */
uint64_t kpt__rx_qborrowed(const kpt__rx *rx);

/* Receive functions (kpt__ring_recv_fn) of a ring on one port; the _ats ones
 * call the ring's decode_try. */
int ring_recv_uniq(kpt_ring *ring, int timeout_ms, int req_index, kpt_recv_req *req);
int ring_recv_shared(kpt_ring *ring, int timeout_ms, int req_index, kpt_recv_req *req);
int ring_recv_uniq_ats(kpt_ring *ring, int timeout_ms, int req_index, kpt_recv_req *req);
int ring_recv_shared_ats(kpt_ring *ring, int timeout_ms, int req_index, kpt_recv_req *req);

/* ---- set-up and teardown (kpt_rx_setup.cpp) ---- */

/* One ring on one port: attach, map, set up.  0 or an errno. */
int kpt__ring_open(kpt_port *port, int ring_id, kpt_ring **ring_o);
/* Closes a ring on one port (alone or a group's member) and takes it off
 * its port's list; the caller frees it. */
void kpt__ring_close(kpt_ring *m);
/* Maps the ring's regions and initialises *rx from the attach answer. */
int kpt__rx_init(kpt__rx *rx, zal_handle_t mhandle, const kpt__params *p,
                 const quor_kpt_rx_attach_t *attach);
/* Unmaps whatever the ring has mapped and forgets the addresses. */
void kpt__rx_unmap(kpt__rx *rx);
/* Gives all data back, logs the counters, unmaps and detaches. */
void kpt__rx_fini(kpt__rx *rx);

/* ---- ring groups (kpt_rx_group.cpp) ---- */

/* A group of one member ring per port; called under the handle's lock. */
int kpt__ring_group_open(kpt_handle *h, int ring_id, kpt_ring **ring_o);
/* Closes a group and its members and frees them; called under the handle's
 * lock, the group's own reference already dropped. */
void kpt__ring_group_close(kpt_ring *g);
/* The receive function of a group. */
int ring_recv_group(kpt_ring *ring, int timeout_ms, int req_index, kpt_recv_req *req);

/* ---- occupancy (kpt_rx_api.cpp) ---- */

/* Data the adapter has written beyond the consumer head, in whole pages. */
uint64_t kpt__rx_qavail(const kpt__rx *rx);

/* ---- ring diagnostics (kpt_rx_diag.cpp) ---- */

/* The keep/skip/drop line (PARAM). */
void kpt__rx_print_stats(const kpt__rx *rx, const char *prefix);
/* Body of that line ("<prefix>: tot=..."), formatted without stdio locks;
 * returns its length. */
int kpt__rx_stats_text(const kpt__rx *rx, const char *prefix, char *buf, size_t size);
/* Starts what the ring's settings ask for: the rate printer (QEVENTS, ring
 * id 0, one per process) and the SIGUSR2 counter dump (KPT_SIGUSR2). */
void kpt__rx_diag_start(kpt__rx *rx);
/* Stops the printer this ring started and forgets it for SIGUSR2; on return
 * neither touches the ring again.  Before anything of the ring is unmapped. */
void kpt__rx_diag_stop(kpt__rx *rx);
/* Time between two passes of the rate printer, microseconds. */
extern unsigned kpt__refs_period_us;
/* Rate printer thread body; arg is the printer's state. */
void *kpt__print_refs(void *arg);
/* SIGUSR2 handler: the counter line of the recorded ring ("signal"). */
void sig_print_refs(int sig);

#ifdef __cplusplus
}
#endif

#ifdef __cplusplus
#include <atomic>

/*
 * Adds n to a counter of the state slot (rq_pkt_cnt, rq_pkt_length,
 * rq_pkt_cnt_skip_rss, rq_pkt_cnt_drop).  Only the ring's receiving thread
 * writes them; the rate printer, the statistics call and the SIGUSR2 handler
 * read them from other threads with relaxed loads, so every access is a
 * whole relaxed one and no order is needed.
 */
inline void kpt__rx_count(uint64_t &counter, uint64_t n)
{
    std::atomic_ref<uint64_t> c(counter);
    c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}
#endif

#ifdef __cplusplus
extern "C" {
#endif

#ifdef __cplusplus
}
#endif

#endif /* KPT_RX_H */
