#include "strlist.h"

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "testsupport.h"

namespace {

std::vector<std::string> entries(const str_list *l) {
    std::vector<std::string> out;
    str_iter *it = str_iterator(l);
    while (const char *s = str_iterator_next(it))
        out.emplace_back(s);
    std::free(it);
    return out;
}

using V = std::vector<std::string>;

TEST(StringList, LoadsLinesWithoutTheirEndsInFileOrder) {
    sktest::TempDir dir;
    std::string path = dir / "list";
    std::string long_line(5000, 'x'); // never cut
    sktest::write_file(path, "one\r\ntwo\n\nthree\r" + long_line);
    str_list *l = str_load(nullptr, path.c_str());
    EXPECT_EQ(entries(l), (V{"one", "two", "", "three", long_line}));
    l = str_add_last(l, "four");
    EXPECT_EQ(str_count(l), 6);
    EXPECT_EQ(entries(l).back(), "four");
    str_close(l);
}

TEST(StringList, UnreadableFileGivesAnEmptyList) {
    EXPECT_EQ(str_load(nullptr, "/nonexistent/sitekit/list"), nullptr);
    EXPECT_TRUE(entries(nullptr).empty());
    str_close(nullptr);
    EXPECT_EQ(str_iterator_next(nullptr), nullptr);
}

TEST(StringList, SearchFindsAddedWordsExactlyOrIgnoringCase) {
    str_list *l = nullptr;
    char word[8] = "ALLUP";
    l = str_add(l, word);
    word[0] = 'X'; // the list holds its own copy
    l = str_add(l, "DAYUP");
    EXPECT_STREQ(str_search(l, "ALLUP", 0), "ALLUP");
    EXPECT_EQ(str_search(l, "allup", 0), nullptr);
    EXPECT_STREQ(str_search(l, "allup", 1), "ALLUP");
    EXPECT_EQ(str_search(l, "XLLUP", 0), nullptr);
    EXPECT_EQ(str_search(nullptr, "ALLUP", 0), nullptr);
    str_close(l);
}

} // namespace
