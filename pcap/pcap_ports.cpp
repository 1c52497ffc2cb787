// pcap_ports.cpp - the adapter's ports as capture devices.
#include "pcap_ports.h"

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <mutex>

#include "kpt.h"

namespace kptpcap {

namespace {

bool init_library()
{
    static int rc = -1;
    static std::once_flag once;
    std::call_once(once, [] { rc = kpt_init(KPT_API_VERSION); });
    return rc == 0;
}

// A decimal number of at most 9 digits covering the whole of [s, end).
bool parse_uint(const char *s, const char *end, uint32_t *out)
{
    if (s == end || end - s > 9) return false;
    uint32_t v = 0;
    for (; s != end; ++s) {
        if (*s < '0' || *s > '9') return false;
        v = v * 10 + uint32_t(*s - '0');
    }
    *out = v;
    return true;
}

const PortInfo *find_name(const std::vector<PortInfo> &ports, const char *s, const char *end)
{
    for (const auto &p : ports)
        if (p.name.size() == size_t(end - s) && memcmp(p.name.data(), s, p.name.size()) == 0)
            return &p;
    return nullptr;
}

const PortInfo *find_port(const std::vector<PortInfo> &ports, uint32_t n)
{
    for (const auto &p : ports)
        if (p.port == n) return &p;
    return nullptr;
}

// The letters the ports' names start with ("quor" for quor0, quor1...).
std::string name_stem(const PortInfo &p)
{
    size_t n = p.name.size();
    while (n > 0 && p.name[n - 1] >= '0' && p.name[n - 1] <= '9') --n;
    return p.name.substr(0, n);
}

std::string port_names(const std::vector<PortInfo> &ports)
{
    std::string s;
    for (const auto &p : ports) s += (s.empty() ? "" : ", ") + p.name;
    return s;
}

} // namespace

std::string printable(const char *s, size_t n)
{
    std::string out;
    for (size_t i = 0; i < n && out.size() < 200; ++i) {
        unsigned char c = (unsigned char)s[i];
        if (c >= 0x20 && c < 0x7f && c != '\\') {
            out += char(c);
        } else {
            char b[5];
            snprintf(b, sizeof b, "\\x%02x", c);
            out += b;
        }
    }
    return out;
}

std::vector<PortInfo> list_ports()
{
    std::vector<PortInfo> out;
    if (!init_library()) return out;
    kpt_ifaddrs *list = nullptr;
    if (kpt_getifaddrs(&list) != 0) return out;
    for (kpt_ifaddrs *ifa = list; ifa; ifa = ifa->kpt_ifa_next) {
        if (ifa->kpt_ifa_name == nullptr || ifa->kpt_ifa_portnum >= 32) continue;
        PortInfo p;
        p.name = ifa->kpt_ifa_name;
        p.port = ifa->kpt_ifa_portnum;
        memcpy(p.mac, ifa->kpt_ifa_macaddr, sizeof p.mac);
        p.link_up = ifa->kpt_ifa_link_state == KPT_LINK_UP;
        p.speed = ifa->kpt_ifa_link_speed;
        auto at = out.begin();
        while (at != out.end() && at->port < p.port) ++at;
        out.insert(at, p);
    }
    kpt_freeifaddrs(list);
    return out;
}

std::string port_description(const PortInfo &p)
{
    char buf[96];
    snprintf(buf, sizeof buf, "kpt port %u, MAC %02x:%02x:%02x:%02x:%02x:%02x, link %s", p.port,
             p.mac[0], p.mac[1], p.mac[2], p.mac[3], p.mac[4], p.mac[5],
             p.link_up ? "up" : "down");
    return buf;
}

DeviceSpec parse_device(const char *name, const std::vector<PortInfo> &ports)
{
    DeviceSpec d;
    if (name == nullptr || ports.empty()) return d;
    const char *end = name + strlen(name);
    const char *sep = name;
    while (sep != end && *sep != '@' && *sep != '+') ++sep;
    const PortInfo *base = find_name(ports, name, sep);
    if (base == nullptr) {
        // Ours in form only: a stem of the ports' names and a number.
        for (const auto &p : ports) {
            std::string stem = name_stem(p);
            if (!stem.empty() && strncmp(name, stem.c_str(), stem.size()) == 0 &&
                name[stem.size()] >= '0' && name[stem.size()] <= '9') {
                d.kind = DeviceSpec::Bad;
                d.error = printable(name, size_t(sep - name)) +
                          ": no such port of the adapter (its ports: " + port_names(ports) + ")";
                return d;
            }
        }
        return d;
    }
    d.first_port = base->port;
    d.portmask = 1u << base->port;
    if (sep == end) {
        d.kind = DeviceSpec::Port;
        return d;
    }
    if (*sep == '@') {
        uint32_t r;
        if (!parse_uint(sep + 1, end, &r) || r > 31) {
            d.kind = DeviceSpec::Bad;
            d.error = printable(name, strlen(name)) + ": a ring id is a number from 0 to 31";
            return d;
        }
        d.kind = DeviceSpec::Ring;
        d.ring_id = int(r);
        return d;
    }
    // NAME+M+K...: more ports, by number or by name.
    const char *s = sep + 1;
    for (;;) {
        const char *e = s;
        while (e != end && *e != '+') ++e;
        uint32_t n;
        const PortInfo *p = parse_uint(s, e, &n) ? find_port(ports, n) : find_name(ports, s, e);
        if (p == nullptr || (d.portmask & (1u << p->port)) || p->port >= 16) {
            d.kind = DeviceSpec::Bad;
            d.error = printable(name, strlen(name)) + ": '" + printable(s, size_t(e - s)) +
                      (p == nullptr ? "' is not a port of the adapter (its ports: " +
                                          port_names(ports) + ")"
                                    : "' is named twice or cannot be merged");
            return d;
        }
        d.portmask |= 1u << p->port;
        if (e == end) break;
        s = e + 1;
    }
    if (base->port >= 16) {
        d.kind = DeviceSpec::Bad;
        d.error = printable(name, strlen(name)) + ": ports above 15 cannot be merged";
        return d;
    }
    d.kind = DeviceSpec::Merged;
    return d;
}

} // namespace kptpcap
