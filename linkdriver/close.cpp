// The close sequence's report of a failed wait for IOThread, and port names.
#include "linkdriver/close.h"

#include "linkdriver/box.h"
#include "linkdriver/logs.h"
#include "linkdriver/portstate.h"
#include "platform/devices.h"
#include "platform/errors.h"

#include <cstdio>

namespace serilo {

void ReportCloseWait(CloseWait outcome) {
    switch (outcome) {
    case CloseWait::kAbandoned: {
        const char* text = "WAIT_ABANDONED esperando finalizacao da IOThread";
        ShowCloseBox(text);
        GravaExcecoes(text);
        break;
    }
    case CloseWait::kFailed: {
        const char* text = "WAIT_FAILED esperando finalizacao da IOThread";
        ShowCloseBox(text);
        GravaExcecoes(text);
        break;
    }
    case CloseWait::kTimedOut: {
        char activity[kActivitySize];
        std::snprintf(activity, sizeof activity, "%s", g_port.activity);
        char text[256];
        std::snprintf(text, sizeof text,
                      "IOThread nao respondeu apos 15s ao evento de finalizacao %s", activity);
        GravaExcecoes(text);
        break;
    }
    }
}

std::uint32_t ResolvePortName(const char* name, char* out, std::size_t size) {
    if (name == nullptr || name[0] == 0) return plat::Fail(plat::kErrFileNotFound);
    // COM1..COM4 (and the other device names): an entry of that name in the
    // working directory, else the standard device. Any other name is the
    // path of the device itself.
    if (plat::DeviceNumber(name) >= 0) {
        if (plat::ResolveDevice(name, out, size) != 0) return plat::Fail(plat::kErrFileNotFound);
        return 0;
    }
    const int n = std::snprintf(out, size, "%s", name);
    if (n < 0 || std::size_t(n) >= size) return plat::Fail(plat::kErrFileNotFound);
    return 0;
}

} // namespace serilo
