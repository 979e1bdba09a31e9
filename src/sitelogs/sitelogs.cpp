// The updater's services: configuration settings, the ignore list, the
// measurement of a directory tree and the in-place update of the directory
// log.
#include "sitelogs.h"

#include <cctype>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"
#include "sitelogs_internal.h"

static_assert(sizeof(dirlog_record) == 288);
static_assert(offsetof(dirlog_record, status) == 0);
static_assert(offsetof(dirlog_record, reserved1) == 2);
static_assert(offsetof(dirlog_record, time) == 4);
static_assert(offsetof(dirlog_record, user_id) == 8);
static_assert(offsetof(dirlog_record, group_id) == 10);
static_assert(offsetof(dirlog_record, files) == 12);
static_assert(offsetof(dirlog_record, reserved2) == 14);
static_assert(offsetof(dirlog_record, bytes) == 16);
static_assert(offsetof(dirlog_record, dirname) == 24);
static_assert(offsetof(dirlog_record, reserved3) == 279);

static_assert(sizeof(dupefile_record) == 288);
static_assert(offsetof(dupefile_record, filename) == 0);
static_assert(offsetof(dupefile_record, time) == 256);
static_assert(offsetof(dupefile_record, uploader) == 260);

extern "C" {
ignore_node *START = nullptr;
}

namespace {

using sk::sitelogs::kDirlog;
constexpr std::size_t kPathMax = 4096; // paths and settings
constexpr std::size_t kRecord = sizeof(dirlog_record);
constexpr std::size_t kNameOffset = offsetof(dirlog_record, dirname);
constexpr std::size_t kNameWidth = sizeof(dirlog_record::dirname);
// The search reads the directory log in blocks of whole records (1.1 MB).
constexpr std::size_t kSearchBlock = kRecord * 4096;
// A listing reads it in blocks of 512 records (147 KB).
constexpr std::size_t kListBlock = 512;

char g_rootpath[kPathMax + 1] = "";
char g_datapath[kPathMax + 1] = "";

void set_setting(char *setting, std::string_view value) noexcept {
    std::size_t n = value.size() < kPathMax ? value.size() : kPathMax;
    std::memcpy(setting, value.data(), n);
    setting[n] = '\0';
}

// Names the measurement passes over, whatever kind of entry they are.
bool skipped_name(std::string_view name) noexcept {
    if (name == "." || name == ".." || name == ".message")
        return true;
    if (sk::ascii_iequals(name, "file_id.diz"))
        return true;
    return name.size() >= 4 && sk::ascii_iequals(name.substr(name.size() - 4), ".nfo");
}

struct DirId {
    dev_t dev;
    ino_t ino;
    bool operator==(const DirId &) const = default;
};
struct DirIdHash {
    std::size_t operator()(const DirId &d) const noexcept {
        return std::hash<ino_t>()(d.ino) ^ (std::hash<dev_t>()(d.dev) << 1);
    }
};
using SeenDirs = std::unordered_set<DirId, DirIdHash>;

// Measures the open directory dir_fd (taking ownership of it). Entries are
// read relative to the descriptor, so no path is built and no path length
// limits the depth; each level holds one descriptor while it is measured.
void measure(int dir_fd, SeenDirs &seen, int32_t *files, uint64_t *bytes) {
    DIR *raw = fdopendir(dir_fd);
    if (!raw) {
        ::close(dir_fd);
        return;
    }
    sk::unique_dir dir(raw);
    int fd = dirfd(raw);
    while (const dirent *entry = readdir(raw)) {
        if (skipped_name(entry->d_name))
            continue;
        struct stat st;
        // Through symbolic links; an entry that vanished or cannot be read adds nothing.
        if (fstatat(fd, entry->d_name, &st, 0) != 0)
            continue;
        if (S_ISREG(st.st_mode)) {
            *files = static_cast<int32_t>(static_cast<uint32_t>(*files) + 1u);
            *bytes += static_cast<uint64_t>(st.st_size);
        } else if (S_ISDIR(st.st_mode) && seen.insert({st.st_dev, st.st_ino}).second) {
            int sub = openat(fd, entry->d_name, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
            if (sub >= 0)
                measure(sub, seen, files, bytes);
        }
    }
}

// Where a walk over the directory log stopped.
struct WalkEnd {
    off_t found = -1;         // offset of the record visit stopped at; -1 when it never did
    bool read_failed = false; // errno set
    std::size_t partial = 0;  // bytes of an incomplete record at the end
};

// Reads the directory log from the current offset of fd in blocks of whole
// records and hands each whole record to visit(bytes) until visit returns
// true. A short block is the end of the file; a trailing partial record is
// never visited.
template <class Visit> WalkEnd walk_records(int fd, Visit visit) {
    WalkEnd end;
    std::vector<char> block(kSearchBlock);
    off_t block_start = ::lseek(fd, 0, SEEK_CUR);
    if (block_start < 0)
        block_start = 0;
    for (;;) {
        ssize_t got = sk::read_full(fd, block.data(), block.size());
        if (got < 0) {
            end.read_failed = true;
            return end;
        }
        std::size_t whole = static_cast<std::size_t>(got) / kRecord;
        for (std::size_t i = 0; i < whole; ++i) {
            if (visit(block.data() + i * kRecord)) {
                end.found = block_start + static_cast<off_t>(i * kRecord);
                return end;
            }
        }
        if (static_cast<std::size_t>(got) < block.size()) {
            end.partial = static_cast<std::size_t>(got) % kRecord;
            return end;
        }
        block_start += got;
    }
}

constexpr off_t kReadError = -2;

// The offset of the first whole record whose name equals name (including its
// terminator), -1 when there is none, or kReadError (errno set).
off_t find_record(int fd, std::string_view name) {
    // name plus its terminator: a record matches when its field starts with
    // exactly these bytes.
    std::string key(name);
    key.push_back('\0');
    // Names in a log mostly share their beginning ("/site/..."), so the last
    // eight bytes of the key (the terminator included) are compared first;
    // a key shorter than that goes straight to the full comparison.
    bool filter = key.size() >= 8;
    std::size_t tail_at = filter ? key.size() - 8 : 0;
    uint64_t tail = 0;
    if (filter)
        std::memcpy(&tail, key.data() + tail_at, 8);

    WalkEnd end = walk_records(fd, [&](const char *record) {
        const char *field = record + kNameOffset;
        uint64_t window = 0;
        if (filter)
            std::memcpy(&window, field + tail_at, 8);
        return window == tail && std::memcmp(field, key.data(), key.size()) == 0;
    });
    return end.read_failed ? kReadError : end.found;
}

} // namespace

namespace sk::sitelogs {

std::string_view rootpath() noexcept {
    return g_rootpath;
}
std::string_view datapath() noexcept {
    return g_datapath;
}

std::string_view remove_rootpath(std::string_view name, std::string_view root) noexcept {
    if (root != "/" && name.starts_with(root))
        name.remove_prefix(root.size());
    return name;
}

bool locked_dirlog::open(int flags, dirlog_failure &why) {
    why.path = site_path(kDirlog);
    // A file put in place of the locked one sends the search to the new one;
    // the bound only stops a loop against a log replaced without end.
    for (int attempt = 0; attempt < 100; ++attempt) {
        close();
        // Only a regular file can be searched: a device or pipe never ends or blocks.
        file_ = open_regular(why.path.c_str(), flags);
        if (!file_) {
            why.step = dirlog_failure::open;
            why.error = file_.error;
            why.not_regular = file_.not_regular;
            return false;
        }
        lock_.emplace(file_.fd.get());
        struct stat there {};
        if (!lock_->locked() || fstat(file_.fd.get(), &file_.st) != 0) {
            why.step = dirlog_failure::open;
            why.error = errno;
            close();
            return false;
        }
        if (::stat(why.path.c_str(), &there) == 0 && there.st_dev == file_.st.st_dev &&
            there.st_ino == file_.st.st_ino)
            return true;
    }
    why.step = dirlog_failure::open;
    why.error = EAGAIN;
    close();
    return false;
}

bool locked_dirlog::close() noexcept {
    lock_.reset();
    return file_.fd.close();
}

bool try_store_dirlog(const dirlog_record &record, dirlog_failure &why) {
    why = dirlog_failure{};
    auto failed = [&why](dirlog_failure::step_t step) {
        why.step = step;
        why.error = errno;
        return false;
    };
    locked_dirlog log;
    // Another updater holding the lock waits until this record is in.
    if (!log.open(O_RDWR, why))
        return false;
    std::string_view name = field_view(record.dirname, kNameWidth);
    const char *bytes = reinterpret_cast<const char *>(&record);
    off_t at = find_record(log.fd(), name);
    if (at == kReadError)
        return failed(dirlog_failure::read);
    if (at >= 0) {
        if (!sk::pwrite_all(log.fd(), bytes, kRecord, at))
            return failed(dirlog_failure::write);
    } else {
        off_t end = ::lseek(log.fd(), 0, SEEK_END);
        if (end < 0 || !write_all(log.fd(), bytes, kRecord)) {
            why.step = dirlog_failure::write;
            why.error = errno;
            if (end >= 0)
                cut_failed_append(log.fd(), end);
            return false;
        }
    }
    if (!log.close())
        return failed(dirlog_failure::write);
    return true;
}

dirlog_walk read_dirlog(int fd, const std::function<void(const dirlog_record &)> &each) {
    // The records are read straight into place, in blocks small enough to
    // stay in the processor's cache while they are handed out.
    std::vector<dirlog_record> block(kListBlock);
    const std::size_t block_bytes = block.size() * kRecord;
    dirlog_walk walk;
    for (;;) {
        ssize_t got = sk::read_full(fd, block.data(), block_bytes);
        if (got < 0) {
            walk.read_failed = true;
            return walk;
        }
        std::size_t whole = static_cast<std::size_t>(got) / kRecord;
        for (std::size_t i = 0; i < whole; ++i)
            each(block[i]);
        if (static_cast<std::size_t>(got) < block_bytes) {
            walk.partial = static_cast<std::size_t>(got) % kRecord;
            return walk;
        }
    }
}

void store_dirlog(const dirlog_record &record) {
    dirlog_failure why;
    if (try_store_dirlog(record, why))
        return;
    const char *what = why.step == dirlog_failure::open   ? "Cannot open"
                       : why.step == dirlog_failure::read ? "Cannot read"
                                                          : "Cannot write";
    std::printf("%s %s\n", what, why.path.c_str());
    std::exit(1);
}

void apply_config(const daemon_config &config) noexcept {
    if (config.rootpath)
        set_setting(g_rootpath, *config.rootpath);
    if (config.datapath)
        set_setting(g_datapath, *config.datapath);
}

} // namespace sk::sitelogs

extern "C" void load_sysconfig(const char *path) {
    sk::daemon_config config;
    bool read = false;
    try {
        read = path && std::strlen(path) < kPathMax && sk::load_daemon_config(path, config);
    } catch (...) {
        // Out of memory for a line: what the file says stays unknown.
    }
    if (!read) {
        (void)std::fprintf(stderr, "Bad or missing config file (%s), using defaults\n",
                           path ? path : "(null)");
        set_setting(g_datapath, "ftp-data");
        return;
    }
    sk::sitelogs::apply_config(config);
}

extern "C" char *trim(char *str) {
    return sk::trim_spaces(str);
}

extern "C" void add_ignore(const char *item) {
    ignore_node *last = START;
    while (last && last->next)
        last = last->next;
    auto *node = static_cast<ignore_node *>(std::malloc(sizeof(ignore_node)));
    if (!node) {
        (void)std::fprintf(stderr, "unable to allocate %d bytes of memmory in add_ignore()\n",
                           static_cast<int>(sizeof(ignore_node)));
        std::exit(1);
    }
    node->item = item;
    node->next = nullptr;
    if (last)
        last->next = node;
    else
        START = node;
}

extern "C" void get_dir_size(const char *dir, int32_t *files, uint64_t *bytes) {
    if (!dir || !files || !bytes)
        return;
    int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return;
    struct stat st;
    if (fstat(fd, &st) != 0) {
        ::close(fd);
        return;
    }
    try {
        SeenDirs seen;
        seen.insert({st.st_dev, st.st_ino});
        measure(fd, seen, files, bytes);
    } catch (...) {
        // Out of memory for the set of seen directories: what was counted stays.
    }
}

extern "C" void update_log(dirlog_record record) {
    try {
        std::string_view name = sk::sitelogs::remove_rootpath(sk::field_view(record.dirname, kNameWidth),
                                                              sk::sitelogs::rootpath());
        if (name.size() >= kNameWidth) {
            std::printf("Directory name too long: %.*s\n", static_cast<int>(name.size()), name.data());
            std::exit(1);
        }
        // The name lies inside the field it moves to: move, then zero the rest.
        std::size_t n = name.size();
        std::memmove(record.dirname, name.data(), n);
        std::memset(record.dirname + n, 0, kNameWidth - n);
        sk::sitelogs::store_dirlog(record);
    } catch (...) {
        std::printf("Cannot open %s\n", kDirlog);
        std::exit(1);
    }
}

extern "C" void usage(void) {
    (void)std::fputs("glftpd DIRLOG update utility v3.1\n\n"
                     "dlsync [-r /pathto/glftpd.conf] [-i ...] [-h] <full directory path>\n"
                     " Options:\n"
                     " -r /path/file : alternative path to config file\n"
                     " -i ...        : unlimited number of dirs to skip\n"
                     "                 \".\", \"..\" and \"groups\" are skipped by default\n"
                     " -h            : this screen\n",
                     stdout);
    std::exit(0);
}
