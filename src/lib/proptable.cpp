#include "proptable.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string_view>

#include "internal.h"

namespace {

constexpr std::size_t kFirstBuckets = 16;

std::size_t hash_key(std::string_view key) {
    // FNV-1a: short keys, few entries; anything more would be wasted here.
    std::uint64_t h = 1469598103934665603ull;
    for (unsigned char c : key) {
        h ^= c;
        h *= 1099511628211ull;
    }
    return static_cast<std::size_t>(h);
}

ht_entry **find_slot(ht_table *table, std::string_view key) {
    ht_entry **slot = &table->buckets[hash_key(key) % table->bucket_count];
    while (*slot && std::strcmp((*slot)->key, key.data()) != 0)
        slot = &(*slot)->next;
    return slot;
}

// Doubles the bucket array once the table holds as many entries as it has
// buckets. A failed allocation keeps the old array: the table still works.
void maybe_grow(ht_table *table) {
    if (table->buckets && table->entry_count < table->bucket_count)
        return;
    std::size_t count = table->buckets ? table->bucket_count * 2 : kFirstBuckets;
    auto **buckets = static_cast<ht_entry **>(std::calloc(count, sizeof(ht_entry *)));
    if (!buckets)
        return;
    for (std::size_t i = 0; table->buckets && i < table->bucket_count; ++i) {
        ht_entry *e = table->buckets[i];
        while (e) {
            ht_entry *next = e->next;
            std::size_t b = hash_key(e->key) % count;
            e->next = buckets[b];
            buckets[b] = e;
            e = next;
        }
    }
    std::free(table->buckets);
    table->buckets = buckets;
    table->bucket_count = count;
}

void remove_key(ht_table *table, const char *key) {
    if (!table->buckets)
        return;
    ht_entry **slot = find_slot(table, key);
    if (ht_entry *e = *slot) {
        *slot = e->next;
        std::free(e->key);
        std::free(e->value);
        std::free(e);
        --table->entry_count;
    }
}

} // namespace

extern "C" void ht_init(ht_table *table) {
    table->buckets = nullptr;
    table->bucket_count = 0;
    table->entry_count = 0;
}

extern "C" char *ht_get(ht_table *table, const char *key) {
    if (!table || !key || !table->buckets)
        return nullptr;
    ht_entry *e = *find_slot(table, key);
    return e ? e->value : nullptr;
}

extern "C" int ht_put(ht_table *table, const char *key, const char *value) {
    if (!table || !key)
        return -1;
    if (!value) {
        remove_key(table, key);
        return 0;
    }
    maybe_grow(table);
    if (!table->buckets)
        return -1;
    char *copy = sk::dup_text(value);
    if (!copy)
        return -1;
    ht_entry **slot = find_slot(table, key);
    if (*slot) {
        std::free((*slot)->value);
        (*slot)->value = copy;
        return 0;
    }
    auto *e = static_cast<ht_entry *>(std::malloc(sizeof(ht_entry)));
    char *key_copy = sk::dup_text(key);
    if (!e || !key_copy) {
        std::free(e);
        std::free(key_copy);
        std::free(copy);
        return -1;
    }
    e->key = key_copy;
    e->value = copy;
    e->next = nullptr;
    *slot = e;
    ++table->entry_count;
    return 0;
}

extern "C" ht_table *ht_get_tree(ht_table *table, const char *prefix, char separator) {
    if (!table || !prefix)
        return nullptr;
    auto *tree = static_cast<ht_table *>(std::malloc(sizeof(ht_table)));
    if (!tree)
        return nullptr;
    ht_init(tree);
    std::string_view pre(prefix);
    for (std::size_t i = 0; table->buckets && i < table->bucket_count; ++i) {
        for (ht_entry *e = table->buckets[i]; e; e = e->next) {
            std::string_view key(e->key);
            if (key.size() <= pre.size() || key.substr(0, pre.size()) != pre || key[pre.size()] != separator)
                continue;
            if (ht_put(tree, e->key + pre.size() + 1, e->value) != 0) {
                ht_finalize(tree);
                std::free(tree);
                return nullptr;
            }
        }
    }
    return tree;
}

extern "C" size_t ht_count(const ht_table *table) {
    return table ? table->entry_count : 0;
}

extern "C" void ht_foreach(ht_table *table, int (*visit)(const char *, const char *, void *), void *context) {
    if (!table || !visit || !table->buckets)
        return;
    for (std::size_t i = 0; i < table->bucket_count; ++i)
        for (ht_entry *e = table->buckets[i]; e; e = e->next)
            if (visit(e->key, e->value, context) != 0)
                return;
}

extern "C" void ht_finalize(ht_table *table) {
    if (!table)
        return;
    for (std::size_t i = 0; table->buckets && i < table->bucket_count; ++i) {
        ht_entry *e = table->buckets[i];
        while (e) {
            ht_entry *next = e->next;
            std::free(e->key);
            std::free(e->value);
            std::free(e);
            e = next;
        }
    }
    std::free(table->buckets);
    ht_init(table);
}
