// wtalvoc --check: judges a data directory before it goes live, without
// polling and without touching a copy that runs there. Two parts, each
// printing one line per problem ("PATH: reason; fix") on the stream given:
// the files (talvo.cfg, tables, indexes, journal, logs, the directory) and
// the line (the port, its driver, wtalvoc.conf).
#pragma once

#include <cstdio>

// Each part returns the number of problems it found (0: usable as
// configured). Both run in the data directory (the working directory).
int CheckFiles(std::FILE* out);
int CheckLine(std::FILE* out);

// The whole command: both parts, then a summary line. Exit status 0 when
// the manager would start and serve, 1 otherwise.
int RunCheck(std::FILE* out);
