#include "sortedlist.h"

#include <algorithm>
#include <cstdlib>
#include <new>
#include <vector>

namespace {

// Merges two ordered chains; on equal items the one from a (added earlier)
// goes first, which keeps the sort stable.
sortedlist_node *merge(sortedlist_node *a, sortedlist_node *b, sortedlist_compare compare) {
    sortedlist_node head{nullptr, nullptr};
    sortedlist_node *tail = &head;
    while (a && b) {
        if (compare(a->item, b->item) <= 0) {
            tail->next = a;
            a = a->next;
        } else {
            tail->next = b;
            b = b->next;
        }
        tail = tail->next;
    }
    tail->next = a ? a : b;
    return head.next;
}

// Bottom-up merge sort of a chain of count nodes: no recursion, no
// allocation, n log n comparisons.
sortedlist_node *sort_chain(sortedlist_node *chain, int count, sortedlist_compare compare) {
    for (int width = 1; width < count; width *= 2) {
        sortedlist_node head{nullptr, chain};
        sortedlist_node *tail = &head;
        sortedlist_node *rest = chain;
        while (rest) {
            sortedlist_node *a = rest;
            sortedlist_node *a_end = a;
            for (int i = 1; i < width && a_end->next; ++i)
                a_end = a_end->next;
            sortedlist_node *b = a_end->next;
            a_end->next = nullptr;
            sortedlist_node *b_end = b;
            for (int i = 1; i < width && b_end && b_end->next; ++i)
                b_end = b_end->next;
            rest = b_end ? b_end->next : nullptr;
            if (b_end)
                b_end->next = nullptr;
            tail->next = merge(a, b, compare);
            while (tail->next)
                tail = tail->next;
        }
        chain = head.next;
    }
    return chain;
}

// Sorts by moving the item pointers between the nodes, which stay where
// they are: one walk to gather the items into an array, a stable sort of
// the array, one walk to put them back. Walking a long list that lies spread
// over memory is what costs; the merge sort walks it twice per pass. False
// when the array can't be allocated.
bool sort_items(sortedlist *list) noexcept {
    try {
        std::vector<void *> items;
        items.reserve(static_cast<std::size_t>(list->count));
        for (sortedlist_node *node = list->head; node; node = node->next)
            items.push_back(node->item);
        auto compare = list->compare;
        std::stable_sort(items.begin(), items.end(),
                         [compare](const void *a, const void *b) { return compare(a, b) < 0; });
        std::size_t i = 0;
        for (sortedlist_node *node = list->head; node; node = node->next)
            node->item = items[i++];
        return true;
    } catch (const std::bad_alloc &) {
        return false;
    }
}

} // namespace

extern "C" void sortedlist_init(sortedlist *list) {
    list->head = list->tail = list->cursor = nullptr;
    list->compare = nullptr;
    list->count = 0;
    list->unsorted = 0;
}

extern "C" void sortedlist_set_compare(sortedlist *list, sortedlist_compare compare) {
    list->compare = compare;
    list->unsorted = compare && list->count > 1;
}

extern "C" void *sortedlist_add(sortedlist *list, void *item) {
    auto *node = static_cast<sortedlist_node *>(std::malloc(sizeof(sortedlist_node)));
    if (!node)
        return nullptr;
    node->item = item;
    node->next = nullptr;
    if (list->tail) {
        // Items that arrive in order (the usual case: logs are written in
        // time order) stay appended; others wait for the next reset.
        if (list->compare && list->compare(list->tail->item, item) > 0)
            list->unsorted = 1;
        list->tail->next = node;
    } else {
        list->head = node;
    }
    list->tail = node;
    ++list->count;
    return item;
}

extern "C" void sortedlist_reset(sortedlist *list) {
    if (list->unsorted && list->compare && !sort_items(list)) {
        // No memory for the array: sort the chain itself, in place.
        list->head = sort_chain(list->head, list->count, list->compare);
        sortedlist_node *tail = list->head;
        while (tail && tail->next)
            tail = tail->next;
        list->tail = tail;
    }
    list->unsorted = 0;
    list->cursor = list->head;
}

extern "C" void *sortedlist_next(sortedlist *list) {
    sortedlist_node *node = list->cursor;
    if (!node)
        return nullptr;
    list->cursor = node->next;
    return node->item;
}

extern "C" void sortedlist_foreach(const sortedlist *list, void (*visit)(void *item)) {
    for (const sortedlist_node *node = list->head; node; node = node->next)
        visit(node->item);
}

extern "C" int sortedlist_count(const sortedlist *list) {
    return list->count;
}

extern "C" void sortedlist_clear(sortedlist *list) {
    sortedlist_node *node = list->head;
    while (node) {
        sortedlist_node *next = node->next;
        std::free(node);
        node = next;
    }
    list->head = list->tail = list->cursor = nullptr;
    list->count = 0;
    list->unsorted = 0;
}
