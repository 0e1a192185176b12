// dbftool's commands as routines, so that tests can run them in-process.
//
//   info TABLE [INDEX...]           header, fields, record count; per index its
//                                   expression, key length, unique flag, depth,
//                                   page count and free pages
//   dump [--index INDEX] [--deleted] TABLE
//                                   the records, one a line, in record or key
//                                   order (deleted ones only with --deleted)
//   seek TABLE INDEX KEY            the seek result (0/1/2/3) and the record
//   create [--force] TABLE NAME:TYPE:WIDTH[:DECIMALS]...
//                                   a new, empty dBASE III table; an existing
//                                   file only with --force
//   index [--unique] TABLE INDEX EXPRESSION
//                                   a new index of the table's records
//   check [--strict] TABLE INDEX... verifies each index against its table
//   load TABLE [INDEX...] [--appends N] [--changes N] [--tag TAG] [--field NAME]
//                                   a load generator: appends and key changes
//                                   in shared mode with record locks
//
//   append TABLE [INDEX...] FIELD=VALUE...
//                                   one record, values converted as a
//                                   terminal's are, indexes kept up to date
//   import TABLE [INDEX...] FILE.csv
//                                   the rows of a CSV file (header = field
//                                   names), all checked before any is added
//
// Options and arguments come in any order ("--" ends the options).
// Every routine writes its output to `out` and its complaints to `err`, one
// line each ("dbftool: PATH: reason"), and returns the process exit status
// (0 = success, 1 = a file could not be used, 2 = wrong usage).
//
// Share modes (platform/locks.h): info, dump, seek and check open their
// files for reading only, shared; load, append and import open them shared
// for reading and writing, with the record, append and index locks other
// programs use; create and index open the file they write exclusively and
// refuse one that another program has open ("in use by another program").
#pragma once

#include <array>
#include <cstdio>
#include <getopt.h>
#include <string>
#include <vector>

// A command's options by their code (a letter), and its other arguments.
struct DbfOptions {
    std::array<bool, 128> given{};
    std::array<const char*, 128> value{};
    std::vector<char*> positional;
};

// Parses argv (without the program and the command name) with getopt_long.
// 0, or 2 after getopt has named the unknown option on standard error.
int dbf_parse_options(int argc, char** argv, const char* shortopts, const option* longopts,
                      DbfOptions* out);

// One field of a table to create.
struct FieldSpec {
    std::string name; // upper case, 1 .. 10 characters
    char type;        // C N F D L
    int width;
    int decimals;
};

// Parses "NAME:TYPE:WIDTH[:DECIMALS]" (D and L may leave out the width).
// Returns false with a reason in *why.
bool dbf_parse_field(const char* text, FieldSpec* out, std::string* why);

// Writes a new, empty table with these fields. An existing file of that
// name is replaced only when `replace` is set. 0 / 1 with a message on err.
int dbf_create_table(const char* name, const std::vector<FieldSpec>& fields, std::FILE* err,
                     bool replace = true);

// Writes a new index of the open store's table `name`: the header and an
// empty root, then every record's key through the store's insert path.
// The store must be initialised. 0 / 1.
// The index file is opened exclusively (refused when another program has it
// open) and held so until the build ends; an existing one is replaced only
// when `replace` is set.
int dbf_build_index(const char* table, const char* index, const char* expression, bool unique,
                    std::FILE* err, bool replace = true);

// Checks index number `index` (open in the store, of the selected table)
// against its table. Writes one line per fault ("page OFFSET item I: ...")
// to out and returns the number of faults, or -1 when the file could not be
// read at all. Not strict: what an index kept up to date may lawfully show
// (equal keys out of record-number order, leaves at different depths, a
// unique index's entry that is not its key's first record) is written as a
// note ("page OFFSET item I: note: ...") and counted in *notes; strict: as
// faults. The form without strict is strict (for indexes just built).
int dbf_check_open_index(int index, std::FILE* out, bool strict, int* notes);
int dbf_check_open_index(int index, std::FILE* out);

// Starts the store for a command: reports as one line (no block), every
// open with open_flags (u4read_only for the read-only commands). 0 / -1.
int dbf_store_start(int open_flags = 0);

// Writes "dbftool: PATH: reason" to err, the reason being the one given or
// else what the last failure of the store or the platform says. Returns 1.
int dbf_fail(std::FILE* err, const char* path, const char* reason = nullptr);

// Opens and selects a table (starting the store with open_flags), or an
// index of table; the number, or -1 after dbf_fail.
int dbf_open_table(const char* name, int open_flags, std::FILE* err);
int dbf_open_index(int table, const char* name, std::FILE* err);

// --quiet: no progress line.
extern bool dbf_quiet;

// A percentage line on standard error while long work goes on, only when
// standard error is a terminal and --quiet was not given.
class DbfProgress {
  public:
    DbfProgress(const char* what, long total);
    ~DbfProgress();
    DbfProgress(const DbfProgress&) = delete;
    DbfProgress& operator=(const DbfProgress&) = delete;
    void step(long done);

  private:
    const char* what_;
    long total_;
    bool shown_;
    int last_ = -1;
};

// The commands as the program runs them (argv without the program and the
// command name). Each initialises the store when needed.
int dbf_command_info(int argc, char** argv, std::FILE* out, std::FILE* err);
int dbf_command_dump(int argc, char** argv, std::FILE* out, std::FILE* err);
int dbf_command_seek(int argc, char** argv, std::FILE* out, std::FILE* err);
int dbf_command_create(int argc, char** argv, std::FILE* out, std::FILE* err);
int dbf_command_index(int argc, char** argv, std::FILE* out, std::FILE* err);
int dbf_command_check(int argc, char** argv, std::FILE* out, std::FILE* err);
int dbf_command_load(int argc, char** argv, std::FILE* out, std::FILE* err);
int dbf_command_append(int argc, char** argv, std::FILE* out, std::FILE* err);
int dbf_command_import(int argc, char** argv, std::FILE* out, std::FILE* err);
