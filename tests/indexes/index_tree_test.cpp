// The tree through the store: seeks and their results, equal keys and the
// unique rule, numeric keys, ordered skips, key changes, page splits, freed
// pages and their reuse, and the page pool shared by many indexes.
#include <algorithm>
#include <cstring>
#include <fstream>
#include <random>

#include "manager/tablestore/pools.h"
#include "manager/tablestore/store.h"
#include "tests/indexes/index_support.h"

using namespace itest;

namespace {

std::uint32_t u32(const std::vector<char>& f, std::size_t at) {
    return b4get32(reinterpret_cast<const std::uint8_t*>(f.data() + at));
}
int u16(const std::vector<char>& f, std::size_t at) {
    return b4get16(reinterpret_cast<const std::uint8_t*>(f.data() + at));
}
const std::uint8_t* page_at(const std::vector<char>& f, std::uint32_t offset) {
    return reinterpret_cast<const std::uint8_t*>(f.data() + offset);
}

struct TreeTest : StoreTest {
    std::string table;
    int index = -1;

    // A table with one character field K of `width` and an index on K.
    void keyed_table(int width, const std::vector<std::string>& keys, bool unique = false) {
        table = make_table("T.DBF", {"K:C:" + std::to_string(width)});
        const int t = d4open_table(table.c_str());
        ASSERT_GE(t, 0);
        for (const std::string& k : keys) ASSERT_EQ(append({k}), 0);
        index = make_index(table, "T.NTX", "K", unique);
        ASSERT_GE(index, 0);
    }

    std::vector<char> index_file() {
        EXPECT_EQ(i4release_index(index), 0);
        return read_file(dir / "T.NTX");
    }

    std::string key_of_record(int r) {
        EXPECT_EQ(d4goto_record(r), 0);
        return std::string(i4build_key(index),
                           static_cast<std::size_t>(i4index(index)->geometry.key_length));
    }
};

std::string numbered(int n) {
    char text[16];
    std::snprintf(text, sizeof text, "K%03d", n);
    return text;
}

} // namespace

TEST_F(TreeTest, SeeksGiveExactPrefixGreaterAndEndResults) {
    keyed_table(3, {"ABE", "ABC"});
    EXPECT_EQ(i4seek_text("AB"), 1);
    EXPECT_EQ(d4record_number(), 2);
    EXPECT_EQ(i4seek_text("ABC"), 0);
    EXPECT_EQ(d4record_number(), 2);
    EXPECT_EQ(i4seek_text("ABD"), 2);
    EXPECT_EQ(d4record_number(), 1);
    EXPECT_EQ(i4seek_text("ABF"), 3);
    EXPECT_EQ(d4at_end(), 1);
    EXPECT_EQ(d4record_number(), 3);
    EXPECT_EQ(std::string(d4record_buffer(), 4), "    ");
    // A numeric seek on a character index does not move.
    ASSERT_EQ(i4seek_text("ABE"), 0);
    EXPECT_EQ(i4seek_number(5.0), 3);
    EXPECT_EQ(d4record_number(), 1);
}

TEST_F(TreeTest, EqualKeysComeInRecordOrderAndAUniqueIndexKeepsTheFirst) {
    keyed_table(1, {"B", "A", "B", "A", "B"});
    EXPECT_EQ(walk_forward(), (std::vector<int>{2, 4, 1, 3, 5}));
    EXPECT_EQ(walk_backward(), (std::vector<int>{5, 3, 1, 4, 2}));
    ASSERT_EQ(append({"A"}), 0);
    EXPECT_EQ(walk_forward(), (std::vector<int>{2, 4, 6, 1, 3, 5}));
    EXPECT_EQ(check_faults(index), 0);

    d4select_table(d4open_table(table.c_str()));
    const int u = make_index(table, "U.NTX", "K", true);
    ASSERT_GE(u, 0);
    i4select_index(u);
    EXPECT_EQ(walk_forward(), (std::vector<int>{2, 1}));
    // A second record with a taken key gets no entry, without a report.
    e4set_last_error(0);
    ASSERT_EQ(append({"B"}), 0);
    ASSERT_EQ(append({"C"}), 0);
    EXPECT_EQ(e4last_error(), 0);
    EXPECT_EQ(walk_forward(), (std::vector<int>{2, 1, 8}));
    EXPECT_EQ(i4insert_entry(u, "A", 9), 1);
    EXPECT_EQ(check_faults(u), 0);
    i4select_index(index);
    EXPECT_EQ(walk_forward(), (std::vector<int>{2, 4, 6, 1, 3, 5, 7, 8}));
}

TEST_F(TreeTest, NumericKeysSortNegativesFirstAndLargerMagnitudesBeforeSmaller) {
    table = make_table("N.DBF", {"V:N:6:2"});
    d4select_table(d4open_table(table.c_str()));
    for (const char* v : {" -5.00", "  0.00", "-10.00", "  3.00", " -0.50", " 12.00"})
        ASSERT_EQ(append({v}), 0);
    index = make_index(table, "N.NTX", "V");
    ASSERT_GE(index, 0);
    EXPECT_EQ(i4index(index)->key_type, 'N');
    ASSERT_EQ(d4goto_record(1), 0);
    EXPECT_EQ(std::string(i4build_key(index), 6), ",,'.,,");
    EXPECT_EQ(walk_forward(), (std::vector<int>{3, 1, 5, 2, 4, 6}));
    EXPECT_EQ(i4seek_number(-5), 0);
    EXPECT_EQ(d4record_number(), 1);
    EXPECT_EQ(i4seek_number(-4), 2);
    EXPECT_EQ(d4record_number(), 5);
    EXPECT_EQ(i4seek_text("  3.00"), 0);
    EXPECT_EQ(d4record_number(), 4);
    EXPECT_EQ(i4seek_number(100), 3);

    char key[8];
    i4number_key(i4index(index), -5.0, key);
    EXPECT_EQ(std::string(key, 6), ",,'.,,");
}

TEST_F(TreeTest, SkipPastTheEndMovesWhatRemainsAndTheTableReportsEnd) {
    std::vector<std::string> keys;
    for (int n = 0; n < 200; ++n) keys.push_back(numbered(n));
    keyed_table(4, keys);
    ASSERT_EQ(i4seek_text("K198"), 0);
    EXPECT_EQ(i4skip(index, 3), 1);
    ASSERT_EQ(i4seek_text("K198"), 0);
    EXPECT_EQ(d4skip_records(3), 3);
    EXPECT_EQ(d4at_end(), 1);
    EXPECT_EQ(d4record_number(), 201);
    // Backwards from the second key: one step, then the start.
    ASSERT_EQ(i4seek_text("K001"), 0);
    EXPECT_EQ(i4skip(index, -5), -1);
    ASSERT_EQ(i4seek_text("K001"), 0);
    EXPECT_EQ(d4skip_records(-5), 1);
    EXPECT_EQ(d4at_start(), 1);
    EXPECT_EQ(d4record_number(), 1);
    // From the end, one step back is the last key.
    ASSERT_EQ(d4goto_last(), 0);
    ASSERT_EQ(d4skip_records(1), 3);
    EXPECT_EQ(d4skip_records(-1), 0);
    EXPECT_EQ(d4record_number(), 200);
    // Long skips across branch keys land on the right key.
    ASSERT_EQ(d4goto_first(), 0);
    EXPECT_EQ(d4skip_records(137), 0);
    EXPECT_EQ(d4record_number(), 138);
    EXPECT_EQ(d4skip_records(-100), 0);
    EXPECT_EQ(d4record_number(), 38);
}

TEST_F(TreeTest, AKeyChangeKeepsTheSkipWorkingButAnOutdatedIndexFailsIt) {
    std::vector<std::string> keys;
    for (int n = 0; n < 120; n += 2) keys.push_back(numbered(n));
    keyed_table(4, keys);
    ASSERT_EQ(i4seek_text("K010"), 0);
    const int r = d4record_number();
    f4put_text(f4ref("K"), "K101");
    ASSERT_EQ(d4skip_records(1), 0);
    EXPECT_EQ(std::string(d4record_buffer() + 1, 4), "K102");
    ASSERT_EQ(d4goto_record(r), 0);
    EXPECT_EQ(d4skip_records(-1), 0);
    EXPECT_EQ(std::string(d4record_buffer() + 1, 4), "K100");
    EXPECT_EQ(check_faults(index), 0);

    // Another program changes the record's key without the index.
    ASSERT_EQ(d4goto_record(3), 0);
    i4release_index(-1);
    const TableHandle* t = d4current_table();
    std::vector<char> image = read_file(table);
    std::memcpy(image.data() + t->header.header_length + 2 * t->record_width + 1, "ZZZZ", 4);
    write_file(table, image);
    ASSERT_EQ(d4goto_record(3), 0);
    e4set_last_error(0);
    EXPECT_EQ(d4skip_records(1), -3);
    EXPECT_EQ(e4last_error(), 0);
}

TEST_F(TreeTest, AFullRootSplitsIntoTwoHalvesUnderANewOneKeyRoot) {
    std::vector<std::string> keys;
    for (int n = 0; n < 50; ++n) keys.push_back(numbered(n));
    keyed_table(10, keys);
    const int max = i4index(index)->geometry.max_keys;
    ASSERT_EQ(max, 50);
    std::vector<char> before = index_file();
    ASSERT_EQ(before.size(), 2048u);
    ASSERT_EQ(u32(before, 4), 1024u);
    ASSERT_EQ(u16(before, 1024), 50);

    ASSERT_EQ(append({numbered(50)}), 0);
    std::vector<char> after = index_file();
    EXPECT_EQ(after.size(), 4096u);
    const std::uint32_t root = u32(after, 4);
    EXPECT_NE(root, 1024u);
    const std::uint8_t* r = page_at(after, root);
    ASSERT_EQ(b4key_count(r), 1);
    const std::uint32_t left = b4item_child(b4item(r, 0));
    const std::uint32_t right = b4item_child(b4item(r, 1));
    EXPECT_EQ(right, 1024u);
    EXPECT_EQ(b4key_count(page_at(after, left)), 25);
    EXPECT_EQ(b4key_count(page_at(after, right)), 25);
    EXPECT_EQ(u16(after, 2), u16(before, 2) + 1); // the version counter
    EXPECT_EQ(walk_forward().size(), 51u);
    EXPECT_EQ(check_faults(index), 0);
}

TEST_F(TreeTest, BothHalvesHoldHalfTheKeysWhereverTheNewKeyGoes) {
    for (int where : {0, 24, 25, 26, 50}) {
        SCOPED_TRACE(where);
        std::vector<std::string> keys;
        for (int n = 0; n < 50; ++n) keys.push_back(numbered(2 * n + 1));
        d4close_all_tables();
        keyed_table(10, keys);
        ASSERT_EQ(append({numbered(2 * where)}), 0);
        std::vector<char> f = index_file();
        const std::uint8_t* r = page_at(f, u32(f, 4));
        ASSERT_EQ(b4key_count(r), 1);
        EXPECT_EQ(b4key_count(page_at(f, b4item_child(b4item(r, 0)))), 25);
        EXPECT_EQ(b4key_count(page_at(f, b4item_child(b4item(r, 1)))), 25);
        EXPECT_EQ(check_faults(index), 0);
        i4close_index(index);
    }
}

TEST_F(TreeTest, AnEmptiedLeafHeadsTheFreeListAndTheNextNewPageReusesIt) {
    std::vector<std::string> keys;
    for (int n = 0; n < 77; ++n) keys.push_back(numbered(n));
    keyed_table(10, keys);
    std::vector<char> f = index_file();
    const std::uint8_t* root = page_at(f, u32(f, 4));
    ASSERT_EQ(b4key_count(root), 2);
    const std::uint32_t middle = b4item_child(b4item(root, 1));
    const std::uint8_t* m = page_at(f, middle);
    ASSERT_EQ(b4key_count(m), 25);
    std::vector<std::pair<std::string, int>> entries;
    for (int i = 0; i < 25; ++i) {
        const std::uint8_t* it = b4item(m, i);
        entries.emplace_back(std::string(reinterpret_cast<const char*>(b4item_key(it)), 10),
                             static_cast<int>(b4item_record(it)));
    }
    for (const auto& [key, record] : entries) ASSERT_EQ(i4remove(index, key.data(), record), 0);
    EXPECT_EQ(i4remove(index, entries[0].first.data(), entries[0].second), 1);
    f = index_file();
    EXPECT_EQ(u32(f, 8), middle);
    std::uint32_t next = 1;
    EXPECT_TRUE(b4free_link(page_at(f, middle), &next));
    EXPECT_EQ(next, 0u); // the end of the free list, in item 0's child pointer
    const std::size_t size = f.size();

    // The entries go back in, into the right-hand leaf, which splits: the
    // split takes the freed page instead of growing the file.
    for (const auto& [key, record] : entries)
        ASSERT_EQ(i4insert_entry(index, key.data(), record), 0);
    f = index_file();
    EXPECT_EQ(u32(f, 8), 0u);
    EXPECT_EQ(f.size(), size);
    EXPECT_EQ(check_faults(index), 0);
}

TEST_F(TreeTest, RemovingEveryKeyLeavesAnEmptyRootAndTheTreeGrowsAgain) {
    std::vector<std::string> keys;
    for (int n = 0; n < 300; ++n) keys.push_back(numbered(n));
    keyed_table(4, keys);
    for (int r = 300; r >= 1; --r) ASSERT_EQ(i4remove(index, key_of_record(r).data(), r), 0) << r;
    EXPECT_EQ(d4goto_first(), 3);
    EXPECT_EQ(i4goto_first_key(index), 3);
    std::vector<char> f = index_file();
    EXPECT_EQ(b4key_count(page_at(f, u32(f, 4))), 0);
    EXPECT_NE(u32(f, 8), 0u);
    const std::size_t size = f.size();
    for (int r = 1; r <= 300; ++r) ASSERT_EQ(i4insert_entry(index, key_of_record(r).data(), r), 0);
    f = index_file();
    EXPECT_EQ(f.size(), size); // every page came from the free list
    EXPECT_EQ(check_faults(index), 0);
    std::vector<int> expected;
    for (int r = 1; r <= 300; ++r) expected.push_back(r);
    EXPECT_EQ(walk_forward(), expected);
}

TEST_F(TreeTest, RandomInsertionsAndRemovalsKeepTheOrder) {
    keyed_table(4, {});
    std::mt19937 rng(42);
    for (int n = 0; n < 3000; ++n) {
        const int v = static_cast<int>(rng() % 500);
        ASSERT_EQ(append({numbered(v)}), 0);
    }
    for (int n = 0; n < 1500; ++n) {
        const int r = static_cast<int>(rng() % 3000) + 1;
        ASSERT_EQ(d4goto_record(r), 0);
        f4put_text(f4ref("K"), numbered(static_cast<int>(rng() % 700)).c_str());
        ASSERT_EQ(d4write_record(r), 0);
    }
    EXPECT_EQ(check_faults(index), 0);
    std::vector<std::pair<std::string, int>> expected;
    for (int r = 1; r <= 3000; ++r) expected.emplace_back(key_of_record(r), r);
    std::sort(expected.begin(), expected.end());
    std::vector<int> order;
    for (const auto& e : expected) order.push_back(e.second);
    EXPECT_EQ(walk_forward(), order);
}

TEST_F(TreeTest, APoolWhoseSlotsAreAllOnPathsGrowsByFive) {
    d4reset_store();
    ASSERT_EQ(d4initialize(1, 1, 2, 256, 0), 0);
    d4select_table(d4open_table(dir.copy_peer("ITENS.DBF").c_str()));
    const int i = i4open_index(dir.copy_peer("ITCOD.NTX").c_str());
    ASSERT_GE(i, 0);
    ASSERT_EQ(h4capacity(g4.page_pool), 2);
    ASSERT_EQ(d4goto_first(), 0); // a path of three pages
    EXPECT_EQ(h4capacity(g4.page_pool), 7);
    EXPECT_EQ(walk_forward(), read_ord("ITCOD.ORD"));
}

TEST_F(TreeTest, ManyIndexesOfTwoTablesShareTheManagersPoolOfTwentyFive) {
    const char* pes[] = {"PESNOME", "PESQTD", "PESNASC", "PESCOMP", "PESUNIQ"};
    const char* its[] = {"ITCOD", "ITVAL", "ITDATA"};
    struct Open {
        int table;
        int index;
        std::vector<int> expected;
        std::vector<int> seen;
    };
    std::vector<Open> all;
    const int pt = d4open_table(dir.copy_peer("PESSOA.DBF").c_str());
    for (const char* n : pes) {
        d4select_table(pt);
        all.push_back({pt,
                       i4open_index(dir.copy_peer(std::string(n) + ".NTX").c_str()),
                       read_ord(std::string(n) + ".ORD"),
                       {}});
    }
    const int it = d4open_table(dir.copy_peer("ITENS.DBF").c_str());
    for (const char* n : its) {
        d4select_table(it);
        all.push_back({it,
                       i4open_index(dir.copy_peer(std::string(n) + ".NTX").c_str()),
                       read_ord(std::string(n) + ".ORD"),
                       {}});
    }
    for (const Open& o : all) ASSERT_GE(o.index, 0);

    // The eviction order: a table's indexes newest first, then the next table.
    EXPECT_EQ(i4next_for_eviction(all[7].index), all[6].index);
    EXPECT_EQ(i4next_for_eviction(all[5].index), all[4].index);
    EXPECT_EQ(i4next_for_eviction(all[0].index), all[7].index); // wraps to the head table

    // Walk all of them a step at a time, in turn: their pages keep evicting
    // each other's.
    std::vector<int> pointers;
    bool any_left = true;
    for (Open& o : all) {
        d4select_table(o.table);
        i4select_index(o.index);
        if (d4goto_first() == 0) o.seen.push_back(d4record_number());
    }
    while (any_left) {
        any_left = false;
        for (Open& o : all) {
            if (o.seen.size() >= o.expected.size()) continue;
            d4select_table(o.table);
            i4select_index(o.index);
            ASSERT_EQ(d4goto_record(o.seen.back()), 0);
            const int r = d4skip_records(1);
            ASSERT_GE(r, 0);
            if (r == 0) o.seen.push_back(d4record_number());
            if (r == 0 && o.seen.size() < o.expected.size()) any_left = true;
            if (pointers.empty() || pointers.back() != g4.eviction_index)
                pointers.push_back(g4.eviction_index);
        }
    }
    for (const Open& o : all) EXPECT_EQ(o.seen, o.expected);
    EXPECT_EQ(h4capacity(g4.page_pool), 25);
    std::sort(pointers.begin(), pointers.end());
    pointers.erase(std::unique(pointers.begin(), pointers.end()), pointers.end());
    EXPECT_GE(pointers.size(), 3u); // the round-robin pointer went round
}

TEST_F(TreeTest, ABranchPageLosingItsLastKeyLeavesAShallowerLeafThatStillReadsInOrder) {
    // Three levels of 4-character keys. Removing the lowest keys one by one
    // empties leaves from the left; the separators they give back go into
    // the next leaf, until a second-level page has one key and two leaves:
    // when the left one empties, that page goes and its remaining leaf
    // takes its place one level higher.
    std::vector<std::string> keys;
    for (int n = 0; n < 6000; ++n) {
        char t[8];
        std::snprintf(t, sizeof t, "%04d", n);
        keys.push_back(t);
    }
    keyed_table(4, keys);
    for (int r = 1; r <= 1259; ++r) ASSERT_EQ(i4remove(index, key_of_record(r).data(), r), 0) << r;
    std::string text;
    int notes = 0;
    EXPECT_EQ(check_faults_lenient(index, &notes, &text), 1259) << text; // the removed records
    EXPECT_NE(text.find("note: leaf at a different depth"), std::string::npos) << text;
    EXPECT_GT(check_faults(index, &text), 1259);
    EXPECT_NE(text.find("leaf at a different depth"), std::string::npos) << text;

    std::vector<int> rest;
    for (int r = 1260; r <= 6000; ++r) rest.push_back(r);
    EXPECT_EQ(walk_forward(), rest);
    EXPECT_EQ(walk_backward(), std::vector<int>(rest.rbegin(), rest.rend()));
    for (int r = 1260; r <= 6000; r += 7) {
        ASSERT_EQ(i4seek_text(keys[static_cast<std::size_t>(r - 1)].c_str()), 0) << r;
        EXPECT_EQ(d4record_number(), r);
    }
    EXPECT_EQ(i4seek_text("0000"), 2);
    EXPECT_EQ(d4record_number(), 1260);

    // Everything goes back in and the index holds every record again.
    for (int r = 1; r <= 1259; ++r)
        ASSERT_EQ(i4insert_entry(index, key_of_record(r).data(), r), 0) << r;
    EXPECT_EQ(check_faults_lenient(index, &notes, &text), 0) << text;
    std::vector<int> all;
    for (int r = 1; r <= 6000; ++r) all.push_back(r);
    EXPECT_EQ(walk_forward(), all);
}

TEST_F(TreeTest, AnIndexStaysTheEvictionVictimUntilItHoldsFewerThanTwentyCachedPages) {
    const int t = d4open_table(dir.copy_peer("ITENS.DBF").c_str());
    d4select_table(t);
    const int cod = i4open_index(dir.copy_peer("ITCOD.NTX").c_str());
    d4select_table(t);
    const int val = i4open_index(dir.copy_peer("ITVAL.NTX").c_str());
    ASSERT_GE(cod, 0);
    ASSERT_GE(val, 0);
    EXPECT_EQ(i4next_for_eviction(cod), val);
    EXPECT_EQ(i4next_for_eviction(val), cod);

    // ITCOD walked whole: past the end its path is back at the root alone,
    // the other 24 slots of the pool hold its cached pages, and it is where
    // pages are taken from.
    i4select_index(cod);
    EXPECT_EQ(walk_forward(), read_ord("ITCOD.ORD"));
    ASSERT_EQ(h4capacity(g4.page_pool), 25);
    EXPECT_EQ(i4index(cod)->cache_count, 24);
    EXPECT_EQ(g4.eviction_index, cod);

    // ITVAL's first key needs its three pages: each is taken from ITCOD's
    // cache, which still holds 21, so ITCOD stays the victim.
    i4select_index(val);
    ASSERT_EQ(i4goto_first_key(val), 0);
    EXPECT_EQ(i4index(cod)->cache_count, 21);
    EXPECT_EQ(g4.eviction_index, cod);
    // Its last key needs two more: ITCOD is down to 19, fewer than its limit
    // of 20, and the pointer moves on to ITVAL.
    ASSERT_EQ(i4goto_last_key(val), 0);
    EXPECT_EQ(i4index(cod)->cache_count, 19);
    EXPECT_EQ(g4.eviction_index, val);
    EXPECT_EQ(h4capacity(g4.page_pool), 25);
    // A key in the middle needs one page ITVAL has not cached (its branch
    // page is in ITVAL's cache): it is taken from ITVAL's own cache, and
    // since ITVAL holds fewer than 20 the pointer moves on to ITCOD.
    ASSERT_GE(i4find_key(val, "0005"), 0);
    EXPECT_EQ(i4index(cod)->cache_count, 19);
    EXPECT_EQ(i4index(val)->cache_count, 2);
    EXPECT_EQ(g4.eviction_index, cod);
    EXPECT_EQ(walk_forward(), read_ord("ITVAL.ORD"));
}

// With a budget the pool grows past its 25 slots but never past the budget,
// no index keeps more cached pages than its own limit, the order stays right
// whatever gives way, and pages that fit are kept from one request to the
// next: walking again reads nothing until another writer moves the version
// counter.
TEST_F(TreeTest, APageBudgetBoundsThePoolAndKeepsPagesAcrossRequests) {
    struct Case {
        int total, per_index;
        bool all_fit; // both indexes wholly fit their limits and the budget
    };
    for (const Case c : {Case{120, 70, false}, Case{1000, 400, true}}) {
        d4close_all_tables();
        d4reset_store();
        ASSERT_EQ(d4initialize(1, 1, 25, 256, 0), 0);
        ASSERT_EQ(d4set_page_budget(c.total, c.per_index), 0);
        EXPECT_EQ(d4set_page_budget(10, 5), -1) << "below the pool's size";
        const int t = d4open_table(dir.copy_peer("ITENS.DBF").c_str());
        d4select_table(t);
        const int cod = i4open_index(dir.copy_peer("ITCOD.NTX").c_str());
        d4select_table(t);
        const int val = i4open_index(dir.copy_peer("ITVAL.NTX").c_str());
        ASSERT_GE(cod, 0);
        ASSERT_GE(val, 0);
        for (int pass = 0; pass < 2; ++pass) {
            const std::int64_t before = b4pages_read();
            for (const auto& [index, ord] : {std::pair{cod, "ITCOD.ORD"}, {val, "ITVAL.ORD"}}) {
                i4select_index(index);
                EXPECT_EQ(walk_forward(), read_ord(ord)) << c.total << " pass " << pass;
                EXPECT_LE(i4index(index)->cache_count, c.per_index);
                EXPECT_LE(h4capacity(g4.page_pool), c.total);
                ASSERT_EQ(d4unlock_all(), 0); // the request ends
            }
            if (pass == 1) {
                if (c.all_fit)
                    EXPECT_EQ(b4pages_read(), before) << "kept";
                else
                    EXPECT_GT(b4pages_read(), before);
            }
        }
        if (!c.all_fit) continue;
        // Another writer's change: the version counter on disk moves.
        std::fstream f(dir / "ITCOD.NTX", std::ios::in | std::ios::out | std::ios::binary);
        f.seekg(2);
        const int low = f.get();
        f.seekp(2);
        f.put(static_cast<char>(low + 1));
        f.close();
        const std::int64_t before = b4pages_read();
        i4select_index(cod);
        EXPECT_EQ(walk_forward(), read_ord("ITCOD.ORD"));
        EXPECT_GT(b4pages_read(), before) << "stale pages dropped";
    }
}

// A cache too small for its index (255 pages, 40 kept) keeps the branch
// pages every walk passes through and gives up leaves first: once warm, a
// seek reads its leaf alone. The changed leaves it gives up, wherever they
// lie in the cache, are still written when the request ends.
TEST_F(TreeTest, AFullCacheKeepsItsBranchPagesAndWritesEveryChangedLeaf) {
    d4close_all_tables();
    d4reset_store();
    ASSERT_EQ(d4initialize(1, 1, 25, 256, 0), 0);
    ASSERT_EQ(d4set_page_budget(200, 40), 0);
    const int t = d4open_table(dir.copy_peer("ITENS.DBF").c_str());
    d4select_table(t);
    const int cod = i4open_index(dir.copy_peer("ITCOD.NTX").c_str());
    ASSERT_GE(cod, 0);
    const int field = f4ref("CODIGO");
    std::vector<std::string> codes;
    for (int r = 1; r <= d4record_count(); ++r) {
        ASSERT_EQ(d4goto_record(r), 0);
        codes.emplace_back(f4field_text(field));
    }
    std::mt19937 rng(5);
    const auto seek_some = [&](int n) {
        for (int i = 0; i < n; ++i) {
            ASSERT_EQ(i4seek_text(codes[rng() % codes.size()].c_str()), 0);
            ASSERT_EQ(d4unlock_all(), 0); // the request ends
        }
    };
    seek_some(300);
    for (int i = 0; i < 500; ++i) {
        const std::int64_t before = b4pages_read();
        seek_some(1);
        EXPECT_LE(b4pages_read() - before, 1) << "its leaf alone";
    }

    // Key changes, a request each, move records all over the tree.
    for (int i = 0; i < 300; ++i) {
        const int r = static_cast<int>(rng() % codes.size()) + 1;
        char code[16];
        std::snprintf(code, sizeof code, "N%011d", i);
        ASSERT_EQ(d4goto_record(r), 0);
        f4put_text(field, code);
        ASSERT_EQ(d4write_record(r), 0);
        ASSERT_EQ(d4unlock_all(), 0);
        codes[static_cast<std::size_t>(r - 1)] = code;
    }
    d4close_all_tables();
    d4reset_store();
    ASSERT_EQ(d4initialize(1, 1, 25, 256, 0), 0);
    d4select_table(d4open_table((dir / "ITENS.DBF").c_str()));
    const int again = i4open_index((dir / "ITCOD.NTX").c_str());
    int notes = 0; // the other program's equal keys out of record order
    std::string faults;
    EXPECT_EQ(check_faults_lenient(again, &notes, &faults), 0) << faults;
    for (std::size_t r = 0; r < codes.size(); r += 7) {
        ASSERT_EQ(i4seek_text(codes[r].c_str()), 0) << codes[r];
        EXPECT_EQ(f4field_text(f4ref("CODIGO")), codes[r]);
    }
}

// Appended records go after every equal key in one descent, across splits,
// and the highest possible key (all 0xFF) goes to the very end.
TEST_F(TreeTest, AppendsPlaceEachKeyAfterItsEqualsAcrossSplits) {
    keyed_table(2, {"BB", "AA"});
    std::mt19937 rng(7);
    const std::string keys[] = {"AA", "BB", "CC", "\xFF\xFF", "B\xFF", "BA"};
    std::vector<std::pair<std::string, int>> expected = {{"BB", 1}, {"AA", 2}};
    for (int r = 3; r <= 1500; ++r) {
        const std::string& k = keys[rng() % std::size(keys)];
        ASSERT_EQ(append({k}), 0) << r;
        expected.emplace_back(k, r);
    }
    std::sort(expected.begin(), expected.end(), [](const auto& a, const auto& b) {
        const int c = std::memcmp(a.first.data(), b.first.data(), 2);
        return c != 0 ? c < 0 : a.second < b.second;
    });
    std::vector<int> order;
    for (const auto& e : expected) order.push_back(e.second);
    EXPECT_EQ(walk_forward(), order);
    EXPECT_EQ(check_faults(index), 0);
}
