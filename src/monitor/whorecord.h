/*
 * whorecord: one slot of the daemon's online-user table, in the daemon's
 * own memory layout (904 bytes, 4-byte aligned).
 *
 * The table is a System V shared memory segment that the daemon's processes
 * fill, one record per slot; a slot whose pid is 0 is empty. Readers map the
 * segment and point at the records where they stand; nothing here allocates.
 * The 64-bit byte count lies at offset 884, a multiple of 4 only, so the
 * record is packed with 4-byte alignment; read its fields by value, never
 * through a pointer to a field.
 *
 * The fields named "unread" are not used by any reader in this toolkit. The
 * three transfer_start fields are read by the who-transfer component only
 * (whotransfer.h describes what it assumes they hold).
 */
#ifndef SITEKIT_WHORECORD_H
#define SITEKIT_WHORECORD_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

typedef struct __attribute__((packed, aligned(4))) who_record {
    char user_info[64];    /* tagline, NUL-terminated inside the field */
    char user_name[24];    /* NUL-terminated inside the field */
    char status_text[256]; /* last command, e.g. "STOR name", NUL-terminated */
    unsigned char unread_344[2];
    char host[256];        /* NUL-terminated inside the field */
    char current_dir[256]; /* path below the site root, NUL-terminated */
    unsigned char unread_858[2];
    int32_t group_id;
    int32_t online_since;        /* seconds since the epoch */
    int32_t status_time;         /* seconds since the epoch of the last command */
    int32_t transfer_start_sec;  /* seconds since the epoch the transfer began; 0 none */
    int32_t transfer_start_usec; /* microseconds to add to transfer_start_sec */
    uint32_t transfer_unread_880;
    uint64_t transfer_bytes; /* bytes moved by the running transfer */
    unsigned char unread_892[8];
    int32_t pid; /* process serving the slot; 0 marks an empty slot */
} who_record;

#define WHO_RECORD_SIZE 904

#ifdef __cplusplus
}
#endif

#endif
