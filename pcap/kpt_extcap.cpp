// kpt_extcap - the adapter's ports as capture interfaces of Wireshark and
// tshark, through their external capture program interface.
//
// Wireshark runs this program from its extcap folder to ask for the
// interfaces (--extcap-interfaces), their link types (--extcap-dlts), their
// settings (--extcap-config) and whether a capture filter is valid
// (--extcap-capture-filter).  A capture (--capture --fifo PATH) is kpt_dump
// writing pcapng with nanosecond times into the fifo, run as a child: the
// stop Wireshark sends (SIGTERM) is passed on to it, and the fifo's reader
// going away ends it too.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <limits.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "pcap_ports.h"

#ifndef KPT_EXTCAP_VERSION
#define KPT_EXTCAP_VERSION "0"
#endif
// Where kpt_dump is when it is not beside this program: the installed bin
// directory, relative to the installed extcap folder and as configured.
#ifndef KPT_EXTCAP_TO_BINDIR
#define KPT_EXTCAP_TO_BINDIR ""
#endif
#ifndef KPT_INSTALL_BINDIR
#define KPT_INSTALL_BINDIR ""
#endif

namespace {

using kptpcap::printable;

constexpr unsigned kMaxSnaplen = 262144;
constexpr unsigned kMinRingMiB = 2, kMaxRingMiB = 65536;

const char kUsage[] =
    "Usage: kpt_extcap --extcap-interfaces\n"
    "       kpt_extcap --extcap-interface PORT --extcap-dlts | --extcap-config\n"
    "       kpt_extcap --extcap-interface PORT --extcap-capture-filter FILTER\n"
    "       kpt_extcap --extcap-interface PORT --capture --fifo PATH\n"
    "                  [--extcap-capture-filter FILTER] [--snaplen N] [--ring MIB]\n"
    "A capture source of Wireshark and tshark for the adapter's ports: install it in\n"
    "(or link it into) an extcap folder, and the ports are listed as interfaces.\n";

struct Args {
    bool interfaces = false, dlts = false, config = false, capture = false;
    const char *iface = nullptr;
    const char *filter = nullptr;
    const char *fifo = nullptr;
    unsigned snaplen = 0; // 0: kpt_dump's own
    unsigned ring_mib = 0; // 0: the library's own (or KPT_DATARING_SIZE)
};

int fail(const std::string &msg)
{
    fprintf(stderr, "kpt_extcap: %s\n", msg.c_str());
    return 1;
}

// A decimal number lo..hi covering the whole string.
bool parse_uint(const char *s, unsigned lo, unsigned hi, unsigned *out)
{
    if (s == nullptr || *s == '\0' || strlen(s) > 9) return false;
    unsigned v = 0;
    for (const char *p = s; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        v = v * 10 + unsigned(*p - '0');
    }
    if (v < lo || v > hi) return false;
    *out = v;
    return true;
}

std::string quoted(const char *s) { return "'" + printable(s, strlen(s)) + "'"; }

// A name the interface grammar can carry: the values are written between
// braces, one sentence a line.
bool listable(const std::string &s)
{
    if (s.empty() || s[0] == '-') return false;
    for (unsigned char c : s)
        if (c <= 0x20 || c >= 0x7f || c == '{' || c == '}') return false;
    return true;
}

int list_interfaces()
{
    printf("extcap {version=%s}{display=kpt capture adapter}\n", KPT_EXTCAP_VERSION);
    for (const auto &p : kptpcap::list_ports())
        if (listable(p.name))
            printf("interface {value=%s}{display=%s}\n", p.name.c_str(),
                   kptpcap::port_description(p).c_str());
    return fflush(stdout) == 0 ? 0 : 1;
}

// The port an interface name stands for; false with a message printed.
bool find_port(const char *iface, kptpcap::PortInfo *out)
{
    if (iface == nullptr) {
        fail("--extcap-interface PORT is required");
        return false;
    }
    auto ports = kptpcap::list_ports();
    for (const auto &p : ports)
        if (p.name == iface) {
            *out = p;
            return true;
        }
    std::string names;
    for (const auto &p : ports) names += (names.empty() ? "" : ", ") + printable(p.name.data(), p.name.size());
    fail(quoted(iface) + ": not a port of the adapter" +
         (ports.empty() ? std::string(" (no adapter found)") : " (its ports: " + names + ")"));
    return false;
}

int list_config()
{
    printf("arg {number=0}{call=--snaplen}{display=Snap length}{type=unsigned}"
           "{range=1,%u}{default=%u}{tooltip=Bytes kept of each frame}\n",
           kMaxSnaplen, kMaxSnaplen);
    // No default: left empty, the ring is what KPT_DATARING_SIZE or the
    // library says.
    printf("arg {number=1}{call=--ring}{display=Ring size (MiB)}{type=unsigned}{range=%u,%u}"
           "{tooltip=Size of the data ring the port fills and the capture empties, in MiB "
           "(empty: KPT_DATARING_SIZE, or 256)}\n",
           kMinRingMiB, kMaxRingMiB);
    return fflush(stdout) == 0 ? 0 : 1;
}

// Compiled as the capture will compile it: Ethernet frames, optimised, no
// netmask.  What Wireshark reads is standard output: nothing for a valid
// filter, the compiler's message for one that is not.
int check_filter(const char *filter)
{
    pcap_t *p = pcap_open_dead(DLT_EN10MB, int(kMaxSnaplen));
    if (p == nullptr) {
        printf("cannot set up the filter compiler\n");
        return 1;
    }
    struct bpf_program prog = {};
    int rc = 0;
    if (pcap_compile(p, &prog, filter, 1, PCAP_NETMASK_UNKNOWN) != 0) {
        const char *e = pcap_geterr(p);
        printf("%s\n", printable(e, strlen(e)).c_str());
        rc = 1;
    } else {
        pcap_freecode(&prog);
    }
    pcap_close(p);
    fflush(stdout);
    return rc;
}

int64_t mono_ms()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

std::string self_dir()
{
    char buf[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return "";
    buf[n] = '\0';
    char *slash = strrchr(buf, '/');
    if (slash == nullptr) return "";
    *slash = '\0';
    return buf;
}

// kpt_dump beside this program (the build tree, or an installation that
// keeps both in one place), else in the installed bin directory.
std::string find_dump()
{
    std::string dir = self_dir();
    std::vector<std::string> tries;
    if (!dir.empty()) {
        tries.push_back(dir + "/kpt_dump");
        if (*KPT_EXTCAP_TO_BINDIR) tries.push_back(dir + "/" KPT_EXTCAP_TO_BINDIR "/kpt_dump");
    }
    if (*KPT_INSTALL_BINDIR) tries.push_back(KPT_INSTALL_BINDIR "/kpt_dump");
    for (const auto &t : tries)
        if (access(t.c_str(), X_OK) == 0) return t;
    return "";
}

volatile pid_t g_child = -1;
volatile sig_atomic_t g_stop = 0;

// How long a capture has to end after the stop before it is killed: it may
// wait on a fifo that nobody reads any more.
constexpr int kStopGraceMs = 10000;

// Wireshark's stop (SIGTERM), or a terminal's, is the capture's.
void forward_signal(int sig)
{
    g_stop = 1;
    if (g_child > 0) kill(g_child, sig);
}

// What Wireshark would show of the capture's messages.  Wireshark reports
// any text on an extcap's standard error as an error, so the summary line
// of a capture and the broken pipe of the fifo that Wireshark closed at its
// stop are left out: those are how every capture ends.
class StderrFilter {
public:
    explicit StderrFilter(std::string fifo) : broken_(fifo + ": " + strerror(EPIPE)) {}

    void feed(const char *p, size_t n)
    {
        line_.append(p, n);
        size_t nl;
        while ((nl = line_.find('\n')) != std::string::npos) {
            line(line_.substr(0, nl + 1));
            line_.erase(0, nl + 1);
        }
        // A line without its end is passed on in pieces rather than held without bound.
        if (line_.size() > 4096) {
            line(line_);
            line_.clear();
        }
    }
    void finish()
    {
        if (!line_.empty()) line(line_ + "\n");
        line_.clear();
    }
    bool fifo_closed() const { return fifo_closed_; }
    bool other_errors() const { return other_; }

private:
    void line(const std::string &l)
    {
        std::string body = l.substr(0, l.size() - (l.back() == '\n'));
        if (!body.empty() && body[0] >= '0' && body[0] <= '9' &&
            body.find(" frames captured, ") != std::string::npos)
            return;
        if (body.size() >= broken_.size() &&
            body.compare(body.size() - broken_.size(), broken_.size(), broken_) == 0) {
            fifo_closed_ = true;
            return;
        }
        other_ = true;
        if (write(STDERR_FILENO, l.data(), l.size()) < 0) {
        }
    }

    std::string broken_, line_;
    bool fifo_closed_ = false, other_ = false;
};

// kpt_dump writes the fifo; this program stays as its parent to pass
// Wireshark's stop on and to keep its messages to what Wireshark should show.
int run_capture(const Args &a)
{
    if (a.fifo == nullptr || *a.fifo == '\0') return fail("--capture needs --fifo PATH");
    kptpcap::PortInfo port;
    if (!find_port(a.iface, &port)) return 1;
    std::string dump = find_dump();
    if (dump.empty()) return fail("kpt_dump not found beside this program nor in " KPT_INSTALL_BINDIR);

    std::vector<std::string> args = {dump, "-p", std::to_string(port.port), "-w", a.fifo, "-q"};
    if (a.snaplen) {
        args.push_back("-s");
        args.push_back(std::to_string(a.snaplen));
    }
    // After "--" the filter is never taken for an option, whatever it starts with.
    if (a.filter && *a.filter) {
        args.push_back("--");
        args.push_back(a.filter);
    }
    if (a.ring_mib && setenv("KPT_DATARING_SIZE", std::to_string(a.ring_mib).c_str(), 1) != 0)
        return fail(std::string("setenv: ") + strerror(errno));
    std::vector<char *> argv;
    for (auto &s : args) argv.push_back(s.data());
    argv.push_back(nullptr);

    signal(SIGPIPE, SIG_IGN);
    // The stop signals interrupt the waits below, and wait until the child
    // is known so that none is lost.
    sigset_t stops, old;
    sigemptyset(&stops);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaddset(&stops, sig);
    struct sigaction sa = {};
    sa.sa_handler = forward_signal;
    sigemptyset(&sa.sa_mask);
    for (int sig : {SIGTERM, SIGINT, SIGHUP}) sigaction(sig, &sa, nullptr);

    // The fifo is opened here first, and held until kpt_dump ends, so that
    // Wireshark sees the end of the data only then.  Until Wireshark reads
    // it, it is tried again every 50 ms: a stop that comes before ends the
    // wait (kpt_dump takes its signals only once it has opened its file).
    int fifo = -1;
    while (fifo < 0) {
        if (g_stop) return 0;
        fifo = open(a.fifo, O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        if (fifo < 0 && errno != ENXIO && errno != EINTR)
            return fail(printable(a.fifo, strlen(a.fifo)) + ": " + strerror(errno));
        if (fifo < 0) usleep(50000);
    }

    int errp[2];
    if (pipe2(errp, O_CLOEXEC) != 0) return fail(std::string("pipe: ") + strerror(errno));
    sigprocmask(SIG_BLOCK, &stops, &old);
    fflush(nullptr);
    pid_t pid = fork();
    if (pid < 0) return fail(std::string("fork: ") + strerror(errno));
    if (pid == 0) {
        // Killed with this program, should Wireshark have to kill it.
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() == 1) _exit(1);
        dup2(errp[1], STDERR_FILENO);
        for (int sig : {SIGTERM, SIGINT, SIGHUP, SIGPIPE}) signal(sig, SIG_DFL);
        sigprocmask(SIG_SETMASK, &old, nullptr);
        execv(argv[0], argv.data());
        dprintf(STDERR_FILENO, "kpt_extcap: %s: %s\n", printable(dump.data(), dump.size()).c_str(),
                strerror(errno));
        _exit(127);
    }
    g_child = pid;
    if (g_stop) kill(pid, SIGTERM);
    sigprocmask(SIG_SETMASK, &old, nullptr);
    close(errp[1]);

    StderrFilter filter(a.fifo);
    char buf[1024];
    int64_t kill_at = -1;
    bool killed = false;
    for (;;) {
        // A stop between the look at g_stop and the poll is seen at the next turn.
        int wait_ms = 200;
        if (g_stop && !killed) {
            if (kill_at < 0) kill_at = mono_ms() + kStopGraceMs;
            wait_ms = int(std::clamp<int64_t>(kill_at - mono_ms(), 0, 200));
            if (mono_ms() >= kill_at) {
                kill(pid, SIGKILL);
                killed = true;
                fprintf(stderr, "kpt_extcap: kpt_dump did not end within %d s of the stop: killed\n",
                        kStopGraceMs / 1000);
            }
        }
        struct pollfd pfd = {errp[0], POLLIN, 0};
        if (poll(&pfd, 1, wait_ms) <= 0) continue;
        ssize_t n = read(errp[0], buf, sizeof buf);
        if (n > 0) {
            filter.feed(buf, size_t(n));
        } else if (n == 0 || errno != EINTR) {
            break;
        }
    }
    filter.finish();
    close(errp[0]);
    int st = 0;
    while (waitpid(pid, &st, 0) < 0 && errno == EINTR) {
    }
    close(fifo);
    if (WIFSIGNALED(st)) return 128 + WTERMSIG(st);
    int code = WEXITSTATUS(st);
    // Wireshark closing the fifo is the end it asked for.
    if (code != 0 && filter.fifo_closed() && !filter.other_errors()) return 0;
    return code;
}

enum {
    kOptInterfaces = 256,
    kOptVersion,
    kOptInterface,
    kOptDlts,
    kOptConfig,
    kOptFilter,
    kOptCapture,
    kOptFifo,
    kOptControlIn,
    kOptControlOut,
    kOptReload,
    kOptSnaplen,
    kOptRing,
    kOptHelp,
};

const struct option kLongOpts[] = {
    {"extcap-interfaces", no_argument, nullptr, kOptInterfaces},
    {"extcap-version", optional_argument, nullptr, kOptVersion},
    {"extcap-interface", required_argument, nullptr, kOptInterface},
    {"extcap-dlts", no_argument, nullptr, kOptDlts},
    {"extcap-config", no_argument, nullptr, kOptConfig},
    {"extcap-capture-filter", required_argument, nullptr, kOptFilter},
    {"capture", no_argument, nullptr, kOptCapture},
    {"fifo", required_argument, nullptr, kOptFifo},
    // The toolbar's control pipes: this source has no controls.
    {"extcap-control-in", required_argument, nullptr, kOptControlIn},
    {"extcap-control-out", required_argument, nullptr, kOptControlOut},
    {"extcap-reload-option", required_argument, nullptr, kOptReload},
    {"snaplen", required_argument, nullptr, kOptSnaplen},
    {"ring", required_argument, nullptr, kOptRing},
    {"help", no_argument, nullptr, kOptHelp},
    {nullptr, 0, nullptr, 0},
};

}  // namespace

int main(int argc, char **argv)
{
    Args a;
    opterr = 0;
    int c;
    while ((c = getopt_long(argc, argv, "", kLongOpts, nullptr)) != -1) {
        switch (c) {
        case kOptInterfaces: a.interfaces = true; break;
        case kOptVersion: break; // the caller's version: nothing here depends on it
        case kOptInterface: a.iface = optarg; break;
        case kOptDlts: a.dlts = true; break;
        case kOptConfig: a.config = true; break;
        case kOptFilter: a.filter = optarg; break;
        case kOptCapture: a.capture = true; break;
        case kOptFifo: a.fifo = optarg; break;
        case kOptControlIn:
        case kOptControlOut:
        case kOptReload: break;
        case kOptSnaplen:
            if (!parse_uint(optarg, 1, kMaxSnaplen, &a.snaplen))
                return fail("--snaplen " + quoted(optarg) + ": a number from 1 to " +
                            std::to_string(kMaxSnaplen));
            break;
        case kOptRing:
            if (!parse_uint(optarg, kMinRingMiB, kMaxRingMiB, &a.ring_mib))
                return fail("--ring " + quoted(optarg) + ": MiB from " + std::to_string(kMinRingMiB) +
                            " to " + std::to_string(kMaxRingMiB));
            break;
        case kOptHelp: fputs(kUsage, stdout); return 0;
        default:
            fail(quoted(argv[optind - 1]) + ": unknown option, or its value is missing");
            fputs(kUsage, stderr);
            return 1;
        }
    }
    if (optind < argc) {
        fail("unexpected argument " + quoted(argv[optind]));
        fputs(kUsage, stderr);
        return 1;
    }

    if (a.interfaces) return list_interfaces();
    if (a.capture) return run_capture(a);
    kptpcap::PortInfo port;
    if (a.dlts) {
        if (!find_port(a.iface, &port)) return 1;
        printf("dlt {number=%d}{name=EN10MB}{display=Ethernet}\n", DLT_EN10MB);
        return fflush(stdout) == 0 ? 0 : 1;
    }
    if (a.config) {
        if (!find_port(a.iface, &port)) return 1;
        return list_config();
    }
    if (a.filter) return check_filter(a.filter);
    fputs(kUsage, stderr);
    return 1;
}
