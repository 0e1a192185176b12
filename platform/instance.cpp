// Single instance through a Unix socket file in the working directory,
// peer credentials checked both ways, requests served without waiting;
// SIGTERM, SIGINT and SIGHUP as stop requests.
#include "platform/instance.h"

#include "platform/errors.h"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace plat {

namespace {

constexpr char kStopRequest = 'D';
constexpr char kStatusRequest = 'S';
constexpr char kJsonRequest = 'J';
constexpr char kStopAck = 'A';
constexpr int kSignalToken = -2;
constexpr int kMaxPending = 8;
constexpr std::size_t kStatusSize = 65536;
constexpr int kStopSignals[] = {SIGTERM, SIGINT, SIGHUP};

struct Pending {
    int fd = -1;
    std::uint64_t since = 0; // ms, monotonic
};

int g_listen = -1;
bool g_claimed = false; // signal handlers in place
dev_t g_socketDev = 0;  // the socket file this copy made
ino_t g_socketIno = 0;
Pending g_pending[kMaxPending];
StatusWriter g_statusWriter = nullptr;
char g_statusText[kStatusSize];
volatile std::sig_atomic_t g_signalled = 0;
struct sigaction g_oldActions[3] = {};

void OnStopSignal(int) {
    g_signalled = 1;
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

// One of the outcomes of a claim attempt while the directory is locked.
enum class Step { kListening, kAsk, kRetry, kFailed };

Step TryClaim(int* asked, std::uint32_t* error) {
    const int err = Listen();
    if (err == 0) return Step::kListening;
    if (err != EADDRINUSE) {
        *error = FailErrno(err);
        return Step::kFailed;
    }
    const int fd = Connect();
    if (fd >= 0) {
        ucred who{};
        if (TrustedListener(fd, &who)) {
            *asked = fd;
            return Step::kAsk;
        }
        ::close(fd);
        std::fprintf(stderr,
                     "wtalvoc: %s is held by uid %u (pid %d), not by this user; replacing it\n",
                     kInstanceSocket, static_cast<unsigned>(who.uid), static_cast<int>(who.pid));
    }
    // Nobody listens (a copy that ended without cleaning up), or a stranger
    // does: the name is taken back, but never from a file that is no socket.
    struct stat st;
    if (::lstat(kInstanceSocket, &st) == 0 && !S_ISSOCK(st.st_mode)) {
        *error = Fail(kErrFileExists);
        return Step::kFailed;
    }
    if (::unlink(kInstanceSocket) != 0 && errno != ENOENT) {
        *error = FailErrno(errno);
        return Step::kFailed;
    }
    return Step::kRetry;
}

void Refuse(int fd, const ucred& who, const char* why) {
    std::fprintf(stderr, "wtalvoc: refused a request on %s from uid %u (pid %d): %s\n",
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

InstanceResult InstanceClaim(std::uint32_t* error, std::uint32_t ackTimeoutMs) {
    std::uint32_t dummy;
    if (error == nullptr) error = &dummy;
    *error = 0;
    if (g_claimed) return InstanceResult::kFirst;
    // Two copies starting at once take turns over the directory.
    const int dir = ::open(".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (dir >= 0) ::flock(dir, LOCK_EX);
        int asked = -1;
        const Step step = TryClaim(&asked, error);
        if (dir >= 0) ::flock(dir, LOCK_UN);
        switch (step) {
        case Step::kListening:
            if (dir >= 0) ::close(dir);
            g_claimed = true;
            InstallSignals();
            return InstanceResult::kFirst;
        case Step::kFailed:
            if (dir >= 0) ::close(dir);
            return InstanceResult::kFailed;
        case Step::kAsk: {
            const std::uint32_t rc = AskToStop(asked, ackTimeoutMs);
            if (rc == kErrSuccess) {
                if (dir >= 0) ::close(dir);
                return InstanceResult::kOtherStopped;
            }
            if (rc != kErrAccessDenied || attempt > 2) {
                if (dir >= 0) ::close(dir);
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
    if (dir >= 0) ::close(dir);
    *error = Fail(kErrBusy);
    return InstanceResult::kFailed;
}

void InstanceRelease() {
    if (!g_claimed) return;
    CloseListener();
    g_claimed = false;
    for (int i = 0; i < 3; ++i) ::sigaction(kStopSignals[i], &g_oldActions[i], nullptr);
}

bool InstancePollStop(int* token) {
    if (token) *token = -1;
    if (!g_claimed) return false;
    if (g_signalled) {
        g_signalled = 0;
        if (token) *token = kSignalToken;
        return true;
    }
    AcceptWaiting();
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
            if (token) *token = fd;
            return true;
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
    if (g_signalled) return true;
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
    const int fd = Connect();
    if (fd < 0) {
        const int err = errno;
        if (err == ENOENT || err == ECONNREFUSED) return Fail(kErrFileNotFound);
        return FailErrno(err);
    }
    ucred who{};
    if (!TrustedListener(fd, &who)) {
        ::close(fd);
        return Fail(kErrAccessDenied);
    }
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

} // namespace plat
