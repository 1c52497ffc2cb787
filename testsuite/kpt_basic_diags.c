/*
 * kpt_basic_diags - self-checks of the capture library's basic calls against
 * the installed adapters: the interface list, open variants, link and time
 * source, the receive timeout, injection and the cancellation of a blocked
 * receive.  One verdict line per check; the first failed check ends the
 * program with status 255, all passed with 0.
 *
 * The timeout check wants idle ports: on a group of ports, a packet on one
 * of them makes the group's receive return early.
 */
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdatomic.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "kpt.h"
#include "zal_internal.h"

#define MAX_PORTS 32
#define RECV_TIMEOUT_MS 500
#define TIMEOUT_ATTEMPTS 13
#define TIMEOUT_MIN_MS 490
#define TIMEOUT_MAX_MS 520
#define INJECT_FRAMES 2
#define CANCEL_RESEND_MS 20
#define CANCEL_GRACE_MS 5000

struct open_test {
    int portnum; /* -1: all valid ports, -2: all ports with a link up */
    const char *msg;
    int must_pass;
    int flags;
};

static const struct open_test tests[4] = {
    {0, "First port", 1, 0},
    {-1, "All valid ports", 1, KPT_F_AGGREGATE_PORTMASK},
    {-2, "All ports with a link up", 1, KPT_F_AGGREGATE_PORTMASK},
    {31, "Invalid port request", 0, 0},
};

static const char *const timesource_text[4] = {
    "timesource is local host (no external)",
    "external timesource UNSYNCED",
    "external timesource SYNCED",
    "external timestamp failure (OK for this test)",
};

struct t_cancel_fn_args {
    int ring_id;
    int rc;
    int num_recvd;
    kpt_ring_t hring;
    pthread_t thrid;
    int should_exit;
    atomic_int finished; /* set by the thread as it returns */
};

static const uint8_t zero_frame[9000];

/* Injection handles stay open until the program ends; kept here so that they
 * stay reachable. */
static kpt_inject_t inject_handles[MAX_PORTS];

/* perror() with a library result. */
static void lib_perror(int rc, const char *what)
{
    errno = rc;
    perror(what);
}

/* ---- 1. interface list ---- */

static void print_getifaddrs_reason(int rc)
{
    switch (rc) {
    case ENOENT: /* no device file at all: no driver either */
    case ENXIO:
    case ENODEV: puts("driver not loaded"); break;
    case EACCES: puts("can't read/write character device"); break;
    case EBUSY: puts("All ports are busy"); break;
    case EAGAIN: puts("No kpt ports detected"); break;
    default: printf("%s (errno=%d)\n", strerror(rc), rc); break;
    }
}

static void report_getifaddrs_failure(int rc)
{
    printf("test_getifaddrs() failed to return any kpt-capable devices: ");
    print_getifaddrs_reason(rc);
}

static int test_getifaddrs(void)
{
    kpt_ifaddrs *list = NULL;
    int rc = kpt_getifaddrs(&list);
    if (rc != 0) {
        report_getifaddrs_failure(rc);
        return -1;
    }
    int n = 0;
    for (kpt_ifaddrs *ifa = list; ifa; ifa = ifa->kpt_ifa_next, ++n) {
        const uint8_t *m = ifa->kpt_ifa_macaddr;
        int megabits = (int)(ifa->kpt_ifa_link_speed / 1000000);
        int gbps = megabits >= 1000;
        printf("%-12s portnum=%u mac_addr=%02x:%02x:%02x:%02x:%02x:%02x link_speed=%d %s\n",
               ifa->kpt_ifa_name, ifa->kpt_ifa_portnum, m[0], m[1], m[2], m[3], m[4], m[5],
               gbps ? megabits / 1000 : megabits, gbps ? "Gbps" : "Mbps");
    }
    printf("test_getifaddrs() found %d devices\n", n);
    kpt_freeifaddrs(list);
    return 0;
}

/* ---- 2. open and close ---- */

static int test_open_close(void)
{
    for (int t = 0; t < 4; ++t) {
        const struct open_test *row = &tests[t];
        uint32_t port = (uint32_t)row->portnum;
        int cnt = 0, rc;
        char label[256];

        if (row->portnum == -1) {
            if ((rc = kpt_getportmask_valid(&port, &cnt)) != 0) {
                printf("kpt_getportmask_valid failure=%d: %s\n", rc, strerror(rc));
                return -1;
            }
        } else if (row->portnum == -2) {
            if ((rc = kpt_getportmask_linkup(&port, &cnt)) != 0) {
                printf("kpt_getportmask_linkup failure=%d: %s\n", rc, strerror(rc));
                return -1;
            }
            if (port == 0) {
                printf("kpt_open test: %-30s Skipping since no ports are UP\n", row->msg);
                continue;
            }
        }
        if (row->portnum < 0)
            snprintf(label, sizeof label, "kpt_open test: %-30s portmask=%#8x", row->msg, port);
        else
            snprintf(label, sizeof label, "kpt_open test: %-30s portnum =%8d", row->msg,
                     row->portnum);

        kpt_handle_t h;
        kpt_ring_t r;
        rc = kpt_open(port, 1, NULL, 0, row->flags, &h);
        if (rc != 0) {
            printf("%s failure=%d: %s\n", label, rc, strerror(rc));
            if (!row->must_pass) {
                printf("%s does NOT have to pass\n", label);
                return 0;
            }
            return -1;
        }
        printf("%s successful\n", label);
        if ((rc = kpt_ring_open(h, &r)) != 0) {
            kpt_close(h);
            printf("%s kpt_ring_open() failure=%d: %s\n", label, rc, strerror(rc));
            return -1;
        }
        printf("%s kpt_ring_open() successful\n", label);
        /* A close that fails leaves the port held: later checks would trip
         * over it, so it fails here. */
        if ((rc = kpt_ring_close(r)) != 0) {
            kpt_close(h);
            printf("%s kpt_ring_close() failure=%d: %s\n", label, rc, strerror(rc));
            return -1;
        }
        if ((rc = kpt_close(h)) != 0) {
            printf("%s kpt_close() failure=%d: %s\n", label, rc, strerror(rc));
            return -1;
        }
    }
    return 0;
}

/* ---- 3. link and time source ---- */

static int test_link_timesource_state(void)
{
    for (int port = 0; port <= 8; ++port) {
        kpt_handle_t h;
        kpt_link_state link;
        kpt_timesource_state ts;
        int rc = kpt_open((uint32_t)port, 1, NULL, 0, 0, &h);
        if (rc == ENODEV) return 0; /* no more ports */
        if (rc != 0) {
            fprintf(stderr, "test_link_state on port %d: error, rc=%d\n", port, rc);
            return -1;
        }
        if ((rc = kpt_get_link_state(h, &link)) != 0) {
            lib_perror(rc, "Can't get link status");
            kpt_close(h);
            return -1;
        }
        if ((rc = kpt_get_timesource_state(h, &ts)) != 0) {
            lib_perror(rc, "Can't get timesource status");
            kpt_close(h);
            return -1;
        }
        if ((unsigned)ts > 3) {
            printf("unknown timesource state: %d\n", (int)ts);
            kpt_close(h);
            return -1;
        }
        printf("port=%d, link status is %s %s\n", port,
               link == KPT_LINK_DOWN ? "down" : link == KPT_LINK_UP ? "up" : "unknown",
               timesource_text[ts]);
        if ((rc = kpt_close(h)) != 0) {
            lib_perror(rc, "Can't close port");
            return -1;
        }
    }
    return 0;
}

/* ---- 4. receive timeout ---- */

static int elapsed_ms(zal_cycles_t start, zal_cycles_t end)
{
    const zal_cycles_t cps = zal_cycles_per_second();
    const zal_cycles_t d = end - start;
    if (cps == 0) return -1;
    /* Whole seconds apart first: d * 1000000 would overflow after hours. */
    const uint64_t usecs = d / cps * 1000000u + d % cps * 1000000u / cps;
    return (int)(usecs / 1000);
}

static int test_recv_timeout(kpt_handle_t hkpt, kpt_ring_t hring, int timeout_ms)
{
    for (int i = 0; i < TIMEOUT_ATTEMPTS;) {
        kpt_recv_req rreq;
        const zal_cycles_t t0 = zal_get_cycles();
        const int rc = kpt_ring_recv(hring, timeout_ms, &rreq);
        const int result_ms = elapsed_ms(t0, zal_get_cycles());

        if (rc == EAGAIN) {
            if (result_ms < TIMEOUT_MIN_MS || result_ms > TIMEOUT_MAX_MS) {
                printf("test_recv_timeout returned after %d ms and missed threshold of at "
                       "least %d but at most %d ms: FAILURE\n",
                       result_ms, TIMEOUT_MIN_MS, TIMEOUT_MAX_MS);
                return -1;
            }
            printf("test_recv_timeout for %d msecs returned %d after %d msecs\n", timeout_ms,
                   EAGAIN, result_ms);
            ++i;
        } else if (rc == 0) {
            /* Traffic: stop it, and what is left must time out. */
            if (i == 9) {
                int src = kpt_stop(hkpt);
                if (src != 0) {
                    lib_perror(src, "Can't stop traffic in recv_timeout test");
                    return -1;
                }
                i = 10;
            } else {
                ++i;
            }
        } else {
            printf("test_recv_timeout should return EAGAIN but returned %d after %d ms: "
                   "FAILURE\n",
                   rc, result_ms);
            return -1;
        }
    }
    return 0;
}

static int test_timeout_port(uint32_t portmask, int flags)
{
    kpt_handle_t h;
    kpt_ring_t r;
    int rc = kpt_open(portmask, 1, NULL, 0, flags, &h);
    if (rc != 0) {
        lib_perror(rc, "Can't open kpt for sniffing");
        return -1;
    }
    if ((rc = kpt_ring_open(h, &r)) != 0) {
        lib_perror(rc, "Can't open kpt ring for sniffing");
        kpt_close(h);
        return -1;
    }
    int result = 0;
    if ((rc = kpt_start(h)) != 0) {
        lib_perror(rc, "Can't start sniffer");
        result = -1;
    } else {
        result = test_recv_timeout(h, r, RECV_TIMEOUT_MS);
    }
    if ((rc = kpt_ring_close(r)) != 0) {
        lib_perror(rc, "Can't close kpt ring");
        result = -1;
    }
    if ((rc = kpt_close(h)) != 0) {
        lib_perror(rc, "Can't close kpt");
        result = -1;
    }
    return result;
}

/* The mask and count of the valid ports; -1 when they can't be had. */
static int valid_ports(uint32_t *mask, int *cnt)
{
    int rc = kpt_getportmask_valid(mask, cnt);
    if (rc != 0) {
        lib_perror(rc, "Can't get valid mask for sniffing");
        return -1;
    }
    return 0;
}

static int test_timeout(void)
{
    uint32_t mask = 0;
    int cnt = 0;
    if (valid_ports(&mask, &cnt) != 0) return -1;
    int rc = test_timeout_port(0, 0);
    printf("kpt timeout test on port 0 %s\n", rc == 0 ? "passed" : "FAILED");
    if (rc != 0) return -1;
    if (cnt > 1) {
        rc = test_timeout_port(mask, KPT_F_AGGREGATE_PORTMASK);
        printf("kpt timeout test on port mask %#x %s\n", mask, rc == 0 ? "passed" : "FAILED");
        if (rc != 0) return -1;
    }
    return 0;
}

/* ---- 5. injection ---- */

static int test_inject_port(int portnum)
{
    kpt_inject_t hinj;
    struct kpt_inject_stats stats_b, stats_e;
    int rc;

    if (kpt_inject_open(portnum, 0, &hinj) != 0) {
        printf("test_inject: can't inject on port %d\n", portnum);
        return -1;
    }
    inject_handles[portnum] = hinj;
    if (kpt_inject_getstats(hinj, &stats_b) != 0) {
        puts("test_inject: couldn't get stats");
        return -1;
    }
    if ((rc = kpt_inject_send(hinj, 0, 0, zero_frame, 8400)) != 0 ||
        (rc = kpt_inject_send(hinj, 0, 0, zero_frame, 60)) != 0) {
        printf("test_inject: unexpected return from kpt_inject_send: %d\n", rc);
        return -1;
    }
    printf("test_inject@%d host sent %d packets (wait for stats update)\n", portnum,
           INJECT_FRAMES);
    sleep(2);
    if (kpt_inject_getstats(hinj, &stats_e) != 0) {
        printf("test_inject@%d couldn't get stats\n", portnum);
        return -1;
    }
    const int nic_sent = (int)(stats_e.nic_pkt_send - stats_b.nic_pkt_send);
    if (nic_sent != INJECT_FRAMES) {
        printf("test_inject@%d expected %d packets sent, got %d: FAILURE\n", portnum,
               INJECT_FRAMES, nic_sent);
        return EINVAL;
    }
    printf("test_inject@%d NIC  sent %d packets was a SUCCESS\n", portnum, INJECT_FRAMES);
    return 0;
}

static int test_inject(void)
{
    uint32_t mask = 0;
    int cnt = 0;
    if (valid_ports(&mask, &cnt) != 0) return -1;
    for (int port = 0; port < MAX_PORTS; ++port)
        if ((mask >> port) & 1u)
            if (test_inject_port(port) != 0) return -1;
    return 0;
}

/* ---- 6. cancelling a blocked receive ---- */

static void handle_sig(int sig) { (void)sig; }

static void *t_cancel_fn(void *p)
{
    struct t_cancel_fn_args *args = p;
    sigset_t set;
    kpt_recv_req req;
    int rc;

    /* Only SIGUSR1 may land here: it is what interrupts the receive. */
    sigfillset(&set);
    sigdelset(&set, SIGUSR1);
    if (pthread_sigmask(SIG_SETMASK, &set, NULL) != 0) perror("pthread_sigmask");
    for (;;) {
        rc = kpt_ring_recv(args->hring, -1, &req);
        args->rc = rc;
        if (rc != 0) break;
        args->num_recvd++;
    }
    if (rc != EINTR) fprintf(stderr, "Thread %d got unexpected return from %d\n", args->ring_id, rc);
    atomic_store(&args->finished, 1);
    return NULL;
}

/*
 * Sends SIGUSR1 to every thread that has not returned.  A signal that lands
 * while a thread is between two receive calls (a packet just arrived, or the
 * driver answered a wait) interrupts nothing, and the thread would then block
 * for good: such threads get the signal again, every CANCEL_RESEND_MS, until
 * each has returned or CANCEL_GRACE_MS have passed.  The threads still
 * blocked then.
 */
static int signal_until_finished(struct t_cancel_fn_args *args, int n, int *failures)
{
    for (int waited = 0;; waited += CANCEL_RESEND_MS) {
        int pending = 0;
        for (int i = 0; i < n; ++i) {
            if (atomic_load(&args[i].finished)) continue;
            ++pending;
            int rc = pthread_kill(args[i].thrid, SIGUSR1);
            if (rc != 0) {
                lib_perror(rc, "pthread_kill");
                ++*failures;
            }
        }
        if (pending == 0 || waited >= CANCEL_GRACE_MS) return pending;
        usleep(CANCEL_RESEND_MS * 1000);
    }
}

static int test_cancel_recv(int num_rings, int flags, uint32_t portmask)
{
    struct sigaction sa, old_sa;
    kpt_handle_t h;
    int failures = 0, started = 0, rc;

    struct t_cancel_fn_args *args = calloc((size_t)num_rings, sizeof *args);
    if (args == NULL) {
        perror("calloc");
        return -1;
    }
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = handle_sig;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = 0; /* no SA_RESTART: the blocked receive must see EINTR */
    if (sigaction(SIGUSR1, &sa, &old_sa) != 0) {
        perror("sigaction");
        exit(1);
    }

    if ((rc = kpt_open(portmask, num_rings, NULL, 0, flags, &h)) != 0) {
        lib_perror(rc, "test_cancel_recv: can't open kpt");
        free(args);
        if (sigaction(SIGUSR1, &old_sa, NULL) != 0) exit(1);
        return -1;
    }

    /* Rings whose thread runs: only those can be cancelled and joined. */
    for (int i = 0; i < num_rings; ++i) {
        args[i].ring_id = i;
        atomic_init(&args[i].finished, 0);
        if ((rc = kpt_ring_open(h, &args[i].hring)) != 0) {
            lib_perror(rc, "Can't open kpt ring for sniffing");
            ++failures;
            break;
        }
        if ((rc = pthread_create(&args[i].thrid, NULL, t_cancel_fn, &args[i])) != 0) {
            lib_perror(rc, "pthread_create");
            kpt_ring_close(args[i].hring);
            ++failures;
            break;
        }
        ++started;
    }

    if (failures == 0) {
        if ((rc = kpt_start(h)) != 0) {
            lib_perror(rc, "Can't start sniffer");
            ++failures;
        } else {
            printf("test_cancel_recv via pthread_kill started over %d rings and threads\n",
                   num_rings);
            sleep(2);
            if ((rc = kpt_stop(h)) != 0) {
                lib_perror(rc, "Can't start sniffer");
                ++failures;
            }
        }
    }

    const int blocked = signal_until_finished(args, started, &failures);
    for (int i = 0; i < started; ++i) {
        if (!atomic_load(&args[i].finished)) {
            /* Its ring is still in use: it stays open, and so does the
             * handle. */
            printf("failure in thread %d, still blocked after SIGUSR1\n", i);
            ++failures;
            continue;
        }
        if ((rc = pthread_join(args[i].thrid, NULL)) != 0) lib_perror(rc, "pthread_join");
        if (args[i].rc != EINTR) {
            printf("failure in thread %d, expected EINTR got (%d: %s)\n", i, args[i].rc,
                   strerror(args[i].rc));
            ++failures;
        }
        if ((rc = kpt_ring_close(args[i].hring)) != 0) {
            lib_perror(rc, "kpt_ring_close");
            ++failures;
        }
    }

    if (blocked == 0 && (rc = kpt_close(h)) != 0) {
        lib_perror(rc, "Can't close device via kpt_close");
        ++failures;
    }
    if (sigaction(SIGUSR1, &old_sa, NULL) != 0) {
        perror("sigaction");
        exit(1);
    }
    if (blocked == 0) free(args); /* a blocked thread still holds its record */
    printf("test_cancel_recv via pthread_kill started over %d rings and threads was a %s\n",
           num_rings, failures ? "FAILURE" : "SUCCESS");
    return failures ? -1 : 0;
}

int main(void)
{
    setvbuf(stdout, NULL, _IOLBF, 0);
    int rc = kpt_init(8);
    if (rc != 0) {
        /* Without a driver there is no interface list either. */
        report_getifaddrs_failure(rc);
        return -1;
    }
    zal_cycles_counter_init();

    if (test_getifaddrs() != 0) return -1;
    if (test_open_close() != 0) return -1;
    if (test_link_timesource_state() != 0) return -1;
    if (test_timeout() != 0) return -1;
    if (test_inject() != 0) return -1;
    if (test_cancel_recv(4, 0, 0) != 0) return -1;
    if (test_cancel_recv(8, KPT_F_AGGREGATE_PORTMASK, 0xffffffffu) != 0) return -1;
    return 0;
}
