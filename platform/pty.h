// Pseudo-terminal pairs and raw serial devices for the terminal simulator
// and the link tests: create a pair, put a line in raw 8N1 mode, publish
// the slave side under a chosen name (a symbolic link such as "COM1" in the
// working directory) and take that name away again.
//
// Routines return 0 or the errno value of the call that failed.
#pragma once

#include <cstddef>

namespace platform {

struct PtyPair {
    int master = -1;           // the terminal simulator's end
    int slave = -1;            // kept open so the pair outlives the PC side's close/reopen
    char slave_name[128] = {}; // e.g. "/dev/pts/7"
    char link_name[512] = {};  // the symbolic link made to slave_name ("" = none)
};

// Creates a pair: master opened read/write, close-on-exec; the slave opened
// too and set to raw mode, 57600 bit/s, 8 data bits, no parity, one stop
// bit, no flow control, no echo. When link_name is not null and not empty,
// makes a symbolic link of that name to the slave side; an existing
// symbolic link of that name is replaced, any other existing file is left
// alone and the call fails with EEXIST. On failure nothing stays open.
int pty_create(PtyPair& pair, const char* link_name);

// Removes the link (only when it still points at this pair's slave) and
// closes both ends. Safe on a pair never created or already released.
void pty_release(PtyPair& pair);

// Raw mode on an open terminal line: 57600 bit/s, 8N1, no flow control,
// no echo or line editing, reads return what is there (VMIN 1, VTIME 0).
int pty_set_raw(int fd);

// Opens a serial device (such as "/dev/ttyUSB0") read/write without making
// it the controlling terminal, sets raw mode (pty_set_raw) and stores the
// descriptor in fd.
int pty_open_device(const char* path, int& fd);

// Closes a descriptor opened by pty_open_device and sets it to -1.
void pty_close_device(int& fd);

} // namespace platform
