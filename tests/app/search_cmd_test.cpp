// sitekit search, run as a program on a temporary site root.
#include "apptest.h"

#include <gtest/gtest.h>

#include <fnmatch.h>

#include <set>

using apptest::dirlog_bytes;
using apptest::nukelog_bytes;
using apptest::on_site;
using sktest::write_file;

namespace {

class SearchCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        write_file(site / "etc/passwd", "alice:x:100:300::/site:/bin/false\n");
        // Out of time order, as updates in place leave the log; a partial
        // record at the end.
        write_file(site / "ftp-data/logs/dirlog",
                   dirlog_bytes("/site/tv/Show.S01E01-TV", 3000, 100, 5, 999) +
                       dirlog_bytes("/site/tv/Show.S01E02-TV/", 4000, 7, 6, 1000) +
                       dirlog_bytes("/site/mp3/Some.Album-GRP", 1000, 100, 10, 12345) +
                       dirlog_bytes("/site/show/Other-GRP", 2000, 100, 1, 1) + "partial");
    }
    sktest::SiteRoot site;
};

TEST_F(SearchCommand, PlainWordMatchesAnywhereInTheNameNewestFirst) {
    auto r = on_site(site, {"search", "sHoW"}, "TZ=UTC");
    ASSERT_EQ(r.status, 0) << r.err;
    // The section folder "show" is not the name: Other-GRP is not found.
    EXPECT_EQ(r.out, "1970-01-01 01:06:40  files 6  bytes 1000  owner 7  /site/tv/Show.S01E02-TV/\n"
                     "1970-01-01 00:50:00  files 5  bytes 999  owner alice  /site/tv/Show.S01E01-TV\n");
    EXPECT_EQ(r.err, "sitekit search: " + site / "ftp-data/logs/dirlog" +
                         " ends with 7 bytes of an incomplete record, left out\n");
    r = on_site(site, {"search", "--limit", "1", "*"}, "TZ=UTC");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1970-01-01 01:06:40  files 6  bytes 1000  owner 7  /site/tv/Show.S01E02-TV/\n");
}

// --limit keeps the newest matches in a heap and compacts their texts as
// the displaced ones pile up: its lines are the first of the full listing,
// in a log out of time order, with ties on the time.
TEST_F(SearchCommand, LimitGivesTheNewestOfTheWholeListing) {
    std::string log;
    uint32_t state = 12345;
    for (int i = 0; i < 3000; ++i) {
        state = state * 1103515245 + 12345;
        log += dirlog_bytes("/site/x/A.Rather.Long.Release.Name.To.Fill.The.Text.Store-" + std::to_string(i),
                            static_cast<int32_t>(state >> 20), 0, 0, 0);
    }
    write_file(site / "ftp-data/logs/dirlog", log);
    auto all = on_site(site, {"search", "release"});
    ASSERT_EQ(all.status, 0) << all.err;
    for (int limit : {1, 7, 2999}) {
        auto r = on_site(site, {"search", "--limit", std::to_string(limit), "release"});
        size_t end = 0;
        for (int line = 0; line < limit; ++line)
            end = all.out.find('\n', end) + 1;
        EXPECT_EQ(r.out, all.out.substr(0, end)) << limit;
    }
}

// The compiled patterns give what fnmatch with FNM_CASEFOLD gives.
TEST_F(SearchCommand, PatternsMatchTheWholeNameAsFnmatchDoes) {
    const std::vector<std::string> names = {
        "Rel.One-GRP", "rel.two-grp", "Some.Show.S01E01.x", "Some.Show.S01E03.x",
        "123.Start",   "odd]name",    "star*name",          "BIG-caps",
        "a-b.c",       "Zed!"};
    std::string log;
    for (const auto &n : names)
        log += dirlog_bytes("/site/x/" + n, 1, 0, 0, 0);
    write_file(site / "ftp-data/logs/dirlog", log);
    for (std::string pattern :
         {"*", "rel*", "*GRP", "?el*", "[rs]*", "[!r]*", "[A-C]*", "[[:digit:]]*", "*[]]*", "*\\**", "R[e]L*",
          "*.s01e0[1-2].*", "[^a-z]*", "*[!a-z]", "?-?.?"}) {
        std::set<std::string> want, got;
        for (const auto &n : names)
            if (fnmatch(pattern.c_str(), n.c_str(), FNM_CASEFOLD) == 0)
                want.insert(n);
        auto r = on_site(site, {"search", "--", pattern});
        EXPECT_EQ(r.status, want.empty() ? 1 : 0) << pattern << "\n" << r.err;
        for (size_t at = 0; at < r.out.size(); at = r.out.find('\n', at) + 1)
            got.insert(r.out.substr(r.out.rfind('/', r.out.find('\n', at)) + 1,
                                    r.out.find('\n', at) - r.out.rfind('/', r.out.find('\n', at)) - 1));
        EXPECT_EQ(got, want) << pattern;
    }
}

TEST_F(SearchCommand, RefusesPatternsItCannotMatch) {
    struct Case {
        std::vector<std::string> args;
        int status;
        std::string message;
    } cases[] = {
        {{"search", ""}, 2, "the pattern is empty"},
        {{"search", "Show["}, 2, "the '[' at position 5 has no closing ']'; write [[] for a '[' itself"},
        {{"search", "[[:digit:]"}, 2, "has no closing ']'"},
        {{"search", "tv/Show"}, 2, "holds a '/'"},
        {{"search", "--limit", "0", "x"}, 2, "--limit needs a whole number from 1"},
        {{"search"}, 2, "missing argument"},
        {{"search", "Nothing.Like.It"}, 1, "incomplete record"},
    };
    sktest::expect_refused(site.path(), cases, [&](const auto &c) { return on_site(site, c.args); });
}

TEST_F(SearchCommand, JsonMarksWhatTheNukeLogNuked) {
    // Episode 1 nuked; episode 2 nuked and unnuked again.
    write_file(site / "ftp-data/logs/nukelog",
               nukelog_bytes(0, 5000, "op", 3, "bad.rip", "/site/tv/Show.S01E01-TV") +
                   nukelog_bytes(0, 5001, "op", 2, "dupe", "/site/tv/Show.S01E02-TV") +
                   nukelog_bytes(1, 5002, "op", 2, "dupe", "/site/tv/Show.S01E02-TV"));
    auto r = on_site(site, {"search", "--nukes", "show"}, "TZ=UTC");
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "1970-01-01 01:06:40  files 6  bytes 1000  owner 7  /site/tv/Show.S01E02-TV/\n"
                     "1970-01-01 00:50:00  files 5  bytes 999  owner alice  /site/tv/Show.S01E01-TV  "
                     "[nuked x3 op bad.rip]\n");
    r = on_site(site, {"--json", "search", "--nukes", "show"});
    ASSERT_EQ(r.status, 0) << r.err;
    auto check = apptest::python_json(
        r.out, "[x['name'] for x in d] == ['Show.S01E02-TV', 'Show.S01E01-TV'] and "
               "[x['nuked'] for x in d] == [False, True] and d[1]['nuke'] == "
               "{'multiplier': 3, 'by': 'op', 'reason': 'bad.rip', 'time': 5000} and "
               "d[1]['owner'] == 'alice' and d[0]['owner'] is None and d[0]['user_id'] == 7 and "
               "d[0]['files'] == 6 and d[0]['bytes'] == 1000 and d[0]['time'] == 4000 and "
               "d[0]['dirname'] == '/site/tv/Show.S01E02-TV/'");
    EXPECT_EQ(check.status, 0) << check.err;
    r = on_site(site, {"search", "--json", "zzz"});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "[]\n");
}

TEST_F(SearchCommand, DupelogLastLoggedFirst) {
    write_file(site / "ftp-data/logs/dupelog", "120126 Show.S01E01-TV\nno-date-here\n120226 Show.S01E02-TV\n"
                                               "120326 Other\n");
    write_file(site / "ftp-data/logs/nukelog",
               nukelog_bytes(0, 5000, "op", 3, "bad", "/site/tv/Show.S01E01-TV"));
    auto r = on_site(site, {"search", "--dupelog", "--nukes", "show"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "120226  Show.S01E02-TV\n120126  Show.S01E01-TV  [nuked x3 op bad]\n");
    EXPECT_EQ(r.err, "sitekit search: " + site / "ftp-data/logs/dupelog" +
                         " has 1 line that is not \"MMDDYY NAME\", left out\n");
}

} // namespace
