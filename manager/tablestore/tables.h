// Table files (.DBF, dBASE III layout): the table handle and every table
// operation: open, close, find and select, go to a record, first / last /
// skip, append, write, mark and unmark deleted, flush, filters and filtered
// navigation.
//
// Layout (little-endian): byte 0 version; 1-3 date of last update (year-1900,
// month, day); 4-7 record count (not trusted: the count is the file size
// less the header, divided by the record width); 8-9 header length (at most
// 32767); descriptors of 32 bytes from offset 32, ended by 0x0D; records of
// 1 flag byte ('*' deleted, ' ' not) and the fields, from the header length.
//
// Navigation results: 0 on a record; 1 before the first record or asked for
// a record outside 1 .. count; 2 seek on a greater key; 3 end of file (record
// buffer blank, record number = count + 1); negative = failure, reported.
#pragma once

#include <cstdint>

#include "manager/tablestore/fields.h"

// The first 10 bytes of a table file as kept in memory. record_count doubles
// as the cached record count: -1 = none cached. The count is cached from its
// first reading until the request ends (d4unlock_all), and counted again
// under the append lock before an append.
struct HeaderImage {
    std::uint8_t version;
    std::uint8_t date[3];
    std::int32_t record_count;
    std::uint16_t header_length;
};

// Lock states of a table.
enum : int { d4lock_none = -1, d4lock_append = 0, d4lock_file = 1 };

// One open table: an element of the table pool; its number is the table number.
struct TableHandle {
    int previous; // previous / next table in the open list
    int next;
    char file_name[64]; // upper-cased, NUL-terminated, with the extension
    int file;           // file handle
    int locked_record;  // 0 = none
    int lock_state;     // d4lock_none, d4lock_append, d4lock_file
    int current_record;
    int bof;
    int eof;
    int memo_file;    // always -1
    int record_width; // flag byte included
    char* old_record; // 2 * width + 1 bytes: old record, record, NUL
    char* record;     // = old_record + record_width
    int changed;      // a field of the current record was modified
    int field_count;
    FieldDescriptor* fields;
    int first_index;    // most recently opened index, -1 none
    int selected_index; // -1 = record order
    int filter_head;    // newest filter, -1 none
    int relation_head;  // always -1
    HeaderImage header;
    // Operating-system locks the store took itself (fileio.h): the record
    // being written or appended (0 none) and the append byte (0 / 1).
    int held_record;
    int held_append;
    // The record whose bytes on disk old_record holds (0 none): set when the
    // record was read or written under the store's own lock on it, which
    // keeps other writers off it, so that writing it again needs no second
    // read; dropped with that lock.
    int old_image;
    // A record this request read whole from the file (0 none): it lies
    // within the count, so writing it back needs no size query. A lower
    // bound of the count, forgotten with it (d4forget_count_of).
    int read_whole;
    // The date and count this process last wrote into header bytes 1-7
    // under the append lock it still holds (stamp_held 0: none).
    int stamp_held;
    std::uint8_t stamp[7];
};

// Filter routine: > 0 rejects the current record, 0 accepts, < 0 failure.
using FilterRoutine = int (*)();

// One element of the filter pool.
struct FilterEntry {
    int previous;
    int next;
    FilterRoutine routine;
};

// The handle of table number t, or null when t is not an open table.
TableHandle* d4table(int t);

// Forgets the table's record count and the record read whole with it: the
// next use asks the file (other programs append, or cut the file).
inline void d4forget_count_of(TableHandle* t) {
    t->header.record_count = -1;
    t->read_whole = 0;
}

// d4open_table_mode(name, 0).
int d4open_table(const char* name);

// Opens a table (initialising the store with the defaults if needed) and
// selects it; an already open table with that name returns its number
// without changing the selection. Errors 120 / 100 (open), 200 "File is not
// a Database:" (short header, header length over 32767, truncated
// descriptors), 260 (record over 32767 bytes). Returns the number or -1.
int d4open_table_mode(const char* name, int mode);

// Closes the selected table: writes a changed record, closes its indexes,
// stamps today's date and the record count into header bytes 1-7, selects
// the most recently opened remaining table. 0 / -1 (240).
int d4close_table();

// Closes tables until none is open; stops at the first failure. 0 / -1.
int d4close_all_tables();

// Number of the open table with that name (".DBF" added), or -1.
int d4find_table(const char* name);

// Selects table t and returns the previously selected number; a number that
// is not open leaves the selection unchanged (so -1 only queries).
int d4select_table(int t);

// The selected table's handle, or null.
TableHandle* d4current_table();

// Record count of the selected table, -1 without a table; a file size that
// cannot be read is error 950 (fatal).
int d4record_count();

// Current record number, or 0 without a table or below 1.
int d4record_number();

// Eof and bof flags of the selected table (-1 without a table).
int d4at_end();
int d4at_start();

// Goes to record n: 0, or 1 when n is outside 1 .. count (buffer blanked,
// record number unchanged), -1 on failure.
int d4goto_record(int n);

// Reads record n (the step behind d4goto_record): 0 / 1 (n < 1) / -1 (240).
// Reading takes no lock and keeps the indexes' locks as they are.
int d4read_record(int n);
// d4read_record for record n that an index entry names: 0 read, 1 when n is
// no record of the table (nothing read; the caller reports it), -1 failed.
// With no record count cached the read itself tells, without a size query:
// a record that lies wholly in the file is within the count.
int d4read_listed_record(int n);

// d4goto_record for a record about to be changed: the record's lock is
// tried first (without waiting), so that the record read is the one the
// write will replace and the write need not read it again. A lock not had
// at once reads as d4goto_record does (the write then waits for it).
int d4goto_record_for_change(int n);

// Forgets the selected table's cached record count: the next use counts it
// from the file's size again.
void d4forget_count();

// Writes today's date and the record count into header bytes 1-7 of the
// selected table under the append lock (the table's indexes are released
// first: the append byte is taken before index locks, as other programs
// do). Bytes equal to those on disk are not written again. 0 / -1.
int d4write_stamp();

// First / last record in the selected index's order, else record order.
// 0 / 3 (no records: bof and eof set) / -1 (240).
int d4goto_first();
int d4goto_last();

// Moves n records (signed): 0 / 1 (start reached) / 3 (eof) / -1 (240).
int d4skip_records(int n);

// 1 when the record buffer's flag is '*', 0 otherwise, -1 (240).
int d4is_deleted();

// Goes to record n and sets its flag to '*' / ' ' and writes it.
// 0, 1 (n out of range), -1 (write failed; unmark returns the write's result).
int d4mark_deleted(int n);
int d4unmark_deleted(int n);

// Blanks the record buffer (after writing a changed record) and appends it.
int d4append_blank_record();

// Appends the record buffer unchanged, followed by one 0x1A byte. 0 / -1 (240).
int d4append_record();

// Writes the record buffer as record n; n outside 1 .. count appends. On an
// indexed table an unchanged record is not written. 0 / -1.
int d4write_record(int n);

// Takes the selected table's append lock (waiting for other programs'
// appends), so that the record count read and the header stamped next are
// not crossed by another program's append; d4unlock_all gives it up.
// 0 / -1 (400).
int d4lock_append_count();

// Ends what the store holds at the end of a request: for every open table
// that holds a lock or a locked index, writes its changed record, releases
// its indexes (changed pages and headers written) and gives up its record
// and append locks. 0 / -1 when a step failed (all tables are still done).
int d4unlock_all();

// Writes table t's current record when its changed flag is set. 0 / negative.
int d4changed(int t);

// d4changed for table t, or for every open table when t < 0. 0 / -1.
int d4flush_table(int t);

// Record buffer (byte 0 is the deletion flag) and width, null / -1 without a table.
char* d4record_buffer();
int d4record_width();

// Number of fields: -1 (240).
int d4field_count();

// Blanks the selected table's record buffer (width blanks).
void d4blank_record();

// Sets the selected table at eof: blank buffer, record number = count + 1,
// eof set, and bof set too when also_bof is non-zero.
void d4set_eof(int also_bof);

// Filters of the selected table (the manager pushes d4is_deleted so that
// filtered navigation passes over deleted records).
int d4push_filter(FilterRoutine routine); // 0 / -1
int d4pop_filter();                       // 0 / -1 when there is none
void d4clear_filters();
int d4filter_rejects(); // 1 reject / 0 accept / -1

// Filtered navigation: 0 / 1 / 3 / negative.
int d4skip_filtered(int n);
int d4goto_last_filtered();
int d4goto_first_filtered();
