// The tokenizer's C++ side: a tokenizer state that is finalized when its
// holder goes. C++ only; not installed.
#ifndef SITEKIT_TOKENS_H
#define SITEKIT_TOKENS_H

#include "tokenizer.h"

namespace sk {

class tokens {
  public:
    // The tokens of text as st_initialize makes them; ok() is false when
    // memory ran out (there is then no token).
    tokens(const char *text, const char *delimiters) noexcept
        : ok_(st_initialize(&state_, text, delimiters) == 0) {}
    tokens(const tokens &) = delete;
    tokens &operator=(const tokens &) = delete;
    ~tokens() { st_finalize(&state_); }

    bool ok() const noexcept { return ok_; }
    st_state *get() noexcept { return &state_; }
    const st_state *get() const noexcept { return &state_; }
    // The next token, or nullptr once none is left.
    const char *next() noexcept { return st_next(&state_); }
    // The number of tokens not yet handed out.
    int left() const noexcept { return st_count(&state_); }
    // The token ahead places after the next one, or nullptr.
    const char *peek(int ahead) const noexcept { return st_peek(&state_, ahead); }

  private:
    st_state state_{};
    bool ok_;
};

} // namespace sk

#endif
