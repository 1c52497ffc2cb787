// fuzz_rx_ring.cpp - the library's receive path over descriptor and data
// rings filled with arbitrary bytes.
//
// The target links the library with a device layer of its own in place of
// zal_dev.cpp: it answers the driver requests the library makes (version,
// port endpoint, ring attach, group, start, stop, release, detach) at once,
// and "maps" regions of one buffer whose layout each input chooses.  The
// descriptor ring lies read-only right before a guard page and the data
// region (preamble and ring) between two guard pages, so a read outside them
// faults and a write to the descriptor ring faults.  No driver round trip
// per run: the public calls open a handle and a ring, receive until nothing
// is ready, close.
//
// Input: a 12-byte header (see Config), then for each port the heads (the
// first 128 bytes: lengths, time, total, count, sequence number) of its
// descriptors from the ring's first unread entry on, then its data ring
// bytes.  A descriptor's sequence number is stored XOR the number the ring
// expects there, so 0 makes a descriptor the adapter has published.
//
// Checks, besides memory errors: every packet handed out lies inside its
// data region (preamble included) and is read whole; no more packets come
// out than the descriptors name; the release point never passes the
// consumer head.
#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>

#include <algorithm>

#include "kpt.h"
#include "kpt_internal.h"
#include "kpt_rx.h"
#include "quor_io.h"
#include "zal_internal.h"

namespace {

constexpr uint64_t kPage = 4096;
constexpr int kPorts = 2;
constexpr uint64_t kMaxDescPages = 8;  // 64 descriptors
constexpr uint64_t kMaxDataPages = 32; // 128 KiB ring
constexpr uint64_t kMaxPreamble = 16384;

// One port's regions, as offsets into the buffer (page units below).
//   guard | vstate_all (32 pages) | kwindow | doorbell | recv_info | guard |
//   desc area (kMaxDescPages, the ring at its end) | guard |
//   data area (preamble + ring at its end) | guard
constexpr uint64_t kVstateOff = kPage;
constexpr uint64_t kKwinOff = kVstateOff + QUOR_KPT_MAX_RINGS * QUOR_KPT_VSTATE_SLOT_SIZE;
constexpr uint64_t kDoorbellOff = kKwinOff + kPage;
constexpr uint64_t kInfoOff = kDoorbellOff + kPage;
constexpr uint64_t kDescArea = kInfoOff + 2 * kPage;
constexpr uint64_t kDataArea = kDescArea + (kMaxDescPages + 1) * kPage;
constexpr uint64_t kDataAreaSize = kMaxPreamble + kMaxDataPages * kPage;
constexpr uint64_t kPortStride = kDataArea + kDataAreaSize + kPage;
constexpr uint64_t kArenaSize = kPorts * kPortStride;

struct Config {
    uint32_t preamble;
    bool ats, group, shared, batch;
    uint32_t num_rings;
    uint32_t data_pages, desc_pages;
    uint32_t seq, next_idx;
    uint32_t head;
    int ring_id;
    uint32_t open_flags;
    int batch_size;
};

struct PortState {
    uint64_t desc_off, desc_size, data_off, data_size; // data_off: preamble first
    uint32_t n_desc;
};

uint8_t *g_arena;
Config g_cfg;
PortState g_port[kPorts];
int g_handle_unit[64];
int g_next_handle;

uint8_t *at(int port, uint64_t off) { return g_arena + uint64_t(port) * kPortStride + off; }

void protect(int port, uint64_t off, uint64_t len, int prot)
{
    if (mprotect(at(port, off), len, prot) != 0) abort();
}

// Lays out a port's regions for this run and fills them from the input.
void setup_port(int port, const uint8_t *&in, const uint8_t *end)
{
    const Config &c = g_cfg;
    PortState &ps = g_port[port];
    protect(port, 0, kPortStride, PROT_READ | PROT_WRITE);
    memset(at(port, 0), 0, kDataArea); // state slots, window, descriptors
    ps.desc_size = uint64_t(c.desc_pages) * kPage;
    ps.desc_off = kDescArea + kMaxDescPages * kPage - ps.desc_size;
    ps.n_desc = uint32_t(ps.desc_size / sizeof(nfw_kpt_rx_desc_t));
    ps.data_size = uint64_t(c.data_pages) * kPage;
    ps.data_off = kDataArea + kDataAreaSize - ps.data_size - c.preamble;

    // The kernel window: an even sequence word and a plain clock.
    auto *kw = reinterpret_cast<quor_kwindow_t *>(at(port, kKwinOff));
    kw->clksync.nticks.nt_numerator = 32;
    kw->clksync.nticks.nt_denominator = 5;

    // Descriptor heads, in reading order from the first unread entry.
    auto *desc = reinterpret_cast<nfw_kpt_rx_desc_t *>(at(port, ps.desc_off));
    for (uint32_t j = 0; j < ps.n_desc && in < end; ++j) {
        const uint32_t idx = (c.next_idx + j) % ps.n_desc;
        const size_t n = std::min<size_t>(128, size_t(end - in));
        memcpy(&desc[idx], in, n);
        in += n;
        const uint8_t want = uint8_t((c.seq - 1 + j) % 255 + 1);
        desc[idx].seqnum ^= want;
    }
    // Data bytes from the ring start; the rest of the region keeps a pattern.
    uint8_t *data = at(port, ps.data_off);
    memset(data, 0xA5, c.preamble + ps.data_size);
    const size_t n = std::min<size_t>(ps.data_size, size_t(end - in));
    memcpy(data + c.preamble, in, n);
    in += n;
    // The adapter's page counter: anything.
    memcpy(at(port, kInfoOff + 64), &c.head, 4);

    protect(port, kInfoOff + kPage, kPage, PROT_NONE);
    protect(port, kDescArea, kMaxDescPages * kPage, PROT_READ);
    protect(port, kDescArea + kMaxDescPages * kPage, kPage, PROT_NONE);
    protect(port, kDataArea + kDataAreaSize, kPage, PROT_NONE);
    const uint64_t lead = ps.data_off - kDataArea; // unused part before the region
    protect(port, kDataArea - kPage, kPage + (lead & ~(kPage - 1)), PROT_NONE);
}

// The ring attach answer, as a driver gives it: regions of the port, the
// cursor in its state slot at the first unread entry.
int attach(int port, quor_kpt_rx_attach_t *a)
{
    const Config &c = g_cfg;
    const PortState &ps = g_port[port];
    const int slot = 3 + port;
    auto *st = reinterpret_cast<kpt__rx_state *>(at(port, kVstateOff + slot * QUOR_KPT_VSTATE_SLOT_SIZE));
    memset(st, 0, QUOR_KPT_VSTATE_SLOT_SIZE);
    st->evq.evq_seqnum = c.seq;
    st->evq.evq_next_idx = c.next_idx % ps.n_desc;
    st->evq.evq_last_idx = ps.n_desc - 1;
    st->evq.evq_evinfo_idx = -1;
    st->evq.evq_desc_cnt = c.head / 7;
    st->evq.evq_data_head = c.head;
    st->recvq.rq_data_off = c.head % ps.data_size;
    st->recvq.rq_data_head = st->recvq.rq_data_tail = st->recvq.rq_data_tail_last = c.head;
    st->recvq.rq_data_size = ps.data_size;

    a->ring_id = c.ring_id % int(a->params.num_rings);
    a->port_ring_id = slot;
    a->params.rx_map_flags = c.shared ? QUOR_KPT_MAP_SHARED : 0;
    a->params.open_flags |= c.open_flags;
    a->params.rx_data_preamble_size = c.preamble;
    a->params.rx_data_ring_size = ps.data_size;
    a->params.rx_desc_ring_size = ps.desc_size;
    a->nticks.ticks = 1000;
    a->nticks.ticks_mask = (1ull << 48) - 1;
    a->nticks.nsecs = 1ull << 40;
    a->nticks.nt_numerator = 32;
    a->nticks.nt_denominator = 5;
    const uint64_t base = uint64_t(port) * kPortStride;
    a->rx_data_ring_offset = base + ps.data_off;
    a->rx_desc_ring_offset = base + ps.desc_off;
    a->vstate_all_size = QUOR_KPT_MAX_RINGS * QUOR_KPT_VSTATE_SLOT_SIZE;
    a->vstate_all_offset = base + kVstateOff;
    a->kernel_window_size = kPage;
    a->kernel_window_offset = base + kKwinOff;
    a->rx_doorbell_size = kPage;
    a->rx_doorbell_offset = base + kDoorbellOff;
    a->rx_recv_info_size = kPage;
    a->rx_recv_info_offset = base + kInfoOff;
    a->rx_recv_info_pg_offset = 64;
    return 0;
}

uint64_t g_sink;

} // namespace

// ---- the device layer the library is linked with here ----
extern "C" {

const char *zal_dev_dir(void) { return "/nonexistent"; }

int zal_open(int unit, int endpoint, zal_handle_t *handle, uint8_t product)
{
    (void)endpoint, (void)product;
    if (unit < 0 || unit >= kPorts || g_next_handle >= 64) return ENOENT;
    g_handle_unit[g_next_handle] = unit;
    *handle = 100 + g_next_handle++;
    return 0;
}

int zal_open_any_board(zal_handle_t *handle, uint8_t product) { return zal_open(0, 0, handle, product); }

int zal_close(zal_handle_t handle)
{
    (void)handle;
    return 0;
}

int zal_ioctl(zal_handle_t handle, int request, void *record, size_t size)
{
    const int h = handle - 100;
    if (h < 0 || h >= g_next_handle) return EBADF;
    const int unit = g_handle_unit[h];
    switch (uint32_t(request)) {
    case QUOR_GET_VERSION: {
        quor_get_version_t v = {};
        v.driver_api_magic = QUOR_DRIVER_API_MAGIC;
        snprintf(v.version_str, sizeof v.version_str, "%s", kpt__lib_version());
        snprintf(v.build_str, sizeof v.build_str, "%s", kpt__lib_build());
        if (size != sizeof v) return EINVAL;
        memcpy(record, &v, sizeof v);
        return 0;
    }
    case QUOR_SET_ENDPOINT: {
        quor_set_endpt_t se;
        if (size < sizeof se) return EINVAL;
        memcpy(&se, record, sizeof se);
        if (se.endpt_type == QUOR_ES_KPT_RX_RING && size == sizeof(quor_kpt_rx_attach_t))
            return attach(unit, static_cast<quor_kpt_rx_attach_t *>(record));
        return se.endpt_type == QUOR_ES_KPT_RX || se.endpt_type == QUOR_ES_KPT_RX_GROUP ? 0 : ENODEV;
    }
    case QUOR_KPT_GET_STATS:
        memset(record, 0, size);
        return 0;
    case QUOR_KPT_WAIT:
        return EAGAIN;
    case QUOR_KPT_START:
    case QUOR_KPT_STOP:
    case QUOR_KPT_RX_SYNC:
    case QUOR_KPT_RX_DETACH:
    case QUOR_KPT_PORT_GROUP:
        return 0;
    default:
        return ENOTTY;
    }
}

void *zal_mmap(void *start, size_t length, zal_handle_t handle, uintptr_t offset, int read_only)
{
    (void)start, (void)handle, (void)read_only;
    if (offset > kArenaSize || length > kArenaSize - offset) {
        errno = EINVAL;
        return MAP_FAILED;
    }
    return g_arena + offset;
}

int zal_munmap(void *start, size_t length)
{
    (void)start, (void)length;
    return 0;
}

int zal__is_simulated(zal_handle_t handle)
{
    (void)handle;
    return 1;
}

} // extern "C"

namespace {

// A packet handed out must lie inside its port's data region.
void check_packet(const kpt_recv_req &r)
{
    const int port = g_cfg.group ? int(r.portnum) : 0;
    if (port < 0 || port >= kPorts) __builtin_trap();
    const PortState &ps = g_port[port];
    const uint8_t *lo = at(port, ps.data_off);
    const uint8_t *hi = lo + g_cfg.preamble + ps.data_size;
    const uint8_t *p = static_cast<const uint8_t *>(r.pkt_addr);
    if (p < lo || p > hi || r.length > uint64_t(hi - p)) __builtin_trap();
    uint64_t sum = 0;
    for (uint32_t i = 0; i < r.length; ++i) sum += p[i];
    g_sink += sum;
}

void check_cursor(kpt_ring_t ring)
{
    if (ring->type != KPT_H_RING) return;
    const kpt__rx_recvq &q = ring->u.ring.rx.rx_s->recvq;
    if (q.rq_data_tail > q.rq_data_head)
        __builtin_trap(); // released beyond what was consumed
}

void run(const uint8_t *data, size_t size)
{
    Config &c = g_cfg;
    const uint8_t c0 = data[0];
    static const uint32_t preambles[4] = {0, 4096, 16384, 8192};
    static const uint32_t rings[4] = {1, 2, 4, 3};
    c.preamble = preambles[c0 & 3];
    c.ats = c0 & 4;
    c.group = c0 & 8;
    c.num_rings = rings[(c0 >> 4) & 3];
    c.shared = c0 & 0x40;
    c.batch = c0 & 0x80;
    c.data_pages = data[1] % kMaxDataPages + 1;
    c.desc_pages = data[2] % kMaxDescPages + 1;
    c.seq = data[3] % 255 + 1;
    c.next_idx = data[4];
    memcpy(&c.head, data + 5, 4);
    c.ring_id = data[9] & 3;
    c.open_flags = (data[9] & 4 ? QUOR_KPT_F_DUP : 0) | (data[9] & 8 ? QUOR_KPT_F_APP_ID : 0);
    c.batch_size = data[10] % 64 + 1;
    c.next_idx %= c.desc_pages * uint32_t(kPage / sizeof(nfw_kpt_rx_desc_t));

    const uint8_t *in = data + 12, *end = data + size;
    const uint8_t *mid = in + (end - in) / 2;
    setup_port(0, in, c.group ? mid : end);
    if (c.group) {
        in = mid;
        setup_port(1, in, end);
    }
    g_next_handle = 0;
    setenv("QUOR_ARISTA_ENABLE_TIMESTAMPING", c.ats ? "1" : "0", 1);

    kpt_handle_t h;
    const uint32_t portnum = c.group ? 0x3 : 0;
    const int flags = c.group ? KPT_F_AGGREGATE_PORTMASK : 0;
    if (kpt_open(portnum, int(c.num_rings), nullptr, 1 << 20, flags, &h) != 0) __builtin_trap();
    kpt_ring_t ring;
    if (kpt_ring_open(h, &ring) != 0) {
        kpt_close(h);
        return; // the ring's state does not fit its regions: refused
    }
    if (kpt_start(h) != 0) __builtin_trap();

    // At most 58 packets per descriptor, each descriptor read once a lap.
    uint64_t limit = 0;
    for (int p = 0; p < (c.group ? 2 : 1); ++p) limit += uint64_t(g_port[p].n_desc) * QUOR_KPT_DESC_MAX_PKTS;
    uint64_t got = 0;
    kpt_recv_req v[64];
    for (int guard = 0; guard < 100000; ++guard) {
        int n = 0;
        if (c.batch && ring->type == KPT_H_RING) {
            if (kpt_ring_recv_many(ring, 0, v, c.batch_size, &n, nullptr) != 0) break;
            uint32_t back = 0;
            for (int i = 0; i < n; ++i) {
                check_packet(v[i]);
                back += v[i].length_data;
            }
            // Give back the first half by length, the rest with everything.
            if (kpt_ring_return_many(ring, back / 2, nullptr) != 0 && back / 2 != 0) __builtin_trap();
            if ((guard & 1) && kpt_ring_return_many(ring, 0xFFFFFFFFu, nullptr) != 0) __builtin_trap();
        } else {
            if (kpt_ring_recv(ring, 0, &v[0]) != 0) break;
            check_packet(v[0]);
            n = 1;
        }
        check_cursor(ring);
        got += uint64_t(n);
        if (got > limit) __builtin_trap();
    }
    if (getenv("FUZZ_RX_VERBOSE")) fprintf(stderr, "packets %llu of at most %llu\n", (unsigned long long)got, (unsigned long long)limit);
    kpt_stop(h);
    if (kpt_ring_close(ring) != 0) __builtin_trap();
    if (kpt_close(h) != 0) __builtin_trap();
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    void *m = mmap(nullptr, kArenaSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) abort();
    g_arena = static_cast<uint8_t *>(m);
    setenv("KPT_DEBUG_FILENAME", "/dev/null", 1);
    if (kpt_init(KPT_LIB_API_VERSION) != 0) abort();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 12 || size > (1u << 20)) return 0;
    run(data, size);
    return 0;
}
