// NIC ids, board information and the host interface list of the device layer.
#include <arpa/inet.h>
#include <errno.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "iface_util.h"
#include "quor_io.h"
#include "test_support.h"
#include "zal_internal.h"
#include "zal_simproto.h"

namespace {

using kpttest::WaitUntil;

uint64_t SimNicId(int unit) { return 0x025153020000ull + uint64_t(unit); }

// ---------------------------------------------------------------------------
// Conversions
// ---------------------------------------------------------------------------

TEST(ZalNicIdTest, NicIdAndMacConvertBothWays)
{
    const uint8_t mac[6] = {0x02, 0x11, 0x22, 0x33, 0x44, 0x55};
    uint64_t id = 0;
    zal_macaddr_to_nic_id(mac, &id);
    EXPECT_EQ(id, 0x021122334455ull);

    uint8_t back[8];
    memset(back, 0xee, sizeof back);
    zal_nic_id_to_macaddr(0x021122334455ull, back);
    EXPECT_EQ(memcmp(back, mac, 6), 0);
    EXPECT_EQ(back[6], 0xee) << "wrote past the six bytes";

    // The top byte of a MAC is the top of the 48 bits, whatever lies above.
    const uint8_t hi[6] = {0xff, 0, 0, 0, 0, 0x01};
    zal_macaddr_to_nic_id(hi, &id);
    EXPECT_EQ(id, 0xff0000000001ull);
    zal_nic_id_to_macaddr(0xabcd021122334455ull, back);
    EXPECT_EQ(memcmp(back, mac, 6), 0);
}

TEST(ZalNicIdTest, TextFormIsCutToTheBuffer)
{
    char buf[32];
    memset(buf, 'Z', sizeof buf);
    zal_nic_id_to_str(buf, 0x021122334455ull, 18);
    EXPECT_STREQ(buf, "02:11:22:33:44:55");

    memset(buf, 'Z', sizeof buf);
    zal_nic_id_to_str(buf, 0x021122334455ull, 9);
    EXPECT_STREQ(buf, "02:11:22");
    EXPECT_EQ(buf[9], 'Z') << "wrote past the given length";

    memset(buf, 'Z', sizeof buf);
    zal_nic_id_to_str(buf, 0x0aBCdeF01234ull, 1);
    EXPECT_EQ(buf[0], '\0');
    EXPECT_EQ(buf[1], 'Z');

    zal_nic_id_to_str(buf, 0x0abcdef01234ull, sizeof buf);
    EXPECT_STREQ(buf, "0a:bc:de:f0:12:34");
}

// ---------------------------------------------------------------------------
// Board information from the driver
// ---------------------------------------------------------------------------

class ZalNicInfoTest : public kpttest::SimTest {
protected:
    void SetUp() override { alarm(30); }
};

TEST_F(ZalNicInfoTest, ReportsEveryBoardAndClosesItsDeviceFile)
{
    opts_.ports = 3;
    opts_.max_endpoints = 40;
    StartSim();
    Ctl("link 1 down");
    Ctl("board-type 2 5");

    zal_nic_info *ni = nullptr;
    int n = -1;
    ASSERT_EQ(zal_get_nicinfo(&ni, &n), 0);
    ASSERT_EQ(n, 3);
    ASSERT_NE(ni, nullptr);
    for (int b = 0; b < 3; ++b) {
        SCOPED_TRACE(b);
        EXPECT_EQ(ni[b].boardnum, uint32_t(b));
        EXPECT_EQ(ni[b].nic_type, b == 2 ? 5u : 3u);
        EXPECT_EQ(ni[b].nic_id, SimNicId(b));
        EXPECT_EQ(ni[b].nic_max_endpoints, 40u);
        EXPECT_EQ(ni[b].nic_link_state, b == 1 ? 0u : 1u);
        EXPECT_EQ(ni[b].nic_link_speed, 10000000000ull);
    }
    zal_free_nicinfo(ni);
    EXPECT_TRUE(WaitUntil([&] { return sim_->connections(0) == 0; }));
}

TEST_F(ZalNicInfoTest, DriverFailuresAreReturnedWithoutAList)
{
    StartSim();
    zal_nic_info *ni = reinterpret_cast<zal_nic_info *>(0x1);
    int n = -1;

    // A failure after some boards were read: nothing half-filled comes back.
    Ctl("fail 0 get_link_state EIO");
    EXPECT_EQ(zal_get_nicinfo(&ni, &n), EIO);
    EXPECT_EQ(ni, nullptr);
    EXPECT_EQ(n, 0);
    Ctl("fail 0 get_link_state off");

    // A driver that cannot count its boards has not reported zero boards.
    Ctl("fail 0 get_board_count EIO");
    EXPECT_EQ(zal_get_nicinfo(&ni, &n), EIO);
    zal_ifaddrs *list = nullptr;
    EXPECT_EQ(zal_getifaddrs(&list, 0, &n), EIO);
    EXPECT_EQ(list, nullptr);
    EXPECT_TRUE(WaitUntil([&] { return sim_->connections(0) == 0; }));
}

TEST_F(ZalNicInfoTest, ZeroBoardsGiveAnEmptyList)
{
    StartSim();
    Ctl("board-count 0");
    zal_nic_info *ni = reinterpret_cast<zal_nic_info *>(0x1);
    int n = -1;
    ASSERT_EQ(zal_get_nicinfo(&ni, &n), 0);
    EXPECT_EQ(ni, nullptr);
    EXPECT_EQ(n, 0);

    zal_ifaddrs *list = reinterpret_cast<zal_ifaddrs *>(0x1);
    n = -1;
    ASSERT_EQ(zal_getifaddrs(&list, 0, &n), 0);
    EXPECT_EQ(list, nullptr);
    EXPECT_EQ(n, 0);
}

// ---------------------------------------------------------------------------
// Host interfaces (private network namespace, simulated ports as TAPs)
// ---------------------------------------------------------------------------

class ZalIfaddrsTest : public kpttest::SimTest {
protected:
    void SetUp() override
    {
        alarm(60);
        std::string why;
        if (!kpttest::EnterPrivateNetns(&why)) GTEST_SKIP() << why;
        opts_.netdev = true;
    }
    struct Listing {
        std::vector<zal_ifaddrs *> recs;
        zal_ifaddrs *head = nullptr;
        int count = -1;
        ~Listing() { zal_freeifaddrs(head); }
        std::vector<zal_ifaddrs *> Named(const std::string &name) const
        {
            std::vector<zal_ifaddrs *> v;
            for (auto *r : recs)
                if (name == r->zal_ifa_name) v.push_back(r);
            return v;
        }
    };
    void List(Listing *l, int inet_only)
    {
        ASSERT_EQ(zal_getifaddrs(&l->head, inet_only, &l->count), 0);
        for (zal_ifaddrs *r = l->head; r; r = r->zal_ifa_next) l->recs.push_back(r);
        ASSERT_EQ(int(l->recs.size()), l->count);
    }
};

TEST_F(ZalIfaddrsTest, EveryAddressOfAPortInterfaceIsARecord)
{
    opts_.ports = 2;
    StartSim();
    ASSERT_EQ(kpttest::Ip({"addr", "add", "10.9.1.1/24", "brd", "+", "dev", "quor0"}), "");
    ASSERT_EQ(kpttest::Ip({"addr", "add", "10.9.2.1/16", "brd", "+", "dev", "quor0"}), "");
    ASSERT_EQ(kpttest::Ip({"-6", "addr", "add", "fd00:9::1/64", "dev", "quor0", "nodad"}), "");

    Listing all;
    List(&all, 0);
    // quor0: its link-level entry and the three addresses, at least.
    EXPECT_GE(all.Named("quor0").size(), 4u);
    EXPECT_GE(all.Named("quor1").size(), 1u);
    for (auto *r : all.recs) {
        SCOPED_TRACE(r->zal_ifa_name);
        const int unit = std::string(r->zal_ifa_name) == "quor0" ? 0 : 1;
        ASSERT_TRUE(std::string(r->zal_ifa_name) == "quor0" ||
                    std::string(r->zal_ifa_name) == "quor1");
        EXPECT_EQ(r->zal_ifa_boardnum, uint32_t(unit));
        EXPECT_EQ(r->zal_ifa_nicid, SimNicId(unit));
        const uint8_t mac[6] = {0x02, 0x51, 0x53, 0x02, 0x00, uint8_t(unit)};
        EXPECT_EQ(memcmp(r->zal_ifa_macaddr, mac, 6), 0);
        EXPECT_EQ(r->zal_ifa_max_endpoints, 48u);
        EXPECT_EQ(r->zal_ifa_link_state, 1u);
        EXPECT_EQ(r->zal_ifa_link_speed, 10000000000ull);
        EXPECT_EQ(r->zal_ifa_flags, ZAL_IFA_BROADCAST | ZAL_IFA_MULTICAST);
    }
    // One allocation: the names live in 16-byte areas right after the records.
    const char *areas = reinterpret_cast<const char *>(all.head + all.count);
    for (int i = 0; i < all.count; ++i)
        EXPECT_EQ(all.recs[size_t(i)]->zal_ifa_name, areas + i * ZAL_IFNAME_AREA);

    Listing inet;
    List(&inet, 1);
    ASSERT_EQ(inet.count, 2) << "only quor0's two IPv4 addresses";
    std::map<uint32_t, zal_ifaddrs *> by_ip;
    for (auto *r : inet.recs) {
        EXPECT_STREQ(r->zal_ifa_name, "quor0");
        by_ip[ntohl(r->zal_ifa_ipaddr)] = r;
    }
    ASSERT_EQ(by_ip.count(0x0a090101u), 1u);
    ASSERT_EQ(by_ip.count(0x0a090201u), 1u);
    EXPECT_EQ(ntohl(by_ip[0x0a090101u]->zal_ifa_netmask), 0xffffff00u);
    EXPECT_EQ(ntohl(by_ip[0x0a090101u]->zal_ifa_bcastaddr), 0x0a0901ffu);
    EXPECT_EQ(ntohl(by_ip[0x0a090201u]->zal_ifa_netmask), 0xffff0000u);
    EXPECT_EQ(ntohl(by_ip[0x0a090201u]->zal_ifa_bcastaddr), 0x0a09ffffu);
}

TEST_F(ZalIfaddrsTest, OnlyCaptureBoardsAreListed)
{
    opts_.ports = 3;
    StartSim();
    Ctl("board-type 1 4");
    Ctl("board-type 2 5");
    Listing l;
    List(&l, 0);
    EXPECT_FALSE(l.Named("quor0").empty());
    EXPECT_TRUE(l.Named("quor1").empty()) << "a board of type 4 is not a capture board";
    EXPECT_FALSE(l.Named("quor2").empty());

    zal_nic_info *ni = nullptr;
    int n = 0;
    ASSERT_EQ(zal_get_nicinfo(&ni, &n), 0);
    EXPECT_EQ(zal_match_macaddr("quor1", ni, n), -1);
    EXPECT_EQ(zal_match_macaddr("quor2", ni, n), 2);
    zal_free_nicinfo(ni);
}

TEST_F(ZalIfaddrsTest, InterfaceNamesMatchExactly)
{
    // qa01 comes first in the host's list and starts with "qa0".
    const uint8_t other[6] = {0x02, 0xaa, 0, 0, 0, 0x01};
    kpttest::TapIface qa01("qa01", other);
    ASSERT_EQ(qa01.error(), 0);
    opts_.netdev_prefix = "qa";
    opts_.ports = 2;
    StartSim();

    uint8_t mac[6];
    ASSERT_EQ(zal_get_macaddr("qa0", mac), 0);
    const uint8_t want[6] = {0x02, 0x51, 0x53, 0x02, 0x00, 0x00};
    EXPECT_EQ(memcmp(mac, want, 6), 0);
    ASSERT_EQ(zal_get_macaddr("qa01", mac), 0);
    EXPECT_EQ(memcmp(mac, other, 6), 0);
    EXPECT_EQ(zal_get_macaddr("qa", mac), ENODEV);
    EXPECT_EQ(zal_get_macaddr("qa0x", mac), ENODEV);

    zal_nic_info *ni = nullptr;
    int n = 0;
    ASSERT_EQ(zal_get_nicinfo(&ni, &n), 0);
    EXPECT_EQ(zal_match_macaddr("qa0", ni, n), 0);
    EXPECT_EQ(zal_match_macaddr("qa1", ni, n), 1);
    EXPECT_EQ(zal_match_macaddr("qa01", ni, n), -1);
    EXPECT_EQ(zal_match_macaddr("lo", ni, n), -1);
    zal_free_nicinfo(ni);

    Listing l;
    List(&l, 0);
    EXPECT_TRUE(l.Named("qa01").empty());
    EXPECT_FALSE(l.Named("qa0").empty());
}

}  // namespace
