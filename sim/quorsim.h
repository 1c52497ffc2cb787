// quorsim.h - the simulated driver, adapter and wire behind quor_simd.
//
// The same engine serves the quor_simd program and the tests that run a
// simulator inside their own process.  A Simulator owns one device directory:
// it creates a listening socket per unit there ("<dir>/quor<L>p<unit>"), a
// control socket ("<dir>/quorsim.ctl"), and serves the driver requests of
// every client that connects, from its own threads.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace quorsim {

struct Options {
    std::string dir;          // device directory; empty: $ZAL_DEV_DIR or /dev
    int ports = 2;            // simulated units (one port each)
    char letter = 'C';        // device letter of the socket names
    uint32_t driver_api = 0x0400;  // interface version reported by the driver
    std::string driver_version;    // empty: the library's version string
    std::string driver_build;      // empty: the library's build string
    uint32_t board_type = 3;
    uint32_t max_endpoints = 48;   // QUOR_GET_MAX_ENDPOINTS answer
    uint32_t intr_coal = 20;       // initial interrupt coalescing value (us)
    bool netdev = false;           // one TAP interface per port
    std::string netdev_prefix = "quor";
    std::vector<std::string> wires; // "PORT=SPEC" wire settings
    bool clock_window = false;     // kernel-window clock conversion mode
    double clock_ppm = 0.0;        // adapter oscillator error, parts per million
    bool rss_hw = false;           // per-ring queues spread by the adapter
    uint64_t max_ring_mib = 1024;  // largest data ring a ring attach gets
    uint64_t clock_start = 0;      // adapter tick count at start
    std::vector<std::string> boards; // "UNIT=SETTINGS" board settings
    int64_t clock_offset_ns = 0;   // ring timestamps read this far ahead of the host clock
    std::vector<std::string> switches; // "PORT=SETTINGS" timestamping switches
    std::string bridge;            // "ADDR[,old]": serve a JTAG bridge there
};

// Usage text of quor_simd (ends with a newline).
const char *usage_text();

// Parses quor_simd's command line into *o.  0 on success, otherwise 2 with a
// one-line reason in *err; argv[0] is skipped.  "--help" gives 1.
int parse_args(int argc, char **argv, Options *o, std::string *err);

class Simulator {
public:
    explicit Simulator(Options o);
    ~Simulator();
    Simulator(const Simulator &) = delete;
    Simulator &operator=(const Simulator &) = delete;

    // Creates the socket files and starts serving.  0, or an errno with a
    // reason in *err.  The units accept connections when this returns.
    int start(std::string *err = nullptr);
    // Stops serving, closes every client, removes the socket files.
    void stop();

    const Options &options() const;
    const std::string &dir() const;

    // Runs one control command (the text quor_simctl sends, without the
    // newline) and returns its reply: lines ending in "\n", the last one
    // "ok" or "error: <reason>".
    std::string command(const std::string &line);

    // Number of client connections currently open on a unit.
    int connections(int unit) const;

    // Hands a frame (without FCS) to a port as if it arrived on its wire.
    // 0, or EINVAL for a bad port or length.
    int send_frame(int port, const void *frame, size_t len);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace quorsim
