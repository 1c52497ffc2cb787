/*
 * zal_simproto.h - the message transport between the device layer and the
 * simulated driver (quor_simd).
 *
 * A simulated device file is a listening UNIX socket of type SOCK_SEQPACKET
 * at the device path.  The device layer connects to it when open(2) of the
 * path fails with ENXIO and stat(2) says it is a socket.
 *
 *  1. On connect the simulator sends one hello message (zal_sim_hello).  When
 *     the unit accepts the connection (error 0) the message carries, by
 *     SCM_RIGHTS, the descriptor of the boards' physical memory file, in which
 *     the board's BAR0 lies at bar0_phys;
 *     otherwise error is the errno the open must fail with (EBUSY, EACCES...)
 *     and the simulator closes the connection.
 *  2. A request is one message: zal_sim_req, then `size` bytes of record,
 *     then `extra` bytes of payload that the request's user pointers refer to
 *     (the bytes a driver would copy in from the caller: the frame of a
 *     QUOR_KPT_SOFT_RX or QUOR_RAW_SEND).
 *  3. A reply is one message: zal_sim_rep, then `size` bytes of record (the
 *     record as the driver leaves it), then `extra` bytes that the device
 *     layer copies out to the caller's buffer (the frame of a
 *     QUOR_RAW_NEXT_EVENT).  Replies carry the request's seq; a reply whose
 *     seq is not awaited any more (its request was interrupted) is dropped.
 *
 * A region offset given by the driver is an offset into the unit's arena of
 * shared memory, arena_size bytes of offsets.  The arena is not one object a
 * client could map whole: each region is a memory object of its own, and a
 * client asks for the one it wants to map with ZAL_SIM_MAP, which a driver's
 * mmap handler would answer: only regions of the caller's own endpoint (its
 * ring's queue, the port's state slots and windows, its injection rings) are
 * given out, others fail with EACCES.  Offsets from QUOR_RAW_BAR0_MAP_OFFSET
 * on, for bar0_size bytes, map the board's BAR0 from the physical memory file
 * instead; the arena never hands them out.
 */
#ifndef ZAL_SIMPROTO_H
#define ZAL_SIMPROTO_H

#include <stddef.h>
#include <stdint.h>

#define ZAL_SIM_MAGIC 0x51534d31u /* "QSM1" */
#define ZAL_SIM_VERSION 3u

/* Largest record and largest payload a message may carry. */
#define ZAL_SIM_MAX_RECORD 4096u
#define ZAL_SIM_MAX_EXTRA 65536u
#define ZAL_SIM_MAX_MSG (64u + ZAL_SIM_MAX_RECORD + ZAL_SIM_MAX_EXTRA)

typedef struct zal_sim_hello {
    uint32_t magic;   /* ZAL_SIM_MAGIC */
    uint32_t version; /* ZAL_SIM_VERSION */
    int32_t error;    /* 0: accepted, memory file descriptor attached */
    uint32_t unit;
    uint64_t arena_size; /* bytes of the arena */
    uint64_t bar0_phys;  /* the board's BAR0 in the physical memory file */
    uint64_t bar0_size;
} zal_sim_hello;

/*
 * A request whose seq is ZAL_SIM_NO_REPLY gets no reply: the device layer
 * sends the release synchronisation so, whose result its callers ignore, and
 * the socket keeps it in order with the caller's later requests.
 */
#define ZAL_SIM_NO_REPLY 0u

typedef struct zal_sim_req {
    uint32_t seq;
    uint32_t request;
    uint32_t size;  /* record bytes following */
    uint32_t extra; /* payload bytes following the record */
} zal_sim_req;

typedef struct zal_sim_rep {
    uint32_t seq;
    int32_t error; /* 0 or a positive errno */
    uint32_t size;
    uint32_t extra;
} zal_sim_rep;

/*
 * A request of the transport itself, not of the driver: the host interfaces
 * that stand for the simulated ports.  A driver on a real host creates one
 * interface per port; a simulator without its TAP interfaces (they need root)
 * describes them here instead, and the platform layer lists them beside the
 * host's own.  Answered by every unit for all ports.
 */
#define ZAL_SIM_HOST_IFACES 0x5153490au
#define ZAL_SIM_MAX_IFACES 32u
#define ZAL_SIM_IFACES_NETDEV 0x1u /* the ports have real host interfaces */

typedef struct zal_sim_iface {
    char name[16];      /* NUL-terminated, at most 15 characters */
    uint8_t mac[6];
    uint8_t link_up;    /* 1: carrier */
    uint8_t pad;
    uint64_t speed_bps;
} zal_sim_iface;

typedef struct zal_sim_ifaces {
    uint32_t count; /* entries used; 0 with ZAL_SIM_IFACES_NETDEV */
    uint32_t flags;
    zal_sim_iface iface[ZAL_SIM_MAX_IFACES];
} zal_sim_ifaces;

/*
 * A request of the transport: the memory object behind [offset, offset +
 * length) of the arena.  The reply's record gives the region that holds the
 * range, and carries its descriptor by SCM_RIGHTS; the range is mapped from
 * that descriptor at offset - region_offset.  EACCES: the range is not the
 * caller's; EINVAL: it is not inside one region.
 */
#define ZAL_SIM_MAP 0x5153490bu

/*
 * Ring memory a client releases is kept for it, up to ZAL_SIM_KEEP_BYTES in
 * all and for ZAL_SIM_KEEP_NS, and handed back (the same object) when it asks
 * for a region of the same length again.  The device layer keeps its
 * mappings of such memory (ZAL_SIM_KEEP_MIN bytes and more) as long.
 */
#define ZAL_SIM_KEEP_BYTES (512ull << 20)
#define ZAL_SIM_KEEP_NS 10000000000ll
#define ZAL_SIM_KEEP_MIN (1ull << 20)

typedef struct zal_sim_map {
    uint64_t offset;        /* in: arena offset, page aligned */
    uint64_t length;        /* in: bytes wanted */
    uint64_t region_offset; /* out: where the region starts in the arena */
    uint64_t region_length; /* out: its bytes */
} zal_sim_map;

#ifdef __cplusplus
static_assert(sizeof(zal_sim_map) == 32, "map request size");
static_assert(offsetof(zal_sim_map, region_offset) == 16, "map request: region offset");
static_assert(sizeof(zal_sim_hello) == 40, "hello size");
static_assert(sizeof(zal_sim_iface) == 32, "simulated interface size");
static_assert(sizeof(zal_sim_ifaces) == 8 + 32 * ZAL_SIM_MAX_IFACES, "interface list size");
static_assert(sizeof(zal_sim_ifaces) <= ZAL_SIM_MAX_RECORD, "interface list fits a record");
static_assert(sizeof(zal_sim_req) == 16, "request header size");
static_assert(sizeof(zal_sim_rep) == 16, "reply header size");
#endif

#ifdef __cplusplus
/*
 * Looking for a message without sleeping (a reply on the client's side, the
 * next request on the simulator's): worth it while looks find something.
 * After a look that found nothing the next `backoff` chances to look are
 * skipped, doubling from 1 up to `most` while looks keep missing; a look
 * that finds something starts over.
 */
struct zal_sim_spin_backoff {
    uint32_t skip = 0, backoff = 0;

    /* Whether this chance is one to look on. */
    bool due()
    {
        if (skip == 0)
            return true;
        --skip;
        return false;
    }
    void missed(uint32_t most)
    {
        backoff = backoff == 0 ? 1 : (2 * backoff < most ? 2 * backoff : most);
        skip = backoff;
    }
    void paid() { backoff = 0; }
};
#endif

/*
 * The descriptor a message carried by SCM_RIGHTS (hello, map reply), taken
 * out of a received message header: the first one, or -1.  Any further
 * descriptors, which no message of this protocol carries, are closed rather
 * than left open in the receiver.
 */
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

static inline int zal_sim_take_passed_fd(struct msghdr *mh)
{
    int keep = -1;
    for (struct cmsghdr *cm = CMSG_FIRSTHDR(mh); cm; cm = CMSG_NXTHDR(mh, cm)) {
        if (cm->cmsg_level != SOL_SOCKET || cm->cmsg_type != SCM_RIGHTS)
            continue;
        size_t n = (cm->cmsg_len - CMSG_LEN(0)) / sizeof(int);
        for (size_t i = 0; i < n; ++i) {
            int fd;
            memcpy(&fd, CMSG_DATA(cm) + i * sizeof(int), sizeof fd);
            if (keep < 0)
                keep = fd;
            else if (fd >= 0)
                close(fd);
        }
    }
    return keep;
}

#endif /* ZAL_SIMPROTO_H */
