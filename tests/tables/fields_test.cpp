// Field values: lookup rules, reading text, numbers, dates and logical
// values, storing them, the shared text buffer and bad references.
#include <gtest/gtest.h>

#include "manager/tablestore/fields.h"
#include "manager/tablestore/numbers.h"
#include "tests/tables/table_files.h"

namespace {

using testfiles::Field;
using testfiles::make_table;

const std::vector<Field> kMixed = {
    {"NAME", 'C', 8, 0}, {"PRICE", 'N', 6, 2},      {"SMALL", 'N', 5, 1}, {"TINY", 'N', 3, 0},
    {"BORN", 'D', 8, 0}, {"OK", 'L', 1, 0},         {"lower", 'C', 2, 0}, {"MEMO", 'M', 10, 0},
    {"RATE", 'F', 8, 3}, {"LONGNAME10", 'C', 1, 0},
};

struct Fields : testfiles::StoreTest {
    int table = -1;
    void SetUp() override {
        StoreTest::SetUp();
        const std::string row = "ALICE     1.50 -2.5 4220000229T  memo text    2.125X";
        table = open_image("V.DBF", make_table(kMixed, {row, ""}));
        ASSERT_GE(table, 0);
        ASSERT_EQ(d4goto_record(1), 0);
    }
    int ref(const char* name) {
        const int r = f4ref(name);
        EXPECT_GE(r, 0) << name;
        return r;
    }
    std::string field(const char* name) {
        return std::string(f4field_data(ref(name)),
                           static_cast<std::size_t>(f4field_width(ref(name))));
    }
};

TEST_F(Fields, LookupRules) {
    EXPECT_EQ(f4ref("NAME"), f4make_ref(table, 0));
    EXPECT_EQ(f4ref("name"), f4make_ref(table, 0)) << "lower-case request, upper-case name";
    EXPECT_EQ(f4ref("Price  "), f4make_ref(table, 1));
    EXPECT_EQ(f4ref("LONGNAME10"), f4make_ref(table, 9));
    EXPECT_EQ(f4ref("LONGNAME10EXTRA"), f4make_ref(table, 9)) << "at most 10 characters count";
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(f4ref("lower"), -1) << "a stored lower-case name is never found";
    EXPECT_EQ(f4ref("NAM"), -1) << "the stored name must end where the request does";
    const std::string reports = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(reports.find("Unrecognized Field\nLOWER\n"), std::string::npos);
    EXPECT_NE(reports.find("Unrecognized Field\nNAM\n"), std::string::npos);
    EXPECT_EQ(e4last_error(), 270);

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(f4ref(""), -1);
    EXPECT_EQ(f4ref("   "), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "\nError Number: \n       270\n\nUnrecognized Field\nPress a key ..."
              "\nError Number: \n       270\n\nUnrecognized Field\nPress a key ...");

    EXPECT_EQ(f4ref_by_number(1), f4make_ref(table, 0));
    EXPECT_EQ(f4ref_by_number(10), f4make_ref(table, 9));
    EXPECT_EQ(f4ref_by_number(0), -1);
    EXPECT_EQ(f4ref_by_number(11), -1);
}

TEST_F(Fields, LookupWithoutATable) {
    ASSERT_EQ(d4close_table(), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(f4ref("NAME"), -1);
    EXPECT_NE(
        ::testing::internal::GetCapturedStderr().find("No Open Database\nWhen Calling 'f4ref()'\n"),
        std::string::npos);
    EXPECT_EQ(f4ref_by_number(1), -1);
}

TEST_F(Fields, QuietLookupFindsWhatLookupFindsAndReportsNothing) {
    for (const char* name : {"NAME", "name", "Price  ", "LONGNAME10EXTRA", "RATE"})
        EXPECT_EQ(f4lookup(name), f4ref(name)) << name;
    ::testing::internal::CaptureStderr();
    for (const char* name : {"lower", "NAM", "", "   ", "UPPER(NAME)+DTOS(BORN)"})
        EXPECT_EQ(f4lookup(name), -1) << name;
    ASSERT_EQ(d4close_table(), 0);
    EXPECT_EQ(f4lookup("NAME"), -1);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
}

TEST_F(Fields, Reading) {
    EXPECT_EQ(field("NAME"), "ALICE   ");
    EXPECT_STREQ(f4field_text(ref("NAME")), "ALICE   ");
    EXPECT_EQ(f4field_type(ref("PRICE")), 'N');
    EXPECT_EQ(f4field_decimals(ref("PRICE")), 2);
    EXPECT_DOUBLE_EQ(f4field_number(ref("PRICE")), 1.5);
    EXPECT_DOUBLE_EQ(f4field_number(ref("SMALL")), -2.5);
    EXPECT_DOUBLE_EQ(f4field_number(ref("TINY")), 42);
    EXPECT_DOUBLE_EQ(f4field_number(ref("RATE")), 2.125);
    EXPECT_DOUBLE_EQ(f4field_number(ref("BORN")), 2451604) << "2000-02-29";
    EXPECT_EQ(f4field_true(ref("OK")), 1);
    EXPECT_EQ(field("MEMO"), "memo text ") << "other types are opaque text";
    EXPECT_DOUBLE_EQ(f4field_number(ref("NAME")), 0);

    ASSERT_EQ(d4goto_record(2), 0);
    EXPECT_EQ(f4field_number(ref("BORN")), n4empty_date);
    EXPECT_EQ(f4field_true(ref("OK")), 0);
    EXPECT_DOUBLE_EQ(f4field_number(ref("PRICE")), 0);
    for (char c : std::string("YyTt")) {
        f4put_char(ref("OK"), c);
        EXPECT_EQ(f4field_true(ref("OK")), 1) << c;
    }
    for (char c : std::string("NnFf?")) {
        f4put_char(ref("OK"), c);
        EXPECT_EQ(f4field_true(ref("OK")), 0) << c;
    }
    f4put_text(ref("BORN"), "2000XX01");
    EXPECT_EQ(f4field_number(ref("BORN")), 0) << "a date field holding no date reads 0";
}

TEST_F(Fields, StoringNumbersAndDates) {
    f4put_number(ref("PRICE"), 3.14159);
    EXPECT_EQ(field("PRICE"), "  3.14");
    f4put_number(ref("SMALL"), -0.5);
    EXPECT_EQ(field("SMALL"), " -0.5");
    f4put_number(ref("TINY"), 12345);
    EXPECT_EQ(field("TINY"), "***");
    f4put_number(ref("BORN"), 2451545);
    EXPECT_EQ(field("BORN"), "20000101");
    f4put_number(ref("BORN"), 99);
    EXPECT_EQ(field("BORN"), "        ");
    f4put_number(ref("BORN"), n4empty_date);
    EXPECT_EQ(f4field_number(ref("BORN")), n4empty_date);
    f4put_number(ref("RATE"), -1.0005);
    EXPECT_EQ(field("RATE"), "  -1.000");
    EXPECT_EQ(std::string(d4record_buffer(), 9), " ALICE   ") << "neighbours untouched";
    EXPECT_EQ(d4current_table()->changed, 1);
}

TEST_F(Fields, StoringTextAndCharacters) {
    f4put_text(ref("NAME"), "ABCDEFGHIJKL");
    EXPECT_EQ(field("NAME"), "ABCDEFGH");
    f4put_text(ref("NAME"), "AB");
    EXPECT_EQ(field("NAME"), "AB      ");
    f4put_text(ref("NAME"), "");
    EXPECT_EQ(field("NAME"), "        ");
    f4put_char(ref("NAME"), 'Z');
    EXPECT_EQ(field("NAME"), "Z       ");
    EXPECT_EQ(field("PRICE"), "  1.50");
}

TEST_F(Fields, CopyingAField) {
    char buffer[16];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(f4copy_field(ref("NAME"), buffer, 8), 8);
    EXPECT_EQ(std::string(buffer, 9), "ALICE   #") << "no room, no NUL";
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(f4copy_field(ref("NAME"), buffer, 9), 8);
    EXPECT_EQ(std::string(buffer, 10), std::string("ALICE   \0#", 10));
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(f4copy_field(ref("NAME"), buffer, 3), 3);
    EXPECT_EQ(std::string(buffer, 4), "ALI#");
    EXPECT_EQ(f4copy_field(ref("NAME"), buffer, 0), 0);
    EXPECT_EQ(f4copy_field(-1, buffer, 16), 0);
}

TEST_F(Fields, BadReferencesGiveTheirBadValues) {
    const int bad[] = {-1, f4make_ref(table, 10), f4make_ref(table + 1, 0), f4make_ref(777, 0)};
    for (int r : bad) {
        EXPECT_EQ(f4descriptor(r), nullptr);
        EXPECT_EQ(f4field_type(r), 0);
        EXPECT_EQ(f4field_width(r), -1);
        EXPECT_EQ(f4field_decimals(r), -1);
        EXPECT_EQ(f4field_data(r), nullptr);
        EXPECT_EQ(f4field_text(r), nullptr);
        EXPECT_EQ(f4field_true(r), 0);
        EXPECT_EQ(f4field_number(r), 0);
    }
}

TEST_F(Fields, StoringThroughABadReferenceIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(f4put_text(f4make_ref(table, 10), "x"), ::testing::ExitedWithCode(1),
                "Overwritten Memory\nIllegal Field Reference Number");
    EXPECT_EXIT(f4put_number(-1, 1), ::testing::ExitedWithCode(1),
                "Illegal Field Reference Number");
}

TEST_F(Fields, WideFieldTextIsCutAt256) {
    testfiles::write_file(
        dir.file("L.DBF"),
        make_table({{"BIG", 'C', 300, 0}}, {std::string(256, 'a') + std::string(44, 'b')}));
    ASSERT_GE(d4open_table(dir.file("L").c_str()), 0);
    ASSERT_EQ(d4goto_record(1), 0);
    const char* text = f4field_text(f4ref("BIG"));
    ASSERT_NE(text, nullptr);
    EXPECT_EQ(std::string(text), std::string(256, 'a'));
}

} // namespace
