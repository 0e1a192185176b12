// What the command-line tools share: the --version line ("NAME VERSION", as
// wtalvoc prints it) and the hint that follows a usage error (GNU
// conventions: --help on standard output with exit status 0, usage errors
// on standard error with exit status 2).
#pragma once

#include <cstdio>

#include <getopt.h>

#include "version.h"

inline int ToolVersion(const char* program) {
    std::printf("%s %s\n", program, kProjectVersion);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

inline int ToolUsageError(const char* program) {
    std::fprintf(stderr, "Try '%s --help' for more information.\n", program);
    return 2;
}

// The options every tool takes before anything else: -h/--help prints usage
// on standard output, -V/--version the version line. Returns the exit status
// when the program is done (help, version, or a usage error), -1 to go on
// with optind at the first argument that is not one of these. With
// stopAtCommand, scanning stops at the first non-option (a command's own
// options follow it).
inline int ToolHelpAndVersion(int argc, char** argv, const char* program, const char* usage,
                              bool stopAtCommand) {
    static const option kLong[] = {
        {"help", no_argument, nullptr, 'h'}, {"version", no_argument, nullptr, 'V'}, {}};
    for (int c;
         (c = getopt_long(argc, argv, stopAtCommand ? "+hV" : "hV", kLong, nullptr)) != -1;) {
        if (c == 'h') {
            std::fputs(usage, stdout);
            return std::fflush(stdout) == 0 ? 0 : 1;
        }
        if (c == 'V') return ToolVersion(program);
        return ToolUsageError(program);
    }
    return -1;
}
