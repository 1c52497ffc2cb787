/*
 * pktsock_peer.c - Linux packet sockets timed the way bench_rx and bench_tx
 * time kpt, for bench/compare.sh.  Built by that script, not by the
 * project's build; run inside a private network namespace with a veth pair.
 *
 *   pktsock_peer TXIF RXIF
 *
 * For each frame length: a TPACKET_V3 receive ring is bound to RXIF, a raw
 * socket on TXIF sends frames with sendmmsg in batches of 32 (timed: tx),
 * and once they have all arrived the blocks of the receive ring are walked,
 * each frame's length and timestamp read, each block handed back (timed:
 * rx, a queue filled in advance like bench_rx's).  The send time includes
 * the kernel's delivery over the veth pair into the receive ring, which
 * runs on the sending thread.
 *
 * One line per measurement on standard output: "<work> <frame> <ns/pkt>",
 * in the thread's CPU time (system time included).
 */
#define _GNU_SOURCE
#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#define BLOCK_SIZE (1u << 20)
#define BLOCK_NR 64u
#define BATCH 32
#define ETHERTYPE_LOCAL 0x88B5 /* local experimental: no protocol takes it */
#define MIN_NS 300000000ull

static uint64_t cpu_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (uint64_t)t.tv_sec * 1000000000ull + (uint64_t)t.tv_nsec;
}

static void die(const char *what)
{
    fprintf(stderr, "pktsock_peer: %s: %s\n", what, strerror(errno));
    exit(1);
}

static struct sockaddr_ll link_addr(const char *ifname, uint16_t proto)
{
    struct sockaddr_ll a;
    memset(&a, 0, sizeof a);
    a.sll_family = AF_PACKET;
    a.sll_protocol = proto;
    a.sll_ifindex = (int)if_nametoindex(ifname);
    if (a.sll_ifindex == 0)
        die(ifname);
    return a;
}

struct rxring {
    int fd;
    uint8_t *map;
    unsigned next; /* block to look at next */
};

static void rx_open(struct rxring *r, const char *ifname)
{
    r->fd = socket(AF_PACKET, SOCK_RAW, htons(ETH_P_ALL));
    if (r->fd < 0)
        die("socket");
    int v = TPACKET_V3;
    if (setsockopt(r->fd, SOL_PACKET, PACKET_VERSION, &v, sizeof v) != 0)
        die("PACKET_VERSION");
    struct tpacket_req3 req;
    memset(&req, 0, sizeof req);
    req.tp_block_size = BLOCK_SIZE;
    req.tp_block_nr = BLOCK_NR;
    req.tp_frame_size = 2048;
    req.tp_frame_nr = BLOCK_SIZE / 2048 * BLOCK_NR;
    req.tp_retire_blk_tov = 50; /* ms: a partly filled block reaches the reader */
    if (setsockopt(r->fd, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) != 0)
        die("PACKET_RX_RING");
    r->map = mmap(NULL, (size_t)BLOCK_SIZE * BLOCK_NR, PROT_READ | PROT_WRITE, MAP_SHARED,
                  r->fd, 0);
    if (r->map == MAP_FAILED)
        die("mmap");
    struct sockaddr_ll a = link_addr(ifname, htons(ETH_P_ALL));
    if (bind(r->fd, (struct sockaddr *)&a, sizeof a) != 0)
        die("bind");
    r->next = 0;
}

/* Walks every block the kernel has handed over; returns the frames seen. */
static uint64_t rx_drain(struct rxring *r, uint64_t *acc)
{
    uint64_t pkts = 0;
    for (;;) {
        struct tpacket_block_desc *b =
            (struct tpacket_block_desc *)(r->map + (size_t)r->next * BLOCK_SIZE);
        /* Pairs with the kernel's store of the status after the block's frames. */
        if ((__atomic_load_n(&b->hdr.bh1.block_status, __ATOMIC_ACQUIRE) & TP_STATUS_USER) == 0)
            return pkts;
        const uint32_t n = b->hdr.bh1.num_pkts;
        const struct tpacket3_hdr *h =
            (const struct tpacket3_hdr *)((uint8_t *)b + b->hdr.bh1.offset_to_first_pkt);
        for (uint32_t i = 0; i < n; i++) {
            *acc += h->tp_snaplen + h->tp_sec + h->tp_nsec;
            h = (const struct tpacket3_hdr *)((const uint8_t *)h + h->tp_next_offset);
        }
        pkts += n;
        /* The frames are read before the block goes back to the kernel. */
        __atomic_store_n(&b->hdr.bh1.block_status, TP_STATUS_KERNEL, __ATOMIC_RELEASE);
        r->next = (r->next + 1) % BLOCK_NR;
    }
}

static void measure(int txfd, struct rxring *r, uint32_t frame)
{
    uint8_t tmpl[2048];
    for (uint32_t i = 0; i < sizeof tmpl; i++)
        tmpl[i] = (uint8_t)(i * 31 + 7);
    memset(tmpl, 0xff, 6);
    tmpl[12] = ETHERTYPE_LOCAL >> 8;
    tmpl[13] = ETHERTYPE_LOCAL & 0xff;
    struct iovec iov[BATCH];
    struct mmsghdr msg[BATCH];
    memset(msg, 0, sizeof msg);
    for (int i = 0; i < BATCH; i++) {
        iov[i].iov_base = tmpl;
        iov[i].iov_len = frame;
        msg[i].msg_hdr.msg_iov = &iov[i];
        msg[i].msg_hdr.msg_iovlen = 1;
    }
    /* A lap fills two thirds of the receive ring: per frame, its header
     * with the link address (82 bytes, the frame aligned after them) and
     * the frame, 16-byte aligned. */
    const uint64_t per_block = (BLOCK_SIZE - 64) / ((96 + frame + 15) & ~15u);
    const uint64_t lap = per_block * BLOCK_NR * 2 / 3 / BATCH * BATCH;
    uint64_t tx_ns = 0, tx_pkts = 0, rx_ns = 0, rx_pkts = 0, acc = 0;
    int laps = 0;
    rx_drain(r, &acc); /* whatever the link said on its own */
    while (tx_ns < MIN_NS || laps < 3) {
        uint64_t t0 = cpu_ns();
        for (uint64_t s = 0; s < lap;) {
            const int n = sendmmsg(txfd, msg, BATCH, 0);
            if (n < 0) {
                if (errno == ENOBUFS || errno == EAGAIN || errno == EINTR)
                    continue;
                die("sendmmsg");
            }
            s += (uint64_t)n;
        }
        tx_ns += cpu_ns() - t0;
        tx_pkts += lap;
        usleep(120000); /* the last block retires */
        t0 = cpu_ns();
        rx_pkts += rx_drain(r, &acc);
        rx_ns += cpu_ns() - t0;
        laps++;
    }
    struct tpacket_stats_v3 st;
    socklen_t sl = sizeof st;
    if (getsockopt(r->fd, SOL_PACKET, PACKET_STATISTICS, &st, &sl) == 0 && st.tp_drops != 0)
        fprintf(stderr, "pktsock_peer: %u frames of %u bytes dropped by the receive ring\n",
                st.tp_drops, frame);
    printf("pkt_rx %u %.3f\n", frame, rx_pkts ? (double)rx_ns / (double)rx_pkts : 0.0);
    printf("pkt_tx %u %.3f\n", frame, (double)tx_ns / (double)tx_pkts);
    fflush(stdout);
    if (acc == 1)
        fputc('\n', stderr); /* keeps the reads */
}

int main(int argc, char **argv)
{
    if (argc != 3) {
        fprintf(stderr, "usage: pktsock_peer TXIF RXIF\n");
        return 2;
    }
    const int txfd = socket(AF_PACKET, SOCK_RAW, 0); /* protocol 0: sends only */
    if (txfd < 0)
        die("socket");
    struct sockaddr_ll a = link_addr(argv[1], 0);
    if (bind(txfd, (struct sockaddr *)&a, sizeof a) != 0)
        die("bind");
    struct rxring r;
    rx_open(&r, argv[2]);
    static const uint32_t frames[] = {60, 64, 512, 1514};
    for (int i = 0; i < 4; i++)
        measure(txfd, &r, frames[i]);
    return 0;
}
