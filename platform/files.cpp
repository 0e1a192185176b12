// Binary files on POSIX descriptors, and the mapping of PC-style names.
#include "platform/files.h"

#include "platform/errors.h"
#include "platform/locks.h"

#include <array>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

namespace {

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool EqualNoCase(const char* a, const char* b, std::size_t bLen) {
    std::size_t i = 0;
    for (; i < bLen; ++i) {
        if (a[i] == '\0' || LowerAscii(a[i]) != LowerAscii(b[i])) return false;
    }
    return a[i] == '\0';
}

bool Exists(const char* path) {
    struct stat st;
    return ::lstat(path, &st) == 0;
}

// Appends text[0..len) to out (used bytes *used) with a '/' before it when
// out is not empty and does not end in one. False when it does not fit.
bool Append(char* out, std::size_t outSize, std::size_t* used, const char* text, std::size_t len) {
    std::size_t need = len + ((*used > 0 && out[*used - 1] != '/') ? 1 : 0);
    if (*used + need + 1 > outSize) return false;
    if (need > len) out[(*used)++] = '/';
    std::memcpy(out + *used, text, len);
    *used += len;
    out[*used] = '\0';
    return true;
}

// Looks in directory dir (empty = working directory) for an entry equal to
// comp[0..len) without regard to letter case; the smallest such name, so
// that the choice does not depend on the directory's order. Copies it to
// found (kMaxPath bytes). False when there is none.
bool FindNoCase(const char* dir, const char* comp, std::size_t len, char* found) {
    DIR* d = ::opendir(dir[0] ? dir : ".");
    if (d == nullptr) return false;
    bool have = false;
    while (struct dirent* e = ::readdir(d)) {
        if (!EqualNoCase(e->d_name, comp, len)) continue;
        if (!have || std::strcmp(e->d_name, found) < 0) {
            std::size_t n = std::strlen(e->d_name);
            if (n >= kMaxPath) continue;
            std::memcpy(found, e->d_name, n + 1);
            have = true;
        }
    }
    ::closedir(d);
    return have;
}

// The fault hook's state: writes counted, and the write that is to fail.
long write_count = 0;
long fault_at = 0; // 0: none armed
WriteFault fault_kind = WriteFault::kNone;
bool fault_env_read = false;

void ReadFaultEnvironment() {
    fault_env_read = true;
    const char* text = std::getenv("WTALVOC_WRITE_FAULT");
    if (text == nullptr || *text == '\0') return;
    char* end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (n < 1 || end == text) return;
    fault_at = write_count + n;
    fault_kind = std::strcmp(end, ":fail") == 0 ? WriteFault::kFail : WriteFault::kKill;
}

// Counts one write; true when this one is to fail (a kill never returns).
bool FaultHere() {
    if (!fault_env_read) ReadFaultEnvironment();
    ++write_count;
    if (fault_at == 0 || write_count != fault_at) return false;
    fault_at = 0;
    if (fault_kind == WriteFault::kKill) {
        ::kill(::getpid(), SIGKILL);
        for (;;) ::pause();
    }
    return fault_kind == WriteFault::kFail;
}

// Handles written to since their last commit, by descriptor; a descriptor
// past the table is taken as written (always committed when asked).
constexpr int kTrackedFiles = 4096;
std::array<std::uint8_t, kTrackedFiles> written{};
long sync_count = 0;
long call_count = 0;

void MarkWritten(FileHandle handle) {
    if (handle >= 0 && handle < kTrackedFiles) written[static_cast<std::size_t>(handle)] = 1;
}

// fdatasync of one handle, counted; devices and pipes have nothing to force.
std::uint32_t Sync(FileHandle handle) {
    ++sync_count;
    ++call_count;
    if (::fdatasync(handle) != 0 && errno != EINVAL && errno != EROFS) return FailErrno(errno);
    if (handle < kTrackedFiles) written[static_cast<std::size_t>(handle)] = 0;
    return kErrSuccess;
}

} // namespace

long FileSyncCount() {
    return sync_count;
}

long FileCallCount() {
    return call_count;
}

bool FileWritten(FileHandle handle) {
    if (handle < 0) return false;
    return handle >= kTrackedFiles || written[static_cast<std::size_t>(handle)] != 0;
}

std::uint32_t FileCommitAll() {
    std::uint32_t first = kErrSuccess;
    for (int fd = 0; fd < kTrackedFiles; ++fd) {
        if (written[static_cast<std::size_t>(fd)] == 0) continue;
        const std::uint32_t rc = Sync(fd);
        if (rc != kErrSuccess && first == kErrSuccess) first = rc;
    }
    return first;
}

void FileFaultSet(long nth, WriteFault what) {
    fault_env_read = true;
    fault_kind = what;
    fault_at = (what == WriteFault::kNone || nth < 1) ? 0 : write_count + nth;
}

long FileWriteCount() {
    return write_count;
}

std::uint32_t ResolveName(const char* name, char* out, std::size_t outSize) {
    if (name == nullptr || name[0] == '\0') return Fail(kErrInvalidParameter);
    if (out == nullptr || outSize < 2) return Fail(kErrInvalidParameter);

    // The name with '/' for '\', and "X:" turned into the component "X:/".
    char path[kMaxPath];
    std::size_t n = std::strlen(name);
    bool drive = n >= 2 && name[1] == ':' &&
                 ((name[0] >= 'A' && name[0] <= 'Z') || (name[0] >= 'a' && name[0] <= 'z'));
    std::size_t p = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (p + 2 >= sizeof path) return Fail(kErrPathNotFound);
        path[p++] = name[i] == '\\' ? '/' : name[i];
        if (drive && i == 1 && n > 2 && name[2] != '\\' && name[2] != '/') path[p++] = '/';
    }
    path[p] = '\0';

    // The exact name wins when it exists (a drive always goes through the
    // entry of that name, so it is exact here too).
    if (Exists(path)) {
        if (p + 1 > outSize) return Fail(kErrPathNotFound);
        std::memcpy(out, path, p + 1);
        return kErrSuccess;
    }

    std::size_t used = 0;
    out[0] = '\0';
    std::size_t i = 0;
    if (path[0] == '/') {
        out[0] = '/';
        out[1] = '\0';
        used = 1;
        i = 1;
    }
    char found[kMaxPath];
    while (i < p) {
        while (i < p && path[i] == '/') ++i;
        if (i >= p) break;
        std::size_t start = i;
        while (i < p && path[i] != '/') ++i;
        std::size_t len = i - start;
        const char* comp = path + start;
        bool last = true;
        for (std::size_t j = i; j < p; ++j) {
            if (path[j] != '/') {
                last = false;
                break;
            }
        }

        std::size_t before = used;
        if (!Append(out, outSize, &used, comp, len)) return Fail(kErrPathNotFound);
        bool dots = (len == 1 && comp[0] == '.') || (len == 2 && comp[0] == '.' && comp[1] == '.');
        if (dots || Exists(out)) continue;

        // Not there as written: look for it in any letter case.
        out[before] = '\0';
        used = before;
        if (FindNoCase(out, comp, len, found)) {
            if (!Append(out, outSize, &used, found, std::strlen(found)))
                return Fail(kErrPathNotFound);
            continue;
        }
        if (!last) return Fail(kErrPathNotFound);
        if (!Append(out, outSize, &used, comp, len)) return Fail(kErrPathNotFound);
    }
    if (used == 0) return Fail(kErrInvalidParameter);
    return kErrSuccess;
}

std::uint32_t AccessFlags(unsigned access, int* flags) {
    switch (access) {
    case kAccessRead: *flags = O_RDONLY; return kErrSuccess;
    case kAccessWrite: *flags = O_WRONLY; return kErrSuccess;
    case kAccessReadWrite: *flags = O_RDWR; return kErrSuccess;
    default: return Fail(kErrInvalidParameter);
    }
}

std::uint32_t FileOpen(const char* name, unsigned access, FileCreate create, FileHandle* handle,
                       FileShare share) {
    if (handle == nullptr) return Fail(kErrInvalidParameter);
    *handle = kNoFile;
    int flags = 0;
    if (std::uint32_t rc = AccessFlags(access, &flags)) return rc;
    switch (create) {
    case FileCreate::kOpenExisting: break;
    case FileCreate::kCreateNew: flags |= O_CREAT | O_EXCL; break;
    case FileCreate::kCreateAlways: flags |= O_CREAT | O_TRUNC; break;
    case FileCreate::kOpenAlways: flags |= O_CREAT; break;
    default: return Fail(kErrInvalidParameter);
    }
    // A file to be emptied is emptied only under its share lock, so that
    // one another program holds is left as it is.
    const bool empty_later = share != FileShare::kNone && create == FileCreate::kCreateAlways;
    if (empty_later) flags &= ~O_TRUNC;
    char path[kMaxPath];
    if (std::uint32_t rc = ResolveName(name, path, sizeof path)) return rc;

    // Reads leave the access time alone where the kernel lets us (our own
    // files): with relative access times every first read after a write
    // would otherwise update the inode once more, and a shared table is read
    // after a write on nearly every request. Another user's file refuses the
    // flag (EPERM) and is opened without it.
    int fd;
    int no_atime = O_NOATIME;
    for (;;) {
        fd = ::open(path, flags | O_CLOEXEC | O_NOCTTY | no_atime, 0666);
        if (fd >= 0 || (errno != EINTR && (errno != EPERM || no_atime == 0))) break;
        if (errno == EPERM) no_atime = 0;
    }
    if (fd < 0) return FailErrno(errno);
    struct stat st;
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return Fail(kErrAccessDenied);
    }
    if (share != FileShare::kNone) {
        std::uint32_t rc = ShareLock(fd, share);
        if (rc == kErrSuccess && empty_later && st.st_size > 0) {
            int r;
            do {
                r = ::ftruncate(fd, 0);
            } while (r != 0 && errno == EINTR);
            if (r != 0)
                rc = ErrorFromErrno(errno);
            else
                MarkWritten(fd);
        }
        if (rc != kErrSuccess) {
            ::close(fd);
            return Fail(rc);
        }
    }
    NoteFileIdentity(fd, st.st_dev, st.st_ino);
    *handle = fd;
    return kErrSuccess;
}

std::uint32_t FileClose(FileHandle handle) {
    if (handle < 0) return Fail(kErrInvalidHandle);
    ForgetRegions(handle); // the kernel drops its own locks with the descriptor
    if (handle < kTrackedFiles) written[static_cast<std::size_t>(handle)] = 0;
    // After close the descriptor is gone even when close reports EINTR.
    if (::close(handle) != 0 && errno != EINTR) return FailErrno(errno);
    return kErrSuccess;
}

std::uint32_t FileSeek(FileHandle handle, std::int64_t offset, SeekFrom from,
                       std::int64_t* position) {
    if (handle < 0) return Fail(kErrInvalidHandle);
    int whence = from == SeekFrom::kBegin     ? SEEK_SET
                 : from == SeekFrom::kCurrent ? SEEK_CUR
                                              : SEEK_END;
    ++call_count;
    off_t r = ::lseek(handle, static_cast<off_t>(offset), whence);
    if (r < 0) return FailErrno(errno);
    if (position) *position = r;
    return kErrSuccess;
}

namespace {

// The loops behind the reads and writes: at the file position when offset is
// negative, else at offset (without moving the position). Interrupted or
// partial transfers are resumed; *done gets what moved.
std::uint32_t ReadLoop(FileHandle handle, std::int64_t offset, void* buffer, std::uint32_t count,
                       std::uint32_t* done) {
    std::uint32_t got = 0;
    auto* b = static_cast<unsigned char*>(buffer);
    while (got < count) {
        ++call_count;
        const ssize_t r =
            offset < 0 ? ::read(handle, b + got, count - got)
                       : ::pread(handle, b + got, count - got, static_cast<off_t>(offset + got));
        if (r < 0) {
            if (errno == EINTR) continue;
            if (done) *done = got;
            return FailErrno(errno);
        }
        if (r == 0) break;
        got += static_cast<std::uint32_t>(r);
    }
    if (done) *done = got;
    return kErrSuccess;
}

std::uint32_t WriteLoop(FileHandle handle, std::int64_t offset, const void* buffer,
                        std::uint32_t count, std::uint32_t* done) {
    if (FaultHere()) return Fail(kErrDiskFull);
    MarkWritten(handle);
    std::uint32_t put = 0;
    auto* b = static_cast<const unsigned char*>(buffer);
    while (put < count) {
        ++call_count;
        const ssize_t r =
            offset < 0 ? ::write(handle, b + put, count - put)
                       : ::pwrite(handle, b + put, count - put, static_cast<off_t>(offset + put));
        if (r < 0) {
            if (errno == EINTR) continue;
            if (done) *done = put;
            // A handle open for reading only is "access denied" on the PC.
            if (errno == EBADF && ::fcntl(handle, F_GETFL) >= 0) return Fail(kErrAccessDenied);
            return FailErrno(errno);
        }
        if (r == 0) {
            if (done) *done = put;
            return Fail(kErrDiskFull);
        }
        put += static_cast<std::uint32_t>(r);
    }
    if (done) *done = put;
    return kErrSuccess;
}

} // namespace

std::uint32_t FileRead(FileHandle handle, void* buffer, std::uint32_t count, std::uint32_t* done) {
    if (done) *done = 0;
    if (handle < 0) return Fail(kErrInvalidHandle);
    if (buffer == nullptr && count > 0) return Fail(kErrInvalidParameter);
    return ReadLoop(handle, -1, buffer, count, done);
}

std::uint32_t FileWrite(FileHandle handle, const void* buffer, std::uint32_t count,
                        std::uint32_t* done) {
    if (done) *done = 0;
    if (handle < 0) return Fail(kErrInvalidHandle);
    if (buffer == nullptr && count > 0) return Fail(kErrInvalidParameter);
    return WriteLoop(handle, -1, buffer, count, done);
}

std::uint32_t FileReadAt(FileHandle handle, std::int64_t offset, void* buffer, std::uint32_t count,
                         std::uint32_t* done) {
    if (done) *done = 0;
    if (handle < 0) return Fail(kErrInvalidHandle);
    if (offset < 0 || (buffer == nullptr && count > 0)) return Fail(kErrInvalidParameter);
    return ReadLoop(handle, offset, buffer, count, done);
}

std::uint32_t FileWriteAt(FileHandle handle, std::int64_t offset, const void* buffer,
                          std::uint32_t count, std::uint32_t* done) {
    if (done) *done = 0;
    if (handle < 0) return Fail(kErrInvalidHandle);
    if (offset < 0 || (buffer == nullptr && count > 0)) return Fail(kErrInvalidParameter);
    return WriteLoop(handle, offset, buffer, count, done);
}

std::uint32_t FileSize(FileHandle handle, std::int64_t* size) {
    if (size) *size = 0;
    if (handle < 0) return Fail(kErrInvalidHandle);
    struct stat st;
    ++call_count;
    if (::fstat(handle, &st) != 0) return FailErrno(errno);
    if (size) *size = st.st_size;
    return kErrSuccess;
}

std::uint32_t FileTruncate(FileHandle handle, std::int64_t size) {
    if (handle < 0) return Fail(kErrInvalidHandle);
    if (size < 0) return Fail(kErrInvalidParameter);
    if (FaultHere()) return Fail(kErrDiskFull);
    MarkWritten(handle);
    int r;
    do {
        ++call_count;
        r = ::ftruncate(handle, static_cast<off_t>(size));
    } while (r != 0 && errno == EINTR);
    if (r != 0) return FailErrno(errno);
    return kErrSuccess;
}

std::uint32_t FileCommit(FileHandle handle) {
    if (handle < 0) return Fail(kErrInvalidHandle);
    if (!FileWritten(handle)) return kErrSuccess;
    return Sync(handle);
}

std::uint32_t FileDelete(const char* name) {
    char path[kMaxPath];
    if (std::uint32_t rc = ResolveName(name, path, sizeof path)) return rc;
    if (::unlink(path) != 0) return FailErrno(errno);
    return kErrSuccess;
}

std::uint32_t FileMode(const char* name, std::uint32_t* mode) {
    char path[kMaxPath];
    if (std::uint32_t rc = ResolveName(name, path, sizeof path)) return rc;
    struct stat st;
    if (::stat(path, &st) != 0) return FailErrno(errno);
    if (mode != nullptr) *mode = st.st_mode & 07777;
    return kErrSuccess;
}

std::uint32_t FileExists(const char* name) {
    return FileMode(name, nullptr);
}

} // namespace plat
