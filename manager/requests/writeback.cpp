// Header, index and commit routines that keep a shared table's files on disk
// current after each request.
#include "manager/requests/writeback.h"

#include <climits>
#include <cstring>

#include "manager/tablestore/fileio.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/pages.h"
#include "manager/tablestore/store_errors.h"
#include "manager/tablestore/tables.h"
#include "platform/clock.h"
#include "platform/files.h"

namespace {

// Header bytes 1..7: date of last update (3) and record count (4, LE).
constexpr std::int64_t kDateOffset = 1;
constexpr std::uint32_t kDateAndCount = 7;

} // namespace

int WriteTableHeader(std::uint8_t commit) {
    // Counted and stamped under the append lock (given up when the request
    // ends): another program's append never falls between the two. A stamp
    // already on disk (the append wrote it, or the same day's count) is not
    // written again.
    if (d4current_table() == nullptr || d4write_stamp() < 0) return -1;
    if (commit != 0) return CommitTableFile();
    return 0;
}

int CommitTableFile() {
    const TableHandle* t = d4current_table();
    if (t == nullptr) return -1;
    return plat::FileCommit(t->file) == 0 ? 0 : -1;
}

int RefreshTableHeader() {
    TableHandle* t = d4current_table();
    if (t == nullptr) return 0;
    std::uint8_t bytes[kDateAndCount];
    std::uint32_t done = 0;
    plat::FileReadAt(t->file, kDateOffset, bytes, kDateAndCount, &done);
    if (done != kDateAndCount) {
        e4error_report(err4read, t->file_name, nullptr);
        return 0;
    }
    std::memcpy(t->header.date, bytes, 3);
    // The count in the header is another program's word only: drop the
    // cached count so that the table's size decides it from now on (and the
    // store caches that again while it holds its append lock).
    t->header.record_count = -1;
    const std::uint32_t count = b4get32(bytes + 3);
    return count > static_cast<std::uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(count);
}

int RefreshIndex(int index, int write_back) {
    if (index < 0) return 0;
    IndexHandle* h = i4index(index);
    if (h == nullptr) return -1;
    // Changed pages, and the header when the tree changed, go to disk, and
    // the index lock is given up: a change of this process is never thrown
    // away, and no lock outlives the request. Written, not forced: the
    // caller commits (CommitIndexFile) when the commit flag asks for it.
    (void)write_back;
    if (i4release_index(index) < 0) return -1;
    if (i4write_pages(index) < 0) return -1;
    // The pages stay cached for the next request: the index lock's next
    // taking compares the version counter, the root and the free-page field
    // on disk with the header kept here (ours as of the last lock, with our
    // own change counted) and drops them all when anybody changed any.
    i4forget_path(index);
    h = i4index(index);
    h->eof_position = 0;
    return 0;
}

int CommitIndexFile(int index) {
    if (index < 0) return 0;
    const IndexHandle* h = i4index(index);
    if (h == nullptr) return -1;
    return plat::FileCommit(h->file) == 0 ? 0 : -1;
}
