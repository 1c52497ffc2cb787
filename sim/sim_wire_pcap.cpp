// sim_wire_pcap.cpp - replay of a capture file (classic pcap or pcapng) onto
// a wire.
//
// The whole file is read into memory and checked when the source is made,
// so replay walks only records already known to lie inside it.  A capture
// file is untrusted input: every length in it is checked against the file's
// size before it is used, and the file is refused with the record it fails
// at.  Records a wire cannot carry (above kWireMaxFrame bytes) are skipped
// and counted; shorter than kWireMinFrame, they get back the zero padding a
// capture strips.
//
// Once checked, each record header in the copy is rewritten in native form
// with the frame's time in ns and its FCS, so that replay costs the same
// per frame whatever the frame's length.
#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <vector>

#include "sim_wire.h"
#include "sim_wire_impl.h"

namespace quorsim {

namespace {

constexpr uint32_t kMagicUsec = 0xa1b2c3d4;
constexpr uint32_t kMagicNsec = 0xa1b23c4d;
constexpr uint32_t kMagicPcapng = 0x0a0d0d0a;
constexpr size_t kFileHdr = 24;
constexpr size_t kRecHdr = 16;
constexpr uint32_t kMaxCaptured = 262144;
constexpr uint32_t kLinkEthernet = 1;
constexpr uint32_t kFcsKnown = 0x04000000; // link field: FCS length in bits 28-31, 16-bit units
constexpr uint64_t kMaxFile = 2ull << 30;
// Times are kept well inside int64 whatever a file says.
constexpr int64_t kFar = INT64_MAX / 4;

const uint8_t kZeros[kWireMinFrame] = {};

int64_t clamp_far(double v)
{
    return v >= double(kFar) ? kFar : v <= -double(kFar) ? -kFar : int64_t(v);
}

int64_t sat_add(int64_t a, int64_t b)
{
    int64_t s = a + b; // both within +-kFar: cannot overflow
    return std::clamp(s, -kFar, kFar);
}

// Time a frame holds the wire at line rate, rounded up.
int64_t wire_ns(uint32_t len)
{
    return (int64_t(len + kWireOverhead) * 8 * 1'000'000'000 + kWireLineBps - 1) /
           int64_t(kWireLineBps);
}

struct PcapOptions {
    std::string path;
    bool max_speed = false;
    double speed = 1.0;
    uint64_t loops = 1; // 0: forever
};

class PcapSource final : public FrameSource {
public:
    // Reads and checks the file; null with a reason when it is unusable.
    static std::unique_ptr<PcapSource> open(const PcapOptions &o, std::string *err);

    void start(int64_t now_ns) override;
    size_t pull(int64_t now_ns, Frame *out, size_t max, int64_t *next_due) override;
    uint64_t produced() const override { return produced_.load(std::memory_order_relaxed); }
    std::string describe() const override;

private:
    // A record header as the copy holds it after the check.
    struct Native {
        int64_t ts;     // ns
        uint32_t incl;  // captured bytes, and the flags below
        uint32_t fcs;   // of the frame as sent, padding included
    };
    static_assert(sizeof(Native) == kRecHdr);
    static constexpr uint32_t kTrimmed = 1u << 31; // ends in a captured FCS, dropped
    static constexpr uint32_t kTooLong = 1u << 30; // skipped
    static constexpr uint32_t kLenMask = kTooLong - 1;

    struct Rec {
        int64_t ts;
        uint32_t incl;  // captured bytes
        uint32_t frame; // bytes sent from the capture (before padding)
        uint32_t fcs;
        bool skip;
    };
    explicit PcapSource(const PcapOptions &o) : opt_(o) {}
    uint32_t u32(size_t off) const
    {
        uint32_t v;
        memcpy(&v, data_.get() + off, 4);
        return swap_ ? __builtin_bswap32(v) : v;
    }
    Rec record(size_t off) const;
    // Puts the record at off (frame bytes at off + kRecHdr, incl of them
    // captured, the first `frame` of them sent) into native form.
    void settle(size_t off, int64_t ts, uint32_t incl, uint32_t frame);
    // The pass schedule, once every record is settled; false when the file
    // holds nothing to send.
    bool conclude(const std::string &name, std::string *err);
    // Rewrites a pcapng file in place as native records; false with a reason.
    bool compact_pcapng(const std::string &name, std::string *err);
    // Offset of the first usable record at or after off (size_ when none).
    size_t usable_from(size_t off) const;
    int64_t scaled(int64_t rel) const
    {
        return opt_.speed == 1.0 ? std::clamp(rel, -kFar, kFar)
                                 : clamp_far(double(rel) / opt_.speed);
    }
    void schedule(); // due time of the record at off_

    PcapOptions opt_;
    std::unique_ptr<uint8_t[]> data_;
    size_t size_ = 0;
    bool swap_ = false;
    bool nsec_ = false;
    bool pcapng_ = false;
    uint32_t fcs_trim_ = 0;
    uint64_t frames_ = 0;  // usable records per pass
    uint64_t skipped_ = 0; // too long for a wire, per pass
    size_t first_ = SIZE_MAX; // offset of the first usable record
    int64_t last_ts_ = 0;  // time of the last usable record
    int64_t ts0_ = 0;      // its time
    int64_t period_ = 0;   // one pass, scaled

    bool started_ = false;
    bool done_ = false;
    size_t off_ = 0;       // next record to hand out
    uint64_t pass_ = 0;
    int64_t pass_base_ = 0; // when this pass's time 0 falls
    int64_t wire_free_ = 0; // when the wire is free of the last frame
    int64_t due_ = 0;       // of the record at off_
    std::atomic<uint64_t> produced_{0};
};

PcapSource::Rec PcapSource::record(size_t off) const
{
    Native n;
    memcpy(&n, data_.get() + off, sizeof n);
    Rec r;
    r.ts = n.ts;
    r.incl = n.incl & kLenMask;
    r.frame = (n.incl & kTrimmed) ? r.incl - fcs_trim_ : r.incl;
    r.fcs = n.fcs;
    r.skip = n.incl & kTooLong;
    return r;
}

void PcapSource::settle(size_t off, int64_t ts, uint32_t incl, uint32_t frame)
{
    Native n;
    n.ts = ts;
    n.incl = incl;
    n.fcs = 0;
    if (frame != incl) n.incl |= kTrimmed;
    if (frame > kWireMaxFrame) {
        n.incl |= kTooLong;
        ++skipped_;
    } else {
        const uint8_t *p = data_.get() + off + kRecHdr;
        n.fcs = crc32_eth(p, frame);
        if (frame < kWireMinFrame) n.fcs = crc32_eth(kZeros, kWireMinFrame - frame, n.fcs);
        if (frames_ == 0) {
            first_ = off;
            ts0_ = n.ts;
        }
        ++frames_;
        last_ts_ = n.ts;
    }
    memcpy(data_.get() + off, &n, sizeof n);
}

size_t PcapSource::usable_from(size_t off) const
{
    while (off < size_) {
        Rec r = record(off);
        if (!r.skip) return off;
        off += kRecHdr + r.incl;
    }
    return size_;
}

std::unique_ptr<PcapSource> PcapSource::open(const PcapOptions &o, std::string *err)
{
    std::string name = "pcap: " + printable(o.path) + ": ";
    int fd = ::open(o.path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        *err = name + strerror(errno);
        return nullptr;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *err = name + "not a regular file";
        close(fd);
        return nullptr;
    }
    if (uint64_t(st.st_size) > kMaxFile) {
        *err = name + "larger than " + std::to_string(kMaxFile >> 20) + " MiB";
        close(fd);
        return nullptr;
    }
    std::unique_ptr<PcapSource> s(new PcapSource(o));
    s->size_ = size_t(st.st_size);
    s->data_.reset(new uint8_t[s->size_ ? s->size_ : 1]);
    size_t got = 0;
    while (got < s->size_) {
        ssize_t n = read(fd, s->data_.get() + got, s->size_ - got);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break; // shrank under us: judged by what was read
        got += size_t(n);
    }
    close(fd);
    s->size_ = got;

    // File header.
    if (got == 0) {
        *err = name + "empty file";
        return nullptr;
    }
    if (got >= 4 && memcmp(s->data_.get(), &kMagicPcapng, 4) == 0) {
        // The magic reads the same in either byte order.
        s->pcapng_ = true;
        if (!s->compact_pcapng(name, err)) return nullptr;
        return s->conclude(name, err) ? std::move(s) : nullptr;
    }
    if (got < kFileHdr) {
        *err = name + "truncated file header (" + std::to_string(got) + " of 24 bytes)";
        return nullptr;
    }
    uint32_t magic;
    memcpy(&magic, s->data_.get(), 4);
    if (magic == kMagicUsec || magic == kMagicNsec) {
        s->swap_ = false;
    } else if (__builtin_bswap32(magic) == kMagicUsec || __builtin_bswap32(magic) == kMagicNsec) {
        s->swap_ = true;
        magic = __builtin_bswap32(magic);
    } else {
        char hex[16];
        snprintf(hex, sizeof hex, "0x%08x", magic);
        *err = name + "not a pcap or pcapng file (magic " + hex + ")";
        return nullptr;
    }
    s->nsec_ = magic == kMagicNsec;
    uint32_t ver = s->u32(4);
    uint32_t major = s->swap_ ? ver >> 16 : ver & 0xffff;
    uint32_t minor = s->swap_ ? ver & 0xffff : ver >> 16;
    if (major != 2) {
        *err = name + "unsupported pcap version " + std::to_string(major) + "." +
               std::to_string(minor);
        return nullptr;
    }
    uint32_t snaplen = s->u32(16), link = s->u32(20);
    if ((link & 0xffff) != kLinkEthernet) {
        *err = name + "link type " + std::to_string(link & 0xffff) + " is not Ethernet (1)";
        return nullptr;
    }
    if (link & kFcsKnown) s->fcs_trim_ = ((link >> 28) & 0xf) * 2;
    uint32_t max_incl = snaplen == 0 ? kMaxCaptured : std::min(snaplen, kMaxCaptured);

    // Every record.
    uint64_t recno = 0;
    for (size_t off = kFileHdr; off < got;) {
        ++recno;
        std::string at =
            name + "record " + std::to_string(recno) + " at offset " + std::to_string(off) + ": ";
        if (got - off < kRecHdr) {
            *err = at + "truncated record header (" + std::to_string(got - off) + " of 16 bytes)";
            return nullptr;
        }
        uint32_t frac = s->u32(off + 4), incl = s->u32(off + 8);
        if (frac >= (s->nsec_ ? 1'000'000'000u : 1'000'000u)) {
            *err = at + "timestamp fraction " + std::to_string(frac) + " out of range";
            return nullptr;
        }
        if (incl > kMaxCaptured) {
            *err = at + "captured length " + std::to_string(incl) + " above " +
                   std::to_string(kMaxCaptured);
            return nullptr;
        }
        if (incl > max_incl) {
            *err = at + "captured length " + std::to_string(incl) + " above the snap length " +
                   std::to_string(snaplen);
            return nullptr;
        }
        if (got - off - kRecHdr < incl) {
            *err = at + "record runs past the end of the file (" + std::to_string(incl) +
                   " bytes, " + std::to_string(got - off - kRecHdr) + " left)";
            return nullptr;
        }
        int64_t ts = int64_t(s->u32(off)) * 1'000'000'000 + int64_t(frac) * (s->nsec_ ? 1 : 1000);
        uint32_t frame = incl;
        // A frame captured whole with its FCS: the wire adds its own.
        if (s->fcs_trim_ && incl == s->u32(off + 12) && incl >= s->fcs_trim_) frame -= s->fcs_trim_;
        s->settle(off, ts, incl, frame);
        off += kRecHdr + incl;
    }
    return s->conclude(name, err) ? std::move(s) : nullptr;
}

bool PcapSource::conclude(const std::string &name, std::string *err)
{
    if (frames_ + skipped_ == 0) {
        *err = name + "no records";
        return false;
    }
    if (frames_ == 0) {
        *err = name + "all " + std::to_string(skipped_) + " records are longer than " +
               std::to_string(kWireMaxFrame) + " bytes";
        return false;
    }
    // A pass lasts from the first frame to the last, and the next one starts
    // an average gap later, so a looped file keeps its own rate.
    int64_t span = std::max<int64_t>(0, last_ts_ - ts0_);
    int64_t gap = frames_ > 1 ? span / int64_t(frames_ - 1) : 0;
    period_ = scaled(span + gap);
    off_ = first_;
    return true;
}

// ---- pcapng ----
//
// Blocks are walked once, each checked against the file's size and its own
// length before any field inside it is used.  Packet blocks are rewritten in
// place, front to back, as native records (a record is never longer than the
// block it comes from, so the rewrite never overtakes the reading); the
// section and interface blocks are read before anything is written over them.
namespace {

constexpr uint32_t kBlockSHB = 0x0A0D0D0A, kBlockIDB = 1, kBlockSPB = 3, kBlockEPB = 6;
constexpr uint32_t kByteOrderMagic = 0x1A2B3C4D;
constexpr uint16_t kOptTsresol = 9, kOptFcslen = 13, kOptTsoffset = 14;

// An interface description as far as replay needs it.
struct NgIface {
    uint16_t link = 0;
    uint32_t snaplen = 0;
    bool binary = false;  // resolution 2^-exp s, else 10^-exp s
    uint32_t exp = 6;     // default: microseconds
    int64_t offset_s = 0; // if_tsoffset
    uint32_t fcslen = 0;  // FCS bytes at the end of whole frames
};

// Nanoseconds of a timestamp in an interface's units, within +-kFar.
int64_t ng_time_ns(const NgIface &f, uint64_t units)
{
    __int128 ns;
    if (f.binary)
        ns = (__int128(units) * 1'000'000'000) >> f.exp;
    else if (f.exp <= 9) {
        uint64_t mul = 1;
        for (uint32_t i = f.exp; i < 9; ++i) mul *= 10;
        ns = __int128(units) * mul;
    } else {
        uint64_t div = 1;
        for (uint32_t i = 9; i < f.exp; ++i) div *= 10;
        ns = units / div;
    }
    ns += __int128(f.offset_s) * 1'000'000'000;
    return ns > kFar ? kFar : ns < -kFar ? -kFar : int64_t(ns);
}

}  // namespace

bool PcapSource::compact_pcapng(const std::string &name, std::string *err)
{
    uint8_t *d = data_.get();
    const size_t got = size_;
    bool swap = false;
    auto rd32 = [&](size_t off) {
        uint32_t v;
        memcpy(&v, d + off, 4);
        return swap ? __builtin_bswap32(v) : v;
    };
    auto rd16 = [&](size_t off) {
        uint16_t v;
        memcpy(&v, d + off, 2);
        return swap ? __builtin_bswap16(v) : v;
    };
    std::vector<NgIface> ifs;
    size_t w = 0; // where the next native record goes
    uint64_t blockno = 0;
    int64_t last_ts = 0;
    for (size_t r = 0; r < got;) {
        ++blockno;
        std::string at =
            name + "block " + std::to_string(blockno) + " at offset " + std::to_string(r) + ": ";
        size_t left = got - r;
        if (left < 12) {
            *err = at + "truncated block header (" + std::to_string(left) + " bytes left)";
            return false;
        }
        uint32_t type;
        memcpy(&type, d + r, 4);
        if (type == kBlockSHB) {
            uint32_t bom;
            memcpy(&bom, d + r + 8, 4);
            if (bom == kByteOrderMagic)
                swap = false;
            else if (__builtin_bswap32(bom) == kByteOrderMagic)
                swap = true;
            else {
                *err = at + "section header with an unknown byte-order mark";
                return false;
            }
            ifs.clear(); // interfaces are numbered per section
        } else {
            type = rd32(r);
        }
        uint32_t len = rd32(r + 4);
        if (len < 12 || len % 4 != 0 || len > left) {
            *err = at + "block length " + std::to_string(len) +
                   (len > left ? " runs past the end of the file" : " is malformed");
            return false;
        }
        if (rd32(r + len - 4) != len) {
            *err = at + "trailing block length differs from the leading one";
            return false;
        }
        if (type == kBlockSHB) {
            if (len < 28 || rd16(r + 12) != 1) {
                *err = at + (len < 28 ? std::string("section header too short")
                                      : "unsupported pcapng version " +
                                            std::to_string(rd16(r + 12)));
                return false;
            }
        } else if (type == kBlockIDB) {
            if (len < 20) {
                *err = at + "interface description too short";
                return false;
            }
            NgIface f;
            f.link = rd16(r + 8);
            f.snaplen = rd32(r + 12);
            for (size_t o = r + 16; o + 4 <= r + len - 4;) {
                uint16_t code = rd16(o), olen = rd16(o + 2);
                size_t room = r + len - 4 - (o + 4);
                if (code == 0) break;
                if (olen > room) {
                    *err = at + "option " + std::to_string(code) + " runs past its block";
                    return false;
                }
                const uint8_t *v = d + o + 4;
                if (code == kOptTsresol && olen >= 1) {
                    f.binary = v[0] & 0x80;
                    f.exp = v[0] & 0x7f;
                    if ((f.binary && f.exp > 63) || (!f.binary && f.exp > 19)) {
                        *err = at + "timestamp resolution " + std::to_string(v[0]) +
                               " is not supported";
                        return false;
                    }
                } else if (code == kOptFcslen && olen >= 1) {
                    f.fcslen = v[0];
                } else if (code == kOptTsoffset && olen >= 8) {
                    uint64_t u;
                    memcpy(&u, v, 8);
                    if (swap) u = __builtin_bswap64(u);
                    f.offset_s = std::clamp<int64_t>(int64_t(u), -(int64_t(1) << 40),
                                                     int64_t(1) << 40);
                }
                o += 4 + ((size_t(olen) + 3) & ~size_t(3));
            }
            if (ifs.size() >= 65536) {
                *err = at + "more than 65536 interfaces in one section";
                return false;
            }
            ifs.push_back(f);
        } else if (type == kBlockEPB || type == kBlockSPB) {
            size_t hdr = type == kBlockEPB ? 28 : 12;
            if (len < hdr + 4) {
                *err = at + "packet block too short";
                return false;
            }
            uint32_t ifid = type == kBlockEPB ? rd32(r + 8) : 0;
            if (ifid >= ifs.size()) {
                *err = at + "packet of interface " + std::to_string(ifid) + ", but " +
                       std::to_string(ifs.size()) + " interfaces are described";
                return false;
            }
            const NgIface &f = ifs[ifid];
            if (f.link != kLinkEthernet) {
                *err = at + "interface " + std::to_string(ifid) + " has link type " +
                       std::to_string(f.link) + ", not Ethernet (1)";
                return false;
            }
            uint32_t room = len - uint32_t(hdr) - 4, incl, orig;
            int64_t ts;
            if (type == kBlockEPB) {
                incl = rd32(r + 20);
                orig = rd32(r + 24);
                if (incl > room) {
                    *err = at + "captured length " + std::to_string(incl) +
                           " runs past its block";
                    return false;
                }
                ts = ng_time_ns(f, uint64_t(rd32(r + 12)) << 32 | rd32(r + 16));
            } else {
                // No captured length: the smaller of the frame and the room.
                orig = rd32(r + 8);
                incl = std::min(orig, room);
                if (f.snaplen) incl = std::min(incl, f.snaplen);
                ts = last_ts; // no time either: right behind the previous frame
            }
            if (incl > kMaxCaptured) {
                *err = at + "captured length " + std::to_string(incl) + " above " +
                       std::to_string(kMaxCaptured);
                return false;
            }
            uint32_t frame = incl;
            if (f.fcslen && incl == orig && incl >= f.fcslen) frame -= f.fcslen;
            // w <= r: the header lands on bytes already read, the frame moves down.
            memmove(d + w + kRecHdr, d + r + hdr, frame);
            settle(w, ts, frame, frame);
            w += kRecHdr + frame;
            last_ts = ts;
        }
        r += len;
    }
    size_ = w;
    return true;
}

void PcapSource::schedule()
{
    if (opt_.max_speed) return;
    int64_t file_due = sat_add(pass_base_, scaled(record(off_).ts - ts0_));
    // No frame starts before the last one has left the wire, whatever the
    // file's timestamps say.
    due_ = std::max(file_due, wire_free_);
}

void PcapSource::start(int64_t now_ns)
{
    now_ns = std::clamp(now_ns, -kFar, kFar);
    if (!started_) {
        started_ = true;
        pass_base_ = now_ns;
        wire_free_ = now_ns;
        schedule();
        return;
    }
    // Resume: what was left of the schedule carries on from now.
    if (!done_ && due_ < now_ns) {
        pass_base_ = sat_add(pass_base_, now_ns - due_);
        wire_free_ = now_ns;
        due_ = now_ns;
    }
}

size_t PcapSource::pull(int64_t now_ns, Frame *out, size_t max, int64_t *next_due)
{
    if (!started_) start(now_ns);
    size_t n = 0;
    while (n < max && !done_ && (opt_.max_speed || due_ <= now_ns)) {
        Rec r = record(off_);
        const uint8_t *p = data_.get() + off_ + kRecHdr;
        Frame &f = out[n++];
        f.seg[0] = p;
        f.seg_len[0] = r.frame;
        f.fcs = r.fcs;
        if (r.frame < kWireMinFrame) {
            f.seg[1] = kZeros;
            f.seg_len[1] = kWireMinFrame - r.frame;
            f.len = kWireMinFrame;
        } else {
            f.seg[1] = nullptr;
            f.seg_len[1] = 0;
            f.len = r.frame;
        }
        f.at = opt_.max_speed ? 0 : due_;
        if (!opt_.max_speed) wire_free_ = sat_add(due_, wire_ns(f.len));

        off_ = usable_from(off_ + kRecHdr + r.incl);
        if (off_ >= size_) {
            ++pass_;
            if (opt_.loops != 0 && pass_ >= opt_.loops) {
                done_ = true;
                break;
            }
            off_ = first_;
            pass_base_ = sat_add(pass_base_, period_);
        }
        schedule();
    }
    produced_.store(produced_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    if (next_due) *next_due = done_ ? -1 : opt_.max_speed ? now_ns : due_;
    return n;
}

std::string PcapSource::describe() const
{
    std::string s = "pcap:" + printable(opt_.path);
    s += ",speed=" + (opt_.max_speed ? std::string("max") : format_real(opt_.speed));
    s += ",loop=" + std::to_string(opt_.loops);
    s += " (" + std::to_string(frames_) + " frames";
    if (skipped_)
        s += ", " + std::to_string(skipped_) + " skipped over " + std::to_string(kWireMaxFrame) +
             " bytes";
    s += pcapng_ ? ", pcapng)" : nsec_ ? ", ns)" : ", us)";
    return s;
}

}  // namespace

// FILE[,speed=max|X][,loop=N]; the file name ends at the first comma.
std::unique_ptr<FrameSource> make_pcap_source(std::string_view settings, std::string *err)
{
    PcapOptions o;
    size_t comma = settings.find(',');
    o.path = std::string(settings.substr(0, comma));
    if (o.path.empty()) {
        *err = "pcap: needs a file name (pcap:FILE[,speed=max|X][,loop=N])";
        return nullptr;
    }
    bool seen_speed = false, seen_loop = false;
    while (comma != std::string_view::npos) {
        size_t next = settings.find(',', comma + 1);
        std::string_view item =
            settings.substr(comma + 1, next == std::string_view::npos ? next : next - comma - 1);
        comma = next;
        size_t eq = item.find('=');
        std::string_view key = item.substr(0, eq);
        std::string_view v =
            eq == std::string_view::npos ? std::string_view() : item.substr(eq + 1);
        std::string what = "pcap: " + printable(item) + ": ";
        if (eq == std::string_view::npos || (key != "speed" && key != "loop")) {
            *err = "pcap: unknown setting '" + printable(item) + "' (known: speed=max|X, loop=N)";
            return nullptr;
        }
        if ((key == "speed" && seen_speed) || (key == "loop" && seen_loop)) {
            *err = "pcap: " + std::string(key) + " given twice";
            return nullptr;
        }
        if (key == "speed") {
            seen_speed = true;
            if (v == "max") {
                o.max_speed = true;
            } else if (!parse_real(v, &o.speed) || o.speed < 0.001 || o.speed > 1000.0) {
                *err = what + "speed is max, or a factor 0.001 to 1000 on the file's timing";
                return nullptr;
            }
        } else {
            seen_loop = true;
            if (!parse_dec(v, &o.loops)) {
                *err = what + "expected a number of passes (0: forever)";
                return nullptr;
            }
        }
    }
    return PcapSource::open(o, err);
}

}  // namespace quorsim
