// TableErrors.txt and standard error: one line per table-store report.
#include "manager/store_log.h"

#include <cstdio>
#include <cstring>

#include "manager/config.h"
#include "manager/status.h"
#include "manager/tablestore/fileio.h"
#include "manager/tablestore/store_errors.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace {

constexpr std::size_t kLineSize = 1024;
constexpr std::size_t kReportSize = 2048;

// The configured name whose store spelling is the `length` bytes at line, or
// null.
const char* ConfiguredSpelling(const char* line, std::size_t length) {
    for (int j = 0; j < kConfigDataFiles; ++j) {
        const char kind = Config.DataFileKind[j];
        const char* extension = kind == kConfigKindTable                                  ? ".DBF"
                                : (kind == kConfigKindIndex || kind == kConfigKindIndexC) ? ".NTX"
                                                                                          : nullptr;
        const char* name = Config.DataFileName[j];
        if (name[0] == '\0') continue;
        char normal[u4name_size];
        const int n = u4name_normalise(name, extension, normal);
        if (static_cast<std::size_t>(n) == length && std::memcmp(normal, line, length) == 0)
            return name;
    }
    return nullptr;
}

void WriteReport(int, const char* report) {
    static char respelled[kReportSize];
    static char line[kLineSize];
    RespellFileNames(report, respelled, sizeof respelled);
    char context[48] = "";
    std::uint16_t address = 0;
    std::uint8_t code = 0;
    if (CurrentRequest(&address, &code))
        std::snprintf(context, sizeof context, "terminal %u request %u", address, code);
    const std::size_t length =
        FormatStoreLogLine(respelled, line, sizeof line, context[0] ? context : nullptr);
    // Standard error gets the line with a plain line end.
    std::fprintf(stderr, "wtalvoc: %.*s\n", static_cast<int>(length > 2 ? length - 2 : 0), line);
    std::fflush(stderr);
    AppendToStoreLog(line, length);
}

} // namespace

void AppendToStoreLog(const char* line, std::size_t length) {
    plat::FileHandle file = plat::kNoFile;
    if (plat::FileOpen(kStoreLogFile, plat::kAccessWrite, plat::FileCreate::kOpenAlways, &file) !=
        0)
        return;
    std::uint32_t done = 0;
    if (plat::FileSeek(file, 0, plat::SeekFrom::kEnd, nullptr) == 0)
        plat::FileWrite(file, line, static_cast<std::uint32_t>(length), &done);
    plat::FileClose(file);
}

std::size_t FormatStoreLogLine(const char* report, char* out, std::size_t out_size,
                               const char* context) {
    if (out == nullptr || out_size < 3) return 0;
    plat::LocalTime now{};
    plat::GetLocalTime(&now);
    int n = std::snprintf(out, out_size, "%02u/%02u/%04u %02u:%02u:%02u", now.day % 100u,
                          now.month % 100u, now.year % 10000u, now.hour % 100u, now.minute % 100u,
                          now.second % 100u);
    std::size_t used = n < 0 ? 0 : static_cast<std::size_t>(n);
    if (context != nullptr && used < out_size - 3) {
        n = std::snprintf(out + used, out_size - 3 - used, " %s:", context);
        if (n > 0) used += static_cast<std::size_t>(n);
    }
    if (used > out_size - 3) used = out_size - 3;
    // The report's lines, without the empty ones and the key prompt.
    bool gap = true;
    bool first = true;
    for (const char* p = report == nullptr ? "" : report; *p != '\0' && used < out_size - 3; ++p) {
        const char c = *p;
        if (c == '\n' || c == '\r') {
            gap = true;
            continue;
        }
        if (gap) {
            if (c == ' ') continue; // a line's leading blanks
            if (std::strncmp(p, "Press a key", 11) == 0) break;
            if (!first)
                while (out[used - 1] == ' ') --used; // trailing blanks
            const char* sep = first ? " " : " | ";
            for (const char* s = sep; *s != '\0' && used < out_size - 3; ++s) out[used++] = *s;
            gap = false;
            first = false;
            if (used >= out_size - 3) break;
        }
        out[used++] = (static_cast<unsigned char>(c) < 32) ? ' ' : c;
    }
    if (!first)
        while (out[used - 1] == ' ') --used;
    out[used++] = '\r';
    out[used++] = '\n';
    out[used] = '\0';
    return used;
}

void RespellFileNames(const char* report, char* out, std::size_t out_size) {
    if (out == nullptr || out_size == 0) return;
    std::size_t used = 0;
    const char* p = report == nullptr ? "" : report;
    while (*p != '\0' && used + 1 < out_size) {
        const char* end = p;
        while (*end != '\0' && *end != '\n') ++end;
        const std::size_t length = static_cast<std::size_t>(end - p);
        const char* name = length > 0 ? ConfiguredSpelling(p, length) : nullptr;
        const char* from = name != nullptr ? name : p;
        const std::size_t count = name != nullptr ? std::strlen(name) : length;
        for (std::size_t i = 0; i < count && used + 1 < out_size; ++i) out[used++] = from[i];
        p = end;
        if (*p == '\n') {
            if (used + 1 < out_size) out[used++] = '\n';
            ++p;
        }
    }
    out[used] = '\0';
}

void StartStoreLog() {
    e4set_report_to_stderr(0);
    e4set_report_hook(WriteReport);
}
