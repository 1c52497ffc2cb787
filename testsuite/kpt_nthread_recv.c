/*
 * kpt_nthread_recv - receive throughput with several worker threads, one
 * ring each, on one board or one worker per board.  Workers count, can
 * verify, filter, reinject, reflect non-IP traffic to the host stack, dump
 * bytes and burn a synthetic per-packet time; a periodic report gives rates
 * and a final report the per-ring counters.
 *
 * Signals: workers block them all.  The main thread blocks the ones it
 * serves too and takes them with sigtimedwait, so reports are printed from
 * ordinary code, never from a handler that might interrupt a print or hold
 * a lock the interrupted code needs.
 *
 * Cancellation: a worker that sees the end of the run cancels the others,
 * which may be blocked in a receive for as long as the receive timeout.
 * Workers accept cancellation only inside kpt_ring_recv, so that none dies
 * holding the accounting mutex or the standard output lock.
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

#define MAX_WORKERS 32
#define MAX_BOARDS 8
#define ACCOUNT_PKTS 100000u

#define KPT_FAIL(rc)                                                                           \
    do {                                                                                       \
        fprintf(stderr, "KPT Failure at line %d: %s (errno=%d)\n", __LINE__, strerror(rc), rc); \
        exit(1);                                                                               \
    } while (0)

typedef struct board {
    int num;
    kpt_handle_t hkpt;
    kpt_netdev_reflect_t rkpt;
} board_t;

typedef struct worker {
    int worker_id;
    board_t *brd;
    kpt_ring_t hring;
    kpt_inject_t hinj;
    pthread_t thread_id;
    int started;
    uint64_t num_pkts, num_bytes, num_pkts_inject;
    uint64_t reflect_cnt, mac_filter_cnt; /* added to G when the worker ends */
} worker_t;

static struct {
    unsigned snap_print;
    uint64_t num_pkts, num_bytes, num_pkts_expected, exit_usecs;
    unsigned duration;
    int64_t delay_nsecs;
    unsigned validate, verbose;
    int recv_wait, reinject, reflect;
    unsigned num_workers, num_workers_ready, workers_done;
    unsigned expired;
    worker_t worker[MAX_WORKERS];
    int num_boards;
    board_t board[MAX_BOARDS];
    pthread_mutex_t wrk_mtx;
    pthread_cond_t wrk_cond;
    int thread_rc;
    struct timeval tv_last;
    uint64_t usecs_last;
    uint64_t mac_filter_cnt, reflect_cnt;
    int mac_filter;
    uint32_t src_mac_lsw;
    unsigned src_mac[6];
} G;

static struct {
    uint64_t pkts_last, pkts_delta, bytes_last, bytes_delta;
} wrk_pstats[MAX_WORKERS];

static int getout;

/* Flags and counters that one thread writes while others read them: whole
 * relaxed loads and stores, so a reader sees an old or a new value and the
 * access is no data race.  Nothing else is ordered by them. */
#define SHARED_LOAD(x) __atomic_load_n(&(x), __ATOMIC_RELAXED)
#define SHARED_STORE(x, v) __atomic_store_n(&(x), (v), __ATOMIC_RELAXED)
static pthread_mutex_t exit_mtx = PTHREAD_MUTEX_INITIALIZER;
static int exit_once;
/* A worker saw a frame fail verification (under wrk_mtx): the run fails,
 * whatever the workers that go on receiving end with. */
static int invalid_seen;

static void usage(const char *progname)
{
    printf("usage: %s [options]\n\n", progname);
    puts(" options:");
    puts(" -b <bnum>[,<bnum>...]: Quor10G board number or numbers to use. If");
    puts("                        multiple, 1 thread/board is used");
    puts("      -w <num workers>: number of threads (default: 1)");
    puts("         -n <num pkts>: number of packet to receive (default: 0 - infinite)");
    puts("                    -t: show periodic stats, every second");
    puts("                    -V: validate incoming packets");
    puts("                    -v: verbose, or -vv very verbose");
    puts("                    -a: reflect ARP and ICMP packets to netdev");
    puts("          -d <ring sz>: size of the receive ring in bytes, or megabyte");
    puts("         -D <nanosecs>: add <nanosecs> of synthetic processing delay in packet handling");
    puts("            -W <msecs>: timeout of <msecs> in blocking receive calls");
    puts("         -S <snap len>: display first <snap len> bytes of each packet");
    puts("     -R <board number>: reinject every received packet on board <boardnum>");
    puts("");
    exit(1);
}

/* Custom receive-side scaling: every packet refused. */
static int kpt__stupid_hash1(kpt_recv_req *req, void *context, uint32_t *hash_val_o)
{
    (void)req;
    (void)context;
    *hash_val_o = 0;
    return -1;
}

/* Custom receive-side scaling: the UDP/TCP source port of an untagged IPv4
 * frame with a 20-byte header. */
static int kpt__stupid_hash2(kpt_recv_req *req, void *context, uint32_t *hash_val_o)
{
    const uint8_t *p = (const uint8_t *)req->pkt_addr;
    (void)context;
    *hash_val_o = req->length >= 36 ? (uint32_t)(p[34] << 8 | p[35]) : 0;
    return 0;
}

static uint64_t number_arg(const char *progname, int opt, const char *arg, uint64_t max)
{
    uint64_t v;
    if (option_u64(opt, arg, max, &v) != 0) usage(progname);
    return v;
}

static void parse_boards(const char *progname, const char *arg)
{
    const char *p = arg;
    G.num_boards = 0;
    for (;;) {
        char *end = NULL;
        errno = 0;
        unsigned long v = strtoul(p, &end, 0);
        if (end == p || errno || *p == '-' || *p == '+') {
            fprintf(stderr, "\nInvalid board number: %s\n", p);
            usage(progname);
        }
        if (v >= MAX_BOARDS) {
            fprintf(stderr, "\nInvalid board number: %d\n", v > 0x7fffffff ? -1 : (int)v);
            usage(progname);
        }
        if (G.num_boards == MAX_BOARDS) {
            fprintf(stderr, "\nToo many board numbers (max: %d)\n", MAX_BOARDS);
            usage(progname);
        }
        G.board[G.num_boards++].num = (int)v;
        if (*end == '\0') return;
        p = end + 1; /* any single separator */
    }
}

static void print_periodic_stats(void)
{
    struct timeval tv;
    gettimeofday(&tv, NULL);
    uint64_t now = (uint64_t)tv.tv_sec * 1000000u + (uint64_t)tv.tv_usec;

    uint64_t pkts = 0, bytes = 0;
    /* Main's ticks and a worker's report after an invalid frame may meet. */
    pthread_mutex_lock(&G.wrk_mtx);
    uint64_t prev = G.usecs_last;
    G.usecs_last = now;
    G.tv_last = tv;
    for (unsigned i = 0; i < G.num_workers; ++i) {
        uint64_t p = SHARED_LOAD(G.worker[i].num_pkts), b = SHARED_LOAD(G.worker[i].num_bytes);
        wrk_pstats[i].pkts_delta = p - wrk_pstats[i].pkts_last;
        wrk_pstats[i].bytes_delta = b - wrk_pstats[i].bytes_last;
        wrk_pstats[i].pkts_last = p;
        wrk_pstats[i].bytes_last = b;
        pkts += wrk_pstats[i].pkts_delta;
        bytes += wrk_pstats[i].bytes_delta;
    }
    if (G.duration && !G.expired) {
        if (G.exit_usecs == 0)
            G.exit_usecs = now + (uint64_t)G.duration * 1000000u;
        else if (now >= G.exit_usecs)
            SHARED_STORE(G.expired, 1u);
    }
    pthread_mutex_unlock(&G.wrk_mtx);

    if (pkts == 0) return;
    float delta_secs = (float)(now - prev) / 1e6f;
    if (G.verbose) {
        for (unsigned i = 0; i < G.num_workers; ++i) {
            uint64_t p = wrk_pstats[i].pkts_delta, b = wrk_pstats[i].bytes_delta;
            if (p == 0) continue;
            printf("[%u] %lu pkts (%luB) in %.3f secs (%u pps), Avg Pkt: %lu, BW (Gbps): %6.3f\n", i,
                   (unsigned long)p, (unsigned long)b, delta_secs, (unsigned)(p / delta_secs),
                   (unsigned long)(b / p), b * 8 / delta_secs / 1e9);
        }
    }
    printf("%lu pkts (%luB) in %.3f secs (%u pps), Avg Pkt: %lu, BW (Gbps): %6.3f\n",
           (unsigned long)pkts, (unsigned long)bytes, delta_secs, (unsigned)(pkts / delta_secs),
           (unsigned long)(bytes / pkts), bytes * 8 / delta_secs / 1e9);
    fflush(stdout);
}

static void stats(void)
{
    kpt_ring_stats rs;
    kpt_inject_stats is;
    int have_rs = 0;
    uint64_t pkts = 0, bytes = 0, nic_send = 0;
    memset(&rs, 0, sizeof rs);
    for (unsigned i = 0; i < G.num_workers; ++i) {
        worker_t *w = &G.worker[i];
        kpt_ring_stats s;
        if (w->hring && kpt_ring_getstats(w->hring, &s) == 0) {
            printf("Ring %d Packets received,    ring:%12lu, app:%12lu, overflow:%12lu\n", (int)i,
                   (unsigned long)s.ring_pkt_recv, (unsigned long)w->num_pkts,
                   (unsigned long)s.ring_pkt_overflow);
            rs = s;
            have_rs = 1;
        } else {
            printf("[%u] %lu pkts, %lu bytes\n", i, (unsigned long)w->num_pkts,
                   (unsigned long)w->num_bytes);
        }
        if (w->hinj && kpt_inject_getstats(w->hinj, &is) == 0) {
            printf("Ring %d Packets reinjected,  ring:%12lu\n", (int)i,
                   (unsigned long)is.inj_pkt_send);
            nic_send = is.nic_pkt_send;
        }
        pkts += w->num_pkts;
        bytes += w->num_bytes;
    }
    if (have_rs) {
        printf("KPT dropped overflow shared: %12lu\n", (unsigned long)rs.kpt_pkt_overflow);
        printf("NIC dropped overflow HW    : %12lu\n", (unsigned long)rs.nic_pkt_overflow);
        printf("NIC dropped bad PHY/CRC    : %12lu\n", (unsigned long)rs.nic_pkt_bad);
        printf("NIC send packets           : %12lu\n\n", (unsigned long)nic_send);
    }
    if (G.mac_filter) printf("Mac filtered               : %12lu\n", (unsigned long)G.mac_filter_cnt);
    if (G.reflect) printf("Reflected to netdev        : %12lu\n", (unsigned long)G.reflect_cnt);
    if (pkts == 0) return;
    printf("\n");
    printf("Total packets:                app:%12lu\n", (unsigned long)pkts);
    printf("Average Packet Length:        app:%12lu bytes\n\n", (unsigned long)(bytes / pkts));
    printf("Total bytes:                  app:%12lu (%lu MB)\n", (unsigned long)bytes,
           (unsigned long)(bytes / 1048576));
    if (have_rs && rs.nic_bytes_recv > 12 * rs.nic_pkt_recv) {
        uint64_t raw = rs.nic_bytes_recv - 12 * rs.nic_pkt_recv;
        printf("Total raw bytes + HW align    nic:%12lu (%lu MB)\n", (unsigned long)raw,
               (unsigned long)(raw / 1048576));
    }
}

/* The final report, once, whoever asks first. */
static void sigexit_body(void)
{
    pthread_mutex_lock(&exit_mtx);
    if (!exit_once) {
        exit_once = 1;
        SHARED_STORE(getout, 1);
        stats();
        fflush(stdout);
    }
    pthread_mutex_unlock(&exit_mtx);
}

/* Cancels every worker but self; called with wrk_mtx held. */
static void cancel_others(const worker_t *self)
{
    /* Workers busy with traffic are in no receive wait to be cancelled
     * in: they stop at their next loop test. */
    SHARED_STORE(getout, 1);
    for (unsigned i = 0; i < G.num_workers; ++i) {
        worker_t *o = &G.worker[i];
        if (o == self || !o->started) continue;
        if (G.verbose && self) printf("[%d] killing worker %d\n", self->worker_id, (int)i);
        pthread_cancel(o->thread_id);
    }
}

/* The start-up barrier: the last worker to arrive starts every board. */
static int worker_ready(worker_t *w)
{
    int rc = 0;
    pthread_mutex_lock(&G.wrk_mtx);
    if (++G.num_workers_ready == G.num_workers) {
        pthread_mutex_unlock(&G.wrk_mtx);
        pthread_cond_broadcast(&G.wrk_cond);
        for (int b = 0; b < G.num_boards; ++b) {
            rc = kpt_start(G.board[b].hkpt);
            if (rc) {
                fprintf(stderr, "[%d] Can't start kpt: %s on board %d\n", w->worker_id,
                        strerror(rc), G.board[b].num);
                return rc;
            }
            if (G.verbose) printf("[%d] sniffing started on board %d\n", w->worker_id, G.board[b].num);
        }
        return 0;
    }
    while (G.num_workers_ready < G.num_workers) pthread_cond_wait(&G.wrk_cond, &G.wrk_mtx);
    pthread_mutex_unlock(&G.wrk_mtx);
    return 0;
}

/* Adds a worker's uncounted packets; 1 when the run is over. */
static int account(worker_t *w, uint64_t *local, int last_rc)
{
    int done = 0;
    pthread_mutex_lock(&G.wrk_mtx);
    G.num_pkts += *local;
    *local = 0;
    if (last_rc != EINTR && last_rc != EAGAIN) G.thread_rc = last_rc;
    if (G.num_pkts >= G.num_pkts_expected || G.expired || SHARED_LOAD(getout)) {
        if (G.verbose) printf("[%d] all %llu received\n", w->worker_id, (unsigned long long)G.num_pkts);
        cancel_others(w);
        done = 1;
    }
    pthread_mutex_unlock(&G.wrk_mtx);
    return done;
}

static void worker_body(worker_t *w)
{
    kpt_recv_req req;
    uint64_t local = 0;
    double cyc_itvl = 0;
    int rc = 0, old;

    cpu_set_t set;
    CPU_ZERO(&set);
    CPU_SET(w->worker_id % 16, &set);
    /* Fewer CPUs than workers: run unpinned. */
    (void)pthread_setaffinity_np(pthread_self(), sizeof set, &set);
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, NULL);

    rc = kpt_ring_open(w->brd->hkpt, &w->hring);
    if (rc) {
        fprintf(stderr, "[%d] Can't open ring %d: %s\n", w->worker_id, w->worker_id, strerror(rc));
        w->hring = NULL;
        /* Still counted at the barrier: the others must not wait for it. */
        worker_ready(w);
        goto end;
    }
    if (G.reinject >= 0) {
        rc = kpt_inject_open(G.reinject, 0, &w->hinj);
        if (rc) KPT_FAIL(rc);
    }
    rc = worker_ready(w);
    if (rc) goto end;
    if (G.verbose) {
        printf("[%u] ready\n", (unsigned)w->worker_id);
        fflush(stdout);
    }
    if (G.delay_nsecs > 0) {
        zal_cycles_counter_init();
        cyc_itvl = (double)((uint64_t)G.delay_nsecs * zal_cycles_per_second()) / 1e9;
    }

    while (!SHARED_LOAD(getout)) {
        int do_account = 0;
        if (SHARED_LOAD(G.expired)) {
            /* The run time is over: stop now, not at the next 100000. */
            do_account = 1;
        } else {
            pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, &old);
            int r = kpt_ring_recv(w->hring, G.recv_wait, &req);
            pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
            if (r == EINTR) {
                if (!SHARED_LOAD(G.expired)) continue;
                do_account = 1;
            } else if (r == EAGAIN) {
                rc = r;
                do_account = 1;
            } else if (r != 0) {
                fprintf(stderr, "[%d] unexpected kpt_ring_recv error %d (%s)\n", w->worker_id, r,
                        strerror(r));
                rc = r;
                goto end;
            }
            if (!do_account) {
                const uint8_t *pkt = (const uint8_t *)req.pkt_addr;
                SHARED_STORE(w->num_pkts, w->num_pkts + 1);
                SHARED_STORE(w->num_bytes, w->num_bytes + req.length);
                if (w->hinj) {
                    rc = kpt_inject_send(w->hinj, 10, 0, pkt, req.length);
                    if (rc == 0) w->num_pkts_inject++;
                }
                if (G.reflect && !is_udp_tcp(pkt, req.length)) {
                    int e = kpt_netdev_reflect(w->brd->rkpt, pkt, req.length);
                    if (e) KPT_FAIL(e);
                    w->reflect_cnt++;
                }
                local++;
                if (G.mac_filter) {
                    uint32_t dst = req.length >= 6 ? (uint32_t)pkt[2] | (uint32_t)pkt[3] << 8 |
                                                         (uint32_t)pkt[4] << 16 |
                                                         (uint32_t)pkt[5] << 24
                                                   : ~G.src_mac_lsw;
                    if (dst != G.src_mac_lsw) {
                        w->mac_filter_cnt++;
                        continue;
                    }
                }
                if (G.verbose && w->num_pkts % 10000 == 0) {
                    struct timespec ts;
                    clock_gettime(CLOCK_REALTIME, &ts);
                    uint64_t host = (uint64_t)ts.tv_sec * 1000000000u + (uint64_t)ts.tv_nsec;
                    if (G.verbose >= 2)
                        printf("%llu [%d], len: %u, ts_hw: %llu ts_host: %llu ts_diff:%lld\n",
                               (unsigned long long)w->num_pkts, w->worker_id, req.length,
                               (unsigned long long)req.timestamp, (unsigned long long)host,
                               (long long)(host - req.timestamp));
                }
                if (G.snap_print)
                    dump_data(pkt, (int)(req.length < G.snap_print ? req.length : G.snap_print));
                if (G.validate && pkt_validate(pkt, req.length) != 0) {
                    fprintf(stderr, "[%d] invalid packet\n", w->worker_id);
                    print_periodic_stats();
                    /* Only this worker ends: the others receive on, and the
                     * final report, printed once they have all stopped,
                     * holds what they counted after this frame too. */
                    pthread_mutex_lock(&G.wrk_mtx);
                    G.num_pkts += local;
                    local = 0;
                    invalid_seen = 1;
                    pthread_mutex_unlock(&G.wrk_mtx);
                    rc = 1;
                    goto end;
                }
                if (cyc_itvl > 0) {
                    zal_cycles_t c0 = zal_get_cycles();
                    while ((double)(zal_get_cycles() - c0) < cyc_itvl) {
                    }
                }
                if (local >= ACCOUNT_PKTS || SHARED_LOAD(G.expired)) do_account = 1;
            }
        }
        if (do_account && account(w, &local, rc)) break;
    }

end:
    pthread_mutex_lock(&G.wrk_mtx);
    if (rc != EINTR && rc != EAGAIN) G.thread_rc = rc;
    if (G.verbose) printf("[%d] exiting\n", w->worker_id);
    pthread_mutex_unlock(&G.wrk_mtx);
}

/* Runs when a worker ends, also when it is cancelled in a receive. */
static void worker_finished(void *arg)
{
    worker_t *w = (worker_t *)arg;
    pthread_mutex_lock(&G.wrk_mtx);
    G.reflect_cnt += w->reflect_cnt;
    G.mac_filter_cnt += w->mac_filter_cnt;
    G.workers_done++;
    pthread_mutex_unlock(&G.wrk_mtx);
}

static void *work_thread(void *arg)
{
    int old;
    pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old);
    pthread_cleanup_push(worker_finished, arg);
    worker_body((worker_t *)arg);
    pthread_cleanup_pop(1);
    return NULL;
}

int main(int argc, char **argv)
{
    const char *prog = argv[0];
    int opt, custom_hash = 0, periodic = 0;
    uint64_t dataring_sz = 0;

    memset(&G, 0, sizeof G);
    G.num_pkts_expected = ~0ull;
    G.recv_wait = 500;
    G.reinject = -1;
    G.num_workers = 1;
    G.num_boards = 1;

    opterr = 0; /* the programs word their own complaint */
    while ((opt = getopt(argc, argv, "b:p:tvVR:S:E:n:T:d:w:D:W:haH:")) != -1) {
        switch (opt) {
        case 'b':
        case 'p':
            parse_boards(prog, optarg);
            break;
        case 't':
            periodic = 1;
            break;
        case 'v':
            G.verbose++;
            break;
        case 'V':
            G.validate = 1;
            break;
        case 'R':
            G.reinject = (int)number_arg(prog, opt, optarg, 0x7fffffff);
            break;
        case 'S':
            G.snap_print = (unsigned)number_arg(prog, opt, optarg, 65535);
            break;
        case 'E':
            if (parse_mac(optarg, G.src_mac, NULL) != 0) {
                fprintf(stderr, "\nInvalid mac address\n");
                usage(prog);
            }
            G.mac_filter = 1;
            G.src_mac_lsw = (uint32_t)G.src_mac[2] | (uint32_t)G.src_mac[3] << 8 |
                            (uint32_t)G.src_mac[4] << 16 | (uint32_t)G.src_mac[5] << 24;
            break;
        case 'n':
            G.num_pkts_expected = number_arg(prog, opt, optarg, UINT64_MAX);
            break;
        case 'T':
            G.duration = (unsigned)number_arg(prog, opt, optarg, 0xffffffffu);
            break;
        case 'd':
            dataring_sz = number_arg(prog, opt, optarg, UINT64_MAX);
            break;
        case 'w': {
            uint64_t n = number_arg(prog, opt, optarg, 0xffffffffu);
            if (n > MAX_WORKERS) {
                printf("Invalid number of worker threads (%d, max:%d)\n", (int)n, MAX_WORKERS);
                exit(1);
            }
            G.num_workers = (unsigned)n;
            break;
        }
        case 'D':
            G.delay_nsecs = (int64_t)number_arg(prog, opt, optarg, INT64_MAX);
            break;
        case 'W': {
            char *end = NULL;
            errno = 0;
            long v = strtol(optarg, &end, 0);
            if (errno || end == optarg || *end || v < -1 || v > 0x7fffffff) {
                fprintf(stderr, "\nInvalid value for -W: %s\n", optarg);
                usage(prog);
            }
            G.recv_wait = (int)v;
            break;
        }
        case 'h':
            usage(prog);
            break;
        case 'a':
            G.reflect = 1;
            break;
        case 'H':
            if (strcmp(optarg, "1") != 0 && strcmp(optarg, "2") != 0) {
                fprintf(stderr, "Invalid custom hash number\n");
                exit(1);
            }
            custom_hash = optarg[0] - '0';
            break;
        default:
            fprintf(stderr, "ERROR: Unknown option: %c\n", optopt);
            usage(prog);
        }
    }
    if (G.num_boards > 1) {
        printf("Forcing number of workers equal to number of boards\n");
        G.num_workers = (unsigned)G.num_boards;
    }

    kpt_rss_params rss, *rss_p = NULL;
    if (custom_hash) {
        memset(&rss, 0, sizeof rss);
        rss.mode = KPT_RSS_FUNCTION;
        rss.params.rss_function.rss_hash_fn = custom_hash == 1 ? kpt__stupid_hash1 : kpt__stupid_hash2;
        rss.params.rss_function.rss_context = NULL;
        rss_p = &rss;
    }
    int rc = kpt_init(8);
    if (rc) KPT_FAIL(rc);
    int num_rings = G.num_boards == 1 ? (int)G.num_workers : 1;
    for (int b = 0; b < G.num_boards; ++b) {
        rc = kpt_open((uint32_t)G.board[b].num, num_rings, rss_p, dataring_sz, -1, &G.board[b].hkpt);
        if (rc) KPT_FAIL(rc);
        if (G.reflect) {
            rc = kpt_netdev_reflect_enable(G.board[b].hkpt, &G.board[b].rkpt);
            if (rc) KPT_FAIL(rc);
        }
    }

    /* The signals main serves are taken synchronously (see the top). */
    sigset_t served;
    sigemptyset(&served);
    sigaddset(&served, SIGINT);
    sigaddset(&served, SIGTERM);
    sigaddset(&served, SIGALRM);
    if (pthread_sigmask(SIG_BLOCK, &served, NULL) != 0) exit(1);
    pthread_mutex_init(&G.wrk_mtx, NULL);
    pthread_cond_init(&G.wrk_cond, NULL);
    G.num_workers_ready = 0;

    printf("Capture using %d boards, %d rings and %d threads. Default RSS hashing", G.num_boards,
           (int)G.num_workers, (int)G.num_workers);
    if (G.delay_nsecs)
        printf(", each thread spends an %d nanosecs of additional (synthetic) processing.\n",
               (int)G.delay_nsecs);
    else
        printf(".\n");
    fflush(stdout);

    /* The first interval starts now, ticking or not: a worker that sees an
     * invalid frame reports the interval up to it. */
    memset(wrk_pstats, 0, sizeof wrk_pstats);
    gettimeofday(&G.tv_last, NULL);
    G.usecs_last = (uint64_t)G.tv_last.tv_sec * 1000000u + (uint64_t)G.tv_last.tv_usec;

    pthread_mutex_lock(&G.wrk_mtx);
    for (unsigned i = 0; i < G.num_workers; ++i) {
        worker_t *w = &G.worker[i];
        w->worker_id = (int)i;
        w->brd = &G.board[i % (unsigned)G.num_boards];
        if (pthread_create(&w->thread_id, NULL, work_thread, w) != 0) {
            perror("pthread_create");
            exit(1);
        }
        w->started = 1;
    }
    pthread_mutex_unlock(&G.wrk_mtx);

    int ticking = periodic || G.duration;
    if (ticking) alarm(1);
    for (;;) {
        pthread_mutex_lock(&G.wrk_mtx);
        int all_done = G.workers_done == G.num_workers;
        pthread_mutex_unlock(&G.wrk_mtx);
        if (all_done) break;
        struct timespec tmo = {0, 50 * 1000000};
        int sig = sigtimedwait(&served, NULL, &tmo);
        if (sig == SIGALRM) {
            print_periodic_stats();
            alarm(1);
        } else if (sig == SIGINT || sig == SIGTERM) {
            /* The report follows once the workers have stopped, so that it
             * holds what they counted up to the end. */
            SHARED_STORE(getout, 1);
            pthread_mutex_lock(&G.wrk_mtx);
            cancel_others(NULL);
            pthread_mutex_unlock(&G.wrk_mtx);
        }
    }
    alarm(0);
    for (unsigned i = 0; i < G.num_workers; ++i) pthread_join(G.worker[i].thread_id, NULL);
    sigexit_body();
    fflush(stdout);

    for (unsigned i = 0; i < G.num_workers; ++i) {
        if (G.worker[i].hinj) {
            rc = kpt_inject_close(G.worker[i].hinj);
            if (rc) KPT_FAIL(rc);
        }
        if (G.worker[i].hring) {
            rc = kpt_ring_close(G.worker[i].hring);
            if (rc) KPT_FAIL(rc);
        }
    }
    for (int b = 0; b < G.num_boards; ++b) {
        rc = kpt_close(G.board[b].hkpt);
        if (rc) KPT_FAIL(rc);
    }
    return G.thread_rc == 0 && invalid_seen ? 1 : G.thread_rc;
}
