#include "chunklines.h"

#include <climits>
#include <cstdlib>
#include <cstring>

namespace {

void set_empty(lrb_buffer *buffer) {
    buffer->data = nullptr;
    buffer->length = 0;
}

} // namespace

extern "C" void lrb_initialize(lrb_buffer *buffer) {
    set_empty(buffer);
}

extern "C" int lrb_add_data(lrb_buffer *buffer, const char *bytes, int count) {
    if (count < 0 || (count > 0 && !bytes))
        return -1;
    if (count == 0)
        return 0;
    int32_t held = buffer->data ? buffer->length : 0;
    if (count > INT32_MAX - held)
        return -1;
    char *block = static_cast<char *>(std::malloc(static_cast<std::size_t>(held) + count));
    if (!block)
        return -1;
    if (held > 0)
        std::memcpy(block, buffer->data, static_cast<std::size_t>(held));
    std::memcpy(block + held, bytes, static_cast<std::size_t>(count));
    std::free(buffer->data);
    buffer->data = block;
    buffer->length = held + count;
    return 0;
}

extern "C" int lrb_add_eof(lrb_buffer *buffer) {
    const char marker = '\0';
    return lrb_add_data(buffer, &marker, 1);
}

extern "C" int lrb_getline(lrb_buffer *buffer, char *dest, int max_len) {
    if (!buffer->data || buffer->length <= 0)
        return -1;
    const char *data = buffer->data;
    if (data[0] == '\0')
        return -2;

    int32_t end = 0;
    while (end < buffer->length && data[end] != '\n' && data[end] != '\r' && data[end] != '\0')
        ++end;
    if (end == buffer->length)
        return -1; // the line is not complete yet

    if (max_len < 0)
        max_len = 0;
    int count = end < max_len ? end : max_len;
    std::memcpy(dest, data, static_cast<std::size_t>(count));
    dest[count] = '\0';

    int32_t consumed = end;
    if (data[end] == '\r' && end + 1 < buffer->length && data[end + 1] == '\n')
        consumed += 2;
    else if (data[end] != '\0')
        consumed += 1; // a NUL stays at the front as the end marker

    int32_t rest = buffer->length - consumed;
    if (rest == 0) {
        std::free(buffer->data);
        set_empty(buffer);
        return count;
    }
    char *block = static_cast<char *>(std::malloc(static_cast<std::size_t>(rest)));
    if (block) {
        std::memcpy(block, data + consumed, static_cast<std::size_t>(rest));
        std::free(buffer->data);
        buffer->data = block;
    } else {
        // No memory for an exact block: keep the old one and move the rest
        // to its front, which loses nothing.
        std::memmove(buffer->data, data + consumed, static_cast<std::size_t>(rest));
    }
    buffer->length = rest;
    return count;
}

extern "C" void lrb_finalize(lrb_buffer *buffer) {
    std::free(buffer->data);
    set_empty(buffer);
}
