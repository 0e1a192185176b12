// Dropping the store's cached state of every open table and index.
#include "manager/tablestore/store_reload.h"

#include <cstring>

#include "manager/tablestore/fileio.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/pages.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/tables.h"

namespace {

// Drops index i's pages unwritten and reads its header again.
int forget_index(int i) {
    IndexHandle* h = i4index(i);
    if (h == nullptr) return -1;
    for (int s = h->path; s >= 0; s = b4slot(s)->next) b4slot(s)->changed = 0;
    for (int s = h->cache_newest; s >= 0; s = b4slot(s)->next) b4slot(s)->changed = 0;
    i4flush_pages(i); // nothing is changed now: this only frees the slots
    h = i4index(i);
    if (h->locked) u4unlock(h->file, u4lock_base, 1);
    h->locked = 0;
    h->eof_position = 0;
    std::uint8_t header[i4header_size];
    PageGeometry g{};
    if (u4read_at(h->file, 0, header, i4header_size) != i4header_size ||
        !i4header_valid(header, &g) || g.key_length != h->geometry.key_length ||
        g.max_keys != h->geometry.max_keys)
        return -1;
    std::memcpy(h->header, header, i4header_size);
    if (b4get16(h->header + i4h_signature) == 0x106) b4put16(h->header + i4h_unique, 1);
    h->version_locked = i4version(h);
    return 0;
}

} // namespace

int d4forget_cached() {
    int result = 0;
    for (int t = g4.table_head, steps = 0; t >= 0 && steps < 1000; ++steps) {
        TableHandle* th = d4table(t);
        if (th == nullptr) break;
        th->changed = 0;
        // Only the locks the store took itself go: a terminal's own record or
        // whole-file lock on the same handle stays with the terminal.
        if (th->held_record != 0) u4unlock(th->file, u4lock_base + th->held_record, 1);
        if (th->held_append != 0) u4unlock(th->file, u4lock_base, 1);
        th->held_record = 0;
        th->held_append = 0;
        th->lock_state = d4lock_none;
        th->locked_record = 0;
        th->old_image = 0;
        th->stamp_held = 0;
        d4forget_count_of(th);
        for (int i = th->first_index, n = 0; i >= 0 && n < 1000; ++n) {
            if (forget_index(i) < 0) result = -1;
            const IndexHandle* h = i4index(i);
            i = h != nullptr ? h->next : -1;
        }
        th = d4table(t);
        t = th != nullptr ? th->next : -1;
    }
    return result;
}
