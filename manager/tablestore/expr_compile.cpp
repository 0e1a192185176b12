// The key-expression compiler: text to postfix program, built in the work
// buffer, then type-checked and copied into its own allocation.
//
// While compiling, the last 128 bytes of the work buffer hold the operator
// stack (32 entries of 32 bits: entry numbers, or a marker for an open
// bracket or function call); the program grows from the start of the
// buffer in the rest. Every failure is reported with its code and the
// expression text, and compiling gives -1. The table selection is changed
// only around one field lookup at a time and always restored.
#include <cstring>

#include "manager/tablestore/expr_table.h"
#include "manager/tablestore/expressions.h"
#include "manager/tablestore/fields.h"
#include "manager/tablestore/fileio.h"
#include "manager/tablestore/numbers.h"
#include "manager/tablestore/pools.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/store_errors.h"
#include "manager/tablestore/tables.h"

namespace {

constexpr int32_t marker = -2; // operator-stack entry of "(" and of a call
constexpr int operator_slots = e4operator_room / 4;
constexpr int name_copy = 19; // names are compared over at most this

char upper(char ch) {
    return ch >= 'a' && ch <= 'z' ? static_cast<char>(ch - 'a' + 'A') : ch;
}
bool is_digit(char ch) {
    return ch >= '0' && ch <= '9';
}
bool is_letter(char ch) {
    return (ch >= 'a' && ch <= 'z') || (ch >= 'A' && ch <= 'Z');
}
bool is_name_char(char ch) {
    return is_letter(ch) || is_digit(ch) || ch == '\\' || ch == '.' || ch == '_' || ch == ':';
}

struct Compiler {
    const char* text;
    int length;
    int pos;
    char* buffer;
    int limit;   // the program may use buffer[0 .. limit)
    int used;    // bytes of program so far
    char* stack; // operator stack: buffer + limit
    int depth;   // entries on the operator stack

    char at(int i) const { return i < length ? text[i] : 0; }

    void skip_blanks() {
        while (pos < length && static_cast<unsigned char>(text[pos]) <= 32) ++pos;
    }

    bool fail(int code) {
        e4error_report(code, text, nullptr);
        return false;
    }

    bool emit(const void* bytes, int count) {
        if (count < 0 || count > limit - used) return fail(err4overflow);
        std::memcpy(buffer + used, bytes, static_cast<size_t>(count));
        used += count;
        return true;
    }
    bool emit_word(int32_t v) { return emit(&v, 4); }
    bool emit_number(double v) { return emit_word(E4CONST_NUMBER) && emit(&v, 8); }

    int32_t top() const { return e4get_word(stack + 4 * (depth - 1)); }
    bool push(int32_t entry) {
        if (depth >= operator_slots) return fail(err4overflow);
        e4put_word(stack + 4 * depth++, entry);
        return true;
    }
    bool pop_into_program() {
        int32_t entry = top();
        --depth;
        return emit_word(entry);
    }

    // True when the text at pos begins with the entry's name (any case).
    bool begins_with(int entry) const {
        const E4Entry& e = e4table[entry];
        for (int i = 0; i < e.name_length; ++i)
            if (upper(at(pos + i)) != e.name[i]) return false;
        return true;
    }

    // First entry in first..last whose name the text at pos begins with.
    int match_word(int first, int last) const {
        for (int e = first; e <= last; ++e)
            if (begins_with(e)) return e;
        return -1;
    }

    bool parse_expression();
    bool parse_value();
    bool parse_number();
    bool parse_string();
    bool parse_name();
    bool parse_call(int entry, const char* name);
    bool parse_field(int start, int count, int table);
};

// value { operator value }, ended by the end of the text, ")" or ",".
bool Compiler::parse_expression() {
    if (!parse_value()) return false;
    for (;;) {
        skip_blanks();
        char ch = at(pos);
        if (pos >= length || ch == ')' || ch == ',') break;
        int op = match_word(e4FIRST_OP, e4LAST_OP);
        if (op < 0) return fail(err4operator);
        pos += e4table[op].name_length;
        while (depth > 0 && top() != marker && e4table[top()].priority >= e4table[op].priority)
            if (!pop_into_program()) return false;
        if (!push(op) || !parse_value()) return false;
    }
    while (depth > 0 && top() != marker)
        if (!pop_into_program()) return false;
    return true;
}

bool Compiler::parse_value() {
    skip_blanks();
    char ch = at(pos);
    if (pos >= length) return fail(err4value);
    if (ch == '(') {
        if (!push(marker) || (++pos, !parse_expression())) return false;
        skip_blanks();
        if (at(pos) != ')' || pos >= length) return fail(err4right_bracket);
        ++pos;
        --depth; // the marker
        return true;
    }
    if (ch == '.') {
        int word = match_word(e4TRUE, e4NOT);
        if (word == e4NOT) {
            pos += e4table[word].name_length;
            return push(word) && parse_value();
        }
        if (word >= 0) {
            pos += e4table[word].name_length;
            return emit_word(word);
        }
        return parse_number();
    }
    if (is_digit(ch) || ch == '-' || ch == '+') return parse_number();
    if (ch == '\'' || ch == '"') return parse_string();
    if (is_name_char(ch)) return parse_name();
    return fail(err4value);
}

// The first character, then every digit or '.'; a final '.' that begins
// .AND., .OR. or .NOT. belongs to the operator and is given back.
bool Compiler::parse_number() {
    int start = pos++;
    while (pos < length && (is_digit(text[pos]) || text[pos] == '.')) ++pos;
    if (at(pos - 1) == '.') {
        int saved = pos;
        pos = pos - 1;
        bool operator_dot =
            begins_with(e4LAST_OP) || begins_with(e4LAST_OP - 1) || begins_with(e4NOT);
        pos = operator_dot ? pos : saved;
    }
    return emit_number(n4text_number(text + start, pos - start));
}

// 'text' or "text", no escapes.
bool Compiler::parse_string() {
    char quote = text[pos];
    int start = pos + 1;
    int end = start;
    while (end < length && text[end] != quote) ++end;
    if (end >= length) return fail(err4string);
    int32_t count = end - start;
    pos = end + 1;
    return emit_word(E4CONST_CHAR) && emit_word(count) && emit(text + start, count);
}

// A run of name characters: a function call, a table "->" field, or a
// field of the selected table.
bool Compiler::parse_name() {
    int start = pos;
    while (pos < length && is_name_char(text[pos])) ++pos;
    int count = pos - start;
    int after = pos;
    skip_blanks();
    if (at(pos) == '(' && pos < length) {
        // Functions: the run equals the name over the run's length, and is
        // at least 4 characters long or the whole name.
        char name[name_copy + 1] = {};
        for (int i = 0; i < count && i < name_copy; ++i) name[i] = upper(text[start + i]);
        for (int e = e4FIRST_FUNC; e < e4entry_count; ++e) {
            const E4Entry& f = e4table[e];
            if (count > f.name_length || (count < 4 && count != f.name_length)) continue;
            if (std::memcmp(name, f.name, static_cast<size_t>(count)) != 0) continue;
            return parse_call(e, f.name);
        }
        return fail(err4function);
    }
    if (at(pos) == '-' && at(pos + 1) == '>' && pos + 1 < length) {
        char table_name[u4name_size + 1];
        if (count >= u4name_size) return fail(err4table_not_located);
        std::memcpy(table_name, text + start, static_cast<size_t>(count));
        table_name[count] = 0;
        int table = d4find_table(table_name);
        if (table < 0) return fail(err4table_not_located);
        pos += 2;
        skip_blanks();
        int field_start = pos;
        while (pos < length && is_name_char(text[pos])) ++pos;
        return parse_field(field_start, pos - field_start, table);
    }
    pos = after;
    return parse_field(start, count, -1);
}

// A field name of at most 10 characters, looked up with f4ref in `table`
// (or the selected table when -1); the selection is restored at once.
bool Compiler::parse_field(int start, int count, int table) {
    if (count < 1 || count > 10) return fail(err4value);
    char name[11] = {};
    std::memcpy(name, text + start, static_cast<size_t>(count));
    int previous = table >= 0 ? d4select_table(table) : -1;
    int ref = f4ref(name);
    int type = ref >= 0 ? f4field_type(ref) : 0;
    if (table >= 0) d4select_table(previous);
    if (ref < 0) return fail(err4value);
    int32_t code;
    switch (type) {
    case 'D': code = E4FIELD_DATE; break;
    case 'N':
    case 'F': code = E4FIELD_NUMTEXT; break;
    case 'L': code = E4FIELD_LOGICAL; break;
    default: code = E4FIELD_CHAR; break; // 'C' and any opaque text field
    }
    return emit_word(code) && emit_word(ref);
}

// "(" arguments separated by "," ")"; STR and SUBSTR get their missing
// arguments; any other count than the table's is error 595.
bool Compiler::parse_call(int entry, const char* name) {
    ++pos; // "("
    if (!push(marker)) return false;
    int count = 0;
    skip_blanks();
    if (at(pos) == ')' && pos < length) {
        ++pos;
    } else {
        for (;;) {
            if (!parse_expression()) return false;
            ++count;
            skip_blanks();
            if (pos >= length) return fail(err4right_bracket);
            char ch = text[pos++];
            if (ch == ')') break;
            if (ch != ',') {
                e4error_report(err4comma_or_bracket, text, nullptr);
                return false;
            }
        }
    }
    --depth; // the marker
    if (entry == e4STR && count == 1) {
        if (!emit_number(10) || !emit_number(0)) return false;
        count = 3;
    } else if (entry == e4STR && count == 2) {
        if (!emit_number(0)) return false;
        count = 3;
    } else if (entry == e4SUBSTR && count == 2) {
        if (!emit_number(32767)) return false;
        count = 3;
    }
    if (count != e4table[entry].arg_count) {
        e4error_report(err4parameters, "Expression", text, "Function", name, nullptr);
        return false;
    }
    return emit_word(entry);
}

// The store's work buffer, initialising the store with its defaults when
// nobody did yet.
bool work_buffer_ready() {
    if (g4.work_buffer == nullptr && !g4.initialized) d4initialize_defaults();
    return g4.work_buffer != nullptr && g4.work_buffer_size > 0;
}

} // namespace

char* e4work_buffer() {
    return work_buffer_ready() ? g4.work_buffer : nullptr;
}
int e4work_buffer_size() {
    return work_buffer_ready() ? g4.work_buffer_size : 0;
}

int e4compile(const char* text, char** program) {
    if (program != nullptr) *program = nullptr;
    if (text == nullptr || program == nullptr) return -1;
    if (!work_buffer_ready()) return -1;

    Compiler c{};
    c.text = text;
    c.length = static_cast<int>(std::strlen(text));
    c.buffer = g4.work_buffer;
    c.limit = g4.work_buffer_size - e4operator_room;
    if (c.limit < 0) c.limit = 0;
    c.stack = c.buffer + c.limit;

    // The text record and the expression's table.
    if (!c.emit_word(E4CONST_CHAR) || !c.emit_word(c.length + 1) || !c.emit(text, c.length + 1) ||
        !c.emit_word(d4select_table(-1)))
        return -1;
    if (!c.parse_expression()) return -1;
    // Anything left over (an operator still pending, or text after a
    // complete expression such as the ")" of "NOME)") is incomplete.
    c.skip_blanks();
    if (c.depth != 0 || c.pos < c.length) {
        c.fail(err4incomplete);
        return -1;
    }
    if (!c.emit_word(E4END)) return -1;
    if (e4type_check(c.buffer, c.used) < 0) return -1;

    char* copy = static_cast<char*>(h4allocate(static_cast<size_t>(c.used)));
    if (copy == nullptr) return -1;
    std::memcpy(copy, c.buffer, static_cast<size_t>(c.used));
    *program = copy;
    return c.used;
}
