// sim_map.cpp - which shared memory a client may map.
//
// A driver's mmap handler maps only what belongs to the caller's endpoint;
// the simulator does the same by handing out, on request, the memory object
// of one region at a time, and only for the regions the connection's
// endpoint owns or legitimately shares (the queue of a shared-queue ring is
// every reader's; the state slots and windows of a port are every ring's).
#include <errno.h>
#include <string.h>
#include <unistd.h>

#include "sim_internal.h"

namespace quorsim {

namespace {

constexpr uint64_t kPage = 4096;

struct Region {
    uint64_t off, len;
};

// The regions a connection's endpoint was given, as its setup answer named
// them.  Computed from the endpoint itself, so that a region the connection
// let go of (a ring detached) is no longer its own.
std::vector<Region> owned_regions(const Conn &c)
{
    std::vector<Region> own;
    auto add = [&](uint64_t off, uint64_t len) {
        if (off != QUOR_NO_REGION && len != 0) own.push_back({off, len});
    };
    const Port &p = *c.port;
    if (c.kind == EpKind::Ring && c.ring && c.ring->q) {
        const RxQueue &q = *c.ring->q;
        add(p.vstate_off, uint64_t(QUOR_KPT_MAX_RINGS) * QUOR_KPT_VSTATE_SLOT_SIZE);
        add(p.kwindow_off, kPage);
        add(p.doorbell_off, kPage);
        add(q.desc_off, q.desc_size);
        add(q.data_off, kRxPreamble + q.data_size);
        add(q.info_off, kPage);
    } else if (c.kind == EpKind::Tx && c.tx) {
        const SimTxEp &ep = *c.tx;
        add(ep.data_off, ep.data_size);
        add(ep.desc_off, kPage);
        add(ep.db_off, kPage);
        add(ep.flow_off, kPage);
        add(p.compl_off, kPage);
    }
    return own;
}

}  // namespace

int Simulator::Impl::map_region(Conn &c, std::vector<uint8_t> &rec, int *fd)
{
    zal_sim_map m;
    if (rec.size() != sizeof m) return EINVAL;
    memcpy(&m, rec.data(), sizeof m);
    if (m.length == 0 || m.offset % kPage || m.offset > UINT64_MAX - m.length) return EINVAL;
    for (const Region &r : owned_regions(c)) {
        const uint64_t len = (r.len + kPage - 1) & ~(kPage - 1);
        if (m.offset < r.off || m.offset - r.off >= len) continue;
        // A mapping that runs past the end of its region would reach into
        // whatever lies beyond it in the arena.
        if (m.length > len - (m.offset - r.off)) return EINVAL;
        uint64_t have = 0;
        int f = c.port->arena.region_fd(r.off, &have);
        if (f < 0) return errno == EMFILE || errno == ENFILE ? errno : EIO;
        m.region_offset = r.off;
        m.region_length = have;
        memcpy(rec.data(), &m, sizeof m);
        *fd = f;
        return 0;
    }
    return EACCES;
}

}  // namespace quorsim
