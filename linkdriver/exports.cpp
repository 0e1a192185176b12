// The six exports: open and close sequences, the hand-over of answer and
// request frames, and the line-error flag.
#include "linkdriver/serilo.h"

#include "linkdriver/box.h"
#include "linkdriver/close.h"
#include "linkdriver/counters.h"
#include "linkdriver/frame.h"
#include "linkdriver/guard.h"
#include "linkdriver/iothread.h"
#include "linkdriver/logqueue.h"
#include "linkdriver/logs.h"
#include "linkdriver/portstate.h"
#include "platform/devices.h"
#include "platform/errors.h"
#include "platform/serial.h"
#include "platform/sync.h"
#include "platform/uucplock.h"

#include <cstdio>
#include <cstring>

using namespace serilo;

// The loading program's counters: null when it keeps none.
extern "C" __attribute__((weak)) LineCounters serilo_line_counters;

namespace {

// Undoes a partly made open: the line is let go (it is held exclusively, so
// keeping it would refuse the next attempt) and the events are closed.
void ReleaseLock() {
    plat::UucpLockRelease(g_port.lockPath);
    g_port.lockPath[0] = 0;
}

void ReleaseFailedOpen(bool eventsMade) {
    plat::SerialClose(g_port.port);
    g_port.port = plat::kNoSerial;
    ReleaseLock();
    if (eventsMade) {
        plat::EventClose(&g_port.replyReady);
        plat::EventClose(&g_port.frameReceived);
        plat::EventClose(&g_port.transmitFree);
        plat::EventClose(&g_port.finish);
    }
}

// The UUCP lock of the device (wtalvoc.conf's lock_file; by default when
// the lock directory is writable). A live holder is refused by its PID.
std::uint32_t TakeLock(const char* portName, const char* path, const plat::SerialInfo& info) {
    g_port.lockPath[0] = 0;
    const int want = g_port.settings.lockFile;
    if (info.tcp || want == 0 || (want < 0 && !plat::UucpLockDirWritable(plat::kLockDir))) return 0;
    char lock[sizeof g_port.lockPath];
    if (plat::UucpLockPath(plat::kLockDir, path, lock, sizeof lock) != 0) return 0;
    std::int32_t holder = 0;
    if (std::uint32_t rc = plat::UucpLockTake(lock, &holder)) {
        if (rc == plat::kErrAccessDenied && holder != 0 && want < 0) {
            // Only a lock left by an ended program of another user (root's
            // terminal program killed): the line is still opened exclusively.
            std::fprintf(stderr,
                         "%s: trava %s do processo %ld, ja terminado, nao pode ser removida; "
                         "porta aberta sem trava\n",
                         portName, lock, static_cast<long>(holder));
            return 0;
        }
        if (rc == plat::kErrAccessDenied && holder != 0)
            std::fprintf(stderr,
                         "%s: trava %s do processo %ld, ja terminado, nao pode ser removida "
                         "(lock_file = yes)\n",
                         portName, lock, static_cast<long>(holder));
        else if (holder != 0)
            std::fprintf(stderr, "%s: porta em uso pelo processo %ld (trava %s)\n", portName,
                         static_cast<long>(holder), lock);
        else
            std::fprintf(stderr, "%s: trava %s nao criada (erro %lu)\n", portName, lock,
                         static_cast<unsigned long>(rc));
        return rc == plat::kErrBusy ? plat::Fail(plat::kErrAccessDenied) : rc;
    }
    JoinText(g_port.lockPath, sizeof g_port.lockPath, lock, "");
    return 0;
}

// The modes wtalvoc.conf asks for at every open: the kernel's RS-485 mode
// (a driver without one is refused by name), low latency, and what the
// counters show of the adapter.
std::uint32_t LineModes(const char* portName, const char* path, const plat::SerialInfo& info) {
    const plat::LineSettings& set = g_port.settings;
    const bool tcp = plat::SerialIsTcp(g_port.port);
    if (!tcp && set.direction == plat::Direction::kKernel &&
        plat::SerialKernelRs485(g_port.port, set.turnaroundUs) != 0) {
        std::fprintf(stderr,
                     "%s: o driver desta porta nao tem modo RS-485 (direction = kernel em %s)\n",
                     g_port.portPath, plat::kLineSettingsFile);
        return plat::Fail(plat::kErrNotSupported);
    }
    plat::SerialInfo now = info;
    if (!tcp && set.lowLatency) {
        plat::SerialLowLatency(g_port.port);
        plat::SerialDescribe(path, &now); // an FTDI adapter now runs at 1 ms
    }
    if (LineCounters* c = &serilo_line_counters) {
        c->lsrTrusted.store(now.lsrTrusted ? 1 : 0);
        c->latencyMs.store(now.latencyTimerMs);
    }
    if (now.latencyTimerMs > 2) {
        char text[200];
        std::snprintf(text, sizeof text,
                      "%s: temporizador de latencia do adaptador em %d ms (mais de 2 ms)", portName,
                      now.latencyTimerMs);
        QueueException(text, false);
    }
    return 0;
}

std::uint32_t OpenSequence(const char* portName, std::uint16_t count,
                           const std::uint16_t* addresses) {
    // Refused before anything is touched: a second open over a running
    // thread, a thread that outlived its close and still holds the line,
    // and arguments that would overrun the polling list.
    if (g_port.open || g_port.lineOwner.load() == kThreadReleases)
        return plat::Fail(plat::kErrBusy);
    if (portName == nullptr || addresses == nullptr || count < 1 || count > kMaxTerminals)
        return plat::Fail(plat::kErrInvalidParameter);

    char path[512];
    if (std::uint32_t rc = ResolvePortName(portName, path, sizeof path)) return rc;
    // wtalvoc.conf as it stands now (the manager refused a bad one at its
    // start; one spoiled since is refused here).
    char why[256];
    if (std::uint32_t rc = plat::LoadLineSettings(&g_port.settings, why, sizeof why)) {
        std::fprintf(stderr, "%s\n", why);
        return rc;
    }
    plat::SerialInfo info;
    plat::SerialDescribe(path, &info);
    if (std::uint32_t rc = TakeLock(portName, path, info)) return rc;
    if (std::uint32_t rc = plat::SerialOpen(path, &g_port.port)) {
        ReleaseLock();
        return rc;
    }
    // Named in the log of a lost line: the name and the device it reached.
    char device[sizeof g_port.portPath];
    if (info.tcp)
        JoinText(device, sizeof device, "tcp:", info.tcpTarget);
    else if (plat::DeviceRealPath(path, device, sizeof device) != 0)
        JoinText(device, sizeof device, path, "");
    // (Cut to fit: a very long path loses its end.)
    if (std::snprintf(g_port.portPath, sizeof g_port.portPath, "%s (%s)", portName, device) < 0)
        g_port.portPath[0] = '\0';
    // The kernel's queues stand for the 4096-byte input and output queues.
    if (std::uint32_t rc = plat::SerialSetupLine(g_port.port)) {
        ReleaseFailedOpen(false);
        return rc;
    }
    if (std::uint32_t rc = plat::SerialGetSettings(g_port.port, &g_port.savedSettings)) {
        ReleaseFailedOpen(false);
        return rc;
    }
    if (std::uint32_t rc = LineModes(portName, path, info)) {
        ReleaseFailedOpen(false);
        return rc;
    }

    plat::EventCreate(&g_port.frameReceived, true, false);
    plat::EventCreate(&g_port.replyReady, true, false);
    plat::EventCreate(&g_port.finish, true, false);
    plat::EventCreate(&g_port.transmitFree, true, true);
    plat::EventReset(&g_port.finish);

    std::memcpy(g_port.pollingList.data(), addresses, count * sizeof(std::uint16_t));
    // The first cycle advances the cursor first and wraps it at the end, so
    // it polls the first address.
    g_port.pollingCursor = count;
    g_port.listEnd = count;

    plat::ProcessSetRealtime();
    plat::ThreadSetPriority(nullptr, plat::ThreadPriority::kIdle);

    // A new line: whatever the last one met is history.
    g_port.lineLost.store(0);
    g_port.lineOwner.store(kCloserReleases);
    if (std::uint32_t rc = LogQueueStart()) {
        g_port.lineOwner.store(kThreadEnded);
        ReleaseFailedOpen(true);
        return rc;
    }
    if (std::uint32_t rc = plat::ThreadCreate(&g_port.thread, IOThread, nullptr, 10240)) {
        g_port.lineOwner.store(kThreadEnded);
        ReleaseFailedOpen(true);
        return rc;
    }
    if (std::uint32_t rc =
            plat::ThreadSetPriority(&g_port.thread, plat::ThreadPriority::kHighest)) {
        plat::EventSet(&g_port.finish);
        plat::ThreadWait(&g_port.thread, plat::kInfinite);
        plat::ThreadClose(&g_port.thread);
        ReleaseFailedOpen(true);
        return plat::Fail(rc);
    }
    g_port.open = true;
    return 0;
}

std::uint32_t CloseSequence() {
    if (!g_port.open) return 1;
    plat::EventSet(&g_port.finish);
    const plat::WaitResult waited = plat::ThreadWait(&g_port.thread, 15000);
    bool threadReleasesLine = false;
    if (waited != plat::WaitResult::kSignalled) {
        ReportCloseWait(waited == plat::WaitResult::kTimedOut ? CloseWait::kTimedOut
                                                              : CloseWait::kFailed);
        // The thread still runs and may still use the line: it is told to
        // end and to release the line itself, so a handle number reused by
        // a later open is never written by it.
        int expected = kCloserReleases;
        threadReleasesLine = g_port.lineOwner.compare_exchange_strong(expected, kThreadReleases);
    }

    // (A thread that still runs may still queue entries; they wait for the
    // next open's writer.)
    if (!threadReleasesLine) LogQueueStop();
    if (std::uint32_t rc = plat::ThreadClose(&g_port.thread)) return rc;
    if (!threadReleasesLine) {
        if (std::uint32_t rc = plat::SerialClose(g_port.port)) return rc;
    }
    ReleaseLock();
    g_port.port = plat::kNoSerial;
    if (std::uint32_t rc = plat::EventClose(&g_port.replyReady)) return rc;
    if (std::uint32_t rc = plat::EventClose(&g_port.frameReceived)) return rc;
    if (std::uint32_t rc = plat::EventClose(&g_port.transmitFree)) return rc;
    if (std::uint32_t rc = plat::EventClose(&g_port.finish)) return rc;

    plat::Sleep(100);
    g_port.open = false;
    return 0;
}

} // namespace

extern "C" {

uint32_t _AtribuiBaseAdd(uint16_t base) {
    g_port.baseAddress = base;
    return g_port.baseAddress;
}

uint32_t _AbrePorta(const char* portName, uint16_t count, const uint16_t* addresses) {
    EnsureFaultHandler();
    FaultScope scope("AbrePorta");
    return OpenSequence(portName, count, addresses);
}

uint32_t _FechaPorta(void) {
    EnsureFaultHandler();
    FaultScope scope("FechaPorta");
    return CloseSequence();
}

uint32_t _CommError(void) {
    EnsureFaultHandler();
    FaultScope scope("CommError");
    const std::uint8_t logged = g_port.errorLogged.exchange(0);
    if (!g_port.open) return 0;
    return logged != 0 ? 1 : 0;
}

uint32_t _EscrevePorta(uint16_t address, const uint8_t* data, uint8_t functionCode,
                       int16_t length) {
    EnsureFaultHandler();
    FaultScope scope("EscrevePorta");
    // A frame that would not fit the transmit buffer is refused before
    // anything changes (building it would run past the buffer).
    if ((length > 0 && data == nullptr) || StuffedFrameSize(data, length) > kTransmitSize)
        return plat::kErrInvalidParameter;
    if (plat::EventWait(&g_port.transmitFree, 500) != plat::WaitResult::kSignalled) return 1;
    const std::size_t size = BuildFrame(address, data, functionCode, length, g_port.transmit.data(),
                                        g_port.transmit.size());
    g_port.transmitLength = std::int32_t(size);
    plat::EventReset(&g_port.transmitFree);
    plat::EventSet(&g_port.replyReady);
    return 0;
}

uint32_t _LePorta(uint16_t* address, uint8_t* data, uint8_t* functionCode, int16_t* length,
                  uint32_t timeout) {
    EnsureFaultHandler();
    FaultScope scope("LePorta");
    if (plat::EventWait(&g_port.frameReceived, timeout) != plat::WaitResult::kSignalled) {
        // A line that is gone delivers nothing more: its cause, after the
        // wait, so that the caller closes the port.
        const std::uint32_t lost = g_port.lineLost.load();
        return g_port.open && lost != 0 ? lost : 1;
    }
    const auto& rx = g_port.receive;
    *address = std::uint16_t(rx[4] << 8 | rx[5]);
    *functionCode = rx[6];
    // IOThread delivers only frames whose length field matches their data
    // (at most 298 bytes); the bound keeps the copy inside the caller's area
    // all the same.
    std::size_t n = std::size_t(rx[7]) << 8 | rx[8];
    if (n > kMaxRequestData) n = kMaxRequestData;
    for (std::size_t i = 0; i < n; ++i) data[i] = rx[9 + i];
    *length = std::int16_t(n);
    plat::EventReset(&g_port.frameReceived);
    return 0;
}

} // extern "C"
