// sim_internal.h - the simulator's own structures (not used outside sim/).
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

#include "quor_io.h"
#include "quor_kpt_io.h"
#include "quorsim.h"
#include "sim_board.h"
#include "sim_bridge.h"
#include "sim_iface.h"
#include "sim_netdev.h"
#include "sim_raw.h"
#include "sim_rx.h"
#include "sim_switch.h"
#include "sim_wire.h"
#include "zal_simproto.h"

namespace quorsim {

int64_t mono_ns();
int64_t real_ns();

// errno <-> symbolic name ("EBUSY"), for the control commands.
bool errno_from_name(const std::string &name, int *out);
std::string errno_name(int e);

// Splits a line into blank-separated words.
std::vector<std::string> split_words(const std::string &line);
// Request codes by name ("set_endpoint" for QUOR_SET_ENDPOINT), for the
// fault-injection command.
bool request_from_name(const std::string &name, uint32_t *code);

// Descriptors the process has open (-1 when it cannot tell).
int open_descriptors();

// Parses a whole unsigned number (base 0); false on junk or overflow.
bool parse_u64(const std::string &s, uint64_t *out);

// The shared memory of one unit: an address range reserved whole in the
// simulator, carved into page-aligned regions handed out by offset.  Each
// region is a memory object of its own (a memfd mapped at its offset), so
// that a client is given exactly the regions it owns.
class Arena {
public:
    ~Arena();
    int create(int unit, uint64_t size);
    uint64_t size() const { return size_; }
    uint8_t *at(uint64_t off) const { return base_ + off; }
    // Reserves len bytes (rounded up to pages); returns the offset or
    // QUOR_NO_REGION when the arena is exhausted.  Thread-safe.  With a
    // client (non-zero), memory that client's earlier region of the same
    // length left behind is handed out again, its old bytes and pages still
    // in place (*reused set, and *note to what the release noted), where
    // fresh memory would cost a page fault per page; no other client ever
    // gets it.
    uint64_t alloc(uint64_t len, uint64_t client = 0, bool *reused = nullptr, uint64_t *note = nullptr);
    // Returns a region and gives its memory back to the system; with
    // keep_for (a client), keeps the memory, and a note of the caller's
    // about its contents, for that client's next region of the same length
    // for a while (kept memory is bounded).
    void release(uint64_t off, uint64_t len, uint64_t keep_for = 0, uint64_t note = 0);
    // Gives back kept memory older than its time or whose client is gone,
    // or all of it (now < 0).
    void expire(int64_t now);
    // Memory objects kept for clients, and their bytes.
    size_t kept(uint64_t *bytes) const;
    // Writes zeros over len bytes of the region at off through its memory
    // object (no page of the simulator's own view is touched).
    void zero(uint64_t off, uint64_t len);
    // A new descriptor (close-on-exec; the caller closes it) of the region
    // that starts at off, and its length; -1 when no region starts there.
    int region_fd(uint64_t off, uint64_t *len) const;
    uint64_t in_use() const;
    size_t regions() const;

private:
    struct Region {
        uint64_t len = 0;
        int fd = -1;
    };
    int unit_ = 0;
    uint64_t size_ = 0;
    uint8_t *base_ = nullptr;
    mutable std::mutex mu_;
    std::map<uint64_t, uint64_t> free_; // offset -> length
    std::map<uint64_t, Region> used_;   // offset -> region
    // Memory objects kept for their client, oldest first.
    // A kept object stays mapped at its offset, page tables and all, and
    // its range stays out of the free list until it is dropped.
    struct Kept {
        uint64_t client = 0, len = 0, note = 0;
        int fd = -1;
        int64_t since = 0;
        uint64_t off = 0;
    };
    void drop(const Kept &k);
    // alloc() under the lock: the range, its object and its mapping.
    uint64_t alloc_locked(uint64_t len, uint64_t client, bool *reused, uint64_t *note);
    void free_range(uint64_t off, uint64_t len);
    std::deque<Kept> kept_;
    uint64_t kept_bytes_ = 0;
};

// Who a client process is, for keeping its memory: its process id and
// start time, so that a later process with a reused id is someone else; 0
// when it cannot be told.
uint64_t client_key(int fd);

struct Port;
struct Conn;

// Result of a request handler that keeps the request waiting.
constexpr int kPending = -1;

// The reply a parked request's check composed, when it is more than the
// request's own record and an error.
struct ParkedOut {
    bool set = false;
    std::vector<uint8_t> rec;
    std::vector<uint8_t> extra;
};

// A request whose reply is not sent yet: a wait, or a reply held back by
// the "delay" fault.
struct Parked {
    Conn *conn = nullptr;
    uint32_t seq = 0;
    uint32_t code = 0;
    int64_t deadline = -1; // monotonic ns; -1: none
    std::vector<uint8_t> rec;
    // Called when the simulator is woken or the deadline passes; returns
    // kPending to keep waiting, else the reply's error.  Null for a reply
    // that is only delayed (error in `error`).
    std::function<int(bool timed_out)> check;
    int error = 0;
    // Undoes what parking registered (waiter counts); run once when the
    // request leaves the list for any reason.
    std::function<void()> cleanup;
    std::shared_ptr<ParkedOut> out; // reply record and payload, if check set them
};

// An injection endpoint (QUOR_ES_KPT_TX) of a port.
struct SimTxEp {
    ~SimTxEp();
    Port *port = nullptr;
    uint32_t epid = 0;
    uint64_t data_off = QUOR_NO_REGION, data_size = 0;
    uint64_t desc_off = QUOR_NO_REGION, db_off = QUOR_NO_REGION, flow_off = QUOR_NO_REGION;
    uint8_t *data = nullptr;
    kpt__tx_shared_params sp = {}; // the driver's view, for its own reaping
    uint32_t consumed = 0;         // batches taken off the ring (running)
    uint32_t off = 0;              // data-ring end of the last batch taken
    bool broken = false;           // the client's block made no sense
    std::atomic<uint64_t> completions{0};
    std::atomic<uint32_t> waiters{0};
    uint64_t wait_seen = 0;   // completions when the last wait returned (server thread)
    int64_t next_intr = 0;    // the driver's next reap ("interrupt"), monotonic ns
    int64_t next_look = 0;    // next look at the posted count without a doorbell
    uint64_t bad_batches = 0;
};

// What a connection is bound to by QUOR_SET_ENDPOINT.
enum class EpKind { None, PortRx, Ring, Group, Tx, Raw };

// One client connection (an open device file).
struct Conn {
    int fd = -1;
    Port *port = nullptr;
    uint64_t id = 0;
    uint64_t client = 0; // client_key of the peer
    // Replies the socket did not take yet, each with the descriptor it
    // carries (-1: none), owned until it is sent or the client dropped.
    struct OutMsg {
        std::vector<uint8_t> bytes;
        int fd = -1;
    };
    std::deque<OutMsg> outq;
    bool closing = false;

    EpKind kind = EpKind::None;
    RxContext *ctx = nullptr; // PortRx
    bool started = false;     // PortRx: delivery requested by this endpoint
    quor_kpt_rx_params_t rx_params = {}; // PortRx: the block as received
    SimRing *ring = nullptr;  // Ring
    std::unique_ptr<SimGroup> group; // Group
    SimTxEp *tx = nullptr;    // Tx
    std::unique_ptr<SimRawEp> raw; // Raw
};

// The adapter's clock and the driver's conversion parameters for it.
struct AdapterClock {
    bool window = false; // conversion through the kernel window only
    double ppm = 0;      // oscillator error
    int64_t mono0 = 0, real0 = 0;
    int64_t offset_ns = 0; // how far the adapter's idea of host time is ahead
    uint64_t ticks0 = 0;
    // Tick count at a monotonic time.
    uint64_t ticks_at(int64_t mono) const;
    // Monotonic time of a tick count (inverse of ticks_at).
    int64_t mono_at(uint64_t ticks) const;
    // Reference of the mask mode, returned by every ring attach.
    quor_clksync_nticks_t attach_nticks() const;
};

// One simulated unit: a board with one port.
struct Port {
    int unit = 0;
    std::string sock_path;
    int listen_fd = -1;
    Arena arena;
    uint64_t nic_id = 0;
    std::atomic<uint32_t> board_type{3};
    std::atomic<uint32_t> link_up{1};
    std::atomic<uint32_t> timesource{0};
    std::atomic<uint32_t> intr_coal{0};
    std::atomic<int> refuse_errno{0};
    std::atomic<int> delay_ms{0};
    std::atomic<int> connections{0};
    std::atomic<uint64_t> requests{0};

    // Counters of the port (QUOR_KPT_GET_STATS).
    std::atomic<uint64_t> kpt_pkt_recv{0}, kpt_pkt_overflow{0}, nic_pkt_overflow{0},
        nic_pkt_bad{0}, nic_bytes_recv{0}, nic_pkt_send{0}, nic_bytes_send{0};
    std::atomic<uint64_t> link_drops{0}, soft_rx{0};

    // Receive side.  rx_mu guards contexts, queues and rings against the
    // adapter thread; the server thread takes it for attach and detach.
    std::mutex rx_mu;
    std::vector<std::unique_ptr<RxContext>> contexts;
    uint64_t vstate_off = QUOR_NO_REGION, kwindow_off = QUOR_NO_REGION,
             doorbell_off = QUOR_NO_REGION;
    uint8_t *vstate = nullptr;
    quor_kwindow_t *kwin = nullptr;
    SimRing *slot_ring[QUOR_KPT_MAX_RINGS] = {};
    // Parked waits per ring slot: the adapter wakes the server when it
    // publishes to a queue one of whose readers is waited on.
    std::atomic<uint32_t> slot_waiters[QUOR_KPT_MAX_RINGS] = {};
    std::atomic<bool> delivering{false}; // some context is started
    AdapterClock clock;

    // The wire: a frame source (generator, capture file) and frames handed
    // in by tests and the control socket.
    std::mutex wire_mu;
    std::unique_ptr<FrameSource> source;
    bool source_started = false;
    std::vector<std::vector<uint8_t>> inbox;
    // Or a real interface (iface:NAME); shared so that the adapter thread
    // can keep using one that set_wire replaces.
    std::shared_ptr<IfaceWire> iface;
    std::atomic<bool> has_iface{false};
    std::atomic<bool> inbox_full{false};

    // Transmit side: endpoints by index, under tx_mu (the adapter thread
    // takes it for each pass over the endpoints).
    std::mutex tx_mu;
    std::vector<SimTxEp *> tx_eps;
    uint64_t compl_off = QUOR_NO_REGION; // completion bytes, one per endpoint
    uint8_t *compl_bytes = nullptr;
    std::atomic<bool> txhold{false};
    std::atomic<int> peer{-1};     // port at the other end of the cable
    std::atomic<bool> pause{true}; // the cable honours flow control
    std::atomic<int64_t> tx_active_until{0}; // keep polling closely until then

    // Raw endpoints of the unit: each gets every frame arriving on the wire.
    std::mutex raw_mu;
    std::vector<SimRawEp *> raw_eps;
    std::atomic<uint32_t> raw_count{0}; // raw_eps.size(), read without the lock
    // A timestamping switch in front of the port (null until one is set; it
    // stays, off or on, as long as the port).
    std::atomic<Switch *> sw{nullptr};
    std::unique_ptr<Switch> sw_owned;

    Netdev netdev;
    std::thread adapter;
    int adapter_evfd = -1;
    // Shared-queue lock (server thread only): its holder, and the queue
    // position handed over at the last release that carried one.
    Conn *pq_holder = nullptr;
    kpt__pq_state_rw pq_state = {};
    std::map<uint32_t, int> fail_requests; // request code -> errno to answer (server thread)
    // Bytes written over a request's successful answer before it goes out:
    // a driver that answers with values a sound one never gives (server thread).
    struct AnswerPatch {
        uint32_t off = 0, len = 0;
        uint8_t bytes[8] = {};
    };
    std::multimap<uint32_t, AnswerPatch> answer_patches; // request code -> patch
    quor_kpt_rx_params_t last_rx_params = {}; // last port endpoint block received
    bool have_rx_params = false;
};

// Listener/dispatcher state; lives in the server thread.
struct Simulator::Impl {
    explicit Impl(Options o);
    ~Impl();

    int start(std::string *err);
    void stop();
    std::string command(const std::string &line);

    // ---- server thread ----
    void serve();
    void accept_client(Port &p);
    void read_client(Conn &c);
    void drop_client(Conn &c);
    // fd: a descriptor the reply carries; send_reply takes it over.
    void send_reply(Conn &c, uint32_t seq, int error, const std::vector<uint8_t> &rec,
                    std::span<const uint8_t> extra = {}, int fd = -1);
    // ZAL_SIM_MAP: the memory object of one of the caller's own regions.
    int map_region(Conn &c, std::vector<uint8_t> &rec, int *fd);
    void flush_client(Conn &c);
    void handle_request(Conn &c, uint32_t seq, uint32_t code, std::vector<uint8_t> rec,
                        std::span<const uint8_t> extra);
    int dispatch(Conn &c, uint32_t seq, uint32_t code, std::vector<uint8_t> &rec,
                 std::span<const uint8_t> extra, std::vector<uint8_t> &rep_extra);
    void run_parked(bool woken);
    void arm_timer();
    void accept_ctl();
    void read_ctl(int fd);
    std::string exec_command(const std::string &line);

    // Wakes the server thread (safe from any thread).
    void wake();

    // ---- boards (sim_board.cpp) ----
    int pci_cfg(uint32_t code, std::vector<uint8_t> &rec);

    // ---- receive side (sim_rx.cpp) ----
    int rx_port_endpoint(Conn &c, quor_kpt_rx_params_t &prm);
    int rx_attach(Conn &c, quor_kpt_rx_attach_t &at);
    void rx_detach(Conn &c);
    void rx_release_port_endpoint(Conn &c);
    int rx_start_stop(Conn &c, bool start);
    int rx_wait(Conn &c, uint32_t seq, int32_t timeout_ms);
    int rx_sync(Conn &c, const kpt__rx_sync &s);
    int rx_group_add(Conn &c, const quor_kpt_port_group_t &g);
    int soft_rx(Conn &c, const quor_soft_rx_t &r, std::span<const uint8_t> extra);
    void unbind(Conn &c);
    // Answers a connection's parked waits with an error and forgets them.
    void end_waits(Conn &c, int error);
    // Parks a wait request until check() gives a result or timeout_ms
    // passes (negative: no limit); returns kPending.
    int park_wait(Conn &c, uint32_t seq, int32_t timeout_ms, std::function<int(bool)> check,
                  std::function<void()> cleanup);
    void update_delivering(Port &p);

    // ---- shared-queue locks (sim_pq.cpp) ----
    int pq_request(Conn &c, uint32_t seq, uint32_t code, const std::vector<uint8_t> &rec);
    // Gives back every queue lock a connection holds (it is going away).
    void pq_release_all(Conn &c);
    uint32_t pq_ports(uint32_t mask) const;
    uint32_t pq_all_ports() const;
    int pq_take(Conn &c, uint32_t mask);
    int pq_lock(Conn &c, uint32_t seq, uint32_t mask, int32_t timeout_ms);
    bool pq_give(Conn &c, uint32_t mask, const kpt__pq_state_rw *state);

    // ---- transmit side (sim_tx.cpp) ----
    int tx_endpoint(Conn &c, quor_kpt_tx_params_t &prm);
    void tx_release(Conn &c);
    int tx_wait(Conn &c, uint32_t seq, int32_t timeout_ms);
    // Takes posted batches off every endpoint of a port; true if it did work.
    bool tx_poll(Port &p);
    // One endpoint: the driver's reap when due, then posted batches.  With
    // final, everything posted is sent whatever the flow control says (the
    // endpoint is being released).  Caller holds the port's tx_mu.
    bool tx_service(Port &p, SimTxEp &ep, int64_t now, bool final);
    // Frames leaving a port on its wire.
    void wire_out(Port &p, const Frame *frames, size_t n, bool need_fcs);
    // True when a port's capture queues are filling and its cable partner
    // should hold back.
    bool rx_pause_wanted(Port &p);

    // ---- raw endpoints (sim_raw.cpp) ----
    int raw_bind(Conn &c);
    void raw_release(Conn &c);
    int raw_send(Conn &c, const quor_raw_send_t &rs, std::span<const uint8_t> extra);
    int raw_next_event(Conn &c, uint32_t seq, std::vector<uint8_t> &rec,
                       std::vector<uint8_t> &rep_extra);
    // Adapter threads: frames that arrived on a port's wire.
    void raw_deliver(Port &p, const Frame *frames, size_t n);

    // ---- adapter (sim_adapter.cpp) ----
    // The host interfaces that stand for the ports when no TAP exists
    // (ZAL_SIM_HOST_IFACES); rec is the request's record.
    int host_ifaces(std::vector<uint8_t> &rec);
    int start_adapters(std::string *err);
    void stop_adapters();
    void adapter_loop(Port &p);
    void kick(Port &p);
    // Delivers frames arriving on a port's wire, through its switch when it
    // has one.  Caller holds nothing.
    void rx_deliver(Port &p, const Frame *frames, size_t n);
    // Writes frames into the port's capture queues (after the switch).
    void rx_write(Port &p, const Frame *frames, size_t n);

    // ---- timestamping switch (sim_switch.cpp) ----
    // Sends the keyframes due by `bound`; returns when the next one is due.
    int64_t switch_flush(Port &p, int64_t bound);
    // "on", "off" or KEY=VALUE,...; error text or "".
    std::string set_switch(Port &p, const std::string &spec);
    // "port P switch: ..." line.
    std::string switch_status(Port &p);
    int send_frame(int port, const uint8_t *data, size_t len);
    // Sets what arrives on a port's wire ("off" for nothing); error text or "".
    std::string set_wire(Port &p, const std::string &spec);

    Options opt;
    std::string dir;
    std::vector<std::unique_ptr<Port>> ports;
    std::map<int, std::unique_ptr<Conn>> conns; // by fd
    std::map<int, std::string> ctl_conns;       // control clients: fd -> partial line
    std::deque<Parked> parked;
    uint64_t next_conn_id = 1;
    std::string ctl_path;
    int epfd = -1, evfd = -1, timerfd = -1, ctl_fd = -1;
    int64_t timer_armed = -1; // deadline the timer is set for, -1: none
    std::thread server;
    std::atomic<bool> running{false};
    std::atomic<bool> quit{false};
    // Boards the driver says it has; -1: as many as there are ports.
    std::atomic<int> board_count{-1};
    BoardModel board; // the boards' PCI side, one per unit
    std::unique_ptr<BridgeServer> bridge; // --bridge, else null

    // Control commands handed to the server thread by command().
    struct CtlJob {
        std::string line;
        std::string reply;
        bool done = false;
    };
    std::mutex jobs_mu;
    std::condition_variable jobs_cv;
    std::deque<CtlJob *> jobs;
};

}  // namespace quorsim
