// quor_mdio_rw against a quor_simd child: the status report of each module
// kind through the firmware and through both kinds of PHY, the module dump,
// PHY registers, module writes, empty cages and refusals.
#include <fstream>
#include <sstream>

#include "../uba/fake_bridge.h" // PrivateLoopback
#include "sim_phy.h"
#include "test_support.h"

namespace {

using kpttest::BinPath;
using kpttest::RunProgram;
using quorsim::ModuleCage;
using quorsim::PlugKind;

// A module image of bytes that differ from every built-in one.
std::vector<uint8_t> Pattern()
{
    std::vector<uint8_t> m(ModuleCage::kBytes);
    for (size_t i = 0; i < m.size(); ++i) m[i] = uint8_t(i * 7 + 3 + i / 256);
    return m;
}

std::string WriteModule(const kpttest::TempDir &d)
{
    std::string path = d.file("module.bin");
    std::vector<uint8_t> m = Pattern();
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char *>(m.data()), std::streamsize(m.size()));
    return path;
}

// What the status reports say about the built-in modules.
const std::string kIds = "\tVendor = SIMOPTICS       \n";
const std::string kSfppReport = "SFP+ info:\n"
                                "\tCurrent status:\n"
                                "\t   +rx-los \n"
                                "\tTemp = 28.25 Celsius\n"
                                "\tVcc = 3.3 V\n"
                                "\tTX bias = 6 mA\n"
                                "\tTX power = 0.55 mW\n"
                                "\tRX power = 0.42 mW\n"
                                "\tType = SFP (3)\n"
                                "\tConnector = LC (7)\n"
                                "\tCompliance = 10GBASE-SR (16)\n"
                                "\tWavelength = 850 nm\n" +
                                kIds +
                                "\tPN = SIM-SFPP-SR     \n"
                                "\tSN = SIMS00005678    \n"
                                "\tDate = 2026/03/14 (AB)\n";
// After "XFP info:" and, with the page-read PHY, its status line.
const std::string kXfpReport = "\tLatched status:\n"
                               "\t       +reset-complete\n"
                               "\tCurrent status:\n"
                               "\t       +reset-complete\n"
                               "\tTemp = 25.5 Celsius\n"
                               "\tTX bias = 6 mA\n"
                               "\tTX power = 0.5 mW\n"
                               "\tRX power = 0.4 mW\n"
                               "\tLaser Temp (Celsius) = -26.0000\n"
                               "\t+3.3 Supply (V) = 3.3\n"
                               "\tType = XFP (6)\n"
                               "\tConnector = LC (7)\n"
                               "\tCompliance = 10GBASE-LR (64)\n"
                               "\tWavelength = 1310 nm\n" +
                               kIds +
                               "\tPN = SIM-XFP-LR      \n"
                               "\tSN = SIMX00001234    \n"
                               "\tDate = 2026/03/14 (AB)\n";
std::string QsfpReport(const char *tx_disable)
{
    return "QSFP info:\n"
           "SN-digit=3\n"
           "status(0x2):  IntL\n"
           "LOS: latched = rx1  rx3 \n"
           "LOS: current = rx1  rx3 \n"
           "TX-Fault: latched =    tx4\n"
           "TX-Fault current =    tx3\n"
           "\tTemp = -1 Celsius\n"
           "\tVcc = 3.29 V\n"
           "\tTX disable = " +
           std::string(tx_disable) +
           "\n"
           "\n"
           "\tType = QSFP (12)\n"
           "\tConnector = MPO (12)\n"
           "\tCompliance = 10GBASE-SR (16)\n"
           "\tWavelength = 850 nm\n" +
           kIds +
           "\tPN = SIM-QSFP-SR4    \n"
           "\tSN = SIMQ00012345    \n"
           "\tDate = 2026/03/14 (AB)\n";
}

std::string Found(const char *pc, const char *xfi, const char *plug, const char *method)
{
    return std::string("Found ") + pc + ": XFI=" + xfi + ", PLUG=" + plug + "\nUsing method: " + method + "\n";
}

const char kSfpp[] = "QN10GKVB-S2-2SP", kXfp[] = "QN10GKVB-X1-XF", kQsfp[] = "QN10GKVB-Q2-2QS";

// Bytes of a -xx dump: every "xx " after a "0x..: " row label.
std::vector<uint8_t> DumpBytes(const std::string &text)
{
    std::vector<uint8_t> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) {
        if (line.size() < 6 || line.compare(0, 2, "0x") != 0 || line[4] != ':') continue;
        std::istringstream row(line.substr(6));
        std::string b;
        while (row >> b) out.push_back(uint8_t(std::stoul(b, nullptr, 16)));
    }
    return out;
}

class MdioTool : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(simd_.ready()) << simd_.ready_line(); }
    kpttest::RunResult Tool(std::vector<std::string> args)
    {
        args.insert(args.begin(), BinPath("quor_mdio_rw"));
        return RunProgram(args,
                          {"ZAL_DEV_DIR=" + dir_.path(), "UBA_PCI=zalcfg", "UBA_DEVMEM=" + dir_.file("quorsim.mem")},
                          30000);
    }
    // A run that must succeed; its standard output.
    std::string Ok(std::vector<std::string> args, const std::string &err = "")
    {
        auto r = Tool(args);
        EXPECT_EQ(r.status, 0) << args.back() << ": " << r.err;
        EXPECT_EQ(r.err, err) << args.back();
        return r.out;
    }
    // A refusal: status 1, one line on standard error.
    std::string Refused(std::vector<std::string> args, const std::string &says, const std::string &out = "")
    {
        auto r = Tool(args);
        std::string what = args.empty() ? "" : args.back();
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_EQ(r.out, out) << what;
        EXPECT_NE(r.err.find(says), std::string::npos) << what << ": " << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << what << ": " << r.err;
        return r.err;
    }
    kpttest::TempDir dir_;
    std::string module_ = WriteModule(dir_);
    std::string bridge_ = ubatest::PrivateLoopback();
    // 0 SFP+, 1 XFP, 2 QSFP (firmware service); 3 XFP without it (page-read
    // PHY); 4 SFP+ on a KV7B board with a module from a file; 5 and 6 empty
    // cages; 7 a product code with an unknown plug.
    kpttest::SimdProcess simd_{dir_.path(),
                               {"--ports", "8", "--board", "1=plug=xfp", "--board", "2=plug=qsfp", "--board",
                                "3=plug=xfp,fwxfp=off", "--board", "4=variant=kv7b,module=" + module_, "--board",
                                "5=plug=xfp,fwxfp=off,module=none", "--board", "6=plug=qsfp,module=none", "--board",
                                "7=pc=QN10GKVB-S2-ZZ", "--bridge", bridge_}};
};

TEST_F(MdioTool, FirmwareReportsOfEachModuleKind)
{
    const std::string sfpp = Found(kSfpp, "Aeluros-1010", "SFP+", "Firmware") + kSfppReport;
    const std::string xfp = Found(kXfp, "Quake-2022", "XFP", "Firmware") + "XFP info:\n" + kXfpReport;
    const std::string qsfp = Found(kQsfp, "Firmware", "QSFP", "Firmware") + QsfpReport("0x0");
    // The same through the window and through the BARs.
    for (std::string n : {"", "-N"}) {
        auto args = [&](std::vector<std::string> a) {
            if (!n.empty()) a.push_back(n);
            return a;
        };
        EXPECT_EQ(Ok(args({}), "Using Firmware method rather than Aeluros-1010\n"), sfpp) << n;
        EXPECT_EQ(Ok(args({"-b", "1"}), "Using Firmware method rather than Quake-2022\n"), xfp) << n;
        EXPECT_EQ(Ok(args({"-b", "2"})), qsfp) << n;
        // Whole-page reads give the same report.
        EXPECT_EQ(Ok(args({"-b", "2", "-S"})), qsfp) << n;
    }
    // The firmware asked for by option.
    EXPECT_EQ(Ok({"-f", "-b", "1"}), Found(kXfp, "Quake-2022", "XFP", "Firmware") + "XFP info:\n" + kXfpReport);
}

TEST_F(MdioTool, PageReadPhyReport)
{
    const std::string head = Found(kXfp, "Quake-2022", "XFP", "Quake-2022") + "XFP info:\n";
    EXPECT_EQ(Ok({"-b", "3", "-S"}), head + "\tstatus=0x0 Present Ready Signal-OK TX-ENABLED\n" + kXfpReport);
    // Laser off shows in the cage status; an empty cage ends the report.
    EXPECT_EQ(Ok({"-b", "3", "1.9", "1"}), Found(kXfp, "Quake-2022", "XFP", "Quake-2022") + "Setting 1.9h = 0x1\n");
    EXPECT_EQ(Ok({"-b", "3", "1.0xc200"}), Found(kXfp, "Quake-2022", "XFP", "Quake-2022") + "0x1.c200h = 0x8000\n");
    EXPECT_EQ(Ok({"-b", "5"}), head + "\tstatus=0x1 Absent Ready Signal-OK TX-ENABLED\n");
}

TEST_F(MdioTool, RegisterPhyReport)
{
    EXPECT_EQ(Ok({"-a"}), Found(kSfpp, "Aeluros-1010", "SFP+", "Aeluros-1010") + kSfppReport);
}

// Through the bridge the board is taken to be a dual-port SFP+ board with
// the register PHY; nothing of the board's own is read.
TEST_F(MdioTool, BridgeReportAndRegistersMeetTheWindow)
{
    const std::string opening = "Opening " + bridge_ + ":0:0\n";
    const std::string g = "Using method: Aeluros-1010\n";
    EXPECT_EQ(Ok({"-g", bridge_}, opening), g + kSfppReport);
    EXPECT_EQ(Ok({"-g", bridge_ + ":0:0", "-S"}, opening), g + kSfppReport);

    // A register written one way reads back the other way, on that board
    // only (slot s + 1 of the bridge is board s).
    const std::string w = Found(kSfpp, "Aeluros-1010", "SFP+", "Aeluros-1010");
    EXPECT_EQ(Ok({"-a", "1.9", "0x55"}), w + "Setting 1.9h = 0x55\n");
    EXPECT_EQ(Ok({"-g", bridge_, "1.9"}, opening), g + "0x1.9h = 0x55\n");
    const std::string opening2 = "Opening " + bridge_ + ":2:0\n";
    EXPECT_EQ(Ok({"-g", bridge_ + ":2", "1.0xc201", "0x77"}, opening2), g + "Setting 1.c201h = 0x77\n");
    EXPECT_EQ(Ok({"-b", "2", "-a", "-n", "2", "1.0xc200"}), Found(kQsfp, "Firmware", "QSFP", "Aeluros-1010") +
                                                                    "0x1.c200h = 0x0\n0x1.c201h = 0x77\n");
    EXPECT_EQ(Ok({"-g", bridge_, "1.0xc201"}, opening), g + "0x1.c201h = 0x0\n");

    // Module bytes through the bridge's register PHY; no firmware there.
    EXPECT_EQ(Ok({"-g", bridge_, "-i", "0xa3.110"}, opening), g + "0xa3.6eh = 0x2\n");
    Refused({"-g", bridge_, "-f"}, "ERROR:The Firmware method needs a board in this host");
    Refused({"-g", bridge_, "-i", "160.127", "1"}, "ERROR:Nothing written", "");
}

TEST_F(MdioTool, DumpIsTheModuleImage)
{
    // Both pages of an SFP+ module (KV7B board, so also the port byte the
    // firmware wants there).
    auto r = Tool({"-b", "4", "-xx"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(DumpBytes(r.out), Pattern());
    EXPECT_NE(r.out.find("\n\nBank 0xA2:\n\n0x00: "), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.size() - 2), " \n");

    // One page of the others.
    auto xfp = ModuleCage::builtin(PlugKind::xfp);
    r = Tool({"-b", "1", "-x", "-x", "-S"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(DumpBytes(r.out), std::vector<uint8_t>(xfp.begin(), xfp.begin() + 256));
    EXPECT_NE(r.out.find("\n0xf0: "), std::string::npos);
    EXPECT_EQ(r.out.substr(r.out.find("\n\nBank 0xA2:\n")), "\n\nBank 0xA2:\n\n");
}

TEST_F(MdioTool, PhyRegistersAndModuleBytes)
{
    const std::string sfpp = Found(kSfpp, "Aeluros-1010", "SFP+", "Aeluros-1010");
    EXPECT_EQ(Ok({"-a", "1.9", "1"}), sfpp + "Setting 1.9h = 0x1\n");
    EXPECT_EQ(Ok({"-a", "1.0xc201", "0xffff"}), sfpp + "Setting 1.c201h = 0xffff\n");
    EXPECT_EQ(Ok({"-a", "-n", "3", "1.9"}), sfpp + "0x1.9h = 0x1\n0x1.ah = 0x0\n0x1.bh = 0x0\n");
    EXPECT_EQ(Ok({"-a", "1.0xc200"}), sfpp + "0x1.c200h = 0x8000\n");
    // The page of device 0, four registers in a row.
    EXPECT_EQ(Ok({"-a", "0.2", "0xab"}), sfpp + "Setting 0.2h = 0xab\n");
    EXPECT_EQ(Ok({"-a", "-n", "4", "0.0"}), sfpp + "0x0.0h = 0x0\n0x0.1h = 0x0\n0x0.2h = 0xab\n0x0.3h = 0x0\n");
    EXPECT_EQ(Ok({"-a", "1.0x8009"}), sfpp + "0x1.8009h = 0xab\n");

    // KV7B boards use their own encoding of the bus.
    EXPECT_EQ(Ok({"-b", "4", "-a", "1.9", "0x1234"}), sfpp + "Setting 1.9h = 0x1234\n");
    EXPECT_EQ(Ok({"-b", "4", "-a", "1.9"}), sfpp + "0x1.9h = 0x1234\n");
    // Boards keep their own PHYs; module bytes through the register PHY.
    EXPECT_EQ(Ok({"-b", "0", "-a", "1.9"}), sfpp + "0x1.9h = 0x1\n");
    EXPECT_EQ(Ok({"-a", "-i", "-n", "2", "0xa3.96"}), sfpp + "0xa3.60h = 0x1c\n0xa3.61h = 0x40\n");
}

TEST_F(MdioTool, RegisterListAndReadRate)
{
    const std::string sfpp = Found(kSfpp, "Aeluros-1010", "SFP+", "Aeluros-1010");
    Ok({"-a", "1.9", "1"});
    Ok({"-a", "1.0xc201", "0xffff"});
    // Every -v row, the written ones among them.
    std::string v = Ok({"-a", "-v"});
    EXPECT_EQ(std::count(v.begin(), v.end(), '\n'), 2 + 46);
    EXPECT_NE(v.find("\n1.9h (pma/pmd rx dis): 0x1\n"), std::string::npos) << v;
    EXPECT_NE(v.find("\n1.c201h (pma/pmd xfp ctl): 0xffff\n"), std::string::npos) << v;
    EXPECT_NE(v.find("\n4.c002h (xs vs sta): 0x0\n"), std::string::npos) << v;

    // The read rate: 100 reads of 3.0xc037.
    Ok({"-a", "3.0xc037", "0x200"});
    std::string rate = Ok({"-a", "-R"});
    size_t lines = 0;
    for (size_t p = rate.find("\n0x200\n"); p != std::string::npos; p = rate.find("\n0x200\n", p + 1)) ++lines;
    EXPECT_EQ(lines, 100u) << rate;
    EXPECT_NE(rate.find(" Mbit/s of DOWN\n"), std::string::npos);
}

TEST_F(MdioTool, ModuleWritesThroughTheFirmware)
{
    const std::string q = Found(kQsfp, "Firmware", "QSFP", "Firmware");
    EXPECT_EQ(Ok({"-b", "2", "-i", "160.86", "15"}), q + "Setting 160.56h = 0xf\n");
    EXPECT_EQ(Ok({"-b", "2", "-i", "161.86"}), q + "0xa1.56h = 0xf\n");
    EXPECT_EQ(Ok({"-b", "2"}), q + QsfpReport("0xf"));
    EXPECT_EQ(Ok({"-b", "2", "-l", "1"}), q);
    EXPECT_EQ(Ok({"-b", "2", "-i", "161.86"}), q + "0xa1.56h = 0x0\n");
    EXPECT_EQ(Ok({"-b", "2", "-l", "0"}), q);
    EXPECT_EQ(Ok({"-b", "2", "-i", "161.86"}), q + "0xa1.56h = 0xf\n");

    // The register PHY cannot write: refused, and the module keeps its byte.
    const std::string sfpp = Found(kSfpp, "Aeluros-1010", "SFP+", "Aeluros-1010");
    Refused({"-a", "-i", "160.127", "15"}, "ERROR:Nothing written: module writes need the Firmware method", sfpp);
    EXPECT_EQ(Ok({"-i", "161.127"}, "Using Firmware method rather than Aeluros-1010\n"),
              Found(kSfpp, "Aeluros-1010", "SFP+", "Firmware") + "0xa1.7fh = 0x0\n");
}

TEST_F(MdioTool, RefusalsWriteNothing)
{
    std::string usage = Tool({"-q"}).err;
    EXPECT_EQ(usage.rfind("usage: mdio_rw is used to access PHY/Transceiver(TCVR) registers\n", 0), 0u);
    EXPECT_NE(usage.find("\t\t -xx            :dump the whole 256 byte TCVR table\n"), std::string::npos);
    EXPECT_NE(usage.find("\t\t   mdio_rw 1.9 1     -- turn laser off\n"), std::string::npos);
    EXPECT_EQ(Tool({"1.9", "1", "2"}).err, usage);

    struct Case {
        std::vector<std::string> args;
        const char *says;
    };
    const Case cases[] = {
        {{"-b", "x", "1.9", "1"}, "Invalid number for -b: x"},
        {{"-b", "1x", "1.9", "1"}, "Invalid number for -b"},
        {{"-b", "-1", "1.9", "1"}, "Invalid number for -b"},
        {{"-n", "0", "1.9"}, "Invalid number for -n: 0"},
        {{"-n", "4", "1.0xfffd"}, "Register out of range: 1.0xfffd"},
        {{"-l", "on"}, "Invalid number for -l"},
        {{"-a", "1.9", "abc"}, "Invalid value: abc"},
        {{"-a", "1.9", "0x10000"}, "Invalid value: 0x10000"},
        {{"-a", "1.9", "1.5"}, "Invalid value: 1.5"},
        {{"-a", "1.9", " 1"}, "Invalid value:  1"},
        {{"-a", "1,9", "1"}, "Invalid register syntax: 1,9"},
        {{"-a", "40.1", "1"}, "Register out of range: 40.1"},
        {{"-a", "1.0x10000", "1"}, "Register out of range"},
        {{"-a", "0.0x7ff9", "1"}, "Register out of range"},
        {{"-i", "160.86", "0x100"}, "Invalid value: 0x100"},
        {{"-i", "0x100.1", "1"}, "Register out of range"},
        {{"-g", "host:x"}, "Invalid bridge address for -g: host:x"},
        {{"-g", "host:1:256"}, "Invalid bridge address"},
        {{"-r", "rabbit0"}, "UBA tools configured without rabbit support"},
        {{"-b", "9", "1.9", "1"}, "trying to open Quornet board instance 9: NOT FOUND"},
    };
    for (const Case &c : cases) Refused(c.args, c.says);

    // Refusals after start-up.
    Refused({"-b", "3", "-f", "1.9", "1"}, "ERROR:Firmware does not support XFP query prog-intf",
            std::string("Found ") + kXfp + ": XFI=Quake-2022, PLUG=XFP\n");
    Refused({"-b", "6"}, "ERROR:Performing xfp-access: 3", Found(kQsfp, "Firmware", "QSFP", "Firmware") + "QSFP info:\n");
    Refused({"-b", "7", "1.9", "1"}, "ERROR:Unknown card PC=QN10GKVB-S2-ZZ");

    // Nothing reached the PHYs or the module.
    const std::string sfpp = Found(kSfpp, "Aeluros-1010", "SFP+", "Aeluros-1010");
    EXPECT_EQ(Ok({"-a", "-n", "2", "1.0"}), sfpp + "0x1.0h = 0x0\n0x1.1h = 0x0\n");
    EXPECT_EQ(Ok({"-a", "1.9"}), sfpp + "0x1.9h = 0x0\n");
    EXPECT_EQ(Ok({"-b", "3", "1.9"}), Found(kXfp, "Quake-2022", "XFP", "Quake-2022") + "0x1.9h = 0x0\n");
    EXPECT_EQ(Ok({"-b", "2", "-i", "161.86"}), Found(kQsfp, "Firmware", "QSFP", "Firmware") + "0xa1.56h = 0x0\n");
}

}  // namespace
