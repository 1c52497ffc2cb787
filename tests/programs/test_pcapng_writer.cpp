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

// A preallocated file is cut back to its content when it closes, whether
// it ends short of the reserve or past it; the data drained before the
// close is in the file at once, and the filter is recorded per interface.
TEST(PcapngWriter, PreallocatedFilesEndAtTheirContent)
{
    std::string path = testing::TempDir() + "pcapng_writer_prealloc.pcapng";
    std::vector<IfaceDesc> ifs = kIfaces;
    ifs[0].filter = "udp and dst port 9";
    Bytes f = frame(3);
    PcapngWriter w(64u << 10, 2);
    for (uint32_t frames : {10u, 3000u}) {
        SCOPED_TRACE(frames);
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        ASSERT_GE(fd, 0);
        w.begin(fd, true, SectionInfo{}, ifs, 1u << 20);
        w.drain();
        for (uint32_t i = 0; i < frames; ++i)
            w.packet(0, i, f.data(), uint32_t(f.size()), uint32_t(f.size()));
        w.drain();
        // What was drained reaches the file without a close.
        for (int t = 0; t < 2000 && ReadBlocks(path).packets.size() < frames; ++t) usleep(1000);
        EXPECT_EQ(ReadBlocks(path).packets.size(), frames);
        w.stats(0, IfaceStats{});
        uint64_t bytes = w.file_bytes();
        ASSERT_EQ(w.close(), 0);
        struct stat st;
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
