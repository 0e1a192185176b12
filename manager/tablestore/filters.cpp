// Filters of a table and filtered navigation: the manager pushes
// d4is_deleted so that its moves pass over deleted records.
#include <cstdint>

#include "manager/tablestore/pools.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/store_errors.h"
#include "manager/tablestore/tables.h"

int d4push_filter(FilterRoutine routine) {
    TableHandle* t = d4current_table();
    if (t == nullptr) {
        e4error_report(err4no_table, nullptr);
        return -1;
    }
    if (g4.filter_pool == nullptr && h4create(&g4.filter_pool, 5, sizeof(FilterEntry), 3) < 0)
        return -1;
    const int element = h4get_element(&g4.filter_pool, t->filter_head);
    if (element < 0) return -1;
    h4element_as<FilterEntry>(g4.filter_pool, element)->routine = routine;
    t->filter_head = element;
    return 0;
}

int d4pop_filter() {
    TableHandle* t = d4current_table();
    if (t == nullptr || t->filter_head < 0 || g4.filter_pool == nullptr) return -1;
    const int head = t->filter_head;
    const FilterEntry* entry = h4element_as<FilterEntry>(g4.filter_pool, head);
    if (entry == nullptr) return -1;
    const int next = entry->next;
    if (h4free_element(&g4.filter_pool, head) < -1) return -1;
    t->filter_head = next;
    return 0;
}

void d4clear_filters() {
    while (d4pop_filter() == 0) {
    }
}

int d4filter_rejects() {
    const TableHandle* t = d4current_table();
    if (t == nullptr || g4.filter_pool == nullptr) return 0;
    // Walk by number: a filter routine may not add filters, but the walk
    // stays bounded by the pool's size whatever the links say.
    int steps = 0;
    for (int f = t->filter_head; f >= 0 && steps < h4capacity(g4.filter_pool); ++steps) {
        const FilterEntry* entry = h4element_as<FilterEntry>(g4.filter_pool, f);
        if (entry == nullptr) break;
        const int next = entry->next;
        const int result = entry->routine != nullptr ? entry->routine() : 0;
        if (result > 0) return 1;
        if (result < 0) return -1;
        f = next;
    }
    return 0;
}

int d4skip_filtered(int n) {
    TableHandle* t = d4current_table();
    if (t == nullptr) {
        e4error_report(err4no_table, nullptr);
        return -1;
    }
    if (n == 0) return d4skip_records(0);
    int last_accepted = t->current_record;
    const bool was_at_end = t->eof != 0;
    const int direction = n > 0 ? 1 : -1;
    const std::int64_t steps = n > 0 ? static_cast<std::int64_t>(n) : -static_cast<std::int64_t>(n);

    for (std::int64_t i = 0; i < steps; ++i) {
        int moved = d4skip_records(direction);
        for (;;) {
            if (moved < 0) return moved;
            if (moved == 3) return 3;
            const int rejected = d4filter_rejects();
            if (rejected < 0) return rejected;
            if (moved == 1) {
                // The start: the first record, or back to the last accepted one.
                if (rejected == 0) return 1;
                if (!was_at_end) {
                    const int back = d4goto_record(last_accepted);
                    return back < 0 ? back : 1;
                }
                d4set_eof(0);
                return 3;
            }
            if (rejected == 0) break;
            moved = d4skip_records(direction);
        }
        last_accepted = d4record_number();
    }
    return 0;
}

int d4goto_last_filtered() {
    int result = d4goto_last();
    if (result != 0) return result;
    const int rejected = d4filter_rejects();
    if (rejected < 0) return rejected;
    if (rejected == 0) return 0;
    result = d4skip_filtered(-1);
    if (result < 0) return result;
    if (result != 0) return d4skip_filtered(1);
    return 0;
}

int d4goto_first_filtered() {
    const int result = d4goto_first();
    if (result != 0) return result;
    const int rejected = d4filter_rejects();
    if (rejected < 0) return rejected;
    return rejected == 0 ? 0 : d4skip_filtered(1);
}
