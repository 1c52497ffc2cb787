// uba_wrap.cpp - the error reporters and the checked system-call wrappers.
//
// The tools do not handle system-call failures locally: a wrapper either
// returns what the call returned or prints one "ERROR:" line and ends the
// process with status 1.  The error text is taken before anything else can
// change errno.
#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

#include "uba_internal.h"

namespace {

// Bytes straddr may use, terminator included.
constexpr size_t kAddrText = 50;
// Largest directory and command line uba_xxsystemp builds.
constexpr size_t kSystempDir = 255;
constexpr size_t kSystempCmd = 511;

[[noreturn]] void vreport(const char *file, int line, const char *format, va_list ap)
{
    // One buffer and one write, so that the line is not interleaved with
    // another process's output on a shared stderr.
    char buf[2048];
    int n = snprintf(buf, sizeof buf, "ERROR:");
    if (file) {
        const char *slash = strrchr(file, '/');
        n += snprintf(buf + n, sizeof buf - size_t(n), "%s:%d:", slash ? slash + 1 : file, line);
    }
    if (n < int(sizeof buf)) n += vsnprintf(buf + n, sizeof buf - size_t(n), format, ap);
    if (n >= int(sizeof buf) - 1) n = int(sizeof buf) - 2;
    // Many messages already end in a newline: the report stays one line.
    if (n > 0 && buf[n - 1] == '\n') --n;
    buf[n++] = '\n';
    fflush(stdout);
    fflush(stderr);
    (void)!write(2, buf, size_t(n));
    exit(1);
}

const char *err_text() { return strerror(errno); }

}  // namespace

extern "C" {

void handle_error_func(int has_error, const char *file, int line, const char *format, ...)
{
    if (!has_error) return;
    va_list ap;
    va_start(ap, format);
    vreport(file, line, format, ap);
    va_end(ap);
}

void fatal_error_func(const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vreport(nullptr, 0, format, ap);
}

}  // extern "C"

namespace uba {

void fatal_at(const char *file, int line, const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    vreport(file, line, format, ap);
}

}  // namespace uba

extern "C" {

char *straddr(const struct sockaddr *addr, socklen_t alen, char *buf)
{
    if (!addr || alen < socklen_t(sizeof addr->sa_family)) {
        snprintf(buf, kAddrText, "family=%d:???", -1);
        return buf;
    }
    if (addr->sa_family == AF_UNIX) {
        const struct sockaddr_un *un = reinterpret_cast<const struct sockaddr_un *>(addr);
        size_t room = alen > offsetof(struct sockaddr_un, sun_path)
                          ? size_t(alen) - offsetof(struct sockaddr_un, sun_path)
                          : 0;
        if (room > sizeof un->sun_path) room = sizeof un->sun_path;
        // The path need not be terminated inside the address.
        snprintf(buf, kAddrText, "unix:%.*s", int(strnlen(un->sun_path, room)), un->sun_path);
    } else if (addr->sa_family == AF_INET && alen >= socklen_t(sizeof(struct sockaddr_in))) {
        const struct sockaddr_in *in = reinterpret_cast<const struct sockaddr_in *>(addr);
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &in->sin_addr, ip, sizeof ip);
        snprintf(buf, kAddrText, "inet:%s:%d", ip, ntohs(in->sin_port));
    } else {
        snprintf(buf, kAddrText, "family=%d:???", addr->sa_family);
    }
    return buf;
}

uint64_t uba_xget_usecs(void)
{
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return uint64_t(tv.tv_sec) * 1000000u + uint64_t(tv.tv_usec);
}

void *uba_xmalloc(size_t len)
{
    void *p = malloc(len);
    handle_error_func(!p, nullptr, 0, "malloc:malloc(%ld):out-of-mem:%s", long(len), err_text());
    return p;
}

void *uba_xrealloc(void *ptr, size_t len)
{
    void *p = realloc(ptr, len);
    handle_error_func(!p, nullptr, 0, "realloc:realloc(%ld):out-of-mem:%s", long(len), err_text());
    return p;
}

int uba_xsocket(int family, int type, int proto)
{
    int s = socket(family, type, proto);
    handle_error_func(s < 0, nullptr, 0, "socket:socket(%d,%d,%d):%d:%s", family, type, proto, s,
                      err_text());
    return s;
}

int uba_xxbind(const char *file, int line, int fd, const struct sockaddr *addr, socklen_t alen)
{
    int r = bind(fd, addr, alen);
    if (r != 0) {
        const char *e = err_text();
        char a[kAddrText];
        handle_error_func(1, file, line, "bind(%d,%s):%s", fd, straddr(addr, alen, a), e);
    }
    return r;
}

int uba_xlisten(int s, int backlog)
{
    int r = listen(s, backlog);
    handle_error_func(r < 0, nullptr, 0, "listen:listen(%d,%d):%s", s, backlog, err_text());
    return r;
}

ssize_t uba_xrecv(int s, void *buf, size_t len, int flags)
{
    ssize_t r = recv(s, buf, len, flags);
    handle_error_func(r == -1, nullptr, 0, "recv:recv(len=%u):%s", unsigned(len), err_text());
    return r;
}

ssize_t uba_xfullrecv(int fd, void *buf, size_t len, int flags)
{
    size_t got = 0;
    while (got < len) {
        ssize_t r = recv(fd, static_cast<char *>(buf) + got, len - got, flags);
        handle_error_func(r < 1, __FILE__, __LINE__, "recv(len=%ld),got=%d:premature end of data",
                          long(len), int(got));
        got += size_t(r);
    }
    return ssize_t(got);
}

ssize_t uba_xsend(int s, const void *buf, size_t len, int flags)
{
    ssize_t r = send(s, buf, len, flags);
    handle_error_func(r != ssize_t(len), nullptr, 0, "send:send(len=%u)=%d:%s", unsigned(len),
                      int(r), err_text());
    return r;
}

struct hostent *uba_xgethostbyname(const char *host)
{
    struct hostent *h = gethostbyname(host);
    handle_error_func(!h, nullptr, 0, "gethostbyname:gethostbyname(%s):host not found", host);
    return h;
}

int uba_xconnect(int s, const struct sockaddr *addr, socklen_t alen)
{
    int r = connect(s, addr, alen);
    if (r < 0) {
        const char *e = err_text();
        char a[kAddrText];
        handle_error_func(1, __FILE__, __LINE__, "connect(%d,%s):%s", s, straddr(addr, alen, a), e);
    }
    return r;
}

int uba_xaccept(int s, struct sockaddr *addr, socklen_t *alen)
{
    int r = accept(s, addr, alen);
    handle_error_func(r < 0, nullptr, 0, "accept:accept(%d):%s", s, err_text());
    return r;
}

int uba_xopen(const char *path, int flags, ...)
{
    int r;
    if (flags & O_CREAT) {
        va_list ap;
        va_start(ap, flags);
        mode_t mode = mode_t(va_arg(ap, int));
        va_end(ap);
        r = open(path, flags, mode);
    } else {
        r = open(path, flags);
    }
    handle_error_func(r < 0, nullptr, 0, "open(%s,0x%x):%s", path, unsigned(flags), err_text());
    return r;
}

ssize_t uba_xread(int fd, void *buf, size_t len)
{
    ssize_t r = read(fd, buf, len);
    handle_error_func(r == -1, nullptr, 0, "read:read(len=%u):%s", unsigned(len), err_text());
    return r;
}

ssize_t uba_xfullread(int fd, void *buf, size_t len)
{
    size_t got = 0;
    while (got < len) {
        errno = 0; // an end of file leaves errno alone: report no stale error
        ssize_t r = read(fd, static_cast<char *>(buf) + got, len - got);
        handle_error_func(r < 1, __FILE__, __LINE__,
                          "read(len=%ld),got=%d,cc=%d:premature end of data:%s", long(len),
                          int(got), int(r), err_text());
        got += size_t(r);
    }
    return ssize_t(got);
}

ssize_t uba_xxwrite(const char *file, int line, int fd, const void *buf, size_t n)
{
    ssize_t r = write(fd, buf, n);
    handle_error_func(r != ssize_t(n), file, line, "write(%d,%p,%ld)=%d:%s", fd, buf, long(n),
                      int(r), err_text());
    return r;
}

ssize_t uba_xpartwrite(int fd, const void *buf, size_t n)
{
    ssize_t r = write(fd, buf, n);
    handle_error_func(r <= 0, __FILE__, __LINE__, "partwrite(len=%ld)=%d:%s", long(n), int(r),
                      err_text());
    return r;
}

ssize_t uba_xwritev(int s, const struct iovec *iov, int count)
{
    size_t sum = 0;
    for (int i = 0; i < count; ++i) sum += iov[i].iov_len;
    ssize_t r = writev(s, iov, count);
    handle_error_func(r != ssize_t(sum), __FILE__, __LINE__, "writev(len=%u)=%d:%s", unsigned(sum),
                      int(r), err_text());
    return r;
}

ssize_t uba_xxpwrite(const char *file, int line, int fd, const void *buf, size_t n, off_t offset)
{
    ssize_t r = pwrite(fd, buf, n, offset);
    handle_error_func(r != ssize_t(n), file, line, "pwrite:(%d,%p,%ld, %ld)=%d:%s", fd, buf, long(n),
                      long(offset), int(r), err_text());
    return r;
}

ssize_t uba_xxpread(const char *file, int line, int fd, void *buf, size_t n, off_t offset)
{
    ssize_t r = pread(fd, buf, n, offset);
    handle_error_func(r == -1, file, line, "pread:(%lu, %lu):%s", (unsigned long)n,
                      (unsigned long)offset, err_text());
    return r;
}

ssize_t uba_xxfullpread(const char *file, int line, int fd, void *buf, size_t n, off_t offset)
{
    ssize_t r = pread(fd, buf, n, offset);
    handle_error_func(r != ssize_t(n), file, line, "fullpread(%lu, %lu)=%d:%s", (unsigned long)n,
                      (unsigned long)offset, int(r), err_text());
    return r;
}

int uba_xxsystem(const char *file, int line, const char *command)
{
    int st = system(command);
    handle_error_func(st != 0, file, line, "system(%s):%d", command, st);
    return st;
}

int uba_xxsystemp(const char *file, int line, const char *argv0, const char *command)
{
    const char *slash = strrchr(argv0, '/');
    size_t dlen = slash ? size_t(slash - argv0) : 0;
    handle_error_func(dlen > kSystempDir, file, line, "systemp(%s):program directory too long",
                      command);
    std::string cmd;
    if (dlen) {
        // The directory goes in quoted, so that blanks or shell characters in
        // it are not run; "${PATH:+:$PATH}" adds no empty element (which
        // would search the current directory) when PATH is unset or empty.
        cmd = "env PATH='";
        for (size_t i = 0; i < dlen; ++i) {
            if (argv0[i] == '\'')
                cmd += "'\\''";
            else
                cmd += argv0[i];
        }
        cmd += "'\"${PATH:+:$PATH}\" ";
    }
    cmd += command;
    handle_error_func(cmd.size() > kSystempCmd, file, line, "systemp(%s):command line too long",
                      command);
    return uba_xxsystem(file, line, cmd.c_str());
}

pid_t uba_xfork(void)
{
    pid_t p = fork();
    handle_error_func(p < 0, nullptr, 0, "fork:fork():%s", err_text());
    return p;
}

int uba_xexeclp(const char *path, ...)
{
    size_t cap = 8, n = 0;
    char **argv = static_cast<char **>(uba_xmalloc(cap * sizeof(char *)));
    va_list ap;
    va_start(ap, path);
    for (;;) {
        char *a = va_arg(ap, char *);
        if (n + 1 >= cap) {
            cap *= 2;
            argv = static_cast<char **>(uba_xrealloc(argv, cap * sizeof(char *)));
        }
        argv[n++] = a;
        if (!a) break;
    }
    va_end(ap);
    execvp(path, argv);
    const char *e = err_text();
    handle_error_func(1, __FILE__, __LINE__, "execlp(%s):%s", path, e);
    return -1;
}

int uba_xxioctl(const char *file, int line, int fd, unsigned long request, void *arg)
{
    int r = ioctl(fd, request, arg);
    handle_error_func(r != 0, file, line, "ioctl:error %s", err_text());
    return r;
}

}  // extern "C"
