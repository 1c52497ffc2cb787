// sim_raw.cpp - raw frame endpoints: frames sent on port 0 of a unit with a
// completion per send, and every frame arriving on the unit's wire, collected
// one event at a time.
#include <algorithm>
#include <climits>
#include <cstring>

#include "sim_internal.h"

namespace quorsim {

int Simulator::Impl::raw_bind(Conn &c)
{
    if (c.kind != EpKind::None) return EBUSY;
    auto ep = std::make_unique<SimRawEp>();
    ep->port = c.port;
    {
        std::lock_guard lk(c.port->raw_mu);
        c.port->raw_eps.push_back(ep.get());
        c.port->raw_count.store(uint32_t(c.port->raw_eps.size()), std::memory_order_relaxed);
    }
    c.raw = std::move(ep);
    c.kind = EpKind::Raw;
    return 0;
}

void Simulator::Impl::raw_release(Conn &c)
{
    if (!c.raw) return;
    Port &p = *c.port;
    {
        std::lock_guard lk(p.raw_mu);
        std::erase(p.raw_eps, c.raw.get());
        p.raw_count.store(uint32_t(p.raw_eps.size()), std::memory_order_relaxed);
    }
    c.raw.reset();
    c.kind = EpKind::None;
}

int Simulator::Impl::raw_send(Conn &c, const quor_raw_send_t &rs, std::span<const uint8_t> extra)
{
    if (c.kind != EpKind::Raw) return EINVAL;
    // The route bytes come first in the payload, then the frame; the route
    // itself means nothing to a unit with a single port.
    if (rs.physical_port != 0) return EINVAL;
    if (rs.data_length < 14 || rs.data_length > QUOR_MAX_FRAME) return EINVAL;
    if (extra.size() != size_t(rs.route_length) + rs.data_length) return EINVAL;
    SimRawEp &ep = *c.raw;
    {
        std::lock_guard lk(ep.mu);
        if (ep.completions >= SimRawEp::kMaxCompletions) return EBUSY;
    }
    uint8_t buf[QUOR_MAX_FRAME];
    uint32_t len = rs.data_length;
    memcpy(buf, extra.data() + rs.route_length, len);
    if (len < QUOR_MIN_FRAME) {
        memset(buf + len, 0, QUOR_MIN_FRAME - len); // runts are padded
        len = QUOR_MIN_FRAME;
    }
    Frame f;
    f.seg[0] = buf;
    f.seg_len[0] = len;
    f.len = len;
    Port &p = *c.port;
    wire_out(p, &f, 1, true);

    RawEvent ev;
    ev.status = QUOR_RAW_STATUS_SEND_DONE;
    ev.context = rs.context;
    {
        std::lock_guard lk(ep.mu);
        ev.ticks = ep.last_ticks = std::max(ep.last_ticks, p.clock.ticks_at(mono_ns()));
        ep.events.push_back(std::move(ev));
        ep.completions++;
    }
    if (ep.waiters) wake();
    return 0;
}

// Adapter threads: a frame arrived on the unit's wire.
void Simulator::Impl::raw_deliver(Port &p, const Frame *frames, size_t n)
{
    bool wake_server = false;
    std::lock_guard lk(p.raw_mu);
    for (SimRawEp *ep : p.raw_eps) {
        std::lock_guard elk(ep->mu);
        for (size_t i = 0; i < n; ++i) {
            if (ep->frames >= SimRawEp::kMaxFrames) {
                ep->overflow++;
                continue;
            }
            RawEvent ev;
            ev.status = QUOR_RAW_STATUS_RECEIVED;
            const Frame &f = frames[i];
            ev.frame.resize(f.len);
            uint32_t off = 0;
            for (int s = 0; s < 3 && off < f.len; ++s) {
                uint32_t k = std::min(f.seg_len[s], f.len - off);
                if (k) memcpy(ev.frame.data() + off, f.seg[s], k);
                off += k;
            }
            ep->events.push_back(std::move(ev));
            ep->frames++;
        }
        wake_server = true;
    }
    if (wake_server) wake();
}

// Takes the oldest event into the record (and a frame into out); false when
// there is none.
static bool raw_take(SimRawEp &ep, quor_raw_next_event_t &ne, std::vector<uint8_t> &out)
{
    std::lock_guard lk(ep.mu);
    if (ep.events.empty()) return false;
    RawEvent ev = std::move(ep.events.front());
    ep.events.pop_front();
    ne.status = ev.status;
    if (ev.status == QUOR_RAW_STATUS_SEND_DONE) {
        ep.completions--;
        ne.context = ev.context;
        ne.nic_ticks = ev.ticks;
    } else {
        ep.frames--;
        // A frame longer than the caller's buffer is cut to fit it.
        size_t k = std::min<size_t>(ev.frame.size(), ne.recv_buffer ? ne.recv_bytes : 0);
        out.assign(ev.frame.begin(), ev.frame.begin() + ptrdiff_t(k));
        ne.recv_bytes = uint32_t(k);
        ne.incoming_port = 0;
    }
    return true;
}

int Simulator::Impl::raw_next_event(Conn &c, uint32_t seq, std::vector<uint8_t> &rec,
                                    std::vector<uint8_t> &rep_extra)
{
    if (c.kind != EpKind::Raw) return EINVAL;
    quor_raw_next_event_t ne;
    memcpy(&ne, rec.data(), sizeof ne);
    SimRawEp &ep = *c.raw;
    bool got = raw_take(ep, ne, rep_extra);
    if (got || ne.timeout == 0) {
        if (!got) ne.status = QUOR_RAW_STATUS_NONE;
        memcpy(rec.data(), &ne, sizeof ne);
        return 0;
    }
    // Nothing yet: the request waits for an event or its timeout, while the
    // connection's sends go on.
    ep.waiters++;
    auto out = std::make_shared<ParkedOut>();
    Conn *conn = &c;
    int32_t tmo = ne.timeout > uint32_t(INT32_MAX) ? -1 : int32_t(ne.timeout);
    int rc = park_wait(
        c, seq, tmo,
        [conn, ne, out](bool timed_out) mutable -> int {
            if (!conn->raw) return EINVAL;
            quor_raw_next_event_t r = ne;
            r.status = QUOR_RAW_STATUS_NONE;
            if (!raw_take(*conn->raw, r, out->extra)) {
                if (!timed_out) return kPending;
                r.recv_bytes = ne.recv_bytes;
            }
            out->rec.resize(sizeof r);
            memcpy(out->rec.data(), &r, sizeof r);
            out->set = true;
            return 0;
        },
        [conn]() {
            if (conn->raw) conn->raw->waiters--;
        });
    parked.back().code = QUOR_RAW_NEXT_EVENT;
    parked.back().out = out;
    return rc;
}

}  // namespace quorsim
