#include "infocheck.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "checks_support.h"
#include "testsupport.h"

namespace {

using sktest::read_file;
using sktest::write_file;

std::string take(char *text) {
    std::string s = text ? text : "<null>";
    std::free(text);
    return s;
}

// Every test starts with an empty module-wide pattern list.
void reset_patterns() {
    str_close(_nfo_cleanlist_normal);
    _nfo_cleanlist_normal = nullptr;
}

class NfoCheck : public ::testing::Test {
  protected:
    void SetUp() override {
        reset_patterns();
        ht_init(&table);
        release = tmp / "site/Some.Release-GRP/CD1";
        sktest::make_dirs(release);
        nfo = release + "/rel.nfo";
        ht_put(&table, "path", nfo.c_str());
        ht_put(&table, "user", "alice");
    }
    void TearDown() override {
        ht_finalize(&table);
        reset_patterns();
    }
    void put(const char *key, const std::string &value) { ht_put(&table, key, value.c_str()); }
    int check() {
        testing::internal::CaptureStdout();
        int rc = nfo_check(&table, "rel.nfo", release.c_str(), nullptr);
        out = testing::internal::GetCapturedStdout();
        return rc;
    }
    // Names in the release directory, to see that no temporary file is left.
    int entries_in_release() {
        int n = 0;
        if (DIR *d = opendir(release.c_str())) {
            while (dirent *e = readdir(d))
                n += e->d_name[0] != '.';
            closedir(d);
        }
        return n;
    }

    sktest::TempDir tmp;
    ht_table table;
    std::string release, nfo, out;
};

TEST_F(NfoCheck, RewritesLinesBetweenPrependAndAppend) {
    struct {
        const char *label;
        std::string nfo, expected_body;
    } cases[] = {
        {"LF", "one\ntwo\n", "one\ntwo\n"},
        {"CR LF", "one\r\ntwo\r\n", "one\ntwo\n"},
        {"no final newline", "one\ntwo", "one\ntwo\n"},
        {"empty", "", ""},
        {"blank lines kept", "one\n\n  \ntwo\n", "one\n\n  \ntwo\n"},
        {"NUL inside a line", std::string("ab\0cd\nef\n", 9), "ab\nef\n"},
        {"very long line", std::string(100000, 'L') + "\n", std::string(100000, 'L') + "\n"},
    };
    write_file(tmp / "pre", "== %{USER} presents %{DIR} ==");
    write_file(tmp / "app", "-- end --\r\n");
    put("nfo_prepend", tmp / "pre");
    put("nfo_append", tmp / "app");
    for (const auto &c : cases) {
        SCOPED_TRACE(c.label);
        write_file(nfo, c.nfo);
        ASSERT_EQ(check(), 1);
        EXPECT_EQ(read_file(nfo),
                  "== alice presents Some.Release-GRP/CD1 ==\n" + c.expected_body + "-- end --\n");
        EXPECT_EQ(entries_in_release(), 1);
    }
}

TEST_F(NfoCheck, DropsLinesOfTheCleanList) {
    write_file(tmp / "clean", "  www.spam  \n\n   \n*GREETZ*\nnever matches\n");
    put("nfo_cleanlist", tmp / "clean");
    write_file(nfo, "keep me\nvisit www.spam.example\nWWW.SPAM upper case stays\n\n   \n"
                    "big GREETZ to all\n  padded  \nwww.spa\n");
    ASSERT_EQ(check(), 1);
    // The substring " www.spam " is used trimmed; the empty and space-only
    // lines of the clean list act as whole-line patterns.
    EXPECT_EQ(read_file(nfo), "keep me\nWWW.SPAM upper case stays\n  padded  \nwww.spa\n");
}

TEST_F(NfoCheck, PatternsOfAnEarlierCleanListStillApply) {
    write_file(tmp / "first", "*first*\n");
    write_file(tmp / "second", "second\n");
    put("nfo_cleanlist", tmp / "first");
    write_file(nfo, "a first line\n");
    ASSERT_EQ(check(), 1);
    put("nfo_cleanlist", tmp / "second");
    write_file(nfo, "the first\nthe second\nthe third\n");
    ASSERT_EQ(check(), 1);
    EXPECT_EQ(read_file(nfo), "the third\n");
    // Loading the same list again does not grow the pattern list.
    int before = str_count(_nfo_cleanlist_normal);
    str_close(nfo_clean_load(nullptr, (tmp / "first").c_str()));
    EXPECT_EQ(str_count(_nfo_cleanlist_normal), before);
}

TEST_F(NfoCheck, MissingCleanListPrependAndAppendContributeNothing) {
    put("nfo_cleanlist", tmp / "missing-clean");
    put("nfo_prepend", tmp / "missing-pre");
    put("nfo_append", tmp / "missing-app");
    write_file(nfo, "one\r\ntwo");
    ASSERT_EQ(check(), 1);
    EXPECT_EQ(read_file(nfo), "one\ntwo\n");
}

// The set-user-ID bit as well: the owner is given back before the mode,
// since a change of owner clears that bit, even to the same owner.
TEST_F(NfoCheck, KeepsPermissionBits) {
    const struct {
        const char *text; // rewritten as "x\n"
        mode_t mode;
    } cases[] = {{"x\n", 0604}, {"x\r\n", 04604}};
    for (const auto &c : cases) {
        SCOPED_TRACE(c.mode);
        write_file(nfo, c.text);
        ASSERT_EQ(chmod(nfo.c_str(), c.mode), 0);
        ASSERT_EQ(check(), 1);
        EXPECT_EQ(sktest::permission_bits(nfo), c.mode);
    }
}

// The check rewrites only what its user may write itself, although the
// release directory would let it replace the file. A symbolic link is
// replaced by the cleaned copy; the file it leads to is not changed.
TEST_F(NfoCheck, RewritesOnlyWhatItsUserMayWrite) {
    const std::string target = tmp / "elsewhere.nfo";
    struct Case {
        const char *name;
        bool link;
        mode_t mode;
        int result;
        const char *after; // what path gives afterwards
    } cases[] = {
        {"read-only file", false, 0444, 0, "one\r\ndropped\r\n"},
        {"link to a read-only file", true, 0444, 0, "one\r\ndropped\r\n"},
        {"link to a writable file", true, 0666, 1, "one\n"},
    };
    write_file(tmp / "clean", "dropped\n");
    put("nfo_cleanlist", tmp / "clean");
    ASSERT_EQ(chmod(tmp.path().c_str(), 0755), 0);
    ASSERT_EQ(chmod(release.c_str(), 0777), 0);
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ::unlink(nfo.c_str());
        const std::string &file = c.link ? target : nfo;
        write_file(file, "one\r\ndropped\r\n");
        ASSERT_EQ(chmod(file.c_str(), c.mode), 0);
        if (c.link) {
            ASSERT_EQ(symlink(target.c_str(), nfo.c_str()), 0);
        }
        int rc =
            sktest::run_unprivileged([&] { return nfo_check(&table, "rel.nfo", release.c_str(), nullptr); });
        if (rc < 0)
            GTEST_SKIP() << "cannot run as an unprivileged user";
        EXPECT_EQ(rc, c.result);
        EXPECT_EQ(read_file(nfo), c.after);
        struct stat st;
        ASSERT_EQ(lstat(nfo.c_str(), &st), 0);
        EXPECT_EQ(S_ISLNK(st.st_mode), c.link && c.result == 0);
        if (c.link) {
            EXPECT_EQ(read_file(target), "one\r\ndropped\r\n");
        }
        EXPECT_EQ(entries_in_release(), 1);
    }
}

// A cleaned text equal to the NFO leaves the file as it is.
TEST_F(NfoCheck, LeavesAnUnchangedNfoInPlace) {
    write_file(nfo, "one\ntwo\n");
    struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
    ASSERT_EQ(utimensat(AT_FDCWD, nfo.c_str(), old_times, 0), 0);
    struct stat was, is;
    ASSERT_EQ(stat(nfo.c_str(), &was), 0);
    ASSERT_EQ(check(), 1);
    ASSERT_EQ(stat(nfo.c_str(), &is), 0);
    EXPECT_EQ(is.st_ino, was.st_ino);
    EXPECT_EQ(is.st_mtime, 1000000000);
    EXPECT_EQ(read_file(nfo), "one\ntwo\n");
    EXPECT_EQ(entries_in_release(), 1);
}

TEST_F(NfoCheck, FailedWriteKeepsTheOldNfo) {
    std::string old = std::string(100000, 'n') + "\n";
    write_file(nfo, old);
    put("check_errormsg", "Error: %s %d\n");
    std::string printed = tmp / "printed";
    int rc = sktest::run_with_file_limit(
        20000, [&] { return nfo_check(&table, "rel.nfo", release.c_str(), nullptr); }, printed);
    EXPECT_EQ(rc, 1);
    EXPECT_EQ(read_file(printed), "Error: Writing cleaned nfo %d\n");
    EXPECT_EQ(read_file(nfo), old);
    EXPECT_EQ(entries_in_release(), 1);
}

TEST_F(NfoCheck, NfoThatCannotBeReadIsNotReplaced) {
    write_file(tmp / "pre", "prepend");
    put("nfo_prepend", tmp / "pre");
    EXPECT_EQ(check(), 0); // missing
    EXPECT_FALSE(sktest::file_exists(nfo));
    sktest::make_dirs(nfo); // a directory
    EXPECT_EQ(check(), 0);
    ht_put(&table, "path", nullptr);
    EXPECT_EQ(check(), 0);
}

TEST_F(NfoCheck, DateAndTimeVariables) {
    std::time_t now = std::time(nullptr);
    std::string text = take(nfo_fillout_vars(&table, "%{DATE} %{TIME} %{USER} %{DIR}", release.c_str()));
    struct tm local;
    localtime_r(&now, &local);
    char expected[64];
    std::snprintf(expected, sizeof expected, "%02d-%02d-%04d", local.tm_mon + 1, local.tm_mday,
                  local.tm_year + 1900);
    EXPECT_EQ(text.substr(0, 10), expected);
    EXPECT_EQ(text.size(), std::string("MM-DD-YYYY HH:MM alice Some.Release-GRP/CD1").size());
    EXPECT_EQ(text[13], ':');
    ht_put(&table, "user", nullptr);
    EXPECT_EQ(take(nfo_fillout_vars(&table, "[%{USER}]", "/x/Rel")), "[]");
}

TEST(NfoDupe, RefusesNamesInTheUnwantedDirectory) {
    sktest::TempDir tmp;
    write_file(tmp / "unwanted/Promo.nfo", "x");
    ht_table t;
    ht_init(&t);
    EXPECT_EQ(nfo_dupe(&t, "Promo.nfo", nullptr), 0);
    EXPECT_EQ(ht_get(&t, "error_msg"), nullptr);
    ht_put(&t, "nfo_unwanteddir", (tmp / "unwanted").c_str());
    EXPECT_EQ(nfo_dupe(&t, "promo.nfo", nullptr), 1); // case counts
    EXPECT_EQ(ht_get(&t, "error_msg"), nullptr);
    EXPECT_EQ(nfo_dupe(&t, "Promo.nfo", nullptr), 0);
    EXPECT_STREQ(ht_get(&t, "error_msg"), "Nfo is unwanted propaganda-shit");
    ht_finalize(&t);
}

TEST(NfoParts, TrimRemovesOnlySpacesAndTabs) {
    struct {
        const char *in, *out;
    } cases[] = {
        {"  a b \t", "a b"}, {"\t \t", ""}, {"x \r", "x \r"}, {"", ""}, {" \nx", "\nx"},
    };
    for (const auto &c : cases) {
        char buf[16];
        EXPECT_EQ(nfo_str_trim(c.in, buf, sizeof buf), 1);
        EXPECT_STREQ(buf, c.out) << c.in;
    }
    char small[4];
    nfo_str_trim("  abcdef", small, sizeof small);
    EXPECT_STREQ(small, "abc");
}

TEST(NfoParts, ConcatPutsTheSeparatorAfterEveryEntry) {
    str_list *l = str_add(nullptr, "a");
    l = str_add(l, "");
    l = str_add(l, "b");
    EXPECT_EQ(take(nfo_str_concat(l, "\n")), "a\n\nb\n");
    EXPECT_EQ(take(nfo_str_concat(nullptr, "\n")), "");
    str_close(l);
}

TEST(NfoParts, RegMatchIsExtendedAndIgnoresCase) {
    EXPECT_EQ(nfo_reg_match("Visit WWW.Example.ORG", "www\\.[a-z]+\\.org"), 1);
    EXPECT_EQ(nfo_reg_match("abc", "^(b|c)"), 0);
    EXPECT_EQ(nfo_reg_match("abc", "("), 0);
    EXPECT_EQ(nfo_reg_match(nullptr, "a"), 0);
}

TEST(NfoParts, FindMatchTriesSubstringsThenPatterns) {
    reset_patterns();
    str_list *subs = str_add(nullptr, "spam");
    EXPECT_EQ(nfo_find_match("no spammers", subs), 1);
    EXPECT_EQ(nfo_find_match("SPAM", subs), 0);
    EXPECT_EQ(nfo_find_match("", nullptr), 0);
    _nfo_cleanlist_normal = str_add(_nfo_cleanlist_normal, "*ad?");
    EXPECT_EQ(nfo_find_match("an ad!", nullptr), 1);
    EXPECT_EQ(nfo_find_match("an ad", nullptr), 0);
    str_close(subs);
    reset_patterns();
}

TEST(NfoParts, InitAcceptsAnything) {
    EXPECT_EQ(nfo_init(nullptr, nullptr, nullptr), 1);
}

} // namespace
