// The output device requests over the line, end to end: simulated terminals
// on a pseudo-terminal, the real manager program, LPT1 a plain file and COM2
// a second pseudo-terminal in the data directory.
#include "tests/requests/line_harness.h"

#include <gtest/gtest.h>

#include <fstream>
#include <iterator>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>
#include <vector>

namespace linetest {
namespace {

constexpr std::uint16_t kA = 5, kB = 6;
constexpr std::uint8_t kLpt1 = 4, kLpt2 = 5;

std::vector<std::uint8_t> Bytes(const std::string& s) {
    return std::vector<std::uint8_t>(s.begin(), s.end());
}

class OutputLine : public ::testing::Test {
  protected:
    // enabled: the six device switches; default_device 0..6.
    bool Start(const std::vector<std::uint8_t>& enabled, std::uint8_t default_device) {
        std::ofstream(line.path("LPT1"), std::ios::binary).flush();
        std::vector<std::uint8_t> outputs = enabled;
        outputs.resize(6, 0);
        outputs.push_back(default_device);
        std::ofstream out(line.path("outputs.bin"), std::ios::binary);
        out.write(reinterpret_cast<const char*>(outputs.data()), 7);
        out.close();
        // Slot 0 stays empty so that no holder is in slot 0 by chance.
        if (!line.start({0, kA, kB}, {})) {
            ADD_FAILURE() << line.why();
            return false;
        }
        return true;
    }
    // The one-byte answer of an open ('?' when not one).
    char Open(std::uint16_t address, std::uint8_t code, std::vector<std::uint8_t> data) {
        const Answer a = line.ask(address, code, data);
        EXPECT_TRUE(a.ok) << a.note;
        EXPECT_EQ(a.code, code);
        return a.data.size() == 1 ? static_cast<char>(a.data[0]) : '?';
    }
    int Write(std::uint16_t address, std::uint8_t code, const std::string& data) {
        const Answer a = line.ask(address, code, Bytes(data));
        EXPECT_TRUE(a.ok) << a.note;
        EXPECT_TRUE(a.data.empty());
        return a.ok ? a.code : -1;
    }
    std::string Printed() {
        std::ifstream in(line.path("LPT1"), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), {});
    }
    Line line;
};

TEST_F(OutputLine, TerminalsShareThePrinterOneAfterTheOther) {
    ASSERT_TRUE(Start({0, 0, 0, 0, 1, 1}, 5));
    std::ofstream(line.path("LPT2"), std::ios::binary).flush();
    EXPECT_EQ(Open(kA, 44, {}), 'T'); // the default device, LPT1
    EXPECT_EQ(Open(kB, 50, {kLpt1}), 'F');
    EXPECT_EQ(Open(kB, 50, {kLpt2}), 'F'); // one device at a time
    EXPECT_EQ(Write(kB, 45, "B1!"), 14);
    EXPECT_EQ(Write(kA, 45, "Linha 1\r\n."), 45);
    EXPECT_EQ(Write(kA, 49, "\x07Linha 2\r\n"), 49);
    EXPECT_EQ(Write(kA, 49, "\x07Linha 2\r\n"), 49); // a repeat: not written again
    EXPECT_EQ(Write(kA, 49, "\x08\x10\x10"), 49);    // link bytes 0x10 pass through
    EXPECT_EQ(Printed(), "Linha 1\r\nLinha 2\r\n\x10\x10");
    EXPECT_EQ(Open(kA, 50, {kLpt1}), 'F'); // released
    EXPECT_EQ(Write(kA, 45, "late!"), 14);
    EXPECT_EQ(Open(kB, 50, {kLpt2}), 'T');
    EXPECT_EQ(Write(kB, 49,
                    "\x01"
                    "B"),
              49);
    EXPECT_EQ(Open(kB, 44, {}), 'F'); // LPT1 is free but B holds LPT2
    EXPECT_EQ(Open(kB, 50, {kLpt2}), 'F');
    EXPECT_EQ(Open(kB, 44, {}), 'T');
    EXPECT_EQ(line.stop(), 0);
}

TEST_F(OutputLine, RefusedDevicesAndRequests) {
    ASSERT_TRUE(Start({0, 0, 0, 0, 1, 0}, 0));
    EXPECT_EQ(Open(kA, 44, {}), 'F'); // no default device
    EXPECT_EQ(Open(kA, 50, {6}), 'F');
    EXPECT_EQ(Open(kA, 50, {kLpt2}), 'F'); // not enabled
    EXPECT_EQ(Open(kA, 50, {}), 'F');      // no device byte
    EXPECT_EQ(Write(kA, 49, "\x03text"), 14);
    EXPECT_EQ(Write(kA, 45, ""), 14);
    EXPECT_EQ(Write(kA, 49, ""), 14);
    EXPECT_EQ(Open(kA, 50, {kLpt1}), 'T');
    EXPECT_EQ(Write(kA, 49, "\x03text"), 49); // after the failure a repeat is written
    EXPECT_EQ(Printed(), "text");
    EXPECT_EQ(line.stop(), 0);
}

TEST_F(OutputLine, SerialDeviceGetsItsLineAndTheText) {
    platform::PtyPair com2;
    ASSERT_EQ(platform::pty_create(com2, line.path("COM2").c_str()), 0);
    struct termios t;
    ASSERT_EQ(::tcgetattr(com2.slave, &t), 0);
    t.c_cflag |= CRTSCTS;
    ASSERT_EQ(::tcsetattr(com2.slave, TCSANOW, &t), 0);
    ASSERT_TRUE(Start({0, 1, 0, 0, 0, 0}, 2));
    EXPECT_EQ(Open(kB, 44, {}), 'T');
    ASSERT_EQ(::tcgetattr(com2.slave, &t), 0);
    EXPECT_EQ(::cfgetospeed(&t), static_cast<speed_t>(B9600));
    EXPECT_EQ(t.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
    EXPECT_EQ(t.c_cflag & (PARENB | CSTOPB), 0u);
    EXPECT_NE(t.c_cflag & CRTSCTS, 0u) << "flow control stays as the port had it";
    EXPECT_EQ(Write(kB, 45, "ab\ncd."), 45);
    std::string got;
    char buf[16];
    while (got.size() < 5) {
        pollfd p{com2.master, POLLIN, 0};
        if (::poll(&p, 1, 10000) != 1) break; // the manager wrote before it answered
        const ssize_t n = ::read(com2.master, buf, sizeof buf);
        if (n <= 0) break;
        got.append(buf, static_cast<std::size_t>(n));
    }
    EXPECT_EQ(got, "ab\ncd");
    EXPECT_EQ(Open(kB, 44, {}), 'F');
    EXPECT_EQ(line.stop(), 0);
    platform::pty_release(com2);
}

} // namespace
} // namespace linetest
