// Evaluation of a compiled key expression for the current records.
//
// The values are laid out one after another from the start of the work
// buffer; an operator gives back the space of its arguments and its routine
// puts the result in their place, so the final result ends up at the start
// of the buffer, followed by a NUL. At most 19 values are pending at once,
// and every value and result must fit in the buffer (error 540).
#include <algorithm>

#include "manager/tablestore/expr_table.h"
#include "manager/tablestore/expressions.h"
#include "manager/tablestore/fields.h"
#include "manager/tablestore/numbers.h"
#include "manager/tablestore/store_errors.h"

namespace {

constexpr int value_slots = e4max_values + 1;

int last_type = 0;
int last_length = 0;

bool is_true_char(char ch) {
    return ch == 'Y' || ch == 'y' || ch == 'T' || ch == 't';
}

// Reads the value of code 0..5 (field) into the buffer at v.offset.
// Returns false after reporting.
bool field_value(E4Context& c, int32_t code, int ref, E4Value& v) {
    const char* data = f4field_data(ref);
    int width = f4field_width(ref);
    if (data == nullptr || width < 0) { // its table was closed since compiling
        e4error_report(err4table_not_located, c.text, nullptr);
        return false;
    }
    char date8[8];
    if (code == E4FIELD_DAYS || code == E4FIELD_DATE) {
        std::memset(date8, ' ', 8);
        std::memcpy(date8, data, static_cast<size_t>(std::min(width, 8)));
    }
    v.type = e4value_type(code);
    switch (code) {
    case E4FIELD_CHAR:
    case E4FIELD_NUMTEXT: v.length = width; break;
    case E4FIELD_LOGICAL: v.length = 4; break;
    case E4FIELD_DATE: v.length = 8; break;
    default: v.length = 8; break; // day number, number
    }
    if (v.length > c.size - v.offset) {
        e4error_report(err4overflow, c.text, nullptr);
        return false;
    }
    char* out = c.buffer + v.offset;
    switch (code) {
    case E4FIELD_CHAR: std::memcpy(out, data, static_cast<size_t>(width)); break;
    case E4FIELD_LOGICAL: e4put_word(out, width > 0 && is_true_char(data[0]) ? 1 : 0); break;
    case E4FIELD_DAYS: e4put_double(out, n4date_number(date8)); break;
    case E4FIELD_DATE: std::memcpy(out, date8, 8); break;
    case E4FIELD_NUMBER: e4put_double(out, n4text_number(data, width)); break;
    case E4FIELD_NUMTEXT: {
        std::memcpy(out, data, static_cast<size_t>(width));
        int decimals = f4field_decimals(ref);
        int point = width - decimals - 1;
        if (decimals > 0 && point >= 0) out[point] = '.';
        break;
    }
    }
    return true;
}

char* discrepancy() {
    e4error_report(err4overwritten, "e4vary: Return Length Discrepency", nullptr);
    return nullptr;
}

} // namespace

void e4set_result(int type, int length) {
    last_type = type;
    last_length = length;
}

int e4result_type() {
    return last_type;
}
int e4result_length() {
    return last_length;
}

int e4program_table(const char* program) {
    return program ? e4get_word(program + 8 + e4get_word(program + 4)) : -1;
}

int e4single_field(const char* program) {
    if (program == nullptr) return -1;
    const char* p = program + 8 + e4get_word(program + 4) + 4;
    const int32_t code = e4get_word(p);
    if (code < 0 || code > E4FIELD_NUMTEXT) return -1;
    return e4get_word(p + 8) == E4END ? e4get_word(p + 4) : -1;
}

const char* e4program_text(const char* program) {
    return program ? program + 8 : nullptr;
}

char* e4vary(const char* program) {
    char* buffer = e4work_buffer();
    if (program == nullptr || buffer == nullptr) return nullptr;
    E4Context c{buffer, e4work_buffer_size(), e4program_table(program), e4program_text(program)};
    const char* p = program + 8 + e4get_word(program + 4) + 4;

    E4Value values[value_slots];
    int depth = 0;
    int used = 0;
    for (;;) {
        int32_t code = e4get_word(p);
        if (code == E4END) break;
        if (code < 0 || code >= e4entry_count) return discrepancy();
        if (code < E4FIRST_OPERATOR) {
            if (depth >= value_slots) {
                e4error_report(err4overflow, c.text, nullptr);
                return nullptr;
            }
            E4Value& v = values[depth];
            v.offset = used;
            if (code <= E4FIELD_NUMTEXT) {
                if (!field_value(c, code, e4get_word(p + 4), v)) return nullptr;
                p += 8;
            } else {
                int32_t count = code == E4CONST_CHAR ? e4get_word(p + 4) : 8;
                const char* from = code == E4CONST_CHAR ? p + 8 : p + 4;
                if (count > c.size - used) {
                    e4error_report(err4overflow, c.text, nullptr);
                    return nullptr;
                }
                std::memcpy(buffer + used, from, static_cast<size_t>(count));
                v.length = count;
                v.type = e4value_type(code);
                p = from + count;
            }
            used += v.length;
            ++depth;
            continue;
        }
        const E4Entry& op = e4table[code];
        if (depth < op.arg_count) return discrepancy();
        if (op.arg_count == 0 && depth >= value_slots) {
            e4error_report(err4overflow, c.text, nullptr);
            return nullptr;
        }
        E4Value* args = values + depth - op.arg_count;
        if (op.arg_count == 0) args[0] = {used, 0, 0};
        if (op.routine(c, args) < 0) return nullptr;
        depth = depth - op.arg_count + 1;
        used = args[0].offset + args[0].length;
        p += 4;
    }
    if (depth != 1 || values[0].offset != 0 || used != values[0].length) return discrepancy();
    if (used >= c.size) { // no room for the NUL
        e4error_report(err4overflow, c.text, nullptr);
        return nullptr;
    }
    buffer[used] = 0;
    e4set_result(values[0].type, values[0].length);
    return buffer;
}

char* e4evaluate(const char* program) {
    char* result = e4vary(program);
    if (result == nullptr) return nullptr;
    int size = e4work_buffer_size();
    if (last_type == 'n') {
        double v = n4text_number(result, last_length);
        if (size < 9) {
            e4error_report(err4overflow, e4program_text(program), nullptr);
            return nullptr;
        }
        e4put_double(result, v);
        result[8] = 0;
        e4set_result('N', 8);
    } else if (last_type == 'd') {
        n4date_text(e4get_double(result), result);
        result[8] = 0;
        e4set_result('D', 8);
    }
    return result;
}
