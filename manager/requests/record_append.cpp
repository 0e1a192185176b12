// Appending a blank record (codes 18 and 46) and setting or clearing the
// current record's deletion mark (codes 20 and 21). The dispatcher's
// SaveContext writes the record, the header and the index pages afterwards.
#include "manager/requests/record_requests.h"

#include "manager/requests/table_requests.h"
#include "manager/requests/table_support.h"
#include "manager/tablestore/tables.h"

namespace {

constexpr int kSequenceByte = 0;

} // namespace

void AppendBlank(std::uint16_t address, int slot) {
    const int r = d4append_blank_record();
    SendAnswer(address, nullptr, r == 0 ? 18 : 14, 0);
    // The terminal now stands on the new record: its lock on the record it
    // left goes.
    ReleaseIfMoved(slot);
}

void AppendBlankOnce(std::uint16_t address, const std::uint8_t* data, int length, int slot) {
    const std::uint8_t sequence = RequestByte(data, length, kSequenceByte);
    auto& last = TerminalSequence[static_cast<std::size_t>(slot)];
    if (sequence == last) {
        SendAnswer(address, nullptr, 46, 0);
        return;
    }
    last = sequence; // taken now; a failed append is undone with it (see journal.h)
    AppendBlank(address, slot);
}

void DeleteRecord(std::uint16_t address, int slot) {
    // The mark is set without a lock test: deleting is allowed even on a
    // record another terminal holds. At end of file nothing is marked (the
    // store answers 1) and the answer is still 15.
    const int r = d4mark_deleted(d4record_number());
    if (r == -1) {
        SendAnswer(address, nullptr, 14, 0);
        return;
    }
    ReleaseLocks(TerminalLocks[static_cast<std::size_t>(slot)], slot);
    SendAnswer(address, nullptr, 15, 0);
}

void RecallRecord(std::uint16_t address, int /*slot*/) {
    // The terminal's locks stay as they were.
    const int r = d4unmark_deleted(d4record_number());
    SendAnswer(address, nullptr, r == -1 ? 14 : 15, 0);
}

void AppendBlankRequest(std::uint16_t address, std::uint8_t*, int, int slot) {
    AppendBlank(address, slot);
}
void AppendBlankOnceRequest(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    AppendBlankOnce(address, data, length, slot);
}
void DeleteRecordRequest(std::uint16_t address, std::uint8_t*, int, int slot) {
    DeleteRecord(address, slot);
}
void RecallRecordRequest(std::uint16_t address, std::uint8_t*, int, int slot) {
    RecallRecord(address, slot);
}
