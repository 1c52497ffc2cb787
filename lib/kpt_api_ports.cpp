/*
 * kpt_api_ports.cpp - which adapter ports exist and what state they are in:
 * the list of capture interfaces, the masks of valid and linked ports, and the
 * per-handle link, speed and time-source queries.
 */
#include <errno.h>
#include <stdlib.h>
#include <string.h>

#include "kpt_handle.h"
#include "kpt_internal.h"
#include "kpt_rx.h"

namespace {

/* A 32-bit port mask holds ports 0 to 31. */
constexpr uint32_t kMaskPorts = 32;

/* The one port of a single-port handle, or null. */
kpt_port *single_port(kpt_handle_t h)
{
    if (h == nullptr || h->portcnt != 1) return nullptr;
    return STAILQ_FIRST(&h->portq);
}

int getportmask(uint32_t *mask_o, int *cnt_o, bool linkup_only)
{
    if (mask_o == nullptr || cnt_o == nullptr) return EINVAL;
    kpt_ifaddrs *list = nullptr;
    int rc = kpt_getifaddrs(&list);
    if (rc != 0) return rc;
    uint32_t mask = 0;
    int cnt = 0;
    for (kpt_ifaddrs *ifa = list; ifa; ifa = ifa->kpt_ifa_next) {
        if (linkup_only && ifa->kpt_ifa_link_state != KPT_LINK_UP) continue;
        if (ifa->kpt_ifa_portnum >= kMaskPorts) continue;
        mask |= 1u << ifa->kpt_ifa_portnum;
        ++cnt;
    }
    kpt_freeifaddrs(list);
    *mask_o = mask;
    *cnt_o = cnt;
    return 0;
}

/* Switch timestamp status of a receive ring (a single ring, not a group). */
int ring_ats_status(const kpt_ring *r, ats_status *st)
{
    if (r == nullptr || r->type != KPT_H_RING) return ENODEV;
    *st = r->u.ring.rx.ats.arct_status;
    return 0;
}

} // namespace

extern "C" {

int kpt_getifaddrs(kpt_ifaddrs **ifaddrs_o)
{
    if (!kpt__init) {
        kpt__log_not_initialised("kpt_getifaddrs");
        return EINVAL;
    }
    if (ifaddrs_o == nullptr) return EINVAL;
    *ifaddrs_o = nullptr;

    zal_ifaddrs *zl = nullptr;
    int n = 0;
    int rc = zal_getifaddrs(&zl, 0, &n);
    if (rc != 0) return rc;
    if (zl == nullptr || n <= 0) {
        zal_freeifaddrs(zl);
        return 0;
    }

    /* One array for all records; an interface with several addresses is
     * listed by the device layer once per address and here once. */
    kpt_ifaddrs *out = static_cast<kpt_ifaddrs *>(calloc(size_t(n), sizeof *out));
    if (out == nullptr) {
        zal_freeifaddrs(zl);
        return ENOMEM;
    }
    int kept = 0;
    for (zal_ifaddrs *z = zl; z; z = z->zal_ifa_next) {
        bool seen = false;
        for (zal_ifaddrs *e = zl; e != z && !seen; e = e->zal_ifa_next)
            seen = strcmp(e->zal_ifa_name, z->zal_ifa_name) == 0;
        if (seen) continue;

        kpt_ifaddrs *r = &out[kept];
        char *name = strdup(z->zal_ifa_name);
        if (name == nullptr) {
            rc = ENOMEM;
            break;
        }
        r->kpt_ifa_name = name;
        r->kpt_ifa_portnum = z->zal_ifa_boardnum;
        r->kpt_ifa_maxrings = int(z->zal_ifa_max_endpoints);
        r->kpt_ifa_maxinject = int(z->zal_ifa_max_endpoints);
        memcpy(r->kpt_ifa_macaddr, z->zal_ifa_macaddr, 6);
        r->kpt_ifa_link_state = z->zal_ifa_link_state ? KPT_LINK_UP : KPT_LINK_DOWN;
        r->kpt_ifa_link_speed = QUOR_LINK_SPEED_BPS;
        if (kept > 0) out[kept - 1].kpt_ifa_next = r;
        ++kept;
    }
    zal_freeifaddrs(zl);
    if (rc != 0) {
        kpt_freeifaddrs(out); /* the records filled so far, then the array */
        return rc;
    }
    *ifaddrs_o = out;
    return 0;
}

void kpt_freeifaddrs(kpt_ifaddrs *ifaddrs)
{
    if (ifaddrs == nullptr) return;
    for (kpt_ifaddrs *r = ifaddrs; r; r = r->kpt_ifa_next)
        free(const_cast<char *>(r->kpt_ifa_name));
    free(ifaddrs);
}

int kpt_getportmask_valid(uint32_t *mask_o, int *cnt_o)
{
    return getportmask(mask_o, cnt_o, false);
}

int kpt_getportmask_linkup(uint32_t *mask_o, int *cnt_o)
{
    return getportmask(mask_o, cnt_o, true);
}

int kpt_get_link_state(kpt_handle_t handle, kpt_link_state *state)
{
    kpt_port *port = single_port(handle);
    if (port == nullptr || state == nullptr) return EINVAL;
    uint32_t v = port->p.portnum;
    int rc = zal_ioctl(port->mhandle, int(QUOR_GET_LINK_STATE), &v, sizeof v);
    if (rc != 0) return rc;
    *state = (v & 1u) ? KPT_LINK_UP : KPT_LINK_DOWN;
    return 0;
}

int kpt_get_link_speed(kpt_handle_t handle, uint64_t *speed)
{
    if (single_port(handle) == nullptr || speed == nullptr) return EINVAL;
    *speed = QUOR_LINK_SPEED_BPS;
    return 0;
}

int kpt_get_injection_speed(kpt_inject_t handle, uint64_t *speed)
{
    (void)handle;
    if (speed == nullptr) return EINVAL;
    *speed = QUOR_LINK_SPEED_BPS;
    return 0;
}

int kpt_get_timesource_state(kpt_handle_t handle, kpt_timesource_state *state)
{
    kpt_port *port = single_port(handle);
    if (port == nullptr || state == nullptr) return EINVAL;

    uint32_t code = port->p.portnum;
    int rc = zal_ioctl(port->mhandle, int(QUOR_GET_TIMESOURCE), &code, sizeof code);
    if (rc != 0) return rc;

    kpt_timesource_state ts;
    switch (code) {
    case 0:
    case 1:
        ts = KPT_TIMESOURCE_LOCAL;
        break;
    case 2:
    case 3:
    case 4:
        ts = KPT_TIMESOURCE_EXT_UNSYNCED;
        break;
    case 5:
        ts = KPT_TIMESOURCE_EXT_SYNCED;
        break;
    case 6:
        ts = KPT_TIMESOURCE_EXT_FAILED;
        break;
    default:
        return ENODEV;
    }

    /* A ring that decodes switch timestamps overrides the adapter's clock. */
    const kpt_ring *first = STAILQ_FIRST(&port->ringq);
    if (first != nullptr) {
        ats_status st = ATS_STATUS_DISABLED;
        if (first->type == KPT_H_RING) {
            rc = ring_ats_status(first, &st);
        } else if (first->type == KPT_H_RING_GROUP) {
            /* A group that has not delivered yet has no latest member. */
            const kpt_ring *latest = first->u.group.ring_latest;
            rc = latest ? ring_ats_status(latest, &st) : 0;
        } else {
            rc = ENODEV;
        }
        if (rc != 0) return rc;
        if (st >= ATS_STATUS_ACTIVE) ts = KPT_TIMESOURCE_ARISTA_ACTIVE;
    }
    *state = ts;
    return 0;
}

} // extern "C"
