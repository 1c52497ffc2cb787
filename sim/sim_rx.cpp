// sim_rx.cpp - the driver's side of capture: port endpoints, ring attach and
// detach, ring groups, waits, release synchronisation and reflection.
//
// Runs in the server thread.  Everything the adapter thread also touches
// (contexts, queues, rings of a port) is changed under the port's rx_mu.
#include <errno.h>
#include <string.h>

#include <algorithm>

#include "sim_internal.h"

namespace quorsim {

namespace {

constexpr uint64_t k2M = 2ull << 20;
constexpr uint64_t kPage = 4096;
constexpr uint64_t kMaxDescRing = 128ull << 20;

uint64_t round_up(uint64_t v, uint64_t a) { return (v + a - 1) / a * a; }

template <class T> std::atomic_ref<T> shared(T &v) { return std::atomic_ref<T>(v); }

// Checks a receive parameter block as a port endpoint or a ring attach sends
// it.  0 or EINVAL.
int check_rx_params(const quor_kpt_rx_params_t &p, int unit)
{
    if (p.num_rings < 1 || p.num_rings > QUOR_KPT_MAX_RINGS) return EINVAL;
    if (p.rx_data_ring_size == 0 || p.rx_data_ring_size % kPage) return EINVAL;
    if (p.rx_desc_ring_size == 0 || p.rx_desc_ring_size % kPage) return EINVAL;
    if (p.rx_data_ring_size > (1ull << 40) || p.rx_desc_ring_size > (1ull << 40)) return EINVAL;
    if (unit < 32 && !(p.aggr_portmask & (1u << unit))) return EINVAL;
    if ((p.open_flags & QUOR_KPT_F_APP_ID) && p.app_id < 0) return EINVAL;
    return 0;
}

// The kernel window's conversion record, read under its sequence word (the
// adapter thread rewrites it; pairs with its release store of an even value).
quor_clksync_nticks_t read_window_nticks(quor_kwindow_t &kw)
{
    quor_clksync_nticks_t n;
    for (;;) {
        uint32_t s1 = shared(kw.clksync.seqnum).load(std::memory_order_acquire);
        if (s1 & 1) continue;
        n.ticks = shared(kw.clksync.nticks.ticks).load(std::memory_order_relaxed);
        n.ticks_mask = shared(kw.clksync.nticks.ticks_mask).load(std::memory_order_relaxed);
        n.nsecs = shared(kw.clksync.nticks.nsecs).load(std::memory_order_relaxed);
        n.nt_numerator = shared(kw.clksync.nticks.nt_numerator).load(std::memory_order_relaxed);
        n.nt_denominator = shared(kw.clksync.nticks.nt_denominator).load(std::memory_order_relaxed);
        std::atomic_thread_fence(std::memory_order_acquire);
        if (shared(kw.clksync.seqnum).load(std::memory_order_relaxed) == s1) return n;
    }
}

}  // namespace

RxQueue::~RxQueue()
{
    if (!port) return;
    port->arena.release(desc_off, desc_size, owner, desc_written.load());
    port->arena.release(data_off, kRxPreamble + data_size, owner);
    port->arena.release(info_off, kPage);
}

// Creates a queue with regions of the given sizes in the port's arena, for
// a reader of the given client: the rings' memory of that client's last
// queue of these sizes is taken again when it is still kept.  Nothing of
// the old queue then reads as written: the descriptor count goes on from
// where the old queue stopped, so that an old descriptor is one lap behind
// and carries a sequence number its reader does not expect (the entry count
// is not a multiple of 255), and the preamble is zeroed; the data ring's
// old bytes are the client's own.
static std::unique_ptr<RxQueue> make_queue(Port &p, uint64_t data_size, uint64_t desc_size, uint64_t client)
{
    auto q = std::make_unique<RxQueue>();
    q->port = &p;
    q->owner = client;
    q->data_size = data_size;
    q->desc_size = desc_size;
    q->n_desc = uint32_t(desc_size / sizeof(nfw_kpt_rx_desc_t));
    bool again = false;
    uint64_t written = 0;
    q->desc_off = p.arena.alloc(desc_size, client, &again, &written);
    if (again) {
        q->desc_written.store(written);
        q->min_desc = written;
    }
    q->data_off = p.arena.alloc(kRxPreamble + data_size, client, &again);
    if (again) {
        p.arena.zero(q->data_off, kRxPreamble);
        q->stale = true;
    }
    q->info_off = p.arena.alloc(kPage);
    if (q->desc_off == QUOR_NO_REGION || q->data_off == QUOR_NO_REGION ||
        q->info_off == QUOR_NO_REGION)
        return nullptr; // the destructor gives back what was taken
    q->desc = reinterpret_cast<nfw_kpt_rx_desc_t *>(p.arena.at(q->desc_off));
    q->ring = p.arena.at(q->data_off) + kRxPreamble;
    q->info = p.arena.at(q->info_off);
    return q;
}

// Sizes the adapter uses for a requested block: the data ring between 2 MiB
// and the configured limit, in 2 MiB steps; the descriptor ring likewise up
// to 128 MiB, with an entry count that is not a multiple of 255 so that a
// descriptor left from the previous lap never carries the sequence number
// the reader expects.
static void clamp_sizes(quor_kpt_rx_params_t &p, uint64_t max_data)
{
    uint64_t d = round_up(p.rx_data_ring_size, k2M);
    p.rx_data_ring_size = std::clamp<uint64_t>(d, k2M, std::max(max_data, k2M));
    uint64_t e = round_up(p.rx_desc_ring_size, k2M);
    e = std::clamp<uint64_t>(e, k2M, kMaxDescRing);
    while ((e / sizeof(nfw_kpt_rx_desc_t)) % 255 == 0) e -= k2M;
    p.rx_desc_ring_size = e;
}

void Simulator::Impl::update_delivering(Port &p)
{
    bool any = false;
    for (auto &ctx : p.contexts)
        if (ctx->started > 0) any = true;
    p.delivering = any;
}

static RxContext *find_context(Port &p, int32_t app_id)
{
    for (auto &c : p.contexts)
        if (c->app_id == app_id) return c.get();
    return nullptr;
}

static void drop_context_ref(Port &p, RxContext *ctx)
{
    if (--ctx->refs > 0) return;
    std::erase_if(p.contexts, [&](const std::unique_ptr<RxContext> &c) { return c.get() == ctx; });
}

int Simulator::Impl::rx_port_endpoint(Conn &c, quor_kpt_rx_params_t &prm)
{
    if (c.kind != EpKind::None) return EBUSY;
    if (prm.set_endpt.endpoint != 0) return EINVAL;
    if (prm.rx_data_preamble_size != 0 || prm.rx_map_flags != 0) return EINVAL;
    if (int e = check_rx_params(prm, c.port->unit)) return e;
    Port &p = *c.port;
    std::lock_guard<std::mutex> lk(p.rx_mu);
    RxContext *ctx = find_context(p, prm.app_id);
    if (!ctx) {
        auto n = std::make_unique<RxContext>();
        n->port = &p;
        n->app_id = prm.app_id;
        n->params = prm;
        clamp_sizes(n->params, opt.max_ring_mib << 20);
        n->hw_rss = prm.num_rings >= 2 && opt.rss_hw;
        n->shared = prm.num_rings >= 2 && !opt.rss_hw;
        n->params.rx_map_flags = n->shared ? QUOR_KPT_MAP_SHARED : 0;
        n->params.rx_data_preamble_size = kRxPreamble;
        ctx = n.get();
        p.contexts.push_back(std::move(n));
    }
    ctx->port_endpoints++;
    ctx->refs++;
    c.kind = EpKind::PortRx;
    c.ctx = ctx;
    c.rx_params = prm;
    return 0;
}

void Simulator::Impl::rx_release_port_endpoint(Conn &c)
{
    Port &p = *c.port;
    {
        std::lock_guard<std::mutex> lk(p.rx_mu);
        RxContext *ctx = c.ctx;
        if (c.started) ctx->started--;
        ctx->port_endpoints--;
        drop_context_ref(p, ctx);
        update_delivering(p);
    }
    c.ctx = nullptr;
    c.started = false;
    c.kind = EpKind::None;
}

int Simulator::Impl::rx_start_stop(Conn &c, bool start)
{
    if (c.kind != EpKind::PortRx) return EINVAL;
    Port &p = *c.port;
    {
        std::lock_guard<std::mutex> lk(p.rx_mu);
        if (start && !c.started) {
            c.started = true;
            c.ctx->started++;
        } else if (!start && c.started) {
            c.started = false;
            c.ctx->started--;
        }
        update_delivering(p);
    }
    kick(p);
    return 0;
}

int Simulator::Impl::rx_attach(Conn &c, quor_kpt_rx_attach_t &at)
{
    if (c.kind != EpKind::None) return EBUSY;
    if (at.set_endpt.endpoint != 0) return EINVAL;
    if (at.ring_id < -1 || at.ring_id >= QUOR_KPT_MAX_RINGS) return EINVAL;
    if (int e = check_rx_params(at.params, c.port->unit)) return e;
    Port &p = *c.port;
    std::lock_guard<std::mutex> lk(p.rx_mu);
    RxContext *ctx = find_context(p, at.params.app_id);
    if (!ctx) return EINVAL; // no port endpoint to attach to

    int rid = at.ring_id;
    if (rid >= int(ctx->params.num_rings)) return EINVAL;
    if (rid >= 0 && ctx->rings.count(rid)) return EBUSY;
    if (rid < 0) {
        for (int r = 0; r < int(ctx->params.num_rings); ++r)
            if (!ctx->rings.count(r)) {
                rid = r;
                break;
            }
        if (rid < 0) return EBUSY;
    }
    int slot = -1;
    for (int s = 0; s < QUOR_KPT_MAX_RINGS; ++s)
        if (!p.slot_ring[s]) {
            slot = s;
            break;
        }
    if (slot < 0) return EBUSY;

    auto ring = std::make_unique<SimRing>();
    RxQueue *q;
    if (ctx->shared) {
        if (!ctx->shared_q) {
            ctx->shared_q =
                make_queue(p, ctx->params.rx_data_ring_size, ctx->params.rx_desc_ring_size, c.client);
            if (!ctx->shared_q) return ENOMEM;
        }
        q = ctx->shared_q.get();
        if (q->owner != c.client) {
            // A reader of another client: the old bytes past what the queue
            // wrote are not for it, and the memory is no longer one
            // client's to keep.
            if (q->stale && q->data_head < q->data_size)
                p.arena.zero(q->data_off + kRxPreamble + q->data_head, q->data_size - q->data_head);
            q->stale = false;
            q->owner = 0;
        }
    } else {
        ring->own_q =
            make_queue(p, ctx->params.rx_data_ring_size, ctx->params.rx_desc_ring_size, c.client);
        if (!ring->own_q) return ENOMEM;
        q = ring->own_q.get();
    }
    ring->ctx = ctx;
    ring->conn = &c;
    ring->slot = slot;
    ring->ring_id = rid;
    ring->q = q;
    ring->open_flags = at.params.open_flags;
    ring->st = reinterpret_cast<kpt__rx_state *>(p.vstate + uint64_t(slot) * QUOR_KPT_VSTATE_SLOT_SIZE);

    // The ring starts reading where the queue stands now.
    memset(ring->st, 0, QUOR_KPT_VSTATE_SLOT_SIZE);
    uint64_t dw = q->desc_written.load();
    uint64_t head = q->pub_data_head.load();
    kpt__rx_state &st = *ring->st;
    st.evq.evq_seqnum = uint32_t(1 + dw % 255);
    st.evq.evq_next_idx = uint32_t(dw % q->n_desc);
    st.evq.evq_last_idx = q->n_desc - 1;
    st.evq.evq_evinfo_idx = -1;
    st.evq.evq_desc_cnt = dw;
    st.evq.evq_data_head = head;
    st.recvq.rq_data_off = head % q->data_size;
    st.recvq.rq_data_head = head;
    st.recvq.rq_data_tail = head;
    st.recvq.rq_data_tail_last = head;
    st.recvq.rq_data_size = q->data_size;
    ring->tail_seen = head;
    ring->synced_tail = head;
    ring->desc_seen = dw;
    if (q->readers.empty()) {
        q->min_tail = head;
        q->min_desc = dw;
    }
    q->readers.push_back(ring.get());
    // Publishes the slot to the rate printer; pairs with its acquire load.
    shared(p.kwin->attach_mask).fetch_or(1u << slot, std::memory_order_release);

    at.ring_id = rid;
    at.port_ring_id = slot;
    quor_set_endpt_t se = at.params.set_endpt;
    uint32_t flags = at.params.open_flags;
    at.params = ctx->params;
    at.params.set_endpt = se;
    at.params.open_flags = flags;
    at.params.rx_data_ring_size = q->data_size;
    at.params.rx_desc_ring_size = q->desc_size;
    if (p.clock.window) {
        at.nticks = read_window_nticks(*p.kwin);
        at.nticks.ticks_mask = 0;
    } else {
        at.nticks = p.clock.attach_nticks();
    }
    at.flow = {};
    at.rx_data_ring_offset = q->data_off;
    at.rx_desc_ring_offset = q->desc_off;
    at.vstate_all_size = uint64_t(QUOR_KPT_MAX_RINGS) * QUOR_KPT_VSTATE_SLOT_SIZE;
    at.vstate_all_offset = p.vstate_off;
    at.kernel_window_size = kPage;
    at.kernel_window_offset = p.kwindow_off;
    at.rx_doorbell_size = kPage;
    at.rx_doorbell_offset = p.doorbell_off;
    at.rx_recv_info_size = kPage;
    at.rx_recv_info_offset = q->info_off;
    at.rx_recv_info_pg_offset = kRecvInfoPgOffset;

    p.slot_ring[slot] = ring.get();
    ctx->rings[rid] = ring.get();
    ctx->refs++;
    c.kind = EpKind::Ring;
    c.ring = ring.release();
    return 0;
}

void Simulator::Impl::rx_detach(Conn &c)
{
    SimRing *ring = c.ring;
    Port &p = *c.port;
    end_waits(c, ENODEV); // they end with the ring
    {
        std::lock_guard<std::mutex> lk(p.rx_mu);
        RxQueue *q = ring->q;
        std::erase(q->readers, ring);
        shared(p.kwin->attach_mask).fetch_and(~(1u << ring->slot), std::memory_order_release);
        p.slot_ring[ring->slot] = nullptr;
        RxContext *ctx = ring->ctx;
        ctx->rings.erase(ring->ring_id);
        if (ctx->shared && q->readers.empty()) ctx->shared_q.reset();
        delete ring; // releases a per-ring queue
        drop_context_ref(p, ctx);
        update_delivering(p);
    }
    c.ring = nullptr;
    c.kind = EpKind::None;
}

void Simulator::Impl::end_waits(Conn &c, int error)
{
    for (Parked &pk : parked)
        if (pk.conn == &c && pk.check) {
            if (pk.cleanup) pk.cleanup();
            pk.cleanup = nullptr;
            send_reply(c, pk.seq, error, {});
            pk.conn = nullptr;
        }
    std::erase_if(parked, [](const Parked &pk) { return pk.conn == nullptr; });
}

void Simulator::Impl::unbind(Conn &c)
{
    switch (c.kind) {
    case EpKind::PortRx:
        rx_release_port_endpoint(c);
        break;
    case EpKind::Ring:
        rx_detach(c);
        break;
    case EpKind::Group:
        c.group.reset();
        c.kind = EpKind::None;
        break;
    case EpKind::Tx:
        tx_release(c);
        break;
    case EpKind::Raw:
        raw_release(c);
        break;
    default:
        break;
    }
}

// True when the ring may have a descriptor it has not read.
static bool ring_ready(const SimRing &r)
{
    uint64_t consumed = std::atomic_ref<uint64_t>(r.st->evq.evq_desc_cnt).load(std::memory_order_acquire);
    return r.q->desc_written.load(std::memory_order_seq_cst) > consumed;
}

int Simulator::Impl::rx_wait(Conn &c, uint32_t seq, int32_t timeout_ms)
{
    std::vector<std::pair<Port *, int>> members; // (port, slot)
    if (c.kind == EpKind::Ring) {
        members.push_back({c.port, c.ring->slot});
    } else if (c.kind == EpKind::Group) {
        for (auto &m : c.group->members) members.push_back({ports[size_t(m.port)].get(), m.slot});
    } else {
        return EINVAL;
    }
    // Looks the rings up afresh each time: a member may have been detached.
    // Rings are attached and detached only by this thread, so the slot table
    // is read without the rx lock (which the adapter holds under load).
    auto ready = [members]() {
        for (auto [p, slot] : members) {
            SimRing *r = p->slot_ring[slot];
            if (r && ring_ready(*r)) return true;
        }
        return false;
    };
    auto set_waiting = [members](int d) {
        for (auto [p, slot] : members) p->slot_waiters[slot].fetch_add(uint32_t(d));
    };
    // Announce the waiter before looking, so that data published in between
    // is not missed: the adapter stores the descriptor count, then reads
    // the waiter count (both sequentially consistent).
    set_waiting(+1);
    if (ready()) {
        set_waiting(-1);
        return 0;
    }
    if (timeout_ms == 0) {
        set_waiting(-1);
        return EAGAIN;
    }
    return park_wait(
        c, seq, timeout_ms,
        [ready](bool timed_out) {
            if (ready()) return 0;
            return timed_out ? EAGAIN : kPending;
        },
        [set_waiting]() { set_waiting(-1); });
}

int Simulator::Impl::park_wait(Conn &c, uint32_t seq, int32_t timeout_ms,
                               std::function<int(bool)> check, std::function<void()> cleanup)
{
    Parked pk;
    pk.conn = &c;
    pk.seq = seq;
    pk.code = QUOR_KPT_WAIT;
    pk.deadline = timeout_ms > 0 ? mono_ns() + int64_t(timeout_ms) * 1000000 : -1;
    pk.check = std::move(check);
    pk.cleanup = std::move(cleanup);
    parked.push_back(std::move(pk));
    return kPending;
}

// Without the rx lock: the adapter thread holds it almost continuously under
// load, and a release must not wait behind it.  The ring cannot go away
// meanwhile (detaching happens in this same thread).
int Simulator::Impl::rx_sync(Conn &c, const kpt__rx_sync &s)
{
    if (c.kind != EpKind::Ring) return EINVAL;
    SimRing &r = *c.ring;
    // Pairs with the adapter's release store when it publishes a descriptor.
    if (s.rs_data_tail > r.q->pub_data_head.load(std::memory_order_acquire))
        return EINVAL; // releases data never delivered
    uint64_t cur = r.synced_tail.load(std::memory_order_relaxed);
    while (s.rs_data_tail > cur &&
           !r.synced_tail.compare_exchange_weak(cur, s.rs_data_tail, std::memory_order_relaxed)) {
    }
    return 0;
}

int Simulator::Impl::rx_group_add(Conn &c, const quor_kpt_port_group_t &g)
{
    if (c.kind != EpKind::Group) return EINVAL;
    if (g.port_id >= ports.size() || g.ring_id >= QUOR_KPT_MAX_RINGS) return EINVAL;
    Port &p = *ports[g.port_id];
    {
        std::lock_guard<std::mutex> lk(p.rx_mu);
        if (!p.slot_ring[g.ring_id]) return EINVAL;
    }
    for (auto &m : c.group->members)
        if (m.port == int(g.port_id) && m.slot == int(g.ring_id)) return 0;
    c.group->members.push_back({int(g.port_id), int(g.ring_id)});
    return 0;
}

int Simulator::Impl::soft_rx(Conn &c, const quor_soft_rx_t &r, std::span<const uint8_t> extra)
{
    if (c.kind != EpKind::PortRx && c.kind != EpKind::Ring) return EINVAL;
    if (r.seg_cnt < 1 || r.seg_cnt > QUOR_SOFT_RX_MAX_SEGS) return EINVAL;
    uint32_t total = 0;
    for (int i = 0; i < r.seg_cnt; ++i) total += r.copy_desc[i].len;
    if (total != r.pkt_len || r.pkt_len < 14 || r.pkt_len > QUOR_MAX_FRAME) return EINVAL;
    if (r.hdr_len > r.pkt_len || extra.size() != r.pkt_len) return EINVAL;
    Port &p = *c.port;
    p.soft_rx++;
    if (!p.netdev.active()) return 0; // no host interface: the stack never sees it
    return p.netdev.deliver(extra.data(), extra.size());
}

}  // namespace quorsim
