// quor_port_failover against a quor_simd child: the status it shows, one
// configuration write per change, the active port following links and
// priorities, and refusals that leave the board untouched - through the
// driver's configuration requests and through the library's default method
// (the memory-mapped window of the simulator's stand-in memory).
#include "test_support.h"

namespace {

using kpttest::BinPath;
using kpttest::RunProgram;

// The five status lines and the empty one.
std::string Status(const char *active, const char *rarp, const char *prio, const char *p0, const char *p1)
{
    return std::string("Currently active-port: ") + active + "\nRarp-on-failover: " + rarp +
           "\nPort-priority: " + prio + "\nP0-link is " + p0 + "\nP1-link is " + p1 + "\n\n";
}

const char kChanged[] = "\nNew status after settings change:\n";

// The access method: "zalcfg", or "" for the library's own choice.
class PortFailoverTool : public ::testing::TestWithParam<const char *> {
protected:
    void SetUp() override { ASSERT_TRUE(simd_.ready()) << simd_.ready_line(); }
    std::vector<std::string> Env()
    {
        return {"ZAL_DEV_DIR=" + dir_.path(), std::string("UBA_PCI=") + GetParam(),
                "UBA_DEVMEM=" + dir_.file("quorsim.mem"), "UBA_PCI_SYSFS=" + dir_.file("pci"),
                "UBA_VERBOSE="};
    }
    kpttest::RunResult Tool(std::vector<std::string> args)
    {
        args.insert(args.begin(), BinPath("quor_port_failover"));
        return RunProgram(args, Env(), 20000);
    }
    std::string Ctl(std::vector<std::string> args)
    {
        args.insert(args.begin(), {BinPath("quor_simctl"), "--dir", dir_.path()});
        auto r = RunProgram(args);
        EXPECT_EQ(r.status, 0) << args[3] << ": " << r.out << r.err;
        return r.out;
    }
    // What the tool shows with no option, which must succeed.
    std::string Show(const std::string &board = "0")
    {
        auto r = Tool({"-b", board});
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        return r.out;
    }
    kpttest::TempDir dir_;
    kpttest::SimdProcess simd_{dir_.path(), {"--ports", "2"}};
};

TEST_P(PortFailoverTool, ShowsStatusAndWritesOneWordPerChange)
{
    if (!*GetParam()) {
        // Without a method named the library maps the window.
        std::vector<std::string> env = Env();
        env.back() = "UBA_VERBOSE=1";
        auto v = RunProgram({BinPath("quor_port_failover")}, env, 20000);
        EXPECT_NE(v.err.find("Choosing: mm"), std::string::npos) << v.err;
    }
    const std::string fresh = Status("P0", "disabled", "P0", "UP", "UP");
    auto r = Tool({});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, fresh);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(Ctl({"vscap", "0"}),
              "unit 0: vscap version 2, mode 12, failover config 0 (0 writes), active 0, links up/up\n");

    // Both settings go out in one word; the first status is the old one.
    r = Tool({"-s", "-r", "1"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, fresh + "Setting rarp=1\nSetting prio=symmetric\n" + kChanged +
                         Status("P0", "enabled", "symmetric", "UP", "UP"));
    EXPECT_EQ(Ctl({"vscap", "0"}),
              "unit 0: vscap version 2, mode 12, failover config 0x5 (1 writes), active 0, links up/up\n");

    // A fresh run sees it; -r keeps the priority and a priority keeps RARP;
    // of several priorities the last wins.
    EXPECT_EQ(Show(), Status("P0", "enabled", "symmetric", "UP", "UP"));
    r = Tool({"-r", "0"});
    EXPECT_EQ(r.out, Status("P0", "enabled", "symmetric", "UP", "UP") + "Setting rarp=0\n" + kChanged +
                         Status("P0", "disabled", "symmetric", "UP", "UP"));
    r = Tool({"-r", "1"});
    r = Tool({"-s", "-1", "-0"});
    EXPECT_EQ(r.out, Status("P0", "enabled", "symmetric", "UP", "UP") + "Setting prio=P0\n" + kChanged +
                         Status("P0", "enabled", "P0", "UP", "UP"));

    // The other board keeps its own settings.
    EXPECT_EQ(Show("1"), fresh);
    EXPECT_NE(Ctl({"vscap", "0"}).find("failover config 0x1 (4 writes)"), std::string::npos);
}

TEST_P(PortFailoverTool, ActivePortFollowsLinksAndPriority)
{
    // P1 primary: it takes over while its link is up, and again when it
    // comes back.
    auto r = Tool({"-1"});
    EXPECT_EQ(r.out, Status("P0", "disabled", "P0", "UP", "UP") + "Setting prio=P1\n" + kChanged +
                         Status("P1", "disabled", "P1", "UP", "UP"));
    Ctl({"p1-link", "0", "down"});
    EXPECT_EQ(Show(), Status("P0", "disabled", "P1", "UP", "DOWN"));
    Ctl({"p1-link", "0", "up"});
    EXPECT_EQ(Show(), Status("P1", "disabled", "P1", "UP", "UP"));

    // Symmetric: the active port stays until its own link goes down, even
    // when the links change while nobody looks.
    r = Tool({"-s"});
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find(kChanged + Status("P1", "disabled", "symmetric", "UP", "UP")), std::string::npos)
        << r.out;
    Ctl({"p1-link", "0", "down"});
    Ctl({"p1-link", "0", "up"});
    EXPECT_EQ(Show(), Status("P0", "disabled", "symmetric", "UP", "UP"));
    Ctl({"link", "0", "down"});
    EXPECT_EQ(Show(), Status("P1", "disabled", "symmetric", "DOWN", "UP"));

    // Neither link: no active port.
    Ctl({"p1-link", "0", "down"});
    EXPECT_EQ(Show(), Status("disabled", "disabled", "symmetric", "DOWN", "DOWN"));

    // P0 primary with only P0 coming back.
    r = Tool({"-0"});
    EXPECT_EQ(r.out, Status("disabled", "disabled", "symmetric", "DOWN", "DOWN") + "Setting prio=P0\n" +
                         kChanged + Status("disabled", "disabled", "P0", "DOWN", "DOWN"));
    Ctl({"link", "0", "up"});
    EXPECT_EQ(Show(), Status("P0", "disabled", "P0", "UP", "DOWN"));
    EXPECT_EQ(Show("1"), Status("P0", "disabled", "P0", "UP", "UP"));
}

TEST_P(PortFailoverTool, RefusesWithoutWritingAnything)
{
    const std::string untouched =
        "unit 0: vscap version 2, mode 0, failover config 0 (0 writes), active 0, links up/up\n";
    const std::string prog = BinPath("quor_port_failover");
    const std::string usage =
        prog + " [ -b<unit> ] [ -0 | -1 | -s | -r<0|1> ]\n\t Options:\n"
               "\t  -b <unit>: uses NIC/Controller rank #unit (default 0)\n"
               "\t  -0: set P0 as primary link for failover purposes (P1 is backup-only)\n"
               "\t  -1: set P1 as primary link for failover purposes (P0 is backup-only)\n"
               "\t  -s: symmetric failover (only switch link if current port is down\n"
               "\t  -r<0|1>: disable/enable sending a rarp pkt on failover\n"
               "\t\t   (to update switches tables)\n\n"
               "\t With no option (other than -b<unit), only display settings/status\n\n";
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-r", "6"}, {"-r", "2"}, {"-r", "01"}, {"-r", ""}, {"-r", "1x"}, {"-r"},
          {"-b", "x"}, {"-b", "-1"}, {"-b", "1x"}, {"-b", ""}, {"-b", "99999999999"}, {"-h"}, {"-q"},
          {"-s", "extra"}}) {
        auto r = Tool(args);
        EXPECT_EQ(r.status, 1) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, usage) << args[0] << " " << (args.size() > 1 ? args[1] : "");
    }
    auto r = Tool({"-b", "2", "-r", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("trying to open Quornet board instance 2: NOT FOUND"), std::string::npos) << r.err;
    EXPECT_EQ(Ctl({"vscap", "0"}), untouched);

    // An old window is refused before the mode is set.
    Ctl({"vscap", "0", "1"});
    r = Tool({"-r", "1", "-1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("ERROR:quor_port_failover.c:", 0), 0u) << r.err;
    EXPECT_NE(r.err.find(":Firmware with no kvport configurability, vs_cap version=1\n"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
    EXPECT_EQ(Ctl({"vscap", "0"}),
              "unit 0: vscap version 1, mode 0, failover config 0 (0 writes), active 0, links up/up\n");

    // No vendor capability at all.
    Ctl({"vscap", "0", "off"});
    r = Tool({"-r", "1"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err.rfind("ERROR:quor_port_failover.c:", 0), 0u) << r.err;
    EXPECT_NE(r.err.find("Board 0 has no vendor-specific capability"), std::string::npos) << r.err;

    Ctl({"vscap", "0", "2"});
    EXPECT_EQ(Ctl({"vscap", "0"}), untouched);
    EXPECT_EQ(Show(), Status("P0", "disabled", "P0", "UP", "UP"));
}

INSTANTIATE_TEST_SUITE_P(Methods, PortFailoverTool, ::testing::Values("zalcfg", ""),
                         [](const ::testing::TestParamInfo<const char *> &i) {
                             return std::string(*i.param ? i.param : "default");
                         });

} // namespace
