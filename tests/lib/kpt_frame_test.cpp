// Library frame: kpt_init and the version handshake with the driver,
// kpt_set_app_id, the diagnostic line prefix and the assertion routine.
// Every test case runs in its own process, so kpt_init starts unentered.
#include <errno.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "kpt_internal.h"
#include "lib_state.h"
#include "test_support.h"

namespace {

// The thread-id column of a diagnostic line.
std::string TidCol(pid_t tid = gettid())
{
    char b[32];
    snprintf(b, sizeof b, "%5u", unsigned(tid));
    return b;
}

// No capture device can be opened from an empty device directory.
class EmptyDevDir : public ::testing::Test {
protected:
    void SetUp() override { setenv("ZAL_DEV_DIR", dir_.path().c_str(), 1); }
    kpttest::TempDir dir_;
};

class KptInitSim : public kpttest::SimTest {
protected:
    // Starts the simulator and returns kpt_init's result and what it printed.
    int InitAgainstSim(uint16_t api, std::string *err)
    {
        StartSim();
        kpttest::StderrCapture cap;
        int rc = kpt_init(api);
        *err = cap.Finish();
        return rc;
    }
    std::string err_;
};

// ---- API version and repeated calls ----

TEST_F(KptInitSim, ApiWithSameMajorByteIsAccepted)
{
    EXPECT_EQ(InitAgainstSim(0x0008, &err_), 0);
    EXPECT_EQ(err_, "");
    EXPECT_EQ(kpt__p.debug_mask, 1u);
}

TEST_F(KptInitSim, ApiMinorByteIsNotCompared)
{
    EXPECT_EQ(InitAgainstSim(0x00ff, &err_), 0);
    EXPECT_EQ(kpt__user_api, 0x00ff);
}

TEST_F(EmptyDevDir, OtherApiMajorIsRefusedBeforeTheDeviceIsOpened)
{
    kpttest::StderrCapture cap;
    EXPECT_EQ(kpt_init(0x0108), EINVAL); // not ENOENT: no device was looked for
    EXPECT_EQ(cap.Finish(),
              TidCol() + " kpt.0.0  E user API 0x0108 is incompatible with library API 0x0008\n");

    kpttest::StderrCapture again;
    EXPECT_EQ(kpt_init(0x0108), 0); // entered all the same
    EXPECT_EQ(kpt_init(0x0008), EINVAL);
    EXPECT_EQ(again.Finish(), "");
}

TEST_F(EmptyDevDir, NoDeviceFileGivesEnoentAndTheDriverIsNotAskedAgain)
{
    kpttest::StderrCapture cap;
    EXPECT_EQ(kpt_init(0x0008), ENOENT);
    EXPECT_EQ(kpt_init(0x0008), 0);
    EXPECT_EQ(kpt_init(0x0007), EINVAL);
    EXPECT_EQ(cap.Finish(), "");
}

// ---- handshake with the driver ----

TEST_F(KptInitSim, DriverMinorIsIgnored)
{
    opts_.driver_api = 0x0401;
    EXPECT_EQ(InitAgainstSim(KPT_API_VERSION, &err_), 0);
    EXPECT_EQ(err_, "");
}

struct Mismatch {
    const char *label;
    uint32_t api;
    const char *build_suffix; // appended to the library's build string
    const char *kernel;       // the driver's interface version as printed
};

void PrintTo(const Mismatch &m, std::ostream *os) { *os << m.label; }

class DriverMismatch : public KptInitSim, public ::testing::WithParamInterface<Mismatch> {};

TEST_P(DriverMismatch, FiveLineReportAndEnxio)
{
    const Mismatch m = GetParam();
    const std::string build = std::string(kpt__lib_build()) + m.build_suffix;
    opts_.driver_api = m.api;
    opts_.driver_version = "4.0.7-drv";
    opts_.driver_build = build;
    EXPECT_EQ(InitAgainstSim(KPT_API_VERSION, &err_), ENXIO);
    EXPECT_EQ(err_, std::string("kpt library and driver mismatch (lib=4.0, kernel=") + m.kernel +
                        ")\n"
                        "\t kpt lib version=3.0.21.50908\n"
                        "\t kpt lib build=" + kpt__lib_build() + "\n"
                        "\t kpt kernel version=4.0.7-drv\n"
                        "\t kpt kernel build=" + build + "\n");
}

INSTANTIATE_TEST_SUITE_P(KptInit, DriverMismatch,
                         ::testing::Values(Mismatch{"major5", 0x0500, "", "5.0"},
                                           Mismatch{"major3", 0x0300, "", "3.0"},
                                           Mismatch{"build", 0x0401, "x", "4.1"}),
                         [](const auto &i) { return std::string(i.param.label); });

// ---- application id ----

TEST(KptSetAppId, BeforeInitIsRefused)
{
    kpttest::StderrCapture cap;
    EXPECT_EQ(kpt_set_app_id(5), EINVAL);
    EXPECT_EQ(cap.Finish(), TidCol() + " kpt.0.0  E kpt: kpt_init not called before kpt_set_app_id!\n");
    EXPECT_EQ(kpt__app_id, -1);
}

TEST_F(EmptyDevDir, AppIdBecomesTheDefaultOfLaterReceiveOpens)
{
    ASSERT_EQ(kpt_init(KPT_API_VERSION), ENOENT);
    unsetenv("KPT_APP_ID");
    kpttest::StderrCapture cap;
    EXPECT_EQ(kpt_set_app_id(-1), EINVAL);
    EXPECT_EQ(cap.Finish(), TidCol() + " kpt.0.0  E kpt: kpt_set_app_id called with an invalid id (-1)\n");

    EXPECT_EQ(kpt_set_app_id(77), 0);
    kpt__params p = {};
    quor_kpt_rx_params_t drv = {};
    ASSERT_EQ(kpt__api_params(&p, &drv, nullptr, 0, nullptr), 0);
    EXPECT_EQ(drv.app_id, 77);
}

// ---- diagnostic lines ----

class LogLine : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Fully buffered on purpose: every line must reach the file at once.
        p_.debug_fp = fopen(dir_.file("log").c_str(), "w");
        ASSERT_NE(p_.debug_fp, nullptr);
    }
    void TearDown() override { fclose(p_.debug_fp); }
    std::string Log() const { return kpttest::ReadFile(dir_.file("log")); }

    kpttest::TempDir dir_;
    kpt__params p_ = {};
};

TEST_F(LogLine, PortCharacterRingColumnAndFlush)
{
    const struct {
        uint32_t port;
        int32_t ring;
        const char *middle;
    } cases[] = {
        {0, 0, " kpt.0.0  E m\n"},   {9, -1, " kpt.9.-1 E m\n"}, {10, 3, " kpt.:.3  E m\n"},
        {12, 31, " kpt.<.31 E m\n"}, {15, 0, " kpt.?.0  E m\n"}, {16, 0, " kpt.X.0  E m\n"},
        {0xffffffffu, -1, " kpt.X.-1 E m\n"},
    };
    std::string want;
    for (const auto &c : cases) {
        p_.portnum = c.port;
        p_.ring_id = c.ring;
        KPT_LOG_E(&p_, "m\n");
        want += TidCol() + c.middle;
        EXPECT_EQ(Log(), want);
    }
}

TEST_F(LogLine, ThreadIdIsTheCallingThreads)
{
    pid_t other = 0;
    std::thread t([&] {
        other = gettid();
        KPT_LOG_P(&p_, "not %s\n", "printed"); // PARAM is off
        KPT_LOG_E(&p_, "from %s\n", "worker");
    });
    t.join();
    ASSERT_NE(other, gettid());
    KPT_LOG_E(&p_, "from %s\n", "main");
    EXPECT_EQ(Log(), TidCol(other) + " kpt.0.0  E from worker\n" + TidCol() + " kpt.0.0  E from main\n");
}

// ---- assertion ----

TEST(KptFrameDeathTest, AssertionReportGoesToStandardOutputAndAborts)
{
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // Standard output goes where the death test looks, standard error away.
    EXPECT_EXIT(
        {
            fflush(stdout);
            dup2(2, 1);
            (void)!freopen("/dev/null", "w", stderr);
            kpt__assertion_failed("ring != NULL", 123, "kpt_rx.cpp");
        },
        ::testing::KilledBySignal(SIGABRT),
        "^kpt: assertion: <<ring != NULL>>  failed at line 123, file kpt_rx\\.cpp\n$");
}

} // namespace
