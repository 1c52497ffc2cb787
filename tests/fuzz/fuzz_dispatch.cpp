// fuzz_dispatch.cpp - arbitrary requests against a live simulator.
//
// One simulator with two units runs in the process for the whole session,
// its own server and adapter threads serving as they do in quor_simd.  A
// victim client owns a port endpoint and a ring on unit 0 for the whole
// session.  Each input opens up to three connections of its own, sends them
// a sequence of requests read from the input (catalogue requests with records
// of their size, the wait timeouts cut to at most 2 ms, or raw messages with
// any header), and closes them; the simulator drops everything they bound,
// and the next run starts once it has (the state resets that cheaply).
//
// Checks: every request with a whole header gets exactly one reply, with its
// sequence number, within twenty seconds (waits are cut to 2 ms); an error reply carries no record; a
// request outside the catalogue or with a record of the wrong size gets an
// error; and the victim's descriptor and data rings stay untouched (no page
// of them is ever written: nothing reaches the victim's ring, so its rings
// stay all zero) and so does its state slot.
#include <errno.h>
#include <poll.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "quor_io.h"
#include "quorsim.h"
#include "zal_simproto.h"

namespace {

constexpr int kUnits = 2;

// FUZZ_DISPATCH_VERBOSE set: every request and its result on stderr.
bool verbose()
{
    static const bool v = getenv("FUZZ_DISPATCH_VERBOSE") != nullptr;
    return v;
}

struct Client {
    int fd = -1;
    uint32_t seq = 0;
    bool cut = false; // sent an empty message: the simulator takes it as a hang-up

    bool connect_unit(const std::string &dir, int unit)
    {
        fd = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        struct sockaddr_un sa = {};
        sa.sun_family = AF_UNIX;
        snprintf(sa.sun_path, sizeof sa.sun_path, "%s/quorCp%d", dir.c_str(), unit);
        if (fd < 0 || connect(fd, (struct sockaddr *)&sa, sizeof sa) != 0) return false;
        zal_sim_hello h;
        int mem = -1; // the boards' memory file: not looked at here
        const ssize_t n = recv_with_fd(&h, sizeof h, &mem);
        if (mem >= 0) close(mem);
        return n == sizeof h && h.error == 0;
    }

    // One message of up to len bytes into buf, waited for up to 20 s, and
    // the descriptor it carried (or -1) in *passed.  Its length, or -1.
    ssize_t recv_with_fd(void *buf, size_t len, int *passed)
    {
        *passed = -1;
        struct iovec iov = {buf, len};
        alignas(struct cmsghdr) char cbuf[CMSG_SPACE(4 * sizeof(int))];
        struct msghdr mh = {};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = cbuf;
        mh.msg_controllen = sizeof cbuf;
        if (!readable(20000)) return -1;
        const ssize_t n = recvmsg(fd, &mh, MSG_CMSG_CLOEXEC);
        if (n >= 0) *passed = zal_sim_take_passed_fd(&mh);
        return n;
    }

    // The memory object holding [off, off + len) of the arena, as a driver
    // mapping would get it: its descriptor and where it starts.
    bool map_region(uint64_t off, uint64_t len, int *mfd, uint64_t *region_off)
    {
        zal_sim_map m = {off & ~uint64_t(4095), len + (off & 4095), 0, 0};
        zal_sim_req rq = {++seq, ZAL_SIM_MAP, uint32_t(sizeof m), 0};
        uint8_t msg[sizeof rq + sizeof m];
        memcpy(msg, &rq, sizeof rq);
        memcpy(msg + sizeof rq, &m, sizeof m);
        if (!send_msg(msg, sizeof msg)) return false;
        zal_sim_rep rp;
        uint8_t rbuf[sizeof rp + sizeof m];
        const ssize_t n = recv_with_fd(rbuf, sizeof rbuf, mfd);
        memcpy(&rp, rbuf, sizeof rp);
        if (n != ssize_t(sizeof rbuf) || rp.seq != rq.seq || rp.error != 0 || *mfd < 0) return false;
        memcpy(&m, rbuf + sizeof rp, sizeof m);
        *region_off = m.region_offset;
        return true;
    }

    void close_all()
    {
        if (fd >= 0) close(fd);
        fd = -1;
    }

    // Waits up to ms for a message.  A signal does not end the wait: the
    // fuzzer's own timer (SIGALRM, for its per-input timeout) lands here
    // now and then.
    bool readable(int ms)
    {
        struct timespec t0;
        clock_gettime(CLOCK_MONOTONIC, &t0);
        for (;;) {
            struct timespec t;
            clock_gettime(CLOCK_MONOTONIC, &t);
            const int64_t left = ms - ((t.tv_sec - t0.tv_sec) * 1000 + (t.tv_nsec - t0.tv_nsec) / 1000000);
            if (left <= 0) return false;
            struct pollfd pfd = {fd, POLLIN, 0};
            const int n = poll(&pfd, 1, int(left));
            if (n > 0) return true;
            if (n == 0 || errno != EINTR) return false;
        }
    }

    bool send_msg(const void *m, size_t n) { return send(fd, m, n, MSG_NOSIGNAL) == ssize_t(n); }

    // Waits for the reply to `want`; false if none came.
    bool reply(uint32_t want, zal_sim_rep *rp, std::vector<uint8_t> *rec)
    {
        static std::vector<uint8_t> buf(ZAL_SIM_MAX_MSG);
        for (;;) {
            // Generous: on a loaded machine the simulator's threads may wait
            // seconds for a processor; a request that is never answered
            // still shows.
            if (!readable(20000)) {
                fprintf(stderr, "no reply within 20 s\n");
                return false;
            }
            ssize_t n = recv(fd, buf.data(), buf.size(), 0);
            if (n < ssize_t(sizeof *rp)) {
                fprintf(stderr, "connection ended (%zd: %s)\n", n, n < 0 ? strerror(errno) : "closed");
                return false;
            }
            memcpy(rp, buf.data(), sizeof *rp);
            if (uint64_t(sizeof *rp) + rp->size + rp->extra != uint64_t(n)) {
                fprintf(stderr, "reply of %zd bytes says %u + %u\n", n, rp->size, rp->extra);
                __builtin_trap();
            }
            if (rp->seq != want) { // one reply per request, in order here
                fprintf(stderr, "reply %u (error %d) while waiting for %u\n", rp->seq, rp->error, want);
                __builtin_trap();
            }
            if (rec) rec->assign(buf.begin() + sizeof *rp, buf.begin() + sizeof *rp + rp->size);
            return true;
        }
    }

    // One request and its reply.
    int request(uint32_t code, std::vector<uint8_t> &rec, const std::vector<uint8_t> &extra = {})
    {
        zal_sim_req rq = {++seq, code, uint32_t(rec.size()), uint32_t(extra.size())};
        if (verbose()) fprintf(stderr, "sending %#x: %zu + %zu\n", code, rec.size(), extra.size());
        std::vector<uint8_t> m(sizeof rq);
        memcpy(m.data(), &rq, sizeof rq);
        m.insert(m.end(), rec.begin(), rec.end());
        m.insert(m.end(), extra.begin(), extra.end());
        zal_sim_rep rp;
        if (!send_msg(m.data(), m.size())) {
            fprintf(stderr, "request %#x: not sent: %s\n", code, strerror(errno));
            __builtin_trap();
        }
        if (!reply(rq.seq, &rp, &rec)) {
            fprintf(stderr, "request %#x: no answer\n", code);
            __builtin_trap();
        }
        if (verbose()) fprintf(stderr, "request %#x: %d\n", code, rp.error);
        if (rp.error < 0 || rp.error > 4095) __builtin_trap();
        if (rp.error != 0 && (rp.size != 0 || rp.extra != 0)) __builtin_trap();
        return rp.error;
    }
};

template <class T> std::vector<uint8_t> bytes_of(const T &v)
{
    std::vector<uint8_t> b(sizeof v);
    memcpy(b.data(), &v, sizeof v);
    return b;
}

struct Region {
    uint64_t off, len;
    int mfd = -1;            // the memory object holding it
    uint64_t region_off = 0; // where that object starts in the arena
    const uint64_t *view = nullptr; // read-only view of the region (len rounded down to words)
};

quorsim::Simulator *g_sim;
std::string g_dir;
Client g_victim_port, g_victim_ring;
std::vector<Region> g_victim; // regions no request of another client may write
std::vector<uint8_t> g_victim_slot;

Region g_slot; // the victim's state slot

std::vector<uint8_t> read_region(const Region &r)
{
    std::vector<uint8_t> b(r.len);
    if (pread(r.mfd, b.data(), r.len, off_t(r.off - r.region_off)) != ssize_t(r.len)) abort();
    return b;
}

void check_victim()
{
    // The simulator fills the rings' page tables when it makes them, so a
    // write no longer shows as a page where a hole was: the bytes tell.
    for (const Region &r : g_victim) {
        uint64_t any = 0;
        for (uint64_t i = 0; i < r.len / 8; i++) any |= r.view[i];
        if (any != 0) __builtin_trap(); // written
    }
    if (read_region(g_slot) != g_victim_slot) __builtin_trap();
}

// Takes the victim's own descriptor of the memory behind r.
void victim_map(Region &r)
{
    if (!g_victim_ring.map_region(r.off, r.len, &r.mfd, &r.region_off)) abort();
}

// A read-only view of r, which must start on a page.
void victim_view(Region &r)
{
    const uint64_t at = r.off - r.region_off;
    if (at % 4096 != 0) abort();
    void *p = mmap(nullptr, r.len, PROT_READ, MAP_SHARED, r.mfd, off_t(at));
    if (p == MAP_FAILED) abort();
    r.view = static_cast<const uint64_t *>(p);
}

void setup_victim()
{
    g_victim_port.connect_unit(g_dir, 0);
    if (!g_victim_ring.connect_unit(g_dir, 0)) abort();
    quor_kpt_rx_params_t prm = {};
    prm.set_endpt.endpt_type = QUOR_ES_KPT_RX;
    prm.num_rings = 1;
    prm.open_flags = QUOR_KPT_F_APP_ID;
    prm.app_id = 4242;
    prm.aggr_portmask = 1;
    prm.rx_data_ring_size = 2 << 20;
    prm.rx_desc_ring_size = 2 << 20;
    auto rec = bytes_of(prm);
    if (g_victim_port.request(QUOR_SET_ENDPOINT, rec) != 0) abort();
    quor_kpt_rx_attach_t at = {};
    at.params = prm;
    at.set_endpt.endpt_type = QUOR_ES_KPT_RX_RING;
    at.params.set_endpt = at.set_endpt;
    at.ring_id = -1;
    rec = bytes_of(at);
    if (g_victim_ring.request(QUOR_SET_ENDPOINT, rec) != 0) abort();
    memcpy(&at, rec.data(), sizeof at);
    g_victim.push_back({at.rx_desc_ring_offset, at.params.rx_desc_ring_size});
    g_victim.push_back({at.rx_data_ring_offset, at.params.rx_data_preamble_size + at.params.rx_data_ring_size});
    for (Region &r : g_victim) {
        victim_map(r);
        victim_view(r);
    }
    g_slot.off = at.vstate_all_offset + uint64_t(at.port_ring_id) * QUOR_KPT_VSTATE_SLOT_SIZE;
    g_slot.len = QUOR_KPT_VSTATE_SLOT_SIZE;
    victim_map(g_slot);
    g_victim_slot = read_region(g_slot);
    check_victim();
}

// The requests of the catalogue, so that most inputs name one.
const uint32_t kCodes[] = {
    QUOR_GET_VERSION,     QUOR_GET_BOARD_MAX,   QUOR_GET_BOARD_COUNT,     QUOR_GET_BOARD_TYPE,
    QUOR_GET_NIC_ID,      QUOR_GET_INTR_COAL,   QUOR_SET_INTR_COAL,       QUOR_PCI_CFG_READ,
    QUOR_PCI_CFG_WRITE,   QUOR_GET_MAX_ENDPOINTS, QUOR_RAW_SEND,          QUOR_RAW_NEXT_EVENT,
    QUOR_GET_TIMESOURCE,  QUOR_KPT_RX_SYNC,     QUOR_KPT_START,           QUOR_KPT_STOP,
    QUOR_KPT_GET_STATS,   QUOR_KPT_WAIT,        QUOR_KPT_SOFT_RX,         QUOR_KPT_PORT_GROUP,
    QUOR_KPT_RX_DETACH,   QUOR_KPT_PQ_TRYLOCK,  QUOR_KPT_PQ_TRYLOCK_WAIT, QUOR_KPT_PQ_UNLOCK,
    QUOR_KPT_PQ_UNLOCK_WAKE, QUOR_KPT_PQ_GROUP_LOCK, QUOR_KPT_PQ_GROUP_UNLOCK, QUOR_GET_LINK_STATE,
    QUOR_SET_RAW_ENDPOINT, QUOR_SET_ENDPOINT,   ZAL_SIM_HOST_IFACES,
};
constexpr size_t kNumCodes = sizeof kCodes / sizeof kCodes[0];
const uint32_t kEndpointTypes[] = {QUOR_ES_KPT_RX, QUOR_ES_KPT_RX_RING, QUOR_ES_KPT_RX_GROUP,
                                   QUOR_ES_KPT_TX, QUOR_ES_RAW, QUOR_ES_KPT_RX_PQ};

struct Input {
    const uint8_t *p, *end;
    uint8_t byte() { return p < end ? *p++ : 0; }
    void fill(uint8_t *dst, size_t n)
    {
        if (n == 0) return;
        size_t k = std::min(n, size_t(end - p));
        memcpy(dst, p, k);
        memset(dst + k, 0, n - k);
        p += k;
    }
};

// No wait longer than 2 ms: a parked request must still be answered soon.
void cut_timeouts(uint32_t code, std::vector<uint8_t> &rec)
{
    auto cut = [&](size_t off) {
        if (rec.size() < off + 4) return;
        int32_t t;
        memcpy(&t, rec.data() + off, 4);
        t = int32_t(uint32_t(t) % 3);
        memcpy(rec.data() + off, &t, 4);
    };
    if (code == QUOR_KPT_WAIT || code == QUOR_KPT_PQ_TRYLOCK_WAIT) cut(0);
    if (code == QUOR_KPT_PQ_GROUP_LOCK) cut(offsetof(quor_kpt_pq_group_lock_t, timeout_ms));
    if (code == QUOR_RAW_NEXT_EVENT) cut(offsetof(quor_raw_next_event_t, timeout));
}

void op(Client &c, Input &in)
{
    if (c.cut) return;
    const uint8_t kind = in.byte();
    if (kind >= 0xF0) {
        // A raw message: any header, any length.
        size_t n = in.byte();
        std::vector<uint8_t> m(n);
        in.fill(m.data(), n);
        zal_sim_req rq = {};
        if (n >= sizeof rq) {
            rq.seq = ++c.seq;
            memcpy(m.data(), &rq.seq, 4);
            memcpy(&rq, m.data(), sizeof rq);
            if (uint64_t(sizeof rq) + rq.size + rq.extra == n) {
                std::vector<uint8_t> rec(m.begin() + sizeof rq, m.begin() + sizeof rq + rq.size);
                cut_timeouts(rq.request, rec);
                std::copy(rec.begin(), rec.end(), m.begin() + sizeof rq);
            }
        }
        if (!c.send_msg(m.data(), m.size())) __builtin_trap();
        c.cut = n == 0;
        if (n < sizeof rq) return; // nothing to answer to
        zal_sim_rep rp;
        if (!c.reply(rq.seq, &rp, nullptr)) __builtin_trap();
        if (uint64_t(sizeof rq) + rq.size + rq.extra != n && rp.error != EINVAL) __builtin_trap();
        return;
    }
    uint32_t code = kCodes[kind % kNumCodes];
    if (kind >= 0xE0) { // outside the catalogue, or anything
        in.fill(reinterpret_cast<uint8_t *>(&code), 4);
    }
    int want = quor_ioc_record_size(code);
    size_t size;
    const uint8_t sz = in.byte();
    if (code == QUOR_SET_ENDPOINT) {
        quor_set_endpt_t se = {};
        se.endpt_type = kEndpointTypes[sz % 6];
        size = quor_set_endpoint_size(se.endpt_type);
        if (size == 0) size = sizeof se;
        std::vector<uint8_t> rec(size);
        in.fill(rec.data(), size);
        memcpy(rec.data() + offsetof(quor_set_endpt_t, endpt_type), &se.endpt_type, 4);
        c.request(code, rec);
        return;
    }
    if (code == ZAL_SIM_HOST_IFACES) want = int(sizeof(zal_sim_ifaces));
    size = want >= 0 && sz < 0xF0 ? size_t(want) : size_t(sz) * 16;
    std::vector<uint8_t> rec(size);
    in.fill(rec.data(), size);
    cut_timeouts(code, rec);
    std::vector<uint8_t> extra(in.byte() & 0x7F);
    in.fill(extra.data(), extra.size());
    if (code == QUOR_KPT_SOFT_RX || code == QUOR_RAW_SEND) extra.resize(extra.size() * 64);
    const int e = c.request(code, rec, extra);
    if (want == -2 && e == 0) __builtin_trap(); // unknown request
    if (want >= 0 && size != size_t(want) && e != EINVAL) __builtin_trap();   // wrong size
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char tmpl[] = "/tmp/fuzz_dispatch.XXXXXX";
    if (!mkdtemp(tmpl)) abort();
    g_dir = tmpl;
    quorsim::Options o;
    o.dir = g_dir;
    o.ports = kUnits;
    o.max_ring_mib = 4;
    g_sim = new quorsim::Simulator(o);
    std::string err;
    if (g_sim->start(&err) != 0) {
        fprintf(stderr, "simulator: %s\n", err.c_str());
        abort();
    }
    setup_victim();
    // The socket files go with the process; the directory is left empty.
    atexit([] {
        g_sim->stop();
        rmdir(g_dir.c_str());
    });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 8192) return 0;
    Input in{data, data + size};
    const uint8_t c0 = in.byte();
    Client cl[3];
    const int n = 1 + c0 % 3;
    int before[kUnits];
    for (int u = 0; u < kUnits; ++u) before[u] = g_sim->connections(u);
    for (int i = 0; i < n; ++i)
        if (!cl[i].connect_unit(g_dir, (c0 >> (2 + i)) & 1)) __builtin_trap();
    for (int k = 0; k < 64 && in.p < in.end; ++k) op(cl[in.byte() % n], in);
    for (int i = 0; i < n; ++i) cl[i].close_all();
    // The next run starts once the simulator has let go of these clients.
    for (int u = 0; u < kUnits; ++u)
        for (int spin = 0; g_sim->connections(u) != before[u]; ++spin) {
            if (spin > 1000000) __builtin_trap(); // a client the simulator never lets go
            usleep(10);
        }
    check_victim();
    return 0;
}
