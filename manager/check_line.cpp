// wtalvoc --check, the line's part: the port talvo.cfg chooses, where it
// leads, its kernel driver and what that driver does for RS-485 (its own
// mode, a transmitter-empty flag worth trusting, the latency timer), its
// error counters, a UUCP lock on it, and wtalvoc.conf. Nothing is polled;
// a port held by the copy running here is not opened.
#include "manager/check.h"

#include "manager/config.h"
#include "manager/runtime.h"
#include "manager/startup.h"
#include "platform/devices.h"
#include "platform/errors.h"
#include "platform/instance.h"
#include "platform/linesettings.h"
#include "platform/serial.h"
#include "platform/uucplock.h"

#include <cstdint>

namespace {

int Problem(std::FILE* out, const char* path, const char* reason, const char* fix) {
    std::fprintf(out, "%s: %s; %s\n", path, reason, fix);
    return 1;
}

// The open device: its RS-485 mode and counters. Problems found.
int CheckOpenTty(std::FILE* out, const char* path, plat::SerialHandle h,
                 const plat::LineSettings& set) {
    int problems = 0;
    const int rs485 = plat::SerialRs485State(h);
    std::fprintf(out, "line: RS-485 mode of the driver: %s\n",
                 rs485 < 0 ? "none"
                 : rs485   ? "present, on"
                           : "present, off");
    if (set.direction == plat::Direction::kKernel && rs485 < 0)
        problems += Problem(out, path, "direction = kernel but the driver has no RS-485 mode",
                            "choose rts-send, rts-listen or none in wtalvoc.conf");
    plat::SerialCounts c;
    if (plat::SerialGetCounts(h, &c))
        std::fprintf(out,
                     "line: error counters: frame %u, parity %u, overrun %u, break %u, buffer %u\n",
                     c.frame, c.parity, c.overrun, c.brk, c.bufOverrun);
    else
        std::fprintf(out, "line: error counters: none kept by this driver\n");
    return problems;
}

} // namespace

int CheckLine(std::FILE* out) {
    int problems = 0;
    plat::LineSettings set;
    char why[300];
    if (plat::LoadLineSettings(&set, why, sizeof why) != 0)
        problems += Problem(out, plat::kLineSettingsFile, why, "correct or remove that line");
    std::fprintf(
        out, "line: settings (%s): direction %s, turnaround %u us, echo %s, low_latency %s\n",
        set.fromFile ? plat::kLineSettingsFile : "defaults", plat::DirectionName(set.direction),
        set.turnaroundUs, set.echo ? "yes" : "no", set.lowLatency ? "yes" : "no");

    char message[128];
    if (!ReadConfiguration(message, sizeof message)) {
        std::fprintf(out, "line: not checked, talvo.cfg cannot be read\n");
        return problems;
    }
    ChoosePort();
    if (PortName[0] == 0)
        return problems + Problem(out, "talvo.cfg", "no COM port is enabled",
                                  "enable the terminals' port with talvocfg");
    char path[plat::kMaxPath];
    if (plat::ResolveDevice(PortName, path, sizeof path) != 0)
        return problems + Problem(out, PortName, "the port name does not resolve",
                                  "make COM1..COM4 in the data directory a link to the device");
    char real[plat::kMaxPath];
    if (plat::DeviceRealPath(path, real, sizeof real) != 0) real[0] = 0;
    plat::SerialInfo info;
    plat::SerialDescribe(path, &info);
    if (info.tcp) {
        std::fprintf(out, "line: %s is a TCP line to %s (direction and echo are the server's)\n",
                     PortName, info.tcpTarget);
    } else {
        std::fprintf(out, "line: %s -> %s, driver %s, transmitter-empty flag %s, latency timer ",
                     PortName, real, info.driver[0] ? info.driver : "unknown",
                     info.lsrTrusted ? "trusted" : "not trusted (drain + wire time)");
        if (info.latencyTimerMs >= 0)
            std::fprintf(out, "%d ms%s\n", info.latencyTimerMs,
                         info.latencyTimerMs > 2 && set.lowLatency ? " (1 ms asked at open)" : "");
        else
            std::fprintf(out, "none\n");
        if (info.latencyTimerMs > 2 && !set.lowLatency)
            problems += Problem(out, real, "the adapter holds answers up to its latency timer",
                                "set low_latency = yes or a 1 ms latency timer by udev rule");
    }

    // The copy running here holds the port: it is not touched.
    char status[64];
    if (plat::InstanceQueryStatus(false, status, sizeof status, 1000) == 0) {
        std::fprintf(out, "line: %s is in use by the copy running in this directory; not opened\n",
                     PortName);
        return problems;
    }
    if (!info.tcp && set.lockFile != 0) {
        char lock[300];
        std::int32_t holder = 0;
        std::uint32_t rc = plat::kErrInvalidParameter;
        if (plat::UucpLockPath(plat::kLockDir, path, lock, sizeof lock) == 0 &&
            (rc = plat::UucpLockTake(lock, &holder)) == 0)
            plat::UucpLockRelease(lock);
        else if (rc == plat::kErrAccessDenied && holder != 0) {
            char reason[420];
            std::snprintf(reason, sizeof reason,
                          "a lock of ended process %ld that this user cannot remove (%s)",
                          long(holder), lock);
            problems += Problem(out, real, reason, "remove that file as root");
        } else if (holder != 0) {
            char reason[360];
            std::snprintf(reason, sizeof reason, "locked by process %ld (%s)", long(holder), lock);
            return problems + Problem(out, real, reason, "end that program first");
        }
    }
    plat::SerialHandle h = plat::kNoSerial;
    const std::uint32_t rc = plat::SerialOpen(path, &h);
    if (rc != 0) {
        const char* reason = rc == plat::kErrFileNotFound ? "does not exist"
                             : rc == plat::kErrAccessDenied
                                 ? "in use by another program, or access refused"
                             : rc == plat::kErrDeviceNotConnected ? "does not connect"
                                                                  : "cannot be opened";
        const char* fix = info.tcp ? "check the serial server's address and that it runs"
                          : rc == plat::kErrAccessDenied
                              ? "end the other program, or add the service's user to group dialout"
                              : "plug the adapter in, or point the port's link at the device";
        return problems + Problem(out, info.tcp ? info.tcpTarget : real, reason, fix);
    }
    if (info.tcp)
        std::fprintf(out, "line: %s connects\n", info.tcpTarget);
    else
        problems += CheckOpenTty(out, real, h, set);
    plat::SerialClose(h);
    return problems;
}
