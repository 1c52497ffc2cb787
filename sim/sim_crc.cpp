// sim_crc.cpp - the Ethernet frame check sequence.
//
// Two ways to run the CRC register over bytes: eight table lookups per eight
// bytes (any CPU), and folding 64 bytes a step with carry-less multiplies
// (x86-64 CPUs with PCLMULQDQ, picked at run time).  The CRC is linear, so the
// CRC of a concatenation follows from the CRCs of its parts and one multiply
// by x^(8n) mod P; the generator uses that to checksum a fresh 48-byte header
// followed by a payload whose CRC is known in advance.
//
// Polynomials are kept bit-reflected, as the register holds them: bit 31 is
// the coefficient of x^0, bit 0 that of x^31.
#include <array>
#include <cstring>

#include "sim_wire.h"
#include "sim_wire_impl.h"

#if defined(__x86_64__)
#include <immintrin.h>
#define QUORSIM_HAVE_FOLD 1
#endif

namespace quorsim {

namespace {

constexpr uint32_t kPoly = 0xEDB88320u;

struct CrcTables {
    uint32_t t[8][256];
};

// t[0][b]: the register b after eight zero bits; t[k][b]: after 8 + 8k.
constexpr CrcTables make_tables()
{
    CrcTables T{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ kPoly : c >> 1;
        T.t[0][i] = c;
    }
    for (int s = 1; s < 8; ++s)
        for (uint32_t i = 0; i < 256; ++i)
            T.t[s][i] = (T.t[s - 1][i] >> 8) ^ T.t[0][T.t[s - 1][i] & 0xff];
    return T;
}

constexpr CrcTables kTab = make_tables();

// v * x^32 mod P for the low half of a 64-bit reflected product, plus its
// high half: what four zero bytes do to a register.
constexpr uint32_t reduce64(uint64_t v)
{
    uint32_t lo = uint32_t(v), hi = uint32_t(v >> 32);
    return hi ^ kTab.t[3][lo & 0xff] ^ kTab.t[2][(lo >> 8) & 0xff] ^ kTab.t[1][(lo >> 16) & 0xff] ^
           kTab.t[0][lo >> 24];
}

constexpr uint64_t clmul32_soft(uint32_t a, uint32_t b)
{
    uint64_t r = 0;
    for (int i = 0; i < 32; ++i) r ^= (uint64_t(b) << i) & (0 - uint64_t((a >> i) & 1));
    return r;
}

// a * b mod P.  The integer product of two reflected 32-bit polynomials is
// the reflection over 63 bits; one more bit of shift gives the 64-bit form.
constexpr uint32_t mulmod_soft(uint32_t a, uint32_t b) { return reduce64(clmul32_soft(a, b) << 1); }

// x^(8n) mod P for every n a frame can have.
constexpr size_t kShiftTable = kWireMaxFrame + 1;
constexpr std::array<uint32_t, kShiftTable> make_x8n()
{
    std::array<uint32_t, kShiftTable> t{};
    uint32_t c = 0x80000000u; // x^0
    for (size_t n = 0; n < kShiftTable; ++n) {
        t[n] = c;
        c = (c >> 8) ^ kTab.t[0][c & 0xff];
    }
    return t;
}
constexpr std::array<uint32_t, kShiftTable> kX8n = make_x8n();

// x^(8 * 2^k) mod P, for shifts beyond the table.
constexpr std::array<uint32_t, 64> make_x8pow2()
{
    std::array<uint32_t, 64> t{};
    t[0] = kX8n[1];
    for (int k = 1; k < 64; ++k) t[k] = mulmod_soft(t[k - 1], t[k - 1]);
    return t;
}
constexpr std::array<uint32_t, 64> kX8Pow2 = make_x8pow2();

// ---- the test payload and the CRCs of its prefixes ----
constexpr size_t kPayloadBytes = (kTestMaxPayload + 3) & ~size_t(3);

constexpr std::array<uint8_t, kPayloadBytes> make_payload()
{
    std::array<uint8_t, kPayloadBytes> p{};
    for (size_t i = 0; i < kPayloadBytes; ++i) p[i] = uint8_t((i / 4) >> (8 * (i % 4)));
    return p;
}
alignas(64) constexpr std::array<uint8_t, kPayloadBytes> kPayload = make_payload();

constexpr std::array<uint32_t, kTestMaxPayload + 1> make_payload_crc()
{
    std::array<uint32_t, kTestMaxPayload + 1> t{};
    uint32_t reg = ~0u;
    for (size_t n = 0; n <= kTestMaxPayload; ++n) {
        t[n] = ~reg;
        if (n < kTestMaxPayload) reg = (reg >> 8) ^ kTab.t[0][(reg ^ kPayload[n]) & 0xff];
    }
    return t;
}
constexpr std::array<uint32_t, kTestMaxPayload + 1> kPayloadCrc = make_payload_crc();

// ---- carry-less multiply on the CPU ----
#ifdef QUORSIM_HAVE_FOLD

bool detect_clmul()
{
    __builtin_cpu_init();
    return __builtin_cpu_supports("pclmul");
}
const bool g_clmul = detect_clmul();

__attribute__((target("pclmul"))) uint32_t mulmod_hw(uint32_t a, uint32_t b)
{
    __m128i p = _mm_clmulepi64_si128(_mm_cvtsi32_si128(int(a)), _mm_cvtsi32_si128(int(b)), 0x00);
    return reduce64(uint64_t(_mm_cvtsi128_si64(p)) << 1);
}

// acc moved 16 bytes on and added to the next 16 bytes.
__attribute__((target("pclmul"))) inline __m128i fold16(__m128i acc, __m128i next, __m128i k3k4)
{
    __m128i lo = _mm_clmulepi64_si128(acc, k3k4, 0x00);
    __m128i hi = _mm_clmulepi64_si128(acc, k3k4, 0x11);
    return _mm_xor_si128(_mm_xor_si128(hi, lo), next);
}

// Folds len bytes (a multiple of 16, at least 64) into the register.  Four
// 128-bit lanes advance 64 bytes a step: each lane's two halves are
// multiplied by x^(512+32) and x^(512-32) mod P (the distance to the lane
// 64 bytes on, in the reflected, one-bit-shifted form the products need) and
// added to the data there.  Then the lanes fold into one (x^160, x^96),
// the rest goes 16 bytes a step, and 128 bits reduce to 64 (x^64) and by
// Barrett's method to 32.
__attribute__((target("pclmul"))) uint32_t fold_bulk(uint32_t reg, const uint8_t *buf, size_t len)
{
    const __m128i k1k2 = _mm_set_epi64x(0x1c6e41596, 0x154442bd4);
    const __m128i k3k4 = _mm_set_epi64x(0x0ccaa009e, 0x1751997d0);
    const __m128i k5 = _mm_set_epi64x(0, 0x163cd6124);
    const __m128i poly = _mm_set_epi64x(0x1f7011641, 0x1db710641); // mu, P
    const __m128i low32 = _mm_setr_epi32(~0, 0, ~0, 0);

    __m128i x1 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x00));
    __m128i x2 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x10));
    __m128i x3 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x20));
    __m128i x4 = _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x30));
    x1 = _mm_xor_si128(x1, _mm_cvtsi32_si128(int(reg)));
    buf += 64;
    len -= 64;

    while (len >= 64) {
        __m128i x5 = _mm_clmulepi64_si128(x1, k1k2, 0x00);
        __m128i x6 = _mm_clmulepi64_si128(x2, k1k2, 0x00);
        __m128i x7 = _mm_clmulepi64_si128(x3, k1k2, 0x00);
        __m128i x8 = _mm_clmulepi64_si128(x4, k1k2, 0x00);
        x1 = _mm_clmulepi64_si128(x1, k1k2, 0x11);
        x2 = _mm_clmulepi64_si128(x2, k1k2, 0x11);
        x3 = _mm_clmulepi64_si128(x3, k1k2, 0x11);
        x4 = _mm_clmulepi64_si128(x4, k1k2, 0x11);
        x1 = _mm_xor_si128(_mm_xor_si128(x1, x5),
                           _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x00)));
        x2 = _mm_xor_si128(_mm_xor_si128(x2, x6),
                           _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x10)));
        x3 = _mm_xor_si128(_mm_xor_si128(x3, x7),
                           _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x20)));
        x4 = _mm_xor_si128(_mm_xor_si128(x4, x8),
                           _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf + 0x30)));
        buf += 64;
        len -= 64;
    }

    x1 = fold16(x1, x2, k3k4);
    x1 = fold16(x1, x3, k3k4);
    x1 = fold16(x1, x4, k3k4);
    while (len >= 16) {
        x1 = fold16(x1, _mm_loadu_si128(reinterpret_cast<const __m128i *>(buf)), k3k4);
        buf += 16;
        len -= 16;
    }

    // 128 -> 64 bits.
    x2 = _mm_clmulepi64_si128(x1, k3k4, 0x10);
    x1 = _mm_xor_si128(_mm_srli_si128(x1, 8), x2);
    x2 = _mm_srli_si128(x1, 4);
    x1 = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), k5, 0x00);
    x1 = _mm_xor_si128(x1, x2);

    // Barrett reduction to 32 bits.
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x1, low32), poly, 0x10);
    x2 = _mm_clmulepi64_si128(_mm_and_si128(x2, low32), poly, 0x00);
    x1 = _mm_xor_si128(x1, x2);
    return uint32_t(_mm_cvtsi128_si32(_mm_srli_si128(x1, 4)));
}

#else

constexpr bool g_clmul = false;

#endif

inline uint32_t mulmod(uint32_t a, uint32_t b)
{
#ifdef QUORSIM_HAVE_FOLD
    if (g_clmul) return mulmod_hw(a, b);
#endif
    return mulmod_soft(a, b);
}

}  // namespace

bool clmul_available() { return g_clmul; }

uint32_t crc32_raw_table(uint32_t reg, const uint8_t *p, size_t n)
{
    const auto &t = kTab.t;
    while (n >= 8) {
        uint32_t a =
            uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
        uint32_t b =
            uint32_t(p[4]) | uint32_t(p[5]) << 8 | uint32_t(p[6]) << 16 | uint32_t(p[7]) << 24;
        a ^= reg;
        reg = t[7][a & 0xff] ^ t[6][(a >> 8) & 0xff] ^ t[5][(a >> 16) & 0xff] ^ t[4][a >> 24] ^
              t[3][b & 0xff] ^ t[2][(b >> 8) & 0xff] ^ t[1][(b >> 16) & 0xff] ^ t[0][b >> 24];
        p += 8;
        n -= 8;
    }
    while (n--) reg = (reg >> 8) ^ t[0][(reg ^ *p++) & 0xff];
    return reg;
}

uint32_t crc32_raw_fold(uint32_t reg, const uint8_t *p, size_t n)
{
#ifdef QUORSIM_HAVE_FOLD
    if (g_clmul && n >= 64) {
        size_t bulk = n & ~size_t(15);
        reg = fold_bulk(reg, p, bulk);
        p += bulk;
        n -= bulk;
    }
#endif
    return crc32_raw_table(reg, p, n);
}

// The fold wins from its minimum of 64 bytes on (about twice the table's
// speed there, six times from 1 KB).
uint32_t crc32_raw(uint32_t reg, const uint8_t *p, size_t n) { return crc32_raw_fold(reg, p, n); }

uint32_t crc32_eth(const void *data, size_t len, uint32_t crc)
{
    return ~crc32_raw(~crc, static_cast<const uint8_t *>(data), len);
}

uint32_t crc32_shift(uint32_t crc, size_t n)
{
    if (n < kShiftTable) return mulmod(crc, kX8n[n]);
    for (int k = 0; n != 0; ++k, n >>= 1)
        if (n & 1) crc = mulmod(crc, kX8Pow2[k]);
    return crc;
}

void crc32_byte_table(size_t zeros, uint32_t out[256])
{
    for (int b = 0; b < 256; ++b) out[b] = crc32_shift(kTab.t[0][b], zeros);
}

// CRC(a.b) = CRC(b) ^ CRC(a) * x^(8|b|): the inversions at the start of a
// and of b cancel, the one at the end of a travels through b as zeros.
uint32_t crc32_eth_combine(uint32_t crc_a, uint32_t crc_b, size_t len_b)
{
    return crc_b ^ crc32_shift(crc_a, len_b);
}

const uint8_t *test_payload() { return kPayload.data(); }

uint32_t test_payload_crc(uint32_t n) { return kPayloadCrc[n]; }

}  // namespace quorsim
