// The manager's own log of table-store errors met while serving requests:
// each numbered report of the store becomes one line of TableErrors.txt in
// the working directory (beside the driver's CommErrors.txt), with the date
// and time, or goes to standard error alone when the file cannot be opened.
// Logging never blocks and never stops the manager.
#pragma once

#include <cstddef>

inline constexpr const char* kStoreLogFile = "TableErrors.txt";

// Installs the store's report hook that writes the log.
void StartStoreLog();

// The log line for a report: "dd/mm/yyyy hh:mm:ss " + the report's lines
// joined with " | " + CR LF, cut to fit out (always terminated). Returns its
// length.
std::size_t FormatStoreLogLine(const char* report, char* out, std::size_t out_size);
