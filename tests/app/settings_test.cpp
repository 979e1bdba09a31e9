// The settings file reader of the checks.
#include "settings.h"
#include "testsupport.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

namespace {

using sk::cli::load_settings;

struct Table {
    Table() { ht_init(&t); }
    ~Table() { ht_finalize(&t); }
    const char *get(const char *k) { return ht_get(&t, k); }
    ht_table t;
};

TEST(SettingsFile, ReadsKeysValuesAndReportsBadLinesByNumber) {
    sktest::TempDir dir;
    sktest::write_file(dir / "checks.conf", "# comment\n"
                                            "\n"
                                            "zip_extract *.diz   *.nfo  \r\n"
                                            "   # indented comment\n"
                                            "check_errormsg Refused: %s\\n\n"
                                            "zip_bogus 1\n"
                                            "nfo_prepend\n"
                                            "zip_extract *.txt\n"
                                            "nfo_unwanteddir\tSample\n");
    Table t;
    auto r = load_settings(dir / "checks.conf", &t.t);
    ASSERT_TRUE(r.opened);
    EXPECT_STREQ(t.get("zip_extract"), "*.txt");
    EXPECT_STREQ(t.get("check_errormsg"), "Refused: %s\n");
    EXPECT_STREQ(t.get("nfo_unwanteddir"), "Sample");
    EXPECT_EQ(t.get("nfo_prepend"), nullptr);
    EXPECT_EQ(t.get("zip_bogus"), nullptr);
    ASSERT_EQ(r.warnings.size(), 3u);
    EXPECT_EQ(r.warnings[0], "line 6: unknown key 'zip_bogus'");
    EXPECT_EQ(r.warnings[1].rfind("line 7: 'nfo_prepend' has no value", 0), 0u);
    EXPECT_EQ(r.warnings[2].rfind("line 8: 'zip_extract' is set again", 0), 0u);
}

TEST(SettingsFile, UnescapesOnlyKnownEscapes) {
    EXPECT_EQ(sk::cli::unescape_value("a\\nb\\tc\\\\d\\qe\\"), "a\nb\tc\\d\\qe\\");
}

TEST(SettingsFile, MissingDirectoryAndUnreadableFilesAreNotOpened) {
    sktest::TempDir dir;
    Table t;
    EXPECT_FALSE(load_settings(dir / "none.conf", &t.t).opened);
    auto r = load_settings(dir.path(), &t.t);
    EXPECT_FALSE(r.opened);
    EXPECT_EQ(r.open_error, "it is a directory");
    if (geteuid() != 0) { // root reads anything
        sktest::write_file(dir / "locked.conf", "zip_extract *\n");
        chmod((dir / "locked.conf").c_str(), 0);
        EXPECT_FALSE(load_settings(dir / "locked.conf", &t.t).opened);
    }
    EXPECT_EQ(ht_count(&t.t), 0u);
}

// Every key the shipped example sets must be one the reader takes, or a site
// that copies the example loses the setting with only a warning.
TEST(SettingsFile, ShippedExampleLoadsWithoutWarnings) {
    Table t;
    auto r = load_settings(SITEKIT_SOURCE_DIR "/src/app/checks.conf.example", &t.t);
    ASSERT_TRUE(r.opened);
    EXPECT_TRUE(r.warnings.empty()) << r.warnings.front();
    EXPECT_STREQ(t.get("zip_extract_max"), "1048576");
}

} // namespace
