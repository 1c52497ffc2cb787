// iface_util.h - host interfaces for tests that run in a private network
// namespace: extra TAP interfaces, addresses, and a packet socket that sees
// what arrives on an interface.
#pragma once

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <linux/if_tun.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <net/if_arp.h>
#include <poll.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "test_support.h"

namespace kpttest {

inline int64_t MonoMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

// Polls f until it holds or timeout_ms passes; its last answer.
inline bool WaitUntil(const std::function<bool()> &f, int timeout_ms = 3000)
{
    for (int64_t end = MonoMs() + timeout_ms; MonoMs() < end; usleep(2000))
        if (f()) return true;
    return f();
}

// A TAP interface owned by the test, up, with a chosen MAC address; it
// disappears with its descriptor.
class TapIface {
public:
    TapIface(const std::string &name, const uint8_t mac[6])
    {
        fd_ = open("/dev/net/tun", O_RDWR | O_CLOEXEC | O_NONBLOCK);
        if (fd_ < 0) { err_ = errno; return; }
        struct ifreq ifr = {};
        ifr.ifr_flags = IFF_TAP | IFF_NO_PI;
        snprintf(ifr.ifr_name, IFNAMSIZ, "%s", name.c_str());
        if (ioctl(fd_, TUNSETIFF, &ifr) != 0) { err_ = errno; return; }
        int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        struct ifreq a = {};
        snprintf(a.ifr_name, IFNAMSIZ, "%s", name.c_str());
        a.ifr_hwaddr.sa_family = ARPHRD_ETHER;
        memcpy(a.ifr_hwaddr.sa_data, mac, 6);
        if (ioctl(s, SIOCSIFHWADDR, &a) != 0) err_ = errno;
        struct ifreq f = {};
        snprintf(f.ifr_name, IFNAMSIZ, "%s", name.c_str());
        if (!err_ && ioctl(s, SIOCGIFFLAGS, &f) == 0) {
            f.ifr_flags |= IFF_UP;
            if (ioctl(s, SIOCSIFFLAGS, &f) != 0) err_ = errno;
        }
        close(s);
    }
    ~TapIface()
    {
        if (fd_ >= 0) close(fd_);
    }
    TapIface(const TapIface &) = delete;
    TapIface &operator=(const TapIface &) = delete;
    // 0 when the interface is up, else the errno of the step that failed.
    int error() const { return fd_ < 0 && !err_ ? EBADF : err_; }

private:
    int fd_ = -1;
    int err_ = 0;
};

// Path of the host's ip(8), or empty.
inline std::string IpTool()
{
    for (const char *p : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"})
        if (access(p, X_OK) == 0) return p;
    return {};
}

// Runs "ip ARGS..."; an empty string on success, else what went wrong.
inline std::string Ip(const std::vector<std::string> &args)
{
    std::string tool = IpTool();
    if (tool.empty()) return "no ip tool";
    std::vector<std::string> argv = {tool};
    argv.insert(argv.end(), args.begin(), args.end());
    RunResult r = RunProgram(argv);
    if (r.status == 0) return {};
    return "ip exited " + std::to_string(r.status) + ": " + r.err;
}

// An AF_PACKET socket bound to one interface, for every protocol.
class PacketSocket {
public:
    explicit PacketSocket(const std::string &ifname)
    {
        fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
        if (fd_ < 0) return;
        struct sockaddr_ll sll = {};
        sll.sll_family = AF_PACKET;
        sll.sll_protocol = htons(ETH_P_ALL);
        sll.sll_ifindex = int(if_nametoindex(ifname.c_str()));
        if (sll.sll_ifindex == 0 || bind(fd_, (struct sockaddr *)&sll, sizeof sll) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~PacketSocket()
    {
        if (fd_ >= 0) close(fd_);
    }
    PacketSocket(const PacketSocket &) = delete;
    PacketSocket &operator=(const PacketSocket &) = delete;
    bool ok() const { return fd_ >= 0; }

    // Waits for an incoming frame equal to want; the host's own traffic on
    // the interface (neighbour discovery and the like) is passed over.
    bool Expect(const std::vector<uint8_t> &want, int timeout_ms)
    {
        std::vector<uint8_t> buf(65536);
        for (int64_t end = MonoMs() + timeout_ms;;) {
            int left = int(end - MonoMs());
            if (left <= 0) return false;
            struct pollfd p = {fd_, POLLIN, 0};
            if (poll(&p, 1, left) <= 0) continue;
            struct sockaddr_ll from = {};
            socklen_t fl = sizeof from;
            ssize_t n = recvfrom(fd_, buf.data(), buf.size(), MSG_DONTWAIT,
                                 (struct sockaddr *)&from, &fl);
            if (n < 0 || from.sll_pkttype == PACKET_OUTGOING) continue;
            if (size_t(n) == want.size() && memcmp(buf.data(), want.data(), want.size()) == 0)
                return true;
        }
    }

private:
    int fd_ = -1;
};

}  // namespace kpttest
