// Opening and closing a terminal's table context (codes 10, 11, 16, 41, 42)
// and choosing its order (code 17). Tables and indexes are only found among
// those the manager opened at start; no request opens a file.
#include "manager/requests/table_requests.h"

#include "manager/requests/table_support.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/tables.h"

#include <cstring>

namespace {

constexpr std::uint8_t kNoName[6] = {0, 0, 0, 0, 0, 0};

// A name the store may look up: at most 63 characters. A longer one is
// never an open table or index (the store would compare only its start).
bool UsableName(const char* name) {
    return name[0] != 0 && std::strlen(name) <= kMaxRequestName;
}

// Steps shared by every open: the previous context ends (its locks are
// released), the terminal has no file and no index.
void EndContext(int slot) {
    if (TerminalFile[slot] != -1) {
        ReleaseLocks(TerminalLocks[slot], slot);
        TerminalLocks[slot] = nullptr;
    }
    TerminalIndex[slot] = -1;
    TerminalFile[slot] = -1;
}

// The lock table of the configured table entry whose handle is `table`.
LockTable* LocksOfTable(int table) {
    for (int j = 0; j < kDataFiles; ++j) {
        if (DataFileKindOf(j) == 'D' && DataFileHandle[j] == table) return DataFileLocks[j];
    }
    return nullptr;
}

// Steps 7 and 8 of an open: the terminal's locks and kind, and the table
// on its first record with the before-first flag set.
void EnterTable(int table, int slot) {
    TerminalLocks[slot] = LocksOfTable(table);
    TerminalFileKind[slot] = 'D';
    d4goto_first();
    d4skip_records(-1);
}

// The steps both openings share: the previous context ends; a request
// without a name leaves the terminal with no file and is answered with six
// zero bytes; an unknown table name is refused. Otherwise the terminal's
// file is the table, selected in record order, and its number is returned.
// -1 means the request has been answered. `length` becomes the request's
// length once its text is terminated.
int BeginOpening(std::uint16_t address, std::uint8_t* data, int& length, int slot,
                 std::uint8_t reply) {
    EndContext(slot);
    if (length <= 3) {
        TerminalFileKind[slot] = ' ';
        std::memcpy(data, kNoName, sizeof kNoName);
        SendAnswer(address, data, reply, sizeof kNoName);
        return -1;
    }
    length = TerminateRequest(data, length);
    const char* name = RequestText(data, length, 2);
    const int table = UsableName(name) ? d4find_table(name) : -1;
    if (table < 0) {
        SendSixByteRefusal(address, data);
        return -1;
    }
    TerminalFile[slot] = table;
    d4select_table(table);
    i4select_natural_order();
    return table;
}

} // namespace

void OpenTable(std::uint16_t address, std::uint8_t* data, int length, int slot,
               std::uint8_t reply) {
    const int table = BeginOpening(address, data, length, slot, reply);
    if (table < 0) return;
    EnterTable(table, slot);
    if (SendTableStructure(address, data, reply, slot) != 0) TerminalFile[slot] = -1;
}

void OpenTableWithIndex(std::uint16_t address, std::uint8_t* data, int length, int slot,
                        std::uint8_t reply) {
    const int table = BeginOpening(address, data, length, slot, reply);
    if (table < 0) return;

    const char* indexName = RequestNextText(data, length, 2);
    const int index = UsableName(indexName) ? i4find_index(indexName) : -1;
    // An index of another table would leave the context pointing at an
    // order that the table does not have: refuse it like an unknown name.
    if (index < 0 || !IndexBelongsTo(index, table)) {
        TerminalIndex[slot] = -1;
        TerminalFile[slot] = -1;
        SendSixByteRefusal(address, data);
        return;
    }
    TerminalIndex[slot] = index;
    i4select_index(index);
    EnterTable(table, slot);
    if (SendTableStructure(address, data, reply, slot) != 0) {
        TerminalIndex[slot] = -1;
        TerminalFile[slot] = -1;
    }
}

void SelectOrder(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    length = TerminateRequest(data, length);
    if (length == 0) {
        // No name: record order from the next request on; this request's
        // move is made in the order that was in force.
        TerminalIndex[slot] = -1;
        d4goto_first();
    } else {
        const char* name = RequestText(data, length, 2);
        const int index = UsableName(name) ? i4find_index(name) : -1;
        if (index < 0 || !IndexBelongsTo(index, TerminalFile[slot])) {
            SendAnswer(address, nullptr, 14, 0);
            TerminalIndex[slot] = -1;
            return;
        }
        TerminalIndex[slot] = index;
        d4goto_first();
        d4skip_records(-1);
    }
    SendRecordReply(address, data, 17, 0);
}

void CloseTable(std::uint16_t address, std::uint8_t* data, int /*length*/, int slot) {
    const int table = TerminalFile[slot];
    if (table != -1 && TerminalFileKind[slot] != 'D') {
        // A text-file context: its file number is no table number, so no
        // table is touched; the context ends with its lock given up.
        LockTable* locks = TerminalLocks[slot];
        ReleaseLocks(locks, slot);
        if (locks != nullptr) {
            locks->record[slot] = 0;
            locks->holder = 255;
        }
    } else if (table != -1) {
        d4select_table(table);
        TerminalRecord[slot] = d4record_number();
        d4flush_table(table);
        if (RefreshTableHeader() < TerminalRecord[slot]) d4goto_last();
        // The record the table stands on goes back to the file as it is
        // there: the changed record has just been flushed, so only a real
        // record (never a position past the end, which would append a blank
        // one) is rewritten, and it is read afresh first so that a change
        // another program made meanwhile is not overwritten with an old copy.
        const int current = d4record_number();
        if (d4at_end() != 1 && current >= 1 && current <= d4record_count() &&
            d4goto_record(current) == 0) {
            d4write_record(current);
        }
        WriteTableHeader(CommitAfterWriteFlag());
        if (TerminalIndex[slot] != -1) {
            i4select_index(TerminalIndex[slot]);
            RefreshIndex(TerminalIndex[slot], 1);
            if (CommitAfterWriteFlag() != 0) CommitIndexFile(TerminalIndex[slot]);
        }
        if (RefreshTableHeader() >= TerminalRecord[slot]) {
            d4goto_record(TerminalRecord[slot]);
        } else {
            d4goto_last();
        }
        LockTable* locks = TerminalLocks[slot];
        ReleaseLocks(locks, slot);
        if (locks != nullptr) {
            locks->record[slot] = 0;
            locks->holder = 255;
        }
    }
    TerminalIndex[slot] = -1;
    TerminalFile[slot] = -1;
    TerminalFileKind[slot] = ' ';
    TerminalLocks[slot] = nullptr;
    std::memcpy(data, kNoName, sizeof kNoName);
    SendAnswer(address, data, 41, sizeof kNoName);
}
