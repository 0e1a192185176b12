// Line settings of a serial output device, on the tty's termios.
#include "platform/outport.h"

#include "platform/devices.h"
#include "platform/errors.h"

#include <cerrno>
#include <sys/file.h>
#include <termios.h>
#include <unistd.h>

namespace plat {

namespace {

std::uint32_t BaudOf(speed_t s) {
    switch (s) {
    case B1200: return 1200;
    case B2400: return 2400;
    case B4800: return 4800;
    case B9600: return 9600;
    case B19200: return 19200;
    case B38400: return 38400;
    case B57600: return 57600;
    case B115200: return 115200;
    default: return 0;
    }
}

int DataBitsOf(tcflag_t c) {
    switch (c & CSIZE) {
    case CS5: return 5;
    case CS6: return 6;
    case CS7: return 7;
    default: return 8;
    }
}

} // namespace

std::uint32_t OutputOpen(const char* name, FileHandle* handle) {
    if (std::uint32_t rc = DeviceOpen(name, handle)) return rc;
    // Not shared: an advisory lock on the device, the one the link's serial
    // open takes too. It goes with the handle's close.
    int rc;
    do {
        rc = ::flock(*handle, LOCK_EX | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        const int err = errno;
        ::close(*handle);
        *handle = kNoFile;
        return err == EWOULDBLOCK ? Fail(kErrAccessDenied) : FailErrno(err);
    }
    return kErrSuccess;
}

std::uint32_t OutputLineSet(FileHandle handle) {
    struct termios t;
    if (::tcgetattr(handle, &t) != 0) return FailErrno(errno);
    if (::cfsetispeed(&t, B9600) != 0 || ::cfsetospeed(&t, B9600) != 0) return FailErrno(errno);
    // 8 data bits, no parity, one stop bit; the receiver stays on.
    t.c_cflag &= ~static_cast<tcflag_t>(CSIZE | PARENB | PARODD | CSTOPB);
    t.c_cflag |= CS8 | CREAD;
    // Binary: bytes go out and come in as they are. Flow control (CRTSCTS,
    // IXON, IXOFF, IXANY) and the control characters are not touched.
    t.c_iflag &=
        ~static_cast<tcflag_t>(IGNBRK | BRKINT | PARMRK | ISTRIP | INLCR | IGNCR | ICRNL | INPCK);
    t.c_oflag &= ~static_cast<tcflag_t>(OPOST);
    t.c_lflag &= ~static_cast<tcflag_t>(ECHO | ECHONL | ICANON | ISIG | IEXTEN);
    if (::tcsetattr(handle, TCSANOW, &t) != 0) return FailErrno(errno);
    return kErrSuccess;
}

std::uint32_t OutputLineGet(FileHandle handle, OutputLine* line) {
    if (line == nullptr) return Fail(kErrInvalidParameter);
    struct termios t;
    if (::tcgetattr(handle, &t) != 0) return FailErrno(errno);
    line->baud = BaudOf(::cfgetospeed(&t));
    line->dataBits = DataBitsOf(t.c_cflag);
    line->parity = (t.c_cflag & PARENB) != 0;
    line->twoStopBits = (t.c_cflag & CSTOPB) != 0;
    line->hardwareFlow = (t.c_cflag & CRTSCTS) != 0;
    line->softwareFlow = (t.c_iflag & IXON) != 0;
    line->binary = (t.c_oflag & OPOST) == 0 && (t.c_lflag & ICANON) == 0 &&
                   (t.c_iflag & (ISTRIP | ICRNL | INLCR | IGNCR)) == 0;
    return kErrSuccess;
}

} // namespace plat
