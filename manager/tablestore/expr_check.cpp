// The type check of a compiled key expression: resolves each operator's
// overload and rewrites the field codes an operator needs as numbers.
//
// The walk keeps a stack of (type, position of the code that produced the
// value). An argument fits a parameter when the types are equal, or when
// the parameter is 'N' and the value comes straight from a numeric field
// as text (code 5), or the parameter is 'd' and it comes straight from a
// date field as text (code 3); the winning overload then turns that field
// code into 4 (read as a number) or 2 (read as a day number).
#include "manager/tablestore/expr_table.h"
#include "manager/tablestore/expressions.h"
#include "manager/tablestore/store_errors.h"

namespace {

struct Pending {
    char type;
    int position; // of the producing code in the program
};

bool fits(const Pending& value, char parameter, const char* program) {
    if (value.type == parameter) return true;
    int code = e4get_word(program + value.position);
    return (parameter == 'N' && code == E4FIELD_NUMTEXT) ||
           (parameter == 'd' && code == E4FIELD_DATE);
}

int broken() {
    e4error_report(err4overwritten, "e4type_check", nullptr);
    return -1;
}

} // namespace

int e4type_check(char* program, int length) {
    if (program == nullptr || length < 12 || e4get_word(program) != E4CONST_CHAR) return broken();
    int text_length = e4get_word(program + 4);
    if (text_length < 1 || text_length > length - 12) return broken();
    const char* text = program + 8;
    int p = 8 + text_length + 4; // past the text record and the table word

    Pending stack[e4max_values];
    int depth = 0;
    for (;;) {
        if (p > length - 4) return broken();
        int32_t code = e4get_word(program + p);
        if (code == E4END) break;
        if (code < 0 || code >= e4entry_count) return broken();

        int size = 4;
        if (code <= E4FIELD_NUMTEXT) {
            size = 8;
        } else if (code == E4CONST_CHAR) {
            if (p > length - 8) return broken();
            int32_t count = e4get_word(program + p + 4);
            if (count < 0 || count > length - p - 8) return broken();
            size = 8 + count;
        } else if (code == E4CONST_NUMBER) {
            size = 12;
        }
        if (size > length - p) return broken();

        if (code < E4FIRST_OPERATOR) {
            if (depth >= e4max_values) {
                e4error_report(err4overflow, text, nullptr);
                return -1;
            }
            stack[depth++] = {e4value_type(code), p};
            p += size;
            continue;
        }

        const E4Entry& op = e4table[code];
        if (depth < op.arg_count) return broken();
        Pending* args = stack + depth - op.arg_count;
        int winner = -1;
        for (int e = code; e < e4entry_count && e4table[e].group == op.group; ++e) {
            bool all = true;
            for (int i = 0; i < op.arg_count && all; ++i)
                all = fits(args[i], e4table[e].args[i], program);
            if (all) {
                winner = e;
                break;
            }
        }
        if (winner < 0) {
            e4error_report(err4type, "Expression:", text, "", "Function:", op.name, nullptr);
            return -1;
        }
        const E4Entry& w = e4table[winner];
        for (int i = 0; i < w.arg_count; ++i) {
            if (args[i].type == w.args[i]) continue;
            char* producer = program + args[i].position;
            e4put_word(producer, w.args[i] == 'N' ? E4FIELD_NUMBER : E4FIELD_DAYS);
        }
        e4put_word(program + p, winner);
        depth -= w.arg_count;
        if (depth >= e4max_values) {
            e4error_report(err4overflow, text, nullptr);
            return -1;
        }
        stack[depth++] = {w.result, p};
        p += 4;
    }
    if (depth != 1) return broken();
    e4set_result(stack[0].type, 0);
    return 0;
}
