// A thread cancelled while it waits in the driver for a ring leaves nothing
// behind: no waiter that a late answer is handed to, no connection kept
// alive, no descriptor written into.
#include <dirent.h>
#include <errno.h>
#include <pthread.h>
#include <stdio.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "kpt.h"
#include "quor_io.h"
#include "zal_internal.h"
#include "test_support.h"

namespace {

std::atomic<int> g_waits_sent{0};
std::atomic<pid_t> g_waiter_tid{0};

}  // namespace

extern "C" int __real_zal_ioctl(zal_handle_t h, int request, void *record, size_t size);
extern "C" int __wrap_zal_ioctl(zal_handle_t h, int request, void *record, size_t size)
{
    if (uint32_t(request) == QUOR_KPT_WAIT) {
        g_waiter_tid = gettid();
        g_waits_sent++;
    }
    return __real_zal_ioctl(h, request, record, size);
}

namespace {

using kpttest::BinPath;
using kpttest::RunProgram;

int OpenFds()
{
    int n = 0;
    DIR *d = opendir("/proc/self/fd");
    while (struct dirent *e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1; /* the directory's own descriptor */
}

// True once the thread sleeps in the kernel (its wait) for a while.
bool ThreadSleeps(pid_t tid)
{
    for (int i = 0; i < 2000; ++i) {
        std::string st = kpttest::ReadFile("/proc/self/task/" + std::to_string(tid) + "/stat");
        size_t rp = st.rfind(')');
        if (rp != std::string::npos && rp + 2 < st.size() && st[rp + 2] == 'S') return true;
        usleep(1000);
    }
    return false;
}

void *BlockedReceiver(void *arg)
{
    kpt_recv_req req;
    kpt_ring_recv(static_cast<kpt_ring_t>(arg), -1, &req);
    return nullptr;
}

TEST(ZalCancel, CancelledWaitLeavesNoWaiterNoConnectionAndWritesNothing)
{
    kpttest::TempDir dir;
    kpttest::SimdProcess simd(dir.path(), {"--ports", "1"});
    ASSERT_TRUE(simd.ready());
    setenv("ZAL_DEV_DIR", dir.path().c_str(), 1);
    ASSERT_EQ(kpt_init(KPT_API_VERSION), 0);
    const int fds_before = OpenFds();

    kpt_handle_t h;
    kpt_ring_t ring;
    ASSERT_EQ(kpt_open(0, 1, nullptr, 4 << 20, 0, &h), 0);
    ASSERT_EQ(kpt_ring_open(h, &ring), 0);
    ASSERT_EQ(kpt_start(h), 0);

    pthread_t t;
    ASSERT_EQ(pthread_create(&t, nullptr, BlockedReceiver, ring), 0);
    for (int i = 0; i < 5000 && g_waits_sent == 0; ++i) usleep(1000);
    ASSERT_EQ(g_waits_sent, 1);
    ASSERT_TRUE(ThreadSleeps(g_waiter_tid));
    ASSERT_EQ(pthread_cancel(t), 0);
    void *res = nullptr;
    ASSERT_EQ(pthread_join(t, &res), 0);
    EXPECT_EQ(res, PTHREAD_CANCELED);

    // Files opened now take the numbers the dead thread gave up, its
    // wake-up descriptor among them.
    int files[8];
    for (int &f : files) f = memfd_create("victim", MFD_CLOEXEC);

    // The wait is answered late (a frame arrives); the next request on the
    // ring's connection reads that answer first.
    std::string frame(120, '0');
    auto sent = RunProgram({BinPath("quor_simctl"), "--dir", dir.path(), "send", "0", frame});
    ASSERT_EQ(sent.status, 0) << sent.err;
    kpt_recv_req req;
    int rc = kpt_ring_recv(ring, 1000, &req);
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(req.length, 60u);
    EXPECT_EQ(kpt_ring_recv(ring, 50, &req), EAGAIN);

    for (int f : files) {
        struct stat st;
        ASSERT_EQ(fstat(f, &st), 0);
        EXPECT_EQ(st.st_size, 0) << "a late answer was written into descriptor " << f;
        close(f);
    }

    EXPECT_EQ(kpt_stop(h), 0);
    EXPECT_EQ(kpt_ring_close(ring), 0);
    EXPECT_EQ(kpt_close(h), 0);
    // The thread's connection reference went with it: closing the ring
    // released its socket and board memory descriptors.
    EXPECT_EQ(OpenFds(), fds_before);
}

}  // namespace
