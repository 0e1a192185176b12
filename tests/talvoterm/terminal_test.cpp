// The terminal's line thread through a real pseudo-terminal pair, the test
// playing the PC: silence without requests, the request frame on a poll,
// ACK / NACK and answers, series up to code 3, code 9, the pause faults,
// stale polls, several addresses, and stopping mid-exchange.
#include "platform/pty.h"
#include "tests/talvoterm/fake_pc.h"
#include "tools/talvoterm/terminal.h"

#include <gtest/gtest.h>

namespace talvoterm {
namespace {

using testing::Bytes;
using testing::FakePc;
using testing::PcFrame;

Bytes RequestBytes(std::uint16_t a, std::uint8_t code, const Bytes& data, Fault fault = Fault::none,
                   int arg = 0) {
    Outgoing out;
    BuildRequest(a, code, data, fault, arg, out);
    return out.bytes;
}

class TerminalLine : public ::testing::Test {
  protected:
    void SetUp() override { ASSERT_EQ(platform::pty_create(pty_, nullptr), 0); }
    void TearDown() override {
        term_.stop();
        platform::pty_release(pty_);
    }
    void start(std::vector<std::uint16_t> addresses, TerminalOptions opt = TerminalOptions()) {
        ASSERT_EQ(term_.start(pty_.master, addresses, opt), 0);
    }
    std::uint64_t submit(std::uint16_t a, std::uint8_t code, const Bytes& data,
                         Fault fault = Fault::none, int arg = 0) {
        Request r;
        r.address = a;
        r.code = code;
        r.data = data;
        r.fault = fault;
        r.fault_arg = arg;
        std::uint64_t id = term_.submit(r);
        EXPECT_NE(id, 0u);
        return id;
    }
    Exchange wait(std::uint64_t id) {
        Exchange ex;
        EXPECT_EQ(term_.wait(id, ex, 20000), 0);
        return ex;
    }

    platform::PtyPair pty_;
    Terminal term_;
    FakePc pc_{-1};
    FakePc& pc() {
        pc_ = FakePc(pty_.slave);
        return pc_;
    }
};

TEST_F(TerminalLine, SilentWithoutRequestAndAnswersPollWithTheQueuedOne) {
    start({5});
    ASSERT_TRUE(pc().poll(5));
    EXPECT_TRUE(pc().read_for(300).empty());

    std::uint64_t id = submit(5, 0x0C, {0x31, 0x32});
    EXPECT_EQ(term_.pending(), 1u);
    ASSERT_TRUE(pc().poll(5));
    Bytes req = pc().read_n(14);
    EXPECT_EQ(req, (Bytes{0x10, 0x02, 0x00, 0x01, 0x00, 0x05, 0x0C, 0x00, 0x02, 0x31, 0x32, 0x10,
                          0x03, 0x63}));
    ASSERT_TRUE(pc().ack(5));
    ASSERT_TRUE(pc().send(PcFrame(5, 15, {0x41, 0x10, 0x42})));
    Exchange ex = wait(id);
    EXPECT_TRUE(ex.ok) << ex.note;
    EXPECT_EQ(ex.reply, Reply::ack);
    EXPECT_EQ(ex.sent, req);
    ASSERT_EQ(ex.answers.size(), 1u);
    EXPECT_EQ(ex.answers[0].code, 15);
    EXPECT_EQ(ex.answers[0].data, (Bytes{0x41, 0x10, 0x42}));
    EXPECT_TRUE(ex.answers[0].valid());
    EXPECT_FALSE(ex.series);
    EXPECT_LE(ex.polled_steady_ms, ex.sent_steady_ms);
    EXPECT_LE(ex.sent_steady_ms, ex.done_steady_ms);
    EXPECT_EQ(term_.pending(), 0u);

    // The next poll finds nothing queued: silence again.
    ASSERT_TRUE(pc().poll(5));
    EXPECT_TRUE(pc().read_for(200).empty());

    std::vector<Frame> log = term_.take_line_log();
    ASSERT_EQ(log.size(), 5u);
    EXPECT_EQ(log[0].code, kCodePoll);
    EXPECT_EQ(log[2].code, kCodeAck);
    EXPECT_EQ(log[3].code, 15);
    EXPECT_TRUE(term_.take_line_log().empty());
    TerminalStats st = term_.stats();
    EXPECT_EQ(st.polls, 3u);
    EXPECT_EQ(st.frames, 5u);
    EXPECT_EQ(st.broken_frames, 0u);
}

TEST_F(TerminalLine, NackEndsTheExchangeAndMatchesTheExpectation) {
    start({5});
    std::uint64_t refused = submit(5, 0x0C, {0x31}, Fault::bad_checksum);
    std::uint64_t wrongly_refused = submit(5, 0x0C, {0x31});
    ASSERT_TRUE(pc().poll(5));
    Bytes sent = pc().read_n(13);
    EXPECT_EQ(sent, RequestBytes(5, 0x0C, {0x31}, Fault::bad_checksum));
    // Frames to the PC (an echo of the request on a two-wire line) do not
    // end the wait for the reply.
    ASSERT_TRUE(pc().send(sent));
    ASSERT_TRUE(pc().nack(5));
    Exchange ex = wait(refused);
    EXPECT_EQ(ex.expect, Expect::nack);
    EXPECT_EQ(ex.reply, Reply::nack);
    EXPECT_TRUE(ex.ok) << ex.note;

    ASSERT_TRUE(pc().poll(5));
    EXPECT_EQ(pc().read_n(13), RequestBytes(5, 0x0C, {0x31}));
    ASSERT_TRUE(pc().nack(5));
    ex = wait(wrongly_refused);
    EXPECT_EQ(ex.reply, Reply::nack);
    EXPECT_FALSE(ex.ok); // a good request deserves an answer
}

TEST_F(TerminalLine, SeriesCollectsAnswersUpToCodeThree) {
    start({5});
    std::uint64_t id = submit(5, 2, {'A', 'P', 'P'});
    ASSERT_TRUE(pc().poll(5));
    ASSERT_EQ(pc().read_n(15).size(), 15u);
    ASSERT_TRUE(pc().ack(5));
    ASSERT_TRUE(pc().send(PcFrame(5, 2, {1, 2})));
    ASSERT_TRUE(pc().send(PcFrame(5, 2, {0x10})));
    ASSERT_TRUE(pc().send(PcFrame(5, 3, {})));
    Exchange ex = wait(id);
    EXPECT_TRUE(ex.ok) << ex.note;
    EXPECT_TRUE(ex.series);
    EXPECT_TRUE(ex.series_complete);
    ASSERT_EQ(ex.answers.size(), 3u);
    EXPECT_EQ(ex.answers[1].data, (Bytes{0x10}));
    EXPECT_EQ(ex.answers[2].code, 3);

    // A series the PC gives up on: the next poll ends it, incomplete.
    id = submit(5, 5, {'X'});
    ASSERT_TRUE(pc().poll(5));
    ASSERT_EQ(pc().read_n(13).size(), 13u);
    ASSERT_TRUE(pc().ack(5));
    ASSERT_TRUE(pc().send(PcFrame(5, 5, {9})));
    ASSERT_TRUE(pc().poll(5));
    ex = wait(id);
    EXPECT_FALSE(ex.ok);
    EXPECT_TRUE(ex.ended_by_poll);
    EXPECT_FALSE(ex.series_complete);
    EXPECT_EQ(ex.answers.size(), 1u);
}

TEST_F(TerminalLine, OneAnswerOnlyForOtherCodesAndAnswerCodeSevenIsAnAnswer) {
    start({5});
    std::uint64_t id = submit(5, 20, {});
    ASSERT_TRUE(pc().poll(5));
    ASSERT_EQ(pc().read_n(12).size(), 12u);
    ASSERT_TRUE(pc().ack(5));
    // "Not served": code 7 without data, the same bytes as a NACK.
    ASSERT_TRUE(pc().send(PcFrame(5, kCodeNack)));
    ASSERT_TRUE(pc().send(PcFrame(5, 15, {'2'})));
    Exchange ex = wait(id);
    EXPECT_TRUE(ex.ok) << ex.note;
    EXPECT_EQ(ex.reply, Reply::ack);
    ASSERT_EQ(ex.answers.size(), 1u);
    EXPECT_EQ(ex.answers[0].code, kCodeNack);
}

TEST_F(TerminalLine, CodeNineEndsOnTheNextPollWhichReleasesTheNextRequest) {
    start({5});
    std::uint64_t nine = submit(5, 9, {'z'});
    std::uint64_t next = submit(5, 0x0C, {'1'});
    ASSERT_TRUE(pc().poll(5));
    EXPECT_EQ(pc().read_n(13), RequestBytes(5, 9, {'z'}));
    ASSERT_TRUE(pc().poll(5));
    EXPECT_EQ(pc().read_n(13), RequestBytes(5, 0x0C, {'1'}));
    Exchange ex = wait(nine);
    EXPECT_EQ(ex.expect, Expect::none);
    EXPECT_EQ(ex.reply, Reply::none);
    EXPECT_TRUE(ex.ended_by_poll);
    EXPECT_TRUE(ex.ok) << ex.note;
    ASSERT_TRUE(pc().ack(5));
    ASSERT_TRUE(pc().send(PcFrame(5, 15, {})));
    EXPECT_TRUE(wait(next).ok);
}

TEST_F(TerminalLine, PauseFaultStallsCutsOffAndIgnoresPollsMeanwhile) {
    TerminalOptions opt;
    opt.pause_ms = 1500;
    start({5}, opt);
    std::uint64_t paused = submit(5, 0x0C, {'1', '2'}, Fault::pause_header);
    std::uint64_t after = submit(5, 0x0C, {'3'});
    ASSERT_TRUE(pc().poll(5));
    Bytes head = pc().read_n(5);
    EXPECT_EQ(head, (Bytes{0x10, 0x02, 0x00, 0x01, 0x00}));
    ASSERT_TRUE(pc().nack(5));
    Exchange ex = wait(paused);
    EXPECT_EQ(ex.reply, Reply::nack);
    EXPECT_TRUE(ex.ok) << ex.note;
    EXPECT_EQ(ex.sent.size(), 5u);
    // Still stalled: this poll is not answered, and the rest of the frame
    // never comes.
    ASSERT_TRUE(pc().poll(5));
    EXPECT_TRUE(pc().read_for(300).empty());
    // After the pause the terminal answers again (poll repeated until then).
    Bytes got;
    for (int i = 0; i < 40 && got.empty(); ++i) {
        ASSERT_TRUE(pc().poll(5));
        got = pc().read_n(13, 250);
    }
    EXPECT_EQ(got, RequestBytes(5, 0x0C, {'3'}));
    ASSERT_TRUE(pc().ack(5));
    ASSERT_TRUE(pc().send(PcFrame(5, 15, {})));
    EXPECT_TRUE(wait(after).ok);
}

TEST_F(TerminalLine, PauseInDataSendsTheHeaderOnly) {
    TerminalOptions opt;
    opt.pause_ms = 200;
    start({5}, opt);
    std::uint64_t id = submit(5, 0x0C, {'1', '2'}, Fault::pause_data);
    ASSERT_TRUE(pc().poll(5));
    EXPECT_EQ(pc().read_n(9), (Bytes{0x10, 0x02, 0x00, 0x01, 0x00, 0x05, 0x0C, 0x00, 0x02}));
    ASSERT_TRUE(pc().nack(5));
    EXPECT_TRUE(wait(id).ok);
    EXPECT_TRUE(pc().read_for(400).empty());
}

TEST_F(TerminalLine, StalePollIsNotAnswered) {
    start({5, 6});
    std::uint64_t id = submit(5, 0x0C, {'1'});
    // A poll to 5 with the next poll (to 7) already behind it: the PC had
    // gone on before the terminal read it.
    Bytes two = PcFrame(5, kCodePoll);
    Bytes next = PcFrame(7, kCodePoll);
    two.insert(two.end(), next.begin(), next.end());
    ASSERT_TRUE(pc().send(two));
    EXPECT_TRUE(pc().read_for(300).empty());
    EXPECT_EQ(term_.stats().stale_polls, 1u);
    ASSERT_TRUE(pc().poll(5));
    EXPECT_EQ(pc().read_n(13), RequestBytes(5, 0x0C, {'1'}));
    ASSERT_TRUE(pc().ack(5));
    ASSERT_TRUE(pc().send(PcFrame(5, 15, {})));
    EXPECT_TRUE(wait(id).ok);
}

TEST_F(TerminalLine, SeveralAddressesEachInTheirOrder) {
    start({5, 6});
    std::uint64_t six_a = submit(6, 0x0C, {'a'});
    std::uint64_t five = submit(5, 0x0C, {'5'});
    std::uint64_t six_b = submit(6, 0x0C, {'b'});
    EXPECT_EQ(term_.submit(Request{7, 0x0C, {}}), 0u); // not played here

    ASSERT_TRUE(pc().poll(7)); // another terminal's poll: silence
    EXPECT_TRUE(pc().read_for(200).empty());
    ASSERT_TRUE(pc().poll(5));
    EXPECT_EQ(pc().read_n(13), RequestBytes(5, 0x0C, {'5'}));
    ASSERT_TRUE(pc().ack(5));
    ASSERT_TRUE(pc().send(PcFrame(5, 15, {'5'})));
    ASSERT_TRUE(pc().poll(6));
    EXPECT_EQ(pc().read_n(13), RequestBytes(6, 0x0C, {'a'}));
    ASSERT_TRUE(pc().ack(6));
    // An answer handed to the wrong address is not taken as 6's answer.
    ASSERT_TRUE(pc().send(PcFrame(5, 15, {'x'})));
    ASSERT_TRUE(pc().send(PcFrame(6, 15, {'a'})));
    ASSERT_TRUE(pc().poll(6));
    EXPECT_EQ(pc().read_n(13), RequestBytes(6, 0x0C, {'b'}));
    ASSERT_TRUE(pc().ack(6));
    ASSERT_TRUE(pc().send(PcFrame(6, 15, {'b'})));

    Exchange ex;
    std::vector<std::uint64_t> order;
    while (term_.next_completed(ex, 5000) == 0) {
        order.push_back(ex.id);
        EXPECT_TRUE(ex.ok) << ex.note;
        ASSERT_EQ(ex.answers.size(), 1u);
        EXPECT_EQ(ex.answers[0].data, ex.request.data);
        if (order.size() == 3) break;
    }
    EXPECT_EQ(order, (std::vector<std::uint64_t>{five, six_a, six_b}));
    EXPECT_EQ(term_.next_completed(ex, 0), 1);
}

TEST_F(TerminalLine, WaitsEndByTheTerminalsOwnTimeouts) {
    TerminalOptions opt;
    opt.ack_wait_ms = 200;
    opt.answer_wait_ms = 200;
    start({5}, opt);
    std::uint64_t no_reply = submit(5, 0x0C, {});
    ASSERT_TRUE(pc().poll(5));
    ASSERT_EQ(pc().read_n(12).size(), 12u);
    Exchange ex = wait(no_reply);
    EXPECT_EQ(ex.reply, Reply::none);
    EXPECT_TRUE(ex.timed_out);
    EXPECT_FALSE(ex.ok);

    std::uint64_t no_answer = submit(5, 0x0C, {});
    ASSERT_TRUE(pc().poll(5));
    ASSERT_EQ(pc().read_n(12).size(), 12u);
    ASSERT_TRUE(pc().ack(5));
    ex = wait(no_answer);
    EXPECT_EQ(ex.reply, Reply::ack);
    EXPECT_TRUE(ex.timed_out);
    EXPECT_TRUE(ex.answers.empty());
    EXPECT_FALSE(ex.ok);
}

TEST_F(TerminalLine, BrokenFramesAreCountedAndAnAckWithBadChecksumIsNoAck) {
    start({5});
    std::uint64_t id = submit(5, 0x0C, {});
    ASSERT_TRUE(pc().send({0x55, 0x66})); // noise
    ASSERT_TRUE(pc().poll(5));
    ASSERT_EQ(pc().read_n(12).size(), 12u);
    Bytes bad_ack = PcFrame(5, kCodeAck);
    bad_ack.back() ^= 0xFF;
    ASSERT_TRUE(pc().send(bad_ack));
    Exchange ex = wait(id);
    EXPECT_EQ(ex.reply, Reply::none);
    EXPECT_FALSE(ex.ok);
    TerminalStats st = term_.stats();
    EXPECT_EQ(st.broken_frames, 1u);
    EXPECT_EQ(st.noise_bytes, 2u);
}

TEST_F(TerminalLine, StopRecordsTheOpenExchangeAndTheUnsentOnes) {
    start({5});
    std::uint64_t open = submit(5, 0x0C, {});
    std::uint64_t unsent = submit(5, 0x0C, {});
    ASSERT_TRUE(pc().poll(5));
    ASSERT_EQ(pc().read_n(12).size(), 12u);
    ASSERT_TRUE(pc().ack(5));
    // Let the ACK be read before stopping (its record shows it).
    Exchange ex;
    for (int i = 0; i < 100; ++i) {
        std::vector<Frame> log = term_.take_line_log();
        if (!log.empty() && log.back().code == kCodeAck) break;
        pc().read_for(20);
    }
    term_.stop();
    ASSERT_EQ(term_.wait(open, ex, 0), 0);
    EXPECT_EQ(ex.reply, Reply::ack);
    EXPECT_FALSE(ex.ok);
    ASSERT_EQ(term_.wait(unsent, ex, 0), 0);
    EXPECT_TRUE(ex.sent.empty());
    EXPECT_FALSE(ex.ok);
    EXPECT_EQ(term_.wait(999, ex, 0), -1);
    EXPECT_EQ(term_.submit(Request{5, 1, {}}), 0u); // stopped
    term_.stop();                                   // twice is harmless
}

TEST(TerminalExpect, FromFaultAndCode) {
    auto e = [](std::uint8_t code, Bytes data, Fault fault = Fault::none, int arg = 0) {
        return ResolveExpect(Request{5, code, std::move(data), fault, arg}, Expect::automatic);
    };
    EXPECT_EQ(e(0x0C, {}), Expect::answer);
    EXPECT_EQ(e(50, {}), Expect::answer);
    EXPECT_EQ(e(0, {}), Expect::nack);
    EXPECT_EQ(e(51, {}), Expect::nack);
    EXPECT_EQ(e(9, {}), Expect::none);
    EXPECT_EQ(e(0x0C, {}, Fault::code9), Expect::none);
    EXPECT_EQ(e(0x0C, Bytes(298, 'a')), Expect::answer);
    EXPECT_EQ(e(0x0C, Bytes(299, 'a')), Expect::nack);
    EXPECT_EQ(e(0x0C, {}, Fault::oversize), Expect::nack);
    EXPECT_EQ(e(0x0C, {}, Fault::oversize, 298), Expect::answer);
    for (Fault f : {Fault::bad_checksum, Fault::bad_length, Fault::bad_source, Fault::pause_header,
                    Fault::pause_data})
        EXPECT_EQ(e(0x0C, {'1'}, f), Expect::nack);
    EXPECT_EQ(e(0x0C, {'1'}, Fault::stray_byte), Expect::answer);
    EXPECT_EQ(e(0x0C, {'1'}, Fault::missing_lead, 3), Expect::answer);
    EXPECT_EQ(e(0x0C, {'1'}, Fault::missing_lead, 4), Expect::nack);
    EXPECT_EQ(e(0x0C, {0x10, 0x41}, Fault::no_double), Expect::answer);
    EXPECT_EQ(e(0x0C, {0x10, 0x10}, Fault::no_double), Expect::nack);
    EXPECT_EQ(e(0x0C, {0x10, 0x03}, Fault::no_double), Expect::nack);
    EXPECT_EQ(e(0x0C, {0x41, 0x10}, Fault::no_double), Expect::nack);
    EXPECT_EQ(ResolveExpect(Request{5, 9, {}}, Expect::answer), Expect::answer);
}

TEST(TerminalStart, RefusesBadAddressesAndDoubleStart) {
    platform::PtyPair pty;
    ASSERT_EQ(platform::pty_create(pty, nullptr), 0);
    Terminal t;
    std::vector<std::uint16_t> none;
    std::vector<std::uint16_t> zero{5, 0};
    std::vector<std::uint16_t> pc{1};
    std::vector<std::uint16_t> many(33, 5);
    EXPECT_EQ(t.start(pty.master, none), -1);
    EXPECT_EQ(t.start(pty.master, zero), -1);
    EXPECT_EQ(t.start(pty.master, pc), -1);
    EXPECT_EQ(t.start(pty.master, many), -1);
    std::vector<std::uint16_t> ok{5};
    EXPECT_EQ(t.start(-1, ok), -1);
    EXPECT_EQ(t.start(pty.master, ok), 0);
    EXPECT_EQ(t.start(pty.master, ok), -1);
    t.stop();
    platform::pty_release(pty);
}

} // namespace
} // namespace talvoterm
