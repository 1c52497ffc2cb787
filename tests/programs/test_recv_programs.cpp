// kpt_1thread_recv and kpt_nthread_recv against a quor_simd child process:
// generated and hand-made frames, verification faults, filters, stop
// conditions and signals, reinjection through a cable, clock checks, custom
// hashes, workers and boards, and bad command lines.
#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <map>
#include <stdio.h>

#include <cstdarg>
#include <string>
#include <vector>

#include "iface_util.h"
#include "program_runner.h"

namespace {

using kpttest::BgProgram;
using kpttest::BinPath;
using kpttest::Counter;
using kpttest::Frame;
using kpttest::RunProgram;
using kpttest::SendFrame;
using kpttest::TestFrame;

const std::string kRing = "4194304"; // small rings start in milliseconds

bool Has(const std::string &s, const std::string &part) { return s.find(part) != std::string::npos; }

std::string Fmt(const char *fmt, ...)
{
    char b[512];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(b, sizeof b, fmt, ap);
    va_end(ap);
    return b;
}

// Some line of out reads as fmt with n conversions.
bool AnyLineScans(const std::string &out, const char *fmt, int n)
{
    for (auto &l : kpttest::Lines(out)) {
        float f1, f2;
        unsigned long u1, u2;
        if (sscanf(l.c_str(), fmt, &u1, &u2, &f1, &f2) == n) return true;
    }
    return false;
}

// A simulator child and ZAL_DEV_DIR pointing at it.
class ProgTest : public ::testing::Test {
protected:
    void Start(const std::vector<std::string> &args)
    {
        simd_ = std::make_unique<kpttest::SimdProcess>(dir_.path(), args);
        ASSERT_TRUE(simd_->ready()) << simd_->ready_line();
        setenv("ZAL_DEV_DIR", dir_.path().c_str(), 1);
    }
    std::vector<std::string> One(std::vector<std::string> args)
    {
        args.insert(args.begin(), BinPath("kpt_1thread_recv"));
        return args;
    }
    std::vector<std::string> Many(std::vector<std::string> args)
    {
        args.insert(args.begin(), BinPath("kpt_nthread_recv"));
        return args;
    }
    void Ctl(const std::vector<std::string> &words)
    {
        std::vector<std::string> argv = {BinPath("quor_simctl"), "--dir", dir_.path()};
        argv.insert(argv.end(), words.begin(), words.end());
        auto r = RunProgram(argv);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    kpttest::TempDir dir_;
    std::unique_ptr<kpttest::SimdProcess> simd_;
};

// ---- kpt_1thread_recv ----

TEST_F(ProgTest, OneThreadVerifiesGeneratedFramesOfEveryLength)
{
    Start({"--ports", "1", "--wire", "0=gen:pps=3000,len=60-9018,count=4000"});
    auto r = RunProgram(One({"-V", "-V", "-c", "-t", "-n", "4000", "-d", "16777216"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Counter(r.out, "pkts_app"), 4000);
    EXPECT_EQ(Counter(r.out, "pkts_ring"), 4000);
    EXPECT_EQ(Counter(r.out, "pkts_bad"), 0);
    EXPECT_EQ(Counter(r.out, "pkts_ring_ovfl"), 0);
    bool interval = false;
    for (auto &l : kpttest::Lines(r.out)) {
        float secs, gbps;
        unsigned long pkts, sz;
        if (sscanf(l.c_str(), "time  %f pkts %lu pkt_sz %lu bw %f", &secs, &pkts, &sz, &gbps) == 4) interval = true;
    }
    EXPECT_TRUE(interval) << r.out;
    EXPECT_EQ(r.out.rfind("receiving\n", 0), 0u);
}

TEST_F(ProgTest, OneThreadLengthWordAndPayloadFaults)
{
    Start({"--ports", "1"});
    struct Case {
        std::vector<uint8_t> frame;
        int status;
        std::string says;
    };
    std::vector<Case> cases;
    cases.push_back({TestFrame(60, 52), 0, "pkts_app 1"});
    cases.push_back({TestFrame(60, 61), 1, "received 60 bytes but message says 61 bytes"});
    cases.push_back({TestFrame(60, 47), 1, "need at least 48 bytes"});
    cases.push_back({TestFrame(100, 99), 1, "packet length missmatch, in mesg:100, in packet:99"});
    auto bad = TestFrame(200);
    bad[48 + 4 * 5] = 0x77; // word 5 at offset 68
    cases.push_back({bad, 1, "ofst 68, pkt len:200, expected:0x00000005, actual:0x00000077"});
    for (const Case &c : cases) {
        BgProgram p(One({"-V", "-n", "1", "-d", kRing}));
        ASSERT_TRUE(p.WaitOut("receiving\n"));
        SendFrame(dir_.path(), 0, c.frame);
        auto r = p.Finish();
        EXPECT_EQ(r.status, c.status) << c.says << "\n" << r.out;
        EXPECT_TRUE(Has(r.out, c.says)) << r.out;
        if (c.status) {
            EXPECT_TRUE(Has(r.out, "packet 1 was messed up")) << r.out;
        }
    }
}

TEST_F(ProgTest, OneThreadDestinationFilterLooksAtTheLastFourBytes)
{
    Start({"--ports", "1"});
    BgProgram p(One({"-E", "00:00:0a:0b:0c:0d", "-n", "1", "-d", kRing}));
    ASSERT_TRUE(p.WaitOut("receiving\n"));
    auto other = TestFrame(60), mine = TestFrame(60);
    const uint8_t to_other[6] = {0, 0, 0x0a, 0x0b, 0x0c, 0x0e}, to_me[6] = {0x11, 0x22, 0x0a, 0x0b, 0x0c, 0x0d};
    std::copy(to_other, to_other + 6, other.begin());
    std::copy(to_me, to_me + 6, mine.begin());
    SendFrame(dir_.path(), 0, other);
    SendFrame(dir_.path(), 0, other);
    SendFrame(dir_.path(), 0, mine);
    auto r = p.Finish();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(Counter(r.out, "pkts_app"), 1);
    EXPECT_EQ(Counter(r.out, "pkts_mac_filtered"), 2) << r.out;
}

TEST_F(ProgTest, OneThreadStopsOnCountRunTimeAndSignals)
{
    Start({"--ports", "1"});
    auto none = RunProgram(One({"-n", "0", "-d", kRing}));
    EXPECT_EQ(none.status, 0);
    EXPECT_EQ(Counter(none.out, "pkts_app"), 0);
    EXPECT_FALSE(Has(none.out, "pkts_mac_filtered"));

    // On an idle port the run time ends the run at the alarm that finds it
    // over, blocking or polling; the alarm after it comes a second later.
    // Timed from "receiving", printed just before the clock starts.
    for (auto args : {std::vector<std::string>{"-r", "2"}, {"-r", "2", "-T", "x"}}) {
        const char *mode = args.size() > 2 ? "polling" : "blocking";
        args.insert(args.end(), {"-d", kRing});
        BgProgram p(One(args));
        ASSERT_TRUE(p.WaitOut("receiving\n")) << mode;
        int64_t t0 = kpttest::MonoNs();
        auto r = p.Finish(10000);
        double secs = double(kpttest::MonoNs() - t0) / 1e9;
        EXPECT_EQ(r.status, 0) << mode;
        EXPECT_EQ(Counter(r.out, "pkts_app"), 0);
        EXPECT_GE(secs, 1.9) << mode;
        EXPECT_LT(secs, 2.7) << mode << ": -r 2 ran on to the third alarm";
    }

    BgProgram p(One({"-d", kRing}));
    ASSERT_TRUE(p.WaitOut("receiving\n"));
    SendFrame(dir_.path(), 0, TestFrame(64));
    p.Signal(SIGUSR1);
    ASSERT_TRUE(p.WaitOut("pkts_bad"));
    SendFrame(dir_.path(), 0, TestFrame(64));
    // Reports until the second frame shows (a slow build may take a while
    // to get it), then the end.
    bool second = false;
    for (int i = 0; i < 50 && !second; ++i) {
        p.Signal(SIGUSR1);
        second = p.WaitOut("pkts_app 2\n", 200);
    }
    EXPECT_TRUE(second);
    p.Signal(SIGTERM);
    auto r = p.Finish(5000);
    EXPECT_EQ(r.status, 0);
    auto lines = kpttest::Lines(r.out);
    std::vector<std::string> apps;
    for (auto &l : lines)
        if (l.rfind("pkts_app ", 0) == 0) apps.push_back(l);
    ASSERT_GE(apps.size(), 2u) << r.out;
    EXPECT_EQ(apps.back(), "pkts_app 2") << r.out;
}

TEST_F(ProgTest, OneThreadReinjectsWholeAndInFragmentsByteExact)
{
    Start({"--ports", "2", "--wire", "1=peer:0"});
    // Frames of every header kind the fragment split knows, and others.
    std::vector<Frame> frames;
    auto with = [](uint32_t len, std::vector<std::pair<size_t, uint8_t>> bytes) {
        Frame f = TestFrame(len);
        for (auto [at, v] : bytes) f[at] = v;
        return f;
    };
    frames.push_back(with(100, {{23, 17}}));                               // IPv4 UDP
    frames.push_back(with(120, {{23, 6}}));                                // IPv4 TCP
    frames.push_back(with(130, {{12, 0x81}, {13, 0}, {16, 8}, {17, 0}, {27, 17}})); // VLAN IPv4 UDP
    frames.push_back(with(140, {{12, 0x86}, {13, 0xdd}, {20, 6}}));         // IPv6 TCP
    frames.push_back(with(60, {{12, 0x08}, {13, 0x06}}));                   // ARP
    frames.push_back(with(1514, {{23, 17}}));
    for (int i = 0; i < 4; ++i) frames.push_back(TestFrame(61 + 97 * i));

    for (bool frag : {false, true}) {
        kpttest::Receiver back(1, 4u << 20);
        ASSERT_TRUE(back.ok());
        std::vector<std::string> args = {"-p", "0", "-R", "0", "-n", std::to_string(frames.size()), "-d", kRing};
        if (frag) args.push_back("-f");
        BgProgram p(One(args));
        ASSERT_TRUE(p.WaitOut("receiving\n"));
        kpt_inject_t inj;
        ASSERT_EQ(kpt_inject_open(1, 0, &inj), 0);
        for (const Frame &f : frames) ASSERT_EQ(kpt_inject_send(inj, 1000, 0, f.data(), uint32_t(f.size())), 0);
        ASSERT_EQ(kpt_inject_close(inj), 0);
        auto r = p.Finish();
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(Counter(r.out, "pkts_reinj"), (long long)frames.size());
        auto got = back.Collect(frames.size() + 1, 500);
        ASSERT_EQ(got.size(), frames.size()) << (frag ? "-f" : "whole");
        for (size_t i = 0; i < frames.size(); ++i) EXPECT_EQ(got[i], frames[i]) << "frame " << i;
    }
}

TEST_F(ProgTest, OneThreadClockComparisonFailsAheadAndIsSkippedWhenSynchronised)
{
    Start({"--ports", "1", "--clock-offset", "5000000", "--wire", "0=gen:pps=400000,len=60,count=100000"});
    auto r = RunProgram(One({"-C", "-n", "100000", "-d", "16777216"}));
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(Has(r.err, "unsynchronized ts (1/1), tol 125us, last diff: ")) << r.err;
    EXPECT_TRUE(Has(r.err, "error: >5 percent out of sync!")) << r.err;
    EXPECT_EQ(Counter(r.out, "pkts_app"), 100000);

    Ctl({"timesource", "0", "2"});
    Ctl({"gen", "0", "pps=400000,len=60,count=100000"});
    r = RunProgram(One({"-C", "-n", "100000", "-d", "16777216"}));
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.err, "SYNC detected, skipping gettimeofday comparison\n")) << r.err;
    EXPECT_FALSE(Has(r.err, "unsynchronized"));
}

TEST_F(ProgTest, OneThreadFailuresAndBadCommandLines)
{
    Start({"--ports", "1"});
    Ctl({"fail", "0", "kpt_wait", "EIO"});
    auto r = RunProgram(One({"-n", "1", "-d", kRing}), {}, 10000);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(Has(r.err, "error: kpt_recv = 5 (Input/output error)")) << r.err;
    EXPECT_EQ(Counter(r.out, "pkts_app"), 0) << "counters still printed";

    r = RunProgram(One({"-p", "5"}));
    EXPECT_EQ(r.status, 255);
    EXPECT_TRUE(Has(r.err, "Can't open kpt for sniffing: ")) << r.err;

    struct Bad {
        std::vector<std::string> args;
        std::string err, out;
    };
    for (const Bad &b : std::vector<Bad>{{{"-E", "11:22:33"}, "\nInvalid mac address\n", ""},
                                         {{"-E", "11:22:33:44:55:66:77"}, "\nInvalid mac address\n", ""},
                                         {{"-x"}, "", "Unknown option: x\n"},
                                         {{"-n", "12q"}, "Invalid value for -n: 12q", ""},
                                         {{"-p"}, "", "Unknown option: p\n"}}) {
        r = RunProgram(One(b.args));
        EXPECT_EQ(r.status, 1) << b.args[0];
        EXPECT_TRUE(Has(r.err, b.err)) << r.err;
        EXPECT_TRUE(Has(r.out, b.out)) << r.out;
        EXPECT_TRUE(Has(r.out, "Usage: kpt_1thread_recv [-p <board number>]")) << r.out;
        EXPECT_TRUE(Has(r.out, "                  -f: reinject using kpt_inject_send_v\n"));
    }
}

// ---- kpt_nthread_recv ----

// "Ring N Packets received, ring: X, app: Y, ..." as {N: {X, Y}}.
std::map<int, std::pair<long, long>> RingLines(const std::string &out)
{
    std::map<int, std::pair<long, long>> m;
    for (auto &l : kpttest::Lines(out)) {
        int ring;
        long got, app, ovf;
        if (sscanf(l.c_str(), "Ring %d Packets received,    ring:%ld, app:%ld, overflow:%ld", &ring, &got, &app,
                   &ovf) == 4)
            m[ring] = {got, app};
    }
    return m;
}

long Total(const std::string &out)
{
    const std::string head = "Total packets:                app:";
    size_t at = out.find(head);
    return at == std::string::npos ? 0 : atol(out.c_str() + at + head.size());
}

TEST_F(ProgTest, ManyRingsGetEveryFrameOnce)
{
    Start({"--ports", "1", "--wire", "0=gen:pps=100000,len=60-200,flows=256,count=20000"});
    auto r = RunProgram(Many({"-w", "4", "-V", "-n", "20000", "-W", "100", "-d", kRing}));
    ASSERT_EQ(r.status, 0) << r.err << r.out;
    EXPECT_TRUE(Has(r.out, "Capture using 1 boards, 4 rings and 4 threads. Default RSS hashing.\n"));
    auto rings = RingLines(r.out);
    ASSERT_EQ(rings.size(), 4u) << r.out;
    long sum = 0;
    for (auto &[i, c] : rings) {
        EXPECT_EQ(c.first, c.second) << "ring " << i;
        EXPECT_GT(c.second, 2000) << "ring " << i;
        sum += c.second;
    }
    EXPECT_EQ(sum, 20000);
    EXPECT_EQ(Total(r.out), 20000);
}

TEST_F(ProgTest, ManyCustomHashes)
{
    Start({"--ports", "1", "--wire", "0=gen:pps=100000,len=60,sport=1000-1015:seq,count=1600"});
    auto r = RunProgram(Many({"-w", "4", "-H", "2", "-n", "1600", "-W", "100", "-d", kRing}));
    ASSERT_EQ(r.status, 0) << r.err;
    auto rings = RingLines(r.out);
    ASSERT_EQ(rings.size(), 4u) << r.out;
    for (auto &[i, c] : rings) EXPECT_EQ(c.second, 400) << "ring " << i;

    Ctl({"gen", "0", "pps=100000,len=60,count=500"});
    r = RunProgram(Many({"-w", "2", "-H", "1", "-T", "2", "-W", "100", "-d", kRing}));
    EXPECT_EQ(r.status, 0) << r.err;
    for (auto &[i, c] : RingLines(r.out)) EXPECT_EQ(c.second, 0) << "ring " << i;
    EXPECT_FALSE(Has(r.out, "Total packets"));
}

TEST_F(ProgTest, ManyBoardsGetOneWorkerEach)
{
    Start({"--ports", "2", "--wire", "0=gen:pps=50000,len=60,count=1000", "--wire",
           "1=gen:pps=50000,len=60,count=1000"});
    auto r = RunProgram(Many({"-b", "0,1", "-w", "4", "-n", "2000", "-W", "100", "-d", kRing}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, "Forcing number of workers equal to number of boards\n"));
    EXPECT_TRUE(Has(r.out, "Capture using 2 boards, 2 rings and 2 threads."));
    auto rings = RingLines(r.out);
    ASSERT_EQ(rings.size(), 2u) << r.out;
    EXPECT_EQ(rings[0].second, 1000);
    EXPECT_EQ(rings[1].second, 1000);
}

TEST_F(ProgTest, ManyReinjectsOnAnotherBoardAndFilters)
{
    Start({"--ports", "3", "--wire", "0=gen:pps=50000,len=60-300:seq,count=600,dmac=11:22:0a:0b:0c:0d",
           "--wire", "2=peer:1"});
    kpttest::Receiver back(2, 4u << 20);
    ASSERT_TRUE(back.ok());
    auto r = RunProgram(Many({"-R", "1", "-E", "00:00:0a:0b:0c:0e", "-n", "600", "-W", "100", "-d", kRing}));
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, Fmt("Ring 0 Packets reinjected,  ring:%12lu\n", 600ul))) << r.out;
    EXPECT_TRUE(Has(r.out, Fmt("Mac filtered               : %12lu\n", 600ul))) << r.out;
    auto got = back.Collect(601, 500);
    ASSERT_EQ(got.size(), 600u);
    for (size_t i = 0; i < got.size(); ++i) {
        // Header from the generator; length word and whole payload words checked.
        Frame want = TestFrame(uint32_t(got[i].size()));
        size_t whole = 48 + (want.size() - 48) / 4 * 4;
        EXPECT_TRUE(std::equal(want.begin() + 44, want.begin() + whole, got[i].begin() + 44)) << "frame " << i;
    }
}

TEST_F(ProgTest, ManySyntheticDelaySlowsTheRun)
{
    Start({"--ports", "1", "--wire", "0=gen:pps=200000,len=60,count=20000"});
    int64_t t0 = kpttest::MonoNs();
    // The frames arrive in 0.1 s and are taken over 2 s: often one to a
    // descriptor, so the descriptor ring must hold all 20000 of them.
    auto r = RunProgram(Many({"-D", "100000", "-n", "20000", "-W", "100", "-d", "16777216"}),
                        {"KPT_DESCRING_SIZE=33554432"});
    double secs = double(kpttest::MonoNs() - t0) / 1e9;
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, ", each thread spends an 100000 nanosecs of additional (synthetic) processing.\n"));
    EXPECT_EQ(Total(r.out), 20000);
    EXPECT_GE(secs, 2.0);
    EXPECT_LT(secs, 20.0 * kpttest::kSlowdown) << "a loaded machine stretches the spin, never shortens it";
}

// An invalid frame ends the worker that saw it with status 1.  Alone, that
// ends the run.  With a second board, its worker receives on to the count,
// which it accounts with a success (never idle, it has no failed receive to
// report): the run still fails, and the one final report, printed at the
// end, holds that worker's frames too.
TEST_F(ProgTest, ManyInvalidFrameEndsWithStatus1)
{
    Start({"--ports", "2"});
    for (bool two : {false, true}) {
        SCOPED_TRACE(two ? "two boards" : "one worker");
        std::vector<std::string> args = {"-V", "-v", "-d", two ? "67108864" : kRing};
        if (two)
            args.insert(args.end(), {"-b", "0,1", "-n", "100000", "-W", "-1"});
        else
            args.insert(args.end(), {"-W", "100"});
        BgProgram p(Many(args));
        ASSERT_TRUE(p.WaitOut("[0] ready\n"));
        ASSERT_TRUE(!two || p.WaitOut("[1] ready\n"));
        SendFrame(dir_.path(), 0, TestFrame(64));
        SendFrame(dir_.path(), 0, TestFrame(64, 68));
        if (two) {
            ASSERT_TRUE(kpttest::WaitUntil([&] { return Has(p.Err(), "[0] invalid packet\n"); }));
            Ctl({"gen", "1", "rate=line,len=60,count=100000"});
        }
        auto r = p.Finish(20000);
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(Has(r.err, "[0] invalid packet\n")) << r.err;
        EXPECT_TRUE(Has(r.out, "packet length missmatch, in mesg:64, in packet:68")) << r.out;
        // The report of the interval up to the invalid frame: counted from
        // the start of the run.
        float secs = -1;
        for (auto &l : kpttest::Lines(r.out)) sscanf(l.c_str(), "2 pkts (128B) in %f secs", &secs);
        EXPECT_GE(secs, 0.0f) << r.out;
        EXPECT_LT(secs, 60.0f) << r.out;
        auto rings = RingLines(r.out);
        EXPECT_EQ(rings[0].second, 2) << r.out;
        if (two) {
            EXPECT_EQ(rings[1].second, 100000) << r.out;
        }
        EXPECT_EQ(Total(r.out), two ? 100002 : 2) << r.out;
        EXPECT_EQ(r.out.find("Total packets:"), r.out.rfind("Total packets:")) << "one final report";
    }
}

TEST_F(ProgTest, ManyRunTimeEndsInTimeUnderATrickle)
{
    Start({"--ports", "1", "--wire", "0=gen:pps=2000,len=60"});
    int64_t t0 = kpttest::MonoNs();
    auto r = RunProgram(Many({"-T", "2", "-t", "-d", kRing}), {}, 20000);
    double secs = double(kpttest::MonoNs() - t0) / 1e9;
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_GE(secs, 2.5);
    EXPECT_LT(secs, 6.0);
    EXPECT_GT(Total(r.out), 3000);
    EXPECT_TRUE(AnyLineScans(r.out, "%lu pkts (%luB) in %f secs", 3)) << r.out;
}

TEST_F(ProgTest, ManyCancelsWorkersBlockedWithoutTimeout)
{
    // One flow: one ring gets everything, the other three wait with no
    // time limit until the first reaches the count and cancels them.
    Start({"--ports", "1", "--wire", "0=gen:rate=line,len=60,count=100000"});
    auto r = RunProgram(Many({"-w", "4", "-W", "-1", "-n", "100000", "-v", "-d", "67108864"}), {}, 20000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_FALSE(Has(r.err, "KPT Failure")) << r.err;
    EXPECT_TRUE(Has(r.out, "] all 100000 received\n")) << r.out;
    int killed = 0;
    for (auto &l : kpttest::Lines(r.out))
        if (Has(l, "killing worker")) ++killed;
    EXPECT_EQ(killed, 3) << r.out;
    EXPECT_EQ(Total(r.out), 100000);
}

TEST_F(ProgTest, ManyReflectsNonIpFramesToTheHost)
{
    std::string why;
    if (!kpttest::EnterPrivateNetns(&why)) GTEST_SKIP() << why;
    Start({"--ports", "1", "--netdev"});
    ASSERT_EQ(kpttest::Ip({"addr", "add", "10.77.0.1/24", "dev", "quor0"}), "");
    ASSERT_EQ(kpttest::Ip({"link", "set", "quor0", "up"}), "");
    BgProgram p(Many({"-a", "-v", "-W", "100", "-d", kRing}));
    ASSERT_TRUE(p.WaitOut("[0] ready\n")) << p.Out() << p.Err();
    // ARP requests for the host's address from three senders, and a UDP
    // frame, which stays with the application.
    for (uint8_t k = 1; k <= 3; ++k) {
        std::vector<uint8_t> arp(60, 0);
        const uint8_t head[] = {0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 2, 0, 0, 0, 0, k, 0x08, 0x06,
                                0, 1, 0x08, 0, 6, 4, 0, 1, 2, 0, 0, 0, 0, k, 10, 77, 0, uint8_t(10 + k),
                                0, 0, 0, 0, 0, 0, 10, 77, 0, 1};
        std::copy(std::begin(head), std::end(head), arp.begin());
        SendFrame(dir_.path(), 0, arp);
    }
    auto udp = TestFrame(100);
    udp[23] = 17;
    SendFrame(dir_.path(), 0, udp);
    for (int k = 1; k <= 3; ++k) {
        std::string ip = "10.77.0." + std::to_string(10 + k);
        EXPECT_TRUE(kpttest::WaitUntil([&] {
            auto r = RunProgram({kpttest::IpTool(), "neigh", "show", "dev", "quor0"});
            return Has(r.out, ip + " ");
        })) << ip << " not learnt by the host";
    }
    p.Signal(SIGTERM);
    auto r = p.Finish(5000);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(Has(r.out, Fmt("Reflected to netdev        : %12lu\n", 3ul))) << r.out;
    EXPECT_EQ(Total(r.out), 4);
}

TEST_F(ProgTest, ManyBadCommandLines)
{
    Start({"--ports", "1"});
    struct Bad {
        std::vector<std::string> args;
        std::string err, out;
        bool usage;
    };
    for (const Bad &b : std::vector<Bad>{
             {{"-b", "8"}, "\nInvalid board number: 8\n", "", true},
             {{"-b", "0,1,2,3,4,5,6,7,0"}, "Too many board numbers", "", true},
             {{"-b", "0,"}, "Invalid board number", "", true},
             {{"-w", "33"}, "", "Invalid number of worker threads (33, max:32)\n", false},
             {{"-H", "3"}, "Invalid custom hash number\n", "", false},
             {{"-E", "zz"}, "\nInvalid mac address\n", "", true},
             {{"-x"}, "ERROR: Unknown option: x\n", "", true},
             {{"-h"}, "", "", true},
             {{"-D", "-5"}, "Invalid value for -D", "", true}}) {
        std::vector<std::string> argv = Many(b.args);
        auto r = RunProgram(argv);
        EXPECT_EQ(r.status, 1) << b.args[0] << " " << (b.args.size() > 1 ? b.args[1] : "");
        EXPECT_TRUE(Has(r.err, b.err)) << r.err;
        EXPECT_TRUE(Has(r.out, b.out)) << r.out;
        EXPECT_EQ(Has(r.out, "usage: " + argv[0] + " [options]\n\n options:\n"), b.usage) << r.out;
    }
    auto r = RunProgram(Many({"-b", "3"}));
    EXPECT_EQ(r.status, 1);
    int line = 0, err = 0;
    size_t at = r.err.find("KPT Failure at line ");
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_EQ(sscanf(r.err.c_str() + at, "KPT Failure at line %d:", &line), 1);
    at = r.err.find("(errno=", at);
    ASSERT_NE(at, std::string::npos) << r.err;
    EXPECT_EQ(sscanf(r.err.c_str() + at, "(errno=%d)", &err), 1);
    EXPECT_GT(err, 0);
}

}  // namespace
