// Device names to host paths, and opening a device without waiting on it.
#include "platform/devices.h"

#include "platform/errors.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace plat {

namespace {

constexpr const char* kNames[kDeviceCount] = {"COM1", "COM2", "COM3", "COM4", "LPT1", "LPT2"};
constexpr const char* kHostPaths[kDeviceCount] = {"/dev/ttyS0", "/dev/ttyS1", "/dev/ttyS2",
                                                  "/dev/ttyS3", "/dev/lp0",   "/dev/lp1"};

char Upper(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

const char* DeviceName(int device) {
    return (device >= 0 && device < kDeviceCount) ? kNames[device] : nullptr;
}

int DeviceNumber(const char* name) {
    if (name == nullptr) return -1;
    if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
    std::size_t n = std::strlen(name);
    if (n == 5 && name[4] == ':') n = 4;
    if (n != 4) return -1;
    for (int d = 0; d < kDeviceCount; ++d) {
        bool same = true;
        for (std::size_t i = 0; i < 4; ++i) same = same && Upper(name[i]) == kNames[d][i];
        if (same) return d;
    }
    return -1;
}

std::uint32_t ResolveDevice(const char* name, char* out, std::size_t outSize) {
    int d = DeviceNumber(name);
    if (d < 0) return Fail(kErrInvalidParameter);
    // An entry of that name in the working directory, in any letter case.
    char local[kMaxPath];
    struct stat st;
    if (ResolveName(kNames[d], local, sizeof local) == kErrSuccess && ::lstat(local, &st) == 0) {
        if (std::strlen(local) + 1 > outSize) return Fail(kErrPathNotFound);
        std::strcpy(out, local);
        return kErrSuccess;
    }
    if (std::strlen(kHostPaths[d]) + 1 > outSize) return Fail(kErrPathNotFound);
    std::strcpy(out, kHostPaths[d]);
    return kErrSuccess;
}

std::uint32_t DeviceRealPath(const char* name, char* out, std::size_t outSize) {
    if (name == nullptr || out == nullptr || outSize == 0) return Fail(kErrInvalidParameter);
    char path[kMaxPath];
    if (DeviceNumber(name) >= 0) {
        if (std::uint32_t rc = ResolveDevice(name, path, sizeof path)) return rc;
    } else {
        if (std::strlen(name) + 1 > sizeof path) return Fail(kErrPathNotFound);
        std::strcpy(path, name);
    }
    char real[PATH_MAX];
    const char* found = ::realpath(path, real) != nullptr ? real : path;
    if (std::strlen(found) + 1 > outSize) return Fail(kErrPathNotFound);
    std::strcpy(out, found);
    return kErrSuccess;
}

std::uint32_t DeviceOpen(const char* name, FileHandle* handle) {
    if (handle == nullptr) return Fail(kErrInvalidParameter);
    *handle = kNoFile;
    if (DeviceNumber(name) < 0)
        return FileOpen(name, kAccessReadWrite, FileCreate::kOpenExisting, handle);
    char path[kMaxPath];
    if (std::uint32_t rc = ResolveDevice(name, path, sizeof path)) return rc;
    int fd;
    do {
        fd = ::open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return FailErrno(errno);
    // Writes from here on wait until the device took them.
    int flags = ::fcntl(fd, F_GETFL);
    if (flags >= 0) ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    *handle = fd;
    return kErrSuccess;
}

} // namespace plat
