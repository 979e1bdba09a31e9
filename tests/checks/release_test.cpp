#include "release.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(ReleaseSubdir, RecognisesTheUsualSubfolders) {
    struct {
        const char *component;
        int expected;
    } cases[] = {
        {"CD1", 1},    {"cd2", 1},     {"CD", 0},         {"CD10", 0},    {"DISC5", 1},
        {"DISC05", 1}, {"DISC005", 0}, {"Sample", 1},     {"SAMPLES", 0}, {"COVER", 1},
        {"Covers", 1}, {"SUBS", 1},    {"Subs.Extra", 0}, {"", 0},        {"Some.Release-GRP", 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(_release_is_release_subdir(c.component), c.expected) << c.component;
    EXPECT_EQ(_release_is_release_subdir(nullptr), 0);
}

TEST(ReleaseSubdir, PatternTableHasFixedWidthRecordsEndedByAnEmptyOne) {
    EXPECT_EQ(sizeof SUBDIR_PATTERNS, 210u);
    EXPECT_STREQ(SUBDIR_PATTERNS[0], "CD?");
    EXPECT_STREQ(SUBDIR_PATTERNS[4], "COVER*");
    EXPECT_EQ(SUBDIR_PATTERNS[6][0], '\0');
    for (const auto &record : SUBDIR_PATTERNS)
        for (std::size_t i = std::strlen(record); i < sizeof record; ++i)
            EXPECT_EQ(record[i], '\0');
}

TEST(ReleaseName, TakesOneOrTwoLastComponents) {
    struct {
        const char *path, *name;
        int rc;
    } cases[] = {
        {"/site/incoming/Some.Release-GRP", "Some.Release-GRP", 1},
        {"/site/incoming/Some.Release-GRP/CD1", "Some.Release-GRP/CD1", 1},
        {"/site/incoming/Some.Release-GRP/sample", "Some.Release-GRP/sample", 1},
        {"Some.Release-GRP", "Some.Release-GRP", 0},
        {"Some.Release-GRP/CD2", "Some.Release-GRP/CD2", 1},
        {"/site/incoming/Some.Release-GRP/", "", 1},
        {"Rel/CD1/SAMPLE", "CD1/SAMPLE", 1},
        {"/CD1", "/CD1", 1},
        {"", "", 0},
    };
    for (const auto &c : cases) {
        char buf[300];
        std::memset(buf, 'x', sizeof buf);
        EXPECT_EQ(release_get_with_subdir(c.path, buf, sizeof buf), c.rc) << c.path;
        EXPECT_STREQ(buf, c.name) << c.path;
    }
}

TEST(ReleaseName, LongNameIsCutAndTerminated) {
    std::string path = "/site/" + std::string(400, 'R');
    char buf[300];
    EXPECT_EQ(release_get_with_subdir(path.c_str(), buf, sizeof buf), 1);
    EXPECT_EQ(std::strlen(buf), 299u);
    char small[4] = {'x', 'x', 'x', 'x'};
    EXPECT_EQ(release_get_with_subdir("a/b", small, 0), 1);
    EXPECT_EQ(small[0], 'x');
}

TEST(ReleaseName, CallersPathIsNotChanged) {
    char path[] = "/site/Rel/CD1";
    char buf[64];
    release_get_with_subdir(path, buf, sizeof buf);
    EXPECT_STREQ(path, "/site/Rel/CD1");
}

} // namespace
