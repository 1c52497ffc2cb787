/*
 * quor_nfw.h - what the adapter's firmware leaves in adapter memory for the
 * maintenance tools: the pointer to its header, the header itself, and where
 * a captured scan-chain image lies.
 *
 * Adapter memory is big-endian: every number below is stored most
 * significant byte first; read it with quor_nfw_be32/be16.  The tools read
 * these bytes through an adapter memory accessor, the simulated board writes
 * them; both take the layout from here.
 *
 * Valid C and C++.
 */
#ifndef QUOR_NFW_H
#define QUOR_NFW_H

#include <stddef.h>
#include <stdint.h>

#include "quor_io.h"

/* Adapter address of the 32-bit word holding the header's adapter address. */
#define QUOR_NFW_HDR_PTR 0x3c
/* A usable header address is nonzero, a multiple of 4 and below this. */
#define QUOR_NFW_HDR_LIMIT 0x100000u

/* (f) firmware writes every field once at boot. */
typedef struct nfw_gen_header {
    uint32_t header_length;    /* bytes of this header */
    uint32_t nfw_type;
    char version[128];
    uint32_t nfw_private;
    uint32_t sram_size;
    uint32_t string_specs;     /* adapter address of the KEY=value strings */
    uint32_t string_specs_len;
    uint8_t nfw_index;
    uint8_t disable_rabbit;
    uint8_t unaligned_tlp;
    uint8_t pcie_link_algo;
    uint32_t counters_addr;
    uint32_t copy_block_info;
    uint16_t handoff_id_major; /* 1 on boards of the KV7B processor variant */
    uint16_t handoff_id_caps;
    uint32_t msix_table_addr;
    uint32_t bss_addr;
    uint32_t features;
    uint32_t ee_hdr_addr;
    uint32_t led_pattern;
    uint32_t led_pattern_dflt;
} nfw_gen_header;
QUOR_ASSERT_SIZE(nfw_gen_header, 192);
QUOR_ASSERT_OFF(nfw_gen_header, nfw_type, 4);
QUOR_ASSERT_OFF(nfw_gen_header, version, 8);
QUOR_ASSERT_OFF(nfw_gen_header, nfw_private, 136);
QUOR_ASSERT_OFF(nfw_gen_header, sram_size, 140);
QUOR_ASSERT_OFF(nfw_gen_header, string_specs, 144);
QUOR_ASSERT_OFF(nfw_gen_header, string_specs_len, 148);
QUOR_ASSERT_OFF(nfw_gen_header, nfw_index, 152);
QUOR_ASSERT_OFF(nfw_gen_header, pcie_link_algo, 155);
QUOR_ASSERT_OFF(nfw_gen_header, counters_addr, 156);
QUOR_ASSERT_OFF(nfw_gen_header, copy_block_info, 160);
QUOR_ASSERT_OFF(nfw_gen_header, handoff_id_major, 164);
QUOR_ASSERT_OFF(nfw_gen_header, handoff_id_caps, 166);
QUOR_ASSERT_OFF(nfw_gen_header, msix_table_addr, 168);
QUOR_ASSERT_OFF(nfw_gen_header, bss_addr, 172);
QUOR_ASSERT_OFF(nfw_gen_header, features, 176);
QUOR_ASSERT_OFF(nfw_gen_header, ee_hdr_addr, 180);
QUOR_ASSERT_OFF(nfw_gen_header, led_pattern, 184);
QUOR_ASSERT_OFF(nfw_gen_header, led_pattern_dflt, 188);

/*
 * Captured scan-chain images: the firmware lays a chain's bytes just below a
 * fixed end address, last byte of the chain lowest (a reader reverses them).
 * Chain 0 ends at one address per chain length, chain 2 (the chain a scan
 * write takes back) at another.
 */
#define QUOR_NFW_SCAN0_END_636 0x1dffbcu
#define QUOR_NFW_SCAN0_END_896 0x1dff9cu
#define QUOR_NFW_SCAN2_END 0x1dfffcu

static inline uint32_t quor_nfw_be32(const void *p)
{
    const uint8_t *b = (const uint8_t *)p;
    return (uint32_t)b[0] << 24 | (uint32_t)b[1] << 16 | (uint32_t)b[2] << 8 | b[3];
}
static inline uint16_t quor_nfw_be16(const void *p)
{
    const uint8_t *b = (const uint8_t *)p;
    return (uint16_t)((unsigned)b[0] << 8 | b[1]);
}
/* Whether a header or string-specs address can be used (see HDR_LIMIT). */
static inline int quor_nfw_addr_ok(uint32_t a) { return a != 0 && a % 4 == 0 && a < QUOR_NFW_HDR_LIMIT; }

#endif /* QUOR_NFW_H */
