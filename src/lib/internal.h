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
    void operator()(FILE *f) const noexcept { std::fclose(f); }
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

// Finishes the replacement of target by a temporary file written through
// tmp: flushes, syncs to disk and closes tmp, gives it the permission bits
// (and, where allowed, the owner) of original when that is given, and
// renames it over target. Takes ownership of tmp. When the temporary file
// holds exactly the bytes of target, target is left as it is (same inode,
// same times), the temporary file is removed, and the result is true. On any
// failure the temporary file is removed, target is left as it was, and the
// result is false.
bool commit_replacement(FILE *tmp, const std::string &tmp_path, const std::string &target,
                        const struct stat *original) noexcept;

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

// Puts the complete file open at fd in place of target: gives it the owner
// and group (where allowed) and the permission bits of original when that
// is given, syncs it, names it tmp_path when it has no name yet (named
// false: a file of open_unnamed) and renames it over target. The caller
// keeps fd. On any failure the file's own name tmp_path is removed (never
// another file found there), target is left as it was, and the result is
// false with errno set.
bool commit_fd_replacement(int fd, bool named, const std::string &tmp_path, const std::string &target,
                           const struct stat *original) noexcept;

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
