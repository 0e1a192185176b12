// wtalvoc's command line: the switch -1 (no link-error recovery, no
// error-rate statistics), --help, --version, --headless, --status [--json],
// --check, --stop, --monitor and -C DIR / --directory DIR. Anything else is
// refused before anything is opened.
#pragma once

#include <cstdio>

struct CommandLine {
    bool minusOne = false; // -1
    bool help = false;
    bool version = false;
    bool headless = false;
    bool status = false;
    bool json = false;
    bool check = false;              // --check: judge the directory, serve nothing
    bool stop = false;               // --stop: stop the copy running in the directory
    bool monitor = false;            // --monitor: stream what the running copy does
    const char* directory = nullptr; // -C DIR: work there as if started there
};

// Exit status of a refused command line.
inline constexpr int kUsageStatus = 2;

// Parses the arguments into *out. 0, or kUsageStatus after naming what was
// wrong on standard error.
int ParseCommandLine(int argc, const char* const* argv, CommandLine* out);

// The usage text (for --help, on standard output).
void PrintUsage(std::FILE* to);
