// Tables that lie: truncated headers, descriptors without their end mark,
// header lengths past the end, wrong counts, files cut short while open.
#include <gtest/gtest.h>

#include <unistd.h>

#include "manager/tablestore/fields.h"
#include "tests/tables/table_files.h"

namespace {

using testfiles::Bytes;
using testfiles::Field;
using testfiles::make_table;

const std::vector<Field> kTwo = {{"A", 'C', 4, 0}, {"B", 'N', 4, 1}};

std::vector<std::string> rows(int n) {
    std::vector<std::string> r;
    for (int i = 0; i < n; ++i)
        r.push_back("ROW" + std::to_string(i % 10) + " " + std::to_string(i % 10) + ".5");
    return r;
}

struct BadTables : testfiles::StoreTest {
    // Opens image quietly and returns the result and the last error.
    std::pair<int, int> try_open(const Bytes& image) {
        e4set_last_error(0);
        ::testing::internal::CaptureStderr();
        const int t = open_image("BAD.DBF", image);
        ::testing::internal::GetCapturedStderr();
        return {t, e4last_error()};
    }
};

TEST_F(BadTables, EveryTruncationOfTheHeaderIsRefused) {
    const Bytes good = make_table(kTwo, rows(2));
    const std::size_t header_length = good[8] | (good[9] << 8);
    for (std::size_t size = 0; size < header_length; ++size) {
        const Bytes cut(good.begin(), good.begin() + static_cast<long>(size));
        const auto [t, code] = try_open(cut);
        EXPECT_EQ(t, -1) << size;
        EXPECT_EQ(code, 200) << size;
        EXPECT_EQ(g4.table_head, -1);
    }
    EXPECT_GE(try_open(Bytes(good.begin(), good.begin() + static_cast<long>(header_length))).first,
              0)
        << "a header with no records is an empty table";
    EXPECT_EQ(d4record_count(), 0);
}

TEST_F(BadTables, DescriptorsWithoutTheirEndMarkAreRefused) {
    Bytes image = make_table(kTwo, rows(1));
    image[96] = ' '; // where the 0x0D was
    EXPECT_EQ(try_open(image), std::make_pair(-1, 200));
    // A header length that stops inside a descriptor slot.
    Bytes shorter = make_table(kTwo, rows(1));
    shorter[8] = 80;
    EXPECT_EQ(try_open(shorter), std::make_pair(-1, 200));
    // Too short to hold even the end mark.
    Bytes tiny = make_table({}, {});
    tiny[8] = 20;
    EXPECT_EQ(try_open(tiny), std::make_pair(-1, 200));
}

TEST_F(BadTables, ATableWithoutFieldsOpens) {
    const auto [t, code] = try_open(make_table({}, {"", ""}, {}, false));
    ASSERT_GE(t, 0) << code;
    EXPECT_EQ(d4field_count(), 0);
    EXPECT_EQ(d4record_width(), 1);
    EXPECT_EQ(d4record_count(), 2);
    EXPECT_EQ(d4goto_record(2), 0);
}

TEST_F(BadTables, HeaderLengthPastTheEndOfTheFile) {
    Bytes image = make_table(kTwo, rows(1));
    image[8] = 0x00;
    image[9] = 0x10; // 4096
    EXPECT_EQ(try_open(image), std::make_pair(-1, 200));
}

TEST_F(BadTables, LongerHeaderWithPaddingAfterTheEndMark) {
    Bytes image = make_table(kTwo, {}, {}, false);
    image.insert(image.end(), {0, 0, 0});
    image[8] = static_cast<unsigned char>(image.size());
    const std::string record = " ROW1 1.5";
    image.insert(image.end(), record.begin(), record.end());
    ASSERT_GE(try_open(image).first, 0);
    EXPECT_EQ(d4record_count(), 1);
    ASSERT_EQ(d4goto_record(1), 0);
    EXPECT_STREQ(f4field_text(f4ref("A")), "ROW1");
}

TEST_F(BadTables, RecordCountInTheHeaderIsIgnored) {
    for (std::uint32_t claimed : {0u, 1u, 1000000u, 0xFFFFFFFFu}) {
        Bytes image = make_table(kTwo, rows(3));
        for (int i = 0; i < 4; ++i) image[4 + i] = static_cast<unsigned char>(claimed >> (8 * i));
        ASSERT_GE(try_open(image).first, 0);
        EXPECT_EQ(d4record_count(), 3) << claimed;
        EXPECT_EQ(d4goto_record(4), 1);
        EXPECT_EQ(d4goto_last(), 0);
        EXPECT_EQ(d4record_number(), 3);
        ASSERT_EQ(d4close_table(), 0);
    }
}

TEST_F(BadTables, OddTypesWidthsAndNamesAreHandled) {
    Bytes image = make_table({{"Z", 'N', 0, 0}, {"NONAMEXXXXX", 'X', 255, 255}, {"D", 'D', 3, 0}},
                             {std::string(258, '9')});
    std::memset(&image[32 + 32], 'N', 11); // a name without its NUL
    ASSERT_GE(try_open(image).first, 0);
    ASSERT_EQ(d4goto_record(1), 0);
    EXPECT_EQ(d4record_width(), 259);
    EXPECT_EQ(f4field_width(f4ref_by_number(1)), 0);
    EXPECT_EQ(f4field_number(f4ref_by_number(1)), 0);
    EXPECT_EQ(std::strlen(f4descriptor(f4ref_by_number(2))->name), 10u);
    EXPECT_EQ(f4ref("NNNNNNNNNN"), f4ref_by_number(2));
    EXPECT_EQ(f4field_number(f4ref_by_number(3)), 0) << "a date field narrower than 8";
    f4put_number(f4ref_by_number(3), 2451545);
    EXPECT_EQ(std::string(f4field_data(f4ref_by_number(3)), 3), "200");
    f4put_number(f4ref_by_number(1), 5);
    EXPECT_EQ(d4record_width(), 259);
}

TEST_F(BadTables, FileCutShortWhileOpen) {
    const Bytes image = make_table(kTwo, rows(5));
    ASSERT_GE(try_open(image).first, 0);
    ASSERT_EQ(d4goto_record(4), 0);
    // Another program cuts the table to two records.
    ASSERT_EQ(truncate(dir.file("BAD.DBF").c_str(), 97 + 2 * 9), 0);
    d4unlock_all(); // the next request
    EXPECT_EQ(d4record_count(), 2);
    EXPECT_EQ(d4goto_record(4), 1);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(d4read_record(4), -1);
    const std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(report.find("Reading from File\n"), std::string::npos);
    EXPECT_NE(report.find("Record: \n4\n"), std::string::npos);
    for (int i = 0; i < d4record_width(); ++i) EXPECT_EQ(d4record_buffer()[i], ' ');
    EXPECT_EQ(d4skip_records(1), 3);
    EXPECT_EQ(d4goto_last(), 0);
    EXPECT_EQ(d4record_number(), 2);

    // Cut to nothing at all, not even the header.
    ASSERT_EQ(truncate(dir.file("BAD.DBF").c_str(), 0), 0);
    d4unlock_all();
    EXPECT_EQ(d4record_count(), 0);
    EXPECT_EQ(d4goto_first(), 3);
    EXPECT_EQ(d4skip_records(-1), 1);
}

// A record read whole in an earlier request may be gone since: written back
// after another program cut the table, it goes after the records left.
TEST_F(BadTables, ARecordReadInAnEarlierRequestIsNotWrittenPastTheEnd) {
    ASSERT_GE(try_open(make_table(kTwo, rows(5))).first, 0);
    ASSERT_EQ(d4goto_record(5), 0);
    d4unlock_all();
    ASSERT_EQ(truncate(dir.file("BAD.DBF").c_str(), 97 + 3 * 9), 0);
    ASSERT_EQ(d4write_record(5), 0);
    d4unlock_all();
    EXPECT_EQ(d4record_count(), 4) << "no gap after the three records left";
}

TEST_F(BadTables, FileCutShortUnderTheAppendLock) {
    ASSERT_GE(try_open(make_table(kTwo, rows(5))).first, 0);
    ASSERT_EQ(d4append_blank_record(), 0);
    ASSERT_EQ(d4record_count(), 6) << "cached";
    ASSERT_EQ(truncate(dir.file("BAD.DBF").c_str(), 100), 0);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(d4goto_record(5), -1);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(e4last_error(), 140);
}

} // namespace
