// Fuzz target: any bytes as talvo.cfg in the data directory of fuzz/common,
// read by the manager's start-up (ReadConfiguration, then, when it accepts
// the record, the opening of every data file it names, the port choice and
// the polled list) and described by talvocfg. Path separators in the
// data-file names become '_', so that no input opens a file outside the
// directory.
//
// Besides never reading or writing outside a buffer (the record talvocfg
// describes is a heap block of exactly its size): a refusal gives one of the
// four messages, and talvocfg's forecast of the manager's refusal agrees;
// an accepted record is mended (every name ends inside its field, no
// default device beyond the six); the polled list is the nonzero addresses
// in slot order, each found again by its address.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "fuzz/common/data_directory.h"
#include "manager/config.h"
#include "manager/runtime.h"
#include "manager/startup.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"
#include "platform/files.h"
#include "tools/talvocfg/source.h"

namespace {

void WriteConfiguration(const std::uint8_t* data, std::size_t size) {
    std::string bytes(reinterpret_cast<const char*>(data), size);
    const std::size_t names = offsetof(ConfigRecord, DataFileName);
    for (std::size_t i = names; i < names + sizeof(ConfigRecord::DataFileName) && i < size; ++i)
        if (bytes[i] == '/' || bytes[i] == '\\') bytes[i] = '_';
    plat::FileHandle h = plat::kNoFile;
    if (plat::FileOpen("talvo.cfg", plat::kAccessWrite, plat::FileCreate::kCreateAlways, &h) != 0)
        std::abort();
    std::uint32_t done = 0;
    plat::FileWrite(h, bytes.data(), std::uint32_t(bytes.size()), &done);
    plat::FileClose(h);
    if (done != bytes.size()) std::abort();
}

void CheckAccepted() {
    for (const auto& name : Config.DataFileName)
        if (name[kConfigNameSize - 1] != 0) std::abort();
    for (const auto& name : Config.TerminalApplication)
        if (name[kConfigNameSize - 1] != 0) std::abort();
    if (Config.DefaultOutput > kConfigOutputs) std::abort();
    if (!talvocfg::ManagerRefusal(Config).empty()) std::abort();
}

void CheckPolledList() {
    int n = 0;
    for (int slot = 0; slot < kSlots; ++slot) {
        const std::uint16_t address = Config.TerminalAddress[slot];
        if (address == 0) continue;
        if (PolledAddress[std::size_t(n)] != address || PolledSlot[std::size_t(n)] != slot)
            std::abort();
        const int found = SlotOfAddress(address);
        if (found < 0 || Config.TerminalAddress[found] != address) std::abort();
        ++n;
    }
    if (PolledCount != n) std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    fuzzdata::Make();
    fuzzdata::Enter();
    WriteConfiguration(data, size);
    ResetRuntimeTables();
    std::memset(&Config, 0, sizeof Config);

    char message[kMessageBufferSize] = {};
    const bool accepted = ReadConfiguration(message, sizeof message);
    if (accepted) {
        if (message[0] != 0) std::abort();
        CheckAccepted();
    } else {
        const std::string m = message;
        if (m == kConfigNoTerminalsMessage || m == kConfigNoApplicationMessage) {
            if (talvocfg::ManagerRefusal(Config) != m) std::abort();
        } else if (m != kConfigMissingMessage && m != kConfigShortMessage) {
            std::abort();
        }
    }

    if (size >= sizeof(ConfigRecord)) {
        // The record as talvocfg reads it: unmended, its last field at the
        // very end of its block.
        auto raw = std::make_unique<ConfigRecord>();
        std::memcpy(raw.get(), data, sizeof(ConfigRecord));
        (void)talvocfg::DumpRecord(*raw);
    }

    if (accepted) {
        if (Initialise()) {
            ChoosePort();
            const int port = ConfigChosenPort(Config);
            if ((port < 0) != (PortName[0] == 0)) std::abort();
            BuildPolledList();
            CheckPolledList();
        }
        fuzzdata::CloseManagerFiles();
    }
    fuzzdata::Leave();
    return 0;
}
