/*
 * zal_mapkeep.cpp - released ring mappings of the simulated driver's memory,
 * kept for the process's next ring.
 *
 * The simulated driver keeps a client's ring memory for a while after the
 * ring is closed and hands the same memory object back when that client
 * opens a ring of the same size (zal_simproto.h).  Mapping hundreds of MiB
 * again costs as much as the memory did: the page tables are built and torn
 * down 4 KiB at a time.  So a large mapping the library releases is kept,
 * page tables and all, for as long as the driver keeps the object, and
 * handed out again only when the driver hands this process the very same
 * object (same file, same range, same protection).  What no other client
 * could reach before stays out of reach: the driver gives a kept object to
 * its owner alone, and a kept mapping is of an object this process was
 * given.  A thread of its own unmaps what is not taken in time, so a process
 * that goes quiet after closing its port gives the memory back all the same.
 */
#include "zal_mapkeep.h"

#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <time.h>
#include <unistd.h>

#include <mutex>

#include "zal_simproto.h"

namespace {

struct Mapping {
    void *addr = nullptr;
    size_t len = 0;
    zal__map_key key = {};
    int64_t since = 0; /* when released; 0 while in use */
};

/* Ring mappings in use and kept.  A process holds a handful of rings; the
 * table's bound only stops keeping, never mapping. */
constexpr int kSlots = 64;

struct Table {
    std::mutex mu;
    pthread_cond_t wake;
    Mapping slot[kSlots];
    size_t kept_bytes = 0;
    pid_t reaper_pid = 0; /* process whose reaper runs; 0: none */
};

Table *g_table;

/* A fork never copies the table's lock held by another thread; the child
 * has no reaper of its own yet. */
void fork_prepare() { g_table->mu.lock(); }
void fork_parent() { g_table->mu.unlock(); }
void fork_child()
{
    g_table->reaper_pid = 0;
    g_table->mu.unlock();
}

/* Never destroyed: the reaper may still wait on it while the process exits. */
Table &table()
{
    static Table *t = [] {
        auto *n = new Table;
        pthread_condattr_t a;
        pthread_condattr_init(&a);
        pthread_condattr_setclock(&a, CLOCK_MONOTONIC);
        pthread_cond_init(&n->wake, &a);
        pthread_condattr_destroy(&a);
        g_table = n;
        pthread_atfork(fork_prepare, fork_parent, fork_child);
        return n;
    }();
    return *t;
}

int64_t now_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool same(const zal__map_key &a, const zal__map_key &b)
{
    return a.dev == b.dev && a.ino == b.ino && a.obj_offset == b.obj_offset && a.prot == b.prot;
}

/* Unmaps the kept mappings released before `before`, and the oldest ones
 * while more than the driver keeps are held.  Returns the earliest release
 * time still kept, 0 for none.  Table locked. */
int64_t drop_kept(Table &t, int64_t before)
{
    for (;;) {
        Mapping *oldest = nullptr;
        for (auto &m : t.slot)
            if (m.addr && m.since != 0 && (!oldest || m.since < oldest->since)) oldest = &m;
        if (!oldest) return 0;
        if (oldest->since >= before && t.kept_bytes <= ZAL_SIM_KEEP_BYTES) return oldest->since;
        munmap(oldest->addr, oldest->len);
        t.kept_bytes -= oldest->len;
        *oldest = Mapping{};
    }
}

void *reaper(void *)
{
    Table &t = table();
    std::unique_lock<std::mutex> lk(t.mu);
    for (;;) {
        const int64_t next = drop_kept(t, now_ns() - ZAL_SIM_KEEP_NS);
        if (next == 0) break;
        const int64_t due = next + ZAL_SIM_KEEP_NS;
        struct timespec ts = {time_t(due / 1000000000), long(due % 1000000000)};
        // The mutex is handed to the condition wait through its native handle.
        pthread_cond_timedwait(&t.wake, lk.mutex()->native_handle(), &ts);
    }
    t.reaper_pid = 0;
    return nullptr;
}

/* Starts the reaper unless this process has one (a forked child has not).
 * Table locked. */
void reaper_start(Table &t)
{
    if (t.reaper_pid == getpid()) return;
    sigset_t all, old;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &old); // the thread takes no signals
    pthread_attr_t a;
    pthread_attr_init(&a);
    pthread_attr_setdetachstate(&a, PTHREAD_CREATE_DETACHED);
    pthread_t th;
    if (pthread_create(&th, &a, reaper, nullptr) == 0) {
        // Named before the caller goes on (it waits for the table's lock).
        pthread_setname_np(th, "zal-mapkeep");
        t.reaper_pid = getpid();
    }
    pthread_attr_destroy(&a);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
}

}  // namespace

void *zal__mapkeep_take(const zal__map_key *key, size_t len)
{
    if (len < ZAL_SIM_KEEP_MIN) return nullptr;
    Table &t = table();
    std::lock_guard<std::mutex> lk(t.mu);
    for (auto &m : t.slot) {
        if (!m.addr || m.since == 0 || m.len != len || !same(m.key, *key)) continue;
        t.kept_bytes -= m.len;
        m.since = 0;
        return m.addr;
    }
    return nullptr;
}

void zal__mapkeep_note(void *addr, size_t len, const zal__map_key *key)
{
    if (len < ZAL_SIM_KEEP_MIN) return;
    Table &t = table();
    std::lock_guard<std::mutex> lk(t.mu);
    for (auto &m : t.slot) {
        if (m.addr) continue;
        m = Mapping{addr, len, *key, 0};
        return;
    }
}

int zal__mapkeep_release(void *addr, size_t len)
{
    if (len < ZAL_SIM_KEEP_MIN) return 0;
    Table &t = table();
    std::lock_guard<std::mutex> lk(t.mu);
    for (auto &m : t.slot) {
        if (m.addr != addr || m.since != 0) continue;
        if (m.len != len) {
            // Not the whole mapping: an ordinary unmap, and forgotten.
            m = Mapping{};
            return 0;
        }
        m.since = now_ns();
        t.kept_bytes += len;
        reaper_start(t);
        if (t.reaper_pid != getpid()) {
            // Nothing would unmap it later: now.
            munmap(m.addr, m.len);
            t.kept_bytes -= len;
            m = Mapping{};
            return 1;
        }
        drop_kept(t, m.since - ZAL_SIM_KEEP_NS);
        pthread_cond_signal(&t.wake);
        return 1;
    }
    return 0;
}

size_t zal__mapkeep_kept(void)
{
    Table &t = table();
    std::lock_guard<std::mutex> lk(t.mu);
    return t.kept_bytes;
}

void zal__mapkeep_flush(void)
{
    Table &t = table();
    std::lock_guard<std::mutex> lk(t.mu);
    drop_kept(t, INT64_MAX);
}
