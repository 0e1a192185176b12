// The operator table of the key-expression language, and what the compiler,
// the type check and the evaluator share.
//
// Entry numbers are the codes of the compiled program: 0..7 are the value
// codes, 8 onward the operators and functions. Entries with the same group
// code are overloads of one name, tried in table order; the table ends with
// an entry whose group code is -1.
#pragma once

#include <cstdint>
#include <cstring>

// One value on the evaluation stack: where its bytes sit in the work
// buffer, how many there are, and its type letter.
struct E4Value {
    int offset;
    int length;
    char type;
};

// What a routine sees while it runs: the work buffer, the expression's
// table and text (for messages).
struct E4Context {
    char* buffer;
    int size;
    int table;
    const char* text;
};

// An operator or function: computes its result in place of its first
// argument (args[0]; for a routine without arguments args[0] is the free
// space after the values) and sets args[0]'s type and length. The arguments
// lie one after another from args[0].offset. Returns 0, or -1 after
// reporting.
using E4Routine = int (*)(E4Context& ctx, E4Value* args);

struct E4Entry {
    int group;       // overloads share it; -1 ends the table
    int name_length; // 0 for the value codes
    char name[13];
    E4Routine routine;
    int priority; // operators only; 0 for everything else
    char result;  // result type letter
    int arg_count;
    char args[4]; // argument types, NUL-terminated
};

// The table (entries 0 .. e4entry_count - 1, then the end entry).
extern const E4Entry e4table[];
extern const int e4entry_count;

// Entry numbers the compiler and the tests refer to.
enum : int {
    e4TRUE = 8,
    e4NOT = 12,
    e4FIRST_OP = 13,   // "^": binary operators from here ...
    e4LAST_OP = 48,    // ... to ".AND."
    e4FIRST_FUNC = 49, // "STOD": functions from here to the end
    e4STR = 70,
    e4SUBSTR = 71,
};

// Most values the evaluation (and the type check) keeps pending.
inline constexpr int e4max_values = 18;
// Bytes at the end of the work buffer that hold the compiler's operator
// stack (32 entries of 32 bits).
inline constexpr int e4operator_room = 128;

// Unaligned 32-bit and double access to program and buffer bytes.
inline int32_t e4get_word(const char* p) {
    int32_t v;
    std::memcpy(&v, p, 4);
    return v;
}
inline void e4put_word(char* p, int32_t v) {
    std::memcpy(p, &v, 4);
}
inline double e4get_double(const char* p) {
    double v;
    std::memcpy(&v, p, 8);
    return v;
}
inline void e4put_double(char* p, double v) {
    std::memcpy(p, &v, 8);
}

// Result type of a value code (0..7).
char e4value_type(int code);

// Truncates a double toward zero into an int, clamping huge values and
// reading NaN as 0 (arguments of STR and SUBSTR come from untrusted data).
int e4truncate(double v);

// Remembered type and length of the last result (expressions.h accessors).
void e4set_result(int type, int length);
