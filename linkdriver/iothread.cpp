// IOThread and the poll cycle: poll the terminal at the cursor, turn the
// line around, read its answer byte by byte with fixed time-outs, check it,
// acknowledge and deliver it, send back the caller's answer (or series), or
// refuse the answer with a NACK.
#include "linkdriver/iothread.h"

#include "linkdriver/counters.h"
#include "linkdriver/frame.h"
#include "linkdriver/guard.h"
#include "linkdriver/logqueue.h"
#include "linkdriver/logs.h"
#include "linkdriver/portstate.h"
#include "platform/clock.h"
#include "platform/errors.h"
#include "platform/rtlimit.h"
#include "platform/serial.h"
#include "platform/sync.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <utility>

// The loading program's counters: null when it keeps none.
extern "C" __attribute__((weak)) LineCounters serilo_line_counters;

namespace serilo {

namespace {

// Time-outs of each one-byte read, and the wait for the caller's answer.
constexpr std::uint32_t kHeader1Timeout = 50;
constexpr std::uint32_t kHeader2Timeout = 20;
constexpr std::uint32_t kDataTimeout = 50;
constexpr std::uint32_t kChecksumTimeout = 50;
constexpr std::uint32_t kAnswerWait = 5000;
constexpr std::uint32_t kAnswerSlice = 100;
// Passes of the data area: the end (10 03) must come by the 299th.
constexpr int kDataPassLimit = 300;
// A whole answer must be in within its largest legal size on the wire (9
// header bytes, 298 data bytes all doubled, 10 03 and the checksum) plus a
// margin; a terminal that dribbles its bytes inside the byte time-outs
// would otherwise hold the line for as long as it likes.
constexpr std::uint32_t kLargestFrame = 9 + 2 * 298 + 3;
constexpr std::uint32_t kFrameDeadlineMs = plat::SerialWireTimeUs(kLargestFrame) / 1000 + 500;
// After a cut or refused answer, what still comes is dropped until the line
// has been quiet for a header-1 time-out, but for no longer than this.
constexpr std::uint32_t kDrainLimitMs = 500;
// The echo of a frame must be back within its wire time plus this.
constexpr std::uint32_t kEchoMarginMs = 50;
// A terminal whose answers were refused this many times in a row is polled
// only every kSlowEvery-th turn until kSlowMs have passed without a refusal.
constexpr int kRefusalsToSlow = 5;
constexpr int kSlowEvery = 8;
constexpr std::uint32_t kSlowMs = 30000;
// Breaks or framing errors going on this long: the line is held low.
constexpr std::uint32_t kHeldLowMs = 3000;
constexpr std::uint32_t kLowClearMs = 2000;

// The line as this thread opened it: a later open may change the port
// state's handle, never this thread's.
thread_local plat::SerialHandle t_line = plat::kNoSerial;
// The settings in force on this line (a TCP line has no direction or echo
// of its own).
thread_local plat::LineSettings t_set;
// RTS as last set (-1 unknown).
thread_local int t_rts = -1;
// The frame deadline of the answer being received.
thread_local std::uint32_t t_answerStart = 0;
thread_local bool t_pastDeadline = false;

// Polling pace of each polling-list position.
struct Pace {
    std::uint8_t run = 0; // refusals in a row
    bool slowed = false;
    std::uint32_t slowSince = 0;
    std::uint32_t turns = 0;
};
thread_local std::array<Pace, kMaxTerminals> t_pace;

// A line held at its break level.
struct LowLine {
    bool active = false;
    bool logged = false;
    std::uint32_t since = 0;
    std::uint32_t last = 0;
};
thread_local LowLine t_low;

LineCounters* Counters() {
    return &serilo_line_counters;
}

// Counts into the loading program's counters, when it keeps them.
void CountPoll() {
    if (LineCounters* c = &serilo_line_counters) c->polls.fetch_add(1, std::memory_order_relaxed);
}
void CountRefusal(int reason) {
    LineCounters* c = &serilo_line_counters;
    if (c == nullptr) return;
    c->refused[reason].fetch_add(1, std::memory_order_relaxed);
    const std::size_t at = g_port.pollingCursor;
    if (at < kCountedTerminals) c->refusedAt[at].fetch_add(1, std::memory_order_relaxed);
}
void CountDelivered() {
    LineCounters* c = &serilo_line_counters;
    if (c == nullptr) return;
    c->delivered.fetch_add(1, std::memory_order_relaxed);
    const std::size_t at = g_port.pollingCursor;
    if (at < kCountedTerminals) c->deliveredAt[at].fetch_add(1, std::memory_order_relaxed);
}

// The poll cycle's byte source: one byte from the line with its time-out;
// line errors met by the read are logged (the byte is used all the same). A
// line that is gone (hung up, or its reads fail) reads as silence here; it is
// logged once and marked lost, and the poll cycle stops polling.
std::uint16_t PolledAddress() {
    const std::size_t cursor = g_port.pollingCursor < kMaxTerminals ? g_port.pollingCursor : 0;
    return g_port.pollingList[cursor];
}

// The line-error policy. Framing, parity, break and overrun errors are
// counted and logged (merged by the writer: at most one entry a second per
// kind) and the saved settings applied again; they never close the port and
// do not raise the error flag that makes the manager reopen it. Breaks or
// framing errors that go on for seconds are logged once as a line held low.
void NoteLineErrors(std::uint32_t errors) {
    const std::uint32_t now = plat::TickCount();
    if (errors != 0) {
        if (LineCounters* c = Counters()) {
            static constexpr std::pair<std::uint32_t, int> kKinds[] = {
                {plat::kCeFrame, kErrorFrame},
                {plat::kCeRxParity, kErrorParity},
                {plat::kCeOverrun, kErrorOverrun},
                {plat::kCeBreak, kErrorBreak},
                {plat::kCeRxOver, kErrorBufferOverrun}};
            for (const auto& [bit, kind] : kKinds)
                if (errors & bit) c->lineErrors[kind].fetch_add(1, std::memory_order_relaxed);
        }
        g_port.reapplySettings = 1;
        QueueCommError(PolledAddress(), errors, false);
    }
    if (errors & (plat::kCeBreak | plat::kCeFrame)) {
        if (!t_low.active) {
            t_low.active = true;
            t_low.since = now;
        }
        t_low.last = now;
        if (!t_low.logged && now - t_low.since >= kHeldLowMs) {
            t_low.logged = true;
            if (LineCounters* c = Counters()) c->heldLow.store(1);
            QueueException("Linha presa em nivel baixo (BREAK ou erros de enquadramento por "
                           "segundos): fios A e B invertidos, ou a linha sem polarizacao",
                           true);
        }
    } else if (t_low.active && now - t_low.last >= kLowClearMs) {
        t_low = LowLine{};
        if (LineCounters* c = Counters()) c->heldLow.store(0);
    }
}

bool LineByte(std::uint8_t* byte, std::uint32_t timeout) {
    std::uint32_t got = 0;
    const std::uint32_t rc = plat::SerialReadByte(t_line, byte, timeout, &got);
    NoteLineErrors(plat::SerialTakeLineErrors(t_line));
    if (rc != 0 && g_port.lineLost.load() == 0) {
        g_port.lineLost.store(rc);
        GravaLinhaPerdida(rc);
    }
    return got == 1;
}

// One byte from source into the receive buffer at pos; none once the
// answer's deadline has passed.
bool ReadByte(ByteSource source, std::size_t pos, std::uint32_t timeout) {
    if (pos >= kReceiveSize) return false;
    const std::uint32_t spent = plat::TickCount() - t_answerStart;
    if (spent >= kFrameDeadlineMs) {
        t_pastDeadline = true;
        return false;
    }
    const std::uint32_t left = kFrameDeadlineMs - spent;
    return source(&g_port.receive[pos], timeout < left ? timeout : left);
}

// RTS to `on`, unless it stands so already. A failed call is a line error,
// taken up at the end of the poll (RtsFailureCheck): a port that hung up
// fails it too, and its read tells that apart first.
thread_local std::uint32_t t_rtsFailure = 0;
void SetRts(bool on) {
    // (A line that is gone fails every call; its loss is logged already.)
    if (t_rts == int(on) || g_port.lineLost.load() != 0) return;
    const std::uint32_t rc = plat::SerialSetRts(t_line, on);
    t_rts = rc == 0 ? (on ? 1 : 0) : -1;
    if (rc != 0 && t_rtsFailure == 0) t_rtsFailure = rc;
}

// A direction that cannot be switched is no line to serve: logged once
// and reported as a lost line, so that the manager opens the port again.
void RtsFailureCheck() {
    const std::uint32_t rc = t_rtsFailure;
    t_rtsFailure = 0;
    if (rc == 0 || g_port.lineLost.load() != 0) return;
    char text[160];
    std::snprintf(text, sizeof text, "Falha ao mudar o RTS da porta (erro %lu)",
                  static_cast<unsigned long>(rc));
    QueueException(text, true);
    const std::uint32_t why = rc == 1 ? plat::kErrIoDevice : rc;
    g_port.lineLost.store(why);
    GravaLinhaPerdida(why);
}

// Line direction, as wtalvoc.conf chose it:
//   rts-listen: RTS cleared while the PC sends, set while it listens: set
//     once the poll has left, cleared when the answer is in;
//   rts-send: RTS set while the PC sends: set before every frame, cleared
//     once it has left;
//   kernel (the driver switches, set at open) and none (the adapter
//   switches by itself): no modem-line call at all.
void Drive(bool sending) {
    if (t_set.direction == plat::Direction::kRtsListen)
        SetRts(!sending);
    else if (t_set.direction == plat::Direction::kRtsSend)
        SetRts(sending);
}

// An echoing adapter gives back what was sent: exactly those bytes are read
// back within the frame's wire time plus a margin and dropped. Anything else
// is a line error (counted, logged merged); the input is then flushed.
void ReadEcho(const std::uint8_t* bytes, std::size_t count) {
    const std::uint32_t start = plat::TickCount();
    const std::uint32_t limit = plat::SerialWireTimeUs(std::uint32_t(count)) / 1000 + kEchoMarginMs;
    bool same = true;
    for (std::size_t i = 0; i < count && same; ++i) {
        const std::uint32_t spent = plat::TickCount() - start;
        std::uint8_t b = 0;
        same = spent < limit && LineByte(&b, limit - spent) && b == bytes[i];
    }
    if (same) return;
    if (LineCounters* c = Counters())
        c->lineErrors[kErrorEcho].fetch_add(1, std::memory_order_relaxed);
    QueueCommError(PolledAddress(), kCeEcho, false);
    plat::SerialFlushInput(t_line);
}

// Sends a frame without waiting for the line. The write copies the bytes
// into the kernel's output queue before it returns, so the control frame and
// the transmit buffer may be refilled as soon as it has returned; the bytes
// leave in order.
// With rts-send, and before the PC listens, the frame is waited for until
// it has left the line and the turnaround has passed (serial.h).
void Transmit(const std::uint8_t* bytes, std::size_t count, bool listenAfter = false) {
    Drive(true);
    plat::SerialWrite(t_line, bytes, std::uint32_t(count));
    if (t_set.echo) ReadEcho(bytes, count);
    const bool rtsSend = t_set.direction == plat::Direction::kRtsSend;
    if (rtsSend || (listenAfter && t_set.direction == plat::Direction::kRtsListen))
        plat::SerialWaitSent(t_line, std::uint32_t(count), t_set.turnaroundUs);
    if (rtsSend || listenAfter) Drive(false);
}

void SendControl(std::uint16_t address, std::uint8_t code) {
    FillControlFrame(g_port.control.data(), address, code);
    Transmit(g_port.control.data(), kControlFrameSize);
}

// What still comes after a cut or refused answer is dropped until the line
// has been quiet for a header-1 time-out (bounded).
void DrainUntilQuiet() {
    const std::uint32_t start = plat::TickCount();
    std::uint8_t junk = 0;
    while (plat::TickCount() - start < kDrainLimitMs && LineByte(&junk, kHeader1Timeout)) {
    }
}

void SendNack(std::uint16_t address) {
    SetActivity("enviando NACK");
    DrainUntilQuiet();
    SendControl(address, kCodeNack);
}

// The polling pace: a terminal whose answers keep being refused is polled
// less often for a while (logged once); a good answer ends that at once.
void NotePace(std::size_t at, Answer answer) {
    if (at >= kMaxTerminals) return;
    Pace& p = t_pace[at];
    if (answer == Answer::kRefused) {
        if (p.run < 255) ++p.run;
        if (p.slowed) p.slowSince = plat::TickCount();
        if (p.slowed || p.run < kRefusalsToSlow) return;
        p.slowed = true;
        p.slowSince = plat::TickCount();
        if (at < kCountedTerminals)
            if (LineCounters* c = Counters()) c->slowedAt[at].store(1);
        char text[160];
        std::snprintf(text, sizeof text,
                      "Terminal %05u: respostas recusadas seguidas; consultado 1 vez em %d por "
                      "%lu s",
                      unsigned(g_port.pollingList[at]), kSlowEvery,
                      static_cast<unsigned long>(kSlowMs / 1000));
        QueueException(text, false);
    } else if (answer != Answer::kSilent) {
        p = Pace{};
        if (at < kCountedTerminals)
            if (LineCounters* c = Counters()) c->slowedAt[at].store(0);
    }
}

// True when the terminal at `at` sits this turn out.
bool SitsOut(std::size_t at) {
    if (at >= kMaxTerminals || !t_pace[at].slowed) return false;
    Pace& p = t_pace[at];
    if (plat::TickCount() - p.slowSince >= kSlowMs) {
        NotePace(at, Answer::kRequest); // its time is up: polled as before
        return false;
    }
    return ++p.turns % kSlowEvery != 0;
}

// The header-1 analysis: where the prefix 02 00 01 ended among the five
// bytes read into bytes 4 to 8, which bytes move, and how many of the nine
// header bytes are in place.
std::size_t AnalyseHeader1(std::uint16_t polled) {
    auto& rx = g_port.receive;
    const std::uint8_t w0 = rx[4], w1 = rx[5], w2 = rx[6], w3 = rx[7], w4 = rx[8];
    if (w2 == 0x02 && w3 == 0x00 && w4 == 0x01) return 4; // one stray byte before the 10
    if (w2 == 0x00 && w3 == 0x01) {
        rx[4] = w4;
        return 5;
    }
    if (w2 == 0x01) {
        rx[4] = w3;
        rx[5] = w4;
        return 6;
    }
    if (w1 == 0x01) {
        rx[4] = w2;
        rx[5] = w3;
        rx[6] = w4;
        return 7;
    }
    if (w0 == 0x01 || w1 == std::uint8_t(polled >> 8)) {
        rx[4] = w1;
        rx[5] = w2;
        rx[6] = w3;
        rx[7] = w4;
        return 8;
    }
    return 9; // byte 9 is read once more and the data area overwrites it
}

// Reads the data area from byte 9 on. Returns false for a cut-off area or
// one that did not end by the 299th pass (then *tooLong); else *end is just
// after the 10 03.
bool ReadDataArea(ByteSource source, std::size_t* end, bool* tooLong) {
    SetActivity("na leitura da area de dados");
    std::size_t p = 9;
    int pass = 0;
    bool timedOut = false;
    for (;; ++pass) {
        // More than 298 data bytes stored: no request is that long.
        if (p - 9 > kMaxRequestData) {
            *end = p;
            *tooLong = true;
            return false;
        }
        const bool got = ReadByte(source, p, kDataTimeout);
        if (pass >= kDataPassLimit) break;
        if (!got) {
            timedOut = true;
            break;
        }
        if (g_port.receive[p] == kDle) {
            if (!ReadByte(source, p + 1, kDataTimeout)) {
                timedOut = true;
                break;
            }
            const std::uint8_t next = g_port.receive[p + 1];
            if (next == kEtx) {
                p += 2;
                break;
            }
            // A doubled 0x10 is kept once (the next byte overwrites the
            // second); 0x10 with any other byte keeps both as data.
            p += next == kDle ? 1 : 2;
        } else {
            p += 1;
        }
    }
    *end = p;
    *tooLong = !timedOut && pass + 1 >= kDataPassLimit;
    return !timedOut && pass + 1 < kDataPassLimit;
}

// The five frame tests of a received frame whose checksum stands at p: -1
// when it passes them, else the LineRefusal of the first that fails.
int FrameFault(std::size_t p, std::uint16_t polled) {
    const auto& rx = g_port.receive;
    if (p < 11) return kRefusedLength;
    // The received frame is summed with doubled 0x10 bytes counted once, as
    // stored.
    if (CheckSum(rx.data(), p) != rx[p]) return kRefusedChecksum;
    if (rx[4] != std::uint8_t(polled >> 8) || rx[5] != std::uint8_t(polled)) return kRefusedSource;
    if (rx[6] < 1 || rx[6] > 50) return kRefusedCode;
    const std::size_t n = p - 11;
    if (n / 256 != rx[7] || n % 256 != rx[8]) return kRefusedLength;
    // The pass limit alone does not bound the data: a 0x10 followed by
    // another byte stores two bytes in one pass. The caller's data area
    // holds 298 bytes, so a longer request is refused like one that ran
    // past the pass limit.
    return n <= kMaxRequestData ? -1 : kRefusedLength;
}

// After the ACK: waits for the caller's answer and sends it; for requests 2
// and 5 goes on sending the frames handed over until one with code 3 or a
// wait of 5 s without one.
void SendAnswers(std::uint8_t requestCode) {
    bool more = true;
    while (more) {
        SetActivity("enviando TXBuffer");
        // In slices, so that a close (a stop in the middle of a series)
        // is not kept waiting for the rest of the 5 s.
        bool came = false;
        for (std::uint32_t waited = 0; !came && waited < kAnswerWait; waited += kAnswerSlice) {
            if (waited > 0 && plat::EventIsSet(&g_port.finish)) break;
            came =
                plat::EventWait(&g_port.replyReady, kAnswerSlice) == plat::WaitResult::kSignalled;
        }
        std::uint8_t sentCode = 0;
        if (came) {
            std::int32_t length = g_port.transmitLength;
            if (length < 0) length = 0;
            if (length > std::int32_t(kTransmitSize)) length = kTransmitSize;
            Transmit(g_port.transmit.data(), std::size_t(length));
            if (length > 6) sentCode = g_port.transmit[6];
        }
        plat::EventReset(&g_port.replyReady);
        plat::EventSet(&g_port.transmitFree);
        more = (requestCode == 2 || requestCode == 5) && came && sentCode != kCodeEndOfSeries;
    }
}

// One poll cycle after the cursor moved: poll, turnaround, receive, answer.
void PollTerminal(std::uint16_t polled) {
    FillControlFrame(g_port.control.data(), polled, kCodePoll);
    // A request that the caller has not fetched by now is dropped.
    plat::EventReset(&g_port.frameReceived);
    // Whatever waits in the input is not this poll's answer.
    plat::SerialFlushInput(t_line);
    // Turnaround: listen only once the last bit of the poll has left.
    Transmit(g_port.control.data(), kControlFrameSize, true);
    CountPoll();

    const Answer answer = ReceiveAnswer(polled, LineByte);
    if (t_set.direction == plat::Direction::kRtsListen) SetRts(false);
    RtsFailureCheck();
    NotePace(g_port.pollingCursor, answer);
    if (answer == Answer::kRefused) {
        SendNack(polled);
        return;
    }
    if (answer != Answer::kRequest) return;
    CountDelivered();

    SetActivity("enviando ACK");
    // An answer handed over earlier and not yet sent is dropped.
    plat::EventReset(&g_port.replyReady);
    plat::EventSet(&g_port.frameReceived);
    SendControl(polled, kCodeAck);
    SendAnswers(g_port.receive[6]);
}

// A refused answer, counted by its reason.
Answer Refused(int reason) {
    CountRefusal(reason);
    return Answer::kRefused;
}

bool FinishAsked() {
    return plat::EventIsSet(&g_port.finish) || g_port.lineOwner.load() == kThreadReleases;
}

} // namespace

Answer ReceiveAnswer(std::uint16_t polled, ByteSource source) {
    t_answerStart = plat::TickCount();
    t_pastDeadline = false;
    SetActivity("na leitura do header 1");
    for (std::size_t i = 0; i < 5; ++i) {
        // Silent, or stopped within its first five bytes.
        if (!ReadByte(source, 4 + i, kHeader1Timeout)) return Answer::kSilent;
    }

    SetActivity("na analise do header 1");
    const std::size_t h = AnalyseHeader1(polled);
    const std::size_t reads = h < 9 ? 9 - h : 1;
    for (std::size_t i = 0; i < reads; ++i) {
        SetActivity("na leitura do header 2");
        if (!ReadByte(source, h + i, kHeader2Timeout)) return Refused(kRefusedTimeout);
    }

    std::size_t p = 9;
    bool tooLong = false;
    if (!ReadDataArea(source, &p, &tooLong))
        return Refused(tooLong ? kRefusedLength : kRefusedTimeout);

    SetActivity("leitura do checksum");
    if (!ReadByte(source, p, kChecksumTimeout)) return Refused(kRefusedTimeout);

    SetActivity("na analise do frame recebido");
    if (const int fault = FrameFault(p, polled); fault >= 0) return Refused(fault);
    return g_port.receive[6] == kCodeNoAck ? Answer::kUnacknowledged : Answer::kRequest;
}

std::uint32_t IOThread(void*) {
    EnsureFaultHandler();
    FaultScope scope(kIoThreadWhere);
    t_line = g_port.port;
    t_set = g_port.settings;
    t_rts = -1;
    t_rtsFailure = 0;
    t_pace.fill(Pace{});
    t_low = LowLine{};
    if (plat::SerialIsTcp(t_line)) {
        // Speed, direction and echo are the serial server's business.
        if (t_set.direction != plat::Direction::kNone || t_set.echo) {
            static std::atomic<bool> said{false};
            if (!said.exchange(true))
                QueueException("Linha TCP: direction e echo de wtalvoc.conf ignorados", false);
        }
        t_set.direction = plat::Direction::kNone;
        t_set.echo = false;
    }
    auto& rx = g_port.receive;
    rx[0] = kDle;
    rx[1] = kStx;
    rx[2] = std::uint8_t(kPcAddress >> 8);
    rx[3] = std::uint8_t(kPcAddress);
    plat::SerialPurge(t_line);
    plat::SerialSetDtr(t_line, true);
    Drive(true); // the PC may send
    // (The transmitter-empty event mask has no counterpart: the turnaround
    // asks the line itself.)

    g_port.realtimeDropsSeen = plat::RealtimeLimitDrops();

    for (;;) {
        if (g_port.reapplySettings != 0) {
            plat::SerialSetSettings(t_line, g_port.savedSettings);
            g_port.reapplySettings = 0;
        }
        if (const std::uint32_t drops = plat::RealtimeLimitDrops();
            drops != g_port.realtimeDropsSeen) {
            g_port.realtimeDropsSeen = drops;
            GravaExcecoes("IOThread em prioridade normal: limite de CPU em tempo real excedido");
        }
        SetActivity(" dentro do laco principal.");
        if (FinishAsked()) break;
        if (g_port.lineLost.load() != 0) {
            // Nothing to poll on a line that is gone: wait, blocked, until
            // the port is closed.
            plat::EventWait(&g_port.finish, 1000);
            continue;
        }
        std::size_t end = g_port.listEnd;
        if (end > kMaxTerminals) end = kMaxTerminals;
        ++g_port.pollingCursor;
        if (g_port.pollingCursor >= end) g_port.pollingCursor = 0;
        if (SitsOut(g_port.pollingCursor)) continue;
        PollTerminal(g_port.pollingList[g_port.pollingCursor]);
    }

    // A close that gave up waiting for this thread left the line to it.
    int expected = kCloserReleases;
    if (!g_port.lineOwner.compare_exchange_strong(expected, kThreadEnded)) {
        plat::SerialClose(t_line);
        g_port.lineOwner.store(kThreadEnded);
    }
    t_line = plat::kNoSerial;
    return 0;
}

} // namespace serilo
