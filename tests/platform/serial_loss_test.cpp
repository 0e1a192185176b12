// A serial line that goes away, told apart from a silent one, and the CPU
// time guard of real-time threads: neither may leave a thread spinning.
#include "platform/errors.h"
#include "platform/pty.h"
#include "platform/rtlimit.h"
#include "platform/serial.h"
#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <sched.h>
#include <unistd.h>

using namespace plat;

namespace {

std::int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::int64_t ThreadCpuMs() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

TEST(SerialLoss, SilenceAByteAndAHangUpAreToldApartWithoutSpinning) {
    platform::PtyPair pty;
    ASSERT_EQ(platform::pty_create(pty, nullptr), 0);
    SerialHandle h = kNoSerial;
    ASSERT_EQ(SerialOpen(pty.slave_name, &h), 0u);
    ASSERT_EQ(SerialSetupLine(h), 0u);
    std::uint8_t b = 0;
    std::uint32_t got = 9;
    EXPECT_EQ(SerialReadByte(h, &b, 30, &got), 0u);
    EXPECT_EQ(got, 0u);
    ASSERT_EQ(::write(pty.master, "A", 1), 1);
    EXPECT_EQ(SerialReadByte(h, &b, 2000, &got), 0u);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(b, 'A');

    // The other side closes: every read reports the hang-up, after its
    // time-out, asleep (a spinning read would take about its whole time).
    ::close(pty.master);
    pty.master = -1;
    for (int i = 0; i < 3; ++i) {
        const std::int64_t start = NowMs();
        const std::int64_t cpu = ThreadCpuMs();
        EXPECT_EQ(SerialReadByte(h, &b, 300, &got), kErrDeviceNotConnected);
        EXPECT_EQ(got, 0u);
        EXPECT_GE(NowMs() - start, 290);
        EXPECT_LT(ThreadCpuMs() - cpu, 100);
    }
    // Writing to it fails at once instead of waiting for room.
    EXPECT_NE(SerialWrite(h, "x", 1), 0u);
    EXPECT_EQ(SerialClose(h), 0u);
    platform::pty_release(pty);
}

struct Spinner {
    std::atomic<bool> go{false};
    std::atomic<int> startPolicy{-1};
    std::atomic<int> endPolicy{-1};
    std::atomic<std::int64_t> spunMs{-1};
};

std::uint32_t Spin(void* arg) {
    auto* s = static_cast<Spinner*>(arg);
    while (!s->go.load()) Sleep(1);
    s->startPolicy = sched_getscheduler(0);
    const std::int64_t start = NowMs();
    // Runs without blocking until the guard drops it, or 2.5 s (the hard
    // limit, which ends the process, lies at 3 s of CPU).
    while (sched_getscheduler(0) == SCHED_FIFO && NowMs() - start < 2500) {
    }
    s->spunMs = NowMs() - start;
    s->endPolicy = sched_getscheduler(0);
    return 0;
}

TEST(RealtimeGuard, AThreadThatSpinsAtRealTimeDropsToNormalPriority) {
    Spinner s;
    Thread t;
    ASSERT_EQ(ThreadCreate(&t, Spin, &s, 0), 0u);
    ThreadSetPriority(&t, ThreadPriority::kHighest);
    const std::uint32_t drops = RealtimeLimitDrops();
    s.go = true;
    ASSERT_EQ(ThreadWait(&t, 30000), WaitResult::kSignalled);
    ThreadClose(&t);
    if (s.startPolicy.load() != SCHED_FIFO) GTEST_SKIP() << "no real-time scheduling here";
    EXPECT_EQ(s.endPolicy.load(), SCHED_OTHER);
    EXPECT_EQ(RealtimeLimitDrops(), drops + 1);
    EXPECT_LT(s.spunMs.load(), 2500);
}

} // namespace
