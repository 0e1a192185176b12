// Fuzz target: a fixed table (NOME C 10, QTD N 8.2, NASC D) with the input
// as its index file. The index is opened, walked both ways, sought by text
// and number, and kept up to date through an append and a key change; every
// damage must end in a refusal or an error, never a crash or a hang.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "manager/tablestore/fields.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"

namespace {

std::string directory;

void put16(std::uint8_t* p, unsigned v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

// The table's bytes: 3 fields, 60 records like the peer person table's.
std::vector<std::uint8_t> table_image() {
    const char* names[] = {"NOME", "QTD", "NASC"};
    const char types[] = {'C', 'N', 'D'};
    const int widths[] = {10, 8, 8};
    const int decimals[] = {0, 2, 0};
    const int width = 1 + 10 + 8 + 8;
    const int header = 32 + 3 * 32 + 1;
    std::vector<std::uint8_t> image(static_cast<std::size_t>(header), 0);
    image[0] = 3;
    put16(&image[8], header);
    put16(&image[10], width);
    for (int f = 0; f < 3; ++f) {
        std::uint8_t* d = &image[static_cast<std::size_t>(32 + 32 * f)];
        std::memcpy(d, names[f], std::strlen(names[f]));
        d[11] = static_cast<std::uint8_t>(types[f]);
        d[16] = static_cast<std::uint8_t>(widths[f]);
        d[17] = static_cast<std::uint8_t>(decimals[f]);
    }
    image[static_cast<std::size_t>(header - 1)] = 0x0D;
    const char* people[] = {"ANA",   "BRUNO", "CARLA", "DANI", "EDU",
                            "FABIO", "GABI",  "HUGO",  "IARA", "JOAO"};
    for (int i = 1; i <= 60; ++i) {
        char record[64];
        char nome[16];
        std::snprintf(nome, sizeof nome, "%s%02d", people[i % 10], i);
        std::snprintf(record, sizeof record, "%c%-10s%8.2f%04d%02d%02d", i % 7 == 0 ? '*' : ' ',
                      nome, (i - 30) * 1.25, 1980 + i / 3, 1 + i % 12, 1 + i % 28);
        if (i % 11 == 0) std::memset(record + 19, ' ', 8);
        image.insert(image.end(), record, record + width);
    }
    image.push_back(0x1A);
    return image;
}

bool write_all(const std::string& path, const std::uint8_t* data, std::size_t size) {
    std::FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) return false;
    const bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    std::fclose(f);
    return ok;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (directory.empty()) {
        char name[] = "/tmp/fuzz_indexes_XXXXXX";
        if (mkdtemp(name) == nullptr) return 0;
        directory = name;
    }
    static const std::vector<std::uint8_t> table = table_image();
    const std::string table_name = directory + "/P.DBF";
    const std::string index_name = directory + "/P.NTX";
    if (!write_all(table_name, table.data(), table.size())) return 0;
    if (!write_all(index_name, data, size)) return 0;

    d4reset_store();
    if (d4initialize(1, 1, 25, 256, 0) < 0) return 0;
    const int t = d4open_table(table_name.c_str());
    if (t < 0) return 0;
    const int i = i4open_index(index_name.c_str());
    if (i >= 0) {
        // Both ways through the whole index (bounded: a damaged tree may
        // share pages and so repeat keys).
        int steps = 0;
        for (int r = d4goto_first(); r == 0 && steps < 300; r = d4skip_records(1)) ++steps;
        steps = 0;
        for (int r = d4goto_last(); r == 0 && steps < 300; r = d4skip_records(-1)) ++steps;
        for (const char* text : {"", "A", "CARLA2", "GABI26", "ZZZ", "  -5.00", "19850101"})
            i4seek_text(text);
        for (double v : {-36.25, 0.0, 2446067.0, 1e300}) i4seek_number(v);
        d4seek_text_filtered("E");
        i4skip(i, 7);
        i4skip(i, -7);
        // Keeping it up to date: a new record and a changed key.
        d4blank_record();
        f4put_text(f4ref_by_number(1), "NOVO");
        f4put_number(f4ref_by_number(2), -12.5);
        d4append_record();
        if (d4goto_record(5) == 0) {
            f4put_text(f4ref_by_number(1), "MUDADO");
            d4write_record(5);
        }
        i4release_index(-1);
    }
    d4close_all_tables();
    d4reset_store();
    return 0;
}
