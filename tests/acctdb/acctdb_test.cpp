#include "acctdb.h"

#include <cstdio>
#include <cstdlib>
#include <optional>
#include <random>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "acctscan.h"
#include "linefile.h"
#include "testsupport.h"

namespace {

using sktest::write_file;

// The group chain as a caller frees it: the module has no call for it.
void free_groups() {
    while (pwd_grouplist) {
        pwd_group *next = pwd_grouplist->next;
        std::free(pwd_grouplist->members);
        std::free(pwd_grouplist);
        pwd_grouplist = next;
    }
}

// The caches are process-wide: every test starts from an empty module.
void reset_module() {
    _pwd_finalize(pwd_userlist);
    pwd_userlist = nullptr;
    pwd_lastupdate = 0;
    free_groups();
    pwd_set_etcdir(nullptr);
}

std::string passwd_line(int i) {
    char line[200];
    (void)std::snprintf(line, sizeof line, "user%03d:$1$s%03d$abcdefghijklm:%d:%d:%d:/site:/bin/false\n", i,
                        i, 100 + i, 300 + i % 7, 1617235200 + i);
    return line;
}

// A passwd file like the daemon's: the siteop, a few hundred users.
std::string site_passwd(int users) {
    std::string text = "glftpd:$6$root$abcdefghijklmnopqrstu:0:0:1617235200:/site:/bin/false\n";
    for (int i = 1; i <= users; ++i)
        text += passwd_line(i);
    return text;
}

std::string site_group(int groups) {
    std::string text = "glftpd:All Users:100:\n";
    for (int i = 1; i <= groups; ++i)
        text += "grp" + std::to_string(i) + ":Group number " + std::to_string(i) + ":" +
                std::to_string(300 + i) + ":user" + std::to_string(i) + ",user" + std::to_string(i + 1) +
                "\n";
    return text;
}

void set_mtime(const std::string &path, time_t sec, long nsec) {
    struct timespec times[2] = {{sec, nsec}, {sec, nsec}};
    ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

struct timespec mtime_of(const std::string &path) {
    struct stat st {};
    EXPECT_EQ(stat(path.c_str(), &st), 0);
    return st.st_mtim;
}

class Acctdb : public ::testing::Test {
  protected:
    void SetUp() override { reset_module(); }
    void TearDown() override { reset_module(); }

    sktest::SiteRoot root;
    std::string etc = root.mkdirs("etc");
    std::string passwd = etc + "/passwd";
    std::string group = etc + "/group";
};

TEST_F(Acctdb, DefaultDirectoryIsUnderTheSiteRootAndAGivenOneIsUsedAsGiven) {
    EXPECT_EQ(_etcdir, nullptr);
    EXPECT_EQ(std::string(_pwd_get_etcdir()), etc);
    write_file(passwd, site_passwd(3));
    ASSERT_NE(pwd_getpwnam("user002"), nullptr);

    sktest::TempDir other;
    pwd_set_etcdir(other.path().c_str());
    EXPECT_EQ(std::string(_pwd_get_etcdir()), other.path());
    write_file(other / "passwd", "elsewhere:x:7:7::/site:/bin/false\n");
    EXPECT_NE(pwd_getpwnam("elsewhere"), nullptr);
    EXPECT_EQ(pwd_getpwnam("user002"), nullptr);

    pwd_set_etcdir(nullptr);
    EXPECT_EQ(std::string(_pwd_get_etcdir()), etc);
}

TEST_F(Acctdb, LooksUpUsersOfASiteByNameAndId) {
    write_file(passwd, site_passwd(400));
    pwd_user *first = pwd_getpwnam("user001");
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->uid, 101);
    EXPECT_EQ(first->gid, 301);
    EXPECT_STREQ(first->passwd, "$1$s001$abcdefghijklm");
    EXPECT_STREQ(first->gecos, "1617235201");
    EXPECT_STREQ(first->home, "/site");
    EXPECT_STREQ(first->shell, "/bin/false");

    EXPECT_STREQ(pwd_getpwuid(0)->name, "glftpd");
    EXPECT_STREQ(pwd_getpwuid(300)->name, "user200");
    EXPECT_EQ(pwd_getpwnam("user400")->uid, 500);
    EXPECT_EQ(pwd_getpwnam("user401"), nullptr);
    EXPECT_EQ(pwd_getpwuid(501), nullptr);
    EXPECT_EQ(pwd_getpwnam("USER001"), nullptr);
    EXPECT_EQ(pwd_getpwnam("user00"), nullptr);
    EXPECT_EQ(pwd_getpwnam(nullptr), nullptr);
    // The later line comes first in the cache.
    EXPECT_STREQ(pwd_userlist->name, "user400");
}

// Lookups give the later of two lines with one name or one uid, across a
// rewrite of the file and a shrink to one line.
TEST_F(Acctdb, LookupsFollowTheLaterLineAcrossRewrites) {
    struct version {
        const char *text;
        std::vector<std::pair<const char *, int>> uid_of_name; // -1: not found
        std::vector<std::pair<int, const char *>> name_of_uid; // NULL: not found
    };
    const std::vector<version> versions = {
        {"a:x:1:1::/h:/s\nb:x:2:2::/h:/s\na:x:3:3::/h:/s\nc:x:2:2::/h:/s\n",
         {{"a", 3}, {"b", 2}, {"c", 2}, {"d", -1}},
         {{1, "a"}, {2, "c"}, {3, "a"}, {4, nullptr}}},
        {"d:x:4:4::/h:/s\na:x:5:5::/h:/s\nb:x:6:6::/h:/s\nd:x:7:7::/h:/s\n",
         {{"d", 7}, {"a", 5}, {"b", 6}, {"c", -1}},
         {{4, "d"}, {7, "d"}, {2, nullptr}, {3, nullptr}}},
        {"b:x:8:8::/h:/s\n", {{"b", 8}, {"a", -1}, {"d", -1}}, {{8, "b"}, {5, nullptr}, {7, nullptr}}},
    };
    long step = 0;
    for (const version &v : versions) {
        SCOPED_TRACE(v.text);
        write_file(passwd, v.text);
        set_mtime(passwd, 1600000000 + ++step * 100, 0);
        for (auto [name, uid] : v.uid_of_name) {
            pwd_user *u = pwd_getpwnam(name);
            EXPECT_EQ(u ? u->uid : -1, uid) << name;
        }
        for (auto [uid, name] : v.name_of_uid) {
            pwd_user *u = pwd_getpwuid(uid);
            EXPECT_STREQ(u ? u->name : nullptr, name) << uid;
        }
    }
}

TEST_F(Acctdb, PasswdLineShapes) {
    std::string name29(29, 'n'), name30(30, 'n');
    std::string home299 = "/" + std::string(298, 'h'), home300 = "/" + std::string(299, 'h');
    std::string shell200 = "/" + std::string(199, 's'), home200 = "/" + std::string(199, 'h');
    struct Case {
        std::string line;
        const char *lookup;
        bool found;
        int uid;
    } cases[] = {
        {"seven:x:5:6:gecos:/site:/bin/false", "seven", true, 5},
        {"six:x:5:6:/site:/bin/false", "six", false, 0},
        {"eight:x:5:6:g:/site:/bin/false:extra", "eight", false, 0},
        {"empties:::::::", "empties", false, 0},
        {"empties::5::::", "empties", true, 5},
        {"letters:x:abc:xyz:g:/h:/s", "letters", true, 0},
        {"prefix:x:12abc:1:g:/h:/s", "prefix", true, 12},
        {"negative:x:-5:1:g:/h:/s", "negative", true, -5},
        {"huge:x:99999999999:1:g:/h:/s", "huge", false, 0},
        {name29 + ":x:29:1:g:/h:/s", name29.c_str(), true, 29},
        {name30 + ":x:30:1:g:/h:/s", name29.c_str(), false, 0},
        {"longpass:" + std::string(30, 'p') + ":1:1:g:/h:/s", "longpass", false, 0},
        {"gecos49:x:49:1:" + std::string(49, 'g') + ":/h:/s", "gecos49", true, 49},
        {"gecos50:x:50:1:" + std::string(50, 'g') + ":/h:/s", "gecos50", false, 0},
        {"home299:x:299:1:g:" + home299 + ":/s", "home299", true, 299},
        {"home300:x:300:1:g:" + home300 + ":/s", "home300", false, 0},
        {"longline:x:400:1:g:" + home200 + ":" + shell200, "longline", true, 400},
        {"crlf:x:7:1:g:/h:/bin/sh\r", "crlf", true, 7},
        {"", "", false, 0},
    };
    for (const auto &c : cases) {
        reset_module();
        write_file(passwd, "anchor:x:1:1:g:/h:/s\n\n" + c.line + "\nlast:x:2:2:g:/h:/s\n");
        pwd_user *u = pwd_getpwnam(c.lookup);
        EXPECT_EQ(u != nullptr, c.found) << c.line;
        if (u && c.found) {
            EXPECT_EQ(u->uid, c.uid) << c.line;
        }
        EXPECT_NE(pwd_getpwnam("anchor"), nullptr) << c.line;
        EXPECT_NE(pwd_getpwnam("last"), nullptr) << c.line;
    }
    reset_module();
    write_file(passwd, "longline:x:400:1:g:" + home200 + ":" + shell200 + "\r\ncrlf:x:7:1:g:/h:/bin/sh\r\n");
    EXPECT_EQ(std::string(pwd_getpwnam("longline")->shell), shell200);
    EXPECT_STREQ(pwd_getpwnam("crlf")->shell, "/bin/sh");
}

TEST_F(Acctdb, TheLaterOfTwoLinesIsFound) {
    write_file(passwd, "twin:x:10:1:first:/h:/s\nother:x:11:1:g:/h:/s\ntwin:x:12:1:second:/h:/s\n"
                       "samuid:x:11:1:later:/h:/s\n");
    EXPECT_EQ(pwd_getpwnam("twin")->uid, 12);
    EXPECT_STREQ(pwd_getpwuid(11)->name, "samuid");
}

TEST_F(Acctdb, SeesAFileReplacedBetweenTwoLookups) {
    write_file(passwd, site_passwd(300));
    ASSERT_NE(pwd_getpwnam("user150"), nullptr);
    std::string next = etc + "/passwd.new";
    write_file(next, site_passwd(10) + "newcomer:x:900:1:g:/site:/bin/false\n");
    ASSERT_EQ(rename(next.c_str(), passwd.c_str()), 0);
    EXPECT_EQ(pwd_getpwnam("user150"), nullptr);
    ASSERT_NE(pwd_getpwnam("newcomer"), nullptr);
    EXPECT_EQ(pwd_getpwnam("newcomer")->uid, 900);
}

// A change within the same second, even of the same size with the time stamp
// set back to the very same nanosecond, is seen.
TEST_F(Acctdb, SeesAChangeThatKeepsSizeAndTimeStamp) {
    write_file(passwd, "alpha:x:1:1:g:/h:/s\n");
    ASSERT_EQ(pwd_getpwnam("alpha")->uid, 1);
    struct timespec loaded = mtime_of(passwd);
    EXPECT_EQ(pwd_lastupdate, loaded.tv_sec);

    write_file(passwd, "alpha:x:2:1:g:/h:/s\n");
    EXPECT_EQ(pwd_getpwnam("alpha")->uid, 2);

    write_file(passwd, "alpha:x:3:1:g:/h:/s\n");
    set_mtime(passwd, mtime_of(passwd).tv_sec, mtime_of(passwd).tv_nsec); // same status as written
    struct timespec t = mtime_of(passwd);
    ASSERT_EQ(pwd_getpwnam("alpha")->uid, 3);
    write_file(passwd, "alpha:x:4:1:g:/h:/s\n");
    set_mtime(passwd, t.tv_sec, t.tv_nsec);
    EXPECT_EQ(pwd_getpwnam("alpha")->uid, 4);
}

TEST_F(Acctdb, KeepsItsRecordsWhileTheFileIsUnchanged) {
    write_file(passwd, site_passwd(50));
    pwd_user *recent = pwd_getpwnam("user010");
    ASSERT_NE(recent, nullptr);
    // Still inside the window in which the content is compared.
    EXPECT_EQ(pwd_getpwnam("user010"), recent);
    EXPECT_EQ(pwd_getpwuid(110), recent);

    // An old file is trusted by its status alone: the same status means no
    // new read, so the cache keeps its records.
    set_mtime(passwd, 1600000000, 123456789);
    pwd_user *old = pwd_getpwnam("user010");
    ASSERT_NE(old, nullptr);
    EXPECT_EQ(pwd_lastupdate, 1600000000);
    std::string text = site_passwd(50);
    text.replace(text.find("user010"), 7, "user0X0");
    write_file(passwd, text);
    set_mtime(passwd, 1600000000, 123456789);
    EXPECT_EQ(pwd_getpwnam("user010"), old);
}

TEST_F(Acctdb, LoadsAFileDatedAtTheEpoch) {
    write_file(passwd, "epoch:x:1:1:g:/h:/s\n");
    set_mtime(passwd, 0, 0);
    ASSERT_NE(pwd_getpwnam("epoch"), nullptr);
    EXPECT_EQ(pwd_lastupdate, 0);
}

TEST_F(Acctdb, MissingOrUnreadablePasswdFile) {
    EXPECT_EQ(pwd_getpwnam("user001"), nullptr); // nothing there yet
    write_file(passwd, site_passwd(20));
    ASSERT_NE(pwd_getpwnam("user001"), nullptr);
    time_t loaded = pwd_lastupdate;

    // Gone: the cached records still answer.
    ASSERT_EQ(unlink(passwd.c_str()), 0);
    EXPECT_NE(pwd_getpwnam("user001"), nullptr);

    // Present but not readable as a file: the cache is empty, and the next
    // lookup tries again.
    ASSERT_EQ(mkdir(passwd.c_str(), 0755), 0);
    EXPECT_EQ(pwd_getpwnam("user001"), nullptr);
    EXPECT_EQ(pwd_userlist, nullptr);
    EXPECT_EQ(pwd_lastupdate, loaded);
    ASSERT_EQ(rmdir(passwd.c_str()), 0);
    write_file(passwd, site_passwd(20));
    EXPECT_NE(pwd_getpwnam("user001"), nullptr);
}

TEST_F(Acctdb, FinalizingTheCacheMakesTheNextLookupLoadAgain) {
    write_file(passwd, site_passwd(20));
    ASSERT_NE(pwd_getpwnam("user005"), nullptr);
    _pwd_finalize(pwd_userlist);
    EXPECT_EQ(pwd_userlist, nullptr);
    EXPECT_NE(pwd_getpwnam("user005"), nullptr);
}

TEST_F(Acctdb, GroupLineShapes) {
    write_file(group, site_group(200) +
                          "three:x:7\n"
                          "four:x:8:alice,bob\n"
                          "five:x:9:carol:ignored\n"
                          "emptymembers:x:10:\n"
                          "two:x\n"
                          "nonnumeric:x:abc:\n"
                          "longname" +
                          std::string(30, 'g') +
                          ":x:11:\n"
                          "dup:x:12:first\n"
                          "dup:x:13:second\n");
    pwd_group *g = pwd_getgpnam("three");
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->gid, 7);
    EXPECT_EQ(g->members, nullptr);
    EXPECT_STREQ(pwd_getgpnam("four")->members, "alice,bob");
    EXPECT_STREQ(pwd_getgpnam("five")->members, "carol");
    EXPECT_STREQ(pwd_getgpnam("emptymembers")->members, "");
    EXPECT_EQ(pwd_getgpnam("two"), nullptr);
    EXPECT_EQ(pwd_getgpnam("nonnumeric")->gid, 0);
    EXPECT_EQ(pwd_getgpnam(("longname" + std::string(21, 'g')).c_str()), nullptr);
    EXPECT_EQ(pwd_getgpnam("dup")->gid, 13);
    EXPECT_STREQ(pwd_getgpgid(12)->members, "first");
    EXPECT_STREQ(pwd_getgpgid(500)->name, "grp200");
    EXPECT_STREQ(pwd_getgpgid(100)->passwd, "All Users");
    EXPECT_EQ(pwd_getgpgid(4242), nullptr);
    EXPECT_EQ(pwd_getgpnam("GRP1"), nullptr);
}

TEST_F(Acctdb, GroupsAfterAnEmptyLineAreFound) {
    write_file(group, "before:x:1:\n\nafter:x:2:\r\n\r\nlast:x:3:z");
    EXPECT_NE(pwd_getgpnam("before"), nullptr);
    EXPECT_NE(pwd_getgpnam("after"), nullptr);
    EXPECT_STREQ(pwd_getgpgid(3)->members, "z");
}

TEST_F(Acctdb, GroupFileIsReadOnceItGaveARecord) {
    EXPECT_EQ(pwd_getgpnam("grp1"), nullptr); // missing: tried again next time
    write_file(group, "");
    EXPECT_EQ(pwd_getgpnam("grp1"), nullptr); // no record yet: tried again too
    write_file(group, site_group(5));
    ASSERT_NE(pwd_getgpnam("grp1"), nullptr);
    write_file(group, "newgroup:x:77:\n");
    EXPECT_EQ(pwd_getgpnam("newgroup"), nullptr);
    EXPECT_NE(pwd_getgpnam("grp5"), nullptr);
}

// An account file of a few blocks of the one-pass scan: names and ids
// repeat, some lines are skipped by the cache (wrong field count, a field
// too long, an id out of range), lines end in LF, CR LF or a lone CR, some
// hold a NUL byte, and one skipped line is longer than a block.
// prefix followed by n; built by appending, which keeps g++ 12 from a false
// -Wrestrict on a literal joined to a temporary string.
std::string numbered(const char *prefix, int n) {
    std::string text(prefix);
    text += std::to_string(n);
    return text;
}

std::string tangled_file(bool group, unsigned seed) {
    std::mt19937 rnd(seed);
    auto pick = [&](int n) { return static_cast<int>(rnd() % static_cast<unsigned>(n)); };
    const char *ends[] = {"\n", "\r\n", "\r", "\n\n", "\r\r\n"};
    std::string text;
    for (int i = 0; i < 3000; ++i) {
        std::string line = numbered("n", pick(400)) + numbered(":x:", pick(400)) + ":";
        if (group)
            line += pick(4) ? numbered("m", pick(99)) + numbered(",m", i) : "";
        else
            line += std::to_string(pick(50)) + ":" + std::string(pick(60), 'g') + ":/site:/bin/false";
        switch (pick(40)) {
        case 0:
            line += ":extra";
            break;
        case 1:
            line.erase(line.rfind(':'));
            break;
        case 2:
            line.insert(line.find(":x:") + 1, std::string(30, 'p'));
            break;
        case 3:
            line.insert(line.find(":x:") + 3, "99999999999");
            break;
        case 4:
            line.insert(line.size() / 2, 1, '\0');
            break;
        default:
            break;
        }
        if (i == 1500)
            line += std::string(150000, 'm'); // a member list, or a shell too long
        text += line;
        text += ends[pick(5)];
    }
    text += numbered("n", 1) + std::string(200000, 'z') + ":x:1:1:g:/h:/s\n";
    return text;
}

std::string name_of(const pwd_user *u) {
    return u ? std::string(u->name) + "|" + u->passwd + "|" + std::to_string(u->uid) + "|" +
                   std::to_string(u->gid) + "|" + u->gecos + "|" + u->home + "|" + u->shell
             : "none";
}

std::string name_of(const pwd_group *g, const char *members) {
    return g ? std::string(g->name) + "|" + g->passwd + "|" + std::to_string(g->gid) + "|" +
                   (members ? members : "NULL")
             : "none";
}

// Forward in memory and backward from the file in blocks of any size, the
// lines with text are those the line file reader hands out, cut at a NUL.
TEST_F(Acctdb, LinesAreSplitAsTheLineFileReaderSplitsThem) {
    using namespace std::string_literals;
    std::string text = "\r\nfirst\r\r\n\nx\0hidden\rsecond\n\0gone\n"s + tangled_file(true, 3) + "\rlast";
    write_file(group, text);
    std::vector<std::string> read;
    sk::line_file file;
    ASSERT_TRUE(file.open(group.c_str()));
    file.each_line([&](const char *line, int, int64_t) {
        if (*line)
            read.emplace_back(line);
    });
    std::vector<std::string> forward;
    sk::acct::each_line(text, [&](std::string_view line) { forward.emplace_back(line); });
    EXPECT_EQ(forward, read);
    ASSERT_EQ(read[1], "x");
    for (std::size_t block : {1, 2, 3, 7, 4096, 1 << 20}) {
        std::vector<std::string> backward;
        EXPECT_TRUE(sk::acct::each_file_line_backward(group.c_str(), block, [&](std::string_view line) {
            backward.emplace(backward.begin(), line);
            return false;
        }));
        EXPECT_EQ(backward, read) << block;
    }
}

// The one-pass scans give what the cache gives for every name and id, by
// itself and for a command's "id first, then name".
TEST_F(Acctdb, OnePassScanAnswersAsTheCache) {
    write_file(passwd, tangled_file(false, 1));
    write_file(group, tangled_file(true, 2));
    for (int k = -1; k < 410; k += 2) {
        const std::string name = numbered("n", k), other = numbered("n", 3 * k + 1);
        const std::optional<int> no_id;
        const std::optional<std::string_view> no_name;
        const sk::acct::lookup_key keys[] = {{k, no_name}, {no_id, name}, {k, name}, {k + 1, other}};
        for (const sk::acct::lookup_key &key : keys) {
            SCOPED_TRACE(std::to_string(key.id.value_or(-2)) + " " + std::string(key.name.value_or("-")));
            std::string wanted_name(key.name.value_or(""));
            pwd_user *u = key.id ? pwd_getpwuid(*key.id) : nullptr;
            if (!u && key.name)
                u = pwd_getpwnam(wanted_name.c_str());
            pwd_user scanned{};
            bool found = sk::acct::scan_user(passwd.c_str(), key, scanned);
            EXPECT_EQ(found ? name_of(&scanned) : "none", name_of(u));

            pwd_group *g = key.id ? pwd_getgpgid(*key.id) : nullptr;
            if (!g && key.name)
                g = pwd_getgpnam(wanted_name.c_str());
            sk::acct::found_group sg;
            found = sk::acct::scan_group(group.c_str(), key, sg);
            EXPECT_EQ(found ? name_of(&sg.record, sg.has_members ? sg.members.c_str() : nullptr) : "none",
                      name_of(g, g ? g->members : nullptr));
        }
    }
}

// The group index gives the later of two valid lines (the earlier where the
// later is skipped), and answers from the new file once the chain was freed
// and loaded again, also from a file that shrank.
TEST_F(Acctdb, GroupIndexFollowsTheLinearRuleAcrossReloads) {
    struct version {
        std::string text;
        std::vector<std::pair<const char *, int>> gid_of_name; // -1: not found
        std::vector<std::pair<int, const char *>> name_of_gid; // NULL: not found
    };
    const std::vector<version> versions = {
        {site_group(300) + "dup:x:1:first\nsame:x:5:a\ndup:x:2:second\nother:x:5:b\nsame:x\nlast:x:6\n",
         {{"dup", 2}, {"same", 5}, {"other", 5}, {"grp300", 600}, {"last", 6}, {"gone", -1}},
         {{1, "dup"}, {2, "dup"}, {5, "other"}, {600, "grp300"}, {7, nullptr}}},
        {"other:x:7:\ndup:x:8:\nsame:x:9:\n",
         {{"other", 7}, {"dup", 8}, {"same", 9}, {"grp300", -1}, {"last", -1}},
         {{7, "other"}, {5, nullptr}, {600, nullptr}}},
        {"last:x:10:\n",
         {{"last", 10}, {"dup", -1}, {"other", -1}},
         {{10, "last"}, {7, nullptr}, {8, nullptr}}},
    };
    for (int round = 0; round < 2; ++round) {
        for (const version &v : versions) {
            SCOPED_TRACE(v.text.substr(0, 40));
            free_groups(); // freed and loaded again, perhaps at the old head's address
            write_file(group, v.text);
            for (auto [name, gid] : v.gid_of_name) {
                pwd_group *g = pwd_getgpnam(name);
                EXPECT_EQ(g ? g->gid : -1, gid) << name;
            }
            for (auto [gid, name] : v.name_of_gid) {
                pwd_group *g = pwd_getgpgid(gid);
                EXPECT_STREQ(g ? g->name : nullptr, name) << gid;
            }
        }
    }
    EXPECT_STREQ(pwd_getgpgid(10)->members, "");

    // A chain the caller put in place is what lookups read.
    free_groups();
    pwd_grouplist = static_cast<pwd_group *>(std::calloc(1, sizeof(pwd_group)));
    (void)std::snprintf(pwd_grouplist->name, sizeof pwd_grouplist->name, "mine");
    pwd_grouplist->gid = 42;
    EXPECT_EQ(pwd_getgpnam("mine"), pwd_grouplist);
    EXPECT_EQ(pwd_getgpgid(42), pwd_grouplist);
    EXPECT_EQ(pwd_getgpnam("last"), nullptr);
    EXPECT_EQ(pwd_getgpgid(10), nullptr);
}

} // namespace
