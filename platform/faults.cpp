// Fault catching with sigaction on an alternate stack per thread.
#include "platform/faults.h"

#include "platform/errors.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <unistd.h>

namespace plat {

namespace {

constexpr int kSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP};
constexpr std::size_t kAltStackSize = 256 * 1024;

std::atomic<FaultHandler> g_handler{nullptr};
thread_local const char* t_where = nullptr;
thread_local void* t_altStack = nullptr; // ours, when we made this thread's

void OnFault(int sig, siginfo_t* info, void*) {
    FaultHandler handler = g_handler.load();
    if (handler == nullptr) {
        // Not ours to handle: die the ordinary way.
        ::signal(sig, SIG_DFL);
        ::raise(sig);
        ::_exit(128 + sig);
    }
    const char* where = t_where ? t_where : "";
    handler(FaultCodeForSignal(sig, info ? info->si_code : 0), where);
    ::_exit(1);
}

} // namespace

std::uint32_t FaultCodeForSignal(int signal, int signalCode) {
    switch (signal) {
    case SIGSEGV: return kExceptionAccessViolation;
    case SIGBUS:
        if (signalCode == BUS_ADRALN) return kExceptionDatatypeMisalignment;
        if (signalCode == BUS_OBJERR) return kExceptionInPageError;
        return kExceptionAccessViolation;
    case SIGFPE:
        switch (signalCode) {
        case FPE_INTDIV: return kExceptionIntDivideByZero;
        case FPE_INTOVF: return kExceptionIntOverflow;
        case FPE_FLTDIV: return kExceptionFltDivideByZero;
        case FPE_FLTOVF: return kExceptionFltOverflow;
        case FPE_FLTUND: return kExceptionFltUnderflow;
        case FPE_FLTRES: return kExceptionFltInexactResult;
        case FPE_FLTINV: return kExceptionFltInvalidOperation;
        case FPE_FLTSUB: return kExceptionArrayBoundsExceeded;
        default: return kExceptionIntDivideByZero;
        }
    case SIGILL:
        if (signalCode == ILL_PRVOPC || signalCode == ILL_PRVREG) return kExceptionPrivInstruction;
        return kExceptionIllegalInstruction;
    case SIGTRAP:
        if (signalCode == TRAP_TRACE) return kExceptionSingleStep;
        return kExceptionBreakpoint;
    default: return kExceptionAccessViolation;
    }
}

void FaultPrepareThread() {
    stack_t current{};
    if (::sigaltstack(nullptr, &current) != 0) return;
    if (!(current.ss_flags & SS_DISABLE)) return; // one is there already
    void* mem = std::malloc(kAltStackSize);
    if (mem == nullptr) return;
    stack_t st{};
    st.ss_sp = mem;
    st.ss_size = kAltStackSize;
    st.ss_flags = 0;
    if (::sigaltstack(&st, nullptr) != 0) {
        std::free(mem);
        return;
    }
    t_altStack = mem;
}

void FaultReleaseThread() {
    if (t_altStack == nullptr) return;
    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && current.ss_sp == t_altStack) {
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        if (::sigaltstack(&off, nullptr) != 0) return; // still in use: keep it
    }
    std::free(t_altStack);
    t_altStack = nullptr;
}

std::uint32_t FaultInstall(FaultHandler handler) {
    g_handler.store(handler);
    struct sigaction sa {};
    sigemptyset(&sa.sa_mask);
    if (handler == nullptr) {
        sa.sa_handler = SIG_DFL;
    } else {
        sa.sa_sigaction = OnFault;
        sa.sa_flags = SA_SIGINFO | SA_ONSTACK;
        FaultPrepareThread();
    }
    for (int sig : kSignals) {
        if (::sigaction(sig, &sa, nullptr) != 0) return FailErrno(errno);
    }
    return kErrSuccess;
}

void FaultSetWhere(const char* where) {
    t_where = where;
}

const char* FaultWhere() {
    return t_where;
}

} // namespace plat
