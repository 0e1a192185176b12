// Index handles: the pools, the header and its checks, opening (with the
// blank-record evaluation that learns the key's type), finding, selecting,
// locking with the version counter, releasing and closing an index.
#include <algorithm>
#include <cstring>

#include "manager/tablestore/expressions.h"
#include "manager/tablestore/fields.h"
#include "manager/tablestore/fileio.h"
#include "manager/tablestore/index_verify.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/pools.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/store_errors.h"
#include "manager/tablestore/tables.h"
#include "platform/clock.h"

std::uint32_t i4root(const IndexHandle* h) {
    return b4get32(h->header + i4h_root);
}
std::uint32_t i4free_head(const IndexHandle* h) {
    return b4get32(h->header + i4h_free);
}
int i4version(const IndexHandle* h) {
    return b4get16(h->header + i4h_version);
}
const char* i4expression_text(const IndexHandle* h) {
    return reinterpret_cast<const char*>(h->header + i4h_expression);
}

int i4initialize_pools(int max_indexes, int max_page_slots) {
    if (h4create(&g4.index_pool, max_indexes, sizeof(IndexHandle), 5) < 0) return -1;
    if (h4create(&g4.page_pool, max_page_slots, sizeof(PageSlot), 5) < 0) return -1;
    g4.eviction_index = -1;
    return 0;
}

bool i4header_valid(const std::uint8_t* header, PageGeometry* g) {
    const int signature = b4get16(header + i4h_signature);
    const int item_size = b4get16(header + i4h_item_size);
    const int key_length = b4get16(header + i4h_key_length);
    const int max_keys = b4get16(header + i4h_max_keys);
    const int half = b4get16(header + i4h_half);
    if (key_length < 1 || key_length > i4max_key_length) return false;
    if (half <= 0 || max_keys != 2 * half) return false;
    if (item_size != key_length + 8) return false;
    if (signature != 6 && signature != 0x106) return false;
    // The offset array and every item must fit in one page, or no page of
    // this index could be read or written safely.
    if (2 * max_keys + 4 + (max_keys + 1) * item_size > b4page_size) return false;
    *g = PageGeometry{key_length, item_size, max_keys, half};
    return true;
}

namespace {

// Every index in use with that normalised name, -1 when none.
int find_by_name(const char* name) {
    const int n = h4capacity(g4.index_pool);
    for (int i = 0; i < n; ++i) {
        const IndexHandle* h = i4index(i);
        if (h != nullptr && u4name_equal(name, h->file_name)) return i;
    }
    return -1;
}

// Closes the file and releases the element of an index that did not open.
int abandon(int i, char* program) {
    IndexHandle* h = i4index(i);
    if (program != nullptr) h4release_memory(program);
    if (h != nullptr) {
        u4close_file(h->file);
        std::memset(h, 0, sizeof(IndexHandle));
        h->previous = h->next = -1;
    }
    h4free_element(&g4.index_pool, i);
    return -1;
}

} // namespace

int i4open_index(const char* name) {
    if (!g4.initialized && d4initialize_defaults() < 0) return -1;
    char normal[u4name_size];
    u4name_normalise(name, ".NTX", normal);
    const int open = find_by_name(normal);
    if (open >= 0) return open;

    const int i = h4get_element(&g4.index_pool, -1);
    if (i < 0) return -1;
    IndexHandle* h = h4element_as<IndexHandle>(g4.index_pool, i);
    if (h == nullptr) return -1;
    std::memcpy(h->file_name, normal, sizeof(h->file_name));
    h->file_name[sizeof(h->file_name) - 1] = '\0';
    h->previous = h->next = -1;
    h->path = h->cache_newest = h->cache_oldest = -1;
    h->table = -1;
    h->file = u4open_file(h->file_name, u4open_existing);
    if (h->file < 0) {
        h->file = -1;
        return abandon(i, nullptr);
    }
    if (u4read_exact(h->file, 0, h->header, i4header_size, h->file_name) < 0) {
        return abandon(i, nullptr);
    }
    if (!i4header_valid(h->header, &h->geometry)) {
        e4error_report(err4index_file, h->file_name, nullptr);
        return abandon(i, nullptr);
    }
    h->key_decimals = b4get16(h->header + i4h_key_decimals);

    h->table = g4.selected_table;
    char text[257];
    std::memcpy(text, h->header + i4h_expression, 256);
    text[256] = '\0';
    char* program = nullptr;
    if (e4compile(text, &program) < 0 || program == nullptr) return abandon(i, nullptr);

    // One evaluation on a blank record tells the key's type and length.
    TableHandle* t = d4table(g4.selected_table);
    if (t != nullptr) {
        t->old_image = 0; // old_record is scratch here
        std::memcpy(t->old_record, t->record, static_cast<std::size_t>(t->record_width));
        std::memset(t->record, ' ', static_cast<std::size_t>(t->record_width));
    }
    const char* result = e4evaluate(program);
    const int type = e4result_type();
    const int length = e4result_length();
    if (t != nullptr) {
        std::memcpy(t->record, t->old_record, static_cast<std::size_t>(t->record_width));
    }
    h = i4index(i);
    if (result == nullptr) return abandon(i, program);
    if (type == 'L') {
        e4error_report(err4key_logical, h->file_name, nullptr);
        return abandon(i, program);
    }
    // A character key must have the header's length; a date key is 8
    // characters; a numeric key is written by the number-to-text conversion,
    // which is at most 128 wide.
    const int key_length = h->geometry.key_length;
    const bool fits = (type == 'C' && length == key_length) || (type == 'D' && key_length == 8) ||
                      (type == 'N' && key_length <= 128);
    if (!fits) {
        e4error_report(err4key_changed, h->file_name, nullptr);
        return abandon(i, program);
    }
    h->program = program;
    h->key_type = type;
    h->key_field_offset = h->key_field_width = 0;
    if (const FieldDescriptor* f = f4descriptor(e4single_field(program))) {
        h->key_field_offset = f->offset;
        h->key_field_width = f->width;
    }
    if (b4get16(h->header + i4h_signature) == 0x106) b4put16(h->header + i4h_unique, 1);
    h->unique = b4get16(h->header + i4h_unique) != 0 ? 1 : 0;
    h->cache_count = 0;
    h->cache_limit = g4.index_page_limit > 0 ? g4.index_page_limit : i4default_cache_limit;
    h->version_locked = i4version(h);
    h->locked = 0;
    h->eof_position = 0;
    h->pages_end = 0;
    h->damaged = 0;

    t = d4table(h->table);
    if (t != nullptr) {
        h->next = t->first_index;
        if (t->first_index >= 0) i4index(t->first_index)->previous = i;
        t->first_index = i;
        t->selected_index = i;
    }
    // A damaged index is refused here rather than damaged further by use.
    if (i4verify_open(i) < 0) {
        i4close_index(i);
        return -1;
    }
    return i;
}

int i4find_index(const char* name) {
    char normal[u4name_size];
    u4name_normalise(name, ".NTX", normal);
    for (int t = g4.table_head; t >= 0;) {
        const TableHandle* th = d4table(t);
        if (th == nullptr) break;
        for (int i = th->first_index; i >= 0;) {
            const IndexHandle* h = i4index(i);
            if (h == nullptr) break;
            if (u4name_equal(normal, h->file_name)) return i;
            i = h->next;
        }
        t = th->next;
    }
    return -1;
}

int i4mark_damaged(int index, const char* why, bool check_again) {
    IndexHandle* h = i4index(index);
    if (h == nullptr) return -1;
    e4error_report(err4index_file, h->file_name, why,
                   "The index is refused until it is sound; dbftool index rebuilds it.", nullptr);
    h = i4index(index);
    if (h->damaged != 2) h->damaged = check_again ? 1 : 2;
    h->damaged_version = i4version(h);
    h->damaged_size = u4file_size(h->file);
    h->damaged_tick = plat::TickCount();
    return -1;
}

namespace {

int release_one(int index);

// Drops the index's pages unwritten (they may belong to a file that is no
// more, and writing them would put them back into it).
void drop_pages(int index) {
    IndexHandle* h = i4index(index);
    for (int s = h->path; s >= 0; s = b4slot(s)->next) b4slot(s)->changed = 0;
    for (int s = h->cache_newest; s >= 0; s = b4slot(s)->next) b4slot(s)->changed = 0;
    i4flush_pages(index); // nothing is changed now: this only frees the slots
    h = i4index(index);
    h->eof_position = 0;
}

// Whether the file (size bytes) still holds every page the index knows of:
// the root, the pages in memory and where the next new page goes (a bad
// free list is passed over where new pages are taken). A file cut short by another program or a
// restore holds fewer, and the pages in memory would stand for entries it lost.
const char* shorter_than_its_pages(int index, std::int64_t size) {
    const IndexHandle* h = i4index(index);
    if (size < b4page_size * 2 || !b4page_in_file(i4root(h), size))
        return "The file is shorter than its root page.";
    if (h->eof_position > size) return "The file is shorter than its pages.";
    if (h->pages_end <= size) return nullptr; // every page in memory ends within the file
    for (int s = h->path, n = 0; s >= 0 && n < 1000; s = b4slot(s)->next, ++n)
        if (!b4page_in_file(b4slot(s)->file_offset, size))
            return "The file is shorter than its pages.";
    for (int s = h->cache_newest, n = 0; s >= 0 && n <= h->cache_count; s = b4slot(s)->next, ++n)
        if (!b4page_in_file(b4slot(s)->file_offset, size))
            return "The file is shorter than its pages.";
    return nullptr;
}

// An index marked damaged, its lock held and its header read: checked
// again when it is due (its pages dropped first). 0 sound again / -1.
int check_damaged(int index) {
    IndexHandle* h = i4index(index);
    const std::int64_t size = u4file_size(h->file);
    if (h->damaged == 2 && i4version(h) == h->damaged_version && size == h->damaged_size &&
        plat::TickCount() - h->damaged_tick < i4damaged_recheck_ms) {
        e4error_report(err4index_file, h->file_name,
                       "The index is refused until it is sound; dbftool index rebuilds it.",
                       nullptr);
        return -1;
    }
    drop_pages(index);
    char why[200];
    if (shorter_than_its_pages(index, size) != nullptr || i4verify(index, 0, why, sizeof why) < 0) {
        h = i4index(index);
        h->damaged = 1; // reported again below, as damaged
        return i4mark_damaged(index, why, false);
    }
    h = i4index(index);
    h->damaged = 0;
    return 0;
}

// Takes the index lock (shared, or exclusive for a change) and re-reads the
// header under it. When another writer changed the version counter, the
// root or the free list, every cached page of the index is dropped.
int lock_and_refresh(int index, bool exclusive) {
    IndexHandle* h = i4index(index);
    if (h == nullptr) return -1;
    // Found damaged during this request: nothing more is done with it.
    if (h->locked && h->damaged != 0) return -1;
    if (h->locked && (!exclusive || h->locked_exclusive)) return 0;
    if (h->locked && release_one(index) < 0) return -1; // shared, a change is coming
    h = i4index(index);
    if (u4lock(h->file, u4lock_base, 1, g4.lock_wait, exclusive ? 0 : 1) == u4refused) {
        e4error_report(err4lock, h->file_name, nullptr);
        return -1;
    }
    const int remembered = i4version(h);
    const std::uint32_t root = i4root(h);
    const std::uint32_t free_head = i4free_head(h);
    std::uint8_t header[i4header_size];
    if (u4read_exact(h->file, 0, header, i4header_size, h->file_name) < 0) {
        u4unlock(h->file, u4lock_base, 1);
        return -1;
    }
    // Another writer may have left anything here: the header must still be
    // one this index's pages and key fit.
    PageGeometry g{};
    if (!i4header_valid(header, &g) || g.key_length != h->geometry.key_length ||
        g.max_keys != h->geometry.max_keys) {
        u4unlock(h->file, u4lock_base, 1);
        e4error_report(err4index_file, h->file_name, nullptr);
        return -1;
    }
    std::memcpy(h->header, header, i4header_size);
    if (b4get16(h->header + i4h_signature) == 0x106) b4put16(h->header + i4h_unique, 1);
    h->locked = 1;
    h->locked_exclusive = exclusive ? 1 : 0;
    const int version = i4version(h);
    h->version_locked = version;
    if (h->damaged != 0 && check_damaged(index) < 0) return -1;
    if (const char* why = shorter_than_its_pages(index, u4file_size(h->file))) {
        drop_pages(index);
        return i4mark_damaged(index, why, false);
    }
    h = i4index(index);
    if (version != remembered || i4root(h) != root || i4free_head(h) != free_head) {
        // Another writer changed the index: cached pages are stale.
        h->eof_position = 0;
        if (i4flush_pages(index) < 0) return -1;
    }
    return 0;
}

} // namespace

int i4refresh_header(int index) {
    return lock_and_refresh(index, false);
}

int i4lock_for_change(int index) {
    return lock_and_refresh(index, true);
}

namespace {

int release_one(int index) {
    IndexHandle* h = i4index(index);
    if (h == nullptr) return -1;
    int result = h->pages_changed ? i4write_pages(index) : 0;
    h = i4index(index);
    if (h->locked) {
        if (i4version(h) != h->version_locked) {
            h->version_locked = i4version(h);
            if (u4write_exact(h->file, 0, h->header, i4header_size, h->file_name) < 0) result = -1;
        }
        if (u4unlock(h->file, u4lock_base, 1) != 0) {
            e4error_report(err4unlock, h->file_name, nullptr);
            result = -1;
        }
        h->locked = 0;
        h->locked_exclusive = 0;
    }
    return result;
}

} // namespace

int i4release_index(int index) {
    if (index >= 0) return release_one(index);
    const TableHandle* t = d4current_table();
    if (t == nullptr) return 0;
    int result = 0;
    for (int i = t->first_index; i >= 0;) {
        if (i4index(i) == nullptr) break;
        if (release_one(i) < 0) result = -1;
        i = i4index(i)->next;
    }
    return result;
}

int i4select_index(int index) {
    TableHandle* t = d4current_table();
    if (t == nullptr) return -1;
    const int previous = t->selected_index;
    if (previous >= 0) i4release_index(previous);
    t = d4current_table();
    t->selected_index = -1;
    const IndexHandle* h = i4index(index);
    if (h != nullptr && h->table == g4.selected_table) t->selected_index = index;
    return previous;
}

void i4select_natural_order() {
    TableHandle* t = d4current_table();
    if (t == nullptr) return;
    if (t->selected_index >= 0) i4release_index(t->selected_index);
    t = d4current_table();
    t->selected_index = -1;
}

int i4close_index(int index) {
    IndexHandle* h = i4index(index);
    if (h == nullptr) {
        e4error_report(err4index_close, nullptr);
        return -1;
    }
    TableHandle* t = d4table(h->table);
    bool listed = t == nullptr;
    if (t != nullptr) {
        for (int i = t->first_index; i >= 0 && i4index(i) != nullptr; i = i4index(i)->next) {
            if (i == index) {
                listed = true;
                break;
            }
        }
    }
    if (!listed) {
        e4error_report(err4index_close, h->file_name, nullptr);
        return -1;
    }
    // A close that fails half-way still closes: the table's close must not
    // meet this index again.
    int result = 0;
    if (i4flush_pages(index) < 0) result = -1;
    if (release_one(index) < 0) result = -1;
    h = i4index(index);
    if (u4close_file(h->file) < 0) {
        e4error_report(err4index_close, h->file_name, nullptr);
        result = -1;
    }
    h->file = -1;
    if (h->program != nullptr) h4release_memory(h->program);
    h->program = nullptr;
    // Pages that could not be written are dropped with the index.
    while (h->path >= 0) {
        const int s = b4path_pop_top(index);
        b4release_slot(s);
    }
    while (h->cache_newest >= 0) {
        const int s = h->cache_newest;
        h->cache_newest = b4slot(s)->next;
        if (h->cache_newest >= 0) b4slot(h->cache_newest)->previous = -1;
        b4slot(s)->previous = b4slot(s)->next = -1;
        b4release_slot(s);
    }
    t = d4table(h->table);
    if (t != nullptr) {
        if (h->previous >= 0 && i4index(h->previous) != nullptr)
            i4index(h->previous)->next = h->next;
        if (h->next >= 0 && i4index(h->next) != nullptr) i4index(h->next)->previous = h->previous;
        if (t->first_index == index) t->first_index = h->next;
        if (t->selected_index == index) t->selected_index = -1;
    }
    if (g4.eviction_index == index) g4.eviction_index = -1;
    std::memset(h, 0, sizeof(IndexHandle));
    h->previous = h->next = -1;
    h4free_element(&g4.index_pool, index);
    return result;
}
