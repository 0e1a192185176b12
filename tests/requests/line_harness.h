// A manager on a line for the table-request tests: a scratch data directory
// with its talvo.cfg and tables, a pseudo-terminal published there as COM1,
// simulated terminals on its master side, and the real wtalvoc program
// started in that directory. Each test asks requests and reads the answers.
#pragma once

#include "platform/pty.h"
#include "tests/requests/table_files.h"
#include "tools/talvoterm/terminal.h"

#include <cstdint>
#include <string>
#include <sys/types.h>
#include <vector>

namespace linetest {

// A data-file entry of talvo.cfg.
struct DataFile {
    std::string name; // as the manager opens it (relative to the data directory)
    char kind;        // 'A', 'D', 'I' or 'C'
    int table = 0;    // for 'I' / 'C': number of the 'D' entry, counted from 1
};

// talvo.cfg as the manager reads it: the terminals (slot i gets address
// addresses[i]; 0 leaves the slot empty), COM1 enabled, the data files.
std::vector<std::uint8_t> BuildConfig(const std::vector<std::uint16_t>& addresses,
                                      const std::vector<DataFile>& files, bool commit = true);

// One answer as the terminal received it.
struct Answer {
    bool ok = false; // ACK came and exactly one valid answer frame
    std::uint8_t code = 0;
    std::vector<std::uint8_t> data;
    std::string note; // what went wrong, for failure messages
};

// How the manager is started: the display it may open ("" = none: it runs
// headless whatever the tests' own environment says) and its arguments.
struct Launch {
    std::string display;
    std::vector<std::string> args;
};

// Starts the real wtalvoc in `dir`, its output in dir/manager.out; returns
// its process id, or -1 when it could not be started.
pid_t StartManager(const std::string& dir, const Launch& launch = {});
// Stops a manager started so with SIGTERM and waits up to 30 s (then kills
// it); returns its exit status, or -1. `pid` becomes -1.
int StopManager(pid_t& pid);

class Line {
  public:
    Line();
    ~Line();
    Line(const Line&) = delete;
    Line& operator=(const Line&) = delete;

    // The scratch directory (created by the constructor).
    const std::string& dir() const { return dir_; }
    std::string path(const std::string& name) const { return dir_ + "/" + name; }

    // Copies a peer-made fixture into the directory (false when missing).
    bool copy_fixture(const std::string& name);

    // Writes talvo.cfg, publishes COM1, starts the terminals and the manager.
    // Returns false (with a message in why()) when something is missing.
    bool start(const std::vector<std::uint16_t>& addresses, const std::vector<DataFile>& files);

    // Sends one request from `address` and waits for its answer.
    Answer ask(std::uint16_t address, std::uint8_t code, const std::vector<std::uint8_t>& data);
    Answer ask(std::uint16_t address, std::uint8_t code, const std::string& data) {
        return ask(address, code, std::vector<std::uint8_t>(data.begin(), data.end()));
    }
    // Queues several requests from one address at once (they go out one per
    // poll, in order) and waits for all the answers, in the same order.
    std::vector<Answer> ask_many(std::uint16_t address, std::uint8_t code,
                                 const std::vector<std::vector<std::uint8_t>>& data);
    // Sends one request that gets no answer frame (code 9) or checks that none comes.
    bool ask_no_answer(std::uint16_t address, std::uint8_t code,
                       const std::vector<std::uint8_t>& data);

    // Stops the manager with SIGTERM; returns its exit status (or -1).
    int stop();
    // Waits up to `seconds` for the manager to end by itself; its exit
    // status, or -1 (it then still runs).
    int wait(int seconds);

    // Used by the next start.
    void set_launch(const Launch& launch) { launch_ = launch; }

    const std::string& why() const { return why_; }

  private:
    std::string dir_;
    std::string why_;
    platform::PtyPair pty_;
    talvoterm::Terminal term_;
    bool term_started_ = false;
    pid_t manager_ = -1;
    Launch launch_;
};

// Text of n (a NUL-terminated request argument, as terminals send them).
std::vector<std::uint8_t> Args(std::uint8_t b0, std::uint8_t b1, const std::string& text,
                               bool nul = true);
// Two texts one after the other, each with its NUL.
std::vector<std::uint8_t> Args2(const std::string& first, const std::string& second);

} // namespace linetest
