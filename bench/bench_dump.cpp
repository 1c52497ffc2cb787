// kpt_dump's work per frame once the ring hands it over: the capture filter,
// then the enhanced packet block copied into the output buffer, written out
// in large pieces (here to /dev/null, so the figure is the CPU cost).
// 64-byte frames of the generator (UDP to port 9), by filter size.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "frame_text.h"
#include "pcapng_writer.h"
#include "sim_wire.h"

using namespace kptdump;

namespace {

// Every frame passes each filter, so each runs to its accepting end.
const char *const kFilters[] = {
    "",
    "len >= 60 and len <= 1514",
    "ip and udp dst port 9 and src net 10.0.0.0/8 and dst net 10.0.0.0/8 and len <= 1514 "
    "and ip[8] > 1 and ip[1] = 0 and ip[10:2] != 1 and udp[4:2] > 8 and ip[2:2] > 20",
    "udp and dst port 9",
};

void BM_DumpFrame(benchmark::State &state)
{
    CaptureFilter filter;
    std::string err;
    if (!filter.compile(kFilters[state.range(0)], 262144, &err)) {
        state.SkipWithError(err.c_str());
        return;
    }
    std::unique_ptr<quorsim::FrameSource> gen =
        quorsim::make_source("gen:len=60,flows=64", quorsim::SourceDefaults{}, &err);
    gen->start(0);
    constexpr size_t kFrames = 1024;
    std::vector<std::vector<uint8_t>> frames;
    quorsim::Frame f[64];
    int64_t due;
    while (frames.size() < kFrames) {
        size_t n = gen->pull(INT64_MAX / 2, f, 64, &due);
        for (size_t i = 0; i < n; ++i) frames.emplace_back(f[i].seg[0], f[i].seg[0] + f[i].len);
    }
    PcapngWriter w;
    int fd = open("/dev/null", O_WRONLY | O_CLOEXEC);
    w.begin(fd, true, SectionInfo{}, {IfaceDesc{"quor0", {}, false, 262144, 0}});
    uint64_t ts = 1'700'000'000'000'000'000ull, taken = 0;
    size_t i = 0;
    for (auto _ : state) {
        const auto &fr = frames[i];
        i = (i + 1) % kFrames;
        if (filter.match(fr.data(), uint32_t(fr.size()))) {
            w.packet(0, ts, fr.data(), uint32_t(fr.size()), uint32_t(fr.size()));
            ++taken;
        }
        ts += 67;
    }
    w.close();
    if (taken != uint64_t(state.iterations())) state.SkipWithError("the filter refused frames");
    state.SetItemsProcessed(int64_t(state.iterations()));
    state.SetLabel(std::to_string(filter.instructions()) + " instructions");
}
BENCHMARK(BM_DumpFrame)->DenseRange(0, 3);

}  // namespace

BENCHMARK_MAIN();
