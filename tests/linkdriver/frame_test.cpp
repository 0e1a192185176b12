// Frames as the PC builds them: checksum, stuffing, control frames, and the
// refusal of an answer that would not fit the transmit buffer.
#include "linkdriver/frame.h"

#include "tests/linkdriver/line_fixture.h"

#include <gtest/gtest.h>

#include <vector>

using namespace serilo;

namespace {

std::vector<std::uint8_t> Build(std::uint16_t address, std::vector<std::uint8_t> data,
                                std::uint8_t code, std::int32_t length, std::size_t room = 4098) {
    std::vector<std::uint8_t> out(room + 4, 0xEE);
    std::size_t n =
        BuildFrame(address, data.empty() ? nullptr : data.data(), code, length, out.data(), room);
    out.resize(n);
    return out;
}

} // namespace

TEST(Frame, ChecksumIsOnesComplementOfByteSum) {
    const std::uint8_t none[1] = {0};
    EXPECT_EQ(CheckSum(none, 0), 0xFF);
    const std::uint8_t wrap[] = {0xFF, 0x02}; // 0x101 -> 0x01
    EXPECT_EQ(CheckSum(wrap, 2), 0xFE);
}

TEST(Frame, ControlFramesForTerminal5) {
    std::uint8_t f[12];
    FillControlFrame(f, 5, kCodePoll);
    EXPECT_EQ(linktest::Hex({f, f + 12}), "10 02 00 05 00 01 01 00 00 10 03 D3");
    FillControlFrame(f, 5, kCodeAck);
    EXPECT_EQ(linktest::Hex({f, f + 12}), "10 02 00 05 00 01 08 00 00 10 03 CC");
    FillControlFrame(f, 5, kCodeNack);
    EXPECT_EQ(linktest::Hex({f, f + 12}), "10 02 00 05 00 01 07 00 00 10 03 CD");
    // A header byte 0x10 (address 0x1010) goes out undoubled.
    FillControlFrame(f, 0x1010, kCodePoll);
    EXPECT_EQ(f[2], 0x10);
    EXPECT_EQ(f[3], 0x10);
    EXPECT_EQ(f[4], 0x00);
}

TEST(Frame, AnswerFramesAreStuffedAndSummedAsSent) {
    // No data: 12 bytes, like the control frames; a code-7 answer is the NACK.
    EXPECT_EQ(linktest::Hex(Build(5, {}, 0x07, 0)), "10 02 00 05 00 01 07 00 00 10 03 CD");
    EXPECT_EQ(Build(5, {0x41}, 0x0F, -3).size(), 12u);
    // The doubled 0x10 counts twice in the checksum (1D, not 2D).
    EXPECT_EQ(linktest::Hex(Build(5, {0x41, 0x10, 0x42}, 0x11, 3)),
              "10 02 00 05 00 01 11 00 03 41 10 10 42 10 03 1D");
    // Big-endian address and length; 0x10 in the length field stays single.
    std::vector<std::uint8_t> data(0x110, 0x20);
    auto f = Build(0x1234, data, 0x02, 0x110);
    ASSERT_EQ(f.size(), 12u + 0x110);
    EXPECT_EQ(f[2], 0x12);
    EXPECT_EQ(f[3], 0x34);
    EXPECT_EQ(f[7], 0x01);
    EXPECT_EQ(f[8], 0x10);
    EXPECT_EQ(f[9], 0x20);
}

TEST(Frame, AnswerThatWouldNotFitIsRefusedUntouched) {
    // 4086 bytes of 0x10 stuff to 8172: far past the 4098-byte buffer.
    std::vector<std::uint8_t> dles(4086, 0x10);
    EXPECT_EQ(StuffedFrameSize(dles.data(), 4086), 12u + 8172u);
    std::vector<std::uint8_t> out(4098, 0xEE);
    EXPECT_EQ(BuildFrame(5, dles.data(), 2, 4086, out.data(), out.size()), 0u);
    EXPECT_EQ(out[0], 0xEE);
    // Exactly full fits: 2043 doubled bytes + 12 = 4098.
    EXPECT_EQ(BuildFrame(5, dles.data(), 2, 2043, out.data(), out.size()), 4098u);
    EXPECT_EQ(BuildFrame(5, dles.data(), 2, 2044, out.data(), out.size()), 0u);
    // Data missing for a positive length.
    EXPECT_EQ(BuildFrame(5, nullptr, 2, 1, out.data(), out.size()), 0u);
}
