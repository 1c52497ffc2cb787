// kpt_dump's pcapng writer on its own: the buffers it fills go to the file
// from a thread of their own, so order, completeness and the reuse of a
// buffer only after its write are what can go wrong; and a failing file
// must be reported, not wait forever.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <thread>

#include "dump_files.h"
#include "pcapng_writer.h"

namespace {

using namespace kpttest;
using namespace kptdump;

const std::vector<IfaceDesc> kIfaces = {IfaceDesc{"quor0", {}, false, 262144, 0, ""}};

// Frame i: a length that varies from 60 to 1514 bytes and bytes that say i.
Bytes frame(uint32_t i)
{
    Bytes b(60 + (i * 97) % 1455);
    for (size_t k = 0; k < b.size(); ++k) b[k] = uint8_t(i * 31 + k);
    return b;
}

TEST(PcapngWriter, ASlowReaderGetsEveryFrameInOrderThroughTwoSmallBuffers)
{
    // A pipe of one page behind two 64 KiB buffers: the capturing side runs
    // far ahead of the file and must wait for a buffer, not reuse one
    // whose write is still going on.
    signal(SIGPIPE, SIG_IGN);
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    fcntl(p[1], F_SETPIPE_SZ, 4096);
    std::vector<PcapPacket> got;
    std::string err;
    std::thread reader([&] {
        got = ReadWithLibpcap("/dev/fd/" + std::to_string(p[0]), &err);
        close(p[0]); // a reader that gives up early fails the writer, not hangs it
    });

    constexpr uint32_t kFrames = 20000;
    const uint64_t t0 = 1'700'000'000'123'456'789ull;
    {
        PcapngWriter w(64u << 10, 2);
        w.begin(p[1], true, SectionInfo{"test", "", ""}, kIfaces);
        for (uint32_t i = 0; i < kFrames; ++i) {
            Bytes f = frame(i);
            w.packet(0, t0 + i * 1001ull, f.data(), uint32_t(f.size()), uint32_t(f.size()));
        }
        w.stats(0, IfaceStats{});
        EXPECT_EQ(w.close(), 0);
        EXPECT_FALSE(w.active());
    }
    reader.join();
    ASSERT_EQ(err, "");
    ASSERT_EQ(got.size(), kFrames);
    for (uint32_t i = 0; i < kFrames; ++i) {
        ASSERT_EQ(got[i].data, frame(i)) << "frame " << i;
        ASSERT_EQ(got[i].ts_ns, t0 + i * 1001ull) << "frame " << i;
    }
}

// Every packet block as the format lays it out, whatever the frame's
// length: the fixed fields, the frame, zero padding to 32 bits and the
// closing length.  Short frames take their own copy path, and the buffers
// come round again holding older bytes, which must not show in the padding.
TEST(PcapngWriter, PacketBlocksHoldTheFrameAndZeroPaddingAtEveryLength)
{
    std::string path = testing::TempDir() + "pcapng_writer_blocks.pcapng";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    struct Sent {
        uint32_t caplen, orig;
        uint64_t ts;
    };
    std::vector<Sent> sent;
    Bytes src(1600);
    {
        PcapngWriter w(64u << 10, 2);
        w.begin(fd, true, SectionInfo{}, kIfaces);
        for (uint32_t lap = 0; lap < 12; ++lap) {
            for (uint32_t len = 0; len <= 130; ++len) {
                // Bytes never zero, so that stale ones would show.
                for (size_t k = 0; k < src.size(); ++k) src[k] = uint8_t(0x80 | (lap + len + k));
                uint32_t orig = len + (len % 3 == 0 ? 7 : 0); // some of them snapped
                uint64_t ts = 0x123456789abull * (lap + 1) + len;
                w.packet(0, ts, src.data(), len, orig);
                sent.push_back({len, orig, ts});
            }
            for (size_t k = 0; k < src.size(); ++k) src[k] = uint8_t(0x80 | (lap + 1514 + k));
            w.packet(0, lap, src.data(), 1514, 1514);
            sent.push_back({1514, 1514, lap});
        }
        ASSERT_EQ(w.close(), 0);
    }
    const std::string f = ReadFile(path);
    auto u32 = [&](size_t at) {
        uint32_t v;
        memcpy(&v, f.data() + at, 4);
        return v;
    };
    size_t at = 0, k = 0;
    while (at + 12 <= f.size() && k < sent.size()) {
        const uint32_t type = u32(at), total = u32(at + 4);
        ASSERT_EQ(total % 4, 0u);
        ASSERT_LE(at + total, f.size());
        ASSERT_EQ(u32(at + total - 4), total) << "block at " << at;
        if (type == ng::kEPB) {
            const Sent &e = sent[k++];
            SCOPED_TRACE(testing::Message() << "frame " << k - 1 << ", " << e.caplen << " bytes");
            const uint32_t padded = (e.caplen + 3) & ~3u;
            ASSERT_EQ(total, 32 + padded);
            EXPECT_EQ(u32(at + 8), 0u);
            EXPECT_EQ((uint64_t(u32(at + 12)) << 32) | u32(at + 16), e.ts);
            EXPECT_EQ(u32(at + 20), e.caplen);
            EXPECT_EQ(u32(at + 24), e.orig);
            const uint32_t lap = uint32_t(k - 1) / 132;
            for (uint32_t b = 0; b < padded; ++b) {
                const uint8_t want = b < e.caplen ? uint8_t(0x80 | (lap + e.caplen + b)) : 0;
                ASSERT_EQ(uint8_t(f[at + 28 + b]), want) << "byte " << b;
            }
        }
        at += total;
    }
    EXPECT_EQ(k, sent.size());
    EXPECT_EQ(at, f.size());
    unlink(path.c_str());
}

TEST(PcapngWriter, AFailingFileIsReportedAndTheNextFileStartsClean)
{
    signal(SIGPIPE, SIG_IGN);
    Bytes f = frame(7);
    // A full device and a pipe nobody reads any more: every buffer's write
    // fails; filling many buffers' worth must neither hang nor pass as written.
    int p[2];
    ASSERT_EQ(pipe2(p, O_CLOEXEC), 0);
    close(p[0]);
    struct Case {
        int fd;
        int want;
    } cases[] = {{open("/dev/full", O_WRONLY | O_CLOEXEC), ENOSPC}, {p[1], EPIPE}};
    PcapngWriter w(64u << 10, 2);
    for (const Case &c : cases) {
        ASSERT_GE(c.fd, 0);
        w.begin(c.fd, true, SectionInfo{}, kIfaces);
        for (int i = 0; i < 5000; ++i) w.packet(0, uint64_t(i), f.data(), uint32_t(f.size()), uint32_t(f.size()));
        EXPECT_EQ(w.close(), c.want);
        EXPECT_EQ(w.error(), c.want);
    }

    // The same writer on a good file afterwards: no error carried over, all there.
    std::string path = testing::TempDir() + "pcapng_writer_after_error.pcapng";
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ASSERT_GE(fd, 0);
    w.begin(fd, true, SectionInfo{}, kIfaces);
    EXPECT_EQ(w.error(), 0);
    for (int i = 0; i < 3000; ++i) w.packet(0, uint64_t(i), f.data(), uint32_t(f.size()), uint32_t(f.size()));
    ASSERT_EQ(w.close(), 0);
    std::string err;
    auto got = ReadWithLibpcap(path, &err);
    EXPECT_EQ(err, "");
    EXPECT_EQ(got.size(), 3000u);
    unlink(path.c_str());
}

// A preallocated file is reserved whole in the writer's idle time (in
// steps, the last one included), and cut back to its content when it
// closes, whether it ends short of the reserve or past it; the data drained
// before the close is in the file at once, and the filter is recorded per
// interface.
TEST(PcapngWriter, PreallocatedFilesEndAtTheirContent)
{
    std::string path = testing::TempDir() + "pcapng_writer_prealloc.pcapng";
    std::vector<IfaceDesc> ifs = kIfaces;
    ifs[0].filter = "udp and dst port 9";
    Bytes f = frame(3);
    PcapngWriter w(64u << 10, 2);
    const struct {
        uint32_t frames;
        uint64_t reserve;
    } cases[] = {{10, 1u << 20}, {3000, 1u << 20}, {10, (40u << 20) + 4096}};
    for (const auto &c : cases) {
        const uint32_t frames = c.frames;
        SCOPED_TRACE(frames);
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        w.begin(fd, true, SectionInfo{}, ifs, c.reserve);
        w.drain();
        struct stat st;
        for (int t = 0; t < 2000 && stat(path.c_str(), &st) == 0 && uint64_t(st.st_size) < c.reserve; ++t)
            usleep(1000);
        EXPECT_EQ(uint64_t(st.st_size), c.reserve) << "reserved whole while the writer is idle";
        for (uint32_t i = 0; i < frames; ++i)
            w.packet(0, i, f.data(), uint32_t(f.size()), uint32_t(f.size()));
        w.drain();
        // What was drained reaches the file without a close.
        for (int t = 0; t < 2000 && ReadBlocks(path).packets.size() < frames; ++t) usleep(1000);
        EXPECT_EQ(ReadBlocks(path).packets.size(), frames);
        w.stats(0, IfaceStats{});
        uint64_t bytes = w.file_bytes();
        ASSERT_EQ(w.close(), 0);
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(uint64_t(st.st_size), bytes);
        NgFile ng = ReadBlocks(path);
        EXPECT_EQ(ng.error, "");
        EXPECT_EQ(ng.packets.size(), frames);
        EXPECT_EQ(ng.stats.size(), 1u);
        ASSERT_EQ(ng.ifaces.size(), 1u);
        EXPECT_EQ(ng.ifaces[0].filter, "udp and dst port 9");
    }
    unlink(path.c_str());
}

}  // namespace
