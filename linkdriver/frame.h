// Link frames as the PC builds them: the checksum, the stuffed answer frame
// in the transmit buffer and the 12-byte control frames (poll, ACK, NACK).
//
// Layout, both directions, two-byte fields high byte first:
//   10 02 | destination(2) | source(2) | code | length(2) | data | 10 03 | checksum
// Only data bytes are doubled on the wire (every 0x10 twice); the header, the
// closing 10 03 and the checksum go out as they are.
#pragma once

#include <cstddef>
#include <cstdint>

namespace serilo {

inline constexpr std::uint8_t kDle = 0x10;
inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::uint16_t kPcAddress = 0x0001;

inline constexpr std::uint8_t kCodePoll = 0x01;
inline constexpr std::uint8_t kCodeEndOfSeries = 0x03;
inline constexpr std::uint8_t kCodeNack = 0x07;
inline constexpr std::uint8_t kCodeAck = 0x08;
inline constexpr std::uint8_t kCodeNoAck = 0x09;

inline constexpr std::size_t kControlFrameSize = 12;

// 255 minus the 8-bit sum of the bytes (their one's complement sum). Runs
// under its own fault handler ("CheckSum").
std::uint8_t CheckSum(const std::uint8_t* bytes, std::size_t count);

// The size of the stuffed frame for these data (12 + data, a 0x10 counted
// twice); 12 when length is 0 or less.
std::size_t StuffedFrameSize(const std::uint8_t* data, std::int32_t length);

// Writes the whole answer frame into out (room bytes) and returns its size,
// checksum included, or 0 when it does not fit (nothing then is written).
// A length of 0 or less writes no data bytes.
std::size_t BuildFrame(std::uint16_t address, const std::uint8_t* data, std::uint8_t code,
                       std::int32_t length, std::uint8_t* out, std::size_t room);

// Fills a 12-byte control frame (no data) to address with code.
void FillControlFrame(std::uint8_t* frame, std::uint16_t address, std::uint8_t code);

} // namespace serilo
