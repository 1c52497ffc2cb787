// sim_phy.cpp - the simulated port's module, PHY and firmware module service.
#include "sim_phy.h"

#include <cstring>

#include "quor_pc.h"

namespace quorsim {

namespace {

// PHY registers of MMD 1 with behaviour.
constexpr unsigned kPageCmd = 0x8000;  // page read: (start << 8) | 2 one byte, 3 to the page end
constexpr unsigned kPageBase = 0x8007; // byte r of the page at kPageBase + r
constexpr unsigned kRdCmd = 0xc30a;    // register read: (i2c address << 8) | register
constexpr unsigned kRdData = 0xc30b;   // the byte, in the high half
constexpr unsigned kRdStatus = 0xc30c; // 1 done, 2 failed
constexpr unsigned kCage = 0xc200;     // bit 0 empty cage, bit 15 the laser-disable bit
constexpr unsigned kLaser = 0x9;
// Page-read status: done is command + 4; this marks a failed read.
constexpr uint16_t kPageFail = 0x10;

uint32_t key(unsigned dev, unsigned addr) { return (dev & 31u) << 16 | (addr & 0xffffu); }

void put_text(uint8_t *p, const char *s, size_t n)
{
    memset(p, ' ', n);
    memcpy(p, s, strnlen(s, n));
}

void put_be16(uint8_t *p, uint16_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

// The identity block (type, connector, compliance, wavelength, names, date).
void identity(uint8_t *id, uint8_t type, uint8_t conn, uint8_t comp, unsigned wl_off, uint16_t wl, const char *pn,
              const char *sn)
{
    id[0] = type;
    id[2] = conn;
    id[3] = comp;
    put_be16(id + wl_off, wl);
    put_text(id + 20, "SIMOPTICS", 16);
    put_text(id + 40, pn, 16);
    put_text(id + 68, sn, 16);
    memcpy(id + 84, "260314AB", 8);
}

}  // namespace

uint8_t *ModuleCage::page(unsigned a)
{
    if (a == 0xa0 || a == 0xa1) return bytes.data();
    if (a == 0xa2 || a == 0xa3) return bytes.data() + 256;
    return nullptr;
}

std::array<uint8_t, ModuleCage::kBytes> ModuleCage::builtin(PlugKind k)
{
    std::array<uint8_t, kBytes> m{};
    uint8_t *a0 = m.data(), *a2 = m.data() + 256;
    switch (k) {
    case PlugKind::xfp:
        a0[0] = 6;
        a0[84] = 0x01;            // reset complete
        put_be16(a0 + 96, 0x1980); // 25.5 C
        put_be16(a0 + 100, 3000);
        put_be16(a0 + 102, 5000);
        put_be16(a0 + 104, 4000);
        put_be16(a0 + 106, 0xe600); // laser temperature -26 C
        put_be16(a0 + 108, 33000);  // 3.3 V
        a0[222] = 0x47;
        identity(a0 + 128, 6, 7, 0x40, 58, 26200, "SIM-XFP-LR", "SIMX00001234");
        break;
    case PlugKind::sfpp:
        identity(a0, 3, 7, 0x10, 60, 850, "SIM-SFPP-SR", "SIMS00005678");
        a2[110] = 0x02; // rx loss of signal
        put_be16(a2 + 96, 0x1c40);
        put_be16(a2 + 98, 33000);
        put_be16(a2 + 100, 3000);
        put_be16(a2 + 102, 5500);
        put_be16(a2 + 104, 4200);
        break;
    case PlugKind::qsfp:
        a0[0] = 12;
        a0[2] = 0x02; // IntL
        a0[3] = 0x05; // rx1, rx3 lost
        a0[4] = 0x08;
        put_be16(a0 + 22, 0xff00); // -1 C
        put_be16(a0 + 26, 32900);
        identity(a0 + 128, 12, 12, 0x10, 58, 17000, "SIM-QSFP-SR4", "SIMQ00012345");
        break;
    }
    return m;
}

const char *default_pc(PlugKind k)
{
    switch (k) {
    case PlugKind::xfp:
        return QUOR_PC_XFP;
    case PlugKind::qsfp:
        return QUOR_PC_QSFP;
    case PlugKind::sfpp:
        break;
    }
    return QUOR_PC_SFPP;
}

std::vector<uint8_t> string_specs(PlugKind k, const std::string &pc, unsigned unit)
{
    std::vector<std::string> items = {"SN=SIM" + std::to_string(unit), "PC=" + pc};
    if (k == PlugKind::xfp) items.push_back("XFI=QT2022");
    if (k == PlugKind::sfpp) items.push_back("XFI=AEL1010");
    std::vector<uint8_t> out;
    for (const std::string &s : items) {
        out.insert(out.end(), s.begin(), s.end());
        out.push_back(0);
    }
    out.push_back(0);
    if (out.size() > QUOR_NFW_SPECS_LEN) out.resize(QUOR_NFW_SPECS_LEN);
    return out;
}

uint8_t fw_module_access(uint32_t word, unsigned port_byte, ModuleCage &cage, uint8_t *buf)
{
    const unsigned port = word >> 24, a = (word >> 16) & 0xff, start = (word >> 8) & 0xff;
    const unsigned size = (word & 0xff) ? (word & 0xff) : 256;
    uint8_t *page = cage.page(a);
    if (port != (port_byte & 0xff)) return 2;
    if (!cage.present) return 3;
    if (!page || start + size > 256) return 1;
    if (a & 1) {
        memcpy(buf + start, page + start, size);
        return 0;
    }
    if (size != 1) return 1;
    page[start] = buf[start];
    return 0;
}

// ---------------------------------------------------------------------------
// MDIO slave
// ---------------------------------------------------------------------------

void MdioPhy::configure(unsigned port_addr, bool kv7b, ModuleCage *cage)
{
    port_ = port_addr & 31u;
    kv7b_ = kv7b;
    cage_ = cage;
    // A KV7B board's register idles with the data line released.
    last_ = kv7b ? 1 : 0;
}

bool MdioPhy::master_line() const
{
    if (kv7b_) return last_ & 1u;
    return (last_ & 2u) ? (last_ & 1u) : true;
}

void MdioPhy::bus_write(uint8_t v)
{
    last_ = v;
    const bool clk = kv7b_ ? (v & 2u) : (v & 4u);
    const bool rising = clk && !clk_;
    clk_ = clk;
    if (rising) clock(master_line() ? 1u : 0u);
}

uint8_t MdioPhy::bus_read() const
{
    bool slave = true;
    if (st_ == St::out) slave = (out_ >> (17 - n_)) & 1u;
    const bool line = master_line() && slave;
    return uint8_t((last_ & ~1u) | (line ? 1u : 0u));
}

void MdioPhy::clock(unsigned bit)
{
    switch (st_) {
    case St::idle:
        if (bit) {
            if (ones_ < 32) ++ones_;
            return;
        }
        if (ones_ >= 32) {
            st_ = St::head;
            head_ = 0;
            n_ = 1;
        }
        ones_ = 0;
        return;
    case St::head:
        head_ = head_ << 1 | bit;
        if (++n_ < 14) return;
        op_ = (head_ >> 10) & 3u;
        dev_ = head_ & 31u;
        n_ = 0;
        if ((head_ >> 12) != 0 || ((head_ >> 5) & 31u) != port_) {
            // Another frame format or another port: sit out its tail.
            st_ = St::skip;
        } else if (op_ >= 2) {
            out_ = 2u << 16 | frame_read(dev_, op_ == 2);
            st_ = St::out;
        } else {
            tail_ = 0;
            st_ = St::tail;
        }
        return;
    case St::tail:
        tail_ = tail_ << 1 | bit;
        if (++n_ < 18) return;
        st_ = St::idle;
        if ((tail_ >> 16) != 2u) return; // bad turnaround: not a frame
        if (op_ == 0) {
            cur_[dev_] = uint16_t(tail_);
            ++counts_.address;
        } else {
            frame_write(dev_, uint16_t(tail_));
            ++counts_.write;
        }
        return;
    case St::out:
    case St::skip:
        if (++n_ >= 18) {
            st_ = St::idle;
            ones_ = 0;
        }
        return;
    }
}

uint16_t MdioPhy::frame_read(unsigned dev, bool inc)
{
    uint16_t v = reg(dev, cur_[dev]);
    if (inc) {
        ++cur_[dev];
        ++counts_.read_inc;
    } else {
        ++counts_.read;
    }
    return v;
}

void MdioPhy::frame_write(unsigned dev, uint16_t v)
{
    const unsigned a = cur_[dev];
    if (dev == 1 && a == kCage) return; // read-only
    set_reg(dev, a, v);
    if (dev == 1 && a == kPageCmd) page_command(v);
    if (dev == 1 && a == kRdCmd) register_read(v);
}

// Page-read PHY: copies module bytes of 0xA0 to its registers.
void MdioPhy::page_command(uint16_t cmd)
{
    const unsigned start = cmd >> 8, kind = cmd & 0xff;
    if (kind != 2 && kind != 3) return;
    if (!cage_ || !cage_->present) {
        set_reg(1, kPageCmd, uint16_t(cmd + kPageFail));
        return;
    }
    const uint8_t *page = cage_->page(0xa0);
    const unsigned end = kind == 2 ? start + 1 : 256;
    for (unsigned r = start; r < end; ++r) set_reg(1, kPageBase + r, page[r]);
    set_reg(1, kPageCmd, uint16_t(cmd + 4));
}

// Register PHY: one module byte per command.
void MdioPhy::register_read(uint16_t cmd)
{
    const unsigned a = cmd >> 8, r = cmd & 0xff;
    uint8_t *page = cage_ && cage_->present && (a & 1u) ? cage_->page(a) : nullptr;
    if (!page) {
        set_reg(1, kRdStatus, 2);
        return;
    }
    set_reg(1, kRdData, uint16_t(page[r] << 8));
    set_reg(1, kRdStatus, 1);
}

uint16_t MdioPhy::reg(unsigned dev, unsigned addr) const
{
    if (dev == 1 && addr == kCage) {
        const bool empty = !cage_ || !cage_->present;
        return uint16_t((empty ? 1u : 0u) | (reg(1, kLaser) & 1u) << 15);
    }
    auto it = regs_.find(key(dev, addr));
    return it == regs_.end() ? 0 : it->second;
}

void MdioPhy::set_reg(unsigned dev, unsigned addr, uint16_t v) { regs_[key(dev, addr)] = v; }

}  // namespace quorsim
