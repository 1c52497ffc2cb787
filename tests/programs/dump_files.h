// dump_files.h - reading kpt_dump's output back in tests: through the packet
// capture library (an independent reader), and block by block for what that
// library does not expose (interface of each packet, statistics blocks).
#pragma once

#include <pcap/pcap.h>
#include <stdio.h>
#include <string.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "test_support.h"

namespace kpttest {

using Bytes = std::vector<uint8_t>;

struct PcapPacket {
    uint64_t ts_ns = 0;
    uint32_t len = 0;
    Bytes data;
};

// Every packet of a capture file as libpcap reads it with nanosecond
// timestamps; *err says why the file could not be read.
inline std::vector<PcapPacket> ReadWithLibpcap(const std::string &path, std::string *err,
                                               int *linktype = nullptr)
{
    std::vector<PcapPacket> out;
    char eb[PCAP_ERRBUF_SIZE] = {};
    pcap_t *p = pcap_open_offline_with_tstamp_precision(path.c_str(), PCAP_TSTAMP_PRECISION_NANO, eb);
    if (!p) {
        *err = eb;
        return out;
    }
    if (linktype) *linktype = pcap_datalink(p);
    struct pcap_pkthdr *h;
    const u_char *d;
    int rc;
    while ((rc = pcap_next_ex(p, &h, &d)) == 1) {
        PcapPacket k;
        k.ts_ns = uint64_t(h->ts.tv_sec) * 1000000000u + uint64_t(h->ts.tv_usec);
        k.len = h->len;
        k.data.assign(d, d + h->caplen);
        out.push_back(std::move(k));
    }
    if (rc == -1) *err = pcap_geterr(p);
    pcap_close(p);
    return out;
}

// The blocks of a pcapng file written on this host.
struct NgFile {
    struct Iface {
        uint16_t link = 0;
        uint32_t snaplen = 0;
        std::string name;
        Bytes mac;
        int tsresol = -1;
        std::string filter; // the expression of an if_filter option
    };
    struct Packet {
        uint32_t ifid = 0;
        uint64_t ts = 0;
        uint32_t orig = 0;
        Bytes data;
    };
    struct Stats {
        uint32_t ifid = 0;
        std::map<uint16_t, uint64_t> opt; // option code -> value (times as ns)
    };
    std::vector<Iface> ifaces;
    std::vector<Packet> packets;
    std::vector<Stats> stats;
    std::string appl, comment;
    std::string error; // empty when every block made sense
};

inline NgFile ReadBlocks(const std::string &path)
{
    NgFile f;
    std::string s = ReadFile(path);
    const uint8_t *b = reinterpret_cast<const uint8_t *>(s.data());
    auto u32 = [&](size_t o) { uint32_t v; memcpy(&v, b + o, 4); return v; };
    auto u16 = [&](size_t o) { uint16_t v; memcpy(&v, b + o, 2); return v; };
    auto options = [&](size_t o, size_t end, auto &&each) {
        while (o + 4 <= end) {
            uint16_t code = u16(o), len = u16(o + 2);
            if (code == 0 || o + 4 + len > end) break;
            each(code, b + o + 4, len);
            o += 4 + ((len + 3u) & ~3u);
        }
    };
    size_t o = 0;
    while (o < s.size()) {
        if (s.size() - o < 12) { f.error = "truncated block at " + std::to_string(o); break; }
        uint32_t type = u32(o), len = u32(o + 4);
        if (len < 12 || len % 4 || len > s.size() - o || u32(o + len - 4) != len) {
            f.error = "bad block length at " + std::to_string(o);
            break;
        }
        if (type == 0x0A0D0D0A) {
            options(o + 24, o + len - 4, [&](uint16_t c, const uint8_t *v, uint16_t n) {
                if (c == 4) f.appl.assign((const char *)v, n);
                if (c == 1) f.comment.assign((const char *)v, n);
            });
        } else if (type == 1) {
            NgFile::Iface i;
            i.link = u16(o + 8);
            i.snaplen = u32(o + 12);
            options(o + 16, o + len - 4, [&](uint16_t c, const uint8_t *v, uint16_t n) {
                if (c == 2) i.name.assign((const char *)v, n);
                if (c == 6) i.mac.assign(v, v + n);
                if (c == 9 && n >= 1) i.tsresol = v[0];
                if (c == 11 && n >= 1 && v[0] == 0) i.filter.assign((const char *)v + 1, n - 1u);
            });
            f.ifaces.push_back(i);
        } else if (type == 6) {
            NgFile::Packet p;
            p.ifid = u32(o + 8);
            p.ts = uint64_t(u32(o + 12)) << 32 | u32(o + 16);
            uint32_t cap = u32(o + 20);
            p.orig = u32(o + 24);
            if (28 + cap + 4 > len) { f.error = "packet past its block"; break; }
            p.data.assign(b + o + 28, b + o + 28 + cap);
            f.packets.push_back(p);
        } else if (type == 5) {
            NgFile::Stats st;
            st.ifid = u32(o + 8);
            options(o + 20, o + len - 4, [&](uint16_t c, const uint8_t *v, uint16_t n) {
                if (n != 8) return;
                uint64_t x;
                if (c == 2 || c == 3) {
                    uint32_t w[2];
                    memcpy(w, v, 8);
                    x = uint64_t(w[0]) << 32 | w[1];
                } else {
                    memcpy(&x, v, 8);
                }
                st.opt[c] = x;
            });
            f.stats.push_back(st);
        }
        o += len;
    }
    return f;
}

}  // namespace kpttest
