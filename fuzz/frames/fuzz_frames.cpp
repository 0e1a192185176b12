// Fuzz target: any byte stream from the line through the link's receive
// step, poll cycle after poll cycle, without a port. Input: the polled
// address (2 bytes, high first), a pause byte P, then the stream; in the
// stream P P stands for one byte P and P followed by anything else for a
// read that times out. After the stream every read times out.
//
// Besides never reading or writing outside a buffer, each cycle must ask
// for each phase's own time-out, stop within a bounded number of reads,
// hand on only a request that passes every frame test, and take every
// well-formed request frame that came whole.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "linkdriver/frame.h"
#include "linkdriver/iothread.h"
#include "linkdriver/portstate.h"

namespace {

using serilo::g_port;

struct Stream {
    const std::uint8_t* bytes = nullptr;
    std::size_t size = 0;
    std::size_t at = 0;
    std::uint8_t pause = 0;
    // What the cycle in progress has read, and whether a read timed out.
    std::vector<std::uint8_t> cycle;
    bool timedOut = false;
    int reads = 0;
};
Stream s;

// The time-out each phase must ask for, known by its activity text.
std::uint32_t PhaseTimeout() {
    const char* a = g_port.activity;
    if (std::strcmp(a, "na leitura do header 2") == 0) return 20;
    if (std::strcmp(a, "na leitura do header 1") == 0 ||
        std::strcmp(a, "na leitura da area de dados") == 0 ||
        std::strcmp(a, "leitura do checksum") == 0)
        return 50;
    return 0;
}

bool NextByte(std::uint8_t* byte, std::uint32_t timeoutMs) {
    if (timeoutMs != PhaseTimeout()) std::abort();
    // 5 + 9 header reads, two per data pass, the checksum.
    if (++s.reads > 5 + 9 + 2 * 300 + 1) std::abort();
    if (s.at >= s.size) {
        s.timedOut = true;
        return false;
    }
    if (s.bytes[s.at] == s.pause) {
        ++s.at;
        if (s.at >= s.size || s.bytes[s.at] != s.pause) {
            s.timedOut = true;
            return false;
        }
    }
    *byte = s.bytes[s.at++];
    s.cycle.push_back(*byte);
    return true;
}

// The data of a well-formed request frame from the polled terminal, every
// data 0x10 doubled, the checksum of the receiving side: true and *data,
// *code when the bytes are exactly one such frame.
bool WellFormed(const std::vector<std::uint8_t>& f, std::uint16_t polled,
                std::vector<std::uint8_t>* data, std::uint8_t* code) {
    if (f.size() < 12 || f[0] != 0x10 || f[1] != 0x02 || f[2] != 0x00 || f[3] != 0x01) return false;
    if (f[4] != std::uint8_t(polled >> 8) || f[5] != std::uint8_t(polled)) return false;
    *code = f[6];
    const std::size_t length = std::size_t(f[7]) << 8 | f[8];
    data->clear();
    std::size_t i = 9;
    for (;;) {
        if (i + 1 >= f.size()) return false;
        if (f[i] == 0x10) {
            if (f[i + 1] == 0x03) break;
            if (f[i + 1] != 0x10) return false;
            ++i;
        }
        data->push_back(f[i++]);
    }
    if (i + 3 != f.size() || data->size() != length) return false;
    unsigned sum = 0x10 + 0x02 + 0x00 + 0x01 + f[4] + f[5] + f[6] + f[7] + f[8] + 0x10 + 0x03;
    for (std::uint8_t b : *data) sum += b;
    return std::uint8_t(255 - (sum & 0xFF)) == f[i + 2];
}

// A request handed on must pass every frame test.
void CheckRequest(std::uint16_t polled) {
    const auto& rx = g_port.receive;
    if (rx[0] != 0x10 || rx[1] != 0x02 || rx[2] != 0x00 || rx[3] != 0x01) std::abort();
    if (rx[4] != std::uint8_t(polled >> 8) || rx[5] != std::uint8_t(polled)) std::abort();
    if (rx[6] < 1 || rx[6] > 50) std::abort();
    const std::size_t n = std::size_t(rx[7]) << 8 | rx[8];
    if (n > serilo::kMaxRequestData) std::abort();
    if (rx[9 + n] != 0x10 || rx[10 + n] != 0x03) std::abort();
    if (serilo::CheckSum(rx.data(), 11 + n) != rx[11 + n]) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 3) return 0;
    const std::uint16_t polled = std::uint16_t(data[0] << 8 | data[1]);
    s = Stream{data + 3, size - 3, 0, data[2], {}, false, 0};
    // As the thread leaves the receive buffer when it starts, and whatever
    // an earlier cycle left behind it.
    g_port.receive.fill(0xEE);
    g_port.receive[0] = 0x10;
    g_port.receive[1] = 0x02;
    g_port.receive[2] = 0x00;
    g_port.receive[3] = 0x01;

    // Each cycle reads at least one byte or times out; the stream's end
    // ends the run at the next silent cycle.
    for (std::size_t cycles = 0; cycles <= size; ++cycles) {
        s.cycle.clear();
        s.timedOut = false;
        s.reads = 0;
        const bool atEnd = s.at >= s.size;
        const serilo::Answer answer = serilo::ReceiveAnswer(polled, NextByte);
        std::vector<std::uint8_t> sent;
        std::uint8_t code = 0;
        const bool whole = !s.timedOut && WellFormed(s.cycle, polled, &sent, &code);
        switch (answer) {
        case serilo::Answer::kRequest:
            CheckRequest(polled);
            if (g_port.receive[6] == serilo::kCodeNoAck) std::abort();
            if (whole && std::memcmp(&g_port.receive[9], sent.data(), sent.size()) != 0)
                std::abort();
            break;
        case serilo::Answer::kUnacknowledged:
            CheckRequest(polled);
            if (g_port.receive[6] != serilo::kCodeNoAck) std::abort();
            break;
        case serilo::Answer::kSilent:
            if (s.cycle.size() >= 5) std::abort();
            break;
        case serilo::Answer::kRefused: break;
        }
        if (whole && code >= 1 && code <= 50 && sent.size() <= serilo::kMaxRequestData &&
            answer != (code == serilo::kCodeNoAck ? serilo::Answer::kUnacknowledged
                                                  : serilo::Answer::kRequest))
            std::abort();
        if (atEnd) break;
    }
    return 0;
}
