// Reading the arguments of a table request: parameter bytes, NUL-terminated
// texts and decimal numbers, never past the bytes the terminal sent.
#include "manager/requests/table_requests.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace {

// The frame buffer holds 4096 bytes; the NUL after the request needs one.
constexpr int kLongestRequest = 4095;

const char kEmpty[1] = {0};

} // namespace

int TerminateRequest(std::uint8_t* data, int length) {
    if (length < 0) length = 0;
    if (length > kLongestRequest) length = kLongestRequest;
    data[length] = 0;
    return length;
}

std::uint8_t RequestByte(const std::uint8_t* data, int length, int offset) {
    return offset >= 0 && offset < length ? data[offset] : 0;
}

const char* RequestText(const std::uint8_t* data, int length, int offset) {
    if (offset < 0 || offset >= length) return kEmpty;
    return reinterpret_cast<const char*>(data + offset);
}

const char* RequestNextText(const std::uint8_t* data, int length, int offset) {
    if (offset < 0 || offset >= length) return kEmpty;
    const void* nul = std::memchr(data + offset, 0, static_cast<std::size_t>(length - offset));
    if (nul == nullptr) return kEmpty; // the first text runs to the end of the request
    const auto next = static_cast<const std::uint8_t*>(nul) + 1;
    return RequestText(data, length, static_cast<int>(next - data));
}

int RequestNumber(const char* text) {
    errno = 0;
    const long value = std::strtol(text, nullptr, 10);
    if (value > INT_MAX) return INT_MAX;
    if (value < INT_MIN) return INT_MIN;
    return static_cast<int>(value);
}

double RequestReal(const char* text) {
    const double value = std::strtod(text, nullptr);
    if (std::isnan(value)) return 0.0;
    if (std::isinf(value)) return value > 0 ? 1.0e300 : -1.0e300;
    return value;
}
