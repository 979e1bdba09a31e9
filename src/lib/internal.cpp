#include "internal.h"

#include <cctype>
#include <cerrno>
#include <charconv>
#include <limits>
#include <cstring>

#include <fcntl.h>
#include <linux/capability.h>
#include <sys/file.h>
#include <sys/syscall.h>
#include <unistd.h>

#include "siteroot.h"

namespace sk {

flock_guard::flock_guard(int fd, bool shared) noexcept : fd_(fd), locked_(false) {
    if (fd_ < 0)
        return;
    int rc;
    do {
        rc = flock(fd_, shared ? LOCK_SH : LOCK_EX);
    } while (rc != 0 && errno == EINTR);
    locked_ = rc == 0;
}

flock_guard::~flock_guard() {
    if (locked_)
        flock(fd_, LOCK_UN);
}

std::string site_path(std::string_view daemon_path) {
    if (daemon_path.empty() || daemon_path.front() != '/')
        return std::string(daemon_path);
    std::string path(sitekit_get_root());
    path.append(daemon_path);
    return path;
}

bool copy_field(char *field, std::size_t width, std::string_view src) noexcept {
    if (width == 0)
        return src.empty();
    bool fits = src.size() < width;
    std::size_t n = fits ? src.size() : width - 1;
    std::memcpy(field, src.data(), n);
    std::memset(field + n, 0, width - n);
    return fits;
}

std::string_view field_view(const char *field, std::size_t width) noexcept {
    const void *nul = std::memchr(field, '\0', width);
    std::size_t n = nul ? static_cast<std::size_t>(static_cast<const char *>(nul) - field) : width;
    return {field, n};
}

char *dup_text(std::string_view text) noexcept {
    char *copy = static_cast<char *>(std::malloc(text.size() + 1));
    if (!copy)
        return nullptr;
    std::memcpy(copy, text.data(), text.size());
    copy[text.size()] = '\0';
    return copy;
}

bool write_all(int fd, const void *data, std::size_t size) noexcept {
    std::size_t written = 0;
    return write_all(fd, data, size, written);
}

// Reads a decimal integer from the start of text as far as it forms one:
// leading white space, an optional sign, digits. No digits read as 0.
// A number beyond the 64-bit range is clamped to the nearest limit and the
// result is false.
bool read_leading_int64(std::string_view text, std::int64_t &value) noexcept {
    std::size_t i = 0;
    while (i < text.size() && std::isspace(static_cast<unsigned char>(text[i])))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
        negative = text[i++] == '-';
    std::uint64_t magnitude = 0;
    auto [end, ec] = std::from_chars(text.data() + i, text.data() + text.size(), magnitude);
    (void)end;
    constexpr std::uint64_t max_positive =
        static_cast<std::uint64_t>(std::numeric_limits<std::int64_t>::max());
    if (ec == std::errc::invalid_argument) {
        value = 0;
        return true;
    }
    if (!negative) {
        bool fits = ec == std::errc() && magnitude <= max_positive;
        value = fits ? static_cast<std::int64_t>(magnitude) : std::numeric_limits<std::int64_t>::max();
        return fits;
    }
    bool fits = ec == std::errc() && magnitude <= max_positive + 1;
    if (!fits) {
        value = std::numeric_limits<std::int64_t>::min();
        return false;
    }
    // -(2^63) has no positive counterpart; go through its unsigned negation.
    value = magnitude == max_positive + 1 ? std::numeric_limits<std::int64_t>::min()
                                          : -static_cast<std::int64_t>(magnitude);
    return true;
}

namespace {

// True when the process may link a descriptor by itself (AT_EMPTY_PATH),
// which takes the right to search every directory.
bool may_link_descriptor() noexcept {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (syscall(SYS_capget, &header, data) != 0)
        return false;
    constexpr unsigned cap = CAP_DAC_READ_SEARCH;
    return (data[cap / 32].effective & (1u << (cap % 32))) != 0;
}

std::string proc_fd_path(int fd) {
    return "/proc/self/fd/" + std::to_string(fd);
}

// True when /proc/self/fd shows the descriptor (it is missing in a chroot
// without /proc), so that linkat can name the file through it.
bool proc_shows(int fd) noexcept {
    struct stat by_fd, by_proc;
    try {
        return fstat(fd, &by_fd) == 0 && stat(proc_fd_path(fd).c_str(), &by_proc) == 0 &&
               by_fd.st_dev == by_proc.st_dev && by_fd.st_ino == by_proc.st_ino;
    } catch (...) {
        return false;
    }
}

} // namespace

int open_unnamed(const std::string &dir, int flags, mode_t mode) noexcept {
    int fd = ::open(dir.c_str(), O_TMPFILE | flags | O_CLOEXEC, mode);
    if (fd < 0) {
        // EISDIR: a kernel without O_TMPFILE; EOPNOTSUPP: a file system without it.
        if (errno == EISDIR || errno == EOPNOTSUPP || errno == EINVAL)
            errno = EOPNOTSUPP;
        return -1;
    }
    if (!proc_shows(fd) && !may_link_descriptor()) {
        ::close(fd);
        errno = EOPNOTSUPP;
        return -1;
    }
    return fd;
}

bool link_unnamed(int fd, const std::string &path) noexcept {
    try {
        if (linkat(AT_FDCWD, proc_fd_path(fd).c_str(), AT_FDCWD, path.c_str(), AT_SYMLINK_FOLLOW) == 0)
            return true;
    } catch (...) {
        errno = ENOMEM;
        return false;
    }
    if (errno != ENOENT)
        return false;
    return linkat(fd, "", AT_FDCWD, path.c_str(), AT_EMPTY_PATH) == 0;
}

namespace {

// Hands the bytes to put(bytes, count, done) until every one is taken,
// retrying short writes and EINTR; done counts what was taken so far.
template <class Put> bool put_all(const void *data, std::size_t size, std::size_t &done, Put put) noexcept {
    const char *p = static_cast<const char *>(data);
    done = 0;
    while (done < size) {
        ssize_t n = put(p + done, size - done, done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            if (n == 0)
                errno = EIO;
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

} // namespace

bool write_all(int fd, const void *data, std::size_t size, std::size_t &written) noexcept {
    return put_all(data, size, written,
                   [fd](const char *p, std::size_t n, std::size_t) noexcept { return ::write(fd, p, n); });
}

bool pwrite_all(int fd, const void *data, std::size_t size, off_t offset) noexcept {
    std::size_t done = 0;
    return put_all(data, size, done, [fd, offset](const char *p, std::size_t n, std::size_t at) noexcept {
        return ::pwrite(fd, p, n, offset + static_cast<off_t>(at));
    });
}

bool ascii_iequals(std::string_view a, std::string_view b) noexcept {
    return a.size() == b.size() && ascii_istarts_with(a, b);
}

bool ascii_istarts_with(std::string_view text, std::string_view prefix) noexcept {
    if (text.size() < prefix.size())
        return false;
    for (std::size_t i = 0; i < prefix.size(); ++i)
        if (ascii_lower(text[i]) != ascii_lower(prefix[i]))
            return false;
    return true;
}

std::string ascii_lowercase(std::string_view text) {
    std::string out(text);
    for (char &c : out)
        c = ascii_lower(c);
    return out;
}

namespace {

std::string folder_of(const std::string &path) {
    std::size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// True when the file open at fd, named tmp_path, holds exactly the bytes of
// the regular file at target. The file may be open for writing only, so it
// is read again through its name, after making sure that the name still
// leads to it.
bool same_content(int fd, const std::string &tmp_path, const std::string &target) noexcept {
    struct stat written, there;
    if (fstat(fd, &written) != 0 || ::stat(target.c_str(), &there) != 0 || !S_ISREG(there.st_mode) ||
        written.st_size != there.st_size)
        return false;
    unique_fd copy(::open(tmp_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    unique_fd old(::open(target.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
    struct stat sc, so;
    if (!copy || !old || fstat(copy.get(), &sc) != 0 || fstat(old.get(), &so) != 0 ||
        sc.st_dev != written.st_dev || sc.st_ino != written.st_ino || !S_ISREG(so.st_mode) ||
        so.st_size != written.st_size)
        return false;
    constexpr std::size_t chunk = std::size_t{64} * 1024;
    malloc_ptr<char> buf(static_cast<char *>(std::malloc(2 * chunk)));
    if (!buf)
        return false;
    for (off_t at = 0; at < written.st_size;) {
        ssize_t n = ::pread(copy.get(), buf.get(), chunk, at);
        if (n <= 0 || ::pread(old.get(), buf.get() + chunk, static_cast<std::size_t>(n), at) != n ||
            std::memcmp(buf.get(), buf.get() + chunk, static_cast<std::size_t>(n)) != 0)
            return false;
        at += n;
    }
    return true;
}

} // namespace

bool replacement::open(const std::string &target, const options &how) {
    discard();
    target_ = target;
    keep_same_ = how.keep_same;
    removed_stale_ = false;
    if (!how.suffix) {
        path_ = target + ".XXXXXX";
        fd_ = unique_fd(mkostemp(path_.data(), O_CLOEXEC));
        named_ = static_cast<bool>(fd_);
        readable_ = true;
        return named_;
    }
    path_ = target + how.suffix;
    readable_ = (how.flags & O_ACCMODE) == O_RDWR;
    struct stat st;
    switch (how.stale) {
    case leftover::refuse:
        break;
    case leftover::remove_regular:
        if (lstat(path_.c_str(), &st) == 0) {
            if (!S_ISREG(st.st_mode)) {
                errno = EEXIST;
                return false;
            }
            if (::unlink(path_.c_str()) != 0)
                return false;
            removed_stale_ = true;
        } else if (errno != ENOENT) {
            return false;
        }
        break;
    case leftover::remove_any:
        removed_stale_ = ::unlink(path_.c_str()) == 0;
        break;
    }
    if (how.unnamed) {
        fd_ = unique_fd(open_unnamed(folder_of(target), how.flags, how.mode));
        if (fd_)
            return true;
        if (errno != EOPNOTSUPP)
            return false;
    }
    fd_ = unique_fd(::open(path_.c_str(), how.flags | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, how.mode));
    named_ = static_cast<bool>(fd_);
    return named_;
}

FILE *replacement::stream() noexcept {
    if (!stream_ && fd_) {
        stream_.reset(fdopen(fd_.get(), readable_ ? "w+b" : "wb"));
        if (stream_)
            fd_.release();
    }
    return stream_.get();
}

bool replacement::finish() noexcept {
    if (!stream_)
        return fd_.close();
    bool ok = std::fflush(stream_.get()) == 0 && !std::ferror(stream_.get());
    return std::fclose(stream_.release()) == 0 && ok;
}

bool replacement::commit(const struct stat *original) noexcept {
    int fd = this->fd();
    bool ok = fd >= 0;
    if (!ok)
        errno = EBADF;
    if (ok && stream_)
        ok = std::fflush(stream_.get()) == 0 && !std::ferror(stream_.get());
    if (ok && keep_same_ && named_ && same_content(fd, path_, target_)) {
        discard();
        return true;
    }
    if (ok && original) {
        // The owner first: a change of owner may clear the set-id bits.
        // Only a privileged process may give the file away; the owner is kept
        // where that is allowed and silently left otherwise.
        if (fchown(fd, original->st_uid, original->st_gid) != 0 && errno != EPERM)
            ok = false;
        if (ok)
            ok = fchmod(fd, original->st_mode & 07777) == 0;
    }
    if (ok)
        ok = fsync(fd) == 0;
    return conclude(ok, true);
}

bool replacement::keep() noexcept {
    bool ok = fd() >= 0;
    if (!ok)
        errno = EBADF;
    return conclude(ok, false);
}

bool replacement::conclude(bool ok, bool over_target) noexcept {
    if (ok && !named_)
        named_ = ok = link_unnamed(fd(), path_);
    if (ok)
        ok = finish();
    if (ok && over_target)
        ok = std::rename(path_.c_str(), target_.c_str()) == 0;
    if (ok) {
        named_ = false; // the file is no longer this holder's to remove
        return true;
    }
    int saved = errno;
    discard();
    errno = saved;
    return false;
}

void replacement::discard() noexcept {
    stream_.reset();
    fd_.close();
    if (named_)
        ::unlink(path_.c_str());
    named_ = false;
}

} // namespace sk
