// Raw frame endpoints against the in-process simulator: sends on port 0
// reaching port 1 over a cable, completions, received frames, limits.
#include <errno.h>
#include <signal.h>
#include <string.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <set>
#include <thread>
#include <vector>

#include "iface_util.h"
#include "kpt.h"
#include "test_support.h"
#include "zal_internal.h"

namespace {

constexpr uint8_t kLetterC = 2;

std::vector<uint8_t> TestFrame(uint32_t len, uint8_t seed)
{
    std::vector<uint8_t> f(len);
    for (uint32_t i = 0; i < len; ++i) f[i] = uint8_t(seed + i * 7);
    return f;
}

class RawEndpointTest : public kpttest::SimTest {
protected:
    void SetUp() override
    {
        alarm(60);
        opts_.wires = {"0=peer:1"};
        StartSim();
    }
    void TearDown() override
    {
        for (auto ep : eps_) {
            zal_handle_t h = quor_raw_handle(ep);
            quor_raw_close_endpoint(ep);
            zal_close(h);
        }
        SimTest::TearDown();
    }
    quor_raw_endpoint_t Open(uint32_t unit)
    {
        quor_raw_endpoint_t ep = nullptr;
        EXPECT_EQ(quor_raw_open_endpoint(unit, &ep, kLetterC), 0);
        if (ep) eps_.push_back(ep);
        return ep;
    }
    struct Ev {
        int rc = -1;
        quor_raw_status_t status = 99;
        void *ctx = reinterpret_cast<void *>(0x5a5a);
        uint64_t ticks = 0x1234;
        uint32_t port = 77, bytes = 0;
        std::vector<uint8_t> data;
    };
    static Ev Next(quor_raw_endpoint_t ep, uint32_t timeout_ms, uint32_t cap = 9100)
    {
        Ev e;
        e.data.assign(cap + 16, 0xee);
        e.bytes = cap;
        e.rc = quor_raw_next_event(ep, &e.port, &e.ctx, e.data.data(), &e.bytes, timeout_ms,
                                   &e.status, &e.ticks);
        return e;
    }
    uint64_t Sent(int port)
    {
        std::string st = Ctl("status");
        size_t at = st.find("port " + std::to_string(port) + ":");
        size_t s = st.find("sent ", at);
        return strtoull(st.c_str() + s + 5, nullptr, 10);
    }
    std::vector<quor_raw_endpoint_t> eps_;
};

TEST_F(RawEndpointTest, FramesCrossTheCableWithCompletionsInOrder)
{
    ASSERT_EQ(kpt_init(KPT_API_VERSION), 0);
    kpt_handle_t h = nullptr;
    ASSERT_EQ(kpt_open(1, 1, nullptr, 0, 0, &h), 0);
    kpt_ring_t ring = nullptr;
    ASSERT_EQ(kpt_ring_open(h, &ring), 0);
    ASSERT_EQ(kpt_start(h), 0);

    quor_raw_endpoint_t tx = Open(0), rx = Open(1);
    ASSERT_TRUE(tx && rx);
    std::vector<std::vector<uint8_t>> frames;
    const uint32_t lens[] = {60, 61, 1514, 9018, 14};
    uint8_t route[3] = {1, 2, 3};
    for (int i = 0; i < 5; ++i) {
        frames.push_back(TestFrame(lens[i], uint8_t(i)));
        ASSERT_EQ(quor_raw_send(tx, 0, route, i % 2 ? 3 : 0, frames.back().data(), lens[i],
                                reinterpret_cast<void *>(uintptr_t(100 + i))),
                  0);
    }
    uint64_t last_ticks = 0;
    for (int i = 0; i < 5; ++i) {
        Ev e = Next(tx, 1000);
        ASSERT_EQ(e.rc, 0);
        ASSERT_EQ(e.status, 1u) << i;
        EXPECT_EQ(e.ctx, reinterpret_cast<void *>(uintptr_t(100 + i)));
        EXPECT_GE(e.ticks, last_ticks) << "adapter time went back";
        last_ticks = e.ticks;
        EXPECT_EQ(e.port, 77u) << "a completion stores no port";
    }
    EXPECT_EQ(Next(tx, 0).status, 0u) << "the sender's own frames are not received";
    EXPECT_EQ(Sent(0), 5u);

    for (int i = 0; i < 5; ++i) {
        std::vector<uint8_t> want = frames[size_t(i)];
        if (want.size() < 60) want.resize(60, 0); // a runt leaves padded
        Ev e = Next(rx, 1000);
        ASSERT_EQ(e.rc, 0);
        ASSERT_EQ(e.status, 2u);
        EXPECT_EQ(e.port, 0u);
        EXPECT_EQ(e.ctx, reinterpret_cast<void *>(0x5a5a)) << "a frame stores no context";
        EXPECT_EQ(e.ticks, 0x1234u);
        ASSERT_EQ(e.bytes, want.size());
        EXPECT_EQ(memcmp(e.data.data(), want.data(), want.size()), 0) << i;

        kpt_recv_req req = {};
        ASSERT_EQ(kpt_ring_recv(ring, 1000, &req), 0);
        ASSERT_EQ(req.length, want.size());
        EXPECT_EQ(memcmp(req.pkt_addr, want.data(), want.size()), 0) << i;
    }

    // A short buffer gets the frame's head and nothing past its capacity.
    std::vector<uint8_t> big = TestFrame(1000, 9);
    ASSERT_EQ(quor_raw_send(tx, 0, nullptr, 0, big.data(), 1000, nullptr), 0);
    Ev e = Next(rx, 1000, 100);
    ASSERT_EQ(e.status, 2u);
    EXPECT_EQ(e.bytes, 100u);
    EXPECT_EQ(memcmp(e.data.data(), big.data(), 100), 0);
    EXPECT_EQ(e.data[100], 0xee) << "wrote past the buffer";

    ASSERT_EQ(kpt_stop(h), 0);
    ASSERT_EQ(kpt_ring_close(ring), 0);
    ASSERT_EQ(kpt_close(h), 0);
}

TEST_F(RawEndpointTest, TimeoutsRefusalsAndTheSendLimit)
{
    quor_raw_endpoint_t ep = Open(0);
    ASSERT_TRUE(ep);
    auto t0 = std::chrono::steady_clock::now();
    Ev e = Next(ep, 0);
    EXPECT_EQ(e.rc, 0);
    EXPECT_EQ(e.status, 0u);
    EXPECT_EQ(e.ctx, reinterpret_cast<void *>(0x5a5a));
    e = Next(ep, 300);
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_EQ(e.status, 0u);
    EXPECT_GE(ms, 290);

    // Refused sends send nothing and do not count against the limit.
    std::vector<uint8_t> f = TestFrame(9100, 1);
    EXPECT_EQ(quor_raw_send(ep, 1, nullptr, 0, f.data(), 60, nullptr), EINVAL);   // port 1
    EXPECT_EQ(quor_raw_send(ep, 256, nullptr, 0, f.data(), 60, nullptr), EINVAL); // not port 0
    EXPECT_EQ(quor_raw_send(ep, 0, f.data(), 256, f.data(), 60, nullptr), EINVAL);
    EXPECT_EQ(quor_raw_send(ep, 0, nullptr, 0, f.data(), 65536, nullptr), EINVAL);
    EXPECT_EQ(quor_raw_send(ep, 0, nullptr, 0, f.data(), 9019, nullptr), EINVAL);
    EXPECT_EQ(quor_raw_send(ep, 0, nullptr, 0, f.data(), 13, nullptr), EINVAL);
    EXPECT_EQ(Sent(0), 0u);

    // Two senders and one collector: 126 sends pass, every completion is
    // seen once, and the 127th send waits for a collection.
    std::atomic<int> ok{0}, busy{0};
    auto sender = [&](int base) {
        for (int i = 0; i < 70; ++i) {
            int rc = quor_raw_send(ep, 0, nullptr, 0, f.data(), 64,
                                   reinterpret_cast<void *>(uintptr_t(base + i)));
            (rc == 0 ? ok : busy)++;
        }
    };
    std::thread a(sender, 1000), b(sender, 2000);
    a.join();
    b.join();
    EXPECT_EQ(ok.load(), 126);
    EXPECT_EQ(busy.load(), 14);
    EXPECT_EQ(Sent(0), 126u);
    std::set<uintptr_t> seen;
    for (int i = 0; i < 126; ++i) {
        e = Next(ep, 1000);
        ASSERT_EQ(e.status, 1u);
        EXPECT_TRUE(seen.insert(reinterpret_cast<uintptr_t>(e.ctx)).second) << "twice";
    }
    EXPECT_EQ(Next(ep, 0).status, 0u);
    EXPECT_EQ(quor_raw_send(ep, 0, nullptr, 0, f.data(), 64, nullptr), 0);

    // A second binding of the same file, and requests on an unbound file.
    EXPECT_EQ(zal_ioctl(quor_raw_handle(ep), int(QUOR_SET_RAW_ENDPOINT), nullptr, 0), EBUSY);
    zal_handle_t plain = -1;
    ASSERT_EQ(zal_open(0, -1, &plain, kLetterC), 0);
    quor_raw_next_event_t ne = {};
    EXPECT_EQ(zal_ioctl(plain, int(QUOR_RAW_NEXT_EVENT), &ne, sizeof ne), EINVAL);
    zal_close(plain);
}

TEST_F(RawEndpointTest, AWaitingCollectorWakesAndADeadClientLeavesNothingBehind)
{
    quor_raw_endpoint_t rx = Open(1), tx = Open(0);
    ASSERT_TRUE(rx && tx);
    std::vector<uint8_t> f = TestFrame(128, 3);
    std::thread late([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(quor_raw_send(tx, 0, nullptr, 0, f.data(), 128, nullptr), 0);
    });
    Ev e = Next(rx, 5000);
    late.join();
    EXPECT_EQ(e.status, 2u);
    EXPECT_EQ(e.bytes, 128u);

    // A child that dies holding endpoints, one blocked in a wait (port 0
    // receives nothing: the child's frames go to port 1).
    pid_t pid = fork();
    if (pid == 0) {
        quor_raw_endpoint_t a = nullptr, b = nullptr;
        if (quor_raw_open_endpoint(0, &a, kLetterC) || quor_raw_open_endpoint(0, &b, kLetterC)) _exit(1);
        for (int i = 0; i < 50; ++i) quor_raw_send(b, 0, nullptr, 0, f.data(), 128, nullptr);
        uint32_t n = 0;
        quor_raw_status_t st;
        quor_raw_next_event(a, nullptr, nullptr, nullptr, &n, 100000, &st, nullptr);
        _exit(2);
    }
    ASSERT_TRUE(kpttest::WaitUntil([&] { return sim_->connections(0) == 3 && Sent(0) == 51; }, 5000));
    EXPECT_EQ(waitpid(pid, nullptr, WNOHANG), 0) << "the child's wait returned";
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    ASSERT_TRUE(kpttest::WaitUntil([&] { return sim_->connections(1) == 1 && sim_->connections(0) == 1; }, 5000));
    // Ours still works, and saw the child's 50 frames.
    int frames = 0;
    while (Next(rx, 0).status == 2) ++frames;
    EXPECT_EQ(frames, 50);
    EXPECT_EQ(quor_raw_send(tx, 0, nullptr, 0, f.data(), 128, nullptr), 0);
    EXPECT_EQ(Next(rx, 1000).status, 2u);
}

} // namespace
