// The change journal: every request's writes to tables and indexes are all
// or nothing, also across a killed manager or a power cut.
//
// Before the table store overwrites or extends any byte of a table or index
// file during a request, the bytes it is about to overwrite (and the file's
// size) are appended to the journal file talvo.jnl in the data directory.
// When the request's writes are all done the journal is cleared, and only
// then is the terminal answered. A request that fails half-way is undone
// from its journal entry at once; an entry still there at start-up (the
// manager was killed or the machine lost power) is undone before any file
// is opened. The journal's header also keeps each terminal's last sequence
// byte and whether the manager stopped in order; after a stop that was not
// in order every index gets the full check at open.
//
// File layout (little-endian). Header, 64 bytes: "WTJ1", state (1 running,
// 0 stopped in order), the 32 sequence bytes, 2 spare bytes, at 40 a
// checksum of bytes 0..39, at 44 the entries' generation and at 48 a
// checksum of those 4 bytes (a header without it is read as generation 0).
// Then records: kind (4 bytes, 'B' begin or 'U' undo), payload length (4),
// payload, checksum (4) of kind, length and payload. Begin: terminal slot,
// its sequence byte before the request, the function code, a spare byte,
// the table's name (64), the generation (4; absent = 0). Undo: file name
// (64), offset (8), file size before the write (8), count (4), the old
// bytes; its checksum is seeded with its entry's generation.
//
// Order of writes: an undo record is written (and, with the commit flag on,
// forced to disk) before the write it covers; a request is committed by
// writing the header with the new sequence byte and the next generation
// (with the commit flag on, after forcing the changed files, and then the
// journal, to disk). The entry's records stay in the file and are
// overwritten by the next entry's: only a begin record of the header's
// generation right after the header starts a live entry, and an undo record
// of another generation fails its checksum. Cutting the file instead would
// cost every change a wait on the file system's own journal now and then
// (tens of milliseconds). The file is cut to its header at start-up and at
// the orderly stop. A record cut short by a power cut fails its checksum and
// is ignored: the write it covers had not been issued.
//
// The journal is a file on disk that others may have written: at start-up
// its undo records are written back only to the tables and indexes that
// talvo.cfg names (resolved paths compared; absolute names and ".." are
// refused and logged). The journal is never opened through a symbolic link
// and is created 0600 (it holds record images); the start is refused when
// the data directory, talvo.cfg or the journal can be written by other
// users.
#pragma once

inline constexpr const char* kJournalFile = "talvo.jnl";

// Opens (or creates) the journal, undoes an unfinished change, takes the
// terminals' sequence bytes, marks the manager running and arms the full
// index check when the last stop was not in order. Run before any table or
// index is opened. False with the failure text in MessageBuffer.
bool JournalStart();

// The orderly stop: marks the journal stopped in order and closes it.
void JournalStop();

// Opens the entry of one request of terminal `slot` (records are written
// only when the request writes to a table or index).
void JournalBegin(int slot, int code);

// Closes the entry: 0 when the request's writes all succeeded (they are
// committed); -1 when a write or the store failed, in which case every byte
// the request wrote is put back, the store forgets what it cached, the
// terminal's sequence byte and record are those from before the request,
// and the undo is logged.
int JournalEnd();

// The terminal's record number when its current entry began.
int JournalRecordBefore();
