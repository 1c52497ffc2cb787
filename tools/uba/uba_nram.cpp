// uba_nram.cpp - adapter memory accessors: mapped memory, the vendor
// capability window, the EEPROM behind it, and memory images in files; the
// fenced copy and fill for mapped adapter memory; EEPROM read and programming.
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include "quor_nfw.h"
#include "uba_internal.h"

namespace {

constexpr size_t kPiece = 256;            // window fills go in pieces this long
constexpr int kEepromRetries = 10;
constexpr uint32_t kScanEnd636 = QUOR_NFW_SCAN0_END_636; // chain images end at these addresses
constexpr uint32_t kScanEnd896 = QUOR_NFW_SCAN0_END_896;
constexpr uint32_t kScanEndWrite = QUOR_NFW_SCAN2_END;

[[noreturn]] void not_implemented(const char *what, nram_t *n)
{
    UBA_FATAL("%s(type=%d) not implemented\n", what, int(n->type));
}

// Where an access of size bytes at adapter address a lands in mapped memory;
// an access that would leave a mapping the library made is refused.
volatile uint8_t *pio_at(nram_t *n, size_t a, size_t size)
{
    uint8_t *start;
    size_t len;
    if (uba::mapping_of(n->base, &start, &len)) {
        size_t from = size_t(n->base - start);
        handle_error_func(a > len - from || size > len - from - a, __FILE__, __LINE__,
                          "adapter memory access of %zu bytes at 0x%zx is outside the mapping (%zu bytes)",
                          size, a, len - from);
    }
    return n->base + a;
}

uint32_t bswap32(uint32_t v) { return __builtin_bswap32(v); }

void vs_mode(uba_nic *nic, int vs, int mode) { uba_pci_write_byte(nic, vs + UBA_VS_MODE, uint8_t(mode)); }
void vs_addr(uba_nic *nic, int vs, uint32_t a) { uba_pci_write_long(nic, vs + UBA_VS_ADDR, a); }

void window_read(nram_t *n, uint8_t *buf, uint32_t a, size_t size)
{
    uba_nic *nic = n->nic;
    int vs = uba_vs_offset(nic);
    if (size == 2) {
        vs_mode(nic, vs, UBA_VS_MODE_READ16);
        vs_addr(nic, vs, a);
        uint16_t v = uba_pci_read_word(nic, vs + UBA_VS_DATA);
        buf[0] = uint8_t(v >> 8);
        buf[1] = uint8_t(v);
    } else if (size == 4) {
        vs_mode(nic, vs, UBA_VS_MODE_READ32);
        vs_addr(nic, vs, a);
        uint32_t v = bswap32(uba_pci_read_long(nic, vs + UBA_VS_DATA));
        memcpy(buf, &v, 4);
    } else {
        vs_mode(nic, vs, UBA_VS_MODE_READ8);
        for (size_t i = 0; i < size; ++i) {
            vs_addr(nic, vs, a + uint32_t(i));
            buf[i] = uba_pci_read_byte(nic, vs + UBA_VS_DATA);
        }
    }
}

void window_write(nram_t *n, uint32_t a, const uint8_t *buf, size_t size)
{
    uba_nic *nic = n->nic;
    int vs = uba_vs_offset(nic);
    if (size == 2) {
        vs_mode(nic, vs, UBA_VS_MODE_WRITE16);
        vs_addr(nic, vs, a);
        uba_pci_write_word(nic, vs + UBA_VS_DATA, uint16_t(buf[0] << 8 | buf[1]));
    } else if (size == 4) {
        vs_mode(nic, vs, UBA_VS_MODE_WRITE32);
        vs_addr(nic, vs, a);
        uint32_t v;
        memcpy(&v, buf, 4);
        uba_pci_write_long(nic, vs + UBA_VS_DATA, bswap32(v));
    } else {
        vs_mode(nic, vs, UBA_VS_MODE_WRITE8);
        for (size_t i = 0; i < size; ++i) {
            vs_addr(nic, vs, a + uint32_t(i));
            uba_pci_write_byte(nic, vs + UBA_VS_DATA, buf[i]);
        }
    }
}

// End address of the chain image a scan read takes; fatal for what no
// board has.
uint32_t scan_read_end(unsigned bits, int chain)
{
    if (chain == 0) {
        if (bits == UBA_SCAN_KV7A_READ_BITS) return kScanEnd636;
        if (bits == UBA_SCAN_KV7B_READ_BITS) return kScanEnd896;
        UBA_FATAL("scan-read bits=%d\n", int(bits));
    }
    if (chain == 2) {
        if (bits == UBA_SCAN_KV7A_WRITE_BITS || bits == UBA_SCAN_KV7B_WRITE_BITS) return kScanEndWrite;
        UBA_FATAL("scan-read chain 2: %d bits is not a chain length\n", int(bits));
    }
    UBA_FATAL("Scan-chain %d not implemented\n", chain);
}

bool scan_method(nram_t *n) { return n->type == NRAM_FILE || n->type == NRAM_PIO || n->type == NRAM_CFG_PIO; }

}  // namespace

extern "C" {

int uba_vs_offset(uba_nic *nic)
{
    int vs = nic->cfg_cap[UBA_VS_CAP_ID];
    handle_error_func(vs <= 0 || vs >= UBA_VS_MAX, __FILE__, __LINE__,
                      "Cannot handle card with vendor cap=0x%x\n", unsigned(vs));
    return vs;
}

void uba_nfw_header(nram_t *n, nfw_gen_header *h)
{
    uint8_t w[4];
    nram_memcpy_read(n, w, QUOR_NFW_HDR_PTR, sizeof w);
    const uint32_t at = quor_nfw_be32(w);
    if (!quor_nfw_addr_ok(at)) fatal_error_func("Cannot find nfw-hdr, hdr_off=0x%x\n", at);
    nram_memcpy_read(n, h, at, sizeof *h);
}

void nram_open_pio(nram_t *n, void *addr)
{
    memset(n, 0, sizeof *n);
    n->type = NRAM_PIO;
    n->base = static_cast<uint8_t *>(addr);
}

void nram_open_cfg_pio(nram_t *n, uba_nic *nic)
{
    memset(n, 0, sizeof *n);
    uba_vs_offset(nic);
    n->type = NRAM_CFG_PIO;
    n->nic = nic;
}

void nram_open_eeprom(nram_t *n, uba_nic *nic)
{
    memset(n, 0, sizeof *n);
    n->type = NRAM_EEPROM;
    n->nic = nic;
}

void nram_open_file(nram_t *n, const char *path, int writable)
{
    memset(n, 0, sizeof *n);
    n->type = NRAM_FILE;
    n->fd = uba_xopen(path, writable ? O_RDWR : O_RDONLY);
}

void nram_open_mmap(nram_t *n, const char *path, int writable)
{
    memset(n, 0, sizeof *n);
    int fd = uba_xopen(path, writable ? O_RDWR : O_RDONLY);
    struct stat st;
    handle_error_func(fstat(fd, &st) != 0, __FILE__, __LINE__, "fstat(%s):%s", path, strerror(errno));
    size_t len = size_t(st.st_size);
    void *p = len ? mmap(nullptr, len, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0)
                  : MAP_FAILED;
    handle_error_func(p == MAP_FAILED, __FILE__, __LINE__, "mmap(%s,%zu):%s", path, len,
                      len ? strerror(errno) : "empty file");
    close(fd);
    uba::note_mapping(p, len);
    n->type = NRAM_PIO;
    n->base = static_cast<uint8_t *>(p);
}

void nram_open_rabbit(nram_t *n, const char *)
{
    memset(n, 0, sizeof *n);
    n->type = NRAM_RABBIT;
    fputs("UBA tools configured without rabbit support\n", stderr);
    exit(1);
}

void nram_memcpy_read(nram_t *n, void *buf, size_t addr, size_t size)
{
    uint8_t *b = static_cast<uint8_t *>(buf);
    switch (n->type) {
    case NRAM_PIO: {
        size_t a = addr + n->offset;
        volatile uint8_t *p = pio_at(n, a, size);
        uba::fence();
        size_t i = 0;
        while (i < size) {
            uintptr_t at = uintptr_t(p + i);
            size_t left = size - i;
            if (!(at & 1) && left >= 2) {
                if (!(at & 3) && left >= 4) {
                    uint32_t v = uba::mmio_load<uint32_t>(p + i);
                    memcpy(b + i, &v, 4);
                    i += 4;
                } else {
                    uint16_t v = uba::mmio_load<uint16_t>(p + i);
                    memcpy(b + i, &v, 2);
                    i += 2;
                }
            } else {
                b[i] = p[i];
                i += 1;
            }
        }
        uba::fence();
        break;
    }
    case NRAM_CFG_PIO:
        window_read(n, b, uint32_t(addr + n->offset), size);
        break;
    case NRAM_EEPROM:
        handle_error_func(uba_eeprom_read(n->nic, unsigned(addr + n->offset), b, unsigned(size)) != 0,
                          __FILE__, __LINE__, "quor_pci_eeprom_read");
        break;
    case NRAM_FILE:
        uba_xxfullpread(__FILE__, __LINE__, n->fd, b, size, off_t(addr + n->offset));
        break;
    case NRAM_2Z:
        uba::l2z_read(n, b, uint32_t(addr + n->offset), size);
        break;
    default:
        not_implemented("nram_memcpy_read", n);
    }
}

void nram_memcpy_write(nram_t *n, size_t addr, const void *buf, size_t size)
{
    const uint8_t *b = static_cast<const uint8_t *>(buf);
    switch (n->type) {
    case NRAM_PIO: {
        size_t a = addr + n->offset;
        volatile uint8_t *p = pio_at(n, a, size);
        uba::fence();
        if (size == 1) {
            *p = b[0];
        } else if (size == 2) {
            uint16_t v;
            memcpy(&v, b, 2);
            uba::mmio_store<uint16_t>(p, v);
        } else if (size == 4) {
            uint32_t v;
            memcpy(&v, b, 4);
            uba::mmio_store<uint32_t>(p, v);
        } else {
            kv_hw_memcpy(const_cast<uint8_t *>(p), b, int(size));
        }
        uba::fence();
        break;
    }
    case NRAM_CFG_PIO:
        window_write(n, uint32_t(addr + n->offset), b, size);
        break;
    case NRAM_EEPROM:
        handle_error_func(uba_pci_eeprom_write_ex(n->nic, unsigned(addr + n->offset), b, unsigned(size),
                                                  n->nic->cfg_cap[UBA_VS_CAP_ID]) != 0,
                          __FILE__, __LINE__, "quor_pci_eeprom_write failed");
        break;
    case NRAM_FILE:
        uba_xxpwrite(__FILE__, __LINE__, n->fd, b, size, off_t(addr + n->offset));
        break;
    case NRAM_2Z:
        uba::l2z_write(n, uint32_t(addr + n->offset), b, size);
        break;
    default:
        not_implemented("nram_memcpy_write", n);
    }
}

void nram_memset(nram_t *n, size_t addr, int byte, size_t size)
{
    const uint8_t c = uint8_t(byte);
    const uint32_t pattern = c * 0x01010101u;
    if (n->type == NRAM_PIO) {
        volatile uint8_t *p = pio_at(n, addr + n->offset, size);
        uba::fence();
        if (size == 1)
            *p = c;
        else if (size == 2)
            uba::mmio_store<uint16_t>(p, uint16_t(pattern));
        else if (size == 4)
            uba::mmio_store<uint32_t>(p, pattern);
        else
            kv_hw_memset(const_cast<uint8_t *>(p), c, int(size));
        uba::fence();
        return;
    }
    uint8_t piece[kPiece];
    memset(piece, c, sizeof piece);
    for (size_t done = 0; done < size;) {
        size_t k = size - done < kPiece ? size - done : kPiece;
        nram_memcpy_write(n, addr + done, piece, k);
        done += k;
    }
}

uint32_t nram_pio_read_32(nram_t *n, size_t off)
{
    uint32_t v;
    nram_memcpy_read(n, &v, off, 4);
    return v;
}

uint8_t nram_pio_read_8(nram_t *n, size_t off)
{
    uint8_t v;
    nram_memcpy_read(n, &v, off, 1);
    return v;
}

void nram_pio_write_8(nram_t *n, size_t off, uint8_t v) { nram_memcpy_write(n, off, &v, 1); }

void nram_scan_read(nram_t *n, void *buf, unsigned bits, int chain)
{
    if (n->type == NRAM_2Z) {
        uba::l2z_scan_read(n, static_cast<uint8_t *>(buf), bits, chain);
        return;
    }
    if (!scan_method(n)) not_implemented("scan_read", n);
    const size_t len = (size_t(bits) + 7) / 8;
    const uint32_t end = scan_read_end(bits, chain);
    uint8_t *tmp = static_cast<uint8_t *>(uba_xmalloc(len));
    nram_memcpy_read(n, tmp, end - len, len);
    uint8_t *out = static_cast<uint8_t *>(buf);
    for (size_t i = 0; i < len; ++i) out[i] = tmp[len - 1 - i];
    free(tmp);
}

void nram_scan_write(nram_t *n, const void *src, unsigned bits)
{
    if (!scan_method(n)) not_implemented("scan_write", n);
    const size_t len = (size_t(bits) + 7) / 8;
    handle_error_func(len != 53 && len != 73, __FILE__, __LINE__,
                      "scan_write bits=%u: a chain image is 53 or 73 bytes\n", bits);
    uint8_t tmp[73];
    const uint8_t *s = static_cast<const uint8_t *>(src);
    for (size_t i = 0; i < len; ++i) tmp[i] = s[len - 1 - i];
    nram_memcpy_write(n, kScanEndWrite - len, tmp, len);
    if (n->type == NRAM_CFG_PIO) {
        // Rewriting the command word tells the board the image is in place.
        pci_dev_t d = n->nic->dev;
        pci_write_word(d, 4, uint16_t(pci_read_word(d, 4)));
    }
}

void nram_close(nram_t *n)
{
    // Only a bridge connection has something to end.
    if (n->type == NRAM_2Z) uba::l2z_close(n);
}

void kv_hw_memcpy(void *to, const void *from, int size)
{
    if (size <= 0) return;
    volatile uint8_t *d = static_cast<volatile uint8_t *>(to);
    const uint8_t *s = static_cast<const uint8_t *>(from);
    size_t n = size_t(size);
    if (((uintptr_t(d) | uintptr_t(s) | n) & 3) == 0) {
        for (size_t i = 0; i < n; i += 4) {
            uint32_t v;
            memcpy(&v, s + i, 4);
            uba::mmio_store<uint32_t>(d + i, v);
            if (((uintptr_t(d) + i + 4) & 31) == 0) uba::fence();
        }
        return;
    }
    size_t i = 0;
    auto store = [&](size_t w) {
        if (w == 1) {
            d[i] = s[i];
        } else if (w == 2) {
            uint16_t v;
            memcpy(&v, s + i, 2);
            uba::mmio_store<uint16_t>(d + i, v);
        } else {
            uint32_t v;
            memcpy(&v, s + i, 4);
            uba::mmio_store<uint32_t>(d + i, v);
        }
        uba::fence();
        i += w;
    };
    if ((uintptr_t(d) & 1) && i < n) store(1);
    if ((uintptr_t(d + i) & 2) && n - i >= 2) store(2);
    while (n - i >= 4) store(4);
    if (n - i >= 2) store(2);
    if (n - i == 1) store(1);
}

void kv_hw_memset(void *to, unsigned c, int size)
{
    if (size <= 0) return;
    volatile uint8_t *d = static_cast<volatile uint8_t *>(to);
    size_t n = size_t(size);
    if (((uintptr_t(d) | n) & 3) == 0) {
        const uint32_t v = (c & 0xff) * 0x01010101u;
        for (size_t i = 0; i < n; i += 4) {
            uba::mmio_store<uint32_t>(d + i, v);
            if (((uintptr_t(d) + i + 4) & 31) == 0) uba::fence();
        }
        return;
    }
    for (size_t i = 0; i < n; ++i) d[i] = uint8_t(c);
}

int uba_eeprom_read(uba_nic *nic, unsigned addr, void *buf, unsigned len)
{
    int vs = nic->cfg_cap[UBA_VS_CAP_ID];
    if (vs <= 0 || vs >= UBA_VS_MAX) return -1;
    uint8_t *b = static_cast<uint8_t *>(buf);
    // The data register answers for the address latched before the last
    // one: each byte is read one address write late.
    uba_pci_write_long(nic, vs + UBA_VS_EEPROM_RADDR, addr << 8);
    for (unsigned i = 0; i < len; ++i) {
        uba_pci_write_long(nic, vs + UBA_VS_EEPROM_RADDR, (addr + i + 1) << 8);
        b[i] = uba_pci_read_byte(nic, vs + UBA_VS_EEPROM_RDATA);
    }
    return 0;
}

int uba_pci_eeprom_write_ex(uba_nic *nic, unsigned addr, const void *buf, unsigned len, int vs)
{
    handle_error_func(vs <= 0 || vs >= UBA_VS_MAX, __FILE__, __LINE__,
                      "Cannot handle card with vendor cap=0x%x\n", unsigned(vs));
    const uint8_t *b = static_cast<const uint8_t *>(buf);
    if (uba_pci_read_byte(nic, vs + UBA_VS_VERSION) != 0) {
        // Block write: the read-backs pace the writes.
        vs_mode(nic, vs, UBA_VS_MODE_EEPROM_BLOCK);
        vs_addr(nic, vs, addr);
        unsigned i = 0;
        for (; i + 4 <= len; i += 4) {
            uint32_t v = uint32_t(b[i]) | uint32_t(b[i + 1]) << 8 | uint32_t(b[i + 2]) << 16 |
                         uint32_t(b[i + 3]) << 24;
            uba_pci_write_long(nic, vs + UBA_VS_DATA, v);
            uba_pci_read_long(nic, vs + UBA_VS_DATA);
        }
        for (; i < len; ++i) {
            uba_pci_write_byte(nic, vs + UBA_VS_DATA, b[i]);
            uba_pci_read_long(nic, vs + UBA_VS_DATA);
        }
        vs_addr(nic, vs, 0xffffffffu);
        uba_pci_read_long(nic, vs + UBA_VS_ADDR);
        return 0;
    }
    for (unsigned i = 0; i < len; ++i) {
        const unsigned at = addr + i;
        if (b[i] == 0xff) {
            // An erased byte needs no programming, but only if the EEPROM
            // really holds 0xff there: otherwise the old byte would stay.
            uint8_t cur = 0;
            uba_eeprom_read(nic, at, &cur, 1);
            if (cur == 0xff) continue;
        }
        uba_pci_write_long(nic, vs + UBA_VS_EEPROM_WRITE, (at << 8) + b[i]);
        uint8_t r = uba_pci_read_byte(nic, vs + UBA_VS_EEPROM_RDATA);
        int retries = 0;
        while (r != b[i]) {
            ++retries;
            handle_error_func(retries >= kEepromRetries, __FILE__, __LINE__,
                              "Cannot program at offset 0x%x=0x%x, reread=0x%x, retries=%d\n", at, b[i], r,
                              retries);
            uba_pci_write_long(nic, vs + UBA_VS_EEPROM_RADDR, at << 8);
            r = uba_pci_read_byte(nic, vs + UBA_VS_EEPROM_RDATA);
        }
    }
    return 0;
}

}  // extern "C"
