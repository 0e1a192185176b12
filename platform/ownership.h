// Who owns a file and who may change it, for the checks an operator runs
// before going live (wtalvoc --check): the owner and the permission bits of
// a name (files.h rules), the user the program runs as, and whether that
// user may create files in a directory.
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

struct FileFacts {
    bool directory = false;
    bool link = false; // the name itself is a symbolic link
    unsigned uid = 0;  // owner
    unsigned mode = 0; // permission bits (07777)
    std::int64_t size = 0;
};

// The facts of the file a name resolves to (links followed; link says
// whether the last component is one). 0, or the error (2, 3, 5, ...).
std::uint32_t FileFactsOf(const char* name, FileFacts* out);

// The user the program runs as (effective), and whether it is root.
unsigned CurrentUser();

// Whether the running user may create and remove files in the directory.
// 0, or the error (5 when it may not).
std::uint32_t DirectoryWritable(const char* path);

} // namespace plat
