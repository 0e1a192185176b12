// The millisecond tick count and the local date and time, with a seam that
// lets tests drive both.
#pragma once

#include <cstdint>

namespace plat {

// Milliseconds since some fixed moment, 32 bits, wrapping about every 49.7
// days. Use only differences: `TickCount() - start >= 30000`.
std::uint32_t TickCount();

// Microseconds since some fixed moment (monotonic, 64 bits, no test seam):
// for measuring how long something took.
std::uint64_t MicroCount();

// The local date and time, as the PC reports it.
struct LocalTime {
    std::uint16_t year;        // 1601..30827
    std::uint16_t month;       // 1..12
    std::uint16_t dayOfWeek;   // 0 = Sunday .. 6
    std::uint16_t day;         // 1..31
    std::uint16_t hour;        // 0..23
    std::uint16_t minute;      // 0..59
    std::uint16_t second;      // 0..59
    std::uint16_t millisecond; // 0..999
};

// Fills *out with the local date and time (the time zone of the process).
void GetLocalTime(LocalTime* out);

// Test seam. While a tick is set, TickCount returns it (and the advances
// given) instead of the real count; ClearTestTick goes back to the real one.
// Likewise for the local time. Safe to call from any thread.
void SetTestTick(std::uint32_t tick);
void AdvanceTestTick(std::uint32_t ms);
void ClearTestTick();
void SetTestLocalTime(const LocalTime& when);
void ClearTestLocalTime();

} // namespace plat
