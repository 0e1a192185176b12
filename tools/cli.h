// What the command-line tools share: the --version line and the hint that
// follows a usage error (GNU conventions: --help on standard output with
// exit status 0, usage errors on standard error with exit status 2).
#pragma once

#include <cstdio>

#include "version.h"

inline int ToolVersion(const char* program) {
    std::printf("%s (WTALVOC) %s\n", program, kProjectVersion);
    return std::fflush(stdout) == 0 ? 0 : 1;
}

inline int ToolUsageError(const char* program) {
    std::fprintf(stderr, "Try '%s --help' for more information.\n", program);
    return 2;
}
