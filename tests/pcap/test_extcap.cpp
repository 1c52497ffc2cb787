// kpt_extcap, the capture source of Wireshark and tshark, against a quor_simd
// child: what it answers Wireshark's questions, capture filters checked as
// the capture compiles them, and tshark capturing through it from a personal
// extcap folder.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "program_runner.h"

namespace {

using kpttest::BinPath;
using kpttest::RunProgram;
using kpttest::RunResult;

bool Has(const std::string &s, const std::string &part) { return s.find(part) != std::string::npos; }

bool OnPath(const std::string &prog)
{
    return RunProgram({"/bin/sh", "-c", "command -v " + prog}).status == 0;
}

// Reads at least `bytes` from a fifo as Wireshark does, then closes it;
// what came, or less when the writer ended first or nothing came for 60 s.
std::string ReadFifo(const std::string &fifo, size_t bytes)
{
    std::string got;
    int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
    if (fd < 0) return got;
    char buf[65536];
    int64_t give_up = kpttest::MonoNs() + 60 * int64_t(1000000000);
    while (got.size() < bytes && kpttest::MonoNs() < give_up) {
        struct pollfd p = {fd, POLLIN, 0};
        if (poll(&p, 1, 500) <= 0) continue;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0) {
            got.append(buf, size_t(n));
            give_up = kpttest::MonoNs() + 60 * int64_t(1000000000);
        } else if (n == 0 || errno != EAGAIN) {
            break; // the writer has gone
        }
    }
    close(fd);
    return got;
}

bool IsPcapng(const std::string &data) { return data.compare(0, 4, "\x0a\x0d\x0d\x0a") == 0; }

class Extcap : public ::testing::Test {
protected:
    void Start(const std::vector<std::string> &args)
    {
        simd_ = std::make_unique<kpttest::SimdProcess>(dev_.path(), args);
        ASSERT_TRUE(simd_->ready()) << simd_->ready_line();
    }
    // Small rings start quickly.
    std::vector<std::string> Env() const
    {
        return {"ZAL_DEV_DIR=" + dev_.path(), "KPT_DATARING_SIZE=16"};
    }
    RunResult Run(std::vector<std::string> args)
    {
        args.insert(args.begin(), BinPath("kpt_extcap"));
        return RunProgram(args, Env(), 20000);
    }

    kpttest::TempDir dev_, work_;
    std::unique_ptr<kpttest::SimdProcess> simd_;
};

// The ports, named as the host names them, with their description; the
// link type and the settings of a port; a name that is no port, a setting
// out of range and a capture without its fifo are refused with a message.
TEST_F(Extcap, AnswersWiresharksQuestionsAboutThePorts)
{
    Start({"--ports", "2", "--netdev-prefix", "kx"});
    auto r = Run({"--extcap-interfaces", "--extcap-version=4.0"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto lines = kpttest::Lines(r.out);
    ASSERT_EQ(lines.size(), 3u) << r.out;
    EXPECT_EQ(lines[0].rfind("extcap {version=", 0), 0u) << lines[0];
    EXPECT_EQ(lines[1].rfind("interface {value=kx0}{display=kpt port 0, MAC ", 0), 0u) << lines[1];
    EXPECT_EQ(lines[2].rfind("interface {value=kx1}{display=kpt port 1, MAC ", 0), 0u) << lines[2];

    r = Run({"--extcap-interface", "kx1", "--extcap-dlts"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "dlt {number=1}{name=EN10MB}{display=Ethernet}\n");

    r = Run({"--extcap-interface", "kx0", "--extcap-config"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "{call=--snaplen}") && Has(r.out, "{call=--ring}")) << r.out;
    for (auto &l : kpttest::Lines(r.out)) EXPECT_EQ(l.rfind("arg {number=", 0), 0u) << l;

    struct Bad {
        std::vector<std::string> args;
        std::string says;
    } bad[] = {
        {{"--extcap-interface", "kx7", "--extcap-dlts"}, "'kx7': not a port of the adapter (its ports: kx0, kx1)"},
        {{"--extcap-interface", "lo\x01", "--extcap-config"}, "'lo\\x01': not a port"},
        {{"--extcap-interface", "kx0", "--capture"}, "--capture needs --fifo PATH"},
        {{"--extcap-interface", "kx0", "--capture", "--fifo", work_.file("f"), "--snaplen", "0"},
         "--snaplen '0': a number from 1 to 262144"},
        {{"--extcap-interface", "kx0", "--capture", "--fifo", work_.file("f"), "--ring", "1"},
         "--ring '1': MiB from 2 to 65536"},
        {{"--extcap-interfaces", "--bogus"}, "'--bogus': unknown option"},
        {{"--extcap-interface", "kx0", "--capture", "--fifo"}, "'--fifo': unknown option, or its value is missing"},
    };
    for (auto &b : bad) {
        r = Run(b.args);
        EXPECT_NE(r.status, 0) << b.says;
        EXPECT_TRUE(Has(r.err, b.says)) << r.err;
        EXPECT_EQ(r.out, "") << b.says;
    }
}

// A filter is checked by compiling it as the capture does: nothing printed
// and success when it compiles, the compiler's message and failure when not.
TEST_F(Extcap, CaptureFiltersAreCheckedAsTheCaptureCompilesThem)
{
    Start({"--ports", "1"});
    struct Case {
        const char *filter;
        bool valid;
    } cases[] = {
        {"udp and dst port 9", true},
        {"ether src 02:51:53:ff:00:01 or vlan", true},
        {"udp and and", false},
        {"dst port 70000", false},
        {"host \x01\x7f", false},
    };
    for (auto &c : cases) {
        auto r = Run({"--extcap-interface", "quor0", "--extcap-capture-filter", c.filter});
        if (c.valid) {
            EXPECT_EQ(r.status, 0) << c.filter << ": " << r.out;
            EXPECT_EQ(r.out, "") << c.filter;
        } else {
            EXPECT_NE(r.status, 0) << c.filter;
            auto lines = kpttest::Lines(r.out);
            ASSERT_EQ(lines.size(), 1u) << c.filter << ": " << r.out;
            for (unsigned char ch : lines[0]) EXPECT_TRUE(ch >= 0x20 && ch < 0x7f) << lines[0];
        }
    }
}

// A capture as Wireshark runs one, on a fifo: it ends without a word when
// the reader closes the fifo; a stop before anyone reads the fifo ends it at
// once; a stop while the reader holds the fifo without reading ends it too
// (kpt_dump, stuck writing, is killed), and nothing keeps the fifo open.
TEST_F(Extcap, CapturesEndHoweverWiresharkStopsThem)
{
    Start({"--ports", "1", "--wire", "0=gen:pps=" + std::to_string(50000 / kpttest::kSlowdown) + ",len=60"});
    std::string fifo = work_.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto capture = [&] {
        return std::make_unique<kpttest::BgProgram>(
            std::vector<std::string>{BinPath("kpt_extcap"), "--capture", "--extcap-interface", "quor0",
                                     "--fifo", fifo, "--extcap-control-in", work_.file("in"),
                                     "--extcap-control-out", work_.file("out")},
            Env());
    };

    // The reader takes 100 kB and goes away.
    {
        auto c = capture();
        std::string got = ReadFifo(fifo, 100000);
        auto r = c->Finish(40000);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_GE(got.size(), 100000u);
        EXPECT_TRUE(IsPcapng(got));
    }
    // Stopped before anyone opened the fifo.
    {
        auto c = capture();
        usleep(500000);
        c->Signal(SIGTERM);
        auto r = c->Finish(40000);
        EXPECT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
    }
    // Stopped while the reader does not read: the end of the file cannot be
    // written, and the capture is killed rather than left behind.
    {
        auto c = capture();
        int fd = open(fifo.c_str(), O_RDONLY);
        ASSERT_GE(fd, 0);
        // Until the fifo is full: kpt_dump's writes wait from then on.  A
        // pipe is full when its pages are, which writes of odd sizes leave
        // short of its size: full means no longer growing.
        int full = fcntl(fd, F_GETPIPE_SZ);
        ASSERT_GT(full, 0);
        int held = 0, last = -1, steady = 0;
        for (int i = 0; i < 3000 && steady < 100; ++i) {
            ASSERT_EQ(ioctl(fd, FIONREAD, &held), 0);
            steady = held > full / 2 && held == last ? steady + 1 : 0;
            last = held;
            usleep(10000);
        }
        ASSERT_GE(steady, 100) << held << " of " << full << "\n" << c->Err();
        c->Signal(SIGTERM);
        char buf[65536];
        auto r = c->Finish(40000);
        EXPECT_TRUE(Has(r.err, "kpt_dump did not end within 10 s of the stop: killed")) << r.err;
        EXPECT_NE(r.status, 0);
        // Every writer has closed the fifo: what it holds, then its end.
        ssize_t n;
        while ((n = read(fd, buf, sizeof buf)) > 0) {
        }
        EXPECT_EQ(n, 0);
        close(fd);
    }
}

// Installed, the program lies where the system's Wireshark looks for its
// capture programs under the prefix, and finds kpt_dump in the prefix's bin
// directory even once the tree is moved.
TEST_F(Extcap, InstalledWhereWiresharkLooksAndFindsKptDump)
{
    std::string arch = KPT_LIBRARY_ARCHITECTURE;
    std::string dir = "lib/" + (arch.empty() ? "" : arch + "/") + "wireshark/extcap";
    if (OnPath("tshark")) {
        // "Extcap path:  /usr/lib/x86_64-linux-gnu/wireshark/extcap"
        auto f = RunProgram({"/bin/sh", "-c", "tshark -G folders 2>/dev/null | sed -n 's/^Extcap path:[[:space:]]*//p'"});
        auto lines = kpttest::Lines(f.out);
        ASSERT_EQ(lines.size(), 1u) << f.out;
        EXPECT_EQ(lines[0], "/usr/" + dir);
    }
    kpttest::TempDir tree;
    auto r = RunProgram({KPT_CMAKE, "--install", KPT_BUILD_DIR, "--prefix", tree.file("prefix")}, {}, 120000);
    ASSERT_EQ(r.status, 0) << r.err;
    ASSERT_EQ(rename(tree.file("prefix").c_str(), tree.file("moved").c_str()), 0);
    std::string extcap = tree.file("moved/" + dir + "/kpt_extcap");
    ASSERT_EQ(access(extcap.c_str(), X_OK), 0) << extcap;

    Start({"--ports", "1", "--wire", "0=gen:pps=" + std::to_string(50000 / kpttest::kSlowdown) + ",len=60"});
    std::string fifo = work_.file("fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    kpttest::BgProgram c({extcap, "--capture", "--extcap-interface", "quor0", "--fifo", fifo}, Env());
    std::string got = ReadFifo(fifo, 100000);
    r = c.Finish(40000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(IsPcapng(got)) << r.err;
}

#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
// tshark finds the program in a personal extcap folder, captures 100 frames
// of a port through it and ends: the file holds those 100 frames with
// nanosecond times.  A capture filter reaches the capture.
TEST_F(Extcap, TsharkCapturesAPortIntoANanosecondFile)
{
    if (!OnPath("tshark") || !OnPath("capinfos")) GTEST_SKIP() << "tshark or capinfos is not installed";
    Start({"--ports", "1", "--wire", "0=gen:pps=20000,len=60,dport=9-10"});
    // Wireshark's personal configuration folder, with the program linked into
    // its extcap folder (kpt_dump is then found beside the link's target).
    std::string home = work_.path();
    std::string folder = home + "/.config/wireshark/extcap";
    ASSERT_EQ(RunProgram({"/bin/mkdir", "-p", folder}).status, 0);
    ASSERT_EQ(symlink(BinPath("kpt_extcap").c_str(), (folder + "/kpt_extcap").c_str()), 0);
    auto env = Env();
    env.push_back("HOME=" + home);
    env.push_back("XDG_CONFIG_HOME=" + home + "/.config");

    auto list = RunProgram({"/bin/sh", "-c", "tshark -D"}, env, 60000);
    EXPECT_TRUE(Has(list.out, "quor0 (kpt port 0, MAC ")) << list.out << list.err;

    std::string file = work_.file("x.pcapng");
    auto t = RunProgram({"/bin/sh", "-c", "tshark -i quor0 -c 100 -w " + file}, env, 90000);
    ASSERT_EQ(t.status, 0) << t.err;
    // The end of the capture is no error: Wireshark shows any text of its
    // capture programs as one.
    EXPECT_FALSE(Has(t.err, "extcap")) << t.err;
    auto info = RunProgram({"/bin/sh", "-c", "capinfos -c -M -F " + file}, env);
    ASSERT_EQ(info.status, 0) << info.err;
    EXPECT_TRUE(Has(info.out, "Number of packets:   100\n")) << info.out;
    EXPECT_TRUE(Has(info.out, "nanoseconds")) << info.out;

    // Only the frames to port 9 pass the filter.
    std::string f9 = work_.file("f9.pcapng");
    t = RunProgram({"/bin/sh", "-c", "tshark -i quor0 -f 'udp dst port 9' -c 50 -w " + f9}, env, 90000);
    ASSERT_EQ(t.status, 0) << t.err;
    EXPECT_FALSE(Has(t.err, "extcap")) << t.err;
    auto ports = RunProgram({"/bin/sh", "-c", "tshark -r " + f9 + " -T fields -e udp.dstport"}, env);
    ASSERT_EQ(ports.status, 0) << ports.err;
    auto lines = kpttest::Lines(ports.out);
    EXPECT_EQ(lines.size(), 50u);
    for (auto &l : lines) EXPECT_EQ(l, "9");
}
#endif

}  // namespace
