// kpt_dump - captures ports to pcapng files (or prints one line per frame),
// with capture filter expressions, file rotation and per-port statistics.
//
//   kpt_dump -p PORTS [-n RINGS] [-w FILE|-] [-c COUNT] [-s SNAPLEN] [-C MB]
//            [-W NFILES] [-G SECONDS] [-q] [FILTER EXPRESSION...]
//
// Several ports are read through one ring group, so the frames come out in
// timestamp order across them; -n gives one port's RSS rings a thread and a
// file each.  A single port's ring is read in batches; each frame is
// filtered in place and copied into a large output buffer, and the batch's
// ring space is given back at once.  Full buffers go to the file from a
// thread of their own (PcapngWriter).
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/utsname.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "frame_text.h"
#include "kpt.h"
#include "kpt_build.h"
#include "pcapng_writer.h"

using namespace kptdump;

namespace {

const char kUsage[] =
    "Usage: kpt_dump -p PORTS [-n RINGS] [-w FILE|-] [-c COUNT] [-s SNAPLEN] [-C MB]\n"
    "                [-W NFILES] [-G SECONDS] [-q] [FILTER EXPRESSION...]\n"
    "  -p PORTS    ports to capture: 0, 0,2 or 0-3\n"
    "  -n RINGS    RSS rings of the port, one thread and one file (.ringN) each\n"
    "  -w FILE     write pcapng to FILE ('-': standard output); without -w one\n"
    "              line per frame is printed\n"
    "  -c COUNT    stop after COUNT frames\n"
    "  -s SNAPLEN  bytes kept of each frame (default 262144)\n"
    "  -C MB       start a new file after MB megabytes (FILE.0, FILE.1, ...)\n"
    "  -W NFILES   with -C or -G, keep only the newest NFILES files\n"
    "  -G SECONDS  start a new file every SECONDS seconds\n"
    "  -q          no progress line\n";

constexpr uint32_t kMaxPorts = 32;
constexpr int kRecvTimeoutMs = 100;
// Frames borrowed from the ring per call.
constexpr int kBatch = 256;
// An interface statistics block as this program writes it.
constexpr uint64_t kIsbBytes = 112;

std::atomic<bool> g_stop{false};
std::atomic<bool> g_port_stopped{false}; // after kpt_stop: the rings only drain

uint64_t wall_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

double mono_s()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) / 1e9;
}

bool parse_num(const char *s, uint64_t lo, uint64_t hi, uint64_t *out)
{
    if (!s || !*s) return false;
    uint64_t v = 0;
    for (const char *p = s; *p; ++p) {
        if (*p < '0' || *p > '9') return false;
        if (v > (UINT64_MAX - uint64_t(*p - '0')) / 10) return false;
        v = v * 10 + uint64_t(*p - '0');
    }
    if (v < lo || v > hi) return false;
    *out = v;
    return true;
}

// "0", "0,2", "0-3", "0,2-3" into a mask; false when malformed.
bool parse_ports(const std::string &s, uint32_t *mask)
{
    uint32_t m = 0;
    size_t i = 0;
    while (i <= s.size()) {
        size_t j = s.find(',', i);
        if (j == std::string::npos) j = s.size();
        std::string item = s.substr(i, j - i);
        size_t dash = item.find('-');
        uint64_t a, b;
        if (dash == std::string::npos) {
            if (!parse_num(item.c_str(), 0, kMaxPorts - 1, &a)) return false;
            b = a;
        } else if (!parse_num(item.substr(0, dash).c_str(), 0, kMaxPorts - 1, &a) ||
                   !parse_num(item.substr(dash + 1).c_str(), 0, kMaxPorts - 1, &b) || b < a) {
            return false;
        }
        for (uint64_t p = a; p <= b; ++p) m |= 1u << p;
        i = j + 1;
    }
    *mask = m;
    return m != 0;
}

struct Options {
    uint32_t portmask = 0;
    int rings = 1;
    std::string out;  // empty: print lines; "-": standard output
    uint64_t count = 0;
    uint32_t snaplen = 262144;
    uint64_t rotate_bytes = 0;
    uint64_t keep_files = 0;
    uint64_t rotate_ns = 0;
    bool quiet = false;
    std::string filter;
};

// Counters of one port, as the library reports them.
struct PortCounters {
    uint64_t received = 0, adapter_drop = 0, ring_drop = 0;
    PortCounters operator-(const PortCounters &o) const
    {
        return {received - o.received, adapter_drop - o.adapter_drop, ring_drop - o.ring_drop};
    }
};

PortCounters read_port(kpt_ring_t ring)
{
    kpt_ring_stats st;
    memset(&st, 0, sizeof st);
    PortCounters c;
    if (kpt_ring_getstats(ring, &st) != 0) return c;
    c.adapter_drop = st.nic_pkt_overflow;
    c.ring_drop = st.ring_pkt_overflow;
    c.received = st.nic_pkt_recv + st.nic_pkt_overflow + st.ring_pkt_overflow;
    return c;
}

// What every output of the run shares.
struct Capture {
    Options opt;
    CaptureFilter filter;
    SectionInfo section;
    std::vector<IfaceDesc> ifaces;
    std::vector<kpt_ring_t> stat_ring; // per interface: a ring whose stats are its port's
    uint8_t port_if[kMaxPorts] = {};   // interface index of a port
    std::atomic<uint64_t> taken{0};    // frames written, against -c

    // The port counters as ring 0's thread last read them for the progress
    // line: a ring's statistics are read by the thread that uses the ring.
    std::atomic<bool> want_drops{false};
    std::atomic<uint64_t> drops{0};
    void publish_drops()
    {
        uint64_t d = 0;
        for (kpt_ring_t r : stat_ring) {
            PortCounters c = read_port(r);
            d += c.adapter_drop + c.ring_drop;
        }
        drops.store(d, std::memory_order_relaxed);
        want_drops.store(false, std::memory_order_release); // pairs with progress()'s acquire
    }
};

// One ring's output: a pcapng file set with its rotation, or printed lines.
class Output {
public:
    // own: the ring this output is fed from; a single port's counters are
    // read through it, so that no two threads share a ring.
    Output(Capture &cap, std::string suffix, kpt_ring_t own)
        : cap_(cap), suffix_(std::move(suffix)), stat_ring_(cap.stat_ring)
    {
        size_t n = cap.ifaces.size();
        if (n == 1) stat_ring_[0] = own;
        accepted_.assign(n, 0);
        delivered_.assign(n, 0);
        acc0_.assign(n, 0);
        del0_.assign(n, 0);
        port0_.assign(n, PortCounters{});
    }
    ~Output() { finish(); }

    bool writing() const { return !cap_.opt.out.empty(); }

    // Opens the first file; false with a message printed.
    bool open_first() { return !writing() || open_file(); }

    inline void frame(uint32_t ifid, uint64_t ts, const uint8_t *p, uint32_t len, uint32_t port)
    {
        accepted_[ifid]++;
        if (!writing()) {
            char line[512];
            size_t n = frame_line(line, sizeof line, ts, port, p, len);
            fwrite(line, 1, n, stdout);
            delivered_[ifid]++;
            return;
        }
        uint32_t caplen = std::min(len, cap_.opt.snaplen);
        uint64_t block = 32 + ((caplen + 3u) & ~3u);
        if (rotating() && since_open_ > 0 &&
            ((cap_.opt.rotate_bytes &&
              w_.file_bytes() + block + tail_bytes() > cap_.opt.rotate_bytes) ||
             (cap_.opt.rotate_ns && ts >= period_end_)))
            rotate(ts);
        w_.packet(ifid, ts, p, caplen, len);
        delivered_[ifid]++;
        since_open_++;
    }

    // Time-based rotation while nothing arrives.
    void idle()
    {
        if (writing() && cap_.opt.rotate_ns) {
            uint64_t now = wall_ns();
            if (now >= period_end_) rotate(now);
        }
        if (!writing()) fflush(stdout);
    }

    // Closes the current file with its statistics; the first error (errno).
    int finish()
    {
        if (!writing()) {
            fflush(stdout);
            return ferror(stdout) ? EIO : 0;
        }
        if (!w_.active()) return err_;
        uint64_t now = wall_ns();
        for (size_t i = 0; i < cap_.ifaces.size(); ++i) {
            PortCounters pc = read_port(stat_ring_[i]) - port0_[i];
            IfaceStats st;
            st.start_ns = file_start_;
            st.end_ns = now;
            st.received = pc.received;
            st.adapter_drop = pc.adapter_drop;
            st.ring_drop = pc.ring_drop;
            st.accepted = accepted_[i] - acc0_[i];
            st.delivered = delivered_[i] - del0_[i];
            w_.stats(uint32_t(i), st);
        }
        int e = w_.close();
        if (e && !err_) {
            err_ = e;
            fprintf(stderr, "kpt_dump: writing %s: %s\n", name_.c_str(), strerror(e));
        }
        return err_;
    }

    // A reader that went away (a closed pipe) ends the run too.
    int error() const
    {
        if (!writing()) return ferror(stdout) ? EPIPE : 0;
        return err_ ? err_ : w_.error();
    }

private:
    bool rotating() const { return cap_.opt.rotate_bytes || cap_.opt.rotate_ns; }
    uint64_t tail_bytes() const { return kIsbBytes * cap_.ifaces.size(); }

    std::string file_name(uint64_t k) const
    {
        std::string n = cap_.opt.out + suffix_;
        return rotating() ? n + "." + std::to_string(k) : n;
    }

    bool open_file()
    {
        int fd;
        bool own = true;
        name_ = file_name(index_);
        if (cap_.opt.out == "-") {
            fd = STDOUT_FILENO;
            own = false;
            name_ = "standard output";
        } else {
            fd = ::open(name_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            if (fd < 0) {
                err_ = errno;
                fprintf(stderr, "kpt_dump: %s: %s\n", name_.c_str(), strerror(errno));
                return false;
            }
        }
        file_start_ = wall_ns();
        if (index_ == 0) period_end_ = file_start_ + cap_.opt.rotate_ns;
        for (size_t i = 0; i < cap_.ifaces.size(); ++i)
            port0_[i] = read_port(stat_ring_[i]);
        acc0_ = accepted_;
        del0_ = delivered_;
        since_open_ = 0;
        w_.begin(fd, own, cap_.section, cap_.ifaces);
        if (cap_.opt.keep_files && index_ >= cap_.opt.keep_files)
            unlink(file_name(index_ - cap_.opt.keep_files).c_str());
        return true;
    }

    // A new file; time is the frame's (or the clock's) that asked for it.
    void rotate(uint64_t time)
    {
        // Periods follow each other from the first file's start, so no file
        // spans more than one of them however late a rotation happens.
        while (cap_.opt.rotate_ns && period_end_ <= time) period_end_ += cap_.opt.rotate_ns;
        if (finish() != 0) {
            g_stop = true;
            return;
        }
        index_++;
        if (!open_file()) g_stop = true;
    }

    Capture &cap_;
    std::string suffix_;
    std::vector<kpt_ring_t> stat_ring_;
    PcapngWriter w_;
    std::string name_;
    uint64_t index_ = 0;
    uint64_t file_start_ = 0;
    uint64_t period_end_ = 0; // -G: frames from here on go to the next file
    uint64_t since_open_ = 0;
    int err_ = 0;
    std::vector<uint64_t> accepted_, delivered_, acc0_, del0_;
    std::vector<PortCounters> port0_;
};

// Counters of one ring's thread, read by the progress line.
struct RingCounters {
    std::atomic<uint64_t> frames{0}, bytes{0}, filtered{0};
};

void bump(std::atomic<uint64_t> &c, uint64_t n = 1)
{
    // Single writer: a plain increment the progress thread may read at any time.
    c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

// One frame off the ring: filtered, counted, written.  False when the run
// must end here (the count is reached, or the output failed).
inline bool take(Capture &cap, const kpt_recv_req &req, Output &out, RingCounters &rc, int *err)
{
    const uint8_t *p = static_cast<const uint8_t *>(req.pkt_addr);
    bump(rc.bytes, req.length);
    if (!cap.filter.match(p, req.length)) {
        bump(rc.filtered);
        return true;
    }
    const uint64_t limit = cap.opt.count;
    if (limit && cap.taken.fetch_add(1, std::memory_order_relaxed) >= limit) return false;
    uint32_t ifid = req.portnum < kMaxPorts ? cap.port_if[req.portnum] : 0;
    out.frame(ifid, req.timestamp, p, req.length, req.portnum);
    bump(rc.frames);
    if ((*err = out.error()) != 0) return false;
    return !(limit && cap.taken.load(std::memory_order_relaxed) >= limit);
}

// Reads one ring: a port's ring in batches, a group (which merges its ports
// one frame at a time) frame by frame.
class RingReader {
public:
    RingReader(Capture &cap, kpt_ring_t ring, Output &out, RingCounters &rc, bool batched)
        : cap_(cap), ring_(ring), out_(out), rc_(rc), batched_(batched)
    {
    }

    // Takes what the ring holds, waiting up to timeout_ms for a first frame.
    // 0 with *more cleared when the run must end, EAGAIN/EINTR when nothing
    // came, or the library's error.
    int step(int timeout_ms, bool *more, int *err)
    {
        if (!batched_) {
            kpt_recv_req req;
            int r = kpt_ring_recv(ring_, timeout_ms, &req);
            if (r == 0) *more = take(cap_, req, out_, rc_, err);
            return r;
        }
        int n = 0;
        int r = kpt_ring_recv_many(ring_, timeout_ms, reqs_, kBatch, &n, nullptr);
        if (r != 0) return r;
        for (int i = 0; i < n && *more; ++i) *more = take(cap_, reqs_[i], out_, rc_, err);
        // Everything borrowed goes back: the frames taken are in the output
        // buffer by now, the rest is not wanted.
        kpt_ring_return_many(ring_, 0xFFFFFFFFu, nullptr);
        return 0;
    }

private:
    Capture &cap_;
    kpt_ring_t ring_;
    Output &out_;
    RingCounters &rc_;
    bool batched_;
    kpt_recv_req reqs_[kBatch];
};

int run_ring(Capture &cap, kpt_ring_t ring, Output &out, RingCounters &rc, bool publisher)
{
    int err = 0;
    bool more = true;
    RingReader rd(cap, ring, out, rc, cap.ifaces.size() == 1);
    while (more && !g_stop.load(std::memory_order_relaxed)) {
        // Pairs with the release store of the main thread's request.
        if (publisher && cap.want_drops.load(std::memory_order_acquire)) cap.publish_drops();
        int r = rd.step(kRecvTimeoutMs, &more, &err);
        if (r == EAGAIN || r == EINTR) {
            out.idle();
            continue;
        }
        if (r) {
            fprintf(stderr, "kpt_dump: kpt_ring_recv: %s\n", strerror(r));
            err = r;
            break;
        }
    }
    g_stop = true;
    // Stopped from outside: once the port no longer delivers, what is in the
    // ring already is taken too, so that every frame the port received is
    // accounted for in the statistics.
    if (more && !err) {
        while (!g_port_stopped.load()) usleep(1000);
        while (more && rd.step(0, &more, &err) == 0) {
        }
    }
    int e = out.finish();
    return err ? err : e;
}

int usage_error(const char *msg)
{
    if (msg) fprintf(stderr, "kpt_dump: %s\n", msg);
    fputs(kUsage, stderr);
    return 2;
}

int parse_options(int argc, char **argv, Options *o)
{
    int c;
    uint64_t v;
    bool have_ports = false, have_keep = false;
    while ((c = getopt(argc, argv, "+p:n:w:c:s:C:W:G:qh")) != -1) {
        switch (c) {
        case 'p':
            if (!parse_ports(optarg, &o->portmask)) return usage_error("-p: ports are 0 to 31, as 0, 0,2 or 0-3");
            have_ports = true;
            break;
        case 'n':
            if (!parse_num(optarg, 1, 32, &v)) return usage_error("-n: rings are 1 to 32");
            o->rings = int(v);
            break;
        case 'w':
            if (!*optarg) return usage_error("-w needs a file name");
            o->out = optarg;
            break;
        case 'c':
            if (!parse_num(optarg, 1, UINT64_MAX, &o->count)) return usage_error("-c: a count of at least 1");
            break;
        case 's':
            if (!parse_num(optarg, 1, 262144, &v)) return usage_error("-s: snap length 1 to 262144");
            o->snaplen = uint32_t(v);
            break;
        case 'C':
            if (!parse_num(optarg, 1, 1u << 30, &v)) return usage_error("-C: megabytes, at least 1");
            o->rotate_bytes = v * 1000000;
            break;
        case 'W':
            if (!parse_num(optarg, 1, 1u << 30, &o->keep_files)) return usage_error("-W: a number of files, at least 1");
            have_keep = true;
            break;
        case 'G':
            if (!parse_num(optarg, 1, 1u << 30, &v)) return usage_error("-G: seconds, at least 1");
            o->rotate_ns = v * 1000000000;
            break;
        case 'q': o->quiet = true; break;
        case 'h': fputs(kUsage, stdout); return 1;
        default: return usage_error(nullptr);
        }
    }
    for (int i = optind; i < argc; ++i) {
        if (!o->filter.empty()) o->filter += ' ';
        o->filter += argv[i];
    }
    if (!have_ports) return usage_error("-p PORTS is required");
    bool rotating = o->rotate_bytes || o->rotate_ns;
    if (have_keep && !rotating) return usage_error("-W needs -C or -G");
    if (rotating && (o->out.empty() || o->out == "-")) return usage_error("-C and -G need -w FILE");
    if (o->rings > 1 && __builtin_popcount(o->portmask) > 1) return usage_error("-n RINGS takes a single port");
    if (o->rings > 1 && o->out == "-") return usage_error("-n RINGS writes one file per ring: give -w FILE");
    return 0;
}

void fill_section(SectionInfo *si)
{
    si->application = std::string("kpt_dump ") + KPT_LIB_VERSION_STR;
    struct utsname u;
    if (uname(&u) == 0) si->os = std::string(u.sysname) + " " + u.release + " " + u.machine;
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0) si->comment = std::string("host ") + host;
}

void progress(const std::vector<std::unique_ptr<RingCounters>> &rcs, Capture &cap,
              uint64_t base_drops, uint64_t *last_frames, uint64_t *last_bytes, double *last_t)
{
    uint64_t frames = 0, bytes = 0;
    for (auto &r : rcs) {
        frames += r->frames.load(std::memory_order_relaxed);
        bytes += r->bytes.load(std::memory_order_relaxed);
    }
    // What ring 0's thread published since the last line; asked again for the next.
    uint64_t drops = cap.drops.load(std::memory_order_relaxed);
    drops = drops > base_drops ? drops - base_drops : 0;
    cap.want_drops.store(true, std::memory_order_release); // pairs with run_ring()'s acquire
    double t = mono_s(), dt = t - *last_t;
    if (dt <= 0) return;
    fprintf(stderr, "\r%llu frames, %.3f Mpps, %.3f Gbit/s, %llu dropped   ",
            (unsigned long long)frames, double(frames - *last_frames) / dt / 1e6,
            double(bytes - *last_bytes) * 8 / dt / 1e9, (unsigned long long)drops);
    *last_frames = frames;
    *last_bytes = bytes;
    *last_t = t;
}

}  // namespace

int main(int argc, char **argv)
{
    // Signals are taken by the main thread alone, with sigtimedwait; blocked
    // before the library can start threads of its own, which inherit the mask.
    sigset_t sigs;
    sigemptyset(&sigs);
    sigaddset(&sigs, SIGINT);
    sigaddset(&sigs, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Capture cap;
    Options &opt = cap.opt;
    int rc = parse_options(argc, argv, &opt);
    if (rc) return rc == 1 ? 0 : rc;

    std::string ferr;
    if (!cap.filter.compile(opt.filter, opt.snaplen, &ferr)) {
        fprintf(stderr, "kpt_dump: bad filter expression: %s\n", ferr.c_str());
        return 2;
    }

    if ((rc = kpt_init(KPT_API_VERSION)) != 0) {
        fprintf(stderr, "kpt_dump: kpt_init: %s\n", strerror(rc));
        return 1;
    }
    // Interfaces in port order, named and addressed as the host lists them.
    kpt_ifaddrs *ifa = nullptr;
    if (kpt_getifaddrs(&ifa) != 0) ifa = nullptr;
    std::vector<uint32_t> ports;
    for (uint32_t p = 0; p < kMaxPorts; ++p) {
        if (!(opt.portmask & (1u << p))) continue;
        IfaceDesc d;
        d.name = "quor" + std::to_string(p);
        d.snaplen = opt.snaplen;
        for (kpt_ifaddrs *a = ifa; a; a = a->kpt_ifa_next) {
            if (a->kpt_ifa_portnum != p) continue;
            if (a->kpt_ifa_name && *a->kpt_ifa_name) d.name = a->kpt_ifa_name;
            memcpy(d.mac, a->kpt_ifa_macaddr, 6);
            d.has_mac = true;
            d.speed_bps = a->kpt_ifa_link_speed;
            break;
        }
        cap.port_if[p] = uint8_t(cap.ifaces.size());
        cap.ifaces.push_back(d);
        ports.push_back(p);
    }
    if (ifa) kpt_freeifaddrs(ifa);
    fill_section(&cap.section);

    kpt_handle_t h = nullptr;
    if (ports.size() > 1)
        rc = kpt_open(opt.portmask, 1, nullptr, 0, KPT_F_AGGREGATE_PORTMASK, &h);
    else
        rc = kpt_open(ports[0], opt.rings, nullptr, 0, -1, &h);
    if (rc) {
        fprintf(stderr, "kpt_dump: cannot open port%s %s: %s\n", ports.size() > 1 ? "s" : "",
                ports.size() > 1 ? "group" : std::to_string(ports[0]).c_str(), strerror(rc));
        return 1;
    }
    std::vector<kpt_ring_t> rings(size_t(opt.rings), nullptr);
    for (int r = 0; r < opt.rings && !rc; ++r)
        rc = opt.rings > 1 ? kpt_ring_open_id(h, r, &rings[size_t(r)])
                           : kpt_ring_open(h, &rings[size_t(r)]);
    if (rc) {
        fprintf(stderr, "kpt_dump: cannot open a receive ring: %s\n", strerror(rc));
        for (kpt_ring_t r : rings)
            if (r) kpt_ring_close(r);
        kpt_close(h);
        return 1;
    }
    // Port counters: a group's member rings, or the ring itself.
    cap.stat_ring.assign(cap.ifaces.size(), rings[0]);
    if (ports.size() > 1) {
        int n = 0;
        kpt_ring_portinfo_count(rings[0], &n);
        std::vector<struct kpt_ring_portinfo> pi(size_t(std::max(n, 0)));
        if (n > 0 && kpt_ring_portinfo(rings[0], pi.data()) == 0)
            for (const auto &m : pi)
                for (uint32_t p = 0; p < kMaxPorts; ++p)
                    if (m.portmask == (1u << p) && (opt.portmask & m.portmask))
                        cap.stat_ring[cap.port_if[p]] = m.ring;
    }

    std::vector<std::unique_ptr<Output>> outs;
    std::vector<std::unique_ptr<RingCounters>> counters;
    bool ok = true;
    for (int r = 0; r < opt.rings; ++r) {
        outs.push_back(std::make_unique<Output>(
            cap, opt.rings > 1 ? ".ring" + std::to_string(r) : "", rings[size_t(r)]));
        counters.push_back(std::make_unique<RingCounters>());
        if (!outs.back()->open_first()) ok = false;
    }
    if (!opt.out.empty() && opt.out != "-") setvbuf(stdout, nullptr, _IOLBF, 0);
    else if (opt.out.empty()) setvbuf(stdout, nullptr, _IOFBF, 1 << 16);

    std::vector<PortCounters> base(cap.ifaces.size());
    uint64_t base_drops = 0;
    for (size_t i = 0; i < base.size(); ++i) {
        base[i] = read_port(cap.stat_ring[i]);
        base_drops += base[i].adapter_drop + base[i].ring_drop;
    }
    cap.drops = base_drops;

    int status = 0;
    if (ok && (rc = kpt_start(h)) != 0) {
        fprintf(stderr, "kpt_dump: kpt_start: %s\n", strerror(rc));
        ok = false;
    }
    std::vector<std::thread> threads;
    std::vector<int> results(size_t(opt.rings), 0);
    std::atomic<int> running{0};
    if (ok) {
        running = opt.rings;
        for (int r = 0; r < opt.rings; ++r)
            threads.emplace_back([&, r] {
                results[size_t(r)] =
                    run_ring(cap, rings[size_t(r)], *outs[size_t(r)], *counters[size_t(r)], r == 0);
                g_stop = g_stop || results[size_t(r)] != 0;
                running--;
            });
        bool show = !opt.quiet && isatty(STDERR_FILENO);
        uint64_t lf = 0, lb = 0;
        double lt = mono_s(), next = lt + 1;
        while (running.load() > 0 && !g_stop.load()) {
            struct timespec ts = {0, 100 * 1000000};
            int s = sigtimedwait(&sigs, nullptr, &ts);
            if (s == SIGINT || s == SIGTERM) g_stop = true;
            if (show && mono_s() >= next) {
                progress(counters, cap, base_drops, &lf, &lb, &lt);
                next += 1;
            }
        }
        g_stop = true;
        kpt_stop(h);
        g_port_stopped = true;
        for (auto &t : threads) t.join();
        if (show) fputc('\n', stderr);
    }
    for (int r : results)
        if (r) status = 1;
    if (!ok) status = 1;

    uint64_t frames = 0, filtered = 0, adrop = 0, rdrop = 0;
    for (auto &c : counters) {
        frames += c->frames.load();
        filtered += c->filtered.load();
    }
    for (size_t i = 0; i < cap.ifaces.size(); ++i) {
        PortCounters d = read_port(cap.stat_ring[i]) - base[i];
        adrop += d.adapter_drop;
        rdrop += d.ring_drop;
    }
    outs.clear(); // files not closed by their threads (start failed) are closed here
    for (kpt_ring_t r : rings) kpt_ring_close(r);
    kpt_close(h);
    fprintf(stderr, "%llu frames captured, %llu dropped by the adapter, %llu by the ring, %llu filtered out\n",
            (unsigned long long)frames, (unsigned long long)adrop, (unsigned long long)rdrop,
            (unsigned long long)filtered);
    return status;
}
