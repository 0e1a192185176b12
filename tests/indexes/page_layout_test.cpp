// The page image on its own: keys per page as other programs choose them,
// the fresh layout, the search for the first equal key, item moves through
// the offset array, and the check of pages read from a file.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "manager/tablestore/pages.h"

namespace {

// A leaf page holding the given 3-character keys (record i + 1 each).
struct Leaf {
    PageGeometry g = b4geometry_for(3);
    std::uint8_t page[b4page_size];
    explicit Leaf(const std::vector<std::string>& keys) {
        b4fresh_page(page, g);
        for (std::size_t i = 0; i < keys.size(); ++i) {
            std::uint8_t item[11] = {};
            b4put32(item + 4, static_cast<std::uint32_t>(i + 1));
            std::memcpy(item + 8, keys[i].data(), 3);
            EXPECT_EQ(b4page_insert(page, g, item, static_cast<int>(i)), 0);
        }
    }
    int search(const std::string& text, int* current) {
        return b4page_search(page, g, reinterpret_cast<const std::uint8_t*>(text.data()),
                             static_cast<int>(text.size()), current);
    }
    std::string key(int i) {
        return std::string(reinterpret_cast<const char*>(b4item_key(b4item(page, i))), 3);
    }
};

} // namespace

TEST(PageLayout, KeysPerPageMatchTheIndexesOfOtherPrograms) {
    // Key length -> maximum keys, as in the peer-made fixtures.
    const std::pair<int, int> seen[] = {{3, 76}, {8, 54}, {10, 50}, {12, 44}, {18, 34}, {20, 32}};
    for (const auto& [length, max] : seen) {
        const PageGeometry g = b4geometry_for(length);
        EXPECT_EQ(g.max_keys, max) << length;
        EXPECT_EQ(g.half * 2, g.max_keys);
        EXPECT_LE(b4first_item_offset(g) + (g.max_keys + 1) * g.item_size, b4page_size);
    }
    EXPECT_EQ(b4geometry_for(330).max_keys, 2);
    EXPECT_EQ(b4geometry_for(331).max_keys, 0);
    EXPECT_EQ(b4geometry_for(0).max_keys, 0);
}

TEST(PageLayout, SearchFindsTheFirstEqualKeyOrTheFirstGreater) {
    Leaf leaf({"ABC", "ABE", "ABE", "ABE", "ABE", "ABG", "XYZ"});
    int cur = -1;
    EXPECT_EQ(leaf.search("ABE", &cur), 0);
    EXPECT_EQ(cur, 1);
    EXPECT_EQ(leaf.search("AB", &cur), 1);
    EXPECT_EQ(cur, 0);
    EXPECT_EQ(leaf.search("ABD", &cur), 2);
    EXPECT_EQ(cur, 1);
    EXPECT_EQ(leaf.search("ABF", &cur), 2);
    EXPECT_EQ(cur, 5);
    EXPECT_EQ(leaf.search("ZZZ", &cur), 3);
    EXPECT_EQ(cur, 7);
    EXPECT_EQ(leaf.search("", &cur), 1);
    EXPECT_EQ(cur, 0);
    // Bytes compare unsigned: 0xE9 sorts after 'Z'.
    EXPECT_EQ(leaf.search("\xE9", &cur), 3);
    // Every run of equal keys, at every length of page.
    for (int n = 1; n <= 76; ++n) {
        for (int at = 0; at < n; at += 7) {
            std::vector<std::string> keys;
            for (int i = 0; i < n; ++i) keys.push_back(i < at ? "AAA" : "BBB");
            Leaf l(keys);
            ASSERT_EQ(l.search("BBB", &cur), 0);
            ASSERT_EQ(cur, at) << n;
        }
    }
    Leaf empty({});
    EXPECT_EQ(empty.search("A", &cur), 3);
    EXPECT_EQ(cur, 0);
}

TEST(PageLayout, InsertAndRemoveMoveOnlyOffsetEntries) {
    Leaf leaf({"AAA", "CCC"});
    std::uint8_t item[11] = {};
    std::memcpy(item + 8, "BBB", 3);
    ASSERT_EQ(b4page_insert(leaf.page, leaf.g, item, 1), 0);
    EXPECT_EQ(b4key_count(leaf.page), 3);
    EXPECT_EQ(leaf.key(0) + leaf.key(1) + leaf.key(2), "AAABBBCCC");
    EXPECT_TRUE(b4page_valid(leaf.page, leaf.g));
    const int slot_of_b = b4offset_entry(leaf.page, 1);
    EXPECT_EQ(b4page_remove(leaf.page, leaf.g, 1), 2);
    EXPECT_EQ(leaf.key(0) + leaf.key(1), "AAACCC");
    // The removed item's slot is parked last, free for the next insertion.
    EXPECT_EQ(b4offset_entry(leaf.page, leaf.g.max_keys), slot_of_b);
    EXPECT_TRUE(b4page_valid(leaf.page, leaf.g));
    // Out of range: no action.
    EXPECT_EQ(b4page_insert(leaf.page, leaf.g, item, 3), -1);
    EXPECT_EQ(b4page_remove(leaf.page, leaf.g, leaf.g.max_keys + 1), -1);
    // A full page takes no more.
    std::vector<std::string> keys(76, "KKK");
    Leaf full(keys);
    EXPECT_EQ(b4page_insert(full.page, full.g, item, 0), -1);
    // A branch item's removal says so.
    b4put32(b4item(full.page, 0), 4096);
    EXPECT_EQ(b4page_remove(full.page, full.g, 0), 76);
}

TEST(PageLayout, PagesFromAFileAreCheckedBeforeUse) {
    Leaf leaf({"AAA", "BBB"});
    EXPECT_TRUE(b4page_valid(leaf.page, leaf.g));
    std::uint8_t bad[b4page_size];
    std::memcpy(bad, leaf.page, b4page_size);
    b4set_key_count(bad, 77);
    EXPECT_FALSE(b4page_valid(bad, leaf.g));
    std::memcpy(bad, leaf.page, b4page_size);
    b4set_offset_entry(bad, 3, 1020); // an item would end past the page
    EXPECT_FALSE(b4page_valid(bad, leaf.g));
    b4set_offset_entry(bad, 3, 10); // inside the offset array
    EXPECT_FALSE(b4page_valid(bad, leaf.g));
    b4set_offset_entry(bad, 3, b4offset_entry(bad, 4)); // named twice
    EXPECT_FALSE(b4page_valid(bad, leaf.g));
}
