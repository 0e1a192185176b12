// Checks of an index file before the manager uses it: at every open the
// header's root and free-page offsets must name pages inside the file and
// the root page must be sound; after a stop that was not in order the whole
// tree is walked as well (pages inside the file and reached once, key counts
// and item offsets sound, leaves and branches consistent, keys in order,
// every entry naming a record of the table and carrying that record's key,
// each record with one entry, at most one in a unique index). A refused
// index is reported as error 320 with what is wrong and how to rebuild it.
#pragma once

// What opens check: 0 nothing (the default: tools such as dbftool must open
// a damaged index to show what is wrong with it), 1 the header offsets and
// the root page, 2 the whole tree as well. The manager sets 1 or 2.
void i4set_open_check(int level);
int i4open_check();

// Checks index number `index`, open and attached to the selected table.
// 0 sound; -1 refused (reported).
int i4verify_open(int index);

// The check itself, for any open index: writes the first fault found
// (at most size bytes) to why and returns -1, or returns 0. full: also the
// walk of the whole tree.
int i4verify(int index, int full, char* why, int size);
