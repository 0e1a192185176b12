// The request dispatcher: one row per function code 0..50 saying which
// handler serves it, whether the terminal's table context is restored first
// (a refusal then answers 14 and the handler does not run) and saved after,
// and what the dispatcher returns. Codes without a handler, and codes above
// 50, are not served: the main loop answers them with code 7 and no data.
#pragma once

#include <cstdint>

inline constexpr int kHighestCode = 50;
// What one request may spend walking indexes before it is abandoned.
inline constexpr std::uint32_t kRequestWorkBudgetMs = 1000;

// Serves one request: the terminal's address (every answer goes there), the
// request's data in the frame buffer (length bytes; handlers may store a NUL
// at data[length] and build their answer in the same buffer), its function
// code and the terminal's slot 0..31. Returns nonzero when the request was
// served (answered, or a code that needs no answer), 0 when it was not.
std::uint8_t DispatchRequest(std::uint16_t address, std::uint8_t* data, std::uint8_t code,
                             int length, int slot);

// A handler as the dispatch table calls it.
using RequestHandler = void (*)(std::uint16_t address, std::uint8_t* data, int length, int slot);

// [27] the local time as " h:mm:ss" (8 bytes, hour blank-padded), reply 27.
void SendTime(std::uint16_t address, std::uint8_t* data, int length, int slot);
// [28] the local date as "yyyymmdd" (8 bytes), reply 28.
void SendDate(std::uint16_t address, std::uint8_t* data, int length, int slot);
