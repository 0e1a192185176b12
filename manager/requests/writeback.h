// Bringing a shared table's files up to date for other programs: the 7 header
// bytes of a .DBF file (date of last update and record count), the commit of
// a file's buffers, and the re-read of an .NTX header with the write-back or
// the dropping of the index's cached pages. They act on the table store's
// selected table; table-store errors are reported through the store's
// numbered reports and do not change what the caller answers.
#pragma once

#include <cstdint>

// Stamps today's date and the record count into the selected table's header
// image and writes those 7 bytes at offset 1 of its file (a short write is
// error 160); with commit nonzero, also commits the file. 0 / -1.
int WriteTableHeader(std::uint8_t commit);

// Forces the selected table's file buffers to disk. 0 / -1.
int CommitTableFile();

// Reads the 7 bytes at offset 1 of the selected table's file into its header
// image (a short read is error 140 and returns 0) and returns the count the
// header holds. The cached record count is dropped, so d4record_count()
// afterwards counts what the file now holds (appends by anybody included).
int RefreshTableHeader();

// For index number `index` (negative: nothing): re-reads its 280-byte header;
// writes back each changed cached page first when write_back is 1, returns
// every cached page to its pool, and commits the index file. A write error
// stops the routine at once (the remaining pages stay cached). 0 / -1.
int RefreshIndex(int index, int write_back);

// Forces index `index`'s file buffers to disk (negative: nothing). 0 / -1.
int CommitIndexFile(int index);
