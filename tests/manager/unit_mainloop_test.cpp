// The poll pass with the link driver stood in for: counting and the
// error-rate test, link-error recovery and its failures, the output idle
// time-out on the layer's test clock, fetching and dispatching a request.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "manager/link.h"
#include "manager/mainloop.h"
#include "manager/runtime.h"
#include "manager/startup.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"
#include "manager/warnings.h"
#include "manager/window.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/ui.h"
#include "tests/manager/support.h"

namespace {

int warnings_started = 0;
void CountWarning() {
    ++warnings_started;
}

class PollPassTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetRuntimeTables();
        warnings_started = 0;
        saved_start_ = StartRateWarning;
        StartRateWarning = CountWarning;
        PolledCount = 1;
        PolledAddress[0] = 5;
        PolledSlot[0] = 0;
        std::snprintf(PortName, sizeof PortName, "COM1");
        plat::StartRecordingBoxes();
    }
    void TearDown() override {
        plat::StopRecordingBoxes();
        StartRateWarning = saved_start_;
        plat::ClearTestTick();
        plat::ClearTestLocalTime();
        ResetRuntimeTables();
    }
    // Runs n passes; every one must go on.
    void Passes(int n) {
        for (int i = 0; i < n; ++i) ASSERT_EQ(PollPass(), -1) << "pass " << i;
    }
    // The first pass meets a link error; `failures` - 1 more follow among
    // the next passes, up to a sample of exactly 100 polls.
    void SampleWithFailures(int failures) {
        std::vector<bool> e(100, false);
        for (int i = 0; i < failures; ++i) e[static_cast<std::size_t>(i * 10)] = true;
        link.queue_errors(e);
        Passes(100);
    }
    mtest::FakeLink link;
    void (*saved_start_)() = nullptr;
};

TEST_F(PollPassTest, TenPercentOfAHundredPollsStartsTheWarningOnce) {
    SampleWithFailures(10);
    EXPECT_EQ(SampleCount.load(), 100u);
    EXPECT_EQ(FailedCount.load(), 10u);
    EXPECT_EQ(ErrorRatePercent.load(), 10u);
    EXPECT_EQ(warnings_started, 1);
    EXPECT_EQ(RateWarningEnabled.load(), 0u);
    // Each failure closed and reopened the port with the polled list.
    EXPECT_EQ(link.closes, 10);
    EXPECT_EQ(link.opens, 10);
    EXPECT_EQ(link.opened_port, "COM1");
    ASSERT_EQ(link.opened_addresses.size(), 1u);
    // While the warning is pending no second one starts.
    Passes(50);
    EXPECT_EQ(warnings_started, 1);
}

TEST_F(PollPassTest, NinePercentResetsTheCountersAndStopsCounting) {
    SampleWithFailures(9);
    EXPECT_EQ(warnings_started, 0);
    EXPECT_EQ(SampleCount.load(), 1u);
    EXPECT_EQ(FailedCount.load(), 0u);
    EXPECT_EQ(CountingActive.load(), 0u);
    // Counting waits for the next link error.
    Passes(20);
    EXPECT_EQ(SampleCount.load(), 1u);
    link.queue_errors({true});
    Passes(3);
    EXPECT_EQ(CountingActive.load(), 1u);
    EXPECT_EQ(FailedCount.load(), 1u);
    EXPECT_EQ(SampleCount.load(), 3u);
}

TEST_F(PollPassTest, BelowAHundredPollsNoTest) {
    link.queue_errors(std::vector<bool>(99, true));
    Passes(99);
    EXPECT_EQ(SampleCount.load(), 99u);
    EXPECT_EQ(warnings_started, 0);
}

TEST_F(PollPassTest, MinusOneIgnoresLinkErrorsButConsumesTheFlag) {
    ReopenOnError = false;
    link.queue_errors(std::vector<bool>(200, true));
    Passes(200);
    EXPECT_EQ(link.comm_error_calls, 200);
    EXPECT_EQ(link.closes, 0);
    EXPECT_EQ(link.opens, 0);
    EXPECT_EQ(CountingActive.load(), 0u);
    EXPECT_EQ(SampleCount.load(), 1u);
    EXPECT_EQ(FailedCount.load(), 0u);
    EXPECT_EQ(warnings_started, 0);
}

TEST_F(PollPassTest, FailedCloseEndsWithStatusOneAndItsMessage) {
    link.close_result = 6;
    link.queue_errors({true});
    EXPECT_EQ(PollPass(), 1);
    ASSERT_EQ(plat::RecordedBoxCount(), 1);
    EXPECT_STREQ(plat::RecordedBoxAt(0)->text, "Erro 6 ao Fechar Porta de Comunicacao");
    EXPECT_STREQ(plat::RecordedBoxAt(0)->caption, plat::kDefaultCaption);
    EXPECT_EQ(plat::RecordedBoxAt(0)->style, plat::kMbOk | plat::kMbIconExclamation);
}

// A line lost either way - its reopening after a line error fails, or (with
// "-1") the driver's read reports it - is reopened by name once a second,
// with no message box, and serves again once the device is back; its path
// is the device the COM1 link leads to.
class LostLineTest : public PollPassTest {
  protected:
    void SetUp() override {
        PollPassTest::SetUp();
        std::filesystem::create_directories(dir.file("dev/by-id"));
        mtest::WriteFile(dir.file("dev/ttyUSB0"), "");
        std::filesystem::create_symlink("../ttyUSB0", dir.file("dev/by-id/usb-adapter"));
        std::filesystem::create_symlink("dev/by-id/usb-adapter", dir.file("COM1"));
        plat::SetTestTick(5000);
    }
    void ExpectReopenedOnceASecond(int opens) {
        EXPECT_EQ(LinkLineState(), 1);
        link.idle_read_result = 1;
        link.open_result = plat::kErrFileNotFound;
        plat::AdvanceTestTick(999);
        Passes(1);
        EXPECT_EQ(link.opens, opens);
        plat::AdvanceTestTick(1);
        Passes(1);
        EXPECT_EQ(link.opens, opens + 1);
        EXPECT_EQ(LinkLineState(), 1);
        link.open_result = 0;
        plat::AdvanceTestTick(1000);
        Passes(1);
        EXPECT_EQ(link.opens, opens + 2);
        EXPECT_EQ(LinkLineState(), 0);
        EXPECT_EQ(std::string(LinkPortPath()),
                  std::filesystem::canonical(dir.file("dev/ttyUSB0")).string());
        EXPECT_EQ(plat::RecordedBoxCount(), 0);
        link.queue_request({5, 14, {}});
        Passes(1);
        ASSERT_EQ(link.sent.size(), 1u);
        EXPECT_EQ(link.sent[0].code, 14);
    }
    mtest::ScratchDir dir;
};

TEST_F(LostLineTest, AFailedReopenAfterALineError) {
    link.open_result = plat::kErrFileNotFound;
    link.queue_errors({true});
    Passes(1);
    EXPECT_EQ(link.closes, 1);
    EXPECT_EQ(link.opens, 1);
    EXPECT_EQ(FailedCount.load(), 1u);
    ExpectReopenedOnceASecond(1);
}

TEST_F(LostLineTest, AReadThatReportsTheLossAlsoWithMinusOne) {
    ReopenOnError = false;
    link.idle_read_result = plat::kErrDeviceNotConnected;
    Passes(1);
    EXPECT_EQ(link.closes, 1);
    EXPECT_EQ(link.opens, 0);
    ExpectReopenedOnceASecond(0);
}

class OutputIdleTest : public PollPassTest {
  protected:
    void Hold(std::uint8_t slot) {
        ASSERT_EQ(plat::FileOpen("LPT1.OUT", plat::kAccessReadWrite,
                                 plat::FileCreate::kCreateAlways, &OutputHandle),
                  0u);
        OutputBuffer[4] = AllocateOutputRecord(4);
        OutputBuffer[4]->owner = slot;
        OutputHolder = slot;
        plat::SetTestTick(1000);
        OutputLastActivity = plat::TickCount();
    }
    mtest::ScratchDir dir;
};

TEST_F(OutputIdleTest, ClosedAfterThirtySecondsAndFreeForEveryone) {
    Hold(3);
    plat::AdvanceTestTick(29999);
    Passes(1);
    EXPECT_NE(OutputHandle, -1);
    EXPECT_EQ(OutputBuffer[4]->owner, 3);
    plat::AdvanceTestTick(1);
    Passes(1);
    EXPECT_EQ(OutputHandle, -1);
    EXPECT_EQ(OutputBuffer[4]->owner, kNoSlot);
    EXPECT_EQ(OutputHolder, kNoSlot);
}

TEST_F(OutputIdleTest, HolderInSlotZeroTimesOutToo) {
    Hold(0);
    plat::AdvanceTestTick(30000);
    Passes(1);
    EXPECT_EQ(OutputHandle, -1);
    EXPECT_EQ(OutputBuffer[4]->owner, kNoSlot);
    EXPECT_EQ(OutputHolder, kNoSlot);
}

TEST_F(OutputIdleTest, TickWrapStillMeasuresTheDifference) {
    Hold(2);
    plat::SetTestTick(0xFFFFFF00u);
    OutputLastActivity = plat::TickCount();
    plat::AdvanceTestTick(29999); // wraps past zero
    Passes(1);
    EXPECT_NE(OutputHandle, -1);
    plat::AdvanceTestTick(1);
    Passes(1);
    EXPECT_EQ(OutputHandle, -1);
}

TEST_F(PollPassTest, UnservedCodesAreAnsweredSevenWithoutData) {
    for (std::uint8_t code : {0, 1, 3, 4, 6, 7, 8, 12, 13, 15, 32, 51, 200})
        link.queue_request({5, code, {'x', 'y'}});
    Passes(13);
    ASSERT_EQ(link.sent.size(), 13u);
    for (const mtest::Sent& s : link.sent) {
        EXPECT_EQ(s.address, 5);
        EXPECT_EQ(s.code, 7);
        EXPECT_TRUE(s.data.empty());
    }
}

TEST_F(PollPassTest, ClockAnswersFromTheLocalTime) {
    plat::SetTestLocalTime({2026, 12, 1, 7, 9, 5, 3, 0});
    link.queue_request({5, 27, {}});
    link.queue_request({5, 28, {}});
    Passes(2);
    ASSERT_EQ(link.sent.size(), 2u);
    EXPECT_EQ(link.sent[0].code, 27);
    EXPECT_EQ(std::string(link.sent[0].data.begin(), link.sent[0].data.end()), " 9:05:03");
    EXPECT_EQ(link.sent[1].code, 28);
    EXPECT_EQ(std::string(link.sent[1].data.begin(), link.sent[1].data.end()), "20261207");
    plat::SetTestLocalTime({2026, 1, 4, 31, 23, 59, 59, 0});
    link.queue_request({5, 27, {}});
    Passes(1);
    EXPECT_EQ(std::string(link.sent[2].data.begin(), link.sent[2].data.end()), "23:59:59");
}

TEST_F(PollPassTest, RequestFromTheLaterOfTwoEqualAddressesUsesItsSlot) {
    // Slots 3, 7 and 20, and slot 25 with the address of slot 7.
    PolledCount = 4;
    PolledAddress = {};
    PolledAddress[0] = 30;
    PolledAddress[1] = 70;
    PolledAddress[2] = 200;
    PolledAddress[3] = 70;
    PolledSlot[0] = 3;
    PolledSlot[1] = 7;
    PolledSlot[2] = 20;
    PolledSlot[3] = 25;
    EXPECT_EQ(SlotOfAddress(30), 3);
    EXPECT_EQ(SlotOfAddress(200), 20);
    EXPECT_EQ(SlotOfAddress(70), 25);
    EXPECT_EQ(SlotOfAddress(99), -1);
    // A table request of a terminal whose slot is unknown is not served.
    link.queue_request({99, 22, {'1'}});
    Passes(1);
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(link.sent[0].code, 7);
}

TEST_F(PollPassTest, NothingDeliveredNothingSent) {
    Passes(5);
    EXPECT_TRUE(link.sent.empty());
    EXPECT_EQ(link.comm_error_calls, 5);
}

} // namespace

namespace {

TEST_F(OutputIdleTest, ReleaseForOneTerminalLeavesAnotherHoldersDevice) {
    Hold(4);
    FreeOutputDevice(9); // a download to slot 9: not the holder
    EXPECT_NE(OutputHandle, -1);
    EXPECT_EQ(OutputHolder, 4);
    FreeOutputDevice(4); // a download to the holder frees it for everyone
    EXPECT_EQ(OutputHandle, -1);
    EXPECT_EQ(OutputHolder, kNoSlot);
    EXPECT_EQ(OutputBuffer[4]->owner, kNoSlot);
    // Nobody holds it: the idle time-out has nothing to do.
    plat::AdvanceTestTick(60000);
    Passes(1);
    EXPECT_EQ(OutputHolder, kNoSlot);
}

} // namespace

namespace {

// The window procedure's create and destroy, and the quit path of the loop.
class WindowAndQuitTest : public PollPassTest {
  protected:
    mtest::ScratchDir dir;
};

TEST_F(WindowAndQuitTest, CreateChecksCommErrorsAndDestroyPostsTheQuitMessage) {
    mtest::WriteFile(dir.file("CommErrors.txt"), std::string(2000001, 'x'));
    EXPECT_EQ(ProcJan(plat::kMsgCreate, 0, 0), 0);
    ASSERT_EQ(plat::RecordedBoxCount(), 1);
    EXPECT_STREQ(plat::RecordedBoxAt(0)->caption, "Aviso");
    EXPECT_EQ(std::string(plat::RecordedBoxAt(0)->text)
                  .rfind("O Arquivo CommErrors.txt esta com "
                         "mais de 2 Megabytes",
                         0),
              0u);
    plat::Message m{};
    EXPECT_FALSE(plat::PeekMessage(&m));
    EXPECT_EQ(ProcJan(plat::kMsgDestroy, 0, 0), 0);
    ASSERT_TRUE(plat::PeekMessage(&m));
    EXPECT_EQ(m.id, plat::kMsgQuit);
    EXPECT_EQ(m.wParam, 0u);
    EXPECT_FALSE(plat::PeekMessage(&m));
}

TEST_F(WindowAndQuitTest, QuitShutsDownClosesThePortAndEndsWithItsValue) {
    mtest::WriteTable(dir.file("ITEMS.DBF"), {{"NAME", 10}}, {"ANA", "BIA"});
    mtest::WriteConfig(dir.path(), mtest::MakeConfig({5}, {{"ITEMS.DBF", 'D'}}));
    ASSERT_TRUE(Initialise()) << MessageBuffer;
    ASSERT_NE(d4table(DataFileHandle[0]), nullptr);
    // A request waiting is not served once the quit message is there.
    link.queue_request({5, 28, {}});
    plat::PostQuitMessage(0);
    EXPECT_EQ(MainLoop(), 0);
    EXPECT_EQ(link.closes, 1);
    EXPECT_TRUE(link.sent.empty());
    // Shutdown ran: every table is closed.
    EXPECT_EQ(d4table(0), nullptr);
    d4reset_store();

    plat::PostQuitMessage(3);
    EXPECT_EQ(MainLoop(), 3);
    EXPECT_EQ(link.closes, 2);
}

} // namespace
