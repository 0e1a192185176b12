// The request dispatcher and its function-code table.
//
// To serve a code, put its handler into its row (wrappers below give the
// handlers with a variant - reply code, lock kind - the common signature).
// A row without a handler is not served (the main loop answers 7), after the
// context check when the row has one, so a table request from a terminal
// without a file is answered 14 whether or not its handler exists yet.
#include "manager/requests/dispatch.h"

#include "manager/tablestore/fileio.h"
#include "manager/tablestore/tables.h"

#include <array>

#include "manager/journal.h"
#include "manager/output.h"
#include "manager/requests/context.h"
#include "manager/requests/download.h"
#include "manager/requests/failed_change.h"
#include "manager/requests/locks.h"
#include "manager/requests/record_requests.h"
#include "manager/requests/table_requests.h"
#include "manager/requests/text_requests.h"
#include "manager/runtime.h"

namespace {

struct Row {
    RequestHandler handler; // null: nobody serves the code
    bool check;             // RestoreContext first; 0 refuses with 14
    bool save;              // SaveContext after the handler
};

// [9] nothing is done and nothing is sent.
void Ignore(std::uint16_t, std::uint8_t*, int, int) {}

// [14] answered with 14 and no data.
void Refuse(std::uint16_t address, std::uint8_t*, int, int) {
    SendAnswer(address, nullptr, 14, 0);
}

void LockRecordRequest(std::uint16_t address, std::uint8_t* data, int, int slot) {
    LockRequest(address, data, slot, false);
}
void LockFileRequest(std::uint16_t address, std::uint8_t* data, int, int slot) {
    LockRequest(address, data, slot, true);
}
void Unlock(std::uint16_t address, std::uint8_t*, int, int slot) {
    UnlockRequest(address, slot);
}

// Table opening with its reply code; codes 10 and 11 place the structure
// reply's values in the terminal's high memory.
void OpenHigh(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    TerminalHighBase[slot] = 1;
    OpenTable(address, data, length, slot, 10);
}
void OpenHighIndexed(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    TerminalHighBase[slot] = 1;
    OpenTableWithIndex(address, data, length, slot, 11);
}
void Open16(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    OpenTable(address, data, length, slot, 16);
}
void Open42(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    OpenTableWithIndex(address, data, length, slot, 42);
}

constexpr Row kNone{nullptr, false, false};

constexpr std::array<Row, kHighestCode + 1> MakeTable() {
    std::array<Row, kHighestCode + 1> t{};
    for (Row& r : t) r = kNone;
    // 0, 1, 3, 4, 6, 7, 8, 12, 13, 15, 32: no handler.
    t[2] = {SendImage, false, false};          // send my application image
    t[5] = {SendAltImage, false, false};       // send my alternate application image (.MKZ)
    t[9] = {Ignore, false, false};             // nothing, no answer
    t[10] = {OpenHigh, false, true};           // open a table, high base (reply 10)
    t[11] = {OpenHighIndexed, false, true};    // open a table with an index, high base (reply 11)
    t[14] = {Refuse, false, false};            // answered 14
    t[16] = {Open16, false, true};             // open a table (reply 16)
    t[17] = {SelectOrder, true, true};         // choose the order
    t[18] = {AppendBlankRequest, true, true};  // append a blank record
    t[19] = {UpdateFieldsRequest, true, true}; // update fields of the current record
    t[20] = {DeleteRecordRequest, true, true}; // mark the current record deleted
    t[21] = {RecallRecordRequest, true, true}; // clear the deletion mark
    t[22] = {GotoRecord, true, true};          // go to a record number
    t[23] = {GotoLast, true, true};            // go to the last record
    t[24] = {GotoFirst, true, true};           // go to the first record
    t[25] = {SkipRecords, true, true};         // skip records
    t[26] = {SeekKey, true, true};             // seek a key
    t[27] = {SendTime, false, false};          // the time
    t[28] = {SendDate, false, false};          // the date
    t[29] = {OpenTextFile, false, false};      // open a text file
    t[30] = {CloseTextFile, false, false};     // close the text file
    t[31] = {ReadTextFile, false, false};      // read from the text file
    t[33] = {SeekTextFile, false, false};      // move in the text file
    t[34] = {WriteTextFile, false, false};     // write to the text file
    t[35] = {SendFileStatus, false, false};    // the text-file status
    t[36] = {LockRecordRequest, true, true};   // lock the current record
    t[37] = {LockFileRequest, true, true};     // lock the whole table or file
    t[38] = {Unlock, true, true};              // release my lock
    t[39] = {SendRecordCount, true, true};     // the record count
    t[40] = {SendRecordNumber, true, true};    // the current record number
    t[41] = {CloseTable, false, false};        // close the table
    t[42] = {Open42, false, true};             // open a table with an index (reply 42)
    t[43] = {AppendUpdateRequest, true, true}; // append a record and update its fields
    t[44] = {OpenDefaultOutput, false, false}; // open or release the default output device
    t[45] = {WriteOutput, false, false};       // write to the local output device
    t[46] = {AppendBlankOnceRequest, true, true};  // append a blank record once
    t[47] = {UpdateFieldsOnceRequest, true, true}; // update fields, with a sequence byte
    t[48] = {AppendUpdateOnceRequest, true, true}; // append once and update fields
    t[49] = {WriteOutputOnce, false, false};       // write to the output device once
    t[50] = {OpenChosenOutput, false, false};      // open or release a chosen output device
    return t;
}

constexpr std::array<Row, kHighestCode + 1> kRows = MakeTable();

} // namespace

std::uint8_t DispatchRequest(std::uint16_t address, std::uint8_t* data, std::uint8_t code,
                             int length, int slot) {
    if (code > kHighestCode || slot < 0 || slot >= kSlots) return 0;
    if (length < 0) length = 0;
    // A length beyond the frame buffer, which keeps one byte for the NUL that
    // handlers store after the request, is cut to it: no handler may read
    // past the buffer (the output writes would send what lies beyond).
    if (length > static_cast<int>(kFrameBufferSize) - 1) length = kFrameBufferSize - 1;
    const Row& row = kRows[code];
    if (row.handler == nullptr && !row.check) return 0;
    // The store serves this terminal: its own record or file lock counts as
    // held for the store's writes, another terminal's refuses them, except
    // for the deletion mark, which is set and cleared on a record another terminal
    // holds. Every lock the store takes is given up before the answer goes.
    u4set_lock_owner(code == 20 || code == 21 ? u4any_terminal : u4owner_of_slot(slot));
    // A request that outlasts its budget in an index walk is abandoned
    // there: its writes are undone below and it is answered as failed.
    u4set_work_budget(kRequestWorkBudgetMs);
    if (row.check && RestoreContext(code, slot) == 0) {
        u4set_work_budget(0);
        d4unlock_all();
        u4set_lock_owner(u4no_terminal);
        SendAnswer(address, nullptr, 14, 0);
        return 1;
    }
    if (row.handler == nullptr) {
        u4set_work_budget(0);
        d4unlock_all();
        u4set_lock_owner(u4no_terminal);
        return 0;
    }
    const bool hold = row.save && IsRecordChangingCode(code);
    if (hold) HoldAnswers();
    JournalBegin(slot, code);
    row.handler(address, data, length, slot);
    if (row.save) SaveContext(code, slot);
    u4set_work_budget(0);
    // A request whose writes failed has been undone (still under the store's
    // locks): it is answered as failed.
    const bool failed = JournalEnd() != 0;
    d4unlock_all();
    u4set_lock_owner(u4no_terminal);
    if (hold && failed) {
        DiscardHeldAnswer();
        AnswerFailedChange(address, data, code, slot);
    } else if (hold) {
        ReleaseHeldAnswer();
    }
    return 1;
}
