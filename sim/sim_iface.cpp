// sim_iface.cpp - the iface: wire over an AF_PACKET socket with a TPACKET_V3
// receive ring.
//
// The kernel fills whole blocks of the ring and hands each over by setting
// TP_STATUS_USER in its header; we read the frames in place and hand the
// block back with TP_STATUS_KERNEL once the frames given to the adapter are
// no longer used (at the next pull).  Frames are untrusted: every offset
// and length in a block is checked against the block before use.
#include "sim_iface.h"
#include "sim_wire_impl.h"

#include <arpa/inet.h>
#include <errno.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>

namespace quorsim {

namespace {

#ifndef PACKET_IGNORE_OUTGOING
#define PACKET_IGNORE_OUTGOING 23
#endif

constexpr uint32_t kBlockSize = 1u << 20; // holds many jumbo frames
constexpr uint32_t kBlockNr = 16;
constexpr uint32_t kFrameSize = 1u << 14;
constexpr uint32_t kRetireMs = 1; // a partly filled block is handed over this soon

template <class T> std::atomic_ref<T> shared(T &v) { return std::atomic_ref<T>(v); }

int64_t clock_ns(clockid_t c)
{
    struct timespec ts;
    clock_gettime(c, &ts);
    return int64_t(ts.tv_sec) * 1'000'000'000 + ts.tv_nsec;
}

}  // namespace

IfaceWire::~IfaceWire()
{
    if (ring_) munmap(ring_, ring_size_);
    if (fd_ >= 0) close(fd_);
}

std::unique_ptr<IfaceWire> IfaceWire::open(const std::string &name, std::string *err)
{
    std::string what = "iface: " + printable(name) + ": ";
    if (name.empty() || name.size() >= IFNAMSIZ) {
        *err = "iface: needs an interface name of 1 to 15 characters";
        return nullptr;
    }
    unsigned idx = if_nametoindex(name.c_str());
    if (idx == 0) {
        *err = what + "no such interface";
        return nullptr;
    }
    std::unique_ptr<IfaceWire> w(new IfaceWire());
    w->name_ = name;
    w->ifindex_ = int(idx);
    w->fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC | SOCK_NONBLOCK, htons(ETH_P_ALL));
    if (w->fd_ < 0) {
        int e = errno;
        *err = what + "packet socket: " + strerror(e) +
               (e == EPERM || e == EACCES ? " (needs root or CAP_NET_RAW)" : "");
        return nullptr;
    }
    auto fail = [&](const char *step) {
        *err = what + step + ": " + strerror(errno);
        return nullptr;
    };
    int v3 = TPACKET_V3;
    if (setsockopt(w->fd_, SOL_PACKET, PACKET_VERSION, &v3, sizeof v3) != 0)
        return fail("TPACKET_V3");
    // Frames this port sends are not frames arriving on its wire.
    int one = 1;
    (void)setsockopt(w->fd_, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof one);
    struct tpacket_req3 req = {};
    req.tp_block_size = kBlockSize;
    req.tp_block_nr = kBlockNr;
    req.tp_frame_size = kFrameSize;
    req.tp_frame_nr = kBlockSize / kFrameSize * kBlockNr;
    req.tp_retire_blk_tov = kRetireMs;
    if (setsockopt(w->fd_, SOL_PACKET, PACKET_RX_RING, &req, sizeof req) != 0)
        return fail("receive ring");
    w->block_size_ = kBlockSize;
    w->block_nr_ = kBlockNr;
    w->ring_size_ = size_t(kBlockSize) * kBlockNr;
    void *m = mmap(nullptr, w->ring_size_, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_LOCKED,
                   w->fd_, 0);
    if (m == MAP_FAILED) // without the locked-memory allowance
        m = mmap(nullptr, w->ring_size_, PROT_READ | PROT_WRITE, MAP_SHARED, w->fd_, 0);
    if (m == MAP_FAILED) return fail("mapping the receive ring");
    w->ring_ = static_cast<uint8_t *>(m);
    struct sockaddr_ll sll = {};
    sll.sll_family = AF_PACKET;
    sll.sll_protocol = htons(ETH_P_ALL);
    sll.sll_ifindex = w->ifindex_;
    if (bind(w->fd_, reinterpret_cast<sockaddr *>(&sll), sizeof sll) != 0) return fail("bind");
    w->pad_.assign(kWireMinFrame, 0);
    w->done_.reserve(kBlockNr);
    return w;
}

void IfaceWire::release_blocks()
{
    for (uint32_t b : done_) {
        auto *bd = reinterpret_cast<tpacket_block_desc *>(ring_ + size_t(b) * block_size_);
        // Pairs with the kernel's read of the status before it refills the block.
        shared(bd->hdr.bh1.block_status).store(TP_STATUS_KERNEL, std::memory_order_release);
    }
    done_.clear();
}

size_t IfaceWire::pull(Frame *out, size_t max)
{
    release_blocks();
    // Kernel times are CLOCK_REALTIME; the adapter keeps monotonic time.
    const int64_t real_to_mono = clock_ns(CLOCK_MONOTONIC) - clock_ns(CLOCK_REALTIME);
    size_t n = 0;
    uint64_t refused = 0;
    while (n < max) {
        uint8_t *blk = ring_ + size_t(block_) * block_size_;
        auto *bd = reinterpret_cast<tpacket_block_desc *>(blk);
        if (!reading_) {
            // Pairs with the kernel's release of the block to user space.
            if (!(shared(bd->hdr.bh1.block_status).load(std::memory_order_acquire) &
                  TP_STATUS_USER))
                break;
            reading_ = true;
            pkt_left_ = bd->hdr.bh1.num_pkts;
            pkt_off_ = bd->hdr.bh1.offset_to_first_pkt;
        }
        while (n < max && pkt_left_ > 0) {
            if (pkt_off_ < sizeof(tpacket_block_desc) ||
                size_t(pkt_off_) + sizeof(tpacket3_hdr) > block_size_) {
                pkt_left_ = 0; // a block that makes no sense ends here
                break;
            }
            auto *h = reinterpret_cast<tpacket3_hdr *>(blk + pkt_off_);
            uint32_t snap = h->tp_snaplen, len = h->tp_len, mac = h->tp_mac;
            bool inside = mac <= block_size_ - pkt_off_ && snap <= block_size_ - pkt_off_ - mac;
            if (!inside || snap != len || len < 14 || len > kWireMaxFrame) {
                refused += inside ? 1 : 0;
            } else {
                Frame &f = out[n++];
                f.seg[0] = blk + pkt_off_ + mac;
                f.seg_len[0] = len;
                f.seg[1] = nullptr;
                f.seg_len[1] = 0;
                f.len = len;
                f.fcs = crc32_eth(f.seg[0], len);
                if (len < kWireMinFrame) { // the sender pads runts
                    f.seg[1] = pad_.data();
                    f.seg_len[1] = kWireMinFrame - len;
                    f.len = kWireMinFrame;
                    f.fcs = crc32_eth(pad_.data(), f.seg_len[1], f.fcs);
                }
                int64_t real = int64_t(h->tp_sec) * 1'000'000'000 + h->tp_nsec;
                f.arrival = std::max<int64_t>(1, real + real_to_mono);
            }
            --pkt_left_;
            if (h->tp_next_offset == 0) pkt_left_ = 0;
            pkt_off_ += h->tp_next_offset;
        }
        if (pkt_left_ > 0) break; // max reached inside the block
        done_.push_back(block_);
        reading_ = false;
        block_ = (block_ + 1) % block_nr_;
    }
    received_.fetch_add(n, std::memory_order_relaxed);
    if (refused) refused_.fetch_add(refused, std::memory_order_relaxed);
    return n;
}

void IfaceWire::send(const Frame *frames, size_t n)
{
    for (size_t i = 0; i < n; ++i) {
        struct iovec iov[3];
        size_t niov = 0;
        for (int s = 0; s < 3; ++s)
            if (frames[i].seg_len[s])
                iov[niov++] = {const_cast<uint8_t *>(frames[i].seg[s]), frames[i].seg_len[s]};
        struct msghdr mh = {};
        mh.msg_iov = iov;
        mh.msg_iovlen = niov;
        ssize_t r;
        do
            r = sendmsg(fd_, &mh, MSG_DONTWAIT);
        while (r < 0 && errno == EINTR);
        if (r < 0) send_errors_.fetch_add(1, std::memory_order_relaxed);
    }
}

}  // namespace quorsim
