// program_runner.h - helpers for the tests of the receive, benchmark and
// generator programs: a program running in the background whose output can
// be awaited, test frames, and a receiver in the test process.
#pragma once

#include <signal.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "kpt.h"
#include "test_support.h"

namespace kpttest {

// A program started in the background with its output in files.
class BgProgram {
public:
    BgProgram(const std::vector<std::string> &argv, const std::vector<std::string> &env = {});
    ~BgProgram();
    // Waits until standard output holds text; false after timeout_ms.
    bool WaitOut(const std::string &text, int timeout_ms = 10000);
    void Signal(int sig) const;
    // Waits for the exit (SIGKILL after timeout_ms) and returns status and output.
    RunResult Finish(int timeout_ms = 20000);
    std::string Out() const;
    std::string Err() const;

private:
    TempDir dir_;
    int pid_ = -1;
};

// A test packet of len bytes whose length word says msg_len (len when 0).
std::vector<uint8_t> TestFrame(uint32_t len, uint32_t msg_len = 0);
std::string Hex(const std::vector<uint8_t> &bytes);
// Hands a frame to a port of the simulator in dir through quor_simctl.
void SendFrame(const std::string &dir, int port, const std::vector<uint8_t> &frame);

// A frame as received: its bytes.
using Frame = std::vector<uint8_t>;

// Receives on one port of the simulator in ZAL_DEV_DIR from the test
// process itself (a ring opened and started by the constructor).  A thread
// takes frames off the ring as they come, as a capture on the far end of a
// cable would: a ring nobody reads fills, and the cable's flow control then
// holds the sender back for good.
class Receiver {
public:
    explicit Receiver(int port, uint64_t ring_bytes = 64u << 20);
    ~Receiver();
    bool ok() const { return ok_; }
    // Collects frames until n have arrived or idle_ms pass without one.
    std::vector<Frame> Collect(size_t n, int idle_ms = 2000);
    // Frames with their receive timestamps (ns).
    std::vector<std::pair<Frame, uint64_t>> CollectTimed(size_t n, int idle_ms = 2000);

private:
    void Drain();
    kpt_handle_t h_ = nullptr;
    kpt_ring_t ring_ = nullptr;
    bool ok_ = false;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::pair<Frame, uint64_t>> got_; // received, not yet collected
    std::atomic<bool> stop_{false};
    std::thread drainer_;
};

// The number after "name " on the line that starts with it; -1 when absent.
long long Counter(const std::string &out, const std::string &name);

}  // namespace kpttest
