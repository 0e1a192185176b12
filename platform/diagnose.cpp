// Host paths and reasons of failures, in the operator's words.
#include "platform/diagnose.h"

#include "platform/devices.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/locks.h"

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <grp.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace plat {

namespace {

void Put(char* out, std::size_t size, const char* a, const char* b = "") {
    if (out != nullptr && size > 0) std::snprintf(out, size, "%s%s", a, b);
}

// "Permission denied; is the user in the <group> group?" for a device whose
// group could grant access, else the plain text.
void PermissionText(const char* path, char* out, std::size_t size) {
    struct stat st;
    if (::stat(path, &st) == 0 && (st.st_mode & S_IRWXG) != 0) {
        if (const group* g = ::getgrgid(st.st_gid)) {
            std::snprintf(out, size, "Permission denied; is the user in the %s group?", g->gr_name);
            return;
        }
    }
    Put(out, size, std::strerror(EACCES));
}

} // namespace

const char* HostPathOf(const char* name, bool device, char* out, std::size_t outSize) {
    if (out == nullptr || outSize == 0) return out;
    char resolved[kMaxPath];
    std::uint32_t rc = device && DeviceNumber(name) >= 0
                           ? ResolveDevice(name, resolved, sizeof resolved)
                           : ResolveName(name, resolved, sizeof resolved);
    if (rc != 0) {
        Put(out, outSize, "?");
        return out;
    }
    char real[PATH_MAX];
    ssize_t link = 0;
    if (::realpath(resolved, real) != nullptr) {
        Put(out, outSize, real);
    } else if ((link = ::readlink(resolved, real, sizeof real - 1)) > 0) {
        real[link] = '\0'; // a link to nothing: where it points
        Put(out, outSize, real);
    } else if (resolved[0] == '/') {
        Put(out, outSize, resolved);
    } else {
        char cwd[PATH_MAX];
        if (::getcwd(cwd, sizeof cwd) == nullptr) cwd[0] = '\0';
        std::snprintf(out, outSize, "%s/%s", cwd,
                      resolved[0] == '.' && resolved[1] == '/' ? resolved + 2 : resolved);
    }
    return out;
}

const char* FileFailureReason(const char* name, std::uint32_t code, char* out,
                              std::size_t outSize) {
    char path[kMaxPath];
    if (ResolveName(name, path, sizeof path) != 0) {
        Put(out, outSize, std::strerror(ENOENT));
        return out;
    }
    const int fd = ::open(path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        Put(out, outSize, std::strerror(errno));
        return out;
    }
    const bool held = ShareHolderText(fd, out, outSize) != nullptr;
    ::close(fd);
    if (!held) Put(out, outSize, ErrorText(code));
    return out;
}

const char* DeviceFailureReason(const char* name, std::uint32_t code, char* out,
                                std::size_t outSize) {
    if (name == nullptr || name[0] == '\0') {
        Put(out, outSize, "no port is enabled in talvo.cfg");
        return out;
    }
    char path[kMaxPath];
    if (DeviceNumber(name) >= 0 ? ResolveDevice(name, path, sizeof path) != 0
                                : std::snprintf(path, sizeof path, "%s", name) < 0) {
        Put(out, outSize, std::strerror(ENOENT));
        return out;
    }
    const int fd = ::open(path, O_RDWR | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) {
        if (errno == EACCES)
            PermissionText(path, out, outSize);
        else
            Put(out, outSize, std::strerror(errno));
        return out;
    }
    termios t;
    const bool tty = ::tcgetattr(fd, &t) == 0;
    ::close(fd);
    if (!tty)
        Put(out, outSize, "not a terminal device");
    else if (code == kErrAccessDenied || code == kErrBusy)
        Put(out, outSize, "in use by another program (the line is opened exclusively)");
    else
        Put(out, outSize, ErrorText(code));
    return out;
}

const char* ErrorText(std::uint32_t code) {
    switch (code) {
    case kErrSuccess: return "no error";
    case kErrFileNotFound: return std::strerror(ENOENT);
    case kErrPathNotFound: return "a directory on the way does not exist";
    case kErrTooManyOpenFiles: return std::strerror(EMFILE);
    case kErrAccessDenied: return std::strerror(EACCES);
    case kErrInvalidHandle: return std::strerror(EBADF);
    case kErrNotEnoughMemory: return std::strerror(ENOMEM);
    case kErrSharingViolation: return "in use by another program";
    case kErrLockViolation: return "locked by another program";
    case kErrFileExists: return std::strerror(EEXIST);
    case kErrInvalidParameter: return std::strerror(EINVAL);
    case kErrDiskFull: return std::strerror(ENOSPC);
    case kErrBusy: return std::strerror(EBUSY);
    case kErrWaitTimeout: return std::strerror(ETIMEDOUT);
    default: return "system failure";
    }
}

std::uint32_t ChangeDirectory(const char* path, const char** reason) {
    if (reason != nullptr) *reason = "";
    if (path != nullptr && ::chdir(path) == 0) return kErrSuccess;
    const int err = path == nullptr ? EINVAL : errno;
    if (reason != nullptr) *reason = std::strerror(err);
    return FailErrno(err);
}

} // namespace plat
