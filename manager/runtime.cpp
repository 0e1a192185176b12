// The manager's runtime tables and their start values.
#include "manager/runtime.h"

#include "manager/link.h"
#include "platform/files.h"

#include <cstring>

std::uint8_t FrameBuffer[kFrameBufferSize];
char MessageBuffer[kMessageBufferSize];
char NumberBuffer[kNumberBufferSize];

char PortName[8];
int PolledCount;
std::array<std::uint16_t, kSlots> PolledAddress;
std::array<std::int16_t, kSlots> PolledSlot;
std::uint16_t PortBase;
bool ReopenOnError = true;
bool Headless = false;
std::uint8_t CommitAfterWrite;

std::atomic<std::uint32_t> CountingActive{0};
std::atomic<std::uint32_t> SampleCount{1};
std::atomic<std::uint32_t> FailedCount{0};
std::atomic<std::uint32_t> RateWarningEnabled{1};
std::atomic<std::uint32_t> ErrorRatePercent{0};

std::array<std::int32_t, kDataFiles> DataFileHandle;
std::array<LockTable*, kDataFiles> DataFileLocks;

std::array<OutputRecord*, kOutputDevices> OutputBuffer;
int OutputHandle = -1;
std::uint8_t OutputHolder = kNoSlot;
std::uint32_t OutputLastActivity;

std::array<std::int32_t, kSlots> TerminalFile;
std::array<std::int32_t, kSlots> TerminalFileKind;
std::array<std::int32_t, kSlots> TerminalIndex;
std::array<std::int32_t, kSlots> TerminalRecord;
std::array<std::int32_t, kSlots> TerminalStatus;
std::array<std::int32_t, kSlots> TerminalFilePos;
std::array<LockTable*, kSlots> TerminalLocks;
std::array<std::uint8_t, kSlots> TerminalSequence;
std::array<std::uint8_t, kSlots> TerminalHighBase;

namespace {

// One lock table per data-file entry and one record per output device: made
// once, so that nothing is allocated while the manager runs.
std::array<LockTable, kDataFiles> lock_storage;
std::array<OutputRecord, kOutputDevices> output_storage;

struct StartValues {
    StartValues() { ResetRuntimeTables(); }
};
const StartValues start_values;

} // namespace

LockTable* AllocateLockTable(int entry) {
    if (entry < 0 || entry >= kDataFiles) return nullptr;
    LockTable& t = lock_storage[static_cast<std::size_t>(entry)];
    t.record.fill(0);
    t.holder = kNoHolder;
    return &t;
}

int LockTableEntry(const LockTable* t) {
    for (int j = 0; j < kDataFiles; ++j)
        if (t == &lock_storage[static_cast<std::size_t>(j)]) return j;
    return -1;
}

OutputRecord* AllocateOutputRecord(int device) {
    if (device < 0 || device >= kOutputDevices) return nullptr;
    OutputRecord& r = output_storage[static_cast<std::size_t>(device)];
    r.owner = kNoSlot;
    r.reserved.fill(0);
    return &r;
}

void FreeOutputDevice(std::uint8_t slot) {
    const std::uint8_t who = slot == kNoSlot ? OutputHolder : slot;
    bool owned = false;
    for (OutputRecord* r : OutputBuffer) {
        if (r != nullptr && r->owner != kNoSlot && r->owner == who) {
            r->owner = kNoSlot;
            owned = true;
        }
    }
    if (owned || who == OutputHolder) {
        if (OutputHandle != -1) plat::FileClose(OutputHandle);
        OutputHandle = -1;
        OutputHolder = kNoSlot;
    }
}

void ResetRuntimeTables() {
    std::memset(FrameBuffer, 0, sizeof FrameBuffer);
    std::memset(MessageBuffer, 0, sizeof MessageBuffer);
    std::memset(NumberBuffer, 0, sizeof NumberBuffer);
    std::memset(PortName, 0, sizeof PortName);
    PolledCount = 0;
    PolledAddress.fill(0);
    PolledSlot.fill(0);
    PortBase = 0;
    ReopenOnError = true;
    Headless = false;
    CommitAfterWrite = 0;
    CountingActive = 0;
    SampleCount = 1;
    FailedCount = 0;
    RateWarningEnabled = 1;
    ErrorRatePercent = 0;
    DataFileHandle.fill(-1);
    DataFileLocks.fill(nullptr);
    OutputBuffer.fill(nullptr);
    OutputHandle = -1;
    OutputHolder = kNoSlot;
    OutputLastActivity = 0;
    TerminalFile.fill(-1);
    TerminalFileKind.fill(0);
    TerminalIndex.fill(-1);
    TerminalRecord.fill(0);
    TerminalStatus.fill(0);
    TerminalFilePos.fill(0);
    TerminalLocks.fill(nullptr);
    TerminalSequence.fill(0);
    TerminalHighBase.fill(0);
    LinkResetState();
}
