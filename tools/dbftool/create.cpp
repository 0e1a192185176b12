// dbftool create and index: a new, empty dBASE III table from field
// specifications, and a new index file built through the store's own insert
// path (a valid empty index, then every record's key).
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <utility>

#include "manager/tablestore/expressions.h"
#include "manager/tablestore/fileio.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/pools.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"
#include "platform/diagnose.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "tools/dbftool/dbftool.h"

namespace {

bool parse_int(const char* text, int* out) {
    if (text == nullptr || *text == '\0') return false;
    char* end = nullptr;
    const long v = std::strtol(text, &end, 10);
    if (*end != '\0' || v < 0 || v > 65535) return false;
    *out = static_cast<int>(v);
    return true;
}

void put16(std::uint8_t* p, unsigned v) {
    p[0] = static_cast<std::uint8_t>(v);
    p[1] = static_cast<std::uint8_t>(v >> 8);
}

// Writes a new file, opened exclusively (refused when another program has
// it open); one that exists is replaced only when `replace` is set
// (otherwise it is refused by the opening itself, so no race can lose it),
// and emptied only once the exclusive lock is granted. The handle stays
// open in *keep (and the file exclusive) when keep is given.
int write_file(const char* name, const void* data, std::size_t size, std::FILE* err, bool replace,
               plat::FileOwner* keep = nullptr) {
    plat::FileHandle file = plat::kNoFile;
    const plat::FileCreate how =
        replace ? plat::FileCreate::kCreateAlways : plat::FileCreate::kCreateNew;
    const std::uint32_t failure =
        plat::FileOpen(name, plat::kAccessReadWrite, how, &file, plat::FileShare::kExclusive);
    if (failure == plat::kErrFileExists)
        return dbf_fail(err, name, "already exists (--force replaces it)");
    if (failure != 0) return dbf_fail(err, name, plat::ErrorText(failure));
    plat::FileOwner owner(file);
    std::uint32_t done = 0;
    if (plat::FileWrite(file, data, static_cast<std::uint32_t>(size), &done) != 0 || done != size)
        return dbf_fail(err, name, plat::ErrorText(plat::LastError()));
    if (keep != nullptr) std::swap(keep->handle, owner.handle);
    return 0;
}

// The name with ".NTX" (or the extension given) added when its last
// component has no extension; the case is kept.
std::string with_extension(const char* name, const char* extension) {
    std::string s(name);
    const std::size_t slash = s.find_last_of("\\/");
    const std::size_t dot = s.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) s += extension;
    return s;
}

} // namespace

bool dbf_parse_field(const char* text, FieldSpec* out, std::string* why) {
    std::vector<std::string> parts;
    std::string part;
    for (const char* p = text;; ++p) {
        if (*p == ':' || *p == '\0') {
            parts.push_back(part);
            part.clear();
            if (*p == '\0') break;
        } else {
            part += *p;
        }
    }
    if (parts.size() < 2 || parts.size() > 4) {
        *why = "expected NAME:TYPE:WIDTH[:DECIMALS]";
        return false;
    }
    FieldSpec f{};
    f.name = parts[0];
    if (f.name.empty() || f.name.size() > 10) {
        *why = "a field name has 1 to 10 characters";
        return false;
    }
    for (char& c : f.name) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        if (!std::isalnum(static_cast<unsigned char>(c)) && c != '_') {
            *why = "a field name has letters, digits and '_' only";
            return false;
        }
    }
    if (parts[1].size() != 1) {
        *why = "the type is one letter: C, N, F, D or L";
        return false;
    }
    f.type = static_cast<char>(std::toupper(static_cast<unsigned char>(parts[1][0])));
    if (std::strchr("CNFDL", f.type) == nullptr) {
        *why = "the type is one letter: C, N, F, D or L";
        return false;
    }
    f.width = f.type == 'D' ? 8 : f.type == 'L' ? 1 : 0;
    if (parts.size() >= 3 && !parse_int(parts[2].c_str(), &f.width)) {
        *why = "bad width";
        return false;
    }
    if (parts.size() == 4 && !parse_int(parts[3].c_str(), &f.decimals)) {
        *why = "bad decimals";
        return false;
    }
    switch (f.type) {
    case 'C':
        if (f.width < 1 || f.width > 32766 || f.decimals != 0) {
            *why = "a C field is 1 to 32766 wide, without decimals";
            return false;
        }
        break;
    case 'N':
    case 'F':
        if (f.width < 1 || f.width > 20 || (f.decimals > 0 && f.decimals > f.width - 2) ||
            f.decimals > 15) {
            *why = "an N field is 1 to 20 wide, decimals at most width - 2 and 15";
            return false;
        }
        break;
    case 'D':
        if (f.width != 8 || f.decimals != 0) {
            *why = "a D field is 8 wide";
            return false;
        }
        break;
    default:
        if (f.width != 1 || f.decimals != 0) {
            *why = "an L field is 1 wide";
            return false;
        }
    }
    *out = f;
    return true;
}

int dbf_create_table(const char* name, const std::vector<FieldSpec>& fields, std::FILE* err,
                     bool replace) {
    if (fields.empty() || fields.size() > 1000) {
        std::fprintf(err, "dbftool: a table has 1 to 1000 fields\n");
        return 1;
    }
    long width = 1;
    for (const FieldSpec& f : fields) width += f.width;
    if (width > 32767) {
        std::fprintf(err, "dbftool: the record would be %ld bytes, more than 32767\n", width);
        return 1;
    }
    const std::size_t header_length = 32 + 32 * fields.size() + 1;
    std::vector<std::uint8_t> image(header_length + 1, 0);
    std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    image[0] = 0x03;
    image[1] = static_cast<std::uint8_t>(local.tm_year);
    image[2] = static_cast<std::uint8_t>(local.tm_mon + 1);
    image[3] = static_cast<std::uint8_t>(local.tm_mday);
    put16(&image[8], static_cast<unsigned>(header_length));
    put16(&image[10], static_cast<unsigned>(width));
    std::size_t at = 32;
    for (const FieldSpec& f : fields) {
        std::memcpy(&image[at], f.name.data(), f.name.size());
        image[at + 11] = static_cast<std::uint8_t>(f.type);
        if (f.type == 'C') {
            put16(&image[at + 16], static_cast<unsigned>(f.width));
        } else {
            image[at + 16] = static_cast<std::uint8_t>(f.width);
            image[at + 17] = static_cast<std::uint8_t>(f.decimals);
        }
        at += 32;
    }
    image[at] = 0x0D;
    image[at + 1] = 0x1A;
    const std::string file = with_extension(name, ".DBF");
    return write_file(file.c_str(), image.data(), image.size(), err, replace);
}

int dbf_build_index(const char* table, const char* index, const char* expression, bool unique,
                    std::FILE* err, bool replace) {
    // The table opens with the flags in force (the command's: shared, for
    // reading only, as the build only reads it).
    const int flags = u4set_open_flags(0);
    const int number = dbf_open_table(table, flags, err);
    if (number < 0) return 1;
    if (std::strlen(expression) > 255) {
        std::fprintf(err, "dbftool: the key expression is longer than 255 characters\n");
        return 1;
    }

    // The key's type and length, from one evaluation on a blank record.
    char* program = nullptr;
    if (e4compile(expression, &program) < 0 || program == nullptr) {
        std::fprintf(err, "dbftool: bad key expression %s\n", expression);
        return 1;
    }
    TableHandle* t = d4table(number);
    std::vector<char> saved(t->record, t->record + t->record_width);
    std::memset(t->record, ' ', static_cast<std::size_t>(t->record_width));
    const char* result = e4evaluate(program);
    const int type = e4result_type();
    const int length = e4result_length();
    t = d4table(number);
    std::memcpy(t->record, saved.data(), saved.size());
    h4release_memory(program);
    if (result == nullptr) {
        std::fprintf(err, "dbftool: the key expression cannot be evaluated\n");
        return 1;
    }
    int key_length = 0;
    int decimals = 0;
    if (type == 'C') {
        key_length = length;
    } else if (type == 'D') {
        key_length = 8;
    } else if (type == 'N') {
        // A numeric field alone keys with its own width and decimals; any
        // other numeric expression with 16 characters and 4 decimals.
        key_length = 16;
        decimals = 4;
        std::string name(expression);
        while (!name.empty() && name.back() == ' ') name.pop_back();
        while (!name.empty() && name.front() == ' ') name.erase(name.begin());
        if (name.find_first_not_of(
                "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789_") ==
            std::string::npos) {
            const FieldDescriptor* f = f4descriptor(f4ref(name.c_str()));
            if (f != nullptr && (f->type == 'N' || f->type == 'F')) {
                key_length = f->width;
                decimals = f->decimals;
            }
        }
    } else {
        std::fprintf(err, "dbftool: a key cannot be logical\n");
        return 1;
    }
    const PageGeometry g = b4geometry_for(key_length);
    if (g.max_keys == 0 || key_length > i4max_key_length) {
        std::fprintf(err, "dbftool: a key of %d characters does not fit an index page\n",
                     key_length);
        return 1;
    }

    // A valid empty index: the header page and an empty root leaf.
    std::vector<std::uint8_t> image(2 * b4page_size, 0);
    b4put16(&image[i4h_signature], 6);
    b4put32(&image[i4h_root], b4page_size);
    b4put16(&image[i4h_item_size], static_cast<unsigned>(g.item_size));
    b4put16(&image[i4h_key_length], static_cast<unsigned>(key_length));
    b4put16(&image[i4h_key_decimals], static_cast<unsigned>(decimals));
    b4put16(&image[i4h_max_keys], static_cast<unsigned>(g.max_keys));
    b4put16(&image[i4h_half], static_cast<unsigned>(g.half));
    std::memcpy(&image[i4h_expression], expression, std::strlen(expression));
    b4put16(&image[i4h_unique], unique ? 1 : 0);
    b4fresh_page(&image[b4page_size], g);
    const std::string file = with_extension(index, ".NTX");
    // Held exclusively until built, so nobody reads it half-done; the
    // store's own handle of it then takes no share lock of its own.
    plat::FileOwner exclusive;
    if (write_file(file.c_str(), image.data(), image.size(), err, replace, &exclusive) != 0)
        return 1;
    u4set_open_flags(u4no_share);
    const int i = dbf_open_index(number, file.c_str(), err);
    u4set_open_flags(flags);
    if (i < 0) return 1;
    // The build holds the whole-file lock, so that reading each record does
    // not write the index back each time; the index is written at the end.
    t = d4table(number);
    const int lock_state = t->lock_state;
    t->lock_state = d4lock_file;
    const int count = d4record_count();
    int status = 0;
    char key[i4max_key_length + 1];
    DbfProgress progress(file.c_str(), count);
    for (int r = 1; r <= count && status == 0; ++r) {
        progress.step(r);
        if (d4goto_record(r) != 0) {
            status = 1;
            break;
        }
        const char* built = i4build_key(i);
        if (built == nullptr) {
            status = 1;
            break;
        }
        std::memcpy(key, built, static_cast<std::size_t>(key_length));
        // Records come in order, each numbered past every entry so far: it
        // goes after its equal keys in one descent.
        if (i4append_entry(i, key, r) < 0) status = 1;
    }
    t = d4table(number);
    t->lock_state = lock_state;
    if (lock_state == d4lock_none) t->header.record_count = -1; // no count cached unlocked
    if (i4close_index(i) < 0) status = 1;
    if (status != 0) dbf_fail(err, file.c_str());
    return status;
}

int dbf_command_create(int argc, char** argv, std::FILE*, std::FILE* err) {
    static const option kLong[] = {{"force", no_argument, nullptr, 'f'}, {}};
    DbfOptions o;
    if (dbf_parse_options(argc, argv, "f", kLong, &o) != 0) return 2;
    if (o.positional.size() < 2) {
        std::fprintf(err, "usage: dbftool create [--force] TABLE NAME:TYPE:WIDTH[:DECIMALS]...\n");
        return 2;
    }
    std::vector<FieldSpec> fields;
    for (std::size_t a = 1; a < o.positional.size(); ++a) {
        const char* text = o.positional[a];
        FieldSpec f;
        std::string why;
        if (!dbf_parse_field(text, &f, &why)) {
            std::fprintf(err, "dbftool: %s: %s\n", text, why.c_str());
            return 2;
        }
        for (const FieldSpec& other : fields) {
            if (other.name == f.name) {
                std::fprintf(err, "dbftool: field %s given twice\n", f.name.c_str());
                return 2;
            }
        }
        fields.push_back(f);
    }
    return dbf_create_table(o.positional[0], fields, err, o.given['f']);
}

int dbf_command_index(int argc, char** argv, std::FILE*, std::FILE* err) {
    static const option kLong[] = {{"unique", no_argument, nullptr, 'u'},
                                   {"force", no_argument, nullptr, 'f'},
                                   {"quiet", no_argument, nullptr, 'q'},
                                   {}};
    DbfOptions o;
    if (dbf_parse_options(argc, argv, "ufq", kLong, &o) != 0) return 2;
    if (o.positional.size() != 3) {
        std::fprintf(err, "usage: dbftool index [--unique] [--force] [--quiet] TABLE INDEX "
                          "EXPRESSION\n");
        return 2;
    }
    dbf_quiet = o.given['q'];
    if (dbf_store_start(u4read_only) < 0) return 1;
    return dbf_build_index(o.positional[0], o.positional[1], o.positional[2], o.given['u'], err,
                           o.given['f']);
}
