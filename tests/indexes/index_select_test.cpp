// Indexes as a table uses them: opening the same file twice, finding and
// selecting indexes, closing the selected one, the filtered seeks the
// manager uses, seeks without an index, entries past the table, and another
// writer's changes seen through the version counter.
#include "tests/indexes/index_support.h"

using namespace itest;

namespace {

struct SelectTest : StoreTest {
    std::string table;
    int t = -1;
    // K C 4 with the keys given, in record order.
    void keyed(const std::vector<std::string>& keys) {
        table = make_table("T.DBF", {"K:C:4", "N:N:5"});
        t = d4open_table(table.c_str());
        ASSERT_GE(t, 0);
        for (const std::string& k : keys) ASSERT_EQ(append({k}), 0);
    }
};

} // namespace

TEST_F(SelectTest, OpeningFindingSelectingAndClosingIndexes) {
    keyed({"D", "B", "C", "A"});
    const int by_k = make_index(table, "K.NTX", "K");
    const int by_n = make_index(table, "N.NTX", "STR(RECNO(),5)+K");
    ASSERT_GE(by_k, 0);
    ASSERT_GE(by_n, 0);
    // The same file under another spelling is the same index.
    EXPECT_EQ(i4open_index((dir / "k").c_str()), by_k);
    EXPECT_EQ(i4find_index((dir / "K.ntx").c_str()), by_k);
    EXPECT_EQ(i4find_index((dir / "NONE.NTX").c_str()), -1);
    // The newest is selected; selecting returns the previous one.
    EXPECT_EQ(d4current_table()->selected_index, by_n);
    EXPECT_EQ(i4select_index(by_k), by_n);
    EXPECT_EQ(walk_forward(), (std::vector<int>{4, 2, 3, 1}));
    i4select_natural_order();
    EXPECT_EQ(walk_forward(), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(i4select_index(12345), -1);
    EXPECT_EQ(d4current_table()->selected_index, -1);
    // Seeks use the most recently opened index when none is selected.
    EXPECT_EQ(i4seek_text("    3"), 1);
    EXPECT_EQ(d4record_number(), 3);
    // Closing the selected index returns the table to record order.
    i4select_index(by_k);
    ASSERT_EQ(i4close_index(by_k), 0);
    EXPECT_EQ(d4current_table()->selected_index, -1);
    EXPECT_EQ(d4current_table()->first_index, by_n);
    EXPECT_EQ(walk_forward(), (std::vector<int>{1, 2, 3, 4}));
    EXPECT_EQ(i4close_index(by_k), -1); // no longer open
    // Appends keep the remaining index up to date; closing the table closes it.
    ASSERT_EQ(append({"E"}), 0);
    i4select_index(by_n);
    EXPECT_EQ(walk_forward(), (std::vector<int>{1, 2, 3, 4, 5}));
    ASSERT_EQ(d4close_table(), 0);
    EXPECT_EQ(i4index(by_n), nullptr);
}

TEST_F(SelectTest, SeeksWithoutAnIndexAndEntriesPastTheTableAreErrors) {
    keyed({"A", "B"});
    e4set_last_error(0);
    EXPECT_EQ(i4seek_text("A"), -1);
    EXPECT_EQ(e4last_error(), err4no_index);
    const int i = make_index(table, "K.NTX", "K");
    ASSERT_GE(i, 0);
    // The first entry names record 9 of a table of 2.
    i4release_index(i);
    std::vector<char> f = read_file(dir / "K.NTX");
    auto* leaf = reinterpret_cast<std::uint8_t*>(f.data() + 1024);
    b4put32(b4item(leaf, 0) + 4, 9);
    ASSERT_EQ(i4close_index(i), 0);
    write_file(dir / "K.NTX", f);
    d4select_table(t);
    ASSERT_GE(i4open_index((dir / "K.NTX").c_str()), 0);
    e4set_last_error(0);
    EXPECT_EQ(d4goto_first(), -1);
    EXPECT_EQ(e4last_error(), err4index_record);
    EXPECT_EQ(i4seek_text("A"), -1);
    EXPECT_EQ(d4goto_last(), 0);
    EXPECT_EQ(d4record_number(), 2);
}

TEST_F(SelectTest, FilteredSeeksPassOverDeletedRecords) {
    keyed({"AA", "AB", "AB", "AC", "B"});
    const int i = make_index(table, "K.NTX", "K");
    ASSERT_GE(i, 0);
    ASSERT_EQ(d4mark_deleted(2), 0);
    ASSERT_EQ(d4mark_deleted(4), 0);
    ASSERT_EQ(d4push_filter(d4is_deleted), 0);
    // AB lands on record 2 (deleted); the next accepted is record 3, also AB.
    EXPECT_EQ(d4seek_text_filtered("AB"), 1);
    EXPECT_EQ(d4record_number(), 3);
    // AC is only on a deleted record: the next accepted key B differs.
    EXPECT_EQ(d4seek_text_filtered("AC"), 2);
    EXPECT_EQ(d4record_number(), 5);
    EXPECT_EQ(d4seek_text_filtered("A"), 1);
    EXPECT_EQ(d4record_number(), 1);
    ASSERT_EQ(d4mark_deleted(5), 0);
    EXPECT_EQ(d4seek_text_filtered("AC"), 3);
    EXPECT_EQ(d4at_end(), 1);
    // Without the filter the plain seek stands on the deleted record.
    d4clear_filters();
    EXPECT_EQ(d4seek_text_filtered("AC"), 1);
    EXPECT_EQ(d4record_number(), 4);

    // A numeric index: the number is formatted as the key.
    const int n = make_index(table, "N.NTX", "N");
    ASSERT_GE(n, 0);
    for (int r = 1; r <= 5; ++r) {
        ASSERT_EQ(d4goto_record(r), 0);
        f4put_number(f4ref("N"), 10.0 * (6 - r));
        ASSERT_EQ(d4write_record(r), 0);
    }
    ASSERT_EQ(d4push_filter(d4is_deleted), 0);
    // Record 2 (40) is deleted; the next accepted in key order is 50.
    EXPECT_EQ(d4seek_number_filtered(40), 2);
    EXPECT_EQ(d4record_number(), 1);
    EXPECT_EQ(d4seek_number_filtered(30), 0);
    EXPECT_EQ(d4record_number(), 3);
}

TEST_F(SelectTest, AnotherWritersVersionDropsTheCachedPages) {
    keyed({"A", "B", "C", "D", "E", "F", "G", "H", "I", "J"});
    const int i = make_index(table, "K.NTX", "K");
    ASSERT_GE(i, 0);
    ASSERT_EQ(walk_forward().size(), 10u);
    ASSERT_EQ(i4release_index(-1), 0);
    const std::vector<char> older = read_file(dir / "K.NTX");
    for (const char* k : {"K", "L", "M"}) ASSERT_EQ(append({k}), 0);
    ASSERT_EQ(walk_forward().size(), 13u);
    ASSERT_EQ(i4release_index(-1), 0);
    const std::vector<char> newer = read_file(dir / "K.NTX");
    EXPECT_NE(b4get16(reinterpret_cast<const std::uint8_t*>(newer.data() + 2)),
              b4get16(reinterpret_cast<const std::uint8_t*>(older.data() + 2)));
    // Another program puts the older index back (its own version): the store
    // must read it again instead of using its cached pages.
    write_file(dir / "K.NTX", older);
    EXPECT_EQ(walk_forward().size(), 10u);
    // An unchanged version leaves the cache in use: nothing is read again.
    ASSERT_EQ(i4release_index(-1), 0);
    const std::int64_t reads = b4pages_read();
    EXPECT_EQ(walk_forward().size(), 10u);
    EXPECT_EQ(b4pages_read(), reads);
}
