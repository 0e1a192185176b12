// The table store's numbered errors: the code -> message table and the one
// routine that reports a failure.
//
// Every routine of the store that fails calls e4error_report(code, texts...,
// nullptr) and then returns its own negative result; nothing is retried.
// The report goes to standard error (never to the console handle the manager
// does not have), is kept as the last report for the manager's own log, and
// waits for a key only when the store was told to run interactively.
// Codes 900, 920 and 950 are fatal: the program ends with exit status 1.
#pragma once

#include <cstddef>

// The codes the store raises (the table holds a few more, never raised).
enum : int {
    err4create = 100,
    err4open = 120,
    err4read = 140,
    err4seek = 150,
    err4write = 160,
    err4close = 180,
    err4remove = 190,
    err4data = 200,
    err4no_table = 240,
    err4record_length = 260,
    err4field_name = 270,
    err4index_build = 300,
    err4index_close = 310,
    err4index_file = 320,
    err4index_date = 330,
    err4index_record = 335,
    err4unique = 340,
    err4key_logical = 350,
    err4key_changed = 360,
    err4key_length = 370,
    err4no_index = 380,
    err4parameters = 595,
    err4lock = 400,
    err4unlock = 450,
    err4table_not_located = 500,
    err4null_expression = 510,
    err4comma_or_bracket = 520,
    err4incomplete = 530,
    err4illegal_date = 515,
    err4overflow = 540,
    err4type = 550,
    err4right_bracket = 560,
    err4function = 570,
    err4operator = 575,
    err4value = 580,
    err4string = 590,
    err4out_of_memory = 900,
    err4allocation = 920,
    err4overwritten = 950,
};

// One entry of the error table.
struct ErrorEntry {
    int code;
    const char* message;
};

// The 48 entries, in the order they are searched.
extern const ErrorEntry e4error_table[48];

// The message of code, or null when the code is not in the table.
const char* e4error_message(int code);

// Reports code with any number of extra texts, the list ending with a null
// pointer: e4error_report(err4read, name, "Record: ", number_text, nullptr).
// Writes, each preceded by a newline: "Error Number: ", the code right-aligned
// in 10 characters, an empty text, the code's message (when the code is in
// the table), each extra text, "Press a key ...". Sets the last error number,
// keeps the report text (see e4last_report), calls the report hook, reads a
// key (e4read_key) and, for 900 / 920 / 950, ends the program with status 1.
// Returns the key code, or -1 when no key was read (the usual case).
int e4error_report(int code, ...);

// Waits for one key on the terminal when the store runs interactively and
// returns its code; -1 at once otherwise or when standard input has ended.
int e4read_key();

// Interactive setting: when on, e4error_report waits for a key after each
// report. Off by default; the manager never sets it.
void e4set_interactive(int on);
int e4interactive();

// Reports made since the process started.
long e4report_count();

// The code of the most recent report; 0 after d4initialize.
int e4last_error();
void e4set_last_error(int code);

// The text of the most recent report, exactly as written to standard error
// (empty before the first report). The buffer is owned by the store.
const char* e4last_report();

// Whether a report is written to standard error as it is made (on by
// default). The manager turns it off and writes its own one-line form.
void e4set_report_to_stderr(int on);

// A routine called with the text of every report just after it is written
// and before a fatal code ends the program (so the manager can log it).
// Null removes the hook.
using ReportHook = void (*)(int code, const char* report);
void e4set_report_hook(ReportHook hook);
