// The activity counts of the main loop and the status report.
#include "manager/status.h"

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "linkdriver/counters.h"
#include "manager/config.h"
#include "manager/link.h"
#include "manager/runtime.h"
#include "platform/clock.h"
#include "platform/devices.h"
#include "platform/linesettings.h"
#include "platform/ui.h"
#include "version.h"

// The driver counts the line into this record (see linkdriver/counters.h).
extern "C" {
LineCounters serilo_line_counters{};
}

namespace {

constexpr int kCodes = 256;
constexpr const char* kRefusalNames[kLineRefusals] = {"checksum", "length", "source", "code",
                                                      "timeout"};

struct Activity {
    std::uint64_t uptimeMs;
    std::uint32_t lastTick;
    std::uint32_t passes;
    std::uint32_t requests;
    std::uint32_t unserved; // answered 7
    std::array<std::uint32_t, kCodes> byCode;
    std::array<std::uint32_t, kSlots> slotRequests;
    std::array<std::int16_t, kSlots> slotLastCode; // -1 = none yet
    std::array<std::uint32_t, kSlots> slotLastTick;
    bool busy;
    std::uint16_t busyAddress;
    std::uint8_t busyCode;
};

Activity g_activity;
char g_portPath[512];
plat::LineSettings g_lineSettings;

constexpr const char* kLineErrorNames[kLineErrorKinds] = {"frame", "parity", "overrun",
                                                          "break", "buffer", "echo"};

const char* YesNo(bool v) {
    return v ? "yes" : "no";
}
const char* LockFileText(int v) {
    return v < 0 ? "default" : v ? "yes" : "no";
}

void Advance() {
    const std::uint32_t now = plat::TickCount();
    g_activity.uptimeMs += now - g_activity.lastTick;
    g_activity.lastTick = now;
}

// Appends formatted text to a fixed buffer, cutting at its end.
struct Out {
    char* text;
    std::size_t size;
    std::size_t used = 0;
    void put(const char* format, ...) __attribute__((format(printf, 2, 3))) {
        if (used + 1 >= size) return;
        va_list args;
        va_start(args, format);
        const int n = std::vsnprintf(text + used, size - used, format, args);
        va_end(args);
        if (n > 0) used += static_cast<std::size_t>(n);
        if (used >= size) used = size - 1;
    }
    // A JSON string of Windows-1252 text.
    void string(const char* cp1252) {
        char utf8[4 * kConfigNameSize + 8];
        plat::Cp1252ToUtf8(cp1252, utf8, sizeof utf8);
        put("\"");
        for (const char* p = utf8; *p != '\0'; ++p) {
            const auto c = static_cast<unsigned char>(*p);
            if (c == '"' || c == '\\')
                put("\\%c", c);
            else if (c < 0x20)
                put("\\u%04x", c);
            else
                put("%c", c);
        }
        put("\"");
    }
};

// The configured name of the data-file entry of that kind whose handle is
// `handle`, or null.
const char* EntryNamed(std::int32_t handle, bool (*kind)(char)) {
    if (handle < 0) return nullptr;
    for (int j = 0; j < kDataFiles; ++j)
        if (kind(Config.DataFileKind[j]) && DataFileHandle[static_cast<std::size_t>(j)] == handle)
            return Config.DataFileName[j];
    return nullptr;
}

// What the terminal in a slot holds.
struct Held {
    const char* kind = nullptr; // "table", "text", null = nothing
    bool table = false;
    const char* file = nullptr;
    const char* index = nullptr;
    std::int32_t record = 0;
    std::uint32_t lockedRecord = 0;
    bool wholeFile = false;
    const char* output = nullptr;
};

Held HeldBy(int slot) {
    const auto s = static_cast<std::size_t>(slot);
    Held h;
    if (TerminalFileKind[s] == kKindTable && TerminalFile[s] >= 0) {
        h.kind = "table";
        h.table = true;
        h.file = EntryNamed(TerminalFile[s], [](char k) { return k == 'D'; });
        h.index = EntryNamed(TerminalIndex[s], [](char k) { return k == 'I' || k == 'C'; });
        h.record = TerminalRecord[s];
    } else if (TerminalFileKind[s] == kKindText && TerminalFile[s] >= 0) {
        h.kind = "text";
        h.file = EntryNamed(TerminalFile[s], [](char k) { return k == 'A'; });
        h.record = TerminalFilePos[s];
    }
    if (const LockTable* t = TerminalLocks[s]) {
        h.lockedRecord = t->record[s];
        h.wholeFile = t->holder == static_cast<std::uint32_t>(slot);
    }
    for (int d = 0; d < kOutputDevices; ++d) {
        const OutputRecord* r = OutputBuffer[static_cast<std::size_t>(d)];
        if (r != nullptr && r->owner == slot) h.output = plat::DeviceName(d);
    }
    return h;
}

std::uint32_t Load(const std::atomic<std::uint32_t>& v) {
    return v.load(std::memory_order_relaxed);
}

void WriteText(Out& o) {
    const std::uint32_t now = plat::TickCount();
    const unsigned long long up = g_activity.uptimeMs / 1000;
    o.put("wtalvoc %s\n", kProjectVersion);
    o.put("port: %s -> %s, line %s\n", PortName[0] ? PortName : "(none)", LinkPortPath(),
          LinkLineState() == 0 ? "served" : "lost");
    o.put("uptime: %llud %02lluh %02llum %02llus\n", up / 86400, up / 3600 % 24, up / 60 % 60,
          up % 60);
    o.put("polls: %u sent on the line, %u passes of the main loop\n",
          Load(serilo_line_counters.polls), g_activity.passes);
    o.put("requests: %u, %u of them not served (answered 7)\n", g_activity.requests,
          g_activity.unserved);
    for (int c = 0; c < kCodes; ++c)
        if (g_activity.byCode[static_cast<std::size_t>(c)] != 0)
            o.put("  code %d: %u\n", c, g_activity.byCode[static_cast<std::size_t>(c)]);
    o.put("frames refused:");
    for (int r = 0; r < kLineRefusals; ++r)
        o.put("%s %s %u", r == 0 ? "" : ",", kRefusalNames[r],
              Load(serilo_line_counters.refused[r]));
    o.put("\n");
    const plat::LineSettings& ls = g_lineSettings;
    const std::int32_t latency = serilo_line_counters.latencyMs.load();
    o.put("line settings (%s): direction %s, turnaround %u us, echo %s, low_latency %s, "
          "lock_file %s\n",
          ls.fromFile ? plat::kLineSettingsFile : "defaults", plat::DirectionName(ls.direction),
          ls.turnaroundUs, YesNo(ls.echo), YesNo(ls.lowLatency), LockFileText(ls.lockFile));
    o.put("line: transmitter-empty flag %s, latency timer ",
          serilo_line_counters.lsrTrusted.load() ? "trusted" : "not trusted (drain + wire time)");
    if (latency >= 0)
        o.put("%d ms", latency);
    else
        o.put("none");
    o.put(", held low %s\n", YesNo(serilo_line_counters.heldLow.load() != 0));
    o.put("line errors (reads that met one):");
    for (int k = 0; k < kLineErrorKinds; ++k)
        o.put("%s %s %u", k == 0 ? "" : ",", kLineErrorNames[k],
              Load(serilo_line_counters.lineErrors[k]));
    o.put("\n");
    o.put("error rate: sample %u, failed %u, last rate %u %%, counting %s, recovery %s\n",
          SampleCount.load(), FailedCount.load(), ErrorRatePercent.load(),
          CountingActive.load() ? "on" : "off", ReopenOnError ? "on" : "off (-1)");
    o.put("terminals: %d\n", PolledCount);
    for (int i = 0; i < PolledCount && i < kSlots; ++i) {
        const int slot = PolledSlot[static_cast<std::size_t>(i)];
        const auto s = static_cast<std::size_t>(slot);
        o.put("  address %u, slot %d: ", PolledAddress[static_cast<std::size_t>(i)], slot);
        if (g_activity.slotLastCode[s] < 0)
            o.put("no request yet");
        else
            o.put("last request %d, %.1f s ago", g_activity.slotLastCode[s],
                  (now - g_activity.slotLastTick[s]) / 1000.0);
        o.put("; requests %u, refused %u; ", g_activity.slotRequests[s],
              Load(serilo_line_counters.refusedAt[i]));
        const Held h = HeldBy(slot);
        if (h.kind == nullptr)
            o.put("no file");
        else {
            o.put("%s %s", h.kind, h.file ? h.file : "?");
            if (h.index) o.put(" by %s", h.index);
            o.put(h.table ? " record %d" : " position %d", h.record);
        }
        if (h.lockedRecord != 0) o.put(", record %u locked", h.lockedRecord);
        if (h.wholeFile) o.put(", whole file locked");
        if (h.output) o.put(", output %s", h.output);
        if (serilo_line_counters.slowedAt[i].load() != 0)
            o.put(", polled less often (answers refused)");
        o.put("\n");
    }
}

void WriteJson(Out& o) {
    const std::uint32_t now = plat::TickCount();
    o.put("{\"version\":\"%s\",\"port\":", kProjectVersion);
    o.string(PortName);
    o.put(",\"path\":");
    o.string(LinkPortPath());
    o.put(",\"line\":\"%s\",\"uptime_s\":%llu,\"polls\":%u,\"passes\":%u,",
          LinkLineState() == 0 ? "served" : "lost",
          static_cast<unsigned long long>(g_activity.uptimeMs / 1000),
          Load(serilo_line_counters.polls), g_activity.passes);
    o.put("\"requests\":{\"total\":%u,\"unserved\":%u,\"by_code\":{", g_activity.requests,
          g_activity.unserved);
    bool first = true;
    for (int c = 0; c < kCodes; ++c) {
        const std::uint32_t n = g_activity.byCode[static_cast<std::size_t>(c)];
        if (n == 0) continue;
        o.put("%s\"%d\":%u", first ? "" : ",", c, n);
        first = false;
    }
    o.put("}},\"refused\":{");
    for (int r = 0; r < kLineRefusals; ++r)
        o.put("%s\"%s\":%u", r == 0 ? "" : ",", kRefusalNames[r],
              Load(serilo_line_counters.refused[r]));
    const plat::LineSettings& ls = g_lineSettings;
    o.put("},\"line_settings\":{\"source\":\"%s\",\"direction\":\"%s\",\"turnaround_us\":%u,"
          "\"echo\":%s,\"low_latency\":%s,\"lock_file\":\"%s\"},",
          ls.fromFile ? plat::kLineSettingsFile : "defaults", plat::DirectionName(ls.direction),
          ls.turnaroundUs, ls.echo ? "true" : "false", ls.lowLatency ? "true" : "false",
          LockFileText(ls.lockFile));
    o.put("\"lsr_trusted\":%s,\"latency_timer_ms\":%d,\"held_low\":%s,\"line_errors\":{",
          serilo_line_counters.lsrTrusted.load() ? "true" : "false",
          serilo_line_counters.latencyMs.load(),
          serilo_line_counters.heldLow.load() ? "true" : "false");
    for (int k = 0; k < kLineErrorKinds; ++k)
        o.put("%s\"%s\":%u", k == 0 ? "" : ",", kLineErrorNames[k],
              Load(serilo_line_counters.lineErrors[k]));
    o.put("},\"error_rate\":{\"sample\":%u,\"failed\":%u,\"percent\":%u,\"counting\":%s,"
          "\"recovery\":%s},\"terminals\":[",
          SampleCount.load(), FailedCount.load(), ErrorRatePercent.load(),
          CountingActive.load() ? "true" : "false", ReopenOnError ? "true" : "false");
    for (int i = 0; i < PolledCount && i < kSlots; ++i) {
        const int slot = PolledSlot[static_cast<std::size_t>(i)];
        const auto s = static_cast<std::size_t>(slot);
        o.put("%s{\"address\":%u,\"slot\":%d,", i == 0 ? "" : ",",
              PolledAddress[static_cast<std::size_t>(i)], slot);
        if (g_activity.slotLastCode[s] < 0)
            o.put("\"last_code\":null,\"last_age_ms\":null,");
        else
            o.put("\"last_code\":%d,\"last_age_ms\":%u,", g_activity.slotLastCode[s],
                  now - g_activity.slotLastTick[s]);
        o.put("\"requests\":%u,\"refused\":%u,\"file\":", g_activity.slotRequests[s],
              Load(serilo_line_counters.refusedAt[i]));
        const Held h = HeldBy(slot);
        if (h.kind == nullptr) {
            o.put("null");
        } else {
            o.put("{\"kind\":\"%s\",\"name\":", h.kind);
            o.string(h.file ? h.file : "");
            o.put(",\"index\":");
            if (h.index)
                o.string(h.index);
            else
                o.put("null");
            o.put(",\"%s\":%d}", h.table ? "record" : "position", h.record);
        }
        o.put(",\"slowed\":%s,\"locked_record\":%u,\"whole_file\":%s,\"output\":",
              serilo_line_counters.slowedAt[i].load() ? "true" : "false", h.lockedRecord,
              h.wholeFile ? "true" : "false");
        if (h.output)
            o.string(h.output);
        else
            o.put("null");
        o.put("}");
    }
    o.put("]}\n");
}

} // namespace

void StartActivity() {
    g_activity = Activity{};
    g_activity.slotLastCode.fill(-1);
    g_activity.lastTick = plat::TickCount();
}

void NotePollPass() {
    Advance();
    ++g_activity.passes;
}

void NoteRequestStart(int slot, std::uint16_t address, std::uint8_t code) {
    ++g_activity.requests;
    ++g_activity.byCode[code];
    if (slot >= 0 && slot < kSlots) {
        const auto s = static_cast<std::size_t>(slot);
        ++g_activity.slotRequests[s];
        g_activity.slotLastCode[s] = code;
        g_activity.slotLastTick[s] = plat::TickCount();
    }
    g_activity.busy = true;
    g_activity.busyAddress = address;
    g_activity.busyCode = code;
}

void NoteRequestEnd(bool served) {
    if (!served) ++g_activity.unserved;
    g_activity.busy = false;
}

bool CurrentRequest(std::uint16_t* address, std::uint8_t* code) {
    if (!g_activity.busy) return false;
    if (address) *address = g_activity.busyAddress;
    if (code) *code = g_activity.busyCode;
    return true;
}

void SetPortPath(const char* path) {
    std::snprintf(g_portPath, sizeof g_portPath, "%s", path == nullptr ? "" : path);
}

const char* PortPath() {
    return g_portPath;
}

bool StartLineSettings(char* why, std::size_t size) {
    serilo_line_counters.latencyMs.store(-1);
    return plat::LoadLineSettings(&g_lineSettings, why, size) == 0;
}

std::size_t WriteStatus(bool json, char* out, std::size_t size) {
    if (out == nullptr || size == 0) return 0;
    out[0] = '\0';
    Advance();
    Out o{out, size};
    if (json)
        WriteJson(o);
    else
        WriteText(o);
    return o.used;
}
