#include <dirent.h>
#include "test_support.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

extern char **environ;

namespace kpttest {

namespace {

int64_t NowMs() { return MonoNs() / 1000000; }

int DecodeStatus(int st)
{
    if (WIFEXITED(st)) return WEXITSTATUS(st);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    return -1;
}

// Builds an environment: the current one with the given settings applied.
std::vector<std::string> MergeEnv(const std::vector<std::string> &extra)
{
    std::map<std::string, std::string> m;
    std::vector<std::string> order;
    auto put = [&](const std::string &kv) {
        auto eq = kv.find('=');
        std::string k = eq == std::string::npos ? kv : kv.substr(0, eq);
        if (!m.count(k)) order.push_back(k);
        m[k] = kv;
    };
    for (char **e = environ; *e; ++e) put(*e);
    for (const auto &kv : extra) put(kv);
    std::vector<std::string> out;
    for (const auto &k : order) out.push_back(m[k]);
    return out;
}

std::vector<char *> CArgs(std::vector<std::string> &v)
{
    std::vector<char *> out;
    for (auto &s : v) out.push_back(s.data());
    out.push_back(nullptr);
    return out;
}

// Simulator processes of this test, whose threads are shown beside a
// program that hangs.
std::vector<int> &LiveSims()
{
    static std::vector<int> pids;
    return pids;
}

// Kills a child that outlived its time.  First, with the child held where
// it hangs, every thread's stack of it and of the test's simulators goes to
// the test's output (when gdb is installed).
void KillHung(pid_t pid, int timeout_ms)
{
    kill(pid, SIGSTOP);
    fprintf(stderr, "\n--- pid %d killed after %d ms; the threads of it and of the simulators ---\n", int(pid), timeout_ms);
    std::vector<int> pids = LiveSims();
    pids.insert(pids.begin(), int(pid));
    for (int p : pids) {
        std::string cmd = "/usr/bin/gdb -p " + std::to_string(p) +
                          " -batch -nx -ex 'thread apply all bt' </dev/null 2>&1 | grep -E '^(Thread|#|ptrace)' >&2";
        fflush(stderr);
        (void)!system(cmd.c_str());
    }
    kill(pid, SIGKILL);
}

}  // namespace

TempDir::TempDir()
{
    char tmpl[] = "/tmp/kpt-test-XXXXXX";
    const char *d = mkdtemp(tmpl);
    if (!d) abort();
    path_ = d;
}

TempDir::~TempDir()
{
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void SimTest::StartSim()
{
    opts_.dir = dev_.path();
    setenv("ZAL_DEV_DIR", dev_.path().c_str(), 1);
    sim_ = std::make_unique<quorsim::Simulator>(opts_);
    std::string err;
    int rc = sim_->start(&err);
    ASSERT_EQ(rc, 0) << "simulator start: " << err;
}

void SimTest::TearDown()
{
    if (sim_) sim_->stop();
    sim_.reset();
}

std::string SimTest::Ctl(const std::string &line)
{
    std::string r = sim_->command(line);
    EXPECT_TRUE(r.size() >= 3 && r.compare(r.size() - 3, 3, "ok\n") == 0)
        << "command '" << line << "' replied: " << r;
    return r;
}

std::string BinPath(const std::string &name) { return std::string(KPT_BIN_DIR) + "/" + name; }

RunResult RunProgram(const std::vector<std::string> &argv, const std::vector<std::string> &env,
              int timeout_ms)
{
    RunResult r;
    int outp[2], errp[2];
    if (pipe2(outp, O_CLOEXEC) != 0 || pipe2(errp, O_CLOEXEC) != 0) return r;
    std::vector<std::string> args = argv;
    std::vector<std::string> envs = MergeEnv(env);
    auto cargs = CArgs(args);
    auto cenv = CArgs(envs);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(outp[1], 1);
        dup2(errp[1], 2);
        execve(cargs[0], cargs.data(), cenv.data());
        _exit(127);
    }
    close(outp[1]);
    close(errp[1]);
    int64_t deadline = NowMs() + timeout_ms;
    struct pollfd pfd[2] = {{outp[0], POLLIN, 0}, {errp[0], POLLIN, 0}};
    int open_fds = 2;
    bool killed = false;
    while (open_fds > 0) {
        int left = int(deadline - NowMs());
        if (left <= 0 && !killed) {
            KillHung(pid, timeout_ms);
            killed = true;
            left = 1000;
        }
        int n = poll(pfd, 2, left > 0 ? left : 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) continue;
        for (int i = 0; i < 2; ++i) {
            if (pfd[i].fd < 0 || !(pfd[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
            char buf[4096];
            ssize_t k = read(pfd[i].fd, buf, sizeof buf);
            if (k > 0) {
                (i == 0 ? r.out : r.err).append(buf, size_t(k));
            } else if (k == 0 || errno != EINTR) {
                close(pfd[i].fd);
                pfd[i].fd = -1;
                --open_fds;
            }
        }
    }
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    r.status = DecodeStatus(st);
    return r;
}

SimdProcess::SimdProcess(const std::string &dir, const std::vector<std::string> &args)
{
    int outp[2];
    if (pipe2(outp, O_CLOEXEC) != 0) return;
    std::vector<std::string> argv = {BinPath("quor_simd"), "--dir", dir};
    argv.insert(argv.end(), args.begin(), args.end());
    auto cargs = CArgs(argv);
    pid_ = fork();
    if (pid_ == 0) {
        dup2(outp[1], 1);
        execv(cargs[0], cargs.data());
        _exit(127);
    }
    close(outp[1]);
    if (pid_ > 0) LiveSims().push_back(pid_);
    // Wait for the one ready line.
    int64_t deadline = NowMs() + 20000;
    std::string got;
    struct pollfd pfd = {outp[0], POLLIN, 0};
    while (NowMs() < deadline) {
        int n = poll(&pfd, 1, 100);
        if (n <= 0) continue;
        char c;
        ssize_t k = read(outp[0], &c, 1);
        if (k <= 0) break;
        if (c == '\n') {
            ready_line_ = got;
            ready_ = got.rfind("quor_simd ready:", 0) == 0;
            break;
        }
        got.push_back(c);
    }
    close(outp[0]);
}

int WaitChild(pid_t pid, int timeout_ms)
{
    int st = 0;
    int64_t deadline = NowMs() + timeout_ms;
    for (;;) {
        pid_t w = waitpid(pid, &st, WNOHANG);
        if (w == pid) break;
        if (NowMs() > deadline) {
            KillHung(pid, timeout_ms);
            waitpid(pid, &st, 0);
            break;
        }
        usleep(2000);
    }
    return DecodeStatus(st);
}

std::vector<std::string> Lines(const std::string &text)
{
    std::vector<std::string> v;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);) v.push_back(l);
    return v;
}

int SimdProcess::Stop()
{
    if (pid_ <= 0) return -1;
    std::erase(LiveSims(), pid_);
    kill(pid_, SIGTERM);
    int status = WaitChild(pid_, 10000);
    pid_ = -1;
    return status;
}

SimdProcess::~SimdProcess() { Stop(); }

StderrCapture::StderrCapture(int fd) : fd_(fd)
{
    char tmpl[] = "/tmp/kpt-stderr-XXXXXX";
    int tmp = mkstemp(tmpl);
    if (tmp < 0) abort();
    path_ = tmpl;
    fflush(stderr);
    fflush(stdout);
    saved_ = dup(fd_);
    dup2(tmp, fd_);
    close(tmp);
}

std::string StderrCapture::Finish()
{
    if (done_) return {};
    done_ = true;
    fflush(stderr);
    fflush(stdout);
    dup2(saved_, fd_);
    close(saved_);
    std::string s = ReadFile(path_);
    unlink(path_.c_str());
    return s;
}

StderrCapture::~StderrCapture() { Finish(); }

bool EnterPrivateNetns(std::string *why)
{
    if (geteuid() != 0) {
        *why = "needs root for a network namespace";
        return false;
    }
    if (unshare(CLONE_NEWNET) != 0) {
        *why = std::string("unshare(CLONE_NEWNET): ") + strerror(errno);
        return false;
    }
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct ifreq ifr = {};
    strcpy(ifr.ifr_name, "lo");
    if (s < 0 || ioctl(s, SIOCGIFFLAGS, &ifr) != 0) {
        *why = std::string("loopback: ") + strerror(errno);
        if (s >= 0) close(s);
        return false;
    }
    ifr.ifr_flags |= IFF_UP;
    int rc = ioctl(s, SIOCSIFFLAGS, &ifr);
    close(s);
    if (rc != 0) {
        *why = std::string("loopback up: ") + strerror(errno);
        return false;
    }
    if (access("/dev/net/tun", R_OK | W_OK) != 0) {
        *why = "no /dev/net/tun";
        return false;
    }
    return true;
}

int64_t RealNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t MonoNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

std::string ReadFile(const std::string &path)
{
    std::ifstream f(path, std::ios::binary);
    if (!f) return {};
    std::ostringstream ss;
    ss << f.rdbuf();
    return ss.str();
}

int OpenFds()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (d && readdir(d)) ++n;
    if (d) closedir(d);
    return n;
}

// The device layer's keep of released ring mappings, when the test has the
// device layer linked in.
extern "C" __attribute__((weak)) void zal__mapkeep_flush(void);

int ArenaMappings()
{
    // A ring mapping kept for the process's next ring is not one left behind.
    if (zal__mapkeep_flush) zal__mapkeep_flush();
    std::string maps = ReadFile("/proc/self/maps");
    int n = 0;
    for (size_t at = 0; (at = maps.find("quor-unit", at)) != std::string::npos; ++at) ++n;
    return n;
}

int ArenaMappingsSettled(int want)
{
    for (int i = 0; i < 1500 && ArenaMappings() != want; ++i) usleep(2000);
    return ArenaMappings();
}

}  // namespace kpttest
