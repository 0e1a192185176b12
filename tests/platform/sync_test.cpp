// Events, the timed lock, threads and the tick/local-time seam.
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/sync.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>

using namespace plat;

namespace {

// Generous: the machine may be loaded, so only lower bounds are checked
// tightly and upper bounds are far.
constexpr auto kSlack = std::chrono::seconds(20);

std::int64_t ElapsedMs(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() -
                                                                 since)
        .count();
}

TEST(Events, ManualResetStaysSetUntilReset) {
    Event e;
    ASSERT_EQ(EventCreate(&e, true, true), 0u);
    EXPECT_EQ(EventWait(&e, 0), WaitResult::kSignalled);
    EXPECT_EQ(EventWait(&e, 0), WaitResult::kSignalled);
    EXPECT_EQ(EventReset(&e), 0u);
    EXPECT_EQ(EventWait(&e, 0), WaitResult::kTimedOut);
    EXPECT_EQ(LastError(), kErrWaitTimeout);
    EventSet(&e);
    EXPECT_TRUE(EventIsSet(&e));
    EXPECT_EQ(EventWait(&e, 0), WaitResult::kSignalled);
    EventClose(&e);
}

TEST(Events, AutoResetLetsOneWaiterThrough) {
    Event e;
    ASSERT_EQ(EventCreate(&e, false, true), 0u);
    EXPECT_EQ(EventWait(&e, 0), WaitResult::kSignalled);
    EXPECT_EQ(EventWait(&e, 0), WaitResult::kTimedOut);

    std::atomic<int> passed{0};
    auto waiter = [](void* p) -> std::uint32_t {
        auto* args = static_cast<std::pair<Event*, std::atomic<int>*>*>(p);
        if (EventWait(args->first, 20000) == WaitResult::kSignalled) ++*args->second;
        return 0;
    };
    std::pair<Event*, std::atomic<int>*> args{&e, &passed};
    Thread a, b;
    ASSERT_EQ(ThreadCreate(&a, waiter, &args, 0), 0u);
    ASSERT_EQ(ThreadCreate(&b, waiter, &args, 0), 0u);
    EventSet(&e);
    // One of the two gets through; the other is still waiting.
    auto start = std::chrono::steady_clock::now();
    while (passed.load() == 0 && std::chrono::steady_clock::now() - start < kSlack) Sleep(1);
    EXPECT_EQ(passed.load(), 1);
    EXPECT_FALSE(EventIsSet(&e));
    EventSet(&e);
    EXPECT_EQ(ThreadWait(&a, 30000), WaitResult::kSignalled);
    EXPECT_EQ(ThreadWait(&b, 30000), WaitResult::kSignalled);
    EXPECT_EQ(passed.load(), 2);
    ThreadClose(&a);
    ThreadClose(&b);
    EventClose(&e);
}

TEST(Events, TimedWaitRunsOutAfterTheTimeAndWakesOnSet) {
    Event e;
    EventCreate(&e, true, false);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(EventWait(&e, 150), WaitResult::kTimedOut);
    EXPECT_GE(ElapsedMs(start), 150);

    Thread t;
    auto setter = [](void* p) -> std::uint32_t {
        Sleep(50);
        EventSet(static_cast<Event*>(p));
        return 0;
    };
    ASSERT_EQ(ThreadCreate(&t, setter, &e, 0), 0u);
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(EventWait(&e, 60000), WaitResult::kSignalled);
    EXPECT_LT(ElapsedMs(start), 30000);
    ThreadWait(&t, kInfinite);
    ThreadClose(&t);
    EventClose(&e);
}

TEST(Events, ClosedOrNeverCreatedEventsFailInsteadOfCrashing) {
    Event never;
    EXPECT_EQ(EventWait(&never, 10), WaitResult::kFailed);
    EXPECT_EQ(LastError(), kErrInvalidHandle);
    EXPECT_EQ(EventSet(&never), kErrInvalidHandle);
    EXPECT_EQ(EventClose(&never), kErrInvalidHandle);
    EXPECT_EQ(EventWait(nullptr, 0), WaitResult::kFailed);

    // A waiter blocked while the event is closed sees a failed wait.
    Event e;
    EventCreate(&e, true, false);
    std::atomic<int> result{-1};
    std::pair<Event*, std::atomic<int>*> args{&e, &result};
    Thread t;
    ASSERT_EQ(ThreadCreate(
                  &t,
                  [](void* p) -> std::uint32_t {
                      auto* a = static_cast<std::pair<Event*, std::atomic<int>*>*>(p);
                      *a->second = static_cast<int>(EventWait(a->first, kInfinite));
                      return 0;
                  },
                  &args, 0),
              0u);
    Sleep(50);
    EXPECT_EQ(EventClose(&e), 0u);
    EXPECT_EQ(ThreadWait(&t, 30000), WaitResult::kSignalled);
    EXPECT_EQ(result.load(), static_cast<int>(WaitResult::kFailed));
    ThreadClose(&t);
    // It can be created again afterwards.
    EXPECT_EQ(EventCreate(&e, true, true), 0u);
    EXPECT_EQ(EventWait(&e, 0), WaitResult::kSignalled);
    EventClose(&e);
}

TEST(TimedLocks, HeldLockTimesOutOthersAndIsNotRecursive) {
    TimedLock lock;
    EXPECT_EQ(LockAcquire(&lock, 0), WaitResult::kFailed); // not created
    ASSERT_EQ(LockCreate(&lock), 0u);
    ASSERT_EQ(LockAcquire(&lock, 0), WaitResult::kSignalled);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LockAcquire(&lock, 100), WaitResult::kTimedOut);
    EXPECT_GE(ElapsedMs(start), 100);

    std::atomic<int> got{-1};
    std::pair<TimedLock*, std::atomic<int>*> args{&lock, &got};
    Thread t;
    ThreadCreate(
        &t,
        [](void* p) -> std::uint32_t {
            auto* a = static_cast<std::pair<TimedLock*, std::atomic<int>*>*>(p);
            *a->second = static_cast<int>(LockAcquire(a->first, 30000));
            LockRelease(a->first);
            return 0;
        },
        &args, 0);
    Sleep(20);
    LockRelease(&lock);
    ThreadWait(&t, kInfinite);
    EXPECT_EQ(got.load(), static_cast<int>(WaitResult::kSignalled));
    ThreadClose(&t);
    LockClose(&lock);
    EXPECT_EQ(LockAcquire(&lock, 0), WaitResult::kFailed);
}

TEST(Threads, ExitCodesStillActiveAndThreadExit) {
    Event go;
    EventCreate(&go, true, false);
    Thread t;
    ASSERT_EQ(ThreadCreate(
                  &t,
                  [](void* p) -> std::uint32_t {
                      EventWait(static_cast<Event*>(p), kInfinite);
                      return 42;
                  },
                  &go, 10240),
              0u);
    std::uint32_t code = 0;
    ASSERT_EQ(ThreadExitCode(&t, &code), 0u);
    EXPECT_EQ(code, kStillActive);
    EXPECT_EQ(ThreadWait(&t, 50), WaitResult::kTimedOut);
    EventSet(&go);
    EXPECT_EQ(ThreadWait(&t, kInfinite), WaitResult::kSignalled);
    ThreadExitCode(&t, &code);
    EXPECT_EQ(code, 42u);
    EXPECT_EQ(ThreadClose(&t), 0u);
    EXPECT_EQ(ThreadExitCode(&t, &code), kErrInvalidHandle);

    // ThreadExit from deep inside ends the thread with its code.
    ASSERT_EQ(ThreadCreate(
                  &t, [](void*) -> std::uint32_t { ThreadExit(7); }, nullptr, 0),
              0u);
    EXPECT_EQ(ThreadWait(&t, kInfinite), WaitResult::kSignalled);
    ThreadExitCode(&t, &code);
    EXPECT_EQ(code, 7u);
    ThreadClose(&t);

    // A small stack, as the PC asked for, still holds a real routine.
    ASSERT_EQ(ThreadCreate(
                  &t,
                  [](void*) -> std::uint32_t {
                      volatile char big[100000];
                      for (std::size_t i = 0; i < sizeof big; i += 4096) big[i] = 1;
                      return big[0];
                  },
                  nullptr, 10240),
              0u);
    ThreadWait(&t, kInfinite);
    ThreadExitCode(&t, &code);
    EXPECT_EQ(code, 1u);
    ThreadClose(&t);

    EventClose(&go);

    // A thread still running when its handle is closed goes on by itself and
    // ends on its own. (Its records are static: it may outlive this test.)
    static Event release, finished;
    EventCreate(&release, true, false);
    EventCreate(&finished, true, false);
    ASSERT_EQ(ThreadCreate(
                  &t,
                  [](void*) -> std::uint32_t {
                      EventWait(&release, 30000);
                      EventSet(&finished);
                      return 0;
                  },
                  nullptr, 0),
              0u);
    EXPECT_EQ(ThreadClose(&t), 0u);
    EXPECT_EQ(ThreadWait(&t, 0), WaitResult::kFailed); // the handle is gone
    EventSet(&release);
    EXPECT_EQ(EventWait(&finished, 30000), WaitResult::kSignalled);
}

TEST(Threads, PrioritiesNeverFail) {
    EXPECT_EQ(ProcessSetRealtime(), 0u);
    EXPECT_EQ(ThreadSetPriority(nullptr, ThreadPriority::kIdle), 0u);
    Thread t;
    ThreadCreate(
        &t, [](void*) -> std::uint32_t { return 0; }, nullptr, 0);
    EXPECT_EQ(ThreadSetPriority(&t, ThreadPriority::kHighest), 0u);
    ThreadWait(&t, kInfinite);
    ThreadClose(&t);
    EXPECT_EQ(ThreadSetPriority(&t, ThreadPriority::kHighest), kErrInvalidHandle);
}

TEST(Clock, TickWrapsAndTestsDriveIt) {
    std::uint32_t a = TickCount();
    Sleep(20);
    std::uint32_t b = TickCount();
    EXPECT_GE(static_cast<std::uint32_t>(b - a), 20u);

    SetTestTick(0xFFFFFFF0u);
    EXPECT_EQ(TickCount(), 0xFFFFFFF0u);
    AdvanceTestTick(29999);
    std::uint32_t now = TickCount();
    EXPECT_EQ(now, 29999u - 16u); // wrapped
    EXPECT_EQ(static_cast<std::uint32_t>(now - 0xFFFFFFF0u), 29999u);
    AdvanceTestTick(1);
    EXPECT_EQ(static_cast<std::uint32_t>(TickCount() - 0xFFFFFFF0u), 30000u);
    ClearTestTick();
    EXPECT_NE(TickCount(), 29999u - 15u);
}

TEST(Clock, LocalTimeIsPlausibleAndTestsDriveIt) {
    LocalTime t{};
    GetLocalTime(&t);
    EXPECT_GE(t.year, 2020);
    EXPECT_GE(t.month, 1);
    EXPECT_LE(t.month, 12);
    EXPECT_LE(t.dayOfWeek, 6);
    EXPECT_LE(t.hour, 23);
    EXPECT_LE(t.second, 59);
    EXPECT_LE(t.millisecond, 999);

    LocalTime fixed{2005, 7, 1, 5, 16, 43, 16, 0};
    SetTestLocalTime(fixed);
    GetLocalTime(&t);
    EXPECT_EQ(t.year, 2005);
    EXPECT_EQ(t.dayOfWeek, 1);
    EXPECT_EQ(t.minute, 43);
    ClearTestLocalTime();
    GetLocalTime(&t);
    EXPECT_GE(t.year, 2020);
}

} // namespace
