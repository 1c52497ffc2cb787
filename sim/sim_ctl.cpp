// sim_ctl.cpp - the control commands of the simulator (control socket,
// quor_simctl and Simulator::command all come here, in the server thread or
// before it starts).
#include <cstdio>

#include "sim_internal.h"

namespace quorsim {

namespace {

const char kHelp[] =
    "commands:\n"
    "  status                       one line per port\n"
    "  link PORT up|down            set the link state of a port\n"
    "  timesource PORT CODE         set the time-source code (0-6) of a port\n"
    "  board-type UNIT TYPE         set the board type a unit reports\n"
    "  refuse UNIT off|ERRNO        refuse new connections to a unit\n"
    "  delay UNIT MS                answer a unit's requests MS ms late\n";

std::string err(const std::string &why) { return "error: " + why + "\n"; }

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
            char b[256];
            snprintf(b, sizeof b,
                     "port %d: link %s, timesource %u, board-type %u, intr-coal %u, "
                     "connections %d\n",
                     p->unit, p->link_up ? "up" : "down", p->timesource.load(),
                     p->board_type.load(), p->intr_coal.load(), p->connections.load());
            out += b;
        }
        return out + "ok\n";
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

    return err("unknown command: " + cmd + " (try help)");
}

}  // namespace quorsim
