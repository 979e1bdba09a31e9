#include "chunklines.h"

#include <climits>
#include <string>

#include <gtest/gtest.h>

namespace {

class LineBuffer : public ::testing::Test {
  protected:
    void SetUp() override { lrb_initialize(&buf_); }
    void TearDown() override { lrb_finalize(&buf_); }

    int add(std::string_view bytes) {
        return lrb_add_data(&buf_, bytes.data(), static_cast<int>(bytes.size()));
    }
    // The next result, with the line (when there is one) in line_.
    int next(int max_len = 100) {
        std::string out(static_cast<size_t>(max_len < 0 ? 0 : max_len) + 1, 'X');
        int n = lrb_getline(&buf_, out.data(), max_len);
        line_ = n >= 0 ? std::string(out.c_str()) : "";
        return n;
    }

    lrb_buffer buf_;
    std::string line_;
};

TEST_F(LineBuffer, FreshBufferHasNoLine) {
    EXPECT_EQ(next(), -1);
    EXPECT_EQ(buf_.data, nullptr);
}

TEST_F(LineBuffer, DeliversALineOnceItIsComplete) {
    EXPECT_EQ(add("ab"), 0);
    EXPECT_EQ(next(), -1);
    EXPECT_EQ(buf_.length, 2);
    add("c\n");
    EXPECT_EQ(next(), 3);
    EXPECT_EQ(line_, "abc");
    EXPECT_EQ(next(), -1);
    EXPECT_EQ(buf_.data, nullptr);
    EXPECT_EQ(buf_.length, 0);
}

TEST_F(LineBuffer, LineEnds) {
    add("p\r\nq\n\n");
    EXPECT_EQ(next(), 1);
    EXPECT_EQ(line_, "p");
    EXPECT_EQ(next(), 1);
    EXPECT_EQ(line_, "q");
    EXPECT_EQ(next(), 0); // an empty line is a line, not "no line"
    EXPECT_EQ(next(), -1);
}

TEST_F(LineBuffer, CrAtTheEndOfAPieceEndsTheLineThere) {
    add("one\r");
    EXPECT_EQ(next(), 3);
    add("\ntwo\n");
    EXPECT_EQ(next(), 0);
    EXPECT_EQ(next(), 3);
    EXPECT_EQ(line_, "two");
}

TEST_F(LineBuffer, EndMarkerDeliversTheLastLineThenStaysAtTheEnd) {
    add("last");
    lrb_add_eof(&buf_);
    EXPECT_EQ(next(), 4);
    EXPECT_EQ(line_, "last");
    EXPECT_EQ(next(), -2);
    EXPECT_EQ(next(), -2);
    add("more\n"); // bytes after the marker are never delivered
    EXPECT_EQ(next(), -2);
}

TEST_F(LineBuffer, EndMarkerAloneEndsAtOnce) {
    lrb_add_eof(&buf_);
    EXPECT_EQ(next(), -2);
}

TEST_F(LineBuffer, NulInsideTheDataActsAsTheEndMarker) {
    add(std::string_view("ab\0cd\n", 6));
    EXPECT_EQ(next(), 2);
    EXPECT_EQ(line_, "ab");
    EXPECT_EQ(next(), -2);
}

TEST_F(LineBuffer, CutsLongLinesAndDropsTheirRest) {
    add("abcd\nef\n");
    EXPECT_EQ(next(2), 2);
    EXPECT_EQ(line_, "ab");
    EXPECT_EQ(next(2), 2);
    EXPECT_EQ(line_, "ef");
    EXPECT_EQ(buf_.data, nullptr);
    add("xyz\n");
    EXPECT_EQ(next(-1), 0);
    EXPECT_EQ(buf_.data, nullptr);
}

TEST_F(LineBuffer, RefusesBadCountsAndLeavesTheBufferAlone) {
    add("keep");
    EXPECT_EQ(lrb_add_data(&buf_, "x", -1), -1);
    EXPECT_EQ(lrb_add_data(&buf_, "x", INT_MAX), -1);
    EXPECT_EQ(buf_.length, 4);
    add("\n");
    EXPECT_EQ(next(), 4);
    EXPECT_EQ(line_, "keep");
}

TEST_F(LineBuffer, ManySmallPiecesMakeOneLine) {
    std::string text = "the quick brown fox jumps over the lazy dog";
    for (char c : text)
        lrb_add_data(&buf_, &c, 1);
    EXPECT_EQ(next(), -1);
    add("\r\n");
    EXPECT_EQ(next(), static_cast<int>(text.size()));
    EXPECT_EQ(line_, text);
    EXPECT_EQ(next(), -1);
}

} // namespace
