// Tick count from the monotonic clock, local time from the C library, and the
// test overrides of both.
#include "platform/clock.h"

#include <atomic>
#include <mutex>
#include <time.h>

namespace plat {

namespace {

std::atomic<bool> g_tickSet{false};
std::atomic<std::uint32_t> g_tick{0};

std::mutex g_timeMutex;
bool g_timeSet = false;
LocalTime g_time{};

} // namespace

std::uint32_t TickCount() {
    if (g_tickSet.load(std::memory_order_acquire)) return g_tick.load(std::memory_order_acquire);
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    std::uint64_t ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u +
                       static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

std::uint64_t MicroCount() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000u +
           static_cast<std::uint64_t>(ts.tv_nsec) / 1000u;
}

void GetLocalTime(LocalTime* out) {
    if (out == nullptr) return;
    {
        std::lock_guard<std::mutex> g(g_timeMutex);
        if (g_timeSet) {
            *out = g_time;
            return;
        }
    }
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    time_t secs = ts.tv_sec;
    tm parts{};
    localtime_r(&secs, &parts);
    out->year = static_cast<std::uint16_t>(parts.tm_year + 1900);
    out->month = static_cast<std::uint16_t>(parts.tm_mon + 1);
    out->dayOfWeek = static_cast<std::uint16_t>(parts.tm_wday);
    out->day = static_cast<std::uint16_t>(parts.tm_mday);
    out->hour = static_cast<std::uint16_t>(parts.tm_hour);
    out->minute = static_cast<std::uint16_t>(parts.tm_min);
    // A leap second shows as 59, as on the PC.
    out->second = static_cast<std::uint16_t>(parts.tm_sec > 59 ? 59 : parts.tm_sec);
    out->millisecond = static_cast<std::uint16_t>(ts.tv_nsec / 1000000);
}

void SetTestTick(std::uint32_t tick) {
    g_tick.store(tick, std::memory_order_release);
    g_tickSet.store(true, std::memory_order_release);
}

void AdvanceTestTick(std::uint32_t ms) {
    g_tick.fetch_add(ms, std::memory_order_acq_rel);
}

void ClearTestTick() {
    g_tickSet.store(false, std::memory_order_release);
}

void SetTestLocalTime(const LocalTime& when) {
    std::lock_guard<std::mutex> g(g_timeMutex);
    g_time = when;
    g_timeSet = true;
}

void ClearTestLocalTime() {
    std::lock_guard<std::mutex> g(g_timeMutex);
    g_timeSet = false;
}

} // namespace plat
