// The open-time checks of an index: header offsets, the root page and, after
// a stop that was not in order, a walk of the whole tree against the table.
#include "manager/tablestore/index_verify.h"

#include <cstdio>
#include <cstring>

#include "manager/tablestore/fileio.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/pools.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/store_errors.h"
#include "manager/tablestore/tables.h"

namespace {

constexpr int kMaxDepth = 64;
int open_check = 0;

struct Walk {
    int index;
    int file;
    std::int64_t size;
    PageGeometry g;
    int record_count;
    int unique;
    std::uint8_t* seen;    // one bit per page of the file
    std::uint8_t* entries; // entries per record, saturating at 2
    char* why;
    int why_size;
};

bool page_inside(const Walk& w, std::uint32_t offset) {
    return offset >= static_cast<std::uint32_t>(b4page_size) && offset % b4page_size == 0 &&
           static_cast<std::int64_t>(offset) + b4page_size <= w.size;
}

int fault(Walk& w, const char* text, long a = -1, long b = -1) {
    char line[160];
    if (b >= 0)
        std::snprintf(line, sizeof line, text, a, b);
    else
        std::snprintf(line, sizeof line, text, a);
    std::snprintf(w.why, static_cast<std::size_t>(w.why_size), "%s", line);
    return -1;
}

bool read_page(const Walk& w, std::uint32_t offset, std::uint8_t* page) {
    return u4read_at(w.file, offset, page, b4page_size) == b4page_size;
}

// Unsigned comparison of two keys over the key length.
int compare(const Walk& w, const std::uint8_t* a, const std::uint8_t* b) {
    return std::memcmp(a, b, static_cast<std::size_t>(w.g.key_length));
}

// Whether entry (key, record) carries the key the record gives.
bool key_of_record(const Walk& w, const std::uint8_t* key, std::uint32_t record) {
    if (d4goto_record(static_cast<int>(record)) != 0) return false;
    const char* built = i4build_key(w.index);
    return built != nullptr &&
           std::memcmp(built, key, static_cast<std::size_t>(w.g.key_length)) == 0;
}

// The subtree at offset: its keys must lie within [low, high] (null: open).
int walk(Walk& w, std::uint32_t offset, int depth, const std::uint8_t* low,
         const std::uint8_t* high, int full) {
    if (depth > kMaxDepth) return fault(w, "the tree is deeper than %ld pages", kMaxDepth);
    if (!page_inside(w, offset))
        return fault(w, "page offset %ld is not a page inside the file", static_cast<long>(offset));
    const std::uint32_t number = offset / b4page_size;
    if (w.seen[number / 8] & (1u << (number % 8)))
        return fault(w, "page %ld is reached twice", static_cast<long>(offset));
    w.seen[number / 8] = static_cast<std::uint8_t>(w.seen[number / 8] | (1u << (number % 8)));
    std::uint8_t page[b4page_size];
    if (!read_page(w, offset, page))
        return fault(w, "page %ld cannot be read", static_cast<long>(offset));
    if (!b4page_valid(page, w.g))
        return fault(w, "page %ld has a bad key count or item offsets", static_cast<long>(offset));
    const int k = b4key_count(page);
    const bool leaf = b4page_is_leaf(page);
    if (!full) {
        // The root alone: its children must at least be pages of the file.
        if (!leaf)
            for (int i = 0; i <= k; ++i)
                if (!page_inside(w, b4item_child(b4item(page, i))))
                    return fault(w, "page %ld item %ld points outside the file",
                                 static_cast<long>(offset), i);
        return 0;
    }
    const std::uint8_t* previous = low;
    for (int i = 0; i <= k; ++i) {
        const std::uint8_t* item = b4item(page, i);
        const std::uint32_t child = b4item_child(item);
        if (leaf != (child == 0) && (i < k || !leaf))
            return fault(w, "page %ld item %ld mixes leaf and branch items",
                         static_cast<long>(offset), i);
        const std::uint8_t* key = i < k ? b4item_key(item) : high;
        if (!leaf && walk(w, child, depth + 1, previous, key, full) < 0) return -1;
        if (i == k) break;
        if ((previous != nullptr && compare(w, previous, key) > 0) ||
            (high != nullptr && compare(w, key, high) > 0))
            return fault(w, "page %ld item %ld: key out of order", static_cast<long>(offset), i);
        const std::uint32_t record = b4item_record(item);
        if (record < 1 || record > static_cast<std::uint32_t>(w.record_count))
            return fault(w, "page %ld item %ld points past the table", static_cast<long>(offset),
                         i);
        if (w.entries[record] < 2) ++w.entries[record];
        if (!key_of_record(w, b4item_key(item), record))
            return fault(w, "record %ld has an entry with another key", static_cast<long>(record));
        previous = key;
    }
    return 0;
}

} // namespace

void i4set_open_check(int level) {
    open_check = level;
}
int i4open_check() {
    return open_check;
}

int i4verify(int index, int full, char* why, int size) {
    IndexHandle* h = i4index(index);
    if (h == nullptr || why == nullptr || size < 1) return -1;
    why[0] = '\0';
    Walk w{};
    w.index = index;
    w.file = h->file;
    w.size = u4file_size(h->file);
    w.g = h->geometry;
    w.unique = h->unique;
    w.why = why;
    w.why_size = size;
    const std::uint32_t root = i4root(h);
    const std::uint32_t free = i4free_head(h);
    if (w.size < 0) return fault(w, "the file size cannot be read");
    if (!page_inside(w, root))
        return fault(w, "the root page offset %ld is not a page inside the file of %ld bytes",
                     static_cast<long>(root), static_cast<long>(w.size));
    if (free != 0 && !page_inside(w, free))
        return fault(w, "the free page offset %ld is not a page inside the file of %ld bytes",
                     static_cast<long>(free), static_cast<long>(w.size));

    const std::int64_t pages = w.size / b4page_size;
    w.seen = static_cast<std::uint8_t*>(h4allocate(static_cast<std::size_t>(pages / 8 + 1)));
    if (w.seen == nullptr) return fault(w, "no memory for the check");
    int result = 0;
    if (!full) {
        result = walk(w, root, 0, nullptr, nullptr, 0);
    } else {
        const int count = d4record_count();
        w.record_count = count < 0 ? 0 : count;
        w.entries =
            static_cast<std::uint8_t*>(h4allocate(static_cast<std::size_t>(w.record_count) + 1));
        if (w.entries == nullptr) {
            h4release_memory(w.seen);
            return fault(w, "no memory for the check");
        }
        result = walk(w, root, 0, nullptr, nullptr, 1);
        for (int r = 1; result == 0 && r <= w.record_count; ++r) {
            if (w.entries[r] > 1)
                result = fault(w, "record %ld has more than one entry", r);
            else if (w.entries[r] == 0 && !w.unique)
                result = fault(w, "record %ld has no entry", r);
        }
        h4release_memory(w.entries);
        // The table stands as a fresh open leaves it.
        d4blank_record();
        if (TableHandle* t = d4current_table()) {
            t->current_record = 1;
            t->bof = 0;
            t->eof = 1;
        }
    }
    h4release_memory(w.seen);
    return result;
}

int i4verify_open(int index) {
    if (open_check <= 0) return 0;
    char why[200];
    const int full = open_check >= 2 && d4current_table() != nullptr;
    if (i4verify(index, full, why, sizeof why) == 0) return 0;
    const IndexHandle* h = i4index(index);
    e4error_report(err4index_file, h != nullptr ? h->file_name : "", why,
                   "The index is damaged; dbftool index rebuilds it from its table.", nullptr);
    return -1;
}
