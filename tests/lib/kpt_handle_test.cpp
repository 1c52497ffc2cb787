// Device handles: open over one port or a mask of ports, clean-up of failed
// opens, start/stop, close, region mapping reports and frame reflection.
#include <dirent.h>
#include <errno.h>
#include <string.h>
#include <sys/mman.h>

#include <string>
#include <vector>

#include "port_fixture.h"

namespace {

using KptHandleTest = kpttest::KptSimTest;
using KptHandleNetTest = kpttest::KptNetTest;
using kpttest::OpenFds;
using kpttest::WaitUntil;

constexpr uint32_t kAll = 0xffffffffu;

bool Has(const std::string &text, const std::string &what)
{
    return text.find(what) != std::string::npos;
}

// A frame the host stack has no use for (local experimental ethertype).
std::vector<uint8_t> TestFrame(uint8_t tag, size_t len = 60)
{
    std::vector<uint8_t> f(len);
    memset(f.data(), 0xff, 6);
    const uint8_t src[6] = {0x02, 0x00, 0x00, 0x00, 0x00, tag};
    memcpy(f.data() + 6, src, 6);
    f[12] = 0x88;
    f[13] = 0xb5;
    for (size_t i = 14; i < len; ++i) f[i] = uint8_t(i * 7 + tag);
    return f;
}

// ---------------------------------------------------------------------------
// Opening
// ---------------------------------------------------------------------------

TEST_F(KptHandleTest, OpenWithDefaultsBindsThePortEndpoint)
{
    Init();
    kpt_handle_t h = nullptr;
    ASSERT_EQ(kpt_open_defaults(0, &h), 0);
    EXPECT_EQ(Ctl("rx-params 0"),
              "endpoint 0 type 301 num_rings 1 open_flags 0 rss_flags 0x31 aggr_portmask 0x1 "
              "app_id -1 map_flags 0 preamble 0 data_ring 268435456 desc_ring 134217728\nok\n");
    EXPECT_EQ(h->type, KPT_H_BOARD_GROUP);
    EXPECT_EQ(h->portcnt, 1);
    EXPECT_EQ(h->refcnt, 1);
    EXPECT_EQ(h->portmask, 0x1u);
    EXPECT_TRUE(WaitUntil([&] { return sim_->connections(0) == 1; }));
    EXPECT_EQ(kpt_close(h), 0);
    EXPECT_TRUE(WaitUntil([&] { return sim_->connections(0) == 0; }));
}

TEST_F(KptHandleTest, ArgumentsOverrideTheEnvironment)
{
    Init();
    ASSERT_EQ(kpt_set_app_id(9), 0);
    setenv("KPT_NUM_RINGS", "3", 1);
    setenv("KPT_FLAGS", "0x200", 1);
    kpt_rss_params rss = {};
    rss.mode = KPT_RSS_FLAGS;
    rss.params.rss_flags = KPT_RSS_IP;
    kpt_handle_t h = nullptr;
    // Ring count and flags left unset: the environment's values.
    ASSERT_EQ(kpt_open(1, 0, &rss, 64, -1, &h), 0);
    EXPECT_EQ(Ctl("rx-params 1"),
              "endpoint 0 type 301 num_rings 3 open_flags 0x280 rss_flags 0x1 aggr_portmask 0x2 "
              "app_id 9 map_flags 0 preamble 0 data_ring 67108864 desc_ring 33554432\nok\n");
    ASSERT_EQ(kpt_close(h), 0);

    int ctx = 0;
    kpt_rss_fn_t fn = [](kpt_recv_req *, void *, uint32_t *hash) {
        *hash = 0;
        return 0;
    };
    rss.mode = KPT_RSS_FUNCTION;
    rss.params.rss_function = {fn, &ctx};
    ASSERT_EQ(kpt_open(1, 2, &rss, 0, 0, &h), 0);
    EXPECT_TRUE(Has(Ctl("rx-params 1"), "num_rings 2 open_flags 0x80 rss_flags 0x80000000 "));
    EXPECT_EQ(PortAt(h, 0)->p.rss_hash_fn, fn);
    EXPECT_EQ(PortAt(h, 0)->p.rss_context, &ctx);
    EXPECT_EQ(kpt_close(h), 0);
}

TEST_F(KptHandleTest, AggregateMaskOpensEachSetBit)
{
    opts_.ports = 3;
    Init();
    setenv("KPT_DEBUG_MASK", "0x2", 1);
    kpt_handle_t h = nullptr;
    kpttest::StderrCapture cap;
    ASSERT_EQ(kpt_open(0x5, 0, nullptr, 0, KPT_F_AGGREGATE_PORTMASK, &h), 0);
    std::string err = cap.Finish();
    const std::string lines = kpttest::WithoutTid(err);
    EXPECT_TRUE(Has(lines, "kpt.5.-1 P Aggregate port with mask=0x5 and cnt=2\n")) << err;
    const std::string build = kpt__lib_build();
    EXPECT_TRUE(Has(lines, "kpt.0.-1 P lib    version=3.0.21.50908 build=" + build + "\n")) << err;
    EXPECT_TRUE(Has(lines, "kpt.2.-1 P kernel version=3.0.21.50908 build=" + build + "\n")) << err;

    EXPECT_EQ(h->portcnt, 2);
    EXPECT_EQ(h->refcnt, 2);
    EXPECT_EQ(h->portmask, 0x5u);
    EXPECT_EQ(PortAt(h, 0)->p.portnum, 0u);
    EXPECT_EQ(PortAt(h, 1)->p.portnum, 2u);
    EXPECT_EQ(PortAt(h, 1)->kpt_h, h);
    EXPECT_TRUE(WaitUntil([&] { return sim_->connections(0) == 1; }));
    EXPECT_EQ(sim_->connections(1), 0);
    EXPECT_TRUE(WaitUntil([&] { return sim_->connections(2) == 1; }));
    EXPECT_TRUE(Has(Ctl("rx-params 2"), " open_flags 0x2 rss_flags 0x31 aggr_portmask 0x5 "));
    EXPECT_EQ(kpt_close(h), 0);

    EXPECT_EQ(kpt_open(0, 0, nullptr, 0, KPT_F_AGGREGATE_PORTMASK, &h), EINVAL);
}

TEST_F(KptHandleTest, SinglePortNumbers)
{
    opts_.ports = 3;
    Init();
    kpt_handle_t h = nullptr;
    EXPECT_EQ(kpt_open_defaults(16, &h), EAGAIN);
    setenv("KPT_DEBUG_MASK", "0x10", 1);
    kpttest::StderrCapture cap;
    EXPECT_EQ(kpt_open_defaults(15, &h), ENODEV) << "no device file: no such port";
    std::string err = cap.Finish();
    EXPECT_EQ(kpttest::WithoutTid(err), "kpt.?.-1 I Can't open KPT RX handle on port 15 (err=2)\n");
    EXPECT_EQ(h, nullptr);
}

TEST_F(KptHandleTest, FailureOnALaterPortClosesTheEarlierOnes)
{
    opts_.ports = 3;
    Init();
    setenv("KPT_DEBUG_MASK", "0x10", 1);
    Ctl("fail 2 set_endpoint EBUSY");
    kpt_handle_t h = nullptr;
    kpttest::StderrCapture cap;
    EXPECT_EQ(kpt_open(0x7, 0, nullptr, 0, KPT_F_AGGREGATE_PORTMASK, &h), EBUSY);
    std::string err = cap.Finish();
    EXPECT_EQ(kpttest::WithoutTid(err), "kpt.2.-1 I Can't set ENDPOINT_RX port 2 (err=16)\n");
    EXPECT_EQ(h, nullptr);
    for (int u = 0; u < 3; ++u)
        EXPECT_TRUE(WaitUntil([&] { return sim_->connections(u) == 0; })) << u;

    Ctl("fail 2 set_endpoint off");
    Ctl("refuse 1 EACCES");
    EXPECT_EQ(kpt_open(0x7, 0, nullptr, 0, KPT_F_AGGREGATE_PORTMASK, &h), EACCES);
    EXPECT_TRUE(WaitUntil([&] { return sim_->connections(0) == 0; }));
}

TEST_F(KptHandleTest, RefusedOpensLeaveNothingOpen)
{
    StartSim();
    kpt_handle_t h = nullptr;
    {
        kpttest::StderrCapture cap;
        EXPECT_EQ(kpt_open_defaults(0, &h), EINVAL);
        EXPECT_EQ(kpttest::WithoutTid(cap.Finish()),
                  "kpt.0.0  E kpt: kpt_init not called before kpt_open!\n");
    }
    ASSERT_EQ(kpt_init(KPT_API_VERSION), 0);

    kpt_rss_params rss = {};
    const int bad_mode = 7; // as a C caller could store it
    memcpy(&rss.mode, &bad_mode, sizeof bad_mode);
    {
        kpttest::StderrCapture cap;
        EXPECT_EQ(kpt_open(0, 0, &rss, 0, -1, &h), EINVAL);
        EXPECT_EQ(kpttest::WithoutTid(cap.Finish()), "kpt.0.0  E kpt: unrecognized RSS param 7\n");
    }

    // (the in-process simulator closes its end of kpt_init's connection late)
    ASSERT_TRUE(WaitUntil([&] { return sim_->connections(0) == 0; }));
    const int fds = OpenFds();
    setenv("KPT_RING_ID", "abc", 1);
    EXPECT_EQ(kpt_open_defaults(0, &h), ERANGE);
    unsetenv("KPT_RING_ID");
    // The debug file is opened before the application id is refused.
    kpttest::TempDir tmp;
    setenv("KPT_DEBUG_FILENAME", tmp.file("dbg").c_str(), 1);
    setenv("KPT_APP_ID", "-1", 1);
    EXPECT_EQ(kpt_open_defaults(0, &h), EINVAL);
    EXPECT_EQ(OpenFds(), fds) << "a descriptor stayed open";
    EXPECT_EQ(h, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return sim_->connections(0) == 0; }));

    // Open and close with a debug file give its descriptor back too.
    unsetenv("KPT_APP_ID");
    ASSERT_EQ(kpt_open_defaults(0, &h), 0);
    EXPECT_EQ(kpt_close(h), 0);
    EXPECT_TRUE(WaitUntil([&] { return OpenFds() == fds; })) << OpenFds() << " " << fds;
}

TEST_F(KptHandleNetTest, AllOnesOpensEveryListedPortOnce)
{
    opts_.ports = 3;
    Init();
    // A second interface with port 0's address lists port 0 twice.
    const uint8_t mac0[6] = {0x02, 0x51, 0x53, 0x02, 0x00, 0x00};
    kpttest::TapIface dup("dup0", mac0);
    ASSERT_EQ(dup.error(), 0);
    uint32_t mask = 0;
    int cnt = 0;
    ASSERT_EQ(kpt_getportmask_valid(&mask, &cnt), 0);
    ASSERT_EQ(cnt, 4);

    kpt_handle_t h = nullptr;
    ASSERT_EQ(kpt_open_defaults(kAll, &h), 0);
    EXPECT_EQ(h->portmask, 0x7u);
    EXPECT_EQ(h->portcnt, 3);
    for (int u = 0; u < 3; ++u)
        EXPECT_TRUE(WaitUntil([&] { return sim_->connections(u) == 1; })) << u;
    EXPECT_TRUE(Has(Ctl("rx-params 1"), " aggr_portmask 0x7 "));
    EXPECT_EQ(kpt_close(h), 0) << "every port is closed once";
}

TEST_F(KptHandleTest, AllOnesWithNoPortListedHasNoPorts)
{
    Init();
    // The simulated ports are listed, but neither is a capture board.
    Ctl("board-type 0 4");
    Ctl("board-type 1 4");
    kpt_handle_t h = nullptr;
    ASSERT_EQ(kpt_open_defaults(kAll, &h), 0);
    EXPECT_EQ(h->portcnt, 0);
    EXPECT_EQ(h->portmask, 0u);
    EXPECT_EQ(kpt_start(h), 0);
    kpt_netdev_reflect_t rh = nullptr;
    EXPECT_EQ(kpt_netdev_reflect_enable(h, &rh), EINVAL);
    uint8_t b[64] = {};
    EXPECT_EQ(kpt_netdev_reflect(h, b, sizeof b), EINVAL);
    // No port to open a ring on or to ask about.
    kpt_ring_t ring = nullptr;
    EXPECT_EQ(kpt_ring_open(h, &ring), ENODEV);
    EXPECT_EQ(ring, nullptr);
    ExpectPortQueriesRefused(h);
    EXPECT_EQ(h->refcnt, 0);
    EXPECT_EQ(kpt_close(h), 0);
}

// ---------------------------------------------------------------------------
// Start, stop, close
// ---------------------------------------------------------------------------

TEST_F(KptHandleTest, StartAndStopReachEveryPort)
{
    Init();
    kpt_handle_t h = nullptr;
    ASSERT_EQ(kpt_open(0x3, 0, nullptr, 0, KPT_F_AGGREGATE_PORTMASK, &h), 0);
    ASSERT_EQ(kpt_start(h), 0);
    EXPECT_EQ(Started(0), "yes");
    EXPECT_EQ(Started(1), "yes");
    ASSERT_EQ(kpt_stop(h), 0);
    EXPECT_EQ(Started(0), "no");
    EXPECT_EQ(Started(1), "no");

    Ctl("fail 0 kpt_start EIO");
    EXPECT_EQ(kpt_start(h), EIO);
    EXPECT_EQ(Started(1), "no") << "the loop stops at the first failure";
    EXPECT_EQ(kpt_close(h), 0);
    EXPECT_EQ(kpt_start(nullptr), EINVAL);
}

TEST_F(KptHandleTest, CloseWaitsForTheRings)
{
    Init();
    EXPECT_EQ(kpt_close(nullptr), EINVAL);
    kpt_handle_t h = nullptr;
    ASSERT_EQ(kpt_open(0x3, 0, nullptr, 4 << 20, KPT_F_AGGREGATE_PORTMASK, &h), 0);
    kpt_ring_t group = nullptr;
    ASSERT_EQ(kpt_ring_open(h, &group), 0);
    EXPECT_EQ(kpt_close(h), EBUSY) << "a group holds its handle";
    EXPECT_EQ(kpt_start(h), 0) << "the handle stays usable";
    EXPECT_EQ(kpt_ring_close(group), 0);
    EXPECT_EQ(kpt_close(h), 0);
    EXPECT_TRUE(WaitUntil([&] { return sim_->connections(1) == 0; }));
    EXPECT_TRUE(WaitUntil([&] { return sim_->connections(0) == 0; }));
}

// ---------------------------------------------------------------------------
// Region mapping
// ---------------------------------------------------------------------------

TEST_F(KptHandleTest, MappingReportsSizeAndAddress)
{
    Init();
    kpt_handle_t h = nullptr;
    ASSERT_EQ(kpt_open_defaults(0, &h), 0);
    kpt_port *port = PortAt(h, 0);
    kpt__params p = port->p;
    p.debug_fp = nullptr;
    p.debug_mask = KPT_DEBUG_WARN | KPT_DEBUG_PARAM;
    // A descriptor maps the regions of its own endpoint: an injection
    // endpoint's 2 MiB data ring here.
    zal_handle_t mh = -1;
    ASSERT_EQ(zal_open(0, 0, &mh, 2), 0);
    quor_kpt_tx_params_t tx = {};
    tx.set_endpt = {0, QUOR_ES_KPT_TX};
    ASSERT_EQ(zal_ioctl(mh, QUOR_SET_ENDPOINT, &tx, sizeof tx), 0);
    ASSERT_EQ(tx.tx_data_ring_size, 2u << 20);
    const uintptr_t off = tx.tx_data_ring_offset;

    kpttest::StderrCapture cap;
    uintptr_t a = 0, b = 0, z = 7, none = 7;
    ASSERT_EQ(kpt__mmap(&p, mh, "data", &a, 2 << 20, off, 0), 0);
    ASSERT_EQ(kpt__mmap(&p, mh, "page", &b, 4096, off, 1), 0);
    ASSERT_EQ(kpt__mmap(&p, mh, "empty", &z, 0, off, 0), 0);
    ASSERT_EQ(kpt__mmap(&p, mh, "absent", &none, 4096, ~uintptr_t(0), 0), 0);
    std::string err = cap.Finish();

    ASSERT_NE(a, 0u);
    ASSERT_NE(b, 0u);
    EXPECT_EQ(z, 0u);
    EXPECT_EQ(none, 0u);
    // Both mappings show the same region of the arena.
    memcpy(reinterpret_cast<void *>(a), "region", 7);
    EXPECT_STREQ(reinterpret_cast<const char *>(b), "region");

    char want[512];
    snprintf(want, sizeof want,
             "kpt.0.-1 P           data [%#16lx..%#16lx) size     2 MiB      2097152 (0x200000)\n"
             "kpt.0.-1 P           page [%#16lx..%#16lx) size     4 KiB         4096 (0x1000)\n"
             "kpt.0.-1 P          empty [               0..               0) size     0                0 (0)\n"
             "kpt.0.-1 P         absent [               0..               0) size     0                0 (0)\n",
             (unsigned long)a, (unsigned long)(a + (2 << 20)), (unsigned long)b,
             (unsigned long)(b + 4096));
    EXPECT_EQ(kpttest::WithoutTid(err), want);
    zal_munmap(reinterpret_cast<void *>(a), 2 << 20);
    zal_munmap(reinterpret_cast<void *>(b), 4096);

    // A failure is reported whatever the mask and leaves the address alone.
    p.debug_mask = KPT_DEBUG_WARN;
    kpttest::StderrCapture cap2;
    uintptr_t bad = 7;
    EXPECT_EQ(kpt__mmap(&p, mh, "desc", &bad, 4096, uintptr_t(1) << 40, 0), EINVAL);
    err = cap2.Finish();
    EXPECT_EQ(kpttest::WithoutTid(err), "kpt.0.-1 E mmap       desc read-write "
                                        "(offset=1099511627776,size=4096) (err=22:Invalid argument)\n");
    EXPECT_EQ(bad, 7u);
    EXPECT_EQ(zal_close(mh), 0);
    EXPECT_EQ(kpt_close(h), 0);
}

// ---------------------------------------------------------------------------
// Reflection to the host stack
// ---------------------------------------------------------------------------

TEST_F(KptHandleNetTest, ReflectedFrameArrivesOnTheInterface)
{
    opts_.ports = 1;
    Init();
    kpttest::PacketSocket sock("quor0");
    ASSERT_TRUE(sock.ok());
    kpt_handle_t h = nullptr;
    ASSERT_EQ(kpt_open_defaults(0, &h), 0);
    kpt_netdev_reflect_t rh = nullptr;
    ASSERT_EQ(kpt_netdev_reflect_enable(h, &rh), 0);
    EXPECT_EQ(rh, h);

    std::vector<uint8_t> f = TestFrame(1, 333);
    ASSERT_EQ(kpt_netdev_reflect(rh, f.data(), uint32_t(f.size())), 0);
    EXPECT_TRUE(sock.Expect(f, 3000));

    // The probe length is refused by the driver and reads as success.
    EXPECT_EQ(kpt_netdev_reflect(rh, f.data(), 0xdeadbeefu), 0);
    // Lengths the request cannot carry are refused, not cut short.
    std::vector<uint8_t> big(65536 + 100);
    memcpy(big.data(), f.data(), f.size());
    EXPECT_EQ(kpt_netdev_reflect(rh, big.data(), uint32_t(big.size())), EINVAL);
    EXPECT_EQ(kpt_netdev_reflect(rh, f.data(), 0), EINVAL);
    EXPECT_EQ(kpt_close(h), 0);
}

TEST_F(KptHandleNetTest, ReflectUsesThePortWhoseRingHoldsTheFrame)
{
    opts_.ports = 2;
    Init();
    kpttest::PacketSocket s0("quor0"), s1("quor1");
    ASSERT_TRUE(s0.ok() && s1.ok());
    kpt_handle_t h = nullptr;
    ASSERT_EQ(kpt_open(0x3, 0, nullptr, 4 << 20, KPT_F_AGGREGATE_PORTMASK, &h), 0);
    kpt_ring_t group = nullptr;
    ASSERT_EQ(kpt_ring_open(h, &group), 0);
    // Frames written into the members' data rings (and one just before
    // port 1's, in its preamble), as a received frame lies there.
    auto Data = [&](int port) {
        const kpt__rx_map &m = group->u.group.ports[port].ring->u.ring.rx.rx_map;
        return std::pair(reinterpret_cast<uint8_t *>(m.map_rx_data), size_t(m.map_rx_data_size));
    };
    auto [d0, n0] = Data(0);
    auto [d1, n1] = Data(1);
    auto Put = [&](uint8_t *at, uint8_t tag) {
        std::vector<uint8_t> f = TestFrame(tag, 100);
        memcpy(at, f.data(), f.size());
        EXPECT_EQ(kpt_netdev_reflect(h, at, uint32_t(f.size())), 0);
        return f;
    };
    std::vector<uint8_t> outside(100);
    EXPECT_TRUE(s1.Expect(Put(d1 + 200, 2), 3000));
    EXPECT_TRUE(s1.Expect(Put(d1 + n1 - 100, 3), 3000)) << "a frame that ends with the ring";
    EXPECT_TRUE(s0.Expect(Put(d1 - 50, 4), 3000)) << "a frame across the ring start";
    EXPECT_TRUE(s0.Expect(Put(d0 + n0 - 100, 5), 3000));
    EXPECT_TRUE(s0.Expect(Put(outside.data(), 6), 3000)) << "in no ring: the first port";
    EXPECT_FALSE(s0.Expect(TestFrame(2, 100), 200));
    EXPECT_EQ(kpt_ring_close(group), 0);
    EXPECT_EQ(kpt_close(h), 0);
}

}  // namespace
