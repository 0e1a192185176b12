// The table of driver calls, pointing at libserilo.so's exports, and the
// line's state as the main loop keeps it.
#include "manager/link.h"

#include "linkdriver/serilo.h"
#include "manager/monitor.h"
#include "manager/runtime.h"
#include "platform/devices.h"
#include "platform/logline.h"

#include <atomic>
#include <cstdio>

LinkCalls DriverLinkCalls() {
    return LinkCalls{_AtribuiBaseAdd, _AbrePorta, _FechaPorta, _CommError, _EscrevePorta, _LePorta};
}

LinkCalls Link = DriverLinkCalls();

namespace {

// Written by the main thread; the state may be read from any thread.
std::atomic<int> g_lineState{0};
char g_portPath[512] = "";

// One line on standard error in the manager's style, and to the monitors.
void LineEvent(plat::LogLevel level, const char* text) {
    plat::LogLine(level, "%s", text);
    MonitorEvent(text);
}

} // namespace

int LinkLineState() {
    return g_lineState;
}

const char* LinkPortPath() {
    return g_portPath;
}

void LinkNoteOpened() {
    if (plat::DeviceRealPath(PortName, g_portPath, sizeof g_portPath) != 0) g_portPath[0] = '\0';
    if (g_lineState.exchange(0) == 0) return;
    char text[700];
    std::snprintf(text, sizeof text, "Porta de Comunicacao %s reaberta: %s", PortName, g_portPath);
    LineEvent(plat::LogLevel::kNotice, text);
}

void LinkNoteLost(std::uint32_t why) {
    if (g_lineState.exchange(1) != 0) return;
    char text[200];
    std::snprintf(text, sizeof text,
                  "Porta de Comunicacao %s perdida (erro %lu); nova abertura a cada segundo",
                  PortName, static_cast<unsigned long>(why));
    LineEvent(plat::LogLevel::kError, text);
}

void LinkResetState() {
    g_lineState = 0;
    g_portPath[0] = '\0';
}
