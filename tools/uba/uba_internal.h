// uba_internal.h - what the parts of the board access library share and the
// tools do not see.
#pragma once

#include <atomic>

#include "uba.h"

#define UBA_FATAL(...) handle_error_func(1, __FILE__, __LINE__, __VA_ARGS__)

namespace uba {

// Device accesses are framed by full fences so that they reach the device in
// program order with respect to every other access, mapped or not.
inline void fence() { std::atomic_thread_fence(std::memory_order_seq_cst); }

template <class T> inline T mmio_load(const volatile void *p)
{
    return *static_cast<const volatile T *>(p);
}
template <class T> inline void mmio_store(volatile void *p, T v)
{
    *static_cast<volatile T *>(p) = v;
}

// The six sized accessors of a method whose requests carry the width.
template <uint32_t (*Read)(pci_dev_t, unsigned, unsigned), int (*Write)(pci_dev_t, unsigned, unsigned, uint32_t)>
struct SizedAccess {
    static unsigned readb(pci_dev_t d, unsigned o) { return Read(d, o, 1) & 0xff; }
    static unsigned readw(pci_dev_t d, unsigned o) { return Read(d, o, 2) & 0xffff; }
    static unsigned readl(pci_dev_t d, unsigned o) { return Read(d, o, 4); }
    static int writeb(pci_dev_t d, unsigned o, uint8_t v) { return Write(d, o, 1, v); }
    static int writew(pci_dev_t d, unsigned o, uint16_t v) { return Write(d, o, 2, v); }
    static int writel(pci_dev_t d, unsigned o, uint32_t v) { return Write(d, o, 4, v); }
};

// Common identification at the end of every init_dev: ids, class, irq and
// BARs; null when nothing answers.
pci_dev_t identify(pci_dev_t d);

// Stops the program when an access of width bytes at offset leaves the
// 4096 bytes of a function's configuration space.
void check_cfg_range(pci_dev_t d, unsigned offset, unsigned width);

// Reads of the host bridge for the mm method's base detection, on systems
// without the fbsd method: 0 and the value, or -1 when nothing answers.
int host_cfg_read(int bus, int dev, int func, unsigned offset, unsigned width, uint32_t *val);

// Mappings the library made (BARs, the configuration window, files), so that
// an accessor on one can refuse to leave it.
void note_mapping(void *start, size_t len);
void forget_mapping(void *start);
// The mapping that holds p: true with its start and length.
bool mapping_of(const void *p, uint8_t **start, size_t *len);

// The NRAM_2Z side of the accessor operations (uba_jtag_bridge.cpp); a is
// the adapter address with the accessor's offset applied.
void l2z_read(nram_t *n, uint8_t *buf, uint32_t a, size_t size);
void l2z_write(nram_t *n, uint32_t a, const uint8_t *buf, size_t size);
void l2z_scan_read(nram_t *n, uint8_t *buf, unsigned bits, int chain);
void l2z_close(nram_t *n);

}  // namespace uba
