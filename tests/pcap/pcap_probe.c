/*
 * pcap_probe.c - a small program of the kind users write against the packet
 * capture library, run on the adapter's ports by the tests.
 *
 *   pcap_probe inject DEV COUNT LEN   sends COUNT frames of LEN bytes; frame i
 *                                     carries i in bytes 14..17
 *   pcap_probe checks DEV MISSING N   the calls' answers to misuse, one line
 *                                     each: "ok NAME" or "FAIL NAME: why";
 *                                     N open/close cycles leave nothing open
 *   pcap_probe poll DEV               waits on the selectable descriptor for
 *                                     the first frame after "waiting"
 */
#include <errno.h>
#include <pcap/pcap.h>
#include <poll.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/time.h>
#include <dirent.h>
#include <time.h>
#include <unistd.h>

static pcap_t *g_loop;

static void on_alarm(int sig)
{
    (void)sig;
    pcap_breakloop(g_loop);
}

static void count_cb(u_char *user, const struct pcap_pkthdr *h, const u_char *p)
{
    (void)h;
    (void)p;
    ++*(int *)user;
}

static double now_s(void)
{
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec + (double)t.tv_nsec / 1e9;
}

static int open_fds(void)
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    if (!d) return -1;
    while (readdir(d)) ++n;
    closedir(d);
    return n;
}

static int failures;

static void check(int ok, const char *name, const char *why)
{
    if (ok) {
        printf("ok %s\n", name);
    } else {
        printf("FAIL %s: %s\n", name, why ? why : "");
        ++failures;
    }
}

static pcap_t *open_dev(const char *dev, char *errbuf)
{
    pcap_t *p = pcap_create(dev, errbuf);
    if (!p) return NULL;
    pcap_set_timeout(p, 100);
    pcap_set_buffer_size(p, 2 << 20);
    if (pcap_activate(p) < 0) {
        snprintf(errbuf, PCAP_ERRBUF_SIZE, "%s", pcap_geterr(p));
        pcap_close(p);
        return NULL;
    }
    return p;
}

static int checks(const char *dev, const char *missing, int cycles)
{
    char errbuf[PCAP_ERRBUF_SIZE] = "";
    char why[PCAP_ERRBUF_SIZE + 64];

    /* A port that is not there. */
    pcap_t *p = pcap_create(missing, errbuf);
    int rc = p ? pcap_activate(p) : 0;
    snprintf(why, sizeof why, "rc %d: %s", rc, p ? pcap_geterr(p) : errbuf);
    check(p && rc == PCAP_ERROR_NO_SUCH_DEVICE && strstr(pcap_geterr(p), missing), "missing-device",
          why);
    if (p) pcap_close(p);
    p = pcap_open_live(missing, 0, 1, 100, errbuf);
    check(!p && strstr(errbuf, missing), "missing-device-open-live", errbuf);
    if (p) pcap_close(p);

    /* Snap length 0 is the largest; settings after activation are refused. */
    p = pcap_create(dev, errbuf);
    if (!p) {
        check(0, "create", errbuf);
        return 1;
    }
    check(pcap_set_snaplen(p, 0) == 0 && pcap_set_tstamp_precision(p, PCAP_TSTAMP_PRECISION_NANO) == 0 &&
              pcap_set_promisc(p, 1) == 0 && pcap_set_timeout(p, 100) == 0,
          "settings-before-activation", pcap_geterr(p));
    check(pcap_snapshot(p) == PCAP_ERROR_NOT_ACTIVATED, "snapshot-before-activation", pcap_geterr(p));
    rc = pcap_activate(p);
    snprintf(why, sizeof why, "rc %d: %s", rc, pcap_geterr(p));
    check(rc == 0, "activate", why);
    check(pcap_snapshot(p) == 262144, "snaplen-0-is-largest", NULL);
    check(pcap_get_tstamp_precision(p) == PCAP_TSTAMP_PRECISION_NANO, "precision", NULL);
    check(pcap_datalink(p) == DLT_EN10MB, "datalink", NULL);
    rc = pcap_set_snaplen(p, 100);
    check(rc == PCAP_ERROR_ACTIVATED && strlen(pcap_geterr(p)) > 0, "setting-after-activation",
          pcap_geterr(p));
    check(pcap_activate(p) == PCAP_ERROR_ACTIVATED, "activate-twice", pcap_geterr(p));

    /* A filter that does not compile. */
    struct bpf_program prog;
    rc = pcap_compile(p, &prog, "udp and and", 1, PCAP_NETMASK_UNKNOWN);
    check(rc == PCAP_ERROR && strstr(pcap_geterr(p), "syntax error"), "bad-filter", pcap_geterr(p));
    rc = pcap_compile(p, &prog, "udp and dst port 9", 1, PCAP_NETMASK_UNKNOWN);
    check(rc == 0 && pcap_setfilter(p, &prog) == 0, "good-filter", pcap_geterr(p));
    if (rc == 0) pcap_freecode(&prog);

    /* Non-blocking on an idle port answers at once. */
    check(pcap_setnonblock(p, 1, errbuf) == 0 && pcap_getnonblock(p, errbuf) == 1, "nonblock-set",
          errbuf);
    int got = 0;
    double t0 = now_s();
    rc = pcap_dispatch(p, -1, count_cb, (u_char *)&got);
    snprintf(why, sizeof why, "rc %d after %.3f s", rc, now_s() - t0);
    check(rc == 0 && now_s() - t0 < 0.5, "nonblock-dispatch", why);
    pcap_setnonblock(p, 0, errbuf);

    /* The selectable descriptor stays quiet on an idle port. */
    int fd = pcap_get_selectable_fd(p);
    struct pollfd pfd = {fd, POLLIN, 0};
    pcap_dispatch(p, -1, count_cb, (u_char *)&got); /* learns that the ring is empty */
    rc = poll(&pfd, 1, 300);
    snprintf(why, sizeof why, "fd %d poll %d", fd, rc);
    check(fd >= 0 && rc == 0, "selectable-fd-idle", why);

    /* pcap_breakloop from a signal handler ends pcap_loop on an idle port. */
    g_loop = p;
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = on_alarm;
    sigaction(SIGALRM, &sa, NULL);
    struct itimerval it = {{0, 0}, {0, 300000}};
    setitimer(ITIMER_REAL, &it, NULL);
    t0 = now_s();
    rc = pcap_loop(p, -1, count_cb, (u_char *)&got);
    snprintf(why, sizeof why, "rc %d after %.3f s", rc, now_s() - t0);
    check(rc == PCAP_ERROR_BREAK && now_s() - t0 < 5, "breakloop-from-signal", why);

    struct pcap_stat st;
    check(pcap_stats(p, &st) == 0, "stats", pcap_geterr(p));
    pcap_close(p);

    /* Open and close leave nothing behind. */
    int before = open_fds();
    int cycles_ok = 1;
    for (int i = 0; i < cycles && cycles_ok; ++i) {
        pcap_t *q = open_dev(dev, errbuf);
        if (!q) {
            cycles_ok = 0;
            break;
        }
        if (i % 100 == 0) pcap_get_selectable_fd(q);
        pcap_close(q);
    }
    int after = open_fds();
    snprintf(why, sizeof why, "%s; descriptors before %d, after %d", cycles_ok ? "" : errbuf, before,
             after);
    check(cycles_ok && before == after, "open-close-cycles", why);
    return failures ? 1 : 0;
}

static int inject(const char *dev, int count, int len)
{
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t *p = pcap_open_live(dev, 0, 1, 100, errbuf);
    if (!p) {
        fprintf(stderr, "pcap_probe: %s\n", errbuf);
        return 1;
    }
    u_char frame[9018];
    if (len < 60 || len > (int)sizeof frame) len = 60;
    int sent = 0;
    for (int i = 0; i < count; ++i) {
        memset(frame, 0, (size_t)len);
        memset(frame, 0xff, 6);
        frame[12] = 0x88;
        frame[13] = 0xb5;
        frame[14] = (u_char)(i >> 24);
        frame[15] = (u_char)(i >> 16);
        frame[16] = (u_char)(i >> 8);
        frame[17] = (u_char)i;
        int rc = i % 2 ? pcap_inject(p, frame, (size_t)len) : pcap_sendpacket(p, frame, len);
        if (rc < 0 || (i % 2 && rc != len)) {
            fprintf(stderr, "pcap_probe: send %d: %s\n", i, pcap_geterr(p));
            break;
        }
        ++sent;
    }
    printf("sent %d\n", sent);
    pcap_close(p);
    return sent == count ? 0 : 1;
}

static int poll_first(const char *dev)
{
    char errbuf[PCAP_ERRBUF_SIZE];
    pcap_t *p = open_dev(dev, errbuf);
    if (!p) {
        fprintf(stderr, "pcap_probe: %s\n", errbuf);
        return 1;
    }
    pcap_setnonblock(p, 1, errbuf);
    int got = 0;
    int fd = pcap_get_selectable_fd(p);
    while (pcap_dispatch(p, -1, count_cb, (u_char *)&got) > 0) {
    }
    printf("waiting\n");
    fflush(stdout);
    struct pollfd pfd = {fd, POLLIN, 0};
    int rc = poll(&pfd, 1, 20000);
    got = 0;
    if (rc == 1) pcap_dispatch(p, -1, count_cb, (u_char *)&got);
    printf("poll %d, %d frames\n", rc, got);
    pcap_close(p);
    return rc == 1 && got > 0 ? 0 : 1;
}

int main(int argc, char **argv)
{
    setvbuf(stdout, NULL, _IOLBF, 0);
    if (argc == 5 && strcmp(argv[1], "inject") == 0)
        return inject(argv[2], atoi(argv[3]), atoi(argv[4]));
    if (argc == 5 && strcmp(argv[1], "checks") == 0)
        return checks(argv[2], argv[3], atoi(argv[4]));
    if (argc == 3 && strcmp(argv[1], "poll") == 0) return poll_first(argv[2]);
    fprintf(stderr, "usage: pcap_probe inject DEV COUNT LEN | checks DEV MISSING CYCLES | poll DEV\n");
    return 2;
}
