// The text site log and the users' message files.
#include "sitelogs.h"

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <vector>
#include <string>

#include <unistd.h>

#include <gtest/gtest.h>

#include "sitelogs_internal.h"
#include "testsupport.h"

namespace {

using sktest::read_file;

class TextLogs : public ::testing::Test {
  protected:
    sktest::SiteRoot site;
    std::string logs = site.mkdirs("ftp-data/logs");
    std::string msgs = site.mkdirs("ftp-data/msgs");
    std::string gllog = logs + "/glftpd.log";
};

// Whether text has the shape of pattern: 'A' an upper case letter, 'a' a
// lower case one, '9' a digit, '_' a digit or a space, anything else itself.
bool shaped(std::string_view text, std::string_view pattern) {
    if (text.size() != pattern.size())
        return false;
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        bool ok;
        switch (pattern[i]) {
        case 'A':
            ok = c >= 'A' && c <= 'Z';
            break;
        case 'a':
            ok = c >= 'a' && c <= 'z';
            break;
        case '9':
            ok = c >= '0' && c <= '9';
            break;
        case '_':
            ok = c == ' ' || (c >= '0' && c <= '9');
            break;
        default:
            ok = c == pattern[i];
        }
        if (!ok)
            return false;
    }
    return true;
}

// "Mon Dec 07 09:05:07 2026 " at the start of a site log line.
constexpr std::string_view kStamp = "Aaa Aaa 99 99:99:99 9999 ";
// "(Mon Dec  7 09:05:07 2026)" in a message header.
constexpr std::string_view kCtime = "(Aaa Aaa _9 99:99:99 9999)";

// The texts of a site log's lines, each checked for its time stamp.
std::vector<std::string> logged_texts(const std::string &log) {
    std::vector<std::string> texts;
    std::size_t start = 0;
    while (start < log.size()) {
        std::size_t end = log.find('\n', start);
        if (end == std::string::npos) {
            ADD_FAILURE() << "last line without newline: " << log.substr(start);
            break;
        }
        std::string line = log.substr(start, end - start);
        EXPECT_TRUE(line.size() >= kStamp.size() && shaped(line.substr(0, kStamp.size()), kStamp)) << line;
        texts.push_back(line.size() >= kStamp.size() ? line.substr(kStamp.size()) : line);
        start = end + 1;
    }
    return texts;
}

TEST(SiteLogTime, ZeroPadsTheDay) {
    bool had_tz = std::getenv("TZ") != nullptr;
    std::string old_tz = had_tz ? std::getenv("TZ") : "";
    setenv("TZ", "UTC0", 1);
    tzset();
    struct tm tm = {};
    tm.tm_year = 2026 - 1900;
    tm.tm_mon = 11;
    tm.tm_mday = 7;
    tm.tm_hour = 9;
    tm.tm_min = 5;
    tm.tm_sec = 7;
    EXPECT_EQ(sk::sitelogs::gllog_time(timegm(&tm)), "Mon Dec 07 09:05:07 2026");
    if (had_tz)
        setenv("TZ", old_tz.c_str(), 1);
    else
        unsetenv("TZ");
    tzset();
}

TEST_F(TextLogs, AppendsStampedLines) {
    ASSERT_EQ(gl_gllog_add("first line"), 1);
    ASSERT_EQ(gl_gllog_add(""), 1);
    EXPECT_EQ(logged_texts(read_file(gllog)), (std::vector<std::string>{"first line", ""}));
}

TEST_F(TextLogs, OtherLogPathsLieBelowTheSiteRootToo) {
    ASSERT_EQ(gl_gllog_add_alt("elsewhere", "/ftp-data/logs/other.log"), 1);
    EXPECT_EQ(logged_texts(read_file(logs + "/other.log")), std::vector<std::string>{"elsewhere"});
    // A missing folder: nothing is created.
    EXPECT_EQ(gl_gllog_add_alt("x", "/ftp-data/nowhere/other.log"), 0);
    EXPECT_FALSE(sktest::file_exists(site / "ftp-data/nowhere"));
    EXPECT_EQ(gl_gllog_add_alt(nullptr, "/ftp-data/logs/other.log"), 0);
    EXPECT_EQ(gl_gllog_add_alt("x", nullptr), 0);
}

TEST_F(TextLogs, AnnouncementsQuoteTheTextUnlessItIsQuoted) {
    struct Case {
        const char *event, *text, *logged;
    } cases[] = {
        {"NEWDIR", "\"/site/new\" \"bob\"", "NEWDIR: \"/site/new\" \"bob\""},
        {"WIPE", "plain text", "WIPE: \"plain text\""},
        {"EMPTY", "", "EMPTY: \"\""},
        {"INNER", "a \"b\"", "INNER: \"a \"b\"\""},
    };
    std::vector<std::string> expected;
    for (const Case &c : cases) {
        ASSERT_EQ(gl_gllog_announce(c.event, c.text), 1);
        expected.push_back(c.logged);
    }
    EXPECT_EQ(logged_texts(read_file(gllog)), expected);
}

TEST_F(TextLogs, AnnouncementsLongerThanTheirBufferAreRefused) {
    // Event and text within 1019 characters when wrapped, 1021 when not.
    std::string event(19, 'E');
    EXPECT_EQ(gl_gllog_announce(event.c_str(), std::string(1000, 't').c_str()), 1);
    EXPECT_EQ(gl_gllog_announce(event.c_str(), std::string(1001, 't').c_str()), 0);
    std::string quoted = "\"" + std::string(1001, 't');
    EXPECT_EQ(gl_gllog_announce(event.c_str(), quoted.c_str()), 1);
    EXPECT_EQ(gl_gllog_announce(event.c_str(), (quoted + "t").c_str()), 0);
    EXPECT_EQ(gl_gllog_announce(nullptr, "x"), 0);
    EXPECT_EQ(gl_gllog_announce("X", nullptr), 0);
    std::string text = read_file(gllog);
    EXPECT_EQ(std::count(text.begin(), text.end(), '\n'), 2);
}

TEST_F(TextLogs, MessagesFollowEachOtherWithoutNewlines) {
    ASSERT_EQ(gl_site_msg("alice", "bob", "hello"), 1);
    ASSERT_EQ(gl_site_msg("carol", "bob", "second\n"), 1);
    std::string rule(74, '-');
    std::string text = read_file(msgs + "/bob");
    // Each header: "From: <sender> " and the ctime text in parentheses.
    std::string first = "From: alice ", second = "From: carol ";
    std::size_t at2 = first.size() + kCtime.size() + rule.size() + 5;
    ASSERT_EQ(text.size(), at2 + second.size() + kCtime.size() + rule.size() + 7) << text;
    EXPECT_EQ(text.substr(0, first.size()), first);
    EXPECT_TRUE(shaped(text.substr(first.size(), kCtime.size()), kCtime)) << text;
    EXPECT_EQ(text.substr(first.size() + kCtime.size(), rule.size() + 5), rule + "hello");
    EXPECT_EQ(text.substr(at2, second.size()), second);
    EXPECT_TRUE(shaped(text.substr(at2 + second.size(), kCtime.size()), kCtime)) << text;
    EXPECT_EQ(text.substr(at2 + second.size() + kCtime.size()), rule + "second\n");
}

TEST_F(TextLogs, MessagesToNamesOutsideTheFolderAreRefused) {
    std::string long_name(256, 'n');
    const char *bad[] = {nullptr, "", ".", "..", "../logs/glftpd.log", "a/b", long_name.c_str()};
    for (const char *to : bad)
        EXPECT_EQ(gl_site_msg("alice", to, "text"), 0) << (to ? to : "(null)");
    EXPECT_FALSE(sktest::file_exists(gllog));
    EXPECT_EQ(gl_site_msg(nullptr, "bob", "text"), 0);
    EXPECT_EQ(gl_site_msg("alice", "bob", nullptr), 0);
    EXPECT_FALSE(sktest::file_exists(msgs + "/bob"));
    EXPECT_EQ(gl_site_msg("alice", std::string(255, 'n').c_str(), "text"), 1);
}

TEST_F(TextLogs, FailuresReturnZero) {
    ASSERT_EQ(symlink("/dev/full", gllog.c_str()), 0);
    ASSERT_EQ(symlink("/dev/full", (msgs + "/bob").c_str()), 0);
    EXPECT_EQ(gl_gllog_add("line"), 0);
    EXPECT_EQ(gl_gllog_announce("EV", "text"), 0);
    EXPECT_EQ(gl_site_msg("alice", "bob", "text"), 0);
    // The message folder is never created.
    ASSERT_EQ(unlink((msgs + "/bob").c_str()), 0);
    ASSERT_EQ(rmdir(msgs.c_str()), 0);
    EXPECT_EQ(gl_site_msg("alice", "bob", "text"), 0);
    EXPECT_FALSE(sktest::file_exists(msgs));
}

} // namespace
