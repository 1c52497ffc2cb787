// sim_adapter.cpp - the adapter half of the simulator: one thread per port
// that takes frames off the port's wire and writes them into the capture
// queues in shared memory, and keeps the port's clock parameters current.
//
// Shared-memory protocol with the library (receive side):
//  - frame data first, then the descriptor, then its sequence number with a
//    release store; the reader loads the sequence number with acquire;
//  - the reader's release point (rq_data_tail) and descriptor count
//    (evq_desc_cnt) are read from its state slot with acquire loads (the
//    library stores them with release); nothing is written over data that
//    the slowest reader of a queue has not released;
//  - the kernel window's clock block is rewritten under its sequence word
//    (odd while writing).
#include <endian.h>
#include <errno.h>
#include <poll.h>
#include <sys/prctl.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>

#include "quor_rss.h"
#include "sim_internal.h"

namespace quorsim {

namespace {

constexpr uint64_t kPage = 4096;
constexpr int64_t kClockPeriod = 100 * 1000000; // kernel window refresh, ns
constexpr int64_t kIdleWait = 100 * 1000000;    // longest sleep of an idle adapter
constexpr int64_t kSpinBelow = 20 * 1000;       // busy-wait for deadlines closer than this
constexpr int64_t kTxIdlePoll = 200 * 1000;     // look at idle injection endpoints this often
constexpr int64_t kSourceNap = 20 * 1000;       // gather a source's frames this long at most
constexpr size_t kBatch = 64;
constexpr uint32_t kRpdCookie = 0x51505244;

template <class T> std::atomic_ref<T> shared(T &v) { return std::atomic_ref<T>(v); }

void block_all_signals()
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

// Copies n bytes into the data ring at off, continuing at its start.
inline void ring_copy(RxQueue &q, uint64_t off, const void *src, uint64_t n)
{
    uint64_t first = std::min(n, q.data_size - off);
    memcpy(q.ring + off, src, first);
    if (n > first) memcpy(q.ring, static_cast<const uint8_t *>(src) + first, n - first);
}

inline uint64_t ring_advance(const RxQueue &q, uint64_t off, uint64_t n)
{
    off += n;
    return off >= q.data_size ? off - q.data_size : off;
}

}  // namespace

// Recomputes the release point and the consumed descriptor count of the
// slowest reader.  Values a client writes into its slot are only believed
// inside what is possible: never backwards, never beyond what was published.
void refresh_release(RxQueue &q)
{
    if (q.readers.empty()) {
        q.min_tail = q.pub_data_head.load(std::memory_order_relaxed);
        q.min_desc = q.desc_written.load(std::memory_order_relaxed);
        return;
    }
    uint64_t mt = UINT64_MAX, md = UINT64_MAX;
    uint64_t written = q.desc_written.load(std::memory_order_relaxed);
    for (SimRing *r : q.readers) {
        // Pairs with the library's release store of its release point.
        uint64_t t = shared(r->st->recvq.rq_data_tail).load(std::memory_order_acquire);
        t = std::max(t, r->synced_tail.load(std::memory_order_relaxed));
        t = std::clamp(t, r->tail_seen, q.pub_data_head.load(std::memory_order_relaxed));
        r->tail_seen = t;
        // Pairs with the library's release store of its descriptor count.
        uint64_t d = shared(r->st->evq.evq_desc_cnt).load(std::memory_order_acquire);
        d = std::clamp(d, r->desc_seen, written);
        r->desc_seen = d;
        mt = std::min(mt, t);
        md = std::min(md, d);
    }
    q.min_tail = mt;
    q.min_desc = md;
}

// ---------------------------------------------------------------------------
// Clock
// ---------------------------------------------------------------------------

uint64_t AdapterClock::ticks_at(int64_t mono) const
{
    __int128 d = mono - mono0;
    if (ppm != 0) d = __int128(double(d) * (1.0 + ppm * 1e-6));
    uint64_t t = ticks0 + uint64_t(d * kTickDen / kTickNum);
    return window ? t : (t & kTickMask);
}

int64_t AdapterClock::mono_at(uint64_t ticks) const
{
    uint64_t dt = ticks - ticks0;
    if (!window) dt &= kTickMask;
    double ns = double(__int128(dt) * kTickNum / kTickDen);
    if (ppm != 0) ns /= (1.0 + ppm * 1e-6);
    return mono0 + int64_t(ns);
}

quor_clksync_nticks_t AdapterClock::attach_nticks() const
{
    quor_clksync_nticks_t n = {};
    n.ticks = ticks0 & kTickMask;
    n.ticks_mask = kTickMask;
    n.nsecs = uint64_t(real0);
    n.nt_numerator = kTickNum;
    n.nt_denominator = kTickDen;
    return n;
}

// Rewrites the port's clock block under its sequence word.
static void update_kwindow(Port &p, int64_t mono)
{
    quor_kwindow_t *kw = p.kwin;
    const AdapterClock &ck = p.clock;
    // Host time and the adapter's time base read together: the midpoint of
    // two monotonic reads around the real-time read.
    int64_t m1 = mono_ns();
    int64_t real = real_ns() + ck.offset_ns;
    mono = m1 + (mono_ns() - m1) / 2;
    shared(kw->jiffies).store(uint32_t((mono - ck.mono0) / 1000000), std::memory_order_relaxed);
    shared(kw->hz).store(1000, std::memory_order_relaxed);

    quor_clksync_params_t clkp = {};
    quor_clksync_nticks_t nt = {};
    if (!ck.window) {
        // Mask mode: the rings convert with the fixed reference of the
        // attach answer; these parameters correct it to host time.
        nt = ck.attach_nticks();
        uint64_t t = ck.ticks_at(mono);
        uint64_t n = nt.nsecs + ((t - nt.ticks) & nt.ticks_mask) * nt.nt_numerator / nt.nt_denominator;
        clkp.nsecs_base = n;
        clkp.hostnic_drift_nsecs = int64_t(uint64_t(real) - n);
        clkp.multiplier = llround(-ck.ppm / (1e6 + ck.ppm) * double(1 << 30));
    } else {
        // Window mode: the reference itself moves with host time.  It is
        // kept no later than the oldest descriptor a reader has still to
        // convert, so that the unsigned tick difference never goes negative.
        uint64_t ref = ck.ticks_at(mono);
        {
            std::lock_guard<std::mutex> lk(p.rx_mu);
            for (auto &ctx : p.contexts) {
                auto consider = [&](RxQueue *q) {
                    if (!q) return;
                    uint64_t written = q->desc_written.load(std::memory_order_relaxed);
                    for (SimRing *r : q->readers) {
                        uint64_t c = shared(r->st->evq.evq_desc_cnt).load(std::memory_order_acquire);
                        if (c >= written || written - c > q->n_desc) continue;
                        const nfw_kpt_rx_desc_t &d = q->desc[c % q->n_desc];
                        uint64_t t = (uint64_t(be32toh(d.timestamp_high)) << 32) | be32toh(d.timestamp_low);
                        ref = std::min(ref, t);
                    }
                };
                consider(ctx->shared_q.get());
                for (auto &[id, r] : ctx->rings) consider(r->own_q.get());
            }
        }
        nt.ticks = ref;
        nt.ticks_mask = 0;
        nt.nsecs = uint64_t(real - (mono - ck.mono_at(ref)));
        if (ck.ppm == 0) {
            nt.nt_numerator = kTickNum;
            nt.nt_denominator = kTickDen;
        } else {
            nt.nt_numerator = 32000000;
            nt.nt_denominator = uint32_t(llround(5000000.0 * (1.0 + ck.ppm * 1e-6)));
        }
    }

    // Sequence lock: odd while the block changes.  Pairs with the library's
    // acquire loads of the sequence word around its reads.
    uint32_t seq = shared(kw->clksync.seqnum).load(std::memory_order_relaxed);
    shared(kw->clksync.seqnum).store(seq + 1, std::memory_order_relaxed);
    std::atomic_thread_fence(std::memory_order_release);
    shared(kw->clksync.clkp.nsecs_base).store(clkp.nsecs_base, std::memory_order_relaxed);
    shared(kw->clksync.clkp.hostnic_drift_nsecs).store(clkp.hostnic_drift_nsecs, std::memory_order_relaxed);
    shared(kw->clksync.clkp.multiplier).store(clkp.multiplier, std::memory_order_relaxed);
    shared(kw->clksync.clkp.error_nsecs).store(clkp.error_nsecs, std::memory_order_relaxed);
    shared(kw->clksync.nticks.ticks).store(nt.ticks, std::memory_order_relaxed);
    shared(kw->clksync.nticks.ticks_mask).store(nt.ticks_mask, std::memory_order_relaxed);
    shared(kw->clksync.nticks.nsecs).store(nt.nsecs, std::memory_order_relaxed);
    shared(kw->clksync.nticks.nt_numerator).store(nt.nt_numerator, std::memory_order_relaxed);
    shared(kw->clksync.nticks.nt_denominator).store(nt.nt_denominator, std::memory_order_relaxed);
    shared(kw->clksync.seqnum).store(seq + 2, std::memory_order_release);
}

// ---------------------------------------------------------------------------
// Writing frames into queues
// ---------------------------------------------------------------------------

// Publishes the open descriptor of a queue.  Returns true when a client
// waits on the queue.
static bool publish(Port &p, RxQueue &q)
{
    if (q.open_cnt == 0) return false;
    uint64_t k = q.desc_written.load(std::memory_order_relaxed);
    nfw_kpt_rx_desc_t &d = q.desc[k % q.n_desc];
    uint8_t seq = uint8_t(1 + k % 255);
    for (uint32_t i = 0; i < q.open_cnt; ++i) d.pkt_lens[i] = htobe16(q.open_lens[i]);
    uint64_t t = p.clock.ticks_at(q.open_arrival ? q.open_arrival : mono_ns());
    q.open_arrival = 0;
    d.timestamp_high = htobe32(uint32_t(t >> 32));
    d.timestamp_low = htobe32(uint32_t(t));
    d.total_len = htobe16(uint16_t(q.open_total));
    d.pkt_cnt = uint8_t(q.open_cnt);
    d.prehash.seqnum = seq;
    d.prehash.timestamp = htobe64(t);
    // Last: the sequence number that makes the descriptor valid.  Pairs with
    // the library's acquire load of it.
    shared(d.seqnum).store(seq, std::memory_order_release);
    q.pub_data_head.store(q.data_head, std::memory_order_release);
    q.open_cnt = 0;
    q.open_total = 0;
    // Data pages filled so far, big-endian.  Pairs with the library's load
    // in its occupancy report.
    uint32_t *pages = reinterpret_cast<uint32_t *>(q.info + kRecvInfoPgOffset);
    shared(*pages).store(htobe32(uint32_t(q.data_head >> 12)), std::memory_order_release);
    // The waiter check must come after the count is visible: a waiter
    // registers, then looks at the count (both sequentially consistent).
    q.desc_written.store(k + 1, std::memory_order_seq_cst);
    for (SimRing *r : q.readers)
        if (p.slot_waiters[r->slot].load(std::memory_order_seq_cst)) return true;
    return false;
}

// Frames written into some queue and not yet added to the port's count.
// The count is brought up to date before any descriptor is published, so
// that a reader never holds a frame the port has not counted.
struct RecvCount {
    uint64_t pending = 0;
    bool frame_counted = false; // the frame being written is in pending
};

static bool publish_counted(Port &p, RxQueue &q, RecvCount *rc)
{
    if (rc->pending) {
        p.kpt_pkt_recv.fetch_add(rc->pending, std::memory_order_relaxed);
        rc->pending = 0;
    }
    return publish(p, q);
}

// Writes one frame into a queue's open descriptor.  False when it does not
// fit (nothing is written then).
static bool queue_write(Port &p, RxQueue &q, const Frame &f, RecvCount *rc, bool *wake)
{
    uint32_t wire_len = f.len + QUOR_FCS_LEN;
    uint32_t slot = quor_kpt_rpd_length_up(wire_len);
    // A frame with its own arrival time gets a descriptor of its own: the
    // descriptor's time is the time of its last frame.
    if (q.open_cnt == QUOR_KPT_DESC_MAX_PKTS || q.open_total + slot > 0xffff ||
        (f.arrival && q.open_cnt))
        *wake |= publish_counted(p, q, rc);
    if (q.open_cnt == 0 && q.desc_written.load(std::memory_order_relaxed) - q.min_desc >= q.n_desc) {
        refresh_release(q);
        if (q.desc_written.load(std::memory_order_relaxed) - q.min_desc >= q.n_desc) return false;
    }
    if (q.data_head + slot - q.min_tail > q.data_size) {
        refresh_release(q);
        if (q.data_head + slot - q.min_tail > q.data_size) return false;
    }
    uint64_t off = q.data_head % q.data_size;
    kpt__rpd h = {kRpdCookie, 0, uint16_t(wire_len)};
    ring_copy(q, off, &h, sizeof h);
    off = ring_advance(q, off, sizeof h);
    for (int s = 0; s < 3; ++s) {
        if (!f.seg_len[s]) continue;
        ring_copy(q, off, f.seg[s], f.seg_len[s]);
        off = ring_advance(q, off, f.seg_len[s]);
    }
    uint32_t fcs = htole32(f.fcs);
    ring_copy(q, off, &fcs, sizeof fcs);
    q.open_lens[q.open_cnt++] = uint16_t(wire_len);
    q.open_total += slot;
    q.data_head += slot;
    if (!rc->frame_counted) {
        rc->pending++;
        rc->frame_counted = true;
    }
    if (f.arrival) {
        q.open_arrival = f.arrival;
        *wake |= publish_counted(p, q, rc);
    }
    return true;
}

// The queue of a context that a frame goes to, or null when the ring it
// belongs to is not attached.
static RxQueue *target_queue(RxContext &ctx, const Frame &f, std::vector<uint8_t> &scratch)
{
    if (ctx.shared) return ctx.shared_q.get();
    uint32_t n = ctx.params.num_rings;
    int rid = 0;
    if (ctx.hw_rss && n > 1) {
        const uint8_t *bytes = f.seg[0];
        if (f.seg_len[1] || f.seg_len[2]) {
            scratch.resize(f.len);
            uint32_t at = 0;
            for (int s = 0; s < 3; ++s) {
                if (f.seg_len[s]) memcpy(scratch.data() + at, f.seg[s], f.seg_len[s]);
                at += f.seg_len[s];
            }
            bytes = scratch.data();
        }
        uint32_t h = quor_rss_hash(bytes, f.len, ctx.params.rss_flags);
        rid = int((n & (n - 1)) == 0 ? (h & (n - 1)) : (h % n));
    }
    auto it = ctx.rings.find(rid);
    return it == ctx.rings.end() ? nullptr : it->second->q;
}

void Simulator::Impl::rx_write(Port &p, const Frame *frames, size_t n)
{
    if (!n) return;
    if (!p.link_up.load(std::memory_order_relaxed)) {
        p.link_drops += n; // no carrier: nothing arrives
        return;
    }
    uint64_t bytes = 0;
    for (size_t i = 0; i < n; ++i) bytes += frames[i].len + QUOR_FCS_LEN;
    p.nic_bytes_recv.fetch_add(bytes, std::memory_order_relaxed);

    uint64_t ovf = 0, nic_ovf = 0;
    RecvCount rc;
    bool wake_server = false;
    static thread_local std::vector<uint8_t> scratch;
    {
        std::lock_guard<std::mutex> lk(p.rx_mu);
        for (size_t i = 0; i < n; ++i) {
            bool reached = false, dropped = false;
            rc.frame_counted = false;
            for (auto &ctx : p.contexts) {
                if (ctx->started <= 0) continue;
                reached = true;
                RxQueue *q = target_queue(*ctx, frames[i], scratch);
                if (!q || q->readers.empty() || !queue_write(p, *q, frames[i], &rc, &wake_server))
                    dropped = true;
            }
            if (!reached) nic_ovf++;
            if (dropped) ovf++;
        }
        for (auto &ctx : p.contexts) {
            if (ctx->shared_q) wake_server |= publish_counted(p, *ctx->shared_q, &rc);
            for (auto &[id, r] : ctx->rings)
                if (r->own_q) wake_server |= publish_counted(p, *r->own_q, &rc);
        }
        if (rc.pending) p.kpt_pkt_recv.fetch_add(rc.pending, std::memory_order_relaxed);
    }
    if (ovf) p.kpt_pkt_overflow.fetch_add(ovf, std::memory_order_relaxed);
    if (nic_ovf) p.nic_pkt_overflow.fetch_add(nic_ovf, std::memory_order_relaxed);
    if (wake_server) wake();
    if (p.raw_count.load(std::memory_order_relaxed)) raw_deliver(p, frames, n);
}

// ---------------------------------------------------------------------------
// Adapter threads
// ---------------------------------------------------------------------------

int Simulator::Impl::send_frame(int port, const uint8_t *data, size_t len)
{
    if (port < 0 || size_t(port) >= ports.size() || len < 14 || len > QUOR_MAX_FRAME) return EINVAL;
    Port &p = *ports[size_t(port)];
    std::vector<uint8_t> f(data, data + len);
    if (f.size() < QUOR_MIN_FRAME) f.resize(QUOR_MIN_FRAME, 0); // the sender pads runts
    {
        std::lock_guard<std::mutex> lk(p.wire_mu);
        if (p.inbox.size() >= 65536) return EAGAIN;
        p.inbox.push_back(std::move(f));
    }
    kick(p);
    return 0;
}

void Simulator::Impl::kick(Port &p)
{
    uint64_t one = 1;
    if (p.adapter_evfd >= 0) (void)!write(p.adapter_evfd, &one, sizeof one);
}

int Simulator::Impl::start_adapters(std::string *err)
{
    int64_t mono = mono_ns(), real = real_ns();
    for (auto &pp : ports) {
        Port &p = *pp;
        p.vstate_off = p.arena.alloc(uint64_t(QUOR_KPT_MAX_RINGS) * QUOR_KPT_VSTATE_SLOT_SIZE);
        p.kwindow_off = p.arena.alloc(kPage);
        p.doorbell_off = p.arena.alloc(kPage);
        if (p.vstate_off == QUOR_NO_REGION || p.kwindow_off == QUOR_NO_REGION ||
            p.doorbell_off == QUOR_NO_REGION) {
            *err = "shared memory arena exhausted";
            return ENOMEM;
        }
        p.compl_off = p.arena.alloc(kPage);
        if (p.compl_off == QUOR_NO_REGION) {
            *err = "shared memory arena exhausted";
            return ENOMEM;
        }
        p.compl_bytes = p.arena.at(p.compl_off);
        p.vstate = p.arena.at(p.vstate_off);
        p.kwin = reinterpret_cast<quor_kwindow_t *>(p.arena.at(p.kwindow_off));
        p.clock.window = opt.clock_window;
        p.clock.ppm = opt.clock_ppm;
        p.clock.mono0 = mono;
        p.clock.offset_ns = opt.clock_offset_ns;
        p.clock.real0 = real + opt.clock_offset_ns;
        p.clock.ticks0 = opt.clock_start;
        update_kwindow(p, mono);
        p.adapter_evfd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (p.adapter_evfd < 0) {
            *err = std::string("eventfd: ") + strerror(errno);
            return errno;
        }
    }
    for (const std::string &w : opt.wires) {
        auto eq = w.find('=');
        uint64_t port;
        if (eq == std::string::npos || !parse_u64(w.substr(0, eq), &port) || port >= ports.size()) {
            *err = "--wire " + w + ": no such port";
            return EINVAL;
        }
        std::string e = set_wire(*ports[port], w.substr(eq + 1));
        if (!e.empty()) {
            *err = "--wire " + w + ": " + e;
            return EINVAL;
        }
    }
    for (const std::string &s : opt.switches) {
        auto eq = s.find('=');
        uint64_t port;
        if (eq == std::string::npos || !parse_u64(s.substr(0, eq), &port) || port >= ports.size()) {
            *err = "--switch " + s + ": no such port";
            return EINVAL;
        }
        if (std::string e = set_switch(*ports[port], s.substr(eq + 1)); !e.empty()) {
            *err = "--switch " + s + ": " + e;
            return EINVAL;
        }
    }
    if (opt.netdev) {
        for (auto &pp : ports) {
            uint8_t mac[6];
            for (int i = 0; i < 6; ++i) mac[i] = uint8_t(pp->nic_id >> (40 - 8 * i));
            int e = pp->netdev.create(opt.netdev_prefix + std::to_string(pp->unit), mac,
                                      pp->link_up != 0, err);
            if (e) return e;
        }
    }
    for (auto &pp : ports) {
        Port *p = pp.get();
        p->adapter = std::thread([this, p] {
            block_all_signals();
            prctl(PR_SET_TIMERSLACK, 1000UL); // short sleeps pace the wire
            adapter_loop(*p);
        });
    }
    return 0;
}

int Simulator::Impl::host_ifaces(std::vector<uint8_t> &rec)
{
    zal_sim_ifaces r = {};
    if (rec.size() != sizeof r) return EINVAL;
    if (opt.netdev) {
        // The TAP interfaces are in the host's own list.
        r.flags = ZAL_SIM_IFACES_NETDEV;
    } else {
        for (auto &pp : ports) {
            if (r.count == ZAL_SIM_MAX_IFACES) break;
            zal_sim_iface &f = r.iface[r.count++];
            snprintf(f.name, sizeof f.name, "%s%d", opt.netdev_prefix.c_str(), pp->unit);
            for (int i = 0; i < 6; ++i) f.mac[i] = uint8_t(pp->nic_id >> (40 - 8 * i));
            f.link_up = uint8_t(pp->link_up.load() & 1);
            f.speed_bps = QUOR_LINK_SPEED_BPS;
        }
    }
    memcpy(rec.data(), &r, sizeof r);
    return 0;
}

void Simulator::Impl::stop_adapters()
{
    for (auto &pp : ports) kick(*pp);
    for (auto &pp : ports)
        if (pp->adapter.joinable()) pp->adapter.join();
    for (auto &pp : ports) {
        pp->netdev.destroy();
        if (pp->adapter_evfd >= 0) close(pp->adapter_evfd);
        pp->adapter_evfd = -1;
    }
}

std::string Simulator::Impl::set_wire(Port &p, const std::string &spec)
{
    std::unique_ptr<FrameSource> src;
    // A cable joins two ports both ways; changing either end unplugs it.
    auto unplug = [&](Port &q) {
        int old = q.peer.exchange(-1);
        if (old >= 0 && size_t(old) < ports.size()) ports[size_t(old)]->peer = -1;
    };
    if (spec.rfind("peer:", 0) == 0) {
        std::vector<std::string> kv;
        std::string rest = spec.substr(5);
        size_t i = 0;
        while (i <= rest.size()) {
            size_t j = rest.find(',', i);
            if (j == std::string::npos) j = rest.size();
            kv.push_back(rest.substr(i, j - i));
            i = j + 1;
        }
        uint64_t n;
        if (kv.empty() || !parse_u64(kv[0], &n) || n >= ports.size()) return "peer: no such port";
        if (n == uint64_t(p.unit)) return "peer: a port cannot be cabled to itself";
        bool pause = true;
        for (size_t k = 1; k < kv.size(); ++k) {
            if (kv[k] == "pause=on")
                pause = true;
            else if (kv[k] == "pause=off")
                pause = false;
            else
                return "peer: unknown setting '" + kv[k] + "' (pause=on|off)";
        }
        Port &q = *ports[n];
        unplug(p);
        unplug(q);
        for (Port *e : {&p, &q}) {
            std::lock_guard<std::mutex> lk(e->wire_mu);
            e->source.reset();
            e->source_started = false;
            e->iface.reset();
            e->has_iface = false;
        }
        p.pause = pause;
        q.pause = pause;
        p.peer = int(n);
        q.peer = p.unit;
        return {};
    }
    unplug(p);
    std::unique_ptr<IfaceWire> iface;
    if (spec.rfind("iface:", 0) == 0) {
        std::string e;
        iface = IfaceWire::open(spec.substr(6), &e);
        if (!iface) return e;
    } else if (spec != "off") {
        SourceDefaults defs;
        for (int i = 0; i < 6; ++i) defs.dst_mac[i] = uint8_t(p.nic_id >> (40 - 8 * i));
        std::string e;
        src = make_source(spec, defs, &e);
        if (!src) return e;
    }
    std::lock_guard<std::mutex> lk(p.wire_mu);
    p.source = std::move(src);
    p.source_started = false;
    p.iface = std::move(iface);
    p.has_iface = p.iface != nullptr;
    kick(p);
    return {};
}

void Simulator::Impl::adapter_loop(Port &p)
{
    Frame frames[kBatch];
    std::vector<std::vector<uint8_t>> inbox;
    std::vector<Frame> inframes;
    int64_t next_clock = 0;
    while (!quit.load(std::memory_order_relaxed)) {
        int64_t now = mono_ns();
        int64_t wake_at = now + kIdleWait;
        bool busy = false;

        if (now >= next_clock) {
            update_kwindow(p, now);
            next_clock = now + kClockPeriod;
            p.arena.expire(now); // memory kept for clients that did not come back
        }
        wake_at = std::min(wake_at, next_clock);

        {
            std::lock_guard<std::mutex> lk(p.wire_mu);
            inbox.swap(p.inbox);
        }
        if (!inbox.empty()) {
            inframes.clear();
            for (auto &f : inbox) {
                Frame fr;
                fr.seg[0] = f.data();
                fr.seg_len[0] = uint32_t(f.size());
                fr.len = uint32_t(f.size());
                fr.fcs = crc32_eth(f.data(), f.size());
                inframes.push_back(fr);
            }
            for (size_t i = 0; i < inframes.size(); i += kBatch)
                rx_deliver(p, inframes.data() + i, std::min(kBatch, inframes.size() - i));
            inbox.clear();
            busy = true;
        }

        int64_t src_due = -1;
        {
            std::lock_guard<std::mutex> lk(p.wire_mu);
            bool on = p.delivering.load(std::memory_order_relaxed);
            if (p.source && on && !p.source_started) {
                p.source->start(now);
                p.source_started = true;
            } else if (p.source && !on) {
                p.source_started = false; // paused while the port is stopped
            }
            if (p.source && p.source_started) {
                int64_t due = -1;
                size_t k = p.source->pull(now, frames, kBatch, &due);
                rx_deliver(p, frames, k);
                if (k == kBatch || (due >= 0 && due <= now)) busy = true;
                if (due >= 0) wake_at = std::min(wake_at, due);
                src_due = due;
            }
        }

        // Keyframes the switch owes, up to where the source has sent: later
        // frames of the source are stamped after them.
        {
            int64_t bound = mono_ns();
            if (src_due >= 0) bound = std::min(bound, src_due - 1);
            wake_at = std::min(wake_at, switch_flush(p, bound));
        }

        // A real interface as the wire: what arrived since the last look.
        std::shared_ptr<IfaceWire> ifw;
        if (p.has_iface.load(std::memory_order_relaxed)) {
            std::lock_guard<std::mutex> lk(p.wire_mu);
            ifw = p.iface;
        }
        if (ifw) {
            size_t k = ifw->pull(frames, kBatch);
            rx_deliver(p, frames, k);
            if (k == kBatch) busy = true;
        }

        // Frames the host stack sends on the port's interface leave on its wire.
        if (p.netdev.active()) {
            static thread_local std::vector<uint8_t> hostbuf(65536);
            for (int k = 0; k < int(kBatch); ++k) {
                ssize_t len = p.netdev.take(hostbuf.data(), hostbuf.size());
                if (len <= 0) break;
                if (len < 14 || len > QUOR_MAX_FRAME) continue;
                if (len < QUOR_MIN_FRAME) {
                    memset(hostbuf.data() + len, 0, size_t(QUOR_MIN_FRAME - len));
                    len = QUOR_MIN_FRAME;
                }
                Frame f;
                f.seg[0] = hostbuf.data();
                f.seg_len[0] = f.len = uint32_t(len);
                wire_out(p, &f, 1, true);
                busy = true;
            }
        }

        if (tx_poll(p)) busy = true;
        if (busy) continue;
        // While injection is active the adapter watches its endpoints closely.
        if (mono_ns() < p.tx_active_until.load(std::memory_order_relaxed)) {
            __builtin_ia32_pause();
            continue;
        }
        {
            std::lock_guard<std::mutex> lk(p.tx_mu);
            for (SimTxEp *ep : p.tx_eps)
                if (ep) wake_at = std::min(wake_at, mono_ns() + kTxIdlePoll);
        }
        int64_t left = wake_at - mono_ns();
        if (left <= 0) continue;
        // A source's frames carry their own arrival times: the next ones
        // can wait for a batch, as a real adapter's writes wait for its
        // coalescing, instead of a core spinning between two frames.
        if (left < kSpinBelow && wake_at == src_due) left = kSourceNap;
        if (left < kSpinBelow) {
            while (mono_ns() < wake_at && !quit.load(std::memory_order_relaxed)) __builtin_ia32_pause();
            continue;
        }
        struct pollfd pfd[3] = {{p.adapter_evfd, POLLIN, 0}};
        nfds_t npfd = 1;
        if (p.netdev.active()) pfd[npfd++] = {p.netdev.fd(), POLLIN, 0};
        if (ifw) pfd[npfd++] = {ifw->fd(), POLLIN, 0};
        struct timespec ts = {left / 1000000000, left % 1000000000};
        if (ppoll(pfd, npfd, &ts, nullptr) > 0) {
            uint64_t v;
            while (read(p.adapter_evfd, &v, sizeof v) > 0) {
            }
        }
    }
}

}  // namespace quorsim
