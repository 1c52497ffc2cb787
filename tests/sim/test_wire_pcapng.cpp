// pcapng replay on the simulated wire: sections of either byte order,
// interfaces with their own timestamp resolutions and offsets, enhanced and
// simple packet blocks among blocks that are skipped, and refusal of damaged
// files with the block they fail at.
#include <fcntl.h>
#include <unistd.h>

#include <cstring>

#include "sim_wire.h"
#include "test_support.h"

using namespace quorsim;

namespace {

using Bytes = std::vector<uint8_t>;
constexpr int64_t kT0 = 7'000'000'000;

// A pcapng file built block by block, in either byte order.
struct Ng {
    bool swap = false;
    Bytes out;

    static void raw(Bytes &b, const void *p, size_t n)
    {
        size_t at = b.size();
        b.resize(at + n);
        if (n) memcpy(b.data() + at, p, n);
    }
    void u32(Bytes &b, uint32_t v) const
    {
        if (swap) v = __builtin_bswap32(v);
        raw(b, &v, 4);
    }
    void u16(Bytes &b, uint16_t v) const
    {
        if (swap) v = __builtin_bswap16(v);
        raw(b, &v, 2);
    }
    void opt(Bytes &b, uint16_t code, const Bytes &v) const
    {
        u16(b, code);
        u16(b, uint16_t(v.size()));
        raw(b, v.data(), v.size());
        b.resize((b.size() + 3) & ~size_t(3), 0);
    }
    // A whole block around a body; len_fix alters the leading length only.
    void block(uint32_t type, Bytes body, int len_fix = 0)
    {
        body.resize((body.size() + 3) & ~size_t(3), 0);
        uint32_t len = uint32_t(body.size() + 12);
        u32(out, type);
        u32(out, uint32_t(int(len) + len_fix));
        raw(out, body.data(), body.size());
        u32(out, len);
    }
    void shb()
    {
        Bytes b;
        u32(b, 0x1A2B3C4D);
        u16(b, 1);
        u16(b, 0);
        u32(b, 0xffffffff);
        u32(b, 0xffffffff);
        block(0x0A0D0D0A, b);
    }
    void idb(uint16_t link, uint32_t snaplen, uint8_t tsresol = 0, int64_t tsoffset = 0,
             uint8_t fcslen = 0)
    {
        Bytes b;
        u16(b, link);
        u16(b, 0);
        u32(b, snaplen);
        opt(b, 2, Bytes{'e', 't', 'h', '0'});
        if (tsresol) opt(b, 9, Bytes{tsresol});
        if (tsoffset) {
            uint64_t v = uint64_t(tsoffset);
            if (swap) v = __builtin_bswap64(v);
            Bytes o(8);
            memcpy(o.data(), &v, 8);
            opt(b, 14, o);
        }
        if (fcslen) opt(b, 13, Bytes{fcslen});
        opt(b, 0, {});
        block(1, b);
    }
    void epb(uint32_t ifid, uint64_t ts, const Bytes &data, uint32_t orig = 0,
             uint32_t incl_fix = 0)
    {
        Bytes b;
        u32(b, ifid);
        u32(b, uint32_t(ts >> 32));
        u32(b, uint32_t(ts));
        u32(b, uint32_t(data.size()) + incl_fix);
        u32(b, orig ? orig : uint32_t(data.size()));
        raw(b, data.data(), data.size());
        block(6, b);
    }
    void spb(const Bytes &data)
    {
        Bytes b;
        u32(b, uint32_t(data.size()));
        raw(b, data.data(), data.size());
        block(3, b);
    }
};

Bytes Data(size_t len, uint8_t tag)
{
    Bytes v(len);
    for (size_t i = 0; i < len; ++i) v[i] = uint8_t(tag * 13 + i);
    return v;
}

class WirePcapng : public ::testing::Test {
protected:
    std::string Write(const Bytes &b)
    {
        std::string path = dir_.file("t" + std::to_string(++files_) + ".pcapng");
        int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        EXPECT_EQ(write(fd, b.data(), b.size()), ssize_t(b.size()));
        close(fd);
        return path;
    }
    std::unique_ptr<FrameSource> Make(const Ng &f, std::string *err, const std::string &opts = "")
    {
        return make_source("pcap:" + Write(f.out) + opts, SourceDefaults{}, err);
    }
    // Frames due by now, with their FCS checked.
    static std::vector<Bytes> Due(FrameSource &s, int64_t now, int64_t *next)
    {
        std::vector<Bytes> got;
        Frame fr[64];
        size_t n = s.pull(now, fr, 64, next);
        for (size_t i = 0; i < n; ++i) {
            Bytes b(fr[i].seg[0], fr[i].seg[0] + fr[i].seg_len[0]);
            if (fr[i].seg_len[1]) b.insert(b.end(), fr[i].seg[1], fr[i].seg[1] + fr[i].seg_len[1]);
            EXPECT_EQ(fr[i].fcs, crc32_eth(b.data(), b.size()));
            got.push_back(b);
        }
        return got;
    }
    kpttest::TempDir dir_;
    int files_ = 0;
};

// Three interfaces with three clocks (nanoseconds; 2^-10 s; milliseconds
// offset by a second), blocks to skip in between, an SPB that inherits the
// time before it, and a captured FCS dropped: each frame comes out whole at
// its own time, in both byte orders.
TEST_F(WirePcapng, InterfacesKeepTheirOwnClocksInBothByteOrders)
{
    for (bool swap : {false, true}) {
        SCOPED_TRACE(swap);
        Ng f;
        f.swap = swap;
        f.shb();
        f.idb(1, 0, 9);
        f.idb(1, 65535, 0x80 | 10);
        f.block(0xBAD, Bytes(20, 0xee)); // unknown to the reader: skipped
        f.idb(1, 0, 3, 1, 4);
        Bytes a = Data(60, 1), b = Data(1514, 2), c = Data(200, 3), d = Data(64, 4);
        Bytes cfcs = c;
        cfcs.insert(cfcs.end(), {1, 2, 3, 4});
        f.epb(0, 1'000'000'000, a);
        f.epb(1, 1025, b);     // 1025/1024 s = 1.000976562 s
        f.block(4, Bytes(8, 0)); // name resolution: skipped
        f.epb(2, 2, cfcs);     // 2 ms + 1 s offset, FCS captured and dropped
        f.spb(d);              // no time of its own
        f.epb(0, 1'010'000'000, Data(30, 5), 30);
        std::string err;
        auto s = Make(f, &err);
        ASSERT_TRUE(s) << err;
        EXPECT_NE(s->describe().find("5 frames, pcapng"), std::string::npos) << s->describe();
        s->start(kT0);
        int64_t next;
        EXPECT_EQ(Due(*s, kT0, &next), std::vector<Bytes>{a});
        EXPECT_EQ(next, kT0 + 976562);
        EXPECT_EQ(Due(*s, next - 1, &next).size(), 0u);
        EXPECT_EQ(Due(*s, kT0 + 976562, &next), std::vector<Bytes>{b});
        EXPECT_EQ(next, kT0 + 2'000'000);
        EXPECT_EQ(Due(*s, kT0 + 2'000'000, &next), std::vector<Bytes>{c});
        // The SPB follows once c has left the wire (224 bytes at 10 Gb/s).
        EXPECT_EQ(next, kT0 + 2'000'000 + 180);
        EXPECT_EQ(Due(*s, next, &next), std::vector<Bytes>{d});
        Bytes e = Data(30, 5);
        e.resize(60, 0); // a runt gets its padding back
        EXPECT_EQ(Due(*s, kT0 + 10'000'000, &next), std::vector<Bytes>{e});
        EXPECT_EQ(next, -1);
    }
}

TEST_F(WirePcapng, DamagedFilesAreRefusedWithTheBlockTheyFailAt)
{
    auto base = [] {
        Ng f;
        f.shb(); // 28 bytes
        f.idb(1, 0); // 32 bytes: the next block is at offset 60
        return f;
    };
    struct Case {
        std::function<void(Ng &)> make;
        std::string want;
    };
    const Case cases[] = {
        {[](Ng &f) { f.out.resize(f.out.size() - 3); }, "block 2 at offset 28: block length 32 runs past"},
        {[](Ng &f) { f.epb(0, 1, Data(60, 1), 0, 200); }, "block 3 at offset 60: captured length 260 runs past its block"},
        {[](Ng &f) { f.epb(3, 1, Data(60, 1)); }, "packet of interface 3, but 1 interfaces are described"},
        {[](Ng &f) { f.idb(113, 0), f.epb(1, 1, Data(60, 1)); }, "block 4 at offset 92: interface 1 has link type 113, not Ethernet (1)"},
        {[](Ng &f) { f.block(6, Data(40, 1), 4); }, "block 3 at offset 60: block length"},
        {[](Ng &f) { f.block(6, Data(40, 1), -4); }, "trailing block length differs from the leading one"},
        {[](Ng &f) { f.block(6, Data(40, 1), -2); }, "block length 50 is malformed"},
        {[](Ng &f) { f.out.insert(f.out.end(), {1, 0, 0, 0, 12, 0}); }, "block 3 at offset 60: truncated block header (6 bytes left)"},
        {[](Ng &f) { f.out.erase(f.out.begin(), f.out.begin() + 28); }, "not a pcap or pcapng file (magic 0x00000001)"},
        {[](Ng &f) { f.out[8] = 0x55; }, "unknown byte-order mark"},
        {[](Ng &f) { f.idb(1, 0, 20); }, "timestamp resolution 20 is not supported"},
        {[](Ng &f) {
             Bytes b;
             f.u32(b, 0x00ff0001); // link 1, then an option longer than the block
             f.u32(b, 0);
             f.u32(b, 0x01000002);
             f.block(1, b);
         },
         "option 2 runs past its block"},
        {[](Ng &) {}, "no records"},
        {[](Ng &f) { f.epb(0, 1, Data(9100, 1)); }, "longer than 9018"},
    };
    for (const Case &c : cases) {
        Ng f = base();
        c.make(f);
        std::string err;
        EXPECT_FALSE(Make(f, &err)) << c.want;
        EXPECT_NE(err.find(c.want), std::string::npos) << err;
    }
}

}  // namespace
