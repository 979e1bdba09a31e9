#include "sortedlist.h"

#include <cstdlib>
#include <new>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

// While set, operator new fails: the sort must then do without its array.
static bool fail_new = false;

void *operator new(std::size_t size) {
    void *p = fail_new ? nullptr : std::malloc(size ? size : 1);
    if (!p)
        throw std::bad_alloc();
    return p;
}
void *operator new(std::size_t size, const std::nothrow_t &) noexcept {
    return fail_new ? nullptr : std::malloc(size ? size : 1);
}
void operator delete(void *p) noexcept {
    std::free(p);
}
void operator delete(void *p, const std::nothrow_t &) noexcept {
    std::free(p);
}
void operator delete(void *p, std::size_t) noexcept {
    std::free(p);
}

namespace {

struct Item {
    int key;
    int seq; // order of adding, to check stability
};

int by_key(const void *a, const void *b) {
    int ka = static_cast<const Item *>(a)->key, kb = static_cast<const Item *>(b)->key;
    return (ka > kb) - (ka < kb);
}

std::vector<const Item *> walk(sortedlist &l) {
    std::vector<const Item *> out;
    sortedlist_reset(&l);
    while (void *p = sortedlist_next(&l))
        out.push_back(static_cast<const Item *>(p));
    return out;
}

class SortedList : public ::testing::Test {
  protected:
    void SetUp() override { sortedlist_init(&list); }
    void TearDown() override { sortedlist_clear(&list); }
    sortedlist list;
};

TEST_F(SortedList, WithoutOrderingReturnsItemsInAddingOrderEachOnce) {
    std::vector<Item> items{{3, 0}, {1, 1}, {2, 2}};
    for (auto &it : items)
        EXPECT_EQ(sortedlist_add(&list, &it), &it);
    auto got = walk(list);
    ASSERT_EQ(got.size(), 3u);
    for (std::size_t i = 0; i < items.size(); ++i)
        EXPECT_EQ(got[i], &items[i]);
    EXPECT_EQ(sortedlist_next(&list), nullptr);
    EXPECT_EQ(sortedlist_count(&list), 3);
}

TEST_F(SortedList, EmptyListIteratesNothing) {
    sortedlist_reset(&list);
    EXPECT_EQ(sortedlist_next(&list), nullptr);
}

TEST_F(SortedList, OrderingIsAscendingAndStableForAnyAddingOrder) {
    sortedlist_set_compare(&list, by_key);
    std::mt19937 rng(7);
    std::vector<Item> items(1000);
    for (int i = 0; i < 1000; ++i)
        items[i] = {static_cast<int>(rng() % 50), i};
    for (auto &it : items)
        sortedlist_add(&list, &it);
    auto got = walk(list);
    ASSERT_EQ(got.size(), items.size());
    for (std::size_t i = 1; i < got.size(); ++i) {
        ASSERT_LE(got[i - 1]->key, got[i]->key);
        if (got[i - 1]->key == got[i]->key) {
            ASSERT_LT(got[i - 1]->seq, got[i]->seq) << "equal items must keep their adding order";
        }
    }
    // Adding after a sort keeps the list whole and ordered.
    Item low{-1, 1000};
    sortedlist_add(&list, &low);
    got = walk(list);
    ASSERT_EQ(got.size(), 1001u);
    EXPECT_EQ(got.front(), &low);
}

TEST_F(SortedList, SortsInPlaceWhenThereIsNoMemoryForTheSortArray) {
    sortedlist_set_compare(&list, by_key);
    std::mt19937 rng(3);
    std::vector<Item> items(777); // not a power of two: uneven last runs
    for (int i = 0; i < 777; ++i)
        items[i] = {static_cast<int>(rng() % 20), i};
    for (auto &it : items)
        sortedlist_add(&list, &it);
    fail_new = true;
    sortedlist_reset(&list);
    fail_new = false;
    std::vector<const Item *> got;
    while (void *p = sortedlist_next(&list))
        got.push_back(static_cast<const Item *>(p));
    ASSERT_EQ(got.size(), items.size());
    for (std::size_t i = 1; i < got.size(); ++i) {
        ASSERT_LE(got[i - 1]->key, got[i]->key);
        if (got[i - 1]->key == got[i]->key) {
            ASSERT_LT(got[i - 1]->seq, got[i]->seq);
        }
    }
    EXPECT_EQ(list.tail->item, got.back());
}

TEST_F(SortedList, OrderingAttachedAfterAddingAppliesAtReset) {
    Item a{2, 0}, b{1, 1};
    sortedlist_add(&list, &a);
    sortedlist_add(&list, &b);
    sortedlist_set_compare(&list, by_key);
    auto got = walk(list);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], &b);
    EXPECT_EQ(got[1], &a);
}

TEST_F(SortedList, ClearEmptiesTheListAndKeepsItsOrdering) {
    Item a{2, 0}, b{1, 1};
    sortedlist_set_compare(&list, by_key);
    sortedlist_add(&list, &a);
    sortedlist_clear(&list);
    EXPECT_EQ(sortedlist_count(&list), 0);
    EXPECT_TRUE(walk(list).empty());
    sortedlist_add(&list, &a);
    sortedlist_add(&list, &b);
    auto got = walk(list);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0], &b);
}

} // namespace
