// port_fixture.h - an initialised library against the in-process simulator.
#pragma once

#include <errno.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>

#include "iface_util.h"
#include "kpt_handle.h"
#include "kpt_internal.h"
#include "kpt_rx.h"
#include "lib_state.h"
#include "test_support.h"

namespace kpttest {

// Diagnostic output with the thread-id column ("%5u ") taken off each line;
// a line without a proper column is kept whole behind a "?".
inline std::string WithoutTid(const std::string &text)
{
    std::string out;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        std::string line = text.substr(pos, nl == std::string::npos ? std::string::npos : nl - pos + 1);
        pos = nl == std::string::npos ? text.size() : nl + 1;
        size_t i = line.find_first_not_of(' ');
        size_t d = line.find_first_not_of("0123456789", i);
        bool ok = i != std::string::npos && d != std::string::npos && d > i && d >= 5 &&
                  line[d] == ' ';
        out += ok ? line.substr(d + 1) : "?" + line;
    }
    return out;
}

class KptSimTest : public SimTest {
protected:
    void SetUp() override
    {
        alarm(60);
        for (const char *name : uparam_strings) unsetenv(name);
        if (net_) {
            std::string why;
            if (!EnterPrivateNetns(&why)) GTEST_SKIP() << why;
            opts_.netdev = true;
        }
    }
    // Starts the simulator and initialises the library.
    void Init()
    {
        StartSim();
        ASSERT_EQ(kpt_init(KPT_API_VERSION), 0);
    }
    static kpt_port *PortAt(kpt_handle_t h, int i)
    {
        kpt_port *p = STAILQ_FIRST(&h->portq);
        while (p && i-- > 0) p = STAILQ_NEXT(p, link);
        return p;
    }
    // The queries about one port (link state, time source, speed) refuse h.
    static void ExpectPortQueriesRefused(kpt_handle_t h)
    {
        kpt_link_state ls;
        kpt_timesource_state ts;
        uint64_t speed;
        EXPECT_EQ(kpt_get_link_state(h, &ls), EINVAL);
        EXPECT_EQ(kpt_get_timesource_state(h, &ts), EINVAL);
        EXPECT_EQ(kpt_get_link_speed(h, &speed), EINVAL);
    }
    // The masks of valid and of linked ports, and their counts.
    static void ExpectMasks(uint32_t valid, uint32_t linked)
    {
        uint32_t mask = 0;
        int cnt = 0;
        ASSERT_EQ(kpt_getportmask_valid(&mask, &cnt), 0);
        EXPECT_EQ(mask, valid);
        EXPECT_EQ(cnt, __builtin_popcount(valid));
        ASSERT_EQ(kpt_getportmask_linkup(&mask, &cnt), 0);
        EXPECT_EQ(mask, linked);
        EXPECT_EQ(cnt, __builtin_popcount(linked));
    }
    // "started yes|no" of a port in the simulator's status.
    std::string Started(int port)
    {
        std::string st = Ctl("status");
        std::string key = "port " + std::to_string(port) + ":";
        size_t at = st.find(key);
        if (at == std::string::npos) return "?";
        size_t s = st.find("started ", at);
        return st.substr(s + 8, st.find(',', s) - s - 8);
    }
    bool net_ = false; // private network namespace with TAP interfaces
};

class KptNetTest : public KptSimTest {
protected:
    KptNetTest() { net_ = true; }
};

}  // namespace kpttest
