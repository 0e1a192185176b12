// Thread last-error in Win32 numbers.
//
// Every platform routine that fails leaves the reason in the calling thread's
// last error, as the Win32 error number that messages and the driver's return
// values show (for example 2 when a port name or file does not exist).
// Routines of this layer that return an int status return 0 on success and
// the same number on failure, so callers may use either.
#pragma once

#include <cstdint>

namespace plat {

// The numbers in use. Only these leave the layer; an errno without a closer
// match becomes kErrGenFailure.
enum : std::uint32_t {
    kErrSuccess = 0,
    kErrFileNotFound = 2,     // the last component of a name does not exist
    kErrPathNotFound = 3,     // a directory on the way does not exist
    kErrTooManyOpenFiles = 4, // out of descriptors
    kErrAccessDenied = 5,     // permissions, read-only file system, a directory
    kErrInvalidHandle = 6,    // handle not open
    kErrNotEnoughMemory = 8,
    kErrGenFailure = 31,       // any other failure
    kErrSharingViolation = 32, // another program holds the file in a share mode that excludes ours
    kErrLockViolation = 33,    // a byte-range lock overlaps one already held
    kErrHandleEof = 38,        // reached the end of the file
    kErrNotSupported = 50,     // the device has no such mode (a port without RS-485 mode)
    kErrFileExists = 80,       // creating a new file that is already there
    kErrInvalidParameter = 87,
    kErrDiskFull = 112,
    kErrNotLocked = 158,   // unlocking a region that is not locked exactly so
    kErrBusy = 170,        // device or resource busy
    kErrWaitTimeout = 258, // a wait ran out of time
    // A serial line that is gone: its reads fail (an I/O error), or it hung
    // up (an unplugged adapter, a pseudo-terminal whose other side closed).
    kErrIoDevice = 1117,
    kErrDeviceNotConnected = 1167,
    kErrCantResolve = 1921, // a symbolic link where the program allows none
};

// The calling thread's last error (0 until a routine failed).
std::uint32_t LastError();

// Sets the calling thread's last error.
void SetLastError(std::uint32_t code);

// The Win32 number for an errno value (0 for 0).
std::uint32_t ErrorFromErrno(int err);

// Maps err, stores it as the last error and returns it: `return Fail(errno);`.
std::uint32_t FailErrno(int err);

// Stores code as the last error and returns it.
std::uint32_t Fail(std::uint32_t code);

} // namespace plat
