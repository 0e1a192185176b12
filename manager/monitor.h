// wtalvoc --monitor, the running copy's side: one text line per request
// (time, terminal address and slot, code and its name, the request's data
// in readable form, the answer's code and its first bytes, the service time
// in microseconds) and one per line event (lost, back, frames refused and
// why), published to the monitors through the single-instance socket.
//
// It stands between the main loop and the driver: MonitorInstall puts its
// own read and write in the table of driver calls (link.h), which pass
// everything on unchanged and, only while a monitor is connected, note the
// request delivered and the answers sent. A request's line is published
// when the main loop asks the driver for the next one, or once the main
// loop has ended (MonitorFinish), so that a stop does not swallow the last
// request's line. Lines are built in fixed buffers; nothing is allocated.
#pragma once

#include <cstddef>
#include <cstdint>

// Puts the monitor's calls in front of the driver calls in use (once).
void MonitorInstall();

// Publishes the line of the request served last, if it is still due (the
// main loop has ended).
void MonitorFinish();

// A line event (the line lost or back): published with the time.
void MonitorEvent(const char* text);

// The name of a request code ("seek a key"), "?" for an unknown one.
const char* RequestCodeName(int code);

// The request's data as text: printable ASCII as is, a backslash doubled,
// other bytes as \xNN, cut after max_bytes with "...". Returns the length.
std::size_t ReadableData(const std::uint8_t* data, int length, int max_bytes, char* out,
                         std::size_t size);
