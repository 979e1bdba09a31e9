#include "tokenizer.h"

#include <string>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<std::string> tokens(const char *text, const char *delims) {
    st_state st;
    st_initialize(&st, text, delims);
    std::vector<std::string> out;
    while (char *t = st_next(&st))
        out.emplace_back(t);
    st_finalize(&st);
    return out;
}

using V = std::vector<std::string>;

TEST(Tokenizer, SplitsAtEachDelimiterKeepingEmptyFields) {
    EXPECT_EQ(tokens("a b c", " "), (V{"a", "b", "c"}));
    EXPECT_EQ(tokens("user:pw:100:300:0105::/bin/false", ":"),
              (V{"user", "pw", "100", "300", "0105", "", "/bin/false"}));
    EXPECT_EQ(tokens(":a:", ":"), (V{"", "a", ""}));
    EXPECT_EQ(tokens("*.nfo|*.diz", "|"), (V{"*.nfo", "*.diz"}));
    EXPECT_EQ(tokens("a:b c", ": "), (V{"a", "b", "c"}));
}

TEST(Tokenizer, NullAndEmptyTextsGiveNoToken) {
    EXPECT_TRUE(tokens(nullptr, nullptr).empty());
    EXPECT_TRUE(tokens("", ":").empty());
    EXPECT_EQ(tokens("whole line", nullptr), (V{"whole line"}));
}

TEST(Tokenizer, CountFallsWithEveryNextAndResetRewinds) {
    std::string line = "ALLUP 1 2 3";
    st_state st;
    ASSERT_EQ(st_initialize(&st, line.c_str(), " "), 0);
    EXPECT_EQ(st_count(&st), 4);
    EXPECT_STREQ(st_next(&st), "ALLUP");
    EXPECT_EQ(st_count(&st), 3);
    st_next(&st);
    st_next(&st);
    EXPECT_TRUE(st_hasnext(&st));
    EXPECT_STREQ(st_next(&st), "3");
    EXPECT_FALSE(st_hasnext(&st));
    EXPECT_EQ(st_count(&st), 0);
    EXPECT_EQ(st_next(&st), nullptr);
    st_reset(&st);
    EXPECT_EQ(st_count(&st), 4);
    EXPECT_STREQ(st_next(&st), "ALLUP");
    st_finalize(&st);
    EXPECT_EQ(line, "ALLUP 1 2 3"); // the caller's text is untouched
    EXPECT_EQ(st_next(&st), nullptr);
}

TEST(Tokenizer, AnyByteValuesPass) {
    std::string text = "\x01\xff:\x7f";
    EXPECT_EQ(tokens(text.c_str(), ":"), (V{"\x01\xff", "\x7f"}));
}

} // namespace
