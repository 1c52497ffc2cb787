/*
 * udp_multi_sink - the far end of generated UDP traffic: listens on up to 256
 * consecutive ports of 10.0.0.1 and echoes every datagram to its sender,
 * counting what it echoed.  Plain sockets only; no capture library.
 *
 *   udp_multi_sink [-v] [-t] [-p <port_low>-<port-high>]
 *
 * SIGINT or SIGTERM prints the totals and exits 0; -t prints the rate of
 * every second that saw traffic.
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <signal.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#define SINK_ADDR "10.0.0.1"
#define MAX_PORTS 256
#define BUF_SIZE 9000

struct itvl_stats {
    uint64_t usecs;
    uint64_t bytes;
    uint64_t pkts;
};

static uint64_t act_pkts, act_bytes;
static struct itvl_stats itvl[2];
static unsigned itvl_idx;
/* Port by descriptor; select() cannot watch descriptors past FD_SETSIZE, so
 * the table needs no more. */
static int fd_ports[FD_SETSIZE];

/* Set by the handlers, acted on by the loop: printing from a handler could
 * interleave with (or deadlock in) the loop's own stdio. */
static volatile sig_atomic_t stop_requested, alarm_pending;

static void usage(void)
{
    fputs("Usage: udp_multi_sink [-v] [-t] [-p <port_low>-<port-high>]\n", stderr);
    exit(1);
}

static void sigexit(int sig)
{
    (void)sig;
    stop_requested = 1;
}

static void sigalrm(int sig)
{
    (void)sig;
    alarm_pending = 1;
}

static uint64_t now_usecs(void)
{
    struct timeval tv;
    gettimeofday(&tv, NULL);
    return (uint64_t)tv.tv_sec * 1000000u + (uint64_t)tv.tv_usec;
}

static void handle_alarm(void)
{
    struct itvl_stats *cur = &itvl[itvl_idx];
    const struct itvl_stats *prev = &itvl[itvl_idx ^ 1];

    cur->usecs = now_usecs();
    cur->bytes = act_bytes;
    cur->pkts = act_pkts;
    if (cur->pkts != prev->pkts) {
        float secs = (float)(cur->usecs - prev->usecs) / 1e6f;
        uint64_t pkts = cur->pkts - prev->pkts;
        uint64_t bytes = cur->bytes - prev->bytes;
        double bw = secs > 0 ? (double)bytes * 8 / secs / 1e9 : 0.0;
        printf("%.3fs, pkts %lu, pkt_sz %lu bw %6.3f, tot pkts: %lu\n", secs,
               (unsigned long)pkts, (unsigned long)(bytes / pkts), bw,
               (unsigned long)act_pkts);
        fflush(stdout);
    }
    itvl_idx ^= 1;
}

static void format_addr(char *out, size_t size, const struct sockaddr_in *sa)
{
    const uint8_t *a = (const uint8_t *)&sa->sin_addr.s_addr;
    snprintf(out, size, "%d.%d.%d.%d:%d", a[0], a[1], a[2], a[3], ntohs(sa->sin_port));
}

/*
 * One port number of the -p argument, starting at text; *end is left at the
 * first character after it.  The whole port space is 16 bits: a larger
 * number would otherwise be bound modulo 65536, i.e. to some other port.
 */
static long parse_port(const char *text, char **end)
{
    errno = 0;
    unsigned long v = strtoul(text, end, 0);
    if (*end == text) {
        fputs("Invalid destination port size\n\n", stderr);
        usage();
    }
    if (errno == ERANGE || v > 65535 || text[strspn(text, " \t")] == '-') {
        fprintf(stderr, "Port out of range (0 to 65535): %.*s\n\n", (int)(*end - text), text);
        usage();
    }
    return (long)v;
}

static void parse_range(const char *arg, long *lo, long *hi)
{
    char *end;
    *lo = parse_port(arg, &end);
    if (*end == '\0') {
        *hi = *lo;
        return;
    }
    if (*end != '-') {
        fputs("Invalid destination port size\n\n", stderr);
        usage();
    }
    const char *high = end + 1;
    *hi = parse_port(high, &end);
    if (*end != '\0') {
        fputs("Invalid destination port size\n\n", stderr);
        usage();
    }
}

static void install(int sig, void (*fn)(int))
{
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = fn;
    sigemptyset(&sa.sa_mask);
    if (sigaction(sig, &sa, NULL) != 0) exit(1);
}

int main(int argc, char **argv)
{
    long port_min = 9999, port_max = 9999;
    int verbose = 0, periodic_stats = 0, opt;

    while ((opt = getopt(argc, argv, "vp:t")) != -1) {
        switch (opt) {
        case 'v': ++verbose; break;
        case 't': periodic_stats = 1; break;
        case 'p': parse_range(optarg, &port_min, &port_max); break;
        default: usage();
        }
    }
    if (optind < argc) usage();
    if (port_max < port_min) {
        fputs("\nMinimum dst port greater than max\n\n", stderr);
        usage();
    }
    if (port_max - port_min > MAX_PORTS - 1) {
        fputs("Too many ports. Can only listen on 256 max\n", stderr);
        usage();
    }

    struct sockaddr_in sn;
    memset(&sn, 0, sizeof sn);
    sn.sin_family = AF_INET;
    inet_pton(AF_INET, SINK_ADDR, &sn.sin_addr);

    fd_set rd_master;
    FD_ZERO(&rd_master);
    int fdmax = -1;
    for (long port = port_min; port <= port_max; ++port) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            perror("socket()");
            exit(1);
        }
        if (fd >= FD_SETSIZE) {
            fprintf(stderr, "socket(): descriptor %d is beyond what select() can watch\n", fd);
            exit(1);
        }
        sn.sin_port = htons((uint16_t)port);
        if (verbose) {
            char addr[32];
            format_addr(addr, sizeof addr, &sn);
            printf("sock: %d, binding to %s\n", fd, addr);
        }
        fd_ports[fd] = (int)port;
        if (bind(fd, (struct sockaddr *)&sn, sizeof sn) != 0) {
            perror("bind()");
            exit(1);
        }
        FD_SET(fd, &rd_master);
        if (fd > fdmax) fdmax = fd;
    }
    if (verbose) printf("biggest fd: %d\n", fdmax);

    /*
     * The signals stay blocked except inside pselect(), so one that arrives
     * while a datagram is being echoed is seen at the next wait instead of
     * being lost just before it.
     */
    sigset_t blocked, during_wait;
    sigemptyset(&blocked);
    sigaddset(&blocked, SIGINT);
    sigaddset(&blocked, SIGTERM);
    sigaddset(&blocked, SIGALRM);
    sigprocmask(SIG_BLOCK, &blocked, &during_wait);
    sigdelset(&during_wait, SIGINT);
    sigdelset(&during_wait, SIGTERM);
    sigdelset(&during_wait, SIGALRM);
    install(SIGINT, sigexit);
    install(SIGTERM, sigexit);
    if (periodic_stats) {
        install(SIGALRM, sigalrm);
        memset(itvl, 0, sizeof itvl);
        itvl[itvl_idx].usecs = now_usecs();
        itvl_idx ^= 1;
        alarm(1);
    }

    static uint8_t buf[BUF_SIZE];
    for (;;) {
        if (stop_requested) {
            printf("packets: %lu, bytes: %lu\n", (unsigned long)act_pkts,
                   (unsigned long)act_bytes);
            exit(0);
        }
        if (alarm_pending) {
            alarm_pending = 0;
            handle_alarm();
            alarm(1);
        }
        fd_set rd = rd_master;
        int nready = pselect(fdmax + 1, &rd, NULL, NULL, NULL, &during_wait);
        if (nready < 0) {
            if (errno == EINTR) continue;
            perror("select");
            exit(1);
        }
        for (int fd = 0; fd <= fdmax && nready > 0; ++fd) {
            if (!FD_ISSET(fd, &rd)) continue;
            --nready;
            struct sockaddr_in from;
            socklen_t fromlen = sizeof from;
            ssize_t n = recvfrom(fd, buf, sizeof buf, MSG_DONTWAIT, (struct sockaddr *)&from,
                                 &fromlen);
            if (n < 0) continue; /* nothing to echo */
            if (verbose >= 2) {
                char addr[32];
                format_addr(addr, sizeof addr, &from);
                printf("port %d: %d bytes to %s\n", fd_ports[fd], (int)n, addr);
            }
            ssize_t sent = sendto(fd, buf, (size_t)n, 0, (struct sockaddr *)&from, fromlen);
            if (sent < 0) continue; /* not echoed, so not counted */
            act_pkts += 1;
            act_bytes += (uint64_t)sent;
        }
    }
}
