/*
 * kpt_api_handle.cpp - device handles: one port, or a group of ports chosen
 * by a mask, each bound in the driver as a receive endpoint.  Also the
 * mapping of driver regions used by rings and injection handles, and the
 * reflection of received frames to the host's network stack.
 */
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <atomic>

#include "kpt_handle.h"
#include "kpt_internal.h"
#include "kpt_rx.h"

namespace {

constexpr uint32_t kAllPorts = 0xffffffffu;
/* A single port number above this is not a port. */
constexpr uint32_t kMaxSinglePort = 15;
/* The length that asks whether the driver reflects at all. */
constexpr uint32_t kReflectProbeLen = 0xdeadbeefu;
constexpr uintptr_t kPage = 4096;
constexpr uintptr_t kMiB = 0x100000;
/* Port, ring count, flags, data ring size, and up to three RSS records. */
constexpr int kMaxOpenKeyvals = 7;

static_assert(sizeof(kpt_rss_params_mode) == sizeof(int), "RSS mode field is an int");

struct PortList {
    STAILQ_HEAD(, kpt_port) q = STAILQ_HEAD_INITIALIZER(q);
};

kpt_handle *handle_alloc()
{
    kpt_handle *h = static_cast<kpt_handle *>(calloc(1, sizeof *h));
    if (h == nullptr) return nullptr;
    h->type = KPT_H_BOARD_GROUP;
    if (pthread_mutex_init(&h->lock, nullptr) != 0) {
        free(h);
        return nullptr;
    }
    STAILQ_INIT(&h->portq);
    return h;
}

void handle_free(kpt_handle *h)
{
    pthread_mutex_destroy(&h->lock);
    free(h);
}

void port_free(kpt_port *port)
{
    if (port->mhandle >= 0) zal_close(port->mhandle);
    free(port);
}

int popcount32(uint32_t m) { return __builtin_popcount(m); }

/*
 * Opens one port of a handle: its device file bound as a receive endpoint
 * with the handle's block.  The port is on *ports whatever the result, so
 * that the caller releases it.
 */
int port_open(kpt_handle *h, PortList *ports, uint32_t portnum, const kpt__params *p,
              const quor_kpt_rx_params_t *drv_p)
{
    kpt_port *port = static_cast<kpt_port *>(calloc(1, sizeof *port));
    if (port == nullptr) return ENOMEM;
    port->type = KPT_H_BOARD;
    port->kpt_h = h;
    port->mhandle = -1;
    STAILQ_INIT(&port->ringq);
    kpt__params_copy(&port->p, p);
    port->p.portnum = portnum;
    port->drv_p = *drv_p;
    port->drv_p.set_endpt.endpoint = 0;
    port->drv_p.set_endpt.endpt_type = QUOR_ES_KPT_RX;
    STAILQ_INSERT_TAIL(&ports->q, port, link);

    zal_handle_t mh = -1;
    int rc = zal_open(int(portnum), 0, &mh, QUOR_PRODUCT_KPT);
    if (rc != 0) {
        KPT_LOG_I(&port->p, "Can't open KPT RX handle on port %u (err=%d)\n", portnum, rc);
        return rc == ENOENT ? ENODEV : rc;
    }
    port->mhandle = mh;

    rc = zal_ioctl(mh, int(QUOR_SET_ENDPOINT), &port->drv_p, sizeof port->drv_p);
    if (rc != 0) {
        KPT_LOG_I(&port->p, "Can't set ENDPOINT_RX port %u (err=%d)\n", portnum, rc);
        return rc;
    }

    if (port->p.debug_mask & KPT_DEBUG_PARAM) {
        quor_get_version_t ver;
        memset(&ver, 0, sizeof ver);
        if (zal_ioctl(mh, int(QUOR_GET_VERSION), &ver, sizeof ver) == 0) {
            /* The driver's text is printed only up to the end of its field. */
            ver.version_str[sizeof ver.version_str - 1] = '\0';
            ver.build_str[sizeof ver.build_str - 1] = '\0';
            KPT_LOG_P(&port->p, "lib    version=%s build=%s\n", kpt__lib_version(),
                      kpt__lib_build());
            KPT_LOG_P(&port->p, "kernel version=%s build=%s\n", ver.version_str,
                      ver.build_str);
        }
    }
    return 0;
}

/* Turns the open arguments into caller parameter records; n or -1 (EINVAL). */
int open_keyvals(uint32_t portnum, int num_rings, const kpt_rss_params *rss_params,
                 int64_t data_ring_size, int flags, kpt_param_keyval *kv)
{
    int n = 0;
    kv[n].key = KPT_PARAM_PORTNUM;
    kv[n++].val.portnum = portnum;
    if (num_rings >= 1) {
        kv[n].key = KPT_PARAM_NUM_RINGS;
        kv[n++].val.num_rings = uint32_t(num_rings);
    }
    if (flags >= 0) {
        kv[n].key = KPT_PARAM_FLAGS;
        kv[n++].val.open_flags = uint32_t(flags);
    }
    if (data_ring_size > 0) {
        kv[n].key = KPT_PARAM_DATARING_SIZE;
        kv[n++].val.data_ring_size = uint64_t(data_ring_size);
    }
    if (rss_params != nullptr) {
        /* Read as a plain int: a C caller may pass any value in the field. */
        int mode;
        memcpy(&mode, &rss_params->mode, sizeof mode);
        switch (mode) {
        case KPT_RSS_FUNCTION:
            kv[n].key = KPT_PARAM_RSS_FLAGS;
            kv[n++].val.rss_flags = QUOR_KPT_RSS_USER_FN;
            kv[n].key = KPT_PARAM_RSS_FUNC_PTR;
            kv[n++].val.rss_hash_fn = rss_params->params.rss_function.rss_hash_fn;
            kv[n].key = KPT_PARAM_RSS_FUNC_CONTEXT;
            kv[n++].val.rss_context = rss_params->params.rss_function.rss_context;
            break;
        case KPT_RSS_FLAGS:
            kv[n].key = KPT_PARAM_RSS_FLAGS;
            kv[n++].val.rss_flags = rss_params->params.rss_flags;
            break;
        default:
            KPT_LOG_E(&kpt__p, "kpt: unrecognized RSS param %d\n", mode);
            return -1;
        }
    }
    return n;
}

/* The port that a reflected frame belongs to: the first whose first ring's
 * data ring holds it, else the first port. */
kpt_port *reflect_port(kpt_handle *h, const void *buf, uint32_t len)
{
    kpt_port *first = STAILQ_FIRST(&h->portq);
    if (h->portcnt < 2) return first;
    const uintptr_t b = reinterpret_cast<uintptr_t>(buf);
    kpt_port *port;
    STAILQ_FOREACH(port, &h->portq, link)
    {
        const kpt_ring *r = STAILQ_FIRST(&port->ringq);
        if (r == nullptr || r->type != KPT_H_RING) continue;
        const uintptr_t start = r->u.ring.rx.rx_map.map_rx_data;
        const uintptr_t size = r->u.ring.rx.rx_map.map_rx_data_size;
        if (start == 0 || b < start) continue;
        if (len <= size && b - start <= size - len) return port;
    }
    return first;
}

int start_stop(kpt_handle_t h, uint32_t request)
{
    if (h == nullptr) return EINVAL;
    int rc = 0;
    pthread_mutex_lock(&h->lock);
    kpt_port *port;
    STAILQ_FOREACH(port, &h->portq, link)
    {
        rc = zal_ioctl(port->mhandle, int(request), nullptr, 0);
        if (rc != 0) break;
    }
    pthread_mutex_unlock(&h->lock);
    return rc;
}

} // namespace

extern "C" {

int kpt_open(uint32_t portnum, int num_rings, const kpt_rss_params *rss_params,
             int64_t data_ring_size, int flags, kpt_handle_t *handle_o)
{
    if (!kpt__init) {
        kpt__log_not_initialised("kpt_open");
        return EINVAL;
    }
    if (handle_o == nullptr) return EINVAL;

    kpt_param_keyval kv[kMaxOpenKeyvals];
    memset(kv, 0, sizeof kv);
    int nkv = open_keyvals(portnum, num_rings, rss_params, data_ring_size, flags, kv);
    if (nkv < 0) return EINVAL;

    kpt_handle *h = handle_alloc();
    if (h == nullptr) return ENOMEM;

    kpt__params p;
    quor_kpt_rx_params_t drv_p;
    memset(&p, 0, sizeof p);
    memset(&drv_p, 0, sizeof drv_p);
    int rc = kpt__api_params(&p, &drv_p, kv, nkv, nullptr);
    if (rc != 0) {
        /* A later row may fail after the debug file was opened. */
        kpt__debug_stream_release(p.debug_fp);
        handle_free(h);
        return rc;
    }

    /* Which ports: a mask, every listed port, or one port. */
    uint32_t mask = 0;
    if (p.portnum == kAllPorts) {
        int listed = 0;
        rc = kpt_getportmask_valid(&mask, &listed);
    } else if (drv_p.open_flags & KPT_F_AGGREGATE_PORTMASK) {
        mask = p.portnum;
        if (mask == 0) rc = EINVAL;
    } else if (p.portnum > kMaxSinglePort) {
        rc = EAGAIN;
    } else {
        mask = 1u << p.portnum;
    }
    if (rc != 0) {
        kpt__debug_stream_release(p.debug_fp);
        handle_free(h);
        return rc;
    }
    /* One port per set bit: an interface listed under several names (a
     * VLAN on a port carries the port's address) is still one port. */
    const int cnt = popcount32(mask);

    if (cnt >= 2)
        KPT_LOG_P(&p, "Aggregate port with mask=%#x and cnt=%d\n", mask, cnt);

    drv_p.aggr_portmask = mask;
    if (drv_p.app_id != -1) drv_p.open_flags |= KPT_F_APP_ID;

    PortList ports;
    pthread_mutex_lock(&h->lock);
    for (uint32_t left = mask; left != 0 && rc == 0; left &= left - 1)
        rc = port_open(h, &ports, uint32_t(__builtin_ctz(left)), &p, &drv_p);

    if (rc != 0) {
        while (kpt_port *port = STAILQ_FIRST(&ports.q)) {
            STAILQ_REMOVE_HEAD(&ports.q, link);
            port_free(port);
        }
        pthread_mutex_unlock(&h->lock);
        kpt__debug_stream_release(p.debug_fp);
        handle_free(h);
        return rc;
    }
    /* The ports' parameter copies share the resolved debug stream; a
     * handle without ports never writes to it. */
    if (cnt == 0) kpt__debug_stream_release(p.debug_fp);
    while (kpt_port *port = STAILQ_FIRST(&ports.q)) {
        STAILQ_REMOVE_HEAD(&ports.q, link);
        STAILQ_INSERT_TAIL(&h->portq, port, link);
        h->refcnt++;
    }
    h->portmask = mask;
    h->portcnt = cnt;
    pthread_mutex_unlock(&h->lock);
    *handle_o = h;
    return 0;
}

int kpt_open_defaults(uint32_t portnum, kpt_handle_t *devhandle)
{
    return kpt_open(portnum, 0, nullptr, 0, -1, devhandle);
}

int kpt_start(kpt_handle_t handle) { return start_stop(handle, QUOR_KPT_START); }

int kpt_stop(kpt_handle_t handle) { return start_stop(handle, QUOR_KPT_STOP); }

int kpt_close(kpt_handle_t handle)
{
    if (handle == nullptr) return EINVAL;
    pthread_mutex_lock(&handle->lock);
    if (handle->refcnt != handle->portcnt) {
        pthread_mutex_unlock(&handle->lock);
        return EBUSY;
    }
    /* Every port's parameters share the stream the open resolved. */
    kpt_port *first = STAILQ_FIRST(&handle->portq);
    FILE *stream = first ? first->p.debug_fp : nullptr;
    while (kpt_port *port = STAILQ_FIRST(&handle->portq)) {
        STAILQ_REMOVE_HEAD(&handle->portq, link);
        port_free(port);
        handle->refcnt--;
    }
    pthread_mutex_unlock(&handle->lock);
    handle_free(handle);
    kpt__debug_stream_release(stream);
    return 0;
}

int kpt__mmap(const kpt__params *p, zal_handle_t mhandle, const char *map_name,
              uintptr_t *map_ptr, uintptr_t size, uintptr_t offset, int read_only)
{
    if (p == nullptr) p = &kpt__p;
    if (map_ptr == nullptr) return EINVAL;
    if (map_name == nullptr) map_name = "";

    uintptr_t addr = 0;
    uintptr_t mapped = 0;
    if (size != 0 && offset != ~uintptr_t(0)) {
        errno = 0;
        void *m = zal_mmap(nullptr, size, mhandle, offset, read_only);
        if (m == MAP_FAILED) {
            const int e = errno != 0 ? errno : EIO;
            KPT_LOG_E(p, "mmap %10s %10s (offset=%llu,size=%llu) (err=%d:%s)\n", map_name,
                      read_only ? "read-only" : "read-write", (unsigned long long)offset,
                      (unsigned long long)size, e, strerror(e));
            return e;
        }
        addr = reinterpret_cast<uintptr_t>(m);
        mapped = size;
        /* The device layer maps every page in the one call (its page
         * tables filled there), so the receive path takes no fault. */
    }

    const bool mib = mapped >= kMiB;
    KPT_LOG_P(p, "%14s [%#16lx..%#16lx) size %5llu %3s %12llu (%#llx)\n", map_name,
              (unsigned long)addr, (unsigned long)(addr + mapped),
              (unsigned long long)(mib ? mapped / kMiB : mapped / 1024),
              mapped == 0 ? "" : (mib ? "MiB" : "KiB"), (unsigned long long)mapped,
              (unsigned long long)mapped);
    *map_ptr = addr;
    return 0;
}

int kpt_netdev_reflect_enable(kpt_handle_t handle, kpt_netdev_reflect_t *out)
{
    if (handle == nullptr || out == nullptr) return EINVAL;
    pthread_mutex_lock(&handle->lock);
    const int refcnt = handle->refcnt;
    pthread_mutex_unlock(&handle->lock);
    if (refcnt == 0) return EINVAL;
    *out = handle;
    return 0;
}

int kpt_netdev_reflect(kpt_netdev_reflect_t handle, const void *buf, uint32_t len)
{
    if (handle == nullptr) return EINVAL;
    /* The request carries 16-bit lengths: a longer frame would go out cut
     * short and be reported as reflected. */
    if (len > 0xffffu && len != kReflectProbeLen) return EINVAL;
    kpt_port *port = reflect_port(handle, buf, len);
    if (port == nullptr) return EINVAL;

    quor_soft_rx_t sr;
    memset(&sr, 0, sizeof sr);
    sr.pkt_len = uint16_t(len);
    sr.hdr_len = 0;
    sr.flags = 0;
    sr.seg_cnt = 1;
    sr.copy_desc[0].ptr = uint64_t(reinterpret_cast<uintptr_t>(buf));
    sr.copy_desc[0].len = uint16_t(len);
    int rc = zal_ioctl(port->mhandle, int(QUOR_KPT_SOFT_RX), &sr, sizeof sr);
    if (rc == EINVAL && len == kReflectProbeLen) return 0;
    return rc;
}

} // extern "C"
