// Port queries: the capture interface list, the port masks, and the link,
// speed and time-source queries of a device handle.
#include <errno.h>
#include <string.h>

#include <map>
#include <string>

#include "port_fixture.h"

namespace {

using KptPortsTest = kpttest::KptSimTest;
using KptPortsNetTest = kpttest::KptNetTest;

// The records of a list by interface name; a name seen twice fails the test.
std::map<std::string, kpt_ifaddrs *> ByName(kpt_ifaddrs *list)
{
    std::map<std::string, kpt_ifaddrs *> m;
    for (kpt_ifaddrs *r = list; r; r = r->kpt_ifa_next)
        EXPECT_TRUE(m.emplace(r->kpt_ifa_name, r).second) << r->kpt_ifa_name << " listed twice";
    return m;
}

// Checks the record of simulated port u, listed as prefix<u>: its port,
// the simulator's MAC address, link state and speed.
void ExpectPort(std::map<std::string, kpt_ifaddrs *> &m, const std::string &prefix, int u,
                bool down)
{
    std::string name = prefix + std::to_string(u);
    SCOPED_TRACE(name);
    ASSERT_EQ(m.count(name), 1u);
    const kpt_ifaddrs *r = m[name];
    EXPECT_EQ(r->kpt_ifa_portnum, uint32_t(u));
    const uint8_t mac[6] = {0x02, 0x51, 0x53, 0x02, 0x00, uint8_t(u)};
    EXPECT_EQ(memcmp(r->kpt_ifa_macaddr, mac, 6), 0);
    EXPECT_EQ(r->kpt_ifa_link_state, down ? KPT_LINK_DOWN : KPT_LINK_UP);
    EXPECT_EQ(r->kpt_ifa_link_speed, 10000000000ull);
}

int ZalRecordsNamed(const char *name)
{
    zal_ifaddrs *l = nullptr;
    int n = 0, k = 0;
    EXPECT_EQ(zal_getifaddrs(&l, 0, &n), 0);
    for (zal_ifaddrs *r = l; r; r = r->zal_ifa_next) k += strcmp(r->zal_ifa_name, name) == 0;
    zal_freeifaddrs(l);
    return k;
}

TEST_F(KptPortsTest, ListBeforeInitIsRefused)
{
    kpt_ifaddrs *list = nullptr;
    kpttest::StderrCapture cap;
    EXPECT_EQ(kpt_getifaddrs(&list), EINVAL);
    std::string err = cap.Finish();
    EXPECT_EQ(kpttest::WithoutTid(err),
              "kpt.0.0  E kpt: kpt_init not called before kpt_getifaddrs!\n");
    EXPECT_EQ(list, nullptr);
}

TEST_F(KptPortsNetTest, ListsEachPortInterfaceOnce)
{
    opts_.ports = 3;
    Init();
    Ctl("link 2 down");
    ASSERT_EQ(kpttest::Ip({"addr", "add", "10.7.0.1/24", "dev", "quor0"}), "");
    ASSERT_EQ(kpttest::Ip({"addr", "add", "10.7.1.1/24", "dev", "quor0"}), "");
    ASSERT_EQ(kpttest::Ip({"-6", "addr", "add", "fd00:7::1/64", "dev", "quor0", "nodad"}), "");
    EXPECT_GE(ZalRecordsNamed("quor0"), 3) << "the device layer lists every address";

    kpt_ifaddrs *list = nullptr;
    ASSERT_EQ(kpt_getifaddrs(&list), 0);
    auto m = ByName(list);
    ASSERT_EQ(m.size(), 3u);
    for (int u = 0; u < 3; ++u) {
        ExpectPort(m, "quor", u, u == 2);
        EXPECT_EQ(m["quor" + std::to_string(u)]->kpt_ifa_maxrings, 48);
        EXPECT_EQ(m["quor" + std::to_string(u)]->kpt_ifa_maxinject, 48);
    }
    kpt_freeifaddrs(list);
}

TEST_F(KptPortsNetTest, MasksOfValidAndLinkedPorts)
{
    opts_.ports = 3;
    Init();
    Ctl("board-type 2 4"); // not a capture board
    Ctl("link 0 down");
    ExpectMasks(0x3, 0x2);
    Ctl("link 0 up");
    ExpectMasks(0x3, 0x3);
}

// Without host interfaces of its own (no root for TAPs) the simulator's
// ports are still listed, under the names and addresses a driver gives them;
// boards that cannot capture are not.
TEST_F(KptPortsTest, SimulatedPortsAreListedWithoutHostInterfaces)
{
    opts_.netdev_prefix = "sq";
    Init();
    Ctl("link 1 down");
    kpt_ifaddrs *list = nullptr;
    ASSERT_EQ(kpt_getifaddrs(&list), 0);
    auto m = ByName(list);
    ASSERT_EQ(m.size(), 2u);
    for (int u = 0; u < 2; ++u) ExpectPort(m, "sq", u, u == 1);
    kpt_freeifaddrs(list);
    uint8_t mac[6] = {};
    ASSERT_EQ(zal_get_macaddr("sq1", mac), 0);
    EXPECT_EQ(mac[5], 1);
    EXPECT_EQ(zal_get_macaddr("sq", mac), ENODEV);
    // They carry no IPv4 address.
    zal_ifaddrs *zl = nullptr;
    int n = -1;
    ASSERT_EQ(zal_getifaddrs(&zl, 1, &n), 0);
    EXPECT_EQ(n, 0);
    zal_freeifaddrs(zl);

    ExpectMasks(0x3, 0x1);

    Ctl("board-type 0 4");
    Ctl("board-type 1 4");
    list = reinterpret_cast<kpt_ifaddrs *>(0x1);
    ASSERT_EQ(kpt_getifaddrs(&list), 0);
    EXPECT_EQ(list, nullptr);
    uint32_t mask = 0;
    int cnt = 0;
    ASSERT_EQ(kpt_getportmask_valid(&mask, &cnt), 0);
    EXPECT_EQ(mask, 0u);
    EXPECT_EQ(cnt, 0);
}

TEST_F(KptPortsTest, LinkStateAndSpeedOfAPort)
{
    Init();
    kpt_handle_t h = nullptr;
    ASSERT_EQ(kpt_open_defaults(1, &h), 0);
    kpt_link_state st = KPT_LINK_DOWN;
    ASSERT_EQ(kpt_get_link_state(h, &st), 0);
    EXPECT_EQ(st, KPT_LINK_UP);
    Ctl("link 1 down");
    ASSERT_EQ(kpt_get_link_state(h, &st), 0);
    EXPECT_EQ(st, KPT_LINK_DOWN);
    Ctl("fail 1 get_link_state EIO");
    EXPECT_EQ(kpt_get_link_state(h, &st), EIO);

    uint64_t speed = 0;
    ASSERT_EQ(kpt_get_link_speed(h, &speed), 0);
    EXPECT_EQ(speed, 10000000000ull);
    speed = 0;
    ASSERT_EQ(kpt_get_injection_speed(nullptr, &speed), 0);
    EXPECT_EQ(speed, 10000000000ull);
    EXPECT_EQ(kpt_close(h), 0);
}

TEST_F(KptPortsTest, QueriesRefuseAHandleOfSeveralPorts)
{
    Init();
    kpt_handle_t h = nullptr;
    ASSERT_EQ(kpt_open(0x3, 0, nullptr, 0, KPT_F_AGGREGATE_PORTMASK, &h), 0);
    ExpectPortQueriesRefused(h);
    EXPECT_EQ(kpt_close(h), 0);
}

TEST_F(KptPortsTest, TimeSourceCodesOfTheDriver)
{
    Init();
    kpt_handle_t h = nullptr;
    ASSERT_EQ(kpt_open_defaults(1, &h), 0);
    const kpt_timesource_state want[7] = {
        KPT_TIMESOURCE_LOCAL,        KPT_TIMESOURCE_LOCAL,        KPT_TIMESOURCE_EXT_UNSYNCED,
        KPT_TIMESOURCE_EXT_UNSYNCED, KPT_TIMESOURCE_EXT_UNSYNCED, KPT_TIMESOURCE_EXT_SYNCED,
        KPT_TIMESOURCE_EXT_FAILED};
    kpt_timesource_state ts;
    for (int code = 0; code < 7; ++code) {
        Ctl("timesource 1 " + std::to_string(code));
        ASSERT_EQ(kpt_get_timesource_state(h, &ts), 0) << code;
        EXPECT_EQ(ts, want[code]) << code;
    }
    Ctl("timesource 1 7");
    EXPECT_EQ(kpt_get_timesource_state(h, &ts), ENODEV);
    Ctl("timesource 1 0");
    Ctl("fail 1 get_timesource EIO");
    EXPECT_EQ(kpt_get_timesource_state(h, &ts), EIO);
    EXPECT_EQ(kpt_close(h), 0);
}

TEST_F(KptPortsTest, SwitchTimestampsOfTheFirstRingOverrideTheClock)
{
    Init();
    kpt_handle_t h = nullptr;
    ASSERT_EQ(kpt_open(0, 2, nullptr, 4 << 20, -1, &h), 0);
    Ctl("timesource 0 5");
    kpt_timesource_state ts;
    auto State = [&](kpt_handle_t on) {
        ts = KPT_TIMESOURCE_PPS;
        int rc = kpt_get_timesource_state(on, &ts);
        return rc != 0 ? -rc : int(ts);
    };
    // The switch decoding of a ring sets its status; nothing else does.
    auto SetStatus = [](kpt_ring_t r, ats_status s) {
        r->u.ring.rx.ats.arct_status = s;
    };

    EXPECT_EQ(State(h), KPT_TIMESOURCE_EXT_SYNCED) << "no ring yet";
    kpt_ring_t first = nullptr, second = nullptr;
    ASSERT_EQ(kpt_ring_open(h, &first), 0);
    ASSERT_EQ(kpt_ring_open(h, &second), 0);
    SetStatus(second, ATS_STATUS_ACTIVE);
    SetStatus(first, ATS_STATUS_FALLBACK_LOCAL);
    EXPECT_EQ(State(h), KPT_TIMESOURCE_EXT_SYNCED) << "only the first ring counts";
    for (ats_status s :
         {ATS_STATUS_ACTIVE, ATS_STATUS_OUTOFSYNC, ATS_STATUS_NEED_KEYFRAME}) {
        SetStatus(first, s);
        EXPECT_EQ(State(h), KPT_TIMESOURCE_ARISTA_ACTIVE) << s;
    }
    Ctl("timesource 0 7");
    EXPECT_EQ(State(h), -ENODEV);
    Ctl("timesource 0 5");
    // Closing the first ring makes the other one first.
    EXPECT_EQ(kpt_ring_close(first), 0);
    EXPECT_EQ(State(h), KPT_TIMESOURCE_ARISTA_ACTIVE);
    EXPECT_EQ(kpt_ring_close(second), 0);
    EXPECT_EQ(kpt_close(h), 0);

    // A group only exists on a handle of several ports, which the query
    // refuses before it looks at any ring.
    kpt_handle_t both = nullptr;
    ASSERT_EQ(kpt_open(0x3, 0, nullptr, 4 << 20, KPT_F_AGGREGATE_PORTMASK, &both), 0);
    kpt_ring_t group = nullptr;
    ASSERT_EQ(kpt_ring_open(both, &group), 0);
    ASSERT_EQ(group->type, KPT_H_RING_GROUP);
    EXPECT_EQ(State(both), -EINVAL);
    EXPECT_EQ(kpt_ring_close(group), 0);
    EXPECT_EQ(kpt_close(both), 0);
}

}  // namespace
