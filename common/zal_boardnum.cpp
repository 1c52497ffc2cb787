/*
 * zal_boardnum.cpp - the three ways a tool's user names a board.
 *
 * A global board number counts boards across device letters: every board of
 * letter A first, then B, and so on.  Within a letter a unit is numbered by
 * the units below it that open, so a unit whose file is missing or refused
 * does not take a number.  A MAC address (or its trailing part) or a host
 * interface name names the board whose NIC id matches.
 *
 * Nothing here keeps state or prints: every device file opened for a query
 * is closed before the function returns.
 */
#include "zal_internal.h"

#include <errno.h>
#include <limits.h>
#include <string.h>
#include <strings.h>

#include "quor_io.h"
#include "zal_parse.h"

namespace {

int query_u32(zal_handle_t h, uint32_t request, uint32_t *val)
{
    uint32_t v = 0;
    int rc = zal_ioctl(h, int(request), &v, sizeof v);
    if (rc == 0) *val = v;
    return rc;
}

/* Board count and unit-slot count of a letter, through any board that
 * opens.  The open's error when none does, else the first failed query. */
int letter_counts(uint8_t product, uint32_t *count, uint32_t *max)
{
    zal_handle_t h = -1;
    int rc = zal_open_any_board(&h, product);
    if (rc != 0) return rc;
    rc = query_u32(h, QUOR_GET_BOARD_COUNT, count);
    if (rc == 0) rc = query_u32(h, QUOR_GET_BOARD_MAX, max);
    zal_close(h);
    return rc;
}

bool unit_opens(uint8_t product, int unit)
{
    zal_handle_t h = -1;
    if (zal_open(unit, -1, &h, product) != 0) return false;
    zal_close(h);
    return true;
}

} // namespace

extern "C" {

int zal_product_to_boardnum(uint8_t product, int unit, int *num)
{
    if (num == nullptr || product > QUOR_PRODUCT_MAX || unit < 0) return EINVAL;
    int64_t total = 0;
    for (uint8_t p = 0; p < product; ++p) {
        zal_handle_t h = -1;
        if (zal_open_any_board(&h, p) != 0) continue;
        uint32_t count = 0;
        if (query_u32(h, QUOR_GET_BOARD_COUNT, &count) == 0) total += count;
        zal_close(h);
    }
    uint32_t count = 0, max = 0;
    int rc = letter_counts(product, &count, &max);
    if (rc != 0) return rc;
    /* Units are numbered 0 to max - 1: the slot count itself is no unit. */
    if (uint32_t(unit) >= max) return EINVAL;
    for (int u = 0; u < unit; ++u) {
        if (unit_opens(product, u)) total++;
    }
    if (total > INT_MAX) return ERANGE;
    *num = int(total);
    return 0;
}

int zal_boardnum_to_product(int num, uint8_t *product, int *unit)
{
    if (num < 0 || product == nullptr || unit == nullptr) return EINVAL;
    int64_t total = 0;
    for (uint8_t p = 0; p <= QUOR_PRODUCT_MAX; ++p) {
        uint32_t count = 0, max = 0;
        if (letter_counts(p, &count, &max) != 0) continue;
        if (total + count <= num) {
            total += count;
            continue;
        }
        /* The letter holds num: the unit with exactly num - total opening
         * units below it, which is what zal_product_to_boardnum numbers. */
        int64_t want = num - total, seen = 0;
        for (uint32_t u = 0; u < max && u <= uint32_t(INT_MAX); ++u) {
            if (!unit_opens(p, int(u))) continue;
            if (seen == want) {
                *product = p;
                *unit = int(u);
                return 0;
            }
            seen++;
        }
        return EINVAL;
    }
    return EINVAL;
}

int zal_mac_to_product(char *mac, uint8_t *product, int *unit)
{
    if (mac == nullptr || product == nullptr || unit == nullptr) return EINVAL;
    size_t len = strnlen(mac, 18);
    if (len < 3 || len > 17) return EINVAL;
    for (uint8_t p = 0; p <= QUOR_PRODUCT_MAX; ++p) {
        zal_handle_t h = -1;
        if (zal_open_any_board(&h, p) != 0) continue;
        uint32_t max = 0;
        int rc = query_u32(h, QUOR_GET_BOARD_MAX, &max);
        zal_close(h);
        if (rc != 0) continue;
        for (uint32_t u = 0; u < max && u <= uint32_t(INT_MAX); ++u) {
            if (zal_open(int(u), -1, &h, p) != 0) continue;
            quor_get_nic_id_t id;
            memset(&id, 0, sizeof id);
            id.board = u;
            rc = zal_ioctl(h, int(QUOR_GET_NIC_ID), &id, sizeof id);
            zal_close(h);
            if (rc != 0) continue;
            char text[18];
            zal_nic_id_to_str(text, id.nic_id, sizeof text);
            size_t tlen = strlen(text);
            if (tlen >= len && strncasecmp(text + tlen - len, mac, len) == 0) {
                *product = p;
                *unit = int(u);
                return 0;
            }
        }
    }
    return EINVAL;
}

int zal_translate_to_product(char *board, uint8_t *product, int *unit)
{
    if (product == nullptr || unit == nullptr) return EINVAL;
    if (board == nullptr) return zal_boardnum_to_product(0, product, unit);

    char macbuf[18];
    uint8_t mac[6];
    if (zal_get_macaddr(board, mac) == 0) {
        uint64_t id = 0;
        zal_macaddr_to_nic_id(mac, &id);
        zal_nic_id_to_str(macbuf, id, sizeof macbuf);
        board = macbuf;
    }
    if (strchr(board, ':') != nullptr) return zal_mac_to_product(board, product, unit);

    /* A whole decimal number that fits an int; nothing else. */
    unsigned long long v = 0;
    if (zal_parse_whole(board, 10, '\0', INT_MAX, &v, nullptr) != 0) return EINVAL;
    return zal_boardnum_to_product(int(v), product, unit);
}

} // extern "C"
