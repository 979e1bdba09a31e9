/*
 * strlist: the string list, an ordered list of owned text copies.
 *
 * Every operation that adds takes the list or NULL (an empty list) and
 * returns the list to use next, so a list starts out as a NULL pointer:
 *
 *     str_list *l = str_load(NULL, path);      NULL when unreadable
 *     l = str_add_last(l, "one more line");
 *     str_iter *it = str_iterator(l);
 *     for (const char *s; (s = str_iterator_next(it)) != NULL;) ...
 *     free(it);
 *     str_close(l);
 *
 * The list owns its copies; the caller owns the list (released with
 * str_close) and each iterator (released with free).
 */
#ifndef SITEKIT_STRLIST_H
#define SITEKIT_STRLIST_H

#ifdef __cplusplus
extern "C" {
#endif

typedef struct str_node {
    char *text; /* owned copy */
    struct str_node *next;
} str_node;

typedef struct str_list {
    str_node *head;
    str_node *tail;
    int count;
} str_list;

typedef struct str_iter {
    const str_node *next; /* the node str_iterator_next hands out next */
} str_iter;

/*
 * Appends the lines of the file at path, without their line ends (LF, CR or
 * CR LF), in file order, to list (NULL starts a new one). A line holding a
 * NUL byte keeps the text before it. Returns the list; when the file cannot
 * be read, or memory runs out, the list as it was (NULL for a new list).
 */
str_list *str_load(str_list *list, const char *path);

/*
 * Appends a copy of text (NULL is ignored). Returns the list to use next;
 * when memory runs out the list is returned unchanged.
 */
str_list *str_add(str_list *list, const char *text);

/* As str_add: a copy at the end, so that insertion order is kept. */
str_list *str_add_last(str_list *list, const char *text);

/*
 * The first entry equal to word, or NULL. flags 0 compares exactly, 1
 * ignores letter case.
 */
const char *str_search(const str_list *list, const char *word, int flags);

/* The number of entries (0 for NULL). */
int str_count(const str_list *list);

/* A new iterator over list (NULL allowed: no entry), released with free. */
str_iter *str_iterator(const str_list *list);

/* The next entry's text, or NULL at the end (or for a NULL iterator). */
const char *str_iterator_next(str_iter *iterator);

/* Releases the list and every copy it holds; NULL is allowed. */
void str_close(str_list *list);

#ifdef __cplusplus
}
#endif

#endif
