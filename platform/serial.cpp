// The serial line on a Linux tty (or a TCP connection to a serial server):
// exclusive open, 57600 8N1 raw, modem lines, one-byte reads with a total
// time-out, line error counters, the wait until a frame has left the line.
#include "platform/serial.h"

#include "platform/errors.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <linux/serial.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

static_assert(sizeof(termios) <= sizeof(plat::SerialSettings::raw));

namespace plat {

namespace {

std::atomic<std::uint32_t> g_injected{0};
std::atomic<std::uint32_t> g_settingsApplied{0};
std::atomic<std::uint32_t> g_modemLines{0};
std::atomic<bool> g_holdReads{false};

// Per open line: what it is, its termios before the open, and the tty's
// error counters as last seen. Written at open and close (caller's thread)
// and by SerialTakeLineErrors (the one thread that reads the line).
struct LineCounters {
    int fd = -1;
    bool counted = false; // the tty reports error counters
    bool tcp = false;
    bool lsrTrusted = false;
    bool hadTermios = false;
    bool changed = false; // SerialSetupLine ran: the close restores `earlier`
    termios earlier{};
    serial_icounter_struct last{};
};

// The call trace of the test seam.
constexpr std::size_t kTraceSize = 4096;
char g_trace[kTraceSize];
std::atomic<std::size_t> g_traceUsed{0};
void Trace(char c) {
    const std::size_t at = g_traceUsed.fetch_add(1);
    if (at < kTraceSize) g_trace[at] = c;
}
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

void SleepUs(std::int64_t us) {
    if (us <= 0) return;
    timespec ts{time_t(us / 1000000), long(us % 1000000) * 1000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
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

// Copies text into out, cut to fit.
void CopyText(char* out, std::size_t size, const char* text) {
    std::size_t n = std::strlen(text);
    if (n >= size) n = size - 1;
    std::memcpy(out, text, n);
    out[n] = 0;
}

bool IsTcp(int fd) {
    const LineCounters* l = FindLine(fd);
    return l != nullptr && l->tcp;
}

// The target of a port entry that is a link to `tcp:HOST:PORT`, into out.
bool TcpTarget(const char* path, char* out, std::size_t size) {
    char link[256];
    const ssize_t n = readlink(path, link, sizeof link - 1);
    if (n < 5) return false;
    link[n] = 0;
    if (std::strncmp(link, "tcp:", 4) != 0) return false;
    CopyText(out, size, link + 4);
    return true;
}

// Connects to HOST:PORT within two seconds: TCP_NODELAY, keep-alive probes
// after 10 s of silence, every 5 s, 3 of them. 2 for a target that does not
// parse or resolve, 1167 when nobody answers there.
std::uint32_t TcpConnect(const char* target, int* out) {
    char host[128];
    CopyText(host, sizeof host, target);
    char* colon = std::strrchr(host, ':');
    if (colon == nullptr || colon == host || colon[1] == 0) return Fail(kErrFileNotFound);
    *colon = 0;
    const char* port = colon + 1;
    char* h = host;
    if (h[0] == '[' && colon[-1] == ']') { // [v6 address]
        colon[-1] = 0;
        ++h;
    }
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (getaddrinfo(h, port, &hints, &found) != 0 || found == nullptr)
        return Fail(kErrFileNotFound);
    int fd = -1;
    for (addrinfo* a = found; a != nullptr && fd < 0; a = a->ai_next) {
        fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0) continue;
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        setsockopt(fd, SOL_SOCKET, SO_KEEPALIVE, &one, sizeof one);
        int idle = 10, interval = 5, count = 3;
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPIDLE, &idle, sizeof idle);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPINTVL, &interval, sizeof interval);
        setsockopt(fd, IPPROTO_TCP, TCP_KEEPCNT, &count, sizeof count);
        bool ok = connect(fd, a->ai_addr, a->ai_addrlen) == 0;
        if (!ok && errno == EINPROGRESS) {
            pollfd pfd{fd, POLLOUT, 0};
            int err = 0;
            socklen_t len = sizeof err;
            ok = poll(&pfd, 1, 2000) == 1 &&
                 getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0;
        }
        if (!ok) {
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd < 0) return Fail(kErrDeviceNotConnected);
    *out = fd;
    return 0;
}

// The tty name a path reaches ("ttyUSB0"), every link followed.
bool TtyName(const char* path, char* out, std::size_t size) {
    char real[PATH_MAX];
    if (realpath(path, real) == nullptr) return false;
    if (std::strncmp(real, "/dev/", 5) != 0) return false;
    const char* base = std::strrchr(real, '/') + 1;
    CopyText(out, size, base);
    return base[0] != 0;
}

// The kernel driver of a tty, from sysfs.
void TtyDriver(const char* tty, char* out, std::size_t size) {
    out[0] = 0;
    char link[PATH_MAX];
    std::snprintf(link, sizeof link, "/sys/class/tty/%s/device/driver", tty);
    char target[PATH_MAX];
    const ssize_t n = readlink(link, target, sizeof target - 1);
    if (n <= 0) return;
    target[n] = 0;
    const char* base = std::strrchr(target, '/');
    CopyText(out, size, base != nullptr ? base + 1 : target);
}

// Drivers of the 8250 family, whose line status register read reports the
// transmitter as it is ("serial" is the 8250's PNP and PCI glue).
bool LsrTrusted(const char* driver) {
    static constexpr const char* kFamily[] = {"serial8250",  "serial",    "8250",
                                              "dw-apb-uart", "of_serial", "exar_serial"};
    for (const char* d : kFamily)
        if (std::strcmp(driver, d) == 0) return true;
    return std::strncmp(driver, "8250_", 5) == 0;
}

} // namespace

std::uint32_t SerialOpen(const char* path, SerialHandle* handle) {
    *handle = kNoSerial;
    if (path == nullptr || path[0] == 0) return Fail(kErrFileNotFound);
    char target[128];
    if (TcpTarget(path, target, sizeof target)) {
        LineCounters* slot = FindLine(-1);
        if (slot == nullptr) return Fail(kErrTooManyOpenFiles);
        int fd = -1;
        if (std::uint32_t rc = TcpConnect(target, &fd)) return rc;
        *slot = LineCounters{};
        slot->fd = fd;
        slot->tcp = true;
        *handle = fd;
        return 0;
    }
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
    *slot = LineCounters{};
    slot->fd = fd;
    slot->hadTermios = tcgetattr(fd, &slot->earlier) == 0;
    slot->counted = ioctl(fd, TIOCGICOUNT, &slot->last) == 0;
    char tty[64], driver[64];
    if (TtyName(path, tty, sizeof tty)) {
        TtyDriver(tty, driver, sizeof driver);
        slot->lsrTrusted = LsrTrusted(driver);
    }
    *handle = fd;
    return 0;
}

std::uint32_t SerialSetupLine(SerialHandle handle) {
    if (IsTcp(handle)) return 0;
    termios t{};
    if (tcgetattr(handle, &t) != 0) return FailErrno(errno);
    cfmakeraw(&t);
    t.c_iflag &= ~tcflag_t(IXON | IXOFF | IXANY | INPCK | ISTRIP | IGNBRK | BRKINT | PARMRK |
                           IGNPAR | ICRNL | INLCR | IGNCR);
    t.c_oflag &= ~tcflag_t(OPOST);
    // HUPCL off: a close must not drop DTR and RTS.
    t.c_cflag &= ~tcflag_t(CSIZE | PARENB | PARODD | CSTOPB | CRTSCTS | HUPCL);
    t.c_cflag |= CS8 | CLOCAL | CREAD;
    t.c_lflag &= ~tcflag_t(ICANON | ECHO | ECHOE | ECHONL | ISIG | IEXTEN);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 0;
    if (cfsetispeed(&t, B57600) != 0 || cfsetospeed(&t, B57600) != 0) return FailErrno(errno);
    if (tcsetattr(handle, TCSANOW, &t) != 0) return FailErrno(errno);
    if (LineCounters* line = FindLine(handle)) line->changed = true;
    // DTR stays as it is (set by the line thread and kept across reopens);
    // RTS is the direction's business.
    return 0;
}

std::uint32_t SerialGetSettings(SerialHandle handle, SerialSettings* settings) {
    termios t{};
    if (IsTcp(handle)) {
        std::memset(settings->raw, 0, sizeof settings->raw);
        return 0;
    }
    if (tcgetattr(handle, &t) != 0) return FailErrno(errno);
    std::memset(settings->raw, 0, sizeof settings->raw);
    std::memcpy(settings->raw, &t, sizeof t);
    return 0;
}

std::uint32_t SerialSetSettings(SerialHandle handle, const SerialSettings& settings) {
    termios t{};
    if (IsTcp(handle)) return 0;
    std::memcpy(&t, settings.raw, sizeof t);
    if (tcsetattr(handle, TCSANOW, &t) != 0) return FailErrno(errno);
    g_settingsApplied.fetch_add(1);
    return 0;
}

std::uint32_t SerialSetDtr(SerialHandle handle, bool on) {
    Trace(on ? 'D' : 'd');
    if (IsTcp(handle)) return 0;
    if (on)
        g_modemLines.fetch_or(1);
    else
        g_modemLines.fetch_and(~1u);
    return ModemLine(handle, on ? TIOCMBIS : TIOCMBIC, TIOCM_DTR);
}

std::uint32_t SerialSetRts(SerialHandle handle, bool on) {
    Trace(on ? 'R' : 'r');
    if (IsTcp(handle)) return 0;
    if (on)
        g_modemLines.fetch_or(2);
    else
        g_modemLines.fetch_and(~2u);
    return ModemLine(handle, on ? TIOCMBIS : TIOCMBIC, TIOCM_RTS);
}

std::uint32_t SerialPurge(SerialHandle handle) {
    if (IsTcp(handle)) return SerialFlushInput(handle);
    if (tcflush(handle, TCIOFLUSH) != 0) return FailErrno(errno);
    return 0;
}

std::uint32_t SerialWrite(SerialHandle handle, const void* data, std::uint32_t count) {
    const auto* p = static_cast<const unsigned char*>(data);
    Trace('W');
    const bool tcp = IsTcp(handle);
    // Waiting room for a full queue: the frame's own time on the line plus a
    // second; a peer that reads nothing any more loses the rest.
    const std::int64_t deadline = NowMs() + 1000 + count / 5;
    std::uint32_t done = 0;
    while (done < count) {
        // (A closed connection must not raise SIGPIPE.)
        ssize_t n = tcp ? send(handle, p + done, count - done, MSG_NOSIGNAL)
                        : write(handle, p + done, count - done);
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
    const bool tcp = IsTcp(handle);
    for (;;) {
        ssize_t n = read(handle, byte, 1);
        if (n == 1) {
            *got = 1;
            return 0;
        }
        if (n == 0 && tcp) hungUp = true; // the server closed the connection
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

std::uint32_t SerialWaitSent(SerialHandle handle, std::uint32_t bytes, std::uint32_t turnaroundUs) {
    const LineCounters* line = FindLine(handle);
    if (line != nullptr && line->tcp) return 0;
    // An 8250-family UART: its line status, read with a short sleep between
    // reads, until holding and shift registers are empty (at most about a
    // second: flow control is off, so it cannot stall; then drained).
    int lsr = 0;
    if (line != nullptr && line->lsrTrusted && ioctl(handle, TIOCSERGETLSR, &lsr) == 0) {
        const std::int64_t giveUp = NowMs() + 1000;
        while (!(lsr & TIOCSER_TEMT) && NowMs() <= giveUp) {
            SleepUs(20);
            if (ioctl(handle, TIOCSERGETLSR, &lsr) != 0) break;
        }
        if (lsr & TIOCSER_TEMT) {
            SleepUs(turnaroundUs);
            return 0;
        }
    }
    // Anything else: the drain ends when the driver has handed the bytes
    // on (a USB adapter's chip still holds up to the whole frame), so the
    // frame's own wire time is waited for after it.
    if (tcdrain(handle) != 0) return FailErrno(errno);
    SleepUs(std::int64_t(SerialWireTimeUs(bytes)) + turnaroundUs);
    return 0;
}

std::uint32_t SerialFlushInput(SerialHandle handle) {
    if (IsTcp(handle)) {
        std::uint8_t junk[256];
        for (int i = 0; i < 64; ++i)
            if (recv(handle, junk, sizeof junk, MSG_DONTWAIT) <= 0) break;
        return 0;
    }
    if (tcflush(handle, TCIFLUSH) != 0) return FailErrno(errno);
    return 0;
}

std::uint32_t SerialKernelRs485(SerialHandle handle, std::uint32_t turnaroundUs) {
    Trace('K');
    serial_rs485 rs{};
    rs.flags = SER_RS485_ENABLED | SER_RS485_RTS_ON_SEND;
    // The delay is in milliseconds: the turnaround rounded up.
    rs.delay_rts_after_send = (turnaroundUs + 999) / 1000;
    if (IsTcp(handle) || ioctl(handle, TIOCSRS485, &rs) != 0) return Fail(kErrNotSupported);
    return 0;
}

int SerialRs485State(SerialHandle handle) {
    serial_rs485 rs{};
    if (ioctl(handle, TIOCGRS485, &rs) != 0) return -1;
    return (rs.flags & SER_RS485_ENABLED) ? 1 : 0;
}

std::uint32_t SerialLowLatency(SerialHandle handle) {
    Trace('L');
    serial_struct ss{};
    if (IsTcp(handle) || ioctl(handle, TIOCGSERIAL, &ss) != 0) return 0;
    if (ss.flags & ASYNC_LOW_LATENCY) return 0;
    ss.flags |= ASYNC_LOW_LATENCY;
    ioctl(handle, TIOCSSERIAL, &ss);
    return 0;
}

bool SerialIsTcp(SerialHandle handle) {
    return IsTcp(handle);
}

bool SerialGetCounts(SerialHandle handle, SerialCounts* counts) {
    serial_icounter_struct c{};
    if (IsTcp(handle) || ioctl(handle, TIOCGICOUNT, &c) != 0) return false;
    *counts =
        SerialCounts{std::uint32_t(c.frame), std::uint32_t(c.parity), std::uint32_t(c.overrun),
                     std::uint32_t(c.brk), std::uint32_t(c.buf_overrun)};
    return true;
}

void SerialDescribe(const char* path, SerialInfo* info) {
    *info = SerialInfo{};
    if (path == nullptr) return;
    if (TcpTarget(path, info->tcpTarget, sizeof info->tcpTarget)) {
        info->tcp = true;
        return;
    }
    if (!TtyName(path, info->tty, sizeof info->tty)) return;
    TtyDriver(info->tty, info->driver, sizeof info->driver);
    info->lsrTrusted = LsrTrusted(info->driver);
    char file[PATH_MAX];
    std::snprintf(file, sizeof file, "/sys/class/tty/%s/device/latency_timer", info->tty);
    if (std::FILE* f = std::fopen(file, "r")) {
        int ms = -1;
        if (std::fscanf(f, "%d", &ms) == 1 && ms >= 0 && ms < 1000) info->latencyTimerMs = ms;
        std::fclose(f);
    }
}

std::uint32_t SerialClose(SerialHandle handle) {
    if (handle < 0) return Fail(kErrInvalidHandle);
    LineCounters* line = FindLine(handle);
    if (line != nullptr) {
        line->fd = -1;
        // The port's earlier settings come back, HUPCL cleared, so the close
        // leaves DTR as it is.
        if (line->hadTermios && line->changed) {
            termios t = line->earlier;
            t.c_cflag &= ~tcflag_t(HUPCL);
            tcsetattr(handle, TCSANOW, &t);
        }
    }
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

void SerialTestTraceStart() {
    g_traceUsed.store(0);
}

void SerialTestTrace(char* out, std::size_t size) {
    if (size == 0) return;
    std::size_t n = g_traceUsed.load();
    if (n > kTraceSize) n = kTraceSize;
    if (n > size - 1) n = size - 1;
    std::memcpy(out, g_trace, n);
    out[n] = 0;
}

} // namespace plat
