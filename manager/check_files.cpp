// wtalvoc --check, the files' part: talvo.cfg read and every field judged,
// every table and index opened read only and checked in full (and whether
// the user running the check may write it), the application images, the
// journal and logs, and the data directory's owner and modes. Nothing is
// written and no running copy is asked anything: the check may run beside
// one.
#include "manager/check.h"

#include <cstdarg>
#include <cstring>

#include "manager/config.h"
#include "manager/journal.h"
#include "manager/store_log.h"
#include "manager/tablestore/fileio.h"
#include "manager/tablestore/index_verify.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/store_errors.h"
#include "manager/tablestore/tables.h"
#include "platform/diagnose.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/ownership.h"

namespace {

constexpr const char* kConfigFile = "talvo.cfg";
constexpr const char* kDriverLogs[] = {"CommErrors.txt", "excecoes.txt"};
// More faults than this in one record: it is no configuration at all.
constexpr int kGarbageFaults = 12;
constexpr std::int64_t kJournalHeader = 64;

struct Checker {
    std::FILE* out;
    int problems = 0;
    char user[64] = "";
    unsigned uid = 0;

    // One line: the file's host path, what is wrong, the fix.
    void Problem(const char* name, const char* reason, const char* fix) {
        char path[plat::kMaxPath];
        plat::HostPathOf(name, false, path, sizeof path);
        std::fprintf(out, "%s: %s; fix: %s\n", path, reason, fix);
        ++problems;
    }
};

// Printable in Windows-1252: no control characters (C0, DEL, 0x80..0x9F).
bool Printable(const char* field, std::size_t n) {
    for (std::size_t i = 0; i < n; ++i) {
        const auto c = static_cast<unsigned char>(field[i]);
        if (c < 0x20 || (c >= 0x7F && c < 0xA0)) return false;
    }
    return true;
}

bool StartsWithLetter(const char* name) {
    const char c = name[0];
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// A name field as text: terminated within its 64 bytes and printable.
// Writes the name (cut) into out; false with *why when it is not.
bool NameField(const char* field, char (&out)[kConfigNameSize + 1], const char** why) {
    const std::size_t n = ConfigTextLength(field);
    std::memcpy(out, field, n);
    out[n] = '\0';
    if (n == kConfigNameSize) {
        *why = "fills its 64 bytes without an end";
        return false;
    }
    if (!Printable(field, n)) {
        *why = "holds control characters";
        return false;
    }
    return true;
}

// The faults of a record, as text lines kept until it is known whether the
// record is a configuration at all.
struct Faults {
    static constexpr int kMax = 128;
    char text[kMax][160];
    int count = 0;
    // Every format is a literal of this file: GCC and clang check each
    // call's arguments against it.
    __attribute__((format(printf, 2, 3))) void Add(const char* format, ...) {
        if (count < kMax) {
            std::va_list args;
            va_start(args, format);
            std::vsnprintf(text[count], sizeof text[count], format, args);
            va_end(args);
        }
        ++count;
    }
};

void JudgeTerminals(const ConfigRecord& c, Faults* f) {
    if (c.TerminalsDeclared == 0) f->Add("no terminal is declared (byte 64 is 0)");
    bool served = false;
    for (int s = 0; s < kConfigSlots; ++s) {
        const unsigned address = c.TerminalAddress[s];
        if (address == 0) continue;
        if (address == 1) f->Add("slot %d: address 1 is the PC's own address on the line", s);
        for (int t = 0; t < s; ++t)
            if (c.TerminalAddress[t] == address)
                f->Add("slot %d: address %u is also slot %d's", s, address, t);
        char name[kConfigNameSize + 1];
        const char* why = "";
        if (!NameField(c.TerminalApplication[s], name, &why))
            f->Add("slot %d: the application name %s", s, why);
        else if (std::strlen(name) <= 4)
            f->Add("slot %d: address %u has no application name of more than 4 characters", s,
                   address);
        else
            served = true;
    }
    if (c.TerminalsDeclared != 0 && !served)
        f->Add("no terminal has both an address and an application name");
}

void JudgeDataFiles(const ConfigRecord& c, Faults* f) {
    for (int j = 0; j < kConfigDataFiles; ++j) {
        char name[kConfigNameSize + 1];
        const char* why = "";
        const bool text = NameField(c.DataFileName[j], name, &why);
        if (!StartsWithLetter(c.DataFileName[j])) continue; // not in use: skipped
        if (!text) {
            f->Add("data file %d: the name %s", j + 1, why);
            continue;
        }
        const char kind = c.DataFileKind[j];
        if (kind != kConfigKindText && kind != kConfigKindTable && kind != kConfigKindIndex &&
            kind != kConfigKindIndexC) {
            f->Add("data file %d (%s): kind %d is none of A, D, I, C", j + 1, name,
                   static_cast<unsigned char>(kind));
            continue;
        }
        if (kind == kConfigKindIndex || kind == kConfigKindIndexC) {
            const int t = c.DataFileTable[j];
            if (t < 1 || t > kConfigDataFiles || c.DataFileKind[t - 1] != kConfigKindTable ||
                !StartsWithLetter(c.DataFileName[t - 1]))
                f->Add("data file %d (%s): an index of data file %d, which is no table", j + 1,
                       name, t);
        }
        for (int k = 0; k < j; ++k)
            if (StartsWithLetter(c.DataFileName[k]) &&
                std::strncmp(c.DataFileName[k], c.DataFileName[j], kConfigNameSize) == 0)
                f->Add("data file %d: %s is also data file %d", j + 1, name, k + 1);
    }
}

void JudgeRest(const ConfigRecord& c, Faults* f) {
    if (ConfigChosenPort(c) < 0) f->Add("no port is enabled (COM1..COM4 all off)");
    if (c.DefaultOutput > kConfigOutputs)
        f->Add("the default output device %u is none of 1..6", c.DefaultOutput);
}

// talvo.cfg: its owner and modes, that the manager can open it, and every
// field. True with the record when it can be used for the file checks.
bool CheckConfig(Checker* k, ConfigRecord* c) {
    plat::FileFacts facts;
    if (const std::uint32_t rc = plat::FileFactsOf(kConfigFile, &facts); rc != 0) {
        k->Problem(kConfigFile, plat::ErrorText(rc),
                   "write it from its description with talvocfg build");
        return false;
    }
    char reason[300];
    if ((facts.mode & 022) != 0)
        k->Problem(kConfigFile, "can be written by other users (it chooses what terminals reach)",
                   "chmod go-w talvo.cfg");
    plat::FileHandle h = plat::kNoFile;
    if (const std::uint32_t rc = plat::FileOpen(kConfigFile, plat::kAccessReadWrite,
                                                plat::FileCreate::kOpenExisting, &h);
        rc != 0) {
        std::snprintf(reason, sizeof reason, "%s: the manager opens it for reading and writing",
                      plat::ErrorText(rc));
        k->Problem(kConfigFile, reason, "chown it to the manager's user, mode 0640");
        if (plat::FileOpen(kConfigFile, plat::kAccessRead, plat::FileCreate::kOpenExisting, &h) !=
            0)
            return false;
    }
    plat::FileOwner owner(h);
    std::uint32_t done = 0;
    plat::FileRead(h, c, sizeof *c, &done);
    if (done < sizeof *c) {
        std::snprintf(reason, sizeof reason, "%u bytes, a configuration has %zu",
                      static_cast<unsigned>(done), sizeof *c);
        k->Problem(kConfigFile, reason, "write it again with talvocfg build");
        return false;
    }
    SwapConfigurationOrder(c);
    static Faults f;
    f.count = 0;
    JudgeTerminals(*c, &f);
    JudgeDataFiles(*c, &f);
    JudgeRest(*c, &f);
    if (f.count > kGarbageFaults) {
        std::snprintf(reason, sizeof reason,
                      "not a configuration record (%d faults, the first: %s)", f.count, f.text[0]);
        k->Problem(kConfigFile, reason, "write it again with talvocfg build");
        return false;
    }
    for (int i = 0; i < f.count && i < Faults::kMax; ++i)
        k->Problem(kConfigFile, f.text[i], "mend the description and run talvocfg build");
    return true; // faults of single fields still leave the files to check
}

// Whether the user running the check may write the file (an existing-file
// open for reading and writing, closed at once: nothing is written).
void CheckWritable(Checker* k, const char* name, const char* what) {
    plat::FileHandle h = plat::kNoFile;
    const std::uint32_t rc =
        plat::FileOpen(name, plat::kAccessReadWrite, plat::FileCreate::kOpenExisting, &h);
    if (rc == 0) {
        plat::FileClose(h);
        return;
    }
    char reason[200], fix[200];
    std::snprintf(reason, sizeof reason, "%s: %s cannot write it", plat::ErrorText(rc), k->user);
    std::snprintf(fix, sizeof fix, "give %s read and write access (chown or chmod)", what);
    k->Problem(name, reason, fix);
}

// Why the store refused to open a file: the system's reason when it does
// not even open for reading, else the store's own message.
void StoreRefusal(const char* name, char* reason, std::size_t size) {
    plat::FileHandle h = plat::kNoFile;
    if (const std::uint32_t rc =
            plat::FileOpen(name, plat::kAccessRead, plat::FileCreate::kOpenExisting, &h);
        rc != 0) {
        std::snprintf(reason, size, "%s", plat::ErrorText(rc));
        return;
    }
    plat::FileClose(h);
    const int code = e4last_error();
    const char* message = e4error_message(code);
    std::snprintf(reason, size, "the table store refuses it: error %d%s%s", code,
                  message ? " " : "", message ? message : "");
}

void CheckIndex(Checker* k, const char* name, const char* table) {
    char normal[u4name_size];
    u4name_normalise(name, ".NTX", normal);
    char reason[600], fix[300];
    e4set_last_error(0);
    const int index = i4open_index(name);
    std::snprintf(fix, sizeof fix, "rebuild it: dbftool index --force %s %s EXPRESSION", table,
                  normal);
    if (index < 0) {
        StoreRefusal(normal, reason, sizeof reason);
        k->Problem(normal, reason, fix);
        return;
    }
    char why[400];
    if (i4verify(index, 1, why, sizeof why) != 0) {
        // The index's own expression, when its header still holds one.
        if (const IndexHandle* h = i4index(index); h != nullptr && i4expression_text(h) != nullptr)
            std::snprintf(fix, sizeof fix, "rebuild it: dbftool index %s--force %s %s '%s'",
                          h->unique ? "--unique " : "", table, normal, i4expression_text(h));
        std::snprintf(reason, sizeof reason, "damaged: %s", why);
        k->Problem(normal, reason, fix);
    }
    CheckWritable(k, normal, "the manager's user");
}

void CheckTables(Checker* k, const ConfigRecord& c) {
    if (d4initialize(1, 1, 25, 256, 0) != 0) return;
    const int flags = u4set_open_flags(u4read_only);
    e4set_report_to_stderr(0);
    for (int j = 0; j < kConfigDataFiles; ++j) {
        char name[kConfigNameSize + 1];
        const char* why = "";
        if (!StartsWithLetter(c.DataFileName[j]) || !NameField(c.DataFileName[j], name, &why))
            continue;
        const char kind = c.DataFileKind[j];
        char reason[600];
        if (kind == kConfigKindText) {
            if (const std::uint32_t rc = plat::FileExists(name); rc != 0)
                k->Problem(name, plat::ErrorText(rc), "create it, or take it out of talvo.cfg");
            else
                CheckWritable(k, name, "the manager's user");
            continue;
        }
        if (kind != kConfigKindTable) continue;
        char normal[u4name_size];
        u4name_normalise(name, ".DBF", normal);
        e4set_last_error(0);
        if (d4open_table(name) < 0) {
            StoreRefusal(normal, reason, sizeof reason);
            k->Problem(normal, reason, "put the table there, readable by the manager's user");
            continue;
        }
        CheckWritable(k, normal, "the manager's user");
        for (int i = 0; i < kConfigDataFiles; ++i) {
            char index[kConfigNameSize + 1];
            if ((c.DataFileKind[i] != kConfigKindIndex && c.DataFileKind[i] != kConfigKindIndexC) ||
                c.DataFileTable[i] != j + 1 || !StartsWithLetter(c.DataFileName[i]) ||
                !NameField(c.DataFileName[i], index, &why))
                continue;
            CheckIndex(k, index, normal);
        }
    }
    // Handles opened read only cannot write anything as they close (no
    // stamp: the append lock needs a handle open for writing).
    d4close_all_tables();
    d4reset_store();
    u4set_open_flags(flags);
    e4set_report_to_stderr(1);
}

void CheckImages(Checker* k, const ConfigRecord& c) {
    for (int s = 0; s < kConfigSlots; ++s) {
        char name[kConfigNameSize + 1];
        const char* why = "";
        if (c.TerminalAddress[s] == 0 || !NameField(c.TerminalApplication[s], name, &why) ||
            std::strlen(name) <= 4)
            continue;
        plat::FileHandle h = plat::kNoFile;
        if (const std::uint32_t rc =
                plat::FileOpen(name, plat::kAccessRead, plat::FileCreate::kOpenExisting, &h);
            rc != 0) {
            // Not counted: the manager serves without it; only that
            // terminal's download is refused.
            char path[plat::kMaxPath];
            std::fprintf(k->out,
                         "%s: note: the application image of slot %d: %s (its terminal cannot "
                         "load it)\n",
                         plat::HostPathOf(name, false, path, sizeof path), s, plat::ErrorText(rc));
        } else {
            plat::FileClose(h);
        }
    }
}

// The directory: owned by the operator, written by nobody else, and the
// journal, the logs and the socket can be made in it.
void CheckDirectory(Checker* k) {
    plat::FileFacts dir;
    if (plat::FileFactsOf(".", &dir) != 0) return;
    char owner[64], reason[300];
    plat::InstanceUserName(dir.uid, owner, sizeof owner);
    if ((dir.mode & 022) != 0)
        k->Problem(".", "can be written by other users (they would choose what terminals reach)",
                   "chmod 0750 on the data directory");
    if (dir.uid != k->uid && dir.uid != 0 && k->uid != 0) {
        std::snprintf(reason, sizeof reason, "owned by %s, not by %s who runs the check", owner,
                      k->user);
        k->Problem(".", reason, "chown the directory to the manager's user");
    }
    if (const std::uint32_t rc = plat::DirectoryWritable("."); rc != 0) {
        std::snprintf(reason, sizeof reason,
                      "%s: %s cannot create the journal, the logs and the socket here",
                      plat::ErrorText(rc), k->user);
        k->Problem(".", reason, "chown the directory to the manager's user, mode 0750");
    }
}

void CheckJournalAndLogs(Checker* k) {
    plat::FileFacts facts;
    if (plat::FileFactsOf(kJournalFile, &facts) == 0) {
        CheckWritable(k, kJournalFile, "the manager's user");
        char path[plat::kMaxPath];
        plat::HostPathOf(kJournalFile, false, path, sizeof path);
        if ((facts.mode & 022) != 0)
            k->Problem(kJournalFile,
                       "can be written by other users (its undo records are "
                       "written back at start)",
                       "chmod 0600 talvo.jnl");
        else if ((facts.mode & 044) != 0)
            std::fprintf(k->out,
                         "%s: note: can be read by other users (it holds record images); "
                         "chmod 0600 talvo.jnl\n",
                         path);
        if (facts.size > kJournalHeader)
            std::fprintf(k->out,
                         "%s: note: holds an unfinished change, undone when the manager starts\n",
                         path);
    }
    for (const char* log : kDriverLogs)
        if (plat::FileExists(log) == 0) CheckWritable(k, log, "the manager's user");
    if (plat::FileExists(kStoreLogFile) == 0) CheckWritable(k, kStoreLogFile, "the manager's user");
}

} // namespace

int CheckFiles(std::FILE* out) {
    Checker k{out};
    k.uid = plat::CurrentUser();
    plat::InstanceUserName(k.uid, k.user, sizeof k.user);
    CheckDirectory(&k);
    static ConfigRecord c;
    if (CheckConfig(&k, &c)) {
        CheckTables(&k, c);
        CheckImages(&k, c);
    }
    CheckJournalAndLogs(&k);
    return k.problems;
}
