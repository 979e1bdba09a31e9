// Helpers shared by the fuzz targets: a temporary site root for the whole
// process, file writes and reads, tree snapshots to prove that nothing was
// written where it should not be, and the way a target reports a broken
// promise (a message on standard error, then abort, which libFuzzer records
// as a crash with the input that caused it).
#ifndef SITEKIT_FUZZSUPPORT_H
#define SITEKIT_FUZZSUPPORT_H

#include <cstddef>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

namespace fuzz {

// Prints "broken promise: <message>" to standard error and aborts.
[[noreturn]] void fail(const char *format, ...) __attribute__((format(printf, 1, 2)));

// The input as a string.
inline std::string_view bytes(const uint8_t *data, std::size_t size) {
    return {reinterpret_cast<const char *>(data), size};
}

// Splits the input at every occurrence of separator into at most max_parts
// parts (the last takes the rest); missing parts are empty.
std::vector<std::string_view> split(std::string_view input, std::string_view separator,
                                    std::size_t max_parts);

// The lines of a text as the line readers hand them out: ended by LF, CR or
// CR LF (the last line needs no end). With cut_at_nul, each line is cut at
// its first NUL byte, as a reader of C strings sees it.
std::vector<std::string> lines_of(std::string_view text, bool cut_at_nul = false);

// A fresh directory below $TMPDIR (or /tmp), made the process's site root
// on first use and removed when the process exits normally.
const std::string &site_root();

// site_root() joined with a relative name.
std::string root_path(std::string_view rel);

// Removes the directory below the root (with everything in it) and creates
// it again empty, with its parents. Returns its full path.
std::string fresh_dir(std::string_view rel);

// Writes the bytes to path, replacing it (parents created).
void write_file(const std::string &path, std::string_view bytes);

// The whole file; aborts when it cannot be read.
std::string read_file(const std::string &path);

bool exists(const std::string &path);

// Every name below dir, relative, directories with a trailing "/", mapped
// to the file's bytes ("" for directories, "-> target" for symbolic links).
// Names below skip (a relative name of a directory) are left out.
using Tree = std::map<std::string, std::string>;
Tree snapshot(const std::string &dir, std::string_view skip = {});

// Aborts, naming what differs, when the trees are not equal.
void expect_same_tree(const Tree &before, const Tree &after, const char *what);

// Aborts unless dir holds exactly the names (not recursive), naming what
// is missing or extra.
void expect_files(const std::string &dir, const std::set<std::string> &names, const char *what);

// The names directly in dir.
std::set<std::string> list_dir(const std::string &dir);

// Sends standard output to /dev/null: the checks print their messages there,
// which would bury libFuzzer's own report.
void quiet_stdout();

// Writes the bytes to the file rel below the site root (replacing it) and
// returns its full path.
std::string write_root_file(std::string_view rel, std::string_view bytes);

// From begin_capture to end_capture standard output goes to a file below
// the site root; end_capture returns what was printed in between.
void begin_capture();
std::string end_capture();

} // namespace fuzz

#endif
