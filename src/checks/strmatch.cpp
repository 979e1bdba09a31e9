#include "strmatch.h"

#include <cstddef>
#include <string_view>

#include "internal.h"

namespace {

bool same_char(char p, char t, bool fold) {
    return fold ? sk::ascii_lower(p) == sk::ascii_lower(t) : p == t;
}

// Greedy matching that remembers only the last "*": on a mismatch the star
// takes one more character and matching resumes after it. A later star makes
// the earlier ones irrelevant, which keeps the cost bounded by the product of
// the lengths.
bool match(std::string_view pat, std::string_view text, bool fold) {
    std::size_t p = 0, t = 0;
    std::size_t star = std::string_view::npos, resume = 0;
    while (t < text.size()) {
        if (p < pat.size() && pat[p] == '*') {
            star = p++;
            resume = t;
        } else if (p < pat.size() && (pat[p] == '?' || same_char(pat[p], text[t], fold))) {
            ++p;
            ++t;
        } else if (star != std::string_view::npos) {
            p = star + 1;
            t = ++resume;
        } else {
            return false;
        }
    }
    while (p < pat.size() && pat[p] == '*')
        ++p;
    return p == pat.size();
}

} // namespace

extern "C" int strmatch_filename(const char *pattern, const char *text, int flags) {
    if (!pattern || !text)
        return 0;
    return match(pattern, text, (flags & STRMATCH_FOLDCASE) != 0) ? 1 : 0;
}
