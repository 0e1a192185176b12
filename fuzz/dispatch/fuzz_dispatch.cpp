// Fuzz target: a series of requests with any code, data and length from two
// terminals through the request dispatcher, against the small data
// directory of fuzz/common (a table with two indexes, a text file, a
// printer), opened as the manager opens it at start-up. The directory is
// made once per process; its files are put back before every input.
//
// Input, per request: a byte (bit 0 the terminal, bit 1 "a length of its
// own follows", bit 2 adds 256 to the data count), the code, the data count,
// [the length, 2 bytes, high first, as the driver's 16-bit value], the data.
//
// Besides never reading or writing outside a buffer: every answer goes to
// the asking terminal and fits a frame; a request is answered once (none for
// code 9 and for a code that is not served, any number for a download); and
// each terminal's context stays one the next request can restore.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "fuzz/common/data_directory.h"
#include "manager/config.h"
#include "manager/link.h"
#include "manager/requests/dispatch.h"
#include "manager/runtime.h"
#include "manager/startup.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"
#include "platform/files.h"
#include "platform/ui.h"

namespace {

using fuzzdata::kAddresses;
constexpr int kMaxRequests = 64;

int g_answers = 0;
bool g_misaddressed = false;
std::uint16_t g_asker = 0;
// FUZZ_TRACE=1 in the environment prints every answer (to read an input).
const bool g_trace = std::getenv("FUZZ_TRACE") != nullptr;

std::uint32_t Answer(std::uint16_t address, const std::uint8_t* data, std::uint8_t code,
                     std::int16_t length) {
    ++g_answers;
    if (g_trace) {
        std::fprintf(stderr, "  -> %04X code %u length %d:", address, code, length);
        for (int i = 0; i < length && i < 48 && data != nullptr; ++i)
            std::fprintf(stderr, " %02X", data[i]);
        std::fprintf(stderr, "\n");
    }
    if (address != g_asker || length < 0 || std::size_t(length) > kFrameBufferSize ||
        (length > 0 && data == nullptr))
        g_misaddressed = true;
    // Every byte handed over is read, as the driver copies it.
    volatile std::uint8_t sum = 0;
    for (int i = 0; i < length; ++i) sum = std::uint8_t(sum + data[i]);
    return 0;
}

// The context of the terminal in slot is one RestoreContext can use.
void CheckContext(int slot) {
    const auto s = std::size_t(slot);
    const int file = TerminalFile[s];
    if (file == -1) return;
    if (TerminalFileKind[s] == kKindTable) {
        if (d4table(file) == nullptr || TerminalLocks[s] == nullptr) std::abort();
        const int index = TerminalIndex[s];
        if (index != -1 && (i4index(index) == nullptr || i4index(index)->table != file))
            std::abort();
    } else if (TerminalFileKind[s] == kKindText) {
        bool configured = false;
        for (int j = 0; j < kDataFiles; ++j)
            if (Config.DataFileKind[j] == 'A' && DataFileHandle[std::size_t(j)] == file)
                configured = true;
        if (!configured || TerminalIndex[s] != -1) std::abort();
    } else {
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const bool made = [] {
        fuzzdata::Make();
        plat::StartRecordingBoxes(); // a missing image is shown in a box
        Link.write = Answer;
        return true;
    }();
    (void)made;
    fuzzdata::Enter();
    ResetRuntimeTables();
    if (!Initialise()) std::abort();
    BuildPolledList();
    std::memset(FrameBuffer, 0xA5, sizeof FrameBuffer);

    std::size_t at = 0;
    for (int n = 0; n < kMaxRequests && at + 3 <= size; ++n) {
        const std::uint8_t how = data[at];
        const std::uint8_t code = data[at + 1];
        std::size_t count = data[at + 2] + ((how & 4) ? 256u : 0u);
        at += 3;
        int length = 0;
        if (how & 2) {
            if (at + 2 > size) break;
            length = std::int16_t(std::uint16_t(data[at] << 8 | data[at + 1]));
            at += 2;
        }
        if (count > size - at) count = size - at;
        if (!(how & 2)) length = int(count);
        std::memcpy(FrameBuffer, data + at, count);
        at += count;

        const int slot = how & 1;
        g_asker = kAddresses[slot];
        g_answers = 0;
        g_misaddressed = false;
        if (g_trace) std::fprintf(stderr, "slot %d code %u length %d\n", slot, code, length);
        const std::uint8_t served = DispatchRequest(g_asker, FrameBuffer, code, length, slot);
        if (g_misaddressed) std::abort();
        if (code != 2 && code != 5) {
            const int expected = served == 0 || code == 9 ? 0 : 1;
            if (g_answers != expected) std::abort();
        }
        CheckContext(0);
        CheckContext(1);
    }

    FreeOutputDevice(kNoSlot);
    fuzzdata::CloseManagerFiles();
    fuzzdata::Leave();
    return 0;
}
