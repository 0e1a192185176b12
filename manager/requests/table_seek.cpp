// Seeking a key through the terminal's index (code 26). The seek is numeric
// when the index's key expression is a single numeric field, a text seek
// otherwise; the answer is the record image with the found flag.
#include "manager/requests/table_requests.h"

#include "manager/requests/table_support.h"
#include "manager/tablestore/fields.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/tables.h"

#include <cstring>

namespace {

constexpr int kFoundByte = 2;
constexpr int kStatusByte = 3;

// Filter that passes over records carrying the deletion mark.
int RejectDeleted() {
    return d4is_deleted();
}

// True when the key of `index` is numeric and its expression is one field
// (of type N or F). The index knows its key's type since it was opened; the
// field lookup is a quiet one, as an expression such as UPPER(NOME)+DTOS(NASC)
// is no field name and no fault.
bool NumericKey(int index) {
    const IndexHandle* h = index >= 0 ? i4index(index) : nullptr;
    if (h == nullptr || h->key_type != 'N') return false;
    char expression[kKeyExpressionSize + 1] = {};
    if (!IndexKeyExpression(index, expression, sizeof expression)) return false;
    const int type = f4field_type(f4lookup(expression));
    return type == 'N' || type == 'F';
}

// Leaves the table at end of file in the filtered order.
void PlaceAtEnd() {
    d4goto_last_filtered();
    d4skip_filtered(1);
}

} // namespace

void SeekKey(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    length = TerminateRequest(data, length);
    const bool stayOnGreater = RequestByte(data, length, 0) != 0;
    const bool passDeleted = RequestByte(data, length, 1) != 0;
    if (passDeleted) d4push_filter(RejectDeleted);

    if (TerminalIndex[slot] == -1) {
        SendSixByteRefusal(address, data);
    } else {
        const char* key = RequestText(data, length, 2);
        const int r = NumericKey(TerminalIndex[slot]) ? d4seek_number_filtered(RequestReal(key))
                                                      : d4seek_text_filtered(key);
        std::uint8_t found = 0;
        std::uint8_t status = 0;
        if (r == 0 || r == 1) {
            // Exact, or the text matched a key as its prefix (a terminal
            // seeking a code by its first characters): both are found.
            found = 1;
        } else if (r == 2) {
            if (!stayOnGreater) PlaceAtEnd();
        } else if (r == 3) {
            // already at end of file
        } else {
            status = 1;
            PlaceAtEnd();
        }
        const int len = BuildRecordImage(FrameSpan(data));
        if (len < 0) {
            SendAnswer(address, nullptr, 14, 0);
        } else {
            data[kFoundByte] = found;
            data[kStatusByte] = status;
            SendAnswer(address, data, 26, len);
        }
    }
    d4clear_filters();
    ReleaseIfMoved(slot);
}
