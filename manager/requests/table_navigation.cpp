// Moving a terminal's record pointer (codes 22 to 25) and reporting its
// record count and record number (codes 39, 40). Each move answers with the
// record image of where the table now stands.
#include "manager/requests/table_requests.h"

#include "manager/requests/table_support.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/store_errors.h"
#include "manager/tablestore/tables.h"

#include <cstdio>

namespace {

constexpr int kAtStartByte = 0;
constexpr int kAtEndByte = 1;
constexpr int kStatusByte = 3;

// Sends a number as "%lu" text with its NUL.
void SendNumberText(std::uint16_t address, std::uint8_t* data, std::uint8_t code, int value) {
    // The store gives -1 or 0 when it has nothing; "%lu" of -1 would be a
    // 20-digit number, so a negative value goes out as 0.
    const unsigned long n = value < 0 ? 0UL : static_cast<unsigned long>(value);
    const int len = std::snprintf(reinterpret_cast<char*>(data), 32, "%lu", n);
    SendAnswer(address, data, code, len + 1);
}

// A skip past deleted records that outran the table: the selected index
// is damaged (a natural-order skip cannot outrun it). -1.
int PassedTooFar() {
    const TableHandle* t = d4current_table();
    if (t != nullptr && i4index(t->selected_index) != nullptr)
        return i4mark_damaged(t->selected_index,
                              "A skip passed more entries than the table has records.", false);
    e4error_report(err4data, "A skip passed more records than the table has.", nullptr);
    return -1;
}

} // namespace

void GotoRecord(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    length = TerminateRequest(data, length);
    const int n = RequestNumber(RequestText(data, length, 2));
    const int count = d4record_count();
    std::uint8_t status = 0;
    if (n >= 1 && n <= count) {
        status = d4goto_record(n) < 0 ? 1 : 0;
    } else if (n > count) {
        d4goto_last();
        d4skip_records(1);
    } else {
        d4goto_first();
        d4skip_records(-1);
    }
    ReleaseIfMoved(slot);
    SendRecordReply(address, data, 22, status);
}

void GotoLast(std::uint16_t address, std::uint8_t* data, int /*length*/, int slot) {
    const int r = d4goto_last();
    ReleaseIfMoved(slot);
    SendRecordReply(address, data, 23, r < 0 ? 1 : 0);
}

void GotoFirst(std::uint16_t address, std::uint8_t* data, int /*length*/, int slot) {
    const int r = d4goto_first();
    ReleaseIfMoved(slot);
    SendRecordReply(address, data, 24, r < 0 ? 1 : 0);
}

void SkipRecords(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    length = TerminateRequest(data, length);
    const bool passDeleted = RequestByte(data, length, 1) != 0;
    int n = RequestNumber(RequestText(data, length, 2));
    // Moving more records than the table holds lands at the same place
    // (before the first record or at end of file); keeping the count within
    // that bound keeps the store's position arithmetic far from overflow.
    const int count = d4record_count();
    if (count >= 0 && count < 0x3FFFFFFF) {
        if (n > count + 1) n = count + 1;
        if (n < -(count + 1)) n = -(count + 1);
    }
    int r = d4skip_records(n);
    if (passDeleted) {
        // At most as many steps as the table has records, and one more: an
        // order that keeps offering deleted records past that goes round in
        // a damaged index.
        const int step = n > 0 ? 1 : -1;
        int steps = 0;
        while (r >= 0 && d4is_deleted() == 1 && d4at_start() != 1 && d4at_end() != 1) {
            if (steps++ > count) {
                r = PassedTooFar();
                break;
            }
            r = d4skip_records(step);
        }
    }
    // The position may have moved off a locked record.
    ReleaseIfMoved(slot);
    const int len = BuildRecordImage(FrameSpan(data));
    if (len < 0) {
        SendAnswer(address, nullptr, 14, 0);
        return;
    }
    data[kAtStartByte] = r == 1 ? 1 : 0;
    data[kAtEndByte] = r == 3 ? 1 : 0;
    data[kStatusByte] = r < 0 ? 1 : 0;
    SendAnswer(address, data, 25, len);
}

void SendRecordCount(std::uint16_t address, std::uint8_t* data, int /*length*/, int /*slot*/) {
    SendNumberText(address, data, 39, d4record_count());
}

void SendRecordNumber(std::uint16_t address, std::uint8_t* data, int /*length*/, int /*slot*/) {
    SendNumberText(address, data, 40, d4record_number());
}
