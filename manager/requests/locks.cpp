// Record and whole-file locks: the lock table's bookkeeping beside the
// platform's byte-range locks, and the lock requests 36, 37 and 38.
//
// Regions (a lock call never waits):
//   record r of a table   1,000,000,000 + r, 1 byte, on the .DBF file
//   the whole table       1,000,000,000, 1,000,000,000 bytes, on the .DBF file
//   a whole text file     0, 1 byte, on the text file
#include "manager/requests/locks.h"

#include "manager/requests/context.h"
#include "manager/tablestore/fileio.h"
#include "manager/tablestore/tables.h"
#include "platform/locks.h"

namespace {

constexpr std::uint64_t kWholeTableLength = 1000000000;

struct Region {
    int file; // -1: the terminal has no file to lock
    std::uint64_t offset;
    std::uint64_t length;
    int owner; // the terminal's tag, by which the table store knows its locks
};

bool IsTable(int slot) {
    return TerminalFileKind[static_cast<std::size_t>(slot)] == kKindTable;
}

// The file handle of the terminal's current file.
int TerminalHandle(int slot) {
    const auto s = static_cast<std::size_t>(slot);
    if (TerminalFile[s] == -1) return -1;
    if (!IsTable(slot)) return TerminalFile[s];
    const TableHandle* t = d4table(TerminalFile[s]);
    return t == nullptr ? -1 : t->file;
}

Region RecordRegion(int slot, std::uint32_t record) {
    return {TerminalHandle(slot), static_cast<std::uint64_t>(kLockBase) + record, 1,
            u4owner_of_slot(slot)};
}

// The whole-file region: the whole table, or byte 0 of a text file.
Region FileRegion(int slot) {
    if (IsTable(slot))
        return {TerminalHandle(slot), kLockBase, kWholeTableLength, u4owner_of_slot(slot)};
    return {TerminalHandle(slot), 0, 1, u4owner_of_slot(slot)};
}

bool Lock(const Region& r) {
    return r.file != -1 && plat::LockRegionAs(r.file, r.offset, r.length,
                                              plat::LockMode::kExclusive, r.owner, 0) == 0;
}

bool Unlock(const Region& r) {
    return r.file != -1 && plat::UnlockRegion(r.file, r.offset, r.length) == 0;
}

bool ValidSlot(int slot) {
    return slot >= 0 && slot < kSlots;
}

} // namespace

int ProbeLock(LockTable* table, int slot) {
    if (table == nullptr || !ValidSlot(slot)) return kLockElsewhere;
    const auto s = static_cast<std::size_t>(slot);
    if (table->holder != kNoHolder)
        return table->holder == static_cast<std::uint32_t>(slot) ? kLockMyFile : kLockElsewhere;
    Region region;
    if (IsTable(slot)) {
        const auto r = static_cast<std::uint32_t>(d4record_number());
        if (table->record[s] == r) return kLockMyRecord;
        for (std::uint32_t held : table->record)
            if (held == r) return kLockElsewhere;
        region = RecordRegion(slot, r);
    } else {
        region = FileRegion(slot);
    }
    // A lock the table store took itself lives only within the request being
    // served, which is this terminal's (its append of this very record): free.
    if (region.file != -1 &&
        plat::RegionOwner(region.file, region.offset, region.length) == u4store_tag)
        return kLockFree;
    if (!Lock(region)) return kLockElsewhere;
    Unlock(region);
    return kLockFree;
}

int LockRecord(LockTable* table, int slot) {
    if (table == nullptr || !ValidSlot(slot)) return -1;
    const auto r = static_cast<std::uint32_t>(d4record_number());
    const int state = ProbeLock(table, slot);
    if (!IsTable(slot)) return -1; // text files have no record locks
    if (state == kLockElsewhere) return -1;
    if (state == kLockMyRecord) return 0;
    // The terminal's whole-file lock, or its lock on another record, goes.
    if (ReleaseLocks(table, slot) != 0) return -1;
    if (r == 0 || !Lock(RecordRegion(slot, r))) return -1;
    table->holder = kNoHolder;
    table->record[static_cast<std::size_t>(slot)] = r;
    return 0;
}

int LockWholeFile(LockTable* table, int slot) {
    if (table == nullptr || !ValidSlot(slot)) return -1;
    const int state = ProbeLock(table, slot);
    if (state == kLockElsewhere) return -1;
    if (state == kLockMyFile) return 0;
    if (ReleaseLocks(table, slot) != 0) return -1;
    if (!Lock(FileRegion(slot))) return -1;
    table->holder = static_cast<std::uint32_t>(slot);
    table->record[static_cast<std::size_t>(slot)] = 0;
    return 0;
}

int ReleaseLocks(LockTable* table, int slot) {
    if (table == nullptr || !ValidSlot(slot)) return 0;
    const auto s = static_cast<std::size_t>(slot);
    if (table->holder == static_cast<std::uint32_t>(slot)) {
        if (!Unlock(FileRegion(slot))) return -1;
        table->holder = kNoHolder;
        table->record[s] = 0;
        return 0;
    }
    if (table->record[s] != 0 && IsTable(slot)) {
        if (!Unlock(RecordRegion(slot, table->record[s]))) return -1;
        table->record[s] = 0;
    }
    return 0;
}

void ReleaseIfMoved(int slot) {
    if (!ValidSlot(slot)) return;
    const auto s = static_cast<std::size_t>(slot);
    LockTable* table = TerminalLocks[s];
    if (table == nullptr) return;
    const int start = TerminalRecord[s];
    if (d4record_number() != start && start > 0 &&
        table->record[s] == static_cast<std::uint32_t>(start))
        ReleaseLocks(table, slot);
}

void LockRequest(std::uint16_t address, std::uint8_t* data, int slot, bool whole_file) {
    LockTable* table = ValidSlot(slot) ? TerminalLocks[static_cast<std::size_t>(slot)] : nullptr;
    const int result = whole_file ? LockWholeFile(table, slot) : LockRecord(table, slot);
    data[0] = result == 0 ? 'T' : 'F';
    data[1] = 0;
    SendAnswer(address, data, whole_file ? 37 : 36, 2);
}

void UnlockRequest(std::uint16_t address, int slot) {
    LockTable* table = ValidSlot(slot) ? TerminalLocks[static_cast<std::size_t>(slot)] : nullptr;
    SendAnswer(address, nullptr, ReleaseLocks(table, slot) == 0 ? 15 : 14, 0);
}
