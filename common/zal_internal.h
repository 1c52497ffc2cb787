/*
 * zal_internal.h - device abstraction layer: the only code that talks to the
 * adapter driver.  Built into libkpt and linked into the maintenance tools.
 *
 * Every function returns 0 or a positive errno unless stated otherwise.
 * Valid C and C++.
 */
#ifndef ZAL_INTERNAL_H
#define ZAL_INTERNAL_H

#include <stddef.h>
#include <stdint.h>

#include "quor_io.h" /* quor_raw_status_t */

#ifdef __cplusplus
extern "C" {
#endif

/* ---- device files and driver calls ---- */

typedef int32_t zal_handle_t; /* open device file, -1 for none */

/* Directory of the device files: $ZAL_DEV_DIR, else "/dev". */
const char *zal_dev_dir(void);

int zal_open(int unit, int endpoint, zal_handle_t *handle, uint8_t product);
int zal_open_any_board(zal_handle_t *handle, uint8_t product);
int zal_close(zal_handle_t handle);
int zal_ioctl(zal_handle_t handle, int request, void *record, size_t size);
void *zal_mmap(void *start, size_t length, zal_handle_t handle,
               uintptr_t offset, int read_only);
int zal_munmap(void *start, size_t length);
/* 1 when the handle is a connection to the simulated driver, else 0.
 * Requests of the simulator's own transport are sent only to those. */
int zal__is_simulated(zal_handle_t handle);

/* ---- cycle counter timing ---- */

typedef uint64_t zal_cycles_t;

zal_cycles_t zal_get_cycles(void);
/*
 * When no rate can be had (no environment value, and calibration found a
 * wall clock that did not advance in any of its attempts), the rate stays
 * unset: zal_cycles_per_second() returns 0 and zal_seconds_per_cycle() 0.0,
 * and the next call tries again.  A caller converts cycles to time by
 * multiplying with zal_seconds_per_cycle(), which is safe with 0.0; one that
 * divides by zal_cycles_per_second() must check it for 0 first.
 */
zal_cycles_t zal_cycles_per_second(void);
double zal_seconds_per_cycle(void);
void zal_cycles_counter_init(void);
int cmp_uint64(const void *a, const void *b);
uint64_t zal_host_nsecs(void);

/*
 * Calibration internals, reachable for the tests.  A sampler takes one
 * calibration sample: the counter counts and the wall-clock microseconds
 * elapsed over one short sleep.  Null restores the clock-based sampler.
 */
typedef void (*zal__cycles_sampler_fn)(zal_cycles_t *counts, int64_t *usecs);
void zal__cycles_set_sampler(zal__cycles_sampler_fn fn);
/* Sorts four rates in place and returns the one calibration settles on. */
zal_cycles_t zal__cycles_select(zal_cycles_t samples[4]);
/* Forgets the rate, as at process start. */
void zal__cycles_reset(void);

/* ---- NIC identity and interface enumeration ---- */

typedef struct zal_nic_info {
    uint32_t boardnum;
    uint32_t nic_type;
    uint64_t nic_id;
    uint32_t nic_max_endpoints;
    uint32_t nic_link_state;
    uint64_t nic_link_speed;
} zal_nic_info;

#define ZAL_IFA_BROADCAST 0x2u
#define ZAL_IFA_MULTICAST 0x1u
#define ZAL_IFNAME_AREA 16

typedef struct zal_ifaddrs {
    struct zal_ifaddrs *zal_ifa_next;
    const char *zal_ifa_name;
    uint32_t zal_ifa_flags;
    uint32_t zal_ifa_ipaddr;
    uint32_t zal_ifa_netmask;
    uint32_t zal_ifa_bcastaddr;
    uint32_t zal_ifa_boardnum;
    uint64_t zal_ifa_nicid;
    uint8_t zal_ifa_macaddr[8]; /* six bytes, two pad */
    uint32_t zal_ifa_max_endpoints;
    uint32_t zal_ifa_link_state;
    uint64_t zal_ifa_link_speed;
} zal_ifaddrs;

int zal_get_nicinfo(zal_nic_info **ninfo_o, int *num_o);
void zal_free_nicinfo(zal_nic_info *ninfo);
int zal_get_macaddr(const char *ifname, uint8_t *mac_addr);
int zal_match_macaddr(const char *ifname, const zal_nic_info *ninfo,
                      int num_nics);
int zal_getifaddrs(zal_ifaddrs **ifaddrs_o, int inet_only, int *num_ifs);
void zal_freeifaddrs(zal_ifaddrs *ifaddrs);
void zal_macaddr_to_nic_id(const uint8_t *mac, uint64_t *nic_idp);
void zal_nic_id_to_macaddr(uint64_t nic_id, uint8_t *mac);
void zal_nic_id_to_str(char *str, uint64_t nic_id, uint32_t strlen);

/* ---- memory pool ---- */

/* Fixed-size elements carved from a region the caller owns; free elements
 * are chained through their first pointer-sized word.  No lock. */
typedef struct zal_mpool {
    char *base;       /* start of the caller's region */
    size_t size;      /* region size in bytes */
    char *elem_next;  /* first free element, null when none */
    size_t elem_sz;   /* element size, at least a pointer */
    int elem_avail;   /* free elements */
} zal_mpool;

/* EINVAL for a null pool_o or an element smaller than a pointer; ENOMEM. */
int zal_mpool_init(char *base, size_t size, size_t elem_sz, zal_mpool **pool_o);
void zal_mpool_fini(zal_mpool *mpool);
void *zal_mpool_alloc(zal_mpool *mpool);    /* null when none is free */
int zal_mpool_isempty(zal_mpool *mpool);    /* non-zero when none is free */
void zal_mpool_free(zal_mpool *mpool, void *ptr);

/* ---- board numbering ---- */

/* Global board number of a letter's unit (boards of lower letters first). */
int zal_product_to_boardnum(uint8_t product, int unit, int *num);
/* A unit that opens and that zal_product_to_boardnum numbers num. */
int zal_boardnum_to_product(int num, uint8_t *product, int *unit);
/* The first unit whose MAC text ends with mac (3 to 17 characters, any case). */
int zal_mac_to_product(char *mac, uint8_t *product, int *unit);
/* A board number, a MAC address or its tail, an interface name, or null
 * for board 0. */
int zal_translate_to_product(char *board, uint8_t *product, int *unit);

/* ---- raw endpoint ---- */

typedef struct quor_raw_endpoint *quor_raw_endpoint_t;

int quor_raw_open_endpoint(uint32_t board_number, quor_raw_endpoint_t *endpoint, uint8_t letter);
/* Frees the endpoint; its device file stays open (see quor_raw_handle). */
int quor_raw_close_endpoint(quor_raw_endpoint_t endpoint);
zal_handle_t quor_raw_handle(quor_raw_endpoint_t endpoint);
/* EBUSY while 126 sends wait for their completion to be collected; EINVAL
 * for a port or route length above 255 or data above 65535 bytes. */
int quor_raw_send(quor_raw_endpoint_t endpoint, uint32_t physical_port, void *route_pointer,
                  uint32_t route_length, void *send_buffer, uint32_t data_length, void *context);
int quor_raw_next_event(quor_raw_endpoint_t endpoint, uint32_t *incoming_port, void **context,
                        void *recv_buffer, uint32_t *recv_bytes, uint32_t timeout_ms,
                        quor_raw_status_t *status, uint64_t *nic_ticks);

#ifdef __cplusplus
}
#endif

#endif /* ZAL_INTERNAL_H */
