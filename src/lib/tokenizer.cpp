#include "tokenizer.h"

#include <cstdlib>
#include <cstring>

namespace {

void set_empty(st_state *state) {
    state->copy = nullptr;
    state->tokens = nullptr;
    state->count = 0;
    state->next = 0;
}

// One flag per byte value, built once per call, so the scan costs a table
// look-up per character instead of a walk over the delimiter string.
struct delimiter_table {
    bool is[256] = {};
    explicit delimiter_table(const char *delimiters) {
        if (delimiters)
            for (const char *d = delimiters; *d; ++d)
                is[static_cast<unsigned char>(*d)] = true;
    }
    bool operator()(char c) const { return is[static_cast<unsigned char>(c)]; }
};

} // namespace

extern "C" int st_initialize(st_state *state, const char *text, const char *delimiters) {
    set_empty(state);
    if (!text || !*text)
        return 0;
    const delimiter_table is_delimiter(delimiters);
    std::size_t len = std::strlen(text);
    std::size_t pieces = 1;
    for (std::size_t i = 0; i < len; ++i)
        if (is_delimiter(text[i]))
            ++pieces;
    if (pieces > static_cast<std::size_t>(__INT_MAX__))
        return -1;

    char *copy = static_cast<char *>(std::malloc(len + 1));
    char **tokens = static_cast<char **>(std::malloc(pieces * sizeof(char *)));
    if (!copy || !tokens) {
        std::free(copy);
        std::free(tokens);
        return -1;
    }
    std::memcpy(copy, text, len + 1);
    std::size_t n = 0;
    tokens[n++] = copy;
    for (std::size_t i = 0; i < len; ++i) {
        if (is_delimiter(copy[i])) {
            copy[i] = '\0';
            tokens[n++] = copy + i + 1;
        }
    }
    state->copy = copy;
    state->tokens = tokens;
    state->count = static_cast<int>(pieces);
    return 0;
}

extern "C" char *st_next(st_state *state) {
    if (state->next >= state->count)
        return nullptr;
    return state->tokens[state->next++];
}

extern "C" int st_count(const st_state *state) {
    return state->count - state->next;
}

extern "C" int st_hasnext(const st_state *state) {
    return state->next < state->count;
}

extern "C" const char *st_peek(const st_state *state, int ahead) {
    if (ahead < 0 || ahead >= state->count - state->next)
        return nullptr;
    return state->tokens[state->next + ahead];
}

extern "C" void st_reset(st_state *state) {
    state->next = 0;
}

extern "C" void st_finalize(st_state *state) {
    std::free(state->copy);
    std::free(state->tokens);
    set_empty(state);
}
