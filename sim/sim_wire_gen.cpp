// sim_wire_gen.cpp - the traffic generator at the far end of a port.
//
// It sends the test packet: a 48-byte header built per frame, followed by the
// fixed payload pattern, which every frame shares (seg[1] points at one
// read-only copy).  The frame check sequence combines the CRC of the fresh
// header with the CRC of the payload prefix, which is known in advance for
// every length, so a frame costs the same whatever its size.
//
// Pacing is exact rational arithmetic on CLOCK_MONOTONIC nanoseconds: frame
// i+1 is due the time frame i holds the wire after frame i (its bits at the
// set bit rate; with a packet rate, 1/pps or its bits at line rate,
// whichever is longer), with the fractions carried, so the rate does not
// drift however long it runs.  A consumer that falls behind gets the late
// frames back to back.
#include <algorithm>
#include <atomic>
#include <cstring>

#include "sim_wire.h"
#include "sim_wire_impl.h"

namespace quorsim {

namespace {

struct Range {
    uint32_t lo = 0, hi = 0;
    bool seq = false; // cycle lo..hi instead of drawing at random
    bool varies() const { return hi > lo; }
};

struct GenConfig {
    enum class Rate { Line, Pps, Bits } rate = Rate::Line;
    uint64_t pps = 0;
    uint64_t bps = kWireLineBps;
    Range len{kWireMinFrame, kWireMinFrame};
    Range sport{1234, 1234};
    Range dport{9, 9};
    uint64_t count = 0; // 0: unlimited
    uint32_t flows = 1;
    uint64_t seed = 1;
    uint8_t dmac[6] = {};
    uint8_t smac[6] = {};
};

constexpr uint32_t kMaxFlows = 65535;
// Flow f's source is 10.42.<hi>.<lo> with hi.lo = 42.11 + f.
constexpr uint32_t kSrcLow16 = 0x2a0b;

std::string range_text(const Range &r)
{
    if (!r.varies()) return std::to_string(r.lo);
    return std::to_string(r.lo) + "-" + std::to_string(r.hi) + (r.seq ? ":seq" : ":rand");
}

// N, or MIN-MAX with an optional :rand (the default) or :seq.
bool parse_range(std::string_view key, std::string_view v, uint32_t min, uint32_t max,
                 const char *what, Range *r, std::string *err)
{
    std::string item = "gen: " + std::string(key) + "=" + printable(v) + ": ";
    std::string_view body = v, order;
    if (size_t c = v.find(':'); c != std::string_view::npos) {
        body = v.substr(0, c);
        order = v.substr(c + 1);
    }
    std::string_view a = body, b = body;
    if (size_t d = body.find('-'); d != std::string_view::npos) {
        a = body.substr(0, d);
        b = body.substr(d + 1);
    }
    uint64_t lo, hi;
    if (!parse_dec(a, &lo) || !parse_dec(b, &hi)) {
        *err = item + "expected N or MIN-MAX[:rand|:seq]";
        return false;
    }
    if (lo < min || hi > max || lo > max || hi < min) {
        *err = item + what + " are " + std::to_string(min) + " to " + std::to_string(max);
        return false;
    }
    if (lo > hi) {
        *err = item + "minimum above maximum";
        return false;
    }
    Range out{uint32_t(lo), uint32_t(hi), false};
    if (order == "seq")
        out.seq = true;
    else if (!order.empty() && order != "rand") {
        *err = item + "order must be rand or seq";
        return false;
    }
    if (!order.empty() && !out.varies() && body.find('-') == std::string_view::npos) {
        *err = item + "rand or seq needs a range MIN-MAX";
        return false;
    }
    *r = out;
    return true;
}

bool parse_gen(std::string_view settings, const SourceDefaults &defs, GenConfig *c,
               std::string *err)
{
    memcpy(c->dmac, defs.dst_mac, 6);
    memcpy(c->smac, defs.src_mac, 6);
    enum Key {
        kRate,
        kPps,
        kGbps,
        kLen,
        kSport,
        kDport,
        kCount,
        kFlows,
        kSeed,
        kDmac,
        kSmac,
        kKeys
    };
    static const char *const kNames[kKeys] = {"rate",  "pps",   "gbps", "len",  "sport", "dport",
                                              "count", "flows", "seed", "dmac", "smac"};
    bool seen[kKeys] = {};
    std::string_view rate_key;

    size_t pos = 0;
    while (pos <= settings.size() && !settings.empty()) {
        size_t end = settings.find(',', pos);
        if (end == std::string_view::npos) end = settings.size();
        std::string_view item = settings.substr(pos, end - pos);
        pos = end + 1;
        size_t eq = item.find('=');
        if (item.empty()) {
            *err = "gen: empty setting (two commas, or a comma at an end)";
            return false;
        }
        if (eq == std::string_view::npos) {
            *err = "gen: '" + printable(item) + "' is not KEY=VALUE";
            return false;
        }
        std::string_view key = item.substr(0, eq), v = item.substr(eq + 1);
        int k = 0;
        while (k < kKeys && key != kNames[k]) ++k;
        if (k == kKeys) {
            *err = "gen: unknown setting '" + printable(key) +
                   "' (known: rate pps gbps len sport dport count flows seed dmac smac)";
            return false;
        }
        if (seen[k]) {
            *err = "gen: " + std::string(key) + " given twice";
            return false;
        }
        seen[k] = true;
        std::string what = "gen: " + std::string(key) + "=" + printable(v) + ": ";
        uint64_t n = 0;
        switch (k) {
        case kRate:
        case kPps:
        case kGbps:
            if (!rate_key.empty()) {
                *err = "gen: " + std::string(rate_key) + " and " + std::string(key) +
                       " both set the rate; give one";
                return false;
            }
            rate_key = key;
            if (k == kRate) {
                if (v != "line") {
                    *err = what + "rate must be line (or use pps= or gbps=)";
                    return false;
                }
                c->rate = GenConfig::Rate::Line;
            } else if (k == kPps) {
                if (!parse_dec(v, &n)) {
                    *err = what + "expected a whole number of frames per second";
                    return false;
                }
                if (n == 0) {
                    *err = what + "the rate must be above 0";
                    return false;
                }
                c->rate = GenConfig::Rate::Pps;
                c->pps = n;
            } else {
                double g;
                if (!parse_real(v, &g)) {
                    *err = what + "expected a decimal number of Gb/s";
                    return false;
                }
                if (g > 10.0) {
                    *err = what + "above line rate (10 Gb/s)";
                    return false;
                }
                uint64_t bps = uint64_t(g * 1e9 + 0.5);
                if (bps == 0) {
                    *err = what + "the rate must be above 0";
                    return false;
                }
                c->rate = GenConfig::Rate::Bits;
                c->bps = bps;
            }
            break;
        case kLen:
            if (!parse_range(key, v, kWireMinFrame, kWireMaxFrame, "frame lengths", &c->len, err))
                return false;
            break;
        case kSport:
            if (!parse_range(key, v, 0, 65535, "ports", &c->sport, err)) return false;
            break;
        case kDport:
            if (!parse_range(key, v, 0, 65535, "ports", &c->dport, err)) return false;
            break;
        case kCount:
            if (!parse_dec(v, &c->count)) {
                *err = what + "expected a frame count, 0 to 18446744073709551615";
                return false;
            }
            break;
        case kFlows:
            if (!parse_dec(v, &n) || n < 1 || n > kMaxFlows) {
                *err = what + "flows are 1 to " + std::to_string(kMaxFlows);
                return false;
            }
            c->flows = uint32_t(n);
            break;
        case kSeed:
            if (!parse_dec(v, &c->seed)) {
                *err = what + "expected a number, 0 to 18446744073709551615";
                return false;
            }
            break;
        case kDmac:
        case kSmac:
            if (!parse_mac(v, k == kDmac ? c->dmac : c->smac)) {
                *err = what + "expected a MAC address aa:bb:cc:dd:ee:ff";
                return false;
            }
            break;
        }
    }

    // A packet rate no frame could keep up with is refused.  Longer frames
    // of a range may take more than 1/pps on the wire; they then leave as
    // soon as the one before has gone, as on a real line.
    if (c->rate == GenConfig::Rate::Pps) {
        uint64_t most = kWireLineBps / (uint64_t(c->len.lo + kWireOverhead) * 8);
        if (c->pps > most) {
            *err = "gen: pps=" + std::to_string(c->pps) + ": above line rate for " +
                   std::to_string(c->len.lo) + "-byte frames (at most " + std::to_string(most) +
                   ")";
            return false;
        }
    }
    return true;
}

// The header bytes that change from frame to frame: IPv4 total length and
// checksum, the low half of the source address, UDP ports and length, and
// the test length field.  All others are fixed per source.
constexpr uint8_t kVarBytes[] = {16, 17, 24, 25, 28, 29, 34, 35, 36, 37, 38, 39, 44, 45, 46, 47};
constexpr size_t kNumVar = sizeof kVarBytes;

// The CRC is linear: the register after a header is that after the fixed
// bytes with zeros in the variable places, plus what each variable byte
// adds from its place.  Sixteen lookups instead of a pass over 48 bytes.
struct HeaderCrc {
    uint32_t t[kNumVar][256];
    HeaderCrc()
    {
        for (size_t k = 0; k < kNumVar; ++k) crc32_byte_table(kTestHdrLen - 1 - kVarBytes[k], t[k]);
    }
};

const HeaderCrc &header_crc()
{
    static const HeaderCrc tables;
    return tables;
}

inline void put16(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 8);
    p[1] = uint8_t(v);
}

inline void put32(uint8_t *p, uint32_t v)
{
    p[0] = uint8_t(v >> 24);
    p[1] = uint8_t(v >> 16);
    p[2] = uint8_t(v >> 8);
    p[3] = uint8_t(v);
}

class GenSource final : public FrameSource {
public:
    explicit GenSource(const GenConfig &c);
    void start(int64_t now_ns) override;
    size_t pull(int64_t now_ns, Frame *out, size_t max, int64_t *next_due) override;
    uint64_t produced() const override { return produced_.load(std::memory_order_relaxed); }
    std::string describe() const override;

private:
    // Headers live here until the next pull; one slot per frame of a batch.
    static constexpr size_t kBatch = 256;
    static constexpr size_t kSlot = 64;

    uint32_t next_random() // splitmix64, upper half
    {
        uint64_t z = (rng_ += 0x9e3779b97f4a7c15ull);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
        return uint32_t((z ^ (z >> 31)) >> 32);
    }
    uint32_t pick(const Range &r, uint32_t &pos)
    {
        if (!r.varies()) return r.lo;
        uint32_t span = r.hi - r.lo + 1;
        if (r.seq) {
            uint32_t v = r.lo + pos;
            pos = pos + 1 == span ? 0 : pos + 1;
            return v;
        }
        return r.lo + uint32_t((uint64_t(next_random()) * span) >> 32);
    }
    void build(uint8_t *h, Frame *f);

    GenConfig cfg_;
    bool started_ = false;
    bool unlimited_;
    uint64_t left_;
    std::atomic<uint64_t> produced_{0};

    // Time a frame of len bytes holds the wire, in 1/den_ ns: its bits at
    // the line or set bit rate, and with a packet rate at least 1/pps.
    uint64_t cost(uint32_t len) const
    {
        uint64_t bits = uint64_t(len + kWireOverhead) * 8;
        if (cfg_.rate != GenConfig::Rate::Pps) return bits * 1'000'000'000ull;
        return std::max<uint64_t>(10'000'000'000ull, bits * cfg_.pps);
    }

    // pacing: frame i+1 is due at due_ + (acc_ + cost(len of frame i)) / den_
    int64_t due_ = 0;
    uint64_t acc_ = 0;
    uint64_t den_;
    bool fixed_cost_;
    uint64_t cost_q_ = 0, cost_r_ = 0; // the cost when every frame has the same one

    uint64_t rng_;
    uint32_t len_pos_ = 0, sport_pos_ = 0, dport_pos_ = 0, flow_ = 0;
    bool sport_per_flow_;
    uint32_t ip_sum_; // IPv4 header words that never change
    const HeaderCrc &hcrc_;
    uint32_t hreg0_;  // CRC register after the header with zeros in kVarBytes
    uint8_t tmpl_[kTestHdrLen];
    alignas(64) uint8_t hdr_[kBatch][kSlot];
};

GenSource::GenSource(const GenConfig &c) : cfg_(c), hcrc_(header_crc())
{
    unlimited_ = c.count == 0;
    left_ = c.count;
    rng_ = c.seed;
    sport_per_flow_ = !c.sport.varies();

    // cost() counts in 1/den_ ns.  With a bit rate den_ is that rate (a frame
    // costs bits * 1e9); with a packet rate it is 10 pps, in which both 1/pps
    // (1e10) and a frame's time at 10 Gb/s (bits * pps) are whole numbers.
    switch (c.rate) {
    case GenConfig::Rate::Line: den_ = kWireLineBps; break;
    case GenConfig::Rate::Bits: den_ = c.bps; break;
    case GenConfig::Rate::Pps: den_ = 10 * c.pps; break;
    }
    // With a packet rate, frames up to this long all cost 1/pps.
    uint32_t same_cost = c.rate == GenConfig::Rate::Pps
                             ? uint32_t(kWireLineBps / (8 * c.pps)) - kWireOverhead
                             : 0;
    fixed_cost_ = !c.len.varies() || c.len.hi <= same_cost;
    cost_q_ = cost(c.len.lo) / den_;
    cost_r_ = cost(c.len.lo) % den_;

    static const uint8_t kIpUdp[] = {
        0x08, 0x00,                                     // IPv4
        0x45, 0x00, 0x00, 0x00, 0x00, 0x00, 0x40, 0x00, // v4, 20 bytes, length, id 0, DF
        0x40, 0x11, 0x00, 0x00,                         // TTL 64, UDP, checksum
        0x0a, 0x2a, 0x00, 0x00,                         // 10.42.<flow>
        0x0a, 0x2a, 0x2a, 0x0a,                         // 10.42.42.10
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, // UDP ports, length, checksum 0
        0x70, 0x6b,                                     // marker
        0x00, 0x00, 0x00, 0x00,                         // frame length
    };
    static_assert(sizeof kIpUdp == kTestHdrLen - 12);
    memcpy(tmpl_, c.dmac, 6);
    memcpy(tmpl_ + 6, c.smac, 6);
    memcpy(tmpl_ + 12, kIpUdp, sizeof kIpUdp);
    // Sum of the fixed 16-bit words: version..TOS, id, flags, TTL/protocol,
    // the source's upper half and the destination.
    ip_sum_ = 0x4500 + 0x4000 + 0x4011 + 0x0a2a + 0x0a2a + 0x2a0a;
    hreg0_ = crc32_raw(~0u, tmpl_, kTestHdrLen);
    memset(hdr_, 0, sizeof hdr_);
}

// Resuming after a pause does not bring a frame forward: the rate holds
// across a stop and start.
void GenSource::start(int64_t now_ns)
{
    if (!started_ || due_ < now_ns) {
        due_ = now_ns;
        acc_ = 0;
    }
    started_ = true;
}

void GenSource::build(uint8_t *h, Frame *f)
{
    uint32_t len = pick(cfg_.len, len_pos_);
    uint32_t sport =
        sport_per_flow_ ? (cfg_.sport.lo + flow_) & 0xffff : pick(cfg_.sport, sport_pos_);
    uint32_t dport = pick(cfg_.dport, dport_pos_);
    uint32_t src = (kSrcLow16 + flow_) & 0xffff;
    if (++flow_ == cfg_.flows) flow_ = 0;

    memcpy(h, tmpl_, kTestHdrLen);
    uint32_t sum = ip_sum_ + (len - 14) + src;
    sum = (sum & 0xffff) + (sum >> 16);
    sum += sum >> 16;
    put16(h + 16, len - 14);
    put16(h + 24, ~sum & 0xffff);
    put16(h + 28, src);
    put16(h + 34, sport);
    put16(h + 36, dport);
    put16(h + 38, len - 34);
    put32(h + 44, len);

    uint32_t pay = len - kTestHdrLen;
    f->seg[0] = h;
    f->seg_len[0] = kTestHdrLen;
    f->seg[1] = test_payload();
    f->seg_len[1] = pay;
    f->len = len;
    f->at = due_;
    uint32_t reg = hreg0_;
    for (size_t k = 0; k < kNumVar; ++k) reg ^= hcrc_.t[k][h[kVarBytes[k]]];
    f->fcs = crc32_eth_combine(~reg, test_payload_crc(pay), pay);

    // The next frame is due when this one has had its time on the wire.
    if (fixed_cost_) {
        due_ += int64_t(cost_q_);
        acc_ += cost_r_;
        if (acc_ >= den_) {
            acc_ -= den_;
            ++due_;
        }
    } else {
        acc_ += cost(len);
        due_ += int64_t(acc_ / den_);
        acc_ %= den_;
    }
}

size_t GenSource::pull(int64_t now_ns, Frame *out, size_t max, int64_t *next_due)
{
    if (!started_) start(now_ns);
    if (max > kBatch) max = kBatch;
    if (!unlimited_ && left_ < max) max = size_t(left_);
    size_t n = 0;
    while (n < max && due_ <= now_ns) {
        build(hdr_[n], &out[n]);
        ++n;
    }
    if (!unlimited_) left_ -= n;
    produced_.store(produced_.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
    if (next_due) *next_due = (!unlimited_ && left_ == 0) ? -1 : due_;
    return n;
}

std::string GenSource::describe() const
{
    std::string s = "gen:";
    switch (cfg_.rate) {
    case GenConfig::Rate::Line: s += "rate=line"; break;
    case GenConfig::Rate::Pps: s += "pps=" + std::to_string(cfg_.pps); break;
    case GenConfig::Rate::Bits: s += "gbps=" + format_real(double(cfg_.bps) / 1e9); break;
    }
    s += ",len=" + range_text(cfg_.len);
    s += ",sport=" + range_text(cfg_.sport);
    s += ",dport=" + range_text(cfg_.dport);
    s += ",flows=" + std::to_string(cfg_.flows);
    s += ",count=" + std::to_string(cfg_.count);
    s += ",seed=" + std::to_string(cfg_.seed);
    s += ",dmac=" + format_mac(cfg_.dmac);
    s += ",smac=" + format_mac(cfg_.smac);
    return s;
}

}  // namespace

std::unique_ptr<FrameSource> make_gen_source(std::string_view settings, const SourceDefaults &defs,
                                             std::string *err)
{
    GenConfig c;
    if (!parse_gen(settings, defs, &c, err)) return nullptr;
    return std::make_unique<GenSource>(c);
}

}  // namespace quorsim
