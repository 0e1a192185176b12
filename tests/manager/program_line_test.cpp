// The manager's own loop in this process on a real line: the link driver on
// a pseudo-terminal published as COM1, simulated terminals on its other
// side, and the layer's test clock behind the clock requests.
#include <gtest/gtest.h>

#include <string>

#include "manager/link.h"
#include "manager/mainloop.h"
#include "manager/runtime.h"
#include "manager/startup.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"
#include "platform/clock.h"
#include "platform/pty.h"
#include "tests/manager/support.h"
#include "tools/talvoterm/terminal.h"

namespace {

class LineLoopTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetRuntimeTables();
        mtest::WriteTable(dir.file("ITEMS.DBF"), {{"NAME", 10}}, {"ANA", "BIA"});
        mtest::WriteConfig(dir.path(), mtest::MakeConfig({5, 6}, {{"ITEMS.DBF", 'D'}}));
        ASSERT_TRUE(Initialise()) << MessageBuffer;
        ChoosePort();
        BuildPolledList();
        ASSERT_EQ(platform::pty_create(pty, dir.file("COM1").c_str()), 0);
        const std::uint16_t addresses[] = {5, 6};
        ASSERT_EQ(term.start(pty.master, addresses), 0);
        Link.set_base(PortBase);
        ASSERT_EQ(
            Link.open(PortName, static_cast<std::uint16_t>(PolledCount), PolledAddress.data()), 0u);
        open_ = true;
    }
    void TearDown() override {
        if (open_) Shutdown();
        Link.close();
        term.stop();
        platform::pty_release(pty);
        d4reset_store();
        ResetRuntimeTables();
        plat::ClearTestLocalTime();
    }
    // Sends a request and runs poll passes until its exchange ends.
    talvoterm::Exchange Ask(std::uint16_t address, std::uint8_t code,
                            const std::string& data = "") {
        talvoterm::Request r;
        r.address = address;
        r.code = code;
        r.data.assign(data.begin(), data.end());
        const std::uint64_t id = term.submit(r);
        talvoterm::Exchange ex;
        for (int pass = 0; pass < 200; ++pass) {
            EXPECT_EQ(PollPass(), -1);
            if (term.wait(id, ex, 0) == 0) return ex;
        }
        ADD_FAILURE() << "no end to code " << int(code);
        return ex;
    }
    static std::string Text(const talvoterm::Exchange& ex) {
        if (ex.answers.size() != 1) return "?";
        return std::string(ex.answers[0].data.begin(), ex.answers[0].data.end());
    }
    static int Code(const talvoterm::Exchange& ex) {
        return ex.ok && ex.answers.size() == 1 ? ex.answers[0].code : -1;
    }
    mtest::ScratchDir dir;
    platform::PtyPair pty;
    talvoterm::Terminal term;
    bool open_ = false;
};

TEST_F(LineLoopTest, ClockRequestsAnswerTheLocalTime) {
    plat::SetTestLocalTime({2026, 12, 1, 7, 9, 5, 3, 0});
    const auto time = Ask(5, 27);
    EXPECT_EQ(Code(time), 27) << time.note;
    EXPECT_EQ(Text(time), " 9:05:03");
    const auto date = Ask(6, 28);
    EXPECT_EQ(Code(date), 28) << date.note;
    EXPECT_EQ(Text(date), "20261207");
}

TEST_F(LineLoopTest, UnservedRefusedAndSilentCodes) {
    for (int code : {1, 3, 4, 6, 7, 8, 12, 13, 15, 32}) {
        const auto ex = Ask(5, static_cast<std::uint8_t>(code));
        EXPECT_EQ(Code(ex), 7) << code << " " << ex.note;
        EXPECT_EQ(Text(ex), "") << code;
    }
    const auto fourteen = Ask(6, 14);
    EXPECT_EQ(Code(fourteen), 14);
    EXPECT_EQ(Text(fourteen), "");
    const auto nine = Ask(6, 9);
    EXPECT_TRUE(nine.ok) << nine.note;
    EXPECT_TRUE(nine.answers.empty());
}

TEST_F(LineLoopTest, TableRequestWithoutAFileLeavesTheTerminalAsItWas) {
    TerminalRecord[1] = 3;
    TerminalSequence[1] = 8;
    for (int code : {17, 22, 23, 24, 25, 26, 36, 37, 38, 39, 40}) {
        const auto ex = Ask(6, static_cast<std::uint8_t>(code),
                            std::string("\0\0"
                                        "1",
                                        3));
        EXPECT_EQ(Code(ex), 14) << code << " " << ex.note;
        EXPECT_EQ(Text(ex), "") << code;
    }
    EXPECT_EQ(TerminalFile[1], -1);
    EXPECT_EQ(TerminalIndex[1], -1);
    EXPECT_EQ(TerminalRecord[1], 3);
    EXPECT_EQ(TerminalSequence[1], 8);
    EXPECT_EQ(TerminalLocks[1], nullptr);
}

TEST_F(LineLoopTest, TwoTerminalsOnOneRecordLock) {
    ASSERT_EQ(Code(Ask(5, 16, std::string("\0\0ITEMS", 7))), 16);
    ASSERT_EQ(Code(Ask(6, 16, std::string("\0\0ITEMS", 7))), 16);
    EXPECT_EQ(Text(Ask(5, 36)), std::string("T\0", 2));
    EXPECT_EQ(Text(Ask(6, 36)), std::string("F\0", 2));
    EXPECT_EQ(Text(Ask(6, 37)), std::string("F\0", 2));
    EXPECT_EQ(Code(Ask(5, 38)), 15);
    EXPECT_EQ(Text(Ask(6, 37)), std::string("T\0", 2));
    EXPECT_EQ(Text(Ask(5, 36)), std::string("F\0", 2));
}

} // namespace
