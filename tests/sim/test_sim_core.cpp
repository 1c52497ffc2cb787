// The simulator's device sockets, request validation and control commands,
// exercised with a bare protocol client.
#include <errno.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <thread>

#include "kpt_build.h"
#include "quor_io.h"
#include "raw_client.h"
#include "test_support.h"

using kpttest::RawClient;
using kpttest::RawReply;

namespace {

class SimCore : public kpttest::SimTest {
protected:
    std::string Unit(int u) { return dev_.file("quorCp" + std::to_string(u)); }
    // The 32-bit answer of a query request about a board.
    static uint32_t Query(RawClient &c, uint32_t request, uint32_t board)
    {
        uint32_t v = board;
        EXPECT_EQ(c.Call(request, &v), 0) << std::hex << request;
        return v;
    }
};

bool WaitFor(const std::function<bool()> &f, int ms = 3000)
{
    for (int i = 0; i < ms / 5; ++i) {
        if (f()) return true;
        usleep(5000);
    }
    return f();
}

TEST_F(SimCore, AnswersBoardQueries)
{
    opts_.ports = 3;
    StartSim();
    RawClient c(Unit(1));
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(c.hello().unit, 1u);
    EXPECT_EQ(sim_->connections(1), 1);

    quor_get_version_t v = {};
    ASSERT_EQ(c.Call(QUOR_GET_VERSION, &v), 0);
    EXPECT_EQ(v.driver_api_magic, 0x400u);
    EXPECT_STREQ(v.build_str, KPT_LIB_BUILD_STR);
    EXPECT_STREQ(v.version_str, KPT_LIB_VERSION_STR);

    uint32_t n = 0;
    ASSERT_EQ(c.Call(QUOR_GET_BOARD_COUNT, &n), 0);
    EXPECT_EQ(n, 3u);
    ASSERT_EQ(c.Call(QUOR_GET_BOARD_MAX, &n), 0);
    EXPECT_EQ(n, 3u);
    n = 2;
    ASSERT_EQ(c.Call(QUOR_GET_BOARD_TYPE, &n), 0);
    EXPECT_EQ(n, 3u);
    n = 3; // no such board
    EXPECT_EQ(c.Call(QUOR_GET_BOARD_TYPE, &n), EINVAL);

    quor_get_nic_id_t id = {};
    id.board = 2;
    ASSERT_EQ(c.Call(QUOR_GET_NIC_ID, &id), 0);
    EXPECT_EQ(id.nic_id >> 40, 0x02u) << "locally administered";
    EXPECT_EQ(id.nic_id & 0xff, 2u) << "last byte is the unit";
    quor_get_nic_id_t id0 = {};
    ASSERT_EQ(c.Call(QUOR_GET_NIC_ID, &id0), 0);
    EXPECT_NE(id0.nic_id, id.nic_id);

    ASSERT_EQ(c.Call(QUOR_GET_MAX_ENDPOINTS, &n), 0);
    EXPECT_EQ(n, 48u);
}

TEST_F(SimCore, ControlCommandsDriveThePortState)
{
    StartSim();
    RawClient c(Unit(0));
    ASSERT_TRUE(c.ok());
    EXPECT_EQ(Query(c, QUOR_GET_LINK_STATE, 1), 1u);
    Ctl("link 1 down");
    EXPECT_EQ(Query(c, QUOR_GET_LINK_STATE, 1), 0u);

    Ctl("timesource 1 5");
    EXPECT_EQ(Query(c, QUOR_GET_TIMESOURCE, 1), 5u);

    std::string st = Ctl("status");
    EXPECT_NE(st.find("port 0: link up, timesource 0"), std::string::npos) << st;
    EXPECT_NE(st.find("port 1: link down, timesource 5"), std::string::npos) << st;
    EXPECT_NE(st.find("connections 1"), std::string::npos) << st;

    // Bad commands are refused with a reason and change nothing.
    for (const char *bad : {"link 2 up", "link 0 sideways", "timesource 0 x", "refuse 0 EWHAT",
                            "nonsense", "", "status extra"}) {
        std::string r = sim_->command(bad);
        EXPECT_EQ(r.rfind("error: ", 0), 0u) << bad << " -> " << r;
    }
    EXPECT_EQ(Query(c, QUOR_GET_LINK_STATE, 0), 1u);
}

TEST_F(SimCore, InterruptCoalescingIsKeptPerBoard)
{
    StartSim();
    RawClient c(Unit(0));
    ASSERT_TRUE(c.ok());
    quor_intr_coal_t ic = {1, 75};
    ASSERT_EQ(c.Call(QUOR_SET_INTR_COAL, &ic), 0);
    EXPECT_EQ(ic.delay, 75u);
    ic = {1, 0};
    ASSERT_EQ(c.Call(QUOR_GET_INTR_COAL, &ic), 0);
    EXPECT_EQ(ic.delay, 75u);
    ic = {0, 0};
    ASSERT_EQ(c.Call(QUOR_GET_INTR_COAL, &ic), 0);
    EXPECT_EQ(ic.delay, 20u);
    ic = {1, 2000000};
    EXPECT_EQ(c.Call(QUOR_SET_INTR_COAL, &ic), EINVAL);
    ic = {1, 0};
    ASSERT_EQ(c.Call(QUOR_GET_INTR_COAL, &ic), 0);
    EXPECT_EQ(ic.delay, 75u) << "a refused set changes nothing";
}

TEST_F(SimCore, MalformedRequestsAreRefusedAndServingGoesOn)
{
    StartSim();
    RawClient bad(Unit(0)), good(Unit(0));
    ASSERT_TRUE(bad.ok());
    ASSERT_TRUE(good.ok());

    // Wrong record size for the request.
    uint8_t small[3] = {};
    ASSERT_TRUE(bad.Send(7, QUOR_GET_VERSION, small, sizeof small));
    RawReply r = bad.Recv();
    EXPECT_EQ(r.rc, EINVAL);
    EXPECT_EQ(r.seq, 7u);
    EXPECT_TRUE(r.rec.empty()) << "a failed request returns no record";

    // Unknown request code.
    uint32_t w = 0;
    ASSERT_TRUE(bad.Send(8, 0x20004dff, &w, sizeof w));
    EXPECT_EQ(bad.Recv().rc, ENOTTY);
    ASSERT_TRUE(bad.Send(9, 0xdeadbeef, &w, sizeof w));
    EXPECT_EQ(bad.Recv().rc, ENOTTY);

    // A header whose sizes do not match the message.
    zal_sim_req rq = {10, QUOR_GET_BOARD_COUNT, 4000, 0};
    std::vector<uint8_t> m(sizeof rq + 4);
    memcpy(m.data(), &rq, sizeof rq);
    ASSERT_TRUE(bad.SendRaw(m));
    EXPECT_EQ(bad.Recv().rc, EINVAL);
    rq = {11, QUOR_GET_BOARD_COUNT, 4, 0xffffffffu};
    memcpy(m.data(), &rq, sizeof rq);
    ASSERT_TRUE(bad.SendRaw(m));
    EXPECT_EQ(bad.Recv().rc, EINVAL);

    // Too short to be a request: nothing to answer, nothing breaks.
    ASSERT_TRUE(bad.SendRaw({1, 2, 3}));
    EXPECT_EQ(bad.Recv(200).rc, -1);

    // A record where none belongs.
    ASSERT_TRUE(bad.Send(12, QUOR_KPT_START, &w, sizeof w));
    EXPECT_EQ(bad.Recv().rc, EINVAL);

    // Both clients are still served.
    uint32_t n = 0;
    EXPECT_EQ(bad.Call(QUOR_GET_BOARD_COUNT, &n), 0);
    EXPECT_EQ(good.Call(QUOR_GET_BOARD_COUNT, &n), 0);
    EXPECT_EQ(n, 2u);
}

TEST_F(SimCore, KilledClientMidRequestLeavesItServing)
{
    StartSim();
    Ctl("delay 0 300");
    for (int round = 0; round < 3; ++round) {
        pid_t pid = fork();
        if (pid == 0) {
            RawClient c(Unit(0));
            uint32_t n = 0;
            c.Send(1, QUOR_GET_BOARD_COUNT, &n, sizeof n);
            pause(); // killed while the reply is pending
            _exit(0);
        }
        ASSERT_TRUE(WaitFor([&] { return sim_->connections(0) == 1; }));
        usleep(20000);
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        ASSERT_TRUE(WaitFor([&] { return sim_->connections(0) == 0; }));
    }
    usleep(350000); // let the held-back replies fall due
    Ctl("delay 0 0");
    RawClient c(Unit(0));
    ASSERT_TRUE(c.ok());
    uint32_t n = 0;
    EXPECT_EQ(c.Call(QUOR_GET_BOARD_COUNT, &n), 0);
    EXPECT_EQ(n, 2u);
}

TEST_F(SimCore, DelayedUnitDoesNotBlockOthers)
{
    StartSim();
    Ctl("delay 0 1000");
    RawClient slow(Unit(0)), fast(Unit(1));
    ASSERT_TRUE(slow.ok());
    ASSERT_TRUE(fast.ok());
    uint32_t n = 0;
    ASSERT_TRUE(slow.Send(1, QUOR_GET_BOARD_COUNT, &n, sizeof n));
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(fast.Call(QUOR_GET_BOARD_COUNT, &n), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    RawReply r = slow.Recv(3000);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.seq, 1u);
}

TEST_F(SimCore, RefusedUnitFailsTheHello)
{
    StartSim();
    Ctl("refuse 0 EBUSY");
    {
        RawClient c(Unit(0));
        ASSERT_TRUE(c.got_hello());
        EXPECT_EQ(c.hello().error, EBUSY);
        EXPECT_FALSE(c.ok());
        EXPECT_EQ(c.mem_fd(), -1) << "no memory for a refused client";
    }
    EXPECT_EQ(sim_->connections(0), 0);
    Ctl("refuse 0 off");
    RawClient c(Unit(0));
    EXPECT_TRUE(c.ok());
}

TEST_F(SimCore, StopRemovesSocketFiles)
{
    StartSim();
    struct stat st;
    ASSERT_EQ(stat(Unit(0).c_str(), &st), 0);
    EXPECT_TRUE(S_ISSOCK(st.st_mode));
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat(dev_.file("quorsim.ctl").c_str(), &st), 0);
    sim_->stop();
    EXPECT_NE(stat(Unit(0).c_str(), &st), 0);
    EXPECT_NE(stat(dev_.file("quorsim.ctl").c_str(), &st), 0);
}

TEST_F(SimCore, SecondSimulatorOnTheSameDirectoryIsRefused)
{
    StartSim();
    quorsim::Simulator other(opts_);
    std::string err;
    EXPECT_NE(other.start(&err), 0);
    EXPECT_NE(err.find("another simulator"), std::string::npos) << err;
    RawClient c(Unit(0));
    EXPECT_TRUE(c.ok()) << "the first one keeps its sockets";
}

TEST(SimArgs, ParsesOptionsAndRejectsBadOnes)
{
    auto parse = [](std::vector<std::string> args, quorsim::Options *o, std::string *err) {
        std::vector<char *> av;
        static std::string prog = "quor_simd";
        av.push_back(prog.data());
        for (auto &a : args) av.push_back(a.data());
        return quorsim::parse_args(int(av.size()), av.data(), o, err);
    };
    quorsim::Options o;
    std::string err;
    ASSERT_EQ(parse({"--dir", "/x", "--ports=4", "--letter", "D", "--driver-api", "501",
                     "--driver-build", "b"},
                    &o, &err),
              0)
        << err;
    EXPECT_EQ(o.dir, "/x");
    EXPECT_EQ(o.ports, 4);
    EXPECT_EQ(o.letter, 'D');
    EXPECT_EQ(o.driver_api, 0x501u);
    EXPECT_EQ(o.driver_build, "b");
    for (std::vector<std::string> bad :
         {std::vector<std::string>{"--ports", "0"}, {"--ports", "33"}, {"--ports"}, {"--letter", "c"},
          {"--letter", "AB"}, {"--driver-api", "zz"}, {"--bogus"}, {"stray"},
          {"--driver-build", std::string(200, 'x')}}) {
        quorsim::Options o2;
        EXPECT_EQ(parse(bad, &o2, &err), 2) << bad[0];
        EXPECT_FALSE(err.empty());
    }
    EXPECT_EQ(parse({"--help"}, &o, &err), 1);
}

}  // namespace
