// The test packet helpers shared by the receive programs and the generator:
// validation, header lengths for the fragment split, the byte dump, and the
// small parsers.  Output is captured from standard output.
#include <stdio.h>
#include <sys/mman.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "kpt_test_common.h"
#include "program_runner.h"
#include "test_support.h"

namespace {

using kpttest::TestFrame;

using kpttest::Stdout;

// A copy of bytes placed at the very end of a mapping, with an inaccessible
// page right behind it: reading one byte past the end faults.
class Fenced {
public:
    explicit Fenced(const std::vector<uint8_t> &bytes)
    {
        size_t pg = size_t(sysconf(_SC_PAGESIZE));
        size_t span = (bytes.size() + 64 + pg - 1) / pg * pg;
        base_ = static_cast<uint8_t *>(mmap(nullptr, span + 2 * pg, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
        mprotect(base_ + pg, span, PROT_READ | PROT_WRITE);
        len_ = span + 2 * pg;
        data_ = base_ + pg + span - bytes.size();
        std::copy(bytes.begin(), bytes.end(), data_);
    }
    ~Fenced() { munmap(base_, len_); }
    const uint8_t *data() const { return data_; }

private:
    uint8_t *base_, *data_;
    size_t len_;
};

TEST(TestPacket, ValidationEdgeCases)
{
    struct Case {
        std::vector<uint8_t> frame;
        int result;
        std::string says;
    };
    auto bad_word = TestFrame(4000);
    bad_word[3996] = 0xff; // the last word
    auto early_bad = TestFrame(100);
    early_bad[48] = 1;
    std::vector<Case> cases = {
        {TestFrame(60), 0, ""},
        {TestFrame(60, 52), 0, ""},
        {TestFrame(60, 48), 0, ""},
        {TestFrame(60, 61), 1, "packet malformed for test, received 60 bytes but message says 61 bytes\n"},
        {TestFrame(60, 47), 1, "packet malformed for test, need at least 48 bytes\n"},
        {TestFrame(47), 1, "packet malformed for test, need at least 48 bytes\n"},
        {TestFrame(0), 1, "need at least 48 bytes"},
        {TestFrame(48), 0, ""},
        {TestFrame(9018), 0, ""},
        {TestFrame(61), 0, ""},
        {TestFrame(61, 60), 1, "packet length missmatch, in mesg:61, in packet:60\n"},
        {bad_word, 1, "ofst 3996, pkt len:4000, expected:0x000003db, actual:0x000003ff\n"},
        {early_bad, 1, "ofst 48, pkt len:100, expected:0x00000000, actual:0x00000001\n"},
    };
    for (const Case &c : cases) {
        // Fenced: validation and its dumps never read past the frame.
        Fenced f(c.frame);
        int rc = -1;
        std::string out = Stdout([&] { rc = pkt_validate(f.data(), uint32_t(c.frame.size())); });
        EXPECT_EQ(rc, c.result) << c.frame.size() << " " << out;
        if (c.result) {
            EXPECT_NE(out.find(c.says), std::string::npos) << out;
        } else {
            EXPECT_EQ(out, "");
        }
    }
    // The dump after a bad word covers 64 bytes either side, within the frame.
    Fenced f(bad_word);
    std::string out = Stdout([&] { pkt_validate(f.data(), 4000); });
    EXPECT_NE(out.find("dumping data starting at ofst 3920, for 80 bytes\n"), std::string::npos) << out;
    EXPECT_NE(out.find("0064: d8 03 00 00 d9 03 00 00 da 03 00 00 ff 03 00 00\n"), std::string::npos) << out;
}

TEST(TestPacket, HeaderLengthsForTheFragmentSplit)
{
    auto frame = [](std::vector<std::pair<size_t, uint8_t>> bytes, size_t len = 120) {
        std::vector<uint8_t> f(len, 0);
        for (auto [at, v] : bytes) f[at] = v;
        return f;
    };
    struct Case {
        std::vector<uint8_t> f;
        uint32_t hdr;
        int udp_tcp;
    };
    std::vector<Case> cases = {
        {frame({{12, 0x08}, {13, 0}, {23, 17}}), 42, 1},
        {frame({{12, 0x08}, {13, 0}, {23, 6}}), 54, 1},
        {frame({{12, 0x08}, {13, 0}, {23, 1}}), 0, 0},                          // ICMP
        {frame({{12, 0x81}, {13, 0}, {16, 0x08}, {17, 0}, {27, 17}}), 42, 1},   // tag not counted
        {frame({{12, 0x81}, {13, 0}, {16, 0x08}, {17, 0}, {27, 6}}), 54, 1},
        {frame({{12, 0x86}, {13, 0xdd}, {20, 17}}), 62, 0},
        {frame({{12, 0x86}, {13, 0xdd}, {20, 6}}), 74, 0},
        {frame({{12, 0x81}, {13, 0}, {16, 0x86}, {17, 0xdd}, {24, 6}}), 74, 0},
        {frame({{12, 0x08}, {13, 0x06}}), 0, 0},                                // ARP
        {frame({{12, 0x08}, {13, 0}, {23, 6}}, 54), 0, 1}, // nothing would be left to send
        {frame({{12, 0x08}, {13, 0}}, 23), 0, 0},           // protocol byte outside
        {frame({{12, 0x81}, {13, 0}}, 16), 0, 0},
        {frame({}, 10), 0, 0},
    };
    for (size_t i = 0; i < cases.size(); ++i) {
        Fenced f(cases[i].f);
        EXPECT_EQ(get_hdr_len(f.data(), uint32_t(cases[i].f.size())), cases[i].hdr) << "case " << i;
        EXPECT_EQ(is_udp_tcp(f.data(), uint32_t(cases[i].f.size())), cases[i].udp_tcp) << "case " << i;
    }
}

TEST(TestPacket, DumpShowsOnlyTheBytesGiven)
{
    std::vector<uint8_t> b(37);
    for (size_t i = 0; i < b.size(); ++i) b[i] = uint8_t(i * 7);
    Fenced f(b);
    std::string out = Stdout([&] { dump_data(f.data(), 37); });
    EXPECT_EQ(out,
              "0000: 00 07 0e 15 1c 23 2a 31 38 3f 46 4d 54 5b 62 69\n"
              "0016: 70 77 7e 85 8c 93 9a a1 a8 af b6 bd c4 cb d2 d9\n"
              "0032: e0 e7 ee f5 fc\n");
    EXPECT_EQ(Stdout([&] { dump_data(f.data() + 21, 16); }),
              "0000: 93 9a a1 a8 af b6 bd c4 cb d2 d9 e0 e7 ee f5 fc\n");
    EXPECT_EQ(Stdout([&] { dump_data(f.data(), 0); }), "");
}

TEST(TestPacket, AddressAndNumberParsers)
{
    unsigned mac[6];
    const char *end;
    ASSERT_EQ(parse_mac("0:1a:B:cc:d:ff", mac, nullptr), 0);
    EXPECT_EQ(std::vector<unsigned>(mac, mac + 6), (std::vector<unsigned>{0, 0x1a, 0xb, 0xcc, 0xd, 0xff}));
    for (const char *bad : {"", "1:2:3:4:5", "1:2:3:4:5:6:7", "1:2:3:4:5:100", "1::3:4:5:6", "g:1:2:3:4:5",
                            "1:2:3:4:5:6 "})
        EXPECT_EQ(parse_mac(bad, mac, nullptr), -1) << bad;
    ASSERT_EQ(parse_mac("1:2:3:4:5:6-a:b:c:d:e:f", mac, &end), 0);
    EXPECT_STREQ(end, "-a:b:c:d:e:f");

    uint64_t v;
    EXPECT_EQ(parse_u64("0x10", 100, &v), 0);
    EXPECT_EQ(v, 16u);
    EXPECT_EQ(parse_u64("010", 100, &v), 0);
    EXPECT_EQ(v, 8u);
    for (const char *bad : {"", "-1", " 5", "5x", "101", "99999999999999999999999"})
        EXPECT_EQ(parse_u64(bad, 100, &v), -1) << bad;
}

}  // namespace
