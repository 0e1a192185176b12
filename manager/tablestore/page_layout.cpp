// The B-tree page image on its own: geometry, the fresh layout, the safety
// check of a page read from a file, the search within a page and the item
// moves of insert and remove. Nothing here touches a file or an index.
#include <algorithm>
#include <bitset>

#include "manager/tablestore/pages.h"

PageGeometry b4geometry_for(int key_length) {
    PageGeometry g{key_length, key_length + 8, 0, 0};
    if (key_length < 1) return g;
    // 1020 bytes for the offset entries and items (2 bytes count, 2 spare);
    // one item of those is the rightmost child.
    const int items = 1020 / (g.item_size + 2);
    g.half = (items - 1) / 2;
    g.max_keys = 2 * g.half;
    if (g.half < 1) g.max_keys = g.half = 0;
    return g;
}

void b4fresh_page(std::uint8_t* page, const PageGeometry& g) {
    std::memset(page, 0, b4page_size);
    const int first = b4first_item_offset(g);
    for (int i = 0; i <= g.max_keys; ++i) b4set_offset_entry(page, i, first + i * g.item_size);
}

bool b4page_valid(const std::uint8_t* page, const PageGeometry& g) {
    const int k = b4key_count(page);
    if (k > g.max_keys) return false;
    const int lowest = b4first_item_offset(g);
    std::bitset<b4page_size> used;
    for (int i = 0; i <= g.max_keys; ++i) {
        const int off = b4offset_entry(page, i);
        if (off < lowest || off + g.item_size > b4page_size) return false;
        if (used.test(static_cast<std::size_t>(off))) return false;
        used.set(static_cast<std::size_t>(off));
    }
    return true;
}

int b4page_search(const std::uint8_t* page, const PageGeometry& g, const std::uint8_t* text,
                  int text_length, int* current) {
    const int compare = std::min(std::max(text_length, 0), g.key_length);
    const int k = b4key_count(page);
    if (k == 0) {
        *current = 0;
        return 3;
    }
    int lo = -1;
    int hi = k;
    while (lo < hi - 1) {
        const int mid = (lo + hi) / 2;
        const int c = std::memcmp(text, b4item_key(b4item(page, mid)), compare);
        if (c < 0) {
            hi = mid;
        } else if (c > 0) {
            lo = mid;
        } else {
            if (mid <= lo + 1) {
                *current = mid;
                return compare == g.key_length ? 0 : 1;
            }
            hi = mid + 1; // an earlier key may be equal too
        }
    }
    if (lo < k - 1) {
        *current = hi;
        return 2;
    }
    *current = k;
    return 3;
}

int b4page_insert(std::uint8_t* page, const PageGeometry& g, const std::uint8_t* item,
                  int position) {
    const int k = b4key_count(page);
    if (k >= g.max_keys || position < 0 || position > k) return -1;
    const int slot = b4offset_entry(page, k + 1);
    if (slot < b4first_item_offset(g) || slot + g.item_size > b4page_size) return -1;
    for (int i = k + 1; i > position; --i) b4set_offset_entry(page, i, b4offset_entry(page, i - 1));
    b4set_offset_entry(page, position, slot);
    std::memcpy(page + slot, item, static_cast<std::size_t>(g.item_size));
    b4set_key_count(page, k + 1);
    return 0;
}

int b4page_remove(std::uint8_t* page, const PageGeometry& g, int i) {
    const int k = b4key_count(page);
    if (i < 0 || i > g.max_keys || k <= 0) return -1;
    const int slot = b4offset_entry(page, i);
    const bool had_child = b4item_child(page + slot) != 0;
    for (int j = i; j < g.max_keys; ++j) b4set_offset_entry(page, j, b4offset_entry(page, j + 1));
    b4set_offset_entry(page, g.max_keys, slot);
    b4set_key_count(page, k - 1);
    return k - 1 + (had_child ? 1 : 0);
}

bool b4free_link(const std::uint8_t* page, std::uint32_t* next) {
    if (b4key_count(page) != 0) return false;
    const int entry = b4offset_entry(page, 0);
    if (entry < 4 || entry + 4 > b4page_size) return false;
    *next = b4get32(page + entry);
    return true;
}

void b4make_free(std::uint8_t* page, const PageGeometry& g, std::uint32_t next) {
    b4set_key_count(page, 0);
    const int entry = b4offset_entry(page, 0);
    if (entry < b4first_item_offset(g) || entry + g.item_size > b4page_size)
        b4set_offset_entry(page, 0, b4first_item_offset(g));
    b4put32(page + b4offset_entry(page, 0), next);
}
