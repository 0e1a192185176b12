// The main loop: each pass either handles one window message or makes one
// poll pass (output idle time-out, counting, link-error recovery, the
// error-rate test, fetching and dispatching one request; or, while the line
// is lost, reopening the port once a second).
#pragma once

#include <cstdint>

// The driver's wait for a request, in milliseconds.
inline constexpr std::uint32_t kRequestWaitMs = 767;
// How often a lost line's port is opened again, in milliseconds.
inline constexpr std::uint32_t kReopenIntervalMs = 1000;
// Polls in a sample before the error-rate test applies, and its threshold.
inline constexpr std::uint32_t kMinimumSample = 100;
inline constexpr std::uint32_t kWarningPercent = 10;

// One poll pass (steps B1..B5). Returns -1 to go on, or the exit status
// after a failed close of the port in recovery (its message has been shown;
// no Shutdown runs then). While the line is lost a pass is the output idle
// time-out and the attempt to reopen the port (or a sleep until it is due).
int PollPass();

// Runs passes until the quit message (then Shutdown, the port closed and the
// quit message's value returned) or a recovery failure (its status).
int MainLoop();

// Serves the window's messages from inside a long request (a download): true
// when a stop came (the window destroyed by SIGTERM, SIGHUP, the user or
// another copy); its quit message stays posted, so the main loop ends as
// soon as the request has returned.
bool ServeMessagesInRequest();
