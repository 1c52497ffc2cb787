// sim_wire_impl.h - pieces shared by the frame sources (not used outside
// sim/ and its tests).
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "sim_wire.h"

namespace quorsim {

// ---- CRC internals (sim_crc.cpp) ----
// The CRC register without the initial and final inversion: crc32_eth(d, n,
// c) == ~crc32_raw(~c, d, n).
uint32_t crc32_raw(uint32_t reg, const uint8_t *p, size_t n);
// The two implementations behind crc32_raw: eight table lookups per eight
// bytes, and carry-less-multiply folding (only where clmul_available()).
uint32_t crc32_raw_table(uint32_t reg, const uint8_t *p, size_t n);
uint32_t crc32_raw_fold(uint32_t reg, const uint8_t *p, size_t n);
bool clmul_available();
// crc * x^(8n) mod P: the effect of n zero bytes on a register or CRC value.
uint32_t crc32_shift(uint32_t crc, size_t n);
// For every byte value b, crc32_raw(0, {b, then `zeros` zero bytes}): what b
// adds to the register of a message it sits in, `zeros` bytes from the end.
void crc32_byte_table(size_t zeros, uint32_t out[256]);

// ---- The test packet ----
// 48 bytes of header (Ethernet, IPv4, UDP, two marker bytes, the frame length
// big-endian), then little-endian 32-bit words 0, 1, 2, ...
constexpr uint32_t kTestHdrLen = 48;
constexpr uint32_t kTestMaxPayload = kWireMaxFrame - kTestHdrLen;
// The payload pattern, kTestMaxPayload bytes (and a little more).
const uint8_t *test_payload();
// crc32_eth of the first n payload bytes, n <= kTestMaxPayload.
uint32_t test_payload_crc(uint32_t n);

// ---- Settings text ----
// Strict unsigned decimal (digits only, no sign, no overflow).
bool parse_dec(std::string_view s, uint64_t *out);
// Non-negative decimal fraction: "2", "2.5", ".5" (no exponent, no sign).
bool parse_real(std::string_view s, double *out);
// aa:bb:cc:dd:ee:ff, one or two hex digits per byte.
bool parse_mac(std::string_view s, uint8_t mac[6]);
std::string format_mac(const uint8_t mac[6]);
// Untrusted text for an error message: control characters become '?', and
// very long text is cut, so the message stays one readable line.
std::string printable(std::string_view s);
// Shortest decimal text of a real setting (2.5, 10, 0.001).
std::string format_real(double v);

// The two kinds of source; `settings` is what follows "gen:" / "pcap:".
std::unique_ptr<FrameSource> make_gen_source(std::string_view settings, const SourceDefaults &defs,
                                             std::string *err);
std::unique_ptr<FrameSource> make_pcap_source(std::string_view settings, std::string *err);

}  // namespace quorsim
