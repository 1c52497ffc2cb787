// quor_kv_scan: its four layouts read from memory images in files, then the
// same fields through the vendor window, BAR0 and the JTAG bridge of a
// quor_simd child, and every refusal as one message with status 1.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <set>
#include <random>
#include <sstream>

#include "../uba/fake_bridge.h" // PrivateLoopback
#include "test_support.h"

namespace {

using kpttest::BinPath;
using kpttest::RunProgram;
using kpttest::RunResult;

struct Field {
    std::string name;
    uint32_t value;
};

std::vector<Field> Parse(const std::string &out)
{
    std::vector<Field> f;
    std::istringstream in(out);
    std::string line;
    while (std::getline(in, line)) {
        auto eq = line.find("=0x");
        EXPECT_NE(eq, std::string::npos) << line;
        if (eq == std::string::npos) continue;
        f.push_back({line.substr(0, eq), uint32_t(std::stoul(line.substr(eq + 3), nullptr, 16))});
    }
    return f;
}

unsigned BitLength(uint32_t v)
{
    unsigned n = 0;
    while (v) ++n, v >>= 1;
    return n;
}

// A layout as the program prints it: names and widths in order.
struct Layout {
    std::vector<std::string> names;
    std::vector<unsigned> widths;
    unsigned Bits() const
    {
        unsigned b = 0;
        for (unsigned w : widths) b += w;
        return b;
    }
    int Index(const std::string &n) const
    {
        for (size_t i = 0; i < names.size(); ++i)
            if (names[i] == n) return int(i);
        return -1;
    }
    unsigned Pos(const std::string &n) const
    {
        unsigned p = 0;
        for (size_t i = 0; i < names.size() && names[i] != n; ++i) p += widths[i];
        return p;
    }
    // What the program must print for an image: fields packed from bit 0,
    // bit n in bit n % 8 of byte n / 8, lowest bit first.
    std::string Decode(const std::vector<uint8_t> &img) const
    {
        std::string out;
        unsigned pos = 0;
        char v[16];
        for (size_t i = 0; i < names.size(); ++i) {
            uint32_t x = 0;
            for (unsigned k = 0; k < widths[i]; ++k, ++pos) x |= uint32_t(img[pos / 8] >> (pos % 8) & 1) << k;
            snprintf(v, sizeof v, "0x%x", x);
            out += names[i] + "=" + v + "\n";
        }
        return out;
    }
};

std::vector<uint8_t> Random(size_t n, unsigned seed)
{
    std::mt19937 g(seed);
    std::vector<uint8_t> v(n);
    for (auto &b : v) b = uint8_t(g());
    return v;
}

std::string Hex(const std::vector<uint8_t> &v)
{
    std::string s;
    char b[3];
    for (uint8_t x : v) snprintf(b, sizeof b, "%02x", x), s += b;
    return s;
}

class KvScan : public ::testing::Test {
protected:
    // The board access method: the driver's requests, or "" for the
    // library's own choice (the memory-mapped window).
    std::string method_ = "zalcfg";
    RunResult Tool(std::vector<std::string> args)
    {
        args.insert(args.begin(), BinPath("quor_kv_scan"));
        return RunProgram(args,
                          {"ZAL_DEV_DIR=" + dir_.path(), "UBA_PCI=" + method_,
                           "UBA_DEVMEM=" + dir_.file("quorsim.mem"), "UBA_PCI_SYSFS=" + dir_.file("pci")},
                          20000);
    }
    // An adapter memory image: the header pointer, a header with the
    // handoff major, and chains 0 and 2 where the firmware lays them.
    std::string Image(bool kv7b, const std::vector<uint8_t> &c0, const std::vector<uint8_t> &c2,
                      uint32_t hdr = 0x400)
    {
        std::string path = dir_.file("mem" + std::to_string(files_++));
        std::vector<uint8_t> m(0x1e0000, 0);
        m[0x3c] = uint8_t(hdr >> 24), m[0x3d] = uint8_t(hdr >> 16), m[0x3e] = uint8_t(hdr >> 8), m[0x3f] = uint8_t(hdr);
        if (hdr + 192 <= m.size()) m[hdr + 165] = kv7b ? 1 : 0;
        const uint32_t end0 = kv7b ? 0x1dff9c : 0x1dffbc;
        for (size_t i = 0; i < c0.size(); ++i) m[end0 - 1 - i] = c0[i];
        for (size_t i = 0; i < c2.size(); ++i) m[0x1dfffc - 1 - i] = c2[i];
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(write(fd, m.data(), m.size()), ssize_t(m.size()));
        close(fd);
        return path;
    }
    // The layout the program prints for an all-ones image.
    Layout Learn(std::vector<std::string> args)
    {
        RunResult r = Tool(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        Layout l;
        for (const Field &f : Parse(r.out)) {
            l.names.push_back(f.name);
            l.widths.push_back(BitLength(f.value));
            EXPECT_EQ(f.value, f.value == 0xffffffffu ? f.value : (1u << BitLength(f.value)) - 1) << f.name;
        }
        return l;
    }
    // Read chain (of a file with all-ones chains), write chain, KV7B chain.
    void LearnAll()
    {
        const std::vector<uint8_t> ones(112, 0xff);
        std::string kv7 = Image(false, std::vector<uint8_t>(80, 0xff), std::vector<uint8_t>(53, 0xff));
        read_ = Learn({"-f", kv7});
        write_ = Learn({"-f", kv7, "-2"});
        kv7b_ = Learn({"-f", Image(true, ones, {})});
    }

    kpttest::TempDir dir_;
    int files_ = 0;
    Layout read_, write_, kv7b_;
};

// Widths fill each chain, telling rows sit where the chip has them, and the
// layout is chosen by the header (or -S).
TEST_F(KvScan, LayoutsFromFiles)
{
    LearnAll();
    auto count = [](const Layout &l, const std::string &prefix) {
        return std::count_if(l.names.begin(), l.names.end(),
                             [&](const std::string &n) { return n.rfind(prefix, 0) == 0; });
    };
    EXPECT_EQ(read_.names.size(), 165u);
    EXPECT_EQ(read_.Bits(), 636u);
    EXPECT_EQ(count(read_, "P0_"), 88);
    EXPECT_EQ(count(read_, "PCIE_"), 67);
    EXPECT_EQ(write_.names.size(), 107u);
    EXPECT_EQ(write_.Bits(), 420u);
    EXPECT_EQ(count(write_, "PCIE_"), 45);
    EXPECT_EQ(count(write_, "P0_"), 54);
    EXPECT_EQ(kv7b_.names.size(), 285u);
    EXPECT_EQ(kv7b_.Bits(), 896u);
    EXPECT_EQ(count(kv7b_, "P0_"), 100);
    EXPECT_EQ(count(kv7b_, "P1_"), 100);
    EXPECT_EQ(count(kv7b_, "PCIE_"), 72);
    for (const Layout *l : {&read_, &write_, &kv7b_}) {
        std::set<std::string> unique(l->names.begin(), l->names.end());
        EXPECT_EQ(unique.size(), l->names.size()) << "field names are unique";
    }

    // Telling rows.
    for (const Layout *l : {&read_, &kv7b_}) {
        const char *first[] = {"P0_TX_DATA_RECEIVED", "P0_TX_TAIL_RECEIVED", "P0_TX_Q_SENT"};
        for (unsigned i = 0; i < 3; ++i) {
            EXPECT_EQ(l->names[i], first[i]);
            EXPECT_EQ(l->widths[i], 1u);
        }
        for (const char *n : {"P0_RX_GOOD_CRC8_COUNT", "P0_RX_BAD_CRC8_COUNT"}) EXPECT_EQ(l->widths[size_t(l->Index(n))], 16u) << n;
        for (int lane = 0; lane < 4; ++lane) {
            std::string n = "P0_RX_LANE" + std::to_string(lane) + "_INVALID_COUNT";
            ASSERT_GE(l->Index(n), 0) << n;
            EXPECT_EQ(l->widths[size_t(l->Index(n))], 8u) << n;
        }
        for (const char *n : {"LOOP_COUNT", "CYCLE_COUNT", "SRAM_SIZE", "ON_CHIP_SRAM_DELAY", "REBOOT_ENABLE"})
            EXPECT_GE(l->Index(n), 0) << n;
    }
    EXPECT_GE(kv7b_.Index("P0_TX_I_SENT"), 0);
    EXPECT_LT(kv7b_.Index("P0_TX_I_SENT"), 20);
    EXPECT_GE(kv7b_.Index("S2C_DELAY"), 0);
    EXPECT_GE(kv7b_.Index("C2S_DELAY"), 0);
    const std::pair<const char *, unsigned> wfirst[] = {
        {"PCIE_MEM_SIZE", 5}, {"PCIE_BAR_SIZE", 6}, {"PCIE_BAR_VALID", 1}, {"PCIE_BAR_LSW", 32}, {"PCIE_BAR_MSW", 32}};
    for (unsigned i = 0; i < 5; ++i) {
        EXPECT_EQ(write_.names[i], wfirst[i].first);
        EXPECT_EQ(write_.widths[i], wfirst[i].second);
    }
    EXPECT_EQ(write_.Pos("PCIE_BAR_LSW"), 12u);
    EXPECT_EQ(write_.Pos("PCIE_BAR_MSW"), 44u);
    EXPECT_EQ(write_.names[105], "P0_RX_INV0");
    EXPECT_EQ(write_.names[106], "P0_RX_LB0");

    // Bits 12..43 alone are the whole of PCIE_BAR_LSW, and nothing else.
    std::vector<uint8_t> c2(53, 0);
    for (unsigned n = 12; n < 44; ++n) c2[n / 8] |= uint8_t(1 << (n % 8));
    RunResult r = Tool({"-f", Image(false, {}, c2), "-2"});
    for (const Field &f : Parse(r.out)) EXPECT_EQ(f.value, f.name == "PCIE_BAR_LSW" ? 0xffffffffu : 0u) << f.name;

    // Random images decode field by field, lowest bit first; -S reads the
    // KV7B chain of a KV7 image without looking at its header.
    const auto c0 = Random(80, 1), c2r = Random(53, 2), b0 = Random(112, 3);
    const std::string kv7 = Image(false, c0, c2r);
    EXPECT_EQ(Tool({"-f", kv7}).out, read_.Decode(c0));
    EXPECT_EQ(Tool({"-f", kv7, "-2"}).out, write_.Decode(c2r));
    EXPECT_EQ(Tool({"-f", Image(true, b0, {})}).out, kv7b_.Decode(b0));
    RunResult s = Tool({"-f", kv7, "-S"});
    EXPECT_EQ(s.status, 0) << s.err;
    EXPECT_EQ(Parse(s.out).size(), 285u);
}

TEST_F(KvScan, RefusalsAreOneMessage)
{
    const std::string good = Image(false, Random(80, 4), Random(53, 5));
    struct Case {
        std::vector<std::string> args;
        std::string message;
    };
    const Case cases[] = {
        {{"-b", "x"}, "-b wants a board number"},
        {{"-b", "-1"}, "-b wants a board number"},
        {{"-b", "1x"}, "-b wants a board number"},
        {{"-b", "99999999999"}, "-b wants a board number"},
        {{"-g", "127.0.0.1:x"}, "-g slot"},
        {{"-g", "127.0.0.1:0:128"}, "-g port"},
        {{"-g", "127.0.0.1:0:1:2"}, "-g port"},
        {{"-g", ":1"}, "-g wants"},
        {{"-x"}, "usage: kv-scan [ -b<unit>]\n"},
        {{"-f", good, "extra"}, "usage: kv-scan [ -b<unit>]\n"},
        {{"-r", "rab0"}, "UBA tools configured without rabbit support\n"},
        {{"-f", Image(false, {}, {}, 0x402)}, "Cannot find nfw-hdr, hdr_off=0x402\n"},
        {{"-f", Image(false, {}, {}, 0)}, "Cannot find nfw-hdr, hdr_off=0x0\n"},
        {{"-f", Image(false, {}, {}, 0x100000)}, "Cannot find nfw-hdr, hdr_off=0x100000\n"},
        {{"-f", Image(true, {}, {}), "-2"}, "scan-read chain 2"},
        {{"-f", dir_.file("absent")}, "open("},
        {{"-b", "0"}, "ERROR:"}, // no simulator: no board
    };
    for (const Case &k : cases) {
        RunResult r = Tool(k.args);
        SCOPED_TRACE(k.args[0] + " " + (k.args.size() > 1 ? k.args[1] : ""));
        EXPECT_EQ(r.status, 1);
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(k.message), std::string::npos) << r.err;
        size_t lines = 0;
        for (size_t at = 0; (at = r.err.find_first_not_of('\n', at)) != std::string::npos; ++lines)
            at = r.err.find('\n', at);
        EXPECT_EQ(lines, 1u) << r.err;
    }
}

// The images quor_simctl sets come back through every path.
TEST_F(KvScan, SimulatedBoardsByEveryPath)
{
    LearnAll();
    const std::string addr = ubatest::PrivateLoopback();
    kpttest::SimdProcess simd(dir_.path(), {"--ports", "2", "--board", "1=variant=kv7b", "--bridge", addr});
    ASSERT_TRUE(simd.ready()) << simd.ready_line();
    auto ctl = [&](std::vector<std::string> a) {
        a.insert(a.begin(), {BinPath("quor_simctl"), "--dir", dir_.path()});
        RunResult r = RunProgram(a);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    };
    const auto c0 = Random(80, 10), c2 = Random(53, 11), j0 = Random(77, 12), b1 = Random(112, 13),
               j1 = Random(77, 14);
    ctl({"scan", "0", "0", Hex(c0)});
    ctl({"scan", "0", "2", Hex(c2)});
    ctl({"scan", "0", "jtag", Hex(j0)});
    ctl({"scan", "1", "0", Hex(b1)});
    ctl({"scan", "1", "jtag", Hex(j1)});
    EXPECT_EQ(ctl({"scan", "1", "0"}), Hex(b1) + "\n");

    auto expect = [&](std::vector<std::string> args, const std::string &want) {
        RunResult r = Tool(args);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(r.out == want) << (args.empty() ? "" : args[0]) << " " << (args.size() > 1 ? args[1] : "");
    };
    for (const char *method : {"zalcfg", ""}) {
        SCOPED_TRACE(std::string("method '") + method + "'");
        method_ = method;
        expect({}, read_.Decode(c0));
        expect({"-N"}, read_.Decode(c0));
        expect({"-2"}, write_.Decode(c2));
        expect({"-b", "0", "-2", "-N"}, write_.Decode(c2));
        expect({"-b", "1"}, kv7b_.Decode(b1));
        expect({"-b", "1", "-N"}, kv7b_.Decode(b1));
    }
    method_ = "zalcfg";

    // Through the bridge: the 610-bit chain, no header read.
    RunResult br = Tool({"-g", addr});
    ASSERT_EQ(br.status, 0) << br.err;
    Layout bridge;
    for (const Field &f : Parse(Tool({"-g", addr}).out)) bridge.names.push_back(f.name);
    EXPECT_EQ(bridge.names.size(), 184u);
    EXPECT_EQ(bridge.names[0], "P0_TX_DATA_RECEIVED");
    // Widths: an all-ones bridge chain.
    ctl({"scan", "0", "jtag", Hex(std::vector<uint8_t>(77, 0xff))});
    for (const Field &f : Parse(Tool({"-g", addr + ":0:0"}).out)) bridge.widths.push_back(BitLength(f.value));
    EXPECT_EQ(bridge.Bits(), 610u);
    EXPECT_EQ(Tool({"-g", addr + ":1"}).out, bridge.Decode(j1));
    ctl({"scan", "0", "jtag", Hex(j0)});
    EXPECT_EQ(Tool({"-g", addr}).out, bridge.Decode(j0));
    // The bridge's chain is only behind port 0; -S is not a bridge chain.
    EXPECT_EQ(Tool({"-g", addr + ":0:1"}).out, bridge.Decode(std::vector<uint8_t>(77, 0)));
    RunResult s = Tool({"-g", addr, "-S"});
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("ERROR:"), std::string::npos);
    // A slot without a board is refused by the bridge.
    s = Tool({"-g", addr + ":2"});
    EXPECT_EQ(s.status, 1);
    EXPECT_NE(s.err.find("result=-1"), std::string::npos) << s.err;
}

}  // namespace
