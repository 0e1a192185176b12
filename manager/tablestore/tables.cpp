// Table files: open, close, find and select, record count, reading and
// writing records, first / last / skip in record order, append, deletion
// marks, flush and the lock bookkeeping. Filters are in filters.cpp.
#include "manager/tablestore/tables.h"

#include <climits>
#include <cstdio>
#include <cstring>

#include "manager/tablestore/fileio.h"
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/pools.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/store_errors.h"
#include "platform/clock.h"

namespace {

constexpr int kHeaderImageSize = 10;
constexpr int kMaxHeaderLength = 32767;
constexpr int kMaxRecordWidth = 32767;
constexpr int kDescriptorSize = 32;
constexpr char kDescriptorEnd = 0x0D;
constexpr char kEndOfFile = 0x1A;

int no_table() {
    e4error_report(err4no_table, nullptr);
    return -1;
}

// Decimal text of n for the extra texts of a report.
struct NumberText {
    char text[24];
    explicit NumberText(long long n) { std::snprintf(text, sizeof text, "%lld", n); }
};

std::int64_t record_offset(const TableHandle* t, int n) {
    return static_cast<std::int64_t>(t->header.header_length) +
           static_cast<std::int64_t>(n - 1) * t->record_width;
}

void blank(TableHandle* t) {
    std::memset(t->record, ' ', static_cast<std::size_t>(t->record_width));
}

// Record count of table t (see d4record_count), cached until the request
// ends: one size query per request, not one per record read.
int count_of(TableHandle* t) {
    if (t->header.record_count >= 0) return t->header.record_count;
    const std::int64_t size = u4file_size(t->file);
    if (size < 0) {
        e4error_report(err4overwritten, t->file_name, nullptr);
        return -1;
    }
    std::int64_t count = 0;
    if (size > t->header.header_length) count = (size - t->header.header_length) / t->record_width;
    // Record numbers are ints and count + 1 must stay one.
    if (count > INT_MAX - 1) count = INT_MAX - 1;
    t->header.record_count = static_cast<std::int32_t>(count);
    return static_cast<int>(count);
}

// Notes the record lock for n: reading takes no operating-system lock
// (other programs read without one too); the note decides when the table's
// indexes are released.
void lock_record(TableHandle* t, int n) {
    if (t->lock_state == d4lock_file) return;
    if (n >= 1) t->locked_record = n;
}

// Reports a lock that could not be had (another program held it past the
// wait, or another terminal holds it).
int lock_refused(const TableHandle* t, int n) {
    const NumberText number(n);
    e4error_report(err4lock, t->file_name, "Record Number:", number.text, nullptr);
    return -1;
}

// Takes the append lock: from now on the record count is cached. The byte
// at 1,000,000,000 is locked, waiting for other appenders. 0 / -1.
int lock_append(TableHandle* t) {
    if (t->lock_state == d4lock_file || t->lock_state == d4lock_append) return 0;
    const int r = u4lock(t->file, u4lock_base, 1, g4.lock_wait);
    if (r == u4refused) return lock_refused(t, 0);
    t->held_append = r == u4locked ? 1 : 0;
    t->lock_state = d4lock_append;
    t->header.record_count = -1; // counted again under the lock
    t->stamp_held = 0;
    return 0;
}

void unlock_append(TableHandle* t) {
    if (t->held_append) u4unlock(t->file, u4lock_base, 1);
    t->held_append = 0;
    t->stamp_held = 0;
}

// Takes the operating-system lock of record n of the selected table number
// before it is written or appended. The table's indexes are released first
// (a record lock is never taken while an index lock is held): records are locked before indexes, as
// other programs do (changes already made reach the file then). With wait 0
// a lock held elsewhere is refused at once. 0 / -1 (reported unless quiet).
int take_record_lock(int number, int n, int wait = g4.lock_wait, bool quiet = false) {
    TableHandle* t = d4table(number);
    if (t->held_record == n) return 0;
    if (t->held_record != 0) u4unlock(t->file, u4lock_base + t->held_record, 1);
    t->held_record = 0;
    t->old_image = 0;
    if (t->first_index >= 0 && i4release_index(-1) < 0) return -1;
    t = d4table(number);
    const int r = u4lock(t->file, u4lock_base + n, 1, wait);
    if (r == u4refused) return quiet ? -1 : lock_refused(t, n);
    if (r == u4locked) t->held_record = n;
    return 0;
}

// Keeps the record buffer as record n's bytes on disk when the store holds
// n's lock (a write of n then needs no read of it first).
void note_image(TableHandle* t, int n) {
    t->old_image = 0;
    if (t->held_record != n || t->first_index < 0) return;
    std::memcpy(t->old_record, t->record, static_cast<std::size_t>(t->record_width));
    t->old_image = n;
}

// Whether reading or writing record n keeps the table's indexes as they are.
bool holds_lock_for(const TableHandle* t, int n) {
    return t->lock_state == d4lock_file || (t->locked_record != 0 && t->locked_record == n);
}

// Releases every lock of the selected table t: writes its changed record,
// forgets the cached count and releases its indexes.
int release_all_locks(int number) {
    int result = d4changed(number) < 0 ? -1 : 0;
    TableHandle* t = d4table(number);
    // Indexes first: their changes reach the file before the record lock goes.
    if (t->first_index >= 0 && i4release_index(-1) < 0) result = -1;
    t = d4table(number);
    if (t->held_record != 0 && t->held_append) {
        // An append's two locks (1,000,000,000 and the new record's byte)
        // go together.
        u4unlock_pair(t->file, u4lock_base, u4lock_base + t->held_record, 1);
        t->held_append = 0;
    } else if (t->held_record != 0) {
        u4unlock(t->file, u4lock_base + t->held_record, 1);
    }
    t->held_record = 0;
    unlock_append(t);
    t->lock_state = d4lock_none;
    t->locked_record = 0;
    t->old_image = 0;
    d4forget_count_of(t);
    return result;
}

// Reads record n into buffer (the record buffer or the old-record buffer)
// after the index release and the record lock; n becomes the current record.
int read_into(TableHandle* t, int n, char* buffer) {
    t->current_record = n;
    if (u4read_exact_n(t->file, record_offset(t, n), buffer,
                       static_cast<std::uint32_t>(t->record_width), t->file_name,
                       "Record: ", n) < 0) {
        // Never leave half a record behind.
        std::memset(buffer, ' ', static_cast<std::size_t>(t->record_width));
        return -1;
    }
    return 0;
}

// Moves the selected table to its end: blank buffer, record count + 1, eof.
void put_at_end(TableHandle* t, int count, int also_bof) {
    blank(t);
    t->current_record = count + 1;
    t->eof = 1;
    if (also_bof) t->bof = 1;
}

// Reads a descriptor's 16-bit little-endian value.
unsigned word_at(const unsigned char* p) {
    return p[0] | (static_cast<unsigned>(p[1]) << 8);
}

// Today's date and the record count as header bytes 1-7, keeping the date
// in the header image.
void make_stamp(TableHandle* t, int count, std::uint8_t* stamp) {
    plat::LocalTime now{};
    plat::GetLocalTime(&now);
    t->header.date[0] = static_cast<std::uint8_t>(now.year - 1900);
    t->header.date[1] = static_cast<std::uint8_t>(now.month);
    t->header.date[2] = static_cast<std::uint8_t>(now.day);
    std::memcpy(stamp, t->header.date, 3);
    const std::uint32_t stored = count < 0 ? 0 : static_cast<std::uint32_t>(count);
    for (int i = 0; i < 4; ++i) stamp[3 + i] = static_cast<std::uint8_t>(stored >> (8 * i));
}

// Writes the stamp into header bytes 1-7 (one write). Under the append lock
// the bytes written are remembered, so that the same stamp is not written
// twice while the lock is held. 0 / -1 (160).
int write_stamp(TableHandle* t, int count) {
    std::uint8_t stamp[7];
    make_stamp(t, count, stamp);
    t->stamp_held = 0;
    if (u4write_exact(t->file, 1, stamp, sizeof stamp, t->file_name) < 0) return -1;
    if (t->lock_state != d4lock_none) {
        std::memcpy(t->stamp, stamp, sizeof stamp);
        t->stamp_held = 1;
    }
    return 0;
}

// Undoes a half-made open: closes the file, frees what was allocated and
// releases the element (the previous selection is kept).
void discard_open(int number) {
    TableHandle* t = d4table(number);
    u4close_file(t->file);
    h4release_memory(t->old_record);
    h4release_memory(t->fields);
    const int next = t->next;
    h4free_element(&g4.table_pool, number);
    if (g4.table_head == number) g4.table_head = next;
}

// Reads record n of table number (count unknown, n >= 1) without asking the
// file's size: a record wholly in the file is within the count. 0 read, 1
// past the end (the record buffer left as it was), -1 failure.
int read_if_in_file(int number, int n) {
    if (d4changed(number) < 0) return -1;
    TableHandle* t = d4table(number);
    // Read into the old-record buffer first: a record past the end leaves
    // the record buffer as it was.
    t->old_image = 0;
    const auto width = static_cast<std::uint32_t>(t->record_width);
    const std::int64_t got = u4read_at(t->file, record_offset(t, n), t->old_record, width);
    if (got != static_cast<std::int64_t>(width)) {
        if (got >= 0) return 1;
        // A failed read leaves no record behind, as a failed move does.
        std::memset(t->record, ' ', width);
        t->current_record = n;
        const NumberText number_text(n);
        e4error_report(err4read, t->file_name, "Record: ", number_text.text, nullptr);
        return -1;
    }
    std::memcpy(t->record, t->old_record, width);
    t->bof = t->eof = 0;
    lock_record(t, n);
    t->current_record = n;
    t->read_whole = n;
    note_image(t, n);
    return 0;
}

} // namespace

TableHandle* d4table(int number) {
    if (number < 0 || g4.table_pool == nullptr) return nullptr;
    for (int t = g4.table_head, steps = 0; t >= 0 && steps < h4capacity(g4.table_pool); ++steps) {
        if (t == number) return h4element_as<TableHandle>(g4.table_pool, t);
        const TableHandle* h = h4element_as<TableHandle>(g4.table_pool, t);
        if (h == nullptr) break;
        t = h->next;
    }
    return nullptr;
}

TableHandle* d4current_table() {
    return d4table(g4.selected_table);
}

int d4open_table(const char* name) {
    return d4open_table_mode(name, 0);
}

int d4open_table_mode(const char* name, int mode) {
    if (!g4.initialized && d4initialize_defaults() < 0) return -1;
    char normal[u4name_size];
    u4name_normalise(name, ".DBF", normal);
    const int open = d4find_table(normal);
    if (open >= 0) return open;

    const int number = h4get_element(&g4.table_pool, g4.table_head);
    if (number < 0) return -1;
    g4.table_head = number;
    TableHandle* t = h4element_as<TableHandle>(g4.table_pool, number);
    std::memcpy(t->file_name, normal, sizeof normal);
    t->memo_file = -1;
    t->first_index = -1;
    t->selected_index = -1;
    t->filter_head = -1;
    t->relation_head = -1;
    t->file = u4open_file(t->file_name, mode);
    if (t->file < 0) {
        t->file = -1;
        discard_open(number);
        return -1;
    }

    // The header image and the whole header.
    unsigned char image[kHeaderImageSize];
    const std::int64_t got = u4read_at(t->file, 0, image, kHeaderImageSize);
    const unsigned header_length = got == kHeaderImageSize ? word_at(image + 8) : 0;
    if (got != kHeaderImageSize || header_length > kMaxHeaderLength) {
        e4error_report(err4data, t->file_name, nullptr);
        discard_open(number);
        return -1;
    }
    t->header.version = image[0];
    std::memcpy(t->header.date, image + 1, 3);
    t->header.header_length = static_cast<std::uint16_t>(header_length);

    auto* header = static_cast<unsigned char*>(h4allocate(header_length + 1));
    if (header == nullptr) {
        discard_open(number);
        return -1;
    }
    if (u4read_at(t->file, 0, header, header_length) != static_cast<std::int64_t>(header_length)) {
        h4release_memory(header);
        e4error_report(err4data, t->file_name, nullptr);
        discard_open(number);
        return -1;
    }

    // Descriptors: whole 32-byte slots inside the header, up to the 0x0D.
    // A header that ends before its 0x0D is no table: records would start
    // inside the descriptors.
    unsigned stop = kDescriptorSize;
    while (stop + kDescriptorSize <= header_length && header[stop] != kDescriptorEnd)
        stop += kDescriptorSize;
    if (stop >= header_length || header[stop] != kDescriptorEnd) {
        h4release_memory(header);
        e4error_report(err4data, t->file_name, nullptr);
        discard_open(number);
        return -1;
    }
    const int field_count = static_cast<int>(stop / kDescriptorSize) - 1;
    auto* fields = static_cast<FieldDescriptor*>(h4allocate(
        sizeof(FieldDescriptor) * static_cast<std::size_t>(field_count > 0 ? field_count : 1)));
    t = h4element_as<TableHandle>(g4.table_pool, number);
    if (fields == nullptr) {
        h4release_memory(header);
        discard_open(number);
        return -1;
    }
    t->fields = fields;
    t->field_count = field_count;
    long width = 1;
    for (int i = 0; i < field_count; ++i) {
        const unsigned char* d = header + kDescriptorSize * (i + 1);
        FieldDescriptor& f = fields[i];
        std::memcpy(f.name, d, 10);
        f.name[10] = '\0';
        f.type = static_cast<char>(d[11]);
        if (f.type == 'C') {
            f.width = static_cast<std::uint16_t>(word_at(d + 16));
            f.decimals = 0;
        } else {
            f.width = d[16];
            f.decimals = d[17];
        }
        f.offset = static_cast<std::uint16_t>(width);
        width += f.width;
        if (width > kMaxRecordWidth) {
            h4release_memory(header);
            e4error_report(err4record_length, nullptr);
            discard_open(number);
            return -1;
        }
    }
    h4release_memory(header);

    t->record_width = static_cast<int>(width);
    t->old_record = static_cast<char*>(h4allocate(2 * static_cast<std::size_t>(width) + 1));
    if (t->old_record == nullptr) {
        discard_open(number);
        return -1;
    }
    t->record = t->old_record + width;
    std::memset(t->old_record, ' ', 2 * static_cast<std::size_t>(width));
    t->old_record[2 * width] = '\0';

    t->lock_state = d4lock_none;
    t->locked_record = 0;
    t->held_record = 0;
    t->held_append = 0;
    t->old_image = 0;
    t->stamp_held = 0;
    t->current_record = 1;
    t->eof = 1;
    t->bof = 0;
    t->changed = 0;
    d4forget_count_of(t);
    g4.selected_table = number;
    return number;
}

int d4find_table(const char* name) {
    char normal[u4name_size];
    u4name_normalise(name, ".DBF", normal);
    if (g4.table_pool == nullptr) return -1;
    for (int t = g4.table_head; t >= 0;) {
        const TableHandle* h = h4element_as<TableHandle>(g4.table_pool, t);
        if (h == nullptr) break;
        if (u4name_equal(normal, h->file_name)) return t;
        t = h->next;
    }
    return -1;
}

int d4select_table(int number) {
    const int previous = g4.selected_table;
    if (d4table(number) != nullptr) g4.selected_table = number;
    return previous;
}

int d4close_table() {
    const int number = g4.selected_table;
    TableHandle* t = d4table(number);
    if (t == nullptr) return no_table();
    int result = 0;

    d4clear_filters();
    t = d4table(number);
    t->relation_head = -1;
    if (d4changed(number) < 0) result = -1;

    // Every index of the table; one that will not close is passed over, so
    // the walk ends whatever the indexes do.
    t = d4table(number);
    for (int index = t->first_index, steps = 0; index >= 0 && steps < h4capacity(g4.index_pool);
         ++steps) {
        const PoolLinks* links = h4element_as<PoolLinks>(g4.index_pool, index);
        if (links == nullptr) break;
        const int next = links->next;
        if (i4close_index(index) < 0) result = -1;
        index = next;
    }
    t = d4table(number);
    t->first_index = -1;
    t->selected_index = -1;

    if (t->memo_file >= 0) u4close_file(t->memo_file);
    t->memo_file = -1;

    // Under the append lock, so that no other program's append falls
    // between the count and its stamp; a lock not had writes no stamp.
    if (lock_append(t) == 0) {
        if (write_stamp(t, count_of(t)) < 0) result = -1;
    } else {
        result = -1;
    }
    unlock_append(t);
    if (t->held_record != 0) u4unlock(t->file, u4lock_base + t->held_record, 1);
    t->held_record = 0;
    t->lock_state = d4lock_none;
    t->locked_record = 0;
    h4release_memory(t->old_record);
    t->old_record = t->record = nullptr;
    h4release_memory(t->fields);
    t->fields = nullptr;
    const int file = t->file;
    const int next = t->next;
    h4free_element(&g4.table_pool, number);
    if (g4.table_head == number) g4.table_head = next;
    g4.selected_table = g4.table_head;
    if (u4close_file(file) < 0) result = -1;
    return result;
}

int d4close_all_tables() {
    // A table that closes with an error (its stamp refused under another
    // program's or a terminal's lock) is closed all the same: the others are
    // still closed, and the result says that one failed.
    int result = 0;
    while (g4.table_head >= 0) {
        if (d4table(g4.selected_table) == nullptr) g4.selected_table = g4.table_head;
        if (d4close_table() < 0) result = -1;
    }
    return result;
}

int d4record_count() {
    TableHandle* t = d4current_table();
    return t == nullptr ? -1 : count_of(t);
}

int d4record_number() {
    const TableHandle* t = d4current_table();
    return t == nullptr || t->current_record < 1 ? 0 : t->current_record;
}

int d4at_end() {
    const TableHandle* t = d4current_table();
    return t == nullptr ? no_table() : t->eof;
}

int d4at_start() {
    const TableHandle* t = d4current_table();
    return t == nullptr ? no_table() : t->bof;
}

int d4read_record(int n) {
    const int number = g4.selected_table;
    TableHandle* t = d4table(number);
    if (t == nullptr) return no_table();
    if (n < 1) {
        if (d4changed(number) < 0) return -1;
        blank(d4table(number));
        return 1;
    }
    if (d4changed(number) < 0) return -1;
    t = d4table(number);
    t->bof = t->eof = 0;
    // Reading takes no lock, so the indexes keep theirs: their header stays
    // current for the rest of the request.
    lock_record(t, n);
    if (t->old_image == n) {
        // Read under the store's lock on it, which it still holds: the bytes
        // on disk are those already here.
        std::memcpy(t->record, t->old_record, static_cast<std::size_t>(t->record_width));
        t->current_record = n;
        return 0;
    }
    const int read = read_into(t, n, t->record);
    if (read == 0) note_image(t, n);
    return read;
}

int d4read_listed_record(int n) {
    const int number = g4.selected_table;
    TableHandle* t = d4table(number);
    if (t == nullptr) return no_table();
    if (n < 1) return 1;
    if (t->header.record_count >= 0 || t->old_image == n || t->first_index < 0) {
        const int count = count_of(t);
        if (count < 0) return -1;
        return n > count ? 1 : d4read_record(n);
    }
    return read_if_in_file(number, n);
}

int d4goto_record_for_change(int n) {
    const int number = g4.selected_table;
    TableHandle* t = d4table(number);
    if (t == nullptr) return no_table();
    const int count = count_of(t);
    if (count < 0) return -1;
    if (n >= 1 && n <= count && d4changed(number) == 0) {
        t = d4table(number);
        if (t->lock_state != d4lock_file && t->held_record != n)
            take_record_lock(number, n, 0, true); // a lock held elsewhere: read without it
    }
    return d4goto_record(n);
}

void d4forget_count() {
    if (TableHandle* t = d4current_table()) d4forget_count_of(t);
}

int d4write_stamp() {
    const int number = g4.selected_table;
    TableHandle* t = d4table(number);
    if (t == nullptr) return no_table();
    if (t->first_index >= 0 && i4release_index(-1) < 0) return -1;
    t = d4table(number);
    if (lock_append(t) < 0) return -1;
    const int count = count_of(t);
    if (count < 0) return -1;
    std::uint8_t stamp[7];
    make_stamp(t, count, stamp);
    if (t->stamp_held && std::memcmp(stamp, t->stamp, sizeof stamp) == 0) return 0;
    std::uint8_t on_disk[7];
    if (u4read_at(t->file, 1, on_disk, sizeof on_disk) ==
            static_cast<std::int64_t>(sizeof on_disk) &&
        std::memcmp(stamp, on_disk, sizeof stamp) == 0) {
        std::memcpy(t->stamp, stamp, sizeof stamp);
        t->stamp_held = 1;
        return 0;
    }
    return write_stamp(t, count);
}

int d4goto_record(int n) {
    const int number = g4.selected_table;
    TableHandle* t = d4table(number);
    if (t == nullptr) return no_table();
    if (n >= 1 && t->header.record_count < 0 && t->old_image != n) {
        // The first move of a request: the read itself tells whether the
        // record is there; only one past the end asks the size.
        const int read = read_if_in_file(number, n);
        if (read != 1) return read;
        t = d4table(number);
    }
    const int count = count_of(t);
    if (count < 0) return -1;
    if (n >= 1 && n <= count) return d4read_record(n);
    if (d4changed(number) < 0) return -1;
    blank(d4table(number));
    return 1;
}

// First or last record in record order.
static int goto_end_record(bool last) {
    const int number = g4.selected_table;
    TableHandle* t = d4table(number);
    if (t == nullptr) return no_table();
    if (t->selected_index >= 0) {
        if (d4changed(number) < 0) return -1;
        return last ? i4table_last() : i4table_first();
    }
    t->bof = t->eof = 0;
    const int count = count_of(t);
    if (count < 0) return -1;
    if (count == 0) {
        if (d4changed(number) < 0) return -1;
        put_at_end(d4table(number), 0, 1);
        return 3;
    }
    return d4read_record(last ? count : 1);
}

int d4goto_first() {
    return goto_end_record(false);
}
int d4goto_last() {
    return goto_end_record(true);
}

int d4skip_records(int n) {
    const int number = g4.selected_table;
    TableHandle* t = d4table(number);
    if (t == nullptr) return no_table();
    if (d4changed(number) < 0) return -1;
    t = d4table(number);
    if (t->selected_index >= 0) return i4table_skip(n);

    const int count = count_of(t);
    if (count < 0) return -1;
    if (count == 0) {
        blank(t);
        t->current_record = 1;
        t->bof = t->eof = 1;
        return n < 0 ? 1 : 3;
    }
    t->bof = t->eof = 0;
    std::int64_t target = static_cast<std::int64_t>(t->current_record) + n;
    int result = 0;
    if (target < 1) {
        t->bof = 1;
        target = 1;
        result = 1;
    }
    if (target <= count) {
        const int read = d4read_record(static_cast<int>(target));
        if (read < 0) return read;
        // The read clears bof; a move that met the start keeps it.
        if (result == 1) d4table(number)->bof = 1;
        return result;
    }
    put_at_end(t, count, 0);
    return 3;
}

int d4is_deleted() {
    const TableHandle* t = d4current_table();
    if (t == nullptr) return no_table();
    return t->record[0] == '*' ? 1 : 0;
}

// Sets record n's deletion flag to flag and writes it.
static int set_flag(int n, char flag, bool mark) {
    const int moved = d4goto_record(n);
    if (moved != 0) return moved;
    d4current_table()->record[0] = flag;
    const int written = d4write_record(n);
    if (written < 0) return mark ? -1 : written;
    return 0;
}

int d4mark_deleted(int n) {
    return set_flag(n, '*', true);
}
int d4unmark_deleted(int n) {
    return set_flag(n, ' ', false);
}

int d4append_blank_record() {
    const int number = g4.selected_table;
    TableHandle* t = d4table(number);
    if (t == nullptr) return no_table();
    if (d4changed(number) < 0) return -1;
    blank(d4table(number));
    return d4append_record();
}

int d4append_record() {
    const int number = g4.selected_table;
    TableHandle* t = d4table(number);
    if (t == nullptr) return no_table();
    t->bof = t->eof = 0;
    t->changed = 0;
    // As other programs append: the append byte (waiting for it), the count
    // read again under it, then the new record's own lock (refused while
    // anyone holds the whole file), the record, the end-of-file byte and the
    // header's count, all before the locks go.
    if (t->lock_state == d4lock_none) {
        if (release_all_locks(number) < 0) return -1;
        t = d4table(number);
        if (lock_append(t) < 0) return -1;
    }
    const int count = count_of(t);
    if (count < 0) return -1;
    const int n = count + 1;
    if (take_record_lock(number, n) < 0) return -1;
    t = d4table(number);
    t->current_record = n;
    if (t->first_index >= 0) {
        const int keys = i4add_keys(n);
        if (keys < 0) return keys;
        t = d4table(number);
    }
    t->header.record_count = n;

    // The record and one end-of-file byte: the NUL after the record buffer
    // stands in for it during the write.
    t->record[t->record_width] = kEndOfFile;
    const int written = u4write_exact_n(t->file, record_offset(t, n), t->record,
                                        static_cast<std::uint32_t>(t->record_width) + 1,
                                        t->file_name, "Record Number:", n);
    t->record[t->record_width] = '\0';
    if (written < 0) {
        // The record is not (wholly) in the file: the count goes back to
        // what the file holds, so that the next append writes over the
        // broken rest instead of leaving it in the table as a record.
        t->header.record_count = -1;
        return -1;
    }
    note_image(t, n);
    return write_stamp(t, n);
}

int d4write_record(int n) {
    const int number = g4.selected_table;
    TableHandle* t = d4table(number);
    if (t == nullptr) return no_table();
    if (n < 1 || n != t->read_whole) {
        const int count = count_of(t);
        if (count < 0) return -1;
        if (n <= 0 || n > count) return d4append_record();
    }
    t->changed = 0;
    if (!holds_lock_for(t, n)) {
        if (t->first_index >= 0 && i4release_index(-1) < 0) return -1;
        t = d4table(number);
        lock_record(t, n);
    }
    if (take_record_lock(number, n) < 0) return -1;
    t = d4table(number);
    if (t->first_index >= 0) {
        // The record as it is on disk: read now, under its lock, unless it
        // was read or written under the same lock in this request.
        if (t->old_image != n) {
            if (read_into(t, n, t->old_record) < 0) return -1;
            t->old_image = t->held_record == n ? n : 0;
        }
        if (std::memcmp(t->old_record, t->record, static_cast<std::size_t>(t->record_width)) == 0)
            return 0;
        t->old_image = 0;
        const int keys = i4update_keys(n);
        if (keys < 0) return keys;
        t = d4table(number);
    }
    t->current_record = n;
    if (u4write_exact_n(t->file, record_offset(t, n), t->record,
                        static_cast<std::uint32_t>(t->record_width), t->file_name,
                        "Record Number:", n) < 0)
        return -1;
    note_image(t, n);
    return 0;
}

int d4lock_append_count() {
    TableHandle* t = d4current_table();
    if (t == nullptr) return no_table();
    return lock_append(t);
}

int d4unlock_all() {
    int result = 0;
    const int selected = g4.selected_table;
    int steps = 0;
    for (int number = g4.table_head; number >= 0 && steps < h4capacity(g4.table_pool); ++steps) {
        TableHandle* t = d4table(number);
        if (t == nullptr) break;
        // The next request counts the records again: other programs append.
        d4forget_count_of(t);
        bool busy = t->lock_state != d4lock_none || t->held_record != 0 || t->held_append != 0;
        for (int i = t->first_index, walked = 0;
             !busy && i >= 0 && walked < h4capacity(g4.index_pool); ++walked) {
            const IndexHandle* h = i4index(i);
            if (h == nullptr) break;
            busy = h->locked != 0;
            i = h->next;
        }
        if (busy) {
            g4.selected_table = number;
            if (release_all_locks(number) < 0) result = -1;
        }
        number = d4table(number)->next;
    }
    g4.selected_table = selected;
    return result;
}

int d4changed(int number) {
    TableHandle* t = d4table(number);
    if (t == nullptr) return -1;
    if (!t->changed) return 0;
    if (t->current_record < 1) {
        e4error_report(err4overwritten, "d4changed()", nullptr);
        return -1;
    }
    const int previous = d4select_table(number);
    const int result = d4write_record(t->current_record);
    d4select_table(previous);
    return result;
}

int d4flush_table(int number) {
    if (number >= 0) return d4changed(number) < 0 ? -1 : 0;
    for (int t = g4.table_head; t >= 0;) {
        if (d4changed(t) < 0) return -1;
        const TableHandle* h = d4table(t);
        t = h == nullptr ? -1 : h->next;
    }
    return 0;
}

char* d4record_buffer() {
    TableHandle* t = d4current_table();
    return t == nullptr ? nullptr : t->record;
}

int d4record_width() {
    const TableHandle* t = d4current_table();
    return t == nullptr ? -1 : t->record_width;
}

int d4field_count() {
    const TableHandle* t = d4current_table();
    return t == nullptr ? no_table() : t->field_count;
}

void d4blank_record() {
    if (TableHandle* t = d4current_table()) blank(t);
}

void d4set_eof(int also_bof) {
    TableHandle* t = d4current_table();
    if (t == nullptr) return;
    const int count = count_of(t);
    put_at_end(d4current_table(), count < 0 ? 0 : count, also_bof);
}
