// The port state: the one record that the caller's thread (the six exports)
// and IOThread share. It exists once per loaded library, all zero at load,
// so one process drives one port.
//
// The two threads meet only through the four events and these ownership
// rules; there is no lock between them:
//   transmit buffer and length: the caller's from a successful wait on
//     transmit-free until _EscrevePorta sets reply-ready; IOThread's from
//     reply-ready until it sets transmit-free;
//   receive buffer: IOThread's while it receives; the caller's from
//     frame-received until the next poll starts (IOThread then resets
//     frame-received and receives into it again).
#pragma once

#include "platform/linesettings.h"
#include "platform/serial.h"
#include "platform/sync.h"

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>

namespace serilo {

inline constexpr std::size_t kMaxTerminals = 32;
inline constexpr std::size_t kReceiveSize = 4096;
inline constexpr std::size_t kTransmitSize = 4098;
inline constexpr std::size_t kActivitySize = 150;
inline constexpr std::size_t kErrorLineSize = 352;
// The most data bytes a request may carry (and _LePorta's caller must hold).
inline constexpr std::size_t kMaxRequestData = 298;

// Who releases the line handle at the end of an open: the close sequence,
// or (after its wait for IOThread ran out) the thread itself when it ends.
enum LineOwner : int { kCloserReleases = 0, kThreadReleases = 1, kThreadEnded = 2 };

struct PortState {
    bool open = false;
    plat::SerialHandle port = plat::kNoSerial;
    plat::Event frameReceived; // manual reset; set while a request waits in the receive buffer
    plat::Event replyReady;    // manual reset; set while an answer waits in the transmit buffer
    plat::Event transmitFree;  // manual reset; set while the caller may fill the transmit buffer
    plat::Event finish;        // manual reset; asks IOThread to end
    plat::TimedLock logLock;   // serialises writers of excecoes.txt
    std::int32_t transmitLength = 0;
    std::array<std::uint16_t, kMaxTerminals> pollingList{};
    std::size_t pollingCursor = 0; // entry served in the current cycle
    std::size_t listEnd = 0;       // one past the last valid entry
    char activity[kActivitySize] = {};
    std::array<std::uint8_t, kReceiveSize> receive{};
    std::array<std::uint8_t, kTransmitSize> transmit{};
    std::uint32_t baseAddress = 0;
    plat::SerialSettings savedSettings{};
    plat::Thread thread;
    std::array<std::uint8_t, 12> control{};
    char errorLine[kErrorLineSize] = {};
    std::int32_t reapplySettings = 0; // IOThread only
    std::atomic<std::uint8_t> errorLogged{0};
    // Set by IOThread when the line is gone: 0 while it serves, else why
    // (1167 hung up, 1117 I/O error). IOThread then stops polling until the
    // port is closed; the next open clears it.
    std::atomic<std::uint32_t> lineLost{0};
    char portPath[512] = {};             // the device path the port was opened by
    std::uint32_t realtimeDropsSeen = 0; // IOThread only
    // Handshake for a thread that outlived the close sequence's wait.
    std::atomic<int> lineOwner{kThreadEnded};
    // wtalvoc.conf as read at the open (IOThread reads it only).
    plat::LineSettings settings{};
    char lockPath[300] = {}; // the UUCP lock taken at open, "" none
};

extern PortState g_port;

// Sets the activity text (cut to fit, always NUL-terminated).
void SetActivity(const char* text);

// Writes a followed by b into out (size bytes), cut to fit, NUL-terminated.
void JoinText(char* out, std::size_t size, const char* a, const char* b);

} // namespace serilo
