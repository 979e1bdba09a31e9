#include "chainlist.h"

#include <cmath>
#include <cstdlib>
#include <vector>

#include <gtest/gtest.h>

namespace {

// Data blocks are malloc'd ints holding an id, so that order and identity
// can be told apart from the keys.
void *block(int id) {
    int *p = static_cast<int *>(std::malloc(sizeof(int)));
    *p = id;
    return p;
}

std::vector<int> forward(glist *l) {
    std::vector<int> ids;
    for (glist_reset(l); glist_isgood(l); glist_next(l))
        ids.push_back(*static_cast<int *>(glist_get(l)));
    return ids;
}

std::vector<int> backward(glist *l) {
    std::vector<int> ids;
    for (glist_resettail(l); glist_isgood(l); glist_prev(l))
        ids.push_back(*static_cast<int *>(glist_get(l)));
    return ids;
}

class GenericList : public ::testing::Test {
  protected:
    void TearDown() override { glist_deinit(&list_); }
    void make(int mode, std::initializer_list<std::pair<int, double>> items) {
        glist_init(&list_, mode);
        for (auto [id, key] : items)
            glist_add(&list_, block(id), key);
    }
    glist list_;
};

TEST_F(GenericList, SortedAddingIsDescendingNewestFirstAmongEqualKeys) {
    make(GLIST_SORTED, {{2, 2}, {5, 5}, {3, 3}, {33, 3}});
    EXPECT_EQ(forward(&list_), (std::vector<int>{5, 33, 3, 2}));
    EXPECT_EQ(backward(&list_), (std::vector<int>{2, 3, 33, 5}));
    glist_add(&list_, block(1), 1); // smaller than all: goes to the end
    EXPECT_EQ(*static_cast<int *>(list_.tail->data), 1);
}

TEST_F(GenericList, PrependAndAppendModes) {
    make(GLIST_PREPEND, {{1, 1}, {2, 2}, {3, 3}});
    EXPECT_EQ(forward(&list_), (std::vector<int>{3, 2, 1}));
    glist_deinit(&list_);
    make(GLIST_APPEND, {{1, 1}, {2, 2}, {3, 3}});
    EXPECT_EQ(forward(&list_), (std::vector<int>{1, 2, 3}));
    glist_deinit(&list_);
    make(7, {{1, 1}, {2, 2}}); // unknown modes append
    EXPECT_EQ(forward(&list_), (std::vector<int>{1, 2}));
}

TEST_F(GenericList, SortOrdersGreatestFirstAndFixesHeadAndTail) {
    make(GLIST_APPEND, {{1, 1}, {3, 3}, {2, 2}});
    glist_sort(&list_);
    EXPECT_FALSE(glist_isgood(&list_));
    EXPECT_EQ(forward(&list_), (std::vector<int>{3, 2, 1}));
    EXPECT_EQ(backward(&list_), (std::vector<int>{1, 2, 3}));
    EXPECT_EQ(*static_cast<int *>(list_.head->data), 3);
    EXPECT_EQ(*static_cast<int *>(list_.tail->data), 1);
    glist_add(&list_, block(0), 0); // appending after a sort uses the new tail
    EXPECT_EQ(backward(&list_), (std::vector<int>{0, 1, 2, 3}));
}

TEST_F(GenericList, SortIsStableForEqualKeys) {
    make(GLIST_APPEND, {{10, 1}, {20, 5}, {11, 1}, {21, 5}, {12, 1}, {30, 9}});
    glist_sort(&list_);
    EXPECT_EQ(forward(&list_), (std::vector<int>{30, 20, 21, 10, 11, 12}));
    EXPECT_EQ(backward(&list_), (std::vector<int>{12, 11, 10, 21, 20, 30}));
}

TEST_F(GenericList, SortLeavesNaNKeysWhereNothingIsGreater) {
    make(GLIST_APPEND, {{1, 1}, {2, NAN}, {3, 3}});
    glist_sort(&list_);
    // 3 is the greatest; then from 1 on nothing beats 1 (NaN is never
    // greater), so 1 stays before the NaN node.
    EXPECT_EQ(forward(&list_), (std::vector<int>{3, 1, 2}));
}

TEST_F(GenericList, FindGivesTheNodeNearestTheHeadAndKeepsTheCursor) {
    make(GLIST_APPEND, {{1, 7}, {2, 4}, {3, 4}});
    glist_reset(&list_);
    EXPECT_EQ(*static_cast<int *>(glist_find(&list_, 4)), 2);
    EXPECT_EQ(glist_find(&list_, 5), nullptr);
    EXPECT_EQ(glist_find(&list_, NAN), nullptr);
    EXPECT_EQ(*static_cast<int *>(glist_get(&list_)), 1);
    EXPECT_EQ(glist_count(&list_), 3);
}

TEST_F(GenericList, EmptyListAndCursorEnds) {
    glist_init(&list_, GLIST_SORTED);
    EXPECT_EQ(glist_count(&list_), 0);
    glist_reset(&list_);
    EXPECT_FALSE(glist_isgood(&list_));
    EXPECT_EQ(glist_get(&list_), nullptr);
    glist_next(&list_);
    glist_prev(&list_);
    glist_resettail(&list_);
    EXPECT_FALSE(glist_isgood(&list_));
    glist_sort(&list_);
    glist_deinit(&list_);
    EXPECT_EQ(list_.head, nullptr);

    glist_add(&list_, nullptr, 1); // a node without data is allowed
    glist_reset(&list_);
    EXPECT_TRUE(glist_isgood(&list_));
    EXPECT_EQ(glist_get(&list_), nullptr);
    glist_next(&list_);
    EXPECT_FALSE(glist_isgood(&list_));
    glist_next(&list_); // stays off the end
    EXPECT_FALSE(glist_isgood(&list_));
}

} // namespace
