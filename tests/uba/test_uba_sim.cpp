// The board access library against the simulated boards: both access
// methods see the same configuration spaces, boards open with their BARs
// mapped, and adapter memory and the EEPROM agree through every way in.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "../sim/raw_client.h"
#include "child.h"
#include "quor_io.h"
#include "sim_board.h"
#include "test_support.h"
#include "uba.h"
#include "zal_internal.h"

using ubatest::ChildResult;
using ubatest::InChild;

namespace {

class UbaSim : public kpttest::SimTest {
protected:
    void Start(int ports, std::vector<std::string> boards, const char *method = "zalcfg")
    {
        alarm(60);
        for (const char *e : {"UBA_MMCONF", "UBA_KV7_VID", "UBA_KV7_DID", "UBA_VERBOSE"}) unsetenv(e);
        setenv("UBA_PCI", method, 1);
        opts_.ports = ports;
        opts_.boards = std::move(boards);
        StartSim();
        mem_ = dev_.file("quorsim.mem");
        setenv("UBA_DEVMEM", mem_.c_str(), 1);
        setenv("UBA_PCI_SYSFS", dev_.file("pci").c_str(), 1);
    }
    void TearDown() override
    {
        for (uba_nic *n : nics_) free(n);
        SimTest::TearDown();
    }
    // Board handles are the caller's; the test gives them back at the end.
    uba_nic *OpenE(int unit, int mask, int flags)
    {
        uba_nic *n = uba_open_e(unit, mask, flags);
        if (n) nics_.push_back(n);
        return n;
    }
    uba_nic *Open(int unit, int mask, int flags)
    {
        uba_nic *n = uba_open(unit, mask, flags);
        nics_.push_back(n);
        return n;
    }
    std::vector<pci_dev_t> ScanWith(int method)
    {
        uba_pci_method(unsigned(method));
        pci_scan_bus(pci_alloc());
        std::vector<pci_dev_t> v;
        for (pci_dev_t d = uba_pci.pci->devices; d; d = d->next) v.push_back(d);
        return v;
    }
    // Bytes of the physical memory file.
    std::vector<uint8_t> FileAt(uint64_t at, size_t n)
    {
        std::vector<uint8_t> b(n);
        int fd = open(mem_.c_str(), O_RDONLY);
        EXPECT_EQ(pread(fd, b.data(), n, off_t(at)), ssize_t(n));
        close(fd);
        return b;
    }
    void FilePut(uint64_t at, const std::vector<uint8_t> &b)
    {
        int fd = open(mem_.c_str(), O_WRONLY);
        EXPECT_EQ(pwrite(fd, b.data(), b.size(), off_t(at)), ssize_t(b.size()));
        close(fd);
    }
    std::string mem_;
    std::vector<uba_nic *> nics_;
};

struct Seen {
    uint16_t vid, did, cls;
    std::vector<uint64_t> bars;
    bool operator==(const Seen &) const = default;
};
Seen Of(pci_dev_t d) { return {d->vendor_id, d->device_id, d->device_class, {d->base_addr, d->base_addr + 6}}; }

TEST_F(UbaSim, BothMethodsSeeTheSameBoards)
{
    Start(3, {"1=id=10e8:8043,rev=7", "2=bar2=off,eeprom=byte"});
    auto z = ScanWith(UBA_PCI_ZALCFG);
    ASSERT_EQ(z.size(), 3u);
    std::vector<Seen> via_driver;
    for (pci_dev_t d : z) via_driver.push_back(Of(d));
    EXPECT_EQ(std::string(z[1]->name), "02:01.0"); // letter C, board 1
    EXPECT_EQ(z[0]->base_addr[0], 0x10000000cull);
    EXPECT_EQ(z[0]->base_addr[2], 0xd0000000u);
    EXPECT_EQ(z[2]->base_addr[2], 0u);
    EXPECT_EQ(z[1]->device_id, 0x8043);

    auto m = ScanWith(UBA_PCI_MM);
    ASSERT_EQ(m.size(), 5u); // host bridge, PCI bridge, three boards
    EXPECT_EQ(std::string(m[0]->name), "00:00.0");
    EXPECT_EQ(m[0]->device_class, 0x0600);
    ASSERT_TRUE(m[1]->is_bridge);
    EXPECT_EQ(m[1]->child_nb, 3u);
    std::vector<Seen> via_window;
    for (size_t i = 2; i < m.size(); ++i) {
        via_window.push_back(Of(m[i]));
        EXPECT_EQ(m[i]->parent, m[1]);
    }
    EXPECT_EQ(via_window, via_driver);
    EXPECT_EQ(uba_find_capability_n(m[2], UBA_VS_CAP_ID, 0), 0xa0u);
    EXPECT_EQ(uba_find_ext_capability(m[2], 3), 0x140u);
}

TEST_F(UbaSim, RegistersWrittenOneWayReadBackTheOther)
{
    Start(2, {});
    auto z = ScanWith(UBA_PCI_ZALCFG);
    pci_dev_t zd = z[1];
    pci_write_byte(zd, 0x3c, 0x66);
    // Read-only registers keep their value; only the command bits change.
    pci_write_word(zd, 0, 0x1234);
    pci_write_long(zd, 0x10, 0xffffffff);
    pci_write_word(zd, 4, 0xffff);
    EXPECT_EQ(pci_read_word(zd, 4), 0x0547u);
    EXPECT_EQ(pci_read_word(zd, 0), unsigned(UBA_KV7_DEFAULT_VID));
    EXPECT_EQ(pci_read_long(zd, 0x10), 0x0100000cu);
    // The BAR2 copy follows each write.
    EXPECT_EQ(FileAt(0xd0100000ull + 0x80000 + 0x3c, 1)[0], 0x66);
    // Beyond the standard header the driver answers 0; extended space is
    // not reachable this way.
    EXPECT_EQ(pci_read_long(zd, 0x100), 0u);
    kpttest::StderrCapture cap;
    EXPECT_EQ(uba_find_ext_capability(zd, 3), 0u);
    EXPECT_EQ(cap.Finish(), "Warning:uba_find_ext_capability:02:01.0:ext-conf unreadable with \"zalcfg\"\n");

    auto m = ScanWith(UBA_PCI_MM);
    pci_dev_t md = m[3];
    EXPECT_EQ(std::string(md->name), "01:01.0");
    EXPECT_EQ(pci_read_byte(md, 0x3c), 0x66u);
    EXPECT_EQ(pci_read_word(md, 4), 0x0547u);
    // Stores into the window reach the board under the same rules.
    pci_write_byte(md, 0x3c, 0x55);
    pci_write_word(md, 0, 0x1234);
    pci_write_word(md, 4, 0xfff6);
    EXPECT_EQ(pci_read_word(md, 0), unsigned(UBA_KV7_DEFAULT_VID));
    EXPECT_EQ(pci_read_word(md, 4), 0x0546u);
    auto z2 = ScanWith(UBA_PCI_ZALCFG);
    EXPECT_EQ(pci_read_byte(z2[1], 0x3c), 0x55u);
    EXPECT_EQ(pci_read_word(z2[1], 4), 0x0546u);
    EXPECT_EQ(pci_read_byte(z2[0], 0x3c), 0x0bu);
}

TEST_F(UbaSim, OpenEachBoard)
{
    Start(3, {"1=bar2=off", "2=id=10e8:8043,rev=2"});
    EXPECT_EQ(uba_num_dev(UBA_KV), 2);
    EXPECT_EQ(uba_num_dev(UBA_UNKNOWN), 1);

    uba_nic *a = OpenE(0, UBA_KV, 0);
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(a->type, UBA_KV);
    EXPECT_EQ(a->rev, 1);
    EXPECT_EQ(a->phys, 0x100000000ull);
    EXPECT_EQ(a->phys2, 0xd0000000ull);
    EXPECT_EQ(a->sram_size, 0x200000u);
    EXPECT_EQ(a->bar2_size, 0x100000u);
    EXPECT_TRUE(a->base && a->base2);
    EXPECT_EQ(a->cfg, nullptr);
    EXPECT_EQ(a->cfg_cap[0x01], 0x40);
    EXPECT_EQ(a->cfg_cap[0x05], 0x50);
    EXPECT_EQ(a->cfg_cap[0x10], 0x60);
    EXPECT_EQ(a->cfg_cap[UBA_VS_CAP_ID], 0xa0);
    // BAR2 holds the configuration copy and the register page.
    EXPECT_EQ(memcmp(a->base2 + 0x80000, FileAt(0xe0000000ull + 0x100000, 64).data(), 64), 0);

    kpttest::StderrCapture cap;
    uba_nic *b = OpenE(1, UBA_KV, 0);
    uba_nic *none = OpenE(2, UBA_KV, 0);
    uba_nic *neg = OpenE(-1, UBA_KV, 0);
    uba_nic *skip = OpenE(0, UBA_KV, UBA_BAR_SKIP);
    uba_nic *unk = OpenE(0, UBA_UNKNOWN, 0);
    EXPECT_EQ(cap.Finish(), "Warning NIC 5153:0008 (rev 1) at slot: 02:01: BAR2 not initialized\n"
                            "FATAL ERROR:trying to open Quornet board instance 2: NOT FOUND\n"
                            "FATAL ERROR:trying to open Quornet board instance -1: NOT FOUND\n");
    ASSERT_NE(b, nullptr);
    EXPECT_TRUE(b->base != nullptr);
    EXPECT_EQ(b->base2, nullptr);
    EXPECT_EQ(b->bar2_size, 0u);
    EXPECT_EQ(none, nullptr);
    EXPECT_EQ(neg, nullptr);
    ASSERT_NE(skip, nullptr);
    EXPECT_TRUE(!skip->base && !skip->base2 && !skip->cfg);
    EXPECT_EQ(skip->cfg_cap[UBA_VS_CAP_ID], 0xa0);
    ASSERT_NE(unk, nullptr);
    EXPECT_EQ(unk->type, UBA_UNKNOWN);
    EXPECT_TRUE(!unk->base && !unk->base2);

    // Configuration through the BAR2 window; not with both BARs skipped.
    setenv("UBA_MMCONF", "1", 1);
    uba_nic *w = OpenE(0, UBA_KV, 0);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(w->cfg, w->base2 + 0x80000);
    EXPECT_EQ(uba_pci_read_word(w, 2), UBA_KV7_DEFAULT_DID);
    uba_nic *ws = OpenE(0, UBA_KV, UBA_BAR_SKIP);
    ASSERT_NE(ws, nullptr);
    EXPECT_TRUE(!ws->cfg && !ws->base && !ws->base2);

    ChildResult gone = InChild([] { uba_open(5, UBA_KV, 0); });
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.err, "FATAL ERROR:trying to open Quornet board instance 5: NOT FOUND\n");
}

TEST_F(UbaSim, OpenThroughTheWindowMethodToo)
{
    Start(1, {});
    // An empty UBA_PCI counts as unset: the walk from the top takes mm,
    // whose probe finds the window.
    ChildResult any = InChild([] {
        setenv("UBA_PCI", "", 1);
        printf("%s\n", pci_alloc()->ops->name);
    });
    EXPECT_EQ(any.out, "mm\n");
    setenv("UBA_VERBOSE", "yes", 1);
    kpttest::StderrCapture cap;
    uba_nic *a = OpenE(0, UBA_KV, 0);
    EXPECT_EQ(cap.Finish(), "uba: Ignoring method: mm\nuba: Choosing: zalcfg\n");
    ASSERT_NE(a, nullptr);
    EXPECT_EQ(std::string(uba_pci.pci->ops->name), "zalcfg");
    uba_pci_method(UBA_PCI_MM);
    uba_nic *b = OpenE(0, UBA_KV, 0); // BAR0 from the memory file this time
    ASSERT_NE(b, nullptr);
    a->base[0x12345] = 0x9c;
    EXPECT_EQ(b->base[0x12345], 0x9c);
    EXPECT_EQ(b->cfg_cap[UBA_VS_CAP_ID], 0xa0);
}

TEST_F(UbaSim, AdapterMemoryIsOneMemory)
{
    Start(1, {});
    uba_nic *nic = Open(0, UBA_KV, 0);
    nram_t win, bar;
    nram_open_cfg_pio(&win, nic);
    nram_open_pio(&bar, nic->base);

    std::vector<uint8_t> pat(1001);
    for (size_t i = 0; i < pat.size(); ++i) pat[i] = uint8_t(i * 13 + 5);
    nram_memcpy_write(&win, 0x20001, pat.data(), pat.size());
    EXPECT_EQ(memcmp(nic->base + 0x20001, pat.data(), pat.size()), 0);
    EXPECT_EQ(FileAt(nic->phys + 0x20001, pat.size()), pat);
    std::vector<uint8_t> back(pat.size());
    nram_memcpy_read(&bar, back.data(), 0x20001, back.size());
    EXPECT_EQ(back, pat);

    // Words go both ways in adapter byte order.
    const uint8_t w[4] = {0x12, 0x34, 0x56, 0x78};
    nram_memcpy_write(&bar, 0x30000, w, 4);
    EXPECT_EQ(__builtin_bswap32(nram_pio_read_32(&win, 0x30000)), 0x12345678u);
    uint8_t two[2] = {0xab, 0xcd};
    nram_memcpy_write(&win, 0x30010, two, 2);
    EXPECT_EQ(nic->base[0x30010], 0xab);
    EXPECT_EQ(nic->base[0x30011], 0xcd);

    // Registers: adapter address 0xfffffe00 + r is BAR2 + 0xffe00 + r.
    nram_t regs = win;
    regs.offset = 0xfffffe00u;
    nram_memcpy_write(&regs, 0x10, w, 4);
    EXPECT_EQ(memcmp(nic->base2 + 0xffe10, w, 4), 0);
    // Nothing answers between SRAM and the registers.
    uint8_t hole[4];
    nram_memcpy_read(&win, hole, 0x300000, 4);
    EXPECT_EQ(std::vector<uint8_t>(hole, hole + 4), std::vector<uint8_t>(4, 0xff));
    nram_memset(&win, 0x300000, 0, 8);
    nram_memcpy_read(&win, hole, 0x300000, 4);
    EXPECT_EQ(hole[0], 0xff);

    nram_memset(&bar, 0x40000, 0x5a, 1000);
    std::vector<uint8_t> filled(1000);
    nram_memcpy_read(&win, filled.data(), 0x40000, 1000);
    EXPECT_EQ(filled, std::vector<uint8_t>(1000, 0x5a));
}

TEST_F(UbaSim, EepromRoundTripsInBothModes)
{
    Start(2, {"1=eeprom=byte"});
    for (int unit = 0; unit < 2; ++unit) {
        uba_nic *nic = Open(unit, UBA_KV, 0);
        EXPECT_EQ(uba_pci_read_byte(nic, 0xa0 + UBA_VS_VERSION), unit == 0 ? 2 : 0);
        nram_t ee;
        nram_open_eeprom(&ee, nic);
        uint8_t head[300];
        nram_memcpy_read(&ee, head, 0, sizeof head);
        for (int i = 0; i < 300; ++i) ASSERT_EQ(head[i], i < 256 ? i : 0xff) << i;

        // 0xff bytes among the data: over 0xff they may be skipped, over
        // other bytes they must be written.
        std::vector<uint8_t> data(37);
        for (size_t i = 0; i < data.size(); ++i) data[i] = (i % 5 == 0) ? 0xff : uint8_t(0x80 + i + unit);
        nram_memcpy_write(&ee, 3, data.data(), data.size());        // over 0..255
        nram_memcpy_write(&ee, 0x9001, data.data(), data.size());   // over erased bytes
        std::vector<uint8_t> got(data.size());
        nram_memcpy_read(&ee, got.data(), 3, got.size());
        EXPECT_EQ(got, data) << "unit " << unit;
        nram_memcpy_read(&ee, got.data(), 0x9001, got.size());
        EXPECT_EQ(got, data) << "unit " << unit;
        uint8_t edge[2];
        nram_memcpy_read(&ee, edge, 2, 1);
        nram_memcpy_read(&ee, edge + 1, 40, 1);
        EXPECT_EQ(edge[0], 2);
        EXPECT_EQ(edge[1], 40);
    }
}

TEST_F(UbaSim, RefusalsAreOneLineAndTouchNothing)
{
    Start(1, {});
    uba_nic *nic = Open(0, UBA_KV, 0);
    pci_dev_t d = nic->dev;
    auto snapshot = [&] { return FileAt(0xe0000000ull + 0x100000, 4096); };
    const std::vector<uint8_t> before = snapshot();

    const std::vector<std::pair<std::function<void()>, std::string>> refusals = {
        {[&] { pci_write_byte(d, 0x1003c, 0x99); }, "outside the configuration space"},
        {[&] { pci_write_long(d, 4094, 0); }, "outside the configuration space"},
        {[&] { uba_pci_write_long(nic, -4, 0); }, "outside the configuration space"},
        {[&] { uba_ioremap(nic, 6, 4096); }, "02:00.0:Invalid bar 6"},
        {[&] { uba_ioremap(nic, -1, 4096); }, "02:00.0:Invalid bar -1"},
        {[&] { uba_ioremap(nic, 4, 4096); }, "02:00.0:Invalid bar 4"},
        {[&] {
             nram_t n;
             nram_open_pio(&n, nic->base);
             nram_pio_read_32(&n, 0xfffffe);
         },
         "outside the mapping"},
    };
    for (auto &[fn, text] : refusals) {
        ChildResult r = InChild(fn);
        EXPECT_EQ(r.status, 1) << text;
        EXPECT_EQ(r.err.rfind("ERROR:", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
    EXPECT_EQ(snapshot(), before);

    // A vendor window placed where it would not fit: refused before any
    // window register is written.
    // (Read-only bytes: edited in the memory file behind the board's back.)
    const uint64_t cfg0 = 0xe0000000ull + (1 * 32 + 0) * 8 * 4096;
    FilePut(cfg0 + 0x61, {0xe4});
    FilePut(cfg0 + 0xe4, {UBA_VS_CAP_ID, 0});
    uba_nic *bad = Open(0, UBA_KV, 0);
    ASSERT_EQ(bad->cfg_cap[UBA_VS_CAP_ID], 0xe4);
    const std::vector<uint8_t> edited = snapshot();
    ChildResult r = InChild([&] {
        nram_t n;
        nram_open_eeprom(&n, bad);
        uint8_t b[4] = {1, 2, 3, 4};
        nram_memcpy_write(&n, 0, b, 4);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Cannot handle card with vendor cap=0xe4"), std::string::npos) << r.err;
    EXPECT_EQ(snapshot(), edited);
}

TEST_F(UbaSim, SimulatorRefusesMalformedConfigurationRecords)
{
    Start(2, {});
    kpttest::RawClient c(dev_.file("quorCp0"));
    ASSERT_TRUE(c.ok());
    auto rd = [&](uint32_t board, uint16_t off, uint16_t width) {
        quor_pci_cfg_t r = {board, off, width, 0};
        int e = c.Call(QUOR_PCI_CFG_READ, &r);
        return std::make_pair(e, r.value);
    };
    EXPECT_EQ(rd(0, 0, 3).first, EINVAL);
    EXPECT_EQ(rd(0, 0x3d, 2).first, EINVAL);
    EXPECT_EQ(rd(0, 4094, 4).first, EINVAL);
    EXPECT_EQ(rd(0, 0, 0).first, EINVAL);
    EXPECT_EQ(rd(2, 0, 4).first, EINVAL);
    quor_pci_cfg_t w = {0, 0xfffc, 4, 0x11223344};
    EXPECT_EQ(c.Call(QUOR_PCI_CFG_WRITE, &w), EINVAL);
    uint8_t shortrec[11] = {};
    ASSERT_TRUE(c.Send(9, QUOR_PCI_CFG_READ, shortrec, sizeof shortrec));
    EXPECT_EQ(c.Recv().rc, EINVAL);
    // The driver's board count bounds the boards.
    Ctl("board-count 1");
    EXPECT_EQ(rd(1, 0, 4).first, EINVAL);
    Ctl("board-count auto");
    auto ok = rd(1, 0, 4);
    EXPECT_EQ(ok.first, 0);
    EXPECT_EQ(ok.second, uint32_t(UBA_KV7_DEFAULT_DID) << 16 | UBA_KV7_DEFAULT_VID);

    // A connection binds once.
    EXPECT_EQ(c.CallNoRecord(QUOR_SET_RAW_ENDPOINT), 0);
    EXPECT_EQ(c.CallNoRecord(QUOR_SET_RAW_ENDPOINT), EBUSY);

    // BAR0 maps through the device layer, never past its 16 MiB.
    zal_handle_t h = -1;
    ASSERT_EQ(zal_open(1, -2, &h, QUOR_PRODUCT_KPT), 0);
    ASSERT_EQ(zal_ioctl(h, QUOR_SET_RAW_ENDPOINT, nullptr, 0), 0);
    void *p = zal_mmap(nullptr, 0x1000, h, QUOR_RAW_BAR0_MAP_OFFSET + 0xfff000, 0);
    ASSERT_NE(p, MAP_FAILED);
    static_cast<uint8_t *>(p)[7] = 0x42;
    EXPECT_EQ(FileAt(0x101000000ull + 0xfff007, 1)[0], 0x42);
    munmap(p, 0x1000);
    EXPECT_EQ(zal_mmap(nullptr, 0x2000, h, QUOR_RAW_BAR0_MAP_OFFSET + 0xfff000, 0), MAP_FAILED);
    EXPECT_EQ(zal_mmap(nullptr, 0x2000, h, QUOR_RAW_BAR0_MAP_OFFSET - 0x1000, 0), MAP_FAILED);
    zal_close(h);
}

TEST(SimBoardSpec, ParsesAndRefuses)
{
    std::vector<quorsim::BoardSpec> s;
    std::string err;
    ASSERT_TRUE(quorsim::parse_board_spec("1=id=10E8:8043,rev=7,bar2=off,eeprom=byte", 2, &s, &err)) << err;
    ASSERT_EQ(s.size(), 2u);
    EXPECT_EQ(s[1].vid, 0x10e8);
    EXPECT_EQ(s[1].did, 0x8043);
    EXPECT_EQ(s[1].rev, 7);
    EXPECT_FALSE(s[1].bar2);
    EXPECT_FALSE(s[1].eeprom_block);
    EXPECT_EQ(s[0].did, 0x0008);
    for (const char *bad : {"2=rev=1", "x=rev=1", "0=id=12345:1", "0=id=10e8", "0=rev=300", "0=bar2=maybe", "0=colour=red"})
        EXPECT_FALSE(quorsim::parse_board_spec(bad, 2, &s, &err)) << bad;
}

}  // namespace
