// Internals shared by every module: resource holders, the site-root join,
// bounded copies into the daemon's fixed-width fields, and the safe
// replacement of a file. C++ only; not installed.
#ifndef SITEKIT_INTERNAL_H
#define SITEKIT_INTERNAL_H

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sk {

struct FileCloser {
    void operator()(FILE *f) const noexcept { (void)std::fclose(f); } // callers that care close it themselves
};
using unique_file = std::unique_ptr<FILE, FileCloser>;

struct DirCloser {
    void operator()(DIR *d) const noexcept { closedir(d); }
};
using unique_dir = std::unique_ptr<DIR, DirCloser>;

struct FreeDeleter {
    void operator()(void *p) const noexcept { std::free(p); }
};
template <class T> using malloc_ptr = std::unique_ptr<T, FreeDeleter>;

// An owned file descriptor, closed when the holder goes. Header-only, so
// that the line file reader can use it without the rest of siteutil.
class unique_fd {
  public:
    unique_fd() noexcept = default;
    explicit unique_fd(int fd) noexcept : fd_(fd) {}
    unique_fd(unique_fd &&other) noexcept : fd_(other.release()) {}
    unique_fd &operator=(unique_fd &&other) noexcept {
        if (this != &other) {
            close();
            fd_ = other.release();
        }
        return *this;
    }
    unique_fd(const unique_fd &) = delete;
    unique_fd &operator=(const unique_fd &) = delete;
    ~unique_fd() { close(); }

    int get() const noexcept { return fd_; }
    explicit operator bool() const noexcept { return fd_ >= 0; }
    int release() noexcept {
        int fd = fd_;
        fd_ = -1;
        return fd;
    }
    // Closes the descriptor now; false when close reported an error.
    bool close() noexcept { return fd_ < 0 || ::close(release()) == 0; }

  private:
    int fd_ = -1;
};

// Holds an advisory lock (flock) on a descriptor for its lifetime.
class flock_guard {
  public:
    // Blocks until the lock is had; exclusive unless shared is set.
    flock_guard(int fd, bool shared = false) noexcept;
    flock_guard(const flock_guard &) = delete;
    flock_guard &operator=(const flock_guard &) = delete;
    ~flock_guard();
    bool locked() const noexcept { return locked_; }

  private:
    int fd_;
    bool locked_;
};

// The site root followed by an absolute daemon path; relative paths are
// returned unchanged.
std::string site_path(std::string_view daemon_path);

// Copies src into a field of width bytes: NUL-terminated inside the field,
// the rest zero. Returns false when src does not fit (its length is width or
// more); the field then holds the first width - 1 bytes.
bool copy_field(char *field, std::size_t width, std::string_view src) noexcept;

// The text of a fixed-width field: up to its first NUL, never past width.
std::string_view field_view(const char *field, std::size_t width) noexcept;

// Reads a decimal integer from the start of text as far as it forms one:
// leading white space, an optional sign, digits ("12abc" is 12, "abc" is 0).
// A number beyond the 64-bit range is clamped to the nearest limit and the
// result is false.
bool read_leading_int64(std::string_view text, std::int64_t &value) noexcept;

// A malloc'd NUL-terminated copy, or nullptr when memory runs out.
char *dup_text(std::string_view text) noexcept;

// Writes every byte, retrying short writes and EINTR. False on error.
bool write_all(int fd, const void *data, std::size_t size) noexcept;

// Opens a new file without a name in dir (O_TMPFILE) with the given access
// flags (O_WRONLY or O_RDWR) and mode, so that nothing half-written ever
// shows under a name: link_unnamed names it once it is complete. Returns -1
// with errno EOPNOTSUPP where the file system has no such files or this
// process could not name one later (no /proc/self/fd and no right to link
// a descriptor); the caller then falls back to a named file. Other errors
// keep their errno.
int open_unnamed(const std::string &dir, int flags, mode_t mode) noexcept;

// Gives the file of open_unnamed its name path. Never replaces anything:
// false with errno EEXIST when something is there.
bool link_unnamed(int fd, const std::string &path) noexcept;

// A daemon or settings file as open_regular leaves it: open, or why not.
struct regular_file {
    unique_fd fd;             // open and blocking; invalid when refused
    struct stat st {};        // the file's status, whenever it could be had
    int error = 0;            // errno of the failed open; 0 when not_regular
    bool not_regular = false; // the path names a FIFO, device, socket or directory
    explicit operator bool() const noexcept { return static_cast<bool>(fd); }
};

// Opens a daemon or settings file with flags as for open (O_RDONLY, O_RDWR,
// O_WRONLY | O_APPEND | O_CREAT with mode, ...). The open never waits: it
// is made with O_NONBLOCK, since a FIFO would wait for its other end. Only a
// regular file is kept; anything else is closed again and reported with
// not_regular. The descriptor is close-on-exec and, once kept, blocking
// again, so reads and writes behave as usual. Header-only, so that the line
// file reader can use it without the rest of siteutil.
inline regular_file open_regular(const char *path, int flags, mode_t mode = 0666) noexcept {
    regular_file f;
    f.fd = unique_fd(::open(path, flags | O_NONBLOCK | O_CLOEXEC, mode));
    if (!f.fd) {
        f.error = errno;
        // Writing refuses a FIFO without a reader (ENXIO) and a directory
        // (EISDIR) before there is a descriptor to look at.
        f.not_regular = ::stat(path, &f.st) == 0 && !S_ISREG(f.st.st_mode);
        if (f.not_regular)
            f.error = 0;
        errno = f.error;
        return f;
    }
    int status = -1;
    if (fstat(f.fd.get(), &f.st) != 0 || (status = fcntl(f.fd.get(), F_GETFL)) < 0 ||
        (S_ISREG(f.st.st_mode) && fcntl(f.fd.get(), F_SETFL, status & ~O_NONBLOCK) != 0)) {
        f.error = errno;
        f.fd.close();
        errno = f.error;
        return f;
    }
    if (!S_ISREG(f.st.st_mode)) {
        f.not_regular = true;
        f.fd.close();
    }
    return f;
}

// The descriptor as a buffered file (mode as for fdopen); the descriptor
// goes with the file. Empty when fd is invalid or memory runs out.
inline unique_file as_file(unique_fd fd, const char *mode) noexcept {
    if (!fd)
        return nullptr;
    FILE *f = fdopen(fd.get(), mode);
    if (f)
        fd.release();
    return unique_file(f);
}

// Reads until size bytes are in buf or the file ends, retrying short reads
// and EINTR. The count read (below size only at the end of the file), or -1
// with errno set. Header-only, so that the line file reader can use it.
inline ssize_t read_full(int fd, void *buf, std::size_t size) noexcept {
    char *p = static_cast<char *>(buf);
    std::size_t got = 0;
    while (got < size) {
        ssize_t n = ::read(fd, p + got, size - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(got);
}

// Writes every byte, retrying short writes and EINTR, and counts in written
// what reached the file (also on failure). False with errno set on error;
// a write that takes no byte fails with EIO.
bool write_all(int fd, const void *data, std::size_t size, std::size_t &written) noexcept;

// Writes every byte at offset (pwrite), retrying short writes and EINTR.
// False with errno set on error.
bool pwrite_all(int fd, const void *data, std::size_t size, off_t offset) noexcept;

// ASCII case folding, whatever the locale: only A to Z change.
constexpr char ascii_lower(char c) noexcept {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

// True when a and b are the same but for the case of ASCII letters.
bool ascii_iequals(std::string_view a, std::string_view b) noexcept;

// True when text begins with prefix but for the case of ASCII letters.
bool ascii_istarts_with(std::string_view text, std::string_view prefix) noexcept;

// text with its ASCII letters in lower case.
std::string ascii_lowercase(std::string_view text);

// A new file that takes the place of target only once it is complete, so
// that a reader of target sees the old bytes or the new ones, never a part,
// and a failure at any step leaves target as it was and no temporary file:
//
//     sk::replacement out;
//     if (!out.open(target, {".tmp"})) ...      created beside target
//     write through out.fd() or out.stream()
//     if (!out.commit(&status_of_target)) ...   renamed over target
//
// Going out of scope before commit (or keep) removes the new file.
class replacement {
  public:
    // What open does with something found at the temporary name.
    enum class leftover {
        refuse,         // open fails with EEXIST
        remove_regular, // a regular file goes (removed_stale says so); anything else is refused
        remove_any,     // whatever unlink removes goes
    };
    struct options {
        // The temporary file's name is target followed by suffix. With a
        // fixed name two writers of the same target must exclude each other
        // (a lock held by both); nullptr makes a name of its own for each
        // writer (target.XXXXXX).
        const char *suffix = nullptr;
        leftover stale = leftover::refuse; // with a suffix only
        // The file first has no name at all (open_unnamed) where the file
        // system allows; the temporary name is then taken only by commit.
        bool unnamed = false;
        int flags = O_WRONLY; // or O_RDWR
        mode_t mode = 0600;   // the permission bits while the file is new
        // commit leaves target as it is (same inode, same times) when the
        // new file holds exactly its bytes. Named files only.
        bool keep_same = false;
    };

    replacement() noexcept = default;
    replacement(const replacement &) = delete;
    replacement &operator=(const replacement &) = delete;
    ~replacement() { discard(); }

    // Creates the new file in target's folder, never through a symbolic
    // link. False with errno set when it cannot be had. May throw
    // std::bad_alloc (the names).
    bool open(const std::string &target, const options &how);

    // The new file's descriptor, -1 before open.
    int fd() const noexcept { return stream_ ? fileno(stream_.get()) : fd_.get(); }
    // A buffered stream on the new file ("w+b"), made on the first call and
    // flushed by commit; nullptr when memory runs out.
    FILE *stream() noexcept;
    // The temporary name (a new file of keep: its name).
    const std::string &path() const noexcept { return path_; }
    // True when open removed a file left at the temporary name.
    bool removed_stale() const noexcept { return removed_stale_; }
    explicit operator bool() const noexcept { return fd() >= 0; }

    // Puts the complete file in place of target: flushes the stream, gives
    // the file the owner and group (where allowed) and the permission bits
    // of original when that is given, syncs and closes it and renames it over
    // target. On failure the new file is removed, target is left as it was,
    // and the result is false with errno set.
    bool commit(const struct stat *original) noexcept;

    // Gives the complete file the temporary name itself, replacing nothing
    // (for a file that is new, not a replacement): false with errno EEXIST
    // when something is there meanwhile, or as close reports; the file is
    // then removed.
    bool keep() noexcept;

    // Closes and removes the new file, if any.
    void discard() noexcept;

  private:
    bool finish() noexcept; // flushes and closes; false on any error
    // Names the file where it has no name yet, closes it and, when
    // over_target, renames it over target; removes it unless all of that
    // (and ok, the steps before) went well.
    bool conclude(bool ok, bool over_target) noexcept;
    std::string target_;
    std::string path_;
    unique_fd fd_;
    unique_file stream_; // once made, it holds the descriptor
    bool named_ = false; // the new file is at path_
    bool keep_same_ = false;
    bool readable_ = false; // open for reading too
    bool removed_stale_ = false;
};

// The daemon's configuration file, as a daemon path (taken below the site root).
inline constexpr const char *kDaemonConfig = "/etc/glftpd.conf";

// The settings the site tools take from the daemon's configuration file;
// a setting the file does not name stays empty (nullopt).
struct daemon_config {
    std::optional<std::string> rootpath;
    std::optional<std::string> datapath;
};

// Drops leading and trailing white space and turns every inner run of white
// space into one space, in place. Returns str (nullptr for nullptr).
char *trim_spaces(char *str) noexcept;

// Reads the daemon's configuration lines from file into config. A line
// longer than 4095 characters arrives in pieces, each taken as a line.
// Everything from the first "#" is a comment; the rest is trimmed
// (trim_spaces), its key is the text before the first space and its value
// the text after it (empty without a space); characters that are not
// printable are dropped from both. Keys match "rootpath" and "datapath" in
// any letter case (a key longer than 63 characters matches nothing); a
// later line replaces an earlier one; other lines change nothing.
void read_daemon_config(FILE *file, daemon_config &config);

// read_daemon_config on the file open at fd (which it takes). False, with
// errno set, when the descriptor cannot be read as a buffered file.
bool read_daemon_config(unique_fd fd, daemon_config &config);

// Opens the configuration file at path (used as given) as open_regular
// does, so that a FIFO is refused without waiting, and reads it. False when
// it cannot be opened or read; config is then unchanged.
bool load_daemon_config(const char *path, daemon_config &config);

// Sets the site root from the environment variable SITEKIT_ROOT, for the
// programs whose command line has no room for --root; unset or empty leaves
// no root. False when the value is too long for a site root.
bool set_root_from_environment() noexcept;

} // namespace sk

#endif
