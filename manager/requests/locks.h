// Record and whole-file locks of the terminals.
//
// Two mechanisms work together. A byte-range lock of the operating system on
// the shared file is what other programs see:
//   record r of a table:   the .DBF file, offset 1,000,000,000 + r, 1 byte
//   a whole table:         the .DBF file, offset 1,000,000,000, 1,000,000,000 bytes
//   a whole text file:     the text file, offset 0, 1 byte (also its probe region)
// The platform's lock refuses a region overlapping one already locked through
// the same file, by this process too, so a whole-table lock fails while any
// record is locked and the other way round; no lock call waits. And the
// file's LockTable (runtime.h) records which terminal holds what, because
// every terminal works through this one process and the same file handle.
// A terminal holds at most one lock per file.
//
// Every routine takes the lock table of the terminal's current file
// (TerminalLocks[slot]) and acts on that file: the terminal's table
// (TerminalFile[slot], kind 'D', at the selected table's current record) or
// its text file (kind 'A').
#pragma once

#include <cstdint>

#include "manager/runtime.h"

inline constexpr std::int64_t kLockBase = 1000000000;

// ProbeLock results.
enum : int {
    kLockFree = 10,      // nobody holds the current record or the file
    kLockElsewhere = 20, // another terminal or another program holds it
    kLockMyRecord = 30,  // this terminal holds the current record
    kLockMyFile = 40,    // this terminal holds the whole-file lock
};

// Who holds the terminal's current record (table) or its file. 10/20/30/40.
int ProbeLock(LockTable* table, int slot);

// Locks the current record (releasing the terminal's other lock in the file
// first). 0 locked or already held; -1 refused (held elsewhere, a text file,
// or the operating system refused).
int LockRecord(LockTable* table, int slot);

// Locks the whole file (giving up the terminal's record lock first). 0 / -1.
int LockWholeFile(LockTable* table, int slot);

// Gives up the record or whole-file lock the terminal holds in this file.
// 0 released or nothing to release (also for a null table); -1 when the
// unlock failed (the lock table then keeps its entries).
int ReleaseLocks(LockTable* table, int slot);

// After a handler moved or appended: when the table's current record is no
// longer TerminalRecord[slot] (the record the request started on) and the
// terminal's lock is on that starting record, releases it.
void ReleaseIfMoved(int slot);

// [36] lock the current record (whole_file false), [37] lock the whole table
// or file (whole_file true): answers 2 bytes with the request's code, 'T' when
// locked or 'F', then 0.
void LockRequest(std::uint16_t address, std::uint8_t* data, int slot, bool whole_file);

// [38] release my lock: answers 15 when released (or nothing held), 14 when
// the unlock failed; no data.
void UnlockRequest(std::uint16_t address, int slot);
