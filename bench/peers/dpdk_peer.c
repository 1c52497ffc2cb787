/*
 * dpdk_peer.c - the software ports of a widely used user-space packet
 * framework, timed the way bench_rx and bench_tx time kpt, for
 * bench/compare.sh.  Built by that script, not by the project's build.
 *
 *   ring_rx FRAME  a ring port whose receive ring holds 1024 packets filled
 *                  in advance (outside the timing); bursts of 32 are
 *                  received, each packet's length and timestamp field read,
 *                  the burst freed in bulk.
 *   null_rx FRAME  the null port: every burst of 32 is allocated by the port
 *                  and freed after the same reads.
 *   null_tx FRAME  the null port: bursts of 32 buffers allocated, each filled
 *                  by copying a template frame, handed to the port (which
 *                  frees them).
 *
 * One line per measurement on standard output: "<work> <frame> <ns/pkt>".
 * Timing is the thread's CPU time around the timed loop, as Google Benchmark
 * reports for kpt: on a shared machine, time spent preempted does not count.
 */
#include <inttypes.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <rte_eal.h>
#include <rte_errno.h>
#include <rte_eth_ring.h>
#include <rte_ethdev.h>
#include <rte_mbuf.h>
#include <rte_mbuf_dyn.h>
#include <rte_ring.h>

#define BURST 32
#define PREFILL 1024
#define MIN_NS 400000000ull /* timed time per measurement */

static struct rte_mempool *pool;
static int ts_off = -1;
static uint64_t ts_flag;
static volatile uint64_t sink; /* keeps the reads */

static uint64_t now_ns(void)
{
    struct timespec t;
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return (uint64_t)t.tv_sec * 1000000000ull + (uint64_t)t.tv_nsec;
}

static void die(const char *what)
{
    fprintf(stderr, "dpdk_peer: %s: %s\n", what, rte_strerror(rte_errno));
    exit(1);
}

static void port_start(uint16_t port)
{
    struct rte_eth_conf conf;
    memset(&conf, 0, sizeof conf);
    if (rte_eth_dev_configure(port, 1, 1, &conf) != 0 ||
        rte_eth_rx_queue_setup(port, 0, PREFILL, rte_socket_id(), NULL, pool) != 0 ||
        rte_eth_tx_queue_setup(port, 0, PREFILL, rte_socket_id(), NULL) != 0 ||
        rte_eth_dev_start(port) != 0)
        die("port setup");
}

/* What an application reads of each received packet. */
static inline uint64_t read_burst(struct rte_mbuf **m, uint16_t n)
{
    uint64_t acc = 0;
    for (uint16_t i = 0; i < n; i++) {
        acc += m[i]->pkt_len;
        if (m[i]->ol_flags & ts_flag)
            acc += *RTE_MBUF_DYNFIELD(m[i], ts_off, rte_mbuf_timestamp_t *);
    }
    return acc;
}

/* Fills the receive ring of the ring port as a driver would: lengths set,
 * timestamp field written and flagged. */
static void ring_fill(struct rte_ring *r, uint32_t frame, uint64_t ts)
{
    struct rte_mbuf *m[PREFILL];
    if (rte_pktmbuf_alloc_bulk(pool, m, PREFILL) != 0)
        die("alloc");
    for (int i = 0; i < PREFILL; i++) {
        m[i]->data_len = (uint16_t)frame;
        m[i]->pkt_len = frame;
        *RTE_MBUF_DYNFIELD(m[i], ts_off, rte_mbuf_timestamp_t *) = ts + (uint64_t)i;
        m[i]->ol_flags |= ts_flag;
    }
    if (rte_ring_enqueue_bulk(r, (void **)m, PREFILL, NULL) != PREFILL)
        die("enqueue");
}

static double ring_rx(uint16_t port, struct rte_ring *rxr, uint32_t frame)
{
    struct rte_mbuf *m[BURST];
    uint64_t timed = 0, pkts = 0, acc = 0;
    while (timed < MIN_NS) {
        ring_fill(rxr, frame, pkts);
        const uint64_t t0 = now_ns();
        uint16_t n;
        while ((n = rte_eth_rx_burst(port, 0, m, BURST)) != 0) {
            acc += read_burst(m, n);
            rte_pktmbuf_free_bulk(m, n);
            pkts += n;
        }
        timed += now_ns() - t0;
    }
    sink = acc;
    return (double)timed / (double)pkts;
}

static double null_rx(uint16_t port)
{
    struct rte_mbuf *m[BURST];
    uint64_t pkts = 0, acc = 0, t = 0;
    const uint64_t t0 = now_ns();
    do {
        for (int k = 0; k < 1024; k++) {
            const uint16_t n = rte_eth_rx_burst(port, 0, m, BURST);
            acc += read_burst(m, n);
            rte_pktmbuf_free_bulk(m, n);
            pkts += n;
        }
        t = now_ns() - t0;
    } while (t < MIN_NS);
    sink = acc;
    return (double)t / (double)pkts;
}

static double null_tx(uint16_t port, uint32_t frame)
{
    uint8_t tmpl[2048];
    for (uint32_t i = 0; i < sizeof tmpl; i++)
        tmpl[i] = (uint8_t)(i * 31 + 7);
    memset(tmpl, 0xff, 6);
    struct rte_mbuf *m[BURST];
    uint64_t pkts = 0, t = 0;
    const uint64_t t0 = now_ns();
    do {
        for (int k = 0; k < 1024; k++) {
            if (rte_pktmbuf_alloc_bulk(pool, m, BURST) != 0)
                die("alloc");
            for (int i = 0; i < BURST; i++) {
                memcpy(rte_pktmbuf_mtod(m[i], void *), tmpl, frame);
                m[i]->data_len = (uint16_t)frame;
                m[i]->pkt_len = frame;
            }
            uint16_t sent = 0;
            while (sent < BURST)
                sent += rte_eth_tx_burst(port, 0, m + sent, BURST - sent);
            pkts += BURST;
        }
        t = now_ns() - t0;
    } while (t < MIN_NS);
    return (double)t / (double)pkts;
}

int main(int argc, char **argv)
{
    static const uint32_t rx_frames[] = {64, 512, 1514};
    static const uint32_t tx_frames[] = {60, 512, 1514};
    static const char *const args[] = {"dpdk_peer", "--no-huge", "-m", "512", "--no-pci", "--no-shconf",
                   "--lcores=0@(0-1)", "--log-level=*:error",
                   "--vdev=net_null0,size=64", "--vdev=net_null1,size=512",
                   "--vdev=net_null2,size=1514", "--vdev=net_null3"};
    (void)argc;
    (void)argv;
    enum { NARGS = sizeof args / sizeof args[0] };
    char *eal[NARGS]; /* the EAL may permute its arguments */
    for (int i = 0; i < NARGS; i++)
        eal[i] = strdup(args[i]);
    if (rte_eal_init(NARGS, eal) < 0)
        die("EAL init");
    pool = rte_pktmbuf_pool_create("peer", 4095, 512, 0, RTE_MBUF_DEFAULT_BUF_SIZE,
                                   (int)rte_socket_id());
    if (pool == NULL)
        die("mempool");
    if (rte_mbuf_dyn_rx_timestamp_register(&ts_off, &ts_flag) != 0)
        die("timestamp field");

    struct rte_ring *rxr = rte_ring_create("peer_rx", PREFILL, (int)rte_socket_id(),
                                           RING_F_SP_ENQ | RING_F_SC_DEQ | RING_F_EXACT_SZ);
    struct rte_ring *txr = rte_ring_create("peer_tx", PREFILL, (int)rte_socket_id(),
                                           RING_F_SP_ENQ | RING_F_SC_DEQ | RING_F_EXACT_SZ);
    if (rxr == NULL || txr == NULL)
        die("ring");
    const int rport = rte_eth_from_rings("peer_ring", &rxr, 1, &txr, 1, (unsigned)rte_socket_id());
    if (rport < 0)
        die("ring port");
    port_start((uint16_t)rport);

    uint16_t null_port[4];
    static const char *const null_name[] = {"net_null0", "net_null1", "net_null2", "net_null3"};
    for (int i = 0; i < 4; i++) {
        if (rte_eth_dev_get_port_by_name(null_name[i], &null_port[i]) != 0)
            die(null_name[i]);
        port_start(null_port[i]);
    }

    for (int i = 0; i < 3; i++)
        printf("ring_rx %" PRIu32 " %.3f\n", rx_frames[i], ring_rx((uint16_t)rport, rxr, rx_frames[i]));
    for (int i = 0; i < 3; i++)
        printf("null_rx %" PRIu32 " %.3f\n", rx_frames[i], null_rx(null_port[i]));
    for (int i = 0; i < 3; i++)
        printf("null_tx %" PRIu32 " %.3f\n", tx_frames[i], null_tx(null_port[3], tx_frames[i]));
    fflush(stdout);
    rte_eal_cleanup();
    return 0;
}
