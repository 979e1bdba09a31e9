// sitekit stats top, run as a program on a temporary site root.
#include "apptest.h"

#include <gtest/gtest.h>

using apptest::on_site;
using sktest::write_file;

namespace {

class StatsTop : public ::testing::Test {
  protected:
    void SetUp() override {
        write_file(site / "etc/passwd", "alice:x:100:300::/site:/bin/false\n"
                                        "bob:x:101:301::/site:/bin/false\n"
                                        "carol:x:102:300::/site:/bin/false\n");
        write_file(site / "etc/group", "SiteOps:ops:300:\nFriends:f:301:carol\n");
        write_file(users("alice"), "USER alice\nALLUP 10 2048 4 7 70 1\nALLDN 1 100 0\nWKUP 3 1536 2\n"
                                   "WKDN 0 0 0\n");
        write_file(users("bob"), "USER bob\r\nALLUP 200 3145728 10\r\nALLDN 5 5000000 100\r\nWKUP 0 0 0\r\n"
                                 "WKDN 2 10 1\r\n");
        write_file(users("carol"), "USER carol\nALLUP 1 500 0\nALLDN 9 9 9\nWKUP 1 1 1\nWKDN 0 0 0\n");
        write_file(users("default.user"), "ALLUP 999 999999999 1\n");
        write_file(users("alice.pre-tmp"), "ALLUP 999 999999999 1\n");
    }
    std::string users(const std::string &name) const { return site / ("ftp-data/users/" + name); }
    sktest::SiteRoot site;
};

TEST_F(StatsTop, RanksUploadersByBytesWithGroupsAndHumanUnits) {
    auto r = on_site(site, {"stats", "top"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1. bob    Friends  200 files  3.0 GiB  307.2 MiB/s\n"
                     "2. alice  SiteOps   10 files  2.0 MiB    512 KiB/s\n"
                     "3. carol  SiteOps     1 file  500 KiB            -\n");
    EXPECT_EQ(r.err, "");
    r = on_site(site, {"stats", "top", "--by", "files", "--limit", "1", "--section", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1. alice  SiteOps  7 files  70 KiB  70 KiB/s\n");
}

TEST_F(StatsTop, DownloadsOfAPeriodAsJson) {
    auto r = on_site(site, {"stats", "top", "down", "--period", "week", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "[{\"rank\":1,\"name\":\"bob\",\"group\":\"Friends\",\"files\":2,\"kbytes\":10,"
                     "\"seconds\":1,\"amount\":\"10 KiB\",\"speed_kibs\":10.0}]\n");
    r = on_site(site, {"--json", "stats", "top", "down", "--by", "time"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto check = apptest::python_json(r.out, "[x['name'] for x in d] == ['bob', 'carol', 'alice'] and "
                                             "d[2]['speed_kibs'] is None and d[0]['amount'] == '4.8 GiB'");
    EXPECT_EQ(check.status, 0) << check.err;
}

TEST_F(StatsTop, GroupMembersFromPasswdAndGroupFiles) {
    // bob's passwd group is Friends; carol is listed as a member.
    auto r = on_site(site, {"stats", "top", "--group", "Friends"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1. bob    Friends  200 files  3.0 GiB  307.2 MiB/s\n"
                     "2. carol  SiteOps     1 file  500 KiB            -\n");
    r = on_site(site, {"stats", "top", "--group", "Nobody"});
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("no group 'Nobody' in the group file"), std::string::npos) << r.err;
}

TEST_F(StatsTop, UserfilesThatDoNotParseAreNamedAndTheRestCounted) {
    write_file(users("dave"), "USER dave\nALLUP 99999999999999999999 1 1\n");
    write_file(users("erin"), "USER erin\nALLUP 1 2\n");
    write_file(users("frank"), "USER frank\n");
    auto r = on_site(site, {"stats", "top", "--limit", "1"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1. bob  Friends  200 files  3.0 GiB  307.2 MiB/s\n");
    for (const std::string &why : {users("dave") + " is left out: its ALLUP line does not parse",
                                   users("erin") + " is left out: its ALLUP line does not parse",
                                   users("frank") + " is left out: it has no ALLUP line"})
        EXPECT_NE(r.err.find("sitekit stats: the userfile " + why + "\n"), std::string::npos) << r.err;
}

TEST_F(StatsTop, BadOptionsAreUsageErrors) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{"stats", "top", "--period", "year"}, 2, "--period is all, month, week or day, not 'year'"},
        {{"stats", "top", "--by", "speed"}, 2, "--by is files, bytes or time, not 'speed'"},
        {{"stats", "top", "sideways"}, 2, "'top' takes up or down, not 'sideways'"},
        {{"stats", "top", "--limit", "-1"}, 2, "--limit needs a whole number from 1"},
        {{"stats", "top", "--section", "x"}, 2, "--section must be a section number"},
        {{"stats", "top", "--credits", "5"}, 2, "belong to 'add'"},
        {{"stats", "ratio", "--by", "files", "alice", "0"}, 2, "belong to 'top'"},
        {{"stats", "top", "--period", "day"}, 1, "it has no DAYUP line"},
    };
    sktest::expect_refused(site.path(), cases, [&](const auto &c) { return on_site(site, c.args); });
}

} // namespace
