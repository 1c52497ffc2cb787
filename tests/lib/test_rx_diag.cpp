// Ring diagnostics: the rate printer's banner and lines, its stop when the
// ring that started it closes, one printer per process; the SIGUSR2 counter
// line, and signals that race rings opening and closing.  Built for the
// sanitizer builds too (ASan and TSan): a printer or handler that touched a
// ring after its close would show there.
#include <ctype.h>
#include <dirent.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "port_fixture.h"

namespace {

using kpttest::MonoNs;
using kpttest::WithoutTid;

constexpr int64_t kRing = 4 << 20;

// Every frame to ring 0 of a shared queue.
int ToRingZero(kpt_recv_req *, void *, uint32_t *h)
{
    *h = 0;
    return 0;
}

std::vector<uint8_t> Frame(uint32_t len)
{
    std::vector<uint8_t> f(len, 0x5a);
    return f;
}

// Threads of the process, the device layer's unmapper of kept rings aside.
int Threads()
{
    int n = 0;
    DIR *d = opendir("/proc/self/task");
    while (dirent *e = readdir(d))
        n += e->d_name[0] != '.' &&
             kpttest::ReadFile(std::string("/proc/self/task/") + e->d_name + "/comm") != "zal-mapkeep\n";
    closedir(d);
    return n;
}

class DiagTest : public kpttest::KptSimTest {
protected:
    void TearDown() override
    {
        for (kpt_ring_t r : rings_) EXPECT_EQ(kpt_ring_close(r), 0);
        for (kpt_handle_t h : handles_) EXPECT_EQ(kpt_close(h), 0);
        KptSimTest::TearDown();
    }
    kpt_handle_t OpenPort(uint32_t port, int num_rings)
    {
        kpt_rss_params rss = {};
        rss.mode = KPT_RSS_FUNCTION;
        rss.params.rss_function.rss_hash_fn = ToRingZero;
        kpt_handle_t h = nullptr;
        EXPECT_EQ(kpt_open(port, num_rings, &rss, kRing, -1, &h), 0);
        handles_.push_back(h);
        return h;
    }
    kpt_ring_t OpenRing(kpt_handle_t h)
    {
        kpt_ring_t r = nullptr;
        EXPECT_EQ(kpt_ring_open(h, &r), 0);
        rings_.push_back(r);
        return r;
    }
    void CloseRing(kpt_ring_t r)
    {
        EXPECT_EQ(kpt_ring_close(r), 0);
        rings_.erase(std::find(rings_.begin(), rings_.end(), r));
    }
    std::vector<kpt_ring_t> rings_;
    std::vector<kpt_handle_t> handles_;
};

// ===========================================================================
// Rate printer
// ===========================================================================

// The columns of one number line: (packets, Gbit) per ring, then the total.
// Each cell is "%8u %-5.3f": a count right-aligned in 8, a blank, a
// rate with three decimals left-aligned in 5.
bool Columns(const std::string &line, std::vector<std::pair<uint32_t, double>> *cols)
{
    if (line.size() % 14 != 0) return false;
    cols->clear();
    for (size_t at = 0; at < line.size(); at += 14) {
        const std::string c = line.substr(at, 14);
        unsigned pkts = 0;
        double gbit = 0;
        int used = 0;
        if (!isdigit(c[7]) || c[8] != ' ' || !isdigit(c[9]) || c[10] != '.' ||
            sscanf(c.c_str(), "%u %lf%n", &pkts, &gbit, &used) != 2 || used != 14)
            return false;
        cols->push_back({pkts, gbit});
    }
    return true;
}

// "%5u kpt.0.R  P <what>: " with R 0 or 1.
bool WholeLine(const std::string &line)
{
    size_t i = line.find_first_not_of(' ');
    if (i == std::string::npos || !isdigit(line[i])) return false;
    i = line.find_first_not_of("0123456789", i);
    if (i == std::string::npos || line.compare(i, 7, " kpt.0.") != 0) return false;
    if (line[i + 7] != '0' && line[i + 7] != '1') return false;
    const std::string rest = line.substr(i + 8);
    for (const char *what : {"  P signal: ", "  P rx_fini: "})
        if (rest.rfind(what, 0) == 0) return true;
    return false;
}

TEST_F(DiagTest, PrinterShowsEachRingsRateAndANewBannerWhenARingAttaches)
{
    kpt__refs_period_us = 40000;
    setenv("KPT_DEBUG_MASK", "0x20", 1);
    Init();
    kpt_handle_t h = OpenPort(0, 2);
    kpttest::StderrCapture out(1);
    kpt_ring_t r0 = OpenRing(h);
    ASSERT_EQ(kpt_start(h), 0);
    usleep(100000);
    kpt_recv_req req;
    for (int i = 0; i < 10; ++i) ASSERT_EQ(sim_->send_frame(0, Frame(996).data(), 996), 0);
    for (int i = 0; i < 10; ++i) ASSERT_EQ(kpt_ring_recv(r0, 5000, &req), 0);
    usleep(150000);
    kpt_ring_t r1 = OpenRing(h);
    usleep(150000);
    CloseRing(r1);
    usleep(150000);
    CloseRing(r0);
    const std::string text = out.Finish();

    const std::string one = "  ring 0 Gbits   total Gbits\n";
    const std::string two = "\n  ring 0 Gbits  ring 1 Gbits   total Gbits\n";
    ASSERT_EQ(text.rfind(one, 0), 0u) << text;
    const size_t at_two = text.find(two);
    ASSERT_NE(at_two, std::string::npos) << text;
    EXPECT_NE(text.find("\n" + one, at_two), std::string::npos) << "ring 1 detached:\n" << text;

    // Every other line holds numbers, as many cells as the banner before it.
    std::istringstream in(text);
    std::string line;
    size_t ncols = 0, lines = 0, two_ring_lines = 0;
    uint64_t ring0_pkts = 0;
    while (std::getline(in, line)) {
        if (line.empty()) continue;
        if (line.find("Gbits") != std::string::npos) {
            ncols = line.size() / 14;
            continue;
        }
        std::vector<std::pair<uint32_t, double>> cols;
        ASSERT_TRUE(Columns(line, &cols)) << "[" << line << "]\n" << text;
        ASSERT_EQ(cols.size(), ncols) << line;
        EXPECT_EQ(cols.back().first, 0u) << line;  // no packet count in the total
        double sum = 0;
        for (size_t i = 0; i + 1 < cols.size(); ++i) sum += cols[i].second;
        EXPECT_NEAR(cols.back().second, sum, 0.0021) << line;
        ring0_pkts += cols[0].first;
        two_ring_lines += ncols == 3;
        lines++;
    }
    EXPECT_EQ(ring0_pkts, 10u) << text;
    EXPECT_GE(two_ring_lines, 1u) << text;
    EXPECT_GE(lines, 4u) << text;
}

TEST_F(DiagTest, PrinterStopsWhenItsRingClosesAndOnlyOneRunsPerProcess)
{
    setenv("KPT_DEBUG_MASK", "0x20", 1);
    Init();
    kpt_handle_t h0 = OpenPort(0, 1), h1 = OpenPort(1, 1);
    kpttest::StderrCapture out(1);
    const int before = Threads();

    // A printer in its one-second sleep is stopped at once.
    kpt_ring_t r = OpenRing(h0);
    EXPECT_EQ(Threads(), before + 1);
    kpt_ring_t other = OpenRing(h1);  // ring id 0 too: no second printer
    EXPECT_EQ(Threads(), before + 1);
    usleep(20000);
    int64_t t0 = MonoNs();
    CloseRing(r);
    EXPECT_LT(MonoNs() - t0, 500000000);
    EXPECT_EQ(Threads(), before);
    CloseRing(other);

    // A printer in the middle of its passes, many times over.
    kpt__refs_period_us = 200;
    for (int i = 0; i < 30; ++i) {
        r = OpenRing(h0);
        usleep(1000 + 200 * (i % 7));
        CloseRing(r);
    }
    EXPECT_EQ(Threads(), before);
    const std::string text = out.Finish();
    EXPECT_NE(text.find("  ring 0 Gbits   total Gbits\n"), std::string::npos) << text;
    // Nothing after the last close.
    kpttest::StderrCapture after(1);
    usleep(20000);
    EXPECT_EQ(after.Finish(), "");
}

// ===========================================================================
// SIGUSR2
// ===========================================================================

TEST_F(DiagTest, SignalPrintsTheRingsCounterLineAndNothingAfterItsClose)
{
    setenv("KPT_SIGUSR2", "1", 1);
    setenv("KPT_DEBUG_MASK", "2", 1);
    Init();
    kpt_handle_t h = OpenPort(0, 1);
    kpt_ring_t r = OpenRing(h);
    ASSERT_EQ(kpt_start(h), 0);
    kpt_recv_req req;
    for (int i = 0; i < 3; ++i) ASSERT_EQ(sim_->send_frame(0, Frame(100).data(), 100), 0);
    for (int i = 0; i < 3; ++i) ASSERT_EQ(kpt_ring_recv(r, 5000, &req), 0);

    kpttest::StderrCapture err;
    ASSERT_EQ(pthread_kill(pthread_self(), SIGUSR2), 0);
    CloseRing(r);
    ASSERT_EQ(pthread_kill(pthread_self(), SIGUSR2), 0);  // the process survives it
    ASSERT_EQ(pthread_kill(pthread_self(), SIGUSR2), 0);
    EXPECT_EQ(WithoutTid(err.Finish()),
              "kpt.0.0  P signal: tot=           3 [keep/skip/drop] [3/0/0] "
              "[100.0%/  0.0%/  0.0%]\n"
              "kpt.0.0  P rx_fini: tot=           3 [keep/skip/drop] [3/0/0] "
              "[100.0%/  0.0%/  0.0%]\n");
}

TEST_F(DiagTest, SignalsWhileRingsOpenAndClose)
{
    setenv("KPT_SIGUSR2", "1", 1);
    setenv("KPT_DEBUG_MASK", "2", 1);
    Init();
    kpt_handle_t h = OpenPort(0, 2);
    CloseRing(OpenRing(h));  // the handler is installed from the first ring on
    // This thread's requests are never interrupted; the signals land in the
    // other thread, whichever moment of an open or close this one is at.
    sigset_t usr2;
    sigemptyset(&usr2);
    sigaddset(&usr2, SIGUSR2);
    ASSERT_EQ(pthread_sigmask(SIG_BLOCK, &usr2, nullptr), 0);
    kpttest::StderrCapture err;
    std::atomic<bool> stop{false};
    std::atomic<int> sent{0};
    std::thread signaller([&] {
        pthread_sigmask(SIG_UNBLOCK, &usr2, nullptr);
        while (!stop) {
            pthread_kill(pthread_self(), SIGUSR2);
            sent++;
            usleep(20);
        }
    });
    for (int i = 0; i < 100; ++i) {
        kpt_ring_t a = OpenRing(h);
        kpt_ring_t b = OpenRing(h);
        CloseRing(i % 2 ? a : b);
        CloseRing(i % 2 ? b : a);
    }
    stop = true;
    signaller.join();
    ASSERT_EQ(pthread_sigmask(SIG_UNBLOCK, &usr2, nullptr), 0);
    for (int i = 0; i < 5; ++i) ASSERT_EQ(pthread_kill(pthread_self(), SIGUSR2), 0);
    const std::string text = err.Finish();
    EXPECT_GT(sent, 100);
    const size_t last_fini = text.rfind(" rx_fini: ");
    ASSERT_NE(last_fini, std::string::npos);
    EXPECT_EQ(text.find(" signal: ", last_fini), std::string::npos) << text.substr(last_fini);
    // Every line whole: a signal never cut into another line.
    std::istringstream in(text);
    std::string line;
    int signal_lines = 0;
    while (std::getline(in, line)) {
        if (line.find("signal: ") != std::string::npos) signal_lines++;
        if (line.find(": tot=") != std::string::npos) {
            EXPECT_TRUE(WholeLine(line)) << line;
        }
    }
    EXPECT_GT(signal_lines, 0);
}

// ===========================================================================
// Counters read by another thread
// ===========================================================================

// A monitor thread (a progress line, a rate printer of the application's
// own) reads the statistics of a ring and of an injection handle while
// other threads receive and send on them: the counts it sees only grow, stay
// within what has been done, and end equal to it.  Under ThreadSanitizer a
// counter written or read as a plain variable on either side is reported.
// A ring that decodes switch timestamps counts on a path of its own.
class DiagCountersTest : public DiagTest, public ::testing::WithParamInterface<bool> {
protected:
    void TearDown() override
    {
        DiagTest::TearDown();
        unsetenv("QUOR_ARISTA_ENABLE_TIMESTAMPING");
    }
};

TEST_P(DiagCountersTest, CountersReadFromAnotherThreadWhileFramesFlow)
{
    if (GetParam()) setenv("QUOR_ARISTA_ENABLE_TIMESTAMPING", "1", 1);
    opts_.wires = {"0=peer:1"};
    Init();
    kpt_handle_t h = OpenPort(1, 1);
    kpt_ring_t ring = OpenRing(h);
    ASSERT_EQ(ring->u.ring.rx.ats.arct_status, GetParam() ? ATS_STATUS_INITED : ATS_STATUS_DISABLED);
    ASSERT_EQ(kpt_start(h), 0);
    kpt_inject_t inj = nullptr;
    ASSERT_EQ(kpt_inject_open(0, 0, &inj), 0);

    constexpr uint64_t kFrames = 20000 / kpttest::kSlowdown;
    std::atomic<uint64_t> received{0}, sent{0};
    std::atomic<bool> rx_done{false};
    std::thread receiver([&] {
        kpt_recv_req req;
        while (received < kFrames) {
            const int rc = kpt_ring_recv(ring, 200, &req);
            if (rc == 0)
                received++;
            else if (sent == kFrames)
                break; // all sent, and nothing more comes: some were lost
        }
        rx_done = true;
    });
    std::thread sender([&] {
        uint8_t frame[60] = {0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2, 0x08, 0x00};
        for (uint64_t i = 0; i < kFrames;) {
            memcpy(frame + 20, &i, sizeof i);
            if (kpt_inject_send(inj, 100, 0, frame, sizeof frame) == 0) sent = ++i;
        }
    });
    uint64_t last_rx = 0, last_tx = 0;
    int reads = 0;
    for (bool done = false; !done; ++reads) {
        done = rx_done; // one more look after the receiver's end
        kpt_ring_stats rs;
        kpt_inject_stats ts;
        const uint64_t rx_before = received;
        ASSERT_EQ(kpt_ring_getstats(ring, &rs), 0);
        ASSERT_EQ(kpt_inject_getstats(inj, &ts), 0);
        const uint64_t tx_after = sent;
        EXPECT_GE(rs.ring_pkt_recv, last_rx);
        EXPECT_GE(rs.ring_pkt_recv, rx_before);
        EXPECT_LE(rs.ring_pkt_recv, kFrames);
        EXPECT_GE(ts.inj_pkt_send, last_tx);
        EXPECT_LE(ts.inj_pkt_send, tx_after + 1); // a batch may post the frame being sent
        last_rx = rs.ring_pkt_recv;
        last_tx = ts.inj_pkt_send;
    }
    receiver.join();
    sender.join();
    EXPECT_EQ(received, kFrames);
    EXPECT_EQ(last_rx, kFrames);
    EXPECT_EQ(last_tx, kFrames);
    EXPECT_GT(reads, 1);
    EXPECT_EQ(kpt_inject_close(inj), 0);
}

INSTANTIATE_TEST_SUITE_P(SwitchTime, DiagCountersTest, ::testing::Bool(),
                         [](const auto &info) { return info.param ? "Decoding" : "Plain"; });

}  // namespace
