// The commands on daemon and settings files that are not what they should
// be: a FIFO in a file's place, and a directory log on a full disk.
#include "apptest.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

using apptest::on_site;
using apptest::snapshot;
using sktest::read_file;
using sktest::write_file;

namespace {

// A site whose daemon and settings files are all there and regular.
void fill_site(const sktest::SiteRoot &site) {
    for (const char *log : {"dirlog", "dupefile", "dupelog", "glftpd.log", "nukelog"})
        write_file(site / "ftp-data/logs" + "/" + log, "");
    write_file(site / "ftp-data/logs/dirlog", std::string(288, '\0'));
    write_file(site / "ftp-data/msgs/bob", "");
    write_file(site / "etc/passwd", "bob:x:100:300::/site:/bin/false\n");
    write_file(site / "etc/group", "Ops:x:300:bob\n");
    write_file(site / "etc/glftpd.conf", "rootpath /\n");
    write_file(site / "ftp-data/sitekit/checks.conf", "zip_success ok\n");
    write_file(site / "site/rel/up.zip", "PK");
}

// The arguments with "@/" standing for the site root.
std::vector<std::string> below(const sktest::SiteRoot &site, const std::vector<std::string> &args) {
    std::vector<std::string> out;
    for (const std::string &a : args)
        out.push_back(a.starts_with("@/") ? site / a.substr(2) : a);
    return out;
}

// Each command with a FIFO in place of the one file it opens: it must not
// wait for a writer, and refuses with its documented status and a message
// on standard error that names the file.
TEST(DaemonFiles, AFifoInAFilesPlaceIsRefusedAtOnce) {
    struct Case {
        std::string fifo; // below the site root
        std::vector<std::string> args;
        int status;
    } cases[] = {
        {"ftp-data/logs/dirlog", {"dirlog", "list"}, 1},
        {"ftp-data/logs/dirlog", {"dirlog", "update", "@/site/rel"}, 1},
        {"etc/glftpd.conf", {"dirlog", "update", "@/site/rel"}, 2},
        {"my.conf", {"dirlog", "update", "--config", "@/my.conf", "@/site/rel"}, 2},
        {"ftp-data/logs/dupefile", {"dupe", "add", "f", "bob"}, 1},
        {"ftp-data/logs/dupelog", {"dupelog", "add", "n"}, 1},
        {"ftp-data/logs/glftpd.log", {"log", "t"}, 1},
        {"ftp-data/msgs/bob", {"msg", "a", "bob", "t"}, 1},
        {"ftp-data/logs/nukelog", {"nukes"}, 1},
        {"etc/passwd", {"user", "bob"}, 1},
        {"etc/group", {"group", "Ops"}, 1},
        {"ftp-data/sitekit/checks.conf", {"check", "--user", "bob", "up.zip", "@/site/rel"}, 2},
        {"my.conf", {"check", "--config", "@/my.conf", "--user", "bob", "up.zip", "@/site/rel"}, 2},
    };
    for (const auto &c : cases) {
        sktest::SiteRoot site;
        fill_site(site);
        std::string fifo = site / c.fifo;
        ::unlink(fifo.c_str());
        ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
        std::string before = snapshot(site.path());
        auto r = on_site(site, below(site, c.args), apptest::watchdog(10));
        EXPECT_EQ(r.status, c.status) << c.fifo << "\n" << r.err;
        EXPECT_EQ(r.out, "") << c.fifo;
        EXPECT_NE(r.err.find(fifo + ": it is not a regular file but a FIFO"), std::string::npos) << r.err;
        EXPECT_EQ(snapshot(site.path()), before) << c.fifo;
    }
}

// A full disk (the file size limit of the shell: 1 block of 512 bytes) lets
// only part of a new record or line in. The command says why on standard
// error, and the log keeps its whole records and lines only.
TEST(DaemonFiles, AppendsOnAFullDiskSayWhyAndLeaveTheLog) {
    struct Case {
        std::string log;
        std::vector<std::string> args;
        std::string message; // before the path
    } cases[] = {
        {"ftp-data/logs/dirlog", {"dirlog", "update", "@/site/rel"}, "cannot write the directory log "},
        {"ftp-data/logs/dupefile", {"dupe", "add", "some.rar", "bob"}, "cannot write "},
        {"ftp-data/logs/glftpd.log", {"log", "a line that does not fit"}, "cannot write "},
    };
    for (const auto &c : cases) {
        sktest::SiteRoot site;
        fill_site(site);
        std::string log = site / c.log;
        write_file(log, c.log.ends_with(".log") ? std::string(499, 'x') + "\n" : std::string(288, '\0'));
        std::string before = read_file(log);
        auto r = on_site(site, below(site, c.args), apptest::watchdog(10), "trap '' XFSZ; ulimit -f 1;");
        EXPECT_EQ(r.status, 1) << r.err;
        EXPECT_EQ(r.out, "");
        EXPECT_NE(r.err.find(c.message + log + ": File too large"), std::string::npos) << r.err;
        std::string after = read_file(log);
        EXPECT_EQ(after.size(), before.size()) << c.log;
        EXPECT_TRUE(after == before) << c.log;
    }
}

} // namespace
