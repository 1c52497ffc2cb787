/*
 * zal_nic.cpp - adapter identity and the host's interface list.
 *
 * The driver knows a port by its board number, the host by its interface
 * name.  The two meet in the 48-bit NIC id, the port's MAC address read as a
 * big-endian number: the driver reports each board's id, the host each
 * interface's link-level address, and an interface belongs to a capture board
 * when the two are equal.
 */
#include "zal_internal.h"

#include <errno.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/types.h>

#include "quor_io.h"
#include "zal_platform.h"

namespace {

/* Not matched yet (first pass of zal_getifaddrs). */
constexpr int kNotLooked = -2;

bool capture_capable(uint32_t nic_type)
{
    return nic_type == QUOR_BOARD_TYPE_KPT || nic_type == QUOR_BOARD_TYPE_KPT2;
}

int board_query(zal_handle_t h, uint32_t b, zal_nic_info *ni)
{
    quor_get_nic_id_t id;
    memset(&id, 0, sizeof id);
    id.board = b;
    int rc = zal_ioctl(h, int(QUOR_GET_NIC_ID), &id, sizeof id);
    if (rc != 0) return rc;

    uint32_t type = b;
    rc = zal_ioctl(h, int(QUOR_GET_BOARD_TYPE), &type, sizeof type);
    if (rc != 0) return rc;

    uint32_t max_ep = 0;
    rc = zal_ioctl(h, int(QUOR_GET_MAX_ENDPOINTS), &max_ep, sizeof max_ep);
    if (rc != 0) return rc;

    uint32_t link = b;
    rc = zal_ioctl(h, int(QUOR_GET_LINK_STATE), &link, sizeof link);
    if (rc != 0) return rc;

    ni->boardnum = b;
    ni->nic_type = type;
    ni->nic_id = id.nic_id;
    ni->nic_max_endpoints = max_ep;
    ni->nic_link_state = link & 1u;
    ni->nic_link_speed = QUOR_LINK_SPEED_BPS;
    return 0;
}

/*
 * Bytes 4-7 of a socket address: the IPv4 address (network order) of an
 * AF_INET address.  0 for none.
 */
uint32_t sockaddr_word1(const struct sockaddr *sa)
{
    if (sa == nullptr) return 0;
#if defined(__FreeBSD__)
    if (sa->sa_len < 8) return 0;
#endif
    uint32_t v;
    memcpy(&v, reinterpret_cast<const uint8_t *>(sa) + 4, sizeof v);
    return v;
}

/* Board index of an entry's interface; earlier entries of the same
 * interface answer without asking the host again. */
int match_entry(struct ifaddrs *list, struct ifaddrs *ifa, const int *match,
                const zal_nic_info *ni, int n)
{
    int k = 0;
    for (struct ifaddrs *e = list; e != ifa; e = e->ifa_next, ++k) {
        if (match[k] != kNotLooked && e->ifa_name && strcmp(e->ifa_name, ifa->ifa_name) == 0)
            return match[k];
    }
    return zal_match_macaddr(ifa->ifa_name, ni, n);
}

} // namespace

extern "C" {

int zal_get_nicinfo(zal_nic_info **ninfo_o, int *num_o)
{
    if (ninfo_o == nullptr || num_o == nullptr) return EINVAL;
    *ninfo_o = nullptr;
    *num_o = 0;

    zal_handle_t h = -1;
    int rc = zal_open_any_board(&h, QUOR_PRODUCT_KPT);
    if (rc != 0) return rc;

    uint32_t count = 0;
    rc = zal_ioctl(h, int(QUOR_GET_BOARD_COUNT), &count, sizeof count);
    if (rc != 0 || count == 0) {
        /* A driver that cannot count its boards has not said there are none. */
        zal_close(h);
        return rc;
    }
    /* More boards than an int counts is no answer a driver gives. */
    if (count > 0x7fffffffu) {
        zal_close(h);
        return EINVAL;
    }

    zal_nic_info *ni = static_cast<zal_nic_info *>(calloc(count, sizeof *ni));
    if (ni == nullptr) {
        zal_close(h);
        return ENOMEM;
    }
    for (uint32_t b = 0; b < count && rc == 0; ++b)
        rc = board_query(h, b, &ni[b]);
    zal_close(h);
    if (rc != 0) {
        free(ni);
        return rc;
    }
    *ninfo_o = ni;
    *num_o = int(count);
    return 0;
}

void zal_free_nicinfo(zal_nic_info *ninfo) { free(ninfo); }

int zal_get_macaddr(const char *ifname, uint8_t *mac_addr)
{
    if (ifname == nullptr || mac_addr == nullptr) return EINVAL;
    return zal_plat_get_macaddr(ifname, mac_addr);
}

int zal_match_macaddr(const char *ifname, const zal_nic_info *ninfo, int num_nics)
{
    uint8_t mac[6];
    if (ninfo == nullptr || zal_get_macaddr(ifname, mac) != 0) return -1;
    uint64_t id = 0;
    zal_macaddr_to_nic_id(mac, &id);
    for (int i = 0; i < num_nics; ++i) {
        if (ninfo[i].nic_id == id && capture_capable(ninfo[i].nic_type)) return i;
    }
    return -1;
}

int zal_getifaddrs(zal_ifaddrs **ifaddrs_o, int inet_only, int *num_ifs)
{
    if (ifaddrs_o == nullptr) return EINVAL;
    *ifaddrs_o = nullptr;
    if (num_ifs) *num_ifs = 0;

    zal_nic_info *ni = nullptr;
    int nnics = 0;
    int rc = zal_get_nicinfo(&ni, &nnics);
    if (rc != 0) return rc;
    if (nnics == 0) return 0;

    struct ifaddrs *list = nullptr;
    rc = zal_plat_getifaddrs(&list);
    if (rc != 0) {
        zal_free_nicinfo(ni);
        return rc;
    }

    size_t entries = 0;
    for (struct ifaddrs *ifa = list; ifa; ifa = ifa->ifa_next) ++entries;
    int *match = static_cast<int *>(malloc((entries ? entries : 1) * sizeof(int)));
    if (match == nullptr) {
        zal_plat_freeifaddrs(list);
        zal_free_nicinfo(ni);
        return ENOMEM;
    }

    /* First pass: which entries belong to a capture board. */
    size_t count = 0, k = 0;
    for (struct ifaddrs *ifa = list; ifa; ifa = ifa->ifa_next, ++k) {
        match[k] = kNotLooked;
        if (ifa->ifa_addr == nullptr || ifa->ifa_name == nullptr) continue;
        if (inet_only && ifa->ifa_addr->sa_family != AF_INET) continue;
        match[k] = match_entry(list, ifa, match, ni, nnics);
        if (match[k] >= 0) ++count;
    }

    zal_ifaddrs *out = nullptr;
    if (count > 0) {
        /* One allocation: the records, then a name area per record. */
        out = static_cast<zal_ifaddrs *>(calloc(count, sizeof(zal_ifaddrs) + ZAL_IFNAME_AREA));
        if (out == nullptr) {
            rc = ENOMEM;
        } else {
            char *names = reinterpret_cast<char *>(out + count);
            size_t i = 0;
            k = 0;
            for (struct ifaddrs *ifa = list; ifa && i < count; ifa = ifa->ifa_next, ++k) {
                if (match[k] < 0) continue;
                const zal_nic_info &b = ni[match[k]];
                zal_ifaddrs *r = &out[i];
                char *name = names + i * ZAL_IFNAME_AREA;
                snprintf(name, ZAL_IFNAME_AREA, "%s", ifa->ifa_name);
                r->zal_ifa_name = name;
                r->zal_ifa_flags = ((ifa->ifa_flags & IFF_BROADCAST) ? ZAL_IFA_BROADCAST : 0u) |
                                   ((ifa->ifa_flags & IFF_MULTICAST) ? ZAL_IFA_MULTICAST : 0u);
                r->zal_ifa_ipaddr = sockaddr_word1(ifa->ifa_addr);
                r->zal_ifa_netmask = sockaddr_word1(ifa->ifa_netmask);
                r->zal_ifa_bcastaddr = sockaddr_word1(ifa->ifa_broadaddr);
                r->zal_ifa_boardnum = b.boardnum;
                r->zal_ifa_nicid = b.nic_id;
                zal_nic_id_to_macaddr(b.nic_id, r->zal_ifa_macaddr);
                r->zal_ifa_max_endpoints = b.nic_max_endpoints;
                r->zal_ifa_link_state = b.nic_link_state;
                r->zal_ifa_link_speed = b.nic_link_speed;
                r->zal_ifa_next = i + 1 < count ? &out[i + 1] : nullptr;
                ++i;
            }
        }
    }

    free(match);
    zal_plat_freeifaddrs(list);
    zal_free_nicinfo(ni);
    if (rc != 0) return rc;
    *ifaddrs_o = out;
    if (num_ifs) *num_ifs = int(count);
    return 0;
}

void zal_freeifaddrs(zal_ifaddrs *ifaddrs) { free(ifaddrs); }

void zal_macaddr_to_nic_id(const uint8_t *mac, uint64_t *nic_idp)
{
    if (mac == nullptr || nic_idp == nullptr) return;
    uint64_t id = 0;
    for (int i = 0; i < 6; ++i) id = (id << 8) | mac[i];
    *nic_idp = id;
}

void zal_nic_id_to_macaddr(uint64_t nic_id, uint8_t *mac)
{
    if (mac == nullptr) return;
    for (int i = 5; i >= 0; --i) {
        mac[i] = uint8_t(nic_id & 0xff);
        nic_id >>= 8;
    }
}

void zal_nic_id_to_str(char *str, uint64_t nic_id, uint32_t len)
{
    if (str == nullptr || len == 0) return;
    uint8_t m[6];
    zal_nic_id_to_macaddr(nic_id, m);
    snprintf(str, len, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
}

} // extern "C"
