// What the running manager is doing, for `wtalvoc --status`: the counts of
// the main loop (passes, requests by code and by terminal, each terminal's
// last request) kept here, the line's counts kept by the driver (polls,
// frames refused by reason and by terminal), the error-rate sample, and what
// each terminal holds; written as text or as JSON on request over the
// single-instance socket.
//
// Also the request being served, so that a table-store report can name the
// terminal and the request that caused it.
#pragma once

#include <cstddef>
#include <cstdint>

// Forgets every count and starts the uptime (program start; tests).
void StartActivity();

// One poll pass of the main loop.
void NotePollPass();

// A request delivered by the driver is being served (slot -1 when its
// address is not polled) / has been served (served = the dispatcher took it).
void NoteRequestStart(int slot, std::uint16_t address, std::uint8_t code);
void NoteRequestEnd(bool served);

// The request being served now: true with its address and code, false
// between requests.
bool CurrentRequest(std::uint16_t* address, std::uint8_t* code);

// The host path of the opened port, resolved at start ("" before).
void SetPortPath(const char* path);
const char* PortPath();

// The line settings in force (wtalvoc.conf), read at start-up: false with
// the reason (file, line number, what is allowed) when the file is refused.
bool StartLineSettings(char* why, std::size_t size);

// The whole status as text or as JSON into out (always terminated, cut to
// fit); returns its length.
std::size_t WriteStatus(bool json, char* out, std::size_t size);
