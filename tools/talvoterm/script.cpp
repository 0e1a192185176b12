// talvoterm's request scripts: words, numbers, data escapes and options;
// and the text-and-hex printing of data.
#include "tools/talvoterm/script.h"

#include <cstdio>

namespace talvoterm {

namespace {

int HexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Reads an unsigned number, decimal or 0x-hexadecimal, no larger than max.
bool ParseNumber(std::string_view s, unsigned long max, unsigned long& out) {
    if (s.empty()) return false;
    unsigned base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        s.remove_prefix(2);
    }
    unsigned long v = 0;
    for (char c : s) {
        int d = base == 16 ? HexDigit(c) : (c >= '0' && c <= '9' ? c - '0' : -1);
        if (d < 0) return false;
        v = v * base + static_cast<unsigned>(d);
        if (v > max) return false;
    }
    out = v;
    return true;
}

// Splits off the next word: a run of non-blanks, or a "quoted" text whose
// \" and \\ do not end it. The word keeps its escapes; quotes are removed.
// Returns false for an unterminated quote.
bool NextWord(std::string_view& rest, std::string_view& word, bool& quoted) {
    std::size_t i = 0;
    while (i < rest.size() && (rest[i] == ' ' || rest[i] == '\t')) ++i;
    rest.remove_prefix(i);
    quoted = false;
    if (rest.empty()) {
        word = {};
        return true;
    }
    if (rest[0] == '"') {
        std::size_t j = 1;
        while (j < rest.size() && rest[j] != '"')
            j += rest[j] == '\\' && j + 1 < rest.size() ? 2 : 1;
        if (j >= rest.size()) return false;
        word = rest.substr(1, j - 1);
        rest.remove_prefix(j + 1);
        quoted = true;
        return true;
    }
    std::size_t j = 0;
    while (j < rest.size() && rest[j] != ' ' && rest[j] != '\t') ++j;
    word = rest.substr(0, j);
    rest.remove_prefix(j);
    return true;
}

struct FaultWord {
    const char* name;
    Fault fault;
    bool takes_arg;
};

constexpr FaultWord kFaults[] = {
    {"stray", Fault::stray_byte, true},
    {"missing", Fault::missing_lead, true},
    {"badsum", Fault::bad_checksum, false},
    {"badlength", Fault::bad_length, false},
    {"badsource", Fault::bad_source, false},
    {"pause-header", Fault::pause_header, false},
    {"pause-data", Fault::pause_data, false},
    {"code9", Fault::code9, false},
    {"oversize", Fault::oversize, true},
    {"nodouble", Fault::no_double, false},
    {"raw", Fault::raw, false},
};

int ParseOption(std::string_view word, ScriptLine& out, std::string& error) {
    std::string_view name = word;
    std::string_view arg;
    bool has_arg = false;
    if (std::size_t eq = word.find('='); eq != std::string_view::npos) {
        name = word.substr(0, eq);
        arg = word.substr(eq + 1);
        has_arg = true;
    }
    if (name == "expect") {
        if (arg == "answer")
            out.expect = Expect::answer;
        else if (arg == "nack")
            out.expect = Expect::nack;
        else if (arg == "none")
            out.expect = Expect::none;
        else {
            error = "expect= takes answer, nack or none";
            return -1;
        }
        return 0;
    }
    for (const FaultWord& fw : kFaults) {
        if (name != fw.name) continue;
        if (out.request.fault != Fault::none) {
            error = "only one fault per request";
            return -1;
        }
        out.request.fault = fw.fault;
        if (has_arg) {
            unsigned long v = 0;
            unsigned long max = fw.fault == Fault::stray_byte     ? 255
                                : fw.fault == Fault::missing_lead ? 8
                                                                  : 4000;
            if (!fw.takes_arg || !ParseNumber(arg, max, v) || v == 0) {
                error = "bad value for option '" + std::string(name) + "'";
                return -1;
            }
            out.request.fault_arg = static_cast<int>(v);
        }
        return 0;
    }
    error = "unknown option '" + std::string(word) + "'";
    return -1;
}

} // namespace

int UnescapeData(std::string_view text, std::vector<std::uint8_t>& out, std::string& error) {
    out.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '\\') {
            out.push_back(static_cast<std::uint8_t>(c));
            continue;
        }
        if (++i >= text.size()) {
            error = "a lone \\ at the end of the data";
            return -1;
        }
        switch (text[i]) {
        case '0': out.push_back(0); break;
        case 'n': out.push_back('\n'); break;
        case 'r': out.push_back('\r'); break;
        case 't': out.push_back('\t'); break;
        case 's': out.push_back(' '); break;
        case '\\': out.push_back('\\'); break;
        case '"': out.push_back('"'); break;
        case 'x': {
            int hi = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
            int lo = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
            if (hi < 0 || lo < 0) {
                error = "\\x needs two hexadecimal digits";
                return -1;
            }
            out.push_back(static_cast<std::uint8_t>(hi * 16 + lo));
            i += 2;
            break;
        }
        default: error = std::string("unknown escape \\") + text[i]; return -1;
        }
    }
    return 0;
}

int ParseScriptLine(std::string_view line, ScriptLine& out, std::string& error) {
    out = ScriptLine{};
    if (!line.empty() && line.back() == '\n') line.remove_suffix(1);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string_view rest = line;
    std::string_view word;
    bool quoted = false;
    if (!NextWord(rest, word, quoted)) {
        error = "unterminated quote";
        return -1;
    }
    if (word.empty() || (!quoted && word[0] == '#')) return 0;

    if (!quoted && (word == "sleep" || word == "wait")) {
        bool is_sleep = word == "sleep";
        std::string_view arg;
        if (!NextWord(rest, arg, quoted)) {
            error = "unterminated quote";
            return -1;
        }
        unsigned long ms = 0;
        if (is_sleep && !ParseNumber(arg, 3600000, ms)) {
            error = "sleep takes a number of milliseconds";
            return -1;
        }
        if (!is_sleep && !arg.empty()) {
            error = "wait takes nothing";
            return -1;
        }
        std::string_view extra;
        NextWord(rest, extra, quoted);
        if (is_sleep && !extra.empty()) {
            error = "sleep takes one number";
            return -1;
        }
        out.kind = is_sleep ? LineKind::sleep : LineKind::wait;
        out.sleep_ms = static_cast<int>(ms);
        return 0;
    }

    unsigned long address = 0;
    if (quoted || !ParseNumber(word, 0xFFFF, address) || address == 0) {
        error = "a request starts with a terminal address (1 to 65535)";
        return -1;
    }
    if (!NextWord(rest, word, quoted)) {
        error = "unterminated quote";
        return -1;
    }
    unsigned long code = 0;
    if (quoted || !ParseNumber(word, 255, code)) {
        error = "the function code (0 to 255) must follow the address";
        return -1;
    }
    out.request.address = static_cast<std::uint16_t>(address);
    out.request.code = static_cast<std::uint8_t>(code);

    if (!NextWord(rest, word, quoted)) {
        error = "unterminated quote";
        return -1;
    }
    if (!word.empty() && UnescapeData(word, out.request.data, error) != 0) return -1;
    for (;;) {
        if (!NextWord(rest, word, quoted)) {
            error = "unterminated quote";
            return -1;
        }
        if (word.empty() && !quoted) break;
        if (quoted) {
            error = "only one data text per request";
            return -1;
        }
        if (ParseOption(word, out, error) != 0) return -1;
    }
    out.kind = LineKind::request;
    return 0;
}

std::string HexBytes(std::span<const std::uint8_t> bytes, std::size_t max_bytes) {
    std::string s;
    char tmp[4];
    std::size_t n = bytes.size() < max_bytes ? bytes.size() : max_bytes;
    for (std::size_t i = 0; i < n; ++i) {
        std::snprintf(tmp, sizeof(tmp), "%02X", bytes[i]);
        if (i != 0) s += ' ';
        s += tmp;
    }
    if (n < bytes.size()) s += " ...";
    return s;
}

std::string FormatData(std::span<const std::uint8_t> data, std::size_t max_bytes) {
    std::string s = "\"";
    char tmp[8];
    std::size_t n = data.size() < max_bytes ? data.size() : max_bytes;
    for (std::size_t i = 0; i < n; ++i) {
        std::uint8_t b = data[i];
        if (b >= 0x20 && b < 0x7F && b != '\\' && b != '"') {
            s += static_cast<char>(b);
        } else {
            std::snprintf(tmp, sizeof(tmp), "\\x%02X", b);
            s += tmp;
        }
    }
    s += n < data.size() ? "\"... [" : "\" [";
    s += HexBytes(data, max_bytes);
    s += ']';
    return s;
}

const char* FaultName(Fault f) {
    for (const FaultWord& fw : kFaults)
        if (fw.fault == f) return fw.name;
    return "";
}

} // namespace talvoterm
