// The field values and the 16-byte field descriptors of the two table
// layouts sent to terminals, laid out from plain field values: each
// descriptor points at its own field's value in the terminal's memory.
#include "manager/requests/table_requests.h"

#include <cstring>

namespace {

constexpr int kFieldCountByte = 5;
constexpr int kStructureHeader = 6;
constexpr int kDescriptorSize = 16;

} // namespace

int LayOutFieldValues(std::span<const ReplyField> fields, std::span<std::uint8_t> out) {
    std::size_t at = 0;
    for (const ReplyField& f : fields) {
        if (f.width < 0) return -1;
        const auto width = static_cast<std::size_t>(f.width);
        if (out.size() - at < width + 1) return -1;
        std::size_t copied = 0;
        if (f.value != nullptr) {
            while (copied < width && f.value[copied] != 0) {
                out[at + copied] = f.value[copied];
                ++copied;
            }
        }
        std::memset(out.data() + at + copied, 0, width - copied + 1);
        at += width + 1;
    }
    return static_cast<int>(at);
}

int LayOutStructure(std::span<const ReplyField> fields, std::uint16_t base,
                    std::span<std::uint8_t> out) {
    const std::size_t n = fields.size();
    if (n > 255) return -1;
    const std::size_t valuesAt = kStructureHeader + kDescriptorSize * n;
    if (out.size() < valuesAt) return -1;
    const int values = LayOutFieldValues(fields, out.subspan(valuesAt));
    if (values < 0) return -1;

    out[kFieldCountByte] = static_cast<std::uint8_t>(n);
    std::size_t valueOffset = valuesAt;
    for (std::size_t i = 0; i < n; ++i) {
        const ReplyField& f = fields[i];
        std::uint8_t* d = out.data() + kStructureHeader + kDescriptorSize * i;
        d[0] = static_cast<std::uint8_t>(f.type == 'C' ? 'S' : f.type);
        // The stored name ends at its first NUL (or after 10 characters);
        // the rest of the 10 places are blanks.
        std::size_t len = 0;
        while (len < 10 && f.name[len] != 0) ++len;
        std::memcpy(d + 1, f.name, len);
        std::memset(d + 1 + len, ' ', 10 - len);
        d[11] = 0;
        const auto address = static_cast<std::uint16_t>(base + valueOffset);
        d[12] = static_cast<std::uint8_t>(address & 0xFF);
        d[13] = static_cast<std::uint8_t>(address >> 8);
        d[14] = static_cast<std::uint8_t>(f.width & 0xFF);
        d[15] = static_cast<std::uint8_t>(f.decimals & 0xFF);
        valueOffset += static_cast<std::size_t>(f.width) + 1;
    }
    return static_cast<int>(valuesAt) + values;
}
