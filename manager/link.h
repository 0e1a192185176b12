// The manager's road to the link driver: the six exports of libserilo.so,
// called through one table of routine pointers so that tests of the main
// loop and the dispatcher can stand in for the line. The program uses the
// driver's own exports (the table's start value); nothing else changes it.
#pragma once

#include <cstdint>

struct LinkCalls {
    std::uint32_t (*set_base)(std::uint16_t base);
    std::uint32_t (*open)(const char* port_name, std::uint16_t count,
                          const std::uint16_t* addresses);
    std::uint32_t (*close)();
    std::uint32_t (*comm_error)();
    std::uint32_t (*write)(std::uint16_t address, const std::uint8_t* data, std::uint8_t code,
                           std::int16_t length);
    std::uint32_t (*read)(std::uint16_t* address, std::uint8_t* data, std::uint8_t* code,
                          std::int16_t* length, std::uint32_t timeout_ms);
};

// The calls in use.
extern LinkCalls Link;

// The driver's own exports.
LinkCalls DriverLinkCalls();

// The line as the rest of the manager sees it: 0 = the port is open and its
// terminals are served, 1 = the line is lost (unplugged, hung up, failing)
// and the port is being opened again by name once a second.
int LinkLineState();

// The device the port reached when it was last opened, every link followed
// ("/dev/ttyUSB0" for a COM1 link into /dev/serial/by-id); "" before the
// first open.
const char* LinkPortPath();

// For the start-up and the main loop: the port was opened (the line is
// served again, its path taken; a line that was lost is logged as back),
// or the line is lost for the reason given (a driver result; logged once
// per loss, on standard error).
void LinkNoteOpened();
void LinkNoteLost(std::uint32_t why);
// Back to "served", no path (the runtime tables' reset).
void LinkResetState();
