// Link frames as a terminal sees them: building the request frames a
// terminal sends (with its deliberate faults) and decoding, byte by byte,
// the frames the PC sends (polls, ACK, NACK and answers).
//
// Frame layout, both directions, two-byte fields high byte first:
//   10 02 | dest(2) | source(2) | code | length(2) | data, every 0x10 sent twice | 10 03 | checksum
// The checksum is 255 minus the 8-bit sum of the bytes it covers. A frame
// the PC sends covers every byte from the first 0x10 to the ETX exactly as
// transmitted (a doubled 0x10 counts twice); the PC checks a frame it
// receives over the bytes with doubled 0x10 collapsed (counted once).
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace talvoterm {

inline constexpr std::uint8_t kDle = 0x10;
inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEtx = 0x03;
inline constexpr std::uint16_t kPcAddress = 0x0001;

inline constexpr std::uint8_t kCodePoll = 1;
inline constexpr std::uint8_t kCodeEndOfSeries = 3;
inline constexpr std::uint8_t kCodeNack = 7;
inline constexpr std::uint8_t kCodeAck = 8;
inline constexpr std::uint8_t kCodeNoAck = 9;

// The longest data area the PC accepts in a request frame.
inline constexpr std::size_t kMaxRequestData = 298;
// The most raw bytes the decoder collects for one frame; a longer one is
// dropped as broken (the PC's transmit buffer holds 4098 bytes).
inline constexpr std::size_t kMaxRawFrame = 8400;

// One's complement of the 8-bit sum of the bytes.
std::uint8_t CheckSum(std::span<const std::uint8_t> bytes);

// Which bytes the checksum of an encoded frame covers.
enum class SumRule : std::uint8_t {
    as_sent,   // every byte as transmitted, doubled 0x10 twice (frames of the PC)
    collapsed, // doubled 0x10 once (what the PC checks in a request)
};

// Deliberate faults of a request frame, one at a time.
enum class Fault : std::uint8_t {
    none,
    stray_byte,   // one extra byte (arg, default 0xAA) before the first 0x10
    missing_lead, // the first arg bytes (1 to 8, default 1) left out
    bad_checksum, // the checksum byte inverted
    bad_length,   // the length field one more than the data
    bad_source,   // the source field one more than the terminal's address
    pause_header, // stall after the first five bytes (cut off there)
    pause_data,   // stall after the header, before the data area (cut off there)
    oversize,     // data padded with 'X' to 299 bytes (or arg bytes) if shorter
    code9,        // the function code replaced by 9
    no_double,    // data bytes 0x10 sent once, not doubled
    raw,          // the data are the whole frame, sent as they are
};

// A request frame built for the line. When `cut` is nonzero only the first
// `cut` bytes go out, then the terminal stalls (pause faults).
struct Outgoing {
    std::vector<std::uint8_t> bytes;
    std::size_t cut = 0;
};

// Encodes a frame into `out` (cleared first): header, stuffed data, 10 03
// and the checksum under `rule`.
void EncodeFrame(std::uint16_t dest, std::uint16_t source, std::uint8_t code,
                 std::span<const std::uint8_t> data, SumRule rule, std::vector<std::uint8_t>& out);

// Builds the request frame a terminal at `address` sends to the PC, with
// `fault` applied. `arg` is the fault's argument (0 = its default).
void BuildRequest(std::uint16_t address, std::uint8_t code, std::span<const std::uint8_t> data,
                  Fault fault, int arg, Outgoing& out);

// A frame decoded from the line, with what was wrong with it.
struct Frame {
    std::uint16_t dest = 0;
    std::uint16_t source = 0;
    std::uint8_t code = 0;
    std::uint16_t length_field = 0;
    std::vector<std::uint8_t> data; // doubled 0x10 collapsed
    std::vector<std::uint8_t> raw;  // every byte of the frame as it came, checksum included
    bool checksum_ok = false;       // checksum over the bytes as sent
    bool length_ok = false;         // length field equals the data count
    bool stuffing_ok = false;       // no 0x10 in the data followed by other than 0x10 / 0x03
    std::int64_t steady_ms = 0;     // when its last byte was read (steady clock)
    std::int64_t wall_ms = 0;       // the same on the wall clock (ms since 1970)
    bool valid() const { return checksum_ok && length_ok && stuffing_ok; }
};

// Byte-by-byte decoder of the frames that the PC sends. Bytes outside a
// frame are counted as noise; a frame longer than kMaxRawFrame is dropped.
class FrameDecoder {
  public:
    enum class Result : std::uint8_t { more, frame, dropped };
    // Feeds one byte. Returns `frame` when `out` now holds a whole frame
    // (its times are left for the caller), `dropped` when a frame in
    // progress was abandoned, `more` otherwise.
    Result feed(std::uint8_t byte, Frame& out);
    // Abandons a frame in progress (a gap on the line). Returns true when
    // one was in progress.
    bool reset();
    bool in_frame() const { return state_ != State::hunt && state_ != State::dle; }
    std::uint64_t noise_bytes() const { return noise_; }

  private:
    enum class State : std::uint8_t { hunt, dle, header, data, data_dle, checksum };
    State state_ = State::hunt;
    std::size_t header_count_ = 0;
    std::uint64_t noise_ = 0;
    Frame cur_;
};

} // namespace talvoterm
