/*
 * zal_dev.cpp - device files and driver calls.
 *
 * A unit of a letter is reached through "<dir>/quor<L>p<unit>" or
 * "<dir>/quor<L><unit>".  When the file is a character device it is used
 * with plain open/ioctl/mmap.  When it is a listening UNIX socket (the
 * simulated driver) the same calls travel as messages over a connection to
 * it (zal_simproto.h), and a mapping maps the memory object of the region
 * the simulator hands out for it (only the caller's own).
 *
 * Simulator connections are kept in a table indexed by descriptor.  An entry
 * is reference counted: zal_close releases the caller's descriptor at once,
 * and the connection itself (a private duplicate of the socket and the board
 * memory descriptor) lives on until the last request still running on it returns,
 * as a kernel keeps a file alive while an ioctl on it is in progress.
 *
 * Several threads may wait on the same connection at once.  Each registers a
 * waiter with its sequence number before sending, then polls the socket and
 * its own thread's eventfd.  Whoever reads a reply that belongs to another
 * waiter hands it over (a copy in the waiter, then a write to the waiter's
 * eventfd); a reply that nobody awaits any more is dropped.
 *
 * A thread may be cancelled while it waits (a benchmark cancels its blocked
 * workers).  Its waiter lives on its stack and names its eventfd, which the
 * thread's exit closes: left linked, a late reply would be handed to freed
 * stack memory and written into whatever file took that descriptor number.
 * So the wait itself is the only cancellation point of a request, and the
 * waiter and the connection reference are owned by objects whose destructors
 * undo them, which also run when glibc unwinds a cancelled thread (this file
 * is built with exception tables for that).
 */
#include "zal_internal.h"

#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <poll.h>
#include <pthread.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <new>
#include <shared_mutex>

#include "quor_io.h"
#include "zal_mapkeep.h"
#include "zal_simproto.h"

namespace {

constexpr int kUnitsScanned = 33;
constexpr int kDirectFds = 65536;
/* How long an open waits for the simulator's hello before giving up. */
constexpr int kHelloTimeoutMs = 10000;
/* Receive buffer: the largest message plus one byte to notice truncation. */
constexpr size_t kRecvBufSize = ZAL_SIM_MAX_MSG + 1;
/* How long a request the driver answers at once is looked for without
 * sleeping (see sim_ioctl), and the most requests a thread goes without
 * looking after such looks kept missing. */
constexpr int64_t kReplySpinNs = 30 * 1000;
constexpr uint32_t kReplySpinBackoffMax = 1024;

int64_t mono_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

/* Requests the driver may hold until something happens or a timeout. */
bool request_may_wait(uint32_t request)
{
    return request == QUOR_KPT_WAIT || request == QUOR_RAW_NEXT_EVENT ||
           request == QUOR_KPT_PQ_TRYLOCK_WAIT || request == QUOR_KPT_PQ_GROUP_LOCK;
}

/* One thread waiting for the reply with sequence number seq. */
struct Waiter {
    Waiter *next = nullptr;
    uint32_t seq = 0;
    int evfd = -1;          /* the waiting thread's wake-up eventfd */
    bool done = false;      /* a reply was handed over */
    uint8_t *msg = nullptr; /* the handed-over reply (malloc), or null */
    size_t len = 0;
    int error = 0;          /* set instead of msg when the hand-over failed */
    int fd = -1;            /* the descriptor the handed-over reply carried */
};

struct SimConn {
    int handle = -1;   /* descriptor number the caller holds */
    int sock = -1;     /* private duplicate that carries the traffic */
    uint64_t arena_size = 0; /* offsets the unit's regions may lie at */
    int mem_fd = -1;        /* the boards' physical memory file */
    uint64_t bar0_phys = 0; /* this unit's BAR0 in it */
    uint64_t bar0_size = 0;
    std::atomic<uint32_t> seq{0};
    std::atomic<int> refs{1};
    std::mutex mu; /* guards waiters */
    Waiter *waiters = nullptr;
    SimConn *next_high = nullptr; /* chain of descriptors >= kDirectFds */
};

/*
 * Descriptor table.  Slots below kDirectFds are read without the lock first
 * so that real device files pay nothing; a non-null slot is confirmed and
 * referenced under the shared lock.
 */
std::atomic<SimConn *> g_direct[kDirectFds];
SimConn *g_high = nullptr;
std::shared_mutex g_table_mu;

void conn_destroy(SimConn *c)
{
    if (c->sock >= 0) close(c->sock);
    if (c->mem_fd >= 0) close(c->mem_fd);
    delete c;
}

void conn_release(SimConn *c)
{
    if (c && c->refs.fetch_sub(1, std::memory_order_acq_rel) == 1) conn_destroy(c);
}

/* Removes fd's entry from the table and returns it (the table's reference). */
SimConn *table_take(int fd)
{
    if (fd < 0) return nullptr;
    std::unique_lock lk(g_table_mu);
    if (fd < kDirectFds) return g_direct[fd].exchange(nullptr, std::memory_order_acq_rel);
    for (SimConn **pp = &g_high; *pp; pp = &(*pp)->next_high) {
        if ((*pp)->handle == fd) {
            SimConn *c = *pp;
            *pp = c->next_high;
            c->next_high = nullptr;
            return c;
        }
    }
    return nullptr;
}

/* Enters c under its handle; returns a stale entry it replaced, if any. */
SimConn *table_put(SimConn *c)
{
    std::unique_lock lk(g_table_mu);
    if (c->handle < kDirectFds)
        return g_direct[c->handle].exchange(c, std::memory_order_acq_rel);
    SimConn *old = nullptr;
    for (SimConn **pp = &g_high; *pp; pp = &(*pp)->next_high) {
        if ((*pp)->handle == c->handle) {
            old = *pp;
            *pp = old->next_high;
            old->next_high = nullptr;
            break;
        }
    }
    c->next_high = g_high;
    g_high = c;
    return old;
}

/* The connection behind fd with a reference taken, or null for a real device. */
SimConn *conn_get(int fd)
{
    if (fd < 0) return nullptr;
    if (fd < kDirectFds && !g_direct[fd].load(std::memory_order_acquire)) return nullptr;
    std::shared_lock lk(g_table_mu);
    SimConn *c = nullptr;
    if (fd < kDirectFds) {
        c = g_direct[fd].load(std::memory_order_acquire);
    } else {
        for (SimConn *p = g_high; p; p = p->next_high) {
            if (p->handle == fd) {
                c = p;
                break;
            }
        }
    }
    if (c) c->refs.fetch_add(1, std::memory_order_relaxed);
    return c;
}

/* A descriptor that the system handed out again may still have an entry
 * from a connection that was closed behind the layer's back: drop it. */
void table_forget(int fd) { conn_release(table_take(fd)); }

/*
 * Per-thread resources for waiting on simulator replies.  The record itself is
 * trivially destructible so it stays usable to the thread's very end: a
 * library call made from a static destructor runs after the thread's own
 * destructors, and a destroyed record (whose resetting stores the compiler may
 * drop, the object's lifetime being over) would hand out a freed buffer.  The
 * cleaner below releases the resources and leaves the record empty; a later
 * call simply makes them again.
 */
struct ThreadCtx {
    int evfd;
    uint8_t *buf;
    zal_sim_spin_backoff spin; /* replies looked for without sleeping (sim_ioctl) */
};

constinit thread_local ThreadCtx t_ctx = {-1, nullptr, {}};

struct ThreadCtxCleaner {
    bool armed = false;
    ~ThreadCtxCleaner()
    {
        if (t_ctx.evfd >= 0) close(t_ctx.evfd);
        free(t_ctx.buf);
        t_ctx.evfd = -1;
        t_ctx.buf = nullptr;
    }
};

thread_local ThreadCtxCleaner t_ctx_cleaner;
/* Set once the cleaner exists: it is never touched again after that, so not
 * after its own destruction either. */
constinit thread_local bool t_ctx_cleaner_made = false;

int thread_ctx(ThreadCtx **out)
{
    ThreadCtx *t = &t_ctx;
    if (!t_ctx_cleaner_made) {
        t_ctx_cleaner.armed = true; /* constructs the cleaner on first use */
        t_ctx_cleaner_made = true;
    }
    if (t->evfd < 0) {
        t->evfd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (t->evfd < 0) return errno;
    }
    if (!t->buf) {
        t->buf = static_cast<uint8_t *>(malloc(kRecvBufSize));
        if (!t->buf) return ENOMEM;
    }
    *out = t;
    return 0;
}

/* Errors of a connection whose simulator went away read as a device that is gone. */
int link_errno(int e)
{
    switch (e) {
    case EPIPE:
    case ECONNRESET:
    case ENOTCONN:
    case ECONNREFUSED:
        return ENXIO;
    default:
        return e;
    }
}

/*
 * Reads the hello of a fresh connection.  0 with the arena size and the board
 * memory (descriptor, BAR0 place), or the errno the open fails with.
 */
struct Hello {
    uint64_t arena_size = 0;
    int mem_fd = -1;
    uint64_t bar0_phys = 0, bar0_size = 0;
};

int read_hello(int s, Hello *out)
{
    struct pollfd pf = {s, POLLIN, 0};
    int n = poll(&pf, 1, kHelloTimeoutMs);
    if (n < 0) return errno;
    if (n == 0) return ENODEV; /* a socket nobody serves */

    zal_sim_hello h;
    struct iovec iov = {&h, sizeof h};
    alignas(struct cmsghdr) char cbuf[CMSG_SPACE(4 * sizeof(int))];
    struct msghdr mh = {};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    mh.msg_control = cbuf;
    mh.msg_controllen = sizeof cbuf;
    ssize_t got = recvmsg(s, &mh, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
    if (got < 0) {
        int e = errno;
        return e == EAGAIN || e == ECONNRESET ? ENODEV : e;
    }

    int mfd = zal_sim_take_passed_fd(&mh);

    int rc = 0;
    if (got != ssize_t(sizeof h) || (mh.msg_flags & MSG_TRUNC) || h.magic != ZAL_SIM_MAGIC ||
        h.version != ZAL_SIM_VERSION) {
        rc = ENODEV;
    } else if (h.error != 0) {
        rc = h.error > 0 && h.error < 4096 ? h.error : ENODEV;
    }
    if (rc != 0) {
        if (mfd >= 0) close(mfd);
        return rc;
    }

    /* Never map past what the memory file really holds: that would fault on
     * access. */
    struct stat st;
    out->arena_size = h.arena_size;
    out->mem_fd = mfd;
    if (mfd >= 0 && fstat(mfd, &st) == 0 && h.bar0_phys <= uint64_t(st.st_size)) {
        out->bar0_phys = h.bar0_phys;
        out->bar0_size = h.bar0_size < uint64_t(st.st_size) - h.bar0_phys ? h.bar0_size
                                                                            : uint64_t(st.st_size) - h.bar0_phys;
        if (out->bar0_size > QUOR_RAW_BAR0_MAP_SIZE) out->bar0_size = QUOR_RAW_BAR0_MAP_SIZE;
    }
    return 0;
}

/* Connects to the simulated unit at path; 0 and the handle, or an errno. */
int sim_connect(const char *path, zal_handle_t *handle)
{
    struct sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    size_t plen = strlen(path);
    if (plen >= sizeof sa.sun_path) return ENAMETOOLONG;
    memcpy(sa.sun_path, path, plen + 1);

    int s = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (s < 0) return errno;
    if (connect(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa) != 0) {
        int e = errno;
        close(s);
        return e == ECONNREFUSED ? ENODEV : e;
    }

    Hello hl;
    int rc = read_hello(s, &hl);
    if (rc != 0) {
        close(s);
        return rc;
    }

    SimConn *c = new (std::nothrow) SimConn;
    if (!c) {
        if (hl.mem_fd >= 0) close(hl.mem_fd);
        close(s);
        return ENOMEM;
    }
    c->handle = s;
    c->arena_size = hl.arena_size;
    c->mem_fd = hl.mem_fd;
    c->bar0_phys = hl.bar0_phys;
    c->bar0_size = hl.bar0_size;
    c->sock = fcntl(s, F_DUPFD_CLOEXEC, 0);
    if (c->sock < 0) {
        rc = errno;
        conn_destroy(c);
        close(s);
        return rc;
    }
    conn_release(table_put(c));
    *handle = s;
    return 0;
}

int open_path(const char *path, zal_handle_t *handle)
{
    int fd = open(path, O_RDWR | O_CLOEXEC);
    if (fd >= 0) {
        table_forget(fd);
        *handle = fd;
        return 0;
    }
    int e = errno;
    /* Opening a socket file fails (ENXIO here, EOPNOTSUPP on some systems):
     * a socket at a device path is the simulated driver. */
    if (e == ENXIO || e == EOPNOTSUPP) {
        struct stat st;
        if (stat(path, &st) == 0 && S_ISSOCK(st.st_mode)) return sim_connect(path, handle);
    }
    return e;
}

/* Unlinks w from c's waiters.  Called with c->mu held. */
void waiter_unlink(SimConn *c, Waiter *w)
{
    for (Waiter **pp = &c->waiters; *pp; pp = &(*pp)->next) {
        if (*pp == w) {
            *pp = w->next;
            w->next = nullptr;
            return;
        }
    }
}

/* Keeps w linked on c from construction to destruction, cancellation
 * included; a reply handed over but never taken is freed with it. */
class WaiterLink {
public:
    WaiterLink(SimConn *c, Waiter *w) : c_(c), w_(w)
    {
        std::lock_guard lk(c_->mu);
        w_->next = c_->waiters;
        c_->waiters = w_;
    }
    ~WaiterLink()
    {
        std::lock_guard lk(c_->mu);
        waiter_unlink(c_, w_);
        free(w_->msg);
        w_->msg = nullptr;
        if (w_->fd >= 0) close(w_->fd);
        w_->fd = -1;
    }
    WaiterLink(const WaiterLink &) = delete;
    WaiterLink &operator=(const WaiterLink &) = delete;

private:
    SimConn *c_;
    Waiter *w_;
};

/* Cancellation off for the life of the object, except inside allow(). */
class CancelPoint {
public:
    CancelPoint() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &old_); }
    ~CancelPoint() { pthread_setcancelstate(old_, nullptr); }
    CancelPoint(const CancelPoint &) = delete;
    CancelPoint &operator=(const CancelPoint &) = delete;
    /* poll() as the caller's cancellation state allows. */
    int poll_allowing(struct pollfd *pf, nfds_t n)
    {
        int ignored;
        pthread_setcancelstate(old_, &ignored);
        int r = poll(pf, n, -1);
        int e = errno;
        pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, &ignored);
        errno = e;
        return r;
    }

private:
    int old_ = PTHREAD_CANCEL_ENABLE;
};

/* Hands a reply that is not the reader's own to the thread awaiting it,
 * with the descriptor it carried (fd, -1: none), which is closed when nobody
 * awaits it. */
void hand_over(SimConn *c, uint32_t seq, const uint8_t *msg, size_t len, int error, int fd)
{
    std::lock_guard lk(c->mu);
    for (Waiter *w = c->waiters; w; w = w->next) {
        if (w->seq != seq || w->done) continue;
        w->fd = fd;
        if (error == 0) {
            w->msg = static_cast<uint8_t *>(malloc(len));
            if (w->msg) {
                memcpy(w->msg, msg, len);
                w->len = len;
            } else {
                error = ENOMEM;
            }
        }
        w->error = error;
        w->done = true;
        uint64_t one = 1;
        ssize_t r = write(w->evfd, &one, sizeof one);
        (void)r; /* a full counter is still a pending wake-up */
        return;
    }
    /* Nobody awaits it: a reply to an interrupted request. */
    if (fd >= 0) close(fd);
}

/* Where the caller wants the payload of a reply (a received frame). */
struct OutPayload {
    void *buf = nullptr;
    size_t cap = 0;
};

/* Applies a reply to the caller's record and payload buffer; returns its result. */
int apply_reply(const uint8_t *m, size_t len, void *record, size_t size, const OutPayload &out)
{
    zal_sim_rep rp;
    if (len < sizeof rp) return EIO;
    memcpy(&rp, m, sizeof rp);
    if (uint64_t(sizeof rp) + rp.size + rp.extra != len) return EIO;
    size_t n = rp.size < size ? rp.size : size;
    if (n) memcpy(record, m + sizeof rp, n);
    if (rp.extra && out.buf) {
        size_t k = rp.extra < out.cap ? rp.extra : out.cap;
        memcpy(out.buf, m + sizeof rp + rp.size, k);
    }
    if (rp.error < 0 || rp.error >= 4096) return EIO;
    return rp.error;
}

/* The result of a waiter whose reply was handed over; frees the copy. */
int take_handed(Waiter *w, void *record, size_t size, const OutPayload &out, int *fd_out)
{
    int rc = w->error ? w->error : apply_reply(w->msg, w->len, record, size, out);
    free(w->msg);
    w->msg = nullptr;
    if (fd_out && rc == 0) {
        *fd_out = w->fd;
        w->fd = -1;
    }
    return rc;
}

/* One request and its reply.  fd_out: where a descriptor the reply carries
 * goes (the caller closes it); without it such a descriptor is closed. */
int sim_ioctl(SimConn *c, uint32_t request, void *record, size_t size, int *fd_out = nullptr)
{
    if (size > ZAL_SIM_MAX_RECORD) return EINVAL;
    if (size && !record) return EFAULT;

    /* The record, then the bytes the driver would copy in from the caller. */
    zal_sim_req rq = {};
    struct iovec iov[2 + QUOR_SOFT_RX_MAX_SEGS];
    int niov = 0;
    iov[niov++] = {&rq, sizeof rq};
    if (size) iov[niov++] = {record, size};
    uint64_t extra = 0;
    OutPayload out;

    switch (request) {
    case QUOR_KPT_SOFT_RX:
        if (size >= sizeof(quor_soft_rx_t)) {
            quor_soft_rx_t sr;
            memcpy(&sr, record, sizeof sr);
            int segs = sr.seg_cnt < QUOR_SOFT_RX_MAX_SEGS ? sr.seg_cnt : QUOR_SOFT_RX_MAX_SEGS;
            // The driver checks the lengths before it copies anything: a
            // frame no port could carry is refused without reading the
            // caller's buffer, which may be far shorter than claimed.
            bool sane = sr.pkt_len <= QUOR_MAX_FRAME;
            for (int i = 0; i < segs; ++i)
                if (sr.copy_desc[i].len > QUOR_MAX_FRAME) sane = false;
            if (!sane) segs = 0;
            for (int i = 0; i < segs; ++i) {
                const quor_copy_desc_t &d = sr.copy_desc[i];
                if (!d.ptr || !d.len) continue;
                iov[niov++] = {reinterpret_cast<void *>(uintptr_t(d.ptr)), d.len};
                extra += d.len;
            }
        }
        break;
    case QUOR_RAW_SEND:
        if (size >= sizeof(quor_raw_send_t)) {
            quor_raw_send_t rs;
            memcpy(&rs, record, sizeof rs);
            if ((rs.route_length && !rs.route_pointer) || (rs.data_length && !rs.data_pointer))
                return EFAULT;
            if (rs.route_length) {
                iov[niov++] = {reinterpret_cast<void *>(uintptr_t(rs.route_pointer)),
                               rs.route_length};
                extra += rs.route_length;
            }
            if (rs.data_length) {
                iov[niov++] = {reinterpret_cast<void *>(uintptr_t(rs.data_pointer)),
                               rs.data_length};
                extra += rs.data_length;
            }
        }
        break;
    case QUOR_RAW_NEXT_EVENT:
        if (size >= sizeof(quor_raw_next_event_t)) {
            quor_raw_next_event_t ev;
            memcpy(&ev, record, sizeof ev);
            out.buf = reinterpret_cast<void *>(uintptr_t(ev.recv_buffer));
            out.cap = out.buf ? ev.recv_bytes : 0;
        }
        break;
    default:
        break;
    }
    if (extra > ZAL_SIM_MAX_EXTRA) return EINVAL;

    /* A release synchronisation's result is ignored by every caller: it is
     * sent, and not waited for.  A real driver answers it at once; here a
     * round trip to another process per 64 KiB released would cost the
     * reader more than the frames do. */
    if (request == QUOR_KPT_RX_SYNC) {
        rq.seq = ZAL_SIM_NO_REPLY;
        rq.request = request;
        rq.size = uint32_t(size);
        struct msghdr mh = {};
        mh.msg_iov = iov;
        mh.msg_iovlen = size_t(niov);
        ssize_t sent = sendmsg(c->sock, &mh, MSG_NOSIGNAL);
        if (sent != ssize_t(sizeof rq + size)) return sent < 0 ? link_errno(errno) : EIO;
        return 0;
    }

    /* Nothing below may be cancelled halfway (a hand-over without its
     * wake-up would strand another thread) but the wait. */
    CancelPoint cancel;
    ThreadCtx *t;
    int rc = thread_ctx(&t);
    if (rc != 0) return rc;

    Waiter w;
    w.seq = c->seq.fetch_add(1, std::memory_order_relaxed) + 1;
    if (w.seq == ZAL_SIM_NO_REPLY) w.seq = c->seq.fetch_add(1, std::memory_order_relaxed) + 1;
    w.evfd = t->evfd;
    rq.seq = w.seq;
    rq.request = request;
    rq.size = uint32_t(size);
    rq.extra = uint32_t(extra);

    /* Registered before sending, so that a reply read by another thread
     * right away finds its waiter. */
    WaiterLink link(c, &w);

    struct msghdr mh = {};
    mh.msg_iov = iov;
    mh.msg_iovlen = size_t(niov);
    ssize_t sent = sendmsg(c->sock, &mh, MSG_NOSIGNAL);
    if (sent != ssize_t(sizeof rq + size + extra)) {
        return sent < 0 ? link_errno(errno) : EIO;
    }

    struct pollfd pf[2] = {{c->sock, POLLIN, 0}, {t->evfd, POLLIN, 0}};
    alignas(struct cmsghdr) char cbuf[CMSG_SPACE(4 * sizeof(int))];
    /* Looks without waiting come first: the reply is often there already
     * (the request woke the simulator on this core and it answered before
     * the send returned), or arrives within microseconds from the other
     * core, sooner than this thread could be woken from a poll() on a
     * processor gone idle.  A request the driver may hold (a wait) goes to
     * poll() after one look.  A hand-over that lands meanwhile leaves the
     * eventfd set: the next wait of this thread reads it and looks again,
     * which costs nothing else. */
    int64_t probe_until = 0;
    if (!request_may_wait(request) && t->spin.due())
        probe_until = mono_ns() + kReplySpinNs;
    bool probe = true;
    for (;;) {
        {
            std::lock_guard lk(c->mu);
            if (w.done) break;
        }
        if (!probe) {
            int n = cancel.poll_allowing(pf, 2);
            if (n < 0) {
                /* Interrupted (or failed): the request is given up, as an
                 * interrupted ioctl would be, unless its reply is already here. */
                int e = errno;
                std::lock_guard lk(c->mu);
                if (w.done) break;
                return e;
            }
            if (pf[1].revents & POLLIN) {
                uint64_t v;
                ssize_t r = read(t->evfd, &v, sizeof v);
                (void)r; /* reset; w.done is checked at the top */
            }
            if (!(pf[0].revents & (POLLIN | POLLHUP | POLLERR))) continue;
        }
        probe = false;

        struct iovec riov = {t->buf, kRecvBufSize};
        struct msghdr rh = {};
        rh.msg_iov = &riov;
        rh.msg_iovlen = 1;
        rh.msg_control = cbuf;
        rh.msg_controllen = sizeof cbuf;
        ssize_t got = recvmsg(c->sock, &rh, MSG_DONTWAIT | MSG_CMSG_CLOEXEC);
        if (got < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            /* Not there yet, or another reader took it.  Looks that keep
             * missing mean a busy machine, where they only take the
             * processor from the simulator: the thread backs off,
             * doubling, and tries again later. */
            probe = probe_until != 0 && mono_ns() < probe_until;
            if (probe_until != 0 && !probe) {
                probe_until = 0;
                t->spin.missed(kReplySpinBackoffMax);
            }
            continue;
        }
        if (got <= 0) {
            /* The simulator hung up (or the connection broke). */
            rc = got == 0 ? ENXIO : link_errno(errno);
            std::lock_guard lk(c->mu);
            if (w.done) break;
            return rc;
        }
        int passed = rh.msg_controllen ? zal_sim_take_passed_fd(&rh) : -1;
        if (size_t(got) < sizeof(zal_sim_rep)) { /* cannot be routed */
            if (passed >= 0) close(passed);
            continue;
        }
        zal_sim_rep rp;
        memcpy(&rp, t->buf, sizeof rp);
        int bad = (rh.msg_flags & MSG_TRUNC) || size_t(got) >= kRecvBufSize ? EIO : 0;
        if (rp.seq == w.seq) {
            if (probe_until != 0) t->spin.paid();
            /* A duplicate handed over meanwhile is freed with the link. */
            rc = bad ? bad : apply_reply(t->buf, size_t(got), record, size, out);
            if (rc == 0 && fd_out)
                *fd_out = passed;
            else if (passed >= 0)
                close(passed);
            return rc;
        }
        hand_over(c, rp.seq, t->buf, size_t(got), bad, passed);
    }
    /* Once done, the waiter gets no second hand-over. */
    return take_handed(&w, record, size, out, fd_out);
}

} // namespace

extern "C" {

const char *zal_dev_dir(void)
{
    const char *d = getenv("ZAL_DEV_DIR");
    return d && *d ? d : "/dev";
}

int zal_open(int unit, int endpoint, zal_handle_t *handle, uint8_t product)
{
    (void)endpoint;
    if (product > QUOR_PRODUCT_MAX) return EINVAL;
    if (!handle) return EINVAL;
    const char *dir = zal_dev_dir();
    char letter = char('A' + product);
    char path[PATH_MAX];

    int n = snprintf(path, sizeof path, "%s/quor%cp%d", dir, letter, unit);
    int first = n < 0 || size_t(n) >= sizeof path ? ENAMETOOLONG : open_path(path, handle);
    if (first == 0) return 0;

    n = snprintf(path, sizeof path, "%s/quor%c%d", dir, letter, unit);
    int second = n < 0 || size_t(n) >= sizeof path ? ENAMETOOLONG : open_path(path, handle);
    if (second == 0) return 0;
    /* The second name's error, unless that file simply does not exist: a
     * unit that has only its first name must report why that one failed
     * (busy, refused), or the scan of zal_open_any_board would read every
     * such unit as missing. */
    return second == ENOENT ? first : second;
}

int zal_open_any_board(zal_handle_t *handle, uint8_t product)
{
    if (!handle) return EINVAL;
    bool file_seen = false;   /* some unit has a device file */
    bool driver_seen = false; /* some unit's driver answered */
    bool other_seen = false;  /* an answer other than a permission refusal */
    for (int unit = 0; unit < kUnitsScanned; ++unit) {
        zal_handle_t h = -1;
        int rc = zal_open(unit, 0, &h, product);
        if (rc == 0) {
            *handle = h;
            return 0;
        }
        if (rc == ENOENT) break;
        file_seen = true;
        if (rc == ENODEV || rc == ENXIO) break;
        driver_seen = true;
        if (rc != EACCES && rc != EPERM) other_seen = true;
    }
    if (!file_seen) return ENOENT;
    if (!driver_seen) return ENODEV;
    if (other_seen) return EBUSY;
    return EACCES;
}

int zal_close(zal_handle_t handle)
{
    SimConn *c = table_take(handle);
    int rc = close(handle) == 0 ? 0 : errno;
    conn_release(c);
    return rc;
}

int zal_ioctl(zal_handle_t handle, int request, void *record, size_t size)
{
    SimConn *c = conn_get(handle);
    if (!c) return ioctl(handle, (unsigned long)(uint32_t)request, record) == 0 ? 0 : errno;
    /* Released also when the caller is cancelled in the request. */
    struct ConnRef {
        SimConn *c;
        ~ConnRef() { conn_release(c); }
    } ref{c};
    return sim_ioctl(c, uint32_t(request), record, size);
}

/* Filled-in page tables are not the whole story in a virtual machine: the
 * first access to each page of a new mapping still stops in the hypervisor
 * (about 2 us a page here, 0.27 s for 512 MiB), and a reader's first lap
 * over a large ring at line rate fell that far behind.  One read a page
 * takes that cost when the ring is mapped; a kept mapping has paid it. */
static void touch_pages(const void *p, size_t length)
{
    const volatile uint8_t *b = static_cast<const volatile uint8_t *>(p);
    for (size_t o = 0; o < length; o += 4096) (void)b[o];
}

void *zal_mmap(void *start, size_t length, zal_handle_t handle, uintptr_t offset,
               int read_only)
{
    int prot = read_only ? PROT_READ : PROT_READ | PROT_WRITE;
    SimConn *c = conn_get(handle);
    if (!c) return mmap(start, length, prot, MAP_SHARED | MAP_POPULATE, handle, off_t(offset));
    void *p;
    const uint64_t bar = QUOR_RAW_BAR0_MAP_OFFSET, off = offset, len = length;
    if (off >= bar && off - bar < c->bar0_size) {
        /* The board's BAR0, from the physical memory file; never past it. */
        if (len > c->bar0_size - (off - bar)) {
            errno = EINVAL;
            p = MAP_FAILED;
        } else {
            p = mmap(start, length, prot, MAP_SHARED, c->mem_fd, off_t(c->bar0_phys + (off - bar)));
        }
    } else if ((off < bar + QUOR_RAW_BAR0_MAP_SIZE && off + len > bar) || off > c->arena_size ||
               len > c->arena_size - off) {
        errno = EINVAL;
        p = MAP_FAILED;
    } else {
        /* The driver hands out the memory of one region at a time, and only
         * of a region the caller owns. */
        zal_sim_map m = {};
        m.offset = off;
        m.length = len;
        int fd = -1;
        int rc = sim_ioctl(c, ZAL_SIM_MAP, &m, sizeof m, &fd);
        if (rc == 0 && (fd < 0 || m.region_offset > off || off - m.region_offset > m.region_length ||
                        len > m.region_length - (off - m.region_offset)))
            rc = EIO;
        struct stat st;
        if (rc == 0 && fstat(fd, &st) != 0) rc = errno;
        if (rc == 0) {
            const zal__map_key key = {uint64_t(st.st_dev), uint64_t(st.st_ino),
                                      off - m.region_offset, prot};
            /* The same memory as a ring this process closed a moment ago:
             * its mapping was kept, page tables and all. */
            p = start ? nullptr : zal__mapkeep_take(&key, length);
            if (!p) {
                /* Rings are mapped whole, page tables and all, in one step:
                 * a page fault a page over hundreds of MiB costs far more,
                 * and the receive path never takes one. */
                p = mmap(start, length, prot, MAP_SHARED | MAP_POPULATE, fd, off_t(key.obj_offset));
                if (p != MAP_FAILED) {
                    touch_pages(p, length);
                    zal__mapkeep_note(p, length, &key);
                }
            }
        } else {
            errno = rc;
            p = MAP_FAILED;
        }
        if (fd >= 0) {
            int e = errno;
            close(fd);
            errno = e;
        }
    }
    int e = errno;
    conn_release(c);
    errno = e;
    return p;
}

int zal_munmap(void *start, size_t length)
{
    if (zal__mapkeep_release(start, length)) return 0;
    return munmap(start, length);
}

int zal__is_simulated(zal_handle_t handle)
{
    SimConn *c = conn_get(handle);
    conn_release(c);
    return c != nullptr;
}

} // extern "C"
