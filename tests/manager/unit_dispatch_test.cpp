// The dispatcher's code table and the answer road: unserved codes, 9 and
// 14, table requests refused without a table context (also for a terminal
// whose file is a text file), and answers held until the change is saved.
#include <gtest/gtest.h>

#include <array>
#include <cstring>

#include "manager/requests/context.h"
#include "manager/requests/dispatch.h"
#include "manager/runtime.h"
#include "tests/manager/support.h"

namespace {

class DispatchTest : public ::testing::Test {
  protected:
    void SetUp() override { ResetRuntimeTables(); }
    void TearDown() override { ResetRuntimeTables(); }
    std::uint8_t Dispatch(std::uint8_t code, int slot = 4) {
        std::memcpy(FrameBuffer,
                    "\0\0"
                    "ABC",
                    5);
        return DispatchRequest(0x0105, FrameBuffer, code, 5, slot);
    }
    mtest::FakeLink link;
};

TEST_F(DispatchTest, CodesWithoutHandlerAreNotServedAndSendNothing) {
    for (int code : {0, 1, 3, 4, 6, 7, 8, 12, 13, 15, 32, 51, 52, 100, 255}) {
        EXPECT_EQ(Dispatch(static_cast<std::uint8_t>(code)), 0) << code;
    }
    EXPECT_TRUE(link.sent.empty());
}

TEST_F(DispatchTest, CodeNineIsServedWithoutAnAnswer) {
    EXPECT_NE(Dispatch(9), 0);
    EXPECT_TRUE(link.sent.empty());
}

TEST_F(DispatchTest, CodeFourteenIsAnsweredFourteenWithoutData) {
    EXPECT_NE(Dispatch(14), 0);
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(link.sent[0].address, 0x0105);
    EXPECT_EQ(link.sent[0].code, 14);
    EXPECT_TRUE(link.sent[0].data.empty());
}

// Every code whose row restores the terminal's context first.
constexpr std::array<int, 21> kTableCodes = {17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 36,
                                             37, 38, 39, 40, 43, 46, 47, 48, 17, 22};

TEST_F(DispatchTest, TableRequestWithoutAFileIsRefusedAndTheContextStays) {
    TerminalRecord[4] = 7;
    TerminalStatus[4] = 3;
    TerminalFilePos[4] = 11;
    TerminalSequence[4] = 9;
    TerminalFileKind[4] = 'D';
    for (int code : kTableCodes) {
        link.sent.clear();
        EXPECT_NE(Dispatch(static_cast<std::uint8_t>(code)), 0) << code;
        ASSERT_EQ(link.sent.size(), 1u) << code;
        EXPECT_EQ(link.sent[0].code, 14) << code;
        EXPECT_TRUE(link.sent[0].data.empty()) << code;
    }
    EXPECT_EQ(TerminalFile[4], -1);
    EXPECT_EQ(TerminalIndex[4], -1);
    EXPECT_EQ(TerminalRecord[4], 7);
    EXPECT_EQ(TerminalStatus[4], 3);
    EXPECT_EQ(TerminalFilePos[4], 11);
    EXPECT_EQ(TerminalSequence[4], 9);
    EXPECT_EQ(TerminalFileKind[4], 'D');
    EXPECT_EQ(TerminalLocks[4], nullptr);
}

TEST_F(DispatchTest, TableRequestOnATextFileIsRefusedLikeNoFile) {
    // A text-file context: handle 0 would be a table number too.
    TerminalFile[4] = 0;
    TerminalFileKind[4] = 'A';
    TerminalRecord[4] = 2;
    for (int code : {17, 18, 19, 20, 21, 22, 23, 24, 25, 26, 39, 40, 43, 46, 47, 48}) {
        link.sent.clear();
        EXPECT_NE(Dispatch(static_cast<std::uint8_t>(code)), 0) << code;
        ASSERT_EQ(link.sent.size(), 1u) << code;
        EXPECT_EQ(link.sent[0].code, 14) << code;
        EXPECT_EQ(RestoreContext(code, 4), 0) << code;
    }
    EXPECT_EQ(TerminalRecord[4], 2);
    // The lock requests do act on a text file.
    EXPECT_EQ(RestoreContext(36, 4), 1);
    EXPECT_EQ(RestoreContext(37, 4), 1);
    EXPECT_EQ(RestoreContext(38, 4), 1);
}

TEST_F(DispatchTest, SlotOutsideTheTableIsNotServed) {
    EXPECT_EQ(Dispatch(27, -1), 0);
    EXPECT_EQ(Dispatch(27, 32), 0);
    EXPECT_TRUE(link.sent.empty());
}

TEST_F(DispatchTest, HeldAnswerGoesOutOnceAfterTheRelease) {
    std::uint8_t data[3] = {'T', 0, 'x'};
    HoldAnswers();
    SendAnswer(9, data, 18, 3);
    SendAnswer(9, data, 14, 0); // a second answer to one request is not sent
    EXPECT_TRUE(link.sent.empty());
    data[0] = 'Z'; // the handler's buffer may be reused meanwhile
    ReleaseHeldAnswer();
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(link.sent[0].code, 18);
    EXPECT_EQ(link.sent[0].data, (std::vector<std::uint8_t>{'T', 0, 'x'}));
    // After the release answers go straight out again.
    SendAnswer(9, nullptr, 15, 0);
    EXPECT_EQ(link.sent.size(), 2u);
    // Nothing held, nothing sent.
    HoldAnswers();
    ReleaseHeldAnswer();
    EXPECT_EQ(link.sent.size(), 2u);
}

TEST_F(DispatchTest, RecordChangingCodes) {
    for (int code = 0; code < 256; ++code) {
        const bool expected = code == 18 || code == 19 || code == 20 || code == 21 || code == 43 ||
                              code == 46 || code == 47 || code == 48;
        EXPECT_EQ(IsRecordChangingCode(code), expected) << code;
    }
}

TEST_F(DispatchTest, AnswerLengthIsBoundedByTheFrameBuffer) {
    SendAnswer(3, FrameBuffer, 16, -5);
    SendAnswer(3, nullptr, 16, 40);
    ASSERT_EQ(link.sent.size(), 2u);
    EXPECT_TRUE(link.sent[0].data.empty());
    EXPECT_TRUE(link.sent[1].data.empty());
}

} // namespace
