// sim_netdev.cpp - TAP interfaces for the simulated ports.
#include "sim_netdev.h"

#include <errno.h>
#include <fcntl.h>
#include <linux/if_tun.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include "sim_wire_impl.h"

namespace quorsim {

namespace {

int ifreq_call(unsigned long req, struct ifreq *ifr)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) return errno;
    int rc = ioctl(s, req, ifr) == 0 ? 0 : errno;
    close(s);
    return rc;
}

}  // namespace

Netdev::~Netdev() { destroy(); }

int Netdev::create(const std::string &name, const uint8_t mac[6], bool carrier, std::string *err)
{
    if (name.empty() || name.size() >= IFNAMSIZ) {
        *err = "interface name '" + printable(name) + "' is empty or too long";
        return EINVAL;
    }
    int fd = open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        int e = errno;
        *err = std::string("/dev/net/tun: ") + strerror(e);
        return e;
    }
    struct ifreq ifr = {};
    ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
    memcpy(ifr.ifr_name, name.c_str(), name.size());
    if (ioctl(fd, TUNSETIFF, &ifr) != 0) {
        int e = errno;
        *err = "creating " + printable(name) + ": " + strerror(e);
        close(fd);
        return e;
    }
    fd_ = fd;
    name_ = name;

    struct ifreq a = {};
    memcpy(a.ifr_name, name.c_str(), name.size());
    a.ifr_hwaddr.sa_family = ARPHRD_ETHER;
    memcpy(a.ifr_hwaddr.sa_data, mac, 6);
    int e = ifreq_call(SIOCSIFHWADDR, &a);
    if (!e) {
        struct ifreq m = {};
        memcpy(m.ifr_name, name.c_str(), name.size());
        m.ifr_mtu = 9000; // the adapters carry jumbo frames
        e = ifreq_call(SIOCSIFMTU, &m);
    }
    if (!e) {
        set_carrier(carrier);
        struct ifreq f = {};
        memcpy(f.ifr_name, name.c_str(), name.size());
        e = ifreq_call(SIOCGIFFLAGS, &f);
        if (!e) {
            f.ifr_flags |= IFF_UP;
            e = ifreq_call(SIOCSIFFLAGS, &f);
        }
    }
    if (e) {
        *err = "configuring " + printable(name) + ": " + strerror(e);
        destroy();
        return e;
    }
    return 0;
}

void Netdev::destroy()
{
    // A TAP that is not persistent disappears with its last descriptor.
    if (fd_ >= 0) close(fd_);
    fd_ = -1;
}

void Netdev::set_carrier(bool up)
{
    if (fd_ < 0) return;
    int on = up ? 1 : 0;
    ioctl(fd_, TUNSETCARRIER, &on);
}

int Netdev::deliver(const void *frame, size_t len)
{
    if (fd_ < 0) return ENODEV;
    ssize_t n = write(fd_, frame, len);
    if (n < 0) return errno;
    return size_t(n) == len ? 0 : EIO;
}

ssize_t Netdev::take(void *buf, size_t cap)
{
    if (fd_ < 0) return 0;
    ssize_t n = read(fd_, buf, cap);
    if (n < 0) return (errno == EAGAIN || errno == EINTR) ? 0 : -errno;
    return n;
}

}  // namespace quorsim
