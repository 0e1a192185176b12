// UUCP lock files for a serial device: LCK..ttyUSB0 in the lock directory
// (/var/lock), holding the owner's PID as ten characters and a newline, the
// convention terminal programs that technicians use honour (root ignores a
// tty's exclusive mode, so the lock is what keeps them off the line).
//   - a lock whose PID no longer runs is stale and taken over, unless it
//     is another user's in a sticky lock directory (root's, left by a killed
//     terminal program): that one is refused (5, access denied) with the
//     ended PID told, and the caller decides whether to go on without;
//   - a lock of this process (a reopen) is ours already;
//   - a live one is refused (170, busy) and its PID told.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

inline constexpr const char* kLockDir = "/var/lock";

// The lock's path for a device path (every link followed) in dir.
std::uint32_t UucpLockPath(const char* dir, const char* device, char* out, std::size_t size);

// Takes the lock at lockPath. *holder is the PID of a live other holder
// (170) or of an ended one whose lock cannot be removed (5).
std::uint32_t UucpLockTake(const char* lockPath, std::int32_t* holder);

// Removes the lock if it is this process's.
void UucpLockRelease(const char* lockPath);

// True when locks can be made in dir.
bool UucpLockDirWritable(const char* dir);

} // namespace plat
