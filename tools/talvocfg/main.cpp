// talvocfg: writes talvo.cfg from its readable description, and prints the
// description of an existing talvo.cfg.
//
//   talvocfg build SOURCE|- talvo.cfg
//   talvocfg dump [--force] talvo.cfg
//   talvocfg --help | --version
//
// Exit status 0 when done, 1 on a fault in the input (every fault of a
// description is named with its line), 2 on wrong usage. A failed build
// writes nothing.
#include "manager/config.h"
#include "tools/cli.h"
#include "tools/talvocfg/source.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <getopt.h>
#include <iostream>
#include <string>
#include <unistd.h>
#include <vector>

namespace {

constexpr std::size_t kMaxSource = 1 << 20;

constexpr const char* kUsage =
    "Usage: talvocfg build SOURCE talvo.cfg\n"
    "       talvocfg dump [--force] talvo.cfg\n"
    "Writes the manager's binary configuration talvo.cfg from its readable\n"
    "description SOURCE (- for standard input), or prints the description of an\n"
    "existing one. build reports every mistake of the description at once.\n"
    "\n"
    "  -f, --force      dump a file that is not a configuration all the same\n"
    "  -h, --help       print this help and exit\n"
    "  -V, --version    print the version and exit\n"
    "\n"
    "Exit status: 0 done, 1 a fault in the input (each named with its line;\n"
    "nothing is written), 2 wrong usage.\n";

bool ReadStream(std::istream& in, std::size_t limit, std::string* out) {
    out->clear();
    char buf[65536];
    while (in) {
        in.read(buf, sizeof buf);
        out->append(buf, static_cast<std::size_t>(in.gcount()));
        if (out->size() > limit) return false;
    }
    return !in.bad();
}

bool ReadAll(const char* path, std::size_t limit, std::string* out) {
    if (std::strcmp(path, "-") == 0) return ReadStream(std::cin, limit, out);
    std::ifstream in(path, std::ios::binary);
    return in && ReadStream(in, limit, out);
}

int Build(const char* source, const char* target) {
    std::string text;
    const bool from_stdin = std::strcmp(source, "-") == 0;
    const char* shown = from_stdin ? "(standard input)" : source;
    if (!from_stdin) {
        std::ifstream probe(source, std::ios::binary);
        if (!probe) {
            std::fprintf(stderr, "talvocfg: %s: cannot be read: %s\n", source,
                         std::strerror(errno));
            return 1;
        }
    }
    if (!ReadAll(source, kMaxSource, &text)) {
        std::fprintf(stderr, "talvocfg: %s: cannot be read or larger than %zu bytes\n", shown,
                     kMaxSource);
        return 1;
    }
    ConfigRecord record;
    talvocfg::SourceError error;
    std::vector<talvocfg::SourceError> faults;
    if (!talvocfg::BuildRecord(text, &record, &error, &faults)) {
        for (const talvocfg::SourceError& f : faults) {
            if (f.line > 0)
                std::fprintf(stderr, "talvocfg: %s:%d: %s\n", shown, f.line, f.reason.c_str());
            else
                std::fprintf(stderr, "talvocfg: %s: %s\n", shown, f.reason.c_str());
        }
        return 1;
    }
    // Written all the same (it may be meant for a test), but said.
    std::string refusal = talvocfg::ManagerRefusal(record);
    if (!refusal.empty())
        std::fprintf(stderr, "talvocfg: warning: the manager will refuse %s: \"%s\"\n", target,
                     refusal.c_str());
    SwapConfigurationOrder(&record); // to the file's order

    // Into a file beside the target, then renamed over it: a failure leaves
    // any previous talvo.cfg as it was.
    std::string temp = std::string(target) + ".tmp" + std::to_string(::getpid());
    FILE* f = std::fopen(temp.c_str(), "wb");
    bool ok = f != nullptr && std::fwrite(&record, sizeof record, 1, f) == 1;
    if (f != nullptr) {
        ok = std::fflush(f) == 0 && ::fsync(fileno(f)) == 0 && ok;
        ok = std::fclose(f) == 0 && ok;
    }
    if (!ok || std::rename(temp.c_str(), target) != 0) {
        std::fprintf(stderr, "talvocfg: %s: cannot be written: %s\n", target, std::strerror(errno));
        std::remove(temp.c_str());
        return 1;
    }
    return 0;
}

int Dump(const char* path, bool force) {
    std::string bytes;
    if (!ReadAll(path, 16u << 20, &bytes)) {
        std::fprintf(stderr, "talvocfg: %s: cannot be read\n", path);
        return 1;
    }
    if (bytes.size() < kConfigRecordSize) {
        std::fprintf(stderr, "talvocfg: %s: %zu bytes, shorter than the %zu of a configuration\n",
                     path, bytes.size(), kConfigRecordSize);
        return 1;
    }
    ConfigRecord record;
    std::memcpy(&record, bytes.data(), sizeof record);
    SwapConfigurationOrder(&record);
    if (const std::string why = talvocfg::RecordFault(record); !why.empty() && !force) {
        std::fprintf(stderr, "talvocfg: %s: not a configuration: %s (--force dumps it)\n", path,
                     why.c_str());
        return 1;
    }
    std::string text = talvocfg::DumpRecord(record);
    if (bytes.size() > kConfigRecordSize)
        text += "# the file has " + std::to_string(bytes.size()) + " bytes; only the first " +
                std::to_string(kConfigRecordSize) + " are used\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    static const option kLong[] = {{"help", no_argument, nullptr, 'h'},
                                   {"version", no_argument, nullptr, 'V'},
                                   {"force", no_argument, nullptr, 'f'},
                                   {}};
    bool force = false;
    for (int c; (c = getopt_long(argc, argv, "hVf", kLong, nullptr)) != -1;) {
        if (c == 'h') {
            std::fputs(kUsage, stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        if (c == 'V') return ToolVersion("talvocfg");
        if (c != 'f') return ToolUsageError("talvocfg");
        force = true;
    }
    const int n = argc - optind;
    char** args = argv + optind;
    if (n == 3 && std::strcmp(args[0], "build") == 0) return Build(args[1], args[2]);
    if (n == 2 && std::strcmp(args[0], "dump") == 0) return Dump(args[1], force);
    if (n == 0)
        std::fputs("talvocfg: no command given\n", stderr);
    else if (std::strcmp(args[0], "build") == 0 || std::strcmp(args[0], "dump") == 0)
        std::fprintf(stderr, "talvocfg: %s: wrong number of arguments\n", args[0]);
    else
        std::fprintf(stderr, "talvocfg: unknown command '%s'\n", args[0]);
    return ToolUsageError("talvocfg");
}
