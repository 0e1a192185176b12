// Index files (.NTX): the index routines, and the calls the table routines
// make into them (release on record change, key maintenance on write and
// append, closing a table's indexes, key-order navigation).
//
// Index handles are elements of g4.index_pool; like every pool element they
// begin with the previous and next index of the same table (PoolLinks), so
// a table's indexes can be walked from TableHandle::first_index.
#pragma once

#include <cstdint>

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
// every index of the selected table (330, unique refusal ignored as above).
int i4add_keys(int record_number);

// Navigation of the selected table in its selected index's order (used by
// d4goto_first, d4goto_last and d4skip_records when an index is selected).
// Results as the table routines: 0 / 1 / 3 / negative.
int i4table_first();
int i4table_last();
int i4table_skip(int n);

// --- Index routines -------------------------------------------------------

int i4open_index(const char* name);
int i4find_index(const char* name);
int i4select_index(int index);
void i4select_natural_order();
int i4refresh_header(int index);
char* i4build_key(int index);
int i4find_key(int index, const char* text);
int i4find_entry(int index, const char* key, int record_number);
int i4insert_entry(int index, const char* key, int record_number);
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
