// uba_internal.h - what the parts of the board access library share and the
// tools do not see.
#pragma once

#include <atomic>

#include "uba.h"

#define UBA_FATAL(...) uba::fatal_at(__FILE__, __LINE__, __VA_ARGS__)

namespace uba {

// handle_error_func with an error: "ERROR:file:line:" and the message, then
// exit status 1.
[[noreturn]] void fatal_at(const char *file, int line, const char *format, ...) UBA_PRINTF(3, 4);

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

// How a walk of a function's standard capability list ended.
enum class CapWalk {
    end,         // the list ended (or there is none)
    found,       // visit accepted the capability at *at
    bad_pointer, // a pointer of 0xff
    cycle        // a pointer back to a capability already seen
};

// The one walk of the standard capability list: byte(offset) and word(offset)
// read configuration space (through whichever accessor the caller has), and
// visit(offset) is called on every capability in turn until it returns true.
// A list that points back would be walked for ever: the walk stops there.
template <class Byte, class Word, class Visit>
CapWalk walk_capabilities(Byte byte, Word word, Visit visit, unsigned *at)
{
    if (!(word(6) & 0x10)) return CapWalk::end;
    bool seen[256] = {};
    unsigned ptr = byte(0x34);
    while (ptr) {
        if (ptr == 0xff) return CapWalk::bad_pointer;
        ptr &= 0xfc;
        if (seen[ptr]) return CapWalk::cycle;
        seen[ptr] = true;
        if (visit(ptr)) {
            *at = ptr;
            return CapWalk::found;
        }
        ptr = byte(ptr + 1);
    }
    return CapWalk::end;
}

// Says how a broken capability list of d ended (bad_pointer or cycle), on
// standard error; with fatal the program ends there.
void report_capabilities(pci_dev_t d, CapWalk how, bool fatal);

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
