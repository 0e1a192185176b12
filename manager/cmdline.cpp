// Parsing wtalvoc's command line with getopt_long.
#include "manager/cmdline.h"

#include <getopt.h>

#include "version.h"

namespace {

enum : int {
    kOptHelp = 'h',
    kOptVersion = 'V',
    kOptHeadless = 256,
    kOptStatus,
    kOptJson,
    kOptCheck,
    kOptStop,
    kOptMonitor
};

constexpr option kLongOptions[] = {
    {"help", no_argument, nullptr, kOptHelp},
    {"version", no_argument, nullptr, kOptVersion},
    {"headless", no_argument, nullptr, kOptHeadless},
    {"status", no_argument, nullptr, kOptStatus},
    {"json", no_argument, nullptr, kOptJson},
    {"check", no_argument, nullptr, kOptCheck},
    {"stop", no_argument, nullptr, kOptStop},
    {"monitor", no_argument, nullptr, kOptMonitor},
    {"directory", required_argument, nullptr, 'C'},
    {nullptr, 0, nullptr, 0},
};

constexpr int kMaxArguments = 64;

int Refuse(const char* what, const char* argument) {
    if (what != nullptr) std::fprintf(stderr, "wtalvoc: %s%s\n", what, argument);
    std::fprintf(stderr, "Try 'wtalvoc --help' for more information.\n");
    return kUsageStatus;
}

} // namespace

int ParseCommandLine(int argc, const char* const* argv, CommandLine* out) {
    *out = CommandLine{};
    if (argc > kMaxArguments) return Refuse("too many arguments", "");
    // getopt reorders its vector: it works on a copy, named as the program
    // so that its own messages begin with "wtalvoc:".
    char* args[kMaxArguments + 1] = {};
    args[0] = const_cast<char*>("wtalvoc");
    for (int i = 1; i < argc; ++i) args[i] = const_cast<char*>(argv[i]);
    optind = 0; // a fresh scan (also when called again)
    opterr = 1;
    for (;;) {
        const int c = getopt_long(argc < 1 ? 1 : argc, args, "+1hVC:", kLongOptions, nullptr);
        if (c == -1) break;
        switch (c) {
        case '1': out->minusOne = true; break;
        case kOptHelp: out->help = true; break;
        case kOptVersion: out->version = true; break;
        case kOptHeadless: out->headless = true; break;
        case kOptStatus: out->status = true; break;
        case kOptJson: out->json = true; break;
        case kOptCheck: out->check = true; break;
        case kOptStop: out->stop = true; break;
        case kOptMonitor: out->monitor = true; break;
        case 'C':
            if (optarg == nullptr || optarg[0] == '\0') return Refuse("empty directory for -C", "");
            out->directory = optarg;
            break;
        default: return Refuse(nullptr, ""); // getopt named the option
        }
    }
    if (optind < argc) return Refuse("unexpected argument: ", args[optind]);
    if (out->json && !out->status) return Refuse("--json goes with --status", "");
    const int commands = int(out->check) + int(out->status) + int(out->stop) + int(out->monitor);
    if (commands > 1) return Refuse("--check, --status, --stop and --monitor go alone", "");
    return 0;
}

void PrintUsage(std::FILE* to) {
    std::fprintf(to,
                 "Usage: wtalvoc [-1] [--headless] [-C DIR]\n"
                 "       wtalvoc --status [--json] [-C DIR]\n"
                 "       wtalvoc --check [-C DIR]\n"
                 "       wtalvoc --stop [-C DIR]\n"
                 "       wtalvoc --monitor [-C DIR]\n"
                 "Serves the terminals of talvo.cfg on their serial line, in the data directory\n"
                 "(the working directory, or DIR).\n"
                 "\n"
                 "  -1                 no link-error recovery and no error-rate statistics\n"
                 "      --headless     no window\n"
                 "  -C, --directory DIR  work in DIR as if started there\n"
                 "      --status       ask the manager running in the data directory what it\n"
                 "                     is doing (port, counters, terminals) and print it\n"
                 "      --json         with --status: the same as JSON\n"
                 "      --check        judge the data directory and its line without serving\n"
                 "                     and without touching a running copy\n"
                 "      --stop         stop the manager running in the data directory\n"
                 "      --monitor      print what the running manager does as it happens: one\n"
                 "                     line per request and per line event, until Ctrl-C\n"
                 "  -h, --help         print this text and exit\n"
                 "  -V, --version      print the version and exit\n"
                 "\n"
                 "Starting wtalvoc where one runs stops the running one in order (exit 1);\n"
                 "use --check to try a configuration.\n"
                 "SIGTERM, SIGINT and SIGHUP stop it in order too.\n"
                 "Exit status: 0 after an orderly stop, 1 after a failure, 2 for a wrong\n"
                 "command line; --status: 0, 1 when refused or no answer, 3 when no manager\n"
                 "runs in the directory (also for --stop and --monitor); --check: 0 when the\n"
                 "manager would serve as configured, 1 otherwise.\n");
}
