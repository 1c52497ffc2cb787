// uba_pci_zalcfg.cpp - configuration access through the capture driver.
//
// The driver forwards configuration reads and writes of its boards.  Here a
// device's bus is the device letter index (0 to 25) and its slot the board
// index; every board is a single function.
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>

#include "quor_io.h"
#include "uba_internal.h"
#include "zal_internal.h"

namespace {

// Beyond the standard header the driver answers nothing.
constexpr unsigned kStdSpace = 256;

uba_pci_zalcfg g_zalcfg;

uint32_t cfg_read(pci_dev_t d, unsigned off, unsigned width)
{
    uba::check_cfg_range(d, off, width);
    if (off >= kStdSpace) return 0;
    quor_pci_cfg_t r = {};
    r.board = d->dev;
    r.offset = uint16_t(off);
    r.width = uint16_t(width);
    int rc = zal_ioctl(g_zalcfg.fd[d->bus], int(QUOR_PCI_CFG_READ), &r, sizeof r);
    handle_error_func(rc != 0, __FILE__, __LINE__, "QUOR_PCI_CFG_READ ioctl failed");
    return r.value;
}

int cfg_write(pci_dev_t d, unsigned off, unsigned width, uint32_t value)
{
    uba::check_cfg_range(d, off, width);
    quor_pci_cfg_t r = {};
    r.board = d->dev;
    r.offset = uint16_t(off);
    r.width = uint16_t(width);
    r.value = value;
    int rc = zal_ioctl(g_zalcfg.fd[d->bus], int(QUOR_PCI_CFG_WRITE), &r, sizeof r);
    handle_error_func(rc != 0, __FILE__, __LINE__, "QUOR_PCI_CFG_WRITE ioctl failed");
    return 0;
}

using Access = uba::SizedAccess<cfg_read, cfg_write>;

bool g_probed = false;

int probe(pci_access *)
{
    g_probed = true;
    bool any = false;
    for (int i = 0; i < UBA_ZALCFG_LETTERS; ++i) {
        g_zalcfg.nbcard[i] = 0;
        if (g_zalcfg.fd[i] < 0) {
            zal_handle_t h = -1;
            if (zal_open_any_board(&h, uint8_t(i)) != 0) continue;
            g_zalcfg.fd[i] = h;
        }
        uint32_t n = 0;
        if (zal_ioctl(g_zalcfg.fd[i], int(QUOR_GET_BOARD_COUNT), &n, sizeof n) == 0)
            g_zalcfg.nbcard[i] = n;
        if (g_zalcfg.nbcard[i]) any = true;
    }
    return any ? 0 : -1;
}

// A method forced by the application was never probed: without the probe
// no board count is known and the scan would find nothing.
void init(pci_access *a)
{
    if (!g_probed) probe(a);
}
void fini(pci_access *) {}

pci_dev_t init_dev(pci_dev_t d)
{
    if (d->domain != 0 || d->func != 0 || d->bus >= UBA_ZALCFG_LETTERS) return nullptr;
    if (d->dev >= g_zalcfg.nbcard[d->bus] || g_zalcfg.fd[d->bus] < 0) return nullptr;
    return uba::identify(d);
}

const uba_pci_ops kOps = {
    "zalcfg", Access::readb, Access::readw, Access::readl, Access::writeb, Access::writew,
    Access::writel, init, fini,
    nullptr,  // mmap_bar: BAR0 goes through zalcfg_mmap
    nullptr,  // has_bus
    nullptr,  // can_access_ext_conf
    probe, init_dev,
    nullptr,  // close_dev
};

__attribute__((constructor)) void register_zalcfg()
{
    g_zalcfg.acc.u.zalcfg = &g_zalcfg;
    g_zalcfg.acc.ops = &kOps;
    for (int i = 0; i < UBA_ZALCFG_LETTERS; ++i) g_zalcfg.fd[i] = -1;
    uba_pci_register(UBA_PCI_ZALCFG, &g_zalcfg.acc);
}

}  // namespace

extern "C" pci_access *const uba__method_zalcfg = &g_zalcfg.acc;

extern "C" {

void *zalcfg_mmap(pci_dev_t dev, uint64_t offset, size_t length)
{
    // The handle stays open for the life of the process: the mapping is
    // the driver's for as long as the endpoint is bound.
    zal_handle_t h = -1;
    int rc = zal_open(dev->dev, -2, &h, dev->bus);
    handle_error_func(rc != 0, __FILE__, __LINE__, "Cannot open raw board");
    rc = zal_ioctl(h, int(QUOR_SET_RAW_ENDPOINT), nullptr, 0);
    handle_error_func(rc != 0, __FILE__, __LINE__, "Cannot set raw endpt");
    void *p = zal_mmap(nullptr, length, h, QUOR_RAW_BAR0_MAP_OFFSET + uintptr_t(offset), 0);
    handle_error_func(!p || p == MAP_FAILED, __FILE__, __LINE__, "zal_mmap");
    uba::note_mapping(p, length);
    return p;
}

}  // extern "C"
