/*
 * dirlist: a sorted listing of one directory, read in one go.
 *
 * Calling order, on a handle the caller owns (a local variable will do):
 *
 *     dirlist_handle h;
 *     dirlist_init(&h, path);
 *     if (dirlist_readdir(&h)) {
 *         dirlist_reset(&h);
 *         for (const dirlist_entry *e; (e = dirlist_next(&h)) != NULL;) ...
 *     }
 *     dirlist_closedir(&h);
 *
 * dirlist_readdir reads every entry except "." and ".." and sorts them by
 * name (byte order). The handle owns the entries and their names until
 * dirlist_closedir, which may be called at any point after dirlist_init and
 * more than once. A failed dirlist_readdir leaves nothing to release.
 *
 * An entry's number is the size of a regular file in whole megabytes
 * (1048576 bytes, rounded down, at most INT32_MAX), -1 for a directory and 0
 * for anything else (also when the entry vanished before it was looked at).
 */
#ifndef SITEKIT_DIRLIST_H
#define SITEKIT_DIRLIST_H

#include <stddef.h>
#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define DIRLIST_PATH_SIZE 4096

typedef struct dirlist_entry {
    char *name;     /* owned by the handle */
    int32_t number; /* megabytes of a file, -1 for a directory, else 0 */
} dirlist_entry;

typedef struct dirlist_handle {
    char path[DIRLIST_PATH_SIZE]; /* NUL-terminated */
    dirlist_entry *entries;       /* malloc'd, count of them */
    size_t count;
    size_t pos; /* index of the entry dirlist_next gives next */
} dirlist_handle;

/* Prepares the handle for the directory at path, with no entries. Returns 1,
 * or 0 when path is NULL or longer than DIRLIST_PATH_SIZE - 1 bytes (the
 * handle is then empty and dirlist_readdir fails). */
int32_t dirlist_init(dirlist_handle *h, const char *path);

/* Reads and sorts the directory's entries. Returns 1, or 0 when the
 * directory cannot be opened or read or memory runs out; after 0 the handle
 * holds no entries. */
int32_t dirlist_readdir(dirlist_handle *h);

/* Positions the handle before the first entry. */
void dirlist_reset(dirlist_handle *h);

/* The next entry, or NULL after the last. */
const dirlist_entry *dirlist_next(dirlist_handle *h);

/* Releases the entries; the handle is empty afterwards. */
void dirlist_closedir(dirlist_handle *h);

#ifdef __cplusplus
}
#endif

#endif
