// sim_switch.h - a timestamping switch in front of a simulated port.
//
// Every frame that reaches the port passes it: the switch appends the low 31
// bits of its tick counter (350 MHz, with a rate error) as a 4-byte trailer
// before a recomputed FCS, and every period it sends the port a keyframe
// (IPv4 protocol 253) that ties a full tick count to UTC.  Frames and
// keyframes leave the switch in time order.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <vector>

#include "sim_wire.h"

namespace quorsim {

struct SwitchSettings {
    uint32_t period_ms = 1000; // between keyframes; 0: none
    int64_t offset_ns = 0;     // switch UTC minus host real time
    int64_t mppm = 0;          // tick rate error, thousandths of a ppm
    bool skew = false;         // keyframes carry the rate as a ratio
    bool ptp = true;           // keyframes say the switch is synchronised
    uint8_t mode = 1;          // the keyframes' fcs type
    uint64_t miss = 0;         // every miss-th keyframe is not sent
    uint64_t bad = 0;          // every bad-th keyframe sent is 2 bytes short
    uint16_t id = 1;
    int32_t swport = -1;          // -1: the port's own number
    uint32_t kfdst = 0x01010100;  // keyframe destination (host order)
    // Set by a "ticks=N" setting: the counter is set to N when applied.
    bool set_ticks = false;
    uint64_t ticks = 0;
};

// Applies "on" or "KEY=VALUE,..." to *s (keys not given keep their values).
// Empty on success, else a one-line reason (and *s is unchanged).
std::string parse_switch_settings(const std::string &text, SwitchSettings *s);
// The settings as KEY=VALUE,... (ticks excluded).
std::string switch_settings_text(const SwitchSettings &s, int port);

// Ticks of a 350 MHz counter with a rate error of mppm/1e9, mono_ns after a
// reference (negative before it), rounded down.
uint64_t switch_ticks(uint64_t base, int64_t mono_ns, int64_t mppm);

class Switch {
public:
    // A switch in front of port `port` whose MAC is `mac`; `link_drops` is
    // the port's count of frames lost to a down link.
    Switch(int port, const uint8_t mac[6], const std::atomic<uint64_t> *link_drops);

    std::mutex mu; // held across stamping and delivery, so order holds

    // Under mu.  Takes new settings (with set_ticks: sets the counter) and
    // turns the switch on; the clock runs on.
    void apply(const SwitchSettings &s, int64_t now);
    void turn_off() { on_.store(false, std::memory_order_release); }
    void turn_on(int64_t now);
    bool on() const { return on_.load(std::memory_order_acquire); }
    const SwitchSettings &settings() const { return s_; }

    // Under mu.  The frames of `in` (arriving at now, or at their own time)
    // stamped, with the keyframes due before each merged in.  The result
    // stays valid until the next call.
    const std::vector<Frame> &stamp(const Frame *in, size_t n, int64_t now);
    // Under mu.  Keyframes due at or before `bound`.
    const std::vector<Frame> &keyframes_until(int64_t bound);
    // Monotonic time of the next keyframe, or INT64_MAX.
    int64_t next_keyframe() const { return next_kf_.load(std::memory_order_relaxed); }

    // "SETTINGS; keyframes N, missed M, bad B, stamped F, dropped D, ticks T"
    std::string status(int64_t now);

    // Counter value at a monotonic time (under mu).
    uint64_t ticks_at(int64_t mono) const { return switch_ticks(ticks0_, mono - mono0_, s_.mppm); }
    // UTC at a monotonic time.
    uint64_t utc_at(int64_t mono) const;

private:
    void emit_due(int64_t upto);
    void emit_keyframe(int64_t at);

    int port_;
    uint8_t mac_[6];
    const std::atomic<uint64_t> *link_drops_;
    uint64_t drops0_;
    SwitchSettings s_;
    std::atomic<bool> on_{false};

    int64_t mono0_ = 0;   // clock reference
    uint64_t ticks0_ = 0; // counter at mono0_
    int64_t real_minus_mono_ = 0;
    int64_t last_ = 0;    // latest time stamped or sent
    std::atomic<int64_t> next_kf_{INT64_MAX};
    int64_t kf_seq_ = 0;  // keyframes due so far
    int64_t kf_sent_ = 0;
    bool bit7_ = false;

    std::atomic<uint64_t> keyframes_{0}, missed_{0}, bad_{0}, stamped_{0};

    std::vector<Frame> out_;
    std::vector<std::array<uint8_t, 4>> trailers_;
    std::deque<std::array<uint8_t, 104>> kfbuf_; // stable while frames point at it
};

}  // namespace quorsim
