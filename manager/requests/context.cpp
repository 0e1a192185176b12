// RestoreContext and SaveContext, and the answer road with its hold for
// record-changing requests.
#include "manager/requests/context.h"

#include <cstring>

#include "manager/link.h"
#include "manager/requests/locks.h"
#include "manager/requests/writeback.h"
#include "manager/runtime.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/tables.h"

namespace {

// The answer kept while a record-changing request is served.
bool holding = false;
bool held = false;
std::uint16_t held_address;
std::uint8_t held_code;
int held_length;
std::uint8_t held_data[kFrameBufferSize];

bool IsLockCode(int code) {
    return code == 36 || code == 37 || code == 38;
}

void Hand(std::uint16_t address, const std::uint8_t* data, std::uint8_t code, int length) {
    if (length <= 0 || data == nullptr) length = 0;
    Link.write(address, length == 0 ? nullptr : data, code, static_cast<std::int16_t>(length));
}

} // namespace

bool IsRecordChangingCode(int code) {
    switch (code) {
    case 18:
    case 19:
    case 20:
    case 21:
    case 43:
    case 46:
    case 47:
    case 48: return true;
    default: return false;
    }
}

void SendAnswer(std::uint16_t address, const std::uint8_t* data, std::uint8_t code, int length) {
    if (length < 0 || data == nullptr) length = 0;
    if (length > static_cast<int>(kFrameBufferSize)) length = static_cast<int>(kFrameBufferSize);
    if (!holding) {
        Hand(address, data, code, length);
        return;
    }
    // Every request gets one answer; the driver would send only the first.
    if (held) return;
    held = true;
    held_address = address;
    held_code = code;
    held_length = length;
    if (length > 0) std::memmove(held_data, data, static_cast<std::size_t>(length));
}

void HoldAnswers() {
    holding = true;
    held = false;
}

void ReleaseHeldAnswer() {
    holding = false;
    if (!held) return;
    held = false;
    Hand(held_address, held_data, held_code, held_length);
}

void DiscardHeldAnswer() {
    holding = false;
    held = false;
}

namespace {

// The codes that change the terminal's current record in place.
bool IsCurrentRecordChange(int code) {
    return code == 19 || code == 47 || code == 20 || code == 21;
}

} // namespace

int RestoreContext(int code, int slot) {
    if (slot < 0 || slot >= kSlots) return 0;
    const auto s = static_cast<std::size_t>(slot);
    if (TerminalFile[s] == -1) return 0;
    // A text file: only the lock requests act on it; a table request must
    // never act on a table that is not the terminal's.
    if (TerminalFileKind[s] != kKindTable)
        return IsLockCode(code) && TerminalFileKind[s] == kKindText;
    if (d4table(TerminalFile[s]) == nullptr) return 0;
    d4select_table(TerminalFile[s]);
    // The record count is taken from the file once in each request (other
    // programs append between requests).
    d4forget_count();
    if (TerminalIndex[s] != -1)
        i4select_index(TerminalIndex[s]);
    else
        i4select_natural_order();
    if (d4record_count() < TerminalRecord[s]) {
        // The table has become shorter than the terminal's record: end of file.
        d4goto_last();
        d4skip_records(1);
        ReleaseLocks(TerminalLocks[s], slot);
    } else if (IsCurrentRecordChange(code)) {
        // The record is read under the lock its write takes, so the write
        // replaces what was read and need not read it again.
        d4goto_record_for_change(TerminalRecord[s]);
    } else {
        d4goto_record(TerminalRecord[s]);
    }
    return 1;
}

void SaveContext(int code, int slot) {
    if (slot < 0 || slot >= kSlots) return;
    const auto s = static_cast<std::size_t>(slot);
    if (TerminalFile[s] == -1 || TerminalFileKind[s] != kKindTable) return;
    if (d4table(TerminalFile[s]) == nullptr) return;
    d4select_table(TerminalFile[s]);
    TerminalRecord[s] = d4record_number();
    d4flush_table(TerminalFile[s]);
    if (IsRecordChangingCode(code)) {
        if (d4at_start() == 0 && d4at_end() == 0) d4write_record(d4record_number());
        // With the commit flag on, every file the request wrote is forced to
        // disk before the answer; a file it did not write costs nothing.
        if (code == 20 || code == 21) {
            if (CommitAfterWrite != 0) CommitTableFile();
        } else {
            WriteTableHeader(CommitAfterWrite);
            // Every index of the table took the new or changed keys, not only
            // the one the terminal walks: all of them go to disk now, or other
            // programs would read indexes that miss this record.
            const TableHandle* t = d4table(TerminalFile[s]);
            int walked = 0;
            for (int i = t != nullptr ? t->first_index : -1; i >= 0 && walked < kDataFiles;
                 ++walked) {
                const IndexHandle* h = i4index(i);
                if (h == nullptr) break;
                const int next = h->next;
                RefreshIndex(i, 1);
                if (CommitAfterWrite != 0) CommitIndexFile(i);
                i = next;
            }
        }
        return;
    }
    if (TerminalIndex[s] != -1) RefreshIndex(TerminalIndex[s], 0);
}
