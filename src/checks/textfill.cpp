#include "textfill.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <initializer_list>
#include <new>
#include <string>
#include <string_view>

#include "internal.h"

namespace {

constexpr std::size_t max_name = 64;

bool name_char(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '.' || c == '-';
}

// The name of a well-formed %{NAME} starting at text[at] (which is "%"), or
// an empty view when there is none.
std::string_view variable_at(std::string_view text, std::size_t at) {
    if (at + 2 >= text.size() || text[at + 1] != '{')
        return {};
    std::size_t end = at + 2;
    while (end < text.size() && end - (at + 2) <= max_name && name_char(text[end]))
        ++end;
    std::size_t len = end - (at + 2);
    if (end >= text.size() || text[end] != '}' || len == 0 || len > max_name)
        return {};
    return text.substr(at + 2, len);
}

// Looks a variable up: true with its value (nullptr meaning empty) when known.
using lookup_fn = std::function<bool(std::string_view name, const char **value)>;

// The single pass shared by every filling. In format mode "%%" gives "%" and
// each "%s" takes the next of args while any is left; otherwise only "%%{"
// is special. Values and args are copied in as they are.
std::string fill(std::string_view text, const lookup_fn &lookup, bool format_mode,
                 std::initializer_list<const char *> args = {}) {
    std::string out;
    out.reserve(text.size());
    auto next_arg = args.begin();
    for (std::size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c != '%' || i + 1 >= text.size()) {
            out.push_back(c);
            continue;
        }
        char n = text[i + 1];
        if (n == '%' && (format_mode || (i + 2 < text.size() && text[i + 2] == '{'))) {
            out.push_back('%'); // the escape: "%%" in a format, "%%{" anywhere
            ++i;
        } else if (n == 's' && format_mode && next_arg != args.end()) {
            if (*next_arg)
                out.append(*next_arg);
            ++next_arg;
            ++i;
        } else if (std::string_view name = variable_at(text, i); !name.empty()) {
            const char *value = nullptr;
            if (lookup(name, &value)) {
                if (value)
                    out.append(value);
                i += name.size() + 2;
            } else {
                out.push_back(c);
            }
        } else {
            out.push_back(c);
        }
    }
    return out;
}

lookup_fn table_lookup(ht_table *table) {
    return [table](std::string_view name, const char **value) {
        if (!table)
            return false;
        std::string key(name);
        *value = ht_get(table, key.c_str());
        return *value != nullptr;
    };
}

char *fill_from_table(ht_table *table, const char *text) {
    if (!text)
        return nullptr;
    try {
        return sk::dup_text(fill(text, table_lookup(table), false));
    } catch (...) {
        return nullptr;
    }
}

int print_message(ht_table *table, const char *format, std::initializer_list<const char *> args) {
    if (!format)
        return 0;
    try {
        std::string out = fill(format, table_lookup(table), true, args);
        if (std::fwrite(out.data(), 1, out.size(), stdout) != out.size() || std::fflush(stdout) != 0)
            return -1;
        return static_cast<int>(out.size());
    } catch (...) {
        return -1;
    }
}

} // namespace

extern "C" ml_list *ml_addstring(ml_list *list, const char *name, const char *value) {
    if (!name)
        return list;
    ml_list *last = nullptr;
    for (ml_list *v = list; v; v = v->next) {
        last = v;
        if (std::strcmp(v->name, name) != 0)
            continue;
        char *copy = nullptr;
        if (value && !(copy = sk::dup_text(value)))
            return list;
        std::free(v->value);
        v->value = copy;
        return list;
    }
    auto *node = static_cast<ml_list *>(std::calloc(1, sizeof(ml_list)));
    char *name_copy = sk::dup_text(name);
    char *value_copy = value ? sk::dup_text(value) : nullptr;
    if (!node || !name_copy || (value && !value_copy)) {
        std::free(node);
        std::free(name_copy);
        std::free(value_copy);
        return list;
    }
    node->name = name_copy;
    node->value = value_copy;
    if (!last)
        return node;
    last->next = node;
    return list;
}

extern "C" char *ml_replacebuf(const ml_list *list, const char *text) {
    if (!text)
        return nullptr;
    auto lookup = [list](std::string_view name, const char **value) {
        for (const ml_list *v = list; v; v = v->next) {
            if (name == v->name) {
                *value = v->value;
                return true;
            }
        }
        return false;
    };
    try {
        return sk::dup_text(fill(text, lookup, false));
    } catch (...) {
        return nullptr;
    }
}

extern "C" void ml_free(ml_list *list) {
    while (list) {
        ml_list *next = list->next;
        std::free(list->name);
        std::free(list->value);
        std::free(list);
        list = next;
    }
}

extern "C" char *util_replacer(ht_table *table, const char *text) {
    return fill_from_table(table, text);
}

extern "C" char *util_replacer_env(ht_table *table, const char *text) {
    return fill_from_table(table, text);
}

extern "C" int error_printf(ht_table *table, const char *format, const char *step) {
    return print_message(table, format, {step});
}

extern "C" int msg_printf(ht_table *table, const char *format, const char *first, const char *second) {
    return print_message(table, format, {first, second});
}
