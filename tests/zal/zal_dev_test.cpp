// Device files, driver requests and mappings of the device layer, run
// against the in-process simulated driver.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdio.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "quor_io.h"
#include "test_support.h"
#include "zal_internal.h"
#include "zal_mapkeep.h"

namespace {

constexpr uint8_t kC = QUOR_PRODUCT_KPT;

int64_t NowMs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

bool WaitFor(const std::function<bool()> &f)
{
    for (int64_t end = NowMs() + 3000; NowMs() < end; usleep(2000))
        if (f()) return true;
    return f();
}

int Req(zal_handle_t h, uint32_t request, void *rec, size_t size)
{
    return zal_ioctl(h, int(request), rec, size);
}

uint32_t BoardCount(zal_handle_t h)
{
    uint32_t n = 0xdeadbeef;
    EXPECT_EQ(Req(h, QUOR_GET_BOARD_COUNT, &n, sizeof n), 0);
    return n;
}

class ZalDevTest : public kpttest::SimTest {
protected:
    // A lost reply shows up as a hang: end the process rather than wait for
    // the runner's timeout.
    void SetUp() override { alarm(10); }
    std::string Path(const std::string &name) { return dev_.file(name); }
    zal_handle_t Open(int unit)
    {
        zal_handle_t h = -1;
        EXPECT_EQ(zal_open(unit, 0, &h, kC), 0);
        return h;
    }
};

TEST_F(ZalDevTest, OpensSimulatedUnitAndCarriesRequests)
{
    StartSim();
    zal_handle_t h = Open(1);
    ASSERT_GE(h, 0);
    EXPECT_TRUE(WaitFor([&] { return sim_->connections(1) == 1; }));

    quor_get_version_t v;
    memset(&v, 0x5a, sizeof v);
    ASSERT_EQ(Req(h, QUOR_GET_VERSION, &v, sizeof v), 0);
    EXPECT_EQ(v.driver_api_magic, uint32_t(QUOR_DRIVER_API_MAGIC));
    EXPECT_NE(memchr(v.build_str, 0, sizeof v.build_str), nullptr);
    EXPECT_EQ(BoardCount(h), 2u);

    // The driver's errors come back unchanged and leave the record alone.
    uint32_t wide[2] = {7, 7};
    EXPECT_EQ(Req(h, QUOR_GET_BOARD_COUNT, wide, sizeof wide), EINVAL);
    EXPECT_EQ(wide[0], 7u);
    EXPECT_EQ(Req(h, QUOR_IOC(QUOR_IOC_GROUP_M, 0xff), nullptr, 0), ENOTTY);

    EXPECT_EQ(zal_close(h), 0);
    EXPECT_TRUE(WaitFor([&] { return sim_->connections(1) == 0; }));
}

TEST_F(ZalDevTest, FallsBackToTheNameWithoutP)
{
    StartSim();
    // A renamed socket stays connectable: unit 0 is now only "quorC0".
    ASSERT_EQ(rename(Path("quorCp0").c_str(), Path("quorC0").c_str()), 0);
    zal_handle_t h = Open(0);
    EXPECT_EQ(BoardCount(h), 2u);
    EXPECT_EQ(zal_close(h), 0);
    ASSERT_EQ(rename(Path("quorC0").c_str(), Path("away").c_str()), 0);
    EXPECT_EQ(zal_open(0, 0, &h, kC), ENOENT);
}

TEST_F(ZalDevTest, AnyBoardClassifiesTheUnits)
{
    StartSim(); // units 0 and 1; unit 2 absent
    zal_handle_t h = -1;
    Ctl("refuse 0 EACCES");
    Ctl("refuse 1 EPERM");
    EXPECT_EQ(zal_open(0, 0, &h, kC), EACCES);
    EXPECT_EQ(zal_open_any_board(&h, kC), EACCES);
    Ctl("refuse 1 EBUSY");
    EXPECT_EQ(zal_open_any_board(&h, kC), EBUSY);

    // Unit 1 would open: these results show the scan ended at unit 0.
    Ctl("refuse 1 off");
    Ctl("refuse 0 ENODEV");
    EXPECT_EQ(zal_open_any_board(&h, kC), ENODEV);
    Ctl("refuse 0 off");
    ASSERT_EQ(rename(Path("quorCp0").c_str(), Path("away").c_str()), 0);
    EXPECT_EQ(zal_open_any_board(&h, kC), ENOENT);

    // A unit refused as busy does not end the scan: the next one wins.
    ASSERT_EQ(rename(Path("away").c_str(), Path("quorCp0").c_str()), 0);
    Ctl("refuse 0 EBUSY");
    ASSERT_EQ(zal_open_any_board(&h, kC), 0);
    EXPECT_TRUE(WaitFor([&] { return sim_->connections(1) == 1; }));
    EXPECT_EQ(zal_close(h), 0);

    EXPECT_EQ(zal_open(0, 0, &h, 26), EINVAL);
    EXPECT_EQ(zal_open_any_board(&h, 26), EBUSY);
}

TEST_F(ZalDevTest, SocketWithoutServerIsNoDevice)
{
    setenv("ZAL_DEV_DIR", dev_.path().c_str(), 1);
    int s = socket(AF_UNIX, SOCK_SEQPACKET, 0);
    struct sockaddr_un sa = {};
    sa.sun_family = AF_UNIX;
    snprintf(sa.sun_path, sizeof sa.sun_path, "%s", Path("quorCp0").c_str());
    ASSERT_EQ(bind(s, reinterpret_cast<struct sockaddr *>(&sa), sizeof sa), 0); // never listens
    zal_handle_t h = -1;
    EXPECT_EQ(zal_open(0, 0, &h, kC), ENODEV);
    close(s);
    EXPECT_EQ(zal_open_any_board(&h, kC), ENODEV);
}

TEST_F(ZalDevTest, ReusedDescriptorOfAPlainFileUsesTheSystemCalls)
{
    StartSim();
    // Unit 1 is a plain file, opened on the descriptor number of a
    // simulator connection closed behind the layer's back.
    ASSERT_EQ(rename(Path("quorCp1").c_str(), Path("away").c_str()), 0);
    int fd = open(Path("quorCp1").c_str(), O_CREAT | O_RDWR, 0600);
    ASSERT_EQ(ftruncate(fd, 8192), 0);
    close(fd);
    // The simulator's threads may take the freed number for a moment (they
    // read /proc): then the next attempt.
    zal_handle_t sim_h = -1, h = -1;
    for (int i = 0; i < 20 && (h < 0 || h != sim_h); ++i) {
        if (h >= 0) {
            EXPECT_EQ(zal_close(h), 0);
        }
        sim_h = Open(0);
        close(sim_h);
        h = Open(1);
    }
    ASSERT_EQ(h, sim_h) << "the lowest free descriptor is expected to be reused";
    uint32_t n = 0;
    EXPECT_EQ(Req(h, QUOR_GET_BOARD_COUNT, &n, sizeof n), ENOTTY);
    void *p = zal_mmap(nullptr, 4096, h, 4096, 0);
    ASSERT_NE(p, MAP_FAILED) << strerror(errno);
    EXPECT_EQ(zal_munmap(p, 4096), 0);
    EXPECT_EQ(zal_close(h), 0);
    EXPECT_TRUE(WaitFor([&] { return sim_->connections(0) == 0; })) << "stale connection kept";
}

void NoopHandler(int) {}

TEST_F(ZalDevTest, SignalInterruptsOneWaiterAndItsLateReplyIsDropped)
{
    StartSim();
    struct sigaction sa = {}; // no SA_RESTART: the signal interrupts the wait
    sa.sa_handler = NoopHandler;
    ASSERT_EQ(sigaction(SIGUSR1, &sa, nullptr), 0);
    zal_handle_t h = Open(0);
    Ctl("timesource 0 5");
    Ctl("delay 0 250");

    const int kThreads = 3;
    int rc[kThreads];
    uint32_t val[kThreads];
    std::atomic<pthread_t> victim{};
    std::vector<std::thread> ts;
    int64_t t0 = NowMs();
    for (int t = 0; t < kThreads; ++t) {
        ts.emplace_back([&, t] {
            if (t == 0) victim = pthread_self();
            val[t] = 0;
            rc[t] = Req(h, QUOR_GET_TIMESOURCE, &val[t], sizeof val[t]);
        });
    }
    usleep(80000); // all are waiting now
    pthread_kill(victim.load(), SIGUSR1);
    ts[0].join();
    EXPECT_EQ(rc[0], EINTR);
    EXPECT_LT(NowMs() - t0, 240) << "the wait was not interrupted";

    // Sent now, this request's reply comes after the interrupted one's (a
    // time source, 5): that one must be dropped, not taken for the count.
    EXPECT_EQ(BoardCount(h), 2u);
    for (int t = 1; t < kThreads; ++t) {
        ts[t].join();
        EXPECT_EQ(rc[t], 0);
        EXPECT_EQ(val[t], 5u);
    }
    EXPECT_EQ(zal_close(h), 0);
}

TEST_F(ZalDevTest, ThreadsSharingADescriptorGetTheirOwnReplies)
{
    opts_.ports = 4;
    StartSim();
    for (int u = 0; u < 4; ++u) Ctl("timesource " + std::to_string(u) + " " + std::to_string(u + 2));
    zal_handle_t h = Open(0);
    uint64_t nic[4];
    for (uint32_t b = 0; b < 4; ++b) {
        quor_get_nic_id_t id = {b, 0, 0};
        ASSERT_EQ(Req(h, QUOR_GET_NIC_ID, &id, sizeof id), 0);
        nic[b] = id.nic_id;
    }
    // Delayed replies keep the threads waiting together, so most replies are
    // read by a thread they do not belong to; then a burst without delay.
    // Release synchronisations among them are sent and not waited for (this
    // descriptor has no ring: the driver refuses them, and nobody is told).
    for (int delay : {15, 0}) {
        Ctl("delay 0 " + std::to_string(delay));
        std::atomic<int> bad{0};
        std::vector<std::thread> ts;
        for (int t = 0; t < 6; ++t) {
            ts.emplace_back([&, t] {
                for (int r = 0; r < (delay ? 6 : 300); ++r) {
                    uint32_t b = uint32_t(t + r) % 4;
                    if ((t + r) % 5 == 4) {
                        kpt__rx_sync sync = {};
                        if (Req(h, QUOR_KPT_RX_SYNC, &sync, sizeof sync)) bad++;
                    } else if ((t + r) % 2) {
                        quor_get_nic_id_t id = {b, 0, 0};
                        if (Req(h, QUOR_GET_NIC_ID, &id, sizeof id) || id.nic_id != nic[b]) bad++;
                    } else {
                        uint32_t v = b;
                        if (Req(h, QUOR_GET_TIMESOURCE, &v, sizeof v) || v != b + 2) bad++;
                    }
                }
            });
        }
        for (auto &t : ts) t.join();
        EXPECT_EQ(bad.load(), 0) << "delay " << delay;
    }
    EXPECT_EQ(zal_close(h), 0);
}

TEST_F(ZalDevTest, CloseWaitsForRequestsInFlightAndHangUpEndsThem)
{
    StartSim();
    zal_handle_t h = Open(0), other = Open(1);
    Ctl("delay 0 200");
    Ctl("delay 1 5000");
    int rc = -1, rc_other = -1;
    uint32_t n = 0, m = 0;
    std::thread a([&] { rc = Req(h, QUOR_GET_BOARD_COUNT, &n, sizeof n); });
    std::thread b([&] { rc_other = Req(other, QUOR_GET_BOARD_COUNT, &m, sizeof m); });
    usleep(50000);
    // The caller's descriptor goes at once; the request in flight completes,
    // as on a device file the kernel keeps until its ioctl returns.
    EXPECT_EQ(zal_close(h), 0);
    EXPECT_EQ(fcntl(h, F_GETFD), -1);
    a.join();
    EXPECT_EQ(rc, 0);
    EXPECT_EQ(n, 2u);
    EXPECT_TRUE(WaitFor([&] { return sim_->connections(0) == 0; }));

    // A simulator that goes away ends waiting and later requests alike.
    sim_->stop();
    b.join();
    EXPECT_EQ(rc_other, ENXIO);
    EXPECT_EQ(Req(other, QUOR_GET_BOARD_COUNT, &m, sizeof m), ENXIO);
    EXPECT_EQ(zal_close(other), 0);
}

// Permissions column of /proc/self/maps for the mapping at p ("rw-s"...).
std::string MapPerms(void *p)
{
    std::string maps = "\n" + kpttest::ReadFile("/proc/self/maps");
    char key[32];
    snprintf(key, sizeof key, "\n%lx-", (unsigned long)uintptr_t(p));
    size_t at = maps.find(key);
    return at == std::string::npos ? "" : maps.substr(maps.find(' ', at) + 1, 4);
}

// A descriptor maps the regions of its own endpoint, and only those: the
// unit's other descriptors cannot reach them.
TEST_F(ZalDevTest, MapsTheCallersOwnRegions)
{
    StartSim();
    zal_handle_t a = Open(0), b = Open(0);
    errno = 0;
    EXPECT_EQ(zal_mmap(nullptr, 4096, a, 1 << 20, 0), MAP_FAILED) << "no endpoint, no region";
    EXPECT_EQ(errno, EACCES);
    quor_kpt_tx_params_t tx = {};
    tx.set_endpt = {0, QUOR_ES_KPT_TX};
    ASSERT_EQ(Req(a, QUOR_SET_ENDPOINT, &tx, sizeof tx), 0);
    const uintptr_t off = tx.tx_data_ring_offset;
    void *w = zal_mmap(nullptr, 8192, a, off, 0);
    ASSERT_NE(w, MAP_FAILED) << strerror(errno);
    EXPECT_EQ(MapPerms(w), "rw-s");
    memcpy(static_cast<char *>(w) + 4096, "arena", 6);

    // A second mapping of the same memory, read-only here.
    void *r = zal_mmap(nullptr, 4096, a, off + 4096, 1);
    ASSERT_NE(r, MAP_FAILED) << strerror(errno);
    EXPECT_EQ(MapPerms(r), "r--s");
    errno = 0;
    EXPECT_EQ(zal_mmap(nullptr, 4096, b, off + 4096, 1), MAP_FAILED) << "another client's ring";
    EXPECT_EQ(errno, EACCES);

    // Nothing past the region or beyond the arena, however the sum would wrap.
    errno = 0;
    EXPECT_EQ(zal_mmap(nullptr, tx.tx_data_ring_size + 4096, a, off, 0), MAP_FAILED);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(zal_mmap(nullptr, 4096, a, uintptr_t(1) << 50, 0), MAP_FAILED);
    EXPECT_EQ(errno, EINVAL);
    errno = 0;
    EXPECT_EQ(zal_mmap(nullptr, SIZE_MAX - 4095, a, 4096, 0), MAP_FAILED);
    EXPECT_EQ(errno, EINVAL);

    EXPECT_EQ(zal_close(a), 0);
    EXPECT_STREQ(static_cast<const char *>(r), "arena") << "mappings outlive the descriptor";
    EXPECT_EQ(zal_munmap(r, 4096), 0);
    EXPECT_EQ(zal_munmap(w, 8192), 0);
    EXPECT_EQ(zal_close(b), 0);
}

// A large mapping released is kept, page tables and all, and serves the next
// mapping of that same memory; any other memory, or the same with other
// rights, is mapped afresh.
TEST_F(ZalDevTest, ReleasedRingMappingServesTheSameMemoryAlone)
{
    StartSim();
    zal_handle_t a = Open(0), b = Open(1);
    quor_kpt_tx_params_t ta = {}, tb = {};
    ta.set_endpt = {0, QUOR_ES_KPT_TX};
    tb.set_endpt = {0, QUOR_ES_KPT_TX};
    ASSERT_EQ(Req(a, QUOR_SET_ENDPOINT, &ta, sizeof ta), 0);
    ASSERT_EQ(Req(b, QUOR_SET_ENDPOINT, &tb, sizeof tb), 0);
    const size_t len = ta.tx_data_ring_size;
    ASSERT_GE(len, size_t(1) << 20);
    const size_t before = zal__mapkeep_kept();

    void *w = zal_mmap(nullptr, len, a, ta.tx_data_ring_offset, 0);
    ASSERT_NE(w, MAP_FAILED) << strerror(errno);
    strcpy(static_cast<char *>(w), "ring a");
    EXPECT_EQ(zal_munmap(w, len), 0);
    EXPECT_EQ(zal__mapkeep_kept(), before + len);
    EXPECT_EQ(MapPerms(w), "rw-s") << "kept mapped";

    EXPECT_EQ(zal_mmap(nullptr, len, a, ta.tx_data_ring_offset, 0), w);
    EXPECT_EQ(zal__mapkeep_kept(), before);
    EXPECT_STREQ(static_cast<const char *>(w), "ring a");
    EXPECT_EQ(zal_munmap(w, len), 0);

    void *r = zal_mmap(nullptr, len, a, ta.tx_data_ring_offset, 1);
    ASSERT_NE(r, MAP_FAILED);
    EXPECT_NE(r, w) << "read-only is not the kept writable mapping";
    EXPECT_EQ(MapPerms(r), "r--s");
    void *o = zal_mmap(nullptr, len, b, tb.tx_data_ring_offset, 0);
    ASSERT_NE(o, MAP_FAILED);
    EXPECT_NE(o, w) << "another client's ring is other memory";
    EXPECT_STRNE(static_cast<const char *>(o), "ring a");
    // A part of a mapping goes at once and is forgotten.
    EXPECT_EQ(zal_munmap(o, 4096), 0);
    EXPECT_EQ(zal_munmap(static_cast<char *>(o) + 4096, len - 4096), 0);
    EXPECT_EQ(zal_munmap(r, len), 0);
    EXPECT_EQ(zal__mapkeep_kept(), before + 2 * len);
    EXPECT_EQ(zal_close(a), 0);
    EXPECT_EQ(zal_close(b), 0);
}

} // namespace

namespace {

// Kept mappings never hold more than the driver keeps: the oldest go first,
// unmapped; what is taken again leaves the count.
TEST(ZalMapKeep, KeptBytesStayWithinTheDriversKeepOldestFirst)
{
    zal__mapkeep_flush();
    const size_t len = 200u << 20; // three of them pass the 512 MiB kept
    void *m[3];
    for (int i = 0; i < 3; ++i) {
        m[i] = mmap(nullptr, len, PROT_READ, MAP_PRIVATE | MAP_ANONYMOUS | MAP_NORESERVE, -1, 0);
        ASSERT_NE(m[i], MAP_FAILED);
        const zal__map_key key = {1, 1000u + uint64_t(i), 0, PROT_READ};
        zal__mapkeep_note(m[i], len, &key);
    }
    for (int i = 0; i < 3; ++i) EXPECT_EQ(zal_munmap(m[i], len), 0);
    EXPECT_EQ(zal__mapkeep_kept(), 2 * len);
    EXPECT_EQ(MapPerms(m[0]), "") << "the oldest was unmapped";
    EXPECT_EQ(MapPerms(m[2]), "r--p") << "the newest is kept mapped";
    const zal__map_key k2 = {1, 1002, 0, PROT_READ}, other = {1, 1002, 4096, PROT_READ};
    EXPECT_EQ(zal__mapkeep_take(&other, len), nullptr) << "another range of the same file";
    EXPECT_EQ(zal__mapkeep_take(&k2, len), m[2]);
    EXPECT_EQ(zal__mapkeep_kept(), len);
    zal__mapkeep_flush();
    EXPECT_EQ(zal__mapkeep_kept(), 0u);
    EXPECT_EQ(MapPerms(m[1]), "");
    EXPECT_EQ(zal_munmap(m[2], len), 0);
    zal__mapkeep_flush();
}

} // namespace
