#include "program_runner.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <sstream>

extern char **environ;

namespace kpttest {

BgProgram::BgProgram(const std::vector<std::string> &argv, const std::vector<std::string> &env)
{
    std::vector<std::string> args = argv, envs;
    for (char **e = environ; *e; ++e) envs.push_back(*e);
    envs.insert(envs.end(), env.begin(), env.end());
    std::vector<char *> ca, ce;
    for (auto &s : args) ca.push_back(s.data());
    ca.push_back(nullptr);
    for (auto &s : envs) ce.push_back(s.data());
    ce.push_back(nullptr);
    std::string out = dir_.file("out"), err = dir_.file("err");
    pid_ = fork();
    if (pid_ == 0) {
        int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(o, 1);
        dup2(e, 2);
        execve(ca[0], ca.data(), ce.data());
        _exit(127);
    }
}

BgProgram::~BgProgram()
{
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
}

std::string BgProgram::Out() const { return ReadFile(dir_.file("out")); }
std::string BgProgram::Err() const { return ReadFile(dir_.file("err")); }

bool BgProgram::WaitOut(const std::string &text, int timeout_ms)
{
    int64_t end = MonoNs() + int64_t(timeout_ms) * 1000000;
    while (MonoNs() < end) {
        if (Out().find(text) != std::string::npos) return true;
        if (pid_ > 0 && waitpid(pid_, nullptr, WNOHANG | WNOWAIT | __WALL) == pid_) {
            // Ended: one last look.
            return Out().find(text) != std::string::npos;
        }
        usleep(2000);
    }
    return false;
}

void BgProgram::Signal(int sig) const
{
    if (pid_ > 0) kill(pid_, sig);
}

RunResult BgProgram::Finish(int timeout_ms)
{
    RunResult r;
    r.status = WaitChild(pid_, timeout_ms);
    pid_ = -1;
    r.out = Out();
    r.err = Err();
    return r;
}

std::vector<uint8_t> TestFrame(uint32_t len, uint32_t msg_len)
{
    std::vector<uint8_t> f(len, 0);
    if (len >= 14) {
        f[12] = 0x08;
        f[13] = 0x00;
    }
    if (len >= 48) {
        uint32_t m = msg_len ? msg_len : len;
        f[44] = uint8_t(m >> 24);
        f[45] = uint8_t(m >> 16);
        f[46] = uint8_t(m >> 8);
        f[47] = uint8_t(m);
        for (uint32_t i = 0; 48 + 4 * i + 4 <= len; ++i)
            for (int b = 0; b < 4; ++b) f[48 + 4 * i + b] = uint8_t(i >> (8 * b));
    }
    return f;
}

std::string Hex(const std::vector<uint8_t> &bytes)
{
    static const char d[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : bytes) {
        s.push_back(d[b >> 4]);
        s.push_back(d[b & 15]);
    }
    return s;
}

void SendFrame(const std::string &dir, int port, const std::vector<uint8_t> &frame)
{
    auto r = RunProgram({BinPath("quor_simctl"), "--dir", dir, "send", std::to_string(port), Hex(frame)});
    EXPECT_EQ(r.status, 0) << r.err;
}

Receiver::Receiver(int port, uint64_t ring_bytes)
{
    if (kpt_init(KPT_API_VERSION) != 0) return;
    if (kpt_open(uint32_t(port), 1, nullptr, ring_bytes, 0, &h_) != 0) return;
    if (kpt_ring_open(h_, &ring_) != 0) return;
    ok_ = kpt_start(h_) == 0;
    if (ok_) drainer_ = std::thread([this] { Drain(); });
}

Receiver::~Receiver()
{
    stop_ = true;
    if (drainer_.joinable()) drainer_.join();
    if (ring_) kpt_ring_close(ring_);
    if (h_) kpt_close(h_);
}

void Receiver::Drain()
{
    while (!stop_) {
        kpt_recv_req req;
        if (kpt_ring_recv(ring_, 50, &req) != 0) continue;
        const uint8_t *p = static_cast<const uint8_t *>(req.pkt_addr);
        std::lock_guard<std::mutex> lk(mu_);
        got_.emplace_back(Frame(p, p + req.length), req.timestamp);
        cv_.notify_all();
    }
}

std::vector<std::pair<Frame, uint64_t>> Receiver::CollectTimed(size_t n, int idle_ms)
{
    std::vector<std::pair<Frame, uint64_t>> out;
    std::unique_lock<std::mutex> lk(mu_);
    while (out.size() < n) {
        if (got_.empty() && !cv_.wait_for(lk, std::chrono::milliseconds(idle_ms), [&] { return !got_.empty(); }))
            break;
        out.push_back(std::move(got_.front()));
        got_.pop_front();
    }
    return out;
}

std::vector<Frame> Receiver::Collect(size_t n, int idle_ms)
{
    std::vector<Frame> out;
    for (auto &[f, ts] : CollectTimed(n, idle_ms)) out.push_back(std::move(f));
    return out;
}

long long Counter(const std::string &out, const std::string &name)
{
    for (const std::string &l : Lines(out))
        if (l.rfind(name + " ", 0) == 0) return atoll(l.c_str() + name.size() + 1);
    return -1;
}

}  // namespace kpttest
