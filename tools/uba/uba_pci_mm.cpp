// uba_pci_mm.cpp - configuration access through the memory-mapped extended
// configuration window of the host bridge, mapped from physical memory.
//
// The window's base comes from host-bridge registers read by another way
// (the fbsd method on FreeBSD, the host's own configuration files elsewhere),
// by a table of known host bridges.
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>
#ifdef __linux__
#include <linux/futex.h>
#include <sys/syscall.h>
#endif

#include "quor_io.h"
#include "uba_internal.h"

namespace {

constexpr uint32_t kDefaultWindow = 0x10000000; // 256 MiB: 256 busses
constexpr unsigned kFnSpace = 4096;

uba_pci_mm g_mm;

uint64_t window_of(pci_dev_t d)
{
    return ((uint64_t(d->bus) * 32 + d->dev) * 8 + d->func) * kFnSpace;
}

// ---- Stores into a stand-in physical memory file ----
//
// A file standing in for physical memory reaches no device by itself: while
// a simulator serves it, a store into a configuration space is posted on the
// file's posting page (see quor_standin_post_t) and answered once the device
// has taken it.  Real memory (/dev/mem, whose size reads 0) has no such page.

constexpr int64_t kPostWait = 5'000'000'000;   // longest wait for the simulator, ns
constexpr int64_t kLockStale = 1'000'000'000;  // a lock held this long by a dead process is taken

quor_standin_post_t *g_post;
bool g_post_looked;

int64_t mono_ns()
{
    timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

void futex_wake(uint32_t *w)
{
#ifdef __linux__
    syscall(SYS_futex, w, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0);
#else
    (void)w;
#endif
}

// Sleeps while *w holds v, a millisecond at most.
void futex_wait(uint32_t *w, uint32_t v)
{
#ifdef __linux__
    timespec ts = {0, 1'000'000};
    syscall(SYS_futex, w, FUTEX_WAIT, v, &ts, nullptr, 0);
#else
    (void)w, (void)v;
    timespec ts = {0, 20'000};
    nanosleep(&ts, nullptr);
#endif
}

quor_standin_post_t *post_page()
{
    if (g_post_looked) return g_post;
    g_post_looked = true;
    const char *file = getenv("UBA_DEVMEM");
    if (!file || !*file) return nullptr;
    int fd = open(file, O_RDWR | O_CLOEXEC);
    if (fd < 0) return nullptr;
    struct stat st;
    // A file too short to hold the page (mapping past its end would fault)
    // is a plain stand-in without a server.
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) &&
        uint64_t(st.st_size) >= QUOR_STANDIN_POST_PHYS + sizeof(quor_standin_post_t)) {
        void *p = mmap(nullptr, sizeof(quor_standin_post_t), PROT_READ | PROT_WRITE, MAP_SHARED, fd,
                       off_t(QUOR_STANDIN_POST_PHYS));
        if (p != MAP_FAILED) g_post = static_cast<quor_standin_post_t *>(p);
    }
    close(fd);
    return g_post;
}

// Posts a store of width bytes at phys to the simulator serving the
// stand-in file and waits until it is taken; false when nobody serves the
// file (the caller stores into the mapping itself).
bool post_store(uint64_t phys, unsigned width, uint32_t value)
{
    quor_standin_post_t *pg = post_page();
    if (!pg) return false;
    std::atomic_ref<uint32_t> magic(pg->magic), lock(pg->lock), seq(pg->seq), done(pg->done);
    if (magic.load(std::memory_order_acquire) != QUOR_STANDIN_MAGIC) return false;
    const uint32_t me = uint32_t(getpid());
    const int64_t t0 = mono_ns();
    for (;;) {
        uint32_t holder = 0;
        // Pairs with the release store that frees the lock below.
        if (lock.compare_exchange_weak(holder, me, std::memory_order_acquire)) break;
        if (holder != 0 && holder != me && mono_ns() - t0 > kLockStale && kill(pid_t(holder), 0) != 0 &&
            errno == ESRCH) {
            lock.compare_exchange_strong(holder, 0, std::memory_order_relaxed);
            continue;
        }
        if (mono_ns() - t0 > kPostWait)
            UBA_FATAL("configuration store at %#llx: the stand-in memory's posting page stays locked\n",
                      (unsigned long long)phys);
        sched_yield();
    }
    pg->phys = phys;
    pg->width = width;
    pg->value = value;
    const uint32_t s = seq.load(std::memory_order_relaxed) + 1;
    // Pairs with the simulator's acquire load of seq: the store's fields
    // are in place.
    seq.store(s, std::memory_order_release);
    futex_wake(&pg->seq);
    for (;;) {
        // Pairs with the simulator's release store of done after the
        // device took the store.
        uint32_t d = done.load(std::memory_order_acquire);
        if (d == s) break;
        if (mono_ns() - t0 > kPostWait || magic.load(std::memory_order_relaxed) != QUOR_STANDIN_MAGIC) {
            lock.store(0, std::memory_order_release);
            UBA_FATAL("configuration store at %#llx: the simulator serving the stand-in memory did not "
                      "take it\n",
                      (unsigned long long)phys);
        }
        futex_wait(&pg->done, d);
    }
    lock.store(0, std::memory_order_release);
    return true;
}

volatile uint8_t *reg(pci_dev_t d, unsigned off, unsigned width)
{
    uba::check_cfg_range(d, off, width);
    return g_mm.mapped_addr + window_of(d) + off;
}

template <class T> unsigned load(pci_dev_t d, unsigned off)
{
    volatile uint8_t *p = reg(d, off, sizeof(T));
    uba::fence();
    T v = uba::mmio_load<T>(p);
    uba::fence();
    return v;
}

template <class T> int store(pci_dev_t d, unsigned off, T v)
{
    volatile uint8_t *p = reg(d, off, sizeof(T));
    uba::fence();
    if (!post_store(g_mm.phy_addr + window_of(d) + off, sizeof(T), v)) uba::mmio_store<T>(p, v);
    uba::fence();
    return 0;
}

unsigned readb(pci_dev_t d, unsigned off) { return load<uint8_t>(d, off); }
unsigned readw(pci_dev_t d, unsigned off) { return load<uint16_t>(d, off); }
unsigned readl(pci_dev_t d, unsigned off) { return load<uint32_t>(d, off); }
int writeb(pci_dev_t d, unsigned off, uint8_t v) { return store<uint8_t>(d, off, v); }
int writew(pci_dev_t d, unsigned off, uint16_t v) { return store<uint16_t>(d, off, v); }
int writel(pci_dev_t d, unsigned off, uint32_t v) { return store<uint32_t>(d, off, v); }

// Identity of the host bridge and the window it describes.
struct HostRead {
    int bus, dev, func;
    bool ok = true;
    uint32_t rd(unsigned off, unsigned width)
    {
        uint32_t v = 0;
        if (ok && uba::host_cfg_read(bus, dev, func, off, width, &v) != 0) ok = false;
        return v;
    }
};

uint64_t find_base(uint32_t *size)
{
    HostRead h{0, 0, 0};
    uint32_t id = h.rd(0, 4);
    if (!h.ok || (id & 0xffff) == 0 || (id & 0xffff) == 0xffff) {
        h = HostRead{0, 1, 0};
        id = h.rd(0, 4);
        if (!h.ok || (id & 0xffff) == 0 || (id & 0xffff) == 0xffff) return 0;
    }
    const uint32_t ident = ((id & 0xffff) << 16) | (id >> 16);
    uint64_t base = 0;
    switch (ident) {
    case 0x808625c0:
    case 0x808625d0:
    case 0x808625d4:
    case 0x808625d8: {
        HostRead x{0, 0x10, 0};
        uint32_t vid = x.rd(0, 2);
        uint32_t v = x.rd(0x64, 4);
        if (x.ok && vid != 0 && vid != 0xffff) base = uint64_t(v & 0xfff000) << 16;
        break;
    }
    case 0x80862980:
    case 0x808629e0:
    case 0x80862a00: {
        uint32_t v = h.rd(0x60, 4);
        if (h.ok && (v & 1)) {
            *size = kDefaultWindow >> ((v & 6) >> 1);
            base = v & 0xff000000u;
        }
        break;
    }
    case 0x80863590:
        base = 0xe0000000u;
        *size = kDefaultWindow;
        break;
    case 0x10025956: {
        uint32_t v = h.rd(0x1c, 4);
        if (h.ok) base = v & ~0x1fu;
        break;
    }
    case 0x10de005e: {
        uint32_t v = h.rd(0x90, 2);
        if (h.ok) base = uint64_t(v & 0xfff) << 28;
        break;
    }
    case 0x10de0369: {
        uint32_t v = h.rd(0x90, 2);
        if (h.ok) base = uint64_t(v & 0x7ffe) << 25;
        break;
    }
    default:
        break;
    }
    return base;
}

int probe(pci_access *)
{
    if (g_mm.phy_addr) return 0;
    uint32_t size = kDefaultWindow;
    uint64_t base = find_base(&size);
    g_mm.size = size;
    g_mm.phy_addr = base;
    if (!base) return -1;
    void *p = ioremap_dev(nullptr, base, size, 1);
    if (!p) return -1;
    iounmap_phys(p, base, size);
    return 0;
}

void init(pci_access *a)
{
    handle_error_func(probe(a) < 0, __FILE__, __LINE__,
                      "Cannot find memory-mapped ext-conf-space location\n");
    if (!g_mm.mapped_addr)
        g_mm.mapped_addr = static_cast<volatile uint8_t *>(ioremap(g_mm.phy_addr, g_mm.size));
}

void fini(pci_access *)
{
    if (g_mm.mapped_addr) iounmap_phys(const_cast<uint8_t *>(g_mm.mapped_addr), g_mm.phy_addr, g_mm.size);
    g_mm.mapped_addr = nullptr;
}

int has_bus(pci_access *, int domain, int) { return domain == 0; }
int can_access_ext_conf(pci_dev_t) { return 1; }

pci_dev_t init_dev(pci_dev_t d)
{
    if (d->domain != 0 || window_of(d) + (kFnSpace - 1) >= g_mm.size) return nullptr;
    return uba::identify(d);
}

const uba_pci_ops kOps = {
    "mm", readb, readw, readl, writeb, writew, writel, init, fini,
    nullptr,  // mmap_bar
    has_bus, can_access_ext_conf, probe, init_dev,
    nullptr,  // close_dev
};

__attribute__((constructor)) void register_mm()
{
    g_mm.acc.u.mm = &g_mm;
    g_mm.acc.ops = &kOps;
    uba_pci_register(UBA_PCI_MM, &g_mm.acc);
}

}  // namespace

extern "C" pci_access *const uba__method_mm = &g_mm.acc;

#ifndef __FreeBSD__
namespace uba {

// Without /dev/pci the host bridge is read from the host's configuration
// files ($UBA_PCI_SYSFS/0000:BB:DD.F/config).  A file that is missing or
// too short for the register answers nothing.
int host_cfg_read(int bus, int dev, int func, unsigned offset, unsigned width, uint32_t *val)
{
    const char *dir = getenv("UBA_PCI_SYSFS");
    if (!dir || !*dir) dir = "/sys/bus/pci/devices";
    char path[4096];
    int n = snprintf(path, sizeof path, "%s/0000:%02x:%02x.%x/config", dir, bus, dev, func);
    if (n < 0 || size_t(n) >= sizeof path) return -1;
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) return -1;
    uint8_t b[4] = {};
    ssize_t got = pread(fd, b, width, off_t(offset));
    close(fd);
    if (got != ssize_t(width)) return -1;
    *val = uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
    return 0;
}

}  // namespace uba
#endif
