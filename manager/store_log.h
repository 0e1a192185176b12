// The manager's own log of table-store errors: each numbered report of the
// store becomes one line, written to standard error and appended to
// TableErrors.txt in the working directory (beside the driver's
// CommErrors.txt), with the date and time, the terminal's address and the
// request's code when a request caused it, and file names spelled as the
// configuration wrote them. Logging never blocks and never stops the
// manager.
#pragma once

#include <cstddef>

inline constexpr const char* kStoreLogFile = "TableErrors.txt";

// Installs the store's report hook that writes the log (and stops the
// store's own several-line form on standard error).
void StartStoreLog();

// The log line for a report: "dd/mm/yyyy hh:mm:ss " + context and ": " when
// a context is given + the report's lines joined with " | " + CR LF, cut to
// fit out (always terminated). Returns its length.
std::size_t FormatStoreLogLine(const char* report, char* out, std::size_t out_size,
                               const char* context = nullptr);

// Appends a line made by FormatStoreLogLine to TableErrors.txt; a log that
// cannot be opened or written is passed over.
void AppendToStoreLog(const char* line, std::size_t length);

// Copies report into out (cut to fit, terminated), each line that is the
// store's spelling of a configured data file (upper case, with its default
// extension) given as the configuration wrote that name.
void RespellFileNames(const char* report, char* out, std::size_t out_size);
