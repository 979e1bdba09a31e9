// The updater program, run as a site operator would run it.
#include <algorithm>
#include <string>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "recordbytes.h"
#include "testsupport.h"

namespace {

using sktest::read_file;
using sktest::write_file;

const std::string kUsage = "glftpd DIRLOG update utility v3.1\n"
                           "\n"
                           "dlsync [-r /pathto/glftpd.conf] [-i ...] [-h] <full directory path>\n"
                           " Options:\n"
                           " -r /path/file : alternative path to config file\n"
                           " -i ...        : unlimited number of dirs to skip\n"
                           "                 \".\", \"..\" and \"groups\" are skipped by default\n"
                           " -h            : this screen\n";

// A daemon tree in a temporary directory: its configuration names the tree
// as the root path, so that records hold names as the daemon sees them.
class Dlsync : public ::testing::Test {
  protected:
    sktest::TempDir site;
    std::string log = site / "ftp-data/logs/dirlog";

    void SetUp() override {
        write_file(log, "");
        write_file(site / "etc/glftpd.conf", "rootpath " + site.path() + "\ndatapath /ftp-data\n");
    }
    sktest::RunResult run(const std::string &args) {
        return sktest::run_command("SITEKIT_ROOT='" + site.path() + "' '" +
                                   sktest::build_path("src/sitelogs/dlsync") + "' " + args);
    }
};

TEST_F(Dlsync, PrintsTheUsageTextForHelpAndBadCommandLines) {
    const char *lines[] = {"-h", "", "-x /site/new", "-r", "-i", "/site/a /site/b", "-h /site/new"};
    for (const char *args : lines) {
        sktest::RunResult r = run(args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_EQ(r.out, kUsage) << args;
        EXPECT_EQ(r.err, "") << args;
    }
    EXPECT_EQ(read_file(log), "");
}

TEST_F(Dlsync, SkipsDefaultAndIgnoredNamesWithoutWriting) {
    sktest::make_dirs(site / "site/groups");
    sktest::make_dirs(site / "site/requests");
    const char *lines[] = {"'"
                           "SITE/groups",
                           "'"
                           "SITE/groups/",
                           "'"
                           "SITE/.",
                           "'"
                           "SITE/..",
                           "-i requests -i other '"
                           "SITE/requests"};
    for (std::string args : lines) {
        args.replace(args.find("SITE"), 4, site.path() + "/site");
        args += "'";
        sktest::RunResult r = run(args);
        EXPECT_EQ(r.status, 0) << args;
        EXPECT_EQ(r.out, "") << args;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << args << ": " << r.err;
    }
    EXPECT_EQ(read_file(log), "");
}

TEST_F(Dlsync, WritesOverTheOldRecordThenAppendsANewOne) {
    std::string rel = site / "site/Some.Release-GRP";
    write_file(rel + "/a.rar", std::string(1000, 'a'));
    write_file(rel + "/a.nfo", std::string(50, 'n'));
    struct stat st;
    ASSERT_EQ(stat(rel.c_str(), &st), 0);

    sktest::RunResult r = run("'" + rel + "'");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "");
    std::string bytes = read_file(log);
    ASSERT_EQ(bytes.size(), 288u);
    recbytes::Dirlog d = recbytes::dirlog(bytes, 0);
    EXPECT_EQ(d.dirname, "/site/Some.Release-GRP");
    EXPECT_EQ(d.files, 1);
    EXPECT_EQ(d.bytes, 1000u);
    EXPECT_EQ(d.user_id, static_cast<uint16_t>(st.st_uid));
    EXPECT_EQ(d.group_id, static_cast<uint16_t>(st.st_gid));
    EXPECT_TRUE(d.unset_bytes_zero);

    write_file(rel + "/a.r00", std::string(500, 'b'));
    r = run("'" + rel + "/'"); // a trailing slash names the same directory
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    bytes = read_file(log);
    ASSERT_EQ(bytes.size(), 288u);
    EXPECT_EQ(recbytes::dirlog(bytes, 0).files, 2);
    EXPECT_EQ(recbytes::dirlog(bytes, 0).bytes, 1500u);

    std::string other = site / "site/Other-GRP";
    write_file(other + "/x.zip", "zip");
    r = run("'" + other + "'");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    bytes = read_file(log);
    ASSERT_EQ(bytes.size(), 2 * 288u);
    EXPECT_EQ(recbytes::dirlog(bytes, 0).dirname, "/site/Some.Release-GRP");
    EXPECT_EQ(recbytes::dirlog(bytes, 1).dirname, "/site/Other-GRP");
    EXPECT_EQ(recbytes::dirlog(bytes, 1).bytes, 3u);
}

TEST_F(Dlsync, ReadsTheConfigurationNamedByDashR) {
    std::string conf = site / "other.conf";
    write_file(conf, "ROOTPATH " + site.path() + "/site\n");
    std::string rel = site / "site/new";
    write_file(rel + "/f", "12");
    sktest::RunResult r = run("-r '" + conf + "' '" + rel + "'");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(recbytes::dirlog(read_file(log), 0).dirname, "/new");

    // A missing configuration is reported and the root path stays empty.
    write_file(log, "");
    r = run("-r '" + site.path() + "/missing.conf' '" + rel + "'");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "Bad or missing config file (" + site.path() + "/missing.conf), using defaults\n");
    EXPECT_EQ(recbytes::dirlog(read_file(log), 0).dirname, rel);
}

TEST_F(Dlsync, FailsWithoutWritingOnAMissingLogOrDirectory) {
    std::string rel = site / "site/new";
    sktest::make_dirs(rel);
    sktest::RunResult r = run("'" + site.path() + "/site/missing'");
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err, "");
    r = run("site/new");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(log), "");

    ASSERT_EQ(unlink(log.c_str()), 0);
    r = run("'" + rel + "'");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Cannot open " + log + "\n");
    EXPECT_FALSE(sktest::file_exists(log));
}

} // namespace
