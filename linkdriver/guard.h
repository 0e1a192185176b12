// Fault catching for the driver's routines: each export (but
// _AtribuiBaseAdd), IOThread, CheckSum, PutLF and GravaExcecoes marks itself
// as the routine running, and a processor fault inside it reaches
// ExcecaoFatal with that name.
#pragma once

#include "platform/faults.h"

namespace serilo {

// The marker of IOThread: a fault under it is reported as "IOThread " plus
// the activity text at the moment of the fault.
extern const char kIoThreadWhere[];

// Installs the driver's fault handler once per process.
void EnsureFaultHandler();

// Marks a scope as the named routine, the previous marker back at its end.
using FaultScope = plat::FaultScope;

} // namespace serilo
