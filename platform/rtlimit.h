// The guard that keeps a real-time thread from holding a processor: a thread
// put into real-time scheduling (ThreadSetPriority, kHighest and up) arms the
// process's RLIMIT_RTTIME, the CPU time a real-time thread may use without
// blocking. A thread that runs past it gets SIGXCPU from the kernel (sent to
// the thread running over its limit); the handler drops that thread to
// normal priority and writes one line to standard error. Should the drop
// fail, the kernel repeats the signal every second and ends the process at
// the hard limit, so a fault can never freeze the machine.
#pragma once

#include <cstdint>

namespace plat {

// CPU time without blocking, in microseconds: the soft limit that drops the
// thread, the hard limit at which the kernel ends the process.
inline constexpr std::uint64_t kRealtimeSoftLimitUs = 500000;
inline constexpr std::uint64_t kRealtimeHardLimitUs = 3000000;

// Installs the handler and sets the limit (lowering only; a stricter limit
// already in place stays). Called by ThreadSetPriority; 0 or a Win32 number.
std::uint32_t RealtimeLimitArm();

// How many threads of this process run with a real-time policy now (read
// from /proc/self/task; -1 when that cannot be read). The manager asks it
// after opening the port to learn whether the line thread got its priority
// (the driver keeps a thread that was refused at normal priority).
int RealtimeThreadCount();

// How many threads the handler dropped to normal priority since the start.
std::uint32_t RealtimeLimitDrops();

} // namespace plat
