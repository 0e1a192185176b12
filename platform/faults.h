// Catching processor faults: SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGTRAP are
// caught on an alternate stack and handed to one handler with the Win32
// exception code of the fault and the routine the faulting thread had marked
// as running. The link driver's handler writes excecoes.txt and ends the
// process with exit code 1; the handler should not return (if it does, the
// process ends with exit code 1 all the same).
#pragma once

#include <cstdint>

namespace plat {

// Win32 exception codes.
enum : std::uint32_t {
    kExceptionAccessViolation = 0xC0000005,
    kExceptionDatatypeMisalignment = 0x80000002,
    kExceptionBreakpoint = 0x80000003,
    kExceptionSingleStep = 0x80000004,
    kExceptionArrayBoundsExceeded = 0xC000008C,
    kExceptionFltDenormalOperand = 0xC000008D,
    kExceptionFltDivideByZero = 0xC000008E,
    kExceptionFltInexactResult = 0xC000008F,
    kExceptionFltInvalidOperation = 0xC0000090,
    kExceptionFltOverflow = 0xC0000091,
    kExceptionFltStackCheck = 0xC0000092,
    kExceptionFltUnderflow = 0xC0000093,
    kExceptionIntDivideByZero = 0xC0000094,
    kExceptionIntOverflow = 0xC0000095,
    kExceptionPrivInstruction = 0xC0000096,
    kExceptionIllegalInstruction = 0xC000001D,
    kExceptionInPageError = 0xC0000006,
};

// Called on the faulting thread, on its alternate stack, with the exception
// code and the thread's marker ("" when none was set).
using FaultHandler = void (*)(std::uint32_t exceptionCode, const char* where);

// Installs handler for the five signals, process-wide, and prepares the
// calling thread's alternate stack. Installing again replaces the handler;
// null restores the default actions. Returns 0 or the Win32 error number.
std::uint32_t FaultInstall(FaultHandler handler);

// Gives the calling thread an alternate signal stack when it has none.
// Threads started by ThreadCreate (sync.h) get one by themselves.
void FaultPrepareThread();

// Removes the alternate stack that FaultPrepareThread gave this thread.
void FaultReleaseThread();

// The calling thread's marker of the routine being run. The text is not
// copied: it must stay valid while it is the marker (a literal, or a buffer
// in static state such as the driver's activity text).
void FaultSetWhere(const char* where);
const char* FaultWhere();

// Sets the marker for a scope and puts the previous one back at its end.
struct FaultScope {
    const char* previous;
    explicit FaultScope(const char* where) : previous(FaultWhere()) { FaultSetWhere(where); }
    ~FaultScope() { FaultSetWhere(previous); }
    FaultScope(const FaultScope&) = delete;
    FaultScope& operator=(const FaultScope&) = delete;
};

// The exception code for a signal and its si_code (exposed for tests).
std::uint32_t FaultCodeForSignal(int signal, int signalCode);

} // namespace plat
