// Index pages in memory: each index's path (the pages from the current page
// up to the root) and its least-recently-used cache of other pages, the page
// slots they live in (one pool shared by every index), eviction across
// indexes with the store-wide round-robin pointer, loading and writing pages,
// and where new pages go (the free list, else the end of the file), and the
// map that finds a page of an index in memory by its offset.
#include <algorithm>
#include <cstdlib>

#include "manager/tablestore/fileio.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/pools.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/store_errors.h"
#include "manager/tablestore/tables.h"

namespace {
std::int64_t pages_read = 0;

// The page map: an open-addressing table of slot numbers keyed by (index,
// file offset), so that finding a page among the thousands an index may keep
// costs a probe or two, not a walk of its cache. Every slot that has an owner
// and an offset is in it once; a slot leaves it before it is released or
// given another offset. It holds at least twice as many entries as the pool
// has slots and is made anew (from the indexes' paths and caches) when the
// pool outgrows it, or when entries and removed ones fill half of it. Each
// entry carries its key, so that a probe reads no slot.
constexpr std::int32_t kMapEmpty = -1;
constexpr std::int32_t kMapGone = -2;
struct MapEntry {
    std::int32_t slot; // kMapEmpty, kMapGone or the slot number
    std::int32_t owner;
    std::uint32_t offset;
};
MapEntry* page_map = nullptr;
std::uint32_t map_size = 0; // a power of two, 0 before the first page
std::uint32_t map_used = 0; // entries in use or removed

std::uint32_t map_home(int index, std::uint32_t offset) {
    const std::uint32_t key =
        (offset / b4page_size) * 2654435761u ^ static_cast<std::uint32_t>(index + 1) * 40503u;
    return (key ^ (key >> 15)) & (map_size - 1);
}

int map_find(int index, std::uint32_t offset) {
    if (map_size == 0 || offset == 0) return -1;
    for (std::uint32_t i = map_home(index, offset), n = 0; n < map_size;
         i = (i + 1) & (map_size - 1), ++n) {
        const MapEntry& e = page_map[i];
        if (e.slot == kMapEmpty) return -1;
        if (e.slot >= 0 && e.offset == offset && e.owner == index) return e.slot;
    }
    return -1;
}

void map_put(int s) {
    const PageSlot* p = b4slot(s);
    std::uint32_t i = map_home(p->owner, p->file_offset);
    while (page_map[i].slot >= 0) i = (i + 1) & (map_size - 1);
    if (page_map[i].slot == kMapEmpty) ++map_used;
    page_map[i] = MapEntry{s, p->owner, p->file_offset};
}

// Makes the map anew with room for the pool, from every index's path and
// cache. False when the memory could not be had (the map is then gone, and
// the walks stand in for it).
bool map_rebuild() {
    std::uint32_t size = 64;
    while (size < 4u * static_cast<std::uint32_t>(std::max(h4capacity(g4.page_pool), 1))) size *= 2;
    std::free(page_map);
    page_map = static_cast<MapEntry*>(std::malloc(size * sizeof(MapEntry)));
    map_size = page_map != nullptr ? size : 0;
    map_used = 0;
    if (page_map == nullptr) return false;
    for (std::uint32_t i = 0; i < size; ++i) page_map[i] = MapEntry{kMapEmpty, -1, 0};
    for (int index = 0; index < h4capacity(g4.index_pool); ++index) {
        const IndexHandle* h = i4index(index);
        if (h == nullptr) continue;
        for (int s = h->path; s >= 0; s = b4slot(s)->next)
            if (b4slot(s)->owner == index && b4slot(s)->file_offset != 0) map_put(s);
        for (int s = h->cache_newest; s >= 0; s = b4slot(s)->next)
            if (b4slot(s)->owner == index && b4slot(s)->file_offset != 0) map_put(s);
    }
    return true;
}

void map_insert(int s) {
    if (4u * map_used + 4 > 2u * map_size ||
        2u * static_cast<std::uint32_t>(h4capacity(g4.page_pool)) > map_size) {
        map_rebuild(); // s is on a path, so it is in the new map
        return;
    }
    if (map_find(b4slot(s)->owner, b4slot(s)->file_offset) != s) map_put(s);
}

void map_remove(int s) {
    const PageSlot* p = b4slot(s);
    if (map_size == 0 || p->owner < 0 || p->file_offset == 0) return;
    for (std::uint32_t i = map_home(p->owner, p->file_offset), n = 0; n < map_size;
         i = (i + 1) & (map_size - 1), ++n) {
        if (page_map[i].slot == kMapEmpty) return;
        if (page_map[i].slot == s) {
            page_map[i].slot = kMapGone;
            return;
        }
    }
}

} // namespace

void b4forget_page_map() {
    std::free(page_map);
    page_map = nullptr;
    map_size = map_used = 0;
}

void b4set_page_offset(int index, int s, std::uint32_t offset) {
    map_remove(s);
    PageSlot* p = b4slot(s);
    p->owner = index;
    p->file_offset = offset;
    if (offset == 0) return;
    map_insert(s);
    if (IndexHandle* h = i4index(index)) {
        const std::int64_t end =
            offset % b4page_size == 0 ? static_cast<std::int64_t>(offset) + b4page_size : INT64_MAX;
        h->pages_end = std::max(h->pages_end, end);
    }
}

void b4mark_changed(int index, PageSlot* p) {
    if (p->changed) return;
    p->changed = 1;
    if (IndexHandle* h = i4index(index)) ++h->pages_changed;
}

void b4release_slot(int s) {
    map_remove(s);
    PageSlot* p = b4slot(s);
    p->owner = -1;
    p->file_offset = 0;
    p->previous = p->next = -1;
    h4free_element(&g4.page_pool, s);
}

std::int64_t b4pages_read() {
    return pages_read;
}

namespace {

// Path: h->path is the top; next leads to the parent, previous to the child.
void path_push(IndexHandle* h, int s) {
    PageSlot* p = b4slot(s);
    p->previous = -1;
    p->next = h->path;
    if (h->path >= 0) b4slot(h->path)->previous = s;
    h->path = s;
}

int path_pop(IndexHandle* h) {
    const int s = h->path;
    if (s < 0) return -1;
    PageSlot* p = b4slot(s);
    h->path = p->next;
    if (h->path >= 0) b4slot(h->path)->previous = -1;
    p->previous = p->next = -1;
    return s;
}

// Links s below the current root (a new root).
void path_append_root(IndexHandle* h, int s) {
    PageSlot* p = b4slot(s);
    p->next = -1;
    int last = h->path;
    if (last < 0) {
        p->previous = -1;
        h->path = s;
        return;
    }
    while (b4slot(last)->next >= 0) last = b4slot(last)->next;
    b4slot(last)->next = s;
    p->previous = last;
}

// Cache: newest first, next leads to the older page. Every walk passes
// through the branch pages, while a leaf of a large index is seldom needed
// again soon: once the index's cache is half full, a leaf leaving the path
// goes to the oldest end, where the next page the index loads takes its
// place, so that the cache holds the branch pages (a seek then reads its
// leaf alone) rather than a few recent leaves.
void cache_push(IndexHandle* h, int s) {
    PageSlot* p = b4slot(s);
    if (h->cache_oldest >= 0 && h->cache_count >= h->cache_limit / 2 && b4page_is_leaf(p->page)) {
        p->next = -1;
        p->previous = h->cache_oldest;
        b4slot(h->cache_oldest)->next = s;
        h->cache_oldest = s;
        ++h->cache_count;
        return;
    }
    p->previous = -1;
    p->next = h->cache_newest;
    if (h->cache_newest >= 0) b4slot(h->cache_newest)->previous = s;
    h->cache_newest = s;
    if (h->cache_oldest < 0) h->cache_oldest = s;
    ++h->cache_count;
}

void cache_unlink(IndexHandle* h, int s) {
    PageSlot* p = b4slot(s);
    if (p->previous >= 0) b4slot(p->previous)->next = p->next;
    if (p->next >= 0) b4slot(p->next)->previous = p->previous;
    if (h->cache_newest == s) h->cache_newest = p->next;
    if (h->cache_oldest == s) h->cache_oldest = p->previous;
    p->previous = p->next = -1;
    --h->cache_count;
}

void slot_release(int s) {
    b4release_slot(s);
}

bool pool_full() {
    const PoolHeader* ph = h4header(g4.page_pool);
    return ph != nullptr && ph->free_head >= ph->capacity;
}

// Frees the oldest cached page of the first index, from the round-robin
// pointer on, that has cached pages. 0 (also when no index has any) / -1.
int evict_one(int requester) {
    int start = g4.eviction_index;
    if (i4index(start) == nullptr) start = requester;
    const int bound = h4capacity(g4.index_pool) + 1;
    int i = start;
    IndexHandle* h = nullptr;
    for (int tries = 0; tries < bound && i >= 0; ++tries) {
        h = i4index(i);
        if (h != nullptr && h->cache_count > 0) break;
        h = nullptr;
        i = i4next_for_eviction(i);
        if (i == start) break;
    }
    if (h == nullptr) return 0;
    g4.eviction_index = i;
    const int s = h->cache_oldest;
    if (s < 0) {
        e4error_report(err4overwritten, "b4get", nullptr);
        return -1;
    }
    if (b4slot(s)->changed && b4write_block(i, s) < 0) return -1;
    cache_unlink(h, s);
    slot_release(s);
    if (h->cache_count < h->cache_limit) g4.eviction_index = i4next_for_eviction(i);
    return 0;
}

// Frees the oldest cached page of the index itself. 0 / -1.
int evict_own(int index) {
    IndexHandle* h = i4index(index);
    const int s = h->cache_oldest;
    if (b4slot(s)->changed && b4write_block(index, s) < 0) return -1;
    cache_unlink(h, s);
    slot_release(s);
    return 0;
}

// Reports a damaged page or tree of the index, which is refused from now on
// until it is sound again.
int damaged(int index) {
    i4mark_damaged(index, "A page is reached twice, lies outside the file or is damaged.", false);
    return -3;
}

} // namespace

int i4next_for_eviction(int index) {
    const IndexHandle* h = i4index(index);
    if (h != nullptr && h->next >= 0 && i4index(h->next) != nullptr) return h->next;
    // The first index of the next open table, wrapping to the first table.
    const TableHandle* t = h != nullptr ? d4table(h->table) : nullptr;
    int table = t != nullptr ? t->next : g4.table_head;
    const int bound = h4capacity(g4.table_pool) + 1;
    for (int tries = 0; tries <= bound; ++tries) {
        if (table < 0) table = g4.table_head;
        const TableHandle* tt = d4table(table);
        if (tt == nullptr) return -1;
        if (tt->first_index >= 0 && i4index(tt->first_index) != nullptr) return tt->first_index;
        table = tt->next;
    }
    return -1;
}

int b4get(int index) {
    IndexHandle* own = i4index(index);
    int own_pages = own != nullptr ? own->cache_count : 0;
    for (int s = own != nullptr ? own->path : -1; s >= 0; s = b4slot(s)->next) ++own_pages;
    if (own != nullptr && g4.index_page_limit > 0 && own_pages >= own->cache_limit &&
        own->cache_oldest >= 0) {
        // The index is at its own limit: its oldest page makes room.
        if (evict_own(index) < 0) return -1;
    } else if (pool_full()) {
        // Below the budget the pool grows (by at most what is left of the
        // budget); at the budget a cached page gives way. Growth copies the
        // whole pool, so it doubles (at least by the configured step) rather
        // than adding a fixed step each time: a few copies on the way to the
        // budget, not one per step.
        PoolHeader* pool = h4header(g4.page_pool);
        const int room = g4.page_budget - pool->capacity;
        if (room <= 0) {
            if (evict_one(index) < 0) return -1;
        } else {
            pool->growth = std::min(room, std::max(pool->growth, pool->capacity));
        }
    }
    const int s = h4get_element(&g4.page_pool, -1);
    if (s < 0) return -1;
    IndexHandle* h = i4index(index);
    PageSlot* p = b4slot(s);
    p->changed = 0;
    p->owner = -1;
    p->file_offset = 0;
    p->current_item = 0;
    path_push(h, s);
    return s;
}

int b4write_block(int index, int s) {
    IndexHandle* h = i4index(index);
    PageSlot* p = b4slot(s);
    if (h == nullptr || p == nullptr) return -1;
    if (p->changed && h->pages_changed > 0) --h->pages_changed;
    p->changed = 0;
    if (u4write_exact(h->file, p->file_offset, p->page, b4page_size, h->file_name) < 0) {
        b4mark_changed(index, b4slot(s)); // still to be written
        return -1;
    }
    return 0;
}

int i4write_pages(int index) {
    IndexHandle* h = i4index(index);
    if (h == nullptr) return -1;
    // Changed pages are counted: the walk ends at the last of them. They are
    // on the path, among the newest cached pages or, leaves, among the
    // oldest, so the cache is walked from both ends towards the middle.
    for (int s = h->path; s >= 0 && h->pages_changed > 0; s = b4slot(s)->next)
        if (b4slot(s)->changed && b4write_block(index, s) < 0) return -1;
    int newer = h->cache_newest;
    int older = h->cache_oldest;
    for (int n = 0; 2 * n < h->cache_count && h->pages_changed > 0 && newer >= 0 && older >= 0;
         ++n) {
        if (b4slot(newer)->changed && b4write_block(index, newer) < 0) return -1;
        if (b4slot(older)->changed && b4write_block(index, older) < 0) return -1;
        newer = b4slot(newer)->next;
        older = b4slot(older)->previous;
    }
    h->pages_changed = 0;
    return 0;
}

int i4flush_pages(int index) {
    IndexHandle* h = i4index(index);
    if (h == nullptr) return -1;
    while (h->path >= 0) {
        const int s = h->path;
        if (b4slot(s)->changed && b4write_block(index, s) < 0) return -1;
        path_pop(h);
        slot_release(s);
    }
    while (h->cache_newest >= 0) {
        const int s = h->cache_newest;
        if (b4slot(s)->changed && b4write_block(index, s) < 0) return -1;
        cache_unlink(h, s);
        slot_release(s);
    }
    h->cache_count = 0;
    h->cache_oldest = -1;
    h->pages_changed = 0;
    h->pages_end = 0;
    return 0;
}

void i4forget_path(int index) {
    IndexHandle* h = i4index(index);
    if (h == nullptr) return;
    while (h->path >= 0) cache_push(h, path_pop(h));
}

int b4current_slot(int index) {
    const IndexHandle* h = i4index(index);
    return h != nullptr ? h->path : -1;
}

int b4load_child(int index, int direction) {
    IndexHandle* h = i4index(index);
    if (h == nullptr) return -2;
    // Every walk loads pages: a request that has used up its work budget
    // is abandoned here, and the index it was walking is checked before it
    // is used again.
    if (const int spent = u4work_budget_spent(); spent != 0) {
        if (spent == 1)
            i4mark_damaged(index, "A request's work budget ran out in this index.", true);
        return -3;
    }
    std::uint32_t offset;
    if (h->path < 0) {
        offset = i4root(h);
    } else {
        const std::uint8_t* item = b4current_item(index);
        if (item == nullptr) return -1;
        offset = b4item_child(item);
        if (offset < 1) {
            // A leaf; but in a branch page (item 0 has a child) every item
            // has one, and taking the page for a leaf would put keys into it.
            if (!b4page_is_leaf(b4slot(h->path)->page)) return damaged(index);
            return -1;
        }
    }
    // The header page is no tree page, and a page already on the path would
    // make the descent go round for ever.
    if (offset < static_cast<std::uint32_t>(b4page_size)) return damaged(index);
    for (int s = h->path; s >= 0; s = b4slot(s)->next)
        if (b4slot(s)->file_offset == offset) return damaged(index);

    int s = map_find(index, offset);
    if (s < 0 && map_size == 0) { // no map (its memory was refused): the walk
        s = h->cache_newest;
        while (s >= 0 && b4slot(s)->file_offset != offset) s = b4slot(s)->next;
    }
    if (s >= 0) {
        // A cached page has seldom stayed in the processor's caches since
        // its last walk: its lines are asked for together here, so that the
        // search's probes (and the list links) do not each wait in turn.
        const auto* bytes = reinterpret_cast<const char*>(b4slot(s));
        for (std::size_t at = 0; at < sizeof(PageSlot); at += 64) __builtin_prefetch(bytes + at);
        cache_unlink(h, s);
        path_push(h, s);
    } else {
        s = b4get(index);
        if (s < 0) return -2;
        h = i4index(index);
        b4set_page_offset(index, s, offset);
        PageSlot* p = b4slot(s);
        ++pages_read;
        if (u4read_exact(h->file, offset, p->page, b4page_size, h->file_name) < 0) {
            path_pop(h);
            slot_release(s);
            return -2;
        }
        if (!b4page_valid(p->page, h->geometry)) {
            path_pop(h);
            slot_release(s);
            return damaged(index);
        }
    }
    PageSlot* p = b4slot(s);
    const int k = b4key_count(p->page);
    if (direction < 0) {
        p->current_item = 0;
    } else {
        p->current_item = b4page_is_leaf(p->page) ? std::max(k - 1, 0) : k;
    }
    return s;
}

std::uint8_t* b4current_item(int index) {
    const IndexHandle* h = i4index(index);
    if (h == nullptr || h->path < 0) return nullptr;
    PageSlot* p = b4slot(h->path);
    if (p->current_item < 0 || p->current_item > h->geometry.max_keys) return nullptr;
    return b4item(p->page, p->current_item);
}

int b4search_page(int index, const std::uint8_t* text, int text_length) {
    const IndexHandle* h = i4index(index);
    PageSlot* p = b4slot(h->path);
    return b4page_search(p->page, h->geometry, text, text_length, &p->current_item);
}

int b4skip_in_page(int index, int n) {
    const IndexHandle* h = i4index(index);
    PageSlot* p = b4slot(h->path);
    const int last = b4key_count(p->page) - 1;
    int moved;
    if (n >= 0) {
        moved = std::max(0, std::min(n, last - p->current_item));
    } else {
        moved = std::min(0, std::max(n, -p->current_item));
    }
    p->current_item += moved;
    return moved;
}

int b4pop_page(int index) {
    IndexHandle* h = i4index(index);
    if (h == nullptr || h->path < 0) return -2;
    if (b4slot(h->path)->next < 0) return -1;
    cache_push(h, path_pop(h));
    return h->path;
}

int b4is_leaf(int index) {
    const IndexHandle* h = i4index(index);
    if (h == nullptr || h->path < 0) return 0;
    return b4page_is_leaf(b4slot(h->path)->page) ? 1 : 0;
}

namespace {

// Whether page offset `at` is on the index's path or in its cache (a free
// page in use: the list is damaged, taking it would overwrite live keys).
bool page_in_memory(int index, const IndexHandle* h, std::uint32_t at) {
    if (map_size != 0) return map_find(index, at) >= 0;
    for (int s = h->path; s >= 0; s = b4slot(s)->next)
        if (b4slot(s)->file_offset == at) return true;
    for (int s = h->cache_newest; s >= 0; s = b4slot(s)->next)
        if (b4slot(s)->file_offset == at) return true;
    return false;
}

// A free-page link that leads nowhere: reported once per index, the list
// is treated as empty from here on (new pages go to the end of the file).
void free_list_broken(IndexHandle* h) {
    if (!h->free_fault_logged)
        e4error_report(err4index_file, h->file_name, "Free page list broken", nullptr);
    h->free_fault_logged = 1;
    b4put32(h->header + i4h_free, 0);
}

// Takes the head of the free list: the page's offset, or 0 when the list
// is empty or broken.
std::uint32_t take_free_page(int index, IndexHandle* h) {
    const std::uint32_t head = i4free_head(h);
    if (head == 0) return 0;
    const std::int64_t size = u4file_size(h->file);
    std::uint8_t page[b4page_size];
    std::uint32_t next = 0;
    if (size < 0 || !b4page_in_file(head, size) || page_in_memory(index, h, head) ||
        u4read_at(h->file, head, page, b4page_size) != b4page_size || !b4free_link(page, &next) ||
        (next != 0 && (!b4page_in_file(next, size) || next == head))) {
        free_list_broken(h);
        return 0;
    }
    b4put32(h->header + i4h_free, next);
    return head;
}

} // namespace

std::uint32_t b4new_page_offset(int index) {
    IndexHandle* h = i4index(index);
    const std::uint32_t free_page = take_free_page(index, h);
    if (free_page != 0) return free_page;
    if (h->eof_position == 0) {
        const std::int64_t size = u4file_size(h->file);
        if (size < 0) {
            e4error_report(err4seek, h->file_name, nullptr);
            return 0;
        }
        h->eof_position = std::max<std::int64_t>(size, b4page_size);
    }
    if (h->eof_position > 0xFFFFFFFFLL - b4page_size) {
        e4error_report(err4write, h->file_name, nullptr);
        return 0;
    }
    const auto offset = static_cast<std::uint32_t>(h->eof_position);
    h->eof_position += b4page_size;
    return offset;
}

int b4free_page(int index) {
    IndexHandle* h = i4index(index);
    const int s = h->path;
    if (s < 0) return -1;
    PageSlot* p = b4slot(s);
    b4make_free(p->page, h->geometry, i4free_head(h));
    b4put32(h->header + i4h_free, p->file_offset);
    b4mark_changed(index, p);
    if (b4write_block(index, s) < 0) return -1;
    path_pop(h);
    slot_release(s);
    return 0;
}

// --- Used by the splits in page_split.cpp ---------------------------------

void b4path_append_root(int index, int s) {
    IndexHandle* h = i4index(index);
    path_append_root(h, s);
}

int b4path_pop_top(int index) {
    return path_pop(i4index(index));
}
