// sitekit check on the files of a release with an SFV, run as the daemon's
// upload hook runs it, with CRCs cross-checked by Python's zlib.
#include "apptest.h"

#include <gtest/gtest.h>

#include <string>

using apptest::on_site;
using apptest::snapshot;
using sktest::python_crc32;
using sktest::write_file;

namespace {

class SfvRelease : public ::testing::Test {
  protected:
    void SetUp() override {
        rel = site.mkdirs("site/incoming/Some.Release-GRP");
        write_file(site / "ftp-data/sitekit/checks.conf",
                   "sfv_required *.rar|*.r[0-9][0-9]\nzip_extract *.diz\n");
        // The files as the group packed them, and their SFV.
        for (const char *name : {"some.rar", "Some.r00"}) {
            std::string path = site / ("packed/" + std::string(name));
            write_file(path, std::string(name) + std::string(1'200'000, 'z') + name);
            sfv += std::string(name) + " " + python_crc32(path) + "\n";
        }
        auto r = sktest::run_command("cd " + sktest::quote(site / "packed") +
                                     " && printf 'ok\\n' >file_id.diz && " +
                                     "zip -q cover.zip file_id.diz && rm file_id.diz");
        ASSERT_EQ(r.status, 0) << r.err;
        sfv += "cover.zip " + python_crc32(site / "packed/cover.zip") + "\n";
    }
    // The packed file as the daemon leaves it in the release, then the hook.
    sktest::RunResult upload(const std::string &name, const std::string &as, const std::string &crc = "0") {
        if (!name.empty())
            write_file(rel + "/" + as, sktest::read_file(site / ("packed/" + std::string(name))));
        return on_site(site, {"check", as, rel, crc}, "USER=alice");
    }
    sktest::RunResult upload_sfv() {
        write_file(rel + "/some.sfv", sfv);
        return on_site(site, {"check", "some.sfv", rel, "0"}, "USER=alice");
    }
    sktest::SiteRoot site;
    std::string rel;
    std::string sfv;
};

TEST_F(SfvRelease, ListedFilesMustHaveTheirCrc) {
    ASSERT_EQ(upload_sfv().status, 0);
    // Computed here (CRC argument 0), the name in another letter case.
    auto r = upload("some.rar", "SOME.RAR");
    EXPECT_EQ(r.status, 0) << r.out << r.err;
    EXPECT_EQ(r.out, "");

    // One byte changed: refused, the reason shown, nothing else changed.
    std::string bad = sktest::read_file(site / "packed/Some.r00");
    bad[1'100'000] = 'y';
    write_file(rel + "/Some.r00", bad);
    std::string before = snapshot(site.path());
    r = upload("", "Some.r00");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "Some.r00: CRC-32 " + python_crc32(rel + "/Some.r00") + " does not match " +
                         python_crc32(site / "packed/Some.r00") + " of the SFV some.sfv\n");
    EXPECT_EQ(snapshot(site.path()), before);

    // The daemon's CRC, when it gives one, is the one compared.
    std::string good = python_crc32(site / "packed/Some.r00");
    EXPECT_EQ(upload("", "Some.r00", good).status, 0);
    write_file(rel + "/Some.r00", sktest::read_file(site / "packed/Some.r00"));
    EXPECT_EQ(upload("", "Some.r00", "1234abcd").status, 1);
}

TEST_F(SfvRelease, ZipIsVerifiedBeforeItsOwnCheck) {
    ASSERT_EQ(upload_sfv().status, 0);
    auto r = upload("cover.zip", "cover.zip", "DEADBEEF");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out.find("cover.zip: CRC-32 DEADBEEF does not match"), 0u) << r.out;
    EXPECT_FALSE(sktest::file_exists(rel + "/file_id.diz")); // the ZIP check did not run
    r = upload("cover.zip", "cover.zip");
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_TRUE(sktest::file_exists(rel + "/file_id.diz"));
}

TEST_F(SfvRelease, RequiredFilesNeedAnSfvEntry) {
    auto r = upload("some.rar", "some.rar");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "some.rar: the release has no SFV yet; upload the SFV first\n");
    write_file(rel + "/info.nfo", "info\n");
    EXPECT_EQ(upload("", "info.nfo").status, 0);
    ASSERT_EQ(upload_sfv().status, 0);
    write_file(rel + "/extra.r05", "foreign");
    r = upload("", "extra.r05");
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "extra.r05: not listed in the SFV some.sfv\n");
    write_file(rel + "/cover.jpg", "jpeg");
    EXPECT_EQ(upload("", "cover.jpg").status, 0);
}

TEST_F(SfvRelease, CrcArgumentThatIsNotHexIsABadCommandLine) {
    write_file(rel + "/cover.jpg", "jpeg");
    std::string before = snapshot(site.path());
    auto r = upload("", "cover.jpg", "12x4");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("the CRC '12x4' is not 1 to 8 hex digits"), std::string::npos) << r.err;
    EXPECT_EQ(upload("", "cover.jpg", "123456789").status, 2);
    EXPECT_EQ(snapshot(site.path()), before);
}

// What the release directory holds, folders marked with a "/".
std::string listing(const std::string &dir) {
    return sktest::run_command("cd " + sktest::quote(dir) + " && LC_ALL=C ls -A -p").out;
}

TEST_F(SfvRelease, MissingFilesGetMarkersUntilTheyArrive) {
    write_file(site / "ftp-data/sitekit/checks.conf", "sfv_missing_suffix .missing\n");
    // Before the SFV: one good file, one damaged, a folder at a marker's name.
    ASSERT_EQ(upload("some.rar", "some.rar").status, 0);
    std::string bad = sktest::read_file(site / "packed/Some.r00");
    bad[10] = '!';
    write_file(rel + "/Some.r00", bad);
    ASSERT_EQ(upload("", "Some.r00").status, 0);
    sktest::make_dirs(rel + "/cover.zip.missing");

    auto r = upload_sfv();
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, "Some.r00: CRC-32 " + python_crc32(rel + "/Some.r00") + " does not match " +
                         python_crc32(site / "packed/Some.r00") + " of the SFV some.sfv\n");
    EXPECT_EQ(listing(rel), "Some.r00\nSome.r00.missing\ncover.zip.missing/\nsome.rar\nsome.sfv\n");
    EXPECT_EQ(sktest::read_file(rel + "/Some.r00.missing"), "");

    EXPECT_EQ(upload("Some.r00", "Some.r00").status, 0);
    EXPECT_EQ(upload("cover.zip", "cover.zip").status, 0);
    // The folder is not a marker of this check's making: it stays.
    EXPECT_EQ(listing(rel), "Some.r00\ncover.zip\ncover.zip.missing/\nsome.rar\nsome.sfv\n");
}

} // namespace
