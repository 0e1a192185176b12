// What the table request handlers need to know about the configured data
// files and the open indexes, read with bounds kept, and the refusal that
// carries six bytes.
#include "manager/requests/table_support.h"

#include "manager/config.h"
#include "manager/tablestore/indexes.h"

#include <cstring>

void SendSixByteRefusal(std::uint16_t address, std::uint8_t* data) {
    constexpr int kRefusalBytes = 6;
    std::memset(data, 0, kRefusalBytes);
    SendAnswer(address, data, 14, kRefusalBytes);
}

int DataFileKindOf(int j) {
    if (j < 0 || j >= kDataFiles || j >= kConfigDataFiles) return 0;
    return static_cast<unsigned char>(Config.DataFileKind[j]);
}

std::uint8_t CommitAfterWriteFlag() {
    return CommitAfterWrite;
}

bool IndexBelongsTo(int index, int table) {
    const IndexHandle* h = index >= 0 ? i4index(index) : nullptr;
    return h != nullptr && table >= 0 && h->table == table;
}

bool IndexKeyExpression(int index, char* out, std::size_t size) {
    if (size == 0) return false;
    out[0] = 0;
    const IndexHandle* h = index >= 0 ? i4index(index) : nullptr;
    if (h == nullptr) return false;
    const auto* text = reinterpret_cast<const char*>(h->header + i4h_expression);
    std::size_t n = 0;
    const std::size_t limit = std::min(size - 1, kKeyExpressionSize - 1);
    while (n < limit && text[n] != 0) ++n;
    std::memcpy(out, text, n);
    out[n] = 0;
    return true;
}
