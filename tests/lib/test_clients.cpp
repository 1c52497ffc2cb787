// Clients that die or misbehave: killed in the middle of injection, in a
// receive wait, holding a shared-queue lock or with a ring group half set
// up, and a long run of opens and closes.  Whatever they leave behind, the
// port goes on serving the next client and the simulator's descriptors and
// shared memory come back to where they were.
#include <errno.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <vector>

#include "kpt_internal.h"
#include "port_fixture.h"
#include "zal_internal.h"

namespace {

using kpttest::MonoMs;
// The number after `key` in text (its first occurrence), or -1.
long long NumberAfter(const std::string &text, const std::string &key)
{
    size_t at = text.find(key);
    return at == std::string::npos ? -1 : strtoll(text.c_str() + at + key.size(), nullptr, 10);
}
using kpttest::WaitUntil;

// A forked client: runs body, which writes one byte to `ready` when it is
// where it is to be killed, and never returns.
class Victim {
public:
    explicit Victim(const std::function<void(int ready)> &body)
    {
        int p[2];
        if (pipe(p) != 0) return;
        pid_ = fork();
        if (pid_ == 0) {
            close(p[0]);
            alarm(20); // never outlives the test
            body(p[1]);
            _exit(0);
        }
        close(p[1]);
        ready_fd_ = p[0];
    }
    ~Victim()
    {
        if (pid_ > 0) Kill();
        if (ready_fd_ >= 0) close(ready_fd_);
    }
    // Waits for the child's signal that it is in place.
    bool Ready()
    {
        char b;
        return pid_ > 0 && read(ready_fd_, &b, 1) == 1;
    }
    // SIGKILL and reap; true when the child died of it (and not before).
    bool Kill()
    {
        kill(pid_, SIGKILL);
        int st = 0;
        waitpid(pid_, &st, 0);
        pid_ = -1;
        return WIFSIGNALED(st) && WTERMSIG(st) == SIGKILL;
    }

private:
    pid_t pid_ = -1;
    int ready_fd_ = -1;
};

void Signal(int fd)
{
    char b = 1;
    (void)!write(fd, &b, 1);
}

class Clients : public kpttest::KptSimTest {
protected:
    void SetUp() override
    {
        KptSimTest::SetUp();
        setenv("KPT_DATARING_SIZE", "2", 1); // 2 MiB: many cycles stay cheap
        opts_.wires = {"1=peer:0"};
        Init();
    }
    // Regions, arena bytes and connections of unit 0, and the simulator's
    // descriptors (this process's: the simulator runs inside it).
    std::string Resources()
    {
        std::string r = Ctl("resources");
        std::string p0 = r.substr(0, r.find('\n'));
        return p0 + "; descriptors " + std::to_string(NumberAfter(r, "descriptors "));
    }
    long long Sent(int port)
    {
        std::string st = Ctl("status");
        return NumberAfter(st.substr(st.find("port " + std::to_string(port) + ":")), "sent ");
    }
    int Connections() { return sim_->connections(0); }

    // One frame sent on port 0 by this process, with a fresh injection
    // endpoint, within timeout_ms of asking.
    void SendOne(int timeout_ms)
    {
        const int64_t end = MonoMs() + timeout_ms;
        kpt_inject_t inj = nullptr;
        int rc;
        // The endpoint of a client that just died is free once the driver
        // has seen the hang-up.
        while ((rc = kpt_inject_open(0, 0, &inj)) == EBUSY && MonoMs() < end) usleep(1000);
        ASSERT_EQ(rc, 0);
        uint8_t frame[60] = {0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2, 0x08, 0x00};
        const long long before = Sent(0);
        int left = int(end - MonoMs());
        ASSERT_EQ(kpt_inject_send(inj, left > 1 ? left : 1, 0, frame, sizeof frame), 0);
        ASSERT_EQ(kpt_inject_close(inj), 0) << "close waits for what was posted";
        EXPECT_TRUE(WaitUntil([&] { return Sent(0) > before; }, timeout_ms));
    }
};

// 300 cycles of a whole receive client's life leave nothing behind.
TEST_F(Clients, OpenCloseCyclesReturnEveryResource)
{
    auto cycle = [&] {
        kpt_handle_t h = nullptr;
        kpt_ring_t ring = nullptr;
        ASSERT_EQ(kpt_open(0, 1, nullptr, 2, 0, &h), 0);
        ASSERT_EQ(kpt_ring_open(h, &ring), 0);
        ASSERT_EQ(kpt_start(h), 0);
        ASSERT_EQ(kpt_stop(h), 0);
        ASSERT_EQ(kpt_ring_close(ring), 0);
        ASSERT_EQ(kpt_close(h), 0);
    };
    cycle(); // whatever the first use sets up once
    ASSERT_TRUE(WaitUntil([&] { return Connections() == 0; }));
    const std::string before = Resources();
    ASSERT_EQ(before.find("regions 0,"), std::string::npos) << before;
    // The ring memory kept for this process's next ring: reused by every
    // cycle, never piled up, and not counted as in use.
    const long long kept = NumberAfter(Ctl("resources"), "kept ");
    const long long kept_bytes = NumberAfter(Ctl("resources"), "objects, ");
    EXPECT_GE(kept, 1);
    EXPECT_GE(kept_bytes, 2ll << 20);
    for (int i = 0; i < 300 && !HasFatalFailure(); ++i) cycle();
    ASSERT_TRUE(WaitUntil([&] { return Connections() == 0; }));
    // Connections end asynchronously: wait for the count to settle.
    EXPECT_TRUE(WaitUntil([&] { return Resources() == before; })) << Resources() << " against " << before;
    EXPECT_EQ(NumberAfter(Ctl("resources"), "kept "), kept);
    EXPECT_EQ(NumberAfter(Ctl("resources"), "objects, "), kept_bytes);
    // Given back on request, and the arena's use stays what it was.
    Ctl("kept-drop");
    EXPECT_NE(Ctl("resources").find("kept 0 objects, 0 bytes\n"), std::string::npos) << Ctl("resources");
    EXPECT_EQ(Resources(), before);
}

// A ring's memory is kept for its client's next ring, so that opening one
// again and again costs no fresh pages, and is never handed to another
// client: a second process's ring holds none of the first one's frames, and
// the first process's next ring takes no old descriptor for a new frame.
TEST_F(Clients, RingMemoryIsOnlyEverItsOwnClients)
{
    ASSERT_TRUE(WaitUntil([&] { return Connections() == 0; }));
    static const char kMark[] = "KEPT-MEMORY-MARK";
    auto frame = [](uint8_t fill) {
        std::vector<uint8_t> f(200, fill);
        const uint8_t head[14] = {0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 5, 0x08, 0x00};
        memcpy(f.data(), head, sizeof head);
        memcpy(f.data() + 14, kMark, sizeof kMark - 1);
        return f;
    };
    auto open = [](kpt_handle_t *h, kpt_ring_t *ring) {
        return kpt_open(0, 1, nullptr, 2, 0, h) == 0 && kpt_ring_open_id(*h, 0, ring) == 0 && kpt_start(*h) == 0;
    };
    auto holds_mark = [](kpt_ring_t ring) {
        const auto &m = ring->u.ring.rx.rx_map;
        return memmem(reinterpret_cast<const void *>(m.map_rx_data), size_t(m.map_rx_data_size), kMark,
                      sizeof kMark - 1) != nullptr;
    };
    kpt_handle_t h = nullptr;
    kpt_ring_t ring = nullptr;
    kpt_recv_req req = {};
    ASSERT_TRUE(open(&h, &ring));
    for (uint8_t i = 0; i < 20; ++i) {
        auto f = frame(uint8_t(0x40 + i));
        ASSERT_EQ(sim_->send_frame(0, f.data(), f.size()), 0);
        ASSERT_EQ(kpt_ring_recv(ring, 2000, &req), 0);
    }
    EXPECT_TRUE(holds_mark(ring));
    const uintptr_t data_at = ring->u.ring.rx.rx_map.map_rx_data;
    ASSERT_EQ(kpt_ring_close(ring), 0);
    ASSERT_EQ(kpt_close(h), 0);

    pid_t child = fork();
    if (child == 0) {
        alarm(20);
        kpt_handle_t ch = nullptr;
        kpt_ring_t cr = nullptr;
        if (!open(&ch, &cr)) _exit(3);
        _exit(holds_mark(cr) ? 4 : 0);
    }
    ASSERT_GT(child, 0);
    int st = 0;
    ASSERT_EQ(waitpid(child, &st, 0), child);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << "status " << st;
    ASSERT_TRUE(WaitUntil([&] { return Connections() == 0; }));

    ASSERT_TRUE(open(&h, &ring));
    EXPECT_EQ(ring->u.ring.rx.rx_map.map_rx_data, data_at) << "the kept mapping serves the same memory";
    EXPECT_EQ(kpt_ring_recv(ring, 200, &req), EAGAIN) << "an old descriptor read as new";
    auto f = frame(0x77);
    ASSERT_EQ(sim_->send_frame(0, f.data(), f.size()), 0);
    ASSERT_EQ(kpt_ring_recv(ring, 2000, &req), 0);
    EXPECT_EQ(req.length, f.size());
    EXPECT_EQ(memcmp(req.pkt_addr, f.data(), f.size()), 0);
    EXPECT_EQ(kpt_ring_recv(ring, 200, &req), EAGAIN);
    EXPECT_EQ(kpt_ring_close(ring), 0);
    EXPECT_EQ(kpt_close(h), 0);
}

// Senders killed at random points of their injection, the transmit lock
// possibly held: each time the next client sends within a second.
TEST_F(Clients, KilledSendersLeaveThePortSending)
{
    // From a quiet unit: the set-up's own connections end asynchronously.
    ASSERT_TRUE(WaitUntil([&] { return Connections() == 0; }));
    const std::string before = Resources();
    unsigned seed = 17;
    for (int i = 0; i < 25 && !HasFatalFailure(); ++i) {
        Victim v([](int ready) {
            kpt_inject_t inj = nullptr;
            if (kpt_inject_open(0, 0, &inj) != 0) _exit(3);
            uint8_t frame[1514] = {0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 3, 0x08, 0x00};
            bool told = false;
            for (;;) {
                if (kpt_inject_send(inj, 100, 0, frame, 60 + rand() % 1400) == 0 && !told) {
                    Signal(ready);
                    told = true;
                }
            }
        });
        ASSERT_TRUE(v.Ready());
        usleep(rand_r(&seed) % 3000);
        ASSERT_TRUE(v.Kill());
        SendOne(1000);
    }
    ASSERT_TRUE(WaitUntil([&] { return Connections() == 0; }));
    // Connections end asynchronously: wait for the count to settle.
    EXPECT_TRUE(WaitUntil([&] { return Resources() == before; })) << Resources() << " against " << before;
}

// A reader killed in a receive wait, a queue-lock holder and a half-built
// ring group: their ends free the ring id, the lock and the endpoint.
TEST_F(Clients, KilledReadersLockHoldersAndGroupBuildersReleaseWhatTheyHeld)
{
    // From a quiet unit: the set-up's own connections end asynchronously.
    ASSERT_TRUE(WaitUntil([&] { return Connections() == 0; }));
    const std::string before = Resources();
    {
        Victim v([](int ready) {
            kpt_handle_t h = nullptr;
            kpt_ring_t ring = nullptr;
            if (kpt_open(0, 1, nullptr, 2, 0, &h) || kpt_ring_open_id(h, 0, &ring) || kpt_start(h)) _exit(3);
            Signal(ready);
            kpt_recv_req req = {};
            kpt_ring_recv(ring, -1, &req); // blocks: nothing arrives
            _exit(4);
        });
        ASSERT_TRUE(v.Ready());
        usleep(20000); // inside the wait
        ASSERT_TRUE(v.Kill());
    }
    {
        // The same ring is free again, and frames reach its new reader.
        ASSERT_TRUE(WaitUntil([&] { return Connections() == 0; }));
        kpt_handle_t h = nullptr;
        kpt_ring_t ring = nullptr;
        ASSERT_EQ(kpt_open(0, 1, nullptr, 2, 0, &h), 0);
        ASSERT_EQ(kpt_ring_open_id(h, 0, &ring), 0);
        ASSERT_EQ(kpt_start(h), 0);
        uint8_t frame[60] = {0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 4, 0x08, 0x00};
        ASSERT_EQ(sim_->send_frame(0, frame, sizeof frame), 0);
        kpt_recv_req req = {};
        EXPECT_EQ(kpt_ring_recv(ring, 2000, &req), 0);
        EXPECT_EQ(kpt_ring_close(ring), 0);
        EXPECT_EQ(kpt_close(h), 0);
    }
    {
        Victim v([](int ready) {
            zal_handle_t h = -1;
            if (zal_open(0, 0, &h, 2) != 0 || zal_ioctl(h, QUOR_KPT_PQ_TRYLOCK, nullptr, 0) != 0) _exit(3);
            Signal(ready);
            pause();
        });
        ASSERT_TRUE(v.Ready());
        EXPECT_NE(Ctl("status").find("queue-lock held"), std::string::npos);
        ASSERT_TRUE(v.Kill());
        EXPECT_TRUE(WaitUntil([&] { return Ctl("status").find("queue-lock held") == std::string::npos; }));
        zal_handle_t h = -1;
        ASSERT_EQ(zal_open(0, 0, &h, 2), 0);
        EXPECT_EQ(zal_ioctl(h, QUOR_KPT_PQ_TRYLOCK, nullptr, 0), 0) << "the lock is takeable";
        EXPECT_EQ(zal_ioctl(h, QUOR_KPT_PQ_UNLOCK, nullptr, 0), 0);
        zal_close(h);
    }
    {
        Victim v([](int ready) {
            zal_handle_t h = -1;
            quor_set_endpt_t se = {0, QUOR_ES_KPT_RX_GROUP};
            if (zal_open(0, 0, &h, 2) != 0 || zal_ioctl(h, QUOR_SET_ENDPOINT, &se, sizeof se) != 0) _exit(3);
            quor_kpt_port_group_t g = {};
            g.port_id = 0;
            g.ring_id = 0;
            zal_ioctl(h, QUOR_KPT_PORT_GROUP, &g, sizeof g); // one member of the intended two
            Signal(ready);
            pause();
        });
        ASSERT_TRUE(v.Ready());
        ASSERT_TRUE(v.Kill());
    }
    ASSERT_TRUE(WaitUntil([&] { return Connections() == 0; }));
    // Connections end asynchronously: wait for the count to settle.
    EXPECT_TRUE(WaitUntil([&] { return Resources() == before; })) << Resources() << " against " << before;
}

}  // namespace
