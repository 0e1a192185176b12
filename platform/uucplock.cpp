// UUCP lock files: LCK..NAME with the owner's PID.
#include "platform/uucplock.h"

#include "platform/errors.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace plat {

namespace {

// The PID in a lock file (ASCII, the usual form; a 4-byte binary PID of old
// programs too); 0 when it holds none.
std::int32_t LockOwner(const char* lockPath) {
    const int fd = open(lockPath, O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) return 0;
    char text[32] = {};
    const ssize_t n = read(fd, text, sizeof text - 1);
    close(fd);
    if (n == 4) {
        std::int32_t pid = 0;
        std::memcpy(&pid, text, 4);
        if (pid > 0) return pid;
    }
    if (n <= 0) return 0;
    const long pid = std::strtol(text, nullptr, 10);
    return pid > 0 && pid < INT32_MAX ? std::int32_t(pid) : 0;
}

bool Alive(std::int32_t pid) {
    return kill(pid, 0) == 0 || errno == EPERM;
}

} // namespace

std::uint32_t UucpLockPath(const char* dir, const char* device, char* out, std::size_t size) {
    char real[PATH_MAX];
    const char* path = realpath(device, real) != nullptr ? real : device;
    const char* base = std::strrchr(path, '/');
    base = base != nullptr ? base + 1 : path;
    const int n = std::snprintf(out, size, "%s/LCK..%s", dir, base);
    if (n < 0 || std::size_t(n) >= size || base[0] == 0) return Fail(kErrInvalidParameter);
    return 0;
}

std::uint32_t UucpLockTake(const char* lockPath, std::int32_t* holder) {
    *holder = 0;
    char mine[16];
    std::snprintf(mine, sizeof mine, "%10d\n", int(getpid()));
    // Two attempts: the second after a stale lock was removed.
    for (int attempt = 0; attempt < 2; ++attempt) {
        const int fd = open(lockPath, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd >= 0) {
            const bool ok = write(fd, mine, 11) == 11;
            close(fd);
            if (ok) return 0;
            unlink(lockPath);
            return Fail(kErrDiskFull);
        }
        if (errno != EEXIST) return FailErrno(errno);
        const std::int32_t owner = LockOwner(lockPath);
        if (owner == std::int32_t(getpid())) return 0;
        if (owner != 0 && Alive(owner)) {
            *holder = owner;
            return Fail(kErrBusy);
        }
        // Stale: its owner is gone. Another user's lock in a sticky
        // directory cannot be removed by this one.
        if (unlink(lockPath) != 0 && errno != ENOENT) {
            *holder = owner;
            return Fail(kErrAccessDenied);
        }
    }
    return Fail(kErrBusy);
}

void UucpLockRelease(const char* lockPath) {
    if (lockPath == nullptr || lockPath[0] == 0) return;
    if (LockOwner(lockPath) == std::int32_t(getpid())) unlink(lockPath);
}

bool UucpLockDirWritable(const char* dir) {
    return access(dir, W_OK) == 0;
}

} // namespace plat
