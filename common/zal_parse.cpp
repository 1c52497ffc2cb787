/*
 * zal_parse.cpp - the whole-number reader of zal_parse.h.
 */
#include "zal_parse.h"

#include <errno.h>
#include <stdlib.h>

extern "C" int zal_parse_whole(const char *s, int base, char stop, unsigned long long max,
                               unsigned long long *out, const char **end)
{
    if (s == nullptr || out == nullptr || *s < '0' || *s > '9') return EINVAL;
    errno = 0;
    char *e = nullptr;
    unsigned long long v = strtoull(s, &e, base);
    if (errno != 0 || e == s || *e != stop || v > max) return EINVAL;
    *out = v;
    if (end != nullptr) *end = e;
    return 0;
}
