// The device layer's element pool and the board numbering that tools use to
// name a board by number, MAC address or interface name.
#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>
#include <vector>

#include "test_support.h"
#include "zal_parse.h"
#include "zal_internal.h"

namespace {

TEST(ZalPool, CarvesTheRegionHandsOutEveryElementAndReusesTheLastFreed)
{
    alignas(64) static char region[4096 + 64];
    memset(region, 0xa5, sizeof region);
    zal_mpool *p = nullptr;
    ASSERT_EQ(zal_mpool_init(region, 4096, 64, &p), 0);
    std::set<char *> seen;
    for (int i = 0; i < 64; ++i) {
        char *e = static_cast<char *>(zal_mpool_alloc(p));
        ASSERT_NE(e, nullptr) << i;
        EXPECT_EQ((e - region) % 64, 0);
        EXPECT_LE(e + 64, region + 4096);
        seen.insert(e);
        memset(e, 0x11, 64); // the caller owns every byte of an element
    }
    EXPECT_EQ(seen.size(), 64u);
    EXPECT_EQ(zal_mpool_alloc(p), nullptr);
    EXPECT_NE(zal_mpool_isempty(p), 0);
    EXPECT_EQ(static_cast<unsigned char>(region[4096]), 0xa5) << "wrote past the region";

    char *a = region + 5 * 64, *b = region + 40 * 64;
    zal_mpool_free(p, a);
    zal_mpool_free(p, b);
    EXPECT_EQ(zal_mpool_isempty(p), 0);
    EXPECT_EQ(zal_mpool_alloc(p), b) << "last freed, first reused";
    EXPECT_EQ(zal_mpool_alloc(p), a);
    EXPECT_EQ(zal_mpool_alloc(p), nullptr);
    zal_mpool_fini(p);

    // A region that is not a whole number of elements: the tail is unused.
    ASSERT_EQ(zal_mpool_init(region, 4000, 64, &p), 0);
    int n = 0;
    while (zal_mpool_alloc(p) != nullptr) ++n;
    EXPECT_EQ(n, 62);
    zal_mpool_fini(p);

    // Smaller than one element: an empty pool that writes nothing.
    memset(region, 0xa5, sizeof region);
    ASSERT_EQ(zal_mpool_init(region, 63, 64, &p), 0);
    EXPECT_NE(zal_mpool_isempty(p), 0);
    EXPECT_EQ(zal_mpool_alloc(p), nullptr);
    for (int i = 0; i < 64; ++i) ASSERT_EQ(static_cast<unsigned char>(region[i]), 0xa5);
    zal_mpool_fini(p);
    zal_mpool_fini(nullptr);

    // Refusals: no room for the link word (0 would divide by zero), no out pointer.
    p = reinterpret_cast<zal_mpool *>(0x1);
    EXPECT_EQ(zal_mpool_init(region, 4096, 0, &p), EINVAL);
    EXPECT_EQ(zal_mpool_init(region, 4096, sizeof(void *) - 1, &p), EINVAL);
    EXPECT_EQ(p, reinterpret_cast<zal_mpool *>(0x1)) << "refusal stored a pool";
    EXPECT_EQ(zal_mpool_init(region, 4096, 64, nullptr), EINVAL);
}

// Two simulators of different letters, their device files linked into one
// directory, as two drivers' nodes sit side by side in /dev.
// A board as "<letter><unit>", or "error <rc>".
std::string Board(int rc, uint8_t product, int unit)
{
    if (rc != 0) return "error " + std::to_string(rc);
    return std::string(1, char('A' + product)) + std::to_string(unit);
}

// The board a user's text names, through zal_translate_to_product or
// another of the naming calls.
std::string Named(const char *text, int (*name)(char *, uint8_t *, int *) = zal_translate_to_product)
{
    uint8_t p = 0;
    int u = -1;
    std::string copy = text ? text : "";
    int rc = name(text ? copy.data() : nullptr, &p, &u);
    return Board(rc, p, u);
}

class ZalBoardNum : public ::testing::Test {
protected:
    void SetUp() override
    {
        for (int i = 0; i < 2; ++i) {
            quorsim::Options o;
            o.dir = own_[i].path();
            o.letter = i == 0 ? 'B' : 'K';
            o.ports = i == 0 ? 2 : 3;
            sims_[i] = std::make_unique<quorsim::Simulator>(o);
            std::string err;
            ASSERT_EQ(sims_[i]->start(&err), 0) << err;
            for (int u = 0; u < o.ports; ++u) {
                std::string name = std::string("quor") + o.letter + "p" + std::to_string(u);
                ASSERT_EQ(symlink(own_[i].file(name).c_str(), dev_.file(name).c_str()), 0);
            }
        }
        setenv("ZAL_DEV_DIR", dev_.path().c_str(), 1);
    }
    void TearDown() override
    {
        for (auto &s : sims_)
            if (s) s->stop();
    }
    static int Num(uint8_t product, int unit)
    {
        int n = -1;
        int rc = zal_product_to_boardnum(product, unit, &n);
        return rc == 0 ? n : -100 - rc;
    }
    static std::string Where(int num)
    {
        uint8_t p = 0;
        int u = -1;
        int rc = zal_boardnum_to_product(num, &p, &u);
        return Board(rc, p, u);
    }

    kpttest::TempDir dev_, own_[2];
    std::unique_ptr<quorsim::Simulator> sims_[2];
};

TEST_F(ZalBoardNum, NumbersCountAcrossLettersAndSkipUnitsThatDoNotOpen)
{
    constexpr uint8_t B = 1, K = 10;
    EXPECT_EQ(Num(B, 0), 0);
    EXPECT_EQ(Num(B, 1), 1);
    EXPECT_EQ(Num(K, 0), 2);
    EXPECT_EQ(Num(K, 2), 4);
    for (int n = 0; n < 5; ++n) {
        std::string w = Where(n);
        ASSERT_EQ(w.size(), 2u) << n << ": " << w;
        EXPECT_EQ(Num(uint8_t(w[0] - 'A'), w[1] - '0'), n) << "not the inverse at " << n;
    }
    EXPECT_EQ(Where(5), "error 22");
    EXPECT_EQ(Where(-1), "error 22");
    EXPECT_EQ(Named(nullptr), "B0");
    EXPECT_EQ(Named("3"), "K1");

    // The slot count itself, a negative unit and a letter without boards.
    int n = 7;
    EXPECT_EQ(zal_product_to_boardnum(K, 3, &n), EINVAL);
    EXPECT_EQ(zal_product_to_boardnum(K, -1, &n), EINVAL);
    EXPECT_EQ(zal_product_to_boardnum(2, 0, &n), ENOENT);
    EXPECT_EQ(n, 7);

    // A refused unit takes no number: K2 moves down to 3, and 4 is gone.
    sims_[1]->command("refuse 1 16");
    EXPECT_EQ(Num(K, 2), 3);
    EXPECT_EQ(Where(3), "K2");
    EXPECT_EQ(Where(4), "error 22");

    // A count the driver refuses is reported as its own error.
    sims_[0]->command("fail 0 get_board_count 5");
    EXPECT_EQ(zal_product_to_boardnum(B, 1, &n), 5);
}

TEST_F(ZalBoardNum, MacTailsAndNumbersInText)
{
    // Letter K's units are 02:51:53:0a:00:<unit>; case does not matter.
    EXPECT_EQ(Named("02:51:53:0a:00:02"), "K2");
    EXPECT_EQ(Named("A:00:01"), "K1");
    EXPECT_EQ(Named("53:0a:00:01"), "K1");
    EXPECT_EQ(Named("53:01:00:01"), "B1");
    EXPECT_EQ(Named("02:51:53:01:00:01"), "B1");
    // A tail that several units share names the first that opens.
    sims_[0]->command("refuse 0 16");
    EXPECT_EQ(Named(":00:00", zal_mac_to_product), "K0");

    for (const char *bad : {"2x", "", "ab", "99999999999", "-1", " 1", "02:51:53:0a:00:07",
                            "02:51:53:0a:00:022"})
        EXPECT_EQ(Named(bad), "error 22") << bad;
}

// The reader of every whole number a user types: digits in the base the
// command line documents, up to a stop character and a maximum, nothing else.
TEST(ZalParse, WholeNumbersOnly)
{
    struct Case {
        const char *text;
        int base;
        char stop;
        unsigned long long max;
        int rc;
        unsigned long long value;
        size_t end; // offset of the stop character
    };
    const Case cases[] = {
        {"42", 10, '\0', 42, 0, 42, 2},
        {"43", 10, '\0', 42, EINVAL, 0, 0},
        {"0x2a", 0, '\0', 42, 0, 42, 4},
        {"0x2a", 10, '\0', 42, EINVAL, 0, 0},
        {"052", 0, '\0', 100, 0, 42, 3},
        {"052", 10, '\0', 100, 0, 52, 3},
        {"1.9", 0, '.', 31, 0, 1, 1},
        {"1.9", 0, '\0', 31, EINVAL, 0, 0},
        {"", 10, '\0', 9, EINVAL, 0, 0},
        {"-1", 10, '\0', ~0ull, EINVAL, 0, 0},
        {"+1", 10, '\0', 9, EINVAL, 0, 0},
        {" 1", 10, '\0', 9, EINVAL, 0, 0},
        {"1 ", 10, '\0', 9, EINVAL, 0, 0},
        {"18446744073709551616", 10, '\0', ~0ull, EINVAL, 0, 0},
        {"18446744073709551615", 10, '\0', ~0ull, 0, ~0ull, 20},
    };
    for (const Case &c : cases) {
        unsigned long long v = 7;
        const char *end = nullptr;
        EXPECT_EQ(zal_parse_whole(c.text, c.base, c.stop, c.max, &v, &end), c.rc) << c.text;
        EXPECT_EQ(v, c.rc == 0 ? c.value : 7) << c.text;
        if (c.rc == 0) {
            EXPECT_EQ(end, c.text + c.end) << c.text;
        }
    }
    unsigned long long v = 0;
    EXPECT_EQ(zal_parse_whole(nullptr, 10, '\0', 9, &v, nullptr), EINVAL);
}

// An interface name stands for the board whose MAC address it carries.
class ZalBoardNumNetdev : public kpttest::SimTest {};

TEST_F(ZalBoardNumNetdev, InterfaceNamesNameTheirBoard)
{
    std::string why;
    if (!kpttest::EnterPrivateNetns(&why)) GTEST_SKIP() << why;
    opts_.netdev = true;
    opts_.netdev_prefix = "qnum";
    opts_.ports = 3;
    StartSim();
    EXPECT_EQ(Named("qnum2"), "C2");
    EXPECT_EQ(Named("lo"), "error 22"); // an interface, but no board carries its address
}

} // namespace
