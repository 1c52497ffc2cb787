// prog_child.h - a program under test that runs in the background while the
// test talks to it, with its output collected as it comes.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "test_support.h"

namespace kpttest {

class ChildProgram {
public:
    // argv[0] is a path.
    explicit ChildProgram(std::vector<std::string> argv)
    {
        int outp[2], errp[2];
        if (pipe2(outp, O_CLOEXEC) != 0) return;
        if (pipe2(errp, O_CLOEXEC) != 0) {
            close(outp[0]);
            close(outp[1]);
            return;
        }
        // Built before fork: the child only execs.
        std::vector<char *> cargs;
        for (auto &a : argv) cargs.push_back(a.data());
        cargs.push_back(nullptr);
        pid_ = fork();
        if (pid_ == 0) {
            dup2(outp[1], 1);
            dup2(errp[1], 2);
            execv(cargs[0], cargs.data());
            _exit(127);
        }
        close(outp[1]);
        close(errp[1]);
        if (pid_ < 0) {
            close(outp[0]);
            close(errp[0]);
            return;
        }
        reader_ = std::thread([this, o = outp[0], e = errp[0]] { Read(o, e); });
    }

    ~ChildProgram()
    {
        if (pid_ > 0) Finish(SIGKILL, 5000);
    }
    ChildProgram(const ChildProgram &) = delete;
    ChildProgram &operator=(const ChildProgram &) = delete;

    bool started() const { return pid_ > 0; }
    void Signal(int sig) const
    {
        if (pid_ > 0) kill(pid_, sig);
    }

    // Standard output so far.
    std::string Out()
    {
        std::lock_guard<std::mutex> l(mu_);
        return out_;
    }

    // Waits until standard output contains text; false after timeout_ms.
    bool WaitOutput(const std::string &text, int timeout_ms)
    {
        std::unique_lock<std::mutex> l(mu_);
        return cv_.wait_for(l, std::chrono::milliseconds(timeout_ms),
                            [&] { return out_.find(text) != std::string::npos; });
    }

    // Waits until standard error contains text; false after timeout_ms.
    bool WaitError(const std::string &text, int timeout_ms)
    {
        std::unique_lock<std::mutex> l(mu_);
        return cv_.wait_for(l, std::chrono::milliseconds(timeout_ms),
                            [&] { return err_.find(text) != std::string::npos; });
    }

    // Sends sig, waits for the end (SIGKILL after timeout_ms) and returns
    // the status and the whole output.
    RunResult Finish(int sig, int timeout_ms = 10000)
    {
        RunResult r;
        if (pid_ <= 0) return r;
        kill(pid_, sig);
        int st = 0;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (waitpid(pid_, &st, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > end) {
                kill(pid_, SIGKILL);
                waitpid(pid_, &st, 0);
                break;
            }
            usleep(2000);
        }
        pid_ = -1;
        if (reader_.joinable()) reader_.join();
        r.status = WIFEXITED(st) ? WEXITSTATUS(st) : WIFSIGNALED(st) ? 128 + WTERMSIG(st) : -1;
        std::lock_guard<std::mutex> l(mu_);
        r.out = out_;
        r.err = err_;
        return r;
    }

private:
    void Read(int o, int e)
    {
        struct pollfd pfd[2] = {{o, POLLIN, 0}, {e, POLLIN, 0}};
        int open_fds = 2;
        while (open_fds > 0) {
            if (poll(pfd, 2, -1) < 0) continue;
            for (int i = 0; i < 2; ++i) {
                if (pfd[i].fd < 0 || !(pfd[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                char buf[4096];
                ssize_t k = read(pfd[i].fd, buf, sizeof buf);
                if (k > 0) {
                    std::lock_guard<std::mutex> l(mu_);
                    (i == 0 ? out_ : err_).append(buf, size_t(k));
                    cv_.notify_all();
                } else if (k == 0 || errno != EINTR) {
                    close(pfd[i].fd);
                    pfd[i].fd = -1;
                    --open_fds;
                }
            }
        }
    }

    int pid_ = -1;
    std::thread reader_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::string out_, err_;
};

}  // namespace kpttest
