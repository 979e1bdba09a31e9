#include "textfill.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <string>

namespace {

std::string take(char *text) {
    if (!text)
        return "<null>";
    std::string s(text);
    std::free(text);
    return s;
}

class VariableList : public ::testing::Test {
  protected:
    void SetUp() override {
        list = ml_addstring(list, "USER", "alice");
        list = ml_addstring(list, "DIR", "Some.Release-GRP/CD1");
        list = ml_addstring(list, "EMPTY", nullptr);
    }
    void TearDown() override { ml_free(list); }
    ml_list *list = nullptr;
};

TEST_F(VariableList, FillsKnownVariablesAndLeavesEverythingElse) {
    struct {
        const char *in, *out;
    } cases[] = {
        {"by %{USER} in %{DIR}", "by alice in Some.Release-GRP/CD1"},
        {"%{USER}%{USER}", "alicealice"},
        {"[%{EMPTY}]", "[]"},
        {"%{NOBODY} stays", "%{NOBODY} stays"},
        {"100% ${USER} {USER} %USER% %s %d", "100% ${USER} {USER} %USER% %s %d"},
        {"%%{USER} is written so", "%{USER} is written so"},
        {"%% alone stays %%", "%% alone stays %%"},
        {"%{USER", "%{USER"},
        {"%{}", "%{}"},
        {"%{US ER}", "%{US ER}"},
        {"ends with %", "ends with %"},
        {"", ""},
    };
    for (const auto &c : cases)
        EXPECT_EQ(take(ml_replacebuf(list, c.in)), c.out) << c.in;
}

TEST_F(VariableList, ValuesAreNotScannedAgain) {
    list = ml_addstring(list, "USER", "%{DIR}%s%n");
    EXPECT_EQ(take(ml_replacebuf(list, "<%{USER}>")), "<%{DIR}%s%n>");
}

TEST_F(VariableList, LaterValueReplacesEarlierOne) {
    list = ml_addstring(list, "USER", "bob");
    EXPECT_EQ(take(ml_replacebuf(list, "%{USER}")), "bob");
}

TEST(VariableListEdges, NullListAndNullText) {
    EXPECT_EQ(take(ml_replacebuf(nullptr, "%{X} a")), "%{X} a");
    EXPECT_EQ(ml_replacebuf(nullptr, nullptr), nullptr);
    EXPECT_EQ(ml_addstring(nullptr, nullptr, "v"), nullptr);
}

TEST(VariableListEdges, OverlongNameStaysAsItStands) {
    std::string name(65, 'N');
    ml_list *l = ml_addstring(nullptr, name.c_str(), "v");
    std::string text = "%{" + name + "}";
    EXPECT_EQ(take(ml_replacebuf(l, text.c_str())), text);
    ml_free(l);
}

class TableFill : public ::testing::Test {
  protected:
    void SetUp() override {
        ht_init(&table);
        ht_put(&table, "user", "alice");
        ht_put(&table, "zip_adfilename", "ad.txt");
    }
    void TearDown() override { ht_finalize(&table); }
    ht_table table;
};

TEST_F(TableFill, UtilReplacerFillsKeysOfTheTable) {
    EXPECT_EQ(take(util_replacer(&table, "up by %{user}: %{zip_adfilename} %{missing}")),
              "up by alice: ad.txt %{missing}");
    EXPECT_EQ(util_replacer(&table, nullptr), nullptr);
    EXPECT_EQ(take(util_replacer_env(&table, "%{user}\n")), "alice\n");
}

TEST_F(TableFill, ErrorPrintfHonoursOnlyItsOneStringAndPercent) {
    struct {
        const char *format, *out;
    } cases[] = {
        {"Error: %s\n", "Error: Opening zipfile\n"},
        {"%s %s %d %n %x %%\n", "Opening zipfile %s %d %n %x %\n"},
        {"%{user}: %s", "alice: Opening zipfile"},
        {"no conversion", "no conversion"},
        {"trailing %", "trailing %"},
    };
    for (const auto &c : cases) {
        testing::internal::CaptureStdout();
        int n = error_printf(&table, c.format, "Opening zipfile");
        std::string printed = testing::internal::GetCapturedStdout();
        EXPECT_EQ(printed, c.out) << c.format;
        EXPECT_EQ(n, static_cast<int>(printed.size()));
    }
}

TEST_F(TableFill, MsgPrintfTakesTwoStrings) {
    testing::internal::CaptureStdout();
    msg_printf(&table, "%s: %s (%s) %ld\n", "Checking zip-file", "Done");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Checking zip-file: Done (%s) %ld\n");
}

TEST_F(TableFill, AbsentFormatPrintsNothing) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(error_printf(&table, nullptr, "step"), 0);
    EXPECT_EQ(msg_printf(nullptr, nullptr, "a", "b"), 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
}

} // namespace
