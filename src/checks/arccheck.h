/*
 * arccheck: the ZIP check of an upload.
 *
 * The site tool puts the settings of a check into a property table ("path",
 * the uploaded archive, and the zip_* settings) and calls zip_check with it
 * and the release directory. zip_check creates the temporary archive (the
 * upload's path followed by "-processing"), runs zip_test_and_extract, which
 * reads every entry to its end (its CRC checked), copies the entries that
 * stay into the temporary archive, leaves out the unwanted ones and extracts
 * the chosen ones into the release directory; zip_put_ads then adds the
 * advertisement entry and the archive comment, and the rebuilt archive is
 * renamed over the upload. On any failure the temporary archive is deleted
 * and the upload stays exactly as it was.
 *
 * Every entry tested must give exactly its declared uncompressed size (the
 * Zip64 sizes where the 32-bit fields hold markers) with its declared
 * CRC-32, computed by the check; it may never give more. Two limits bound
 * what an upload makes the check write, both decimal settings where 0 turns
 * the limit off: "zip_extract_max" (default 1048576 bytes) for each
 * extracted file, decided on the declared size before anything is written;
 * "zip_ratio_max" (default 200) for the whole archive, decided on the
 * declared sizes before any entry is read: the entries to test may unpack
 * to no more than that many times their packed size (counted as at most
 * the upload's size, so that entries sharing their data gain nothing),
 * except in all to 1 MiB. A setting that is not a number fails the check.
 * Only stored and deflated entries are supported.
 *
 * The rebuilt archive and each extracted file are written into files
 * without a name (O_TMPFILE) and named only when complete and verified, so
 * that a check killed at any moment leaves only the upload (old or rebuilt)
 * and finished extracted files. The rebuilt archive is linked as the
 * "-processing" name and renamed over the upload, with the upload's owner
 * (when the check may give files away), group and mode; a regular
 * "-processing" file found at the start (a check killed between the two
 * steps) is removed, which is said on standard error. Where the file system
 * or a chroot without /proc cannot name such files, both are written under
 * their names at once and removed on failure.
 *
 * Copied entries keep their names, dates and methods (stored or deflated,
 * deflated ones compressed again at the default level); they lose their file
 * attributes, extra fields and comments. Extracted files are created under
 * their lower-cased base names directly in the release directory, never
 * over anything that exists there and never through a symbolic link.
 *
 * Per-entry results go into the table under tmp_zip_last_file, _size,
 * _zsize, _method and _status (the last entry's values stay). Messages go to
 * standard output through error_printf and msg_printf (textfill.h), which
 * also describes the %{NAME} variables of "zip_showfile", "zip_ad" and
 * "zip_adcomment". The caller owns the table and every text returned as new
 * (released with free). Checks run one at a time per upload.
 */
#ifndef SITEKIT_ARCCHECK_H
#define SITEKIT_ARCCHECK_H

#include <unzip.h>
#include <zip.h>

#include "proptable.h"
#include "tokenizer.h"

#ifdef __cplusplus
extern "C" {
#endif

#define ZIP_NAME_SIZE 256     /* bytes of the entry name field: names of up to 255 bytes */
#define ZIP_COPY_BUFFER 65536 /* bytes copied per read */
#define ZIP_TEMP_SUFFIX "-processing"

/* Status words of an entry. */
#define ZIP_STATUS_TESTED "Tested"
#define ZIP_STATUS_DELETED "Deleted"
#define ZIP_STATUS_UNPACKED "Unpacked"
#define ZIP_STATUS_EXISTS "Exists"

/* Refuses nothing: always 1. */
int zip_dupe(ht_table *table, const char *file, const char *dir);

/*
 * Tests the archive at path and copies every entry that stays into zip (the
 * open temporary archive), extracting the entries that match "zip_extract"
 * ("|"-separated fnmatch patterns, matched against the lower-cased base
 * name) into dir, and printing "zip_showfile" per entry. Returns 1 when
 * every entry passed; 0 after printing the failed step through
 * "check_errormsg" (a damaged entry, a short entry or a CRC mismatch, an
 * unsupported method, an entry name of ZIP_NAME_SIZE bytes or more, a limit
 * passed, a failed write of an extracted file included). zip stays open in
 * both cases.
 */
int zip_test_and_extract(ht_table *table, const char *path, const char *dir, zipFile zip);

/*
 * 1 when something exists at "zip_unwanteddir", "/" and the lower-cased
 * entry name (folder part included); 0 otherwise or when it is absent.
 */
int zip_is_propaganda(ht_table *table, const char *name);

/*
 * The lower-cased base name of the entry name (a new text), when it matches
 * one of the patterns of the tokenizer; NULL otherwise or for NULL
 * arguments.
 */
char *zip_must_extract(const char *name, st_state *patterns);

/*
 * Copies the entry's date into zi, sets its DOS date and attributes to 0,
 * and returns the entry's compression method (0 stored, 8 deflated).
 */
int zip_convert_fi_to_zi(const unz_file_info *fi, zip_fileinfo *zi);

/*
 * Puts the entry's name, sizes in KiB ("%.1f"), method ("m8") and status
 * into the table under the tmp_zip_last_* keys. The sizes are taken as they
 * stand in fi: for a Zip64 entry the caller puts the 64-bit sizes there
 * (the library leaves the markers 0xFFFFFFFF).
 */
void zip_make_last_zf_vars(ht_table *table, const unz_file_info *fi, const char *name, const char *status);

/*
 * Runs the whole check of the upload at "path" (see above); dir is the
 * release directory. Returns 1 when the upload was tested and replaced by
 * the rebuilt archive (then prints "zip_success" with "Checking zip-file"
 * and "Done"). Returns 0 when "path" is absent, the temporary archive cannot
 * be created, the test fails, the ad cannot be added, or the rebuilt
 * archive cannot be put in place; the upload is then unchanged and no
 * temporary archive is left.
 */
int zip_check(ht_table *table, const char *file, const char *dir, const char *unused);

/*
 * Adds the advertisement entry ("zip_adfilename" with "#", "@" and "%"
 * replaced by "1", "a" and "0" in the stored setting; text "zip_ad") and
 * the comment "zip_adcomment" (cut to 65535 bytes), both with variables
 * filled from the table, and closes zip in every case. Nothing is added
 * when "zip_adfilename" or "zip_ad" is absent. Returns 1 when all was
 * added and the archive closed, 0 otherwise.
 */
int zip_put_ads(ht_table *table, zipFile zip);

/* Sets zi to the current local time, DOS date and attributes 0. */
void zip_fill_zi(zip_fileinfo *zi);

#ifdef __cplusplus
}
#endif

#endif
