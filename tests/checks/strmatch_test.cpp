#include "strmatch.h"

#include <gtest/gtest.h>

#include <string>

namespace {

struct MatchCase {
    const char *pattern;
    const char *text;
    int flags;
    int expected;
};

TEST(StrmatchFilename, MatchesWholeTextWithQuestionMarkAndStar) {
    const MatchCase cases[] = {
        {"CD?", "CD1", 0, 1},
        {"CD?", "CD", 0, 0},
        {"CD?", "CD10", 0, 0},
        {"CD?", "cd1", 0, 0},
        {"CD?", "cd1", STRMATCH_FOLDCASE, 1},
        {"COVER*", "COVER", 2, 1},
        {"COVER*", "Covers", 2, 1},
        {"COVER*", "XCOVER", 2, 0},
        {"*", "", 0, 1},
        {"", "", 0, 1},
        {"", "x", 0, 0},
        {"?", "", 0, 0},
        {"*www.*", "visit www.example.org now", 0, 1},
        {"*www.*", "visit WWW.example.org now", 0, 0},
        {"a*b*c", "aXbYc", 0, 1},
        {"a*b*c", "aXbYcZ", 0, 0},
        {"*a*a*b", "aaaaaaaaaaaaaaaaaaaaaaaaaaaa", 0, 0},
        {"[ab]", "[ab]", 0, 1}, // no bracket classes
        {"a\\b", "a\\b", 0, 1}, // no escapes
        {"   ", "   ", 0, 1},
        {"   ", "  ", 0, 0},
    };
    for (const auto &c : cases)
        EXPECT_EQ(strmatch_filename(c.pattern, c.text, c.flags), c.expected)
            << "pattern '" << c.pattern << "' text '" << c.text << "' flags " << c.flags;
}

TEST(StrmatchFilename, NullTextsNeverMatch) {
    EXPECT_EQ(strmatch_filename(nullptr, "x", 0), 0);
    EXPECT_EQ(strmatch_filename("*", nullptr, 0), 0);
}

TEST(StrmatchFilename, ManyStarsOnLongTextFinishQuickly) {
    std::string text(20000, 'a');
    std::string pattern = "*a*a*a*a*a*a*a*a*a*a*b";
    EXPECT_EQ(strmatch_filename(pattern.c_str(), text.c_str(), 0), 0);
    text.back() = 'b';
    EXPECT_EQ(strmatch_filename(pattern.c_str(), text.c_str(), 0), 1);
}

} // namespace
