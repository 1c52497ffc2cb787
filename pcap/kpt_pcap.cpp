// kpt_pcap.cpp - the adapter's ports for programs built on the system's packet
// capture library, loaded ahead of it (LD_PRELOAD).
//
// Every call that takes a device name or a capture handle is answered here
// for the adapter's ports (see pcap_ports.h for the names) and passed on
// unchanged for anything else.  A handle of ours is a Handle object; the
// registry below tells ours from the real library's.  What the real library
// can do with a dead handle of the same link type, snap length and time
// precision (compiling filters, opening dump files) is done by it.
//
// Receiving: frames are borrowed from the ring in batches and handed out in
// place; a batch's ring space goes back when the next batch is fetched (or
// at the end of a dispatch that used the whole batch), so a frame stays
// valid until the next call, as the capture library promises.  A merged
// handle reads its ring group one frame at a time (the group gives a frame's
// space back when the next one is taken).
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pcap/pcap.h>
#include <signal.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <string>
#include <thread>
#include <vector>

#include "kpt.h"
#include "kpt_watch.h"
#include "pcap_ports.h"
#include "pcap_real.h"

#define KPT_PCAP_EXPORT extern "C" __attribute__((visibility("default")))

namespace kptpcap {

const RealPcap &real()
{
    static RealPcap r;
    static std::once_flag once;
    std::call_once(once, [] {
#define KPT_PCAP_REAL(name)                                                                    \
    r.name = reinterpret_cast<decltype(&::name)>(dlsym(RTLD_NEXT, #name));                    \
    if (r.name == nullptr) {                                                                   \
        fprintf(stderr, "libkpt_pcap: the packet capture library has no %s\n", #name);        \
        abort();                                                                               \
    }
#include "pcap_calls.def"
#undef KPT_PCAP_REAL
    });
    return r;
}

namespace {

// Resolved before main, so that a call from a signal handler never resolves.
__attribute__((constructor)) void resolve_early()
{
    if (dlsym(RTLD_NEXT, "pcap_create") != nullptr) real();
}

constexpr int kMaxSnaplen = 262144; // the capture library's largest
constexpr int kBatch = 256;
constexpr int kWaitSliceMs = 100; // a wait looks at pcap_breakloop this often
constexpr int kMaxWatch = 16;
constexpr long kGatherNs = 1000000; // outside immediate mode, see wait_and_fetch

// Makes poll() and select() see frames waiting: an eventfd that a thread of
// its own sets when the adapter writes the descriptor the reader waits for.
// The reader arms it each time it finds the ring empty.
class Selectable {
public:
    bool start()
    {
        fd_ = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
        if (fd_ < 0) return false;
        // The thread takes no signal: they stay with the program's threads,
        // whose waits they interrupt.
        sigset_t all, old;
        sigfillset(&all);
        pthread_sigmask(SIG_SETMASK, &all, &old);
        th_ = std::thread([this] { run(); });
        pthread_sigmask(SIG_SETMASK, &old, nullptr);
        return true;
    }
    ~Selectable()
    {
        if (th_.joinable()) {
            {
                std::lock_guard<std::mutex> l(mu_);
                quit_ = true;
            }
            cv_.notify_all();
            th_.join();
        }
        if (fd_ >= 0) close(fd_);
    }
    int fd() const { return fd_; }

    void set_ready()
    {
        uint64_t one = 1;
        if (write(fd_, &one, sizeof one) < 0) { /* already at its limit: readable */
        }
    }

    // The ring was found empty: readable again once one of the points is.
    void arm(const kpt__watch_point *pts, int n)
    {
        uint64_t v;
        if (read(fd_, &v, sizeof v) < 0) { /* was not readable */
        }
        {
            std::lock_guard<std::mutex> l(mu_);
            n_ = std::min(n, kMaxWatch);
            std::copy(pts, pts + n_, pts_);
            ++gen_;
            armed_ = n_ > 0;
        }
        cv_.notify_all();
    }

private:
    void run()
    {
        std::unique_lock<std::mutex> l(mu_);
        for (;;) {
            cv_.wait(l, [&] { return quit_ || armed_; });
            if (quit_) return;
            const uint64_t gen = gen_;
            kpt__watch_point pts[kMaxWatch];
            const int n = n_;
            std::copy(pts_, pts_ + n, pts);
            bool ready = false;
            while (!quit_ && gen_ == gen && !ready) {
                l.unlock();
                for (int i = 0; i < n && !ready; ++i) ready = kpt__watch_point_ready(&pts[i]);
                l.lock();
                if (ready && gen_ == gen) {
                    armed_ = false;
                    set_ready();
                } else if (!ready) {
                    cv_.wait_for(l, std::chrono::microseconds(500),
                                 [&] { return quit_ || gen_ != gen; });
                }
            }
        }
    }

    int fd_ = -1;
    std::thread th_;
    std::mutex mu_;
    std::condition_variable cv_;
    bool quit_ = false, armed_ = false;
    uint64_t gen_ = 0;
    int n_ = 0;
    kpt__watch_point pts_[kMaxWatch] = {};
};

struct Handle {
    std::string name;
    DeviceSpec dev;
    bool activated = false;

    // Settings (until activation).
    int snaplen = kMaxSnaplen;
    int timeout_ms = 0;
    bool immediate = false;
    int buffer_size = 0;
    bool rfmon = false;
    int precision = PCAP_TSTAMP_PRECISION_MICRO;
    bool nonblock = false;

    kpt_handle_t h = nullptr;
    kpt_ring_t ring = nullptr;
    kpt_inject_t inj = nullptr;
    bool group = false;
    pcap_t *dead = nullptr; // the real library's stand-in for compile and dump

    std::vector<bpf_insn> filter;

    kpt_recv_req reqs[kBatch];
    int n = 0, pos = 0;
    bool borrowed = false; // the batch's space is still ours
    bool flowing = false;  // the last pause brought frames (wait_and_fetch)

    pcap_pkthdr hdr = {};
    std::atomic<bool> brk{false};
    Selectable *sel = nullptr;
    char errbuf[PCAP_ERRBUF_SIZE] = {};

    void err(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        va_list ap;
        va_start(ap, fmt);
        vsnprintf(errbuf, sizeof errbuf, fmt, ap);
        va_end(ap);
    }

    // ---- receiving ----

    void give_back()
    {
        if (borrowed) kpt_ring_return_many(ring, 0xFFFFFFFFu, nullptr);
        borrowed = false;
        n = pos = 0;
    }

    int fetch(int timeout)
    {
        if (group) {
            int r = kpt_ring_recv(ring, timeout, &reqs[0]);
            if (r == 0) n = 1;
            return r;
        }
        int got = 0;
        int r = kpt_ring_recv_many(ring, timeout, reqs, kBatch, &got, nullptr);
        if (r == 0) {
            n = got;
            borrowed = true;
        }
        return r;
    }

    // Waits for the ring, then takes what came.  Outside immediate mode
    // frames are let gather for a moment, as in the capture library's
    // buffer: while traffic flows the reader pauses and takes a batch,
    // without asking the driver to wake it; only a pause that brought
    // nothing sends it back to the driver's wait.  One wake-up and one batch
    // for many frames instead of one each at a moderate rate.
    int wait_and_fetch(int slice)
    {
        struct timespec gather = {0, kGatherNs};
        if (!immediate && flowing) {
            nanosleep(&gather, nullptr);
            int r = fetch(0);
            flowing = r == 0;
            return r;
        }
        int r = kpt_ring_wait(ring, slice);
        if (r != 0) return r;
        if (!immediate) nanosleep(&gather, nullptr);
        r = fetch(0);
        flowing = r == 0;
        return r;
    }

    void arm()
    {
        if (sel == nullptr) return;
        kpt__watch_point pts[kMaxWatch];
        int k = kpt__ring_watch_points(ring, pts, kMaxWatch);
        if (k < 0)
            sel->set_ready();
        else
            sel->arm(pts, k);
    }

    // Makes frames ready in the batch.  1: ready; 0: none came within the
    // wait (none is made in non-blocking mode); PCAP_ERROR_BREAK; PCAP_ERROR.
    int fill()
    {
        if (pos < n) return 1;
        give_back();
        if (brk.load(std::memory_order_relaxed)) {
            brk.store(false, std::memory_order_relaxed);
            return PCAP_ERROR_BREAK;
        }
        int r = fetch(0);
        if (r == EAGAIN && !nonblock) {
            // timeout_ms 0 waits without limit, as the capture library does.
            struct timespec t0;
            clock_gettime(CLOCK_MONOTONIC, &t0);
            for (;;) {
                int slice = kWaitSliceMs;
                if (timeout_ms > 0) {
                    struct timespec t;
                    clock_gettime(CLOCK_MONOTONIC, &t);
                    long spent = (t.tv_sec - t0.tv_sec) * 1000 + (t.tv_nsec - t0.tv_nsec) / 1000000;
                    if (spent >= timeout_ms) break;
                    slice = int(std::min<long>(slice, timeout_ms - spent));
                }
                r = group ? fetch(slice) : wait_and_fetch(slice);
                if (brk.load(std::memory_order_relaxed)) {
                    if (r == 0) break; // the frames first; the break at the next call
                    brk.store(false, std::memory_order_relaxed);
                    return PCAP_ERROR_BREAK;
                }
                if (r != EAGAIN && r != EINTR) break;
                r = EAGAIN;
            }
        }
        if (r == 0) return 1;
        if (r == EAGAIN || r == EINTR) {
            arm();
            return 0;
        }
        err("%s: receive failed: %s", name.c_str(), strerror(r));
        return PCAP_ERROR;
    }

    // The next frame of the batch that passes the filter, its header made.
    inline const u_char *next_frame()
    {
        while (pos < n) {
            const kpt_recv_req &r = reqs[pos++];
            const u_char *p = static_cast<const u_char *>(r.pkt_addr);
            const uint32_t caplen = std::min<uint32_t>(r.length, uint32_t(snaplen));
            if (!filter.empty() && bpf_filter(filter.data(), p, r.length, caplen) == 0)
                continue;
            const uint64_t ns = r.timestamp;
            const uint64_t sec = ns / 1000000000u;
            const uint64_t frac = ns - sec * 1000000000u;
            hdr.ts.tv_sec = time_t(sec);
            hdr.ts.tv_usec =
                suseconds_t(precision == PCAP_TSTAMP_PRECISION_NANO ? frac : frac / 1000u);
            hdr.caplen = caplen;
            hdr.len = r.length;
            return p;
        }
        return nullptr;
    }

    int dispatch(int cnt, pcap_handler cb, u_char *user)
    {
        int done = 0;
        const bool all = cnt <= 0;
        int r = fill();
        if (r <= 0) return r;
        for (;;) {
            while (pos < n && (all || done < cnt)) {
                if (brk.load(std::memory_order_relaxed)) {
                    if (done == 0) {
                        brk.store(false, std::memory_order_relaxed);
                        return PCAP_ERROR_BREAK;
                    }
                    return done;
                }
                const u_char *p = next_frame();
                if (p == nullptr) break;
                cb(user, &hdr, p);
                ++done;
            }
            // A group hands out one frame at a time: take what else is ready
            // (within the batch's worth) without waiting.
            if (!group || (!all && done >= cnt) || done >= kBatch) break;
            if (fetch(0) != 0) break;
            pos = 0;
        }
        if (pos >= n) {
            give_back();
        } else if (sel != nullptr) {
            sel->set_ready();
        }
        return done;
    }

    int next_ex(pcap_pkthdr **h, const u_char **data)
    {
        for (;;) {
            int r = fill();
            if (r <= 0) return r;
            const u_char *p = next_frame();
            if (p != nullptr) {
                *h = &hdr;
                *data = p;
                if (pos < n && sel != nullptr) sel->set_ready();
                return 1;
            }
        }
    }

    // ---- set-up and teardown ----

    int activate()
    {
        if (activated) {
            err("%s: the capture is already activated", name.c_str());
            return PCAP_ERROR_ACTIVATED;
        }
        if (dev.kind == DeviceSpec::Bad) {
            err("%s", dev.error.c_str());
            return PCAP_ERROR_NO_SUCH_DEVICE;
        }
        if (rfmon) {
            err("%s: monitor mode is for wireless devices", name.c_str());
            return PCAP_ERROR_RFMON_NOTSUP;
        }
        if (snaplen <= 0 || snaplen > kMaxSnaplen) snaplen = kMaxSnaplen;
        group = dev.kind == DeviceSpec::Merged;
        // The library takes a size below 1 MiB as a number of MiB: a buffer
        // size is bytes, and the smallest ring holds it.
        const int64_t ring_bytes = buffer_size == 0 ? 0 : std::max(buffer_size, 0x100000);
        int rc = group ? kpt_open(dev.portmask, 1, nullptr, ring_bytes, KPT_F_AGGREGATE_PORTMASK, &h)
                       : kpt_open(dev.first_port, 0, nullptr, ring_bytes, -1, &h);
        const char *what = "kpt_open";
        if (rc == 0) {
            what = "ring open";
            rc = dev.kind == DeviceSpec::Ring ? kpt_ring_open_id(h, dev.ring_id, &ring)
                                              : kpt_ring_open(h, &ring);
        }
        if (rc == 0) {
            what = "start";
            rc = kpt_start(h);
        }
        if (rc == 0) {
            dead = pcap_open_dead_with_tstamp_precision(DLT_EN10MB, snaplen, u_int(precision));
            if (dead == nullptr) rc = ENOMEM, what = "set-up";
        }
        if (rc != 0) {
            err("%s: %s: %s%s", name.c_str(), what, strerror(rc),
                dev.kind == DeviceSpec::Ring && rc == EINVAL
                    ? " (a ring id must be below the port's ring count, KPT_NUM_RINGS)"
                    : "");
            teardown();
            switch (rc) {
            case ENOENT:
            case ENODEV:
            case ENXIO: return PCAP_ERROR_NO_SUCH_DEVICE;
            case EACCES:
            case EPERM: return PCAP_ERROR_PERM_DENIED;
            default: return PCAP_ERROR;
            }
        }
        activated = true;
        return 0;
    }

    void teardown()
    {
        delete sel;
        sel = nullptr;
        if (inj != nullptr) kpt_inject_close(inj);
        inj = nullptr;
        if (ring != nullptr) {
            kpt_stop(h);
            kpt_ring_close(ring);
        }
        ring = nullptr;
        if (h != nullptr) kpt_close(h);
        h = nullptr;
        if (dead != nullptr) real().pcap_close(dead);
        dead = nullptr;
        n = pos = 0;
        borrowed = false;
    }

    int selectable_fd()
    {
        if (!activated) return PCAP_ERROR;
        if (sel == nullptr) {
            sel = new (std::nothrow) Selectable;
            if (sel == nullptr || !sel->start()) {
                delete sel;
                sel = nullptr;
                return -1;
            }
            // Readable at first: the reader's first call finds out and arms it.
            sel->set_ready();
        }
        return sel->fd();
    }

    int inject(const void *buf, size_t size)
    {
        if (!activated) {
            err("%s: the capture is not activated", name.c_str());
            return PCAP_ERROR_NOT_ACTIVATED;
        }
        if (size > 0xffffffffu) {
            err("%s: send: %s", name.c_str(), strerror(EMSGSIZE));
            return PCAP_ERROR;
        }
        int rc = 0;
        if (inj == nullptr && (rc = kpt_inject_open(int(dev.first_port), 0, &inj)) != 0) {
            inj = nullptr;
            err("%s: injection open: %s", name.c_str(), strerror(rc));
            return PCAP_ERROR;
        }
        rc = kpt_inject_send(inj, 1000, 0, buf, uint32_t(size));
        if (rc != 0) {
            err("%s: send: %s", name.c_str(), strerror(rc));
            return PCAP_ERROR;
        }
        return int(size);
    }
};

// ---- which handles are ours ----

constexpr int kMaxHandles = 1024;
std::atomic<Handle *> g_handles[kMaxHandles];
std::atomic<int> g_top{0}; // every handle of ours sits below
std::mutex g_reg_mu;

// Lock-free (pcap_breakloop may ask from a signal handler).
inline Handle *ours(pcap_t *p)
{
    if (p == nullptr) return nullptr;
    const int top = g_top.load(std::memory_order_acquire);
    for (int i = 0; i < top; ++i)
        if (g_handles[i].load(std::memory_order_acquire) == reinterpret_cast<Handle *>(p))
            return reinterpret_cast<Handle *>(p);
    return nullptr;
}

bool enroll(Handle *h)
{
    std::lock_guard<std::mutex> l(g_reg_mu);
    int top = g_top.load(std::memory_order_relaxed);
    for (int i = 0; i < kMaxHandles; ++i) {
        if (g_handles[i].load(std::memory_order_relaxed) != nullptr) continue;
        g_handles[i].store(h, std::memory_order_release);
        if (i >= top) g_top.store(i + 1, std::memory_order_release);
        return true;
    }
    return false;
}

void withdraw(Handle *h)
{
    std::lock_guard<std::mutex> l(g_reg_mu);
    int top = g_top.load(std::memory_order_relaxed);
    for (int i = 0; i < top; ++i)
        if (g_handles[i].load(std::memory_order_relaxed) == h)
            g_handles[i].store(nullptr, std::memory_order_release);
    while (top > 0 && g_handles[top - 1].load(std::memory_order_relaxed) == nullptr) --top;
    g_top.store(top, std::memory_order_release);
}

pcap_t *as_pcap(Handle *h) { return reinterpret_cast<pcap_t *>(h); }

void set_errbuf(char *errbuf, const std::string &text)
{
    if (errbuf != nullptr) snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s", text.c_str());
}

// A new handle for name when it names something of ours; *claimed says so.
Handle *create_ours(const char *name, char *errbuf, bool *claimed)
{
    *claimed = false;
    if (name == nullptr) return nullptr;
    DeviceSpec dev = parse_device(name, list_ports());
    if (dev.kind == DeviceSpec::NotOurs) return nullptr;
    *claimed = true;
    Handle *h = new (std::nothrow) Handle;
    if (h == nullptr) {
        set_errbuf(errbuf, "out of memory");
        return nullptr;
    }
    h->name = printable(name, strlen(name));
    h->dev = dev;
    if (!enroll(h)) {
        delete h;
        set_errbuf(errbuf, "too many capture handles open");
        return nullptr;
    }
    return h;
}

void destroy(Handle *h)
{
    withdraw(h);
    h->teardown();
    delete h;
}

// Settings are taken only before activation.
int setting(Handle *h)
{
    if (!h->activated) return 0;
    h->err("%s: can't change a setting of an activated capture", h->name.c_str());
    return PCAP_ERROR_ACTIVATED;
}

int not_activated(Handle *h)
{
    h->err("%s: the capture is not activated yet", h->name.c_str());
    return PCAP_ERROR_NOT_ACTIVATED;
}

// A list of one value, allocated as the capture library allocates its lists
// (its pcap_free_* calls free them): the count, or PCAP_ERROR.
int one_value_list(Handle *h, int **list, int value)
{
    *list = static_cast<int *>(malloc(sizeof(int)));
    if (*list == nullptr) {
        h->err("out of memory");
        return PCAP_ERROR;
    }
    (*list)[0] = value;
    return 1;
}

// A dump file opened by the real library on the handle's stand-in, which has
// the handle's link type, snap length and time precision.
template <class Open> pcap_dumper_t *dump_on_dead(Handle *h, Open open)
{
    if (!h->activated) return not_activated(h), nullptr;
    pcap_dumper_t *d = open(h->dead);
    if (d == nullptr) h->err("%s", real().pcap_geterr(h->dead));
    return d;
}

} // namespace

kpt_ring_t ring_of(pcap_t *p)
{
    Handle *h = ours(p);
    return h ? h->ring : nullptr;
}

} // namespace kptpcap

using namespace kptpcap;

// ---- devices ----

KPT_PCAP_EXPORT pcap_t *pcap_create(const char *source, char *errbuf)
{
    bool claimed;
    Handle *h = create_ours(source, errbuf, &claimed);
    if (claimed) return h ? as_pcap(h) : nullptr;
    return real().pcap_create(source, errbuf);
}

KPT_PCAP_EXPORT pcap_t *pcap_open_live(const char *device, int snaplen, int promisc, int to_ms,
                                       char *errbuf)
{
    bool claimed;
    Handle *h = create_ours(device, errbuf, &claimed);
    if (!claimed) return real().pcap_open_live(device, snaplen, promisc, to_ms, errbuf);
    if (h == nullptr) return nullptr;
    h->snaplen = snaplen;
    h->timeout_ms = to_ms;
    if (h->activate() < 0) {
        set_errbuf(errbuf, h->errbuf);
        destroy(h);
        return nullptr;
    }
    return as_pcap(h);
}

KPT_PCAP_EXPORT int pcap_findalldevs(pcap_if_t **alldevsp, char *errbuf)
{
    int rc = real().pcap_findalldevs(alldevsp, errbuf);
    if (rc != 0) return rc;
    std::vector<PortInfo> ports = list_ports();
    if (ports.empty()) return 0;
    // A host interface of the same name (the port's own network device)
    // gives way to the port.
    for (pcap_if_t **pp = alldevsp; *pp;) {
        bool port = false;
        for (const auto &p : ports) port = port || p.name == (*pp)->name;
        if (!port) {
            pp = &(*pp)->next;
            continue;
        }
        pcap_if_t *gone = *pp;
        *pp = gone->next;
        gone->next = nullptr;
        pcap_freealldevs(gone);
    }
    // The ports come first: they are what this host captures on.  The
    // entries are allocated as the capture library allocates its own, so
    // that pcap_freealldevs() frees them with the rest.
    pcap_if_t *head = *alldevsp;
    for (auto it = ports.rbegin(); it != ports.rend(); ++it) {
        pcap_if_t *d = static_cast<pcap_if_t *>(calloc(1, sizeof *d));
        char *name = strdup(it->name.c_str());
        char *desc = strdup(port_description(*it).c_str());
        if (d == nullptr || name == nullptr || desc == nullptr) {
            free(d), free(name), free(desc);
            break;
        }
        d->name = name;
        d->description = desc;
        d->flags = PCAP_IF_UP | (it->link_up ? PCAP_IF_RUNNING | PCAP_IF_CONNECTION_STATUS_CONNECTED
                                             : PCAP_IF_CONNECTION_STATUS_DISCONNECTED);
        d->next = head;
        head = d;
    }
    *alldevsp = head;
    return 0;
}

KPT_PCAP_EXPORT int pcap_lookupnet(const char *device, bpf_u_int32 *netp, bpf_u_int32 *maskp,
                                   char *errbuf)
{
    // The ports carry no host address.
    if (device != nullptr && parse_device(device, list_ports()).kind != DeviceSpec::NotOurs) {
        *netp = 0;
        *maskp = 0;
        return 0;
    }
    return real().pcap_lookupnet(device, netp, maskp, errbuf);
}

// ---- settings ----

#define KPT_PCAP_SETTING(call, field, expr)                                                    \
    KPT_PCAP_EXPORT int call(pcap_t *p, int v)                                                 \
    {                                                                                          \
        Handle *h = ours(p);                                                                   \
        if (h == nullptr) return real().call(p, v);                                            \
        if (int rc = setting(h)) return rc;                                                    \
        h->field = (expr);                                                                     \
        return 0;                                                                              \
    }
KPT_PCAP_SETTING(pcap_set_snaplen, snaplen, v)
KPT_PCAP_SETTING(pcap_set_timeout, timeout_ms, v < 0 ? 0 : v)
KPT_PCAP_SETTING(pcap_set_immediate_mode, immediate, v != 0)
KPT_PCAP_SETTING(pcap_set_buffer_size, buffer_size, v < 0 ? 0 : v)
KPT_PCAP_SETTING(pcap_set_rfmon, rfmon, v != 0)
#undef KPT_PCAP_SETTING

KPT_PCAP_EXPORT int pcap_set_promisc(pcap_t *p, int v)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_set_promisc(p, v);
    return setting(h); // the adapter captures every frame either way
}

KPT_PCAP_EXPORT int pcap_set_protocol_linux(pcap_t *p, int v)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_set_protocol_linux(p, v);
    return setting(h);
}

KPT_PCAP_EXPORT int pcap_can_set_rfmon(pcap_t *p)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_can_set_rfmon(p);
    return h->activated ? PCAP_ERROR_ACTIVATED : 0;
}

KPT_PCAP_EXPORT int pcap_set_tstamp_type(pcap_t *p, int type)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_set_tstamp_type(p, type);
    if (int rc = setting(h)) return rc;
    return type == PCAP_TSTAMP_ADAPTER ? 0 : PCAP_WARNING_TSTAMP_TYPE_NOTSUP;
}

KPT_PCAP_EXPORT int pcap_list_tstamp_types(pcap_t *p, int **types)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_list_tstamp_types(p, types);
    // The adapter's clock, kept in step with the host's.
    return one_value_list(h, types, PCAP_TSTAMP_ADAPTER);
}

KPT_PCAP_EXPORT int pcap_set_tstamp_precision(pcap_t *p, int precision)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_set_tstamp_precision(p, precision);
    if (int rc = setting(h)) return rc;
    if (precision != PCAP_TSTAMP_PRECISION_MICRO && precision != PCAP_TSTAMP_PRECISION_NANO) {
        h->err("%s: unknown time stamp precision %d", h->name.c_str(), precision);
        return PCAP_ERROR_TSTAMP_PRECISION_NOTSUP;
    }
    h->precision = precision;
    return 0;
}

KPT_PCAP_EXPORT int pcap_get_tstamp_precision(pcap_t *p)
{
    Handle *h = ours(p);
    return h ? h->precision : real().pcap_get_tstamp_precision(p);
}

KPT_PCAP_EXPORT int pcap_activate(pcap_t *p)
{
    Handle *h = ours(p);
    return h ? h->activate() : real().pcap_activate(p);
}

KPT_PCAP_EXPORT int pcap_setnonblock(pcap_t *p, int nonblock, char *errbuf)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_setnonblock(p, nonblock, errbuf);
    h->nonblock = nonblock != 0;
    return 0;
}

KPT_PCAP_EXPORT int pcap_getnonblock(pcap_t *p, char *errbuf)
{
    Handle *h = ours(p);
    return h ? int(h->nonblock) : real().pcap_getnonblock(p, errbuf);
}

KPT_PCAP_EXPORT int pcap_setdirection(pcap_t *p, pcap_direction_t d)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_setdirection(p, d);
    if (d == PCAP_D_INOUT || d == PCAP_D_IN) return 0;
    h->err("%s: a port captures the frames it receives only", h->name.c_str());
    return PCAP_ERROR;
}

// ---- link type and sizes ----

KPT_PCAP_EXPORT int pcap_datalink(pcap_t *p)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_datalink(p);
    return h->activated ? DLT_EN10MB : not_activated(h);
}

KPT_PCAP_EXPORT int pcap_datalink_ext(pcap_t *p)
{
    return ours(p) ? pcap_datalink(p) : real().pcap_datalink_ext(p);
}

KPT_PCAP_EXPORT int pcap_list_datalinks(pcap_t *p, int **dlts)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_list_datalinks(p, dlts);
    if (!h->activated) return not_activated(h);
    return one_value_list(h, dlts, DLT_EN10MB);
}

KPT_PCAP_EXPORT int pcap_set_datalink(pcap_t *p, int dlt)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_set_datalink(p, dlt);
    if (dlt == DLT_EN10MB) return 0;
    h->err("%s: the only link type is Ethernet (%d)", h->name.c_str(), DLT_EN10MB);
    return PCAP_ERROR;
}

KPT_PCAP_EXPORT int pcap_snapshot(pcap_t *p)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_snapshot(p);
    return h->activated ? h->snaplen : not_activated(h);
}

KPT_PCAP_EXPORT int pcap_is_swapped(pcap_t *p)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_is_swapped(p);
    return h->activated ? 0 : not_activated(h);
}

KPT_PCAP_EXPORT int pcap_major_version(pcap_t *p)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_major_version(p);
    return h->activated ? PCAP_VERSION_MAJOR : not_activated(h);
}

KPT_PCAP_EXPORT int pcap_minor_version(pcap_t *p)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_minor_version(p);
    return h->activated ? PCAP_VERSION_MINOR : not_activated(h);
}

KPT_PCAP_EXPORT int pcap_bufsize(pcap_t *p)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_bufsize(p);
    if (!h->activated) return not_activated(h);
    struct kpt_ring_portinfo info[16];
    int cnt = 0;
    if (kpt_ring_portinfo_count(h->ring, &cnt) != 0 || cnt < 1 || cnt > 16 ||
        kpt_ring_portinfo(h->ring, info) != 0)
        return h->buffer_size;
    return int(std::min<uintptr_t>(info[0].q_size, 0x7fffffff));
}

KPT_PCAP_EXPORT FILE *pcap_file(pcap_t *p)
{
    Handle *h = ours(p);
    return h ? nullptr : real().pcap_file(p);
}

KPT_PCAP_EXPORT int pcap_get_selectable_fd(pcap_t *p)
{
    Handle *h = ours(p);
    return h ? h->selectable_fd() : real().pcap_get_selectable_fd(p);
}

KPT_PCAP_EXPORT int pcap_fileno(pcap_t *p)
{
    Handle *h = ours(p);
    return h ? h->selectable_fd() : real().pcap_fileno(p);
}

KPT_PCAP_EXPORT const struct timeval *pcap_get_required_select_timeout(pcap_t *p)
{
    Handle *h = ours(p);
    return h ? nullptr : real().pcap_get_required_select_timeout(p);
}

// ---- receiving ----

KPT_PCAP_EXPORT int pcap_dispatch(pcap_t *p, int cnt, pcap_handler cb, u_char *user)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_dispatch(p, cnt, cb, user);
    if (!h->activated) return not_activated(h);
    return h->dispatch(cnt, cb, user);
}

KPT_PCAP_EXPORT int pcap_loop(pcap_t *p, int cnt, pcap_handler cb, u_char *user)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_loop(p, cnt, cb, user);
    if (!h->activated) return not_activated(h);
    int done = 0;
    for (;;) {
        int r = h->dispatch(cnt <= 0 ? 0 : cnt - done, cb, user);
        if (r < 0) return r;
        done += r;
        if (cnt > 0 && done >= cnt) return 0;
    }
}

KPT_PCAP_EXPORT int pcap_next_ex(pcap_t *p, struct pcap_pkthdr **hdr, const u_char **data)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_next_ex(p, hdr, data);
    if (!h->activated) return not_activated(h);
    return h->next_ex(hdr, data);
}

KPT_PCAP_EXPORT const u_char *pcap_next(pcap_t *p, struct pcap_pkthdr *hdr)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_next(p, hdr);
    if (!h->activated) {
        not_activated(h);
        return nullptr;
    }
    pcap_pkthdr *ph;
    const u_char *data;
    if (h->next_ex(&ph, &data) != 1) return nullptr;
    *hdr = *ph;
    return data;
}

KPT_PCAP_EXPORT void pcap_breakloop(pcap_t *p)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_breakloop(p);
    h->brk.store(true, std::memory_order_relaxed);
}

KPT_PCAP_EXPORT int pcap_stats(pcap_t *p, struct pcap_stat *ps)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_stats(p, ps);
    if (!h->activated) return not_activated(h);
    kpt_ring_stats st = {};
    int rc = kpt_ring_getstats(h->ring, &st);
    if (rc != 0) {
        h->err("%s: statistics: %s", h->name.c_str(), strerror(rc));
        return PCAP_ERROR;
    }
    ps->ps_recv = u_int(st.ring_pkt_recv);
    ps->ps_drop = u_int(st.ring_pkt_overflow);
    ps->ps_ifdrop = u_int(st.nic_pkt_overflow + st.nic_pkt_dropped);
    return 0;
}

// ---- filters ----

KPT_PCAP_EXPORT int pcap_compile(pcap_t *p, struct bpf_program *fp, const char *str, int optimize,
                                 bpf_u_int32 netmask)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_compile(p, fp, str, optimize, netmask);
    if (!h->activated) return not_activated(h);
    int rc = real().pcap_compile(h->dead, fp, str, optimize, netmask);
    if (rc != 0) h->err("%s", real().pcap_geterr(h->dead));
    return rc;
}

KPT_PCAP_EXPORT int pcap_setfilter(pcap_t *p, struct bpf_program *fp)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_setfilter(p, fp);
    if (fp == nullptr || fp->bf_insns == nullptr || fp->bf_len == 0 ||
        !bpf_validate(fp->bf_insns, int(fp->bf_len))) {
        h->err("%s: the filter program is not valid", h->name.c_str());
        return PCAP_ERROR;
    }
    // One instruction that accepts every frame is no filter at all.
    const bool all = fp->bf_len == 1 && fp->bf_insns[0].code == (BPF_RET | BPF_K) &&
                     fp->bf_insns[0].k != 0;
    if (all) {
        h->filter.clear();
        return 0;
    }
    h->filter.assign(fp->bf_insns, fp->bf_insns + fp->bf_len);
    return 0;
}

// ---- errors ----

KPT_PCAP_EXPORT char *pcap_geterr(pcap_t *p)
{
    Handle *h = ours(p);
    return h ? h->errbuf : real().pcap_geterr(p);
}

KPT_PCAP_EXPORT void pcap_perror(pcap_t *p, const char *prefix)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_perror(p, prefix);
    fprintf(stderr, "%s: %s\n", prefix ? prefix : "", h->errbuf);
}

// ---- sending ----

KPT_PCAP_EXPORT int pcap_inject(pcap_t *p, const void *buf, size_t size)
{
    Handle *h = ours(p);
    return h ? h->inject(buf, size) : real().pcap_inject(p, buf, size);
}

KPT_PCAP_EXPORT int pcap_sendpacket(pcap_t *p, const u_char *buf, int size)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_sendpacket(p, buf, size);
    if (size < 0) {
        h->err("%s: negative frame length", h->name.c_str());
        return PCAP_ERROR;
    }
    return h->inject(buf, size_t(size)) < 0 ? PCAP_ERROR : 0;
}

// ---- files ----

KPT_PCAP_EXPORT pcap_dumper_t *pcap_dump_open(pcap_t *p, const char *fname)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_dump_open(p, fname);
    return dump_on_dead(h, [&](pcap_t *dead) { return real().pcap_dump_open(dead, fname); });
}

KPT_PCAP_EXPORT pcap_dumper_t *pcap_dump_open_append(pcap_t *p, const char *fname)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_dump_open_append(p, fname);
    return dump_on_dead(h, [&](pcap_t *dead) { return real().pcap_dump_open_append(dead, fname); });
}

KPT_PCAP_EXPORT pcap_dumper_t *pcap_dump_fopen(pcap_t *p, FILE *fp)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_dump_fopen(p, fp);
    return dump_on_dead(h, [&](pcap_t *dead) { return real().pcap_dump_fopen(dead, fp); });
}

KPT_PCAP_EXPORT void pcap_close(pcap_t *p)
{
    Handle *h = ours(p);
    if (h == nullptr) return real().pcap_close(p);
    destroy(h);
}
