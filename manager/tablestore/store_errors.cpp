// The error table and e4error_report: numbered reports to standard error,
// the last error number and the last report kept for the manager's log.
#include "manager/tablestore/store_errors.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "manager/tablestore/store.h"

const ErrorEntry e4error_table[48] = {
    {100, "Creating File"},
    {120, "Opening File"},
    {140, "Reading from File"},
    {150, "Seeking to File Position"},
    {160, "Writing to File"},
    {180, "Closing File"},
    {190, "Removing File"},
    {200, "File is not a Database:"},
    {240, "No Open Database"},
    {260, "Record Length is Too Large"},
    {270, "Unrecognized Field"},
    {300, "Building Index File"},
    {310, "Closing Index File"},
    {320, "File is not an Index File"},
    {330, "Index File is out of Date"},
    {335, "Index File Record does not Exist"},
    {340, "Key is not Unique"},
    {350, "Key Evaluates to Logical Result"},
    {360, "Key Length or Type has Changed"},
    {370, "Key Length over 100 Characters"},
    {380, "Seek on Database with no Index File"},
    {595, "Wrong Number of Parameters in Expression"},
    {400, "Locking a File"},
    {450, "Unlocking a File"},
    {500, "Database not Located while Evaluating Expression"},
    {510, "Executing Null Expression"},
    {520, "Expecting \",\" or \")\" while Evaluating Expression"},
    {530, "Expression is not Complete"},
    {515, "Illegal Date"},
    {540, "Overflow while Evaluating Expression"},
    {550, "Parameter or Operator has the Wrong Type"},
    {560, "Right Bracket Missing in Expression"},
    {570, "Unrecognized Function in Expression"},
    {575, "Unrecognized Operator in Expression"},
    {580, "Unrecognized Value in Expression"},
    {590, "Unterminated String in Expression"},
    {600, "Editing Memo File with Editor"},
    {620, "Memo File Name Inconsistency"},
    {640, "Memo File Entry is over 32767 Bytes"},
    {700, "Illegal Window Reference Number"},
    {840, "Relating Databases"},
    {820, "No Controlling Database"},
    {800, "Illegal Related Database"},
    {900, "Out of Memory"},
    {920, "Memory Allocation Error"},
    {950, "Overwritten Memory"},
    {1000, "Not Enough Memory to Sort"},
    {1010, "Too Many Records in Sort"},
};

namespace {

// Room for the longest report the store makes (a 256-character expression
// text and a file name are the longest extras); longer reports are cut.
constexpr std::size_t kReportSize = 2048;

char last_report[kReportSize];
int interactive = 0;
int to_stderr = 1;
ReportHook report_hook = nullptr;
long report_count = 0;

// Appends "\n" and text to the report being built, cutting at its end.
void append_line(char* report, std::size_t& used, const char* text) {
    const std::size_t room = kReportSize - 1;
    if (used < room) report[used++] = '\n';
    for (; *text != '\0' && used < room; ++text) report[used++] = *text;
    report[used] = '\0';
}

} // namespace

const char* e4error_message(int code) {
    for (const ErrorEntry& e : e4error_table)
        if (e.code == code) return e.message;
    return nullptr;
}

int e4error_report(int code, ...) {
    g4.last_error = code;
    ++report_count;

    std::size_t used = 0;
    last_report[0] = '\0';
    char number[16];
    std::snprintf(number, sizeof number, "%10d", code);
    append_line(last_report, used, "Error Number: ");
    append_line(last_report, used, number);
    append_line(last_report, used, "");
    if (const char* message = e4error_message(code)) append_line(last_report, used, message);
    va_list texts;
    va_start(texts, code);
    while (const char* text = va_arg(texts, const char*)) append_line(last_report, used, text);
    va_end(texts);
    append_line(last_report, used, "Press a key ...");

    if (to_stderr) {
        std::fwrite(last_report, 1, used, stderr);
        std::fflush(stderr);
    }
    if (report_hook != nullptr) report_hook(code, last_report);

    const int key = e4read_key();
    if (code == err4out_of_memory || code == err4allocation || code == err4overwritten)
        std::exit(1);
    return key;
}

int e4read_key() {
    if (!interactive) return -1;
    const int c = std::getchar();
    return c == EOF ? -1 : c;
}

void e4set_interactive(int on) {
    interactive = on != 0;
}
int e4interactive() {
    return interactive;
}

long e4report_count() {
    return report_count;
}

int e4last_error() {
    return g4.last_error;
}
void e4set_last_error(int code) {
    g4.last_error = code;
}

const char* e4last_report() {
    return last_report;
}

void e4set_report_to_stderr(int on) {
    to_stderr = on != 0;
}

void e4set_report_hook(ReportHook hook) {
    report_hook = hook;
}
