// The queue of log entries between IOThread and the log writer thread.
#include "linkdriver/logqueue.h"

#include "linkdriver/logs.h"
#include "platform/clock.h"
#include "platform/sync.h"

#include <array>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace serilo {

namespace {

struct CommEntry {
    std::uint16_t address;
    std::uint32_t errors;
    std::uint32_t count;
    plat::LocalTime when;
};
struct TextEntry {
    char text[160];
    std::uint32_t count;
    plat::LocalTime when;
};

constexpr std::size_t kCommEntries = 32;
constexpr std::size_t kTextEntries = 8;

struct Pending {
    std::array<CommEntry, kCommEntries> comm;
    std::size_t commUsed = 0;
    std::array<TextEntry, kTextEntries> text;
    std::size_t textUsed = 0;
};

std::mutex g_mutex; // held only to queue or to take the queue
Pending g_pending;
Pending g_writing; // the writer's copy
plat::Event g_wake;
plat::Thread g_writer;
bool g_running = false;
bool g_stop = false;

std::uint32_t Writer(void*) {
    for (;;) {
        plat::EventWait(&g_wake, 1000);
        plat::EventReset(&g_wake);
        bool stop;
        {
            std::lock_guard<std::mutex> lock(g_mutex);
            stop = g_stop;
        }
        LogQueueFlush();
        if (stop) return 0;
    }
}

} // namespace

std::uint32_t LogQueueStart() {
    if (g_running) return 0;
    plat::EventCreate(&g_wake, true, false);
    g_stop = false;
    if (std::uint32_t rc = plat::ThreadCreate(&g_writer, Writer, nullptr, 256 * 1024)) {
        plat::EventClose(&g_wake);
        return rc;
    }
    g_running = true;
    return 0;
}

void LogQueueStop() {
    if (!g_running) {
        LogQueueFlush();
        return;
    }
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_stop = true;
    }
    plat::EventSet(&g_wake);
    plat::ThreadWait(&g_writer, 5000);
    plat::ThreadClose(&g_writer);
    plat::EventClose(&g_wake);
    g_running = false;
}

void QueueCommError(std::uint16_t address, std::uint32_t errors, bool now) {
    plat::LocalTime when{};
    plat::GetLocalTime(&when);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        bool merged = false;
        for (std::size_t i = 0; i < g_pending.commUsed && !merged; ++i) {
            CommEntry& e = g_pending.comm[i];
            if (e.address == address && e.errors == errors) {
                ++e.count;
                merged = true;
            }
        }
        // A full queue keeps what it has: the entries already there carry
        // the news.
        if (!merged && g_pending.commUsed < kCommEntries)
            g_pending.comm[g_pending.commUsed++] = CommEntry{address, errors, 1, when};
    }
    if (now && g_running) plat::EventSet(&g_wake);
}

void QueueException(const char* text, bool now) {
    plat::LocalTime when{};
    plat::GetLocalTime(&when);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        bool merged = false;
        for (std::size_t i = 0; i < g_pending.textUsed && !merged; ++i) {
            TextEntry& e = g_pending.text[i];
            if (std::strncmp(e.text, text, sizeof e.text - 1) == 0) {
                ++e.count;
                merged = true;
            }
        }
        if (!merged && g_pending.textUsed < kTextEntries) {
            TextEntry& e = g_pending.text[g_pending.textUsed++];
            std::snprintf(e.text, sizeof e.text, "%s", text);
            e.count = 1;
            e.when = when;
        }
    }
    if (now && g_running) plat::EventSet(&g_wake);
}

void LogQueueFlush() {
    static std::mutex flushing; // the writer, or a test, one at a time
    std::lock_guard<std::mutex> one(flushing);
    {
        std::lock_guard<std::mutex> lock(g_mutex);
        g_writing = g_pending;
        g_pending.commUsed = 0;
        g_pending.textUsed = 0;
    }
    for (std::size_t i = 0; i < g_writing.commUsed; ++i) {
        const CommEntry& e = g_writing.comm[i];
        WriteCommEntry(e.address, e.errors, e.count, e.when);
    }
    for (std::size_t i = 0; i < g_writing.textUsed; ++i) {
        const TextEntry& e = g_writing.text[i];
        WriteExceptionLine(e.text, e.count, e.when);
    }
}

} // namespace serilo
