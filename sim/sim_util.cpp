// sim_util.cpp - small helpers of the simulator, and the unit memory arena.
#include <errno.h>
#include <dirent.h>
#include <fcntl.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "sim_internal.h"

namespace quorsim {

namespace {
struct ErrName {
    const char *name;
    int value;
};
const ErrName kErrNames[] = {
    {"EPERM", EPERM},   {"ENOENT", ENOENT}, {"EINTR", EINTR},   {"EIO", EIO},
    {"ENXIO", ENXIO},   {"EAGAIN", EAGAIN}, {"ENOMEM", ENOMEM}, {"EACCES", EACCES},
    {"EBUSY", EBUSY},   {"ENODEV", ENODEV}, {"EINVAL", EINVAL}, {"ENOSPC", ENOSPC},
    {"ERANGE", ERANGE}, {"ENOTTY", ENOTTY}, {"ETIMEDOUT", ETIMEDOUT},
};
constexpr uint64_t kPage = 4096;
}  // namespace

bool request_from_name(const std::string &name, uint32_t *code)
{
    static const struct {
        const char *name;
        uint32_t code;
    } kReqs[] = {
        {"get_version", QUOR_GET_VERSION},       {"get_board_max", QUOR_GET_BOARD_MAX},
        {"get_board_count", QUOR_GET_BOARD_COUNT}, {"get_board_type", QUOR_GET_BOARD_TYPE},
        {"get_nic_id", QUOR_GET_NIC_ID},         {"get_intr_coal", QUOR_GET_INTR_COAL},
        {"set_intr_coal", QUOR_SET_INTR_COAL},   {"pci_cfg_read", QUOR_PCI_CFG_READ},
        {"pci_cfg_write", QUOR_PCI_CFG_WRITE},   {"get_max_endpoints", QUOR_GET_MAX_ENDPOINTS},
        {"raw_send", QUOR_RAW_SEND},             {"raw_next_event", QUOR_RAW_NEXT_EVENT},
        {"get_timesource", QUOR_GET_TIMESOURCE}, {"kpt_rx_sync", QUOR_KPT_RX_SYNC},
        {"kpt_start", QUOR_KPT_START},           {"kpt_stop", QUOR_KPT_STOP},
        {"kpt_get_stats", QUOR_KPT_GET_STATS},   {"kpt_wait", QUOR_KPT_WAIT},
        {"kpt_soft_rx", QUOR_KPT_SOFT_RX},       {"kpt_port_group", QUOR_KPT_PORT_GROUP},
        {"kpt_rx_detach", QUOR_KPT_RX_DETACH},   {"get_link_state", QUOR_GET_LINK_STATE},
        {"set_raw_endpoint", QUOR_SET_RAW_ENDPOINT}, {"set_endpoint", QUOR_SET_ENDPOINT},
    };
    for (const auto &r : kReqs)
        if (name == r.name) {
            *code = r.code;
            return true;
        }
    return false;
}

bool errno_from_name(const std::string &name, int *out)
{
    for (const auto &e : kErrNames)
        if (name == e.name) {
            *out = e.value;
            return true;
        }
    uint64_t v;
    if (parse_u64(name, &v) && v > 0 && v < 4096) {
        *out = int(v);
        return true;
    }
    return false;
}

std::string errno_name(int e)
{
    for (const auto &n : kErrNames)
        if (n.value == e) return n.name;
    return std::to_string(e);
}

std::vector<std::string> split_words(const std::string &line)
{
    std::vector<std::string> out;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) ++i;
        size_t j = i;
        while (j < line.size() && line[j] != ' ' && line[j] != '\t' && line[j] != '\r') ++j;
        if (j > i) out.push_back(line.substr(i, j - i));
        i = j;
    }
    return out;
}

bool parse_u64(const std::string &s, uint64_t *out)
{
    if (s.empty() || s[0] == '-' || s[0] == '+' || s[0] == ' ') return false;
    errno = 0;
    char *end = nullptr;
    unsigned long long v = strtoull(s.c_str(), &end, 0);
    if (errno != 0 || end == s.c_str() || *end != '\0') return false;
    *out = v;
    return true;
}

// ---------------------------------------------------------------------------
// Arena
// ---------------------------------------------------------------------------

int open_descriptors()
{
    DIR *d = opendir("/proc/self/fd");
    if (!d) return -1;
    int n = 0;
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1; // the directory's own descriptor
}

Arena::~Arena()
{
    for (auto &[off, r] : used_) close(r.fd);
    for (Kept &k : kept_) close(k.fd);
    if (base_) munmap(base_, size_);
}

namespace {

bool client_alive(uint64_t key);

// Memory kept for a client's next region: at most this much an arena, and
// for this long.  Enough for one default data ring and descriptor ring, so
// that a program that opens and closes its port in a loop pays for fresh
// pages once.
constexpr uint64_t kKeepMax = ZAL_SIM_KEEP_BYTES;
constexpr int64_t kKeepTime = ZAL_SIM_KEEP_NS;

// Address space with nothing behind it: reads give zeros, and it costs no
// memory until written.  What a released region leaves in the simulator's
// view, so that a late look at it by an adapter thread reads an empty region
// instead of faulting.
bool map_empty(void *at, uint64_t len, bool fixed)
{
    int flags = MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE | (fixed ? MAP_FIXED : 0);
    return mmap(at, len, PROT_READ | PROT_WRITE, flags, -1, 0) != MAP_FAILED;
}

}  // namespace

int Arena::create(int unit, uint64_t size)
{
    unit_ = unit;
    void *p = mmap(nullptr, size, PROT_READ | PROT_WRITE,
                   MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
    if (p == MAP_FAILED) return errno;
    base_ = static_cast<uint8_t *>(p);
    size_ = size;
    // Offset 0 is never handed out, so that a zero offset in a record is
    // always recognisably wrong.
    // The board's BAR0 is mapped at its own device offsets: that range is
    // never part of the arena's regions.
    const uint64_t hole = QUOR_RAW_BAR0_MAP_OFFSET, hole_end = hole + QUOR_RAW_BAR0_MAP_SIZE;
    if (size > hole_end) {
        free_[kPage] = hole - kPage;
        free_[hole_end] = size - hole_end;
    } else {
        free_[kPage] = size - kPage;
    }
    return 0;
}

uint64_t Arena::alloc(uint64_t len, uint64_t client, bool *reused, uint64_t *note)
{
    bool again = false;
    const uint64_t off = alloc_locked(len, client, &again, note);
    if (reused) *reused = again;
    // A new region is written once through the view, a byte a page, before
    // anyone is told where it is (and outside the lock, which the port's
    // adapter thread takes too): in a virtual machine whose hypervisor
    // builds its own page tables on the first access, populated pages
    // still cost some 6 us each on their first write (0.8 s for a 512 MiB
    // ring), and the adapter fell behind the wire on its first lap, then
    // caught up above line rate.  A driver's pinned buffers cost it nothing.
    if (off != QUOR_NO_REGION && !again)
        for (uint64_t at = 0; at < len; at += kPage) {
            volatile uint8_t *b = base_ + off + at;
            *b = *b;
        }
    return off;
}

uint64_t Arena::alloc_locked(uint64_t len, uint64_t client, bool *reused, uint64_t *note)
{
    len = (len + kPage - 1) & ~(kPage - 1);
    if (len == 0) return QUOR_NO_REGION;
    std::lock_guard<std::mutex> lk(mu_);
    // The client's own kept object of this length, still mapped where it was.
    if (client != 0) {
        for (auto k = kept_.begin(); k != kept_.end(); ++k) {
            if (k->client != client || k->len != len) continue;
            const uint64_t off = k->off;
            used_[off] = Region{len, k->fd};
            if (reused) *reused = true;
            if (note) *note = k->note;
            kept_bytes_ -= len;
            kept_.erase(k);
            return off;
        }
    }
    for (int attempt = 0; attempt < 2; ++attempt) {
        for (auto it = free_.begin(); it != free_.end(); ++it) {
            if (it->second < len) continue;
            uint64_t off = it->first, rest = it->second - len;
            // Each region is a memory object of its own, handed only to the
            // clients that own the region: no client can reach another's
            // rings through a descriptor it was given.
            char name[32];
            snprintf(name, sizeof name, "quor-unit%d", unit_);
            int fd = memfd_create(name, MFD_CLOEXEC);
            if (fd < 0) return QUOR_NO_REGION;
            // The adapter writes into its rings as into a driver's pinned
            // buffers, without a page fault: the view is filled in at once.
            if (ftruncate(fd, off_t(len)) != 0 ||
                mmap(base_ + off, len, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_FIXED | MAP_POPULATE, fd,
                     0) == MAP_FAILED) {
                close(fd);
                return QUOR_NO_REGION;
            }
#ifdef MADV_POPULATE_WRITE
            // A shared mapping is filled in for reading; the first write to
            // each page would still fault.  Best effort: older kernels lack it.
            (void)madvise(base_ + off, len, MADV_POPULATE_WRITE);
#endif
            free_.erase(it);
            if (rest) free_[off + len] = rest;
            used_[off] = Region{len, fd};
            return off;
        }
        // No room: what is kept for clients goes first.
        if (kept_.empty()) break;
        while (!kept_.empty()) {
            drop(kept_.front());
            kept_.pop_front();
        }
    }
    return QUOR_NO_REGION;
}

// Unmaps a kept object and gives its range back.  Locked.
void Arena::drop(const Kept &k)
{
    map_empty(base_ + k.off, k.len, true);
    close(k.fd);
    kept_bytes_ -= k.len;
    free_range(k.off, k.len);
}

void Arena::release(uint64_t off, uint64_t len, uint64_t keep_for, uint64_t note)
{
    if (off == QUOR_NO_REGION) return;
    std::lock_guard<std::mutex> lk(mu_);
    auto u = used_.find(off);
    if (u == used_.end()) return;
    // The region as it was handed out, whatever length the caller gives.
    len = u->second.len;
    const int fd = u->second.fd;
    used_.erase(u);
    // A kept object waits for its client alone, mapped where it is; the
    // oldest go first.  Otherwise the memory goes with the object once the
    // last client mapping of it is gone; the next owner of the range gets a
    // fresh, zeroed object.
    if (keep_for != 0 && len <= kKeepMax) {
        kept_.push_back(Kept{keep_for, len, note, fd, mono_ns(), off});
        kept_bytes_ += len;
        while (kept_bytes_ > kKeepMax) {
            drop(kept_.front());
            kept_.pop_front();
        }
        return;
    }
    map_empty(base_ + off, len, true);
    close(fd);
    free_range(off, len);
}

// Puts a range back in the free list, joined with its neighbours.  Locked.
void Arena::free_range(uint64_t off, uint64_t len)
{
    auto next = free_.lower_bound(off);
    if (next != free_.end() && next->first == off + len) {
        len += next->second;
        next = free_.erase(next);
    }
    if (next != free_.begin()) {
        auto prev = std::prev(next);
        if (prev->first + prev->second == off) {
            prev->second += len;
            return;
        }
    }
    free_[off] = len;
}

void Arena::expire(int64_t now)
{
    std::lock_guard<std::mutex> lk(mu_);
    // Memory of a client that is gone is no one's any more.
    std::erase_if(kept_, [&](const Kept &k) {
        if (now >= 0 && now - k.since <= kKeepTime && client_alive(k.client)) return false;
        drop(k);
        return true;
    });
}

size_t Arena::kept(uint64_t *bytes) const
{
    std::lock_guard<std::mutex> lk(mu_);
    if (bytes) *bytes = kept_bytes_;
    return kept_.size();
}

void Arena::zero(uint64_t off, uint64_t len)
{
    static const uint8_t zeros[65536] = {};
    std::lock_guard<std::mutex> lk(mu_);
    auto u = used_.find(off);
    if (u == used_.end()) return;
    len = std::min(len, u->second.len);
    for (uint64_t at = 0; at < len;) {
        ssize_t n = pwrite(u->second.fd, zeros, size_t(std::min<uint64_t>(sizeof zeros, len - at)), off_t(at));
        if (n <= 0) {
            // Cannot write through the object: through the view instead.
            memset(base_ + off + at, 0, size_t(len - at));
            return;
        }
        at += uint64_t(n);
    }
}

namespace {

constexpr uint64_t kPidBits = 22; // pids stay below 2^22

// The key of a running process, 0 when it is not there.
uint64_t key_of_pid(pid_t pid)
{
    char path[64];
    snprintf(path, sizeof path, "/proc/%d/stat", int(pid));
    FILE *f = fopen(path, "re");
    if (!f) return 0;
    char buf[1024];
    size_t n = fread(buf, 1, sizeof buf - 1, f);
    fclose(f);
    buf[n] = 0;
    // The start time is field 22; the name (field 2) may hold anything but
    // ends at the last ')'.
    const char *p = strrchr(buf, ')');
    if (!p) return 0;
    unsigned long long start = 0;
    if (sscanf(p + 1, " %*c %*d %*d %*d %*d %*d %*u %*u %*u %*u %*u %*u %*u %*d %*d %*d %*d %*d %*d %llu",
               &start) != 1)
        return 0;
    return (uint64_t(start) << kPidBits | uint64_t(pid)) + 1;
}

// Whether the process a key names still runs (the same one, not a later
// process with its id).
bool client_alive(uint64_t key)
{
    const pid_t pid = pid_t((key - 1) & ((1ull << kPidBits) - 1));
    return key_of_pid(pid) == key;
}

}  // namespace

uint64_t client_key(int fd)
{
    struct ucred cr = {};
    socklen_t cl = sizeof cr;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cr, &cl) != 0 || cr.pid <= 0 ||
        uint64_t(cr.pid) >> kPidBits)
        return 0;
    return key_of_pid(cr.pid);
}

int Arena::region_fd(uint64_t off, uint64_t *len) const
{
    std::lock_guard<std::mutex> lk(mu_);
    auto u = used_.find(off);
    if (u == used_.end()) {
        errno = ENOENT;
        return -1;
    }
    *len = u->second.len;
    return fcntl(u->second.fd, F_DUPFD_CLOEXEC, 0);
}

size_t Arena::regions() const
{
    std::lock_guard<std::mutex> lk(mu_);
    return used_.size();
}

uint64_t Arena::in_use() const
{
    std::lock_guard<std::mutex> lk(mu_);
    uint64_t f = 0;
    for (auto &[o, l] : free_) f += l;
    const uint64_t hole = size_ > QUOR_RAW_BAR0_MAP_OFFSET + QUOR_RAW_BAR0_MAP_SIZE ? QUOR_RAW_BAR0_MAP_SIZE : 0;
    return size_ - kPage - hole - f - kept_bytes_;
}

}  // namespace quorsim
