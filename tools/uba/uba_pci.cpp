// uba_pci.cpp - configuration access front end: the method table and its
// choice, the bus scan with its bridge tree, capability walks, filters, and
// physical memory mappings.  The methods themselves live in uba_pci_<name>.cpp.
#include <ctype.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include "uba_internal.h"

extern "C" {
pci_access *pci_methods[UBA_PCI_METHODS];
struct uba_pci_state uba_pci;
int uba_verbose;

// Each method registers itself from a constructor in its own file.  A static
// link takes only the object files something refers to, so this table
// refers to every method compiled in.
extern pci_access *const uba__method_zalcfg;
extern pci_access *const uba__method_mm;
#ifdef __FreeBSD__
extern pci_access *const uba__method_fbsd;
#endif
extern pci_access *const *const uba__methods_linked[];
pci_access *const *const uba__methods_linked[] = {
    &uba__method_zalcfg,
    &uba__method_mm,
#ifdef __FreeBSD__
    &uba__method_fbsd,
#endif
};
}

namespace {

bool g_inited = false;
const char *g_user_method = nullptr;

constexpr unsigned kCfgSpace = 4096;
constexpr int kBusses = 256;

pci_access *chosen()
{
    uba_choose_method();
    return uba_pci.pci;
}

const uba_pci_ops &ops_of(pci_dev_t d) { return *d->pci->ops; }

// Bridge whose secondary bus is `bus` in the domain, if any.
pci_dev_t *bridge_slot(int domain, int bus)
{
    if (!uba_pci.bridges || !uba_pci.bridges[domain]) return nullptr;
    return &uba_pci.bridges[domain][bus];
}

void add_device(pci_access *a, pci_dev_t d)
{
    d->is_bridge = (pci_read_byte(d, 0x0e) & 0x7f) == 1;
    if (!uba_pci.bridges[d->domain])
        uba_pci.bridges[d->domain] = static_cast<pci_dev_t *>(calloc(kBusses, sizeof(pci_dev_t)));
    handle_error_func(!uba_pci.bridges[d->domain], __FILE__, __LINE__, "out of memory");
    // The parent is looked up before the device enters the table itself, so
    // that a bridge claiming its own bus never becomes its own parent.
    pci_dev_t parent = *bridge_slot(d->domain, d->bus);
    if (d->is_bridge) {
        d->secondary_bus = uint8_t(pci_read_byte(d, 0x19));
        pci_dev_t *slot = bridge_slot(d->domain, d->secondary_bus);
        handle_error_func(*slot != nullptr, __FILE__, __LINE__, "Two bridges claim bus number %d\n",
                          d->secondary_bus);
        *slot = d;
        d->child_nb = 0;
    }
    d->parent = parent;
    if (parent && parent->child_nb < UBA_PCI_MAX_CHILD) parent->child[parent->child_nb++] = d;
    d->next = nullptr;
    *a->dev_tail = d;
    a->dev_tail = &d->next;
}

// The capability lookups by id and by HyperTransport type: the offset of the
// capability match accepts, or 0; a broken list ends the program.
template <class F> unsigned find_cap(pci_dev_t d, F match)
{
    unsigned at = 0;
    uba::CapWalk how = uba::walk_capabilities([d](unsigned off) { return pci_read_byte(d, off); },
                                              [d](unsigned off) { return pci_read_word(d, off); }, match, &at);
    if (how == uba::CapWalk::found) return at;
    if (how != uba::CapWalk::end) uba::report_capabilities(d, how, true);
    return 0;
}

// One field of a filter: a hexadecimal number if there are digits, then
// one separator character skipped.
const char *filter_field(const char *p, int *out)
{
    if (!p) return p;
    char *end = nullptr;
    long v = strtol(p, &end, 16);
    if (end != p) {
        *out = int(v);
        p = end;
    }
    if (*p) ++p;
    return p;
}

struct Mapping {
    uint8_t *start;
    size_t len;
};
Mapping g_maps[64];

}  // namespace

namespace uba {

void note_mapping(void *start, size_t len)
{
    for (Mapping &m : g_maps)
        if (!m.start) {
            m = {static_cast<uint8_t *>(start), len};
            return;
        }
    // A full table only means that accesses through this mapping go
    // unchecked; the user is told, once.
    static bool told = false;
    if (!told)
        fprintf(stderr, "Warning: more than %zu mappings at once: accesses through the later ones are not "
                        "checked against their bounds\n",
                sizeof g_maps / sizeof g_maps[0]);
    told = true;
}

void forget_mapping(void *start)
{
    for (Mapping &m : g_maps)
        if (m.start == start) m = {};
}

bool mapping_of(const void *p, uint8_t **start, size_t *len)
{
    const uint8_t *b = static_cast<const uint8_t *>(p);
    for (const Mapping &m : g_maps)
        if (m.start && b >= m.start && b < m.start + m.len) {
            *start = m.start;
            *len = m.len;
            return true;
        }
    return false;
}

pci_dev_t identify(pci_dev_t d)
{
    d->vendor_id = uint16_t(pci_read_word(d, 0));
    d->device_id = uint16_t(pci_read_word(d, 2));
    d->device_class = uint16_t(pci_read_word(d, 10));
    d->irq = uint8_t(pci_read_byte(d, 60));
    if (d->vendor_id == 0 || d->vendor_id == 0xffff) return nullptr;
    for (int i = 0; i < 6; ++i) {
        d->size[i] = 0;
        uint32_t v = pci_read_long(d, 16 + 4 * unsigned(i));
        d->base_addr[i] = v;
        if ((v & 7) == 4 && i < 5) {
            d->base_addr[i] |= uint64_t(pci_read_long(d, 20 + 4 * unsigned(i))) << 32;
            ++i;
        }
    }
    return d;
}

void report_capabilities(pci_dev_t d, CapWalk how, bool fatal)
{
    if (how == CapWalk::bad_pointer) {
        fputs("ERROR:uba_cfg_space_capability: cap_ptr =0xff\n", stderr);
        if (fatal) exit(1);
    } else if (how == CapWalk::cycle) {
        if (fatal)
            UBA_FATAL("Capability cycle found in dev at %02x:%02x.%d\n", d->bus, d->dev, d->func);
        fprintf(stderr, "Capability cycle found in dev at %02x:%02x.%d\n", d->bus, d->dev, d->func);
    }
}

void check_cfg_range(pci_dev_t d, unsigned offset, unsigned width)
{
    // Past the 4 KiB of a function a method would reach another register
    // (the driver request's 16-bit offset) or another device's window.
    if (offset < kCfgSpace && width <= kCfgSpace - offset) return;
    UBA_FATAL("%s: configuration access of %u bytes at 0x%x is outside the configuration space",
              d->name, width, offset);
}

}  // namespace uba

extern "C" {

void uba_pci_init(void)
{
    if (g_inited) return;
    g_inited = true;
    const char *v = getenv("UBA_VERBOSE");
    uba_verbose = v && *v;
    const char *m = getenv("UBA_PCI");
    g_user_method = m && *m ? m : nullptr;
}

void uba_pci_register(int method, pci_access *access)
{
    if (method < 0 || method >= UBA_PCI_METHODS) return;
    access->method = method;
    pci_methods[method] = access;
}

void uba_choose_method(void)
{
    uba_pci_init();
    if (uba_pci.pci) return;
    pci_access *pick = nullptr;
    for (int i = UBA_PCI_METHODS - 1; i >= 0 && !pick; --i) {
        pci_access *a = pci_methods[i];
        if (!a) continue;
        if (g_user_method && strcmp(a->ops->name, g_user_method) != 0) {
            if (uba_verbose) fprintf(stderr, "uba: Ignoring method: %s\n", a->ops->name);
            continue;
        }
        if (a->ops->probe && a->ops->probe(a) < 0) {
            if (uba_verbose) fprintf(stderr, "uba: Ignoring %s, probe failed\n", a->ops->name);
            continue;
        }
        pick = a;
    }
    handle_error_func(!pick, __FILE__, __LINE__, "UBA: No PCI access method available");
    if (uba_verbose) fprintf(stderr, "uba: Choosing: %s\n", pick->ops->name);
    uba_pci.pci = pick;
}

void uba_pci_method(unsigned m)
{
    uba_pci_init();
    handle_error_func(m >= UBA_PCI_METHODS || !pci_methods[m], __FILE__, __LINE__,
                      "Application request invalid uba pci method %d\n", int(m));
    uba_pci_rescan();
    uba_pci.pci = pci_methods[m];
}

pci_access *pci_alloc(void) { return chosen(); }

void pci_scan_bus(pci_access *)
{
    pci_access *a = chosen();
    if (a->devices) return;
    a->max_domains = 1;
    if (a->ops->init) a->ops->init(a);
    if (!uba_pci.bridges) {
        uba_pci.bridges = static_cast<pci_dev_t **>(calloc(size_t(a->max_domains), sizeof(pci_dev_t *)));
        handle_error_func(!uba_pci.bridges, __FILE__, __LINE__, "out of memory");
    }
    a->devices = nullptr;
    a->dev_tail = &a->devices;
    const bool has_bus = a->ops->has_bus != nullptr;
    for (int dom = 0; dom < a->max_domains; ++dom) {
        for (int bus = 0; bus < kBusses; ++bus) {
            if (has_bus && !a->ops->has_bus(a, dom, bus)) continue;
            for (int slot = 0; slot < 32; ++slot) {
                bool stop_bus = false;
                for (int fn = 0; fn < 8; ++fn) {
                    pci_dev_t d = static_cast<pci_dev_t>(uba_xmalloc(sizeof *d));
                    if (!uba_pci_dev_init(a, d, dom, bus, slot, fn)) {
                        free(d);
                        // Without a way to know which busses exist, an empty
                        // function 0 means an empty slot.
                        if (!has_bus && fn == 0) break;
                        continue;
                    }
                    add_device(a, d);
                    if (bus == 2 && d->vendor_id == 0x10b5 && d->device_id == 0x8532) stop_bus = true;
                    if (!has_bus && fn == 0 && !(pci_read_byte(d, 0x0e) & 0x80)) break;
                }
                if (stop_bus) break;
            }
        }
    }
}

void uba_pci_rescan(void)
{
    pci_access *a = uba_pci.pci;
    if (!a) return;
    for (pci_dev_t d = a->devices; d;) {
        pci_dev_t next = d->next;
        if (a->ops->close_dev) a->ops->close_dev(d);
        free(d);
        d = next;
    }
    a->devices = nullptr;
    a->dev_tail = &a->devices;
    if (uba_pci.bridges) {
        for (int i = 0; i < a->max_domains; ++i) free(uba_pci.bridges[i]);
        free(uba_pci.bridges);
        uba_pci.bridges = nullptr;
    }
    if (a->ops->fini) a->ops->fini(a);
}

pci_dev *uba_pci_dev_init(pci_access *a, pci_dev *d, int domain, int bus, int slot, int func)
{
    memset(d, 0, sizeof *d);
    d->domain = uint8_t(domain);
    d->bus = uint8_t(bus);
    d->dev = uint8_t(slot);
    d->func = uint8_t(func);
    d->pci = a;
    if (domain)
        snprintf(d->name, sizeof d->name, "%04x:%02x:%02x.%d", domain, bus, slot, func);
    else
        snprintf(d->name, sizeof d->name, "%02x:%02x.%d", bus, slot, func);
    return a->ops->init_dev(d);
}

unsigned pci_read_byte(pci_dev_t d, unsigned off)
{
    uba::check_cfg_range(d, off, 1);
    return ops_of(d).readb(d, off);
}
unsigned pci_read_word(pci_dev_t d, unsigned off)
{
    uba::check_cfg_range(d, off, 2);
    return ops_of(d).readw(d, off);
}
unsigned pci_read_long(pci_dev_t d, unsigned off)
{
    uba::check_cfg_range(d, off, 4);
    return ops_of(d).readl(d, off);
}
int pci_write_byte(pci_dev_t d, unsigned off, uint8_t v)
{
    uba::check_cfg_range(d, off, 1);
    ops_of(d).writeb(d, off, v);
    return 1;
}
int pci_write_word(pci_dev_t d, unsigned off, uint16_t v)
{
    uba::check_cfg_range(d, off, 2);
    return ops_of(d).writew(d, off, v);
}
int pci_write_long(pci_dev_t d, unsigned off, uint32_t v)
{
    uba::check_cfg_range(d, off, 4);
    return ops_of(d).writel(d, off, v);
}

int pci_read_block(pci_dev_t d, unsigned off, void *buffer, unsigned length)
{
    uint8_t *b = static_cast<uint8_t *>(buffer);
    for (unsigned i = 0; i < length; ++i) b[i] = uint8_t(pci_read_byte(d, off + i));
    return 1;
}

void _pci_read_bitfield(pci_dev_t d, unsigned off, void *field, unsigned size)
{
    switch (size) {
    case 1: {
        uint8_t v = uint8_t(pci_read_byte(d, off));
        memcpy(field, &v, 1);
        break;
    }
    case 2: {
        uint16_t v = uint16_t(pci_read_word(d, off));
        memcpy(field, &v, 2);
        break;
    }
    case 4: {
        uint32_t v = pci_read_long(d, off);
        memcpy(field, &v, 4);
        break;
    }
    default:
        UBA_FATAL("pci bit-field of %u bytes at 0x%x: only 1, 2 or 4", size, off);
    }
}

void _pci_write_bitfield(pci_dev_t d, unsigned off, const void *field, unsigned size)
{
    switch (size) {
    case 1: {
        uint8_t v;
        memcpy(&v, field, 1);
        pci_write_byte(d, off, v);
        break;
    }
    case 2: {
        uint16_t v;
        memcpy(&v, field, 2);
        pci_write_word(d, off, v);
        break;
    }
    case 4: {
        uint32_t v;
        memcpy(&v, field, 4);
        pci_write_long(d, off, v);
        break;
    }
    default:
        UBA_FATAL("pci bit-field of %u bytes at 0x%x: only 1, 2 or 4", size, off);
    }
}

unsigned uba_find_capability_n(pci_dev_t d, int cap_id, int idx)
{
    return find_cap(d, [&](unsigned off) {
        return int(pci_read_byte(d, off)) == cap_id && idx-- == 0;
    });
}

unsigned uba_find_hyper_capability(pci_dev_t d, int hyper_id, int idx)
{
    return find_cap(d, [&](unsigned off) {
        if (pci_read_byte(d, off) != 8) return false;
        int t = int(pci_read_byte(d, off + 3) >> 3);
        bool hit = hyper_id < 8 ? (t & 0x1c) == hyper_id : t == hyper_id;
        return hit && idx-- == 0;
    });
}

int uba_can_access_ext_conf(pci_dev_t d)
{
    const uba_pci_ops &o = ops_of(d);
    return o.can_access_ext_conf ? o.can_access_ext_conf(d) : 0;
}

unsigned uba_find_ext_capability(pci_dev_t d, int ext_cap_id)
{
    if (!uba_can_access_ext_conf(d)) {
        fprintf(stderr, "Warning:uba_find_ext_capability:%s:ext-conf unreadable with \"%s\"\n", d->name,
                ops_of(d).name);
        return 0;
    }
    unsigned off = 0x100;
    for (int step = 0; step < 512 && off >= 0x100; ++step) {
        uint32_t v = pci_read_long(d, off);
        if (v == 0xffffffffu) v = 0;
        if (int(v & 0xffff) == ext_cap_id) return off;
        // The two low bits of the next pointer are reserved: a header is
        // always on a 4-byte boundary inside the space.
        off = (v >> 20) & 0xffc;
    }
    return 0;
}

const char *uba_pci_name(pci_dev_t d) { return d->name; }

void pci_filter_parse_slot(pci_filter *f, const char *text)
{
    const char *p = text;
    if (!p) return;
    if (strlen(p) >= 5 && isxdigit((unsigned char)p[0]) && isxdigit((unsigned char)p[1]) &&
        isxdigit((unsigned char)p[2]) && isxdigit((unsigned char)p[3]) && p[4] == ':')
        p = filter_field(p, &f->domain);
    p = filter_field(p, &f->bus);
    p = filter_field(p, &f->slot);
    filter_field(p, &f->func);
}

void pci_filter_parse_id(pci_filter *f, const char *text)
{
    const char *p = text;
    if (!p) return;
    p = filter_field(p, &f->vid);
    filter_field(p, &f->did);
}

void uba_make_filter(uba_criteria_type_t type, const char *text, pci_filter *f)
{
    f->vid = f->did = f->domain = f->bus = f->slot = f->func = -1;
    if (type == PCI_SELECT_ID)
        pci_filter_parse_id(f, text);
    else if (type == PCI_SELECT_SLOT)
        pci_filter_parse_slot(f, text);
}

int pci_filter_match(const pci_filter *f, pci_dev_t d)
{
    if (f->vid != -1 && f->vid != d->vendor_id) return 0;
    if (f->did != -1 && f->did != d->device_id) return 0;
    if (f->domain != -1 && f->domain != d->domain) return 0;
    if (f->bus != -1 && f->bus != d->bus) return 0;
    if (f->slot != -1 && f->slot != d->dev) return 0;
    if (f->func != -1 && f->func != d->func) return 0;
    return 1;
}

const char *uba_devmem_path(void)
{
    const char *e = getenv("UBA_DEVMEM");
    return e && *e ? e : "/dev/mem";
}

void *ioremap_dev(const char *file, uint64_t address, size_t size, int nofail)
{
    if (!file) file = uba_devmem_path();
    const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
    const uint64_t start = address & ~(page - 1);
    const uint64_t span = ((address + size - start) + page - 1) & ~(page - 1);
    int fd = open(file, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        if (nofail) return nullptr;
        int e = errno;
        fprintf(stderr, "%s %s(%lx,%lu) failed:%d:%s\n", "opening", file, (unsigned long)address,
                (unsigned long)span, e, strerror(e));
        exit(1);
    }
    void *p = mmap(nullptr, size_t(span), PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(start));
    int e = errno;
    close(fd);
    if (p == MAP_FAILED) {
        if (nofail) return nullptr;
        fprintf(stderr, "%s %s(%lx,%lu) failed:%d:%s\n", "mapping", file, (unsigned long)address,
                (unsigned long)span, e, strerror(e));
        exit(1);
    }
    uba::note_mapping(p, size_t(span));
    return static_cast<uint8_t *>(p) + (address - start);
}

void *ioremap(uint64_t address, size_t size) { return ioremap_dev(nullptr, address, size, 0); }

void iounmap_phys(void *pointer, uint64_t address, size_t size)
{
    if (!pointer) return;
    const uint64_t page = uint64_t(sysconf(_SC_PAGESIZE));
    const uint64_t in_page = address & (page - 1);
    uint8_t *start = static_cast<uint8_t *>(pointer) - in_page;
    size_t span = size_t((in_page + size + page - 1) & ~(page - 1));
    uba::forget_mapping(start);
    munmap(start, span);
}

}  // extern "C"
