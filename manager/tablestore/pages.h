// Index pages (.NTX B-tree pages): the 1024-byte page layout, the page slots
// that hold pages in memory, each index's path and least-recently-used cache
// of pages with eviction across indexes, the search within one page and the
// page-level changes of the tree (insert with splits up to a new root,
// remove, free an emptied page and repair its parent).
//
// Page layout (little-endian):
//   0            2 bytes   key count k
//   2            2 x (maximum + 1) item offsets: entry i is the byte offset,
//                          within the page, of item i
//   ...          item storage: maximum + 1 items of item-size bytes
// Item: 4 bytes child page offset (0 in a leaf), 4 bytes record number, then
// the key (key-length bytes, no NUL). Items 0 .. k-1 are the keys in order;
// in a branch the child of item k is the rightmost child. Entries k+1 ..
// maximum name the free item slots. A page is a leaf when item 0's child is 0.
// Free pages are linked the way other programs link them: a free page has
// key count 0 and the offset of the next free page in the child pointer of
// item 0 (the item that offset entry 0 names); the last one links 0. Its
// first 4 bytes (key count and entry 0) are no link.
#pragma once

#include <cstdint>
#include <cstring>

#include "manager/tablestore/pools.h"
#include "manager/tablestore/store.h"

inline constexpr int b4page_size = 1024;

// What a page's shape depends on, taken from the index header.
struct PageGeometry {
    int key_length;
    int item_size; // key length + 8
    int max_keys;  // 2 x half
    int half;
};

// One element of the page pool, shared by all indexes. While on an index's
// path, `next` leads to the parent page; while in its cache, to the next
// older page.
struct PageSlot {
    std::int32_t previous;
    std::int32_t next;
    std::int32_t changed;
    std::int32_t owner; // the index whose page it holds, -1 none
    std::uint32_t file_offset;
    std::int32_t current_item;
    std::uint8_t page[b4page_size];
};

// --- Little-endian fields ---------------------------------------------------

inline std::uint16_t b4get16(const std::uint8_t* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t b4get32(const std::uint8_t* p) {
    return static_cast<std::uint32_t>(p[0]) | (static_cast<std::uint32_t>(p[1]) << 8) |
           (static_cast<std::uint32_t>(p[2]) << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}
inline void b4put16(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}
inline void b4put32(std::uint8_t* p, std::uint32_t v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
    p[2] = static_cast<std::uint8_t>(v >> 16);
    p[3] = static_cast<std::uint8_t>(v >> 24);
}

// --- The page image alone (no index, no file) ------------------------------

// Keys per page the way indexes written by other programs choose them: as
// many items (with their offset entry) as fit after the key count and a
// 2-byte margin, less one for the rightmost child, rounded down to even.
// PageGeometry with max_keys 0 when not even two keys fit.
PageGeometry b4geometry_for(int key_length);

inline int b4key_count(const std::uint8_t* page) {
    return b4get16(page);
}
inline void b4set_key_count(std::uint8_t* page, int k) {
    b4put16(page, static_cast<std::uint32_t>(k));
}
inline int b4offset_entry(const std::uint8_t* page, int i) {
    return b4get16(page + 2 + 2 * i);
}
inline void b4set_offset_entry(std::uint8_t* page, int i, int offset) {
    b4put16(page + 2 + 2 * i, static_cast<std::uint32_t>(offset));
}
// Item i of a page whose offset entries have been checked (b4page_valid).
inline std::uint8_t* b4item(std::uint8_t* page, int i) {
    return page + b4offset_entry(page, i);
}
inline const std::uint8_t* b4item(const std::uint8_t* page, int i) {
    return page + b4offset_entry(page, i);
}
inline std::uint32_t b4item_child(const std::uint8_t* item) {
    return b4get32(item);
}
inline std::uint32_t b4item_record(const std::uint8_t* item) {
    return b4get32(item + 4);
}
inline const std::uint8_t* b4item_key(const std::uint8_t* item) {
    return item + 8;
}
inline bool b4page_is_leaf(const std::uint8_t* page) {
    return b4item_child(b4item(page, 0)) == 0;
}

// Byte offset of the first item of a fresh page: after the key count and the
// maximum + 1 offset entries.
inline int b4first_item_offset(const PageGeometry& g) {
    return 2 * g.max_keys + 4;
}

// A fresh page: key count 0, offset entry i = 2 x maximum + 4 + i x item
// size (items packed after the offset array), everything else zero.
void b4fresh_page(std::uint8_t* page, const PageGeometry& g);

// True when the page can be worked on safely: key count within 0 ..
// maximum, every offset entry names an item lying wholly inside the page
// after the offset array, and no two entries name the same item.
bool b4page_valid(const std::uint8_t* page, const PageGeometry& g);

// The link of a free page into *next; false when the page is no free page
// (a key count other than 0, or an entry 0 naming no item inside the page).
bool b4free_link(const std::uint8_t* page, std::uint32_t* next);

// Turns a page into a free page linking to next: key count 0, item 0's
// child = next (entry 0 is first set to the first item when it names no
// item of this geometry).
void b4make_free(std::uint8_t* page, const PageGeometry& g, std::uint32_t next);

// True when offset may name a page of an index file of file_size bytes: a
// multiple of 1024, past the header page, wholly inside the file.
inline bool b4page_in_file(std::uint32_t offset, std::int64_t file_size) {
    return offset >= b4page_size && offset % b4page_size == 0 &&
           static_cast<std::int64_t>(offset) + b4page_size <= file_size;
}

// Binary search of a page for the first key equal to text over min(text
// length, key length) bytes (unsigned). Sets *current to the item found:
// 0 equal over the full key length, 1 equal as a prefix, 2 on the first
// greater key, 3 every key is smaller (*current = key count).
int b4page_search(const std::uint8_t* page, const PageGeometry& g, const std::uint8_t* text,
                  int text_length, int* current);

// Inserts item (item-size bytes) at position 0 .. key count of a page with
// fewer than maximum keys, through the free slot of entry key count + 1.
// Returns 0, or -1 when the page cannot take it (no action).
int b4page_insert(std::uint8_t* page, const PageGeometry& g, const std::uint8_t* item,
                  int position);

// Removes item i (0 .. maximum) of a page: the key count drops by one, the
// entries after i move down and i's slot goes to entry maximum. Returns the
// new key count, plus 1 when the removed item had a child; -1 when i or the
// key count is out of range (no action).
int b4page_remove(std::uint8_t* page, const PageGeometry& g, int i);

// --- Pages of an open index (its path and cache) -----------------------------

// The slot of page slot number s, or null (recompute after any call that can
// take a slot: the pool may move). Inline, as every step of a walk uses it.
inline PageSlot* b4slot(int s) {
    return h4element_as<PageSlot>(g4.page_pool, s);
}

// Writes back changed pages and empties the path and the cache. 0 / -1.
int i4flush_pages(int index);

// Writes back every changed page of the path and the cache; they stay. 0 / -1.
int i4write_pages(int index);

// Moves every page of the path into the cache (the position is forgotten).
void i4forget_path(int index);

// A new page slot pushed on the index's path (evicting a cached page of some
// index first when the pool is full). Slot number / -1.
int b4get(int index);

// Loads the child of the current item of the current page (or the root when
// the path is empty) onto the path. Direction < 0: current item 0; >= 0: key
// count, or key count - 1 in a leaf. Slot / -1 (the current page is a leaf)
// / -2 read failure / -3 the page is damaged (reported, 320).
int b4load_child(int index, int direction);

// The current item of the current page, or null.
std::uint8_t* b4current_item(int index);

// Slot number of the current page, or -1 with an empty path.
int b4current_slot(int index);

// b4page_search on the current page, moving its current item.
int b4search_page(int index, const std::uint8_t* text, int text_length);

// Moves the current item of the current leaf by up to n (forward at most to
// the last key, backward at most to item 0). Returns the items moved.
int b4skip_in_page(int index, int n);

// Moves the current page to the cache and makes its parent current. Parent
// slot / -1 at the root (which stays) / -2 empty path.
int b4pop_page(int index);

// 1 when the current page is a leaf, 0 otherwise (and with no page).
int b4is_leaf(int index);

// b4page_insert on the current page; a page that cannot take it is error
// 950 "b4insert". Marks it changed.
void b4insert(int index, const std::uint8_t* item, int position);

// Inserts item at the current position of the current page, splitting full
// pages up to a new root. 0 / -1.
int b4add(int index, const std::uint8_t* item);

// Removes the current item of the current page. Returns the new key count,
// plus 1 if the removed item had a child.
int b4remove(int index);

// Frees the current page: puts it at the head of the free list, writes it,
// releases its slot; the parent becomes current. 0 / -1.
int b4free_page(int index);

// Gives slot s (on the index's path) the page at offset: the page map finds
// it there from now on.
void b4set_page_offset(int index, int s, std::uint32_t offset);

// Marks the page of slot s changed (counted in the index's pages_changed).
void b4mark_changed(int index, PageSlot* p);

// Releases slot s to the pool (out of the page map first). The slot must be
// off every path and cache list.
void b4release_slot(int s);

// Frees the page map (the store's reset).
void b4forget_page_map();

// Writes slot s of the index to the file. 0 / -1 (160).
int b4write_block(int index, int s);

// Removes the current item of the current leaf; frees the leaf when it
// becomes empty (unless it is the root) and repairs its parent. 0 / -1.
int remove_key(int index);
int remove_reference(int index);

// The next index after `index` in eviction order: the next index of the same
// table, else the first index of the next open table, wrapping to the first
// table. -1 when no index is open.
int i4next_for_eviction(int index);

// Where the next new page of the index goes: the head of the free list, or
// the end of the file. Returns the offset, or 0 on failure (reported).
std::uint32_t b4new_page_offset(int index);

// Path moves for the splits: links slot s below the current root (a new
// root); takes the top slot off the path (returns it, -1 when empty).
void b4path_append_root(int index, int s);
int b4path_pop_top(int index);

// Pages read from index files since the store started (for benchmarks and
// tests of the cache).
std::int64_t b4pages_read();
