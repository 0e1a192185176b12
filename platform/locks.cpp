// Byte-range locks: open-file-description locks for other processes, and a
// table of the regions this process holds, so that overlaps are refused
// also through the same handle (the kernel would merge those silently).
// Bounded waits poll the kernel every 5 ms, never with the table's mutex
// held, so other threads' locks go on meanwhile.
#include "platform/locks.h"

#include "platform/errors.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <span>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <thread>

namespace plat {

namespace {

struct Region {
    bool used = false;
    FileHandle handle = kNoFile;
    dev_t dev = 0;
    ino_t ino = 0;
    std::uint64_t offset = 0;
    std::uint64_t length = 0;
    LockMode mode = LockMode::kExclusive;
    int owner = 0;
};

std::mutex g_mutex;
std::array<Region, kMaxLockedRegions> g_regions;
// Entries at and past this one have never been used: scans stop there.
std::size_t g_high = 0;

std::span<Region> UsedPart() {
    return std::span<Region>(g_regions.data(), g_high);
}

constexpr std::uint64_t kMaxOffset = 0x7FFFFFFFFFFFFFFFull;

bool Overlaps(const Region& r, std::uint64_t offset, std::uint64_t length) {
    return offset < r.offset + r.length && r.offset < offset + length;
}

long g_lock_calls = 0;

// The file (device, inode) behind each handle FileOpen gave out, noted at
// the open from the fstat it makes anyway and forgotten at FileClose: a lock
// or an owner probe on a table or index then costs no fstat of its own. A
// handle that FileOpen did not give out is asked each time.
struct Identity {
    bool known = false;
    dev_t dev = 0;
    ino_t ino = 0;
};
constexpr int kNotedHandles = 1024;
std::array<Identity, kNotedHandles> g_identity;

// The handle's file identity into *st (st_dev and st_ino only). Called
// with g_mutex held. False when the handle is not an open file.
bool IdentityOf(FileHandle handle, struct stat* st) {
    if (handle >= 0 && handle < kNotedHandles) {
        const Identity& id = g_identity[static_cast<std::size_t>(handle)];
        if (id.known) {
            st->st_dev = id.dev;
            st->st_ino = id.ino;
            return true;
        }
    }
    return ::fstat(handle, st) == 0;
}

int SetLock(FileHandle handle, short type, std::uint64_t offset, std::uint64_t length) {
    ++g_lock_calls;
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

// One try at the kernel: 0, or the errno (EAGAIN / EACCES: another
// process holds an overlapping region).
int TryKernel(FileHandle handle, LockMode mode, std::uint64_t offset, std::uint64_t length) {
    int err = SetLock(handle, mode == LockMode::kShared ? F_RDLCK : F_WRLCK, offset, length);
    if (err == EBADF && mode == LockMode::kExclusive)
        err = SetLock(handle, F_RDLCK, offset, length); // a read-only handle
    return err;
}

} // namespace

long LockCallCount() {
    return g_lock_calls;
}

std::uint32_t LockRegion(FileHandle handle, std::uint64_t offset, std::uint64_t length) {
    return LockRegionAs(handle, offset, length, LockMode::kExclusive, 0, 0);
}

std::uint32_t LockRegionAs(FileHandle handle, std::uint64_t offset, std::uint64_t length,
                           LockMode mode, int owner, std::uint32_t wait_ms) {
    if (handle < 0) return Fail(kErrInvalidHandle);
    if (length == 0 || offset > kMaxOffset || length > kMaxOffset - offset)
        return Fail(kErrInvalidParameter);
    struct stat st;
    {
        std::lock_guard<std::mutex> g(g_mutex);
        if (!IdentityOf(handle, &st)) return FailErrno(errno);
    }

    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(wait_ms);
    for (;;) {
        {
            std::lock_guard<std::mutex> g(g_mutex);
            // A never-used entry, unless a used part's entry has come free.
            Region* const fresh = g_high < g_regions.size() ? &g_regions[g_high] : nullptr;
            Region* free = fresh;
            Region* same = nullptr; // this very region of this handle: a mode change
            for (Region& r : UsedPart()) {
                if (!r.used) {
                    if (free == fresh) free = &r;
                    continue;
                }
                if (r.dev != st.st_dev || r.ino != st.st_ino || !Overlaps(r, offset, length))
                    continue;
                if (r.handle == handle && r.offset == offset && r.length == length &&
                    r.mode != mode && same == nullptr) {
                    same = &r;
                    continue;
                }
                return Fail(kErrLockViolation);
            }
            if (same == nullptr && free == nullptr) return Fail(kErrNotEnoughMemory);
            const int err = TryKernel(handle, mode, offset, length);
            if (err == 0) {
                if (same != nullptr)
                    same->mode = mode;
                else {
                    *free = Region{true, handle, st.st_dev, st.st_ino, offset, length, mode, owner};
                    if (free == fresh) ++g_high;
                }
                return kErrSuccess;
            }
            if (err != EAGAIN && err != EACCES) return FailErrno(err);
        }
        if (std::chrono::steady_clock::now() >= deadline) return Fail(kErrLockViolation);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

int RegionOwner(FileHandle handle, std::uint64_t offset, std::uint64_t length) {
    struct stat st;
    if (handle < 0 || length == 0) return -1;
    std::lock_guard<std::mutex> g(g_mutex);
    if (!IdentityOf(handle, &st)) return -1;
    int owner = -1;
    for (const Region& r : UsedPart()) {
        if (!r.used || r.dev != st.st_dev || r.ino != st.st_ino || !Overlaps(r, offset, length))
            continue;
        if (owner == -1)
            owner = r.owner;
        else if (owner != r.owner)
            return -2;
    }
    return owner;
}

std::uint32_t UnlockRegion(FileHandle handle, std::uint64_t offset, std::uint64_t length) {
    if (handle < 0) return Fail(kErrInvalidHandle);
    std::lock_guard<std::mutex> g(g_mutex);
    for (Region& r : UsedPart()) {
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

std::uint32_t UnlockRegionPair(FileHandle handle, std::uint64_t offset1, std::uint64_t length1,
                               std::uint64_t offset2, std::uint64_t length2) {
    if (handle < 0) return Fail(kErrInvalidHandle);
    {
        // One F_UNLCK over the span from the first region's start to the
        // second's end frees both, when this handle holds nothing else there
        // (the kernel would free that too: a terminal's record lock taken
        // through the same handle, say). Other handles' regions are theirs.
        std::lock_guard<std::mutex> g(g_mutex);
        const std::uint64_t low = std::min(offset1, offset2);
        const std::uint64_t high = std::max(offset1 + length1, offset2 + length2);
        Region* first = nullptr;
        Region* second = nullptr;
        bool between = false;
        for (Region& r : UsedPart()) {
            if (!r.used || r.handle != handle || !Overlaps(r, low, high - low)) continue;
            if (first == nullptr && r.offset == offset1 && r.length == length1)
                first = &r;
            else if (second == nullptr && r.offset == offset2 && r.length == length2)
                second = &r;
            else
                between = true;
        }
        if (first != nullptr && second != nullptr && !between) {
            const int err = SetLock(handle, F_UNLCK, low, high - low);
            if (err != 0) return FailErrno(err);
            *first = Region{};
            *second = Region{};
            return kErrSuccess;
        }
    }
    const std::uint32_t r1 = UnlockRegion(handle, offset1, length1);
    const std::uint32_t r2 = UnlockRegion(handle, offset2, length2);
    return r1 != 0 ? r1 : r2;
}

void NoteFileIdentity(FileHandle handle, std::uint64_t device, std::uint64_t inode) {
    if (handle < 0 || handle >= kNotedHandles) return;
    std::lock_guard<std::mutex> g(g_mutex);
    g_identity[static_cast<std::size_t>(handle)] =
        Identity{true, static_cast<dev_t>(device), static_cast<ino_t>(inode)};
}

std::uint32_t ShareLock(FileHandle handle, FileShare share) {
    if (handle < 0) return Fail(kErrInvalidHandle);
    const int operation = share == FileShare::kShared      ? LOCK_SH | LOCK_NB
                          : share == FileShare::kExclusive ? LOCK_EX | LOCK_NB
                                                           : LOCK_UN;
    int r;
    do {
        r = ::flock(handle, operation);
    } while (r != 0 && errno == EINTR);
    if (r == 0) return kErrSuccess;
    if (errno == EWOULDBLOCK) return Fail(kErrSharingViolation);
    // No flock on this file system: nobody can hold one against us there.
    if (errno == ENOLCK || errno == EOPNOTSUPP || errno == ENOSYS) return kErrSuccess;
    return FailErrno(errno);
}

long ShareHolder(FileHandle handle) {
    struct stat st;
    if (handle < 0 || ::fstat(handle, &st) != 0) return -1;
    std::FILE* locks = std::fopen("/proc/locks", "re");
    if (locks == nullptr) return -1;
    // "1: FLOCK  ADVISORY  WRITE 812 fe:00:10953568 0 EOF"; waiters carry
    // "->" after the number. The device is the file system's, which a
    // stacked file system may show differently from stat: the inode alone
    // is taken when no line names both.
    long by_inode = -1, by_both = -1;
    char line[256];
    for (int n = 0; n < 100000 && std::fgets(line, sizeof line, locks) != nullptr; ++n) {
        char kind[16], mode[16];
        long pid = 0;
        unsigned major_dev = 0, minor_dev = 0;
        unsigned long inode = 0;
        if (std::strstr(line, "->") != nullptr) continue;
        if (std::sscanf(line, "%*d: %15s %*s %15s %ld %x:%x:%lu", kind, mode, &pid, &major_dev,
                        &minor_dev, &inode) != 6)
            continue;
        if (std::strcmp(kind, "FLOCK") != 0 || std::strcmp(mode, "WRITE") != 0 ||
            inode != static_cast<unsigned long>(st.st_ino))
            continue;
        by_inode = pid;
        if (major_dev == major(st.st_dev) && minor_dev == minor(st.st_dev)) by_both = pid;
    }
    std::fclose(locks);
    return by_both > 0 ? by_both : by_inode > 0 ? by_inode : -1;
}

const char* ShareHolderText(FileHandle handle, char* out, std::size_t outSize) {
    if (handle < 0 || out == nullptr || outSize == 0) return nullptr;
    if (::flock(handle, LOCK_SH | LOCK_NB) == 0) {
        ::flock(handle, LOCK_UN);
        return nullptr;
    }
    if (errno != EWOULDBLOCK) return nullptr;
    const long pid = ShareHolder(handle);
    if (pid > 0)
        std::snprintf(out, outSize, "another program has it open exclusively (PID %ld)", pid);
    else
        std::snprintf(out, outSize, "another program has it open exclusively");
    return out;
}

void ForgetRegions(FileHandle handle) {
    std::lock_guard<std::mutex> g(g_mutex);
    if (handle >= 0 && handle < kNotedHandles) g_identity[static_cast<std::size_t>(handle)] = {};
    for (Region& r : UsedPart()) {
        if (r.used && r.handle == handle) r = Region{};
    }
}

} // namespace plat
