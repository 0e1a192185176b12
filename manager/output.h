// The local output devices that terminals write to: a printer on LPT1 or
// LPT2, or a device on a COM port other than the link's.
//
// A terminal opens a device (codes 44 for the configured default device and
// 50 for a device it names), sends text in one or more write requests (45,
// and 49 with a sequence byte that makes a repeated request harmless), and
// releases the device by asking to open it once more. Only one device is
// open at a time, for one terminal; a device left idle for 30 s is closed by
// the main loop, and an application download to its holder closes it too
// (FreeOutputDevice, runtime.h).
//
// Request and answer data:
//   44  -                           -> 44, 'T' now open for you / 'F' not
//   50  byte 0: device 0..5         -> 50, 'T' / 'F'
//   45  bytes 0..n-2 written        -> 45 done / 14 failed
//   49  byte 0 sequence, 1..n-1     -> 49 done or repeated / 14 failed
#pragma once

#include <cstdint>

// Codes 44 and 50: opens device (DefaultOutput - 1 for 44, data byte 0 for
// 50) for the terminal in slot, or releases it when the terminal already
// holds it. Answers the terminal itself.
void OpenOutputDevice(std::uint16_t address, const std::uint8_t* data, int length, int slot,
                      std::uint8_t code);

// Codes 45 and 49: writes the request's text to the device the terminal
// holds. Answers the terminal itself.
void WriteOutputDevice(std::uint16_t address, const std::uint8_t* data, int length, int slot,
                       std::uint8_t code);

// The four rows of the dispatcher, in its handler signature.
void OpenDefaultOutput(std::uint16_t address, std::uint8_t* data, int length, int slot);
void OpenChosenOutput(std::uint16_t address, std::uint8_t* data, int length, int slot);
void WriteOutput(std::uint16_t address, std::uint8_t* data, int length, int slot);
void WriteOutputOnce(std::uint16_t address, std::uint8_t* data, int length, int slot);

// Sets the open serial output device (OutputHandle) to 9600 bit/s, 8 data
// bits, no parity, one stop bit, binary; its flow control and other settings
// stay. 0, or the error number of the call that failed. Exported under this
// name for other programs.
extern "C" __attribute__((visibility("default"))) std::uint32_t _AtualizaPorta(void);
