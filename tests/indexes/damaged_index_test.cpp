// Index files that cannot be trusted: headers the open refuses (320, 350,
// 360, 140), and trees whose pages point outside the file or back up the
// tree, count more keys than a page holds or name items outside the page.
// Each gives an error or a refusal, never a crash or a hang, and nothing is
// written into the damaged file.
#include "tests/indexes/index_support.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <thread>

#include "manager/tablestore/fileio.h"

using namespace itest;

namespace {

struct DamageTest : StoreTest {
    std::string table;
    std::string index;

    // A 3-level peer index (ITCOD) and its table, copied.
    void peer_copy() {
        table = dir.copy_peer("ITENS.DBF");
        index = dir.copy_peer("ITCOD.NTX");
        d4select_table(d4open_table(table.c_str()));
    }

    // A small table of 60 records with an index on its 10-character key.
    void small_index() {
        table = make_table("S.DBF", {"K:C:10", "L:L:1", "N:N:6:2"});
        d4select_table(d4open_table(table.c_str()));
        for (int n = 0; n < 60; ++n) {
            d4blank_record();
            f4put_text(f4ref("K"), ("KEY" + std::to_string(n)).c_str());
            ASSERT_EQ(d4append_record(), 0);
        }
        ASSERT_EQ(dbf_build_index(table.c_str(), (dir / "S.NTX").c_str(), "K", false, stderr), 0);
        index = dir / "S.NTX";
    }

    void patch(std::size_t at, std::uint32_t value, int bytes) {
        std::vector<char> f = read_file(index);
        ASSERT_LE(at + static_cast<std::size_t>(bytes), f.size());
        auto* p = reinterpret_cast<std::uint8_t*>(f.data() + at);
        if (bytes == 2) {
            b4put16(p, value);
        } else {
            b4put32(p, value);
        }
        write_file(index, f);
    }

    // Points every child of the page at `offset` (items 0 .. key count) at `child`.
    void patch_children(std::uint32_t offset, std::uint32_t child) {
        std::vector<char> f = read_file(index);
        auto* page = reinterpret_cast<std::uint8_t*>(f.data() + offset);
        for (int i = 0; i <= b4key_count(page); ++i) b4put32(b4item(page, i), child);
        write_file(index, f);
    }

    std::uint32_t get32(std::size_t at) {
        std::vector<char> f = read_file(index);
        return b4get32(reinterpret_cast<const std::uint8_t*>(f.data() + at));
    }

    // Opening the damaged index must fail with `code` and leave it unchanged.
    void expect_refused(int code) {
        const std::vector<char> before = read_file(index);
        e4set_last_error(0);
        EXPECT_EQ(i4open_index(index.c_str()), -1);
        EXPECT_EQ(e4last_error(), code);
        EXPECT_EQ(read_file(index), before);
    }

    // Every movement on the opened damaged index fails with `code` (none of
    // them may crash or hang), and the file is unchanged afterwards.
    void expect_navigation_fails(int code) {
        const std::vector<char> before = read_file(index);
        const int i = i4open_index(index.c_str());
        ASSERT_GE(i, 0);
        e4set_last_error(0);
        EXPECT_LT(d4goto_first(), 0);
        EXPECT_EQ(e4last_error(), code);
        EXPECT_LT(d4goto_last(), 0);
        EXPECT_LT(i4seek_text("A"), 0);
        EXPECT_LT(i4seek_text("Z"), 0);
        // Keeping the index up to date cannot work either: the append fails
        // before the record is written, and nothing reaches the index.
        const int count = d4record_count();
        d4blank_record();
        f4put_text(f4ref_by_number(1), "ZZZ");
        EXPECT_LT(d4append_record(), 0);
        EXPECT_EQ(d4record_count(), count);
        EXPECT_EQ(i4close_index(i), 0);
        EXPECT_EQ(read_file(index), before);
    }
};

} // namespace

TEST_F(DamageTest, HeadersBreakingAnyRuleAreNotIndexFiles) {
    small_index();
    const std::vector<char> good = read_file(index);
    struct Case {
        const char* what;
        std::size_t at;
        std::uint32_t value;
    } cases[] = {
        {"key length 0", i4h_key_length, 0},
        {"key length 339", i4h_key_length, 339},
        {"odd maximum", i4h_max_keys, 49},
        {"half 0", i4h_half, 0},
        {"item size", i4h_item_size, 19},
        {"signature 7", i4h_signature, 7},
        {"signature 0x206", i4h_signature, 0x206},
        {"items beyond the page", i4h_max_keys, 100}, // with half 50 below
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write_file(index, good);
        patch(c.at, c.value, 2);
        if (c.value == 100) patch(i4h_half, 50, 2);
        expect_refused(err4index_file);
    }
    // A header that is shorter than 280 bytes cannot be read.
    std::vector<char> cut(good.begin(), good.begin() + 200);
    write_file(index, cut);
    expect_refused(err4read);
    // The unique signature opens as a unique index.
    write_file(index, good);
    patch(i4h_signature, 0x106, 2);
    const int u = i4open_index(index.c_str());
    ASSERT_GE(u, 0);
    EXPECT_EQ(i4index(u)->unique, 1);
}

TEST_F(DamageTest, KeysOfTheWrongTypeOrLengthAreRefused) {
    small_index();
    const std::vector<char> good = read_file(index);
    // The expression names a logical field.
    std::vector<char> f = good;
    std::memset(f.data() + i4h_expression, 0, 256);
    std::memcpy(f.data() + i4h_expression, "L", 1);
    write_file(index, f);
    expect_refused(err4key_logical);
    // A character key of 10 against a header of 11.
    write_file(index, good);
    patch(i4h_key_length, 11, 2);
    patch(i4h_item_size, 19, 2);
    patch(i4h_max_keys, 46, 2);
    patch(i4h_half, 23, 2);
    expect_refused(err4key_changed);
    // An expression that does not compile.
    f = good;
    std::memcpy(f.data() + i4h_expression, "UPPER(K", 8);
    write_file(index, f);
    e4set_last_error(0);
    EXPECT_EQ(i4open_index(index.c_str()), -1);
    EXPECT_NE(e4last_error(), 0);
}

TEST_F(DamageTest, AChildOutsideTheFileIsAReadError) {
    peer_copy();
    patch_children(get32(i4h_root), 0x7FFFFC00u);
    expect_navigation_fails(err4read);
}

TEST_F(DamageTest, AChildPointingBackUpTheTreeIsRefused) {
    peer_copy();
    const std::uint32_t root = get32(i4h_root);
    std::vector<char> f = read_file(index);
    const auto* r = reinterpret_cast<const std::uint8_t*>(f.data() + root);
    const std::uint32_t middle = b4item_child(b4item(r, 0));
    ASSERT_FALSE(b4page_is_leaf(reinterpret_cast<const std::uint8_t*>(f.data() + middle)));
    // Root -> middle -> root: the descent would go round for ever.
    patch_children(root, middle);
    patch_children(middle, root);
    expect_navigation_fails(err4index_file);
    // A page that is its own child.
    write_file(index, f);
    patch_children(root, root);
    expect_navigation_fails(err4index_file);
}

TEST_F(DamageTest, AChildPointingIntoTheHeaderIsRefused) {
    peer_copy();
    patch_children(get32(i4h_root), 10);
    expect_navigation_fails(err4index_file);
}

TEST_F(DamageTest, AKeyCountAboveTheMaximumIsRefused) {
    peer_copy();
    const std::uint32_t root = get32(i4h_root);
    patch(root, 45, 2); // the maximum is 44
    expect_navigation_fails(err4index_file);
}

TEST_F(DamageTest, OffsetEntriesOutsideThePageAreRefused) {
    peer_copy();
    const std::uint32_t root = get32(i4h_root);
    for (std::uint32_t bad : {1020u, 0u, 65535u}) {
        SCOPED_TRACE(bad);
        std::vector<char> f = read_file(index);
        const std::vector<char> good = f;
        patch(root + 2, bad, 2);
        expect_navigation_fails(err4index_file);
        write_file(index, good);
    }
    // Two entries naming the same item.
    std::vector<char> f = read_file(index);
    const int second = b4get16(reinterpret_cast<const std::uint8_t*>(f.data() + root + 4));
    patch(root + 2, static_cast<std::uint32_t>(second), 2);
    expect_navigation_fails(err4index_file);
}

TEST_F(DamageTest, AFreeListIntoTheTreeIsNotUsedForNewPages) {
    small_index();
    // A free list whose head is the root: taking it would overwrite live keys.
    patch(i4h_free, get32(i4h_root), 4);
    const std::vector<char> before = read_file(index);
    const int i = i4open_index(index.c_str());
    ASSERT_GE(i, 0);
    EXPECT_EQ(walk_forward().size(), 60u);
    // Appends until the right-hand leaf must split and asks for new pages:
    // the list is refused (reported) and they go to the end of the file.
    for (int n = 0; n < 60; ++n) {
        d4blank_record();
        f4put_text(f4ref("K"), ("NEW" + std::to_string(n)).c_str());
        ASSERT_EQ(d4append_record(), 0);
    }
    EXPECT_EQ(e4last_error(), err4index_file);
    EXPECT_EQ(walk_forward().size(), 120u);
    EXPECT_EQ(check_faults(i), 0);
    i4close_index(i);
    const std::vector<char> after = read_file(index);
    EXPECT_GT(after.size(), before.size());
    EXPECT_EQ(b4get32(reinterpret_cast<const std::uint8_t*>(after.data() + i4h_free)), 0u);
}

TEST_F(DamageTest, ABranchItemWithoutAChildIsRefusedAndNothingIsWritten) {
    // The root of ITCOD is a branch (its item 0 has a child); every other
    // item of it loses its child. Descending there must not take the branch
    // page for a leaf and put a new key into it.
    peer_copy();
    const std::uint32_t root = get32(i4h_root);
    std::vector<char> f = read_file(index);
    auto* r = reinterpret_cast<std::uint8_t*>(f.data() + root);
    for (int i = 1; i <= b4key_count(r); ++i) b4put32(b4item(r, i), 0);
    write_file(index, f);
    const int i = i4open_index(index.c_str());
    ASSERT_GE(i, 0);
    e4set_last_error(0);
    EXPECT_LT(d4goto_last(), 0);
    EXPECT_EQ(e4last_error(), err4index_file);
    EXPECT_LT(i4seek_text("ZZZ"), 0);
    const int count = d4record_count();
    d4blank_record();
    f4put_text(f4ref_by_number(1), "ZZZ");
    EXPECT_LT(d4append_record(), 0);
    EXPECT_EQ(d4record_count(), count);
    EXPECT_EQ(i4close_index(i), 0);
    EXPECT_EQ(read_file(index), f);
}

// Damage found while the index is in use (after its open): a walk that
// outlasts the request's work budget, children shared by neighbouring items
// (written by another program), a file cut short. The walk fails with 320,
// and the index is refused until a check of its tree finds it sound.
TEST_F(DamageTest, DamageFoundInUseRefusesTheIndexUntilItIsSound) {
    peer_copy();
    const int i = i4open_index(index.c_str());
    ASSERT_GE(i, 0);
    const std::vector<char> good = read_file(index);
    const std::uint32_t root = get32(i4h_root);
    const std::uint32_t child =
        get32(root + b4offset_entry(reinterpret_cast<const std::uint8_t*>(good.data() + root), 0));
    const auto bump_version = [&] { patch(i4h_version, get32(i4h_version) + 1, 2); };
    struct Case {
        const char* what;
        std::function<void()> damage;
        bool refused_after; // still refused while the file stays as it is
    };
    const std::vector<Case> cases = {
        {"work budget spent",
         [] {
             u4set_work_budget(1);
             std::this_thread::sleep_for(std::chrono::milliseconds(5));
         },
         false},
        {"shared children",
         [&] {
             patch_children(root, child);
             bump_version();
         },
         true},
        {"cut to half", [&] { std::filesystem::resize_file(index, good.size() / 2 / 1024 * 1024); },
         true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        ASSERT_EQ(d4goto_first(), 0);
        d4unlock_all(); // the request ends; the next one reads the header again
        c.damage();
        e4set_last_error(0);
        EXPECT_LT(d4skip_records(d4record_count() + 1), 0);
        EXPECT_EQ(e4last_error(), err4index_file);
        d4unlock_all();
        u4set_work_budget(0);
        if (c.refused_after) {
            EXPECT_LT(d4goto_first(), 0);
            d4unlock_all();
            write_file(index, good); // rebuilt: its counter moved on
            bump_version();
            bump_version();
        }
        EXPECT_EQ(d4goto_first(), 0);
        d4unlock_all();
        EXPECT_EQ(i4index(i)->damaged, 0);
    }
}
