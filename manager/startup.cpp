// Start-up, Initialise, the port choice, the polled list and Shutdown.
#include "manager/startup.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "manager/check.h"
#include "manager/cmdline.h"
#include "manager/config.h"
#include "manager/journal.h"
#include "manager/link.h"
#include "manager/mainloop.h"
#include "manager/monitor.h"
#include "manager/requests/locks.h"
#include "manager/requests/writeback.h"
#include "manager/runtime.h"
#include "manager/status.h"
#include "manager/store_log.h"
#include "manager/tablestore/fileio.h"
#include "manager/tablestore/index_verify.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/store_errors.h"
#include "manager/tablestore/tables.h"
#include "manager/window.h"
#include "platform/diagnose.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/logline.h"
#include "platform/rtlimit.h"
#include "platform/ui.h"
#include "platform/ui_x11.h"
#include "version.h"

namespace {

constexpr const char* kPortNames[4] = {"COM1", "COM2", "COM3", "COM4"};
constexpr const char* kNoMemory = "Memoria Insuficiente para Instalacao";
constexpr const char* kStoreNoMemory = "Memoria Insuficiente Para Instalacao!\n";
constexpr const char* kTextOpenError = "Erro ao Abrir Arquivo Texto ";
constexpr const char* kOpenError = "Erro ao Abrir Arquivo ";
constexpr const char* kOutputBuffersError = "Erro de Alocacao dos Buffers de Impressao!";
constexpr std::size_t kNameField = 64;
constexpr const char* kConfigFileName = "talvo.cfg";
constexpr std::uint32_t kStatusWaitMs = 5000;
constexpr int kNotRunningStatus = 3;

// ---- The configuration's fields, read with their bounds checked ----

std::uint16_t ConfiguredAddress(int slot) {
    return Config.TerminalAddress[slot];
}

// Data-file entry j's name, always terminated inside its 64 bytes.
void EntryName(int j, char (&out)[kNameField + 1]) {
    std::memcpy(out, Config.DataFileName[j], kNameField);
    out[kNameField] = '\0';
}

char EntryKind(int j) {
    return static_cast<char>(Config.DataFileKind[j]);
}

int EntryTable(int j) {
    return Config.DataFileTable[j];
}

bool StartsWithLetter(const char* name) {
    const char c = name[0];
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

void SetMessage(const char* text, const char* name = "") {
    std::snprintf(MessageBuffer, sizeof MessageBuffer, "%s%s", text, name);
}

// One line on standard error for the operator: the name as configured, the
// host path it resolved to and the reason ("COM1 -> /dev/ttyUSB0: ...").
void TellOperator(const char* name, const char* path, const char* reason) {
    char shown[4 * kNameField + 8];
    plat::Cp1252ToUtf8(name, shown, sizeof shown);
    plat::LogLine(plat::LogLevel::kError, "wtalvoc: %s -> %s: %s", shown, path, reason);
}

// Whether the file opens for reading and writing as the manager opens it.
bool OpensForWriting(const char* name) {
    plat::FileHandle h = plat::kNoFile;
    if (plat::FileOpen(name, plat::kAccessReadWrite, plat::FileCreate::kOpenExisting, &h) != 0)
        return false;
    plat::FileClose(h);
    return true;
}

// A data file that could not be opened: the system's reason when the file
// itself cannot be opened (missing, Permission denied, ...), else what the
// table store found wrong in it.
void TellFileFailure(const char* name, bool table) {
    const std::uint32_t code = plat::LastError();
    char path[plat::kMaxPath];
    char reason[256];
    plat::HostPathOf(name, false, path, sizeof path);
    plat::FileFailureReason(name, code, reason, sizeof reason);
    const int store_error = e4last_error();
    if (table && code != plat::kErrSharingViolation && OpensForWriting(name) && store_error != 0) {
        const char* message = e4error_message(store_error);
        const int n = std::snprintf(reason, sizeof reason, "error %d of the table store%s%s",
                                    store_error, message ? ": " : "", message ? message : "");
        // "File is not a Database:" ends with a colon of its own.
        if (n > 0 && static_cast<std::size_t>(n) < sizeof reason && reason[n - 1] == ':')
            reason[n - 1] = '\0';
    }
    TellOperator(name, path, reason);
}

// The configuration could not be used: why, in the operator's words.
void TellConfigFailure() {
    char path[plat::kMaxPath];
    char reason[256];
    plat::HostPathOf(kConfigFileName, false, path, sizeof path);
    if (std::strcmp(MessageBuffer, kConfigMissingMessage) == 0) {
        plat::FileFailureReason(kConfigFileName, plat::LastError(), reason, sizeof reason);
    } else if (std::strcmp(MessageBuffer, kConfigShortMessage) == 0) {
        std::int64_t size = -1;
        plat::FileHandle h = plat::kNoFile;
        if (plat::FileOpen(kConfigFileName, plat::kAccessRead, plat::FileCreate::kOpenExisting,
                           &h) == 0) {
            plat::FileSize(h, &size);
            plat::FileClose(h);
        }
        std::snprintf(reason, sizeof reason, "%lld bytes, a configuration has %zu",
                      static_cast<long long>(size), kConfigRecordSize);
    } else if (std::strcmp(MessageBuffer, kConfigNoTerminalsMessage) == 0) {
        std::snprintf(reason, sizeof reason, "no terminal is declared");
    } else {
        std::snprintf(reason, sizeof reason,
                      "no terminal has both an address and an application name of more than 4 "
                      "characters");
    }
    TellOperator(kConfigFileName, path, reason);
}

// Opens every index entry of table entry j (table just opened and selected).
bool OpenIndexesOf(int j) {
    for (int k = 0; k < kDataFiles; ++k) {
        const char kind = EntryKind(k);
        if (kind != 'I' && kind != 'C') continue;
        if (EntryTable(k) != j + 1) continue;
        char name[kNameField + 1];
        EntryName(k, name);
        if (!StartsWithLetter(name)) continue;
        e4set_last_error(0);
        const int index = i4open_index(name);
        if (index < 0) {
            TellFileFailure(name, true);
            SetMessage(kOpenError, name);
            return false;
        }
        DataFileHandle[static_cast<std::size_t>(k)] = index;
    }
    return true;
}

void ShowFailure(const char* text) {
    plat::ShowMessageBox(text, nullptr, plat::kMbOk | plat::kMbIconExclamation);
}

// The journal could not be opened, created or written: its path and why.
void TellJournalFailure() {
    const std::uint32_t code = plat::LastError();
    char path[plat::kMaxPath];
    char reason[256];
    plat::HostPathOf(kJournalFile, false, path, sizeof path);
    if (plat::FileExists(kJournalFile) != 0)
        std::snprintf(reason, sizeof reason, "cannot be created in the directory: %s",
                      plat::ErrorText(code != 0 ? code : plat::kErrAccessDenied));
    else
        plat::FileFailureReason(kJournalFile, code, reason, sizeof reason);
    TellOperator(kJournalFile, path, reason);
}

// After a stop that was not in order the journal arms the full check of
// every index (journal.h); say so, and whether a change was undone.
void TellUncleanStop(std::int64_t journal_size) {
    if (i4open_check() != 2) return;
    constexpr std::int64_t kJournalHeader = 64;
    plat::LogLine(plat::LogLevel::kWarning,
                  "wtalvoc: the last stop was not in order (killed, or the power failed): %s; "
                  "every index gets the full check as it opens",
                  journal_size > kJournalHeader
                      ? "the journal's unfinished change was undone (the start-up repair line "
                        "says what)"
                      : "the journal held no unfinished change");
}

} // namespace

// The table store as the manager runs it: one table and one index slot to
// start with (the pools grow by five as terminals' tables open), a 256-byte
// expression work buffer, and a page pool of 25 slots that may grow to
// kPageBudget slots (about 8.5 MB of 1,044-byte slots), no index keeping
// more than kPagesPerIndex pages (about 2 MB). 2,048 pages hold every branch
// page of a 1,000,000-record index with keys of up to about 20 bytes (the
// levels above the leaves are some 4 % of its pages, and a full cache gives
// up its leaves first) and the leaves used last, so that a seek reads its
// leaf and little else; four such indexes fit the budget, and more share it,
// the oldest cached leaf giving way.
constexpr int kPageBudget = 8192;
constexpr int kPagesPerIndex = 2048;

// A table or index that another program holds exclusively at start-up (a
// pack or rebuild running) is tried again every 100 ms for kShareWaitMs
// before the start fails; a request never opens a file, so no wait can
// hold up the line later.
constexpr int kShareWaitMs = 3000;

int StartTableStore() {
    if (d4initialize(1, 1, 25, 256, 0) != 0) return -1;
    u4set_open_wait(kShareWaitMs);
    return d4set_page_budget(kPageBudget, kPagesPerIndex);
}

bool Initialise() {
    if (!ReadConfiguration(MessageBuffer)) {
        TellConfigFailure();
        return false;
    }
    CommitAfterWrite = Config.CommitAfterWrite;
    DataFileHandle.fill(-1);
    DataFileLocks.fill(nullptr);
    OutputBuffer.fill(nullptr);
    if (StartTableStore() != 0) {
        SetMessage(kStoreNoMemory);
        return false;
    }
    StartStoreLog();
    // Unfinished changes are undone before any table or index is opened.
    std::int64_t journal_size = 0;
    if (plat::FileHandle h = plat::kNoFile;
        plat::FileOpen(kJournalFile, plat::kAccessRead, plat::FileCreate::kOpenExisting, &h) == 0) {
        plat::FileSize(h, &journal_size);
        plat::FileClose(h);
    }
    if (!JournalStart()) {
        TellJournalFailure();
        return false;
    }
    TellUncleanStop(journal_size);
    for (int j = 0; j < kDataFiles; ++j) {
        const auto e = static_cast<std::size_t>(j);
        char name[kNameField + 1];
        EntryName(j, name);
        if (!StartsWithLetter(name)) continue;
        const char kind = EntryKind(j);
        if (kind == 'A') {
            plat::FileHandle file = plat::kNoFile;
            if (plat::FileOpen(name, plat::kAccessReadWrite, plat::FileCreate::kOpenExisting,
                               &file) != 0) {
                TellFileFailure(name, false);
                SetMessage(kTextOpenError, name);
                return false;
            }
            DataFileHandle[e] = file;
            DataFileLocks[e] = AllocateLockTable(j);
            if (DataFileLocks[e] == nullptr) {
                SetMessage(kNoMemory);
                return false;
            }
        } else if (kind == 'D') {
            e4set_last_error(0);
            const int table = d4open_table(name);
            if (table < 0) {
                TellFileFailure(name, true);
                SetMessage(kOpenError, name);
                return false;
            }
            DataFileHandle[e] = table;
            DataFileLocks[e] = AllocateLockTable(j);
            if (DataFileLocks[e] == nullptr) {
                SetMessage(kNoMemory);
                return false;
            }
            if (!OpenIndexesOf(j)) return false;
        }
    }
    const int default_output = Config.DefaultOutput;
    bool enabled[kOutputDevices];
    for (int d = 0; d < kOutputDevices; ++d) enabled[d] = Config.OutputEnabled[d] != 0;
    // A default device outside 1..6 names no device.
    if (default_output >= 1 && default_output <= kOutputDevices) enabled[default_output - 1] = true;
    for (int d = 0; d < kOutputDevices; ++d) {
        if (!enabled[d]) continue;
        OutputBuffer[static_cast<std::size_t>(d)] = AllocateOutputRecord(d);
        if (OutputBuffer[static_cast<std::size_t>(d)] == nullptr) {
            SetMessage(kOutputBuffersError);
            return false;
        }
    }
    return true;
}

void ChoosePort() {
    PortName[0] = '\0';
    PortBase = 0;
    for (int p = 0; p < 4; ++p) {
        if (Config.PortEnabled[p] == 0) continue;
        std::snprintf(PortName, sizeof PortName, "%s", kPortNames[p]);
        PortBase = Config.PortBaseAddress[p];
    }
}

void BuildPolledList() {
    PolledCount = 0;
    for (int slot = 0; slot < kSlots; ++slot) {
        const std::uint16_t address = ConfiguredAddress(slot);
        if (address != 0) {
            PolledAddress[static_cast<std::size_t>(PolledCount)] = address;
            PolledSlot[static_cast<std::size_t>(PolledCount)] = static_cast<std::int16_t>(slot);
            ++PolledCount;
        }
        TerminalFile[static_cast<std::size_t>(slot)] = -1;
        TerminalIndex[static_cast<std::size_t>(slot)] = -1;
    }
}

int SlotOfAddress(unsigned address) {
    int slot = -1;
    for (int i = 0; i < PolledCount && i < kSlots; ++i)
        if (PolledAddress[static_cast<std::size_t>(i)] == address)
            slot = PolledSlot[static_cast<std::size_t>(i)];
    return slot;
}

void Shutdown() {
    for (int slot = 0; slot < kSlots; ++slot) {
        // The terminal's table must be the selected one for its record lock.
        const auto s = static_cast<std::size_t>(slot);
        if (TerminalFileKind[s] == kKindTable && TerminalFile[s] != -1)
            d4select_table(TerminalFile[s]);
        ReleaseLocks(TerminalLocks[s], slot);
    }
    for (int j = 0; j < kDataFiles; ++j) {
        const auto e = static_cast<std::size_t>(j);
        const int handle = DataFileHandle[e];
        if (handle == -1) continue;
        switch (EntryKind(j)) {
        case 'A':
            plat::FileClose(handle);
            DataFileHandle[e] = -1;
            break;
        case 'D':
            if (d4table(handle) != nullptr) {
                d4select_table(handle);
                d4flush_table(handle);
                WriteTableHeader(1);
                CommitTableFile();
            }
            break;
        case 'I':
            if (i4index(handle) != nullptr) {
                const IndexHandle* h = i4index(handle);
                d4select_table(h->table);
                i4select_index(handle);
                RefreshIndex(handle, 1);
                CommitIndexFile(handle);
            }
            break;
        default: break; // 'C': released when the tables close
        }
    }
    DataFileLocks.fill(nullptr);
    TerminalLocks.fill(nullptr);
    for (OutputRecord*& r : OutputBuffer) r = nullptr;
    // Whatever was written with the commit flag off reaches the disk now.
    plat::FileCommitAll();
    d4close_all_tables();
    JournalStop();
}

void ShowPortError(unsigned number, const char* text) {
    std::snprintf(NumberBuffer, sizeof NumberBuffer, "%u", number);
    std::snprintf(MessageBuffer, sizeof MessageBuffer, "Erro %s%s", NumberBuffer, text);
    ShowFailure(MessageBuffer);
    char reason[256];
    if (text == kPortOpenError)
        plat::DeviceFailureReason(PortName, number, reason, sizeof reason);
    else
        std::snprintf(reason, sizeof reason, "closing failed: %s", plat::ErrorText(number));
    TellOperator(PortName[0] ? PortName : "(no port)", PortName[0] ? PortPath() : "?", reason);
}

namespace {

// --status: asks the copy running here and prints its answer.
int PrintStatus(bool json) {
    static char text[65536];
    char here[plat::kMaxPath];
    plat::HostPathOf(".", false, here, sizeof here);
    const std::uint32_t rc = plat::InstanceQueryStatus(json, text, sizeof text, kStatusWaitMs);
    if (rc == plat::kErrFileNotFound) {
        std::fprintf(stderr, "wtalvoc: no manager is running in %s\n", here);
        return kNotRunningStatus;
    }
    if (rc == plat::kErrAccessDenied) {
        std::fprintf(stderr,
                     "wtalvoc: the manager in %s refused the request (it answers only its own "
                     "user and root)\n",
                     here);
        return 1;
    }
    if (rc != 0) {
        std::fprintf(stderr, "wtalvoc: no answer from the manager in %s: %s\n", here,
                     plat::ErrorText(rc));
        return 1;
    }
    std::fputs(text, stdout);
    return 0;
}

// The start-up line once the port is open: version, directory, port and
// whom it polls.
void TellStarted(const char* here) {
    char line[900];
    int used = std::snprintf(line, sizeof line,
                             "wtalvoc: version %s started in %s (pid %d): %s -> %s open, polling "
                             "%d terminal%s:",
                             kProjectVersion, here, static_cast<int>(::getpid()), PortName,
                             PortPath(), PolledCount, PolledCount == 1 ? "" : "s");
    for (int i = 0; i < PolledCount && used > 0 && static_cast<std::size_t>(used) < sizeof line;
         ++i)
        used += std::snprintf(line + used, sizeof line - static_cast<std::size_t>(used),
                              " %u (slot %d)", PolledAddress[static_cast<std::size_t>(i)],
                              PolledSlot[static_cast<std::size_t>(i)]);
    plat::LogLine(plat::LogLevel::kNotice, "%s", line);
}

// The driver keeps a line thread whose real-time priority was refused at
// normal priority; the operator learns it here, with the fix.
void TellRealtime() {
    if (plat::RealtimeThreadCount() != 0) return;
    plat::LogLine(plat::LogLevel::kWarning,
                  "wtalvoc: real-time priority was refused for the line thread; it runs at normal "
                  "priority (more time-outs on a loaded PC). Fix: LimitRTPRIO=3 in the service "
                  "unit, or an rtprio limit for the user (\"wtalvoc - rtprio 3\" in "
                  "/etc/security/limits.d/)");
}

// The stop line: why the manager stopped.
void TellStopped(const char* here, int status) {
    const plat::StopRequest stop = plat::InstanceLastStop();
    char why[200];
    char user[64];
    switch (stop.cause) {
    case plat::StopCause::kSignal:
        std::snprintf(why, sizeof why, "signal %s",
                      stop.signal == SIGTERM  ? "SIGTERM"
                      : stop.signal == SIGINT ? "SIGINT (Ctrl-C)"
                                              : "SIGHUP");
        break;
    case plat::StopCause::kOtherCopy:
        std::snprintf(why, sizeof why, "asked by another copy (pid %d, user %s)", stop.peer.pid,
                      plat::InstanceUserName(stop.peer.uid, user, sizeof user));
        break;
    case plat::StopCause::kNone: std::snprintf(why, sizeof why, "the window was closed"); break;
    }
    if (status == 0)
        plat::LogLine(plat::LogLevel::kNotice, "wtalvoc: stopped in order in %s: %s", here, why);
    else
        plat::LogLine(plat::LogLevel::kError, "wtalvoc: ended in %s with status %d", here, status);
}

// The claim of the directory: a second copy says which copy it stopped.
// Returns -1 to go on starting, else the exit status.
int ClaimDirectory(const char* here) {
    std::uint32_t error = 0;
    plat::InstancePeer stopped;
    char where[600];
    const plat::InstanceResult claim =
        plat::InstanceClaim(&error, 60000, &stopped, where, sizeof where);
    char user[64];
    if (claim == plat::InstanceResult::kOtherStopped) {
        std::fprintf(stderr,
                     "wtalvoc: stopped the copy running in %s (pid %d, user %s); this copy ends "
                     "too. Starting wtalvoc where one runs stops it: use --check to try a "
                     "configuration.\n",
                     here, stopped.pid, plat::InstanceUserName(stopped.uid, user, sizeof user));
        return 1;
    }
    if (claim == plat::InstanceResult::kFailed) {
        // Unclaimed, the copy could neither be found nor stopped in order.
        plat::LogLine(plat::LogLevel::kError, "wtalvoc: cannot claim %s for one copy: %s: %s", here,
                      where, plat::ErrorText(error));
        return 1;
    }
    return -1;
}

// --stop: stops the copy running here on purpose.
int StopRunningCopy(const char* here) {
    plat::InstancePeer stopped;
    const std::uint32_t rc = plat::InstanceAskStop(&stopped, 60000);
    char user[64];
    if (rc == 0) {
        std::printf("wtalvoc: stopped the copy running in %s (pid %d, user %s)\n", here,
                    stopped.pid, plat::InstanceUserName(stopped.uid, user, sizeof user));
        return 0;
    }
    if (rc == plat::kErrFileNotFound) {
        std::fprintf(stderr, "wtalvoc: no manager is running in %s\n", here);
        return kNotRunningStatus;
    }
    std::fprintf(stderr, "wtalvoc: the manager in %s %s\n", here,
                 rc == plat::kErrAccessDenied
                     ? "refused to stop (it answers only its own user and root)"
                     : "did not acknowledge the stop");
    return 1;
}

// --monitor: the running copy's lines on standard output until it stops.
int MonitorRunningCopy(const char* here) {
    std::signal(SIGPIPE, SIG_IGN);
    const std::uint32_t rc = plat::InstanceMonitor(1);
    if (rc == plat::kErrFileNotFound) {
        std::fprintf(stderr, "wtalvoc: no manager is running in %s\n", here);
        return kNotRunningStatus;
    }
    if (rc == plat::kErrAccessDenied) {
        std::fprintf(stderr,
                     "wtalvoc: the manager in %s refused the monitor (it answers only its own "
                     "user and root, and %d monitors at a time)\n",
                     here, plat::kMaxMonitors);
        return 1;
    }
    if (rc != 0) return 1;
    std::fprintf(stderr, "wtalvoc: the manager in %s stopped\n", here);
    return 0;
}

// Gives the directory's claim up on every way out of the program.
struct ClaimGuard {
    ~ClaimGuard() { plat::InstanceRelease(); }
};

} // namespace

int RunManager(int argc, const char* const* argv) {
    CommandLine line;
    if (const int refused = ParseCommandLine(argc, argv, &line); refused != 0) return refused;
    if (line.help) {
        PrintUsage(stdout);
        return 0;
    }
    if (line.version) {
        std::printf("wtalvoc %s\n", kProjectVersion);
        return 0;
    }
    if (line.directory != nullptr) {
        const char* reason = "";
        if (plat::ChangeDirectory(line.directory, &reason) != 0) {
            std::fprintf(stderr, "wtalvoc: cannot work in %s: %s\n", line.directory, reason);
            return 1;
        }
    }
    char here[plat::kMaxPath];
    plat::HostPathOf(".", false, here, sizeof here);
    if (line.status) return PrintStatus(line.json);
    if (line.check) return RunCheck(stdout);
    if (line.stop) return StopRunningCopy(here);
    if (line.monitor) return MonitorRunningCopy(here);

    ResetRuntimeTables();
    StartActivity();
    if (line.minusOne) ReopenOnError = false;
    Headless = line.headless;

    ClaimGuard guard;
    if (const int status = ClaimDirectory(here); status >= 0) return status;
    plat::InstanceSetStatusWriter(WriteStatus);

    // A window and dialogs when a display opens, standard error otherwise.
    plat::SelectUiBackend(Headless);
    struct UiClose {
        ~UiClose() { plat::CloseUiBackend(); }
    } ui_close;

    // wtalvoc.conf: a refused line settings file stops the start.
    if (char why[300]; !StartLineSettings(why, sizeof why)) {
        ShowFailure(why);
        return 1;
    }
    if (!Initialise()) {
        ShowFailure(MessageBuffer);
        return 1;
    }
    ChoosePort();
    BuildPolledList();
    char path[plat::kMaxPath];
    SetPortPath(PortName[0] ? plat::HostPathOf(PortName, true, path, sizeof path) : "");
    CreateManagerWindow();
    MonitorInstall();
    Link.set_base(PortBase);
    const std::uint32_t r =
        Link.open(PortName, static_cast<std::uint16_t>(PolledCount), PolledAddress.data());
    if (r != 0) {
        ShowPortError(r, kPortOpenError);
        return 1;
    }
    LinkNoteOpened();
    TellStarted(here);
    TellRealtime();
    plat::WindowShow();
    const int status = MainLoop();
    MonitorFinish();
    TellStopped(here, status);
    return status;
}
