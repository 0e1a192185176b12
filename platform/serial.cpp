// The serial line on a Linux tty: exclusive open, 57600 8N1 raw, modem
// lines, one-byte reads with a total time-out, line error counters.
#include "platform/serial.h"

#include "platform/errors.h"

#include <atomic>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/serial.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

static_assert(sizeof(termios) <= sizeof(plat::SerialSettings::raw));

namespace plat {

namespace {

std::atomic<std::uint32_t> g_injected{0};
std::atomic<std::uint32_t> g_settingsApplied{0};
std::atomic<std::uint32_t> g_modemLines{0};
std::atomic<bool> g_holdReads{false};

// The tty's error counters as last seen, per open line. Written at open
// and close (caller's thread) and by SerialTakeLineErrors (the one thread
// that reads the line).
struct LineCounters {
    int fd = -1;
    bool counted = false; // the tty reports error counters
    serial_icounter_struct last{};
};
constexpr int kMaxLines = 8;
LineCounters g_lines[kMaxLines];

LineCounters* FindLine(int fd) {
    for (auto& l : g_lines)
        if (l.fd == fd) return &l;
    return nullptr;
}

std::int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return std::int64_t(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

void SleepMs(std::int64_t ms) {
    if (ms <= 0) return;
    timespec ts{time_t(ms / 1000), long(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Modem-control call; a tty without modem lines answers "not supported",
// which is taken as done.
std::uint32_t ModemLine(int fd, unsigned long request, int bits) {
    if (ioctl(fd, request, &bits) == 0) return 0;
    int err = errno;
    if (err == ENOTTY || err == EINVAL || err == ENOTSUP || err == 515 /* ENOIOCTLCMD */) return 0;
    return FailErrno(err);
}

} // namespace

std::uint32_t SerialOpen(const char* path, SerialHandle* handle) {
    *handle = kNoSerial;
    if (path == nullptr || path[0] == 0) return Fail(kErrFileNotFound);
    int fd = open(path, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        // A tty in exclusive mode refuses further openers with EBUSY.
        if (errno == EBUSY) return Fail(kErrAccessDenied);
        return FailErrno(errno);
    }
    // The advisory lock also keeps out openers with the privilege to ignore
    // the tty's exclusive mode.
    if (flock(fd, LOCK_EX | LOCK_NB) != 0) {
        int err = errno;
        close(fd);
        return err == EWOULDBLOCK ? Fail(kErrAccessDenied) : FailErrno(err);
    }
    LineCounters* slot = FindLine(-1);
    if (slot == nullptr) {
        close(fd);
        return Fail(kErrTooManyOpenFiles);
    }
    if (isatty(fd)) ioctl(fd, TIOCEXCL);
    slot->fd = fd;
    slot->last = {};
    slot->counted = ioctl(fd, TIOCGICOUNT, &slot->last) == 0;
    *handle = fd;
    return 0;
}

std::uint32_t SerialSetupLine(SerialHandle handle) {
    termios t{};
    if (tcgetattr(handle, &t) != 0) return FailErrno(errno);
    cfmakeraw(&t);
    t.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY | INPCK | ISTRIP | IGNBRK | BRKINT | PARMRK |
                           IGNPAR | ICRNL | INLCR | IGNCR);
    t.c_oflag &= ~tcflag_t(OPOST);
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_lflag &= ~tcflag_t(ICANON | ECHO | ECHOE | ECHONL | ISIG | IEXTEN);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, B57600) != 0 || cfsetospeed(&t, B57600) != 0) return FailErrno(errno);
    if (tcsetattr(handle, TCSANOW, &t) != 0) return FailErrno(errno);
    if (std::uint32_t rc = SerialSetDtr(handle, false)) return rc;
    return SerialSetRts(handle, false);
}

std::uint32_t SerialGetSettings(SerialHandle handle, SerialSettings* settings) {
    termios t{};
    if (tcgetattr(handle, &t) != 0) return FailErrno(errno);
    std::memset(settings->raw, 0, sizeof settings->raw);
    std::memcpy(settings->raw, &t, sizeof t);
    return 0;
}

std::uint32_t SerialSetSettings(SerialHandle handle, const SerialSettings& settings) {
    termios t{};
    std::memcpy(&t, settings.raw, sizeof t);
    if (tcsetattr(handle, TCSANOW, &t) != 0) return FailErrno(errno);
    g_settingsApplied.fetch_add(1);
    return 0;
}

std::uint32_t SerialSetDtr(SerialHandle handle, bool on) {
    if (on)
        g_modemLines.fetch_or(1);
    else
        g_modemLines.fetch_and(~1u);
    return ModemLine(handle, on ? TIOCMBIS : TIOCMBIC, TIOCM_DTR);
}

std::uint32_t SerialSetRts(SerialHandle handle, bool on) {
    if (on)
        g_modemLines.fetch_or(2);
    else
        g_modemLines.fetch_and(~2u);
    return ModemLine(handle, on ? TIOCMBIS : TIOCMBIC, TIOCM_RTS);
}

std::uint32_t SerialPurge(SerialHandle handle) {
    if (tcflush(handle, TCIOFLUSH) != 0) return FailErrno(errno);
    return 0;
}

std::uint32_t SerialWrite(SerialHandle handle, const void* data, std::uint32_t count) {
    const auto* p = static_cast<const unsigned char*>(data);
    // Waiting room for a full queue: the frame's own time on the line plus a
    // second; a peer that reads nothing any more loses the rest.
    const std::int64_t deadline = NowMs() + 1000 + count / 5;
    std::uint32_t done = 0;
    while (done < count) {
        ssize_t n = write(handle, p + done, count - done);
        if (n > 0) {
            done += std::uint32_t(n);
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) return FailErrno(errno);
        std::int64_t left = deadline - NowMs();
        if (left <= 0) return Fail(kErrWaitTimeout);
        pollfd pfd{handle, POLLOUT, 0};
        poll(&pfd, 1, int(left));
    }
    return 0;
}

std::uint32_t SerialReadByte(SerialHandle handle, std::uint8_t* byte, std::uint32_t timeoutMs,
                             std::uint32_t* got) {
    *got = 0;
    while (g_holdReads.load()) SleepMs(5);
    const std::int64_t deadline = NowMs() + timeoutMs;
    // A hung-up tty reads 0 bytes at once and polls as readable together
    // with POLLHUP; a live one with nothing waiting also reads 0 (VMIN 0)
    // but polls readable only when a byte came.
    bool hungUp = false;
    for (;;) {
        ssize_t n = read(handle, byte, 1);
        if (n == 1) {
            *got = 1;
            return 0;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && errno != EAGAIN) {
            SleepMs(deadline - NowMs());
            return Fail(kErrIoDevice);
        }
        if (hungUp) {
            SleepMs(deadline - NowMs());
            return Fail(kErrDeviceNotConnected);
        }
        std::int64_t left = deadline - NowMs();
        if (left <= 0) return 0;
        pollfd pfd{handle, POLLIN, 0};
        int r = poll(&pfd, 1, int(left));
        if (r > 0 && (pfd.revents & (POLLHUP | POLLERR | POLLNVAL))) hungUp = true;
    }
}

std::uint32_t SerialTakeLineErrors(SerialHandle handle) {
    std::uint32_t bits = g_injected.exchange(0);
    LineCounters* line = FindLine(handle);
    if (line == nullptr || !line->counted) return bits;
    serial_icounter_struct now{};
    if (ioctl(handle, TIOCGICOUNT, &now) != 0) return bits;
    if (now.frame != line->last.frame) bits |= kCeFrame;
    if (now.overrun != line->last.overrun) bits |= kCeOverrun;
    if (now.brk != line->last.brk) bits |= kCeBreak;
    if (now.buf_overrun != line->last.buf_overrun) bits |= kCeRxOver;
    if (now.parity != line->last.parity) bits |= kCeRxParity;
    line->last = now;
    return bits;
}

std::uint32_t SerialWaitTransmitterEmpty(SerialHandle handle, std::uint16_t /*base*/) {
    // The UART's own line status, polled without pause, where the tty
    // reports it; a line that does not (pseudo-terminal, most USB adapters)
    // is drained by the kernel instead. A UART that never empties (a stuck
    // handshake is impossible here, flow control is off) would be waited
    // for at most about a second and then drained.
    int lsr = 0;
    if (ioctl(handle, TIOCSERGETLSR, &lsr) == 0) {
        const std::int64_t giveUp = NowMs() + 1000;
        while (!(lsr & TIOCSER_TEMT)) {
            if (ioctl(handle, TIOCSERGETLSR, &lsr) != 0 || NowMs() > giveUp) break;
        }
        if (lsr & TIOCSER_TEMT) return 0;
    }
    if (tcdrain(handle) != 0) return FailErrno(errno);
    return 0;
}

std::uint32_t SerialClose(SerialHandle handle) {
    if (handle < 0) return Fail(kErrInvalidHandle);
    LineCounters* line = FindLine(handle);
    if (line != nullptr) line->fd = -1;
    // The exclusive mode belongs to the tty, not to this opener: lift it, or
    // the next open (the driver reopens after line errors) is refused while
    // the other side still holds the device.
    if (isatty(handle)) ioctl(handle, TIOCNXCL);
    if (close(handle) != 0) return FailErrno(errno);
    return 0;
}

void SerialTestInjectLineErrors(std::uint32_t ceBits) {
    g_injected.fetch_or(ceBits);
}

std::uint32_t SerialTestSettingsApplied() {
    return g_settingsApplied.load();
}

void SerialTestHoldReads(bool hold) {
    g_holdReads.store(hold);
}

std::uint32_t SerialTestModemLines() {
    return g_modemLines.load();
}

} // namespace plat
