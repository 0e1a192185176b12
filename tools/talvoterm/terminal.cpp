// The terminal side of the line: the line thread that answers polls with
// queued requests, waits for ACK / NACK and collects the answers.
#include "tools/talvoterm/terminal.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <thread>
#include <unistd.h>

namespace talvoterm {

std::int64_t SteadyMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

std::int64_t WallMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

namespace {

bool IsSeriesCode(std::uint8_t code) {
    return code == 2 || code == 5;
}

} // namespace

Terminal::~Terminal() {
    stop();
}

bool Terminal::is_ours(std::uint16_t address) const {
    return std::find(addresses_.begin(), addresses_.end(), address) != addresses_.end();
}

Expect ResolveExpect(const Request& r, Expect e) {
    if (e != Expect::automatic) return e;
    switch (r.fault) {
    case Fault::bad_checksum:
    case Fault::bad_length:
    case Fault::bad_source:
    case Fault::pause_header:
    case Fault::pause_data: return Expect::nack;
    case Fault::code9: return Expect::none;
    case Fault::oversize:
        if (r.fault_arg == 0 || r.fault_arg > static_cast<int>(kMaxRequestData))
            return Expect::nack;
        break;
    case Fault::raw: return Expect::answer;
    case Fault::no_double:
        // A single 0x10 before another 0x10, before 0x03 or at the end
        // reads as stuffing or as the end to the PC.
        for (std::size_t i = 0; i < r.data.size(); ++i) {
            if (r.data[i] != kDle) continue;
            if (i + 1 == r.data.size() || r.data[i + 1] == kDle || r.data[i + 1] == kEtx)
                return Expect::nack;
        }
        break;
    case Fault::missing_lead:
        // Up to three missing bytes are found again by the PC's header
        // analysis; with four the first data byte is lost.
        if (r.fault_arg > 3) return Expect::nack;
        break;
    default: break;
    }
    if (r.code == kCodeNoAck) return Expect::none;
    if (r.code == 0 || r.code > 50 || r.data.size() > kMaxRequestData) return Expect::nack;
    return Expect::answer;
}

int Terminal::start(int fd, std::span<const std::uint16_t> addresses,
                    const TerminalOptions& options) {
    if (running_.load() || thread_.joinable()) return -1;
    if (fd < 0 || addresses.empty() || addresses.size() > 32) return -1;
    for (std::uint16_t a : addresses)
        if (a == 0 || a == kPcAddress) return -1;
    if (::pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) return -1;
    fd_ = fd;
    opt_ = options;
    addresses_.assign(addresses.begin(), addresses.end());
    phase_ = Phase::idle;
    running_.store(true);
    thread_ = std::thread([this] { run(); });
    if (opt_.realtime) {
        // A low real-time priority only where the system grants it; the
        // thread spends its time blocked in poll(), so it takes little.
        sched_param sp{};
        sp.sched_priority = 10;
        [[maybe_unused]] int rc = ::pthread_setschedparam(thread_.native_handle(), SCHED_FIFO, &sp);
    }
    return 0;
}

void Terminal::stop() {
    if (!thread_.joinable()) return;
    {
        // Under the lock, so no submit() slips in after the queue is emptied.
        std::lock_guard<std::mutex> lk(mu_);
        running_.store(false);
    }
    char c = 1;
    [[maybe_unused]] ssize_t w = ::write(wake_[1], &c, 1);
    thread_.join();
    if (phase_ != Phase::idle) finish("cut off: the terminal stopped", false);
    {
        std::lock_guard<std::mutex> lk(mu_);
        for (Exchange& ex : queued_) {
            ex.note = "not sent: the terminal stopped before a poll";
            ex.done_steady_ms = SteadyMs();
            completed_.push_back(std::move(ex));
        }
        queued_.clear();
        pending_out_.clear();
    }
    cv_.notify_all();
    ::close(wake_[0]);
    ::close(wake_[1]);
    wake_[0] = wake_[1] = -1;
}

std::uint64_t Terminal::submit(const Request& request, Expect expect) {
    if (!is_ours(request.address)) return 0;
    Exchange ex;
    ex.request = request;
    ex.expect = ResolveExpect(request, expect);
    Outgoing out;
    BuildRequest(request.address, request.code, request.data, request.fault, request.fault_arg,
                 out);
    std::uint8_t code_sent = request.fault == Fault::code9 ? kCodeNoAck : request.code;
    if (request.fault == Fault::raw) code_sent = request.data.size() > 6 ? request.data[6] : 0;
    ex.series = IsSeriesCode(code_sent);
    std::lock_guard<std::mutex> lk(mu_);
    if (!running_.load()) return 0;
    ex.id = next_id_++;
    std::uint64_t id = ex.id;
    queued_.push_back(std::move(ex));
    pending_out_.push_back(std::move(out));
    return id;
}

int Terminal::wait(std::uint64_t id, Exchange& out, int timeout_ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> lk(mu_);
    if (id == 0 || id >= next_id_) return -1;
    for (;;) {
        for (auto it = completed_.rbegin(); it != completed_.rend(); ++it) {
            if (it->id == id) {
                out = *it;
                return 0;
            }
        }
        if (cv_.wait_until(lk, until) == std::cv_status::timeout) {
            for (const Exchange& ex : completed_) {
                if (ex.id == id) {
                    out = ex;
                    return 0;
                }
            }
            return 1;
        }
    }
}

int Terminal::next_completed(Exchange& out, int timeout_ms) {
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    std::unique_lock<std::mutex> lk(mu_);
    if (!cv_.wait_until(lk, until, [this] { return next_index_ < completed_.size(); })) return 1;
    out = completed_[next_index_++];
    return 0;
}

std::size_t Terminal::pending() const {
    std::lock_guard<std::mutex> lk(mu_);
    return queued_.size() + (busy_.load() ? 1 : 0);
}

std::vector<Frame> Terminal::take_line_log() {
    std::lock_guard<std::mutex> lk(mu_);
    std::vector<Frame> v;
    v.swap(line_log_);
    return v;
}

TerminalStats Terminal::stats() const {
    std::lock_guard<std::mutex> lk(mu_);
    return stats_;
}

bool Terminal::write_all(const std::uint8_t* p, std::size_t n) {
    // The descriptor may be blocking or not; a full queue is waited out
    // for a while (the PC side is not reading) and then given up.
    std::int64_t give_up = SteadyMs() + 2000;
    while (n > 0) {
        ssize_t w = ::write(fd_, p, n);
        if (w > 0) {
            p += w;
            n -= static_cast<std::size_t>(w);
            continue;
        }
        if (w < 0 && errno == EINTR) continue;
        if (w < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) && SteadyMs() < give_up) {
            pollfd pf{fd_, POLLOUT, 0};
            ::poll(&pf, 1, 50);
            continue;
        }
        line_error_.store(true);
        return false;
    }
    return true;
}

void Terminal::send_request(std::uint16_t address, std::int64_t polled_ms) {
    Outgoing out;
    {
        std::lock_guard<std::mutex> lk(mu_);
        std::size_t i = 0;
        while (i < queued_.size() && queued_[i].request.address != address) ++i;
        if (i == queued_.size()) return;
        cur_ = std::move(queued_[i]);
        out = std::move(pending_out_[i]);
        queued_.erase(queued_.begin() + static_cast<std::ptrdiff_t>(i));
        pending_out_.erase(pending_out_.begin() + static_cast<std::ptrdiff_t>(i));
        busy_.store(true);
    }
    cur_.polled_steady_ms = polled_ms;
    if (opt_.answer_delay_ms > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(opt_.answer_delay_ms));
    std::size_t n = out.cut != 0 && out.cut < out.bytes.size() ? out.cut : out.bytes.size();
    bool written = write_all(out.bytes.data(), n);
    cur_.sent.assign(out.bytes.begin(), out.bytes.begin() + static_cast<std::ptrdiff_t>(n));
    cur_.sent_steady_ms = SteadyMs();
    cur_.sent_wall_ms = WallMs();
    phase_ = Phase::await_reply;
    if (!written) {
        finish("the request could not be written to the line", false);
        return;
    }
    std::int64_t start = cur_.sent_steady_ms;
    if (n < out.bytes.size()) {
        // Stalled: polls go unanswered until the pause is over, and the
        // rest of the frame is never sent, so no late bytes spill into
        // another terminal's turn.
        stall_until_ms_ = start + opt_.pause_ms;
        start = stall_until_ms_;
    }
    deadline_ms_ = start + opt_.ack_wait_ms;
}

void Terminal::finish(const char* note, bool timed_out) {
    cur_.note = note;
    cur_.timed_out = timed_out;
    cur_.done_steady_ms = SteadyMs();
    bool answers_valid = std::all_of(cur_.answers.begin(), cur_.answers.end(),
                                     [](const Frame& f) { return f.valid(); });
    switch (cur_.expect) {
    case Expect::answer:
        cur_.ok = cur_.reply == Reply::ack && !cur_.answers.empty() && answers_valid &&
                  (!cur_.series || cur_.series_complete);
        break;
    case Expect::nack: cur_.ok = cur_.reply == Reply::nack && cur_.reply_frame.valid(); break;
    case Expect::none: cur_.ok = cur_.reply == Reply::none; break;
    case Expect::automatic: cur_.ok = false; break;
    }
    phase_ = Phase::idle;
    {
        std::lock_guard<std::mutex> lk(mu_);
        completed_.push_back(std::move(cur_));
        busy_.store(false);
    }
    cur_ = Exchange{};
    cv_.notify_all();
}

void Terminal::handle_frame(Frame& f, bool more_pending) {
    {
        std::lock_guard<std::mutex> lk(mu_);
        ++stats_.frames;
        // Frames to the PC are requests of terminals on a shared line, or
        // the echo of our own from a two-wire adapter; their checksum
        // follows the other rule.
        if (!f.valid() && f.dest != kPcAddress) ++stats_.broken_frames;
        if (opt_.line_log_max != 0) {
            if (line_log_.size() >= opt_.line_log_max)
                line_log_.erase(line_log_.begin(),
                                line_log_.begin() + 1 +
                                    static_cast<std::ptrdiff_t>(line_log_.size() / 4));
            line_log_.push_back(f);
        }
    }
    if (f.dest == kPcAddress) return;
    const bool ours = is_ours(f.dest);
    const bool poll = f.code == kCodePoll && f.length_field == 0 && f.valid();

    if (phase_ == Phase::await_reply) {
        if (ours && f.dest == cur_.request.address && f.valid() &&
            (f.code == kCodeAck || f.code == kCodeNack)) {
            cur_.reply = f.code == kCodeAck ? Reply::ack : Reply::nack;
            cur_.reply_frame = f;
            if (cur_.reply == Reply::nack) {
                finish("NACK", false);
                return;
            }
            phase_ = Phase::await_answer;
            deadline_ms_ = f.steady_ms + opt_.answer_wait_ms;
            return;
        }
        // The PC went on without a word about the request.
        cur_.ended_by_poll = poll;
        finish(poll ? "polled again, neither ACK nor NACK"
                    : "another frame came, neither ACK nor NACK",
               false);
    } else if (phase_ == Phase::await_answer) {
        if (poll) {
            cur_.ended_by_poll = true;
            finish(cur_.answers.empty() ? "polled again before any answer"
                                        : "polled again before the series ended",
                   false);
        } else {
            if (f.dest == cur_.request.address) {
                cur_.answers.push_back(f);
                if (!cur_.series) {
                    finish("answered", false);
                } else if (f.code == kCodeEndOfSeries) {
                    cur_.series_complete = true;
                    finish("series complete", false);
                } else {
                    deadline_ms_ = f.steady_ms + opt_.answer_wait_ms;
                }
            }
            return; // a frame for another address is only logged
        }
    }

    if (phase_ != Phase::idle || !ours || !poll) return;
    {
        std::lock_guard<std::mutex> lk(mu_);
        ++stats_.polls;
        // The PC sends nothing after a poll while it listens for the
        // answer, so bytes already behind it mean the poll's turn is over.
        if (more_pending) {
            ++stats_.stale_polls;
            return;
        }
    }
    if (f.steady_ms < stall_until_ms_) return;
    send_request(f.dest, f.steady_ms);
}

void Terminal::run() {
    FrameDecoder dec;
    Frame f;
    std::uint8_t buf[1024];
    std::size_t have = 0;
    std::size_t pos = 0;
    std::int64_t last_byte_ms = SteadyMs();
    std::uint64_t noise_seen = 0;

    while (running_.load()) {
        while (pos < have) {
            FrameDecoder::Result r = dec.feed(buf[pos++], f);
            if (r == FrameDecoder::Result::frame) {
                f.steady_ms = SteadyMs();
                f.wall_ms = WallMs();
                bool more = pos < have;
                if (!more) {
                    int avail = 0;
                    if (::ioctl(fd_, FIONREAD, &avail) == 0 && avail > 0) more = true;
                }
                handle_frame(f, more);
            } else if (r == FrameDecoder::Result::dropped) {
                std::lock_guard<std::mutex> lk(mu_);
                ++stats_.broken_frames;
            }
        }
        have = pos = 0;
        if (dec.noise_bytes() != noise_seen) {
            noise_seen = dec.noise_bytes();
            std::lock_guard<std::mutex> lk(mu_);
            stats_.noise_bytes = noise_seen;
        }

        std::int64_t now = SteadyMs();
        if (phase_ == Phase::await_reply && now >= deadline_ms_) {
            finish("no ACK or NACK came", true);
        } else if (phase_ == Phase::await_answer && now >= deadline_ms_) {
            finish(cur_.answers.empty() ? "no answer came" : "the series stopped without code 3",
                   true);
        }
        if (dec.in_frame() && now - last_byte_ms >= opt_.frame_gap_ms) {
            dec.reset();
            std::lock_guard<std::mutex> lk(mu_);
            ++stats_.broken_frames;
        }

        int timeout = 100;
        if (phase_ != Phase::idle)
            timeout = static_cast<int>(std::clamp<std::int64_t>(deadline_ms_ - now, 0, 100));
        pollfd pf[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        int rc = ::poll(pf, 2, timeout);
        if (rc < 0) {
            if (errno == EINTR) continue;
            line_error_.store(true);
            ::poll(&pf[1], 1, 50);
            continue;
        }
        if (pf[1].revents != 0) {
            char drain[16];
            while (::read(wake_[0], drain, sizeof(drain)) > 0) {
            }
            continue;
        }
        if ((pf[0].revents & POLLIN) != 0) {
            ssize_t n = ::read(fd_, buf, sizeof(buf));
            if (n > 0) {
                have = static_cast<std::size_t>(n);
                last_byte_ms = SteadyMs();
                if (opt_.echo) write_all(buf, have);
                continue;
            }
            if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
            line_error_.store(true);
            ::poll(&pf[1], 1, 50);
        } else if ((pf[0].revents & (POLLHUP | POLLERR | POLLNVAL)) != 0) {
            // The other side is closed (a pseudo-terminal whose slave is
            // not open): wait a little instead of spinning.
            line_error_.store(true);
            ::poll(&pf[1], 1, 50);
        }
    }
}

} // namespace talvoterm
