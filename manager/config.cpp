// Reading talvo.cfg at start-up.
#include "manager/config.h"

#include "platform/files.h"

#include <cstring>

ConfigRecord Config;

namespace {

bool Refuse(const char* text, char* message, std::size_t messageSize) {
    if (message != nullptr && messageSize > 0) {
        std::size_t n = std::strlen(text);
        if (n >= messageSize) n = messageSize - 1;
        std::memcpy(message, text, n);
        message[n] = '\0';
    }
    return false;
}

} // namespace

void MendConfiguration(ConfigRecord* record) {
    for (auto& name : record->DataFileName) name[kConfigNameSize - 1] = '\0';
    for (auto& name : record->TerminalApplication) name[kConfigNameSize - 1] = '\0';
    if (record->DefaultOutput > kConfigOutputs) record->DefaultOutput = 0;
}

bool ReadConfiguration(char* message, std::size_t messageSize) {
    plat::FileHandle h = plat::kNoFile;
    if (plat::FileOpen("talvo.cfg", plat::kAccessReadWrite, plat::FileCreate::kOpenExisting, &h) !=
        0)
        return Refuse(kConfigMissingMessage, message, messageSize);

    // Into a scratch record first: a short file leaves Config as it was.
    ConfigRecord record;
    std::uint32_t got = 0;
    std::uint32_t rc = plat::FileRead(h, &record, sizeof record, &got);
    plat::FileClose(h);
    if (rc != 0 || got < sizeof record) return Refuse(kConfigShortMessage, message, messageSize);
    SwapConfigurationOrder(&record);
    MendConfiguration(&record);
    Config = record;

    if (Config.TerminalsDeclared == 0)
        return Refuse(kConfigNoTerminalsMessage, message, messageSize);
    for (int slot = 0; slot < kConfigSlots; ++slot) {
        if (Config.TerminalAddress[slot] != 0 &&
            ConfigTextLength(Config.TerminalApplication[slot]) > 4)
            return true;
    }
    return Refuse(kConfigNoApplicationMessage, message, messageSize);
}
