// IOThread: the driver's own thread, which runs the poll cycle on the open
// port and meets the caller only through the port state's events.
#pragma once

#include <cstdint>

namespace serilo {

// The thread routine (started by _AbrePorta, no argument).
std::uint32_t IOThread(void* unused);

} // namespace serilo
