// Reading, moving and writing in a terminal's text file (codes 31, 33, 34),
// each at the terminal's own position: the shared handle is moved to
// TerminalFilePos first and the position it is left at is kept afterwards,
// so terminals working in the same file do not disturb each other.
#include "manager/requests/text_requests.h"

#include "manager/requests/context.h"
#include "manager/requests/table_requests.h"
#include "manager/runtime.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/textfile.h"

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace {

// A position the terminal can hold (TerminalFilePos is 32 bits); reads and
// writes are refused beyond the last one from which the longest transfer
// (every byte a CR LF pair) still ends inside that range.
constexpr std::int64_t kHighestPosition = INT32_MAX;
constexpr std::int64_t kHighestTransferStart = kHighestPosition - 2 * kTextLongestTransfer;

// Where the text after the one at offset `at` starts: just past its NUL, or
// `length` when the request ends first (TerminateRequest stored a NUL there,
// so that text is empty).
int NextTextAt(const std::uint8_t* data, int length, int at) {
    if (at < 0 || at >= length) return length;
    const void* nul = std::memchr(data + at, 0, static_cast<std::size_t>(length - at));
    if (nul == nullptr) return length;
    return static_cast<int>(static_cast<const std::uint8_t*>(nul) - data) + 1;
}

const char* TextAt(const std::uint8_t* data, int at) {
    return reinterpret_cast<const char*>(data + at);
}

// The handle of the terminal's text file when the request names it, else -1;
// *status gets what TerminalStatus becomes when nothing else happens: 6 for
// a terminal without a text file, 0 for a handle that is not its own.
std::int32_t NamedTextFile(const std::uint8_t* data, int length, int slot, std::int32_t* status) {
    const std::int32_t file = CurrentTextFile(slot);
    *status = file < 0 ? kTextNoFile : 0;
    if (file < 0) return -1;
    if (length < 2) return -1;
    return RequestNumber(TextAt(data, 2)) == file ? file : -1;
}

// The number of bytes the request asks for, 0..254 (a negative count is 0).
int TransferCount(const char* text) {
    const int n = RequestNumber(text);
    if (n < 0) return 0;
    return n > kTextLongestTransfer ? kTextLongestTransfer : n;
}

// Moves the handle to the terminal's position; 0 or an error number. For a
// write the position must lie inside the file or at its end (another
// program may have cut the file since the terminal moved): a write then
// extends the file by the bytes it writes and never leaves a hole.
std::uint32_t GoToTerminalPosition(std::int32_t file, int slot, bool writing) {
    const std::int64_t pos = TerminalFilePos[static_cast<std::size_t>(slot)];
    if (pos < 0 || pos > kHighestTransferStart) return plat::kErrInvalidParameter;
    if (writing) {
        std::int64_t size = 0;
        if (const std::uint32_t rc = plat::FileSize(file, &size); rc != 0) return rc;
        if (pos > size) return plat::kErrInvalidParameter;
    }
    return plat::FileSeek(file, pos, plat::SeekFrom::kBegin, nullptr);
}

// The handle's position as the terminal keeps it; false when it cannot be
// told or does not fit.
bool HandlePosition(std::int32_t file, std::int32_t* pos) {
    std::int64_t at = 0;
    if (plat::FileSeek(file, 0, plat::SeekFrom::kCurrent, &at) != 0) return false;
    if (at < 0 || at > kHighestPosition) return false;
    *pos = static_cast<std::int32_t>(at);
    return true;
}

} // namespace

void ReadTextFile(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    const auto s = static_cast<std::size_t>(slot);
    length = TerminateRequest(data, length);
    std::int32_t status = 0;
    const std::int32_t file = NamedTextFile(data, length, slot, &status);
    std::uint32_t count = 0;
    if (file >= 0) {
        const int wanted = TransferCount(TextAt(data, NextTextAt(data, length, 2)));
        std::uint32_t rc = GoToTerminalPosition(file, slot, false);
        if (rc == 0)
            rc = plat::TextRead(file, data + 4, static_cast<std::uint32_t>(wanted), &count);
        std::int32_t after = 0;
        if (rc == 0 && !HandlePosition(file, &after)) rc = plat::kErrInvalidParameter;
        if (rc == 0) {
            TerminalFilePos[s] = after;
        } else {
            count = 0; // a failed read delivers nothing; the position stays
        }
        status = static_cast<std::int32_t>(rc);
    }
    char digits[8];
    std::snprintf(digits, sizeof digits, "%03u", static_cast<unsigned>(count));
    std::memcpy(data, digits, 4);
    data[4 + count] = 0;
    TerminalStatus[s] = status;
    SendAnswer(address, data, 31, static_cast<int>(count) + 5);
}

void SeekTextFile(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    const auto s = static_cast<std::size_t>(slot);
    length = TerminateRequest(data, length);
    std::int32_t status = 0;
    const std::int32_t file = NamedTextFile(data, length, slot, &status);
    if (file >= 0) {
        const int offset_at = NextTextAt(data, length, 2);
        const std::int64_t offset = RequestNumber(TextAt(data, offset_at));
        const int origin = RequestNumber(TextAt(data, NextTextAt(data, length, offset_at)));
        // The move is worked out first, so a refused one leaves both the
        // terminal's position and the file as they were.
        std::int64_t base = 0;
        std::uint32_t rc = 0;
        switch (origin) {
        case 0: base = 0; break;
        case 1: base = TerminalFilePos[s]; break;
        case 2: rc = plat::FileSize(file, &base); break;
        default: rc = plat::kErrInvalidParameter; break;
        }
        const std::int64_t target = base + offset;
        // A move past the end of the file is refused: a write there would
        // fill the gap (a far seek and a few bytes made a file of gigabytes).
        std::int64_t size = 0;
        if (rc == 0) rc = plat::FileSize(file, &size);
        if (rc == 0 && (target < 0 || target > size || target > kHighestPosition))
            rc = plat::kErrInvalidParameter;
        if (rc == 0) rc = plat::FileSeek(file, target, plat::SeekFrom::kBegin, nullptr);
        if (rc == 0) TerminalFilePos[s] = static_cast<std::int32_t>(target);
        status = static_cast<std::int32_t>(rc);
    }
    TerminalStatus[s] = status;
    SendAnswer(address, nullptr, 33, 0);
}

void WriteTextFile(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    const auto s = static_cast<std::size_t>(slot);
    length = TerminateRequest(data, length);
    std::int32_t status = 0;
    const std::int32_t file = NamedTextFile(data, length, slot, &status);
    int n = 0;
    if (file >= 0) {
        const int count_at = NextTextAt(data, length, 2);
        n = TransferCount(TextAt(data, count_at));
        // The bytes follow the count's NUL; only those the request carries
        // are written (never the buffer beyond it).
        const int bytes_at = NextTextAt(data, length, count_at);
        if (n > length - bytes_at) n = length - bytes_at;
        std::uint32_t rc = GoToTerminalPosition(file, slot, true);
        std::uint32_t done = 0;
        if (rc == 0)
            rc = plat::TextWrite(file, data + bytes_at, static_cast<std::uint32_t>(n), &done);
        std::int32_t after = 0;
        if (done > 0 && HandlePosition(file, &after)) TerminalFilePos[s] = after;
        status = static_cast<std::int32_t>(rc);
    }
    // Five bytes: the count and its NUL, the rest zero (never what an
    // earlier answer left in the buffer).
    std::memset(data, 0, 5);
    if (file >= 0) {
        char text[12];
        const int shown = std::snprintf(text, sizeof text, "%d", n); // n is 0..254
        if (shown > 0 && shown < 5) std::memcpy(data, text, static_cast<std::size_t>(shown));
    }
    TerminalStatus[s] = status;
    SendAnswer(address, data, 34, 5);
}
