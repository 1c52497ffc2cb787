// quor_intr_coal against a quor_simd child: reading, setting, naming boards,
// refusing bad input without touching the driver, and driver failures.
#include "test_support.h"

namespace {

using kpttest::BinPath;
using kpttest::RunProgram;

class IntrCoalTool : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(simd_.ready()) << simd_.ready_line(); }
    kpttest::RunResult Tool(std::vector<std::string> args)
    {
        args.insert(args.begin(), BinPath("quor_intr_coal"));
        return RunProgram(args, {"ZAL_DEV_DIR=" + dir_.path()}, 20000);
    }
    std::string Status()
    {
        return RunProgram({BinPath("quor_simctl"), "--dir", dir_.path(), "status"}).out;
    }
    kpttest::TempDir dir_;
    kpttest::SimdProcess simd_{dir_.path(), {"--ports", "3"}};
};

TEST_F(IntrCoalTool, ReadsSetsAndNamesBoards)
{
    auto r = Tool({});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Interrupt coalescing delay is 20 for board 02:51:53:02:00:00\n");

    r = Tool({"-b", "2", "-s", "75"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Interrupt coalescing delay is 75 for board 02:51:53:02:00:02\n");
    EXPECT_NE(Status().find("port 2: link up, timesource 0, board-type 3, intr-coal 75,"),
              std::string::npos);

    // A fresh run reads it back, by a MAC tail in any case.
    r = Tool({"-b", "2:00:02"});
    EXPECT_EQ(r.out, "Interrupt coalescing delay is 75 for board 02:51:53:02:00:02\n") << r.err;
    r = Tool({"-b", "02:51:53:02:00:01"});
    EXPECT_EQ(r.out, "Interrupt coalescing delay is 20 for board 02:51:53:02:00:01\n") << r.err;

    r = Tool({"-b", "02:51:53:02:00:09"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Couldn't find board 02:51:53:02:00:09\n");
    r = Tool({"-b", "3"});
    EXPECT_EQ(r.out, "Couldn't find board 3\n");
}

TEST_F(IntrCoalTool, BadArgumentsChangeNothing)
{
    const std::string usage = "-b - Board mac or number [0]\n-s - Set interrupt coalescing delay\n"
                              "-h - Help\n";
    for (std::vector<std::string> args :
         {std::vector<std::string>{"-s", "abc"}, {"-s", ""}, {"-s", "-5"}, {"-s", "4294967296"},
          {"-s", "12x"}, {"-s", "5", "extra"}, {"-h"}, {"-q"}, {"-s"}}) {
        auto r = Tool(args);
        EXPECT_EQ(r.status, 1) << args[0] << " " << (args.size() > 1 ? args[1] : "");
        EXPECT_TRUE(r.out.empty()) << r.out;
        EXPECT_EQ(r.err.rfind("Usage: ", 0), 0u) << r.err;
        EXPECT_NE(r.err.find(usage), std::string::npos) << r.err;
    }
    EXPECT_NE(Status().find("port 0: link up, timesource 0, board-type 3, intr-coal 20,"),
              std::string::npos);
}

TEST_F(IntrCoalTool, DriverFailuresAreReported)
{
    auto fail = [&](const std::string &req) {
        RunProgram({BinPath("quor_simctl"), "--dir", dir_.path(), "fail", "0", req, "5"});
    };
    fail("set_intr_coal");
    auto r = Tool({"-s", "9"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot set interrupt coalescing: Input/output error\n");
    fail("get_intr_coal");
    r = Tool({});
    EXPECT_EQ(r.err, "Cannot get interrupt coalescing: Input/output error\n");
    RunProgram({BinPath("quor_simctl"), "--dir", dir_.path(), "fail", "0", "get_intr_coal", "off"});
    fail("get_nic_id");
    r = Tool({"-b", "0"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.err, "Cannot get driver nicid: Input/output error\n");

    RunProgram({BinPath("quor_simctl"), "--dir", dir_.path(), "refuse", "1", "16"});
    // A refused unit takes no number: board 1 is now unit 2, and board 2 is gone.
    r = Tool({"-b", "1"});
    EXPECT_EQ(r.out, "Interrupt coalescing delay is 20 for board 02:51:53:02:00:02\n") << r.err;
    r = Tool({"-b", "2"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Couldn't find board 2\n");
    r = RunProgram({BinPath("quor_intr_coal")}, {"ZAL_DEV_DIR=/nonexistent"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Couldn't find board 0\n");
}

} // namespace
