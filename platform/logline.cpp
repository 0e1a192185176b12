// One style for the manager's lines on standard error: a date, or the
// journal's priority prefix.
#include "platform/logline.h"

#include "platform/clock.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <sys/stat.h>

namespace plat {

namespace {

// JOURNAL_STREAM is "device:inode" of the stream systemd connected; it
// counts only while descriptor 2 is still that stream (a program started
// from the service with its standard error redirected is not the journal).
bool StderrIsJournal() {
    const char* value = std::getenv("JOURNAL_STREAM");
    if (value == nullptr) return false;
    unsigned long long device = 0, inode = 0;
    if (std::sscanf(value, "%llu:%llu", &device, &inode) != 2) return false;
    struct stat st;
    return ::fstat(2, &st) == 0 && static_cast<unsigned long long>(st.st_dev) == device &&
           static_cast<unsigned long long>(st.st_ino) == inode;
}

} // namespace

bool LogToJournal() {
    static const bool journal = StderrIsJournal();
    return journal;
}

std::size_t LogPrefix(LogLevel level, char* out, std::size_t size) {
    if (out == nullptr || size == 0) return 0;
    int n;
    if (LogToJournal()) {
        n = std::snprintf(out, size, "<%d>", static_cast<int>(level));
    } else {
        LocalTime now{};
        GetLocalTime(&now);
        n = std::snprintf(out, size, "%02u/%02u/%04u %02u:%02u:%02u ", now.day % 100u,
                          now.month % 100u, now.year % 10000u, now.hour % 100u, now.minute % 100u,
                          now.second % 100u);
    }
    if (n < 0) n = 0;
    return static_cast<std::size_t>(n) < size ? static_cast<std::size_t>(n) : size - 1;
}

void LogLine(LogLevel level, const char* format, ...) {
    char line[1024];
    std::size_t used = LogPrefix(level, line, sizeof line);
    va_list args;
    va_start(args, format);
    const int n = std::vsnprintf(line + used, sizeof line - used, format, args);
    va_end(args);
    if (n > 0)
        used += static_cast<std::size_t>(n) < sizeof line - used ? n : sizeof line - used - 1;
    std::fprintf(stderr, "%.*s\n", static_cast<int>(used), line);
    std::fflush(stderr);
}

} // namespace plat
