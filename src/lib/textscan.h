/*
 * textscan: the line file reader.
 *
 * A reader loads a whole text file into one heap block when it is opened and
 * then hands out one line per call, copied into the caller's buffer and cut
 * to a maximum length. Lines end at LF, CR or CR LF; a last line without a
 * line end is handed out like any other.
 *
 * Calling order: lfr_open, lfr_getline until it returns -1, lfr_close.
 * The caller owns the lfr_reader record (usually a local variable); the
 * reader owns the block it points to until lfr_close. The file is closed
 * again before lfr_open returns.
 */
#ifndef SITEKIT_TEXTSCAN_H
#define SITEKIT_TEXTSCAN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct lfr_reader {
    char *data;   /* the file's bytes as stored, no terminator added; NULL while empty */
    int64_t size; /* bytes in data; -1 while the reader holds nothing */
    int64_t pos;  /* offset of the next byte not yet handed out; -1 while unreadable */
} lfr_reader;

/*
 * Reads the whole file at path into the reader. Returns 0 when every byte
 * was read, -1 otherwise: the file cannot be opened, is not a regular file
 * (pipes, devices and directories cannot be sized and are refused), or the
 * block cannot be allocated or filled. After -1 lfr_getline returns -1;
 * lfr_close is harmless in every state.
 */
int lfr_open(lfr_reader *reader, const char *path);

/*
 * Copies the next line into dest, cut to at most max_len characters, and
 * terminates it with a NUL; dest must hold max_len + 1 bytes. A NUL byte
 * inside the line ends the copied text (the rest of the count is filled with
 * NUL bytes) but the result still counts up to the cut. The rest of a line
 * longer than max_len is dropped. A max_len below 0 counts as 0.
 * Returns the number of characters stored (0 for an empty line), or -1 when
 * no line is left.
 */
int lfr_getline(lfr_reader *reader, char *dest, int max_len);

/* Releases the block and empties the reader. Always returns 0. */
int lfr_close(lfr_reader *reader);

#ifdef __cplusplus
}
#endif

#endif
