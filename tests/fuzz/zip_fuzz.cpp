// The ZIP check on a hostile upload. The input is written as the upload in
// a fresh release directory and checked with a site's usual settings. The
// archive is read back independently (every entry's size and CRC-32
// computed here), and the check's promises are held against that:
//   - a refused upload is byte-identical and nothing temporary is left;
//     what was extracted before the refusal is complete;
//   - nothing is written outside the release directory;
//   - an accepted upload had only intact entries, and the rebuilt archive
//     is valid and holds the same entries (the unwanted one left out, the
//     advertisement added last);
//   - every extracted file equals its entry's data.
#include <algorithm>
#include <cctype>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include <sys/stat.h>
#include <unzip.h>
#include <zlib.h>

#include "arccheck.h"
#include "fuzzsupport.h"

namespace {

const char *const release_rel = "site/incoming/Some.Release-GRP";
const char *const unwanted_rel = "unwanted";
const char *const unwanted_name = "spam.txt"; // the one file of the unwanted folder
const char *const ad_name = "ad1a0.txt";      // "zip_adfilename" below, filled
const char *const ad_text = "Checked by alice\r\n";

struct Entry {
    std::string name;
    std::string data;
    bool intact = false;   // read to its end, declared size and CRC-32 matched
    bool unwanted = false; // something exists under its lower-cased name in the unwanted folder
};

struct Archive {
    bool opened = false;
    bool listed = false; // every entry of the directory was reached
    std::string comment;
    std::vector<Entry> entries;
};

uint64_t little_endian(const char *p, int bytes) {
    uint64_t v = 0;
    for (int i = bytes - 1; i >= 0; --i)
        v = v << 8 | static_cast<unsigned char>(p[i]);
    return v;
}

// The 64-bit sizes of an entry whose 32-bit fields are all ones, from its
// Zip64 extra field (the library leaves the marker in place).
void apply_zip64_sizes(unz_file_info64 &info, const std::vector<char> &extra) {
    constexpr uint64_t marker = 0xFFFFFFFFu;
    for (std::size_t at = 0; at + 4 <= extra.size();) {
        uint64_t id = little_endian(&extra[at], 2), len = little_endian(&extra[at + 2], 2);
        std::size_t end = std::min(extra.size(), at + 4 + static_cast<std::size_t>(len));
        if (id == 1) {
            std::size_t p = at + 4;
            for (ZPOS64_T *size : {&info.uncompressed_size, &info.compressed_size}) {
                if (*size == marker && p + 8 <= end) {
                    *size = little_endian(&extra[p], 8);
                    p += 8;
                }
            }
            return;
        }
        at = end;
    }
}

// Reads every entry with the library's plain reader, and judges it here:
// the library compares the CRC only when it read the declared size.
Archive read_archive(const std::string &path) {
    Archive a;
    unzFile f = unzOpen64(path.c_str());
    if (!f)
        return a;
    a.opened = true;
    unz_global_info64 global;
    if (unzGetGlobalInfo64(f, &global) != UNZ_OK) {
        unzClose(f);
        return a;
    }
    std::vector<char> comment(global.size_comment + 1);
    if (unzGetGlobalComment(f, comment.data(), comment.size()) >= 0)
        a.comment.assign(comment.data(), global.size_comment);
    bool ok = global.number_entry == 0 || unzGoToFirstFile(f) == UNZ_OK;
    for (ZPOS64_T i = 0; ok && i < global.number_entry; ++i) {
        unz_file_info64 info;
        char name[1024];
        std::vector<char> extra(65536);
        if (unzGetCurrentFileInfo64(f, &info, name, sizeof name, extra.data(), extra.size(), nullptr, 0) !=
            UNZ_OK) {
            ok = false;
            break;
        }
        extra.resize(std::min<std::size_t>(info.size_file_extra, extra.size()));
        apply_zip64_sizes(info, extra);
        Entry e;
        e.name.assign(name, info.size_filename < sizeof name ? info.size_filename : sizeof name - 1);
        if (unzOpenCurrentFile(f) == UNZ_OK) {
            char buf[65536];
            int n;
            bool read_ok = true;
            while ((n = unzReadCurrentFile(f, buf, sizeof buf)) > 0) {
                e.data.append(buf, static_cast<std::size_t>(n));
                if (e.data.size() > info.uncompressed_size) {
                    read_ok = false;
                    break;
                }
            }
            if (n < 0)
                read_ok = false;
            bool closed = unzCloseCurrentFile(f) == UNZ_OK;
            uLong crc =
                crc32(0, reinterpret_cast<const Bytef *>(e.data.data()), static_cast<uInt>(e.data.size()));
            e.intact = read_ok && closed && e.data.size() == info.uncompressed_size && crc == info.crc;
        }
        a.entries.push_back(std::move(e));
        if (i + 1 < global.number_entry && unzGoToNextFile(f) != UNZ_OK)
            ok = false;
    }
    a.listed = ok;
    unzClose(f);
    return a;
}

std::string lower_base(const std::string &name) {
    std::size_t slash = name.rfind('/');
    std::string base = slash == std::string::npos ? name : name.substr(slash + 1);
    for (char &c : base)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return base;
}

std::string lower(std::string s) {
    for (char &c : s)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

bool chosen(const std::string &base) {
    auto ends = [&](const char *suffix) { return base.size() > 4 && base.ends_with(suffix); };
    return ends(".nfo") || ends(".diz");
}

// The entry an extracted file came from: the first entry with that
// lower-cased base name that was not left out as unwanted.
const Entry *source_of(const Archive &a, const std::string &file) {
    for (const auto &e : a.entries)
        if (lower_base(e.name) == file && !e.unwanted)
            return &e;
    return nullptr;
}

void fill_table(ht_table *t, const std::string &upload, const std::string &unwanted) {
    ht_put(t, "path", upload.c_str());
    ht_put(t, "user", "alice");
    ht_put(t, "group", "Friends");
    ht_put(t, "zip_extract", "*.nfo|*.diz");
    ht_put(t, "zip_unwanteddir", unwanted.c_str());
    ht_put(t, "zip_showfile", "%{file} %{size} %{zsize} %{method} %{status} %{missing}\n");
    ht_put(t, "zip_adfilename", "ad#@%.txt");
    ht_put(t, "zip_ad", "Checked by %{user}\r\n");
    ht_put(t, "zip_adcomment", "Welcome %{user} of %{group} %{nothing}");
    ht_put(t, "check_errormsg", "Error: %s\n");
    ht_put(t, "zip_success", "%s: %s\n");
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***) {
    fuzz::quiet_stdout();
    fuzz::write_file(fuzz::root_path(unwanted_rel) + "/" + unwanted_name, "unwanted\n");
    fuzz::write_file(fuzz::root_path("site/outside.nfo"), "a file beside the release\n");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    const std::string input(fuzz::bytes(data, size));
    const std::string release = fuzz::fresh_dir(release_rel);
    const std::string upload = release + "/upload.zip";
    fuzz::write_file(upload, input);
    const fuzz::Tree outside = fuzz::snapshot(fuzz::site_root(), release_rel);
    Archive original = read_archive(upload);
    // The check leaves out every entry whose lower-cased name leads to
    // something in the unwanted folder, the folder itself included.
    for (auto &e : original.entries)
        e.unwanted = fuzz::exists(fuzz::root_path(unwanted_rel) + "/" + lower(e.name));

    ht_table table;
    ht_init(&table);
    fill_table(&table, upload, fuzz::root_path(unwanted_rel));
    int rc = zip_check(&table, "upload.zip", release.c_str(), nullptr);
    ht_finalize(&table);

    fuzz::expect_same_tree(outside, fuzz::snapshot(fuzz::site_root(), release_rel), "outside the release");
    if (rc != 0 && rc != 1)
        fuzz::fail("zip_check returned %d", rc);

    std::set<std::string> expected{"upload.zip"};
    const std::set<std::string> found = fuzz::list_dir(release);
    for (const auto &name : found) {
        if (name == "upload.zip")
            continue;
        struct stat st;
        std::string path = release + "/" + name;
        if (lstat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || !chosen(name))
            fuzz::fail("%s is left in the release directory (result %d)", name.c_str(), rc);
        const Entry *from = source_of(original, name);
        if (!from)
            fuzz::fail("extracted %s matches no entry (result %d)", name.c_str(), rc);
        if (!from->intact)
            fuzz::fail("extracted %s comes from a damaged entry %s (result %d, %zu bytes extracted)",
                       name.c_str(), from->name.c_str(), rc, static_cast<std::size_t>(st.st_size));
        if (fuzz::read_file(path) != from->data)
            fuzz::fail("extracted %s differs from its entry %s (result %d)", name.c_str(), from->name.c_str(),
                       rc);
        expected.insert(name);
    }
    fuzz::expect_files(release, expected, "release directory");

    const std::string after = fuzz::read_file(upload);
    if (rc == 0) {
        if (after != input)
            fuzz::fail("a refused upload was changed (%zu bytes, now %zu)", input.size(), after.size());
        return 0;
    }

    // Accepted: the upload had to be intact throughout.
    if (!original.opened && input.size() > 0 && !(input.size() >= 22 && input.compare(0, 4, "PK\5\6") == 0))
        fuzz::fail("an upload the reader cannot open was accepted");
    for (const auto &e : original.entries)
        if (!e.intact && !e.unwanted)
            fuzz::fail("the damaged entry %s was accepted", e.name.c_str());
    if (original.opened && !original.listed)
        fuzz::fail("an upload whose directory cannot be read to its end was accepted");

    const Archive rebuilt = read_archive(upload);
    if (!rebuilt.opened || !rebuilt.listed)
        fuzz::fail("the rebuilt archive cannot be read");
    std::vector<const Entry *> kept;
    for (const auto &e : original.entries)
        if (!e.unwanted)
            kept.push_back(&e);
    if (rebuilt.entries.size() != kept.size() + 1)
        fuzz::fail("the rebuilt archive holds %zu entries, not %zu", rebuilt.entries.size(), kept.size() + 1);
    for (std::size_t i = 0; i < rebuilt.entries.size(); ++i) {
        const Entry &e = rebuilt.entries[i];
        if (!e.intact)
            fuzz::fail("entry %s of the rebuilt archive is damaged", e.name.c_str());
        const std::string &name = i < kept.size() ? kept[i]->name : ad_name;
        const std::string &bytes = i < kept.size() ? kept[i]->data : ad_text;
        if (e.name != name || e.data != bytes)
            fuzz::fail("entry %zu of the rebuilt archive is %s, not %s as uploaded", i, e.name.c_str(),
                       name.c_str());
    }
    if (rebuilt.comment != "Welcome alice of Friends %{nothing}")
        fuzz::fail("the rebuilt archive's comment is \"%s\"", rebuilt.comment.c_str());
    return 0;
}
