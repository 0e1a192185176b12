// talvoterm: plays one or more terminals on a serial device or on a new
// pseudo-terminal pair, sends the requests of a script (or standard input)
// when polled, and prints every exchange decoded.
#include "platform/pty.h"
#include "tools/cli.h"
#include "tools/talvoterm/script.h"
#include "tools/talvoterm/terminal.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <getopt.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>
#include <vector>

namespace {

using namespace talvoterm;

volatile std::sig_atomic_t g_stop = 0;

void OnSignal(int) {
    g_stop = 1;
}

// Waits for one connection on HOST:PORT; its descriptor, or -1 after
// saying why.
int AcceptTcp(const char* target) {
    std::string host(target);
    const std::size_t colon = host.rfind(':');
    if (colon == std::string::npos || colon == 0) {
        std::fprintf(stderr, "talvoterm: --tcp-listen wants HOST:PORT, not '%s'\n", target);
        return -1;
    }
    const std::string port = host.substr(colon + 1);
    host.resize(colon);
    addrinfo hints{};
    hints.ai_socktype = SOCK_STREAM;
    hints.ai_flags = AI_PASSIVE | AI_NUMERICSERV;
    addrinfo* found = nullptr;
    if (::getaddrinfo(host.c_str(), port.c_str(), &hints, &found) != 0 || found == nullptr) {
        std::fprintf(stderr, "talvoterm: cannot resolve %s\n", target);
        return -1;
    }
    int ls = ::socket(found->ai_family, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    if (ls >= 0) ::setsockopt(ls, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    const bool ok =
        ls >= 0 && ::bind(ls, found->ai_addr, found->ai_addrlen) == 0 && ::listen(ls, 1) == 0;
    ::freeaddrinfo(found);
    if (!ok) {
        std::fprintf(stderr, "talvoterm: cannot listen on %s: %s\n", target, std::strerror(errno));
        if (ls >= 0) ::close(ls);
        return -1;
    }
    std::printf("talvoterm: waiting for the PC on %s\n", target);
    std::fflush(stdout);
    int fd = -1;
    while (fd < 0 && g_stop == 0) {
        fd = ::accept4(ls, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0 && errno != EINTR) break;
    }
    ::close(ls);
    if (fd >= 0) ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return fd;
}

void Usage(std::FILE* to) {
    std::fputs(
        "Usage: talvoterm (--pty NAME | --device PATH | --tcp-listen HOST:PORT) [OPTION...] "
        "ADDRESS...\n"
        "Plays terminals on a serial line and prints every exchange decoded.\n"
        "  --pty NAME      create a pseudo-terminal pair and a link NAME to its slave side\n"
        "  --device PATH   use a serial device (57600 8N1, raw)\n"
        "  --tcp-listen HOST:PORT  play terminals behind a TCP serial server: wait for the\n"
        "                  PC's connection there\n"
        "  --echo          echo every byte the PC writes, as an echoing 2-wire adapter does\n"
        "  --answer-delay MS  start each request MS after its poll (a late terminal)\n"
        "  --script FILE   read requests from FILE (default: standard input)\n"
        "  --timeout SEC   wait at most SEC seconds for open requests at the end (default 60)\n"
        "  --pause MS      stall of the pause faults (default 300)\n"
        "  --hold          keep answering polls (silence) after the script, until a signal\n"
        "  --verbose       print every frame seen on the line, and raw bytes\n"
        "  -h, --help      print this help and exit\n"
        "  -V, --version   print the version and exit\n"
        "  ADDRESS...      1 to 32 terminal addresses (decimal or 0x hex) played here\n"
        "script lines: ADDRESS CODE [DATA] [OPTION...] | sleep MS | wait | # comment\n"
        "  DATA: a word or \"text\" with \\0 \\xNN \\n \\r \\t \\s \\\\ \\\" escapes\n"
        "  OPTION: stray[=NN] missing[=N] badsum badlength badsource pause-header\n"
        "          pause-data code9 oversize[=N] nodouble raw expect=answer|nack|none\n"
        "          (nodouble: data bytes 0x10 sent once; raw: DATA is the whole frame)\n"
        "exit status: 0 every request ended as expected, 1 otherwise, 2 usage or line error\n",
        to);
}

std::string TimeText(std::int64_t wall_ms) {
    std::time_t secs = static_cast<std::time_t>(wall_ms / 1000);
    std::tm tm{};
    ::localtime_r(&secs, &tm);
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%02d:%02d:%02d.%03d", tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(wall_ms % 1000));
    return buf;
}

std::string FrameFlags(const Frame& f) {
    std::string s;
    if (!f.checksum_ok) s += " BAD-CHECKSUM";
    if (!f.length_ok) s += " BAD-LENGTH";
    if (!f.stuffing_ok) s += " LONE-0x10";
    if (f.source != kPcAddress) s += " SOURCE-NOT-PC";
    return s;
}

void PrintFrame(const Frame& f, bool verbose) {
    std::printf("%s %u <- code %u len %zu %s%s\n", TimeText(f.wall_ms).c_str(), f.dest, f.code,
                f.data.size(), FormatData(f.data).c_str(), FrameFlags(f).c_str());
    if (verbose) std::printf("             raw %s\n", HexBytes(f.raw).c_str());
}

void PrintExchange(const Exchange& ex, bool verbose) {
    const Request& r = ex.request;
    const char* fault = FaultName(r.fault);
    std::printf("%s %u -> code %u len %zu %s%s%s\n", TimeText(ex.sent_wall_ms).c_str(), r.address,
                r.code, r.data.size(), FormatData(r.data).c_str(), fault[0] ? "  fault " : "",
                fault);
    if (verbose && !ex.sent.empty())
        std::printf("             raw %s\n", HexBytes(ex.sent).c_str());
    if (ex.reply != Reply::none) {
        std::printf("%s %u <- %s%s\n", TimeText(ex.reply_frame.wall_ms).c_str(), r.address,
                    ex.reply == Reply::ack ? "ACK" : "NACK", FrameFlags(ex.reply_frame).c_str());
    }
    for (const Frame& f : ex.answers) PrintFrame(f, verbose);
    std::printf("             #%llu %s: %s\n", static_cast<unsigned long long>(ex.id),
                ex.ok ? "ok" : "FAILED", ex.note.c_str());
    std::fflush(stdout);
}

struct Run {
    Terminal term;
    bool verbose = false;
    int timeout_s = 60;
    int requests = 0;
    int ok = 0;
    int script_errors = 0;
    std::vector<std::string> failures;

    void drain(int wait_ms) {
        Exchange ex;
        while (term.next_completed(ex, wait_ms) == 0) {
            PrintExchange(ex, verbose);
            if (ex.ok)
                ++ok;
            else {
                // Built step by step: g++ 12 at -O3 takes a chain of string
                // additions for an overlapping copy (-Wrestrict).
                std::string failure = "#";
                failure += std::to_string(ex.id);
                failure += " (";
                failure += std::to_string(ex.request.address);
                failure += " code ";
                failure += std::to_string(ex.request.code);
                failure += "): ";
                failure += ex.note;
                failures.push_back(std::move(failure));
            }
            wait_ms = 0;
        }
        if (verbose) {
            for (const Frame& f : term.take_line_log())
                if (f.code == kCodePoll)
                    std::printf("%s %u <- poll\n", TimeText(f.wall_ms).c_str(), f.dest);
            std::fflush(stdout);
        }
    }

    // Prints exchanges as they end until none is open, a signal, or the
    // time-out. Returns false when it gave up.
    bool wait_all(int seconds) {
        std::int64_t until = SteadyMs() + static_cast<std::int64_t>(seconds) * 1000;
        while (term.pending() != 0 && g_stop == 0 && SteadyMs() < until) drain(100);
        drain(0);
        return term.pending() == 0;
    }

    void sleep_ms(int ms) {
        std::int64_t until = SteadyMs() + ms;
        while (g_stop == 0 && SteadyMs() < until)
            drain(static_cast<int>(std::min<std::int64_t>(100, until - SteadyMs())));
    }

    // Handles one script line; returns false on a script error.
    bool line(const std::string& text, const char* where, int number) {
        ScriptLine sl;
        std::string error;
        if (ParseScriptLine(text, sl, error) != 0) {
            std::fprintf(stderr, "talvoterm: %s:%d: %s\n", where, number, error.c_str());
            ++script_errors;
            return false;
        }
        switch (sl.kind) {
        case LineKind::empty: break;
        case LineKind::sleep: sleep_ms(sl.sleep_ms); break;
        case LineKind::wait: wait_all(timeout_s); break;
        case LineKind::request:
            if (term.submit(sl.request, sl.expect) == 0) {
                std::fprintf(stderr, "talvoterm: %s:%d: address %u is not played here\n", where,
                             number, sl.request.address);
                ++script_errors;
                return false;
            }
            ++requests;
            break;
        }
        return true;
    }
};

// Reads lines from fd while printing exchanges; ends at end of input or a
// signal. Each line is handed to `run.line`.
void ReadLines(Run& run, int fd, const char* where) {
    std::string pending;
    int number = 0;
    char buf[4096];
    for (;;) {
        if (g_stop != 0) return;
        pollfd pf{fd, POLLIN, 0};
        int rc = ::poll(&pf, 1, 100);
        run.drain(0);
        if (rc < 0 && errno == EINTR) continue;
        if (rc == 0) continue;
        ssize_t n = ::read(fd, buf, sizeof(buf));
        if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (n <= 0) break;
        pending.append(buf, static_cast<std::size_t>(n));
        std::size_t nl;
        while ((nl = pending.find('\n')) != std::string::npos) {
            run.line(pending.substr(0, nl), where, ++number);
            pending.erase(0, nl + 1);
            if (g_stop != 0) return;
        }
        if (pending.size() > 65536) {
            std::fprintf(stderr, "talvoterm: %s:%d: line too long\n", where, number + 1);
            ++run.script_errors;
            pending.clear();
        }
    }
    if (!pending.empty()) run.line(pending, where, ++number);
}

bool ParseAddress(const char* s, std::uint16_t& out) {
    char* end = nullptr;
    errno = 0;
    unsigned long v = std::strtoul(s, &end, 0);
    if (errno != 0 || end == s || *end != '\0' || v == 0 || v == kPcAddress || v > 0xFFFF)
        return false;
    out = static_cast<std::uint16_t>(v);
    return true;
}

} // namespace

int main(int argc, char** argv) {
    const char* pty_name = nullptr;
    const char* device = nullptr;
    const char* tcp_listen = nullptr;
    const char* script = nullptr;
    bool hold = false;
    Run run;
    TerminalOptions opt;
    std::vector<std::uint16_t> addresses;

    static const option kLong[] = {{"pty", required_argument, nullptr, 'p'},
                                   {"device", required_argument, nullptr, 'd'},
                                   {"script", required_argument, nullptr, 's'},
                                   {"timeout", required_argument, nullptr, 't'},
                                   {"pause", required_argument, nullptr, 'P'},
                                   {"hold", no_argument, nullptr, 'H'},
                                   {"verbose", no_argument, nullptr, 'v'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {"tcp-listen", required_argument, nullptr, 'T'},
                                   {"echo", no_argument, nullptr, 'E'},
                                   {"answer-delay", required_argument, nullptr, 'A'},
                                   {}};
    for (int c; (c = getopt_long(argc, argv, "hV", kLong, nullptr)) != -1;) {
        switch (c) {
        case 'p': pty_name = optarg; break;
        case 'd': device = optarg; break;
        case 's': script = optarg; break;
        case 'H': hold = true; break;
        case 'T': tcp_listen = optarg; break;
        case 'E': opt.echo = true; break;
        case 'v': run.verbose = true; break;
        case 't':
        case 'A':
        case 'P': {
            char* end = nullptr;
            long n = std::strtol(optarg, &end, 10);
            if (end == optarg || *end != '\0' || n < 0 || n > 86400000) {
                std::fprintf(stderr, "talvoterm: bad value for --%s: '%s'\n",
                             c == 't'   ? "timeout"
                             : c == 'A' ? "answer-delay"
                                        : "pause",
                             optarg);
                return ToolUsageError("talvoterm");
            }
            if (c == 't')
                run.timeout_s = static_cast<int>(n);
            else if (c == 'A')
                opt.answer_delay_ms = static_cast<int>(n);
            else
                opt.pause_ms = static_cast<int>(n);
            break;
        }
        case 'h': Usage(stdout); return std::fflush(stdout) == 0 ? 0 : 1;
        case 'V': return ToolVersion("talvoterm");
        default: return ToolUsageError("talvoterm");
        }
    }
    for (int i = optind; i < argc; ++i) {
        std::uint16_t addr = 0;
        if (!ParseAddress(argv[i], addr)) {
            // 1 is the PC's own address on the line: a terminal playing it
            // would answer the PC's frames as if they were polls.
            char* end = nullptr;
            if (std::strtoul(argv[i], &end, 0) == kPcAddress && end != argv[i] && *end == '\0')
                std::fprintf(stderr,
                             "talvoterm: address %s is the PC's own address on the line; "
                             "terminals use 2..65535\n",
                             argv[i]);
            else
                std::fprintf(stderr, "talvoterm: bad address '%s'\n", argv[i]);
            return ToolUsageError("talvoterm");
        }
        if (std::find(addresses.begin(), addresses.end(), addr) == addresses.end())
            addresses.push_back(addr);
    }
    if ((pty_name != nullptr) + (device != nullptr) + (tcp_listen != nullptr) != 1 ||
        addresses.empty() || addresses.size() > 32) {
        std::fputs(addresses.size() > 32 ? "talvoterm: at most 32 addresses\n"
                   : addresses.empty()   ? "talvoterm: no terminal address given\n"
                                         : "talvoterm: give one of --pty, --device and "
                                           "--tcp-listen\n",
                   stderr);
        return ToolUsageError("talvoterm");
    }

    // A script file is checked whole before the line is opened.
    std::vector<std::string> script_lines;
    if (script != nullptr) {
        std::FILE* f = std::fopen(script, "rb");
        if (f == nullptr) {
            std::fprintf(stderr, "talvoterm: cannot open %s: %s\n", script, std::strerror(errno));
            return 2;
        }
        std::string cur;
        int c;
        bool too_long = false;
        while ((c = std::fgetc(f)) != EOF && !too_long) {
            if (c == '\n') {
                script_lines.push_back(cur);
                cur.clear();
            } else if (cur.size() >= 65536) {
                std::fprintf(stderr, "talvoterm: %s:%zu: line too long\n", script,
                             script_lines.size() + 1);
                too_long = true;
            } else {
                cur += static_cast<char>(c);
            }
        }
        if (!cur.empty()) script_lines.push_back(cur);
        std::fclose(f);
        if (too_long) return 2;
        int bad = 0;
        for (std::size_t i = 0; i < script_lines.size(); ++i) {
            ScriptLine sl;
            std::string error;
            if (ParseScriptLine(script_lines[i], sl, error) != 0) {
                std::fprintf(stderr, "talvoterm: %s:%zu: %s\n", script, i + 1, error.c_str());
                ++bad;
            } else if (sl.kind == LineKind::request &&
                       std::find(addresses.begin(), addresses.end(), sl.request.address) ==
                           addresses.end()) {
                std::fprintf(stderr, "talvoterm: %s:%zu: address %u is not played here\n", script,
                             i + 1, sl.request.address);
                ++bad;
            }
        }
        if (bad != 0) return 2;
    }

    platform::PtyPair pty;
    int fd = -1;
    if (pty_name != nullptr) {
        int err = platform::pty_create(pty, pty_name);
        if (err != 0) {
            std::fprintf(stderr, "talvoterm: cannot create the pseudo-terminal %s: %s\n", pty_name,
                         std::strerror(err));
            return 2;
        }
        fd = pty.master;
    } else if (tcp_listen != nullptr) {
        std::signal(SIGPIPE, SIG_IGN);
        fd = AcceptTcp(tcp_listen);
        if (fd < 0) return 2;
    } else {
        int err = platform::pty_open_device(device, fd);
        if (err != 0) {
            std::fprintf(stderr, "talvoterm: cannot open %s: %s\n", device, std::strerror(err));
            return 2;
        }
    }

    struct sigaction sa {};
    sa.sa_handler = OnSignal;
    sigemptyset(&sa.sa_mask);
    ::sigaction(SIGINT, &sa, nullptr);
    ::sigaction(SIGTERM, &sa, nullptr);
    ::sigaction(SIGHUP, &sa, nullptr);
    std::signal(SIGPIPE, SIG_IGN);

    if (!run.verbose) opt.line_log_max = 0; // only --verbose prints the line
    if (run.term.start(fd, addresses, opt) != 0) {
        std::fprintf(stderr, "talvoterm: cannot start the line thread\n");
        platform::pty_release(pty);
        if (device != nullptr) platform::pty_close_device(fd);
        if (tcp_listen != nullptr) ::close(fd);
        return 2;
    }
    std::printf("talvoterm: terminals");
    for (std::uint16_t a : addresses) std::printf(" %u", a);
    if (pty_name != nullptr)
        std::printf(" on %s (link %s)\n", pty.slave_name, pty_name);
    else
        std::printf(" on %s\n", device != nullptr ? device : tcp_listen);
    std::fflush(stdout);

    if (script != nullptr) {
        for (std::size_t i = 0; i < script_lines.size() && g_stop == 0; ++i) {
            run.line(script_lines[i], script, static_cast<int>(i + 1));
            run.drain(0);
        }
    } else {
        ReadLines(run, STDIN_FILENO, "stdin");
    }
    bool all_ended = run.wait_all(run.timeout_s);
    while (hold && g_stop == 0) run.drain(200);

    run.term.stop();
    run.drain(0);
    bool line_error = run.term.line_error() && device != nullptr;
    TerminalStats st = run.term.stats();
    std::printf("talvoterm: %d request(s), %d ended as expected, %zu failed%s; %llu poll(s), "
                "%llu frame(s) seen, %llu broken, %llu noise byte(s)\n",
                run.requests, run.ok, run.failures.size(), all_ended ? "" : " (some never ended)",
                static_cast<unsigned long long>(st.polls),
                static_cast<unsigned long long>(st.frames),
                static_cast<unsigned long long>(st.broken_frames),
                static_cast<unsigned long long>(st.noise_bytes));
    for (const std::string& f : run.failures) std::printf("  failed %s\n", f.c_str());
    if (run.script_errors != 0) std::printf("  %d script error(s)\n", run.script_errors);
    std::fflush(stdout);

    platform::pty_release(pty);
    if (device != nullptr) platform::pty_close_device(fd);
    if (run.script_errors != 0 || line_error) return 2;
    return run.failures.empty() && run.ok == run.requests ? 0 : 1;
}
