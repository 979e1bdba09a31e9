// Steps of the sitelogs module that its tests and the updater program reach
// directly. C++ only; not installed.
#ifndef SITEKIT_SITELOGS_INTERNAL_H
#define SITEKIT_SITELOGS_INTERNAL_H

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <string>
#include <string_view>

#include <sys/types.h>

#include "sitelogs.h"

namespace sk::sitelogs {

// The settings load_sysconfig fills.
std::string_view rootpath() noexcept;
std::string_view datapath() noexcept;

// The directory name as update_log stores it: the root path removed from its
// front when the name begins with it (never for the root path "/").
std::string_view remove_rootpath(std::string_view name, std::string_view root) noexcept;

// update_log without the root path removal: searches the directory log for
// the record's dirname (which must be terminated inside its field) and
// writes the record over the first match or at the end. Ends the process
// with status 1 and a message on standard output when the log cannot be
// opened, read, written or closed.
void store_dirlog(const dirlog_record &record);

// Why try_store_dirlog failed: the step, and the system's reason.
struct dirlog_failure {
    enum step_t { none, open, read, write } step = none;
    int error = 0;            // errno; 0 when the log is not a regular file
    bool not_regular = false; // the log is a FIFO, device, socket or directory
    std::string path;         // the log's path below the site root
};

// store_dirlog that reports a failure instead of ending the process: false
// with why filled in. An append that fails is cut off again, so the log
// keeps whole records only.
bool try_store_dirlog(const dirlog_record &record, dirlog_failure &why);

// The record gl_dirlog_add writes for dir (status 0, the current time, the
// root path removed from the name). False when dir is NULL or the name
// does not fit the field.
bool make_dirlog_record(const char *dir, uint32_t user_id, uint32_t group_id, uint32_t files, uint64_t bytes,
                        dirlog_record &record) noexcept;

// load_sysconfig on a file that is already open.
void read_sysconfig(FILE *file) noexcept;

// The dupe log date ("%m%d%g") and the site log time ("%a %b %d %T %Y") of
// a moment in local time; empty when the local time cannot be had.
std::string dupelog_date(std::time_t when);
std::string gllog_time(std::time_t when);

// Takes a failed append that began at start off the end of the file again:
// part of a record would shift every record appended after it, and part of
// a line would run into the next one. Only when the file still ends at the
// descriptor's offset, where the append left it, so that another writer's
// later append is never cut.
void cut_failed_append(int fd, off_t start) noexcept;

// Appends bytes to the file at path (opened as given, created with mode
// 0666 less the umask when missing) with one write. False when the file
// cannot be opened or is not a regular file (a FIFO is not waited on), or
// the write or the close fails; errno then holds the system's reason of a
// failed open, write or close.
bool append_to_file(const std::string &path, std::string_view bytes) noexcept;

} // namespace sk::sitelogs

#endif
