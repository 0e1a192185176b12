// RestoreContext and SaveContext on an open table, and the header routines
// that keep the file current for other programs.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <filesystem>

#include "manager/requests/context.h"
#include "manager/requests/locks.h"
#include "manager/requests/writeback.h"
#include "manager/tablestore/indexes.h"
#include "platform/clock.h"
#include "tests/manager/support.h"
#include "tests/manager/table_fixture.h"

namespace {

constexpr int T = 6;

class ContextTest : public mtest::TableFixture {
  protected:
    void TearDown() override {
        plat::ClearTestLocalTime();
        TableFixture::TearDown();
    }
    std::string Header() { return mtest::ReadFile(dir.file("ITEMS.DBF")).substr(0, 8); }
    mtest::FakeLink link;
};

TEST_F(ContextTest, RestoreGoesToTheTerminalsRecordAndSaveKeepsTheNewOne) {
    OnTable(T, 4);
    ASSERT_EQ(RestoreContext(22, T), 1);
    EXPECT_EQ(d4record_number(), 4);
    EXPECT_EQ(std::string(d4record_buffer() + 1, 5), "NAME4");
    ASSERT_EQ(d4goto_record(9), 0);
    SaveContext(22, T);
    EXPECT_EQ(TerminalRecord[T], 9);
}

TEST_F(ContextTest, TableShortenedBelowTheRecordFindsEndOfFileAndDropsTheLock) {
    OnTable(T, 8);
    ASSERT_EQ(RestoreContext(36, T), 1);
    ASSERT_EQ(LockRecord(locks, T), 0);
    SaveContext(36, T);
    // Another program cuts the table to 5 records.
    const std::string path = dir.file("ITEMS.DBF");
    const auto header = static_cast<std::uintmax_t>(32 + 32 + 1);
    std::filesystem::resize_file(path, header + 5 * 11);
    ASSERT_EQ(RestoreContext(22, T), 1);
    EXPECT_EQ(d4record_count(), 5);
    EXPECT_EQ(d4at_end(), 1);
    EXPECT_EQ(d4record_number(), 6);
    EXPECT_EQ(locks->record[T], 0u);
}

TEST_F(ContextTest, WholeFileLockAtEndOfFileIsLostAtTheNextRequest) {
    OnTable(T, 10);
    ASSERT_EQ(RestoreContext(25, T), 1);
    d4skip_records(1); // to end of file
    ASSERT_EQ(d4at_end(), 1);
    ASSERT_EQ(LockWholeFile(locks, T), 0);
    SaveContext(37, T);
    EXPECT_EQ(TerminalRecord[T], 11);
    ASSERT_EQ(RestoreContext(40, T), 1);
    EXPECT_EQ(locks->holder, kNoHolder);
    EXPECT_EQ(d4at_end(), 1);
}

TEST_F(ContextTest, AppendsByAnotherProgramAreSeenAtTheNextRequest) {
    OnTable(T, 1);
    ASSERT_EQ(RestoreContext(39, T), 1);
    EXPECT_EQ(d4record_count(), 10);
    // Another program appends two records.
    std::string bytes = mtest::ReadFile(dir.file("ITEMS.DBF"));
    bytes.pop_back(); // the end-of-file byte
    bytes += " NAME11     NAME12    \x1A";
    mtest::WriteFile(dir.file("ITEMS.DBF"), bytes);
    ASSERT_EQ(RestoreContext(39, T), 1);
    EXPECT_EQ(d4record_count(), 12);
}

TEST_F(ContextTest, WriteTableHeaderStampsTodayAndTheCount) {
    plat::SetTestLocalTime({2026, 12, 1, 7, 9, 5, 3, 0});
    d4select_table(table);
    ASSERT_EQ(WriteTableHeader(1), 0);
    const std::string h = Header();
    EXPECT_EQ(static_cast<unsigned char>(h[1]), 126);
    EXPECT_EQ(static_cast<unsigned char>(h[2]), 12);
    EXPECT_EQ(static_cast<unsigned char>(h[3]), 7);
    EXPECT_EQ(static_cast<unsigned char>(h[4]), 10);
    EXPECT_EQ(h[5], 0);
    EXPECT_EQ(RefreshTableHeader(), 10);
}

TEST_F(ContextTest, RefreshTableHeaderReadsTheDateAndReturnsTheHeaderCount) {
    std::string bytes = mtest::ReadFile(dir.file("ITEMS.DBF"));
    bytes[1] = 99;
    bytes[2] = 3;
    bytes[3] = 4;
    bytes[4] = static_cast<char>(0xFF); // a count no file could hold
    bytes[5] = bytes[6] = bytes[7] = static_cast<char>(0xFF);
    mtest::WriteFile(dir.file("ITEMS.DBF"), bytes);
    d4select_table(table);
    EXPECT_EQ(RefreshTableHeader(), INT_MAX);
    EXPECT_EQ(handle()->header.date[0], 99);
    EXPECT_EQ(handle()->header.date[2], 4);
    // The count comes from the file's size, not from the header.
    EXPECT_EQ(d4record_count(), 10);
}

TEST_F(ContextTest, SaveWithoutATableDoesNothing) {
    SaveContext(19, T);
    EXPECT_EQ(TerminalRecord[T], 0);
    TerminalFile[T] = 0;
    TerminalFileKind[T] = kKindText;
    SaveContext(19, T);
    EXPECT_EQ(TerminalRecord[T], 0);
    EXPECT_EQ(RefreshIndex(-1, 1), 0);
    EXPECT_EQ(CommitIndexFile(-1), 0);
}

} // namespace

namespace {

// An indexed table: a change of a key is on disk after RefreshIndex, also
// when the caller asked only to drop the cached pages.
class IndexWriteBackTest : public ::testing::Test {
  protected:
    void SetUp() override {
        ResetRuntimeTables();
        mtest::WriteTable(dir.file("CODES.DBF"), {{"CODE", 4}}, {"0001", "0002", "0003"});
        mtest::WriteIndex(dir.file("CODES.NTX"), "CODE", {"0001", "0002", "0003"});
        ASSERT_EQ(d4initialize(1, 1, 25, 256, 0), 0);
        table = d4open_table("CODES");
        ASSERT_GE(table, 0);
        index = i4open_index("CODES");
        ASSERT_GE(index, 0);
    }
    void TearDown() override {
        d4close_all_tables();
        d4reset_store();
        ResetRuntimeTables();
    }
    // Changes record 1's key to 0009 and writes the record.
    void ChangeKey() {
        d4select_table(table);
        i4select_index(index);
        ASSERT_EQ(d4goto_record(1), 0);
        std::memcpy(d4record_buffer() + 1, "0009", 4);
        ASSERT_EQ(d4write_record(1), 0);
    }
    std::string Page() { return mtest::ReadFile(dir.file("CODES.NTX")).substr(1024); }
    int DiskVersion() {
        const std::string h = mtest::ReadFile(dir.file("CODES.NTX"));
        return static_cast<unsigned char>(h[2]) | static_cast<unsigned char>(h[3]) << 8;
    }
    mtest::ScratchDir dir;
    int table = -1;
    int index = -1;
};

TEST_F(IndexWriteBackTest, WriteBackPutsPagesAndTheHeaderOnDisk) {
    const int before = DiskVersion();
    ChangeKey();
    ASSERT_EQ(RefreshIndex(index, 1), 0);
    EXPECT_NE(Page().find("0009"), std::string::npos);
    EXPECT_NE(DiskVersion(), before);
}

TEST_F(IndexWriteBackTest, DroppingThePagesNeverLosesAChange) {
    const int before = DiskVersion();
    ChangeKey();
    ASSERT_EQ(RefreshIndex(index, 0), 0);
    EXPECT_NE(Page().find("0009"), std::string::npos);
    // Other programs see that the index changed.
    EXPECT_NE(DiskVersion(), before);
    // And the index still finds every record in key order.
    d4select_table(table);
    i4select_index(index);
    ASSERT_EQ(d4goto_first(), 0);
    EXPECT_EQ(d4record_number(), 2);
    ASSERT_EQ(d4goto_last(), 0);
    EXPECT_EQ(d4record_number(), 1);
}

TEST_F(IndexWriteBackTest, ChangesByAnotherProgramAreReadAfterTheDrop) {
    d4select_table(table);
    i4select_index(index);
    ASSERT_EQ(d4goto_first(), 0);
    ASSERT_EQ(RefreshIndex(index, 0), 0);
    // Another program reverses the order of records 1 and 3 in the index.
    mtest::WriteIndex(dir.file("CODES.NTX"), "CODE", {"0001", "0002", "0003"});
    std::string bytes = mtest::ReadFile(dir.file("CODES.NTX"));
    bytes[2] = 9; // a new version
    mtest::WriteFile(dir.file("CODES.NTX"), bytes);
    ASSERT_EQ(d4goto_last(), 0);
    EXPECT_EQ(d4record_number(), 3);
}

} // namespace
