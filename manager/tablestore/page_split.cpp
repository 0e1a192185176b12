// Changes of the tree at page level: inserting an item into the current page
// with splits up to a new root, removing an item, and removing a key from a
// leaf with the freeing of an emptied page and the repair of its parent.
// Pages are never merged or refilled from a sibling; only empty pages go.
#include "manager/tablestore/indexes.h"
#include "manager/tablestore/pools.h"
#include "manager/tablestore/store.h"
#include "manager/tablestore/store_errors.h"

namespace {

constexpr int kMaxItem = i4max_key_length + 8;
// Deepest run of full pages one insertion may split. A tree of even two keys
// a page is 2^32 keys wide at this depth; deeper means a damaged file.
constexpr int kMaxSplits = 48;

int overwritten(const char* where) {
    e4error_report(err4overwritten, where, nullptr);
    return -1;
}

} // namespace

void b4insert(int index, const std::uint8_t* item, int position) {
    const IndexHandle* h = i4index(index);
    PageSlot* p = b4slot(h->path);
    if (b4page_insert(p->page, h->geometry, item, position) < 0) {
        overwritten("b4insert");
        return;
    }
    b4mark_changed(index, p);
}

int b4remove(int index) {
    const IndexHandle* h = i4index(index);
    PageSlot* p = b4slot(h->path);
    const int r = b4page_remove(p->page, h->geometry, p->current_item);
    if (r < 0) return overwritten("b4remove");
    b4mark_changed(index, p);
    return r;
}

int b4add(int index, const std::uint8_t* item_in) {
    IndexHandle* h = i4index(index);
    if (h == nullptr || h->path < 0) return overwritten("b4add");
    const PageGeometry g = h->geometry;
    std::uint8_t item[kMaxItem];
    std::memcpy(item, item_in, static_cast<std::size_t>(g.item_size));

    // Every new page this insertion needs is found before any page changes,
    // so that a failure leaves the tree as it was: one per full page from the
    // current page up, and one more for a new root when the root splits.
    std::uint32_t fresh[kMaxSplits + 1];
    int needed = 0;
    for (int s = h->path; s >= 0; s = b4slot(s)->next) {
        if (b4key_count(b4slot(s)->page) < g.max_keys) break;
        ++needed;
        if (b4slot(s)->next < 0) ++needed;
        if (needed > kMaxSplits) {
            e4error_report(err4index_file, h->file_name, nullptr);
            return -1;
        }
    }
    for (int i = 0; i < needed; ++i) {
        fresh[i] = b4new_page_offset(index);
        if (fresh[i] == 0) return -1;
    }
    int used = 0;

    for (;;) {
        h = i4index(index);
        const int top = h->path;
        PageSlot* p = b4slot(top);
        const int k = b4key_count(p->page);
        int pos = p->current_item;
        if (pos < 0 || pos > k) return overwritten("b4add");
        if (k < g.max_keys) {
            b4insert(index, item, pos);
            p->current_item = pos;
            return 0;
        }

        // Split: the median goes up; the lower half moves to a new page.
        std::uint8_t median[kMaxItem];
        if (pos != g.half) {
            int m;
            if (g.half <= pos) {
                m = g.half;
                --pos;
            } else {
                m = g.half - 1;
            }
            std::memcpy(median, b4item(p->page, m), static_cast<std::size_t>(g.item_size));
            b4page_remove(p->page, g, m);
            if (b4page_insert(p->page, g, item, pos) < 0) return overwritten("b4insert");
        } else {
            std::memcpy(median, item, static_cast<std::size_t>(g.item_size));
        }
        b4mark_changed(index, p);

        const int ns = b4get(index);
        if (ns < 0) return -1;
        h = i4index(index);
        p = b4slot(top);
        PageSlot* np = b4slot(ns);
        if (p == nullptr || np == nullptr) return overwritten("b4add");
        std::memcpy(np->page, p->page, b4page_size);
        b4mark_changed(index, np);
        b4set_page_offset(index, ns, fresh[used++]);
        np->current_item = 0;
        b4set_key_count(np->page, g.half);
        b4put32(b4item(np->page, g.half), b4item_child(median));
        b4put32(median, np->file_offset);
        if (b4pop_page(index) != top) return overwritten("b4add 2");

        // The old page keeps the upper half: its entries from `half` on first.
        std::uint16_t entries[b4page_size / 2];
        const int n = g.max_keys + 1;
        for (int i = 0; i < n; ++i)
            entries[i] = static_cast<std::uint16_t>(b4offset_entry(p->page, (i + g.half) % n));
        for (int i = 0; i < n; ++i) b4set_offset_entry(p->page, i, entries[i]);
        b4set_key_count(p->page, g.half);
        b4mark_changed(index, p);

        const int parent = b4pop_page(index);
        if (parent >= 0) {
            std::memcpy(item, median, static_cast<std::size_t>(g.item_size));
            continue;
        }
        if (parent != -1) return overwritten("b4add");

        // The root split: a new root above it with the median alone.
        const int rs = b4get(index);
        if (rs < 0) return -1;
        b4path_pop_top(index);
        b4path_append_root(index, rs);
        h = i4index(index);
        p = b4slot(top);
        PageSlot* rp = b4slot(rs);
        b4fresh_page(rp->page, g);
        b4set_page_offset(index, rs, fresh[used++]);
        b4mark_changed(index, rp);
        b4page_insert(rp->page, g, median, 0);
        b4put32(b4item(rp->page, 1), p->file_offset);
        rp->current_item = 1;
        b4put32(h->header + i4h_root, rp->file_offset);
        return 0;
    }
}

int remove_key(int index) {
    const IndexHandle* h = i4index(index);
    if (h == nullptr || h->path < 0) return overwritten("remove_key");
    PageSlot* p = b4slot(h->path);
    if (b4key_count(p->page) <= 0) return overwritten("remove_key");
    const int left = b4remove(index);
    if (left < 0) return -1;
    if (left > 0 || p->next < 0) return 0; // keys remain, or it is the root
    if (b4free_page(index) < 0) return -1;
    return remove_reference(index);
}

int remove_reference(int index) {
    IndexHandle* h = i4index(index);
    if (h == nullptr || h->path < 0) return overwritten("remove_reference");
    const PageGeometry g = h->geometry;
    PageSlot* p = b4slot(h->path);
    b4mark_changed(index, p);
    const int k = b4key_count(p->page);
    if (k <= 0) {
        // A branch page without keys can only come from a damaged file.
        e4error_report(err4index_file, h->file_name, nullptr);
        return -1;
    }
    const int cur = p->current_item;
    std::uint8_t separator[kMaxItem];
    std::uint32_t survivor;
    if (cur >= 0 && cur < k) {
        std::memcpy(separator, b4item(p->page, cur), static_cast<std::size_t>(g.item_size));
        if (b4page_remove(p->page, g, cur) < 0) return overwritten("remove_reference 2");
        survivor = b4item_child(b4item(p->page, cur));
    } else if (cur == k) {
        p->current_item = cur - 1;
        std::memcpy(separator, b4item(p->page, cur - 1), static_cast<std::size_t>(g.item_size));
        b4set_key_count(p->page, k - 1);
        survivor = b4item_child(b4item(p->page, cur - 1));
    } else {
        return overwritten("remove_reference 2");
    }

    if (b4key_count(p->page) == 0) {
        const bool root = p->next < 0;
        if (b4free_page(index) < 0) return -1;
        h = i4index(index);
        if (root) {
            b4put32(h->header + i4h_root, survivor);
        } else {
            std::uint8_t* parent_item = b4current_item(index);
            if (parent_item == nullptr) return overwritten("remove_reference 3");
            b4put32(parent_item, survivor);
            b4mark_changed(index, b4slot(h->path));
        }
    }
    // The separator is a real entry: it goes back in through the leaves.
    const int r = i4insert_entry(index, reinterpret_cast<const char*>(b4item_key(separator)),
                                 static_cast<int>(b4item_record(separator)));
    if (r < 0) return -1;
    if (r != 0) {
        // Already there (or refused as a second key of a unique index): the
        // file held the entry twice.
        e4error_report(err4index_file, i4index(index)->file_name, nullptr);
        return -1;
    }
    return 0;
}
