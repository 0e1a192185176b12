// Byte-range locks on open files, as the PC's LockFile / UnlockFile behave:
//
//  - a lock is exclusive and never waits: it is granted or refused at once;
//  - a region that overlaps one already locked in the same file is refused,
//    whoever holds it: another program, another handle of this process, or
//    the very same handle (the manager serves all terminals through one
//    handle per file, so this is what keeps two terminals apart);
//  - other processes see the locks: they are open-file-description locks,
//    which conflict with the classic record locks (fcntl F_SETLK) that other
//    Linux programs take at the same offsets;
//  - an unlock must name exactly a region that this handle locked, and frees
//    exactly that region;
//  - closing a handle with FileClose drops its locks.
//
//  - shared locks (LockRegionAs with kShared) are read locks for other
//    processes: many programs may hold one, an exclusive lock waits for all;
//  - the same handle may change the mode of a region it holds, naming it
//    exactly (shared to exclusive and back), in one step;
//  - a bounded wait retries a region that another process holds every 5 ms
//    until the time given has passed (then 33); a region this process holds
//    is refused at once, since waiting on ourselves could never end;
//  - every region carries an owner tag of the caller's choice, so that the
//    layers above can tell whose in-process region stands in the way
//    (RegionOwner).
//
// Share modes (FileOpen's FileShare), the convention other programs on these
// files follow on Linux in place of the PC's share modes:
//  - a table or index opened shared takes flock(LOCK_SH | LOCK_NB) right
//    after the open and holds it while the file is open;
//  - one opened exclusively (to pack, empty or rebuild it, or to have it
//    alone) takes flock(LOCK_EX | LOCK_NB);
//  - a refused flock means "in use": the opener closes the file again and
//    does not use it (FileOpen fails with 32, kErrSharingViolation);
//  - flock locks and the byte-range locks above are independent of each
//    other: record, append and index locks go on as before under both modes;
//  - the flock belongs to the handle: two handles of one process conflict
//    like two programs (a handle held exclusively keeps this process's own
//    shared opens of the file out too);
//  - a file system without flock (ENOLCK, EOPNOTSUPP) opens without it: no
//    other program can take one there either.
// /proc/locks tells who holds a file exclusively (ShareHolder), for the
// operator's line.
//
// Offsets and lengths are 64 bits: a table's record r is locked at
// 1,000,000,000 + r, length 1; the whole table at 1,000,000,000, length
// 1,000,000,000.
#pragma once

#include "platform/files.h"

#include <cstddef>
#include <cstdint>

namespace plat {

// Locks [offset, offset + length) exclusively, without waiting, owner tag 0.
// 0 when granted; 33 (lock violation) when
// any part is held already; 87 for length 0 or a region past 2^63; 6 for a
// handle that is not open; 8 when the process holds too many regions.
std::uint32_t LockRegion(FileHandle handle, std::uint64_t offset, std::uint64_t length);

enum class LockMode { kExclusive, kShared };

// LockRegion with a mode, an owner tag kept with the region (>= 0) and a
// wait of up to wait_ms for regions other processes hold (0: none). Results
// as LockRegion; a mode change of a region this handle holds exactly is 0.
std::uint32_t LockRegionAs(FileHandle handle, std::uint64_t offset, std::uint64_t length,
                           LockMode mode, int owner, std::uint32_t wait_ms);

// Owner tag of the regions this process holds in the handle's file that
// overlap [offset, offset + length): -1 none, the tag when they all carry
// the same one, -2 when the tags differ.
int RegionOwner(FileHandle handle, std::uint64_t offset, std::uint64_t length);

// Unlocks the region locked before through this handle with exactly this
// offset and length. 0 when done; 158 (not locked) when there is no such
// region; 6 for a bad handle.
std::uint32_t UnlockRegion(FileHandle handle, std::uint64_t offset, std::uint64_t length);

// Unlocks two regions of the handle, each named exactly as UnlockRegion
// names one; with one call to the kernel when the handle holds nothing else
// between them. 0 when both are done, else the first failure.
std::uint32_t UnlockRegionPair(FileHandle handle, std::uint64_t offset1, std::uint64_t length1,
                               std::uint64_t offset2, std::uint64_t length2);

// Forgets every region of the handle and its noted identity; FileClose
// calls it before closing.
void ForgetRegions(FileHandle handle);
// Notes the file (device, inode) that a handle FileOpen just opened stands
// for, so that locks on it need not ask the kernel again (FileOpen calls it).
void NoteFileIdentity(FileHandle handle, std::uint64_t device, std::uint64_t inode);

// Lock and unlock calls made to the kernel since the process started (one
// per try: a wait that retries counts every try), for benchmarks.
long LockCallCount();

// Takes the share-mode lock of an open handle (FileOpen calls it): 0,
// 32 when another handle's mode stands in the way, or the system's error.
// kNone releases the handle's share lock.
std::uint32_t ShareLock(FileHandle handle, FileShare share);

// The process that holds the file of handle exclusively by the share-mode
// convention, from /proc/locks: its PID, 0 when no one does, -1 when one
// does but /proc/locks does not say who.
long ShareHolder(FileHandle handle);

// When another handle holds the file of handle exclusively: writes
// "another program has it open exclusively" (with " (PID n)" when known)
// to out and returns out; null when nobody does.
const char* ShareHolderText(FileHandle handle, char* out, std::size_t outSize);

// Most regions the process may hold at once, over all files.
inline constexpr int kMaxLockedRegions = 4096;

} // namespace plat
