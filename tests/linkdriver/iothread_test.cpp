// The poll cycle against terminals on a pseudo-terminal: what is delivered,
// what is refused with a NACK, answer series, polling order, closing during
// an answer wait, line errors through the serial layer's seam, and a line
// whose other side goes away.
#include "linkdriver/serilo.h"

#include "linkdriver/portstate.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/serial.h"
#include "platform/ui.h"
#include "tools/talvoterm/terminal.h"

#include "tests/linkdriver/line_fixture.h"

#include <gtest/gtest.h>

#include <array>
#include <chrono>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

namespace {

using linktest::Hex;
using talvoterm::Exchange;
using talvoterm::Expect;
using talvoterm::Fault;
using talvoterm::Reply;
using talvoterm::Request;

struct Delivered {
    std::uint16_t address = 0;
    std::array<std::uint8_t, 298> data{};
    std::uint8_t code = 0;
    std::int16_t length = -1;
    std::vector<std::uint8_t> Data() const { return {data.begin(), data.begin() + length}; }
};

std::uint32_t Read(Delivered& d, std::uint32_t timeout) {
    return _LePorta(&d.address, d.data.data(), &d.code, &d.length, timeout);
}

std::int64_t NowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// A raw request frame from terminal `source`, as the terminal sends it,
// with its checksum over the bytes given (doubled 0x10 as they stand).
std::vector<std::uint8_t> RawFrame(std::vector<std::uint8_t> body) {
    body.push_back(talvoterm::CheckSum(body));
    return body;
}

class Link : public ::testing::Test {
  protected:
    linktest::ScratchDir dir;
    linktest::PtyLine line{"COM1"};
    talvoterm::Terminal term;

    void Open(std::vector<std::uint16_t> addresses) {
        ASSERT_EQ(term.start(line.master(), addresses), 0);
        ASSERT_EQ(_AbrePorta("COM1", std::uint16_t(addresses.size()), addresses.data()), 0u);
    }
    void TearDown() override {
        _FechaPorta();
        term.stop();
    }
    // Submits a request and expects it delivered as it was sent.
    void ExpectDelivered(const Request& r, Delivered& d) {
        term.submit(r, Expect::answer);
        ASSERT_EQ(Read(d, 10000), 0u);
        EXPECT_EQ(d.address, r.address);
        EXPECT_EQ(d.code, r.code);
        EXPECT_EQ(d.Data(), r.data);
    }
    // Submits a request the PC must refuse, and checks nothing is delivered.
    void ExpectRefused(const Request& r) {
        const std::uint64_t id = term.submit(r, Expect::nack);
        Exchange ex;
        ASSERT_EQ(term.wait(id, ex, 10000), 0);
        EXPECT_EQ(ex.reply, Reply::nack) << ex.note;
        EXPECT_EQ(Hex(ex.reply_frame.raw), "10 02 00 05 00 01 07 00 00 10 03 CD");
        Delivered d;
        EXPECT_EQ(Read(d, 0), 1u);
    }
};

class RawLink : public ::testing::Test {
  protected:
    linktest::ScratchDir dir;
    linktest::PtyLine line{"COM1"};
    void TearDown() override { _FechaPorta(); }
};

} // namespace

TEST_F(RawLink, StuffedAndUnstuffedDataBytes) {
    linktest::RawPeer peer(line.master());
    // A doubled 0x10 is stored once; the checksum 84 covers it once.
    peer.Queue(5, {0x10, 0x02, 0x00, 0x01, 0x00, 0x05, 0x0C, 0x00, 0x02, 0x10, 0x10, 0x32, 0x10,
                   0x03, 0x84});
    // 0x10 followed by another byte: both kept and counted.
    peer.Queue(5, RawFrame({0x10, 0x02, 0x00, 0x01, 0x00, 0x05, 0x0C, 0x00, 0x02, 0x10, 0x41, 0x10,
                            0x03}));
    // The same with the length field counting only one byte: refused.
    peer.Queue(5, RawFrame({0x10, 0x02, 0x00, 0x01, 0x00, 0x05, 0x0C, 0x00, 0x01, 0x10, 0x41, 0x10,
                            0x03}));
    const std::uint16_t one[1] = {5};
    ASSERT_EQ(_AbrePorta("COM1", 1, one), 0u);
    Delivered d;
    ASSERT_EQ(Read(d, 10000), 0u);
    EXPECT_EQ(Hex(d.Data()), "10 32");
    const std::uint8_t done = 0x31;
    ASSERT_EQ(_EscrevePorta(5, &done, 0x0F, 1), 0u);
    ASSERT_EQ(Read(d, 10000), 0u);
    EXPECT_EQ(Hex(d.Data()), "10 41");
    ASSERT_EQ(_EscrevePorta(5, &done, 0x0F, 1), 0u);
    // The third: a NACK after the second answer, and no third answer.
    const int answer1 = peer.WaitFor(0, 0x0F, 5, 10000);
    ASSERT_GE(answer1, 0);
    const int answer2 = peer.WaitFor(std::size_t(answer1) + 1, 0x0F, 5, 10000);
    ASSERT_GE(answer2, 0);
    const int answer3 = peer.WaitFor(std::size_t(answer2) + 1, 0x0F, 5, 500);
    const int nack = peer.WaitFor(std::size_t(answer2) + 1, 0x07, 5, 10000);
    EXPECT_GE(nack, 0);
    EXPECT_LT(answer3, 0);
    EXPECT_EQ(Read(d, 0), 1u);
}

TEST_F(RawLink, HeaderFoundAfterMissingOrStrayLeadingBytes) {
    linktest::RawPeer peer(line.master());
    const std::vector<std::uint8_t> full = {0x10, 0x02, 0x00, 0x01, 0x00, 0x05, 0x0C,
                                            0x00, 0x02, 0x31, 0x32, 0x10, 0x03, 0x63};
    // One stray byte; then 10, 10 02, 10 02 00 left out (the header analysis
    // finds the frame again each time).
    std::vector<std::uint8_t> stray = full;
    stray.insert(stray.begin(), 0x55);
    peer.Queue(5, stray);
    for (int missing = 1; missing <= 3; ++missing)
        peer.Queue(5, {full.begin() + missing, full.end()});
    const std::uint16_t one[1] = {5};
    ASSERT_EQ(_AbrePorta("COM1", 1, one), 0u);
    for (int i = 0; i < 4; ++i) {
        Delivered d;
        ASSERT_EQ(Read(d, 10000), 0u) << "request " << i;
        EXPECT_EQ(d.address, 5);
        EXPECT_EQ(d.code, 0x0C);
        EXPECT_EQ(Hex(d.Data()), "31 32");
        const std::uint8_t done = 0x31;
        ASSERT_EQ(_EscrevePorta(5, &done, 0x0F, 1), 0u);
    }
}

TEST_F(RawLink, SilentTerminalGetsNothingBackAndIsPolledAgain) {
    linktest::RawPeer peer(line.master());
    // Four bytes, then silence: stopped within header 1, no NACK.
    peer.Queue(5, {0x10, 0x02, 0x00, 0x01});
    const std::uint16_t one[1] = {5};
    ASSERT_EQ(_AbrePorta("COM1", 1, one), 0u);
    auto frames = peer.WaitFrames(4, 10000);
    ASSERT_GE(frames.size(), 4u);
    for (std::size_t i = 0; i < 4; ++i)
        EXPECT_EQ(Hex(frames[i].raw), "10 02 00 05 00 01 01 00 00 10 03 D3") << i;
    // DTR is up for the whole time the port is open; RTS is down between polls.
    EXPECT_EQ(plat::SerialTestModemLines() & 1u, 1u);
}

TEST_F(Link, RequestsAreDeliveredAsSent) {
    Open({5});
    Delivered d;
    ExpectDelivered({5, 0x0C, {'1', '2'}}, d);
    const std::uint8_t done = 15;
    ASSERT_EQ(_EscrevePorta(5, &done, 15, 1), 0u);
    // Longest data area accepted: 298 bytes, some of them 0x10.
    std::vector<std::uint8_t> big(298, 'A');
    big[0] = big[100] = big[297] = 0x10;
    ExpectDelivered({5, 50, big}, d);
    ASSERT_EQ(_EscrevePorta(5, &done, 15, 1), 0u);
    ExpectDelivered({5, 1, {}}, d);
    ASSERT_EQ(_EscrevePorta(5, &done, 15, 1), 0u);
}

TEST_F(Link, BrokenOrForeignAnswersAreRefusedWithNack) {
    Open({5});
    ExpectRefused({5, 0x0C, {'1', '2'}, Fault::bad_source, 0});
    ExpectRefused({5, 0, {'1'}});
    ExpectRefused({5, 51, {'1'}});
    ExpectRefused({5, 0x0C, {'1', '2'}, Fault::bad_length, 0});
    ExpectRefused({5, 0x0C, {'1', '2'}, Fault::bad_checksum, 0});
    ExpectRefused({5, 0x0C, std::vector<std::uint8_t>(299, 'X')});
    ExpectRefused({5, 0x0C, {'1', '2'}, Fault::pause_header, 0});
    ExpectRefused({5, 0x0C, {'1', '2'}, Fault::pause_data, 0});
    // Afterwards a good request goes through.
    Delivered d;
    ExpectDelivered({5, 0x0C, {'3'}}, d);
}

TEST_F(Link, Code9IsNeitherAcknowledgedNorDelivered) {
    Open({5, 6});
    const std::uint64_t id = term.submit({5, 9, {'1'}}, Expect::none);
    Exchange ex;
    ASSERT_EQ(term.wait(id, ex, 10000), 0);
    EXPECT_EQ(ex.reply, Reply::none);
    Delivered d;
    EXPECT_EQ(Read(d, 300), 1u);
    // The next terminal was polled at once: the frame after the request is
    // the poll to 6.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    auto log = term.take_line_log();
    bool seen = false;
    for (std::size_t i = 0; i + 1 < log.size(); ++i) {
        if (log[i].dest == 5 && log[i].code == 1 && log[i].raw.size() == 12) {
            // Find the poll of 5 that released the code-9 request: its next
            // frame from the PC goes to terminal 6.
            if (log[i + 1].dest == 6 && log[i + 1].code == 1) seen = true;
            EXPECT_NE(log[i + 1].code, 8);
            EXPECT_NE(log[i + 1].code, 7);
        }
    }
    EXPECT_TRUE(seen);
}

TEST_F(Link, SeriesForCode2EndsAtCode3) {
    Open({5});
    const std::uint64_t id = term.submit({5, 2, {'A', 'P', 'P'}}, Expect::answer);
    Delivered d;
    ASSERT_EQ(Read(d, 10000), 0u);
    ASSERT_EQ(d.code, 2);
    const std::uint8_t block1[2] = {0x10, 0x01};
    const std::uint8_t block2[1] = {0x02};
    ASSERT_EQ(_EscrevePorta(5, block1, 2, 2), 0u);
    ASSERT_EQ(_EscrevePorta(5, block2, 2, 1), 0u);
    ASSERT_EQ(_EscrevePorta(5, nullptr, 3, 0), 0u);
    Exchange ex;
    ASSERT_EQ(term.wait(id, ex, 15000), 0);
    EXPECT_TRUE(ex.ok) << ex.note;
    ASSERT_EQ(ex.answers.size(), 3u);
    EXPECT_EQ(Hex(ex.answers[0].raw), "10 02 00 05 00 01 02 00 02 10 10 01 10 03 AF");
    EXPECT_EQ(ex.answers[2].code, 3);
    EXPECT_TRUE(ex.series_complete);
}

TEST_F(Link, SeriesForCode5EndsAfterFiveSecondsWithoutAFrame) {
    Open({5});
    const std::uint64_t id = term.submit({5, 5, {'X'}}, Expect::answer);
    Delivered d;
    ASSERT_EQ(Read(d, 10000), 0u);
    const std::uint8_t block[1] = {0x01};
    ASSERT_EQ(_EscrevePorta(5, block, 2, 1), 0u);
    const std::int64_t handed = NowMs();
    Exchange ex;
    ASSERT_EQ(term.wait(id, ex, 20000), 0);
    EXPECT_EQ(ex.answers.size(), 1u);
    EXPECT_FALSE(ex.series_complete);
    // The PC polled again only once its 5 s wait for the next frame ran out.
    auto log = term.take_line_log();
    std::int64_t nextPoll = 0;
    for (auto& f : log)
        if (f.code == 1 && f.steady_ms > ex.answers[0].steady_ms) {
            nextPoll = f.steady_ms;
            break;
        }
    ASSERT_NE(nextPoll, 0);
    EXPECT_GE(nextPoll - handed, 4900);
    // The buffer is free again for the next request's answer.
    ASSERT_EQ(_EscrevePorta(5, block, 15, 1), 0u);
}

TEST_F(Link, SecondAnswerWaitsForTheNextAckAndIsThenDropped) {
    Open({5});
    Delivered d;
    ExpectDelivered({5, 0x0C, {'1'}}, d);
    const std::uint8_t first[1] = {'F'};
    const std::uint8_t second[1] = {'S'};
    ASSERT_EQ(_EscrevePorta(5, first, 0x0F, 1), 0u);
    // Wait until the first answer has gone out, then hand a second one over.
    for (int i = 0; i < 100 && !plat::EventIsSet(&serilo::g_port.transmitFree); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(_EscrevePorta(5, second, 0x0E, 1), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));

    // The next request's ACK drops it; that request's own answer finds the
    // buffer still taken until the PC has waited out its answer.
    const std::uint64_t id = term.submit({5, 0x0C, {'2'}}, Expect::answer);
    ASSERT_EQ(Read(d, 10000), 0u);
    const std::uint8_t third[1] = {'T'};
    EXPECT_EQ(_EscrevePorta(5, third, 0x0F, 1), 1u);
    Exchange ex;
    ASSERT_EQ(term.wait(id, ex, 20000), 0);
    EXPECT_EQ(ex.reply, Reply::ack);
    EXPECT_TRUE(ex.answers.empty());
    for (auto& f : term.take_line_log()) EXPECT_NE(f.code, 0x0E) << "dropped answer was sent";
    ASSERT_EQ(_EscrevePorta(5, third, 0x0F, 1), 0u);
}

TEST_F(Link, RequestNotFetchedBeforeTheNextPollIsLost) {
    Open({5});
    const std::uint64_t id = term.submit({5, 0x0C, {'1'}}, Expect::answer);
    Exchange ex;
    ASSERT_EQ(term.wait(id, ex, 20000), 0); // ACK, then the PC gave up the answer
    EXPECT_EQ(ex.reply, Reply::ack);
    // One more poll after that.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    Delivered d;
    EXPECT_EQ(Read(d, 0), 1u);
}

TEST_F(Link, SeveralTerminalsArePolledStrictlyInListOrder) {
    Open({3, 7, 5});
    Delivered d;
    ExpectDelivered({7, 0x0C, {'1'}}, d);
    const std::uint8_t done = 15;
    ASSERT_EQ(_EscrevePorta(7, &done, 15, 1), 0u);
    term.submit({3, 0x0C, {'2'}, Fault::bad_checksum, 0}, Expect::nack);
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    std::vector<std::uint16_t> polled;
    for (auto& f : term.take_line_log())
        if (f.code == 1) polled.push_back(f.dest);
    ASSERT_GE(polled.size(), 9u);
    const std::uint16_t order[3] = {3, 7, 5};
    for (std::size_t i = 0; i < polled.size(); ++i)
        ASSERT_EQ(polled[i], order[i % 3]) << "poll " << i;
}

TEST_F(Link, CloseDuringAnAnswerWaitEndsWithinFiveSeconds) {
    Open({5});
    term.submit({5, 0x0C, {'1'}}, Expect::answer);
    Delivered d;
    ASSERT_EQ(Read(d, 10000), 0u);
    const std::int64_t start = NowMs();
    EXPECT_EQ(_FechaPorta(), 0u);
    const std::int64_t took = NowMs() - start;
    EXPECT_LT(took, 12000); // the answer wait (5 s) plus ample slack, far below 15 s
    EXPECT_EQ(dir.Read("excecoes.txt"), "");
    EXPECT_EQ(_CommError(), 0u);
    // Released: it opens again.
    const std::uint16_t one[1] = {5};
    EXPECT_EQ(_AbrePorta("COM1", 1, one), 0u);
}

// A noisy line (breaks and framing errors on every read for four seconds):
// counted and logged, merged to about one CommErrors.txt entry a second with
// the count, the line held low said once, the settings applied again; the
// port is never closed for it (the manager's error flag stays down) and the
// link goes on.
TEST_F(Link, NoisyLineIsLoggedMergedAndNeverClosesThePort) {
    Open({5});
    const std::uint32_t appliedBefore = plat::SerialTestSettingsApplied();
    const std::int64_t start = NowMs();
    std::uint32_t flagged = 0;
    while (NowMs() - start < 4000) {
        plat::SerialTestInjectLineErrors(plat::kCeBreak | plat::kCeFrame);
        flagged |= _CommError();
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(flagged, 0u);
    EXPECT_GT(plat::SerialTestSettingsApplied(), appliedBefore);
    Delivered d;
    ExpectDelivered({5, 0x0C, {'1'}}, d);
    ASSERT_EQ(_FechaPorta(), 0u); // the writer writes what waits
    const std::string log = dir.Read("CommErrors.txt");
    EXPECT_EQ(log.rfind("Terminal: 00005 - ", 0), 0u) << log;
    std::size_t entries = 0, counted = 0;
    for (std::size_t at = log.find("Terminal: "); at != std::string::npos;
         at = log.find("Terminal: ", at + 1))
        ++entries;
    for (std::size_t at = log.find("Repeticoes: "); at != std::string::npos;
         at = log.find("Repeticoes: ", at + 1))
        counted += std::stoul(log.substr(at + 12));
    EXPECT_GE(entries, 2u) << log;
    EXPECT_LE(entries, 8u) << log;
    EXPECT_GT(counted, 20u) << log;
    EXPECT_NE(log.find("Codigo: 24\r\nCE_BREAK\r\nCE_FRAME\r\n"), std::string::npos) << log;
    const std::string exceptions = dir.Read("excecoes.txt");
    EXPECT_EQ(exceptions.find("Linha presa em nivel baixo"),
              exceptions.rfind("Linha presa em nivel baixo"));
    EXPECT_NE(exceptions.find("Linha presa em nivel baixo"), std::string::npos) << exceptions;
}

TEST_F(RawLink, ThreadThatOutlivesTheCloseWaitKeepsTheLineUntilItEnds) {
    plat::SetTestLocalTime(plat::LocalTime{2005, 7, 1, 5, 16, 43, 16, 0});
    plat::StartRecordingBoxes();
    linktest::RawPeer peer(line.master());
    const std::uint16_t one[1] = {5};
    ASSERT_EQ(_AbrePorta("COM1", 1, one), 0u);
    ASSERT_GE(peer.WaitFor(0, 0x01, 5, 10000), 0);
    // The thread hangs in its next read of header 1.
    plat::SerialTestHoldReads(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::int64_t start = NowMs();
    EXPECT_EQ(_FechaPorta(), 0u);
    EXPECT_GE(NowMs() - start, 14900);
    EXPECT_EQ(dir.Read("excecoes.txt"),
              "IOThread nao respondeu apos 15s ao evento de finalizacao na leitura do header 1 - "
              "Mon Jul 05 16:43:16 2005\r\n");
    EXPECT_EQ(plat::RecordedBoxCount(), 0);
    // The line is still the thread's: no new open over it.
    EXPECT_EQ(_AbrePorta("COM1", 1, one), 170u);
    const std::size_t framesAtClose = peer.Frames().size();
    plat::SerialTestHoldReads(false);
    for (int i = 0; i < 200 && serilo::g_port.lineOwner.load() != serilo::kThreadEnded; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    ASSERT_EQ(serilo::g_port.lineOwner.load(), serilo::kThreadEnded);
    // It ended at its next cycle start without polling again, and let the
    // line go: the port opens again.
    EXPECT_EQ(peer.Frames().size(), framesAtClose);
    EXPECT_EQ(_AbrePorta("COM1", 1, one), 0u);
    EXPECT_EQ(_FechaPorta(), 0u);
    plat::StopRecordingBoxes();
    plat::ClearTestLocalTime();
}

TEST_F(RawLink, HeaderAnalysisOfTheLastTwoRows) {
    linktest::RawPeer peer(line.master());
    // Terminal 0x1234 leaves out 10 02 00 and garbles the 01: its second
    // byte is the high byte of its address, so the header is found.
    const std::vector<std::uint8_t> stored = {0x10, 0x02, 0x00, 0x01, 0x12, 0x34,
                                              0x0C, 0x00, 0x01, 0x41, 0x10, 0x03};
    peer.Queue(0x1234,
               {0x77, 0x12, 0x34, 0x0C, 0x00, 0x01, 0x41, 0x10, 0x03, talvoterm::CheckSum(stored)});
    // Terminal 5 leaves out 10 02 00 01: nothing matches, the five bytes are
    // taken as bytes 4 to 8 and one more read is spent on byte 9, which the
    // data area overwrites: the first data byte is lost, so the checksum
    // (and after it the length field) no longer fits and the frame is refused.
    peer.Queue(5, {0x00, 0x05, 0x0C, 0x00, 0x02, 0x31, 0x32, 0x10, 0x03, 0x63});
    const std::uint16_t two[2] = {0x1234, 5};
    ASSERT_EQ(_AbrePorta("COM1", 2, two), 0u);
    Delivered d;
    ASSERT_EQ(Read(d, 10000), 0u);
    EXPECT_EQ(d.address, 0x1234);
    EXPECT_EQ(d.code, 0x0C);
    EXPECT_EQ(Hex(d.Data()), "41");
    const std::uint8_t done = 0x31;
    ASSERT_EQ(_EscrevePorta(0x1234, &done, 0x0F, 1), 0u);
    EXPECT_GE(peer.WaitFor(0, 0x07, 5, 10000), 0);
    EXPECT_EQ(Read(d, 0), 1u);
    for (auto& f : peer.Frames()) EXPECT_FALSE(f.code == 0x08 && f.dest == 5);
}

TEST_F(RawLink, DataAreaOfPairsBeyond298BytesIsRefused) {
    linktest::RawPeer peer(line.master());
    // Pairs 10 41 are two data bytes per pass: 150 pairs are 300 bytes in
    // 150 passes, inside the pass limit, with a matching length field.
    auto pairs = [](int count) {
        std::vector<std::uint8_t> f = {0x10,
                                       0x02,
                                       0x00,
                                       0x01,
                                       0x00,
                                       0x05,
                                       0x0C,
                                       std::uint8_t((count * 2) >> 8),
                                       std::uint8_t(count * 2)};
        for (int i = 0; i < count; ++i) {
            f.push_back(0x10);
            f.push_back(0x41);
        }
        f.push_back(0x10);
        f.push_back(0x03);
        return RawFrame(f);
    };
    peer.Queue(5, pairs(150));
    peer.Queue(5, pairs(149));
    const std::uint16_t one[1] = {5};
    ASSERT_EQ(_AbrePorta("COM1", 1, one), 0u);
    Delivered d;
    ASSERT_EQ(Read(d, 10000), 0u);
    EXPECT_EQ(d.length, 298);
    EXPECT_EQ(d.data[0], 0x10);
    EXPECT_EQ(d.data[297], 0x41);
    const int nack = peer.WaitFor(0, 0x07, 5, 1000);
    const int ack = peer.WaitFor(0, 0x08, 5, 1000);
    ASSERT_GE(nack, 0);
    EXPECT_LT(nack, ack); // the 300-byte one was refused first
}

TEST_F(RawLink, AnswersCutOffAtTheirEndAreRefused) {
    linktest::RawPeer peer(line.master());
    // The checksum never comes.
    peer.Queue(5, {0x10, 0x02, 0x00, 0x01, 0x00, 0x05, 0x0C, 0x00, 0x02, 0x31, 0x32, 0x10, 0x03});
    // A 0x10 in the data area, then silence.
    peer.Queue(5, {0x10, 0x02, 0x00, 0x01, 0x00, 0x05, 0x0C, 0x00, 0x02, 0x31, 0x10});
    // Then a good one goes through.
    peer.Queue(
        5, {0x10, 0x02, 0x00, 0x01, 0x00, 0x05, 0x0C, 0x00, 0x02, 0x31, 0x32, 0x10, 0x03, 0x63});
    const std::uint16_t one[1] = {5};
    ASSERT_EQ(_AbrePorta("COM1", 1, one), 0u);
    Delivered d;
    ASSERT_EQ(Read(d, 10000), 0u);
    EXPECT_EQ(Hex(d.Data()), "31 32");
    const std::uint8_t done = 0x31;
    ASSERT_EQ(_EscrevePorta(5, &done, 0x0F, 1), 0u);
    // Two NACKs before the one ACK, each right after its cut-off answer.
    ASSERT_GE(peer.WaitFor(0, 0x08, 5, 10000), 0);
    const auto frames = peer.Frames();
    std::vector<std::uint8_t> codes;
    for (auto& f : frames)
        if (f.code != 0x01) codes.push_back(f.code);
    ASSERT_GE(codes.size(), 3u);
    EXPECT_EQ(codes[0], 0x07);
    EXPECT_EQ(codes[1], 0x07);
    EXPECT_EQ(codes[2], 0x08);
    for (std::size_t i = 1; i < frames.size(); ++i) {
        if (frames[i].code == 0x07) {
            EXPECT_EQ(frames[i - 1].code, 0x01);
        }
    }
}

TEST_F(RawLink, DataAreaWithoutAnEndIsCutAndTheRestDropped) {
    linktest::RawPeer peer(line.master());
    // A header and 400 data bytes, no end. The PC stops reading once more
    // than 298 data bytes are stored and refuses the frame; the bytes left
    // over are dropped (the line drained until quiet, the input flushed
    // before the next poll), so they are never read as the next answer.
    std::vector<std::uint8_t> flood = {0x10, 0x02, 0x00, 0x01, 0x00, 0x05, 0x0C, 0x01, 0x90};
    flood.insert(flood.end(), 400, 0x41);
    peer.Queue(5, flood);
    const std::uint16_t one[1] = {5};
    ASSERT_EQ(_AbrePorta("COM1", 1, one), 0u);
    const int first = peer.WaitFor(0, 0x07, 5, 10000);
    ASSERT_GE(first, 0);
    // Then the terminal is silent: polls only.
    peer.WaitFrames(std::size_t(first) + 6, 10000);
    const auto frames = peer.Frames();
    ASSERT_GE(frames.size(), std::size_t(first) + 6);
    for (std::size_t i = std::size_t(first) + 1; i < frames.size(); ++i)
        EXPECT_EQ(frames[i].code, 0x01) << i;
    Delivered d;
    EXPECT_EQ(Read(d, 0), 1u);
}

TEST_F(RawLink, RtsIsUpOnlyWhileThePcListens) {
    linktest::RawPeer peer(line.master());
    peer.Queue(
        5, {0x10, 0x02, 0x00, 0x01, 0x00, 0x05, 0x0C, 0x00, 0x02, 0x31, 0x32, 0x10, 0x03, 0x63});
    const std::uint16_t one[1] = {5};
    ASSERT_EQ(_AbrePorta("COM1", 1, one), 0u);
    Delivered d;
    ASSERT_EQ(Read(d, 10000), 0u);
    // The request is in: RTS went down after its checksum, so the ACK and
    // the answer can go out; DTR stays up.
    EXPECT_EQ(plat::SerialTestModemLines(), 1u);
    const std::uint8_t done = 0x31;
    ASSERT_EQ(_EscrevePorta(5, &done, 0x0F, 1), 0u);
    const int answer = peer.WaitFor(0, 0x0F, 5, 10000);
    ASSERT_GE(answer, 0);
    // After the next poll the PC listens: the thread is held in its first
    // read of header 1 with RTS up.
    ASSERT_GE(peer.WaitFor(std::size_t(answer) + 1, 0x01, 5, 10000), 0);
    plat::SerialTestHoldReads(true);
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    const std::uint32_t listening = plat::SerialTestModemLines();
    plat::SerialTestHoldReads(false);
    EXPECT_EQ(listening, 3u);
}

// The other side of the line closes: the loss is logged once (one CE_IOE
// entry, the error flag once), reads report its cause after their wait, the
// thread sleeps meanwhile; once closed, the name opens again as soon as a
// new line is published under it.
TEST_F(Link, LostLineIsReportedOnceAndItsNameOpensAgain) {
    Open({5});
    Delivered d;
    const std::uint8_t done = 15;
    ExpectDelivered({5, 0x0C, {'1'}}, d);
    ASSERT_EQ(_EscrevePorta(5, &done, 15, 1), 0u);
    term.stop();
    // The other side closes; the name stays, leading nowhere (as the
    // by-id link of an unplugged adapter does).
    ::close(line.pair.master);
    line.pair.master = -1;

    std::uint32_t flagged = 0;
    for (int i = 0; i < 200 && flagged == 0; ++i) {
        flagged = _CommError();
        if (flagged == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    EXPECT_EQ(flagged, 1u);
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    const std::int64_t start = NowMs();
    EXPECT_EQ(Read(d, 1500), plat::kErrDeviceNotConnected);
    EXPECT_GE(NowMs() - start, 1400);
    EXPECT_EQ(Read(d, 0), plat::kErrDeviceNotConnected);
    rusage after{};
    getrusage(RUSAGE_SELF, &after);
    const auto cpuMs = [](const rusage& r) {
        return std::int64_t(r.ru_utime.tv_sec + r.ru_stime.tv_sec) * 1000 +
               (r.ru_utime.tv_usec + r.ru_stime.tv_usec) / 1000;
    };
    EXPECT_LT(cpuMs(after) - cpuMs(before), 300);
    EXPECT_EQ(_CommError(), 0u);
    const std::string log = dir.Read("CommErrors.txt");
    EXPECT_EQ(log.rfind("Terminal: 00005 - ", 0), 0u) << log;
    EXPECT_EQ(log.substr(44), "Codigo: 1024\r\nCE_IOE\r\n");

    EXPECT_EQ(_FechaPorta(), 0u);
    const std::uint16_t one[1] = {5};
    EXPECT_EQ(_AbrePorta("COM1", 1, one), plat::kErrFileNotFound);
    linktest::PtyLine again{"COM1"};
    ASSERT_EQ(term.start(again.master(), std::vector<std::uint16_t>{5}), 0);
    ASSERT_EQ(_AbrePorta("COM1", 1, one), 0u);
    ExpectDelivered({5, 0x0C, {'2'}}, d);
    ASSERT_EQ(_EscrevePorta(5, &done, 15, 1), 0u);
    EXPECT_EQ(_FechaPorta(), 0u);
    term.stop();
    EXPECT_EQ(dir.Read("CommErrors.txt"), log);
}
