/*
 * zal_platform_freebsd.cpp - host specifics on FreeBSD: kernel thread ids
 * (thr_self) and link-level addresses from the routing socket's interface
 * list (sysctl CTL_NET, PF_ROUTE, 0, AF_LINK, NET_RT_IFLIST, 0).
 */
#include "zal_platform.h"

#include <sys/types.h>
#include <sys/socket.h>
#include <sys/sysctl.h>
#include <sys/thr.h>

#include <net/if.h>
#include <net/if_dl.h>
#include <net/route.h>

#include <errno.h>
#include <ifaddrs.h>
#include <stddef.h>
#include <stdlib.h>
#include <string.h>

namespace {

/* Attempts at fetching the list while interfaces come and go under it. */
constexpr int kListAttempts = 5;

/* Fetches the interface list; 0 with a malloc'd buffer and its length. */
int fetch_iflist(char **bufp, size_t *lenp)
{
    int mib[6] = {CTL_NET, PF_ROUTE, 0, AF_LINK, NET_RT_IFLIST, 0};
    for (int attempt = 0;; ++attempt) {
        size_t len = 0;
        if (sysctl(mib, 6, nullptr, &len, nullptr, 0) != 0) return errno;
        /* Room for interfaces that appear between the two calls. */
        len += len / 8 + 1024;
        char *buf = static_cast<char *>(malloc(len));
        if (!buf) return ENOMEM;
        if (sysctl(mib, 6, buf, &len, nullptr, 0) == 0) {
            *bufp = buf;
            *lenp = len;
            return 0;
        }
        int e = errno;
        free(buf);
        if (e != ENOMEM || attempt + 1 >= kListAttempts) return e;
    }
}

} // namespace

extern "C" {

int zal_plat_thread_id(void)
{
    long id = 0;
    thr_self(&id);
    return int(id);
}

/* The simulated driver does not run here: the host's list is the whole list. */
int zal_plat_getifaddrs(struct ifaddrs **list)
{
    if (!list) return EINVAL;
    *list = nullptr;
    return getifaddrs(list) == 0 ? 0 : (errno != 0 ? errno : EIO);
}

void zal_plat_freeifaddrs(struct ifaddrs *list)
{
    if (list) freeifaddrs(list);
}

int zal_plat_get_macaddr(const char *ifname, uint8_t mac[6])
{
    if (!ifname || !mac) return EINVAL;
    char *buf = nullptr;
    size_t len = 0;
    int rc = fetch_iflist(&buf, &len);
    if (rc != 0) return rc;

    const size_t want = strlen(ifname);
    const size_t hdr = sizeof(struct if_msghdr);
    const size_t sdl_head = offsetof(struct sockaddr_dl, sdl_data);
    rc = ENODEV;
    size_t off = 0;
    /* Every routing message begins with its length, version and type. */
    while (len - off >= 4) {
        const char *p = buf + off;
        unsigned short msglen;
        memcpy(&msglen, p, sizeof msglen);
        if (msglen < 4 || msglen > len - off) break;
        off += msglen;

        const struct if_msghdr *ifm = reinterpret_cast<const struct if_msghdr *>(p);
        if (msglen < hdr + sdl_head || ifm->ifm_type != RTM_IFINFO ||
            !(ifm->ifm_addrs & RTA_IFP))
            continue;
        /* The interface's link-level address follows the header. */
        const struct sockaddr_dl *sdl = reinterpret_cast<const struct sockaddr_dl *>(p + hdr);
        if (sdl->sdl_family != AF_LINK || sdl->sdl_nlen == 0) continue;
        size_t room = size_t(msglen) - hdr - sdl_head; /* bytes of sdl_data in the message */
        size_t nlen = sdl->sdl_nlen;
        if (nlen > room || nlen != want || memcmp(sdl->sdl_data, ifname, nlen) != 0) continue;

        /* The address follows the name; an interface without a full
         * six-byte address reads as zeros beyond what it has. */
        size_t alen = sdl->sdl_alen < 6 ? sdl->sdl_alen : 6;
        if (alen > room - nlen) alen = room - nlen;
        memset(mac, 0, 6);
        memcpy(mac, sdl->sdl_data + nlen, alen);
        rc = 0;
        break;
    }
    free(buf);
    return rc;
}

} // extern "C"
