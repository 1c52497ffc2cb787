// uba_args.cpp - the command-line words every board tool takes: option
// numbers and the JTAG bridge address, read with the device layer's
// whole-number reader and refused with one set of messages.
#include <limits.h>
#include <stdio.h>
#include <string.h>

#include "uba.h"
#include "zal_parse.h"

namespace {

// The user's word as it may be shown on a terminal: bytes that are not
// printable ASCII (and the backslash) as \xNN; a word longer than the
// buffer ends in "...".
const char *shown(const char *text, char *buf, size_t size)
{
    size_t n = 0;
    for (const unsigned char *p = reinterpret_cast<const unsigned char *>(text); *p; ++p) {
        if (n + 8 > size) { // room for one more \xNN, "..." and the terminator
            memcpy(buf + n, "...", 4);
            return buf;
        }
        if (*p >= 0x20 && *p < 0x7f && *p != '\\')
            buf[n++] = char(*p);
        else
            n += size_t(snprintf(buf + n, size - n, "\\x%02x", *p));
    }
    buf[n] = '\0';
    return buf;
}

}  // namespace

extern "C" {

unsigned long long uba_number_arg(char opt, const char *text, int base, unsigned long long min,
                                  unsigned long long max, const char *what)
{
    unsigned long long v = 0;
    if (zal_parse_whole(text, base, '\0', max, &v, nullptr) != 0 || v < min) {
        char buf[256];
        fatal_error_func("Invalid number for -%c: %s (-%c wants %s from %llu to %llu)\n", opt,
                         shown(text, buf, sizeof buf), opt, what, min, max);
    }
    return v;
}

void uba_bridge_arg(const char *text, int base, int max_port, uba_bridge_addr *out)
{
    char buf[256];
    memset(out, 0, sizeof *out);
    const char *colon = strchr(text, ':');
    size_t hl = colon ? size_t(colon - text) : strlen(text);
    if (hl == 0 || hl >= sizeof out->host)
        fatal_error_func("Invalid bridge address for -g: %s (-g wants host[:slot[:port]])\n",
                         shown(text, buf, sizeof buf));
    memcpy(out->host, text, hl);
    out->host[hl] = '\0';
    if (!colon) return;
    const char *port = strchr(colon + 1, ':');
    unsigned long long v = 0;
    if (zal_parse_whole(colon + 1, base, port ? ':' : '\0', INT_MAX - 1, &v, nullptr) != 0)
        fatal_error_func("Invalid bridge address for -g: %s (-g slot is not a whole number from 0 to %d)\n",
                         shown(text, buf, sizeof buf), INT_MAX - 1);
    out->slot = int(v);
    if (!port) return;
    if (zal_parse_whole(port + 1, base, '\0', (unsigned long long)max_port, &v, nullptr) != 0)
        fatal_error_func("Invalid bridge address for -g: %s (-g port is not a whole number from 0 to %d)\n",
                         shown(text, buf, sizeof buf), max_port);
    out->port = int(v);
}

}  // extern "C"
