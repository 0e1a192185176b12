// Binary files: open, create, seek, read, write, size, commit, close, delete.
//
// A file handle is a plain int (kNoFile = -1 when none). Every routine returns
// 0 on success or a Win32 error number (see errors.h), which it also leaves as
// the thread's last error. Counts are exact: a read or write reports in *done
// how many bytes moved, and a short count is not an error of the routine
// itself (the caller decides; the table store treats it as one).
//
// Names are those the configuration and the terminals send, written for the
// PC the system came from:
//   - `\` and `/` both separate components;
//   - a leading drive prefix such as `C:` resolves through an entry of that
//     name in the working directory (a symbolic link `C:` -> /srv/dados);
//     without such an entry the name is "path not found" (3);
//   - when the exact name does not exist, each component that does not exist
//     as written is matched without regard to ASCII letter case, so a file
//     `clientes.dbf` written by another program opens as `CLIENTES.DBF`;
//     a new file is created with its last component as written.
// Files are opened in binary mode, not inherited by child processes, created
// with read and write permission. Whether other programs may open the file
// at the same time is the share mode asked at the open (see locks.h).
#pragma once

#include <cstddef>
#include <cstdint>

namespace plat {

using FileHandle = int;
inline constexpr FileHandle kNoFile = -1;

// Access wanted: bit 1 read, bit 2 write.
enum FileAccess : unsigned { kAccessRead = 1, kAccessWrite = 2, kAccessReadWrite = 3 };

// What to do about the file's existence.
enum class FileCreate {
    kOpenExisting, // fails with 2 (or 3) when the file is not there
    kCreateNew,    // creates the file; fails with 80 when it already exists
    kCreateAlways, // creates the file or empties an existing one
    kOpenAlways,   // opens the file, creating it empty when it is not there
};

enum class SeekFrom { kBegin, kCurrent, kEnd };

// Share mode of an open (the convention is written in locks.h): kNone takes
// no share lock; kShared lets other shared openers in and keeps exclusive
// ones out; kExclusive keeps every other share-mode opener out.
enum class FileShare { kNone, kShared, kExclusive };

// Longest resolved name, terminating zero included.
inline constexpr std::size_t kMaxPath = 4096;

// Turns a name as described above into the host path to use, in out
// (outSize bytes, zero-terminated). The last component need not exist (for
// creating); the directories before it must. Returns 0, 3 (a directory on the
// way or the drive is missing, or the result does not fit) or 87 (empty name).
std::uint32_t ResolveName(const char* name, char* out, std::size_t outSize);

// The system's open flags for an access mask (read, write or both) in
// *flags, for this layer's openers: 0, or 87 for any other mask.
std::uint32_t AccessFlags(unsigned access, int* flags);

// Opens name with the access and creation wanted; *handle receives the handle
// (kNoFile on failure). A directory is refused with 5. With a share mode, the
// share lock is taken right after the open and refused at once with 32 when
// another opener's mode stands in the way (the file is then closed again);
// kCreateAlways then empties an existing file only once the lock is granted.
std::uint32_t FileOpen(const char* name, unsigned access, FileCreate create, FileHandle* handle,
                       FileShare share = FileShare::kNone);

// Closes the handle. 6 when it was not open.
std::uint32_t FileClose(FileHandle handle);

// Moves the file position; *position (may be null) receives the new position
// from the start of the file. A position before the start is refused with 87.
std::uint32_t FileSeek(FileHandle handle, std::int64_t offset, SeekFrom from,
                       std::int64_t* position);

// Reads up to count bytes at the file position and advances it; *done gets
// the number read (0 at the end of the file, which is success). Interrupted
// or partial reads are resumed until count bytes or the end of the file.
std::uint32_t FileRead(FileHandle handle, void* buffer, std::uint32_t count, std::uint32_t* done);

// Writes count bytes at the file position and advances it; *done gets the
// number written (count unless the disk is full or an error occurs).
std::uint32_t FileWrite(FileHandle handle, const void* buffer, std::uint32_t count,
                        std::uint32_t* done);

// A positioned read/write of the exact length at offset (pread / pwrite,
// resumed when partial), the way the table store moves records, headers and
// pages. The file position is not used and stays where it was.
std::uint32_t FileReadAt(FileHandle handle, std::int64_t offset, void* buffer, std::uint32_t count,
                         std::uint32_t* done);
std::uint32_t FileWriteAt(FileHandle handle, std::int64_t offset, const void* buffer,
                          std::uint32_t count, std::uint32_t* done);

// The size of the file in bytes, 64 bits.
std::uint32_t FileSize(FileHandle handle, std::int64_t* size);

// Sets the file's length to size (extending with zero bytes or cutting).
std::uint32_t FileTruncate(FileHandle handle, std::int64_t size);

// Forces the file's data to disk (fdatasync). This is what "duplicate the
// handle and close the duplicate" achieves on the PC the system came from.
// A handle this process has not written to (FileWrite, FileWriteAt,
// FileTruncate) since it was opened or last committed has nothing of ours to
// force: the call then succeeds without asking the kernel.
std::uint32_t FileCommit(FileHandle handle);

// Commits every open handle written to since its last commit (the orderly
// stop, so that what was written with the commit flag off reaches the disk).
// Returns 0 or the first failure's error number.
std::uint32_t FileCommitAll();

// Whether the handle has been written to since it was opened or committed.
bool FileWritten(FileHandle handle);

// Counters for benchmarks and tests, since the process started: the disk
// flushes issued (fdatasync calls), and every system call the routines of
// this file make on an open handle (reads, writes, seeks, sizes, flushes,
// truncations; not the name look-ups of open, exists and delete).
long FileSyncCount();
long FileCallCount();

// Deletes the file of that name.
std::uint32_t FileDelete(const char* name);

// 0 when name resolves to an existing entry (file or directory), else 2 / 3.
std::uint32_t FileExists(const char* name);

// The permission bits of the entry name resolves to (links followed) in
// *mode: 0, or the error of FileExists.
std::uint32_t FileMode(const char* name, std::uint32_t* mode);

// Fault hook, for tests of what survives a failed write or a killed process.
// Every FileWrite (FileWriteAt included) and FileTruncate counts as one write.
// Armed with FileFaultSet(n, what), the nth write from that call on does not
// happen: with kFail it fails with 112 (disk full) and nothing is written,
// writes after it work again; with kKill the process is killed by SIGKILL
// right there. The environment variable WTALVOC_WRITE_FAULT arms it at the
// process's first write: "N" or "N:kill" kills at write N, "N:fail" fails it.
enum class WriteFault { kNone, kFail, kKill };
void FileFaultSet(long nth, WriteFault what);

// Writes counted since the process started (whether or not a fault is set).
long FileWriteCount();

// RAII owner for a handle, for tools and tests; the layer itself and the
// manager's fixed tables keep plain handles.
struct FileOwner {
    FileHandle handle = kNoFile;
    FileOwner() = default;
    explicit FileOwner(FileHandle h) : handle(h) {}
    FileOwner(const FileOwner&) = delete;
    FileOwner& operator=(const FileOwner&) = delete;
    ~FileOwner() {
        if (handle != kNoFile) FileClose(handle);
    }
};

} // namespace plat
