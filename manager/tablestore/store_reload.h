// Forgetting what the store holds in memory about its files, after the
// manager's change journal has put the files back as they were before a
// failed request: changed records, cached counts, index pages and headers
// are dropped without being written, and every index header is read again,
// so the next request works on the files as they are on disk.
#pragma once

// Drops the cached state of every open table and index. 0, or -1 when an
// index header could not be read back (that index is then read again at
// its next lock).
int d4forget_cached();
