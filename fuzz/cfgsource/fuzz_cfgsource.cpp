// Fuzz target: any text as talvocfg's description of talvo.cfg. A text that
// compiles must print as a description that compiles to the same record
// byte for byte; a refused text names a line inside it (or none) and a
// reason. No text may read or write outside a buffer.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>

#include "manager/config.h"
#include "tools/talvocfg/source.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    ConfigRecord record;
    talvocfg::SourceError error;
    if (!talvocfg::BuildRecord(text, &record, &error)) {
        std::size_t lines = 1;
        for (char c : text) lines += c == '\n';
        if (error.line < 0 || std::size_t(error.line) > lines || error.reason.empty()) std::abort();
        return 0;
    }
    (void)talvocfg::ManagerRefusal(record);
    const std::string printed = talvocfg::DumpRecord(record);
    ConfigRecord again;
    talvocfg::SourceError second;
    if (!talvocfg::BuildRecord(printed, &again, &second)) std::abort();
    if (std::memcmp(&record, &again, sizeof record) != 0) std::abort();
    return 0;
}
