// Byte-range locks: open-file-description locks for other processes, and a
// table of the regions this process holds, so that overlaps are refused
// also through the same handle (the kernel would merge those silently).
#include "platform/locks.h"

#include "platform/errors.h"

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <mutex>
#include <sys/stat.h>

namespace plat {

namespace {

struct Region {
    bool used = false;
    FileHandle handle = kNoFile;
    dev_t dev = 0;
    ino_t ino = 0;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
};

std::mutex g_mutex;
std::array<Region, kMaxLockedRegions> g_regions;

constexpr std::uint64_t kMaxOffset = 0x7FFFFFFFFFFFFFFFull;

bool Overlaps(const Region& r, std::uint64_t offset, std::uint64_t length) {
    return offset < r.offset + r.length && r.offset < offset + length;
}

int SetLock(FileHandle handle, short type, std::uint64_t offset, std::uint64_t length) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_SET;
    fl.l_start = static_cast<off_t>(offset);
    fl.l_len = static_cast<off_t>(length);
    fl.l_pid = 0; // required for open-file-description locks
    int r;
    do {
        r = ::fcntl(handle, F_OFD_SETLK, &fl);
    } while (r != 0 && errno == EINTR);
    return r == 0 ? 0 : errno;
}

} // namespace

std::uint32_t LockRegion(FileHandle handle, std::uint64_t offset, std::uint64_t length) {
    if (handle < 0) return Fail(kErrInvalidHandle);
    if (length == 0 || offset > kMaxOffset || length > kMaxOffset - offset)
        return Fail(kErrInvalidParameter);
    struct stat st;
    if (::fstat(handle, &st) != 0) return FailErrno(errno);

    std::lock_guard<std::mutex> g(g_mutex);
    Region* free = nullptr;
    for (Region& r : g_regions) {
        if (!r.used) {
            if (free == nullptr) free = &r;
            continue;
        }
        if (r.dev == st.st_dev && r.ino == st.st_ino && Overlaps(r, offset, length))
            return Fail(kErrLockViolation);
    }
    if (free == nullptr) return Fail(kErrNotEnoughMemory);

    int err = SetLock(handle, F_WRLCK, offset, length);
    if (err == EBADF) err = SetLock(handle, F_RDLCK, offset, length); // a read-only handle
    if (err != 0) {
        if (err == EAGAIN || err == EACCES) return Fail(kErrLockViolation);
        return FailErrno(err);
    }
    *free = Region{true, handle, st.st_dev, st.st_ino, offset, length};
    return kErrSuccess;
}

std::uint32_t UnlockRegion(FileHandle handle, std::uint64_t offset, std::uint64_t length) {
    if (handle < 0) return Fail(kErrInvalidHandle);
    std::lock_guard<std::mutex> g(g_mutex);
    for (Region& r : g_regions) {
        if (!r.used || r.handle != handle || r.offset != offset || r.length != length) continue;
        int err = SetLock(handle, F_UNLCK, offset, length);
        if (err != 0) return FailErrno(err);
        r = Region{};
        return kErrSuccess;
    }
    // Not a region of ours: a closed handle says so, an open one "not locked".
    if (::fcntl(handle, F_GETFD) < 0) return Fail(kErrInvalidHandle);
    return Fail(kErrNotLocked);
}

void ForgetRegions(FileHandle handle) {
    std::lock_guard<std::mutex> g(g_mutex);
    for (Region& r : g_regions) {
        if (r.used && r.handle == handle) r = Region{};
    }
}

} // namespace plat
