// Events, a lock with a timed wait, threads with priorities, and sleep.
//
// These are plain records meant to live in static state (the driver's port
// state, the manager's globals). Each has a Create/Close pair; a record that
// was never created, or was closed, makes every wait return kWaitFailed with
// last error 6, never a crash, so a thread still waiting after its owner
// closed the record just sees a failed wait. Closing does not free the
// record's memory: it stays usable for a later Create.
//
// Times are in milliseconds; kInfinite waits without a limit. Waits measure
// real (monotonic) time, not the tick count of clock.h, which tests may drive.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>

namespace plat {

inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

enum class WaitResult {
    kSignalled, // the event was set, the lock taken, the thread ended
    kTimedOut,  // the time ran out first (last error 258)
    kFailed,    // the record is not created or was closed (last error 6)
};

// An event: manual-reset events stay set until reset; auto-reset events let
// exactly one waiter through per set and are then clear again.
struct Event {
    std::mutex mutex;
    std::condition_variable cv;
    bool created = false;
    bool manualReset = true;
    bool signalled = false;
    std::uint64_t generation = 0; // bumped on close, so waiters notice
};

// Makes the event usable with the reset kind and initial state given.
// Returns 0 (87 for a null event).
std::uint32_t EventCreate(Event* event, bool manualReset, bool initiallySet);

// Sets / clears the event. 6 when it is not created.
std::uint32_t EventSet(Event* event);
std::uint32_t EventReset(Event* event);

// Waits up to timeoutMs (0 = only look, kInfinite = no limit) for the event
// to be set. An auto-reset event is cleared by the successful wait.
WaitResult EventWait(Event* event, std::uint32_t timeoutMs);

// Whether the event is set now, without waiting or clearing it.
bool EventIsSet(Event* event);

// Ends the event: current and later waits fail. 6 when it is not created.
std::uint32_t EventClose(Event* event);

// A lock that one thread holds at a time, taken with a time limit. Not
// recursive: the holder waiting for it again times out.
struct TimedLock {
    std::timed_mutex mutex;
    bool created = false;
};

std::uint32_t LockCreate(TimedLock* lock);
WaitResult LockAcquire(TimedLock* lock, std::uint32_t timeoutMs);
// Releases a lock held by the calling thread (6 when it is not created).
std::uint32_t LockRelease(TimedLock* lock);
// Marks the lock unusable; later acquires fail.
std::uint32_t LockClose(TimedLock* lock);

// Thread priorities, as the PC names them. Linux maps them so that nothing
// starves: kHighest and kTimeCritical ask for real-time (FIFO) scheduling
// when the process may use it and otherwise change nothing; kIdle, kLowest
// and kNormal leave the thread at the normal time-sharing level (dropping
// the manager's main thread to an idle class would starve it behind the
// real-time I/O thread's peers). A thread made real-time is held to a CPU
// time limit (rtlimit.h): one that runs too long without blocking drops to
// normal priority.
enum class ThreadPriority { kIdle, kLowest, kNormal, kHighest, kTimeCritical };

// The exit code of a thread still running.
inline constexpr std::uint32_t kStillActive = 259;

using ThreadRoutine = std::uint32_t (*)(void* arg);

struct ThreadState; // shared by the handle and the running thread

struct Thread {
    std::shared_ptr<ThreadState> state;
};

// Starts routine(arg) on a new thread at once. stackSize is a minimum: it is
// raised to what the C library and the sanitizers need (at least 512 KiB),
// since a 10 KiB stack that suffices on the PC does not hold a Linux
// thread's own needs. Returns 0, 8 when the thread could not be made, 87 for
// a null routine or thread.
std::uint32_t ThreadCreate(Thread* thread, ThreadRoutine routine, void* arg,
                           std::uint32_t stackSize);

// Waits up to timeoutMs for the thread to end.
WaitResult ThreadWait(Thread* thread, std::uint32_t timeoutMs);

// The routine's result once the thread ended, kStillActive before. 6 for a
// thread never created or already closed.
std::uint32_t ThreadExitCode(Thread* thread, std::uint32_t* exitCode);

// Releases the handle. A thread that has ended is joined; one still running
// goes on detached and cleans up after itself.
std::uint32_t ThreadClose(Thread* thread);

// Ends the calling thread (which must have been started by ThreadCreate)
// with exitCode, as if its routine had returned it. The thread's stack is
// unwound on the way out.
[[noreturn]] void ThreadExit(std::uint32_t exitCode);

// Sets the priority of a thread, or of the calling thread with null.
// Returns 0 also when the system did not allow the change (see above).
std::uint32_t ThreadSetPriority(Thread* thread, ThreadPriority priority);

// The process-wide real-time class. Linux schedules per thread, so this
// records the wish only; ThreadSetPriority does the work.
std::uint32_t ProcessSetRealtime();

// Suspends the calling thread for at least ms milliseconds (0 yields).
void Sleep(std::uint32_t ms);

} // namespace plat
