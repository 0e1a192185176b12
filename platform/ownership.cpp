// Owners, permission bits and the running user, for the directory checks.
#include "platform/ownership.h"

#include "platform/errors.h"
#include "platform/files.h"

#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

std::uint32_t FileFactsOf(const char* name, FileFacts* out) {
    if (out == nullptr) return Fail(kErrInvalidParameter);
    *out = FileFacts{};
    char path[kMaxPath];
    if (const std::uint32_t rc = ResolveName(name, path, sizeof path); rc != 0)
        return Fail(rc == kErrPathNotFound ? rc : kErrFileNotFound);
    struct stat st;
    if (::lstat(path, &st) != 0) return FailErrno(errno);
    out->link = S_ISLNK(st.st_mode);
    if (out->link && ::stat(path, &st) != 0) return FailErrno(errno);
    out->directory = S_ISDIR(st.st_mode);
    out->uid = st.st_uid;
    out->mode = st.st_mode & 07777;
    out->size = st.st_size;
    return kErrSuccess;
}

unsigned CurrentUser() {
    return ::geteuid();
}

std::uint32_t DirectoryWritable(const char* path) {
    if (::access(path, W_OK | X_OK) == 0) return kErrSuccess;
    return FailErrno(errno);
}

} // namespace plat
