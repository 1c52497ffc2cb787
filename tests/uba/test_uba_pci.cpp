// Configuration access on crafted stand-ins: the mm method's window base for
// every known host bridge, the bus scan with its bridge tree, filters,
// capability walks and board classification.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <functional>
#include <string>
#include <vector>

#include "child.h"
#include "devmem.h"
#include "uba.h"

using namespace ubatest;

namespace {

struct ScanFixture : ::testing::Test {
    void SetUp() override
    {
        setenv("UBA_PCI", "mm", 1);
        unsetenv("UBA_KV7_VID");
        unsetenv("UBA_KV7_DID");
        unsetenv("UBA_VERBOSE");
    }
    std::vector<pci_dev_t> Scan()
    {
        pci_scan_bus(pci_alloc());
        std::vector<pci_dev_t> v;
        for (pci_dev_t d = uba_pci.pci->devices; d; d = d->next) v.push_back(d);
        return v;
    }
    static std::vector<std::string> Names(const std::vector<pci_dev_t> &v)
    {
        std::vector<std::string> n;
        for (pci_dev_t d : v) n.push_back(d->name);
        return n;
    }
    pci_dev_t Find(const char *name)
    {
        for (pci_dev_t d = uba_pci.pci->devices; d; d = d->next)
            if (std::string(d->name) == name) return d;
        return nullptr;
    }
    DevMem mem_;
};

// Each host bridge of the table gives its window base (and size) from its
// own registers; anything else leaves the method unusable.
TEST_F(ScanFixture, EveryHostBridgeRowFindsTheWindow)
{
    struct Row {
        const char *what;
        uint16_t did, vid;
        unsigned reg, width;
        uint32_t value;
        uint64_t base;
        uint32_t size;
    };
    const Row rows[] = {
        {"25c0 via 00:10.0", 0x25c0, 0x8086, 0, 0, 0, 0xe0000000, 0x10000000},
        {"25d8 via 00:10.0", 0x25d8, 0x8086, 0, 0, 0, 0xe0000000, 0x10000000},
        {"2980 256M", 0x2980, 0x8086, 0x60, 4, 0xe0000001, 0xe0000000, 0x10000000},
        {"29e0 64M", 0x29e0, 0x8086, 0x60, 4, 0xe0000005, 0xe0000000, 0x04000000},
        {"2a00 disabled", 0x2a00, 0x8086, 0x60, 4, 0xe0000000, 0, 0x10000000},
        {"3590 fixed", 0x3590, 0x8086, 0, 0, 0, 0xe0000000, 0x10000000},
        {"5956", 0x5956, 0x1002, 0x1c, 4, 0xe000001f, 0xe0000000, 0x10000000},
        {"005e", 0x005e, 0x10de, 0x90, 2, 0x000e, 0xe0000000, 0x10000000},
        {"0369", 0x0369, 0x10de, 0x90, 2, 0x0070, 0xe0000000, 0x10000000},
        {"unknown", 0x1234, 0x8086, 0, 0, 0, 0, 0x10000000},
    };
    pci_access *mm = pci_methods[UBA_PCI_MM];
    ASSERT_NE(mm, nullptr);
    for (const Row &r : rows) {
        Cfg hb(r.vid, r.did, 0x0600);
        if (r.width == 4) hb.W32(r.reg, r.value);
        if (r.width == 2) hb.W16(r.reg, uint16_t(r.value));
        mem_.Host(0, 0, 0, hb);
        Cfg dev10(0x8086, 0x25e0, 0x0600);
        dev10.W32(0x64, 0x0000e000);
        mem_.Host(0, 0x10, 0, dev10);
        mm->u.mm->phy_addr = 0;
        int rc = mm->ops->probe(mm);
        EXPECT_EQ(rc, r.base ? 0 : -1) << r.what;
        EXPECT_EQ(mm->u.mm->phy_addr, r.base) << r.what;
        if (r.base) {
            EXPECT_EQ(mm->u.mm->size, r.size) << r.what;
        }
    }

    // 25c0 whose 00:10.0 does not answer; 2980 whose file is too short for
    // register 0x60; a missing 00:00.0 with the bridge at 00:01.0 instead.
    mem_.DropHost(0, 0x10, 0);
    mem_.Host(0, 0, 0, Cfg(0x8086, 0x25c0, 0x0600));
    mm->u.mm->phy_addr = 0;
    EXPECT_EQ(mm->ops->probe(mm), -1);
    Cfg hb(0x8086, 0x2980, 0x0600);
    hb.W32(0x60, 0xe0000001);
    mem_.Host(0, 0, 0, hb, 64);
    mm->u.mm->phy_addr = 0;
    EXPECT_EQ(mm->ops->probe(mm), -1);
    mem_.DropHost(0, 0, 0);
    mem_.Host(0, 1, 0, Cfg(0x8086, 0x3590, 0x0600));
    mm->u.mm->phy_addr = 0;
    EXPECT_EQ(mm->ops->probe(mm), 0);
    EXPECT_EQ(mm->u.mm->phy_addr, 0xe0000000u);
}

TEST_F(ScanFixture, NoUsableMethodStopsTheProgram)
{
    mem_.Host(0, 0, 0, Cfg(0x8086, 0x1234, 0x0600));
    setenv("UBA_VERBOSE", "1", 1);
    ChildResult r = InChild([] { pci_alloc(); });
    EXPECT_EQ(r.status, 1);
    // Every other method is passed over by name; mm's probe fails.
    EXPECT_NE(r.err.find("uba: Ignoring method: zalcfg\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("uba: Ignoring mm, probe failed\n"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("UBA: No PCI access method available\n"), std::string::npos) << r.err;
    EXPECT_EQ(r.err.find("Choosing"), std::string::npos);

    setenv("UBA_PCI", "fbsd", 1); // not compiled here
    unsetenv("UBA_VERBOSE");
    ChildResult f = InChild([] { pci_alloc(); });
    EXPECT_EQ(f.status, 1);
    EXPECT_TRUE(f.err.rfind("ERROR:uba_pci.cpp:", 0) == 0 &&
                f.err.find(":UBA: No PCI access method available\n") != std::string::npos)
        << f.err;

    ChildResult bad = InChild([] { uba_pci_method(4); });
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("Application request invalid uba pci method 4\n"), std::string::npos);
}

TEST_F(ScanFixture, ScanBuildsTheBridgeTree)
{
    mem_.StandardHostBridge();
    mem_.Put(0, 1, 0, Cfg::Bridge(1));
    for (int d = 0; d < 5; ++d) mem_.Put(1, d, 0, Cfg(0x1234, uint16_t(d + 1)));
    mem_.Put(0, 2, 0, Cfg::Bridge(2));
    // A switch port on bus 2: the slots after it are not probed.
    Cfg sw(0x10b5, 0x8532, 0x0604, 1);
    sw.W8(0x19, 3);
    mem_.Put(2, 0, 0, sw);
    mem_.Put(2, 1, 0, Cfg(0x1234, 0x0099));
    mem_.Put(3, 0, 0, Cfg(0x1234, 0x0033));
    // Multi-function slot; with mm every function is probed anyway.
    mem_.Put(0, 3, 0, Cfg(0x1234, 0x0030, 0x0200, 0x80));
    mem_.Put(0, 3, 5, Cfg(0x1234, 0x0035));
    mem_.Put(0, 4, 2, Cfg(0x1234, 0x0042)); // no function 0
    // A 64-bit BAR holds the whole address in its slot.
    Cfg bars(0x1234, 0x0050);
    bars.W32(0x10, 0x0000000c).W32(0x14, 0x00000001).W32(0x18, 0xd0000000).W8(60, 11);
    mem_.Put(4, 7, 0, bars);

    auto devs = Scan();
    EXPECT_EQ(Names(devs), (std::vector<std::string>{"00:00.0", "00:01.0", "00:02.0", "00:03.0", "00:03.5", "00:04.2",
                                                      "01:00.0", "01:01.0", "01:02.0", "01:03.0", "01:04.0", "02:00.0",
                                                      "03:00.0", "04:07.0"}));
    pci_dev_t b1 = Find("00:01.0");
    ASSERT_TRUE(b1 && b1->is_bridge);
    EXPECT_EQ(b1->secondary_bus, 1);
    EXPECT_EQ(b1->child_nb, 4u);
    for (unsigned i = 0; i < 4; ++i) EXPECT_EQ(b1->child[i]->device_id, i + 1);
    EXPECT_EQ(Find("01:04.0")->parent, b1);
    EXPECT_EQ(Find("02:00.0")->parent, Find("00:02.0"));
    EXPECT_EQ(Find("03:00.0")->parent, Find("02:00.0"));
    EXPECT_EQ(Find("00:01.0")->parent, nullptr);
    EXPECT_EQ(Find("04:07.0")->parent, nullptr);
    EXPECT_EQ(Find("00:03.0")->device_class, 0x0200);
    pci_dev_t b = Find("04:07.0");
    EXPECT_EQ(b->base_addr[0], 0x10000000cull);
    EXPECT_EQ(b->base_addr[1], 0u);
    EXPECT_EQ(b->base_addr[2], 0xd0000000u);
    EXPECT_EQ(b->irq, 11);

    // A second scan returns the list as it is; a rescan rebuilds it.
    pci_dev_t first = uba_pci.pci->devices;
    pci_scan_bus(pci_alloc());
    EXPECT_EQ(uba_pci.pci->devices, first);
    uba_pci_rescan();
    EXPECT_EQ(uba_pci.pci->devices, nullptr);
    EXPECT_EQ(Scan().size(), devs.size());
}

TEST_F(ScanFixture, TwoBridgesForOneBusStopTheScan)
{
    mem_.StandardHostBridge();
    mem_.Put(0, 1, 0, Cfg::Bridge(1));
    mem_.Put(0, 6, 0, Cfg::Bridge(1));
    ChildResult r = InChild([this] { Scan(); });
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(r.err.rfind("ERROR:uba_pci.cpp:", 0) == 0 && r.err.find(":Two bridges claim bus number 1\n") != std::string::npos &&
                r.err.find('\n') == r.err.size() - 1)
        << r.err;
}

TEST_F(ScanFixture, FiltersSelectBySlotAndId)
{
    mem_.StandardHostBridge();
    mem_.Put(2, 0, 0, Cfg(0x10e8, 0x8043).W8(8, 7));
    mem_.Put(2, 0, 1, Cfg(0x10e8, 0x8043).W8(8, 3));
    mem_.Put(2, 3, 0, Cfg(0x1234, 0x8043));
    mem_.Put(5, 0, 0, Cfg(0x10e8, 0x0001));
    Scan();

    struct Case {
        uba_criteria_type_t type;
        const char *text;
        pci_filter want;
        std::vector<std::string> match;
    };
    const Case cases[] = {
        {PCI_SELECT_SLOT, "0000:02:00.0", {-1, -1, 0, 2, 0, 0}, {"02:00.0"}},
        {PCI_SELECT_SLOT, "02:00.0", {-1, -1, -1, 2, 0, 0}, {"02:00.0"}},
        {PCI_SELECT_SLOT, "02", {-1, -1, -1, 2, -1, -1}, {"02:00.0", "02:00.1", "02:03.0"}},
        {PCI_SELECT_SLOT, "02:00", {-1, -1, -1, 2, 0, -1}, {"02:00.0", "02:00.1"}},
        {PCI_SELECT_ID, "10e8:8043", {0x10e8, 0x8043, -1, -1, -1, -1}, {"02:00.0", "02:00.1"}},
        {PCI_SELECT_ID, ":8043", {-1, 0x8043, -1, -1, -1, -1}, {"02:00.0", "02:00.1", "02:03.0"}},
        {PCI_SELECT_SLOT, "", {-1, -1, -1, -1, -1, -1}, {"00:00.0", "02:00.0", "02:00.1", "02:03.0", "05:00.0"}},
    };
    for (const Case &c : cases) {
        pci_filter f;
        uba_make_filter(c.type, c.text, &f);
        EXPECT_EQ(std::vector<int>({f.vid, f.did, f.domain, f.bus, f.slot, f.func}),
                  std::vector<int>({c.want.vid, c.want.did, c.want.domain, c.want.bus, c.want.slot, c.want.func}))
            << c.text;
        uba_criteria_t crit;
        crit.str = c.text;
        pci_dev_t *sel = nullptr;
        int n = -1;
        uba_select(c.type, crit, &sel, &n);
        std::vector<pci_dev_t> got(sel, sel + n);
        EXPECT_EQ(Names(got), c.match) << c.text;
        free(sel);
    }
    // The generation kind takes no text.
    pci_filter g;
    uba_make_filter(PCI_SELECT_QUOR_GENERATION, "02:00.0", &g);
    EXPECT_EQ(g.bus, -1);
    EXPECT_EQ(uba_num_dev(UBA_KV | UBA_PCI64), 2);
    EXPECT_EQ(uba_num_dev(UBA_KV), 1);
}

TEST_F(ScanFixture, CapabilityWalks)
{
    mem_.StandardHostBridge();
    Cfg c(0x1234, 0x0001);
    c.Caps(0x40).Cap(0x40, 5, 0x53).Cap(0x50, 5, 0x60).Cap(0x60, 8, 0x70).Cap(0x70, 8, 0x80).Cap(0x80, 0x10, 0);
    c.W8(0x63, 0x20);  // HyperTransport type 4 (a three-bit type)
    c.W8(0x73, 0x88);  // five-bit type 0x11
    c.W32(0x100, 0x0001u | 0x140u << 20);
    c.W32(0x140, 0x0003u | 0x183u << 20); // reserved low bits in the next pointer
    c.W32(0x180, 0xffffffffu);
    mem_.Put(6, 0, 0, c);
    Cfg loop(0x1234, 0x0002);
    loop.Caps(0x40).Cap(0x40, 1, 0x50).Cap(0x50, 5, 0x40);
    loop.W32(0x100, 0x0001u | 0x100u << 20); // extended list pointing at itself
    mem_.Put(6, 1, 0, loop);
    Cfg ff(0x1234, 0x0003);
    ff.Caps(0x40).Cap(0x40, 1, 0xff);
    mem_.Put(6, 2, 0, ff);
    Cfg none(0x1234, 0x0004);
    none.W8(0x34, 0x40).Cap(0x40, 5, 0); // status bit clear: no list
    mem_.Put(6, 3, 0, none);
    Scan();
    pci_dev_t d = Find("06:00.0");
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(uba_find_capability_n(d, 5, 0), 0x40u);
    EXPECT_EQ(uba_find_capability_n(d, 5, 1), 0x50u);
    EXPECT_EQ(uba_find_capability_n(d, 5, 2), 0u);
    EXPECT_EQ(uba_find_capability_n(d, 8, 1), 0x70u);
    EXPECT_EQ(uba_find_capability_n(d, 0x10, 0), 0x80u);
    EXPECT_EQ(uba_find_capability_n(d, 9, 0), 0u);
    EXPECT_EQ(uba_find_hyper_capability(d, 4, 0), 0x60u);
    EXPECT_EQ(uba_find_hyper_capability(d, 4, 1), 0u);
    EXPECT_EQ(uba_find_hyper_capability(d, 0x11, 0), 0x70u);
    EXPECT_EQ(uba_find_hyper_capability(d, 0x10, 0), 0u);
    EXPECT_TRUE(uba_can_access_ext_conf(d));
    EXPECT_EQ(uba_find_ext_capability(d, 1), 0x100u);
    EXPECT_EQ(uba_find_ext_capability(d, 3), 0x140u);
    EXPECT_EQ(uba_find_ext_capability(d, 0x18), 0u);
    EXPECT_EQ(uba_find_ext_capability(Find("06:01.0"), 7), 0u); // ends after its steps
    EXPECT_EQ(uba_find_capability_n(Find("06:03.0"), 5, 0), 0u);

    ChildResult cyc = InChild([this] { uba_find_capability_n(Find("06:01.0"), 9, 0); });
    EXPECT_EQ(cyc.status, 1);
    EXPECT_NE(cyc.err.find(":Capability cycle found in dev at 06:01.0\n"), std::string::npos) << cyc.err;
    ChildResult bad = InChild([this] { uba_find_hyper_capability(Find("06:02.0"), 4, 0); });
    EXPECT_EQ(bad.status, 1);
    EXPECT_EQ(bad.err, "ERROR:uba_cfg_space_capability: cap_ptr =0xff\n");

    // Accesses that leave the 4 KiB of a function are refused, whatever
    // the width; bit fields are 1, 2 or 4 bytes.
    EXPECT_EQ(pci_read_long(d, 4092), 0u);
    for (auto fn : std::vector<std::function<void()>>{
             [d] { pci_read_long(d, 4093); }, [d] { pci_read_byte(d, 4096); },
             [d] { pci_write_word(d, 4095, 1); }, [d] { uint8_t f[3]; _pci_read_bitfield(d, 0, f, 3); }}) {
        ChildResult r = InChild(fn);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.err.rfind("ERROR:uba_pci.cpp:", 0), 0u) << r.err;
    }
    uint16_t w = 0;
    _pci_read_bitfield(d, 2, &w, 2);
    EXPECT_EQ(w, 0x0001);
    uint8_t line = 0x2a;
    _pci_write_bitfield(d, 60, &line, 1);
    EXPECT_EQ(pci_read_byte(d, 60), 0x2au);
}

TEST_F(ScanFixture, Classification)
{
    setenv("UBA_KV7_DID", "9", 1);
    mem_.StandardHostBridge();
    const struct {
        uint16_t vid, did;
        uint8_t rev;
        int type;
    } boards[] = {
        {0x10e8, 0x8043, 1, UBA_RUVO4}, {0x10e8, 0x8043, 2, UBA_UNKNOWN}, {0x10e8, 0x8043, 3, UBA_PCI64},
        {0x10e8, 0x8043, 4, UBA_RUVOX}, {0x10e8, 0x8043, 6, UBA_RUVOX},   {0x10e8, 0x8043, 7, UBA_KV},
        {0x10e8, 0x0009, 0, UBA_KV},    {UBA_KV7_DEFAULT_VID, 0x0009, 0, UBA_KV},
        // With the device id set to 9 the default 0008 is no longer one.
        {UBA_KV7_DEFAULT_VID, 0x0008, 0, 0}, {0x1234, 0x0009, 0, 0}, {0x10e8, 0x1234, 7, 0},
    };
    int slot = 0;
    for (const auto &b : boards) mem_.Put(7, slot++, 0, Cfg(b.vid, b.did).W8(8, b.rev));
    Scan();
    slot = 0;
    for (const auto &b : boards) {
        char name[16];
        snprintf(name, sizeof name, "07:%02x.0", slot++);
        EXPECT_EQ(int(uba_nic_type(Find(name))), b.type) << name;
    }
}

}  // namespace
