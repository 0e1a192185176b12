// Fault catching: a real fault in a child process reaches the handler with
// the Win32 exception code and the thread's marker, then the child ends
// with exit code 1.
#include "platform/faults.h"
#include "platform/sync.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <string>
#include <sys/wait.h>
#include <unistd.h>

using namespace plat;

namespace {

int g_reportFd = -1;

void Report(std::uint32_t code, const char* where) {
    char line[200];
    int n = std::snprintf(line, sizeof line, "%08X %s", code, where);
    if (n > 0) (void)!::write(g_reportFd, line, static_cast<std::size_t>(n));
}

// Runs body in a child with the handler installed; returns what the handler
// reported and the child's exit status.
std::string InChild(void (*body)(), int* exitStatus) {
    int fds[2];
    if (::pipe(fds) != 0) return "pipe";
    pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        g_reportFd = fds[1];
        FaultInstall(Report);
        body();
        ::_exit(0);
    }
    ::close(fds[1]);
    std::string out;
    char buf[256];
    ssize_t n;
    while ((n = ::read(fds[0], buf, sizeof buf)) > 0) out.append(buf, static_cast<std::size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    *exitStatus = WIFEXITED(status) ? WEXITSTATUS(status) : 1000 + WTERMSIG(status);
    return out;
}

TEST(Faults, AccessViolationReportsCodeAndMarker) {
    int status = 0;
    std::string got = InChild(
        [] {
            FaultScope scope("LePorta");
            static volatile std::uintptr_t address = 16;
            *reinterpret_cast<volatile int*>(address) = 1;
        },
        &status);
    EXPECT_EQ(got, "C0000005 LePorta");
    EXPECT_EQ(status, 1);
}

#if defined(__x86_64__) || defined(__i386__)
TEST(Faults, IntegerDivideByZeroOnAnotherThread) {
    int status = 0;
    std::string got = InChild(
        [] {
            Thread t;
            ThreadCreate(
                &t,
                [](void*) -> std::uint32_t {
                    FaultSetWhere("IOThread na leitura");
                    int zero = 0, result;
                    // The division itself, out of the compiler's sight.
                    asm volatile("cltd\n\tidivl %2" : "=a"(result) : "a"(1), "r"(zero) : "edx");
                    return static_cast<std::uint32_t>(result);
                },
                nullptr, 10240);
            ThreadWait(&t, kInfinite);
        },
        &status);
    EXPECT_EQ(got, "C0000094 IOThread na leitura");
    EXPECT_EQ(status, 1);
}

TEST(Faults, BreakpointAndIllegalInstruction) {
    int status = 0;
    EXPECT_EQ(InChild([] { asm volatile("int3"); }, &status), "80000003 ");
    EXPECT_EQ(status, 1);
    EXPECT_EQ(InChild([] { asm volatile("ud2"); }, &status), "C000001D ");
    EXPECT_EQ(status, 1);
}
#endif

TEST(Faults, MarkerScopesNestAndCodesFollowTheSignal) {
    EXPECT_EQ(FaultWhere(), nullptr);
    {
        FaultScope a("EscrevePorta");
        {
            FaultScope b("CheckSum");
            EXPECT_STREQ(FaultWhere(), "CheckSum");
        }
        EXPECT_STREQ(FaultWhere(), "EscrevePorta");
    }
    EXPECT_EQ(FaultWhere(), nullptr);

    EXPECT_EQ(FaultCodeForSignal(SIGSEGV, SEGV_MAPERR), 0xC0000005u);
    EXPECT_EQ(FaultCodeForSignal(SIGBUS, BUS_ADRALN), 0x80000002u);
    EXPECT_EQ(FaultCodeForSignal(SIGFPE, FPE_INTDIV), 0xC0000094u);
    EXPECT_EQ(FaultCodeForSignal(SIGFPE, FPE_INTOVF), 0xC0000095u);
    EXPECT_EQ(FaultCodeForSignal(SIGFPE, FPE_FLTDIV), 0xC000008Eu);
    EXPECT_EQ(FaultCodeForSignal(SIGFPE, FPE_FLTINV), 0xC0000090u);
    EXPECT_EQ(FaultCodeForSignal(SIGILL, ILL_PRVOPC), 0xC0000096u);
    EXPECT_EQ(FaultCodeForSignal(SIGTRAP, TRAP_TRACE), 0x80000004u);
}

} // namespace
