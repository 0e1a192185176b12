// A terminal's table context around each table request, and the one road by
// which every handler answers a terminal.
//
// All terminals share the tables the manager opened at start, and the table
// store has one selected table; so before a table request RestoreContext
// selects the terminal's table, re-reads its header, selects its order and
// goes to its record, and after it SaveContext keeps the record number and
// brings the table and index files on disk up to date for other programs.
#pragma once

#include <cstdint>

// Re-establishes the context of the terminal in slot before a request with
// this code. 1 when the terminal has a current file that the request may act
// on; 0 when it has none, or when its file is a text file and the code is a
// table request (only the lock codes 36, 37, 38 also act on a text file; on
// a text file nothing of the table store is touched).
int RestoreContext(int code, int slot);

// Saves the terminal's record number and, after a record-changing code (18,
// 19, 20, 21, 43, 46, 47, 48), writes the record, the header and the index
// pages back; after any other code drops the cached pages of its index so
// the next request reads the index as it is on disk. Nothing for a terminal
// without a table.
void SaveContext(int code, int slot);

// True for the codes whose answer must wait until SaveContext has written
// the change: 18, 19, 20, 21, 43, 46, 47, 48.
bool IsRecordChangingCode(int code);

// Hands one answer frame for `address` to the link driver: length bytes of
// data (none when length is 0) with reply code `code`. While a
// record-changing request is being served the answer is held (copied) and
// handed over only once SaveContext has run, so a terminal never holds an
// answer for a change a crash could still lose. A driver that refuses the
// frame (its transmit buffer stayed busy) loses the answer without notice.
void SendAnswer(std::uint16_t address, const std::uint8_t* data, std::uint8_t code, int length);

// Used by the dispatcher: from HoldAnswers until ReleaseHeldAnswer, answers
// are kept instead of sent; ReleaseHeldAnswer sends the kept one, if any.
void HoldAnswers();
void ReleaseHeldAnswer();
// Ends the hold and throws the kept answer away (the request failed and its
// answer is replaced by the failure answer).
void DiscardHeldAnswer();
