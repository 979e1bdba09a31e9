/*
 * sitelogs: the daemon's site logs and the directory-log updater's services.
 *
 * Reads the two settings the site tools take from the daemon's configuration
 * file (root path and data path), keeps a list of directory names to skip,
 * measures a directory tree, and writes the daemon's logs: the binary
 * directory log and dupe file, the dupe log, the text site log and the
 * per-user message files. Every daemon path ("/ftp-data/...") is opened below
 * the site root of siteroot.h.
 *
 * Calling order of the directory-log updater: load_sysconfig, add_ignore for
 * each name to skip, get_dir_size, then gl_dirlog_add, which builds the
 * record and stores it as update_log does (update_log itself takes a record
 * the caller built). The other writers stand alone: each opens its file,
 * writes one record, line or message, and closes it again. A daemon file
 * that is not a regular file (a FIFO, a device) is refused as one that
 * cannot be opened, without waiting on it; when a writer returns 0 for a
 * failed open, write or close, errno holds the system's reason.
 *
 * Ownership: the caller owns every text it passes; the ignore list stores the
 * caller's pointers without copying them, and its nodes live until the
 * process ends. The settings and the ignore list are process-wide and
 * unguarded: use the module from one thread only.
 */
#ifndef SITEKIT_SITELOGS_H
#define SITEKIT_SITELOGS_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One 288-byte record of the directory log, as the daemon stores it. */
typedef struct dirlog_record {
    uint16_t status;    /* state of the directory; 0 from this module */
    uint16_t reserved1; /* zero */
    int32_t time;       /* seconds since 1970-01-01 UTC, low 32 bits */
    uint16_t user_id;   /* uploader's numeric user id, low 16 bits */
    uint16_t group_id;  /* numeric group id, low 16 bits */
    uint16_t files;     /* number of files, low 16 bits */
    uint16_t reserved2; /* zero */
    uint64_t bytes;     /* total size of those files */
    char dirname[255];  /* path below the root path, NUL-terminated inside the field, rest zero */
    char reserved3[9];  /* zero */
} dirlog_record;

/* One 288-byte record of the dupe file, as the daemon stores it. */
typedef struct dupefile_record {
    char filename[256]; /* uploaded file's name, NUL-terminated inside the field, rest zero */
    int32_t time;       /* seconds since 1970-01-01 UTC, low 32 bits */
    char uploader[28];  /* uploader's user name, NUL-terminated inside the field, rest zero */
} dupefile_record;

/* A node of the ignore list. */
typedef struct ignore_node {
    const char *item;         /* the caller's text, not copied */
    struct ignore_node *next; /* NULL at the tail */
} ignore_node;

/* Head of the ignore list, NULL while it is empty; walk it, do not free it. */
extern ignore_node *START;

/*
 * Reads the settings "rootpath" and "datapath" (keys in any letter case,
 * "#" starts a comment) from the configuration file at path, used as given;
 * a setting the file does not name keeps its value. When the file cannot be
 * opened or is not a regular file (a FIFO is refused, not waited on), or
 * path is NULL or 4096 characters or longer, it prints "Bad or missing
 * config file (<path>), using defaults" on standard error and sets the data
 * path to "ftp-data"; the root path keeps its value.
 */
void load_sysconfig(const char *path);

/*
 * Drops leading and trailing white space and turns every inner run of white
 * space into one space, in place. Returns str (NULL for NULL).
 */
char *trim(char *str);

/*
 * Appends item (stored by pointer) to the list at START. When memory runs
 * out it prints a message on standard error and ends the process with
 * status 1.
 */
void add_ignore(const char *item);

/*
 * Adds the number and total size of the regular files below dir to *files
 * and *bytes, following symbolic links, leaving out "file_id.diz" (any case),
 * ".message" and names ending in ".nfo" (any case), whatever they are. Each
 * directory is entered once (by device and inode), so link cycles end.
 * Directories that cannot be opened and entries whose status cannot be read
 * add nothing. The counters are added to, never reset.
 */
void get_dir_size(const char *dir, int32_t *files, uint64_t *bytes);

/*
 * Removes the root path from the front of the record's dirname (only when
 * the name begins with it, and never when the root path is "/"), then
 * writes the record over the first record of "/ftp-data/logs/dirlog" with an
 * equal name, or appends it; the log is locked (flock) from the search to
 * the write. Ends the process with status 1 and a message on standard output
 * when the log cannot be opened (it is never created; one that is not a
 * regular file is refused, not waited on), read, written or closed, or when
 * dirname has no terminator inside its field. An append that fails is cut
 * off again, so the log never ends in a part of this record.
 */
void update_log(dirlog_record record);

/* Prints the updater's banner and usage text on standard output and ends the process with status 0. */
#if defined(__GNUC__)
__attribute__((noreturn))
#endif
void usage(void);

/*
 * Builds a directory record (status 0, the current time, the name with the
 * root path removed from its front as update_log removes it) and stores it
 * in the directory log as update_log does. Returns 1 when it was written; 0
 * when dir is NULL or its name after root path removal does not fit the
 * 255-byte field (nothing is written). Ends the process as update_log does.
 */
int gl_dirlog_add(const char *dir, uint32_t user_id, uint32_t group_id, uint32_t files, uint64_t bytes);

/* The same as gl_dirlog_add; the last argument does not change the record. */
int gl_dirlog_update(const char *dir, uint32_t user_id, uint32_t group_id, uint32_t files, uint64_t bytes,
                     int32_t unused);

/*
 * Appends a dupe file record to "/ftp-data/logs/dupefile" (created when
 * missing). Returns 1 when written; 0 when a text is NULL or too long for its
 * field (filename 256 bytes or more, uploader 28 or more), or the file cannot
 * be opened, written or closed.
 */
int gl_dupefile_add(const char *filename, const char *uploader);

/*
 * Appends "<MMDDYY> <name>" and a newline to "/ftp-data/logs/dupelog"
 * (created when missing); YY is the ISO 8601 week-based year of the local
 * date. Returns 1 when written; 0 when name is NULL, the local time cannot be
 * had, or the file cannot be opened, written or closed.
 */
int gl_dupelog_add(const char *name);

/*
 * Appends "<local time> <text>" and a newline to the log at path (an
 * absolute path is taken below the site root; the file is created when
 * missing, its folder is not). The time reads like "Mon Dec 07 09:05:07
 * 2026". Returns 1 when written; 0 when an argument is NULL, the local time
 * cannot be had, or the file cannot be opened, written or closed.
 */
int gl_gllog_add_alt(const char *text, const char *path);

/* gl_gllog_add_alt on "/ftp-data/logs/glftpd.log". */
int gl_gllog_add(const char *text);

/*
 * Logs `event: text` when text begins with a double quote, else
 * `event: "text"`, with gl_gllog_add, and returns its result. Returns 0
 * without writing when an argument is NULL or the line would not fit 1023
 * characters.
 */
int gl_gllog_announce(const char *event, const char *text);

/*
 * Appends "From: <from> (<ctime text>)", 74 hyphens and the text, nothing
 * more, to "/ftp-data/msgs/<to>" (created when missing; the folder is not).
 * Returns 1 when written; 0 when an argument is NULL, to is not a plain file
 * name (empty, ".", "..", holding "/", or 256 bytes or longer), or the file
 * cannot be opened, written or closed.
 */
int gl_site_msg(const char *from, const char *to, const char *text);

#ifdef __cplusplus
}
#endif

#endif
