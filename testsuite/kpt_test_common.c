/*
 * kpt_test_common.c - the test packet checks, the byte dump and the small
 * parsers shared by the test programs.
 */
#include "kpt_test_common.h"

#include <ctype.h>
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>

static uint32_t rd_be32(const unsigned char *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static uint32_t rd_le32(const unsigned char *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static uint16_t rd_be16(const unsigned char *p) { return (uint16_t)(p[0] << 8 | p[1]); }

void dump_data(const unsigned char *pg, int len)
{
    for (int off = 0; off < len; off += 16) {
        /* A short last line shows only the bytes that were given: the
         * caller's buffer need not extend to the next multiple of 16. */
        int n = len - off < 16 ? len - off : 16;
        printf("%04d:", off);
        for (int i = 0; i < n; ++i) printf(" %02x", pg[off + i]);
        printf("\n");
    }
}

int pkt_validate(const void *pkt, uint32_t length)
{
    const unsigned char *p = (const unsigned char *)pkt;

    /* Shorter than the header: the length word itself may lie outside. */
    if (length < PKT_HDR_LEN) {
        printf("packet malformed for test, need at least %u bytes\n", PKT_HDR_LEN);
        return 1;
    }
    uint32_t msg_length = rd_be32(p + PKT_LEN_OFFSET);
    uint32_t checked;
    if (length == PKT_MIN_FRAME) {
        /* A minimum frame may be padding what the sender wrote. */
        if (msg_length < PKT_HDR_LEN) {
            printf("packet malformed for test, need at least %u bytes\n", PKT_HDR_LEN);
            return 1;
        }
        if (msg_length > PKT_MIN_FRAME) {
            printf("packet malformed for test, received %u bytes but message says %u bytes\n",
                   PKT_MIN_FRAME, msg_length);
            return 1;
        }
        checked = msg_length;
    } else {
        if (msg_length != length) {
            printf("packet length missmatch, in mesg:%u, in packet:%u\n", length, msg_length);
            dump_data(p, length < 64 ? (int)length : 64);
            return 1;
        }
        checked = length;
    }

    uint32_t words = checked / 4 - 12;
    for (uint32_t i = 0; i < words; ++i) {
        uint32_t ofst = PKT_HDR_LEN + 4 * i;
        uint32_t v = rd_le32(p + ofst);
        if (v == i) continue;
        printf("packet data missmatch at pkt at %p, ofst %u, pkt len:%u, expected:0x%08x, "
               "actual:0x%08x\n",
               (const void *)p, ofst, checked, i, v);
        /* 64 bytes either side of the bad word, but never outside the
         * frame: the bytes around it may not be mapped at all. */
        uint32_t from = ofst > 64 ? (ofst - 64) & ~15u : 0;
        uint32_t to = ofst + 4 + 64 < length ? ofst + 4 + 64 : length;
        printf("dumping data starting at ofst %u, for %u bytes\n", from, to - from);
        dump_data(p + from, (int)(to - from));
        return 1;
    }
    return 0;
}

/* Offset of the EtherType past an optional VLAN tag, or 0 when the frame is
 * too short to hold it. */
static uint32_t ether_type_at(const unsigned char *p, uint32_t len, uint16_t *type)
{
    if (len < 14) return 0;
    uint32_t at = 12;
    *type = rd_be16(p + at);
    if (*type == 0x8100) {
        if (len < 18) return 0;
        at = 16;
        *type = rd_be16(p + at);
    }
    return at;
}

uint32_t get_hdr_len(const void *buf, uint32_t len)
{
    const unsigned char *p = (const unsigned char *)buf;
    uint16_t type;
    uint32_t at = ether_type_at(p, len, &type);
    if (at == 0) return 0;
    uint32_t l3 = at + 2, base, proto_at;
    if (type == 0x0800) {
        base = 34;
        proto_at = l3 + 9;
    } else if (type == 0x86DD) {
        base = 54;
        proto_at = l3 + 6;
    } else {
        return 0;
    }
    if (proto_at >= len) return 0;
    uint32_t hl;
    if (p[proto_at] == 17)
        hl = base + 8;
    else if (p[proto_at] == 6)
        hl = base + 20;
    else
        return 0;
    /* The split must leave both fragments inside the frame. */
    return hl < len ? hl : 0;
}

int is_udp_tcp(const void *buf, uint32_t len)
{
    const unsigned char *p = (const unsigned char *)buf;
    uint16_t type;
    uint32_t at = ether_type_at(p, len, &type);
    if (at == 0 || type != 0x0800 || at + 2 + 9 >= len) return 0;
    unsigned proto = p[at + 2 + 9];
    return proto == 6 || proto == 17;
}

int parse_mac(const char *s, unsigned mac[6], const char **end)
{
    for (int i = 0; i < 6; ++i) {
        if (i > 0) {
            if (*s != ':') return -1;
            ++s;
        }
        int digits = 0;
        unsigned v = 0;
        while (digits < 2 && isxdigit((unsigned char)*s)) {
            v = v * 16 + (unsigned)(isdigit((unsigned char)*s) ? *s - '0'
                                                               : tolower((unsigned char)*s) - 'a' + 10);
            ++s;
            ++digits;
        }
        if (digits == 0 || isxdigit((unsigned char)*s)) return -1;
        mac[i] = v;
    }
    if (end)
        *end = s;
    else if (*s)
        return -1;
    return 0;
}

int parse_u64(const char *s, uint64_t max, uint64_t *out)
{
    if (!s || !*s || isspace((unsigned char)*s) || *s == '-' || *s == '+') return -1;
    char *end = NULL;
    errno = 0;
    unsigned long long v = strtoull(s, &end, 0);
    if (errno || end == s || *end || v > max) return -1;
    *out = v;
    return 0;
}

int option_u64(int opt, const char *arg, uint64_t max, uint64_t *out)
{
    if (parse_u64(arg, max, out) == 0) return 0;
    fprintf(stderr, "Invalid value for -%c: %s\n", opt, arg);
    return -1;
}

void fill_payload(unsigned char *p, uint32_t n, uint32_t first_word)
{
    uint32_t i = 0, w = first_word;
    for (; i + 4 <= n; i += 4, ++w) {
        p[i] = (unsigned char)w;
        p[i + 1] = (unsigned char)(w >> 8);
        p[i + 2] = (unsigned char)(w >> 16);
        p[i + 3] = (unsigned char)(w >> 24);
    }
    for (uint32_t k = 0; i < n; ++i, ++k) p[i] = (unsigned char)(w >> (8 * k));
}

uint64_t now_usecs(void)
{
    struct timeval tv;
    gettimeofday(&tv, NULL);
    return (uint64_t)tv.tv_sec * 1000000u + (uint64_t)tv.tv_usec;
}
