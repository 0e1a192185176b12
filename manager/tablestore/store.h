// Store-wide state of the table store and its one-time start.
//
// The store is a library of plain routines over this state: the pools of
// tables, indexes, page slots and filters, the list of open tables, the
// selected table, the expression work buffer and the last error number.
// Single-threaded: the manager calls it from its main thread only.
#pragma once

#include <cstdint>

struct StoreState {
    int initialized;    // d4initialize has run
    char* table_pool;   // TableHandle elements (tables.h)
    char* index_pool;   // index handles (indexes.h)
    char* page_pool;    // page slots (pages.h)
    char* filter_pool;  // FilterEntry elements; created on first use
    int table_head;     // most recently opened table, -1 none
    int selected_table; // -1 none
    int eviction_index; // round-robin pointer of the page cache, -1 none
    int lock_wait;      // wait flag passed to the lock primitive: 1
    char* work_buffer;  // expression work buffer
    int work_buffer_size;
    char* record_cache; // reserved block, never used
    std::int64_t record_cache_size;
    int last_error;       // code of the most recent report
    int page_budget;      // most page slots the pool may grow to
    int index_page_limit; // most pages one index keeps cached, 0 no limit of its own
};

// The store's state (zero / -1 until d4initialize).
extern StoreState g4;

// Creates the table, index and page pools with these initial sizes (each
// grows by 5), the work buffer of work_buffer_size bytes and, when non-zero,
// one reserved block of record_cache bytes. Acts once: every later call
// returns -1. The manager passes (1, 1, 25, 256, 0). Returns 0 / -1.
int d4initialize(int max_tables, int max_indexes, int max_page_slots, int work_buffer_size,
                 std::int64_t record_cache);

// d4initialize(10, 10, 12, 3000, 64512).
int d4initialize_defaults();

// Lets the page pool grow past its initial size, up to total_slots page
// slots for all indexes together, no index keeping more than per_index pages
// (its path included; its oldest cached page makes room for its next one). The pool grows as
// pages are first read and never shrinks; once it is at its budget, a new
// page takes the slot of the oldest cached page of some index, round robin,
// as before. Without this call the pool keeps its initial size. Indexes
// opened from now on take the per-index limit. 0 / -1 (before d4initialize,
// or a budget below the pool's present size).
int d4set_page_budget(int total_slots, int per_index);

// Frees every pool and buffer and returns the store to its state before
// d4initialize, so tests can start afresh. Open tables must be closed first
// (their files are not closed here).
void d4reset_store();
