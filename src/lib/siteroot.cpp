#include "siteroot.h"

#include <cstdlib>
#include <cstring>
#include <string>

#include "internal.h"

namespace {

constexpr std::size_t kMaxRoot = 4096;

// The root lives in a fixed buffer so that sitekit_get_root can hand out a
// stable pointer without allocating.
char g_root[kMaxRoot] = "";

} // namespace

extern "C" int sitekit_set_root(const char *root) {
    std::string_view r = root ? root : "";
    while (r.size() > 1 && r.back() == '/')
        r.remove_suffix(1);
    if (r == "/")
        r = "";
    if (r.size() >= kMaxRoot)
        return -1;
    std::memcpy(g_root, r.data(), r.size());
    g_root[r.size()] = '\0';
    return 0;
}

extern "C" const char *sitekit_get_root(void) {
    return g_root;
}

extern "C" char *sitekit_path(const char *daemon_path) {
    if (!daemon_path)
        return nullptr;
    try {
        return sk::dup_text(sk::site_path(daemon_path));
    } catch (...) {
        return nullptr;
    }
}

namespace sk {

bool set_root_from_environment() noexcept {
    const char *root = std::getenv("SITEKIT_ROOT");
    return !root || sitekit_set_root(root) == 0;
}

} // namespace sk
