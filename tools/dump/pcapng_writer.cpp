// pcapng_writer.cpp - section, interface and statistics blocks, and the
// buffered writes behind every block.
#include "pcapng_writer.h"

#include <errno.h>
#include <fcntl.h>
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

PcapngWriter::PcapngWriter(size_t buffer_bytes, size_t buffers)
{
    cap_ = std::max<size_t>(buffer_bytes, 64u << 10);
    const size_t alloc = (cap_ + 4095) & ~size_t(4095);
    for (size_t i = 0; i < std::max<size_t>(buffers, 2); ++i) {
        uint8_t *b = static_cast<uint8_t *>(aligned_alloc(4096, alloc));
        if (!b) abort();
        all_.push_back(b);
    }
    buf_ = all_[0];
    free_.assign(all_.begin() + 1, all_.end());
    thread_ = std::thread([this] { write_loop(); });
}

PcapngWriter::~PcapngWriter()
{
    close();
    {
        std::lock_guard lk(mu_);
        quit_ = true;
    }
    cv_full_.notify_one();
    thread_.join();
    for (uint8_t *b : all_) free(b);
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
                         const std::vector<IfaceDesc> &ifs, uint64_t prealloc_bytes)
{
    fd_ = fd;
    own_ = own;
    err_.store(0, std::memory_order_relaxed); // the previous file is closed: nothing is in flight
    used_ = 0;
    written_ = 0;
    cut_ = prealloc_bytes > 0;
    if (cut_) {
        // Reserved by the writing thread, a step at a time whenever it has
        // no buffer to write: the capturing thread never waits for the file
        // system to allocate, and a full buffer never waits for a whole
        // file's reservation (a GB of tmpfs takes a quarter of a second).
        std::lock_guard lk(mu_);
        reserve_ = Reserve{fd_, 0, prealloc_bytes};
        cv_full_.notify_one();
    }

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
        if (!d.filter.empty()) {
            // The first byte says how the filter is given: 0, an expression.
            std::string f(1, '\0');
            f += d.filter;
            idb.option(ng::kIfFilter, f);
        }
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
    if (used_ == 0) return;
    std::unique_lock lk(mu_);
    if (fd_ >= 0 && !error()) {
        full_.push_back(Job{buf_, used_, fd_});
        cv_full_.notify_one();
        cv_free_.wait(lk, [&] { return !free_.empty(); });
        buf_ = free_.back();
        free_.pop_back();
    }
    used_ = 0; // after a failure the rest is lost; error() says so
}

int PcapngWriter::close()
{
    if (fd_ < 0) return error();
    drain();
    {
        std::unique_lock lk(mu_);
        if (reserve_.fd == fd_) reserve_.fd = -1; // what is not reserved yet stays so
        cv_free_.wait(lk, [&] { return full_.empty() && !writing_; });
    }
    if (cut_ && ftruncate(fd_, off_t(written_)) != 0 && !error())
        err_.store(errno, std::memory_order_relaxed);
    if (own_ && ::close(fd_) != 0 && !error()) err_.store(errno, std::memory_order_relaxed);
    fd_ = -1;
    return error();
}

void PcapngWriter::write_all(const Job &j)
{
    size_t off = 0;
    while (off < j.len && !error()) {
        ssize_t n = ::write(j.fd, j.buf + off, j.len - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            err_.store(n < 0 ? errno : EIO, std::memory_order_relaxed);
            break;
        }
        off += size_t(n);
    }
}

void PcapngWriter::write_loop()
{
    std::unique_lock lk(mu_);
    for (;;) {
        cv_full_.wait(lk, [&] { return quit_ || !full_.empty() || reserve_.fd >= 0; });
        if (full_.empty() && reserve_.fd >= 0 && !quit_) {
            const Reserve r = reserve_;
            const uint64_t n = std::min(kReserveStep, r.len - r.done);
            writing_ = true;
            lk.unlock();
            // A file system that cannot reserve space just gets written.
            const bool ok = fallocate(r.fd, 0, off_t(r.done), off_t(n)) == 0;
            lk.lock();
            writing_ = false;
            if (reserve_.fd == r.fd) {
                reserve_.done += n;
                if (!ok || reserve_.done >= reserve_.len) reserve_.fd = -1;
            }
            cv_free_.notify_all(); // close() may wait for the step to end
            continue;
        }
        if (full_.empty()) return; // quit_, with nothing left to write
        Job j = full_.front();
        full_.pop_front();
        writing_ = true;
        lk.unlock();
        write_all(j);
        lk.lock();
        writing_ = false;
        free_.push_back(j.buf);
        // Wakes both a filler waiting for a buffer and close() waiting for the end.
        cv_free_.notify_all();
    }
}

}  // namespace kptdump
