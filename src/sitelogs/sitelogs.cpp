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

constexpr const char *kDirlog = "/ftp-data/logs/dirlog";
constexpr std::size_t kPathMax = 4096; // paths and configuration lines
constexpr std::size_t kKeyMax = 63;    // longest configuration key that can match
constexpr std::size_t kRecord = sizeof(dirlog_record);
constexpr std::size_t kNameOffset = offsetof(dirlog_record, dirname);
constexpr std::size_t kNameWidth = sizeof(dirlog_record::dirname);
// The search reads the directory log in blocks of whole records (1.1 MB).
constexpr std::size_t kSearchBlock = kRecord * 4096;

char g_rootpath[kPathMax + 1] = "";
char g_datapath[kPathMax + 1] = "";

bool is_space(char c) noexcept {
    return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

void set_setting(char *setting, std::string_view value) noexcept {
    std::size_t n = value.size() < kPathMax ? value.size() : kPathMax;
    std::memcpy(setting, value.data(), n);
    setting[n] = '\0';
}

// Copies the printable characters of src into dest (room for cap characters
// and a terminator); returns how many there were, which may exceed cap.
std::size_t copy_printable(char *dest, std::size_t cap, std::string_view src) noexcept {
    std::size_t n = 0;
    for (char c : src) {
        if (!std::isprint(static_cast<unsigned char>(c)))
            continue;
        if (n < cap)
            dest[n] = c;
        ++n;
    }
    dest[n < cap ? n : cap] = '\0';
    return n;
}

void apply_config_line(char *line) noexcept {
    if (char *hash = std::strchr(line, '#'))
        *hash = '\0';
    std::string_view text = trim(line);
    std::size_t space = text.find(' ');
    std::string_view key = text.substr(0, space);
    std::string_view value = space == std::string_view::npos ? std::string_view() : text.substr(space + 1);

    char key_buf[kKeyMax + 1];
    if (copy_printable(key_buf, kKeyMax, key) > kKeyMax)
        return;
    char *setting = nullptr;
    if (sk::ascii_iequals(key_buf, "datapath"))
        setting = g_datapath;
    else if (sk::ascii_iequals(key_buf, "rootpath"))
        setting = g_rootpath;
    if (setting)
        copy_printable(setting, kPathMax, value);
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

    std::vector<char> block(kSearchBlock);
    off_t block_start = 0;
    for (;;) {
        ssize_t got = sk::read_full(fd, block.data(), block.size());
        if (got < 0)
            return kReadError;
        std::size_t whole = static_cast<std::size_t>(got) / kRecord;
        for (std::size_t i = 0; i < whole; ++i) {
            const char *field = block.data() + i * kRecord + kNameOffset;
            uint64_t window = 0;
            if (filter)
                std::memcpy(&window, field + tail_at, 8);
            if (window == tail && std::memcmp(field, key.data(), key.size()) == 0)
                return block_start + static_cast<off_t>(i * kRecord);
        }
        // A short block is the end of the file; a trailing partial record never matches.
        if (static_cast<std::size_t>(got) < block.size())
            return -1;
        block_start += got;
    }
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

bool try_store_dirlog(const dirlog_record &record, dirlog_failure &why) {
    why = dirlog_failure{};
    why.path = site_path(kDirlog);
    auto failed = [&why](dirlog_failure::step_t step) {
        why.step = step;
        why.error = errno;
        return false;
    };
    // Only a regular file can be searched: a device or pipe never ends or blocks.
    regular_file log = open_regular(why.path.c_str(), O_RDWR);
    if (!log) {
        why.step = dirlog_failure::open;
        why.error = log.error;
        why.not_regular = log.not_regular;
        return false;
    }
    std::string_view name = field_view(record.dirname, kNameWidth);
    const char *bytes = reinterpret_cast<const char *>(&record);
    {
        // Another updater holding the lock waits until this record is in.
        flock_guard lock(log.fd.get());
        off_t at = find_record(log.fd.get(), name);
        if (at == kReadError)
            return failed(dirlog_failure::read);
        if (at >= 0) {
            if (!sk::pwrite_all(log.fd.get(), bytes, kRecord, at))
                return failed(dirlog_failure::write);
        } else {
            off_t end = ::lseek(log.fd.get(), 0, SEEK_END);
            if (end < 0 || !write_all(log.fd.get(), bytes, kRecord)) {
                why.step = dirlog_failure::write;
                why.error = errno;
                if (end >= 0)
                    cut_failed_append(log.fd.get(), end);
                return false;
            }
        }
    }
    if (!log.fd.close())
        return failed(dirlog_failure::write);
    return true;
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

void read_sysconfig(FILE *file) noexcept {
    // A line longer than the buffer arrives in pieces, each taken as a line.
    char line[kPathMax];
    while (std::fgets(line, sizeof line, file))
        apply_config_line(line);
}

} // namespace sk::sitelogs

extern "C" void load_sysconfig(const char *path) {
    // The file must be a regular one: a FIFO is refused, not waited on.
    sk::unique_file file;
    if (path && std::strlen(path) < kPathMax)
        file = sk::as_file(sk::open_regular(path, O_RDONLY).fd, "r");
    if (!file) {
        (void)std::fprintf(stderr, "Bad or missing config file (%s), using defaults\n",
                           path ? path : "(null)");
        set_setting(g_datapath, "ftp-data");
        return;
    }
    sk::sitelogs::read_sysconfig(file.get());
}

extern "C" char *trim(char *str) {
    if (!str)
        return nullptr;
    const char *in = str;
    char *out = str;
    bool wrote = false;
    while (*in) {
        while (*in && is_space(*in))
            ++in;
        if (!*in)
            break;
        if (wrote)
            *out++ = ' ';
        while (*in && !is_space(*in))
            *out++ = *in++;
        wrote = true;
    }
    *out = '\0';
    return str;
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
