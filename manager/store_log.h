// The manager's own log of table-store errors: each numbered report of the
// store becomes one line, written to standard error and appended to
// TableErrors.txt in the working directory (beside the driver's
// CommErrors.txt), with the date and time, the terminal's address and the
// request's code when a request caused it, and file names spelled as the
// configuration wrote them. Logging never blocks and never stops the
// manager. The log stays bounded: the same text from the same source again
// within a second of its last showing is counted instead of written (the
// run's end writes one line with the count), and a log that would grow past
// kStoreLogCap bytes is renamed TableErrors.txt.1 (replacing the older one)
// and started anew.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr const char* kStoreLogFile = "TableErrors.txt";
inline constexpr const char* kStoreLogOlder = "TableErrors.txt.1";
inline constexpr std::int64_t kStoreLogCap = 8388608; // 8 MiB
inline constexpr std::uint32_t kRepeatGapMs = 1000;   // repeats closer than this are merged
inline constexpr std::uint32_t kRepeatReportMs =
    60000; // a run's count is written at least so often

// Installs the store's report hook that writes the log (and stops the
// store's own several-line form on standard error).
void StartStoreLog();

// The log line for a report: "dd/mm/yyyy hh:mm:ss " + context and ": " when
// a context is given + the report's lines joined with " | " + CR LF, cut to
// fit out (always terminated). Returns its length.
std::size_t FormatStoreLogLine(const char* report, char* out, std::size_t out_size,
                               const char* context = nullptr);

// Logs a line made by FormatStoreLogLine: to standard error and the log,
// unless it repeats the last one (see above).
void WriteStoreLogLine(const char* line, std::size_t length);

// Writes the count of a run of repeats that has ended (none came for a
// second), or of any run when stopping. Called from the main loop.
void StoreLogIdle(bool stopping);

// Appends a line made by FormatStoreLogLine to TableErrors.txt (created
// 0640, never through a symbolic link; renamed aside when full); a log that
// cannot be opened or written is passed over.
void AppendToStoreLog(const char* line, std::size_t length);

// Copies report into out (cut to fit, terminated), each line that is the
// store's spelling of a configured data file (upper case, with its default
// extension) given as the configuration wrote that name.
void RespellFileNames(const char* report, char* out, std::size_t out_size);
