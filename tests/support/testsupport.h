// Helpers for tests: a temporary directory that serves as the site root,
// whole-file reads and writes, commands and children with limits.
#ifndef SITEKIT_TESTSUPPORT_H
#define SITEKIT_TESTSUPPORT_H

#include <functional>
#include <string>
#include <string_view>

#include <gtest/gtest.h>

namespace sktest {

// A fresh directory below $TMPDIR (or /tmp), removed with everything in it
// when the object goes.
class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;

    const std::string &path() const { return path_; }
    // path() joined with a relative name.
    std::string operator/(std::string_view rel) const;

  private:
    std::string path_;
};

// A TempDir that is also the process's site root while it lives.
class SiteRoot : public TempDir {
  public:
    SiteRoot();
    ~SiteRoot();
    // Creates a directory below the root, with its parents.
    std::string mkdirs(std::string_view rel) const;
};

// Writes the bytes to path (creating parent directories); fails the test on error.
void write_file(const std::string &path, std::string_view bytes);
// The whole file; fails the test when it cannot be read.
std::string read_file(const std::string &path);
bool file_exists(const std::string &path);
// The permission bits of path (st_mode & 07777); fails the test when path
// cannot be examined.
unsigned permission_bits(const std::string &path);
// Creates path and its parents.
void make_dirs(const std::string &path);

// Runs a shell command line, capturing standard output and error; returns the
// exit status (or 128 + signal).
struct RunResult {
    int status;
    std::string out;
    std::string err;
};
RunResult run_command(const std::string &command_line);
// A shell word for a command line: word in single quotes.
std::string quote(const std::string &word);

// The CRC-32 of the file at path as Python's zlib.crc32 computes it: 8
// upper-case hex digits. Fails the test when Python cannot read the file.
std::string python_crc32(const std::string &path);

// Every file and folder below dir, regular files with their contents, for
// "nothing changed" checks.
std::string snapshot(const std::string &dir);

// Runs a table of command lines that must be refused: for each case c,
// run(c) gives the result, which must exit with c.status, print nothing on
// standard output and name c.message on standard error. Nothing below dir
// may change.
template <class Cases, class Run> void expect_refused(const std::string &dir, const Cases &cases, Run run) {
    std::string before = snapshot(dir);
    for (const auto &c : cases) {
        RunResult r = run(c);
        EXPECT_EQ(r.status, c.status) << c.message << "\n" << r.err;
        EXPECT_EQ(r.out, "") << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(snapshot(dir), before);
}

// Makes the files of this process unable to grow beyond max_bytes: a write
// past it fails with EFBIG (as on a full disk) instead of raising SIGXFSZ.
// False when the limit could not be set.
bool limit_file_size(long max_bytes);
// Runs body in a child process under limit_file_size(max_bytes), with
// standard output sent to out_path (when given). Returns the child's exit
// status, or 128 + the signal that ended it.
int run_with_file_limit(long max_bytes, const std::function<int()> &body, const std::string &out_path = "");

// A built program of the tree, found through SITEKIT_BUILD_DIR.
std::string build_path(std::string_view rel);

// Runs body as an unprivileged user, for tests of permissions (which do not
// bind root): when the process is root, in a child that has dropped to
// uid and gid 65534, with body's result (0 to 254) as its exit status;
// otherwise directly. -1 when privileges could not be dropped.
int run_unprivileged(const std::function<int()> &body);

} // namespace sktest

#endif
