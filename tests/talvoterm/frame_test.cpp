// Frames as the terminal builds and decodes them: byte-exact control frames,
// answers and requests, the two checksum rules, the deliberate faults, and
// the decoder's handling of noise, stuffing and broken frames.
#include "tools/talvoterm/frame.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

namespace talvoterm {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Encode(std::uint16_t dest, std::uint16_t src, std::uint8_t code, const Bytes& data,
             SumRule rule) {
    Bytes out;
    EncodeFrame(dest, src, code, data, rule, out);
    return out;
}

// Feeds bytes and returns every whole frame decoded.
std::vector<Frame> DecodeAll(FrameDecoder& dec, const Bytes& bytes, int* dropped = nullptr) {
    std::vector<Frame> frames;
    Frame f;
    for (std::uint8_t b : bytes) {
        FrameDecoder::Result r = dec.feed(b, f);
        if (r == FrameDecoder::Result::frame) frames.push_back(f);
        if (r == FrameDecoder::Result::dropped && dropped != nullptr) ++*dropped;
    }
    return frames;
}

TEST(FrameEncode, ControlFramesOfThePcAreByteExact) {
    EXPECT_EQ(Encode(5, kPcAddress, kCodePoll, {}, SumRule::as_sent),
              (Bytes{0x10, 0x02, 0x00, 0x05, 0x00, 0x01, 0x01, 0x00, 0x00, 0x10, 0x03, 0xD3}));
    EXPECT_EQ(Encode(5, kPcAddress, kCodeAck, {}, SumRule::as_sent),
              (Bytes{0x10, 0x02, 0x00, 0x05, 0x00, 0x01, 0x08, 0x00, 0x00, 0x10, 0x03, 0xCC}));
    EXPECT_EQ(Encode(5, kPcAddress, kCodeNack, {}, SumRule::as_sent),
              (Bytes{0x10, 0x02, 0x00, 0x05, 0x00, 0x01, 0x07, 0x00, 0x00, 0x10, 0x03, 0xCD}));
    // A frame without data is 12 bytes whatever its fields, and header
    // bytes 0x10 are not doubled.
    EXPECT_EQ(Encode(0x1010, 0x1010, 0x10, {}, SumRule::as_sent).size(), 12u);
}

TEST(FrameEncode, AnswerDoublesDataDleAndCountsItTwice) {
    Bytes f = Encode(5, kPcAddress, 0x11, {0x41, 0x10, 0x42}, SumRule::as_sent);
    EXPECT_EQ(f, (Bytes{0x10, 0x02, 0x00, 0x05, 0x00, 0x01, 0x11, 0x00, 0x03, 0x41, 0x10, 0x10,
                        0x42, 0x10, 0x03, 0x1D}));
}

TEST(FrameEncode, RequestChecksumCountsDoubledDleOnce) {
    Outgoing out;
    BuildRequest(5, 0x0C, Bytes{0x31, 0x32}, Fault::none, 0, out);
    EXPECT_EQ(out.bytes, (Bytes{0x10, 0x02, 0x00, 0x01, 0x00, 0x05, 0x0C, 0x00, 0x02, 0x31, 0x32,
                                0x10, 0x03, 0x63}));
    EXPECT_EQ(out.cut, 0u);
    BuildRequest(5, 0x0C, Bytes{0x10, 0x32}, Fault::none, 0, out);
    EXPECT_EQ(out.bytes, (Bytes{0x10, 0x02, 0x00, 0x01, 0x00, 0x05, 0x0C, 0x00, 0x02, 0x10, 0x10,
                                0x32, 0x10, 0x03, 0x84}));
}

TEST(FrameEncode, CheckSumIsOnesComplementOfTheByteSum) {
    EXPECT_EQ(CheckSum(Bytes{}), 0xFF);
    EXPECT_EQ(CheckSum(Bytes{0xFF}), 0x00);
    EXPECT_EQ(CheckSum(Bytes{0x80, 0x80, 0x01}), 0xFE); // the sum wraps at 256
}

TEST(FrameFaults, EachFaultChangesOnlyWhatItNames) {
    const Bytes data{0x31, 0x32};
    Outgoing good;
    BuildRequest(5, 0x0C, data, Fault::none, 0, good);
    Outgoing f;

    BuildRequest(5, 0x0C, data, Fault::stray_byte, 0, f);
    ASSERT_EQ(f.bytes.size(), good.bytes.size() + 1);
    EXPECT_EQ(f.bytes[0], 0xAA);
    EXPECT_TRUE(std::equal(good.bytes.begin(), good.bytes.end(), f.bytes.begin() + 1));
    BuildRequest(5, 0x0C, data, Fault::stray_byte, 0x55, f);
    EXPECT_EQ(f.bytes[0], 0x55);

    for (int n = 1; n <= 4; ++n) {
        BuildRequest(5, 0x0C, data, Fault::missing_lead, n, f);
        EXPECT_EQ(f.bytes, Bytes(good.bytes.begin() + n, good.bytes.end())) << n;
    }

    BuildRequest(5, 0x0C, data, Fault::bad_checksum, 0, f);
    EXPECT_EQ(f.bytes.back(), static_cast<std::uint8_t>(~good.bytes.back()));
    EXPECT_TRUE(std::equal(good.bytes.begin(), good.bytes.end() - 1, f.bytes.begin()));

    // A wrong length field comes with a checksum right for it.
    BuildRequest(5, 0x0C, data, Fault::bad_length, 0, f);
    EXPECT_EQ(f.bytes[7], 0x00);
    EXPECT_EQ(f.bytes[8], 0x03);
    EXPECT_EQ(CheckSum(std::span(f.bytes.data(), f.bytes.size() - 1)), f.bytes.back());

    BuildRequest(5, 0x0C, data, Fault::bad_source, 0, f);
    EXPECT_EQ(f.bytes[4], 0x00);
    EXPECT_EQ(f.bytes[5], 0x06);
    EXPECT_EQ(CheckSum(std::span(f.bytes.data(), f.bytes.size() - 1)), f.bytes.back());

    BuildRequest(5, 0x0C, data, Fault::code9, 0, f);
    EXPECT_EQ(f.bytes[6], kCodeNoAck);

    BuildRequest(5, 0x0C, data, Fault::pause_header, 0, f);
    EXPECT_EQ(f.bytes, good.bytes);
    EXPECT_EQ(f.cut, 5u);
    BuildRequest(5, 0x0C, data, Fault::pause_data, 0, f);
    EXPECT_EQ(f.cut, 9u);

    // 0x10 followed by another byte, not doubled: both count in length
    // and checksum, as the PC stores them.
    BuildRequest(5, 0x0C, Bytes{0x10, 0x41}, Fault::no_double, 0, f);
    Bytes lone{0x10, 0x02, 0x00, 0x01, 0x00, 0x05, 0x0C, 0x00, 0x02, 0x10, 0x41, 0x10, 0x03};
    lone.push_back(CheckSum(lone));
    EXPECT_EQ(f.bytes, lone);

    BuildRequest(5, 0x0C, Bytes{1, 2, 3}, Fault::raw, 0, f);
    EXPECT_EQ(f.bytes, (Bytes{1, 2, 3}));
    EXPECT_EQ(f.cut, 0u);
}

TEST(FrameFaults, OversizePadsPastTheLimitWithARightChecksum) {
    Outgoing f;
    BuildRequest(5, 0x0C, Bytes{0x31}, Fault::oversize, 0, f);
    ASSERT_EQ(f.bytes.size(), 12u + kMaxRequestData + 1);
    EXPECT_EQ(f.bytes[7], 0x01); // 299 = 0x012B
    EXPECT_EQ(f.bytes[8], 0x2B);
    EXPECT_EQ(f.bytes[9], 0x31);
    EXPECT_EQ(f.bytes[10], 'X');
    EXPECT_EQ(CheckSum(std::span(f.bytes.data(), f.bytes.size() - 1)), f.bytes.back());
    BuildRequest(5, 0x0C, Bytes{}, Fault::oversize, 400, f);
    EXPECT_EQ(f.bytes.size(), 12u + 400);
}

TEST(FrameDecode, ControlFramesAfterNoise) {
    FrameDecoder dec;
    Bytes line{0x00, 0x10, 0x55}; // noise, including a 0x10 not followed by STX
    Bytes poll = Encode(5, kPcAddress, kCodePoll, {}, SumRule::as_sent);
    Bytes ack = Encode(6, kPcAddress, kCodeAck, {}, SumRule::as_sent);
    line.insert(line.end(), poll.begin(), poll.end());
    line.push_back(0x10); // 10 10 02: the second 0x10 starts the frame
    line.insert(line.end(), ack.begin(), ack.end());
    std::vector<Frame> frames = DecodeAll(dec, line);
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].dest, 5);
    EXPECT_EQ(frames[0].source, kPcAddress);
    EXPECT_EQ(frames[0].code, kCodePoll);
    EXPECT_TRUE(frames[0].valid());
    EXPECT_EQ(frames[0].raw, poll);
    EXPECT_EQ(frames[1].dest, 6);
    EXPECT_EQ(frames[1].code, kCodeAck);
    EXPECT_TRUE(frames[1].valid());
    EXPECT_EQ(dec.noise_bytes(), 4u);
}

TEST(FrameDecode, HeaderBytesEqualToDleAreNotUnstuffed) {
    FrameDecoder dec;
    Bytes f = Encode(0x1010, 0x1003, 0x10, {0x10, 0x03}, SumRule::as_sent);
    std::vector<Frame> frames = DecodeAll(dec, f);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].dest, 0x1010);
    EXPECT_EQ(frames[0].source, 0x1003);
    EXPECT_EQ(frames[0].code, 0x10);
    EXPECT_EQ(frames[0].data, (Bytes{0x10, 0x03}));
    EXPECT_TRUE(frames[0].valid());
}

TEST(FrameDecode, BrokenFramesAreMarked) {
    FrameDecoder dec;
    // Lone 0x10 in the data: both bytes kept, the frame marked.
    Bytes lone{0x10, 0x02, 0x00, 0x05, 0x00, 0x01, 0x0F, 0x00, 0x02, 0x10, 0x41, 0x10, 0x03};
    lone.push_back(CheckSum(lone));
    std::vector<Frame> frames = DecodeAll(dec, lone);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_FALSE(frames[0].stuffing_ok);
    EXPECT_TRUE(frames[0].checksum_ok);
    EXPECT_TRUE(frames[0].length_ok);
    EXPECT_EQ(frames[0].data, (Bytes{0x10, 0x41}));

    Bytes bad_sum = Encode(5, kPcAddress, 0x0F, {0x41}, SumRule::as_sent);
    bad_sum.back() ^= 0x01;
    frames = DecodeAll(dec, bad_sum);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_FALSE(frames[0].checksum_ok);
    EXPECT_FALSE(frames[0].valid());

    Bytes bad_len = Encode(5, kPcAddress, 0x0F, {0x41}, SumRule::as_sent);
    bad_len[8] = 0x02;
    bad_len.back() = CheckSum(std::span(bad_len.data(), bad_len.size() - 1));
    frames = DecodeAll(dec, bad_len);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].checksum_ok);
    EXPECT_FALSE(frames[0].length_ok);

    // A request-rule checksum over a doubled 0x10 is wrong for the PC's rule.
    Bytes collapsed = Encode(5, kPcAddress, 0x0F, {0x10}, SumRule::collapsed);
    frames = DecodeAll(dec, collapsed);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_FALSE(frames[0].checksum_ok);
}

TEST(FrameDecode, ResetAndOverlongFramesStartAfresh) {
    FrameDecoder dec;
    Bytes ack = Encode(5, kPcAddress, kCodeAck, {}, SumRule::as_sent);
    Frame f;
    for (int i = 0; i < 6; ++i) dec.feed(ack[static_cast<std::size_t>(i)], f);
    EXPECT_TRUE(dec.in_frame());
    EXPECT_TRUE(dec.reset());
    EXPECT_FALSE(dec.reset());
    std::vector<Frame> frames = DecodeAll(dec, ack);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_EQ(frames[0].raw, ack);

    // A frame that never ends is dropped at the size limit, and the next
    // frame is still found.
    Bytes endless{0x10, 0x02};
    endless.resize(kMaxRawFrame + 10, 0x41);
    int dropped = 0;
    frames = DecodeAll(dec, endless, &dropped);
    EXPECT_TRUE(frames.empty());
    EXPECT_EQ(dropped, 1);
    frames = DecodeAll(dec, ack);
    ASSERT_EQ(frames.size(), 1u);
    EXPECT_TRUE(frames[0].valid());
}

TEST(FrameDecode, RoundTripOfEveryByteValue) {
    std::mt19937 rng(7);
    FrameDecoder dec;
    for (int round = 0; round < 50; ++round) {
        Bytes data(static_cast<std::size_t>(rng() % 600));
        for (auto& b : data) b = static_cast<std::uint8_t>(rng() % 4 == 0 ? 0x10 : rng());
        if (round == 0) {
            data.resize(256);
            for (int i = 0; i < 256; ++i)
                data[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
        }
        std::uint16_t dest = static_cast<std::uint16_t>(rng());
        Bytes wire =
            Encode(dest, kPcAddress, static_cast<std::uint8_t>(rng()), data, SumRule::as_sent);
        std::vector<Frame> frames = DecodeAll(dec, wire);
        ASSERT_EQ(frames.size(), 1u);
        EXPECT_EQ(frames[0].dest, dest);
        EXPECT_EQ(frames[0].data, data);
        EXPECT_TRUE(frames[0].valid());
        EXPECT_EQ(frames[0].raw, wire);
    }
}

} // namespace
} // namespace talvoterm
