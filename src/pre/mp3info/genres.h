/*
 * The ID3v1 genre names shared by the ID3 genre tools: genre_s[n] is the
 * name of genre number n, for n below genre_count. The last entry,
 * "Unknown", is the fallback that a lookup gives for numbers it does not
 * know. The table is compiled into each tool; it is not a library.
 */
#ifndef SITEKIT_ID3_GENRES_H
#define SITEKIT_ID3_GENRES_H

#ifdef __cplusplus
extern "C" {
#endif

extern const char *const genre_s[149];
extern const unsigned char genre_count; /* 149 */

#ifdef __cplusplus
}
#endif

#endif
