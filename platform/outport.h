// Line settings of a serial device that the manager writes to as a local
// output device (a serial printer or display on a COM port other than the
// link's).
//
// The device is set to 9600 bit/s, 8 data bits, no parity, one stop bit, and
// bytes pass unchanged in both directions (no line editing, no echo, no
// translation of CR or LF, no stripping of the eighth bit). Everything else
// that the device had - hardware and XON/XOFF flow control, the control
// characters, the read time limits - stays as it was read.
#pragma once

#include <cstdint>

#include "platform/files.h"

namespace plat {

// Opens a local output device by name (devices.h) for reading and writing,
// without sharing: while the handle is open no other opener that asks for
// the device alone gets it, and a device that another holds so (the link's
// port, another program's printer) is refused with 5.
std::uint32_t OutputOpen(const char* name, FileHandle* handle);

// Reads the settings of the open device, changes them as above and writes
// them back. 0, or the error number of the call that failed (a handle that
// is not a serial line, such as a plain file or a parallel printer, fails
// at the read with 31; nothing of it is touched).
std::uint32_t OutputLineSet(FileHandle handle);

// The line settings of an open device as plain numbers, for checking what
// OutputLineSet did. 0 or the error number of the read.
struct OutputLine {
    std::uint32_t baud; // 9600, ..., 0 when not a standard rate
    int dataBits;       // 5..8
    bool parity;        // parity generation / checking on
    bool twoStopBits;   //
    bool hardwareFlow;  // RTS/CTS
    bool softwareFlow;  // XON/XOFF on output
    bool binary;        // bytes pass unchanged
};
std::uint32_t OutputLineGet(FileHandle handle, OutputLine* line);

} // namespace plat
