// sim_server.cpp - device sockets, client connections and request dispatch.
//
// One server thread owns every connection: it accepts clients on the unit
// sockets and the control socket, reads requests, answers them, and keeps
// requests that must wait (driver waits, replies held back by a fault) in a
// parked list that is re-examined whenever another thread wakes it or a
// deadline passes.  Nothing a client sends can block another client.
#include <errno.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <string.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/timerfd.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>

#include "kpt_build.h"
#include "sim_internal.h"
#include "sim_wire_impl.h"

namespace quorsim {

namespace {

constexpr uint64_t kArenaSize = 64ull << 30; // sparse: only touched pages cost memory
constexpr size_t kMaxQueuedReplies = 4096;

// Tags of epoll entries: the low bits say what the descriptor is.
enum : uint64_t { kTagWake = 1, kTagTimer = 2, kTagCtlListen = 3, kTagPort = 4, kTagConn = 5, kTagCtl = 6 };
uint64_t tag(uint64_t kind, uint64_t val) { return (val << 8) | kind; }

void block_signals()
{
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, nullptr);
}

// Creates dir and any missing parents, as mkdir -p does; 0 or the error
// (with the message in *err).
int make_dirs(const std::string &dir, std::string *err)
{
    for (size_t at = 0; at != std::string::npos;) {
        at = dir.find('/', at + 1);
        const std::string part = dir.substr(0, at);
        if (mkdir(part.c_str(), 0777) == 0 || errno == EEXIST) continue;
        int e = errno;
        *err = "directory " + printable(part) + ": " + strerror(e);
        return e;
    }
    struct stat st;
    const int bad = stat(dir.c_str(), &st) != 0 ? errno : S_ISDIR(st.st_mode) ? 0 : ENOTDIR;
    if (bad) {
        *err = "directory " + printable(dir) + ": " + strerror(bad);
        return bad;
    }
    return 0;
}

int make_listener(const std::string &path, int type, std::string *err)
{
    struct sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    if (path.size() >= sizeof sa.sun_path) {
        *err = "socket path too long: " + printable(path);
        return -ENAMETOOLONG;
    }
    memcpy(sa.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, type | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        *err = std::string("socket: ") + strerror(errno);
        return -errno;
    }
    struct stat st;
    if (lstat(path.c_str(), &st) == 0) {
        if (!S_ISSOCK(st.st_mode)) {
            *err = printable(path) + " exists and is not a socket";
            close(fd);
            return -EEXIST;
        }
        // A socket file left behind by a simulator that is gone is reused;
        // one that still answers belongs to a running simulator.
        int probe = socket(AF_UNIX, type | SOCK_CLOEXEC, 0);
        bool live = probe >= 0 && connect(probe, (struct sockaddr *)&sa, sizeof sa) == 0;
        if (probe >= 0) close(probe);
        if (live) {
            *err = printable(path) + " is served by another simulator";
            close(fd);
            return -EADDRINUSE;
        }
        unlink(path.c_str());
    }
    if (bind(fd, (struct sockaddr *)&sa, sizeof sa) != 0) {
        int e = errno;
        *err = "bind " + printable(path) + ": " + strerror(e);
        close(fd);
        return -e;
    }
    chmod(path.c_str(), 0600);
    if (listen(fd, 64) != 0) {
        int e = errno;
        *err = "listen " + printable(path) + ": " + strerror(e);
        close(fd);
        unlink(path.c_str());
        return -e;
    }
    return fd;
}

// Puts one descriptor into a message's control data (cbuf: CMSG_SPACE(sizeof(int))).
void attach_fd(struct msghdr *mh, char *cbuf, size_t cap, int fd)
{
    mh->msg_control = cbuf;
    mh->msg_controllen = cap;
    struct cmsghdr *cm = CMSG_FIRSTHDR(mh);
    cm->cmsg_level = SOL_SOCKET;
    cm->cmsg_type = SCM_RIGHTS;
    cm->cmsg_len = CMSG_LEN(sizeof(int));
    memcpy(CMSG_DATA(cm), &fd, sizeof fd);
}

// Sends one message with the descriptor it carries, if any.
ssize_t send_msg(int sock, const std::vector<uint8_t> &bytes, int fd)
{
    struct iovec iov = {const_cast<uint8_t *>(bytes.data()), bytes.size()};
    struct msghdr mh = {};
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    alignas(struct cmsghdr) char cbuf[CMSG_SPACE(sizeof(int))] = {};
    if (fd >= 0) attach_fd(&mh, cbuf, sizeof cbuf, fd);
    return sendmsg(sock, &mh, MSG_DONTWAIT | MSG_NOSIGNAL);
}

template <class T> bool rec_get(const std::vector<uint8_t> &rec, T *out)
{
    if (rec.size() != sizeof(T)) return false;
    memcpy(out, rec.data(), sizeof(T));
    return true;
}

template <class T> void rec_put(std::vector<uint8_t> &rec, const T &v)
{
    rec.resize(sizeof(T));
    memcpy(rec.data(), &v, sizeof(T));
}

}  // namespace

int64_t mono_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

int64_t real_ns()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return int64_t(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

// ---------------------------------------------------------------------------
// Simulator facade
// ---------------------------------------------------------------------------

Simulator::Simulator(Options o) : impl_(std::make_unique<Impl>(std::move(o))) {}
Simulator::~Simulator() { stop(); }
int Simulator::start(std::string *err)
{
    std::string dummy;
    return impl_->start(err ? err : &dummy);
}
void Simulator::stop() { impl_->stop(); }
const Options &Simulator::options() const { return impl_->opt; }
const std::string &Simulator::dir() const { return impl_->dir; }
std::string Simulator::command(const std::string &line) { return impl_->command(line); }
int Simulator::send_frame(int port, const void *frame, size_t len)
{
    return impl_->send_frame(port, static_cast<const uint8_t *>(frame), len);
}
int Simulator::connections(int unit) const
{
    if (unit < 0 || size_t(unit) >= impl_->ports.size()) return -1;
    return impl_->ports[size_t(unit)]->connections.load();
}

Simulator::Impl::Impl(Options o) : opt(std::move(o))
{
    if (opt.driver_version.empty()) opt.driver_version = KPT_LIB_VERSION_STR;
    if (opt.driver_build.empty()) opt.driver_build = KPT_LIB_BUILD_STR;
    dir = opt.dir;
    if (dir.empty()) {
        const char *e = getenv("ZAL_DEV_DIR");
        dir = (e && *e) ? e : "/dev";
    }
}

Simulator::Impl::~Impl() { stop(); }

int Simulator::Impl::start(std::string *err)
{
    if (running) return 0;
    if (opt.ports < 1 || opt.ports > 32) {
        *err = "the number of ports must be 1 to 32";
        return EINVAL;
    }
    for (int u = 0; u < opt.ports; ++u) {
        auto p = std::make_unique<Port>();
        p->unit = u;
        p->board_type = opt.board_type;
        p->intr_coal = opt.intr_coal;
        // Locally administered address 02:51:53:<letter>:00:<unit>.
        p->nic_id = 0x025153000000ull | (uint64_t(uint8_t(opt.letter - 'A')) << 16) | uint64_t(u);
        int e = p->arena.create(u, kArenaSize);
        if (e) {
            *err = std::string("shared memory arena: ") + strerror(e);
            ports.clear();
            return e;
        }
        ports.push_back(std::move(p));
    }

    epfd = epoll_create1(EPOLL_CLOEXEC);
    evfd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    timerfd = timerfd_create(CLOCK_MONOTONIC, TFD_CLOEXEC | TFD_NONBLOCK);
    if (epfd < 0 || evfd < 0 || timerfd < 0) {
        int e = errno;
        *err = std::string("epoll: ") + strerror(e);
        stop();
        return e;
    }
    auto add = [&](int fd, uint64_t t) {
        struct epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.u64 = t;
        epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev);
    };
    add(evfd, tag(kTagWake, 0));
    add(timerfd, tag(kTagTimer, 0));

    if (int e = make_dirs(dir, err)) {
        stop();
        return e;
    }
    for (auto &p : ports) {
        char name[64];
        snprintf(name, sizeof name, "quor%cp%d", opt.letter, p->unit);
        p->sock_path = dir + "/" + name;
        int fd = make_listener(p->sock_path, SOCK_SEQPACKET, err);
        if (fd < 0) {
            p->sock_path.clear();
            stop();
            return -fd;
        }
        p->listen_fd = fd;
        add(fd, tag(kTagPort, uint64_t(p->unit)));
    }
    ctl_path = dir + "/quorsim.ctl";
    ctl_fd = make_listener(ctl_path, SOCK_STREAM, err);
    if (ctl_fd < 0) {
        int e = -ctl_fd;
        ctl_fd = -1;
        ctl_path.clear();
        stop();
        return e;
    }
    add(ctl_fd, tag(kTagCtlListen, 0));

    {
        std::vector<BoardSpec> specs;
        for (const std::string &b : opt.boards) {
            if (!parse_board_spec(b, opt.ports, &specs, err)) {
                stop();
                return EINVAL;
            }
        }
        if (int e = board.create(dir, opt.ports, specs, err)) {
            stop();
            return e;
        }
    }
    if (!opt.bridge.empty()) {
        bridge = std::make_unique<BridgeServer>(board, board.boards());
        if (int e = bridge->start(opt.bridge, err)) {
            bridge.reset();
            stop();
            return e;
        }
    }

    quit = false;
    if (int e = start_adapters(err)) {
        quit = true;
        stop();
        return e;
    }
    running = true;
    server = std::thread([this] {
        block_signals();
        serve();
    });
    return 0;
}

void Simulator::Impl::stop()
{
    quit = true;
    if (running) {
        wake();
        if (server.joinable()) server.join();
        running = false;
    }
    stop_adapters();
    for (Parked &pk : parked)
        if (pk.cleanup) pk.cleanup();
    parked.clear();
    for (auto &[fd, c] : conns) {
        unbind(*c);
        for (Conn::OutMsg &m : c->outq)
            if (m.fd >= 0) close(m.fd);
        close(fd);
        if (c->port) c->port->connections--;
    }
    conns.clear();
    for (auto &[fd, s] : ctl_conns) close(fd);
    ctl_conns.clear();
    parked.clear();
    for (auto &p : ports) {
        if (p->listen_fd >= 0) close(p->listen_fd);
        p->listen_fd = -1;
        if (!p->sock_path.empty()) unlink(p->sock_path.c_str());
        p->sock_path.clear();
    }
    if (ctl_fd >= 0) close(ctl_fd);
    ctl_fd = -1;
    if (!ctl_path.empty()) unlink(ctl_path.c_str());
    ctl_path.clear();
    bridge.reset();
    board.remove();
    for (int *fd : {&epfd, &evfd, &timerfd}) {
        if (*fd >= 0) close(*fd);
        *fd = -1;
    }
    // Release any command() caller still waiting.
    std::lock_guard<std::mutex> lk(jobs_mu);
    for (CtlJob *j : jobs) {
        j->reply = "error: simulator stopped\n";
        j->done = true;
    }
    jobs.clear();
    jobs_cv.notify_all();
}

void Simulator::Impl::wake()
{
    uint64_t one = 1;
    if (evfd >= 0) (void)!write(evfd, &one, sizeof one);
}

std::string Simulator::Impl::command(const std::string &line)
{
    if (!running) return exec_command(line);
    CtlJob job;
    job.line = line;
    std::unique_lock<std::mutex> lk(jobs_mu);
    jobs.push_back(&job);
    wake();
    jobs_cv.wait(lk, [&] { return job.done; });
    return job.reply;
}

// ---------------------------------------------------------------------------
// Server loop
// ---------------------------------------------------------------------------

// After a client's request the loop keeps looking, without sleeping, this
// long: the next request of a client that asks in a row (a reader's release
// synchronisation, a tool's queries) is then taken at once, instead of after
// the wake-up of a sleeping processor, which on a virtual machine costs far
// more than the request.  Nothing asked, nothing spins; lingers that find
// nothing (requests far apart, or a busy machine on which they only take a
// processor from the clients) are skipped more and more often, up to the
// most requests below between two tries.
constexpr int64_t kServeLingerNs = 50 * 1000;
constexpr uint32_t kServeLingerBackoffMax = 1024;

void Simulator::Impl::serve()
{
    struct epoll_event evs[64];
    int64_t linger_until = 0;
    zal_sim_spin_backoff linger;
    while (!quit) {
        arm_timer();
        int n = epoll_wait(epfd, evs, 64, linger_until != 0 ? 0 : -1);
        if (n < 0) {
            if (errno == EINTR) continue;
            break;
        }
        if (linger_until != 0) {
            if (n == 0) {
                if (mono_ns() < linger_until) continue;
                linger_until = 0;
                linger.missed(kServeLingerBackoffMax);
                continue;
            }
            linger.paid();
        }
        bool woken = false;
        for (int i = 0; i < n && !quit; ++i) {
            uint64_t t = evs[i].data.u64;
            uint64_t kind = t & 0xff, val = t >> 8;
            switch (kind) {
            case kTagWake: {
                uint64_t v;
                while (read(evfd, &v, sizeof v) > 0) {
                }
                woken = true;
                break;
            }
            case kTagTimer: {
                uint64_t v;
                while (read(timerfd, &v, sizeof v) > 0) {
                }
                timer_armed = -1; // expired: set it again for what is left
                break;
            }
            case kTagPort:
                if (val < ports.size()) accept_client(*ports[val]);
                break;
            case kTagConn: {
                auto it = conns.find(int(val));
                if (it == conns.end()) break;
                Conn &c = *it->second;
                if (evs[i].events & EPOLLOUT) flush_client(c);
                if (!c.closing && (evs[i].events & (EPOLLIN | EPOLLHUP | EPOLLERR))) {
                    read_client(c);
                    if (linger.due()) linger_until = mono_ns() + kServeLingerNs;
                }
                if (c.closing) drop_client(c);
                break;
            }
            case kTagCtlListen:
                accept_ctl();
                break;
            case kTagCtl:
                read_ctl(int(val));
                break;
            }
        }
        // Control commands from command() callers.
        {
            std::unique_lock<std::mutex> lk(jobs_mu);
            while (!jobs.empty()) {
                CtlJob *j = jobs.front();
                jobs.pop_front();
                lk.unlock();
                std::string r = exec_command(j->line);
                lk.lock();
                j->reply = std::move(r);
                j->done = true;
                jobs_cv.notify_all();
            }
        }
        run_parked(woken);
    }
}

void Simulator::Impl::arm_timer()
{
    int64_t next = -1;
    for (const Parked &pk : parked)
        if (pk.deadline >= 0 && (next < 0 || pk.deadline < next)) next = pk.deadline;
    // Only a change of the earliest deadline costs a system call.
    if (next == timer_armed) return;
    timer_armed = next;
    struct itimerspec its = {};
    if (next >= 0) {
        its.it_value.tv_sec = std::max<int64_t>(next, 1) / 1000000000;
        its.it_value.tv_nsec = std::max<int64_t>(next, 1) % 1000000000;
    }
    timerfd_settime(timerfd, TFD_TIMER_ABSTIME, &its, nullptr);
}

void Simulator::Impl::run_parked(bool woken)
{
    if (parked.empty()) return;
    int64_t now = mono_ns();
    std::deque<Parked> keep;
    std::deque<Parked> todo;
    todo.swap(parked);
    for (Parked &pk : todo) {
        bool timed_out = pk.deadline >= 0 && now >= pk.deadline;
        int e;
        if (!pk.check) {
            if (!timed_out) {
                keep.push_back(std::move(pk));
                continue;
            }
            e = pk.error;
        } else {
            if (!timed_out && !woken) {
                keep.push_back(std::move(pk));
                continue;
            }
            e = pk.check(timed_out);
            if (e == kPending) {
                keep.push_back(std::move(pk));
                continue;
            }
        }
        if (pk.cleanup) pk.cleanup();
        if (pk.conn && !pk.conn->closing) {
            if (pk.out && pk.out->set)
                send_reply(*pk.conn, pk.seq, e, pk.out->rec, pk.out->extra);
            else
                send_reply(*pk.conn, pk.seq, e, pk.rec);
        }
    }
    // Handlers run above may have parked new requests.
    for (Parked &pk : parked) keep.push_back(std::move(pk));
    parked.swap(keep);
}

// ---------------------------------------------------------------------------
// Clients
// ---------------------------------------------------------------------------

void Simulator::Impl::accept_client(Port &p)
{
    for (;;) {
        int fd = accept4(p.listen_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        zal_sim_hello h = {};
        h.magic = ZAL_SIM_MAGIC;
        h.version = ZAL_SIM_VERSION;
        h.unit = uint32_t(p.unit);
        h.error = p.refuse_errno.load();
        h.arena_size = p.arena.size();
        h.bar0_phys = board.bar0_phys(p.unit);
        h.bar0_size = BoardModel::kBar0Size;

        struct iovec iov = {&h, sizeof h};
        struct msghdr mh = {};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        // The boards' physical memory (BAR0 mappings), which every client of
        // the unit may map; arena regions are asked for one by one.
        alignas(struct cmsghdr) char cbuf[CMSG_SPACE(sizeof(int))] = {};
        if (h.error == 0 && board.mem_fd() >= 0) attach_fd(&mh, cbuf, sizeof cbuf, board.mem_fd());
        // Counted before the hello goes out: a client that has its hello
        // already sees itself in the count.
        if (h.error == 0) p.connections++;
        if (sendmsg(fd, &mh, MSG_NOSIGNAL) != ssize_t(sizeof h) || h.error != 0) {
            if (h.error == 0) p.connections--;
            close(fd);
            continue;
        }
        auto c = std::make_unique<Conn>();
        c->fd = fd;
        c->port = &p;
        c->id = next_conn_id++;
        c->client = client_key(fd);
        struct epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.u64 = tag(kTagConn, uint64_t(fd));
        epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev);
        conns[fd] = std::move(c);
    }
}

void Simulator::Impl::drop_client(Conn &c)
{
    int fd = c.fd;
    // Requests of this client that were still waiting die with it, and so
    // does whatever it had bound.
    std::erase_if(parked, [&](Parked &pk) {
        if (pk.conn != &c) return false;
        if (pk.cleanup) pk.cleanup();
        return true;
    });
    unbind(c);
    pq_release_all(c);
    for (Conn::OutMsg &m : c.outq)
        if (m.fd >= 0) close(m.fd);
    c.outq.clear();
    epoll_ctl(epfd, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    if (c.port) c.port->connections--;
    conns.erase(fd);
}

void Simulator::Impl::read_client(Conn &c)
{
    static thread_local std::vector<uint8_t> buf(ZAL_SIM_MAX_MSG + 1);
    // One request per readiness report: the epoll entry is level-triggered,
    // so what is left is reported again at once, and a client that asks one
    // thing at a time (nearly all of them) costs no receive that finds nothing.
    // Clients with requests waiting are served in turn.
    for (int budget = 1; budget > 0 && !c.closing; --budget) {
        ssize_t n = recv(c.fd, buf.data(), buf.size(), MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0) {
            if (errno == EAGAIN || errno == EINTR) return;
            c.closing = true;
            return;
        }
        if (n == 0) {
            c.closing = true;
            return;
        }
        if (size_t(n) < sizeof(zal_sim_req)) {
            // Not even a header: nothing to answer to.
            continue;
        }
        zal_sim_req rq;
        memcpy(&rq, buf.data(), sizeof rq);
        uint64_t want = sizeof rq + uint64_t(rq.size) + uint64_t(rq.extra);
        if (size_t(n) > buf.size() || want != uint64_t(n) || rq.size > ZAL_SIM_MAX_RECORD ||
            rq.extra > ZAL_SIM_MAX_EXTRA) {
            send_reply(c, rq.seq, EINVAL, {});
            continue;
        }
        std::vector<uint8_t> rec(buf.begin() + sizeof rq, buf.begin() + sizeof rq + rq.size);
        std::span<const uint8_t> extra(buf.data() + sizeof rq + rq.size, rq.extra);
        handle_request(c, rq.seq, rq.request, std::move(rec), extra);
    }
}

void Simulator::Impl::handle_request(Conn &c, uint32_t seq, uint32_t code, std::vector<uint8_t> rec,
                                     std::span<const uint8_t> extra)
{
    c.port->requests++;
    if (code == ZAL_SIM_MAP) {
        int fd = -1;
        int e = map_region(c, rec, &fd);
        send_reply(c, seq, e, rec, {}, fd);
        return;
    }
    std::vector<uint8_t> rep_extra;
    int e = dispatch(c, seq, code, rec, extra, rep_extra);
    if (e == kPending) return; // parked by the handler
    if (e == 0) {
        auto [from, to] = c.port->answer_patches.equal_range(code);
        for (auto it = from; it != to; ++it) {
            const Port::AnswerPatch &pt = it->second;
            if (uint64_t(pt.off) + pt.len <= rec.size()) memcpy(rec.data() + pt.off, pt.bytes, pt.len);
        }
    }
    int delay = c.port->delay_ms.load();
    if (delay > 0) {
        Parked pk;
        pk.conn = &c;
        pk.seq = seq;
        pk.code = code;
        pk.deadline = mono_ns() + int64_t(delay) * 1000000;
        pk.rec = std::move(rec);
        pk.error = e;
        parked.push_back(std::move(pk));
        return;
    }
    send_reply(c, seq, e, rec, rep_extra);
}

void Simulator::Impl::send_reply(Conn &c, uint32_t seq, int error, const std::vector<uint8_t> &rec,
                                 std::span<const uint8_t> extra, int fd)
{
    if (seq == ZAL_SIM_NO_REPLY) {
        // Nobody waits for it.
        if (fd >= 0) close(fd);
        return;
    }
    if (error != 0 && fd >= 0) {
        close(fd);
        fd = -1;
    }
    zal_sim_rep rp = {};
    rp.seq = seq;
    rp.error = error;
    // A failed request leaves the caller's record alone.
    rp.size = error == 0 ? uint32_t(rec.size()) : 0;
    rp.extra = error == 0 ? uint32_t(extra.size()) : 0;
    struct iovec iov[3] = {{&rp, sizeof rp},
                           {const_cast<uint8_t *>(rec.data()), rp.size},
                           {const_cast<uint8_t *>(extra.data()), rp.extra}};
    const size_t total = sizeof rp + rp.size + rp.extra;
    if (c.outq.empty()) {
        // Straight from the record: a copy (and an allocation) only for a
        // reply that has to wait for room in the socket.
        struct msghdr mh = {};
        mh.msg_iov = iov;
        mh.msg_iovlen = 3;
        alignas(struct cmsghdr) char cbuf[CMSG_SPACE(sizeof(int))] = {};
        if (fd >= 0) attach_fd(&mh, cbuf, sizeof cbuf, fd);
        ssize_t n = sendmsg(c.fd, &mh, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n == ssize_t(total)) {
            if (fd >= 0) close(fd);
            return;
        }
        if (n < 0 && errno != EAGAIN) {
            if (fd >= 0) close(fd);
            c.closing = true;
            return;
        }
    }
    std::vector<uint8_t> msg(total);
    memcpy(msg.data(), &rp, sizeof rp);
    if (rp.size) memcpy(msg.data() + sizeof rp, rec.data(), rp.size);
    if (rp.extra) memcpy(msg.data() + sizeof rp + rp.size, extra.data(), rp.extra);
    if (c.outq.size() >= kMaxQueuedReplies) {
        // A client that never reads its replies is cut off.
        if (fd >= 0) close(fd);
        c.closing = true;
        return;
    }
    c.outq.push_back({std::move(msg), fd});
    struct epoll_event ev = {};
    ev.events = EPOLLIN | EPOLLOUT;
    ev.data.u64 = tag(kTagConn, uint64_t(c.fd));
    epoll_ctl(epfd, EPOLL_CTL_MOD, c.fd, &ev);
}

void Simulator::Impl::flush_client(Conn &c)
{
    while (!c.outq.empty()) {
        auto &m = c.outq.front();
        ssize_t n = send_msg(c.fd, m.bytes, m.fd);
        if (n < 0) {
            if (errno != EAGAIN) c.closing = true;
            return;
        }
        if (m.fd >= 0) close(m.fd);
        c.outq.pop_front();
    }
    struct epoll_event ev = {};
    ev.events = EPOLLIN;
    ev.data.u64 = tag(kTagConn, uint64_t(c.fd));
    epoll_ctl(epfd, EPOLL_CTL_MOD, c.fd, &ev);
}

// ---------------------------------------------------------------------------
// Requests
// ---------------------------------------------------------------------------

int Simulator::Impl::dispatch(Conn &c, uint32_t seq, uint32_t code, std::vector<uint8_t> &rec,
                              std::span<const uint8_t> extra, std::vector<uint8_t> &rep_extra)
{
    if (code == ZAL_SIM_HOST_IFACES) return host_ifaces(rec);
    int want = quor_ioc_record_size(code);
    if (want == -2) return ENOTTY;
    if (want >= 0 && rec.size() != size_t(want)) return EINVAL;
    Port &me = *c.port;
    if (auto f = me.fail_requests.find(code); f != me.fail_requests.end()) return f->second;
    auto board = [&](uint32_t b) -> Port * { return b < ports.size() ? ports[b].get() : nullptr; };

    switch (code) {
    case QUOR_GET_VERSION: {
        quor_get_version_t v = {};
        v.driver_api_magic = opt.driver_api;
        snprintf(v.version_str, sizeof v.version_str, "%s", opt.driver_version.c_str());
        snprintf(v.build_str, sizeof v.build_str, "%s", opt.driver_build.c_str());
        rec_put(rec, v);
        return 0;
    }
    case QUOR_GET_BOARD_MAX:
    case QUOR_GET_BOARD_COUNT: {
        uint32_t n = uint32_t(ports.size());
        if (code == QUOR_GET_BOARD_COUNT && board_count >= 0) n = uint32_t(board_count.load());
        rec_put(rec, n);
        return 0;
    }
    case QUOR_GET_BOARD_TYPE: {
        uint32_t b = 0;
        rec_get(rec, &b);
        Port *p = board(b);
        if (!p) return EINVAL;
        rec_put(rec, p->board_type.load());
        return 0;
    }
    case QUOR_GET_NIC_ID: {
        quor_get_nic_id_t r = {};
        rec_get(rec, &r);
        Port *p = board(r.board);
        if (!p) return EINVAL;
        r.nic_id = p->nic_id;
        rec_put(rec, r);
        return 0;
    }
    case QUOR_PCI_CFG_READ:
    case QUOR_PCI_CFG_WRITE:
        return pci_cfg(code, rec);
    case QUOR_GET_MAX_ENDPOINTS: {
        rec_put(rec, opt.max_endpoints);
        return 0;
    }
    case QUOR_GET_LINK_STATE: {
        uint32_t b = 0;
        rec_get(rec, &b);
        Port *p = board(b);
        if (!p) return EINVAL;
        rec_put(rec, uint32_t(p->link_up.load() & 1));
        return 0;
    }
    case QUOR_GET_TIMESOURCE: {
        uint32_t b = 0;
        rec_get(rec, &b);
        Port *p = board(b);
        if (!p) return EINVAL;
        rec_put(rec, p->timesource.load());
        return 0;
    }
    case QUOR_GET_INTR_COAL:
    case QUOR_SET_INTR_COAL: {
        quor_intr_coal_t r = {};
        rec_get(rec, &r);
        Port *p = board(r.board);
        if (!p) return EINVAL;
        if (code == QUOR_SET_INTR_COAL) {
            if (r.delay > 1000000) return EINVAL;
            p->intr_coal = r.delay;
        }
        r.delay = p->intr_coal.load();
        rec_put(rec, r);
        return 0;
    }
    case QUOR_SET_ENDPOINT: {
        quor_set_endpt_t se;
        if (rec.size() < sizeof se) return EINVAL;
        memcpy(&se, rec.data(), sizeof se);
        uint32_t size = quor_set_endpoint_size(se.endpt_type);
        if (size == 0 || rec.size() != size) return EINVAL;
        switch (se.endpt_type) {
        case QUOR_ES_KPT_RX: {
            quor_kpt_rx_params_t prm;
            rec_get(rec, &prm);
            int e = rx_port_endpoint(c, prm);
            me.last_rx_params = prm;
            me.have_rx_params = true;
            return e;
        }
        case QUOR_ES_KPT_RX_RING: {
            quor_kpt_rx_attach_t at;
            rec_get(rec, &at);
            int e = rx_attach(c, at);
            if (e == 0) rec_put(rec, at);
            return e;
        }
        case QUOR_ES_KPT_TX: {
            quor_kpt_tx_params_t prm;
            rec_get(rec, &prm);
            int e = tx_endpoint(c, prm);
            if (e == 0) rec_put(rec, prm);
            return e;
        }
        case QUOR_ES_KPT_RX_GROUP:
            if (c.kind != EpKind::None) return EBUSY;
            if (se.endpoint != 0) return EINVAL;
            c.kind = EpKind::Group;
            c.group = std::make_unique<SimGroup>();
            return 0;
        default:
            return ENOTTY;
        }
    }
    case QUOR_KPT_START:
    case QUOR_KPT_STOP:
        return rx_start_stop(c, code == QUOR_KPT_START);
    case QUOR_KPT_WAIT: {
        int32_t t = 0;
        rec_get(rec, &t);
        if (c.kind == EpKind::Tx) return tx_wait(c, seq, t);
        return rx_wait(c, seq, t);
    }
    case QUOR_KPT_RX_SYNC: {
        kpt__rx_sync s = {};
        rec_get(rec, &s);
        return rx_sync(c, s);
    }
    case QUOR_KPT_RX_DETACH:
        if (c.kind != EpKind::Ring) return EINVAL;
        rx_detach(c);
        return 0;
    case QUOR_KPT_PORT_GROUP: {
        quor_kpt_port_group_t g = {};
        rec_get(rec, &g);
        return rx_group_add(c, g);
    }
    case QUOR_KPT_GET_STATS: {
        if (c.kind == EpKind::None) return EINVAL;
        quor_kpt_stats_t st = {};
        st.kpt_pkt_recv = me.kpt_pkt_recv.load();
        st.kpt_pkt_overflow = me.kpt_pkt_overflow.load();
        st.nic_pkt_overflow = me.nic_pkt_overflow.load();
        st.nic_pkt_bad = me.nic_pkt_bad.load();
        st.nic_bytes_recv = me.nic_bytes_recv.load();
        st.nic_pkt_send = me.nic_pkt_send.load();
        st.nic_bytes_send = me.nic_bytes_send.load();
        rec_put(rec, st);
        return 0;
    }
    case QUOR_KPT_SOFT_RX: {
        quor_soft_rx_t r = {};
        rec_get(rec, &r);
        return soft_rx(c, r, extra);
    }
    case QUOR_SET_RAW_ENDPOINT:
        return raw_bind(c);
    case QUOR_RAW_SEND: {
        quor_raw_send_t rs = {};
        rec_get(rec, &rs);
        return raw_send(c, rs, extra);
    }
    case QUOR_RAW_NEXT_EVENT:
        return raw_next_event(c, seq, rec, rep_extra);
    case QUOR_KPT_PQ_TRYLOCK:
    case QUOR_KPT_PQ_TRYLOCK_WAIT:
    case QUOR_KPT_PQ_UNLOCK:
    case QUOR_KPT_PQ_UNLOCK_WAKE:
    case QUOR_KPT_PQ_GROUP_LOCK:
    case QUOR_KPT_PQ_GROUP_UNLOCK:
        return pq_request(c, seq, code, rec);
    default:
        return ENOTTY;
    }
}

// ---------------------------------------------------------------------------
// Control socket
// ---------------------------------------------------------------------------

void Simulator::Impl::accept_ctl()
{
    for (;;) {
        int fd = accept4(ctl_fd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (fd < 0) return;
        struct epoll_event ev = {};
        ev.events = EPOLLIN;
        ev.data.u64 = tag(kTagCtl, uint64_t(fd));
        epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &ev);
        ctl_conns[fd] = {};
    }
}

void Simulator::Impl::read_ctl(int fd)
{
    auto it = ctl_conns.find(fd);
    if (it == ctl_conns.end()) return;
    char buf[4096];
    ssize_t n = recv(fd, buf, sizeof buf, MSG_DONTWAIT);
    if (n < 0 && (errno == EAGAIN || errno == EINTR)) return;
    bool eof = n <= 0;
    if (n > 0) it->second.append(buf, size_t(n));
    // A control line is short; a client that floods us is cut off.
    if (it->second.size() > 1 << 20) eof = true;
    size_t nl;
    while (!eof && (nl = it->second.find('\n')) != std::string::npos) {
        std::string line = it->second.substr(0, nl);
        it->second.erase(0, nl + 1);
        std::string reply = exec_command(line);
        size_t off = 0;
        while (off < reply.size()) {
            ssize_t k = send(fd, reply.data() + off, reply.size() - off, MSG_NOSIGNAL);
            if (k <= 0) {
                if (k < 0 && errno == EAGAIN) {
                    struct pollfd pfd = {fd, POLLOUT, 0};
                    if (poll(&pfd, 1, 1000) > 0) continue;
                }
                eof = true;
                break;
            }
            off += size_t(k);
        }
    }
    if (eof) {
        epoll_ctl(epfd, EPOLL_CTL_DEL, fd, nullptr);
        close(fd);
        ctl_conns.erase(it);
    }
}

}  // namespace quorsim
