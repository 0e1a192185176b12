// Store-wide state and its one-time start (d4initialize).
#include "manager/tablestore/store.h"

#include "manager/tablestore/indexes.h"
#include "manager/tablestore/pages.h"
#include "manager/tablestore/pools.h"
#include "manager/tablestore/tables.h"

StoreState g4 = {0, nullptr, nullptr, nullptr, nullptr, -1, -1, -1,
                 1, nullptr, 0,       nullptr, 0,       0,  0,  0};

int d4initialize(int max_tables, int max_indexes, int max_page_slots, int work_buffer_size,
                 std::int64_t record_cache) {
    if (g4.initialized) return -1;
    g4.initialized = 1;
    g4.last_error = 0;
    g4.table_head = -1;
    g4.selected_table = -1;
    g4.eviction_index = -1;
    g4.lock_wait = 1;
    if (h4create(&g4.table_pool, max_tables, sizeof(TableHandle), 5) < 0) return -1;
    if (i4initialize_pools(max_indexes, max_page_slots) < 0) return -1;
    g4.page_budget = max_page_slots;
    g4.index_page_limit = 0; // none: an index's pages give way only to the round robin
    const int size = work_buffer_size < 1 ? 1 : work_buffer_size;
    g4.work_buffer = static_cast<char*>(h4allocate(static_cast<std::size_t>(size)));
    if (g4.work_buffer == nullptr) return -1;
    g4.work_buffer_size = size;
    if (record_cache > 0) {
        g4.record_cache = static_cast<char*>(h4allocate(static_cast<std::size_t>(record_cache)));
        if (g4.record_cache == nullptr) return -1;
        g4.record_cache_size = record_cache;
    }
    return 0;
}

int d4set_page_budget(int total_slots, int per_index) {
    PoolHeader* pool = h4header(g4.page_pool);
    if (!g4.initialized || pool == nullptr || total_slots < pool->capacity || per_index < 1 ||
        static_cast<std::int64_t>(total_slots) * pool->element_size > h4pool_limit)
        return -1;
    g4.page_budget = total_slots;
    g4.index_page_limit = per_index;
    // Grown by at least 64 slots at a time (b4get doubles the pool below the
    // budget).
    if (total_slots > pool->capacity && pool->growth < 64) pool->growth = 64;
    return 0;
}

int d4initialize_defaults() {
    return d4initialize(10, 10, 12, 3000, 64512);
}

void d4reset_store() {
    h4free_pool(&g4.table_pool);
    h4free_pool(&g4.index_pool);
    h4free_pool(&g4.page_pool);
    b4forget_page_map();
    h4free_pool(&g4.filter_pool);
    h4release_memory(g4.work_buffer);
    h4release_memory(g4.record_cache);
    g4 = StoreState{0, nullptr, nullptr, nullptr, nullptr, -1, -1, -1,
                    1, nullptr, 0,       nullptr, 0,       0,  0,  0};
}
