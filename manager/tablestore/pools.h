// Memory pools: growable arrays of fixed-size elements addressed by number,
// in which the store keeps its tables, indexes, page slots and filters.
//
// A pool is one allocation: a 16-byte header (free head, capacity, element
// size, growth step) followed by the elements. The owner's pool variable
// points at the first element; the header sits just before it. A free
// element's first int is the number of the next free element. An element in
// use begins with two ints, the previous and the next element of the list
// its owner keeps (-1 = none); the rest is the owner's and starts zeroed.
//
// Taking an element can grow (reallocate) the pool: owners keep element
// numbers, never addresses, across any call that can take an element.
// Elements are moved with memcpy, so element records must be trivially
// copyable.
#pragma once

#include <cstddef>
#include <cstdint>

// The header just before a pool's first element.
struct PoolHeader {
    std::int32_t free_head; // first free element; = capacity when none is free
    std::int32_t capacity;
    std::int32_t element_size;
    std::int32_t growth;
};
static_assert(sizeof(PoolHeader) == 16);

// The first two ints of an element in use.
struct PoolLinks {
    std::int32_t previous;
    std::int32_t next;
};

// Largest pool, header included. Pools only ever hold what the manager has
// open: at most 30 tables and indexes, and page slots for the paths and
// caches of those indexes (a path is as deep as the tree, a cache holds up
// to 20 pages). Even 30 indexes with paths 64 pages deep and full caches
// need about 2,600 slots of 1,056 bytes (under 3 MB); 64 MB leaves a wide
// margin, so error 920 is reached only by a runaway (a corrupt index whose
// child pointers loop), never by a configuration the manager accepted.
inline constexpr std::int64_t h4pool_limit = 64 * 1024 * 1024;

// Creates a pool of max(1, count) elements of size bytes (rounded up to a
// multiple of 8, at least 8, so every element holds its links) growing by
// max(1, step), all free and in order. Over h4pool_limit: error 920 with
// "h4create()" (fatal). Allocation failure: error 900 (fatal).
// Returns 0 / -1.
int h4create(char** pool, int count, int size, int step);

// Takes an element, growing the pool by its step when none is free. With
// before >= 0 the element is linked just before element `before` (lists that
// keep their head in a variable pass the head and store the result as the new
// head); with before < 0 its links are -1. The rest of the element is zeroed.
// Returns the element number, or -1.
int h4get_element(char** pool, int before);

// Releases element n: unlinks it from its list and puts it at the head of the
// free list (last released, first reused). Returns the next element of its
// list when there is one, else the previous one, else -1. n outside
// 0 .. capacity-1: error 950 with "H4FREE" (fatal) and -2.
int h4free_element(char** pool, int n);

// Frees the whole pool and sets the variable to null (tests and shutdown).
void h4free_pool(char** pool);

// Header of a pool (null pool: null). Inline with the two below: the store
// reaches its pages and handles through them on every step of every walk.
inline PoolHeader* h4header(char* pool) {
    return pool == nullptr ? nullptr : reinterpret_cast<PoolHeader*>(pool - sizeof(PoolHeader));
}

// Number of elements of a pool (0 for no pool).
inline int h4capacity(const char* pool) {
    return pool == nullptr ? 0 : h4header(const_cast<char*>(pool))->capacity;
}

// Address of element n, or null when n is out of range or there is no pool.
// Recompute after any call that may take an element.
inline char* h4element(char* pool, int n) {
    if (pool == nullptr || n < 0) return nullptr;
    const PoolHeader* header = h4header(pool);
    if (n >= header->capacity) return nullptr;
    return pool + static_cast<std::size_t>(n) * static_cast<std::size_t>(header->element_size);
}

// Typed view of element n.
template <class T>
T* h4element_as(char* pool, int n) {
    return reinterpret_cast<T*>(h4element(pool, n));
}

// Zero-filled block of size bytes; failure: error 900 (fatal), null.
void* h4allocate(std::size_t size);

// Frees a block from h4allocate (null is ignored).
void h4release_memory(void* block);
