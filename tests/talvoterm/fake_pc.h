// The PC end of a pseudo-terminal for the terminal simulator's tests: sends
// polls, ACKs, NACKs and answers as whole frames and reads what the
// terminal sends back, with generous time-outs.
#pragma once

#include "tools/talvoterm/frame.h"

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <poll.h>
#include <unistd.h>
#include <vector>

namespace talvoterm::testing {

using Bytes = std::vector<std::uint8_t>;

inline Bytes PcFrame(std::uint16_t dest, std::uint8_t code, const Bytes& data = {}) {
    Bytes out;
    EncodeFrame(dest, kPcAddress, code, data, SumRule::as_sent, out);
    return out;
}

class FakePc {
  public:
    explicit FakePc(int fd) : fd_(fd) {}

    bool send(const Bytes& bytes) {
        std::size_t done = 0;
        while (done < bytes.size()) {
            ssize_t w = ::write(fd_, bytes.data() + done, bytes.size() - done);
            if (w < 0 && errno == EINTR) continue;
            if (w <= 0) return false;
            done += static_cast<std::size_t>(w);
        }
        return true;
    }
    bool poll(std::uint16_t a) { return send(PcFrame(a, kCodePoll)); }
    bool ack(std::uint16_t a) { return send(PcFrame(a, kCodeAck)); }
    bool nack(std::uint16_t a) { return send(PcFrame(a, kCodeNack)); }

    // Reads exactly n bytes, waiting up to timeout_ms in all.
    Bytes read_n(std::size_t n, int timeout_ms = 5000) {
        Bytes out;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
        while (out.size() < n) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            until - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0) break;
            pollfd pf{fd_, POLLIN, 0};
            if (::poll(&pf, 1, static_cast<int>(left)) <= 0) continue;
            std::uint8_t buf[512];
            std::size_t want = n - out.size() < sizeof(buf) ? n - out.size() : sizeof(buf);
            ssize_t r = ::read(fd_, buf, want);
            if (r > 0)
                out.insert(out.end(), buf, buf + r);
            else if (r < 0 && errno != EINTR && errno != EAGAIN)
                break;
        }
        return out;
    }

    // Every byte that arrives within ms (used to check for silence).
    Bytes read_for(int ms) {
        Bytes out;
        auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                            until - std::chrono::steady_clock::now())
                            .count();
            if (left <= 0) break;
            pollfd pf{fd_, POLLIN, 0};
            if (::poll(&pf, 1, static_cast<int>(left)) <= 0) continue;
            std::uint8_t buf[512];
            ssize_t r = ::read(fd_, buf, sizeof(buf));
            if (r > 0)
                out.insert(out.end(), buf, buf + r);
            else if (r < 0 && errno != EINTR && errno != EAGAIN)
                break;
        }
        return out;
    }

  private:
    int fd_;
};

} // namespace talvoterm::testing
