// uba_pci_mm.cpp - configuration access through the memory-mapped extended
// configuration window of the host bridge, mapped from physical memory.
//
// The window's base comes from host-bridge registers read by another way
// (the fbsd method on FreeBSD, the host's own configuration files elsewhere),
// by a table of known host bridges.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include "uba_internal.h"

namespace {

constexpr uint32_t kDefaultWindow = 0x10000000; // 256 MiB: 256 busses
constexpr unsigned kFnSpace = 4096;

uba_pci_mm g_mm;

uint64_t window_of(pci_dev_t d)
{
    return ((uint64_t(d->bus) * 32 + d->dev) * 8 + d->func) * kFnSpace;
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
    uba::mmio_store<T>(p, v);
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
