// What the link tests share: a scratch directory made the current one (the
// driver's logs land there), a pseudo-terminal pair published as a port
// name in it, and a raw terminal that answers polls with exact bytes.
#pragma once

#include "platform/pty.h"
#include "tools/talvoterm/frame.h"

#include <condition_variable>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace linktest {

// A fresh directory, current while the object lives.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    const std::string& path() const { return path_; }
    // The whole content of a file in it ("" when missing).
    std::string Read(const char* name) const;

  private:
    std::string path_;
    std::string previous_;
};

// A pseudo-terminal pair whose slave side is reachable as `name` in the
// current directory.
struct PtyLine {
    platform::PtyPair pair;
    explicit PtyLine(const char* name);
    ~PtyLine();
    int master() const { return pair.master; }
};

// The terminal side at the byte level: every frame the PC sends is decoded
// and kept; a poll to an address with queued raw replies gets the next one
// written back at once.
class RawPeer {
  public:
    explicit RawPeer(int fd);
    ~RawPeer();
    void Queue(std::uint16_t address, std::vector<std::uint8_t> bytes);
    // Waits up to ms for the frames to number at least count; returns a copy.
    std::vector<talvoterm::Frame> WaitFrames(std::size_t count, int ms);
    // Waits up to ms for a frame after index `from` with the code and dest
    // given; returns its index or -1.
    int WaitFor(std::size_t from, std::uint8_t code, std::uint16_t dest, int ms);
    std::vector<talvoterm::Frame> Frames();

  private:
    void Run();
    int fd_;
    int wake_[2] = {-1, -1};
    std::thread thread_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::vector<talvoterm::Frame> frames_;
    std::map<std::uint16_t, std::vector<std::vector<std::uint8_t>>> replies_;
};

// A page that any access faults on (not null, so sanitizers let the
// access happen and the fault reach the driver's handler).
std::uint8_t* UnmappedPage();

std::string Hex(const std::vector<std::uint8_t>& bytes);

} // namespace linktest
