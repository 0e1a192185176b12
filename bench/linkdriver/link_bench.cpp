// How long the PC side of the link takes on a pseudo-terminal: from the last
// byte of a request to the first byte of its ACK, from _EscrevePorta to the
// first byte of the answer, and the cost of polling a silent terminal. The
// benchmark plays the terminal itself on the master side and answers as a
// manager would on a thread of its own. Medians and 99th percentiles are
// reported as counters (microseconds).
#include "linkdriver/serilo.h"

#include "tests/linkdriver/line_fixture.h"
#include "tools/talvoterm/frame.h"

#include <benchmark/benchmark.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

std::int64_t NowUs() {
    using namespace std::chrono;
    return duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count();
}

// Reads the next whole frame from fd; *start is when the chunk holding its
// first byte was read. false after timeoutMs without one.
bool NextFrame(int fd, talvoterm::FrameDecoder& dec, talvoterm::Frame& f, std::int64_t* start,
               int timeoutMs) {
    static std::vector<std::uint8_t> pending;
    static std::int64_t pendingAt = 0;
    static std::int64_t candidate = 0;
    const std::int64_t giveUp = NowUs() + std::int64_t(timeoutMs) * 1000;
    for (;;) {
        while (!pending.empty()) {
            const std::uint8_t b = pending.front();
            pending.erase(pending.begin());
            if (!dec.in_frame() && b == talvoterm::kDle) candidate = pendingAt;
            if (dec.feed(b, f) == talvoterm::FrameDecoder::Result::frame) {
                *start = candidate;
                return true;
            }
        }
        const std::int64_t left = giveUp - NowUs();
        if (left <= 0) return false;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, int(left / 1000) + 1) <= 0) continue;
        std::uint8_t buf[256];
        const ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) continue;
        pendingAt = NowUs();
        pending.assign(buf, buf + n);
    }
}

double Percentile(std::vector<std::int64_t> v, double q) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return double(v[std::min(v.size() - 1, std::size_t(q * double(v.size() - 1) + 0.5))]);
}

void Report(benchmark::State& state, const char* name, const std::vector<std::int64_t>& v) {
    state.counters[std::string(name) + "_median_us"] = Percentile(v, 0.5);
    state.counters[std::string(name) + "_p99_us"] = Percentile(v, 0.99);
}

const std::vector<std::uint8_t> kRequest = {0x10, 0x02, 0x00, 0x01, 0x00, 0x05, 0x0C,
                                            0x00, 0x02, 0x31, 0x32, 0x10, 0x03, 0x63};

void BM_RequestToAckAndAnswer(benchmark::State& state) {
    linktest::ScratchDir dir;
    linktest::PtyLine line("COM1");
    const std::uint16_t one[1] = {5};
    if (_AbrePorta("COM1", 1, one) != 0) {
        state.SkipWithError("port did not open");
        return;
    }
    std::atomic<bool> stop{false};
    std::atomic<std::int64_t> handedAt{0};
    std::thread manager([&] {
        std::uint16_t address;
        std::uint8_t data[298];
        std::uint8_t code;
        std::int16_t length;
        const std::uint8_t answer[1] = {0x31};
        while (!stop.load()) {
            if (_LePorta(&address, data, &code, &length, 100) != 0) continue;
            handedAt.store(NowUs());
            _EscrevePorta(address, answer, 0x0F, 1);
        }
    });
    talvoterm::FrameDecoder dec;
    talvoterm::Frame f;
    std::int64_t at = 0;
    std::vector<std::int64_t> ack, reply;
    for (auto _ : state) {
        // The poll, then the request at once.
        do {
            if (!NextFrame(line.master(), dec, f, &at, 5000)) break;
        } while (f.code != talvoterm::kCodePoll);
        // Timed from just before the write: the writer may lose its core to
        // the driver's real-time thread as soon as the bytes are in.
        const std::int64_t sent = NowUs();
        (void)!write(line.master(), kRequest.data(), kRequest.size());
        if (!NextFrame(line.master(), dec, f, &at, 5000) || f.code != talvoterm::kCodeAck) {
            state.SkipWithError("no ACK");
            break;
        }
        ack.push_back(at - sent);
        state.SetIterationTime(double(at - sent) / 1e6);
        if (!NextFrame(line.master(), dec, f, &at, 6000) || f.code != 0x0F) {
            state.SkipWithError("no answer");
            break;
        }
        reply.push_back(at - handedAt.load());
    }
    stop.store(true);
    manager.join();
    _FechaPorta();
    Report(state, "ack", ack);
    Report(state, "answer", reply);
}
BENCHMARK(BM_RequestToAckAndAnswer)
    ->UseManualTime()
    ->Iterations(200)
    ->Unit(benchmark::kMicrosecond);

void BM_SilentPollCycle(benchmark::State& state) {
    linktest::ScratchDir dir;
    linktest::PtyLine line("COM1");
    const std::uint16_t three[3] = {5, 6, 7};
    if (_AbrePorta("COM1", 3, three) != 0) {
        state.SkipWithError("port did not open");
        return;
    }
    talvoterm::FrameDecoder dec;
    talvoterm::Frame f;
    std::int64_t at = 0, previous = 0;
    std::vector<std::int64_t> gaps;
    for (auto _ : state) {
        if (!NextFrame(line.master(), dec, f, &at, 5000)) {
            state.SkipWithError("no poll");
            break;
        }
        // Poll to poll: one silent terminal's whole cycle.
        if (previous != 0) {
            gaps.push_back(at - previous);
            state.SetIterationTime(double(at - previous) / 1e6);
        } else {
            state.SetIterationTime(0);
        }
        previous = at;
    }
    _FechaPorta();
    Report(state, "poll_cycle", gaps);
}
BENCHMARK(BM_SilentPollCycle)->UseManualTime()->Iterations(100)->Unit(benchmark::kMillisecond);

} // namespace

BENCHMARK_MAIN();
