#include "statfile.h"

#include <climits>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testsupport.h"

namespace {

using sktest::read_file;
using sktest::write_file;

// A userfile of the daemon's form; the statistics lines carry three sections.
std::string userfile(const std::string &stats_lines) {
    return "USER Added by siteop\n"
           "GENERAL 0,0 -1 0 0\n"
           "LOGINS 3 0 -1 -1\n"
           "TIMEFRAME 0 0\n"
           "FLAGS 3\n"
           "TAGLINE uploading since the nineties\n"
           "DIR /\n"
           "ADDED 1617235200 siteop\n"
           "EXPIRES 0\n"
           "CREDITS 1500 0 42\n"
           "RATIO 3 0 1\n" +
           stats_lines +
           "NUKE 0 0 0\n"
           "TIME 14 1700000000 0 0\n"
           "SLOTS -1 -1\n"
           "GROUP SiTEOPS 1\n"
           "GROUP Friends 0\n"
           "IP *@127.0.0.1\n"
           "IP *@10.0.0.*\n";
}

const std::string default_stats = "ALLUP 120 4500000 3600 7 700 70 0 0 0\n"
                                  "ALLDN 30 900000 800 0 0 0 0 0 0\n"
                                  "WKUP 12 450000 360 1 100 10 0 0 0\n"
                                  "WKDN 3 90000 80 0 0 0 0 0 0\n"
                                  "DAYUP 2 45000 36 0 0 0 0 0 0\n"
                                  "DAYDN 1 9000 8 0 0 0 0 0 0\n"
                                  "MONTHUP 50 2000000 1500 3 300 30 0 0 0\n"
                                  "MONTHDN 10 300000 300 0 0 0 0 0 0\n";

std::string line_starting(const std::string &text, const std::string &prefix) {
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t end = text.find('\n', pos);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(pos, end - pos);
        if (line.rfind(prefix, 0) == 0)
            return line;
        pos = end + 1;
    }
    return "";
}

std::string take(char *text) {
    std::string s = text ? text : "<null>";
    std::free(text);
    return s;
}

std::optional<std::string> rebuilt(const char *line) {
    gl_stats *s = _gl_parse_stats(line, nullptr);
    if (!s)
        return std::nullopt;
    std::string text = take(_gl_tostring_stats(s));
    _gl_free_stats(s);
    return text;
}

// ---- Recognition ----

TEST(StatfileLines, RecognisesStatisticsAndCreditsLines) {
    struct Case {
        const char *line;
        int stat;
        int credit;
    } cases[] = {
        {"ALLUP 1 2 3", 1, 0},   {"allup 1 2 3", 1, 0},  {"WKUP 1 2 3", 1, 0}, {"DAYUP 1 2 3", 1, 0},
        {"MonthUp 1 2 3", 1, 0}, {"ALLUPX 1 2 3", 1, 0}, {"ALLUP", 1, 0},      {"ALLDN 1 2 3", 0, 0},
        {"WKDN 1 2 3", 0, 0},    {" ALLUP 1 2 3", 0, 0}, {"CREDITS 5", 0, 1},  {"credits 5", 0, 1},
        {"CREDITS", 0, 0},       {"CREDITSX 5", 0, 0},   {"RATIO 3", 0, 0},    {"", 0, 0},
        {"ALLU", 0, 0},
    };
    for (const Case &c : cases) {
        EXPECT_EQ(_statfile_is_stat(c.line), c.stat) << c.line;
        EXPECT_EQ(_statfile_is_credit(c.line), c.credit) << c.line;
    }
    EXPECT_STREQ(STAT_LINES[0], "ALLUP");
    EXPECT_STREQ(STAT_LINES[3], "MONTHUP");
    EXPECT_STREQ(STAT_LINES[4], "");
}

// ---- Parsing and rebuilding ----

TEST(StatfileLines, ParsesAndRebuildsLines) {
    struct Case {
        const char *line;
        const char *expected; // nullptr: no record
    } cases[] = {
        {"ALLUP 1 2 3 4 5 6", "ALLUP 1 2 3 4 5 6"},
        {"allup 1 2 3 4 5 6", "allup 1 2 3 4 5 6"},
        {"WKUP 1 2 3 4", "WKUP 1 2 3"},
        {"WKUP 1 2 3 4 5", "WKUP 1 2 3"},
        {"ALLUP 1 2", nullptr},
        {"ALLUP", nullptr},
        {"", nullptr},
        {"ALLUP +1 007 -3", "ALLUP 1 7 -3"},
        {"ALLUP -0 +0 000", "ALLUP 0 0 0"},
        {"ALLUP 12abc x -", "ALLUP 12 0 0"},
        // Trailing and doubled spaces separate values but are never values.
        {"ALLUP 1 2 3 ", "ALLUP 1 2 3"},
        {"ALLUP 1 2 3   ", "ALLUP 1 2 3"},
        {"ALLUP 1  2   3", "ALLUP 1 2 3"},
        {"ALLUP 1 2  ", nullptr},
        {"ALLUP 9223372036854775807 -9223372036854775808 0",
         "ALLUP 9223372036854775807 -9223372036854775808 0"},
        // Past 64 bits: no record, so the editor keeps the line as read.
        {"ALLUP 9223372036854775808 1 1", nullptr},
        {"ALLUP 1 1 -9223372036854775809", nullptr},
        {"ALLUP 1 1 1 99999999999999999999999 0 0", nullptr},
    };
    for (const auto &c : cases) {
        auto got = rebuilt(c.line);
        if (!c.expected)
            EXPECT_FALSE(got.has_value()) << c.line << " gave " << got.value_or("");
        else
            EXPECT_EQ(got.value_or("<none>"), c.expected) << c.line;
    }
}

TEST(StatfileLines, SectionListRunsFromHighestToZeroAndCopiesTexts) {
    gl_stats *s = _gl_parse_stats("ALLUP 1 2 3 4 5 6", "alice");
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(s->user, "alice");
    EXPECT_STREQ(s->keyword, "ALLUP");
    ASSERT_NE(s->sections, nullptr);
    EXPECT_EQ(s->sections->section, 1);
    EXPECT_EQ(s->sections->files, 4);
    EXPECT_EQ(s->sections->kbytes, 5);
    EXPECT_EQ(s->sections->seconds, 6);
    ASSERT_NE(s->sections->next, nullptr);
    EXPECT_EQ(s->sections->next->section, 0);
    EXPECT_EQ(s->sections->next->next, nullptr);
    EXPECT_EQ(_gl_get_sec_stats(s, 0), s->sections->next);
    EXPECT_EQ(_gl_get_sec_stats(s, 2), nullptr);
    EXPECT_EQ(_gl_get_sec_stats(s, -1), nullptr);
    _gl_free_stats(s);

    gl_stats *anonymous = _gl_parse_stats("WKUP 1 2 3", nullptr);
    ASSERT_NE(anonymous, nullptr);
    EXPECT_EQ(anonymous->user, nullptr);
    _gl_free_stats(anonymous);
    _gl_free_stats(nullptr);
}

TEST(StatfileLines, RebuildsLinesOfManySectionsWhole) {
    std::string line = "MONTHUP";
    for (int i = 0; i < 300; ++i)
        line += " 9223372036854775807 -9223372036854775808 " + std::to_string(i);
    ASSERT_GT(line.size(), 1024u * 10);
    EXPECT_EQ(rebuilt(line.c_str()).value_or(""), line);
}

TEST(StatfileLines, ParseSecStatsNumbersTriplesFromTheCounter) {
    st_state st;
    ASSERT_EQ(st_initialize(&st, "1 2 3  4 5 6 7", " "), 0);
    int counter = 5;
    gl_sec_stats *a = _gl_parse_sec_stats(&st, &counter);
    gl_sec_stats *b = _gl_parse_sec_stats(&st, &counter);
    gl_sec_stats *c = _gl_parse_sec_stats(&st, &counter);
    ASSERT_NE(a, nullptr);
    ASSERT_NE(b, nullptr);
    EXPECT_EQ(c, nullptr);
    EXPECT_EQ(a->section, 5);
    EXPECT_EQ(b->section, 6);
    EXPECT_EQ(b->files, 4);
    EXPECT_EQ(b->seconds, 6);
    EXPECT_EQ(counter, 7);
    std::free(a);
    std::free(b);
    st_finalize(&st);
}

TEST(StatfileLines, TostringStopsAtTheFirstMissingSection) {
    gl_sec_stats s0{0, 1, 2, 3, nullptr};
    gl_sec_stats s2{2, 7, 8, 9, &s0};
    gl_sec_stats dup0{0, 4, 5, 6, &s2}; // the first section 0 from the head wins
    char keyword[] = "DAYUP";
    gl_stats stats{nullptr, keyword, &dup0};
    EXPECT_EQ(take(_gl_tostring_stats(&stats)), "DAYUP 4 5 6");
    gl_stats bare{nullptr, keyword, nullptr};
    EXPECT_EQ(take(_gl_tostring_stats(&bare)), "DAYUP");
}

// ---- Line editing ----

TEST(StatfileEdit, AddsToOneSectionOfAStatisticsLine) {
    struct Case {
        const char *line;
        int files;
        int64_t kbytes;
        int seconds;
        int section;
        const char *expected;
    } cases[] = {
        {"ALLUP 1 10 100", 1, 500, 2, 0, "ALLUP 2 510 102"},
        {"ALLUP 1 10 100 5 50 500", 1, 500, 2, 1, "ALLUP 1 10 100 6 550 502"},
        {"ALLUP 1 10 100", 1, 500, 2, 1, "ALLUP 1 10 100"},
        {"ALLUP 1 10 100 ", 0, 0, 0, 1, "ALLUP 1 10 100 "},
        {"ALLUP 5 1000 100", -1, -400, -10, 0, "ALLUP 4 600 90"},
        {"ALLUP 1 2", 1, 1, 1, 0, "ALLUP 1 2"},
        {"ALLUP 1 10 100 ", 1, 1, 1, 0, "ALLUP 2 11 101"},
        {"ALLUP 9223372036854775806 0 0", 5, 0, 0, 0, "ALLUP 9223372036854775807 0 0"},
        {"ALLUP 0 -9223372036854775807 0", 0, -5, 0, 0, "ALLUP 0 -9223372036854775808 0"},
        {"ALLUP 99999999999999999999 10 100", 1, 1, 1, 0, "ALLUP 99999999999999999999 10 100"},
        {"ALLUP 0 4294967296000 0", 0, INT64_C(4294967296000), 0, 0, "ALLUP 0 8589934592000 0"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(take(_statfile_add_stats(c.line, "bob", c.files, c.kbytes, c.seconds, c.section)),
                  c.expected)
            << c.line;
}

TEST(StatfileEdit, AddsCreditsToOneValueAndKeepsTheRest) {
    struct Case {
        const char *line;
        int64_t amount;
        int section;
        const char *expected;
    } cases[] = {
        {"CREDITS 0", 700, 0, "CREDITS 700"},
        {"CREDITS 10 20 30", 5, 1, "CREDITS 10 25 30"},
        {"CREDITS 10 20 30", 5, 3, "CREDITS 10 20 30"},
        {"CREDITS 10 20 30", 5, -1, "CREDITS 10 20 30"},
        {"credits 10", -25, 0, "credits -15"},
        {"CREDITS +010 x", 1, 0, "CREDITS 11 x"},
        {"CREDITS 12abc", 1, 0, "CREDITS 13"},
        {"CREDITS 1 2 ", 1, 1, "CREDITS 1 3 "},
        {"CREDITS  1  2", 1, 1, "CREDITS  1  3"},
        {"CREDITS 9223372036854775800", 100, 0, "CREDITS 9223372036854775807"},
        {"CREDITS 1 99999999999999999999", 1, 1, "CREDITS 1 99999999999999999999"},
        {"CREDITS 1 99999999999999999999", 1, 0, "CREDITS 2 99999999999999999999"},
    };
    for (const auto &c : cases)
        EXPECT_EQ(take(_statfile_add_credits(c.line, c.amount, c.section)), c.expected) << c.line;
}

std::vector<std::string> seen_by_callback;
void record_callback(gl_stats *s) {
    std::string text = std::string(s->user ? s->user : "-") + ":" + s->keyword;
    for (gl_sec_stats *sec = s->sections; sec; sec = sec->next)
        text += " [" + std::to_string(sec->section) + " " + std::to_string(sec->files) + " " +
                std::to_string(sec->kbytes) + " " + std::to_string(sec->seconds) + "]";
    seen_by_callback.push_back(text);
}

TEST(StatfileEdit, ResetSetsEverySectionAfterTheCallbackSawTheOldValues) {
    seen_by_callback.clear();
    EXPECT_EQ(take(_statfile_reset_stats("WKUP 5 50 500 7 70 700", "carol", 0, 0, 0, record_callback)),
              "WKUP 0 0 0 0 0 0");
    ASSERT_EQ(seen_by_callback.size(), 1u);
    EXPECT_EQ(seen_by_callback[0], "carol:WKUP [1 7 70 700] [0 5 50 500]");
    EXPECT_EQ(take(_statfile_reset_stats("WKUP 1 2", "carol", 9, 9, 9, record_callback)), "WKUP 1 2");
    EXPECT_EQ(seen_by_callback.size(), 1u);
    EXPECT_EQ(take(_statfile_reset_stats("DAYUP 1 2 3", nullptr, -1, 4, 5, nullptr)), "DAYUP -1 4 5");
}

// ---- Userfile operations ----

class StatfileFile : public ::testing::Test {
  protected:
    sktest::TempDir dir;
    std::string path = dir / "users/dave";
    std::string tmp_path = path + ".pre-tmp";
};

TEST_F(StatfileFile, AddsToEveryStatisticsLineAndTheCredits) {
    write_file(path, userfile(default_stats));
    EXPECT_EQ(statfile_add_stats(path.c_str(), 1, 500, 2, 700, 0, 0), 5);
    std::string after = read_file(path);
    EXPECT_EQ(line_starting(after, "ALLUP"), "ALLUP 121 4500500 3602 7 700 70 0 0 0");
    EXPECT_EQ(line_starting(after, "WKUP"), "WKUP 13 450500 362 1 100 10 0 0 0");
    EXPECT_EQ(line_starting(after, "DAYUP"), "DAYUP 3 45500 38 0 0 0 0 0 0");
    EXPECT_EQ(line_starting(after, "MONTHUP"), "MONTHUP 51 2000500 1502 3 300 30 0 0 0");
    EXPECT_EQ(line_starting(after, "CREDITS"), "CREDITS 2200 0 42");
    // Everything else, download lines included, stays as it was.
    std::string expected = userfile(default_stats);
    for (const char *key : {"ALLUP", "WKUP", "DAYUP", "MONTHUP", "CREDITS"}) {
        std::string old_line = line_starting(expected, key) + "\n";
        expected.replace(expected.find(old_line), old_line.size(), line_starting(after, key) + "\n");
    }
    EXPECT_EQ(after, expected);
    EXPECT_FALSE(sktest::file_exists(tmp_path));
}

TEST_F(StatfileFile, SectionChoiceDecidesWhichLinesAreHandled) {
    const std::string base = "ALLUP 1 10 100\nWKUP 1 10 100\nCREDITS 0\nTAGLINE hi\n";
    struct Case {
        int stat_section;
        int credit_section;
        int64_t kbytes;
        int result;
        const char *expected;
    } cases[] = {
        {0, 0, 500, 3, "ALLUP 2 510 102\nWKUP 2 510 102\nCREDITS 700\nTAGLINE hi\n"},
        {-1, 0, 500, 1, "ALLUP 1 10 100\nWKUP 1 10 100\nCREDITS 700\nTAGLINE hi\n"},
        {0, -1, 500, 2, "ALLUP 2 510 102\nWKUP 2 510 102\nCREDITS 0\nTAGLINE hi\n"},
        {-1, -1, 500, 0, "ALLUP 1 10 100\nWKUP 1 10 100\nCREDITS 0\nTAGLINE hi\n"},
        {1, 1, 500, 3, "ALLUP 1 10 100\nWKUP 1 10 100\nCREDITS 0\nTAGLINE hi\n"},
        {0, -1, -5, 2, "ALLUP 2 5 102\nWKUP 2 5 102\nCREDITS 0\nTAGLINE hi\n"},
    };
    for (const auto &c : cases) {
        write_file(path, base);
        EXPECT_EQ(statfile_add_stats(path.c_str(), 1, c.kbytes, 2, 700, c.stat_section, c.credit_section),
                  c.result)
            << c.stat_section << "/" << c.credit_section;
        EXPECT_EQ(read_file(path), c.expected) << c.stat_section << "/" << c.credit_section;
    }
}

TEST_F(StatfileFile, WritesOddlyFormedUserfilesBackWithoutLoss) {
    std::string long_tagline = "TAGLINE " + std::string(5000, 'x');
    std::string long_ips;
    for (int i = 0; i < 200; ++i)
        long_ips += " *@10.1." + std::to_string(i) + ".*";
    std::string many_sections = "ALLUP";
    for (int i = 0; i < 200; ++i)
        many_sections += " 1 2 3";
    std::string many_after = "ALLUP 2 12 103";
    for (int i = 1; i < 200; ++i)
        many_after += " 1 2 3";
    std::string nul_line("TAGLINE before\0after", 20);
    std::string nul_stat("ALLUP 1 2 3\0 junk", 17);

    struct Case {
        const char *name;
        std::string before;
        int result;
        std::string after;
    } cases[] = {
        {"crlf", "USER x\r\nALLUP 1 2 3\r\nCREDITS 5\r\n", 2, "USER x\nALLUP 2 12 103\nCREDITS 705\n"},
        {"no final newline", "USER x\nALLUP 1 2 3", 1, "USER x\nALLUP 2 12 103\n"},
        {"lf then cr", "USER x\n\rALLUP 1 2 3\n", 1, "USER x\n\nALLUP 2 12 103\n"},
        {"no statistics lines", "USER x\nFLAGS 3\nIP *@1.2.3.4\n", 0, "USER x\nFLAGS 3\nIP *@1.2.3.4\n"},
        {"empty file", "", 0, ""},
        {"long line", long_tagline + "\nALLUP 1 2 3\n", 1, long_tagline + "\nALLUP 2 12 103\n"},
        {"long ip line", "IP" + long_ips + "\n", 0, "IP" + long_ips + "\n"},
        {"many sections", many_sections + "\n", 1, many_after + "\n"},
        {"nul in other line", nul_line + "\nALLUP 1 2 3\n", 1, nul_line + "\nALLUP 2 12 103\n"},
        {"nul in statistics line", nul_stat + "\n", 1, nul_stat + "\n"},
        {"number past 64 bits", "ALLUP 1 2 99999999999999999999\n", 1, "ALLUP 1 2 99999999999999999999\n"},
        {"lower-case keyword", "allup 1 2 3\nCredits 1\n", 2, "allup 2 12 103\nCredits 701\n"},
        {"too few numbers", "ALLUP 1 2\n", 1, "ALLUP 1 2\n"},
    };
    for (const auto &c : cases) {
        write_file(path, c.before);
        EXPECT_EQ(statfile_add_stats(path.c_str(), 1, 10, 100, 700, 0, 0), c.result) << c.name;
        EXPECT_EQ(read_file(path), c.after) << c.name;
        EXPECT_FALSE(sktest::file_exists(tmp_path)) << c.name;
    }
}

// Lines of a megabyte: the statistics line is rebuilt whole with only its
// section 1 changed, the other long line is written back as read.
TEST_F(StatfileFile, EditsMegabyteLinesByteExact) {
    std::string stats = "ALLUP", stats_after = "ALLUP";
    for (int i = 0; stats.size() < 1024 * 1024; ++i) {
        std::string triple = " " + std::to_string(i) + " " + std::to_string(i * 1000) + " 7";
        stats += triple;
        stats_after += i == 1 ? " 2 1001 8" : triple;
    }
    std::string tagline = "TAGLINE " + std::string(1024 * 1024, 't');
    write_file(path, "USER x\n" + tagline + "\n" + stats + "\n");
    EXPECT_EQ(statfile_add_stats(path.c_str(), 1, 1, 1, 0, 1, -1), 1);
    EXPECT_EQ(read_file(path), "USER x\n" + tagline + "\n" + stats_after + "\n");
}

// An edit that changes no line's text writes nothing: not even the line ends
// or the missing final line end are touched.
TEST_F(StatfileFile, LeavesTheUserfileAloneWhenNothingChanges) {
    const std::string before = "USER x\r\nALLUP 1 2 3\r\nWKUP 4 5 6\r\nCREDITS 5";
    str_list *keywords = str_add(nullptr, "DAYUP");
    struct Case {
        const char *name;
        int result;
        std::function<int()> edit;
        const char *after; // nullptr: the file is left as it was
    } cases[] = {
        {"reset matching no line", 0,
         [&] { return statfile_set_stats(path.c_str(), 0, 0, 0, keywords, nullptr); }, nullptr},
        {"adding nothing", 3, [&] { return statfile_add_stats(path.c_str(), 0, 0, 0, 0, 0, 0); }, nullptr},
        {"missing section", 3, [&] { return statfile_add_stats(path.c_str(), 1, 1, 1, 1, 4, 4); }, nullptr},
        {"a real change", 3, [&] { return statfile_add_stats(path.c_str(), 1, 1, 1, 1, 0, 0); },
         "USER x\nALLUP 2 3 4\nWKUP 5 6 7\nCREDITS 6\n"},
    };
    for (const auto &c : cases) {
        write_file(path, before);
        struct timespec old_times[2] = {{1000000000, 0}, {1000000000, 0}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), old_times, 0), 0);
        struct stat was, is;
        ASSERT_EQ(stat(path.c_str(), &was), 0);
        EXPECT_EQ(c.edit(), c.result) << c.name;
        ASSERT_EQ(stat(path.c_str(), &is), 0);
        EXPECT_EQ(read_file(path), c.after ? c.after : before) << c.name;
        EXPECT_EQ(is.st_ino == was.st_ino && is.st_mtime == 1000000000, !c.after) << c.name;
        EXPECT_FALSE(sktest::file_exists(tmp_path)) << c.name;
    }
    str_close(keywords);
}

TEST_F(StatfileFile, MissingUserfileFailsWithoutATemporaryFile) {
    sktest::make_dirs(dir / "users");
    EXPECT_EQ(statfile_add_stats(path.c_str(), 1, 1, 1, 1, 0, 0), -1);
    EXPECT_EQ(statfile_set_stats(path.c_str(), 0, 0, 0, nullptr, nullptr), -1);
    EXPECT_EQ(statfile_get_ratio(path.c_str(), 0), -1);
    EXPECT_FALSE(sktest::file_exists(tmp_path));
    EXPECT_EQ(statfile_add_stats(nullptr, 1, 1, 1, 1, 0, 0), -1);
    // A directory is not a userfile either.
    sktest::make_dirs(path);
    EXPECT_EQ(statfile_add_stats(path.c_str(), 1, 1, 1, 1, 0, 0), -1);
    EXPECT_FALSE(sktest::file_exists(tmp_path));
}

TEST_F(StatfileFile, KeepsPermissionsAndOwnerAndReplacesAStaleTemporaryFile) {
    write_file(path, userfile(default_stats));
    ASSERT_EQ(chmod(path.c_str(), 0640), 0);
    bool as_root = geteuid() == 0;
    if (as_root) {
        ASSERT_EQ(chown(path.c_str(), 4321, 8765), 0);
    }
    write_file(tmp_path, "half-written leftover of a crash");
    EXPECT_EQ(statfile_add_stats(path.c_str(), 1, 1, 1, 1, 0, 0), 5);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (as_root) {
        EXPECT_EQ(st.st_uid, 4321u);
        EXPECT_EQ(st.st_gid, 8765u);
    }
    EXPECT_FALSE(sktest::file_exists(tmp_path));
    EXPECT_EQ(line_starting(read_file(path), "DAYUP"), "DAYUP 3 45001 37 0 0 0 0 0 0");
}

TEST_F(StatfileFile, SetStatsResetsListedLinesOnly) {
    write_file(path, userfile(default_stats) + "WKUP\nWKUPX 1 2 3\n");
    str_list *keywords = str_add(nullptr, "WKUP");
    keywords = str_add(keywords, "DAYUP");
    keywords = str_add(keywords, "FLAGS");
    seen_by_callback.clear();
    EXPECT_EQ(statfile_set_stats(path.c_str(), 0, 0, 0, keywords, record_callback), 3);
    std::string after = read_file(path);
    EXPECT_EQ(line_starting(after, "WKUP "), "WKUP 0 0 0 0 0 0 0 0 0");
    EXPECT_EQ(line_starting(after, "DAYUP"), "DAYUP 0 0 0 0 0 0 0 0 0");
    EXPECT_EQ(line_starting(after, "ALLUP"), "ALLUP 120 4500000 3600 7 700 70 0 0 0");
    EXPECT_EQ(line_starting(after, "FLAGS"), "FLAGS 3"); // listed but not parseable: counted, kept
    // A keyword alone has no space and is never reset; WKUPX is not listed.
    EXPECT_NE(after.find("\nWKUP\nWKUPX 1 2 3\n"), std::string::npos);
    ASSERT_EQ(seen_by_callback.size(), 2u);
    EXPECT_EQ(seen_by_callback[0], "dave:WKUP [2 0 0 0] [1 1 100 10] [0 12 450000 360]");

    // Lower-case keywords are not the listed words, and a missing list resets nothing.
    write_file(path, "wkup 5 5 5\n");
    EXPECT_EQ(statfile_set_stats(path.c_str(), 0, 0, 0, keywords, nullptr), 0);
    EXPECT_EQ(statfile_set_stats(path.c_str(), 0, 0, 0, nullptr, nullptr), 0);
    EXPECT_EQ(read_file(path), "wkup 5 5 5\n");
    str_close(keywords);
}

TEST_F(StatfileFile, SetStatsIgnoresFirstWordsLongerThanAKey) {
    std::string word99(99, 'K'), word100(100, 'K');
    str_list *keywords = str_add(str_add(nullptr, word99.c_str()), word100.c_str());
    write_file(path, word99 + " 1 2 3\n" + word100 + " 1 2 3\n");
    EXPECT_EQ(statfile_set_stats(path.c_str(), 0, 0, 0, keywords, nullptr), 1);
    EXPECT_EQ(read_file(path), word99 + " 0 0 0\n" + word100 + " 1 2 3\n");
    str_close(keywords);
}

TEST_F(StatfileFile, ReadsTheRatioOfASection) {
    struct Case {
        std::string file;
        int section;
        int expected;
    } cases[] = {
        {userfile(default_stats), 0, 3},
        {userfile(default_stats), 1, 0},
        {userfile(default_stats), 2, 1},
        {userfile(default_stats), 3, -1},
        {userfile(default_stats), -1, -1},
        {"RATIO 5\nRATIO 7\n", 0, 5},
        {"ratio 4 8\n", 1, 8},
        {"RATIO\nRATIO 6\n", 0, 6},
        {"RATIO 3 0 1 \n", 3, -1},
        {"RATIO  3  0\n", 1, 0},
        {"RATIO x 2\n", 0, 0},
        {"RATIO 99999999999 -99999999999\n", 0, INT_MAX},
        {"RATIO 99999999999 -99999999999999999999999\n", 1, INT_MIN},
        {"USER x\nCREDITS 5\n", 0, -1},
        {"RATIO 3\r\n", 0, 3},
    };
    for (const auto &c : cases) {
        write_file(path, c.file);
        EXPECT_EQ(statfile_get_ratio(path.c_str(), c.section), c.expected) << c.file << "#" << c.section;
    }
}

// Two processes adding to one userfile at once: every addition counts.
TEST_F(StatfileFile, ConcurrentAdditionsAreAllCounted) {
    write_file(path, userfile(default_stats));
    constexpr int rounds = 300;
    pid_t children[2];
    for (pid_t &child : children) {
        child = fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int bad = 0;
            for (int i = 0; i < rounds; ++i)
                if (statfile_add_stats(path.c_str(), 1, 1000, 10, 5, 0, 0) != 5)
                    ++bad;
            _exit(bad == 0 ? 0 : 1);
        }
    }
    for (pid_t child : children) {
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
    std::string after = read_file(path);
    EXPECT_EQ(line_starting(after, "ALLUP"), "ALLUP 720 5100000 9600 7 700 70 0 0 0");
    EXPECT_EQ(line_starting(after, "DAYUP"), "DAYUP 602 645000 6036 0 0 0 0 0 0");
    EXPECT_EQ(line_starting(after, "CREDITS"), "CREDITS 4500 0 42");
    EXPECT_FALSE(sktest::file_exists(tmp_path));
}

// A file-size limit below the new copy's size makes the write fail, at the
// final flush for a small userfile and in the middle for a large one.
TEST_F(StatfileFile, FailedWriteLeavesTheUserfileUnchanged) {
    std::string big = userfile(default_stats);
    for (int i = 0; i < 3000; ++i)
        big += "IP *@192.168." + std::to_string(i % 256) + "." + std::to_string(i / 256) + "\n";
    struct Case {
        const char *name;
        std::string content;
        rlim_t limit;
    } cases[] = {
        {"small", userfile(default_stats), 64},
        {"large", big, 16 * 1024},
        {"nothing fits", userfile(default_stats), 0},
    };
    for (const auto &c : cases) {
        write_file(path, c.content);
        int status = sktest::run_with_file_limit(
            c.limit, [&] { return statfile_add_stats(path.c_str(), 1, 1, 1, 1, 0, 0) == -1 ? 0 : 1; });
        EXPECT_EQ(status, 0) << c.name;
        EXPECT_EQ(read_file(path), c.content) << c.name;
        EXPECT_FALSE(sktest::file_exists(tmp_path)) << c.name;
    }
}

} // namespace
