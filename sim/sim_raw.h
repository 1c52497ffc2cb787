// sim_raw.h - the simulated driver's raw frame endpoints.
#pragma once

#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

namespace quorsim {

struct Port;
struct Conn;

// One event waiting to be collected by QUOR_RAW_NEXT_EVENT.
struct RawEvent {
    uint32_t status = 0;        // 1 send completed, 2 frame received
    uint64_t context = 0;       // status 1
    uint64_t ticks = 0;         // status 1
    std::vector<uint8_t> frame; // status 2, without FCS
};

// A connection bound with QUOR_SET_RAW_ENDPOINT.  Completions are queued by
// the server thread, received frames by the adapter threads: events keeps
// them in the order they happened.
struct SimRawEp {
    static constexpr size_t kMaxFrames = 1024;      // queued frames, then overflow
    static constexpr uint32_t kMaxCompletions = 256; // uncollected, then EBUSY

    Port *port = nullptr;
    std::mutex mu; // guards everything below
    std::deque<RawEvent> events;
    size_t frames = 0;        // status-2 events in events
    uint32_t completions = 0; // status-1 events in events
    uint64_t overflow = 0;    // frames that found the queue full
    uint64_t last_ticks = 0;  // completions never go back in time
    int waiters = 0;          // parked NEXT_EVENT requests (server thread)
};

}  // namespace quorsim
