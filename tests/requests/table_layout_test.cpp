// The structure reply and record image layouts, and the reading of request
// arguments, on plain values: byte positions, the terminal addresses in the
// descriptors, NULs inside fields, and requests that end too early.
#include "manager/requests/table_requests.h"

#include <gtest/gtest.h>

#include <array>
#include <climits>
#include <cstring>
#include <string>
#include <vector>

namespace {

ReplyField Field(char type, const char* name, int width, int decimals, const char* value) {
    ReplyField f;
    f.type = type;
    std::strncpy(f.name, name, sizeof f.name);
    f.width = width;
    f.decimals = decimals;
    f.value = reinterpret_cast<const std::uint8_t*>(value);
    return f;
}

std::vector<std::uint8_t> Bytes(const char* s, std::size_t n) {
    return std::vector<std::uint8_t>(s, s + n);
}

} // namespace

TEST(StructureLayout, NameAndValueTableOnLowBase) {
    // NAME C 10, VALUE N 8.2: 17 x 2 + 19 + 5 = 58 bytes.
    const std::array fields = {Field('C', "NAME", 10, 0, "MARIA     "),
                               Field('N', "VALUE", 8, 2, "   12.50")};
    std::array<std::uint8_t, 100> out{};
    out.fill(0xEE);
    const int len = LayOutStructure(fields, kLowReplyBase, out);
    ASSERT_EQ(len, 58);
    EXPECT_EQ(out[5], 2);
    // First descriptor: 'S', NAME and six blanks, 0, 4646 = 0x1226, 10, 0.
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + 6, out.begin() + 22),
              Bytes("SNAME      \0\x26\x12\x0a\0", 16));
    // Second: 'N', VALUE and five blanks, 0, 4657 = 0x1231, 8, 2.
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + 22, out.begin() + 38),
              Bytes("NVALUE     \0\x31\x12\x08\x02", 16));
    // Values at offsets 38 (= 4646 - 4608) and 49 (= 4657 - 4608).
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin() + 38, out.begin() + 58),
              Bytes("MARIA     \0   12.50\0", 20));
    EXPECT_EQ(out[58], 0xEE) << "nothing written past the reply";
}

TEST(StructureLayout, HighBaseWideFieldsAndOtherTypes) {
    std::string obs(300, 'X');
    const std::array fields = {Field('D', "NASC", 8, 0, "19800407"),
                               Field('C', "OBS", 300, 0, obs.c_str()),
                               Field('L', "ATIVO", 1, 0, "T")};
    std::vector<std::uint8_t> out(1000);
    const int len = LayOutStructure(fields, kHighReplyBase, out);
    ASSERT_EQ(len, 6 + 48 + 9 + 301 + 2);
    const auto address = [&](int i) { return out[6 + 16 * i + 12] | (out[6 + 16 * i + 13] << 8); };
    EXPECT_EQ(address(0), 37376 + 54);
    EXPECT_EQ(address(1), 37376 + 54 + 9);
    EXPECT_EQ(address(2), 37376 + 54 + 9 + 301);
    EXPECT_EQ(out[6], 'D');
    EXPECT_EQ(out[6 + 16], 'S');
    EXPECT_EQ(out[6 + 32], 'L');
    EXPECT_EQ(out[6 + 16 + 14], 300 & 0xFF) << "only the width's low 8 bits";
    EXPECT_EQ(out[6 + 32 + 1 + 5], ' ');
}

TEST(StructureLayout, RefusesWhatDoesNotFit) {
    const std::array fields = {Field('C', "NAME", 10, 0, "ABCDEFGHIJ")};
    std::array<std::uint8_t, 32> small{};
    small.fill(0xEE);
    EXPECT_EQ(LayOutStructure(fields, kLowReplyBase, std::span(small).first(22)), -1);
    EXPECT_EQ(LayOutStructure(fields, kLowReplyBase, std::span(small).first(33 - 1)), -1);
    EXPECT_EQ(small[31], 0xEE);
    std::array<std::uint8_t, 33> exact{};
    EXPECT_EQ(LayOutStructure(fields, kLowReplyBase, exact), 33);
}

TEST(StructureLayout, NameWithoutNulIsCutAtTenCharacters) {
    ReplyField f = Field('N', "", 5, 0, "    7");
    std::memcpy(f.name, "ABCDEFGHIJK", 11); // no NUL anywhere in the stored name
    std::array<std::uint8_t, 64> out{};
    ASSERT_EQ(LayOutStructure(std::span(&f, 1), kLowReplyBase, out), 6 + 16 + 6);
    EXPECT_EQ(std::string(out.begin() + 7, out.begin() + 17), "ABCDEFGHIJ");
    EXPECT_EQ(out[17], 0);
}

TEST(RecordValues, NulInsideAFieldEndsItsCopy) {
    const char value[] = {'A', 'B', 0, 'C', 'D'};
    const std::array fields = {Field('C', "CODE", 5, 0, value), Field('N', "N", 2, 0, "42")};
    std::array<std::uint8_t, 16> out{};
    out.fill(0xEE);
    ASSERT_EQ(LayOutFieldValues(fields, out), 9);
    EXPECT_EQ(std::vector<std::uint8_t>(out.begin(), out.begin() + 10), Bytes("AB\0\0\0\0"
                                                                              "42\0\xEE",
                                                                              10));
    EXPECT_EQ(LayOutFieldValues(fields, std::span(out).first(8)), -1);
}

TEST(RequestArguments, TextsEndInsideTheRequest) {
    std::array<std::uint8_t, 32> buf{};
    buf.fill('Z');
    std::memcpy(buf.data(), "\0\0ITENS\0ITCOD", 13);
    int len = TerminateRequest(buf.data(), 13);
    EXPECT_EQ(len, 13);
    EXPECT_STREQ(RequestText(buf.data(), len, 2), "ITENS");
    EXPECT_STREQ(RequestNextText(buf.data(), len, 2), "ITCOD");

    // The table name runs to the end: there is no index name, and the byte
    // after the stored NUL (left over from an earlier request) is not read.
    std::memcpy(buf.data(), "\0\0ITENS", 7);
    buf[8] = 'X';
    len = TerminateRequest(buf.data(), 7);
    EXPECT_STREQ(RequestText(buf.data(), len, 2), "ITENS");
    EXPECT_STREQ(RequestNextText(buf.data(), len, 2), "");

    // A request shorter than its parameter bytes.
    buf[0] = 'Q';
    buf[1] = 'R';
    len = TerminateRequest(buf.data(), 1);
    EXPECT_EQ(RequestByte(buf.data(), len, 0), 'Q');
    EXPECT_EQ(RequestByte(buf.data(), len, 1), 0);
    EXPECT_STREQ(RequestText(buf.data(), len, 2), "");
    EXPECT_EQ(TerminateRequest(buf.data(), -5), 0);
    EXPECT_EQ(buf[0], 0);
}

TEST(RequestArguments, NumbersAsTheStandardConversionsWithLimits) {
    EXPECT_EQ(RequestNumber("  42abc"), 42);
    EXPECT_EQ(RequestNumber("-7"), -7);
    EXPECT_EQ(RequestNumber(""), 0);
    EXPECT_EQ(RequestNumber("x1"), 0);
    EXPECT_EQ(RequestNumber("99999999999999999999"), INT_MAX);
    EXPECT_EQ(RequestNumber("-99999999999999999999"), INT_MIN);
    EXPECT_DOUBLE_EQ(RequestReal(" 12"), 12.0);
    EXPECT_DOUBLE_EQ(RequestReal("-1234.56x"), -1234.56);
    EXPECT_DOUBLE_EQ(RequestReal("nan"), 0.0);
    EXPECT_DOUBLE_EQ(RequestReal("1e999"), 1.0e300);
    EXPECT_DOUBLE_EQ(RequestReal("-inf"), -1.0e300);
}
