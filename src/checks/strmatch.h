/*
 * strmatch: the wildcard matcher for file names and text lines.
 *
 * A pattern is matched against the whole text: "?" stands for exactly one
 * character and "*" for any run of characters (the empty run included);
 * every other character stands for itself. There are no bracket classes and
 * no escapes, so "[", "]" and "\" are ordinary characters. Both texts belong
 * to the caller and are never changed.
 */
#ifndef SITEKIT_STRMATCH_H
#define SITEKIT_STRMATCH_H

#ifdef __cplusplus
extern "C" {
#endif

/* With this flag letters compare without regard to case (ASCII only). */
#define STRMATCH_FOLDCASE 2

/*
 * Returns 1 when text matches pattern as a whole, 0 when it does not or
 * either text is NULL. flags 0 compares exactly; STRMATCH_FOLDCASE folds
 * letter case; other bits are ignored. The cost is at most the product of
 * the two lengths, whatever the pattern.
 */
int strmatch_filename(const char *pattern, const char *text, int flags);

#ifdef __cplusplus
}
#endif

#endif
