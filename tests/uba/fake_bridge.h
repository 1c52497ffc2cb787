// fake_bridge.h - a scripted JTAG bridge for the client's tests: it listens
// on the current and/or old port of a loopback address of its own, records
// every batch it receives and answers each command through a hook (by
// default a 64 KiB memory, a fixed chain and plain grab/release).
#pragma once

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace ubatest {

struct BridgeCmd {
    uint32_t slot = 0, command = 0, rxlen = 0, txlen = 0;
    std::vector<uint8_t> payload;
};
struct BridgeBatch {
    uint16_t port = 0;   // 1975 or 1971
    uint32_t id = 0;     // old protocol marker as received (big-endian value)
    std::vector<BridgeCmd> cmds;
};
struct BridgeReply {
    int32_t result = 0;
    std::vector<uint8_t> bytes; // sent after the result word
    bool reset = false;         // answer with a connection reset instead
    bool hang_up = false;       // close the connection instead
};

// A loopback address no other test of this run is likely to use.
inline std::string PrivateLoopback()
{
    static std::atomic<unsigned> seq{0};
    unsigned v = unsigned(getpid()) * 7919u + seq++ * 104729u;
    return "127." + std::to_string(1 + v % 250) + "." + std::to_string((v / 250) % 256) + "." +
           std::to_string(1 + (v / 64000) % 250);
}

class FakeBridge {
public:
    std::vector<uint8_t> mem = std::vector<uint8_t>(0x10000, 0);
    std::vector<uint8_t> chain; // what a scan read answers
    std::function<BridgeReply(const BridgeCmd &)> answer;

    FakeBridge(bool current, bool old) : host_(PrivateLoopback())
    {
        for (uint8_t i = 0; i < 77; ++i) chain.push_back(uint8_t(0x30 + i));
        answer = [this](const BridgeCmd &c) { return Default(c); };
        if (current) Listen(1975);
        if (old) Listen(1971);
        thread_ = std::thread([this] { Serve(); });
    }
    ~FakeBridge()
    {
        stop_ = true;
        thread_.join();
        for (int fd : listen_) close(fd);
    }
    const std::string &host() const { return host_; }
    // Held while setting answer, mem or chain once the bridge serves.
    std::unique_lock<std::mutex> Lock() { return std::unique_lock<std::mutex>(mu_); }
    std::vector<BridgeBatch> batches()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return batches_;
    }
    size_t batch_count()
    {
        std::lock_guard<std::mutex> lk(mu_);
        return batches_.size();
    }

    BridgeReply Default(const BridgeCmd &c)
    {
        BridgeReply r;
        const auto &p = c.payload;
        if (c.command != 101) {
            r.bytes = {0};
        } else if (p.size() >= 9 && p[0] == ':' && p[1] == ':') {
            uint32_t a = uint32_t(p[3]) << 24 | uint32_t(p[4]) << 16 | uint32_t(p[5]) << 8 | p[6];
            unsigned n = unsigned(p[7]) << 8 | p[8];
            r.bytes = {0};
            for (unsigned i = 0; i < n; ++i) r.bytes.push_back(mem[(a + i) & 0xffff]);
        } else if (p.size() >= 9 && p[0] == 'Z' && p[1] == 'Z') {
            uint32_t a = uint32_t(p[3]) << 24 | uint32_t(p[4]) << 16 | uint32_t(p[5]) << 8 | p[6];
            for (size_t i = 9; i < p.size(); ++i) mem[(a + i - 9) & 0xffff] = p[i];
            r.bytes = {0};
        } else if (p.size() == 6 && p[0] == 0xC5) {
            r.bytes = chain;
            r.bytes.push_back(0);
        } else {
            r.bytes = {1}; // scan done
        }
        r.result = int32_t(r.bytes.size());
        return r;
    }

private:
    void Listen(uint16_t port)
    {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, host_.c_str(), &a.sin_addr);
        if (bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) != 0 || listen(fd, 8) != 0) {
            ADD_FAILURE() << "cannot listen on " << host_ << ":" << port;
            close(fd);
            return;
        }
        listen_.push_back(fd);
        ports_.push_back(port);
    }
    bool ReadAll(int fd, void *buf, size_t len)
    {
        size_t got = 0;
        while (got < len) {
            pollfd p = {fd, POLLIN, 0};
            if (poll(&p, 1, 100) == 0) {
                if (stop_) return false;
                continue;
            }
            ssize_t r = recv(fd, static_cast<char *>(buf) + got, len - got, 0);
            if (r <= 0) return false;
            got += size_t(r);
        }
        return true;
    }
    static uint32_t Be(const uint8_t *p) { return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | p[3]; }
    void Serve()
    {
        while (!stop_) {
            std::vector<pollfd> pf;
            for (int fd : listen_) pf.push_back({fd, POLLIN, 0});
            if (poll(pf.data(), pf.size(), 100) <= 0) continue;
            for (size_t k = 0; k < pf.size(); ++k) {
                if (!(pf[k].revents & POLLIN)) continue;
                int c = accept(listen_[k], nullptr, nullptr);
                if (c >= 0) Session(c, ports_[k]);
            }
        }
    }
    // Batches until the client goes away (or the connection is dropped).
    void Session(int fd, uint16_t port)
    {
        for (;;) {
            BridgeBatch b;
            b.port = port;
            uint8_t w[4];
            if (port == 1971) {
                if (!ReadAll(fd, w, 4)) break;
                b.id = Be(w);
            }
            if (!ReadAll(fd, w, 4)) break;
            uint32_t n = Be(w);
            if (n == 0 || n > 32) break;
            for (uint32_t i = 0; i < n; ++i) {
                uint8_t h[16];
                if (!ReadAll(fd, h, 16)) goto out;
                BridgeCmd c;
                c.slot = Be(h), c.command = Be(h + 4), c.rxlen = Be(h + 8), c.txlen = Be(h + 12);
                b.cmds.push_back(c);
            }
            for (auto &c : b.cmds) {
                if (c.txlen > 4096) goto out;
                c.payload.resize(c.txlen);
                if (c.txlen && !ReadAll(fd, c.payload.data(), c.txlen)) goto out;
            }
            {
                std::lock_guard<std::mutex> lk(mu_);
                batches_.push_back(b);
            }
            for (auto &c : b.cmds) {
                BridgeReply r;
                {
                    // The test sets answer, mem and chain under the same lock:
                    // its client may run in a child process, which orders
                    // nothing for this thread.
                    std::lock_guard<std::mutex> lk(mu_);
                    r = answer(c);
                }
                if (r.reset) {
                    linger l = {1, 0};
                    setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                    goto out;
                }
                if (r.hang_up) goto out;
                uint8_t word[4] = {uint8_t(uint32_t(r.result) >> 24), uint8_t(uint32_t(r.result) >> 16),
                                   uint8_t(uint32_t(r.result) >> 8), uint8_t(r.result)};
                std::vector<uint8_t> out(word, word + 4);
                out.insert(out.end(), r.bytes.begin(), r.bytes.end());
                if (send(fd, out.data(), out.size(), MSG_NOSIGNAL) != ssize_t(out.size())) goto out;
            }
        }
    out:
        close(fd);
    }

    std::string host_;
    std::vector<int> listen_;
    std::vector<uint16_t> ports_;
    std::atomic<bool> stop_{false};
    std::mutex mu_;
    std::vector<BridgeBatch> batches_;
    std::thread thread_;
};

}  // namespace ubatest
