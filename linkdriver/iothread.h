// IOThread: the driver's own thread, which runs the poll cycle on the open
// port and meets the caller only through the port state's events. Its
// receive step reads through a byte source, so that it can also be driven
// without a line.
#pragma once

#include <cstdint>

namespace serilo {

// The thread routine (started by _AbrePorta, no argument).
std::uint32_t IOThread(void* unused);

// Where the receive step takes its bytes: one byte into *byte within
// timeoutMs; false when none came in time. The poll cycle reads the line.
using ByteSource = bool (*)(std::uint8_t* byte, std::uint32_t timeoutMs);

// What the receive step made of the polled terminal's answer.
enum class Answer {
    kSilent,         // under five bytes came: nothing is sent back
    kRefused,        // cut off or failing a frame test: to be refused with a NACK
    kUnacknowledged, // a good frame with function code 9: neither ACK nor delivery
    kRequest,        // a good request, to be acknowledged and delivered
};

// Receives the answer of the terminal at address polled into the port
// state's receive buffer after its first four bytes (10 02 00 01, written
// once when the thread starts) and tests it. A request lies there as a whole
// frame: code at byte 6, length at bytes 7 and 8, data from byte 9. Sets the
// activity texts of each phase; touches nothing else.
Answer ReceiveAnswer(std::uint16_t polled, ByteSource source);

} // namespace serilo
