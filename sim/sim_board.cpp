// sim_board.cpp - the simulated boards' PCI side: the physical memory file,
// configuration spaces with their register rules, the vendor capability
// window onto adapter memory and the EEPROM, and the driver's configuration
// requests.
#include "sim_board.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <linux/futex.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "quor_nfw.h"
#include "quor_pc.h"
#include "sim_internal.h"
#include "sim_wire_impl.h"

namespace quorsim {

namespace {

constexpr unsigned kFnSpace = 4096;
constexpr int kMaxBoards = 32;
// The file reaches past the last board's BAR0.
constexpr uint64_t kMemFileSize = BoardModel::kBar0Base + kMaxBoards * BoardModel::kBar0Size;
constexpr uint32_t kBlockEnd = 0xffffffffu;
// Where the simulated firmware keeps its header.
constexpr uint32_t kFwHeader = 0x100;
constexpr uint8_t kModeFwCmd = 10;
// Window mode of the capture request, and the address that starts it.
constexpr uint8_t kModeScan = 8;
constexpr uint32_t kScanCapture = 2;
constexpr unsigned kCommandReg = 0x04;

// Chain lengths in bytes by variant.
size_t chain_bytes(KvVariant v, ScanChain c)
{
    switch (c) {
    case ScanChain::c0:
        return v == KvVariant::kv7b ? 112 : 80; // 896 / 636 bits
    case ScanChain::c2:
        return v == KvVariant::kv7b ? 73 : 53; // 582 / 420 bits
    case ScanChain::jtag:
        return 77; // 610 bits
    }
    return 0;
}

// Vendor window registers, by offset from the capability.
enum : unsigned {
    kVsRaddr = 4,
    kVsRdata = 8,
    kVsWrite = 12,
    kVsMode = 16,
    kVsVersion = 17,
    kVsData = 20,
    kVsAddr = 24,
    kVsLen = 28,
};
// The capability whose next pointer leads to the vendor window.
constexpr unsigned kVsPrev = 0x60;

// Failover words of window mode 12, selected by the address register.
enum : uint32_t { kFoConfig = 0, kFoStatus = 1 };
constexpr uint32_t kFoConfigBits = 0x7; // RARP on failover, priority 2:1
constexpr uint8_t kFoNone = 3;

// The port the failover firmware makes active: a primary whose link is up
// always takes over; with no primary (symmetric, or the unknown priority 3)
// the active port stays for as long as its link holds.
uint8_t failover_next(uint32_t config, uint8_t active, const bool link[2])
{
    const unsigned prio = (config >> 1) & 3;
    if (prio < 2) {
        if (link[prio]) return uint8_t(prio);
        return link[1 - prio] ? uint8_t(1 - prio) : kFoNone;
    }
    if (active < 2 && link[active]) return active;
    if (link[0]) return 0;
    return link[1] ? 1 : kFoNone;
}

void put16(uint8_t *p, unsigned off, uint16_t v) { memcpy(p + off, &v, 2); }
void put32(uint8_t *p, unsigned off, uint32_t v) { memcpy(p + off, &v, 4); }
uint32_t get32(const uint8_t *p, unsigned off)
{
    uint32_t v;
    memcpy(&v, p + off, 4);
    return v;
}

uint64_t fn_offset(int bus, int dev, int fn) { return ((uint64_t(bus) * 32 + dev) * 8 + fn) * kFnSpace; }

bool overlaps(unsigned off, unsigned width, unsigned reg, unsigned len)
{
    return off < reg + len && reg < off + width;
}

// Bits a configuration write may change, per byte of the space; the window's
// registers only while the capability is there.
uint8_t writable(unsigned o, bool window)
{
    const unsigned vs = BoardModel::kVsCap;
    if (o == 0x04) return 0x47; // I/O, memory, bus master, parity response
    if (o == 0x05) return 0x05; // SERR, interrupt disable
    if (o == 0x3c) return 0xff; // interrupt line
    if (!window) return 0;
    if (o >= vs + kVsRaddr && o < vs + kVsRaddr + 4) return 0xff;
    if (o >= vs + kVsWrite && o < vs + kVsWrite + 4) return 0xff;
    if (o == vs + kVsMode) return 0xff;
    if (o >= vs + kVsData && o < vs + kVsAddr + 4) return 0xff;
    return 0;
}

bool valid_access(const quor_pci_cfg_t &r)
{
    unsigned w = r.width;
    if (w != 1 && w != 2 && w != 4) return false;
    if (r.offset % w) return false;
    return unsigned(r.offset) + w <= kFnSpace;
}

// A module image file: exactly the two 256-byte pages.
bool read_module(const std::string &path, std::vector<uint8_t> *out)
{
    FILE *f = fopen(path.c_str(), "rb");
    if (!f) return false;
    std::vector<uint8_t> m(ModuleCage::kBytes + 1);
    size_t n = fread(m.data(), 1, m.size(), f);
    fclose(f);
    if (n != ModuleCage::kBytes) return false;
    m.resize(n);
    *out = std::move(m);
    return true;
}

// A product code fits the string specs and is one printable word.
bool valid_pc(const std::string &v)
{
    if (v.empty() || v.size() > 64) return false;
    for (char ch : v)
        if (ch <= ' ' || ch > '~') return false;
    return true;
}

bool parse_hex16(const std::string &s, uint16_t *out)
{
    uint64_t v;
    std::string t = s.rfind("0x", 0) == 0 || s.rfind("0X", 0) == 0 ? s : "0x" + s;
    if (!parse_u64(t, &v) || v > 0xffff) return false;
    *out = uint16_t(v);
    return true;
}

void futex_wake(uint32_t *w) { syscall(SYS_futex, w, FUTEX_WAKE, INT_MAX, nullptr, nullptr, 0); }

// Sleeps while *w holds v, 100 ms at most.
void futex_wait(uint32_t *w, uint32_t v)
{
    timespec ts = {0, 100'000'000};
    syscall(SYS_futex, w, FUTEX_WAIT, v, &ts, nullptr, 0);
}

}  // namespace

bool parse_board_spec(const std::string &text, int ports, std::vector<BoardSpec> *specs, std::string *err)
{
    auto eq = text.find('=');
    uint64_t u;
    if (eq == std::string::npos || !parse_u64(text.substr(0, eq), &u) || u >= uint64_t(ports)) {
        *err = "--board takes UNIT=SETTINGS with a unit below the number of ports";
        return false;
    }
    if (specs->size() <= u) specs->resize(size_t(u) + 1);
    BoardSpec &b = (*specs)[size_t(u)];
    std::string rest = text.substr(eq + 1);
    size_t pos = 0;
    while (pos <= rest.size()) {
        size_t comma = rest.find(',', pos);
        std::string item = rest.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        pos = comma == std::string::npos ? rest.size() + 1 : comma + 1;
        auto e = item.find('=');
        std::string k = item.substr(0, e), v = e == std::string::npos ? "" : item.substr(e + 1);
        uint64_t n;
        if (k == "id") {
            auto colon = v.find(':');
            if (colon == std::string::npos || !parse_hex16(v.substr(0, colon), &b.vid) ||
                !parse_hex16(v.substr(colon + 1), &b.did)) {
                *err = "--board id must be VID:DID in hexadecimal";
                return false;
            }
        } else if (k == "rev") {
            if (!parse_u64(v, &n) || n > 255) {
                *err = "--board rev must be 0 to 255";
                return false;
            }
            b.rev = uint8_t(n);
        } else if (k == "bar2") {
            if (v != "off" && v != "on") {
                *err = "--board bar2 must be on or off";
                return false;
            }
            b.bar2 = v == "on";
        } else if (k == "variant") {
            if (v != "kv7" && v != "kv7b") {
                *err = "--board variant must be kv7 or kv7b";
                return false;
            }
            b.variant = v == "kv7b" ? KvVariant::kv7b : KvVariant::kv7;
        } else if (k == "plug") {
            if (v == "xfp") b.plug = PlugKind::xfp;
            else if (v == "sfpp") b.plug = PlugKind::sfpp;
            else if (v == "qsfp") b.plug = PlugKind::qsfp;
            else {
                *err = "--board plug must be xfp, sfpp or qsfp";
                return false;
            }
        } else if (k == "pc") {
            if (!valid_pc(v)) {
                *err = "--board pc must be 1 to 64 printable characters without blanks";
                return false;
            }
            b.pc = v;
        } else if (k == "fwxfp") {
            if (v != "off" && v != "on") {
                *err = "--board fwxfp must be on or off";
                return false;
            }
            b.fwxfp = v == "on";
        } else if (k == "module") {
            b.module.clear();
            b.module_none = v == "none";
            if (!b.module_none && !read_module(v, &b.module)) {
                *err = "--board module must be none or a file of exactly 512 bytes: " + printable(v);
                return false;
            }
        } else if (k == "eeprom") {
            if (v != "byte" && v != "block") {
                *err = "--board eeprom must be byte or block";
                return false;
            }
            b.eeprom_block = v == "block";
        } else {
            *err = "--board: unknown setting '" + printable(item) + "'";
            return false;
        }
    }
    return true;
}

BoardModel::~BoardModel()
{
    stop_posts();
    if (map_) munmap(map_, map_len_);
    if (fd_ >= 0) close(fd_);
}

uint8_t *BoardModel::cfg(int u) const { return phys(kCfgBase + fn_offset(1, u, 0)); }

int BoardModel::create(const std::string &dir, int n, const std::vector<BoardSpec> &specs, std::string *err)
{
    if (n > kMaxBoards) n = kMaxBoards;
    path_ = dir + "/quorsim.mem";
    fd_ = open(path_.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd_ < 0 || ftruncate(fd_, off_t(kMemFileSize)) != 0) {
        int e = errno;
        *err = "board memory " + printable(path_) + ": " + strerror(e);
        return e;
    }
    void *p = mmap(nullptr, kMemFileSize, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE, fd_, 0);
    if (p == MAP_FAILED) {
        int e = errno;
        *err = std::string("board memory mapping: ") + strerror(e);
        return e;
    }
    map_ = static_cast<uint8_t *>(p);
    map_len_ = kMemFileSize;

    // Host bridge: the window registers a tool finds the window by.
    uint8_t *hb = phys(kCfgBase + fn_offset(0, 0, 0));
    put16(hb, 0x00, 0x8086);
    put16(hb, 0x02, 0x2980);
    put16(hb, 0x0a, 0x0600);
    put32(hb, 0x60, uint32_t(kCfgBase) | 1);
    // PCI bridge to bus 1, where the boards are.
    uint8_t *br = phys(kCfgBase + fn_offset(0, 1, 0));
    put16(br, 0x00, 0x8086);
    put16(br, 0x02, 0x2981);
    put16(br, 0x0a, 0x0604);
    br[0x0e] = 0x01;
    br[0x18] = 0;
    br[0x19] = 1;
    br[0x1a] = 1;

    for (int u = 0; u < n; ++u) {
        auto b = std::make_unique<Board>();
        if (size_t(u) < specs.size()) b->spec = specs[size_t(u)];
        b->eeprom.assign(kEepromSize, 0xff);
        for (int i = 0; i < 256; ++i) b->eeprom[size_t(i)] = uint8_t(i);
        const BoardSpec &bs = b->spec;
        b->cage.present = !bs.module_none;
        if (!bs.module.empty())
            std::copy(bs.module.begin(), bs.module.end(), b->cage.bytes.begin());
        else
            b->cage.bytes = ModuleCage::builtin(bs.plug);
        // Dual-port SFP+ and QSFP boards put their PHY at port address 1,
        // single-port XFP boards at 0; the firmware counts ports from the
        // handoff major on.
        const unsigned phy_addr = bs.plug == PlugKind::xfp ? 0 : 1;
        const unsigned major = bs.variant == KvVariant::kv7b ? 1 : 0;
        b->phy.configure(phy_addr, major != 0, &b->cage);
        b->fw_port = uint8_t(phy_addr - major);
        // Until a test sets them, chain images are a pattern of the unit
        // and the byte position, so that boards and chains differ.
        for (int c = 0; c < 3; ++c) {
            std::vector<uint8_t> &img = b->chain[c];
            img.resize(chain_bytes(b->spec.variant, ScanChain(c)));
            for (size_t i = 0; i < img.size(); ++i) img[i] = uint8_t(0x11 * (c + 1) + 3 * i + 0x40 * u);
        }
        boards_.push_back(std::move(b));
        build_config(u);
        write_fw_header(u);
    }

    // The host's configuration file of the host bridge, as a tool on this
    // system would read it.
    pci_dir_ = dir + "/pci";
    std::string fdir = pci_dir_ + "/0000:00:00.0";
    mkdir(pci_dir_.c_str(), 0700);
    mkdir(fdir.c_str(), 0700);
    int cf = open((fdir + "/config").c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (cf < 0 || write(cf, hb, 256) != 256) {
        int e = errno ? errno : EIO;
        if (cf >= 0) close(cf);
        *err = "host bridge configuration file: " + std::string(strerror(e));
        return e;
    }
    close(cf);

    // The posting page is served from here on.
    auto *pg = reinterpret_cast<quor_standin_post_t *>(phys(QUOR_STANDIN_POST_PHYS));
    std::atomic_ref<uint32_t>(pg->magic).store(QUOR_STANDIN_MAGIC, std::memory_order_release);
    post_quit_ = false;
    poster_ = std::thread([this] { serve_posts(); });
    return 0;
}

void BoardModel::serve_posts()
{
    auto *pg = reinterpret_cast<quor_standin_post_t *>(phys(QUOR_STANDIN_POST_PHYS));
    std::atomic_ref<uint32_t> seq(pg->seq), done(pg->done);
    while (!post_quit_.load(std::memory_order_relaxed)) {
        // Pairs with the poster's release store of seq: the store's fields
        // are written.
        const uint32_t s = seq.load(std::memory_order_acquire);
        if (s == done.load(std::memory_order_relaxed)) {
            futex_wait(&pg->seq, s);
            continue;
        }
        take_store(pg->phys, pg->width, pg->value);
        // Pairs with the poster's acquire load of done: the store's effects
        // are in place before it is answered.
        done.store(s, std::memory_order_release);
        futex_wake(&pg->done);
    }
}

void BoardModel::stop_posts()
{
    if (!poster_.joinable()) return;
    auto *pg = reinterpret_cast<quor_standin_post_t *>(phys(QUOR_STANDIN_POST_PHYS));
    // A tool still waiting on the page sees nobody serves it any more.
    std::atomic_ref<uint32_t>(pg->magic).store(0, std::memory_order_release);
    futex_wake(&pg->done);
    post_quit_ = true;
    futex_wake(&pg->seq);
    poster_.join();
}

void BoardModel::take_store(uint64_t a, unsigned width, uint32_t value)
{
    if ((width != 1 && width != 2 && width != 4) || a % width || a > map_len_ - width) return;
    if (a >= kCfgBase && a < kCfgBase + kCfgSize) {
        const uint64_t fn = (a - kCfgBase) / kFnSpace;
        const unsigned bus = unsigned(fn / 256), dev = unsigned(fn / 8 % 32), func = unsigned(fn % 8);
        if (bus == 1 && func == 0 && int(dev) < boards()) {
            quor_pci_cfg_t r = {};
            r.board = dev;
            r.offset = uint16_t((a - kCfgBase) % kFnSpace);
            r.width = uint16_t(width);
            r.value = value;
            cfg_write(int(dev), r);
            return;
        }
    }
    memcpy(phys(a), &value, width);
}

void BoardModel::remove()
{
    stop_posts();
    if (!path_.empty()) unlink(path_.c_str());
    if (!pci_dir_.empty()) {
        unlink((pci_dir_ + "/0000:00:00.0/config").c_str());
        rmdir((pci_dir_ + "/0000:00:00.0").c_str());
        rmdir(pci_dir_.c_str());
    }
    path_.clear();
    pci_dir_.clear();
}

void BoardModel::build_config(int u)
{
    const BoardSpec &s = boards_[size_t(u)]->spec;
    uint8_t *c = cfg(u);
    memset(c, 0, kFnSpace);
    put16(c, 0x00, s.vid);
    put16(c, 0x02, s.did);
    put16(c, 0x04, 0x0006);
    put16(c, 0x06, 0x0010); // capability list
    c[0x08] = s.rev;
    put16(c, 0x0a, 0x0200); // Ethernet controller
    c[0x0e] = 0x00;         // single function
    const uint64_t b0 = bar0_phys(u);
    put32(c, 0x10, uint32_t(b0) | 0xc); // 64-bit prefetchable memory
    put32(c, 0x14, uint32_t(b0 >> 32));
    put32(c, 0x18, s.bar2 ? uint32_t(bar2_phys(u)) : 0);
    put16(c, 0x2c, s.vid);
    put16(c, 0x2e, s.did);
    c[0x34] = 0x40;
    c[0x3c] = 0x0b;
    c[0x3d] = 0x01;
    // Power management -> MSI -> PCI Express -> vendor-specific.
    c[0x40] = 0x01, c[0x41] = 0x50, put16(c, 0x42, 0x0003);
    c[0x50] = 0x05, c[0x51] = 0x60, put16(c, 0x52, 0x0080);
    c[kVsPrev] = 0x10, put16(c, kVsPrev + 2, 0x0002);
    vs_header(u, *boards_[size_t(u)], s.eeprom_block ? 2 : 0);
    // Extended: advanced error reporting -> serial number.
    put32(c, 0x100, 0x0001u | 1u << 16 | 0x140u << 20);
    put32(c, 0x140, 0x0003u | 1u << 16);
    put32(c, 0x144, 0x51530000u | uint32_t(u));
    put32(c, 0x148, 0x00000251u);
    memcpy(phys(bar2_phys(u) + kBar2CfgCopy), c, kFnSpace);
}

int BoardModel::cfg_read(int u, quor_pci_cfg_t &r)
{
    if (!valid_access(r)) return EINVAL;
    Board &b = *boards_[size_t(u)];
    std::lock_guard<std::mutex> lk(b.mu);
    const uint8_t *c = cfg(u);
    uint32_t v = 0;
    for (unsigned i = 0; i < r.width; ++i) v |= uint32_t(c[r.offset + i]) << (8 * i);
    r.value = v;
    return 0;
}

int BoardModel::cfg_write(int u, const quor_pci_cfg_t &r)
{
    if (!valid_access(r)) return EINVAL;
    Board &b = *boards_[size_t(u)];
    std::lock_guard<std::mutex> lk(b.mu);
    uint8_t *c = cfg(u);
    for (unsigned i = 0; i < r.width; ++i) {
        unsigned o = r.offset + i;
        uint8_t m = writable(o, b.vs_linked), nb = uint8_t(r.value >> (8 * i));
        c[o] = uint8_t((c[o] & ~m) | (nb & m));
    }
    window_effects(u, b, r.offset, r.width);
    // The firmware takes a command-register write as the sign that a new
    // chain 2 image is in place (a scan write).
    if (overlaps(r.offset, r.width, kCommandReg, 2)) scan_take_back(u, b);
    sync_copy(u);
    return 0;
}

// The firmware's header, the word that points to it, and its string specs.
void BoardModel::write_fw_header(int u)
{
    const BoardSpec &s = boards_[size_t(u)]->spec;
    uint8_t *m = phys(bar0_phys(u));
    nfw_gen_header h = {};
    auto be32 = [](uint32_t v) { return __builtin_bswap32(v); };
    h.header_length = be32(sizeof h);
    h.sram_size = be32(kSramSize);
    snprintf(h.version, sizeof h.version, "quor_simd board firmware");
    h.handoff_id_major = __builtin_bswap16(s.variant == KvVariant::kv7b ? 1 : 0);
    std::vector<uint8_t> specs = string_specs(s.plug, s.pc.empty() ? default_pc(s.plug) : s.pc, unsigned(u));
    h.string_specs = be32(kFwSpecs);
    h.string_specs_len = be32(uint32_t(specs.size()));
    memcpy(m + kFwSpecs, specs.data(), specs.size());
    memcpy(m + kFwHeader, &h, sizeof h);
    put32(m, QUOR_NFW_HDR_PTR, be32(kFwHeader));
}

// Window mode 10, a data write: the module service's query or an access.
// The service finishes before the write returns, so its status byte never
// reads busy here.
void BoardModel::fw_command(int u, Board &b, uint32_t word)
{
    uint8_t *c = cfg(u);
    if (word == QUOR_NFW_XFP_QUERY) {
        put32(c, kVsCap + kVsAddr, b.spec.fwxfp ? kFwXfpBuf : 0);
        return;
    }
    if (!b.spec.fwxfp) return;
    uint8_t *buf = phys(bar0_phys(u) + kFwXfpBuf);
    buf[QUOR_NFW_XFP_STATUS] = fw_module_access(word, b.fw_port, b.cage, buf);
}

uint16_t BoardModel::phy_reg(int u, unsigned dev, unsigned addr)
{
    if (u < 0 || u >= boards()) return 0;
    Board &b = *boards_[size_t(u)];
    std::lock_guard<std::mutex> lk(b.mu);
    return b.phy.reg(dev, addr);
}

void BoardModel::sync_copy(int u) { memcpy(phys(bar2_phys(u) + kBar2CfgCopy), cfg(u), kFnSpace); }

// Links the window into the capability list with the given version byte, or
// (version < 0) unlinks it and clears its bytes.
void BoardModel::vs_header(int u, const Board &b, int version)
{
    uint8_t *c = cfg(u);
    memset(c + kVsCap, 0, kVsLen);
    c[kVsPrev + 1] = b.vs_linked ? uint8_t(kVsCap) : 0;
    if (!b.vs_linked) return;
    c[kVsCap] = UINT8_C(9);
    c[kVsCap + 2] = kVsLen;
    c[kVsCap + kVsVersion] = uint8_t(version);
}

bool BoardModel::set_link(int u, int port, bool up)
{
    if (u < 0 || u >= boards() || port < 0 || port > 1) return false;
    Board &b = *boards_[size_t(u)];
    std::lock_guard<std::mutex> lk(b.mu);
    b.link[port] = up;
    b.fo_active = failover_next(b.fo_config, b.fo_active, b.link);
    return true;
}

std::string BoardModel::vscap_status(int u)
{
    if (u < 0 || u >= boards()) return {};
    Board &b = *boards_[size_t(u)];
    std::lock_guard<std::mutex> lk(b.mu);
    const uint8_t *c = cfg(u);
    char line[200];
    if (b.vs_linked)
        snprintf(line, sizeof line, "unit %d: vscap version %u, mode %u", u, c[kVsCap + kVsVersion],
                 c[kVsCap + kVsMode]);
    else
        snprintf(line, sizeof line, "unit %d: vscap off", u);
    std::string out = line;
    snprintf(line, sizeof line, ", failover config %#x (%llu writes), active %u, links %s/%s\n",
             unsigned(b.fo_config), (unsigned long long)b.fo_writes, unsigned(b.fo_active),
             b.link[0] ? "up" : "down", b.link[1] ? "up" : "down");
    return out + line;
}

bool BoardModel::set_vscap(int u, int version)
{
    if (u < 0 || u >= boards() || version > 255) return false;
    Board &b = *boards_[size_t(u)];
    std::lock_guard<std::mutex> lk(b.mu);
    if (b.vs_linked && version >= 0) {
        // A new version only: the window's registers keep what they hold.
        cfg(u)[kVsCap + kVsVersion] = uint8_t(version);
    } else {
        b.vs_linked = version >= 0;
        vs_header(u, b, version);
    }
    sync_copy(u);
    return true;
}

void BoardModel::window_effects(int u, Board &b, unsigned off, unsigned width)
{
    if (!b.vs_linked) return;
    uint8_t *c = cfg(u);
    const unsigned vs = kVsCap;
    if (overlaps(off, width, vs + kVsRaddr, 4)) {
        // Read data answers for the address latched before this one.
        c[vs + kVsRdata] = b.eeprom[b.latch];
        b.latch = (get32(c, vs + kVsRaddr) >> 8) & (kEepromSize - 1);
    }
    if (overlaps(off, width, vs + kVsWrite, 4)) {
        uint32_t v = get32(c, vs + kVsWrite);
        uint32_t a = (v >> 8) & (kEepromSize - 1);
        b.eeprom[a] = uint8_t(v);
        b.latch = a;
        c[vs + kVsRdata] = b.eeprom[a];
    }
    const uint8_t mode = c[vs + kVsMode];
    const uint32_t a = get32(c, vs + kVsAddr);
    if (overlaps(off, width, vs + kVsAddr, 4)) {
        switch (mode) {
        case 1:
            put32(c, vs + kVsData, adapter_read(u, a));
            break;
        case 2:
            put32(c, vs + kVsData, uint32_t(adapter_read(u, a)) << 8 | adapter_read(u, a + 1));
            break;
        case 3:
            put32(c, vs + kVsData,
                  uint32_t(adapter_read(u, a)) << 24 | uint32_t(adapter_read(u, a + 1)) << 16 |
                      uint32_t(adapter_read(u, a + 2)) << 8 | adapter_read(u, a + 3));
            break;
        case 11:
            b.block_at = a;
            break;
        case kModeScan:
            if (a == kScanCapture) scan_capture(u, b);
            break;
        case 12:
            if (a == kFoConfig) {
                put32(c, vs + kVsData, b.fo_config);
            } else if (a == kFoStatus) {
                b.fo_active = failover_next(b.fo_config, b.fo_active, b.link);
                put32(c, vs + kVsData,
                      uint32_t(b.fo_active) | uint32_t(b.link[0]) << 2 | uint32_t(b.link[1]) << 3);
            } else {
                put32(c, vs + kVsData, 0);
            }
            break;
        default:
            break;
        }
    }
    if (overlaps(off, width, vs + kVsData, 4)) {
        const uint32_t d = get32(c, vs + kVsData);
        switch (mode) {
        case 5:
            adapter_write(u, a, uint8_t(d));
            break;
        case kModeFwCmd:
            fw_command(u, b, d);
            break;
        case 6:
            adapter_write(u, a, uint8_t(d >> 8));
            adapter_write(u, a + 1, uint8_t(d));
            break;
        case 7:
            for (unsigned i = 0; i < 4; ++i) adapter_write(u, a + i, uint8_t(d >> (24 - 8 * i)));
            break;
        case 11:
            // Block write: the written bytes, lowest first, at the running
            // EEPROM address; an address of all ones ends the block.
            if (b.block_at == kBlockEnd) break;
            for (unsigned i = 0; i < width; ++i)
                b.eeprom[(b.block_at + i) & (kEepromSize - 1)] = c[off + i];
            b.block_at += width;
            break;
        case 12:
            // Only the configuration word takes writes; bits beyond it are
            // not kept.
            if (a == kFoConfig) {
                b.fo_config = d & kFoConfigBits;
                ++b.fo_writes;
                b.fo_active = failover_next(b.fo_config, b.fo_active, b.link);
            }
            break;
        default:
            break;
        }
    }
}

// The MDIO register is the one processor register with something behind
// it: every path that reaches adapter addresses reaches the PHY.  Callers
// hold the board's lock.
uint8_t BoardModel::adapter_read(int u, uint32_t a) const
{
    if (a == kRegAddr + kMdioReg) return boards_[size_t(u)]->phy.bus_read();
    if (a < kSramSize) return *phys(bar0_phys(u) + a);
    if (a >= kRegAddr) return *phys(bar2_phys(u) + kBar2Regs + (a - kRegAddr));
    return 0xff;
}

void BoardModel::adapter_write(int u, uint32_t a, uint8_t v)
{
    if (a == kRegAddr + kMdioReg) boards_[size_t(u)]->phy.bus_write(v);
    if (a < kSramSize)
        *phys(bar0_phys(u) + a) = v;
    else if (a >= kRegAddr)
        *phys(bar2_phys(u) + kBar2Regs + (a - kRegAddr)) = v;
}

void BoardModel::mem_read(int u, uint32_t a, uint8_t *buf, size_t n)
{
    Board &b = *boards_[size_t(u)];
    std::lock_guard<std::mutex> lk(b.mu);
    for (size_t i = 0; i < n; ++i) buf[i] = adapter_read(u, a + uint32_t(i));
}

void BoardModel::mem_write(int u, uint32_t a, const uint8_t *buf, size_t n)
{
    Board &b = *boards_[size_t(u)];
    std::lock_guard<std::mutex> lk(b.mu);
    for (size_t i = 0; i < n; ++i) adapter_write(u, a + uint32_t(i), buf[i]);
}

size_t BoardModel::scan_len(int u, ScanChain c) const
{
    if (u < 0 || u >= boards()) return 0;
    return chain_bytes(boards_[size_t(u)]->spec.variant, c);
}

std::vector<uint8_t> BoardModel::scan_image(int u, ScanChain c)
{
    if (u < 0 || u >= boards()) return {};
    Board &b = *boards_[size_t(u)];
    std::lock_guard<std::mutex> lk(b.mu);
    return b.chain[int(c)];
}

bool BoardModel::set_scan(int u, ScanChain c, const std::vector<uint8_t> &img)
{
    if (img.size() != scan_len(u, c)) return false;
    Board &b = *boards_[size_t(u)];
    std::lock_guard<std::mutex> lk(b.mu);
    b.chain[int(c)] = img;
    return true;
}

// A chain image lies below its end address, its first byte highest.
void BoardModel::scan_capture(int u, Board &b)
{
    const bool kv7b = b.spec.variant == KvVariant::kv7b;
    const std::vector<uint8_t> &c0 = b.chain[int(ScanChain::c0)], &c2 = b.chain[int(ScanChain::c2)];
    const uint32_t end0 = kv7b ? QUOR_NFW_SCAN0_END_896 : QUOR_NFW_SCAN0_END_636;
    for (size_t i = 0; i < c0.size(); ++i) adapter_write(u, end0 - 1 - uint32_t(i), c0[i]);
    for (size_t i = 0; i < c2.size(); ++i) adapter_write(u, QUOR_NFW_SCAN2_END - 1 - uint32_t(i), c2[i]);
}

void BoardModel::scan_take_back(int u, Board &b)
{
    std::vector<uint8_t> &c2 = b.chain[int(ScanChain::c2)];
    for (size_t i = 0; i < c2.size(); ++i) c2[i] = adapter_read(u, QUOR_NFW_SCAN2_END - 1 - uint32_t(i));
}

uint8_t BoardModel::eeprom(int u, uint32_t a)
{
    Board &b = *boards_[size_t(u)];
    std::lock_guard<std::mutex> lk(b.mu);
    return b.eeprom[a & (kEepromSize - 1)];
}

// ---------------------------------------------------------------------------
// Driver requests
// ---------------------------------------------------------------------------

int Simulator::Impl::pci_cfg(uint32_t code, std::vector<uint8_t> &rec)
{
    quor_pci_cfg_t r;
    if (rec.size() != sizeof r) return EINVAL;
    memcpy(&r, rec.data(), sizeof r);
    int count = board_count >= 0 ? board_count.load() : int(ports.size());
    if (r.board >= uint32_t(count) || r.board >= uint32_t(board.boards())) return EINVAL;
    int e = code == QUOR_PCI_CFG_READ ? board.cfg_read(int(r.board), r) : board.cfg_write(int(r.board), r);
    if (e == 0) memcpy(rec.data(), &r, sizeof r);
    return e;
}

}  // namespace quorsim
