// sitekit check and sitekit release, run as programs on temporary site roots.
#include "apptest.h"

#include <gtest/gtest.h>

using apptest::on_site;
using apptest::quote;
using apptest::snapshot;
using sktest::read_file;
using sktest::write_file;

namespace {

class CheckCommand : public ::testing::Test {
  protected:
    void SetUp() override {
        rel = site.mkdirs("site/incoming/Some.Release-GRP");
        write_file(site / "work/file_id.diz", "Some release\n");
        write_file(site / "work/data.bin", std::string(5000, 'x'));
        auto r = sktest::run_command("cd " + quote(site / "work") + " && zip -q " + quote(rel + "/up.zip") +
                                     " file_id.diz data.bin");
        ASSERT_EQ(r.status, 0) << r.err;
        write_file(site / "ftp-data/sitekit/checks.conf", "# test settings\n"
                                                          "check_errormsg FAILED: %s\\n\n"
                                                          "zip_success %s: %s\\n\n"
                                                          "zip_extract *.diz\n"
                                                          "zip_showfile %{status} %{file}\\n\n"
                                                          "zip_adfilename site.txt\n"
                                                          "zip_ad uploaded by %{user}\n"
                                                          "nfo_cleanlist /ftp-data/sitekit/clean.list\n"
                                                          "nfo_prepend /ftp-data/sitekit/prepend.txt\n");
        write_file(site / "ftp-data/sitekit/clean.list", "spam\n");
        write_file(site / "ftp-data/sitekit/prepend.txt", "-- %{USER} --\n");
    }
    std::vector<std::string> check(const std::string &file) { return {"check", file, rel, "0BADC0DE"}; }
    sktest::SiteRoot site;
    std::string rel;
};

TEST_F(CheckCommand, ZipIsTestedExtractedAndGetsTheAdEntry) {
    auto r = on_site(site, check("up.zip"), "USER=alice");
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "Unpacked file_id.diz\nTested data.bin\nChecking zip-file: Done\n");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(read_file(rel + "/file_id.diz"), "Some release\n");
    auto list = sktest::run_command("unzip -Z1 " + quote(rel + "/up.zip"));
    EXPECT_EQ(list.out, "file_id.diz\ndata.bin\nsite.txt\n");
    auto ad = sktest::run_command("unzip -p " + quote(rel + "/up.zip") + " site.txt");
    EXPECT_EQ(ad.out, "uploaded by alice");
    EXPECT_FALSE(sktest::file_exists(rel + "/up.zip-processing"));
}

TEST_F(CheckCommand, DamagedZipIsRefusedAndLeftAsItWas) {
    // The damaged entry comes first, before anything is extracted.
    auto r0 = sktest::run_command("cd " + quote(site / "work") + " && zip -q -0 " + quote(site / "bad.zip") +
                                  " data.bin file_id.diz");
    ASSERT_EQ(r0.status, 0) << r0.err;
    std::string zip = read_file(site / "bad.zip");
    zip[zip.find("xxxxxxxx") + 100] = 'y'; // stored data: the CRC no longer matches
    write_file(rel + "/bad.zip", zip);
    std::remove((site / "bad.zip").c_str());
    std::string before = snapshot(site.path());
    auto r = on_site(site, check("bad.zip"), "USER=alice");
    EXPECT_EQ(r.status, 1) << r.out << r.err;
    EXPECT_NE(r.out.find("FAILED: "), std::string::npos) << r.out;
    EXPECT_EQ(snapshot(site.path()), before);

    // Without a failure format the check prints nothing itself: sitekit says why.
    write_file(site / "ftp-data/sitekit/checks.conf", "# nothing set\n");
    before = snapshot(site.path());
    r = on_site(site, check("bad.zip"), "USER=alice");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "bad.zip: the archive failed its check and was not accepted\n");
    EXPECT_EQ(snapshot(site.path()), before);
}

TEST_F(CheckCommand, NfoIsCleanedWithThePrependText) {
    write_file(rel + "/info.NFO", "Release info\nvisit spam site\nthe end\n");
    auto r = on_site(site, {"check", "--user", "bob", rel + "/info.NFO", rel});
    ASSERT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(read_file(rel + "/info.NFO"), "-- bob --\nRelease info\nthe end\n");
}

TEST_F(CheckCommand, NfoInTheUnwantedFolderIsRefusedWithTheReason) {
    write_file(site / "ftp-data/sitekit/checks.conf", "nfo_unwanteddir /ftp-data/unwanted\n");
    write_file(site / "ftp-data/unwanted/ad.nfo", "old\n");
    write_file(rel + "/ad.nfo", "propaganda\n");
    std::string before = snapshot(site.path());
    auto r = on_site(site, check("ad.nfo"), "USER=alice");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Nfo is unwanted propaganda-shit\n");
    EXPECT_EQ(snapshot(site.path()), before);
}

TEST_F(CheckCommand, OtherFilesAreAcceptedUntouched) {
    write_file(rel + "/a.rar", "rar");
    std::string before = snapshot(site.path());
    auto r = on_site(site, check("a.rar"), "USER=alice");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(snapshot(site.path()), before);
}

TEST_F(CheckCommand, BadSettingsLinesAreReportedAndTheCheckStillRuns) {
    write_file(site / "own.conf", "zip_extract *.diz\nzip_bogus yes\nzip_showfile\n");
    auto r = on_site(site, {"check", "--config", site / "own.conf", "up.zip", rel}, "USER=alice");
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_NE(r.err.find("own.conf: line 2: unknown key 'zip_bogus'"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("own.conf: line 3: 'zip_showfile' has no value"), std::string::npos) << r.err;
    EXPECT_EQ(read_file(rel + "/file_id.diz"), "Some release\n");
}

TEST_F(CheckCommand, MissingDefaultSettingsWarnAndCheckWithDefaults) {
    std::remove((site / "ftp-data/sitekit/checks.conf").c_str());
    auto r = on_site(site, check("up.zip"), "USER=alice");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("no settings file"), std::string::npos);
    EXPECT_FALSE(sktest::file_exists(rel + "/file_id.diz"));
}

TEST_F(CheckCommand, BadCommandLinesChangeNothing) {
    sktest::make_dirs(site / "ftp-data/sitekit/dir.conf");
    struct Case {
        std::vector<std::string> args;
        std::string env;
        std::string message;
        int status = 2;
    } cases[] = {
        {{"check", "up.zip"}, "USER=a", "missing argument"},
        {{"check", "up.zip", rel, "crc", "more"}, "USER=a", "unexpected argument 'more'"},
        {{"check", "up.zip", rel}, "", "no user name"},
        {{"check", "up.zip", rel}, "USER=", "no user name"},
        {{"check", "--user"}, "", "option '--user' needs a value"},
        {{"check", "--frob", "up.zip", rel}, "USER=a", "unknown option '--frob'"},
        {{"check", "none.zip", rel}, "USER=a", "does not exist"},
        {{"check", "up.zip", site / "nodir"}, "USER=a", "does not exist"},
        {{"check", "--config", site / "missing.conf", "up.zip", rel},
         "USER=a",
         "cannot read the settings file"},
        {{"check", "--config", site / "ftp-data/sitekit/dir.conf", "up.zip", rel},
         "USER=a",
         "it is a directory"},
        {{"release"}, "", "missing argument"},
        {{"release", "/"}, "", "names no directory"},
        {{"release", "a", "b"}, "", "unexpected argument 'b'"},
    };
    sktest::expect_refused(site.path(), cases, [&](const auto &c) { return on_site(site, c.args, c.env); });
}

TEST(ReleaseCommand, NamesReleasesAndTheirSubfolders) {
    struct Case {
        std::string path, name;
    } cases[] = {
        {"/site/incoming/Some.Release-GRP", "Some.Release-GRP"},
        {"/site/incoming/Some.Release-GRP/CD1/", "Some.Release-GRP/CD1"},
        {"/site/x/Rel/Sample", "Rel/Sample"},
        {"Rel", "Rel"},
    };
    for (const auto &c : cases) {
        auto r = apptest::sitekit({"release", c.path});
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out, c.name + "\n");
    }
    auto j = apptest::sitekit({"release", "--json", "/a/b"});
    EXPECT_EQ(j.out, "{\"path\":\"/a/b\",\"release\":\"b\"}\n");
}

} // namespace
