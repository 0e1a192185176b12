// CR LF and Ctrl-Z translation over the binary file routines.
#include "platform/textfile.h"

#include "platform/errors.h"

namespace plat {

std::uint32_t TextRead(FileHandle handle, void* buffer, std::uint32_t count, std::uint32_t* done) {
    if (done) *done = 0;
    if (handle < 0) return Fail(kErrInvalidHandle);
    if (buffer == nullptr && count > 0) return Fail(kErrInvalidParameter);
    std::int64_t pos;
    if (std::uint32_t rc = FileSeek(handle, 0, SeekFrom::kCurrent, &pos)) return rc;

    auto* out = static_cast<unsigned char*>(buffer);
    std::uint32_t delivered = 0;
    std::uint32_t rc = kErrSuccess;
    unsigned char raw[512];
    while (delivered < count) {
        // Enough raw bytes for what is still wanted, plus one to see the LF
        // after a final CR.
        std::uint32_t want = count - delivered + 1;
        if (want > sizeof raw) want = sizeof raw;
        std::uint32_t got = 0;
        rc = FileReadAt(handle, pos, raw, want, &got);
        if (rc != kErrSuccess || got == 0) break;
        std::uint32_t i = 0;
        bool end = false;
        while (i < got && delivered < count) {
            unsigned char c = raw[i];
            if (c == kCtrlZ) {
                end = true;
                break;
            }
            if (c == '\r' && i + 1 < got && raw[i + 1] == '\n') {
                out[delivered++] = '\n';
                i += 2;
                continue;
            }
            if (c == '\r' && i + 1 == got && got == want) {
                // A CR at the end of the chunk: the next chunk decides.
                break;
            }
            out[delivered++] = c;
            ++i;
        }
        pos += i;
        if (end || (i == 0 && got < want)) break;
        if (got < want && i == got) break; // the end of the file
    }
    if (done) *done = delivered;
    // Leave the position just after what was consumed.
    if (std::uint32_t seek = FileSeek(handle, pos, SeekFrom::kBegin, nullptr)) {
        if (rc == kErrSuccess) rc = seek;
    }
    if (rc != kErrSuccess) return Fail(rc);
    return kErrSuccess;
}

std::uint32_t TextWrite(FileHandle handle, const void* buffer, std::uint32_t count,
                        std::uint32_t* done) {
    if (done) *done = 0;
    if (handle < 0) return Fail(kErrInvalidHandle);
    if (buffer == nullptr && count > 0) return Fail(kErrInvalidParameter);
    const auto* in = static_cast<const unsigned char*>(buffer);
    unsigned char raw[1024];
    std::uint32_t consumed = 0;
    while (consumed < count) {
        // Translate a chunk; remember which raw byte ends each source byte.
        std::uint32_t n = 0;
        std::uint32_t first = consumed;
        while (consumed < count && n + 2 <= sizeof raw) {
            if (in[consumed] == '\n') raw[n++] = '\r';
            raw[n++] = in[consumed++];
        }
        std::uint32_t put = 0;
        std::uint32_t rc = FileWrite(handle, raw, n, &put);
        if (rc != kErrSuccess || put < n) {
            // Count the source bytes whose translation went out whole.
            std::uint32_t whole = first, k = 0;
            while (whole < consumed) {
                std::uint32_t len = in[whole] == '\n' ? 2 : 1;
                if (k + len > put) break;
                k += len;
                ++whole;
            }
            if (done) *done = whole;
            return Fail(rc != kErrSuccess ? rc : kErrDiskFull);
        }
    }
    if (done) *done = consumed;
    return kErrSuccess;
}

} // namespace plat
