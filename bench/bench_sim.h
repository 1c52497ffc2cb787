// bench_sim.h - the in-process simulator that a benchmark program runs its
// rings against: two ports on a private device directory, the library
// initialised, shared by every benchmark of the program.
#pragma once

#include <stdio.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include "kpt.h"
#include "quorsim.h"

namespace kptbench {

struct Sim {
    Sim()
    {
        char tmpl[] = "/tmp/kpt-bench-XXXXXX";
        dir = mkdtemp(tmpl);
        setenv("ZAL_DEV_DIR", dir.c_str(), 1);
        quorsim::Options o;
        o.dir = dir;
        o.ports = 2; // a group needs two
        sim = std::make_unique<quorsim::Simulator>(o);
        std::string err;
        if (sim->start(&err) != 0 || kpt_init(KPT_API_VERSION) != 0) {
            fprintf(stderr, "cannot start the simulator: %s\n", err.c_str());
            exit(1);
        }
    }
    ~Sim()
    {
        sim->stop();
        std::error_code ec;
        std::filesystem::remove_all(dir, ec);
    }
    std::string dir;
    std::unique_ptr<quorsim::Simulator> sim;
};

inline Sim &sim()
{
    static Sim s;
    return s;
}

}  // namespace kptbench
