// uba_jtag_bridge.cpp - adapter memory through a JTAG bridge: a TCP server
// that runs batches of JTAG transactions on the boards it drives.
//
// Commands are queued in the accessor and go out as one message per batch:
//
//   [id (old protocol only)] count  header x count  payloads...
//
// and the bridge answers, per command in order, a big-endian result word
// followed by that many reply bytes.  The current protocol keeps one
// connection for the accessor's life; the old one opens a connection per
// batch and must hold the bridge's scan process (grab at open, release at
// close) for its commands to run.
#include <arpa/inet.h>
#include <errno.h>
#include <netinet/tcp.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "uba_internal.h"

namespace {

constexpr uint16_t kPortCurrent = 1975;
constexpr uint16_t kPortOld = 1971;
constexpr uint32_t kOldId = 0x000005EB; // sent as 00 00 05 EB
constexpr int kGrabTries = 20;
constexpr unsigned kChunk = 256;        // bytes per memory packet
constexpr unsigned kReadBatch = 4;      // read packets per exchange (~1 KiB)
constexpr unsigned kSlot = sizeof(((uba_l2z *)nullptr)->rxdata[0]);
constexpr unsigned kData = sizeof(((uba_l2z *)nullptr)->data);

enum : uint32_t { kCmdGrab = 1, kCmdRelease = 2, kCmdData = 101 };

void put_be32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

// Receives up to len bytes; the count that arrived.  When it stops short,
// *last holds the result of the receive that ended it (0 at an orderly end,
// -1 with errno set on a failure such as a reset).
size_t recv_upto(int fd, void *buf, size_t len, ssize_t *last)
{
    size_t got = 0;
    *last = 0;
    while (got < len) {
        ssize_t r = recv(fd, static_cast<char *>(buf) + got, len - got, 0);
        if (r < 0 && errno == EINTR) continue;
        *last = r;
        if (r == 0) errno = 0; // an orderly end, not a reset
        if (r <= 0) break;
        got += size_t(r);
    }
    return got;
}

void drop_connection(int fd)
{
    shutdown(fd, SHUT_RDWR);
    close(fd);
}

// A fatal reply ends the use of the bridge (the scan process is released,
// the connection closed) before the program stops.
[[noreturn]] void give_up(nram_t *n, int old_fd, const char *file, int line, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));

[[noreturn]] void give_up(nram_t *n, int old_fd, const char *file, int line, const char *fmt, ...)
{
    char msg[256];
    va_list ap;
    va_start(ap, fmt);
    vsnprintf(msg, sizeof msg, fmt, ap);
    va_end(ap);
    uba_l2z &l = n->l2z;
    if (old_fd >= 0) drop_connection(old_fd);
    l.nb_commands = 0;
    l.txlen = 0;
    // The release below may fail again; it must not come back here.
    if (!l.dying) {
        l.dying = 1;
        nram_close(n);
    }
    handle_error_func(1, file, line, "%s", msg);
    exit(1);
}

#define GIVE_UP(n, fd, ...) give_up(n, fd, __FILE__, __LINE__, __VA_ARGS__)

int connect_old(nram_t *n)
{
    int fd = uba_xsocket(AF_INET, SOCK_STREAM, 0);
    uba_xconnect(fd, reinterpret_cast<const sockaddr *>(&n->l2z.addr), sizeof n->l2z.addr);
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

}  // namespace

extern "C" {

void nram_open_2z(nram_t *n, const char *host, int slot, int port)
{
    memset(n, 0, sizeof *n);
    n->type = NRAM_2Z;
    uba_l2z &l = n->l2z;
    struct hostent *h = uba_xgethostbyname(host);
    handle_error_func(h->h_addrtype != AF_INET || h->h_length != 4 || !h->h_addr_list[0], __FILE__, __LINE__,
                      "gethostbyname(%s): not an IPv4 host\n", host);
    l.addr.sin_family = AF_INET;
    memcpy(&l.addr.sin_addr, h->h_addr_list[0], 4);
    l.addr.sin_port = htons(kPortCurrent);
    l.slot = slot + 1;
    l.port = port;
    l.id = htonl(kOldId);
    l.socket = uba_xsocket(AF_INET, SOCK_STREAM, 0);

    const char *old = getenv("UBA_K5_OLD");
    if (!old || !*old) {
        if (connect(l.socket, reinterpret_cast<const sockaddr *>(&l.addr), sizeof l.addr) == 0) {
            int one = 1;
            setsockopt(l.socket, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            return;
        }
        const int e = errno;
        handle_error_func(e != ECONNREFUSED, __FILE__, __LINE__, "Connect to %s:%s", host, strerror(e));
    }
    l.addr.sin_port = htons(kPortOld);
    close(l.socket);
    l.socket = -1;
    l.old = 1;
    for (int i = 0; i < kGrabTries; ++i) {
        l2z_cmd(n, kCmdGrab, nullptr, 0, 1, 0);
        if (l2z_flush(n, 1) == 0) return;
    }
    UBA_FATAL("Cannot grab scan process after %d tries\n", kGrabTries);
}

void l2z_cmd(nram_t *n, uint32_t command, const void *buf, unsigned txlen, unsigned rxlen, int rx0_is_status)
{
    uba_l2z &l = n->l2z;
    handle_error_func(txlen > kData || rxlen > kSlot, __FILE__, __LINE__,
                      "l2z_cmd: command %u with %u payload and %u reply bytes does not fit a batch\n", command,
                      txlen, rxlen);
    // A payload that does not fit behind the queued ones starts a new batch.
    if (l.txlen + txlen > kData) l2z_flush(n, 0);
    const unsigned i = l.nb_commands;
    l.reqs[i].slot = htonl(uint32_t(l.slot));
    l.reqs[i].command = htonl(command);
    l.reqs[i].rxlen = htonl(rxlen);
    l.reqs[i].txlen = htonl(txlen);
    l.rx0_is_status[i] = rx0_is_status ? 1 : 0;
    if (txlen) memcpy(l.data + l.txlen, buf, txlen);
    l.txlen += txlen;
    l.nb_commands = i + 1;
    if (l.nb_commands == UBA_2Z_MAX_CMDS) l2z_flush(n, 0);
}

int l2z_flush(nram_t *n, int can_fail)
{
    uba_l2z &l = n->l2z;
    const unsigned count = l.nb_commands;
    if (count == 0) return 0;
    handle_error_func(can_fail && count != 1, __FILE__, __LINE__,
                      "l2z_flush: can_fail=%d with %u commands queued\n", can_fail, count);
    int fd = l.socket;
    int old_fd = -1;
    l.nb_commands = htonl(count);
    const size_t head = 4 + sizeof(uba_2z_scan_req) * count;
    if (l.old) {
        fd = old_fd = connect_old(n);
        uba_xsend(fd, &l.id, 4 + head, MSG_NOSIGNAL);
    } else {
        uba_xsend(fd, &l.nb_commands, head, MSG_NOSIGNAL);
    }
    l.nb_commands = count;
    if (l.txlen) uba_xsend(fd, l.data, l.txlen, MSG_NOSIGNAL);

    int result = 0;
    for (unsigned i = 0; i < count; ++i) {
        const uint32_t cmd = ntohl(l.reqs[i].command);
        const unsigned asked = ntohl(l.reqs[i].rxlen);
        uint8_t word[4];
        errno = 0;
        ssize_t last = 0;
        const size_t got = recv_upto(fd, word, 4, &last);
        if (got < 4) {
            if (cmd == kCmdGrab && can_fail == 1 && errno == ECONNRESET) {
                result = -1;
                break;
            }
            GIVE_UP(n, old_fd, "Trying to get status for command %d/%d (cmd=0x%x), res= %d, errno=%s\n", int(i),
                    int(count), cmd, int(last), strerror(errno));
        }
        const int32_t res = int32_t(uint32_t(word[0]) << 24 | uint32_t(word[1]) << 16 | uint32_t(word[2]) << 8 |
                                    word[3]);
        if (res < 0)
            GIVE_UP(n, old_fd, "l2z_flush: command 0x%x(%d/%d): result=%d\n", cmd, int(i), int(count), int(res));
        // More than was asked would land past what the caller expects, more
        // than a slot past the slot itself: the bridge is not speaking this
        // protocol.
        if (unsigned(res) > asked || unsigned(res) > kSlot)
            GIVE_UP(n, old_fd, "l2z_flush: command 0x%x(%d/%d): reply of %d bytes, %u asked\n", cmd, int(i),
                    int(count), int(res), asked);
        l.rxlen[i] = unsigned(res);
        if (res > 0) uba_xfullrecv(fd, l.rxdata[i], size_t(res), 0);
        if (l.rx0_is_status[i] && (res == 0 || l.rxdata[i][0] != 0))
            GIVE_UP(n, old_fd, "l2z_flush: command %d: rx0 = %d (jtag busy?)\n", int(cmd),
                    res == 0 ? -1 : int(l.rxdata[i][0]));
    }
    if (old_fd >= 0) drop_connection(old_fd);
    l.nb_commands = 0;
    l.txlen = 0;
    return result;
}

}  // extern "C"

namespace uba {

void l2z_read(nram_t *n, uint8_t *buf, uint32_t a, size_t size)
{
    uba_l2z &l = n->l2z;
    l2z_flush(n, 0);
    size_t asked = 0, delivered = 0;
    while (asked < size) {
        const unsigned k = unsigned(size - asked < kChunk ? size - asked : kChunk);
        const uint32_t at = a + uint32_t(asked);
        uint8_t pkt[9] = {':', ':', uint8_t(l.port), 0, 0, 0, 0, uint8_t(k >> 8), uint8_t(k)};
        put_be32(pkt + 3, at);
        l2z_cmd(n, kCmdData, pkt, sizeof pkt, k + 1, 1);
        asked += k;
        if (l.nb_commands == kReadBatch || asked == size) {
            const unsigned count = l.nb_commands;
            l2z_flush(n, 0);
            for (unsigned i = 0; i < count; ++i) {
                // The status byte was checked; a reply shorter than its
                // chunk shows up in the total below.
                const unsigned len = l.rxlen[i] - 1;
                if (len > size - delivered) break;
                memcpy(buf + delivered, l.rxdata[i] + 1, len);
                delivered += len;
            }
        }
    }
    if (delivered != size)
        GIVE_UP(n, -1, "l2z read of %zu bytes at 0x%x: the bridge delivered %zu\n", size, a, delivered);
}

void l2z_write(nram_t *n, uint32_t a, const uint8_t *buf, size_t size)
{
    handle_error_func(size > kChunk, __FILE__, __LINE__,
                      "l2z write of %zu bytes at 0x%x: at most %u bytes go in one packet\n", size, a, kChunk);
    uint8_t pkt[9 + kChunk];
    pkt[0] = 'Z';
    pkt[1] = 'Z';
    pkt[2] = uint8_t(n->l2z.port);
    put_be32(pkt + 3, a);
    pkt[7] = uint8_t(size >> 8);
    pkt[8] = uint8_t(size);
    memcpy(pkt + 9, buf, size);
    l2z_cmd(n, kCmdData, pkt, unsigned(9 + size), 1, 1);
}

void l2z_scan_read(nram_t *n, uint8_t *buf, unsigned bits, int chain)
{
    uba_l2z &l = n->l2z;
    handle_error_func(chain == 0 && bits != UBA_SCAN_L2Z_RDWR_BITS, __FILE__, __LINE__,
                      "scan-read through the bridge: chain 0 is %d bits, not %u\n", UBA_SCAN_L2Z_RDWR_BITS, bits);
    const unsigned len = (bits + 7) / 8;
    handle_error_func(len + 1 > kSlot, __FILE__, __LINE__, "scan-read of %u bits does not fit a reply\n", bits);
    l2z_flush(n, 0);
    const uint8_t scan[] = {0xC5, 0xC5, uint8_t(l.port * 2), 0x0D, uint8_t(len), uint8_t(len >> 8)};
    l2z_cmd(n, kCmdData, scan, sizeof scan, len + 1, 0);
    l2z_flush(n, 0);
    if (l.rxlen[0] < len) GIVE_UP(n, -1, "scan-read: the bridge sent %u of %u chain bytes\n", l.rxlen[0], len);
    memcpy(buf, l.rxdata[0], len);
    const uint8_t done[] = {0xA5, 0xA5, 0x01};
    l2z_cmd(n, kCmdData, done, sizeof done, 1, 0);
    l2z_flush(n, 0);
    if (l.rxlen[0] != 1 || l.rxdata[0][0] != 1)
        GIVE_UP(n, -1, "scan-done: the bridge answered %u bytes, first 0x%x\n", l.rxlen[0],
                l.rxlen[0] ? unsigned(l.rxdata[0][0]) : 0u);
}

void l2z_close(nram_t *n)
{
    uba_l2z &l = n->l2z;
    l2z_flush(n, 0);
    if (l.old) {
        l2z_cmd(n, kCmdRelease, nullptr, 0, 1, 0);
        l2z_flush(n, 0);
    } else if (l.socket >= 0) {
        drop_connection(l.socket);
        l.socket = -1;
    }
}

}  // namespace uba
