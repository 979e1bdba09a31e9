#include "strlist.h"

#include <cstdlib>
#include <cstring>

#include "internal.h"
#include "linefile.h"

namespace {

str_list *append(str_list *list, std::string_view text) {
    bool fresh = list == nullptr;
    if (fresh) {
        list = static_cast<str_list *>(std::calloc(1, sizeof(str_list)));
        if (!list)
            return nullptr;
    }
    auto *node = static_cast<str_node *>(std::malloc(sizeof(str_node)));
    char *copy = sk::dup_text(text);
    if (!node || !copy) {
        std::free(node);
        std::free(copy);
        if (fresh) {
            std::free(list);
            return nullptr;
        }
        return list;
    }
    node->text = copy;
    node->next = nullptr;
    if (list->tail)
        list->tail->next = node;
    else
        list->head = node;
    list->tail = node;
    ++list->count;
    return list;
}

} // namespace

extern "C" str_list *str_load(str_list *list, const char *path) {
    sk::line_file file;
    if (!file.open(path))
        return list;
    // No line is cut: the buffer fits the whole file.
    (void)file.each_line([&](const char *line, int, int64_t) {
        int before = str_count(list);
        list = append(list, line);
        return str_count(list) != before; // out of memory: keep what was loaded
    });
    return list;
}

extern "C" str_list *str_add(str_list *list, const char *text) {
    return text ? append(list, text) : list;
}

extern "C" str_list *str_add_last(str_list *list, const char *text) {
    return str_add(list, text);
}

extern "C" const char *str_search(const str_list *list, const char *word, int flags) {
    if (!list || !word)
        return nullptr;
    for (const str_node *n = list->head; n; n = n->next) {
        bool same = flags == 1 ? sk::ascii_iequals(n->text, word) : std::strcmp(n->text, word) == 0;
        if (same)
            return n->text;
    }
    return nullptr;
}

extern "C" int str_count(const str_list *list) {
    return list ? list->count : 0;
}

extern "C" str_iter *str_iterator(const str_list *list) {
    auto *it = static_cast<str_iter *>(std::malloc(sizeof(str_iter)));
    if (it)
        it->next = list ? list->head : nullptr;
    return it;
}

extern "C" const char *str_iterator_next(str_iter *iterator) {
    if (!iterator || !iterator->next)
        return nullptr;
    const str_node *n = iterator->next;
    iterator->next = n->next;
    return n->text;
}

extern "C" void str_close(str_list *list) {
    if (!list)
        return;
    str_node *n = list->head;
    while (n) {
        str_node *next = n->next;
        std::free(n->text);
        std::free(n);
        n = next;
    }
    std::free(list);
}
