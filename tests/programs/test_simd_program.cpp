// quor_simd and quor_simctl as programs: command lines, the ready line,
// shutdown on signals, and the control client.
#include <signal.h>
#include <sys/stat.h>

#include "test_support.h"

namespace {

using kpttest::BinPath;
using kpttest::RunProgram;

bool Exists(const std::string &p)
{
    struct stat st;
    return stat(p.c_str(), &st) == 0;
}

TEST(SimdProgram, ServesUntilTerminatedThenCleansUp)
{
    kpttest::TempDir dir;
    kpttest::SimdProcess simd(dir.path(), {"--ports", "3"});
    ASSERT_TRUE(simd.ready()) << simd.ready_line();
    EXPECT_EQ(simd.ready_line(), "quor_simd ready: 3 ports in " + dir.path());
    for (int u = 0; u < 3; ++u) EXPECT_TRUE(Exists(dir.file("quorCp" + std::to_string(u))));
    EXPECT_FALSE(Exists(dir.file("quorCp3")));

    auto st = RunProgram({BinPath("quor_simctl"), "--dir", dir.path(), "status"});
    EXPECT_EQ(st.status, 0) << st.err;
    EXPECT_EQ(std::count(st.out.begin(), st.out.end(), '\n'), 3) << st.out;
    EXPECT_EQ(st.out.rfind("port 0: link up", 0), 0u) << st.out;

    auto ln = RunProgram({BinPath("quor_simctl"), "--dir", dir.path(), "link", "2", "down"});
    EXPECT_EQ(ln.status, 0) << ln.err;
    st = RunProgram({BinPath("quor_simctl"), "status"}, {"ZAL_DEV_DIR=" + dir.path()});
    EXPECT_NE(st.out.find("port 2: link down"), std::string::npos) << st.out;

    auto bad = RunProgram({BinPath("quor_simctl"), "--dir", dir.path(), "link", "9", "up"});
    EXPECT_EQ(bad.status, 1);
    EXPECT_NE(bad.err.find("no such port"), std::string::npos) << bad.err;

    EXPECT_EQ(simd.Stop(), 0);
    EXPECT_FALSE(Exists(dir.file("quorCp0")));
    EXPECT_FALSE(Exists(dir.file("quorsim.ctl")));
}

TEST(SimdProgram, SigintAlsoEndsIt)
{
    kpttest::TempDir dir;
    kpttest::SimdProcess simd(dir.path(), {"--letter", "D", "--ports", "1"});
    ASSERT_TRUE(simd.ready());
    EXPECT_TRUE(Exists(dir.file("quorDp0")));
    kill(simd.pid(), SIGINT);
    EXPECT_EQ(simd.Stop(), 0);
    EXPECT_FALSE(Exists(dir.file("quorDp0")));
}

TEST(SimdProgram, BadCommandLinesGiveUsageAndStatus2)
{
    kpttest::TempDir dir;
    for (std::vector<std::string> args :
         {std::vector<std::string>{"--ports", "0"}, {"--frobnicate"}, {"--dir"}, {"--letter", "7"},
          {"--switch", "0=period=99999"}, {"--switch", "0=on,ppm=1"}, {"--bridge", "127.0.0"},
          {"--bridge", "127.0.0.1,new"}, {"--board", "0=variant=kv8"}}) {
        std::vector<std::string> argv = {BinPath("quor_simd"), "--dir", dir.path()};
        argv.insert(argv.end(), args.begin(), args.end());
        auto r = RunProgram(argv);
        EXPECT_EQ(r.status, 2) << args[0];
        EXPECT_NE(r.err.find("Usage: quor_simd"), std::string::npos) << r.err;
        EXPECT_TRUE(r.out.empty());
    }
    auto h = RunProgram({BinPath("quor_simd"), "--help"});
    EXPECT_EQ(h.status, 0);
    EXPECT_NE(h.out.find("--ports"), std::string::npos);
}

// A device directory that is not there yet is made, parents and all, as
// the README's first run does it; one that cannot be made is a one-line
// error without a ready line.
TEST(SimdProgram, MissingDirectoryIsMade)
{
    kpttest::TempDir dir;
    const std::string deep = dir.file("a/b/quor");
    {
        kpttest::SimdProcess simd(deep, {"--ports", "2"});
        ASSERT_TRUE(simd.ready()) << simd.ready_line();
        EXPECT_TRUE(Exists(deep + "/quorCp1"));
        auto st = RunProgram({BinPath("quor_simctl"), "--dir", deep, "status"});
        EXPECT_EQ(st.status, 0) << st.err;
        EXPECT_EQ(simd.Stop(), 0);
    }

    FILE *f = fopen(dir.file("plain").c_str(), "w");
    ASSERT_NE(f, nullptr);
    fclose(f);
    for (const std::string &bad : {dir.file("plain"), dir.file("plain/sub\nx")}) {
        auto r = RunProgram({BinPath("quor_simd"), "--dir", bad}, {}, 10000);
        EXPECT_EQ(r.status, 1) << bad;
        EXPECT_EQ(r.err.rfind("quor_simd:", 0), 0u) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
        EXPECT_TRUE(r.out.empty()) << "no ready line";
    }
}

TEST(SimctlProgram, NoSimulatorIsReported)
{
    kpttest::TempDir dir;
    auto r = RunProgram({BinPath("quor_simctl"), "--dir", dir.path(), "status"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot reach the simulator"), std::string::npos) << r.err;
    auto u = RunProgram({BinPath("quor_simctl")});
    EXPECT_EQ(u.status, 2);
    EXPECT_NE(u.err.find("Usage: quor_simctl"), std::string::npos);
}

}  // namespace
