// What dbftool's commands share: starting the store quietly, opening tables
// and indexes in the share mode a command needs, one-line complaints that
// name the file and the reason, and the progress line on a terminal.
#include <cstring>
#include <unistd.h>

#include "manager/tablestore/fileio.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/store_errors.h"
#include "manager/tablestore/tables.h"
#include "platform/diagnose.h"
#include "platform/errors.h"
#include "tools/dbftool/dbftool.h"

bool dbf_quiet = false;

int dbf_store_start(int open_flags) {
    // The store's numbered report is a block for a console: dbftool writes
    // its own line instead (dbf_fail).
    e4set_report_to_stderr(0);
    u4set_open_flags(open_flags);
    if (!g4.initialized && d4initialize(10, 10, 25, 3000, 0) < 0) return -1;
    return 0;
}

int dbf_fail(std::FILE* err, const char* path, const char* reason) {
    char text[128];
    if (reason == nullptr) {
        const int code = e4last_error();
        const std::uint32_t os = plat::LastError();
        if ((code == err4open || code == err4create || code == 0) && os != 0) {
            reason = plat::ErrorText(os);
            if (os == plat::kErrAccessDenied) reason = std::strerror(EACCES);
        } else if (const char* message = e4error_message(code); message != nullptr) {
            std::snprintf(text, sizeof text, "%s", message);
            const std::size_t n = std::strlen(text);
            if (n > 0 && text[n - 1] == ':') text[n - 1] = '\0'; // "File is not a Database:"
            reason = text;
        } else {
            reason = "cannot be used";
        }
    }
    std::fprintf(err, "dbftool: %s: %s\n", path, reason);
    return 1;
}

int dbf_open_table(const char* name, int open_flags, std::FILE* err) {
    if (dbf_store_start(open_flags) < 0) return -1;
    e4set_last_error(0);
    plat::SetLastError(0);
    const int table = d4open_table(name);
    if (table < 0) {
        dbf_fail(err, name);
        return -1;
    }
    d4select_table(table);
    return table;
}

int dbf_open_index(int table, const char* name, std::FILE* err) {
    d4select_table(table);
    e4set_last_error(0);
    plat::SetLastError(0);
    const int index = i4open_index(name);
    if (index < 0) dbf_fail(err, name);
    return index;
}

DbfProgress::DbfProgress(const char* what, long total)
    : what_(what), total_(total), shown_(!dbf_quiet && total > 0 && ::isatty(2) == 1) {}

void DbfProgress::step(long done) {
    if (!shown_) return;
    const int percent = static_cast<int>(done * 100 / total_);
    if (percent == last_) return;
    last_ = percent;
    std::fprintf(stderr, "\rdbftool: %s: %3d%%", what_, percent);
    std::fflush(stderr);
}

DbfProgress::~DbfProgress() {
    if (shown_ && last_ >= 0) std::fputc('\n', stderr);
}
