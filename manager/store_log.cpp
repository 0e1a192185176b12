// TableErrors.txt: one line per table-store report.
#include "manager/store_log.h"

#include <cstdio>
#include <cstring>

#include "manager/tablestore/store_errors.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace {

constexpr std::size_t kLineSize = 1024;
constexpr std::size_t kStampLength = 19; // "dd/mm/yyyy hh:mm:ss"

void WriteReport(int, const char* report) {
    char line[kLineSize];
    const std::size_t length = FormatStoreLogLine(report, line, sizeof line);
    plat::FileHandle file = plat::kNoFile;
    if (plat::FileOpen(kStoreLogFile, plat::kAccessWrite, plat::FileCreate::kOpenAlways, &file) !=
        0)
        return; // the store has written the report to standard error already
    std::uint32_t done = 0;
    if (plat::FileSeek(file, 0, plat::SeekFrom::kEnd, nullptr) == 0)
        plat::FileWrite(file, line, static_cast<std::uint32_t>(length), &done);
    plat::FileClose(file);
}

} // namespace

std::size_t FormatStoreLogLine(const char* report, char* out, std::size_t out_size) {
    if (out == nullptr || out_size < 3) return 0;
    plat::LocalTime now{};
    plat::GetLocalTime(&now);
    int n = std::snprintf(out, out_size, "%02u/%02u/%04u %02u:%02u:%02u", now.day % 100u,
                          now.month % 100u, now.year % 10000u, now.hour % 100u, now.minute % 100u,
                          now.second % 100u);
    std::size_t used = n < 0 ? 0 : static_cast<std::size_t>(n);
    if (used > out_size - 3) used = out_size - 3;
    // The report's lines, without the empty ones and the key prompt.
    bool gap = true;
    for (const char* p = report == nullptr ? "" : report; *p != '\0' && used < out_size - 3; ++p) {
        const char c = *p;
        if (c == '\n' || c == '\r') {
            gap = true;
            continue;
        }
        if (gap) {
            if (c == ' ') continue; // a line's leading blanks
            if (std::strncmp(p, "Press a key", 11) == 0) break;
            while (used > kStampLength && out[used - 1] == ' ') --used; // trailing blanks
            const char* sep = used > kStampLength ? " | " : " ";
            for (const char* s = sep; *s != '\0' && used < out_size - 3; ++s) out[used++] = *s;
            gap = false;
            if (used >= out_size - 3) break;
        }
        out[used++] = (static_cast<unsigned char>(c) < 32) ? ' ' : c;
    }
    while (used > kStampLength && out[used - 1] == ' ') --used;
    out[used++] = '\r';
    out[used++] = '\n';
    out[used] = '\0';
    return used;
}

void StartStoreLog() {
    e4set_report_hook(WriteReport);
}
