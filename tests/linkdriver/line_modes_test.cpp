// The line under the protocol, as wtalvoc.conf sets it up: the order of the
// modem-line calls and writes per direction, the kernel's RS-485 mode
// refused on a pseudo-terminal, HUPCL, an echoing adapter, a late terminal,
// a dribbling terminal next to a good one, and a line behind a TCP server.
#include "linkdriver/serilo.h"

#include "platform/errors.h"
#include "platform/serial.h"
#include "platform/uucplock.h"
#include "tools/talvoterm/terminal.h"

#include "tests/linkdriver/line_fixture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

namespace {

using namespace std::chrono_literals;

std::int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

void WriteConf(const std::string& text) {
    std::FILE* f = std::fopen("wtalvoc.conf", "wb");
    ASSERT_NE(f, nullptr);
    std::fputs(text.c_str(), f);
    std::fclose(f);
}

std::string Trace() {
    char text[4096];
    plat::SerialTestTrace(text, sizeof text);
    return text;
}

// Asks terminal `address` for `count` requests through the exports and
// answers each; how many came back answered.
int Serve(talvoterm::Terminal& term, std::uint16_t address, int count) {
    int served = 0;
    for (int i = 0; i < count; ++i) {
        const std::uint64_t id = term.submit({address, 0x0C, {'4', '2'}});
        std::array<std::uint8_t, 298> data{};
        std::uint16_t from = 0;
        std::uint8_t code = 0;
        std::int16_t length = 0;
        if (_LePorta(&from, data.data(), &code, &length, 10000) != 0) continue;
        const std::uint8_t done = 15;
        _EscrevePorta(from, &done, 15, 1);
        talvoterm::Exchange ex;
        if (term.wait(id, ex, 10000) == 0 && ex.ok) ++served;
    }
    return served;
}

class LineModes : public ::testing::Test {
  protected:
    linktest::ScratchDir dir;
    linktest::PtyLine line{"COM1"};
    void TearDown() override { _FechaPorta(); }
};

} // namespace

// Seen from outside: per poll, rts-send raises RTS before the write and
// clears it after; rts-listen writes with RTS down and raises it to listen;
// none and kernel make no modem-line call. Low latency is asked at open
// unless turned off.
TEST_F(LineModes, EachDirectionOrdersItsModemLineCallsAroundThePoll) {
    struct Case {
        const char* conf;
        const char* perPoll; // the calls around each poll's write
        bool lowLatency;
    };
    const Case cases[] = {
        {"direction = rts-send\n", "RWr", true},
        {"# the seed protocol's\ndirection=rts-listen\n", "WRr", true},
        {"direction = none  # automatic adapter\nlow_latency = no\n", "W", false},
    };
    for (const Case& c : cases) {
        WriteConf(std::string(c.conf) + "lock_file = no\n");
        linktest::RawPeer peer(line.master()); // a silent terminal
        plat::SerialTestTraceStart();
        const std::uint16_t one[1] = {5};
        ASSERT_EQ(_AbrePorta("COM1", 1, one), 0u) << c.conf;
        peer.WaitFrames(4, 10000);
        ASSERT_EQ(_FechaPorta(), 0u);
        const std::string trace = Trace();
        EXPECT_EQ(trace.find('L') != std::string::npos, c.lowLatency) << trace;
        // From the first poll on, the calls repeat per poll.
        const std::string pattern = c.perPoll;
        std::string calls = trace.substr(trace.find(pattern));
        calls.erase(std::remove(calls.begin(), calls.end(), 'D'), calls.end());
        ASSERT_GE(calls.size(), 3 * pattern.size()) << c.conf << trace;
        for (std::size_t i = 0; i + pattern.size() <= calls.size(); i += pattern.size())
            EXPECT_EQ(calls.substr(i, pattern.size()), pattern) << c.conf << calls;
    }
}

TEST_F(LineModes, KernelModeWithoutRs485ABadFileAndALiveLockRefuseToOpen) {
    WriteConf("direction = kernel\nlock_file = no\n");
    const std::uint16_t one[1] = {5};
    EXPECT_EQ(_AbrePorta("COM1", 1, one), plat::kErrNotSupported);
    EXPECT_EQ(_FechaPorta(), 1u); // not open
    WriteConf("direction = sideways\n");
    EXPECT_EQ(_AbrePorta("COM1", 1, one), plat::kErrInvalidParameter);
    // A live UUCP lock on the device (process 1 holds it) is refused.
    if (!plat::UucpLockDirWritable(plat::kLockDir)) return;
    WriteConf("lock_file = yes\n");
    char lock[300];
    ASSERT_EQ(plat::UucpLockPath(plat::kLockDir, "COM1", lock, sizeof lock), 0u);
    std::FILE* f = std::fopen(lock, "wb");
    ASSERT_NE(f, nullptr);
    std::fputs("         1\n", f);
    std::fclose(f);
    EXPECT_EQ(_AbrePorta("COM1", 1, one), plat::kErrAccessDenied);
    ::unlink(lock);
    EXPECT_EQ(_AbrePorta("COM1", 1, one), 0u);
}

// HUPCL is cleared even when the port had it set, so no close drops DTR;
// the port's earlier settings come back at close (HUPCL still cleared).
TEST_F(LineModes, HupclClearedAndTheEarlierSettingsRestoredAtClose) {
    WriteConf("lock_file = no\n");
    termios t{};
    ASSERT_EQ(tcgetattr(line.master(), &t), 0);
    t.c_cflag |= HUPCL;
    cfsetospeed(&t, B9600);
    ASSERT_EQ(tcsetattr(line.master(), TCSANOW, &t), 0);
    const std::uint16_t one[1] = {5};
    ASSERT_EQ(_AbrePorta("COM1", 1, one), 0u);
    ASSERT_EQ(tcgetattr(line.master(), &t), 0);
    EXPECT_EQ(t.c_cflag & HUPCL, 0u);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B57600));
    ASSERT_EQ(_FechaPorta(), 0u);
    ASSERT_EQ(tcgetattr(line.master(), &t), 0);
    EXPECT_EQ(t.c_cflag & HUPCL, 0u);
    EXPECT_EQ(cfgetospeed(&t), speed_t(B9600));
}

// An echoing adapter with echo = yes, and a terminal answering 12 ms late
// (USB latency): every request served.
TEST_F(LineModes, EchoingLineAndLateTerminalAreServed) {
    struct Case {
        const char* conf;
        bool echo;
        int delayMs;
    };
    for (const Case& c : {Case{"echo = yes\n", true, 0}, Case{"", false, 12}}) {
        WriteConf(std::string(c.conf) + "lock_file = no\n");
        talvoterm::Terminal term;
        talvoterm::TerminalOptions opt;
        opt.echo = c.echo;
        opt.answer_delay_ms = c.delayMs;
        const std::uint16_t addresses[] = {5, 6};
        ASSERT_EQ(term.start(line.master(), addresses, opt), 0);
        ASSERT_EQ(_AbrePorta("COM1", 2, addresses), 0u);
        EXPECT_EQ(Serve(term, 5, 5) + Serve(term, 6, 5), 10) << c.conf << c.delayMs;
        EXPECT_EQ(_FechaPorta(), 0u);
        term.stop();
    }
}

// Terminal 5 answers each poll with 600 bytes, one every 45 ms, until the
// PC sends again (half duplex: it cannot talk over the PC); terminal 6 is
// still polled at least every second or two.
TEST_F(LineModes, DribblingTerminalDoesNotStarveTheOther) {
    WriteConf("lock_file = no\n");
    const std::uint16_t addresses[] = {5, 6};
    ASSERT_EQ(_AbrePorta("COM1", 2, addresses), 0u);
    const int fd = line.master();
    talvoterm::FrameDecoder decoder;
    talvoterm::Frame f;
    std::vector<std::uint8_t> dribble;
    std::size_t sent = 0;
    std::int64_t nextByte = 0, lastPoll6 = 0, widest = 0;
    const std::int64_t end = NowMs() + 8000;
    while (NowMs() < end) {
        pollfd p{fd, POLLIN, 0};
        ::poll(&p, 1, 5);
        std::uint8_t buf[256];
        const ssize_t n = (p.revents & POLLIN) ? ::read(fd, buf, sizeof buf) : 0;
        for (ssize_t i = 0; i < n; ++i) {
            if (decoder.feed(buf[i], f) != talvoterm::FrameDecoder::Result::frame) continue;
            dribble.resize(sent); // the PC took the line
            if (f.code != 0x01) continue;
            if (f.dest == 6) {
                const std::int64_t now = NowMs();
                if (lastPoll6 != 0) widest = std::max(widest, now - lastPoll6);
                lastPoll6 = now;
            } else if (f.dest == 5 && sent >= dribble.size()) {
                dribble = {0x10, 0x02, 0x00, 0x01, 0x00, 0x05, 0x0C, 0x02, 0x4F};
                dribble.resize(600, 'A');
                sent = 0;
            }
        }
        if (sent < dribble.size() && NowMs() >= nextByte) {
            if (::write(fd, &dribble[sent], 1) == 1) ++sent;
            nextByte = NowMs() + 45;
        }
    }
    EXPECT_NE(lastPoll6, 0);
    EXPECT_LE(widest, 2000);
    RecordProperty("widest_poll_gap_ms", int(widest));
}

// COM1 -> tcp:127.0.0.1:PORT: served; the server closes and comes back on
// the same port: the line is lost, opened again once a second as the manager
// does, and served again within a few seconds.
TEST_F(LineModes, TcpLineIsServedAndReconnected) {
    WriteConf("direction = rts-send\necho = yes\n"); // both the server's business
    auto listenOn = [](int port) {
        const int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        int one = 1;
        ::setsockopt(s, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(std::uint16_t(port));
        if (::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(s, 1) != 0) {
            ::close(s);
            return -1;
        }
        return s;
    };
    int server = listenOn(0);
    ASSERT_GE(server, 0);
    sockaddr_in bound{};
    socklen_t len = sizeof bound;
    ::getsockname(server, reinterpret_cast<sockaddr*>(&bound), &len);
    const int port = ntohs(bound.sin_port);
    ::unlink("COM1");
    ASSERT_EQ(::symlink(("tcp:127.0.0.1:" + std::to_string(port)).c_str(), "COM1"), 0);

    const std::uint16_t one[1] = {5};
    for (int round = 0; round < 2; ++round) {
        // Opened once a second until the server takes the connection.
        std::uint32_t opened = 1;
        for (int i = 0; i < 10 && opened != 0; ++i) {
            opened = _AbrePorta("COM1", 1, one);
            if (opened != 0) std::this_thread::sleep_for(1s);
        }
        ASSERT_EQ(opened, 0u) << round;
        const int conn = ::accept4(server, nullptr, nullptr, SOCK_CLOEXEC);
        ASSERT_GE(conn, 0);
        talvoterm::Terminal term;
        ASSERT_EQ(term.start(conn, one), 0);
        EXPECT_EQ(Serve(term, 5, 3), 3) << round;
        term.stop();
        ::close(conn);
        ::close(server);
        // The loss reaches the caller as a lost line.
        std::array<std::uint8_t, 298> data{};
        std::uint16_t from = 0;
        std::uint8_t code = 0;
        std::int16_t length = 0;
        std::uint32_t read = 1;
        for (int i = 0; i < 20 && read == 1; ++i)
            read = _LePorta(&from, data.data(), &code, &length, 500);
        // A closed peer reads as an end (not connected) or, when the close
        // raced an answer on its way, as a reset (an I/O error): both lost.
        EXPECT_TRUE(read == plat::kErrDeviceNotConnected || read == plat::kErrIoDevice) << read;
        EXPECT_EQ(_FechaPorta(), 0u);
        EXPECT_NE(_AbrePorta("COM1", 1, one), 0u); // nobody there now
        server = listenOn(port);
        ASSERT_GE(server, 0);
    }
    ::close(server);
    EXPECT_NE(dir.Read("excecoes.txt").find("Linha TCP"), std::string::npos);
}
