// One running manager per working directory: stopping it, and asking it how
// it is doing.
//
// The PC finds the running copy by its window ("class TALVOC titled
// WTALVOC") and sends it the destroy message. Here the running copy listens
// on a Unix socket file in the working directory (kInstanceSocket, mode
// 0600); a second copy connects to it and asks it to stop, and waits until
// the running copy acknowledges that its window got the destroy message.
// The running copy then shuts down in order. `wtalvoc --status` asks the
// same socket for the running copy's status text.
//
// Trust, both ways:
//   - the running copy takes a request only from a peer of its own user or
//     root (the kernel's peer credentials); anyone else is refused and the
//     refusal is written to standard error;
//   - a client talks only to a listener of its own user, root or the
//     directory's owner; a starting copy that finds a listener of anyone
//     else on the name replaces that socket (and says so) instead of
//     obeying it, so nobody can keep the manager from starting;
//   - the running copy never waits for a client: connections are taken
//     without blocking and each has kRequestBudgetMs to send its one request
//     byte, checked on later passes, then is dropped.
//
// SIGTERM, SIGINT and SIGHUP reach the running copy as the same stop
// request, so `kill` (or a service manager) stops it as cleanly as a second
// start does.
//
// The claim itself is made under a private lock file (kInstanceLock, mode
// 0600, the running user's): a lock held by a copy that is claiming at the
// same moment is waited for a bounded time (kClaimWaitMs), never for ever,
// and a lock held longer is refused with the holder's PID and user. Nobody
// else can take it (they cannot open it), so another user who can read the
// directory cannot keep the manager from starting.
//
// Monitors: `wtalvoc --monitor` connects to the socket and gets a stream of
// text lines that the running copy publishes (InstanceMonitorPublish). The
// lines wait in a fixed ring; each monitor is fed from it without blocking
// whenever the main loop passes by, and one that reads too slowly is told
// how many lines it lost instead of holding anything up.
//
// PeekMessage (ui.h) checks for requests; nothing else needs to.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

inline constexpr const char* kInstanceSocket = ".wtalvoc.sock";
inline constexpr const char* kInstanceLock = ".wtalvoc.lock";
inline constexpr std::uint32_t kRequestBudgetMs = 1000;
inline constexpr std::uint32_t kClaimWaitMs = 3000;
inline constexpr int kMaxMonitors = 4;

// A process on the other side of the socket (or holding the lock).
struct InstancePeer {
    int pid = 0;
    unsigned uid = 0;
};

// Why the running copy was asked to stop.
enum class StopCause { kNone, kSignal, kOtherCopy };
struct StopRequest {
    StopCause cause = StopCause::kNone;
    int signal = 0;    // kSignal: SIGTERM, SIGINT or SIGHUP
    InstancePeer peer; // kOtherCopy: who asked
};

enum class InstanceResult {
    kFirst,        // no other copy here; this one is now the running copy
    kOtherStopped, // another copy was running and has been asked to stop
    kFailed,       // neither could be done (*error has the reason)
};

// Claims the working directory for this process, or asks the copy already
// running in it to stop. With kFirst, SIGTERM, SIGINT and SIGHUP become stop
// requests. The wait for the other copy's acknowledgement is bounded by
// ackTimeoutMs. With kOtherStopped, *stopped (when given) is the copy that
// was stopped. With kFailed, *where (when given) names what failed: the lock
// file, the socket, or the holder of the lock ("... held by pid 12 (root)").
InstanceResult InstanceClaim(std::uint32_t* error, std::uint32_t ackTimeoutMs = 60000,
                             InstancePeer* stopped = nullptr, char* where = nullptr,
                             std::size_t whereSize = 0);

// Asks the copy running in the working directory to stop, without claiming
// anything: 0 with *stopped filled; kErrFileNotFound when no copy runs here;
// kErrAccessDenied when the socket is somebody else's or the copy refused;
// kErrWaitTimeout when it did not acknowledge in ackTimeoutMs.
std::uint32_t InstanceAskStop(InstancePeer* stopped, std::uint32_t ackTimeoutMs);

// The last stop request this copy took (kNone: none, e.g. its window was
// closed).
StopRequest InstanceLastStop();

// The user's name for uid ("uid 1234" when it has none) into out.
const char* InstanceUserName(unsigned uid, char* out, std::size_t size);

// Gives the claim up (closes the socket and removes its file when it is
// still this copy's, restores the signals).
void InstanceRelease();

// Serves what waits on the socket without blocking: status requests are
// answered on the spot, strangers refused, silent connections dropped once
// their budget ran out. True when a stop request is waiting; *token
// identifies it for InstanceFinishStop, which must follow once the destroy
// was handled. From then on this copy can no longer be found (like a
// destroyed window): a copy started later claims the directory itself.
bool InstancePollStop(int* token);
void InstanceFinishStop(int token);

// True when a stop request is waiting, without taking it (a message box on
// the main thread closes itself so that the request can be handled).
bool InstanceStopPending();

// The routine that writes the running copy's status (as text, or as JSON)
// into out and returns its length. Null: status requests get an empty text.
using StatusWriter = std::size_t (*)(bool json, char* out, std::size_t size);
void InstanceSetStatusWriter(StatusWriter writer);

// Asks the copy running in the working directory for its status; the text
// goes to out (always terminated). 0; kErrFileNotFound when no copy runs
// here; kErrAccessDenied when the socket belongs to somebody else or the
// copy refused us; kErrWaitTimeout when it did not answer in timeoutMs.
std::uint32_t InstanceQueryStatus(bool json, char* out, std::size_t size, std::uint32_t timeoutMs);

// ---- Monitors ----

// How many monitors are connected now (the publisher formats lines only
// when there is one to read them).
int InstanceMonitorCount();

// Queues one line (cut to 255 bytes; a newline is added when missing) for
// every connected monitor and sends what each takes without waiting.
void InstanceMonitorPublish(const char* line, std::size_t length);

// Feeds the monitors (also done by InstancePollStop and by publishing).
void InstanceMonitorFlush();

// The client: connects to the copy running here as a monitor and copies its
// lines to descriptor outFd until the copy stops. 0 when the stream ended
// because the copy stopped; kErrFileNotFound when none runs here;
// kErrAccessDenied when refused (somebody else's copy, or too many monitors).
std::uint32_t InstanceMonitor(int outFd);

} // namespace plat
