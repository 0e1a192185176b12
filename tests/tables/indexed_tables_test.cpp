// Table routines on a table with an index: the unchanged-record shortcut,
// key maintenance on write and append, key order for first / last / skip,
// and close taking the table's indexes with it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>

#include <filesystem>

#include "manager/tablestore/fields.h"
#include "manager/tablestore/indexes.h"
#include "tests/tables/table_files.h"

namespace {

const std::string kPeer = std::string(FIXTURES_DIR) + "/peer/";

struct IndexedTables : testfiles::StoreTest {
    std::string table, index;
    void SetUp() override {
        StoreTest::SetUp();
        table = dir.file("PESSOA.DBF");
        index = dir.file("PESNOME.NTX");
        for (const std::string& f : {table, index}) {
            std::filesystem::copy_file(kPeer + std::filesystem::path(f).filename().string(), f);
            std::filesystem::permissions(f, std::filesystem::perms::owner_read |
                                                std::filesystem::perms::owner_write);
        }
        ASSERT_GE(d4open_table(table.c_str()), 0);
        ASSERT_GE(i4open_index(index.c_str()), 0);
    }
    // Sets the file's modification time far into the past.
    static void age(const std::string& name) {
        const timespec old[2] = {{978307200, 0}, {978307200, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, name.c_str(), old, 0), 0);
    }
    static bool aged(const std::string& name) {
        struct stat s {};
        return stat(name.c_str(), &s) == 0 && s.st_mtim.tv_sec == 978307200;
    }
};

TEST_F(IndexedTables, RewritingAnUnchangedRecordWritesNothing) {
    ASSERT_EQ(d4goto_record(3), 0);
    ASSERT_EQ(d4flush_table(-1), 0);
    ASSERT_EQ(i4release_index(-1), 0);
    age(table);
    age(index);
    const testfiles::Bytes before = testfiles::read_file(table);
    EXPECT_EQ(d4write_record(3), 0);
    EXPECT_TRUE(aged(table)) << "the record was written although nothing changed";
    EXPECT_TRUE(aged(index));
    EXPECT_EQ(testfiles::read_file(table), before);
}

TEST_F(IndexedTables, WritesAndAppendsKeepTheKeyOrder) {
    const int nome = f4ref("NOME");
    ASSERT_EQ(d4goto_record(3), 0);
    f4put_text(nome, "ZZZ");
    age(table);
    ASSERT_EQ(d4write_record(3), 0);
    EXPECT_FALSE(aged(table));
    ASSERT_EQ(d4goto_last(), 0);
    EXPECT_EQ(d4record_number(), 3) << "the changed key is now the greatest";

    ASSERT_EQ(d4append_blank_record(), 0);
    f4put_text(nome, "AAAA");
    ASSERT_EQ(d4flush_table(-1), 0);
    ASSERT_EQ(d4goto_first(), 0);
    EXPECT_EQ(d4record_number(), 61);
    EXPECT_EQ(d4skip_records(1), 0);
    EXPECT_STREQ(f4field_text(nome), "ANA10     ");
    EXPECT_EQ(d4skip_records(-1), 0);
    EXPECT_EQ(d4record_number(), 61);
    EXPECT_EQ(d4skip_records(-1), 1);
    EXPECT_EQ(d4at_start(), 1);

    // Closing takes the index with it; reopened, the order holds on disk.
    ASSERT_EQ(d4close_table(), 0);
    EXPECT_EQ(i4find_index(index.c_str()), -1);
    ASSERT_GE(d4open_table(table.c_str()), 0);
    ASSERT_GE(i4open_index(index.c_str()), 0);
    ASSERT_EQ(d4goto_first(), 0);
    EXPECT_EQ(d4record_number(), 61);
    ASSERT_EQ(d4goto_last(), 0);
    EXPECT_EQ(d4record_number(), 3);
    EXPECT_EQ(d4record_count(), 61);
}

TEST_F(IndexedTables, FilteredMovesInKeyOrderPassOverDeletedRecords) {
    ASSERT_EQ(d4push_filter(d4is_deleted), 0);
    // Every live record once, in name order, none of the deleted ones.
    ASSERT_EQ(d4goto_first_filtered(), 0);
    EXPECT_EQ(d4is_deleted(), 0);
    int visited = 1;
    while (d4skip_filtered(1) == 0) {
        ASSERT_EQ(d4is_deleted(), 0);
        ++visited;
    }
    EXPECT_EQ(visited, 52) << "60 records, 8 of them deleted";
    EXPECT_EQ(d4at_end(), 1);
    d4clear_filters();
}

} // namespace
