// Shared pieces of the index tests: a scratch directory, copies of the
// peer-made fixtures, a fresh store sized as the manager sizes it, small
// tables and indexes made the way dbftool makes them, and walks in key order.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "manager/tablestore/fields.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/store_errors.h"
#include "manager/tablestore/tables.h"
#include "tools/dbftool/dbftool.h"

namespace itest {

inline std::string peer(const std::string& name) {
    return std::string(FIXTURES) + "/peer/" + name;
}

inline std::vector<char> read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<char>(std::istreambuf_iterator<char>(in), {});
}

inline void write_file(const std::string& path, const std::vector<char>& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(data.data(), static_cast<std::streamsize>(data.size()));
}

struct TempDir {
    std::string path;
    TempDir() {
        char name[] = "/tmp/index_test_XXXXXX";
        const char* made = mkdtemp(name);
        if (made != nullptr) path = made;
    }
    ~TempDir() {
        // A directory left behind is only litter in /tmp (the result is
        // looked at because hardened builds ask for it).
        if (!path.empty() && std::system(("rm -rf '" + path + "'").c_str()) != 0) path.clear();
    }
    std::string operator/(const std::string& name) const { return path + "/" + name; }
    // Copies a peer fixture here (writable) and returns its new path.
    std::string copy_peer(const std::string& name) const {
        write_file(*this / name, read_file(peer(name)));
        return *this / name;
    }
};

// A store as the manager starts it: one table, one index, 25 page slots,
// a 256-byte work buffer (each pool grows by 5).
struct StoreTest : ::testing::Test {
    TempDir dir;
    void SetUp() override {
        d4reset_store();
        ASSERT_EQ(d4initialize(1, 1, 25, 256, 0), 0);
    }
    void TearDown() override {
        d4close_all_tables();
        d4reset_store();
    }
    // A new table in the scratch directory from "NAME:TYPE:WIDTH[:DEC]" texts.
    std::string make_table(const std::string& name, const std::vector<std::string>& specs) {
        std::vector<FieldSpec> fields;
        for (const std::string& s : specs) {
            FieldSpec f;
            std::string why;
            EXPECT_TRUE(dbf_parse_field(s.c_str(), &f, &why)) << s << ": " << why;
            fields.push_back(f);
        }
        EXPECT_EQ(dbf_create_table((dir / name).c_str(), fields, stderr), 0);
        return dir / name;
    }
    // Builds an index of the table (opened if needed) and opens it; returns
    // its number.
    int make_index(const std::string& table, const std::string& name, const std::string& expr,
                   bool unique = false) {
        EXPECT_EQ(
            dbf_build_index(table.c_str(), (dir / name).c_str(), expr.c_str(), unique, stderr), 0);
        d4select_table(d4open_table(table.c_str()));
        return i4open_index((dir / name).c_str());
    }
};

// Appends a record with the given field texts (in field order): one
// insertion per index, as a record built in the buffer and appended.
inline int append(const std::vector<std::string>& values) {
    if (d4changed(g4.selected_table) < 0) return -1;
    d4blank_record();
    for (std::size_t i = 0; i < values.size(); ++i)
        f4put_text(f4ref_by_number(static_cast<int>(i) + 1), values[i].c_str());
    return d4append_record();
}

// Record numbers in the selected index's order (or record order).
inline std::vector<int> walk_forward() {
    std::vector<int> out;
    for (int r = d4goto_first(); r == 0; r = d4skip_records(1)) out.push_back(d4record_number());
    return out;
}

inline std::vector<int> walk_backward() {
    std::vector<int> out;
    for (int r = d4goto_last(); r == 0; r = d4skip_records(-1)) out.push_back(d4record_number());
    return out;
}

// Faults dbftool's check finds in an open index (its lines in *text).
inline int check_faults(int index, std::string* text = nullptr) {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    const int faults = dbf_check_open_index(index, out);
    std::fclose(out);
    if (text != nullptr) *text = std::string(buffer, size);
    std::free(buffer);
    return faults;
}

// The same, not strict: faults only; what an index kept up to date may
// lawfully show is counted in *notes.
inline int check_faults_lenient(int index, int* notes, std::string* text = nullptr) {
    char* buffer = nullptr;
    std::size_t size = 0;
    std::FILE* out = open_memstream(&buffer, &size);
    const int faults = dbf_check_open_index(index, out, false, notes);
    std::fclose(out);
    if (text != nullptr) *text = std::string(buffer, size);
    std::free(buffer);
    return faults;
}

inline std::vector<int> read_ord(const std::string& name) {
    std::ifstream in(peer(name));
    std::vector<int> out;
    for (int r; in >> r;) out.push_back(r);
    return out;
}

} // namespace itest
