// The upload check: which hooks run for which upload, and the daemon paths
// among the settings.
#include "uploadcheck.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "arccheck.h"
#include "infocheck.h"
#include "internal.h"
#include "sfvcheck.h"

namespace {

// The settings that name files or folders: daemon paths, taken below the site root.
constexpr const char *kPathSettings[] = {"zip_unwanteddir", "nfo_cleanlist", "nfo_prepend", "nfo_append",
                                         "nfo_unwanteddir"};

struct Upload {
    ht_table *table;
    std::string name; // the file's name, without its folder
    std::string dir;
};

// One hook's refusal: the reason printed when the hook left none.
struct Refusal {
    std::string fallback;
};

using Check = std::optional<Refusal> (*)(const Upload &);

std::optional<Refusal> check_zip(const Upload &u) {
    if (!zip_dupe(u.table, u.name.c_str(), u.dir.c_str()))
        return Refusal{u.name + ": refused as a dupe"};
    if (!zip_check(u.table, u.name.c_str(), u.dir.c_str(), nullptr))
        return Refusal{u.name + ": the archive failed its check and was not accepted"};
    return std::nullopt;
}

std::optional<Refusal> check_nfo(const Upload &u) {
    // Without an unwanted folder there is nothing to compare against: the
    // dupe hook would refuse every NFO, so it only runs when one is set.
    if (ht_get(u.table, "nfo_unwanteddir") && !nfo_dupe(u.table, u.name.c_str(), u.dir.c_str()))
        return Refusal{u.name + ": refused"};
    if (!nfo_check(u.table, u.name.c_str(), u.dir.c_str(), nullptr))
        return Refusal{u.name + ": the NFO could not be read or rewritten"};
    return std::nullopt;
}

std::optional<Refusal> check_sfv(const Upload &u) {
    if (!sfv_check(u.table, u.name.c_str(), u.dir.c_str()))
        return Refusal{u.name + ": the SFV was refused"};
    return std::nullopt;
}

// Every upload but an SFV is compared with the release's SFV before the
// hooks of its extension run (they may rewrite it).
std::optional<Refusal> check_listed(const Upload &u) {
    if (!sfv_file_check(u.table, u.name.c_str(), u.dir.c_str()))
        return Refusal{u.name + ": the CRC check failed"};
    return std::nullopt;
}

// The checks by extension; an upload that matches none is accepted.
constexpr std::pair<std::string_view, Check> kChecks[] = {
    {".zip", check_zip},
    {".nfo", check_nfo},
};

bool has_extension(std::string_view name, std::string_view ext) {
    return name.size() > ext.size() && sk::ascii_iequals(name.substr(name.size() - ext.size()), ext);
}

// Takes the path settings below the site root for as long as it lives and
// puts the caller's values back when it goes.
class RootedPaths {
  public:
    explicit RootedPaths(ht_table *table) : table_(table) {
        for (const char *key : kPathSettings) {
            const char *v = ht_get(table, key);
            if (!v || v[0] != '/')
                continue;
            std::string own(v);
            ht_put(table, key, sk::site_path(own).c_str());
            saved_.emplace_back(key, std::move(own));
        }
    }
    RootedPaths(const RootedPaths &) = delete;
    RootedPaths &operator=(const RootedPaths &) = delete;
    ~RootedPaths() {
        for (const auto &[key, value] : saved_)
            ht_put(table_, key, value.c_str());
    }

  private:
    ht_table *table_;
    std::vector<std::pair<const char *, std::string>> saved_;
};

// Prints the refusal reason the hook left; without one, and when the site
// set no failure format (so the hook printed nothing), the plain reason.
void print_refusal(ht_table *table, const Refusal &refusal) {
    const char *why = ht_get(table, "error_msg");
    if (why && *why)
        std::printf("%s\n", why);
    else if (!ht_get(table, "check_errormsg"))
        std::printf("%s\n", refusal.fallback.c_str());
}

int run_check(ht_table *table, std::string_view file, std::string_view dir_arg) {
    std::string dir(dir_arg);
    while (dir.size() > 1 && dir.back() == '/')
        dir.pop_back();
    std::string path =
        file.find('/') == std::string_view::npos ? dir + "/" + std::string(file) : std::string(file);
    Upload upload{table, path.substr(path.rfind('/') + 1), dir};
    ht_put(table, "path", path.c_str());
    RootedPaths rooted(table);
    std::optional<Refusal> refused =
        has_extension(upload.name, ".sfv") ? check_sfv(upload) : check_listed(upload);
    if (refused) {
        print_refusal(table, *refused);
        return 0;
    }
    for (const auto &[ext, check] : kChecks) {
        if (!has_extension(upload.name, ext))
            continue;
        if ((refused = check(upload))) {
            print_refusal(table, *refused);
            return 0;
        }
        break;
    }
    sfv_accepted(table, upload.name.c_str(), upload.dir.c_str());
    return 1;
}

} // namespace

extern "C" int upload_check(ht_table *table, const char *file, const char *dir) {
    if (!table || !file || !dir)
        return 0;
    try {
        return run_check(table, file, dir);
    } catch (...) {
        return 0;
    }
}
