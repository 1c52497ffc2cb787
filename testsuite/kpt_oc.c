/*
 * kpt_oc - opens and closes a port over and over, optionally with a receive
 * ring and a start/stop of capture in every cycle, to exercise handle set-up
 * and teardown.
 *
 *   kpt_oc [-n cycles] [-b board] [-R rings] [-r rss_flags] [-d dataring]
 *          [-f flags] [-p] [-s] [-v]
 *
 * Settings left out reach the library unset, so its environment variables
 * apply.  The first failure is printed and its error number is the exit
 * status.
 */
#include <errno.h>
#include <limits.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kpt.h"
#include "prog_args.h"

/* Prints what failed and ends the program with its error number. */
static void fail(int rc, const char *what)
{
    errno = rc;
    perror(what);
    exit(rc);
}

int main(int argc, char **argv)
{
    long long cycles = 1, board = 0, rings = 0, rss_flags = 0, flags = -1;
    int64_t dataring = -1; /* all ones: unset */
    int use_rss = 0, open_rings = 0, start_stop = 0, verbose = 0, opt;
    kpt_rss_params rss;

    opterr = 0;
    while ((opt = getopt(argc, argv, ":n:b:R:r:d:f:psv")) != -1) {
        switch (opt) {
        case 'n': cycles = prog_number("kpt_oc", opt, optarg, INT_MIN, INT_MAX); break;
        case 'b': board = prog_number("kpt_oc", opt, optarg, INT_MIN, UINT32_MAX); break;
        case 'R': rings = prog_number("kpt_oc", opt, optarg, INT_MIN, INT_MAX); break;
        case 'r':
            rss_flags = prog_number("kpt_oc", opt, optarg, 0, UINT32_MAX);
            use_rss = 1;
            break;
        case 'd': dataring = (int64_t)prog_bits64("kpt_oc", opt, optarg); break;
        case 'f': flags = prog_number("kpt_oc", opt, optarg, INT_MIN, INT_MAX); break;
        case 'p': open_rings = 1; break;
        case 's':
            start_stop = 1;
            open_rings = 1;
            break;
        case 'v': verbose = 1; break;
        case ':':
            fprintf(stderr, "kpt_oc: option -%c needs an argument\n", optopt);
            return 1;
        default: printf("Unknown option: %c\n", optopt); break;
        }
    }

    memset(&rss, 0, sizeof rss);
    rss.mode = KPT_RSS_FLAGS;
    rss.params.rss_flags = (uint32_t)rss_flags;

    int rc = kpt_init(8);
    if (rc != 0) fail(rc, "kpt_init");
    if (verbose)
        printf("open/close %d times, nic: %d, flags:%d, rss:%d, rings:%d %s %s\n", (int)cycles,
               (int)board, (int)flags, use_rss ? (int)rss_flags : 0, (int)rings,
               open_rings ? "open rings" : "", start_stop ? "start/stop" : "");
    fflush(stdout);
    if (cycles < 1) return 0;

    for (long long i = 0; i < cycles; ++i) {
        kpt_handle_t h;
        kpt_ring_t r = NULL;
        rc = kpt_open((uint32_t)board, (int)rings, use_rss ? &rss : NULL, dataring,
                      (int)flags, &h);
        if (rc != 0) fail(rc, "kpt_open FAILED");
        if (open_rings && (rc = kpt_ring_open(h, &r)) != 0)
            fail(rc, "Can't open a receive ring for sniffing");
        if (start_stop) {
            if ((rc = kpt_start(h)) != 0) fail(rc, "Can't start packet capture for sniffing");
            if ((rc = kpt_stop(h)) != 0) fail(rc, "Can't stop packet capture for sniffing");
        }
        if (open_rings && (rc = kpt_ring_close(r)) != 0) fail(rc, "Can't close receive ring");
        if ((rc = kpt_close(h)) != 0) fail(rc, "Can't close sniffer device");
    }
    return 0;
}
