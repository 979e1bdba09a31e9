/*
 * siteroot: where the daemon's tree lies.
 *
 * The daemon's files have fixed absolute paths ("/ftp-data/logs/dirlog",
 * "/etc/passwd", ...) as seen from inside its chroot. Tools that run outside
 * the chroot, and tests, set the site root once and every module then opens
 * the root followed by the fixed path. The root is empty by default, so that
 * the paths are used exactly as the daemon sees them.
 */
#ifndef SITEKIT_SITEROOT_H
#define SITEKIT_SITEROOT_H

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Sets the process-wide site root, such as "/glftpd". NULL or "" clears it;
 * trailing slashes are dropped. Returns 0, or -1 when the root is 4096
 * characters or longer, leaving the old root in place.
 */
int sitekit_set_root(const char *root);

/* The current site root, "" when none is set. */
const char *sitekit_get_root(void);

/*
 * A new text (release it with free) holding the site root followed by the
 * absolute daemon path; a relative path is returned unchanged. NULL when
 * memory runs out or path is NULL.
 */
char *sitekit_path(const char *daemon_path);

#ifdef __cplusplus
}
#endif

#endif
