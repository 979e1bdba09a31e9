// Runs the sitekit program on a temporary site root.
#ifndef SITEKIT_TESTS_APPTEST_H
#define SITEKIT_TESTS_APPTEST_H

#include "testsupport.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

namespace apptest {

using sktest::quote;

// sitekit with the given arguments (each quoted); env is prepended as is
// ("USER=alice"), and the command runs with an empty environment apart
// from PATH, HOME and what env names. shell runs first in the same shell
// ("ulimit -f 1;").
sktest::RunResult sitekit(const std::vector<std::string> &args, const std::string &env = "",
                          const std::string &shell = "");

// sitekit --root ROOT args...
sktest::RunResult on_site(const sktest::SiteRoot &site, const std::vector<std::string> &args,
                          const std::string &env = "", const std::string &shell = "");

// What to pass as env so that a command that hangs is killed after
// seconds (exit status 124) instead of holding up the tests.
std::string watchdog(int seconds, const std::string &env = "");

using sktest::snapshot;

// A 288-byte directory log record, the offsets written out: time at 4,
// user id at 8, files at 12, bytes at 16, the name at 24.
std::string dirlog_bytes(const std::string &dirname, int32_t time, uint16_t uid, uint16_t files,
                         uint64_t bytes);

// A 392-byte nuke log record: status at 0, time at 8, nuker at 16 (and the
// unnuker at 28), nukee at 40, multiplier at 52, reason at 60, the
// directory at 120.
std::string nukelog_bytes(uint16_t status, int64_t time, const std::string &nuker, uint16_t multiplier,
                          const std::string &reason, const std::string &dirname);

// Parses json with Python and evaluates check there, with the parsed value
// bound to d; status 0 when it parses and check holds, else the error on err.
sktest::RunResult python_json(const std::string &json, const std::string &check);

} // namespace apptest

#endif
