// The PC's device names COM1..COM4, LPT1 and LPT2 on Linux.
//
// A device name opens the entry of that name in the working directory when
// there is one (a link `COM1` -> /dev/ttyUSB0, or to a pseudo-terminal in
// tests; matched without regard to letter case), else the standard device:
// COM1..COM4 -> /dev/ttyS0..3, LPT1 -> /dev/lp0, LPT2 -> /dev/lp1. The names
// are recognised in any letter case, with or without a trailing ':' and with
// or without the "\\.\" prefix.
//
// Handles are the file handles of files.h (plain descriptors), so the serial
// routines of serial.h work on an open COM device as well.
#pragma once

#include "platform/files.h"

#include <cstddef>
#include <cstdint>

namespace plat {

// Device numbers, in the order the configuration keeps them.
enum : int { kDeviceCom1 = 0, kDeviceCom2, kDeviceCom3, kDeviceCom4, kDeviceLpt1, kDeviceLpt2 };
inline constexpr int kDeviceCount = 6;

// The name of device number 0..5 ("COM1" .. "LPT2"); null outside.
const char* DeviceName(int device);

// The device number of a name, or -1 when it is not one of the six.
int DeviceNumber(const char* name);

// The host path to open for a device name, into out (outSize bytes). 87 when
// the name is not one of the six, 3 when out is too small.
std::uint32_t ResolveDevice(const char* name, char* out, std::size_t outSize);

// The device a name reaches now, every link followed (COM1 -> a link in
// /dev/serial/by-id -> /dev/ttyUSB0): one of the six names as ResolveDevice
// resolves it, any other name as a path. When it reaches nothing now (the
// link of an unplugged adapter), the path as the name resolves to. 3 when
// out is too small.
std::uint32_t DeviceRealPath(const char* name, char* out, std::size_t outSize);

// Opens an existing device for reading and writing: for one of the six names
// the resolved device, for any other name the file of that name (files.h).
// Opening does not wait for a modem line and does not make the device the
// controlling terminal. 2 when the device does not exist.
std::uint32_t DeviceOpen(const char* name, FileHandle* handle);

} // namespace plat
