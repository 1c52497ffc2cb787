// quor_mdio_rw's own pieces, compiled into the test with the simulated PHY
// on its MDIO register: clause-45 frames and the address cache, both bit
// encodings, the firmware's port byte, register arguments and the string
// specs in a memory image.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "sim_board.h"
#include "sim_phy.h"
#include "test_support.h"

#define QUOR_MDIO_RW_TEST_BUS 1
#define main quor_mdio_rw_main
#include "../../tools/quor_mdio_rw.c"
#undef main

namespace {

quorsim::MdioPhy g_phy;
quorsim::ModuleCage g_cage;

}  // namespace

void mdio_bus_write(uint8_t v) { g_phy.bus_write(v); }
uint8_t mdio_bus_read(void) { return g_phy.bus_read(); }

namespace {

using kpttest::Stdout;

// Both ends on the same variant, the PHY at port address 1.
void Attach(bool kv7b)
{
    KV7B = kv7b;
    PHY = 1;
    g_cage.bytes = quorsim::ModuleCage::builtin(quorsim::PlugKind::sfpp);
    g_phy.configure(1, kv7b, &g_cage);
}

class MdioFrames : public ::testing::TestWithParam<bool> {};

TEST_P(MdioFrames, AddressFramesOnlyWhenTheAddressChanges)
{
    Attach(GetParam());
    const auto &n = g_phy.counts();

    mdix_write(1, 1, 9, 0x1234);
    EXPECT_EQ(g_phy.reg(1, 9), 0x1234);
    EXPECT_EQ(n.address, 1u);
    EXPECT_EQ(n.write, 1u);
    // Repeated reads of the address just written: no further address frame.
    EXPECT_EQ(mdix_read(1, 1, 9), 0x1234u);
    EXPECT_EQ(mdix_read(1, 1, 9), 0x1234u);
    EXPECT_EQ(n.address, 1u);
    EXPECT_EQ(n.read, 2u);
    // Another MMD has its own cache entry; full 16-bit values survive.
    g_phy.set_reg(3, 0xc037, 0xffff);
    EXPECT_EQ(mdix_read(1, 3, 0xc037), 0xffffu);
    EXPECT_EQ(mdix_read(1, 3, 0xc037), 0xffffu);
    EXPECT_EQ(n.address, 2u);

    // MMD 5 and above: never an address frame; the PHY reads where its own
    // address for that MMD points.
    g_phy.set_reg(5, 0, 0xbeef);
    EXPECT_EQ(mdix_read(1, 5, 7), 0xbeefu);
    EXPECT_EQ(n.address, 2u);

    // Device 0: the page at MMD 1 0x8007 read with post-read-increment, so
    // four consecutive registers cost one address frame.
    for (unsigned r = 0; r < 4; ++r) g_phy.set_reg(1, 0x8007 + r, uint16_t(0xa0 + r));
    for (unsigned r = 0; r < 4; ++r) EXPECT_EQ(mdix_read(1, 0, r), 0xa0u + r);
    EXPECT_EQ(n.address, 3u);
    EXPECT_EQ(n.read_inc, 4u);
    // Writes to device 0 land at the same place.
    mdix_write(1, 0, 2, 0x5a);
    EXPECT_EQ(g_phy.reg(1, 0x8009), 0x5a);

    // The laser bit shows in the cage status, which takes no writes.
    mdix_write(1, 1, 9, 1);
    mdix_write(1, 1, 0xc200, 0);
    EXPECT_EQ(mdix_read(1, 1, 0xc200), 0x8000u);
    g_cage.present = false;
    EXPECT_EQ(mdix_read(1, 1, 0xc200), 0x8001u);
}

TEST_P(MdioFrames, NobodyAnswersAnotherPortAddress)
{
    Attach(GetParam());
    g_phy.set_reg(1, 10, 0x1234);
    std::string out = Stdout([] { EXPECT_EQ(mdix_read(2, 1, 9), 0u); });
    // Open drain with nobody driving: all ones, so the turnaround is wrong.
    EXPECT_EQ(out, "Invalid MDI access to PRTADR/PHY 2, MMD 1, bits=0x3ffff\n");
    EXPECT_EQ(g_phy.counts().address, 0u);
    // The frame for port 2 left the bus in step: port 1 still answers.
    EXPECT_EQ(mdix_read(1, 1, 10), 0x1234u);
}

INSTANTIATE_TEST_SUITE_P(Variants, MdioFrames, ::testing::Values(false, true),
                         [](const testing::TestParamInfo<bool> &i) { return i.param ? "kv7b" : "kv7"; });

TEST(MdioEncoding, TheVariantsDoNotUnderstandEachOther)
{
    // A KV7 tool on a KV7B bus never makes a clock edge the PHY sees as a
    // frame: the read fails and nothing is written.
    KV7B = 0;
    PHY = 1;
    g_phy.configure(1, true, &g_cage);
    mdix_write(1, 1, 9, 0x1234);
    EXPECT_EQ(g_phy.reg(1, 9), 0);
    EXPECT_EQ(g_phy.counts().write, 0u);
}

TEST(MdioModule, PageAndRegisterPhysAndTheFirmwarePortByte)
{
    Attach(false);
    g_cage.bytes[0x10] = 0x42;
    g_cage.bytes[256 + 0x20] = 0x43;
    xfi_type = XFI_QT2022;
    EXPECT_EQ(i2c_read(0xA1, 0x10), 0x42u);
    xfi_type = XFI_AEL1010;
    EXPECT_EQ(i2c_read(1, 0x20), 0x43u); // 1 means 0xA3
    EXPECT_EQ(xfp_cache[0xA3][0x20], 0x43);

    // The port byte is 8 bits of PHY - KV7B, whatever the difference.
    PHY = 1, KV7B = 1;
    EXPECT_EQ(fw_port(), 0u);
    PHY = 0;
    EXPECT_EQ(fw_port(), 0xffu << 24);
    PHY = 3, KV7B = 0;
    EXPECT_EQ(fw_port(), 3u << 24);
}

TEST(MdioModule, FailedReadsStop)
{
    Attach(false);
    g_cage.present = false;
    xfi_type = XFI_QT2022;
    EXPECT_EXIT(i2c_read(0xA1, 0), ::testing::ExitedWithCode(1),
                "Fail to read TCVR data \\(1bytes op\\) \\(page-read-status=0x12\\)");
    xfi_type = XFI_AEL1010;
    EXPECT_EXIT(i2c_read(0xA1, 5), ::testing::ExitedWithCode(1), "Reading XFP 5, status=2");
    EXPECT_EXIT(i2c_read(0xA0, 5), ::testing::ExitedWithCode(1), "Invalid module read: address 0xa0");
}

TEST(MdioArgs, RegisterArgumentsAreWholeAndInRange)
{
    struct reg_arg r = parse_reg("1.0xc200", 0, 1);
    EXPECT_EQ(r.dev, 1u);
    EXPECT_EQ(r.reg, 0xc200u);
    r = parse_reg("31.65535", 0, 1);
    EXPECT_EQ(r.dev, 31u);
    EXPECT_EQ(r.reg, 0xffffu);
    r = parse_reg("0.0", 0, 4);
    EXPECT_EQ(r.reg, 0u);
    r = parse_reg("0xa0.86", 1, 1);
    EXPECT_EQ(r.dev, 0xa0u);
    r = parse_reg("1.0xfffc", 0, 4); // last register 0xffff
    EXPECT_EQ(r.reg, 0xfffcu);

    for (const char *bad : {"1,9", "1", ".9", "x.9", "1.", "1.9x", "1.-1", "-1.9", " 1.9", "1. 9", "08.1"})
        EXPECT_EXIT(parse_reg(bad, 0, 1), ::testing::ExitedWithCode(1), "Invalid register syntax") << bad;
    // Values that would spill into the neighbouring frame fields.
    for (const char *bad : {"32.1", "40.1", "1.0x10000", "0.0x7ff9", "4294967297.1"})
        EXPECT_EXIT(parse_reg(bad, 0, 1), ::testing::ExitedWithCode(1), "Register out of range") << bad;
    EXPECT_EXIT(parse_reg("1.0xfffd", 0, 4), ::testing::ExitedWithCode(1), "Register out of range");
    EXPECT_EXIT(parse_reg("0x100.1", 1, 1), ::testing::ExitedWithCode(1), "Register out of range");
    EXPECT_EXIT(parse_reg("0xa1.0x100", 1, 1), ::testing::ExitedWithCode(1), "Register out of range");
}

// An adapter memory image with a firmware header and the given specs.
class StringSpecs : public ::testing::Test {
protected:
    void SetUp() override
    {
        mem_.assign(0x2000, 0);
        nram_open_pio(&Ruvo_ram, mem_.data());
        Header(0x100, 0x200);
        PHY = 0;
        KV7B = 0;
        xfi_type = XFI_NONE;
        plug_type = PLUG_NONE;
    }
    void Header(uint32_t at, uint32_t specs, uint16_t major = 0)
    {
        put_be32(QUOR_NFW_HDR_PTR, at);
        specs_at_ = specs;
        if (at == 0 || at + sizeof(nfw_gen_header) > mem_.size()) return;
        put_be32(at + offsetof(nfw_gen_header, string_specs), specs);
        mem_[at + 164] = uint8_t(major >> 8);
        mem_[at + 165] = uint8_t(major);
    }
    void Specs(std::vector<std::string> items)
    {
        size_t o = specs_at_;
        for (const std::string &s : items) {
            memcpy(&mem_[o], s.c_str(), s.size() + 1);
            o += s.size() + 1;
        }
        mem_[o] = 0;
    }
    std::string Parse(int opt = XFI_NONE)
    {
        return Stdout([&] { parse_string_spec(opt); });
    }
    void put_be32(size_t at, uint32_t v)
    {
        for (int i = 0; i < 4; ++i) mem_[at + size_t(i)] = uint8_t(v >> (24 - 8 * i));
    }
    std::vector<uint8_t> mem_;
    uint32_t specs_at_ = 0;
};

TEST_F(StringSpecs, EachSuffixAndThePrototype)
{
    struct Case {
        const char *pc;
        int plug;
        unsigned phy;
    };
    const Case cases[] = {
        {QUOR_PC_PREFIX "-X1-XF", PLUG_XFP, 0},      {QUOR_PC_PREFIX "-C1-CX", PLUG_CX4, 0},
        {QUOR_PC_PREFIX "-J1-CJ", PLUG_CJ, 0},       {QUOR_PC_PREFIX "-Q1-QS", PLUG_QSFP, 0},
        {QUOR_PC_PREFIX "-S1-SP", PLUG_SFPP, 0},     {QUOR_PC_PREFIX "-S2-2SP", PLUG_SFPP, 1},
        {QUOR_PC_PREFIX "-Q2-2QS", PLUG_QSFP, 1},    {QUOR_PC_PREFIX "X-R7-2SP-lower", PLUG_SFPP, 1},
        {QUOR_PC_PREFIX "-S1-SPx", PLUG_SFPP, 0},
    };
    for (const Case &c : cases) {
        SetUp();
        Specs({"SN=1", std::string("PC=") + c.pc, "XFI=AEL1010"});
        EXPECT_EQ(Parse(), std::string("Found ") + c.pc + ": XFI=Aeluros-1010, PLUG=" + plug_names[c.plug] + "\n");
        EXPECT_EQ(plug_type, c.plug) << c.pc;
        EXPECT_EQ(PHY, c.phy) << c.pc;
    }
    // A dual-port code leaves a PHY address given by option alone.
    SetUp();
    PHY = 3;
    Specs({"PC=" QUOR_PC_PREFIX "-S2-2SP"});
    Parse();
    EXPECT_EQ(PHY, 3u);

    SetUp();
    Specs({"PC=" QUOR_PC_PROTO});
    EXPECT_EQ(Parse(), "Found " QUOR_PC_PROTO_AS ": XFI=Aeluros-1010, PLUG=SFP+\n");
}

TEST_F(StringSpecs, MethodFromPlugVariantAndXfi)
{
    Specs({"PC=" QUOR_PC_PREFIX "-X1-XF"});
    EXPECT_EQ(Parse(), "Found " QUOR_PC_PREFIX "-X1-XF: XFI=Quake-2022, PLUG=XFP\n");
    SetUp();
    Specs({"PC=" QUOR_PC_PREFIX "-Q2-2QS"});
    EXPECT_EQ(Parse(), "Found " QUOR_PC_PREFIX "-Q2-2QS: XFI=Firmware, PLUG=QSFP\n");
    SetUp();
    Header(0x100, 0x200, 1);
    Specs({"PC=" QUOR_PC_PREFIX "-S2-2SP"});
    EXPECT_EQ(Parse(), "Found " QUOR_PC_PREFIX "-S2-2SP: XFI=Firmware, PLUG=SFP+\n");
    EXPECT_EQ(KV7B, 1);
    SetUp();
    Specs({"XFI=QT2022", "PC=" QUOR_PC_PREFIX "-S2-2SP"});
    EXPECT_EQ(Parse(), "Found " QUOR_PC_PREFIX "-S2-2SP: XFI=Quake-2022, PLUG=SFP+\n");
    // A cage with no PHY management and no method by option.
    SetUp();
    Specs({"PC=" QUOR_PC_PREFIX "-C1-CX", "XFI=OTHER"});
    EXPECT_EXIT(Parse(), ::testing::ExitedWithCode(1),
                "only applies to NIC with PHY mgmt \\(XFP/SFP\\+/QSFP\\), not this card:\n\t\t PC=" QUOR_PC_PREFIX
                "-C1-CX  phy=OTHER plug=CX4");
}

TEST_F(StringSpecs, UnknownCodesAndBadAddresses)
{
    // No code at all: an empty one is shown.
    Specs({"SN=1"});
    EXPECT_EXIT(Parse(), ::testing::ExitedWithCode(1), "^ERROR:Unknown Quor 10G NIC, PC=\n$");
    Specs({"PC=QN10GKV-S2-2SP"});
    EXPECT_EXIT(Parse(), ::testing::ExitedWithCode(1), "Unknown Quor 10G NIC, PC=QN10GKV-S2-2SP");
    // Longer than every suffix, unknown, or no plug field at all.
    for (const char *pc : {QUOR_PC_PREFIX "-S2-2SPQQ", QUOR_PC_PREFIX "-S2-ZZ", QUOR_PC_PREFIX "-S2-",
                           QUOR_PC_PREFIX "-S2-2QSFPAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA"}) {
        SetUp();
        Specs({std::string("PC=") + pc});
        EXPECT_EXIT(Parse(), ::testing::ExitedWithCode(1), std::string("Unknown card PC=") + pc) << pc;
    }
    SetUp();
    Specs({"PC=" QUOR_PC_PREFIX "-S2"});
    EXPECT_EXIT(Parse(), ::testing::ExitedWithCode(1), "Product code without a plug field");
    // With the firmware method an unknown card is only reported.
    SetUp();
    Specs({"PC=" QUOR_PC_PREFIX "-S2-ZZ"});
    testing::internal::CaptureStderr();
    EXPECT_EQ(Parse(XFI_FIRMWARE), "Found " QUOR_PC_PREFIX "-S2-ZZ: XFI=none, PLUG=none\n");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unknown card PC=" QUOR_PC_PREFIX "-S2-ZZ\n");

    // Specs that fill all 256 bytes end inside them.
    SetUp();
    memset(&mem_[specs_at_], 'A', 256);
    EXPECT_EXIT(Parse(), ::testing::ExitedWithCode(1), "Unknown Quor 10G NIC, PC=\n");

    for (uint32_t bad : {0u, 0x202u, 0x100000u}) {
        SetUp();
        Header(0x100, bad);
        EXPECT_EXIT(Parse(), ::testing::ExitedWithCode(1), "Cannot find nfw string specs") << bad;
        SetUp();
        Header(bad, 0x200);
        EXPECT_EXIT(Parse(), ::testing::ExitedWithCode(1), "Cannot find nfw-hdr, hdr_off=0x") << bad;
    }
}

}  // namespace

namespace {

// A literal with its embedded NULs and the one that ends it.
template <size_t N>
std::string Bytes(const char (&lit)[N])
{
    return std::string(lit, N);
}

// The firmware's module service as the simulated boards run it.
TEST(SimModuleService, StatusOfEachAccess)
{
    quorsim::ModuleCage cage;
    cage.bytes = quorsim::ModuleCage::builtin(quorsim::PlugKind::sfpp);
    std::vector<uint8_t> buf(257, 0xff);
    auto word = [](unsigned port, unsigned a, unsigned start, unsigned size) {
        return uint32_t(port << 24 | a << 16 | start << 8 | size);
    };
    // A whole page (size 0 means 256) and a piece of the other page.
    EXPECT_EQ(quorsim::fw_module_access(word(1, 0xa1, 0, 0), 1, cage, buf.data()), 0);
    EXPECT_TRUE(std::equal(buf.begin(), buf.begin() + 256, cage.bytes.begin()));
    std::fill(buf.begin(), buf.end(), 0xee);
    EXPECT_EQ(quorsim::fw_module_access(word(0xff, 0xa3, 96, 4), 0xff, cage, buf.data()), 0);
    EXPECT_TRUE(std::equal(buf.begin() + 96, buf.begin() + 100, cage.bytes.begin() + 256 + 96));
    EXPECT_EQ(buf[95], 0xee);
    EXPECT_EQ(buf[100], 0xee);
    // A write takes the buffer's byte at the register.
    buf[86] = 0x0f;
    EXPECT_EQ(quorsim::fw_module_access(word(1, 0xa0, 86, 1), 1, cage, buf.data()), 0);
    EXPECT_EQ(cage.bytes[86], 0x0f);
    buf[5] = 0x55;
    EXPECT_EQ(quorsim::fw_module_access(word(1, 0xa2, 5, 1), 1, cage, buf.data()), 0);
    EXPECT_EQ(cage.bytes[256 + 5], 0x55);

    // Refusals change nothing in the module.
    const auto before = cage.bytes;
    buf[7] = 0x77;
    EXPECT_NE(quorsim::fw_module_access(word(0, 0xa1, 0, 1), 1, cage, buf.data()), 0); // another port
    EXPECT_NE(quorsim::fw_module_access(word(1, 0xa4, 0, 1), 1, cage, buf.data()), 0); // no such address
    EXPECT_NE(quorsim::fw_module_access(word(1, 0xa1, 200, 57), 1, cage, buf.data()), 0); // past the page
    EXPECT_NE(quorsim::fw_module_access(word(1, 0xa0, 7, 2), 1, cage, buf.data()), 0);  // writes are single bytes
    cage.present = false;
    EXPECT_EQ(quorsim::fw_module_access(word(1, 0xa0, 7, 1), 1, cage, buf.data()), 3);
    EXPECT_TRUE(cage.bytes == before);
}

TEST(SimModuleService, BoardSettings)
{
    kpttest::TempDir d;
    auto file = [&](const char *name, size_t n) {
        std::string p = d.file(name);
        FILE *f = fopen(p.c_str(), "wb");
        std::vector<uint8_t> b(n, 0x5a);
        fwrite(b.data(), 1, n, f);
        fclose(f);
        return p;
    };
    std::vector<quorsim::BoardSpec> specs;
    std::string err;
    ASSERT_TRUE(quorsim::parse_board_spec("1=plug=xfp,variant=kv7b,fwxfp=off,pc=QN10GKVB-X9-XF,module=" +
                                              file("m", 512),
                                          4, &specs, &err))
        << err;
    const quorsim::BoardSpec &b = specs[1];
    EXPECT_EQ(b.plug, quorsim::PlugKind::xfp);
    EXPECT_EQ(b.variant, quorsim::KvVariant::kv7b);
    EXPECT_FALSE(b.fwxfp);
    EXPECT_EQ(b.pc, "QN10GKVB-X9-XF");
    EXPECT_EQ(b.module, std::vector<uint8_t>(512, 0x5a));
    ASSERT_TRUE(quorsim::parse_board_spec("0=module=none", 4, &specs, &err)) << err;
    EXPECT_TRUE(specs[0].module_none);
    for (std::string bad : std::vector<std::string>{"0=plug=cx4", "0=variant=kv8", "0=fwxfp=no", "0=pc=", "0=pc=A B",
                            "0=module=" + file("short", 511), "0=module=" + file("long", 513),
                            "0=module=" + d.file("missing")}) {
        err.clear();
        EXPECT_FALSE(quorsim::parse_board_spec(bad, 4, &specs, &err)) << bad;
        EXPECT_FALSE(err.empty()) << bad;
    }
    // The string specs a board writes: its code, and the PHY of its cage.
    auto specs_of = [](quorsim::PlugKind k) {
        std::vector<uint8_t> s = quorsim::string_specs(k, quorsim::default_pc(k), 3);
        return std::string(s.begin(), s.end());
    };
    EXPECT_EQ(specs_of(quorsim::PlugKind::xfp), Bytes("SN=SIM3\0PC=" QUOR_PC_XFP "\0XFI=QT2022\0"));
    EXPECT_EQ(specs_of(quorsim::PlugKind::sfpp), Bytes("SN=SIM3\0PC=" QUOR_PC_SFPP "\0XFI=AEL1010\0"));
    EXPECT_EQ(specs_of(quorsim::PlugKind::qsfp), Bytes("SN=SIM3\0PC=" QUOR_PC_QSFP "\0"));
}

}  // namespace
