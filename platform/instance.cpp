// Single instance through an abstract Unix socket; SIGTERM and SIGINT as
// stop requests.
#include "platform/instance.h"

#include "platform/errors.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace plat {

namespace {

constexpr char kStopRequest = 'D';
constexpr char kStopAck = 'A';
constexpr int kSignalToken = -2;

int g_listen = -1;
bool g_claimed = false; // SIGTERM / SIGINT handlers in place
volatile std::sig_atomic_t g_signalled = 0;
struct sigaction g_oldTerm {
}, g_oldInt{};

void OnStopSignal(int) {
    g_signalled = 1;
}

// The socket address for the working directory; false when it cannot be
// looked at.
bool AddressFor(sockaddr_un* addr, socklen_t* len) {
    struct stat st;
    if (::stat(".", &st) != 0) return false;
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    int n = std::snprintf(addr->sun_path + 1, sizeof addr->sun_path - 1, "WTALVOC-%llx-%llx",
                          static_cast<unsigned long long>(st.st_dev),
                          static_cast<unsigned long long>(st.st_ino));
    *len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + 1 + n);
    return true;
}

// Asks the copy at addr to stop; 0 once it acknowledged, else an error.
std::uint32_t AskToStop(const sockaddr_un& addr, socklen_t len, std::uint32_t timeoutMs,
                        bool* refused) {
    *refused = false;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return ErrorFromErrno(errno);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), len) != 0) {
        int err = errno;
        ::close(fd);
        *refused = err == ECONNREFUSED;
        return ErrorFromErrno(err);
    }
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
            rc = kErrGenFailure;
    }
    ::close(fd);
    return rc;
}

} // namespace

InstanceResult InstanceClaim(std::uint32_t* error, std::uint32_t ackTimeoutMs) {
    std::uint32_t dummy;
    if (error == nullptr) error = &dummy;
    *error = 0;
    if (g_claimed) return InstanceResult::kFirst;
    sockaddr_un addr;
    socklen_t len;
    if (!AddressFor(&addr, &len)) {
        *error = FailErrno(errno);
        return InstanceResult::kFailed;
    }
    // A copy that is just ending may hold the name a moment longer than it
    // accepts connections: try a few times.
    for (int attempt = 0; attempt < 50; ++attempt) {
        int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        if (fd < 0) {
            *error = FailErrno(errno);
            return InstanceResult::kFailed;
        }
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), len) == 0 && ::listen(fd, 8) == 0) {
            g_listen = fd;
            g_claimed = true;
            g_signalled = 0;
            struct sigaction sa {};
            sa.sa_handler = OnStopSignal;
            sigemptyset(&sa.sa_mask);
            ::sigaction(SIGTERM, &sa, &g_oldTerm);
            ::sigaction(SIGINT, &sa, &g_oldInt);
            return InstanceResult::kFirst;
        }
        int err = errno;
        ::close(fd);
        if (err != EADDRINUSE) {
            *error = FailErrno(err);
            return InstanceResult::kFailed;
        }
        bool refused = false;
        std::uint32_t rc = AskToStop(addr, len, ackTimeoutMs, &refused);
        if (rc == kErrSuccess) return InstanceResult::kOtherStopped;
        if (!refused) {
            *error = Fail(rc);
            return InstanceResult::kFailed;
        }
        ::usleep(20000);
    }
    *error = Fail(kErrBusy);
    return InstanceResult::kFailed;
}

void InstanceRelease() {
    if (!g_claimed) return;
    if (g_listen >= 0) ::close(g_listen);
    g_listen = -1;
    g_claimed = false;
    ::sigaction(SIGTERM, &g_oldTerm, nullptr);
    ::sigaction(SIGINT, &g_oldInt, nullptr);
}

bool InstancePollStop(int* token) {
    if (token) *token = -1;
    if (!g_claimed) return false;
    if (g_signalled) {
        g_signalled = 0;
        if (token) *token = kSignalToken;
        return true;
    }
    while (g_listen >= 0) {
        int conn = ::accept4(g_listen, nullptr, nullptr, SOCK_CLOEXEC);
        if (conn < 0) return false; // nothing waiting (or a passing failure)
        // The request byte follows the connection at once; wait a little for
        // it and take nothing else as a stop request.
        pollfd p{conn, POLLIN, 0};
        char request = 0;
        if (::poll(&p, 1, 2000) == 1 && ::recv(conn, &request, 1, MSG_DONTWAIT) == 1 &&
            request == kStopRequest) {
            if (token) *token = conn;
            return true;
        }
        ::close(conn);
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
    if (g_listen >= 0) {
        ::close(g_listen);
        g_listen = -1;
    }
    if (token < 0) return;
    (void)::send(token, &kStopAck, 1, MSG_NOSIGNAL);
    ::close(token);
}

} // namespace plat
