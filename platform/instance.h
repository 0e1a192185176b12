// One running manager per working directory, and stopping it.
//
// The PC finds the running copy by its window ("class TALVOC titled
// WTALVOC") and sends it the destroy message. Here the running copy holds an
// abstract Unix socket whose name comes from the working directory's device
// and inode numbers (so nothing is left behind in the file system and two
// directories never collide); a second copy connects to it and asks it to
// stop, and waits until the running copy acknowledges that its window got
// the destroy message. The running copy then shuts down in order.
//
// SIGTERM and SIGINT reach the running copy as the same stop request, so
// `kill` stops it as cleanly as a second start does.
//
// PeekMessage (ui.h) checks for stop requests; nothing else needs to.
#pragma once

#include <cstdint>

namespace plat {

enum class InstanceResult {
    kFirst,        // no other copy here; this one is now the running copy
    kOtherStopped, // another copy was running and has been asked to stop
    kFailed,       // neither could be done (*error has the reason)
};

// Claims the working directory for this process, or asks the copy already
// running in it to stop. With kFirst, SIGTERM and SIGINT become stop
// requests. The wait for the other copy's acknowledgement is bounded by
// ackTimeoutMs.
InstanceResult InstanceClaim(std::uint32_t* error, std::uint32_t ackTimeoutMs = 60000);

// Gives the claim up (closes the socket, restores SIGTERM and SIGINT).
void InstanceRelease();

// True when a stop request is waiting; *token identifies it for
// InstanceFinishStop, which must follow once the destroy was handled. From
// then on this copy can no longer be found (like a destroyed window): a copy
// started later claims the directory itself.
bool InstancePollStop(int* token);
void InstanceFinishStop(int token);

// True when a stop request is waiting, without taking it (a message box on
// the main thread closes itself so that the request can be handled).
bool InstanceStopPending();

} // namespace plat
