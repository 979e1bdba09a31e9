// sitekit dirlog / dupe / dupelog / log / announce / msg, run as a program
// on a temporary site root.
#include "apptest.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstring>
#include <regex>

using apptest::on_site;
using apptest::snapshot;
using sktest::read_file;
using sktest::write_file;

namespace {

constexpr size_t kRec = 288;

uint64_t le(const std::string &b, size_t off, size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i)
        v |= uint64_t(static_cast<unsigned char>(b[off + i])) << (8 * i);
    return v;
}

std::string dirlog_record(const std::string &name, uint16_t uid, uint16_t files, uint64_t bytes) {
    std::string r(kRec, '\0');
    r[8] = char(uid & 0xff);
    r[9] = char(uid >> 8);
    r[12] = char(files & 0xff);
    for (int i = 0; i < 8; ++i)
        r[16 + i] = char((bytes >> (8 * i)) & 0xff);
    std::memcpy(&r[24], name.data(), name.size());
    return r;
}

class SitelogsCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        site.mkdirs("ftp-data/logs");
        site.mkdirs("ftp-data/msgs");
        write_file(site / "site/incoming/Some.Release-GRP/a.rar", std::string(10, 'a'));
        write_file(site / "site/incoming/Some.Release-GRP/b.r00", std::string(20, 'b'));
        write_file(site / "site/incoming/Some.Release-GRP/info.nfo", std::string(7, 'n'));
        write_file(site / "ftp-data/logs/dirlog", dirlog_record("/site/other", 5, 1, 99));
    }
    sktest::SiteRoot site;
};

TEST_F(SitelogsCommands, DirlogUpdateWritesTheDaemonsNameThenReplacesIt) {
    std::string dir = site / "site/incoming/Some.Release-GRP";
    auto r = on_site(site, {"dirlog", "update", "--uid", "100", "--gid", "300", dir + "/"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "updated /site/incoming/Some.Release-GRP: 2 files, 30 bytes, uid 100, gid 300\n");
    std::string log = read_file(site / "ftp-data/logs/dirlog");
    ASSERT_EQ(log.size(), 2 * kRec);
    EXPECT_EQ(log.substr(0, kRec), dirlog_record("/site/other", 5, 1, 99));
    std::string rec = log.substr(kRec);
    EXPECT_EQ(le(rec, 8, 2), 100u);
    EXPECT_EQ(le(rec, 10, 2), 300u);
    EXPECT_EQ(le(rec, 12, 2), 2u);
    EXPECT_EQ(le(rec, 16, 8), 30u);
    EXPECT_STREQ(rec.c_str() + 24, "/site/incoming/Some.Release-GRP");

    // A new file, then a second update: the record is replaced in place.
    write_file(dir + "/c.r01", std::string(5, 'c'));
    r = on_site(site, {"dirlog", "update", "--json", dir});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("\"files\":3,\"bytes\":35"), std::string::npos) << r.out;
    log = read_file(site / "ftp-data/logs/dirlog");
    ASSERT_EQ(log.size(), 2 * kRec);
    EXPECT_EQ(le(log.substr(kRec), 16, 8), 35u);
}

TEST_F(SitelogsCommands, DirlogListPrintsEveryRecordAsTextAndJson) {
    write_file(site / "ftp-data/logs/dirlog",
               dirlog_record("/site/a", 1, 2, 3) + dirlog_record("/site/b \"x\"", 7, 8, 9) + "partial");
    auto r = on_site(site, {"dirlog", "list"}, "TZ=UTC");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1970-01-01 00:00:00  uid 1  gid 0  files 2  bytes 3  /site/a\n"
                     "1970-01-01 00:00:00  uid 7  gid 0  files 8  bytes 9  /site/b \"x\"\n");
    EXPECT_NE(r.err.find("incomplete record"), std::string::npos);
    r = on_site(site, {"--json", "dirlog", "list"});
    ASSERT_EQ(r.status, 0);
    EXPECT_EQ(r.out,
              "[{\"dirname\":\"/site/"
              "a\",\"user_id\":1,\"group_id\":0,\"files\":2,\"bytes\":3,\"time\":0,\"status\":0},\n"
              " {\"dirname\":\"/site/b "
              "\\\"x\\\"\",\"user_id\":7,\"group_id\":0,\"files\":8,\"bytes\":9,\"time\":0,\"status\":0}]\n");
}

// The listing converts one local hour at a time: an hour with a change of
// the clock inside it (St. John's changed at 00:01 local time until 2011)
// and the hours before 1970, in a zone whose offset is not whole hours.
TEST_F(SitelogsCommands, DirlogListLocalTimesAcrossAClockChange) {
    std::string log;
    for (int32_t when : {544591800, 544591859, 544591860, 544593659, -1800, -1, 0, 1799}) {
        std::string r = dirlog_record("/x", 0, 0, 0);
        for (int i = 0; i < 4; ++i)
            r[4 + i] = char((static_cast<uint32_t>(when) >> (8 * i)) & 0xff);
        log += r;
    }
    write_file(site / "ftp-data/logs/dirlog", log);
    auto r = on_site(site, {"dirlog", "list"}, "TZ=America/St_Johns");
    ASSERT_EQ(r.status, 0) << r.err;
    std::string times;
    for (size_t at = 0; at < r.out.size(); at = r.out.find('\n', at) + 1)
        times += r.out.substr(at, 19) + "\n";
    EXPECT_EQ(times, "1987-04-05 00:00:00\n1987-04-05 00:00:59\n1987-04-05 01:01:00\n1987-04-05 01:30:59\n"
                     "1969-12-31 20:00:00\n1969-12-31 20:29:59\n1969-12-31 20:30:00\n1969-12-31 20:59:59\n");
}

// Large enough for the output to be written in several blocks: the
// streamed array must still be one JSON document.
TEST_F(SitelogsCommands, StreamedDirlogJsonIsOneDocument) {
    std::string log;
    for (int i = 0; i < 2000; ++i)
        log += dirlog_record("/site/Rel." + std::to_string(i), 1, 2, 3);
    write_file(site / "ftp-data/logs/dirlog", log);
    std::string json = site / "out.json";
    ASSERT_EQ(on_site(site, {"--json", "dirlog", "list"}, "", "exec >" + sktest::quote(json) + ";").status,
              0);
    auto check = sktest::run_command(
        "python3 -c 'import json,sys; d=json.load(sys.stdin); assert len(d)==2000' <" + sktest::quote(json));
    EXPECT_EQ(check.status, 0) << check.err;
}

TEST_F(SitelogsCommands, ListingThatCannotBeWrittenIsAFailure) {
    for (const auto &args : {std::vector<std::string>{"dirlog", "list"}, {"--json", "dirlog", "list"}}) {
        auto r = on_site(site, args, "", "exec >/dev/full;");
        EXPECT_EQ(r.status, 1) << args[0];
        EXPECT_NE(r.err.find("cannot write the output: No space left on device"), std::string::npos) << r.err;
    }
}

TEST_F(SitelogsCommands, JsonKeepsUtf8NamesAndEscapesOtherBytes) {
    write_file(site / "ftp-data/logs/dirlog",
               dirlog_record("/site/\xc3\xa9t\xc3\xa9", 1, 2, 3) + dirlog_record("/site/\xe9t\xe9", 1, 2, 3));
    auto r = on_site(site, {"--json", "dirlog", "list"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.out.find("{\"dirname\":\"/site/\xc3\xa9t\xc3\xa9\","), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("{\"dirname\":\"/site/\\udce9t\\udce9\","), std::string::npos) << r.out;
}

TEST_F(SitelogsCommands, WritersAppendTheDaemonsRecordsAndLines) {
    auto r = on_site(site, {"dupe", "add", "a.rar", "alice"});
    ASSERT_EQ(r.status, 0) << r.err;
    std::string dupe = read_file(site / "ftp-data/logs/dupefile");
    ASSERT_EQ(dupe.size(), kRec);
    EXPECT_STREQ(dupe.c_str(), "a.rar");
    EXPECT_EQ(dupe.find_first_not_of('\0', 6), dupe.find_first_not_of('\0', 256)) // the name is zero-filled
        << "name field not zero-filled";
    EXPECT_LT(dupe.find_first_not_of('\0', 256), 260u); // a time follows it
    EXPECT_STREQ(dupe.c_str() + 260, "alice");

    ASSERT_EQ(on_site(site, {"dupelog", "add", "Some.Release-GRP"}).status, 0);
    EXPECT_TRUE(std::regex_match(read_file(site / "ftp-data/logs/dupelog"),
                                 std::regex("[0-9]{6} Some\\.Release-GRP\n")));

    ASSERT_EQ(on_site(site, {"log", "hello world"}).status, 0);
    ASSERT_EQ(on_site(site, {"announce", "NEWDIR", "/site/x"}).status, 0);
    EXPECT_TRUE(std::regex_match(
        read_file(site / "ftp-data/logs/glftpd.log"),
        std::regex("\\w{3} \\w{3} \\d\\d \\d\\d:\\d\\d:\\d\\d \\d{4} hello world\n"
                   "\\w{3} \\w{3} \\d\\d \\d\\d:\\d\\d:\\d\\d \\d{4} NEWDIR: \"/site/x\"\n")));

    ASSERT_EQ(on_site(site, {"msg", "bob", "alice", "see you"}).status, 0);
    std::string msg = read_file(site / "ftp-data/msgs/alice");
    EXPECT_TRUE(msg.starts_with("From: bob ("));
    EXPECT_TRUE(msg.ends_with(")" + std::string(74, '-') + "\nsee you\n")) << msg;
}

// A text that brings its own quotes gets none added, so it may be two
// characters longer than a plain one: the front takes what the writer takes.
TEST_F(SitelogsCommands, AnnounceTakesAQuotedTextUpToTheLinesLimit) {
    std::string quoted = "\"" + std::string(1018, 't') + "\""; // "E: " and that: 1023 characters
    auto r = on_site(site, {"announce", "E", quoted});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_NE(read_file(site / "ftp-data/logs/glftpd.log").find("E: " + quoted + "\n"), std::string::npos);
    r = on_site(site, {"announce", "E", quoted + "t"});
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("longer than 1023"), std::string::npos) << r.err;
}

// Every refused command line: exit status 2, a message on stderr, nothing
// on stdout, and no file of the site changed.
TEST_F(SitelogsCommands, BadCommandLinesChangeNothing) {
    std::string dir = site / "site/incoming/Some.Release-GRP";
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{"dirlog"}, 2, "missing action"},
        {{"dirlog", "sync", dir}, 2, "unknown action 'sync'"},
        {{"dirlog", "update"}, 2, "missing argument"},
        {{"dirlog", "update", dir, "extra"}, 2, "unexpected argument 'extra'"},
        {{"dirlog", "update", "--uid", "12x", dir}, 2, "--uid needs a whole number, not '12x'"},
        {{"dirlog", "update", "--gid", "-1", dir}, 2, "--gid needs a whole number"},
        {{"dirlog", "update", "--config", site / "nope.conf", dir}, 2, "cannot read the configuration"},
        {{"dirlog", "update", site / "site/missing"}, 2, "No such file or directory"},
        {{"dirlog", "update", dir + "/a.rar"}, 2, "is not a directory"},
        {{"dirlog", "list", "--uid", "1"}, 2, "'list' takes only --json"},
        {{"dirlog", "list", "--bogus"}, 2, "unknown option '--bogus'"},
        {{"dupe", "add", "a.rar"}, 2, "missing argument"},
        {{"dupe", "add", std::string(256, 'x'), "alice"}, 2, "FILE is 256 bytes"},
        {{"dupe", "add", "a.rar", std::string(28, 'u')}, 2, "USER is 28 bytes"},
        {{"dupe", "remove", "a", "b"}, 2, "unknown action 'remove'"},
        {{"dupelog", "add"}, 2, "missing argument"},
        {{"log"}, 2, "missing argument"},
        {{"log", "a", "b"}, 2, "unexpected argument 'b'"},
        {{"log", "two\nlines"}, 2, "TEXT must be one line"},
        {{"announce", "EVENT"}, 2, "missing argument"},
        {{"announce", "E", std::string(1100, 't')}, 2, "longer than 1023"},
        {{"msg", "bob", "../alice", "hi"}, 2, "TO must be a user name"},
        {{"msg", "bob", "alice"}, 2, "missing argument"},
        {{"dirlog", "list", "--root", site.path()}, 2, "global options go before the subcommand"},
    };
    sktest::expect_refused(site.path(), cases, [&](const auto &c) { return on_site(site, c.args); });
}

TEST_F(SitelogsCommands, MissingDaemonFilesAreReportedNotCreated) {
    sktest::SiteRoot bare;
    bare.mkdirs("site/rel");
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"dirlog", "update", bare / "site/rel"}, "the daemon creates it"},
        {{"dirlog", "list"}, "cannot read the directory log"},
        {{"dupe", "add", "f", "u"}, "does not exist"},
        {{"dupelog", "add", "n"}, "does not exist"},
        {{"log", "t"}, "does not exist"},
        {{"msg", "a", "b", "t"}, "does not exist"},
    };
    std::string before = snapshot(bare.path());
    for (const auto &c : cases) {
        auto r = on_site(bare, c.args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(snapshot(bare.path()), before);
}

} // namespace
