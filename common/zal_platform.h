/*
 * zal_platform.h - the thin layer over what differs between host systems:
 * thread ids and the link-level addresses of host interfaces.  One source
 * file per system implements it (zal_platform_linux.cpp, zal_platform_freebsd.cpp).
 */
#ifndef ZAL_PLATFORM_H
#define ZAL_PLATFORM_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Kernel id of the calling thread (asked afresh on every call). */
int zal_plat_thread_id(void);

/*
 * Link-level (MAC) address of the host interface named exactly ifname.
 * 0 and six bytes, ENODEV when no interface has that name, else an errno.
 */
int zal_plat_get_macaddr(const char *ifname, uint8_t mac[6]);

#ifdef __cplusplus
}
#endif

#endif
