// Writing small dBASE III tables for the table-request tests, the way
// another program would leave them on disk.
#pragma once

#include <string>
#include <vector>

namespace linetest {

// A field of a table written by WriteTable.
struct FieldSpec {
    std::string name;
    char type;
    int width;
    int decimals = 0;
};

// Writes a dBASE III table with these fields and records (each record is
// the field values laid side by side, without the flag byte, blank-padded
// to the width); record i is marked deleted when deleted[i] is true.
void WriteTable(const std::string& path, const std::vector<FieldSpec>& fields,
                const std::vector<std::string>& records, const std::vector<bool>& deleted = {});

} // namespace linetest
