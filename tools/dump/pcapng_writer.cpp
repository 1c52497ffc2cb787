// pcapng_writer.cpp - section, interface and statistics blocks, and the
// buffered writes behind every block.
#include "pcapng_writer.h"

#include <errno.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>

namespace kptdump {

namespace {

// A block under construction: type and a length to fill in at the end.
class Block {
public:
    explicit Block(uint32_t type) { u32(type), u32(0); }
    void u32(uint32_t v) { raw(&v, 4); }
    void u16(uint16_t v) { raw(&v, 2); }
    void raw(const void *p, size_t n)
    {
        const uint8_t *b = static_cast<const uint8_t *>(p);
        bytes_.insert(bytes_.end(), b, b + n);
    }
    void option(uint16_t code, const void *p, size_t n)
    {
        n = std::min<size_t>(n, 0xfffc); // an option's length is 16 bits, padded
        u16(code);
        u16(uint16_t(n));
        raw(p, n);
        bytes_.resize((bytes_.size() + 3) & ~size_t(3), 0);
    }
    void option(uint16_t code, const std::string &s)
    {
        if (!s.empty()) option(code, s.data(), s.size());
    }
    void option64(uint16_t code, uint64_t v) { option(code, &v, 8); }
    // A timestamp in the packet blocks' layout: high word, then low word.
    void option_ts(uint16_t code, uint64_t ns)
    {
        uint32_t w[2] = {uint32_t(ns >> 32), uint32_t(ns)};
        option(code, w, 8);
    }
    const std::vector<uint8_t> &finish(bool with_options)
    {
        if (with_options) option(ng::kOptEnd, nullptr, 0);
        uint32_t total = uint32_t(bytes_.size() + 4);
        u32(total);
        memcpy(bytes_.data() + 4, &total, 4);
        return bytes_;
    }

private:
    std::vector<uint8_t> bytes_;
};

}  // namespace

PcapngWriter::PcapngWriter(size_t buffer_bytes)
{
    cap_ = std::max<size_t>(buffer_bytes, 64u << 10);
    buf_ = static_cast<uint8_t *>(aligned_alloc(4096, (cap_ + 4095) & ~size_t(4095)));
    if (!buf_) abort();
}

PcapngWriter::~PcapngWriter()
{
    close();
    free(buf_);
}

void PcapngWriter::put(const void *p, size_t n)
{
    if (used_ + n > cap_) drain();
    if (n > cap_) return; // cannot happen for blocks this writer builds
    memcpy(buf_ + used_, p, n);
    used_ += n;
    written_ += n;
}

void PcapngWriter::begin(int fd, bool own, const SectionInfo &si,
                         const std::vector<IfaceDesc> &ifs)
{
    fd_ = fd;
    own_ = own;
    err_ = 0;
    used_ = 0;
    written_ = 0;

    Block shb(ng::kSHB);
    shb.u32(ng::kByteOrder);
    shb.u16(1); // version 1.0
    shb.u16(0);
    shb.u32(0xffffffff); // section length not given: the writer streams
    shb.u32(0xffffffff);
    shb.option(ng::kOptComment, si.comment);
    shb.option(ng::kShbOs, si.os);
    shb.option(ng::kShbUserAppl, si.application);
    const auto &s = shb.finish(true);
    put(s.data(), s.size());

    for (const IfaceDesc &d : ifs) {
        Block idb(ng::kIDB);
        idb.u16(ng::kLinkEthernet);
        idb.u16(0);
        idb.u32(d.snaplen);
        idb.option(ng::kIfName, d.name);
        if (d.has_mac) idb.option(ng::kIfMac, d.mac, 6);
        if (d.speed_bps) idb.option64(ng::kIfSpeed, d.speed_bps);
        const uint8_t nanoseconds = 9;
        idb.option(ng::kIfTsresol, &nanoseconds, 1);
        const auto &b = idb.finish(true);
        put(b.data(), b.size());
    }
}

void PcapngWriter::stats(uint32_t ifid, const IfaceStats &st)
{
    Block isb(ng::kISB);
    isb.u32(ifid);
    isb.u32(uint32_t(st.end_ns >> 32));
    isb.u32(uint32_t(st.end_ns));
    isb.option_ts(ng::kIsbStart, st.start_ns);
    isb.option_ts(ng::kIsbEnd, st.end_ns);
    isb.option64(ng::kIsbIfRecv, st.received);
    isb.option64(ng::kIsbIfDrop, st.adapter_drop);
    isb.option64(ng::kIsbFilterAccept, st.accepted);
    isb.option64(ng::kIsbOsDrop, st.ring_drop);
    isb.option64(ng::kIsbUsrDeliv, st.delivered);
    const auto &b = isb.finish(true);
    put(b.data(), b.size());
}

void PcapngWriter::drain()
{
    size_t off = 0;
    while (off < used_ && fd_ >= 0 && !err_) {
        ssize_t n = ::write(fd_, buf_ + off, used_ - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err_ = n < 0 ? errno : EIO;
            break;
        }
        off += size_t(n);
    }
    used_ = 0; // after a failure the rest is lost; error() says so
}

int PcapngWriter::close()
{
    if (fd_ < 0) return err_;
    drain();
    if (own_ && ::close(fd_) != 0 && !err_) err_ = errno;
    fd_ = -1;
    return err_;
}

}  // namespace kptdump
