// Key expressions of the table store: the little language in which every
// .NTX index names its key ("NOME", "UPPER(NOME)+DTOS(NASC)", ...).
//
// A text is compiled once into a postfix program (one allocation, owned by
// the caller, released with h4release_memory), type-checked, and evaluated
// for the current records whenever a key is needed. Compiling and
// evaluating share one work buffer whose size d4initialize gives
// (256 bytes in the manager, 3000 by default). Every failure is reported
// through e4error_report and gives -1 or a null pointer; error 950 (a
// program that does not hold together) ends the program.
//
// Limits, all error 540: while compiling, the last 128 bytes of the work
// buffer hold the operator stack (32 entries) and the program, its text
// included, must fit in the rest; at most 18 values may be pending (19
// while evaluating), and every value and result must fit in the buffer
// with the NUL after the final result.
//
// Program layout (32-bit words and bytes, no alignment assumed):
//   word 6, word L = strlen(text) + 1, L bytes of the text with its NUL
//   word: the table number selected at compile time (the expression's table)
//   postfix code: per element one code word, then
//       codes 0..5 (fields)         a word with the field reference
//       code 6 (character constant) a word with the byte count, the bytes
//       code 7 (numeric constant)   the 8 bytes of a double
//       codes >= 8 (operators and functions) nothing
//   word -1 (end)
#pragma once

#include <cstdint>

// Value codes of the compiled program (entry numbers 0..7 of the operator
// table).
enum : int32_t {
    E4FIELD_CHAR = 0,     // character field: its bytes            'C'
    E4FIELD_LOGICAL = 1,  // logical field: 1 for Y y T t, else 0  'L'
    E4FIELD_DAYS = 2,     // date field as a Julian day number     'd'
    E4FIELD_DATE = 3,     // date field as its 8 characters        'D'
    E4FIELD_NUMBER = 4,   // numeric field read as a double        'N'
    E4FIELD_NUMTEXT = 5,  // numeric field as its text             'n'
    E4CONST_CHAR = 6,     // character constant                    'C'
    E4CONST_NUMBER = 7,   // numeric constant                      'N'
    E4FIRST_OPERATOR = 8, // operators and functions from here on
    E4END = -1,           // end of the program
};

// The work buffer (g4.work_buffer, allocated by d4initialize) and its size.
// When the store is not initialised yet, e4compile and e4vary initialise it
// with the defaults (d4initialize_defaults: 3000 bytes).
char* e4work_buffer();
int e4work_buffer_size();

// Compiles `text` (NUL-terminated) for the selected table. On success
// *program receives a new allocation holding the program and the result is
// its length in bytes; on failure *program is null and the result is -1.
// The table selection is the same afterwards.
int e4compile(const char* text, char** program);

// Type-checks the program (of `length` bytes) in place: resolves each
// operator's overload (the code becomes the winning entry's number),
// rewrites numeric and date field codes that an operator needs as numbers
// (5 -> 4, 3 -> 2), and sets the expression's result type (see
// e4result_type). Part of e4compile. Returns 0 or -1.
int e4type_check(char* program, int length);

// Evaluates the program for the current records. Returns a pointer to the
// result at the start of the work buffer, followed by a NUL, or null on
// failure. The result keeps its evaluation type: 'C' bytes, 'N' and 'd' a
// double, 'L' a 32-bit int, 'D' 8 characters, 'n' the field's text.
char* e4vary(const char* program);

// e4vary, then a result of type 'n' becomes a number ('N', a double) and a
// result of type 'd' becomes its "CCYYMMDD" text ('D'). This is the form in
// which indexes use keys.
char* e4evaluate(const char* program);

// Type letter and byte length of the last result (or, after e4compile,
// the compiled expression's type and length 0).
int e4result_type();
int e4result_length();

// The field reference when the program is one field and nothing else (a
// key that depends on that field's bytes alone), else -1.
int e4single_field(const char* program);

// The table number a program was compiled for, and its text (both read from
// the program itself).
int e4program_table(const char* program);
const char* e4program_text(const char* program);
