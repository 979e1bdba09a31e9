// sitekit dirlog rebuild / clean: the directory log made again from the
// site tree, or rid of the records whose directory is gone. Both build the
// new log from a snapshot of the old one without its lock and put it in
// place with sitelogs::replace_dirlog, which merges in under the lock what
// the daemon and the updaters wrote meanwhile.
#include "commands.h"
#include "dirlog_cmd.h"
#include "release.h"
#include "siteroot.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sk::cli {

namespace {

constexpr std::size_t kNameWidth = sizeof(dirlog_record::dirname);

std::string_view name_of(const dirlog_record &r) {
    return field_view(r.dirname, kNameWidth);
}

// The name a record gives a folder on the command line: as the daemon sees
// it, without the configuration's root path (as make_dirlog_record stores it).
std::string stored_name(const std::string &path) {
    return std::string(sitelogs::remove_rootpath(daemon_view(path), sitelogs::rootpath()));
}

// True when name is folder or lies below it.
bool is_below(std::string_view name, std::string_view folder) {
    if (folder == "/")
        return name.starts_with('/');
    return name.starts_with(folder) && (name.size() == folder.size() || name[folder.size()] == '/');
}

double seconds_now() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// One line on a terminal, drawn again in place (at most ten times a
// second): the folders read while releases are looked for, then releases
// measured of releases found with the rate. Off, it prints nothing.
class Progress {
  public:
    explicit Progress(bool on) : on_(on) {}

    void finding(std::size_t folders, std::size_t found) {
        if (!due(false))
            return;
        char text[128];
        (void)std::snprintf(text, sizeof text, "finding releases: %zu folders read, %zu releases found",
                            folders, found);
        draw(text);
    }
    void measuring(std::size_t done, std::size_t found, bool last = false) {
        if (done == 0)
            started_ = seconds_now();
        if (!due(last))
            return;
        double elapsed = seconds_now() - started_;
        double rate = elapsed > 0 ? static_cast<double>(done) / elapsed : 0;
        int percent = found ? static_cast<int>(done * 100 / found) : 100;
        char text[160];
        (void)std::snprintf(text, sizeof text, "%zu/%zu releases %3d%%  %.0f/s", done, found, percent, rate);
        draw(text);
    }
    // Puts a message on a line of its own, above the progress line.
    void message(const std::string &text) {
        if (on_ && drawn_)
            std::fputs("\r\033[K", stderr);
        std::fprintf(stderr, "%s\n", text.c_str());
        if (on_ && drawn_)
            std::fputs(line_.c_str(), stderr);
    }
    // Leaves the last line as it is and goes to the next one.
    void finish() {
        if (on_ && drawn_)
            std::fputs("\n", stderr);
        drawn_ = false;
    }

  private:
    bool due(bool force) {
        if (!on_)
            return false;
        double now = seconds_now();
        if (!force && now - last_ < 0.1)
            return false;
        last_ = now;
        return true;
    }
    void draw(const char *text) {
        line_ = std::string("\r") + text + "\033[K";
        std::fputs(line_.c_str(), stderr);
        (void)std::fflush(stderr);
        drawn_ = true;
    }
    bool on_;
    bool drawn_ = false;
    double last_ = -1;
    double started_ = 0;
    std::string line_;
};

struct DirKey {
    dev_t dev;
    ino_t ino;
    bool operator==(const DirKey &) const = default;
};
struct DirKeyHash {
    std::size_t operator()(const DirKey &k) const noexcept {
        return std::hash<ino_t>()(k.ino) ^ (std::hash<dev_t>()(k.dev) << 1);
    }
};

struct Release {
    std::string path;
    struct stat st;
};

// Finds the release directories below the section folders. A folder is a
// release when it holds a file (other than the daemon's .message) or a
// release subfolder (CD1, Sample, ...); a release is not searched further,
// since its whole tree is measured as its own. Symbolic links to folders
// are not followed and each folder is entered once (device and inode), so
// link cycles and bind mounts end. One folder is open at a time, whatever
// the depth.
class ReleaseFinder {
  public:
    ReleaseFinder(Progress &progress, const std::string &command) : progress_(progress), command_(command) {}

    // Walks the section folder top (which is never a release itself).
    void walk(const std::string &top) {
        struct stat st {};
        if (::stat(top.c_str(), &st) == 0 && !seen_.insert({st.st_dev, st.st_ino}).second)
            return; // named twice, or below another SITEDIR
        std::vector<std::string> pending{top};
        while (!pending.empty()) {
            std::string path = std::move(pending.back());
            pending.pop_back();
            visit(path, path == top, pending);
        }
    }

    std::vector<Release> releases;
    std::vector<std::string> unreadable; // folders that could not be read

  private:
    void cannot_read(const std::string &path, int error) {
        unreadable.push_back(path);
        progress_.message("sitekit " + command_ + ": cannot read the folder " + path + ": " +
                          std::strerror(error) + "; the records below it are kept as they are");
    }

    void visit(const std::string &path, bool top, std::vector<std::string> &pending) {
        int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | (top ? 0 : O_NOFOLLOW));
        if (fd < 0) {
            if (errno != ENOENT && errno != ELOOP && errno != ENOTDIR) // gone or replaced meanwhile
                cannot_read(path, errno);
            return;
        }
        DIR *raw = fdopendir(fd);
        if (!raw) {
            int error = errno;
            ::close(fd);
            cannot_read(path, error);
            return;
        }
        unique_dir dir(raw);
        bool has_file = false, has_subfolder = false;
        std::vector<std::string> subdirs;
        for (;;) {
            errno = 0;
            const dirent *entry = readdir(raw);
            if (!entry) {
                if (errno != 0) {
                    cannot_read(path, errno);
                    return;
                }
                break;
            }
            std::string_view name = entry->d_name;
            if (name == "." || name == "..")
                continue;
            unsigned char type = entry->d_type;
            struct stat st {};
            if (type == DT_UNKNOWN) {
                if (fstatat(fd, entry->d_name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue;
                type = S_ISDIR(st.st_mode)   ? DT_DIR
                       : S_ISLNK(st.st_mode) ? DT_LNK
                       : S_ISREG(st.st_mode) ? DT_REG
                                             : 0;
            }
            if (type == DT_LNK) // a link to a file is a file; one to a folder is left alone
                type = fstatat(fd, entry->d_name, &st, 0) == 0 && S_ISREG(st.st_mode) ? DT_REG : 0;
            if (type == DT_DIR) {
                subdirs.emplace_back(name);
                if (!top && _release_is_release_subdir(entry->d_name))
                    has_subfolder = true;
            } else if (type == DT_REG && name != ".message") {
                has_file = true;
                if (!top) // a release: the rest is read when it is measured
                    break;
            }
        }
        ++folders_;
        if (!top && (has_file || has_subfolder)) {
            Release r{path, {}};
            if (fstat(fd, &r.st) == 0)
                releases.push_back(std::move(r));
            progress_.finding(folders_, releases.size());
            return;
        }
        progress_.finding(folders_, releases.size());
        // Deepest first, in name order; each below-folder is entered once.
        std::sort(subdirs.begin(), subdirs.end(), std::greater<>());
        for (const std::string &name : subdirs) {
            struct stat st {};
            if (fstatat(fd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(st.st_mode) ||
                !seen_.insert({st.st_dev, st.st_ino}).second)
                continue;
            pending.push_back(path == "/" ? "/" + name : path + "/" + name);
        }
    }

    Progress &progress_;
    std::string command_;
    std::unordered_set<DirKey, DirKeyHash> seen_;
    std::size_t folders_ = 0;
};

// Takes the lock that lets one rebuild or clean run at a time; the exit
// status when it cannot be had.
std::optional<int> take_turn(Invocation &inv, sitelogs::dirlog_maintenance &turn) {
    if (turn.acquire())
        return std::nullopt;
    if (errno == EWOULDBLOCK)
        return fail(inv, kRefused,
                    "another dirlog rebuild or clean is running (it holds the lock of " + turn.folder() +
                        "); nothing written, run this one again once it has ended");
    return fail(inv, kRefused, "cannot lock the folder " + turn.folder() + ": " + std::strerror(errno));
}

// The directories named on the command line, absolute; the exit status
// when one is no directory.
std::optional<int> section_folders(Invocation &inv, const Parsed &p, std::vector<std::string> &out) {
    for (std::size_t i = 1; i < p.operands.size(); ++i) {
        std::string dir = absolute(p.operands[i]);
        while (dir.size() > 1 && dir.back() == '/')
            dir.pop_back();
        struct stat st {};
        if (::stat(dir.c_str(), &st) != 0)
            return usage_error(inv, dir + ": " + std::strerror(errno) + "; name the site's section folders",
                               kDirlogUsage);
        if (!S_ISDIR(st.st_mode))
            return usage_error(inv, dir + " is not a directory", kDirlogUsage);
        out.push_back(dir);
    }
    return std::nullopt;
}

// The start of a rebuild or clean: its turn (unless it only shows what it
// would write) and the log as it is now; a status when either fails.
std::optional<int> begin_maintenance(Invocation &inv, bool dry_run, sitelogs::dirlog_maintenance &turn,
                                     sitelogs::dirlog_snapshot &old) {
    if (!dry_run)
        if (auto status = take_turn(inv, turn))
            return status;
    if (sitelogs::dirlog_failure why; !sitelogs::read_dirlog_snapshot(old, why))
        return fail(inv, kRefused, dirlog_failure_message(why));
    return std::nullopt;
}

} // namespace

int dirlog_rebuild(Invocation &inv, const Parsed &p) {
    if (!want_operands(p, inv, 2, SIZE_MAX, kDirlogUsage))
        return kUsage;
    std::vector<std::string> sections;
    if (auto status = section_folders(inv, p, sections))
        return *status;
    if (auto status = load_dirlog_config(inv, p))
        return *status;
    bool dry_run = p.has("--dry-run");
    sitelogs::dirlog_maintenance turn;
    sitelogs::dirlog_snapshot old;
    if (auto status = begin_maintenance(inv, dry_run, turn, old))
        return *status;

    Progress progress(!p.has("--quiet") && isatty(STDERR_FILENO));
    ReleaseFinder finder(progress, inv.name);
    for (const std::string &dir : sections)
        finder.walk(dir);
    bool problems = !finder.unreadable.empty();

    // The old records by name (the first of each name, the one updates change).
    std::unordered_map<std::string_view, const dirlog_record *> by_name;
    for (const dirlog_record &r : old.records)
        by_name.emplace(name_of(r), &r);

    std::vector<dirlog_record> records;
    records.reserve(finder.releases.size() + old.records.size());
    std::size_t fresh = 0, done = 0;
    std::unordered_set<std::string> found_names;
    for (const Release &release : finder.releases) {
        progress.measuring(done++, finder.releases.size());
        int32_t files = 0;
        uint64_t bytes = 0;
        get_dir_size(release.path.c_str(), &files, &bytes);
        std::string name = daemon_view(release.path);
        dirlog_record record;
        if (!sitelogs::make_dirlog_record(name.c_str(), release.st.st_uid, release.st.st_gid,
                                          static_cast<uint32_t>(files), bytes, record)) {
            progress.message("sitekit " + inv.name + ": " + release.path +
                             ": the name is too long for the directory log (254 bytes at most), left out");
            problems = true;
            continue;
        }
        if (auto was = by_name.find(name_of(record)); was != by_name.end()) {
            record.time = was->second->time;
            record.user_id = was->second->user_id;
            record.group_id = was->second->group_id;
            record.status = was->second->status;
        } else {
            record.time = static_cast<int32_t>(static_cast<uint32_t>(release.st.st_mtime));
            ++fresh;
        }
        found_names.emplace(name_of(record));
        records.push_back(record);
    }
    progress.measuring(done, finder.releases.size(), true);
    progress.finish();

    // Records the walk did not look at stay: those outside the section
    // folders and those below a folder that could not be read.
    std::vector<std::string> walked, unread;
    for (const std::string &dir : sections)
        walked.push_back(stored_name(dir));
    for (const std::string &dir : finder.unreadable)
        unread.push_back(stored_name(dir));
    std::size_t kept = 0, dropped = 0;
    for (const dirlog_record &r : old.records) {
        std::string_view name = name_of(r);
        auto below = [name](const std::string &dir) { return is_below(name, dir); };
        bool looked_at = std::any_of(walked.begin(), walked.end(), below) &&
                         !std::any_of(unread.begin(), unread.end(), below);
        if (!looked_at) {
            records.push_back(r);
            ++kept;
        } else if (!found_names.contains(std::string(name))) {
            ++dropped;
        }
    }
    // Oldest first, as the daemon appends them.
    std::stable_sort(records.begin(), records.end(), [](const dirlog_record &a, const dirlog_record &b) {
        return a.time != b.time ? a.time < b.time : name_of(a) < name_of(b);
    });

    bool json = want_json(inv, p);
    if (dry_run) {
        print_dirlog_records(records, json);
        return problems ? kRefused : kOk;
    }
    sitelogs::dirlog_merge merged;
    if (sitelogs::dirlog_failure why; !sitelogs::replace_dirlog(old, records, merged, why))
        return fail(inv, kRefused, dirlog_failure_message(why));
    std::string log = site_path(sitelogs::kDirlog);
    if (json)
        std::printf("%s\n", JsonObject()
                                .str("dirlog", log)
                                .unum("records", records.size())
                                .unum("releases", finder.releases.size())
                                .unum("new", fresh)
                                .unum("kept", kept)
                                .unum("dropped", dropped)
                                .unum("merged", merged.changed + merged.removed)
                                .unum("unreadable", finder.unreadable.size())
                                .text()
                                .c_str());
    else
        std::printf(
            "rebuilt %s: %zu records; %zu releases found (%zu new), %zu records kept outside the walk, "
            "%zu dropped, %zu changes made meanwhile merged in\n",
            log.c_str(), records.size(), finder.releases.size(), fresh, kept, dropped,
            merged.changed + merged.removed);
    return problems ? kRefused : kOk;
}

int dirlog_clean(Invocation &inv, const Parsed &p) {
    if (!want_operands(p, inv, 1, 1, kDirlogUsage))
        return kUsage;
    if (auto status = load_dirlog_config(inv, p))
        return *status;
    bool dry_run = p.has("--dry-run");
    sitelogs::dirlog_maintenance turn;
    sitelogs::dirlog_snapshot old;
    if (auto status = begin_maintenance(inv, dry_run, turn, old))
        return *status;
    // A record names its directory below the site root, or below the
    // configuration's root path when no site root is given (as update
    // removes it). A base that is not there at all (an unmounted disk) would
    // make every record look gone: nothing is removed then.
    std::string base = sitekit_get_root();
    if (base.empty() && sitelogs::rootpath() != "/")
        base = std::string(sitelogs::rootpath());
    struct stat st {};
    if (!base.empty() && (::stat(base.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)))
        return fail(inv, kRefused,
                    "the site root " + base + " cannot be searched (" +
                        (S_ISDIR(st.st_mode) || st.st_mode == 0 ? std::strerror(errno) : "not a directory") +
                        "); nothing removed");
    bool problems = false;
    std::vector<dirlog_record> keep, removed;
    for (const dirlog_record &r : old.records) {
        std::string_view name = name_of(r);
        if (!name.starts_with('/')) { // no directory to look for
            keep.push_back(r);
            continue;
        }
        std::string dir = base + std::string(name);
        errno = 0;
        bool there = ::stat(dir.c_str(), &st) == 0;
        if (there && S_ISDIR(st.st_mode)) {
            keep.push_back(r);
        } else if (there || errno == ENOENT || errno == ENOTDIR) {
            removed.push_back(r);
        } else {
            std::fprintf(stderr, "sitekit %s: cannot tell whether %s exists: %s; its record is kept\n",
                         inv.name.c_str(), dir.c_str(), std::strerror(errno));
            keep.push_back(r);
            problems = true;
        }
    }
    bool json = want_json(inv, p);
    if (!dry_run && !removed.empty()) {
        sitelogs::dirlog_merge merged;
        if (sitelogs::dirlog_failure why; !sitelogs::replace_dirlog(old, keep, merged, why))
            return fail(inv, kRefused, dirlog_failure_message(why));
        // A record written again meanwhile is back in the log: not removed.
        std::unordered_set<std::string_view> now;
        for (const dirlog_record &r : keep)
            now.insert(name_of(r));
        std::erase_if(removed, [&](const dirlog_record &r) { return now.contains(name_of(r)); });
    }
    print_dirlog_records(removed, json);
    return problems ? kRefused : kOk;
}

} // namespace sk::cli
