// Test helpers: a private temporary directory, whole-file reads and writes,
// and a builder of .DBF images from field lists and record texts.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "manager/tablestore/store.h"
#include "manager/tablestore/store_errors.h"
#include "manager/tablestore/tables.h"

namespace testfiles {

using Bytes = std::vector<unsigned char>;

// A directory of its own for one test, removed afterwards. The path stays
// short because table names keep at most 63 characters.
struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/t1tbXXXXXX";
        const char* made = mkdtemp(name);
        path = made != nullptr ? made : "/tmp";
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path, ignored);
    }
    std::string file(const std::string& name) const { return path + "/" + name; }
};

inline Bytes read_file(const std::string& name) {
    std::ifstream in(name, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

inline void write_file(const std::string& name, const Bytes& bytes) {
    std::ofstream out(name, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
}

struct Field {
    std::string name;
    char type;
    int width;    // 'C': bytes 16-17; others byte 16
    int decimals; // byte 17
};

// A table image: 32-byte header, descriptors, 0x0D, records, optional 0x1A.
// records are the record texts without the flag byte ("" rows get blanks);
// deleted[i] marks record i + 1.
inline Bytes make_table(const std::vector<Field>& fields, const std::vector<std::string>& records,
                        const std::vector<bool>& deleted = {}, bool end_byte = true) {
    int width = 1;
    for (const Field& f : fields) width += f.width;
    const int header_length = 32 * (static_cast<int>(fields.size()) + 1) + 1;
    Bytes b(static_cast<std::size_t>(header_length), 0);
    b[0] = 3;
    b[1] = 99;
    b[2] = 1;
    b[3] = 2;
    const auto count = static_cast<std::uint32_t>(records.size());
    for (int i = 0; i < 4; ++i) b[4 + i] = static_cast<unsigned char>(count >> (8 * i));
    b[8] = static_cast<unsigned char>(header_length & 0xFF);
    b[9] = static_cast<unsigned char>(header_length >> 8);
    b[10] = static_cast<unsigned char>(width & 0xFF);
    b[11] = static_cast<unsigned char>(width >> 8);
    for (std::size_t i = 0; i < fields.size(); ++i) {
        unsigned char* d = &b[32 * (i + 1)];
        std::memcpy(d, fields[i].name.data(), std::min<std::size_t>(fields[i].name.size(), 10));
        d[11] = static_cast<unsigned char>(fields[i].type);
        d[16] = static_cast<unsigned char>(fields[i].width & 0xFF);
        d[17] = static_cast<unsigned char>(fields[i].type == 'C' ? fields[i].width >> 8
                                                                 : fields[i].decimals);
    }
    b[static_cast<std::size_t>(header_length) - 1] = 0x0D;
    for (std::size_t r = 0; r < records.size(); ++r) {
        std::string text = records[r];
        text.resize(static_cast<std::size_t>(width - 1), ' ');
        b.push_back(r < deleted.size() && deleted[r] ? '*' : ' ');
        b.insert(b.end(), text.begin(), text.end());
    }
    if (end_byte) b.push_back(0x1A);
    return b;
}

// Numbered fixture: every test starts with a fresh store and its own
// directory, and closes what it opened.
class StoreTest : public ::testing::Test {
  protected:
    TempDir dir;
    void SetUp() override {
        d4reset_store();
        ASSERT_EQ(d4initialize(1, 1, 25, 256, 0), 0);
    }
    void TearDown() override {
        d4close_all_tables();
        d4reset_store();
    }
    // Writes image as name in the test directory and opens it (a table
    // already open under that name is seen anew, as by the next request).
    int open_image(const std::string& name, const Bytes& image) {
        write_file(dir.file(name), image);
        d4unlock_all();
        return d4open_table(dir.file(name).c_str());
    }
};

} // namespace testfiles
