// The files the manager itself creates and keeps (its journal, its logs):
// opened never through a symbolic link, created with exactly the permission
// bits asked for whatever the umask, renamed aside when a log is full, and
// the permission checks made at start-up on the files others could forge.
//
// Names are resolved as files.h describes. Routines return 0 or a Win32
// error number (errors.h).
#pragma once

#include <cstdint>

#include "platform/files.h"

namespace plat {

// Opens name for access (files.h), creating it when it is not there with the
// permission bits `mode` exactly. A symbolic link as the name's last
// component is refused with kErrCantResolve, whatever it points to (a link
// named talvo.jnl must not lead the manager's writes to another file).
std::uint32_t OwnFileOpen(const char* name, unsigned access, unsigned mode, FileHandle* handle);

// Renames from to to, replacing an existing to (both names resolved).
std::uint32_t OwnFileRename(const char* from, const char* to);

// *yes: whether the entry of that name (a directory too, "." the working
// directory) can be written by users other than its owner and its group.
// 2 / 3 when it is not there (*yes false).
std::uint32_t WritableByOthers(const char* name, bool* yes);

} // namespace plat
