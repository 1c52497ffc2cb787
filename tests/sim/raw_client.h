// raw_client.h - a bare protocol client for simulator tests: speaks the
// device-socket protocol directly so that tests can send what the device
// layer never would (wrong sizes, unknown requests, truncated messages).
#pragma once

#include <errno.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "zal_simproto.h"

namespace kpttest {

struct RawReply {
    int rc = -1; // -1: no reply
    uint32_t seq = 0;
    std::vector<uint8_t> rec;
    std::vector<uint8_t> extra;
};

class RawClient {
public:
    // Connects and reads the hello; ok() tells whether the unit accepted.
    explicit RawClient(const std::string &path)
    {
        fd_ = socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
        struct sockaddr_un sa = {};
        sa.sun_family = AF_UNIX;
        snprintf(sa.sun_path, sizeof sa.sun_path, "%s", path.c_str());
        if (connect(fd_, (struct sockaddr *)&sa, sizeof sa) != 0) {
            connect_errno_ = errno;
            return;
        }
        if (RecvWithFd(&hello_, sizeof hello_, &mem_fd_) != ssize_t(sizeof hello_)) return;
        got_hello_ = true;
    }
    // One message into buf, and the descriptor it carries (-1: none).
    ssize_t RecvWithFd(void *buf, size_t cap, int *fd)
    {
        struct iovec iov = {buf, cap};
        alignas(struct cmsghdr) char cbuf[CMSG_SPACE(sizeof(int))];
        struct msghdr mh = {};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = cbuf;
        mh.msg_controllen = sizeof cbuf;
        ssize_t n = recvmsg(fd_, &mh, MSG_CMSG_CLOEXEC);
        *fd = -1;
        for (struct cmsghdr *c = CMSG_FIRSTHDR(&mh); n > 0 && c; c = CMSG_NXTHDR(&mh, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_RIGHTS)
                memcpy(fd, CMSG_DATA(c), sizeof(int));
        return n;
    }
    ~RawClient()
    {
        if (fd_ >= 0) close(fd_);
        if (mem_fd_ >= 0) close(mem_fd_);
    }
    bool ok() const { return got_hello_ && hello_.error == 0; }
    const zal_sim_hello &hello() const { return hello_; }
    bool got_hello() const { return got_hello_; }
    int connect_errno() const { return connect_errno_; }
    int fd() const { return fd_; }
    int mem_fd() const { return mem_fd_; }

    // Asks for the memory of [off, off + len) (ZAL_SIM_MAP) and maps it;
    // MAP_FAILED with errno set to the answer's error when refused.
    void *Map(uint64_t off, uint64_t len, uint32_t seq = 77)
    {
        zal_sim_map m = {off, len, 0, 0};
        if (!Send(seq, ZAL_SIM_MAP, &m, sizeof m)) return MAP_FAILED;
        std::vector<uint8_t> buf(ZAL_SIM_MAX_MSG);
        struct timeval tv = {2, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        int fd = -1;
        ssize_t n = RecvWithFd(buf.data(), buf.size(), &fd);
        zal_sim_rep rp = {};
        if (n >= ssize_t(sizeof rp)) memcpy(&rp, buf.data(), sizeof rp);
        if (n < ssize_t(sizeof rp + sizeof m) || rp.error != 0 || fd < 0) {
            if (fd >= 0) close(fd);
            errno = n < ssize_t(sizeof rp) ? EIO : rp.error ? rp.error : EIO;
            return MAP_FAILED;
        }
        memcpy(&m, buf.data() + sizeof rp, sizeof m);
        void *p = mmap(nullptr, len, PROT_READ | PROT_WRITE, MAP_SHARED, fd, off_t(off - m.region_offset));
        close(fd);
        return p;
    }

    // Sends raw bytes as one message.
    bool SendRaw(const std::vector<uint8_t> &msg)
    {
        return send(fd_, msg.data(), msg.size(), MSG_NOSIGNAL) == ssize_t(msg.size());
    }
    // Sends a well-formed request with the given record.
    bool Send(uint32_t seq, uint32_t code, const void *rec, uint32_t size,
              const void *extra = nullptr, uint32_t extra_len = 0)
    {
        zal_sim_req rq = {seq, code, size, extra_len};
        std::vector<uint8_t> m(sizeof rq + size + extra_len);
        memcpy(m.data(), &rq, sizeof rq);
        if (size) memcpy(m.data() + sizeof rq, rec, size);
        if (extra_len) memcpy(m.data() + sizeof rq + size, extra, extra_len);
        return SendRaw(m);
    }
    // Waits up to timeout_ms for one reply.
    RawReply Recv(int timeout_ms = 2000)
    {
        RawReply r;
        struct timeval tv = {timeout_ms / 1000, (timeout_ms % 1000) * 1000};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        std::vector<uint8_t> buf(ZAL_SIM_MAX_MSG);
        ssize_t n = recv(fd_, buf.data(), buf.size(), 0);
        if (n < ssize_t(sizeof(zal_sim_rep))) return r;
        zal_sim_rep rp;
        memcpy(&rp, buf.data(), sizeof rp);
        r.rc = rp.error;
        r.seq = rp.seq;
        r.rec.assign(buf.begin() + sizeof rp, buf.begin() + sizeof rp + rp.size);
        r.extra.assign(buf.begin() + sizeof rp + rp.size, buf.begin() + n);
        return r;
    }
    // Request and reply in one step.
    template <class T> int Call(uint32_t code, T *rec, uint32_t seq = 1)
    {
        if (!Send(seq, code, rec, sizeof(T))) return -1;
        RawReply r = Recv();
        if (r.rc == 0 && r.rec.size() == sizeof(T)) memcpy(rec, r.rec.data(), sizeof(T));
        return r.rc;
    }
    int CallNoRecord(uint32_t code, uint32_t seq = 1)
    {
        if (!Send(seq, code, nullptr, 0)) return -1;
        return Recv().rc;
    }

private:
    int fd_ = -1;
    int mem_fd_ = -1;
    int connect_errno_ = 0;
    bool got_hello_ = false;
    zal_sim_hello hello_ = {};
};

}  // namespace kpttest
