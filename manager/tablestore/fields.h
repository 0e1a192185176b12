// Field values: the in-memory field descriptor, field references and the f4
// routines that read and store values in the selected table's current record.
//
// A field reference is (table number << 16) | 0-based field index; it stays
// valid while its table is open.
#pragma once

#include <cstdint>

// One field as the table handle keeps it (array in record order).
struct FieldDescriptor {
    char name[11];          // as stored in the file, NUL-padded
    char type;              // 'C', 'N', 'F', 'D', 'L'; anything else is opaque text
    std::uint16_t width;    // 'C': bytes 16-17 of the descriptor; others: byte 16
    std::uint16_t decimals; // byte 17; 0 for 'C'
    std::uint16_t offset;   // offset of the field in the record (flag byte is 0)
};

// Size of the buffer shared by every f4field_text call (text + NUL).
inline constexpr int f4text_size = 257;

// Builds a field reference.
constexpr int f4make_ref(int table, int index) {
    return (table << 16) | index;
}

// Field of the selected table by name: the name is upper-cased and compared
// over its length (up to the first blank or NUL, at most 10) with the stored
// names as they are; the stored name must end there. No table: error 240
// with "When Calling 'f4ref()'"; empty name: error 270; no such field:
// error 270 with the name. Returns the reference, or -1.
int f4ref(const char* name);

// f4ref without any report: -1 when there is no selected table, the name is
// empty or names no field. For callers that only ask whether a text is a
// field name (an index's key expression, say).
int f4lookup(const char* name);

// Field of the selected table by 1-based number; -1 outside 1 .. count.
int f4ref_by_number(int number);

// Descriptor of a field, or null for a bad reference.
FieldDescriptor* f4descriptor(int ref);

// Type letter (low byte), or 0 for a bad reference.
int f4field_type(int ref);

// Width and decimals, or -1 for a bad reference.
int f4field_width(int ref);
int f4field_decimals(int ref);

// The field's bytes inside its table's record buffer (read access), or null.
const char* f4field_data(int ref);

// The field's bytes for writing: sets the table's changed flag unless the
// table is at eof. A bad reference is error 950 "Illegal Field Reference
// Number" and ends the program.
char* f4field_pointer(int ref);

// NUL-terminated copy of the field (at most 256 characters) in one buffer
// shared by all calls, or null for a bad reference.
const char* f4field_text(int ref);

// Copies min(size, width) bytes of the field into buffer and a NUL only when
// size is larger than what was copied. Returns the number copied (0 for a
// bad reference or size <= 0).
int f4copy_field(int ref, char* buffer, int size);

// 1 when the first character is 'Y', 'y', 'T' or 't', else 0.
int f4field_true(int ref);

// 'D': the day number (1.0E100 empty, 0 for a text that is no date);
// others: the text read as a decimal number (0 for a bad reference).
double f4field_number(int ref);

// Copies min(width, strlen(text)) characters and blank-fills the rest.
void f4put_text(int ref, const char* text);

// 'D': writes the day number as "CCYYMMDD" (8 blanks out of range); others:
// number-to-text with the field's width and decimals.
void f4put_number(int ref, double value);

// Blank-fills the field and puts ch in its first position.
void f4put_char(int ref, int ch);
