#include "infocheck.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>
#include <string_view>

#include <fcntl.h>
#include <regex.h>
#include <sys/stat.h>
#include <unistd.h>

#include "internal.h"
#include "release.h"
#include "strmatch.h"
#include "textfill.h"
#include "textscan.h"

extern "C" {
str_list *_nfo_cleanlist_normal = nullptr;
}

namespace {

constexpr const char *write_failed_step = "Writing cleaned nfo";
constexpr int release_name_size = 300;

struct ListCloser {
    void operator()(str_list *l) const noexcept { str_close(l); }
};
using unique_list = std::unique_ptr<str_list, ListCloser>;

struct VarsCloser {
    void operator()(ml_list *l) const noexcept { ml_free(l); }
};
using unique_vars = std::unique_ptr<ml_list, VarsCloser>;

using unique_iter = sk::malloc_ptr<str_iter>;

bool is_blank(char c) {
    return c == ' ' || c == '\t';
}

// Adds a clean-list line to the pattern list unless the same line is already
// there: matching is unchanged, and a process that loads its clean list for
// every check does not grow without end.
void remember_pattern(const char *line) {
    if (!str_search(_nfo_cleanlist_normal, line, 0))
        _nfo_cleanlist_normal = str_add(_nfo_cleanlist_normal, line);
}

bool contains_any(const char *line, const str_list *list) {
    unique_iter it(str_iterator(list));
    for (const char *entry; (entry = str_iterator_next(it.get())) != nullptr;)
        if (std::strstr(line, entry))
            return true;
    return false;
}

bool matches_pattern(const char *line) {
    unique_iter it(str_iterator(_nfo_cleanlist_normal));
    for (const char *pattern; (pattern = str_iterator_next(it.get())) != nullptr;)
        if (strmatch_filename(pattern, line, 0))
            return true;
    return false;
}

bool write_text(FILE *out, const char *text) {
    std::size_t len = std::strlen(text);
    return std::fwrite(text, 1, len, out) == len;
}

// The NFO's lines that no clean-list entry drops, in file order.
unique_list kept_lines(const str_list *lines, str_list *substrings) {
    unique_list kept;
    unique_iter it(str_iterator(lines));
    for (const char *line; (line = str_iterator_next(it.get())) != nullptr;)
        if (!nfo_find_match(line, substrings))
            kept.reset(str_add_last(kept.release(), line));
    return kept;
}

int check(ht_table *table, const char *dir) {
    const char *path = ht_get(table, "path");
    struct stat st;
    if (!path || stat(path, &st) != 0 || !S_ISREG(st.st_mode))
        return 0;
    // The rewrite goes through a new file and a rename, which the directory
    // allows even where the NFO itself is read-only: what its user may not
    // write is left as it is.
    if (faccessat(AT_FDCWD, path, W_OK, AT_EACCESS) != 0)
        return 0;
    unique_list lines(str_load(nullptr, path));
    if (!lines && st.st_size > 0)
        return 0; // unreadable: never replace it by the prepend and append alone

    const char *cleanlist = ht_get(table, "nfo_cleanlist");
    unique_list substrings(cleanlist ? nfo_clean_load(nullptr, cleanlist) : nullptr);
    unique_list kept = kept_lines(lines.get(), substrings.get());

    // A name of its own beside the NFO; a symbolic link at the NFO's name
    // is replaced, never followed.
    sk::replacement tmp;
    FILE *out = tmp.open(path, {.keep_same = true}) ? tmp.stream() : nullptr;
    if (!out)
        return 0;

    nfo_append_add(table, out, ht_get(table, "nfo_prepend"), dir);
    sk::malloc_ptr<char> body(nfo_str_concat(kept.get(), "\n"));
    bool ok = body && write_text(out, body.get());
    nfo_append_add(table, out, ht_get(table, "nfo_append"), dir);
    ok = ok && tmp.commit(&st);
    if (!ok)
        error_printf(table, ht_get(table, "check_errormsg"), write_failed_step);
    return 1;
}

} // namespace

extern "C" int nfo_init(ht_table *, const char *, const char *) {
    return 1;
}

extern "C" int nfo_dupe(ht_table *table, const char *file, const char *) {
    const char *dir = ht_get(table, "nfo_unwanteddir");
    if (!dir || !file)
        return 0;
    try {
        std::string path = std::string(dir) + "/" + file;
        if (sk::unique_file f{std::fopen(path.c_str(), "rb")}; !f)
            return 1;
        ht_put(table, "error_msg", NFO_UNWANTED_MSG);
        return 0;
    } catch (...) {
        return 0;
    }
}

extern "C" int nfo_check(ht_table *table, const char *file, const char *dir, const char *) {
    nfo_init(table, file, dir);
    try {
        return check(table, dir);
    } catch (...) {
        return 0;
    }
}

extern "C" int nfo_str_trim(const char *src, char *dest, int size) {
    if (!src || !dest || size <= 0)
        return 1;
    std::string_view text(src);
    std::size_t first = 0;
    while (first < text.size() && is_blank(text[first]))
        ++first;
    std::size_t last = text.size();
    while (last > first && is_blank(text[last - 1]))
        --last;
    sk::copy_field(dest, static_cast<std::size_t>(size), text.substr(first, last - first));
    return 1;
}

extern "C" str_list *nfo_clean_load(str_list *list, const char *path) {
    lfr_reader reader;
    if (!path || lfr_open(&reader, path) != 0) {
        lfr_close(&reader);
        return nullptr;
    }
    char line[NFO_LINE_MAX + 1];
    char trimmed[NFO_LINE_MAX + 1];
    while (lfr_getline(&reader, line, NFO_LINE_MAX) >= 0) {
        remember_pattern(line);
        nfo_str_trim(line, trimmed, sizeof trimmed);
        if (trimmed[0] != '\0')
            list = str_add(list, trimmed);
    }
    lfr_close(&reader);
    return list;
}

extern "C" int nfo_reg_match(const char *text, const char *regex) {
    if (!text || !regex)
        return 0;
    regex_t compiled;
    if (regcomp(&compiled, regex, REG_EXTENDED | REG_ICASE | REG_NOSUB) != 0)
        return 0;
    int found = regexec(&compiled, text, 0, nullptr, 0) == 0;
    regfree(&compiled);
    return found;
}

extern "C" int nfo_find_match(const char *line, str_list *list) {
    if (!line)
        return 0;
    return contains_any(line, list) || matches_pattern(line) ? 1 : 0;
}

extern "C" char *nfo_str_concat(str_list *list, const char *sep) {
    std::string_view separator = sep ? sep : "";
    std::size_t total = 0;
    {
        unique_iter it(str_iterator(list));
        for (const char *entry; (entry = str_iterator_next(it.get())) != nullptr;)
            total += std::strlen(entry) + separator.size();
    }
    char *out = static_cast<char *>(std::malloc(total + 1));
    if (!out)
        return nullptr;
    char *p = out;
    unique_iter it(str_iterator(list));
    for (const char *entry; (entry = str_iterator_next(it.get())) != nullptr;) {
        std::size_t len = std::strlen(entry);
        std::memcpy(p, entry, len);
        p += len;
        std::memcpy(p, separator.data(), separator.size());
        p += separator.size();
    }
    *p = '\0';
    return out;
}

extern "C" char *nfo_fillout_vars(ht_table *table, const char *text, const char *dir) {
    if (!text)
        return nullptr;
    char release[release_name_size] = "";
    if (dir)
        release_get_with_subdir(dir, release, sizeof release);

    std::time_t now = std::time(nullptr);
    struct tm local {};
    localtime_r(&now, &local);
    char date[32], clock[16];
    (void)std::snprintf(date, sizeof date, "%02d-%02d-%02d", local.tm_mon + 1, local.tm_mday,
                        local.tm_year + 1900);
    (void)std::snprintf(clock, sizeof clock, "%02d:%02d", local.tm_hour, local.tm_min);

    unique_vars vars(ml_addstring(nullptr, "USER", ht_get(table, "user")));
    vars.reset(ml_addstring(vars.release(), "DIR", release));
    vars.reset(ml_addstring(vars.release(), "TIME", clock));
    vars.reset(ml_addstring(vars.release(), "DATE", date));
    return ml_replacebuf(vars.get(), text);
}

extern "C" void nfo_append_add(ht_table *table, FILE *out, const char *path, const char *dir) {
    if (!path || !out)
        return;
    unique_list lines(str_load(nullptr, path));
    sk::malloc_ptr<char> joined(nfo_str_concat(lines.get(), "\n"));
    if (!joined)
        return;
    sk::malloc_ptr<char> filled(nfo_fillout_vars(table, joined.get(), dir));
    if (filled)
        write_text(out, filled.get());
}
