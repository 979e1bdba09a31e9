#include "proptable.h"

#include <cstdlib>
#include <cstring>
#include <map>
#include <string>

#include <gtest/gtest.h>

namespace {

std::map<std::string, std::string> contents(ht_table *t) {
    std::map<std::string, std::string> out;
    ht_foreach(
        t,
        [](const char *k, const char *v, void *ctx) {
            (*static_cast<std::map<std::string, std::string> *>(ctx))[k] = v;
            return 0;
        },
        &out);
    return out;
}

class PropertyTable : public ::testing::Test {
  protected:
    void SetUp() override { ht_init(&t_); }
    void TearDown() override { ht_finalize(&t_); }
    ht_table t_;
};

TEST_F(PropertyTable, StoresCopiesAndReplaces) {
    char key[16] = "path", value[16] = "/a.zip";
    EXPECT_EQ(ht_put(&t_, key, value), 0);
    std::strcpy(key, "user");
    std::strcpy(value, "bob"); // the caller reuses its buffers at once
    ht_put(&t_, key, value);
    EXPECT_STREQ(ht_get(&t_, "path"), "/a.zip");
    EXPECT_STREQ(ht_get(&t_, "user"), "bob");
    ht_put(&t_, "user", "alice");
    EXPECT_STREQ(ht_get(&t_, "user"), "alice");
    EXPECT_EQ(ht_count(&t_), 2u);
    EXPECT_EQ(ht_get(&t_, "User"), nullptr);
    EXPECT_EQ(ht_get(&t_, nullptr), nullptr);
    EXPECT_EQ(ht_put(&t_, nullptr, "x"), -1);
}

TEST_F(PropertyTable, GetHandsOutTheStoredTextItself) {
    ht_put(&t_, "zip_adfilename", "ad file.txt");
    char *v = ht_get(&t_, "zip_adfilename");
    v[2] = '_';
    EXPECT_STREQ(ht_get(&t_, "zip_adfilename"), "ad_file.txt");
}

TEST_F(PropertyTable, NullValueRemovesTheKey) {
    ht_put(&t_, "a", "1");
    ht_put(&t_, "a", nullptr);
    EXPECT_EQ(ht_get(&t_, "a"), nullptr);
    EXPECT_EQ(ht_count(&t_), 0u);
}

TEST_F(PropertyTable, GrowsWithoutLosingEntries) {
    for (int i = 0; i < 1000; ++i)
        ht_put(&t_, ("key" + std::to_string(i)).c_str(), std::to_string(i * 7).c_str());
    EXPECT_EQ(ht_count(&t_), 1000u);
    for (int i = 0; i < 1000; ++i)
        ASSERT_STREQ(ht_get(&t_, ("key" + std::to_string(i)).c_str()), std::to_string(i * 7).c_str());
}

TEST_F(PropertyTable, TreeNamesEntriesByTheRestOfTheKey) {
    ht_put(&t_, "tmp_zip_last_file", "a.txt");
    ht_put(&t_, "tmp_zip_last_size", "12");
    ht_put(&t_, "tmp_zip_lastx", "no");         // no separator after the prefix
    ht_put(&t_, "tmp_zip_last", "no");          // the prefix alone
    ht_put(&t_, "tmp_zip_last_", "empty rest"); // separator with nothing after it
    ht_put(&t_, "zip_showfile", "no");
    ht_table *tree = ht_get_tree(&t_, "tmp_zip_last", '_');
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(contents(tree),
              (std::map<std::string, std::string>{{"", "empty rest"}, {"file", "a.txt"}, {"size", "12"}}));
    ht_finalize(tree);
    std::free(tree);

    // A put replaces the previous entry's value: the next tree sees the new one.
    ht_put(&t_, "tmp_zip_last_file", "b.txt");
    tree = ht_get_tree(&t_, "tmp_zip_last", '_');
    EXPECT_STREQ(ht_get(tree, "file"), "b.txt");
    ht_finalize(tree);
    std::free(tree);
}

TEST_F(PropertyTable, EmptyTableAndFinalizeLeaveItUsable) {
    EXPECT_EQ(ht_get(&t_, "x"), nullptr);
    ht_table *tree = ht_get_tree(&t_, "x", '_');
    ASSERT_NE(tree, nullptr);
    EXPECT_EQ(ht_count(tree), 0u);
    ht_finalize(tree);
    std::free(tree);
    ht_put(&t_, "x", "1");
    ht_finalize(&t_);
    EXPECT_EQ(ht_get(&t_, "x"), nullptr);
    ht_put(&t_, "x", "2");
    EXPECT_STREQ(ht_get(&t_, "x"), "2");
}

} // namespace
