// quor_simctl - command-line client of a running quor_simd's control socket.
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>

static void usage(FILE *f)
{
    fputs("Usage: quor_simctl [--dir DIR] COMMAND [ARGS...]\n"
          "  --dir DIR   device directory of the simulator (default: $ZAL_DEV_DIR or /dev)\n"
          "  Run 'quor_simctl help' for the list of commands.\n",
          f);
}

int main(int argc, char **argv)
{
    std::string dir;
    int i = 1;
    for (; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            usage(stdout);
            return 0;
        }
        if (a == "--dir") {
            if (i + 1 >= argc) {
                usage(stderr);
                return 2;
            }
            dir = argv[++i];
        } else if (a.rfind("--dir=", 0) == 0) {
            dir = a.substr(6);
        } else {
            break;
        }
    }
    if (i >= argc) {
        usage(stderr);
        return 2;
    }
    if (dir.empty()) {
        const char *e = getenv("ZAL_DEV_DIR");
        dir = (e && *e) ? e : "/dev";
    }
    std::string line;
    for (; i < argc; ++i) {
        if (strchr(argv[i], '\n')) {
            fprintf(stderr, "quor_simctl: arguments must not contain newlines\n");
            return 2;
        }
        if (!line.empty()) line += ' ';
        line += argv[i];
    }
    line += '\n';

    std::string path = dir + "/quorsim.ctl";
    struct sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path) {
        fprintf(stderr, "quor_simctl: path too long: %s\n", path.c_str());
        return 1;
    }
    memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0 || connect(fd, (struct sockaddr *)&sa, sizeof sa) != 0) {
        fprintf(stderr, "quor_simctl: cannot reach the simulator at %s: %s\n", path.c_str(),
                strerror(errno));
        return 1;
    }
    size_t off = 0;
    while (off < line.size()) {
        ssize_t n = send(fd, line.data() + off, line.size() - off, MSG_NOSIGNAL);
        if (n <= 0) {
            fprintf(stderr, "quor_simctl: send: %s\n", strerror(errno));
            return 1;
        }
        off += size_t(n);
    }
    // The reply is lines ending with "ok" or "error: ...".
    std::string buf, cur;
    char tmp[4096];
    for (;;) {
        ssize_t n = recv(fd, tmp, sizeof tmp, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            fprintf(stderr, "quor_simctl: connection closed before the reply ended\n");
            return 1;
        }
        buf.append(tmp, size_t(n));
        size_t nl;
        while ((nl = buf.find('\n')) != std::string::npos) {
            std::string l = buf.substr(0, nl);
            buf.erase(0, nl + 1);
            if (l == "ok") return 0;
            if (l.rfind("error: ", 0) == 0) {
                fprintf(stderr, "quor_simctl: %s\n", l.c_str() + 7);
                return 1;
            }
            printf("%s\n", l.c_str());
        }
    }
}
