// The table in key order: first, last and skip through the selected index,
// and the seeks (by text, by number, and the filtered seeks the manager
// uses), which leave the table on the record of the entry found.
#include <algorithm>
#include <cstring>

#include "manager/tablestore/indexes.h"
#include "manager/tablestore/numbers.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/store_errors.h"
#include "manager/tablestore/tables.h"

namespace {

// Reads the record of the index's current entry; one outside the table is
// error 335. 0 / -1.
int read_current_entry(int index) {
    const int read = d4read_listed_record(i4current_record(index));
    if (read == 1) {
        e4error_report(err4index_record, i4index(index)->file_name, nullptr);
        return -1;
    }
    return read < 0 ? -1 : 0;
}

int first_or_last(bool last) {
    TableHandle* t = d4current_table();
    if (t == nullptr) {
        e4error_report(err4no_table, nullptr);
        return -1;
    }
    t->bof = t->eof = 0;
    const int index = t->selected_index;
    const int r = last ? i4goto_last_key(index) : i4goto_first_key(index);
    if (r < 0) return -1;
    if (r == 3) {
        d4set_eof(1);
        return 3;
    }
    return read_current_entry(index);
}

// The index the seeks use: the selected one, else the most recently opened.
int seek_index() {
    const TableHandle* t = d4current_table();
    if (t == nullptr) {
        e4error_report(err4no_table, nullptr);
        return -1;
    }
    const int index = t->selected_index >= 0 ? t->selected_index : t->first_index;
    if (i4index(index) == nullptr) {
        e4error_report(err4no_index, t->file_name, nullptr);
        return -1;
    }
    return index;
}

// A seek prepared as key bytes: the text and its length.
struct Prepared {
    char text[i4max_key_length + 1];
    int length;
};

int prepare_text(int index, const char* text, Prepared* out) {
    const IndexHandle* h = i4index(index);
    const int cap = h->key_type == 'N' ? 32 : h->geometry.key_length;
    out->length = static_cast<int>(strnlen(text, static_cast<std::size_t>(cap)));
    std::memcpy(out->text, text, static_cast<std::size_t>(out->length));
    out->text[out->length] = '\0';
    if (h->key_type == 'N') i4numeric_key(out->text, out->length);
    return 0;
}

// 1 when no number can be looked up in this index (a character index).
int prepare_number(int index, double value, Prepared* out) {
    const IndexHandle* h = i4index(index);
    if (h->key_type == 'N') {
        i4number_key(h, value, out->text);
        out->length = h->geometry.key_length;
    } else if (h->key_type == 'D') {
        n4date_text(value, out->text);
        out->length = 8;
    } else {
        return 1;
    }
    out->text[out->length] = '\0';
    return 0;
}

int seek_prepared(int index, const Prepared& p) {
    return d4seek_key_text(index, p.text, p.length);
}

// The filter step after a seek: when the record found is rejected, go on to
// the next accepted record and say how its key compares with the search.
int filter_step(int index, int result, const Prepared& p) {
    if (result < 0 || result == 3) return result;
    const int rejects = d4filter_rejects();
    if (rejects < 0) return -1;
    if (rejects == 0) return result;
    const int r = d4skip_filtered(1);
    if (r != 0) return r;
    const char* key = i4build_key(index);
    if (key == nullptr) return -1;
    const IndexHandle* h = i4index(index);
    const int w = h->geometry.key_length;
    if (h->key_type == 'C') {
        const int compare = std::min(p.length, w);
        if (std::memcmp(key, p.text, static_cast<std::size_t>(compare)) != 0) return 2;
        return p.length < w ? 1 : 0;
    }
    if (p.length < w || std::memcmp(key, p.text, static_cast<std::size_t>(w)) != 0) return 2;
    return 0;
}

} // namespace

int i4table_first() {
    return first_or_last(false);
}

int i4table_last() {
    return first_or_last(true);
}

int i4table_skip(int n) {
    TableHandle* t = d4current_table();
    if (t == nullptr) {
        e4error_report(err4no_table, nullptr);
        return -1;
    }
    const int index = t->selected_index;
    if (i4index(index) == nullptr) return -1;
    if (t->eof) {
        if (n >= 0) {
            d4set_eof(0);
            return 3;
        }
        t->eof = 0;
        const int r = first_or_last(true);
        if (r == 3) return 1;
        if (r < 0) return r;
        ++n;
        if (n == 0) return 0;
        t = d4current_table();
    }
    t->bof = 0;
    const int on = i4position_on_record(index, t->current_record);
    if (on != 0) return on;
    const int moved = i4skip(index, n);
    if (moved == n) return read_current_entry(index);
    if (moved == -n && n != 0) return -1;
    if (n > 0) {
        d4set_eof(0);
        return 3;
    }
    const int r = first_or_last(false);
    if (r < 0) return r;
    t = d4current_table();
    t->bof = 1;
    return 1;
}

int d4seek_key_text(int index, const char* key, int length) {
    TableHandle* t = d4current_table();
    if (t == nullptr || i4index(index) == nullptr) {
        e4error_report(err4no_table, nullptr);
        return -1;
    }
    if (d4changed(g4.selected_table) < 0) return -1;
    t = d4current_table();
    t->bof = t->eof = 0;
    const int r = i4find_key_text(index, key, length);
    if (r < 0) return -1;
    if (r == 3) {
        d4set_eof(d4record_count() == 0 ? 1 : 0);
        return 3;
    }
    return read_current_entry(index) < 0 ? -1 : r;
}

int d4seek_key(int index, const char* key) {
    const IndexHandle* h = i4index(index);
    if (h == nullptr || key == nullptr) return -1;
    const int length =
        static_cast<int>(strnlen(key, static_cast<std::size_t>(h->geometry.key_length)));
    return d4seek_key_text(index, key, length);
}

int i4seek_text(const char* text) {
    const int index = seek_index();
    if (index < 0) return -1;
    Prepared p;
    prepare_text(index, text != nullptr ? text : "", &p);
    return seek_prepared(index, p);
}

int i4seek_number(double value) {
    const int index = seek_index();
    if (index < 0) return -1;
    Prepared p;
    if (prepare_number(index, value, &p) != 0) return 3;
    return seek_prepared(index, p);
}

int d4seek_text_filtered(const char* text) {
    const int index = seek_index();
    if (index < 0) return -1;
    Prepared p;
    prepare_text(index, text != nullptr ? text : "", &p);
    return filter_step(index, seek_prepared(index, p), p);
}

int d4seek_number_filtered(double value) {
    const int index = seek_index();
    if (index < 0) return -1;
    Prepared p;
    if (prepare_number(index, value, &p) != 0) return 3;
    return filter_step(index, seek_prepared(index, p), p);
}
