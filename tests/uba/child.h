// child.h - runs a piece of a test in a forked child and collects its exit
// status and standard error: the board library reports fatal errors by
// printing one line and exiting.
#pragma once

#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>
#include <string>

namespace ubatest {

struct ChildResult {
    int status = -1; // exit status, or 128 + signal
    std::string err; // standard error
    std::string out; // standard output
};

// The child's exit status, taken before anything else that runs at exit:
// the child is a copy of a process with threads it does not have, so a leak
// check at its exit would only report the parent's memory.
inline void QuickExit(int status, void *)
{
    fflush(nullptr);
    _exit(status);
}

inline ChildResult InChild(const std::function<void()> &fn)
{
    ChildResult r;
    int ep[2], op[2];
    if (pipe(ep) != 0 || pipe(op) != 0) return r;
    fflush(stdout);
    fflush(stderr);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(ep[1], 2);
        dup2(op[1], 1);
        close(ep[0]);
        close(op[0]);
        on_exit(QuickExit, nullptr);
        fn();
        fflush(stdout);
        fflush(stderr);
        _exit(0);
    }
    close(ep[1]);
    close(op[1]);
    auto drain = [](int fd, std::string *s) {
        char buf[4096];
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) s->append(buf, size_t(n));
        close(fd);
    };
    // Standard output of these children is small: read it after stderr.
    drain(ep[0], &r.err);
    drain(op[0], &r.out);
    int st = 0;
    waitpid(pid, &st, 0);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    return r;
}

}  // namespace ubatest
