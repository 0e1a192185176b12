// The driver's fault handler: names the routine that faulted and hands the
// fault to ExcecaoFatal.
#include "linkdriver/guard.h"

#include "linkdriver/logs.h"
#include "linkdriver/portstate.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

namespace serilo {

const char kIoThreadWhere[] = "IOThread";

namespace {

std::atomic<bool> g_installed{false};

void OnDriverFault(std::uint32_t code, const char* where) {
    if (where == nullptr || where[0] == 0) {
        // Not inside the driver: the process dies the ordinary way.
        std::abort();
    }
    if (where == kIoThreadWhere) {
        char text[kActivitySize + 16];
        std::snprintf(text, sizeof text, "IOThread %s", g_port.activity);
        ExcecaoFatal(code, text);
    }
    ExcecaoFatal(code, where);
}

} // namespace

void EnsureFaultHandler() {
    if (!g_installed.exchange(true)) plat::FaultInstall(OnDriverFault);
    thread_local bool prepared = false;
    if (!prepared) {
        plat::FaultPrepareThread();
        prepared = true;
    }
}

} // namespace serilo
