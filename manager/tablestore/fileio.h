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
    u4read_only = 16,     // added to 0 / 4: open for reading only
    u4no_share = 32,      // added to any mode: no share lock (the caller holds
                          // the file exclusively through a handle of its own)
};

// Share mode. Every table and index the store opens is opened shared: a
// share lock (platform/locks.h) taken right after the open and held until
// it is closed, so that another program's exclusive open (to pack, empty or
// rebuild the file) is refused while the store has it, and a file another
// program holds exclusively is not used by the store: the open fails as any
// failed open (120 with the name), the platform's last error being 32.
//
// Opens name (used as given; callers normalise first) in mode, with the
// flags of u4set_open_flags added. Returns the file handle, or -1 after
// reporting 120 / 100 with the name (unless +8).
int u4open_file(const char* name, int mode);

// Flags (u4read_only, u4no_share) added to every open from now on; the
// tools set them for their read-only commands. Returns the previous flags.
int u4set_open_flags(int flags);

// How long an open retries a file that another program holds exclusively,
// every 100 ms, before it fails (0, the default: it fails at once). The
// manager sets it while it opens its files at start-up. Returns the
// previous value.
int u4set_open_wait(int ms);

// Closes a handle (ignores -1). Returns 0, or -1 when the platform refused.
int u4close_file(int file);

// Size of the file in bytes, or -1 when it cannot be read (no report; the
// caller decides: the table store treats it as error 950). Taken as the end
// offset: the handle's position moves to the end (the store's handles are
// read and written at explicit offsets only).
std::int64_t u4file_size(int file);

// One positioned read of exactly count bytes at offset. A negative offset is
// error 150, fewer bytes than asked error 140; both are reported with the
// file name followed by the extra texts (each may be null, then omitted).
// Returns 0 / -1.
int u4read_exact(int file, std::int64_t offset, void* buffer, std::uint32_t count, const char* name,
                 const char* extra1 = nullptr, const char* extra2 = nullptr);

// u4read_exact with a number as the second extra text (for example a record
// number after "Record: "), written out only when a failure is reported.
int u4read_exact_n(int file, std::int64_t offset, void* buffer, std::uint32_t count,
                   const char* name, const char* label, long long number);

// As u4read_exact without reporting: returns the number of bytes read, or -1
// when the read failed.
std::int64_t u4read_at(int file, std::int64_t offset, void* buffer, std::uint32_t count);

// One positioned write of exactly count bytes at offset: error 150 for a
// negative offset, 160 for a short write, reported like u4read_exact. Returns 0 / -1.
int u4write_exact(int file, std::int64_t offset, const void* buffer, std::uint32_t count,
                  const char* name, const char* extra1 = nullptr, const char* extra2 = nullptr);

// u4write_exact with a number as the second extra text, written out only
// when a failure is reported.
int u4write_exact_n(int file, std::int64_t offset, const void* buffer, std::uint32_t count,
                    const char* name, const char* label, long long number);

// A routine called before every write of u4write_exact with the file, its
// name, the offset and the count (the manager's change journal saves what
// the write will overwrite). A negative result refuses the write, which then
// fails as a short write does (160). Null removes it.
using u4write_hook = int (*)(int file, const char* name, std::int64_t offset, std::uint32_t count);
void u4set_write_hook(u4write_hook hook);

// Writes of u4write_exact that failed (refused, seek refused, short) since
// the process started.
long u4write_failures();

// Lock primitives: real byte-range locks through platform/locks.h, which
// other programs on the same files see and honour.
// Ranges: whole file 1,000,000,000 + 1,000,000,000 bytes; record n (0 = the
// append lock) 1,000,000,000 + n, 1 byte; an index file 1,000,000,000, 1 byte
// (shared while its pages are read, exclusive while they change).
//
// Waits. The manager is one thread serving every terminal, so a region that
// another program holds is retried every 5 ms for at most u4lock_wait_ms
// (1 s: well inside the 5 s the line waits for an answer, long enough for
// other programs' writes, which hold a lock for milliseconds) and then
// refused; wait 0 tries once. Measured: a refused append returns after 1.0
// to 1.2 s on the shared build machine at load average 13.
//
// One process, two kinds of lock. The terminals' own locks (record and
// whole-file locks of the lock requests) are taken by the manager in this
// same process on the same .DBF regions, and the platform refuses overlaps
// within the process. So every region carries an owner tag: u4store_tag for
// the store, slot + 1 for a terminal's lock (u4owner_of_slot). Before asking
// the platform, u4lock looks for a region this process already holds:
//  - held by the terminal being served (u4set_lock_owner): the store treats
//    it as held and takes nothing (u4held; nothing to unlock later);
//  - held by another terminal: refused at once (u4refused), unless the
//    caller serves as any terminal (u4any_terminal: the deletion mark is
//    set and cleared on a record another terminal holds too);
//  - held by the store itself (an index lock changing mode): the platform
//    decides;
// and a region held by another program is waited for as above. The store
// never takes the whole-file region, and it gives up every lock it took
// when the request ends (d4unlock_all): a store lock (u4store_tag) that a
// terminal's lock probe meets is the served terminal's own request's (its
// append of that record), and counts as free for it.
enum : int { u4locked = 0, u4held = 1, u4refused = -1 };
inline constexpr int u4lock_wait_ms = 1000;
inline constexpr int u4no_terminal = 0;
inline constexpr int u4any_terminal = -1;
inline constexpr int u4store_tag = 0x10000;
inline constexpr int u4owner_of_slot(int slot) {
    return slot + 1;
}

// Locks [offset, offset + length) exclusively (shared non-zero: shared),
// waiting when wait is non-zero. u4locked / u4held / u4refused; no report.
int u4lock(int file, std::int64_t offset, std::int64_t length, int wait, int shared = 0);
// Unlocks a region u4lock took (u4locked). 0 / -1.
int u4unlock(int file, std::int64_t offset, std::int64_t length);
// Unlocks two regions u4lock took, with one call when nothing else of the
// handle lies between them. 0 / -1.
int u4unlock_pair(int file, std::int64_t offset1, std::int64_t offset2, std::int64_t length);

// The terminal whose request the store serves now: u4owner_of_slot(slot),
// u4no_terminal, or u4any_terminal. Returns the previous value.
int u4set_lock_owner(int owner);

inline constexpr std::int64_t u4lock_base = 1000000000;

// The work budget of one request: walks of an index check it at every page
// they load, so that a damaged file cannot hold the manager (and every other
// terminal) for longer. u4set_work_budget(ms) starts it, 0 ends it.
// u4work_budget_spent: 0 while time is left (or none is set), 1 the first
// time it is found spent, 2 after that.
void u4set_work_budget(std::uint32_t ms);
int u4work_budget_spent();
