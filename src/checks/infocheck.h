/*
 * infocheck: the NFO check of an upload.
 *
 * Two check hooks over the property table that the site tool fills:
 * nfo_dupe refuses an NFO whose file name is present in the site's unwanted
 * directory ("nfo_unwanteddir"), leaving "Nfo is unwanted propaganda-shit"
 * under "error_msg"; nfo_check rewrites the uploaded NFO ("path") without
 * the lines that match the clean list ("nfo_cleanlist"), between the texts
 * of the prepend and append files ("nfo_prepend", "nfo_append") with the
 * variables %{USER}, %{DIR}, %{TIME} and %{DATE} filled in (see textfill.h
 * for the variable syntax). Every kept line ends in one "\n".
 *
 * Hook results: 1 accepted or done, 0 refused or failed. The caller owns the
 * property table, every list it passes, and every text returned as new
 * (released with free). The only module state is the pattern list
 * _nfo_cleanlist_normal, which collects the lines of every clean list loaded
 * in the process and is never emptied. Checks run one at a time.
 */
#ifndef SITEKIT_INFOCHECK_H
#define SITEKIT_INFOCHECK_H

#include <stdio.h>

#include "proptable.h"
#include "strlist.h"

#ifdef __cplusplus
extern "C" {
#endif

#define NFO_LINE_MAX 300 /* characters of a clean-list line */
#define NFO_UNWANTED_MSG "Nfo is unwanted propaganda-shit"

/*
 * Every clean-list line loaded so far, exactly as read (empty and
 * space-only lines included), each distinct line once. Owned by the module.
 */
extern str_list *_nfo_cleanlist_normal;

/* Does nothing and returns 1. */
int nfo_init(ht_table *table, const char *file, const char *dir);

/*
 * Returns 0, with "error_msg" set, when the directory "nfo_unwanteddir"
 * holds a readable file named file; 1 when it does not. Returns 0 without a
 * message when "nfo_unwanteddir" is absent.
 */
int nfo_dupe(ht_table *table, const char *file, const char *dir);

/*
 * Rewrites the NFO at "path" (see above); dir is the release directory that
 * gives %{DIR}. The new text is written beside the NFO and renamed over it,
 * keeping its permission bits, only when every byte was written; otherwise
 * the "check_errormsg" format is printed with "Writing cleaned nfo", the
 * NFO keeps its old content, and the result is still 1. A new text equal to
 * the NFO leaves the file as it is. A symbolic link at "path" is replaced by
 * the new file; the file it points to is not changed. Returns 0, the NFO
 * untouched, when "path" is absent, cannot be read, may not be written by
 * the effective user, or the new text cannot be created beside it.
 */
int nfo_check(ht_table *table, const char *file, const char *dir, const char *unused);

/*
 * Copies src into dest (size bytes) without leading and trailing spaces and
 * tabs; other white space, a CR included, stays. A result of size or more
 * characters is cut to size - 1. src is never changed. Always returns 1.
 */
int nfo_str_trim(const char *src, char *dest, int size);

/*
 * Reads the clean list at path (lines cut at NFO_LINE_MAX characters): every
 * line as read goes into _nfo_cleanlist_normal, every line that is not empty
 * once trimmed is added, trimmed, to list (NULL starts a new one). Returns
 * the list; NULL when the file cannot be read (the pattern list is then
 * unchanged and a list passed in is still the caller's).
 */
str_list *nfo_clean_load(str_list *list, const char *path);

/*
 * 1 when the extended regular expression matches anywhere in text, letter
 * case ignored; 0 when it does not, does not compile, or either is NULL.
 */
int nfo_reg_match(const char *text, const char *regex);

/*
 * 1 when line is to be dropped: an entry of list (NULL allowed) occurs in it
 * (case-sensitive), or it matches a pattern of _nfo_cleanlist_normal as a
 * whole (wildcards "?" and "*"). 0 when the line stays.
 */
int nfo_find_match(const char *line, str_list *list);

/*
 * A new text: every entry of list, each followed by sep. The empty text for
 * an empty or NULL list; NULL only when memory runs out.
 */
char *nfo_str_concat(str_list *list, const char *sep);

/*
 * A new text: text with %{USER} ("user" setting), %{DIR} (release name of
 * dir), %{TIME} ("HH:MM", local time) and %{DATE} ("MM-DD-YYYY") filled
 * in. NULL when text is NULL or memory runs out.
 */
char *nfo_fillout_vars(ht_table *table, const char *text, const char *dir);

/*
 * Writes the lines of the text file at path, each followed by "\n", with
 * the variables filled in, to out. Nothing happens when path is NULL or the
 * file cannot be read; a write error is left in out's error indicator.
 */
void nfo_append_add(ht_table *table, FILE *out, const char *path, const char *dir);

#ifdef __cplusplus
}
#endif

#endif
