// Reading wtalvoc.conf: a bounded text file of `key = value` lines.
#include "platform/linesettings.h"

#include "platform/errors.h"

#include <cstdio>
#include <cstring>

namespace plat {

namespace {

constexpr std::size_t kMaxFile = 8 * 1024;
constexpr std::uint32_t kMaxTurnaroundUs = 100000;

struct Words {
    const char* key;
    const char* allowed;
};
constexpr Words kKeys[] = {
    {"direction", "rts-listen, rts-send, kernel or none"},
    {"turnaround", "microseconds, 0 to 100000"},
    {"echo", "yes or no"},
    {"low_latency", "yes or no"},
    {"lock_file", "yes or no"},
};
constexpr const char* kDirections[] = {"rts-listen", "rts-send", "kernel", "none"};

bool Space(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// Trims [b, e) in place.
void Trim(const char*& b, const char*& e) {
    while (b < e && Space(*b)) ++b;
    while (e > b && Space(e[-1])) --e;
}

bool Is(const char* b, const char* e, const char* word) {
    const std::size_t n = std::strlen(word);
    return std::size_t(e - b) == n && std::memcmp(b, word, n) == 0;
}

// yes/no into *v; false when it is neither.
bool YesNo(const char* b, const char* e, bool* v) {
    if (Is(b, e, "yes")) return *v = true, true;
    if (Is(b, e, "no")) return *v = false, true;
    return false;
}

// One `key = value` line; false when the key or the value is refused (*bad
// then tells which of the keys, or -1 for an unknown one).
bool ApplyLine(const char* kb, const char* ke, const char* vb, const char* ve, LineSettings* s,
               int* bad) {
    *bad = -1;
    for (int k = 0; k < int(sizeof kKeys / sizeof kKeys[0]); ++k) {
        if (!Is(kb, ke, kKeys[k].key)) continue;
        *bad = k;
        bool yes = false;
        switch (k) {
        case 0:
            for (int d = 0; d < 4; ++d)
                if (Is(vb, ve, kDirections[d])) {
                    s->direction = Direction(d);
                    return true;
                }
            return false;
        case 1: {
            if (vb == ve || ve - vb > 6) return false;
            std::uint32_t n = 0;
            for (const char* p = vb; p < ve; ++p) {
                if (*p < '0' || *p > '9') return false;
                n = n * 10 + std::uint32_t(*p - '0');
            }
            if (n > kMaxTurnaroundUs) return false;
            s->turnaroundUs = n;
            return true;
        }
        case 2:
            if (!YesNo(vb, ve, &yes)) return false;
            s->echo = yes;
            return true;
        case 3:
            if (!YesNo(vb, ve, &yes)) return false;
            s->lowLatency = yes;
            return true;
        default:
            if (!YesNo(vb, ve, &yes)) return false;
            s->lockFile = yes ? 1 : 0;
            return true;
        }
    }
    return false;
}

} // namespace

const char* DirectionName(Direction d) {
    const auto i = std::size_t(d);
    return i < 4 ? kDirections[i] : "?";
}

std::uint32_t ParseLineSettings(const char* text, std::size_t size, LineSettings* out, char* why,
                                std::size_t whySize) {
    LineSettings s;
    s.fromFile = true;
    const char* end = text + size;
    int number = 0;
    for (const char* line = text; line < end;) {
        const char* eol =
            static_cast<const char*>(std::memchr(line, '\n', std::size_t(end - line)));
        if (eol == nullptr) eol = end;
        ++number;
        const char* b = line;
        const char* e = eol;
        line = eol + 1;
        if (const char* hash = static_cast<const char*>(std::memchr(b, '#', std::size_t(e - b))))
            e = hash;
        Trim(b, e);
        if (b == e) continue;
        const char* eq = static_cast<const char*>(std::memchr(b, '=', std::size_t(e - b)));
        int bad = -1;
        if (eq != nullptr) {
            const char* kb = b;
            const char* ke = eq;
            const char* vb = eq + 1;
            const char* ve = e;
            Trim(kb, ke);
            Trim(vb, ve);
            if (ApplyLine(kb, ke, vb, ve, &s, &bad)) continue;
        }
        if (bad < 0)
            std::snprintf(why, whySize,
                          "%s:%d: not a known `key = value` line; the keys are direction, "
                          "turnaround, echo, low_latency and lock_file",
                          kLineSettingsFile, number);
        else
            std::snprintf(why, whySize, "%s:%d: bad value for %s; allowed: %s", kLineSettingsFile,
                          number, kKeys[bad].key, kKeys[bad].allowed);
        return Fail(kErrInvalidParameter);
    }
    *out = s;
    return 0;
}

std::uint32_t LoadLineSettings(LineSettings* out, char* why, std::size_t whySize) {
    *out = LineSettings{};
    std::FILE* f = std::fopen(kLineSettingsFile, "rb");
    if (f == nullptr) return 0;
    char text[kMaxFile + 1];
    const std::size_t n = std::fread(text, 1, sizeof text, f);
    std::fclose(f);
    if (n > kMaxFile) {
        std::snprintf(why, whySize, "%s: larger than %zu bytes", kLineSettingsFile, kMaxFile);
        return Fail(kErrInvalidParameter);
    }
    return ParseLineSettings(text, n, out, why, whySize);
}

} // namespace plat
