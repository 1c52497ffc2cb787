// sim_board.h - the simulated boards as the host's PCI side sees them.
//
// One board per unit.  Their memory is one sparse file, DIR/quorsim.mem,
// whose offsets are the simulated host's physical addresses:
//
//   0x0_d000_0000 + u MiB        BAR2 of board u (1 MiB, 32-bit)
//                                  +0x80000  copy of its configuration space
//                                  +0xffe00  processor registers (adapter
//                                            address 0xfffffe00 + r)
//   0x0_e000_0000                configuration window, 256 MiB, 4 KiB per
//                                  function at ((bus*32 + dev)*8 + fn) << 12:
//                                  00:00.0 host bridge, 00:01.0 PCI bridge
//                                  to bus 1, board u at 01:u.0
//   0x1_0000_0000 + u * 16 MiB   BAR0 of board u (16 MiB, 64-bit
//                                  prefetchable): adapter address x at +x,
//                                  2 MiB of SRAM
//
//   0x0_f000_0000                the host bridge's posting page
//                                  (quor_standin_post_t)
//
// Everything that reaches a board - the driver's configuration requests,
// the BAR0 mapping a raw endpoint gets, a tool mapping the file as physical
// memory - works on these same bytes.  Configuration writes have side
// effects (register rules, the vendor window) whether they come as the
// driver's requests or as stores a tool posts on the posting page; any
// other store into the file is just a store.
//
// Adapter SRAM below 0x10000 and above 0x1dff00 is where the firmware keeps
// its own data (header, string specs, buffers); the rest is free for tests.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "quor_io.h"
#include "sim_phy.h"

namespace quorsim {

// Processor variant of a board: its firmware's handoff major (0/1) and the
// lengths of its scan chains.
enum class KvVariant { kv7, kv7b };

// The scan chains a board keeps an image of: chain 0 (read), chain 2 (the
// one a scan write takes back) and the chain the JTAG bridge reads.
enum class ScanChain { c0, c2, jtag };

// What --board sets for one unit.
struct BoardSpec {
    uint16_t vid = 0x5153; // classified as current generation by the tools
    uint16_t did = 0x0008;
    uint8_t rev = 1;
    bool bar2 = true;        // BAR2 assigned
    bool eeprom_block = true; // window version 2 (block writes), else 0
    KvVariant variant = KvVariant::kv7;
    // The port's module cage, the product code in the string specs (empty:
    // the cage kind's own), the firmware's module service, and the module
    // (empty: the cage kind's built-in one).
    PlugKind plug = PlugKind::sfpp;
    std::string pc;
    bool fwxfp = true;
    bool module_none = false;
    std::vector<uint8_t> module;
};

// Parses "U=id=VID:DID,rev=N,bar2=off,eeprom=byte,variant=kv7|kv7b,
// plug=xfp|sfpp|qsfp,pc=CODE,fwxfp=off,module=FILE|none" into (*specs)[U];
// false with a reason.  specs grows as needed.
bool parse_board_spec(const std::string &text, int ports, std::vector<BoardSpec> *specs,
                      std::string *err);

class BoardModel {
public:
    static constexpr uint64_t kCfgBase = 0xe0000000ull;
    static constexpr uint64_t kCfgSize = 0x10000000ull;
    static constexpr uint64_t kBar0Base = 0x100000000ull;
    static constexpr uint64_t kBar0Size = 0x1000000ull;
    static constexpr uint64_t kBar2Base = 0xd0000000ull;
    static constexpr uint64_t kBar2Size = 0x100000ull;
    static constexpr uint32_t kSramSize = 0x200000;
    static constexpr uint32_t kRegAddr = 0xfffffe00u;   // adapter address of register 0
    static constexpr uint32_t kBar2Regs = 0xffe00;      // where BAR2 holds them
    static constexpr uint32_t kBar2CfgCopy = 0x80000;   // configuration copy in BAR2
    static constexpr unsigned kVsCap = 0xa0;            // vendor-specific capability
    static constexpr uint32_t kEepromSize = 0x10000;
    // Firmware data in SRAM: the string specs, the module service's buffer
    // (256 bytes and a status byte).
    static constexpr uint32_t kFwSpecs = 0x200;
    static constexpr uint32_t kFwXfpBuf = 0x400;
    // Processor register that bit-bangs the PHY's MDIO bus.
    static constexpr uint32_t kMdioReg = 0x1e1;

    ~BoardModel();
    // Creates DIR/quorsim.mem and DIR/pci/0000:00:00.0/config for n boards.
    int create(const std::string &dir, int n, const std::vector<BoardSpec> &specs, std::string *err);
    // Stops serving the posting page and removes the files.
    void remove();

    int mem_fd() const { return fd_; }
    int boards() const { return int(boards_.size()); }
    uint64_t bar0_phys(int u) const { return kBar0Base + uint64_t(u) * kBar0Size; }
    uint64_t bar2_phys(int u) const { return kBar2Base + uint64_t(u) * kBar2Size; }
    // Configuration space of board u inside the file.
    uint8_t *cfg(int u) const;

    // The driver's configuration requests: 0 or EINVAL (bad width, offset
    // or alignment; the board number is checked by the caller).
    int cfg_read(int u, quor_pci_cfg_t &r);
    int cfg_write(int u, const quor_pci_cfg_t &r);
    // A store posted on the posting page: a configuration write when it
    // falls in a board's configuration space, else a plain store into the
    // file; a store of another width, unaligned or outside the file is
    // dropped.
    void take_store(uint64_t phys, unsigned width, uint32_t value);

    // Adapter memory of board u as the window reaches it (SRAM and the
    // register page); other addresses read 0xff and ignore writes.
    uint8_t adapter_read(int u, uint32_t a) const;
    void adapter_write(int u, uint32_t a, uint8_t v);
    // EEPROM byte (for tests and the firmware model).
    uint8_t eeprom(int u, uint32_t a);
    // PHY register of board u's port (for tests); 0 for a board that is
    // not there.
    uint16_t phy_reg(int u, unsigned dev, unsigned addr);
    // Copies through the window's path to adapter memory and registers,
    // under the board's lock (the JTAG bridge uses these).
    void mem_read(int u, uint32_t a, uint8_t *buf, size_t n);
    void mem_write(int u, uint32_t a, const uint8_t *buf, size_t n);

    // Bytes of a chain image on board u (by its variant), in the order a
    // scan read returns them.
    size_t scan_len(int u, ScanChain c) const;
    std::vector<uint8_t> scan_image(int u, ScanChain c);
    // Sets an image; false when the board is not there or the length is not
    // the chain's.
    bool set_scan(int u, ScanChain c, const std::vector<uint8_t> &img);

    // Link of port 0 or 1 of board u as the failover firmware sees it
    // (window mode 12); false for a board that is not there.
    bool set_link(int u, int port, bool up);
    // Window version byte, or -1: no vendor capability at all.  The
    // failover settings survive the capability being taken away.
    bool set_vscap(int u, int version);
    // One line on the window and the failover firmware; empty for a board
    // that is not there.
    std::string vscap_status(int u);

private:
    struct Board {
        BoardSpec spec;
        std::mutex mu;
        std::vector<uint8_t> eeprom;
        uint32_t latch = 0;     // EEPROM address latched by the last read-address write
        uint32_t block_at = 0;  // next EEPROM byte of a block write
        bool vs_linked = true;  // capability 9 is in the list
        // Failover firmware: configuration word, active port (3: none) and
        // the two links.
        uint32_t fo_config = 0;
        uint8_t fo_active = 0;
        uint64_t fo_writes = 0; // configuration words written
        bool link[2] = {true, true};
        ModuleCage cage;
        MdioPhy phy;
        uint8_t fw_port = 0; // port byte the module service answers to
        std::vector<uint8_t> chain[3]; // by ScanChain
    };
    uint8_t *phys(uint64_t a) const { return map_ + a; }
    void build_config(int u);
    void window_effects(int u, Board &b, unsigned off, unsigned width);
    void vs_header(int u, const Board &b, int version);
    void sync_copy(int u);
    void write_fw_header(int u);
    void fw_command(int u, Board &b, uint32_t word);
    // Capture request: chains 0 and 2 into adapter memory; scan write: chain
    // 2 back from it.  Caller holds the board's lock.
    void scan_capture(int u, Board &b);
    void scan_take_back(int u, Board &b);
    // The thread that answers the posting page.
    void serve_posts();
    void stop_posts();

    std::string path_, pci_dir_;
    int fd_ = -1;
    uint8_t *map_ = nullptr;
    uint64_t map_len_ = 0;
    std::vector<std::unique_ptr<Board>> boards_;
    std::thread poster_;
    std::atomic<bool> post_quit_{false};
};

}  // namespace quorsim
