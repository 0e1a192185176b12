// The driver's two logs, both in the process's current directory and only
// ever appended to, in binary mode with CR LF line ends:
//   CommErrors.txt: every line error met while IOThread reads (GravaErro);
//   excecoes.txt:   an IOThread that did not end at close (GravaExcecoes)
//                   and every processor fault caught in the driver
//                   (ExcecaoFatal, which then ends the process with exit 1).
// A log that cannot be opened is skipped; the link keeps working.
// Neither grows without bound: a log that has passed kLogCap bytes is
// renamed NAME.1 (an older .1 is replaced) before the next entry, which
// starts a new one. Repeats are merged (logqueue.h): an entry that stands
// for several carries their count ("Repeticoes: n" as the last line of a
// CommErrors.txt entry, " (n vezes)" after an excecoes.txt message).
#pragma once

#include "platform/clock.h"

#include <cstddef>
#include <cstdint>
#include <cstdio>

namespace serilo {

inline constexpr long kLogCap = 8L * 1024 * 1024;

// Opens a log for appending (mode "ab" or "a+b") after moving it to NAME.1
// when it has passed kLogCap bytes; null when it cannot be opened.
std::FILE* OpenLog(const char* name, const char* mode);

// One CommErrors.txt entry for `count` repeats of the error word on
// terminal `address`, first met at `when`. Sets nothing (the writer thread).
void WriteCommEntry(std::uint16_t address, std::uint32_t errors, std::uint32_t count,
                    const plat::LocalTime& when);

// One excecoes.txt line: message [+ " (n vezes)"] + " - " + timestamp.
void WriteExceptionLine(const char* message, std::uint32_t count, const plat::LocalTime& when);

// Extra error bits of this driver (no Win32 meaning): an echo that did not
// match what was sent, and a line held at its break level for seconds.
inline constexpr std::uint32_t kCeEcho = 0x10000;

// The 24-character timestamp followed by LF and NUL ("Mon Jul 05 16:43:16
// 2005\n"), English names, day with a leading zero. out holds 26 bytes.
void FormatTimestamp(const plat::LocalTime& when, char* out);

// Turns the first LF that is immediately followed by the text's NUL into
// CR LF (the NUL becomes the LF). Searches no further than size bytes and
// changes nothing when the CR LF would not fit. Sets the activity text to
// "em PutLF" and then to "em grava erro".
void PutLF(char* text, std::size_t size);

// Appends one CommErrors.txt entry for the error word (terminal at the
// polling cursor, the timestamp, "Codigo: n", one line per known CE_ bit)
// and sets the error-logged and reapply-settings flags. IOThread only.
void GravaErro(std::uint32_t errors);

// The line is gone (why: 1167 hung up, 1117 I/O error): one CommErrors.txt
// entry with CE_IOE, handed to the log writer, and the error-logged flag
// that the manager asks for set
// and one line on standard error naming the port and the cause. IOThread
// only, once per loss.
void GravaLinhaPerdida(std::uint32_t why);

// Appends message + " - " + timestamp to excecoes.txt, under the log lock
// (15 s wait; a prefix tells why the lock was not had). 0 when the lock was
// obtained, else the Win32 number of the failed wait.
std::uint32_t GravaExcecoes(const char* message);

// The fault number logged for a Win32 exception code (1..15 for the known
// ones, the code itself otherwise).
std::uint32_t FaultNumber(std::uint32_t code);

// Shows and logs a fault caught in `where` and ends the process with exit
// code 1.
[[noreturn]] void ExcecaoFatal(std::uint32_t code, const char* where);

} // namespace serilo
