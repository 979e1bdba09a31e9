// Fuzzes the release names and the wildcard matcher.
//
// strmatch_filename agrees with fnmatch(3) wherever the two define the same
// thing: patterns without "[" read with FNM_NOESCAPE (no bracket classes, "\"
// an ordinary character), STRMATCH_FOLDCASE as FNM_CASEFOLD, in the C locale.
// release_get_with_subdir writes the last path component, or the last two
// when the last is a release subfolder, cut to the buffer and terminated,
// and never writes past the length it is given.
#include <fnmatch.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzzsupport.h"

#include "release.h"
#include "strmatch.h"

namespace {

bool fn_match(const std::string &pattern, const std::string &text, bool fold) {
    return fnmatch(pattern.c_str(), text.c_str(), FNM_NOESCAPE | (fold ? FNM_CASEFOLD : 0)) == 0;
}

void check_matcher(const std::string &pattern, const std::string &text, int flags) {
    const int got = strmatch_filename(pattern.c_str(), text.c_str(), flags);
    if (got != 0 && got != 1)
        fuzz::fail("strmatch_filename returned neither 0 nor 1");
    if (pattern.find('[') != std::string::npos)
        return;
    if ((got == 1) != fn_match(pattern, text, (flags & STRMATCH_FOLDCASE) != 0))
        fuzz::fail("strmatch_filename disagrees with fnmatch");
}

bool is_subdir(const std::string &component) {
    for (const char *p : {"CD?", "DISC?", "DISC0?", "SAMPLE", "COVER*", "SUBS"})
        if (fn_match(p, component, true))
            return true;
    return false;
}

void check_release(const std::string &path, int len) {
    const std::size_t slash = path.rfind('/');
    std::string want = path;
    if (slash != std::string::npos) {
        want = path.substr(slash + 1);
        if (is_subdir(want)) {
            const std::size_t parent = slash == 0 ? std::string::npos : path.rfind('/', slash - 1);
            want = parent == std::string::npos ? path : path.substr(parent + 1);
        }
    }
    const std::string component = path.substr(slash == std::string::npos ? 0 : slash + 1);
    if (_release_is_release_subdir(component.c_str()) != (is_subdir(component) ? 1 : 0))
        fuzz::fail("_release_is_release_subdir disagrees with the subfolder patterns");

    // The buffer is exactly len bytes (at least one, so that it exists).
    const std::size_t n = len > 0 ? static_cast<std::size_t>(len) : 1;
    auto dest = std::make_unique<char[]>(n);
    std::memset(dest.get(), 'X', n);
    const int got = release_get_with_subdir(path.c_str(), dest.get(), len);
    if (got != (slash != std::string::npos ? 1 : 0))
        fuzz::fail("release_get_with_subdir's result does not tell whether the path holds a slash");
    if (len <= 0) {
        if (dest[0] != 'X')
            fuzz::fail("release_get_with_subdir wrote into a buffer of length 0 or less");
        return;
    }
    const void *nul = std::memchr(dest.get(), '\0', n);
    if (!nul)
        fuzz::fail("release_get_with_subdir's name is not terminated inside the buffer");
    if (want.size() > n - 1)
        want.resize(n - 1);
    if (std::strcmp(dest.get(), want.c_str()) != 0)
        fuzz::fail("release_get_with_subdir gave another name than the path's release");
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const int flags = in.ConsumeIntegral<int>();
    const int len = in.ConsumeIntegralInRange(-1, 300);
    std::string pattern = in.ConsumeRandomLengthString(64);
    std::string text = in.ConsumeRandomLengthString(256);
    pattern.resize(std::strlen(pattern.c_str()));
    text.resize(std::strlen(text.c_str()));
    check_matcher(pattern, text, flags);
    check_release(text, len);
    return 0;
}
