// sim_iface.h - a real Linux interface as a port's wire: what arrives on it
// is delivered to the port with the kernel's arrival time, what the port
// sends goes out of it.
#pragma once

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "sim_wire.h"

namespace quorsim {

class IfaceWire {
public:
    ~IfaceWire();
    IfaceWire(const IfaceWire &) = delete;
    IfaceWire &operator=(const IfaceWire &) = delete;

    // Opens a packet socket with a receive ring on the interface; null with
    // a one-line reason (no such interface, no permission) in *err.
    static std::unique_ptr<IfaceWire> open(const std::string &name, std::string *err);

    // Readable when the kernel has handed over frames.
    int fd() const { return fd_; }
    const std::string &name() const { return name_; }

    // Frames that arrived, up to max, with their arrival time on the
    // monotonic clock.  They stay valid until the next call.  Only the
    // adapter thread of the port calls this.
    size_t pull(Frame *out, size_t max);

    // Sends frames out of the interface (without FCS).  Any thread.
    void send(const Frame *frames, size_t n);

    uint64_t received() const { return received_.load(std::memory_order_relaxed); }
    // Frames the port could not take (longer than a wire carries, or cut).
    uint64_t refused() const { return refused_.load(std::memory_order_relaxed); }
    uint64_t send_errors() const { return send_errors_.load(std::memory_order_relaxed); }

private:
    IfaceWire() = default;
    // Gives blocks handed out by the last pull back to the kernel.
    void release_blocks();

    std::string name_;
    int fd_ = -1;
    int ifindex_ = 0;
    uint8_t *ring_ = nullptr;
    size_t ring_size_ = 0;
    uint32_t block_size_ = 0, block_nr_ = 0;
    uint32_t block_ = 0;          // block being read
    uint32_t pkt_left_ = 0;       // frames of it not handed out yet
    uint32_t pkt_off_ = 0;        // offset of the next one inside it
    bool reading_ = false;        // block_ is owned by us
    std::vector<uint32_t> done_;  // blocks finished in the last pull
    std::vector<uint8_t> pad_;    // zeros that pad runts
    std::atomic<uint64_t> received_{0}, refused_{0}, send_errors_{0};
};

}  // namespace quorsim
