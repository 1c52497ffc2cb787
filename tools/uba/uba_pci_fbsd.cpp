// uba_pci_fbsd.cpp - configuration access through the FreeBSD /dev/pci
// device.  Compiled on FreeBSD only.
#ifdef __FreeBSD__
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include "uba_internal.h"

namespace {

// The request record in its old, domain-less layout.
struct pci_io_old {
    struct {
        uint8_t pc_bus, pc_dev, pc_func;
    } pi_sel;
    int pi_reg;
    int pi_width;
    uint32_t pi_data;
};
static_assert(sizeof(pci_io_old) == 16, "pci_io size");
static_assert(offsetof(pci_io_old, pi_reg) == 4, "pi_reg");
static_assert(offsetof(pci_io_old, pi_width) == 8, "pi_width");
static_assert(offsetof(pci_io_old, pi_data) == 12, "pi_data");

constexpr unsigned long kPciocRead = 0xc0107002ul;
constexpr unsigned long kPciocWrite = 0xc0107003ul;
constexpr unsigned kStdSpace = 256;
constexpr unsigned kUnprivileged = 64;

uba_pci_fbsd g_fbsd;

void need_root(unsigned off)
{
    handle_error_func(off >= kUnprivileged && geteuid() != 0, __FILE__, __LINE__,
                      "You need to be root to access PCI configuration space\n");
}

pci_io_old request(pci_dev_t d, unsigned off, unsigned width)
{
    pci_io_old io = {};
    io.pi_sel.pc_bus = d->bus;
    io.pi_sel.pc_dev = d->dev;
    io.pi_sel.pc_func = d->func;
    io.pi_reg = int(off);
    io.pi_width = int(width);
    return io;
}

uint32_t cfg_read(pci_dev_t d, unsigned off, unsigned width)
{
    uba::check_cfg_range(d, off, width);
    if (off >= kStdSpace) return 0;
    need_root(off);
    pci_io_old io = request(d, off, width);
    if (ioctl(g_fbsd.fbsd_handle, kPciocRead, &io) != 0)
        handle_error_func(1, __FILE__, __LINE__, "ioctl(PCIOCREAD, %s): %s", d->name, strerror(errno));
    return io.pi_data;
}

int cfg_write(pci_dev_t d, unsigned off, unsigned width, uint32_t v)
{
    uba::check_cfg_range(d, off, width);
    need_root(off);
    pci_io_old io = request(d, off, width);
    io.pi_data = v;
    uba_xxioctl(__FILE__, __LINE__, g_fbsd.fbsd_handle, kPciocWrite, &io);
    return 0;
}

using Access = uba::SizedAccess<cfg_read, cfg_write>;

void init(pci_access *) { g_fbsd.fbsd_handle = uba_xopen("/dev/pci", O_RDWR); }

void fini(pci_access *)
{
    if (g_fbsd.fbsd_handle >= 0) close(g_fbsd.fbsd_handle);
    g_fbsd.fbsd_handle = -1;
}

pci_dev_t init_dev(pci_dev_t d)
{
    if (d->domain != 0) return nullptr;
    pci_io_old io = request(d, 0, 4);
    if (ioctl(g_fbsd.fbsd_handle, kPciocRead, &io) != 0) {
        if (errno == ENODEV) return nullptr;
        handle_error_func(1, __FILE__, __LINE__, "pci-read-access(%s):errno=%s\n", d->name,
                          strerror(errno));
    }
    return uba::identify(d);
}

const uba_pci_ops kOps = {
    "fbsd", Access::readb, Access::readw, Access::readl, Access::writeb, Access::writew,
    Access::writel, init, fini,
    nullptr, nullptr, nullptr, nullptr, init_dev, nullptr,
};

__attribute__((constructor)) void register_fbsd()
{
    g_fbsd.acc.u.fbsd = &g_fbsd;
    g_fbsd.acc.ops = &kOps;
    g_fbsd.fbsd_handle = -1;
    uba_pci_register(UBA_PCI_FBSD, &g_fbsd.acc);
}

}  // namespace

extern "C" pci_access *const uba__method_fbsd = &g_fbsd.acc;

namespace uba {

// The mm method's base detection reads the host bridge through this method,
// initialised for the duration of each read.
int host_cfg_read(int bus, int dev, int func, unsigned offset, unsigned width, uint32_t *val)
{
    init(&g_fbsd.acc);
    pci_dev d;
    int rc = -1;
    if (uba_pci_dev_init(&g_fbsd.acc, &d, 0, bus, dev, func)) {
        *val = cfg_read(&d, offset, width);
        rc = 0;
    }
    fini(&g_fbsd.acc);
    return rc;
}

}  // namespace uba
#endif
