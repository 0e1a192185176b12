// The manager's own files: no link followed, exact permissions, renames and
// the start-up permission checks (see ownfiles.h).
#include "platform/ownfiles.h"

#include "platform/errors.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

namespace {

int Open(const char* path, int flags, unsigned mode) {
    int fd;
    do {
        fd = ::open(path, flags | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW, mode);
    } while (fd < 0 && errno == EINTR);
    return fd;
}

} // namespace

std::uint32_t OwnFileOpen(const char* name, unsigned access, unsigned mode, FileHandle* handle) {
    if (handle == nullptr) return Fail(kErrInvalidParameter);
    *handle = kNoFile;
    int flags = 0;
    if (std::uint32_t rc = AccessFlags(access, &flags)) return rc;
    char path[kMaxPath];
    if (std::uint32_t rc = ResolveName(name, path, sizeof path)) return rc;
    // Created here: the bits are set on the new file itself, so the umask
    // has no say. Already there: opened as it is (never through a link).
    int fd = Open(path, flags | O_CREAT | O_EXCL, mode);
    if (fd >= 0) {
        if (::fchmod(fd, static_cast<mode_t>(mode)) != 0) {
            const int err = errno;
            ::close(fd);
            return FailErrno(err);
        }
    } else if (errno == EEXIST) {
        fd = Open(path, flags, mode);
    }
    if (fd < 0) return errno == ELOOP ? Fail(kErrCantResolve) : FailErrno(errno);
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Fail(kErrAccessDenied);
    }
    *handle = fd;
    return kErrSuccess;
}

std::uint32_t OwnFileRename(const char* from, const char* to) {
    char a[kMaxPath];
    char b[kMaxPath];
    if (std::uint32_t rc = ResolveName(from, a, sizeof a)) return rc;
    if (std::uint32_t rc = ResolveName(to, b, sizeof b)) return rc;
    if (::rename(a, b) != 0) return FailErrno(errno);
    return kErrSuccess;
}

std::uint32_t WritableByOthers(const char* name, bool* yes) {
    if (yes == nullptr) return Fail(kErrInvalidParameter);
    *yes = false;
    std::uint32_t mode = 0;
    if (std::uint32_t rc = FileMode(name, &mode)) return rc;
    *yes = (mode & S_IWOTH) != 0;
    return kErrSuccess;
}

} // namespace plat
