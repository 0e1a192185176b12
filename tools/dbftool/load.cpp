// dbftool load: a load generator that writes a shared table and its indexes
// the way other programs do (shared mode, record locks, the append lock, the
// index locks), alongside the manager or other copies of itself. It appends
// records and changes the key of records it appended, each operation one
// "request": the store's locks are all given up after it.
//
// Each record it writes carries TAG-A000001 (the n-th append) or TAG-C000001
// (the n-th change) in the first character field (or --field NAME), padded
// with blanks. One line per operation done or failed goes to `out`:
//   append RECORD VALUE | change RECORD VALUE | failed append | failed change RECORD
// and a last line "done appends A changes C failed F".
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "manager/tablestore/fields.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"
#include "tools/dbftool/dbftool.h"

namespace {

struct LoadOptions {
    const char* table = nullptr;
    std::vector<const char*> indexes;
    long appends = 0;
    long changes = 0;
    std::string tag = "L";
    const char* field = nullptr;
};

bool parse_count(const char* text, long* out) {
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 0 || v > 10000000) return false;
    *out = v;
    return true;
}

int parse(int argc, char** argv, LoadOptions* o) {
    for (int a = 0; a < argc; ++a) {
        const bool more = a + 1 < argc;
        if (std::strcmp(argv[a], "--appends") == 0 && more) {
            if (!parse_count(argv[++a], &o->appends)) return -1;
        } else if (std::strcmp(argv[a], "--changes") == 0 && more) {
            if (!parse_count(argv[++a], &o->changes)) return -1;
        } else if (std::strcmp(argv[a], "--tag") == 0 && more) {
            o->tag = argv[++a];
        } else if (std::strcmp(argv[a], "--field") == 0 && more) {
            o->field = argv[++a];
        } else if (std::strcmp(argv[a], "--quiet") == 0 || std::strcmp(argv[a], "-q") == 0) {
            dbf_quiet = true;
        } else if (argv[a][0] == '-') {
            return -1;
        } else if (o->table == nullptr) {
            o->table = argv[a];
        } else {
            o->indexes.push_back(argv[a]);
        }
    }
    return o->table == nullptr || o->tag.empty() ? -1 : 0;
}

// The field the values go to: --field, else the first character field.
int value_field(const LoadOptions& o) {
    if (o.field != nullptr) return f4ref(o.field);
    for (int f = 0; f < d4field_count(); ++f) {
        const int ref = f4ref_by_number(f + 1);
        if (ref >= 0 && f4field_type(ref) == 'C') return ref;
    }
    return -1;
}

} // namespace

int dbf_command_load(int argc, char** argv, std::FILE* out, std::FILE* err) {
    LoadOptions o;
    if (parse(argc, argv, &o) < 0) {
        std::fprintf(err, "usage: dbftool load TABLE [INDEX...] [--appends N] [--changes N] "
                          "[--tag TAG] [--field NAME] [--quiet]\n");
        return 2;
    }
    const int table = dbf_open_table(o.table, 0, err);
    if (table < 0) return 1;
    for (const char* name : o.indexes) {
        if (dbf_open_index(table, name, err) < 0) {
            d4close_all_tables();
            return 1;
        }
    }
    d4select_table(table);
    i4select_natural_order();
    const int ref = value_field(o);
    if (ref < 0 || f4field_type(ref) != 'C' ||
        f4field_width(ref) < static_cast<int>(o.tag.size()) + 8) {
        std::fprintf(err, "dbftool: no character field for TAG-A000000\n");
        d4close_all_tables();
        return 1;
    }

    std::vector<int> mine; // records this run appended
    long appended = 0, changed = 0, failed = 0;
    char value[64];
    const long rounds = o.appends > o.changes ? o.appends : o.changes;
    DbfProgress progress(o.table, rounds);
    for (long i = 0; i < rounds; ++i) {
        progress.step(i + 1);
        if (i < o.appends) {
            std::snprintf(value, sizeof value, "%s-A%06ld", o.tag.c_str(), appended + 1);
            int r = d4flush_table(table);
            if (r == 0) {
                d4blank_record();
                f4put_text(ref, value);
                r = d4append_record();
            }
            const int n = d4record_number();
            if (d4unlock_all() < 0) r = -1;
            if (r == 0) {
                ++appended;
                mine.push_back(n);
                std::fprintf(out, "append %d %s\n", n, value);
            } else {
                ++failed;
                std::fprintf(out, "failed append\n");
            }
        }
        if (i < o.changes && !mine.empty()) {
            const int n = mine[static_cast<std::size_t>(i) % mine.size()];
            std::snprintf(value, sizeof value, "%s-C%06ld", o.tag.c_str(), changed + 1);
            int r = d4goto_record(n);
            if (r == 0) {
                f4put_text(ref, value);
                r = d4write_record(n);
            }
            if (d4unlock_all() < 0) r = -1;
            if (r == 0) {
                ++changed;
                std::fprintf(out, "change %d %s\n", n, value);
            } else {
                ++failed;
                std::fprintf(out, "failed change %d\n", n);
            }
        }
        std::fflush(out);
    }
    std::fprintf(out, "done appends %ld changes %ld failed %ld\n", appended, changed, failed);
    return d4close_all_tables() < 0 ? 1 : 0;
}
