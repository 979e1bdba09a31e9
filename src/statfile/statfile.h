/*
 * statfile: the statistics, credits and ratio lines of a user's userfile,
 * and the editor that changes them.
 *
 * A statistics line is a keyword ("ALLUP", "WKUP", "DAYUP", "MONTHUP") and
 * one triple of numbers (files, kbytes, seconds) per section; a credits line
 * is "CREDITS" and one value per section; a ratio line is "RATIO" and one
 * value per section. Sections are numbered from 0 in the order their numbers
 * stand on the line. Numbers are signed 64-bit decimal integers with an
 * optional sign; a token that does not begin with a number reads as 0 and
 * "12abc" reads as 12. Runs of spaces, and spaces at the end of a line, only
 * separate numbers: they never make an empty value.
 *
 * The file operations (statfile_add_stats, statfile_set_stats) read the
 * whole userfile, write every line, changed or not, to the userfile path
 * followed by ".pre-tmp", flush it to disk and rename it over the userfile,
 * which keeps its permission bits (and owner, where the process may set it).
 * Editors of one userfile are serialised with an advisory lock (flock) on the
 * userfile for the whole read-modify-rename, so concurrent edits all count.
 * Lines are written back whole whatever their length, each ended by one LF.
 * When no line's text changes (nothing matched, or the new values equal the
 * old), nothing is written: the userfile keeps its inode, times and line
 * ends. On any failure the userfile is left exactly as it was and no
 * temporary file stays behind.
 *
 * Ownership: every gl_stats record, gl_sec_stats record and text that an
 * operation returns is new and belongs to the caller: texts and single
 * section records are released with free, a gl_stats record with all it
 * holds with _gl_free_stats. A callback only borrows the record it is given.
 * No state is kept between calls.
 */
#ifndef SITEKIT_STATFILE_H
#define SITEKIT_STATFILE_H

#include <stdint.h>

#include "strlist.h"
#include "tokenizer.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Keywords of the statistics lines, 20 bytes each, ended by an empty entry. */
extern const char STAT_LINES[][20];

/* One section of a statistics line. */
typedef struct gl_sec_stats {
    int32_t section;           /* 0 for the first triple on the line, 1 for the next, ... */
    int64_t files;             /* first number of the triple */
    int64_t kbytes;            /* second number of the triple */
    int64_t seconds;           /* third number of the triple */
    struct gl_sec_stats *next; /* the next lower section; NULL after section 0 */
} gl_sec_stats;

/* One parsed statistics line; owns its texts and section records. */
typedef struct gl_stats {
    char *user;             /* copy of the caller's user name, or NULL */
    char *keyword;          /* the line's first token as written (case kept) */
    gl_sec_stats *sections; /* highest section first, down to section 0 */
} gl_stats;

/* A tool's callback; it sees a line's old values just before a reset. */
typedef void (*gl_stats_callback)(gl_stats *stats);

/* ---- Line recognition, parsing and rebuilding ---- */

/*
 * 1 when line begins with one of the STAT_LINES keywords, compared without
 * regard to case over the keyword's length (so "ALLUPX" counts too); else 0.
 */
int _statfile_is_stat(const char *line);

/* 1 when the first 8 characters of line are "CREDITS " in any case; else 0. */
int _statfile_is_credit(const char *line);

/*
 * Parses a statistics line. Returns a new record (release it with
 * _gl_free_stats), or NULL when the line holds fewer than a keyword and one
 * whole triple, when a number lies outside the signed 64-bit range (such a
 * line is left to be written back as read), or when memory runs out.
 * Numbers of an incomplete last triple are ignored.
 */
gl_stats *_gl_parse_stats(const char *line, const char *user);

/*
 * Reads the next triple from the tokenizer into a new section record
 * numbered *counter, and adds 1 to *counter. Empty tokens are skipped.
 * NULL when fewer than three numbers are left, when one of them lies outside
 * the 64-bit range, or when memory runs out. Release the record with free.
 */
gl_sec_stats *_gl_parse_sec_stats(st_state *tokenizer, int *counter);

/* The first section record from the head with that number, or NULL. */
gl_sec_stats *_gl_get_sec_stats(gl_stats *stats, int section);

/*
 * A new text of the line: the keyword, then " files kbytes seconds" for
 * section 0, 1, 2, ... up to the first missing number. NULL when memory runs
 * out. Release it with free.
 */
char *_gl_tostring_stats(gl_stats *stats);

/* Releases a record, its texts and all its section records; NULL is allowed. */
void _gl_free_stats(gl_stats *stats);

/* ---- Line editing (each returns a new text, released with free) ---- */

/*
 * The line with files, kbytes and seconds added to the triple of section (a
 * negative value subtracts; sums stop at the 64-bit limits). An unchanged
 * copy when the line cannot be parsed or has no such section. NULL only when
 * memory runs out.
 */
char *_statfile_add_stats(const char *line, const char *user, int files, int64_t kbytes, int seconds,
                          int section);

/*
 * The line with every section set to files, kbytes and seconds. The callback
 * (or none) is called once with the parsed old values first. An unchanged
 * copy when the line cannot be parsed; NULL only when memory runs out.
 */
char *_statfile_reset_stats(const char *line, const char *user, int files, int64_t kbytes, int seconds,
                            gl_stats_callback callback);

/*
 * The credits line with amount added to the value of section (values
 * counted from 0 after the keyword; sums stop at the 64-bit limits). Every
 * other byte of the line is kept. An unchanged copy when the line has no
 * such value or it lies outside the 64-bit range; NULL only when memory runs
 * out.
 */
char *_statfile_add_credits(const char *line, int64_t amount, int section);

/* ---- Userfile operations ---- */

/*
 * Adds files, kbytes and seconds to section stat_section of every statistics
 * line, and credits to section credit_section of every credits line, of the
 * userfile at path. A negative section leaves those lines alone. Returns the
 * number of lines handled (counted even when a line lacks the section), or -1
 * when the userfile cannot be read or locked, or the new copy cannot be
 * created, written, flushed to disk or renamed; after -1 the userfile is
 * unchanged.
 */
int statfile_add_stats(const char *path, int files, int64_t kbytes, int seconds, int64_t credits,
                       int stat_section, int credit_section);

/*
 * Resets every section of each line whose first word (the text before its
 * first space, at most 99 characters) is found in keywords with str_search
 * to files, kbytes and seconds, calling callback (or none) with each line's
 * old values. The user name handed on is the part of path after its last
 * "/". Returns the number of such lines (those that cannot be parsed are
 * written back unchanged but counted), or -1 as statfile_add_stats.
 */
int statfile_set_stats(const char *path, int files, int64_t kbytes, int seconds, const str_list *keywords,
                       gl_stats_callback callback);

/*
 * The ratio of section (from 0) from the first "RATIO " line (any case) of
 * the userfile. -1 when the file cannot be read, has no ratio line or the
 * line has no value for that section, or section is negative. A value that
 * is no number gives 0; values beyond the int range are clamped.
 */
int statfile_get_ratio(const char *path, int section);

#ifdef __cplusplus
}
#endif

#endif
