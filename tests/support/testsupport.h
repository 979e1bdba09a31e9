// Helpers for tests: a temporary directory that serves as the site root,
// and whole-file reads and writes.
#ifndef SITEKIT_TESTSUPPORT_H
#define SITEKIT_TESTSUPPORT_H

#include <functional>
#include <string>
#include <string_view>

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

// A built program of the tree, found through SITEKIT_BUILD_DIR.
std::string build_path(std::string_view rel);

// Runs body as an unprivileged user, for tests of permissions (which do not
// bind root): when the process is root, in a child that has dropped to
// uid and gid 65534, with body's result (0 to 254) as its exit status;
// otherwise directly. -1 when privileges could not be dropped.
int run_unprivileged(const std::function<int()> &body);

} // namespace sktest

#endif
