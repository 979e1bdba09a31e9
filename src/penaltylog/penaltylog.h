/*
 * penaltylog: the nuke log reader.
 *
 * The daemon appends one 392-byte nukelog_record per nukee to its nuke log
 * when a release is nuked or a nuke is undone. nukelog_load reads the file
 * into the caller's release list: each run of consecutive records of one
 * nuke becomes one nukelog_release, holding one nukelog_nukee per record.
 *
 *     sortedlist releases;
 *     sortedlist_init(&releases);
 *     sortedlist_set_compare(&releases, _nukelog_sort_by_age);   optional
 *     if (nukelog_load(&releases, path)) {
 *         sortedlist_reset(&releases);
 *         for (nukelog_release *r; (r = sortedlist_next(&releases)) != NULL;)
 *             _nukelog_printf(r);
 *     }
 *     nukelog_free(&releases);
 *
 * Ownership: every release, nukee and text is allocated by the reader with
 * malloc and handed to the caller through the lists; nukelog_free releases
 * a whole release list with everything it holds. The path is used as given.
 */
#ifndef SITEKIT_PENALTYLOG_H
#define SITEKIT_PENALTYLOG_H

#include <stdint.h>

#include "sortedlist.h"

#ifdef __cplusplus
extern "C" {
#endif

/* One record of the nuke log: 392 bytes, little-endian, no header. */
typedef struct nukelog_record {
    uint16_t status;     /* 0 nuke, any other value unnuke */
    char reserved0[6];   /* not read */
    int64_t time;        /* seconds since 1970-01-01 00:00 UTC */
    char nuker[12];      /* NUL-terminated inside the field */
    char unnuker[12];    /* NUL-terminated inside the field */
    char nukee[12];      /* the user this record charges */
    uint16_t multiplier; /* the nuke multiplier */
    char reserved1[2];   /* not read */
    float amount;        /* amount nuked from the nukee (IEEE 754 single) */
    char reason[60];     /* terminated unless it fills all 60 bytes */
    char dirname[255];   /* path of the release directory */
    char reserved2[17];  /* not read */
} nukelog_record;

/* One nuked (or unnuked) release; every text is a malloc'd copy. */
typedef struct nukelog_release {
    int32_t status; /* the records' status */
    char *dirname;
    float total; /* sum of the nukees' amounts, in file order */
    int32_t multiplier;
    char *shown_name;  /* the nuker for a nuke, the unnuker for an unnuke */
    char *reason;      /* at most 60 characters */
    int64_t time;      /* time of the first record of the release */
    sortedlist nukees; /* nukelog_nukee entries, in file order */
} nukelog_release;

/* One nukee of a release; name is a malloc'd copy. */
typedef struct nukelog_nukee {
    char *name;
    float amount; /* the record's amount, bit for bit */
} nukelog_nukee;

/*
 * Reads the nuke log at path into releases (a list the caller set up with
 * sortedlist_init) and adds one nukelog_release per run of consecutive
 * records of one nuke. A trailing partial record is ignored. Returns 1 when
 * the file was read to its end (also when empty); 0 when it can't be opened
 * or is not a regular file (a FIFO is refused, not waited on; the list is
 * unchanged), on a read error or when memory runs out (what was
 * read before stays in the list).
 */
int nukelog_load(sortedlist *releases, const char *path);

/*
 * 1 when two records belong to one release: equal status, dirname,
 * multiplier, nuker and reason (texts compared within their field widths);
 * else 0.
 */
int _nukelog_same_release(const nukelog_record *a, const nukelog_record *b);

/*
 * Creates a release from the record, with no nukees and a total of 0, and
 * adds it to releases. Returns it, or NULL when memory ran out (nothing is
 * added then).
 */
nukelog_release *_nukelog_add_release(sortedlist *releases, const nukelog_record *record);

/*
 * Adds the record's nukee and amount to the release and the amount to its
 * total. Returns 1, or 0 when memory ran out (the release is unchanged).
 */
int _nukelog_add_nukee(nukelog_release *release, const nukelog_record *record);

/*
 * Prints the release as one line to standard output:
 * "dirname [xmultiplier shown_name reason]" then " (name amount)" per
 * nukee, the amount rounded to a whole number, then a newline. Uses the
 * nukee list's iteration.
 */
void _nukelog_printf(nukelog_release *release);

/*
 * The ordering by time for a release list (sortedlist_set_compare): takes
 * two nukelog_release pointers; 1 when the first is later, 0 when equal, -1
 * when earlier, so older releases come first.
 */
int _nukelog_sort_by_age(const void *a, const void *b);

/*
 * Frees every release of the list with its nukees and texts, and the list's
 * nodes; the list is left empty. NULL is allowed.
 */
void nukelog_free(sortedlist *releases);

#ifdef __cplusplus
}
#endif

#endif
