/*
 * proptable: the property table, text keys mapped to text values.
 *
 * A site tool fills a table with the settings of a check and hands it to the
 * check hooks, which read settings from it and leave results in it (such as
 * "error_msg"). Keys compare exactly, letter case counting.
 *
 * The caller owns the ht_table record: set it up with ht_init (a zeroed
 * record is also a valid empty table), release what it holds with
 * ht_finalize, then release the record itself if it was allocated (a table
 * from ht_get_tree is released with ht_finalize and then free). The table
 * owns copies of every key and value put into it.
 */
#ifndef SITEKIT_PROPTABLE_H
#define SITEKIT_PROPTABLE_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct ht_entry {
    char *key;             /* owned copy */
    char *value;           /* owned copy */
    struct ht_entry *next; /* next entry of the same bucket */
} ht_entry;

typedef struct ht_table {
    ht_entry **buckets; /* NULL until the first put */
    size_t bucket_count;
    size_t entry_count;
} ht_table;

/* Sets the table empty. It allocates nothing until the first ht_put. */
void ht_init(ht_table *table);

/*
 * The stored value of key, or NULL when it is absent (or key is NULL). The
 * text itself, not a copy: the caller never releases it, and a change made
 * through it in place is seen by later readers.
 */
char *ht_get(ht_table *table, const char *key);

/*
 * Stores copies of key and value, replacing an earlier value of the key.
 * A NULL value removes the key. Returns 0, or -1 when key is NULL or memory
 * runs out; the table then holds what it held before.
 */
int ht_put(ht_table *table, const char *key, const char *value);

/*
 * A new table, allocated with malloc, holding the entries whose keys begin
 * with prefix followed by separator, each named by the rest of its key
 * ("tmp_zip_last_size" under "tmp_zip_last" and '_' becomes "size").
 * Returns NULL when memory runs out or an argument is NULL.
 */
ht_table *ht_get_tree(ht_table *table, const char *prefix, char separator);

/* The number of keys held. */
size_t ht_count(const ht_table *table);

/*
 * Calls visit once for every entry, in no particular order, until visit
 * returns non-zero. The table must not be changed during the walk.
 */
void ht_foreach(ht_table *table, int (*visit)(const char *key, const char *value, void *context),
                void *context);

/* Releases every key and value; the table is empty (and usable) again. */
void ht_finalize(ht_table *table);

#ifdef __cplusplus
}
#endif

#endif
