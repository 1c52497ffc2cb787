// sim_ctl.cpp - the control commands of the simulator (control socket,
// quor_simctl and Simulator::command all come here, in the server thread or
// before it starts).
#include <cstdio>
#include <cstring>
#include <map>

#include "sim_internal.h"

namespace quorsim {

namespace {

const char kHelp[] =
    "commands:\n"
    "  status                       one line per port\n"
    "  counters                     one line per port: frames from its generator or\n"
    "                               capture file, received, dropped (by place), sent\n"
    "  resources                    shared memory regions and bytes in use per port,\n"
    "                               the simulator's open descriptors, and the memory\n"
    "                               kept for clients' next rings\n"
    "  kept-drop                    give back the memory kept for clients now\n"
    "  link PORT up|down            set the link state of a port\n"
    "  p1-link UNIT up|down         the link of a board's second port (failover)\n"
    "  vscap UNIT [VERSION|off]     a board's vendor window version (0-255), or no\n"
    "                               vendor-specific capability at all; without one,\n"
    "                               show the window and the failover settings\n"
    "  scan UNIT 0|2|jtag [HEX]     a board's scan-chain image (bytes in the order a\n"
    "                               scan read returns them): show it, or set it\n"
    "  jtag-busy N                  the bridge's next N memory replies say busy (3)\n"
    "  jtag-grabfail N              the bridge's next N grabs get a connection reset\n"
    "  timesource PORT CODE         set the time-source code (0-6) of a port\n"
    "  board-type UNIT TYPE         set the board type a unit reports\n"
    "  board-count N|auto           the board count the driver reports (auto: the ports)\n"
    "  refuse UNIT off|ERRNO        refuse new connections to a unit\n"
    "  delay UNIT MS                answer a unit's requests MS ms late\n"
    "  send PORT HEX                a frame (hex bytes, no FCS) arrives on a port\n"
    "  wire PORT SPEC|off           what arrives on a port: gen:..., pcap:FILE,...\n"
    "  gen PORT SETTINGS|off        a traffic generator on a port (wire PORT gen:SETTINGS)\n"
    "                               (wire PORT peer:N[,pause=off] cables two ports)\n"
    "  txhold PORT on|off           the adapter stops (or resumes) taking posted batches\n"
    "  switch PORT [on|off|SETTINGS] a timestamping switch in front of a port: show it,\n"
    "                               or change it live (KEY=VALUE,... as --switch)\n"
    "  rx-params PORT               the last receive parameter block a port was given\n"
    "  fail UNIT REQUEST ERRNO|off  answer a request on a unit with an error\n"
    "                               (REQUEST: set_endpoint, kpt_start, get_version, ...)\n"
    "  patch UNIT REQUEST OFF u8|u16|u32|u64 VALUE\n"
    "                               write VALUE at byte OFF of the request's answers\n"
    "  patch UNIT REQUEST off       answer the request soundly again\n";

std::string err(const std::string &why) { return "error: " + why + "\n"; }

// Pairs of hexadecimal digits; false for anything else.
bool parse_hex_bytes(const std::string &h, std::vector<uint8_t> *out)
{
    if (h.size() % 2) return false;
    auto nib = [](char ch) -> int {
        if (ch >= '0' && ch <= '9') return ch - '0';
        if (ch >= 'a' && ch <= 'f') return ch - 'a' + 10;
        if (ch >= 'A' && ch <= 'F') return ch - 'A' + 10;
        return -1;
    };
    out->clear();
    for (size_t i = 0; i < h.size(); i += 2) {
        int a = nib(h[i]), b = nib(h[i + 1]);
        if (a < 0 || b < 0) return false;
        out->push_back(uint8_t(a << 4 | b));
    }
    return true;
}

}  // namespace

std::string Simulator::Impl::exec_command(const std::string &line)
{
    std::vector<std::string> w = split_words(line);
    if (w.empty()) return err("empty command");
    const std::string &cmd = w[0];

    auto port_arg = [&](size_t i, Port **out) -> std::string {
        uint64_t v;
        if (w.size() <= i || !parse_u64(w[i], &v) || v >= ports.size())
            return "no such port: " + (w.size() > i ? w[i] : std::string("(none)"));
        *out = ports[v].get();
        return {};
    };

    if (cmd == "help") return std::string(kHelp) + "ok\n";

    if (cmd == "status") {
        if (w.size() != 1) return err("usage: status");
        std::string out;
        for (auto &p : ports) {
            char b[320];
            snprintf(b, sizeof b,
                     "port %d: link %s, timesource %u, board-type %u, intr-coal %u, "
                     "connections %d, started %s, received %llu (%llu bytes), overflow %llu, "
                     "sent %llu (%llu bytes), queue-lock %s (desc %llu)\n",
                     p->unit, p->link_up ? "up" : "down", p->timesource.load(),
                     p->board_type.load(), p->intr_coal.load(), p->connections.load(),
                     p->delivering ? "yes" : "no", (unsigned long long)p->kpt_pkt_recv.load(),
                     (unsigned long long)p->nic_bytes_recv.load(),
                     (unsigned long long)(p->kpt_pkt_overflow.load() + p->nic_pkt_overflow.load()),
                     (unsigned long long)p->nic_pkt_send.load(),
                     (unsigned long long)p->nic_bytes_send.load(),
                     p->pq_holder ? "held" : "free",
                     (unsigned long long)p->pq_state.evq_desc_cnt);
            out += b;
        }
        return out + "ok\n";
    }

    if (cmd == "counters") {
        if (w.size() != 1) return err("usage: counters");
        std::string out;
        for (auto &p : ports) {
            uint64_t gen = 0;
            {
                std::lock_guard<std::mutex> lk(p->wire_mu);
                if (p->source) gen = p->source->produced();
            }
            char b[256];
            snprintf(b, sizeof b,
                     "port %d: generated %llu, received %llu, ring-overflow %llu, nic-overflow %llu, "
                     "link-drops %llu, sent %llu\n",
                     p->unit, (unsigned long long)gen, (unsigned long long)p->kpt_pkt_recv.load(),
                     (unsigned long long)p->kpt_pkt_overflow.load(),
                     (unsigned long long)p->nic_pkt_overflow.load(),
                     (unsigned long long)p->link_drops.load(), (unsigned long long)p->nic_pkt_send.load());
            out += b;
        }
        return out + "ok\n";
    }

    if (cmd == "resources") {
        if (w.size() != 1) return err("usage: resources");
        std::string out;
        size_t kept = 0;
        uint64_t kept_bytes = 0;
        for (auto &p : ports) {
            char b[160];
            snprintf(b, sizeof b, "port %d: regions %zu, arena %llu bytes, connections %d\n", p->unit,
                     p->arena.regions(), (unsigned long long)p->arena.in_use(), p->connections.load());
            out += b;
            uint64_t by = 0;
            kept += p->arena.kept(&by);
            kept_bytes += by;
        }
        // Memory kept for clients' next rings holds a descriptor each; it is
        // shown apart, so that the count shows what is in use.
        const int fds = open_descriptors();
        return out + "descriptors " + std::to_string(fds < 0 ? fds : fds - int(kept)) + "\nkept " +
               std::to_string(kept) + " objects, " + std::to_string(kept_bytes) + " bytes\nok\n";
    }

    if (cmd == "kept-drop") {
        if (w.size() != 1) return err("usage: kept-drop");
        for (auto &p : ports) p->arena.expire(-1);
        return "ok\n";
    }

    if (cmd == "link") {
        Port *p;
        if (w.size() != 3) return err("usage: link PORT up|down");
        if (auto e = port_arg(1, &p); !e.empty()) return err(e);
        if (w[2] == "up")
            p->link_up = 1;
        else if (w[2] == "down")
            p->link_up = 0;
        else
            return err("link state must be up or down");
        p->netdev.set_carrier(p->link_up != 0);
        board.set_link(p->unit, 0, p->link_up != 0);
        return "ok\n";
    }

    // The failover firmware's view of a board: its second port's link and
    // the vendor window it is reached through.
    if (cmd == "p1-link" || cmd == "vscap") {
        const bool p1 = cmd == "p1-link";
        Port *p;
        if (w.size() != 3 && (p1 || w.size() != 2))
            return err(p1 ? "usage: p1-link UNIT up|down" : "usage: vscap UNIT [VERSION|off]");
        if (auto e = port_arg(1, &p); !e.empty()) return err(e);
        const std::string no_board = "unit " + w[1] + " has no board";
        if (w.size() == 2) {
            std::string s = board.vscap_status(p->unit);
            return s.empty() ? err(no_board) : s + "ok\n";
        }
        uint64_t v = 0;
        bool ok;
        if (p1) {
            if (w[2] != "up" && w[2] != "down") return err("link state must be up or down");
            ok = board.set_link(p->unit, 1, w[2] == "up");
        } else {
            if (w[2] != "off" && (!parse_u64(w[2], &v) || v > 255)) return err("version must be 0 to 255 or off");
            ok = board.set_vscap(p->unit, w[2] == "off" ? -1 : int(v));
        }
        return ok ? "ok\n" : err(no_board);
    }

    if (cmd == "scan") {
        Port *p;
        if (w.size() != 3 && w.size() != 4) return err("usage: scan UNIT 0|2|jtag [HEX]");
        if (auto e = port_arg(1, &p); !e.empty()) return err(e);
        if (p->unit >= board.boards()) return err("unit " + w[1] + " has no board");
        ScanChain c;
        if (w[2] == "0")
            c = ScanChain::c0;
        else if (w[2] == "2")
            c = ScanChain::c2;
        else if (w[2] == "jtag")
            c = ScanChain::jtag;
        else
            return err("chain must be 0, 2 or jtag");
        const size_t len = board.scan_len(p->unit, c);
        if (w.size() == 3) {
            std::string hex;
            char b[3];
            for (uint8_t v : board.scan_image(p->unit, c)) {
                snprintf(b, sizeof b, "%02x", v);
                hex += b;
            }
            return hex + "\nok\n";
        }
        std::vector<uint8_t> img;
        if (!parse_hex_bytes(w[3], &img) || img.size() != len)
            return err("the image is " + std::to_string(len) + " bytes in hexadecimal");
        board.set_scan(p->unit, c, img);
        return "ok\n";
    }

    if (cmd == "jtag-busy" || cmd == "jtag-grabfail") {
        uint64_t n;
        if (w.size() != 2 || !parse_u64(w[1], &n) || n > 0xffffffffull) return err("usage: " + cmd + " N");
        if (!bridge) return err("no bridge (quor_simd --bridge ADDR)");
        if (cmd == "jtag-busy")
            bridge->set_busy(uint32_t(n));
        else
            bridge->set_grabfail(uint32_t(n));
        return "ok\n";
    }

    if (cmd == "timesource") {
        Port *p;
        uint64_t code;
        if (w.size() != 3) return err("usage: timesource PORT CODE");
        if (auto e = port_arg(1, &p); !e.empty()) return err(e);
        if (!parse_u64(w[2], &code) || code > 0xffffffffull) return err("bad time-source code");
        p->timesource = uint32_t(code);
        return "ok\n";
    }

    if (cmd == "board-type") {
        Port *p;
        uint64_t t;
        if (w.size() != 3) return err("usage: board-type UNIT TYPE");
        if (auto e = port_arg(1, &p); !e.empty()) return err(e);
        if (!parse_u64(w[2], &t) || t > 0xffffffffull) return err("bad board type");
        p->board_type = uint32_t(t);
        return "ok\n";
    }

    if (cmd == "board-count") {
        uint64_t n;
        if (w.size() != 2) return err("usage: board-count N|auto");
        if (w[1] == "auto") {
            board_count = -1;
            return "ok\n";
        }
        if (!parse_u64(w[1], &n) || n > ports.size()) return err("board count must be 0 to the ports");
        board_count = int(n);
        return "ok\n";
    }

    if (cmd == "refuse") {
        Port *p;
        if (w.size() != 3) return err("usage: refuse UNIT off|ERRNO");
        if (auto e = port_arg(1, &p); !e.empty()) return err(e);
        int e = 0;
        if (w[2] != "off" && !errno_from_name(w[2], &e)) return err("unknown errno: " + w[2]);
        p->refuse_errno = e;
        return "ok\n";
    }

    if (cmd == "delay") {
        Port *p;
        uint64_t ms;
        if (w.size() != 3) return err("usage: delay UNIT MS");
        if (auto e = port_arg(1, &p); !e.empty()) return err(e);
        if (!parse_u64(w[2], &ms) || ms > 3600000) return err("bad delay");
        p->delay_ms = int(ms);
        return "ok\n";
    }

    if (cmd == "send") {
        Port *p;
        if (w.size() != 3) return err("usage: send PORT HEX");
        if (auto e = port_arg(1, &p); !e.empty()) return err(e);
        std::vector<uint8_t> f;
        if (!parse_hex_bytes(w[2], &f)) return err("the frame must be an even number of hex digits");
        if (f.size() < 14 || f.size() > QUOR_MAX_FRAME) return err("a frame is 14 to 9018 bytes");
        if (int e = send_frame(p->unit, f.data(), f.size())) return err(errno_name(e));
        return "ok\n";
    }

    if (cmd == "wire" || cmd == "gen") {
        Port *p;
        if (w.size() < 3) return err("usage: " + cmd + " PORT SPEC|off");
        if (auto e = port_arg(1, &p); !e.empty()) return err(e);
        std::string spec;
        for (size_t i = 2; i < w.size(); ++i) spec += (i > 2 ? "," : "") + w[i];
        if (cmd == "gen" && spec != "off") spec = "gen:" + spec;
        std::string e = set_wire(*p, spec);
        if (!e.empty()) return err(e);
        return "ok\n";
    }

    if (cmd == "switch") {
        Port *p;
        if (w.size() != 2 && w.size() != 3) return err("usage: switch PORT [on|off|SETTINGS]");
        if (auto e = port_arg(1, &p); !e.empty()) return err(e);
        if (w.size() == 3) {
            if (std::string e = set_switch(*p, w[2]); !e.empty()) return err(e);
            return "ok\n";
        }
        return switch_status(*p) + "ok\n";
    }

    if (cmd == "txhold") {
        Port *p;
        if (w.size() != 3 || (w[2] != "on" && w[2] != "off")) return err("usage: txhold PORT on|off");
        if (auto e = port_arg(1, &p); !e.empty()) return err(e);
        p->txhold = w[2] == "on";
        kick(*p);
        return "ok\n";
    }

    if (cmd == "fail") {
        Port *p;
        uint32_t code;
        int e = 0;
        if (w.size() != 4) return err("usage: fail UNIT REQUEST ERRNO|off");
        if (auto pe = port_arg(1, &p); !pe.empty()) return err(pe);
        if (!request_from_name(w[2], &code)) return err("unknown request: " + w[2]);
        if (w[3] == "off") {
            p->fail_requests.erase(code);
            return "ok\n";
        }
        if (!errno_from_name(w[3], &e)) return err("unknown errno: " + w[3]);
        p->fail_requests[code] = e;
        return "ok\n";
    }

    if (cmd == "patch") {
        Port *p;
        uint32_t code;
        const char *usage = "usage: patch UNIT REQUEST OFF u8|u16|u32|u64 VALUE, or patch UNIT REQUEST off";
        if (w.size() != 4 && w.size() != 6) return err(usage);
        if (auto pe = port_arg(1, &p); !pe.empty()) return err(pe);
        if (!request_from_name(w[2], &code)) return err("unknown request: " + w[2]);
        if (w.size() == 4) {
            if (w[3] != "off") return err(usage);
            p->answer_patches.erase(code);
            return "ok\n";
        }
        Port::AnswerPatch pt;
        uint64_t off = 0, v = 0;
        static const std::map<std::string, uint32_t> widths = {{"u8", 1}, {"u16", 2}, {"u32", 4}, {"u64", 8}};
        auto wd = widths.find(w[4]);
        if (!parse_u64(w[3], &off) || off > ZAL_SIM_MAX_RECORD || wd == widths.end()) return err(usage);
        // A negative value is written in two's complement (-1: all ones).
        bool neg = !w[5].empty() && w[5][0] == '-';
        if (!parse_u64(neg ? w[5].substr(1) : w[5], &v)) return err("bad value: " + w[5]);
        if (neg) v = ~v + 1;
        pt.off = uint32_t(off);
        pt.len = wd->second;
        memcpy(pt.bytes, &v, pt.len); // little-endian host: the low bytes
        p->answer_patches.emplace(code, pt);
        return "ok\n";
    }

    if (cmd == "rx-params") {
        Port *p;
        if (w.size() != 2) return err("usage: rx-params PORT");
        if (auto e = port_arg(1, &p); !e.empty()) return err(e);
        if (!p->have_rx_params) return err("the port has not been given one");
        const quor_kpt_rx_params_t &r = p->last_rx_params;
        char b[512];
        snprintf(b, sizeof b,
                 "endpoint %d type %u num_rings %u open_flags %#x rss_flags %#x aggr_portmask %#x "
                 "app_id %d map_flags %#x preamble %llu data_ring %llu desc_ring %llu\n",
                 r.set_endpt.endpoint, r.set_endpt.endpt_type, r.num_rings, r.open_flags,
                 r.rss_flags, r.aggr_portmask, r.app_id, r.rx_map_flags,
                 (unsigned long long)r.rx_data_preamble_size,
                 (unsigned long long)r.rx_data_ring_size, (unsigned long long)r.rx_desc_ring_size);
        return std::string(b) + "ok\n";
    }

    return err("unknown command: " + cmd + " (try help)");
}

}  // namespace quorsim
