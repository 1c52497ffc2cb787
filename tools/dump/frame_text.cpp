// frame_text.cpp - capture filters through the packet capture library, and
// the frame summaries printed when no file is written.
#include "frame_text.h"

#include <arpa/inet.h>
#include <stdarg.h>
#include <pcap/pcap.h>
#include <stdio.h>
#include <string.h>
#include <time.h>

#include <algorithm>

namespace kptdump {

CaptureFilter::~CaptureFilter() { delete[] insns_; }

bool CaptureFilter::compile(const std::string &expr, uint32_t snaplen, std::string *err)
{
    delete[] insns_;
    insns_ = nullptr;
    count_ = 0;
    if (expr.empty()) return true;
    pcap_t *p = pcap_open_dead_with_tstamp_precision(DLT_EN10MB, int(snaplen),
                                                     PCAP_TSTAMP_PRECISION_NANO);
    if (!p) {
        *err = "cannot set up the filter compiler";
        return false;
    }
    struct bpf_program prog = {};
    if (pcap_compile(p, &prog, expr.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
        *err = pcap_geterr(p);
        pcap_close(p);
        return false;
    }
    // Our own copy: the program outlives the compiler's handle.
    count_ = prog.bf_len;
    insns_ = new bpf_insn[count_];
    memcpy(insns_, prog.bf_insns, count_ * sizeof(bpf_insn));
    pcap_freecode(&prog);
    pcap_close(p);
    return true;
}

bool CaptureFilter::run(const uint8_t *frame, uint32_t len) const
{
    return bpf_filter(insns_, frame, len, len) != 0;
}

namespace {

inline uint16_t be16(const uint8_t *p) { return uint16_t(p[0] << 8 | p[1]); }

// Appends printf output, never past the end of the buffer.
struct Out {
    char *p;
    size_t cap, n = 0;
    void add(const char *fmt, ...) __attribute__((format(printf, 2, 3)))
    {
        if (n + 1 >= cap) return;
        va_list ap;
        va_start(ap, fmt);
        int k = vsnprintf(p + n, cap - n, fmt, ap);
        va_end(ap);
        if (k > 0) n = std::min(cap - 1, n + size_t(k));
    }
};

void mac_text(Out &o, const uint8_t *m)
{
    o.add("%02x:%02x:%02x:%02x:%02x:%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
}

// The transport part: "src.sport > dst.dport PROTO" or "src > dst PROTO".
void transport(Out &o, const char *src, const char *dst, uint8_t proto, const uint8_t *l4,
               size_t room)
{
    bool ports = (proto == 6 || proto == 17 || proto == 132) && room >= 4;
    if (ports)
        o.add("%s.%u > %s.%u", src, be16(l4), dst, be16(l4 + 2));
    else
        o.add("%s > %s", src, dst);
    switch (proto) {
    case 1: o.add(" ICMP"); break;
    case 6: o.add(" TCP"); break;
    case 17: o.add(" UDP"); break;
    case 58: o.add(" ICMPv6"); break;
    case 132: o.add(" SCTP"); break;
    default: o.add(" proto %u", proto);
    }
}

}  // namespace

size_t frame_line(char *out, size_t cap, uint64_t ts_ns, uint32_t port, const uint8_t *f,
                  uint32_t len)
{
    Out o{out, cap};
    time_t secs = time_t(ts_ns / 1000000000u);
    struct tm tm;
    localtime_r(&secs, &tm);
    o.add("%02d:%02d:%02d.%09u port %u len %u", tm.tm_hour, tm.tm_min, tm.tm_sec,
          unsigned(ts_ns % 1000000000u), port, len);
    if (len < 14) {
        o.add(" truncated\n");
        return o.n;
    }
    o.add(" ");
    mac_text(o, f + 6);
    o.add(" > ");
    mac_text(o, f);
    size_t off = 12;
    uint16_t type = be16(f + off);
    // Up to two VLAN tags.
    for (int tags = 0; (type == 0x8100 || type == 0x88a8) && tags < 2; ++tags) {
        if (len < off + 6) {
            o.add(", vlan truncated\n");
            return o.n;
        }
        o.add(", vlan %u", be16(f + off + 2) & 0x0fff);
        off += 4;
        type = be16(f + off);
    }
    off += 2;
    char a[INET6_ADDRSTRLEN], b[INET6_ADDRSTRLEN];
    if (type == 0x0800) {
        const uint8_t *ip = f + off;
        size_t ihl = len >= off + 1 ? size_t(ip[0] & 0x0f) * 4 : 0;
        if (len < off + 20 || ihl < 20 || len < off + ihl) {
            o.add(", IPv4 truncated\n");
            return o.n;
        }
        inet_ntop(AF_INET, ip + 12, a, sizeof a);
        inet_ntop(AF_INET, ip + 16, b, sizeof b);
        o.add(", IPv4 ");
        // Only the first fragment carries the ports.
        bool first = (be16(ip + 6) & 0x1fff) == 0;
        transport(o, a, b, ip[9], ip + ihl, first ? len - off - ihl : 0);
    } else if (type == 0x86dd) {
        const uint8_t *ip = f + off;
        if (len < off + 40) {
            o.add(", IPv6 truncated\n");
            return o.n;
        }
        inet_ntop(AF_INET6, ip + 8, a, sizeof a);
        inet_ntop(AF_INET6, ip + 24, b, sizeof b);
        o.add(", IPv6 ");
        transport(o, a, b, ip[6], ip + 40, len - off - 40);
    } else if (type == 0x0806) {
        o.add(", ARP");
    } else {
        o.add(", ethertype 0x%04x", type);
    }
    o.add("\n");
    return o.n;
}

}  // namespace kptdump
