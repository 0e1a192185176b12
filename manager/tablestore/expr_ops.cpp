// The operator table of the key-expression language and the routines of
// its operators and functions.
//
// Every routine works in the work buffer: its arguments lie one after
// another from args[0].offset, and the result replaces them from that same
// offset. Numbers and day numbers are 8-byte doubles, logical values 32-bit
// ints, texts their bytes; all of them are read and written with memcpy, as
// the values sit at any byte offset. A result is written only after the
// routine checked that it fits in the buffer (error 540 otherwise).
#include <algorithm>
#include <cmath>
#include <cstdio>

#include "manager/tablestore/expr_table.h"
#include "manager/tablestore/numbers.h"
#include "manager/tablestore/store_errors.h"
#include "manager/tablestore/tables.h"
#include "platform/clock.h"

namespace {

// --- helpers -----------------------------------------------------------

char* bytes(E4Context& c, const E4Value& v) {
    return c.buffer + v.offset;
}

// Makes sure a result of `length` bytes fits at args[0]; reports 540.
bool fits(E4Context& c, const E4Value& at, int length) {
    if (length >= 0 && at.offset <= c.size && length <= c.size - at.offset) return true;
    e4error_report(err4overflow, c.text, nullptr);
    return false;
}

double number_of(E4Context& c, const E4Value& v) {
    return e4get_double(bytes(c, v));
}
int32_t logical_of(E4Context& c, const E4Value& v) {
    return e4get_word(bytes(c, v));
}

int put_number(E4Context& c, E4Value* a, double value, char type) {
    if (!fits(c, a[0], 8)) return -1;
    e4put_double(bytes(c, a[0]), value);
    a[0].length = 8;
    a[0].type = type;
    return 0;
}

int put_logical(E4Context& c, E4Value* a, bool value) {
    if (!fits(c, a[0], 4)) return -1;
    e4put_word(bytes(c, a[0]), value ? 1 : 0);
    a[0].length = 4;
    a[0].type = 'L';
    return 0;
}

int put_text(E4Context& c, E4Value* a, const char* text, int length) {
    if (!fits(c, a[0], length)) return -1;
    std::memmove(bytes(c, a[0]), text, static_cast<size_t>(length));
    a[0].length = length;
    a[0].type = 'C';
    return 0;
}

// The 8 characters "CCYYMMDD" of a date value: a 'd' day number is written
// out (8 blanks outside the calendar); a 'D' text is taken as it is, padded
// with blanks or cut to 8.
void date_text(E4Context& c, const E4Value& v, char* out) {
    if (v.type == 'd') {
        n4date_text(number_of(c, v), out);
        return;
    }
    std::memset(out, ' ', 8);
    std::memcpy(out, bytes(c, v), static_cast<size_t>(std::min(v.length, 8)));
}

// NUL-terminated copy of a text value for an error message.
void message_copy(E4Context& c, const E4Value& v, char* out, int size) {
    int n = std::max(0, std::min(v.length, size - 1));
    std::memcpy(out, bytes(c, v), static_cast<size_t>(n));
    out[n] = 0;
}

// Parses "CCYYMMDD"; an invalid or blank date is error 515 with the text.
int parse_or_report(const char* date8, const char* shown, double* day) {
    if (n4parse_date(date8, day) == 0) return 0;
    e4error_report(err4illegal_date, shown, nullptr);
    return -1;
}

// -1, 0, 1 as the character comparison of the language: min(length) bytes
// unsigned; when equal, a shorter first value is smaller, a longer one
// equal.
int compare_text(E4Context& c, const E4Value& a, const E4Value& b) {
    int n = std::min(a.length, b.length);
    int r = n > 0 ? std::memcmp(bytes(c, a), bytes(c, b), static_cast<size_t>(n)) : 0;
    if (r != 0) return r < 0 ? -1 : 1;
    return a.length < b.length ? -1 : 0;
}

enum Relation { EQ, NE, GE, LE, GT, LT };

template <Relation R>
bool holds(int cmp) {
    switch (R) {
    case EQ: return cmp == 0;
    case NE: return cmp != 0;
    case GE: return cmp >= 0;
    case LE: return cmp <= 0;
    case GT: return cmp > 0;
    case LT: return cmp < 0;
    }
    return false;
}

template <Relation R>
bool holds(double x, double y) {
    switch (R) {
    case EQ: return x == y;
    case NE: return x != y;
    case GE: return x >= y;
    case LE: return x <= y;
    case GT: return x > y;
    case LT: return x < y;
    }
    return false;
}

// --- routines ----------------------------------------------------------

int op_true(E4Context& c, E4Value* a) {
    return put_logical(c, a, true);
}
int op_false(E4Context& c, E4Value* a) {
    return put_logical(c, a, false);
}
int op_not(E4Context& c, E4Value* a) {
    return put_logical(c, a, logical_of(c, a[0]) == 0);
}

int op_power(E4Context& c, E4Value* a) {
    return put_number(c, a, std::pow(number_of(c, a[0]), number_of(c, a[1])), 'N');
}

template <Relation R>
int op_compare_text(E4Context& c, E4Value* a) {
    return put_logical(c, a, holds<R>(compare_text(c, a[0], a[1])));
}

template <Relation R>
int op_compare_number(E4Context& c, E4Value* a) {
    return put_logical(c, a, holds<R>(number_of(c, a[0]), number_of(c, a[1])));
}

template <Relation R>
int op_compare_logical(E4Context& c, E4Value* a) {
    bool x = logical_of(c, a[0]) != 0, y = logical_of(c, a[1]) != 0;
    return put_logical(c, a, R == EQ ? x == y : x != y);
}

// Sums and differences keep the type the table gives them: a day number
// plus or minus days is a day number, two day numbers apart are days.
int op_add_nn(E4Context& c, E4Value* a) {
    return put_number(c, a, number_of(c, a[0]) + number_of(c, a[1]), 'N');
}
int op_add_date(E4Context& c, E4Value* a) {
    return put_number(c, a, number_of(c, a[0]) + number_of(c, a[1]), 'd');
}
int op_sub_nn(E4Context& c, E4Value* a) {
    return put_number(c, a, number_of(c, a[0]) - number_of(c, a[1]), 'N');
}
int op_sub_date(E4Context& c, E4Value* a) {
    return put_number(c, a, number_of(c, a[0]) - number_of(c, a[1]), 'd');
}

// The two texts already lie one after the other: joining is just counting.
int op_concat(E4Context& c, E4Value* a) {
    if (!fits(c, a[0], a[0].length + a[1].length)) return -1;
    a[0].length += a[1].length;
    a[0].type = 'C';
    return 0;
}

// The first text's trailing blanks (and NULs) move behind the second text.
int op_concat_trim(E4Context& c, E4Value* a) {
    char* first = bytes(c, a[0]);
    int kept = a[0].length;
    while (kept > 0 && (first[kept - 1] == ' ' || first[kept - 1] == 0)) --kept;
    int moved = a[0].length - kept;
    if (!fits(c, a[0], a[0].length + a[1].length)) return -1;
    std::memmove(first + kept, bytes(c, a[1]), static_cast<size_t>(a[1].length));
    std::memset(first + kept + a[1].length, ' ', static_cast<size_t>(moved));
    a[0].length += a[1].length;
    a[0].type = 'C';
    return 0;
}

int op_multiply(E4Context& c, E4Value* a) {
    return put_number(c, a, number_of(c, a[0]) * number_of(c, a[1]), 'N');
}
int op_divide(E4Context& c, E4Value* a) {
    return put_number(c, a, number_of(c, a[0]) / number_of(c, a[1]), 'N');
}

int op_contains(E4Context& c, E4Value* a) {
    const char* needle = bytes(c, a[0]);
    const char* hay = bytes(c, a[1]);
    bool found = a[0].length == 0;
    for (int i = 0; !found && i + a[0].length <= a[1].length; ++i)
        found = std::memcmp(hay + i, needle, static_cast<size_t>(a[0].length)) == 0;
    return put_logical(c, a, found);
}

int op_or(E4Context& c, E4Value* a) {
    return put_logical(c, a, logical_of(c, a[0]) != 0 || logical_of(c, a[1]) != 0);
}
int op_and(E4Context& c, E4Value* a) {
    return put_logical(c, a, logical_of(c, a[0]) != 0 && logical_of(c, a[1]) != 0);
}

int fn_stod(E4Context& c, E4Value* a) {
    char date8[8];
    std::memset(date8, ' ', 8);
    std::memcpy(date8, bytes(c, a[0]), static_cast<size_t>(std::min(a[0].length, 8)));
    char shown[33];
    message_copy(c, a[0], shown, sizeof shown);
    double day;
    if (parse_or_report(date8, shown, &day) < 0) return -1;
    return put_number(c, a, day, 'd');
}

// Picture "MM/DD/YY": month at 0-1, day at 3-4, low year digits at 6-7; the
// century is 19. Positions past the end of the text read as blanks.
int fn_ctod(E4Context& c, E4Value* a) {
    static constexpr int from[8] = {-1, -1, 6, 7, 0, 1, 3, 4}; // "19" Y Y M M D D
    const char* text = bytes(c, a[0]);
    char date8[8] = {'1', '9'};
    bool all_blank = true;
    for (int i = 2; i < 8; ++i) {
        char ch = from[i] < a[0].length ? text[from[i]] : ' ';
        date8[i] = ch;
        if (ch != ' ') all_blank = false;
    }
    if (all_blank) {
        std::memset(date8, ' ', 8);
    } else {
        for (int i = 2; i < 8; ++i)
            if (date8[i] == ' ') date8[i] = '0';
    }
    char shown[33];
    message_copy(c, a[0], shown, sizeof shown);
    double day;
    if (parse_or_report(date8, shown, &day) < 0) return -1;
    return put_number(c, a, day, 'd');
}

int fn_dtos(E4Context& c, E4Value* a) {
    if (a[0].type == 'D') { // the text is already "CCYYMMDD"
        a[0].type = 'C';
        return 0;
    }
    char date8[8];
    date_text(c, a[0], date8);
    return put_text(c, a, date8, 8);
}

int fn_dtoc(E4Context& c, E4Value* a) {
    char s[8];
    date_text(c, a[0], s);
    const char out[8] = {s[4], s[5], '/', s[6], s[7], '/', s[2], s[3]};
    return put_text(c, a, out, 8);
}

int date_part(E4Context& c, E4Value* a, int from, int count) {
    char s[8];
    date_text(c, a[0], s);
    return put_number(c, a, n4text_number(s + from, count), 'N');
}
int fn_day(E4Context& c, E4Value* a) {
    return date_part(c, a, 6, 2);
}
int fn_month(E4Context& c, E4Value* a) {
    return date_part(c, a, 4, 2);
}
int fn_year(E4Context& c, E4Value* a) {
    return date_part(c, a, 0, 4);
}

int fn_date(E4Context& c, E4Value* a) {
    plat::LocalTime now;
    plat::GetLocalTime(&now);
    return put_number(c, a, n4day_number(now.year, now.month, now.day), 'd');
}

int fn_time(E4Context& c, E4Value* a) {
    plat::LocalTime now;
    plat::GetLocalTime(&now);
    char text[16];
    std::snprintf(text, sizeof text, "%02d:%02d:%02d", now.hour % 100, now.minute % 100,
                  now.second % 100);
    return put_text(c, a, text, 8);
}

// The expression's table; a table closed since compiling is error 500.
TableHandle* expression_table(E4Context& c) {
    TableHandle* t = d4table(c.table);
    if (t == nullptr || t->record == nullptr)
        e4error_report(err4table_not_located, c.text, nullptr);
    return t != nullptr && t->record != nullptr ? t : nullptr;
}

int fn_deleted(E4Context& c, E4Value* a) {
    TableHandle* t = expression_table(c);
    return t ? put_logical(c, a, t->record[0] == '*') : -1;
}

int fn_del(E4Context& c, E4Value* a) {
    TableHandle* t = expression_table(c);
    return t ? put_text(c, a, t->record, 1) : -1;
}

int fn_reccount(E4Context& c, E4Value* a) {
    if (expression_table(c) == nullptr) return -1;
    int previous = d4select_table(c.table);
    int count = d4record_count();
    d4select_table(previous);
    return put_number(c, a, count, 'N');
}

int fn_recno(E4Context& c, E4Value* a) {
    TableHandle* t = expression_table(c);
    return t ? put_number(c, a, t->current_record, 'N') : -1;
}

int fn_iif(E4Context& c, E4Value* a) {
    const E4Value& chosen = logical_of(c, a[0]) != 0 ? a[1] : a[2];
    E4Value keep = chosen;
    std::memmove(bytes(c, a[0]), bytes(c, keep), static_cast<size_t>(keep.length));
    a[0].length = keep.length;
    a[0].type = keep.type;
    return 0;
}

int fn_str(E4Context& c, E4Value* a) {
    double value = number_of(c, a[0]);
    int width = std::clamp(e4truncate(number_of(c, a[1])), 0, 128);
    int decimals = e4truncate(number_of(c, a[2]));
    char text[128];
    n4number_text(value, width, decimals, text);
    return put_text(c, a, text, width);
}

int fn_substr(E4Context& c, E4Value* a) {
    int start = e4truncate(number_of(c, a[1]));
    int length = e4truncate(number_of(c, a[2]));
    int first = start < 1 ? 0 : start - 1;
    if (first > a[0].length) first = a[0].length;
    length = std::clamp(length, 0, a[0].length - first);
    char* text = bytes(c, a[0]);
    std::memmove(text, text + first, static_cast<size_t>(length));
    a[0].length = length;
    a[0].type = 'C';
    return 0;
}

int fn_upper(E4Context& c, E4Value* a) {
    char* text = bytes(c, a[0]);
    for (int i = 0; i < a[0].length; ++i)
        if (text[i] >= 'a' && text[i] <= 'z') text[i] = static_cast<char>(text[i] - 'a' + 'A');
    return 0;
}

int fn_val(E4Context& c, E4Value* a) {
    return put_number(c, a, n4text_number(bytes(c, a[0]), std::min(a[0].length, 49)), 'N');
}

} // namespace

#define E4(group, name, routine, priority, result, count, args)                                    \
    { group, static_cast<int>(sizeof(name) - 1), name, routine, priority, result, count, args }

// clang-format off
const E4Entry e4table[] = {
    // 0..7: the value codes
    E4(0, "", nullptr, 0, 'C', 0, ""),
    E4(1, "", nullptr, 0, 'L', 0, ""),
    E4(2, "", nullptr, 0, 'd', 0, ""),
    E4(3, "", nullptr, 0, 'D', 0, ""),
    E4(4, "", nullptr, 0, 'N', 0, ""),
    E4(5, "", nullptr, 0, 'n', 0, ""),
    E4(6, "", nullptr, 0, 'C', 0, ""),
    E4(7, "", nullptr, 0, 'N', 0, ""),
    // 8..12: dot-words
    E4(8, ".TRUE.", op_true, 0, 'L', 0, ""),
    E4(8, ".T.", op_true, 0, 'L', 0, ""),
    E4(10, ".FALSE.", op_false, 0, 'L', 0, ""),
    E4(10, ".F.", op_false, 0, 'L', 0, ""),
    E4(12, ".NOT.", op_not, 5, 'L', 1, "L"),
    // 13..48: binary operators
    E4(17, "^", op_power, 9, 'N', 2, "NN"),
    E4(17, "**", op_power, 9, 'N', 2, "NN"),
    E4(19, "#", op_compare_text<NE>, 6, 'L', 2, "CC"),
    E4(19, "<>", op_compare_text<NE>, 6, 'L', 2, "CC"),
    E4(19, "<>", op_compare_number<NE>, 6, 'L', 2, "NN"),
    E4(19, "<>", op_compare_number<NE>, 6, 'L', 2, "dd"),
    E4(19, "<>", op_compare_logical<NE>, 6, 'L', 2, "LL"),
    E4(21, ">=", op_compare_text<GE>, 6, 'L', 2, "CC"),
    E4(21, ">=", op_compare_number<GE>, 6, 'L', 2, "NN"),
    E4(21, ">=", op_compare_number<GE>, 6, 'L', 2, "dd"),
    E4(23, "<=", op_compare_text<LE>, 6, 'L', 2, "CC"),
    E4(23, "<=", op_compare_number<LE>, 6, 'L', 2, "NN"),
    E4(23, "<=", op_compare_number<LE>, 6, 'L', 2, "dd"),
    E4(25, "+", op_add_nn, 7, 'N', 2, "NN"),
    E4(25, "+", op_add_date, 7, 'd', 2, "Nd"),
    E4(25, "+", op_add_date, 7, 'd', 2, "dN"),
    E4(25, "+", op_concat, 7, 'C', 2, "CC"),
    E4(30, "-", op_sub_nn, 7, 'N', 2, "NN"),
    E4(30, "-", op_sub_nn, 7, 'N', 2, "dd"),
    E4(30, "-", op_sub_date, 7, 'd', 2, "dN"),
    E4(30, "-", op_concat_trim, 7, 'C', 2, "CC"),
    E4(40, "*", op_multiply, 8, 'N', 2, "NN"),
    E4(50, "/", op_divide, 8, 'N', 2, "NN"),
    E4(70, "$", op_contains, 6, 'L', 2, "CC"),
    E4(80, "=", op_compare_text<EQ>, 6, 'L', 2, "CC"),
    E4(80, "=", op_compare_number<EQ>, 6, 'L', 2, "NN"),
    E4(80, "=", op_compare_number<EQ>, 6, 'L', 2, "dd"),
    E4(80, "=", op_compare_logical<EQ>, 6, 'L', 2, "LL"),
    E4(100, ">", op_compare_text<GT>, 6, 'L', 2, "CC"),
    E4(100, ">", op_compare_number<GT>, 6, 'L', 2, "NN"),
    E4(100, ">", op_compare_number<GT>, 6, 'L', 2, "dd"),
    E4(110, "<", op_compare_text<LT>, 6, 'L', 2, "CC"),
    E4(110, "<", op_compare_number<LT>, 6, 'L', 2, "NN"),
    E4(110, "<", op_compare_number<LT>, 6, 'L', 2, "dd"),
    E4(150, ".OR.", op_or, 3, 'L', 2, "LL"),
    E4(160, ".AND.", op_and, 4, 'L', 2, "LL"),
    // 49..74: functions
    E4(170, "STOD", fn_stod, 0, 'd', 1, "C"),
    E4(175, "CTOD", fn_ctod, 0, 'd', 1, "C"),
    E4(180, "DTOS", fn_dtos, 0, 'C', 1, "D"),
    E4(180, "DTOS", fn_dtos, 0, 'C', 1, "d"),
    E4(185, "DTOC", fn_dtoc, 0, 'C', 1, "D"),
    E4(185, "DTOC", fn_dtoc, 0, 'C', 1, "d"),
    E4(190, "DATE", fn_date, 0, 'd', 0, ""),
    E4(194, "DAY", fn_day, 0, 'N', 1, "d"),
    E4(194, "DAY", fn_day, 0, 'N', 1, "D"),
    E4(196, "MONTH", fn_month, 0, 'N', 1, "d"),
    E4(196, "MONTH", fn_month, 0, 'N', 1, "D"),
    E4(198, "YEAR", fn_year, 0, 'N', 1, "d"),
    E4(198, "YEAR", fn_year, 0, 'N', 1, "D"),
    E4(200, "DELETED", fn_deleted, 0, 'L', 0, ""),
    E4(210, "DEL", fn_del, 0, 'C', 0, ""),
    E4(220, "IIF", fn_iif, 0, 'C', 3, "LCC"),
    E4(220, "IIF", fn_iif, 0, 'N', 3, "LNN"),
    E4(220, "IIF", fn_iif, 0, 'L', 3, "LLL"),
    E4(220, "IIF", fn_iif, 0, 'd', 3, "Ldd"),
    E4(230, "RECCOUNT", fn_reccount, 0, 'N', 0, ""),
    E4(240, "RECNO", fn_recno, 0, 'N', 0, ""),
    E4(250, "STR", fn_str, 0, 'C', 3, "NNN"),
    E4(260, "SUBSTR", fn_substr, 0, 'C', 3, "CNN"),
    E4(270, "TIME", fn_time, 0, 'C', 0, ""),
    E4(280, "UPPER", fn_upper, 0, 'C', 1, "C"),
    E4(290, "VAL", fn_val, 0, 'N', 1, "C"),
    // end of the table
    E4(-1, "", nullptr, 0, 0, 0, ""),
};
// clang-format on

const int e4entry_count = static_cast<int>(sizeof e4table / sizeof e4table[0]) - 1;

static_assert(sizeof e4table / sizeof e4table[0] == 76);

char e4value_type(int code) {
    return code >= 0 && code < 8 ? e4table[code].result : 0;
}

int e4truncate(double v) {
    if (std::isnan(v)) return 0;
    if (v > 1.0e9) return 1000000000;
    if (v < -1.0e9) return -1000000000;
    return static_cast<int>(v);
}
