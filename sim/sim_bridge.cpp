// sim_bridge.cpp - the simulated JTAG bridge (see sim_bridge.h).
#include "sim_bridge.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>

#include "sim_board.h"
#include "sim_wire_impl.h"

namespace quorsim {

namespace {

constexpr uint32_t kOldId = 0x5EB;
constexpr unsigned kMaxChunk = 256;     // bytes of one memory packet
constexpr unsigned kMaxReply = 1024;    // a client's reply slot
constexpr size_t kMaxSessions = 16;     // connections served at once
enum : uint32_t { kGrab = 1, kRelease = 2, kData = 101 };
enum : uint8_t { kOk = 0, kNoPort = 1, kBusy = 3 };

uint32_t be32(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
unsigned be16(const uint8_t *p) { return unsigned(p[0]) << 8 | p[1]; }

bool read_full(int fd, void *buf, size_t len)
{
    size_t got = 0;
    while (got < len) {
        ssize_t r = recv(fd, static_cast<char *>(buf) + got, len - got, 0);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        got += size_t(r);
    }
    return true;
}

void put_result(std::vector<uint8_t> *out, int32_t v)
{
    const uint32_t u = uint32_t(v);
    out->insert(out->end(), {uint8_t(u >> 24), uint8_t(u >> 16), uint8_t(u >> 8), uint8_t(u)});
}

// -1 for each of n commands (at least one, so the client hears something).
std::vector<uint8_t> refusal(uint32_t n)
{
    std::vector<uint8_t> out;
    for (uint32_t i = 0; i < (n ? n : 1); ++i) put_result(&out, -1);
    return out;
}

bool send_all(int fd, const std::vector<uint8_t> &b)
{
    size_t off = 0;
    while (off < b.size()) {
        ssize_t r = send(fd, b.data() + off, b.size() - off, MSG_NOSIGNAL);
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) return false;
        off += size_t(r);
    }
    return true;
}

enum class Packet { bad, write, read, scan, done };

// What a data packet is; lengths are checked against the payload and the
// reply the client has room for.
Packet classify(const uint8_t *p, uint32_t txlen, uint32_t rxlen, unsigned *len)
{
    if (txlen >= 9 && p[0] == 'Z' && p[1] == 'Z') {
        *len = be16(p + 7);
        return *len <= kMaxChunk && txlen == 9 + *len && rxlen >= 1 ? Packet::write : Packet::bad;
    }
    if (txlen == 9 && p[0] == ':' && p[1] == ':') {
        *len = be16(p + 7);
        return *len <= kMaxChunk && rxlen >= *len + 1 ? Packet::read : Packet::bad;
    }
    if (txlen == 6 && p[0] == 0xC5 && p[1] == 0xC5 && p[3] == 0x0D) {
        *len = unsigned(p[4]) | unsigned(p[5]) << 8;
        return *len >= 1 && *len + 1 <= kMaxReply && rxlen >= *len + 1 ? Packet::scan : Packet::bad;
    }
    if (txlen == 3 && p[0] == 0xA5 && p[1] == 0xA5 && p[2] == 0x01) return rxlen >= 1 ? Packet::done : Packet::bad;
    return Packet::bad;
}

}  // namespace

bool parse_bridge_spec(const std::string &spec, in_addr *addr, bool *old_only)
{
    std::string a = spec;
    bool old = false;
    if (auto comma = spec.find(','); comma != std::string::npos) {
        if (spec.substr(comma + 1) != "old") return false;
        a = spec.substr(0, comma);
        old = true;
    }
    in_addr ia;
    if (inet_pton(AF_INET, a.c_str(), &ia) != 1) return false;
    if (addr) *addr = ia;
    if (old_only) *old_only = old;
    return true;
}

int BridgeServer::start(const std::string &spec, std::string *err)
{
    in_addr ia;
    bool old_only;
    if (!parse_bridge_spec(spec, &ia, &old_only)) {
        *err = "bad bridge address: " + printable(spec);
        return EINVAL;
    }
    for (uint16_t port : {kPortCurrent, kPortOld}) {
        if (port == kPortCurrent && old_only) continue;
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in sa = {};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        sa.sin_addr = ia;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr *>(&sa), sizeof sa) != 0 || listen(fd, 16) != 0) {
            int e = errno;
            if (fd >= 0) close(fd);
            *err = "bridge on " + printable(spec) + ":" + std::to_string(port) + ": " + strerror(e);
            stop();
            return e;
        }
        listen_.push_back(fd);
        listen_old_.push_back(port == kPortOld);
    }
    if (pipe2(wake_, O_CLOEXEC) != 0) {
        int e = errno;
        *err = std::string("bridge: ") + strerror(e);
        stop();
        return e;
    }
    thread_ = std::thread([this] { serve(); });
    return 0;
}

void BridgeServer::stop()
{
    stopping_ = true;
    if (wake_[1] >= 0) {
        char c = 0;
        (void)!write(wake_[1], &c, 1);
    }
    if (thread_.joinable()) thread_.join();
    {
        std::lock_guard<std::mutex> lk(mu_);
        for (int fd : session_fds_)
            if (fd >= 0) shutdown(fd, SHUT_RDWR);
    }
    for (auto &t : sessions_)
        if (t.joinable()) t.join();
    sessions_.clear();
    session_fds_.clear();
    for (int fd : listen_) close(fd);
    listen_.clear();
    listen_old_.clear();
    for (int &fd : wake_) {
        if (fd >= 0) close(fd);
        fd = -1;
    }
}

void BridgeServer::serve()
{
    while (!stopping_) {
        // With every session slot taken, new connections wait in the
        // listen queue until one ends.
        bool room;
        {
            std::lock_guard<std::mutex> lk(mu_);
            room = session_fds_.size() < kMaxSessions;
            for (int fd : session_fds_) room = room || fd < 0;
        }
        std::vector<pollfd> pf;
        if (room)
            for (int fd : listen_) pf.push_back({fd, POLLIN, 0});
        pf.push_back({wake_[0], POLLIN, 0});
        if (poll(pf.data(), pf.size(), room ? -1 : 20) <= 0) continue;
        if (pf.back().revents) break;
        for (size_t k = 0; k + 1 < pf.size(); ++k) {
            if (!(pf[k].revents & POLLIN)) continue;
            int c = accept4(listen_[k], nullptr, nullptr, SOCK_CLOEXEC);
            if (c < 0) continue;
            std::lock_guard<std::mutex> lk(mu_);
            // Slots of finished sessions are used again.
            size_t slot = session_fds_.size();
            for (size_t i = 0; i < session_fds_.size(); ++i)
                if (session_fds_[i] < 0) {
                    slot = i;
                    break;
                }
            if (slot == kMaxSessions) {
                close(c);
                continue;
            }
            if (slot == session_fds_.size()) {
                session_fds_.push_back(c);
                sessions_.emplace_back();
            } else {
                sessions_[slot].join();
                session_fds_[slot] = c;
            }
            const bool old = listen_old_[k];
            sessions_[slot] = std::thread([this, c, old, slot] {
                session(c, old);
                std::lock_guard<std::mutex> l2(mu_);
                close(c);
                session_fds_[slot] = -1;
            });
        }
    }
}

void BridgeServer::session(int fd, bool old)
{
    std::vector<uint8_t> head, payload, out;
    for (;;) {
        uint8_t w[8];
        if (!read_full(fd, w, old ? 8 : 4)) return;
        const uint32_t id = old ? be32(w) : kOldId;
        const uint32_t n = be32(w + (old ? 4 : 0));
        // Nothing after a header that cannot be framed can be trusted.
        if (n == 0 || n > kMaxCommands) {
            send_all(fd, refusal(n > kMaxCommands ? kMaxCommands : n));
            return;
        }
        head.resize(size_t(n) * 16);
        if (!read_full(fd, head.data(), head.size())) return;
        std::vector<Cmd> cmds(n);
        uint64_t total = 0;
        for (uint32_t i = 0; i < n; ++i) {
            const uint8_t *h = head.data() + 16 * i;
            cmds[i] = {be32(h), be32(h + 4), be32(h + 8), be32(h + 12), nullptr};
            total += cmds[i].txlen;
        }
        if (total > kMaxPayload || id != kOldId) {
            send_all(fd, refusal(n));
            return;
        }
        payload.resize(size_t(total));
        if (total && !read_full(fd, payload.data(), payload.size())) return;
        size_t at = 0;
        for (Cmd &c : cmds) {
            c.payload = payload.data() + at;
            at += c.txlen;
        }
        out.clear();
        {
            std::lock_guard<std::mutex> lk(run_mu_);
            if (!valid(cmds, old)) {
                out = refusal(n);
            } else if (!run(cmds, old, &out)) {
                linger l = {1, 0}; // the close below resets the connection
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                return;
            }
        }
        if (!send_all(fd, out)) return;
        // The old protocol's client closes after each batch; the next read
        // sees it.
    }
}

bool BridgeServer::valid(const std::vector<Cmd> &cmds, bool old) const
{
    bool grabbed = grabbed_;
    for (const Cmd &c : cmds) {
        if (c.slot < 1 || c.slot > uint32_t(boards_)) return false;
        if (c.command == kGrab || c.command == kRelease) {
            if (!old || c.txlen != 0 || c.rxlen < 1) return false;
            grabbed = c.command == kGrab;
            continue;
        }
        if (c.command != kData || (old && !grabbed)) return false;
        unsigned len;
        if (classify(c.payload, c.txlen, c.rxlen, &len) == Packet::bad) return false;
    }
    return true;
}

bool BridgeServer::run(const std::vector<Cmd> &cmds, bool, std::vector<uint8_t> *out)
{
    for (const Cmd &c : cmds) {
        const int u = int(c.slot) - 1;
        std::vector<uint8_t> r;
        if (c.command == kGrab) {
            if (grabfail_ > 0) {
                --grabfail_;
                return false;
            }
            grabbed_ = true;
            r = {kOk};
        } else if (c.command == kRelease) {
            grabbed_ = false;
            r = {kOk};
        } else {
            const uint8_t *p = c.payload;
            unsigned len = 0;
            const Packet k = classify(p, c.txlen, c.rxlen, &len);
            const uint32_t a = k == Packet::read || k == Packet::write ? be32(p + 3) : 0;
            uint8_t status = kOk;
            if ((k == Packet::read || k == Packet::write) && busy_ > 0) {
                --busy_;
                status = kBusy;
            } else if ((k == Packet::read || k == Packet::write) && p[2] != 0) {
                status = kNoPort;
            }
            switch (k) {
            case Packet::write:
                if (status == kOk) board_.mem_write(u, a, p + 9, len);
                r = {status};
                break;
            case Packet::read:
                r.assign(size_t(len) + 1, 0);
                r[0] = status;
                if (status == kOk) board_.mem_read(u, a, r.data() + 1, len);
                break;
            case Packet::scan: {
                // Port p[2]/2; only port 0 has a chain behind it.
                r.assign(size_t(len) + 1, 0);
                if (p[2] == 0) {
                    std::vector<uint8_t> img = board_.scan_image(u, ScanChain::jtag);
                    memcpy(r.data(), img.data(), img.size() < len ? img.size() : len);
                }
                break;
            }
            case Packet::done:
            case Packet::bad: // checked before: not reached
                r = {1};
                break;
            }
        }
        put_result(out, int32_t(r.size()));
        out->insert(out->end(), r.begin(), r.end());
    }
    return true;
}

}  // namespace quorsim
