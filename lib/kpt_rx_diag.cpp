/*
 * kpt_rx_diag.cpp - ring diagnostics: the keep/skip/drop counter line, the
 * per-second rate printer (QEVENTS) and the SIGUSR2 counter dump.
 *
 * Both the printer and the signal handler read a ring's mapped state, so a
 * ring that goes away first makes sure neither touches it again: closing the
 * ring that started the printer stops and joins it, and the signal record is
 * cleared and drained, before anything is unmapped.
 *
 * The signal handler may land in the middle of any stdio call of the thread
 * it interrupts (a diagnostic line, the printer's own output): it formats into
 * a buffer on its stack and writes it with write(2), taking no stdio lock.
 */
#include <errno.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>
#include <unistd.h>

#include <atomic>

#include "kpt_rx.h"

unsigned kpt__refs_period_us = 1000000;

namespace {

template <class T> inline T load_relaxed(const T &v)
{
    return std::atomic_ref<T>(const_cast<T &>(v)).load(std::memory_order_relaxed);
}

/* ======================================================================== */
/* Rate printer                                                             */
/* ======================================================================== */

/*
 * The one printer of the process.  `mu` guards `stop`, `running` and
 * `owner`; the thread itself reads only the copies of the owner's mapping
 * taken at start, which stay mapped until the owner has joined it.
 */
struct RefsPrinter {
    pthread_mutex_t mu = PTHREAD_MUTEX_INITIALIZER;
    pthread_cond_t cv;
    bool cv_ready = false;
    bool running = false;
    bool stop = false;
    const kpt__rx *owner = nullptr;
    pthread_t thread;
    const quor_kwindow_t *kwindow = nullptr;
    uintptr_t vstate_all = 0, vstate_all_size = 0;
};

RefsPrinter printer;

/* Sleeps one period, or less when asked to stop.  True when asked to stop. */
bool printer_sleep(RefsPrinter *pr)
{
    struct timespec until;
    clock_gettime(CLOCK_MONOTONIC, &until);
    const uint64_t ns = (uint64_t)until.tv_nsec + (uint64_t)kpt__refs_period_us * 1000;
    until.tv_sec += (time_t)(ns / 1000000000);
    until.tv_nsec = (long)(ns % 1000000000);
    pthread_mutex_lock(&pr->mu);
    while (!pr->stop && pthread_cond_timedwait(&pr->cv, &pr->mu, &until) != ETIMEDOUT) {
    }
    const bool stop = pr->stop;
    pthread_mutex_unlock(&pr->mu);
    return stop;
}

/* Rings attached to the port; the driver sets a bit before it fills the
 * ring's state slot and publishes it with release, paired here. */
uint32_t attach_mask(const RefsPrinter *pr)
{
    return std::atomic_ref<uint32_t>(const_cast<uint32_t &>(pr->kwindow->attach_mask))
        .load(std::memory_order_acquire);
}

/* The state slot of ring r, when the "vstate_all" mapping holds it. */
const kpt__rx_state *slot_of(const RefsPrinter *pr, unsigned r)
{
    const uintptr_t off = (uintptr_t)r * QUOR_KPT_VSTATE_SLOT_SIZE;
    if (off + sizeof(kpt__rx_state) > pr->vstate_all_size)
        return nullptr;
    return (const kpt__rx_state *)(pr->vstate_all + off);
}

/* Appends to a line buffer; output past its end is dropped. */
struct Line {
    char buf[2048];
    size_t len = 0;
    template <class... A> void add(const char *fmt, A... a)
    {
        if (len >= sizeof buf)
            return;
        const int n = snprintf(buf + len, sizeof buf - len, fmt, a...);
        if (n > 0)
            len = len + (size_t)n < sizeof buf ? len + (size_t)n : sizeof buf - 1;
    }
};

} // namespace

void *kpt__print_refs(void *arg)
{
    RefsPrinter *pr = static_cast<RefsPrinter *>(arg);
    uint32_t last_pkts[QUOR_KPT_MAX_RINGS] = {};
    uint64_t last_bytes[QUOR_KPT_MAX_RINGS] = {};

    uint32_t mask = attach_mask(pr);
    if (printer_sleep(pr) || mask == 0)
        return nullptr;
    uint32_t prev = 0;
    for (unsigned pass = 1;; pass++) {
        mask = attach_mask(pr);
        Line out;
        if (pass == 1 || pass % 22 == 1 || mask != prev) {
            if (pass != 1)
                out.add("\n");
            for (uint32_t m = mask; m != 0; m &= m - 1)
                out.add("  ring %u Gbits", (unsigned)__builtin_ctz(m));
            out.add("   total Gbits\n");
        }
        uint64_t total = 0;
        for (uint32_t m = mask; m != 0; m &= m - 1) {
            const unsigned r = (unsigned)__builtin_ctz(m);
            const kpt__rx_state *s = slot_of(pr, r);
            const uint64_t pkts = s ? load_relaxed(s->recvq.stats.rq_pkt_cnt) : 0;
            const uint64_t bytes = s ? load_relaxed(s->recvq.stats.rq_pkt_length) : 0;
            /* A slot attached anew since the last pass starts from zero. */
            const uint32_t dp = (uint32_t)(pkts >= last_pkts[r] ? pkts - last_pkts[r] : pkts);
            const uint64_t db = bytes >= last_bytes[r] ? bytes - last_bytes[r] : bytes;
            if (pass != 1)
                out.add("%8u %-5.3f", dp, (double)db * 8.0 / 1e9);
            last_pkts[r] = (uint32_t)pkts;
            last_bytes[r] = bytes;
            total += db;
        }
        if (pass != 1)
            out.add("%8u %-5.3f\n", 0u, (double)total * 8.0 / 1e9);
        fwrite(out.buf, 1, out.len, stdout);
        fflush(stdout);
        prev = mask;
        if (printer_sleep(pr) || mask == 0)
            return nullptr;
    }
}

namespace {

void printer_start(const kpt__rx *rx)
{
    RefsPrinter *pr = &printer;
    if (rx->kwindow == nullptr)
        return;
    pthread_mutex_lock(&pr->mu);
    if (!pr->cv_ready) {
        pthread_condattr_t ca;
        pthread_condattr_init(&ca);
        pthread_condattr_setclock(&ca, CLOCK_MONOTONIC);
        pthread_cond_init(&pr->cv, &ca);
        pthread_condattr_destroy(&ca);
        pr->cv_ready = true;
    }
    if (!pr->running) {
        pr->stop = false;
        pr->kwindow = rx->kwindow;
        pr->vstate_all = rx->rx_map.map_vstate_all;
        pr->vstate_all_size = rx->rx_map.map_vstate_all_size;
        if (pthread_create(&pr->thread, nullptr, kpt__print_refs, pr) == 0) {
            pr->running = true;
            pr->owner = rx;
        } else {
            KPT_LOG_E(rx->p, "rx_init: cannot start the rate printer\n");
        }
    }
    pthread_mutex_unlock(&pr->mu);
}

void printer_stop(const kpt__rx *rx)
{
    RefsPrinter *pr = &printer;
    pthread_mutex_lock(&pr->mu);
    if (!pr->running || pr->owner != rx) {
        pthread_mutex_unlock(&pr->mu);
        return;
    }
    pr->stop = true;
    pthread_cond_signal(&pr->cv);
    pthread_mutex_unlock(&pr->mu);
    pthread_join(pr->thread, nullptr);
    pthread_mutex_lock(&pr->mu);
    pr->running = false;
    pr->owner = nullptr;
    pthread_mutex_unlock(&pr->mu);
}

/* ======================================================================== */
/* SIGUSR2 counter dump                                                     */
/* ======================================================================== */

/*
 * The ring the handler reports on.  The handler counts itself in `busy`
 * before it loads `rx`; the closer clears `rx` before it waits for `busy`
 * to drop to 0 (all sequentially consistent), so either the handler sees
 * the record cleared or the closer sees the handler and waits for it.
 */
struct SigRecord {
    std::atomic<const kpt__rx *> rx{nullptr};
    std::atomic<int> fd{2};
    std::atomic<int> busy{0};
};

SigRecord sig_rec;

void sig_record(const kpt__rx *rx)
{
    const FILE *fp = rx->p->debug_fp;
    sig_rec.fd.store(fp != nullptr ? fileno(const_cast<FILE *>(fp)) : STDERR_FILENO);
    sig_rec.rx.store(rx);
    struct sigaction sa;
    memset(&sa, 0, sizeof sa);
    sa.sa_handler = sig_print_refs;
    sa.sa_flags = SA_RESTART;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGUSR2, &sa, nullptr);
}

void sig_forget(const kpt__rx *rx)
{
    const kpt__rx *cur = rx;
    sig_rec.rx.compare_exchange_strong(cur, nullptr);
    /* Even when a later ring has replaced this one in the record, a handler
     * that loaded it before may still be reading it. */
    while (sig_rec.busy.load() != 0)
        sched_yield();
}

} // namespace

void sig_print_refs(int sig)
{
    (void)sig;
    const int saved_errno = errno;
    sig_rec.busy.fetch_add(1);
    const kpt__rx *rx = sig_rec.rx.load();
    if (rx != nullptr && (rx->p->debug_mask & KPT_DEBUG_PARAM) && rx->rx_s != nullptr) {
        const kpt__params *p = rx->p;
        char line[512];
        int n = snprintf(line, sizeof line, "%5u kpt.%c.%-2d %c ", (unsigned)kpt__getpid(),
                         kpt__port_char(p->portnum), (int)p->ring_id, 'P');
        if (n > 0 && (size_t)n < sizeof line)
            n += kpt__rx_stats_text(rx, "signal", line + n, sizeof line - (size_t)n);
        if (n > 0) {
            const size_t len = (size_t)n < sizeof line ? (size_t)n : sizeof line - 1;
            const int fd = sig_rec.fd.load();
            for (size_t off = 0; off < len;) {
                const ssize_t w = write(fd, line + off, len - off);
                if (w <= 0)
                    break;
                off += (size_t)w;
            }
        }
    }
    sig_rec.busy.fetch_sub(1);
    errno = saved_errno;
}

/* ======================================================================== */
/* Counter line                                                             */
/* ======================================================================== */

int kpt__rx_stats_text(const kpt__rx *rx, const char *prefix, char *buf, size_t size)
{
    const kpt__rx_qstats &st = rx->rx_s->recvq.stats;
    const unsigned long long keep = load_relaxed(st.rq_pkt_cnt),
                             skip = load_relaxed(st.rq_pkt_cnt_skip_rss),
                             drop = load_relaxed(st.rq_pkt_cnt_drop);
    const unsigned long long tot = keep + skip + drop;
    int w = 1;
    for (unsigned long long v = tot; v >= 10; v /= 10)
        w++;
    const double pk = tot ? keep * 100.0 / tot : 0.0;
    const double ps = tot ? skip * 100.0 / tot : 0.0;
    const double pd = tot ? drop * 100.0 / tot : 0.0;
    const int n = snprintf(buf, size,
                           "%s: tot=%12llu [keep/skip/drop] [%*llu/%*llu/%*llu] "
                           "[%5.1f%%/%5.1f%%/%5.1f%%]\n",
                           prefix, tot, w, keep, w, skip, w, drop, pk, ps, pd);
    return n < 0 ? 0 : n;
}

void kpt__rx_print_stats(const kpt__rx *rx, const char *prefix)
{
    if (rx->rx_s == nullptr)
        return;
    char text[256];
    kpt__rx_stats_text(rx, prefix, text, sizeof text);
    KPT_LOG_P(rx->p, "%s", text);
}

void kpt__rx_diag_start(kpt__rx *rx)
{
    if ((rx->p->debug_mask & KPT_DEBUG_QEVENTS) && rx->ring_id == 0)
        printer_start(rx);
    if (getenv("KPT_SIGUSR2") != nullptr)
        sig_record(rx);
}

void kpt__rx_diag_stop(kpt__rx *rx)
{
    sig_forget(rx);
    printer_stop(rx);
}
