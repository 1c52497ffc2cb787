// sim_args.cpp - the command line of quor_simd.
#include <cstring>

#include "sim_internal.h"

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
           "  --help                 show this text\n";
}

int parse_args(int argc, char **argv, Options *o, std::string *err)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") return 1;
        if (a.rfind("--", 0) != 0) {
            *err = "unexpected argument: " + a;
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
                *err = "option " + name + " needs a value";
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
        } else {
            *err = "unknown option: " + name;
            return 2;
        }
    }
    return 0;
}

}  // namespace quorsim
