// The text-file requests (codes 29, 30, 31, 33, 34, 35): a terminal opens one
// of the text files the manager opened at start (data-file entries of kind
// 'A'), reads, moves and writes at its own byte position in it
// (TerminalFilePos), asks the status of its last operation and closes it.
// Several terminals may work in one file, each at its own position; the file
// itself stays open in the manager for all of them. Reading and writing go
// through the platform's text mode: CR LF reaches the terminal as LF, a
// Ctrl-Z ends the file, and an LF from the terminal is written as CR LF.
//
// These requests do not use the table context: they act only when the
// terminal's current file is a text file (kind 'A') and never touch a table.
//
// Requests: bytes 0 and 1 are not read; arguments are NUL-terminated texts
// from offset 2, numbers in decimal. The handle is the number code 29 answered.
#pragma once

#include "manager/runtime.h"

#include <cstdint>

// The handle of the terminal's text file, or -1 when its current file is
// none or a table (a table number must never be taken for a file handle).
inline std::int32_t CurrentTextFile(int slot) {
    if (slot < 0 || slot >= kSlots) return -1;
    const auto s = static_cast<std::size_t>(slot);
    if (TerminalFileKind[s] != kKindText || TerminalFile[s] < 0) return -1;
    return TerminalFile[s];
}

// TerminalStatus values set by these requests besides 0 and the platform's
// error numbers.
inline constexpr std::int32_t kTextNotConfigured = 2; // code 29 found no such text file
inline constexpr std::int32_t kTextNoFile = 6;        // read, seek or write without a text file

// At most this many bytes are read or written by one request.
inline constexpr int kTextLongestTransfer = 254;

// [29] file name -> the handle as "%d" with its NUL (-1 when no configured
// text file matches). Ends the terminal's previous context first (its locks
// are released); the terminal's position starts at 0.
void OpenTextFile(std::uint16_t address, std::uint8_t* data, int length, int slot);

// [30] commits the terminal's text file to disk, releases its locks in it
// and leaves it without a current file; answers 30 without data.
void CloseTextFile(std::uint16_t address, std::uint8_t* data, int length, int slot);

// [31] handle, NUL, bytes wanted -> count c as "%03d", NUL, the c bytes, NUL.
void ReadTextFile(std::uint16_t address, std::uint8_t* data, int length, int slot);

// [33] handle, NUL, offset, NUL, origin (0 start, 1 the terminal's position,
// 2 end of file); answers 33 without data.
void SeekTextFile(std::uint16_t address, std::uint8_t* data, int length, int slot);

// [34] handle, NUL, n, NUL, the n bytes -> 5 bytes: n as "%d" with its NUL.
void WriteTextFile(std::uint16_t address, std::uint8_t* data, int length, int slot);

// [35] -> TerminalStatus as "%d" with its NUL.
void SendFileStatus(std::uint16_t address, std::uint8_t* data, int length, int slot);
