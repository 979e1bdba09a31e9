// The NFO check on a hostile NFO. The input is split at "\n--\n" into the
// NFO, the clean list, the prepend text, the append text and the name that
// nfo_dupe looks up. Promises: both hooks return 0 or 1; nothing changes
// outside the release directory, which holds the NFO alone afterwards; the
// new NFO is the prepend text, a subsequence of the NFO's lines (each ended
// by one LF) and the append text; a refused NFO is byte-identical.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "fuzzsupport.h"
#include "infocheck.h"

namespace {

const char *const release_rel = "site/incoming/Some.Release-GRP/CD1";
const char *const nfo_name = "rel.nfo";

// What nfo_append_add writes for a text file, as an open memory stream sees it.
std::string appended(ht_table *table, const std::string &path, const std::string &dir) {
    char *buf = nullptr;
    std::size_t len = 0;
    FILE *out = open_memstream(&buf, &len);
    if (!out)
        fuzz::fail("open_memstream failed");
    nfo_append_add(table, out, path.c_str(), dir.c_str());
    std::fclose(out);
    std::string s(buf, len);
    std::free(buf);
    return s;
}

// True when body is a run of lines, each ended by LF, that occur in lines
// in the same order.
bool kept_in_order(std::string_view body, const std::vector<std::string> &lines) {
    std::size_t next = 0;
    while (!body.empty()) {
        std::size_t end = body.find('\n');
        if (end == std::string_view::npos)
            return false;
        std::string_view line = body.substr(0, end);
        while (next < lines.size() && lines[next] != line)
            ++next;
        if (next == lines.size())
            return false;
        ++next;
        body.remove_prefix(end + 1);
    }
    return true;
}

void reset_patterns() {
    str_close(_nfo_cleanlist_normal);
    _nfo_cleanlist_normal = nullptr;
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::quiet_stdout();
    fuzz::write_file(fuzz::root_path("unwanted/spam.nfo"), "unwanted\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    std::vector<std::string_view> parts = fuzz::split(fuzz::bytes(data, size), "\n--\n", 5);
    const std::string release = fuzz::fresh_dir(release_rel);
    const std::string nfo = release + "/" + nfo_name;
    const std::string settings = fuzz::fresh_dir("settings");
    fuzz::write_file(nfo, parts[0]);
    fuzz::write_file(settings + "/cleanlist", parts[1]);
    fuzz::write_file(settings + "/prepend", parts[2]);
    fuzz::write_file(settings + "/append", parts[3]);
    const std::string dupe_name(parts[4].substr(0, parts[4].find('\0')));
    const fuzz::Tree outside = fuzz::snapshot(fuzz::site_root(), release_rel);

    ht_table table;
    ht_init(&table);
    ht_put(&table, "path", nfo.c_str());
    ht_put(&table, "user", "alice");
    ht_put(&table, "nfo_cleanlist", (settings + "/cleanlist").c_str());
    ht_put(&table, "nfo_prepend", (settings + "/prepend").c_str());
    ht_put(&table, "nfo_append", (settings + "/append").c_str());
    ht_put(&table, "nfo_unwanteddir", fuzz::root_path("unwanted").c_str());
    ht_put(&table, "check_errormsg", "Error: %s\n");

    int dupe = nfo_dupe(&table, dupe_name.c_str(), release.c_str());
    if (dupe != 0 && dupe != 1)
        fuzz::fail("nfo_dupe returned %d", dupe);
    if (dupe_name == "spam.nfo" && dupe != 0)
        fuzz::fail("nfo_dupe accepted the unwanted %s", dupe_name.c_str());

    // The prepend and append texts as filled before and after the check: the
    // time they show may pass a minute in between.
    const std::string pre1 = appended(&table, settings + "/prepend", release);
    const std::string app1 = appended(&table, settings + "/append", release);
    reset_patterns();
    int rc = nfo_check(&table, nfo_name, release.c_str(), nullptr);
    const std::string pre2 = appended(&table, settings + "/prepend", release);
    const std::string app2 = appended(&table, settings + "/append", release);
    reset_patterns();
    ht_finalize(&table);

    fuzz::expect_same_tree(outside, fuzz::snapshot(fuzz::site_root(), release_rel), "outside the release");
    fuzz::expect_files(release, {nfo_name}, "release directory");
    if (rc != 0 && rc != 1)
        fuzz::fail("nfo_check returned %d", rc);
    const std::string after = fuzz::read_file(nfo);
    if (after == parts[0])
        return 0; // refused, or the rewrite failed and left the NFO as it was
    if (rc == 0)
        fuzz::fail("a refused NFO was changed");
    const std::vector<std::string> lines = fuzz::lines_of(parts[0], true);
    for (const auto &[pre, app] : {std::pair{pre1, app1}, std::pair{pre2, app2}}) {
        if (after.size() >= pre.size() + app.size() && after.starts_with(pre) && after.ends_with(app) &&
            kept_in_order(std::string_view(after).substr(pre.size(), after.size() - pre.size() - app.size()),
                          lines))
            return 0;
    }
    fuzz::fail("the new NFO is not the prepend text, lines of the old one in order, and the append text");
}
