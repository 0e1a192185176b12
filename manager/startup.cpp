// Start-up, Initialise, the port choice, the polled list and Shutdown.
#include "manager/startup.h"

#include <cstdio>
#include <cstring>

#include "manager/config.h"
#include "manager/journal.h"
#include "manager/link.h"
#include "manager/mainloop.h"
#include "manager/requests/locks.h"
#include "manager/requests/writeback.h"
#include "manager/runtime.h"
#include "manager/store_log.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"
#include "manager/window.h"
#include "platform/files.h"
#include "platform/instance.h"
#include "platform/ui.h"
#include "platform/ui_x11.h"

namespace {

constexpr const char* kPortNames[4] = {"COM1", "COM2", "COM3", "COM4"};
constexpr const char* kNoMemory = "Memoria Insuficiente para Instalacao";
constexpr const char* kStoreNoMemory = "Memoria Insuficiente Para Instalacao!\n";
constexpr const char* kTextOpenError = "Erro ao Abrir Arquivo Texto ";
constexpr const char* kOpenError = "Erro ao Abrir Arquivo ";
constexpr const char* kOutputBuffersError = "Erro de Alocacao dos Buffers de Impressao!";
constexpr std::size_t kNameField = 64;

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

// Opens every index entry of table entry j (table just opened and selected).
bool OpenIndexesOf(int j) {
    for (int k = 0; k < kDataFiles; ++k) {
        const char kind = EntryKind(k);
        if (kind != 'I' && kind != 'C') continue;
        if (EntryTable(k) != j + 1) continue;
        char name[kNameField + 1];
        EntryName(k, name);
        if (!StartsWithLetter(name)) continue;
        const int index = i4open_index(name);
        if (index < 0) {
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

} // namespace

bool CommandLineIsMinusOne(int argc, const char* const* argv) {
    return argc == 2 && argv != nullptr && argv[1] != nullptr && std::strcmp(argv[1], "-1") == 0;
}

bool CommandLineAsksHeadless(int argc, const char* const* argv) {
    for (int i = 1; i < argc && argv != nullptr; ++i)
        if (argv[i] != nullptr && std::strcmp(argv[i], "--headless") == 0) return true;
    return false;
}

bool Initialise() {
    if (!ReadConfiguration(MessageBuffer)) return false;
    CommitAfterWrite = Config.CommitAfterWrite;
    DataFileHandle.fill(-1);
    DataFileLocks.fill(nullptr);
    OutputBuffer.fill(nullptr);
    if (d4initialize(1, 1, 25, 256, 0) != 0) {
        SetMessage(kStoreNoMemory);
        return false;
    }
    StartStoreLog();
    // Unfinished changes are undone before any table or index is opened.
    if (!JournalStart()) return false;
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
            const int table = d4open_table(name);
            if (table < 0) {
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
    d4close_all_tables();
    JournalStop();
}

void ShowPortError(unsigned number, const char* text) {
    std::snprintf(NumberBuffer, sizeof NumberBuffer, "%u", number);
    std::snprintf(MessageBuffer, sizeof MessageBuffer, "Erro %s%s", NumberBuffer, text);
    ShowFailure(MessageBuffer);
}

int RunManager(int argc, const char* const* argv) {
    ResetRuntimeTables();
    if (CommandLineIsMinusOne(argc, argv)) ReopenOnError = false;

    std::uint32_t error = 0;
    const plat::InstanceResult claim = plat::InstanceClaim(&error);
    if (claim == plat::InstanceResult::kOtherStopped) return 1;
    if (claim == plat::InstanceResult::kFailed)
        std::fprintf(stderr, "wtalvoc: cannot claim the directory for one copy (error %lu)\n",
                     static_cast<unsigned long>(error));

    // A window and dialogs when a display opens, standard error otherwise.
    plat::SelectUiBackend(CommandLineAsksHeadless(argc, argv));
    struct UiClose {
        ~UiClose() { plat::CloseUiBackend(); }
    } ui_close;

    if (!Initialise()) {
        ShowFailure(MessageBuffer);
        return 1;
    }
    ChoosePort();
    BuildPolledList();
    CreateManagerWindow();
    Link.set_base(PortBase);
    const std::uint32_t r =
        Link.open(PortName, static_cast<std::uint16_t>(PolledCount), PolledAddress.data());
    if (r != 0) {
        ShowPortError(r, kPortOpenError);
        return 1;
    }
    LinkNoteOpened();
    plat::WindowShow();
    const int status = MainLoop();
    plat::InstanceRelease();
    return status;
}
