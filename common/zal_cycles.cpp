/*
 * zal_cycles.cpp - time-stamp counter timing.
 *
 * The counter rate comes from $ZAL_CYCLES_PER_SECOND (or, when that is unset
 * or empty, $VQ_CYCLES_PER_SECOND), else from a calibration against the wall
 * clock: four samples over 200 ms sleeps, the third smallest wins.  The rate
 * is process-wide and set once; two threads asking at the very first time
 * may both calibrate, and each stores a complete value.
 */
#include "zal_internal.h"

#include <errno.h>
#include <stdlib.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#if defined(__x86_64__) || defined(__i386__)
#include <x86intrin.h>
#endif

namespace {

constexpr int kSamples = 4;
constexpr useconds_t kSampleSleepUs = 200000;
/* Attempts at one sample whose wall-clock interval came out empty. */
constexpr int kSampleAttempts = 8;

std::atomic<zal_cycles_t> g_cycles_per_second{0};
std::atomic<double> g_seconds_per_cycle{0.0};
std::atomic<zal__cycles_sampler_fn> g_sampler{nullptr};

void clock_sample(zal_cycles_t *counts, int64_t *usecs)
{
    struct timeval tv1, tv2;
    zal_cycles_t t1 = zal_get_cycles();
    gettimeofday(&tv1, nullptr);
    usleep(kSampleSleepUs);
    zal_cycles_t t2 = zal_get_cycles();
    gettimeofday(&tv2, nullptr);
    *counts = t2 - t1;
    *usecs = (int64_t(tv2.tv_sec) - int64_t(tv1.tv_sec)) * 1000000 +
             (int64_t(tv2.tv_usec) - int64_t(tv1.tv_usec));
}

/*
 * One rate sample.  An interval of zero microseconds (or a wall clock that
 * stepped back) gives no rate: the sample is taken again.  0 when no
 * attempt gave a usable interval.
 */
zal_cycles_t take_sample(zal__cycles_sampler_fn sampler)
{
    for (int i = 0; i < kSampleAttempts; ++i) {
        zal_cycles_t counts = 0;
        int64_t usecs = 0;
        sampler(&counts, &usecs);
        if (usecs <= 0) continue;
        /* Multiplying first keeps the precision; a count too large for
         * that (a counter that jumped) is divided first instead of wrapping. */
        if (counts <= UINT64_MAX / 1000000u) return counts * 1000000u / uint64_t(usecs);
        return counts / uint64_t(usecs) * 1000000u;
    }
    return 0;
}

zal_cycles_t calibrate()
{
    zal__cycles_sampler_fn sampler = g_sampler.load(std::memory_order_acquire);
    if (!sampler) sampler = clock_sample;
    zal_cycles_t samples[kSamples];
    for (int i = 0; i < kSamples; ++i) samples[i] = take_sample(sampler);
    return zal__cycles_select(samples);
}

/* The rate the environment gives, 0 when it gives none. */
zal_cycles_t env_rate()
{
    const char *v = getenv("ZAL_CYCLES_PER_SECOND");
    if (!v || !*v) v = getenv("VQ_CYCLES_PER_SECOND");
    if (!v) return 0;
    errno = 0;
    char *end;
    long r = strtol(v, &end, 10);
    /* Nothing numeric, out of range or not positive: calibrate instead. */
    if (errno == ERANGE || r <= 0) return 0;
    return zal_cycles_t(r);
}

} // namespace

extern "C" {

zal_cycles_t zal_get_cycles(void)
{
#if defined(__x86_64__) || defined(__i386__)
    return __rdtsc();
#else
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return zal_cycles_t(ts.tv_sec) * 1000000000u + zal_cycles_t(ts.tv_nsec);
#endif
}

int cmp_uint64(const void *a, const void *b)
{
    uint64_t x = *static_cast<const uint64_t *>(a);
    uint64_t y = *static_cast<const uint64_t *>(b);
    if (x == y) return 0;
    return x > y ? 1 : -1;
}

zal_cycles_t zal__cycles_select(zal_cycles_t samples[4])
{
    qsort(samples, kSamples, sizeof samples[0], cmp_uint64);
    return samples[2];
}

void zal_cycles_counter_init(void)
{
    zal_cycles_t rate = env_rate();
    if (rate == 0) rate = calibrate();
    if (rate == 0) return; /* no usable clock: asked again next time */
    g_seconds_per_cycle.store(1.0 / double(rate), std::memory_order_relaxed);
    g_cycles_per_second.store(rate, std::memory_order_release);
}

zal_cycles_t zal_cycles_per_second(void)
{
    zal_cycles_t r = g_cycles_per_second.load(std::memory_order_acquire);
    if (r == 0) {
        zal_cycles_counter_init();
        r = g_cycles_per_second.load(std::memory_order_acquire);
    }
    return r;
}

double zal_seconds_per_cycle(void)
{
    if (g_cycles_per_second.load(std::memory_order_acquire) == 0) zal_cycles_counter_init();
    return g_seconds_per_cycle.load(std::memory_order_relaxed);
}

uint64_t zal_host_nsecs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

void zal__cycles_set_sampler(zal__cycles_sampler_fn fn)
{
    g_sampler.store(fn, std::memory_order_release);
}

void zal__cycles_reset(void)
{
    g_cycles_per_second.store(0, std::memory_order_release);
    g_seconds_per_cycle.store(0.0, std::memory_order_relaxed);
}

} // extern "C"
