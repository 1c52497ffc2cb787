/*
 * kpt.h - public interface of libkpt, the zero-copy packet capture and
 * injection library.  Valid C and C++.
 *
 * Every function returns 0 on success or a positive errno value, with results
 * coming back through out-pointers.  EAGAIN from a receive or send call means
 * that nothing is ready now; EINTR that a wait was interrupted by a signal.
 * Timeouts are milliseconds: 0 does not wait, a negative value waits without
 * limit.
 */
#ifndef KPT_H
#define KPT_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* API version of this library: pass it to kpt_init(). */
#define KPT_API_VERSION 0x0008

/* ---- handles ---- */

typedef enum kpt_handle_type {
    KPT_H_ANON = 0,
    KPT_H_BOARD_GROUP = 1, /* device handle */
    KPT_H_BOARD = 2,       /* port */
    KPT_H_RING_GROUP = 3,
    KPT_H_RING = 4,
    KPT_H_INJ = 5,
    KPT_H_PQ = 6
} kpt_handle_type;

struct kpt_handle;
struct kpt_ring;
struct kpt_inject_handle;
typedef struct kpt_handle *kpt_handle_t;
typedef struct kpt_ring *kpt_ring_t;
typedef struct kpt_inject_handle *kpt_inject_t;
typedef struct kpt_handle *kpt_netdev_reflect_t;

/* ---- debug modes (KPT_DEBUG_MASK) ---- */

typedef enum kpt_debug_mode {
    KPT_DEBUG_WARN = 0x1,
    KPT_DEBUG_PARAM = 0x2,
    KPT_DEBUG_QSTATS = 0x4,
    KPT_DEBUG_TIMESYNC = 0x8,
    KPT_DEBUG_IOCTL = 0x10,
    KPT_DEBUG_QEVENTS = 0x20,
    KPT_DEBUG_ARISTA = 0x40
} kpt_debug_mode;

/* ---- open flags ---- */

typedef enum kpt_open_flags {
    KPT_F_AGGREGATE_PORTMASK = 0x2, /* portnum is a mask of ports */
    KPT_F_APP_ID = 0x80,            /* set by kpt_open with an app id */
    KPT_F_DUP = 0x200               /* receive every packet of the queue */
} kpt_open_flags;

/* ---- packets ---- */

typedef struct kpt_recv_req kpt_recv_req;
struct kpt_recv_req {
    void *pkt_addr;       /* first byte of the frame, in the data ring */
    uint32_t length;      /* frame length without the FCS */
    uint64_t timestamp;   /* receive time, nanoseconds */
    uint32_t portnum;     /* port that delivered the frame */
    uint32_t length_data; /* data-ring bytes that returning it gives back */
    uint32_t hw_hash;
};

/* ---- receive-side scaling ---- */

typedef int (*kpt_rss_fn_t)(kpt_recv_req *req, void *context,
                            uint32_t *hash_val_o);

typedef enum kpt_rss_mode_flags {
    KPT_RSS_IP = 0x01,
    KPT_RSS_SRC_PORT = 0x10,
    KPT_RSS_DST_PORT = 0x20,
    KPT_RSS_GTP = 0x40,
    KPT_RSS_GRE = 0x80
} kpt_rss_mode_flags;

typedef enum kpt_rss_params_mode {
    KPT_RSS_FLAGS = 0,
    KPT_RSS_FUNCTION = 1
} kpt_rss_params_mode;

typedef struct kpt_rss_mode_function kpt_rss_mode_function;
struct kpt_rss_mode_function {
    kpt_rss_fn_t rss_hash_fn;
    void *rss_context;
};

typedef struct kpt_rss_params kpt_rss_params;
struct kpt_rss_params {
    kpt_rss_params_mode mode;
    union {
        uint32_t rss_flags; /* kpt_rss_mode_flags bits */
        kpt_rss_mode_function rss_function;
    } params;
};

/* ---- parameters ---- */

typedef enum kpt_param_key {
    KPT_PARAM_PORTNUM = 0,
    KPT_PARAM_RING_ID,
    KPT_PARAM_NUM_RINGS,
    KPT_PARAM_RSS_FLAGS,
    KPT_PARAM_RSS_FUNC_PTR,
    KPT_PARAM_RSS_FUNC_CONTEXT,
    KPT_PARAM_DATARING_SIZE,
    KPT_PARAM_DESCRING_SIZE,
    KPT_PARAM_FLAGS,
    KPT_PARAM_DEBUG_MASK,
    KPT_PARAM_DEBUG_FILENAME,
    KPT_PARAM_APP_ID,
    _KPT_PARAM_LAST
} kpt_param_key;

typedef union kpt_param_val kpt_param_val;
union kpt_param_val {
    uint32_t portnum;
    int32_t ring_id;
    uint32_t num_rings;
    uint32_t rss_flags;
    uint64_t desc_ring_size;
    uint64_t data_ring_size;
    uint32_t open_flags;
    int32_t app_id;
    uint32_t debug_mask;
    const char *debug_filename;
    kpt_rss_fn_t rss_hash_fn;
    void *rss_context;
};

typedef struct kpt_param_keyval kpt_param_keyval;
struct kpt_param_keyval {
    kpt_param_key key;
    kpt_param_val val;
};

/* ---- ports ---- */

typedef enum kpt_link_state {
    KPT_LINK_DOWN = 0,
    KPT_LINK_UP = 1
} kpt_link_state;

typedef enum kpt_timesource_state {
    KPT_TIMESOURCE_LOCAL = 0,
    KPT_TIMESOURCE_EXT_UNSYNCED = 1,
    KPT_TIMESOURCE_EXT_SYNCED = 2,
    KPT_TIMESOURCE_EXT_FAILED = 3,
    KPT_TIMESOURCE_ARISTA_ACTIVE = 4,
    KPT_TIMESOURCE_PPS = 5
} kpt_timesource_state;

typedef struct kpt_ifaddrs kpt_ifaddrs;
struct kpt_ifaddrs {
    kpt_ifaddrs *kpt_ifa_next;
    const char *kpt_ifa_name;
    uint32_t kpt_ifa_portnum;
    int kpt_ifa_maxrings;
    uint8_t kpt_ifa_macaddr[8]; /* six bytes, two pad */
    int kpt_ifa_maxinject;
    kpt_link_state kpt_ifa_link_state;
    uint64_t kpt_ifa_link_speed; /* bits per second */
};

/* ---- receive statistics and occupancy ---- */

typedef struct kpt_ring_stats kpt_ring_stats;
struct kpt_ring_stats {
    uint64_t nic_pkt_recv;
    uint64_t nic_pkt_overflow;
    uint64_t nic_pkt_bad;
    uint64_t ring_pkt_recv;
    uint64_t ring_pkt_overflow;
    uint64_t nic_bytes_recv;   /* from API version 2 */
    uint64_t kpt_pkt_overflow; /* from API version 3 */
    uint64_t nic_pkt_dropped;  /* from API version 3 */
};

typedef struct kpt_ring_qinfo kpt_ring_qinfo;
struct kpt_ring_qinfo {
    uintptr_t q_avail;
    uintptr_t q_borrowed;
    uintptr_t q_free;
};

/*
 * No typedef here: the name also belongs to the function kpt_ring_portinfo(),
 * so callers write "struct kpt_ring_portinfo".
 */
struct kpt_ring_portinfo {
    kpt_ring_t ring;
    uintptr_t q_size;
    uint32_t portcnt;
    uint32_t portmask;
    uintptr_t data_addr;
    uintptr_t data_size;
};

/* ---- injection ---- */

typedef struct kpt_inject_stats kpt_inject_stats;
struct kpt_inject_stats {
    uint64_t inj_pkt_send;
    uint64_t nic_pkt_send;
    uint64_t nic_bytes_send;
};

typedef struct kpt_pkt_fragment kpt_pkt_fragment;
struct kpt_pkt_fragment {
    const void *ptr;
    uint32_t length;
};

/* ---- library frame ---- */

uint16_t kpt_version_api(void);
int kpt_init(uint16_t user_api);
int kpt_set_app_id(int32_t id);

/* ---- device handles ---- */

int kpt_open(uint32_t portnum, int num_rings, const kpt_rss_params *rss_params,
             int64_t data_ring_size, int flags, kpt_handle_t *handle_o);
int kpt_open_defaults(uint32_t portnum, kpt_handle_t *devhandle);
int kpt_start(kpt_handle_t handle);
int kpt_stop(kpt_handle_t handle);
int kpt_close(kpt_handle_t handle);
int kpt_netdev_reflect_enable(kpt_handle_t handle, kpt_netdev_reflect_t *out);
int kpt_netdev_reflect(kpt_netdev_reflect_t handle, const void *buf,
                       uint32_t len);

/* ---- port queries ---- */

int kpt_getifaddrs(kpt_ifaddrs **ifaddrs_o);
void kpt_freeifaddrs(kpt_ifaddrs *ifaddrs);
int kpt_getportmask_valid(uint32_t *mask_o, int *cnt_o);
int kpt_getportmask_linkup(uint32_t *mask_o, int *cnt_o);
int kpt_get_link_state(kpt_handle_t handle, kpt_link_state *state);
int kpt_get_link_speed(kpt_handle_t handle, uint64_t *speed);
int kpt_get_injection_speed(kpt_inject_t handle, uint64_t *speed);
int kpt_get_timesource_state(kpt_handle_t handle, kpt_timesource_state *state);

/* ---- receive rings ---- */

int kpt_ring_open(kpt_handle_t h, kpt_ring_t *ring);
int kpt_ring_open_id(kpt_handle_t h, int ring_id, kpt_ring_t *ring);
int kpt_ring_recv(kpt_ring_t ring, int timeout_ms, kpt_recv_req *req);
int kpt_ring_wait(kpt_ring_t ring, int timeout_ms);
int kpt_ring_recv_many(kpt_ring_t ring, int timeout_ms,
                       kpt_recv_req *req_vector, int nreq_in, int *nreq_out,
                       kpt_ring_qinfo *qinfo);
int kpt_ring_recv_multiple(kpt_ring_t ring, int timeout_ms,
                           kpt_recv_req *req_vector, int nreq_in,
                           int *nreq_out, kpt_ring_qinfo *qinfo);
int kpt_ring_return_many(kpt_ring_t ring, uint32_t data_qlen,
                         kpt_ring_qinfo *qinfo);
int kpt_ring_recv_qinfo(kpt_ring_t ring, kpt_ring_qinfo *qinfo);
int kpt_ring_close(kpt_ring_t ring);
int kpt_ring_getstats(kpt_ring_t ring, kpt_ring_stats *stats);
int kpt_ring_portinfo_count(kpt_ring_t ring, int *count);
int kpt_ring_portinfo(kpt_ring_t ring, struct kpt_ring_portinfo *pinfo);

/*
 * Shared-queue locks, handed to the driver on a device-file descriptor of a
 * port (one request each; the result is 0 or the driver's error).  The
 * library's own receive path never takes them.  Both records are the
 * driver's formats, exchanged as they are.
 */
typedef struct quor_kpt_pq_group_lock {
    uint32_t port;      /* mask of the ports to lock */
    int32_t timeout_ms; /* 0: do not wait; negative: no limit */
} quor_kpt_pq_group_lock_t;

/* The queue position the lock holder reached, handed over at release. */
typedef struct kpt__pq_state_rw {
    uint32_t evq_prehash_seqnum;
    uint32_t evq_next_prehash_idx;
    uint64_t evq_desc_cnt;
    uint64_t rq_prehash_data_off;
    uint64_t evq_ts_last;
} kpt__pq_state_rw;

int pq_trylock(int32_t handle);
int pq_trylock_wait(int32_t handle, int32_t timeout_ms);
int pq_unlock(int32_t handle);
int pq_unlock_wake(int32_t handle, struct kpt__pq_state_rw *pq_rw);
int pq_group_lock(int32_t handle, struct quor_kpt_pq_group_lock *param);
int pq_group_unlock(int32_t handle, struct kpt__pq_state_rw *pq_rw);

/* ---- injection ---- */

int kpt_inject_open(int portnum, int flags, kpt_inject_t *inj_o);
int kpt_inject_send(kpt_inject_t inj, int timeout_ms, int flags,
                    const void *pkt, uint32_t length);
int kpt_inject_send_v(kpt_inject_t inj, int timeout_ms, int flags,
                      struct kpt_pkt_fragment *frags_vec, int nfrags,
                      uint32_t length);
int kpt_inject_sched(kpt_inject_t inj, int timeout_ms, int flags,
                     const void *pkt, uint32_t length, uint64_t delay_ns);
int kpt_inject_sched_v(kpt_inject_t inj, int timeout_ms, int flags,
                       struct kpt_pkt_fragment *frags_vec, int nfrags,
                       uint32_t length, uint64_t delay_ns);
int kpt_inject_getstats(kpt_inject_t inj, struct kpt_inject_stats *stats);
int kpt_inject_close(kpt_inject_t handle);

#ifdef __cplusplus
}
#endif

#endif /* KPT_H */
