// sim_netdev.h - the host side of a simulated port: a TAP interface that
// carries the port's MAC address, so that the host's interface list shows the
// port and the host stack can exchange frames with it.
#pragma once

#include <cstdint>
#include <string>

namespace quorsim {

class Netdev {
public:
    ~Netdev();
    // Creates, addresses and brings up the interface.  0 or an errno with a
    // reason in *err.
    int create(const std::string &name, const uint8_t mac[6], bool carrier, std::string *err);
    void destroy();
    bool active() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    const std::string &name() const { return name_; }
    // Link state of the port, seen by the host as the interface's carrier.
    void set_carrier(bool up);
    // Hands a frame to the host stack.  0 or an errno.
    int deliver(const void *frame, size_t len);
    // Reads one frame the host sent (non-blocking): its length, 0 when none.
    ssize_t take(void *buf, size_t cap);

private:
    int fd_ = -1;
    std::string name_;
};

}  // namespace quorsim
