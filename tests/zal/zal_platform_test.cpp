// The host platform layer on Linux: thread ids and interface MAC addresses.
#include <dirent.h>
#include <errno.h>
#include <net/if.h>
#include <stdio.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "test_support.h"
#include "zal_platform.h"

namespace {

TEST(ZalPlatform, ThreadIdIsTheKernelThreadId)
{
    EXPECT_EQ(zal_plat_thread_id(), getpid()) << "the main thread";
    int other = 0, other_sys = 0;
    std::thread([&] {
        other = zal_plat_thread_id();
        other_sys = int(syscall(SYS_gettid));
    }).join();
    EXPECT_EQ(other, other_sys);
    EXPECT_NE(other, getpid());
}

TEST(ZalPlatform, MacAddressOfAnInterfaceByExactName)
{
    uint8_t mac[6] = {1, 2, 3, 4, 5, 6};
    EXPECT_EQ(zal_plat_get_macaddr("no-such-if0", mac), ENODEV);
    ASSERT_EQ(zal_plat_get_macaddr("lo", mac), 0);
    EXPECT_EQ(std::vector<uint8_t>(mac, mac + 6), std::vector<uint8_t>(6, 0));

    // Compare with what the kernel lists for an interface with a real address.
    DIR *d = opendir("/sys/class/net");
    ASSERT_NE(d, nullptr);
    std::string name, want;
    while (struct dirent *e = readdir(d)) {
        std::string a = kpttest::ReadFile(std::string("/sys/class/net/") + e->d_name + "/address");
        if (e->d_name[0] != '.' && a.size() >= 17 && a.compare(0, 17, "00:00:00:00:00:00")) {
            name = e->d_name;
            want = a.substr(0, 17);
            break;
        }
    }
    closedir(d);
    if (name.empty()) GTEST_SKIP() << "no interface with a MAC address";
    ASSERT_EQ(zal_plat_get_macaddr(name.c_str(), mac), 0);
    char got[18];
    snprintf(got, sizeof got, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    EXPECT_EQ(got, want) << name;
    // Neither a prefix nor an extension of the name matches it.
    for (const std::string &n : {name.substr(0, name.size() - 1), name + "7"}) {
        if (if_nametoindex(n.c_str())) continue;
        EXPECT_EQ(zal_plat_get_macaddr(n.c_str(), mac), ENODEV) << n;
    }
}

} // namespace
