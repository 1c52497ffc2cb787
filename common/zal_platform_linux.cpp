/*
 * zal_platform_linux.cpp - host specifics on Linux: kernel thread ids and
 * link-level addresses from the AF_PACKET entries of getifaddrs.
 */
#include "zal_platform.h"

#include <errno.h>
#include <ifaddrs.h>
#include <linux/if_packet.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

extern "C" {

int zal_plat_thread_id(void) { return int(syscall(SYS_gettid)); }

int zal_plat_get_macaddr(const char *ifname, uint8_t mac[6])
{
    if (!ifname || !mac) return EINVAL;
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) return errno;
    int rc = ENODEV;
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
    freeifaddrs(list);
    return rc;
}

} // extern "C"
