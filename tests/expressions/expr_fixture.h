// Test support for the key-expression tests: a scratch directory, small
// .DBF tables written byte by byte, and a store started afresh with the
// manager's 256-byte work buffer.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <unistd.h>
#include <vector>

#include "manager/tablestore/expressions.h"
#include "manager/tablestore/pools.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/store_errors.h"
#include "manager/tablestore/tables.h"

namespace exprtest {

struct FieldSpec {
    std::string name;
    char type;
    int width;
    int decimals;
};

// One record: the deletion flag and the field texts. Character fields are
// blank-padded on the right, numeric fields right-aligned, others padded.
struct RecordSpec {
    bool deleted;
    std::vector<std::string> values;
};

inline std::string PutField(const FieldSpec& f, const std::string& v) {
    std::string s = v.substr(0, static_cast<size_t>(f.width));
    std::string pad(static_cast<size_t>(f.width) - s.size(), ' ');
    return (f.type == 'N' || f.type == 'F') ? pad + s : s + pad;
}

// A dBASE III table: header, 32-byte descriptors, 0x0D, records, 0x1A.
inline std::string MakeTable(const std::vector<FieldSpec>& fields,
                             const std::vector<RecordSpec>& records) {
    int width = 1;
    for (const auto& f : fields) width += f.width;
    int header = 32 + 32 * static_cast<int>(fields.size()) + 1;
    std::string out(32, '\0');
    out[0] = 3;
    out[1] = 105;
    out[2] = 1;
    out[3] = 1;
    uint32_t count = static_cast<uint32_t>(records.size());
    std::memcpy(&out[4], &count, 4);
    out[8] = static_cast<char>(header & 0xFF);
    out[9] = static_cast<char>(header >> 8);
    out[10] = static_cast<char>(width & 0xFF);
    out[11] = static_cast<char>(width >> 8);
    for (const auto& f : fields) {
        std::string d(32, '\0');
        std::memcpy(&d[0], f.name.data(), f.name.size());
        d[11] = f.type;
        d[16] = static_cast<char>(f.width & 0xFF);
        d[17] = static_cast<char>(f.type == 'C' ? f.width >> 8 : f.decimals);
        out += d;
    }
    out += '\x0D';
    for (const auto& r : records) {
        out += r.deleted ? '*' : ' ';
        for (size_t i = 0; i < fields.size(); ++i)
            out += PutField(fields[i], i < r.values.size() ? r.values[i] : "");
    }
    out += '\x1A';
    return out;
}

inline void WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream f(path, std::ios::binary);
    f << bytes;
}

// The table most tests use.
inline const std::vector<FieldSpec> kPeopleFields = {
    {"NAME", 'C', 20, 0}, {"BIRTH", 'D', 8, 0}, {"CODE", 'C', 6, 0},   {"AMOUNT", 'N', 10, 2},
    {"FLAG", 'L', 1, 0},  {"QTY", 'N', 5, 0},   {"NOTE", 'C', 200, 0},
};
inline const std::vector<RecordSpec> kPeopleRecords = {
    {false, {"ANA", "19850315", "AB1234", "123.45", "T", "7", "first"}},
    {false, {"BRUNO", "20000101", "XY9", "-5.25", "F", "-12", ""}},
    {false, {"carla", "", "Q", "0.00", "y", "0", ""}},
    {true, {"DIEGO", "19990101", "", "99999.99", "N", "42", ""}},
};

class ExprTest : public ::testing::Test {
  protected:
    void SetUp() override { Start(256); }
    void TearDown() override { Stop(); }

    void Start(int work_buffer) {
        char tmpl[] = "/tmp/expr-test-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        old_ = std::filesystem::current_path();
        std::filesystem::current_path(dir_);
        d4reset_store();
        ASSERT_EQ(d4initialize(4, 4, 12, work_buffer, 0), 0);
        WriteFile("PEOPLE.DBF", MakeTable(kPeopleFields, kPeopleRecords));
        people_ = d4open_table("PEOPLE");
        ASSERT_GE(people_, 0);
        ASSERT_EQ(d4goto_record(1), 0);
    }

    void Stop() {
        for (char* p : programs_) h4release_memory(p);
        programs_.clear();
        d4close_all_tables();
        d4reset_store();
        std::filesystem::current_path(old_);
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }

    // Compiles text (kept until the test ends); null on failure.
    char* Compile(const std::string& text) {
        char* program = nullptr;
        int length = e4compile(text.c_str(), &program);
        if (length < 0) {
            EXPECT_EQ(program, nullptr);
            return nullptr;
        }
        programs_.push_back(program);
        return program;
    }

    // The error code compiling text gives (0 when it compiles).
    int CompileError(const std::string& text) {
        e4set_last_error(0);
        int selected = d4select_table(-1);
        char* p = Compile(text);
        EXPECT_EQ(d4select_table(-1), selected) << text;
        return p ? 0 : e4last_error();
    }

    // e4evaluate of text on the current record, as bytes; type in *type.
    std::string Eval(const std::string& text, int* type = nullptr) {
        char* p = Compile(text);
        EXPECT_NE(p, nullptr) << text;
        if (!p) return "<compile failed>";
        char* r = e4evaluate(p);
        EXPECT_NE(r, nullptr) << text;
        if (!r) return "<evaluation failed>";
        if (type) *type = e4result_type();
        return std::string(r, static_cast<size_t>(e4result_length()));
    }

    double Number(const std::string& text) {
        int type = 0;
        std::string r = Eval(text, &type);
        EXPECT_EQ(type, 'N') << text;
        double v = 0;
        if (r.size() == 8) std::memcpy(&v, r.data(), 8);
        return v;
    }

    bool Logical(const std::string& text) {
        int type = 0;
        std::string r = Eval(text, &type);
        EXPECT_EQ(type, 'L') << text;
        int32_t v = 0;
        if (r.size() == 4) std::memcpy(&v, r.data(), 4);
        return v != 0;
    }

    std::string Text(const std::string& text) {
        int type = 0;
        std::string r = Eval(text, &type);
        EXPECT_EQ(type, 'C') << text;
        return r;
    }

    int people_ = -1;
    std::vector<char*> programs_;
    std::filesystem::path dir_;
    std::filesystem::path old_;
};

} // namespace exprtest
