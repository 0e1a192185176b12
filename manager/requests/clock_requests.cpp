// The two clock requests: the PC's local time (27) and date (28), 8 bytes of
// text each, without a NUL.
#include <cstdio>

#include "manager/requests/context.h"
#include "manager/requests/dispatch.h"
#include "platform/clock.h"

namespace {

constexpr int kClockTextLength = 8;

// Formats into data (the frame buffer) and sends the 8 bytes with `code`.
void SendClockText(std::uint16_t address, std::uint8_t* data, std::uint8_t code, bool date) {
    plat::LocalTime now{};
    plat::GetLocalTime(&now);
    char text[32];
    if (date)
        std::snprintf(text, sizeof text, "%.4d%.2d%.2d", now.year % 10000, now.month % 100,
                      now.day % 100);
    else
        std::snprintf(text, sizeof text, "%2d:%02d:%02d", now.hour % 100, now.minute % 100,
                      now.second % 100);
    for (int i = 0; i < kClockTextLength; ++i) data[i] = static_cast<std::uint8_t>(text[i]);
    SendAnswer(address, data, code, kClockTextLength);
}

} // namespace

void SendTime(std::uint16_t address, std::uint8_t* data, int, int) {
    SendClockText(address, data, 27, false);
}

void SendDate(std::uint16_t address, std::uint8_t* data, int, int) {
    SendClockText(address, data, 28, true);
}
