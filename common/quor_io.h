/*
 * quor_io.h - every record exchanged with the adapter driver and the adapter.
 *
 * This header is the single definition of the driver interface: request
 * values, ioctl argument records and the shared-memory formats of the receive
 * path.  The capture library, the device layer and the simulated driver all
 * include it.  Layouts are fixed: each record carries static assertions on its
 * size and on the offset of every field whose position the driver relies on.
 *
 * Records are little-endian (host order) unless a field is marked _be:
 * descriptor-ring fields written by the adapter are big-endian.
 *
 * Valid C and C++.
 */
#ifndef QUOR_IO_H
#define QUOR_IO_H

#include <stddef.h>
#include <stdint.h>

#include "kpt.h" /* the public records the driver also reads */

#ifdef __cplusplus
#define QUOR_STATIC_ASSERT(c, m) static_assert(c, m)
#else
#define QUOR_STATIC_ASSERT(c, m) _Static_assert(c, m)
#endif

#define QUOR_ASSERT_SIZE(t, n) QUOR_STATIC_ASSERT(sizeof(t) == (n), #t " size")
#define QUOR_ASSERT_OFF(t, f, n) \
    QUOR_STATIC_ASSERT(offsetof(t, f) == (n), #t "." #f " offset")

/* ------------------------------------------------------------------------ */
/* Request encoding                                                          */
/* ------------------------------------------------------------------------ */

/*
 * Every request is the host's "void" direction bit (the system does not copy
 * the argument; the driver copies the record in and out itself), a group
 * letter in bits 8-15 and a command number in bits 0-7.  The length field
 * (bits 16-28) is always zero.
 */
#define QUOR_IOC_VOID 0x20000000u
#define QUOR_IOC(group, num) \
    (QUOR_IOC_VOID | ((uint32_t)(group) << 8) | (uint32_t)(num))
#define QUOR_IOC_GROUP(req) (((uint32_t)(req) >> 8) & 0xffu)
#define QUOR_IOC_NUM(req) ((uint32_t)(req) & 0xffu)
#define QUOR_IOC_LEN(req) (((uint32_t)(req) >> 16) & 0x1fffu)

#define QUOR_IOC_GROUP_M 0x4d /* 'M': board queries and capture endpoints */
#define QUOR_IOC_GROUP_P 0x50 /* 'P': endpoint binding and link queries */

/* Request catalogue. */
#define QUOR_GET_VERSION QUOR_IOC(QUOR_IOC_GROUP_M, 0x01)
#define QUOR_GET_BOARD_MAX QUOR_IOC(QUOR_IOC_GROUP_M, 0x02)
#define QUOR_GET_BOARD_COUNT QUOR_IOC(QUOR_IOC_GROUP_M, 0x05)
#define QUOR_GET_BOARD_TYPE QUOR_IOC(QUOR_IOC_GROUP_M, 0x0a)
#define QUOR_GET_NIC_ID QUOR_IOC(QUOR_IOC_GROUP_M, 0x0d)
#define QUOR_GET_INTR_COAL QUOR_IOC(QUOR_IOC_GROUP_M, 0x14)
#define QUOR_SET_INTR_COAL QUOR_IOC(QUOR_IOC_GROUP_M, 0x15)
#define QUOR_PCI_CFG_READ QUOR_IOC(QUOR_IOC_GROUP_M, 0x30)
#define QUOR_PCI_CFG_WRITE QUOR_IOC(QUOR_IOC_GROUP_M, 0x31)
#define QUOR_GET_MAX_ENDPOINTS QUOR_IOC(QUOR_IOC_GROUP_M, 0x32)
#define QUOR_RAW_SEND QUOR_IOC(QUOR_IOC_GROUP_M, 0x5b)
#define QUOR_RAW_NEXT_EVENT QUOR_IOC(QUOR_IOC_GROUP_M, 0x5c)
#define QUOR_GET_TIMESOURCE QUOR_IOC(QUOR_IOC_GROUP_M, 0x5d)
#define QUOR_KPT_RX_SYNC QUOR_IOC(QUOR_IOC_GROUP_M, 0xc9)
#define QUOR_KPT_START QUOR_IOC(QUOR_IOC_GROUP_M, 0xca)
#define QUOR_KPT_STOP QUOR_IOC(QUOR_IOC_GROUP_M, 0xcb)
#define QUOR_KPT_GET_STATS QUOR_IOC(QUOR_IOC_GROUP_M, 0xcc)
#define QUOR_KPT_WAIT QUOR_IOC(QUOR_IOC_GROUP_M, 0xcd)
#define QUOR_KPT_SOFT_RX QUOR_IOC(QUOR_IOC_GROUP_M, 0xce)
#define QUOR_KPT_PORT_GROUP QUOR_IOC(QUOR_IOC_GROUP_M, 0xcf)
#define QUOR_KPT_RX_DETACH QUOR_IOC(QUOR_IOC_GROUP_M, 0xd0)
#define QUOR_KPT_PQ_TRYLOCK QUOR_IOC(QUOR_IOC_GROUP_M, 0xd3)
#define QUOR_KPT_PQ_TRYLOCK_WAIT QUOR_IOC(QUOR_IOC_GROUP_M, 0xd4)
#define QUOR_KPT_PQ_UNLOCK QUOR_IOC(QUOR_IOC_GROUP_M, 0xd5)
#define QUOR_KPT_PQ_UNLOCK_WAKE QUOR_IOC(QUOR_IOC_GROUP_M, 0xd6)
#define QUOR_KPT_PQ_GROUP_LOCK QUOR_IOC(QUOR_IOC_GROUP_M, 0xd7)
#define QUOR_KPT_PQ_GROUP_UNLOCK QUOR_IOC(QUOR_IOC_GROUP_M, 0xd8)
#define QUOR_GET_LINK_STATE QUOR_IOC(QUOR_IOC_GROUP_P, 0xb4)
#define QUOR_SET_RAW_ENDPOINT QUOR_IOC(QUOR_IOC_GROUP_P, 0xc3)
#define QUOR_SET_ENDPOINT QUOR_IOC(QUOR_IOC_GROUP_P, 0xe9)

QUOR_STATIC_ASSERT(QUOR_GET_VERSION == 0x20004d01u, "request value");
QUOR_STATIC_ASSERT(QUOR_GET_NIC_ID == 0x20004d0du, "request value");
QUOR_STATIC_ASSERT(QUOR_KPT_RX_SYNC == 0x20004dc9u, "request value");
QUOR_STATIC_ASSERT(QUOR_KPT_PQ_GROUP_UNLOCK == 0x20004dd8u, "request value");
QUOR_STATIC_ASSERT(QUOR_GET_LINK_STATE == 0x200050b4u, "request value");
QUOR_STATIC_ASSERT(QUOR_SET_RAW_ENDPOINT == 0x200050c3u, "request value");
QUOR_STATIC_ASSERT(QUOR_SET_ENDPOINT == 0x200050e9u, "request value");

/* Driver interface version the library expects (major in bits 8 and up). */
#define QUOR_DRIVER_API_MAJOR 4
#define QUOR_DRIVER_API_MINOR 0
#define QUOR_DRIVER_API_MAGIC \
    ((QUOR_DRIVER_API_MAJOR << 8) | QUOR_DRIVER_API_MINOR)

/* Device letter index of the capture product ('A' + 2 = 'C'). */
#define QUOR_PRODUCT_KPT 2
#define QUOR_PRODUCT_MAX 25

/* Board types: 3 and 5 are the capture-capable boards. */
#define QUOR_BOARD_TYPE_KPT 3
#define QUOR_BOARD_TYPE_KPT2 5

/* Link speed of every port, bits per second. */
#define QUOR_LINK_SPEED_BPS 10000000000ull

/* ------------------------------------------------------------------------ */
/* Endpoint binding                                                          */
/* ------------------------------------------------------------------------ */

typedef enum quor_endpt_type {
    QUOR_ES_FREE = 0,
    QUOR_ES_RAW = 1,
    QUOR_ES_VQ = 100,
    QUOR_ES_KPT_HANDLE = 300,
    QUOR_ES_KPT_RX = 301,
    QUOR_ES_KPT_RX_RING = 302,
    QUOR_ES_KPT_RX_GROUP = 303,
    QUOR_ES_KPT_TX = 304,
    QUOR_ES_KPT_RX_PQ = 305
} quor_endpt_type;

/* Head of every record sent with QUOR_SET_ENDPOINT. */
typedef struct quor_set_endpt {
    int32_t endpoint;    /* 0 for a port endpoint; endpoint index otherwise */
    uint32_t endpt_type; /* quor_endpt_type */
} quor_set_endpt_t;
QUOR_ASSERT_SIZE(quor_set_endpt_t, 8);
QUOR_ASSERT_OFF(quor_set_endpt_t, endpoint, 0);
QUOR_ASSERT_OFF(quor_set_endpt_t, endpt_type, 4);

/* ------------------------------------------------------------------------ */
/* Board queries                                                             */
/* ------------------------------------------------------------------------ */

#define QUOR_VERSION_STR_LEN 60
#define QUOR_BUILD_STR_LEN 128

typedef struct quor_get_version {
    uint32_t driver_api_magic; /* major << 8 | minor */
    char version_str[QUOR_VERSION_STR_LEN];
    char build_str[QUOR_BUILD_STR_LEN];
} quor_get_version_t;
QUOR_ASSERT_SIZE(quor_get_version_t, 192);
QUOR_ASSERT_OFF(quor_get_version_t, driver_api_magic, 0);
QUOR_ASSERT_OFF(quor_get_version_t, version_str, 4);
QUOR_ASSERT_OFF(quor_get_version_t, build_str, 64);

typedef struct quor_get_nic_id {
    uint32_t board; /* in */
    uint32_t pad;
    uint64_t nic_id; /* out: MAC as a big-endian 48-bit number */
} quor_get_nic_id_t;
QUOR_ASSERT_SIZE(quor_get_nic_id_t, 16);
QUOR_ASSERT_OFF(quor_get_nic_id_t, board, 0);
QUOR_ASSERT_OFF(quor_get_nic_id_t, nic_id, 8);

/* QUOR_GET_INTR_COAL / QUOR_SET_INTR_COAL */
typedef struct quor_intr_coal {
    uint32_t board;
    uint32_t delay; /* driver's unit (microseconds in the simulator) */
} quor_intr_coal_t;
QUOR_ASSERT_SIZE(quor_intr_coal_t, 8);
QUOR_ASSERT_OFF(quor_intr_coal_t, board, 0);
QUOR_ASSERT_OFF(quor_intr_coal_t, delay, 4);

/* QUOR_PCI_CFG_READ / QUOR_PCI_CFG_WRITE */
typedef struct quor_pci_cfg {
    uint32_t board;
    uint16_t offset;
    uint16_t width; /* bytes: 1, 2 or 4 */
    uint32_t value;
} quor_pci_cfg_t;
QUOR_ASSERT_SIZE(quor_pci_cfg_t, 12);
QUOR_ASSERT_OFF(quor_pci_cfg_t, board, 0);
QUOR_ASSERT_OFF(quor_pci_cfg_t, offset, 4);
QUOR_ASSERT_OFF(quor_pci_cfg_t, width, 6);
QUOR_ASSERT_OFF(quor_pci_cfg_t, value, 8);

/* ------------------------------------------------------------------------ */
/* Stand-in physical memory                                                  */
/* ------------------------------------------------------------------------ */

/* A file that stands in for physical memory (the simulator's quorsim.mem)
 * holds the boards' configuration window, but a store into a file reaches
 * no device.  While a simulator serves the file it keeps this page at
 * QUOR_STANDIN_POST_PHYS, the host bridge's posting page: a tool that stores
 * into a device's configuration space posts the store here instead, and the
 * simulated device takes it as its configuration write (register rules and
 * side effects) before the post is answered, so a load after the store sees
 * its effects as on real hardware.
 *
 * One post at a time, under `lock` (0 free, else the poster's process id):
 * the poster fills phys, width and value, then advances `seq` with a release
 * store (and wakes the futex on it); the simulator takes the store and sets
 * `done` to that seq with a release store (and wakes the futex on it), which
 * the poster loads with acquire before it unlocks.  `magic` is
 * QUOR_STANDIN_MAGIC only while a simulator serves the file. */
#define QUOR_STANDIN_POST_PHYS 0xf0000000ull
#define QUOR_STANDIN_MAGIC 0x51504f53u
typedef struct quor_standin_post {
    uint32_t magic;
    uint32_t lock;
    uint32_t seq;
    uint32_t done;
    uint64_t phys;  /* address of the store */
    uint32_t width; /* 1, 2 or 4 */
    uint32_t value;
} quor_standin_post_t;
QUOR_ASSERT_SIZE(quor_standin_post_t, 32);
QUOR_ASSERT_OFF(quor_standin_post_t, magic, 0);
QUOR_ASSERT_OFF(quor_standin_post_t, lock, 4);
QUOR_ASSERT_OFF(quor_standin_post_t, seq, 8);
QUOR_ASSERT_OFF(quor_standin_post_t, done, 12);
QUOR_ASSERT_OFF(quor_standin_post_t, phys, 16);
QUOR_ASSERT_OFF(quor_standin_post_t, width, 24);
QUOR_ASSERT_OFF(quor_standin_post_t, value, 28);

/* ------------------------------------------------------------------------ */
/* Raw endpoint                                                              */
/* ------------------------------------------------------------------------ */

/* A device file bound as a raw endpoint maps its board's BAR0 at these
 * device offsets. */
#define QUOR_RAW_BAR0_MAP_OFFSET 0x80000000u
#define QUOR_RAW_BAR0_MAP_SIZE 0x1000000u

typedef struct quor_raw_send {
    uint64_t data_pointer;  /* address of the frame data */
    uint64_t route_pointer; /* address of the route bytes */
    uint64_t context;       /* returned with the completion */
    uint8_t route_length;
    uint8_t physical_port;
    uint16_t data_length;
    uint32_t pad;
} quor_raw_send_t;
QUOR_ASSERT_SIZE(quor_raw_send_t, 32);
QUOR_ASSERT_OFF(quor_raw_send_t, data_pointer, 0);
QUOR_ASSERT_OFF(quor_raw_send_t, route_pointer, 8);
QUOR_ASSERT_OFF(quor_raw_send_t, context, 16);
QUOR_ASSERT_OFF(quor_raw_send_t, route_length, 24);
QUOR_ASSERT_OFF(quor_raw_send_t, physical_port, 25);
QUOR_ASSERT_OFF(quor_raw_send_t, data_length, 26);

typedef enum quor_raw_status {
    QUOR_RAW_STATUS_NONE = 0,
    QUOR_RAW_STATUS_SEND_DONE = 1,
    QUOR_RAW_STATUS_RECEIVED = 2
} quor_raw_status_e;
typedef uint32_t quor_raw_status_t;

typedef struct quor_raw_next_event {
    uint64_t recv_buffer;    /* in: where a received frame is written */
    uint64_t context;        /* out: context of a completed send */
    uint64_t nic_ticks;      /* out: adapter time of the completion */
    uint32_t incoming_port;  /* out */
    uint32_t recv_bytes;     /* in: capacity; out: frame length */
    uint32_t timeout;        /* in: milliseconds */
    quor_raw_status_t status; /* out */
} quor_raw_next_event_t;
QUOR_ASSERT_SIZE(quor_raw_next_event_t, 40);
QUOR_ASSERT_OFF(quor_raw_next_event_t, recv_buffer, 0);
QUOR_ASSERT_OFF(quor_raw_next_event_t, context, 8);
QUOR_ASSERT_OFF(quor_raw_next_event_t, nic_ticks, 16);
QUOR_ASSERT_OFF(quor_raw_next_event_t, incoming_port, 24);
QUOR_ASSERT_OFF(quor_raw_next_event_t, recv_bytes, 28);
QUOR_ASSERT_OFF(quor_raw_next_event_t, timeout, 32);
QUOR_ASSERT_OFF(quor_raw_next_event_t, status, 36);

/* ------------------------------------------------------------------------ */
/* Port receive endpoint                                                     */
/* ------------------------------------------------------------------------ */

/* open_flags bits */
#define QUOR_KPT_F_AGGREGATE_PORTMASK 0x2u
#define QUOR_KPT_F_APP_ID 0x80u
#define QUOR_KPT_F_DUP 0x200u

/* rx_map_flags bits returned by a ring attach */
#define QUOR_KPT_MAP_SHARED 0x10u

/* rss_flags bit marking an application hash function */
#define QUOR_KPT_RSS_USER_FN 0x80000000u

/* Receive parameter block (endpoint type QUOR_ES_KPT_RX). */
typedef struct quor_kpt_rx_params {
    quor_set_endpt_t set_endpt;
    uint32_t num_rings;
    uint32_t open_flags;
    uint32_t rss_flags;
    uint32_t aggr_portmask;
    int32_t app_id;
    uint32_t rx_map_flags;
    uint64_t rx_data_preamble_size;
    uint64_t rx_data_ring_size;
    uint64_t rx_desc_ring_size;
} quor_kpt_rx_params_t;
QUOR_ASSERT_SIZE(quor_kpt_rx_params_t, 56);
QUOR_ASSERT_OFF(quor_kpt_rx_params_t, set_endpt, 0);
QUOR_ASSERT_OFF(quor_kpt_rx_params_t, num_rings, 8);
QUOR_ASSERT_OFF(quor_kpt_rx_params_t, open_flags, 12);
QUOR_ASSERT_OFF(quor_kpt_rx_params_t, rss_flags, 16);
QUOR_ASSERT_OFF(quor_kpt_rx_params_t, aggr_portmask, 20);
QUOR_ASSERT_OFF(quor_kpt_rx_params_t, app_id, 24);
QUOR_ASSERT_OFF(quor_kpt_rx_params_t, rx_map_flags, 28);
QUOR_ASSERT_OFF(quor_kpt_rx_params_t, rx_data_preamble_size, 32);
QUOR_ASSERT_OFF(quor_kpt_rx_params_t, rx_data_ring_size, 40);
QUOR_ASSERT_OFF(quor_kpt_rx_params_t, rx_desc_ring_size, 48);

/* Reflect a frame to the host's network stack (QUOR_KPT_SOFT_RX). */
typedef struct quor_copy_desc {
    uint64_t ptr; /* address of the bytes in the caller's memory */
    uint16_t len;
    uint16_t pad[3];
} quor_copy_desc_t;
QUOR_ASSERT_SIZE(quor_copy_desc_t, 16);
QUOR_ASSERT_OFF(quor_copy_desc_t, ptr, 0);
QUOR_ASSERT_OFF(quor_copy_desc_t, len, 8);

#define QUOR_SOFT_RX_MAX_SEGS 2

typedef struct quor_soft_rx {
    uint16_t pkt_len;
    uint16_t hdr_len;
    uint16_t csum;
    uint8_t flags;
    uint8_t seg_cnt;
    quor_copy_desc_t copy_desc[QUOR_SOFT_RX_MAX_SEGS];
} quor_soft_rx_t;
QUOR_ASSERT_SIZE(quor_soft_rx_t, 40);
QUOR_ASSERT_OFF(quor_soft_rx_t, pkt_len, 0);
QUOR_ASSERT_OFF(quor_soft_rx_t, hdr_len, 2);
QUOR_ASSERT_OFF(quor_soft_rx_t, csum, 4);
QUOR_ASSERT_OFF(quor_soft_rx_t, flags, 6);
QUOR_ASSERT_OFF(quor_soft_rx_t, seg_cnt, 7);
QUOR_ASSERT_OFF(quor_soft_rx_t, copy_desc, 8);

/* Port statistics (QUOR_KPT_GET_STATS). */
typedef struct quor_kpt_stats {
    uint64_t kpt_pkt_recv;     /* frames written to capture queues */
    uint64_t kpt_pkt_overflow; /* frames dropped: a capture queue was full */
    uint64_t nic_pkt_overflow; /* frames dropped by the adapter */
    uint64_t nic_pkt_bad;      /* frames received with errors */
    uint64_t nic_bytes_recv;
    uint64_t nic_pkt_send;
    uint64_t nic_bytes_send;
} quor_kpt_stats_t;
QUOR_ASSERT_SIZE(quor_kpt_stats_t, 56);
QUOR_ASSERT_OFF(quor_kpt_stats_t, kpt_pkt_recv, 0);
QUOR_ASSERT_OFF(quor_kpt_stats_t, kpt_pkt_overflow, 8);
QUOR_ASSERT_OFF(quor_kpt_stats_t, nic_pkt_overflow, 16);
QUOR_ASSERT_OFF(quor_kpt_stats_t, nic_pkt_bad, 24);
QUOR_ASSERT_OFF(quor_kpt_stats_t, nic_bytes_recv, 32);
QUOR_ASSERT_OFF(quor_kpt_stats_t, nic_pkt_send, 40);
QUOR_ASSERT_OFF(quor_kpt_stats_t, nic_bytes_send, 48);

/* ------------------------------------------------------------------------ */
/* Receive rings                                                             */
/* ------------------------------------------------------------------------ */

/* Tick to nanosecond conversion record. */
typedef struct quor_clksync_nticks {
    uint64_t ticks;      /* reference tick count */
    uint64_t ticks_mask; /* counter width mask; 0 selects the window mode */
    uint64_t nsecs;      /* nanoseconds at ticks */
    uint32_t nt_numerator;
    uint32_t nt_denominator; /* ns per tick = numerator / denominator */
} quor_clksync_nticks_t;
QUOR_ASSERT_SIZE(quor_clksync_nticks_t, 32);
QUOR_ASSERT_OFF(quor_clksync_nticks_t, ticks, 0);
QUOR_ASSERT_OFF(quor_clksync_nticks_t, ticks_mask, 8);
QUOR_ASSERT_OFF(quor_clksync_nticks_t, nsecs, 16);
QUOR_ASSERT_OFF(quor_clksync_nticks_t, nt_numerator, 24);
QUOR_ASSERT_OFF(quor_clksync_nticks_t, nt_denominator, 28);

typedef struct kpt__flow_state {
    uint32_t flow_desc;
    uint32_t flow_data;
} kpt__flow_state;
QUOR_ASSERT_SIZE(kpt__flow_state, 8);

/* Ring attach record (endpoint type QUOR_ES_KPT_RX_RING). */
typedef struct quor_kpt_rx_attach {
    quor_set_endpt_t set_endpt;
    int32_t ring_id;      /* in: requested (-1 any); out: assigned */
    int32_t port_ring_id; /* out: state slot index within the port */
    quor_kpt_rx_params_t params; /* in: port block; out: values in force */
    quor_clksync_nticks_t nticks;
    kpt__flow_state flow;
    uint64_t rx_data_ring_offset; /* preamble included; -1 if none */
    uint64_t rx_desc_ring_offset; /* -1 if none */
    uint64_t vstate_all_size;
    uint64_t vstate_all_offset;
    uint64_t kernel_window_size;
    uint64_t kernel_window_offset;
    uint64_t rx_doorbell_size;
    uint64_t rx_doorbell_offset;
    uint64_t rx_recv_info_size;
    uint64_t rx_recv_info_offset;
    uint64_t rx_recv_info_pg_offset; /* data-page counter within rx_recv_info */
} quor_kpt_rx_attach_t;
QUOR_ASSERT_SIZE(quor_kpt_rx_attach_t, 200);
QUOR_ASSERT_OFF(quor_kpt_rx_attach_t, set_endpt, 0);
QUOR_ASSERT_OFF(quor_kpt_rx_attach_t, ring_id, 8);
QUOR_ASSERT_OFF(quor_kpt_rx_attach_t, port_ring_id, 12);
QUOR_ASSERT_OFF(quor_kpt_rx_attach_t, params, 16);
QUOR_ASSERT_OFF(quor_kpt_rx_attach_t, nticks, 72);
QUOR_ASSERT_OFF(quor_kpt_rx_attach_t, flow, 104);
QUOR_ASSERT_OFF(quor_kpt_rx_attach_t, rx_data_ring_offset, 112);
QUOR_ASSERT_OFF(quor_kpt_rx_attach_t, rx_desc_ring_offset, 120);
QUOR_ASSERT_OFF(quor_kpt_rx_attach_t, vstate_all_size, 128);
QUOR_ASSERT_OFF(quor_kpt_rx_attach_t, vstate_all_offset, 136);
QUOR_ASSERT_OFF(quor_kpt_rx_attach_t, kernel_window_size, 144);
QUOR_ASSERT_OFF(quor_kpt_rx_attach_t, kernel_window_offset, 152);
QUOR_ASSERT_OFF(quor_kpt_rx_attach_t, rx_doorbell_size, 160);
QUOR_ASSERT_OFF(quor_kpt_rx_attach_t, rx_doorbell_offset, 168);
QUOR_ASSERT_OFF(quor_kpt_rx_attach_t, rx_recv_info_size, 176);
QUOR_ASSERT_OFF(quor_kpt_rx_attach_t, rx_recv_info_offset, 184);
QUOR_ASSERT_OFF(quor_kpt_rx_attach_t, rx_recv_info_pg_offset, 192);

/* Offset value the driver uses for a region that does not exist. */
#define QUOR_NO_REGION (~(uint64_t)0)

/* Number of ring state slots per port, and the size of one slot. */
#define QUOR_KPT_MAX_RINGS 32
#define QUOR_KPT_VSTATE_SLOT_SIZE 4096

/* QUOR_KPT_PORT_GROUP: add a member ring to a group endpoint. */
typedef struct quor_kpt_port_group {
    uint32_t port_id;
    uint32_t ring_id; /* the member's port_ring_id */
    uint64_t evq_base; /* member's descriptor ring address in the caller */
} quor_kpt_port_group_t;
QUOR_ASSERT_SIZE(quor_kpt_port_group_t, 16);
QUOR_ASSERT_OFF(quor_kpt_port_group_t, port_id, 0);
QUOR_ASSERT_OFF(quor_kpt_port_group_t, ring_id, 4);
QUOR_ASSERT_OFF(quor_kpt_port_group_t, evq_base, 8);

/* QUOR_KPT_RX_SYNC: how far the ring has consumed and released. */
typedef struct kpt__rx_sync {
    uint64_t rs_desc_cnt;
    uint64_t rs_data_head;
    uint64_t rs_data_tail;
} kpt__rx_sync;
QUOR_ASSERT_SIZE(kpt__rx_sync, 24);
QUOR_ASSERT_OFF(kpt__rx_sync, rs_desc_cnt, 0);
QUOR_ASSERT_OFF(kpt__rx_sync, rs_data_head, 8);
QUOR_ASSERT_OFF(kpt__rx_sync, rs_data_tail, 16);

/* Kernel window clock parameters, published under a sequence lock. */
typedef struct quor_clksync_params {
    uint64_t nsecs_base;
    int64_t hostnic_drift_nsecs;
    int64_t multiplier; /* correction, scaled by 2^30 */
    int64_t error_nsecs;
} quor_clksync_params_t;
QUOR_ASSERT_SIZE(quor_clksync_params_t, 32);

typedef struct quor_clksync_seq {
    uint32_t seqnum; /* odd while the driver rewrites the block */
    uint32_t pad;
    quor_clksync_params_t clkp;
    quor_clksync_nticks_t nticks;
} quor_clksync_seq_t;
QUOR_ASSERT_SIZE(quor_clksync_seq_t, 72);

/*
 * Kernel window: one page per port, mapped read-only by every ring of the
 * port (kernel_window_offset of the ring attach record).
 *
 *     0        4        8                                              64
 *     +--------+--------+-----------------------------------------------+
 *     |jiffies |   hz   |  pad0                                         |
 *     +--------+--------+-----------------------------------------------+
 *    64 clksync: seqnum (4), pad (4), clkp (32 bytes, 72..103),
 *       nticks (32 bytes, 104..135)
 *   136 pad1 (56)
 *   192 attach_mask (4), pad2 (4)                                     200
 *
 *   field          written by                         read by
 *   jiffies, hz    driver, on every clock refresh     nobody here (kept)
 *   clksync.*      driver, every clock refresh, under library (tick to ns
 *                  seqnum: odd while it rewrites,     conversion, kpt_rx.cpp);
 *                  the next even value with release   driver (ring attach copy)
 *   attach_mask    driver, at ring attach and detach  library (diagnostics)
 *                  (atomic or / and, release)
 *
 * In the simulator the port's adapter thread plays the driver's clock
 * refresh (sim_adapter.cpp, update_kwindow).
 */
typedef struct quor_kwindow {
    uint32_t jiffies;
    uint32_t hz;
    uint8_t pad0[56];
    quor_clksync_seq_t clksync;
    uint8_t pad1[56];
    uint32_t attach_mask; /* bit r set while ring slot r is attached */
    uint32_t pad2;
} quor_kwindow_t;
QUOR_ASSERT_SIZE(quor_kwindow_t, 200);
QUOR_ASSERT_OFF(quor_kwindow_t, jiffies, 0);
QUOR_ASSERT_OFF(quor_kwindow_t, hz, 4);
QUOR_ASSERT_OFF(quor_kwindow_t, clksync, 64);
QUOR_ASSERT_OFF(quor_kwindow_t, clksync.seqnum, 64);
QUOR_ASSERT_OFF(quor_kwindow_t, clksync.clkp, 72);
QUOR_ASSERT_OFF(quor_kwindow_t, clksync.clkp.nsecs_base, 72);
QUOR_ASSERT_OFF(quor_kwindow_t, clksync.clkp.hostnic_drift_nsecs, 80);
QUOR_ASSERT_OFF(quor_kwindow_t, clksync.clkp.multiplier, 88);
QUOR_ASSERT_OFF(quor_kwindow_t, clksync.clkp.error_nsecs, 96);
QUOR_ASSERT_OFF(quor_kwindow_t, clksync.nticks, 104);
QUOR_ASSERT_OFF(quor_kwindow_t, clksync.nticks.ticks, 104);
QUOR_ASSERT_OFF(quor_kwindow_t, clksync.nticks.ticks_mask, 112);
QUOR_ASSERT_OFF(quor_kwindow_t, clksync.nticks.nsecs, 120);
QUOR_ASSERT_OFF(quor_kwindow_t, clksync.nticks.nt_numerator, 128);
QUOR_ASSERT_OFF(quor_kwindow_t, clksync.nticks.nt_denominator, 132);
QUOR_ASSERT_OFF(quor_kwindow_t, attach_mask, 192);

/* Packets per descriptor. */
#define QUOR_KPT_DESC_MAX_PKTS 58

/*
 * Ring state: one kpt__rx_state per ring, at the start of the ring's
 * 4096-byte slot of the port's vstate region (vstate_all_offset, slot
 * port_ring_id).  The driver fills it at attach; from then on the library
 * alone writes it, and the adapter and driver only read the two counts that
 * tell them how far the reader is.
 *
 *     0          4            8            12              16
 *     +----------+------------+------------+---------------+
 *     |evq_seqnum|evq_next_idx|evq_last_idx|evq_evinfo_idx |   evq
 *     +----------+------------+------------+---------------+
 *    16 evq_desc_cnt (8)        24 evq_data_head (8)
 *    32 rq_data_off   40 rq_data_head   48 rq_data_tail            recvq
 *    56 rq_data_tail_last   64 rq_data_size
 *    72 stats: rq_pkt_cnt, rq_pkt_length, rq_pkt_cnt_skip_rss,
 *              rq_pkt_cnt_drop, rq_neg_adj_event (8 each, 72..111)
 *   112 rq_is_reattach  120 pad  128 rq_ev_ts_last
 *   136 ev_info: ev_timestamp (8), ev_length, ev_length_time, ev_pkt_cnt,
 *       ev_pkt_off (4 each), ev_pkt_lens / ev_raw (240, 160..399)       400
 *
 *   field               written by                   read by
 *   evq_seqnum,         driver at attach, then       library (fast path)
 *   evq_next_idx,       library
 *   evq_last_idx,
 *   evq_evinfo_idx,
 *   evq_data_head
 *   evq_desc_cnt        driver at attach, then       library; adapter and
 *                       library (release store)      driver (acquire: room
 *                                                    to write, data waiting)
 *   rq_data_off,        driver at attach, then       library
 *   rq_data_head,       library
 *   rq_data_tail_last,
 *   rq_data_size
 *   rq_data_tail        driver at attach, then       library; adapter
 *                       library (release store)      (acquire: released room)
 *   stats, rq_is_reattach,
 *   rq_ev_ts_last, ev_info   library                 library (statistics,
 *                                                    diagnostics, the open
 *                                                    descriptor's packets)
 */
typedef struct kpt__rx_evq {
    uint32_t evq_seqnum;     /* expected in the next descriptor (1..255) */
    uint32_t evq_next_idx;   /* next descriptor to read */
    uint32_t evq_last_idx;   /* ring entries - 1 */
    int32_t evq_evinfo_idx;  /* next packet of the open descriptor; -1 none */
    uint64_t evq_desc_cnt;   /* descriptors consumed */
    uint64_t evq_data_head;  /* data count at the end of the last descriptor */
} kpt__rx_evq;
QUOR_ASSERT_SIZE(kpt__rx_evq, 32);

typedef struct kpt__rx_qstats {
    uint64_t rq_pkt_cnt;
    uint64_t rq_pkt_length;
    uint64_t rq_pkt_cnt_skip_rss;
    uint64_t rq_pkt_cnt_drop;
    uint64_t rq_neg_adj_event;
} kpt__rx_qstats;
QUOR_ASSERT_SIZE(kpt__rx_qstats, 40);

typedef struct kpt__rx_evinfo {
    uint64_t ev_timestamp;   /* ns of the open descriptor */
    uint32_t ev_length;      /* data bytes it covers */
    uint32_t ev_length_time; /* ev_length minus the last packet's length */
    uint32_t ev_pkt_cnt;
    uint32_t ev_pkt_off;     /* slot bytes already taken from it */
    union {
        uint16_t ev_pkt_lens[QUOR_KPT_DESC_MAX_PKTS];
        uint8_t ev_raw[240];
    } u;
} kpt__rx_evinfo;
QUOR_ASSERT_SIZE(kpt__rx_evinfo, 264);

typedef struct kpt__rx_recvq {
    uint64_t rq_data_off;       /* ring offset of the next packet */
    uint64_t rq_data_head;      /* bytes consumed (running count) */
    uint64_t rq_data_tail;      /* bytes released (running count) */
    uint64_t rq_data_tail_last; /* rq_data_tail at the last sync request */
    uint64_t rq_data_size;
    kpt__rx_qstats stats;
    uint64_t rq_is_reattach;
    uint64_t pad;
    uint64_t rq_ev_ts_last;
    kpt__rx_evinfo ev_info;
} kpt__rx_recvq;

typedef struct kpt__rx_state {
    kpt__rx_evq evq;
    kpt__rx_recvq recvq;
} kpt__rx_state;
QUOR_ASSERT_SIZE(kpt__rx_state, 400);
QUOR_ASSERT_OFF(kpt__rx_state, evq.evq_seqnum, 0);
QUOR_ASSERT_OFF(kpt__rx_state, evq.evq_next_idx, 4);
QUOR_ASSERT_OFF(kpt__rx_state, evq.evq_last_idx, 8);
QUOR_ASSERT_OFF(kpt__rx_state, evq.evq_evinfo_idx, 12);
QUOR_ASSERT_OFF(kpt__rx_state, evq.evq_desc_cnt, 16);
QUOR_ASSERT_OFF(kpt__rx_state, evq.evq_data_head, 24);
QUOR_ASSERT_OFF(kpt__rx_state, recvq.rq_data_off, 32);
QUOR_ASSERT_OFF(kpt__rx_state, recvq.rq_data_head, 40);
QUOR_ASSERT_OFF(kpt__rx_state, recvq.rq_data_tail, 48);
QUOR_ASSERT_OFF(kpt__rx_state, recvq.rq_data_tail_last, 56);
QUOR_ASSERT_OFF(kpt__rx_state, recvq.rq_data_size, 64);
QUOR_ASSERT_OFF(kpt__rx_state, recvq.stats.rq_pkt_cnt, 72);
QUOR_ASSERT_OFF(kpt__rx_state, recvq.stats.rq_pkt_length, 80);
QUOR_ASSERT_OFF(kpt__rx_state, recvq.stats.rq_pkt_cnt_skip_rss, 88);
QUOR_ASSERT_OFF(kpt__rx_state, recvq.stats.rq_pkt_cnt_drop, 96);
QUOR_ASSERT_OFF(kpt__rx_state, recvq.stats.rq_neg_adj_event, 104);
QUOR_ASSERT_OFF(kpt__rx_state, recvq.rq_is_reattach, 112);
QUOR_ASSERT_OFF(kpt__rx_state, recvq.pad, 120);
QUOR_ASSERT_OFF(kpt__rx_state, recvq.rq_ev_ts_last, 128);
QUOR_ASSERT_OFF(kpt__rx_state, recvq.ev_info.ev_timestamp, 136);
QUOR_ASSERT_OFF(kpt__rx_state, recvq.ev_info.ev_length, 144);
QUOR_ASSERT_OFF(kpt__rx_state, recvq.ev_info.ev_length_time, 148);
QUOR_ASSERT_OFF(kpt__rx_state, recvq.ev_info.ev_pkt_cnt, 152);
QUOR_ASSERT_OFF(kpt__rx_state, recvq.ev_info.ev_pkt_off, 156);
QUOR_ASSERT_OFF(kpt__rx_state, recvq.ev_info.u, 160);

/* Descriptor pre-hash block (written by the adapter; not read by the library) */
typedef struct nfw_kpt_rx_prehash {
    uint8_t seqnum;
    uint8_t pad0[63];
    uint64_t timestamp;
    union {
        struct {
            uint8_t start_idx[32];
            struct {
                uint16_t off;
                uint8_t pad;
                uint8_t next;
            } pkt[QUOR_KPT_DESC_MAX_PKTS];
            uint8_t pad1[48];
        } idx;
        struct {
            uint16_t hash_val[QUOR_KPT_DESC_MAX_PKTS];
            uint8_t pad2[196];
        } hash;
    } u;
} nfw_kpt_rx_prehash_t;
QUOR_ASSERT_SIZE(nfw_kpt_rx_prehash_t, 384);
QUOR_ASSERT_OFF(nfw_kpt_rx_prehash_t, timestamp, 64);
QUOR_ASSERT_OFF(nfw_kpt_rx_prehash_t, u, 72);

/*
 * Receive descriptor, 512 bytes, one per entry of a capture queue's
 * descriptor ring; multi-byte fields are big-endian.  It describes up to 58
 * packets that lie one after the other in the data ring.
 *
 *     0                                                           116
 *     +-------------------------------------------------------------+
 *     | pkt_lens[58]  (be16 each, FCS included)                     |
 *     +----------------+---------------+-----------+-------+--------+
 *   116 timestamp_high  120 timestamp_low  124 total_len  126 pkt_cnt
 *   127 seqnum
 *   128 prehash (384): seqnum, timestamp (72..), packet index or hash
 *       table                                                        512
 *
 *   field                   written by                  read by
 *   pkt_lens, timestamp_*,  adapter                     library (fast path)
 *   total_len, pkt_cnt
 *   seqnum                  adapter, last, with release library, with acquire:
 *                                                       the entry is valid when
 *                                                       it equals evq_seqnum
 *   prehash                 adapter                     nobody here (kept)
 */
typedef struct nfw_kpt_rx_desc {
    uint16_t pkt_lens[QUOR_KPT_DESC_MAX_PKTS]; /* be16, FCS included */
    uint32_t timestamp_high;                   /* be32 */
    uint32_t timestamp_low;                    /* be32 */
    uint16_t total_len;                        /* be16 */
    uint8_t pkt_cnt;
    uint8_t seqnum; /* written last; valid when equal to the expected one */
    nfw_kpt_rx_prehash_t prehash;
} nfw_kpt_rx_desc_t;
QUOR_ASSERT_SIZE(nfw_kpt_rx_desc_t, 512);
QUOR_ASSERT_OFF(nfw_kpt_rx_desc_t, pkt_lens, 0);
QUOR_ASSERT_OFF(nfw_kpt_rx_desc_t, timestamp_high, 116);
QUOR_ASSERT_OFF(nfw_kpt_rx_desc_t, timestamp_low, 120);
QUOR_ASSERT_OFF(nfw_kpt_rx_desc_t, total_len, 124);
QUOR_ASSERT_OFF(nfw_kpt_rx_desc_t, pkt_cnt, 126);
QUOR_ASSERT_OFF(nfw_kpt_rx_desc_t, seqnum, 127);
QUOR_ASSERT_OFF(nfw_kpt_rx_desc_t, prehash, 128);

/* Header of every packet slot in the data ring; the frame follows it. */
typedef struct kpt__rpd {
    uint32_t rpd_cookie;
    uint16_t rpd_flags;
    uint16_t rpd_length;
} kpt__rpd;
QUOR_ASSERT_SIZE(kpt__rpd, 8);

/* Bytes of data ring a packet of len bytes (FCS included) occupies. */
#define quor_kpt_rpd_length_up(len) (((uint32_t)(len) + 23u) & 0x1FFF0u)

/* Frame check sequence bytes counted in descriptor lengths. */
#define QUOR_FCS_LEN 4
/* Largest frame (without FCS) the adapter delivers or sends. */
#define QUOR_MAX_FRAME 9018
#define QUOR_MIN_FRAME 60

/* Release granularity after which the library synchronises with the driver. */
#define QUOR_KPT_RX_SYNC_BYTES 65536u

/* ------------------------------------------------------------------------ */
/* Injection endpoint                                                        */
/* ------------------------------------------------------------------------ */

typedef struct quor_kpt_tx_params {
    quor_set_endpt_t set_endpt;
    uint32_t epid; /* in: endpoint index; out: completion byte index */
    uint32_t pad;
    uint64_t tx_data_ring_size;
    uint64_t tx_data_ring_offset;
    uint64_t tx_desc_ring_size;
    uint64_t tx_desc_ring_offset;
    uint64_t tx_doorbell_size;
    uint64_t tx_doorbell_offset;
    uint64_t tx_flow_size;
    uint64_t tx_flow_offset;
    uint64_t tx_compl_size;
    uint64_t tx_compl_offset;
} quor_kpt_tx_params_t;
QUOR_ASSERT_SIZE(quor_kpt_tx_params_t, 96);
QUOR_ASSERT_OFF(quor_kpt_tx_params_t, set_endpt, 0);
QUOR_ASSERT_OFF(quor_kpt_tx_params_t, epid, 8);
QUOR_ASSERT_OFF(quor_kpt_tx_params_t, tx_data_ring_size, 16);
QUOR_ASSERT_OFF(quor_kpt_tx_params_t, tx_data_ring_offset, 24);
QUOR_ASSERT_OFF(quor_kpt_tx_params_t, tx_desc_ring_size, 32);
QUOR_ASSERT_OFF(quor_kpt_tx_params_t, tx_desc_ring_offset, 40);
QUOR_ASSERT_OFF(quor_kpt_tx_params_t, tx_doorbell_size, 48);
QUOR_ASSERT_OFF(quor_kpt_tx_params_t, tx_doorbell_offset, 56);
QUOR_ASSERT_OFF(quor_kpt_tx_params_t, tx_flow_size, 64);
QUOR_ASSERT_OFF(quor_kpt_tx_params_t, tx_flow_offset, 72);
QUOR_ASSERT_OFF(quor_kpt_tx_params_t, tx_compl_size, 80);
QUOR_ASSERT_OFF(quor_kpt_tx_params_t, tx_compl_offset, 88);

/* ------------------------------------------------------------------------ */
/* Shared-queue locking                                                      */
/* ------------------------------------------------------------------------ */

/* The two records are public (applications build them), declared in kpt.h. */
QUOR_ASSERT_SIZE(quor_kpt_pq_group_lock_t, 8);
QUOR_ASSERT_OFF(quor_kpt_pq_group_lock_t, port, 0);
QUOR_ASSERT_OFF(quor_kpt_pq_group_lock_t, timeout_ms, 4);
QUOR_ASSERT_SIZE(kpt__pq_state_rw, 32);
QUOR_ASSERT_OFF(kpt__pq_state_rw, evq_prehash_seqnum, 0);
QUOR_ASSERT_OFF(kpt__pq_state_rw, evq_next_prehash_idx, 4);
QUOR_ASSERT_OFF(kpt__pq_state_rw, evq_desc_cnt, 8);
QUOR_ASSERT_OFF(kpt__pq_state_rw, rq_prehash_data_off, 16);
QUOR_ASSERT_OFF(kpt__pq_state_rw, evq_ts_last, 24);

/* ------------------------------------------------------------------------ */
/* Record size expected with each request                                    */
/* ------------------------------------------------------------------------ */

/*
 * Size of the record that goes with a request, or -1 when it varies
 * (QUOR_SET_ENDPOINT: by endpoint type).  0 means no record.
 */
static inline int quor_ioc_record_size(uint32_t req)
{
    switch (req) {
    case QUOR_GET_VERSION: return (int)sizeof(quor_get_version_t);
    case QUOR_GET_BOARD_MAX:
    case QUOR_GET_BOARD_COUNT:
    case QUOR_GET_BOARD_TYPE:
    case QUOR_GET_MAX_ENDPOINTS:
    case QUOR_GET_TIMESOURCE:
    case QUOR_GET_LINK_STATE:
    case QUOR_KPT_WAIT:
    case QUOR_KPT_PQ_TRYLOCK_WAIT: return 4;
    case QUOR_GET_NIC_ID: return (int)sizeof(quor_get_nic_id_t);
    case QUOR_GET_INTR_COAL:
    case QUOR_SET_INTR_COAL: return (int)sizeof(quor_intr_coal_t);
    case QUOR_PCI_CFG_READ:
    case QUOR_PCI_CFG_WRITE: return (int)sizeof(quor_pci_cfg_t);
    case QUOR_RAW_SEND: return (int)sizeof(quor_raw_send_t);
    case QUOR_RAW_NEXT_EVENT: return (int)sizeof(quor_raw_next_event_t);
    case QUOR_KPT_RX_SYNC: return (int)sizeof(kpt__rx_sync);
    case QUOR_KPT_START:
    case QUOR_KPT_STOP:
    case QUOR_KPT_RX_DETACH:
    case QUOR_KPT_PQ_TRYLOCK:
    case QUOR_KPT_PQ_UNLOCK:
    case QUOR_SET_RAW_ENDPOINT: return 0;
    case QUOR_KPT_GET_STATS: return (int)sizeof(quor_kpt_stats_t);
    case QUOR_KPT_SOFT_RX: return (int)sizeof(quor_soft_rx_t);
    case QUOR_KPT_PORT_GROUP: return (int)sizeof(quor_kpt_port_group_t);
    case QUOR_KPT_PQ_UNLOCK_WAKE:
    case QUOR_KPT_PQ_GROUP_UNLOCK: return (int)sizeof(kpt__pq_state_rw);
    case QUOR_KPT_PQ_GROUP_LOCK: return (int)sizeof(quor_kpt_pq_group_lock_t);
    case QUOR_SET_ENDPOINT: return -1;
    default: return -2; /* not in the catalogue */
    }
}

/* Record size of QUOR_SET_ENDPOINT by endpoint type, 0 if not accepted. */
static inline uint32_t quor_set_endpoint_size(uint32_t endpt_type)
{
    switch (endpt_type) {
    case QUOR_ES_KPT_RX: return (uint32_t)sizeof(quor_kpt_rx_params_t);
    case QUOR_ES_KPT_RX_RING: return (uint32_t)sizeof(quor_kpt_rx_attach_t);
    case QUOR_ES_KPT_RX_GROUP: return (uint32_t)sizeof(quor_set_endpt_t);
    case QUOR_ES_KPT_TX: return (uint32_t)sizeof(quor_kpt_tx_params_t);
    default: return 0;
    }
}

#endif /* QUOR_IO_H */
