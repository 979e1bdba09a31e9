/*
 * acctdb: a cache of the daemon's passwd and group files, with lookups of
 * users and groups by name and by numeric id.
 *
 * Both files lie in one directory: the site root followed by "/etc" unless a
 * directory is set with pwd_set_etcdir, which is used exactly as given. A
 * passwd line has seven fields separated by ":" (name, password, uid, gid,
 * comment, home, shell); a group line has at least three (name, password,
 * gid, members). Lines with another number of fields, with an id outside
 * the int range, or with a field longer than its slot below are skipped, so
 * a record always holds its line's fields whole. Ids that are no number read
 * as 0. When two lines carry the same name or id, the later line is found.
 * Lookups in a loaded cache take the same time at any size: both files are
 * indexed by name and by id as they are loaded.
 *
 * The passwd file is read again whenever it changed since the last load: its
 * modification time (to the nanosecond), size and identity are compared on
 * every lookup, and a file changed within the file system's timestamp
 * granularity of the last load is compared by content until that window has
 * passed. The group file is read by the first group lookup that finds a
 * record in it and never again.
 *
 * Ownership: the cache owns every record; callers read them and must not
 * release or change them. A pwd_user record stays valid until a later
 * passwd lookup finds the file changed; group records live until the
 * process ends. The module state is process-wide and unguarded: one thread.
 */
#ifndef SITEKIT_ACCTDB_H
#define SITEKIT_ACCTDB_H

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* One passwd line. Texts are NUL-terminated inside their fields. */
typedef struct pwd_user {
    char name[30];
    char passwd[30];
    int uid;
    int gid;
    char gecos[50]; /* fifth field */
    char home[300];
    char shell[300];
    struct pwd_user *next; /* the record of an earlier line, or NULL */
} pwd_user;

/* One group line. */
typedef struct pwd_group {
    char name[30];
    char passwd[30];
    int gid;
    char *members;          /* copy of the fourth field; NULL when the line has none */
    struct pwd_group *next; /* the record of an earlier line, or NULL */
} pwd_group;

/* Directory of the passwd and group files; NULL until set or first used. */
extern char *_etcdir;
/* Head of the cached passwd records, the file's last line first; NULL when empty. */
extern pwd_user *pwd_userlist;
/* Modification time (seconds) of the passwd file at the last load; 0 at start. */
extern time_t pwd_lastupdate;
/* Head of the cached group records; NULL until loaded. */
extern pwd_group *pwd_grouplist;

/*
 * Stores a copy of dir (used as given, not joined to the site root) as the
 * directory of the account files, releasing the previous one. NULL goes back
 * to the default, the site root followed by "/etc", taken at the next use.
 * The passwd cache follows at the next lookup; a loaded group cache does not.
 */
void pwd_set_etcdir(const char *dir);

/*
 * The directory in use. On first use without a set directory it becomes the
 * site root followed by "/etc". NULL only when memory runs out.
 */
const char *_pwd_get_etcdir(void);

/* The user whose name equals name exactly (case-sensitive), or NULL. */
pwd_user *pwd_getpwnam(const char *name);

/* The user with that uid, or NULL. */
pwd_user *pwd_getpwuid(int uid);

/* The group whose name equals name exactly, or NULL. */
pwd_group *pwd_getgpnam(const char *name);

/* The group with that gid, or NULL. */
pwd_group *pwd_getgpgid(int gid);

/*
 * Reloads the passwd cache when the file changed, and returns its head. When
 * the file's status cannot be taken the cached records are kept; when the
 * file exists but cannot be read the cache is emptied (NULL) and the next
 * call tries again.
 */
pwd_user *_pwd_reload(void);

/* Head of the group records, loading them while none is cached; NULL when none. */
pwd_group *_pwd_grpreload(void);

/*
 * Releases a chain of pwd_user records. Releasing the cache's own chain
 * (pwd_userlist) empties the cache: set pwd_userlist to NULL afterwards, and
 * the next lookup loads the file again.
 */
void _pwd_finalize(pwd_user *head);

#ifdef __cplusplus
}
#endif

#endif
