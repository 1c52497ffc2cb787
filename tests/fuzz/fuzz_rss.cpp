// fuzz_rss.cpp - arbitrary frames through the receive-side scaling hash.
//
// The first input byte selects the hash flags (its bits 0x01, 0x10, 0x20,
// 0x40, 0x80 are the flag bits); the rest is the frame, in a buffer of its
// exact length, so AddressSanitizer reports any read past its end.  Besides
// memory errors, the target checks that cutting the frame short only ever
// turns its hash into 0: every prefix hashes like the whole frame or to 0,
// and once a prefix holds every field the hash reads, longer ones agree.
#include <stddef.h>
#include <stdint.h>

#include "quor_rss.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size < 1 || size > 65536)
        return 0;
    const uint32_t flags = data[0] & 0xF1u;
    const uint8_t *frame = data + 1;
    const uint32_t len = uint32_t(size - 1);

    const uint32_t full = quor_rss_hash(frame, len, flags);
    bool complete = false;
    for (uint32_t n = 0; n < len; n++) {
        const uint32_t h = quor_rss_hash(frame, n, flags);
        if (h != 0 && h != full)
            __builtin_trap();
        if (complete && h != full)
            __builtin_trap();
        complete = complete || (full != 0 && h == full);
    }
    return 0;
}
