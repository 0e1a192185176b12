// Opening and closing a terminal's text file (codes 29, 30) and the status of
// its last text-file operation (code 35). No request opens a file: code 29
// only finds one of the text files the manager opened at start.
#include "manager/requests/text_requests.h"

#include "manager/config.h"
#include "manager/requests/context.h"
#include "manager/requests/locks.h"
#include "manager/requests/table_requests.h"
#include "manager/requests/table_support.h"
#include "manager/runtime.h"
#include "platform/files.h"

#include <cstdio>
#include <cstring>

namespace {

// Sends value as "%d" text with its NUL.
void SendNumber(std::uint16_t address, std::uint8_t* data, std::uint8_t code, std::int32_t value) {
    char text[12];
    const int n = std::snprintf(text, sizeof text, "%d", static_cast<int>(value));
    std::memcpy(data, text, static_cast<std::size_t>(n) + 1);
    SendAnswer(address, data, code, n + 1);
}

// The first open text-file entry whose configured name agrees with name in
// its first `compare` bytes (a name whose NUL is counted must match exactly),
// or -1. Entries the manager did not open (their name does not start with a
// letter) are passed over: they have no handle to give.
int FindTextEntry(const char* name, int compare) {
    for (int j = 0; j < kDataFiles && j < kConfigDataFiles; ++j) {
        if (DataFileKindOf(j) != kKindText) continue;
        if (DataFileHandle[static_cast<std::size_t>(j)] < 0) continue;
        if (std::strncmp(Config.DataFileName[j], name, static_cast<std::size_t>(compare)) == 0)
            return j;
    }
    return -1;
}

} // namespace

void OpenTextFile(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    const auto s = static_cast<std::size_t>(slot);
    length = TerminateRequest(data, length);
    // The previous context ends, table or text, even when no file is found.
    if (TerminalFile[s] != -1) ReleaseLocks(TerminalLocks[s], slot);
    TerminalLocks[s] = nullptr;
    TerminalIndex[s] = -1;
    TerminalFile[s] = -1;
    TerminalFileKind[s] = kKindNone;
    TerminalFilePos[s] = 0;

    int entry = -1;
    if (length >= 2) {
        for (int i = 2; i < length; ++i) {
            const std::uint8_t c = data[i];
            if (c >= 'a' && c <= 'z') data[i] = static_cast<std::uint8_t>(c - 'a' + 'A');
        }
        entry = FindTextEntry(reinterpret_cast<const char*>(data + 2), length - 2);
    }
    if (entry >= 0) {
        const auto e = static_cast<std::size_t>(entry);
        TerminalFile[s] = DataFileHandle[e];
        TerminalLocks[s] = DataFileLocks[e];
        TerminalFileKind[s] = kKindText;
    }
    SendNumber(address, data, 29, TerminalFile[s]);
    TerminalStatus[s] = entry >= 0 ? 0 : kTextNotConfigured;
}

void CloseTextFile(std::uint16_t address, std::uint8_t*, int, int slot) {
    const auto s = static_cast<std::size_t>(slot);
    // Only a text file is committed and its end set: a table number is no
    // file handle, and a table's file is never resized by this request.
    const std::int32_t file = CurrentTextFile(slot);
    if (file >= 0) plat::FileCommit(file);
    // Whatever the context, table or text, it ends with its locks given up.
    if (TerminalFile[s] != -1) {
        LockTable* locks = TerminalLocks[s];
        ReleaseLocks(locks, slot);
        if (locks != nullptr) {
            locks->record[s] = 0;
            // Only the terminal's own whole-file lock: another terminal's
            // stays recorded for as long as it holds it.
            if (locks->holder == static_cast<std::uint32_t>(slot)) locks->holder = kNoHolder;
        }
    }
    TerminalLocks[s] = nullptr;
    TerminalIndex[s] = -1;
    TerminalFile[s] = -1;
    TerminalFileKind[s] = kKindNone;
    TerminalStatus[s] = 0;
    SendAnswer(address, nullptr, 30, 0);
}

void SendFileStatus(std::uint16_t address, std::uint8_t* data, int, int slot) {
    SendNumber(address, data, 35, TerminalStatus[static_cast<std::size_t>(slot)]);
}
