// talvoterm's request scripts and its printing of data.
//
// One request a line:
//   ADDRESS CODE [DATA] [OPTION ...]
// ADDRESS and CODE are decimal or 0x-hexadecimal. DATA is one word, or a
// "double-quoted" text that may hold blanks; both take the escapes \0 (NUL),
// \xNN (any byte), \n, \r, \t, \\, \" and \s (a blank). The third word is
// always the data, so a request without data but with options writes "".
// Options: stray[=NN] missing[=N] badsum badlength badsource pause-header
//          pause-data code9 oversize[=N] nodouble raw expect=answer|nack|none
// (nodouble: data bytes 0x10 go out once; raw: DATA is the whole frame.)
// Other lines:
//   sleep MS     pause before reading the next line
//   wait         wait until every request so far has ended
//   # ...        a comment; blank lines are skipped too
#pragma once

#include "tools/talvoterm/terminal.h"

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace talvoterm {

enum class LineKind : std::uint8_t { empty, request, sleep, wait };

struct ScriptLine {
    LineKind kind = LineKind::empty;
    Request request;
    Expect expect = Expect::automatic;
    int sleep_ms = 0;
};

// Decodes the escapes of a data text into bytes. Returns 0, or -1 with the
// reason in `error`.
int UnescapeData(std::string_view text, std::vector<std::uint8_t>& out, std::string& error);

// Parses one script line. Returns 0 (out.kind tells what it is), or -1 with
// the reason in `error`.
int ParseScriptLine(std::string_view line, ScriptLine& out, std::string& error);

// Data as text, printable ASCII as it is and every other byte as \xNN,
// followed by the bytes in hexadecimal: "12" [31 32]. Long data are
// shortened to max_bytes with "...".
std::string FormatData(std::span<const std::uint8_t> data, std::size_t max_bytes = 64);

// The bytes in hexadecimal, separated by blanks.
std::string HexBytes(std::span<const std::uint8_t> bytes, std::size_t max_bytes = 4096);

// The name of a fault as written in scripts ("" for none).
const char* FaultName(Fault f);

} // namespace talvoterm
