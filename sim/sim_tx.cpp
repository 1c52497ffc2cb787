// sim_tx.cpp - the transmit half of the simulated adapter and its driver:
// injection endpoints, taking posted batches off the shared data ring,
// completions, the driver's own reaping, and what leaves a port's wire.
//
// Shared-memory protocol with the library (transmit side): the adapter takes
// posted batches without the lock, as a device takes descriptors, up to
// dq_head_idx loaded with acquire (the post publishes it with release after
// the batch's length and slot).  The driver changes the state block only
// under its lock word (kpt__spin_trylock, the same test-and-set the senders
// use).  A batch's frames are read before its completion byte is advanced
// with a release store, which the library's reap loads with acquire before
// it reuses the room.  Nothing in the block is believed beyond what a batch
// can be: a client that writes nonsense only loses its own frames.
#include <endian.h>
#include <errno.h>
#include <string.h>

#include <algorithm>

#include "sim_internal.h"

namespace quorsim {

namespace {

constexpr uint64_t kPage = 4096;
constexpr uint64_t kTxDataRing = 2ull << 20;
constexpr int64_t kTxLinger = 2 * 1000000; // keep polling closely this long after activity
constexpr int64_t kTxLookPeriod = 20 * 1000; // look at the posted count at least this often, ns

template <class T> std::atomic_ref<T> shared(T &v) { return std::atomic_ref<T>(v); }

// A posted batch, copied out of the state block and its descriptor slot.
struct PostedBatch {
    uint32_t length = 0; // bytes, from dq_lengths
    uint16_t lens_be[QUOR_KPT_TX_BATCH_FRAMES] = {};
};

}  // namespace

SimTxEp::~SimTxEp()
{
    if (!port) return;
    port->arena.release(data_off, data_size);
    port->arena.release(desc_off, kPage);
    port->arena.release(db_off, kPage);
    port->arena.release(flow_off, kPage);
}

int Simulator::Impl::tx_endpoint(Conn &c, quor_kpt_tx_params_t &prm)
{
    if (c.kind != EpKind::None) return EBUSY;
    uint32_t max_ep = opt.max_endpoints / 6;
    if (prm.set_endpt.endpoint < 0 || uint32_t(prm.set_endpt.endpoint) != prm.epid ||
        prm.epid >= max_ep)
        return EINVAL;
    Port &p = *c.port;
    std::lock_guard<std::mutex> lk(p.tx_mu);
    if (p.tx_eps.size() < max_ep) p.tx_eps.resize(max_ep, nullptr);
    if (p.tx_eps[prm.epid]) return EBUSY;

    auto ep = std::make_unique<SimTxEp>();
    ep->port = &p;
    ep->epid = prm.epid;
    ep->data_size = kTxDataRing;
    ep->data_off = p.arena.alloc(kTxDataRing);
    ep->desc_off = p.arena.alloc(kPage);
    ep->db_off = p.arena.alloc(kPage);
    ep->flow_off = p.arena.alloc(kPage);
    if (ep->data_off == QUOR_NO_REGION || ep->desc_off == QUOR_NO_REGION ||
        ep->db_off == QUOR_NO_REGION || ep->flow_off == QUOR_NO_REGION)
        return ENOMEM;
    // Fresh regions read as zeros: the state block starts zeroed, its lock
    // held until the library initialises it.
    ep->data = p.arena.at(ep->data_off);
    ep->sp.txd_cnt = QUOR_KPT_TX_SLOTS;
    ep->sp.txd_dbaddr_be32 = reinterpret_cast<uint32_t *>(p.arena.at(ep->db_off));
    ep->sp.txd_compl_update = p.compl_bytes + prm.epid;
    ep->sp.txd_pio_base = reinterpret_cast<uint64_t *>(p.arena.at(ep->desc_off));
    ep->sp.tx_s = reinterpret_cast<kpt__tx_state *>(p.arena.at(ep->flow_off));
    shared(p.compl_bytes[prm.epid]).store(0, std::memory_order_release);

    prm.tx_data_ring_size = ep->data_size;
    prm.tx_data_ring_offset = ep->data_off;
    prm.tx_desc_ring_size = QUOR_KPT_TX_SLOTS * QUOR_KPT_TX_SLOT_SIZE;
    prm.tx_desc_ring_offset = ep->desc_off;
    prm.tx_doorbell_size = kPage;
    prm.tx_doorbell_offset = ep->db_off;
    prm.tx_flow_size = kPage;
    prm.tx_flow_offset = ep->flow_off;
    prm.tx_compl_size = kPage;
    prm.tx_compl_offset = p.compl_off;

    p.tx_eps[prm.epid] = ep.get();
    c.kind = EpKind::Tx;
    c.tx = ep.release();
    return 0;
}

void Simulator::Impl::tx_release(Conn &c)
{
    end_waits(c, ENODEV);
    Port &p = *c.port;
    {
        std::lock_guard<std::mutex> lk(p.tx_mu);
        // Descriptors already posted belong to the adapter: they go out even
        // though their endpoint is closing (unless the port is held).
        tx_service(p, *c.tx, mono_ns(), true);
        p.tx_eps[c.tx->epid] = nullptr;
        delete c.tx; // a lock left held by a dead client goes with the block
    }
    c.tx = nullptr;
    c.kind = EpKind::None;
}

int Simulator::Impl::tx_wait(Conn &c, uint32_t seq, int32_t timeout_ms)
{
    SimTxEp *ep = c.tx;
    Port &p = *c.port;
    // Completions the library has not reaped yet: nothing to wait for.
    auto unreaped = [ep]() {
        uint8_t nic = shared(*const_cast<uint8_t *>(ep->sp.txd_compl_update)).load(std::memory_order_acquire);
        uint8_t host = uint8_t(shared(ep->sp.tx_s->ep_flow.tx_flow.flow_desc).load(std::memory_order_relaxed));
        return nic != host;
    };
    ep->waiters.fetch_add(1, std::memory_order_seq_cst);
    uint64_t seen = ep->completions.load(std::memory_order_seq_cst);
    // A sender about to wait wants the adapter's attention now.
    p.tx_active_until = mono_ns() + kTxLinger;
    kick(p);
    // Nothing to wait for when completions arrived since the last wait (the
    // driver may have reaped them already, so the sender never saw them),
    // when some are unreaped, or when nothing is in flight at all.
    bool idle = shared(ep->sp.tx_s->dq_inflight).load(std::memory_order_relaxed) <= 0;
    if (seen != ep->wait_seen || unreaped() || idle) {
        ep->wait_seen = seen;
        ep->waiters.fetch_sub(1);
        return 0;
    }
    if (timeout_ms == 0) {
        ep->waiters.fetch_sub(1);
        return EAGAIN;
    }
    return park_wait(
        c, seq, timeout_ms,
        [ep, seen](bool timed_out) {
            uint64_t now = ep->completions.load(std::memory_order_seq_cst);
            if (now != seen) {
                ep->wait_seen = now;
                return 0;
            }
            return timed_out ? EAGAIN : kPending;
        },
        [ep]() { ep->waiters.fetch_sub(1); });
}

bool Simulator::Impl::rx_pause_wanted(Port &p)
{
    std::lock_guard<std::mutex> lk(p.rx_mu);
    auto full = [](RxQueue *q) {
        if (!q || q->readers.empty()) return false;
        refresh_release(*q);
        uint64_t written = q->desc_written.load(std::memory_order_relaxed);
        return (q->data_head - q->min_tail) * 4 > q->data_size * 3 ||
               (written - q->min_desc) * 4 > uint64_t(q->n_desc) * 3;
    };
    for (auto &ctx : p.contexts) {
        if (ctx->started <= 0) continue;
        if (full(ctx->shared_q.get())) return true;
        for (auto &[id, r] : ctx->rings)
            if (full(r->own_q.get())) return true;
    }
    return false;
}

void Simulator::Impl::wire_out(Port &p, const Frame *frames, size_t n, bool need_fcs)
{
    if (!n) return;
    if (!p.link_up.load(std::memory_order_relaxed)) {
        p.link_drops += n; // no carrier: the frames go nowhere
        return;
    }
    uint64_t bytes = 0;
    for (size_t i = 0; i < n; ++i) bytes += frames[i].len + QUOR_FCS_LEN;
    p.nic_pkt_send.fetch_add(n, std::memory_order_relaxed);
    p.nic_bytes_send.fetch_add(bytes, std::memory_order_relaxed);
    if (p.has_iface.load(std::memory_order_relaxed)) {
        std::shared_ptr<IfaceWire> w;
        {
            std::lock_guard<std::mutex> lk(p.wire_mu);
            w = p.iface;
        }
        if (w) w->send(frames, n);
        return;
    }
    int peer = p.peer.load(std::memory_order_relaxed);
    if (peer < 0 || size_t(peer) >= ports.size()) return;
    if (!need_fcs) {
        rx_deliver(*ports[size_t(peer)], frames, n);
        return;
    }
    static thread_local std::vector<Frame> withfcs;
    withfcs.assign(frames, frames + n);
    for (Frame &f : withfcs) {
        f.fcs = 0;
        for (int s = 0; s < 3; ++s)
            if (f.seg_len[s]) f.fcs = crc32_eth(f.seg[s], f.seg_len[s], f.fcs);
    }
    rx_deliver(*ports[size_t(peer)], withfcs.data(), n);
}

// Splits one posted batch into frames.  False when the lengths in the slot
// do not add up to the batch's length (nothing is sent then).
static bool batch_frames(SimTxEp &ep, const PostedBatch &b, uint32_t start, std::vector<Frame> &out)
{
    uint32_t sum = 0, off = start;
    for (int i = 0; i < QUOR_KPT_TX_BATCH_FRAMES && sum < b.length; ++i) {
        uint32_t len = be16toh(b.lens_be[i]);
        if (len < QUOR_MIN_FRAME || len > QUOR_MAX_FRAME) return false;
        // Built in place: a frame assembled on the stack and copied in costs
        // more than the rest of the adapter's work on it.
        Frame &f = out.emplace_back();
        f.len = len;
        f.seg[0] = ep.data + off;
        f.seg_len[0] = uint32_t(std::min<uint64_t>(len, ep.data_size - off));
        if (f.seg_len[0] < len) {
            f.seg[1] = ep.data;
            f.seg_len[1] = len - f.seg_len[0];
        }
        uint32_t q = quor_kpt_tx_qlen(len);
        sum += q;
        off = uint32_t((off + q) % ep.data_size);
    }
    if (sum != b.length) return false;
    ep.off = off;
    return true;
}

bool Simulator::Impl::tx_poll(Port &p)
{
    bool did = false;
    int64_t now = mono_ns();
    std::lock_guard<std::mutex> lk(p.tx_mu);
    for (SimTxEp *ep : p.tx_eps)
        if (ep && !ep->broken && tx_service(p, *ep, now, false)) did = true;
    if (did) p.tx_active_until = now + kTxLinger;
    return did;
}

bool Simulator::Impl::tx_service(Port &p, SimTxEp &ep, int64_t now, bool final)
{
    static thread_local std::vector<Frame> frames;
    kpt__tx_state *s = ep.sp.tx_s;
    // The posted count is looked at when the doorbell (on its own page; the
    // adapter clears it when it looks) says a batch was posted, and now and
    // then for a post whose doorbell was cleared early: otherwise the state
    // block's line, where the senders' lock word lives, is left alone.  The
    // lock is taken at the driver's interrupt pace only, to reap completions
    // and to post a batch left open while a descriptor slot is free: a
    // queued frame waits for the next interrupt at most, however many
    // batches are in flight.
    bool hold = p.txhold.load(std::memory_order_relaxed);
    if (hold && !final) return false; // a held adapter looks at nothing
    bool rung = shared(*ep.sp.txd_dbaddr_be32).load(std::memory_order_relaxed) != 0;
    if (rung) shared(*ep.sp.txd_dbaddr_be32).store(0, std::memory_order_relaxed);
    bool look = final || rung || now >= ep.next_look;
    if (look && !rung) ep.next_look = now + kTxLookPeriod;

    bool did = false;
    if (now >= ep.next_intr) {
        uint8_t nic = shared(*const_cast<uint8_t *>(ep.sp.txd_compl_update)).load(std::memory_order_relaxed);
        uint8_t host = uint8_t(shared(s->ep_flow.tx_flow.flow_desc).load(std::memory_order_relaxed));
        bool open_idle = shared(s->dq_inflight).load(std::memory_order_relaxed) < int32_t(QUOR_KPT_TX_SLOTS) &&
                         shared(s->txd.d_cnt).load(std::memory_order_relaxed) > 0;
        const int64_t period = int64_t(p.intr_coal.load(std::memory_order_relaxed)) * 1000;
        // Nothing to do: the next look is an interrupt period away.  A sender
        // holding the lock is left alone: the next pass looks again.
        if (nic == host && !open_idle) {
            ep.next_intr = now + period;
        } else if (kpt__spin_trylock(s)) {
            // The driver's own reaping, so that the counts fall even when no
            // sender reaps (a closing handle waits for that), and its flush
            // of a batch left open, when a slot is free and the room its
            // last page holds back is there.
            kpt__tx_update_completion(&ep.sp);
            const uint32_t len = s->txd.d_length;
            if (s->dq_inflight >= 0 && s->dq_inflight < int32_t(ep.sp.txd_cnt) && s->txd.d_cnt > 0 &&
                s->txd.d_cnt <= QUOR_KPT_TX_BATCH_FRAMES && len <= QUOR_MAX_FRAME + QUOR_KPT_TX_BATCH_BYTES &&
                s->dq_avail >= quor_kpt_tx_round_page(len) - len) {
                kpt__tx_pioflush(&ep.sp, true);
                did = look = true;
            }
            kpt__spin_unlock(s);
            ep.next_intr = now + period;
        }
    }
    if (!look || hold) return did;

    // Pairs with the release store of dq_head_idx in the post: the slots and
    // lengths of every batch below it are written.  A posted batch's slot and
    // length stay as they are until its completion byte has moved on.
    uint32_t posted = shared(s->dq_head_idx).load(std::memory_order_acquire);
    uint32_t pending = posted - ep.consumed;
    if (pending == 0) return did;
    if (pending > QUOR_KPT_TX_SLOTS) {
        ep.broken = true; // more outstanding than there are slots
        return did;
    }
    PostedBatch batches[QUOR_KPT_TX_SLOTS];
    for (uint32_t i = 0; i < pending; ++i) {
        uint32_t slot = (ep.consumed + i) % QUOR_KPT_TX_SLOTS;
        batches[i].length = shared(s->dq_lengths[slot]).load(std::memory_order_relaxed);
        auto *words = reinterpret_cast<uint64_t *>(reinterpret_cast<uint8_t *>(ep.sp.txd_pio_base) +
                                                   slot * QUOR_KPT_TX_SLOT_SIZE);
        for (uint32_t w = 0; w < QUOR_KPT_TX_SLOT_SIZE / 8; ++w) {
            uint64_t v = shared(words[w]).load(std::memory_order_relaxed);
            memcpy(reinterpret_cast<uint8_t *>(batches[i].lens_be) + 8 * w, &v, 8);
        }
    }

    int peer = p.peer.load(std::memory_order_relaxed);
    uint32_t done = 0;
    for (; done < pending; ++done) {
        if (!final && peer >= 0 && p.pause.load(std::memory_order_relaxed) &&
            rx_pause_wanted(*ports[size_t(peer)]))
            break; // the far end asks us to hold back
        // Each batch starts on the first page boundary after the last.
        uint32_t start = uint32_t((uint64_t(ep.off) + QUOR_KPT_TX_BATCH_ALIGN - 1) &
                                  ~uint64_t(QUOR_KPT_TX_BATCH_ALIGN - 1));
        if (start >= ep.data_size) start = 0;
        frames.clear();
        if (batch_frames(ep, batches[done], start, frames)) {
            wire_out(p, frames.data(), frames.size(), true);
        } else {
            ep.bad_batches++;
            ep.off = start;
        }
        // The batch's data has been read: hand its room back.  Pairs with
        // the acquire load of the completion byte in the reap.
        ep.consumed++;
        uint8_t *cb = p.compl_bytes + ep.epid;
        shared(*cb).store(uint8_t(shared(*cb).load(std::memory_order_relaxed) + 1),
                          std::memory_order_release);
    }
    if (done) {
        did = true;
        ep.completions.fetch_add(done, std::memory_order_seq_cst);
        if (ep.waiters.load(std::memory_order_seq_cst)) wake();
    }
    return did;
}

}  // namespace quorsim
