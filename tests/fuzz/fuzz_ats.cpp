// fuzz_ats.cpp - arbitrary frames through the switch timestamp decoder.
//
// The first input byte sets the ring up: bit 0 skew ratio in keyframes,
// bit 1 rate check, bit 2 PTP check, bit 3 the per-frame debug lines (to
// /dev/null).  The rest is a sequence of frames, each a length byte (taken
// modulo 121, so every length from 0 to 120 occurs) and that many bytes,
// each copied into a buffer of its exact length so that AddressSanitizer
// reports any read past its end.  Keyframes among them move the decoder's
// state, so ordinary frames are converted from whatever keyframes the input
// made up.  Besides memory errors and undefined behaviour (a conversion cast
// out of range), the target checks that an ordinary frame loses exactly its
// trailer, that a frame too short to tell keeps its length and time, and
// that the status stays one of the defined ones.
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "kpt_ats.h"
#include "kpt_rx.h"

namespace {

uint64_t g_now = 0;
uint64_t fake_now() { return g_now += 1000000000; }

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    static FILE *null_out = fopen("/dev/null", "w");
    if (size < 1)
        return 0;
    kpt__ats_host_ns = fake_now;
    kpt__params p;
    memset(&p, 0, sizeof p);
    p.debug_mask = KPT_DEBUG_WARN | ((data[0] & 8) ? 0x40u : 0u);
    p.debug_fp = null_out;
    kpt__rx rx;
    memset(&rx, 0, sizeof rx);
    rx.p = &p;
    setenv("QUOR_ARISTA_ENABLE_TIMESTAMPING", "1", 1);
    setenv("QUOR_ARISTA_ENABLE_SKEW", (data[0] & 1) ? "1" : "0", 1);
    setenv("QUOR_ARISTA_PARAM_KF_CHECK_RATE", (data[0] & 2) ? "1" : "0", 1);
    setenv("QUOR_ARISTA_PARAM_KF_CHECK_PTP", (data[0] & 4) ? "1" : "0", 1);
    if (!kpt__ats_init(&rx))
        __builtin_trap();

    size_t at = 1;
    while (at < size) {
        const uint32_t len = data[at++] % 121u;
        const uint32_t n = at + len <= size ? len : (uint32_t)(size - at);
        uint8_t *frame = (uint8_t *)malloc(n ? n : 1);
        memcpy(frame, data + at, n);
        at += n;

        kpt_recv_req req;
        memset(&req, 0, sizeof req);
        req.pkt_addr = frame;
        req.length = n;
        req.timestamp = 7;
        switch (kpt__ats_kind(&req)) {
        case ATS_KIND_KEYFRAME:
            kpt__ats_keyframe(&rx, &req);
            if (req.length != n)
                __builtin_trap();
            break;
        case ATS_KIND_FRAME:
            kpt__ats_frame(&rx, &req);
            if (req.length != n - 4)
                __builtin_trap();
            break;
        case ATS_KIND_SHORT:
            if (n >= 28)
                __builtin_trap(); /* 28 bytes hold a tagged IPv4 protocol */
            break;
        }
        if (rx.ats.arct_status < ATS_STATUS_INITED || rx.ats.arct_status > ATS_STATUS_NEED_KEYFRAME)
            __builtin_trap();
        free(frame);
    }
    return 0;
}
