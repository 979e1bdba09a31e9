/*
 * uploadcheck: the upload check of the daemon's hook, in one call.
 *
 * upload_check picks the check hooks for an uploaded file by its extension
 * (letter case does not count) and runs them in this order:
 *   ".sfv"  sfv_check (sfvcheck.h), and nothing else;
 *   any other file first sfv_file_check (sfvcheck.h): its CRC against the
 *           release's SFV ("crc" of the table is the daemon's CRC
 *           argument, if any); then by extension:
 *   ".zip"  zip_dupe, then zip_check (arccheck.h);
 *   ".nfo"  nfo_dupe, only when the table sets "nfo_unwanteddir" (without
 *           that folder there is nothing to compare against), then
 *           nfo_check (infocheck.h);
 *   any other file is accepted as it is once sfv_file_check passed.
 * The first hook that refuses ends the check; once all accepted,
 * sfv_accepted brings the release's markers and tag up to date. This is what `sitekit check`
 * runs, so a tool that fills the table the same way gets the same result.
 *
 * Calling order: set the site root (siteroot.h) when the daemon's tree lies
 * below one, fill a property table with the check's settings and "user"
 * (the uploading user), then call upload_check once per upload. The caller
 * owns the table; the hooks may leave results in it ("error_msg", the
 * tmp_zip_last_file family of keys).
 */
#ifndef SITEKIT_UPLOADCHECK_H
#define SITEKIT_UPLOADCHECK_H

#include "proptable.h"

#ifdef __cplusplus
extern "C" {
#endif

/*
 * Checks the upload file, whose release directory is dir; a file without a
 * "/" lies in dir (trailing slashes of dir are dropped). Sets "path" to the
 * upload's path. The settings that name files or folders ("zip_unwanteddir",
 * "nfo_cleanlist", "nfo_prepend", "nfo_append", "nfo_unwanteddir") are
 * daemon paths: an absolute one is taken below the site root for the
 * hooks, and the table holds the caller's value again on return.
 *
 * Returns 1 when the upload is accepted; 0 when it is refused, or when
 * table, file or dir is NULL or memory runs out (nothing printed then). A
 * refusal prints one line on standard output, where the daemon shows it to
 * the uploader: the reason the hook left under "error_msg"; without one,
 * and when the site set no "check_errormsg" (so the hook printed nothing),
 * a plain reason naming the file.
 */
int upload_check(ht_table *table, const char *file, const char *dir);

#ifdef __cplusplus
}
#endif

#endif
