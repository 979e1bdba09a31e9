// Steps of the sitelogs module that its tests and the updater program reach
// directly. C++ only; not installed.
#ifndef SITEKIT_SITELOGS_INTERNAL_H
#define SITEKIT_SITELOGS_INTERNAL_H

#include <ctime>
#include <string>
#include <string_view>

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

// The dupe log date ("%m%d%g") and the site log time ("%a %b %d %T %Y") of
// a moment in local time; empty when the local time cannot be had.
std::string dupelog_date(std::time_t when);
std::string gllog_time(std::time_t when);

// Appends bytes to the file at path (opened as given, created with mode
// 0666 less the umask when missing) with one write. False when the file
// cannot be opened, or the write or the close fails.
bool append_to_file(const std::string &path, std::string_view bytes) noexcept;

} // namespace sk::sitelogs

#endif
