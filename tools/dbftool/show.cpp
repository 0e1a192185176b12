// dbftool info, dump and seek: what a table and its indexes hold, read
// through the store's own routines. Their files are opened for reading only,
// shared, so a user who may only read them can look (tables are left open
// for the process to end, as closing would stamp the date).
#include <cstdlib>
#include <cstring>
#include <set>
#include <vector>

#include "manager/tablestore/fields.h"
#include "manager/tablestore/fileio.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"
#include "platform/files.h"
#include "tools/dbftool/dbftool.h"

namespace {

int open_table(const char* name, std::FILE* err) {
    return dbf_open_table(name, u4read_only, err);
}

// Depth, page count and free pages of an index, read from its file.
struct Shape {
    int depth = 0;
    long pages = 0;
    long free_pages = 0;
};

Shape shape_of(const IndexHandle* h) {
    Shape s;
    plat::FileHandle file = plat::kNoFile;
    if (plat::FileOpen(h->file_name, plat::kAccessRead, plat::FileCreate::kOpenExisting, &file,
                       plat::FileShare::kShared) != 0)
        return s;
    plat::FileOwner owner(file);
    std::int64_t size = 0;
    plat::FileSize(file, &size);
    s.pages = static_cast<long>(size / b4page_size) - 1;
    std::uint8_t page[b4page_size];
    std::uint32_t done = 0;
    std::set<std::uint32_t> seen;
    for (std::uint32_t at = i4root(h); at != 0 && s.depth < 64 && seen.insert(at).second;) {
        if (plat::FileReadAt(file, at, page, b4page_size, &done) != 0 || done != b4page_size) break;
        if (!b4page_valid(page, h->geometry)) break;
        ++s.depth;
        at = b4item_child(b4item(page, 0));
    }
    seen.clear();
    for (std::uint32_t at = i4free_head(h); at != 0 && seen.insert(at).second;) {
        std::uint32_t next = 0;
        if (plat::FileReadAt(file, at, page, b4page_size, &done) != 0 || done != b4page_size ||
            !b4free_link(page, &next))
            break;
        ++s.free_pages;
        at = next;
    }
    return s;
}

// One CSV value: quoted when it holds a comma, a quote or a line break.
void put_csv(std::FILE* out, const char* text, std::size_t n) {
    bool quote = false;
    for (std::size_t i = 0; i < n; ++i)
        if (std::strchr(",\"\r\n", text[i]) != nullptr) quote = true;
    if (!quote) {
        std::fwrite(text, 1, n, out);
        return;
    }
    std::fputc('"', out);
    for (std::size_t i = 0; i < n; ++i) {
        if (text[i] == '"') std::fputc('"', out);
        std::fputc(text[i], out);
    }
    std::fputc('"', out);
}

// The field names, or the current record's values as import takes them
// back: character fields without their trailing blanks, numbers without
// their leading ones.
void print_csv(std::FILE* out, bool header) {
    const TableHandle* t = d4current_table();
    for (int f = 0; f < t->field_count; ++f) {
        const FieldDescriptor& d = t->fields[f];
        if (f > 0) std::fputc(',', out);
        if (header) {
            put_csv(out, d.name, strnlen(d.name, 11));
            continue;
        }
        const char* text = t->record + d.offset;
        std::size_t n = d.width;
        while (n > 0 && text[n - 1] == ' ') --n;
        if (d.type != 'C' && d.type != 'M')
            while (n > 0 && text[0] == ' ') ++text, --n;
        put_csv(out, text, n);
    }
    std::fputc('\n', out);
}

void print_record(std::FILE* out) {
    const TableHandle* t = d4current_table();
    std::fprintf(out, "%d\t%c", t->current_record, t->record[0] == '*' ? '*' : ' ');
    for (int f = 0; f < t->field_count; ++f) {
        const FieldDescriptor& d = t->fields[f];
        std::fputc('\t', out);
        std::fwrite(t->record + d.offset, 1, d.width, out);
    }
    std::fputc('\n', out);
}

} // namespace

int dbf_command_info(int argc, char** argv, std::FILE* out, std::FILE* err) {
    static const option kLong[] = {{}};
    DbfOptions o;
    if (dbf_parse_options(argc, argv, "", kLong, &o) != 0) return 2;
    argc = static_cast<int>(o.positional.size());
    argv = o.positional.data();
    if (argc < 1) {
        std::fprintf(err, "usage: dbftool info TABLE [INDEX...]\n");
        return 2;
    }
    const int table = open_table(argv[0], err);
    if (table < 0) return 1;
    const TableHandle* t = d4table(table);
    std::fprintf(out, "table %s\n", t->file_name);
    std::fprintf(out, "version 0x%02X, last update %04d-%02d-%02d\n", t->header.version,
                 1900 + t->header.date[0], t->header.date[1], t->header.date[2]);
    std::fprintf(out, "header length %u, record width %d, records %d\n", t->header.header_length,
                 t->record_width, d4record_count());
    t = d4table(table);
    std::fprintf(out, "fields %d\n", t->field_count);
    for (int f = 0; f < t->field_count; ++f) {
        const FieldDescriptor& d = t->fields[f];
        char name[12] = {};
        std::memcpy(name, d.name, 11);
        std::fprintf(out, "  %-10s %c %5u %2u  offset %u\n", name, d.type, d.width, d.decimals,
                     d.offset);
    }
    int status = 0;
    for (int a = 1; a < argc; ++a) {
        const int index = dbf_open_index(table, argv[a], err);
        if (index < 0) {
            status = 1;
            continue;
        }
        const IndexHandle* h = i4index(index);
        const Shape s = shape_of(h);
        std::fprintf(out, "index %s\n", h->file_name);
        std::fprintf(out, "  expression %s\n", i4expression_text(h));
        std::fprintf(out, "  key type %c, key length %d, decimals %d, unique %s\n", h->key_type,
                     h->geometry.key_length, h->key_decimals, h->unique ? "yes" : "no");
        std::fprintf(out, "  keys per page %d, depth %d, pages %ld, free pages %ld\n",
                     h->geometry.max_keys, s.depth, s.pages, s.free_pages);
        i4close_index(index);
    }
    return status;
}

int dbf_command_dump(int argc, char** argv, std::FILE* out, std::FILE* err) {
    static const option kLong[] = {{"index", required_argument, nullptr, 'i'},
                                   {"deleted", no_argument, nullptr, 'd'},
                                   {"csv", no_argument, nullptr, 'c'},
                                   {}};
    DbfOptions o;
    if (dbf_parse_options(argc, argv, "i:dc", kLong, &o) != 0) return 2;
    if (o.positional.size() != 1) {
        std::fprintf(err, "usage: dbftool dump [--index INDEX] [--deleted] [--csv] TABLE\n");
        return 2;
    }
    const bool csv = o.given['c'];
    const char* table_name = o.positional[0];
    const char* index_name = o.value['i'];
    const bool deleted = o.given['d'];
    const int table = open_table(table_name, err);
    if (table < 0) return 1;
    int index = -1;
    if (index_name != nullptr) {
        index = dbf_open_index(table, index_name, err);
        if (index < 0) return 1;
    }
    if (csv) print_csv(out, true);
    int r = d4goto_first();
    while (r == 0) {
        if (deleted || d4is_deleted() == 0) {
            if (csv)
                print_csv(out, false);
            else
                print_record(out);
        }
        r = d4skip_records(1);
    }
    if (index >= 0) i4close_index(index);
    if (r != 3) return dbf_fail(err, table_name);
    return 0;
}

int dbf_command_seek(int argc, char** argv, std::FILE* out, std::FILE* err) {
    // Options only before the table, so that a key such as -94.5 is a key.
    static const option kLong[] = {{}};
    DbfOptions o;
    if (dbf_parse_options(argc, argv, "+", kLong, &o) != 0) return 2;
    argc = static_cast<int>(o.positional.size());
    argv = o.positional.data();
    if (argc != 3) {
        std::fprintf(err, "usage: dbftool seek TABLE INDEX KEY\n");
        return 2;
    }
    const int table = open_table(argv[0], err);
    if (table < 0) return 1;
    const int index = dbf_open_index(table, argv[1], err);
    if (index < 0) return 1;
    // A numeric index takes the key as a number; others as text (a date
    // index as CCYYMMDD).
    int r;
    if (i4index(index)->key_type == 'N') {
        char* end = nullptr;
        const double v = std::strtod(argv[2], &end);
        if (end == argv[2] || *end != '\0') {
            std::fprintf(err, "dbftool: %s is not a number\n", argv[2]);
            i4close_index(index);
            return 2;
        }
        r = i4seek_number(v);
    } else {
        r = i4seek_text(argv[2]);
    }
    if (r < 0) {
        i4close_index(index);
        return dbf_fail(err, argv[1]);
    }
    std::fprintf(out, "%d %d\n", r, d4record_number());
    if (r != 3) print_record(out);
    i4close_index(index);
    return 0;
}
