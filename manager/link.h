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

// The line's state: 0 = the terminals are being served, 1 = the line is lost.
int LinkLineState();

// The host path of the port that was opened (a device link followed).
const char* LinkPortPath();
