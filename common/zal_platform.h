/*
 * zal_platform.h - the thin layer over what differs between host systems:
 * thread ids, the host's interface list and the link-level addresses of its
 * interfaces.  One source file per system implements it
 * (zal_platform_linux.cpp, zal_platform_freebsd.cpp).
 */
#ifndef ZAL_PLATFORM_H
#define ZAL_PLATFORM_H

#include <stdint.h>

struct ifaddrs;

#ifdef __cplusplus
extern "C" {
#endif

/* Kernel id of the calling thread (asked afresh on every call). */
int zal_plat_thread_id(void);

/*
 * The host's interface address list, as getifaddrs(3) gives it, freed with
 * zal_plat_freeifaddrs.  When the device files are the simulated driver's
 * and it made no host interfaces for its ports, the list also holds one
 * link-level entry per simulated port (its interface name, MAC address, and
 * IFF_RUNNING with the link), as the interfaces a driver would have created.
 * 0 or an errno.
 */
int zal_plat_getifaddrs(struct ifaddrs **list);
void zal_plat_freeifaddrs(struct ifaddrs *list);

/*
 * Link-level (MAC) address of the host interface named exactly ifname.
 * 0 and six bytes, ENODEV when no interface has that name, else an errno.
 */
int zal_plat_get_macaddr(const char *ifname, uint8_t mac[6]);

#ifdef __cplusplus
}
#endif

#endif
