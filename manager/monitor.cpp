// The running copy's side of --monitor: the driver calls wrapped, the lines
// built and published.
#include "manager/monitor.h"

#include "linkdriver/counters.h"
#include "manager/link.h"
#include "manager/runtime.h"
#include "manager/startup.h"
#include "platform/clock.h"
#include "platform/instance.h"

#include <array>
#include <cstdio>

namespace {

constexpr int kShownBytes = 48; // of the request's data and the answer's

constexpr std::array<const char*, 51> kCodeNames = {
    "none",                     // 0
    "poll",                     // 1
    "send my image",            // 2
    "end of series",            // 3
    "?",                        // 4
    "send my alternate image",  // 5
    "?",                        // 6
    "not served",               // 7
    "ack",                      // 8
    "nothing",                  // 9
    "open table, high base",    // 10
    "open table indexed, high", // 11
    "?",                        // 12
    "?",                        // 13
    "refused",                  // 14
    "done",                     // 15
    "open table",               // 16
    "choose order",             // 17
    "append blank",             // 18
    "update fields",            // 19
    "mark deleted",             // 20
    "clear deleted",            // 21
    "go to record",             // 22
    "go to last",               // 23
    "go to first",              // 24
    "skip",                     // 25
    "seek key",                 // 26
    "time",                     // 27
    "date",                     // 28
    "open text file",           // 29
    "close text file",          // 30
    "read text",                // 31
    "?",                        // 32
    "move in text",             // 33
    "write text",               // 34
    "text status",              // 35
    "lock record",              // 36
    "lock file",                // 37
    "unlock",                   // 38
    "record count",             // 39
    "record number",            // 40
    "close table",              // 41
    "open table indexed",       // 42
    "append and update",        // 43
    "default output",           // 44
    "write output",             // 45
    "append blank once",        // 46
    "update fields once",       // 47
    "append and update once",   // 48
    "write output once",        // 49
    "chosen output",            // 50
};

constexpr const char* kRefusalWords[kLineRefusals] = {"bad checksum", "bad length", "wrong source",
                                                      "bad code", "time-out"};

LinkCalls driver{}; // the calls the monitor passes on to
bool installed = false;

// The request in flight (delivered, its line not yet published).
struct InFlight {
    bool active = false;
    std::uint16_t address = 0;
    std::uint8_t code = 0;
    int slot = -1;
    std::uint64_t startUs = 0;
    std::uint64_t firstAnswerUs = 0;
    plat::LocalTime at{};
    char data[4 * kShownBytes + 8] = "";
    int answers = 0;
    std::uint8_t answerCode = 0;
    char answer[4 * kShownBytes + 8] = "";
};
InFlight flight;

std::array<std::uint32_t, kLineRefusals> seenRefused{};
std::array<std::uint32_t, kCountedTerminals> seenRefusedAt{};

void Publish(const char* line, int n) {
    if (n <= 0) return;
    plat::InstanceMonitorPublish(line, static_cast<std::size_t>(n));
}

int Stamp(const plat::LocalTime& t, char* out, std::size_t size) {
    return std::snprintf(out, size, "%02u:%02u:%02u.%03u", t.hour % 100u, t.minute % 100u,
                         t.second % 100u, t.millisecond % 1000u);
}

void PublishRequest() {
    if (!flight.active) return;
    flight.active = false;
    const std::uint64_t end = flight.answers > 0 ? flight.firstAnswerUs : plat::MicroCount();
    char line[512], when[16];
    Stamp(flight.at, when, sizeof when);
    char answer[4 * kShownBytes + 40];
    if (flight.answers == 0)
        std::snprintf(answer, sizeof answer, "no answer");
    else
        std::snprintf(answer, sizeof answer, "answer %u %s%s%s%s", flight.answerCode,
                      RequestCodeName(flight.answerCode), flight.answer[0] ? " \"" : "",
                      flight.answer, flight.answer[0] ? "\"" : "");
    char frames[24] = "";
    if (flight.answers > 1) std::snprintf(frames, sizeof frames, " (%d frames)", flight.answers);
    const int n = std::snprintf(line, sizeof line, "%s %u slot %d: %u %s \"%s\" -> %s%s, %llu us",
                                when, flight.address, flight.slot, flight.code,
                                RequestCodeName(flight.code), flight.data, answer, frames,
                                static_cast<unsigned long long>(end - flight.startUs));
    Publish(line, n);
}

// Frames the driver refused since the last look, by reason and terminal.
void PublishRefusals() {
    std::uint32_t total = 0;
    char reasons[160] = "";
    int used = 0;
    for (int r = 0; r < kLineRefusals; ++r) {
        const std::uint32_t now = serilo_line_counters.refused[r].load(std::memory_order_relaxed);
        const std::uint32_t added = now - seenRefused[static_cast<std::size_t>(r)];
        seenRefused[static_cast<std::size_t>(r)] = now;
        if (added == 0 || used < 0 || used >= static_cast<int>(sizeof reasons)) continue;
        total += added;
        used += std::snprintf(reasons + used, sizeof reasons - static_cast<std::size_t>(used),
                              "%s%s x%u", used ? ", " : "", kRefusalWords[r], added);
    }
    char from[200] = "";
    int at = 0;
    for (int i = 0; i < kCountedTerminals; ++i) {
        const std::uint32_t now = serilo_line_counters.refusedAt[i].load(std::memory_order_relaxed);
        const std::uint32_t added = now - seenRefusedAt[static_cast<std::size_t>(i)];
        seenRefusedAt[static_cast<std::size_t>(i)] = now;
        if (added == 0 || i >= PolledCount || at < 0 || at >= static_cast<int>(sizeof from))
            continue;
        at += std::snprintf(from + at, sizeof from - static_cast<std::size_t>(at), "%s%u slot %d",
                            at ? ", " : " from ", PolledAddress[static_cast<std::size_t>(i)],
                            PolledSlot[static_cast<std::size_t>(i)]);
    }
    if (total == 0) return;
    char text[420];
    std::snprintf(text, sizeof text, "frame%s refused: %s%s", total == 1 ? "" : "s", reasons, from);
    MonitorEvent(text);
}

std::uint32_t MonitorRead(std::uint16_t* address, std::uint8_t* data, std::uint8_t* code,
                          std::int16_t* length, std::uint32_t timeout_ms) {
    if (plat::InstanceMonitorCount() > 0)
        PublishRequest();
    else
        flight.active = false;
    const std::uint32_t r = driver.read(address, data, code, length, timeout_ms);
    // Frames refused while the driver waited come before the request it
    // delivers.
    const bool watched = plat::InstanceMonitorCount() > 0;
    if (watched) PublishRefusals();
    if (r != 0 || !watched || address == nullptr || code == nullptr || length == nullptr) return r;
    flight.active = true;
    flight.startUs = plat::MicroCount();
    plat::GetLocalTime(&flight.at);
    flight.address = *address;
    flight.code = *code;
    flight.slot = SlotOfAddress(*address);
    flight.answers = 0;
    flight.answer[0] = '\0';
    ReadableData(data, *length, kShownBytes, flight.data, sizeof flight.data);
    return r;
}

std::uint32_t MonitorWrite(std::uint16_t address, const std::uint8_t* data, std::uint8_t code,
                           std::int16_t length) {
    if (flight.active && address == flight.address) {
        if (flight.answers++ == 0) {
            flight.firstAnswerUs = plat::MicroCount();
            flight.answerCode = code;
            ReadableData(data, length, kShownBytes, flight.answer, sizeof flight.answer);
        }
    }
    return driver.write(address, data, code, length);
}

} // namespace

void MonitorInstall() {
    if (installed) return;
    installed = true;
    driver = Link;
    Link.read = MonitorRead;
    Link.write = MonitorWrite;
    for (int r = 0; r < kLineRefusals; ++r)
        seenRefused[static_cast<std::size_t>(r)] = serilo_line_counters.refused[r].load();
    for (int i = 0; i < kCountedTerminals; ++i)
        seenRefusedAt[static_cast<std::size_t>(i)] = serilo_line_counters.refusedAt[i].load();
}

void MonitorFinish() {
    if (plat::InstanceMonitorCount() > 0) PublishRequest();
    flight.active = false;
}

void MonitorEvent(const char* text) {
    if (plat::InstanceMonitorCount() == 0 || text == nullptr) return;
    plat::LocalTime now{};
    plat::GetLocalTime(&now);
    char line[512], when[16];
    Stamp(now, when, sizeof when);
    Publish(line, std::snprintf(line, sizeof line, "%s line: %s", when, text));
}

const char* RequestCodeName(int code) {
    if (code < 0 || code >= static_cast<int>(kCodeNames.size())) return "?";
    return kCodeNames[static_cast<std::size_t>(code)];
}

std::size_t ReadableData(const std::uint8_t* data, int length, int max_bytes, char* out,
                         std::size_t size) {
    if (out == nullptr || size == 0) return 0;
    std::size_t used = 0;
    const int shown = length < max_bytes ? length : max_bytes;
    for (int i = 0; data != nullptr && i < shown; ++i) {
        char piece[8];
        const std::uint8_t b = data[i];
        if (b == '\\')
            std::snprintf(piece, sizeof piece, "\\\\");
        else if (b == '"')
            std::snprintf(piece, sizeof piece, "\\\"");
        else if (b >= 0x20 && b < 0x7F)
            std::snprintf(piece, sizeof piece, "%c", b);
        else
            std::snprintf(piece, sizeof piece, "\\x%02X", b);
        for (const char* p = piece; *p != '\0' && used + 4 < size; ++p) out[used++] = *p;
    }
    if (length > shown && used + 4 < size)
        for (const char* p = "..."; *p != '\0'; ++p) out[used++] = *p;
    out[used] = '\0';
    return used;
}
