// sim_bridge.h - a JTAG bridge in front of the simulated boards.
//
// It serves the bridge protocol on ADDR:1975 (one connection, batch after
// batch) and ADDR:1971 (the old protocol: a connection per batch, commands
// only while the scan process is grabbed).  Bridge slot s + 1 is board s;
// only JTAG port 0 is wired.  Memory packets reach the board through the
// same path as the vendor window; a scan read answers the board's bridge
// chain.
//
// Everything a client sends is checked before anything runs: at most 32
// commands and 4096 payload bytes a batch, every length inside its packet.
// A batch that fails a check gets -1 for each of its commands and runs
// nothing; a batch that cannot even be framed also loses its connection.
#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace quorsim {

class BoardModel;

// "A.B.C.D" or "A.B.C.D,old"; false when it is neither.  Either out pointer
// may be null.
bool parse_bridge_spec(const std::string &spec, in_addr *addr, bool *old_only);

class BridgeServer {
public:
    static constexpr uint16_t kPortCurrent = 1975;
    static constexpr uint16_t kPortOld = 1971;
    static constexpr uint32_t kMaxCommands = 32;
    static constexpr uint32_t kMaxPayload = 4096;

    BridgeServer(BoardModel &board, int boards) : board_(board), boards_(boards) {}
    ~BridgeServer() { stop(); }
    // Listens and serves from a thread of its own; 0 or an errno with *err.
    int start(const std::string &spec, std::string *err);
    void stop();

    // The next n memory packets answer status 3 without running.
    void set_busy(uint32_t n) { busy_ = n; }
    // The next n grabs are answered by a connection reset.
    void set_grabfail(uint32_t n) { grabfail_ = n; }

private:
    struct Cmd {
        uint32_t slot, command, rxlen, txlen;
        const uint8_t *payload;
    };
    void serve();
    void session(int fd, bool old);
    // Runs a checked batch and builds its replies; false: the connection
    // is to be reset (a failed grab).
    bool run(const std::vector<Cmd> &cmds, bool old, std::vector<uint8_t> *out);
    bool valid(const std::vector<Cmd> &cmds, bool old) const;

    BoardModel &board_;
    int boards_;
    std::vector<int> listen_;
    std::vector<bool> listen_old_;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::atomic<uint32_t> busy_{0}, grabfail_{0};
    std::atomic<bool> grabbed_{false}; // old protocol's scan process
    std::mutex run_mu_;                // one batch at a time reaches the boards
    std::mutex mu_;                    // the sessions and their sockets
    std::vector<std::thread> sessions_;
    std::vector<int> session_fds_;     // -1: the session has ended
    std::atomic<bool> stopping_{false};
};

}  // namespace quorsim
