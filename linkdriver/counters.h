// The line's counters, kept by the driver for the program that loaded it.
//
// libserilo.so exports its six port operations and nothing else, so the
// counters travel the other way: the program (the manager, which shares the
// process with the driver) defines one LineCounters record under the C name
// serilo_line_counters, and the driver refers to that name weakly and counts
// into it when it is there. A program without the record (a test, another
// user of the library) costs the driver one null test per count.
//
// Every member is a relaxed atomic: IOThread writes, any thread reads.
#pragma once

#include <atomic>
#include <cstdint>

// Why a terminal's answer was refused with a NACK.
enum LineRefusal : int {
    kRefusedChecksum = 0, // the checksum does not match
    kRefusedLength,       // the length field does not match, or the data run past 298 bytes
    kRefusedSource,       // the frame came from another address than the one polled
    kRefusedCode,         // function code 0 or above 50
    kRefusedTimeout,      // a byte did not come in time after the frame began
    kLineRefusals,
};

inline constexpr int kCountedTerminals = 32;

// Line errors by kind: the tty's own counters (TIOCGICOUNT) since the
// port opened, plus echoes that did not match.
enum LineErrorKind : int {
    kErrorFrame = 0,
    kErrorParity,
    kErrorOverrun,
    kErrorBreak,
    kErrorBufferOverrun,
    kErrorEcho,
    kLineErrorKinds,
};

struct LineCounters {
    std::atomic<std::uint32_t> polls;                        // polls sent
    std::atomic<std::uint32_t> delivered;                    // requests acknowledged
    std::atomic<std::uint32_t> refused[kLineRefusals];       // by reason
    std::atomic<std::uint32_t> refusedAt[kCountedTerminals]; // by polling-list position
    std::atomic<std::uint32_t> deliveredAt[kCountedTerminals];
    std::atomic<std::uint32_t> lineErrors[kLineErrorKinds];
    // 1 while the terminal at that position is polled less often (its
    // frames kept being refused).
    std::atomic<std::uint8_t> slowedAt[kCountedTerminals];
    std::atomic<std::uint8_t> heldLow;    // the line sat at its break level for seconds
    std::atomic<std::uint8_t> lsrTrusted; // the turnaround trusts the UART's status
    std::atomic<std::int32_t> latencyMs;  // an FTDI adapter's latency timer, -1 none
};

// Defined by the program; the driver's reference is weak (iothread.cpp).
extern "C" __attribute__((visibility("default"))) LineCounters serilo_line_counters;
