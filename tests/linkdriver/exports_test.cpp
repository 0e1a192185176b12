// The six exports: refusals on a closed or missing port, exclusive opening,
// the hand-over of a request and of its answer, observed on a
// pseudo-terminal with a raw terminal at the other end.
#include "linkdriver/serilo.h"

#include "linkdriver/portstate.h"
#include "platform/clock.h"
#include "platform/serial.h"

#include "tests/linkdriver/line_fixture.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>

namespace {

using linktest::Hex;

const std::vector<std::uint8_t> kRequest14 = {0x10, 0x02, 0x00, 0x01, 0x00, 0x05, 0x0C,
                                              0x00, 0x02, 0x31, 0x32, 0x10, 0x03, 0x63};

struct Delivered {
    std::uint16_t address = 0;
    std::array<std::uint8_t, 298> data{};
    std::uint8_t code = 0;
    std::int16_t length = -1;
};

std::uint32_t Read(Delivered& d, std::uint32_t timeout) {
    return _LePorta(&d.address, d.data.data(), &d.code, &d.length, timeout);
}

class OpenPort : public ::testing::Test {
  protected:
    linktest::ScratchDir dir;
    linktest::PtyLine line{"COM1"};
    void TearDown() override { _FechaPorta(); }
};

} // namespace

TEST(ClosedPort, NothingToCloseReadOrReport) {
    linktest::ScratchDir dir;
    EXPECT_EQ(_AtribuiBaseAdd(0x3F8), 0x3F8u);
    EXPECT_EQ(_FechaPorta(), 1u);
    serilo::g_port.errorLogged.store(1);
    EXPECT_EQ(_CommError(), 0u); // and the flag is taken all the same
    EXPECT_EQ(serilo::g_port.errorLogged.load(), 0);
    Delivered d;
    EXPECT_EQ(Read(d, 0), 1u);
    EXPECT_EQ(d.length, -1);
    const std::uint8_t data[1] = {1};
    EXPECT_EQ(_EscrevePorta(5, data, 0x0F, 1), 1u);
}

TEST(ClosedPort, MissingDeviceAndBadArgumentsLeaveItClosed) {
    linktest::ScratchDir dir;
    const std::uint16_t one[1] = {5};
    EXPECT_EQ(_AbrePorta("COM9", 1, one), 2u);
    EXPECT_EQ(_FechaPorta(), 1u);
    linktest::PtyLine line("COM1");
    const std::uint16_t many[33] = {};
    EXPECT_EQ(_AbrePorta("COM1", 0, one), 87u);
    EXPECT_EQ(_AbrePorta("COM1", 33, many), 87u);
    EXPECT_EQ(_AbrePorta("COM1", 1, nullptr), 87u);
    EXPECT_EQ(_AbrePorta(nullptr, 1, one), 87u);
    EXPECT_EQ(_FechaPorta(), 1u);
}

TEST_F(OpenPort, DeviceIsHeldExclusively) {
    const std::uint16_t one[1] = {5};
    plat::SerialHandle other = plat::kNoSerial;
    ASSERT_EQ(plat::SerialOpen("COM1", &other), 0u);
    EXPECT_EQ(_AbrePorta("COM1", 1, one), 5u);
    EXPECT_EQ(_FechaPorta(), 1u);
    plat::SerialClose(other);

    ASSERT_EQ(_AbrePorta("COM1", 1, one), 0u);
    EXPECT_EQ(plat::SerialOpen("COM1", &other), 5u);
    // A second open over the running one is refused; the first goes on.
    EXPECT_EQ(_AbrePorta("COM1", 1, one), 170u);
    EXPECT_EQ(_FechaPorta(), 0u);
    EXPECT_EQ(_FechaPorta(), 1u);
    // Closed means released: open again, as the manager does after errors.
    ASSERT_EQ(_AbrePorta("COM1", 1, one), 0u);
    EXPECT_EQ(_FechaPorta(), 0u);
}

TEST_F(OpenPort, RequestIsDeliveredOnceAndItsAnswerGoesOutStuffed) {
    linktest::RawPeer peer(line.master());
    peer.Queue(5, kRequest14);
    const std::uint16_t one[1] = {5};
    ASSERT_EQ(_AbrePorta("COM1", 1, one), 0u);

    Delivered d;
    ASSERT_EQ(Read(d, 10000), 0u);
    EXPECT_EQ(d.address, 5);
    EXPECT_EQ(d.code, 0x0C);
    ASSERT_EQ(d.length, 2);
    EXPECT_EQ(d.data[0], 0x31);
    EXPECT_EQ(d.data[1], 0x32);
    // Never twice, and nothing waits with a zero time-out.
    Delivered again;
    EXPECT_EQ(Read(again, 0), 1u);
    EXPECT_EQ(again.length, -1);

    const std::uint8_t answer[3] = {0x41, 0x10, 0x42};
    ASSERT_EQ(_EscrevePorta(5, answer, 0x11, 3), 0u);
    EXPECT_EQ(serilo::g_port.transmitLength, 16);
    const int at = peer.WaitFor(0, 0x11, 5, 10000);
    ASSERT_GE(at, 0);
    auto frames = peer.Frames();
    EXPECT_EQ(Hex(frames[at].raw), "10 02 00 05 00 01 11 00 03 41 10 10 42 10 03 1D");
    // Before it: the poll and the ACK, byte for byte.
    ASSERT_GE(at, 2);
    EXPECT_EQ(Hex(frames[at - 2].raw), "10 02 00 05 00 01 01 00 00 10 03 D3");
    EXPECT_EQ(Hex(frames[at - 1].raw), "10 02 00 05 00 01 08 00 00 10 03 CC");
    EXPECT_EQ(Read(again, 0), 1u);
}

TEST_F(OpenPort, ZeroTimeoutTakesARequestThatWaits) {
    linktest::RawPeer peer(line.master());
    std::vector<std::uint8_t> stray = kRequest14;
    stray.insert(stray.begin(), 0xAA); // one stray byte before the frame
    peer.Queue(5, stray);
    const std::uint16_t one[1] = {5};
    ASSERT_EQ(_AbrePorta("COM1", 1, one), 0u);
    ASSERT_GE(peer.WaitFor(0, 0x08, 5, 10000), 0);
    Delivered d;
    ASSERT_EQ(Read(d, 0), 0u);
    EXPECT_EQ(d.address, 5);
    EXPECT_EQ(d.code, 0x0C);
    EXPECT_EQ(d.length, 2);
}

TEST_F(OpenPort, EscrevePortaRefusesWhatWouldNotFitAndWaitsForTheBuffer) {
    const std::uint16_t one[1] = {5};
    ASSERT_EQ(_AbrePorta("COM1", 1, one), 0u);
    std::vector<std::uint8_t> dles(2044, 0x10);
    EXPECT_EQ(_EscrevePorta(5, dles.data(), 2, 2044), 87u);
    EXPECT_EQ(_EscrevePorta(5, nullptr, 2, 1), 87u);
    // No request was acknowledged, so nobody takes the answer: the first
    // hand-over fills the buffer, the second finds it busy.
    EXPECT_EQ(_EscrevePorta(5, dles.data(), 2, 2043), 0u);
    EXPECT_EQ(serilo::g_port.transmitLength, 4098);
    const std::uint8_t one_byte[1] = {0x41};
    EXPECT_EQ(_EscrevePorta(5, one_byte, 0x0F, 1), 1u);
    EXPECT_EQ(serilo::g_port.transmitLength, 4098);
}

TEST_F(OpenPort, AccessViolationInLePortaLogsWithTheClockAndExits1) {
    plat::SetTestLocalTime(plat::LocalTime{2005, 7, 1, 5, 16, 43, 16, 0});
    GTEST_FLAG_SET(death_test_style, "fast"); // the child writes in this directory
    EXPECT_EXIT(
        {
            linktest::RawPeer peer(line.master());
            peer.Queue(5, kRequest14);
            const std::uint16_t one[1] = {5};
            if (_AbrePorta("COM1", 1, one) != 0) std::_Exit(3);
            if (peer.WaitFor(0, 0x08, 5, 10000) < 0) std::_Exit(4);
            std::uint16_t address = 0;
            std::uint8_t code = 0;
            std::int16_t length = 0;
            _LePorta(&address, linktest::UnmappedPage(), &code, &length, 0);
            std::_Exit(5);
        },
        ::testing::ExitedWithCode(1),
        "Dravo.dll: Excecao Fatal: Excecao n\xC2\xBA"
        "1 em LePorta");
    plat::ClearTestLocalTime();
    EXPECT_EQ(dir.Read("excecoes.txt"), "Excecao n\xBA"
                                        "1 em LePorta - Mon Jul 05 16:43:16 2005\r\n");
}
