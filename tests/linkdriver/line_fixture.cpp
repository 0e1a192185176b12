// Scratch directories, published pseudo-terminals and the raw terminal peer.
#include "tests/linkdriver/line_fixture.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <poll.h>
#include <sstream>
#include <stdexcept>
#include <sys/mman.h>
#include <unistd.h>

namespace linktest {

ScratchDir::ScratchDir() {
    char tmpl[] = "/tmp/serilo-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) throw std::runtime_error("mkdtemp");
    path_ = tmpl;
    previous_ = std::filesystem::current_path().string();
    std::filesystem::current_path(path_);
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::current_path(previous_, ec);
    std::filesystem::remove_all(path_, ec);
}

std::string ScratchDir::Read(const char* name) const {
    std::ifstream in(path_ + "/" + name, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

PtyLine::PtyLine(const char* name) {
    if (platform::pty_create(pair, name) != 0) throw std::runtime_error("pty_create");
}

PtyLine::~PtyLine() {
    platform::pty_release(pair);
}

RawPeer::RawPeer(int fd) : fd_(fd) {
    if (pipe2(wake_, O_CLOEXEC | O_NONBLOCK) != 0) throw std::runtime_error("pipe");
    thread_ = std::thread([this] { Run(); });
}

RawPeer::~RawPeer() {
    char c = 1;
    (void)!write(wake_[1], &c, 1);
    thread_.join();
    close(wake_[0]);
    close(wake_[1]);
}

void RawPeer::Queue(std::uint16_t address, std::vector<std::uint8_t> bytes) {
    std::lock_guard lock(mu_);
    replies_[address].push_back(std::move(bytes));
}

std::vector<talvoterm::Frame> RawPeer::WaitFrames(std::size_t count, int ms) {
    std::unique_lock lock(mu_);
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] { return frames_.size() >= count; });
    return frames_;
}

int RawPeer::WaitFor(std::size_t from, std::uint8_t code, std::uint16_t dest, int ms) {
    std::unique_lock lock(mu_);
    int found = -1;
    cv_.wait_for(lock, std::chrono::milliseconds(ms), [&] {
        for (std::size_t i = from; i < frames_.size(); ++i)
            if (frames_[i].code == code && frames_[i].dest == dest) {
                found = int(i);
                return true;
            }
        return false;
    });
    return found;
}

std::vector<talvoterm::Frame> RawPeer::Frames() {
    std::lock_guard lock(mu_);
    return frames_;
}

void RawPeer::Run() {
    talvoterm::FrameDecoder decoder;
    talvoterm::Frame frame;
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {wake_[0], POLLIN, 0}};
        if (poll(fds, 2, 200) < 0 && errno != EINTR) return;
        if (fds[1].revents & POLLIN) return;
        if (!(fds[0].revents & POLLIN)) continue;
        std::uint8_t buf[512];
        ssize_t n = read(fd_, buf, sizeof buf);
        if (n <= 0) continue;
        for (ssize_t i = 0; i < n; ++i) {
            if (decoder.feed(buf[i], frame) != talvoterm::FrameDecoder::Result::frame) continue;
            std::vector<std::uint8_t> reply;
            {
                std::lock_guard lock(mu_);
                frames_.push_back(frame);
                auto it = replies_.find(frame.dest);
                if (frame.code == talvoterm::kCodePoll && it != replies_.end() &&
                    !it->second.empty()) {
                    reply = std::move(it->second.front());
                    it->second.erase(it->second.begin());
                }
            }
            cv_.notify_all();
            if (!reply.empty()) {
                std::size_t done = 0;
                while (done < reply.size()) {
                    ssize_t w = write(fd_, reply.data() + done, reply.size() - done);
                    if (w > 0)
                        done += std::size_t(w);
                    else if (errno != EAGAIN && errno != EINTR)
                        break;
                }
            }
        }
    }
}

std::uint8_t* UnmappedPage() {
    void* p = mmap(nullptr, 4096, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return p == MAP_FAILED ? nullptr : static_cast<std::uint8_t*>(p);
}

std::string Hex(const std::vector<std::uint8_t>& bytes) {
    std::string out;
    char b[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        out += b;
    }
    return out;
}

} // namespace linktest
