// dbftool check: verifies an index against its table. The pages are read
// straight from the file (after the store has written back what it holds),
// so a fault of the store's page cache cannot hide a fault on disk.
//
// What must hold: every page within the file and reached once; key counts
// within bounds; the offset entries a permutation of the item slots; every
// leaf at the same depth; keys in order, equal keys in record-number order;
// every entry naming a record of the table; every record with exactly one
// entry carrying the key its expression gives (a unique index: at most one
// entry per key, for the first record of that key); the free list a chain of
// free pages (key count 0, the next link in item 0's child pointer) inside
// the file that are not in the tree.
//
// Three of these hold for an index just built, but not for one that has
// been kept up to date for a while, by this store or by other programs, and
// every program still reads it correctly: equal keys in record-number order
// (other programs put an entry whose key changed after the entries already
// holding that key), leaves at one depth (an emptied page's parent that
// loses its last key is replaced by its one remaining child), and the unique
// rule of the first record (a unique index refuses a record whose new key
// another record holds and does not take it back when that record's key
// changes again). They are printed as notes; with strict set they are faults.
#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "manager/tablestore/fileio.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"
#include "platform/files.h"
#include "tools/dbftool/dbftool.h"

namespace {

constexpr int kMaxDepth = 64;

struct Entry {
    std::string key;
    std::uint32_t record;
};

struct Checker {
    std::FILE* out;
    std::vector<std::uint8_t> file;
    PageGeometry g{};
    std::uint32_t record_count = 0;
    bool strict = false;
    int faults = 0;
    int notes = 0;
    int leaf_depth = -1;
    std::set<std::uint32_t> tree_pages;
    std::vector<Entry> entries;
    bool have_previous = false;
    Entry previous;

    void fault(std::uint32_t page, int item, const char* what) {
        ++faults;
        if (item >= 0) {
            std::fprintf(out, "page %u item %d: %s\n", page, item, what);
        } else {
            std::fprintf(out, "page %u: %s\n", page, what);
        }
    }

    // What an index kept up to date may lawfully show (see the top).
    void note(std::uint32_t page, int item, const char* what) {
        if (strict) {
            fault(page, item, what);
            return;
        }
        ++notes;
        if (item >= 0) {
            std::fprintf(out, "page %u item %d: note: %s\n", page, item, what);
        } else {
            std::fprintf(out, "page %u: note: %s\n", page, what);
        }
    }

    bool page_in_file(std::uint32_t offset) const {
        return b4page_in_file(offset, static_cast<std::int64_t>(file.size()));
    }

    void visit_key(std::uint32_t page, int item, const std::uint8_t* it) {
        Entry e{std::string(reinterpret_cast<const char*>(b4item_key(it)),
                            static_cast<std::size_t>(g.key_length)),
                b4item_record(it)};
        if (e.record < 1 || e.record > record_count)
            fault(page, item, "entry points past the table");
        if (have_previous) {
            if (e.key < previous.key) {
                fault(page, item, "key out of order");
            } else if (e.key == previous.key && e.record <= previous.record) {
                note(page, item, "equal keys out of record-number order");
            }
        }
        previous = e;
        have_previous = true;
        entries.push_back(std::move(e));
    }

    void walk(std::uint32_t offset, int depth, bool root) {
        if (!page_in_file(offset)) {
            fault(offset, -1, "page outside the file");
            return;
        }
        if (!tree_pages.insert(offset).second) {
            fault(offset, -1, "page reached twice (the tree loops or shares a page)");
            return;
        }
        if (depth > kMaxDepth) {
            fault(offset, -1, "tree deeper than 64 levels");
            return;
        }
        const std::uint8_t* page = &file[offset];
        const int k = b4key_count(page);
        if (k > g.max_keys) {
            fault(offset, -1, "key count above the maximum");
            return;
        }
        // The offset entries must name every item slot once.
        std::vector<int> slots;
        for (int i = 0; i <= g.max_keys; ++i) slots.push_back(b4offset_entry(page, i));
        std::vector<int> sorted = slots;
        std::sort(sorted.begin(), sorted.end());
        for (int i = 0; i <= g.max_keys; ++i) {
            if (sorted[static_cast<std::size_t>(i)] != b4first_item_offset(g) + i * g.item_size) {
                fault(offset, -1, "offset entries are not a permutation of the item slots");
                return;
            }
        }
        if (!root && k == 0) fault(offset, -1, "empty page inside the tree");
        const bool leaf = b4page_is_leaf(page);
        if (leaf) {
            if (leaf_depth < 0) leaf_depth = depth;
            if (depth != leaf_depth) note(offset, -1, "leaf at a different depth");
            for (int i = 0; i < k; ++i) {
                if (b4item_child(b4item(page, i)) != 0) fault(offset, i, "child in a leaf");
                visit_key(offset, i, b4item(page, i));
            }
            return;
        }
        for (int i = 0; i <= k; ++i) {
            const std::uint32_t child = b4item_child(b4item(page, i));
            if (child == 0) {
                fault(offset, i, "branch item without a child");
            } else {
                walk(child, depth + 1, false);
            }
            // walk() may have grown nothing here: the file image is fixed.
            if (i < k) visit_key(offset, i, b4item(&file[offset], i));
        }
    }

    void free_list(std::uint32_t head) {
        std::set<std::uint32_t> seen;
        for (std::uint32_t at = head; at != 0;) {
            if (!page_in_file(at)) {
                fault(at, -1, "free list leaves the file");
                return;
            }
            if (!seen.insert(at).second) {
                fault(at, -1, "free list loops");
                return;
            }
            if (tree_pages.count(at) != 0) {
                fault(at, -1, "free page is in the tree");
                return;
            }
            std::uint32_t next = 0;
            if (!b4free_link(&file[at], &next)) {
                fault(at, -1, "free page is not free");
                return;
            }
            at = next;
        }
    }
};

} // namespace

int dbf_check_open_index(int index, std::FILE* out) {
    return dbf_check_open_index(index, out, true, nullptr);
}

int dbf_check_open_index(int index, std::FILE* out, bool strict, int* notes) {
    if (i4release_index(index) < 0) return -1;
    const IndexHandle* h = i4index(index);
    if (h == nullptr) return -1;
    Checker c;
    c.out = out;
    c.strict = strict;
    c.g = h->geometry;
    const bool unique = h->unique != 0;
    const std::string name = h->file_name;
    const int table = h->table;

    plat::FileHandle file = plat::kNoFile;
    if (plat::FileOpen(name.c_str(), plat::kAccessRead, plat::FileCreate::kOpenExisting, &file,
                       plat::FileShare::kShared) != 0)
        return -1;
    {
        plat::FileOwner owner(file);
        std::int64_t size = 0;
        if (plat::FileSize(file, &size) != 0 || size < 0 || size > (1LL << 31)) return -1;
        c.file.resize(static_cast<std::size_t>(size));
        std::uint32_t done = 0;
        if (size > 0 && (plat::FileReadAt(file, 0, c.file.data(), static_cast<std::uint32_t>(size),
                                          &done) != 0 ||
                         done != size))
            return -1;
    }
    if (c.file.size() < static_cast<std::size_t>(i4header_size)) return -1;

    const int previous = d4select_table(table);
    const int count = d4record_count();
    c.record_count = count > 0 ? static_cast<std::uint32_t>(count) : 0;
    c.walk(b4get32(&c.file[i4h_root]), 0, true);
    c.free_list(b4get32(&c.file[i4h_free]));

    // Every record against the entries.
    std::map<std::uint32_t, std::vector<const Entry*>> by_record;
    std::map<std::string, std::vector<std::uint32_t>> by_key;
    for (const Entry& e : c.entries) {
        by_record[e.record].push_back(&e);
        by_key[e.key].push_back(e.record);
    }
    std::map<std::string, std::uint32_t> first_of_key;
    char line[512];
    DbfProgress progress(name.c_str(), count);
    for (int r = 1; r <= count; ++r) {
        progress.step(r);
        if (d4goto_record(r) != 0) {
            std::snprintf(line, sizeof line, "record %d cannot be read", r);
            c.fault(0, -1, line);
            break;
        }
        const char* built = i4build_key(index);
        if (built == nullptr) {
            std::snprintf(line, sizeof line, "record %d: its key cannot be built", r);
            c.fault(0, -1, line);
            continue;
        }
        const std::string key(built, static_cast<std::size_t>(c.g.key_length));
        const auto rec = static_cast<std::uint32_t>(r);
        const bool first = first_of_key.emplace(key, rec).second;
        const auto found = by_record.find(rec);
        const std::size_t n = found == by_record.end() ? 0 : found->second.size();
        if (n > 1) {
            std::snprintf(line, sizeof line, "record %d has %zu entries", r, n);
            c.fault(0, -1, line);
        }
        if (n >= 1 && found->second[0]->key != key) {
            std::snprintf(line, sizeof line, "record %d: entry key differs from the record's key",
                          r);
            c.fault(0, -1, line);
        }
        if (n == 0 && !unique) {
            std::snprintf(line, sizeof line, "record %d has no entry", r);
            c.fault(0, -1, line);
        } else if (n == 0 && first) {
            std::snprintf(line, sizeof line, "record %d has no entry", r);
            c.note(0, -1, line);
        }
        if (n >= 1 && unique && !first) {
            std::snprintf(line, sizeof line,
                          "record %d has an entry, but an earlier record has its key", r);
            c.note(0, -1, line);
        }
    }
    if (unique) {
        for (const auto& [key, records] : by_key) {
            if (records.size() > 1) c.fault(0, -1, "unique index holds a key twice");
        }
    }
    d4select_table(previous);
    if (notes != nullptr) *notes = c.notes;
    return c.faults;
}

int dbf_command_check(int argc, char** argv, std::FILE* out, std::FILE* err) {
    static const option kLong[] = {
        {"strict", no_argument, nullptr, 's'}, {"quiet", no_argument, nullptr, 'q'}, {}};
    DbfOptions o;
    if (dbf_parse_options(argc, argv, "sq", kLong, &o) != 0) return 2;
    const bool strict = o.given['s'];
    dbf_quiet = o.given['q'];
    argc = static_cast<int>(o.positional.size());
    argv = o.positional.data();
    if (argc < 2) {
        std::fprintf(err, "usage: dbftool check [--strict] [--quiet] TABLE INDEX...\n");
        return 2;
    }
    const int table = dbf_open_table(argv[0], u4read_only, err);
    if (table < 0) return 1;
    int status = 0;
    for (int a = 1; a < argc; ++a) {
        const int index = dbf_open_index(table, argv[a], err);
        if (index < 0) {
            status = 1;
            continue;
        }
        int notes = 0;
        const int faults = dbf_check_open_index(index, out, strict, &notes);
        if (faults < 0) {
            status = dbf_fail(err, argv[a]);
        } else if (faults > 0) {
            std::fprintf(out, "%s: %d fault(s)\n", argv[a], faults);
            status = 1;
        } else if (notes > 0) {
            std::fprintf(out, "%s: ok, %d note(s)\n", argv[a], notes);
        } else {
            std::fprintf(out, "%s: ok\n", argv[a]);
        }
        i4close_index(index);
    }
    return status;
}
