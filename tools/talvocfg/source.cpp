// Parsing and printing the description of talvo.cfg.
#include "tools/talvocfg/source.h"

#include "platform/devices.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <vector>

namespace talvocfg {

namespace {

struct Token {
    std::string text;
    bool quoted = false;
};

// Splits one line into tokens; false with reason on an unclosed quote or a
// control character.
bool Tokenize(const std::string& line, std::vector<Token>* out, std::string* reason) {
    out->clear();
    std::size_t i = 0;
    while (i < line.size()) {
        unsigned char c = static_cast<unsigned char>(line[i]);
        if (c == ' ' || c == '\t') {
            ++i;
            continue;
        }
        if (c == '#') break;
        Token t;
        if (c == '"') {
            std::size_t end = line.find('"', i + 1);
            if (end == std::string::npos) {
                *reason = "missing closing quote";
                return false;
            }
            t.text = line.substr(i + 1, end - i - 1);
            t.quoted = true;
            i = end + 1;
            if (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '#') {
                *reason = "text right after a closing quote";
                return false;
            }
        } else {
            std::size_t start = i;
            while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '#' &&
                   line[i] != '"')
                ++i;
            t.text = line.substr(start, i - start);
        }
        for (unsigned char ch : t.text) {
            if (ch < 0x20 || ch == 0x7F) {
                *reason = "control character in the line";
                return false;
            }
        }
        out->push_back(std::move(t));
    }
    return true;
}

bool ParseNumber(const std::string& s, unsigned long max, unsigned long* value) {
    if (s.empty() || s.size() > 12) return false;
    unsigned long v = 0;
    std::size_t i = 0;
    int base = 10;
    if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
        base = 16;
        i = 2;
    }
    for (; i < s.size(); ++i) {
        char c = s[i];
        int d;
        if (c >= '0' && c <= '9')
            d = c - '0';
        else if (base == 16 && c >= 'a' && c <= 'f')
            d = c - 'a' + 10;
        else if (base == 16 && c >= 'A' && c <= 'F')
            d = c - 'A' + 10;
        else
            return false;
        v = v * static_cast<unsigned long>(base) + static_cast<unsigned long>(d);
        if (v > max) return false;
    }
    *value = v;
    return true;
}

bool SameNoCase(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i], y = b[i];
        if (x >= 'a' && x <= 'z') x = static_cast<char>(x - 'a' + 'A');
        if (y >= 'a' && y <= 'z') y = static_cast<char>(y - 'a' + 'A');
        if (x != y) return false;
    }
    return true;
}

struct PendingIndex {
    int entry;
    int line;
    std::string table;
};

class Builder {
  public:
    explicit Builder(ConfigRecord* record) : r_(record) { std::memset(r_, 0, sizeof *r_); }

    bool Line(int number, const std::string& raw) {
        line_ = number;
        std::string text = raw;
        if (!text.empty() && text.back() == '\r') text.pop_back();
        std::vector<Token> t;
        std::string reason;
        if (!Tokenize(text, &t, &reason)) return Fail(reason);
        if (t.empty()) return true;
        const std::string& key = t[0].text;
        if (t[0].quoted) return Fail("a line starts with a key, not a quoted text");
        if (key == "declared") return Declared(t);
        if (key == "terminal") return Terminal(t);
        if (key == "port") return Port(t);
        if (key == "file") return File(t);
        if (key == "output") return Output(t);
        if (key == "default") return Default(t);
        if (key == "commit") return Commit(t);
        return Fail("unknown key '" + key + "'");
    }

    bool Finish() {
        for (const PendingIndex& p : indexes_) {
            line_ = p.line;
            int table = -1;
            for (int j = 0; j < files_; ++j) {
                if (SameNoCase(r_->DataFileName[j], p.table)) {
                    table = j;
                    break;
                }
            }
            if (table < 0) {
                Fail("no data file named '" + p.table + "'");
                continue;
            }
            if (r_->DataFileKind[table] != kConfigKindTable) {
                Fail("'" + p.table + "' is not a table");
                continue;
            }
            r_->DataFileTable[p.entry] = static_cast<std::uint8_t>(table + 1);
        }
        line_ = 0;
        if (!declaredGiven_) r_->TerminalsDeclared = anyTerminal_ ? 1 : 0;
        return faults_.empty();
    }

    const std::vector<SourceError>& faults() const { return faults_; }

  private:
    // Records a fault of the current line; false, so that the line stops.
    bool Fail(const std::string& reason) {
        faults_.push_back({line_, reason});
        return false;
    }

    bool Count(const std::vector<Token>& t, std::size_t min, std::size_t max) {
        if (t.size() < min) return Fail("'" + t[0].text + "' needs more values");
        if (t.size() > max) return Fail("unexpected '" + t[max].text + "'");
        return true;
    }

    bool Name(const Token& t, char* field, const char* what) {
        if (t.text.empty()) return Fail(std::string("empty ") + what);
        if (t.text.size() >= kConfigNameSize)
            return Fail(std::string(what) + " of 64 characters or more: '" + t.text + "'");
        std::memcpy(field, t.text.data(), t.text.size());
        return true;
    }

    bool Declared(const std::vector<Token>& t) {
        if (!Count(t, 2, 2)) return false;
        unsigned long v;
        if (declaredGiven_) return Fail("'declared' given twice");
        if (!ParseNumber(t[1].text, 255, &v)) return Fail("'declared' takes a number 0..255");
        r_->TerminalsDeclared = static_cast<std::uint8_t>(v);
        declaredGiven_ = true;
        return true;
    }

    bool Terminal(const std::vector<Token>& t) {
        if (!Count(t, 4, 6)) return false;
        unsigned long slot, address;
        if (!ParseNumber(t[1].text, 0xFFFFFFFFul, &slot) || slot > 31)
            return Fail("slot '" + t[1].text + "' is not 0..31");
        if (t[2].text != "address") return Fail("expected 'address' after the slot");
        if (!ParseNumber(t[3].text, 0xFFFFFFFFul, &address) || address == 0 || address > 65535)
            return Fail("address '" + t[3].text + "' is not 2..65535");
        if (address == 1)
            return Fail("address 1 is the PC's own address on the line; terminals use 2..65535");
        if (slotUsed_[slot]) return Fail("slot " + t[1].text + " given twice");
        for (int s = 0; s < kConfigSlots; ++s) {
            if (slotUsed_[s] && r_->TerminalAddress[s] == address)
                return Fail("address " + t[3].text + " already used by slot " + std::to_string(s));
        }
        if (t.size() >= 5 && t[4].text != "application")
            return Fail("unexpected '" + t[4].text + "'");
        if (t.size() == 5) return Fail("'application' needs a name");
        if (t.size() == 6) {
            if (t[4].text != "application") return Fail("unexpected '" + t[4].text + "'");
            if (!Name(t[5], r_->TerminalApplication[slot], "application name")) return false;
        }
        r_->TerminalAddress[slot] = static_cast<std::uint16_t>(address);
        slotUsed_[slot] = true;
        anyTerminal_ = true;
        return true;
    }

    bool Port(const std::vector<Token>& t) {
        if (!Count(t, 2, 5)) return false;
        int d = plat::DeviceNumber(t[1].text.c_str());
        if (d < 0 || d > 3 || t[1].quoted)
            return Fail("'" + t[1].text + "' is not a port COM1..COM4");
        if (portGiven_[d]) return Fail(std::string(plat::DeviceName(d)) + " given twice");
        unsigned long base = 0;
        bool enabled = true;
        std::size_t i = 2;
        if (i < t.size() && t[i].text == "base") {
            if (i + 1 >= t.size()) return Fail("'base' needs a number");
            if (!ParseNumber(t[i + 1].text, 65535, &base))
                return Fail("base address '" + t[i + 1].text + "' is not 0..65535");
            i += 2;
        }
        if (i < t.size() && t[i].text == "disabled") {
            enabled = false;
            ++i;
        }
        if (i < t.size()) return Fail("unexpected '" + t[i].text + "'");
        r_->PortEnabled[d] = enabled ? 1 : 0;
        r_->PortBaseAddress[d] = static_cast<std::uint16_t>(base);
        portGiven_[d] = true;
        return true;
    }

    bool File(const std::vector<Token>& t) {
        if (t.size() < 3) return Fail("'file' needs a kind and a name");
        const std::string& kind = t[1].text;
        char letter;
        if (kind == "text")
            letter = kConfigKindText;
        else if (kind == "table")
            letter = kConfigKindTable;
        else if (kind == "index")
            letter = kConfigKindIndex;
        else if (kind == "index-c")
            letter = kConfigKindIndexC;
        else
            return Fail("unknown file kind '" + kind + "' (text, table, index, index-c)");
        bool isIndex = letter == kConfigKindIndex || letter == kConfigKindIndexC;
        if (isIndex) {
            if (t.size() < 5 || t[3].text != "of") return Fail("an index needs 'of TABLE'");
            if (t.size() > 5) return Fail("unexpected '" + t[5].text + "'");
        } else if (t.size() > 3) {
            return Fail("unexpected '" + t[3].text + "'");
        }
        if (files_ >= kConfigDataFiles) return Fail("more than 30 data files");
        for (int j = 0; j < files_; ++j) {
            if (SameNoCase(r_->DataFileName[j], t[2].text))
                return Fail("data file '" + t[2].text + "' given twice");
        }
        if (!Name(t[2], r_->DataFileName[files_], "file name")) return false;
        r_->DataFileKind[files_] = letter;
        if (isIndex) indexes_.push_back({files_, line_, t[4].text});
        ++files_;
        return true;
    }

    int Device(const Token& t) {
        if (t.quoted) return -1;
        return plat::DeviceNumber(t.text.c_str());
    }

    bool Output(const std::vector<Token>& t) {
        if (!Count(t, 2, 2)) return false;
        int d = Device(t[1]);
        if (d < 0) return Fail("'" + t[1].text + "' is not one of COM1..COM4, LPT1, LPT2");
        if (r_->OutputEnabled[d]) return Fail(t[1].text + " given twice");
        r_->OutputEnabled[d] = 1;
        return true;
    }

    bool Default(const std::vector<Token>& t) {
        if (!Count(t, 2, 2)) return false;
        if (defaultGiven_) return Fail("'default' given twice");
        defaultGiven_ = true;
        if (t[1].text == "none") return true;
        int d = Device(t[1]);
        if (d < 0)
            return Fail("default device '" + t[1].text +
                        "' is not one of COM1..COM4, LPT1, LPT2 or none");
        r_->DefaultOutput = static_cast<std::uint8_t>(d + 1);
        return true;
    }

    bool Commit(const std::vector<Token>& t) {
        if (!Count(t, 2, 2)) return false;
        if (commitGiven_) return Fail("'commit' given twice");
        commitGiven_ = true;
        if (t[1].text == "yes")
            r_->CommitAfterWrite = 1;
        else if (t[1].text != "no")
            return Fail("'commit' takes yes or no");
        return true;
    }

    ConfigRecord* r_;
    int line_ = 0;
    int files_ = 0;
    bool slotUsed_[kConfigSlots] = {};
    bool portGiven_[kConfigPorts] = {};
    bool declaredGiven_ = false, anyTerminal_ = false, defaultGiven_ = false, commitGiven_ = false;
    std::vector<PendingIndex> indexes_;
    std::vector<SourceError> faults_;
};

// A name as the format writes it: quoted when it has blanks or '#'.
std::string Quote(const char* field) {
    std::string s(field, ConfigTextLength(field));
    bool plain = !s.empty() && s.find_first_of(" \t#\"") == std::string::npos;
    return plain ? s : "\"" + s + "\"";
}

bool Representable(const char* field) {
    std::size_t n = ConfigTextLength(field);
    if (n == 0 || n >= kConfigNameSize) return false;
    for (std::size_t i = 0; i < n; ++i) {
        unsigned char c = static_cast<unsigned char>(field[i]);
        if (c < 0x20 || c == 0x7F || c == '"') return false;
    }
    return true;
}

} // namespace

bool BuildRecord(const std::string& source, ConfigRecord* record, SourceError* error,
                 std::vector<SourceError>* all) {
    SourceError scratch;
    if (error == nullptr) error = &scratch;
    Builder b(record);
    int number = 0;
    std::size_t pos = 0;
    if (source.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3; // an editor's byte-order mark
    while (pos <= source.size()) {
        std::size_t end = source.find('\n', pos);
        if (end == std::string::npos) end = source.size();
        ++number;
        b.Line(number, source.substr(pos, end - pos)); // a fault is kept; the next line goes on
        pos = end + 1;
    }
    if (b.Finish()) return true;
    std::vector<SourceError> faults = b.faults();
    std::stable_sort(faults.begin(), faults.end(),
                     [](const SourceError& x, const SourceError& y) { return x.line < y.line; });
    *error = faults.front();
    if (all != nullptr) *all = std::move(faults);
    return false;
}

std::string RecordFault(const ConfigRecord& r) {
    // A used name: its NUL inside the field, no control characters before it.
    auto bad_name = [](const char* field) {
        const std::size_t n = ConfigTextLength(field);
        if (n >= kConfigNameSize) return true;
        for (std::size_t i = 0; i < n; ++i) {
            const auto c = static_cast<unsigned char>(field[i]);
            if (c < 0x20 || c == 0x7F) return true;
        }
        return false;
    };
    for (int s = 0; s < kConfigSlots; ++s)
        if (r.TerminalAddress[s] != 0 && bad_name(r.TerminalApplication[s]))
            return "the application name of slot " + std::to_string(s) + " is no name";
    for (int j = 0; j < kConfigDataFiles; ++j) {
        if (r.DataFileName[j][0] == '\0') continue;
        const std::string entry = "data file " + std::to_string(j);
        if (bad_name(r.DataFileName[j])) return entry + ": the name is no name";
        const char kind = r.DataFileKind[j];
        if (kind != kConfigKindText && kind != kConfigKindTable && kind != kConfigKindIndex &&
            kind != kConfigKindIndexC)
            return entry + ": unknown kind";
        if (kind == kConfigKindIndex || kind == kConfigKindIndexC) {
            const int t = r.DataFileTable[j] - 1;
            if (t < 0 || t >= kConfigDataFiles || r.DataFileKind[t] != kConfigKindTable)
                return entry + ": an index whose table entry is no table";
        }
    }
    if (r.DefaultOutput > kConfigOutputs) return "the default device is outside 0..6";
    return "";
}

std::string ManagerRefusal(const ConfigRecord& r) {
    if (r.TerminalsDeclared == 0) return kConfigNoTerminalsMessage;
    for (int s = 0; s < kConfigSlots; ++s) {
        if (r.TerminalAddress[s] != 0 && ConfigTextLength(r.TerminalApplication[s]) > 4) return "";
    }
    return kConfigNoApplicationMessage;
}

std::string DumpRecord(const ConfigRecord& r) {
    std::string out = "# talvo.cfg\n";
    char buf[160];
    std::snprintf(buf, sizeof buf, "declared %u\n", r.TerminalsDeclared);
    out += buf;
    for (int s = 0; s < kConfigSlots; ++s) {
        bool hasApp = ConfigTextLength(r.TerminalApplication[s]) > 0;
        if (r.TerminalAddress[s] == 0) {
            if (hasApp)
                out += "# slot " + std::to_string(s) + " has no address but the application " +
                       Quote(r.TerminalApplication[s]) + "\n";
            continue;
        }
        std::snprintf(buf, sizeof buf, "terminal %d address %u", s, r.TerminalAddress[s]);
        out += buf;
        if (hasApp) {
            if (Representable(r.TerminalApplication[s]))
                out += " application " + Quote(r.TerminalApplication[s]);
            else
                out += "  # application name not representable";
        }
        out += "\n";
    }
    for (int p = 0; p < kConfigPorts; ++p) {
        if (!r.PortEnabled[p] && r.PortBaseAddress[p] == 0) continue;
        std::snprintf(buf, sizeof buf, "port COM%d base 0x%X%s\n", p + 1, r.PortBaseAddress[p],
                      r.PortEnabled[p] ? "" : " disabled");
        out += buf;
    }
    for (int j = 0; j < kConfigDataFiles; ++j) {
        const char* name = r.DataFileName[j];
        if (ConfigTextLength(name) == 0) continue;
        if (!Representable(name)) {
            out += "# data file " + std::to_string(j) + ": name not representable\n";
            continue;
        }
        switch (r.DataFileKind[j]) {
        case kConfigKindText: out += "file text " + Quote(name) + "\n"; break;
        case kConfigKindTable: out += "file table " + Quote(name) + "\n"; break;
        case kConfigKindIndex:
        case kConfigKindIndexC: {
            out += r.DataFileKind[j] == kConfigKindIndex ? "file index " : "file index-c ";
            out += Quote(name) + " of ";
            int t = r.DataFileTable[j] - 1;
            if (t >= 0 && t < kConfigDataFiles && r.DataFileKind[t] == kConfigKindTable &&
                Representable(r.DataFileName[t]))
                out += Quote(r.DataFileName[t]) + "\n";
            else
                out +=
                    "?  # table entry " + std::to_string(r.DataFileTable[j]) + " is not a table\n";
            break;
        }
        default:
            std::snprintf(buf, sizeof buf, "# data file %d: unknown kind 0x%02X, name ", j,
                          static_cast<unsigned char>(r.DataFileKind[j]));
            out += buf + Quote(name) + "\n";
        }
    }
    for (int d = 0; d < kConfigOutputs; ++d) {
        if (r.OutputEnabled[d]) out += std::string("output ") + plat::DeviceName(d) + "\n";
    }
    if (r.DefaultOutput == 0)
        out += "default none\n";
    else if (r.DefaultOutput <= kConfigOutputs)
        out += std::string("default ") + plat::DeviceName(r.DefaultOutput - 1) + "\n";
    else
        out += "# default device number " + std::to_string(r.DefaultOutput) + " is outside 1..6\n";
    out += r.CommitAfterWrite ? "commit yes\n" : "commit no\n";
    return out;
}

} // namespace talvocfg
