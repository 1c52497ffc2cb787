// kpt_basic_diags, kpt_oc, kpt_portinfo and udp_multi_sink as programs,
// against a quor_simd child (the sink against plain sockets).  The
// diagnostics and the sink run in a private network namespace as root and
// skip themselves otherwise.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <memory>
#include <sstream>

#include "iface_util.h"
#include "prog_child.h"
#include "test_support.h"

namespace {

using kpttest::BinPath;
using kpttest::RunProgram;
using kpttest::RunResult;

using kpttest::Lines;

bool HasLine(const std::string &out, const std::string &line)
{
    for (const auto &l : Lines(out))
        if (l == line) return true;
    return false;
}

int CountContaining(const std::string &out, const std::string &text)
{
    int n = 0;
    for (const auto &l : Lines(out)) n += l.find(text) != std::string::npos;
    return n;
}

// sscanf over a whole line: true when every conversion was made and nothing
// is left over.
template <typename... A>
bool ScanLine(const std::string &line, const std::string &fmt, A *...a)
{
    int used = -1;
    const int got = sscanf(line.c_str(), (fmt + "%n").c_str(), a..., &used);
    return got == int(sizeof...(A)) && used == int(line.size());
}

// A simulator child and the programs run against it.
class SimdPrograms : public ::testing::Test {
public:
    RunResult Run(const std::string &prog, const std::vector<std::string> &args,
                  std::vector<std::string> env = {}, int timeout_ms = 30000)
    {
        std::vector<std::string> argv = {BinPath(prog)};
        argv.insert(argv.end(), args.begin(), args.end());
        env.push_back("ZAL_DEV_DIR=" + dir_.path());
        return RunProgram(argv, env, timeout_ms);
    }

protected:
    void StartSim(const std::vector<std::string> &args)
    {
        simd_ = std::make_unique<kpttest::SimdProcess>(dir_.path(), args);
        ASSERT_TRUE(simd_->ready()) << simd_->ready_line();
    }
    std::string Ctl(const std::vector<std::string> &args)
    {
        RunResult r = Run("quor_simctl", args);
        EXPECT_EQ(r.status, 0) << r.err;
        return r.out;
    }

    kpttest::TempDir dir_;
    std::unique_ptr<kpttest::SimdProcess> simd_;
};

// A private network namespace without IPv6: the host stack stays silent on
// the simulator's TAP interfaces, whose neighbour discovery would otherwise
// count as frames a port sent and wake rings that must stay idle.
class QuietNetns : public SimdPrograms {
protected:
    void SetUp() override
    {
        std::string why;
        if (!kpttest::EnterPrivateNetns(&why)) GTEST_SKIP() << why;
        for (const char *f : {"/proc/sys/net/ipv6/conf/all/disable_ipv6",
                              "/proc/sys/net/ipv6/conf/default/disable_ipv6"}) {
            if (FILE *fp = fopen(f, "w")) {
                fputs("1", fp);
                fclose(fp);
            }
        }
    }
};

// ---------------------------------------------------------------------------
// kpt_basic_diags
// ---------------------------------------------------------------------------

using DiagsTest = QuietNetns;

// Runs the diagnostics with small data rings, which keep the many ring
// set-ups quick.  The program's own timing window (490 to 520 ms a timeout)
// can be missed on a machine overloaded by other work, so a run that missed
// it is repeated, twice at most; a timeout that is really wrong misses it
// every time.
RunResult RunDiags(SimdPrograms *t)
{
    RunResult r;
    for (int attempt = 0; attempt < 3; ++attempt) {
        r = t->Run("kpt_basic_diags", {}, {"KPT_DATARING_SIZE=0x400000"}, 45000);
        if (r.out.find("missed threshold") == std::string::npos) break;
        std::cerr << "timing window missed, once more:\n" << r.out;
    }
    return r;
}

std::string MacOf(const std::string &ifname)
{
    struct ifreq ifr = {};
    snprintf(ifr.ifr_name, IFNAMSIZ, "%s", ifname.c_str());
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int rc = ioctl(s, SIOCGIFHWADDR, &ifr);
    close(s);
    if (rc != 0) return "?";
    const auto *m = reinterpret_cast<const uint8_t *>(ifr.ifr_hwaddr.sa_data);
    char b[32];
    snprintf(b, sizeof b, "%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    return b;
}

// Every receive timeout line: EAGAIN after 490 to 520 ms.  Their number.
int CheckTimeoutLines(const std::string &out)
{
    int n = 0;
    for (const auto &l : Lines(out)) {
        int rc = 0, ms = 0;
        if (!ScanLine(l, "test_recv_timeout for 500 msecs returned %d after %d msecs", &rc, &ms))
            continue;
        ++n;
        EXPECT_EQ(rc, EAGAIN) << l;
        EXPECT_GE(ms, 490) << l;
        EXPECT_LE(ms, 520) << l;
    }
    return n;
}

TEST_F(DiagsTest, HealthyTwoPortSimulatorPassesEveryCheck)
{
    StartSim({"--ports", "2", "--netdev"});
    RunResult r = RunDiags(this);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    for (int p = 0; p < 2; ++p) {
        const std::string name = "quor" + std::to_string(p);
        EXPECT_TRUE(HasLine(r.out, name + "        portnum=" + std::to_string(p) + " mac_addr=" +
                                       MacOf(name) + " link_speed=10 Gbps"))
            << r.out;
        EXPECT_TRUE(HasLine(r.out, "port=" + std::to_string(p) +
                                       ", link status is up timesource is local host (no external)"));
        EXPECT_TRUE(HasLine(r.out, "test_inject@" + std::to_string(p) +
                                       " NIC  sent 2 packets was a SUCCESS"));
    }
    EXPECT_TRUE(HasLine(r.out, "test_getifaddrs() found 2 devices"));
    EXPECT_TRUE(HasLine(r.out, "kpt_open test: First port                     portnum =       0 "
                               "kpt_ring_open() successful"));
    EXPECT_TRUE(HasLine(r.out, "kpt_open test: All ports with a link up       portmask=     0x3 "
                               "kpt_ring_open() successful"));
    EXPECT_TRUE(HasLine(r.out, "kpt_open test: Invalid port request           portnum =      31 "
                               "does NOT have to pass"));
    EXPECT_EQ(CheckTimeoutLines(r.out), 26) << r.out;
    EXPECT_TRUE(HasLine(r.out, "kpt timeout test on port mask 0x3 passed"));
    EXPECT_TRUE(HasLine(r.out, "test_cancel_recv via pthread_kill started over 4 rings and "
                               "threads was a SUCCESS"));
    EXPECT_TRUE(HasLine(r.out, "test_cancel_recv via pthread_kill started over 8 rings and "
                               "threads was a SUCCESS"));
}

TEST_F(DiagsTest, DownLinkStopsTheRunAtItsInjectionCheck)
{
    StartSim({"--ports", "2", "--netdev"});
    Ctl({"link", "1", "down"});
    Ctl({"timesource", "0", "6"});
    Ctl({"timesource", "1", "5"});
    RunResult r = RunDiags(this);
    EXPECT_EQ(r.status, 255) << r.out << r.err;
    EXPECT_TRUE(HasLine(r.out, "port=0, link status is up external timestamp failure (OK for "
                               "this test)"))
        << r.out;
    EXPECT_TRUE(HasLine(r.out, "port=1, link status is down external timesource SYNCED"));
    EXPECT_TRUE(HasLine(r.out, "kpt_open test: All ports with a link up       portmask=     0x1 "
                               "successful"));
    EXPECT_EQ(CheckTimeoutLines(r.out), 26) << r.out;
    EXPECT_TRUE(HasLine(r.out, "test_inject@0 NIC  sent 2 packets was a SUCCESS"));
    ASSERT_FALSE(Lines(r.out).empty());
    EXPECT_EQ(Lines(r.out).back(), "test_inject@1 expected 2 packets sent, got 0: FAILURE");
    EXPECT_EQ(r.out.find("test_cancel_recv"), std::string::npos);
}

// Traffic on the port: the first receives get packets, capture is stopped at
// the tenth, and what follows must time out; blocked receives that were fed
// packets still end with EINTR.
TEST_F(DiagsTest, TrafficIsStoppedAndTheRestTimesOut)
{
    StartSim({"--ports", "1", "--netdev", "--wire", "0=gen:pps=20,len=60"});
    RunResult r = RunDiags(this);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    const int timeouts = CheckTimeoutLines(r.out);
    EXPECT_GE(timeouts, 1);
    EXPECT_LE(timeouts, 3);
    EXPECT_TRUE(HasLine(r.out, "kpt timeout test on port 0 passed"));
    EXPECT_EQ(r.out.find("port mask"), std::string::npos) << "one valid port";
    EXPECT_EQ(CountContaining(r.out, "rings and threads was a SUCCESS"), 2) << r.out;
    EXPECT_EQ(r.err.find("unexpected return"), std::string::npos) << r.err;
}

TEST_F(SimdPrograms, DiagsWithoutADriverGiveTheReason)
{
    RunResult r = Run("kpt_basic_diags", {});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "test_getifaddrs() failed to return any kpt-capable devices: driver not "
                     "loaded\n");

    StartSim({"--ports", "1"});
    Ctl({"refuse", "0", "EACCES"});
    r = Run("kpt_basic_diags", {});
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.out, "test_getifaddrs() failed to return any kpt-capable devices: can't "
                     "read/write character device\n");
}

// ---------------------------------------------------------------------------
// kpt_oc and kpt_portinfo
// ---------------------------------------------------------------------------

TEST_F(SimdPrograms, OpenCloseSettingsReachTheDriver)
{
    StartSim({"--ports", "2"});
    RunResult r = Run("kpt_oc", {"-v", "-n", "2", "-b", "1", "-R", "3", "-r", "0x11", "-d",
                                 "0x200000", "-f", "0x200", "-x", "-p"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(HasLine(r.out, "Unknown option: x")) << r.out;
    EXPECT_TRUE(HasLine(r.out, "open/close 2 times, nic: 1, flags:512, rss:17, rings:3 open "
                               "rings "));
    std::string p = Ctl({"rx-params", "1"});
    EXPECT_NE(p.find("num_rings 3 open_flags 0x200 rss_flags 0x11"), std::string::npos) << p;
    EXPECT_NE(p.find("data_ring 2097152 "), std::string::npos) << p;

    // Left out, the settings come from the environment.
    r = Run("kpt_oc", {}, {"KPT_DATARING_SIZE=0x400000", "KPT_FLAGS=0x200", "KPT_NUM_RINGS=2",
                           "KPT_RSS_FLAGS=0x21"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "");
    p = Ctl({"rx-params", "0"});
    EXPECT_NE(p.find("num_rings 2 open_flags 0x200 rss_flags 0x21"), std::string::npos) << p;
    EXPECT_NE(p.find("data_ring 4194304 "), std::string::npos) << p;
}

TEST_F(SimdPrograms, OpenCloseOpensRingsOnlyWhenAsked)
{
    StartSim({"--ports", "1", "--endpoints", "48"});
    const std::vector<std::string> env = {"KPT_DEBUG_MASK=2", "KPT_DATARING_SIZE=0x100000"};
    const char *kRingLine = "rx_init: ring_id";
    RunResult r = Run("kpt_oc", {"-s", "-n", "3"}, env);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(CountContaining(r.err, kRingLine), 3) << r.err;
    r = Run("kpt_oc", {"-n", "3"}, env);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(CountContaining(r.err, kRingLine), 0) << r.err;

    r = Run("kpt_oc", {"-n", "0", "-v", "-s"}, env);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "open/close 0 times, nic: 0, flags:-1, rss:0, rings:0 open rings start/stop\n");
    EXPECT_EQ(r.err, "") << "no handle was opened";

    // More cycles than the board has endpoints: each cycle gives its own back.
    r = Run("kpt_oc", {"-n", "60", "-p", "-d", "0x100000"});
    EXPECT_EQ(r.status, 0) << r.err;
    r = Run("kpt_oc", {"-n", "60", "-s", "-R", "2", "-d", "0x100000"});
    EXPECT_EQ(r.status, 0) << r.err;
}

TEST_F(SimdPrograms, OpenCloseExitsWithTheFailingResult)
{
    StartSim({"--ports", "1"});
    RunResult r = Run("kpt_oc", {"-b", "4"});
    EXPECT_EQ(r.status, ENODEV);
    EXPECT_EQ(r.err, "kpt_open FAILED: No such device\n");

    Ctl({"fail", "0", "kpt_start", "EIO"});
    r = Run("kpt_oc", {"-s", "-d", "0x100000"});
    EXPECT_EQ(r.status, EIO);
    EXPECT_EQ(r.err, "Can't start packet capture for sniffing: Input/output error\n");
    Ctl({"fail", "0", "kpt_start", "off"});
    Ctl({"fail", "0", "kpt_stop", "EIO"});
    r = Run("kpt_oc", {"-s", "-d", "0x100000"});
    EXPECT_EQ(r.status, EIO);
    EXPECT_EQ(r.err, "Can't stop packet capture for sniffing: Input/output error\n");

    for (std::vector<std::string> bad : {std::vector<std::string>{"-n", "ten"}, {"-b", "1x"},
                                         {"-R", "99999999999"}, {"-d", ""}, {"-f"}}) {
        r = Run("kpt_oc", bad);
        EXPECT_EQ(r.status, 1) << bad[0];
        EXPECT_NE(r.err.find("kpt_oc: "), std::string::npos) << r.err;
    }
}

struct PortInfo {
    uint64_t q_size = 0, data_addr = 0, data_size = 0;
    unsigned portcnt = 0, portmask = 0;
};

std::vector<PortInfo> ParsePortInfo(const std::string &out)
{
    std::vector<PortInfo> v;
    for (const auto &l : Lines(out)) {
        int ring = -1;
        char name[16];
        unsigned long long n = 0;
        if (ScanLine(l, "Port info for ring %d:", &ring)) {
            EXPECT_EQ(ring, int(v.size()));
            v.emplace_back();
        } else if (!v.empty() && (ScanLine(l, "  %15[a-z_] = 0x%llx", name, &n) ||
                                  ScanLine(l, "  %15[a-z_] = %llu", name, &n))) {
            const std::string f = name;
            if (f == "q_size") v.back().q_size = n;
            if (f == "portcnt") v.back().portcnt = unsigned(n);
            if (f == "portmask") v.back().portmask = unsigned(n);
            if (f == "data_addr") v.back().data_addr = n;
            if (f == "data_size") v.back().data_size = n;
        } else {
            ADD_FAILURE() << "unexpected line: " << l;
        }
    }
    return v;
}

TEST_F(SimdPrograms, PortInfoPrintsARecordPerPortOfTheRing)
{
    StartSim({"--ports", "2"});
    const std::vector<std::string> env = {"KPT_DATARING_SIZE=0x400000"};
    RunResult r = Run("kpt_portinfo", {"-b", "1"}, env);
    EXPECT_EQ(r.status, 0) << r.err;
    auto recs = ParsePortInfo(r.out);
    ASSERT_EQ(recs.size(), 1u) << r.out;
    EXPECT_EQ(recs[0].q_size, 0x400000u);
    EXPECT_EQ(recs[0].portcnt, 1u);
    EXPECT_EQ(recs[0].portmask, 0x2u);
    EXPECT_NE(recs[0].data_addr, 0u);
    EXPECT_GE(recs[0].data_size, 0x400000u);

    r = Run("kpt_portinfo", {"-a", "-b", "3"}, env);
    EXPECT_EQ(r.status, 0) << r.err;
    recs = ParsePortInfo(r.out);
    ASSERT_EQ(recs.size(), 2u) << r.out;
    EXPECT_EQ(recs[0].portmask | recs[1].portmask, 0x3u);
    EXPECT_NE(recs[0].data_addr, recs[1].data_addr);

    r = Run("kpt_portinfo", {"-p", "7"}, env);
    EXPECT_EQ(r.status, 255);
    EXPECT_EQ(r.err, "kpt_open failed: No such device\n");

    r = Run("kpt_portinfo", {"-z"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "usage: " + BinPath("kpt_portinfo") +
                         " [options]\n   -b <board>: Quor10G board number to open\n"
                         "           -a: use KPT_F_AGGREGATE_PORTMASK\n\n");
}

// ---------------------------------------------------------------------------
// udp_multi_sink
// ---------------------------------------------------------------------------

// The sink's address on the namespace's loopback.
class SinkTest : public QuietNetns {
protected:
    void SetUp() override
    {
        QuietNetns::SetUp();
        if (IsSkipped()) return;
        ASSERT_EQ(kpttest::Ip({"addr", "add", "10.0.0.1/32", "dev", "lo"}), "");
        fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_GE(fd_, 0);
    }
    void TearDown() override
    {
        if (fd_ >= 0) close(fd_);
    }

    // True once a UDP socket of this namespace is bound to 10.0.0.1:port.
    static bool Bound(int port)
    {
        char want[32];
        snprintf(want, sizeof want, "0100000A:%04X", port);
        return kpttest::ReadFile("/proc/net/udp").find(want) != std::string::npos;
    }

    // Sends payload to the port and returns the echo (empty after 2 s),
    // with the port it came from.
    std::string Echo(int port, const std::string &payload, int *from_port = nullptr)
    {
        struct sockaddr_in to = {};
        to.sin_family = AF_INET;
        to.sin_port = htons(uint16_t(port));
        inet_pton(AF_INET, "10.0.0.1", &to.sin_addr);
        EXPECT_EQ(sendto(fd_, payload.data(), payload.size(), 0,
                         reinterpret_cast<sockaddr *>(&to), sizeof to),
                  ssize_t(payload.size()));
        struct pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, 2000) != 1) return {};
        std::string buf(65536, '\0');
        struct sockaddr_in from = {};
        socklen_t fl = sizeof from;
        ssize_t n = recvfrom(fd_, buf.data(), buf.size(), 0, reinterpret_cast<sockaddr *>(&from),
                             &fl);
        if (n < 0) return {};
        if (from_port) *from_port = ntohs(from.sin_port);
        buf.resize(size_t(n));
        return buf;
    }
    int LocalPort() const
    {
        struct sockaddr_in a = {};
        socklen_t l = sizeof a;
        getsockname(fd_, reinterpret_cast<sockaddr *>(&a), &l);
        return ntohs(a.sin_port);
    }

    int fd_ = -1;
};

TEST_F(SinkTest, EchoesEveryDatagramFromItsPortAndCountsIt)
{
    kpttest::ChildProgram sink({BinPath("udp_multi_sink"), "-v", "-v", "-p", "5000-5003"});
    ASSERT_TRUE(kpttest::WaitUntil([] { return Bound(5003); }, 5000));
    uint64_t bytes = 0;
    for (int port = 5000; port <= 5003; ++port) {
        std::string msg(size_t(100 + port - 5000), '\0');
        for (size_t i = 0; i < msg.size(); ++i) msg[i] = char(i * 7 + port);
        int from = 0;
        EXPECT_EQ(Echo(port, msg, &from), msg) << port;
        EXPECT_EQ(from, port);
        bytes += msg.size();
    }
    // Longer than the sink's buffer: echoed cut to 9000 bytes.
    std::string big(9100, 'b');
    EXPECT_EQ(Echo(5001, big), big.substr(0, 9000));
    bytes += 9000;

    RunResult r = sink.Finish(SIGINT);
    EXPECT_EQ(r.status, 0) << r.err;
    ASSERT_FALSE(Lines(r.out).empty());
    EXPECT_EQ(Lines(r.out).back(), "packets: 5, bytes: " + std::to_string(bytes));
    int maxfd = -1, next_port = 5000;
    for (const auto &l : Lines(r.out)) {
        int fd = -1, port = -1;
        if (!ScanLine(l, "sock: %d, binding to 10.0.0.1:%d", &fd, &port)) continue;
        maxfd = std::max(maxfd, fd);
        EXPECT_EQ(port, next_port++);
    }
    EXPECT_EQ(next_port, 5004);
    EXPECT_TRUE(HasLine(r.out, "biggest fd: " + std::to_string(maxfd))) << r.out;
    const std::string client = "10.0.0.1:" + std::to_string(LocalPort());
    EXPECT_TRUE(HasLine(r.out, "port 5002: 102 bytes to " + client)) << r.out;
    EXPECT_TRUE(HasLine(r.out, "port 5001: 9000 bytes to " + client));
}

TEST_F(SinkTest, DefaultPortAndTheFullRange)
{
    {
        kpttest::ChildProgram sink({BinPath("udp_multi_sink")});
        ASSERT_TRUE(kpttest::WaitUntil([] { return Bound(9999); }, 5000));
        EXPECT_EQ(Echo(9999, "hello"), "hello");
        RunResult r = sink.Finish(SIGTERM);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, "packets: 1, bytes: 5\n") << "no -v, no other lines";
    }
    kpttest::ChildProgram sink({BinPath("udp_multi_sink"), "-p", "0x4e20-20255"});
    ASSERT_TRUE(kpttest::WaitUntil([] { return Bound(20255); }, 5000));
    for (int port = 20000; port <= 20255; ++port) {
        int from = 0;
        EXPECT_EQ(Echo(port, "p" + std::to_string(port), &from), "p" + std::to_string(port));
        EXPECT_EQ(from, port);
    }
    RunResult r = sink.Finish(SIGTERM);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "packets: 256, bytes: " + std::to_string(256 * 6) + "\n");
}

TEST_F(SinkTest, IntervalLinesOnlyWithTraffic)
{
    kpttest::ChildProgram sink({BinPath("udp_multi_sink"), "-t", "-p", "7000"});
    ASSERT_TRUE(kpttest::WaitUntil([] { return Bound(7000); }, 5000));
    usleep(1300000); // one idle interval
    EXPECT_EQ(sink.Out(), "");
    for (int i = 0; i < 3; ++i) EXPECT_EQ(Echo(7000, std::string(100, 'x')), std::string(100, 'x'));
    EXPECT_TRUE(sink.WaitOutput("tot pkts: 3\n", 3000)) << sink.Out();
    RunResult r = sink.Finish(SIGTERM);
    EXPECT_EQ(r.status, 0);
    auto lines = Lines(r.out);
    ASSERT_EQ(lines.size(), 2u) << r.out;
    double secs = 0, bw = 0;
    ASSERT_TRUE(ScanLine(lines[0], "%lfs, pkts 3, pkt_sz 100 bw %lf, tot pkts: 3", &secs, &bw))
        << lines[0];
    char want[128];
    snprintf(want, sizeof want, "%.3fs, pkts 3, pkt_sz 100 bw %6.3f, tot pkts: 3", secs, bw);
    EXPECT_EQ(lines[0], want);
    EXPECT_GT(secs, 0.5);
    EXPECT_LT(secs, 5.0);
    EXPECT_EQ(lines[1], "packets: 3, bytes: 300");
}

TEST_F(SinkTest, APortInUseIsABindError)
{
    int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    struct sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(6002);
    inet_pton(AF_INET, "10.0.0.1", &a.sin_addr);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0) << strerror(errno);
    RunResult r = RunProgram({BinPath("udp_multi_sink"), "-p", "6000-6003"});
    close(s);
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "bind(): Address already in use\n");
}

TEST(SinkProgram, BadRangesGiveTheirTextAndTheUsage)
{
    const std::string usage = "Usage: udp_multi_sink [-v] [-t] [-p <port_low>-<port-high>]\n";
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"1000:1010", "Invalid destination port size\n\n"},
        {"1000-10x", "Invalid destination port size\n\n"},
        {"x", "Invalid destination port size\n\n"},
        {"2000-1000", "\nMinimum dst port greater than max\n\n"},
        {"1000-1256", "Too many ports. Can only listen on 256 max\n"},
        {"65536", "Port out of range (0 to 65535): 65536\n\n"},
        {"65500-70000", "Port out of range (0 to 65535): 70000\n\n"},
        {"-5", "Port out of range (0 to 65535): -5\n\n"},
    };
    for (const auto &[arg, text] : cases) {
        RunResult r = RunProgram({BinPath("udp_multi_sink"), "-p", arg});
        EXPECT_EQ(r.status, 1) << arg;
        EXPECT_EQ(r.err, text + usage) << arg;
        EXPECT_EQ(r.out, "");
    }
    RunResult r = RunProgram({BinPath("udp_multi_sink"), "-k"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find(usage), std::string::npos);
}

}  // namespace
