// The main loop and its poll pass.
#include "manager/mainloop.h"

#include "manager/link.h"
#include "manager/requests/dispatch.h"
#include "manager/runtime.h"
#include "manager/startup.h"
#include "manager/status.h"
#include "manager/store_log.h"
#include "manager/warnings.h"
#include "platform/clock.h"
#include "platform/sync.h"
#include "platform/ui.h"

namespace {

// B1: the output device idle for 30,000 ms or more is closed and freed.
void OutputIdleTimeOut() {
    if (OutputHolder == kNoSlot) return;
    if (plat::TickCount() - OutputLastActivity < kOutputIdleMs) return;
    FreeOutputDevice(OutputHolder);
}

// The tick of the last attempt to open a lost line again.
std::uint32_t LastReopenTick = 0;

std::uint32_t OpenPort() {
    return Link.open(PortName, static_cast<std::uint16_t>(PolledCount), PolledAddress.data());
}

void LineLost(std::uint32_t why) {
    LinkNoteLost(why);
    LastReopenTick = plat::TickCount();
}

// While the line is lost the port stays closed and is opened again by name
// once a second (a COM1 link to /dev/serial/by-id finds the adapter when it
// is plugged back); between attempts the pass sleeps, at most as long as the
// request wait, so window messages are still served as often.
void ReopenLostLine() {
    // The loss's own flag, taken while the port is closed, so that the line
    // once back does not count it as a link error.
    Link.comm_error();
    const std::uint32_t since = plat::TickCount() - LastReopenTick;
    if (since < kReopenIntervalMs) {
        const std::uint32_t rest = kReopenIntervalMs - since;
        plat::Sleep(rest < kRequestWaitMs ? rest : kRequestWaitMs);
        return;
    }
    LastReopenTick = plat::TickCount();
    if (OpenPort() == 0) LinkNoteOpened();
}

// B3: close and reopen the port after a link error. 0, or the exit status.
// A port that cannot be opened again is a lost line, reopened once a second:
// the adapter may be unplugged for a while.
int LinkErrorRecovery() {
    // Asked on every pass so that the driver's flag is consumed.
    if (Link.comm_error() == 0 || !ReopenOnError) return 0;
    CountingActive = 1;
    std::uint32_t r = Link.close();
    if (r != 0) {
        ShowPortError(r, kPortCloseError);
        return 1;
    }
    FailedCount.fetch_add(1);
    r = OpenPort();
    if (r != 0) LineLost(r);
    return 0;
}

// B4: the error-rate test.
void ErrorRateTest() {
    const std::uint32_t sample = SampleCount.load();
    if (sample < kMinimumSample || RateWarningEnabled.load() == 0) return;
    const std::uint32_t percent =
        static_cast<std::uint8_t>(static_cast<std::uint64_t>(FailedCount.load()) * 100 / sample);
    ErrorRatePercent = percent;
    if (percent >= kWarningPercent) {
        // Only one warning is pending at a time.
        RateWarningEnabled = 0;
        StartRateWarning();
    } else {
        SampleCount = 1;
        FailedCount = 0;
        CountingActive = 0;
    }
}

// B5: one request fetched and dispatched; an unserved code is answered 7.
void FetchRequest() {
    std::uint16_t address = 0;
    std::uint8_t code = 0;
    std::int16_t length = 0;
    const std::uint32_t r = Link.read(&address, FrameBuffer, &code, &length, kRequestWaitMs);
    if (r == 1) return;
    if (r != 0) {
        // The driver found the line gone (also with "-1", which turns off
        // only the recovery from line errors).
        Link.close();
        LineLost(r);
        return;
    }
    // The driver delivers at most 298 bytes; anything else is not trusted.
    int n = length;
    if (n < 0) n = 0;
    if (n > static_cast<int>(kFrameBufferSize) - 1) n = static_cast<int>(kFrameBufferSize) - 1;
    const int slot = SlotOfAddress(address);
    NoteRequestStart(slot, address, code);
    const bool served = DispatchRequest(address, FrameBuffer, code, n, slot) != 0;
    if (!served) Link.write(address, nullptr, 7, 0);
    NoteRequestEnd(served);
}

} // namespace

int PollPass() {
    NotePollPass();
    OutputIdleTimeOut();
    StoreLogIdle(false);
    if (LinkLineState() != 0) {
        ReopenLostLine();
        return -1;
    }
    if (CountingActive.load() != 0) SampleCount.fetch_add(1);
    if (const int status = LinkErrorRecovery(); status != 0) return status;
    if (LinkLineState() != 0) return -1;
    ErrorRateTest();
    FetchRequest();
    return -1;
}

bool ServeMessagesInRequest() {
    plat::Message message{};
    // Bounded: the queue holds 64 messages, and the window may post a few more.
    for (int served = 0; served < 128 && plat::PeekMessage(&message); ++served) {
        if (message.id == plat::kMsgQuit) {
            plat::PostQuitMessage(static_cast<int>(message.wParam));
            return true;
        }
        plat::DispatchMessage(message);
    }
    return false;
}

int MainLoop() {
    for (;;) {
        plat::Message message{};
        if (plat::PeekMessage(&message)) {
            if (message.id == plat::kMsgQuit) {
                StoreLogIdle(true);
                Shutdown();
                Link.close();
                return static_cast<int>(message.wParam);
            }
            // No accelerators: every message goes to the window procedure.
            plat::DispatchMessage(message);
            continue;
        }
        if (const int status = PollPass(); status >= 0) return status;
    }
}
