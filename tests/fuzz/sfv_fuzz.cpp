// The SFV parser on hostile text. Promises: on success every entry's name
// is non-empty, holds no "/", is under SFV_NAME_MAX + 1 bytes and differs
// from every other name ignoring letter case, and printing the entries back
// as "NAME CRC" lines parses to the same list; on failure the list is empty.
#include <strings.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "fuzzsupport.h"
#include "sfvcheck.h"

namespace {

// The list printed back as an SFV, one "NAME CRC" line each.
std::string printed(const sfv_list &list) {
    std::string text;
    char crc[16];
    for (std::size_t i = 0; i < list.count; ++i) {
        (void)std::snprintf(crc, sizeof crc, " %08lX\n", list.entries[i].crc);
        text += list.entries[i].name;
        text += crc;
    }
    return text;
}

void check_names(const sfv_list &list) {
    for (std::size_t i = 0; i < list.count; ++i) {
        const std::string name = list.entries[i].name;
        if (name.empty())
            fuzz::fail("entry %zu has an empty name", i);
        if (name.find('/') != std::string::npos)
            fuzz::fail("entry %zu, '%s', holds a '/'", i, name.c_str());
        if (name.size() > SFV_NAME_MAX)
            fuzz::fail("entry %zu has a name of %zu bytes", i, name.size());
        if (list.entries[i].crc > 0xffffffffUL)
            fuzz::fail("entry %zu has a CRC of more than 32 bits", i);
        for (std::size_t j = 0; j < i; ++j) {
            if (strcasecmp(list.entries[j].name, name.c_str()) == 0)
                fuzz::fail("entries %zu and %zu are both named '%s'", j, i, name.c_str());
        }
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, std::size_t size) {
    sfv_list list{};
    char *error = nullptr;
    const int rc = sfv_parse(reinterpret_cast<const char *>(data), size, &list, &error);
    if (rc != 0 && rc != 1)
        fuzz::fail("sfv_parse returned %d", rc);
    if (rc == 0) {
        if (list.count != 0 || list.entries != nullptr)
            fuzz::fail("a refused SFV left %zu entries", list.count);
        std::free(error);
        return 0;
    }
    if (error != nullptr)
        fuzz::fail("an accepted SFV set an error: %s", error);
    if (list.count == 0)
        fuzz::fail("an SFV with no entries was accepted");
    check_names(list);

    const std::string again = printed(list);
    sfv_list reparsed{};
    if (sfv_parse(again.data(), again.size(), &reparsed, &error) != 1)
        fuzz::fail("the printed list does not parse: %s", error ? error : "(no message)");
    if (reparsed.count != list.count)
        fuzz::fail("the printed list parses to %zu entries, not %zu", reparsed.count, list.count);
    for (std::size_t i = 0; i < list.count; ++i) {
        if (std::string(reparsed.entries[i].name) != list.entries[i].name ||
            reparsed.entries[i].crc != list.entries[i].crc)
            fuzz::fail("entry %zu, '%s', reads back as '%s' %08lX", i, list.entries[i].name,
                       reparsed.entries[i].name, reparsed.entries[i].crc);
    }
    sfv_free(&reparsed);
    sfv_free(&list);
    return 0;
}
