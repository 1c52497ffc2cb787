// sim_rx.h - the receive half of the simulated adapter: capture contexts of
// a port, their queues in shared memory, and the rings that read them.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "quor_io.h"
#include "sim_wire.h"

namespace quorsim {

struct Port;
struct Conn;
struct RxContext;
struct SimRing;

// Data-ring bytes in front of the ring proper, where the library makes a
// packet that wraps the ring end contiguous: at least one largest slot.
constexpr uint64_t kRxPreamble = 16384;
static_assert(kRxPreamble >= quor_kpt_rpd_length_up(QUOR_MAX_FRAME + QUOR_FCS_LEN));

// Offset of the data-page counter in the receive-info page.
constexpr uint64_t kRecvInfoPgOffset = 64;

// Rate of the adapter clock: 6.4 ns per tick.
constexpr uint32_t kTickNum = 32, kTickDen = 5;
// Width of the adapter tick counter in the mask conversion mode.
constexpr uint64_t kTickMask = (1ull << 48) - 1;

// One descriptor queue and data ring in shared memory, written by the
// adapter and read by one ring (or by every ring of a shared queue).
struct RxQueue {
    ~RxQueue();
    Port *port = nullptr;
    // Regions (arena offsets) and their addresses in the simulator.
    uint64_t desc_off = QUOR_NO_REGION, desc_size = 0;
    uint64_t data_off = QUOR_NO_REGION, data_size = 0; // data_off: preamble first
    uint64_t info_off = QUOR_NO_REGION;
    uint32_t n_desc = 0;
    nfw_kpt_rx_desc_t *desc = nullptr;
    uint8_t *ring = nullptr; // data ring proper (after the preamble)
    uint8_t *info = nullptr;

    // Writer state, under the port's rx lock.
    uint64_t data_head = 0;     // bytes written, the open descriptor included
    // Bytes covered by published descriptors; written by the adapter under
    // the rx lock, read without it by the server's synchronisation handler.
    std::atomic<uint64_t> pub_data_head{0};
    std::atomic<uint64_t> desc_written{0};
    uint32_t open_cnt = 0, open_total = 0;
    uint16_t open_lens[QUOR_KPT_DESC_MAX_PKTS] = {};
    int64_t open_arrival = 0;  // arrival time the open descriptor carries; 0: now
    uint64_t min_tail = 0;     // release point of the slowest reader (cached)
    uint64_t min_desc = 0;     // descriptors consumed by the slowest reader (cached)

    std::vector<SimRing *> readers;
    // The client every reader so far belongs to (0: several, or not known);
    // its memory is kept for it when the queue goes.  stale: the data ring
    // reuses that client's earlier memory, whose bytes lie beyond what this
    // queue has written.
    uint64_t owner = 0;
    bool stale = false;
};

// Recomputes a queue's release point and consumed descriptor count from its
// readers' state slots (the slowest reader counts).  Caller holds the port's
// rx lock.
void refresh_release(RxQueue &q);

// A ring attached to a port (QUOR_ES_KPT_RX_RING).
struct SimRing {
    RxContext *ctx = nullptr;
    Conn *conn = nullptr;
    int slot = -1;    // port_ring_id: state slot index within the port
    int ring_id = -1; // id within the context
    RxQueue *q = nullptr;
    std::unique_ptr<RxQueue> own_q; // per-ring queue, when not shared
    kpt__rx_state *st = nullptr;    // the ring's state slot
    uint64_t tail_seen = 0;         // release point accepted so far
    uint64_t desc_seen = 0;         // descriptors consumed accepted so far
    // Release point from the last synchronisation request; set by the
    // server thread without the rx lock, read by the adapter.
    std::atomic<uint64_t> synced_tail{0};
    uint32_t open_flags = 0;
};

// The capture configuration of a port for one application id: created by the
// first port endpoint, shared by the rings attached to it.
struct RxContext {
    Port *port = nullptr;
    int32_t app_id = -1;
    quor_kpt_rx_params_t params = {}; // values in force
    bool shared = false;              // one queue read by every ring
    bool hw_rss = false;              // per-ring queues spread by the adapter's hash
    int port_endpoints = 0;
    int started = 0; // port endpoints that asked for delivery
    int refs = 0;    // port endpoints + rings
    std::unique_ptr<RxQueue> shared_q;
    std::map<int, SimRing *> rings; // by ring id
};

// A ring group endpoint (QUOR_ES_KPT_RX_GROUP): rings of several ports
// waited on together.
struct SimGroup {
    struct Member {
        int port = -1;
        int slot = -1;
    };
    std::vector<Member> members;
};

}  // namespace quorsim
