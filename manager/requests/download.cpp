// The application download of codes 2 and 5 (see download.h): the image is
// read from the PC's disk and handed to the link driver block by block
// inside the request; the driver sends the series on until the end frame.
#include "manager/requests/download.h"

#include <cstdio>
#include <cstring>

#include "manager/config.h"
#include "manager/mainloop.h"
#include "manager/requests/context.h"
#include "manager/requests/locks.h"
#include "manager/runtime.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/sync.h"
#include "platform/ui.h"

namespace {

bool IsSeparator(char c) {
    return c == '\\' || c == '/';
}

bool IsLetter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

char Upper(std::uint8_t c) {
    return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
}

// The first 7 bytes are the signature, letter case aside.
bool IsSigned(const std::uint8_t* head, std::uint32_t got) {
    if (got < static_cast<std::uint32_t>(kImageSignatureLength)) return false;
    for (int i = 0; i < kImageSignatureLength; ++i) {
        if (Upper(head[i]) != kImageSignature[i]) return false;
    }
    return true;
}

// Appends n bytes of text at *at; false when out has no room left for them
// and the final zero.
bool Append(char* out, std::size_t outSize, std::size_t* at, const char* text, std::size_t n) {
    if (n >= outSize - *at) return false;
    std::memcpy(out + *at, text, n);
    *at += n;
    return true;
}

// Ends the terminal's table or text context and frees what it held.
void EndTerminalContext(int slot) {
    const auto s = static_cast<std::size_t>(slot);
    TerminalSequence[s] = 16;
    if (TerminalFile[s] != -1) {
        ReleaseLocks(TerminalLocks[s], slot);
        TerminalLocks[s] = nullptr;
    }
    TerminalFile[s] = -1;
    FreeOutputDevice(static_cast<std::uint8_t>(slot));
}

void ReportOpenFailure(const char* name, std::uint32_t error) {
    // Both "no such file" and "no such directory" mean nothing is there.
    const bool missing = error == plat::kErrFileNotFound || error == plat::kErrPathNotFound;
    char text[160];
    std::snprintf(text, sizeof text, missing ? kImageMissingMessage : kImageOpenMessage, name);
    plat::ShowMessageBox(text, kImageCaption,
                         plat::kMbOk | plat::kMbIconHand | plat::kMbSystemModal);
}

// The pause between two blocks, in slices during which the window's
// messages are served: true when a stop came (SIGTERM, SIGHUP, the window
// closed, another copy started), which stays posted for the main loop.
bool PauseUnlessStopped() {
    for (std::uint32_t waited = 0; waited < kImageBlockPauseMs; waited += kImageStopSliceMs) {
        if (ServeMessagesInRequest()) return true;
        plat::Sleep(kImageStopSliceMs);
    }
    return ServeMessagesInRequest();
}

} // namespace

bool ReplaceExtension(const char* name, const char* ext, char* out, std::size_t outSize) {
    if (out == nullptr || outSize == 0) return false;
    out[0] = '\0';
    if (name == nullptr || ext == nullptr) return false;
    const std::size_t length = std::strlen(name);
    std::size_t drive = 0;
    if (length >= 2 && IsLetter(name[0]) && name[1] == ':') drive = 2;
    // The directory ends with its separator, so joining needs none added.
    std::size_t dirEnd = drive; // one past the last separator
    for (std::size_t i = drive; i < length; ++i) {
        if (IsSeparator(name[i])) dirEnd = i + 1;
    }
    std::size_t baseEnd = length; // where the extension's '.' stands
    for (std::size_t i = length; i > dirEnd; --i) {
        if (name[i - 1] == '.') {
            baseEnd = i - 1;
            break;
        }
    }
    std::size_t at = 0;
    bool fits = Append(out, outSize, &at, name, dirEnd);
    fits = fits && Append(out, outSize, &at, name + dirEnd, baseEnd - dirEnd);
    fits = fits && Append(out, outSize, &at, ".", 1);
    fits = fits && Append(out, outSize, &at, ext, std::strlen(ext));
    if (!fits) {
        out[0] = '\0';
        return false;
    }
    out[at] = '\0';
    return true;
}

void SendApplication(std::uint16_t address, std::uint8_t* data, int slot, int variant) {
    if (slot < 0 || slot >= kSlots) return;
    if (data == nullptr) data = FrameBuffer;
    const auto s = static_cast<std::size_t>(slot);

    // The configured name, never read past its field.
    char configured[kConfigNameSize];
    std::size_t n = ConfigTextLength(Config.TerminalApplication[s]);
    if (n >= kConfigNameSize) n = kConfigNameSize - 1;
    std::memcpy(configured, Config.TerminalApplication[s], n);
    configured[n] = '\0';
    char name[kImageNameSize];
    if (variant == 0) {
        std::memcpy(name, configured, sizeof configured);
    } else if (!ReplaceExtension(configured, "MKZ", name, sizeof name)) {
        name[0] = '\0';
    }

    EndTerminalContext(slot);

    plat::FileHandle file = plat::kNoFile;
    const std::uint32_t opened =
        plat::FileOpen(name, plat::kAccessReadWrite, plat::FileCreate::kOpenExisting, &file);
    if (opened != 0 || file == plat::kNoFile) {
        ReportOpenFailure(name, opened);
        return;
    }
    std::int64_t size = 0;
    if (plat::FileSize(file, &size) != 0 || size <= 0) {
        plat::FileClose(file);
        return;
    }

    std::uint8_t head[kImageSignatureLength] = {};
    std::uint32_t got = 0;
    if (plat::FileRead(file, head, sizeof head, &got) != 0) got = 0;
    std::uint32_t load = kPlainLoadAddress;
    if (IsSigned(head, got)) {
        load = kSignedLoadAddress;
        TerminalHighBase[s] = 1;
    } else {
        TerminalHighBase[s] = 0;
        plat::FileSeek(file, 0, plat::SeekFrom::kBegin, nullptr);
    }

    // Zeroed once: a short last block keeps the previous block's bytes
    // beyond its own, as the terminals have always received them.
    std::memset(data, 0, kImageFrameLength);
    for (;;) {
        std::uint32_t read = 0;
        // A read error ends the image as its end does, with the end frame.
        if (plat::FileRead(file, data + 2, kImageBlock, &read) != 0 || read == 0) break;
        data[0] = static_cast<std::uint8_t>((load >> 8) & 0xFF);
        data[1] = static_cast<std::uint8_t>(load & 0xFF);
        load = (load + read) & 0xFFFF; // a long image wraps in the 16 bits
        SendAnswer(address, data, kImageBlockCode, kImageFrameLength);
        if (PauseUnlessStopped()) {
            // The series is abandoned without its end frame: the terminal
            // asks for its image again once the manager runs again.
            plat::FileClose(file);
            return;
        }
    }
    SendAnswer(address, nullptr, kImageEndCode, 0);
    plat::FileClose(file);
}

void SendImage(std::uint16_t address, std::uint8_t* data, int, int slot) {
    SendApplication(address, data, slot, 0);
}

void SendAltImage(std::uint16_t address, std::uint8_t* data, int, int slot) {
    SendApplication(address, data, slot, 1);
}
