#include "dirlist.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <string_view>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>

#include "internal.h"

namespace {

int32_t entry_number(int dir_fd, const char *name) {
    struct stat st {};
    if (fstatat(dir_fd, name, &st, 0) != 0)
        return 0;
    if (S_ISDIR(st.st_mode))
        return -1;
    if (!S_ISREG(st.st_mode))
        return 0;
    auto mb = static_cast<unsigned long long>(st.st_size) / 1048576ULL;
    return mb > INT32_MAX ? INT32_MAX : static_cast<int32_t>(mb);
}

void free_entries(dirlist_handle *h) {
    for (std::size_t i = 0; i < h->count; ++i)
        std::free(h->entries[i].name);
    std::free(h->entries);
    h->entries = nullptr;
    h->count = 0;
    h->pos = 0;
}

} // namespace

extern "C" int32_t dirlist_init(dirlist_handle *h, const char *path) {
    if (!h)
        return 0;
    h->path[0] = '\0';
    h->entries = nullptr;
    h->count = 0;
    h->pos = 0;
    if (!path || std::strlen(path) >= sizeof h->path)
        return 0;
    std::strcpy(h->path, path);
    return 1;
}

extern "C" int32_t dirlist_readdir(dirlist_handle *h) {
    if (!h)
        return 0;
    free_entries(h);
    if (h->path[0] == '\0')
        return 0;
    std::vector<dirlist_entry> found;
    auto release = [&found] {
        for (auto &e : found)
            std::free(e.name);
    };
    try {
        sk::unique_dir dir(opendir(h->path));
        if (!dir)
            return 0;
        errno = 0;
        while (dirent *d = readdir(dir.get())) {
            std::string_view name(d->d_name);
            if (name == "." || name == "..")
                continue;
            char *copy = sk::dup_text(name);
            if (!copy) {
                release();
                return 0;
            }
            try {
                found.push_back({copy, entry_number(dirfd(dir.get()), copy)});
            } catch (...) {
                std::free(copy);
                throw;
            }
            errno = 0;
        }
        if (errno != 0) {
            release();
            return 0;
        }
        std::sort(found.begin(), found.end(), [](const dirlist_entry &a, const dirlist_entry &b) {
            return std::strcmp(a.name, b.name) < 0;
        });
        auto *entries = static_cast<dirlist_entry *>(
            std::malloc(std::max<std::size_t>(found.size(), 1) * sizeof(dirlist_entry)));
        if (!entries) {
            release();
            return 0;
        }
        std::copy(found.begin(), found.end(), entries);
        h->entries = entries;
        h->count = found.size();
        return 1;
    } catch (const std::bad_alloc &) {
        release();
        return 0;
    }
}

extern "C" void dirlist_reset(dirlist_handle *h) {
    if (h)
        h->pos = 0;
}

extern "C" const dirlist_entry *dirlist_next(dirlist_handle *h) {
    if (!h || h->pos >= h->count)
        return nullptr;
    return &h->entries[h->pos++];
}

extern "C" void dirlist_closedir(dirlist_handle *h) {
    if (h)
        free_entries(h);
}
