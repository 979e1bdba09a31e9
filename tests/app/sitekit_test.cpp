// The sitekit program's global options, its dispatch and the settings file
// reader, run as a program.
#include "apptest.h"

#include <gtest/gtest.h>

#include <sstream>

#include <unistd.h>

using apptest::on_site;
using apptest::sitekit;

namespace {

TEST(SitekitProgram, PrintsVersionAndHelpOnStdout) {
    auto v = sitekit({"--version"});
    EXPECT_EQ(v.status, 0);
    EXPECT_EQ(v.out, "sitekit " SITEKIT_TEST_VERSION "\n");
    EXPECT_EQ(v.err, "");
    auto h = sitekit({"--help"});
    EXPECT_EQ(h.status, 0);
    EXPECT_NE(h.out.find("usage: sitekit"), std::string::npos);
}

TEST(SitekitProgram, RejectsBadGlobalCommandLines) {
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{}, "no command given"},
        {{"frobnicate"}, "unknown command 'frobnicate'"},
        {{"--frob", "log", "x"}, "unknown option '--frob'"},
        {{"--root"}, "'--root' needs a directory"},
        {{"--root", "/nonexistent/sitekit-root", "release", "/x"}, "is not a directory"},
    };
    for (const auto &c : cases) {
        auto r = sitekit(c.args);
        EXPECT_EQ(r.status, 2) << c.message;
        EXPECT_EQ(r.out, "") << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("usage: sitekit"), std::string::npos) << r.err;
    }
}

// Each command of the main help gives the same help to 'help NAME' and to
// 'NAME --help', starting from its own usage.
TEST(SitekitProgram, OutputThatCannotBeWrittenIsAFailure) {
    auto r = sitekit({"--version"}, "", "exec >/dev/full;");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot write the output: No space left on device"), std::string::npos) << r.err;
}

TEST(SitekitProgram, EveryListedCommandHasItsHelp) {
    std::string main_help = sitekit({"--help"}).out;
    EXPECT_EQ(sitekit({"help", "help"}).out, main_help);
    std::istringstream lines(main_help.substr(main_help.find("Commands:\n") + 10));
    int count = 0;
    for (std::string line; std::getline(lines, line) && line.starts_with("  "); ++count) {
        std::string name = line.substr(2, line.find(' ', 2) - 2);
        if (name == "help")
            continue;
        auto help = sitekit({"help", name});
        EXPECT_EQ(help.status, 0) << name;
        EXPECT_TRUE(help.out.starts_with("usage: sitekit " + name + " ")) << help.out;
        EXPECT_EQ(sitekit({name, "--help"}).out, help.out) << name;
    }
    EXPECT_GE(count, 14);
}

// The static program must run where nothing but itself exists: inside the
// daemon's chroot there are no shared libraries.
TEST(SitekitProgram, StaticProgramRunsAloneInAChroot) {
#ifndef SITEKIT_TEST_STATIC
    GTEST_SKIP() << "programs are not built static (SITEKIT_STATIC_PROGRAMS=OFF)";
#else
    if (geteuid() != 0)
        GTEST_SKIP() << "chroot needs root";
    sktest::TempDir jail;
    std::string copy = jail / "sitekit";
    auto cp = sktest::run_command("cp " + apptest::quote(sktest::build_path("src/app/sitekit")) + " " +
                                  apptest::quote(copy));
    ASSERT_EQ(cp.status, 0) << cp.err;
    auto r = sktest::run_command("chroot " + apptest::quote(jail.path()) + " /sitekit --version");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "sitekit " SITEKIT_TEST_VERSION "\n");

    // The hook's case: a ZIP checked inside the chroot, paths as the daemon gives them.
    sktest::write_file(jail / "ftp-data/sitekit/checks.conf", "zip_extract *.diz\nzip_success %s: %s\\n\n");
    sktest::write_file(jail / "work/file_id.diz", "inside\n");
    sktest::make_dirs(jail / "site/Rel");
    auto z = sktest::run_command("cd " + apptest::quote(jail / "work") +
                                 " && zip -q ../site/Rel/up.zip file_id.diz");
    ASSERT_EQ(z.status, 0) << z.err;
    r = sktest::run_command("USER=alice chroot " + apptest::quote(jail.path()) +
                            " /sitekit check up.zip /site/Rel 0");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Checking zip-file: Done\n");
    EXPECT_EQ(sktest::read_file(jail / "site/Rel/file_id.diz"), "inside\n");
#endif
}

} // namespace

namespace {

// who hands its options to the monitor program and returns its status.
TEST(SitekitProgram, WhoRunsTheMonitorProgram) {
    auto r = sitekit({"who", "-h"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("usage: siteview"), std::string::npos) << r.out;
    r = sitekit({"who", "-k", "notanumber"});
    EXPECT_NE(r.status, 0);
    EXPECT_NE(r.err.find("siteview"), std::string::npos) << r.err;
}

} // namespace
