// Tables: opening and refusing files, the record count, navigation results
// in record order, writing, appending, deletion marks, flush and close.
#include <gtest/gtest.h>

#include "manager/tablestore/fields.h"
#include <climits>
#include <csignal>
#include <sys/resource.h>

#include "manager/tablestore/fileio.h"
#include "manager/tablestore/pools.h"
#include "platform/clock.h"
#include "tests/tables/table_files.h"

namespace {

using testfiles::Bytes;
using testfiles::Field;
using testfiles::make_table;
using testfiles::read_file;
using testfiles::write_file;

const std::vector<Field> kPeople = {{"NAME", 'C', 6, 0}, {"AGE", 'N', 3, 0}};

std::vector<std::string> people(int n) {
    std::vector<std::string> rows;
    for (int i = 1; i <= n; ++i) {
        char row[32];
        std::snprintf(row, sizeof row, "P%-5d%3d", i % 10000, 20 + i % 100);
        rows.push_back(row);
    }
    return rows;
}

std::string record_text() {
    return std::string(d4record_buffer(), static_cast<std::size_t>(d4record_width()));
}

bool is_blank() {
    return record_text() == std::string(static_cast<std::size_t>(d4record_width()), ' ');
}

struct Tables : testfiles::StoreTest {
    std::string quiet_report(int (*call)()) {
        ::testing::internal::CaptureStderr();
        call();
        return ::testing::internal::GetCapturedStderr();
    }
};

TEST_F(Tables, OpenReadsTheLayout) {
    const int t = open_image("P.DBF", make_table(kPeople, people(3)));
    ASSERT_GE(t, 0);
    const TableHandle* h = d4current_table();
    ASSERT_NE(h, nullptr);
    EXPECT_EQ(d4select_table(-1), t);
    EXPECT_EQ(d4field_count(), 2);
    EXPECT_EQ(d4record_width(), 10);
    EXPECT_EQ(h->fields[0].offset, 1);
    EXPECT_EQ(h->fields[1].offset, 7);
    EXPECT_EQ(h->header.header_length, 97);
    EXPECT_EQ(h->header.record_count, -1) << "no count cached after open";
    EXPECT_EQ(h->current_record, 1);
    EXPECT_EQ(d4at_end(), 1);
    EXPECT_EQ(d4at_start(), 0);
    EXPECT_TRUE(is_blank());
    EXPECT_EQ(h->record[h->record_width], '\0');
    EXPECT_EQ(d4record_count(), 3);
    EXPECT_EQ(std::string(h->file_name), text_upper(std::string(dir.file("P.DBF")).data()));
}

TEST_F(Tables, HeaderLengthOver32767AndTinyFilesAreNoTables) {
    Bytes image = make_table(kPeople, people(1));
    image[8] = 0x00;
    image[9] = 0x80; // 32768
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(open_image("H.DBF", image), -1);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("File is not a Database:\n"),
              std::string::npos);
    EXPECT_EQ(e4last_error(), 200);

    ::testing::internal::CaptureStderr();
    EXPECT_EQ(open_image("S.DBF", Bytes{3, 1, 2, 3, 4, 5, 6, 7, 8}), -1);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(e4last_error(), 200);
    EXPECT_EQ(d4current_table(), nullptr) << "a failed open leaves no table behind";
    EXPECT_EQ(g4.table_head, -1);
}

TEST_F(Tables, MissingFileIsAnOpenError) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(d4open_table(dir.file("NONE").c_str()), -1);
    const std::string report = ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(e4last_error(), 120);
    EXPECT_NE(report.find("Opening File\n"), std::string::npos);
    EXPECT_NE(report.find("NONE.DBF"), std::string::npos);
}

TEST_F(Tables, RecordWiderThan32767IsRefused) {
    std::vector<Field> wide;
    for (int i = 0; i < 128; ++i) wide.push_back({"F" + std::to_string(i), 'C', 256, 0});
    // 1 + 128 * 256 = 32769.
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(open_image("W.DBF", make_table(wide, {})), -1);
    EXPECT_NE(::testing::internal::GetCapturedStderr().find("Record Length is Too Large"),
              std::string::npos);
    EXPECT_EQ(e4last_error(), 260);
    wide.back().width = 254; // exactly 32767
    EXPECT_GE(open_image("W2.DBF", make_table(wide, {})), 0);
    EXPECT_EQ(d4record_width(), 32767);
}

TEST_F(Tables, CharacterWidthComesFromBytes16And17) {
    Bytes image =
        make_table({{"OBS", 'C', 300, 0}, {"N", 'N', 4, 1}}, {std::string(300, 'x') + " 1.5"});
    EXPECT_EQ(image[32 + 16], 44);
    EXPECT_EQ(image[32 + 17], 1);
    ASSERT_GE(open_image("C.DBF", image), 0);
    EXPECT_EQ(f4field_width(f4ref("OBS")), 300);
    EXPECT_EQ(f4field_decimals(f4ref("OBS")), 0);
    EXPECT_EQ(f4field_width(f4ref("N")), 4);
    EXPECT_EQ(f4field_decimals(f4ref("N")), 1);
    EXPECT_EQ(d4record_width(), 305);
    ASSERT_EQ(d4goto_record(1), 0);
    EXPECT_DOUBLE_EQ(f4field_number(f4ref("N")), 1.5);
}

TEST_F(Tables, CountComesFromTheFileSizeNotTheHeader) {
    Bytes image = make_table(kPeople, people(3), {}, false);
    image.resize(image.size() - 5); // 2.5 records
    image[4] = 200;                 // the header claims 200
    ASSERT_GE(open_image("C.DBF", image), 0);
    EXPECT_EQ(d4record_count(), 2);
    image.push_back(0x1A);
    write_file(dir.file("C.DBF"), image);
    d4unlock_all();
    EXPECT_EQ(d4record_count(), 2) << "a trailing 0x1A does not count";
    Bytes three = make_table(kPeople, people(3));
    write_file(dir.file("C.DBF"), three);
    EXPECT_EQ(d4record_count(), 2) << "counted once in a request";
    d4unlock_all();
    EXPECT_EQ(d4record_count(), 3) << "the next request counts the file again";
}

TEST_F(Tables, GotoOutsideTheTableBlanksAndReturnsOne) {
    ASSERT_GE(open_image("G.DBF", make_table(kPeople, people(4))), 0);
    ASSERT_EQ(d4goto_record(2), 0);
    EXPECT_EQ(record_text(), " P2     22");
    EXPECT_EQ(d4goto_record(0), 1);
    EXPECT_TRUE(is_blank());
    EXPECT_EQ(d4record_number(), 2) << "the record number is left as it was";
    ASSERT_EQ(d4goto_record(3), 0);
    EXPECT_EQ(d4goto_record(5), 1);
    EXPECT_TRUE(is_blank());
    EXPECT_EQ(d4goto_record(-7), 1);
    EXPECT_EQ(d4read_record(0), 1);
    EXPECT_TRUE(is_blank());
}

TEST_F(Tables, SkipsInRecordOrder) {
    ASSERT_GE(open_image("K.DBF", make_table(kPeople, people(5))), 0);
    ASSERT_EQ(d4goto_record(2), 0);
    EXPECT_EQ(d4skip_records(-5), 1);
    EXPECT_EQ(d4record_number(), 1);
    EXPECT_EQ(d4at_start(), 1);
    EXPECT_EQ(record_text(), " P1     21");

    EXPECT_EQ(d4skip_records(2), 0);
    EXPECT_EQ(d4record_number(), 3);
    EXPECT_EQ(d4at_start(), 0);

    ASSERT_EQ(d4goto_last(), 0);
    EXPECT_EQ(d4record_number(), 5);
    EXPECT_EQ(d4skip_records(1), 3);
    EXPECT_EQ(d4record_number(), 6);
    EXPECT_EQ(d4at_end(), 1);
    EXPECT_TRUE(is_blank());
    EXPECT_EQ(d4skip_records(1), 3);
    EXPECT_EQ(d4skip_records(-1), 0) << "from the end one step back is the last record";
    EXPECT_EQ(d4record_number(), 5);
    EXPECT_EQ(d4at_end(), 0);
    EXPECT_EQ(d4skip_records(0), 0);
    EXPECT_EQ(d4record_number(), 5);
    EXPECT_EQ(d4skip_records(INT_MIN), 1) << "no overflow on extreme counts";
    EXPECT_EQ(d4skip_records(INT_MAX), 3);
}

TEST_F(Tables, FirstAndLastOnAnEmptyTable) {
    ASSERT_GE(open_image("E.DBF", make_table(kPeople, {})), 0);
    EXPECT_EQ(d4goto_first(), 3);
    EXPECT_EQ(d4at_start(), 1);
    EXPECT_EQ(d4at_end(), 1);
    EXPECT_EQ(d4record_number(), 1);
    EXPECT_EQ(d4goto_last(), 3);
    EXPECT_EQ(d4at_start(), 1);
    EXPECT_EQ(d4at_end(), 1);
    EXPECT_EQ(d4skip_records(-1), 1);
    EXPECT_EQ(d4skip_records(1), 3);
    EXPECT_EQ(d4record_number(), 1);
    EXPECT_EQ(d4at_start(), 1);
}

TEST_F(Tables, FirstAndLastOnRecords) {
    ASSERT_GE(open_image("F.DBF", make_table(kPeople, people(3))), 0);
    EXPECT_EQ(d4goto_last(), 0);
    EXPECT_EQ(record_text(), " P3     23");
    EXPECT_EQ(d4goto_first(), 0);
    EXPECT_EQ(record_text(), " P1     21");
    EXPECT_EQ(d4at_start(), 0);
    EXPECT_EQ(d4at_end(), 0);
}

TEST_F(Tables, SameFileUnderOtherSpellingsIsTheSameTable) {
    const std::string name = dir.file("TWICE.DBF");
    write_file(name, make_table(kPeople, people(1)));
    const int first = d4open_table(name.c_str());
    ASSERT_GE(first, 0);
    write_file(dir.file("OTHER.DBF"), make_table(kPeople, people(2)));
    const int other = d4open_table(dir.file("OTHER.DBF").c_str());
    ASSERT_GE(other, 0);
    ASSERT_NE(other, first);
    std::string lower = dir.file("twice");
    EXPECT_EQ(d4open_table(lower.c_str()), first);
    EXPECT_EQ(d4open_table((dir.file("Twice.dbf") + "   ").c_str()), first);
    EXPECT_EQ(d4select_table(-1), other) << "opening an open table does not select it";
    EXPECT_EQ(d4find_table(dir.file("twice.DBF").c_str()), first);
    EXPECT_EQ(d4find_table(dir.file("TWICE.DB").c_str()), -1);
    EXPECT_EQ(d4find_table(dir.file("TWICEX").c_str()), -1);
}

TEST_F(Tables, SelectionAndTheOpenList) {
    write_file(dir.file("A.DBF"), make_table(kPeople, people(1)));
    write_file(dir.file("B.DBF"), make_table(kPeople, people(2)));
    const int a = d4open_table(dir.file("A").c_str());
    const int b = d4open_table(dir.file("B").c_str());
    EXPECT_EQ(d4select_table(a), b);
    EXPECT_EQ(d4record_count(), 1);
    EXPECT_EQ(d4select_table(12345), a) << "a number not open leaves the selection";
    EXPECT_EQ(d4select_table(-1), a);
    ASSERT_EQ(d4close_table(), 0);
    EXPECT_EQ(d4select_table(-1), b) << "closing selects the most recently opened table left";
    ASSERT_EQ(d4close_table(), 0);
    EXPECT_EQ(d4select_table(-1), -1);
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(d4close_table(), -1);
    EXPECT_EQ(d4goto_first(), -1);
    EXPECT_EQ(d4skip_records(1), -1);
    EXPECT_EQ(d4append_record(), -1);
    EXPECT_EQ(d4field_count(), -1);
    EXPECT_EQ(d4is_deleted(), -1);
    ::testing::internal::GetCapturedStderr();
    EXPECT_EQ(e4last_error(), 240);
    EXPECT_EQ(d4record_count(), -1);
    EXPECT_EQ(d4record_number(), 0);
    EXPECT_EQ(d4record_buffer(), nullptr);
    EXPECT_EQ(d4record_width(), -1);
}

TEST_F(Tables, AppendWritesTheRecordAndOneEndByte) {
    const std::string name = dir.file("A.DBF");
    Bytes image = make_table(kPeople, people(2), {}, false);
    const std::size_t before = image.size();
    ASSERT_GE(open_image("A.DBF", image), 0);
    ASSERT_EQ(d4append_blank_record(), 0);
    EXPECT_EQ(d4record_number(), 3);
    f4put_text(f4ref("NAME"), "NEW");
    f4put_number(f4ref("AGE"), 7);
    ASSERT_EQ(d4flush_table(-1), 0);
    Bytes after = read_file(name);
    ASSERT_EQ(after.size(), before + 10 + 1);
    EXPECT_EQ(std::string(after.begin() + static_cast<long>(before), after.end()),
              " NEW     7\x1A");

    ASSERT_EQ(d4goto_record(1), 0);
    ASSERT_EQ(d4append_record(), 0) << "the buffer is appended as it is";
    after = read_file(name);
    EXPECT_EQ(std::string(after.end() - 11, after.end()), " P1     21\x1A");
    EXPECT_EQ(d4record_count(), 4);
    EXPECT_EQ(d4current_table()->lock_state, d4lock_append);
    EXPECT_EQ(d4current_table()->header.record_count, 4)
        << "the count is cached under the append lock";
}

TEST_F(Tables, AFailedAppendLeavesNoBrokenRecordBehind) {
    // The disk fills up in the middle of an append (a file size limit plays
    // the full disk): the append fails, and the next one writes over the
    // broken rest instead of leaving it in the table as a record.
    const std::string name = dir.file("F.DBF");
    Bytes image = make_table(kPeople, people(2), {}, false);
    const std::size_t before = image.size();
    ASSERT_GE(open_image("F.DBF", image), 0);
    rlimit saved{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
    if (saved.rlim_max != RLIM_INFINITY && saved.rlim_max < before + 100)
        GTEST_SKIP() << "file size limit too low here";
    std::signal(SIGXFSZ, SIG_IGN);
    rlimit tight = saved;
    tight.rlim_cur = before + 4;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &tight), 0);
    ::testing::internal::CaptureStderr();
    const int failed = d4append_blank_record();
    ::testing::internal::GetCapturedStderr();
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &saved), 0);
    std::signal(SIGXFSZ, SIG_DFL);
    ASSERT_EQ(failed, -1);
    EXPECT_EQ(e4last_error(), 160);
    EXPECT_EQ(read_file(name).size(), before + 4) << "four bytes of the record got there";
    EXPECT_EQ(d4record_count(), 2) << "the count is what the file holds";

    ASSERT_EQ(d4append_blank_record(), 0);
    f4put_text(f4ref("NAME"), "NEXT");
    ASSERT_EQ(d4flush_table(-1), 0);
    EXPECT_EQ(d4record_number(), 3);
    EXPECT_EQ(d4record_count(), 3);
    const Bytes after = read_file(name);
    ASSERT_EQ(after.size(), before + 10 + 1);
    EXPECT_EQ(std::string(after.begin() + static_cast<long>(before), after.end()),
              " NEXT     \x1A");
}

TEST_F(Tables, CloseStampsTodayAndTheCount) {
    plat::LocalTime when{};
    when.year = 2026;
    when.month = 12;
    when.day = 8;
    plat::SetTestLocalTime(when);
    Bytes image = make_table(kPeople, people(3));
    image[4] = 99; // a lying count
    ASSERT_GE(open_image("D.DBF", image), 0);
    ASSERT_EQ(d4append_blank_record(), 0);
    ASSERT_EQ(d4close_table(), 0);
    plat::ClearTestLocalTime();
    const Bytes after = read_file(dir.file("D.DBF"));
    EXPECT_EQ(after[0], 3) << "the version byte is left alone";
    EXPECT_EQ(after[1], 126);
    EXPECT_EQ(after[2], 12);
    EXPECT_EQ(after[3], 8);
    EXPECT_EQ(after[4], 4);
    EXPECT_EQ(after[5], 0);
    EXPECT_EQ(after[6], 0);
    EXPECT_EQ(after[7], 0);
    EXPECT_EQ(after[8], image[8]);
    EXPECT_EQ(after[10], image[10]) << "bytes beyond 7 are never written";
}

TEST_F(Tables, ChangedRecordIsWrittenBeforeMoving) {
    const std::string name = dir.file("W.DBF");
    ASSERT_GE(open_image("W.DBF", make_table(kPeople, people(3))), 0);
    ASSERT_EQ(d4goto_record(2), 0);
    f4put_text(f4ref("NAME"), "CHANGE");
    EXPECT_EQ(d4current_table()->changed, 1);
    Bytes file = read_file(name);
    EXPECT_EQ(std::string(file.begin() + 97 + 10, file.begin() + 97 + 20), " P2     22")
        << "not yet";
    ASSERT_EQ(d4skip_records(1), 0);
    file = read_file(name);
    EXPECT_EQ(std::string(file.begin() + 97 + 10, file.begin() + 97 + 20), " CHANGE 22");
    EXPECT_EQ(d4current_table()->changed, 0);
    EXPECT_EQ(d4record_count(), 3);
}

TEST_F(Tables, WriteOutsideTheTableAppends) {
    const std::string name = dir.file("X.DBF");
    ASSERT_GE(open_image("X.DBF", make_table(kPeople, people(2))), 0);
    ASSERT_EQ(d4goto_record(1), 0);
    ASSERT_EQ(d4write_record(9), 0);
    EXPECT_EQ(d4record_count(), 3);
    EXPECT_EQ(d4record_number(), 3);
    ASSERT_EQ(d4write_record(0), 0);
    EXPECT_EQ(d4record_count(), 4);
    ASSERT_EQ(d4goto_record(2), 0);
    d4record_buffer()[1] = 'Q';
    ASSERT_EQ(d4write_record(2), 0);
    const Bytes file = read_file(name);
    EXPECT_EQ(file.size(), 97u + 40u + 1u);
    EXPECT_EQ(file[97 + 10 + 1], 'Q');
}

TEST_F(Tables, MarkAndUnmarkDeleted) {
    const std::string name = dir.file("M.DBF");
    ASSERT_GE(open_image("M.DBF", make_table(kPeople, people(3))), 0);
    EXPECT_EQ(d4mark_deleted(2), 0);
    EXPECT_EQ(d4is_deleted(), 1);
    EXPECT_EQ(read_file(name)[97 + 10], '*');
    EXPECT_EQ(d4mark_deleted(4), 1);
    EXPECT_EQ(d4mark_deleted(0), 1);
    ASSERT_EQ(d4goto_record(1), 0);
    EXPECT_EQ(d4is_deleted(), 0);
    EXPECT_EQ(d4unmark_deleted(2), 0);
    EXPECT_EQ(d4is_deleted(), 0);
    EXPECT_EQ(read_file(name)[97 + 10], ' ');
    EXPECT_EQ(d4record_count(), 3);
}

TEST_F(Tables, FieldStoresAtTheEndDoNotMarkTheRecordChanged) {
    ASSERT_GE(open_image("Z.DBF", make_table(kPeople, people(1))), 0);
    ASSERT_EQ(d4at_end(), 1);
    f4put_text(f4ref("NAME"), "GHOST");
    EXPECT_EQ(d4current_table()->changed, 0);
    EXPECT_EQ(d4goto_first(), 0);
    EXPECT_EQ(record_text(), " P1     21");
}

TEST_F(Tables, CloseAllClosesEveryTable) {
    for (const char* n : {"A", "B", "C"}) {
        write_file(dir.file(std::string(n) + ".DBF"), make_table(kPeople, people(1)));
        ASSERT_GE(d4open_table(dir.file(n).c_str()), 0);
    }
    d4select_table(d4find_table(dir.file("B").c_str()));
    EXPECT_EQ(d4close_all_tables(), 0);
    EXPECT_EQ(g4.table_head, -1);
    EXPECT_EQ(d4select_table(-1), -1);
    EXPECT_EQ(d4find_table(dir.file("A").c_str()), -1);
}

TEST_F(Tables, ChangedFlagWithoutARecordIsFatal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const int t = open_image("O.DBF", make_table(kPeople, people(1)));
    ASSERT_GE(t, 0);
    d4current_table()->changed = 1;
    d4current_table()->current_record = 0;
    EXPECT_EXIT(d4changed(t), ::testing::ExitedWithCode(1), "Overwritten Memory\nd4changed\\(\\)");
    d4current_table()->changed = 0;
}

TEST(TableStore, FirstOpenInitialisesWithTheDefaults) {
    d4reset_store();
    testfiles::TempDir dir;
    write_file(dir.file("I.DBF"), make_table(kPeople, people(1)));
    ASSERT_GE(d4open_table(dir.file("I.DBF").c_str()), 0);
    EXPECT_EQ(g4.work_buffer_size, 3000);
    EXPECT_EQ(h4capacity(g4.table_pool), 10);
    EXPECT_EQ(g4.record_cache_size, 64512);
    EXPECT_EQ(d4initialize(1, 1, 25, 256, 0), -1);
    d4close_all_tables();
    d4reset_store();
}

} // namespace
