// The checksum, the answer frame builder with its 0x10 stuffing, and the
// control frames.
#include "linkdriver/frame.h"

#include "linkdriver/guard.h"

namespace serilo {

std::uint8_t CheckSum(const std::uint8_t* bytes, std::size_t count) {
    FaultScope scope("CheckSum");
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
    return std::uint8_t(255u - (sum & 0xFFu));
}

std::size_t StuffedFrameSize(const std::uint8_t* data, std::int32_t length) {
    std::size_t size = 12;
    for (std::int32_t i = 0; i < length; ++i) size += data[i] == kDle ? 2 : 1;
    return size;
}

std::size_t BuildFrame(std::uint16_t address, const std::uint8_t* data, std::uint8_t code,
                       std::int32_t length, std::uint8_t* out, std::size_t room) {
    if (length > 0 && data == nullptr) return 0;
    if (StuffedFrameSize(data, length) > room) return 0;
    std::size_t n = 0;
    out[n++] = kDle;
    out[n++] = kStx;
    out[n++] = std::uint8_t(address >> 8);
    out[n++] = std::uint8_t(address);
    out[n++] = std::uint8_t(kPcAddress >> 8);
    out[n++] = std::uint8_t(kPcAddress);
    out[n++] = code;
    // The length field carries the caller's 16-bit value as it is.
    out[n++] = std::uint8_t(std::uint16_t(length) >> 8);
    out[n++] = std::uint8_t(length);
    for (std::int32_t i = 0; i < length; ++i) {
        out[n++] = data[i];
        if (data[i] == kDle) out[n++] = kDle;
    }
    out[n++] = kDle;
    out[n++] = kEtx;
    // A frame the PC sends is summed exactly as it goes out, doubled 0x10
    // bytes counted twice.
    out[n] = CheckSum(out, n);
    return n + 1;
}

void FillControlFrame(std::uint8_t* frame, std::uint16_t address, std::uint8_t code) {
    frame[0] = kDle;
    frame[1] = kStx;
    frame[2] = std::uint8_t(address >> 8);
    frame[3] = std::uint8_t(address);
    frame[4] = std::uint8_t(kPcAddress >> 8);
    frame[5] = std::uint8_t(kPcAddress);
    frame[6] = code;
    frame[7] = 0;
    frame[8] = 0;
    frame[9] = kDle;
    frame[10] = kEtx;
    frame[11] = CheckSum(frame, 11);
}

} // namespace serilo
