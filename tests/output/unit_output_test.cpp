// The output device requests in-process, through the dispatcher's rows, with
// the link driver stood in for: LPT1 and LPT2 are plain files or links in a
// scratch working directory, COM2 a pseudo-terminal, and the idle time-out
// runs in the poll pass on the layer's test clock.
#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

#include "manager/config.h"
#include "manager/mainloop.h"
#include "manager/output.h"
#include "manager/requests/dispatch.h"
#include "manager/runtime.h"
#include "platform/clock.h"
#include "platform/outport.h"
#include "platform/pty.h"
#include "tests/manager/support.h"

namespace {

constexpr int kCom1 = 0, kCom2 = 1, kCom3 = 2, kLpt1 = 4, kLpt2 = 5;

class OutputTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetRuntimeTables();
        std::memset(&Config, 0, sizeof Config);
        std::snprintf(PortName, sizeof PortName, "COM4");
        mtest::WriteFile(dir.file("LPT1"), "");
        plat::SetTestTick(5000);
    }
    void TearDown() override {
        if (OutputHandle != -1) FreeOutputDevice(kNoSlot);
        plat::ClearTestTick();
        ResetRuntimeTables();
        std::memset(&Config, 0, sizeof Config);
    }
    static void Enable(std::initializer_list<int> devices) {
        for (int d : devices) OutputBuffer[static_cast<std::size_t>(d)] = AllocateOutputRecord(d);
    }
    // One request through the dispatcher; the answer it sent.
    mtest::Sent Ask(int slot, std::uint8_t code, const std::vector<std::uint8_t>& data) {
        link.sent.clear();
        std::memset(FrameBuffer, 0, 512);
        if (!data.empty()) std::memcpy(FrameBuffer, data.data(), data.size());
        const auto address = static_cast<std::uint16_t>(100 + slot);
        EXPECT_EQ(DispatchRequest(address, FrameBuffer, code, static_cast<int>(data.size()), slot),
                  1)
            << "code " << int(code);
        if (link.sent.size() != 1) {
            ADD_FAILURE() << "code " << int(code) << ": " << link.sent.size() << " answers";
            return {0, 0, {}};
        }
        EXPECT_EQ(link.sent[0].address, address);
        return link.sent[0];
    }
    // The one-byte answer of an open request, as a character ('?' when not).
    char Open(int slot, int device) {
        const mtest::Sent s = Ask(slot, 50, {static_cast<std::uint8_t>(device)});
        EXPECT_EQ(s.code, 50);
        return s.data.size() == 1 ? static_cast<char>(s.data[0]) : '?';
    }
    char OpenDefault(int slot) {
        const mtest::Sent s = Ask(slot, 44, {});
        EXPECT_EQ(s.code, 44);
        return s.data.size() == 1 ? static_cast<char>(s.data[0]) : '?';
    }
    // Code 45 with text (its last byte is not written); the answer's code.
    int Write(int slot, const std::string& text) {
        const mtest::Sent s = Ask(slot, 45, std::vector<std::uint8_t>(text.begin(), text.end()));
        EXPECT_TRUE(s.data.empty());
        return s.code;
    }
    int WriteOnce(int slot, std::uint8_t sequence, const std::string& text) {
        std::vector<std::uint8_t> d{sequence};
        d.insert(d.end(), text.begin(), text.end());
        const mtest::Sent s = Ask(slot, 49, d);
        EXPECT_TRUE(s.data.empty());
        return s.code;
    }
    std::string Printed(const char* name = "LPT1") { return mtest::ReadFile(dir.file(name)); }

    mtest::ScratchDir dir;
    mtest::FakeLink link;
};

TEST_F(OutputTest, OpenWriteReleaseOnAPrinter) {
    Enable({kLpt1});
    EXPECT_EQ(Open(3, kLpt1), 'T');
    EXPECT_NE(OutputHandle, -1);
    EXPECT_EQ(OutputHolder, 3);
    EXPECT_EQ(OutputBuffer[kLpt1]->owner, 3);
    EXPECT_EQ(Write(3, "ABCDE"), 45); // every byte but the last
    EXPECT_EQ(WriteOnce(3, 7, "xy\r\n"), 49);
    EXPECT_EQ(Write(3, std::string("\x10\x00\xFF", 3) + "!"), 45);
    EXPECT_EQ(Write(3, "Z"), 45); // one byte: nothing to write, done
    EXPECT_EQ(Printed(), std::string("ABCDxy\r\n\x10\x00\xFF", 11));
    // A second open by the holder releases the device.
    EXPECT_EQ(Open(3, kLpt1), 'F');
    EXPECT_EQ(OutputHandle, -1);
    EXPECT_EQ(OutputHolder, kNoSlot);
    EXPECT_EQ(OutputBuffer[kLpt1]->owner, kNoSlot);
    EXPECT_EQ(Write(3, "late!"), 14);
    EXPECT_EQ(Printed(), std::string("ABCDxy\r\n\x10\x00\xFF", 11));
}

TEST_F(OutputTest, LengthBeyondTheFrameBufferIsCutToIt) {
    Enable({kLpt1});
    ASSERT_EQ(Open(3, kLpt1), 'T');
    link.sent.clear();
    std::memset(FrameBuffer, 'x', sizeof FrameBuffer);
    EXPECT_EQ(DispatchRequest(103, FrameBuffer, 45, 30000, 3), 1);
    ASSERT_EQ(link.sent.size(), 1u);
    EXPECT_EQ(link.sent[0].code, 45);
    EXPECT_EQ(Printed(), std::string(kFrameBufferSize - 2, 'x'));
}

TEST_F(OutputTest, OneTerminalAndOneDeviceAtATime) {
    Enable({kLpt1, kLpt2});
    mtest::WriteFile(dir.file("LPT2"), "");
    EXPECT_EQ(Open(1, kLpt1), 'T');
    EXPECT_EQ(Open(2, kLpt1), 'F'); // held by terminal 1
    EXPECT_EQ(Open(2, kLpt2), 'F'); // another device is open
    EXPECT_EQ(Write(2, "no."), 14);
    EXPECT_EQ(OutputBuffer[kLpt2]->owner, kNoSlot);
    EXPECT_EQ(OutputHolder, 1);
    EXPECT_EQ(Write(1, "one."), 45);
    EXPECT_EQ(Open(1, kLpt1), 'F'); // released
    EXPECT_EQ(Open(2, kLpt2), 'T');
    EXPECT_EQ(Write(2, "two."), 45);
    EXPECT_EQ(Write(1, "one again."), 14);
    EXPECT_EQ(Printed("LPT1"), "one");
    EXPECT_EQ(Printed("LPT2"), "two");
}

TEST_F(OutputTest, DeviceNumbersAndTheDefaultDevice) {
    Enable({kLpt1});
    EXPECT_EQ(OpenDefault(2), 'F'); // no default device
    EXPECT_EQ(Open(2, 6), 'F');
    EXPECT_EQ(Open(2, 255), 'F');
    EXPECT_EQ(Open(2, kLpt2), 'F');                                 // not enabled
    EXPECT_EQ(Ask(2, 50, {}).data, std::vector<std::uint8_t>{'F'}); // no device byte at all
    Config.DefaultOutput = 7;
    EXPECT_EQ(OpenDefault(2), 'F');
    EXPECT_EQ(OutputHandle, -1);
    Config.DefaultOutput = 5; // LPT1
    EXPECT_EQ(OpenDefault(2), 'T');
    EXPECT_EQ(OutputBuffer[kLpt1]->owner, 2);
    EXPECT_EQ(OpenDefault(2), 'F');
    EXPECT_EQ(OutputHandle, -1);
}

TEST_F(OutputTest, DeviceZeroFromTheHolderMeansTheDeviceItHolds) {
    Enable({kCom1, kLpt1});
    EXPECT_EQ(Open(4, kLpt1), 'T');
    EXPECT_EQ(Open(4, kCom1), 'F'); // releases LPT1
    EXPECT_EQ(OutputBuffer[kLpt1]->owner, kNoSlot);
    EXPECT_EQ(OutputHolder, kNoSlot);
    // Without COM1 available the request is refused before the lookup.
    OutputBuffer[kCom1] = nullptr;
    EXPECT_EQ(Open(4, kLpt1), 'T');
    EXPECT_EQ(Open(4, kCom1), 'F');
    EXPECT_EQ(OutputBuffer[kLpt1]->owner, 4);
}

TEST_F(OutputTest, RepeatedSequenceIsNotWrittenTwice) {
    Enable({kLpt1});
    EXPECT_EQ(Open(0, kLpt1), 'T');
    EXPECT_EQ(WriteOnce(0, 7, "one"), 49);
    EXPECT_EQ(WriteOnce(0, 7, "one"), 49); // the terminal missed the answer
    EXPECT_EQ(WriteOnce(0, 8, "two"), 49);
    EXPECT_EQ(WriteOnce(0, 7, "one"), 49); // not the last one: written
    EXPECT_EQ(Printed(), "onetwoone");
    EXPECT_EQ(TerminalSequence[0], 7);
}

TEST_F(OutputTest, AFailedWriteIsWrittenWhenRepeated) {
    Enable({kLpt1});
    TerminalSequence[6] = 6;
    EXPECT_EQ(WriteOnce(6, 7, "abc"), 14); // holds no device
    EXPECT_EQ(TerminalSequence[6], 6);
    EXPECT_EQ(Open(6, kLpt1), 'T');
    EXPECT_EQ(WriteOnce(6, 7, "abc"), 49);
    EXPECT_EQ(Printed(), "abc");
    // The sequence byte wraps when it is taken back.
    EXPECT_EQ(Open(6, kLpt1), 'F');
    EXPECT_EQ(WriteOnce(6, 0, "x"), 14);
    EXPECT_EQ(TerminalSequence[6], 255);
}

TEST_F(OutputTest, ADeviceThatRefusesTheBytesAnswersFourteen) {
    if (::access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
    Enable({kLpt2});
    ASSERT_EQ(::symlink("/dev/full", dir.file("LPT2").c_str()), 0);
    TerminalSequence[1] = 3;
    EXPECT_EQ(Open(1, kLpt2), 'T');
    EXPECT_EQ(WriteOnce(1, 9, "lost"), 14);
    EXPECT_EQ(TerminalSequence[1], 8); // taken back: a repeat with 9 is tried again
    EXPECT_EQ(Write(1, "lost!"), 14);
    EXPECT_EQ(OutputHolder, 1); // still held
}

TEST_F(OutputTest, DeviceThatCannotBeOpenedStaysFree) {
    Enable({kLpt2});
    ASSERT_EQ(::symlink(dir.file("nowhere").c_str(), dir.file("LPT2").c_str()), 0);
    EXPECT_EQ(Open(1, kLpt2), 'F');
    EXPECT_EQ(OutputHandle, -1);
    EXPECT_EQ(OutputHolder, kNoSlot);
    EXPECT_EQ(OutputBuffer[kLpt2]->owner, kNoSlot);
}

TEST_F(OutputTest, ADeviceHeldByAnotherOpenerIsRefusedAndNotShared) {
    Enable({kLpt1});
    const int other = ::open(dir.file("LPT1").c_str(), O_RDWR);
    ASSERT_GE(other, 0);
    ASSERT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0); // another program holds the printer
    EXPECT_EQ(Open(1, kLpt1), 'F');
    EXPECT_EQ(OutputHolder, kNoSlot);
    ::flock(other, LOCK_UN);
    EXPECT_EQ(Open(1, kLpt1), 'T');
    EXPECT_NE(::flock(other, LOCK_EX | LOCK_NB), 0) << "the manager does not share it";
    EXPECT_EQ(Open(1, kLpt1), 'F'); // released: free for the other again
    EXPECT_EQ(::flock(other, LOCK_EX | LOCK_NB), 0);
    ::close(other);
}

TEST_F(OutputTest, TheLinksOwnPortIsNeverAnOutputDevice) {
    Enable({kCom2, kLpt1});
    mtest::WriteFile(dir.file("COM2"), "");
    std::snprintf(PortName, sizeof PortName, "COM2");
    EXPECT_EQ(Open(1, kCom2), 'F');
    EXPECT_EQ(OutputHandle, -1);
    EXPECT_EQ(OutputHolder, kNoSlot);
    EXPECT_EQ(Open(1, kLpt1), 'T');
}

TEST_F(OutputTest, RequestsWithoutAnyDataAreRefused) {
    Enable({kLpt1});
    EXPECT_EQ(Open(2, kLpt1), 'T');
    TerminalSequence[2] = 40;
    EXPECT_EQ(Ask(2, 45, {}).code, 14);
    EXPECT_EQ(Ask(2, 49, {}).code, 14);
    EXPECT_EQ(TerminalSequence[2], 40);
    EXPECT_EQ(Printed(), "");
    EXPECT_EQ(OutputHolder, 2);
}

TEST_F(OutputTest, IdleDeviceIsClosedByThePollPassAndFreeAgain) {
    Enable({kLpt1});
    EXPECT_EQ(Open(0, kLpt1), 'T'); // slot 0 holds it like any other
    plat::AdvanceTestTick(20000);
    EXPECT_EQ(Write(0, "kept."), 45); // a write counts as activity
    plat::AdvanceTestTick(29999);
    EXPECT_EQ(PollPass(), -1);
    EXPECT_EQ(OutputBuffer[kLpt1]->owner, 0);
    EXPECT_EQ(Open(5, kLpt1), 'F');
    plat::AdvanceTestTick(1);
    EXPECT_EQ(PollPass(), -1);
    EXPECT_EQ(OutputHandle, -1);
    EXPECT_EQ(OutputBuffer[kLpt1]->owner, kNoSlot);
    EXPECT_EQ(Write(0, "late!"), 14);
    // Another terminal may open it now.
    EXPECT_EQ(Open(5, kLpt1), 'T');
    EXPECT_EQ(Write(5, "five."), 45);
    EXPECT_EQ(Printed(), "five"); // opened afresh, from its start
}

TEST_F(OutputTest, SerialDeviceIsSetTo9600EightNoneOneAndKeepsItsFlowControl) {
    Enable({kCom2, kCom3});
    platform::PtyPair pty;
    ASSERT_EQ(platform::pty_create(pty, dir.file("COM2").c_str()), 0);
    struct termios t;
    ASSERT_EQ(::tcgetattr(pty.slave, &t), 0);
    t.c_cflag = (t.c_cflag & ~static_cast<tcflag_t>(CSIZE)) | CS7 | PARENB | CSTOPB | CRTSCTS;
    t.c_iflag |= IXON | ICRNL;
    t.c_oflag |= OPOST | ONLCR;
    ::cfsetispeed(&t, B1200);
    ::cfsetospeed(&t, B1200);
    ASSERT_EQ(::tcsetattr(pty.slave, TCSANOW, &t), 0);

    EXPECT_EQ(Open(2, kCom2), 'T');
    plat::OutputLine line{};
    ASSERT_EQ(plat::OutputLineGet(pty.slave, &line), 0u);
    EXPECT_EQ(line.baud, 9600u);
    EXPECT_EQ(line.dataBits, 8);
    EXPECT_FALSE(line.parity);
    EXPECT_FALSE(line.twoStopBits);
    EXPECT_TRUE(line.binary);
    EXPECT_TRUE(line.hardwareFlow);
    EXPECT_TRUE(line.softwareFlow);
    EXPECT_EQ(_AtualizaPorta(), 0u);

    // The bytes reach the other side unchanged (no LF to CR LF).
    EXPECT_EQ(Write(2, "a\nb\x10."), 45);
    char got[8] = {};
    std::size_t n = 0;
    while (n < 4) {
        pollfd p{pty.master, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1) break; // generous: the bytes are already queued
        const ssize_t r = ::read(pty.master, got + n, sizeof got - n);
        if (r <= 0) break;
        n += static_cast<std::size_t>(r);
    }
    EXPECT_EQ(std::string(got, n), "a\nb\x10");
    EXPECT_EQ(Open(2, kCom2), 'F');
    platform::pty_release(pty);

    // A COM name that is a plain file cannot take line settings; it is
    // opened and written all the same.
    mtest::WriteFile(dir.file("COM3"), "");
    EXPECT_EQ(Open(2, kCom3), 'T');
    EXPECT_NE(_AtualizaPorta(), 0u);
    EXPECT_EQ(Write(2, "ok."), 45);
    EXPECT_EQ(Printed("COM3"), "ok");
}

} // namespace
