#include "siteroot.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include <gtest/gtest.h>

#include "internal.h"

namespace {

std::string path_of(const char *p) {
    char *s = sitekit_path(p);
    std::string out = s ? s : "(null)";
    std::free(s);
    return out;
}

TEST(SiteRoot, EmptyByDefaultSoPathsStayAsTheDaemonSeesThem) {
    sitekit_set_root(nullptr);
    EXPECT_STREQ(sitekit_get_root(), "");
    EXPECT_EQ(path_of("/ftp-data/logs/dirlog"), "/ftp-data/logs/dirlog");
}

TEST(SiteRoot, PrefixesAbsolutePathsOnly) {
    ASSERT_EQ(sitekit_set_root("/glftpd//"), 0);
    EXPECT_STREQ(sitekit_get_root(), "/glftpd");
    EXPECT_EQ(path_of("/etc/passwd"), "/glftpd/etc/passwd");
    EXPECT_EQ(path_of("relative/file"), "relative/file");
    EXPECT_EQ(path_of(nullptr), "(null)");
    sitekit_set_root("/");
    EXPECT_EQ(path_of("/etc/passwd"), "/etc/passwd");
    sitekit_set_root("");
}

TEST(SiteRoot, RefusesARootTooLongAndKeepsTheOld) {
    sitekit_set_root("/site");
    std::string long_root(5000, 'x');
    EXPECT_EQ(sitekit_set_root(long_root.c_str()), -1);
    EXPECT_STREQ(sitekit_get_root(), "/site");
    sitekit_set_root(nullptr);
}

TEST(FixedFields, CopyZeroFillsAndReportsWhatDidNotFit) {
    char field[6];
    std::memset(field, 'X', sizeof field);
    EXPECT_TRUE(sk::copy_field(field, sizeof field, "abc"));
    EXPECT_EQ(std::string(field, 6), std::string("abc\0\0\0", 6));
    EXPECT_FALSE(sk::copy_field(field, sizeof field, "abcdef"));
    EXPECT_EQ(std::string(field, 6), std::string("abcde\0", 6));
    char raw[4] = {'w', 'x', 'y', 'z'};
    EXPECT_EQ(sk::field_view(raw, 4), "wxyz"); // unterminated: never past the width
    EXPECT_EQ(sk::field_view("ab\0cd", 5), "ab");
}

} // namespace
