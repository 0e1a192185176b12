// What an operator needs to mend a start-up failure: the host path a name of
// the configuration resolved to, and the system's reason why a file or a
// device cannot be used, in words ("Permission denied; is the user in the
// dialout group?"). Also the working-directory change of the command line.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

// The absolute host path of a file name (files.h rules) or, for COM1..LPT2,
// of the device it opens, symbolic links followed when the target exists.
// Writes "?" when the name cannot be resolved at all. Returns out.
const char* HostPathOf(const char* name, bool device, char* out, std::size_t outSize);

// Why the existing-file open of `name` for reading and writing fails, found
// by trying it once more: the system's text ("No such file or directory",
// "Permission denied", ...); when it opens now but another program holds it
// exclusively, that ("another program has it open exclusively (PID 812)");
// else the text of `code`.
const char* FileFailureReason(const char* name, std::uint32_t code, char* out, std::size_t outSize);

// Why the port device `name` (COM1.. or a path) cannot be opened as a
// terminal line; `code` is the driver's result.
const char* DeviceFailureReason(const char* name, std::uint32_t code, char* out,
                                std::size_t outSize);

// The words for a Win32 error number of this layer (errors.h).
const char* ErrorText(std::uint32_t code);

// Makes path the working directory. 0, or the error (and *reason, when
// given, the system's text).
std::uint32_t ChangeDirectory(const char* path, const char** reason);

} // namespace plat
