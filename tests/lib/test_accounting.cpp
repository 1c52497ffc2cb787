// Every frame that reaches a port is either handed to the application or
// counted as dropped at exactly one place (ring overflow, NIC overflow when
// no capture is started), over runs from a generator and over a cable, with
// phases that make each kind of drop happen.
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <functional>
#include <string>

#include "port_fixture.h"

namespace {

using kpttest::MonoMs;
// The number after `key` in text (its first occurrence), or -1.
long long NumberAfter(const std::string &text, const std::string &key)
{
    size_t at = text.find(key);
    return at == std::string::npos ? -1 : strtoll(text.c_str() + at + key.size(), nullptr, 10);
}

struct PortCounts {
    long long generated = 0, received = 0, ring_overflow = 0, nic_overflow = 0, link_drops = 0,
              sent = 0;
    long long dropped() const { return ring_overflow + nic_overflow + link_drops; }
};

class Accounting : public kpttest::KptSimTest {
protected:
    PortCounts Counts(int port)
    {
        std::string st = Ctl("counters");
        st = st.substr(st.find("port " + std::to_string(port) + ":"));
        st = st.substr(0, st.find('\n'));
        PortCounts c;
        c.generated = NumberAfter(st, "generated ");
        c.received = NumberAfter(st, "received ");
        c.ring_overflow = NumberAfter(st, "ring-overflow ");
        c.nic_overflow = NumberAfter(st, "nic-overflow ");
        c.link_drops = NumberAfter(st, "link-drops ");
        c.sent = NumberAfter(st, " sent ");
        return c;
    }
    // Waits until the port has accounted for `total` frames (or a while
    // longer, to see any that would be counted twice).
    PortCounts Settle(int port, long long total)
    {
        PortCounts c;
        int64_t end = MonoMs() + 10000;
        do {
            c = Counts(port);
            if (c.received + c.dropped() >= total) break;
            usleep(2000);
        } while (MonoMs() < end);
        usleep(50000);
        return Counts(port);
    }
    // Frames the ring hands out until it stays empty.
    static long long Drain(kpt_ring_t ring)
    {
        long long n = 0;
        kpt_recv_req req = {};
        while (kpt_ring_recv(ring, 200, &req) == 0) ++n;
        return n;
    }
};

// A generator at line rate into a small ring that nobody reads for a while:
// what overflows is counted, the rest is received, nothing else is lost.
TEST_F(Accounting, GeneratorFramesAreReceivedOrCountedOnce)
{
    constexpr long long kFrames = 60000;
    setenv("KPT_DATARING_SIZE", "2", 1);
    opts_.wires = {"0=gen:rate=line,len=60-1514,count=" + std::to_string(kFrames)};
    Init();
    kpt_handle_t h = nullptr;
    kpt_ring_t ring = nullptr;
    ASSERT_EQ(kpt_open(0, 1, nullptr, 2, 0, &h), 0);
    ASSERT_EQ(kpt_ring_open(h, &ring), 0);
    ASSERT_EQ(kpt_start(h), 0);
    usleep(100000); // the ring fills and overflows
    long long got = 0;
    for (int64_t end = MonoMs() + 20000; MonoMs() < end;) {
        got += Drain(ring);
        PortCounts c = Counts(0);
        if (c.received + c.dropped() >= kFrames && got >= c.received) break;
    }
    got += Drain(ring);
    PortCounts c = Settle(0, kFrames);
    EXPECT_EQ(c.generated, kFrames);
    EXPECT_GT(c.ring_overflow, 0) << "the run was to overflow the ring";
    EXPECT_GT(c.received, 0);
    EXPECT_EQ(c.received + c.dropped(), kFrames);
    EXPECT_EQ(got, c.received) << "every frame counted received reached the ring's reader";
    EXPECT_EQ(kpt_ring_close(ring), 0);
    EXPECT_EQ(kpt_close(h), 0);
}

// Injection over a cable without flow control into a port that is first not
// started (NIC overflow), then started with a ring nobody reads (ring
// overflow), then read: sent = received + counted drops, to the frame.
TEST_F(Accounting, CableFramesAreReceivedOrCountedOnce)
{
    setenv("KPT_DATARING_SIZE", "2", 1);
    opts_.wires = {"1=peer:0,pause=off"};
    Init();
    kpt_handle_t h = nullptr;
    kpt_ring_t ring = nullptr;
    ASSERT_EQ(kpt_open(1, 1, nullptr, 2, 0, &h), 0);
    ASSERT_EQ(kpt_ring_open(h, &ring), 0);
    kpt_inject_t inj = nullptr;
    ASSERT_EQ(kpt_inject_open(0, 0, &inj), 0);
    uint8_t frame[1514] = {0x02, 0, 0, 0, 0, 1, 0x02, 0, 0, 0, 0, 2, 0x08, 0x00};
    long long sent = 0;
    auto send = [&](int n) {
        for (int i = 0; i < n; ++i, ++sent) {
            memcpy(frame + 20, &sent, sizeof sent);
            ASSERT_EQ(kpt_inject_send(inj, 2000, 0, frame, 60 + size_t(sent % 1400)), 0);
        }
    };
    send(500); // port 1 not started
    for (int64_t end = MonoMs() + 5000; Counts(1).nic_overflow < 500 && MonoMs() < end;) usleep(1000);
    ASSERT_EQ(kpt_start(h), 0);
    send(6000); // about 4 MiB into a 2 MiB ring nobody reads
    long long got = 0;
    for (int round = 0; round < 4; ++round) {
        send(1000);
        got += Drain(ring);
    }
    ASSERT_EQ(kpt_inject_close(inj), 0);
    PortCounts tx = Counts(0);
    EXPECT_EQ(tx.sent, sent);
    PortCounts c = Settle(1, sent);
    got += Drain(ring);
    EXPECT_EQ(c.nic_overflow, 500) << "not started";
    EXPECT_GT(c.ring_overflow, 0) << "a full ring";
    EXPECT_EQ(c.received + c.dropped(), sent);
    EXPECT_EQ(got, c.received);
    EXPECT_EQ(kpt_ring_close(ring), 0);
    EXPECT_EQ(kpt_close(h), 0);
}

}  // namespace
