// kpt_dump against a quor_simd child: files read back by the packet capture
// library, ports merged in time order, RSS rings, filters, rotation, the
// statistics after a signal, replay of its files through the pcap: wire,
// and the iface: wire over a veth pair.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <linux/if_packet.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <thread>

#include "dump_files.h"
#include "frame_text.h"
#include "kpt.h"
#include "test_support.h"

namespace {

using namespace kpttest;

// A program running in the background, its output in files.
class Child {
public:
    Child(const std::vector<std::string> &argv, const std::string &dir,
          const std::vector<std::string> &env)
        : out_(dir + ".out"), err_(dir + ".err")
    {
        pid_ = fork();
        if (pid_ == 0) {
            for (const auto &e : env) putenv(strdup(e.c_str()));
            int o = open(out_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int e = open(err_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(o, 1);
            dup2(e, 2);
            std::vector<char *> a;
            for (const auto &s : argv) a.push_back(const_cast<char *>(s.c_str()));
            a.push_back(nullptr);
            execv(a[0], a.data());
            _exit(127);
        }
    }
    ~Child()
    {
        if (pid_ > 0 && !done_) {
            kill(pid_, SIGKILL);
            Wait(5000);
        }
    }
    bool Exited()
    {
        if (done_) return true;
        int st;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) Finish(st);
        return done_;
    }
    // Exit status (128 + signal), or -1 after timeout_ms.
    int Wait(int timeout_ms = 20000)
    {
        for (int t = 0; t < timeout_ms && !Exited(); t += 2) usleep(2000);
        return done_ ? status_ : -1;
    }
    void Signal(int sig) { kill(pid_, sig); }
    std::string Out() const { return ReadFile(out_); }
    std::string Err() const { return ReadFile(err_); }

private:
    void Finish(int st)
    {
        done_ = true;
        status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    }
    std::string out_, err_;
    pid_t pid_ = -1;
    bool done_ = false;
    int status_ = -1;
};

// "N frames captured, M dropped by the adapter, K by the ring, F filtered out"
struct Summary {
    uint64_t frames = 0, adapter = 0, ring = 0, filtered = 0;
    bool found = false;
};
Summary ParseSummary(const std::string &err)
{
    Summary s;
    size_t at = err.find(" frames captured, ");
    if (at == std::string::npos) return s;
    size_t line = err.rfind('\n', at);
    line = line == std::string::npos ? 0 : line + 1;
    unsigned long long f, a, r, x;
    int end = 0;
    if (sscanf(err.c_str() + line,
               "%llu frames captured, %llu dropped by the adapter, %llu by the ring, %llu "
               "filtered out\n%n",
               &f, &a, &r, &x, &end) == 4 && end > 0) {
        s = {f, a, r, x, true};
    }
    return s;
}

uint64_t WallNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_REALTIME, &ts);
    return uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
}

// Frame number seq: its length and bytes follow from seq; bytes 14..17 hold it.
Bytes TestFrame(uint32_t seq, uint32_t len = 0)
{
    if (!len) len = 60 + (seq * 37) % 1455;
    Bytes f(len);
    const uint8_t hdr[14] = {0x02, 0x51, 0x53, 0x02, 0, 0, 0x0a, 0, 0, 0, 0, 1, 0x88, 0xb5};
    memcpy(f.data(), hdr, 14);
    memcpy(f.data() + 14, &seq, 4);
    for (uint32_t i = 18; i < len; ++i) f[i] = uint8_t(seq * 7 + i);
    return f;
}
uint32_t SeqOf(const Bytes &f)
{
    uint32_t s = 0;
    if (f.size() >= 18) memcpy(&s, f.data() + 14, 4);
    return s;
}

// A program of the host's packet analyser suite on PATH; empty when absent.
std::string HostTool(const std::string &name)
{
    const char *path = getenv("PATH");
    std::string p = path ? path : "/usr/bin:/bin";
    size_t i = 0;
    while (i <= p.size()) {
        size_t j = p.find(':', i);
        if (j == std::string::npos) j = p.size();
        std::string f = p.substr(i, j - i) + "/" + name;
        if (access(f.c_str(), X_OK) == 0) return f;
        i = j + 1;
    }
    return "";
}

// "Field = value" or "Field: value" lines of capinfos about a file, in order;
// empty when capinfos is absent.
std::vector<std::pair<std::string, std::string>> Capinfos(const std::string &file)
{
    std::vector<std::pair<std::string, std::string>> out;
    std::string tool = HostTool("capinfos");
    if (tool.empty()) return out;
    RunResult r = RunProgram({tool, file});
    size_t i = 0;
    while (i < r.out.size()) {
        size_t j = r.out.find('\n', i);
        if (j == std::string::npos) j = r.out.size();
        std::string l = r.out.substr(i, j - i);
        size_t sep = l.find(" = ");
        size_t w = sep == std::string::npos ? l.find(": ") : sep;
        if (w != std::string::npos) {
            size_t a = l.find_first_not_of(' '), v = l.find_first_not_of(' ', w + (sep == w ? 3 : 2));
            out.emplace_back(l.substr(a, w - a), v == std::string::npos ? "" : l.substr(v));
        }
        i = j + 1;
    }
    return out;
}

// Frames in a file as tshark reads it, or -1 when tshark is absent; a file
// it cannot read whole fails the calling test.
long TsharkFrames(const std::string &file)
{
    std::string tool = HostTool("tshark");
    if (tool.empty()) return -1;
    RunResult r = RunProgram({tool, "-n", "-r", file, "-T", "fields", "-e", "frame.number"});
    EXPECT_EQ(r.status, 0) << file << ": " << r.err;
    return long(std::count(r.out.begin(), r.out.end(), '\n'));
}

class KptDump : public ::testing::Test {
protected:
    // Rings of 32 MiB: plenty for these rates, and quick to set up.
    std::vector<std::string> Env() const
    {
        return {"ZAL_DEV_DIR=" + dev_.path(), "KPT_DATARING_SIZE=33554432"};
    }
    std::unique_ptr<Child> Dump(std::vector<std::string> args, const std::string &env = "")
    {
        args.insert(args.begin(), BinPath("kpt_dump"));
        auto e = Env();
        if (!env.empty()) e.push_back(env);
        return std::make_unique<Child>(args, work_.path() + "/" + std::to_string(++children_), e);
    }
    // Runs kpt_dump to its end.
    RunResult DumpRun(std::vector<std::string> args, int timeout_ms = 20000,
                      std::vector<std::string> more_env = {})
    {
        args.insert(args.begin(), BinPath("kpt_dump"));
        auto e = Env();
        e.insert(e.end(), more_env.begin(), more_env.end());
        return RunProgram(args, e, timeout_ms);
    }
    std::string F(const std::string &name) const { return work_.file(name); }
    // Until a port of the simulator delivers to a capture, then `more` ms.
    void WaitCapturing(int more_ms)
    {
        for (int i = 0; i < 500; ++i) {
            auto st = RunProgram({BinPath("quor_simctl"), "--dir", dev_.path(), "status"});
            if (st.out.find("started yes") != std::string::npos) break;
            usleep(10000);
        }
        usleep(useconds_t(more_ms) * 1000);
    }

    // A simulator whose port 1 is cabled to port 0, and an injection handle
    // of port 1 in inj_: frames sent there are captured on port 0.
    void StartCabled()
    {
        simd_ = std::make_unique<SimdProcess>(dev_.path(),
                                              std::vector<std::string>{"--ports", "2", "--wire", "1=peer:0"});
        ASSERT_TRUE(simd_->ready());
        setenv("ZAL_DEV_DIR", dev_.path().c_str(), 1);
        ASSERT_EQ(kpt_init(KPT_API_VERSION), 0);
        ASSERT_EQ(kpt_inject_open(1, 0, &inj_), 0);
    }
    void TearDown() override
    {
        if (inj_) kpt_inject_close(inj_);
    }

    TempDir dev_, work_;
    int children_ = 0;
    std::unique_ptr<SimdProcess> simd_;
    kpt_inject_t inj_ = nullptr;
};

// Frames injected on port 1 cross a cable to port 0 and are captured: every
// one comes back from the file byte for byte, with nanosecond times inside
// the run; snapped copies keep the frame's length; the file replayed through
// the pcap: wire of another simulator gives the same frames again.
TEST_F(KptDump, FilesReadBackExactlyAndReplayThroughThePcapWire)
{
    ASSERT_NO_FATAL_FAILURE(StartCabled());
    kpt_inject_t inj = inj_;

    uint64_t t0 = WallNs();
    auto full = Dump({"-p", "0", "-q", "-c", "40", "-w", F("full.pcapng")});
    // A second application on the same port sees the same frames.
    auto snap = Dump({"-p", "0", "-q", "-c", "40", "-s", "100", "-w", F("snap.pcapng")}, "KPT_APP_ID=1");
    // Sent until both have their frames: the first few may come before they
    // capture, so the files hold a run of consecutive frames.
    for (uint32_t seq = 1; seq < 5000 && !(full->Exited() && snap->Exited()); ++seq) {
        Bytes f = TestFrame(seq);
        ASSERT_EQ(kpt_inject_send(inj, 1000, 0, f.data(), uint32_t(f.size())), 0);
        usleep(1000);
    }
    ASSERT_EQ(full->Wait(), 0) << full->Err();
    ASSERT_EQ(snap->Wait(), 0) << snap->Err();
    uint64_t t1 = WallNs();
    kpt_inject_close(inj_);
    inj_ = nullptr;
    Summary s = ParseSummary(full->Err());
    EXPECT_TRUE(s.found && s.frames == 40 && s.filtered == 0) << full->Err();

    std::string err;
    int link = -1;
    auto pk = ReadWithLibpcap(F("full.pcapng"), &err, &link);
    ASSERT_EQ(err, "");
    ASSERT_EQ(pk.size(), 40u);
    EXPECT_EQ(link, DLT_EN10MB);
    uint32_t first = SeqOf(pk[0].data);
    bool sub_us = false;
    for (size_t i = 0; i < pk.size(); ++i) {
        Bytes want = TestFrame(first + uint32_t(i));
        EXPECT_EQ(pk[i].data, want) << i;
        EXPECT_EQ(pk[i].len, want.size());
        EXPECT_GE(pk[i].ts_ns, t0);
        EXPECT_LE(pk[i].ts_ns, t1);
        if (i) {
            EXPECT_GE(pk[i].ts_ns, pk[i - 1].ts_ns);
        }
        sub_us |= pk[i].ts_ns % 1000 != 0;
    }
    EXPECT_TRUE(sub_us) << "timestamps lost their nanoseconds";

    auto sp = ReadWithLibpcap(F("snap.pcapng"), &err);
    ASSERT_EQ(sp.size(), 40u) << err;
    for (auto &p : sp) {
        Bytes want = TestFrame(SeqOf(p.data));
        EXPECT_EQ(p.len, want.size());
        want.resize(std::min<size_t>(want.size(), 100));
        EXPECT_EQ(p.data, want);
    }

    // What libpcap does not show: the section, the interface, the statistics.
    NgFile ng = ReadBlocks(F("full.pcapng"));
    EXPECT_EQ(ng.error, "");
    EXPECT_EQ(ng.appl.rfind("kpt_dump ", 0), 0u) << ng.appl;
    EXPECT_EQ(ng.comment.rfind("host ", 0), 0u) << ng.comment;
    ASSERT_EQ(ng.ifaces.size(), 1u);
    EXPECT_EQ(ng.ifaces[0].tsresol, 9);
    EXPECT_EQ(ng.ifaces[0].snaplen, 262144u);
    EXPECT_FALSE(ng.ifaces[0].name.empty());
    ASSERT_EQ(ng.stats.size(), 1u);
    EXPECT_EQ(ng.stats[0].opt[6], 40u); // accepted by the filter
    EXPECT_EQ(ng.stats[0].opt[8], 40u); // delivered
    // The port's counters: with two applications on it, frames that came
    // before both started count as drops, so only the lower bound holds.
    EXPECT_GE(ng.stats[0].opt[4], 40u);
    EXPECT_LE(ng.stats[0].opt[2], pk.front().ts_ns);
    EXPECT_GE(ng.stats[0].opt[3], pk.back().ts_ns);

    // Replayed as fast as it goes into a second simulator.
    TempDir dev2;
    SimdProcess simd2(dev2.path(), {"--ports", "1", "--wire", "0=pcap:" + F("full.pcapng") + ",speed=max"});
    ASSERT_TRUE(simd2.ready());
    auto again = RunProgram({BinPath("kpt_dump"), "-p", "0", "-q", "-c", "40", "-w", F("again.pcapng")},
                            {"ZAL_DEV_DIR=" + dev2.path(), "KPT_DATARING_SIZE=33554432"});
    ASSERT_EQ(again.status, 0) << again.err;
    auto pk2 = ReadWithLibpcap(F("again.pcapng"), &err);
    ASSERT_EQ(pk2.size(), pk.size()) << err;
    for (size_t i = 0; i < pk.size(); ++i) EXPECT_EQ(pk2[i].data, pk[i].data) << i;
}

// Two ports through one ring group come out in time order, each frame with
// its own interface; a port's RSS rings get a file each and share the count.
TEST_F(KptDump, PortsMergeInTimeOrderAndRingsWriteAFileEach)
{
    SimdProcess simd(dev_.path(), {"--ports", "2", "--wire", "0=gen:pps=4000,len=60,flows=64",
                                   "--wire", "1=gen:pps=4000,len=100"});
    ASSERT_TRUE(simd.ready());
    auto r = DumpRun({"-p", "0-1", "-q", "-c", "300", "-w", F("two.pcapng")});
    ASSERT_EQ(r.status, 0) << r.err;
    NgFile ng = ReadBlocks(F("two.pcapng"));
    EXPECT_EQ(ng.error, "");
    ASSERT_EQ(ng.ifaces.size(), 2u);
    EXPECT_NE(ng.ifaces[0].name, ng.ifaces[1].name);
    ASSERT_EQ(ng.packets.size(), 300u);
    size_t per[2] = {0, 0};
    for (size_t i = 0; i < ng.packets.size(); ++i) {
        const auto &p = ng.packets[i];
        ASSERT_LT(p.ifid, 2u);
        per[p.ifid]++;
        EXPECT_EQ(p.orig, p.ifid == 0 ? 60u : 100u) << i;
        if (i) {
            EXPECT_GE(p.ts, ng.packets[i - 1].ts) << i;
        }
    }
    EXPECT_GT(per[0], 100u);
    EXPECT_GT(per[1], 100u);
    ASSERT_EQ(ng.stats.size(), 2u);
    EXPECT_EQ(ng.stats[0].opt[8] + ng.stats[1].opt[8], 300u);

    // RSS rings, stopped by a signal: each drains its share, and between
    // them they hold every frame the port received.
    auto d = Dump({"-p", "0", "-n", "2", "-q", "-w", F("rss")});
    WaitCapturing(300);
    d->Signal(SIGTERM);
    ASSERT_EQ(d->Wait(), 0) << d->Err();
    Summary s = ParseSummary(d->Err());
    ASSERT_TRUE(s.found) << d->Err();
    std::string err;
    auto a = ReadWithLibpcap(F("rss.ring0"), &err);
    auto b = ReadWithLibpcap(F("rss.ring1"), &err);
    EXPECT_EQ(err, "");
    EXPECT_EQ(a.size() + b.size(), s.frames);
    EXPECT_GT(a.size(), 0u);
    EXPECT_GT(b.size(), 0u);
    for (const char *name : {"rss.ring0", "rss.ring1"}) {
        NgFile f = ReadBlocks(F(name));
        ASSERT_EQ(f.stats.size(), 1u) << name;
        EXPECT_EQ(f.stats[0].opt[4], s.frames) << name; // the port's, whole
        EXPECT_EQ(f.stats[0].opt[8], f.packets.size()) << name;
    }
}

// A filter that takes every frame, one that takes none (stopped by SIGINT:
// complete file, statistics, summary), and expressions that do not compile
// (a command-line mistake: status 1).
TEST_F(KptDump, FiltersTakeAllOrNoneAndBadOnesExit1)
{
    SimdProcess simd(dev_.path(), {"--ports", "1", "--wire", "0=gen:pps=5000,len=80"});
    ASSERT_TRUE(simd.ready());
    auto all = DumpRun({"-p", "0", "-q", "-c", "50", "-w", F("all.pcapng"), "udp", "and", "dst", "port", "9"});
    ASSERT_EQ(all.status, 0) << all.err;
    Summary s = ParseSummary(all.err);
    EXPECT_TRUE(s.found && s.frames == 50 && s.filtered == 0) << all.err;

    // Without -w, a line per frame.
    auto lines = DumpRun({"-p", "0", "-c", "3"});
    ASSERT_EQ(lines.status, 0) << lines.err;
    // "HH:MM:SS.nnnnnnnnn " and the rest, three times.
    const std::string rest = " port 0 len 80 02:51:53:ff:00:01 > 02:51:53:02:00:00, IPv4 "
                             "10.42.42.11.1234 > 10.42.42.10.9 UDP\n";
    ASSERT_EQ(lines.out.size(), 3 * (18 + rest.size())) << lines.out;
    for (size_t k = 0; k < 3; ++k) {
        std::string l = lines.out.substr(k * (18 + rest.size()), 18 + rest.size());
        EXPECT_EQ(l.substr(18), rest);
        EXPECT_EQ(l[2], ':');
        EXPECT_EQ(l[5], ':');
        EXPECT_EQ(l[8], '.');
        EXPECT_EQ(l.find_first_not_of("0123456789", 9), 18u) << l;
    }
    // To standard output: the same pcapng.
    auto piped = DumpRun({"-p", "0", "-q", "-c", "5", "-w", "-", "udp"});
    ASSERT_EQ(piped.status, 0) << piped.err;
    {
        FILE *f = fopen(F("piped.pcapng").c_str(), "wb");
        fwrite(piped.out.data(), 1, piped.out.size(), f);
        fclose(f);
        std::string err;
        EXPECT_EQ(ReadWithLibpcap(F("piped.pcapng"), &err).size(), 5u) << err;
    }

    auto none = Dump({"-p", "0", "-q", "-w", F("none.pcapng"), "tcp"});
    WaitCapturing(200);
    none->Signal(SIGINT);
    ASSERT_EQ(none->Wait(), 0) << none->Err();
    s = ParseSummary(none->Err());
    EXPECT_TRUE(s.found && s.frames == 0 && s.filtered > 100) << none->Err();
    std::string err;
    EXPECT_EQ(ReadWithLibpcap(F("none.pcapng"), &err).size(), 0u);
    EXPECT_EQ(err, "");
    NgFile ng = ReadBlocks(F("none.pcapng"));
    ASSERT_EQ(ng.stats.size(), 1u);
    EXPECT_EQ(ng.stats[0].opt[6], 0u);
    EXPECT_EQ(ng.stats[0].opt[8], 0u);
    EXPECT_GE(ng.stats[0].opt[4], s.filtered);

    for (std::vector<std::string> bad : {std::vector<std::string>{"udp", "and"},
                                         std::vector<std::string>{"port", "99999"},
                                         std::vector<std::string>{"ip", "proto", "nonsense"}}) {
        bad.insert(bad.begin(), {"-p", "0", "-w", F("bad.pcapng")});
        auto r = DumpRun(bad);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.err.rfind("kpt_dump: bad filter expression: ", 0), 0u) << r.err;
    }
}

// Stopped in full flow by an interrupt, a hang-up (the terminal or session
// closed) or a quit: the file is complete, its statistics and the summary
// agree with the frames in it, and frames reaching the port after the stop
// are not counted as dropped.
TEST_F(KptDump, StopSignalsCloseTheFileWithItsStatistics)
{
    // A rate every build keeps up with, instrumented ones included.
    const std::string gen = "0=gen:pps=" + std::to_string(50000 / kpttest::kSlowdown) + ",len=60-1514";
    SimdProcess simd(dev_.path(), {"--ports", "1", "--wire", gen});
    ASSERT_TRUE(simd.ready());
    for (int sig : {SIGINT, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(strsignal(sig));
        std::string name = F("stop" + std::to_string(sig) + ".pcapng");
        auto d = Dump({"-p", "0", "-q", "-w", name});
        WaitCapturing(300);
        d->Signal(sig);
        ASSERT_EQ(d->Wait(), 0) << d->Err();
        Summary s = ParseSummary(d->Err());
        ASSERT_TRUE(s.found) << d->Err();
        EXPECT_GT(s.frames, 1000u);
        // Nothing is lost at this rate; what reaches the port before the
        // start or after the stop is not the capture's.
        EXPECT_EQ(s.adapter + s.ring + s.filtered, 0u) << d->Err();
        NgFile ng = ReadBlocks(name);
        EXPECT_EQ(ng.error, "");
        ASSERT_EQ(ng.packets.size(), s.frames);
        ASSERT_EQ(ng.stats.size(), 1u);
        auto &o = ng.stats[0].opt;
        EXPECT_EQ(o[4], s.frames); // received
        EXPECT_EQ(o[5], 0u);
        EXPECT_EQ(o[7], 0u);
        EXPECT_EQ(o[6], s.frames);
        EXPECT_EQ(o[8], s.frames);
        EXPECT_LT(o[2], o[3]);
        std::string err;
        EXPECT_EQ(ReadWithLibpcap(name, &err).size(), s.frames) << err;
        long t = TsharkFrames(name);
        if (t >= 0) {
            EXPECT_EQ(uint64_t(t), s.frames);
        }
    }
}

// Rotation by size: FILE, FILE1, ... each complete, within the limit and
// counting its own frames; with -W the names come round again, so the
// newest files are all there.  Rotation by time follows the host's clock
// alone, with the adapter's three seconds behind it.
TEST_F(KptDump, RotationKeepsCompleteFilesWithinTheLimits)
{
    SimdProcess simd(dev_.path(), {"--ports", "1", "--clock-offset", "-3000000000", "--wire",
                                   "0=gen:pps=40000,len=1000"});
    ASSERT_TRUE(simd.ready());
    struct stat st;
    // One file's frames, checked whole; their number.
    auto complete = [&](const std::string &name, uint64_t max_bytes) -> NgFile {
        SCOPED_TRACE(name);
        NgFile ng;
        if (stat(name.c_str(), &st) != 0) {
            ADD_FAILURE() << "missing";
            return ng;
        }
        if (max_bytes) {
            EXPECT_LE(uint64_t(st.st_size), max_bytes);
        }
        std::string err;
        size_t n = ReadWithLibpcap(name, &err).size();
        EXPECT_EQ(err, "");
        ng = ReadBlocks(name);
        EXPECT_EQ(ng.error, "");
        EXPECT_EQ(ng.packets.size(), n);
        EXPECT_EQ(ng.stats.size(), 1u);
        if (!ng.stats.empty()) {
            EXPECT_EQ(ng.stats[0].opt[6], n); // accepted by the filter
            EXPECT_EQ(ng.stats[0].opt[8], n); // delivered
        }
        long t = TsharkFrames(name);
        if (t >= 0) {
            EXPECT_EQ(size_t(t), n);
        }
        return ng;
    };

    auto plain = DumpRun({"-p", "0", "-q", "-c", "2500", "-C", "1", "-w", F("plain")});
    ASSERT_EQ(plain.status, 0) << plain.err;
    size_t total = 0;
    for (const char *n : {"plain", "plain1", "plain2"}) total += complete(F(n), 1000000).packets.size();
    EXPECT_EQ(total, 2500u);
    EXPECT_NE(stat(F("plain3").c_str(), &st), 0);
    EXPECT_NE(stat(F("plain0").c_str(), &st), 0);

    // 4200 blocks of 1032 bytes make five files: the fourth and fifth take
    // the first two names again.  With --prealloc the set is made before the
    // capture (hidden spares take their names in turn) and files coming round
    // again are rewritten in place: the same files, cut to their content,
    // here over the larger files of the run before.
    for (bool pre : {false, true}) {
        SCOPED_TRACE(pre ? "--prealloc" : "plain");
        const std::string base = "rot";
        std::vector<std::string> args = {"-p", "0", "-q", "-c", "4200", "-C", "1", "-W", "3", "-w", F(base)};
        if (pre) args.push_back("--prealloc");
        auto r = DumpRun(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_NE(stat(F(base).c_str(), &st), 0);
        EXPECT_NE(stat(F(base + "3").c_str(), &st), 0);
        NgFile f2 = complete(F(base + "2"), 1000000), f3 = complete(F(base + "0"), 1000000),
               f4 = complete(F(base + "1"), 1000000);
        ASSERT_FALSE(f2.packets.empty() || f3.packets.empty() || f4.packets.empty());
        EXPECT_GT(f2.packets.size(), 900u);
        EXPECT_EQ(f2.packets.size(), f3.packets.size());
        // In order across the files (frames of one descriptor share its time).
        EXPECT_LE(f2.packets.back().ts, f3.packets.front().ts);
        EXPECT_LE(f3.packets.back().ts, f4.packets.front().ts);
        EXPECT_EQ(4200 - f4.packets.size(), 4 * f2.packets.size());
    }
    // A run that ends in the set's first round: the files it reached, and no
    // spare left behind.
    auto r = DumpRun({"-p", "0", "-c", "1500", "-C", "1", "-W", "3", "-w", F("short"), "--prealloc"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("kpt_dump: preallocating 3 files of 1 MB"), std::string::npos) << r.err;
    EXPECT_EQ(complete(F("short0"), 1000000).packets.size() + complete(F("short1"), 1000000).packets.size(),
              1500u);
    for (const char *n : {"short2", ".short1.prealloc", ".short2.prealloc"})
        EXPECT_NE(stat(F(n).c_str(), &st), 0) << n;
    // The set is there whole from the start (the capture still in its first
    // file), and a stop leaves only the files it reached.
    auto big = Dump({"-p", "0", "-q", "-C", "50", "-W", "3", "--prealloc", "-w", F("big")});
    WaitCapturing(200);
    for (const char *n : {"big0", ".big1.prealloc", ".big2.prealloc"}) {
        ASSERT_EQ(stat(F(n).c_str(), &st), 0) << n;
        EXPECT_EQ(st.st_size, 50000000) << n;
    }
    big->Signal(SIGINT);
    ASSERT_EQ(big->Wait(), 0) << big->Err();
    EXPECT_FALSE(complete(F("big0"), 0).packets.empty());
    for (const char *n : {"big1", ".big1.prealloc", ".big2.prealloc"})
        EXPECT_NE(stat(F(n).c_str(), &st), 0) << n;

    // By time: the run of about three periods gives three or four files,
    // each spanning its period (and the batch that may be waiting in the
    // ring when it opens), not the four seconds the adapter's clock would
    // give the first one.
    auto t = Dump({"-p", "0", "-q", "-G", "1", "-w", F("time")});
    WaitCapturing(2600);
    t->Signal(SIGTERM);
    ASSERT_EQ(t->Wait(), 0) << t->Err();
    int files = 0;
    for (int k = 0; stat(F(k ? "time" + std::to_string(k) : "time").c_str(), &st) == 0; ++k) {
        files++;
        NgFile ng = complete(F(k ? "time" + std::to_string(k) : "time"), 0);
        ASSERT_FALSE(ng.packets.empty()) << k;
        EXPECT_LT(ng.packets.back().ts - ng.packets.front().ts, 1500000000u) << k;
    }
    EXPECT_GE(files, 3);
    EXPECT_LE(files, 5);
}

// With -G the file of a period opens with its first frame: a quiet period
// leaves no empty file behind, -W stops the run after that many files, and
// the names take the time the file opened.
TEST_F(KptDump, TimeRotationOpensAFileOnlyForFrames)
{
    ASSERT_NO_FATAL_FAILURE(StartCabled());
    kpt_inject_t inj = inj_;
    TempDir out;
    auto d = Dump({"-p", "0", "-q", "-G", "1", "-W", "2", "-w", out.path() + "/g_%s"});
    WaitCapturing(100);
    auto burst = [&](uint32_t first) {
        uint64_t t = WallNs();
        for (uint32_t seq = first; seq < first + 5; ++seq) {
            Bytes f = TestFrame(seq);
            EXPECT_EQ(kpt_inject_send(inj, 1000, 0, f.data(), uint32_t(f.size())), 0);
        }
        return t / 1000000000u;
    };
    uint64_t s1 = burst(1);
    usleep(2500000); // two and a half quiet periods
    uint64_t s2 = burst(100);
    // The second file's period ends a second later, and with it the run.
    ASSERT_EQ(d->Wait(15000), 0) << d->Err();
    kpt_inject_close(inj_);
    inj_ = nullptr;
    std::vector<std::string> names;
    if (DIR *dir = opendir(out.path().c_str())) {
        while (struct dirent *e = readdir(dir))
            if (e->d_name[0] != '.') names.push_back(e->d_name);
        closedir(dir);
    }
    std::sort(names.begin(), names.end());
    ASSERT_EQ(names.size(), 2u);
    uint32_t firsts[2] = {1, 100};
    uint64_t secs[2] = {s1, s2};
    for (size_t k = 0; k < 2; ++k) {
        SCOPED_TRACE(names[k]);
        uint64_t sec = strtoull(names[k].c_str() + 2, nullptr, 10);
        EXPECT_GE(sec + 2, secs[k]);
        EXPECT_LE(sec, secs[k] + 2);
        std::string err;
        auto pk = ReadWithLibpcap(out.path() + "/" + names[k], &err);
        EXPECT_EQ(err, "");
        ASSERT_EQ(pk.size(), 5u);
        for (uint32_t i = 0; i < 5; ++i) EXPECT_EQ(SeqOf(pk[i].data), firsts[k] + i);
    }
}

// The one-line summaries, over frames held in buffers of their exact length
// (the sanitizers catch a read past one): headers that do not fit are named
// truncated, never read.
TEST(KptDumpText, FrameLinesDecodeWhatFitsOnly)
{
    auto line = [](const Bytes &f) {
        std::unique_ptr<uint8_t[]> exact(new uint8_t[f.size()]);
        memcpy(exact.get(), f.data(), f.size());
        char out[512];
        size_t n = kptdump::frame_line(out, sizeof out, 3723000000123ull, 2, exact.get(),
                                       uint32_t(f.size()));
        std::string s(out, n);
        EXPECT_EQ(s.back(), '\n');
        return s.substr(s.find(" port "));
    };
    Bytes eth = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
    auto frame = [&](std::initializer_list<uint8_t> rest) {
        Bytes f = eth;
        f.insert(f.end(), rest);
        return f;
    };
    // VLAN 5, IPv4 UDP 10.0.0.1:1234 -> 10.0.0.2:9
    Bytes v4 = frame({0x81, 0, 0, 5, 0x08, 0, 0x45, 0, 0, 28, 0, 0, 0, 0, 64, 17, 0, 0, 10, 0, 0, 1,
                      10, 0, 0, 2, 0x04, 0xd2, 0, 9, 0, 8, 0, 0});
    EXPECT_EQ(line(v4), " port 2 len 46 06:07:08:09:0a:0b > 00:01:02:03:04:05, vlan 5, IPv4 "
                        "10.0.0.1.1234 > 10.0.0.2.9 UDP\n");
    // The ports cut off: addresses and protocol only.
    EXPECT_NE(line(Bytes(v4.begin(), v4.end() - 6)).find("IPv4 10.0.0.1 > 10.0.0.2 UDP"), std::string::npos);
    // A header length beyond the frame.
    Bytes bad = v4;
    bad[18] = 0x4f;
    EXPECT_NE(line(bad).find("IPv4 truncated"), std::string::npos);
    // A later fragment carries no ports.
    Bytes frag = v4;
    frag[24] = 0x01;
    EXPECT_NE(line(frag).find("10.0.0.1 > 10.0.0.2 UDP"), std::string::npos);
    Bytes v6 = frame({0x86, 0xdd, 0x60, 0, 0, 0, 0, 20, 6, 64});
    v6.resize(v6.size() + 32, 0);
    v6[22 + 15] = 1;
    v6[38 + 15] = 2;
    for (uint8_t b : {0, 80, 1, 187}) v6.push_back(b);
    EXPECT_NE(line(v6).find("IPv6 ::1.80 > ::2.443 TCP"), std::string::npos) << line(v6);
    EXPECT_NE(line(Bytes(v6.begin(), v6.begin() + 40)).find("IPv6 truncated"), std::string::npos);
    EXPECT_NE(line(frame({0x08, 0x06})).find(", ARP"), std::string::npos);
    EXPECT_NE(line(frame({0x88, 0xcc})).find(", ethertype 0x88cc"), std::string::npos);
    EXPECT_NE(line(frame({0x81, 0})).find("vlan truncated"), std::string::npos);
    EXPECT_NE(line(Bytes(13, 0)).find("len 13 truncated"), std::string::npos);
}

// Mistakes print the usage and exit 1; a start that fails (a file that
// cannot be created) prints its error alone and exits 1.
TEST_F(KptDump, CommandLineMistakesAndFailedStartsExit1)
{
    for (std::vector<std::string> a : {std::vector<std::string>{},
                                       {"-p", "32"},
                                       {"-p", "3-1"},
                                       {"-p", "0", "-i", "quor0"},
                                       {"-p", "0", "-C", "1"},
                                       {"-p", "0", "-W", "2", "-w", "x"},
                                       {"-p", "0", "-C", "1", "-w", "x", "-F", "f", "udp"},
                                       {"-p", "0", "-w", "x", "--prealloc"},
                                       {"-p", "0,1", "-n", "2", "-w", "x"},
                                       {"-p", "0", "-s", "262145"},
                                       {"-p", "0", "-B", "0"},
                                       {"-i", "quor0@1", "-n", "2"},
                                       {"-p", "0", "--no-such-option"}}) {
        auto r = DumpRun(a);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_NE(r.err.find("Usage: kpt_dump "), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    SimdProcess simd(dev_.path(), {"--ports", "2"});
    ASSERT_TRUE(simd.ready());
    // A set whose second file cannot be made.
    ASSERT_EQ(mkdir(F(".blocked1.prealloc").c_str(), 0755), 0);
    for (std::vector<std::string> a : {std::vector<std::string>{"-p", "0", "-w", "/nonexistent/x"},
                                       {"-i", "quor0", "-n", "2", "-C", "1", "-w", "/nonexistent/x"},
                                       {"-i", "nosuch0"},
                                       {"-i", "quor0+7"},
                                       {"-i", "quor0@32"},
                                       {"-i", "quor0@3"}, // the port has one ring
                                       {"-p", "0", "-F", F("no-such-filter-file")},
                                       // A preallocated set larger than the file system.
                                       {"-p", "0", "-q", "-C", "1000000", "-W", "1000", "--prealloc", "-w",
                                        F("huge")},
                                       {"-p", "0", "-q", "-C", "1", "-W", "3", "--prealloc", "-w", F("blocked")}}) {
        auto r = DumpRun(a);
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_EQ(r.err.find("frames captured"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.rfind("kpt_dump: ", 0), 0u) << r.err;
    }
    // What the failed set made is gone again.
    struct stat st;
    EXPECT_NE(stat(F("blocked0").c_str(), &st), 0);
}

// The forms other capture programs' users type: ports by name and merged,
// the list of ports, snap length 0, the ring's size, help and version on
// standard output, options after the filter expression, and a filter read
// from a file and recorded with each interface.
TEST_F(KptDump, NamedPortsListsHelpAndFilterFiles)
{
    SimdProcess simd(dev_.path(), {"--ports", "2", "--wire", "0=gen:pps=4000,len=80",
                                   "--wire", "1=gen:pps=4000,len=100"});
    ASSERT_TRUE(simd.ready());
    auto ctl = [&](const std::string &state) {
        return RunProgram({BinPath("quor_simctl"), "--dir", dev_.path(), "link", "1", state}).status;
    };
    ASSERT_EQ(ctl("down"), 0);
    auto list = DumpRun({"-D"});
    ASSERT_EQ(ctl("up"), 0);
    ASSERT_EQ(list.status, 0) << list.err;
    EXPECT_EQ(list.out, "1.quor0 (port 0, link up, 10000 Mbit/s, 02:51:53:02:00:00)\n"
                        "2.quor1 (port 1, link down, 10000 Mbit/s, 02:51:53:02:00:01)\n");

    for (const char *h : {"-h", "--help"}) {
        auto r = DumpRun({h});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.rfind("Usage: kpt_dump ", 0), 0u) << r.out;
        EXPECT_EQ(r.err, "");
    }
    auto v = DumpRun({"--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out.rfind("kpt_dump 3.", 0), 0u) << v.out;

    // Merged by name, the whole frame kept, options after the expression.
    // (Half a second of both generators: one port's start may lag the
    // other's on a loaded machine.)
    auto m = DumpRun({"-i", "quor0+1", "udp", "-s", "0", "-c", "4000", "-B", "8192", "-w", F("m"), "-q"});
    ASSERT_EQ(m.status, 0) << m.err;
    NgFile ng = ReadBlocks(F("m"));
    ASSERT_EQ(ng.ifaces.size(), 2u);
    size_t per[2] = {0, 0};
    for (auto &p : ng.packets) per[p.ifid & 1]++;
    EXPECT_EQ(per[0] + per[1], 4000u);
    EXPECT_GT(per[0], 100u);
    EXPECT_GT(per[1], 100u);
    for (auto &i : ng.ifaces) {
        EXPECT_EQ(i.snaplen, 262144u);
        EXPECT_EQ(i.filter, "udp");
    }

    // One ring of a port: ring 1 of two that both take every frame.  -B
    // wins over the environment's ring size (the library reports which it
    // took), and a size below 1 MiB is the smallest ring, not that many MiB.
    for (const char *kib : {"8192", "512"}) {
        SCOPED_TRACE(kib);
        auto r = DumpRun({"-i", "quor1@1", "-c", "10", "-B", kib, "-w", F("r1"), "-q"}, 20000,
                         {"KPT_NUM_RINGS=2", "KPT_FLAGS=0x200", "KPT_DEBUG_MASK=2"});
        ASSERT_EQ(r.status, 0) << r.err;
        size_t at = r.err.find(" KPT_DATARING_SIZE = ");
        ASSERT_NE(at, std::string::npos) << r.err;
        std::string line = r.err.substr(r.err.rfind('\n', at) + 1);
        line = line.substr(0, line.find('\n'));
        EXPECT_NE(line.find("(userset)"), std::string::npos) << line;
        EXPECT_NE(line.find(kib[0] == '8' ? "(0x800000)" : "(0x200000)"), std::string::npos) << line;
        ng = ReadBlocks(F("r1"));
        ASSERT_EQ(ng.ifaces.size(), 1u);
        EXPECT_EQ(ng.ifaces[0].name, "quor1");
        EXPECT_EQ(ng.packets.size(), 10u);
    }

    // A filter file: lines joined, comments dropped; capinfos shows it.
    {
        FILE *f = fopen(F("filter").c_str(), "w");
        fputs("# only the second port's frames\nudp and\n  len = 100\n", f);
        fclose(f);
    }
    auto ff = DumpRun({"-i", "quor1", "-c", "20", "-F", F("filter"), "-w", F("ff"), "-q"});
    ASSERT_EQ(ff.status, 0) << ff.err;
    ng = ReadBlocks(F("ff"));
    ASSERT_EQ(ng.ifaces.size(), 1u);
    EXPECT_EQ(ng.ifaces[0].name, "quor1");
    EXPECT_EQ(ng.ifaces[0].filter, "udp and len = 100");
    EXPECT_EQ(ng.packets.size(), 20u);
    auto info = Capinfos(F("ff"));
    if (info.empty()) GTEST_SKIP() << "capinfos is not installed";
    auto field = [&](const std::string &k) {
        for (auto &kv : info)
            if (kv.first == k) return kv.second;
        return std::string("(none)");
    };
    EXPECT_EQ(field("Filter string"), "udp and len = 100");
    EXPECT_EQ(field("Number of packets"), "20");
    EXPECT_EQ(field("Name"), "quor1");
}

// Data reaches the file while traffic is slow: the header at once, frames
// within about a second, every frame at once with -U; the same through a
// pipe.
TEST_F(KptDump, SlowTrafficReachesTheFileWithinASecond)
{
    SimdProcess simd(dev_.path(), {"--ports", "1", "--wire", "0=gen:pps=20,len=80"});
    ASSERT_TRUE(simd.ready());
    auto file = Dump({"-p", "0", "-q", "-w", F("slow")});
    auto unbuf = Dump({"-p", "0", "-q", "-U", "-w", F("unbuf")}, "KPT_APP_ID=1");
    auto pipe = Dump({"-p", "0", "-q", "-w", "-"}, "KPT_APP_ID=2");
    WaitCapturing(0);
    // Read while they run: whole blocks, some frames among them.
    auto frames_in = [](const std::string &name) -> long {
        NgFile ng = ReadBlocks(name);
        if (ng.ifaces.empty() || !ng.error.empty()) return -1;
        return long(ng.packets.size());
    };
    const std::string piped = work_.path() + "/" + std::to_string(children_) + ".out";
    for (const std::string &name : {F("slow"), F("unbuf"), piped}) {
        SCOPED_TRACE(name);
        long n = -1;
        for (int i = 0; i < 100 && n < 3; ++i) {
            usleep(100000);
            n = frames_in(name);
        }
        EXPECT_GE(n, 3);
    }
    EXPECT_FALSE(file->Exited() || unbuf->Exited() || pipe->Exited());
    for (auto *d : {file.get(), unbuf.get(), pipe.get()}) {
        d->Signal(SIGINT);
        EXPECT_EQ(d->Wait(), 0) << d->Err();
    }
    std::string err;
    EXPECT_GE(ReadWithLibpcap(F("slow"), &err).size(), 3u) << err;
    long t = TsharkFrames(piped);
    if (t >= 0) {
        EXPECT_GE(t, 3);
    }
}

// A veth pair in a private namespace: what arrives on one end is captured
// through the simulated port with the kernel's arrival time; what the port
// sends comes out of the other end.
TEST_F(KptDump, IfaceWireCapturesAVethPair)
{
    std::string why;
    if (!EnterPrivateNetns(&why)) GTEST_SKIP() << why;
    auto ip = [](std::vector<std::string> a) {
        a.insert(a.begin(), "/sbin/ip");
        return RunProgram(a).status;
    };
    if (ip({"link", "add", "kva", "type", "veth", "peer", "name", "kvb"}) != 0)
        GTEST_SKIP() << "no veth support";
    ASSERT_EQ(ip({"link", "set", "kva", "up"}), 0);
    ASSERT_EQ(ip({"link", "set", "kvb", "up"}), 0);

    // Our own view of kva, with the kernel's times, to compare against.
    int watch = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(0x88b5));
    ASSERT_GE(watch, 0);
    int on = 1;
    setsockopt(watch, SOL_SOCKET, SO_TIMESTAMPNS, &on, sizeof on);
    struct sockaddr_ll a = {};
    a.sll_family = AF_PACKET;
    a.sll_protocol = htons(0x88b5);
    a.sll_ifindex = int(if_nametoindex("kva"));
    ASSERT_EQ(bind(watch, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    int tx = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
    struct sockaddr_ll b = {};
    b.sll_family = AF_PACKET;
    b.sll_protocol = htons(ETH_P_ALL);
    b.sll_ifindex = int(if_nametoindex("kvb"));
    ASSERT_EQ(bind(tx, reinterpret_cast<sockaddr *>(&b), sizeof b), 0);

    SimdProcess bad(work_.path(), {"--ports", "1", "--wire", "0=iface:nosuch0"});
    EXPECT_FALSE(bad.ready());
    // With a TAP per port the port is listed with its name and address.
    SimdProcess simd(dev_.path(), {"--ports", "1", "--netdev", "--wire", "0=iface:kva"});
    ASSERT_TRUE(simd.ready());
    auto d = Dump({"-p", "0", "-q", "-c", "5", "-w", F("veth.pcapng"), "ether", "proto", "0x88b5"});
    std::map<uint32_t, uint64_t> kernel_ts;
    char buf[2048], ctl[256];
    auto watch_all = [&] {
    for (;;) {
        struct iovec iov = {buf, sizeof buf};
        struct msghdr mh = {};
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        mh.msg_control = ctl;
        mh.msg_controllen = sizeof ctl;
        if (recvmsg(watch, &mh, MSG_DONTWAIT) < 18) break;
        for (cmsghdr *c = CMSG_FIRSTHDR(&mh); c; c = CMSG_NXTHDR(&mh, c))
            if (c->cmsg_level == SOL_SOCKET && c->cmsg_type == SCM_TIMESTAMPNS) {
                struct timespec ts;
                memcpy(&ts, CMSG_DATA(c), sizeof ts);
                kernel_ts[SeqOf(Bytes(buf, buf + 18))] = uint64_t(ts.tv_sec) * 1000000000u + uint64_t(ts.tv_nsec);
            }
    }
    };
    for (uint32_t seq = 1; seq < 2000 && !d->Exited(); ++seq) {
        Bytes f = TestFrame(seq, 60 + seq % 200);
        ASSERT_EQ(send(tx, f.data(), f.size(), 0), ssize_t(f.size()));
        usleep(3000);
        watch_all();
    }
    ASSERT_EQ(d->Wait(), 0) << d->Err();
    watch_all();
    std::string err;
    auto pk = ReadWithLibpcap(F("veth.pcapng"), &err);
    ASSERT_EQ(pk.size(), 5u) << err;
    for (auto &p : pk) {
        uint32_t seq = SeqOf(p.data);
        EXPECT_EQ(p.data, TestFrame(seq, 60 + seq % 200));
        ASSERT_TRUE(kernel_ts.count(seq)) << seq;
        // The adapter's clock counts 6.4 ns ticks.
        EXPECT_NEAR(double(p.ts_ns), double(kernel_ts[seq]), 100000.0) << seq;
    }
    NgFile ng = ReadBlocks(F("veth.pcapng"));
    ASSERT_EQ(ng.ifaces.size(), 1u);
    EXPECT_EQ(ng.ifaces[0].name, "quor0");
    EXPECT_EQ(ng.ifaces[0].mac, (Bytes{0x02, 0x51, 0x53, 0x02, 0x00, 0x00}));

    // The other way: injected on the port, out of kvb.
    setenv("ZAL_DEV_DIR", dev_.path().c_str(), 1);
    ASSERT_EQ(kpt_init(KPT_API_VERSION), 0);
    kpt_inject_t inj;
    ASSERT_EQ(kpt_inject_open(0, 0, &inj), 0);
    Bytes out = TestFrame(777, 300);
    ASSERT_EQ(kpt_inject_send(inj, 1000, 0, out.data(), uint32_t(out.size())), 0);
    bool seen = false;
    for (int i = 0; i < 200 && !seen; ++i) {
        ssize_t n = recv(tx, buf, sizeof buf, MSG_DONTWAIT);
        if (n == ssize_t(out.size()) && Bytes(buf, buf + n) == out) seen = true;
        if (n < 0) usleep(5000);
    }
    EXPECT_TRUE(seen);
    kpt_inject_close(inj);
    close(watch);
    close(tx);
}

}  // namespace
