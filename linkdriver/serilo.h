// Serilo, the link driver: the six exported port operations, C linkage.
//
// Calling order: _AtribuiBaseAdd, then _AbrePorta; while the port is open,
// from one thread, _CommError and _LePorta, and for each request delivered
// _EscrevePorta (one frame, or a series for requests 2 and 5); _FechaPorta
// closes, after which _AbrePorta may open again. Results are 0 for done, 1
// for nothing now (no request, buffer busy, port not open), else a Win32
// error number.
#pragma once

#include <stdint.h>

#if defined(SERILO_BUILD)
#define SERILO_API __attribute__((visibility("default")))
#else
#define SERILO_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// Stores the UART's I/O base address; returns it, zero-extended.
SERILO_API uint32_t _AtribuiBaseAdd(uint16_t base);

// Opens the port (a name such as "COM1") and starts polling the count
// (1 to 32) terminal addresses. 0, or the Win32 error of the failed step.
SERILO_API uint32_t _AbrePorta(const char* portName, uint16_t count, const uint16_t* addresses);

// Ends the I/O thread (waiting up to 15 s) and closes the port. 0 when
// closed, 1 when it was not open, else the Win32 error of a failed close.
SERILO_API uint32_t _FechaPorta(void);

// 1 when a line error was logged since the previous call, else 0; always 0
// when the port is not open. The flag is taken and cleared in one step.
SERILO_API uint32_t _CommError(void);

// Hands an answer frame to the I/O thread: 0 when handed over, 1 when the
// transmit buffer did not become free within 500 ms, 87 when the frame
// (data with every 0x10 counted twice, plus 12) would not fit its 4098
// bytes or data is missing.
SERILO_API uint32_t _EscrevePorta(uint16_t address, const uint8_t* data, uint8_t functionCode,
                                  int16_t length);

// Waits up to timeout ms for a request frame and copies it out (data holds
// at least 298 bytes). 0 when delivered, 1 when none arrived; when the line
// is gone (the I/O thread found it hung up, 1167, or failing, 1117), that
// code after the wait: the caller closes the port and opens it again once
// the device is back.
SERILO_API uint32_t _LePorta(uint16_t* address, uint8_t* data, uint8_t* functionCode,
                             int16_t* length, uint32_t timeout);

#ifdef __cplusplus
}
#endif
