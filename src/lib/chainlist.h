/*
 * chainlist: the generic list.
 *
 * A doubly linked list of caller data blocks, each carried with a double
 * key, with a built-in cursor. The adding mode chosen at glist_init decides
 * where glist_add puts a new node: at the end, at the front, or in
 * descending key order.
 *
 * The caller owns the glist record. The list owns every data block handed
 * to glist_add from then on and releases it with free in glist_deinit, so
 * blocks must come from malloc and must not be freed or used by the caller
 * after glist_deinit.
 *
 * Walking: glist_reset, then while glist_isgood: glist_get, glist_next.
 * Backwards: glist_resettail and glist_prev.
 */
#ifndef SITEKIT_CHAINLIST_H
#define SITEKIT_CHAINLIST_H

#ifdef __cplusplus
extern "C" {
#endif

enum {
    GLIST_APPEND = 0, /* at the end; also any mode other than 1 and 2 */
    GLIST_SORTED = 1, /* descending key order, newest first among equal keys */
    GLIST_PREPEND = 2 /* at the front */
};

typedef struct glist_node {
    void *data; /* the caller's block, owned by the list; may be NULL */
    double key;
    struct glist_node *next;
    struct glist_node *prev;
} glist_node;

typedef struct glist {
    glist_node *cursor; /* current position; NULL when off either end */
    glist_node *head;
    glist_node *tail; /* last node */
    int mode;
} glist;

/* Sets up an empty list with the adding mode. The cursor is on no node. */
void glist_init(glist *list, int mode);

/* Releases every node and every non-null data block; the list is empty. */
void glist_deinit(glist *list);

/*
 * Links a new node with data and key in as the mode says. The cursor does
 * not move. When no node can be allocated the list is unchanged and data
 * (which the list was to own) is released with free.
 */
void glist_add(glist *list, void *data, double key);

/* Cursor to the first node. */
void glist_reset(glist *list);

/* Cursor to the last node (none for an empty list). */
void glist_resettail(glist *list);

/* Moves the cursor to the following node; nothing when it is on no node. */
void glist_next(glist *list);

/* Moves the cursor to the preceding node; nothing when it is on no node. */
void glist_prev(glist *list);

/* 1 while the cursor is on a node, else 0. */
int glist_isgood(const glist *list);

/* The data block of the cursor's node, or NULL. */
void *glist_get(const glist *list);

/*
 * The data block of the first node from the head whose key equals key
 * exactly, or NULL. The cursor does not move.
 */
void *glist_find(const glist *list, double key);

/* The number of nodes. */
int glist_count(const glist *list);

/*
 * Orders the nodes by key, greatest first, keeping equal keys in their
 * previous order. A NaN key is never greater than another. The cursor ends
 * on no node.
 */
void glist_sort(glist *list);

#ifdef __cplusplus
}
#endif

#endif
