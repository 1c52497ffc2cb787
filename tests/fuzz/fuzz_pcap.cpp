// fuzz_pcap.cpp - arbitrary capture files through the simulator's replay
// source (classic pcap and pcapng).
//
// The input is written to an in-memory file and opened as a wire would open
// it; a file that is accepted is replayed whole at full speed.  Besides
// memory errors (every length in the file is untrusted), the target checks
// what replay promises: every frame has a length a wire carries and the FCS
// of its bytes, and no more frames come out than the file described.
#include <stddef.h>
#include <stdint.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>

#include "sim_wire.h"
#include "sim_wire_impl.h"

using namespace quorsim;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static int fd = memfd_create("fuzz_pcap", 0);
    if (fd < 0 || size > (1u << 20)) return 0;
    if (ftruncate(fd, 0) != 0 || pwrite(fd, data, size, 0) != ssize_t(size)) return 0;
    std::string err;
    auto src = make_pcap_source("/proc/self/fd/" + std::to_string(fd) + ",speed=max", &err);
    if (!src) {
        if (err.empty() || err.find('\n') != std::string::npos) __builtin_trap();
        return 0;
    }
    src->start(0);
    Frame f[64];
    int64_t next = 0;
    uint64_t total = 0;
    for (size_t n; (n = src->pull(0, f, 64, &next)) > 0;) {
        for (size_t i = 0; i < n; ++i) {
            if (f[i].len < kWireMinFrame || f[i].len > kWireMaxFrame ||
                f[i].seg_len[0] + f[i].seg_len[1] != f[i].len)
                __builtin_trap();
            uint32_t crc = crc32_eth(f[i].seg[0], f[i].seg_len[0]);
            if (f[i].seg_len[1]) crc = crc32_eth(f[i].seg[1], f[i].seg_len[1], crc);
            if (crc != f[i].fcs) __builtin_trap();
        }
        total += n;
        // A record needs at least 16 bytes of file: more frames is a fault.
        if (total > size / 16 + 1) __builtin_trap();
        if (next < 0) break;
    }
    return 0;
}
