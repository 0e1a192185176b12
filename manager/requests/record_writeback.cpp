// Writing a changed record and every index of its table through to disk at
// the end of a record-changing request.
//
// A table may have several indexes open in the manager, and a terminal may
// work in record order or through one of them; the store keeps every one of
// them up to date in its page cache when a key changes or a record is
// added. The write-back after the request covers only the terminal's own
// index, so the pages of the others would stay in the cache, invisible to
// other programs, and be dropped unwritten when another terminal's request
// re-reads that index. Here the record is written and the changed pages and
// header of every index of the table go to disk before that write-back runs.
#include "manager/requests/record_requests.h"

#include "manager/runtime.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/tables.h"

void WriteRecordThrough(int slot) {
    if (slot < 0 || slot >= kSlots) return;
    const int table = TerminalFile[static_cast<std::size_t>(slot)];
    if (table == -1 || d4table(table) == nullptr) return;
    d4flush_table(table);
    if (d4at_start() == 0 && d4at_end() == 0) d4write_record(d4record_number());
    i4release_index(-1); // every index of the selected table
}
