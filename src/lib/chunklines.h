/*
 * chunklines: the line reader buffer.
 *
 * Collects text that arrives in pieces of any size and hands out complete
 * lines as soon as they are there. Lines end at LF, CR or CR LF, as with the
 * line file reader. A NUL byte is the end marker: lrb_add_eof appends one at
 * the end of the input, after which the last unterminated line is handed out
 * and the buffer reports the end. A NUL arriving inside the data acts as the
 * end marker too; nothing after it is ever delivered.
 *
 * Calling order: lrb_initialize; any mix of lrb_add_data and lrb_getline;
 * lrb_add_eof once; lrb_getline until it returns -2; lrb_finalize.
 * The caller owns the lrb_buffer record; the buffer owns its block.
 */
#ifndef SITEKIT_CHUNKLINES_H
#define SITEKIT_CHUNKLINES_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct lrb_buffer {
    char *data;     /* bytes received and not yet handed out; NULL when empty */
    int32_t length; /* bytes in data; 0 when empty */
} lrb_buffer;

/* Sets the buffer empty (no block). Call it before any other operation. */
void lrb_initialize(lrb_buffer *buffer);

/*
 * Appends count bytes. Returns 0. When the bytes cannot be taken (a count
 * below 0, a total past 2^31 - 1 bytes, or no memory) the buffer is left as
 * it was and the result is -1.
 */
int lrb_add_data(lrb_buffer *buffer, const char *bytes, int count);

/* Appends the end marker (one NUL byte). Returns 0, or -1 as lrb_add_data. */
int lrb_add_eof(lrb_buffer *buffer);

/*
 * Moves the first complete line into dest, cut to max_len characters and
 * NUL-terminated (dest must hold max_len + 1 bytes; below 0 counts as 0).
 * Returns the length stored, -1 when no complete line is buffered (append
 * more data and ask again), or -2 once the end marker has been reached,
 * and on every call after that.
 */
int lrb_getline(lrb_buffer *buffer, char *dest, int max_len);

/* Releases the block; the buffer is empty again. */
void lrb_finalize(lrb_buffer *buffer);

#ifdef __cplusplus
}
#endif

#endif
