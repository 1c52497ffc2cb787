// sim_switch.cpp - the timestamping switch in front of a port, its settings,
// and where it meets the adapter (every frame reaching a port) and the
// control commands.
//
// Time: the switch's UTC is host real time + offset, taken as a fixed
// distance from CLOCK_MONOTONIC when the switch comes up, so that it runs
// smoothly; its ticks count at 350 MHz x (1 + ppm 1e-6) from a reference
// that "ticks=N" and rate changes move.  A frame is stamped at its own wire
// time (a paced source's due time, otherwise its arrival), never before the
// frame or keyframe that left the switch before it.
#include <arpa/inet.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string_view>

#include "quor_switch_ts.h"
#include "sim_internal.h"
#include "sim_switch.h"
#include "sim_wire_impl.h"

namespace quorsim {

namespace {

constexpr uint32_t kMaxPeriodMs = 60000;
constexpr int64_t kMaxMppm = 1000000; // 1000 ppm
constexpr const char *kModes[] = {"disabled", "append", "overwrite", "testing"};

// a / b rounded towards minus infinity (b > 0).
__int128 floor_div(__int128 a, __int128 b)
{
    __int128 q = a / b;
    return (a % b != 0 && a < 0) ? q - 1 : q;
}

void put_be(uint8_t *p, uint64_t v, int bytes)
{
    for (int i = bytes - 1; i >= 0; --i, v >>= 8) p[i] = uint8_t(v);
}

// [-]D[.DDD] in thousandths.
bool parse_milli(std::string_view v, int64_t *out)
{
    bool neg = !v.empty() && (v[0] == '-' || v[0] == '+');
    if (neg && v[0] == '+') neg = false;
    if (!v.empty() && (v[0] == '-' || v[0] == '+')) v.remove_prefix(1);
    std::string_view whole = v, frac;
    if (size_t d = v.find('.'); d != std::string_view::npos) {
        whole = v.substr(0, d);
        frac = v.substr(d + 1);
        if (frac.empty() || frac.size() > 3) return false;
    }
    uint64_t w = 0, f = 0;
    if (!parse_dec(whole, &w) || w > 1000000) return false;
    if (!frac.empty() && !parse_dec(frac, &f)) return false;
    for (size_t i = frac.size(); i < 3; ++i) f *= 10;
    int64_t m = int64_t(w * 1000 + f);
    *out = neg ? -m : m;
    return true;
}

bool parse_signed(std::string_view v, int64_t *out)
{
    bool neg = !v.empty() && v[0] == '-';
    if (!v.empty() && (v[0] == '-' || v[0] == '+')) v.remove_prefix(1);
    uint64_t u;
    if (!parse_dec(v, &u) || u > uint64_t(INT64_MAX)) return false;
    *out = neg ? -int64_t(u) : int64_t(u);
    return true;
}

std::string milli_text(int64_t m)
{
    std::string s = m < 0 ? "-" : "";
    uint64_t a = m < 0 ? uint64_t(-m) : uint64_t(m);
    s += std::to_string(a / 1000);
    if (a % 1000) {
        char f[8];
        snprintf(f, sizeof f, ".%03u", unsigned(a % 1000));
        std::string t = f;
        while (t.back() == '0') t.pop_back();
        s += t;
    }
    return s;
}

}  // namespace

// ---------------------------------------------------------------------------
// Settings
// ---------------------------------------------------------------------------

std::string parse_switch_settings(const std::string &text, SwitchSettings *out)
{
    if (text == "on") return {};
    SwitchSettings s = *out;
    s.set_ticks = false;
    static const char *const kKeys[] = {"period", "offset", "ppm", "ticks",  "skew", "ptp",
                                        "mode",   "miss",   "bad", "id", "swport", "kfdst"};
    bool seen[std::size(kKeys)] = {};
    std::string_view all = text;
    size_t pos = 0;
    if (all.empty()) return "switch: empty settings (on, or KEY=VALUE,...)";
    while (pos <= all.size()) {
        size_t end = all.find(',', pos);
        if (end == std::string_view::npos) end = all.size();
        std::string_view item = all.substr(pos, end - pos);
        pos = end + 1;
        if (item.empty()) return "switch: empty setting (two commas, or a comma at an end)";
        size_t eq = item.find('=');
        if (eq == std::string_view::npos)
            return "switch: '" + printable(item) + "' is not KEY=VALUE";
        std::string_view key = item.substr(0, eq), v = item.substr(eq + 1);
        size_t k = 0;
        while (k < std::size(kKeys) && key != kKeys[k]) ++k;
        if (k == std::size(kKeys))
            return "switch: unknown setting '" + printable(key) +
                   "' (known: period offset ppm ticks skew ptp mode miss bad id swport kfdst)";
        if (seen[k]) return "switch: " + std::string(key) + " given twice";
        seen[k] = true;
        const std::string what = "switch: " + std::string(key) + "=" + printable(v) + ": ";
        uint64_t n = 0;
        switch (k) {
        case 0:
            if (!parse_dec(v, &n) || n > kMaxPeriodMs) return what + "the period is 0 to 60000 ms";
            s.period_ms = uint32_t(n);
            break;
        case 1:
            if (!parse_signed(v, &s.offset_ns)) return what + "expected signed nanoseconds";
            break;
        case 2:
            if (!parse_milli(v, &s.mppm) || s.mppm < -kMaxMppm || s.mppm > kMaxMppm)
                return what + "the rate error is -1000 to 1000 ppm (3 decimals at most)";
            break;
        case 3:
            if (!parse_dec(v, &s.ticks)) return what + "expected a tick count";
            s.set_ticks = true;
            break;
        case 4:
        case 5:
            if (v != "on" && v != "off") return what + "expected on or off";
            (k == 4 ? s.skew : s.ptp) = v == "on";
            break;
        case 6: {
            size_t m = 0;
            while (m < std::size(kModes) && v != kModes[m]) ++m;
            if (m == std::size(kModes))
                return what + "the mode is append, overwrite, disabled or testing";
            s.mode = uint8_t(m);
            break;
        }
        case 7:
        case 8:
            if (!parse_dec(v, &n)) return what + "expected a count (0: never)";
            (k == 7 ? s.miss : s.bad) = n;
            break;
        case 9:
        case 10:
            if (!parse_dec(v, &n) || n > 65535) return what + "expected 0 to 65535";
            if (k == 9)
                s.id = uint16_t(n);
            else
                s.swport = int32_t(n);
            break;
        case 11: {
            std::string a(v);
            struct in_addr ia;
            if (inet_pton(AF_INET, a.c_str(), &ia) != 1) return what + "expected A.B.C.D";
            s.kfdst = ntohl(ia.s_addr);
            break;
        }
        }
    }
    *out = s;
    return {};
}

std::string switch_settings_text(const SwitchSettings &s, int port)
{
    char dst[INET_ADDRSTRLEN];
    struct in_addr ia;
    ia.s_addr = htonl(s.kfdst);
    inet_ntop(AF_INET, &ia, dst, sizeof dst);
    return "period=" + std::to_string(s.period_ms) + ",offset=" + std::to_string(s.offset_ns) +
           ",ppm=" + milli_text(s.mppm) + ",skew=" + (s.skew ? "on" : "off") +
           ",ptp=" + (s.ptp ? "on" : "off") + ",mode=" + kModes[s.mode & 3] +
           ",miss=" + std::to_string(s.miss) + ",bad=" + std::to_string(s.bad) +
           ",id=" + std::to_string(s.id) +
           ",swport=" + std::to_string(s.swport < 0 ? port : s.swport) + ",kfdst=" + dst;
}

uint64_t switch_ticks(uint64_t base, int64_t mono_ns, int64_t mppm)
{
    // 350 MHz = 7 ticks per 20 ns, times (1e9 + mppm) / 1e9.
    __int128 num = __int128(mono_ns) * 7 * (1000000000 + mppm);
    return base + uint64_t(int64_t(floor_div(num, __int128(20) * 1000000000)));
}

// ---------------------------------------------------------------------------
// The switch
// ---------------------------------------------------------------------------

Switch::Switch(int port, const uint8_t mac[6], const std::atomic<uint64_t> *link_drops)
    : port_(port), link_drops_(link_drops)
{
    memcpy(mac_, mac, 6);
    drops0_ = link_drops->load(std::memory_order_relaxed);
    mono0_ = mono_ns();
    real_minus_mono_ = real_ns() - mono0_;
    last_ = mono0_;
}

uint64_t Switch::utc_at(int64_t mono) const
{
    return uint64_t(mono + real_minus_mono_ + s_.offset_ns);
}

void Switch::apply(const SwitchSettings &s, int64_t now)
{
    // The counter keeps its value across a change of rate.
    const uint64_t t = s.set_ticks ? s.ticks : ticks_at(now);
    const bool period_changed = s.period_ms != s_.period_ms;
    s_ = s;
    s_.set_ticks = false;
    ticks0_ = t;
    mono0_ = now;
    if (period_changed || !on()) {
        int64_t next = s_.period_ms == 0 ? INT64_MAX : std::max(now, last_);
        next_kf_.store(next, std::memory_order_relaxed);
    }
    on_.store(true, std::memory_order_release);
}

void Switch::turn_on(int64_t now)
{
    if (on()) return;
    next_kf_.store(s_.period_ms == 0 ? INT64_MAX : std::max(now, last_),
                   std::memory_order_relaxed);
    on_.store(true, std::memory_order_release);
}

void Switch::emit_keyframe(int64_t at)
{
    ++kf_seq_;
    if (s_.miss != 0 && kf_seq_ % int64_t(s_.miss) == 0) {
        missed_.fetch_add(1, std::memory_order_relaxed);
        return;
    }
    ++kf_sent_;
    const bool bad = s_.bad != 0 && kf_sent_ % int64_t(s_.bad) == 0;
    const uint32_t pay = s_.skew ? QUOR_KF_PAYLOAD_LEN_SKEW : QUOR_KF_PAYLOAD_LEN;
    const uint32_t len = QUOR_KF_PAYLOAD_OFF + pay - (bad ? 2 : 0);
    kfbuf_.emplace_back();
    uint8_t *f = kfbuf_.back().data();
    memcpy(f, mac_, 6);
    const uint8_t src[6] = {0x02, 0x51, 0x53, 0xfe, 0x00, uint8_t(port_)};
    memcpy(f + 6, src, 6);
    put_be(f + 12, 0x0800, 2);
    // IPv4 without options, protocol 253, to kfdst.
    uint8_t *ip = f + 14;
    memset(ip, 0, 20);
    ip[0] = 0x45;
    put_be(ip + 2, len - 14, 2);
    put_be(ip + 6, 0x4000, 2);
    ip[8] = 64;
    ip[9] = QUOR_KF_PROTO;
    put_be(ip + 12, 0xa9fe0000u | s_.id, 4); // 169.254.<id>
    put_be(ip + 16, s_.kfdst, 4);
    uint32_t sum = 0;
    for (int i = 0; i < 20; i += 2) sum += uint32_t(ip[i] << 8 | ip[i + 1]);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    put_be(ip + 10, ~sum & 0xffff, 2);

    const uint64_t ticks = ticks_at(at), utc = utc_at(at);
    uint8_t p[QUOR_KF_PAYLOAD_LEN_SKEW];
    put_be(p + QUOR_KF_OFF_ASIC, ticks, 8);
    put_be(p + QUOR_KF_OFF_UTC, utc, 8);
    put_be(p + QUOR_KF_OFF_SYNC, s_.ptp ? utc / 1000000000 * 1000000000 : 0, 8);
    if (s_.skew) {
        put_be(p + QUOR_KF_OFF_SKEW, uint64_t(1000000000 + s_.mppm), 8);
        put_be(p + QUOR_KF_OFF_SKEW + 8, 1000000000, 8);
    }
    uint8_t *q = p + QUOR_KF_TAIL + (s_.skew ? QUOR_KF_SKEW_LEN : 0);
    put_be(q + QUOR_KF_TAIL_KF_TS, utc, 8);
    put_be(q + QUOR_KF_TAIL_DROPS, link_drops_->load(std::memory_order_relaxed) - drops0_, 8);
    put_be(q + QUOR_KF_TAIL_DEVICE, s_.id, 2);
    put_be(q + QUOR_KF_TAIL_SWPORT, uint64_t(s_.swport < 0 ? port_ : s_.swport), 2);
    q[QUOR_KF_TAIL_FCS_TYPE] = s_.mode;
    q[QUOR_KF_TAIL_RESERVED] = 0;
    memcpy(f + QUOR_KF_PAYLOAD_OFF, p, len - QUOR_KF_PAYLOAD_OFF);

    put_be(f + len, quor_switch_trailer(uint32_t(ticks), bit7_), 4);
    bit7_ = !bit7_;
    Frame fr;
    fr.seg[0] = f;
    fr.seg_len[0] = len + 4;
    fr.len = len + 4;
    fr.fcs = crc32_eth(f, len + 4);
    fr.at = at;
    out_.push_back(fr);
    keyframes_.fetch_add(1, std::memory_order_relaxed);
    if (bad) bad_.fetch_add(1, std::memory_order_relaxed);
}

void Switch::emit_due(int64_t upto)
{
    int64_t k = next_kf_.load(std::memory_order_relaxed);
    if (k > upto) return;
    const int64_t period = int64_t(s_.period_ms) * 1000000;
    // A switch that was not looked at for long sends the latest few only.
    if (period > 0 && (upto - k) / period > 16) k += ((upto - k) / period - 16) * period;
    while (k <= upto) {
        last_ = std::max(last_, k);
        emit_keyframe(k);
        k = period > 0 ? k + period : INT64_MAX;
    }
    next_kf_.store(k, std::memory_order_relaxed);
}

const std::vector<Frame> &Switch::keyframes_until(int64_t bound)
{
    out_.clear();
    kfbuf_.clear();
    emit_due(bound);
    return out_;
}

const std::vector<Frame> &Switch::stamp(const Frame *in, size_t n, int64_t now)
{
    out_.clear();
    kfbuf_.clear();
    trailers_.resize(n);
    for (size_t i = 0; i < n; ++i) {
        const int64_t at = std::max(in[i].at != 0 ? in[i].at : now, last_);
        emit_due(at);
        last_ = at;
        uint8_t *tr = trailers_[i].data();
        put_be(tr, quor_switch_trailer(uint32_t(ticks_at(at)), bit7_), 4);
        bit7_ = !bit7_;
        Frame f = in[i];
        f.seg[2] = tr;
        f.seg_len[2] = 4;
        f.len += 4;
        f.fcs = crc32_eth(tr, 4, f.fcs);
        f.at = at;
        out_.push_back(f);
    }
    stamped_.fetch_add(n, std::memory_order_relaxed);
    return out_;
}

std::string Switch::status(int64_t now)
{
    return switch_settings_text(s_, port_) + "; keyframes " + std::to_string(keyframes_.load()) +
           ", missed " + std::to_string(missed_.load()) + ", bad " + std::to_string(bad_.load()) +
           ", stamped " + std::to_string(stamped_.load()) + ", dropped " +
           std::to_string(link_drops_->load() - drops0_) + ", ticks " +
           std::to_string(ticks_at(now));
}

// ---------------------------------------------------------------------------
// The adapter and the control commands
// ---------------------------------------------------------------------------

void Simulator::Impl::rx_deliver(Port &p, const Frame *frames, size_t n)
{
    Switch *sw = p.sw.load(std::memory_order_acquire);
    if (sw == nullptr || !sw->on()) {
        rx_write(p, frames, n);
        return;
    }
    if (n == 0) return;
    std::lock_guard<std::mutex> lk(sw->mu);
    const std::vector<Frame> &out = sw->stamp(frames, n, mono_ns());
    rx_write(p, out.data(), out.size());
}

int64_t Simulator::Impl::switch_flush(Port &p, int64_t bound)
{
    Switch *sw = p.sw.load(std::memory_order_acquire);
    if (sw == nullptr || !sw->on()) return INT64_MAX;
    if (sw->next_keyframe() <= bound) {
        std::lock_guard<std::mutex> lk(sw->mu);
        const std::vector<Frame> &out = sw->keyframes_until(bound);
        rx_write(p, out.data(), out.size());
    }
    return sw->next_keyframe();
}

std::string Simulator::Impl::set_switch(Port &p, const std::string &spec)
{
    Switch *sw = p.sw.load(std::memory_order_acquire);
    const int64_t now = mono_ns();
    if (spec == "off") {
        if (sw) sw->turn_off();
        return {};
    }
    SwitchSettings s;
    if (sw) {
        std::lock_guard<std::mutex> lk(sw->mu);
        s = sw->settings();
    }
    if (std::string e = parse_switch_settings(spec, &s); !e.empty()) return e;
    if (sw == nullptr) {
        uint8_t mac[6];
        for (int i = 0; i < 6; ++i) mac[i] = uint8_t(p.nic_id >> (40 - 8 * i));
        p.sw_owned = std::make_unique<Switch>(p.unit, mac, &p.link_drops);
        sw = p.sw_owned.get();
        std::lock_guard<std::mutex> lk(sw->mu);
        sw->apply(s, now);
        p.sw.store(sw, std::memory_order_release);
    } else {
        std::lock_guard<std::mutex> lk(sw->mu);
        if (spec == "on")
            sw->turn_on(now);
        else
            sw->apply(s, now);
    }
    kick(p);
    return {};
}

std::string Simulator::Impl::switch_status(Port &p)
{
    Switch *sw = p.sw.load(std::memory_order_acquire);
    std::string head = "port " + std::to_string(p.unit) + " switch: ";
    if (sw == nullptr || !sw->on()) return head + "off\n";
    std::lock_guard<std::mutex> lk(sw->mu);
    return head + sw->status(mono_ns()) + "\n";
}

}  // namespace quorsim
