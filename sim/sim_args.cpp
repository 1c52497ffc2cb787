// sim_args.cpp - the command line of quor_simd.
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "sim_internal.h"
#include "sim_wire_impl.h"

namespace quorsim {

const char *usage_text()
{
    return "Usage: quor_simd [--dir DIR] [--ports N] [--letter L] [options]\n"
           "  --dir DIR              device directory (default: $ZAL_DEV_DIR or /dev)\n"
           "  --ports N              simulated ports, 1 to 32 (default 2)\n"
           "  --letter L             device letter, A to Z (default C)\n"
           "  --driver-api HEX       interface version the driver reports (default 0x400)\n"
           "  --driver-version STR   driver version text (default: the library's)\n"
           "  --driver-build STR     driver build text (default: the library's)\n"
           "  --board-type N         board type of every unit (default 3)\n"
           "  --endpoints N          endpoints per board (default 48)\n"
           "  --wire PORT=SPEC       what arrives on a port (repeatable):\n"
           "                           gen:pps=N|gbps=X|rate=line,len=MIN-MAX[:seq],count=N,...\n"
           "                           pcap:FILE[,speed=max][,loop=N]\n"
           "                           peer:N[,pause=off]  a cable to port N\n"
           "                           iface:NAME  a host interface (needs root)\n"
           "  --switch PORT=SETTINGS a timestamping switch in front of a port (repeatable):\n"
           "                           on | period=MS,offset=NS,ppm=X,ticks=N,skew=on|off,\n"
           "                           ptp=on|off,mode=append|overwrite|disabled|testing,\n"
           "                           miss=N,bad=N,id=N,swport=N,kfdst=A.B.C.D\n"
           "  --clock mask|window    tick conversion the rings use (default mask)\n"
           "  --clock-ppm X          adapter oscillator error in ppm (default 0)\n"
           "  --clock-start TICKS    adapter tick count at start (default 0)\n"
           "  --clock-offset NS      ring timestamps read NS ns ahead of the host clock\n"
           "                         (negative: behind; default 0)\n"
           "  --rss shared|hw        rings of a port share one queue (default), or get\n"
           "                         their own queues filled by the adapter's hash\n"
           "  --max-ring-mib N       largest data ring of a ring, MiB (default 1024)\n"
           "  --board U=SETTINGS     PCI side of unit U's board (repeatable):\n"
           "                           id=VID:DID,rev=N,bar2=off,eeprom=byte,variant=kv7|kv7b,\n"
           "                           plug=xfp|sfpp|qsfp,pc=CODE,fwxfp=off,module=FILE|none\n"
           "  --bridge ADDR[,old]    JTAG bridge on ADDR:1975 and ADDR:1971 (old: 1971 only)\n"
           "  --netdev               one TAP interface per port (needs root)\n"
           "  --netdev-prefix P      TAP names are P<port> (default quor)\n"
           "  --help                 show this text\n";
}

int parse_args(int argc, char **argv, Options *o, std::string *err)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") return 1;
        if (a.rfind("--", 0) != 0) {
            *err = "unexpected argument: " + printable(a);
            return 2;
        }
        std::string name = a, val;
        bool has_val = false;
        if (auto eq = a.find('='); eq != std::string::npos) {
            name = a.substr(0, eq);
            val = a.substr(eq + 1);
            has_val = true;
        }
        auto need = [&]() -> bool {
            if (has_val) return true;
            if (i + 1 >= argc) {
                *err = "option " + printable(name) + " needs a value";
                return false;
            }
            val = argv[++i];
            return true;
        };
        uint64_t n;
        if (name == "--dir") {
            if (!need()) return 2;
            if (val.empty()) {
                *err = "--dir needs a directory";
                return 2;
            }
            o->dir = val;
        } else if (name == "--ports") {
            if (!need()) return 2;
            if (!parse_u64(val, &n) || n < 1 || n > 32) {
                *err = "--ports must be 1 to 32";
                return 2;
            }
            o->ports = int(n);
        } else if (name == "--letter") {
            if (!need()) return 2;
            if (val.size() != 1 || val[0] < 'A' || val[0] > 'Z') {
                *err = "--letter must be one of A to Z";
                return 2;
            }
            o->letter = val[0];
        } else if (name == "--driver-api") {
            if (!need()) return 2;
            std::string v = val.rfind("0x", 0) == 0 || val.rfind("0X", 0) == 0 ? val : "0x" + val;
            if (!parse_u64(v, &n) || n > 0xffffffffull) {
                *err = "--driver-api must be a hexadecimal number";
                return 2;
            }
            o->driver_api = uint32_t(n);
        } else if (name == "--driver-version") {
            if (!need()) return 2;
            if (val.size() >= QUOR_VERSION_STR_LEN) {
                *err = "--driver-version is too long";
                return 2;
            }
            o->driver_version = val;
        } else if (name == "--driver-build") {
            if (!need()) return 2;
            if (val.size() >= QUOR_BUILD_STR_LEN) {
                *err = "--driver-build is too long";
                return 2;
            }
            o->driver_build = val;
        } else if (name == "--board-type") {
            if (!need()) return 2;
            if (!parse_u64(val, &n) || n > 0xffffffffull) {
                *err = "--board-type must be a number";
                return 2;
            }
            o->board_type = uint32_t(n);
        } else if (name == "--endpoints") {
            if (!need()) return 2;
            if (!parse_u64(val, &n) || n > 1024) {
                *err = "--endpoints must be 0 to 1024";
                return 2;
            }
            o->max_endpoints = uint32_t(n);
        } else if (name == "--wire") {
            if (!need()) return 2;
            auto eq = val.find('=');
            if (eq == std::string::npos || eq == 0 || !parse_u64(val.substr(0, eq), &n) ||
                val.find(':', eq) == std::string::npos) {
                *err = "--wire takes PORT=KIND:SETTINGS";
                return 2;
            }
            o->wires.push_back(val);
        } else if (name == "--switch") {
            if (!need()) return 2;
            auto eq = val.find('=');
            SwitchSettings s;
            if (eq == std::string::npos || eq == 0 || !parse_u64(val.substr(0, eq), &n)) {
                *err = "--switch takes PORT=SETTINGS";
                return 2;
            }
            if (std::string e = parse_switch_settings(val.substr(eq + 1), &s); !e.empty()) {
                *err = "--switch " + printable(val) + ": " + e;
                return 2;
            }
            o->switches.push_back(val);
        } else if (name == "--clock") {
            if (!need()) return 2;
            if (val != "mask" && val != "window") {
                *err = "--clock must be mask or window";
                return 2;
            }
            o->clock_window = val == "window";
        } else if (name == "--clock-ppm") {
            if (!need()) return 2;
            char *end = nullptr;
            double d = strtod(val.c_str(), &end);
            if (val.empty() || *end || !(d > -1000 && d < 1000)) {
                *err = "--clock-ppm must be a number between -1000 and 1000";
                return 2;
            }
            o->clock_ppm = d;
        } else if (name == "--clock-start") {
            if (!need()) return 2;
            if (!parse_u64(val, &n)) {
                *err = "--clock-start must be a number";
                return 2;
            }
            o->clock_start = n;
        } else if (name == "--clock-offset") {
            if (!need()) return 2;
            // A plain decimal, optionally signed; a day either way is plenty
            // to make any comparison with the host clock fail.
            char *end = nullptr;
            errno = 0;
            long long v = strtoll(val.c_str(), &end, 10);
            if (val.empty() || *end || errno || v < -86400000000000ll || v > 86400000000000ll) {
                *err = "--clock-offset must be a number of ns within a day";
                return 2;
            }
            o->clock_offset_ns = v;
        } else if (name == "--rss") {
            if (!need()) return 2;
            if (val != "hw" && val != "shared") {
                *err = "--rss must be shared or hw";
                return 2;
            }
            o->rss_hw = val == "hw";
        } else if (name == "--max-ring-mib") {
            if (!need()) return 2;
            if (!parse_u64(val, &n) || n < 2 || n > 65536) {
                *err = "--max-ring-mib must be 2 to 65536";
                return 2;
            }
            o->max_ring_mib = n;
        } else if (name == "--board") {
            if (!need()) return 2;
            std::vector<BoardSpec> probe;
            if (!parse_board_spec(val, 32, &probe, err)) return 2;
            o->boards.push_back(val);
        } else if (name == "--bridge") {
            if (!need()) return 2;
            if (!parse_bridge_spec(val, nullptr, nullptr)) {
                *err = "--bridge takes an IPv4 address, optionally followed by ,old";
                return 2;
            }
            o->bridge = val;
        } else if (name == "--netdev") {
            if (has_val) {
                *err = "--netdev takes no value";
                return 2;
            }
            o->netdev = true;
        } else if (name == "--netdev-prefix") {
            if (!need()) return 2;
            if (val.empty() || val.size() > 12 || val.find_first_of("/ \t:") != std::string::npos) {
                *err = "--netdev-prefix must be 1 to 12 characters without / or blanks";
                return 2;
            }
            o->netdev_prefix = val;
        } else {
            *err = "unknown option: " + printable(name);
            return 2;
        }
    }
    return 0;
}

}  // namespace quorsim
