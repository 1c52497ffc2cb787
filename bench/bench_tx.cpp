// Injection send rate: frames a second that one sending thread queues with
// kpt_inject_send, by frame length, against an in-process simulator whose
// adapter completes the batches (no cable: the port only counts what it
// sends).  Rates are per core: frames over the sending thread's CPU time;
// "wall_fps" is the same over elapsed time, "waits" the sends that found
// no room at first.
#include <benchmark/benchmark.h>
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "kpt.h"
#include "kpt_tx.h"
#include "quorsim.h"

namespace {

// One simulator and one injection handle for the whole program.
struct Setup {
    std::string dir;
    std::unique_ptr<quorsim::Simulator> sim;
    kpt_inject_t inj = nullptr;
    std::string error;

    Setup()
    {
        char tmpl[] = "/tmp/kpt-bench-tx-XXXXXX";
        if (!mkdtemp(tmpl)) {
            error = "mkdtemp failed";
            return;
        }
        dir = tmpl;
        setenv("ZAL_DEV_DIR", dir.c_str(), 1);
        quorsim::Options o;
        o.dir = dir;
        o.ports = 1;
        sim = std::make_unique<quorsim::Simulator>(o);
        if (int rc = sim->start(&error)) {
            error = "simulator: " + error + " (" + strerror(rc) + ")";
            return;
        }
        if (int rc = kpt_init(KPT_API_VERSION)) {
            error = std::string("kpt_init: ") + strerror(rc);
            return;
        }
        if (int rc = kpt_inject_open(0, 0, &inj)) error = std::string("kpt_inject_open: ") + strerror(rc);
    }
    ~Setup()
    {
        if (inj) kpt_inject_close(inj);
        if (sim) sim->stop();
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
};

// Torn down at the end of main, not by a static destructor: at exit this
// thread's device-layer state is gone before static objects are destroyed,
// and closing the handle still talks to the driver.
std::unique_ptr<Setup> g_env;

Setup &Env()
{
    if (!g_env) g_env = std::make_unique<Setup>();
    return *g_env;
}

void BM_InjectSend(benchmark::State &state)
{
    Setup &env = Env();
    if (!env.error.empty()) {
        state.SkipWithError(env.error.c_str());
        return;
    }
    const uint32_t len = uint32_t(state.range(0));
    std::vector<uint8_t> frame(len);
    for (uint32_t i = 0; i < len; ++i) frame[i] = uint8_t(i * 31 + 7);
    memset(frame.data(), 0xff, 6);

    uint64_t frames = 0, waits = 0;
    const kpt__tx_state *st = env.inj->tx.tx_sp.tx_s;
    const uint64_t posts0 = st->tx_flush_cnt + st->tx_flush_intr_cnt;
    struct timespec t0, t1;
    clock_gettime(CLOCK_MONOTONIC, &t0);
    for (auto _ : state) {
        int rc;
        while ((rc = kpt_inject_send(env.inj, 1, 0, frame.data(), len)) == EAGAIN) ++waits;
        if (rc != 0) {
            state.SkipWithError(strerror(rc));
            break;
        }
        ++frames;
    }
    clock_gettime(CLOCK_MONOTONIC, &t1);
    double wall = double(t1.tv_sec - t0.tv_sec) + double(t1.tv_nsec - t0.tv_nsec) * 1e-9;
    state.SetItemsProcessed(int64_t(frames));
    state.SetBytesProcessed(int64_t(frames * len));
    state.counters["wall_fps"] = wall > 0 ? double(frames) / wall : 0.0;
    state.counters["waits"] = double(waits);
    // Frames per doorbell: batching at work (a batch is posted at once when
    // nothing is outstanding, so a fast adapter means small batches).
    const uint64_t posts = st->tx_flush_cnt + st->tx_flush_intr_cnt - posts0;
    state.counters["per_batch"] = posts ? double(frames) / double(posts) : 0.0;
}
BENCHMARK(BM_InjectSend)->Arg(60)->Arg(512)->Arg(1514)->MinTime(2.0);

// The send path alone: an endpoint in process memory whose completion byte
// the benchmark moves itself, every batch completed as soon as it is
// posted (no adapter thread sharing the state block).
void BM_InjectSendAlone(benchmark::State &state)
{
    constexpr uint32_t kRing = 2u << 20;
    const uint32_t len = uint32_t(state.range(0));
    std::vector<uint8_t> frame(len, 0x5a);
    auto *ring = static_cast<uint8_t *>(aligned_alloc(4096, kRing));
    auto *desc = static_cast<uint64_t *>(aligned_alloc(4096, 4096));
    auto *blk = static_cast<kpt__tx_state *>(aligned_alloc(4096, 4096));
    auto *h = static_cast<kpt_inject_handle *>(calloc(1, sizeof(kpt_inject_handle)));
    memset(blk, 0, 4096);
    uint32_t doorbell = 0;
    uint8_t compl_byte = 0;
    h->type = KPT_H_INJ;
    h->mhandle = h->tx.mhandle = -1;
    h->tx.tx_map.map_tx_data = reinterpret_cast<uintptr_t>(ring);
    h->tx.tx_map.map_tx_data_size = h->tx.txdata_size = kRing;
    h->tx.tx_sp = {QUOR_KPT_TX_SLOTS, &doorbell, &compl_byte, desc, blk};
    blk->dq_avail = kRing;
    kpt__spin_init(blk);

    uint64_t frames = 0;
    for (auto _ : state) {
        if (kpt_inject_send(h, 0, 0, frame.data(), len) != 0) {
            state.SkipWithError("send refused");
            break;
        }
        compl_byte = uint8_t(blk->dq_head_idx);
        ++frames;
    }
    state.SetItemsProcessed(int64_t(frames));
    state.SetBytesProcessed(int64_t(frames * len));
    state.counters["per_batch"] = blk->tx_flush_cnt ? double(frames) / double(blk->tx_flush_cnt) : 0.0;
    free(h);
    free(blk);
    free(desc);
    free(ring);
}
BENCHMARK(BM_InjectSendAlone)->Arg(60)->Arg(512)->Arg(1514);

}  // namespace

int main(int argc, char **argv)
{
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    g_env.reset();
    return 0;
}
