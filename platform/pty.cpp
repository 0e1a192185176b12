// Pseudo-terminal pairs and raw serial devices (POSIX): the outside end of
// the line for the terminal simulator and the link tests.
#include "platform/pty.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

namespace platform {

namespace {

void CloseFd(int& fd) {
    if (fd >= 0) ::close(fd);
    fd = -1;
}

// True when `link` is a symbolic link whose target is exactly `target`.
bool LinkPointsAt(const char* link, const char* target) {
    char buf[sizeof(PtyPair::slave_name) + 1];
    ssize_t n = ::readlink(link, buf, sizeof(buf) - 1);
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof(buf) - 1) return false;
    buf[n] = '\0';
    return std::strcmp(buf, target) == 0;
}

// Makes `link` point at `target`: a fresh link under a temporary name, then
// renamed over the final name, so a reader never sees a half-made link.
int MakeLink(const char* link, const char* target) {
    struct stat st {};
    if (::lstat(link, &st) == 0 && !S_ISLNK(st.st_mode)) return EEXIST;
    char tmp[sizeof(PtyPair::link_name) + 32];
    int n = std::snprintf(tmp, sizeof(tmp), "%s.tmp%ld", link, static_cast<long>(::getpid()));
    if (n < 0 || static_cast<std::size_t>(n) >= sizeof(tmp)) return ENAMETOOLONG;
    ::unlink(tmp);
    if (::symlink(target, tmp) != 0) return errno;
    if (::rename(tmp, link) != 0) {
        int e = errno;
        ::unlink(tmp);
        return e;
    }
    return 0;
}

} // namespace

int pty_set_raw(int fd) {
    termios t{};
    if (::tcgetattr(fd, &t) != 0) return errno;
    ::cfmakeraw(&t);
    t.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS | CSIZE);
    t.c_cflag |= CS8 | CREAD | CLOCAL;
    t.c_iflag &= ~static_cast<tcflag_t>(IXON | IXOFF | IXANY);
    t.c_cc[VMIN] = 1;
    t.c_cc[VTIME] = 0;
    if (::cfsetispeed(&t, B57600) != 0 || ::cfsetospeed(&t, B57600) != 0) return errno;
    if (::tcsetattr(fd, TCSANOW, &t) != 0) return errno;
    return 0;
}

int pty_create(PtyPair& pair, const char* link_name) {
    pair = PtyPair{};
    if (link_name != nullptr && std::strlen(link_name) >= sizeof(pair.link_name))
        return ENAMETOOLONG;

    int m = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m < 0) return errno;
    pair.master = m;
    int err = 0;
    if (::grantpt(m) != 0 || ::unlockpt(m) != 0) err = errno;
    if (err == 0) {
        if (::ptsname_r(m, pair.slave_name, sizeof(pair.slave_name)) != 0)
            err = errno != 0 ? errno : ENAMETOOLONG;
    }
    if (err == 0) {
        pair.slave = ::open(pair.slave_name, O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (pair.slave < 0) err = errno;
    }
    if (err == 0) err = pty_set_raw(pair.slave);
    if (err == 0 && link_name != nullptr && link_name[0] != '\0') {
        err = MakeLink(link_name, pair.slave_name);
        if (err == 0) std::snprintf(pair.link_name, sizeof(pair.link_name), "%s", link_name);
    }
    if (err != 0) {
        CloseFd(pair.slave);
        CloseFd(pair.master);
        pair = PtyPair{};
    }
    return err;
}

void pty_release(PtyPair& pair) {
    if (pair.link_name[0] != '\0' && LinkPointsAt(pair.link_name, pair.slave_name))
        ::unlink(pair.link_name);
    pair.link_name[0] = '\0';
    CloseFd(pair.slave);
    CloseFd(pair.master);
    pair.slave_name[0] = '\0';
}

int pty_open_device(const char* path, int& fd) {
    fd = -1;
    // Opened without waiting for a carrier, then switched back to blocking.
    int d = ::open(path, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
    if (d < 0) return errno;
    int flags = ::fcntl(d, F_GETFL);
    if (flags < 0 || ::fcntl(d, F_SETFL, flags & ~O_NONBLOCK) != 0) {
        int e = errno;
        ::close(d);
        return e;
    }
    if (::isatty(d) == 0) {
        ::close(d);
        return ENOTTY;
    }
    int err = pty_set_raw(d);
    if (err != 0) {
        ::close(d);
        return err;
    }
    fd = d;
    return 0;
}

void pty_close_device(int& fd) {
    CloseFd(fd);
}

} // namespace platform
