#include "chainlist.h"

#include <cstdlib>

namespace {

void link_before(glist *list, glist_node *node, glist_node *at) {
    node->next = at;
    node->prev = at->prev;
    if (at->prev)
        at->prev->next = node;
    else
        list->head = node;
    at->prev = node;
}

void link_after(glist *list, glist_node *node, glist_node *at) {
    node->prev = at;
    node->next = at->next;
    if (at->next)
        at->next->prev = node;
    else
        list->tail = node;
    at->next = node;
}

void unlink(glist *list, glist_node *node) {
    if (node->prev)
        node->prev->next = node->next;
    else
        list->head = node->next;
    if (node->next)
        node->next->prev = node->prev;
    else
        list->tail = node->prev;
    node->next = node->prev = nullptr;
}

void add_sorted(glist *list, glist_node *node) {
    glist_node *at = list->head;
    while (at->next && at->key > node->key)
        at = at->next;
    if (at->key > node->key)
        link_after(list, node, at); // every key is greater: the end
    else
        link_before(list, node, at);
}

} // namespace

extern "C" void glist_init(glist *list, int mode) {
    list->cursor = nullptr;
    list->head = nullptr;
    list->tail = nullptr;
    list->mode = mode;
}

extern "C" void glist_deinit(glist *list) {
    glist_node *node = list->head;
    while (node) {
        glist_node *next = node->next;
        std::free(node->data);
        std::free(node);
        node = next;
    }
    list->cursor = list->head = list->tail = nullptr;
}

extern "C" void glist_add(glist *list, void *data, double key) {
    auto *node = static_cast<glist_node *>(std::malloc(sizeof(glist_node)));
    if (!node) {
        std::free(data); // the list owns the block from the add on
        return;
    }
    node->data = data;
    node->key = key;
    node->next = node->prev = nullptr;

    if (!list->head) {
        list->head = list->tail = node;
        return;
    }
    switch (list->mode) {
    case GLIST_SORTED:
        add_sorted(list, node);
        break;
    case GLIST_PREPEND:
        link_before(list, node, list->head);
        break;
    default:
        link_after(list, node, list->tail);
        break;
    }
}

extern "C" void glist_reset(glist *list) {
    list->cursor = list->head;
}

extern "C" void glist_resettail(glist *list) {
    glist_node *node = list->head;
    while (node && node->next)
        node = node->next;
    list->cursor = node;
}

extern "C" void glist_next(glist *list) {
    if (list->cursor)
        list->cursor = list->cursor->next;
}

extern "C" void glist_prev(glist *list) {
    if (list->cursor)
        list->cursor = list->cursor->prev;
}

extern "C" int glist_isgood(const glist *list) {
    return list->cursor != nullptr;
}

extern "C" void *glist_get(const glist *list) {
    return list->cursor ? list->cursor->data : nullptr;
}

extern "C" void *glist_find(const glist *list, double key) {
    for (glist_node *node = list->head; node; node = node->next)
        if (node->key == key)
            return node->data;
    return nullptr;
}

extern "C" int glist_count(const glist *list) {
    int n = 0;
    for (glist_node *node = list->head; node; node = node->next)
        ++n;
    return n;
}

// Selection by moving: the first greatest node of the unsorted rest is moved
// in front of the rest, so equal keys keep their order.
extern "C" void glist_sort(glist *list) {
    glist_node *pos = list->head;
    while (pos) {
        glist_node *best = pos;
        for (glist_node *n = pos->next; n; n = n->next)
            if (n->key > best->key)
                best = n;
        if (best == pos) {
            pos = pos->next;
            continue;
        }
        unlink(list, best);
        link_before(list, best, pos);
    }
    list->cursor = nullptr;
}
