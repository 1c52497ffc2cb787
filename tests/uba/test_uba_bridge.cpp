// The JTAG bridge client against a scripted bridge in the test process: what
// goes out in each batch, when, and how replies are taken apart or refused.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <functional>
#include <string>

#include "child.h"
#include "fake_bridge.h"
#include "uba.h"

using ubatest::BridgeBatch;
using ubatest::BridgeCmd;
using ubatest::BridgeReply;
using ubatest::FakeBridge;
using ubatest::InChild;

namespace {

nram_t g_n; // the accessor is large: keep it off the stack

int NonEmptyLines(const std::string &s)
{
    int n = 0;
    size_t at = 0;
    while (at < s.size()) {
        size_t nl = s.find('\n', at);
        if (nl == std::string::npos) nl = s.size();
        n += nl > at;
        at = nl + 1;
    }
    return n;
}

bool IsData(const BridgeCmd &c, char kind) { return c.command == 101 && !c.payload.empty() && c.payload[0] == uint8_t(kind); }

TEST(BridgeClient, ReadsInBatchesAndQueuesWrites)
{
    unsetenv("UBA_K5_OLD");
    FakeBridge br(true, true);
    {
        auto lk = br.Lock();
        for (size_t i = 0; i < br.mem.size(); ++i) br.mem[i] = uint8_t(i * 7 + (i >> 8));
    }
    nram_open_2z(&g_n, br.host().c_str(), 2, 1);
    EXPECT_EQ(br.batch_count(), 0u) << "the current protocol sends nothing at open";

    // 600 bytes at 0x1000 + offset: 256, 256 and 88 in one batch.
    g_n.offset = 0x100;
    std::vector<uint8_t> got(600);
    nram_memcpy_read(&g_n, got.data(), 0x1000, got.size());
    EXPECT_TRUE(std::equal(got.begin(), got.end(), br.mem.begin() + 0x1100));
    auto b = br.batches();
    ASSERT_EQ(b.size(), 1u);
    ASSERT_EQ(b[0].cmds.size(), 3u);
    EXPECT_EQ(b[0].port, 1975);
    const unsigned chunk[] = {256, 256, 88};
    for (unsigned i = 0; i < 3; ++i) {
        const BridgeCmd &c = b[0].cmds[i];
        EXPECT_EQ(c.slot, 3u);
        EXPECT_EQ(c.command, 101u);
        EXPECT_EQ(c.rxlen, chunk[i] + 1);
        const uint32_t a = 0x1100 + 256 * i;
        std::vector<uint8_t> want = {':', ':', 1, 0, 0, uint8_t(a >> 8), uint8_t(a), uint8_t(chunk[i] >> 8),
                                     uint8_t(chunk[i])};
        EXPECT_EQ(c.payload, want) << "packet " << i;
    }

    // A 4 KiB read: one exchange per four packets.
    std::vector<uint8_t> big(4096);
    nram_memcpy_read(&g_n, big.data(), 0, big.size());
    EXPECT_TRUE(std::equal(big.begin(), big.end(), br.mem.begin() + 0x100));
    EXPECT_EQ(br.batch_count(), 1u + 4u);

    // 31 writes send nothing; the 32nd sends all of them, in order.
    for (int i = 0; i < 31; ++i) {
        uint8_t v[2] = {uint8_t(i), uint8_t(0xa0 + i)};
        nram_memcpy_write(&g_n, 0x2000 + 2 * size_t(i), v, 2);
    }
    EXPECT_EQ(br.batch_count(), 5u);
    uint8_t last[2] = {31, 0xbf};
    nram_memcpy_write(&g_n, 0x2000 + 62, last, 2);
    b = br.batches();
    ASSERT_EQ(b.size(), 6u);
    ASSERT_EQ(b[5].cmds.size(), 32u);
    for (unsigned i = 0; i < 32; ++i) {
        const BridgeCmd &c = b[5].cmds[i];
        EXPECT_TRUE(IsData(c, 'Z'));
        EXPECT_EQ(c.rxlen, 1u);
        const uint32_t a = 0x2100 + 2 * i;
        std::vector<uint8_t> want = {'Z', 'Z', 1, 0, 0, uint8_t(a >> 8), uint8_t(a), 0, 2, uint8_t(i),
                                     uint8_t(0xa0 + i)};
        EXPECT_EQ(c.payload, want) << "write " << i;
    }

    // Sixteen 256-byte writes do not fit one batch's payload: the queue is
    // sent before the payload that would overrun it, nothing is lost.
    std::vector<uint8_t> blk(256);
    for (int i = 0; i < 16; ++i) {
        for (size_t k = 0; k < blk.size(); ++k) blk[k] = uint8_t(i + k);
        nram_memcpy_write(&g_n, 0x4000 + 256 * size_t(i), blk.data(), blk.size());
    }
    nram_close(&g_n); // flushes what is queued
    b = br.batches();
    size_t writes = 0;
    for (size_t k = 6; k < b.size(); ++k) {
        size_t bytes = 0;
        for (auto &c : b[k].cmds) bytes += c.payload.size();
        EXPECT_LE(bytes, 4096u);
        writes += b[k].cmds.size();
    }
    EXPECT_EQ(writes, 16u);
    for (int i = 0; i < 16; ++i)
        for (size_t k = 0; k < 256; ++k) ASSERT_EQ(br.mem[0x4100 + 256 * size_t(i) + k], uint8_t(i + k));
}

TEST(BridgeClient, ScanReadTakesTheChainAndEndsTheScan)
{
    unsetenv("UBA_K5_OLD");
    FakeBridge br(true, false);
    nram_open_2z(&g_n, br.host().c_str(), 0, 3);
    uint8_t img[77];
    nram_scan_read(&g_n, img, UBA_SCAN_L2Z_RDWR_BITS, 0);
    EXPECT_TRUE(std::equal(img, img + 77, br.chain.begin())) << "bytes in the order the bridge sends them";
    auto b = br.batches();
    ASSERT_EQ(b.size(), 2u);
    ASSERT_EQ(b[0].cmds.size(), 1u);
    EXPECT_EQ(b[0].cmds[0].payload, (std::vector<uint8_t>{0xC5, 0xC5, 6, 0x0D, 77, 0}));
    EXPECT_EQ(b[0].cmds[0].rxlen, 78u);
    EXPECT_EQ(b[1].cmds[0].payload, (std::vector<uint8_t>{0xA5, 0xA5, 0x01}));
    nram_close(&g_n);

    // Chain 0 through the bridge is the 610-bit chain and nothing else; a
    // scan that the bridge does not end with 1 is refused.
    auto r = InChild([&] {
        nram_open_2z(&g_n, br.host().c_str(), 0, 0);
        nram_scan_read(&g_n, img, UBA_SCAN_KV7A_READ_BITS, 0);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("ERROR:"), std::string::npos);
    {
        auto lk = br.Lock();
        br.answer = [&](const BridgeCmd &c) {
            BridgeReply rep = br.Default(c);
            if (c.payload.size() == 3) rep.bytes = {0};
            return rep;
        };
    }
    r = InChild([&] {
        nram_open_2z(&g_n, br.host().c_str(), 0, 0);
        nram_scan_read(&g_n, img, UBA_SCAN_L2Z_RDWR_BITS, 0);
    });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("scan-done"), std::string::npos) << r.err;
}

TEST(BridgeClient, FallsBackToTheOldProtocolAndGrabs)
{
    // Nothing on 1975: the old protocol on 1971, one connection per batch
    // with the marker in front, the scan process grabbed first.
    unsetenv("UBA_K5_OLD");
    FakeBridge br(false, true);
    int resets = 5;
    {
        auto lk = br.Lock();
        br.answer = [&](const BridgeCmd &c) {
            BridgeReply rep = br.Default(c);
            if (c.command == 1 && resets > 0) {
                --resets;
                rep.reset = true;
            }
            return rep;
        };
    }
    nram_open_2z(&g_n, br.host().c_str(), 0, 0);
    EXPECT_EQ(g_n.l2z.old, 1);
    auto b = br.batches();
    ASSERT_EQ(b.size(), 6u) << "five grabs reset, the sixth taken";
    for (auto &x : b) {
        EXPECT_EQ(x.port, 1971);
        EXPECT_EQ(x.id, 0x5EBu);
        ASSERT_EQ(x.cmds.size(), 1u);
        EXPECT_EQ(x.cmds[0].command, 1u);
        EXPECT_EQ(x.cmds[0].rxlen, 1u);
    }
    uint8_t v[4];
    nram_memcpy_read(&g_n, v, 0, 4);
    nram_close(&g_n);
    b = br.batches();
    ASSERT_EQ(b.size(), 8u);
    EXPECT_TRUE(IsData(b[6].cmds[0], ':'));
    EXPECT_EQ(b[7].cmds[0].command, 2u) << "close releases the scan process";

    // Twenty resets: the bridge is given up.
    {
        auto lk = br.Lock();
        resets = 1000;
    }
    auto r = InChild([&] { nram_open_2z(&g_n, br.host().c_str(), 0, 0); });
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("Cannot grab scan process after 20 tries"), std::string::npos) << r.err;
    EXPECT_EQ(br.batch_count(), 8u + 20u);
}

TEST(BridgeClient, OldProtocolVariable)
{
    FakeBridge br(true, true);
    // Empty: the current protocol is tried first (and found).
    setenv("UBA_K5_OLD", "", 1);
    nram_open_2z(&g_n, br.host().c_str(), 0, 0);
    EXPECT_EQ(g_n.l2z.old, 0);
    nram_close(&g_n);
    setenv("UBA_K5_OLD", "1", 1);
    nram_open_2z(&g_n, br.host().c_str(), 0, 0);
    EXPECT_EQ(g_n.l2z.old, 1);
    nram_close(&g_n);
    unsetenv("UBA_K5_OLD");
    auto b = br.batches();
    ASSERT_EQ(b.size(), 2u);
    EXPECT_EQ(b[0].port, 1971);
    EXPECT_EQ(b[0].cmds[0].command, 1u);
    EXPECT_EQ(b[1].cmds[0].command, 2u);
}

// Each bad reply is one ERROR line and status 1; on the old protocol the
// scan process is released before the program stops.
TEST(BridgeClient, BadRepliesEndTheBridgeUse)
{
    unsetenv("UBA_K5_OLD");
    struct Case {
        const char *what;
        std::function<void(BridgeReply &, const BridgeCmd &)> spoil;
        const char *message;
        bool write; // the command spoiled is a write (else a 300-byte read)
    };
    const Case cases[] = {
        {"busy write", [](BridgeReply &r, const BridgeCmd &) { r.bytes[0] = 3; },
         "l2z_flush: command 101: rx0 = 3 (jtag busy?)", true},
        {"negative result", [](BridgeReply &r, const BridgeCmd &) { r.result = -1, r.bytes.clear(); },
         "l2z_flush: command 0x65(0/1): result=-1", true},
        {"-2 not accepted", [](BridgeReply &r, const BridgeCmd &) { r.result = -2, r.bytes.clear(); },
         "result=-2", false},
        {"reply longer than asked",
         [](BridgeReply &r, const BridgeCmd &) { r.bytes.push_back(0), r.result = int32_t(r.bytes.size()); },
         "reply of 258 bytes, 257 asked", false},
        {"reply past its slot", [](BridgeReply &r, const BridgeCmd &) { r.bytes.resize(2000), r.result = 2000; },
         "reply of 2000 bytes", false},
        {"short read reply",
         [](BridgeReply &r, const BridgeCmd &c) {
             if (c.rxlen == 45) r.bytes.resize(10), r.result = 10;
         },
         "l2z read of 300 bytes at 0x0: the bridge delivered 265", false},
        {"no result word", [](BridgeReply &r, const BridgeCmd &) { r.hang_up = true; },
         "Trying to get status for command 0/2 (cmd=0x65), res= 0, errno=Success", false},
        // The receive's own result, not the bytes it got.
        {"reset for a result word", [](BridgeReply &r, const BridgeCmd &) { r.reset = true; },
         "Trying to get status for command 0/2 (cmd=0x65), res= -1, errno=Connection reset by peer", false},
    };
    for (bool old : {false, true}) {
        for (const Case &k : cases) {
            SCOPED_TRACE(std::string(k.what) + (old ? " (old)" : ""));
            FakeBridge br(!old, true);
            {
                auto lk = br.Lock();
                br.answer = [&](const BridgeCmd &c) {
                    BridgeReply r = br.Default(c);
                    if (c.command == 101) k.spoil(r, c);
                    return r;
                };
            }
            auto r = InChild([&] {
                nram_open_2z(&g_n, br.host().c_str(), 0, 0);
                uint8_t buf[300] = {};
                if (k.write) {
                    nram_memcpy_write(&g_n, 0, buf, 4);
                    nram_close(&g_n);
                } else {
                    nram_memcpy_read(&g_n, buf, 0, sizeof buf);
                }
                puts("survived");
            });
            EXPECT_EQ(r.status, 1);
            EXPECT_EQ(r.out, "");
            EXPECT_EQ(r.err.rfind("ERROR:", 0), 0u) << r.err;
            EXPECT_NE(r.err.find(k.message), std::string::npos) << r.err;
            EXPECT_EQ(NonEmptyLines(r.err), 1) << r.err;
            if (old) {
                auto b = br.batches();
                ASSERT_FALSE(b.empty());
                EXPECT_EQ(b.back().cmds[0].command, 2u) << "scan process released";
            }
        }
    }
}

}  // namespace
