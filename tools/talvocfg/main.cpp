// talvocfg: writes talvo.cfg from its readable description, and prints the
// description of an existing talvo.cfg.
//
//   talvocfg build SOURCE talvo.cfg
//   talvocfg dump talvo.cfg
//   talvocfg --help | --version
//
// Exit status 0 when done, 1 on a fault in the input (the message names the
// line), 2 on wrong usage. A failed build writes nothing.
#include "manager/config.h"
#include "tools/cli.h"
#include "tools/talvocfg/source.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <getopt.h>
#include <string>
#include <unistd.h>

namespace {

constexpr std::size_t kMaxSource = 1 << 20;

constexpr const char* kUsage =
    "Usage: talvocfg build SOURCE talvo.cfg\n"
    "       talvocfg dump talvo.cfg\n"
    "Writes the manager's binary configuration talvo.cfg from its readable\n"
    "description SOURCE, or prints the description of an existing one.\n"
    "\n"
    "  -h, --help       print this help and exit\n"
    "  -V, --version    print the version and exit\n"
    "\n"
    "Exit status: 0 done, 1 a fault in the input (named with its line; nothing\n"
    "is written), 2 wrong usage.\n";

bool ReadAll(const char* path, std::size_t limit, std::string* out) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    out->clear();
    char buf[65536];
    while (in) {
        in.read(buf, sizeof buf);
        out->append(buf, static_cast<std::size_t>(in.gcount()));
        if (out->size() > limit) return false;
    }
    return !in.bad();
}

int Build(const char* source, const char* target) {
    std::string text;
    std::ifstream probe(source, std::ios::binary);
    if (!probe) {
        std::fprintf(stderr, "talvocfg: %s: cannot be read\n", source);
        return 1;
    }
    probe.close();
    if (!ReadAll(source, kMaxSource, &text)) {
        std::fprintf(stderr, "talvocfg: %s: cannot be read or larger than %zu bytes\n", source,
                     kMaxSource);
        return 1;
    }
    ConfigRecord record;
    talvocfg::SourceError error;
    if (!talvocfg::BuildRecord(text, &record, &error)) {
        if (error.line > 0)
            std::fprintf(stderr, "talvocfg: %s:%d: %s\n", source, error.line, error.reason.c_str());
        else
            std::fprintf(stderr, "talvocfg: %s: %s\n", source, error.reason.c_str());
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

int Dump(const char* path) {
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
    std::string text = talvocfg::DumpRecord(record);
    if (bytes.size() > kConfigRecordSize)
        text += "# the file has " + std::to_string(bytes.size()) + " bytes; only the first " +
                std::to_string(kConfigRecordSize) + " are used\n";
    std::fwrite(text.data(), 1, text.size(), stdout);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    if (const int done = ToolHelpAndVersion(argc, argv, "talvocfg", kUsage, false); done >= 0)
        return done;
    const int n = argc - optind;
    char** args = argv + optind;
    if (n == 3 && std::strcmp(args[0], "build") == 0) return Build(args[1], args[2]);
    if (n == 2 && std::strcmp(args[0], "dump") == 0) return Dump(args[1]);
    if (n == 0)
        std::fputs("talvocfg: no command given\n", stderr);
    else if (std::strcmp(args[0], "build") == 0 || std::strcmp(args[0], "dump") == 0)
        std::fprintf(stderr, "talvocfg: %s: wrong number of arguments\n", args[0]);
    else
        std::fprintf(stderr, "talvocfg: unknown command '%s'\n", args[0]);
    return ToolUsageError("talvocfg");
}
