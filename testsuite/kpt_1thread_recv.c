/*
 * kpt_1thread_recv - receives on one port with one ring in a single loop and
 * checks what arrives: the test payload, timestamps that never step back,
 * timestamps against the system clock, a destination filter; optionally
 * reinjects every accepted frame out of the receiving port.
 *
 * Signal handlers only raise flags.  The loop acts on them: a blocked
 * receive returns EINTR when a signal arrives, and SIGALRM comes every
 * second, so a flag waits at most that long.  Printing or calling into the
 * library from a handler could deadlock on a lock the loop holds.
 */
#include <errno.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include "kpt.h"
#include "kpt_test_common.h"

#define TS_PKT_ITVL 100000u /* packets between system-clock comparisons */
#define DIFF_TOL 125u       /* us a timestamp may differ from the system clock */
#define PCT_TOL 5           /* share of comparisons that may fail, percent */

struct itvl_stats {
    uint64_t usecs, bytes, pkts;
};

static uint64_t act_pkts, act_bytes, reinj_pkts, mac_filter_cnt;
static int mac_filter, periodic_stats, runtime_expired;
/* The run time is measured on the clock the alarm runs on: on the time of
 * day, which may be slewed, the alarm that ends the run could find it a
 * hair short and leave it to the next one. */
static uint64_t exp_runtime_usecs = 864000000000ull, start_usecs;
static kpt_ring_t hring;
static struct itvl_stats itvl[2];
static unsigned itvl_idx;

static volatile sig_atomic_t sig_alarm, sig_usr1, sig_exit;

static uint64_t mono_usecs(void)
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return (uint64_t)ts.tv_sec * 1000000u + (uint64_t)ts.tv_nsec / 1000u;
}

static void on_alarm(int sig)
{
    (void)sig;
    sig_alarm = 1;
    alarm(1);
}
static void on_usr1(int sig) { (void)sig; sig_usr1 = 1; }
static void on_exit_signal(int sig) { (void)sig; sig_exit = 1; }

static void usage(void)
{
    puts("Usage: kpt_1thread_recv [-p <board number>] [-r <runtime>] [-n <num pkts>]");
    puts("      [-E <src_eth>] [-d <ring sz>] [-S <snap len>] [-v] [-t] [-V]");
    puts("   -p <board number>: Quor10G port number to use.");
    puts("       -n <num pkts>: number of packet to receive (default: 0 - infinite)");
    puts("         -r runtime>: seconds to run test");
    puts("                  -p: poll for packets instead of blocking");
    puts("        -d <ring sz>: size if the recieve ring in bytes");
    puts("       -S <snap len>: display first <snap len> bytes of each packet");
    puts("                  -v: verbose");
    puts("                  -t: print periodic statistics");
    puts("                  -E: Accept only this dst mac");
    puts("                  -V: packet verification level. -V for len verify only,");
    puts("                      -V -V len + payload. **Assumes custom header");
    puts("    -R <port number>: reinject every received packet on port <portnum>");
    puts("                  -f: reinject using kpt_inject_send_v");
    exit(1);
}

static uint64_t number_arg(int opt, const char *arg, uint64_t max)
{
    uint64_t v;
    if (option_u64(opt, arg, max, &v) != 0) usage();
    return v;
}

static void stats(void)
{
    kpt_ring_stats st;
    memset(&st, 0, sizeof st);
    int rc = kpt_ring_getstats(hring, &st);
    if (rc != 0) {
        errno = rc;
        perror("nic stats failed");
    }
    printf("pkts_app %lu\n", (unsigned long)act_pkts);
    printf("pkts_reinj %lu\n", (unsigned long)reinj_pkts);
    printf("pkts_ring %lu\n", (unsigned long)st.ring_pkt_recv);
    printf("pkts_nic_ovfl %lu\n", (unsigned long)st.nic_pkt_overflow);
    printf("pkts_ring_ovfl %lu\n", (unsigned long)st.ring_pkt_overflow);
    printf("pkts_bad %lu\n", (unsigned long)st.nic_pkt_bad);
    if (mac_filter) printf("pkts_mac_filtered %lu\n\n", (unsigned long)mac_filter_cnt);
    fflush(stdout);
}

static void print_periodic_stats(uint64_t this_usecs)
{
    if (act_pkts == 0) return;
    struct itvl_stats *cur = &itvl[itvl_idx], *last = &itvl[itvl_idx ^ 1];
    cur->usecs = this_usecs;
    cur->bytes = act_bytes;
    cur->pkts = act_pkts;
    if (cur->pkts != last->pkts) {
        float delta_secs = (float)(this_usecs - last->usecs) / 1e6f;
        uint64_t dpkts = cur->pkts - last->pkts, dbytes = cur->bytes - last->bytes;
        float gbps = (float)dbytes * 8 / delta_secs / 1e9f;
        printf("time  %.3f pkts %lu pkt_sz %lu bw %6.3f\n", delta_secs, (unsigned long)dpkts,
               (unsigned long)(dbytes / dpkts), gbps);
        fflush(stdout);
    }
    itvl_idx ^= 1;
}

/* Acts on the signals that arrived since the last call. */
static void service_signals(void)
{
    if (sig_alarm) {
        sig_alarm = 0;
        if (mono_usecs() - start_usecs >= exp_runtime_usecs) runtime_expired = 1;
        if (periodic_stats) print_periodic_stats(now_usecs());
    }
    if (sig_usr1) {
        sig_usr1 = 0;
        stats();
    }
    if (sig_exit) {
        stats();
        exit(0);
    }
}

static int lib_fail(int rc, const char *msg)
{
    errno = rc;
    perror(msg);
    return -1;
}

int main(int argc, char **argv)
{
    int opt, rc;
    int timeout_ms = -1, snap_print = 0, pkt_verify = 0, verbose = 0, use_fragments = 0;
    int reinject = -1, compare_timestamps = 0, check_timestamps = 0;
    uint64_t exp_pkts = ~0ull, dataring_sz = 0;
    uint32_t portnum = 0;
    unsigned src_mac[6] = {0};

    opterr = 0; /* the programs word their own complaint */
    while ((opt = getopt(argc, argv, "b:cCd:n:p:T:r:R:S:tvVE:f")) != -1) {
        switch (opt) {
        case 'b':
        case 'p':
            portnum = (uint32_t)number_arg(opt, optarg, UINT32_MAX);
            break;
        case 'c':
            compare_timestamps = 1;
            break;
        case 'C':
            check_timestamps = 1;
            break;
        case 'd':
            dataring_sz = number_arg(opt, optarg, UINT64_MAX);
            break;
        case 'n':
            exp_pkts = number_arg(opt, optarg, UINT64_MAX);
            break;
        case 'T':
            timeout_ms = 0;
            break;
        case 'r':
            exp_runtime_usecs = number_arg(opt, optarg, UINT64_MAX / 1000000) * 1000000;
            break;
        case 'R': {
            /* Any integer; a negative one leaves reinjection off. */
            char *end = NULL;
            errno = 0;
            long v = strtol(optarg, &end, 0);
            if (errno || end == optarg || *end) {
                fprintf(stderr, "Invalid value for -%c: %s\n", opt, optarg);
                usage();
            }
            reinject = v >= 0 ? 0 : -1;
            break;
        }
        case 'S':
            snap_print = (int)number_arg(opt, optarg, 65535);
            break;
        case 't':
            periodic_stats = 1;
            break;
        case 'v':
            verbose = 1;
            break;
        case 'V':
            pkt_verify = 1;
            break;
        case 'E':
            if (parse_mac(optarg, src_mac, NULL) != 0) {
                fprintf(stderr, "\nInvalid mac address\n");
                usage();
            }
            mac_filter = 1;
            break;
        case 'f':
            use_fragments = 1;
            break;
        default:
            printf("Unknown option: %c\n", optopt);
            usage();
        }
    }

    kpt_handle_t hkpt;
    kpt_inject_t hinj = NULL;
    kpt_timesource_state tstate;
    rc = kpt_init(8);
    if (rc) return lib_fail(rc, "Can't initialize kpt");
    rc = kpt_open(portnum, -1, NULL, dataring_sz, -1, &hkpt);
    if (rc) return lib_fail(rc, "Can't open kpt for sniffing");
    rc = kpt_ring_open(hkpt, &hring);
    if (rc) return lib_fail(rc, "Can't open a receive ring for sniffing");
    if (reinject >= 0) {
        rc = kpt_inject_open((int)portnum, 0, &hinj);
        if (rc) return lib_fail(rc, "Can't re-inject packets from ring");
    }
    rc = kpt_start(hkpt);
    if (rc) return lib_fail(rc, "Can't start packet capture for sniffing");
    rc = kpt_get_timesource_state(hkpt, &tstate);
    if (rc) return lib_fail(rc, "Can't get timesource status");

    int check_gtod = 1;
    if (tstate != KPT_TIMESOURCE_LOCAL) {
        check_gtod = 0;
        fprintf(stderr, "SYNC detected, skipping gettimeofday comparison\n");
    }

    printf("receiving\n");
    fflush(stdout);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sigemptyset(&sa.sa_mask);
    /* No SA_RESTART: a blocked receive must come back with EINTR. */
    sa.sa_handler = on_exit_signal;
    if (sigaction(SIGINT, &sa, NULL) || sigaction(SIGTERM, &sa, NULL)) exit(1);
    sa.sa_handler = on_alarm;
    if (sigaction(SIGALRM, &sa, NULL)) exit(1);
    sa.sa_handler = on_usr1;
    if (sigaction(SIGUSR1, &sa, NULL)) exit(1);

    int inspect_pkt = verbose || snap_print > 0 || pkt_verify;
    int record_ts = compare_timestamps || check_timestamps;

    uint64_t now = now_usecs();
    memset(itvl, 0, sizeof itvl);
    itvl[itvl_idx].usecs = now;
    start_usecs = mono_usecs();
    itvl_idx ^= 1;
    alarm(1);
    if (periodic_stats) {
        itvl[itvl_idx].usecs = now;
        itvl_idx ^= 1;
    }

    uint64_t ts_cur = 0, ts_last = 0, first_ts = 0, last_diff = 0;
    unsigned num_checks = 0, num_fails = 0;
    int first_pkt = 1, recv_failed = 0;
    kpt_pkt_fragment vec[2];
    unsigned char hdr[64];
    uint32_t mac_lsw = (uint32_t)src_mac[2] | (uint32_t)src_mac[3] << 8 |
                       (uint32_t)src_mac[4] << 16 | (uint32_t)src_mac[5] << 24;

    for (;;) {
        kpt_recv_req req;
        /* The alarm that ends the run interrupts a blocked receive: its
         * flag is acted on and the run time tested before waiting again,
         * or a blocking run would last until the next alarm. */
        service_signals();
        if (runtime_expired || act_pkts >= exp_pkts) break;
        rc = kpt_ring_recv(hring, timeout_ms, &req);
        if (rc == EINTR || rc == EAGAIN) continue;
        if (rc != 0) {
            fprintf(stderr, "error: kpt_recv = %d (%s)\n", rc, strerror(rc));
            recv_failed = 1;
            break;
        }
        const unsigned char *pkt = (const unsigned char *)req.pkt_addr;
        if (first_pkt) ts_last = first_ts = req.timestamp;

        if (mac_filter) {
            uint32_t dst = req.length >= 6 ? (uint32_t)pkt[2] | (uint32_t)pkt[3] << 8 |
                                                 (uint32_t)pkt[4] << 16 | (uint32_t)pkt[5] << 24
                                           : ~mac_lsw;
            if (dst != mac_lsw) {
                mac_filter_cnt++;
                first_pkt = 0;
                continue;
            }
        }
        act_pkts++;
        act_bytes += req.length;

        if (record_ts) {
            ts_cur = req.timestamp;
            if (compare_timestamps && ts_cur - ts_last >= (1ull << 56)) {
                fprintf(stderr, "pkt %llu, neg ts!, last: %llx, cur: %llx, delta: %ld\n",
                        (unsigned long long)act_pkts, (unsigned long long)ts_last,
                        (unsigned long long)ts_cur, (long)(int64_t)(ts_cur - ts_last));
                exit(1);
            }
            if (check_timestamps && check_gtod && act_pkts % TS_PKT_ITVL == 0) {
                num_checks++;
                uint64_t tod = now_usecs(), hw = ts_cur / 1000;
                uint64_t diff = hw > tod ? hw - tod : tod - hw;
                if (diff > DIFF_TOL) {
                    num_fails++;
                    last_diff = diff;
                }
            }
        }

        if (hinj) {
            uint32_t hl = use_fragments ? get_hdr_len(pkt, req.length) : 0;
            if (hl > sizeof hdr) hl = 0;
            if (hl) {
                memcpy(hdr, pkt, hl);
                vec[0].ptr = hdr;
                vec[0].length = hl;
                vec[1].ptr = pkt + hl;
                vec[1].length = req.length - hl;
                rc = kpt_inject_send_v(hinj, 10, 0, vec, 2, req.length);
            } else {
                rc = kpt_inject_send(hinj, 10, 0, pkt, req.length);
            }
            if (rc == 0) reinj_pkts++;
        }

        if (inspect_pkt) {
            if (verbose)
                printf("%09llu pkt: %llu, len: %u\n",
                       (unsigned long long)(record_ts ? ts_cur - ts_last : first_ts),
                       (unsigned long long)act_pkts, req.length);
            if (pkt_verify && pkt_validate(pkt, req.length) != 0) {
                printf("packet %llu was messed up\n", (unsigned long long)act_pkts);
                fflush(stdout);
                exit(1);
            }
            if (snap_print > 0) {
                dump_data(pkt, (int)req.length < snap_print ? (int)req.length : snap_print);
                printf("\n");
            }
        }
        first_pkt = 0;
        ts_last = ts_cur;
    }

    service_signals();
    stats();
    if (num_fails > 0) {
        fprintf(stderr, "unsynchronized ts (%d/%d), tol %dus, last diff: %llu\n", num_fails,
                num_checks, DIFF_TOL, (unsigned long long)last_diff);
        if (num_fails * 20 > num_checks) {
            fprintf(stderr, "error: >%d percent out of sync!\n", PCT_TOL);
            exit(1);
        }
    }
    if (hinj) {
        rc = kpt_inject_close(hinj);
        if (rc) return lib_fail(rc, "Can't close inject ring");
    }
    rc = kpt_ring_close(hring);
    if (rc) return lib_fail(rc, "Can't close receive ring");
    rc = kpt_close(hkpt);
    if (rc) return lib_fail(rc, "Can't close sniffer device");
    /* A receive error ended the run early: that is a failure. */
    return recv_failed ? 1 : 0;
}
