// sitekit doctor on temporary site roots: a healthy site, and one with many
// faults at once, each of which must give its own line.
#include "apptest.h"
#include "shmtable.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using apptest::on_site;
using sktest::write_file;

namespace {

void healthy_site(const sktest::SiteRoot &site) {
    for (const char *log : {"dirlog", "dupefile", "dupelog", "glftpd.log", "nukelog"})
        write_file(site / "ftp-data/logs" + "/" + log, "");
    sktest::make_dirs(site / "ftp-data/msgs");
    sktest::make_dirs(site / "ftp-data/users");
    write_file(site / "etc/glftpd.conf", "rootpath /glftpd\ndatapath /ftp-data/\n");
    write_file(site / "etc/passwd", "bob:x:100:300::/site:/bin/false\r\nann:x:101:300::/site:/bin/false\n");
    write_file(site / "etc/group", "Ops:x:300:bob,ann\nNone:x:301\n");
    write_file(site / "ftp-data/sitekit/checks.conf", "# comment\nzip_success ok\n");
}

TEST(Doctor, AHealthySiteHasNoProblems) {
    sktest::SiteRoot site;
    healthy_site(site);
    sktest::ShmTable table(2 * sizeof(who_record));
    sktest::RunResult r = on_site(site, {"doctor", "-k", table.key()});
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(r.out, "no problems found\n");
    EXPECT_EQ(r.err, "");
}

TEST(Doctor, SaysWhatToFixOneLineEach) {
    sktest::SiteRoot site;
    healthy_site(site);
    sktest::ShmTable small(100);
    std::string logs = site / "ftp-data/logs/";
    write_file(site / "etc/glftpd.conf", "rootpath glftpd\n");
    ASSERT_EQ(unlink((logs + "dupelog").c_str()), 0);
    ASSERT_EQ(unlink((logs + "nukelog").c_str()), 0);
    ASSERT_EQ(mkfifo((logs + "nukelog").c_str(), 0600), 0);
    ASSERT_EQ(chmod((logs + "glftpd.log").c_str(), 0666), 0);
    ASSERT_EQ(chmod((logs + "dirlog").c_str(), 0444), 0);
    ASSERT_EQ(rmdir((site / "ftp-data/users").c_str()), 0);
    bool root = getuid() == 0;
    if (root) {
        ASSERT_EQ(chown((logs + "dupefile").c_str(), 65534, static_cast<gid_t>(-1)), 0);
    }
    write_file(site / "ftp-data/sitekit/checks.conf", "zip_success ok\nzip_sucess ok\nzip_ad\n");
    write_file(site / "etc/passwd", "bob:x:100:300::/site:/bin/false\nbroken line\n\nann:x:101\n");
    write_file(site / "etc/group", "Ops:x:300:bob\nOps\n");

    sktest::RunResult r = on_site(site, {"doctor", "-k", small.key()});
    EXPECT_EQ(r.status, 1);
    std::string conf = site / "etc/glftpd.conf", settings = site / "ftp-data/sitekit/checks.conf";
    std::string etc = site / "etc/", data = site / "ftp-data/";
    std::string missing = " is missing (No such file or directory): create it ";
    std::string owned = ", owned by the owner of the logs folder";
    std::string skipped = ": the account cache skips it";
    std::vector<std::string> lines = {
        conf + " sets rootpath 'glftpd', which is not an absolute path",
        conf + " sets no datapath: add a line 'datapath /ftp-data'",
        logs + "dirlog has mode 0444: its owner cannot read and write it: chmod u+rw " + logs + "dirlog",
        logs + "dupefile belongs to uid 65534, the logs folder to uid 0: chown 0 " + logs + "dupefile",
        logs + "dupelog" + missing + "(an empty file)" + owned,
        logs + "glftpd.log has mode 0666: every local user can rewrite it: chmod o-w " + logs + "glftpd.log",
        logs + "nukelog: it is not a regular file but a FIFO; put the daemon's file itself there",
        data + "users" + missing + "(mkdir)" + owned,
        settings + ": line 2: unknown key 'zip_sucess'",
        settings + ": line 3: 'zip_ad' has no value (write: zip_ad VALUE)",
        "the online-user table " + small.key() + " holds 100 bytes, less than one slot (904 bytes); check -s",
        etc + "passwd line 2 does not parse as name:password:uid:gid:comment:home:shell" + skipped,
        etc + "passwd line 4 does not parse as name:password:uid:gid:comment:home:shell" + skipped,
        etc + "group line 2 does not parse as name:password:gid[:members]" + skipped,
    };
    std::string expected;
    for (const std::string &line : lines)
        if (root || line.find("belongs to uid") == std::string::npos)
            expected += line + "\n";
    EXPECT_EQ(r.out, expected);

    r = on_site(site, {"doctor", "-k", "nonsense"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("bad table key 'nonsense'"), std::string::npos) << r.err;
}

} // namespace
