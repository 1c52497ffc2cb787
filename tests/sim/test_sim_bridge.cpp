// The simulated JTAG bridge and scan chains: memory and registers through
// the bridge, every malformed batch answered -1 with the server still
// serving, busy and failed grabs on demand, and the chain images the
// firmware lays into memory and takes back.
#include <arpa/inet.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <random>

#include "../uba/fake_bridge.h" // PrivateLoopback
#include "sim_board.h"
#include "test_support.h"
#include "uba.h"

namespace {

nram_t g_n;

void Be32(std::vector<uint8_t> *v, uint32_t x)
{
    v->insert(v->end(), {uint8_t(x >> 24), uint8_t(x >> 16), uint8_t(x >> 8), uint8_t(x)});
}

struct RawCmd {
    uint32_t slot, command, rxlen;
    std::vector<uint8_t> payload;
};

std::vector<uint8_t> ReadPkt(uint8_t port, uint32_t a, unsigned len)
{
    std::vector<uint8_t> p = {':', ':', port};
    Be32(&p, a);
    p.push_back(uint8_t(len >> 8));
    p.push_back(uint8_t(len));
    return p;
}

class SimBridge : public kpttest::SimTest {
protected:
    void SetUp() override
    {
        addr_ = ubatest::PrivateLoopback();
        opts_.ports = 2;
        opts_.bridge = addr_;
        opts_.boards = {"1=variant=kv7b"};
        StartSim();
    }
    int Connect(uint16_t port)
    {
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, addr_.c_str(), &a.sin_addr);
        timeval tv = {5, 0};
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        EXPECT_EQ(connect(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
        return fd;
    }
    // The message of a batch, old protocol marker first when given.
    static std::vector<uint8_t> Batch(const std::vector<RawCmd> &cmds, const uint32_t *id = nullptr)
    {
        std::vector<uint8_t> m;
        if (id) Be32(&m, *id);
        Be32(&m, uint32_t(cmds.size()));
        for (const RawCmd &c : cmds) {
            Be32(&m, c.slot);
            Be32(&m, c.command);
            Be32(&m, c.rxlen);
            Be32(&m, uint32_t(c.payload.size()));
        }
        for (const RawCmd &c : cmds) m.insert(m.end(), c.payload.begin(), c.payload.end());
        return m;
    }
    // Each reply: the result word and, when positive, its bytes.  Stops at
    // the end of the connection.
    static std::vector<std::pair<int32_t, std::vector<uint8_t>>> Replies(int fd, size_t n)
    {
        std::vector<std::pair<int32_t, std::vector<uint8_t>>> out;
        for (size_t i = 0; i < n; ++i) {
            uint8_t w[4];
            if (recv(fd, w, 4, MSG_WAITALL) != 4) break;
            int32_t r = int32_t(uint32_t(w[0]) << 24 | uint32_t(w[1]) << 16 | uint32_t(w[2]) << 8 | w[3]);
            std::vector<uint8_t> b(r > 0 ? size_t(r) : 0);
            if (r > 0 && recv(fd, b.data(), b.size(), MSG_WAITALL) != r) break;
            out.push_back({r, b});
        }
        return out;
    }
    static bool Closed(int fd)
    {
        uint8_t b;
        return recv(fd, &b, 1, 0) <= 0;
    }
    std::vector<std::pair<int32_t, std::vector<uint8_t>>> Exchange(int fd, const std::vector<uint8_t> &msg, size_t n)
    {
        EXPECT_EQ(send(fd, msg.data(), msg.size(), MSG_NOSIGNAL), ssize_t(msg.size()));
        return Replies(fd, n);
    }
    // SRAM of board u in the memory file.
    uint8_t Sram(int u, uint32_t a)
    {
        uint8_t b = 0;
        int fd = open(dev_.file("quorsim.mem").c_str(), O_RDONLY);
        EXPECT_EQ(pread(fd, &b, 1, off_t(quorsim::BoardModel::kBar0Base + uint64_t(u) * quorsim::BoardModel::kBar0Size + a)), 1);
        close(fd);
        return b;
    }
    std::string addr_;
};

// The board library's own client: memory and registers of the right board,
// writes and reads of either path seeing each other.
TEST_F(SimBridge, ReachesEachBoardsMemoryAndRegisters)
{
    nram_open_2z(&g_n, addr_.c_str(), 1, 0);
    std::vector<uint8_t> v(600);
    for (size_t i = 0; i < v.size(); ++i) v[i] = uint8_t(i * 13);
    for (size_t off = 0; off < v.size(); off += 200) nram_memcpy_write(&g_n, 0x20000 + off, v.data() + off, 200);
    std::vector<uint8_t> back(600);
    nram_memcpy_read(&g_n, back.data(), 0x20000, back.size());
    EXPECT_EQ(back, v);
    for (size_t i = 0; i < v.size(); i += 97) {
        EXPECT_EQ(Sram(1, 0x20000 + uint32_t(i)), v[i]) << i;
        EXPECT_EQ(Sram(0, 0x20000 + uint32_t(i)), 0) << "board 0 untouched";
    }
    // The processor registers sit at the top of the adapter's addresses.
    nram_t regs = g_n;
    regs.offset = 0xfffffe00u;
    uint8_t r[4] = {1, 2, 3, 4};
    nram_memcpy_write(&regs, 0x1e4, r, 4);
    uint8_t rb[4] = {};
    nram_memcpy_read(&regs, rb, 0x1e4, 4);
    EXPECT_EQ(memcmp(r, rb, 4), 0);
    // The firmware header of a KV7B board says so.
    uint8_t w[4], h[192];
    nram_memcpy_read(&g_n, w, 0x3c, 4);
    uint32_t hdr = uint32_t(w[0]) << 24 | uint32_t(w[1]) << 16 | uint32_t(w[2]) << 8 | w[3];
    nram_memcpy_read(&g_n, h, hdr, sizeof h);
    EXPECT_EQ(h[164] << 8 | h[165], 1);
    nram_close(&g_n);
}

TEST_F(SimBridge, MalformedBatchesGetMinusOneAndServingGoesOn)
{
    const std::vector<uint8_t> w5 = {'Z', 'Z', 0, 0, 0, 0x10, 0, 0, 5, 1, 2, 3, 4}; // says 5, carries 4
    struct Case {
        const char *what;
        std::vector<RawCmd> cmds;
    };
    const std::vector<uint8_t> scan = {0xC5, 0xC5, 0, 0x0D, 77, 0};
    const Case bad[] = {
        {"write length beyond its payload", {{1, 101, 1, w5}}},
        {"read of 257 bytes", {{1, 101, 258, ReadPkt(0, 0, 257)}}},
        {"read reply longer than asked", {{1, 101, 16, ReadPkt(0, 0, 16)}}},
        {"read packet with a payload", {{1, 101, 5, [] { auto p = ReadPkt(0, 0, 4); p.push_back(0); return p; }()}}},
        {"scan without 0x0D", {{1, 101, 78, {0xC5, 0xC5, 0, 0x0C, 77, 0}}}},
        {"scan of 0 bytes", {{1, 101, 1, {0xC5, 0xC5, 0, 0x0D, 0, 0}}}},
        {"scan of 1024 bytes", {{1, 101, 1025, {0xC5, 0xC5, 0, 0x0D, 0, 4}}}},
        {"unknown packet", {{1, 101, 1, {0x12, 0x34}}}},
        {"empty packet", {{1, 101, 1, {}}}},
        {"unknown command", {{1, 7, 1, {}}}},
        {"grab on the current protocol", {{1, 1, 1, {}}}},
        {"slot 0", {{0, 101, 5, ReadPkt(0, 0, 4)}}},
        {"slot without a board", {{3, 101, 5, ReadPkt(0, 0, 4)}}},
        {"one bad among good", {{1, 101, 5, ReadPkt(0, 0, 4)}, {1, 101, 78, scan}, {9, 101, 5, ReadPkt(0, 0, 4)}}},
    };
    int fd = Connect(1975);
    for (const Case &k : bad) {
        SCOPED_TRACE(k.what);
        auto r = Exchange(fd, Batch(k.cmds), k.cmds.size());
        ASSERT_EQ(r.size(), k.cmds.size());
        for (auto &x : r) EXPECT_EQ(x.first, -1);
        // The same connection still serves a good batch.
        r = Exchange(fd, Batch({{1, 101, 5, ReadPkt(0, 0x3c, 4)}}), 1);
        ASSERT_EQ(r.size(), 1u);
        EXPECT_EQ(r[0].first, 5);
    }
    EXPECT_EQ(Sram(0, 0x1000), 0) << "the bad write ran";
    // A port without a chain or memory behind it: status 1.
    auto r = Exchange(fd, Batch({{1, 101, 5, ReadPkt(1, 0, 4)}, {1, 101, 78, {0xC5, 0xC5, 2, 0x0D, 77, 0}}}), 2);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].second[0], 1);
    EXPECT_EQ(r[1].second, std::vector<uint8_t>(78, 0));
    close(fd);

    // Batches that cannot be framed: -1s, then the connection ends.
    std::vector<uint8_t> zero, many, big;
    Be32(&zero, 0);
    Be32(&many, 33);
    for (int i = 0; i < 33 * 4; ++i) Be32(&many, 1);
    std::vector<RawCmd> huge;
    for (int i = 0; i < 17; ++i) {
        std::vector<uint8_t> p = {'Z', 'Z', 0, 0, 0, 0x10, 0, 1, 0};
        p.resize(9 + 256, 0xee);
        huge.push_back({1, 101, 1, p});
    }
    big = Batch(huge);
    const std::pair<std::vector<uint8_t>, size_t> unframed[] = {{zero, 1}, {many, 32}, {big, 17}};
    for (auto &[msg, n] : unframed) {
        fd = Connect(1975);
        auto rr = Exchange(fd, msg, n);
        ASSERT_EQ(rr.size(), n);
        for (auto &x : rr) EXPECT_EQ(x.first, -1);
        EXPECT_TRUE(Closed(fd));
        close(fd);
    }
    EXPECT_EQ(Sram(0, 0x1000), 0) << "the unframed batch ran";

    // Garbage of every length on fresh connections, cut off at random.
    std::mt19937 g(7);
    for (int i = 0; i < 200; ++i) {
        fd = Connect(i % 2 ? 1971 : 1975);
        std::vector<uint8_t> junk(g() % 600);
        for (auto &b : junk) b = uint8_t(g() % 4 ? g() % 3 : g());
        send(fd, junk.data(), junk.size(), MSG_NOSIGNAL);
        if (g() % 2) shutdown(fd, SHUT_WR);
        close(fd);
    }
    fd = Connect(1975);
    r = Exchange(fd, Batch({{2, 101, 5, ReadPkt(0, 0x3c, 4)}}), 1);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].first, 5);
    EXPECT_EQ(r[0].second[0], 0);
    close(fd);
}

TEST_F(SimBridge, OldProtocolBusyAndFailedGrabs)
{
    const uint32_t id = 0x5EB, bad_id = 0x5EC;
    auto old = [&](const std::vector<RawCmd> &cmds, const uint32_t *marker) {
        int fd = Connect(1971);
        auto r = Exchange(fd, Batch(cmds, marker), cmds.size());
        close(fd);
        return r;
    };
    // Commands only while grabbed, in the same batch or an earlier one.
    auto r = old({{1, 101, 5, ReadPkt(0, 0x3c, 4)}}, &id);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].first, -1);
    r = old({{1, 1, 1, {}}, {1, 101, 5, ReadPkt(0, 0x3c, 4)}}, &id);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[1].first, 5);
    r = old({{1, 101, 5, ReadPkt(0, 0x3c, 4)}}, &bad_id);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].first, -1);
    r = old({{1, 2, 1, {}}}, &id);
    r = old({{1, 101, 5, ReadPkt(0, 0x3c, 4)}}, &id);
    EXPECT_EQ(r[0].first, -1) << "released";

    // Busy: the next two memory replies say 3 and do nothing.
    Ctl("jtag-busy 2");
    int fd = Connect(1975);
    std::vector<uint8_t> w = {'Z', 'Z', 0, 0, 0, 0x10, 0, 0, 1, 0x5a};
    r = Exchange(fd, Batch({{1, 101, 1, w}, {1, 101, 5, ReadPkt(0, 0x3c, 4)}, {1, 101, 1, w}}), 3);
    ASSERT_EQ(r.size(), 3u);
    EXPECT_EQ(r[0].second, std::vector<uint8_t>{3});
    EXPECT_EQ(r[1].second[0], 3);
    EXPECT_EQ(r[2].second, std::vector<uint8_t>{0});
    EXPECT_EQ(Sram(0, 0x1000), 0x5a);
    close(fd);

    // Failed grabs: a reset each, then the client's retry gets through.
    Ctl("jtag-grabfail 3");
    for (int i = 0; i < 3; ++i) {
        fd = Connect(1971);
        auto m = Batch({{1, 1, 1, {}}}, &id);
        send(fd, m.data(), m.size(), MSG_NOSIGNAL);
        uint8_t b[4];
        errno = 0;
        EXPECT_LT(recv(fd, b, 4, MSG_WAITALL), 1);
        EXPECT_EQ(errno, ECONNRESET);
        close(fd);
    }
    setenv("UBA_K5_OLD", "1", 1);
    Ctl("jtag-grabfail 5");
    nram_open_2z(&g_n, addr_.c_str(), 0, 0);
    uint8_t v[4];
    nram_memcpy_read(&g_n, v, 0x3c, 4);
    EXPECT_EQ(v[3], 0x00);
    nram_close(&g_n);
    unsetenv("UBA_K5_OLD");
    EXPECT_NE(sim_->command("jtag-busy x").find("error: usage: jtag-busy N"), std::string::npos);
}

// Chains through the window: the capture request lays chains 0 and 2 into
// memory, a scan write takes chain 2 back.
TEST_F(SimBridge, CaptureAndScanWrite)
{
    std::vector<uint8_t> c0(80), c2(53);
    for (size_t i = 0; i < c0.size(); ++i) c0[i] = uint8_t(0xc0 + i);
    for (size_t i = 0; i < c2.size(); ++i) c2[i] = uint8_t(0x20 + i);
    auto hex = [](const std::vector<uint8_t> &v) {
        std::string s;
        char b[3];
        for (uint8_t x : v) snprintf(b, sizeof b, "%02x", x), s += b;
        return s;
    };
    Ctl("scan 0 0 " + hex(c0));
    Ctl("scan 0 2 " + hex(c2));
    EXPECT_NE(sim_->command("scan 0 0 " + hex(c2)).find("error: the image is 80 bytes"), std::string::npos);
    EXPECT_NE(sim_->command("scan 1 2 " + hex(c2)).find("error: the image is 73 bytes"), std::string::npos);

    setenv("UBA_PCI", "zalcfg", 1);
    uba_nic *nic = uba_open(0, UBA_KV, UBA_BAR_SKIP);
    nram_open_cfg_pio(&g_n, nic);
    const int vs = uba_vs_offset(nic);
    std::vector<uint8_t> img(80);
    nram_scan_read(&g_n, img.data(), 636, 0);
    EXPECT_NE(img, c0) << "nothing captured yet";
    uba_pci_write_byte(nic, vs + UBA_VS_MODE, UBA_VS_MODE_SCAN);
    uba_pci_write_long(nic, vs + UBA_VS_ADDR, 2);
    nram_scan_read(&g_n, img.data(), 636, 0);
    EXPECT_EQ(img, c0);
    img.resize(53);
    nram_scan_read(&g_n, img.data(), 420, 2);
    EXPECT_EQ(img, c2);

    std::vector<uint8_t> n2(53);
    for (size_t i = 0; i < n2.size(); ++i) n2[i] = uint8_t(0x99 ^ i);
    nram_scan_write(&g_n, n2.data(), 420);
    EXPECT_EQ(Ctl("scan 0 2"), hex(n2) + "\nok\n");
    EXPECT_EQ(Ctl("scan 0 0"), hex(c0) + "\nok\n");
    free(nic);
    unsetenv("UBA_PCI");
}

}  // namespace
