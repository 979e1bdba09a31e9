// Helpers shared by the check tests: archives built and read back by
// Python's zipfile, and a check run in a child process with limits.
#ifndef SITEKIT_CHECKS_SUPPORT_H
#define SITEKIT_CHECKS_SUPPORT_H

#include <functional>
#include <sys/types.h>
#include <string>
#include <vector>

#include "testsupport.h"

namespace checks {

struct Entry {
    std::string name;
    int method;
    std::string date; // YYYY-MM-DD_HH:MM:SS
    std::string data;
};

struct Archive {
    std::string comment;
    std::vector<Entry> entries;
};

// Runs tests/checks/ziptool.py with the arguments (already quoted).
std::string ziptool(const std::string &args);
// Builds an archive with Python's zipfile from a JSON description.
void build_zip(const std::string &out, const std::string &layout_json);
// Reads every entry back with Python's zipfile (which checks every CRC).
Archive read_zip(const std::string &path);
// True when Info-ZIP's unzip -t finds no error.
bool unzip_test_ok(const std::string &path);
using sktest::quote;
// The names in a folder, sorted ("." and ".." left out).
std::vector<std::string> names_in(const std::string &dir);

// Starts body in a child process with standard output and error sent to
// /dev/null; the child exits with its result. Returns the child's id.
pid_t start_child(const std::function<int()> &body);
// Waits for the child; its exit status, or 128 + the signal that ended it.
int wait_child(pid_t pid);

} // namespace checks

#endif
