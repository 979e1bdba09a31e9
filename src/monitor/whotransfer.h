/*
 * whotransfer: what transfer, if any, a slot of the online-user table is
 * running, the file it moves and how fast.
 *
 * The daemon writes the command a user is executing into status_text. A
 * transfer is running when that text is an upload command ("STOR" or "APPE")
 * or a download command ("RETR"), in either case, followed by one or more
 * spaces and the file name. The speed comes from transfer_bytes and the time
 * since the transfer began, which the daemon keeps in transfer_start_sec and
 * transfer_start_usec (offsets 872 and 876: signed 32-bit seconds since the
 * epoch and microseconds, in host byte order; the 4 bytes at 880 are not
 * read). The functions only read the record they are given; nothing is
 * allocated.
 */
#ifndef SITEKIT_WHOTRANSFER_H
#define SITEKIT_WHOTRANSFER_H

#include <stdint.h>

#include "whorecord.h"

#ifdef __cplusplus
extern "C" {
#endif

#define WHO_TRANSFER_NONE 0
#define WHO_TRANSFER_UPLOAD 1
#define WHO_TRANSFER_DOWNLOAD 2

/* The direction of the slot's running transfer: 1 upload, 2 download, 0 when
 * the slot is empty or its status text is not a transfer command with a file
 * name. */
int32_t who_transfer_direction(const who_record *who);

/* Writes the path of the file in transfer into out (300 bytes): the name as
 * the command gives it when it is absolute, else current_dir, '/', the name.
 * A longer path is cut to 299 bytes. Returns 1, or 0 (out empty) when no
 * transfer runs. */
int32_t who_transfer_file(const who_record *who, char *out);

/* The transfer's average speed so far in kilobytes (1024 bytes) per second:
 * transfer_bytes over the time since the transfer began, counted as at least
 * one second. 0.0 when no transfer runs or its start time is not set. */
double who_transfer_speed(const who_record *who);

#ifdef __cplusplus
}
#endif

#endif
