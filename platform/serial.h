// The serial line of the link driver: one terminal line, opened exclusively,
// 57600 bit/s, 8 data bits, no parity, one stop bit, raw, no flow control.
//
// What the link needs and how it is done on a tty:
//   - exclusive open: a second opener of the same device is refused with
//     "access denied" (5), through an advisory lock on the device node and
//     the tty's exclusive mode;
//   - a port entry whose link target is `tcp:HOST:PORT` is a TCP connection
//     to a serial server (TCP_NODELAY, keep-alive); a closed connection is a
//     line that hung up; every tty-only call is a no-op on it;
//   - the termios the port had before the open is kept and put back at
//     close, with HUPCL cleared: neither a close nor a reopen drops DTR
//     (converters powered from the port keep their power);
//   - the line settings (the termios of the device) can be read into a
//     SerialSettings record and applied again after line errors;
//   - DTR and RTS are set and cleared through the modem-control calls; a
//     device without modem lines (a pseudo-terminal) takes them as no-ops,
//     any other failure is returned;
//   - writes copy the whole frame into the kernel's output queue and return
//     without waiting for the line, so the caller may reuse its buffer at
//     once;
//   - reads take exactly one byte with a total time-out;
//   - the line errors seen since the previous call come back as the word of
//     the PC the system came from: CE_RXOVER 0x0001, CE_OVERRUN 0x0002,
//     CE_RXPARITY 0x0004, CE_FRAME 0x0008, CE_BREAK 0x0010, taken from the
//     tty's error counters (a pseudo-terminal has none and reports 0);
//   - "the frame has left the line": the UART's line status only where the
//     driver reports it faithfully (the 8250 family, told by the driver's
//     name in sysfs); elsewhere (USB adapters: the status is cached or
//     missing, and the drain returns when the USB transfer ends while the
//     chip still sends) the kernel's drain plus the frame's computed wire
//     time, then the turnaround guard in both cases.
// Every routine returns 0 or a Win32 error number (errors.h), also left as
// the thread's last error.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

using SerialHandle = int;
inline constexpr SerialHandle kNoSerial = -1;

// Line error bits, as the link's logs name them.
enum : std::uint32_t {
    kCeRxOver = 0x0001,
    kCeOverrun = 0x0002,
    kCeRxParity = 0x0004,
    kCeFrame = 0x0008,
    kCeBreak = 0x0010,
    kCeIoe = 0x0400,
};

// The device's line settings, kept opaque (a copy of its termios).
struct SerialSettings {
    alignas(8) unsigned char raw[128];
};

// Opens the device at path for reading and writing, exclusively. 2 when it
// does not exist, 5 when another opener holds it or access is refused.
std::uint32_t SerialOpen(const char* path, SerialHandle* handle);

// Sets the line to 57600 bit/s 8N1, raw, no flow control of any kind, reads
// that return at once; DTR and RTS cleared.
std::uint32_t SerialSetupLine(SerialHandle handle);

std::uint32_t SerialGetSettings(SerialHandle handle, SerialSettings* settings);
std::uint32_t SerialSetSettings(SerialHandle handle, const SerialSettings& settings);

std::uint32_t SerialSetDtr(SerialHandle handle, bool on);
std::uint32_t SerialSetRts(SerialHandle handle, bool on);

// Throws away what waits in both directions.
std::uint32_t SerialPurge(SerialHandle handle);

// Queues count bytes for sending. The bytes are copied before the call
// returns; it waits only while the kernel's queue is full (bounded).
std::uint32_t SerialWrite(SerialHandle handle, const void* data, std::uint32_t count);

// Reads one byte into *byte, waiting at most timeoutMs in all. *got is 1 when
// a byte came. A silent line is not a failure: 0 with *got = 0 once the time
// is out. A line that is gone is told apart: 1167 (kErrDeviceNotConnected)
// when it hung up (an unplugged adapter, a pseudo-terminal whose other side
// closed), 1117 (kErrIoDevice) when the read itself failed. Either waits out
// the time-out first, sleeping, so a caller's loop never spins; bytes that
// arrived before a hang-up are still delivered.
std::uint32_t SerialReadByte(SerialHandle handle, std::uint8_t* byte, std::uint32_t timeoutMs,
                             std::uint32_t* got);

// The line errors seen since the previous call (or the open), as CE_ bits.
std::uint32_t SerialTakeLineErrors(SerialHandle handle);

// Returns once every byte queued so far has left the line, the last frame
// being `bytes` long, and then turnaroundUs more have passed (see the top).
// A TCP line returns at once.
std::uint32_t SerialWaitSent(SerialHandle handle, std::uint32_t bytes, std::uint32_t turnaroundUs);

// Wire time of `bytes` bytes at 57600 bit/s 8N1, in microseconds.
constexpr std::uint32_t SerialWireTimeUs(std::uint32_t bytes) {
    return std::uint32_t((std::uint64_t(bytes) * 10 * 1000000 + 57599) / 57600);
}

// Throws away what waits in the input.
std::uint32_t SerialFlushInput(SerialHandle handle);

// The driver's own RS-485 mode (TIOCSRS485: enabled, RTS on send, the
// turnaround as delay after send). 50 (kErrNotSupported) when the driver
// has none.
std::uint32_t SerialKernelRs485(SerialHandle handle, std::uint32_t turnaroundUs);

// Asks the driver for low latency (ASYNC_LOW_LATENCY); a driver without the
// setting is left as it is (0 all the same).
std::uint32_t SerialLowLatency(SerialHandle handle);

// True for a line that is a TCP connection.
bool SerialIsTcp(SerialHandle handle);

// What the host says about a device (path followed to the tty), for the
// status and --check; nothing here opens the device.
struct SerialInfo {
    char tty[64] = {};    // "ttyUSB0", "" when the path is no tty
    char driver[64] = {}; // kernel driver ("ftdi_sio", "serial8250"), "" unknown
    bool lsrTrusted = false;
    int latencyTimerMs = -1; // an FTDI adapter's latency timer, -1 none
    bool tcp = false;
    char tcpTarget[128] = {}; // "HOST:PORT" of a TCP line
};
void SerialDescribe(const char* path, SerialInfo* info);

// Error counters of an open tty (TIOCGICOUNT); false where there are none.
struct SerialCounts {
    std::uint32_t frame = 0, parity = 0, overrun = 0, brk = 0, bufOverrun = 0;
};
bool SerialGetCounts(SerialHandle handle, SerialCounts* counts);

// The driver's RS-485 state of an open tty: -1 no RS-485 mode, 0 present
// and off, 1 on.
int SerialRs485State(SerialHandle handle);

// Releases the device (its exclusive mode is lifted first).
std::uint32_t SerialClose(SerialHandle handle);

// Test seam: bits added to the next SerialTakeLineErrors of any handle (a
// pseudo-terminal cannot produce line errors).
void SerialTestInjectLineErrors(std::uint32_t ceBits);
// Test seam: how many times SerialSetSettings succeeded since the start.
std::uint32_t SerialTestSettingsApplied();
// Test seam: while held, every SerialReadByte waits before it starts (a
// line thread that hangs in a read).
void SerialTestHoldReads(bool hold);
// Test seam: modem lines as last asked for: bit 0 DTR, bit 1 RTS.
std::uint32_t SerialTestModemLines();
// Test seam: the order of the modem-line, mode and write calls, one letter
// each: R/r RTS set/cleared, D/d DTR set/cleared, W a write, L low latency
// asked, K kernel RS-485 mode asked. Start clears it; Trace copies the
// letters recorded since (NUL-terminated, cut to fit).
void SerialTestTraceStart();
void SerialTestTrace(char* out, std::size_t size);

} // namespace plat
