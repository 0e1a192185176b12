// Running the real wtalvoc from a test: once to its end (as another user
// when asked), or in the background with its standard error kept.
#pragma once

#include <chrono>
#include <csignal>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <grp.h>
#include <sstream>
#include <string>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <filesystem>
#include <gtest/gtest.h>

#include "platform/pty.h"
#include "tests/manager/support.h"
#include "tools/talvoterm/terminal.h"

namespace mtest {

struct Ran {
    int status = -1;
    std::string out, err;
};

// Runs wtalvoc in dir with args (as uid when given) and waits for it.
inline Ran RunWtalvoc(const std::string& dir, const std::vector<std::string>& args, int uid = -1) {
    const std::string out = dir + "/.run.out", err = dir + "/.run.err";
    const int o = ::open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const int e = ::open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    const pid_t pid = ::fork();
    if (pid == 0) {
        if (uid >= 0 && (::setgroups(0, nullptr) != 0 || ::setgid(static_cast<gid_t>(uid)) != 0 ||
                         ::setuid(static_cast<uid_t>(uid)) != 0))
            ::_exit(125);
        if (o < 0 || e < 0 || ::chdir(dir.c_str()) != 0) ::_exit(126);
        ::dup2(o, 1);
        ::dup2(e, 2);
        std::vector<char*> argv{const_cast<char*>(WTALVOC_PATH)};
        for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
        argv.push_back(nullptr);
        ::execv(WTALVOC_PATH, argv.data());
        ::_exit(127);
    }
    Ran r;
    int status = 0;
    ::waitpid(pid, &status, 0);
    ::close(o);
    ::close(e);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    r.out = mtest::ReadFile(out);
    r.err = mtest::ReadFile(err);
    ::unlink(out.c_str());
    ::unlink(err.c_str());
    return r;
}

// A manager running in the background, its standard error kept in a file.
class Background {
  public:
    ~Background() { stop(); }
    // Standard output and error go to log (by default manager.log in dir);
    // with uid, it runs as that user without the right to real-time priority.
    void start(const std::string& dir, const std::vector<std::string>& args,
               const std::string& log = "", int uid = -1) {
        log_ = log.empty() ? dir + "/manager.log" : log;
        pid_ = ::fork();
        if (pid_ == 0) {
            if (::chdir(dir.c_str()) != 0) ::_exit(127);
            ::unsetenv("DISPLAY"); // headless, whatever the tests' environment says
            const int fd = ::open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            const rlimit none{0, 0};
            if (uid >= 0 &&
                (::setrlimit(RLIMIT_RTPRIO, &none) != 0 || ::setgroups(0, nullptr) != 0 ||
                 ::setgid(static_cast<gid_t>(uid)) != 0 || ::setuid(static_cast<uid_t>(uid)) != 0))
                ::_exit(125);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            std::vector<char*> argv{const_cast<char*>(WTALVOC_PATH)};
            for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
            argv.push_back(nullptr);
            ::execv(WTALVOC_PATH, argv.data());
            ::_exit(127);
        }
    }
    // Waits up to seconds for the end (the signal first, 0 none); the exit
    // status, or -1 (then it is killed).
    int stop(int signal = SIGTERM, int seconds = 60) {
        if (pid_ <= 0) return -1;
        if (signal != 0) ::kill(pid_, signal);
        for (int i = 0; i < seconds * 50; ++i) {
            int status = 0;
            if (::waitpid(pid_, &status, WNOHANG) == pid_) {
                pid_ = -1;
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        ::kill(pid_, SIGKILL);
        ::waitpid(pid_, nullptr, 0);
        pid_ = -1;
        return -1;
    }
    bool running() const { return pid_ > 0 && ::kill(pid_, 0) == 0; }
    std::string log() const { return mtest::ReadFile(log_); }
    // Processor time the program used so far (user and system), in ms.
    long cpu_ms() const {
        std::ifstream stat("/proc/" + std::to_string(pid_) + "/stat");
        std::string line;
        std::getline(stat, line);
        const std::size_t end = line.rfind(')');
        if (end == std::string::npos) return -1;
        std::istringstream fields(line.substr(end + 2));
        std::string skip;
        for (int i = 3; i < 14; ++i) fields >> skip; // state .. cmajflt
        long user = 0, system = 0;
        fields >> user >> system;
        return (user + system) * 1000 / ::sysconf(_SC_CLK_TCK);
    }

  private:
    pid_t pid_ = -1;
    std::string log_;
};

// A test with its own directory, a pseudo-terminal line COM1 with simulated
// terminals, and a manager in the background.
class ProgramTest : public ::testing::Test {
  public:
    ~ProgramTest() override {
        manager.stop();
        term.stop();
        platform::pty_release(pty);
    }
    void Line(const std::vector<std::uint16_t>& addresses) {
        ASSERT_EQ(platform::pty_create(pty, dir.file("COM1").c_str()), 0);
        ASSERT_EQ(term.start(pty.master, addresses), 0);
    }
    // Sends a request; the exchange must end as expected.
    void Ask(std::uint16_t address, std::uint8_t code, const std::string& data = "",
             talvoterm::Fault fault = talvoterm::Fault::none) {
        talvoterm::Request r;
        r.address = address;
        r.code = code;
        r.data.assign(data.begin(), data.end());
        r.fault = fault;
        talvoterm::Exchange ex;
        ASSERT_EQ(term.wait(term.submit(r), ex, 40000), 0);
        EXPECT_TRUE(ex.ok) << int(code) << " " << ex.note << manager.log();
    }
    // The files the directory holds, besides `except`.
    std::vector<std::string> Files(const std::string& except = "") const {
        std::vector<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir.path()))
            if (e.path().filename() != except) names.push_back(e.path().filename());
        return names;
    }
    mtest::ScratchDir dir{false};
    platform::PtyPair pty;
    talvoterm::Terminal term;
    Background manager;
};

} // namespace mtest
