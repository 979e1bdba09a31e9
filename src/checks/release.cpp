#include "release.h"

#include <string>
#include <string_view>

#include "internal.h"
#include "strmatch.h"

extern "C" const char SUBDIR_PATTERNS[RELEASE_PATTERN_COUNT][RELEASE_PATTERN_WIDTH] = {
    "CD?", "DISC?", "DISC0?", "SAMPLE", "COVER*", "SUBS", "",
};

namespace {

void copy_result(std::string_view name, char *dest, int len) {
    if (len > 0)
        sk::copy_field(dest, static_cast<std::size_t>(len), name);
}

} // namespace

extern "C" int _release_is_release_subdir(const char *component) {
    if (!component)
        return 0;
    for (const auto &record : SUBDIR_PATTERNS) {
        if (record[0] == '\0')
            break;
        std::string pattern(sk::field_view(record, RELEASE_PATTERN_WIDTH));
        if (strmatch_filename(pattern.c_str(), component, STRMATCH_FOLDCASE))
            return 1;
    }
    return 0;
}

extern "C" int release_get_with_subdir(const char *path, char *dest, int len) {
    if (!path || !dest)
        return 0;
    try {
        const std::string copy(path);
        const std::string_view whole(copy);
        std::size_t last = whole.rfind('/');
        if (last == std::string_view::npos) {
            copy_result(whole, dest, len);
            return 0;
        }
        std::string last_component(whole.substr(last + 1));
        if (!_release_is_release_subdir(last_component.c_str())) {
            copy_result(last_component, dest, len);
            return 1;
        }
        std::size_t parent = last == 0 ? std::string_view::npos : whole.rfind('/', last - 1);
        copy_result(parent == std::string_view::npos ? whole : whole.substr(parent + 1), dest, len);
        return 1;
    } catch (...) {
        copy_result({}, dest, len);
        return 0;
    }
}
