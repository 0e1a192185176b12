// Events, timed lock, threads and sleep over the C++ and POSIX thread calls.
#include "platform/sync.h"

#include "platform/errors.h"
#include "platform/faults.h"
#include "platform/rtlimit.h"

#include <cerrno>
#include <chrono>
#include <pthread.h>
#include <sched.h>
#include <time.h>

namespace plat {

namespace {

using Clock = std::chrono::steady_clock;

WaitResult TimedOut() {
    SetLastError(kErrWaitTimeout);
    return WaitResult::kTimedOut;
}

WaitResult Failed() {
    SetLastError(kErrInvalidHandle);
    return WaitResult::kFailed;
}

} // namespace

// ---- events ----

std::uint32_t EventCreate(Event* event, bool manualReset, bool initiallySet) {
    if (event == nullptr) return Fail(kErrInvalidParameter);
    std::lock_guard<std::mutex> g(event->mutex);
    event->created = true;
    event->manualReset = manualReset;
    event->signalled = initiallySet;
    return kErrSuccess;
}

std::uint32_t EventSet(Event* event) {
    if (event == nullptr) return Fail(kErrInvalidHandle);
    {
        std::lock_guard<std::mutex> g(event->mutex);
        if (!event->created) return Fail(kErrInvalidHandle);
        event->signalled = true;
    }
    if (event->manualReset)
        event->cv.notify_all();
    else
        event->cv.notify_one();
    return kErrSuccess;
}

std::uint32_t EventReset(Event* event) {
    if (event == nullptr) return Fail(kErrInvalidHandle);
    std::lock_guard<std::mutex> g(event->mutex);
    if (!event->created) return Fail(kErrInvalidHandle);
    event->signalled = false;
    return kErrSuccess;
}

WaitResult EventWait(Event* event, std::uint32_t timeoutMs) {
    if (event == nullptr) return Failed();
    std::unique_lock<std::mutex> g(event->mutex);
    if (!event->created) return Failed();
    const std::uint64_t generation = event->generation;
    auto ready = [&] { return event->signalled || event->generation != generation; };
    if (timeoutMs == kInfinite) {
        event->cv.wait(g, ready);
    } else if (!ready()) {
        event->cv.wait_until(g, Clock::now() + std::chrono::milliseconds(timeoutMs), ready);
    }
    if (event->generation != generation || !event->created) return Failed();
    if (!event->signalled) return TimedOut();
    if (!event->manualReset) event->signalled = false;
    return WaitResult::kSignalled;
}

bool EventIsSet(Event* event) {
    if (event == nullptr) return false;
    std::lock_guard<std::mutex> g(event->mutex);
    return event->created && event->signalled;
}

std::uint32_t EventClose(Event* event) {
    if (event == nullptr) return Fail(kErrInvalidHandle);
    {
        std::lock_guard<std::mutex> g(event->mutex);
        if (!event->created) return Fail(kErrInvalidHandle);
        event->created = false;
        event->signalled = false;
        ++event->generation;
    }
    event->cv.notify_all();
    return kErrSuccess;
}

// ---- the timed lock ----

std::uint32_t LockCreate(TimedLock* lock) {
    if (lock == nullptr) return Fail(kErrInvalidParameter);
    lock->created = true;
    return kErrSuccess;
}

WaitResult LockAcquire(TimedLock* lock, std::uint32_t timeoutMs) {
    if (lock == nullptr || !lock->created) return Failed();
    if (timeoutMs == kInfinite) {
        lock->mutex.lock();
    } else if (!lock->mutex.try_lock_for(std::chrono::milliseconds(timeoutMs))) {
        return TimedOut();
    }
    if (!lock->created) {
        lock->mutex.unlock();
        return Failed();
    }
    return WaitResult::kSignalled;
}

std::uint32_t LockRelease(TimedLock* lock) {
    if (lock == nullptr || !lock->created) return Fail(kErrInvalidHandle);
    lock->mutex.unlock();
    return kErrSuccess;
}

std::uint32_t LockClose(TimedLock* lock) {
    if (lock == nullptr || !lock->created) return Fail(kErrInvalidHandle);
    lock->created = false;
    return kErrSuccess;
}

// ---- threads ----

struct ThreadState {
    ThreadRoutine routine = nullptr;
    void* arg = nullptr;
    pthread_t id{};
    Event ended;
    std::uint32_t exitCode = kStillActive;
};

namespace {

thread_local ThreadState* t_current = nullptr;

void Finish(ThreadState* st, std::uint32_t code) {
    {
        std::lock_guard<std::mutex> g(st->ended.mutex);
        st->exitCode = code;
    }
    EventSet(&st->ended);
}

void* Trampoline(void* p) {
    auto* holder = static_cast<std::shared_ptr<ThreadState>*>(p);
    std::shared_ptr<ThreadState> st = std::move(*holder);
    delete holder;
    t_current = st.get();
    FaultPrepareThread();
    std::uint32_t code = st->routine(st->arg);
    Finish(st.get(), code);
    t_current = nullptr;
    FaultReleaseThread();
    return nullptr;
}

} // namespace

std::uint32_t ThreadCreate(Thread* thread, ThreadRoutine routine, void* arg,
                           std::uint32_t stackSize) {
    if (thread == nullptr || routine == nullptr) return Fail(kErrInvalidParameter);
    if (thread->state) ThreadClose(thread); // a handle reused without closing it

    auto st = std::make_shared<ThreadState>();
    st->routine = routine;
    st->arg = arg;
    EventCreate(&st->ended, true, false);

    std::size_t stack = stackSize;
    const std::size_t minimum = 512 * 1024;
    if (stack < minimum) stack = minimum;
    stack = (stack + 65535) & ~static_cast<std::size_t>(65535);

    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return Fail(kErrNotEnoughMemory);
    pthread_attr_setstacksize(&attr, stack);
    auto* holder = new std::shared_ptr<ThreadState>(st);
    int rc = pthread_create(&st->id, &attr, Trampoline, holder);
    pthread_attr_destroy(&attr);
    if (rc != 0) {
        delete holder;
        return Fail(kErrNotEnoughMemory);
    }
    thread->state = std::move(st);
    return kErrSuccess;
}

WaitResult ThreadWait(Thread* thread, std::uint32_t timeoutMs) {
    if (thread == nullptr || !thread->state) return Failed();
    return EventWait(&thread->state->ended, timeoutMs);
}

std::uint32_t ThreadExitCode(Thread* thread, std::uint32_t* exitCode) {
    if (thread == nullptr || !thread->state || exitCode == nullptr) return Fail(kErrInvalidHandle);
    std::lock_guard<std::mutex> g(thread->state->ended.mutex);
    *exitCode = thread->state->exitCode;
    return kErrSuccess;
}

std::uint32_t ThreadClose(Thread* thread) {
    if (thread == nullptr || !thread->state) return Fail(kErrInvalidHandle);
    if (EventIsSet(&thread->state->ended))
        pthread_join(thread->state->id, nullptr);
    else
        pthread_detach(thread->state->id);
    thread->state.reset();
    return kErrSuccess;
}

void ThreadExit(std::uint32_t exitCode) {
    if (t_current != nullptr) {
        Finish(t_current, exitCode);
        t_current = nullptr;
    }
    FaultReleaseThread();
    pthread_exit(nullptr);
}

std::uint32_t ThreadSetPriority(Thread* thread, ThreadPriority priority) {
    pthread_t id = pthread_self();
    if (thread != nullptr) {
        if (!thread->state) return Fail(kErrInvalidHandle);
        if (EventIsSet(&thread->state->ended)) return kErrSuccess;
        id = thread->state->id;
    }
    sched_param param{};
    int policy;
    if (priority == ThreadPriority::kHighest || priority == ThreadPriority::kTimeCritical) {
        policy = SCHED_FIFO;
        param.sched_priority =
            sched_get_priority_min(SCHED_FIFO) + (priority == ThreadPriority::kHighest ? 1 : 2);
    } else {
        int current;
        sched_param now{};
        if (pthread_getschedparam(id, &current, &now) != 0 || current == SCHED_OTHER)
            return kErrSuccess;
        policy = SCHED_OTHER;
        param.sched_priority = 0;
    }
    // Not allowed (no privilege, a container) means: leave it as it is. A
    // thread that became real-time may not hold a processor for long.
    if (pthread_setschedparam(id, policy, &param) == 0 && policy == SCHED_FIFO) RealtimeLimitArm();
    return kErrSuccess;
}

std::uint32_t ProcessSetRealtime() {
    return kErrSuccess;
}

void Sleep(std::uint32_t ms) {
    if (ms == 0) {
        sched_yield();
        return;
    }
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

} // namespace plat
