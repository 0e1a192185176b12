// dbftool append and import: records put into a shared table the way other
// programs put them (shared mode, the append lock, the index locks), each
// value converted as a terminal's value is, every open index of the table
// kept up to date. Every value is checked before anything is written, so a
// bad value or a bad row of a CSV file leaves the table as it was.
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "manager/requests/record_requests.h"
#include "manager/tablestore/fields.h"
#include "manager/tablestore/fileio.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/tables.h"
#include "platform/files.h"
#include "tools/dbftool/dbftool.h"

namespace {

// Why value cannot go into field ref as it is ("" when it can): a value the
// terminals' conversion would cut, change or leave out is refused here.
std::string refusal(int ref, const std::string& value) {
    const int width = f4field_width(ref);
    char text[f4text_size];
    switch (f4field_type(ref)) {
    case 'C':
        if (static_cast<int>(value.size()) > width)
            return "longer than the field's " + std::to_string(width) + " characters";
        return "";
    case 'N':
    case 'F': {
        if (value.find_first_not_of(' ') == std::string::npos) return "";
        char* end = nullptr;
        const double v = std::strtod(value.c_str(), &end);
        while (*end == ' ') ++end;
        if (*end != '\0' || value.find_first_of("xXnNiI") != std::string::npos)
            return "not a number";
        const int n = std::snprintf(text, sizeof text, "%.*f", f4field_decimals(ref), v);
        if (n < 0 || n > width)
            return "does not fit the field's " + std::to_string(width) + " characters";
        return "";
    }
    case 'L':
        if (value.empty() || LogicalValue(value.c_str()) != 0) return "";
        return "not a logical value (T, F, Y or N)";
    case 'D':
        if (value.empty() || (value.size() == 8 && DateValue(value.c_str(), text, sizeof text)))
            return "";
        return "not a date (CCYYMMDD)";
    default: return "a field of this type takes no value";
    }
}

// The fields named by names (refs in *refs); one line on err and false for
// a name that is no field of the selected table, or one named twice.
bool field_refs(const std::vector<std::string>& names, const char* where, std::vector<int>* refs,
                std::FILE* err) {
    for (const std::string& name : names) {
        const int ref = name.size() <= 10 ? f4lookup(name.c_str()) : -1;
        if (ref < 0) {
            std::fprintf(err, "dbftool: %s: no field %s in the table\n", where, name.c_str());
            return false;
        }
        for (const int other : *refs)
            if (other == ref) {
                std::fprintf(err, "dbftool: %s: field %s given twice\n", where, name.c_str());
                return false;
            }
        refs->push_back(ref);
    }
    return true;
}

// Appends one record with the values (checked before); its number, or -1.
int append_values(int table, const std::vector<int>& refs, const std::vector<std::string>& row) {
    int r = d4flush_table(table);
    if (r == 0) {
        d4blank_record();
        for (std::size_t f = 0; f < refs.size(); ++f) StoreFieldValue(refs[f], row[f].c_str());
        r = d4append_record();
    }
    const int n = d4record_number();
    if (d4unlock_all() < 0) r = -1;
    return r == 0 ? n : -1;
}

// Opens the table and its indexes for writing, shared. The table's number.
int open_for_append(const char* table_name, const std::vector<const char*>& indexes,
                    std::FILE* err) {
    const int table = dbf_open_table(table_name, 0, err);
    if (table < 0) return -1;
    for (const char* name : indexes)
        if (dbf_open_index(table, name, err) < 0) return -1;
    d4select_table(table);
    i4select_natural_order();
    return table;
}

// Splits CSV text into rows of values: fields separated by commas, quoted
// with '"' (a doubled quote inside is one), rows ending in LF or CR LF. The
// line on which each row starts goes to *lines. False with *why at a quote
// that is never closed or text after a closing quote.
bool parse_csv(const std::string& text, std::vector<std::vector<std::string>>* rows,
               std::vector<int>* lines, std::string* why, int* bad_line) {
    int line = 1;
    std::size_t i = 0;
    while (i < text.size()) {
        std::vector<std::string> row;
        lines->push_back(line);
        for (;;) {
            std::string value;
            if (i < text.size() && text[i] == '"') {
                const int opened = line;
                ++i;
                for (;;) {
                    if (i >= text.size()) {
                        *why = "a quote is never closed";
                        *bad_line = opened;
                        return false;
                    }
                    if (text[i] == '"' && i + 1 < text.size() && text[i + 1] == '"') {
                        value += '"';
                        i += 2;
                    } else if (text[i] == '"') {
                        ++i;
                        break;
                    } else {
                        if (text[i] == '\n') ++line;
                        value += text[i++];
                    }
                }
                if (i < text.size() && text[i] != ',' && text[i] != '\n' && text[i] != '\r') {
                    *why = "text after a closing quote";
                    *bad_line = line;
                    return false;
                }
            } else {
                while (i < text.size() && text[i] != ',' && text[i] != '\n' && text[i] != '\r')
                    value += text[i++];
            }
            row.push_back(value);
            if (i < text.size() && text[i] == ',') {
                ++i;
                continue;
            }
            if (i < text.size() && text[i] == '\r') ++i;
            if (i < text.size() && text[i] == '\n') ++i;
            ++line;
            break;
        }
        rows->push_back(row);
    }
    return true;
}

} // namespace

int dbf_command_append(int argc, char** argv, std::FILE* out, std::FILE* err) {
    static const option kLong[] = {{}};
    DbfOptions o;
    if (dbf_parse_options(argc, argv, "+", kLong, &o) != 0) return 2;
    std::vector<const char*> indexes;
    std::vector<std::string> names, row;
    for (std::size_t a = 1; a < o.positional.size(); ++a) {
        const char* arg = o.positional[a];
        if (const char* eq = std::strchr(arg, '='); eq != nullptr) {
            names.emplace_back(arg, eq);
            row.emplace_back(eq + 1);
        } else if (names.empty()) {
            indexes.push_back(arg);
        } else {
            names.clear(); // an index after the values: wrong usage
            break;
        }
    }
    if (o.positional.empty() || names.empty()) {
        std::fprintf(err, "usage: dbftool append TABLE [INDEX...] FIELD=VALUE...\n");
        return 2;
    }
    const char* table_name = o.positional[0];
    const int table = open_for_append(table_name, indexes, err);
    if (table < 0) return 1;
    std::vector<int> refs;
    if (!field_refs(names, table_name, &refs, err)) return 1;
    for (std::size_t f = 0; f < refs.size(); ++f)
        if (const std::string why = refusal(refs[f], row[f]); !why.empty())
            return dbf_fail(err, table_name, (names[f] + ": " + why).c_str());
    const int n = append_values(table, refs, row);
    if (n < 0) return dbf_fail(err, table_name);
    if (d4close_all_tables() < 0) return dbf_fail(err, table_name);
    std::fprintf(out, "record %d\n", n);
    return 0;
}

int dbf_command_import(int argc, char** argv, std::FILE* out, std::FILE* err) {
    static const option kLong[] = {{"quiet", no_argument, nullptr, 'q'}, {}};
    DbfOptions o;
    if (dbf_parse_options(argc, argv, "q", kLong, &o) != 0) return 2;
    if (o.positional.size() < 2) {
        std::fprintf(err, "usage: dbftool import [--quiet] TABLE [INDEX...] FILE.csv\n");
        return 2;
    }
    dbf_quiet = o.given['q'];
    const char* table_name = o.positional[0];
    const char* csv = o.positional.back();
    const std::vector<const char*> indexes(o.positional.begin() + 1, o.positional.end() - 1);

    // The whole file first: it is judged before the table is touched.
    std::string text;
    {
        plat::FileHandle file = plat::kNoFile;
        if (plat::FileOpen(csv, plat::kAccessRead, plat::FileCreate::kOpenExisting, &file) != 0)
            return dbf_fail(err, csv);
        plat::FileOwner owner(file);
        char buffer[65536];
        std::uint32_t done = 0;
        do {
            if (plat::FileRead(file, buffer, sizeof buffer, &done) != 0) return dbf_fail(err, csv);
            text.append(buffer, done);
        } while (done > 0 && text.size() < (1u << 30));
    }
    std::vector<std::vector<std::string>> rows;
    std::vector<int> lines;
    std::string why;
    int bad_line = 0;
    if (!parse_csv(text, &rows, &lines, &why, &bad_line)) {
        std::fprintf(err, "dbftool: %s:%d: %s\n", csv, bad_line, why.c_str());
        return 1;
    }
    if (rows.empty()) {
        std::fprintf(err, "dbftool: %s: no header row\n", csv);
        return 1;
    }
    const int table = open_for_append(table_name, indexes, err);
    if (table < 0) return 1;
    std::vector<int> refs;
    if (!field_refs(rows[0], csv, &refs, err)) return 1;
    for (std::size_t r = 1; r < rows.size(); ++r) {
        const std::vector<std::string>& row = rows[r];
        if (row.size() != refs.size()) {
            std::fprintf(err, "dbftool: %s:%d: %zu values, the header names %zu fields\n", csv,
                         lines[r], row.size(), refs.size());
            return 1;
        }
        for (std::size_t f = 0; f < refs.size(); ++f)
            if (const std::string no = refusal(refs[f], row[f]); !no.empty()) {
                std::fprintf(err, "dbftool: %s:%d: %s: %s\n", csv, lines[r], rows[0][f].c_str(),
                             no.c_str());
                return 1;
            }
    }
    DbfProgress progress(table_name, static_cast<long>(rows.size()) - 1);
    for (std::size_t r = 1; r < rows.size(); ++r) {
        progress.step(static_cast<long>(r));
        if (append_values(table, refs, rows[r]) < 0) {
            dbf_fail(err, table_name);
            std::fprintf(err, "dbftool: %s:%d: not appended; the %zu rows before it were\n", csv,
                         lines[r], r - 1);
            return 1;
        }
    }
    if (d4close_all_tables() < 0) return dbf_fail(err, table_name);
    std::fprintf(out, "imported %zu records\n", rows.size() - 1);
    return 0;
}
