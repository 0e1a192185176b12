// The table of driver calls, pointing at libserilo.so's exports.
#include "manager/link.h"

#include "linkdriver/serilo.h"
#include "manager/status.h"

LinkCalls DriverLinkCalls() {
    return LinkCalls{_AtribuiBaseAdd, _AbrePorta, _FechaPorta, _CommError, _EscrevePorta, _LePorta};
}

LinkCalls Link = DriverLinkCalls();

// Until the line's state is watched, the line counts as served.
int LinkLineState() {
    return 0;
}

const char* LinkPortPath() {
    return PortPath();
}
