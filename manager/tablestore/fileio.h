// File access of the table store: name normalising, the open routine with its
// modes, exact-count reads and writes with their error reports, file size,
// close, and the lock primitives. Everything goes through platform/files.h.
#pragma once

#include <cstddef>
#include <cstdint>

// Upper-cases the letters a-z of text in place and returns text.
char* text_upper(char* text);

// Longest normalised name kept, terminating NUL included.
inline constexpr int u4name_size = 64;

// Normalises name into out (u4name_size bytes): at most 64 characters are
// taken, trailing blanks and NULs removed, the rest upper-cased; when no '.'
// follows the last '\' or '/', extension (for example ".DBF") is appended.
// The result is cut to 63 characters and NUL-terminated. Returns its length.
int u4name_normalise(const char* name, const char* extension, char* out);

// True when the normalised names a and b name the same file: compared over
// min(strlen(a), 63) characters, and b must end there (NUL or blank).
bool u4name_equal(const char* a, const char* b);

// Open modes.
enum : int {
    u4open_existing = 0,  // existing file, read-write, shared: error 120
    u4create_new = 1,     // new file; fails when the file can be opened: error 100
    u4create_always = 2,  // create, first removing any file of that name: error 100
    u4open_existing4 = 4, // as 0
    u4quiet = 8,          // added to any mode: no error report
};

// Opens name (used as given; callers normalise first) in mode. Returns the
// file handle, or -1 after reporting 120 / 100 with the name (unless +8).
int u4open_file(const char* name, int mode);

// Closes a handle (ignores -1). Returns 0, or -1 when the platform refused.
int u4close_file(int file);

// Size of the file in bytes, or -1 when it cannot be read (no report; the
// caller decides: the table store treats it as error 950).
std::int64_t u4file_size(int file);

// One seek and one read of exactly count bytes at offset. A refused seek is
// error 150, fewer bytes than asked error 140; both are reported with the
// file name followed by the extra texts (each may be null, then omitted).
// Returns 0 / -1.
int u4read_exact(int file, std::int64_t offset, void* buffer, std::uint32_t count, const char* name,
                 const char* extra1 = nullptr, const char* extra2 = nullptr);

// As u4read_exact without reporting: returns the number of bytes read, or -1
// when the seek or the read failed.
std::int64_t u4read_at(int file, std::int64_t offset, void* buffer, std::uint32_t count);

// One seek and one write of exactly count bytes at offset: error 150 for the
// seek, 160 for a short write, reported like u4read_exact. Returns 0 / -1.
int u4write_exact(int file, std::int64_t offset, const void* buffer, std::uint32_t count,
                  const char* name, const char* extra1 = nullptr, const char* extra2 = nullptr);

// A routine called before every write of u4write_exact with the file, its
// name, the offset and the count (the manager's change journal saves what
// the write will overwrite). A negative result refuses the write, which then
// fails as a short write does (160). Null removes it.
using u4write_hook = int (*)(int file, const char* name, std::int64_t offset, std::uint32_t count);
void u4set_write_hook(u4write_hook hook);

// Writes of u4write_exact that failed (refused, seek refused, short) since
// the process started.
long u4write_failures();

// Lock primitives. The store keeps its own lock bookkeeping but takes no
// operating-system lock: other programs on these files do not lock either,
// and the manager is the only writer among its terminals. Both return 0.
// Ranges: whole file 1,000,000,000 + 1,000,000,000 bytes; record n (0 = the
// append lock) 1,000,000,000 + n, 1 byte; an index file 1,000,000,000, 1 byte.
int u4lock(int file, std::int64_t offset, std::int64_t length, int wait);
int u4unlock(int file, std::int64_t offset, std::int64_t length);

inline constexpr std::int64_t u4lock_base = 1000000000;
