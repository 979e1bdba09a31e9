#include "settings.h"

#include "cli.h"
#include "internal.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>

#include <fcntl.h>
#include <sys/stat.h>

namespace sk::cli {

const std::vector<std::string> kSettingKeys = {
    "zip_extract",        "zip_unwanteddir", "zip_showfile",   "check_errormsg",
    "zip_success",        "zip_adfilename",  "zip_ad",         "zip_adcomment",
    "nfo_cleanlist",      "nfo_prepend",     "nfo_append",     "nfo_unwanteddir",
    "zip_extract_max",    "zip_ratio_max",   "zip_recompress", "sfv_required",
    "sfv_missing_suffix", "sfv_progress",    "sfv_complete",   "sfv_complete_msg",
};

namespace {

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

std::string_view trim(std::string_view s) {
    while (!s.empty() && (is_blank(s.front()) || s.front() == '\r'))
        s.remove_prefix(1);
    while (!s.empty() && (is_blank(s.back()) || s.back() == '\r'))
        s.remove_suffix(1);
    return s;
}

// The next line of in without its LF; false at the end or on an error.
bool read_line(FILE *in, std::string &line) {
    line.clear();
    int c;
    while ((c = std::getc(in)) != EOF && c != '\n')
        line += static_cast<char>(c);
    return c == '\n' || (!line.empty() && !std::ferror(in));
}

} // namespace

std::string unescape_value(std::string_view value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        switch (value[++i]) {
        case 'n':
            out += '\n';
            break;
        case 't':
            out += '\t';
            break;
        case '\\':
            out += '\\';
            break;
        default:
            out += '\\';
            out += value[i];
        }
    }
    return out;
}

SettingsResult load_settings(const std::string &path, ht_table *table) {
    SettingsResult r;
    // A FIFO in the file's place is refused, not waited on.
    regular_file file = open_regular(path.c_str(), O_RDONLY);
    if (!file) {
        bool special = file.not_regular && !S_ISDIR(file.st.st_mode);
        r.open_error = open_reason(file) + (special ? "; put the settings file itself there" : "");
        return r;
    }
    unique_file in = as_file(std::move(file.fd), "r");
    if (!in) {
        r.open_error = std::strerror(errno);
        return r;
    }
    std::set<std::string, std::less<>> seen;
    std::string line;
    for (int number = 1; read_line(in.get(), line); ++number) {
        std::string_view text = trim(line);
        if (text.empty() || text.front() == '#')
            continue;
        auto key_end = std::find_if(text.begin(), text.end(), is_blank);
        std::string key(text.begin(), key_end);
        std::string_view value = trim(std::string_view(key_end, text.end()));
        auto where = "line " + std::to_string(number) + ": ";
        if (std::find(kSettingKeys.begin(), kSettingKeys.end(), key) == kSettingKeys.end()) {
            r.warnings.push_back(where + "unknown key '" + key + "'");
            continue;
        }
        if (value.empty()) {
            r.warnings.push_back(where + "'" + key + "' has no value (write: " + key + " VALUE)");
            continue;
        }
        if (!seen.insert(key).second)
            r.warnings.push_back(where + "'" + key + "' is set again; the later value counts");
        ht_put(table, key.c_str(), unescape_value(value).c_str());
    }
    if (std::ferror(in.get())) {
        r.open_error = std::strerror(errno);
        return r;
    }
    r.opened = true;
    return r;
}

} // namespace sk::cli
