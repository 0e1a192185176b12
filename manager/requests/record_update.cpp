// Storing field values by field name into the terminal's current record
// (codes 19 and 47), optionally into a record appended first (43 and 48),
// each value converted by its field's type. Codes 47 and 48 carry a
// sequence byte, so a repeated 48 does not append a second record.
#include "manager/requests/record_requests.h"

#include "manager/requests/table_requests.h"
#include "manager/requests/table_support.h"
#include "manager/tablestore/fields.h"
#include "manager/tablestore/tables.h"

#include <cstring>

namespace {

constexpr int kSequenceByte = 0;
constexpr int kFieldsAt = 2;     // codes 19, 43
constexpr int kFieldsOnceAt = 3; // codes 47, 48
constexpr std::uint8_t kStored = 0;
constexpr std::uint8_t kRefused = 1;

// Stores the pairs of name and value that start at offset `at` into the
// current record. kStored when every pair was stored, kRefused when it
// stopped at a pair (the pairs before it stay stored).
std::uint8_t StorePairs(std::uint8_t* data, int length, int at) {
    length = TerminateRequest(data, length);
    int p = at;
    while (p < length) {
        const char* name = reinterpret_cast<const char*>(data + p);
        const int name_length = static_cast<int>(std::strlen(name)); // ends at data[length]
        const int value_at = p + name_length + 1;
        // A name at the very end of the request has no value: it gets an
        // empty one rather than whatever the buffer holds past the request.
        const char* value = RequestText(data, length, value_at);
        p = value_at + static_cast<int>(std::strlen(value)) + 1;
        if (name_length > kMaxFieldName) return kRefused; // cannot be held
        char held[kMaxFieldName + 1];
        std::memcpy(held, name, static_cast<std::size_t>(name_length) + 1);
        const int ref = f4ref(held); // a name that is no field is reported by the store
        if (ref < 0 || !StoreFieldValue(ref, value)) return kRefused;
    }
    return kStored;
}

// The common steps after any append: refused when the record is held by
// another terminal or program, or when the terminal has no record to store
// into (at end of file the values would never reach the file); otherwise
// the pairs from offset `at`.
void StoreAndAnswer(std::uint16_t address, std::uint8_t* data, int length, int slot,
                    std::uint8_t code, int at) {
    std::uint8_t status = kRefused;
    if (ProbeLock(TerminalLocks[static_cast<std::size_t>(slot)], slot) != kLockElsewhere &&
        d4at_end() == 0)
        status = StorePairs(data, length, at);
    SendRecordReply(address, data, code, status);
}

// Appends a record that carries the pairs from offset `at`: the record is
// built in the buffer and appended once, so that every index takes its final
// key once (the same record on disk as a blank append whose fields are then
// stored). A refused pair keeps the values stored before it, as a store into
// an appended record would. The reply's status as StoreAndAnswer's. False
// when nothing was appended.
bool AppendAndAnswer(std::uint16_t address, std::uint8_t* data, int length, int slot,
                     std::uint8_t code, int at) {
    std::uint8_t status = kRefused;
    const int table = d4select_table(-1);
    bool appended = d4changed(table) == 0;
    if (appended) {
        d4blank_record();
        status = StorePairs(data, length, at);
        appended = d4append_record() == 0;
    }
    if (!appended) {
        d4blank_record(); // no record: none of the values is answered as stored
        SendRecordReply(address, data, code, kRefused);
        ReleaseIfMoved(slot);
        return false;
    }
    ReleaseIfMoved(slot); // the new record is now current
    if (ProbeLock(TerminalLocks[static_cast<std::size_t>(slot)], slot) == kLockElsewhere ||
        d4at_end() != 0)
        status = kRefused;
    SendRecordReply(address, data, code, status);
    return true;
}

} // namespace

void UpdateFields(std::uint16_t address, std::uint8_t* data, int length, int slot,
                  std::uint8_t code, bool append) {
    if (append)
        AppendAndAnswer(address, data, length, slot, code, kFieldsAt);
    else
        StoreAndAnswer(address, data, length, slot, code, kFieldsAt);
}

void UpdateFieldsOnce(std::uint16_t address, std::uint8_t* data, int length, int slot,
                      std::uint8_t code, bool append) {
    const std::uint8_t sequence = RequestByte(data, length, kSequenceByte);
    auto& last = TerminalSequence[static_cast<std::size_t>(slot)];
    if (append && sequence != last) {
        // A refused append does not take the sequence byte, so a repetition
        // appends again.
        if (AppendAndAnswer(address, data, length, slot, code, kFieldsOnceAt)) last = sequence;
        return;
    }
    ReleaseIfMoved(slot);
    last = sequence;
    StoreAndAnswer(address, data, length, slot, code, kFieldsOnceAt);
}

void UpdateFieldsRequest(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    UpdateFields(address, data, length, slot, 19, false);
}
void AppendUpdateRequest(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    UpdateFields(address, data, length, slot, 43, true);
}
void UpdateFieldsOnceRequest(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    UpdateFieldsOnce(address, data, length, slot, 47, false);
}
void AppendUpdateOnceRequest(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    UpdateFieldsOnce(address, data, length, slot, 48, true);
}
