// kpt_inj against a quor_simd child: what it sends is captured by this
// process on the far end of a cable and checked frame by frame.
#include <unistd.h>

#include <set>
#include <string>
#include <vector>

#include "program_runner.h"
#include "zal_internal.h"

namespace {

using kpttest::BinPath;
using kpttest::Frame;
using kpttest::RunProgram;

bool Has(const std::string &s, const std::string &part) { return s.find(part) != std::string::npos; }
uint32_t Be16(const Frame &f, size_t at) { return uint32_t(f[at]) << 8 | f[at + 1]; }
uint32_t Be32(const Frame &f, size_t at) { return Be16(f, at) << 16 | Be16(f, at + 2); }

// Port 0 sends, port 1 (cabled to it) is captured here.
class InjTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        simd_ = std::make_unique<kpttest::SimdProcess>(dir_.path(),
                                                       std::vector<std::string>{"--ports", "2", "--wire", "1=peer:0"});
        ASSERT_TRUE(simd_->ready()) << simd_->ready_line();
        setenv("ZAL_DEV_DIR", dir_.path().c_str(), 1);
        rx_ = std::make_unique<kpttest::Receiver>(1, 64u << 20);
        ASSERT_TRUE(rx_->ok());
    }
    kpttest::RunResult Inj(std::vector<std::string> args, int timeout_ms = 30000)
    {
        args.insert(args.begin(), BinPath("kpt_inj"));
        return RunProgram(args, {}, timeout_ms);
    }
    kpttest::TempDir dir_;
    std::unique_ptr<kpttest::SimdProcess> simd_;
    std::unique_ptr<kpttest::Receiver> rx_;
};

TEST_F(InjTest, SequentialLengthsAndPortsFollowTheTemplate)
{
    auto r = Inj({"-n", "12", "-l", "60-64:S", "-S", "100-102:S", "-D", "7-8:S", "-E",
                  "02:00:00:00:00:01-0a:0b:0c:0d:0e:0f", "-F"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto got = rx_->Collect(13, 500);
    ASSERT_EQ(got.size(), 12u);
    const uint8_t ip[20] = {0x45, 0, 0, 0x32, 0, 0, 0x40, 0, 0x40, 0x11, 0xd2, 0x52,
                            10, 42, 42, 11, 10, 42, 42, 10};
    for (size_t i = 0; i < got.size(); ++i) {
        const Frame &f = got[i];
        uint32_t len = 60 + uint32_t(i % 5);
        ASSERT_EQ(f.size(), len) << "frame " << i;
        EXPECT_EQ(Frame(f.begin(), f.begin() + 12),
                  Frame({0x0a, 0x0b, 0x0c, 0x0d, 0x0e, 0x0f, 0x02, 0, 0, 0, 0, 1}));
        EXPECT_EQ(Be16(f, 12), 0x0800u);
        EXPECT_TRUE(std::equal(ip, ip + 20, f.begin() + 14)) << "IPv4 header never changes";
        EXPECT_EQ(Be16(f, 34), 100 + i % 3);
        EXPECT_EQ(Be16(f, 36), 7 + i % 2);
        EXPECT_EQ(Be16(f, 38), len - 34);
        EXPECT_EQ(Be16(f, 42), 0x706bu);
        EXPECT_EQ(Be32(f, 44), len) << "a flag puts the frame length in the length word";
        for (uint32_t w = 0; 48 + 4 * w + 4 <= len; ++w)
            EXPECT_EQ(f[48 + 4 * w] | f[49 + 4 * w] << 8 | f[50 + 4 * w] << 16 | uint32_t(f[51 + 4 * w]) << 24, w);
    }
}

TEST_F(InjTest, LengthWordOnlyWithAFlagAndShortFramesArePadded)
{
    ASSERT_EQ(Inj({"-n", "1"}).status, 0);
    ASSERT_EQ(Inj({"-n", "1", "-H"}).status, 0);
    ASSERT_EQ(Inj({"-n", "2", "-l", "14"}).status, 0);
    auto got = rx_->Collect(5, 500);
    ASSERT_EQ(got.size(), 4u);
    EXPECT_EQ(Be32(got[0], 44), 0x74203030u) << "template bytes without flags";
    EXPECT_EQ(Be16(got[0], 34), 1234u);
    EXPECT_EQ(Be16(got[0], 36), 9u);
    EXPECT_EQ(Be32(got[1], 44), 60u);
    for (int i : {2, 3}) {
        ASSERT_EQ(got[i].size(), 60u);
        EXPECT_EQ(Be16(got[i], 12), 0x0800u);
        EXPECT_TRUE(std::all_of(got[i].begin() + 14, got[i].end(), [](uint8_t b) { return b == 0; }))
            << "padding past the 14 bytes sent";
    }
}

TEST_F(InjTest, ThreadsSendExactlyTheirCountsAndSeedsRepeat)
{
    auto r = Inj({"-T", "4", "-n", "25000", "-l", "60"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(rx_->Collect(100001, 1000).size(), 100000u);

    std::vector<std::vector<std::pair<uint32_t, uint32_t>>> runs;
    for (int run = 0; run < 2; ++run) {
        r = Inj({"-n", "40", "-l", "60-1000:R", "-S", "1-60000:R", "-e", "77"});
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.out, "[0] seed 77\n");
        std::vector<std::pair<uint32_t, uint32_t>> seq;
        for (auto &f : rx_->Collect(41, 500)) seq.emplace_back(uint32_t(f.size()), Be16(f, 34));
        ASSERT_EQ(seq.size(), 40u);
        runs.push_back(seq);
    }
    EXPECT_EQ(runs[0], runs[1]);
    std::set<uint32_t> lens;
    for (auto &[l, p] : runs[0]) {
        lens.insert(l);
        EXPECT_GE(l, 60u);
        EXPECT_LE(l, 1000u);
    }
    EXPECT_GT(lens.size(), 30u) << "random lengths";
}

TEST_F(InjTest, PacedRatesAreNeverPassed)
{
    // The counter rate handed down, so that the run holds no calibration
    // and its length is the pace's own: frame k may not leave before k
    // frame times have passed, however the machine is loaded.
    zal_cycles_counter_init();
    std::string cps = "ZAL_CYCLES_PER_SECOND=" + std::to_string(zal_cycles_per_second());
    struct Case {
        std::vector<std::string> args;
        size_t frames;
        double secs;     // at the rate asked
        double max_secs; // when a slower pace would be wrong, far below it
    };
    // -B 1 with 1000-byte frames is 125000 frames per second; -P is per thread.
    // With both, -P paces in either order: 60-byte frames at -B 0.0001 would
    // take 48 s, and -B 10 would leave the frames unpaced.
    for (const Case &c : std::vector<Case>{{{"-P", "0.2", "-n", "60000"}, 60000, 0.3, 0},
                                           {{"-B", "1", "-l", "1000", "-n", "40000"}, 40000, 0.32, 0},
                                           {{"-T", "2", "-P", "0.1", "-n", "30000"}, 60000, 0.3, 0},
                                           {{"-P", "0.02", "-B", "10", "-n", "15000"}, 15000, 0.75, 0},
                                           {{"-B", "0.0001", "-P", "0.05", "-n", "10000"}, 10000, 0.2, 15}}) {
        std::vector<std::string> argv = {BinPath("kpt_inj")};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        int64_t t0 = kpttest::MonoNs();
        auto r = RunProgram(argv, {cps}, 30000);
        double secs = double(kpttest::MonoNs() - t0) / 1e9;
        ASSERT_EQ(r.status, 0) << c.args[0] << " " << c.args[1] << "\n" << r.err;
        EXPECT_GE(secs, c.secs * 0.99) << c.args[0] << " " << c.args[1];
        if (c.max_secs > 0) {
            EXPECT_LT(secs, c.max_secs) << c.args[0] << " " << c.args[1];
        }
        EXPECT_EQ(rx_->Collect(c.frames + 1, 1000).size(), c.frames) << c.args[0] << " " << c.args[1];
    }
}

TEST_F(InjTest, RunTimeMissingBoardAndParseErrors)
{
    int64_t t0 = kpttest::MonoNs();
    auto r = Inj({"-T", "0", "-r", "2"});
    double secs = double(kpttest::MonoNs() - t0) / 1e9;
    EXPECT_EQ(r.status, 0);
    EXPECT_GE(secs, 1.9);
    EXPECT_LT(secs, 5.0);

    r = Inj({"-b", "7", "-n", "10"});
    EXPECT_NE(r.status, 0);
    EXPECT_TRUE(Has(r.err, "[0] Can't open injection handle: ")) << r.err;

    struct Bad {
        std::vector<std::string> args;
        std::string err, out;
        bool usage;
    };
    for (const Bad &b : std::vector<Bad>{
             {{"-n", "1", "-l", "60+64"}, "Invalid Packet size\n\n", "", true},
             {{"-n", "1", "-l", "60-64"}, "Invalid len seperator\n", "", true},
             {{"-n", "1", "-l", "60-64:X"}, "Invalid len iterator\n\n", "", true},
             {{"-n", "1", "-l", "64-60:S"}, "\nMinimum Packet size greater than max\n\n", "", true},
             {{"-n", "1", "-l", "13"}, "\nMinimum payload size must be greater than 14\n\n", "", true},
             {{"-n", "1", "-l", "60-9001:S"}, "\nMaximum payload size must be less than 8986\n\n", "", true},
             {{"-n", "1", "-S", "x"}, "Invalid source port size\n\n", "", true},
             {{"-n", "1", "-S", "1-2"}, "Invalid len seperator\n", "", true},
             {{"-n", "1", "-S", "1-2:Q"}, "Invalid source port iterator\n\n", "", true},
             {{"-n", "1", "-S", "5-2:S"}, "\nMinimum src port greater than max\n\n", "", true},
             {{"-n", "1", "-S", "70000"}, "Invalid source port size\n\n", "", true},
             {{"-n", "1", "-D", "x"}, "Invalid destination port size\n\n", "", true},
             {{"-n", "1", "-D", "1-2:Q"}, "Invalid destination port iterator\n\n", "", true},
             {{"-n", "1", "-D", "5-2:R"}, "\nMinimum dst port greater than max\n\n", "", true},
             {{"-n", "1", "-E", "01:02:03:04:05:06"}, "\nInvalid mac address\n", "", true},
             {{"-n", "1", "-B", "0"}, "", "Bandwidth in Gbps must be >0 and <10.0", true},
             {{"-n", "1", "-B", "10.5"}, "", "Bandwidth in Gbps must be >0 and <10.0", true},
             {{"-n", "1", "-P", "101"}, "", "Rate in Mpps must be >0 and <100.0", true},
             {{"-n", "1", "-P", "fast"}, "", "Rate in Mpps must be >0 and <100.0", true},
             {{"-n", "1", "-e", "1", "-e", "2", "-e", "3", "-e", "4", "-e", "5", "-e", "6", "-e", "7", "-e", "8", "-e", "9"},
              "", "Too many seeds specified (max: 8)\n", true},
             {{"-n", "1", "-r", "1"}, "", "Only set one of '-r' and '-n'\n", true},
             {{}, "", "Only set one of '-r' and '-n'\n", true},
             {{"-q"}, "", "Unknown option: q\n", true},
             {{"-n", "1", "-T", "9"}, "Invalid number of threads (9, max:8)\n", "", false}}) {
        r = Inj(b.args);
        std::string what = b.args.empty() ? "(none)" : b.args.back();
        EXPECT_EQ(r.status, 1) << what;
        EXPECT_TRUE(Has(r.err, b.err)) << what << ": " << r.err;
        EXPECT_TRUE(Has(r.out, b.out)) << what << ": " << r.out;
        EXPECT_EQ(Has(r.out, "Usage: kpt_inj [-v] [-b <board>] [-n <pkts>]\n"), b.usage) << what;
        if (b.usage) {
            EXPECT_TRUE(Has(r.out, "    -T <threads>: number of threads (max 8)\n"));
        }
    }
    EXPECT_TRUE(rx_->Collect(1, 100).empty()) << "no frame sent by a refused command line";
}

}  // namespace
