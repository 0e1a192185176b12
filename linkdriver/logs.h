// The driver's two logs, both in the process's current directory and only
// ever appended to, in binary mode with CR LF line ends:
//   CommErrors.txt: every line error met while IOThread reads (GravaErro);
//   excecoes.txt:   an IOThread that did not end at close (GravaExcecoes)
//                   and every processor fault caught in the driver
//                   (ExcecaoFatal, which then ends the process with exit 1).
// A log that cannot be opened is skipped; the link keeps working.
#pragma once

#include "platform/clock.h"

#include <cstddef>
#include <cstdint>

namespace serilo {

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
// entry with CE_IOE (which sets the error-logged flag the manager asks for)
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
