// uba_open.cpp - board classification, selection and open, BAR mapping, and
// the configuration accessors on a board handle.
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "uba_internal.h"

namespace {

constexpr uint32_t kKvSram = 0x200000;
constexpr size_t kBar0Len = 0x1000000; // 16 MiB
constexpr size_t kBar2Len = 0x100000;  // 1 MiB
constexpr size_t kBar2CfgWindow = 0x80000;
constexpr size_t kBar0CfgWindow = 0x800000;
constexpr size_t kPci64Eeprom = 0xA00000;
constexpr uint64_t kBarMask = ~uint64_t(0x1f);

bool g_ids_read = false;
uint32_t g_kv_vid = UBA_KV7_DEFAULT_VID;
uint32_t g_kv_did = UBA_KV7_DEFAULT_DID;

uint32_t env_hex(const char *name, uint32_t dflt)
{
    const char *v = getenv(name);
    return v && *v ? uint32_t(strtoul(v, nullptr, 16)) : dflt;
}

// BAR register `bar` as the device holds it now, both halves of a 64-bit BAR.
uint64_t bar_register(uba_nic *nic, int bar)
{
    uint64_t v = uba_pci_read_long(nic, 0x10 + 4 * bar);
    if ((v & 7) == 4 && bar < 5) v |= uint64_t(uba_pci_read_long(nic, 0x14 + 4 * bar)) << 32;
    return v & kBarMask;
}

uint32_t be32(const volatile uint8_t *p)
{
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

// Fills the capability table; false (after the message) on a broken list.
bool read_capabilities(uba_nic *nic)
{
    pci_dev_t d = nic->dev;
    unsigned at = 0;
    uba::CapWalk how = uba::walk_capabilities(
        [nic](unsigned off) { return unsigned(uba_pci_read_byte(nic, int(off))); },
        [nic](unsigned off) { return unsigned(uba_pci_read_word(nic, int(off))); },
        [nic, d](unsigned off) {
            unsigned id = uba_pci_read_byte(nic, int(off));
            if (nic->cfg_cap[id])
                fprintf(stderr,
                        "\nWarning: dev at %02x:%02x.%d duplicate capability %d found at %02x and %02x\n",
                        d->bus, d->dev, d->func, id, nic->cfg_cap[id], off);
            nic->cfg_cap[id] = uint8_t(off);
            return false;
        },
        &at);
    if (how == uba::CapWalk::end) return true;
    uba::report_capabilities(d, how, false);
    return false;
}

// Maps the current-generation board's BARs; false (after the message) when
// the device and the scan disagree.
bool open_kv(uba_nic *nic, int flags)
{
    pci_dev_t d = nic->dev;
    nic->sram_size = kKvSram;
    if (!(flags & UBA_BAR0_SKIP)) {
        if (!nic->phys) {
            fprintf(stderr, "NIC %04x:%04x (rev %d) at %s: BAR0 not initialized\n", d->vendor_id,
                    d->device_id, nic->rev, d->name);
            return false;
        }
        if (bar_register(nic, 0) != nic->phys) {
            fputs("Cfg-space BAR0 is inconsistent with OS view of it\n", stderr);
            return false;
        }
        nic->base = static_cast<uint8_t *>(uba_ioremap(nic, 0, kBar0Len));
    }
    if (!(flags & UBA_BAR2_SKIP)) {
        if (nic->phys2) {
            nic->bar2_size = uint32_t(kBar2Len);
            if (bar_register(nic, 2) != nic->phys2) {
                fputs("Cfg-space BAR2 is inconsistent with OS view of it\n", stderr);
                return false;
            }
            nic->base2 = static_cast<uint8_t *>(uba_ioremap(nic, 2, kBar2Len));
        } else {
            fprintf(stderr, "Warning NIC %04x:%04x (rev %d) at slot: %02x:%02x: BAR2 not initialized\n",
                    d->vendor_id, d->device_id, nic->rev, d->bus, d->dev);
        }
    }
    if ((flags & UBA_BAR_CFG) && nic->base2) nic->cfg = nic->base2 + kBar2CfgWindow;
    return true;
}

template <class T> T cfg_load(uba_nic *nic, int off)
{
    uba::check_cfg_range(nic->dev, unsigned(off), sizeof(T));
    uba::fence();
    T v;
    if (nic->cfg) {
        v = uba::mmio_load<T>(nic->cfg + off);
    } else if (sizeof(T) == 1) {
        v = T(pci_read_byte(nic->dev, unsigned(off)));
    } else if (sizeof(T) == 2) {
        v = T(pci_read_word(nic->dev, unsigned(off)));
    } else {
        v = T(pci_read_long(nic->dev, unsigned(off)));
    }
    uba::fence();
    return v;
}

template <class T> void cfg_store(uba_nic *nic, int off, T v)
{
    uba::check_cfg_range(nic->dev, unsigned(off), sizeof(T));
    uba::fence();
    if (nic->cfg) {
        uba::mmio_store<T>(nic->cfg + off, v);
    } else if (sizeof(T) == 1) {
        pci_write_byte(nic->dev, unsigned(off), uint8_t(v));
    } else if (sizeof(T) == 2) {
        pci_write_word(nic->dev, unsigned(off), uint16_t(v));
    } else {
        pci_write_long(nic->dev, unsigned(off), uint32_t(v));
    }
    uba::fence();
}

}  // namespace

extern "C" {

uba_nic_type_t uba_nic_type(pci_dev_t dev)
{
    if (!g_ids_read) {
        g_ids_read = true;
        g_kv_vid = env_hex("UBA_KV7_VID", UBA_KV7_DEFAULT_VID);
        g_kv_did = env_hex("UBA_KV7_DID", UBA_KV7_DEFAULT_DID);
    }
    if (dev->vendor_id != g_kv_vid && dev->vendor_id != UBA_FAMILY_OLD_VID) return uba_nic_type_t(0);
    if (dev->device_id == g_kv_did || dev->device_id == 0x0009) return UBA_KV;
    if (dev->device_id != 0x8043) return uba_nic_type_t(0);
    switch (pci_read_byte(dev, 8)) {
    case 1: return UBA_RUVO4;
    case 3: return UBA_PCI64;
    case 4:
    case 5:
    case 6: return UBA_RUVOX;
    case 7: return UBA_KV;
    default: return UBA_UNKNOWN;
    }
}

int uba_select(uba_criteria_type_t type, uba_criteria_t criterion, pci_dev_t **devs, int *count)
{
    pci_access *a = pci_alloc();
    pci_scan_bus(a);
    pci_filter f;
    uba_make_filter(type, type == PCI_SELECT_QUOR_GENERATION ? nullptr : criterion.str, &f);
    pci_dev_t *out = nullptr;
    int n = 0;
    for (pci_dev_t d = uba_pci.pci->devices; d; d = d->next) {
        bool take = type == PCI_SELECT_QUOR_GENERATION ? (uba_nic_type(d) & criterion.mask) != 0
                                                       : pci_filter_match(&f, d) != 0;
        if (!take) continue;
        out = static_cast<pci_dev_t *>(uba_xrealloc(out, size_t(n + 1) * sizeof *out));
        out[n++] = d;
    }
    *devs = out;
    *count = n;
    return 0;
}

int uba_num_dev(int mask)
{
    uba_criteria_t c;
    c.mask = mask;
    pci_dev_t *devs = nullptr;
    int n = 0;
    uba_select(PCI_SELECT_QUOR_GENERATION, c, &devs, &n);
    free(devs);
    return n;
}

uba_nic *uba_open_e(int unit, int mask, int flags)
{
    const char *mm = getenv("UBA_MMCONF");
    if (mm && !(flags & UBA_BAR0_SKIP) && !(flags & UBA_BAR2_SKIP)) flags |= UBA_BAR_CFG;

    uba_nic *nic = static_cast<uba_nic *>(calloc(1, sizeof *nic));
    if (!nic) {
        fprintf(stderr, "uba_open:FATAL ERROR:Cannot allocate %d bytes\n", int(sizeof *nic));
        return nullptr;
    }
    uba_criteria_t c;
    c.mask = mask;
    pci_dev_t *devs = nullptr;
    int n = 0;
    uba_select(PCI_SELECT_QUOR_GENERATION, c, &devs, &n);
    if (unit < 0 || unit >= n) {
        fprintf(stderr, "FATAL ERROR:trying to open Quornet board instance %d: NOT FOUND\n", unit);
        free(devs);
        free(nic);
        return nullptr;
    }
    pci_dev_t d = devs[unit];
    free(devs);
    nic->dev = d;
    nic->rev = int(pci_read_byte(d, 8));
    nic->type = uba_nic_type(d);
    nic->phys = d->base_addr[0] & kBarMask;
    nic->phys2 = d->base_addr[2] & kBarMask;

    auto refuse = [&]() -> uba_nic * {
        free(nic);
        return nullptr;
    };
    if (!nic->phys && !(flags & UBA_BAR0_SKIP) && !(flags & UBA_BAR2_SKIP)) {
        fprintf(stderr, "NIC %04x:%04x(rev %d) BAR not initialized\n", d->vendor_id, d->device_id,
                nic->rev);
        return refuse();
    }
    if (mask & UBA_UNKNOWN) return nic;

    switch (nic->type) {
    case UBA_KV:
        if (!open_kv(nic, flags)) return refuse();
        break;
    case UBA_RUVOX:
        if (!(flags & UBA_BAR0_SKIP)) {
            unsigned cmd = pci_read_word(d, 4);
            if (!(cmd & 2)) pci_write_word(d, 4, uint16_t(cmd | 2));
            nic->base = static_cast<uint8_t *>(uba_ioremap(nic, 0, kBar0Len));
            nic->sram_size = be32(nic->base + 0xfffe80) & 0x0ffffc00u;
        }
        break;
    case UBA_PCI64:
        if (!(flags & UBA_BAR0_SKIP)) {
            nic->base = static_cast<uint8_t *>(uba_ioremap(nic, 0, kBar0Len));
            nic->eeprom = reinterpret_cast<uba_old_eeprom *>(nic->base + kPci64Eeprom);
            nic->sram_size = kKvSram;
        }
        break;
    default:
        fprintf(stderr, "NIC %04x:%04x(rev %d) not yet supported\n", d->vendor_id, d->device_id, nic->rev);
        return refuse();
    }
    if ((nic->type == UBA_RUVOX || nic->type == UBA_PCI64) && (flags & UBA_BAR_CFG) && nic->base)
        nic->cfg = nic->base + kBar0CfgWindow;

    if (flags & UBA_BAR_CFG) {
        unsigned cmd = pci_read_word(d, 4);
        if (!(cmd & 2)) pci_write_word(d, 4, uint16_t(cmd | 2));
    }
    if (uba_pci_read_word(nic, 0) != d->vendor_id) {
        fputs("ERROR:uba_cfg_space_read:vendor-id: 0xffff\n", stderr);
        return refuse();
    }
    if (!read_capabilities(nic)) return refuse();
    return nic;
}

uba_nic *uba_open(int unit, int mask, int flags)
{
    uba_nic *nic = uba_open_e(unit, mask, flags);
    if (!nic) exit(1);
    return nic;
}

void *uba_ioremap(uba_nic *nic, int bar, size_t length)
{
    pci_dev_t d = nic->dev;
    handle_error_func(bar < 0 || bar > 5, __FILE__, __LINE__, "%s:Invalid bar %d\n", d->name, bar);
    pci_access *a = d->pci;
    if (bar == 0 && strcmp(uba_pci.pci->ops->name, "zalcfg") == 0) return zalcfg_mmap(d, 0, length);
    if (a->ops->mmap_bar) return a->ops->mmap_bar(d, bar, 0, length);
    uint64_t phys = d->base_addr[bar] & kBarMask;
    handle_error_func(phys == 0, __FILE__, __LINE__, "%s:Invalid bar %d\n", d->name, bar);
    return ioremap(phys, length);
}

uint8_t uba_pci_read_byte(uba_nic *nic, int off) { return cfg_load<uint8_t>(nic, off); }
uint16_t uba_pci_read_word(uba_nic *nic, int off) { return cfg_load<uint16_t>(nic, off); }
uint32_t uba_pci_read_long(uba_nic *nic, int off) { return cfg_load<uint32_t>(nic, off); }
void uba_pci_write_byte(uba_nic *nic, int off, uint8_t v) { cfg_store<uint8_t>(nic, off, v); }
void uba_pci_write_word(uba_nic *nic, int off, uint16_t v) { cfg_store<uint16_t>(nic, off, v); }
void uba_pci_write_long(uba_nic *nic, int off, uint32_t v) { cfg_store<uint32_t>(nic, off, v); }

}  // extern "C"
