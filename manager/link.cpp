// The table of driver calls, pointing at libserilo.so's exports.
#include "manager/link.h"

#include "linkdriver/serilo.h"

LinkCalls DriverLinkCalls() {
    return LinkCalls{_AtribuiBaseAdd, _AbrePorta, _FechaPorta, _CommError, _EscrevePorta, _LePorta};
}

LinkCalls Link = DriverLinkCalls();
