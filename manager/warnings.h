// The two communication warnings: CommErrors.txt grown beyond 2,000,000 bytes
// (checked once when the window is created, before the port opens), and the
// share of link errors in a sample of main-loop passes (shown from a thread
// of its own while the main loop goes on). Both only inform the user.
#pragma once

#include <cstddef>
#include <cstdint>

inline constexpr std::int64_t kCommErrorsLimit = 2000000;
inline constexpr const char* kCommErrorsFile = "CommErrors.txt";
inline constexpr std::size_t kWarningTextSize = 512;

// The CommErrors.txt warning for a file of `size` bytes, into out (Windows-1252):
// true with the text when size is above 2,000,000 bytes, false otherwise.
bool CommErrorsWarningText(std::int64_t size, char* out, std::size_t out_size);

// Opens CommErrors.txt of the working directory (a missing file is no
// warning) and, when it is too large, shows the warning (caption "Aviso",
// exclamation icon) and waits until it is closed. Every failure is silent.
void CheckCommErrors();

// The error-rate warning's text (Windows-1252) for a sample and a percentage.
void ErrorRateWarningText(std::uint32_t sample, std::uint32_t percent, char* out,
                          std::size_t out_size);

// Its box style: system-modal, with the stop icon above 30 %.
unsigned ErrorRateWarningStyle(std::uint32_t percent);

// The warning thread's routine: shows the box with the statistics as they
// stand, resets the counters, and re-arms the warning when the box closes.
std::uint32_t ErrorRateWarning(void* unused);

// Starts ErrorRateWarning on its own thread (stack 10,240 bytes). The main
// loop calls it through StartRateWarning, which tests may point elsewhere.
void StartErrorRateWarning();
extern void (*StartRateWarning)();

// Waits (up to timeout_ms) for a warning thread started here to end.
// True when none runs any more.
bool WaitForRateWarning(std::uint32_t timeout_ms);
