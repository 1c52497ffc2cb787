/*
 * kpt_demo - captures test traffic on one port and verifies every frame.
 *
 *   kpt_demo [-p PORT] [-n FRAMES] [-t SECONDS]
 *
 * Opens the port with one receive ring, starts capture, and receives until
 * FRAMES frames have arrived (default 1000000) or nothing has arrived for
 * SECONDS seconds (default 5).  Every frame must be a test packet: the frame
 * length big-endian at offset 44, then the little-endian words 0, 1, 2, ...
 * from offset 48; timestamps must never go backwards.  Prints the rates, the
 * ring's counters and the verdict; exits 0 when every frame was good.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "kpt.h"

static double now_s(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (double)ts.tv_sec + (double)ts.tv_nsec / 1e9;
}

static uint32_t be32(const uint8_t *p)
{
    return (uint32_t)p[0] << 24 | (uint32_t)p[1] << 16 | (uint32_t)p[2] << 8 | p[3];
}

static uint32_t le32(const uint8_t *p)
{
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

/* 0 when the frame is a well-formed test packet. */
static int check_frame(const uint8_t *f, uint32_t len)
{
    uint32_t i, words;
    if (len < 60 || be32(f + 44) != len) return 1;
    words = (len - 48) / 4;
    for (i = 0; i < words; ++i)
        if (le32(f + 48 + 4 * i) != i) return 1;
    return 0;
}

static int fail(const char *what, int rc)
{
    fprintf(stderr, "kpt_demo: %s: %s\n", what, strerror(rc));
    return 1;
}

int main(int argc, char **argv)
{
    unsigned long port = 0, want = 1000000, idle_s = 5;
    int opt, rc;
    while ((opt = getopt(argc, argv, "p:n:t:h")) != -1) {
        char *end = NULL;
        unsigned long v = strtoul(optarg ? optarg : "", &end, 0);
        if (opt == 'h' || !optarg || *end) {
            fprintf(stderr, "Usage: kpt_demo [-p PORT] [-n FRAMES] [-t SECONDS]\n");
            return opt == 'h' ? 0 : 2;
        }
        if (opt == 'p') port = v;
        if (opt == 'n') want = v;
        if (opt == 't') idle_s = v;
    }

    kpt_handle_t h;
    kpt_ring_t ring;
    rc = kpt_init(KPT_API_VERSION);
    if (rc) return fail("kpt_init", rc);
    rc = kpt_open((uint32_t)port, 1, NULL, 64, 0, &h);
    if (rc) return fail("kpt_open", rc);
    rc = kpt_ring_open(h, &ring);
    if (rc) return fail("kpt_ring_open", rc);
    rc = kpt_start(h);
    if (rc) return fail("kpt_start", rc);

    printf("capturing on port %lu: up to %lu frames\n", port, want);
    fflush(stdout);
    unsigned long frames = 0, bytes = 0, bad = 0, backwards = 0;
    uint64_t last_ts = 0;
    double t0 = 0, t_last = 0, idle_since = now_s();
    while (frames < want) {
        kpt_recv_req req;
        rc = kpt_ring_recv(ring, 200, &req);
        if (rc == EAGAIN || rc == EINTR) {
            if (now_s() - idle_since > (double)idle_s) break;
            continue;
        }
        if (rc) {
            fail("kpt_ring_recv", rc);
            break;
        }
        t_last = idle_since = now_s();
        if (frames == 0) t0 = t_last;
        if (check_frame((const uint8_t *)req.pkt_addr, req.length)) {
            if (bad < 5) fprintf(stderr, "frame %lu (length %u) is not a test packet\n", frames, req.length);
            bad++;
        }
        if (req.timestamp < last_ts) backwards++;
        last_ts = req.timestamp;
        frames++;
        bytes += req.length;
    }

    kpt_ring_stats st;
    memset(&st, 0, sizeof st);
    rc = kpt_ring_getstats(ring, &st);
    if (rc) fail("kpt_ring_getstats", rc);
    double secs = t_last > t0 ? t_last - t0 : 0;
    printf("received %lu frames, %lu bytes in %.3f s", frames, bytes, secs);
    if (secs > 0)
        printf(": %.3f Mpps, %.3f Gbit/s", frames / secs / 1e6, bytes * 8.0 / secs / 1e9);
    printf("\n");
    printf("ring: delivered %llu, overflow %llu; port: received %llu, bytes %llu, dropped %llu\n",
           (unsigned long long)st.ring_pkt_recv, (unsigned long long)st.ring_pkt_overflow,
           (unsigned long long)st.nic_pkt_recv, (unsigned long long)st.nic_bytes_recv,
           (unsigned long long)st.nic_pkt_overflow);
    printf("verified: %lu bad frames, %lu timestamps out of order\n", bad, backwards);

    kpt_stop(h);
    kpt_ring_close(ring);
    kpt_close(h);
    int ok = frames > 0 && bad == 0 && backwards == 0;
    printf("%s\n", ok ? "demo passed" : "demo FAILED");
    return ok ? 0 : 1;
}
