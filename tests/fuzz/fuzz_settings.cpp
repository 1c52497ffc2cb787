// fuzz_settings.cpp - the simulator's settings text: wire specs ("gen:...",
// "pcap:FILE,..."), switch settings, board specs, and quor_simd's command
// line.
//
// The first input byte picks the parser, the rest is the text (for the
// command line: words separated by NUL or blank).  Capture files are looked
// up in a scratch directory that holds one classic and one pcapng file; a
// name with a '/' is not tried, so no other file is ever opened.
//
// Checks, besides memory errors: a refusal gives a one-line reason; a wire
// source that is accepted hands out frames a wire carries, with the FCS of
// their bytes (the first 256 frames of its first simulated second); switch
// settings written back as text parse to the same settings.
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "quorsim.h"
#include "sim_board.h"
#include "sim_switch.h"
#include "sim_wire.h"
#include "sim_wire_impl.h"

using namespace quorsim;

namespace {

void one_line(const std::string &why)
{
    if (why.empty() || why.find('\n') != std::string::npos) __builtin_trap();
}

void check_frames(FrameSource &src)
{
    const int64_t t0 = 1'000'000'000;
    src.start(t0);
    Frame f[64];
    int64_t next = 0;
    size_t total = 0;
    for (int64_t now = t0; total < 256;) {
        const size_t n = src.pull(now, f, 64, &next);
        for (size_t i = 0; i < n; ++i) {
            uint32_t len = f[i].seg_len[0] + f[i].seg_len[1] + f[i].seg_len[2];
            if (f[i].len < kWireMinFrame || f[i].len > kWireMaxFrame || len != f[i].len) __builtin_trap();
            uint32_t crc = 0;
            for (int s = 0; s < 3; ++s)
                if (f[i].seg_len[s]) crc = crc32_eth(f[i].seg[s], f[i].seg_len[s], crc);
            if (crc != f[i].fcs) __builtin_trap();
        }
        total += n;
        if (next < 0 || next > t0 + 1'000'000'000) break;
        if (n == 0) now = std::max(now, next);
    }
    (void)src.describe();
}

void wire(const std::string &spec)
{
    if (spec.find('/') != std::string::npos) return;
    std::string err;
    auto src = make_source(spec, SourceDefaults{}, &err);
    if (!src) {
        one_line(err);
        return;
    }
    check_frames(*src);
}

void switch_settings(const std::string &text)
{
    SwitchSettings s;
    std::string e = parse_switch_settings(text, &s);
    if (!e.empty()) {
        one_line(e);
        return;
    }
    const std::string back = switch_settings_text(s, 0);
    SwitchSettings t;
    if (!parse_switch_settings(back, &t).empty() || switch_settings_text(t, 0) != back) __builtin_trap();
}

void board(const std::string &text)
{
    std::vector<BoardSpec> specs;
    std::string err;
    if (!parse_board_spec(text, 4, &specs, &err)) one_line(err);
    if (specs.size() > 4) __builtin_trap();
}

void command_line(const std::string &text)
{
    std::vector<std::string> words{"quor_simd"};
    std::string w;
    for (char ch : text) {
        if (ch == '\0' || ch == ' ') {
            words.push_back(w);
            w.clear();
        } else {
            w += ch;
        }
    }
    words.push_back(w);
    if (words.size() > 64) return;
    std::vector<char *> argv;
    for (auto &s : words) argv.push_back(s.data());
    argv.push_back(nullptr);
    Options o;
    std::string err;
    optind = 0; // a fresh getopt scan
    const int rc = parse_args(int(words.size()), argv.data(), &o, &err);
    if (rc == 2) one_line(err);
    if (rc != 0 && rc != 1 && rc != 2) __builtin_trap();
}

// A capture file of each kind, a few frames long.
void write_captures()
{
    std::vector<uint8_t> f(64, 0x5a);
    FILE *a = fopen("a.pcap", "wb");
    const uint32_t gh[6] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 1};
    fwrite(gh, 4, 6, a);
    for (uint32_t i = 0; i < 3; ++i) {
        const uint32_t rh[4] = {i, 1000 * i, 64, 64};
        fwrite(rh, 4, 4, a);
        fwrite(f.data(), 1, f.size(), a);
    }
    fclose(a);
    FILE *b = fopen("b.pcapng", "wb");
    const uint32_t shb[7] = {0x0a0d0d0a, 28, 0x1a2b3c4d, 1, 0xffffffff, 0xffffffff, 28};
    fwrite(shb, 4, 7, b);
    const uint32_t idb[5] = {1, 20, 1, 0, 20};
    fwrite(idb, 4, 5, b);
    for (uint32_t i = 0; i < 3; ++i) {
        const uint32_t epb[7] = {6, 32 + 64 + 4, 0, 0, i * 1000, 64, 64};
        fwrite(epb, 4, 7, b);
        fwrite(f.data(), 1, f.size(), b);
        const uint32_t len = 32 + 64 + 4;
        fwrite(&len, 4, 1, b);
    }
    fclose(b);
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char tmpl[] = "/tmp/fuzz_settings.XXXXXX";
    if (!mkdtemp(tmpl) || chdir(tmpl) != 0) abort();
    write_captures();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 4096) return 0;
    const std::string text(reinterpret_cast<const char *>(data) + 1, size - 1);
    switch (data[0] % 5) {
    case 0: wire("gen:" + text); break;
    case 1: wire("pcap:" + text); break;
    case 2: switch_settings(text); break;
    case 3: board(text); break;
    case 4: command_line(text); break;
    }
    return 0;
}
