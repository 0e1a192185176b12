// Index files (.NTX): the index routines, and the calls the table routines
// make into them (release on record change, key maintenance on write and
// append, closing a table's indexes, key-order navigation).
//
// Index handles are elements of g4.index_pool; like every pool element they
// begin with the previous and next index of the same table (PoolLinks), so
// a table's indexes can be walked from TableHandle::first_index.
//
// Index header (page at offset 0; only its first 280 bytes are read and
// written, little-endian): 0 signature 6, or 0x106 for a unique index;
// 2 version counter; 4 root page offset; 8 first free page (0 none); 12 item
// size = key length + 8; 14 key length 1 .. 338; 16 key decimals; 18 maximum
// keys per page = 2 x half; 20 half page > 0; 22 key expression text (256
// bytes, NUL-terminated); 278 unique flag (non-zero = unique).
#pragma once

#include <cstdint>

#include "manager/tablestore/pages.h"
#include "manager/tablestore/pools.h"
#include "manager/tablestore/store.h"

inline constexpr int i4header_size = 280;
inline constexpr int i4default_cache_limit = 20;
inline constexpr int i4max_key_length = 338;
inline constexpr std::uint32_t i4damaged_recheck_ms = 5000;

// Offsets of the header fields.
enum : int {
    i4h_signature = 0,
    i4h_version = 2,
    i4h_root = 4,
    i4h_free = 8,
    i4h_item_size = 12,
    i4h_key_length = 14,
    i4h_key_decimals = 16,
    i4h_max_keys = 18,
    i4h_half = 20,
    i4h_expression = 22,
    i4h_unique = 278,
};

// One open index: an element of g4.index_pool; its number is the index number.
struct IndexHandle {
    int previous; // previous / next index of the same table
    int next;
    char file_name[64]; // upper case, with ".NTX"
    int file;
    int locked;            // the index lock is held and the header image is current
    int locked_exclusive;  // ... and held exclusively (the tree may change)
    int free_fault_logged; // a bad free-page link was reported once
    int pages_changed;     // pages on the path or in the cache still to be written
    int table;             // owning table
    char* program;
    int path;         // current page slot (top of the path), -1 empty
    int cache_newest; // least-recently-used list of pages not on the path
    int cache_oldest;
    int cache_count;
    int cache_limit;
    int key_type;              // 'C', 'N' or 'D'
    int version_locked;        // version counter as of the last lock
    std::int64_t eof_position; // where a new page goes at the end, 0 unknown
    // The end of the furthest page given to the index since its pages were
    // last all let go (INT64_MAX after an unaligned one): a file at least
    // this long holds every page in memory, checked without walking them.
    std::int64_t pages_end;
    std::uint8_t header[i4header_size];
    // Found damaged while in use (i4mark_damaged): 0 sound, 1 to be checked
    // at the next refresh, 2 damaged (checked again once the file changed,
    // its version counter or size not as they were then, or every
    // i4damaged_recheck_ms in case a rebuild left both as they were).
    int damaged;
    int damaged_version;
    std::int64_t damaged_size;
    std::uint32_t damaged_tick;
    // Taken from the header at open; a re-read header must agree.
    PageGeometry geometry;
    int key_decimals;
    int unique;
    // The record bytes of the key's field when the expression is that field
    // alone (width 0 otherwise): a change that leaves them as they were
    // leaves the key as it was.
    int key_field_offset;
    int key_field_width;
};

// The handle of index number i, or null when i is not an open index (an
// element in use always carries its file name; released ones are cleared).
// Inline: every page and key step reaches its index through it.
inline IndexHandle* i4index(int i) {
    auto* h = h4element_as<IndexHandle>(g4.index_pool, i);
    return h != nullptr && h->file_name[0] != '\0' ? h : nullptr;
}

// The header image fields.
std::uint32_t i4root(const IndexHandle* h);
std::uint32_t i4free_head(const IndexHandle* h);
int i4version(const IndexHandle* h);
const char* i4expression_text(const IndexHandle* h);

// Checks a 280-byte header image (the five rules, and that items fit in a
// page). Fills *g. True when acceptable.
bool i4header_valid(const std::uint8_t* header, PageGeometry* g);

// The numeric key transform in place over length bytes: leading blanks and
// every '-' before the first other character become '0'; when a '-' was met
// every byte c becomes 92 - c, so that negative numbers sort first.
void i4numeric_key(char* key, int length);

// The key of a number for a numeric index (number-to-text with the key
// length and decimals, then the transform), into out (key length bytes).
void i4number_key(const IndexHandle* h, double value, char* out);

// --- Calls made by the store and the table routines -----------------------

// Creates the index pool (max_indexes) and the page pool (max_page_slots),
// each growing by 5. Called once by d4initialize. 0 / -1.
int i4initialize_pools(int max_indexes, int max_page_slots);

// Writes back changed pages, rewrites the header if its version changed and
// unlocks. index < 0: every index of the selected table. 0 / -1.
int i4release_index(int index);

// Closes one index and unlinks it from its table. 0 / -1.
int i4close_index(int index);

// Key maintenance of d4write_record(n) for every index of the selected
// table, most recently opened first: the old-record buffer holds record n as
// it is in the file, the record buffer the new contents. Removes the old key
// and adds the new one where they differ (330 when the new entry is already
// there; a unique refusal is ignored). 0 / negative.
int i4update_keys(int record_number);

// Key maintenance of d4append_record for the new record n: adds (key, n) to
// every index of the selected table (i4append_entry; a unique refusal is
// ignored as above).
int i4add_keys(int record_number);

// Navigation of the selected table in its selected index's order (used by
// d4goto_first, d4goto_last and d4skip_records when an index is selected).
// Results as the table routines: 0 / 1 / 3 / negative.
int i4table_first();
int i4table_last();
int i4table_skip(int n);

// --- Index routines -------------------------------------------------------

int i4open_index(const char* name);

// Marks an index damaged while it is in use (a page reached twice, a walk
// longer than the table, a request's work budget spent in it, a file
// shorter than its pages): reported with its name and why; from its next
// refresh on its cached pages are dropped and it is refused until a check
// of its tree finds it sound (at once for check_again, else once another
// program changed the file). Returns -1.
int i4mark_damaged(int index, const char* why, bool check_again);
int i4find_index(const char* name);
int i4select_index(int index);
void i4select_natural_order();
int i4refresh_header(int index);
// i4refresh_header with the index lock held exclusively, as every change of
// the tree needs (a shared lock held is given up and taken again
// exclusively, re-reading the header: waiting to turn a shared lock into an
// exclusive one while another program does the same would never end).
int i4lock_for_change(int index);
char* i4build_key(int index);
int i4find_key(int index, const char* text);
int i4find_entry(int index, const char* key, int record_number);
int i4insert_entry(int index, const char* key, int record_number);
// i4insert_entry for a record appended to the table, whose number is greater
// than every record's: the entry goes after every equal key, found by one
// descent, without looking among the equal keys for one already there.
// 0 added / 1 a unique index already has the key (nothing added) / -1.
int i4append_entry(int index, const char* key, int record_number);
int i4remove(int index, const char* key, int record_number);
int i4goto_first_key(int index);
int i4goto_last_key(int index);
int i4skip(int index, int n);
int i4position_on_record(int index, int record_number);
int i4seek_text(const char* text);
int i4seek_number(double value);
int d4seek_key(int index, const char* key);
int d4seek_text_filtered(const char* text);
int d4seek_number_filtered(double value);

// --- Explicit-length forms and the current entry -----------------------------

// i4find_key with a search text of `length` bytes (may hold any byte).
int i4find_key_text(int index, const char* text, int length);

// i4find_entry with a key text of `length` bytes (shorter than the key: the
// entries whose key begins with it).
int i4find_entry_text(int index, const char* key, int length, int record_number);

// d4seek_key with a prepared key of `length` bytes.
int d4seek_key_text(int index, const char* key, int length);

// Record number and key (key-length bytes) of the index's current entry;
// -1 / null when the index is not on an entry.
int i4current_record(int index);
const char* i4current_key(int index);
