// sim_pq.cpp - the driver's shared-queue locks.
//
// Each port has one queue lock, held by at most one connection (any open
// device file of the driver).  A trylock answers EBUSY while another
// connection holds it and EDEADLK to its own holder; a trylock_wait parks
// until the lock is free or its timeout passes (EBUSY then; a negative
// timeout waits without limit); unlocking needs the holder (EPERM
// otherwise).  The group lock takes the locks of every port of its mask at
// once, or none of them, waiting like trylock_wait; the group unlock gives
// back every lock the connection holds.  A holder that disconnects gives its
// locks back.  The state record handed over with unlock_wake and the group
// unlock is kept as the queue's last position (shown by "status").
//
// Runs in the server thread only, like every request handler: the lock
// state needs no lock of its own.  Waiters are served in the order they
// parked.
#include <errno.h>
#include <string.h>

#include "sim_internal.h"

namespace quorsim {

namespace {

template <class T> bool rec_read(const std::vector<uint8_t> &rec, T *out)
{
    if (rec.size() != sizeof(T)) return false;
    memcpy(out, rec.data(), sizeof(T));
    return true;
}

}  // namespace

// Ports of a lock request, or 0 when the mask names a port that is not there.
uint32_t Simulator::Impl::pq_ports(uint32_t mask) const
{
    if (mask == 0) return 0;
    if (ports.size() < 32 && (mask >> ports.size()) != 0) return 0;
    return mask;
}

// Takes the locks of every port of mask for c, all or none: 0, EBUSY when
// another connection holds one, EDEADLK when c holds one already.
int Simulator::Impl::pq_take(Conn &c, uint32_t mask)
{
    for (uint32_t m = mask; m != 0; m &= m - 1) {
        const Conn *h = ports[size_t(__builtin_ctz(m))]->pq_holder;
        if (h == &c) return EDEADLK;
        if (h != nullptr) return EBUSY;
    }
    for (uint32_t m = mask; m != 0; m &= m - 1) ports[size_t(__builtin_ctz(m))]->pq_holder = &c;
    return 0;
}

int Simulator::Impl::pq_lock(Conn &c, uint32_t seq, uint32_t mask, int32_t timeout_ms)
{
    const int e = pq_take(c, mask);
    if (e != EBUSY || timeout_ms == 0) return e;
    return park_wait(
        c, seq, timeout_ms,
        [this, &c, mask](bool timed_out) {
            const int r = pq_take(c, mask);
            if (r == EBUSY && !timed_out) return kPending;
            return r;
        },
        nullptr);
}

// Gives back the locks of mask that c holds, keeping the state record when
// one came with the request; true if it held any.
bool Simulator::Impl::pq_give(Conn &c, uint32_t mask, const kpt__pq_state_rw *state)
{
    bool any = false;
    for (uint32_t m = mask; m != 0; m &= m - 1) {
        Port &p = *ports[size_t(__builtin_ctz(m))];
        if (p.pq_holder != &c) continue;
        p.pq_holder = nullptr;
        if (state) p.pq_state = *state;
        any = true;
    }
    // Parked lock requests look again (run_parked on the next turn).
    if (any) wake();
    return any;
}

uint32_t Simulator::Impl::pq_all_ports() const
{
    return ports.size() >= 32 ? 0xffffffffu : (1u << ports.size()) - 1;
}

int Simulator::Impl::pq_request(Conn &c, uint32_t seq, uint32_t code, const std::vector<uint8_t> &rec)
{
    const uint32_t own = 1u << c.port->unit;
    switch (code) {
    case QUOR_KPT_PQ_TRYLOCK:
        return pq_lock(c, seq, own, 0);
    case QUOR_KPT_PQ_TRYLOCK_WAIT: {
        int32_t t = 0;
        rec_read(rec, &t);
        return pq_lock(c, seq, own, t);
    }
    case QUOR_KPT_PQ_UNLOCK:
        return pq_give(c, own, nullptr) ? 0 : EPERM;
    case QUOR_KPT_PQ_UNLOCK_WAKE: {
        kpt__pq_state_rw st = {};
        rec_read(rec, &st);
        return pq_give(c, own, &st) ? 0 : EPERM;
    }
    case QUOR_KPT_PQ_GROUP_LOCK: {
        quor_kpt_pq_group_lock_t g = {};
        rec_read(rec, &g);
        const uint32_t mask = pq_ports(g.port);
        if (mask == 0) return EINVAL;
        return pq_lock(c, seq, mask, g.timeout_ms);
    }
    case QUOR_KPT_PQ_GROUP_UNLOCK: {
        kpt__pq_state_rw st = {};
        rec_read(rec, &st);
        return pq_give(c, pq_all_ports(), &st) ? 0 : EPERM;
    }
    default:
        return ENOTTY;
    }
}

void Simulator::Impl::pq_release_all(Conn &c) { pq_give(c, pq_all_ports(), nullptr); }

}  // namespace quorsim
