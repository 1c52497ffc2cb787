// kpt_dump - captures ports to pcapng files (or prints one line per frame),
// with capture filter expressions, file rotation and per-port statistics.
//
//   kpt_dump -i NAME | -p PORTS [-n RINGS] [-w FILE|-] [-c COUNT] [-s SNAPLEN]
//            [-B KIB] [-C MB [--prealloc]] [-W NFILES] [-G SECONDS] [-U] [-q]
//            [-F FILE | FILTER EXPRESSION...]
//
// Several ports are read through one ring group, so the frames come out in
// timestamp order across them; -n gives one port's RSS rings a thread and a
// file each.  A single port's ring is read in batches; each frame is
// filtered in place and copied into a large output buffer, and the batch's
// ring space is given back at once.  Full buffers go to the file from a
// thread of their own (PcapngWriter); what is buffered goes out at least once
// a second, and after every batch with -U.
#include <errno.h>
#include <fcntl.h>
#include <getopt.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <linux/magic.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
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
#include "pcap_ports.h"
#include "pcapng_writer.h"

using namespace kptdump;

namespace {

const char kUsage[] =
    "Usage: kpt_dump -i NAME | -p PORTS [-n RINGS] [-w FILE|-] [-c COUNT] [-s SNAPLEN]\n"
    "                [-B KIB] [-C MB [--prealloc]] [-W NFILES] [-G SECONDS] [-U] [-q]\n"
    "                [-F FILE | FILTER EXPRESSION...]\n"
    "       kpt_dump -D | -h | --version\n"
    "  -i NAME     the port named NAME (as -D lists it); NAME@R its ring R alone;\n"
    "              NAME+M+... merges ports M, ...\n"
    "  -p PORTS    ports to capture by number: 0, 0,2 or 0-3\n"
    "  -n RINGS    RSS rings of the port, one thread and one file (FILE.ringN) each\n"
    "  -w FILE     write pcapng to FILE ('-': standard output); without -w one\n"
    "              line per frame is printed\n"
    "  -c COUNT    stop after COUNT frames\n"
    "  -s SNAPLEN  bytes kept of each frame (0 or default: 262144, the whole frame)\n"
    "  -B KIB      size of the data ring in KiB\n"
    "  -C MB       start a new file after MB megabytes (FILE, FILE1, FILE2, ...)\n"
    "  --prealloc  with -C: reserve each file's size when it opens, cut it back\n"
    "              to its content when it closes; with -W, make the whole set\n"
    "              before the capture and rewrite its files in place\n"
    "  -W NFILES   with -C: reuse NFILES names (FILE0 ...); with -G: stop after\n"
    "              NFILES files\n"
    "  -G SECONDS  start a new file every SECONDS seconds, when a frame comes;\n"
    "              FILE may hold strftime patterns (%Y%m%d-%H%M%S)\n"
    "  -U          write every frame to the file as it comes\n"
    "  -F FILE     read the filter expression from FILE\n"
    "  -D          list the ports with link state and MAC address\n"
    "  -q          no progress line\n"
    "  -h, --help  this text;  --version  the program's version\n"
    "Frames reach the file at least once a second; SIGINT, SIGTERM, SIGHUP and\n"
    "SIGQUIT end a capture with its files complete.\n";

constexpr uint32_t kMaxPorts = 32;
constexpr uint32_t kMaxSnap = 262144;
constexpr int kRecvTimeoutMs = 100;
// Frames borrowed from the ring per call.
constexpr int kBatch = 256;
// An interface statistics block as this program writes it.
constexpr uint64_t kIsbBytes = 112;
// Buffered output goes to the file at least this often.
constexpr uint64_t kFlushNs = 1000000000;

std::atomic<bool> g_stop{false};
// Stopping: each ring thread, once it sees g_stop, freezes its counters and
// counts itself in g_frozen; the main thread then stops the port and sets
// g_port_stopped, after which the rings only drain.
std::atomic<int> g_frozen{0};
std::atomic<bool> g_port_stopped{false};

uint64_t wall_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

// The host's time for rotation and flushing, read once a batch: the coarse
// clock costs a few nanoseconds and is a few milliseconds fine at worst.
uint64_t tick_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME_COARSE, &ts);
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

// A word from the command line or a file, fit to be printed: control and
// non-ASCII bytes as \xNN, at most 64 of them.
std::string printable(const std::string &s)
{
    std::string o;
    for (size_t i = 0; i < s.size() && i < 64; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        if (c >= 0x20 && c < 0x7f) {
            o += char(c);
        } else {
            char b[8];
            snprintf(b, sizeof b, "\\x%02x", c);
            o += b;
        }
    }
    if (s.size() > 64) o += "...";
    return o;
}

// -i NAME: a port as kpt_getifaddrs names it, NAME@R (its ring R alone) or
// NAME+M+K... (ports merged), read as the libpcap route reads them; a plain
// number is a port too.  False with the reason in *why.
bool parse_ifname(const std::string &s, const kpt_ifaddrs *ifa, uint32_t *mask, int *ring_id,
                  std::string *why)
{
    std::vector<kptpcap::PortInfo> ports;
    for (const kpt_ifaddrs *a = ifa; a; a = a->kpt_ifa_next) {
        if (!a->kpt_ifa_name || a->kpt_ifa_portnum >= kMaxPorts) continue;
        kptpcap::PortInfo p;
        p.name = a->kpt_ifa_name;
        p.port = a->kpt_ifa_portnum;
        ports.push_back(p);
    }
    kptpcap::DeviceSpec d = kptpcap::parse_device(s.c_str(), ports);
    uint64_t v;
    switch (d.kind) {
    case kptpcap::DeviceSpec::Port:
    case kptpcap::DeviceSpec::Merged: *mask = d.portmask; return true;
    case kptpcap::DeviceSpec::Ring:
        *mask = d.portmask;
        *ring_id = d.ring_id;
        return true;
    case kptpcap::DeviceSpec::Bad: *why = d.error; return false;
    case kptpcap::DeviceSpec::NotOurs: break;
    }
    if (parse_num(s.c_str(), 0, kMaxPorts - 1, &v)) {
        *mask = 1u << v;
        return true;
    }
    *why = printable(s) + ": no such port (kpt_dump -D lists them)";
    return false;
}

struct Options {
    uint32_t portmask = 0;
    std::string ifname; // -i, resolved once the library is up
    int ring_id = -1;   // -i NAME@R: that ring of the port alone
    int rings = 1;
    std::string out;  // empty: print lines; "-": standard output
    uint64_t count = 0;
    uint32_t snaplen = kMaxSnap;
    uint64_t ring_bytes = 0; // -B; 0: the library's default
    uint64_t rotate_bytes = 0;
    bool prealloc = false;
    uint64_t keep_files = 0;
    uint64_t rotate_ns = 0;
    bool unbuffered = false;
    bool quiet = false;
    bool list = false;
    std::string filter;
};

// Counters of one port, as the library reports them.
struct PortCounters {
    uint64_t recv = 0, adapter_drop = 0, ring_drop = 0;
    uint64_t received() const { return recv + adapter_drop + ring_drop; }
    PortCounters operator-(const PortCounters &o) const
    {
        return {recv - o.recv, adapter_drop - o.adapter_drop, ring_drop - o.ring_drop};
    }
};

PortCounters read_port(kpt_ring_t ring)
{
    kpt_ring_stats st;
    memset(&st, 0, sizeof st);
    PortCounters c;
    if (kpt_ring_getstats(ring, &st) != 0) return c;
    c.recv = st.nic_pkt_recv;
    c.adapter_drop = st.nic_pkt_overflow;
    c.ring_drop = st.ring_pkt_overflow;
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
    // The run's counters per interface, left by ring 0's thread at its end
    // (read by the main thread after the join).
    std::vector<PortCounters> totals;
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
        run0_.assign(n, PortCounters{});
        frozen_.assign(n, PortCounters{});
        pattern_ = cap.opt.rotate_ns && cap.opt.out.find('%') != std::string::npos;
    }
    ~Output()
    {
        finish();
        // A run that ends in the set's first round leaves no spare behind.
        if (set_made_)
            for (uint64_t i = opened_; i < cap_.opt.keep_files; ++i) unlink(made_name(i).c_str());
    }

    bool writing() const { return !cap_.opt.out.empty(); }

    // Opens the first file (with a preallocated set, makes the set first);
    // false with a message printed.
    bool open_first()
    {
        for (size_t i = 0; i < stat_ring_.size(); ++i) run0_[i] = read_port(stat_ring_[i]);
        if (writing() && in_place() && !make_set()) return false;
        return !writing() || open_file(tick_ns());
    }

    // Once the port delivers: frames that reached it before are not this
    // run's drops.  Called before the ring's thread starts.
    void started()
    {
        for (size_t i = 0; i < stat_ring_.size(); ++i) {
            PortCounters c = read_port(stat_ring_[i]);
            run0_[i].adapter_drop = port0_[i].adapter_drop = c.adapter_drop;
        }
    }

    // At the stop, before the port stops delivering: the adapter's drop
    // counts from here on are not this run's (it counts what reaches a
    // stopped port as dropped).  Frames already delivered are still taken.
    void freeze()
    {
        for (size_t i = 0; i < stat_ring_.size(); ++i) frozen_[i] = read_port(stat_ring_[i]);
        is_frozen_ = true;
    }

    // false when the run must end here (an output error or -G with -W done).
    inline bool frame(uint32_t ifid, uint64_t ts, const uint8_t *p, uint32_t len, uint32_t port)
    {
        if (!writing()) {
            accepted_[ifid]++;
            char line[512];
            size_t n = frame_line(line, sizeof line, ts, port, p, len);
            fwrite(line, 1, n, stdout);
            delivered_[ifid]++;
            return true;
        }
        uint32_t caplen = std::min(len, cap_.opt.snaplen);
        if (!ready_for(caplen)) return false;
        accepted_[ifid]++;
        w_.packet(ifid, ts, p, caplen, len);
        delivered_[ifid]++;
        since_open_++;
        return true;
    }

    // What batch() looked at: frames, their bytes, and those written.
    struct BatchCount {
        int seen = 0;
        uint64_t bytes = 0, taken = 0;
    };

    // A batch of a single port's ring (interface 0) into files, without -c:
    // the path of a capture at full rate, where a frame costs the filter and
    // the block's copy, and the counters and checks are the batch's.  False
    // when the run must end (an output error, or -G with -W done).
    bool batch(const kpt_recv_req *reqs, int n, const CaptureFilter &filter, BatchCount *bc)
    {
        const uint32_t snap = cap_.opt.snaplen;
        // Without -C, only a file not open yet (-G) needs a look per frame.
        const bool by_size = cap_.opt.rotate_bytes != 0;
        uint64_t bytes = 0, k = 0;
        // The file's counters as of now, before a rotation reads them.
        auto settle = [&] {
            accepted_[0] += k;
            delivered_[0] += k;
            since_open_ += k;
            bc->taken += k;
            k = 0;
        };
        bool ok = true;
        int i = 0;
        for (; i < n; ++i) {
            const kpt_recv_req &r = reqs[i];
            const uint8_t *p = static_cast<const uint8_t *>(r.pkt_addr);
            bytes += r.length;
            if (!filter.match(p, r.length)) continue;
            const uint32_t caplen = std::min(r.length, snap);
            if (__builtin_expect(by_size || !w_.active(), 0)) {
                settle();
                if (!ready_for(caplen)) {
                    ok = false;
                    break;
                }
            }
            w_.packet(0, r.timestamp, p, caplen, r.length);
            ++k;
        }
        settle();
        bc->seen = i;
        bc->bytes = bytes;
        return ok && error() == 0;
    }

    // Before each batch and while nothing comes, with the host's time: ends
    // a period's file, and sends what is buffered to the file once a second.
    // false when the run must end here.
    bool tick(uint64_t now)
    {
        now_ = now;
        if (!writing()) {
            if (now - last_flush_ >= kFlushNs) {
                fflush(stdout);
                last_flush_ = now;
            }
            return true;
        }
        if (cap_.opt.rotate_ns && w_.active() && now >= period_end_) {
            if (finish() != 0) return false;
            in_period_ = 0;
            // -W with -G: that many files, then the run ends.
            if (cap_.opt.keep_files && opened_ >= cap_.opt.keep_files) done_ = true;
            return !done_;
        }
        if (now - last_flush_ >= kFlushNs) flush();
        return !done_;
    }

    // What is buffered goes to the file (-U: after every batch).
    void flush()
    {
        last_flush_ = now_;
        if (!writing()) fflush(stdout);
        else if (w_.active()) w_.drain();
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
            PortCounters pc = counters(i) - port0_[i];
            IfaceStats st;
            st.start_ns = file_start_;
            st.end_ns = now;
            st.adapter_drop = pc.adapter_drop;
            st.ring_drop = pc.ring_drop;
            st.accepted = accepted_[i] - acc0_[i];
            // A port may count its frames after it has handed them over,
            // so that the last ones drained at the stop are not counted
            // yet; what the filter accepted the port has received.
            st.received = std::max(pc.received(), st.accepted);
            st.delivered = delivered_[i] - del0_[i];
            w_.stats(uint32_t(i), st);
        }
        int e = w_.close();
        if (e && !err_) {
            err_ = e;
            fprintf(stderr, "kpt_dump: writing %s: %s\n", printable(name_).c_str(), strerror(e));
        }
        return err_;
    }

    // The run's counters of interface i, frozen at the stop.
    PortCounters run_counters(size_t i) const { return counters(i) - run0_[i]; }

    // A reader that went away (a closed pipe) ends the run too.
    int error() const
    {
        if (!writing()) return ferror(stdout) ? EPIPE : 0;
        return err_ ? err_ : w_.error();
    }

private:
    uint64_t tail_bytes() const { return kIsbBytes * cap_.ifaces.size(); }

    // A file open with room for a block of caplen bytes: the period's file
    // opens with its first frame, and -C starts the next file where this
    // block would not fit.  False when the run must end.
    bool ready_for(uint32_t caplen)
    {
        if (!w_.active()) return !done_ && open_file(now_);
        if (cap_.opt.rotate_bytes && since_open_ > 0 &&
            w_.file_bytes() + 32 + ((caplen + 3u) & ~3u) + tail_bytes() > cap_.opt.rotate_bytes)
            return finish() == 0 && open_file(now_);
        return true;
    }

    PortCounters counters(size_t i) const
    {
        PortCounters c = read_port(stat_ring_[i]);
        if (is_frozen_) c.adapter_drop = std::max(frozen_[i].adapter_drop, run0_[i].adapter_drop);
        return c;
    }

    // FILE, then FILE1, FILE2, ...; with -C and -W the names FILE0 to
    // FILE<N-1> come round again; with -G, strftime patterns in FILE are
    // filled from the time the file opens (and the numbers count the
    // files of one period).
    std::string file_name(uint64_t now) const
    {
        const Options &o = cap_.opt;
        std::string base = o.out;
        if (pattern_) {
            time_t t = time_t(now / 1000000000u);
            struct tm tm;
            char buf[4096];
            size_t n = localtime_r(&t, &tm) ? strftime(buf, sizeof buf, o.out.c_str(), &tm) : 0;
            if (n) base.assign(buf, n);
        }
        if (!o.rotate_bytes && !o.rotate_ns) return base + suffix_;
        if (o.rotate_bytes && o.keep_files && !o.rotate_ns) return slot_name(opened_ % o.keep_files);
        uint64_t k = pattern_ ? in_period_ : opened_;
        return base + (k ? std::to_string(k) : "") + suffix_;
    }

    // FILE<i> of a -C/-W set: as wide as the largest number, FILE00 to
    // FILE11 for twelve.
    std::string slot_name(uint64_t i) const
    {
        std::string num = std::to_string(i);
        size_t width = std::to_string(cap_.opt.keep_files - 1).size();
        return cap_.opt.out + std::string(width - num.size(), '0') + num + suffix_;
    }
    // Where make_set() puts slot i's space: FILE0 itself, the others hidden.
    std::string made_name(uint64_t i) const { return i ? spare_name(i) : slot_name(0); }
    // Where slot i's space waits, hidden beside it, until its first use.
    std::string spare_name(uint64_t i) const
    {
        std::string n = slot_name(i);
        size_t at = dir_of(n).size();
        return n.substr(0, at) + "." + n.substr(at) + ".prealloc";
    }
    // The directory part of a path, its slash included ("" for none).
    static std::string dir_of(const std::string &path)
    {
        size_t slash = path.rfind('/');
        return slash == std::string::npos ? "" : path.substr(0, slash + 1);
    }

    // --prealloc with a -C/-W set: every file's space is claimed before the
    // capture starts, and a file whose name comes round again is rewritten
    // in place.  Once the set has gone round, no page is given back to the
    // file system and taken again while frames arrive.
    bool in_place() const
    {
        const Options &o = cap_.opt;
        return o.prealloc && o.rotate_bytes && o.keep_files && !o.rotate_ns && o.out != "-";
    }

    // The set's files at full size: FILE0 under its name, the others as
    // spares that take their names when their turn comes (a reader never
    // sees a file that holds no capture).  On tmpfs the space is written
    // once as well as reserved: reserved pages are only taken, and in a
    // virtual machine that hands free memory back to its host the first
    // write into such a page is several times slower than a later one
    // (0.35 against 5-8 GB/s measured, under the 1.23 GB/s of 1514-byte
    // line rate).  Elsewhere the reservation is enough.
    bool make_set()
    {
        const Options &o = cap_.opt;
        if (!o.quiet)
            fprintf(stderr, "kpt_dump: preallocating %llu files of %llu MB\n",
                    (unsigned long long)o.keep_files, (unsigned long long)(o.rotate_bytes / 1000000));
        // The whole set must fit, beside what its names hold now (they are
        // replaced): filling the file system first to find out would leave
        // everything else on it without room meanwhile.
        struct statvfs vf;
        const std::string dir = dir_of(slot_name(0));
        if (statvfs(dir.empty() ? "." : dir.c_str(), &vf) == 0) {
            uint64_t have = uint64_t(vf.f_bavail) * vf.f_frsize, need = o.keep_files * o.rotate_bytes;
            struct stat st;
            for (uint64_t i = 0; i < o.keep_files; ++i)
                for (const std::string &n : {slot_name(i), spare_name(i)})
                    if (stat(n.c_str(), &st) == 0 && S_ISREG(st.st_mode)) have += uint64_t(st.st_blocks) * 512;
            if (need > have) {
                fprintf(stderr, "kpt_dump: %s: %s (the set needs %llu MB, there are %llu)\n",
                        printable(slot_name(0)).c_str(), strerror(ENOSPC),
                        (unsigned long long)(need / 1000000), (unsigned long long)(have / 1000000));
                err_ = ENOSPC;
                return false;
            }
        }
        static const std::vector<uint8_t> zeros(1u << 20);
        for (uint64_t i = 0; i < o.keep_files; ++i) {
            const std::string name = made_name(i);
            int fd = ::open(name.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            int e = fd < 0 ? errno : 0;
            struct statfs sf;
            const bool tmpfs = !e && fstatfs(fd, &sf) == 0 && sf.f_type == TMPFS_MAGIC;
            // A file system that cannot reserve space just gets written.
            if (!e && fallocate(fd, 0, 0, off_t(o.rotate_bytes)) != 0 && errno != EOPNOTSUPP)
                e = errno;
            for (uint64_t off = 0; !e && tmpfs && off < o.rotate_bytes;) {
                const size_t n = size_t(std::min<uint64_t>(zeros.size(), o.rotate_bytes - off));
                ssize_t k = pwrite(fd, zeros.data(), n, off_t(off));
                if (k > 0) off += uint64_t(k);
                else if (k == 0 || errno != EINTR) e = k ? errno : EIO;
            }
            if (fd >= 0) ::close(fd);
            if (e) {
                fprintf(stderr, "kpt_dump: %s: %s\n", printable(name).c_str(), strerror(e));
                for (uint64_t j = 0; j <= i; ++j) unlink(made_name(j).c_str());
                err_ = e;
                return false;
            }
        }
        set_made_ = true;
        return true;
    }

    bool open_file(uint64_t now)
    {
        int fd;
        bool own = true;
        name_ = file_name(now);
        if (cap_.opt.out == "-") {
            fd = STDOUT_FILENO;
            own = false;
            name_ = "standard output";
        } else {
            // A preallocated set's file is rewritten in place; the first
            // time round, its spare becomes it.
            if (set_made_ && opened_ > 0 && opened_ < cap_.opt.keep_files)
                rename(spare_name(opened_).c_str(), name_.c_str());
            fd = ::open(name_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | (set_made_ ? 0 : O_TRUNC), 0644);
            if (fd < 0) {
                err_ = errno;
                fprintf(stderr, "kpt_dump: %s: %s\n", printable(name_).c_str(), strerror(errno));
                return false;
            }
        }
        file_start_ = wall_ns();
        // A period runs from the opening of its first file.
        if (in_period_ == 0) period_end_ = now + cap_.opt.rotate_ns;
        for (size_t i = 0; i < cap_.ifaces.size(); ++i) port0_[i] = counters(i);
        acc0_ = accepted_;
        del0_ = delivered_;
        since_open_ = 0;
        opened_++;
        in_period_++;
        w_.begin(fd, own, cap_.section, cap_.ifaces, cap_.opt.prealloc ? cap_.opt.rotate_bytes : 0);
        // The header goes out at once: a reader sees a valid file from the start.
        w_.drain();
        last_flush_ = now;
        return true;
    }

    Capture &cap_;
    std::string suffix_;
    std::vector<kpt_ring_t> stat_ring_;
    PcapngWriter w_;
    std::string name_;
    bool pattern_ = false;     // -G with strftime patterns in the name
    uint64_t opened_ = 0;      // files opened
    uint64_t in_period_ = 0;   // files opened in the current -G period
    bool done_ = false;        // -G with -W: the last file is closed
    uint64_t now_ = 0;         // host time of the batch being taken
    uint64_t last_flush_ = 0;
    uint64_t file_start_ = 0;
    uint64_t period_end_ = 0;  // -G: the current file closes here
    uint64_t since_open_ = 0;
    int err_ = 0;
    bool is_frozen_ = false;
    bool set_made_ = false;    // make_set(): files are rewritten in place
    std::vector<uint64_t> accepted_, delivered_, acc0_, del0_;
    std::vector<PortCounters> port0_, run0_, frozen_;
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
    if (!out.frame(ifid, req.timestamp, p, req.length, req.portnum)) {
        *err = out.error();
        return false;
    }
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
            if (r == 0) *more = out_.tick(tick_ns()) && take(cap_, req, out_, rc_, err);
            return r;
        }
        int n = 0;
        int r = kpt_ring_recv_many(ring_, timeout_ms, reqs_, kBatch, &n, nullptr);
        if (r != 0) return r;
        *more = out_.tick(tick_ns());
        if (*more && out_.writing() && !cap_.opt.count) {
            Output::BatchCount bc;
            *more = out_.batch(reqs_, n, cap_.filter, &bc);
            bump(rc_.bytes, bc.bytes);
            bump(rc_.frames, bc.taken);
            bump(rc_.filtered, uint64_t(bc.seen) - bc.taken);
            if (!*more) *err = out_.error();
        } else {
            for (int i = 0; i < n && *more; ++i) *more = take(cap_, reqs_[i], out_, rc_, err);
        }
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
    while (more && !g_stop.load(std::memory_order_acquire)) {
        // Pairs with the release store of the main thread's request.
        if (publisher && cap.want_drops.load(std::memory_order_acquire)) {
            uint64_t d = 0;
            for (size_t i = 0; i < cap.ifaces.size(); ++i) {
                PortCounters c = out.run_counters(i);
                d += c.adapter_drop + c.ring_drop;
            }
            cap.drops.store(d, std::memory_order_relaxed);
            cap.want_drops.store(false, std::memory_order_release); // pairs with progress()'s acquire
        }
        int r = rd.step(kRecvTimeoutMs, &more, &err);
        if (r == 0 && cap.opt.unbuffered) out.flush();
        if (r == EAGAIN || r == EINTR) {
            more = out.tick(tick_ns());
            continue;
        }
        if (r) {
            fprintf(stderr, "kpt_dump: kpt_ring_recv: %s\n", strerror(r));
            err = r;
            break;
        }
    }
    g_stop.store(true, std::memory_order_release);
    // The counters as of the stop; the main thread stops the port once every
    // ring has them (pairs with its acquire load of g_frozen).
    out.freeze();
    g_frozen.fetch_add(1, std::memory_order_release);
    // Stopped from outside: once the port no longer delivers, what is in the
    // ring already is taken too, so that every frame the port received is
    // accounted for in the statistics.
    if (more && !err) {
        while (!g_port_stopped.load(std::memory_order_acquire)) usleep(200);
        while (more && rd.step(0, &more, &err) == 0) {
        }
    }
    if (publisher) {
        cap.totals.resize(cap.ifaces.size());
        for (size_t i = 0; i < cap.ifaces.size(); ++i) cap.totals[i] = out.run_counters(i);
    }
    int e = out.finish();
    return err ? err : e;
}

// Command-line mistakes exit 1, as other capture programs do.
int usage_error(const char *msg, const std::string &what = "")
{
    if (msg) fprintf(stderr, "kpt_dump: %s%s\n", msg, printable(what).c_str());
    fputs(kUsage, stderr);
    return 1;
}

bool read_filter_file(const char *path, std::string *out)
{
    FILE *f = fopen(path, "re");
    if (!f) return false;
    std::string s;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, f)) > 0 && s.size() < (1u << 20)) s.append(buf, n);
    bool ok = !ferror(f);
    fclose(f);
    // Lines become one expression, words one space apart; '#' starts a
    // comment to the line's end.
    std::string expr;
    bool comment = false, space = false;
    for (char c : s) {
        if (c == '\n') comment = false;
        if (c == '#') comment = true;
        if (comment) continue;
        if (c == ' ' || c == '\n' || c == '\r' || c == '\t') {
            space = !expr.empty();
            continue;
        }
        if (space) expr += ' ';
        space = false;
        expr += c;
    }
    *out = expr;
    return ok;
}

// 0 to go on, -1 to exit 0 (help, version), or the exit status of a mistake.
int parse_options(int argc, char **argv, Options *o)
{
    enum { kOptVersion = 256, kOptPrealloc, kOptHelp };
    static const struct option longs[] = {{"help", no_argument, nullptr, kOptHelp},
                                          {"version", no_argument, nullptr, kOptVersion},
                                          {"prealloc", no_argument, nullptr, kOptPrealloc},
                                          {nullptr, 0, nullptr, 0}};
    int c;
    uint64_t v;
    bool have_ports = false, have_keep = false;
    std::string filter_file;
    // Options may follow the filter expression's words, as with getopt's
    // usual reordering; "--" ends them.
    while ((c = getopt_long(argc, argv, "i:p:n:w:c:s:B:C:W:G:F:UDqh", longs, nullptr)) != -1) {
        switch (c) {
        case 'i':
            if (have_ports) return usage_error("give either -i or -p, once");
            if (!*optarg) return usage_error("-i needs a port name");
            o->ifname = optarg;
            have_ports = true;
            break;
        case 'p':
            if (have_ports) return usage_error("give either -i or -p, once");
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
            if (!parse_num(optarg, 0, kMaxSnap, &v)) return usage_error("-s: snap length 0 (the whole frame) to 262144");
            o->snaplen = v ? uint32_t(v) : kMaxSnap;
            break;
        case 'B':
            if (!parse_num(optarg, 1, 1u << 30, &v)) return usage_error("-B: the ring's size in KiB, at least 1");
            // The library reads a size below 1 MiB as a number of MiB; the
            // smallest ring holds any smaller one.
            o->ring_bytes = std::max<uint64_t>(v * 1024, 1u << 20);
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
        case 'F':
            filter_file = optarg;
            break;
        case 'U': o->unbuffered = true; break;
        case 'D': o->list = true; break;
        case 'q': o->quiet = true; break;
        case kOptPrealloc: o->prealloc = true; break;
        case 'h':
        case kOptHelp: fputs(kUsage, stdout); return -1;
        case kOptVersion: printf("kpt_dump %s\n", KPT_LIB_VERSION_STR); return -1;
        default: return usage_error(nullptr);
        }
    }
    for (int i = optind; i < argc; ++i) {
        if (!o->filter.empty()) o->filter += ' ';
        o->filter += argv[i];
    }
    if (!filter_file.empty()) {
        if (!o->filter.empty()) return usage_error("-F and a filter expression: give one of them");
        if (!read_filter_file(filter_file.c_str(), &o->filter)) {
            fprintf(stderr, "kpt_dump: %s: %s\n", printable(filter_file).c_str(), strerror(errno));
            return 1;
        }
    }
    if (o->list) return 0;
    if (!have_ports) return usage_error("-i NAME or -p PORTS is required");
    bool rotating = o->rotate_bytes || o->rotate_ns;
    if (have_keep && !rotating) return usage_error("-W needs -C or -G");
    if (o->prealloc && !o->rotate_bytes) return usage_error("--prealloc needs -C");
    if (rotating && (o->out.empty() || o->out == "-")) return usage_error("-C and -G need -w FILE");
    if (o->rings > 1 && o->ifname.find_first_of("+@") != std::string::npos)
        return usage_error("-n RINGS takes a whole single port");
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

// -D: "1.quor0 (port 0, link up, 10 Gbit/s, 02:51:53:02:00:00)", in port order.
int list_ports(const kpt_ifaddrs *ifa)
{
    std::vector<const kpt_ifaddrs *> v;
    for (const kpt_ifaddrs *a = ifa; a; a = a->kpt_ifa_next) v.push_back(a);
    std::sort(v.begin(), v.end(), [](const kpt_ifaddrs *a, const kpt_ifaddrs *b) {
        return a->kpt_ifa_portnum < b->kpt_ifa_portnum;
    });
    int k = 0;
    for (const kpt_ifaddrs *a : v) {
        const uint8_t *m = a->kpt_ifa_macaddr;
        std::string name = a->kpt_ifa_name && *a->kpt_ifa_name
                               ? printable(a->kpt_ifa_name)
                               : "quor" + std::to_string(a->kpt_ifa_portnum);
        printf("%d.%s (port %u, link %s", ++k, name.c_str(), a->kpt_ifa_portnum,
               a->kpt_ifa_link_state == KPT_LINK_UP ? "up" : "down");
        if (a->kpt_ifa_link_speed)
            printf(", %llu Mbit/s", (unsigned long long)(a->kpt_ifa_link_speed / 1000000));
        printf(", %02x:%02x:%02x:%02x:%02x:%02x)\n", m[0], m[1], m[2], m[3], m[4], m[5]);
    }
    fflush(stdout);
    return 0;
}

void progress(const std::vector<std::unique_ptr<RingCounters>> &rcs, Capture &cap,
              uint64_t *last_frames, uint64_t *last_bytes, double *last_t)
{
    uint64_t frames = 0, bytes = 0;
    for (auto &r : rcs) {
        frames += r->frames.load(std::memory_order_relaxed);
        bytes += r->bytes.load(std::memory_order_relaxed);
    }
    // What ring 0's thread published since the last line; asked again for the next.
    uint64_t drops = cap.drops.load(std::memory_order_relaxed);
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
    // A hang-up or quit ends the capture as an interrupt does, files complete.
    sigset_t sigs;
    sigemptyset(&sigs);
    for (int s : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) sigaddset(&sigs, s);
    pthread_sigmask(SIG_BLOCK, &sigs, nullptr);
    signal(SIGPIPE, SIG_IGN);

    Capture cap;
    Options &opt = cap.opt;
    int rc = parse_options(argc, argv, &opt);
    if (rc) return rc < 0 ? 0 : rc;
    // The library lets KPT_DATARING_SIZE override its caller's size; -B is
    // the user's word for this run and wins.  (No thread runs yet.)
    if (opt.ring_bytes) unsetenv("KPT_DATARING_SIZE");

    std::string ferr;
    if (!opt.list && !cap.filter.compile(opt.filter, opt.snaplen, &ferr)) {
        fprintf(stderr, "kpt_dump: bad filter expression: %s\n", ferr.c_str());
        return 1;
    }

    if ((rc = kpt_init(KPT_API_VERSION)) != 0) {
        fprintf(stderr, "kpt_dump: kpt_init: %s\n", strerror(rc));
        return 1;
    }
    // Interfaces in port order, named and addressed as the host lists them.
    kpt_ifaddrs *ifa = nullptr;
    if (kpt_getifaddrs(&ifa) != 0) ifa = nullptr;
    if (opt.list) {
        list_ports(ifa);
        if (ifa) kpt_freeifaddrs(ifa);
        return 0;
    }
    std::string why;
    if (!opt.ifname.empty() &&
        !parse_ifname(opt.ifname, ifa, &opt.portmask, &opt.ring_id, &why)) {
        fprintf(stderr, "kpt_dump: -i %s\n", why.c_str());
        if (ifa) kpt_freeifaddrs(ifa);
        return 1;
    }
    if (opt.rings > 1 && (__builtin_popcount(opt.portmask) > 1 || opt.ring_id >= 0)) {
        if (ifa) kpt_freeifaddrs(ifa);
        return usage_error("-n RINGS takes a whole single port");
    }
    std::vector<uint32_t> ports;
    for (uint32_t p = 0; p < kMaxPorts; ++p) {
        if (!(opt.portmask & (1u << p))) continue;
        IfaceDesc d;
        d.name = "quor" + std::to_string(p);
        d.snaplen = opt.snaplen;
        d.filter = opt.filter;
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
        rc = kpt_open(opt.portmask, 1, nullptr, int64_t(opt.ring_bytes), KPT_F_AGGREGATE_PORTMASK, &h);
    else if (opt.ring_id >= 0) // the port's ring count as the environment gives it
        rc = kpt_open(ports[0], 0, nullptr, int64_t(opt.ring_bytes), -1, &h);
    else
        rc = kpt_open(ports[0], opt.rings, nullptr, int64_t(opt.ring_bytes), -1, &h);
    if (rc) {
        fprintf(stderr, "kpt_dump: cannot open port%s %s: %s\n", ports.size() > 1 ? "s" : "",
                ports.size() > 1 ? "group" : std::to_string(ports[0]).c_str(), strerror(rc));
        return 1;
    }
    std::vector<kpt_ring_t> rings(size_t(opt.rings), nullptr);
    for (int r = 0; r < opt.rings && !rc; ++r)
        rc = opt.rings > 1     ? kpt_ring_open_id(h, r, &rings[size_t(r)])
             : opt.ring_id >= 0 ? kpt_ring_open_id(h, opt.ring_id, &rings[size_t(r)])
                                : kpt_ring_open(h, &rings[size_t(r)]);
    if (rc) {
        fprintf(stderr, "kpt_dump: cannot open a receive ring: %s%s\n", strerror(rc),
                opt.ring_id >= 0 && rc == EINVAL
                    ? " (a ring id must be below the port's ring count, KPT_NUM_RINGS)"
                    : "");
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

    // Printed lines reach a terminal as they are made; elsewhere they go
    // out in large pieces, at least once a second.
    if (opt.out.empty()) {
        if (opt.unbuffered || isatty(STDOUT_FILENO)) setvbuf(stdout, nullptr, _IOLBF, 0);
        else setvbuf(stdout, nullptr, _IOFBF, 1 << 16);
    } else if (opt.out != "-") {
        setvbuf(stdout, nullptr, _IOLBF, 0);
    }

    std::vector<std::unique_ptr<Output>> outs;
    std::vector<std::unique_ptr<RingCounters>> counters;
    bool ok = true;
    for (int r = 0; r < opt.rings && ok; ++r) {
        outs.push_back(std::make_unique<Output>(
            cap, opt.rings > 1 ? ".ring" + std::to_string(r) : "", rings[size_t(r)]));
        counters.push_back(std::make_unique<RingCounters>());
        if (!outs.back()->open_first()) ok = false;
    }

    int status = 0;
    if (ok && (rc = kpt_start(h)) != 0) {
        fprintf(stderr, "kpt_dump: kpt_start: %s\n", strerror(rc));
        ok = false;
    }
    if (!ok) {
        // A failed start is its error message alone.
        outs.clear();
        for (kpt_ring_t r : rings) kpt_ring_close(r);
        kpt_close(h);
        return 1;
    }
    for (auto &o : outs) o->started();

    std::vector<std::thread> threads;
    std::vector<int> results(size_t(opt.rings), 0);
    std::atomic<int> running{opt.rings};
    for (int r = 0; r < opt.rings; ++r)
        threads.emplace_back([&, r] {
            results[size_t(r)] =
                run_ring(cap, rings[size_t(r)], *outs[size_t(r)], *counters[size_t(r)], r == 0);
            running--;
        });
    bool show = !opt.quiet && isatty(STDERR_FILENO);
    uint64_t lf = 0, lb = 0;
    double lt = mono_s(), next = lt + 1;
    while (running.load() > 0 && !g_stop.load()) {
        struct timespec ts = {0, 100 * 1000000};
        int s = sigtimedwait(&sigs, nullptr, &ts);
        if (s > 0) g_stop = true;
        if (show && mono_s() >= next) {
            progress(counters, cap, &lf, &lb, &lt);
            next += 1;
        }
    }
    g_stop.store(true, std::memory_order_release);
    // Every ring's counters are frozen before the port stops (pairs with
    // run_ring()'s release increment); a ring thread sees g_stop within its
    // receive timeout.
    while (g_frozen.load(std::memory_order_acquire) < opt.rings) usleep(100);
    kpt_stop(h);
    g_port_stopped.store(true, std::memory_order_release);
    for (auto &t : threads) t.join();
    if (show) fputc('\n', stderr);
    for (int r : results)
        if (r) status = 1;

    uint64_t frames = 0, filtered = 0, adrop = 0, rdrop = 0;
    for (auto &c : counters) {
        frames += c->frames.load();
        filtered += c->filtered.load();
    }
    for (const PortCounters &d : cap.totals) {
        adrop += d.adapter_drop;
        rdrop += d.ring_drop;
    }
    outs.clear();
    for (kpt_ring_t r : rings) kpt_ring_close(r);
    kpt_close(h);
    fprintf(stderr, "%llu frames captured, %llu dropped by the adapter, %llu by the ring, %llu filtered out\n",
            (unsigned long long)frames, (unsigned long long)adrop, (unsigned long long)rdrop,
            (unsigned long long)filtered);
    return status;
}
