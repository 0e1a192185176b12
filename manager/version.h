// The project's version, as --version and the status report give it.
#pragma once

inline constexpr const char* kProjectVersion = "1.6.1";
