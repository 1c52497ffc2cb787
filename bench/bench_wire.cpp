// Frame sources of the simulated wire: how many frames a second one core
// generates or replays (pacing out of the way), against what a 10 Gb/s line
// carries; and the Ethernet CRC in bytes a second.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "sim_wire.h"
#include "sim_wire_impl.h"

using namespace quorsim;

namespace {

constexpr int64_t kFarAway = INT64_MAX / 2;

double LineFps(double avg_len) { return double(kWireLineBps) / ((avg_len + kWireOverhead) * 8); }

void RunSource(benchmark::State &state, FrameSource &src, double avg_len)
{
    Frame frames[256];
    int64_t due;
    uint64_t n = 0, bytes = 0;
    src.start(0);
    for (auto _ : state) {
        size_t k = src.pull(kFarAway, frames, 256, &due);
        for (size_t i = 0; i < k; ++i) bytes += frames[i].len;
        benchmark::DoNotOptimize(frames[k ? k - 1 : 0].fcs);
        n += k;
    }
    state.SetItemsProcessed(int64_t(n));
    state.SetBytesProcessed(int64_t(bytes));
    // Frames per second over what the line carries at this length.
    state.counters["x_line"] =
        benchmark::Counter(double(n) / LineFps(avg_len), benchmark::Counter::kIsRate);
}

void BM_Generator(benchmark::State &state)
{
    uint32_t len = uint32_t(state.range(0));
    std::string err;
    auto src = make_source("gen:len=" + std::to_string(len), SourceDefaults{}, &err);
    if (!src) {
        state.SkipWithError(err.c_str());
        return;
    }
    RunSource(state, *src, len);
}
BENCHMARK(BM_Generator)->Arg(60)->Arg(512)->Arg(1514)->Arg(9018);

// Lengths and ports drawn per frame, several flows.
void BM_GeneratorMixed(benchmark::State &state)
{
    uint32_t hi = uint32_t(state.range(0));
    std::string err;
    auto src =
        make_source("gen:len=60-" + std::to_string(hi) + ",sport=1000-2000,dport=1-9:seq,flows=64",
                    SourceDefaults{}, &err);
    if (!src) {
        state.SkipWithError(err.c_str());
        return;
    }
    RunSource(state, *src, (60.0 + hi) / 2);
}
BENCHMARK(BM_GeneratorMixed)->Arg(1514)->Arg(9018);

// Capture replay computes each frame's FCS as it goes.
void BM_PcapReplay(benchmark::State &state)
{
    uint32_t len = uint32_t(state.range(0));
    char path[] = "/tmp/bench_wire_XXXXXX";
    int fd = mkstemp(path);
    if (fd < 0) {
        state.SkipWithError("mkstemp");
        return;
    }
    std::vector<uint8_t> file(24 + 256 * (16 + len));
    const uint32_t hdr[6] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 1};
    memcpy(file.data(), hdr, 24);
    std::mt19937 g(1);
    for (size_t r = 0; r < 256; ++r) {
        uint8_t *p = file.data() + 24 + r * (16 + len);
        const uint32_t rec[4] = {1, uint32_t(r), len, len};
        memcpy(p, rec, 16);
        for (uint32_t i = 0; i < len; ++i) p[16 + i] = uint8_t(g());
    }
    bool ok = write(fd, file.data(), file.size()) == ssize_t(file.size());
    close(fd);
    std::string err;
    auto src =
        ok ? make_source(std::string("pcap:") + path + ",speed=max,loop=0", SourceDefaults{}, &err)
           : nullptr;
    unlink(path);
    if (!src) {
        state.SkipWithError(err.c_str());
        return;
    }
    RunSource(state, *src, len);
}
BENCHMARK(BM_PcapReplay)->Arg(60)->Arg(1514)->Arg(9018);

void CrcBench(benchmark::State &state, uint32_t (*fn)(uint32_t, const uint8_t *, size_t))
{
    size_t len = size_t(state.range(0));
    std::vector<uint8_t> buf(len);
    std::mt19937 g(2);
    for (auto &b : buf) b = uint8_t(g());
    uint32_t crc = 0;
    for (auto _ : state) {
        crc = fn(crc, buf.data(), len);
        benchmark::DoNotOptimize(crc);
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(len));
}

void BM_Crc32Eth(benchmark::State &state)
{
    CrcBench(state, [](uint32_t c, const uint8_t *p, size_t n) { return crc32_eth(p, n, c); });
}
BENCHMARK(BM_Crc32Eth)->Arg(48)->Arg(60)->Arg(512)->Arg(1514)->Arg(9018)->Arg(1 << 20);

void BM_Crc32Table(benchmark::State &state) { CrcBench(state, crc32_raw_table); }
BENCHMARK(BM_Crc32Table)->Arg(60)->Arg(1514)->Arg(9018);

void BM_Crc32Fold(benchmark::State &state)
{
    if (!clmul_available()) {
        state.SkipWithError("no carry-less multiply on this CPU");
        return;
    }
    CrcBench(state, crc32_raw_fold);
}
BENCHMARK(BM_Crc32Fold)->Arg(64)->Arg(128)->Arg(1514)->Arg(9018);

void BM_Crc32Combine(benchmark::State &state)
{
    uint32_t c = 0x12345678;
    size_t n = 60;
    for (auto _ : state) {
        c = crc32_eth_combine(c, 0x9abcdef0, n);
        n = n == 9018 ? 60 : n + 1;
        benchmark::DoNotOptimize(c);
    }
}
BENCHMARK(BM_Crc32Combine);

}  // namespace

BENCHMARK_MAIN();
