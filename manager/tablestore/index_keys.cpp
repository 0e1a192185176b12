// Keys and entries of an open index: building the key of a record (with the
// numeric key transform), finding a key, ordered movement across branch and
// leaf pages, first and last key, finding, inserting and removing entries,
// and the key maintenance the table routines run on write and append.
#include <algorithm>
#include <cstring>

#include "manager/tablestore/expressions.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/numbers.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/store_errors.h"
#include "manager/tablestore/tables.h"

namespace {

// The key of the last i4build_key, and room for a second one while the
// table routines compare old and new keys.
char built_key[i4max_key_length + 1];

int overwritten(const char* where) {
    e4error_report(err4overwritten, where, nullptr);
    return -1;
}

// Pops the path to the root, or loads the root when the path is empty (or
// does not end at the header's root any more). 0 / -1.
int to_root(int index) {
    while (b4pop_page(index) >= 0) {
    }
    IndexHandle* h = i4index(index);
    if (h->path >= 0 && b4slot(h->path)->file_offset != i4root(h)) i4forget_path(index);
    h = i4index(index);
    if (h->path < 0 && b4load_child(index, -1) < 0) return -1;
    return 0;
}

// Descends from the current page to a leaf, loading children with the
// direction given. 0 / -1.
int descend(int index, int direction) {
    for (;;) {
        const int s = b4load_child(index, direction);
        if (s == -1) return 0;
        if (s < 0) return -1;
    }
}

PageSlot* top(int index) {
    return b4slot(i4index(index)->path);
}

// Result of the key-entry lookups with an explicit text length.
int find_key(int index, const char* text, int length) {
    if (i4refresh_header(index) < 0) return -1;
    if (to_root(index) < 0) return -1;
    const auto* t = reinterpret_cast<const std::uint8_t*>(text);
    int r;
    for (;;) {
        r = b4search_page(index, t, length);
        if (b4is_leaf(index)) break;
        const int s = b4load_child(index, -1);
        if (s == -1) break;
        if (s < 0) return -1;
    }
    if (r != 3) return r;
    // Every key of the leaf is smaller: the next key is the first branch key
    // up the path that lies to the right.
    for (;;) {
        const int p = b4pop_page(index);
        if (p == -1) return 3;
        if (p < 0) return -1;
        const PageSlot* s = top(index);
        if (s->current_item < b4key_count(s->page)) break;
    }
    const IndexHandle* h = i4index(index);
    const int compare = std::min(std::max(length, 0), h->geometry.key_length);
    const std::uint8_t* key = b4item_key(b4current_item(index));
    if (std::memcmp(t, key, static_cast<std::size_t>(compare)) != 0) return 2;
    return compare == h->geometry.key_length ? 0 : 1;
}

// The current entry's key and record (valid only when the current item is a key).
const std::uint8_t* current_key(int index) {
    const std::uint8_t* item = b4current_item(index);
    return item != nullptr ? b4item_key(item) : nullptr;
}

int first_key(int index) {
    if (to_root(index) < 0) return -1;
    top(index)->current_item = 0;
    if (descend(index, -1) < 0) return -1;
    return b4key_count(top(index)->page) == 0 ? 3 : 0;
}

int last_key(int index) {
    if (to_root(index) < 0) return -1;
    PageSlot* p = top(index);
    const int k = b4key_count(p->page);
    p->current_item = b4page_is_leaf(p->page) ? std::max(k - 1, 0) : k;
    if (descend(index, 1) < 0) return -1;
    return b4key_count(top(index)->page) == 0 ? 3 : 0;
}

} // namespace

void i4numeric_key(char* key, int length) {
    bool negative = false;
    for (int i = 0; i < length; ++i) {
        if (key[i] == ' ') {
            key[i] = '0';
        } else if (key[i] == '-') {
            key[i] = '0';
            negative = true;
        } else {
            break;
        }
    }
    if (negative)
        for (int i = 0; i < length; ++i) key[i] = static_cast<char>(92 - key[i]);
}

void i4number_key(const IndexHandle* h, double value, char* out) {
    const int w = h->geometry.key_length;
    n4number_text(value, w, h->key_decimals, out);
    i4numeric_key(out, w);
}

char* i4build_key(int index) {
    const IndexHandle* h = i4index(index);
    if (h == nullptr || h->program == nullptr) return nullptr;
    const char* result = e4evaluate(h->program);
    if (result == nullptr) return nullptr;
    h = i4index(index);
    const int w = h->geometry.key_length;
    const int type = e4result_type();
    if (type == 'N') {
        double value;
        std::memcpy(&value, result, sizeof value);
        i4number_key(h, value, built_key);
    } else {
        // A key shorter than the header's (an expression whose length varies
        // with the record) is blank-padded; a longer one is cut.
        const int length = std::clamp(e4result_length(), 0, w);
        std::memset(built_key, ' ', static_cast<std::size_t>(w));
        std::memcpy(built_key, result, static_cast<std::size_t>(length));
    }
    built_key[w] = '\0';
    return built_key;
}

int i4find_key_text(int index, const char* text, int length) {
    if (i4index(index) == nullptr) return -1;
    return find_key(index, text, length);
}

int i4find_key(int index, const char* text) {
    const IndexHandle* h = i4index(index);
    if (h == nullptr || text == nullptr) return -1;
    const int length =
        static_cast<int>(strnlen(text, static_cast<std::size_t>(h->geometry.key_length)));
    return find_key(index, text, length);
}

int i4goto_first_key(int index) {
    if (i4refresh_header(index) < 0) return -1;
    return first_key(index);
}

int i4goto_last_key(int index) {
    if (i4refresh_header(index) < 0) return -1;
    return last_key(index);
}

int i4skip(int index, int n) {
    if (i4refresh_header(index) < 0) return -n;
    IndexHandle* h = i4index(index);
    if (h->path < 0) {
        const int r = first_key(index);
        if (r < 0) return -n;
        if (r == 3) return 0;
    } else {
        const PageSlot* p = top(index);
        if (p->current_item < 0 || p->current_item >= b4key_count(p->page)) {
            const int r = last_key(index);
            if (r < 0) return -n;
            if (r == 3) return 0;
        }
    }
    const int direction = n >= 0 ? 1 : -1;
    int done = 0;
    // The page just climbed out of: the next child taken in its parent is
    // its neighbour, never the same page (children shared by neighbouring
    // items would bring the walk back to the same pages again and again).
    std::uint32_t left = 0;
    while (done != n) {
        if (!b4is_leaf(index)) {
            PageSlot* p = top(index);
            if (direction > 0) {
                if (p->current_item + 1 > b4key_count(p->page)) return done;
                ++p->current_item;
            }
            const std::uint8_t* item = b4current_item(index);
            if (item != nullptr && left != 0 && b4item_child(item) == left) {
                i4mark_damaged(index, "Neighbouring items share a child page.", false);
                return -n;
            }
            left = 0;
            if (descend(index, direction > 0 ? -1 : 1) < 0) return -n;
            done += direction;
            continue;
        }
        done += b4skip_in_page(index, n - done);
        if (done == n) break;
        for (;;) {
            left = top(index)->file_offset;
            const int parent = b4pop_page(index);
            if (parent == -2) {
                overwritten("i4skip");
                return -n;
            }
            PageSlot* p = top(index);
            const int k = b4key_count(p->page);
            if (parent == -1) {
                p->current_item = std::clamp(p->current_item + direction, 0, k);
                return done;
            }
            if (direction > 0) {
                if (p->current_item < k) {
                    ++done;
                    break;
                }
            } else {
                --p->current_item;
                if (p->current_item >= 0) {
                    --done;
                    break;
                }
            }
        }
    }
    return n;
}

int i4find_entry_text(int index, const char* key, int length, int record_number) {
    const int r = find_key(index, key, length);
    if (r < 0) return -1;
    if (r == 2 || r == 3) return r;
    const IndexHandle* h = i4index(index);
    const int compare = r == 0 ? h->geometry.key_length : std::min(length, h->geometry.key_length);
    for (;;) {
        const std::uint8_t* item = b4current_item(index);
        if (item == nullptr) return -1;
        const auto record = static_cast<std::int64_t>(b4item_record(item));
        if (record == record_number) return 0;
        if (record > record_number) return 1;
        const int moved = i4skip(index, 1);
        if (moved < 0) return -1;
        if (moved == 0) return 4;
        if (std::memcmp(current_key(index), key, static_cast<std::size_t>(compare)) != 0) return 1;
    }
}

int i4find_entry(int index, const char* key, int record_number) {
    const IndexHandle* h = i4index(index);
    if (h == nullptr || key == nullptr) return -1;
    return i4find_entry_text(index, key, h->geometry.key_length, record_number);
}

namespace {

// Looks for the entry (key, n) among all entries with this key, in whatever
// order they are. Indexes written by other programs do not always keep equal
// keys in record-number order, and an entry that the ordered search misses
// would stay behind when its record changes. 0 found (positioned on it) / 1
// not there / -1.
int find_entry_anywhere(int index, const char* key, int record_number) {
    const int w = i4index(index)->geometry.key_length;
    const int r = find_key(index, key, w);
    if (r < 0) return -1;
    if (r != 0) return 1;
    for (;;) {
        const std::uint8_t* item = b4current_item(index);
        if (item == nullptr) return -1;
        if (static_cast<std::int64_t>(b4item_record(item)) == record_number) return 0;
        const int moved = i4skip(index, 1);
        if (moved < 0) return -1;
        if (moved == 0) return 1;
        if (std::memcmp(current_key(index), key, static_cast<std::size_t>(w)) != 0) return 1;
    }
}

} // namespace

namespace {

// After i4find_entry gave 1: true when it stopped on an entry with the key
// itself (and a greater record number) and one of the entries with that key
// after it is (key, n). Indexes written by other programs do not always keep
// equal keys in record-number order, and such an entry must not be added a
// second time. 1 there; 0 not there (the position is lost); 2 not there
// and nothing moved (i4find_entry stopped on a greater key); -1.
int later_equal_entry(int index, const char* key, int record_number) {
    const int w = i4index(index)->geometry.key_length;
    const std::uint8_t* at = current_key(index);
    if (at == nullptr || std::memcmp(at, key, static_cast<std::size_t>(w)) != 0) return 2;
    for (;;) {
        const int moved = i4skip(index, 1);
        if (moved < 0) return -1;
        if (moved == 0) return 0;
        if (std::memcmp(current_key(index), key, static_cast<std::size_t>(w)) != 0) return 0;
        if (static_cast<std::int64_t>(b4item_record(b4current_item(index))) == record_number)
            return 1;
    }
}

} // namespace

namespace {

// Inserts (key, record_number) at the position a search left: r 2 stopped on
// the first greater key (or on the entry the new one goes before), 3 every
// key is smaller. 0 / -1.
int insert_here(int index, const char* key, int record_number, int r) {
    if (r == 3 || r == 4) {
        if (!b4is_leaf(index) && last_key(index) < 0) return -1;
        PageSlot* p = top(index);
        p->current_item = b4key_count(p->page);
    }
    if (!b4is_leaf(index)) {
        // New entries go into a leaf, right after their predecessor.
        if (i4skip(index, -1) != -1) return -1;
        PageSlot* p = top(index);
        p->current_item = b4key_count(p->page);
    }
    IndexHandle* h = i4index(index);
    b4put16(h->header + i4h_version, static_cast<std::uint32_t>(h->version_locked + 1));
    std::uint8_t item[i4max_key_length + 8];
    b4put32(item, 0);
    b4put32(item + 4, static_cast<std::uint32_t>(record_number));
    std::memcpy(item + 8, key, static_cast<std::size_t>(h->geometry.key_length));
    const int added = b4add(index, item);
    // After a split the path no longer describes a position.
    i4forget_path(index);
    return added < 0 ? -1 : 0;
}

} // namespace

int i4insert_entry(int index, const char* key, int record_number) {
    if (i4lock_for_change(index) < 0) return -1;
    int r = i4find_entry(index, key, record_number);
    if (r < 0) return -1;
    if (r == 0) return 2;
    IndexHandle* h = i4index(index);
    if (r == 1 && !h->unique) {
        const int later = later_equal_entry(index, key, record_number);
        if (later < 0) return -1;
        if (later == 1) return 2;
        if (later == 0 && i4find_entry(index, key, record_number) != 1) return -1;
        h = i4index(index);
    }
    if ((r == 1 || r == 4) && h->unique) return 1;
    return insert_here(index, key, record_number, r);
}

int i4append_entry(int index, const char* key, int record_number) {
    if (i4lock_for_change(index) < 0) return -1;
    const IndexHandle* h = i4index(index);
    const int w = h->geometry.key_length;
    if (h->unique) {
        const int r = find_key(index, key, w);
        if (r < 0) return -1;
        if (r == 0) return 1;
    }
    // The first key greater than key: the search for key "plus one" (its
    // bytes as one big number), or the end when key is all 0xFF.
    char above[i4max_key_length];
    std::memcpy(above, key, static_cast<std::size_t>(w));
    int i = w - 1;
    while (i >= 0 && static_cast<unsigned char>(above[i]) == 0xFF) above[i--] = 0;
    int r = 3;
    if (i >= 0) {
        above[i] = static_cast<char>(static_cast<unsigned char>(above[i]) + 1);
        r = find_key(index, above, w);
        if (r < 0) return -1;
        if (r != 3) r = 2;
    } else if (last_key(index) < 0) {
        return -1;
    }
    return insert_here(index, key, record_number, r);
}

int i4remove(int index, const char* key, int record_number) {
    if (i4lock_for_change(index) < 0) return -1;
    int r = i4find_entry(index, key, record_number);
    if (r < 0) return -1;
    if (r == 1 || r == 4) r = find_entry_anywhere(index, key, record_number);
    if (r < 0) return -1;
    if (r != 0) return 1;
    IndexHandle* h = i4index(index);
    b4put16(h->header + i4h_version, static_cast<std::uint32_t>(h->version_locked + 1));
    if (!b4is_leaf(index)) {
        // A branch entry takes the place of its in-order predecessor, which is
        // always the last key of a leaf; that one is removed instead.
        const int branch = b4current_slot(index);
        // (A file whose branch key has no leaf before it is damaged, not
        // memory: that is a refusal, not the end of the program.)
        const int moved = i4skip(index, -1);
        if (moved == 1) return -1; // the step failed and was reported
        if (moved != -1) {
            e4error_report(err4index_file, i4index(index)->file_name, nullptr);
            return -1;
        }
        const std::uint8_t* pred = b4current_item(index);
        PageSlot* b = b4slot(branch);
        if (pred == nullptr || b->current_item < 0 || b->current_item >= b4key_count(b->page))
            return overwritten("Routine i4remove");
        h = i4index(index);
        std::memcpy(b4item(b->page, b->current_item) + 4, pred + 4,
                    static_cast<std::size_t>(h->geometry.key_length + 4));
        b4mark_changed(index, b);
    }
    const int removed = remove_key(index);
    i4forget_path(index);
    return removed < 0 ? -1 : 0;
}

int i4position_on_record(int index, int record_number) {
    if (i4refresh_header(index) < 0) return -1;
    const IndexHandle* h = i4index(index);
    if (h->path >= 0) {
        const PageSlot* p = top(index);
        if (p->current_item >= 0 && p->current_item < b4key_count(p->page) &&
            static_cast<std::int64_t>(b4item_record(b4item(p->page, p->current_item))) ==
                record_number)
            return 0;
    }
    TableHandle* t = d4table(h->table);
    if (t == nullptr) return -1;
    const int previous = d4select_table(h->table);
    int r = d4read_record(record_number);
    char key[i4max_key_length + 1];
    if (r == 0) {
        const char* built = i4build_key(index);
        if (built == nullptr) {
            r = -1;
        } else {
            std::memcpy(key, built, sizeof key);
            r = i4find_entry(index, key, record_number);
            if (r == 1 || r == 4) r = find_entry_anywhere(index, key, record_number);
            if (r > 0) r = -3;
        }
    } else if (r > 0) {
        r = -3;
    }
    d4select_table(previous);
    return r;
}

int i4current_record(int index) {
    const IndexHandle* h = i4index(index);
    if (h == nullptr || h->path < 0) return -1;
    const PageSlot* p = b4slot(h->path);
    if (p->current_item < 0 || p->current_item >= b4key_count(p->page)) return -1;
    return static_cast<int>(b4item_record(b4item(p->page, p->current_item)) & 0x7FFFFFFF);
}

const char* i4current_key(int index) {
    return reinterpret_cast<const char*>(current_key(index));
}

// --- Key maintenance for the table routines ---------------------------------

namespace {

void swap_records(TableHandle* t) {
    char part[256];
    for (int at = 0; at < t->record_width; at += static_cast<int>(sizeof part)) {
        const auto n = static_cast<std::size_t>(std::min<int>(sizeof part, t->record_width - at));
        std::memcpy(part, t->old_record + at, n);
        std::memcpy(t->old_record + at, t->record + at, n);
        std::memcpy(t->record + at, part, n);
    }
}

// Adds (key, n); 330 when the entry is already there; a unique refusal is
// not an error (the index has no entry for this record).
int add_entry(int index, const char* key, int n) {
    const int r = i4insert_entry(index, key, n);
    if (r == 2) {
        e4error_report(err4index_date, i4index(index)->file_name, nullptr);
        return -1;
    }
    return r < 0 ? r : 0;
}

} // namespace

int i4update_keys(int record_number) {
    TableHandle* t = d4current_table();
    if (t == nullptr) return -1;
    char new_key[i4max_key_length + 1];
    char old_key[i4max_key_length + 1];
    for (int i = t->first_index; i >= 0;) {
        IndexHandle* h = i4index(i);
        if (h == nullptr) break;
        const int w = h->geometry.key_length;
        if (h->key_field_width > 0 && h->key_field_offset + h->key_field_width <= t->record_width &&
            std::memcmp(t->old_record + h->key_field_offset, t->record + h->key_field_offset,
                        static_cast<std::size_t>(h->key_field_width)) == 0) {
            i = h->next; // its field, and so its key, is as it was
            continue;
        }
        const char* built = i4build_key(i);
        if (built == nullptr) return -1;
        std::memcpy(new_key, built, static_cast<std::size_t>(w));
        t = d4current_table();
        swap_records(t);
        built = i4build_key(i);
        swap_records(t);
        if (built == nullptr) return -1;
        std::memcpy(old_key, built, static_cast<std::size_t>(w));
        if (std::memcmp(new_key, old_key, static_cast<std::size_t>(w)) != 0) {
            if (i4remove(i, old_key, record_number) < 0) return -1;
            if (add_entry(i, new_key, record_number) < 0) return -1;
        }
        t = d4current_table();
        i = i4index(i)->next;
    }
    return 0;
}

int i4add_keys(int record_number) {
    const TableHandle* t = d4current_table();
    if (t == nullptr) return -1;
    char key[i4max_key_length + 1];
    for (int i = t->first_index; i >= 0;) {
        const IndexHandle* h = i4index(i);
        if (h == nullptr) break;
        const char* built = i4build_key(i);
        if (built == nullptr) return -1;
        std::memcpy(key, built, static_cast<std::size_t>(h->geometry.key_length));
        // The new record's number is past every record of the table, so a
        // sound index has no entry for it, and among equal keys it goes
        // last: the walk over them that a changed record's key needs is
        // left out.
        const int r = i4append_entry(i, key, record_number);
        if (r < 0) return r;
        i = i4index(i)->next;
    }
    return 0;
}
