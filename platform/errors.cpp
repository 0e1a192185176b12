// Thread last-error and the errno to Win32 number mapping.
#include "platform/errors.h"

#include <cerrno>

namespace plat {

namespace {
thread_local std::uint32_t t_lastError = 0;
}

std::uint32_t LastError() {
    return t_lastError;
}

void SetLastError(std::uint32_t code) {
    t_lastError = code;
}

std::uint32_t ErrorFromErrno(int err) {
    switch (err) {
    case 0: return kErrSuccess;
    case ENOENT: return kErrFileNotFound;
    case ENOTDIR:
    case ENAMETOOLONG:
    case ELOOP: return kErrPathNotFound;
    case EMFILE:
    case ENFILE: return kErrTooManyOpenFiles;
    case EACCES:
    case EPERM:
    case EROFS:
    case EISDIR:
    case ETXTBSY: return kErrAccessDenied;
    case EBADF: return kErrInvalidHandle;
    case ENOMEM: return kErrNotEnoughMemory;
    case EEXIST: return kErrFileExists;
    case EINVAL:
    case EOVERFLOW:
    case ERANGE:
    case ESPIPE: return kErrInvalidParameter;
    case ENOSPC:
    case EDQUOT:
    case EFBIG: return kErrDiskFull;
    case EBUSY: return kErrBusy;
    case EAGAIN: return kErrBusy; // a lock conflict is mapped to 33 by the lock code itself
    case ETIMEDOUT: return kErrWaitTimeout;
    default: return kErrGenFailure;
    }
}

std::uint32_t Fail(std::uint32_t code) {
    t_lastError = code;
    return code;
}

std::uint32_t FailErrno(int err) {
    return Fail(ErrorFromErrno(err));
}

} // namespace plat
