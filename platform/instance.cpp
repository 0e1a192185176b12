// Single instance through a Unix socket file in the working directory,
// claimed under a private lock file, peer credentials checked both ways,
// requests served without waiting; SIGTERM, SIGINT and SIGHUP as stop
// requests; the monitors' ring of lines.
#include "platform/instance.h"

#include "platform/errors.h"
#include "platform/logline.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <pwd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace plat {

namespace {

constexpr char kStopRequest = 'D';
constexpr char kStatusRequest = 'S';
constexpr char kJsonRequest = 'J';
constexpr char kMonitorRequest = 'M';
constexpr char kStopAck = 'A';
constexpr int kSignalToken = -2;
constexpr int kMaxPending = 8;
constexpr std::size_t kStatusSize = 65536;
constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

struct Pending {
    int fd = -1;
    std::uint64_t since = 0; // ms, monotonic
    ucred who{};
};

// The monitors' ring: kRingLines lines of at most kLineSize bytes; line n
// (counted from the start) lives in slot n % kRingLines until overwritten.
constexpr std::size_t kLineSize = 256;
constexpr std::uint64_t kRingLines = 1024;
struct RingLine {
    std::uint16_t length;
    char text[kLineSize];
};
RingLine g_ring[kRingLines];
std::uint64_t g_written = 0; // lines published so far

struct Monitor {
    int fd = -1;
    std::uint64_t next = 0; // the line to send next
    std::size_t sent = 0;   // bytes of it already sent
    char notice[96] = {};   // a "lines lost" notice to send first
    std::size_t noticeLength = 0, noticeSent = 0;
};
Monitor g_monitors[kMaxMonitors];

int g_listen = -1;
bool g_claimed = false; // signal handlers in place
dev_t g_socketDev = 0;  // the socket file this copy made
ino_t g_socketIno = 0;
Pending g_pending[kMaxPending];
StatusWriter g_statusWriter = nullptr;
char g_statusText[kStatusSize];
volatile std::sig_atomic_t g_signalled = 0; // the stop signal's number
StopRequest g_lastStop;
struct sigaction g_oldActions[3] = {};

void OnStopSignal(int signal) {
    g_signalled = signal;
}

std::uint64_t NowMs() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
}

sockaddr_un Address(socklen_t* len) {
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", kInstanceSocket);
    *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + std::strlen(addr.sun_path) + 1);
    return addr;
}

bool PeerOf(int fd, ucred* who) {
    socklen_t n = sizeof *who;
    return ::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, who, &n) == 0 && n == sizeof *who;
}

// A client of the running copy: its own user or root.
bool TrustedClient(int fd, ucred* who) {
    if (!PeerOf(fd, who)) return false;
    return who->uid == ::geteuid() || who->uid == 0;
}

// A listener a client may talk to: its own user, root or the directory's
// owner (the operator of the data directory).
bool TrustedListener(int fd, ucred* who) {
    if (!PeerOf(fd, who)) return false;
    struct stat st;
    const bool owner = ::stat(".", &st) == 0 && st.st_uid == who->uid;
    return who->uid == ::geteuid() || who->uid == 0 || owner;
}

// Connects to the socket of the working directory: the descriptor, or -1
// with errno.
int Connect() {
    socklen_t len;
    const sockaddr_un addr = Address(&len);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
        const int err = errno;
        ::close(fd);
        errno = err;
        return -1;
    }
    return fd;
}

// Connects to the running copy of this directory and checks who listens
// (*fd; *who when given): 0; kErrFileNotFound when none runs; kErrAccessDenied
// when a stranger holds the socket; another error of the connection.
std::uint32_t ConnectTrusted(int* fd, ucred* who) {
    *fd = Connect();
    if (*fd < 0) {
        const int err = errno;
        return err == ENOENT || err == ECONNREFUSED ? Fail(kErrFileNotFound) : FailErrno(err);
    }
    ucred peer{};
    if (!TrustedListener(*fd, &peer)) {
        ::close(*fd);
        *fd = -1;
        return Fail(kErrAccessDenied);
    }
    if (who != nullptr) *who = peer;
    return kErrSuccess;
}

bool OwnSocketFile() {
    struct stat st;
    return g_socketIno != 0 && ::lstat(kInstanceSocket, &st) == 0 && st.st_dev == g_socketDev &&
           st.st_ino == g_socketIno;
}

void CloseListener() {
    if (g_listen >= 0) ::close(g_listen);
    g_listen = -1;
    if (OwnSocketFile()) ::unlink(kInstanceSocket);
    g_socketIno = 0;
    for (Pending& p : g_pending) {
        if (p.fd >= 0) ::close(p.fd);
        p.fd = -1;
    }
}

// Binds and listens on the name: 0, or errno (EADDRINUSE when taken).
int Listen() {
    socklen_t len;
    const sockaddr_un addr = Address(&len);
    const int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return errno;
    const mode_t old = ::umask(077); // the socket file: mode 0600
    const int bound = ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), len);
    const int err = errno;
    ::umask(old);
    if (bound != 0) {
        ::close(fd);
        return err;
    }
    struct stat st;
    if (::listen(fd, kMaxPending) != 0 || ::lstat(kInstanceSocket, &st) != 0) {
        const int e = errno;
        ::close(fd);
        ::unlink(kInstanceSocket);
        return e;
    }
    g_listen = fd;
    g_socketDev = st.st_dev;
    g_socketIno = st.st_ino;
    return 0;
}

// Sends the stop request over fd and waits for the acknowledgement.
std::uint32_t AskToStop(int fd, std::uint32_t timeoutMs) {
    std::uint32_t rc = kErrSuccess;
    if (::send(fd, &kStopRequest, 1, MSG_NOSIGNAL) != 1) {
        rc = ErrorFromErrno(errno);
    } else {
        pollfd p{fd, POLLIN, 0};
        int r;
        do {
            r = ::poll(&p, 1, timeoutMs > 0x7FFFFFFF ? -1 : static_cast<int>(timeoutMs));
        } while (r < 0 && errno == EINTR);
        char ack = 0;
        if (r == 0)
            rc = kErrWaitTimeout;
        else if (r < 0 || ::recv(fd, &ack, 1, 0) != 1 || ack != kStopAck)
            rc = kErrAccessDenied; // closed without an answer: refused
    }
    ::close(fd);
    return rc;
}

void InstallSignals() {
    g_signalled = 0;
    struct sigaction sa {};
    sa.sa_handler = OnStopSignal;
    sigemptyset(&sa.sa_mask);
    for (int i = 0; i < 3; ++i) ::sigaction(kStopSignals[i], &sa, &g_oldActions[i]);
}

// name in the working directory as an absolute path, for messages.
const char* Here(const char* name, char* out, std::size_t size) {
    char cwd[4096];
    if (::getcwd(cwd, sizeof cwd) == nullptr) std::snprintf(cwd, sizeof cwd, ".");
    std::snprintf(out, size, "%s/%s", std::strcmp(cwd, "/") == 0 ? "" : cwd, name);
    return out;
}

// The lock file under which a claim is made: opened (created 0600) without
// following a link. One that cannot be opened because it is somebody else's
// (a copy run by hand as root) or a link is replaced, as the socket is.
int OpenLockFile(std::uint32_t* error, char* where, std::size_t whereSize) {
    constexpr int kFlags = O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
    int fd = ::open(kInstanceLock, kFlags, 0600);
    int err = errno;
    struct stat st;
    if (fd < 0 && (err == EACCES || err == ELOOP) && ::lstat(kInstanceLock, &st) == 0 &&
        st.st_uid != ::geteuid()) {
        char path[4200];
        if (::unlink(kInstanceLock) == 0) {
            LogLine(LogLevel::kWarning, "wtalvoc: %s belonged to uid %u; replaced",
                    Here(kInstanceLock, path, sizeof path), static_cast<unsigned>(st.st_uid));
            fd = ::open(kInstanceLock, kFlags | O_EXCL, 0600);
        }
        err = errno;
    }
    if (fd < 0) {
        char path[4200];
        std::snprintf(where, whereSize, "%s: cannot open the lock file",
                      Here(kInstanceLock, path, sizeof path));
        *error = FailErrno(err);
        return -1;
    }
    if (::fstat(fd, &st) == 0 && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0)
        ::fchmod(fd, 0600);
    return fd;
}

// Takes the lock file's write lock, waiting at most kClaimWaitMs for a copy
// that claims at the same moment. A lock held longer: false, *where names
// its holder.
bool TakeLock(int fd, std::uint32_t* error, char* where, std::size_t whereSize) {
    flock whole{};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    const std::uint64_t end = NowMs() + kClaimWaitMs;
    for (;;) {
        if (::fcntl(fd, F_SETLK, &whole) == 0) return true;
        if (errno != EAGAIN && errno != EACCES && errno != EINTR) {
            char path[4200];
            std::snprintf(where, whereSize, "%s: cannot lock",
                          Here(kInstanceLock, path, sizeof path));
            *error = FailErrno(errno);
            return false;
        }
        if (NowMs() >= end) break;
        ::usleep(20000);
    }
    flock holder = whole;
    char path[4200], user[64] = "?";
    struct stat st;
    char proc[32];
    int pid = 0;
    if (::fcntl(fd, F_GETLK, &holder) == 0 && holder.l_type != F_UNLCK) pid = holder.l_pid;
    std::snprintf(proc, sizeof proc, "/proc/%d", pid);
    if (pid > 0 && ::stat(proc, &st) == 0)
        InstanceUserName(static_cast<unsigned>(st.st_uid), user, sizeof user);
    std::snprintf(where, whereSize, "%s: held by pid %d (%s) for more than %u s",
                  Here(kInstanceLock, path, sizeof path), pid, user, kClaimWaitMs / 1000);
    *error = Fail(kErrBusy);
    return false;
}

void UnlockFile(int fd) {
    flock whole{};
    whole.l_type = F_UNLCK;
    whole.l_whence = SEEK_SET;
    ::fcntl(fd, F_SETLK, &whole);
}

// One of the outcomes of a claim attempt while the lock file is locked.
enum class Step { kListening, kAsk, kRetry, kFailed };

Step TryClaim(int* asked, ucred* listener, std::uint32_t* error, char* where,
              std::size_t whereSize) {
    char path[4200];
    const int err = Listen();
    if (err == 0) return Step::kListening;
    if (err != EADDRINUSE) {
        std::snprintf(where, whereSize, "%s: cannot listen",
                      Here(kInstanceSocket, path, sizeof path));
        *error = FailErrno(err);
        return Step::kFailed;
    }
    const int fd = Connect();
    if (fd >= 0) {
        if (TrustedListener(fd, listener)) {
            *asked = fd;
            return Step::kAsk;
        }
        ::close(fd);
        LogLine(LogLevel::kWarning,
                "wtalvoc: %s is held by uid %u (pid %d), not by this user; replacing it",
                kInstanceSocket, static_cast<unsigned>(listener->uid),
                static_cast<int>(listener->pid));
    }
    // Nobody listens (a copy that ended without cleaning up), or a stranger
    // does: the name is taken back, but never from a file that is no socket.
    struct stat st;
    if (::lstat(kInstanceSocket, &st) == 0 && !S_ISSOCK(st.st_mode)) {
        std::snprintf(where, whereSize, "%s: is not a socket; remove it",
                      Here(kInstanceSocket, path, sizeof path));
        *error = Fail(kErrFileExists);
        return Step::kFailed;
    }
    if (::unlink(kInstanceSocket) != 0 && errno != ENOENT) {
        std::snprintf(where, whereSize, "%s: cannot remove the stale socket",
                      Here(kInstanceSocket, path, sizeof path));
        *error = FailErrno(errno);
        return Step::kFailed;
    }
    return Step::kRetry;
}

void Refuse(int fd, const ucred& who, const char* why) {
    LogLine(LogLevel::kWarning, "wtalvoc: refused a request on %s from uid %u (pid %d): %s",
            kInstanceSocket, static_cast<unsigned>(who.uid), static_cast<int>(who.pid), why);
    ::close(fd);
}

// Takes the connections that wait, without blocking.
void AcceptWaiting() {
    for (int taken = 0; g_listen >= 0 && taken < 4 * kMaxPending; ++taken) {
        const int fd = ::accept4(g_listen, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        ucred who{};
        if (!TrustedClient(fd, &who)) {
            Refuse(fd, who, "not this user or root");
            continue;
        }
        Pending* slot = nullptr;
        for (Pending& p : g_pending)
            if (p.fd < 0 && slot == nullptr) slot = &p;
        if (slot == nullptr) {
            Refuse(fd, who, "too many connections waiting");
            continue;
        }
        slot->fd = fd;
        slot->since = NowMs();
        slot->who = who;
    }
}

// ---- Monitors ----

void CloseMonitor(Monitor& m) {
    if (m.fd >= 0) ::close(m.fd);
    m = Monitor{};
}

void AddMonitor(int fd, const ucred& who) {
    for (Monitor& m : g_monitors) {
        if (m.fd >= 0) continue;
        m = Monitor{};
        m.fd = fd;
        m.next = g_written; // from now on
        static constexpr char kHello[] =
            "wtalvoc: monitoring; one line per request and line event\n";
        std::snprintf(m.notice, sizeof m.notice, "%s", kHello);
        m.noticeLength = sizeof kHello - 1;
        return;
    }
    Refuse(fd, who, "too many monitors");
}

// Sends what the socket takes without waiting: false when the monitor is
// gone (closed, or an error).
bool SendSome(Monitor& m, const char* text, std::size_t length, std::size_t* done) {
    while (*done < length) {
        const ssize_t r = ::send(m.fd, text + *done, length - *done, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r > 0) {
            *done += static_cast<std::size_t>(r);
            continue;
        }
        return r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR);
    }
    return true;
}

// Feeds one monitor; a monitor the ring overtook skips to the oldest line
// still there and is told how many it lost.
void Feed(Monitor& m) {
    if (m.fd < 0) return;
    char probe;
    const ssize_t r = ::recv(m.fd, &probe, 1, MSG_DONTWAIT);
    if (r == 0 || (r < 0 && errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        CloseMonitor(m); // the monitor went away
        return;
    }
    if (m.noticeLength == 0 && g_written - m.next > kRingLines) {
        const std::uint64_t oldest = g_written - kRingLines;
        const int n = std::snprintf(
            m.notice, sizeof m.notice,
            "%swtalvoc: %llu line%s lost (this monitor reads too slowly)\n", m.sent > 0 ? "\n" : "",
            static_cast<unsigned long long>(oldest - m.next), oldest - m.next == 1 ? "" : "s");
        m.noticeLength = n > 0 ? static_cast<std::size_t>(n) : 0;
        m.noticeSent = 0;
        m.next = oldest;
        m.sent = 0;
    }
    if (m.noticeLength > 0) {
        if (!SendSome(m, m.notice, m.noticeLength, &m.noticeSent)) return CloseMonitor(m);
        if (m.noticeSent < m.noticeLength) return;
        m.noticeLength = m.noticeSent = 0;
    }
    // Bounded per pass: the ring's size at most.
    for (std::uint64_t steps = 0; m.next < g_written && steps < kRingLines; ++steps) {
        const RingLine& line = g_ring[m.next % kRingLines];
        if (!SendSome(m, line.text, line.length, &m.sent)) return CloseMonitor(m);
        if (m.sent < line.length) return; // the socket is full: later
        ++m.next;
        m.sent = 0;
    }
}

void AnswerStatus(int fd, bool json) {
    std::size_t n = 0;
    g_statusText[0] = '\0';
    if (g_statusWriter != nullptr) n = g_statusWriter(json, g_statusText, sizeof g_statusText);
    if (n >= sizeof g_statusText) n = sizeof g_statusText - 1;
    // The socket's buffer takes the whole text at once; what does not fit
    // is cut rather than waited for.
    std::size_t sent = 0;
    while (sent < n) {
        const ssize_t r = ::send(fd, g_statusText + sent, n - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (r <= 0) break;
        sent += static_cast<std::size_t>(r);
    }
    ::close(fd);
}

} // namespace

InstanceResult InstanceClaim(std::uint32_t* error, std::uint32_t ackTimeoutMs,
                             InstancePeer* stopped, char* where, std::size_t whereSize) {
    std::uint32_t dummy;
    if (error == nullptr) error = &dummy;
    *error = 0;
    char noWhere[8];
    if (where == nullptr || whereSize == 0) {
        where = noWhere;
        whereSize = sizeof noWhere;
    }
    where[0] = '\0';
    if (g_claimed) return InstanceResult::kFirst;
    // Two copies starting at once take turns over the lock file.
    const int lock = OpenLockFile(error, where, whereSize);
    if (lock < 0) return InstanceResult::kFailed;
    struct Closer {
        int fd;
        ~Closer() { ::close(fd); } // also gives the lock up
    } closer{lock};
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (!TakeLock(lock, error, where, whereSize)) return InstanceResult::kFailed;
        int asked = -1;
        ucred listener{};
        const Step step = TryClaim(&asked, &listener, error, where, whereSize);
        UnlockFile(lock);
        switch (step) {
        case Step::kListening:
            g_claimed = true;
            InstallSignals();
            return InstanceResult::kFirst;
        case Step::kFailed: return InstanceResult::kFailed;
        case Step::kAsk: {
            const std::uint32_t rc = AskToStop(asked, ackTimeoutMs);
            if (rc == kErrSuccess) {
                if (stopped != nullptr) *stopped = InstancePeer{listener.pid, listener.uid};
                return InstanceResult::kOtherStopped;
            }
            if (rc != kErrAccessDenied || attempt > 2) {
                std::snprintf(where, whereSize, "the copy running here (pid %d) did not stop",
                              static_cast<int>(listener.pid));
                *error = Fail(rc);
                return InstanceResult::kFailed;
            }
            // A copy that is just ending may close without an answer.
            ::usleep(20000);
            break;
        }
        case Step::kRetry: break;
        }
    }
    std::snprintf(where, whereSize, "%s kept changing hands", kInstanceSocket);
    *error = Fail(kErrBusy);
    return InstanceResult::kFailed;
}

std::uint32_t InstanceAskStop(InstancePeer* stopped, std::uint32_t ackTimeoutMs) {
    int fd = -1;
    ucred who{};
    if (const std::uint32_t rc = ConnectTrusted(&fd, &who)) return rc;
    const std::uint32_t rc = AskToStop(fd, ackTimeoutMs);
    if (rc == kErrSuccess && stopped != nullptr) *stopped = InstancePeer{who.pid, who.uid};
    return rc == kErrSuccess ? rc : Fail(rc);
}

StopRequest InstanceLastStop() {
    return g_lastStop;
}

const char* InstanceUserName(unsigned uid, char* out, std::size_t size) {
    if (out == nullptr || size == 0) return out;
    passwd entry{};
    passwd* found = nullptr;
    char buffer[1024];
    if (::getpwuid_r(static_cast<uid_t>(uid), &entry, buffer, sizeof buffer, &found) == 0 &&
        found != nullptr)
        std::snprintf(out, size, "%s", found->pw_name);
    else
        std::snprintf(out, size, "uid %u", uid);
    return out;
}

void InstanceRelease() {
    if (!g_claimed) return;
    CloseListener();
    for (Monitor& m : g_monitors) CloseMonitor(m);
    g_claimed = false;
    for (int i = 0; i < 3; ++i) ::sigaction(kStopSignals[i], &g_oldActions[i], nullptr);
}

bool InstancePollStop(int* token) {
    if (token) *token = -1;
    if (!g_claimed) return false;
    if (g_signalled != 0) {
        g_lastStop = StopRequest{StopCause::kSignal, static_cast<int>(g_signalled), {}};
        g_signalled = 0;
        if (token) *token = kSignalToken;
        return true;
    }
    AcceptWaiting();
    InstanceMonitorFlush();
    const std::uint64_t now = NowMs();
    for (Pending& p : g_pending) {
        if (p.fd < 0) continue;
        char request = 0;
        const ssize_t r = ::recv(p.fd, &request, 1, MSG_DONTWAIT);
        if (r < 0 && (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR)) {
            if (now - p.since >= kRequestBudgetMs) {
                ::close(p.fd);
                p.fd = -1;
            }
            continue;
        }
        const int fd = p.fd;
        p.fd = -1;
        if (r == 1 && request == kStopRequest) {
            g_lastStop = StopRequest{StopCause::kOtherCopy, 0,
                                     InstancePeer{static_cast<int>(p.who.pid), p.who.uid}};
            if (token) *token = fd;
            return true;
        }
        if (r == 1 && request == kMonitorRequest) {
            AddMonitor(fd, p.who);
            continue;
        }
        if (r == 1 && (request == kStatusRequest || request == kJsonRequest))
            AnswerStatus(fd, request == kJsonRequest);
        else
            ::close(fd); // anything else is no request
    }
    return false;
}

bool InstanceStopPending() {
    if (!g_claimed) return false;
    if (g_signalled != 0) return true;
    if (g_listen < 0) return false;
    pollfd p{g_listen, POLLIN, 0};
    return ::poll(&p, 1, 0) == 1 && (p.revents & POLLIN) != 0;
}

void InstanceFinishStop(int token) {
    // The window is gone: as on the PC, a copy started from now on no longer
    // finds this one. Signals still arrive as stop requests.
    CloseListener();
    if (token < 0) return;
    (void)::send(token, &kStopAck, 1, MSG_NOSIGNAL);
    ::close(token);
}

void InstanceSetStatusWriter(StatusWriter writer) {
    g_statusWriter = writer;
}

std::uint32_t InstanceQueryStatus(bool json, char* out, std::size_t size, std::uint32_t timeoutMs) {
    if (out == nullptr || size == 0) return Fail(kErrInvalidParameter);
    out[0] = '\0';
    int fd = -1;
    if (const std::uint32_t rc = ConnectTrusted(&fd, nullptr)) return rc;
    const char request = json ? kJsonRequest : kStatusRequest;
    if (::send(fd, &request, 1, MSG_NOSIGNAL) != 1) {
        const int err = errno;
        ::close(fd);
        return FailErrno(err);
    }
    std::size_t used = 0;
    const std::uint64_t end = NowMs() + timeoutMs;
    std::uint32_t rc = kErrSuccess;
    for (;;) {
        const std::uint64_t now = NowMs();
        if (now >= end) {
            rc = kErrWaitTimeout;
            break;
        }
        pollfd p{fd, POLLIN, 0};
        const int r = ::poll(&p, 1, static_cast<int>(end - now));
        if (r < 0 && errno == EINTR) continue;
        if (r <= 0) {
            rc = r == 0 ? kErrWaitTimeout : ErrorFromErrno(errno);
            break;
        }
        char chunk[4096];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got <= 0) {
            // Closed without a word: the copy refused us.
            if (used == 0) rc = kErrAccessDenied;
            break;
        }
        for (ssize_t i = 0; i < got && used + 1 < size; ++i) out[used++] = chunk[i];
    }
    out[used] = '\0';
    ::close(fd);
    return rc == kErrSuccess ? rc : Fail(rc);
}

int InstanceMonitorCount() {
    int n = 0;
    for (const Monitor& m : g_monitors) n += m.fd >= 0 ? 1 : 0;
    return n;
}

void InstanceMonitorPublish(const char* line, std::size_t length) {
    if (InstanceMonitorCount() == 0 || line == nullptr) return;
    RingLine& slot = g_ring[g_written % kRingLines];
    if (length > kLineSize - 1) length = kLineSize - 1;
    std::memcpy(slot.text, line, length);
    if (length == 0 || slot.text[length - 1] != '\n') slot.text[length++] = '\n';
    slot.length = static_cast<std::uint16_t>(length);
    ++g_written;
    InstanceMonitorFlush();
}

void InstanceMonitorFlush() {
    for (Monitor& m : g_monitors) Feed(m);
}

std::uint32_t InstanceMonitor(int outFd) {
    int fd = -1;
    if (const std::uint32_t rc = ConnectTrusted(&fd, nullptr)) return rc;
    if (::send(fd, &kMonitorRequest, 1, MSG_NOSIGNAL) != 1) {
        ::close(fd);
        return Fail(kErrAccessDenied);
    }
    std::uint64_t received = 0;
    for (;;) {
        char chunk[4096];
        const ssize_t got = ::recv(fd, chunk, sizeof chunk, 0);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        received += static_cast<std::uint64_t>(got);
        for (ssize_t done = 0; done < got;) {
            const ssize_t w = ::write(outFd, chunk + done, static_cast<std::size_t>(got - done));
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) {
                ::close(fd);
                return FailErrno(errno);
            }
            done += w;
        }
    }
    ::close(fd);
    // Closed before the greeting: the copy refused us.
    return received == 0 ? Fail(kErrAccessDenied) : kErrSuccess;
}

} // namespace plat
