// Runs the sitekit program on a temporary site root.
#ifndef SITEKIT_TESTS_APPTEST_H
#define SITEKIT_TESTS_APPTEST_H

#include "testsupport.h"

#include <gtest/gtest.h>

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

} // namespace apptest

#endif
