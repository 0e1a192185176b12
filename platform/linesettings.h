// The line's settings, from the optional text file wtalvoc.conf in the data
// directory: `key = value` lines, `#` comments, blank lines. The keys are
// the ones operators write:
//   direction   = rts-listen | rts-send | kernel | none   (rts-listen)
//                 rts-listen: RTS set while the PC listens, cleared while it
//                 sends; rts-send: RTS set while the PC sends; kernel: the
//                 driver's own RS-485 mode (RTS on send, the turnaround as
//                 its delay after send); none: no RTS change at all.
//   turnaround  = microseconds after the last bit of a frame has left
//                 before the line is turned around (one character time at
//                 the line speed when not given)
//   echo        = yes | no   (no)  the adapter echoes what the PC sends
//   low_latency = yes | no   (yes) ask the driver for low latency at open
//   lock_file   = yes | no   (yes when the lock directory is writable)
// Both the manager (at start-up, for --status and --check) and the link
// driver (when the port opens) read the same file.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

enum class Direction : std::uint8_t { kRtsListen, kRtsSend, kKernel, kNone };

// One character (10 bits) at 57600 bit/s, in microseconds, rounded up.
inline constexpr std::uint32_t kCharTimeUs = 174;
inline constexpr const char* kLineSettingsFile = "wtalvoc.conf";

struct LineSettings {
    Direction direction = Direction::kRtsListen;
    std::uint32_t turnaroundUs = kCharTimeUs;
    bool echo = false;
    bool lowLatency = true;
    int lockFile = -1; // -1: yes when the lock directory is writable
    bool fromFile = false;
};

const char* DirectionName(Direction d);

// Parses the text of the file (size bytes). 0, or 87 with `why` naming the
// file, the line number and what is allowed.
std::uint32_t ParseLineSettings(const char* text, std::size_t size, LineSettings* out, char* why,
                                std::size_t whySize);

// Reads wtalvoc.conf in the working directory: no file is the defaults.
std::uint32_t LoadLineSettings(LineSettings* out, char* why, std::size_t whySize);

} // namespace plat
