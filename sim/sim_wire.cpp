// sim_wire.cpp - wire settings: which source a setting names, and the small
// parsers the sources share.  Settings come from the command line and the
// control socket, so every malformed value ends in a one-line reason.
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "sim_wire.h"
#include "sim_wire_impl.h"

namespace quorsim {

bool parse_dec(std::string_view s, uint64_t *out)
{
    if (s.empty()) return false;
    uint64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return false;
        unsigned d = unsigned(c - '0');
        if (v > (UINT64_MAX - d) / 10) return false;
        v = v * 10 + d;
    }
    *out = v;
    return true;
}

bool parse_real(std::string_view s, double *out)
{
    size_t digits = 0, dots = 0;
    for (char c : s) {
        if (c >= '0' && c <= '9')
            ++digits;
        else if (c == '.')
            ++dots;
        else
            return false;
    }
    if (digits == 0 || dots > 1 || s.size() > 64) return false;
    std::string text(s);
    *out = strtod(text.c_str(), nullptr);
    return std::isfinite(*out);
}

bool parse_mac(std::string_view s, uint8_t mac[6])
{
    uint8_t m[6];
    size_t i = 0;
    for (int b = 0; b < 6; ++b) {
        unsigned v = 0, nd = 0;
        while (i < s.size() && s[i] != ':') {
            char c = s[i];
            unsigned d;
            if (c >= '0' && c <= '9')
                d = unsigned(c - '0');
            else if (c >= 'a' && c <= 'f')
                d = unsigned(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                d = unsigned(c - 'A' + 10);
            else
                return false;
            if (++nd > 2) return false;
            v = v * 16 + d;
            ++i;
        }
        if (nd == 0) return false;
        m[b] = uint8_t(v);
        if (b < 5) {
            if (i >= s.size()) return false;
            ++i; // ':'
        }
    }
    if (i != s.size()) return false;
    for (int b = 0; b < 6; ++b) mac[b] = m[b];
    return true;
}

std::string format_mac(const uint8_t mac[6])
{
    char buf[20];
    snprintf(buf, sizeof buf, "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3],
             mac[4], mac[5]);
    return buf;
}

std::string printable(std::string_view s)
{
    constexpr size_t kMax = 200;
    std::string out;
    for (size_t i = 0; i < s.size() && i < kMax; ++i) {
        unsigned char c = static_cast<unsigned char>(s[i]);
        out += (c < 0x20 || c == 0x7f) ? '?' : char(c);
    }
    if (s.size() > kMax) out += "...";
    return out;
}

std::string format_real(double v)
{
    char buf[64];
    snprintf(buf, sizeof buf, "%.9f", v);
    std::string s = buf;
    while (!s.empty() && s.back() == '0') s.pop_back();
    if (!s.empty() && s.back() == '.') s.pop_back();
    return s;
}

std::unique_ptr<FrameSource> make_source(const std::string &spec, const SourceDefaults &defs,
                                         std::string *err)
{
    std::string dummy;
    if (!err) err = &dummy;
    std::string_view s = spec;
    size_t colon = s.find(':');
    std::string_view kind = s.substr(0, colon);
    std::string_view rest =
        colon == std::string_view::npos ? std::string_view() : s.substr(colon + 1);
    if (kind == "gen") return make_gen_source(rest, defs, err);
    if (kind == "pcap") return make_pcap_source(rest, err);
    if (kind == "peer" || kind == "iface")
        *err = std::string(kind) + ": is a link, not a frame source";
    else
        *err = "unknown wire '" + printable(spec) + "' (expected gen:SETTINGS or pcap:FILE)";
    return nullptr;
}

}  // namespace quorsim
