// The terminal side of the line, in-process: one Terminal object plays one
// or more terminal addresses on a file descriptor (the master side of a
// pseudo-terminal, or a serial device) in a thread of its own.
//
// It answers each poll to one of its addresses with the next request queued
// for that address, or stays silent; then waits for the PC's ACK or NACK,
// and after an ACK for the answer frame (for requests with code 2 or 5 the
// series of answer frames up to the one with code 3). Every finished
// exchange becomes an Exchange record that the caller fetches with wait()
// or next_completed().
//
// Typical use in a test of the PC side:
//
//   platform::PtyPair pty;                       // platform/pty.h
//   platform::pty_create(pty, nullptr);
//   talvoterm::Terminal term;
//   const std::uint16_t addrs[] = {5};
//   term.start(pty.master, addrs);
//   ... open the PC side on pty.slave_name ...
//   std::uint64_t id = term.submit({5, 0x0C, {'1', '2'}});
//   talvoterm::Exchange ex;
//   ASSERT_EQ(term.wait(id, ex, 10000), 0);
//   EXPECT_EQ(ex.reply, talvoterm::Reply::ack);
//   term.stop();
//
// All calls are safe from any thread while the line thread runs.
#pragma once

#include "tools/talvoterm/frame.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace talvoterm {

// What the PC did right after the request frame.
enum class Reply : std::uint8_t {
    none, // neither ACK nor NACK: another frame came, or nothing in ack_wait_ms
    ack,
    nack,
};

// One request to send when its address is polled.
struct Request {
    std::uint16_t address = 0;
    std::uint8_t code = 0;
    std::vector<std::uint8_t> data;
    Fault fault = Fault::none;
    int fault_arg = 0; // the fault's argument, 0 = its default (see Fault)
};

// How a request should end for the exchange to count as answered.
enum class Expect : std::uint8_t {
    automatic, // from the fault and the code: NACK for faults the PC must refuse
               // and for codes 0 or 51 and up, nothing for code 9, else ACK + answer
    answer,    // ACK, then answer frames (the series complete for codes 2 and 5)
    nack,
    none,
};

// The record of one exchange, from the request frame to its end.
struct Exchange {
    std::uint64_t id = 0;
    Request request;
    Expect expect = Expect::automatic; // as resolved (never automatic here)
    std::vector<std::uint8_t> sent;    // the bytes written to the line
    Reply reply = Reply::none;
    Frame reply_frame;                 // the ACK or NACK frame, when one came
    std::vector<Frame> answers;        // answer frames addressed to the terminal, in order
    bool series = false;               // the request's code (as sent) was 2 or 5
    bool series_complete = false;      // the last answer had code 3
    bool timed_out = false;            // ended by the terminal's own wait, not by the PC
    bool ended_by_poll = false;        // the PC polled again before the exchange was complete
    bool ok = false;                   // ended as `expect` says (answer frames all valid)
    std::int64_t polled_steady_ms = 0; // when the poll that released it was read
    std::int64_t sent_steady_ms = 0;   // when its last byte was written
    std::int64_t sent_wall_ms = 0;
    std::int64_t done_steady_ms = 0;
    std::string note; // why it ended, in words
};

// Timing of the terminal; the defaults suit tests on a loaded machine.
struct TerminalOptions {
    int ack_wait_ms = 2000;            // wait for ACK / NACK after the request frame
    int answer_wait_ms = 8000;         // wait for each answer frame (the PC gives up after 5000)
    int pause_ms = 300;                // stall of the pause faults (the PC's time-outs are 20 / 50)
    int frame_gap_ms = 1000;           // silence that abandons a frame in progress
    std::size_t line_log_max = 100000; // frames kept for take_line_log(); 0 = none
    bool realtime = true;    // try a real-time priority for the line thread (best effort):
                             // the PC listens only 50 ms for a polled terminal's first byte
    bool echo = false;       // echo every byte the PC writes, as an echoing 2-wire adapter does
    int answer_delay_ms = 0; // start each request this long after its poll (a late
                             // terminal, or one behind a USB adapter's latency)
};

// Counters of the line thread.
struct TerminalStats {
    std::uint64_t polls = 0;         // polls to our addresses
    std::uint64_t stale_polls = 0;   // polls skipped because the PC had gone on already
    std::uint64_t frames = 0;        // frames decoded from the line, any address
    std::uint64_t broken_frames = 0; // frames abandoned (gap, too long) or failing their checks
    std::uint64_t noise_bytes = 0;   // bytes outside any frame
};

class Terminal {
  public:
    Terminal() = default;
    ~Terminal(); // stops the thread
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    // Starts the line thread on `fd` (not owned, not closed; the caller
    // keeps it open until stop()) for the given addresses (1 to 32, nonzero).
    // Returns 0, or -1 for bad addresses or when already started.
    int start(int fd, std::span<const std::uint16_t> addresses,
              const TerminalOptions& options = TerminalOptions());

    // Ends the line thread (a request being exchanged is recorded as cut
    // off). Safe to call more than once.
    void stop();

    // Queues a request for its address; requests of one address go out in
    // the order queued, one per poll. Returns its id (1, 2, ...), or 0 when
    // the address is not played here.
    std::uint64_t submit(const Request& request, Expect expect = Expect::automatic);

    // Waits up to timeout_ms for exchange `id` to end and copies its record.
    // Returns 0 when it ended, 1 on time-out, -1 for an unknown id.
    int wait(std::uint64_t id, Exchange& out, int timeout_ms);

    // Waits up to timeout_ms for the next ended exchange not yet returned by
    // this call (in the order they ended). Returns 0 or 1 on time-out.
    int next_completed(Exchange& out, int timeout_ms);

    // Requests queued or in progress.
    std::size_t pending() const;

    // Moves out every frame decoded from the line since the previous call
    // (polls, ACKs, answers, to any address; frames to the PC's address too,
    // which are otherwise ignored), oldest first.
    std::vector<Frame> take_line_log();

    TerminalStats stats() const;

    // The line thread met a read or write error on the descriptor (the
    // other side closed); it keeps trying.
    bool line_error() const { return line_error_.load(); }

  private:
    void run();
    void handle_frame(Frame& f, bool more_pending);
    void send_request(std::uint16_t address, std::int64_t polled_ms);
    void finish(const char* note, bool timed_out);
    bool write_all(const std::uint8_t* p, std::size_t n);
    bool is_ours(std::uint16_t address) const;

    int fd_ = -1;
    int wake_[2] = {-1, -1};
    TerminalOptions opt_;
    std::vector<std::uint16_t> addresses_;
    std::thread thread_;
    std::atomic<bool> running_{false};
    std::atomic<bool> line_error_{false};

    mutable std::mutex mu_;
    std::condition_variable cv_;
    std::deque<Exchange> queued_;      // not sent yet, all addresses, in order
    std::deque<Outgoing> pending_out_; // their frames, built ahead, same order
    std::atomic<bool> busy_{false};    // an exchange is in progress
    std::deque<Exchange> completed_;   // every ended exchange
    std::size_t next_index_ = 0;       // next_completed() cursor into completed_
    std::uint64_t next_id_ = 1;
    std::vector<Frame> line_log_;
    TerminalStats stats_;

    // Line thread only.
    enum class Phase : std::uint8_t { idle, stalled, await_reply, await_answer };
    Phase phase_ = Phase::idle;
    Exchange cur_;
    std::int64_t deadline_ms_ = 0;    // end of the current phase's wait (steady clock)
    std::int64_t stall_until_ms_ = 0; // polls go unanswered until then (pause faults)
};

// The expectation `e` stands for with this request: `e` itself unless it is
// automatic (see Expect::automatic).
Expect ResolveExpect(const Request& r, Expect e);

// Milliseconds of the steady clock and of the wall clock.
std::int64_t SteadyMs();
std::int64_t WallMs();

} // namespace talvoterm
