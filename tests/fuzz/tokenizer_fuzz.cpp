// Fuzzes the tokenizer with a fuzzed text and delimiter set: every token is
// handed out once, the count agrees with what st_next gives, no token holds
// a delimiter, and joining the tokens with delimiters gives back the text.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include <fuzzer/FuzzedDataProvider.h>

#include "fuzzsupport.h"

#include "tokenizer.h"

namespace {} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    FuzzedDataProvider in(data, size);
    const bool null_delimiters = in.ConsumeBool();
    const std::string delimiters = in.ConsumeRandomLengthString(8);
    const std::string raw = in.ConsumeBytesAsString(in.remaining_bytes());
    const std::string text(raw.c_str()); // the text ends at its first NUL
    const char *delims = null_delimiters ? nullptr : delimiters.c_str();

    st_state st;
    if (st_initialize(&st, text.c_str(), delims) != 0)
        fuzz::fail("st_initialize failed on a small text");
    const int total = st_count(&st);
    for (int round = 0; round < 2; ++round) {
        std::string joined;
        std::string seps; // the delimiter that followed each token, from the text
        int handed = 0;
        while (st_hasnext(&st)) {
            if (st_count(&st) != total - handed)
                fuzz::fail("st_count does not count the tokens left");
            const char *token = st_next(&st);
            if (!token)
                fuzz::fail("st_next gave NULL while st_hasnext said a token is left");
            if (delims && std::strpbrk(token, delims))
                fuzz::fail("a token holds a delimiter");
            if (handed > 0) {
                std::size_t at = joined.size();
                if (at >= text.size() || !delims || !std::strchr(delims, text[at]) || text[at] == '\0')
                    fuzz::fail("tokens are not separated by one delimiter of the text");
                joined += text[at];
            }
            joined += token;
            ++handed;
        }
        if (st_next(&st) != nullptr || st_count(&st) != 0)
            fuzz::fail("a token is left after st_hasnext said none is");
        if (handed != total)
            fuzz::fail("st_count at the start differs from the number of tokens");
        if (joined != text)
            fuzz::fail("the tokens joined with their delimiters are not the text");
        if (text.empty() ? total != 0 : total < 1)
            fuzz::fail("an empty text gives a token, or a text gives none");
        st_reset(&st);
    }
    st_finalize(&st);
    if (st_next(&st) != nullptr || st_hasnext(&st))
        fuzz::fail("a finalized state still gives a token");
    return 0;
}
