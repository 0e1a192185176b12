// Writing small dBASE III tables for the table-request tests.
#include "tests/requests/table_files.h"

#include <cstdint>
#include <cstring>
#include <fstream>

namespace linetest {

namespace {

void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint16_t v) {
    b[at] = static_cast<std::uint8_t>(v & 0xFF);
    b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

} // namespace

void WriteTable(const std::string& path, const std::vector<FieldSpec>& fields,
                const std::vector<std::string>& records, const std::vector<bool>& deleted) {
    int width = 1;
    for (const FieldSpec& f : fields) width += f.width;
    const std::size_t headerLength = 32 + 32 * fields.size() + 1;
    std::vector<std::uint8_t> b(headerLength, 0);
    b[0] = 3;
    b[1] = 126;
    b[2] = 12;
    b[3] = 7;
    const auto count = static_cast<std::uint32_t>(records.size());
    std::memcpy(b.data() + 4, &count, 4);
    Put16(b, 8, static_cast<std::uint16_t>(headerLength));
    Put16(b, 10, static_cast<std::uint16_t>(width));
    for (std::size_t i = 0; i < fields.size(); ++i) {
        std::uint8_t* d = b.data() + 32 + 32 * i;
        std::memcpy(d, fields[i].name.data(), std::min<std::size_t>(fields[i].name.size(), 10));
        d[11] = static_cast<std::uint8_t>(fields[i].type);
        if (fields[i].type == 'C') {
            d[16] = static_cast<std::uint8_t>(fields[i].width & 0xFF);
            d[17] = static_cast<std::uint8_t>(fields[i].width >> 8);
        } else {
            d[16] = static_cast<std::uint8_t>(fields[i].width);
            d[17] = static_cast<std::uint8_t>(fields[i].decimals);
        }
    }
    b[headerLength - 1] = 0x0D;
    for (std::size_t r = 0; r < records.size(); ++r) {
        std::string rec = records[r];
        rec.resize(static_cast<std::size_t>(width - 1), ' ');
        b.push_back(r < deleted.size() && deleted[r] ? '*' : ' ');
        b.insert(b.end(), rec.begin(), rec.end());
    }
    b.push_back(0x1A);
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
}

} // namespace linetest
