// The manager's runtime tables: one set per process, fixed in size, set to
// their start values once at start-up and read and written by the main loop
// and the request handlers (all on the main thread, except the error-rate
// statistics, which the warning thread touches too and which are atomic).
//
//   per terminal slot (32):    TerminalFile, TerminalFileKind, TerminalIndex,
//                              TerminalRecord, TerminalStatus, TerminalFilePos,
//                              TerminalLocks, TerminalSequence, TerminalHighBase
//   per data-file entry (30):  DataFileHandle, DataFileLocks
//   per output device (6):     OutputBuffer (owner byte), and the one open
//                              device's OutputHandle / OutputHolder / OutputLastActivity
//   the line:                  PortName, PolledCount, PolledAddress, PolledSlot
//   buffers:                   FrameBuffer, MessageBuffer, NumberBuffer
//
// "None" values: -1 for handles, table and index numbers; 255 for a byte or
// word that holds a terminal slot; 0 for an empty terminal address.
#pragma once

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

inline constexpr int kSlots = 32;        // terminal slots 0..31
inline constexpr int kDataFiles = 30;    // data-file entries of talvo.cfg
inline constexpr int kOutputDevices = 6; // 0 COM1, 1 COM2, 2 COM3, 3 COM4, 4 LPT1, 5 LPT2
inline constexpr std::uint8_t kNoSlot = 255;
inline constexpr std::uint32_t kNoHolder = 255; // LockTable::holder when nobody holds the file

// File kinds of TerminalFileKind (and of the configuration's data-file entries).
inline constexpr int kKindNone = ' ';
inline constexpr int kKindText = 'A';
inline constexpr int kKindTable = 'D';

// Who holds what in one shared table or text file: record[t] is the record
// number that the terminal in slot t has locked (0 = none); holder is the
// slot that holds the whole-file lock (255 = none). 33 unsigned words.
struct LockTable {
    std::array<std::uint32_t, kSlots> record;
    std::uint32_t holder;
};
static_assert(sizeof(LockTable) == 33 * 4);

// The state of one local output device: byte 0 is its owner (the slot of the
// terminal that holds it, 255 = free), bytes 1..524 are reserved and zero.
inline constexpr std::size_t kOutputRecordSize = 525;
struct OutputRecord {
    std::uint8_t owner;
    std::array<std::uint8_t, kOutputRecordSize - 1> reserved;
};
static_assert(sizeof(OutputRecord) == kOutputRecordSize);

// ---- Buffers ----

// Receives a request's data from the driver (at most 298 bytes) and holds the
// answer that a handler builds in its place. Handlers may store a NUL at
// data[length], so it always has room beyond the longest request.
inline constexpr std::size_t kFrameBufferSize = 4096;
extern std::uint8_t FrameBuffer[kFrameBufferSize];

// Text of a start-up or port failure (100 bytes) and decimal text of an error
// number (room for any 32-bit number and its NUL).
inline constexpr std::size_t kMessageBufferSize = 100;
inline constexpr std::size_t kNumberBufferSize = 11;
extern char MessageBuffer[kMessageBufferSize];
extern char NumberBuffer[kNumberBufferSize];

// ---- The line ----

extern char PortName[8];                                // "COM1".."COM4", "" = none chosen
extern int PolledCount;                                 // declared terminals
extern std::array<std::uint16_t, kSlots> PolledAddress; // their addresses, in slot order
extern std::array<std::int16_t, kSlots> PolledSlot;     // the slot of each PolledAddress
extern std::uint16_t PortBase;                          // UART base of the chosen port
extern bool ReopenOnError; // close and reopen the port on a link error; cleared by "-1"
// --headless: run without a window (the window back end reads it).
extern bool Headless;

// The configuration's CommitAfterWrite, copied at start: nonzero commits a
// table file to disk after each header rewrite of a record change.
extern std::uint8_t CommitAfterWrite;

// ---- Error-rate statistics (shared with the warning thread) ----

extern std::atomic<std::uint32_t> CountingActive;     // polls are being counted
extern std::atomic<std::uint32_t> SampleCount;        // polls counted since counting began
extern std::atomic<std::uint32_t> FailedCount;        // link errors counted in the sample
extern std::atomic<std::uint32_t> RateWarningEnabled; // the error-rate test may run
extern std::atomic<std::uint32_t> ErrorRatePercent;   // FailedCount x 100 / SampleCount, 8 bits

// ---- Per data-file entry ----

// kind 'A': handle of the open text file; 'D': table number; 'I' / 'C': index
// number; -1 = not open.
extern std::array<std::int32_t, kDataFiles> DataFileHandle;
// The lock bookkeeping of an open 'A' or 'D' entry; null otherwise.
extern std::array<LockTable*, kDataFiles> DataFileLocks;

// ---- Local output devices ----

// Exists (non-null) only for a device that the configuration enables.
extern std::array<OutputRecord*, kOutputDevices> OutputBuffer;
extern int OutputHandle;                 // the one open device, -1 none
extern std::uint8_t OutputHolder;        // slot that opened it, 255 = none
extern std::uint32_t OutputLastActivity; // tick of its last open or write
inline constexpr std::uint32_t kOutputIdleMs = 30000;

// Closes the open output device held by `slot` (or by whoever holds it when
// slot is 255) and frees it for every terminal: each device owned by that
// slot gets owner 255, OutputHandle -1 and OutputHolder 255. Used by the
// idle time-out, by the download and by the holder's own release.
void FreeOutputDevice(std::uint8_t slot);

// ---- Per terminal slot (the terminal's context between requests) ----

// Current file: a table number (kind 'D') or a text-file handle (kind 'A');
// -1 = none.
extern std::array<std::int32_t, kSlots> TerminalFile;
// ' ' none, 'A' text file, 'D' table; 0 until a first open.
extern std::array<std::int32_t, kSlots> TerminalFileKind;
// Index number of the terminal's order over its table; -1 = record order.
extern std::array<std::int32_t, kSlots> TerminalIndex;
// Record number, saved after each table request and restored before the next.
extern std::array<std::int32_t, kSlots> TerminalRecord;
// Status of the last text-file operation.
extern std::array<std::int32_t, kSlots> TerminalStatus;
// The terminal's own byte position in its text file.
extern std::array<std::int32_t, kSlots> TerminalFilePos;
// The LockTable of the current file (DataFileLocks of its entry); null = none.
extern std::array<LockTable*, kSlots> TerminalLocks;
// Last sequence byte seen (codes 46, 47, 48, 49); 16 after a download.
extern std::array<std::uint8_t, kSlots> TerminalSequence;
// 1: the structure reply places field values from terminal address 37376;
// 0: from 4608.
extern std::array<std::uint8_t, kSlots> TerminalHighBase;

// Puts every table above back to its start value (program start; tests).
// Lock tables and output records come from fixed storage; this frees them.
void ResetRuntimeTables();

// A lock table from the fixed storage of one per data-file entry, cleared
// (records 0, holder 255). Null when entry is out of range.
LockTable* AllocateLockTable(int entry);

// The output record of device d from fixed storage, owner 255, rest zero.
OutputRecord* AllocateOutputRecord(int device);

// The data-file entry whose lock table is t, or -1.
int LockTableEntry(const LockTable* t);
