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
#include "quorsim.h"
#include "zal_simproto.h"

namespace quorsim {

int64_t mono_ns();
int64_t real_ns();

// errno <-> symbolic name ("EBUSY"), for the control commands.
bool errno_from_name(const std::string &name, int *out);
std::string errno_name(int e);

// Splits a line into blank-separated words.
std::vector<std::string> split_words(const std::string &line);
// Parses a whole unsigned number (base 0); false on junk or overflow.
bool parse_u64(const std::string &s, uint64_t *out);

// The shared memory of one unit: a sparse memfd mapped whole into the
// simulator, carved into page-aligned regions handed out by offset.
class Arena {
public:
    ~Arena();
    int create(int unit, uint64_t size);
    int fd() const { return fd_; }
    uint64_t size() const { return size_; }
    uint8_t *at(uint64_t off) const { return base_ + off; }
    // Reserves len bytes (rounded up to pages); returns the offset or
    // QUOR_NO_REGION when the arena is exhausted.  Thread-safe.
    uint64_t alloc(uint64_t len);
    // Returns a region and gives its memory back to the system.
    void release(uint64_t off, uint64_t len);
    uint64_t in_use() const;

private:
    int fd_ = -1;
    uint64_t size_ = 0;
    uint8_t *base_ = nullptr;
    mutable std::mutex mu_;
    std::map<uint64_t, uint64_t> free_; // offset -> length
};

struct Port;
struct Conn;

// Result of a request handler that keeps the request waiting.
constexpr int kPending = -1;

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
};

// One client connection (an open device file).
struct Conn {
    int fd = -1;
    Port *port = nullptr;
    uint64_t id = 0;
    std::deque<std::vector<uint8_t>> outq; // replies the socket did not take yet
    bool closing = false;
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
    void send_reply(Conn &c, uint32_t seq, int error, const std::vector<uint8_t> &rec,
                    std::span<const uint8_t> extra = {});
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

    Options opt;
    std::string dir;
    std::vector<std::unique_ptr<Port>> ports;
    std::map<int, std::unique_ptr<Conn>> conns; // by fd
    std::map<int, std::string> ctl_conns;       // control clients: fd -> partial line
    std::deque<Parked> parked;
    uint64_t next_conn_id = 1;
    std::string ctl_path;
    int epfd = -1, evfd = -1, timerfd = -1, ctl_fd = -1;
    std::thread server;
    std::atomic<bool> running{false};
    std::atomic<bool> quit{false};

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
