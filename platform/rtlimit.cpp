// RLIMIT_RTTIME and its SIGXCPU handler: a real-time thread that ran too
// long without blocking drops to normal priority.
#include "platform/rtlimit.h"

#include "platform/errors.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace plat {

namespace {

std::atomic<std::uint32_t> g_drops{0};
std::atomic<bool> g_installed{false};

constexpr char kDropMessage[] =
    "Limite de CPU em tempo real excedido: a thread volta a prioridade normal\n";

// Runs on the thread that ran over its limit; only calls that are safe in a
// signal handler (sched_setscheduler on pid 0 acts on the calling thread).
void OnRealtimeLimit(int) {
    const int saved = errno;
    const int policy = sched_getscheduler(0);
    if (policy == SCHED_FIFO || policy == SCHED_RR) {
        sched_param normal{};
        normal.sched_priority = 0;
        if (sched_setscheduler(0, SCHED_OTHER, &normal) == 0) {
            g_drops.fetch_add(1);
            ssize_t ignored = write(STDERR_FILENO, kDropMessage, sizeof kDropMessage - 1);
            (void)ignored;
        }
    }
    errno = saved;
}

} // namespace

std::uint32_t RealtimeLimitArm() {
    if (!g_installed.exchange(true)) {
        struct sigaction sa {};
        sa.sa_handler = OnRealtimeLimit;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        if (sigaction(SIGXCPU, &sa, nullptr) != 0) {
            g_installed.store(false);
            return FailErrno(errno);
        }
    }
    rlimit now{};
    if (getrlimit(RLIMIT_RTTIME, &now) != 0) return FailErrno(errno);
    rlimit want = now;
    // The kernel raises the soft limit by a second each time it signals; a
    // new arming sets it back.
    if (want.rlim_max == RLIM_INFINITY || want.rlim_max > kRealtimeHardLimitUs)
        want.rlim_max = kRealtimeHardLimitUs;
    if (want.rlim_cur == RLIM_INFINITY || want.rlim_cur > kRealtimeSoftLimitUs)
        want.rlim_cur = kRealtimeSoftLimitUs;
    if (want.rlim_cur > want.rlim_max) want.rlim_cur = want.rlim_max;
    if (setrlimit(RLIMIT_RTTIME, &want) != 0) return FailErrno(errno);
    return kErrSuccess;
}

int RealtimeThreadCount() {
    DIR* tasks = ::opendir("/proc/self/task");
    if (tasks == nullptr) return -1;
    int count = 0;
    // Bounded: a process has few threads; a runaway listing is cut.
    for (int seen = 0; seen < 4096; ++seen) {
        const dirent* e = ::readdir(tasks);
        if (e == nullptr) break;
        if (e->d_name[0] < '0' || e->d_name[0] > '9') continue;
        char path[64], stat[1024];
        std::snprintf(path, sizeof path, "/proc/self/task/%.20s/stat", e->d_name);
        std::FILE* f = std::fopen(path, "re");
        if (f == nullptr) continue;
        const std::size_t n = std::fread(stat, 1, sizeof stat - 1, f);
        std::fclose(f);
        stat[n] = '\0';
        // The policy is field 41; fields after the command's ')' start at 3.
        const char* p = std::strrchr(stat, ')');
        for (int field = 2; p != nullptr && field < 41; ++field) p = std::strchr(p + 1, ' ');
        if (p != nullptr) {
            const int policy = std::atoi(p + 1);
            if (policy == SCHED_FIFO || policy == SCHED_RR) ++count;
        }
    }
    ::closedir(tasks);
    return count;
}

std::uint32_t RealtimeLimitDrops() {
    return g_drops.load();
}

} // namespace plat
