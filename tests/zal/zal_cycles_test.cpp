// Cycle-counter timing: the rate from the environment or from calibration.
// The rate is process-wide; each test case runs in its own process and the
// fixture resets it too.  Calibration samples come from a scripted sampler;
// timing against the real clocks is measured in bench/, not asserted here.
#include <stdlib.h>
#include <time.h>

#include <algorithm>
#include <vector>

#include <gtest/gtest.h>

#include "zal_internal.h"

namespace {

struct Sample {
    zal_cycles_t counts;
    int64_t usecs;
};
std::vector<Sample> g_script; // handed out in order, the last one repeating
size_t g_taken = 0;

void ScriptedSampler(zal_cycles_t *counts, int64_t *usecs)
{
    const Sample &s = g_script[std::min(g_taken++, g_script.size() - 1)];
    *counts = s.counts;
    *usecs = s.usecs;
}

class ZalCyclesTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        unsetenv("ZAL_CYCLES_PER_SECOND");
        unsetenv("VQ_CYCLES_PER_SECOND");
        Script({{7000000, 1000000}});
        zal__cycles_set_sampler(ScriptedSampler);
    }
    void Script(std::vector<Sample> s)
    {
        zal__cycles_reset();
        g_script = std::move(s);
        g_taken = 0;
    }
};

TEST_F(ZalCyclesTest, EnvironmentGivesTheRateWithoutCalibrating)
{
    setenv("ZAL_CYCLES_PER_SECOND", "3000000000", 1);
    EXPECT_EQ(zal_cycles_per_second(), 3000000000u);
    EXPECT_DOUBLE_EQ(zal_seconds_per_cycle(), 1.0 / 3000000000.0);
    // Read once; only a new initialisation looks again.
    setenv("ZAL_CYCLES_PER_SECOND", "1000", 1);
    EXPECT_EQ(zal_cycles_per_second(), 3000000000u);
    zal_cycles_counter_init();
    EXPECT_EQ(zal_cycles_per_second(), 1000u);

    // Set but empty, the first variable gives way to the second.
    zal__cycles_reset();
    setenv("ZAL_CYCLES_PER_SECOND", "", 1);
    setenv("VQ_CYCLES_PER_SECOND", "2500000000", 1);
    EXPECT_DOUBLE_EQ(zal_seconds_per_cycle(), 1.0 / 2500000000.0);
    EXPECT_EQ(zal_cycles_per_second(), 2500000000u);
    EXPECT_EQ(g_taken, 0u);
}

TEST_F(ZalCyclesTest, UnusableValuesLeadToCalibration)
{
    for (const char *v : {"abc", "0", "-2000", "99999999999999999999999"}) {
        Script({{7000000, 1000000}});
        setenv("ZAL_CYCLES_PER_SECOND", v, 1);
        EXPECT_EQ(zal_cycles_per_second(), 7000000u) << v;
        EXPECT_EQ(g_taken, 4u) << v;
    }
}

TEST_F(ZalCyclesTest, CalibrationSettlesOnTheThirdSmallestSample)
{
    // Rates 10, 40, 20, 30 per second, over intervals of various lengths.
    Script({{10, 1000000}, {80, 2000000}, {10, 500000}, {3, 100000}});
    EXPECT_EQ(zal_cycles_per_second(), 30u);
    EXPECT_DOUBLE_EQ(zal_seconds_per_cycle(), 1.0 / 30.0);
    EXPECT_EQ(zal_cycles_per_second(), 30u);
    EXPECT_EQ(g_taken, 4u) << "calibrated once";

    // Counts are multiplied before the division.
    Script({{2999999999, 999999}});
    EXPECT_EQ(zal_cycles_per_second(), uint64_t(2999999999) * 1000000 / 999999);
    // A count too large to multiply (a counter that jumped) is divided
    // first instead of wrapping to a small rate.
    const zal_cycles_t huge = UINT64_MAX / 1000;
    Script({{huge, 1000000}});
    EXPECT_EQ(zal_cycles_per_second(), huge / 1000000 * 1000000);
}

TEST_F(ZalCyclesTest, EmptyIntervalIsSampledAgain)
{
    // No elapsed time, then a clock that stepped back: both taken again.
    Script({{5000, 1000}, {123, 0}, {456, -20}, {6000, 1000}, {7000, 1000}, {8000, 1000}});
    EXPECT_EQ(zal_cycles_per_second(), 7000000u);
    EXPECT_EQ(g_taken, 6u);

    // A clock that never advances gives no rate, and is asked again later.
    Script({{1000, 0}});
    EXPECT_EQ(zal_cycles_per_second(), 0u);
    EXPECT_EQ(zal_seconds_per_cycle(), 0.0);
    g_script = {{3000, 1000}};
    EXPECT_EQ(zal_cycles_per_second(), 3000000u);
}

TEST(ZalCycles, CompareOrdersUnsignedValues)
{
    uint64_t v[] = {UINT64_MAX, 3, uint64_t(1) << 63, 0, 1, 3};
    qsort(v, 6, sizeof v[0], cmp_uint64);
    EXPECT_EQ(std::vector<uint64_t>(v, v + 6),
              (std::vector<uint64_t>{0, 1, 3, 3, uint64_t(1) << 63, UINT64_MAX}));
    EXPECT_EQ(cmp_uint64(&v[2], &v[3]), 0);
    EXPECT_EQ(cmp_uint64(&v[4], &v[1]), 1);
    EXPECT_EQ(cmp_uint64(&v[1], &v[4]), -1);
}

// The real clocks are only checked for being the real ones: how well a
// calibration agrees with them is measured in bench/bench_cycles.
TEST(ZalCycles, HostClockIsTheRealTimeClock)
{
    EXPECT_NEAR(double(zal_host_nsecs()) / 1e9, double(time(nullptr)), 2.0);
    zal_cycles_t a = zal_get_cycles(), b = zal_get_cycles();
    EXPECT_GE(b, a) << "the counter runs forward";
}

} // namespace
