// The talvoterm program end to end: started in a scratch directory with
// --pty COM1, the test opens COM1 as the PC, polls, acknowledges and
// answers; then the exit status, the decoded printout and the summary.
#include "tests/talvoterm/fake_pc.h"
#include "tools/talvoterm/frame.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

using talvoterm::testing::Bytes;
using talvoterm::testing::FakePc;
using talvoterm::testing::PcFrame;

struct Scratch {
    std::string dir;
    Scratch() {
        char tmpl[] = "/tmp/talvoterm-run-XXXXXX";
        const char* p = ::mkdtemp(tmpl);
        dir = p != nullptr ? p : "";
    }
    ~Scratch() {
        std::error_code ec;
        if (!dir.empty()) std::filesystem::remove_all(dir, ec);
    }
    std::string path(const std::string& name) const { return dir + "/" + name; }
    void write(const std::string& name, const std::string& text) const {
        std::ofstream(path(name), std::ios::binary) << text;
    }
    std::string read(const std::string& name) const {
        std::ifstream in(path(name), std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    }
};

// A talvoterm process with its standard input from a file and its output
// into out.txt / err.txt of the scratch directory.
struct Program {
    pid_t pid = -1;
    int status = -1;

    bool start(const Scratch& s, const std::vector<std::string>& args,
               const std::string& stdin_file) {
        pid = ::fork();
        if (pid < 0) return false;
        if (pid == 0) {
            if (::chdir(s.dir.c_str()) != 0) ::_exit(120);
            int in = ::open(stdin_file.empty() ? "/dev/null" : stdin_file.c_str(), O_RDONLY);
            int out = ::open("out.txt", O_CREAT | O_WRONLY | O_TRUNC, 0644);
            int err = ::open("err.txt", O_CREAT | O_WRONLY | O_TRUNC, 0644);
            if (in < 0 || out < 0 || err < 0) ::_exit(121);
            ::dup2(in, 0);
            ::dup2(out, 1);
            ::dup2(err, 2);
            std::vector<char*> argv;
            std::string prog = TALVOTERM_PATH;
            argv.push_back(prog.data());
            std::vector<std::string> copy = args;
            for (std::string& a : copy) argv.push_back(a.data());
            argv.push_back(nullptr);
            ::execv(prog.c_str(), argv.data());
            ::_exit(122);
        }
        return true;
    }

    // Waits for the exit; kills it after timeout_s. Returns the exit status
    // or -1 when it had to be killed.
    int finish(int timeout_s = 60) {
        if (pid <= 0) return -1;
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(timeout_s);
        for (;;) {
            int st = 0;
            pid_t r = ::waitpid(pid, &st, WNOHANG);
            if (r == pid) {
                pid = -1;
                status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
                return status;
            }
            if (std::chrono::steady_clock::now() > until) {
                ::kill(pid, SIGKILL);
                ::waitpid(pid, &st, 0);
                pid = -1;
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    ~Program() { finish(1); }
};

// Opens the link once the program has made it.
int OpenLink(const std::string& link) {
    for (int i = 0; i < 500; ++i) {
        int fd = ::open(link.c_str(), O_RDWR | O_NOCTTY);
        if (fd >= 0) return fd;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return -1;
}

// Polls `a` until the terminal starts sending, then reads n bytes.
Bytes PollForRequest(FakePc& pc, std::uint16_t a, std::size_t n) {
    for (int i = 0; i < 200; ++i) {
        if (!pc.poll(a)) return {};
        Bytes first = pc.read_for(100);
        if (first.empty()) continue;
        if (first.size() < n) {
            Bytes rest = pc.read_n(n - first.size());
            first.insert(first.end(), rest.begin(), rest.end());
        }
        return first;
    }
    return {};
}

Bytes Request(std::uint16_t a, std::uint8_t code, const Bytes& data,
              talvoterm::Fault fault = talvoterm::Fault::none) {
    talvoterm::Outgoing out;
    talvoterm::BuildRequest(a, code, data, fault, 0, out);
    return out.bytes;
}

TEST(Program, ScriptedExchangesEndAsExpectedAndExitZero) {
    Scratch s;
    ASSERT_FALSE(s.dir.empty());
    s.write("script.txt", "# three requests\n"
                          "5 12 \"12\"\n"
                          "\n"
                          "6 2 APP\\x10\n"
                          "5 12 x badsum\n"
                          "5 9 z\n");
    Program p;
    ASSERT_TRUE(p.start(s, {"--pty", "COM1", "--script", "script.txt", "5", "6"}, ""));
    int fd = OpenLink(s.path("COM1"));
    ASSERT_GE(fd, 0);
    FakePc pc(fd);

    EXPECT_EQ(PollForRequest(pc, 5, 14), Request(5, 12, {'1', '2'}));
    ASSERT_TRUE(pc.ack(5));
    ASSERT_TRUE(pc.send(PcFrame(5, 15, {'O', 'K', 0})));

    EXPECT_EQ(PollForRequest(pc, 6, 17), Request(6, 2, {'A', 'P', 'P', 0x10}));
    ASSERT_TRUE(pc.ack(6));
    ASSERT_TRUE(pc.send(PcFrame(6, 2, {1, 2, 3})));
    ASSERT_TRUE(pc.send(PcFrame(6, 3, {})));

    EXPECT_EQ(PollForRequest(pc, 5, 13), Request(5, 12, {'x'}, talvoterm::Fault::bad_checksum));
    ASSERT_TRUE(pc.nack(5));

    EXPECT_EQ(PollForRequest(pc, 5, 13), Request(5, 9, {'z'}));
    ASSERT_TRUE(pc.poll(5)); // code 9: the PC goes on at once

    EXPECT_EQ(p.finish(), 0) << s.read("out.txt") << s.read("err.txt");
    ::close(fd);
    std::string out = s.read("out.txt");
    EXPECT_NE(out.find("5 -> code 12 len 2 \"12\" [31 32]"), std::string::npos) << out;
    EXPECT_NE(out.find("5 <- ACK"), std::string::npos) << out;
    EXPECT_NE(out.find("5 <- code 15 len 3 \"OK\\x00\" [4F 4B 00]"), std::string::npos) << out;
    EXPECT_NE(out.find("6 <- code 3 len 0"), std::string::npos) << out;
    EXPECT_NE(out.find("5 <- NACK"), std::string::npos) << out;
    EXPECT_NE(out.find("fault badsum"), std::string::npos) << out;
    EXPECT_NE(out.find("4 request(s), 4 ended as expected, 0 failed"), std::string::npos) << out;
    // The link goes with the program.
    struct stat st {};
    EXPECT_NE(::lstat(s.path("COM1").c_str(), &st), 0);
}

TEST(Program, RequestsFromStandardInputAndAFailureGiveStatusOne) {
    Scratch s;
    ASSERT_FALSE(s.dir.empty());
    s.write("in.txt", "5 12 \"a\\0b\"\n5 13 c\n");
    Program p;
    ASSERT_TRUE(p.start(s, {"--pty", "COM1", "--timeout", "30", "5"}, s.path("in.txt")));
    int fd = OpenLink(s.path("COM1"));
    ASSERT_GE(fd, 0);
    FakePc pc(fd);
    EXPECT_EQ(PollForRequest(pc, 5, 15), Request(5, 12, {'a', 0, 'b'}));
    ASSERT_TRUE(pc.nack(5)); // a good request refused: a failure
    EXPECT_EQ(PollForRequest(pc, 5, 13), Request(5, 13, {'c'}));
    ASSERT_TRUE(pc.ack(5));
    ASSERT_TRUE(pc.send(PcFrame(5, 15, {})));
    EXPECT_EQ(p.finish(), 1) << s.read("err.txt");
    ::close(fd);
    std::string out = s.read("out.txt");
    EXPECT_NE(out.find("2 request(s), 1 ended as expected, 1 failed"), std::string::npos) << out;
    EXPECT_NE(out.find("failed #1 (5 code 12): NACK"), std::string::npos) << out;
}

TEST(Program, UnansweredRequestsTimeOutWithStatusOne) {
    Scratch s;
    ASSERT_FALSE(s.dir.empty());
    s.write("in.txt", "5 12 never\n");
    Program p;
    ASSERT_TRUE(p.start(s, {"--pty", "COM1", "--timeout", "1", "5"}, s.path("in.txt")));
    EXPECT_EQ(p.finish(), 1);
    std::string out = s.read("out.txt");
    EXPECT_NE(out.find("1 request(s), 0 ended as expected"), std::string::npos) << out;
    EXPECT_NE(out.find("not sent"), std::string::npos) << out;
}

TEST(Program, UsageAndScriptErrorsGiveStatusTwoBeforeTheLineExists) {
    Scratch s;
    ASSERT_FALSE(s.dir.empty());
    s.write("bad.txt", "5 12 ok\n5 12 \"open\n7 12 other\n");
    {
        Program p;
        ASSERT_TRUE(p.start(s, {"--pty", "COM1", "--script", "bad.txt", "5"}, ""));
        EXPECT_EQ(p.finish(), 2);
        std::string err = s.read("err.txt");
        EXPECT_NE(err.find("bad.txt:2: unterminated quote"), std::string::npos) << err;
        EXPECT_NE(err.find("bad.txt:3: address 7 is not played here"), std::string::npos) << err;
        struct stat st {};
        EXPECT_NE(::lstat(s.path("COM1").c_str(), &st), 0);
    }
    const std::vector<std::vector<std::string>> bad_args = {
        {"5"},             // no line
        {"--pty", "COM1"}, // no address
        {"--pty", "COM1", "--device", "/dev/null", "5"},
        {"--pty", "COM1", "1"}, // the PC's own address
        {"--pty", "COM1", "70000"},
        {"--pty", "COM1", "--timeout", "soon", "5"},
        {"--pty", "COM1", "--script", "missing.txt", "5"},
        {"--device", "/dev/null", "5"}, // not a serial line
        {"--pty"},
    };
    for (const auto& args : bad_args) {
        Program p;
        ASSERT_TRUE(p.start(s, args, ""));
        EXPECT_EQ(p.finish(), 2) << args.size();
        if (args.back() == "1") { // refused with the reason
            EXPECT_NE(s.read("err.txt").find("PC's own address"), std::string::npos);
        }
    }
}

} // namespace
