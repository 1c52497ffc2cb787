// Adapter memory accessors against a stand-in board: a configuration access
// method of the test's own that records every configuration write and acts
// like the vendor window, plus memory images in files.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string.h>
#include <unistd.h>

#include <algorithm>
#include <functional>
#include <string>
#include <vector>

#include "child.h"
#include "test_support.h"
#include "uba.h"

using ubatest::ChildResult;
using ubatest::InChild;

namespace {

constexpr int kSlot = 7; // a method slot nothing else uses

struct Write {
    unsigned off, width;
    uint32_t value;
};

// One board at 00:00.0 whose vendor window reaches a small adapter memory.
struct FakeBoard {
    pci_access acc = {};
    uint8_t cfg[4096] = {};
    std::vector<uint8_t> mem = std::vector<uint8_t>(0x10000, 0);
    uint8_t eeprom_rdata = 0; // what the EEPROM read-data register shows, always
    std::vector<Write> log;
    unsigned vs = 0x60;
} g_fake;

uint32_t get(unsigned off, unsigned w)
{
    uint32_t v = 0;
    memcpy(&v, g_fake.cfg + off, w);
    return v;
}
unsigned rb(pci_dev_t, unsigned o) { return get(o, 1); }
unsigned rw(pci_dev_t, unsigned o) { return get(o, 2); }
unsigned rl(pci_dev_t, unsigned o) { return get(o, 4); }
uint8_t &M(uint32_t a) { return g_fake.mem[a & 0xffff]; }

int wr(unsigned o, unsigned w, uint32_t v)
{
    g_fake.log.push_back({o, w, v});
    memcpy(g_fake.cfg + o, &v, w);
    const unsigned vs = g_fake.vs;
    const uint8_t mode = g_fake.cfg[vs + 16];
    const uint32_t a = get(vs + 24, 4);
    if (o == vs + 24) {
        if (mode == 1) g_fake.cfg[vs + 20] = M(a);
        if (mode == 2) {
            uint16_t d = uint16_t(M(a) << 8 | M(a + 1));
            memcpy(g_fake.cfg + vs + 20, &d, 2);
        }
        if (mode == 3) {
            uint32_t d = uint32_t(M(a)) << 24 | uint32_t(M(a + 1)) << 16 | uint32_t(M(a + 2)) << 8 | M(a + 3);
            memcpy(g_fake.cfg + vs + 20, &d, 4);
        }
    }
    if (o == vs + 20) {
        if (mode == 5) M(a) = uint8_t(v);
        if (mode == 7)
            for (int i = 0; i < 4; ++i) M(a + uint32_t(i)) = uint8_t(v >> (24 - 8 * i));
    }
    g_fake.cfg[vs + 8] = g_fake.eeprom_rdata;
    return 0;
}
int wb(pci_dev_t, unsigned o, uint8_t v) { return wr(o, 1, v); }
int ww(pci_dev_t, unsigned o, uint16_t v) { return wr(o, 2, v); }
int wl(pci_dev_t, unsigned o, uint32_t v) { return wr(o, 4, v); }

pci_dev_t init_dev(pci_dev_t d)
{
    if (d->bus || d->dev || d->func) return nullptr;
    d->vendor_id = uint16_t(get(0, 2));
    d->device_id = uint16_t(get(2, 2));
    return d;
}

const uba_pci_ops kFakeOps = {"fake", rb, rw, rl, wb, ww, wl, nullptr, nullptr, nullptr,
                              nullptr, nullptr, nullptr, init_dev, nullptr};

class NramTest : public ::testing::Test {
protected:
    // Opens the stand-in board with its vendor window at vs (version byte).
    uba_nic *Open(unsigned vs, uint8_t version = 1)
    {
        g_fake.vs = vs;
        uint16_t vid = UBA_KV7_DEFAULT_VID, did = UBA_KV7_DEFAULT_DID, status = 0x10;
        memcpy(g_fake.cfg + 0, &vid, 2);
        memcpy(g_fake.cfg + 2, &did, 2);
        memcpy(g_fake.cfg + 6, &status, 2);
        g_fake.cfg[0x34] = 0x40;
        g_fake.cfg[0x40] = 0x01;
        g_fake.cfg[0x41] = uint8_t(vs);
        g_fake.cfg[vs] = UBA_VS_CAP_ID;
        g_fake.cfg[vs + 1] = 0;
        g_fake.cfg[vs + 17] = version;
        g_fake.acc.ops = &kFakeOps;
        uba_pci_register(kSlot, &g_fake.acc);
        uba_pci_method(kSlot);
        nic_ = uba_open_e(0, UBA_KV, UBA_BAR_SKIP);
        g_fake.log.clear();
        return nic_;
    }
    void TearDown() override { free(nic_); }
    uba_nic *nic_ = nullptr;
    // Configuration writes at vs + reg.
    static std::vector<Write> At(unsigned reg)
    {
        std::vector<Write> out;
        for (const Write &w : g_fake.log)
            if (w.off == g_fake.vs + reg) out.push_back(w);
        return out;
    }
};

TEST_F(NramTest, WindowMovesBytesInAdapterOrder)
{
    uba_nic *nic = Open(0x60);
    ASSERT_NE(nic, nullptr);
    ASSERT_EQ(nic->cfg_cap[UBA_VS_CAP_ID], 0x60);
    nram_t n;
    nram_open_cfg_pio(&n, nic);
    const uint8_t word[4] = {0x12, 0x34, 0x56, 0x78};
    memcpy(&g_fake.mem[0x100], word, 4);

    uint32_t v = nram_pio_read_32(&n, 0x100);
    EXPECT_EQ(__builtin_bswap32(v), 0x12345678u);
    EXPECT_EQ(memcmp(&v, word, 4), 0);
    uint8_t two[2];
    nram_memcpy_read(&n, two, 0x101, 2);
    EXPECT_EQ(two[0], 0x34);
    EXPECT_EQ(two[1], 0x56);

    // Three bytes: byte mode and one address write per byte.
    g_fake.log.clear();
    uint8_t three[3];
    nram_memcpy_read(&n, three, 0x100, 3);
    EXPECT_EQ(std::vector<uint8_t>(three, three + 3), (std::vector<uint8_t>{0x12, 0x34, 0x56}));
    ASSERT_EQ(At(16).size(), 1u);
    EXPECT_EQ(At(16)[0].value, 1u);
    ASSERT_EQ(At(24).size(), 3u);
    EXPECT_EQ(At(24)[2].value, 0x102u);

    g_fake.log.clear();
    const uint8_t in[3] = {0xa1, 0xa2, 0xa3};
    nram_memcpy_write(&n, 0x200, in, 3);
    ASSERT_EQ(At(16).size(), 1u);
    EXPECT_EQ(At(16)[0].value, 5u);
    EXPECT_EQ(At(24).size(), 3u);
    EXPECT_EQ(At(20).size(), 3u);
    EXPECT_EQ(memcmp(&g_fake.mem[0x200], in, 3), 0);

    // A word goes out as one big-endian data write.
    const uint8_t w4[4] = {0xca, 0xfe, 0xba, 0xbe};
    g_fake.log.clear();
    nram_memcpy_write(&n, 0x300, w4, 4);
    ASSERT_EQ(At(20).size(), 1u);
    EXPECT_EQ(At(20)[0].value, 0xcafebabeu);
    EXPECT_EQ(memcmp(&g_fake.mem[0x300], w4, 4), 0);

    // The accessor's offset applies to every address, once.
    n.offset = 0xfffffe00u;
    g_fake.log.clear();
    nram_pio_write_8(&n, 0x10, 0x77);
    ASSERT_EQ(At(24).size(), 1u);
    EXPECT_EQ(At(24)[0].value, 0xfffffe10u);
}

TEST_F(NramTest, FillGoesThroughTheWindowInPiecesOf256)
{
    uba_nic *nic = Open(0x60);
    nram_t n;
    nram_open_cfg_pio(&n, nic);
    nram_memset(&n, 0x1000, 0x1a5, 600);
    std::vector<int> pieces;
    for (const Write &w : g_fake.log) {
        if (w.off == g_fake.vs + 16) pieces.push_back(0);
        if (w.off == g_fake.vs + 20) pieces.back()++;
    }
    EXPECT_EQ(pieces, (std::vector<int>{256, 256, 88}));
    for (int i = 0; i < 600; ++i) ASSERT_EQ(g_fake.mem[size_t(0x1000 + i)], 0xa5) << i;
    EXPECT_EQ(g_fake.mem[0x1000 + 600], 0);
    EXPECT_EQ(g_fake.mem[0x0fff], 0);
}

TEST_F(NramTest, EepromByteProgramming)
{
    uba_nic *nic = Open(0x60, 0);
    // A byte that never reads back stops after ten retries.
    ChildResult r = InChild([&] {
        const uint8_t b = 0x5a;
        uba_pci_eeprom_write_ex(nic, 0x10, &b, 1, 0x60);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(":Cannot program at offset 0x10=0x5a, reread=0x0, retries=10\n"), std::string::npos) << r.err;

    // 0xff is skipped only where the EEPROM already holds 0xff.
    g_fake.eeprom_rdata = 0xff;
    const uint8_t erased[2] = {0xff, 0xff};
    EXPECT_EQ(uba_pci_eeprom_write_ex(nic, 0x20, erased, 2, 0x60), 0);
    EXPECT_TRUE(At(12).empty());
    g_fake.eeprom_rdata = 0x00;
    ChildResult old = InChild([&] { uba_pci_eeprom_write_ex(nic, 0x30, erased, 1, 0x60); });
    EXPECT_EQ(old.status, 1); // it tried to program the byte
    EXPECT_NE(old.err.find("Cannot program at offset 0x30=0xff"), std::string::npos) << old.err;

    // Reads are one address write late.
    g_fake.log.clear();
    uint8_t buf[3];
    EXPECT_EQ(uba_eeprom_read(nic, 0x40, buf, 3), 0);
    std::vector<uint32_t> addrs;
    for (const Write &w : At(4)) addrs.push_back(w.value);
    EXPECT_EQ(addrs, (std::vector<uint32_t>{0x4000, 0x4100, 0x4200, 0x4300}));
}

TEST_F(NramTest, VendorWindowOutOfRangeIsRefusedBeforeAnyAccess)
{
    uba_nic *nic = Open(0xe4);
    ASSERT_EQ(nic->cfg_cap[UBA_VS_CAP_ID], 0xe4);
    uint8_t buf[4] = {};
    EXPECT_EQ(uba_eeprom_read(nic, 0, buf, 4), -1);
    EXPECT_TRUE(g_fake.log.empty());
    for (auto fn : std::vector<std::function<void()>>{
             [&] {
                 nram_t n;
                 nram_open_cfg_pio(&n, nic);
             },
             [&] { uba_pci_eeprom_write_ex(nic, 0, buf, 4, 0xe4); },
             [&] {
                 nram_t n;
                 nram_open_eeprom(&n, nic);
                 nram_memcpy_write(&n, 0, buf, 4);
             }}) {
        ChildResult r = InChild([&] {
            fn();
            printf("writes %zu\n", g_fake.log.size());
        });
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find(":Cannot handle card with vendor cap=0xe4\n"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    nram_t n;
    nram_open_eeprom(&n, nic);
    ChildResult rd = InChild([&] { nram_memcpy_read(&n, buf, 0, 4); });
    EXPECT_EQ(rd.status, 1);
    EXPECT_NE(rd.err.find(":quor_pci_eeprom_read\n"), std::string::npos) << rd.err;
}

TEST(KvHw, CopyAndFillAtEveryAlignment)
{
    alignas(64) uint8_t src[128], dst[128], want[128];
    for (int i = 0; i < 128; ++i) src[i] = uint8_t(i * 7 + 1);
    for (int so = 0; so < 8; ++so)
        for (int d0 = 0; d0 < 8; ++d0)
            for (int len = 0; len <= 70; ++len) {
                memset(dst, 0xee, sizeof dst);
                memset(want, 0xee, sizeof want);
                memcpy(want + 8 + d0, src + so, size_t(len));
                kv_hw_memcpy(dst + 8 + d0, src + so, len);
                ASSERT_EQ(memcmp(dst, want, sizeof dst), 0) << "src+" << so << " dst+" << d0 << " len " << len;
                memset(dst, 0xee, sizeof dst);
                memset(want, 0xee, sizeof want);
                memset(want + 8 + d0, 0x3c, size_t(len));
                kv_hw_memset(dst + 8 + d0, 0x13c, len);
                ASSERT_EQ(memcmp(dst, want, sizeof dst), 0) << "fill dst+" << d0 << " len " << len;
            }
}

TEST(NramFile, ImagesAndScanChains)
{
    kpttest::TempDir dir;
    std::string img = dir.file("sram");
    int fd = open(img.c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(ftruncate(fd, 0x200000), 0);
    uint8_t chain[112];
    for (int i = 0; i < 112; ++i) chain[i] = uint8_t(i + 1);
    ASSERT_EQ(pwrite(fd, chain, 80, 0x1dffbc - 80), 80);
    close(fd);

    nram_t f;
    nram_open_file(&f, img.c_str(), 1);
    uint8_t got[80];
    nram_scan_read(&f, got, UBA_SCAN_KV7A_READ_BITS, 0);
    for (int i = 0; i < 80; ++i) ASSERT_EQ(got[i], chain[79 - i]) << i;

    // The same image through a mapping of the file.
    nram_t m;
    nram_open_mmap(&m, img.c_str(), 1);
    uint8_t got2[80];
    nram_scan_read(&m, got2, UBA_SCAN_KV7A_READ_BITS, 0);
    EXPECT_EQ(memcmp(got, got2, 80), 0);

    // Writes are reversed into the 53 bytes that end at 0x1dfffc.
    nram_scan_write(&m, chain, UBA_SCAN_KV7A_WRITE_BITS);
    uint8_t back[53];
    nram_memcpy_read(&f, back, 0x1dfffc - 53, 53);
    for (int i = 0; i < 53; ++i) ASSERT_EQ(back[i], chain[52 - i]) << i;
    uint8_t r73[73];
    nram_scan_read(&f, r73, UBA_SCAN_KV7B_WRITE_BITS, 2);
    nram_memset(&f, 0x1000, 0x42, 300);
    EXPECT_EQ(nram_pio_read_8(&m, 0x1000 + 299), 0x42);
    EXPECT_EQ(nram_pio_read_8(&m, 0x1000 + 300), 0x00);

    // A mapped accessor never leaves its mapping; lengths and chains no
    // board has, and methods without an implementation, stop with a line.
    nram_t other = f;
    other.type = NRAM_IOPORT;
    std::vector<std::pair<std::function<void()>, std::string>> refusals = {
        {[&] { nram_pio_read_32(&m, 0x200000 - 2); }, "outside the mapping"},
        {[&] { nram_memset(&m, 0x1ffff0, 0, 17); }, "outside the mapping"},
        {[&] { nram_scan_read(&f, r73, 896, 2); }, "scan-read chain 2"},
        {[&] { nram_scan_read(&f, r73, 700, 0); }, "scan-read bits=700"},
        {[&] { nram_scan_read(&f, r73, 636, 1); }, "Scan-chain 1 not implemented"},
        {[&] { nram_scan_write(&f, chain, 600); }, "scan_write bits=600"},
        {[&] { nram_memcpy_read(&other, r73, 0, 4); }, "nram_memcpy_read(type=6) not implemented"},
        {[&] { nram_scan_write(&other, chain, 420); }, "scan_write(type=6) not implemented"},
        {[&] { nram_open_rabbit(&other, "x"); }, "UBA tools configured without rabbit support"},
    };
    for (auto &[fn, text] : refusals) {
        ChildResult r = InChild(fn);
        EXPECT_EQ(r.status, 1) << text;
        EXPECT_NE(r.err.find(text), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }

    // The library remembers 64 mappings to check accesses against; past
    // that it says once that the later ones go unchecked.
    ChildResult many = InChild([&] {
        for (int i = 0; i < 70; ++i) {
            nram_t n;
            nram_open_mmap(&n, img.c_str(), 0);
        }
    });
    EXPECT_EQ(many.status, 0);
    EXPECT_EQ(many.err, "Warning: more than 64 mappings at once: accesses through the later ones are not "
                        "checked against their bounds\n");
}

}  // namespace
