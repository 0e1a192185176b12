// Pieces of the open and close sequences kept apart for their tests: the
// report of a close whose wait for IOThread did not succeed, and the
// resolution of a port name such as "COM1" to the device to open.
#pragma once

#include <cstddef>
#include <cstdint>

namespace serilo {

// How the close sequence's 15 s wait for IOThread ended, when not well.
enum class CloseWait { kAbandoned, kFailed, kTimedOut };

// Abandoned and failed: a system-modal box with an empty caption and the
// text, then the text in excecoes.txt. Timed out: no box; the line
// "IOThread nao respondeu apos 15s ao evento de finalizacao " + activity.
void ReportCloseWait(CloseWait outcome);

// The device path for a port name, in out (size bytes): a device name such
// as "COM1" as the platform layer resolves it, any other name as it stands.
// 0, or 2 when the name is empty or does not fit.
std::uint32_t ResolvePortName(const char* name, char* out, std::size_t size);

} // namespace serilo
