// The answer to a request whose writes failed and were undone: the code's
// failure answer, sent after the table is back at the terminal's record of
// before the request.
#pragma once

#include <cstdint>

// 18, 46, 20, 21: 14 without data; 19, 43, 47, 48: the record image of the
// terminal's record with status 1; any other code: 14.
void AnswerFailedChange(std::uint16_t address, std::uint8_t* data, std::uint8_t code, int slot);
