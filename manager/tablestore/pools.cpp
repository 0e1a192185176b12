// Memory pools (numbered elements, free list, owner-kept doubly linked lists,
// growth by a fixed step) and zero-filled allocation.
#include "manager/tablestore/pools.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "manager/tablestore/store_errors.h"

namespace {

char* base_of(char* pool) {
    return pool - sizeof(PoolHeader);
}

std::int32_t* first_int(char* pool, int n, int size) {
    return reinterpret_cast<std::int32_t*>(pool + static_cast<std::size_t>(n) * size);
}

// Bytes of a pool of count elements of size bytes, header included.
std::int64_t pool_bytes(std::int64_t count, std::int64_t size) {
    return count * size + static_cast<std::int64_t>(sizeof(PoolHeader));
}

// Chains elements from .. capacity-1 as free, in order (the last points at
// capacity, which means "none").
void chain_free(char* pool, int from, int capacity, int size) {
    for (int i = from; i < capacity; ++i) *first_int(pool, i, size) = i + 1;
}

} // namespace

void* h4allocate(std::size_t size) {
    void* block = std::calloc(size == 0 ? 1 : size, 1);
    if (block == nullptr) e4error_report(err4out_of_memory, nullptr);
    return block;
}

void h4release_memory(void* block) {
    std::free(block);
}

int h4create(char** pool, int count, int size, int step) {
    const int capacity = count < 1 ? 1 : count;
    // Every element must hold at least its two links (a free element keeps
    // its free-list link in its first int), and elements stay 8-byte aligned
    // for the records that live in them: sizes are rounded up to 8.
    const int element = size < 1 ? 8 : (size > INT32_MAX - 7 ? INT32_MAX : (size + 7) / 8 * 8);
    const int growth = step < 1 ? 1 : step;
    const std::int64_t bytes = pool_bytes(capacity, element);
    if (bytes > h4pool_limit) {
        e4error_report(err4allocation, "h4create()", nullptr);
        return -1;
    }
    char* base = static_cast<char*>(h4allocate(static_cast<std::size_t>(bytes)));
    if (base == nullptr) return -1;
    auto* header = reinterpret_cast<PoolHeader*>(base);
    header->free_head = 0;
    header->capacity = capacity;
    header->element_size = element;
    header->growth = growth;
    *pool = base + sizeof(PoolHeader);
    chain_free(*pool, 0, capacity, element);
    return 0;
}

int h4get_element(char** pool, int before) {
    if (pool == nullptr || *pool == nullptr) return -1;
    PoolHeader* header = h4header(*pool);
    const int size = header->element_size;
    if (header->free_head >= header->capacity) {
        const std::int64_t capacity = static_cast<std::int64_t>(header->capacity) + header->growth;
        const std::int64_t bytes = pool_bytes(capacity, size);
        if (bytes > h4pool_limit) {
            e4error_report(err4allocation, "h4create()", nullptr);
            return -1;
        }
        char* base = static_cast<char*>(h4allocate(static_cast<std::size_t>(bytes)));
        if (base == nullptr) return -1;
        std::memcpy(base, base_of(*pool),
                    static_cast<std::size_t>(pool_bytes(header->capacity, size)));
        std::free(base_of(*pool));
        *pool = base + sizeof(PoolHeader);
        header = h4header(*pool);
        chain_free(*pool, header->capacity, static_cast<int>(capacity), size);
        header->capacity = static_cast<int>(capacity);
    }
    const int n = header->free_head;
    header->free_head = *first_int(*pool, n, size);

    char* element = *pool + static_cast<std::size_t>(n) * size;
    std::memset(element, 0, static_cast<std::size_t>(size));
    if (size >= static_cast<int>(sizeof(PoolLinks))) {
        auto* links = reinterpret_cast<PoolLinks*>(element);
        links->previous = -1;
        links->next = -1;
        if (before >= 0 && before < header->capacity && before != n) {
            auto* after = h4element_as<PoolLinks>(*pool, before);
            links->previous = after->previous;
            links->next = before;
            if (after->previous >= 0 && after->previous < header->capacity)
                h4element_as<PoolLinks>(*pool, after->previous)->next = n;
            after->previous = n;
        }
    }
    return n;
}

int h4free_element(char** pool, int n) {
    if (pool == nullptr || *pool == nullptr || n < 0 || n >= h4header(*pool)->capacity) {
        e4error_report(err4overwritten, "H4FREE", nullptr);
        return -2;
    }
    PoolHeader* header = h4header(*pool);
    const int size = header->element_size;
    int neighbour = -1;
    if (size >= static_cast<int>(sizeof(PoolLinks))) {
        const PoolLinks links = *h4element_as<PoolLinks>(*pool, n);
        if (links.previous >= 0 && links.previous < header->capacity)
            h4element_as<PoolLinks>(*pool, links.previous)->next = links.next;
        if (links.next >= 0 && links.next < header->capacity)
            h4element_as<PoolLinks>(*pool, links.next)->previous = links.previous;
        neighbour = links.next >= 0 ? links.next : links.previous;
    }
    *first_int(*pool, n, size) = header->free_head;
    header->free_head = n;
    return neighbour;
}

void h4free_pool(char** pool) {
    if (pool == nullptr || *pool == nullptr) return;
    std::free(base_of(*pool));
    *pool = nullptr;
}
