/*
 * release: the release name of a directory on the site.
 *
 * A release is normally one directory; a few usual subfolders (one per CD or
 * disc, the sample, covers, subtitles) belong to the release above them. For
 * a path ending in such a subfolder the release name is the last two
 * components ("Some.Release-GRP/CD1"), for any other path the last one.
 *
 * No set-up is needed and nothing is allocated: the caller passes the path
 * (never changed) and the buffer that receives the name.
 */
#ifndef SITEKIT_RELEASE_H
#define SITEKIT_RELEASE_H

#ifdef __cplusplus
extern "C" {
#endif

#define RELEASE_PATTERN_WIDTH 30 /* bytes of one SUBDIR_PATTERNS record */
#define RELEASE_PATTERN_COUNT 7  /* records, the empty end record included */

/*
 * The wildcard patterns of the release subfolders, in capitals, one per
 * 30-byte record (NUL-terminated, the rest NUL): "CD?", "DISC?", "DISC0?",
 * "SAMPLE", "COVER*", "SUBS", then an empty record that ends the table.
 */
extern const char SUBDIR_PATTERNS[RELEASE_PATTERN_COUNT][RELEASE_PATTERN_WIDTH];

/*
 * 1 when the path component (no "/") matches one of SUBDIR_PATTERNS, letter
 * case folded (cd1 and Sample count); 0 when it matches none or is NULL.
 */
int _release_is_release_subdir(const char *component);

/*
 * Writes the release name of path into dest, which holds len bytes; a name
 * of len or more characters is cut to len - 1 and always terminated (len 0
 * or less writes nothing). Returns 1 when path holds a "/", 0 when it holds
 * none (dest then receives the whole path) or path or dest is NULL.
 */
int release_get_with_subdir(const char *path, char *dest, int len);

#ifdef __cplusplus
}
#endif

#endif
