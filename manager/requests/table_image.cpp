// The two layouts in which table data travel to a terminal: the record image
// (sent after every move and change) and the structure reply (sent when a
// table is opened), with its 16-byte field descriptors that point at each
// value's place in the terminal's memory.
#include "manager/requests/table_requests.h"

#include "manager/requests/table_support.h"
#include "manager/tablestore/fields.h"
#include "manager/tablestore/tables.h"

#include <array>
#include <cstring>

namespace {

// Flag bytes common to both layouts.
constexpr int kAtStartByte = 0;
constexpr int kAtEndByte = 1;
constexpr int kFoundByte = 2;
constexpr int kStatusByte = 3;
constexpr int kDeletedByte = 4;
constexpr int kImageHeader = 5;

// A table that passes the structure limit has at most this many fields
// (each field costs 17 bytes of the 980, plus at least its flag byte).
constexpr int kMaxReplyFields = kStructureLimit / 17;

// The selected table's fields, gathered for the layout routines. Returns the
// field count, or -1 when there are more than fit or the store refuses one.
int GatherFields(std::array<ReplyField, kMaxReplyFields>& fields, int count) {
    if (count < 0 || count > kMaxReplyFields) return -1;
    for (int i = 0; i < count; ++i) {
        const int ref = f4ref_by_number(i + 1);
        const FieldDescriptor* d = f4descriptor(ref);
        if (d == nullptr) return -1;
        ReplyField& f = fields[static_cast<std::size_t>(i)];
        f.type = d->type;
        std::memcpy(f.name, d->name, sizeof f.name);
        f.width = d->width;
        f.decimals = d->decimals;
        f.value = reinterpret_cast<const std::uint8_t*>(f4field_data(ref));
    }
    return count;
}

void PutFlags(std::span<std::uint8_t> out) {
    out[kAtStartByte] = d4at_start() == 1 ? 1 : 0;
    out[kAtEndByte] = d4at_end() == 1 ? 1 : 0;
    out[kFoundByte] = 0;
    out[kStatusByte] = 0;
    out[kDeletedByte] = d4is_deleted() == 1 ? 1 : 0;
}

} // namespace

int BuildRecordImage(std::span<std::uint8_t> out) {
    if (d4current_table() == nullptr || out.size() < kImageHeader) return -1;
    std::array<ReplyField, kMaxReplyFields> fields{};
    const int n = GatherFields(fields, d4field_count());
    if (n < 0) return -1;
    const int values = LayOutFieldValues(std::span(fields.data(), static_cast<std::size_t>(n)),
                                         out.subspan(kImageHeader));
    if (values < 0) return -1;
    PutFlags(out);
    return kImageHeader + values;
}

int SendTableStructure(std::uint16_t address, std::uint8_t* data, std::uint8_t reply, int slot) {
    const int n = d4field_count();
    const int width = d4record_width();
    // Widths are bounded by the store (at most 32767), so the sum cannot
    // overflow; a table without a selection counts as too wide.
    if (n < 0 || width < 0 || width + 17 * n > kStructureLimit) {
        SendAnswer(address, nullptr, 7, 0);
        return -1;
    }
    std::array<ReplyField, kMaxReplyFields> fields{};
    if (GatherFields(fields, n) < 0) {
        SendAnswer(address, nullptr, 7, 0);
        return -1;
    }
    const std::uint16_t base = TerminalHighBase[slot] == 1 ? kHighReplyBase : kLowReplyBase;
    std::span<std::uint8_t> out = FrameSpan(data);
    const int length =
        LayOutStructure(std::span(fields.data(), static_cast<std::size_t>(n)), base, out);
    if (length < 0) {
        SendAnswer(address, nullptr, 7, 0);
        return -1;
    }
    PutFlags(out);
    SendAnswer(address, data, reply, length);
    return 0;
}

void SendRecordReply(std::uint16_t address, std::uint8_t* data, std::uint8_t code,
                     std::uint8_t status) {
    const int length = BuildRecordImage(FrameSpan(data));
    if (length < 0) {
        SendAnswer(address, nullptr, 14, 0);
        return;
    }
    data[kStatusByte] = status;
    SendAnswer(address, data, code, length);
}
