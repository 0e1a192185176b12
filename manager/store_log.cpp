// TableErrors.txt and standard error: one line per table-store report,
// repeats merged, the file renamed aside when it is full.
#include "manager/store_log.h"

#include <cstdio>
#include <cstring>

#include "manager/config.h"
#include "manager/status.h"
#include "manager/tablestore/fileio.h"
#include "manager/tablestore/store_errors.h"
#include "platform/clock.h"
#include "platform/files.h"
#include "platform/logline.h"
#include "platform/ownfiles.h"

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

// The run of repeats of the last line written: the same text from the same
// source (the line past its date and time, which names the terminal and the
// request) again within kRepeatGapMs of the one before. The repeats are not
// written; the run's end writes one line saying how many there were.
struct Run {
    char line[kLineSize]; // the last line written, CR LF included
    std::size_t length;
    std::uint32_t first; // tick of that line
    std::uint32_t last;  // tick of its last repeat
    long repeats;
};
Run run{};

// Where a line's text starts: past "dd/mm/yyyy hh:mm:ss".
constexpr std::size_t kStampLength = 19;

bool SameText(const char* line, std::size_t length) {
    return run.length == length && length > kStampLength &&
           std::memcmp(run.line + kStampLength, line + kStampLength, length - kStampLength) == 0;
}

// Writes one line to standard error (plain line end) and to the log.
// On the system journal the line carries an error priority in place of
// its date and time (the journal stamps it); the log keeps its own form.
void Emit(const char* line, std::size_t length) {
    const int text = static_cast<int>(length > 2 ? length - 2 : 0);
    if (plat::LogToJournal() && text > static_cast<int>(kStampLength)) {
        plat::LogLine(plat::LogLevel::kError, "wtalvoc:%.*s", text - static_cast<int>(kStampLength),
                      line + kStampLength);
    } else {
        std::fprintf(stderr, "wtalvoc: %.*s\n", text, line);
        std::fflush(stderr);
    }
    AppendToStoreLog(line, length);
}

// Ends the run: the line of its count, in the log's own form (the date and
// time now, the repeated text, the count).
void EndRun() {
    if (run.repeats > 0 && run.length > kStampLength + 2) {
        char stamp[kLineSize];
        const std::size_t n = FormatStoreLogLine("", stamp, sizeof stamp);
        char line[kLineSize + 64];
        const int made = std::snprintf(
            line, sizeof line, "%.*s%.*s (repeated %ld times)\r\n", static_cast<int>(kStampLength),
            n >= kStampLength ? stamp : run.line, static_cast<int>(run.length - kStampLength - 2),
            run.line + kStampLength, run.repeats);
        if (made > 0)
            Emit(line, static_cast<std::size_t>(made) < sizeof line ? static_cast<std::size_t>(made)
                                                                    : sizeof line - 1);
    }
    run.repeats = 0;
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
    WriteStoreLogLine(line, length);
}

} // namespace

void WriteStoreLogLine(const char* line, std::size_t length) {
    if (line == nullptr || length >= kLineSize) return;
    const std::uint32_t now = plat::TickCount();
    if (SameText(line, length) && now - run.last < kRepeatGapMs) {
        ++run.repeats;
        run.last = now;
        // A long run still shows now and then that it goes on.
        if (now - run.first >= kRepeatReportMs) {
            EndRun();
            run.first = now;
        }
        return;
    }
    EndRun();
    std::memcpy(run.line, line, length);
    run.length = length;
    run.first = run.last = now;
    Emit(line, length);
}

void StoreLogIdle(bool stopping) {
    if (run.repeats > 0 && (stopping || plat::TickCount() - run.last >= kRepeatGapMs)) EndRun();
}

void AppendToStoreLog(const char* line, std::size_t length) {
    // Never through a link (the log is the manager's own file), readable by
    // the owner's group, written by the owner alone.
    plat::FileHandle file = plat::kNoFile;
    if (plat::OwnFileOpen(kStoreLogFile, plat::kAccessWrite, 0640, &file) != 0) return;
    std::int64_t size = 0;
    if (plat::FileSize(file, &size) == 0 &&
        size + static_cast<std::int64_t>(length) > kStoreLogCap) {
        // Full: the log becomes the older one (replacing the one before)
        // and a new one is started, so that the log never fills the disk.
        plat::FileClose(file);
        file = plat::kNoFile;
        if (plat::OwnFileRename(kStoreLogFile, kStoreLogOlder) != 0 ||
            plat::OwnFileOpen(kStoreLogFile, plat::kAccessWrite, 0640, &file) != 0)
            return;
    }
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
    run = Run{};
    e4set_report_to_stderr(0);
    e4set_report_hook(WriteReport);
}
