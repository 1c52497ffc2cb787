/*
 * zal_platform_linux.cpp - host specifics on Linux: kernel thread ids, the
 * interface list of getifaddrs, and link-level addresses from its AF_PACKET
 * entries.
 *
 * Linux is also where the simulated driver runs.  With its TAP interfaces
 * (which need root) the ports are ordinary host interfaces; without them
 * the simulator describes the interfaces a driver would have made, and the
 * interface list carries them ahead of the host's own, so that everything
 * above this layer finds the ports as on a host with the adapter.
 */
#include "zal_platform.h"

#include <errno.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "quor_io.h"
#include "zal_internal.h"
#include "zal_simproto.h"

namespace {

/* Marks the entries this layer made (their ifa_data), so that the free
 * routine knows a list that begins with them. */
const char g_sim_entry_mark = 0;

struct SimEntry {
    struct ifaddrs ifa; /* first: the list hands out its address */
    struct sockaddr_ll sll;
    char name[ZAL_IFNAME_AREA];
};

/* One allocation: the simulated ports' entries, then the host's list they lead into. */
struct SimBlock {
    SimEntry e[ZAL_SIM_MAX_IFACES];
    struct ifaddrs *host;
};
static_assert(offsetof(SimBlock, e) == 0, "the first entry is the block");

/* The simulator's description of its ports' interfaces; false when the
 * device files are not the simulator's or it has real ones. */
bool simulated_ifaces(zal_sim_ifaces *out)
{
    zal_handle_t h = -1;
    if (zal_open_any_board(&h, QUOR_PRODUCT_KPT) != 0) return false;
    bool ok = zal__is_simulated(h) &&
              zal_ioctl(h, int(ZAL_SIM_HOST_IFACES), out, sizeof *out) == 0 &&
              !(out->flags & ZAL_SIM_IFACES_NETDEV) && out->count > 0 &&
              out->count <= ZAL_SIM_MAX_IFACES;
    zal_close(h);
    return ok;
}

} // namespace

extern "C" {

int zal_plat_thread_id(void) { return int(syscall(SYS_gettid)); }

int zal_plat_getifaddrs(struct ifaddrs **list)
{
    if (!list) return EINVAL;
    *list = nullptr;
    struct ifaddrs *host = nullptr;
    if (getifaddrs(&host) != 0) return errno != 0 ? errno : EIO;

    zal_sim_ifaces sim;
    memset(&sim, 0, sizeof sim);
    if (!simulated_ifaces(&sim)) {
        *list = host;
        return 0;
    }
    SimBlock *b = static_cast<SimBlock *>(calloc(1, sizeof *b));
    if (!b) {
        freeifaddrs(host);
        return ENOMEM;
    }
    b->host = host;
    for (uint32_t i = 0; i < sim.count; ++i) {
        const zal_sim_iface &f = sim.iface[i];
        SimEntry &e = b->e[i];
        /* The simulator's text is not trusted to be terminated. */
        memcpy(e.name, f.name, sizeof e.name - 1);
        e.sll.sll_family = AF_PACKET;
        e.sll.sll_halen = 6;
        memcpy(e.sll.sll_addr, f.mac, 6);
        e.ifa.ifa_name = e.name;
        e.ifa.ifa_flags = unsigned(IFF_UP | IFF_BROADCAST | IFF_MULTICAST) | (f.link_up ? unsigned(IFF_RUNNING) : 0u);
        e.ifa.ifa_addr = reinterpret_cast<struct sockaddr *>(&e.sll);
        e.ifa.ifa_data = const_cast<char *>(&g_sim_entry_mark);
        e.ifa.ifa_next = i + 1 < sim.count ? &b->e[i + 1].ifa : host;
    }
    *list = &b->e[0].ifa;
    return 0;
}

void zal_plat_freeifaddrs(struct ifaddrs *list)
{
    if (!list) return;
    if (list->ifa_data != &g_sim_entry_mark) {
        freeifaddrs(list);
        return;
    }
    SimBlock *b = reinterpret_cast<SimBlock *>(list);
    if (b->host) freeifaddrs(b->host);
    free(b);
}

int zal_plat_get_macaddr(const char *ifname, uint8_t mac[6])
{
    if (!ifname || !mac) return EINVAL;
    struct ifaddrs *list = nullptr;
    int rc = zal_plat_getifaddrs(&list);
    if (rc != 0) return rc;
    rc = ENODEV;
    for (struct ifaddrs *ifa = list; ifa; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_PACKET || !ifa->ifa_name) continue;
        if (strcmp(ifa->ifa_name, ifname) != 0) continue;
        const struct sockaddr_ll *sll = reinterpret_cast<const struct sockaddr_ll *>(ifa->ifa_addr);
        /* An interface with a shorter (or no) hardware address reads as zeros. */
        size_t n = sll->sll_halen < 6 ? sll->sll_halen : 6;
        memset(mac, 0, 6);
        memcpy(mac, sll->sll_addr, n);
        rc = 0;
        break;
    }
    zal_plat_freeifaddrs(list);
    return rc;
}

} // extern "C"
