#include "dirlist.h"

#include <string>
#include <vector>

#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "testsupport.h"

namespace {

std::vector<std::pair<std::string, int>> list(dirlist_handle &h) {
    std::vector<std::pair<std::string, int>> out;
    dirlist_reset(&h);
    while (const dirlist_entry *e = dirlist_next(&h))
        out.emplace_back(e->name, e->number);
    return out;
}

TEST(DirList, ListsEntriesSortedWithSizesAndDirectories) {
    sktest::TempDir dir;
    sktest::write_file(dir / "b.rar", std::string(3 * 1048576 + 5, 'x'));
    sktest::write_file(dir / "a.nfo", "small");
    sktest::make_dirs(dir / "Sample");
    dirlist_handle h;
    ASSERT_EQ(dirlist_init(&h, dir.path().c_str()), 1);
    ASSERT_EQ(dirlist_readdir(&h), 1);
    std::vector<std::pair<std::string, int>> want = {{"Sample", -1}, {"a.nfo", 0}, {"b.rar", 3}};
    EXPECT_EQ(list(h), want);
    EXPECT_EQ(list(h), want); // reset starts over
    EXPECT_EQ(dirlist_next(&h), nullptr);
    dirlist_closedir(&h);
    EXPECT_EQ(dirlist_next(&h), nullptr);
    dirlist_closedir(&h); // a second close is harmless
}

TEST(DirList, EmptyDirectoryReadsWithNoEntries) {
    sktest::TempDir dir;
    dirlist_handle h;
    dirlist_init(&h, dir.path().c_str());
    ASSERT_EQ(dirlist_readdir(&h), 1);
    EXPECT_TRUE(list(h).empty());
    dirlist_closedir(&h);
}

TEST(DirList, FailuresLeaveNothingToRelease) {
    sktest::TempDir dir;
    sktest::write_file(dir / "file", "x");
    struct Case {
        std::string path;
        int init;
    } cases[] = {
        {dir / "missing", 1},
        {dir / "file", 1}, // not a directory
        {std::string(5000, 'p'), 0},
        {"", 1},
    };
    for (const Case &c : cases) {
        dirlist_handle h;
        EXPECT_EQ(dirlist_init(&h, c.path.c_str()), c.init);
        EXPECT_EQ(dirlist_readdir(&h), 0);
        EXPECT_EQ(h.entries, nullptr);
        EXPECT_EQ(dirlist_next(&h), nullptr);
    }
    dirlist_handle h;
    EXPECT_EQ(dirlist_init(&h, nullptr), 0);
    EXPECT_EQ(dirlist_readdir(&h), 0);
}

TEST(DirList, RereadingReplacesTheEntries) {
    sktest::TempDir dir;
    sktest::write_file(dir / "one", "1");
    dirlist_handle h;
    dirlist_init(&h, dir.path().c_str());
    ASSERT_EQ(dirlist_readdir(&h), 1);
    sktest::write_file(dir / "two", "2");
    ASSERT_EQ(dirlist_readdir(&h), 1);
    EXPECT_EQ(list(h).size(), 2u);
    dirlist_closedir(&h);
}

} // namespace
