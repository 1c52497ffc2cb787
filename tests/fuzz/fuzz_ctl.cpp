// fuzz_ctl.cpp - arbitrary control commands against a live simulator.
//
// One simulator with two units runs in the process; each input is a list of
// lines, each run through Simulator::command as the control socket runs it
// (in the server thread).  After the run, every setting a command of the
// input may have changed is set back, so that runs do not depend on each
// other.  Capture files are looked up in a scratch directory (lines with a
// '/' are not run), and an "iface:" wire is tried only with names that are no
// host interface, so no file outside it is opened and no interface touched.
//
// Checks, besides memory errors: every reply is whole lines, and either ends
// with "ok" or is exactly one "error: " line.
#include <net/if.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "quorsim.h"

namespace {

quorsim::Simulator *g_sim;
std::string g_dir;

bool safe(const std::string &line)
{
    if (line.find('/') != std::string::npos) return false;
    for (size_t at = line.find("iface:"); at != std::string::npos; at = line.find("iface:", at + 1)) {
        size_t end = line.find_first_of(", \t", at + 6);
        std::string name = line.substr(at + 6, end == std::string::npos ? std::string::npos : end - at - 6);
        if (!name.empty() && name.size() < IFNAMSIZ && if_nametoindex(name.c_str()) != 0) return false;
    }
    return true;
}

void check_reply(const std::string &r)
{
    if (r.empty() || r.back() != '\n') __builtin_trap();
    if (r.compare(0, 7, "error: ") == 0) {
        if (r.find('\n') != r.size() - 1) __builtin_trap();
        return;
    }
    if (r.size() < 3 || r.compare(r.size() - 3, 3, "ok\n") != 0) __builtin_trap();
    if (r.size() > 3 && r[r.size() - 4] != '\n') __builtin_trap();
}

std::vector<std::string> words_of(const std::string &line)
{
    std::vector<std::string> w;
    size_t i = 0;
    while (i < line.size()) {
        size_t j = line.find_first_of(" \t", i);
        if (j == std::string::npos) j = line.size();
        if (j > i) w.push_back(line.substr(i, j - i));
        i = j + 1;
    }
    return w;
}

// What puts back the settings a command may have changed.
void undo_lines(const std::string &line, std::set<std::string> *undo)
{
    const std::vector<std::string> w = words_of(line);
    if (w.empty()) return;
    const std::string &c = w[0];
    for (const char *u : {"0", "1"}) {
        const std::string U = u;
        if (c == "link") undo->insert("link " + U + " up");
        if (c == "p1-link") undo->insert("p1-link " + U + " up");
        if (c == "vscap") undo->insert("vscap " + U + " 2");
        if (c == "timesource") undo->insert("timesource " + U + " 0");
        if (c == "board-type") undo->insert("board-type " + U + " 3");
        if (c == "refuse") undo->insert("refuse " + U + " off");
        if (c == "delay") undo->insert("delay " + U + " 0");
        if (c == "wire" || c == "gen") undo->insert("wire " + U + " off");
        if (c == "switch") undo->insert("switch " + U + " off");
        if (c == "txhold") undo->insert("txhold " + U + " off");
    }
    if (c == "board-count") undo->insert("board-count auto");
    if ((c == "fail" || c == "patch") && w.size() >= 3) undo->insert(c + " " + w[1] + " " + w[2] + " off");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    char tmpl[] = "/tmp/fuzz_ctl.XXXXXX";
    if (!mkdtemp(tmpl) || chdir(tmpl) != 0) abort();
    g_dir = tmpl;
    // A capture file for "wire N pcap:a.pcap".
    FILE *a = fopen("a.pcap", "wb");
    const uint32_t gh[6] = {0xa1b2c3d4, 0x00040002, 0, 0, 65535, 1};
    fwrite(gh, 4, 6, a);
    const uint32_t rh[4] = {0, 0, 60, 60};
    fwrite(rh, 4, 4, a);
    const uint8_t f[60] = {1, 2, 3};
    fwrite(f, 1, sizeof f, a);
    fclose(a);
    quorsim::Options o;
    o.dir = g_dir;
    o.ports = 2;
    g_sim = new quorsim::Simulator(o);
    std::string err;
    if (g_sim->start(&err) != 0) abort();
    atexit([] { g_sim->stop(); });
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size > 4096) return 0;
    std::string in(reinterpret_cast<const char *>(data), size);
    std::set<std::string> undo;
    size_t i = 0;
    for (int n = 0; n < 16 && i <= in.size(); ++n) {
        size_t j = in.find('\n', i);
        if (j == std::string::npos) j = in.size();
        const std::string line = in.substr(i, j - i);
        i = j + 1;
        if (!safe(line)) continue;
        check_reply(g_sim->command(line));
        undo_lines(line, &undo);
    }
    for (const std::string &u : undo) g_sim->command(u);
    return 0;
}
