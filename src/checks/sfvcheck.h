/*
 * sfvcheck: the SFV file of a release and the files it lists.
 *
 * An SFV file lists the files of a release, one "NAME CRC" line each: the
 * CRC is the line's last field, 8 hex digits in either case, after one or
 * more spaces or tabs; the name is everything before them, so it may hold
 * spaces. Lines end in LF or CR LF; blank lines and lines that start with
 * ";" (comments) are skipped; blanks at either end of a line do not count.
 * The release is one directory, so a name that holds a "/", is "." or "..",
 * holds a NUL byte or is SFV_NAME_MAX + 1 bytes or longer is refused, and so
 * is a name listed twice (letter case ignored), a file of more than
 * SFV_SIZE_MAX bytes and a file that lists nothing.
 *
 * Two check hooks over the property table of the upload check:
 *   sfv_check       an uploaded SFV: parsed and compared with the SFV the
 *                   release may already have;
 *   sfv_file_check  any other upload: its CRC compared with the one the
 *                   release's SFV lists for it.
 * Once every hook accepted an upload, sfv_accepted updates the release's
 * markers and its progress tag.
 * Both hooks return 1 accepted, 0 refused with the reason under "error_msg" (one
 * line, starting with the upload's name). The caller owns the table and
 * every list; texts returned as new are released with free.
 */
#ifndef SITEKIT_SFVCHECK_H
#define SITEKIT_SFVCHECK_H

#include <stddef.h>

#include "proptable.h"

#ifdef __cplusplus
extern "C" {
#endif

#define SFV_NAME_MAX 255               /* bytes of a listed name */
#define SFV_SIZE_MAX (1024L * 1024L)   /* bytes of an SFV file */
#define SFV_BLOCK_SIZE (1024L * 1024L) /* bytes read at a time for a CRC */
#define SFV_MISSING_SUFFIX "-missing"  /* default of "sfv_missing_suffix" */

typedef struct sfv_entry {
    char *name;        /* as the SFV spells it */
    unsigned long crc; /* CRC-32 */
    int line;          /* line number in the SFV, from 1 */
} sfv_entry;

typedef struct sfv_list {
    sfv_entry *entries; /* in the order of the file */
    size_t count;
} sfv_list;

/*
 * Parses size bytes of SFV text into list (whose old contents are not
 * freed). Returns 1 on success; 0 when the text is refused (see above),
 * with *error (when error is not NULL) set to a new text such as
 * "line 3: 'abc' is not a CRC (8 hex digits)", or to NULL when memory ran
 * out. The list is empty after a failure.
 */
int sfv_parse(const char *text, size_t size, sfv_list *list, char **error);

/*
 * Reads and parses the SFV file at path as sfv_parse does. A path that
 * names a FIFO, device, directory or a symbolic link is refused without
 * being opened for long (it is never waited on).
 */
int sfv_load(const char *path, sfv_list *list, char **error);

/* Frees the entries of list and empties it; NULL is allowed. */
void sfv_free(sfv_list *list);

/* The entry of list named name, letter case ignored; NULL when none. */
const sfv_entry *sfv_find(const sfv_list *list, const char *name);

/*
 * The CRC-32 of the file at path into *crc, reading it once in blocks of
 * SFV_BLOCK_SIZE bytes. Returns 1; 0 when the file is not a regular file
 * or cannot be read, with *error (when error is not NULL) a new text that
 * says why.
 */
int sfv_file_crc(const char *path, unsigned long *crc, char **error);

/*
 * Reads a CRC as the daemon writes it: 1 to 8 hex digits, either case.
 * Returns 1 with *crc set; 0 when text is anything else.
 */
int sfv_parse_crc(const char *text, unsigned long *crc);

/*
 * The hook for an uploaded SFV file, named file in the release directory
 * dir, at "path". Refused when it does not parse, and when dir holds
 * another SFV (name ending in ".sfv", any letter case) that parses and
 * lists other files or other CRCs.
 *
 * Once accepted, every listed file gets its place in dir: a file that is
 * not there (letter case ignored) gets a zero-byte marker, its name
 * followed by "sfv_missing_suffix" (default SFV_MISSING_SUFFIX); a file
 * that is there is verified at once: its marker goes when its CRC matches;
 * when it does not, one line on standard output names it, the file stays
 * and it gets a marker, as it is still missing. Nothing that is already at
 * a marker's name is replaced or removed unless it is a regular file.
 */
int sfv_check(ht_table *table, const char *file, const char *dir);

/*
 * The hook for any other upload, named file in dir, at "path". When an SFV
 * of dir (the first by name that parses) lists file, letter case ignored,
 * the upload's CRC must be the listed one: it is "crc" of the table (the
 * daemon's CRC argument, hex) when that is set and not zero, else computed
 * from the file. This hook changes nothing (sfv_accepted removes the
 * marker once every hook accepted the upload). A file that no SFV lists is refused when its name
 * matches one of the "|"-separated fnmatch patterns of "sfv_required"
 * (letter case ignored), and accepted otherwise.
 */
int sfv_file_check(ht_table *table, const char *file, const char *dir);

/*
 * Brings the release directory dir up to date after the upload file was
 * accepted by every hook (sfv_check or sfv_file_check, then those of its
 * extension); nothing happens when dir has no SFV that parses. Under an
 * exclusive flock on the lock file ".sitekit-sfv.lock" in dir, so that the
 * checks of one release never interleave here:
 *   - the upload's marker goes (it passed its CRC check);
 *   - the state is recomputed from the directory alone: a listed file
 *     counts as there when it is a regular file without a marker; a listed
 *     file that is not there gets its marker (back);
 *   - the table gets "files", "total", "missing", "percent" (rounded down),
 *     "bytes" and "size" (MiB, rounded down) of the listed files there;
 *   - the tag, an empty folder named by "sfv_progress" (or by
 *     "sfv_complete" once nothing is missing) with those variables filled
 *     in ("/" becomes "-"), is created, and then every other empty folder
 *     whose name fits either template (variables as wildcards) is removed;
 *   - a listed upload is recorded in the file ".sitekit-sfv.uploads" of dir
 *     with "user" and "speed" (KiB/s, a decimal number) of the table, for
 *     the totals by uploader;
 *   - the table gets "leader" (the uploader of the most bytes) and
 *     "uploaders" (each uploader as "NAME 4F 95M 1520KB/s", the speed only
 *     when known, most bytes first, joined by ", ");
 *   - when the upload completed the release (it is an SFV, or its marker
 *     was removed, and the complete tag was not there before),
 *     "sfv_complete_msg", filled in, is printed as one line.
 * Returns 1; 0 only when an argument is NULL or memory ran out.
 */
int sfv_accepted(ht_table *table, const char *file, const char *dir);

/*
 * Brings dir up to date after file was deleted from it, under the same lock:
 * while dir has an SFV that parses, as sfv_accepted does (so a listed file
 * that is gone gets its marker back and the tag is recomputed), but no
 * marker is removed and no complete line printed. When file is an SFV and
 * dir has no other, every marker (an empty regular file whose name ends in
 * the suffix) and every tag (an empty folder that fits a tag template) is
 * removed. Returns 1; 0 only when an argument is NULL or memory ran out.
 */
int sfv_deleted(ht_table *table, const char *file, const char *dir);

#define SFV_USER_MAX 32 /* bytes of an uploader's name, with its NUL */

/*
 * The listed files there of one uploader. The name is the files' owner
 * through the daemon's passwd file; for an owner it does not know, the user
 * the upload check ran for ("user" of its table, the hook's USER); else the
 * owner's number.
 */
typedef struct sfv_uploader {
    unsigned long uid;       /* the files' owner, as the daemon left them (the lowest) */
    char user[SFV_USER_MAX]; /* the uploader's name */
    size_t files;
    unsigned long long bytes;
    double speed; /* KiB/s over the files whose upload speed is known; 0: none */
    size_t timed; /* files whose upload speed is known */
} sfv_uploader;

/* A release's state, as sfv_release_state reads it. */
typedef struct sfv_state {
    char *sfv;                /* the SFV's name */
    size_t total;             /* files listed */
    size_t files;             /* of them there and verified (no marker) */
    unsigned long long bytes; /* of those files */
    char **missing;           /* names of the others, in the SFV's order */
    size_t missing_count;
    sfv_uploader *uploaders; /* most bytes first, then by name */
    size_t uploader_count;
} sfv_state;

/*
 * Reads the state of the release dir from the directory alone, as
 * sfv_accepted counts it, changing nothing (under a shared flock on the
 * lock file when there is one). "sfv_missing_suffix" of table names the
 * markers. Returns 1 with *state filled (release it with sfv_state_free);
 * 0, *state empty, when dir has no SFV that parses or memory ran out.
 */
int sfv_release_state(ht_table *table, const char *dir, sfv_state *state);

/* Releases what sfv_release_state filled in and empties it; NULL is allowed. */
void sfv_state_free(sfv_state *state);

#ifdef __cplusplus
}
#endif

#endif
