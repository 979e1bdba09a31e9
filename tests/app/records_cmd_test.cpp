// sitekit stats, user, group and nukes, run as programs on temporary site roots.
#include "apptest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>

using apptest::on_site;
using sktest::read_file;
using sktest::write_file;

namespace {

const std::string kUserfile = "USER Tour user\n"
                              "CREDITS 1000 0\n"
                              "RATIO 3 0\n"
                              "ALLUP 10 2048 60 1 1 1\n"
                              "WKUP 2 100 5\n"
                              "DAYUP 1 50 2\n";

TEST(StatsCommand, AddsResetsAndReadsTheRatio) {
    sktest::SiteRoot site;
    write_file(site / "ftp-data/users/alice", kUserfile);
    auto r = on_site(site, {"stats", "add", "--credits", "300", "alice", "1", "4096", "10"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, site / "ftp-data/users/alice" + ": 4 lines updated\n");
    EXPECT_EQ(read_file(site / "ftp-data/users/alice"), "USER Tour user\n"
                                                        "CREDITS 1300 0\n"
                                                        "RATIO 3 0\n"
                                                        "ALLUP 11 6144 70 1 1 1\n"
                                                        "WKUP 3 4196 15\n"
                                                        "DAYUP 2 4146 12\n");
    // Negative numbers subtract (they are not taken for options).
    r = on_site(site, {"stats", "add", "alice", "-1", "-4096", "-10"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = on_site(site, {"stats", "add", "alice", "1", "4096", "10"});
    ASSERT_EQ(r.status, 0) << r.err;
    r = on_site(site, {"stats", "reset", "alice", "WKUP", "DAYUP"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out,
              site / "ftp-data/users/alice" + ": 2 lines reset\nwas: WKUP 3 4196 15\nwas: DAYUP 2 4146 12\n");
    EXPECT_NE(read_file(site / "ftp-data/users/alice").find("WKUP 0 0 0\nDAYUP 0 0 0\n"), std::string::npos);

    r = on_site(site, {"stats", "ratio", site / "ftp-data/users/alice", "0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "3\n");
    r = on_site(site, {"stats", "ratio", "--json", "alice", "1"});
    EXPECT_EQ(r.out, "{\"userfile\":\"" + site / "ftp-data/users/alice" + "\",\"section\":1,\"ratio\":0}\n");
    r = on_site(site, {"stats", "ratio", "alice", "5"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no RATIO value for section 5"), std::string::npos);
}

TEST(StatsCommand, BadCommandLinesChangeNothing) {
    sktest::SiteRoot site;
    write_file(site / "ftp-data/users/alice", kUserfile);
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{"stats"}, 2, "missing action"},
        {{"stats", "grow", "alice"}, 2, "unknown action 'grow'"},
        {{"stats", "add", "alice", "1", "2"}, 2, "missing argument"},
        {{"stats", "add", "alice", "1", "2", "3", "4"}, 2, "unexpected argument '4'"},
        {{"stats", "add", "alice", "one", "2", "3"}, 2, "FILES must be a whole number, not 'one'"},
        {{"stats", "add", "alice", "1", "2k", "3"}, 2, "KBYTES must be a whole number"},
        {{"stats", "add", "alice", "1", "2", "99999999999"}, 2, "SECONDS must be a whole number"},
        {{"stats", "add", "--section", "-1", "alice", "1", "2", "3"},
         2,
         "--section must be a section number"},
        {{"stats", "add", "--credits", "x", "alice", "1", "2", "3"}, 2, "--credits must be a whole number"},
        {{"stats", "reset", "--section", "1", "alice", "WKUP"}, 2, "belong to 'add'"},
        {{"stats", "reset", "alice"}, 2, "missing argument"},
        {{"stats", "ratio", "alice", "x"}, 2, "SECTION must be a section number"},
        {{"stats", "add", "bob", "1", "2", "3"}, 1, "cannot read the userfile"},
        {{"stats", "ratio", site / "nope/bob", "0"}, 1, "cannot read the userfile"},
    };
    sktest::expect_refused(site.path(), cases, [&](const auto &c) { return on_site(site, c.args); });
}

class AccountCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        write_file(site / "etc/passwd", "glftpd:x:0:0:Admin:/site:/bin/false\n"
                                        "alice:pw:100:300:Alice A:/site:/bin/false\n"
                                        "123:pw:7:300::/site:/bin/false\n");
        write_file(site / "etc/group", "SiteOps:x:300:alice,bob\nNoMembers:x:301:\n");
    }
    sktest::SiteRoot site;
};

TEST_F(AccountCommands, LooksUpUsersAndGroupsByNameAndId) {
    auto r = on_site(site, {"user", "alice"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(
        r.out,
        "name:  alice\nuid:   100\ngid:   300 (SiteOps)\ngecos: Alice A\nhome:  /site\nshell: /bin/false\n");
    EXPECT_EQ(on_site(site, {"user", "100"}).out, r.out);
    r = on_site(site, {"user", "--json", "123"}); // no uid 123: the name "123"
    EXPECT_EQ(
        r.out,
        "{\"name\":\"123\",\"uid\":7,\"gid\":300,\"group\":\"SiteOps\",\"gecos\":\"\",\"home\":\"/site\","
        "\"shell\":\"/bin/false\"}\n");
    r = on_site(site, {"group", "300"});
    EXPECT_EQ(r.out, "name:    SiteOps\ngid:     300\nmembers: alice bob\n");
    r = on_site(site, {"--json", "group", "NoMembers"});
    EXPECT_EQ(r.out, "{\"name\":\"NoMembers\",\"gid\":301,\"members\":[]}\n");
    r = on_site(site, {"user", "--etc", site / "etc", "glftpd"});
    EXPECT_EQ(r.status, 0);
}

TEST_F(AccountCommands, MissingRecordsAndFilesAreReported) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{"user", "carol"}, 1, "no user 'carol'"},
        {{"user", "555"}, 1, "no user '555'"},
        {{"group", "Nobody"}, 1, "no group 'Nobody'"},
        {{"user", "99999999999"}, 2, "out of range"},
        {{"user"}, 2, "missing argument"},
        {{"group", "a", "b"}, 2, "unexpected argument 'b'"},
        {{"user", "--etc", site / "nowhere", "alice"}, 2, "does not exist"},
        {{"user", "--etc", site.path(), "alice"}, 1, "cannot read " + site / "passwd"},
    };
    for (const auto &c : cases) {
        auto r = on_site(site, c.args);
        EXPECT_EQ(r.status, c.status) << c.message << "\n" << r.err;
        EXPECT_EQ(r.out, "") << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
}

// A 392-byte nuke log record, offsets written out.
std::string nuke(uint16_t status, int64_t time, const char *nuker, const char *nukee, uint16_t mult,
                 float amount, const char *reason, const char *dir) {
    std::string r(392, '\0');
    std::memcpy(&r[0], &status, 2);
    std::memcpy(&r[8], &time, 8);
    std::memcpy(&r[16], nuker, std::strlen(nuker));
    std::memcpy(&r[28], nuker, std::strlen(nuker)); // the unnuker field
    std::memcpy(&r[40], nukee, std::strlen(nukee));
    std::memcpy(&r[52], &mult, 2);
    std::memcpy(&r[56], &amount, 4);
    std::memcpy(&r[60], reason, std::strlen(reason));
    std::memcpy(&r[120], dir, std::strlen(dir));
    return r;
}

TEST(NukesCommand, ListsReleasesNewestFirst) {
    sktest::SiteRoot site;
    write_file(site / "ftp-data/logs/nukelog",
               nuke(0, 1000, "op", "alice", 3, 30.4f, "bad.rar", "/site/Old.Rel") +
                   nuke(0, 1000, "op", "bob", 3, 10.6f, "bad.rar", "/site/Old.Rel") +
                   nuke(0, 2000, "op2", "carol", 2, 5.0f, "dupe", "/site/New.Rel"));
    auto r = on_site(site, {"nukes"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "/site/New.Rel [x2 op2 dupe] (carol 5)\n"
                     "/site/Old.Rel [x3 op bad.rar] (alice 30) (bob 11)\n");
    r = on_site(site, {"nukes", "--json", site / "ftp-data/logs/nukelog"});
    EXPECT_EQ(r.out.substr(0, 120),
              "[{\"dirname\":\"/site/New.Rel\",\"type\":\"nuke\",\"multiplier\":2,\"by\":\"op2\","
              "\"reason\":\"dupe\",\"time\":2000,\"total\":5,\"nukees\":[{\"na");
    r = on_site(site, {"nukes", site / "none"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("cannot read the nuke log"), std::string::npos);
    EXPECT_EQ(on_site(site, {"nukes", "a", "b"}).status, 2);
}

// Releases of one second come newest record first, also when the log is
// not in time order and has to be sorted (enough releases that an unstable
// sort would mix them).
TEST(NukesCommand, ReleasesOfOneSecondKeepTheReadersOrder) {
    sktest::SiteRoot site;
    std::string log, odd, even;
    for (int i = 0; i < 60; ++i) {
        std::string dir = "/site/Rel." + std::to_string(i);
        log += nuke(0, 1000 + i % 2, "op", "alice", 1, 1.0f, "r", dir.c_str());
        (i % 2 ? odd : even).insert(0, dir + " [x1 op r] (alice 1)\n");
    }
    write_file(site / "nukelog", log);
    auto r = on_site(site, {"nukes", site / "nukelog"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, odd + even);
}

// Large enough for the output to be written in several blocks: the
// streamed array must still be one JSON document.
TEST(NukesCommand, StreamedJsonIsOneDocument) {
    sktest::SiteRoot site;
    std::string log;
    for (int i = 0; i < 2000; ++i)
        log += nuke(0, 1000 + i / 2, "op", i % 2 ? "bob" : "alice", 2, 1.5f * static_cast<float>(i),
                    "bad \"rar\"", ("/site/Rel." + std::to_string(i / 2)).c_str());
    write_file(site / "nukelog", log);
    std::string json = site / "out.json";
    ASSERT_EQ(
        on_site(site, {"nukes", "--json", site / "nukelog"}, "", "exec >" + sktest::quote(json) + ";").status,
        0);
    auto check = sktest::run_command(
        "python3 -c 'import json,sys; d=json.load(sys.stdin); assert len(d)==1000' <" + sktest::quote(json));
    EXPECT_EQ(check.status, 0) << check.err;
}

} // namespace
