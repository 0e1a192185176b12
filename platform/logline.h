// The manager's own log lines on standard error, in one style: each line
// begins with the local date and time "dd/mm/yyyy hh:mm:ss " or, when
// standard error is the system journal (JOURNAL_STREAM names the device and
// inode of descriptor 2), with the journal's priority prefix "<N>" instead
// (the journal stamps the time itself). Texts fixed elsewhere (the driver's
// logs, the table store's reports) keep their own form.
#pragma once

#include <cstddef>

namespace plat {

// Syslog priorities, as the journal reads them from "<N>".
enum class LogLevel : int { kError = 3, kWarning = 4, kNotice = 5, kInfo = 6 };

// Whether standard error is the system journal (decided once).
bool LogToJournal();

// The prefix of a line of that level into out (always terminated): the
// date and time with a blank, or "<N>". Returns its length.
std::size_t LogPrefix(LogLevel level, char* out, std::size_t size);

// One line on standard error: the prefix, the formatted text, a newline;
// flushed at once. Lines longer than 1 KB are cut.
void LogLine(LogLevel level, const char* format, ...) __attribute__((format(printf, 2, 3)));

} // namespace plat
