// CommErrors.txt and excecoes.txt: GravaErro, GravaExcecoes, ExcecaoFatal and
// PutLF, with their exact line formats.
#include "linkdriver/logs.h"

#include "linkdriver/box.h"
#include "linkdriver/guard.h"
#include "linkdriver/logqueue.h"
#include "linkdriver/portstate.h"
#include "platform/errors.h"
#include "platform/serial.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace serilo {

namespace {

constexpr const char* kWeekdays[7] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
constexpr const char* kMonths[12] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                     "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

constexpr const char* kCommErrorsFile = "CommErrors.txt";
constexpr const char* kExceptionsFile = "excecoes.txt";

// Writes text up to its first NUL as one write.
void WriteText(std::FILE* f, const char* text) {
    if (f != nullptr) std::fwrite(text, 1, std::strlen(text), f);
}

// The activity text as "copy + suffix" (the copy kept by GravaErro).
void TracePoint(const char* copy, const char* suffix) {
    char text[kActivitySize];
    JoinText(text, sizeof text, copy, suffix);
    SetActivity(text);
}

// The lines of the error bits, in the log's order.
struct BitLine {
    std::uint32_t bit;
    const char* text;
};
constexpr BitLine kBitLines[] = {
    {plat::kCeBreak, "CE_BREAK\r\n"}, {plat::kCeOverrun, "CE_OVERRUN\r\n"},
    {plat::kCeFrame, "CE_FRAME\r\n"}, {plat::kCeRxOver, "CE_RXOVER\r\n"},
    {plat::kCeIoe, "CE_IOE\r\n"},     {kCeEcho, "ECO_DIFERENTE\r\n"},
};

// The last excecoes.txt message written directly, for merging repeats
// (under the log lock).
char g_lastMessage[160];
std::uint32_t g_lastTick;
std::uint32_t g_repeats;

} // namespace

std::FILE* OpenLog(const char* name, const char* mode) {
    std::error_code ec;
    const std::filesystem::path path(name);
    if (std::filesystem::is_regular_file(path, ec) &&
        std::filesystem::file_size(path, ec) >= std::uintmax_t(kLogCap) && !ec) {
        char old[64];
        std::snprintf(old, sizeof old, "%s.1", name);
        std::rename(name, old); // replaces an older .1
    }
    return std::fopen(name, mode);
}

void WriteCommEntry(std::uint16_t address, std::uint32_t errors, std::uint32_t count,
                    const plat::LocalTime& when) {
    char stamp[26];
    FormatTimestamp(when, stamp);
    stamp[24] = 0; // without its LF
    char entry[400];
    int n = std::snprintf(entry, sizeof entry, "Terminal: %05u - %s\r\nCodigo: %lu\r\n",
                          unsigned(address), stamp, static_cast<unsigned long>(errors));
    for (const BitLine& b : kBitLines)
        if ((errors & b.bit) && n > 0 && std::size_t(n) < sizeof entry)
            n += std::snprintf(entry + n, sizeof entry - std::size_t(n), "%s", b.text);
    if (count > 1 && n > 0 && std::size_t(n) < sizeof entry)
        std::snprintf(entry + n, sizeof entry - std::size_t(n), "Repeticoes: %lu\r\n",
                      static_cast<unsigned long>(count));
    if (std::FILE* f = OpenLog(kCommErrorsFile, "ab")) {
        WriteText(f, entry);
        std::fclose(f);
    }
}

void WriteExceptionLine(const char* message, std::uint32_t count, const plat::LocalTime& when) {
    char stamp[26];
    FormatTimestamp(when, stamp);
    stamp[24] = 0;
    char line[400];
    if (count > 1)
        std::snprintf(line, sizeof line, "%s (%lu vezes) - %s\r\n", message,
                      static_cast<unsigned long>(count), stamp);
    else
        std::snprintf(line, sizeof line, "%s - %s\r\n", message, stamp);
    if (std::FILE* f = OpenLog(kExceptionsFile, "a+b")) {
        WriteText(f, line);
        std::fclose(f);
    }
}

void FormatTimestamp(const plat::LocalTime& when, char* out) {
    const char* day = when.dayOfWeek < 7 ? kWeekdays[when.dayOfWeek] : "???";
    const char* month = when.month >= 1 && when.month <= 12 ? kMonths[when.month - 1] : "???";
    std::snprintf(out, 26, "%.3s %.3s %02u %02u:%02u:%02u %04u\n", day, month,
                  unsigned(when.day % 100), unsigned(when.hour % 100), unsigned(when.minute % 100),
                  unsigned(when.second % 100), unsigned(when.year % 10000));
}

void PutLF(char* text, std::size_t size) {
    FaultScope scope("PutLF");
    SetActivity("em PutLF");
    for (std::size_t i = 0; i + 1 < size && text[i] != 0; ++i) {
        if (text[i] == '\n' && text[i + 1] == 0) {
            // The LF's NUL becomes the LF; what follows must still end the
            // text inside the buffer.
            if (i + 2 >= size) break;
            text[i] = '\r';
            text[i + 1] = '\n';
            break;
        }
    }
    SetActivity("em grava erro");
}

void GravaErro(std::uint32_t errors) {
    g_port.reapplySettings = 1;
    char copy[kActivitySize];
    JoinText(copy, sizeof copy, g_port.activity, "");
    TracePoint(copy, ", em grava erro.");

    plat::LocalTime now{};
    plat::GetLocalTime(&now);
    char stamp[26];
    FormatTimestamp(now, stamp);
    TracePoint(copy, ", em grava erro p1.");

    std::FILE* f = OpenLog(kCommErrorsFile, "ab");
    TracePoint(copy, ", em grava erro p2.");

    const std::size_t cursor = g_port.pollingCursor < kMaxTerminals ? g_port.pollingCursor : 0;
    std::snprintf(g_port.errorLine, sizeof g_port.errorLine,
                  "Terminal: %05u - %s%cCodigo: %lu%c%c%c", unsigned(g_port.pollingList[cursor]),
                  stamp, 0, static_cast<unsigned long>(errors), 13, 10, 0);
    PutLF(g_port.errorLine, sizeof g_port.errorLine);
    WriteText(f, g_port.errorLine);

    // The manager learns of the error even when the log could not be opened.
    g_port.errorLogged.store(1);

    if (errors & plat::kCeBreak) {
        TracePoint(copy, ", em grava erro p21.");
        std::snprintf(g_port.errorLine, sizeof g_port.errorLine, "CE_BREAK%c%c", 13, 10);
        TracePoint(copy, ", em grava erro p22.");
        WriteText(f, g_port.errorLine);
    }
    TracePoint(copy, ", em grava erro p3.");
    if (errors & plat::kCeOverrun) WriteText(f, "CE_OVERRUN\r\n");
    TracePoint(copy, ", em grava erro p4.");
    if (errors & plat::kCeFrame) WriteText(f, "CE_FRAME\r\n");
    TracePoint(copy, ", em grava erro p5.");
    if (errors & plat::kCeRxOver) WriteText(f, "CE_RXOVER\r\n");
    TracePoint(copy, ", em grava erro p6.");
    if (errors & plat::kCeIoe) WriteText(f, "CE_IOE\r\n");
    TracePoint(copy, ", em grava erro p7.");
    if (f != nullptr) std::fclose(f);
    SetActivity(copy);
}

void GravaLinhaPerdida(std::uint32_t why) {
    // The entry is written by the log writer, at once; the flag is the
    // manager's cue.
    const std::size_t cursor = g_port.pollingCursor < kMaxTerminals ? g_port.pollingCursor : 0;
    QueueCommError(g_port.pollingList[cursor], plat::kCeIoe, true);
    g_port.errorLogged.store(1);
    plat::LocalTime now{};
    plat::GetLocalTime(&now);
    char stamp[26];
    FormatTimestamp(now, stamp);
    const char* cause =
        why == plat::kErrDeviceNotConnected ? "porta desligada" : "erro de E/S na porta";
    // The timestamp ends with its LF.
    std::fprintf(stderr, "Linha de comunicacao perdida (%s, codigo %lu): %s - %s", cause,
                 static_cast<unsigned long>(why), g_port.portPath, stamp);
    std::fflush(stderr);
}

std::uint32_t GravaExcecoes(const char* message) {
    FaultScope scope("GravaExcecoes");
    plat::LocalTime now{};
    plat::GetLocalTime(&now);
    char stamp[26];
    FormatTimestamp(now, stamp);
    char body[512];
    std::snprintf(body, sizeof body, "%s - %s%c", message, stamp, 0);

    const plat::WaitResult got = plat::LockAcquire(&g_port.logLock, 15000);
    const std::uint32_t waitError = got == plat::WaitResult::kSignalled ? 0 : plat::LastError();
    const char* prefix = "";
    if (got == plat::WaitResult::kTimedOut)
        prefix = "TimeOut: ";
    else if (got == plat::WaitResult::kFailed)
        prefix = "Espera falhou: ";
    else if (got != plat::WaitResult::kSignalled)
        prefix = "Espera abandonada: ";

    // The prefix, then the line with its LF and NUL; one more NUL ends it.
    char line[600];
    const std::size_t prefixLen = std::strlen(prefix);
    const std::size_t bodyLen = std::strlen(body); // up to the LF before the NUL
    std::memcpy(line, prefix, prefixLen);
    std::memcpy(line + prefixLen, body, bodyLen);
    line[prefixLen + bodyLen] = 0;
    line[prefixLen + bodyLen + 1] = 0;
    PutLF(line, prefixLen + bodyLen + 2);

    // The same message again within a second is counted, not written; the
    // count goes with its next line.
    const std::uint32_t tick = plat::TickCount();
    const bool repeat = std::strncmp(g_lastMessage, message, sizeof g_lastMessage - 1) == 0 &&
                        tick - g_lastTick < 1000;
    if (repeat) {
        ++g_repeats;
    } else {
        if (std::FILE* f = OpenLog(kExceptionsFile, "a+b")) {
            if (g_repeats > 0 &&
                std::strncmp(g_lastMessage, message, sizeof g_lastMessage - 1) == 0) {
                char counted[600];
                std::snprintf(counted, sizeof counted, "%s%s (%lu vezes) - %s", prefix, message,
                              static_cast<unsigned long>(g_repeats + 1), stamp);
                PutLF(counted, sizeof counted);
                WriteText(f, counted);
            } else {
                WriteText(f, line);
            }
            std::fclose(f);
        }
        std::snprintf(g_lastMessage, sizeof g_lastMessage, "%s", message);
        g_lastTick = tick;
        g_repeats = 0;
    }
    if (got == plat::WaitResult::kSignalled) {
        plat::LockRelease(&g_port.logLock);
        return 0;
    }
    return waitError != 0 ? waitError : plat::kErrWaitTimeout;
}

std::uint32_t FaultNumber(std::uint32_t code) {
    switch (code) {
    case 0xC0000005: return 1;
    case 0x80000002: return 2;
    case 0x80000004: return 3;
    case 0xC000008C: return 4;
    case 0xC000008D: return 5;
    case 0xC000008E: return 6;
    case 0xC000008F: return 7;
    case 0xC0000090: return 8;
    case 0xC0000091: return 9;
    case 0xC0000092: return 10;
    case 0xC0000093: return 11;
    case 0xC0000094: return 12;
    case 0xC0000095: return 13;
    case 0xC0000096: return 14;
    case 0xC0000025: return 15;
    default: return code;
    }
}

void ExcecaoFatal(std::uint32_t code, const char* where) {
    plat::LocalTime now{};
    plat::GetLocalTime(&now);
    char stamp[26];
    FormatTimestamp(now, stamp);
    // Taken when it can be within a second, and never given back: the
    // process ends holding it.
    plat::LockAcquire(&g_port.logLock, 1000);
    std::FILE* f = OpenLog(kExceptionsFile, "a+b");

    char text[256];
    std::snprintf(text, sizeof text, "Excecao n\xBA%lu em %s",
                  static_cast<unsigned long>(FaultNumber(code)), where != nullptr ? where : "");
    ShowFatalBox(text, "Dravo.dll: Excecao Fatal");

    char line[320];
    std::snprintf(line, sizeof line, "%s - %s%c", text, stamp, 0);
    PutLF(line, sizeof line);
    WriteText(f, line);
    if (f != nullptr) std::fclose(f);
    std::_Exit(1);
}

} // namespace serilo
