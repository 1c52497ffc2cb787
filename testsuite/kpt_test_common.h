/*
 * kpt_test_common.h - the test packet and the helpers that the receive tests,
 * the benchmark and the traffic generator share.
 *
 * The test packet is a 48-byte header (Ethernet, IPv4, UDP, two bytes nobody
 * checks, then the frame length as a big-endian 32-bit word) followed by the
 * little-endian 32-bit words 0, 1, 2, ...
 *
 * Frames handed to these routines come from the wire: every routine reads
 * only inside the length it is given.  Valid C and C++.
 */
#ifndef KPT_TEST_COMMON_H
#define KPT_TEST_COMMON_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct pkt_hdr {
    uint8_t eth[14];
    uint8_t ip[20];
    uint8_t udp[8];
    uint8_t whatever[2];
    uint8_t length[4]; /* frame length without the FCS, big-endian */
} pkt_hdr_t;

#define PKT_HDR_LEN 48u
#define PKT_LEN_OFFSET 44u
#define PKT_MIN_FRAME 60u

#ifdef __cplusplus
static_assert(sizeof(pkt_hdr_t) == PKT_HDR_LEN, "test header is 48 bytes");
#else
_Static_assert(sizeof(pkt_hdr_t) == PKT_HDR_LEN, "test header is 48 bytes");
#endif

/* Prints len bytes at pg, 16 to a line, each line led by its offset. */
void dump_data(const unsigned char *pg, int len);

/* 0 when the frame is a well-formed test packet, else 1 after printing why. */
int pkt_validate(const void *pkt, uint32_t length);

/* Bytes of the Ethernet, IP and UDP/TCP headers of an (optionally VLAN
 * tagged) IPv4 or IPv6 UDP or TCP frame, the tag not counted; 0 for any
 * other frame or one too short to hold them. */
uint32_t get_hdr_len(const void *buf, uint32_t len);

/* True for an (optionally VLAN tagged) IPv4 frame carrying UDP or TCP. */
int is_udp_tcp(const void *buf, uint32_t len);

/* "a:b:c:d:e:f", each 1 or 2 hex digits, into mac; 0 on success, -1 for
 * anything else.  *end (when end is not null) gets the first character
 * after the address, and then trailing text is allowed. */
int parse_mac(const char *s, unsigned mac[6], const char **end);

/* A whole unsigned number in base 0 (decimal, 0x hex, 0 octal) that fits in
 * max; 0 on success, -1 otherwise. */
int parse_u64(const char *s, uint64_t max, uint64_t *out);

/* parse_u64 for the argument of option -opt; on failure prints
 * "Invalid value for -<opt>: <arg>" to standard error and returns -1. */
int option_u64(int opt, const char *arg, uint64_t max, uint64_t *out);

/* Writes the payload words first_word, first_word + 1, ... into n bytes at p
 * (a last partial word gets the low bytes of its value). */
void fill_payload(unsigned char *p, uint32_t n, uint32_t first_word);

/* Wall-clock time in microseconds. */
uint64_t now_usecs(void);

#ifdef __cplusplus
}
#endif

#endif
