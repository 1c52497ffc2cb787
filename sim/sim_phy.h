// sim_phy.h - a simulated board's port: the transceiver module in its cage,
// the 10G PHY on the MDIO bus that the processor's register 0x1e1 bit-bangs,
// and the firmware's module service behind window mode 10.
//
// The PHY sees every byte written to register 0x1e1 through the adapter's
// own paths (the configuration window, the JTAG bridge); a store through a
// BAR2 mapping is plain memory and never reaches it.
//
// Not thread-safe: the board model calls everything here under the board's
// lock.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

namespace quorsim {

enum class PlugKind { xfp, sfpp, qsfp };

// The module in a cage: the page of I2C addresses 0xA0/0xA1, then the page
// of 0xA2/0xA3.
struct ModuleCage {
    static constexpr size_t kBytes = 512;
    bool present = true;
    std::array<uint8_t, kBytes> bytes{};

    // The page an I2C address names (either of its two addresses), or null.
    uint8_t *page(unsigned i2c_addr);
    // The built-in module of a cage kind.
    static std::array<uint8_t, kBytes> builtin(PlugKind k);
};

// A clause-45 MDIO slave.  Frames are recognised on rising clock edges
// after a preamble of 32 ones; the slave answers reads during the 18 bits
// after the head (turnaround 1, 0, then 16 data bits) by pulling the open
// drain line low.
class MdioPhy {
public:
    struct Counts {
        uint64_t address = 0, write = 0, read = 0, read_inc = 0;
    };

    // Port address on the bus, the variant's bit encoding and the cage.
    void configure(unsigned port_addr, bool kv7b, ModuleCage *cage);
    // A write of the register byte.
    void bus_write(uint8_t v);
    // The register as read: bit 0 is the bus line, other bits as written.
    uint8_t bus_read() const;

    uint16_t reg(unsigned dev, unsigned addr) const;
    void set_reg(unsigned dev, unsigned addr, uint16_t v);
    const Counts &counts() const { return counts_; }

private:
    enum class St { idle, head, tail, out, skip };
    void clock(unsigned bit);
    uint16_t frame_read(unsigned dev, bool inc);
    void frame_write(unsigned dev, uint16_t v);
    void page_command(uint16_t cmd);
    void register_read(uint16_t cmd);
    bool master_line() const;

    unsigned port_ = 1;
    bool kv7b_ = false;
    ModuleCage *cage_ = nullptr;
    uint8_t last_ = 0; // byte last written
    bool clk_ = false;

    St st_ = St::idle;
    unsigned ones_ = 0, n_ = 0;
    uint32_t head_ = 0, tail_ = 0, out_ = 0;
    unsigned op_ = 0, dev_ = 0;
    uint16_t cur_[32] = {};
    std::unordered_map<uint32_t, uint16_t> regs_;
    Counts counts_;
};

// The firmware's module service of one board.  buf is the board's SRAM at
// the service buffer (256 bytes and the status byte).
// Returns the status byte of an access word.
uint8_t fw_module_access(uint32_t word, unsigned port_byte, ModuleCage &cage, uint8_t *buf);

// The string specs of a board: "PC=" and, for cages behind a PHY, "XFI=",
// as consecutive NUL-terminated strings.
std::vector<uint8_t> string_specs(PlugKind k, const std::string &pc, unsigned unit);
// The product code a cage kind carries by default.
const char *default_pc(PlugKind k);

}  // namespace quorsim
