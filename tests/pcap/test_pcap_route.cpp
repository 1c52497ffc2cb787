// The libpcap route against a quor_simd child: Debian's tcpdump run through
// kpt-pcap on the adapter's ports (and on the host's, unchanged), and a small
// C program linked with libkpt_pcap for injection and misuse.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <pcap/pcap.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <set>

#include "../programs/prog_child.h"
#include "../programs/program_runner.h"
#include "test_support.h"

namespace {

using namespace kpttest;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kInstrumented = true;
#else
constexpr bool kInstrumented = false;
#endif

struct Packet {
    std::vector<uint8_t> bytes;
    uint32_t len = 0;
    uint64_t ns = 0;
};

// A capture file as the system's library reads it, times in nanoseconds.
std::vector<Packet> ReadCapture(const std::string &path, std::string *err)
{
    std::vector<Packet> out;
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t *p = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO,
                                                        errbuf);
    if (p == nullptr) {
        *err = errbuf;
        return out;
    }
    pcap_pkthdr *h;
    const u_char *d;
    while (pcap_next_ex(p, &h, &d) == 1)
        out.push_back({std::vector<uint8_t>(d, d + h->caplen), h->len,
                       uint64_t(h->ts.tv_sec) * 1000000000u + uint64_t(h->ts.tv_usec)});
    pcap_close(p);
    return out;
}

uint16_t DstPort(const std::vector<uint8_t> &f)
{
    // Ethernet, IPv4 without options, UDP.
    return f.size() >= 38 ? uint16_t(f[36] << 8 | f[37]) : 0;
}

// The count on tcpdump's closing line "N packets <what>"; -1 when absent.
long long Closing(const std::string &err, const std::string &what)
{
    for (const auto &line : Lines(err)) {
        long long n;
        char rest[64];
        if (sscanf(line.c_str(), "%lld packet%*[s] %63[^\n]", &n, rest) == 2 && what == rest)
            return n;
    }
    return -1;
}

// Skips the test (from its body: a skip inside a helper would only leave the
// helper) when tcpdump cannot run.
#define NEED_TCPDUMP()                                                                         \
    do {                                                                                       \
        const std::string why = TcpdumpMissing();                                              \
        if (!why.empty()) GTEST_SKIP() << why;                                                 \
    } while (0)

class PcapRoute : public ::testing::Test {
protected:
    void StartSim(const std::vector<std::string> &args)
    {
        sim_ = std::make_unique<SimdProcess>(dev_.path(), args);
        ASSERT_TRUE(sim_->ready()) << sim_->ready_line();
        setenv("ZAL_DEV_DIR", dev_.path().c_str(), 1);
        // tcpdump writes its files as the user it turns into after opening.
        chmod(out_.path().c_str(), 0777);
    }
    // Why tcpdump cannot run here; empty when it can.
    static std::string TcpdumpMissing()
    {
        if (kInstrumented) return "an instrumented library cannot be preloaded";
        if (access(kTcpdump, X_OK) != 0) return std::string("no ") + kTcpdump;
        return "";
    }
    std::vector<std::string> Tcpdump(std::vector<std::string> args) const
    {
        args.insert(args.begin(), {BinPath("kpt-pcap"), kTcpdump});
        return args;
    }
    RunResult Ctl(const std::vector<std::string> &words)
    {
        std::vector<std::string> argv = {BinPath("quor_simctl"), "--dir", dev_.path()};
        argv.insert(argv.end(), words.begin(), words.end());
        return RunProgram(argv);
    }

    static constexpr const char *kTcpdump = "/usr/bin/tcpdump";
    TempDir dev_, out_;
    std::unique_ptr<SimdProcess> sim_;
};

TEST_F(PcapRoute, TcpdumpListsThePortsBesideTheHostInterfaces)
{
    NEED_TCPDUMP();
    StartSim({"--ports", "2"});
    ASSERT_EQ(Ctl({"link", "1", "down"}).status, 0);
    RunResult r = RunProgram(Tcpdump({"-D"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("1.quor0 (kpt port 0, MAC "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(", link up) [Up, Running, Connected]"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("2.quor1 (kpt port 1, MAC "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(", link down) [Up, Disconnected]"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find(".lo [Up, Running, Loopback]"), std::string::npos) << r.out;
}

// tcpdump -w on a port writes every frame the ring delivers (or every one the
// filter keeps), byte for byte, with the ring's nanosecond times; tcpdump -r
// reads the file back through the same preloaded library.
TEST_F(PcapRoute, TcpdumpWritesWhatTheRingDelivers)
{
    NEED_TCPDUMP();
    struct Case {
        const char *filter;
        int frames, kept;
    } cases[] = {{"", 1000, 1000}, {"udp and dst port 9", 2000, 1000}};
    for (const Case &c : cases) {
        SCOPED_TRACE(c.filter);
        sim_.reset(); // a fresh simulator for each case
        StartSim({"--ports", "1"});
        const std::string file = out_.file("f.pcap");
        // tcpdump reads ring 1 of the port, the test ring 0 of the same
        // queue; both take every frame (KPT_F_DUP), so both see the same
        // descriptors: the same bytes at the same times.
        ASSERT_EQ(kpt_init(KPT_API_VERSION), 0);
        kpt_handle_t h;
        kpt_ring_t ring;
        ASSERT_EQ(kpt_open(0, 2, nullptr, 0, KPT_F_DUP, &h), 0);
        ASSERT_EQ(kpt_ring_open_id(h, 0, &ring), 0);
        ASSERT_EQ(kpt_start(h), 0);
        setenv("KPT_NUM_RINGS", "2", 1);
        setenv("KPT_FLAGS", "0x200", 1);
        std::vector<std::string> args = {"-i", "quor0@1", "-c", std::to_string(c.kept),
                                         "--time-stamp-precision=nano", "-w", file};
        if (*c.filter) args.push_back(c.filter);
        ChildProgram td(Tcpdump(args));
        ASSERT_TRUE(td.WaitError("listening on quor0@1", 20000)) << td.Finish(SIGKILL).err;
        RunResult w = Ctl({"wire", "0", "gen:count=" + std::to_string(c.frames) +
                                             ",pps=20000,len=60-1514:rand,dport=9-10:seq"});
        ASSERT_EQ(w.status, 0) << w.err;

        std::vector<std::pair<std::vector<uint8_t>, uint64_t>> sent;
        kpt_recv_req req;
        while (sent.size() < size_t(c.frames) && kpt_ring_recv(ring, 5000, &req) == 0) {
            const uint8_t *p = static_cast<const uint8_t *>(req.pkt_addr);
            sent.emplace_back(std::vector<uint8_t>(p, p + req.length), req.timestamp);
        }
        kpt_ring_close(ring);
        kpt_close(h);
        ASSERT_EQ(sent.size(), size_t(c.frames));
        RunResult r = td.Finish(0, 30000);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Closing(r.err, "captured"), c.kept) << r.err;

        std::string err;
        std::vector<Packet> got = ReadCapture(file, &err);
        ASSERT_EQ(got.size(), size_t(c.kept)) << err;
        size_t k = 0, sub_us = 0;
        for (const auto &[bytes, ns] : sent) {
            if (*c.filter && DstPort(bytes) != 9) continue;
            ASSERT_LT(k, got.size());
            ASSERT_EQ(got[k].len, bytes.size()) << "frame " << k;
            ASSERT_EQ(got[k].bytes, bytes) << "frame " << k;
            // Two readers convert the same tick count with the clock
            // parameters in force when each reads it, which the driver
            // refreshes now and then: a little apart (6 ns seen), well
            // under a microsecond; the check below keeps the nanoseconds.
            const int64_t apart = int64_t(got[k].ns - ns);
            ASSERT_LT(std::abs(apart), 1000) << "frame " << k;
            sub_us += got[k].ns % 1000 != 0;
            ++k;
        }
        EXPECT_EQ(k, got.size());
        EXPECT_GT(sub_us, k / 2) << "the file keeps the nanoseconds";

        RunResult back = RunProgram(Tcpdump({"-r", file, "-nn", "--time-stamp-precision=nano"}));
        ASSERT_EQ(back.status, 0) << back.err;
        EXPECT_EQ(Lines(back.out).size(), size_t(c.kept));
    }
}

// With the reader stopped, a burst overflows a small ring: tcpdump's closing
// counts then add up to what the wire carried, as the ring counted it.
TEST_F(PcapRoute, TcpdumpCountsAgreeWithTheRingAfterAnOverflow)
{
    NEED_TCPDUMP();
    StartSim({"--ports", "1"});
    ChildProgram td(Tcpdump({"-i", "quor0", "-B", "2048", "-w", "/dev/null"}));
    ASSERT_TRUE(td.WaitError("listening on quor0", 20000));
    td.Signal(SIGSTOP);
    const int frames = 20000;
    ASSERT_EQ(Ctl({"wire", "0", "gen:count=" + std::to_string(frames) + ",len=1514"}).status, 0);
    usleep(1500 * 1000); // the burst is over in 25 ms
    td.Signal(SIGCONT);
    usleep(500 * 1000);
    RunResult r = td.Finish(SIGINT, 20000);
    ASSERT_EQ(r.status, 0) << r.err;
    const long long recv = Closing(r.err, "received by filter");
    const long long drop = Closing(r.err, "dropped by kernel");
    long long ifdrop = Closing(r.err, "dropped by interface");
    if (ifdrop < 0) ifdrop = 0; // printed only when there are some
    ASSERT_GE(recv, 0) << r.err;
    EXPECT_GT(drop, 0) << r.err;
    EXPECT_EQ(recv + drop + ifdrop, frames) << r.err;
    EXPECT_LE(Closing(r.err, "captured"), recv) << r.err;
}

TEST_F(PcapRoute, TcpdumpStillCapturesLoopbackAndReadsFiles)
{
    NEED_TCPDUMP();
    StartSim({"--ports", "1"});
    // A file of three frames, written by the system's library.
    const std::string file = out_.file("three.pcap");
    pcap_t *dead = pcap_open_dead(DLT_EN10MB, 65535);
    pcap_dumper_t *d = pcap_dump_open(dead, file.c_str());
    ASSERT_NE(d, nullptr);
    for (int i = 0; i < 3; ++i) {
        auto f = TestFrame(64);
        pcap_pkthdr h = {{i, 0}, uint32_t(f.size()), uint32_t(f.size())};
        pcap_dump(reinterpret_cast<u_char *>(d), &h, f.data());
    }
    pcap_dump_close(d);
    pcap_close(dead);
    RunResult r = RunProgram(Tcpdump({"-r", file, "-nn"}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Lines(r.out).size(), 3u) << r.out;

    // Loopback, on a port of its own.
    int s = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(s, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    socklen_t alen = sizeof a;
    getsockname(s, reinterpret_cast<sockaddr *>(&a), &alen);
    const std::string port = std::to_string(ntohs(a.sin_port));
    ChildProgram td(Tcpdump({"-i", "lo", "-c", "1", "-nn", "udp", "and", "port", port}));
    ASSERT_TRUE(td.WaitError("listening on lo", 20000));
    for (int i = 0; i < 50 && !td.WaitOutput(port, 100); ++i)
        sendto(s, "x", 1, 0, reinterpret_cast<sockaddr *>(&a), sizeof a);
    close(s);
    RunResult l = td.Finish(0, 10000);
    EXPECT_EQ(l.status, 0) << l.err;
    EXPECT_NE(l.out.find("127.0.0.1." + port), std::string::npos) << l.out << l.err;
}

TEST_F(PcapRoute, TcpdumpMergesPortsInTimestampOrder)
{
    NEED_TCPDUMP();
    StartSim({"--ports", "2", "--wire", "0=gen:count=1000,pps=5000,smac=02:00:00:00:00:0a",
              "--wire", "1=gen:count=1000,pps=7000,smac=02:00:00:00:00:0b"});
    const std::string file = out_.file("merged.pcap");
    RunResult r = RunProgram(
        Tcpdump({"-i", "quor0+1", "-c", "2000", "--time-stamp-precision=nano", "-w", file}));
    ASSERT_EQ(r.status, 0) << r.err;
    std::string err;
    std::vector<Packet> got = ReadCapture(file, &err);
    ASSERT_EQ(got.size(), 2000u) << err;
    int from[2] = {0, 0};
    for (size_t i = 0; i < got.size(); ++i) {
        if (i > 0) {
            ASSERT_LE(got[i - 1].ns, got[i].ns) << "frame " << i;
        }
        ++from[got[i].bytes[11] == 0x0b];
    }
    EXPECT_EQ(from[0], 1000);
    EXPECT_EQ(from[1], 1000);
}

TEST_F(PcapRoute, InjectReachesTheFarEndOfACable)
{
    StartSim({"--ports", "2", "--wire", "0=peer:1"});
    Receiver far(1);
    ASSERT_TRUE(far.ok());
    RunResult r = RunProgram({BinPath("pcap_probe"), "inject", "quor0", "100", "200"});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    auto got = far.Collect(100, 3000);
    ASSERT_EQ(got.size(), 100u);
    for (uint32_t i = 0; i < got.size(); ++i) {
        ASSERT_EQ(got[i].size(), 200u);
        EXPECT_EQ(uint32_t(got[i][14] << 24 | got[i][15] << 16 | got[i][16] << 8 | got[i][17]), i);
    }
}

TEST_F(PcapRoute, MisuseGetsTheLibrarysCodesAndMessages)
{
    StartSim({"--ports", "1"});
    // A thousand cycles take a while in an instrumented build: fewer there.
    const std::string cycles = kInstrumented ? "100" : "1000";
    RunResult r =
        RunProgram({BinPath("pcap_probe"), "checks", "quor0", "quor9", cycles}, {}, 280000);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out.find("FAIL"), std::string::npos) << r.out;
    for (const char *name : {"missing-device", "setting-after-activation", "bad-filter",
                             "snaplen-0-is-largest", "breakloop-from-signal", "open-close-cycles",
                             "selectable-fd-idle"})
        EXPECT_NE(r.out.find(std::string("ok ") + name + "\n"), std::string::npos) << name;
}

TEST_F(PcapRoute, SelectableDescriptorWakesForAFrame)
{
    StartSim({"--ports", "1"});
    ChildProgram probe({BinPath("pcap_probe"), "poll", "quor0"});
    ASSERT_TRUE(probe.WaitOutput("waiting", 20000));
    usleep(200 * 1000);
    SendFrame(dev_.path(), 0, TestFrame(100));
    RunResult r = probe.Finish(0, 25000);
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("poll 1, 1 frames"), std::string::npos) << r.out;
}

} // namespace
