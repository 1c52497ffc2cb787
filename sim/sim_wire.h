// sim_wire.h - what arrives on a simulated port's wire: traffic generators,
// capture-file replay, and the Ethernet frame check sequence.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace quorsim {

// CRC-32 of Ethernet (reflected polynomial 0xEDB88320, initial and final
// value all ones).  `crc` continues a previous result: crc32_eth(b, n2,
// crc32_eth(a, n1)) equals the CRC of a followed by b.  On the wire the
// value is sent least significant byte first.
uint32_t crc32_eth(const void *data, size_t len, uint32_t crc = 0);

// The CRC of a followed by b from the CRCs of the two parts: crc_a =
// crc32_eth(a), crc_b = crc32_eth(b) and b's length.  Costs one carry-less
// multiply, whatever the lengths.
uint32_t crc32_eth_combine(uint32_t crc_a, uint32_t crc_b, size_t len_b);

// Frame lengths a port carries (FCS excluded), and what each frame costs on
// the wire besides its bytes: FCS 4, preamble and start delimiter 8, minimum
// inter-frame gap 12.  A 10 Gb/s line thus carries 14880952 frames/s of 60
// bytes.
constexpr uint32_t kWireMinFrame = 60;
constexpr uint32_t kWireMaxFrame = 9018;
constexpr uint32_t kWireOverhead = 24;
constexpr uint64_t kWireLineBps = 10'000'000'000ull;

// One frame handed to the adapter: up to three byte ranges (the later ones
// may be empty; the third holds a switch's trailer) and its frame check
// sequence.  `len` excludes the FCS.
struct Frame {
    const uint8_t *seg[3] = {nullptr, nullptr, nullptr};
    uint32_t seg_len[3] = {0, 0, 0};
    uint32_t len = 0;
    uint32_t fcs = 0; // crc32_eth of the frame bytes
    // When the frame arrived (monotonic ns), for wires that know it; 0: it
    // arrives as it is delivered.
    int64_t arrival = 0;
    int64_t at = 0;   // wire time (CLOCK_MONOTONIC ns) of a paced source; 0: on arrival
};

// A source of frames arriving on a port, paced in real time.
class FrameSource {
public:
    virtual ~FrameSource() = default;
    // The port started delivering at now_ns (CLOCK_MONOTONIC): pacing and
    // counting begin here.  Called again after a stop/start to resume.
    virtual void start(int64_t now_ns) = 0;
    // Hands out up to max frames that are due by now_ns.  The frames stay
    // valid until the next call.  *next_due is set to the monotonic time of
    // the next frame (<= now_ns when more are due already), or -1 once the
    // source is exhausted.
    virtual size_t pull(int64_t now_ns, Frame *out, size_t max, int64_t *next_due) = 0;
    // Frames handed out so far.
    virtual uint64_t produced() const = 0;
    // One-line description of the settings, for status reports.
    virtual std::string describe() const = 0;
};

// Addresses the generator puts in its frames when its settings give none.
struct SourceDefaults {
    uint8_t dst_mac[6] = {0x02, 0x51, 0x53, 0x02, 0x00, 0x00}; // the port's own MAC
    uint8_t src_mac[6] = {0x02, 0x51, 0x53, 0xff, 0x00, 0x01};
};

// Builds a source from a wire spec: "gen:KEY=VAL,..." or "pcap:FILE[,KEY=VAL...]".
// Returns null with a one-line reason in *err for a bad spec or an unusable
// file.  (Other wire kinds, peer: and iface:, are not frame sources.)
std::unique_ptr<FrameSource> make_source(const std::string &spec, const SourceDefaults &defs,
                                         std::string *err);

}  // namespace quorsim
