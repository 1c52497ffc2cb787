// kpt_dump's work per frame.
//
// BM_DumpFrame/<filter>: once the ring hands a frame over, the capture
// filter, then the enhanced packet block copied into the output buffer,
// written out in large pieces (here to /dev/null, so the figure is the CPU
// cost).  64-byte frames of the generator (UDP to port 9), by filter size.
//
// BM_DumpFromRing/<frame>/<in_place>: the whole of kpt_dump's capture loop
// for a single port, from a receive ring filled in advance to a file on
// tmpfs (/dev/shm): batches of 256 from kpt_ring_recv_many, the (empty)
// filter, the block into the buffer, the batch's space given back, and the
// writing thread's write().  Process CPU time (both threads) per frame,
// ns_per_pkt.  Files of 1 GiB, written one of two ways (in_place): 0, a new
// file each time, the old one removed (kpt_dump -C); 1, one file written
// once when made and then rewritten from its start each time round (kpt_dump
// -C with -W and --prealloc).
//
// BM_DumpShareOfLimit/<in_place>: the same loop's rate at 1514 bytes beside
// the file system's limit, a plain loop of 4 MiB write()s (below).
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <string>
#include <vector>

#include "filled_ring.h"
#include "frame_text.h"
#include "pcapng_writer.h"
#include "sim_wire.h"

using namespace kptdump;

namespace {

const std::vector<IfaceDesc> kIfaces = {IfaceDesc{"quor0", {}, false, 262144, 0, ""}};

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
    w.begin(fd, true, SectionInfo{}, kIfaces);
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

constexpr uint64_t kFileLimit = 1ull << 30;

// The output on tmpfs, two ways: a new file every kFileLimit bytes (the old
// one removed, so its pages go back and are taken again), or one file of
// kFileLimit bytes written once when made and then rewritten from its start
// each time round, as kpt_dump's preallocated set of files is.
class OutFile {
public:
    explicit OutFile(bool in_place) : in_place_(in_place), path_("/dev/shm/kpt-bench-dump-" + std::to_string(getpid()))
    {
        fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd_ < 0) {
            perror(path_.c_str());
            exit(1);
        }
        if (in_place_) {
            std::vector<uint8_t> zeros(4u << 20);
            for (uint64_t off = 0; off < kFileLimit; off += zeros.size())
                if (pwrite(fd_, zeros.data(), zeros.size(), off_t(off)) != ssize_t(zeros.size())) {
                    perror(path_.c_str());
                    exit(1);
                }
        }
    }
    ~OutFile()
    {
        close(fd_);
        unlink(path_.c_str());
    }
    int fd() const { return fd_; }
    // The next file's turn (written from its start).
    void Next()
    {
        if (in_place_) {
            lseek(fd_, 0, SEEK_SET);
            return;
        }
        close(fd_);
        unlink(path_.c_str());
        fd_ = open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    }

private:
    bool in_place_;
    std::string path_;
    int fd_ = -1;
};

// One batch of the capture loop as kpt_dump runs it: up to v.size() frames
// from the ring, each through the filter into the writer, the batch's space
// given back.  The frames taken, or -1 when the ring has to be refilled.
int DumpBatch(kpt_ring_t ring, const CaptureFilter &filter, PcapngWriter &w, std::vector<kpt_recv_req> &v)
{
    int n = 0;
    if (kpt_ring_recv_many(ring, 0, v.data(), int(v.size()), &n, nullptr) != 0) return -1;
    for (int i = 0; i < n; ++i) {
        const kpt_recv_req &r = v[size_t(i)];
        const uint8_t *p = static_cast<const uint8_t *>(r.pkt_addr);
        if (filter.match(p, r.length)) w.packet(0, r.timestamp, p, r.length, r.length);
    }
    kpt_ring_return_many(ring, 0xFFFFFFFFu, nullptr);
    return n;
}

void BM_DumpFromRing(benchmark::State &state)
{
    const uint32_t frame = uint32_t(state.range(0));
    kptbench::FilledRing fr(frame);
    // The release synchronisation fails at once in the kernel, as in bench_rx.
    const zal_handle_t mh = fr.rx()->mhandle;
    fr.rx()->mhandle = -1;
    CaptureFilter filter;
    std::string err;
    filter.compile("", 262144, &err);

    PcapngWriter w;
    OutFile out(state.range(1) != 0);
    w.begin(out.fd(), false, SectionInfo{}, kIfaces);
    std::vector<kpt_recv_req> v(256);
    uint64_t packets = 0;
    for (auto _ : state) {
        int n = DumpBatch(fr.ring(), filter, w, v);
        if (__builtin_expect(n < 0, 0)) {
            state.PauseTiming();
            fr.Publish();
            if (w.file_bytes() + (4u << 20) >= kFileLimit) {
                w.close();
                out.Next();
                w.begin(out.fd(), false, SectionInfo{}, kIfaces);
            }
            state.ResumeTiming();
            n = std::max(DumpBatch(fr.ring(), filter, w, v), 0);
        }
        packets += uint64_t(n);
    }
    // The writes still queued are part of the work.
    w.close();
    fr.rx()->mhandle = mh;
    if (v[0].length != frame) state.SkipWithError("wrong frame length");
    state.counters["ns_per_pkt"] =
        benchmark::Counter(double(packets), benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.SetItemsProcessed(int64_t(packets));
}
BENCHMARK(BM_DumpFromRing)
    ->ArgNames({"frame", "in_place"})
    ->ArgsProduct({{64, 1514}, {0, 1}})
    ->MeasureProcessCPUTime()
    ->MinTime(3);

// BM_DumpShareOfLimit/<in_place>: kpt_dump's 1514-byte rate as a share of
// the plain loop's, the two measured in turn, 512 MiB each, eight times:
// this machine's memory speed moves by several times from one second to
// the next, so that only rates taken side by side compare.  share is the
// median of the eight ratios; limit_GBps and dump_GBps the medians of the
// rates.  The ring's refills are not counted.
void BM_DumpShareOfLimit(benchmark::State &state)
{
    using Clock = std::chrono::steady_clock;
    constexpr uint64_t kSlice = 512ull << 20;
    kptbench::FilledRing fr(1514);
    const zal_handle_t mh = fr.rx()->mhandle;
    fr.rx()->mhandle = -1;
    OutFile out(state.range(0) != 0);
    std::vector<uint8_t> buf(4u << 20, 0x5a);
    std::vector<kpt_recv_req> v(256);
    CaptureFilter filter;
    std::string err;
    filter.compile("", 262144, &err);
    PcapngWriter w;
    std::vector<double> limit, dump, share;
    for (auto _ : state) {
        out.Next();
        auto t0 = Clock::now();
        for (uint64_t done = 0; done < kSlice; done += buf.size())
            if (write(out.fd(), buf.data(), buf.size()) != ssize_t(buf.size())) {
                state.SkipWithError("write failed");
                return;
            }
        const double lim = double(kSlice) / std::chrono::duration<double>(Clock::now() - t0).count();
        out.Next();
        Clock::duration refills{};
        t0 = Clock::now();
        w.begin(out.fd(), false, SectionInfo{}, kIfaces);
        while (w.file_bytes() < kSlice)
            if (DumpBatch(fr.ring(), filter, w, v) < 0) {
                auto r0 = Clock::now();
                fr.Publish();
                refills += Clock::now() - r0;
            }
        w.close();
        const double d =
            double(w.file_bytes()) / std::chrono::duration<double>(Clock::now() - t0 - refills).count();
        limit.push_back(lim / 1e9);
        dump.push_back(d / 1e9);
        share.push_back(d / lim);
    }
    fr.rx()->mhandle = mh;
    auto median = [](std::vector<double> x) {
        std::sort(x.begin(), x.end());
        return x.empty() ? 0.0 : x[x.size() / 2];
    };
    state.counters["share"] = median(share);
    state.counters["limit_GBps"] = median(limit);
    state.counters["dump_GBps"] = median(dump);
}
BENCHMARK(BM_DumpShareOfLimit)->ArgName("in_place")->Arg(0)->Arg(1)->Iterations(8)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
