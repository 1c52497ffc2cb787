/*
 * kpt_inj - generates UDP test traffic on one port from up to 8 threads, each
 * with its own injection handle.  Frames follow the test packet layout;
 * lengths and ports are fixed, stepped, or drawn from a per-thread table of
 * rand() values, and each thread may be paced to a bit or packet rate.
 */
#define _GNU_SOURCE /* thread affinity */
#include <errno.h>
#include <pthread.h>
#include <sched.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "kpt.h"
#include "kpt_test_common.h"
#include "zal_internal.h"

#define MAX_THREADS 8
#define RAND_TBL_SIZE 65536
#define FRAME_BUF_SIZE 16384
#define MIN_LEN 14
#define MAX_LEN 9000

#define F_HDR 0x4
#define F_LEN_RAND 0x8
#define F_LEN_SEQ 0x10
#define F_SRC_RAND 0x80
#define F_SRC_SEQ 0x100
#define F_DST_RAND 0x200
#define F_DST_SEQ 0x400
#define F_PACE_BYTES 0x800
#define F_PACE_PKTS 0x1000

typedef struct tx_params {
    uint32_t flags;
    uint32_t pld_len_min, pld_len_max; /* frame length minus the Ethernet header */
    uint32_t src_port_min, src_port_max;
    uint32_t dst_port_min, dst_port_max;
    uint32_t IPG, num_pkts;
} tx_params_t;

static tx_params_t tx_params = {0, 46, 46, 1234, 1234, 9, 9, 0, 0};
static uint64_t pkt_cnt;
static uint32_t runtime;
static volatile uint32_t send_done;
/* The -B and -P values, each its own: with both, -P paces, whatever the order. */
static double rate_gbps, rate_mpps;
static uint32_t verbose, board;
static int opt_affinity = 1;
static unsigned src_mac[6], dst_mac[6];
static uint32_t rand_tbl[MAX_THREADS][RAND_TBL_SIZE];
static int thread_failed[MAX_THREADS];

static const uint8_t frame_template[48] = {
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x08, 0x00,
    /* IPv4: total length 50, DF, TTL 64, UDP, 10.42.42.11 -> 10.42.42.10 */
    0x45, 0x00, 0x00, 0x32, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11, 0xd2, 0x52,
    0x0a, 0x2a, 0x2a, 0x0b, 0x0a, 0x2a, 0x2a, 0x0a,
    /* UDP ports, length, checksum; filled per frame */
    0x04, 0xd2, 0x00, 0x09, 0x00, 0x1a, 0x00, 0x00,
    0x70, 0x6b, 0x74, 0x20, 0x30, 0x30};

static void usage(void)
{
    puts("Usage: kpt_inj [-v] [-b <board>] [-n <pkts>]");
    puts("    -v: verbose");
    puts("    -b <board>: Quor10G board number to use.");
    puts("    -n <pkts>: packet count (default: 0 - infinite)");
    puts("    -r <runtime>: only -r or -n can be specified");
    printf("    -T <threads>: number of threads (max %d)\n", MAX_THREADS);
    puts("    -E <mac src>-<mac dst>");
    puts("    -l <payload len>: can be <min>-<max>:{R|S} for rand or seq in range");
    puts("    -S: <src port>: can be <min>-<max>:{R|S} for rand or seq in range");
    puts("    -D: <dst port>: can be <min>-<max>:{R|S} for rand or seq in range");
    puts("    -B <x.y>: Replay at x.y Gbits/s (per thread, not aggregate))");
    puts("    -P <x.y>: Replay at x.y Mpps (per thread, not aggregate)");
    exit(1);
}

static uint64_t number_arg(int opt, const char *arg, uint64_t max)
{
    uint64_t v;
    if (option_u64(opt, arg, max, &v) != 0) usage();
    return v;
}

/* The texts of one range option's parse errors. */
struct range_msgs {
    const char *bad_number, *bad_iterator, *min_above_max;
};

/*
 * "N" or "MIN-MAX:R" / "MIN-MAX:S" into *lo, *hi and the random or
 * sequential flag.  Values above max are refused like an unreadable number.
 */
static void parse_range(const char *arg, uint32_t max, const struct range_msgs *m, uint32_t *lo,
                        uint32_t *hi, uint32_t *flags, uint32_t rand_flag, uint32_t seq_flag)
{
    char *end = NULL;
    errno = 0;
    unsigned long a = strtoul(arg, &end, 0);
    if (end == arg || errno || a > max || *arg == '-') {
        fprintf(stderr, "%s", m->bad_number);
        usage();
    }
    if (*end == '\0') {
        *lo = *hi = (uint32_t)a;
        return;
    }
    if (*end != '-') {
        fprintf(stderr, "%s", m->bad_number);
        usage();
    }
    const char *p = end + 1;
    errno = 0;
    unsigned long b = strtoul(p, &end, 0);
    if (end == p || errno || b > max || *p == '-') {
        fprintf(stderr, "%s", m->bad_number);
        usage();
    }
    if (*end != ':') {
        fprintf(stderr, "Invalid len seperator\n");
        usage();
    }
    if ((end[1] != 'R' && end[1] != 'S') || end[2] != '\0') {
        fprintf(stderr, "%s", m->bad_iterator);
        usage();
    }
    if (a > b) {
        fprintf(stderr, "%s", m->min_above_max);
        usage();
    }
    *lo = (uint32_t)a;
    *hi = (uint32_t)b;
    *flags |= end[1] == 'R' ? rand_flag : seq_flag;
}

static uint32_t myrand(int worker_id, uint32_t *idx, uint32_t mod)
{
    *idx = (*idx + 1) % RAND_TBL_SIZE;
    return rand_tbl[worker_id][*idx] % mod;
}

static void put_be16(uint8_t *p, uint32_t v)
{
    p[0] = (uint8_t)(v >> 8);
    p[1] = (uint8_t)v;
}

static void pin_to_cpu(int cpu)
{
    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(cpu, &set);
    /* Fewer CPUs than threads: the thread runs unpinned. */
    (void)pthread_setaffinity_np(pthread_self(), sizeof set, &set);
}

static void spin_until(zal_cycles_t start, double cycles)
{
    while ((double)(zal_get_cycles() - start) < cycles) {
    }
}

static void *work_thread(void *arg)
{
    int worker_id = (int)(intptr_t)arg;
    static __thread uint8_t pkt[FRAME_BUF_SIZE];
    const tx_params_t *tp = &tx_params;

    memset(pkt, 0, sizeof pkt);
    memcpy(pkt, frame_template, sizeof frame_template);
    for (int i = 0; i < 6; ++i) {
        pkt[i] = (uint8_t)dst_mac[i];
        pkt[6 + i] = (uint8_t)src_mac[i];
    }
    fill_payload(pkt + PKT_HDR_LEN, 4080 * 4, 0);
    if (opt_affinity) pin_to_cpu(worker_id % 8);
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, NULL);

    uint32_t pld_len_delta = tp->pld_len_max - tp->pld_len_min + 1;
    uint32_t src_port_delta = tp->src_port_max - tp->src_port_min + 1;
    uint32_t dst_port_delta = tp->dst_port_max - tp->dst_port_min + 1;
    uint32_t pkt_len = tp->pld_len_min + 14, src_port = tp->src_port_min,
             dst_port = tp->dst_port_min;
    uint32_t pld_len_incr = 0, src_port_incr = 0, dst_port_incr = 0, rand_idx = 0;

    double rate_f_delta = 0, pps_f_delta = 0;
    zal_cycles_t t_cyc_start = 0;
    if (tp->flags & (F_PACE_BYTES | F_PACE_PKTS)) {
        zal_cycles_counter_init();
        double cps = (double)zal_cycles_per_second();
        if (tp->flags & F_PACE_BYTES) rate_f_delta = cps / (rate_gbps * 1e9 * 0.125);
        if (tp->flags & F_PACE_PKTS) pps_f_delta = cps / (rate_mpps * 1e6);
    }

    kpt_inject_t injh;
    int rc = kpt_inject_open((int)board, 0, &injh);
    if (rc) {
        fprintf(stderr, "[%d] Can't open injection handle: %s\n", worker_id, strerror(rc));
        thread_failed[worker_id] = 1;
        return NULL;
    }

    uint64_t pkts_cnt = 0, bytes_cnt = 0;
    /* The pace starts with the first frame: time spent opening the handle
     * is no credit to be sent off in a burst above the rate. */
    if (tp->flags & (F_PACE_BYTES | F_PACE_PKTS)) t_cyc_start = zal_get_cycles();
    while (pkts_cnt < pkt_cnt && !send_done) {
        if (tp->flags) {
            if (tp->flags & F_LEN_RAND)
                pkt_len = tp->pld_len_min + myrand(worker_id, &rand_idx, pld_len_delta) + 14;
            else if (tp->flags & F_LEN_SEQ) {
                pkt_len = tp->pld_len_min + pld_len_incr + 14;
                pld_len_incr = (pld_len_incr + 1) % pld_len_delta;
            }
            pkt[44] = (uint8_t)(pkt_len >> 24);
            pkt[45] = (uint8_t)(pkt_len >> 16);
            pkt[46] = (uint8_t)(pkt_len >> 8);
            pkt[47] = (uint8_t)pkt_len;
            if (tp->flags & F_SRC_RAND)
                src_port = tp->src_port_min + myrand(worker_id, &rand_idx, src_port_delta);
            else if (tp->flags & F_SRC_SEQ) {
                src_port = tp->src_port_min + src_port_incr;
                src_port_incr = (src_port_incr + 1) % src_port_delta;
            }
            if (tp->flags & F_DST_RAND)
                dst_port = tp->dst_port_min + myrand(worker_id, &rand_idx, dst_port_delta);
            else if (tp->flags & F_DST_SEQ) {
                dst_port = tp->dst_port_min + dst_port_incr;
                dst_port_incr = (dst_port_incr + 1) % dst_port_delta;
            }
        }
        if (tp->flags & F_PACE_PKTS)
            spin_until(t_cyc_start, (double)pkts_cnt * pps_f_delta);
        else if (tp->flags & F_PACE_BYTES)
            spin_until(t_cyc_start, (double)bytes_cnt * rate_f_delta);

        /* Frames under 34 bytes have no UDP header to speak of: their
         * UDP length wraps in the 16-bit field, as the template shows. */
        put_be16(pkt + 38, pkt_len - 34);
        put_be16(pkt + 34, src_port);
        put_be16(pkt + 36, dst_port);
        if (verbose) fprintf(stderr, "pkt len %u\n", pkt_len);

        do {
            rc = kpt_inject_send(injh, 0, 0, pkt, pkt_len);
        } while ((rc == EINTR || rc == EAGAIN) && !send_done);
        if (rc != 0) {
            if (rc != EINTR && rc != EAGAIN) {
                fprintf(stderr, "[%d] kpt_inject_send error %d (%s)\n", worker_id, rc,
                        strerror(rc));
                thread_failed[worker_id] = 1;
            }
            break;
        }
        pkts_cnt++;
        bytes_cnt += pkt_len;
    }

    rc = kpt_inject_close(injh);
    if (rc) fprintf(stderr, "[%d] Can't close inject handle: %s\n", worker_id, strerror(rc));
    return NULL;
}

int main(int argc, char **argv)
{
    static const struct range_msgs src_msgs = {"Invalid source port size\n\n",
                                               "Invalid source port iterator\n\n",
                                               "\nMinimum src port greater than max\n\n"};
    static const struct range_msgs dst_msgs = {"Invalid destination port size\n\n",
                                               "Invalid destination port iterator\n\n",
                                               "\nMinimum dst port greater than max\n\n"};
    static const struct range_msgs len_msgs = {"Invalid Packet size\n\n", "Invalid len iterator\n\n",
                                               "\nMinimum Packet size greater than max\n\n"};
    int opt, have_n = 0, have_r = 0, num_seeds = 0;
    uint32_t num_threads = 1, seeds[MAX_THREADS];
    uint32_t len_min, len_max;

    opterr = 0; /* the programs word their own complaint */
    while ((opt = getopt(argc, argv, "vb:n:T:E:l:r:HS:D:B:P:Fe:")) != -1) {
        switch (opt) {
        case 'v':
            verbose = 1;
            break;
        case 'b':
            board = (uint32_t)number_arg(opt, optarg, INT32_MAX);
            break;
        case 'n':
            pkt_cnt = number_arg(opt, optarg, UINT64_MAX);
            have_n = 1;
            break;
        case 'T':
            num_threads = (uint32_t)number_arg(opt, optarg, UINT32_MAX);
            if (num_threads > MAX_THREADS) {
                fprintf(stderr, "Invalid number of threads (%d, max:%d)\n", (int)num_threads,
                        MAX_THREADS);
                exit(1);
            }
            break;
        case 'E': {
            const char *end;
            if (parse_mac(optarg, src_mac, &end) != 0 || *end != '-' ||
                parse_mac(end + 1, dst_mac, NULL) != 0) {
                fprintf(stderr, "\nInvalid mac address\n");
                usage();
            }
            break;
        }
        case 'l':
            /* Lengths are read as frame lengths; the limits follow. */
            parse_range(optarg, UINT32_MAX, &len_msgs, &len_min, &len_max, &tx_params.flags,
                        F_LEN_RAND, F_LEN_SEQ);
            if (len_min < MIN_LEN) {
                fprintf(stderr, "\nMinimum payload size must be greater than 14\n\n");
                usage();
            }
            if (len_max > MAX_LEN) {
                fprintf(stderr, "\nMaximum payload size must be less than %d\n\n", MAX_LEN - 14);
                usage();
            }
            tx_params.pld_len_min = len_min - 14;
            tx_params.pld_len_max = len_max - 14;
            break;
        case 'r':
            runtime = (uint32_t)number_arg(opt, optarg, UINT32_MAX);
            have_r = 1;
            break;
        case 'H':
            tx_params.flags |= F_HDR;
            break;
        case 'S':
            parse_range(optarg, 65535, &src_msgs, &tx_params.src_port_min, &tx_params.src_port_max,
                        &tx_params.flags, F_SRC_RAND, F_SRC_SEQ);
            break;
        case 'D':
            parse_range(optarg, 65535, &dst_msgs, &tx_params.dst_port_min, &tx_params.dst_port_max,
                        &tx_params.flags, F_DST_RAND, F_DST_SEQ);
            break;
        case 'B':
        case 'P': {
            double v;
            char extra;
            int ok = sscanf(optarg, "%lg%c", &v, &extra) == 1;
            if (opt == 'B' && (!ok || !(v > 0 && v <= 10.0))) {
                puts("Bandwidth in Gbps must be >0 and <10.0");
                usage();
            }
            if (opt == 'P' && (!ok || !(v > 0 && v <= 100.0))) {
                puts("Rate in Mpps must be >0 and <100.0");
                usage();
            }
            if (opt == 'B')
                rate_gbps = v;
            else
                rate_mpps = v;
            tx_params.flags |= opt == 'B' ? F_PACE_BYTES : F_PACE_PKTS;
            break;
        }
        case 'F':
            opt_affinity = 0;
            break;
        case 'e':
            if (num_seeds >= MAX_THREADS) {
                printf("Too many seeds specified (max: %d)\n", MAX_THREADS);
                usage();
            }
            seeds[num_seeds++] = (uint32_t)number_arg(opt, optarg, UINT32_MAX);
            break;
        default:
            printf("Unknown option: %c\n", optopt);
            usage();
        }
    }
    if (have_n == have_r) {
        printf("Only set one of '-r' and '-n'\n");
        usage();
    }
    if (have_r) pkt_cnt = ~0ull;

    int rc = kpt_init(8);
    if (rc) {
        errno = rc;
        perror("Can't initialize kpt");
        return 1;
    }

    if (tx_params.flags & (F_LEN_RAND | F_SRC_RAND | F_DST_RAND)) {
        uint32_t now = (uint32_t)time(NULL);
        for (uint32_t j = 0; j < num_threads; ++j) {
            uint32_t seed = (int)j < num_seeds ? seeds[j] : now + j;
            srand(seed);
            printf("[%d] seed %u\n", (int)j, seed);
            for (int i = 0; i < RAND_TBL_SIZE; ++i) rand_tbl[j][i] = (uint32_t)rand();
        }
        fflush(stdout);
    }

    pthread_t threads[MAX_THREADS];
    for (uint32_t j = 0; j < num_threads; ++j) {
        if (pthread_create(&threads[j], NULL, work_thread, (void *)(intptr_t)j) != 0) {
            perror("pthread_create");
            exit(1);
        }
    }
    if (have_r) {
        struct timeval start, now;
        gettimeofday(&start, NULL);
        do {
            sleep(1);
            gettimeofday(&now, NULL);
        } while ((uint64_t)(now.tv_sec - start.tv_sec) < runtime);
        send_done = 1;
    }
    int status = 0;
    for (uint32_t j = 0; j < num_threads; ++j) {
        pthread_join(threads[j], NULL);
        /* A thread that could not open its handle or stopped on a send
         * error sent less than asked: the run failed. */
        if (thread_failed[j]) status = 1;
    }
    return status;
}
