// Steps of the sitelogs module that its tests, the updater program and the
// sitekit front reach directly: the daemon paths the module writes, the
// checks its writers make, a reader of the directory log and the directory
// log store that reports a failure instead of ending the process. C++ only;
// not installed.
#ifndef SITEKIT_SITELOGS_INTERNAL_H
#define SITEKIT_SITELOGS_INTERNAL_H

#include <cstdint>
#include <cstdio>
#include <ctime>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <sys/types.h>

#include "internal.h"
#include "sitelogs.h"

namespace sk::sitelogs {

// The daemon's files the writers open, as daemon paths (below the site root).
inline constexpr const char *kDirlog = "/ftp-data/logs/dirlog";
inline constexpr const char *kDupefile = "/ftp-data/logs/dupefile";
inline constexpr const char *kDupelog = "/ftp-data/logs/dupelog";
inline constexpr const char *kSiteLog = "/ftp-data/logs/glftpd.log";
inline constexpr const char *kMsgDir = "/ftp-data/msgs/"; // a recipient's name follows

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

// The directory log open and locked (flock, exclusive). The lock is taken on
// the file that is at the log's path once it is had: a rebuild renames a new
// log over the old one while holding the old one's lock, and a writer that
// waited for that lock would otherwise write into a file nobody reads again.
class locked_dirlog {
  public:
    // Opens the log with flags (O_RDONLY or O_RDWR) and locks it; false with
    // why filled in (step open) when it cannot be opened or locked.
    bool open(int flags, dirlog_failure &why);
    int fd() const noexcept { return file_.fd.get(); }
    // The status of the locked file (owner, mode, size).
    const struct stat &status() const noexcept { return file_.st; }
    // Unlocks and closes; false with errno set when the close fails.
    bool close() noexcept;

  private:
    regular_file file_;
    std::optional<flock_guard> lock_;
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

// Sets the settings the configuration names (load_sysconfig once the file
// is read); a setting it does not name keeps its value.
void apply_config(const daemon_config &config) noexcept;

// Whether gl_site_msg takes to as a recipient: one plain file name inside
// the message folder (not empty, ".", "..", holding "/" or 256 bytes or
// longer).
bool is_message_name(std::string_view to) noexcept;

// Whether gl_gllog_announce takes the announcement: the line it logs
// (event, ": " and text, in double quotes unless text begins with one) fits
// 1023 characters.
bool announcement_fits(std::string_view event, std::string_view text) noexcept;

// How a walk over the directory log ended.
struct dirlog_walk {
    bool read_failed = false; // a read failed; errno holds the system's reason
    std::size_t partial = 0;  // bytes of an incomplete record at the end, left out
};

// Reads the directory log open at fd from its current offset to its end,
// handing each whole record to each in the order of the file. A trailing
// incomplete record is not handed out; its length is reported.
dirlog_walk read_dirlog(int fd, const std::function<void(const dirlog_record &)> &each);

// The directory log as read at one moment, without its lock: what a rebuild
// or a clean starts from, and what tells, at its end, which records others
// changed meanwhile. A record torn by a writer at that moment only shows as
// changed meanwhile and is taken again from the log at the end.
struct dirlog_snapshot {
    std::vector<dirlog_record> records;
    std::size_t partial = 0; // bytes of an incomplete record at the end, left out
};

// Reads the whole directory log into snapshot; false with why filled in.
bool read_dirlog_snapshot(dirlog_snapshot &snapshot, dirlog_failure &why);

// Keeps a second rebuild or clean of the directory log from running while
// one runs: a lock (flock) on the folder that holds the log, which neither
// the daemon nor the updaters take, so they keep working meanwhile.
class dirlog_maintenance {
  public:
    // Takes the lock without waiting; false with errno set (EWOULDBLOCK when
    // another process holds it).
    bool acquire() noexcept;
    // The folder that is locked.
    const std::string &folder() const noexcept { return folder_; }

  private:
    unique_fd dir_;
    std::string folder_;
};

// What replace_dirlog took from the log as others changed it meanwhile.
struct dirlog_merge {
    std::size_t changed = 0; // records written over (or added) since the snapshot
    std::size_t removed = 0; // records taken out since the snapshot
    std::size_t partial = 0; // bytes of an incomplete record at the end of the log, left out
};

// Writes records as the new directory log in place of the old one. Under
// the log's lock, the changes others made since before was read are merged
// in first: a record added or written over meanwhile replaces the record of
// its name in records (or is appended), a record removed meanwhile goes.
// The new log is a file without a name until it is complete and takes the
// old one's owner and mode; readers see the old log or the new one, never
// a part, and a failure (or the end of the process) at any step leaves the
// old log as it was. The daemon writes without the lock: a record it put
// into the old file between the merge and the replacement is stored into
// the new log afterwards (as try_store_dirlog does). records receives what
// was written. False with why filled in.
bool replace_dirlog(const dirlog_snapshot &before, std::vector<dirlog_record> &records, dirlog_merge &merged,
                    dirlog_failure &why);

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
