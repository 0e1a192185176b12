// The port state record and its activity text.
#include "linkdriver/portstate.h"

#include <initializer_list>

namespace serilo {

PortState g_port;

namespace {
// The log lock exists and is free before the first writer needs it: it is
// made when the library is loaded and lives as long as the process.
struct LogLockMaker {
    LogLockMaker() { plat::LockCreate(&g_port.logLock); }
} g_logLockMaker;
} // namespace

void JoinText(char* out, std::size_t size, const char* a, const char* b) {
    if (size == 0) return;
    std::size_t n = 0;
    for (const char* s : {a, b})
        for (; s != nullptr && *s != 0 && n + 1 < size; ++s) out[n++] = *s;
    out[n] = 0;
}

void SetActivity(const char* text) {
    JoinText(g_port.activity, sizeof g_port.activity, text, "");
}

} // namespace serilo
