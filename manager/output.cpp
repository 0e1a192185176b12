// The local output device requests (codes 44, 45, 49, 50) and the line
// settings of a serial output device.
#include "manager/output.h"

#include "manager/config.h"
#include "manager/requests/context.h"
#include "manager/runtime.h"
#include "platform/clock.h"
#include "platform/devices.h"
#include "platform/files.h"
#include "platform/outport.h"

namespace {

constexpr std::uint8_t kYes = 'T';
constexpr std::uint8_t kNo = 'F';
constexpr std::uint8_t kFailed = 14;

bool Available(int d) {
    return d >= 0 && d < kOutputDevices && OutputBuffer[static_cast<std::size_t>(d)] != nullptr;
}

std::uint8_t OwnerOf(int d) {
    return OutputBuffer[static_cast<std::size_t>(d)]->owner;
}

// The last available device whose owner is slot, or -1.
int DeviceHeldBy(int slot) {
    int held = -1;
    for (int d = 0; d < kOutputDevices; ++d)
        if (Available(d) && OwnerOf(d) == slot) held = d;
    return held;
}

// The link's own port is never opened as an output device: text sent to it
// would go out on the terminal line in the middle of the link's frames.
bool IsLinkPort(int d) {
    return PortName[0] != '\0' && plat::DeviceNumber(PortName) == d;
}

// Step 4 of an open: the device is free and nobody holds one.
std::uint8_t Open(int d, int slot) {
    if (IsLinkPort(d)) return kNo;
    plat::FileHandle h = plat::kNoFile;
    if (plat::OutputOpen(plat::DeviceName(d), &h) != 0) return kNo;
    OutputHandle = h;
    if (d <= plat::kDeviceCom4) (void)_AtualizaPorta(); // a printer keeps its settings
    OutputLastActivity = plat::TickCount();
    OutputHolder = static_cast<std::uint8_t>(slot);
    OutputBuffer[static_cast<std::size_t>(d)]->owner = static_cast<std::uint8_t>(slot);
    return kYes;
}

std::uint8_t OpenOrRelease(const std::uint8_t* data, int length, int slot, std::uint8_t code) {
    int d = -1;
    if (code == 44)
        d = static_cast<int>(Config.DefaultOutput) - 1;
    else if (length >= 1)
        d = data[0];
    if (!Available(d)) return kNo;
    // A request for COM1 by a terminal that holds a device means that device.
    if (d == plat::kDeviceCom1) {
        if (const int held = DeviceHeldBy(slot); held >= 0) d = held;
    }
    if (OwnerOf(d) == kNoSlot && OutputHolder == kNoSlot) return Open(d, slot);
    if (OwnerOf(d) == slot) {
        // A second open by the holder releases the device.
        FreeOutputDevice(static_cast<std::uint8_t>(slot));
        return kNo;
    }
    return kNo; // held by another terminal, or another device is open
}

} // namespace

void OpenOutputDevice(std::uint16_t address, const std::uint8_t* data, int length, int slot,
                      std::uint8_t code) {
    std::uint8_t answer = kNo;
    if (slot >= 0 && slot < kSlots) answer = OpenOrRelease(data, length, slot, code);
    SendAnswer(address, &answer, code, 1);
}

void WriteOutputDevice(std::uint16_t address, const std::uint8_t* data, int length, int slot,
                       std::uint8_t code) {
    // Nothing at all came: there is no sequence byte to test and no text; the
    // request is refused and the sequence byte kept.
    if (length < 1 || slot < 0 || slot >= kSlots) {
        SendAnswer(address, nullptr, kFailed, 0);
        return;
    }
    std::uint8_t& sequence = TerminalSequence[static_cast<std::size_t>(slot)];
    const int first = code == 49 ? 1 : 0;
    if (code == 49) {
        if (sequence == data[0]) {
            // Already written: the terminal asks again because it missed the answer.
            SendAnswer(address, nullptr, code, 0);
            return;
        }
        sequence = data[0];
    }
    if (DeviceHeldBy(slot) < 0) {
        // Taken back, so that the terminal's repeat is written and not skipped.
        --sequence;
        SendAnswer(address, nullptr, kFailed, 0);
        return;
    }
    OutputLastActivity = plat::TickCount();
    // Code 45 sends every byte but the last, code 49 every byte after the
    // sequence byte: length - 1 either way.
    const auto count = static_cast<std::uint32_t>(length - 1);
    std::uint32_t done = 0;
    const std::uint32_t rc = plat::FileWrite(OutputHandle, data + first, count, &done);
    if (rc != 0 || done != count) {
        --sequence; // the part written stays written
        SendAnswer(address, nullptr, kFailed, 0);
        return;
    }
    SendAnswer(address, nullptr, code, 0);
}

void OpenDefaultOutput(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    OpenOutputDevice(address, data, length, slot, 44);
}
void OpenChosenOutput(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    OpenOutputDevice(address, data, length, slot, 50);
}
void WriteOutput(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    WriteOutputDevice(address, data, length, slot, 45);
}
void WriteOutputOnce(std::uint16_t address, std::uint8_t* data, int length, int slot) {
    WriteOutputDevice(address, data, length, slot, 49);
}

extern "C" std::uint32_t _AtualizaPorta(void) {
    return plat::OutputLineSet(OutputHandle);
}
