/*
 * sortedlist: the sorted list, an ordered list of caller item pointers with
 * a built-in iteration.
 *
 * The caller owns the sortedlist record and every item; the list keeps only
 * the pointers (items are never copied, never freed by the list):
 *
 *     sortedlist l;
 *     sortedlist_init(&l);                     empty, insertion order
 *     sortedlist_set_compare(&l, by_time);     optional ordering
 *     sortedlist_add(&l, item); ...
 *     sortedlist_reset(&l);
 *     for (void *it; (it = sortedlist_next(&l)) != NULL;) ...
 *     sortedlist_clear(&l);                    frees the list's own nodes
 *
 * A list without an ordering returns its items in the order they were
 * added. A list with one returns them in ascending order of the comparison
 * (an item comes after another when compare(item, other) > 0); items that
 * compare equal keep the order in which they were added. Adding in order is
 * constant time; items added out of order are put in place by the next
 * sortedlist_reset (a stable sort, n log n).
 */
#ifndef SITEKIT_SORTEDLIST_H
#define SITEKIT_SORTEDLIST_H

#ifdef __cplusplus
extern "C" {
#endif

/* Negative, 0 or positive as a sorts before, with or after b. */
typedef int (*sortedlist_compare)(const void *a, const void *b);

typedef struct sortedlist_node {
    void *item; /* the caller's pointer */
    struct sortedlist_node *next;
} sortedlist_node;

typedef struct sortedlist {
    sortedlist_node *head;
    sortedlist_node *tail;
    sortedlist_node *cursor;    /* the node sortedlist_next hands out next */
    sortedlist_compare compare; /* NULL: insertion order */
    int count;
    int unsorted; /* 1 when items were added out of order since the last sort */
} sortedlist;

/* Makes the list empty, in insertion order. Nothing is freed. */
void sortedlist_init(sortedlist *list);

/*
 * Attaches an ordering (NULL: insertion order from now on). The items
 * already in the list are put in order by the next sortedlist_reset.
 */
void sortedlist_set_compare(sortedlist *list, sortedlist_compare compare);

/*
 * Keeps item in the list. Returns item, or NULL when memory ran out (the
 * list is then unchanged). An item added during an iteration may or may not
 * be returned by it; every iteration after the next sortedlist_reset has it.
 */
void *sortedlist_add(sortedlist *list, void *item);

/* Puts the items in order and starts an iteration at the first one. */
void sortedlist_reset(sortedlist *list);

/*
 * The next item of the iteration, or NULL once every item was returned
 * (each exactly once).
 */
void *sortedlist_next(sortedlist *list);

/*
 * Calls visit once for every item, in the order the list holds them now
 * (not put in order first), leaving any iteration where it was. visit must
 * not add to the list; it may free the item (for example before
 * sortedlist_clear).
 */
void sortedlist_foreach(const sortedlist *list, void (*visit)(void *item));

/* The number of items. */
int sortedlist_count(const sortedlist *list);

/*
 * Frees the list's nodes (not the items) and leaves the list empty, with its
 * ordering kept.
 */
void sortedlist_clear(sortedlist *list);

#ifdef __cplusplus
}
#endif

#endif
