// Filters and filtered navigation: deleted records passed over in both
// directions, the ends of the table, filter order and failures.
#include <gtest/gtest.h>

#include "manager/tablestore/pools.h"
#include "tests/tables/table_files.h"

namespace {

using testfiles::Field;
using testfiles::make_table;

const std::vector<Field> kOne = {{"N", 'N', 3, 0}};

std::vector<std::string> numbered(int n) {
    std::vector<std::string> rows;
    for (int i = 1; i <= n; ++i) {
        char row[16];
        std::snprintf(row, sizeof row, "%3d", i);
        rows.push_back(row);
    }
    return rows;
}

// deleted[i] for records 1..n from a pattern string: '*' deleted.
std::vector<bool> marks(const std::string& pattern) {
    std::vector<bool> d;
    for (char c : pattern) d.push_back(c == '*');
    return d;
}

struct Filters : testfiles::StoreTest {
    void open(const std::string& pattern) {
        ASSERT_GE(open_image("F.DBF", make_table(kOne, numbered(static_cast<int>(pattern.size())),
                                                 marks(pattern))),
                  0);
        ASSERT_EQ(d4push_filter(d4is_deleted), 0);
    }
};

TEST_F(Filters, SkipPassesOverDeletedRecords) {
    open(" ** * ");
    ASSERT_EQ(d4goto_record(1), 0);
    EXPECT_EQ(d4skip_filtered(1), 0);
    EXPECT_EQ(d4record_number(), 4);
    EXPECT_EQ(d4skip_filtered(1), 0);
    EXPECT_EQ(d4record_number(), 6);
    EXPECT_EQ(d4skip_filtered(1), 3);
    EXPECT_EQ(d4at_end(), 1);
    EXPECT_EQ(d4skip_filtered(-2), 0);
    EXPECT_EQ(d4record_number(), 4);
    EXPECT_EQ(d4skip_filtered(-1), 0);
    EXPECT_EQ(d4record_number(), 1);
    EXPECT_EQ(d4skip_filtered(-1), 1);
    EXPECT_EQ(d4record_number(), 1);
}

TEST_F(Filters, StartRejectedGoesBackToTheLastAcceptedRecord) {
    open("** * ");
    ASSERT_EQ(d4goto_record(3), 0);
    EXPECT_EQ(d4skip_filtered(-1), 1);
    EXPECT_EQ(d4record_number(), 3);
    EXPECT_EQ(d4is_deleted(), 0);
}

TEST_F(Filters, FromTheEndWithEverythingBeforeRejectedStaysAtTheEnd) {
    open("***");
    ASSERT_EQ(d4goto_last(), 0);
    ASSERT_EQ(d4skip_records(1), 3);
    EXPECT_EQ(d4skip_filtered(-1), 3);
    EXPECT_EQ(d4at_end(), 1);
    EXPECT_EQ(d4record_number(), 4);
    for (char c : std::string(d4record_buffer(), 4)) EXPECT_EQ(c, ' ');
}

TEST_F(Filters, FirstAndLastFiltered) {
    open("* ** ");
    EXPECT_EQ(d4goto_first_filtered(), 0);
    EXPECT_EQ(d4record_number(), 2);
    EXPECT_EQ(d4goto_last_filtered(), 0);
    EXPECT_EQ(d4record_number(), 5);
    d4clear_filters();
    open("  **");
    EXPECT_EQ(d4goto_last_filtered(), 0);
    EXPECT_EQ(d4record_number(), 2);
}

TEST_F(Filters, EverythingRejected) {
    open("***");
    EXPECT_EQ(d4goto_first_filtered(), 3);
    EXPECT_EQ(d4at_end(), 1);
    EXPECT_EQ(d4goto_last_filtered(), 3);
    EXPECT_EQ(d4at_end(), 1);
}

TEST_F(Filters, EmptyTable) {
    open("");
    EXPECT_EQ(d4goto_first_filtered(), 3);
    EXPECT_EQ(d4goto_last_filtered(), 3);
    EXPECT_EQ(d4skip_filtered(1), 3);
    EXPECT_EQ(d4skip_filtered(-1), 1);
}

int calls = 0;
int reject_all() {
    return ++calls, 1;
}
int accept_all() {
    return ++calls, 0;
}
int broken() {
    return -5;
}

TEST_F(Filters, NewestFilterRunsFirstAndRejectsAtOnce) {
    open("  ");
    ASSERT_EQ(d4goto_record(1), 0);
    calls = 0;
    ASSERT_EQ(d4push_filter(accept_all), 0);
    ASSERT_EQ(d4push_filter(reject_all), 0);
    EXPECT_EQ(d4filter_rejects(), 1);
    EXPECT_EQ(calls, 1) << "the older filters are not asked once one rejects";
    ASSERT_EQ(d4pop_filter(), 0);
    calls = 0;
    EXPECT_EQ(d4filter_rejects(), 0);
    EXPECT_EQ(calls, 1);
    ASSERT_EQ(d4push_filter(broken), 0);
    EXPECT_EQ(d4filter_rejects(), -1);
    EXPECT_EQ(d4skip_filtered(1), -1);
    d4clear_filters();
    EXPECT_EQ(d4pop_filter(), -1);
    EXPECT_EQ(d4filter_rejects(), 0);
    EXPECT_EQ(d4current_table()->filter_head, -1);
}

TEST_F(Filters, PoolStartsAtFiveAndGrowsByThree) {
    open(" ");
    for (int i = 0; i < 4; ++i) ASSERT_EQ(d4push_filter(accept_all), 0); // five with d4is_deleted
    EXPECT_EQ(h4capacity(g4.filter_pool), 5);
    ASSERT_EQ(d4push_filter(accept_all), 0);
    EXPECT_EQ(h4capacity(g4.filter_pool), 8);
    d4clear_filters();
}

TEST_F(Filters, CloseRemovesTheTablesFilters) {
    open("  ");
    ASSERT_EQ(d4close_table(), 0);
    // Every element went back to the pool: six new ones fit in 5 + 3.
    EXPECT_EQ(h4header(g4.filter_pool)->free_head, 0);
}

} // namespace
