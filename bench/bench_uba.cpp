// Board access library against an in-process simulator: a full bus scan
// through each configuration method, and adapter memory copy rates through
// the vendor window (one driver request per configuration access) and
// through the mapped BAR0.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "quorsim.h"
#include "uba.h"

namespace {

const char kBridge[] = "127.0.98.1"; // loopback address of the simulated JTAG bridge

struct Env {
    std::string dir;
    std::unique_ptr<quorsim::Simulator> sim;
    uba_nic *nic = nullptr;
    Env()
    {
        char tmpl[] = "/tmp/kpt-bench-uba-XXXXXX";
        dir = mkdtemp(tmpl);
        setenv("ZAL_DEV_DIR", dir.c_str(), 1);
        setenv("UBA_DEVMEM", (dir + "/quorsim.mem").c_str(), 1);
        setenv("UBA_PCI_SYSFS", (dir + "/pci").c_str(), 1);
        setenv("UBA_PCI", "zalcfg", 1);
        quorsim::Options o;
        o.dir = dir;
        o.ports = 2;
        o.bridge = kBridge;
        sim = std::make_unique<quorsim::Simulator>(o);
        std::string err;
        if (sim->start(&err) != 0) abort();
        nic = uba_open(0, UBA_KV, 0);
    }
    ~Env()
    {
        sim->stop();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
};

Env &env()
{
    static Env e;
    return e;
}

void Scan(benchmark::State &state, int method)
{
    env();
    uba_pci_method(unsigned(method));
    size_t found = 0;
    for (auto _ : state) {
        uba_pci_rescan();
        pci_scan_bus(pci_alloc());
        found = 0;
        for (pci_dev_t d = uba_pci.pci->devices; d; d = d->next) ++found;
    }
    state.counters["devices"] = double(found);
    uba_pci_method(UBA_PCI_ZALCFG);
}
void BM_ScanMm(benchmark::State &state) { Scan(state, UBA_PCI_MM); }
void BM_ScanZalcfg(benchmark::State &state) { Scan(state, UBA_PCI_ZALCFG); }
BENCHMARK(BM_ScanMm)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_ScanZalcfg)->Unit(benchmark::kMillisecond);

void Copy(benchmark::State &state, bool window, bool write)
{
    Env &e = env();
    nram_t n;
    if (window)
        nram_open_cfg_pio(&n, e.nic);
    else
        nram_open_pio(&n, e.nic->base);
    const size_t len = size_t(state.range(0));
    std::vector<uint8_t> buf(len, 0x5a);
    for (auto _ : state) {
        if (write)
            nram_memcpy_write(&n, 0x20000, buf.data(), len);
        else
            nram_memcpy_read(&n, buf.data(), 0x20000, len);
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(len));
}
void BM_WindowRead(benchmark::State &s) { Copy(s, true, false); }
void BM_WindowWrite(benchmark::State &s) { Copy(s, true, true); }
void BM_Bar0Read(benchmark::State &s) { Copy(s, false, false); }
void BM_Bar0Write(benchmark::State &s) { Copy(s, false, true); }
// 4: one word per mode/address/data round; 256: byte mode, one address per byte.
BENCHMARK(BM_WindowRead)->Arg(4)->Arg(256);
BENCHMARK(BM_WindowWrite)->Arg(4)->Arg(256);
BENCHMARK(BM_Bar0Read)->Arg(4096)->Arg(1 << 20);
BENCHMARK(BM_Bar0Write)->Arg(4096)->Arg(1 << 20);

// Through the JTAG bridge on loopback: a 4 KiB read is four exchanges of four
// 256-byte packets; a scan read is two (the chain, then scan done).
nram_t g_bridge; // large: the bridge state holds its reply slots
void BM_BridgeRead4K(benchmark::State &state)
{
    env();
    nram_open_2z(&g_bridge, kBridge, 0, 0);
    std::vector<uint8_t> buf(4096);
    for (auto _ : state) {
        nram_memcpy_read(&g_bridge, buf.data(), 0x20000, buf.size());
        benchmark::ClobberMemory();
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * 4096);
    nram_close(&g_bridge);
}
void BM_BridgeScanRead(benchmark::State &state)
{
    env();
    nram_open_2z(&g_bridge, kBridge, 0, 0);
    uint8_t img[77];
    for (auto _ : state) {
        nram_scan_read(&g_bridge, img, UBA_SCAN_L2Z_RDWR_BITS, 0);
        benchmark::ClobberMemory();
    }
    nram_close(&g_bridge);
}
BENCHMARK(BM_BridgeRead4K)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_BridgeScanRead)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
