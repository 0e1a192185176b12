// The manager-on-a-line harness of the table-request tests (see line_harness.h).
#include "tests/requests/line_harness.h"

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

#ifndef WTALVOC_PATH
#define WTALVOC_PATH ""
#endif
#ifndef FIXTURES_PATH
#define FIXTURES_PATH ""
#endif

namespace linetest {

namespace {

void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v & 0xFF);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

void PutText(std::vector<std::uint8_t>& b, std::size_t at, const std::string& s) {
    std::memcpy(b.data() + at, s.data(), std::min<std::size_t>(s.size(), 63));
}

bool WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
    return static_cast<bool>(f);
}

} // namespace

std::vector<std::uint8_t> BuildConfig(const std::vector<std::uint16_t>& addresses,
                                      const std::vector<DataFile>& files, bool commit) {
    std::vector<std::uint8_t> b(4125, 0);
    for (std::size_t i = 0; i < addresses.size() && i < 32; ++i) {
        Put16(b, 2 * i, addresses[i]);
        if (addresses[i] != 0) PutText(b, 2053 + 64 * i, "TERMINAL.BIN");
    }
    b[64] = 1; // terminals declared
    b[65] = 1; // COM1
    Put16(b, 4109, 0x3F8);
    for (std::size_t j = 0; j < files.size() && j < 30; ++j) {
        PutText(b, 73 + 64 * j, files[j].name);
        b[1993 + j] = static_cast<std::uint8_t>(files[j].kind);
        b[2023 + j] = static_cast<std::uint8_t>(files[j].table);
    }
    b[4108] = commit ? 1 : 0;
    return b;
}

std::vector<std::uint8_t> Args(std::uint8_t b0, std::uint8_t b1, const std::string& text,
                               bool nul) {
    std::vector<std::uint8_t> v{b0, b1};
    v.insert(v.end(), text.begin(), text.end());
    if (nul) v.push_back(0);
    return v;
}

std::vector<std::uint8_t> Args2(const std::string& first, const std::string& second) {
    std::vector<std::uint8_t> v = Args(0, 0, first);
    v.insert(v.end(), second.begin(), second.end());
    v.push_back(0);
    return v;
}

Line::Line() {
    char tmpl[] = "/tmp/tablereq.XXXXXX";
    const char* made = mkdtemp(tmpl);
    dir_ = made != nullptr ? made : "";
}

Line::~Line() {
    stop();
    if (term_started_) term_.stop();
    platform::pty_release(pty_);
    if (!dir_.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
}

bool Line::copy_fixture(const std::string& name) {
    std::error_code ec;
    const std::string from = std::string(FIXTURES_PATH) + "/peer/" + name;
    std::filesystem::copy_file(from, path(name), std::filesystem::copy_options::overwrite_existing,
                               ec);
    if (ec) return false;
    ::chmod(path(name).c_str(), 0644);
    return true;
}

bool Line::start(const std::vector<std::uint16_t>& addresses, const std::vector<DataFile>& files) {
    if (dir_.empty()) {
        why_ = "no scratch directory";
        return false;
    }
    if (std::string(WTALVOC_PATH).empty() || ::access(WTALVOC_PATH, X_OK) != 0) {
        why_ = "the manager program wtalvoc is not built";
        return false;
    }
    if (!WriteFile(path("talvo.cfg"), BuildConfig(addresses, files))) {
        why_ = "cannot write talvo.cfg";
        return false;
    }
    if (platform::pty_create(pty_, path("COM1").c_str()) != 0) {
        why_ = "cannot create a pseudo-terminal";
        return false;
    }
    std::vector<std::uint16_t> played;
    for (std::uint16_t a : addresses)
        if (a != 0) played.push_back(a);
    if (term_.start(pty_.master, played) != 0) {
        why_ = "cannot start the simulated terminals";
        return false;
    }
    term_started_ = true;

    manager_ = StartManager(dir_, launch_);
    if (manager_ < 0) {
        why_ = "fork failed";
        return false;
    }
    return true;
}

namespace {

Answer ToAnswer(const talvoterm::Exchange& ex) {
    Answer a;
    a.note = ex.note;
    if (ex.reply != talvoterm::Reply::ack || ex.answers.size() != 1 || !ex.answers[0].valid()) {
        a.note += " (no single valid answer)";
        return a;
    }
    a.ok = true;
    a.code = ex.answers[0].code;
    a.data = ex.answers[0].data;
    return a;
}

} // namespace

Answer Line::ask(std::uint16_t address, std::uint8_t code, const std::vector<std::uint8_t>& data) {
    return ask_many(address, code, {data}).front();
}

std::vector<Answer> Line::ask_many(std::uint16_t address, std::uint8_t code,
                                   const std::vector<std::vector<std::uint8_t>>& data) {
    std::vector<std::uint64_t> ids;
    for (const auto& d : data) {
        talvoterm::Request req;
        req.address = address;
        req.code = code;
        req.data = d;
        ids.push_back(term_.submit(req, talvoterm::Expect::answer));
    }
    std::vector<Answer> answers;
    for (std::uint64_t id : ids) {
        talvoterm::Exchange ex;
        if (id == 0 || term_.wait(id, ex, 30000) != 0) {
            Answer a;
            a.note = "no exchange";
            answers.push_back(a);
        } else {
            answers.push_back(ToAnswer(ex));
        }
    }
    return answers;
}

bool Line::ask_no_answer(std::uint16_t address, std::uint8_t code,
                         const std::vector<std::uint8_t>& data) {
    talvoterm::Request req;
    req.address = address;
    req.code = code;
    req.data = data;
    const std::uint64_t id = term_.submit(req, talvoterm::Expect::none);
    talvoterm::Exchange ex;
    return id != 0 && term_.wait(id, ex, 30000) == 0 && ex.answers.empty();
}

int Line::stop() {
    return StopManager(manager_);
}

int Line::wait(int seconds) {
    if (manager_ <= 0) return -1;
    int status = 0;
    for (int i = 0; i < seconds * 20; ++i) {
        if (::waitpid(manager_, &status, WNOHANG) == manager_) {
            manager_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return -1;
}

pid_t StartManager(const std::string& dir, const Launch& launch) {
    std::vector<char*> argv{const_cast<char*>("wtalvoc")};
    for (const std::string& a : launch.args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = ::fork();
    if (pid < 0) return -1;
    if (pid == 0) {
        if (::chdir(dir.c_str()) != 0) _exit(126);
        const int out = ::open("manager.out", O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out >= 0) {
            ::dup2(out, 1);
            ::dup2(out, 2);
        }
        if (launch.display.empty())
            ::unsetenv("DISPLAY");
        else
            ::setenv("DISPLAY", launch.display.c_str(), 1);
        ::execv(WTALVOC_PATH, argv.data());
        _exit(127);
    }
    return pid;
}

int StopManager(pid_t& pid) {
    if (pid <= 0) return -1;
    ::kill(pid, SIGTERM);
    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 600 && done == 0; ++i) {
        done = ::waitpid(pid, &status, WNOHANG);
        if (done == 0) std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    if (done == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &status, 0);
        pid = -1;
        return -1;
    }
    pid = -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

} // namespace linetest
