// The filling of %{NAME} variables into configured texts, from a variable
// list and from a property table (whole and as a sub-table). The input is
// NUL-separated: the text, then names and values in turn; a value that
// begins with byte 1 stands for no value. Every result is held against the
// filling rules worked out here, and the three ways must agree.
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "fuzzsupport.h"
#include "textfill.h"

namespace {

constexpr std::size_t max_parts = 65;
constexpr std::size_t max_name = 64;

bool name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '-';
}

// The rules: "%%{" is a literal "%{"; "%{NAME}" with a known NAME is its
// value; everything else stays as it stands; values are never scanned again.
std::string fill(const std::string &text, const std::map<std::string, std::string> &vars) {
    std::string out;
    std::size_t i = 0;
    while (i < text.size()) {
        if (text.compare(i, 3, "%%{") == 0) {
            out += "%{";
            i += 3;
            continue;
        }
        if (text.compare(i, 2, "%{") == 0) {
            std::size_t end = i + 2;
            while (end < text.size() && end - (i + 2) <= max_name && name_char(text[end]))
                ++end;
            std::size_t len = end - (i + 2);
            if (end < text.size() && text[end] == '}' && len >= 1 && len <= max_name) {
                auto found = vars.find(text.substr(i + 2, len));
                if (found != vars.end()) {
                    out += found->second;
                    i = end + 1;
                    continue;
                }
            }
            out += "%{";
            i += 2;
            continue;
        }
        out += text[i++];
    }
    return out;
}

std::string take(char *result, const char *what) {
    if (!result)
        fuzz::fail("%s returned NULL for a text", what);
    std::string s(result); // read up to its terminator: a missing one shows as a sanitizer report
    std::free(result);
    return s;
}

void expect(const std::string &got, const std::string &want, const char *what, const std::string &text) {
    if (got != want)
        fuzz::fail("%s filled \"%s\" into \"%s\", not \"%s\"", what, text.c_str(), got.c_str(), want.c_str());
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    std::vector<std::string_view> parts =
        fuzz::split(fuzz::bytes(data, size), std::string_view("\0", 1), size + 1);
    if (parts.size() > max_parts)
        parts.resize(max_parts);
    while (!parts.empty() && parts.back().empty())
        parts.pop_back();
    if (parts.empty())
        parts.emplace_back();
    const std::string text(parts[0]);

    ml_list *list = nullptr;
    ht_table table, prefixed;
    ht_init(&table);
    ht_init(&prefixed);
    std::map<std::string, std::string> list_vars, table_vars;
    for (std::size_t i = 1; i < parts.size(); i += 2) {
        const std::string name(parts[i]);
        std::optional<std::string> value;
        if (i + 1 < parts.size() && !parts[i + 1].starts_with('\1'))
            value = std::string(parts[i + 1]);
        list = ml_addstring(list, name.c_str(), value ? value->c_str() : nullptr);
        list_vars[name] = value.value_or("");
        const std::string key = "tmp_zip_last_" + name;
        ht_put(&table, name.c_str(), value ? value->c_str() : nullptr);
        ht_put(&prefixed, key.c_str(), value ? value->c_str() : nullptr);
        if (value)
            table_vars[name] = *value;
        else
            table_vars.erase(name);
    }
    // Keys with another prefix stay out of the sub-table.
    ht_put(&prefixed, "tmp_zip_lastfile", "not in the sub-table");
    ht_put(&prefixed, "file", "not in the sub-table");

    expect(take(ml_replacebuf(list, text.c_str()), "ml_replacebuf"), fill(text, list_vars), "ml_replacebuf",
           text);
    expect(take(util_replacer(&table, text.c_str()), "util_replacer"), fill(text, table_vars),
           "util_replacer", text);
    ht_table *sub = ht_get_tree(&prefixed, "tmp_zip_last", '_');
    if (!sub)
        fuzz::fail("ht_get_tree returned NULL");
    expect(take(util_replacer_env(sub, text.c_str()), "util_replacer_env"), fill(text, table_vars),
           "util_replacer_env", text);
    ht_finalize(sub);
    std::free(sub);

    if (ml_replacebuf(list, nullptr) || util_replacer(&table, nullptr))
        fuzz::fail("a NULL text gave a result");
    ml_free(list);
    ht_finalize(&table);
    ht_finalize(&prefixed);
    return 0;
}
