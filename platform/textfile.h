// Text-mode reading and writing on an open file handle, as the PC's text
// files behave:
//   - reading delivers each CR LF pair of the file as a single LF, and a
//     Ctrl-Z byte (26) ends the file: nothing at or after it is delivered;
//   - writing sends each LF out as CR LF;
//   - positions (FileSeek in files.h, and the position these routines leave)
//     are byte offsets in the file itself, so a read over "A\r\nB" delivers
//     3 bytes and moves the position by 4.
// Both work at the handle's current position and leave it just after the
// bytes of the file consumed or written.
#pragma once

#include "platform/files.h"

#include <cstdint>

namespace plat {

inline constexpr unsigned char kCtrlZ = 26;

// Reads up to count bytes of text into buffer; *done gets how many were
// delivered (fewer only at the end of the file or at a Ctrl-Z). A CR that
// is not followed by LF is delivered as it is. Returns 0 or the error number
// of the failed read (then *done holds what was delivered before it and the
// position is just after the bytes that produced it).
std::uint32_t TextRead(FileHandle handle, void* buffer, std::uint32_t count, std::uint32_t* done);

// Writes count bytes of text, each LF as CR LF. *done gets the number of the
// caller's bytes written (count when nothing failed; an LF counts as one).
std::uint32_t TextWrite(FileHandle handle, const void* buffer, std::uint32_t count,
                        std::uint32_t* done);

} // namespace plat
