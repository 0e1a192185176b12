// Field values: field references and lookup, reading fields as text,
// numbers, dates and logical values, and storing them in the record buffer.
#include "manager/tablestore/fields.h"

#include <cstring>

#include "manager/tablestore/fileio.h"
#include "manager/tablestore/numbers.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/store_errors.h"
#include "manager/tablestore/tables.h"

namespace {

char shared_text[f4text_size];

// The table and descriptor of a reference, or null when it is bad.
TableHandle* table_of(int ref, FieldDescriptor** field) {
    if (ref < 0) return nullptr;
    TableHandle* t = d4table(ref >> 16);
    const int index = ref & 0xFFFF;
    if (t == nullptr || t->fields == nullptr || index >= t->field_count) return nullptr;
    *field = &t->fields[index];
    return t;
}

// The upper-cased name as f4ref compares it, in wanted (12 bytes); returns
// its length: up to the first blank or NUL, at most 10.
int field_name_key(const char* name, char* wanted) {
    for (int i = 0; i < 11 && name != nullptr && name[i] != '\0'; ++i) wanted[i] = name[i];
    text_upper(wanted);
    int length = 0;
    while (length < 10 && wanted[length] != '\0' && wanted[length] != ' ') ++length;
    return length;
}

// The field of table `number` whose stored name is wanted over its length
// and ends there, or -1.
int find_field(int number, const char* wanted, int length) {
    const TableHandle* t = d4table(number);
    for (int i = 0; t != nullptr && i < t->field_count; ++i) {
        const char* stored = t->fields[i].name;
        if (std::memcmp(stored, wanted, static_cast<std::size_t>(length)) != 0) continue;
        if (length == 10 || stored[length] == '\0' || stored[length] == ' ')
            return f4make_ref(number, i);
    }
    return -1;
}

} // namespace

int f4ref(const char* name) {
    const int number = g4.selected_table;
    if (d4table(number) == nullptr) {
        e4error_report(err4no_table, "When Calling 'f4ref()'", nullptr);
        return -1;
    }
    char wanted[12] = {};
    const int length = field_name_key(name, wanted);
    if (length == 0) {
        e4error_report(err4field_name, nullptr);
        return -1;
    }
    const int ref = find_field(number, wanted, length);
    if (ref >= 0) return ref;
    wanted[length] = '\0';
    e4error_report(err4field_name, wanted, nullptr);
    return -1;
}

int f4lookup(const char* name) {
    const int number = g4.selected_table;
    if (d4table(number) == nullptr) return -1;
    char wanted[12] = {};
    const int length = field_name_key(name, wanted);
    return length == 0 ? -1 : find_field(number, wanted, length);
}

int f4ref_by_number(int number) {
    const TableHandle* t = d4current_table();
    if (t == nullptr || number < 1 || number > t->field_count) return -1;
    return f4make_ref(g4.selected_table, number - 1);
}

FieldDescriptor* f4descriptor(int ref) {
    FieldDescriptor* field = nullptr;
    return table_of(ref, &field) != nullptr ? field : nullptr;
}

int f4field_type(int ref) {
    const FieldDescriptor* f = f4descriptor(ref);
    return f == nullptr ? 0 : static_cast<unsigned char>(f->type);
}

int f4field_width(int ref) {
    const FieldDescriptor* f = f4descriptor(ref);
    return f == nullptr ? -1 : f->width;
}

int f4field_decimals(int ref) {
    const FieldDescriptor* f = f4descriptor(ref);
    return f == nullptr ? -1 : f->decimals;
}

const char* f4field_data(int ref) {
    FieldDescriptor* f = nullptr;
    const TableHandle* t = table_of(ref, &f);
    return t == nullptr ? nullptr : t->record + f->offset;
}

char* f4field_pointer(int ref) {
    FieldDescriptor* f = nullptr;
    TableHandle* t = table_of(ref, &f);
    if (t == nullptr) {
        e4error_report(err4overwritten, "Illegal Field Reference Number", nullptr);
        return nullptr;
    }
    if (!t->eof) t->changed = 1;
    return t->record + f->offset;
}

const char* f4field_text(int ref) {
    FieldDescriptor* f = nullptr;
    const TableHandle* t = table_of(ref, &f);
    if (t == nullptr) return nullptr;
    const int length = f->width < f4text_size - 1 ? f->width : f4text_size - 1;
    std::memcpy(shared_text, t->record + f->offset, static_cast<std::size_t>(length));
    shared_text[length] = '\0';
    return shared_text;
}

int f4copy_field(int ref, char* buffer, int size) {
    FieldDescriptor* f = nullptr;
    const TableHandle* t = table_of(ref, &f);
    if (t == nullptr || buffer == nullptr || size <= 0) return 0;
    const int length = size < f->width ? size : f->width;
    std::memcpy(buffer, t->record + f->offset, static_cast<std::size_t>(length));
    if (size > length) buffer[length] = '\0';
    return length;
}

int f4field_true(int ref) {
    FieldDescriptor* f = nullptr;
    const TableHandle* t = table_of(ref, &f);
    if (t == nullptr || f->width < 1) return 0;
    const char c = t->record[f->offset];
    return c == 'Y' || c == 'y' || c == 'T' || c == 't' ? 1 : 0;
}

double f4field_number(int ref) {
    FieldDescriptor* f = nullptr;
    const TableHandle* t = table_of(ref, &f);
    if (t == nullptr) return 0;
    const char* data = t->record + f->offset;
    if (f->type == 'D') {
        if (f->width < 8) return 0;
        return n4date_number(data);
    }
    return n4text_number(data, f->width);
}

void f4put_text(int ref, const char* text) {
    char* data = f4field_pointer(ref);
    if (data == nullptr) return;
    const int width = f4field_width(ref);
    int length = 0;
    if (text != nullptr)
        while (length < width && text[length] != '\0') ++length;
    if (length > 0) std::memcpy(data, text, static_cast<std::size_t>(length));
    std::memset(data + length, ' ', static_cast<std::size_t>(width - length));
}

void f4put_number(int ref, double value) {
    char* data = f4field_pointer(ref);
    if (data == nullptr) return;
    const FieldDescriptor* f = f4descriptor(ref);
    if (f->type == 'D') {
        char date[8];
        n4date_text(value, date);
        const int length = f->width < 8 ? f->width : 8;
        std::memcpy(data, date, static_cast<std::size_t>(length));
        if (f->width > 8) std::memset(data + 8, ' ', static_cast<std::size_t>(f->width - 8));
        return;
    }
    // Widths over 128 keep the text in the first 128 positions, blanks after.
    const int written = n4number_text(value, f->width, f->decimals, data);
    if (written < f->width)
        std::memset(data + written, ' ', static_cast<std::size_t>(f->width - written));
}

void f4put_char(int ref, int ch) {
    char* data = f4field_pointer(ref);
    if (data == nullptr) return;
    const int width = f4field_width(ref);
    std::memset(data, ' ', static_cast<std::size_t>(width));
    if (width > 0) data[0] = static_cast<char>(ch);
}
