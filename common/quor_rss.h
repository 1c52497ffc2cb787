/*
 * quor_rss.h - the receive-side scaling hash shared by the capture library
 * (rings of a shared queue keep the packets their hash selects) and the
 * simulated adapter (which spreads packets over per-ring queues with the same
 * function, so both modes pick the same ring for a packet).
 *
 * The hash reads the frame in place and never outside [frame, frame+length).
 * Valid C and C++.
 */
#ifndef QUOR_RSS_H
#define QUOR_RSS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Hash flag bits (same values as the library's kpt_rss_mode_flags). */
#define QUOR_RSS_IP 0x01u
#define QUOR_RSS_SRC_PORT 0x10u
#define QUOR_RSS_DST_PORT 0x20u
#define QUOR_RSS_GTP 0x40u
#define QUOR_RSS_GRE 0x80u

uint32_t murmur_3words(uint32_t w0, uint32_t w1, uint32_t w2);
uint32_t murmur_4words(uint32_t w0, uint32_t w1, uint32_t w2, uint32_t w3);
/* Length of the GRE header that starts at gre (its first two bytes are read). */
uint32_t get_gre_bytes(const uint8_t *gre);

/* Hash of a frame of `length` bytes (FCS excluded) under the given flags. */
uint32_t quor_rss_hash(const uint8_t *frame, uint32_t length, uint32_t flags);

#ifdef __cplusplus
}
#endif

#endif
