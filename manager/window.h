// The manager's window: class TALVOC, title WTALVOC, and its window
// procedure ProcJan. Creating it runs the CommErrors.txt check; destroying it
// (the user closing it, a second copy started here, SIGTERM or Ctrl-C) posts
// the quit message on which the main loop shuts down in order.
#pragma once

#include <cstdint>

inline constexpr const char* kWindowClass = "TALVOC";
inline constexpr const char* kWindowTitle = "WTALVOC";

// Exported by the program under this name (its dynamic symbol table).
extern "C" __attribute__((visibility("default"))) std::intptr_t
ProcJan(std::uint32_t message, std::uintptr_t wParam, std::intptr_t lParam);

// Creates the window (minimised, x 10, y 200, 220 x 130). 0 or an error number.
std::uint32_t CreateManagerWindow();
